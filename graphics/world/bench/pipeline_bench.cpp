// The world plugin's Direct3D 9 pipelines on the stand-in device.
//
//   write_v3d/TYPE: the 3-vector writer into one declaration type, 65,535 vertices at a 32-byte
//     stride; vertices per second.
//   instance_grid: a 101 x 101 grid (10,201 vertices with normals, colours and one texture set,
//     20,000 triangles) instanced from nothing: index buffer sorted, vertex range written;
//     vertices per second.
//   level_frame/W/H: one frame of a generated level of about 5,000 triangles with 20 box models
//     on it, lit by an ambient and a directional light: clear, visible sectors, instanced data
//     reused, lights, draws, end. At 640x480 it is the whole frame; at 1x1 the same scene (same
//     view, same draws) costs almost no pixel work, so its time over the 640x480 time is the
//     share of the frame outside the rasteriser (world plugin, driver and the device's vertex
//     work). Milliseconds per frame.

#include <benchmark/benchmark.h>

#include <cmath>
#include <vector>

#include "graphics/core/camera.h"
#include "graphics/core/chunk.h"
#include "graphics/core/d3d9/device.h"
#include "graphics/core/engine.h"
#include "graphics/core/frame.h"
#include "graphics/core/raster.h"
#include "graphics/core/resources.h"
#include "graphics/core/stream.h"
#include "graphics/world/clump.h"
#include "graphics/world/d3d9/vertex_writers.h"
#include "graphics/world/d3d9_pipeline.h"
#include "graphics/world/light.h"
#include "graphics/world/mesh.h"
#include "graphics/world/testkit/headless_engine.h"
#include "graphics/world/testkit/world_camera.h"
#include "graphics/world/world.h"
#include "graphics/world/world_membership.h"
#include "graphics/world/world_plugin.h"
#include "platform/d3d9_control.h"
#include "testing/headless_window.h"
#include "tools/mkasset/level_builder.h"
#include "tools/mkasset/shapes.h"
#include "tools/mkasset/world_writer.h"

