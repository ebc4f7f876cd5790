#pragma once
// Shared pieces of the navigation data harnesses: every way an input reaches a loader, and the
// small graph that graph data is loaded for.

#include <cstddef>
#include <cstdint>
#include <functional>

class CConfigNode;
class CGraphData;
class CSpatialGraph;
class CWorld;

namespace Vusk {
class CDataReader;
}

namespace navfuzz {

// The loader under test, handed a reader that is not open yet.
using Load = std::function<void(Vusk::CDataReader* reader)>;

// An input that starts with the world file magic is a world file: the loader reads the block of
// its first "RawData" node, streamed from the file as a world's loaders read it. Any other input
// is the loader's file: read through a host file, as an in-memory "RawData" block, and as the
// streamed block of a world file that holds it. Runs on the AI engine the caller brought up.
void ForEachSource(const std::uint8_t* data, std::size_t size, const Load& load);

// A 3 x 3 grid of vertices one unit apart, joined both ways to their neighbours, with one more
// one-way edge; graph data is loaded for it. Delete it.
CSpatialGraph* MakeGrid();

// The whole run of a graph-data harness: the AI engine, the grid, and for every source a data
// object made by create for the grid; use runs on each one that loads.
using CreateData = CGraphData* (*)(CSpatialGraph* owner);
void RunGraphData(const std::uint8_t* data, std::size_t size, CreateData create,
                  const std::function<void(CGraphData& loaded, CSpatialGraph& grid)>& use);

// A world whose graph manager holds the graphs "Walk" (4 vertices in a row) and "Crawl" (3), made
// from a tree that is handed back in tree; null when it cannot be made. Delete the world, then
// the tree.
CWorld* MakeTwoGraphWorld(CConfigNode** tree);

} // namespace navfuzz
