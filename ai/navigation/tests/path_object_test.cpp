#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "ai/navigation/astar.h"
#include "ai/navigation/constraint.h"
#include "ai/navigation/graph_manager.h"
#include "ai/navigation/path_object.h"
#include "ai/navigation/spatial_graph.h"
#include "ai/navigation/tests/nav_test_support.h"
#include "ai/runtime/world.h"
#include "ai/runtime/world_api.h"

namespace {

class PathObjectTest : public navtest::NavTest {};
AI_ENGINE_TEST_SUITE(PathObjectTest);

// A door: its edges cost ten times their length while it is shut.
class TestDoor : public CPathObject {
public:
  explicit TestDoor(const char* name) : CPathObject(name, nullptr) {}
  const CEntityClassDesc* GetClassDesc() const override { return &CPathObject::s_classDesc; }
  void Update() override {}
  void LinkToGraph(CSpatialGraph*) override {}
  bool GetEdgeCost(CEntity* context, CGraphEdge* edge, CConstraint* constraint, float* cost) override {
    ++priced;
    if (!CPathObject::GetEdgeCost(context, edge, constraint, cost)) return false;
    *cost *= 10.0f;
    return !locked;
  }
  int priced = 0;
  bool locked = false;
};

struct Heard {
  std::vector<std::pair<void*, void*>> calls;  // (argument, context)
};
void Listen(void* argument, void* context) { static_cast<Heard*>(context)->calls.emplace_back(argument, context); }

// A world whose only global service is a graph manager.
CWorld* CreateWorldWithGraphs(CConfigNode* tree) {
  navtest::Add(tree, "MaxEntity", "4");
  navtest::Add(tree, "OneMeter", "1");
  navtest::Add(tree, "Tpf", "20");
  navtest::Add(navtest::Add(tree, "GlobalServices"), "Service", "Graphs");
  navtest::AddDefinition(navtest::Add(tree, "Services"), "Service", "Graphs", "CGraphManager");
  return Vusk::CreateWorld(tree, 0);
}

TEST_P(PathObjectTest, LinksChainAndPriceEdges) {
  CSpatialGraph graph;
  CGraphVertex* a = graph.AddVertexAt(CVector3(0, 0, 0));
  CGraphVertex* b = graph.AddVertexAt(CVector3(1, 0, 0));
  CGraphVertex* c = graph.AddVertexAt(CVector3(1, 0, 1));
  CGraphEdgeData data;
  data.m_length = data.m_cost = 1.0f;
  graph.AddEdge(data, a, b, -1);
  data.m_length = data.m_cost = 1.5f;
  graph.AddEdge(data, a, c, -1);
  data.m_length = data.m_cost = 1.0f;
  graph.AddEdge(data, c, b, -1);
  CGraphEdge* ab = graph.GetEdge(0);
  TestDoor first("first"), second("second");
  CConfigNode definition;
  ASSERT_TRUE(first.Init(&definition));
  ASSERT_TRUE(second.Init(&definition));
  EXPECT_EQ(first.GetLinkedEdgeMax(), CPathObject::kDefaultLinkedEdgeMax);

  // Two objects on one edge: the later is the link; taking it away restores the first.
  ASSERT_TRUE(first.AddLinkedEdge(&graph, ab));
  ASSERT_TRUE(second.AddLinkedEdge(&graph, ab));
  EXPECT_EQ(ab->GetPathObject(), &second);
  EXPECT_TRUE(second.AddLinkedEdge(&graph, ab));  // already held: nothing changes
  EXPECT_EQ(second.GetLinkedEdgeCount(), 1u);
  ASSERT_TRUE(second.RemoveLinkedEdge(&graph, ab));
  EXPECT_EQ(ab->GetPathObject(), &first);
  // Taking the first away while the later stays keeps the later and drops the first from the chain.
  ASSERT_TRUE(first.RemoveLinkedEdge(&graph, ab));
  EXPECT_EQ(ab->GetPathObject(), nullptr);
  TestDoor third("third"), fourth("fourth");
  ASSERT_TRUE(third.Init(&definition));
  ASSERT_TRUE(fourth.Init(&definition));
  third.AddLinkedEdge(&graph, ab);
  fourth.AddLinkedEdge(&graph, ab);
  ASSERT_TRUE(third.RemoveLinkedEdge(&graph, ab));
  EXPECT_EQ(ab->GetPathObject(), &fourth);
  EXPECT_EQ(fourth.GetLinkedEdge(0)->m_previous, nullptr);
  EXPECT_FALSE(third.RemoveLinkedEdge(&graph, graph.GetEdge(1)));  // holds no record of it
  EXPECT_FALSE(third.AddLinkedEdge(nullptr, ab));

  // The search asks the linked object, and the search radius leaves the linked edge out.
  EXPECT_EQ(graph.GetSearchRadius(), 1.5f * std::sqrt(CVector3::DistanceSquared(a->GetPosition(), c->GetPosition())));
  CConstraintShortestPath shortest;
  CHeuristicEuclidianDistance euclid;
  graph.SetConstraint(&shortest);
  graph.SetHeuristic(&euclid);
  CPath path;
  path.Resize(4);
  ASSERT_TRUE(Vusk::AstarSearch(&graph, &path, a, b, nullptr));
  EXPECT_GT(fourth.priced, 0);
  EXPECT_EQ(ab->GetCost(), 10.0f);
  EXPECT_EQ(path.m_pointCount, 3);  // around the door: a, c, b
  fourth.locked = true;             // a refused price closes the edge for the search
  ASSERT_TRUE(Vusk::AstarSearch(&graph, &path, a, b, nullptr));
  EXPECT_EQ(path.m_vertexIndices[1], c->GetIndex());
  EXPECT_EQ(path.m_pathObjects[0], nullptr);
  graph.GetEdge(1)->SetClosed(1);
  EXPECT_FALSE(Vusk::AstarSearch(&graph, &path, a, b, nullptr));
  fourth.locked = false;
  ASSERT_TRUE(Vusk::AstarSearch(&graph, &path, a, b, nullptr));
  EXPECT_EQ(path.m_pathObjects[0], &fourth);
  graph.SetConstraint(nullptr);
  graph.SetHeuristic(nullptr);

  // "LinkedEdgeMax": 0 means 1, a negative value is refused; the record array is never overrun.
  CConfigNode zero, negative;
  zero.AddChild()->SetName("LinkedEdgeMax");
  zero.GetChild(0)->SetValue("0");
  negative.AddChild()->SetName("LinkedEdgeMax");
  negative.GetChild(0)->SetValue("-4");
  TestDoor small("small"), bad("bad");
  ASSERT_TRUE(small.Init(&zero));
  EXPECT_EQ(small.GetLinkedEdgeMax(), 1u);
  EXPECT_TRUE(small.AddLinkedEdge(&graph, graph.GetEdge(1)));
  EXPECT_FALSE(small.AddLinkedEdge(&graph, graph.GetEdge(2)));
  EXPECT_FALSE(bad.Init(&negative));
  // Moves: the target is the path point; reached when the squared distance is below OneMeter (0 here).
  bool reached = true;
  CVector3 target;
  EXPECT_FALSE(small.ComputeMove(&first, CVector3(2, 0, 0), nullptr, &reached, &target));
  EXPECT_FALSE(reached);
  EXPECT_EQ(target.x, 2.0f);
  EXPECT_TRUE(small.CanLeave(&first));
  EXPECT_FALSE(small.NeedsRepath(&first));
  EXPECT_EQ(small.GetSegmentCount(), 0u);
}

TEST_P(PathObjectTest, UnlinkingFromTheManagersGraphsTellsTheListeners) {
  CConfigNode tree;
  CWorld* world = CreateWorldWithGraphs(&tree);
  ASSERT_NE(world, nullptr);
  CGraphManager* manager = Vusk::GetGraphManager();
  ASSERT_NE(manager, nullptr);
  CSpatialGraph* linked = new CSpatialGraph();
  CSpatialGraph* plain = new CSpatialGraph();
  for (CSpatialGraph* graph : {linked, plain}) {
    CGraphVertex* a = graph->AddVertexAt(CVector3(0, 0, 0));
    CGraphVertex* b = graph->AddVertexAt(CVector3(1, 0, 0));
    graph->AddEdge(CGraphEdgeData(), a, b, -1);
  }
  ASSERT_NE(manager->AddGraph("Linked", linked, true), nullptr);
  ASSERT_NE(manager->AddGraph("Plain", plain, false), nullptr);
  CSpatialGraph outside;
  outside.AddEdge(CGraphEdgeData(), outside.AddVertexAt(CVector3(0, 0, 0)), outside.AddVertexAt(CVector3(0, 0, 1)), -1);
  auto* door = new TestDoor("door");
  CConfigNode definition;
  ASSERT_TRUE(door->Init(&definition));
  door->SetManager(manager);  // any manager makes it tell the callbacks
  ASSERT_TRUE(door->AddLinkedEdge(linked, linked->GetEdge(0)));
  ASSERT_TRUE(door->AddLinkedEdge(plain, plain->GetEdge(0)));
  ASSERT_TRUE(door->AddLinkedEdge(&outside, outside.GetEdge(0)));
  Heard heard;
  ASSERT_TRUE(Vusk::AddGraphChangeCallback(&Listen, &heard, nullptr));
  door->UnlinkFromGraphs();
  EXPECT_EQ(heard.calls.size(), 1u);  // one graph wants path objects
  EXPECT_EQ(heard.calls[0].first, door);
  EXPECT_EQ(linked->GetEdge(0)->GetPathObject(), nullptr);
  EXPECT_EQ(plain->GetEdge(0)->GetPathObject(), nullptr);
  EXPECT_EQ(outside.GetEdge(0)->GetPathObject(), door);  // not a graph of the manager
  ASSERT_EQ(door->GetLinkedEdgeCount(), 1u);             // so its record stays
  EXPECT_EQ(door->GetLinkedEdge(0)->m_edge, outside.GetEdge(0));
  // Deleted, the door leaves that edge too: a search there asks nobody freed.
  delete door;
  EXPECT_EQ(outside.GetEdge(0)->GetPathObject(), nullptr);
  CConstraintShortestPath shortest;
  CZeroHeuristic zero;
  outside.SetConstraint(&shortest);
  outside.SetHeuristic(&zero);
  CPath path;
  path.Resize(2);
  CGraphEdge* edge = outside.GetEdge(0);
  EXPECT_TRUE(Vusk::AstarSearch(&outside, &path, edge->GetSource(), edge->GetDestination(), nullptr));
  outside.SetConstraint(nullptr);
  outside.SetHeuristic(nullptr);
  delete world;
}

// Every record goes with its link: after any sequence of links and unlinks the chain of an edge holds
// exactly the objects linked to it and not unlinked since, newest first, so an object that left is
// never the edge's link again and an object linked again is really linked.
TEST_P(PathObjectTest, UnlinkedObjectsLeaveNoRecordBehind) {
  CSpatialGraph graph;
  CGraphEdge* ab = graph.GetEdge(
      graph.AddEdge(CGraphEdgeData(), graph.AddVertexAt(CVector3(0, 0, 0)), graph.AddVertexAt(CVector3(1, 0, 0)), -1));
  CConfigNode definition;
  // Steps: '+' links object n, '-' unlinks it.
  const struct {
    const char* steps;
  } cases[] = {{"+0+1-1-0+1-1"}, {"+0-0+1+0"}, {"+0+1-0+0-1-0"}, {"+0+0-0+1"}, {"+1+0+2-0-2+0-1"}};
  for (const auto& c : cases) {
    TestDoor* doors[3];
    for (auto*& door : doors) {
      door = new TestDoor("door");
      ASSERT_TRUE(door->Init(&definition));
    }
    std::vector<TestDoor*> chain;  // expected links, oldest first
    for (const char* step = c.steps; step[0] != '\0'; step += 2) {
      TestDoor* door = doors[step[1] - '0'];
      const bool linked = std::find(chain.begin(), chain.end(), door) != chain.end();
      if (step[0] == '+') {
        EXPECT_TRUE(door->AddLinkedEdge(&graph, ab)) << c.steps;
        if (!linked) chain.push_back(door);
      } else {
        EXPECT_EQ(door->RemoveLinkedEdge(&graph, ab), linked) << c.steps;
        chain.erase(std::remove(chain.begin(), chain.end(), door), chain.end());
      }
      // Walk the edge's chain and compare.
      std::vector<TestDoor*> seen;
      for (CPathObject* object = ab->GetPathObject(); object != nullptr && seen.size() < 4;) {
        seen.insert(seen.begin(), static_cast<TestDoor*>(object));
        const CLinkedEdge* record = nullptr;
        for (uint32_t i = 0; i < object->GetLinkedEdgeCount(); ++i) {
          if (object->GetLinkedEdge(i)->m_edge == ab) record = object->GetLinkedEdge(i);
        }
        object = record != nullptr ? record->m_previous : nullptr;
      }
      EXPECT_EQ(seen, chain) << c.steps << " after step " << (step - c.steps) / 2;
      for (TestDoor* d : doors) {
        const bool held = std::find(chain.begin(), chain.end(), d) != chain.end();
        EXPECT_EQ(d->GetLinkedEdgeCount(), held ? 1u : 0u) << c.steps;
      }
    }
    for (TestDoor* door : doors) delete door;
    EXPECT_EQ(ab->GetPathObject(), nullptr) << c.steps;
  }
}

TEST_P(PathObjectTest, GraphChangeCallbacksReachWhoAsked) {
  int graphA = 0, graphB = 0, argument = 0;
  Heard onA, onAll, onB;
  ASSERT_TRUE(Vusk::AddGraphChangeCallback(&Listen, &onA, &graphA));
  ASSERT_TRUE(Vusk::AddGraphChangeCallback(&Listen, &onAll, nullptr));
  ASSERT_TRUE(Vusk::AddGraphChangeCallback(&Listen, &onB, &graphB));
  Vusk::NotifyGraphChange(&argument, &graphA);
  EXPECT_EQ(onA.calls.size(), 1u);
  EXPECT_EQ(onAll.calls.size(), 1u);
  EXPECT_EQ(onB.calls.size(), 0u);
  EXPECT_EQ(onA.calls[0].first, &argument);
  Vusk::NotifyGraphChange(&argument, nullptr);  // every graph
  EXPECT_EQ(onB.calls.size(), 1u);
  EXPECT_EQ(onAll.calls.size(), 2u);
  Vusk::RemoveGraphChangeCallback(&Listen, &onA, &graphB);  // no such entry: nothing
  Vusk::RemoveGraphChangeCallback(&Listen, &onA, &graphA);
  Vusk::NotifyGraphChange(&argument, &graphA);
  EXPECT_EQ(onA.calls.size(), 2u);  // the earlier two, nothing after its removal
  // A full table grows and keeps its entries.
  std::vector<Heard> many(40);
  for (auto& heard : many) ASSERT_TRUE(Vusk::AddGraphChangeCallback(&Listen, &heard, &graphB));
  Vusk::NotifyGraphChange(&argument, &graphB);
  for (auto& heard : many) EXPECT_EQ(heard.calls.size(), 1u);
  EXPECT_EQ(onB.calls.size(), 2u);
  EXPECT_FALSE(Vusk::AddGraphChangeCallback(nullptr, &onA, &graphA));
}

// Deleting an edge, a vertex or every record of a graph drops the edge from every path object that holds
// it (linked, or further down the chain), so unlinking later touches no freed edge.
TEST_P(PathObjectTest, DeletedEdgesLeaveNoRecordBehind) {
  CConfigNode tree;
  CWorld* world = CreateWorldWithGraphs(&tree);
  ASSERT_NE(world, nullptr);
  CGraphManager* manager = Vusk::GetGraphManager();
  ASSERT_NE(manager, nullptr);
  CSpatialGraph* graph = new CSpatialGraph();
  ASSERT_NE(manager->AddGraph("Linked", graph, true), nullptr);
  CGraphVertex* a = graph->AddVertexAt(CVector3(0, 0, 0));
  CGraphVertex* b = graph->AddVertexAt(CVector3(1, 0, 0));
  CGraphVertex* c = graph->AddVertexAt(CVector3(1, 0, 1));
  CGraphEdge* ab = graph->GetEdge(graph->AddEdge(CGraphEdgeData(), a, b, -1));
  CGraphEdge* bc = graph->GetEdge(graph->AddEdge(CGraphEdgeData(), b, c, -1));
  CGraphEdge* ca = graph->GetEdge(graph->AddEdge(CGraphEdgeData(), c, a, -1));
  TestDoor older("older"), newer("newer");
  CConfigNode definition;
  ASSERT_TRUE(older.Init(&definition));
  ASSERT_TRUE(newer.Init(&definition));
  ASSERT_TRUE(older.AddLinkedEdge(graph, ab));
  ASSERT_TRUE(newer.AddLinkedEdge(graph, ab));  // older is further down the chain of ab
  ASSERT_TRUE(older.AddLinkedEdge(graph, bc));
  ASSERT_TRUE(older.AddLinkedEdge(graph, ca));
  ASSERT_EQ(older.GetLinkedEdgeCount(), 3u);

  ASSERT_TRUE(graph->RemoveEdge(ab->GetIndex()));
  EXPECT_EQ(newer.GetLinkedEdgeCount(), 0u);
  ASSERT_EQ(older.GetLinkedEdgeCount(), 2u);
  EXPECT_EQ(older.GetLinkedEdge(0)->m_edge, bc);
  EXPECT_EQ(older.GetLinkedEdge(1)->m_edge, ca);
  ASSERT_TRUE(graph->RemoveVertex(c->GetIndex()));  // takes bc and ca with it
  EXPECT_EQ(older.GetLinkedEdgeCount(), 0u);

  CGraphEdge* ba = graph->GetEdge(graph->AddEdge(CGraphEdgeData(), b, a, -1));
  ASSERT_TRUE(older.AddLinkedEdge(graph, ba));
  ASSERT_TRUE(newer.AddLinkedEdge(graph, ba));
  graph->Clear();
  EXPECT_EQ(older.GetLinkedEdgeCount(), 0u);
  EXPECT_EQ(newer.GetLinkedEdgeCount(), 0u);

  // Unlinking afterwards finds nothing to undo.
  a = graph->AddVertexAt(CVector3(0, 0, 0));
  b = graph->AddVertexAt(CVector3(1, 0, 0));
  ab = graph->GetEdge(graph->AddEdge(CGraphEdgeData(), a, b, -1));
  ASSERT_TRUE(newer.AddLinkedEdge(graph, ab));
  older.UnlinkFromGraphs();
  newer.UnlinkFromGraphs();
  EXPECT_EQ(ab->GetPathObject(), nullptr);
  delete world;
}

// A path object deleted while still linked takes itself out of the chains of its edges, so that no search
// asks a freed object for a price.
TEST_P(PathObjectTest, DeletedPathObjectsLeaveTheirEdges) {
  CSpatialGraph graph;
  CGraphVertex* a = graph.AddVertexAt(CVector3(0, 0, 0));
  CGraphVertex* b = graph.AddVertexAt(CVector3(1, 0, 0));
  CGraphEdgeData data;
  data.m_length = 1.0f;
  CGraphEdge* ab = graph.GetEdge(graph.AddEdge(data, a, b, -1));
  CConfigNode definition;
  auto* oldest = new TestDoor("oldest");
  auto* middle = new TestDoor("middle");
  auto* newest = new TestDoor("newest");
  for (TestDoor* door : {oldest, middle, newest}) {
    ASSERT_TRUE(door->Init(&definition));
    ASSERT_TRUE(door->AddLinkedEdge(&graph, ab));
  }
  delete middle;  // out of the middle of the chain
  EXPECT_EQ(ab->GetPathObject(), newest);
  EXPECT_EQ(newest->GetLinkedEdge(0)->m_previous, oldest);
  delete newest;  // the link goes back to the oldest
  EXPECT_EQ(ab->GetPathObject(), oldest);
  CConstraintShortestPath shortest;
  CZeroHeuristic zero;
  graph.SetConstraint(&shortest);
  graph.SetHeuristic(&zero);
  CPath path;
  path.Resize(2);
  ASSERT_TRUE(Vusk::AstarSearch(&graph, &path, a, b, nullptr));
  EXPECT_EQ(oldest->priced, 1);
  delete oldest;
  EXPECT_EQ(ab->GetPathObject(), nullptr);
  ASSERT_TRUE(Vusk::AstarSearch(&graph, &path, a, b, nullptr));
  EXPECT_EQ(path.m_pathObjects[0], nullptr);
  graph.SetConstraint(nullptr);
  graph.SetHeuristic(nullptr);
}

}  // namespace
