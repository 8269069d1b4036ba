// Run state that the command line and the matched release decide and that
// every subsystem may read; set by the shell before the guest runs. Below all
// subsystems, so that none of them includes the shell.
#pragma once

extern int mute;                     // "-mute": no audio device; the player runs on an SDL timer
extern int is_party_release;         // the matched release is the Party release
extern const char guest_file_name[]; // "lumox.exe": opened and handed on as argv[0]
extern const char *guest_argv[2];    // the guest main routine's argv
