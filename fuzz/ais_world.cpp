// Whole AI world files: the tree is read from a memory stream and a world is created from it,
// its services loading their graphs and graph data from the file's blocks.

#include <cstdint>

#include "ai/runtime/ais_reader.h"
#include "ai/runtime/config_node.h"
#include "ai/runtime/engine.h"
#include "ai/runtime/world.h"
#include "ai/runtime/world_api.h"
#include "fuzz/fuzz_kit.h"
#include "graphics/core/stream.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzzkit::AiEngine engine;
    if (!engine.Up()) {
        return 0;
    }
    OvStream* stream = fuzzkit::OpenMemoryStream(data, size);
    CConfigNode* tree = stream != nullptr ? Vusk::LoadAisFile(stream) : nullptr;
    if (tree != nullptr) {
        CWorld* world = Vusk::CreateWorld(tree, 0);
        if (world != nullptr) {
            Vusk::UpdateWorld(world);
        }
        delete world;
    }
    Vusk::DeleteTree(tree);
    OvStreamClose(stream, nullptr);
    return 0;
}
