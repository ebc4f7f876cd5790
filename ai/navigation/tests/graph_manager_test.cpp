#include <gtest/gtest.h>

#include <random>
#include <string>

#include "ai/navigation/astar.h"
#include "ai/navigation/constraint.h"
#include "ai/navigation/find_nearest_data.h"
#include "ai/navigation/graph_load_fault.h"
#include "ai/navigation/graph_manager.h"
#include "ai/navigation/path_cost_data.h"
#include "ai/navigation/spatial_graph.h"
#include "ai/navigation/tests/nav_test_support.h"
#include "ai/runtime/ais_reader.h"
#include "ai/runtime/engine.h"
#include "ai/runtime/world.h"
#include "ai/runtime/world_api.h"

using navtest::Bytes;

namespace {

using navtest::Add;
using navtest::AddDefinition;

class GraphManagerTest : public navtest::NavTest {
protected:
  // A "RawData" child holding `bytes` in memory (through the engine's world file reader).
  static CConfigNode* AddRaw(CConfigNode* parent, const Bytes& bytes) {
    CConfigNode* node = Add(parent, "RawData");
    EXPECT_TRUE(Vusk::GetAisReader()->AttachMemoryBlock(node, bytes.data(), uint32_t(bytes.size())));
    return node;
  }
  void SetUp() override {
    navtest::NavTest::SetUp();
    std::mt19937 rng(3);
    navtest::BuildRandomGraph(&m_source, rng, 40, 10.0f, 3.0f, false);
    const std::string path = navtest::TempPath("manager.bin");
    m_source.Save(path.c_str());
    m_graphBytes = navtest::ReadFileBytes(path);
    CFindNearestData nearest(&m_source);
    nearest.Build();
    nearest.Save(path.c_str());
    m_nearestBytes = navtest::ReadFileBytes(path);
    CPathCostData costs(&m_source);
    costs.Build();
    costs.Save(path.c_str());
    m_costBytes = navtest::ReadFileBytes(path);
    std::remove(path.c_str());
  }
  void TearDown() override {
    m_source.Clear();  // engine memory: back before the engine shuts down
    Vusk::ReleaseAisReader();
    navtest::NavTest::TearDown();
  }

