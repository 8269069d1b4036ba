// Runs a program as a user would: in a working directory, with extra
// environment, capturing its output and how it ended.
#pragma once

#include <string>
#include <vector>

struct ProcessResult {
    int exit_status = -1; // exit code, or -1 when killed by a signal
    int signal = 0;       // terminating signal, 0 when it exited
    bool timed_out = false;
    std::string out;
    std::string err;
};

// In a forked child: adds env to the environment and executes argv; exit
// status 127 when that fails. Never returns.
[[noreturn]] void exec_with_env(const std::vector<std::string> &argv,
                                const std::vector<std::string> &env);

// A child that a sanitizer ended (its exit status or its report on stderr)
// is a test failure, whatever status the test expected: adds one, naming
// what was run. run_process and finish_child call it.
bool sanitizer_finding(const ProcessResult &result);
void fail_on_sanitizer_finding(const std::string &what, const ProcessResult &result);
// Adds a failure when ASAN_OPTIONS or UBSAN_OPTIONS give an exit code other
// than the one counted above. run_process and start_sample call it.
void check_sanitizer_exit_codes();

// The environment word that preloads library into a child. In the sanitized
// build AddressSanitizer's runtime comes first: it refuses to start behind
// another library.
std::string preload_env(const std::string &library);

// Whether this process runs under qemu's user-mode emulator, as 32-bit
// programs do where the kernel runs none itself (scripts/run-i386.sh).
bool under_emulator();

// Throws std::runtime_error ("pipe: ...", "fork: ...") when the child cannot
// be started: a test can never take a child that never ran for one that
// passed.
ProcessResult run_process(const std::vector<std::string> &argv, const std::string &cwd,
                          const std::vector<std::string> &env = {}, int timeout_ms = 60000);

// A fresh directory under the system's temporary folder, removed with its
// contents when the object goes.
struct TempDir {
    std::string path;
    TempDir();
    ~TempDir();
    TempDir(const TempDir &) = delete;
    TempDir &operator=(const TempDir &) = delete;
    std::string file(const std::string &name) const { return path + "/" + name; }
};

void write_bytes(const std::string &path, const std::vector<unsigned char> &bytes);
std::vector<unsigned char> read_bytes(const std::string &path);
