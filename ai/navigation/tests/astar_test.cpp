#include <gtest/gtest.h>

#include <cmath>
#include <iterator>
#include <limits>
#include <list>
#include <queue>
#include <random>
#include <vector>

#include "ai/navigation/astar.h"
#include "ai/navigation/constraint.h"
#include "ai/navigation/spatial_graph.h"
#include "ai/navigation/tests/nav_test_support.h"
#include "ai/runtime/entity.h"

namespace {

class AstarTest : public navtest::NavTest {};
AI_ENGINE_TEST_SUITE(AstarTest);

// What a search asked of its constraint and heuristic, in order.
struct CallLog {
  std::vector<int> costs;                      // edge index per cost call
  std::vector<std::pair<int, int>> estimates;  // (vertex, goal) per estimate call
  // Vertices expanded, in order: the sources of consecutive runs of cost calls.
  std::vector<int> Expansions(const CSpatialGraph& graph) const {
    std::vector<int> order;
    for (int e : costs) {
      int source = graph.GetEdge(e)->GetSource()->GetIndex();
      if (order.empty() || order.back() != source) order.push_back(source);
    }
    return order;
  }
};

class LoggingConstraint : public CConstraint {
public:
  LoggingConstraint(CConstraint* inner, CallLog* log) : m_inner(inner), m_log(log) {}
  bool GetEdgeCost(CEntity* context, CGraphEdge* edge, float* cost) override {
    m_log->costs.push_back(edge->GetIndex());
    return m_inner->GetEdgeCost(context, edge, cost);
  }
  CConstraint* m_inner;
  CallLog* m_log;
};

class LoggingHeuristic : public CHeuristic {
public:
  LoggingHeuristic(CHeuristic* inner, CallLog* log) : m_inner(inner), m_log(log) {}
  bool Estimate(CEntity* context, CGraphVertex* a, CGraphVertex* b, float* out) override {
    m_log->estimates.emplace_back(a->GetIndex(), b->GetIndex());
    return m_inner->Estimate(context, a, b, out);
  }
  const CHeuristicDesc* GetClassDesc() const override { return m_inner->GetClassDesc(); }
  CHeuristic* m_inner;
  CallLog* m_log;
};

// Overestimates at some vertices (not admissible, not consistent), so closed vertices get reopened.
class WobblyHeuristic : public CHeuristic {
public:
  bool Estimate(CEntity* context, CGraphVertex* a, CGraphVertex* b, float* out) override {
    CHeuristicEuclidianDistance straight;
    straight.Estimate(context, a, b, out);
    *out *= 0.25f * float((a->GetIndex() * 7919) % 9);
    return true;
  }
  const CHeuristicDesc* GetClassDesc() const override { return &CZeroHeuristic::s_classDesc; }
};

// Refuses every estimate of one vertex.
class RefusingHeuristic : public CZeroHeuristic {
public:
  explicit RefusingHeuristic(int refused) : m_refused(refused) {}
  bool Estimate(CEntity* context, CGraphVertex* a, CGraphVertex* b, float* out) override {
    return a->GetIndex() != m_refused && CZeroHeuristic::Estimate(context, a, b, out);
  }
  int m_refused;
};

// Estimates one vertex as not a number from its `fromCall`-th estimate on (counted from 1).
class NotANumberHeuristic : public CZeroHeuristic {
public:
  NotANumberHeuristic(int vertex, int fromCall) : m_vertex(vertex), m_fromCall(fromCall) {}
  bool Estimate(CEntity* context, CGraphVertex* a, CGraphVertex* b, float* out) override {
    if (a->GetIndex() == m_vertex && ++m_calls >= m_fromCall) {
      *out = std::numeric_limits<float>::quiet_NaN();
      return true;
    }
    return CZeroHeuristic::Estimate(context, a, b, out);
  }
  int m_vertex, m_fromCall, m_calls = 0;
};

// --- The search as its text gives it: lists kept sorted by f, walked from the head. -------------------

struct ReferenceResult {
  bool found = false;
  std::vector<int> vertices, edges;
  std::vector<float> f, g, h;  // per vertex, as the search left them
  std::vector<int> pred;       // per vertex: predecessor index, -1 for none
  std::vector<int> predEdge;   // per vertex: index of the edge from the predecessor, -1 for none
  std::vector<bool> touched;   // per vertex: given values by the search
  std::vector<float> cost;     // per edge index: the last cost the search priced it at
  std::vector<bool> priced;    // per edge index: priced by the search
};

ReferenceResult ReferenceSearch(CSpatialGraph* graph, int startIndex, int goalIndex) {
  CConstraint* constraint = graph->GetConstraint();
  CHeuristic* heuristic = graph->GetHeuristic();
  const int n = graph->GetLastVertexIndex() + 1;
  std::vector<float> f(n), g(n), h(n);
  std::vector<int> pred(n, -1), predEdge(n, -1);
  std::list<int> open, closed;
  std::vector<std::list<int>::iterator> openHandle(n), closedHandle(n);
  std::vector<bool> inOpen(n, false), inClosed(n, false);
  auto insertSorted = [&](std::list<int>& list, int v) {
    auto it = list.begin();
    while (it != list.end() && f[*it] <= f[v]) ++it;
    return list.insert(it, v);
  };
  CGraphVertex* start = graph->GetVertex(startIndex);
  CGraphVertex* goal = graph->GetVertex(goalIndex);
  ReferenceResult result;
  std::vector<bool> touched(n, false);
  result.cost.assign(size_t(graph->GetLastEdgeIndex() + 1), 0.0f);
  result.priced.assign(size_t(graph->GetLastEdgeIndex() + 1), false);
  auto finish = [&](bool found) {
    result.found = found;
    result.f = f, result.g = g, result.h = h, result.pred = pred, result.predEdge = predEdge;
    result.touched = touched;
    return result;
  };
  touched[startIndex] = true;
  g[startIndex] = 0.0f;
  if (!heuristic->Estimate(nullptr, start, goal, &h[startIndex])) return finish(false);
  f[startIndex] = g[startIndex] + h[startIndex];
  openHandle[startIndex] = insertSorted(open, startIndex);
  inOpen[startIndex] = true;
  for (;;) {
    if (open.empty()) return finish(false);
    int v = open.front();
    if (v == goalIndex) break;
    CGraphVertex* vertex = graph->GetVertex(v);
    for (int i = 0; i < vertex->GetOutgoingCount(); ++i) {
      CGraphEdge* e = vertex->GetOutgoingEdge(i);
      if (e->GetClosed() == 1) continue;
      float cost;
      if (!constraint->GetEdgeCost(nullptr, e, &cost)) continue;
      e->SetCost(cost);
      result.cost[size_t(e->GetIndex())] = cost;
      result.priced[size_t(e->GetIndex())] = true;
      int w = e->GetDestination()->GetIndex();
      float hw;
      if (!heuristic->Estimate(nullptr, e->GetDestination(), goal, &hw)) continue;
      float gw = g[v] + e->GetCost();
      float fw = gw + hw;
      if (!inClosed[w] && !inOpen[w]) touched[w] = true;
      if (inClosed[w]) {
        if (fw >= f[w]) continue;
        g[w] = gw, h[w] = hw, f[w] = fw;
        closed.erase(closedHandle[w]);
        inClosed[w] = false;
        pred[w] = v, predEdge[w] = e->GetIndex();
        openHandle[w] = insertSorted(open, w);
        inOpen[w] = true;
      } else if (inOpen[w]) {
        if (fw >= f[w]) continue;
        g[w] = gw, h[w] = hw, f[w] = fw;
        open.erase(openHandle[w]);
        openHandle[w] = insertSorted(open, w);
        pred[w] = v, predEdge[w] = e->GetIndex();
      } else {
        g[w] = gw, h[w] = hw, f[w] = fw;
        pred[w] = v, predEdge[w] = e->GetIndex();
        openHandle[w] = insertSorted(open, w);
        inOpen[w] = true;
      }
    }
    open.erase(openHandle[v]);
    inOpen[v] = false;
    closedHandle[v] = insertSorted(closed, v);
    inClosed[v] = true;
  }
  for (int v = goalIndex; v != startIndex; v = pred[v]) {
    result.vertices.insert(result.vertices.begin(), v);
    result.edges.insert(result.edges.begin(), predEdge[v]);
  }
  result.vertices.insert(result.vertices.begin(), startIndex);
  return finish(true);
}

// Sets every vertex's search fields and every edge's cost to values no search writes.
void ResetSearchFields(CSpatialGraph* graph) {
  for (int v = 0; v <= graph->GetLastVertexIndex(); ++v) {
    if (CGraphVertex* vertex = graph->GetVertex(v)) {
      vertex->m_data.m_f = vertex->m_data.m_g = vertex->m_data.m_h = -7.0f;
      vertex->m_data.m_predecessor = nullptr;
      vertex->m_data.m_predecessorEdge = nullptr;
    }
  }
  for (int e = 0; e <= graph->GetLastEdgeIndex(); ++e) {
    if (CGraphEdge* edge = graph->GetEdge(e)) edge->SetCost(-9.0f);
  }
}

// The engine's search left in every vertex and edge what the text's search computed, and nothing elsewhere.
void ExpectSameSearchFields(CSpatialGraph* graph, const ReferenceResult& reference) {
  for (int e = 0; e <= graph->GetLastEdgeIndex(); ++e) {
    if (const CGraphEdge* edge = graph->GetEdge(e)) {
      ASSERT_EQ(edge->GetCost(), reference.priced[size_t(e)] ? reference.cost[size_t(e)] : -9.0f) << "edge " << e;
    }
  }
  for (int v = 0; v <= graph->GetLastVertexIndex(); ++v) {
    if (graph->GetVertex(v) == nullptr) continue;
    const CGraphVertexData& d = graph->GetVertex(v)->m_data;
    if (!reference.touched[v]) {
      ASSERT_EQ(d.m_f, -7.0f) << "vertex " << v;
      continue;
    }
    ASSERT_EQ(d.m_f, reference.f[v]) << "vertex " << v;
    ASSERT_EQ(d.m_g, reference.g[v]) << "vertex " << v;
    ASSERT_EQ(d.m_h, reference.h[v]) << "vertex " << v;
    ASSERT_EQ(d.m_predecessor ? d.m_predecessor->GetIndex() : -1, reference.pred[v]) << "vertex " << v;
    ASSERT_EQ(d.m_predecessorEdge ? d.m_predecessorEdge->GetIndex() : -1, reference.predEdge[v]) << "vertex " << v;
  }
}

// One edit of the kinds a level makes between searches: an edge closed or opened, a vertex moved, an edge
// added or removed, a vertex put in among the others (the later indices move up) in place of the last.
void EditGraph(CSpatialGraph* graph, std::mt19937& rng) {
  std::uniform_int_distribution<int> kind(0, 4);
  std::uniform_int_distribution<int> vertex(0, graph->GetLastVertexIndex());
  std::uniform_int_distribution<int> edge(0, graph->GetLastEdgeIndex());
  switch (kind(rng)) {
  case 0:
    if (CGraphEdge* e = graph->GetEdge(edge(rng))) e->SetClosed(e->GetClosed() == 1 ? 0 : 1);
    break;
  case 1:
    if (CGraphVertex* v = graph->GetVertex(vertex(rng))) v->m_data.m_position.x += 0.75f;
    break;
  case 2: {
    CGraphVertex* a = graph->GetVertex(vertex(rng));
    CGraphVertex* b = graph->GetVertex(vertex(rng));
    if (a == nullptr || b == nullptr || a == b) break;
    CGraphEdgeData data;
    data.m_length = data.m_cost = std::sqrt(CVector3::DistanceSquared(a->GetPosition(), b->GetPosition()));
    graph->AddEdge(data, a, b, -1);
    break;
  }
  case 3: {
    const int at = vertex(rng);
    CGraphVertex* near = graph->GetVertex(vertex(rng));
    if (near == nullptr) break;
    CGraphVertexData data(near->GetPosition());
    data.m_position.z += 0.5f;
    auto* fresh = new CGraphVertex(data);
    ASSERT_TRUE(graph->InsertVertex(fresh, at));
    CGraphEdgeData link;
    link.m_length = link.m_cost = 0.5f;
    graph->AddEdge(link, near, fresh, -1);
    graph->AddEdge(link, fresh, near, -1);
    graph->RemoveVertex(graph->GetLastVertexIndex());
    graph->RemoveFreeVertexSlots();
    break;
  }
  default:
    if (const int index = edge(rng); graph->GetEdge(index) != nullptr) graph->RemoveEdge(index);
    break;
  }
}

// Cheapest route costs by Dijkstra over the constraint's edge costs (closed edges left out).
std::vector<double> DijkstraCosts(CSpatialGraph* graph, int start) {
  const int n = graph->GetLastVertexIndex() + 1;
  std::vector<double> best(n, std::numeric_limits<double>::infinity());
  using Item = std::pair<double, int>;
  std::priority_queue<Item, std::vector<Item>, std::greater<Item>> queue;
  best[start] = 0.0;
  queue.push({0.0, start});
  while (!queue.empty()) {
    auto [d, v] = queue.top();
    queue.pop();
    if (d > best[v]) continue;
    CGraphVertex* vertex = graph->GetVertex(v);
    for (int i = 0; i < vertex->GetOutgoingCount(); ++i) {
      CGraphEdge* e = vertex->GetOutgoingEdge(i);
      float cost;
      if (e->GetClosed() == 1 || !graph->GetConstraint()->GetEdgeCost(nullptr, e, &cost)) continue;
      int w = e->GetDestination()->GetIndex();
      if (d + cost < best[w]) {
        best[w] = d + cost;
        queue.push({best[w], w});
      }
    }
  }
  return best;
}

float PathCost(const CSpatialGraph& graph, const CPath& path) {
  float sum = 0.0f;
  for (int i = 0; i + 1 < path.m_pointCount; ++i) sum += graph.GetEdge(path.m_edgeIndices[i])->GetCost();
  return sum;
}

std::vector<std::string> OpenGrid(int size, std::mt19937& rng, int blockedPercent) {
  std::vector<std::string> rows(size, std::string(size, '.'));
  std::uniform_int_distribution<int> chance(0, 99);
  for (auto& row : rows)
    for (char& c : row)
      if (chance(rng) < blockedPercent) c = '@';
  return rows;
}

TEST_P(AstarTest, SameExpansionsCallsAndPathsAsTheSortedListSearch) {
  std::mt19937 rng(2024);
  CConstraintShortestPath shortest;
  CConstraintPointToFleePath flee;
  flee.m_range = 6.0f;
  flee.m_threatPointCount = 2;
  flee.m_threatPoints[0] = CVector3(10, 0, 10);
  flee.m_threatPoints[1] = CVector3(4, 0, 15);
  CHeuristicEuclidianDistance euclid;
  CZeroHeuristic zero;
  WobblyHeuristic wobbly;
  CConstraint* constraints[] = {&shortest, &flee};
  CHeuristic* heuristics[] = {&euclid, &zero, &wobbly};
  int compared = 0, found = 0;
  for (int round = 0; round < 9; ++round) {
    CSpatialGraph graph;
    // The last round: a level large enough for the search's prefetching, the engine's own pricing only.
    const bool large = round == 8;
    if (large) {
      navtest::BuildGridGraph(&graph, OpenGrid(92, rng, 2));
    } else if (round % 2 == 0) {
      navtest::BuildGridGraph(&graph, OpenGrid(18, rng, 20));  // many equal f values
    } else {
      navtest::BuildRandomGraph(&graph, rng, 150, 20.0f, 3.5f, true);
    }
    CPath path;
    path.Resize(uint32_t(graph.GetVertexCount()));
    std::uniform_int_distribution<int> pick(0, graph.GetVertexCount() - 1);
    for (CConstraint* constraint : constraints) {
      for (CHeuristic* heuristic : heuristics) {
        if (large && (constraint != &shortest || heuristic != &euclid)) continue;
        for (int pair = 0; pair < 6; ++pair) {
          // Edges closed, opened, added and removed and vertices moved between searches.
          if (pair > 0) EditGraph(&graph, rng);
          int s = pick(rng), t = pick(rng);
          CallLog engineLog, referenceLog;
          LoggingConstraint engineConstraint(constraint, &engineLog), referenceConstraint(constraint, &referenceLog);
          LoggingHeuristic engineHeuristic(heuristic, &engineLog), referenceHeuristic(heuristic, &referenceLog);
          graph.SetConstraint(&referenceConstraint);
          graph.SetHeuristic(&referenceHeuristic);
          ReferenceResult reference = ReferenceSearch(&graph, s, t);
          // The engine prices the shortest path and the straight distance itself: with the bare objects
          // it must leave exactly the same search in the vertices as through the logging wrappers.
          graph.SetConstraint(constraint);
          graph.SetHeuristic(heuristic);
          ResetSearchFields(&graph);
          bool bare = Vusk::AstarSearch(&graph, &path, graph.GetVertex(s), graph.GetVertex(t), nullptr);
          ASSERT_EQ(bare, reference.found);
          ASSERT_NO_FATAL_FAILURE(ExpectSameSearchFields(&graph, reference)) << round << " " << s << "->" << t;
          graph.SetConstraint(&engineConstraint);
          graph.SetHeuristic(&engineHeuristic);
          ResetSearchFields(&graph);
          bool ok = Vusk::AstarSearch(&graph, &path, graph.GetVertex(s), graph.GetVertex(t), nullptr);
          ASSERT_NO_FATAL_FAILURE(ExpectSameSearchFields(&graph, reference)) << round << " " << s << "->" << t;
          ASSERT_EQ(ok, reference.found) << round << " " << s << "->" << t;
          ASSERT_EQ(engineLog.costs, referenceLog.costs) << round << " " << s << "->" << t;
          ASSERT_EQ(engineLog.estimates, referenceLog.estimates);
          ++compared;
          if (!ok) continue;
          ++found;
          ASSERT_EQ(path.m_pointCount, static_cast<int32_t>(reference.vertices.size()));
          for (int i = 0; i < path.m_pointCount; ++i) {
            ASSERT_EQ(path.m_vertexIndices[i], reference.vertices[i]);
            ASSERT_EQ(path.m_edgeIndices[i], i + 1 < path.m_pointCount ? reference.edges[i] : -1);
          }
          for (int v = 0; v < graph.GetVertexCount(); ++v) ASSERT_EQ(graph.GetVertex(v)->m_data.m_startMarker, 0);
        }
      }
    }
    graph.SetConstraint(nullptr);
    graph.SetHeuristic(nullptr);
  }
  EXPECT_EQ(compared, 8 * 2 * 3 * 6 + 6);
  EXPECT_GT(found, compared / 2);
}

TEST_P(AstarTest, CostsEqualDijkstraUnderEveryConstraint) {
  std::mt19937 rng(99);
  // A wall that hides part of the level from the threats.
  Host().AddBox(8.0f, -1.0f, 0.0f, 9.0f, 5.0f, 14.0f);
  CConstraintShortestPath shortest;
  CConstraintStealthPath stealth;
  stealth.m_penalty = 30.0f;
  stealth.m_range = 12.0f;
  stealth.m_threatPointCount = 2;
  stealth.m_threatPoints[0] = CVector3(14, 0.5f, 4);
  stealth.m_threatPoints[1] = CVector3(3, 0.5f, 17);
  CConstraintPointToFleePath flee;
  flee.m_range = 7.0f;
  flee.m_threatPointCount = 1;
  flee.m_threatPoints[0] = CVector3(10, 0, 10);
  CConstraintConeVisionStealthPath cone;  // no threats: the edge length
  CConstraint* constraints[] = {&shortest, &stealth, &flee, &cone};
  CHeuristicEuclidianDistance euclid;
  CZeroHeuristic zero;
  CHeuristic* heuristics[] = {&euclid, &zero};
  for (int round = 0; round < 6; ++round) {
    CSpatialGraph graph;
    navtest::BuildRandomGraph(&graph, rng, 120, 20.0f, 3.2f, true);
    CPath path;
    path.Resize(uint32_t(graph.GetVertexCount()));
    std::uniform_int_distribution<int> pick(0, graph.GetVertexCount() - 1);
    for (CConstraint* constraint : constraints) {
      graph.SetConstraint(constraint);
      for (int s = 0; s < 4; ++s) {
        int start = pick(rng);
        std::vector<double> best = DijkstraCosts(&graph, start);
        for (CHeuristic* heuristic : heuristics) {
          graph.SetHeuristic(heuristic);
          for (int t = 0; t < graph.GetVertexCount(); t += 7) {
            bool ok = Vusk::AstarSearch(&graph, &path, graph.GetVertex(start), graph.GetVertex(t), nullptr);
            ASSERT_EQ(ok, std::isfinite(best[t])) << start << "->" << t;
            if (ok) {
              ASSERT_NEAR(PathCost(graph, path), best[t], 1e-4 * (1.0 + best[t])) << start << "->" << t;
            }
          }
        }
      }
    }
    graph.SetConstraint(nullptr);
    graph.SetHeuristic(nullptr);
  }
  EXPECT_FALSE(Host().LineOfSightQueries().empty());
}

// The open list against a plain sorted linked list: insertion walks from the head past every node of less
// or equal f, insertion before a node goes right before it, unlinking takes the node out; after every step
// the fronts agree, and draining both gives the same order. Few distinct f values, so ties abound. The
// storage is reused from round to round: nodes an earlier round left past the end stand in the way of a
// list that does not keep its spare nodes past the last at the greatest key.
TEST(AstarNodeListTest, BehavesAsTheSortedLinkedList) {
  std::mt19937 rng(77);
  constexpr int kVertices = 64;
  std::vector<CAstarVertexState> states(kVertices);
  std::vector<CAstarNodeList::Node> nodes(kVertices + CAstarNodeList::kSpare);
  for (int round = 0; round < 40; ++round) {
    for (CAstarVertexState& s : states) s.heapPos = -1;
    CAstarNodeList list;
    list.SetStorage(nodes.data(), states.data());
    list.Clear();
    std::list<std::pair<int, float>> plain;  // (vertex, f)
    std::vector<float> fOf(kVertices, 0.0f);
    std::uniform_int_distribution<int> pickVertex(0, kVertices - 1), pickF(0, 5), pickOp(0, 9);
    for (int step = 0; step < 300; ++step) {
      const int v = pickVertex(rng);
      const bool in = states[size_t(v)].heapPos >= 0;
      const int op = pickOp(rng);
      if (!in && op < 5) {
        const float f = float(pickF(rng));
        auto at = plain.begin();
        while (at != plain.end() && at->second <= f) ++at;
        plain.insert(at, {v, f});
        EXPECT_EQ(list.InsertSorted(v, f).GetVertexIndex(), v);
        fOf[size_t(v)] = f;
      } else if (!in && op == 9 && !plain.empty()) {
        // The front leaves as the vertex comes in.
        const int front = plain.front().first;
        const float f = float(pickF(rng));
        plain.pop_front();
        auto at = plain.begin();
        while (at != plain.end() && at->second <= f) ++at;
        plain.insert(at, {v, f});
        list.ReplaceFront(v, f);
        EXPECT_EQ(states[size_t(front)].heapPos, -1);
        fOf[size_t(v)] = f;
      } else if (!in && !plain.empty()) {
        // Before a node of the list, with an f that keeps the order.
        auto at = std::next(plain.begin(), std::uniform_int_distribution<int>(0, int(plain.size()))(rng));
        const float low = at == plain.begin() ? 0.0f : std::prev(at)->second;
        const float high = at == plain.end() ? 5.0f : at->second;
        const float f = op % 2 == 0 ? high : low;
        plain.insert(at, {v, f});
        list.InsertBefore(at == plain.end() ? CAstarNodeIterator() : CAstarNodeIterator(at->first), v, f);
        fOf[size_t(v)] = f;
      } else if (in && op < 3 && fOf[size_t(v)] > 0.0f) {
        // f falls: out and back in sorted.
        const float f = fOf[size_t(v)] - 1.0f;
        plain.remove_if([&](const std::pair<int, float>& n) { return n.first == v; });
        auto at = plain.begin();
        while (at != plain.end() && at->second <= f) ++at;
        plain.insert(at, {v, f});
        list.ReinsertSorted(CAstarNodeIterator(v), f);
        fOf[size_t(v)] = f;
      } else if (in) {
        plain.remove_if([&](const std::pair<int, float>& n) { return n.first == v; });
        list.Unlink(CAstarNodeIterator(v));
        EXPECT_EQ(states[size_t(v)].heapPos, -1);
      }
      ASSERT_EQ(list.GetCount(), int(plain.size()));
      ASSERT_EQ(list.Front(), CAstarNodeIterator(plain.empty() ? -1 : plain.front().first)) << round << " " << step;
    }
    for (const auto& n : plain) {
      ASSERT_EQ(list.Front().GetVertexIndex(), n.first) << round;
      list.Unlink(list.Front());
    }
    EXPECT_TRUE(list.Front().IsEnd());
  }
}

TEST_P(AstarTest, PathShapesAndRefusals) {
  CSpatialGraph graph;
  CConstraintShortestPath shortest;
  CHeuristicEuclidianDistance euclid;
  CPath path;
  ASSERT_TRUE(path.Resize(50));
  // No constraint or heuristic: no search.
  for (int i = 0; i < 60; ++i) graph.AddVertexAt(CVector3(float(i), 0, 0));
  for (int i = 0; i + 1 < 60; ++i) {
    CGraphEdgeData data;
    data.m_length = data.m_cost = 1.0f + float(i) * 0.125f;
    graph.AddEdge(data, graph.GetVertex(i), graph.GetVertex(i + 1), -1);
  }
  EXPECT_FALSE(Vusk::AstarSearch(&graph, &path, graph.GetVertex(0), graph.GetVertex(59), nullptr));
  graph.SetConstraint(&shortest);
  graph.SetHeuristic(&euclid);
  // Start = goal: one point, edge -1.
  ASSERT_TRUE(Vusk::AstarSearch(&graph, &path, graph.GetVertex(4), graph.GetVertex(4), nullptr));
  EXPECT_EQ(path.m_pointCount, 1);
  EXPECT_EQ(path.m_vertexIndices[0], 4);
  EXPECT_EQ(path.m_edgeIndices[0], -1);
  EXPECT_EQ(path.m_cutShort, 0);
  // A 60-point route into 50 entries: the first 50 points, cut short, the 9 lengths nearest the goal.
  ASSERT_TRUE(Vusk::AstarSearch(&graph, &path, graph.GetVertex(0), graph.GetVertex(59), nullptr));
  EXPECT_EQ(path.m_pointCount, 50);
  EXPECT_EQ(path.m_cutShort, 1);
  EXPECT_EQ(path.m_vertexIndices[49], 49);
  EXPECT_EQ(path.m_edgeIndices[49], 49);
  float remaining = 0.0f;
  for (int i = 58; i >= 50; --i) remaining += graph.GetEdge(i)->GetLength();
  EXPECT_FLOAT_EQ(path.m_remainingLength, remaining);
  EXPECT_EQ(graph.GetVertex(0)->m_data.m_startMarker, 0);
  // An exactly fitting route is not cut short.
  ASSERT_TRUE(Vusk::AstarSearch(&graph, &path, graph.GetVertex(10), graph.GetVertex(59), nullptr));
  EXPECT_EQ(path.m_pointCount, 50);
  EXPECT_EQ(path.m_cutShort, 0);
  EXPECT_EQ(path.m_edgeIndices[49], -1);
  // A closed edge is never followed, even as the only way; the path is left as it was.
  graph.GetEdge(30)->SetClosed(1);
  EXPECT_FALSE(Vusk::AstarSearch(&graph, &path, graph.GetVertex(0), graph.GetVertex(59), nullptr));
  EXPECT_EQ(path.m_pointCount, 50);
  EXPECT_EQ(graph.GetVertex(0)->m_data.m_startMarker, 0);
  graph.GetEdge(30)->SetClosed(0);
  // A refused start estimate finds nothing; a refused estimate elsewhere skips that edge.
  RefusingHeuristic refuseStart(0), refuseMiddle(30);
  graph.SetHeuristic(&refuseStart);
  EXPECT_FALSE(Vusk::AstarSearch(&graph, &path, graph.GetVertex(0), graph.GetVertex(5), nullptr));
  graph.SetHeuristic(&refuseMiddle);
  EXPECT_FALSE(Vusk::AstarSearch(&graph, &path, graph.GetVertex(0), graph.GetVertex(40), nullptr));
  EXPECT_TRUE(Vusk::AstarSearch(&graph, &path, graph.GetVertex(0), graph.GetVertex(20), nullptr));
  // An estimate that is not a number skips the edge, towards a new vertex as towards one met before
  // (whose values stay as they were).
  {
    CSpatialGraph loop;
    for (int i = 0; i < 4; ++i) loop.AddVertexAt(CVector3(float(i), 0, 0));
    for (auto [from, to] : {std::pair{0, 1}, {1, 2}, {2, 1}, {2, 3}}) {
      CGraphEdgeData data;
      data.m_length = data.m_cost = 1.0f;
      loop.AddEdge(data, loop.GetVertex(from), loop.GetVertex(to), -1);
    }
    loop.SetConstraint(&shortest);
    NotANumberHeuristic atOnce(1, 1), later(1, 2);
    loop.SetHeuristic(&atOnce);
    EXPECT_FALSE(Vusk::AstarSearch(&loop, &path, loop.GetVertex(0), loop.GetVertex(3), nullptr));
    loop.SetHeuristic(&later);
    ASSERT_TRUE(Vusk::AstarSearch(&loop, &path, loop.GetVertex(0), loop.GetVertex(3), nullptr));
    EXPECT_EQ(later.m_calls, 2);
    EXPECT_EQ(path.m_pointCount, 4);
    EXPECT_EQ(loop.GetVertex(1)->m_data.m_f, 1.0f);
    EXPECT_EQ(loop.GetVertex(1)->m_data.m_g, 1.0f);
    loop.SetConstraint(nullptr);
    loop.SetHeuristic(nullptr);
  }
  // The path-cost heuristic without its table estimates nothing.
  CPathCostHeuristic noTable;
  graph.SetHeuristic(&noTable);
  EXPECT_FALSE(Vusk::AstarSearch(&graph, &path, graph.GetVertex(0), graph.GetVertex(5), nullptr));
  graph.SetHeuristic(&euclid);
  // Buffers sized too small, and graphs with free slots, are searched all the same.
  ASSERT_TRUE(Vusk::AstarCreateBuffers(5));
  graph.RemoveVertex(0);
  ASSERT_TRUE(Vusk::AstarSearch(&graph, &path, graph.GetVertex(1), graph.GetVertex(55), nullptr));
  EXPECT_GE(Vusk::AstarGetBufferSize(), 60);
  EXPECT_EQ(path.m_vertexIndices[0], 1);
  // A path of no capacity: the route is found and cut short before its first point, with the length of
  // the whole route left (none when start and goal are one vertex).
  CPath empty;
  for (int goal : {3, 1}) {
    ASSERT_TRUE(Vusk::AstarSearch(&graph, &empty, graph.GetVertex(1), graph.GetVertex(goal), nullptr)) << goal;
    EXPECT_EQ(empty.m_pointCount, 0);
    EXPECT_EQ(empty.m_cutShort, 1);
    EXPECT_FLOAT_EQ(empty.m_remainingLength,
                    goal == 3 ? graph.GetEdge(1)->GetLength() + graph.GetEdge(2)->GetLength() : 0.0f);
    EXPECT_EQ(graph.GetVertex(1)->m_data.m_startMarker, 0);
  }
  graph.SetConstraint(nullptr);
  graph.SetHeuristic(nullptr);
  Vusk::AstarFreeBuffers();
  // Nearest and exact point look-ups on a path.
  path.Resize(3);
  path.m_pointCount = 3;
  path.m_points[0] = CVector3(0, 0.6f, 0);
  path.m_points[1] = CVector3(1.5f, 0, 0);
  path.m_points[2] = CVector3(1.5f, 0, 0);
  EXPECT_EQ(path.FindNearestPoint(CVector3(0, 0, 0)), 1);  // dy counts ten times; the first on ties
  EXPECT_EQ(path.FindPoint(CVector3(1.5f, 0, 0)), 1);
  EXPECT_EQ(path.FindPoint(CVector3(2, 0, 1)), -1);
  path.m_pointCount = 0;
  EXPECT_EQ(path.FindNearestPoint(CVector3(0, 0, 0)), -1);
}

// A bidirectional chain 0 - 1 - ... - n-1 with unit edges.
void BuildChain(CSpatialGraph* graph, int n) {
  for (int i = 0; i < n; ++i) graph->AddVertexAt(CVector3(float(i), 0, 0));
  for (int i = 0; i + 1 < n; ++i) {
    CGraphEdgeData data;
    data.m_length = data.m_cost = 1.0f;
    graph->AddEdge(data, graph->GetVertex(i), graph->GetVertex(i + 1), -1);
    graph->AddEdge(data, graph->GetVertex(i + 1), graph->GetVertex(i), -1);
  }
}

TEST_P(AstarTest, TimeSlicedSearchBatchesResumesAndRestarts) {
  CSpatialGraph graph;
  BuildChain(&graph, 100);
  CConstraintShortestPath shortest;
  CZeroHeuristic zero;
  CallLog log;
  LoggingConstraint constraint(&shortest, &log);
  LoggingHeuristic heuristic(&zero, &log);
  graph.SetConstraint(&constraint);
  graph.SetHeuristic(&heuristic);
  CPath path;
  path.Resize(100);
  CGraphVertex* start = graph.GetVertex(0);
  CGraphVertex* goal = graph.GetVertex(99);

  // mean 0.0005, deviation 0, prudence 0.2, budget 0.005: the first batch is 10 expansions, not 9.
  CAstarCpuStats stats;
  Host().QueueTimes({1.0, 1.01});
  EXPECT_EQ(Vusk::AstarSearchTimeSliced(&graph, &path, start, goal, nullptr, &stats, 0.005f, false),
            Vusk::kAstarSuspended);
  EXPECT_EQ(log.Expansions(graph).size(), 10u);
  EXPECT_EQ(stats.m_count, 10u);
  EXPECT_FLOAT_EQ(stats.m_mean, 0.001f);
  EXPECT_EQ(start->m_data.m_startMarker, 1);

  // Same arguments: resumed (the start is not estimated again) until the goal is reached.
  size_t estimatesBefore = log.estimates.size();
  int result = Vusk::kAstarSuspended, calls = 0;
  while (result == Vusk::kAstarSuspended && calls < 1000) {
    double now = Host().Time();
    Host().QueueTimes({now, now + 0.004});
    result = Vusk::AstarSearchTimeSliced(&graph, &path, start, goal, nullptr, &stats, 0.002f, false);
    ++calls;
  }
  ASSERT_EQ(result, Vusk::kAstarFound);
  EXPECT_GT(calls, 1);
  for (size_t i = estimatesBefore; i < log.estimates.size(); ++i) ASSERT_NE(log.estimates[i].first, 0);
  EXPECT_EQ(log.Expansions(graph).size(), 99u);  // every vertex once, across all slices
  ASSERT_EQ(path.m_pointCount, 100);
  for (int i = 0; i < 100; ++i) EXPECT_EQ(path.m_vertexIndices[i], i);
  EXPECT_EQ(start->m_data.m_startMarker, 0);
  EXPECT_TRUE(std::isfinite(stats.m_mean) && std::isfinite(stats.m_deviation));

  // A new goal restarts; a full search in between abandons the suspended one; restart = true restarts.
  auto suspendOnce = [&](CGraphVertex* s, CGraphVertex* g, bool restart) {
    double now = Host().Time();
    Host().QueueTimes({now, now + 1.0});
    CAstarCpuStats fresh;
    return Vusk::AstarSearchTimeSliced(&graph, &path, s, g, nullptr, &fresh, 0.005f, restart);
  };
  log = CallLog{};
  ASSERT_EQ(suspendOnce(start, goal, false), Vusk::kAstarSuspended);
  ASSERT_EQ(suspendOnce(start, graph.GetVertex(98), false), Vusk::kAstarSuspended);
  int startEstimates = 0;
  for (auto& e : log.estimates) startEstimates += e.first == 0 ? 1 : 0;
  EXPECT_GE(startEstimates, 2);
  ASSERT_TRUE(Vusk::AstarSearch(&graph, &path, graph.GetVertex(50), graph.GetVertex(52), nullptr));
  EXPECT_EQ(start->m_data.m_startMarker, 0);
  log = CallLog{};
  ASSERT_EQ(suspendOnce(start, graph.GetVertex(98), false), Vusk::kAstarSuspended);
  EXPECT_EQ(log.estimates.front().first, 0);  // restarted from the start
  log = CallLog{};
  ASSERT_EQ(suspendOnce(start, graph.GetVertex(98), true), Vusk::kAstarSuspended);
  EXPECT_EQ(log.estimates.front().first, 0);
  // An edit of the graph between slices restarts too.
  graph.AddVertexAt(CVector3(500, 0, 0));
  log = CallLog{};
  ASSERT_EQ(suspendOnce(start, graph.GetVertex(98), false), Vusk::kAstarSuspended);
  EXPECT_EQ(log.estimates.front().first, 0);

  // Start = goal on fresh statistics: found at once, statistics untouched (no division by zero).
  CAstarCpuStats fresh;
  EXPECT_EQ(Vusk::AstarSearchTimeSliced(&graph, &path, goal, goal, nullptr, &fresh, 0.005f, false), Vusk::kAstarFound);
  EXPECT_EQ(fresh.m_count, 0u);
  EXPECT_EQ(fresh.m_mean, 0.0005f);
  EXPECT_EQ(fresh.m_deviation, 0.0f);
  // An unlimited budget is a huge batch, not an undefined conversion; a zero divisor gives batches of 1.
  CAstarCpuStats unlimited;
  EXPECT_EQ(Vusk::AstarSearchTimeSliced(&graph, &path, start, goal, nullptr, &unlimited,
                                        std::numeric_limits<float>::max(), true),
            Vusk::kAstarFound);
  CAstarCpuStats zeroCost;
  zeroCost.m_mean = 0.0f;
  log = CallLog{};
  double now = Host().Time();
  Host().QueueTimes({now, now + 1.0});
  EXPECT_EQ(Vusk::AstarSearchTimeSliced(&graph, &path, start, goal, nullptr, &zeroCost, 0.5f, true),
            Vusk::kAstarSuspended);
  EXPECT_EQ(log.Expansions(graph).size(), 1u);
  // No route: 0, and the next call starts afresh.
  graph.GetEdge(20)->SetClosed(1);
  CAstarCpuStats stats2;
  EXPECT_EQ(Vusk::AstarSearchTimeSliced(&graph, &path, start, goal, nullptr, &stats2, std::numeric_limits<float>::max(),
                                        false),
            Vusk::kAstarNoRoute);
  EXPECT_EQ(start->m_data.m_startMarker, 0);
  graph.SetConstraint(nullptr);
  graph.SetHeuristic(nullptr);
  Vusk::AstarFreeBuffers();
}

// Suspends a sliced search from `start` to `goal` after its first batch.
int SuspendAfterOneBatch(FakeAiHost& host, CSpatialGraph* graph, CPath* path, CGraphVertex* start, CGraphVertex* goal) {
  double now = host.Time();
  host.QueueTimes({now, now + 1.0});
  CAstarCpuStats stats;
  return Vusk::AstarSearchTimeSliced(graph, path, start, goal, nullptr, &stats, 0.005f, false);
}

TEST_P(AstarTest, SuspendedSearchOutlivesFailedStartsAndDeletedGraphs) {
  CSpatialGraph graph;
  BuildChain(&graph, 100);
  CConstraintShortestPath shortest;
  RefusingHeuristic refuse50(50);
  graph.SetConstraint(&shortest);
  graph.SetHeuristic(&refuse50);
  CPath path, other;
  path.Resize(100);
  other.Resize(100);
  CGraphVertex* start = graph.GetVertex(0);
  CGraphVertex* goal = graph.GetVertex(20);
  // A full search whose start cannot be estimated empties the lists: the suspended search must start
  // again, not resume on nothing and report that there is no route.
  ASSERT_EQ(SuspendAfterOneBatch(Host(), &graph, &path, start, goal), Vusk::kAstarSuspended);
  EXPECT_FALSE(Vusk::AstarSearch(&graph, &other, graph.GetVertex(50), graph.GetVertex(60), nullptr));
  CAstarCpuStats stats;
  ASSERT_EQ(Vusk::AstarSearchTimeSliced(&graph, &path, start, goal, nullptr, &stats, std::numeric_limits<float>::max(),
                                        false),
            Vusk::kAstarFound);
  EXPECT_EQ(path.m_pointCount, 21);
  EXPECT_EQ(start->m_data.m_startMarker, 0);

  // A route found into a path of no capacity is cut short with the whole route's length left, and is not
  // resumed later with its start unmarked: the same call with room for the route finds it again.
  CPath none;
  ASSERT_EQ(SuspendAfterOneBatch(Host(), &graph, &path, start, goal), Vusk::kAstarSuspended);
  EXPECT_EQ(Vusk::AstarSearchTimeSliced(&graph, &none, start, goal, nullptr, &stats, std::numeric_limits<float>::max(),
                                        false),
            Vusk::kAstarFound);
  EXPECT_EQ(none.m_pointCount, 0);
  EXPECT_EQ(none.m_cutShort, 1);
  EXPECT_FLOAT_EQ(none.m_remainingLength, 20.0f);
  EXPECT_EQ(start->m_data.m_startMarker, 0);
  none.Resize(100);
  EXPECT_EQ(Vusk::AstarSearchTimeSliced(&graph, &none, start, goal, nullptr, &stats, std::numeric_limits<float>::max(),
                                        false),
            Vusk::kAstarFound);
  EXPECT_EQ(none.m_pointCount, 21);

  // A graph deleted while a search on it is suspended: neither the next search nor the buffers' release
  // touch its records.
  auto* doomed = new CSpatialGraph();
  BuildChain(doomed, 100);
  doomed->SetConstraint(&shortest);
  doomed->SetHeuristic(&refuse50);
  ASSERT_EQ(SuspendAfterOneBatch(Host(), doomed, &path, doomed->GetVertex(0), doomed->GetVertex(90)),
            Vusk::kAstarSuspended);
  delete doomed;
  EXPECT_TRUE(Vusk::AstarSearch(&graph, &other, graph.GetVertex(1), graph.GetVertex(3), nullptr));
  // The same for a suspended start vertex that is removed, one made by the caller and one by the graph.
  CGraphVertex* own = new CGraphVertex(CGraphVertexData(CVector3(-1, 0, 0)));
  ASSERT_TRUE(graph.SetVertex(own, -1));
  CGraphEdgeData data;
  data.m_length = 1.0f;
  graph.AddEdge(data, own, graph.GetVertex(0), -1);
  ASSERT_EQ(SuspendAfterOneBatch(Host(), &graph, &path, own, graph.GetVertex(40)), Vusk::kAstarSuspended);
  ASSERT_TRUE(graph.RemoveVertex(own->GetIndex()));
  Vusk::AstarFreeBuffers();
  ASSERT_EQ(SuspendAfterOneBatch(Host(), &graph, &path, graph.GetVertex(99), graph.GetVertex(2)),
            Vusk::kAstarSuspended);
  graph.SetConstraint(nullptr);
  graph.SetHeuristic(nullptr);
}

// Sliced searches interleaved at random with full searches (some refused at their start), buffer
// re-creation and graph edits: whatever happened in between, a sliced search that ends agrees with a full
// search of the same pair.
TEST_P(AstarTest, InterleavedSlicedSearchesAgreeWithFullSearches) {
  std::mt19937 rng(404);
  CSpatialGraph graph;
  navtest::BuildRandomGraph(&graph, rng, 150, 30.0f, 4.0f, true);
  CConstraintShortestPath shortest;
  RefusingHeuristic refuse(7);
  graph.SetConstraint(&shortest);
  graph.SetHeuristic(&refuse);
  CPath sliced, full;
  sliced.Resize(200);
  full.Resize(200);
  std::uniform_int_distribution<int> vertex(0, 149), action(0, 11);
  const std::pair<int, int> pairs[3] = {{0, 140}, {3, 77}, {120, 5}};
  int finished = 0;
  int suspended = -1;  // start of the search left suspended, or -1
  int current = 0;     // pair the sliced calls are about
  for (int step = 0; step < 1500; ++step) {
    int a = action(rng);
    if (a <= 7) {
      if (a == 0) current = (current + 1) % 3;
      const auto& pair = pairs[current];
      CGraphVertex* s = graph.GetVertex(pair.first);
      CGraphVertex* g = graph.GetVertex(pair.second);
      int result = SuspendAfterOneBatch(Host(), &graph, &sliced, s, g);
      suspended = result == Vusk::kAstarSuspended ? pair.first : -1;
      if (result == Vusk::kAstarSuspended) continue;
      ++finished;
      bool found = Vusk::AstarSearch(&graph, &full, s, g, nullptr);
      ASSERT_EQ(result == Vusk::kAstarFound, found) << "step " << step;
      if (!found) continue;
      ASSERT_EQ(sliced.m_pointCount, full.m_pointCount) << "step " << step;
      for (int i = 0; i < full.m_pointCount; ++i) ASSERT_EQ(sliced.m_vertexIndices[i], full.m_vertexIndices[i]);
    } else if (a <= 9) {
      int s = a == 8 ? 7 : vertex(rng);  // vertex 7 cannot be estimated: that search fails at its start
      Vusk::AstarSearch(&graph, &full, graph.GetVertex(s), graph.GetVertex(vertex(rng)), nullptr);
      suspended = -1;
    } else if (a == 10) {
      ASSERT_TRUE(Vusk::AstarCreateBuffers(vertex(rng)));
      suspended = -1;
    } else {
      graph.AddVertexAt(CVector3(-50.0f, 0, float(step)));  // an edit: a suspended search starts again
    }
    // Only the start of a suspended search is marked.
    for (int i = 0; i < graph.GetVertexCount(); ++i) {
      ASSERT_EQ(graph.GetVertex(i)->m_data.m_startMarker, i == suspended ? 1 : 0) << "step " << step;
    }
  }
  EXPECT_GT(finished, 100);
  graph.SetConstraint(nullptr);
  graph.SetHeuristic(nullptr);
}

}  // namespace
