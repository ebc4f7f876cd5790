// Particle batches on the stand-in device.
//
//   particle_expand/VARIANT: 20,000 particles expanded into quad vertices (no draw), per corner
//     writer: 0 basic, 1 size and rotation, 2 matrix, 3 basic with corner colours, texture
//     rectangles and normals interleaved; particles per second.
//   particle_frame/W/H: one camera update drawing a batch of 20,000 coloured particles spread
//     over the view: expansion into the shared dynamic buffer, two draws of at most 65,532
//     vertices, rasterising. At 1x1 the pixel work is almost nil, so that time is the share of
//     the batch outside the rasteriser. Milliseconds per frame.

#include <benchmark/benchmark.h>

#include <cmath>
#include <cstring>
#include <random>
#include <vector>

#include "graphics/core/camera.h"
#include "graphics/core/d3d9/device.h"
#include "graphics/core/engine.h"
#include "graphics/core/raster.h"
#include "graphics/plugins/particles.h"
#include "graphics/world/testkit/headless_engine.h"
#include "graphics/world/testkit/world_camera.h"
#include "graphics/world/world_plugin.h"
#include "platform/d3d9_control.h"
#include "testing/headless_window.h"

namespace {

constexpr OvInt32 kParticles = 20000;

// Seeded values in [-1, 1] in every stream of the batch; positions 3 to 9 metres along +z.
void Fill(OvAtomic* atomic) {
    std::mt19937 rng(20000);
    std::uniform_real_distribution<float> d(-1.0f, 1.0f);
    for (const OvUInt32 flag : ovPARTICLESLOTFLAGS) {
        OvParticleStream s;
        if (OvParticleBatchLock(atomic, &s, flag, 0) == 0) {
            continue;
        }
        OvUInt32 size = 0;
        for (int k = 0; k < ovPARTICLENUMSTREAMS; ++k) {
            size = ovPARTICLESLOTFLAGS[k] == flag ? ovPARTICLESLOTSIZES[k] : size;
        }
        for (OvInt32 i = 0; i < kParticles; ++i) {
            auto* e = reinterpret_cast<float*>(static_cast<OvUInt8*>(s.data) + static_cast<std::size_t>(i) * s.stride);
            for (OvUInt32 w = 0; w < size / 4; ++w) {
                e[w] = d(rng);
            }
            if (flag == ovPARTICLEPOSITION) {
                e[0] *= 2.0f;
                e[2] = 6.0f + 3.0f * e[2];
            } else if (flag == ovPARTICLECOLOR) {
                const OvUInt32 c = rng() | 0xFF000000u;
                std::memcpy(e, &c, 4);
            }
        }
    }
    OvParticleBatchUnlock(atomic);
    OvParticleBatchSetSize(atomic, 0.05f, 0.05f);
    OvParticleBatchSetNumActive(atomic, kParticles);
}

void ParticleExpand(benchmark::State& state) {
    static constexpr OvUInt32 kVariants[] = {
        ovPARTICLECOLOR, ovPARTICLECOLOR | ovPARTICLESIZE | ovPARTICLEROTATION, ovPARTICLECOLOR | ovPARTICLEMATRIX,
        ovPARTICLECORNERCOLORS | ovPARTICLETEXRECT | ovPARTICLENORMAL | ovPARTICLEINTERLEAVED};
    OvHeadlessWorldEngine engine("particles_bench", 64, 64, {OvParticleBatchPluginAttach});
    OvAtomic* atomic = engine.up ? OvParticleBatchCreate(kParticles, kVariants[state.range(0)], 0) : nullptr;
    if (atomic == nullptr) {
        state.SkipWithError("no engine or batch");
        return;
    }
    Fill(atomic);
    OvUInt32 fvf = 0, stride = 0;
    OvParticleBatchGetVertexFormat(atomic, &fvf, &stride);
    std::vector<OvUInt8> out(static_cast<std::size_t>(kParticles) * 4 * stride);
    const OvParticleAxes axes = {{0.8f, 0.0f, 0.6f}, {0.0f, 1.0f, 0.0f}};
    for (auto _ : state) {
        OvParticleBatchExpand(atomic, &axes, 0, kParticles, out.data());
        benchmark::DoNotOptimize(out.data());
    }
    state.SetItemsProcessed(state.iterations() * kParticles);
    OvParticleBatchDestroy(atomic);
}
BENCHMARK(ParticleExpand)->DenseRange(0, 3)->ArgName("variant")->Unit(benchmark::kMicrosecond);

void ParticleFrame(benchmark::State& state) {
    const int width = static_cast<int>(state.range(0)), height = static_cast<int>(state.range(1));
    OvHeadlessWorldEngine engine("particles_bench", width, height, {OvParticleBatchPluginAttach});
    OvAtomic* atomic = engine.up ? OvParticleBatchCreate(kParticles, ovPARTICLECOLOR, 0) : nullptr;
    OvHeadlessCamera view(engine, width, height);
    if (atomic == nullptr || view.camera == nullptr) {
        state.SkipWithError("no engine, batch, camera or rasters");
    } else {
        Fill(atomic);
        for (auto _ : state) {
            view.Frame([&] { atomic->renderCallBack(atomic); });
        }
    }
    if (atomic != nullptr) {
        OvParticleBatchDestroy(atomic);
    }
}
BENCHMARK(ParticleFrame)->Args({640, 480})->Args({1, 1})->ArgNames({"w", "h"})->Unit(benchmark::kMillisecond);

} // namespace

BENCHMARK_MAIN();
