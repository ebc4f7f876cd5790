// One frame of a world with many atomics, tie upkeep of moving atomics, and world loading.
//
//   world_frame/S/A: levels of about S atomic sectors (256, 1,024, 4,096) holding A atomics
//     (1,000 or 5,000) of half-metre spheres; per iteration the camera turns, its frame sync
//     walks the tree for its visible sectors, and the world render tests every atomic tied to
//     those sectors once (render callbacks do nothing). Microseconds per frame.
//   world_retie/S: 300 of 5,000 atomics move each frame and are tied again at the frame sync
//     (levels of 256 to 4,096 sectors).
//   world_load/S/M against world_plain_read/S/M: reading a level with OvWorldStreamRead (one
//     block, tree boxes, sector meshes) against reading every chunk of the same bytes into a
//     buffer (headers walked, bodies read); the figure to watch is their ratio (goal: at most
//     1.5). M = 0: the file holds no meshes and the reader builds every sector's; M = 1: every
//     sector's meshes come with the file; M = 2: as 1, and every sector carries collision data
//     read by the collision plugin (what `mkasset level` writes by default and the game loads).

#include <benchmark/benchmark.h>

#include <algorithm>
#include <vector>

#include "graphics/core/chunk.h"
#include "graphics/core/frame.h"
#include "graphics/core/stream.h"
#include "graphics/core/testkit/engine_fixture.h"
#include "graphics/core/testkit/plain_read.h"
#include "graphics/plugins/collision.h"
#include "graphics/world/clump.h"
#include "graphics/world/testkit/world_camera.h"
#include "graphics/world/world.h"
#include "graphics/world/world_membership.h"
#include "graphics/world/world_plugin.h"
#include "tools/mkasset/collision_tree.h"
#include "tools/mkasset/level_builder.h"

namespace {

// Sector limits that split a 64-metre level into 256, 1,024, 2,048 and 4,096 atomic sectors.
int MaxTrisFor(int sectors) { return sectors <= 256 ? 128 : sectors <= 1024 ? 32 : sectors <= 2048 ? 16 : 8; }

// The level; meshes 1 or 2 add to every sector the list meshes the reader would otherwise build
// (one mesh a material, the triangles in file order), 2 also collision data behind them.
std::vector<std::uint8_t> LevelBytes(int sectors, std::int64_t meshes = 0) {
    mkasset::WorldDesc desc = mkasset::LevelWorld({11, 64, 200, MaxTrisFor(sectors)});
    for (mkasset::SectorNodeDesc& node : desc.nodes) {
        if (meshes != 0 && node.type < 0) {
            node.sector.extensions.push_back(mkasset::BinMeshExtension(
                0, mkasset::ListMeshes(node.sector.triangles, static_cast<std::uint32_t>(node.sector.materialBase))));
        }
    }
    if (meshes == 2 && !mkasset::AddWorldCollision(desc)) {
        return {};
    }
    return mkasset::WorldFile(desc);
}

// The engine with the world plugins, and the collision plugin as the game attaches it.
bool UpForLoads() {
    return OvTestEngineUp(0, [] {
        OvWorldPluginAttach();
        OvCollisionPluginAttach();
    });
}

OvStream* Open(const std::vector<std::uint8_t>& bytes) {
    OvMemory memory{const_cast<std::uint8_t*>(bytes.data()), static_cast<OvUInt32>(bytes.size())};
    return OvStreamOpen(ovSTREAMMEMORY, ovSTREAMREAD, &memory);
}

OvWorld* Load(const std::vector<std::uint8_t>& bytes) {
    OvStream* stream = Open(bytes);
    OvWorld* world = nullptr;
    if (OvStreamFindChunk(stream, ovCHUNKIDWORLD, nullptr, nullptr)) {
        world = OvWorldStreamRead(stream);
    }
    OvStreamClose(stream, nullptr);
    return world;
}

OvAtomic* NoDraw(OvAtomic* atomic) { return atomic; }

struct Scene {
    OvWorld* world = nullptr;
    OvCamera* camera = nullptr;
    std::vector<OvAtomic*> atomics;
    std::vector<OvFrame*> frames;
    OvGeometry* geometry = nullptr;
    std::uint64_t random = 12345;

