#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <vector>

#include "ai/navigation/astar.h"
#include "ai/navigation/astar_data.h"
#include "ai/navigation/constraint.h"
#include "ai/navigation/path_cost_data.h"
#include "ai/navigation/spatial_graph.h"
#include "ai/navigation/tests/nav_test_support.h"

using navtest::Bytes;
using navtest::LoadBytes;
using navtest::SaveBytes;

namespace {

class TablesTest : public navtest::NavTest {};
AI_ENGINE_TEST_SUITE(TablesTest);

// Answers 0 like the zero heuristic but is another class, so table builds run one search per pair.
class PlainZeroHeuristic : public CHeuristic {
public:
  bool Estimate(CEntity*, CGraphVertex*, CGraphVertex*, float* out) override {
    *out = 0.0f;
    return true;
  }
  const CHeuristicDesc* GetClassDesc() const override { return &CZeroHeuristic::s_classDesc; }
};

float RouteCost(const CSpatialGraph& graph, const CPath& path) {
  float sum = 0.0f;
  for (int i = 0; i + 1 < path.m_pointCount; ++i) sum += graph.GetEdge(path.m_edgeIndices[i])->GetCost();
  return sum;
}

TEST_P(TablesTest, RouteAndCostTablesAgreeWithAstarForEveryPair) {
  std::mt19937 rng(4242);
  const std::string path = navtest::TempPath("tables.bin");
  for (int round = 0; round < 3; ++round) {
    CSpatialGraph graph;
    navtest::BuildRandomGraph(&graph, rng, 45 + 10 * round, 16.0f, 3.6f, true);
    const int n = graph.GetVertexCount();
    CAstarData routes(&graph);
    CPathCostData costs(&graph);
    ASSERT_TRUE(routes.Build());
    ASSERT_TRUE(costs.Build());
    EXPECT_EQ(graph.GetConstraint(), nullptr);  // the build's own constraint and heuristic are gone
    EXPECT_EQ(graph.GetHeuristic(), nullptr);

    CConstraintShortestPath shortest;
    CZeroHeuristic zero;
    graph.SetConstraint(&shortest);
    graph.SetHeuristic(&zero);
    CPath searched, looked;
    searched.Resize(uint32_t(n));
    looked.Resize(uint32_t(n));
    float largest = 0.0f;
    std::vector<float> best(size_t(n * n), -1.0f);
    for (int s = 0; s < n; ++s) {
      for (int g = 0; g < n; ++g) {
        if (s == g) {
          best[size_t(s * n + g)] = 0.0f;
          continue;
        }
        if (Vusk::AstarSearch(&graph, &searched, graph.GetVertex(s), graph.GetVertex(g), nullptr)) {
          best[size_t(s * n + g)] = RouteCost(graph, searched);
          largest = std::max(largest, best[size_t(s * n + g)]);
          ASSERT_TRUE(routes.Lookup(s, g, &looked));
          ASSERT_EQ(looked.m_pointCount, searched.m_pointCount) << s << "->" << g;
          for (int i = 0; i < looked.m_pointCount; ++i) {
            ASSERT_EQ(looked.m_vertexIndices[i], searched.m_vertexIndices[i]);
            ASSERT_EQ(looked.m_edgeIndices[i], searched.m_edgeIndices[i]);
          }
        } else {
          ASSERT_FALSE(routes.Lookup(s, g, &looked)) << s << "->" << g;
          int32_t entry = 0;
          ASSERT_TRUE(routes.GetEntry(s, g, &entry));
          EXPECT_EQ(entry, -1);
        }
      }
    }
    ASSERT_GT(largest, 0.0f);
    EXPECT_EQ(costs.GetScale(), 254.0f / largest);
    // Stored costs: truncated, 255 for unreachable, 0 on the diagonal, and never above the true cost.
    for (int s = 0; s < n; ++s) {
      for (int g = 0; g < n; ++g) {
        uint8_t entry = 0;
        ASSERT_TRUE(costs.GetEntry(s, g, &entry));
        float cost = best[size_t(s * n + g)];
        if (cost < 0.0f) {
          ASSERT_EQ(entry, 255);
          continue;
        }
        ASSERT_EQ(entry, uint8_t(cost * costs.GetScale()));
        ASSERT_LE(float(entry) / costs.GetScale(), cost * (1.0f + 1e-6f));
      }
    }
    // The path-cost heuristic over the table keeps routes as cheap as the straight search finds them.
    CPathCostHeuristic exact;
    exact.m_data = &costs;
    graph.SetHeuristic(&exact);
    for (int s = 0; s < n; s += 3) {
      for (int g = 0; g < n; g += 2) {
        float cost = best[size_t(s * n + g)];
        bool found = Vusk::AstarSearch(&graph, &searched, graph.GetVertex(s), graph.GetVertex(g), nullptr);
        ASSERT_EQ(found, cost >= 0.0f);
        if (found) {
          ASSERT_NEAR(RouteCost(graph, searched), cost, 1e-4f * (1.0f + cost));
        }
      }
    }
    graph.SetConstraint(nullptr);
    graph.SetHeuristic(nullptr);

    // Save, load, save: the same bytes.
    Bytes routeBytes = SaveBytes(&routes, path);
    EXPECT_EQ(routeBytes.size(), 22u + 4u * n * n);
    CAstarData routesAgain(&graph);
    ASSERT_TRUE(LoadBytes(&routesAgain, routeBytes));
    EXPECT_EQ(SaveBytes(&routesAgain, path), routeBytes);
    Bytes costBytes = SaveBytes(&costs, path);
    EXPECT_EQ(costBytes.size(), 29u + size_t(n) * n);
    CPathCostData costsAgain(&graph);
    ASSERT_TRUE(LoadBytes(&costsAgain, costBytes));
    EXPECT_EQ(SaveBytes(&costsAgain, path), costBytes);
  }
  std::remove(path.c_str());
}

TEST_P(TablesTest, OneSweepPerStartEqualsOneSearchPerPair) {
  std::mt19937 rng(8);
  const std::string path = navtest::TempPath("sweep.bin");
  Host().AddBox(5.0f, -1.0f, 0.0f, 6.0f, 5.0f, 9.0f);
  for (int round = 0; round < 4; ++round) {
    CSpatialGraph graph;
    if (round % 2 == 0) {
      std::vector<std::string> rows(9, std::string(9, '.'));
      for (int y = 2; y < 7; ++y) rows[y][5] = '@';
      navtest::BuildGridGraph(&graph, rows);  // many routes of equal cost
    } else {
      navtest::BuildRandomGraph(&graph, rng, 45, 10.0f, 3.0f, true);
    }
    CConstraintStealthPath stealth;
    stealth.m_penalty = 7.0f;
    stealth.m_range = 8.0f;
    stealth.m_threatPointCount = 1;
    stealth.m_threatPoints[0] = CVector3(8, 0.5f, 3);
    CConstraintShortestPath shortest;
    for (CConstraint* constraint : {static_cast<CConstraint*>(&shortest), static_cast<CConstraint*>(&stealth)}) {
      CZeroHeuristic zero;
      PlainZeroHeuristic plain;
      graph.SetConstraint(constraint);
      Bytes tables[2][2];
      CHeuristic* heuristics[2] = {&zero, &plain};
      for (int h = 0; h < 2; ++h) {
        graph.SetHeuristic(heuristics[h]);
        CAstarData routes(&graph);
        CPathCostData costs(&graph);
        ASSERT_TRUE(routes.Build());
        ASSERT_TRUE(costs.Build());
        tables[h][0] = SaveBytes(&routes, path);
        tables[h][1] = SaveBytes(&costs, path);
        EXPECT_EQ(graph.GetHeuristic(), heuristics[h]);  // what was installed stays
      }
      EXPECT_EQ(tables[0][0], tables[1][0]);
      EXPECT_EQ(tables[0][1], tables[1][1]);
      if (constraint == &stealth) {
        // The installed constraint's costs are the table's costs: some pairs cost more than their length.
        graph.SetConstraint(&shortest);
        CPathCostData plainCosts(&graph);
        ASSERT_TRUE(plainCosts.Build());
        EXPECT_NE(SaveBytes(&plainCosts, path), tables[0][1]);
      }
    }
    graph.SetConstraint(nullptr);
    graph.SetHeuristic(nullptr);
  }
  std::remove(path.c_str());
}

TEST_P(TablesTest, SmallCasesLookupLimitsAndScale) {
  // One vertex: a one-entry table holding 0; lookups of (0, 0) give one point.
  CSpatialGraph single;
  single.AddVertexAt(CVector3(1, 2, 3));
  CAstarData singleRoutes(&single);
  ASSERT_TRUE(singleRoutes.Build());
  int32_t entry = -5;
  ASSERT_TRUE(singleRoutes.GetEntry(0, 0, &entry));
  EXPECT_EQ(entry, 0);
  CPath path;
  path.Resize(4);
  ASSERT_TRUE(singleRoutes.Lookup(0, 0, &path));
  EXPECT_EQ(path.m_pointCount, 1);
  EXPECT_EQ(path.m_edgeIndices[0], -1);
  EXPECT_FALSE(singleRoutes.Lookup(0, 1, &path));
  // No route costs anything: scale 1, 0 on the diagonal, 255 elsewhere.
  CSpatialGraph apart;
  apart.AddVertexAt(CVector3(0, 0, 0));
  apart.AddVertexAt(CVector3(5, 0, 0));
  CPathCostData apartCosts(&apart);
  ASSERT_TRUE(apartCosts.Build());
  EXPECT_EQ(apartCosts.GetScale(), 1.0f);
  uint8_t cost = 0;
  apartCosts.GetEntry(0, 1, &cost);
  EXPECT_EQ(cost, 255);
  apartCosts.GetEntry(1, 1, &cost);
  EXPECT_EQ(cost, 0);

  // A chain 0 - 1 - 2 of lengths 5 and 5: largest 10, scale 25.4; 5 is stored as 127 and read as 5.0.
  CSpatialGraph three;
  for (int i = 0; i < 3; ++i) three.AddVertexAt(CVector3(float(i) * 5.0f, 0, 0));
  for (int i = 0; i + 1 < 3; ++i) {
    CGraphEdgeData data;
    data.m_length = data.m_cost = 5.0f;
    three.AddEdge(data, three.GetVertex(i), three.GetVertex(i + 1), -1);
  }
  CPathCostData threeCosts(&three);
  ASSERT_TRUE(threeCosts.Build());
  EXPECT_FLOAT_EQ(threeCosts.GetScale(), 25.4f);
  threeCosts.GetEntry(0, 2, &cost);
  EXPECT_EQ(cost, 254);
  threeCosts.GetEntry(0, 1, &cost);
  EXPECT_EQ(cost, 127);
  CPathCostHeuristic heuristic;
  heuristic.m_data = &threeCosts;
  float estimate = 0.0f;
  EXPECT_TRUE(heuristic.Estimate(nullptr, three.GetVertex(0), three.GetVertex(1), &estimate));
  EXPECT_FLOAT_EQ(estimate, 5.0f);
  EXPECT_FALSE(heuristic.Estimate(nullptr, three.GetVertex(2), three.GetVertex(0), &estimate));  // 255
  CGraphVertex stranger{CGraphVertexData()};
  stranger.m_index = 7;
  EXPECT_FALSE(heuristic.Estimate(nullptr, &stranger, three.GetVertex(0), &estimate));  // outside the table

  // A 61-point route into 50 entries: cut short; the remaining length counts from the last kept point.
  CSpatialGraph longChain;
  for (int i = 0; i < 61; ++i) longChain.AddVertexAt(CVector3(float(i), 0, 0));
  for (int i = 0; i + 1 < 61; ++i) {
    CGraphEdgeData data;
    data.m_length = data.m_cost = 1.0f + float(i) * 0.5f;
    longChain.AddEdge(data, longChain.GetVertex(i), longChain.GetVertex(i + 1), -1);
  }
  CAstarData longRoutes(&longChain);
  ASSERT_TRUE(longRoutes.Build());
  path.Resize(50);
  ASSERT_TRUE(longRoutes.Lookup(0, 60, &path));
  EXPECT_EQ(path.m_pointCount, 50);
  EXPECT_EQ(path.m_cutShort, 1);
  EXPECT_EQ(path.m_vertexIndices[49], 49);
  float remaining = 0.0f;
  for (int i = 49; i < 60; ++i) remaining += longChain.GetEdge(i)->GetLength();
  EXPECT_FLOAT_EQ(path.m_remainingLength, remaining);
  ASSERT_TRUE(longRoutes.Lookup(10, 12, &path));
  EXPECT_EQ(path.m_pointCount, 3);
  EXPECT_EQ(path.m_edgeIndices[2], -1);
  EXPECT_EQ(path.m_cutShort, 0);
  // A path of no capacity: found, cut short before its first point, the whole route's length left.
  CPath none;
  ASSERT_TRUE(longRoutes.Lookup(0, 3, &none));
  EXPECT_EQ(none.m_pointCount, 0);
  EXPECT_EQ(none.m_cutShort, 1);
  EXPECT_FLOAT_EQ(none.m_remainingLength, 1.0f + 1.5f + 2.0f);
  ASSERT_TRUE(longRoutes.Lookup(3, 3, &none));
  EXPECT_EQ(none.m_pointCount, 0);
  EXPECT_EQ(none.m_remainingLength, 0.0f);
  EXPECT_FALSE(longRoutes.Lookup(-1, 3, &path));
  // A graph with free slots cannot be tabled by index.
  longChain.RemoveVertex(5);
  CAstarData holes(&longChain);
  EXPECT_FALSE(holes.Build());
  CPathCostData holeCosts(&longChain);
  EXPECT_FALSE(holeCosts.Build());
}

TEST_P(TablesTest, HostileTableFilesFailCleanly) {
  std::mt19937 rng(17);
  CSpatialGraph graph;
  navtest::BuildRandomGraph(&graph, rng, 14, 8.0f, 3.5f, false);
  const std::string path = navtest::TempPath("hostile_tables.bin");
  CAstarData routes(&graph);
  CPathCostData costs(&graph);
  ASSERT_TRUE(routes.Build());
  ASSERT_TRUE(costs.Build());
  const Bytes routeBytes = SaveBytes(&routes, path);
  const Bytes costBytes = SaveBytes(&costs, path);
  for (size_t n = 0; n < routeBytes.size(); n += (n < 40 ? 1 : 13)) {
    CAstarData loaded(&graph);
    EXPECT_FALSE(LoadBytes(&loaded, Bytes(routeBytes.begin(), routeBytes.begin() + long(n)))) << n;
  }
  for (size_t n = 0; n < costBytes.size(); n += (n < 40 ? 1 : 5)) {
    CPathCostData loaded(&graph);
    EXPECT_FALSE(LoadBytes(&loaded, Bytes(costBytes.begin(), costBytes.begin() + long(n)))) << n;
  }
  // Entries that are no edge of their row, a wrong diagonal, a bad scale: refused.
  const int n = graph.GetVertexCount();
  auto entryAt = [&](int s, int g) { return size_t(22 + 4 * (s * n + g)); };
  CGraphEdge* notFromZero = graph.GetVertex(1)->GetOutgoingEdge(0);
  ASSERT_NE(notFromZero, nullptr);
  for (uint32_t bad : {uint32_t(notFromZero->GetIndex()), 0x7FFFFFF0u, 0xFFFFFFFEu}) {
    Bytes patched = routeBytes;
    Vusk::StoreU32(patched.data() + entryAt(0, 5), bad);
    CAstarData loaded(&graph);
    EXPECT_FALSE(LoadBytes(&loaded, patched)) << bad;
  }
  Bytes diagonal = routeBytes;
  Vusk::StoreU32(diagonal.data() + entryAt(3, 3), 4);
  CAstarData diagonalLoaded(&graph);
  EXPECT_FALSE(LoadBytes(&diagonalLoaded, diagonal));
  for (float scale : {0.0f, -1.0f, std::nanf(""), INFINITY}) {
    Bytes patched = costBytes;
    Vusk::StoreU32(patched.data() + 25, Vusk::FloatBits(scale));
    CPathCostData loaded(&graph);
    EXPECT_FALSE(LoadBytes(&loaded, patched)) << scale;
  }
  // A table whose entries are each valid but lead round in a circle: the lookup gives up.
  CGraphVertex* a = graph.GetVertex(0);
  CGraphEdge* ab = a->GetOutgoingEdge(0);
  CGraphVertex* b = ab->GetDestination();
  CGraphEdge* ba = graph.FindEdgeTo(b, a);
  ASSERT_NE(ba, nullptr);
  int goal = 0;
  while (goal == a->GetIndex() || goal == b->GetIndex()) ++goal;
  Bytes cyclic = routeBytes;
  Vusk::StoreU32(cyclic.data() + entryAt(a->GetIndex(), goal), uint32_t(ab->GetIndex()));
  Vusk::StoreU32(cyclic.data() + entryAt(b->GetIndex(), goal), uint32_t(ba->GetIndex()));
  CAstarData cyclicLoaded(&graph);
  ASSERT_TRUE(LoadBytes(&cyclicLoaded, cyclic));
  CPath route;
  route.Resize(4);
  EXPECT_FALSE(cyclicLoaded.Lookup(a->GetIndex(), goal, &route));
  // Short writes fail the saves.
  for (long budget = 0; budget < 3; ++budget) {
    WriteBudget() = budget;
    EXPECT_FALSE(routes.Save(path.c_str()));
    EXPECT_FALSE(costs.Save(path.c_str()));
  }
  WriteBudget() = 2 + n - 1;
  EXPECT_FALSE(routes.Save(path.c_str()));  // the last row falls short
  WriteBudget() = -1;
  std::remove(path.c_str());
}

// A build that runs out of memory anywhere answers false and keeps no table; one that gets everything it
// asks for gives the tables of a build with memory to spare. A search that could not run is no proof that
// a goal is out of reach.
TEST_P(TablesTest, BuildsThatRunOutOfMemoryFailAndKeepNothing) {
  std::mt19937 rng(23);
  CSpatialGraph graph;
  navtest::BuildRandomGraph(&graph, rng, 12, 8.0f, 3.5f, true);
  const int n = graph.GetVertexCount();
  CZeroHeuristic zero;
  PlainZeroHeuristic plain;
  // No heuristic: the build's own zero heuristic (one sweep per start); the plain one: a search per pair.
  for (CHeuristic* heuristic :
       {static_cast<CHeuristic*>(nullptr), static_cast<CHeuristic*>(&zero), static_cast<CHeuristic*>(&plain)}) {
    graph.SetHeuristic(heuristic);
    CAstarData routes(&graph);
    CPathCostData costs(&graph);
    ASSERT_TRUE(routes.Build());
    ASSERT_TRUE(costs.Build());
    for (int which = 0; which < 2; ++which) {
      bool failureReached = true;
      for (long k = 1; failureReached; ++k) {
        Vusk::AstarFreeBuffers();  // the build has to make the search buffers itself
        CAstarData builtRoutes(&graph);
        CPathCostData builtCosts(&graph);
        const long before = Host().AllocationCount();
        Host().FailAllocation(k);
        const bool built = which == 0 ? builtRoutes.Build() : builtCosts.Build();
        // A build that made fewer than k allocations and succeeded never met the failure.
        failureReached = !built || Host().AllocationCount() - before >= k;
        ASSERT_LT(k, 100000);
        Host().FailAllocation(0);
        int32_t route = 0, expectedRoute = 0;
        uint8_t cost = 0, expectedCost = 0;
        if (!built) {
          EXPECT_FALSE(which == 0 ? builtRoutes.GetEntry(0, 0, &route) : builtCosts.GetEntry(0, 0, &cost)) << k;
          continue;
        }
        if (which == 1) {
          EXPECT_EQ(builtCosts.GetScale(), costs.GetScale()) << k;
        }
        for (int s = 0; s < n; ++s) {
          for (int g = 0; g < n; ++g) {
            if (which == 0) {
              ASSERT_TRUE(routes.GetEntry(s, g, &expectedRoute) && builtRoutes.GetEntry(s, g, &route));
              ASSERT_EQ(route, expectedRoute) << "allocation " << k << " route " << s << "-" << g;
            } else {
              ASSERT_TRUE(costs.GetEntry(s, g, &expectedCost) && builtCosts.GetEntry(s, g, &cost));
              ASSERT_EQ(cost, expectedCost) << "allocation " << k << " cost " << s << "-" << g;
            }
          }
        }
      }
    }
  }
  graph.SetHeuristic(nullptr);
}

}  // namespace
