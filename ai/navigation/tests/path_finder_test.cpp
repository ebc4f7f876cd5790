// Path finder, its strategies and path objects, driven through a kinematic host: the host turns and
// moves each body by the actions its brain applies.

#include <cmath>
#include <cstdlib>
#include <set>

#include <gtest/gtest.h>

#include "ai/navigation/astar_data.h"
#include "ai/navigation/constraint.h"
#include "ai/navigation/graph_manager.h"
#include "ai/navigation/path_finder.h"
#include "ai/navigation/path_object.h"
#include "ai/navigation/path_object_manager.h"
#include "ai/navigation/path_strategies.h"
#include "ai/navigation/point_mapper.h"
#include "ai/navigation/spatial_graph.h"
#include "ai/runtime/action.h"
#include "ai/runtime/agent.h"
#include "ai/runtime/time_manager.h"
#include "ai/runtime/world.h"
#include "ai/runtime/world_api.h"
#include "testing/fake_ai_host.h"
#include "tools/ai_scenario/scenario_kit.h"

namespace {

using scenario::Add;
using scenario::AddDefinition;
using scenario::HostBody;

// Agent "TestGoalAgent": walks its entity to `goal` through the brain's path finder.
class GoalAgent : public CAgent {
public:
  using CAgent::CAgent;
  bool Init(CConfigNode* definition) override {
    pathFinder = static_cast<CPathFinder*>(GetBrain()->GetService(&IPathFinder::s_classDesc));
    return CAgent::Init(definition) && pathFinder != nullptr;
  }
  bool ReadParam(CConfigNode*) override { return false; }
  const CAgentDesc* GetClassDesc() const override { return &s_desc; }
  bool IsReady() override { return true; }
  bool Think() override {
    GetActionClass()->ClearActions();
    lastResult = pathFinder->FindNextMoveToPosition(goal);
    ++thinks;
    if (!lastResult) return false;
    GetActionClass()->CopyFrom(pathFinder->GetActionClass());
    return true;
  }
  static CAgent* Create(CBrain* brain) { return new GoalAgent(brain); }
  static CAgentDesc s_desc;

  CPathFinder* pathFinder = nullptr;
  CVector3 goal;
  bool lastResult = false;
  int thinks = 0;
};
CAgentDesc GoalAgent::s_desc("TestGoalAgent", &GoalAgent::Create, nullptr, false, false);

// Path object "TestDoor": takes charge of every edge that crosses z = 0 at x < 0; closed, it refuses
// them.
class TestDoor : public CPathObject {
public:
  using CPathObject::CPathObject;
  const CEntityClassDesc* GetClassDesc() const override { return &s_desc; }
  void Update() override {}
  void LinkToGraph(CSpatialGraph* graph) override {
    for (int32_t i = 0; i <= graph->GetLastEdgeIndex(); ++i) {
      CGraphEdge* edge = graph->GetEdge(i);
      if (edge == nullptr) continue;
      const CVector3& a = edge->GetSource()->GetPosition();
      const CVector3& b = edge->GetDestination()->GetPosition();
      if ((a.z <= 0.0f) != (b.z <= 0.0f) && a.x < 0.0f && b.x < 0.0f) AddLinkedEdge(graph, edge);
    }
  }
  bool GetEdgeCost(CEntity* context, CGraphEdge* edge, CConstraint* constraint, float* cost) override {
    ++costQueries;
    return !Ends("GetEdgeCost") && !closed && CPathObject::GetEdgeCost(context, edge, constraint, cost);
  }
  bool ComputeMove(CEntity* owner, const CVector3& pathPoint, CActionClass* actions, bool* reached,
                   CVector3* target) override {
    ++moves;
    return !Ends("ComputeMove") && CPathObject::ComputeMove(owner, pathPoint, actions, reached, target);
  }
  bool CanLeave(CEntity*) override { return !Ends("CanLeave") && !holding; }
  bool NeedsRepath(CEntity*) override { return Ends("NeedsRepath"); }
  // Once asked through `function`, ends the victim or the door itself (deleted, or destroyed by the host).
  bool Ends(const char* function) {
    if (endIn == nullptr || std::string(endIn) != function) return false;
    endIn = nullptr;
    CEntity* const gone = victim != nullptr ? victim : this;
    endByHost ? Vusk::DestroyEntity(gone) : delete gone;
    return true;
  }
  uint32_t GetSegmentCount() override { return Ends("GetSegmentCount") ? 1 : segmentCount; }  // 1: itself maybe gone
  CPathSegment* GetSegments() override {
    for (CPathSegment& s : segments) s.m_a = CVector3(-4, 0, 0), s.m_b = CVector3(0, 0, 0);
    CPathSegment* const handed = segments;
    Ends("GetSegments");
    return handed;
  }
  static CEntity* Create(const char* name, void* host) { return new TestDoor(name, host); }
  static CEntityClassDesc s_desc;

