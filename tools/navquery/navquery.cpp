// navquery: loads a "Spatial graph" file with the engine's loader and answers a route query between two
// vertices with the shortest-path constraint and the straight-distance heuristic; optionally builds the
// graph's route and cost tables, answers the same query from them and writes them out.

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "ai/navigation/astar.h"
#include "ai/navigation/astar_data.h"
#include "ai/navigation/constraint.h"
#include "ai/navigation/path_cost_data.h"
#include "ai/navigation/spatial_graph.h"
#include "ai/runtime/engine.h"
#include "testing/fake_ai_host.h"

namespace {

void PrintUsage(FILE* out) {
  std::fprintf(out,
               "usage: navquery GRAPH_FILE FROM TO [--tables] [--save DIR]\n"
               "\n"
               "Loads a navigation graph file (\"Quelmor Spatial graph\") and runs A* from vertex FROM to\n"
               "vertex TO with CConstraintShortestPath and CHeuristicEuclidianDistance. Prints\n"
               "  cost <value>\n"
               "  path <v0> <v1> ...      (or: no path)\n"
               "\n"
               "  --tables    also builds the graph's Astar Data and PathCost Data and prints the route\n"
               "              and cost they give for the same pair:\n"
               "                table path <v0> <v1> ...   (or: table no path)\n"
               "                table cost <entry / scale> entry <e> scale <s>   (or: table cost unreachable)\n"
               "  --save DIR  builds the tables and writes them as DIR/<graph>.astar and DIR/<graph>.pathcost\n"
               "  --help      shows this text\n"
               "\n"
               "Exit status: 0 when the query ran (also when there is no path), 1 on bad arguments,\n"
               "2 when the graph cannot be read, 3 when a table cannot be built or written.\n");
}

bool ParseIndex(const char* text, int32_t* value) {
  char* end = nullptr;
  errno = 0;
  long parsed = std::strtol(text, &end, 10);
  if (errno != 0 || end == text || *end != '\0' || parsed < 0 || parsed > INT32_MAX) return false;
  *value = static_cast<int32_t>(parsed);
  return true;
}

void PrintPath(const char* prefix, const CPath& path) {
  std::printf("%spath", prefix);
  for (int32_t i = 0; i < path.m_pointCount; ++i) std::printf(" %d", path.m_vertexIndices[i]);
  std::printf("\n");
}

std::string BaseName(const std::string& path) {
  size_t slash = path.find_last_of("/\\");
  std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
  size_t dot = name.find_last_of('.');
  return dot == std::string::npos || dot == 0 ? name : name.substr(0, dot);
}

// Builds both tables, prints what they give for (from, to) and writes them when asked. 0 or exit status.
int RunTables(CSpatialGraph* graph, int32_t from, int32_t to, const char* saveDir, const std::string& graphFile) {
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
      PrintPath("table ", path);
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
      std::string base = std::string(saveDir) + "/" + BaseName(graphFile);
      if (!routes->Save((base + ".astar").c_str()) || !costs->Save((base + ".pathcost").c_str())) {
        std::fprintf(stderr, "navquery: cannot write the tables to %s\n", saveDir);
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

int Run(const std::string& graphFile, int32_t from, int32_t to, bool tables, const char* saveDir) {
  CSpatialGraph* graph = new CSpatialGraph();
  if (graph == nullptr || !graph->LoadFromFile(graphFile.c_str())) {
    std::fprintf(stderr, "navquery: cannot read a spatial graph from %s\n", graphFile.c_str());
    delete graph;
    return 2;
  }
  if (graph->GetVertex(from) == nullptr || graph->GetVertex(to) == nullptr) {
    std::fprintf(stderr, "navquery: the graph has %d vertices; %d or %d is not one of them\n",
                 graph->GetVertexCount(), from, to);
    delete graph;
    return 1;
  }
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
    for (int32_t i = 0; i + 1 < path.m_pointCount; ++i) cost += graph->GetEdge(path.m_edgeIndices[i])->m_data.m_cost;
    std::printf("cost %.6g\n", double(cost));
    PrintPath("", path);
  } else {
    std::printf("no path\n");
  }
  int status = tables || saveDir != nullptr ? RunTables(graph, from, to, saveDir, graphFile) : 0;
  graph->SetConstraint(nullptr);
  graph->SetHeuristic(nullptr);
  delete constraint;
  delete heuristic;
  path.Resize(0);
  Vusk::AstarFreeBuffers();
  delete graph;
  return status;
}

}  // namespace

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
    } else if (std::strcmp(argv[i], "--save") == 0 && i + 1 < argc) {
      saveDir = argv[++i];
    } else if (argv[i][0] == '-' && argv[i][1] == '-') {
      std::fprintf(stderr, "navquery: unknown option %s\n", argv[i]);
      PrintUsage(stderr);
      return 1;
    } else if (positionalCount < 3) {
      positional[positionalCount++] = argv[i];
    } else {
      PrintUsage(stderr);
      return 1;
    }
  }
  int32_t from = 0, to = 0;
  if (positionalCount != 3 || !ParseIndex(positional[1].c_str(), &from) || !ParseIndex(positional[2].c_str(), &to)) {
    PrintUsage(stderr);
    return 1;
  }
  CHostServices services = FakeAiHost::Instance().MakeServices();
  if (!Vusk::Initialise(&services)) {
    std::fprintf(stderr, "navquery: the AI engine did not start\n");
    return 3;
  }
  int status = Run(positional[0], from, to, tables, saveDir);
  Vusk::ReleaseEngine();
  return status;
}
