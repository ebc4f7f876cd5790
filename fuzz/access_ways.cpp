// "AccessWays Data" files: the loader reads the bytes from memory, from a host file and from a
// "RawData" block of a world file, for a graph with the vertex count the file names (so that the
// loader gets past that check). A file it accepts must be saved back to the bytes it read.

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "ai/navigation/access_ways_data.h"
#include "ai/navigation/data_file.h"
#include "ai/navigation/spatial_graph.h"
#include "ai/runtime/ais_reader.h"
#include "ai/runtime/config_node.h"
#include "ai/runtime/engine.h"
#include "fuzz/fuzz_kit.h"
#include "graphics/core/stream.h"

namespace {

// Graphs of up to this many vertices are built for the files that name them.
constexpr int kLargestGraph = 4096;

void CheckLoaded(CAccessWaysData& ways, const std::uint8_t* data, std::size_t size) {
    fuzzkit::ExpectSavedAsRead([&](const char* path) { return ways.Save(path); }, data, size);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzzkit::AiEngine engine;
    if (!engine.Up())
        return 0;
    int vertices = 1;
    if (size >= 29) {
        const int stored = static_cast<std::int16_t>(data[27] | (data[28] << 8));
        if (stored >= 0 && stored <= kLargestGraph)
            vertices = stored;
    }
    CSpatialGraph* graph = new CSpatialGraph();
    for (int i = 0; i < vertices; ++i)
        graph->AddVertexAt(CVector3(float(i), 0.0f, 0.0f));
    {
        CAccessWaysData ways(graph);
        Vusk::CMemoryReader reader(data, size);
        if (ways.LoadFromReader(&reader))
            CheckLoaded(ways, data, size);
    }
    const std::string path = fuzzkit::WriteScratchFile(data, size);
    if (!path.empty()) {
        CAccessWaysData ways(graph);
        ways.LoadFromFile(path.c_str());
    }
    const fuzzkit::Bytes world = fuzzkit::WrapInWorldFile(data, size);
    if (OvStream* stream = fuzzkit::OpenMemoryStream(world.data(), world.size())) {
        CConfigNode* root = Vusk::LoadAisFile(stream);
        if (root != nullptr) {
            CAccessWaysData ways(graph);
            ways.Load(root);
        }
        Vusk::DeleteTree(root);
        OvStreamClose(stream, nullptr);
    }
    delete graph;
    return 0;
}
