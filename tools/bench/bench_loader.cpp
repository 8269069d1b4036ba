// Loader speed: the PMW1 decoder against zlib's inflate on the same payload,
// and loading whole images against the floor of hashing the file once and
// copying it once.
#include <benchmark/benchmark.h>

#include <chrono>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <md5.h>
#include <string>
#include <unistd.h>
#include <vector>
#include <zlib.h>

#include "binding/catalogue.h"
#include "loader/loader.h"
#include "tools/image_writer.h"
#include "tools/sample_bytes.h"

namespace {

constexpr size_t payload_bytes = 1 << 20;
constexpr size_t image_bytes = 1200 * 1024;

const std::vector<uint8_t> &payload() {
    static const std::vector<uint8_t> bytes = exe_like_bytes(payload_bytes, 1);
    return bytes;
}

void report_rate(benchmark::State &state, size_t bytes_per_iteration) {
    const double bytes =
        static_cast<double>(state.iterations()) * static_cast<double>(bytes_per_iteration);
    state.SetBytesProcessed(static_cast<int64_t>(bytes));
    state.counters["MB/s"] = benchmark::Counter(bytes / 1e6, benchmark::Counter::kIsRate);
}

void BM_Pmw1Unpack(benchmark::State &state) {
    const std::vector<uint8_t> &plain = payload();
    const std::vector<uint8_t> packed = pmw1_pack(plain.data(), plain.size());
    std::vector<uint8_t> out(plain.size());
    for (auto _ : state) {
        const size_t n = pmw1_unpack(out.data(), out.size(), packed.data(), packed.size());
        benchmark::DoNotOptimize(n);
        benchmark::ClobberMemory();
    }
    if (out != plain) {
        state.SkipWithError("round trip differs");
    }
    state.counters["ratio"] =
        static_cast<double>(plain.size()) / static_cast<double>(packed.size());
    report_rate(state, plain.size());
}
BENCHMARK(BM_Pmw1Unpack)->Unit(benchmark::kMillisecond);

void BM_ZlibInflate(benchmark::State &state) {
    const std::vector<uint8_t> &plain = payload();
    uLongf packed_size = compressBound(plain.size());
    std::vector<uint8_t> packed(packed_size);
    compress2(packed.data(), &packed_size, plain.data(), plain.size(), 9);
    std::vector<uint8_t> out(plain.size());
    for (auto _ : state) {
        uLongf n = out.size();
        uncompress(out.data(), &n, packed.data(), packed_size);
        benchmark::DoNotOptimize(n);
        benchmark::ClobberMemory();
    }
    if (out != plain) {
        state.SkipWithError("round trip differs");
    }
    state.counters["ratio"] = static_cast<double>(plain.size()) / static_cast<double>(packed_size);
    report_rate(state, plain.size());
}
BENCHMARK(BM_ZlibInflate)->Unit(benchmark::kMillisecond);

// An image on disk (in the page cache after the first load) and a release
// that matches it.
struct ImageFile {
    std::string path;
    std::vector<uint8_t> bytes;
    GuestRelease release = {};
};

ImageFile make_image(bool pmw1) {
    ImageFile f;
    f.bytes = pmw1 ? write_pmw1_image(exe_like_objects(image_bytes, 7, false))
                   : write_le_image(exe_like_objects(image_bytes, 7, true));
    char path[] = "/tmp/lumox_bench_XXXXXX";
    const int fd = mkstemp(path);
    if (fd < 0 ||
        write(fd, f.bytes.data(), f.bytes.size()) != static_cast<ssize_t>(f.bytes.size())) {
        perror("bench image");
        exit(1);
    }
    close(fd);
    f.path = path;
    MD5_CTX context;
    MD5Init(&context);
    MD5Update(&context, f.bytes.data(), f.bytes.size());
    MD5Final(f.release.digest, &context);
    return f;
}

void load_image(benchmark::State &state, bool pmw1) {
    ImageFile f = make_image(pmw1);
    GuestRelease *releases[] = {&f.release, nullptr};
    for (auto _ : state) {
        load_guest_image(f.path.c_str(), releases);
        benchmark::DoNotOptimize(f.release.objects);
        // The loader keeps its block for the process's life; here each run
        // gives it back so that the runs do not pile up, off the clock.
        state.PauseTiming();
        free_object_block();
        free(f.release.objects);
        state.ResumeTiming();
    }
    unlink(f.path.c_str());
    state.counters["file_bytes"] = static_cast<double>(f.bytes.size());
    report_rate(state, f.bytes.size());
}

void BM_LoadLe(benchmark::State &state) {
    load_image(state, false);
}
void BM_LoadPmw1(benchmark::State &state) {
    load_image(state, true);
}
BENCHMARK(BM_LoadLe)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_LoadPmw1)->Unit(benchmark::kMillisecond);

