// Grid maps in the benchmark text form, as navquery reads them: a text that parses gives a map of
// its declared size, and a small one builds a graph with one vertex per cell.

#include <cstdint>
#include <cstdlib>
#include <string>

#include "ai/navigation/spatial_graph.h"
#include "fuzz/fuzz_kit.h"
#include "testing/grid_map.h"

namespace {

// Graphs are built only for maps of at most this many cells, so an input costs little.
constexpr int kLargestBuiltMap = 4096;

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    GridMap map;
    std::string error;
    if (!ParseGridMap(std::string(reinterpret_cast<const char*>(data), size), &map, &error)) {
        return 0;
    }
    if (map.width < 1 || map.height < 1 || map.rows.size() != static_cast<std::size_t>(map.height)) {
        std::abort(); // a map accepted with a size it does not hold
    }
    for (const std::string& row : map.rows) {
        if (row.size() != static_cast<std::size_t>(map.width)) {
            std::abort();
        }
    }
    if (static_cast<long long>(map.width) * map.height > kLargestBuiltMap) {
        return 0;
    }
    fuzzkit::AiEngine engine;
    if (!engine.Up()) {
        return 0;
    }
    CSpatialGraph* graph = new CSpatialGraph();
    if (graph != nullptr) {
        BuildGridGraph(map, graph, true);
        delete graph;
    }
    return 0;
}
