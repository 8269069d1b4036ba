// Screenshots: the guest's current frame as an indexed PNG in the working
// directory.
#include "machine/screenshot.h"

#include <cerrno>
#include <csetjmp>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <png.h>
#include <unistd.h>

#include "machine/display.h"

namespace {

constexpr int frame_width = 320;
constexpr int frame_height = 200;

// libpng reports through these; the message is kept for the warning line.
struct PngTarget {
    uint8_t *bytes;
    size_t capacity, size;
    char message[128];
};

void png_failed(png_structp png, png_const_charp message) {
    PngTarget *target = static_cast<PngTarget *>(png_get_error_ptr(png));
    snprintf(target->message, sizeof target->message, "%s", message);
    png_longjmp(png, 1);
}

void png_warned(png_structp, png_const_charp) {
    // Warnings about our own well-formed image carry nothing for the user.
}

void png_append(png_structp png, png_bytep data, png_size_t size) {
    PngTarget *target = static_cast<PngTarget *>(png_get_io_ptr(png));
    if (size > target->capacity - target->size) {
        png_error(png, "picture larger than its buffer");
    }
    memcpy(target->bytes + target->size, data, size);
    target->size += size;
}

void png_no_flush(png_structp) {}

void warn(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
void warn(const char *fmt, ...) {
    va_list args;
    va_start(args, fmt);
    vfprintf(stderr, fmt, args);
    va_end(args);
    fputc('\n', stderr);
}

// Creates the first lumox-NNNN.png that does not exist yet. O_EXCL makes the
// test and the creation one step, so a file that appears meanwhile (another
// copy of the host in the same folder) is never overwritten. -1 with errno set
// on failure; EEXIST then means every number is taken.
int create_next_file(char *name, size_t name_size) {
    for (int n = 1; n <= last_screenshot_number; n++) {
        snprintf(name, name_size, "lumox-%04d.png", n);
        const int fd = open(name, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd >= 0 || errno != EEXIST) {
            return fd;
        }
    }
    errno = EEXIST;
    return -1;
}

} // namespace

int last_screenshot_number = 9999;

size_t encode_frame_png(const uint8_t *pixels, const SDL_Color *palette, uint8_t *png,
                        size_t capacity, std::string &error) {
    PngTarget target = {png, capacity, 0, ""};
    png_structp writer =
        png_create_write_struct(PNG_LIBPNG_VER_STRING, &target, png_failed, png_warned);
    if (!writer) {
        error = "out of memory";
        return 0;
    }
    png_infop info = png_create_info_struct(writer);
    if (!info) {
        png_destroy_write_struct(&writer, nullptr);
        error = "out of memory";
        return 0;
    }
    if (setjmp(png_jmpbuf(writer))) {
        png_destroy_write_struct(&writer, &info);
        error = target.message;
        return 0;
    }
    png_set_write_fn(writer, &target, png_append, png_no_flush);
    png_set_IHDR(writer, info, frame_width, frame_height, 8, PNG_COLOR_TYPE_PALETTE,
                 PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    png_color colours[256];
    for (int i = 0; i < 256; i++) {
        colours[i] = {palette[i].r, palette[i].g, palette[i].b};
    }
    png_set_PLTE(writer, info, colours, 256);
    // The guest's pixels were shown on a 4:3 screen, 5 wide to 6 tall: 6
    // pixels per unit across, 5 down; the unit itself is not known.
    png_set_pHYs(writer, info, 6, 5, PNG_RESOLUTION_UNKNOWN);
    png_write_info(writer, info);
    for (int y = 0; y < frame_height; y++) {
        png_write_row(writer, pixels + y * frame_width);
    }
    png_write_end(writer, info);
    png_destroy_write_struct(&writer, &info);
    return target.size;
}

bool write_all(int fd, const uint8_t *bytes, size_t size) {
    while (size > 0) {
        const ssize_t n = write(fd, bytes, size);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            if (n == 0) {
                errno = EIO; // no progress: give up rather than spin
            }
            return false;
        }
        bytes += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

// The picture is what the output shows: the frame (or whole-screen clear) the
// guest last presented, in the colours it was presented in; black before the
// first. That is the guest's own image, whatever the window shows around it.
void save_screenshot() {
    // Picture and colours from the same moment: the window changes them
    // under the lock. The slow part runs outside it.
    // Static: this runs on the guest's stack, which has no room to spare, and
    // a fixed buffer keeps allocation (and C++ exceptions) out of libpng's
    // calls. The compressed picture stays below its raw size plus a few
    // kilobytes of headers, filter bytes and the palette.
    static uint8_t pixels[sizeof shown_pixels];
    static SDL_Color palette[256];
    static uint8_t png[sizeof shown_pixels + 16 * 1024];
    own_vmutex(260);
    memcpy(pixels, shown_pixels, sizeof pixels);
    memcpy(palette, shown_palette, sizeof palette);
    disown_vmutex(262);

    std::string error;
    const size_t png_size = encode_frame_png(pixels, palette, png, sizeof png, error);
    if (png_size == 0) {
        warn("screenshot: %s", error.c_str());
        return;
    }
    char name[32];
    const int fd = create_next_file(name, sizeof name);
    if (fd < 0) {
        if (errno == EEXIST) {
            warn("screenshot: lumox-0001.png to lumox-%04d.png all exist", last_screenshot_number);
        } else {
            warn("screenshot %s: %s", name, strerror(errno));
        }
        return;
    }
    // A short file would look like a screenshot and not be one, so a failed
    // write or close removes it.
    const bool written = write_all(fd, png, png_size);
    int saved_errno = errno;
    const bool closed = close(fd) == 0;
    if (written && !closed) {
        saved_errno = errno;
    }
    if (!written || !closed) {
        unlink(name);
        warn("screenshot %s: %s", name, strerror(saved_errno));
        return;
    }
    printf("saved %s\n", name);
    fflush(stdout);
}
