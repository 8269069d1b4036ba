// The whole render of the sample guest through the real host, as a user runs
// it: demo seconds written per wall second, for the lossless .mkv and the
// 1440x1080 .mp4. Set beside the encoder-alone figures of bench_render.cpp,
// the ratio is the host's share.
#include <benchmark/benchmark.h>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <sys/wait.h>
#include <unistd.h>

namespace {

// build/tools/bench/lumox_bench -> build/
std::string build_dir() {
    return std::filesystem::read_symlink("/proc/self/exe")
        .parent_path()
        .parent_path()
        .parent_path();
}

// Renders `seconds` of the sample (then its fade) into dir/out.<extension>;
// the render's own length in demo seconds, or 0 on failure.
double render_once(const std::string &dir, const std::string &extension, int seconds) {
    const std::string host = build_dir() + "/sample/lumoxrun-sample";
    const std::string out = dir + "/out" + extension;
    const pid_t pid = fork();
    if (pid == 0) {
        if (chdir(dir.c_str()) != 0 || !freopen("/dev/null", "w", stdout) ||
            !freopen("/dev/null", "w", stderr)) {
            _exit(126);
        }
        const std::string length = std::to_string(seconds);
        execl(host.c_str(), host.c_str(), "-render", out.c_str(), "-seconds", length.c_str(),
              static_cast<char *>(nullptr));
        _exit(127);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) && WEXITSTATUS(status) == 0 ? seconds : 0.0;
}

void RenderSample(benchmark::State &state, const char *extension, int seconds) {
    const std::string dir = std::filesystem::temp_directory_path() / "lumox_bench_render";
    std::filesystem::create_directories(dir);
    std::filesystem::copy_file(build_dir() + "/sample/fix/lumox.exe", dir + "/lumox.exe",
                               std::filesystem::copy_options::overwrite_existing);
    double demo_s = 0;
    double wall_s = 0;
    for (auto _ : state) {
        const auto start = std::chrono::steady_clock::now();
        const double rendered = render_once(dir, extension, seconds);
        wall_s += std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        if (rendered == 0) {
            state.SkipWithError("the render failed");
            break;
        }
        demo_s += rendered;
    }
    // Demo seconds up to the Escape; the fade after it is left out, so the
    // figure errs low.
    state.counters["x_real_time"] = wall_s > 0 ? demo_s / wall_s : 0;
    std::filesystem::remove_all(dir);
}

BENCHMARK_CAPTURE(RenderSample, mkv, ".mkv", 20)->Unit(benchmark::kMillisecond)->Iterations(2);
BENCHMARK_CAPTURE(RenderSample, mp4, ".mp4", 5)->Unit(benchmark::kMillisecond)->Iterations(1);

} // namespace
