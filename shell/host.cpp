#include "shell/host.h"

#include <SDL.h>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "binding/bind.h"
#include "binding/catalogue.h"
#include "loader/loader.h"
#include "lumox_version.h"
#include "machine/display.h"
#include "machine/sink.h"
#include "render/render.h"
#include "shell/fatal.h"
#include "sound/sound.h"
#include "sound/timer.h"
#include "time/scheduler.h"

void print_usage() {
    printf("Virtual Lumox v0.90\n%s\n",
           "lumoxrun: a Linux host for the lumox.exe demo\n"
           "Runs the demo's own code natively, with SDL for screen, keys and sound");
    printf("Plays the Fix and Party releases, from LE or PMW1 images\n"
           "\n"
           "Usage: lumoxrun [options]\n"
           "Options are:\n"
           "  -h       Show this screen\n"
           "  --help   The same\n"
           "  -mute    Do not output sound\n"
           "  -f       fullscreen\n"
           "  -square  Square pixels (16:10) instead of the 4:3 picture\n"
           "  -scale N Window of 320N x 240N (320N x 200N with -square)\n"
           "  -render FILE  Write the demo to a video file instead of showing it:\n"
           "           .mkv, .mp4, .wav or .flac, on the demo's own clock\n"
           "  -fps RATE     Frame rate of the video (60, 60000/1001, ...)\n"
           "  -seconds N    Press Escape after N seconds of the demo\n"
           "  --version Print the program version\n"
           "Keys: q, esc - quit, f - toggle fullscreen\n"
           "      alt+enter - toggle fullscreen too\n"
           "      s - save the picture as lumox-NNNN.png\n"
           "      p, pause - pause or resume, . - next frame while paused\n"
           "\n");
    exit(0);
}

// Runs on whichever thread called exit: the main thread, or another after an
// error in a music pass, while the others may still run.
void shutdown_host() {
    // A fatal inside a locked sound section must not leave the audio or timer
    // thread, which SDL_Quit waits for, waiting for this one.
    sound_unlock_all();
    release_display();
    // The timer and the stall watch; then the output ends (live: audio
    // paused and input let go; a render finishes its file).
    sched_stop();
    output_sink->close();
    SDL_Quit();
    printf("\nHave a nice day\n");
}

// A scale factor of 1 to 16, nothing else: larger windows outgrow any
// desktop and their surfaces run to hundreds of megabytes.
constexpr int max_scale = 16;
static int scale_value(const char *text) {
    if (!text || text[0] < '1' || text[0] > '9') {
        return 0;
    }
    char *end = nullptr;
    const long n = strtol(text, &end, 10);
    return *end == '\0' && n <= max_scale ? static_cast<int>(n) : 0;
}

// The word after an option that takes one, advancing past it; "" when the
// command line ends there.
static const char *take_value(int argc, char **argv, int &i) {
    return i + 1 < argc ? argv[++i] : "";
}

static void parse_options(int argc, char **argv) {
    const char *rate = nullptr;
    const char *seconds = nullptr;
    const char *unknown = nullptr;
    // Each word is matched once: a value taken by the option before it is
    // never read as an option too.
    for (int i = 1; i < argc; i++) {
        const char *arg = argv[i];
        if (strcmp(arg, "-mute") == 0) {
            mute = 1;
        } else if (strcmp(arg, "-h") == 0 || strcmp(arg, "--help") == 0) {
            print_usage();
        } else if (strcmp(arg, "-f") == 0) {
            video_flags |= SDL_FULLSCREEN;
        } else if (strcmp(arg, "-square") == 0) {
            square_pixels = 1;
        } else if (strcmp(arg, "-scale") == 0) {
            // A missing or invalid factor leaves "-scale" ignored, like any
            // unknown argument: the window keeps its desktop-fitted size, and
            // the word after it is an argument of its own.
            const int n = scale_value(i + 1 < argc ? argv[i + 1] : nullptr);
            if (n > 0) {
                scale_factor = n;
                i++;
            }
        } else if (strcmp(arg, "-render") == 0) {
            // Unlike "-scale", these take their word whatever it is: a render
            // asked for must not turn into live play, and a faulty value is
            // reported rather than taken for an option.
            if (i + 1 >= argc) {
                fatal("render: -render needs a file name");
            }
            render_path = take_value(argc, argv, i);
        } else if (strcmp(arg, "-fps") == 0) {
            rate = take_value(argc, argv, i);
        } else if (strcmp(arg, "-seconds") == 0) {
            seconds = take_value(argc, argv, i);
        } else if (strcmp(arg, "--version") == 0) {
            // Like "-h": at once, before the guest file is opened.
            printf("lumoxrun %s\n", lumox_version);
            exit(0);
        } else if (!unknown) {
            unknown = arg;
        }
    }
    if ((rate || seconds) && !render_path) {
        fatal("render: %s needs -render FILE", rate ? "-fps" : "-seconds");
    }
    if (!render_path) {
        return; // live play ignores what it does not know
    }
    if (rate) {
        parse_render_rate(rate);
    }
    if (seconds) {
        parse_render_seconds(seconds);
    }
    check_render_options();
    // A render with a word it does not know, a misspelt option most likely,
    // would make a file other than the one asked for.
    if (unknown) {
        fatal("render: unknown argument %s", unknown);
    }
}

int host_main(int argc, char **argv) {
    parse_options(argc, argv);

    const int index = load_guest_image(guest_file_name, known_releases);
    GuestRelease *release = known_releases[index];
    is_party_release = release == &release_party;
    guest_objects = release->objects;
    guest_object_count = release->object_count;
    guest_symbols = release->symbols;

    bind_guest(release);

    // The one place that chooses between live play and a render, which
    // needs neither a display nor a sound card.
    const bool live = render_path == nullptr;
    if (live && SDL_Init(SDL_INIT_TIMER | SDL_INIT_AUDIO | SDL_INIT_VIDEO) == -1) {
        fatal_sdl("sdl");
    }
    atexit(shutdown_host);
    if (live) {
        check_display();
        set_caption(false);
        sched_start(TimeDriver::live);
    } else {
        begin_render(release->digest);
    }

    video_mutex = SDL_CreateMutex();
    if (!video_mutex) {
        fatal_sdl("vmutex");
    }

    install_sound_output();
    install_sound_device();
    apply_release_patches(*release);
    return start_guest();
}
