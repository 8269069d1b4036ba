// Fatal error reporters: the only error channel of the host. Each prints one
// line on stderr and ends the process with status 1 through exit(), so the
// exit handlers (shutdown, SDL clean-up) still run. One on another thread
// while the first ends the process prints its line and waits for that end.
#pragma once

[[noreturn]] void fatal(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
[[noreturn]] void fatal_errno(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
[[noreturn]] void fatal_sdl(const char *fmt, ...) __attribute__((format(printf, 1, 2)));

// Called once by the process entry: a fatal error on another thread then stops
// the main thread before the process is torn down.
void note_main_thread();

// Whether the main thread has been stopped for an exit on another thread:
// it runs nothing more, whatever it held.
bool main_thread_stopped();
// Whether a fatal error is ending the process (the exit handlers then keep
// nothing half done).
bool fatal_reported();
// exit(status) from any thread: from another thread than the main one, the
// main thread is stopped first, as for a fatal error there.
[[noreturn]] void exit_from_any_thread(int status);
