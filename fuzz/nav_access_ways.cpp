// Access-ways data files ("Quelmor AccessWays Data") for a small grid, from every source; lists
// that load are walked for every vertex.

#include <cstdint>

#include "ai/navigation/access_ways_data.h"
#include "ai/navigation/spatial_graph.h"
#include "fuzz/nav_kit.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    navfuzz::RunGraphData(data, size, CAccessWaysData::Create, [](CGraphData& loaded, CSpatialGraph& grid) {
        auto& lists = static_cast<CAccessWaysData&>(loaded);
        for (std::int32_t v = -1; v <= lists.GetVertexCount(); ++v) {
            const std::uint16_t* edges = nullptr;
            const std::int32_t count = lists.GetAccessWays(v, &edges);
            for (std::int32_t i = 0; i < count; ++i) {
                grid.GetEdge(edges[i]);
            }
        }
    });
    return 0;
}
