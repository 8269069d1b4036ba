// Where the live window lies on an X display. SDL 1.2 cannot say, nor put
// a window back: leaving full screen would otherwise leave the window
// wherever the library puts it, and full screen without a window manager
// would leave a desktop-sized window where the window was. Xlib is reached
// through SDL's own connection, its few calls looked up at run time, so the
// program needs no X library beyond the one SDL loads.
#include "machine/window_place.h"

#include <SDL.h>
#include <SDL_syswm.h>
#include <dlfcn.h>

namespace {

struct Xlib {
    Bool (*translate)(Display *, Window, Window, int, int, int *, int *, Window *);
    Status (*query_tree)(Display *, Window, Window *, Window *, Window **, unsigned *);
    int (*move)(Display *, Window, int, int);
    int (*flush)(Display *);
    int (*free)(void *);
};

const Xlib *xlib() {
    static Xlib calls;
    static int state = 0; // 0 not looked up, 1 found, -1 not to be had
    if (state == 0) {
        void *lib = dlopen("libX11.so.6", RTLD_LAZY | RTLD_NOLOAD);
        if (!lib) {
            lib = dlopen("libX11.so.6", RTLD_LAZY);
        }
        if (lib) {
            calls.translate =
                reinterpret_cast<decltype(calls.translate)>(dlsym(lib, "XTranslateCoordinates"));
            calls.query_tree =
                reinterpret_cast<decltype(calls.query_tree)>(dlsym(lib, "XQueryTree"));
            calls.move = reinterpret_cast<decltype(calls.move)>(dlsym(lib, "XMoveWindow"));
            calls.flush = reinterpret_cast<decltype(calls.flush)>(dlsym(lib, "XFlush"));
            calls.free = reinterpret_cast<decltype(calls.free)>(dlsym(lib, "XFree"));
        }
        state =
            lib && calls.translate && calls.query_tree && calls.move && calls.flush && calls.free
                ? 1
                : -1;
    }
    return state == 1 ? &calls : nullptr;
}

// SDL's X11 connection and window, with its lock taken; false where there
// is none (another video driver).
bool take_x11(SDL_SysWMinfo &info) {
    SDL_VERSION(&info.version);
    if (SDL_GetWMInfo(&info) != 1 || info.subsystem != SDL_SYSWM_X11 || !info.info.x11.display ||
        !xlib()) {
        return false;
    }
    if (info.info.x11.lock_func) {
        info.info.x11.lock_func();
    }
    return true;
}

// The window to place: the classic library's own top-level window, or
// sdl12-compat's one window (it names no other).
Window placed(const SDL_SysWMinfo &info) {
    return info.info.x11.wmwindow ? info.info.x11.wmwindow : info.info.x11.window;
}

void give_x11(SDL_SysWMinfo &info) {
    xlib()->flush(info.info.x11.display);
    if (info.info.x11.unlock_func) {
        info.info.x11.unlock_func();
    }
}

// The window that holds SDL's, as the root window's child (a window
// manager's frame), and the root.
Window top_level(Display *display, Window window, Window &root) {
    for (;;) {
        Window parent = 0, *children = nullptr;
        unsigned count = 0;
        if (!xlib()->query_tree(display, window, &root, &parent, &children, &count)) {
            return window;
        }
        if (children) {
            xlib()->free(children);
        }
        if (parent == root || parent == 0) {
            return window;
        }
        window = parent;
    }
}

bool known = false;
int kept_x = 0, kept_y = 0;

} // namespace

void remember_window_place() {
    SDL_SysWMinfo info;
    if (!take_x11(info)) {
        return;
    }
    Display *display = info.info.x11.display;
    Window root = 0;
    const Window frame = top_level(display, placed(info), root);
    Window child = 0;
    known = xlib()->translate(display, frame, root, 0, 0, &kept_x, &kept_y, &child) != 0;
    give_x11(info);
}

void restore_window_place() {
    SDL_SysWMinfo info;
    if (!known || !take_x11(info)) {
        return;
    }
    xlib()->move(info.info.x11.display, placed(info), kept_x, kept_y);
    give_x11(info);
}

void place_full_screen() {
    SDL_SysWMinfo info;
    if (!take_x11(info)) {
        return;
    }
    // Where a window manager makes the window full screen, it is there
    // already; on a bare server this puts the desktop-sized window over the
    // desktop, so that its picture is centred on the screen.
    xlib()->move(info.info.x11.display, placed(info), 0, 0);
    give_x11(info);
}
