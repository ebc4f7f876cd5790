// navquery: answers a route query on a navigation graph: a "Spatial graph" file read with the engine's
// loader, or a grid map in the public benchmark text form turned into a graph. Runs A* between two vertices
// with the shortest-path constraint and the straight-distance heuristic; optionally builds the graph's route
// and cost tables, answers the same query from them and writes them out.

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <system_error>
#include <vector>

#include "ai/navigation/astar.h"
#include "ai/navigation/astar_data.h"
#include "ai/navigation/constraint.h"
#include "ai/navigation/path_cost_data.h"
#include "ai/navigation/spatial_graph.h"
#include "ai/runtime/engine.h"
#include "testing/fake_ai_host.h"
#include "testing/grid_map.h"
#include "tools/engine_error/file_words.h"

namespace {

void PrintUsage(FILE* out) {
    std::fprintf(out, "usage: navquery FILE FROM TO [--tables] [--save DIR]\n"
                      "\n"
                      "FILE is a navigation graph file (\"Quelmor Spatial graph\", as navgen writes) or a grid map\n"
                      "in the benchmark text form (\"type octile\", \"height H\", \"width W\", \"map\", then H rows;\n"
                      "'.' and 'G' passable). A grid map becomes a graph with one vertex per passable cell, numbered\n"
                      "row by row from the top, straight moves of cost 1 and diagonal ones of cost sqrt(2) where both\n"
                      "side cells are passable.\n"
                      "\n"
                      "FROM and TO are vertex numbers, or on a grid map also cells X,Y (column, row from the top).\n"
                      "Runs A* with CConstraintShortestPath and CHeuristicEuclidianDistance and prints\n"
                      "  cost <value>\n"
                      "  path <v0> <v1> ...      (or: no path; on a grid map the path lists cells X,Y)\n"
                      "\n"
                      "  --tables    also builds the graph's Astar Data and PathCost Data and prints the route\n"
                      "              and cost they give for the same pair:\n"
                      "                table path <v0> <v1> ...   (or: table no path)\n"
                      "                table cost <entry / scale> entry <e> scale <s>   (or: table cost unreachable)\n"
                      "  --save DIR  builds the tables and writes them as DIR/<name>.astar and DIR/<name>.pathcost,\n"
                      "              where <name> is FILE's name without its extension; creates DIR when needed\n"
                      "  --help      shows this text\n"
                      "\n"
                      "Exit status: 0 when the query ran (also when there is no path), 1 when FILE is missing\n"
                      "or malformed, 2 on bad arguments, 3 when a table cannot be built or written.\n");
}

// A loaded graph, and when it came from a grid map, the map and the vertex of each cell.
struct Level {
    CSpatialGraph* graph = nullptr;
    bool grid = false;
    GridMap map;
    std::vector<int32_t> cellVertex; // y * width + x -> vertex, -1 for a blocked cell
};

bool ParseIndex(const char* text, int32_t* value) {
    char* end = nullptr;
    errno = 0;
    long parsed = std::strtol(text, &end, 10);
    if (errno != 0 || end == text || *end != '\0' || parsed < 0 || parsed > INT32_MAX)
        return false;
    *value = static_cast<int32_t>(parsed);
    return true;
}

// Resolves FROM or TO to a vertex; prints why not and answers false.
bool ResolveEndpoint(const Level& level, const char* role, const std::string& text, int32_t* vertex) {
    size_t comma = text.find(',');
    if (comma != std::string::npos) {
        int32_t x = 0, y = 0;
        if (!level.grid) {
            std::fprintf(stderr, "navquery: %s \"%s\" is a cell, but cells are given only on a grid map\n", role,
                         text.c_str());
            return false;
        }
        if (!ParseIndex(text.substr(0, comma).c_str(), &x) || !ParseIndex(text.substr(comma + 1).c_str(), &y)) {
            std::fprintf(stderr, "navquery: %s \"%s\" is not a cell X,Y\n", role, text.c_str());
            return false;
        }
        if (x >= level.map.width || y >= level.map.height) {
            std::fprintf(stderr, "navquery: %s cell %d,%d is outside the %d x %d map\n", role, x, y, level.map.width,
                         level.map.height);
            return false;
        }
        *vertex =
            level.cellVertex[static_cast<size_t>(y) * static_cast<size_t>(level.map.width) + static_cast<size_t>(x)];
        if (*vertex < 0) {
            std::fprintf(stderr, "navquery: %s cell %d,%d is not passable ('%c')\n", role, x, y,
                         level.map.rows[static_cast<size_t>(y)][static_cast<size_t>(x)]);
            return false;
        }
        return true;
    }
    if (!ParseIndex(text.c_str(), vertex)) {
        std::fprintf(stderr, "navquery: %s \"%s\" is not a vertex number%s\n", role, text.c_str(),
                     level.grid ? " or a cell X,Y" : "");
        return false;
    }
    if (level.graph->GetVertex(*vertex) == nullptr) {
        std::fprintf(stderr, "navquery: %s %d is not a vertex of the graph (it has %d, numbered from 0)\n", role,
                     *vertex, level.graph->GetVertexCount());
        return false;
    }
    return true;
}

void PrintPath(const char* prefix, const Level& level, const CPath& path) {
    std::printf("%spath", prefix);
    for (int32_t i = 0; i < path.m_pointCount; ++i) {
        int32_t v = path.m_vertexIndices[i];
        if (level.grid) {
            const CVector3& p = level.graph->GetVertex(v)->GetPosition();
            std::printf(" %d,%d", int(p.x), int(p.z));
        } else {
            std::printf(" %d", v);
        }
    }
    std::printf("\n");
}

std::string BaseName(const std::string& path) {
    size_t slash = path.find_last_of("/\\");
    std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
    size_t dot = name.find_last_of('.');
    return dot == std::string::npos || dot == 0 ? name : name.substr(0, dot);
}

// Builds both tables, prints what they give for (from, to) and writes them when asked. 0 or exit status.
int RunTables(const Level& level, int32_t from, int32_t to, const char* saveDir, const std::string& file) {
    CSpatialGraph* graph = level.graph;
    // Without a constraint and heuristic on the graph, the builds use the shortest-path constraint and the
    // zero heuristic: the same routes, found with one sweep per start.
    graph->SetConstraint(nullptr);
    graph->SetHeuristic(nullptr);
    CAstarData* routes = static_cast<CAstarData*>(CAstarData::Create(graph));
    CPathCostData* costs = static_cast<CPathCostData*>(CPathCostData::Create(graph));
    int status = 0;
    if (routes == nullptr || costs == nullptr || !routes->Build() || !costs->Build()) {
        std::fprintf(stderr, "navquery: cannot build the tables (out of memory, or vertex indices are not dense)\n");
        status = 3;
    } else {
        CPath path;
        path.Resize(static_cast<uint32_t>(graph->GetVertexCount()));
        if (routes->Lookup(from, to, &path)) {
            PrintPath("table ", level, path);
        } else {
            std::printf("table no path\n");
        }
        uint8_t entry = CPathCostData::kUnreachable;
        costs->GetEntry(from, to, &entry);
        if (entry == CPathCostData::kUnreachable) {
            std::printf("table cost unreachable\n");
        } else {
            std::printf("table cost %.6g entry %u scale %.9g\n", double(float(entry) / costs->GetScale()), entry,
                        double(costs->GetScale()));
        }
        if (saveDir != nullptr) {
            std::error_code error;
            std::filesystem::create_directories(saveDir, error);
            std::string base = std::string(saveDir) + "/" + BaseName(file);
            if (error) {
                std::fprintf(stderr, "navquery: cannot create the folder %s: %s\n", saveDir, error.message().c_str());
                status = 3;
            } else if (!routes->Save((base + ".astar").c_str()) || !costs->Save((base + ".pathcost").c_str())) {
                std::fprintf(stderr, "navquery: cannot write the tables to %s: %s\n", saveDir,
                             FileWriteFailure(base + ".astar").c_str());
                status = 3;
            } else {
                std::printf("saved %s.astar %s.pathcost\n", base.c_str(), base.c_str());
            }
        }
    }
    delete routes;
    delete costs;
    return status;
}

// Reads FILE as a grid map or a spatial graph; prints why not and answers false.
bool LoadLevel(const std::string& file, Level* level) {
    FILE* probe = std::fopen(file.c_str(), "rb");
    if (probe == nullptr) {
        std::fprintf(stderr, "navquery: cannot open %s: %s\n", file.c_str(), std::strerror(errno));
        return false;
    }
    char head[32] = {};
    size_t got = std::fread(head, 1, sizeof head - 1, probe);
    std::fclose(probe);
    level->graph = new CSpatialGraph();
    if (LooksLikeGridMap(std::string(head, got))) {
        std::string error;
        GridMapRead read = ReadGridMap(file, &level->map, &error);
        if (read != GridMapRead::Ok) {
            std::fprintf(stderr, "navquery: %s: %s\n", file.c_str(),
                         read == GridMapRead::Missing ? error.c_str() : ("malformed grid map, " + error).c_str());
            return false;
        }
        level->grid = true;
        if (!BuildGridGraph(level->map, level->graph, false, &level->cellVertex)) {
            std::fprintf(stderr, "navquery: %s: out of memory building the graph\n", file.c_str());
            return false;
        }
        return true;
    }
    if (!level->graph->LoadFromFile(file.c_str())) {
        const size_t magic = std::strlen(CSpatialGraph::kFileMagic);
        bool graphMagic = got >= magic && std::memcmp(head, CSpatialGraph::kFileMagic, magic) == 0;
        std::fprintf(stderr, "navquery: %s: %s\n", file.c_str(),
                     graphMagic ? "malformed spatial graph file (bad version, short or inconsistent counts)"
                                : "neither a spatial graph file nor a grid map");
        return false;
    }
    return true;
}

int Run(const std::string& file, const std::string& fromText, const std::string& toText, bool tables,
        const char* saveDir) {
    Level level;
    if (!LoadLevel(file, &level)) {
        delete level.graph;
        return 1;
    }
    int32_t from = 0, to = 0;
    if (!ResolveEndpoint(level, "FROM", fromText, &from) || !ResolveEndpoint(level, "TO", toText, &to)) {
        delete level.graph;
        return 2;
    }
    CSpatialGraph* graph = level.graph;
    // The constraint and heuristic are created by class name, as a world configuration would.
    const CConstraintDesc* constraintDesc = CConstraintDesc::Find("CConstraintShortestPath");
    const CHeuristicDesc* heuristicDesc = CHeuristicDesc::Find("CHeuristicEuclidianDistance");
    CConstraint* constraint = constraintDesc != nullptr ? constraintDesc->GetCreateFunction()() : nullptr;
    CHeuristic* heuristic = heuristicDesc != nullptr ? heuristicDesc->GetCreateFunction()() : nullptr;
    graph->SetConstraint(constraint);
    graph->SetHeuristic(heuristic);
    Vusk::AstarCreateBuffers(graph->GetLastVertexIndex() + 1);
    CPath path;
    path.Resize(static_cast<uint32_t>(graph->GetVertexCount()));
    if (Vusk::AstarSearch(graph, &path, graph->GetVertex(from), graph->GetVertex(to), nullptr)) {
        float cost = 0.0f;
        for (int32_t i = 0; i + 1 < path.m_pointCount; ++i)
            cost += graph->GetEdge(path.m_edgeIndices[i])->GetCost();
        std::printf("cost %.6g\n", double(cost));
        PrintPath("", level, path);
    } else {
        std::printf("no path\n");
    }
    int status = tables || saveDir != nullptr ? RunTables(level, from, to, saveDir, file) : 0;
    graph->SetConstraint(nullptr);
    graph->SetHeuristic(nullptr);
    delete constraint;
    delete heuristic;
    path.Resize(0);
    Vusk::AstarFreeBuffers();
    delete graph;
    return status;
}

} // namespace

