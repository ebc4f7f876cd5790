// Spline evaluation: positions (and tangents) per second along a closed camera path.

#include <benchmark/benchmark.h>

#include <cmath>
#include <vector>

#include "graphics/core/testkit/engine_fixture.h"
#include "graphics/plugins/spline.h"

namespace {

void RegisterSpline() { OvSplinePluginAttach(); }

void BM_SplineEvaluate(benchmark::State& state) {
    if (!OvTestEngineUp(0, RegisterSpline)) {
        state.SkipWithError("engine did not start");
        return;
    }
    std::vector<OvV3d> points;
    for (int i = 0; i < 24; ++i) {
        const float a = 0.2617994f * static_cast<float>(i);
        points.push_back({10.0f * std::cos(a), 1.5f + std::sin(3.0f * a), 10.0f * std::sin(a)});
    }
    OvSpline* spline = OvSplineCreate(static_cast<OvInt32>(points.size()), ovSPLINECLOSED, points.data());
    const bool withTangent = state.range(0) != 0;
    float t = 0.0f;
    OvV3d p, tangent;
    for (auto _ : state) {
        OvSplineEvaluate(spline, ovSPLINEPATHEASE, t, &p, withTangent ? &tangent : nullptr);
        benchmark::DoNotOptimize(p);
        t += 0.000123f;
    }
    state.SetItemsProcessed(state.iterations());
    OvSplineDestroy(spline);
    OvTestEngineDown();
}
BENCHMARK(BM_SplineEvaluate)->Arg(0)->Arg(1);

} // namespace

BENCHMARK_MAIN();
