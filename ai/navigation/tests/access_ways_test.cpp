#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "ai/navigation/access_ways_data.h"
#include "ai/navigation/spatial_graph.h"
#include "ai/navigation/tests/nav_test_support.h"
#include "ai/runtime/world.h"
#include "ai/runtime/world_api.h"

using navtest::Add;
using navtest::Bytes;

namespace {

// A world of OneMeter 1, so that the sight offsets are in metres.
class AccessWaysTest : public navtest::NavTest {
protected:
  void SetUp() override {
    navtest::NavTest::SetUp();
    m_tree = new CConfigNode();
    Add(m_tree, "MaxEntity", "4");
    Add(m_tree, "OneMeter", "1");
    Add(m_tree, "Tpf", "20");
    m_world = Vusk::CreateWorld(m_tree, 0);
    ASSERT_NE(m_world, nullptr);
  }
  void TearDown() override {
    delete m_world;
    Vusk::DeleteTree(m_tree);
    navtest::NavTest::TearDown();
  }

  static void Link(CSpatialGraph* graph, int a, int b) {
    CGraphEdgeData data;
    graph->AddEdge(data, graph->GetVertex(a), graph->GetVertex(b), -1);
    graph->AddEdge(data, graph->GetVertex(b), graph->GetVertex(a), -1);
  }
  static std::vector<int> Ways(const CAccessWaysData& data, int v) {
    const uint16_t* edges = nullptr;
    int count = data.GetAccessWays(v, &edges);
    return std::vector<int>(edges, edges + count);
  }

