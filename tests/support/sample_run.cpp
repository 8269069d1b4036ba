#include "support/sample_run.h"

#include <algorithm>
#include <chrono>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dlfcn.h>
#include <fcntl.h>
#include <fstream>
#include <gtest/gtest.h>
#include <sstream>
#include <stdexcept>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include "tools/sample_bytes.h"

namespace {

std::string env_or(const char *name, const std::string &fallback) {
    const char *v = getenv(name);
    return v && *v ? v : fallback;
}

// The build directory: from the environment, else two levels above the test
// executable (build/tests/<test>).
std::string binary_dir() {
    char self[4096];
    const ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    std::string fallback = ".";
    if (n > 0) {
        self[n] = 0;
        fallback = self;
        for (int up = 0; up < 2; up++) {
            fallback = fallback.substr(0, fallback.rfind('/'));
        }
    }
    return env_or("LUMOX_BINARY_DIR", fallback);
}

void sleep_ms(int ms) {
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

std::string read_text(const std::string &path) {
    std::ifstream f(path, std::ios::binary);
    std::stringstream s;
    s << f.rdbuf();
    return s.str();
}

std::string real_path(const std::string &path) {
    char resolved[PATH_MAX];
    return realpath(path.c_str(), resolved) ? resolved : "";
}

// The program a process runs. Where the kernel runs no 32-bit programs
// itself they run under qemu's user-mode emulator (scripts/run-i386.sh):
// the process's executable is then the emulator and the program its first
// argument.
std::string exe_of(pid_t pid) {
    char target[PATH_MAX];
    const std::string link = "/proc/" + std::to_string(pid) + "/exe";
    const ssize_t n = readlink(link.c_str(), target, sizeof target - 1);
    const std::string exe = n > 0 ? std::string(target, static_cast<size_t>(n)) : "";
    if (exe.find("/qemu-") == std::string::npos) {
        return exe;
    }
    std::ifstream cmdline("/proc/" + std::to_string(pid) + "/cmdline", std::ios::binary);
    std::string emulator, program;
    std::getline(cmdline, emulator, '\0');
    std::getline(cmdline, program, '\0');
    return real_path(program);
}

// The SDL 1.2 library a child of this process should load.
std::string expected_sdl_library() {
    std::istringstream dirs(env_or("LD_LIBRARY_PATH", ""));
    for (std::string dir; std::getline(dirs, dir, ':');) {
        if (!dir.empty() && access((dir + "/libSDL-1.2.so.0").c_str(), F_OK) == 0) {
            return real_path(dir + "/libSDL-1.2.so.0");
        }
    }
    return real_path("/usr/lib/i386-linux-gnu/libSDL-1.2.so.0");
}

// Waits until the child has executed the host and its loader has mapped the
// libraries; before the exec its maps are a copy of this process's.
void check_sdl_library(Child &child, const std::string &host) {
    const std::string expected = expected_sdl_library();
    const std::string host_path = real_path(host);
    for (int waited = 0; waited < 10000 && child.sdl_library.empty(); waited += 5) {
        if (!child_running(child)) {
            break;
        }
        if (exe_of(child.pid) == host_path) {
            child.sdl_library = mapped_sdl_library(child.pid);
        }
        if (child.sdl_library.empty()) {
            sleep_ms(5);
        }
    }
    EXPECT_FALSE(expected.empty()) << "no SDL 1.2 library installed";
    EXPECT_EQ(child.sdl_library, expected) << "the SDL 1.2 library the host loaded";
}

// The window tests' second run, against the classic SDL 1.2 library: ctest
// gives it LUMOX_CLASSIC_SDL_DIR, the directory make deps unpacked the
// library into, and the hosts started get it as LD_LIBRARY_PATH. Without the
// library the run says why and ends with the skip status before any test,
// except in CI, which must run it.
struct ClassicSdlRun : ::testing::Environment {
    void SetUp() override {
        const char *dir = getenv("LUMOX_CLASSIC_SDL_DIR");
        if (!dir) {
            return;
        }
        const std::string library = std::string(dir) + "/libSDL-1.2.so.0";
        if (access(library.c_str(), R_OK) != 0) {
            const bool ci = env_or("CI", "") == "true";
            printf("classic SDL 1.2 library not found at %s: the classic-library run is %s "
                   "(make deps, that is scripts/install-deps.sh, fetches it)\n",
                   library.c_str(), ci ? "required in CI" : "skipped");
            fflush(stdout);
            _exit(ci ? 1 : LUMOX_SKIP_STATUS);
        }
        setenv("LD_LIBRARY_PATH", dir, 1);
    }
};
[[maybe_unused]] const ::testing::Environment *const classic_sdl_run =
    ::testing::AddGlobalTestEnvironment(new ClassicSdlRun);

} // namespace

std::string mapped_sdl_library(pid_t pid) {
    std::ifstream maps("/proc/" + std::to_string(pid) + "/maps");
    for (std::string line; std::getline(maps, line);) {
        const size_t path = line.find('/');
        if (path != std::string::npos && line.find("/libSDL-1.2.so", path) != std::string::npos) {
            return line.substr(path);
        }
    }
    return "";
}

std::string sample_build_dir() {
    return binary_dir();
}

std::string sample_host() {
    return env_or("LUMOXRUN_SAMPLE", binary_dir() + "/sample/lumoxrun-sample");
}

std::string sample_image(bool party) {
    return binary_dir() + (party ? "/sample/party/lumox.exe" : "/sample/fix/lumox.exe");
}

void prepare_sample_dir(const TempDir &dir, bool party, const std::string &script) {
    const std::vector<unsigned char> image = read_bytes(sample_image(party));
    if (image.empty()) {
        throw std::runtime_error("no sample image at " + sample_image(party));
    }
    write_bytes(dir.file("lumox.exe"), image);
    if (!script.empty()) {
        write_bytes(dir.file("lumox.scr"),
                    std::vector<unsigned char>(script.begin(), script.end()));
    }
}

ProcessResult run_sample(const TempDir &dir, const std::vector<std::string> &options,
                         const std::vector<std::string> &env, int timeout_ms) {
    std::vector<std::string> argv{sample_host()};
    argv.insert(argv.end(), options.begin(), options.end());
    return run_process(argv, dir.path, env, timeout_ms);
}

std::vector<uint8_t> sample_frame(int frame, int note) {
    std::vector<uint8_t> pixels(64000);
    sample_plasma_frame(static_cast<unsigned>(frame), pixels.data());
    if (note >= 0) {
        std::fill(pixels.begin() + sample_note_bar_top * 320, pixels.end(),
                  sample_note_bar_index(note));
    }
    return pixels;
}

std::vector<uint8_t> sample_screen_palette() {
    std::vector<uint8_t> palette(768);
    sample_plasma_palette(palette.data());
    // 6-bit components, shown at four times their value.
    for (uint8_t &c : palette) {
        c = static_cast<uint8_t>(c * 4);
    }
    return palette;
}

uint8_t sample_note_bar_index(int note) {
    return static_cast<uint8_t>(9 + 32 * note);
}

namespace {

// The note whose bar every pixel of the bar lines matches, -1 for none.
template <typename Matches> int note_of_bar(Matches matches) {
    for (int note = 0; note < 8; note++) {
        bool all = true;
        for (int p = sample_note_bar_top * 320; all && p < 64000; p++) {
            all = matches(p, sample_note_bar_index(note));
        }
        if (all) {
            return note;
        }
    }
    return -1;
}

} // namespace

int sample_note_shown(const std::vector<uint8_t> &pixels) {
    if (pixels.size() != 64000) {
        return -1;
    }
    return note_of_bar([&](int p, uint8_t index) { return pixels[p] == index; });
}

int sample_note_shown_rgb(const std::vector<uint8_t> &rgb) {
    static const std::vector<uint8_t> palette = sample_screen_palette();
    if (rgb.size() != 3 * 64000) {
        return -1;
    }
    return note_of_bar(
        [&](int p, uint8_t index) { return memcmp(&rgb[3 * p], &palette[3 * index], 3) == 0; });
}

const int sample_melody_hz[8] = {262, 392, 523, 659, 784, 1047, 880, 330};

Child start_sample(const TempDir &dir, const std::vector<std::string> &options,
                   const std::vector<std::string> &env, const std::string &work_dir) {
    const std::string cwd = work_dir.empty() ? dir.path : work_dir;
    Child child;
    child.out_path = dir.file("stdout.txt");
    child.err_path = dir.file("stderr.txt");
    std::vector<std::string> argv{sample_host()};
    argv.insert(argv.end(), options.begin(), options.end());
    check_sanitizer_exit_codes();
    child.pid = fork();
    if (child.pid == 0) {
        const int out = open(child.out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        const int err = open(child.err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        const int in = open("/dev/null", O_RDONLY);
        if (out < 0 || err < 0 || in < 0 || chdir(cwd.c_str()) != 0) {
            _exit(126);
        }
        dup2(out, 1);
        dup2(err, 2);
        dup2(in, 0);
        exec_with_env(argv, env);
    }
    if (child.pid < 0) {
        throw std::runtime_error(std::string("fork: ") + strerror(errno));
    }
    check_sdl_library(child, argv[0]);
    return child;
}

bool child_running(const Child &child) {
    if (child.pid <= 0) {
        return false;
    }
    siginfo_t info = {};
    return waitid(P_PID, static_cast<id_t>(child.pid), &info, WEXITED | WNOHANG | WNOWAIT) == 0 &&
           info.si_pid == 0;
}

ProcessResult finish_child(Child &child, int timeout_ms) {
    ProcessResult result;
    int status = 0;
    for (int waited = 0;; waited += 20) {
        const pid_t r = waitpid(child.pid, &status, WNOHANG);
        if (r == child.pid) {
            break;
        }
        if (waited >= timeout_ms) {
            result.timed_out = true;
            kill(child.pid, SIGKILL);
            waitpid(child.pid, &status, 0);
            break;
        }
        sleep_ms(20);
    }
    child.pid = -1;
    if (WIFEXITED(status)) {
        result.exit_status = WEXITSTATUS(status);
    } else if (WIFSIGNALED(status)) {
        result.signal = WTERMSIG(status);
    }
    result.out = read_text(child.out_path);
    result.err = read_text(child.err_path);
    fail_on_sanitizer_finding(sample_host(), result);
    return result;
}

Xvfb::Xvfb(const std::string &screen_size) {
    int fds[2];
    if (pipe(fds) != 0) {
        return;
    }
    pid = fork();
    if (pid == 0) {
        close(fds[0]);
        const int null_fd = open("/dev/null", O_RDWR);
        dup2(null_fd, 0);
        dup2(null_fd, 1);
        dup2(null_fd, 2);
        const std::string fd = std::to_string(fds[1]);
        // -noreset: by default the server resets whenever its last client
        // leaves, and a client that connects meanwhile is refused; the
        // tests' short-lived xdotool and xwd runs made that a race with the
        // host's own connection ("Couldn't open X11 display").
        execl("/usr/bin/Xvfb", "Xvfb", "-displayfd", fd.c_str(), "-screen", "0",
              screen_size.c_str(), "-nolisten", "tcp", "-noreset", static_cast<char *>(nullptr));
        _exit(127);
    }
    close(fds[1]);
    // Xvfb writes the display number it chose once it accepts clients.
    std::string number;
    char c;
    while (read(fds[0], &c, 1) == 1 && c != '\n') {
        number += c;
    }
    close(fds[0]);
    if (!number.empty()) {
        display = ":" + number;
    }
}

Xvfb::~Xvfb() {
    if (pid > 0) {
        kill(pid, SIGTERM);
        int status;
        waitpid(pid, &status, 0);
    }
}

std::string x_command(const Xvfb &x, const std::vector<std::string> &argv, int timeout_ms) {
    const ProcessResult r = run_process(argv, "/tmp", {"DISPLAY=" + x.display}, timeout_ms);
    return r.out;
}

std::string find_window(const Xvfb &x, const std::string &name, int timeout_ms) {
    // SDL may make and drop a window before the one that stays: take the
    // newest, the last one listed.
    for (int waited = 0; waited < timeout_ms; waited += 100) {
        std::istringstream ids(x_command(x, {"/usr/bin/xdotool", "search", "--name", name}));
        std::string id, last;
        while (std::getline(ids, id)) {
            if (!id.empty()) {
                last = id;
            }
        }
        if (!last.empty()) {
            return last;
        }
        sleep_ms(100);
    }
    return "";
}

std::vector<uint8_t> screenshot(const Xvfb &x, const std::string &window, int &width, int &height) {
    width = height = 0;
    // The window's own contents come back in a visual that xwdtopnm reads
    // wrongly; the root window's are right, so cut the window out of them.
    const std::string geometry =
        x_command(x, {"/usr/bin/xdotool", "getwindowgeometry", "--shell", window});
    int left = -1, top = -1, w = 0, h = 0;
    std::istringstream lines(geometry);
    for (std::string line; std::getline(lines, line);) {
        if (line.rfind("X=", 0) == 0) {
            left = std::stoi(line.substr(2));
        } else if (line.rfind("Y=", 0) == 0) {
            top = std::stoi(line.substr(2));
        } else if (line.rfind("WIDTH=", 0) == 0) {
            w = std::stoi(line.substr(6));
        } else if (line.rfind("HEIGHT=", 0) == 0) {
            h = std::stoi(line.substr(7));
        }
    }
    if (left < 0 || top < 0 || w <= 0 || h <= 0) {
        return {};
    }
    const ProcessResult r =
        run_process({"/bin/sh", "-c",
                     "xwd -silent -root | xwdtopnm 2>/dev/null | pamcut -left " +
                         std::to_string(left) + " -top " + std::to_string(top) + " -width " +
                         std::to_string(w) + " -height " + std::to_string(h)},
                    "/tmp", {"DISPLAY=" + x.display}, 20000);
    // Binary PPM: "P6", width, height, maximum value, one white-space byte,
    // then one or two bytes a sample (xwdtopnm writes 16 bits for 24-bit
    // visuals: v * 257, so the high byte is the 8-bit value).
    std::istringstream in(r.out);
    std::string magic;
    int maxval = 0;
    in >> magic >> width >> height >> maxval;
    in.get();
    const size_t sample_bytes = maxval == 255 ? 1 : maxval == 65535 ? 2 : 0;
    if (magic != "P6" || sample_bytes == 0 || width <= 0 || height <= 0) {
        width = height = 0;
        return {};
    }
    std::vector<uint8_t> raw(static_cast<size_t>(width) * height * 3 * sample_bytes);
    in.read(reinterpret_cast<char *>(raw.data()), static_cast<std::streamsize>(raw.size()));
    if (in.gcount() != static_cast<std::streamsize>(raw.size())) {
        width = height = 0;
        return {};
    }
    std::vector<uint8_t> rgb(raw.size() / sample_bytes);
    for (size_t i = 0; i < rgb.size(); i++) {
        rgb[i] = raw[i * sample_bytes];
    }
    return rgb;
}

// A WM_DELETE_WINDOW client message, sent through libX11 loaded at run time
// (the tests need no X headers). The event record is that of a 32-bit Xlib.
bool request_close(const Xvfb &x, const std::string &window) {
    void *lib = dlopen("libX11.so.6", RTLD_NOW);
    if (!lib) {
        return false;
    }
    using OpenDisplay = void *(*)(const char *);
    using InternAtom = unsigned long (*)(void *, const char *, int);
    using SendEvent = int (*)(void *, unsigned long, int, long, void *);
    using Flush = int (*)(void *);
    using CloseDisplay = int (*)(void *);
    auto open_display = reinterpret_cast<OpenDisplay>(dlsym(lib, "XOpenDisplay"));
    auto intern_atom = reinterpret_cast<InternAtom>(dlsym(lib, "XInternAtom"));
    auto send_event = reinterpret_cast<SendEvent>(dlsym(lib, "XSendEvent"));
    auto flush = reinterpret_cast<Flush>(dlsym(lib, "XFlush"));
    auto close_display = reinterpret_cast<CloseDisplay>(dlsym(lib, "XCloseDisplay"));
    if (!open_display || !intern_atom || !send_event || !flush || !close_display) {
        return false;
    }
    void *display = open_display(x.display.c_str());
    if (!display) {
        return false;
    }
    struct ClientMessage {
        int type;
        unsigned long serial;
        int send_event;
        void *display;
        unsigned long window;
        unsigned long message_type;
        int format;
        long data[5];
    };
    union {
        ClientMessage message;
        long pad[24];
    } event = {};
    static_assert(sizeof(ClientMessage) == 48, "32-bit Xlib event layout");
    const unsigned long id = std::stoul(window);
    event.message.type = 33; // ClientMessage
    event.message.display = display;
    event.message.window = id;
    event.message.message_type = intern_atom(display, "WM_PROTOCOLS", 0);
    event.message.format = 32;
    event.message.data[0] = static_cast<long>(intern_atom(display, "WM_DELETE_WINDOW", 0));
    event.message.data[1] = 0; // CurrentTime
    const int sent = send_event(display, id, 0, 0, &event);
    flush(display);
    close_display(display);
    return sent != 0;
}
