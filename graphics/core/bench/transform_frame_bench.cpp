// Throughput of the vector transforms and of frame-hierarchy synchronisation.
//
//   transform/default, transform/processor: OvV3dTransformPoints over arrays of points with
//     the plain routines and with the set the device installs for this processor;
//   frame_sync/all_moved: a 10,000-frame hierarchy (four children a frame) in which every
//     frame's modelling matrix changed, then OvFrameSyncDirty;
//   frame_sync/root_moved: the same hierarchy with only its root moved;
//   frame_sync/one_leaf_moved: only one leaf moved (the pass still walks the hierarchy).

#include <benchmark/benchmark.h>

#include <random>
#include <vector>

#include "graphics/core/cpu_routines.h"
#include "graphics/core/frame.h"
#include "graphics/core/testkit/engine_fixture.h"
#include "graphics/core/vector.h"

namespace {

struct Engine {
    Engine() { ok = OvTestEngineUp(); }
    ~Engine() { OvTestEngineDown(); }
    OvBool ok;
};

OvMatrix SomeMatrix() {
    OvMatrix m;
    OvMatrixSetIdentity(&m);
    const OvV3d axis = {0.3f, 0.5f, 0.8f};
    OvMatrixRotate(&m, &axis, 30.0f, ovCOMBINEREPLACE);
    const OvV3d t = {1.0f, 2.0f, 3.0f};
    OvMatrixTranslate(&m, &t, ovCOMBINEPOSTCONCAT);
    return m;
}

void Transform(benchmark::State& state, bool processorSet) {
    Engine engine;
    if (!engine.ok) {
        state.SkipWithError("engine did not start");
        return;
    }
    if (processorSet) {
        const OvCpuTransformRoutines* r = OvCpuGetTransformRoutines(
            OvCpuChooseTransformSet(OvD3D9CpuHasSSE(), OvD3D9CpuHasSSE2(), OvD3D9CpuHas3DNow()));
        OvVectorSetTransformFunctions(r->point, r->points, r->vector, r->vectors);
    }
    const auto count = static_cast<OvInt32>(state.range(0));
    std::vector<OvV3d> in(static_cast<std::size_t>(count)), out(in.size());
    std::mt19937 rng(1);
    std::uniform_real_distribution<float> d(-100.0f, 100.0f);
    for (OvV3d& p : in) {
        p = {d(rng), d(rng), d(rng)};
    }
    const OvMatrix m = SomeMatrix();
    for (auto _ : state) {
        OvV3dTransformPoints(out.data(), in.data(), count, &m);
        benchmark::DoNotOptimize(out.data());
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations() * count);
}

void BM_TransformDefault(benchmark::State& state) { Transform(state, false); }
void BM_TransformProcessor(benchmark::State& state) { Transform(state, true); }
BENCHMARK(BM_TransformDefault)->Name("transform/default")->Arg(1000)->Arg(1000000);
BENCHMARK(BM_TransformProcessor)->Name("transform/processor")->Arg(1000)->Arg(1000000);

enum class Moved { all, root, oneLeaf };

void FrameSync(benchmark::State& state, Moved moved) {
    Engine engine;
    if (!engine.ok) {
        state.SkipWithError("engine did not start");
        return;
    }
    constexpr int kFrames = 10000;
    std::vector<OvFrame*> frames(kFrames);
    for (int i = 0; i < kFrames; ++i) {
        frames[static_cast<std::size_t>(i)] = OvFrameCreate();
        if (i > 0) {
            OvFrameAddChild(frames[static_cast<std::size_t>((i - 1) / 4)], frames[static_cast<std::size_t>(i)]);
        }
    }
    OvFrameSyncDirty();
    const OvV3d step = {0.001f, 0.0f, 0.0f};
    const OvV3d axis = {0.0f, 1.0f, 0.0f};
    for (auto _ : state) {
        state.PauseTiming();
        switch (moved) {
        case Moved::all:
            for (OvFrame* f : frames) {
                OvFrameRotate(f, &axis, 1.0f, ovCOMBINEPRECONCAT);
                OvFrameTranslate(f, &step, ovCOMBINEPOSTCONCAT);
            }
            break;
        case Moved::root:
            OvFrameTranslate(frames[0], &step, ovCOMBINEPOSTCONCAT);
            break;
        case Moved::oneLeaf:
            OvFrameTranslate(frames.back(), &step, ovCOMBINEPOSTCONCAT);
            break;
        }
        state.ResumeTiming();
        OvFrameSyncDirty();
    }
    benchmark::DoNotOptimize(frames.back()->ltm.pos.x);
    state.SetItemsProcessed(state.iterations() * kFrames);
    OvFrameDestroyHierarchy(frames[0]);
}

void BM_SyncAllMoved(benchmark::State& state) { FrameSync(state, Moved::all); }
void BM_SyncRootMoved(benchmark::State& state) { FrameSync(state, Moved::root); }
void BM_SyncOneLeafMoved(benchmark::State& state) { FrameSync(state, Moved::oneLeaf); }
BENCHMARK(BM_SyncAllMoved)->Name("frame_sync/all_moved")->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_SyncRootMoved)->Name("frame_sync/root_moved")->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_SyncOneLeafMoved)->Name("frame_sync/one_leaf_moved")->Unit(benchmark::kMicrosecond);

void BM_Sqrt(benchmark::State& state) {
    Engine engine;
    float x = 1.0f, sum = 0.0f;
    for (auto _ : state) {
        sum += OvSqrt(x) + OvInvSqrt(x);
        x += 0.37f;
        benchmark::DoNotOptimize(sum);
    }
}
BENCHMARK(BM_Sqrt)->Name("sqrt_tables");

} // namespace