int main(int argc, char** argv) {
    std::string positional[3];
    int positionalCount = 0;
    bool tables = false;
    const char* saveDir = nullptr;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
            PrintUsage(stdout);
            return 0;
        }
        if (std::strcmp(argv[i], "--tables") == 0) {
            tables = true;
        } else if (std::strcmp(argv[i], "--save") == 0) {
            if (i + 1 >= argc) {
                std::fprintf(stderr, "navquery: --save needs a folder\n");
                return 2;
            }
            saveDir = argv[++i];
        } else if (argv[i][0] == '-' && argv[i][1] == '-') {
            std::fprintf(stderr, "navquery: unknown option %s (see navquery --help)\n", argv[i]);
            return 2;
        } else if (positionalCount < 3) {
            positional[positionalCount++] = argv[i];
        } else {
            std::fprintf(stderr, "navquery: unexpected argument %s (see navquery --help)\n", argv[i]);
            return 2;
        }
    }
    if (positionalCount != 3) {
        std::fprintf(stderr, "navquery: expected FILE FROM TO, got %d argument%s (see navquery --help)\n",
                     positionalCount, positionalCount == 1 ? "" : "s");
        return 2;
    }
    CHostServices services = FakeAiHost::Instance().MakeServices();
    if (!Vusk::Initialise(&services)) {
        std::fprintf(stderr, "navquery: the AI engine did not start\n");
        return 3;
    }
    int status = Run(positional[0], positional[1], positional[2], tables, saveDir);
    Vusk::ReleaseEngine();
    return status;
}
