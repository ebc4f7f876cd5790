// Material effects: the input as the body of a material's effects extension, read into a new
// material; what reads is written back and must come out as long as its reported size.

#include <cstdint>
#include <cstdlib>

#include "fuzz/fuzz_kit.h"
#include "graphics/core/error.h"
#include "graphics/core/engine.h"
#include "graphics/core/stream.h"
#include "graphics/plugins/material_effects.h"
#include "graphics/world/material.h"
#include "graphics/world/world_plugin.h"

namespace {

void RegisterPlugins() {
    OvWorldPluginAttach();
    OvMaterialEffectsPluginAttach();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzzkit::GraphicsEngine engine(RegisterPlugins);
    if (!engine.Up() || size > 0x100000) {
        return 0;
    }
    OvMaterial* material = OvMaterialCreate();
    OvStream* stream = fuzzkit::OpenMemoryStream(data, size);
    if (material != nullptr && stream != nullptr &&
        OvMaterialEffectsStreamRead(stream, static_cast<OvInt32>(size), material) != nullptr) {
        OvStream* out = OvStreamOpen(ovSTREAMMEMORY, ovSTREAMWRITE, nullptr);
        if (out != nullptr) {
            const bool written = OvMaterialEffectsStreamWrite(out, material) != nullptr;
            OvMemory memory = {};
            OvStreamClose(out, &memory);
            if (written && static_cast<OvInt32>(memory.length) != OvMaterialEffectsStreamGetSize(material)) {
                std::abort(); // the size written must be the size reported
            }
            OvFree(memory.start);
        }
    }
    if (stream != nullptr) {
        OvStreamClose(stream, nullptr);
    }
    if (material != nullptr) {
        OvMaterialDestroy(material);
    }
    OvError e;
    OvErrorGet(&e);
    return 0;
}
