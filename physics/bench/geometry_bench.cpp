// Geometry hot paths: hull building (the framework hulls 60-point clouds), hull support by hill
// climbing, and segment tests against an inflated box and a convex volume.

#include <benchmark/benchmark.h>

#include <cmath>
#include <random>
#include <vector>

#include "physics/core/volume/primitives.h"
#include "physics/qhull/convex_hull.h"

namespace {

std::vector<float> SpherePoints(int count, unsigned seed) {
    std::mt19937 rng(seed);
    std::normal_distribution<float> n;
    std::vector<float> p;
    for (int i = 0; i < count; ++i) {
        float v[3] = {n(rng), n(rng), n(rng)};
        const float l = std::sqrt(v[0] * v[0] + v[1] * v[1] + v[2] * v[2]);
        p.insert(p.end(), {v[0] / l, v[1] / l, v[2] / l});
    }
    return p;
}

void BM_HullFromPoints(benchmark::State& state) {
    const std::vector<float> points = SpherePoints(static_cast<int>(state.range(0)), 1);
    for (auto _ : state) {
        OvpConvexHull* hull =
            OvpConvexHullCreateFromPoints(static_cast<OvInt32>(state.range(0)), points.data(), nullptr, nullptr);
        benchmark::DoNotOptimize(hull);
        OvpConvexHullRelease(hull);
    }
}
BENCHMARK(BM_HullFromPoints)->Arg(8)->Arg(60)->Arg(500);

void BM_HullSupport(benchmark::State& state) {
    const std::vector<float> points = SpherePoints(static_cast<int>(state.range(0)), 2);
    OvpConvexHull* hull =
        OvpConvexHullCreateFromPoints(static_cast<OvInt32>(state.range(0)), points.data(), nullptr, nullptr);
    const std::vector<float> directions = SpherePoints(256, 3);
    std::size_t i = 0;
    OvInt32 vertex = 0;
    for (auto _ : state) {
        const OvV3d d = {directions[i], directions[i + 1], directions[i + 2]};
        i = (i + 3) % directions.size();
        benchmark::DoNotOptimize(OvpConvexHullSupport(hull, &d, vertex, 3.4e38f, &vertex));
    }
    OvpConvexHullRelease(hull);
}
BENCHMARK(BM_HullSupport)->Arg(60)->Arg(500);

void BM_LineTest(benchmark::State& state) {
    OvpVolume volume;
    OvpConvexHull* hull = nullptr;
    if (state.range(0) == 0) {
        const float h[3] = {0.5f, 0.3f, 0.2f};
        OvpBoxInit(&volume, h);
    } else {
        const std::vector<float> points = SpherePoints(60, 4);
        hull = OvpConvexHullCreateFromPoints(60, points.data(), nullptr, nullptr);
        OvpConvexInit(&volume, hull);
        OvpConvexHullRelease(hull);
    }
    volume.fat = 0.05f;
    const std::vector<float> ends = SpherePoints(512, 5);
    std::size_t i = 0;
    for (auto _ : state) {
        const OvV3d start = {2 * ends[i], 2 * ends[i + 1], 2 * ends[i + 2]};
        const OvV3d end = {-2 * ends[i + 3], -2 * ends[i + 4], -2 * ends[i + 5]};
        i = (i + 6) % (ends.size() - 6);
        OvpLineHit hit;
        benchmark::DoNotOptimize(volume.type->lineIntersect(&volume, &start, &end, &hit));
    }
    OvpVolumeDeinit(&volume);
    state.SetLabel(state.range(0) == 0 ? "rounded box" : "rounded 60-point hull");
}
BENCHMARK(BM_LineTest)->Arg(0)->Arg(1);

} // namespace
