// Cost of a frame and of a palette fade under SDL's dummy video driver. The
// floor of a frame is what it cannot avoid: one 64000-byte copy and SDL's own
// blit of the 8-bit frame onto a 32-bit surface, which is the conversion the
// window's pixels need.
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
    set_mode_13h();
    fade_palette(0x4000);
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

// Both in one run, interleaved, so that the ratio sees the same machine state.
void BM_CopyFrameOverFloor(benchmark::State &state) {
    open_display();
    Floor floor;
    using clock = std::chrono::steady_clock;
    clock::duration frames{}, floors{};
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
        frames += t1 - t0;
        floors += clock::now() - t1;
    }
    const double n = static_cast<double>(state.iterations()) * batch;
    const double frame_ns = std::chrono::duration<double, std::nano>(frames).count() / n;
    const double floor_ns = std::chrono::duration<double, std::nano>(floors).count() / n;
    state.counters["copy_frame_ns"] = frame_ns;
    state.counters["floor_ns"] = floor_ns;
    state.counters["ratio"] = frame_ns / floor_ns;
}
BENCHMARK(BM_CopyFrameOverFloor)->Unit(benchmark::kMillisecond);

void BM_FadePalette(benchmark::State &state) {
    open_display();
    int32_t code = 0;
    for (auto _ : state) {
        fade_palette(code);
        code = (code + 0x100) & 0x7FFF;
    }
}
BENCHMARK(BM_FadePalette);

} // namespace
