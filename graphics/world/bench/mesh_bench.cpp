// Mesh-header builds of grids of about 1k, 10k and 65k triangles spread over 1 or 16 materials,
// as lists and as strips (strips with the edge search by hash and by the plain newest-first walk).

#include <benchmark/benchmark.h>

#include <cmath>
#include <vector>

#include "graphics/core/testkit/engine_fixture.h"
#include "graphics/world/material.h"
#include "graphics/world/mesh.h"
#include "graphics/world/world_plugin.h"

namespace {

struct Soup {
    std::vector<OvUInt16> v;    // 3 a triangle
    std::vector<OvUInt16> slot; // material a triangle
};

Soup Grid(int triangles, int materials) {
    const int n = static_cast<int>(std::sqrt(triangles / 2.0));
    Soup s;
    for (int j = 0; j < n; ++j) {
        for (int i = 0; i < n; ++i) {
            const auto a = static_cast<OvUInt16>(j * (n + 1) + i);
            const auto b = static_cast<OvUInt16>(a + 1);
            const auto c = static_cast<OvUInt16>(a + n + 1);
            const auto d = static_cast<OvUInt16>(c + 1);
            const auto m = static_cast<OvUInt16>((j * n + i) % materials);
            s.v.insert(s.v.end(), {a, b, d, a, d, c});
            s.slot.insert(s.slot.end(), {m, m});
        }
    }
    return s;
}

// Triangles round one vertex (every triangle shares vertex 0), cycling through the materials.
Soup Fan(int triangles, int materials) {
    Soup s;
    for (int i = 0; i < triangles && i + 2 < 65536; ++i) {
        s.v.insert(s.v.end(), {0, static_cast<OvUInt16>(i + 1), static_cast<OvUInt16>(i + 2)});
        s.slot.push_back(static_cast<OvUInt16>(i % materials));
    }
    return s;
}

void BuildMeshes(benchmark::State& state, OvUInt32 flags, OvBool hash, bool fan = false) {
    OvTestEngineUp(0, [] { OvWorldPluginAttach(); });
    const int materials = static_cast<int>(state.range(1));
    std::vector<OvMaterial*> list;
    for (int i = 0; i < materials; ++i) {
        list.push_back(OvMaterialCreate());
    }
    const Soup soup =
        fan ? Fan(static_cast<int>(state.range(0)), materials) : Grid(static_cast<int>(state.range(0)), materials);
    const auto n = static_cast<OvInt32>(soup.slot.size());
    OvMeshSetStripEdgeHash(hash);
    for (auto _ : state) {
        OvMeshBuilder* b = OvMeshBuilderCreate(n);
        for (OvInt32 t = 0; t < n; ++t) {
            const OvUInt16 m = soup.slot[static_cast<std::size_t>(t)];
            const OvUInt16* v = &soup.v[3 * static_cast<std::size_t>(t)];
            OvMeshBuilderAddTriangle(b, list[m], v[0], v[1], v[2], m, 0, 0, 0);
        }
        OvMeshHeader* h = OvMeshHeaderBuild(b, flags);
        benchmark::DoNotOptimize(h);
        OvMeshHeaderDestroy(h);
    }
    OvMeshSetStripEdgeHash(TRUE);
    state.counters["triangles"] = n;
    state.SetItemsProcessed(state.iterations() * n);
    for (OvMaterial* m : list) {
        OvMaterialDestroy(m);
    }
    OvTestEngineDown();
}

void BM_MeshLists(benchmark::State& state) { BuildMeshes(state, ovMESHHEADERTRILIST, TRUE); }
void BM_MeshStrips(benchmark::State& state) { BuildMeshes(state, ovMESHHEADERTRISTRIP, TRUE); }
void BM_MeshStripsPlainEdgeSearch(benchmark::State& state) { BuildMeshes(state, ovMESHHEADERTRISTRIP, FALSE); }
void BM_MeshListsFan(benchmark::State& state) { BuildMeshes(state, ovMESHHEADERTRILIST, TRUE, true); }
void BM_MeshStripsFan(benchmark::State& state) { BuildMeshes(state, ovMESHHEADERTRISTRIP, TRUE, true); }

void Sizes(benchmark::internal::Benchmark* b) {
    for (int tris : {1000, 10000, 65000}) {
        for (int materials : {1, 16}) {
            b->Args({tris, materials});
        }
    }
    b->Unit(benchmark::kMillisecond);
}

BENCHMARK(BM_MeshLists)->Apply(Sizes);
BENCHMARK(BM_MeshStrips)->Apply(Sizes);
BENCHMARK(BM_MeshStripsPlainEdgeSearch)->Apply(Sizes);
BENCHMARK(BM_MeshListsFan)->Apply(Sizes);
BENCHMARK(BM_MeshStripsFan)->Apply(Sizes);

} // namespace

BENCHMARK_MAIN();
