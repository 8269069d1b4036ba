// The host's main routine, usage screen and shutdown.
#pragma once

#include "binding/run_state.h"

int host_main(int argc, char **argv);
[[noreturn]] void print_usage();
void shutdown_host();
