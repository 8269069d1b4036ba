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
#include "shell/fatal.h"
#include "sound/sound.h"
#include "sound/timer.h"

void print_usage() {
    printf("Virtual Lumox v0.90\n%s\n",
           "lumoxrun: a Linux host for the lumox.exe demo\n"
           "Runs the demo's own code natively, with SDL for screen, keys and sound");
    printf("Plays the Fix and Party releases, from LE or PMW1 images\n"
           "\n"
           "Usage: lumoxrun [options]\n"
           "Options are:\n"
           "  -h       Show this screen\n"
           "  -mute    Do not output sound\n"
           "  -f       fullscreen\n"
           "  --version Print the program version\n"
           "Keys: q, esc - quit, f - toggle fullscreen\n"
           "\n");
    exit(0);
}

void shutdown_host() {
    release_display();
    if (timer_id) {
        SDL_RemoveTimer(timer_id);
    }
    SDL_PauseAudio(1);
    SDL_WM_GrabInput(SDL_GRAB_ON);
    SDL_WM_GrabInput(SDL_GRAB_OFF);
    SDL_Quit();
    printf("\nHave a nice day\n");
}

static void parse_options(int argc, char **argv) {
    for (int i = 1; i < argc; i++) {
        if (strcmp(argv[i], "-mute") == 0) {
            mute = 1;
        }
        if (strcmp(argv[i], "-h") == 0) {
            print_usage();
        }
        if (strcmp(argv[i], "-f") == 0) {
            video_flags |= SDL_FULLSCREEN;
        }
        // Like "-h": at once, before the guest file is opened.
        if (strcmp(argv[i], "--version") == 0) {
            printf("lumoxrun %s\n", lumox_version);
            exit(0);
        }
    }
}

int host_main(int argc, char **argv) {
    parse_options(argc, argv);

    const int index = load_guest_image(guest_file_name, known_releases);
    GuestRelease *release = known_releases[index];
    is_party_release = release == &release_party;
    guest_objects = release->objects;
    guest_symbols = release->symbols;

    bind_guest(release);

    if (SDL_Init(SDL_INIT_TIMER | SDL_INIT_AUDIO | SDL_INIT_VIDEO) == -1) {
        fatal_sdl("sdl");
    }
    atexit(shutdown_host);

    char caption[128];
    snprintf(caption, sizeof caption, "Lumox(%s) 'f' - fullscreen, 'q/esc' - quit",
             is_party_release ? "Party" : "Fix");
    SDL_WM_SetCaption(caption, nullptr);

    video_mutex = SDL_CreateMutex();
    if (!video_mutex) {
        fatal_sdl("vmutex");
    }

    install_sound_device();
    apply_release_patches();
    return start_guest();
}