  CConfigNode* m_tree = nullptr;
  CWorld* m_world = nullptr;
};
AI_ENGINE_TEST_SUITE(AccessWaysTest);

TEST_P(AccessWaysTest, WaysLeadFromHiddenToSeenVertices) {
  EXPECT_TRUE(Vusk::CheckNavigationClasses());
  // Two chains of four vertices, x < 5 and x > 5, linked across x = 5 by vertex 3 <-> 4.
  CSpatialGraph graph;
  const float xs[8] = {0, 1, 2, 3, 7, 8, 9, 10};
  for (float x : xs) graph.AddVertexAt(CVector3(x, 0.5f, 0.0f));
  for (int i = 0; i + 1 < 8; ++i) Link(&graph, i, i + 1);

  // An open room: every vertex sees every other one, so nothing comes into view.
  CAccessWaysData open(&graph);
  ASSERT_TRUE(open.Build());
  for (int v = 0; v < 8; ++v) EXPECT_TRUE(Ways(open, v).empty()) << v;

  // A waist-high wall between the chains hides nothing: the raised lines pass over it.
  Host().AddBox(4.9f, -1.0f, -20.0f, 5.1f, 1.0f, 20.0f);
  CAccessWaysData low(&graph);
  ASSERT_TRUE(low.Build());
  for (int v = 0; v < 8; ++v) EXPECT_TRUE(Ways(low, v).empty()) << v;

  // A full wall: for a vertex on one side, the only way into view is the edge from the other side's
  // first vertex onto this side, and never the edge back.
  Host().ClearBoxes();
  Host().AddBox(4.9f, -1.0f, -20.0f, 5.1f, 5.0f, 20.0f);
  CAccessWaysData wall(&graph);
  ASSERT_TRUE(wall.Build());
  CGraphEdge* in_left = graph.FindEdgeTo(graph.GetVertex(4), graph.GetVertex(3));
  CGraphEdge* in_right = graph.FindEdgeTo(graph.GetVertex(3), graph.GetVertex(4));
  for (int v = 0; v < 8; ++v) {
    EXPECT_EQ(Ways(wall, v), std::vector<int>{(v < 4 ? in_left : in_right)->GetIndex()}) << v;
  }
  EXPECT_EQ(wall.GetAccessWays(8, nullptr), 0);

  // Vertices straight above one another (stacked floors) and on the same spot: every sight line the host
  // is asked about is finite.
  Host().AddBox(-5.0f, 1.9f, -5.0f, 5.0f, 2.1f, 5.0f);
  CSpatialGraph stacked;
  stacked.AddVertexAt(CVector3(0.0f, 0.5f, 0.0f));
  stacked.AddVertexAt(CVector3(0.0f, 3.5f, 0.0f));
  stacked.AddVertexAt(CVector3(0.0f, 3.5f, 0.0f));
  Link(&stacked, 0, 1);
  Link(&stacked, 1, 2);
  CAccessWaysData floors(&stacked);
  ASSERT_TRUE(floors.Build());
  for (const FakeQuery& q : Host().LineOfSightQueries()) {
    for (int i = 0; i < 3; ++i) ASSERT_TRUE(std::isfinite(q.from[i]) && std::isfinite(q.to[i]));
  }
  // Edges 0: 0->1, 1: 1->0, 2: 1->2, 3: 2->1. The slab hides the upper vertices from the lower one.
  EXPECT_EQ(Ways(floors, 0), std::vector<int>{1});
  EXPECT_EQ(Ways(floors, 1), std::vector<int>{0});
  EXPECT_EQ(Ways(floors, 2), std::vector<int>{0});

  // Nothing to build on: no vertex, no edge, free slots.
  CSpatialGraph empty;
  EXPECT_FALSE(CAccessWaysData(&empty).Build());
  empty.AddVertexAt(CVector3(0, 0, 0));
  EXPECT_FALSE(CAccessWaysData(&empty).Build());
  graph.RemoveVertex(2);
  EXPECT_FALSE(CAccessWaysData(&graph).Build());
}

TEST_P(AccessWaysTest, FilesRoundTripAndHostileFilesFailCleanly) {
  CSpatialGraph graph;
  const float xs[6] = {0, 1, 2, 8, 9, 10};
  for (float x : xs) graph.AddVertexAt(CVector3(x, 0.5f, 0.0f));
  for (int i = 0; i + 1 < 6; ++i) Link(&graph, i, i + 1);
  Host().AddBox(4.9f, -1.0f, -20.0f, 5.1f, 5.0f, 20.0f);
  CAccessWaysData built(&graph);
  ASSERT_TRUE(built.Build());
  const std::string path = navtest::TempPath("ways.bin");
  const Bytes bytes = navtest::SaveBytes(&built, path);
  ASSERT_EQ(bytes.size(), 23u + 4u + 2u + 2u * 6u + 2u * 6u);  // one way per vertex

  // Through a "RawData" block, then saved again: the same bytes.
  navtest::MemoryRawData raw;
  CConfigNode node;
  CConfigNode* block = Add(&node, "RawData");
  raw.Attach(block, bytes);
  CAccessWaysData loaded(&graph);
  ASSERT_TRUE(loaded.Load(&node));
  EXPECT_EQ(navtest::SaveBytes(&loaded, path), bytes);
  for (int v = 0; v < 6; ++v) EXPECT_EQ(Ways(loaded, v), Ways(built, v));

  auto load = [&](const Bytes& file, CSpatialGraph* owner) {
    CAccessWaysData data(owner);
    return navtest::LoadBytes(&data, file);
  };
  // Every truncation fails.
  for (size_t size = 0; size < bytes.size(); ++size) {
    EXPECT_FALSE(load(Bytes(bytes.begin(), bytes.begin() + long(size)), &graph)) << size;
  }
  // A stored N other than the graph's, a negative N, a negative count; N = 0 for a graph without vertices
  // loads, holding nothing.
  CSpatialGraph smaller;
  smaller.AddVertexAt(CVector3(0, 0, 0));
  EXPECT_FALSE(load(bytes, &smaller));
  Bytes bad = bytes;
  bad[27] = 0xff;
  bad[28] = 0xff;
  EXPECT_FALSE(load(bad, &graph));
  CSpatialGraph none;
  Bytes zero = bytes;
  zero.resize(29);
  zero[27] = zero[28] = 0;
  EXPECT_TRUE(load(zero, &none));
  EXPECT_FALSE(load(zero, &graph));
  // Data of no vertices, loaded or never built, saves as that same file.
  CAccessWaysData empty(&none);
  ASSERT_TRUE(navtest::LoadBytes(&empty, zero));
  EXPECT_EQ(navtest::SaveBytes(&empty, path), zero);
  CAccessWaysData unbuilt(&none);
  EXPECT_EQ(navtest::SaveBytes(&unbuilt, path), zero);
  bad = bytes;
  bad[30] = 0x80;  // count of vertex 0: -32767
  EXPECT_FALSE(load(bad, &graph));
  // A huge count asks only for what one vertex can hold and fails at the end of the data.
  bad = bytes;
  bad[29] = 0xff;
  bad[30] = 0x7f;
  EXPECT_FALSE(load(bad, &graph));

  // A write that comes up short is reported.
  for (long budget = 0; budget < 4; ++budget) {
    WriteBudget() = budget;
    EXPECT_FALSE(built.Save(path.c_str())) << budget;
  }
  WriteBudget() = -1;
}

}  // namespace
