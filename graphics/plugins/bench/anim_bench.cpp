// Animation and skinning: interpolator advance plus hierarchy update for 36-node skeletons
// (nodes per second), and software skinning (vertices per second), for 1 and 64 characters.

#include <benchmark/benchmark.h>

#include <cmath>
#include <random>
#include <vector>

#include "graphics/core/testkit/engine_fixture.h"
#include "graphics/plugins/anim_tracks.h"
#include "graphics/plugins/skin.h"
#include "graphics/world/world_plugin.h"

namespace {

constexpr int kNodes = 36;

void Register() {
    OvWorldPluginAttach();
    OvAnimPluginAttach();
    OvAnimHierarchyPluginAttach();
    OvSkinPluginAttach();
}

// A one-second cycle of 13 keys a node with turns of every size.
OvAnimation* Cycle(std::mt19937& rng) {
    std::normal_distribution<float> g(0.0f, 1.0f);
    std::vector<std::vector<OvAnimTrackKey>> tracks(kNodes);
    for (auto& t : tracks) {
        for (int k = 0; k <= 12; ++k) {
            OvQuat q = {g(rng), g(rng), g(rng), g(rng) + 4.0f};
            const float n = std::sqrt(q.x * q.x + q.y * q.y + q.z * q.z + q.w * q.w);
            t.push_back({static_cast<float>(k) / 12.0f, {q.x / n, q.y / n, q.z / n, q.w / n}, {0, 0.1f, 0}});
        }
    }
    std::vector<const OvAnimTrackKey*> p;
    std::vector<OvInt32> c;
    for (const auto& t : tracks) {
        p.push_back(t.data());
        c.push_back(static_cast<OvInt32>(t.size()));
    }
    return OvAnimationCreateFromTracks(kNodes, p.data(), c.data(), 1.0f);
}

// A chain with branches: every fourth node pushes, every fourth leaf pops.
std::vector<OvUInt32> NodeFlags() {
    std::vector<OvUInt32> f(kNodes, 0);
    for (int i = 1; i + 1 < kNodes; ++i) {
        f[static_cast<std::size_t>(i)] = i % 4 == 1 ? 2u : i % 4 == 3 ? 1u : 0u;
    }
    return f;
}

void BM_AnimAdvanceAndUpdate(benchmark::State& state) {
    if (!OvTestEngineUp(0, Register)) {
        state.SkipWithError("engine did not start");
        return;
    }
    const int characters = static_cast<int>(state.range(0));
    std::mt19937 rng(1);
    OvAnimation* animation = Cycle(rng);
    const std::vector<OvUInt32> flags = NodeFlags();
    std::vector<OvAnimHierarchy*> hierarchies;
    for (int c = 0; c < characters; ++c) {
        OvAnimHierarchy* h = OvAnimHierarchyCreate(kNodes, flags.data(), nullptr, 0, sizeof(OvAnimInterpFrame));
        OvAnimHierarchySetCurrentAnim(h, animation);
        OvAnimInterpolatorAddAnimTime(h->currentAnim, 0.013f * static_cast<float>(c));
        hierarchies.push_back(h);
    }
    for (auto _ : state) {
        for (OvAnimHierarchy* h : hierarchies) {
            OvAnimInterpolatorAddAnimTime(h->currentAnim, 1.0f / 60.0f);
            OvAnimHierarchyUpdateMatrices(h);
        }
        benchmark::DoNotOptimize(hierarchies[0]->pMatrixArray[kNodes - 1]);
    }
    state.counters["nodes/s"] =
        benchmark::Counter(static_cast<double>(state.iterations()) * characters * kNodes, benchmark::Counter::kIsRate);
    for (OvAnimHierarchy* h : hierarchies) {
        OvAnimHierarchyDestroy(h);
    }
    OvAnimationDestroy(animation);
    OvTestEngineDown();
}
BENCHMARK(BM_AnimAdvanceAndUpdate)->Arg(1)->Arg(64);

// Characters of 2,000 vertices with one, two or four weights each (second argument), a palette
// built per character and frame.
void BM_SoftwareSkinning(benchmark::State& state) {
    if (!OvTestEngineUp(0, Register)) {
        state.SkipWithError("engine did not start");
        return;
    }
    const int characters = static_cast<int>(state.range(0));
    const int weights = static_cast<int>(state.range(1));
    constexpr int kVertices = 2000;
    std::mt19937 rng(2);
    std::uniform_real_distribution<float> u(0.05f, 1.0f);
    OvSkin* skin = OvSkinCreate(kVertices, kNodes);
    for (int v = 0; v < kVertices; ++v) {
        float w[4], sum = 0;
        for (int k = 0; k < 4; ++k) {
            w[k] = u(rng);
            sum += k < weights ? w[k] : 0.0f;
        }
        for (int k = 0; k < 4; ++k) {
            skin->vertexBoneWeights[4 * v + k] = k < weights ? w[k] / sum : 0.0f;
        }
        skin->vertexBoneIndices[v] = static_cast<OvUInt32>((v % kNodes) | ((v + 1) % kNodes) << 8 |
                                                           ((v + 7) % kNodes) << 16 | ((v + 13) % kNodes) << 24);
    }
    OvSkinComputeUsage(skin);
    std::vector<OvV3d> pos(kVertices, OvV3d{0.1f, 1.0f, 0.2f}), nrm(kVertices, OvV3d{0, 0, 1});
    std::vector<OvV3d> outPos(kVertices), outNrm(kVertices);
    OvAnimHierarchy* h = OvAnimHierarchyCreate(kNodes, NodeFlags().data(), nullptr, 0, sizeof(OvAnimInterpFrame));
    OvAnimHierarchyUpdateMatrices(h);
    std::vector<OvMatrix> palette(ovSKINPALETTESIZE);
    OvMatrix world;
    OvMatrixSetIdentity(&world);
    for (auto _ : state) {
        for (int c = 0; c < characters; ++c) {
            const OvInt32 n = OvSkinBuildPalette(skin, h, &world, palette.data());
            OvSkinVertices(skin, palette.data(), n, pos.data(), nrm.data(), outPos.data(), outNrm.data(), kVertices);
        }
        benchmark::DoNotOptimize(outPos[kVertices - 1]);
    }
    state.counters["vertices/s"] = benchmark::Counter(static_cast<double>(state.iterations()) * characters * kVertices,
                                                      benchmark::Counter::kIsRate);
    OvAnimHierarchyDestroy(h);
    OvSkinDestroy(skin);
    OvTestEngineDown();
}
BENCHMARK(BM_SoftwareSkinning)
    ->Args({1, 4})
    ->Args({64, 4})
    ->Args({64, 2})
    ->Args({64, 1})
    ->ArgNames({"chars", "weights"});

} // namespace
