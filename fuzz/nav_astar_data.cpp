// Route tables ("Quelmor Astar Data") for a small grid, from every source; tables that load give a
// route for every pair of vertices.

#include <cstdint>

#include "ai/navigation/astar.h"
#include "ai/navigation/astar_data.h"
#include "ai/navigation/spatial_graph.h"
#include "fuzz/nav_kit.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    navfuzz::RunGraphData(data, size, CAstarData::Create, [](CGraphData& loaded, CSpatialGraph& grid) {
        const std::int32_t n = grid.GetVertexCount();
        CPath path;
        path.Resize(static_cast<std::uint32_t>(n));
        for (std::int32_t from = 0; from < n; ++from) {
            for (std::int32_t to = 0; to < n; ++to) {
                static_cast<CAstarData&>(loaded).Lookup(from, to, &path);
            }
        }
    });
    return 0;
}
