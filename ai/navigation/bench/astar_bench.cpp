// A* of the engine against a textbook binary-heap A* (the graph library's astar_search) on the same
// graphs and start/goal pairs: 100x100 grids, random geometric graphs of 1k, 10k and 30k vertices, and a
// real level given as a grid map ("--map=PATH" or the DUN_DEN312D_MAP environment variable).
//
// Before timing, every pair is searched by both and the route costs must agree; the program stops when
// they do not. After the timings it prints the time ratio engine / textbook per graph.
//
// "--graph=NAME" keeps one graph (its searches run with the buffers sized for all of them, as in a full
// run), for a profiler's sake; "--passes=N" sets the interleaved passes of the ratios (61).

#include <benchmark/benchmark.h>

#include <boost/graph/adjacency_list.hpp>
#include <boost/graph/astar_search.hpp>

#include <time.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "ai/navigation/astar.h"
#include "ai/navigation/constraint.h"
#include "ai/navigation/spatial_graph.h"
#include "ai/runtime/engine.h"
#include "testing/fake_ai_host.h"

namespace {

using BoostGraph = boost::adjacency_list<boost::vecS, boost::vecS, boost::directedS, boost::no_property,
                                         boost::property<boost::edge_weight_t, float>>;
using BoostVertex = boost::graph_traits<BoostGraph>::vertex_descriptor;

struct Position {
  float x, y, z;
};

// One test graph in both forms, with its start/goal pairs.
struct Case {
  std::string name;
  CSpatialGraph* graph = nullptr;
  BoostGraph boost;
  std::vector<Position> positions;
  std::vector<std::pair<int, int>> pairs;
  double engineSeconds = 0.0, textbookSeconds = 0.0;  // measured by the benchmarks, per pass over the pairs
};

std::vector<std::unique_ptr<Case>> g_cases;
CConstraint* g_constraint = nullptr;
CHeuristic* g_heuristic = nullptr;

void AddEdge(CSpatialGraph* graph, int a, int b) {
  CGraphVertex* va = graph->GetVertex(a);
  CGraphVertex* vb = graph->GetVertex(b);
  CGraphEdgeData data;
  data.m_length = data.m_cost = std::sqrt(CVector3::DistanceSquared(va->GetPosition(), vb->GetPosition()));
  graph->AddEdge(data, va, vb, -1);
}

// Copies the engine graph into the textbook form, edge for edge in the same order.
void Finish(Case* c, std::mt19937& rng, int pairCount) {
  CSpatialGraph* graph = c->graph;
  const int n = graph->GetVertexCount();
  c->boost = BoostGraph(static_cast<size_t>(n));
  for (int v = 0; v < n; ++v) {
    const CVector3& p = graph->GetVertex(v)->GetPosition();
    c->positions.push_back({p.x, p.y, p.z});
  }
  for (int v = 0; v < n; ++v) {
    CGraphVertex* vertex = graph->GetVertex(v);
    for (int i = 0; i < vertex->GetOutgoingCount(); ++i) {
      CGraphEdge* e = vertex->GetOutgoingEdge(i);
      boost::add_edge(static_cast<BoostVertex>(v), static_cast<BoostVertex>(e->GetDestination()->GetIndex()),
                      e->GetLength(), c->boost);
    }
  }
  std::uniform_int_distribution<int> pick(0, n - 1);
  for (int i = 0; i < pairCount; ++i) c->pairs.emplace_back(pick(rng), pick(rng));
}

void AddGrid(const std::string& name, const std::vector<std::string>& rows, std::mt19937& rng, int pairCount) {
  auto c = std::make_unique<Case>();
  c->name = name;
  c->graph = new CSpatialGraph();
  const int height = static_cast<int>(rows.size()), width = static_cast<int>(rows[0].size());
  std::vector<int> ids(static_cast<size_t>(width * height), -1);
  auto open = [&](int x, int y) { return x >= 0 && y >= 0 && x < width && y < height && rows[y][x] == '.'; };
  for (int y = 0; y < height; ++y)
    for (int x = 0; x < width; ++x)
      if (open(x, y)) ids[y * width + x] = c->graph->AddVertexAt(CVector3(float(x), 0.0f, float(y)))->GetIndex();
  static const int dx[8] = {1, -1, 0, 0, 1, 1, -1, -1};
  static const int dy[8] = {0, 0, 1, -1, 1, -1, 1, -1};
  for (int y = 0; y < height; ++y)
    for (int x = 0; x < width; ++x)
      for (int d = 0; d < 8 && open(x, y); ++d) {
        int nx = x + dx[d], ny = y + dy[d];
        if (!open(nx, ny) || (d >= 4 && (!open(nx, y) || !open(x, ny)))) continue;
        AddEdge(c->graph, ids[y * width + x], ids[ny * width + nx]);
      }
  Finish(c.get(), rng, pairCount);
  g_cases.push_back(std::move(c));
}

void AddRandomGeometric(const std::string& name, int count, std::mt19937& rng, int pairCount) {
  auto c = std::make_unique<Case>();
  c->name = name;
  c->graph = new CSpatialGraph();
  // Unit density: a side of sqrt(count); a radius of 1.6 links each vertex to about 8 others.
  const float side = std::sqrt(float(count));
  const float radius = 1.6f;
  std::uniform_real_distribution<float> coord(0.0f, side);
  for (int i = 0; i < count; ++i) c->graph->AddVertexAt(CVector3(coord(rng), 0.0f, coord(rng)));
  const int cells = static_cast<int>(side / radius) + 1;
  std::vector<std::vector<int>> buckets(static_cast<size_t>(cells * cells));
  auto cellOf = [&](float v) { return std::min(cells - 1, static_cast<int>(v / radius)); };
  for (int i = 0; i < count; ++i) {
    const CVector3& p = c->graph->GetVertex(i)->GetPosition();
    buckets[size_t(cellOf(p.z) * cells + cellOf(p.x))].push_back(i);
  }
  for (int i = 0; i < count; ++i) {
    const CVector3& p = c->graph->GetVertex(i)->GetPosition();
    int cx = cellOf(p.x), cz = cellOf(p.z);
    for (int z = std::max(0, cz - 1); z <= std::min(cells - 1, cz + 1); ++z)
      for (int x = std::max(0, cx - 1); x <= std::min(cells - 1, cx + 1); ++x)
        for (int j : buckets[size_t(z * cells + x)])
          if (j != i && CVector3::DistanceSquared(p, c->graph->GetVertex(j)->GetPosition()) <= radius * radius)
            AddEdge(c->graph, i, j);
  }
  Finish(c.get(), rng, pairCount);
  g_cases.push_back(std::move(c));
}

// --- Textbook A* ---------------------------------------------------------------------------------------

struct FoundGoal {};

class GoalVisitor : public boost::default_astar_visitor {
public:
  explicit GoalVisitor(BoostVertex goal) : m_goal(goal) {}
  void examine_vertex(BoostVertex u, const BoostGraph&) {
    if (u == m_goal) throw FoundGoal();
  }

private:
  BoostVertex m_goal;
};

class EuclideanHeuristic : public boost::astar_heuristic<BoostGraph, float> {
public:
  EuclideanHeuristic(const std::vector<Position>* positions, BoostVertex goal) : m_positions(positions), m_goal(goal) {}
  float operator()(BoostVertex u) const {
    const Position& a = (*m_positions)[u];
    const Position& b = (*m_positions)[m_goal];
    float dx = b.x - a.x, dy = b.y - a.y, dz = b.z - a.z;
    return std::sqrt(dx * dx + dy * dy + dz * dz);
  }

private:
  const std::vector<Position>* m_positions;
  BoostVertex m_goal;
};

struct TextbookScratch {
  std::vector<BoostVertex> predecessors;
  std::vector<float> distances;
};

// Route cost from s to g; -1 when there is none.
float TextbookSearch(Case& c, TextbookScratch& scratch, int s, int g) {
  const size_t n = boost::num_vertices(c.boost);
  scratch.predecessors.resize(n);
  scratch.distances.resize(n);
  try {
    boost::astar_search(
        c.boost, static_cast<BoostVertex>(s), EuclideanHeuristic(&c.positions, static_cast<BoostVertex>(g)),
        boost::predecessor_map(
            boost::make_iterator_property_map(scratch.predecessors.begin(), boost::get(boost::vertex_index, c.boost)))
            .distance_map(
                boost::make_iterator_property_map(scratch.distances.begin(), boost::get(boost::vertex_index, c.boost)))
            .visitor(GoalVisitor(static_cast<BoostVertex>(g))));
  } catch (const FoundGoal&) {
    return scratch.distances[static_cast<size_t>(g)];
  }
  return -1.0f;
}

// --- Engine A* -----------------------------------------------------------------------------------------

float EngineSearch(Case& c, CPath& path, int s, int g) {
  CSpatialGraph* graph = c.graph;
  if (!Vusk::AstarSearch(graph, &path, graph->GetVertex(s), graph->GetVertex(g), nullptr)) return -1.0f;
  // The route's cost is the start's g plus its edges' costs, as the search summed them: the goal's g.
  return graph->GetVertex(g)->m_data.m_g;
}

bool VerifyCosts() {
  bool ok = true;
  for (auto& c : g_cases) {
    CPath path;
    path.Resize(static_cast<uint32_t>(c->graph->GetVertexCount()));
    TextbookScratch scratch;
    int exact = 0, reachable = 0;
    for (auto [s, g] : c->pairs) {
      float engine = EngineSearch(*c, path, s, g);
      float textbook = TextbookSearch(*c, scratch, s, g);
      if ((engine < 0.0f) != (textbook < 0.0f) ||
          std::fabs(engine - textbook) > 1e-5f * std::max(1.0f, std::fabs(textbook))) {
        std::fprintf(stderr, "%s: %d -> %d costs %.9g (engine) and %.9g (textbook)\n", c->name.c_str(), s, g,
                     double(engine), double(textbook));
        ok = false;
      }
      exact += engine == textbook ? 1 : 0;
      reachable += engine >= 0.0f ? 1 : 0;
    }
    std::printf("%-12s V=%-6d E=%-7d pairs=%zu reachable=%d equal costs=%zu (bit-identical %d)\n", c->name.c_str(),
                c->graph->GetVertexCount(), c->graph->GetEdgeCount(), c->pairs.size(), reachable, c->pairs.size(),
                exact);
  }
  return ok;
}

void BM_Engine(benchmark::State& state) {
  Case& c = *g_cases[static_cast<size_t>(state.range(0))];
  CPath path;
  path.Resize(static_cast<uint32_t>(c.graph->GetVertexCount()));
  for (auto _ : state) {
    float total = 0.0f;
    for (auto [s, g] : c.pairs) total += EngineSearch(c, path, s, g);
    benchmark::DoNotOptimize(total);
  }
  state.SetLabel(c.name);
  c.engineSeconds = 0.0;
}

void BM_Textbook(benchmark::State& state) {
  Case& c = *g_cases[static_cast<size_t>(state.range(0))];
  TextbookScratch scratch;
  for (auto _ : state) {
    float total = 0.0f;
    for (auto [s, g] : c.pairs) total += TextbookSearch(c, scratch, s, g);
    benchmark::DoNotOptimize(total);
  }
  state.SetLabel(c.name);
}

// This thread's processor time (s): a pass that the scheduler interrupts on a busy machine is not
// charged for the time it waited.
double ThreadSeconds() {
  timespec now{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
  return double(now.tv_sec) + double(now.tv_nsec) * 1e-9;
}

// Best processor seconds per pass over a case's pairs for both searches, their passes interleaved so
// that a busy machine slows both alike; the best of many passes is the least disturbed one.
void PrintRatios(int rounds) {
  std::printf("\n%-12s %14s %14s %8s   (best of %d interleaved passes, thread processor time)\n", "graph", "engine ms",
              "textbook ms", "ratio", rounds);
  for (auto& c : g_cases) {
    CPath path;
    path.Resize(static_cast<uint32_t>(c->graph->GetVertexCount()));
    TextbookScratch scratch;
    float sink = 0.0f;
    double engine = 1e30, textbook = 1e30;
    for (int r = 0; r < rounds; ++r) {
      const double t0 = ThreadSeconds();
      for (auto [s, g] : c->pairs) sink += EngineSearch(*c, path, s, g);
      const double t1 = ThreadSeconds();
      for (auto [s, g] : c->pairs) sink += TextbookSearch(*c, scratch, s, g);
      const double t2 = ThreadSeconds();
      engine = std::min(engine, t1 - t0);
      textbook = std::min(textbook, t2 - t1);
    }
    benchmark::DoNotOptimize(sink);
    std::printf("%-12s %14.3f %14.3f %8.3f\n", c->name.c_str(), engine * 1e3, textbook * 1e3, engine / textbook);
  }
}

std::vector<std::string> ReadMap(const std::string& path) {
  std::vector<std::string> rows;
  FILE* f = std::fopen(path.c_str(), "r");
  if (f == nullptr) return rows;
  char line[4096];
  for (int lineNumber = 0; std::fgets(line, sizeof line, f); ++lineNumber) {
    if (lineNumber < 4) continue;
    std::string text(line);
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
    if (!text.empty()) rows.push_back(text);
  }
  std::fclose(f);
  return rows;
}

}  // namespace

int main(int argc, char** argv) {
  std::string mapPath = std::getenv("DUN_DEN312D_MAP") != nullptr ? std::getenv("DUN_DEN312D_MAP") : "";
  std::string only;  // the one graph kept, or empty for all
  int passes = 61;
  std::vector<char*> args;
  for (int i = 0; i < argc; ++i) {
    if (std::strncmp(argv[i], "--map=", 6) == 0) {
      mapPath = argv[i] + 6;
    } else if (std::strncmp(argv[i], "--graph=", 8) == 0) {
      only = argv[i] + 8;
    } else if (std::strncmp(argv[i], "--passes=", 9) == 0) {
      char* end = nullptr;
      const long value = std::strtol(argv[i] + 9, &end, 10);
      if (end == argv[i] + 9 || *end != '\0' || value < 1 || value > 100000) {
        std::fprintf(stderr, "bad argument %s: the passes are a whole number from 1 to 100000\n", argv[i]);
        return 1;
      }
      passes = static_cast<int>(value);
    } else {
      args.push_back(argv[i]);
    }
  }
  int benchArgc = static_cast<int>(args.size());
  benchmark::Initialize(&benchArgc, args.data());

  CHostServices services = FakeAiHost::Instance().MakeServices();
  if (!Vusk::Initialise(&services)) return 1;
  std::mt19937 rng(20240601);
  std::vector<std::string> grid(100, std::string(100, '.'));
  std::uniform_int_distribution<int> chance(0, 99);
  AddGrid("grid100", grid, rng, 200);
  for (auto& row : grid)
    for (char& cell : row)
      if (chance(rng) < 25) cell = '@';
  AddGrid("grid100-25%", grid, rng, 200);
  AddRandomGeometric("rgg1k", 1000, rng, 400);
  AddRandomGeometric("rgg10k", 10000, rng, 100);
  AddRandomGeometric("rgg30k", 30000, rng, 100);
  if (!mapPath.empty()) {
    std::vector<std::string> rows = ReadMap(mapPath);
    if (rows.empty()) {
      std::fprintf(stderr, "cannot read the map %s\n", mapPath.c_str());
      return 1;
    }
    AddGrid("den312d", rows, rng, 300);
  } else {
    std::printf("no map given (--map=PATH or DUN_DEN312D_MAP): the real level is left out\n");
  }
  g_constraint = CConstraintShortestPath::Create();
  g_heuristic = CHeuristicEuclidianDistance::Create();
  int largest = 0;
  for (auto& c : g_cases) {
    c->graph->SetConstraint(g_constraint);
    c->graph->SetHeuristic(g_heuristic);
    largest = std::max(largest, c->graph->GetLastVertexIndex() + 1);
  }
  Vusk::AstarCreateBuffers(largest);
  if (!only.empty()) {
    std::erase_if(g_cases, [&](const std::unique_ptr<Case>& c) {
      if (c->name == only) return false;
      delete c->graph;
      return true;
    });
    if (g_cases.empty()) {
      std::fprintf(stderr, "bad argument --graph=%s: no such graph (grid100, grid100-25%%, rgg1k, rgg10k, rgg30k, "
                   "den312d with a map)\n", only.c_str());
      return 1;
    }
  }
  if (!VerifyCosts()) return 2;

  for (size_t i = 0; i < g_cases.size(); ++i) {
    benchmark::RegisterBenchmark(("Engine/" + g_cases[i]->name).c_str(), BM_Engine)
        ->Arg(int(i))
        ->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark(("Textbook/" + g_cases[i]->name).c_str(), BM_Textbook)
        ->Arg(int(i))
        ->Unit(benchmark::kMillisecond);
  }
  benchmark::RunSpecifiedBenchmarks();
  PrintRatios(passes);
  benchmark::Shutdown();

  for (auto& c : g_cases) delete c->graph;
  g_cases.clear();
  delete g_constraint;
  delete g_heuristic;
  Vusk::AstarFreeBuffers();
  Vusk::ReleaseEngine();
  return 0;
}
