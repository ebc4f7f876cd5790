// Material effects: the input as the body of a material's effects extension, read into a new
// material from a stream that goes on past it with a texture chunk the reader must not reach (a
// read that succeeds must stop at the body's end); what reads is written back and must come out
// as long as its reported size.

#include <cstdint>
#include <cstdlib>
#include <vector>

#include "fuzz/fuzz_kit.h"
#include "graphics/core/error.h"
#include "graphics/core/engine.h"
#include "graphics/core/stream.h"
#include "graphics/core/texture.h"
#include "graphics/core/texture_stream.h"
#include "graphics/plugins/material_effects.h"
#include "graphics/world/material.h"
#include "graphics/world/world_plugin.h"

namespace {

void RegisterPlugins() {
    OvWorldPluginAttach();
    OvMaterialEffectsPluginAttach();
}

// The chunk of a texture named "beyond", which no dictionary holds, and a slot kind 0 after it,
// so that a reader that strays into them can still finish.
std::vector<std::uint8_t> TextureChunkBeyond() {
    std::vector<std::uint8_t> bytes;
    OvTexture* texture = OvTextureCreate(nullptr);
    OvStream* out = OvStreamOpen(ovSTREAMMEMORY, ovSTREAMWRITE, nullptr);
    if (texture != nullptr && out != nullptr) {
        OvTextureSetName(texture, "beyond");
        const bool written = OvTextureStreamWrite(texture, out) != nullptr;
        OvMemory memory = {};
        OvStreamClose(out, &memory);
        if (written) {
            bytes.assign(memory.start, memory.start + memory.length);
            bytes.insert(bytes.end(), 4, 0);
        }
        OvFree(memory.start);
    }
    if (texture != nullptr) {
        OvTextureDestroy(texture);
    }
    return bytes;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzzkit::GraphicsEngine engine(RegisterPlugins);
    if (!engine.Up() || size > 0x100000) {
        return 0;
    }
    std::vector<std::uint8_t> input(data, data + size);
    const std::vector<std::uint8_t> beyond = TextureChunkBeyond();
    input.insert(input.end(), beyond.begin(), beyond.end());
    OvMaterial* material = OvMaterialCreate();
    OvStream* stream = fuzzkit::OpenMemoryStream(input.data(), input.size());
    if (material != nullptr && stream != nullptr &&
        OvMaterialEffectsStreamRead(stream, static_cast<OvInt32>(size), material) != nullptr) {
        if (OvStreamGetBytesLeft(stream) != beyond.size()) {
            std::abort(); // the read went past the extension's body
        }
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
