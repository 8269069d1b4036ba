#include "support/png_file.h"

#include <csetjmp>
#include <cstdio>
#include <png.h>

namespace {

void failed(png_structp png, png_const_charp message) {
    *static_cast<std::string *>(png_get_error_ptr(png)) = message;
    png_longjmp(png, 1);
}

void warned(png_structp, png_const_charp) {}

// The part that libpng may leave by longjmp: nothing here has a destructor
// that would be skipped.
void decode(FILE *file, PngFile &out) {
    png_structp png = png_create_read_struct(PNG_LIBPNG_VER_STRING, &out.error, failed, warned);
    png_infop info = png ? png_create_info_struct(png) : nullptr;
    if (!info) {
        png_destroy_read_struct(&png, nullptr, nullptr);
        out.error = "libpng set-up";
        return;
    }
    if (setjmp(png_jmpbuf(png))) {
        png_destroy_read_struct(&png, &info, nullptr);
        return;
    }
    png_init_io(png, file);
    png_read_info(png, info);
    out.width = png_get_image_width(png, info);
    out.height = png_get_image_height(png, info);
    out.bit_depth = png_get_bit_depth(png, info);
    out.color_type = png_get_color_type(png, info);
    png_colorp colours = nullptr;
    int count = 0;
    if (png_get_PLTE(png, info, &colours, &count)) {
        for (int i = 0; i < count; i++) {
            out.palette.insert(out.palette.end(),
                               {colours[i].red, colours[i].green, colours[i].blue});
        }
    }
    png_uint_32 x = 0, y = 0;
    int unit = -1;
    if (png_get_pHYs(png, info, &x, &y, &unit)) {
        out.has_aspect = true;
        out.x_per_unit = x;
        out.y_per_unit = y;
        out.unit = unit;
    }
    const size_t row_bytes = png_get_rowbytes(png, info);
    out.pixels.resize(row_bytes * out.height);
    for (uint32_t row = 0; row < out.height; row++) {
        png_read_row(png, out.pixels.data() + row * row_bytes, nullptr);
    }
    png_read_end(png, nullptr);
    png_destroy_read_struct(&png, &info, nullptr);
}

} // namespace

PngFile read_png(const std::string &path) {
    PngFile out;
    FILE *file = fopen(path.c_str(), "rb");
    if (!file) {
        out.error = "cannot open " + path;
        return out;
    }
    decode(file, out);
    fclose(file);
    return out;
}
