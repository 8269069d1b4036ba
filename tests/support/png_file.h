// Reads back the PNG files the host writes, exactly as stored: palette
// indices, the palette and the pixel-aspect chunk, nothing converted.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct PngFile {
    std::string error; // empty when the file decoded
    uint32_t width = 0, height = 0;
    int bit_depth = 0, color_type = -1;
    std::vector<uint8_t> pixels;  // one byte a pixel, row after row
    std::vector<uint8_t> palette; // red, green, blue per entry
    bool has_aspect = false;
    uint32_t x_per_unit = 0, y_per_unit = 0;
    int unit = -1;
};

PngFile read_png(const std::string &path);
