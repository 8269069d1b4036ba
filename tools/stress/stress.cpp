// Ends the sample guest over and over by every exit road (also from a pause),
// with and without sound, and counts runs that hung, ended with the wrong
// status, lost the farewell line or shut SDL down before releasing the
// display (seen by a preloaded SDL_Quit). Usage: lumox_stress [runs [window runs]]: runs of each
// road (100), runs of each road that needs a window (as many); exits 1 when
// any run went wrong.
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "support/process.h"
#include "support/sample_run.h"

namespace {

enum class Act { none, key_q, key_escape, close_window };

struct Road {
    const char *name;
    Act act;
    bool party;
    const char *script;
    int status;
    const char *stderr_tail; // what the error stream must end with
    bool mode_set;           // the guest has set its video mode before it ends
    bool paused = false;     // the player is paused first ('p')
};

// Frame 1 held: the guest keeps polling keys without drawing anew.
const Road roads[] = {
    {"guest exit", Act::none, false, "frames 10\nstatus 4\n", 4, "", true},
    {"fatal in a pass (audio or timer thread)", Act::none, true,
     "frames 400\nerror 7\nerror-at 25\n", 1, "midas\n", true},
    {"fatal in the first pass (main or timer thread)", Act::none, false,
     "frames 400\nerror 5\nerror-at 1\n", 1, "midas\n", false},
    {"q", Act::key_q, true, "hold 1\nescape 3\n", 0, "", true},
    {"Escape", Act::key_escape, false, "hold 1\nescape 3\n", 3, "", true},
    {"window close", Act::close_window, true, "hold 1\nescape 3\n", 0, "", true},
    // Paused, the guest waits inside its keyboard poll, with the music held.
    {"q while paused", Act::key_q, false, "escape 3\n", 0, "", true, true},
    {"Escape while paused", Act::key_escape, true, "escape 3\n", 3, "", true, true},
    {"window close while paused", Act::close_window, false, "escape 3\n", 0, "", true, true},
};

const char farewell[] = "\nHave a nice day\n";
const char released_line[] = "quit: screen released, frame released\n";
const char no_mode_line[] = "quit: no video mode\n";

struct Tally {
    int runs = 0, hangs = 0, wrong_status = 0, no_farewell = 0, wrong_order = 0;
    double slowest = 0;
    int bad() const { return hangs + wrong_status + no_farewell + wrong_order; }
};

// Stopped from outside (Ctrl-C), the run takes its X server and the host it
// is waiting for with it.
volatile pid_t running_child = -1;
volatile pid_t running_xvfb = -1;
void stop(int) {
    if (running_child > 0) {
        kill(running_child, SIGKILL);
    }
    if (running_xvfb > 0) {
        kill(running_xvfb, SIGTERM);
    }
    _exit(130);
}

bool ends_with(const std::string &s, const std::string &tail) {
    return s.size() >= tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
}

void sleep_ms(int ms) {
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

// The address of a data symbol of the host, from its symbol table.
std::string symbol_address(const std::string &name) {
    const ProcessResult r = run_process(
        {"/bin/sh", "-c", "nm '" + sample_host() + "' | awk '$3 == \"" + name + "\" {print $1}'"},
        "/tmp");
    std::string hex = r.out.substr(0, r.out.find('\n'));
    return hex.empty() ? "" : "0x" + hex;
}

std::string probe_library() {
    const char *p = getenv("LUMOX_QUIT_PROBE");
    return p ? p : sample_build_dir() + "/tools/liblumox_quit_probe.so";
}

// Sends the road's key or close request once the window is there. SDL may
// replace its first window when the guest sets its mode, so the newest one
// is asked for again just before.
bool act_on_window(const Xvfb &x, Act act, bool paused) {
    if (find_window(x, "^Lumox", 20000).empty()) {
        return false;
    }
    sleep_ms(300);
    const std::string window = find_window(x, "^Lumox", 1000);
    if (paused) {
        x_command(x, {"/usr/bin/xdotool", "windowfocus", "--sync", window});
        x_command(x, {"/usr/bin/xdotool", "key", "p"});
        sleep_ms(300);
    }
    if (act == Act::close_window) {
        return request_close(x, window);
    }
    x_command(x, {"/usr/bin/xdotool", "windowfocus", "--sync", window});
    x_command(x, {"/usr/bin/xdotool", "key", act == Act::key_q ? "q" : "Escape"});
    return true;
}

void run_once(const Road &road, bool mute, const Xvfb &x, const std::vector<std::string> &probe,
              Tally &tally, bool verbose) {
    TempDir dir;
    prepare_sample_dir(dir, road.party, road.script);
    std::vector<std::string> env = probe;
    env.push_back("LUMOX_PROBE_LOG=" + dir.file("probe.txt"));
    env.push_back("SDL_AUDIODRIVER=dummy");
    if (road.act == Act::none) {
        env.push_back("SDL_VIDEODRIVER=dummy");
    } else {
        env.push_back("SDL_VIDEODRIVER=x11");
        env.push_back("DISPLAY=" + x.display);
    }
    std::vector<std::string> options;
    if (mute) {
        options.push_back("-mute");
    }
    const auto started = std::chrono::steady_clock::now();
    Child child = start_sample(dir, options, env);
    running_child = child.pid;
    if (road.act != Act::none) {
        act_on_window(x, road.act, road.paused);
    }
    const ProcessResult r = finish_child(child, 20000);
    running_child = -1;
    const std::vector<unsigned char> probe_bytes = read_bytes(dir.file("probe.txt"));
    const std::string probe_text(probe_bytes.begin(), probe_bytes.end());

    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    tally.runs++;
    tally.slowest = seconds > tally.slowest ? seconds : tally.slowest;
    const bool hung = r.timed_out;
    const bool status_wrong =
        !hung && (r.exit_status != road.status || !ends_with(r.err, road.stderr_tail));
    const bool farewell_missing = !hung && !ends_with(r.out, farewell);
    const bool order_wrong =
        !hung && probe_text != released_line && (road.mode_set || probe_text != no_mode_line);
    tally.hangs += hung;
    tally.wrong_status += status_wrong;
    tally.no_farewell += farewell_missing;
    tally.wrong_order += order_wrong;
    if (verbose && (hung || status_wrong || farewell_missing || order_wrong)) {
        fprintf(stderr, "--- %s%s: status %d signal %d%s\nprobe: %s--- stdout\n%s--- stderr\n%s\n",
                road.name, mute ? " -mute" : "", r.exit_status, r.signal, hung ? " (hung)" : "",
                probe_text.c_str(), r.out.c_str(), r.err.c_str());
    }
}

} // namespace

int main(int argc, char **argv) {
    const int runs = argc > 1 ? atoi(argv[1]) : 100;
    const int window_runs = argc > 2 ? atoi(argv[2]) : runs;
    if (runs <= 0 || window_runs < 0) {
        fprintf(stderr, "usage: lumox_stress [runs [window runs]]\n");
        return 2;
    }
    const std::string screen = symbol_address("screen");
    const std::string frame = symbol_address("frame_surface");
    if (screen.empty() || frame.empty()) {
        fprintf(stderr, "lumox_stress: no symbols screen and frame_surface in %s\n",
                sample_host().c_str());
        return 2;
    }
    // In a sanitized build the preloaded probe comes before the sanitizer's
    // runtime, which would refuse to start without this.
    const char *asan_options = getenv("ASAN_OPTIONS");
    const std::vector<std::string> probe = {
        "LD_PRELOAD=" + probe_library(), "LUMOX_PROBE_SCREEN=" + screen,
        "LUMOX_PROBE_FRAME=" + frame,
        std::string("ASAN_OPTIONS=") + (asan_options ? asan_options : "") +
            ":verify_asan_link_order=0"};
    Xvfb x;
    running_xvfb = x.pid;
    signal(SIGINT, stop);
    signal(SIGTERM, stop);
    if (x.display.empty()) {
        fprintf(stderr, "lumox_stress: Xvfb did not start\n");
        return 2;
    }

    constexpr int road_count = sizeof roads / sizeof roads[0];
    Tally tallies[road_count][2];
    const auto started = std::chrono::steady_clock::now();
    // Round after round, so that a fault that shows late still shows on
    // every road.
    for (int i = 0; i < (runs > window_runs ? runs : window_runs); i++) {
        for (int r = 0; r < road_count; r++) {
            if (i >= (roads[r].act == Act::none ? runs : window_runs)) {
                continue;
            }
            for (int mute = 0; mute < 2; mute++) {
                run_once(roads[r], mute, x, probe, tallies[r][mute],
                         getenv("LUMOX_STRESS_VERBOSE"));
            }
        }
    }
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();

    Tally total;
    printf("%-52s %6s %6s %6s %6s %6s %8s\n", "road", "runs", "hangs", "status", "fwell", "order",
           "slowest");
    for (int r = 0; r < road_count; r++) {
        for (int mute = 0; mute < 2; mute++) {
            const Tally &t = tallies[r][mute];
            const std::string name = std::string(roads[r].name) + (mute ? ", -mute" : "");
            printf("%-52s %6d %6d %6d %6d %6d %7.2fs\n", name.c_str(), t.runs, t.hangs,
                   t.wrong_status, t.no_farewell, t.wrong_order, t.slowest);
            total.runs += t.runs;
            total.hangs += t.hangs;
            total.wrong_status += t.wrong_status;
            total.no_farewell += t.no_farewell;
            total.wrong_order += t.wrong_order;
        }
    }
    printf("%-52s %6d %6d %6d %6d %6d\n", "total", total.runs, total.hangs, total.wrong_status,
           total.no_farewell, total.wrong_order);
    printf("%.1f s, %.2f s a run\n", seconds, seconds / total.runs);
    return total.bad() == 0 ? 0 : 1;
}
