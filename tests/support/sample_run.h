// The sample guest as the end-to-end tests see it: its images and host, what
// it draws and plays (computed here independently of the guest's code), and
// running it in the background under a virtual X server.
#pragma once

#include <cstdint>
#include <string>
#include <sys/types.h>
#include <vector>

#include "support/process.h"

// The host built with the sample images' digests, and the two images.
std::string sample_build_dir();
std::string sample_host();
std::string sample_image(bool party);

// A working directory with the release's lumox.exe and, unless empty, the
// guest's script file.
void prepare_sample_dir(const TempDir &dir, bool party, const std::string &script);

// Runs the sample host in dir with the given options and environment.
ProcessResult run_sample(const TempDir &dir, const std::vector<std::string> &options,
                         const std::vector<std::string> &env, int timeout_ms = 60000);

// The picture: palette index of every pixel of frame f, with the bar of a
// melody index when note >= 0, and the palette as it looks on the screen
// (8-bit components, 768 bytes) once the guest has faded in.
std::vector<uint8_t> sample_frame(int frame, int note = -1);
std::vector<uint8_t> sample_screen_palette();

// The note bar: unless its script says "notes 0", the guest fills these
// lines of every frame it copies (plasma, held and fade frames) with the
// palette index of the note audible at the copy, melody index n.
constexpr int sample_note_bar_top = 192;
constexpr int sample_note_bar_lines = 8;
uint8_t sample_note_bar_index(int note);
// The melody index whose bar fills the bar lines of a frame: of palette
// indices (64000 bytes), or of RGB pixels (192000 bytes) in the screen
// palette; -1 when the bar lines are not one note's bar.
int sample_note_shown(const std::vector<uint8_t> &pixels);
int sample_note_shown_rgb(const std::vector<uint8_t> &rgb);

// The melody: its notes in order, each lasting note_ms.
extern const int sample_melody_hz[8];
constexpr int sample_note_ms = 200;

// A process running in the background; output goes to files in dir.
struct Child {
    pid_t pid = -1;
    std::string out_path, err_path;
    std::string sdl_library; // the SDL 1.2 library file it mapped
};
// Starts the sample host in dir, or in work_dir when given (output files stay
// in dir). It fails the current test unless the child maps the SDL 1.2
// library expected: the one in the first LD_LIBRARY_PATH directory that holds
// one, else the system's.
Child start_sample(const TempDir &dir, const std::vector<std::string> &options,
                   const std::vector<std::string> &env, const std::string &work_dir = "");
// The SDL 1.2 library file that the process maps, empty when none.
std::string mapped_sdl_library(pid_t pid);
// Waits for the child to end (killing it after timeout_ms) and collects it.
ProcessResult finish_child(Child &child, int timeout_ms);
// Whether the child is still running.
bool child_running(const Child &child);

// A virtual X server of its own, on a display number it picks itself, with
// one screen of the given size and depth.
struct Xvfb {
    pid_t pid = -1;
    std::string display; // ":N", empty when it did not start
    explicit Xvfb(const std::string &screen_size = "1024x768x24");
    ~Xvfb();
    Xvfb(const Xvfb &) = delete;
    Xvfb &operator=(const Xvfb &) = delete;
};

// Runs an X client (xdotool, xwd, ...) on the display and returns its stdout.
std::string x_command(const Xvfb &x, const std::vector<std::string> &argv, int timeout_ms = 20000);
// The id of the first window whose name matches, waiting up to timeout_ms.
std::string find_window(const Xvfb &x, const std::string &name, int timeout_ms);
// A screenshot of a window as RGB bytes; width and height are set.
std::vector<uint8_t> screenshot(const Xvfb &x, const std::string &window, int &width, int &height);
// Asks the window to close, as a window manager's close button does.
bool request_close(const Xvfb &x, const std::string &window);
