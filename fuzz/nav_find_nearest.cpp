// Nearest-vertex data files ("Quelmor FindNearest Data") for a small grid, from every source;
// tables that load answer queries around the grid.

#include <cstdint>

#include "ai/navigation/find_nearest_data.h"
#include "fuzz/nav_kit.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    navfuzz::RunGraphData(data, size, CFindNearestData::Create, [](CGraphData& loaded, CSpatialGraph&) {
        for (float x = -0.5f; x <= 2.5f; x += 1.5f) {
            for (float z = -0.5f; z <= 2.5f; z += 1.5f) {
                const std::int32_t* candidates = nullptr;
                static_cast<CFindNearestData&>(loaded).GatherCandidates(CVector3(x, 0.0f, z), 1.0f, &candidates);
            }
        }
    });
    return 0;
}
