#include "process.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <poll.h>
#include <stdexcept>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

static long long now_ms() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec * 1000LL + ts.tv_nsec / 1000000;
}

void exec_with_env(const std::vector<std::string> &argv, const std::vector<std::string> &env) {
    for (const std::string &e : env) {
        putenv(strdup(e.c_str()));
    }
    std::vector<char *> args;
    for (const std::string &a : argv) {
        args.push_back(const_cast<char *>(a.c_str()));
    }
    args.push_back(nullptr);
    execv(args[0], args.data());
    _exit(127);
}

bool sanitizer_finding(const ProcessResult &result) {
    if (result.exit_status == LUMOX_ASAN_EXIT_CODE || result.exit_status == LUMOX_UBSAN_EXIT_CODE) {
        return true;
    }
    for (const char *mark : {"ERROR: AddressSanitizer", "runtime error: ",
                             "UndefinedBehaviorSanitizer", "ERROR: LeakSanitizer"}) {
        if (result.err.find(mark) != std::string::npos) {
            return true;
        }
    }
    return false;
}

void fail_on_sanitizer_finding(const std::string &what, const ProcessResult &result) {
    if (sanitizer_finding(result)) {
        ADD_FAILURE() << "sanitizer finding in " << what << " (exit status " << result.exit_status
                      << "):\n"
                      << result.err;
    }
}

std::string preload_env(const std::string &library) {
#ifdef LUMOX_ASAN_RUNTIME
    return "LD_PRELOAD=" LUMOX_ASAN_RUNTIME ":" + library;
#else
    return "LD_PRELOAD=" + library;
#endif
}

bool under_emulator() {
    // The emulator hides itself from its guest (/proc/self/exe names the
    // program), so ask the kernel which handler takes 32-bit executables.
    namespace fs = std::filesystem;
    std::error_code error;
    for (const fs::directory_entry &entry :
         fs::directory_iterator("/proc/sys/fs/binfmt_misc", error)) {
        std::ifstream handler(entry.path());
        std::string text((std::istreambuf_iterator<char>(handler)), {});
        if (text.rfind("enabled", 0) == 0 && text.find("qemu-i386") != std::string::npos) {
            return true;
        }
    }
    return false;
}

// A sanitizer that ends its process with another status than the one counted
// here would let its findings pass as ordinary exits.
void check_sanitizer_exit_codes() {
    const struct {
        const char *variable;
        int counted;
    } sanitizers[] = {{"ASAN_OPTIONS", LUMOX_ASAN_EXIT_CODE},
                      {"UBSAN_OPTIONS", LUMOX_UBSAN_EXIT_CODE}};
    for (const auto &s : sanitizers) {
        const char *options = getenv(s.variable);
        const char *code = options ? strstr(options, "exitcode=") : nullptr;
        if (code && atoi(code + strlen("exitcode=")) != s.counted) {
            ADD_FAILURE() << s.variable << " sets " << std::string(code).substr(0, 12)
                          << ", but a child's sanitizer finding is counted by exit status "
                          << s.counted;
        }
    }
}

static std::runtime_error system_error(const char *call) {
    return std::runtime_error(std::string(call) + ": " + strerror(errno));
}

ProcessResult run_process(const std::vector<std::string> &argv, const std::string &cwd,
                          const std::vector<std::string> &env, int timeout_ms) {
    check_sanitizer_exit_codes();
    int out_pipe[2], err_pipe[2];
    if (pipe(out_pipe) != 0) {
        throw system_error("pipe");
    }
    if (pipe(err_pipe) != 0) {
        const std::runtime_error error = system_error("pipe");
        close(out_pipe[0]);
        close(out_pipe[1]);
        throw error;
    }
    const pid_t pid = fork();
    // Without a child there is nothing to wait for: waitpid would report no
    // status at all, which reads as an exit with status 0.
    if (pid < 0) {
        const std::runtime_error error = system_error("fork");
        for (int fd : {out_pipe[0], out_pipe[1], err_pipe[0], err_pipe[1]}) {
            close(fd);
        }
        throw error;
    }
    if (pid == 0) {
        dup2(out_pipe[1], 1);
        dup2(err_pipe[1], 2);
        close(out_pipe[0]);
        close(err_pipe[0]);
        int null_fd = open("/dev/null", O_RDONLY);
        dup2(null_fd, 0);
        if (chdir(cwd.c_str()) != 0) {
            _exit(126);
        }
        exec_with_env(argv, env);
    }
    close(out_pipe[1]);
    close(err_pipe[1]);

    ProcessResult result;
    pollfd fds[2] = {{out_pipe[0], POLLIN, 0}, {err_pipe[0], POLLIN, 0}};
    std::string *sinks[2] = {&result.out, &result.err};
    int open_fds = 2;
    const long long deadline = now_ms() + timeout_ms;
    while (open_fds > 0) {
        const long long left = deadline - now_ms();
        if (left <= 0) {
            result.timed_out = true;
            kill(pid, SIGKILL);
            break;
        }
        if (poll(fds, 2, static_cast<int>(left)) < 0 && errno != EINTR) {
            break;
        }
        for (int i = 0; i < 2; i++) {
            if (fds[i].fd >= 0 && (fds[i].revents & (POLLIN | POLLHUP))) {
                char buf[4096];
                const ssize_t n = read(fds[i].fd, buf, sizeof buf);
                if (n > 0) {
                    sinks[i]->append(buf, static_cast<size_t>(n));
                } else {
                    close(fds[i].fd);
                    fds[i].fd = -1;
                    open_fds--;
                }
            }
        }
    }
    for (pollfd &f : fds) {
        if (f.fd >= 0) {
            close(f.fd);
        }
    }
    int status = 0;
    if (waitpid(pid, &status, 0) != pid) {
        throw system_error("waitpid");
    }
    if (WIFEXITED(status)) {
        result.exit_status = WEXITSTATUS(status);
    } else if (WIFSIGNALED(status)) {
        result.signal = WTERMSIG(status);
    }
    fail_on_sanitizer_finding(argv[0], result);
    return result;
}

TempDir::TempDir() {
    char pattern[] = "/tmp/lumoxtest.XXXXXX";
    if (!mkdtemp(pattern)) {
        throw std::runtime_error("mkdtemp");
    }
    path = pattern;
}

TempDir::~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path, ignored);
}

void write_bytes(const std::string &path, const std::vector<unsigned char> &bytes) {
    std::ofstream f(path, std::ios::binary);
    f.write(reinterpret_cast<const char *>(bytes.data()),
            static_cast<std::streamsize>(bytes.size()));
    if (!f) {
        throw std::runtime_error("write " + path);
    }
}

std::vector<unsigned char> read_bytes(const std::string &path) {
    std::ifstream f(path, std::ios::binary);
    return std::vector<unsigned char>(std::istreambuf_iterator<char>(f), {});
}