    float Next(float lo, float hi) {
        random = random * 6364136223846793005ull + 1442695040888963407ull;
        return lo + (hi - lo) * static_cast<float>(random >> 40) / static_cast<float>(1ull << 24);
    }
    void Place(std::size_t i) {
        const OvV3d at = {Next(-31, 31), Next(0.5f, 2.5f), Next(-31, 31)};
        OvFrameTranslate(frames[i], &at, ovCOMBINEREPLACE);
    }
    bool Up(int sectors, int atomicCount) {
        if (!OvTestEngineUp(0, [] { OvWorldPluginAttach(); })) {
            return false;
        }
        world = Load(LevelBytes(sectors));
        camera = OvWorldTestCameraCreate(0, 1.7f, 0, 0, 0, 90, 100);
        geometry = OvGeometryCreateEmpty(0.5f);
        if (world == nullptr || camera == nullptr || geometry == nullptr) {
            return false;
        }
        for (int i = 0; i < atomicCount; ++i) {
            OvAtomic* atomic = OvAtomicCreate();
            OvFrame* frame = OvFrameCreate();
            OvAtomicSetGeometry(atomic, geometry, 0);
            OvAtomicSetFrame(atomic, frame);
            atomic->renderCallBack = NoDraw;
            atomics.push_back(atomic);
            frames.push_back(frame);
            Place(atomics.size() - 1);
            OvWorldAddAtomic(world, atomic);
        }
        OvWorldAddCamera(world, camera);
        OvFrameSyncDirty();
        return true;
    }
    void Down() {
        for (std::size_t i = 0; i < atomics.size(); ++i) {
            OvAtomicDestroy(atomics[i]);
            OvFrameDestroy(frames[i]);
        }
        if (camera != nullptr) {
            OvWorldRemoveCamera(world, camera);
            OvWorldTestCameraDestroy(camera);
        }
        if (geometry != nullptr) {
            OvGeometryDestroy(geometry);
        }
        if (world != nullptr) {
            OvWorldDestroy(world);
        }
        OvTestEngineDown();
    }
};

void BM_Frame(benchmark::State& state) {
    Scene scene;
    if (!scene.Up(static_cast<int>(state.range(0)), static_cast<int>(state.range(1)))) {
        state.SkipWithError("scene");
        scene.Down();
        return;
    }
    float yaw = 0;
    std::int64_t visible = 0;
    for (auto _ : state) {
        yaw += 7.0f;
        OvWorldTestCameraPlace(scene.camera, 0, 1.7f, 0, yaw, -5);
        OvFrameSyncDirty();
        OvCameraBeginUpdate(scene.camera);
        OvWorldRender(scene.world);
        OvCameraEndUpdate(scene.camera);
        OvInt32 count = 0;
        OvCameraGetVisibleSectors(scene.camera, &count);
        visible += count;
    }
    state.counters["sectors"] = OvWorldGetNumWorldSectors(scene.world);
    state.counters["visible"] = static_cast<double>(visible) / static_cast<double>(state.iterations());
    scene.Down();
}

void BM_Retie(benchmark::State& state) {
    Scene scene;
    if (!scene.Up(static_cast<int>(state.range(0)), 5000)) {
        state.SkipWithError("scene");
        scene.Down();
        return;
    }
    std::size_t next = 0;
    for (auto _ : state) {
        for (int i = 0; i < 300; ++i) {
            scene.Place(next);
            next = (next + 1) % scene.atomics.size();
        }
        OvFrameSyncDirty();
    }
    OvInt32 atomicTies = 0, lightTies = 0;
    OvWorldGetTiesInUse(&atomicTies, &lightTies);
    state.counters["ties"] = atomicTies;
    state.counters["sectors"] = OvWorldGetNumWorldSectors(scene.world);
    scene.Down();
}

void BM_Load(benchmark::State& state) {
    const std::vector<std::uint8_t> bytes = LevelBytes(static_cast<int>(state.range(0)), state.range(1));
    UpForLoads();
    for (auto _ : state) {
        OvWorld* world = Load(bytes);
        if (world == nullptr) {
            state.SkipWithError("the level did not read");
            break;
        }
        OvWorldDestroy(world);
    }
    if (OvWorld* world = Load(bytes)) {
        state.counters["sectors"] = OvWorldGetNumWorldSectors(world);
        OvWorldDestroy(world);
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * bytes.size()));
    OvTestEngineDown();
}

void BM_PlainRead(benchmark::State& state) {
    const std::vector<std::uint8_t> bytes = LevelBytes(static_cast<int>(state.range(0)), state.range(1));
    UpForLoads();
    std::vector<std::uint8_t> buffer;
    for (auto _ : state) {
        OvStream* stream = Open(bytes);
        OvTestReadEveryChunk(stream, static_cast<OvUInt32>(bytes.size()), buffer);
        OvStreamClose(stream, nullptr);
        benchmark::DoNotOptimize(buffer.data());
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * bytes.size()));
    OvTestEngineDown();
}

} // namespace

BENCHMARK(BM_Frame)->Name("world_frame")->ArgsProduct({{256, 1024, 4096}, {1000, 5000}})->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_Retie)->Name("world_retie")->Arg(256)->Arg(1024)->Arg(2048)->Arg(4096)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_Load)->Name("world_load")->ArgsProduct({{256, 4096}, {0, 1, 2}})->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_PlainRead)->Name("world_plain_read")->ArgsProduct({{256, 4096}, {0, 1, 2}})->Unit(benchmark::kMicrosecond);