  bool closed = false, holding = false;
  const char* endIn = nullptr;
  bool endByHost = false;
  TestDoor* victim = nullptr;
  uint32_t segmentCount = 1;  // up to 2
  int costQueries = 0, moves = 0;
  CPathSegment segments[2];
};
CEntityClassDesc TestDoor::s_desc("TestDoor", &TestDoor::Create, &CPathObject::s_classDesc);

// Constraint "TestCountingConstraint": shortest path, counting its cost queries (one A* run asks at
// least once).
class CountingConstraint : public CConstraintShortestPath {
public:
  const CConstraintDesc* GetClassDesc() const override { return &s_desc; }
  bool GetEdgeCost(CEntity* context, CGraphEdge* edge, float* cost) override {
    ++queries;
    return CConstraintShortestPath::GetEdgeCost(context, edge, cost);
  }
  static CConstraint* Create() { return new CountingConstraint(); }
  static CConstraintDesc s_desc;
  static int queries;
};
CConstraintDesc CountingConstraint::s_desc("TestCountingConstraint", &CountingConstraint::Create,
                                           &CConstraint::s_classDesc);
int CountingConstraint::queries = 0;

class PathFinderTest : public AiEngineTest {
protected:
  void SetUp() override {
    AiEngineTest::SetUp();
    Host().SetTime(1.0);
  }
  void TearDown() override {
    m_scene.reset();
    AiEngineTest::TearDown();
  }

  // A 9 x 9 grid (1 unit apart) around a box; world tasks with the given ASTAR call limit.
  void MakeScene(float boxMinX, float boxMaxX, float tpfMs = 0.0f, int astarCalls = 1000) {
    m_scene = std::make_unique<scenario::ScenarioWorld>();
    std::vector<scenario::TaskSetup> tasks = scenario::DefaultTasks();
    for (auto& task : tasks)
      if (task.name == "CPathFinder::FindNextMove::ASTAR") task.maxCall = astarCalls;
    ASSERT_TRUE(m_scene->Create(scenario::MakeWorldTree(32, tpfMs, tasks, {"CGraphManager", "CPathObjectManager"}),
                                PoolSize()));
    scenario::AddBoxes({{{boxMinX, 0, -1}, {boxMaxX, 2, 1}}});
    m_boxMinX = boxMinX, m_boxMaxX = boxMaxX;
    ASSERT_TRUE(m_scene->AddGraph("main", scenario::BuildGridGraph(-4, -4, 4, 4, 1, 0.5f), true));
  }

  // A door in the world, named "door".
  TestDoor* SpawnDoor() {
    auto* definition = new CConfigNode();
    Add(definition, "Class", "TestDoor");
    Add(definition, "LinkedEdgeMax", "40");
    return static_cast<TestDoor*>(m_scene->Spawn(HostBody(), definition, 0, "door"));
  }

  // An entity with a path finder on graph "main" (and those parameters) and a goal agent.
  GoalAgent* SpawnWalker(const CVector3& start, const CVector3& goal,
                         const std::vector<std::pair<const char*, const char*>>& params = {}) {
    CConfigNode* brain = nullptr;
    CConfigNode* definition = scenario::MakeEntityDefinition(&brain);
    CConfigNode* service = scenario::AddService(brain, "CPathFinder");
    Add(service, "Graph", "main");
    for (const auto& [key, value] : params) Add(service, key, value);
    scenario::AddAgent(brain, "TestGoalAgent");
    HostBody body;
    body.position = start;
    m_walker = m_scene->Spawn(body, definition, CPathFinder::s_classDesc.GetClassBit());
    if (m_walker == nullptr) return nullptr;
    auto* agent = static_cast<GoalAgent*>(m_walker->GetBrain()->GetAgent(&GoalAgent::s_desc));
    if (agent != nullptr) agent->goal = goal;
    return agent;
  }

  // Walks until the goal is reached; answers the frames taken (limit + 1 when never).
  int WalkToGoal(CPathFinder* finder, int limit) {
    int frames = 0;
    for (; !finder->IsGoalReached() && frames <= limit; ++frames) {
      Frame();
      EXPECT_FALSE(InsideBox(m_walker->GetPosition()));
    }
    return frames;
  }

  void Frame() {
    m_time += 0.05;
    m_scene->Frame(m_time, 0.05f);
  }

  bool InsideBox(const CVector3& p) const { return p.x > m_boxMinX && p.x < m_boxMaxX && p.z > -1 && p.z < 1; }

