// Native data: the body of a native-data sub-chunk (the Direct3D 9 instanced form of a native
// geometry) read on the stand-in device into a native geometry with one material; the first byte
// chooses one or two morph targets (shared ranges or buffers of its own). What reads is written
// back (its size must be the size the writer announces) and destroyed; a device object that a
// second read of the input leaves beyond the first's is a leak.

#include <cstdint>
#include <cstdlib>

#include "fuzz/fuzz_kit.h"
#include "graphics/core/d3d9/device.h"
#include "graphics/core/engine.h"
#include "graphics/core/error.h"
#include "graphics/core/stream.h"
#include "graphics/world/d3d9_native_data.h"
#include "graphics/world/geometry.h"
#include "graphics/world/material.h"
#include "graphics/world/world_plugin.h"
#include "platform/d3d9_control.h"
#include "testing/headless_window.h"

namespace {

// The engine with the world plugin on the Direct3D 9 driver, started at the first input and kept.
bool DriverUp() {
    static const bool up = [] {
        static HWND window = OpenHeadlessWindow("fuzz_gfx_native_data", DefWindowProcA, 64, 64);
        OvEngineSetDriver(OvD3D9Driver());
        return OvEngineInit(nullptr, 0, 0x400000) && OvWorldPluginAttach() && OvEngineOpen(&window) && OvEngineStart();
    }();
    return up;
}

// One read into a fresh native geometry, written back when it reads, then destroyed.
void ReadOnce(const std::uint8_t* data, std::size_t size) {
    OvGeometry* geometry = OvGeometryCreate(0, 0, ovGEOMETRYNATIVE);
    if (geometry == nullptr) {
        return;
    }
    if ((data[0] & 1) != 0) {
        OvGeometryAddMorphTargets(geometry, 1);
    }
    OvMaterial* material = OvMaterialCreate();
    OvMaterialListAppendMaterial(&geometry->matList, material);
    OvMaterialDestroy(material);

    OvStream* stream = fuzzkit::OpenMemoryStream(data + 1, size - 1);
    if (OvGeometryNativeDataStreamRead(stream, static_cast<OvInt32>(size - 1), geometry) != nullptr) {
        OvStream* out = OvStreamOpen(ovSTREAMMEMORY, ovSTREAMWRITE, nullptr);
        const bool written = OvGeometryNativeDataStreamWrite(out, geometry) != nullptr;
        OvMemory memory = {};
        OvStreamClose(out, &memory);
        if (!written || memory.length != static_cast<OvUInt32>(OvGeometryNativeDataStreamGetSize(geometry))) {
            std::abort();
        }
        OvFree(memory.start);
    }
    OvStreamClose(stream, nullptr);
    OvGeometryDestroy(geometry);
    OvError ignored;
    OvErrorGet(&ignored);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (!DriverUp() || size < 1) {
        return 0;
    }
    // The driver keeps some buffers for reuse (a stride's static buffer, freed dynamic buffers):
    // a second read of the same input must leave the device's object count where the first did.
    IDirect3DDevice9* device = OvD3D9GetDevice();
    ReadOnce(data, size);
    const int live = D3d9LiveObjects(device);
    ReadOnce(data, size);
    if (D3d9LiveObjects(device) != live) {
        std::abort(); // a read left device objects behind
    }
    return 0;
}
