// Cost of a frame and of a palette fade under SDL's dummy video driver. The
// floor of a frame is one 64000-byte copy and SDL's own blit of the 8-bit
// frame onto a 32-bit surface, the conversion the window's pixels need. The
// bare sequence is the copy, blit and flip made straight on SDL: what the host
// adds to SDL's own cost is the distance between it and copy_frame.
#include <SDL.h>
#include <benchmark/benchmark.h>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "binding/catalogue.h"
#include "machine/display.h"

namespace {

float bench_fade_scale = 1.0f;
int32_t bench_fade_select = 0;
uint8_t bench_guest_palette[768];
GuestSymbol bench_symbols[sym::count + 1];
std::vector<uint8_t> guest_frame(64000);

// SDL, the mode and a palette once per process, as the guest has them.
void open_display() {
    static bool open = false;
    if (open) {
        return;
    }
    open = true;
    setenv("SDL_VIDEODRIVER", "dummy", 0);
    if (SDL_Init(SDL_INIT_VIDEO) != 0) {
        fprintf(stderr, "SDL_Init: %s\n", SDL_GetError());
        exit(1);
    }
    video_mutex = SDL_CreateMutex();
    for (int i = 0; i < sym::count; i++) {
        bench_symbols[i].object = 1;
    }
    bench_symbols[sym::fade_scale].location = reinterpret_cast<uint32_t>(&bench_fade_scale);
    bench_symbols[sym::fade_select].location = reinterpret_cast<uint32_t>(&bench_fade_select);
    bench_symbols[sym::guest_palette].location = reinterpret_cast<uint32_t>(bench_guest_palette);
    guest_symbols = bench_symbols;
    for (int i = 0; i < 768; i++) {
        bench_guest_palette[i] = static_cast<uint8_t>((i * 5) % 64);
    }
    for (int i = 0; i < 64000; i++) {
        guest_frame[i] = static_cast<uint8_t>(i * 7 + i / 320);
    }
    // The benchmarks of the 320x200 frame see the window of factor 1.
    scale_factor = 1;
    square_pixels = 1;
    set_mode_13h();
    fade_palette(0x4000);
}

// A new mode with the given window factor and aspect, unless it is set.
void use_window(int factor, int square) {
    open_display();
    if (scale_factor != factor || square_pixels != square) {
        scale_factor = factor;
        square_pixels = square;
        set_mode_13h();
        fade_palette(0x4000);
    }
}

struct Floor {
    std::vector<uint8_t> pixels = std::vector<uint8_t>(64000);
    SDL_Surface *source = nullptr;
    SDL_Surface *target = nullptr;
    Floor() {
        source = SDL_CreateRGBSurfaceFrom(pixels.data(), 320, 200, 8, 320, 0, 0, 0, 0);
        SDL_SetColors(source, host_palette, 0, 256);
        target = SDL_CreateRGBSurface(SDL_SWSURFACE, 320, 200, 32, 0xFF0000, 0xFF00, 0xFF, 0);
    }
    ~Floor() {
        SDL_FreeSurface(source);
        SDL_FreeSurface(target);
    }
    void frame() {
        memcpy(pixels.data(), guest_frame.data(), 64000);
        SDL_UpperBlit(source, nullptr, target, nullptr);
        benchmark::DoNotOptimize(target->pixels);
    }
};

// The same copy, blit and flip as copy_frame, without the host around them.
struct BareSequence {
    std::vector<uint8_t> pixels = std::vector<uint8_t>(64000);
    SDL_Surface *source = nullptr;
    BareSequence() {
        source = SDL_CreateRGBSurfaceFrom(pixels.data(), 320, 200, 8, 320, 0, 0, 0, 0);
        SDL_SetColors(source, host_palette, 0, 256);
    }
    ~BareSequence() { SDL_FreeSurface(source); }
    void frame() {
        memcpy(pixels.data(), guest_frame.data(), 64000);
        SDL_UpperBlit(source, nullptr, screen, nullptr);
        SDL_Flip(screen);
    }
};

void copy_one_frame() {
    copy_frame(reinterpret_cast<uint32_t>(guest_frame.data()), video_memory, 64000);
}

void BM_CopyFrame(benchmark::State &state) {
    open_display();
    for (auto _ : state) {
        copy_one_frame();
    }
    state.SetBytesProcessed(state.iterations() * 64000);
}
BENCHMARK(BM_CopyFrame);

void BM_FrameFloor(benchmark::State &state) {
    open_display();
    Floor floor;
    for (auto _ : state) {
        floor.frame();
    }
    state.SetBytesProcessed(state.iterations() * 64000);
}
BENCHMARK(BM_FrameFloor);

void BM_BareSdlSequence(benchmark::State &state) {
    open_display();
    BareSequence bare;
    for (auto _ : state) {
        bare.frame();
    }
    state.SetBytesProcessed(state.iterations() * 64000);
}
BENCHMARK(BM_BareSdlSequence);

// All three in one run, interleaved, so that the ratios see the same machine
// state.
void BM_CopyFrameRatios(benchmark::State &state) {
    open_display();
    Floor floor;
    BareSequence bare;
    using clock = std::chrono::steady_clock;
    clock::duration frames{}, floors{}, bares{};
    constexpr int batch = 50;
    for (auto _ : state) {
        const auto t0 = clock::now();
        for (int i = 0; i < batch; i++) {
            copy_one_frame();
        }
        const auto t1 = clock::now();
        for (int i = 0; i < batch; i++) {
            floor.frame();
        }
        const auto t2 = clock::now();
        for (int i = 0; i < batch; i++) {
            bare.frame();
        }
        frames += t1 - t0;
        floors += t2 - t1;
        bares += clock::now() - t2;
    }
    const double n = static_cast<double>(state.iterations()) * batch;
    auto per_frame_ns = [n](clock::duration d) {
        return std::chrono::duration<double, std::nano>(d).count() / n;
    };
    state.counters["copy_frame_ns"] = per_frame_ns(frames);
    state.counters["floor_ns"] = per_frame_ns(floors);
    state.counters["bare_sdl_ns"] = per_frame_ns(bares);
    state.counters["over_floor"] = per_frame_ns(frames) / per_frame_ns(floors);
    state.counters["over_bare_sdl"] = per_frame_ns(frames) / per_frame_ns(bares);
}
BENCHMARK(BM_CopyFrameRatios)->Unit(benchmark::kMillisecond);

// The bare SDL sequence for a picture already at the display's size: copy
// the output pixels into a surface, blit it onto the display and flip.
struct BareOutput {
    std::vector<uint32_t> pixels;
    SDL_Surface *source = nullptr;
    BareOutput() {
        const SDL_PixelFormat *f = screen->format;
        source = SDL_CreateRGBSurface(SDL_SWSURFACE, screen->w, screen->h, 32, f->Rmask, f->Gmask,
                                      f->Bmask, 0);
        pixels.resize(static_cast<size_t>(screen->w) * screen->h);
        for (size_t i = 0; i < pixels.size(); i++) {
            pixels[i] = static_cast<uint32_t>(i * 2654435761u) & 0xFFFFFF;
        }
    }
    ~BareOutput() { SDL_FreeSurface(source); }
    void frame() {
        const size_t row = static_cast<size_t>(screen->w) * 4;
        for (int y = 0; y < screen->h; y++) {
            memcpy(static_cast<uint8_t *>(source->pixels) + y * source->pitch,
                   pixels.data() + static_cast<size_t>(y) * screen->w, row);
        }
        SDL_UpperBlit(source, nullptr, screen, nullptr);
        SDL_Flip(screen);
    }
};

// The scaled frame against the bare sequence of the same output size,
// interleaved: factor 4 is the default window on a 1920x1080 desktop
// (1280x960), factor 5 the whole 5x6 size 1600x1200.
void BM_ScaledFrameRatio(benchmark::State &state) {
    use_window(static_cast<int>(state.range(0)), 0);
    BareOutput bare;
    using clock = std::chrono::steady_clock;
    clock::duration frames{}, bares{};
    constexpr int batch = 10;
    for (auto _ : state) {
        const auto t0 = clock::now();
        for (int i = 0; i < batch; i++) {
            copy_one_frame();
        }
        const auto t1 = clock::now();
        for (int i = 0; i < batch; i++) {
            bare.frame();
        }
        frames += t1 - t0;
        bares += clock::now() - t1;
    }
    const double n = static_cast<double>(state.iterations()) * batch;
    auto per_frame_us = [n](clock::duration d) {
        return std::chrono::duration<double, std::micro>(d).count() / n;
    };
    state.SetLabel(std::to_string(screen->w) + "x" + std::to_string(screen->h));
    state.counters["scaled_us"] = per_frame_us(frames);
    state.counters["bare_sdl_us"] = per_frame_us(bares);
    state.counters["over_bare_sdl"] = per_frame_us(frames) / per_frame_us(bares);
    use_window(1, 1);
}
BENCHMARK(BM_ScaledFrameRatio)->Arg(4)->Arg(5)->Unit(benchmark::kMillisecond);

void BM_FadePalette(benchmark::State &state) {
    open_display();
    int32_t code = 0;
    for (auto _ : state) {
        fade_palette(code);
        code = (code + 0x100) & 0x7FFF;
    }
}
BENCHMARK(BM_FadePalette);

// A guest that holds its fade level re-uploads the same palette every frame.
void BM_FadePaletteUnchanged(benchmark::State &state) {
    open_display();
    for (auto _ : state) {
        fade_palette(0x4000);
    }
}
BENCHMARK(BM_FadePaletteUnchanged);

} // namespace
