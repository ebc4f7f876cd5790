// Whole generator runs on the procedural levels: wall time per run, simulated frames per second, and
// per phase the simulated time, wall time and engine queries (counters p<N>_sim, p<N>_wall, p<N>_queries).
#include <benchmark/benchmark.h>

#include <unistd.h>

#include <filesystem>
#include <string>

#include "tools/navgen/generator_run.h"
#include "tools/navgen/levels.h"

namespace {

void BM_Generate(benchmark::State& state, const char* level) {
    navgen::GenerationOptions options;
    navgen::MakeLevel(level, 1, &options.level);
    options.outDir = std::filesystem::temp_directory_path().string() + "/navgen_bench_" + std::to_string(::getpid());
    std::filesystem::create_directories(options.outDir);
    navgen::GenerationResult result;
    long frames = 0;
    for (auto _ : state) {
        if (!navgen::RunGeneration(options, &result)) {
            state.SkipWithError(result.error.c_str());
            break;
        }
        for (const navgen::PhaseFigures& phase : result.phases)
            frames += phase.frames;
    }
    state.counters["frames/s"] = benchmark::Counter(double(frames), benchmark::Counter::kIsRate);
    state.counters["V"] = double(result.vertices.size() / 3);
    state.counters["E"] = double(result.edges.size() / 2);
    for (const navgen::PhaseFigures& phase : result.phases) {
        const std::string p = "p" + std::to_string(phase.phase) + "_";
        state.counters[p + "sim"] = phase.simulated;
        state.counters[p + "wall"] = phase.wall;
        state.counters[p + "queries"] = double(phase.queries);
    }
    std::filesystem::remove_all(options.outDir);
}

BENCHMARK_CAPTURE(BM_Generate, open_room, "open_room")->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_Generate, two_rooms, "two_rooms")->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_Generate, pit, "pit")->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_Generate, maze, "maze")->Unit(benchmark::kMillisecond);

} // namespace

BENCHMARK_MAIN();
