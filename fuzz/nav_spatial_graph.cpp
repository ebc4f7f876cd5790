// Spatial graph files ("Quelmor Spatial graph"), from every source a graph is loaded from. A graph
// that loads saves and loads again to the same vertex and edge counts.

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "ai/navigation/data_file.h"
#include "ai/navigation/spatial_graph.h"
#include "fuzz/fuzz_kit.h"
#include "fuzz/nav_kit.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzzkit::AiEngine engine;
    if (!engine.Up()) {
        return 0;
    }
    const std::string saved = fuzzkit::ScratchFileName() + ".graph";
    navfuzz::ForEachSource(data, size, [&](Vusk::CDataReader* reader) {
        CSpatialGraph graph;
        if (!graph.LoadFromReader(reader)) {
            return;
        }
        graph.GetSearchRadius();
        CSpatialGraph again;
        if (!graph.Save(saved.c_str()) || !again.LoadFromFile(saved.c_str()) ||
            again.GetVertexCount() != graph.GetVertexCount() || again.GetEdgeCount() != graph.GetEdgeCount()) {
            std::abort(); // a graph that loaded does not survive its own file
        }
    });
    std::remove(saved.c_str());
    return 0;
}
