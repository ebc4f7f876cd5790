#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <iterator>
#include <memory>
#include <random>
#include <set>
#include <vector>

#include "ai/navigation/astar.h"
#include "ai/navigation/constraint.h"
#include "ai/navigation/find_nearest_data.h"
#include "ai/navigation/spatial_graph.h"
#include "ai/navigation/tests/nav_test_support.h"

using navtest::Bytes;

namespace {

class FindNearestTest : public navtest::NavTest {};
AI_ENGINE_TEST_SUITE(FindNearestTest);

float Axis(const CVector3& v, int axis) { return axis == 0 ? v.x : (axis == 1 ? v.y : v.z); }

// Points on a half-unit lattice, so that many share coordinates; edges to the near ones.
void BuildLatticeGraph(CSpatialGraph* graph, std::mt19937& rng, int count) {
  std::uniform_int_distribution<int> cell(0, 20), level(0, 4);
  for (int i = 0; i < count; ++i) graph->AddVertexAt(CVector3(cell(rng) * 0.5f, level(rng) * 0.5f, cell(rng) * 0.5f));
  std::uniform_int_distribution<int> chance(0, 99);
  for (int i = 0; i < count; ++i)
    for (int j = 0; j < count; ++j) {
      if (i == j || chance(rng) > 3) continue;
      CGraphEdgeData data;
      graph->AddEdge(data, graph->GetVertex(i), graph->GetVertex(j), -1);
    }
}

TEST_P(FindNearestTest, CandidatesAndQueriesAgainstBruteForce) {
  std::mt19937 rng(71);
  const std::string path = navtest::TempPath("nearest.bin");
  for (int round = 0; round < 5; ++round) {
    CSpatialGraph graph;
    BuildLatticeGraph(&graph, rng, 150 + 50 * round);
    graph.SetSearchRadius(1.5f + 0.5f * float(round));
    const int n = graph.GetVertexCount();
    CFindNearestData data(&graph);
    ASSERT_TRUE(data.Build());
    for (int axis = 0; axis < 3; ++axis) {
      const int32_t* sorted = data.GetSorted(axis);
      for (int i = 1; i < n; ++i) {
        float a = Axis(graph.GetVertex(sorted[i - 1])->GetPosition(), axis);
        float b = Axis(graph.GetVertex(sorted[i])->GetPosition(), axis);
        ASSERT_TRUE(a < b || (a == b && sorted[i - 1] < sorted[i]));  // ties in index order
        ASSERT_EQ(data.GetRanks(axis)[sorted[i]], i);
      }
    }
    std::uniform_real_distribution<float> coord(-1.0f, 11.0f);
    for (int query = 0; query < 200; ++query) {
      CVector3 point(coord(rng), coord(rng) * 0.2f, coord(rng));
      float heightRange = 0.25f * float(query % 5);
      const float half[3] = {graph.GetSearchRadius(), heightRange, graph.GetSearchRadius()};
      const int32_t* gathered = nullptr;
      int32_t count = data.GatherCandidates(point, heightRange, &gathered);
      std::set<int> candidates(gathered, gathered + count);
      ASSERT_EQ(candidates.size(), size_t(count));
      // Every vertex inside the box is a candidate; a candidate outside it has no vertex between it and
      // the box on the axis where it lies outside (at most one entry beyond each end).
      for (int v = 0; v < n; ++v) {
        const CVector3& p = graph.GetVertex(v)->GetPosition();
        bool inside = true;
        for (int axis = 0; axis < 3; ++axis)
          inside = inside && std::fabs(Axis(p, axis) - Axis(point, axis)) <= half[axis];
        if (inside) {
          ASSERT_TRUE(candidates.count(v)) << "vertex " << v << " query " << query;
        }
      }
      for (int c : candidates) {
        const CVector3& p = graph.GetVertex(c)->GetPosition();
        for (int axis = 0; axis < 3; ++axis) {
          float low = Axis(point, axis) - half[axis], high = Axis(point, axis) + half[axis], x = Axis(p, axis);
          if (x >= low && x <= high) continue;
          for (int v = 0; v < n; ++v) {
            float y = Axis(graph.GetVertex(v)->GetPosition(), axis);
            ASSERT_FALSE(x < low ? (y > x && y < low) : (y < x && y > high)) << "candidate " << c << " axis " << axis;
          }
        }
      }
      // The visible-vertex query (every sweep clear) takes the nearest qualifying candidate; nothing
      // inside the box that qualifies is nearer.
      bool out = query % 3 == 0, in = query % 4 == 0;
      CGraphVertex* visible = Vusk::FindNearestVisibleVertex(point, nullptr, heightRange, &data, out, in);
      auto qualifies = [&](CGraphVertex* v) {
        return !(out && v->GetOutgoingCount() == 0) && !(in && v->GetIncomingCount() == 0);
      };
      if (visible != nullptr) {
        ASSERT_TRUE(candidates.count(visible->GetIndex()));
        ASSERT_TRUE(qualifies(visible));
      }
      for (int c : candidates) {
        CGraphVertex* v = graph.GetVertex(c);
        if (!qualifies(v)) continue;
        ASSERT_NE(visible, nullptr);
        ASSERT_GE(CVector3::DistanceSquared(v->GetPosition(), point),
                  CVector3::DistanceSquared(visible->GetPosition(), point));
      }
      // Nearest by the sum of absolute differences, the lower index on ties.
      CGraphVertex* nearest = Vusk::FindNearestVertex(&graph, point, out, in);
      int best = -1;
      float bestDistance = 0.0f;
      for (int v = 0; v < n; ++v) {
        CGraphVertex* vertex = graph.GetVertex(v);
        if (!qualifies(vertex)) continue;
        const CVector3& p = vertex->GetPosition();
        float d = std::fabs(p.x - point.x) + std::fabs(p.y - point.y) + std::fabs(p.z - point.z);
        if (best < 0 || d < bestDistance) best = v, bestDistance = d;
      }
      ASSERT_EQ(nearest != nullptr ? nearest->GetIndex() : -1, best);
    }
    // Save, load, save: the same bytes; a far point misses on an axis and finds nothing.
    const Bytes bytes = navtest::SaveBytes(&data, path);
    EXPECT_EQ(bytes.size(), 28u + 24u * n);
    CFindNearestData loaded(&graph);
    ASSERT_TRUE(navtest::LoadBytes(&loaded, bytes));
    EXPECT_EQ(navtest::SaveBytes(&loaded, path), bytes);
    const int32_t* none = nullptr;
    EXPECT_EQ(loaded.GatherCandidates(CVector3(500, 0, 5), 1.0f, &none), 0);
    EXPECT_EQ(Vusk::FindNearestVisibleVertex(CVector3(5, 100, 5), nullptr, 1.0f, &loaded, false, false), nullptr);
  }
  EXPECT_EQ(Vusk::FindNearestVisibleVertex(CVector3(0, 0, 0), nullptr, 1.0f, nullptr, false, false), nullptr);
  std::remove(path.c_str());
}

TEST_P(FindNearestTest, HostileTablesAndStaleGraphs) {
  std::mt19937 rng(12);
  CSpatialGraph graph;
  BuildLatticeGraph(&graph, rng, 30);
  CFindNearestData data(&graph);
  ASSERT_TRUE(data.Build());
  const std::string path = navtest::TempPath("nearest_hostile.bin");
  const Bytes valid = navtest::SaveBytes(&data, path);
  for (size_t n = 0; n < valid.size(); n += (n < 40 ? 1 : 9)) {
    CFindNearestData loaded(&graph);
    EXPECT_FALSE(navtest::LoadBytes(&loaded, Bytes(valid.begin(), valid.begin() + long(n)))) << n;
  }
  auto refused = [&](size_t word, uint32_t value) {
    Bytes bytes = valid;
    Vusk::StoreU32(bytes.data() + 28 + 4 * word, value);
    CFindNearestData loaded(&graph);
    if (navtest::LoadBytes(&loaded, bytes)) return false;
    // Refused tables are not kept for the queries to follow.
    const int32_t* candidates = nullptr;
    return loaded.GatherCandidates(CVector3(5, 1, 5), 10.0f, &candidates) == 0 &&
           Vusk::FindNearestVisibleVertex(CVector3(5, 1, 5), nullptr, 10.0f, &loaded, false, false) == nullptr;
  };
  EXPECT_TRUE(refused(3, 30));           // a sorted entry beyond the vertices
  EXPECT_TRUE(refused(5, 0xFFFFFFFFu));  // a negative one
  EXPECT_TRUE(refused(90 + 4, 29));      // a rank that is not the inverse
  // Short writes fail the save.
  for (long budget = 0; budget < 3; ++budget) {
    WriteBudget() = budget;
    EXPECT_FALSE(data.Save(path.c_str()));
  }
  WriteBudget() = -1;
  // The tables do not follow later edits of the graph but keep answering: a removed vertex is passed
  // over, every other candidate stays, and new or renumbered vertices never lead out of the graph.
  const CVector3 points[] = {graph.GetVertex(3)->GetPosition(), {1, 0, 9}, {8, 2, 2}, {3, 1, 4}};
  std::vector<std::set<int>> before;
  const int32_t* candidates = nullptr;
  for (const CVector3& point : points) {
    int32_t count = data.GatherCandidates(point, 1.0f, &candidates);
    before.emplace_back(candidates, candidates + count);
  }
  ASSERT_TRUE(before[0].count(3));
  graph.RemoveVertex(3);
  graph.AddVertexAt(points[0]);
  for (size_t i = 0; i < std::size(points); ++i) {
    int32_t count = data.GatherCandidates(points[i], 1.0f, &candidates);
    std::set<int> expected = before[i];
    expected.erase(3);
    EXPECT_EQ(std::set<int>(candidates, candidates + count), expected) << i;
    CGraphVertex* found = Vusk::FindNearestVisibleVertex(points[i], nullptr, 1.0f, &data, false, false);
    EXPECT_EQ(found == nullptr, expected.empty());
    if (found != nullptr) {
      EXPECT_TRUE(expected.count(found->GetIndex()));
    }
  }
  EXPECT_FALSE(data.Build());  // free slots: no tables by index
  ASSERT_TRUE(navtest::LoadBytes(&data, valid));
  graph.RemoveFreeVertexSlots();
  for (const CVector3& point : points) {
    int32_t count = data.GatherCandidates(point, 3.0f, &candidates);
    for (int32_t i = 0; i < count; ++i) EXPECT_NE(graph.GetVertex(candidates[i]), nullptr);
    Vusk::FindNearestVisibleVertex(point, nullptr, 3.0f, &data, true, false);
  }
  CFindNearestData empty(&graph);
  CSpatialGraph nothing;
  CFindNearestData none(&nothing);
  EXPECT_TRUE(none.Build());
  EXPECT_FALSE(none.Save(path.c_str()));
  std::remove(path.c_str());
}

TEST_P(FindNearestTest, LocallyVisibleVertexWindowsSweepsAndTies) {
  CSpatialGraph graph;
  // Vertex 0 and 1 at the same distance; 2 above, 3 below; 4 far.
  graph.AddVertexAt(CVector3(1, 0, 0));
  graph.AddVertexAt(CVector3(-1, 0, 0));
  graph.AddVertexAt(CVector3(0, 1.6f, 0.5f));
  graph.AddVertexAt(CVector3(0, -1.9f, 0.5f));
  graph.AddVertexAt(CVector3(4, 0, 0));
  graph.SetSearchRadius(5.0f);
  CVector3 point(0, 0, 0);
  EXPECT_EQ(Vusk::FindLocallyVisibleVertex(&graph, point, nullptr, -1.0f, false, false)->GetIndex(), 0);
  // Height window of 1: 1.6 above is refused, 1.9 below is taken (when nearer than the rest).
  graph.GetVertex(0)->m_data.m_position = CVector3(3, 0, 0);
  graph.GetVertex(1)->m_data.m_position = CVector3(-3, 0, 0);
  EXPECT_EQ(Vusk::FindLocallyVisibleVertex(&graph, point, nullptr, 1.0f, false, false)->GetIndex(), 3);
  EXPECT_EQ(Vusk::FindLocallyVisibleVertex(&graph, point, nullptr, -1.0f, false, false)->GetIndex(), 2);
  // Edge requirements pass over vertices without edges.
  graph.AddEdge(CGraphEdgeData(), graph.GetVertex(4), graph.GetVertex(1), -1);
  EXPECT_EQ(Vusk::FindLocallyVisibleVertex(&graph, point, nullptr, -1.0f, true, false)->GetIndex(), 4);
  EXPECT_EQ(Vusk::FindLocallyVisibleVertex(&graph, point, nullptr, -1.0f, false, true)->GetIndex(), 1);
  // A wall between the point and vertices 2 and 3: the first pass takes the nearest vertex the sweep
  // reaches; with every sweep blocked the second pass takes the nearest regardless.
  Host().AddBox(-0.3f, -3.0f, 0.2f, 0.3f, 3.0f, 0.3f);
  EXPECT_EQ(Vusk::FindLocallyVisibleVertex(&graph, point, nullptr, -1.0f, false, false)->GetIndex(), 0);
  Host().AddBox(-0.1f, -0.1f, -0.1f, 0.1f, 0.1f, 0.1f);  // the point itself is walled in
  EXPECT_EQ(Vusk::FindLocallyVisibleVertex(&graph, point, nullptr, -1.0f, false, false)->GetIndex(), 2);
  EXPECT_FALSE(Host().SweepQueries().empty());
  // Nothing within the radius: null.
  EXPECT_EQ(Vusk::FindLocallyVisibleVertex(&graph, CVector3(50, 0, 0), nullptr, -1.0f, false, false), nullptr);
  // The nearest vertex by L1 on an exact hit stops at once.
  EXPECT_EQ(Vusk::FindNearestVertex(&graph, CVector3(4, 0, 0), false, false)->GetIndex(), 4);
}

TEST_P(FindNearestTest, GraphOfARealLevelRoutesLikeDijkstra) {
  // The level lives in the shared data beside the source tree; a checkout without it cannot run this.
  if (!std::filesystem::exists(navtest::Den312dPath()))
    GTEST_SKIP() << "shared data not found: " << navtest::Den312dPath();
  std::vector<std::string> rows = navtest::ReadMapRows(navtest::Den312dPath());
  ASSERT_FALSE(rows.empty()) << "cannot read " << navtest::Den312dPath();
  // A 40 x 40 corner of the level keeps the sweep short under the sanitizers.
  rows.resize(std::min<size_t>(rows.size(), 40));
  for (auto& row : rows) row.resize(std::min<size_t>(row.size(), 40), '@');
  CSpatialGraph graph;
  ASSERT_TRUE(navtest::BuildGridGraph(&graph, rows));
  const int n = graph.GetVertexCount();
  ASSERT_GT(n, 100);
  CConstraintShortestPath shortest;
  CHeuristicEuclidianDistance euclid;
  graph.SetConstraint(&shortest);
  graph.SetHeuristic(&euclid);
  CPath path;
  path.Resize(uint32_t(n));
  // Costs from one uniform-cost sweep per start against one A* per pair, on every 9th start.
  std::vector<int32_t> first(size_t(n), 0);
  std::vector<float> cost(size_t(n), 0.0f);
  for (int s = 0; s < n; s += 9) {
    graph.SetHeuristic(nullptr);
    CZeroHeuristic zero;
    graph.SetHeuristic(&zero);
    ASSERT_TRUE(Vusk::AstarRoutesFrom(&graph, s, first.data(), cost.data()));
    graph.SetHeuristic(&euclid);
    for (int g = 0; g < n; g += 5) {
      bool found = Vusk::AstarSearch(&graph, &path, graph.GetVertex(s), graph.GetVertex(g), nullptr);
      ASSERT_EQ(found, cost[g] >= 0.0f);
      if (found) {
        ASSERT_NEAR(graph.GetVertex(g)->m_data.m_g, cost[g], 1e-4f * (1.0f + cost[g]));
      }
    }
  }
  graph.SetConstraint(nullptr);
  graph.SetHeuristic(nullptr);
}

}  // namespace
