// Writes a "Spatial graph" file of a W x H grid for the navquery test: one vertex per cell at (x, 0, y),
// numbered y * W + x, unit spacing, edges both ways between open neighbours (straight always, diagonal
// only where both side cells are open too). Blocked cells keep their vertex but get no edge.
// Usage: nav_sample_gen OUT W H [BLOCKED_X BLOCKED_Y]...

#include <cerrno>
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
        for (int x = 0; x < w; ++x)
            row += blocked[static_cast<size_t>(y * w + x)] ? '@' : '.';
        map.rows.push_back(row);
    }
    CSpatialGraph* graph = new CSpatialGraph();
    // Blocked cells keep their vertex (without edges), so that vertex y * W + x is cell (x, y).
    bool ok = BuildGridGraph(map, graph, true) && graph->Save(fileName);
    delete graph;
    return ok;
}

const char kUsage[] =
    "usage: nav_sample_gen OUT W H [BLOCKED_X BLOCKED_Y]...\n"
    "Writes a \"Spatial graph\" file of a W x H grid (1 to 1000 cells a side) to OUT: vertex y * W + x at\n"
    "(x, 0, y), edges both ways between open neighbours; each BLOCKED_X BLOCKED_Y pair blocks one cell.\n";

// A whole decimal number from `lo` to `hi`, or false with a message naming the argument.
bool ReadNumber(const char* what, const char* text, long lo, long hi, int& out) {
    char* end = nullptr;
    errno = 0;
    const long value = std::strtol(text, &end, 10);
    if (end == text || *end != '\0' || errno != 0 || value < lo || value > hi) {
        std::fprintf(stderr, "nav_sample_gen: %s '%s' is not a number from %ld to %ld\n", what, text, lo, hi);
        return false;
    }
    out = static_cast<int>(value);
    return true;
}

} // namespace

int main(int argc, char** argv) {
    if (argc == 2 && (std::string(argv[1]) == "--help" || std::string(argv[1]) == "-h")) {
        std::fputs(kUsage, stdout);
        return 0;
    }
    if (argc < 4) {
        std::fprintf(stderr, "nav_sample_gen: missing %s\n%s", argc < 2 ? "OUT" : argc < 3 ? "W" : "H", kUsage);
        return 2;
    }
    if (argc % 2 != 0) {
        std::fprintf(stderr, "nav_sample_gen: BLOCKED_X '%s' has no BLOCKED_Y\n%s", argv[argc - 1], kUsage);
        return 2;
    }
    int w = 0, h = 0;
    if (!ReadNumber("W", argv[2], 1, 1000, w) || !ReadNumber("H", argv[3], 1, 1000, h))
        return 2;
    std::vector<bool> blocked(static_cast<size_t>(w * h), false);
    for (int i = 4; i + 1 < argc; i += 2) {
        int x = 0, y = 0;
        if (!ReadNumber("BLOCKED_X", argv[i], 0, w - 1, x) || !ReadNumber("BLOCKED_Y", argv[i + 1], 0, h - 1, y))
            return 2;
        blocked[static_cast<size_t>(y * w + x)] = true;
    }
    CHostServices services = FakeAiHost::Instance().MakeServices();
    if (!Vusk::Initialise(&services))
        return 1;
    bool ok = WriteGrid(argv[1], w, h, blocked);
    Vusk::ReleaseEngine();
    if (!ok)
        std::fprintf(stderr, "nav_sample_gen: cannot write %s\n", argv[1]);
    return ok ? 0 : 1;
}
