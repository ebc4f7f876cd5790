// Writes a "Spatial graph" file of a W x H grid for the navquery test: one vertex per cell at (x, 0, y),
// numbered y * W + x, unit spacing, edges both ways between open neighbours (straight always, diagonal
// only where both side cells are open too). Blocked cells keep their vertex but get no edge.
// Usage: nav_sample_gen OUT W H [BLOCKED_X BLOCKED_Y]...

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "ai/navigation/spatial_graph.h"
#include "ai/runtime/engine.h"
#include "testing/fake_ai_host.h"
#include "testing/grid_map.h"

namespace {

bool WriteGrid(const char* fileName, int w, int h, const std::vector<bool>& blocked) {
  GridMap map;
  map.width = w;
  map.height = h;
  for (int y = 0; y < h; ++y) {
    std::string row;
    for (int x = 0; x < w; ++x) row += blocked[static_cast<size_t>(y * w + x)] ? '@' : '.';
    map.rows.push_back(row);
  }
  CSpatialGraph* graph = new CSpatialGraph();
  // Blocked cells keep their vertex (without edges), so that vertex y * W + x is cell (x, y).
  bool ok = BuildGridGraph(map, graph, true) && graph->Save(fileName);
  delete graph;
  return ok;
}

}  // namespace

int main(int argc, char** argv) {
  int w = argc >= 4 ? std::atoi(argv[2]) : 0;
  int h = argc >= 4 ? std::atoi(argv[3]) : 0;
  if (w < 1 || h < 1 || w > 1000 || h > 1000 || argc % 2 != 0) {
    std::fputs("usage: nav_sample_gen OUT W H [BLOCKED_X BLOCKED_Y]...\n", stderr);
    return 1;
  }
  std::vector<bool> blocked(static_cast<size_t>(w * h), false);
  for (int i = 4; i + 1 < argc; i += 2) {
    int x = std::atoi(argv[i]), y = std::atoi(argv[i + 1]);
    if (x < 0 || y < 0 || x >= w || y >= h) {
      std::fprintf(stderr, "nav_sample_gen: cell %d %d is outside the grid\n", x, y);
      return 1;
    }
    blocked[static_cast<size_t>(y * w + x)] = true;
  }
  CHostServices services = FakeAiHost::Instance().MakeServices();
  if (!Vusk::Initialise(&services)) return 1;
  bool ok = WriteGrid(argv[1], w, h, blocked);
  Vusk::ReleaseEngine();
  if (!ok) std::fprintf(stderr, "nav_sample_gen: cannot write %s\n", argv[1]);
  return ok ? 0 : 1;
}