namespace {

void WriteV3d(benchmark::State& state) {
    const auto type = static_cast<OvUInt32>(state.range(0));
    constexpr int kCount = 65535;
    std::vector<OvV3d> source(kCount);
    for (int i = 0; i < kCount; ++i) {
        const float a = 0.001f * static_cast<float>(i);
        source[i] = {std::sin(a), std::cos(a), 0.5f * std::sin(3 * a)};
    }
    std::vector<OvUInt8> out(static_cast<std::size_t>(kCount) * 32);
    for (auto _ : state) {
        OvD3D9VertexWriteV3d(type, out.data(), source.data(), kCount, 32);
        benchmark::DoNotOptimize(out.data());
    }
    state.SetItemsProcessed(state.iterations() * kCount);
}
BENCHMARK(WriteV3d)
    ->Arg(D3DDECLTYPE_FLOAT3)
    ->Arg(D3DDECLTYPE_FLOAT4)
    ->Arg(D3DDECLTYPE_D3DCOLOR)
    ->Arg(D3DDECLTYPE_UBYTE4N)
    ->Arg(D3DDECLTYPE_SHORT4N)
    ->Arg(D3DDECLTYPE_USHORT4N)
    ->Arg(D3DDECLTYPE_DEC3N)
    ->Arg(D3DDECLTYPE_FLOAT16_4)
    ->ArgName("type");

// The engine with the world plugin on the Direct3D 9 driver and a headless window of the size.

template <typename T, typename Read> T* ReadBytes(const std::vector<std::uint8_t>& bytes, OvUInt32 chunk, Read read) {
    OvMemory memory{const_cast<std::uint8_t*>(bytes.data()), static_cast<OvUInt32>(bytes.size())};
    OvStream* stream = OvStreamOpen(ovSTREAMMEMORY, ovSTREAMREAD, &memory);
    T* object = OvStreamFindChunk(stream, chunk, nullptr, nullptr) ? read(stream) : nullptr;
    OvStreamClose(stream, nullptr);
    return object;
}

void InstanceGrid(benchmark::State& state) {
    OvHeadlessWorldEngine engine("pipeline_bench", 64, 64);
    mkasset::ShapeOptions options;
    options.kind = mkasset::ShapeKind::Grid;
    options.size = static_cast<int>(state.range(0));
    OvClump* clump =
        ReadBytes<OvClump>(mkasset::ClumpFile(mkasset::ModelClump(options)), ovCHUNKIDCLUMP, OvClumpStreamRead);
    if (!engine.up || clump == nullptr) {
        state.SkipWithError("no engine or model");
        return;
    }
    OvAtomic* atomic = nullptr;
    OvClumpForAllAtomics(
        clump, [](OvAtomic* a, void* data) { return *static_cast<OvAtomic**>(data) = a; }, &atomic);
    OvGeometry* g = atomic->geometry;
    if (state.range(1) != 0) {
        OvD3D9GeometrySetInstanceFlags(g, ovD3D9INSTANCETANGENT);
    }
    for (auto _ : state) {
        OvResourceEntry* entry = OvD3D9InstancedDataCreate(atomic, g, ovD3D9OBJECTATOMIC, &g->repEntry, g->mesh,
                                                           OvD3D9AtomicAllInOneInstance, FALSE);
        if (entry == nullptr) {
            state.SkipWithError("instancing failed");
            break;
        }
        OvResourcesFreeEntry(entry);
    }
    state.SetItemsProcessed(state.iterations() * g->numVertices);
    OvClumpDestroy(clump);
}
// Grids of 101 x 101 and 255 x 255 vertices, without and with a tangent element.
BENCHMARK(InstanceGrid)
    ->Args({100, 0})
    ->Args({100, 1})
    ->Args({254, 0})
    ->Args({254, 1})
    ->ArgNames({"size", "tangents"})
    ->Unit(benchmark::kMicrosecond);

void LevelFrame(benchmark::State& state) {
    const int width = static_cast<int>(state.range(0)), height = static_cast<int>(state.range(1));
    OvHeadlessWorldEngine engine("pipeline_bench", width, height);
    const mkasset::WorldDesc level = mkasset::LevelWorld({3, 40, 12, 255});
    OvWorld* world = ReadBytes<OvWorld>(mkasset::WorldFile(level), ovCHUNKIDWORLD, OvWorldStreamRead);
    mkasset::ShapeOptions box;
    box.kind = mkasset::ShapeKind::Box;
    box.size = 2;
    const std::vector<std::uint8_t> boxBytes = mkasset::ClumpFile(mkasset::ModelClump(box));
    if (!engine.up || world == nullptr) {
        state.SkipWithError("no engine or level");
        return;
    }
    std::vector<OvClump*> clumps;
    for (int i = 0; i < 20; ++i) {
        OvClump* clump = ReadBytes<OvClump>(boxBytes, ovCHUNKIDCLUMP, OvClumpStreamRead);
        const OvV3d at = {-9.0f + static_cast<float>(i % 5) * 4.5f, 0.5f, -4.0f + static_cast<float>(i / 5) * 4.0f};
        OvFrameTranslate(OvClumpGetFrame(clump), &at, ovCOMBINEPOSTCONCAT);
        OvWorldAddClump(world, clump);
        clumps.push_back(clump);
    }
    std::vector<OvLight*> lights;
    std::vector<OvFrame*> frames;
    for (OvUInt8 type : {ovLIGHTAMBIENT, ovLIGHTDIRECTIONAL}) {
        OvLight* light = OvLightCreate(type);
        OvFrame* frame = OvFrameCreate();
        const OvRGBAReal color = {0.3f, 0.3f, 0.3f, 1.0f};
        OvLightSetColor(light, &color);
        const OvV3d axis = {1, 0, 0};
        OvFrameRotate(frame, &axis, 50.0f, ovCOMBINEREPLACE);
        OvLightSetFrame(light, frame);
        OvWorldAddLight(world, light);
        lights.push_back(light);
        frames.push_back(frame);
    }
    OvHeadlessCamera view(engine, width, height, 0.0f, 1.7f, -18.0f, 0.0f, -5.0f, 60.0f, 200.0f);
    OvCamera* camera = view.camera;
    const float half = std::tan(30.0f * 3.14159265f / 180.0f);
    const OvV2d viewWindow = {half, half * 0.75f}; // the 640x480 view at every size
    OvCameraSetViewWindow(camera, &viewWindow);
    OvWorldAddCamera(world, camera);
    OvD3D9FrameCounters counters{};
    for (auto _ : state) {
        view.Frame(
            [&] {
                OvWorldRender(world);
                counters = OvD3D9FrameCount;
            },
            {40, 48, 64, 255});
        OvD3D9EndFrameCounters();
        OvResourcesEndFrame();
    }
    state.counters["triangles"] = static_cast<double>(mkasset::CountWorld(level).triangles + 20 * 12 * 4);
    state.counters["draws"] = counters.drawCalls;
    state.counters["vertices"] = counters.vertices;
    OvWorldRemoveCamera(world, camera);
    for (std::size_t i = 0; i < lights.size(); ++i) {
        OvWorldRemoveLight(world, lights[i]);
        OvLightDestroy(lights[i]);
        OvFrameDestroy(frames[i]);
    }
    for (OvClump* clump : clumps) {
        OvWorldRemoveClump(world, clump);
        OvClumpDestroy(clump);
    }
    OvWorldDestroy(world);
}
BENCHMARK(LevelFrame)->Args({640, 480})->Args({1, 1})->Unit(benchmark::kMillisecond);

} // namespace

BENCHMARK_MAIN();
