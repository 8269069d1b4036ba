// Render mode: the guest on demo time, its frames and sound into a file.
