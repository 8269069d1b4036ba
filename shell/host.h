// The host's main routine, usage screen and shutdown.
#pragma once

extern int mute;
extern int is_party_release;
extern const char guest_file_name[]; // "lumox.exe": opened and handed on as argv[0]
extern const char *guest_argv[2];

int host_main(int argc, char **argv);
[[noreturn]] void print_usage();
void shutdown_host();
