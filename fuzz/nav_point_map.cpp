// Point mapping files ("Quelmor Point mapping data"), from every source, in a world whose graph
// manager holds the graphs "Walk" (4 vertices) and "Crawl" (3 vertices); tables that load answer
// for every pair of graphs and every vertex.

#include <cstdint>

#include "ai/navigation/point_mapper.h"
#include "ai/navigation/spatial_graph.h"
#include "ai/runtime/config_node.h"
#include "ai/runtime/engine.h"
#include "ai/runtime/world.h"
#include "fuzz/fuzz_kit.h"
#include "fuzz/nav_kit.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzzkit::AiEngine engine;
    if (!engine.Up()) {
        return 0;
    }
    CConfigNode* tree = nullptr;
    CWorld* world = navfuzz::MakeTwoGraphWorld(&tree);
    if (world != nullptr) {
        navfuzz::ForEachSource(data, size, [&](Vusk::CDataReader* reader) {
            CPointMapper mapper;
            if (!mapper.LoadFromReader(reader)) {
                return;
            }
            for (std::uint16_t from = 0; from < mapper.GetGraphCount(); ++from) {
                for (std::uint16_t to = 0; to < mapper.GetGraphCount(); ++to) {
                    // One past the last vertex too (a count of 65535 leaves no room in 16 bits).
                    for (std::uint32_t v = 0; v <= mapper.GetVertexCount(from); ++v) {
                        mapper.GetEntry(from, to, static_cast<std::uint16_t>(v));
                    }
                }
            }
        });
    }
    delete world;
    Vusk::DeleteTree(tree);
    return 0;
}