  CSpatialGraph m_source;
  Bytes m_graphBytes, m_nearestBytes, m_costBytes;
};
AI_ENGINE_TEST_SUITE(GraphManagerTest);

TEST_P(GraphManagerTest, WorldLoadsItsGraphsAndDataAsAGlobalService) {
  CConfigNode* tree = new CConfigNode();
  Add(tree, "MaxEntity", "10");
  Add(tree, "OneMeter", "2");
  Add(tree, "Tpf", "20");
  Add(Add(tree, "GlobalServices"), "Service", "Graphs");
  CConfigNode* definition = AddDefinition(Add(tree, "Services"), "Service", "Graphs", "CGraphManager");
  // A node with children carries its name as a label.
  CConfigNode* graphNode = Add(definition, "Graph", nullptr, "MoveGraph");
  AddRaw(graphNode, m_graphBytes);
  Add(graphNode, "UpdateWithPathObjects", "1");
  Add(graphNode, "CoverageDistance", "2.5");
  CConfigNode* nearest = Add(graphNode, "AdditionalData");
  Add(nearest, "Class", "CFindNearestData");
  AddRaw(nearest, m_nearestBytes);
  Add(Add(graphNode, "AdditionalData"), "Class", "CNoSuchData");
  CConfigNode* broken = Add(graphNode, "AdditionalData");
  Add(broken, "Class", "CPathCostData");
  AddRaw(broken, Bytes(m_costBytes.begin(), m_costBytes.end() - 1));
  CConfigNode* costs = Add(graphNode, "AdditionalData");
  Add(costs, "Class", "CPathCostData");
  AddRaw(costs, m_costBytes);

  CWorld* world = Vusk::CreateWorld(tree, 0);
  ASSERT_NE(world, nullptr);
  CGraphManager* manager = Vusk::GetGraphManager();
  ASSERT_NE(manager, nullptr);
  CSpatialGraph* graph = manager->FindGraph("movegraph");
  ASSERT_NE(graph, nullptr);
  EXPECT_EQ(graph->GetVertexCount(), m_source.GetVertexCount());
  EXPECT_EQ(graph->GetEdgeCount(), m_source.GetEdgeCount());
  EXPECT_EQ(graph->GetSearchRadius(), 5.0f);  // 2.5 x OneMeter
  ASSERT_EQ(manager->GetEntryCount(), 1u);
  EXPECT_EQ(manager->GetEntry(0)->m_updateWithPathObjects, 1);
  EXPECT_EQ(manager->GetEntry(0)->m_dataCount, 2u);  // the unknown class and the short block are skipped
  // ... and the first of them is kept for the caller to say.
  EXPECT_STREQ(Vusk::GetGraphLoadFault(), "graph 'MoveGraph' names an unknown data class 'CNoSuchData'");
  EXPECT_NE(manager->FindGraphData(graph, &CFindNearestData::s_classDesc), nullptr);
  auto* table = static_cast<CPathCostData*>(manager->FindGraphData(graph, &CPathCostData::s_classDesc));
  ASSERT_NE(table, nullptr);
  EXPECT_EQ(manager->FindGraphData(&m_source, &CFindNearestData::s_classDesc), nullptr);
  EXPECT_TRUE(manager->HasGraph(graph));
  EXPECT_FALSE(manager->HasGraph(&m_source));
  EXPECT_EQ(Vusk::AstarGetBufferSize(), graph->GetVertexCount());
  // The path-cost heuristic finds its table through the world's graph manager.
  CPathCostHeuristic heuristic;
  heuristic.SetGraph(graph);
  EXPECT_EQ(heuristic.m_data, table);
  CConstraintShortestPath shortest;
  graph->SetConstraint(&shortest);
  graph->SetHeuristic(&heuristic);
  CPath path;
  path.Resize(64);
  uint8_t entry = 0;
  ASSERT_TRUE(table->GetEntry(0, 1, &entry));
  EXPECT_EQ(Vusk::AstarSearch(graph, &path, graph->GetVertex(0), graph->GetVertex(1), nullptr), entry != 255);
  graph->SetConstraint(nullptr);
  graph->SetHeuristic(nullptr);
  delete world;
  EXPECT_EQ(Vusk::AstarGetBufferSize(), 0);
  Vusk::DeleteTree(tree);
}

TEST_P(GraphManagerTest, ParametersNamesAndLimits) {
  auto graphNode = [&](CConfigNode* definition, const char* label, const char* value) {
    CConfigNode* node = Add(definition, "Graph", value, label);
    AddRaw(node, m_graphBytes);
    return node;
  };
  {
    // Names differing only in case: the second is refused, and with it the manager.
    CConfigNode definition;
    graphNode(&definition, "Main", nullptr);
    graphNode(&definition, "main", nullptr);
    CGraphManager manager;
    EXPECT_FALSE(manager.Init(&definition));
    EXPECT_EQ(manager.GetEntryCount(), 1u);
  }
  {
    // "AstarMemory" before the graphs sizes the buffers; Init leaves them as they are.
    CConfigNode definition;
    Add(&definition, "AstarMemory", "5");
    graphNode(&definition, "Main", nullptr);
    CGraphManager manager;
    ASSERT_TRUE(manager.Init(&definition));
    EXPECT_EQ(Vusk::AstarGetBufferSize(), 5);
    // A search on the larger graph still works: the buffers grow instead of being overrun.
    CSpatialGraph* graph = manager.FindGraph("MAIN");
    CConstraintShortestPath shortest;
    CHeuristicEuclidianDistance euclid;
    graph->SetConstraint(&shortest);
    graph->SetHeuristic(&euclid);
    CPath path;
    path.Resize(64);
    Vusk::AstarSearch(graph, &path, graph->GetVertex(0), graph->GetVertex(graph->GetVertexCount() - 1), nullptr);
    EXPECT_GE(Vusk::AstarGetBufferSize(), graph->GetVertexCount());
    graph->SetConstraint(nullptr);
    graph->SetHeuristic(nullptr);
  }
  {
    // A value names the graph when there is one; a 200-character name is kept cut to 127 characters.
    CConfigNode definition;
    graphNode(&definition, "Label", "Valued");
    std::string longName(200, 'n');
    graphNode(&definition, longName.c_str(), nullptr);
    CGraphManager manager;
    ASSERT_TRUE(manager.Init(&definition));
    EXPECT_NE(manager.FindGraph("valued"), nullptr);
    EXPECT_EQ(manager.FindGraph("Label"), nullptr);
    EXPECT_EQ(manager.FindGraph(longName.c_str()), nullptr);
    EXPECT_NE(manager.FindGraph(longName.substr(0, 127).c_str()), nullptr);
    EXPECT_EQ(std::string(manager.GetEntry(1)->m_name).size(), 127u);
  }
  {
    // A graph without name or raw data, a block that is no graph, or an unknown key fails Init.
    CConfigNode noName, noRaw, notAGraph, unknown;
    Add(&noName, "Graph")->AddChild()->SetName("RawData");
    Add(&noRaw, "Graph", nullptr, "Main");
    AddRaw(Add(&notAGraph, "Graph", nullptr, "Main"), m_nearestBytes);
    Add(&unknown, "Graphs", "1");
    for (CConfigNode* definition : {&noName, &noRaw, &notAGraph, &unknown}) {
      CGraphManager manager;
      EXPECT_FALSE(manager.Init(definition));
    }
    CGraphManager manager;
    EXPECT_FALSE(manager.Init(nullptr));
  }
  {
    // Room for 32 data objects per graph: a 33rd is refused and the entry stays sound.
    CConfigNode definition;
    CConfigNode* node = graphNode(&definition, "Main", nullptr);
    for (int i = 0; i < 33; ++i) {
      CConfigNode* data = Add(node, "AdditionalData");
      Add(data, "Class", "CFindNearestData");
      AddRaw(data, m_nearestBytes);
    }
    CGraphManager manager;
    ASSERT_TRUE(manager.Init(&definition));
    EXPECT_EQ(manager.GetEntry(0)->m_dataCount, CGraphEntry::kMaxDataObjects);
  }
  {
    // More than eight graphs grow the entry table.
    CConfigNode definition;
    for (int i = 0; i < 9; ++i) graphNode(&definition, std::string("G").append(std::to_string(i)).c_str(), nullptr);
    CGraphManager manager;
    ASSERT_TRUE(manager.Init(&definition));
    EXPECT_EQ(manager.GetEntryCount(), 9u);
    EXPECT_NE(manager.FindGraph("g8"), nullptr);
  }
}

}  // namespace
