// A model's load through the clump reader against a plain read of the same bytes through the
// engine's file stream (every chunk walked, as the world benchmark reads a level): grids of about 2k and 32k triangles with 4 materials, with meshes built
// at load and with meshes stored in the file.

#include <benchmark/benchmark.h>

#include <cstdio>
#include <filesystem>
#include <string>
#include <unistd.h>
#include <vector>

#include "graphics/core/chunk.h"
#include "graphics/core/stream.h"
#include "graphics/core/testkit/engine_fixture.h"
#include "graphics/core/testkit/plain_read.h"
#include "graphics/world/clump.h"
#include "graphics/world/mesh.h"
#include "graphics/world/world_plugin.h"
#include "tools/mkasset/shapes.h"

namespace {

// A model file in the temporary folder; storeMeshes adds the list meshes the engine would build.
std::string ModelFile(int size, bool storeMeshes) {
    mkasset::ShapeOptions options;
    options.kind = mkasset::ShapeKind::Grid;
    options.size = size;
    options.materials = 4;
    mkasset::ClumpDesc clump = mkasset::ModelClump(options);
    if (storeMeshes) {
        mkasset::GeometryDesc& g = clump.geometries[0];
        g.extensions.push_back(mkasset::BinMeshExtension(0, mkasset::ListMeshes(g.triangles)));
    }
    const mkasset::Bytes bytes = mkasset::ClumpFile(clump);
    const std::string path =
        (std::filesystem::temp_directory_path() / ("dun_clump_bench_" + std::to_string(getpid()) + "_" +
                                                   std::to_string(size) + (storeMeshes ? "_meshes" : "") + ".dff"))
            .string();
    FILE* f = std::fopen(path.c_str(), "wb");
    std::fwrite(bytes.data(), 1, bytes.size(), f);
    std::fclose(f);
    return path;
}

void BM_PlainRead(benchmark::State& state) {
    OvTestEngineUp(0, [] { OvWorldPluginAttach(); });
    const std::string path = ModelFile(static_cast<int>(state.range(0)), state.range(1) != 0);
    const auto size = static_cast<OvUInt32>(std::filesystem::file_size(path));
    std::vector<OvUInt8> buffer;
    for (auto _ : state) {
        OvStream* s = OvStreamOpen(ovSTREAMFILENAME, ovSTREAMREAD, path.c_str());
        benchmark::DoNotOptimize(OvTestReadEveryChunk(s, size, buffer));
        OvStreamClose(s, nullptr);
    }
    state.SetBytesProcessed(state.iterations() * size);
    std::filesystem::remove(path);
    OvTestEngineDown();
}

void BM_ClumpLoad(benchmark::State& state) {
    OvTestEngineUp(0, [] { OvWorldPluginAttach(); });
    const std::string path = ModelFile(static_cast<int>(state.range(0)), state.range(1) != 0);
    const auto size = static_cast<OvUInt32>(std::filesystem::file_size(path));
    for (auto _ : state) {
        OvStream* s = OvStreamOpen(ovSTREAMFILENAME, ovSTREAMREAD, path.c_str());
        OvClump* clump = nullptr;
        if (OvStreamFindChunk(s, ovCHUNKIDCLUMP, nullptr, nullptr)) {
            clump = OvClumpStreamRead(s);
        }
        OvStreamClose(s, nullptr);
        if (clump == nullptr) {
            state.SkipWithError("the model did not read");
            break;
        }
        OvClumpDestroy(clump);
    }
    state.SetBytesProcessed(state.iterations() * size);
    std::filesystem::remove(path);
    OvTestEngineDown();
}

void Models(benchmark::internal::Benchmark* b) {
    for (int size : {32, 128}) {
        for (int meshes : {0, 1}) {
            b->Args({size, meshes});
        }
    }
    b->Unit(benchmark::kMicrosecond);
}

BENCHMARK(BM_PlainRead)->Apply(Models);
BENCHMARK(BM_ClumpLoad)->Apply(Models);

} // namespace
