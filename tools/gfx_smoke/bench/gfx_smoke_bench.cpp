// Frame rate of the smoke scene at 640x480 on a headless window (frames per second).

#include <benchmark/benchmark.h>

#include <cstdlib>
#include <string>

#include "testing/headless_window.h"
#include "tools/gfx_smoke/smoke.h"

namespace {

void BM_SmokeFrame640x480(benchmark::State& state) {
    HWND window = OpenHeadlessWindow("gfx_smoke_bench", DefWindowProcA, 640, 480);
    SmokeScene scene;
    std::string error;
    if (!scene.Open(window, 640, 480, GFX_SMOKE_TEXTURE, &error)) {
        state.SkipWithError(error.c_str());
        return;
    }
    long frame = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(scene.Draw(frame++));
    }
    state.counters["frames/s"] = benchmark::Counter(static_cast<double>(frame), benchmark::Counter::kIsRate);
    scene.Close();
}
BENCHMARK(BM_SmokeFrame640x480)->Unit(benchmark::kMillisecond);

} // namespace

BENCHMARK_MAIN();
