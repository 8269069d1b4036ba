// Under construction.
