// Clumps: a model file (a clump chunk with its frame list, geometry list, atomics, lights and
// cameras) read from a memory stream. Seeds are models of the asset builder.

#include <cstdint>

#include "fuzz/fuzz_kit.h"
#include "graphics/core/chunk.h"
#include "graphics/core/stream.h"
#include "graphics/world/clump.h"
#include "graphics/world/world_plugin.h"

namespace {

void RegisterPlugins() { OvWorldPluginAttach(); }

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzzkit::GraphicsEngine engine(RegisterPlugins);
    if (!engine.Up()) {
        return 0;
    }
    OvStream* stream = fuzzkit::OpenMemoryStream(data, size);
    if (OvStreamFindChunk(stream, ovCHUNKIDCLUMP, nullptr, nullptr)) {
        if (OvClump* clump = OvClumpStreamRead(stream)) {
            OvClumpDestroy(clump);
        }
    }
    OvStreamClose(stream, nullptr);
    return 0;
}