  std::unique_ptr<scenario::ScenarioWorld> m_scene;
  CEntity* m_walker = nullptr;
  double m_time = 1.0;
  float m_boxMinX = 0, m_boxMaxX = 0;
};

TEST_P(PathFinderTest, ReachesTheGoalAroundAnObstacle) {
  MakeScene(-1, 1);
  const CVector3 goal(0.2f, 0, 3.6f);
  GoalAgent* agent = SpawnWalker(CVector3(0, 0, -3.5f), goal);
  ASSERT_NE(agent, nullptr);
  CPathFinder* finder = agent->pathFinder;
  int frames = 0, lastIndex = -1;
  for (; frames < 600 && !finder->IsGoalReached(); ++frames) {
    Frame();
    ASSERT_TRUE(agent->lastResult);
    const CVector3& p = m_walker->GetPosition();
    ASSERT_FALSE(InsideBox(p)) << p.x << " " << p.z;
    ASSERT_TRUE(std::isfinite(p.x) && std::isfinite(p.z));
    // The sub-goal only moves forward along the path.
    if (finder->m_subgoalIndex >= 0) {
      EXPECT_GE(finder->m_subgoalIndex, lastIndex);
      lastIndex = finder->m_subgoalIndex;
    }
  }
  ASSERT_TRUE(finder->IsGoalReached()) << "after " << frames << " frames";
  const CVector3 p = m_scene->BodyOf(m_walker).position;
  EXPECT_LT(std::hypot(p.x - goal.x, p.z - goal.z), finder->m_distGoal);
  // The arriving step decides no action at all.
  EXPECT_EQ(finder->GetActionClass()->FindAction<CActionSpeed>()->set, 0);
  EXPECT_EQ(finder->GetActionClass()->FindAction<CActionRotate>()->set, 0);
  EXPECT_FLOAT_EQ(finder->GetRemainingDistance(), std::sqrt(CVector3::DistanceSquared(finder->m_ownerPosition, goal)));
  EXPECT_GT(finder->m_path.m_pointCount, 4);
  // The path finder's constraint and heuristic leave the graph with it.
  CSpatialGraph* graph = Vusk::GetGraphManager()->FindGraph("main");
  EXPECT_NE(graph->GetConstraint(), nullptr);
  Vusk::DestroyEntity(m_walker);
  EXPECT_EQ(graph->GetConstraint(), nullptr);
  EXPECT_EQ(graph->GetHeuristic(), nullptr);
}

TEST_P(PathFinderTest, ReplansWhenAPathObjectClosesItsEdges) {
  // The box reaches further right, so the way round the left is the shorter one.
  MakeScene(-1, 3);
  TestDoor* door = SpawnDoor();
  auto* manager =
      static_cast<CPathObjectManager*>(m_scene->GetWorld()->GetGlobalService(&CPathObjectManager::s_classDesc));
  ASSERT_TRUE(door != nullptr && manager != nullptr);
  EXPECT_GT(door->GetLinkedEdgeCount(), 0u);
  EXPECT_EQ(manager->GetCount(), 1u);

  const CVector3 goal(0, 0, 3.5f);
  GoalAgent* agent = SpawnWalker(CVector3(0, 0, -3.5f), goal);
  ASSERT_NE(agent, nullptr);
  CPathFinder* finder = agent->pathFinder;
  Frame();
  // First the way through the door (left): the door priced its edges.
  EXPECT_GT(door->costQueries, 0);
  bool leftRoute = false;
  for (int32_t i = 0; i < finder->m_path.m_pointCount; ++i)
    leftRoute = leftRoute || finder->m_path.m_points[i].x < -1.5f;
  EXPECT_TRUE(leftRoute);
  for (int i = 0; i < 10; ++i) Frame();
  // The door closes and says so: the path finder plans round the right.
  door->closed = true;
  door->NotifyGraphs(nullptr);
  EXPECT_EQ(finder->m_repathForced, 1);
  int frames = 0;
  float lowestXBeyondDoor = 100.0f;
  for (; frames < 1200 && !finder->IsGoalReached(); ++frames) {
    Frame();
    const CVector3& p = m_walker->GetPosition();
    ASSERT_FALSE(InsideBox(p));
    if (p.z > 0.0f) lowestXBeyondDoor = std::min(lowestXBeyondDoor, p.x);
  }
  ASSERT_TRUE(finder->IsGoalReached());
  EXPECT_GT(lowestXBeyondDoor, -0.6f);
  for (int32_t i = 0; i < finder->m_path.m_pointCount; ++i) EXPECT_GT(finder->m_path.m_points[i].x, -1.5f);

  // Leaving the world unlinks the door from every edge and tells the path finder.
  finder->m_repathForced = 0;
  EXPECT_TRUE(Vusk::RemoveEntity(m_scene->GetWorld(), door));
  EXPECT_EQ(manager->GetCount(), 0u);
  EXPECT_EQ(finder->m_repathForced, 1);
  CSpatialGraph* graph = Vusk::GetGraphManager()->FindGraph("MAIN");
  for (int32_t i = 0; i <= graph->GetLastEdgeIndex(); ++i)
    EXPECT_TRUE(graph->GetEdge(i) == nullptr || graph->GetEdge(i)->GetPathObject() == nullptr) << i;
  Vusk::DestroyEntity(door);
}

TEST_P(PathFinderTest, APathObjectSteersOverItsSegmentAndCanHoldTheOwnerThere) {
  // Then the door ends while the path names it: by the host between steps, or in one of its functions
  // the step calls (deleting itself, or destroyed by the host). The path finder asks it nothing more,
  // forgets it and walks to the goal on a new path.
  const struct {
    const char* endIn;    // null: between steps
    bool byHost, repath;  // repath: a new path is asked first (CanLeave, then the search's pricing)
  } rows[] = {{nullptr, true, false},
              {"CanLeave", false, true},
              {"NeedsRepath", true, false},
              {"GetEdgeCost", true, true},
              {"ComputeMove", false, false}};
  for (const auto& row : rows) {
    SCOPED_TRACE(row.endIn != nullptr ? row.endIn : "between steps");
    MakeScene(-1, 3);
    TestDoor* door = SpawnDoor();
    GoalAgent* agent = SpawnWalker(CVector3(0, 0, -3.5f), CVector3(0, 0, 3.5f));
    ASSERT_TRUE(door != nullptr && agent != nullptr);
    CPathFinder* finder = agent->pathFinder;
    auto onDoorSegment = [&] {
      const int32_t i = finder->m_subgoalIndex;
      return i > 0 && i <= finder->m_path.m_pointCount && finder->m_path.m_pathObjects[i - 1] == door;
    };
    int frames = 0;
    while (!onDoorSegment() && frames++ < 400) Frame();
    ASSERT_TRUE(onDoorSegment());
    // On the door's segment the door builds the move, and while it holds the owner a moved goal
    // makes no new path.
    door->holding = true;
    const int moves = door->moves;
    const CGraphVertex* goalVertex = finder->m_cachedGoal;
    agent->goal = CVector3(3, 0, 3.5f);
    Frame();
    EXPECT_GT(door->moves, moves);
    EXPECT_EQ(finder->m_cachedGoal, goalVertex);
    door->holding = false;
    agent->goal = CVector3(0, 0, 3.5f);
    ASSERT_TRUE(onDoorSegment());
    door->endIn = row.endIn;
    door->endByHost = row.byHost;
    if (row.repath) finder->RequestRepath();
    row.endIn == nullptr ? Vusk::DestroyEntity(door) : Frame();
    EXPECT_EQ(m_scene->GetWorld()->FindEntity("door"), nullptr);
    for (int32_t i = 0; i < finder->m_path.m_pointCount; ++i) EXPECT_NE(finder->m_path.m_pathObjects[i], door);
    EXPECT_LE(WalkToGoal(finder, 800), 800);
  }
}

TEST_P(PathFinderTest, DetectsBeingStuckAndRestartsAtTheFirstPoint) {
  MakeScene(-1, 1);
  GoalAgent* agent = SpawnWalker(CVector3(-3, 0, -4), CVector3(-3, 0, 4));
  ASSERT_NE(agent, nullptr);
  CPathFinder* finder = agent->pathFinder;
  HostBody& body = m_scene->BodyOf(m_walker);
  int frames = 0;
  while (finder->m_subgoalIndex < 4 && frames++ < 400) Frame();
  ASSERT_GE(finder->m_subgoalIndex, 4);
  body.frozen = true;
  const CGraphVertex* start = finder->m_cachedStart;
  // After a CheckAccident period without progress the owner counts as stuck and the path is
  // computed again from the vertex it stands at; the walk restarts at the new path's first point.
  int stuckFrames = 0;
  for (; finder->m_cachedStart == start && stuckFrames < 60; ++stuckFrames) Frame();
  EXPECT_GE(stuckFrames, 19);  // not before the one-second period
  EXPECT_LT(stuckFrames, 60);
  ASSERT_NE(finder->m_cachedStart, nullptr);
  EXPECT_LT(CVector3::DistanceSquared(finder->m_cachedStart->GetPosition(), m_walker->GetPosition()), 0.5f);
  EXPECT_EQ(finder->m_path.m_points[0].z, finder->m_cachedStart->GetPosition().z);
  EXPECT_LE(finder->m_subgoalIndex, 1);
  body.frozen = false;
  for (int i = 0; i < 1200 && !finder->IsGoalReached(); ++i) Frame();
  EXPECT_TRUE(finder->IsGoalReached());
}

TEST_P(PathFinderTest, ARefusedSearchIsNotANoRoute) {
  // Rationing on and no ASTAR call allowed: the search is put off, frame after frame.
  MakeScene(-1, 1, 10.0f, 0);
  GoalAgent* agent = SpawnWalker(CVector3(0, 0, -3.5f), CVector3(0, 0, 3.5f));
  ASSERT_NE(agent, nullptr);
  for (int i = 0; i < 5; ++i) {
    Frame();
    EXPECT_TRUE(agent->lastResult);
    EXPECT_EQ(agent->pathFinder->m_searchDeferred, 1);
    EXPECT_FALSE(agent->pathFinder->IsGoalReached());
  }
  EXPECT_FLOAT_EQ(m_scene->BodyOf(m_walker).position.z, -3.5f);
}

TEST_P(PathFinderTest, AGoalOffTheGraphIsWalkedToAndNoRouteLeavesTheOwnerStanding) {
  // A wall across the grid parts it into a south and a north half.
  MakeScene(-4.5f, 4.5f, 10.0f);
  // Three units south of the grid's last row, beyond the graph's search radius: the path runs to
  // the vertex nearest the goal and the owner goes on from there.
  const CVector3 goal(3, 0, -7);
  GoalAgent* agent = SpawnWalker(CVector3(-3, 0, -3.5f), goal);
  ASSERT_NE(agent, nullptr);
  CPathFinder* finder = agent->pathFinder;
  ASSERT_GT(std::hypot(goal.x - 3.0f, goal.z + 4.0f), Vusk::GetGraphManager()->FindGraph("main")->GetSearchRadius());
  ASSERT_LT(WalkToGoal(finder, 600), 600);
  EXPECT_TRUE(agent->lastResult);
  // North of the wall there is no route: the owner stands, also while the searches for the goal's
  // next place are put off (the move re-issued then is not the one that brought it here).
  agent->goal = CVector3(0, 0, 3.5f);
  Frame();
  EXPECT_FALSE(agent->lastResult);
  CTimeManager::GetInstance()->SetTaskMaxCall(finder->m_taskAstar, 0);
  agent->goal = CVector3(2, 0, 3.5f);
  const CVector3 standing = m_scene->BodyOf(m_walker).position;
  for (int i = 0; i < 10; ++i) {
    Frame();
    EXPECT_EQ(finder->m_searchDeferred, 1);
  }
  const CVector3& now = m_scene->BodyOf(m_walker).position;
  EXPECT_LT(std::hypot(now.x - standing.x, now.z - standing.z), 0.01f);
}

TEST_P(PathFinderTest, TurnsAreLimitedAndZeroDirectionsKeepTheHeading) {
  MakeScene(-1, 1);
  GoalAgent* agent = SpawnWalker(CVector3(0, 0, -3.5f), CVector3(0, 0, 3.5f));
  ASSERT_NE(agent, nullptr);
  CPathFinder* finder = agent->pathFinder;
  auto* rotate = finder->GetActionClass()->FindAction<CActionRotate>();
  auto* speed = finder->GetActionClass()->FindAction<CActionSpeed>();
  // Moves at speed 2 from heading 0 (along +z): the default turn limit, then no turn allowed.
  const struct {
    bool noTurn;
    CVector3 direction;
    float turn, speed;
  } cases[] = {
      {false, CVector3(1, 0, 0), 45.0f, 1.0f}, {false, CVector3(-1, 0, 1), -45.0f, 2.0f},
      {false, CVector3(0, 0, 0), 0.0f, 2.0f},  {true, CVector3(0, 0, 1), 0.0f, 2.0f},
      {true, CVector3(1, 0, 0), 0.0f, 0.0f},
  };
  CMoveOrder move;
  for (const auto& c : cases) {
    if (c.noTurn) finder->m_maxDeltaAngle = 0.0f;
    move.m_speed = 2.0f;
    move.m_direction = c.direction;
    ASSERT_TRUE(finder->ComputeMove(move));
    EXPECT_NEAR(rotate->value, c.turn, 1e-4) << c.direction.x << " " << c.direction.z << " " << c.noTurn;
    EXPECT_NEAR(speed->value, c.speed, 1e-5) << c.direction.x << " " << c.direction.z << " " << c.noTurn;
  }
  // A point straight above: no horizontal direction, no speed, no NaN.
  ASSERT_TRUE(Vusk::VisibleMove(finder, &move, finder->m_ownerPosition + CVector3(0, 3, 0)));
  EXPECT_EQ(move.m_direction.x, 0.0f);
  EXPECT_EQ(move.m_direction.z, 0.0f);
  ASSERT_TRUE(finder->ComputeMove(move));
  EXPECT_TRUE(std::isfinite(rotate->value));
  // Nowhere to go: no speed, no NaN.
  ASSERT_TRUE(Vusk::VisibleMove(finder, &move, finder->m_ownerPosition));
  EXPECT_EQ(move.m_speed, 0.0f);
  ASSERT_TRUE(finder->ComputeMove(move));
  EXPECT_TRUE(std::isfinite(rotate->value));
  EXPECT_EQ(speed->value, 0.0f);
}

TEST_P(PathFinderTest, ParametersConvertAndStrategyNamesAreExact) {
  MakeScene(-1, 1);
  GoalAgent* agent = SpawnWalker(CVector3(0, 0, -3.5f), CVector3(0, 0, 3.5f));
  ASSERT_NE(agent, nullptr);
  CPathFinder* finder = agent->pathFinder;
  auto param = [&](const char* key, const char* value) {
    CConfigNode item;
    item.SetName(key);
    item.SetValue(value);
    return finder->ReadParam(&item);
  };
  EXPECT_TRUE(param("MaxDeltaAngle", "370"));
  EXPECT_FLOAT_EQ(finder->m_maxDeltaAngle, 10.0f);
  EXPECT_TRUE(param("maxdeltaangle", "-30"));
  EXPECT_FLOAT_EQ(finder->m_maxDeltaAngle, 330.0f);
  EXPECT_TRUE(param("DISTGOAL", "0.25"));
  EXPECT_FLOAT_EQ(finder->m_distGoal, 0.25f);
  EXPECT_TRUE(param("StopCondition", "ComplexCheck"));
  EXPECT_EQ(finder->m_stopCondition, &Vusk::ComplexCheck);
  EXPECT_FALSE(param("StopCondition", "simpleStopCondition"));
  EXPECT_EQ(finder->m_stopCondition, &Vusk::ComplexCheck);
  EXPECT_TRUE(param("CanGo", "VisibilityCheck"));
  EXPECT_EQ(finder->m_canGo, &Vusk::VisibleGo);
  EXPECT_TRUE(param("SimpleMove", "StopAndRelaunchPath"));
  EXPECT_FALSE(param("FindVertex", "Nearest"));
  EXPECT_FALSE(param("MaxPathSize", "-5"));
  // Any size the machine can hold is taken; more is refused without asking the host for it.
  EXPECT_TRUE(param("MaxPathSize", "65536"));
  EXPECT_EQ(finder->m_path.m_capacity, 65536u);
  EXPECT_FALSE(param("MaxPathSize", "2147483647"));
  EXPECT_TRUE(param("MaxPathSize", "7"));
  EXPECT_EQ(finder->m_path.m_capacity, 7u);
  EXPECT_FALSE(param("Graph", "nowhere"));
  EXPECT_FALSE(param("Unknown", "1"));
  CConfigNode empty;
  empty.SetName("DistGoal");
  EXPECT_FALSE(finder->ReadParam(&empty));
  // An abstract constraint class is refused; the current one stays.
  CConstraint* current = finder->GetConstraint();
  EXPECT_FALSE(finder->SetConstraint(&CConstraint::s_classDesc));
  EXPECT_EQ(finder->GetConstraint(), current);

  // Reset: no path, the sub-goal on the owner, speed and turn issued as 0.
  finder->m_stopCondition = &Vusk::SimpleStopCondition;
  finder->m_simpleMove = &Vusk::VisibleMove;
  Frame();
  EXPECT_GT(finder->m_path.m_pointCount, 0);
  finder->GetActionClass()->ClearActions();
  finder->Reset();
  EXPECT_EQ(finder->m_path.m_pointCount, 0);
  EXPECT_EQ(finder->m_subgoalIndex, -1);
  EXPECT_EQ(finder->m_subgoal.z, m_walker->GetPosition().z);
  auto* speed = finder->GetActionClass()->FindAction<CActionSpeed>();
  auto* rotate = finder->GetActionClass()->FindAction<CActionRotate>();
  EXPECT_EQ(speed->set, 1);
  EXPECT_EQ(speed->value, 0.0f);
  EXPECT_EQ(rotate->set, 1);
  EXPECT_EQ(rotate->value, 0.0f);
}

TEST_P(PathFinderTest, FreeSideHolesAndOncomingEntities) {
  // A wall on the left of the way ahead (the owner looks along +z, so left is -x).
  MakeScene(-3, -0.5f);
  GoalAgent* agent = SpawnWalker(CVector3(0, 0, -3.5f), CVector3(0, 0, 3.5f));
  ASSERT_NE(agent, nullptr);
  CPathFinder* finder = agent->pathFinder;
  finder->m_ownerPosition = CVector3(0, 0, -3.5f);
  const CVector3 target(0, 0, 3.5f);
  CVector3 side = Vusk::ChooseFreeSide(finder, finder->m_ownerPosition, target);
  EXPECT_NEAR(side.x, 5.0f / 3.0f, 1e-4);
  EXPECT_NEAR(side.z, 5.0f, 1e-4);
  // Blocked on both sides at the same distance: the right side.
  Host().ClearBoxes();
  Host().AddBox(-1, 0, -1, 1, 2, 1);
  side = Vusk::ChooseFreeSide(finder, finder->m_ownerPosition, target);
  EXPECT_GT(side.x, 0.0f);
  // Only the right side blocked: the left side.
  Host().ClearBoxes();
  Host().AddBox(0.5f, 0, -3, 3, 2, 1);
  side = Vusk::ChooseFreeSide(finder, finder->m_ownerPosition, target);
  EXPECT_LT(side.x, 0.0f);
  CMoveOrder move;
  ASSERT_TRUE(Vusk::InvisibleMove(finder, &move, target));
  EXPECT_NEAR(move.m_direction.Length(), 1.0f, 1e-5);
  EXPECT_FLOAT_EQ(move.m_speed, finder->GetMaxSpeed());

  // A floor with one hole, under the first probe of the minus side.
  Host().ClearBoxes();
  Host().AddBox(-20, -1, -20, 0.3f, 0, 20);
  Host().AddBox(0.9f, -1, -20, 20, 0, 20);
  Host().AddBox(0.3f, -1, -20, 0.9f, 0, -3.8f);
  Host().AddBox(0.3f, -1, -3.2f, 0.9f, 0, 20);
  size_t before = Host().LineOfSightQueries().size();
  EXPECT_TRUE(Vusk::FindHoleAlong(finder, target));
  const std::vector<FakeQuery>& probes = Host().LineOfSightQueries();
  ASSERT_EQ(probes.size() - before, 4u);
  const float expected[4][2] = {{-0.6f, -3.5f}, {-0.6f, -2.5f}, {-0.6f, 1.0f}, {0.6f, -3.5f}};
  for (int i = 0; i < 4; ++i) {
    EXPECT_NEAR(probes[before + i].from[0], expected[i][0], 1e-4) << i;
    EXPECT_NEAR(probes[before + i].from[2], expected[i][1], 1e-4) << i;
    EXPECT_EQ(probes[before + i].mode, 1u);
  }
  EXPECT_NEAR(probes[before + 2].to[1], -(1.2f * finder->m_holeHeight + 0.9f), 1e-4);
  // A way shorter than one metre: only the first probe, and it stands on the floor.
  before = probes.size();
  EXPECT_FALSE(Vusk::FindHoleAlong(finder, CVector3(0, 0, -3.0f)));
  EXPECT_EQ(Host().LineOfSightQueries().size() - before, 1u);
  EXPECT_FALSE(Vusk::VisibleWithoutHoleGo(finder, target));

  // An entity coming head-on 1.2 m ahead is a threat; one exactly beside is not.
  HostBody& me = m_scene->BodyOf(m_walker);
  me.speed = 1.0f;
  me.heading = 0.0f;
  me.position = CVector3(0, 0, -3.5f);
  m_walker->Update();
  auto walking = [&](const CVector3& position, float heading) {
    HostBody body;
    body.position = position;
    body.heading = heading;
    body.speed = 1.0f;
    return m_scene->Spawn(body, scenario::MakeEntityDefinition(nullptr), CPathFinder::s_classDesc.GetClassBit());
  };
  CEntity* other = walking(CVector3(0, 0, -2.3f), 180.0f);
  CEntity* beside = walking(CVector3(1.0f, 0, -3.5f), 270.0f);
  ASSERT_TRUE(other != nullptr && beside != nullptr);
  Vusk::DetectDynamicThreats(finder, target);
  ASSERT_EQ(finder->m_threatCount, 1u);
  EXPECT_EQ(finder->m_nearestThreat, other);
  EXPECT_NEAR(finder->m_leastContactTime, 0.15f, 1e-4);  // 1.2 m closing at 2 m/s to 0.9 m apart
  ASSERT_TRUE(Vusk::VisibleAvoidDynMove(finder, &move, target));
  EXPECT_EQ(finder->m_avoiding, 1);
  EXPECT_NEAR(move.m_direction.Length(), 1.0f, 1e-4);
  // Moving away from each other: no threat.
  m_scene->BodyOf(other).heading = 0.0f;
  m_scene->BodyOf(other).speed = 3.0f;
  other->Update();
  Vusk::DetectDynamicThreats(finder, target);
  EXPECT_EQ(finder->m_threatCount, 0u);
}

TEST_P(PathFinderTest, OnlyAGoalThatMovedFurtherThanDistMinNewGoalMakesANewPath) {
  MakeScene(-1, 1);
  GoalAgent* agent = SpawnWalker(CVector3(0, 0, -3.5f), CVector3(0.25f, 0, 3.25f));
  ASSERT_NE(agent, nullptr);
  CPathFinder* finder = agent->pathFinder;
  ASSERT_TRUE(finder->SetConstraint(&CountingConstraint::s_desc));
  CountingConstraint::queries = 0;
  Frame();
  const int firstRun = CountingConstraint::queries;
  EXPECT_GT(firstRun, 0);
  // Exactly DistMinNewGoal (0.5) away: the path stays.
  agent->goal = CVector3(0.75f, 0, 3.25f);
  Frame();
  Frame();
  EXPECT_EQ(CountingConstraint::queries, firstRun);
  // A little further, to another goal vertex: a new search.
  agent->goal = CVector3(0.8125f, 0, 3.25f);
  Frame();
  EXPECT_GT(CountingConstraint::queries, firstRun);
  EXPECT_EQ(finder->m_cachedGoal->GetPosition().x, 1.0f);
  EXPECT_LE(WalkToGoal(finder, 600), 600);
}

TEST_P(PathFinderTest, CornerCuttingSkipsAtMostNbMaxSubgoalPoints) {
  MakeScene(-1, 1);
  GoalAgent* agent = SpawnWalker(CVector3(-0.5f, 0, -3.5f), CVector3(2.5f, 0, 3.5f));
  ASSERT_NE(agent, nullptr);
  const int plainFrames = WalkToGoal(agent->pathFinder, 800);
  ASSERT_LE(plainFrames, 800);
  Vusk::DestroyEntity(m_walker);

  for (const char* most : {"1", "3"}) {
    GoalAgent* cutter = SpawnWalker(CVector3(-0.5f, 0, -3.5f), CVector3(2.5f, 0, 3.5f),
                                    {{"NextSubgoal", "ComplexCheck"}, {"CanGo", "VisibleGo"}, {"NbMaxSubgoal", most}});
    ASSERT_NE(cutter, nullptr);
    CPathFinder* finder = cutter->pathFinder;
    int frames = 0, previous = -1;
    const int step = std::atoi(most);
    while (!finder->IsGoalReached() && frames < 800) {
      Frame();
      ++frames;
      ASSERT_FALSE(InsideBox(m_walker->GetPosition()));
      EXPECT_TRUE(previous < 0 || finder->m_straightToGoal || finder->m_subgoalIndex - previous <= step) << frames;
      previous = finder->m_subgoalIndex;
    }
    ASSERT_TRUE(finder->IsGoalReached());
    // Cutting corners makes the walk shorter.
    EXPECT_LT(frames, plainFrames) << "NbMaxSubgoal " << most;
    Vusk::DestroyEntity(m_walker);
  }
  m_walker = nullptr;
}

TEST_P(PathFinderTest, TimeSlicedSearchAndRouteTableReachTheGoal) {
  MakeScene(-1, 1);
  GoalAgent* agent = SpawnWalker(CVector3(0, 0, -3.5f), CVector3(0.2f, 0, 3.6f), {{"AvoidCpuPeaks", "1"}});
  ASSERT_NE(agent, nullptr);
  EXPECT_LE(WalkToGoal(agent->pathFinder, 600), 600);
  EXPECT_GT(agent->pathFinder->m_path.m_pointCount, 4);
  Vusk::DestroyEntity(m_walker);

  // With a route table the path comes from the table, not from a search.
  CSpatialGraph* graph = Vusk::GetGraphManager()->FindGraph("main");
  auto* table = static_cast<CAstarData*>(CAstarData::Create(graph));
  ASSERT_TRUE(table->Build());
  ASSERT_TRUE(Vusk::GetGraphManager()->GetEntry(0)->AddData(table));
  agent = SpawnWalker(CVector3(0, 0, -3.5f), CVector3(0.2f, 0, 3.6f));
  ASSERT_NE(agent, nullptr);
  EXPECT_EQ(agent->pathFinder->m_astarData, table);
  EXPECT_LE(WalkToGoal(agent->pathFinder, 600), 600);
  EXPECT_GT(agent->pathFinder->m_path.m_pointCount, 4);
  // Standing still near the goal: arrived; 0.7 away but 2 below: not arrived.
  agent->pathFinder->m_toGoal = CVector3(0.7f, 0, 0);
  EXPECT_TRUE(Vusk::SimpleStopCondition(agent->pathFinder));
  agent->pathFinder->m_toGoal = CVector3(0.7f, 2, 0);
  EXPECT_FALSE(Vusk::SimpleStopCondition(agent->pathFinder));
}

TEST_P(PathFinderTest, TargetsOfAnotherGraphAreMappedThroughThePointMapper) {
  MakeScene(-1, 1);
  CSpatialGraph* coarse = scenario::BuildGridGraph(-4, -4, 4, 4, 2, 0.5f);
  ASSERT_TRUE(m_scene->AddGraph("coarse", coarse));
  CGlobalService* mapper = CPointMapper::Create();
  CConfigNode definition;
  AddDefinition(&definition, "Container", "main", "CGraphWrapper");
  AddDefinition(&definition, "Container", "coarse", "CGraphWrapper");
  ASSERT_TRUE(mapper->Init(&definition));
  ASSERT_TRUE(m_scene->GetWorld()->AddGlobalService(mapper));
  GoalAgent* agent = SpawnWalker(CVector3(0, 0, -3.5f), CVector3(0, 0, 3.5f));
  ASSERT_NE(agent, nullptr);
  CPathFinder* finder = agent->pathFinder;
  ASSERT_EQ(finder->m_graphIndex, 0);
  CSpatialGraph* main = Vusk::GetGraphManager()->FindGraph("main");
  auto* points = static_cast<CPointMapper*>(mapper);
  int mapped = 0;
  for (int32_t i = 0; i <= coarse->GetLastVertexIndex(); ++i) {
    CGraphVertex* vertex = coarse->GetVertex(i);
    if (vertex == nullptr) continue;
    const CVertexTarget target(vertex, 1);
    const uint16_t entry = points->GetEntry(1, 0, static_cast<uint16_t>(i));
    if (entry == CPointMapper::kNone) continue;
    EXPECT_EQ(finder->FindVertexForObject(&target), main->GetVertex(entry));
    ++mapped;
  }
  EXPECT_GT(mapped, 10);
  // A vertex of the path finder's own graph is taken as it is; a target without a graph index is
  // placed by its position.
  CGraphVertex* own = main->GetVertex(7);
  const CVertexTarget same(own, 0);
  EXPECT_EQ(finder->FindVertexForObject(&same), own);
  const CVertexTarget loose(own, CVertexTarget::kNoGraph);
  EXPECT_EQ(finder->FindVertexForObject(&loose), own);
  float estimate = 0.0f;
  const CVertexTarget other(main->GetVertex(0), 0);
  ASSERT_TRUE(finder->EstimateBetween(&same, &other, &estimate));
  EXPECT_FLOAT_EQ(estimate,
                  std::sqrt(CVector3::DistanceSquared(own->GetPosition(), main->GetVertex(0)->GetPosition())));
}

TEST(PathStrategyRegistry, SameNameTakesTheSlotAndTheSeventeenthIsRefused) {
  CCanGoRegistry registry;
  CStrategyEntry<CanGoFn> entries[17];
  for (int i = 0; i < 17; ++i) {
    std::snprintf(entries[i].m_name, sizeof(entries[i].m_name), "Go%d", i);
    entries[i].m_function = i % 2 ? &Vusk::AlwaysGo : &Vusk::VisibleGo;
  }
  CStrategyEntry<CanGoFn> again = {"Go3", &Vusk::HoleCheck, -1};
  for (int i = 0; i < 16; ++i) EXPECT_EQ(registry.Register(&entries[i]), i);
  EXPECT_EQ(registry.Register(&again), 3);
  EXPECT_EQ(registry.GetCount(), 16u);
  EXPECT_EQ(registry.FindFunction("Go3"), &Vusk::HoleCheck);
  EXPECT_FALSE(registry.IsFull());
  EXPECT_EQ(registry.Register(&entries[16]), -1);
  EXPECT_TRUE(registry.IsFull());
  EXPECT_EQ(registry.FindFunction("go3"), nullptr);
}

TEST_P(PathFinderTest, PathObjectManagerHoldsLinksAndGathersSegments) {
  MakeScene(-1, 1);
  auto* manager =
      static_cast<CPathObjectManager*>(m_scene->GetWorld()->GetGlobalService(&CPathObjectManager::s_classDesc));
  ASSERT_NE(manager, nullptr);
  EXPECT_EQ(manager->GetCapacity(), 20u);
  std::vector<TestDoor*> doors;
  for (int i = 0; i < 21; ++i) {
    doors.push_back(SpawnDoor());
    ASSERT_NE(doors.back(), nullptr);
  }
  // The twenty-first is in the world but not held.
  EXPECT_EQ(manager->GetCount(), 20u);
  CSpatialGraph* graph = Vusk::GetGraphManager()->FindGraph("main");
  CGraphEdge* edge = nullptr;
  for (int32_t i = 0; i <= graph->GetLastEdgeIndex() && edge == nullptr; ++i)
    if (graph->GetEdge(i) != nullptr && graph->GetEdge(i)->GetPathObject() != nullptr) edge = graph->GetEdge(i);
  // Every held door linked the edge; the newest is its link.
  ASSERT_TRUE(edge != nullptr && edge->GetPathObject() == doors[19]);
  // A door that ends while it hands out its segments is left out; one that ends an earlier one while
  // asked is not.
  doors[0]->endIn = "GetSegments";
  doors[1]->segmentCount = 0;
  doors[2]->segmentCount = 2;
  doors[2]->endIn = "GetSegmentCount";
  doors[2]->victim = doors[1];
  CPathSegment* segments = nullptr;
  EXPECT_EQ(manager->CollectSegments(&segments), 19u);
  doors[0] = doors[1] = nullptr;
  ASSERT_NE(segments, nullptr);
  EXPECT_FLOAT_EQ(segments[5].m_a.x, -4.0f);
  // Removing a middle door keeps the chain and the order of the others.
  EXPECT_TRUE(manager->RemovePathObject(doors[5]));
  EXPECT_FALSE(manager->RemovePathObject(doors[5]));
  EXPECT_EQ(manager->GetAt(3), doors[6]);
  EXPECT_EQ(edge->GetPathObject(), doors[19]);
  EXPECT_TRUE(manager->RemovePathObject(doors[19]));
  EXPECT_EQ(edge->GetPathObject(), doors[18]);
  // Gathered once: later calls hand out the same array.
  EXPECT_EQ(manager->CollectSegments(nullptr), 19u);
  for (CEntity* door : doors) Vusk::DestroyEntity(door);
  EXPECT_EQ(manager->GetCount(), 0u);
  EXPECT_EQ(edge->GetPathObject(), nullptr);
  // A door a listener ends on its arrival is not ended again by the spawn that could not add it.
  const Vusk::EntityCallback endOnArrival = [](CEntity* entity, void*) { delete entity; };
  ASSERT_TRUE(CWorld::AddEntityAddedCallback(endOnArrival, nullptr));
  EXPECT_EQ(SpawnDoor(), nullptr);
  CWorld::RemoveEntityAddedCallback(endOnArrival, nullptr);
}

AI_ENGINE_TEST_SUITE(PathFinderTest);

}  // namespace
