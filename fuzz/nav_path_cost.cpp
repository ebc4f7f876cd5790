// Path cost tables ("Quelmor PathCost Data") for a small grid, from every source; tables that
// load give an entry for every pair of vertices.

#include <cstdint>

#include "ai/navigation/path_cost_data.h"
#include "ai/navigation/spatial_graph.h"
#include "fuzz/nav_kit.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    navfuzz::RunGraphData(data, size, CPathCostData::Create, [](CGraphData& loaded, CSpatialGraph& grid) {
        const std::int32_t n = grid.GetVertexCount();
        for (std::int32_t a = 0; a < n; ++a) {
            for (std::int32_t b = 0; b < n; ++b) {
                std::uint8_t entry = 0;
                static_cast<CPathCostData&>(loaded).GetEntry(a, b, &entry);
            }
        }
    });
    return 0;
}
