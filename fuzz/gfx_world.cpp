// Worlds: a level file (a world chunk with its material list and sector tree) read from a memory
// stream; a world that reads is looked at by a camera, gets a clump of one atomic and a local
// light placed into its sectors, renders a frame and is destroyed. Seeds are levels of the asset
// builder and small hand-made trees.

#include <cstdint>

#include "fuzz/fuzz_kit.h"
#include "graphics/core/chunk.h"
#include "graphics/core/frame.h"
#include "graphics/core/stream.h"
#include "graphics/world/clump.h"
#include "graphics/world/testkit/world_camera.h"
#include "graphics/world/world.h"
#include "graphics/world/world_membership.h"
#include "graphics/world/world_plugin.h"

namespace {

void RegisterPlugins() { OvWorldPluginAttach(); }

// Places a camera, a clump and a light in the world, renders one frame and takes them out.
void LookAround(OvWorld* world) {
    OvCamera* camera = OvWorldTestCameraCreate(0, 1.7f, 0, 30, -10, 90, 100);
    OvClump* clump = OvClumpCreate();
    OvFrame* frame = OvFrameCreate();
    OvAtomic* atomic = OvAtomicCreate();
    OvGeometry* geometry = OvGeometryCreateEmpty(1.0f);
    OvLight* light = OvLightCreate(ovLIGHTPOINT);
    if (camera != nullptr && clump != nullptr && frame != nullptr && atomic != nullptr && geometry != nullptr &&
        light != nullptr) {
        OvAtomicSetGeometry(atomic, geometry, 0);
        OvClumpSetFrame(clump, frame);
        OvAtomicSetFrame(atomic, frame);
        OvClumpAddAtomic(clump, atomic);
        atomic = nullptr;
        light->radius = 3;
        OvLightSetFrame(light, frame);
        OvClumpAddLight(clump, light);
        light = nullptr;
        frame = nullptr;
        OvWorldAddClump(world, clump);
        OvWorldAddCamera(world, camera);
        if (OvCameraBeginUpdate(camera) != nullptr) {
            OvWorldRender(world);
            OvCameraEndUpdate(camera);
        }
        OvWorldRemoveCamera(world, camera);
        OvWorldRemoveClump(world, clump);
    }
    if (geometry != nullptr) {
        OvGeometryDestroy(geometry);
    }
    if (atomic != nullptr) {
        OvAtomicDestroy(atomic);
    }
    if (light != nullptr) {
        OvLightDestroy(light);
    }
    if (frame != nullptr) {
        OvFrameDestroy(frame);
    }
    if (clump != nullptr) {
        OvClumpDestroy(clump);
    }
    if (camera != nullptr) {
        OvWorldTestCameraDestroy(camera);
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzzkit::GraphicsEngine engine(RegisterPlugins);
    if (!engine.Up()) {
        return 0;
    }
    OvStream* stream = fuzzkit::OpenMemoryStream(data, size);
    if (OvStreamFindChunk(stream, ovCHUNKIDWORLD, nullptr, nullptr)) {
        if (OvWorld* world = OvWorldStreamRead(stream)) {
            LookAround(world);
            OvWorldDestroy(world);
        }
    }
    OvStreamClose(stream, nullptr);
    return 0;
}