// The floor for loading a file: its digest plus one copy of its bytes.
void digest_and_copy(benchmark::State &state, bool pmw1) {
    const ImageFile f = make_image(pmw1);
    unlink(f.path.c_str());
    std::vector<uint8_t> copy(f.bytes.size());
    for (auto _ : state) {
        uint8_t digest[16];
        MD5_CTX context;
        MD5Init(&context);
        MD5Update(&context, f.bytes.data(), f.bytes.size());
        MD5Final(digest, &context);
        memcpy(copy.data(), f.bytes.data(), f.bytes.size());
        benchmark::DoNotOptimize(digest);
        benchmark::ClobberMemory();
    }
    report_rate(state, f.bytes.size());
}

void BM_Md5MemcpyLe(benchmark::State &state) {
    digest_and_copy(state, false);
}
void BM_Md5MemcpyPmw1(benchmark::State &state) {
    digest_and_copy(state, true);
}
BENCHMARK(BM_Md5MemcpyLe)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Md5MemcpyPmw1)->Unit(benchmark::kMillisecond);

// The two ratios the loaders are held to, each measured in one run so that
// both sides see the same machine load: decoding against inflate, loading
// against its floor. Each iteration times one of each, alternating.
double seconds_since(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

void BM_UnpackOverInflate(benchmark::State &state) {
    const std::vector<uint8_t> &plain = payload();
    const std::vector<uint8_t> packed = pmw1_pack(plain.data(), plain.size());
    uLongf zipped_size = compressBound(plain.size());
    std::vector<uint8_t> zipped(zipped_size);
    compress2(zipped.data(), &zipped_size, plain.data(), plain.size(), 9);
    std::vector<uint8_t> out(plain.size());
    double unpack_s = 0, inflate_s = 0;
    for (auto _ : state) {
        auto t = std::chrono::steady_clock::now();
        pmw1_unpack(out.data(), out.size(), packed.data(), packed.size());
        unpack_s += seconds_since(t);
        t = std::chrono::steady_clock::now();
        uLongf n = out.size();
        uncompress(out.data(), &n, zipped.data(), zipped_size);
        inflate_s += seconds_since(t);
        benchmark::ClobberMemory();
    }
    const double mb =
        static_cast<double>(state.iterations()) * static_cast<double>(plain.size()) / 1e6;
    state.counters["unpack_MB/s"] = mb / unpack_s;
    state.counters["inflate_MB/s"] = mb / inflate_s;
    state.counters["speedup"] = inflate_s / unpack_s;
}
BENCHMARK(BM_UnpackOverInflate)->Unit(benchmark::kMillisecond);

void load_over_floor(benchmark::State &state, bool pmw1) {
    ImageFile f = make_image(pmw1);
    GuestRelease *releases[] = {&f.release, nullptr};
    std::vector<uint8_t> copy(f.bytes.size());
    double load_s = 0, floor_s = 0;
    for (auto _ : state) {
        auto t = std::chrono::steady_clock::now();
        load_guest_image(f.path.c_str(), releases);
        load_s += seconds_since(t);
        free_object_block();
        free(f.release.objects);

        t = std::chrono::steady_clock::now();
        uint8_t digest[16];
        MD5_CTX context;
        MD5Init(&context);
        MD5Update(&context, f.bytes.data(), f.bytes.size());
        MD5Final(digest, &context);
        memcpy(copy.data(), f.bytes.data(), f.bytes.size());
        benchmark::DoNotOptimize(digest);
        benchmark::ClobberMemory();
        floor_s += seconds_since(t);
    }
    unlink(f.path.c_str());
    const double mb =
        static_cast<double>(state.iterations()) * static_cast<double>(f.bytes.size()) / 1e6;
    state.counters["load_MB/s"] = mb / load_s;
    state.counters["floor_MB/s"] = mb / floor_s;
    state.counters["ratio"] = load_s / floor_s;
}

void BM_LoadLeOverFloor(benchmark::State &state) {
    load_over_floor(state, false);
}
void BM_LoadPmw1OverFloor(benchmark::State &state) {
    load_over_floor(state, true);
}
BENCHMARK(BM_LoadLeOverFloor)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_LoadPmw1OverFloor)->Unit(benchmark::kMillisecond);

} // namespace
