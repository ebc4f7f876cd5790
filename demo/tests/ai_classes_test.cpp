// The demo's AI classes on the fake AI host: the action class's branch table and the entity class
// against a scripted character, the team's reservations, the soldier brain's order logic with its
// stop radius, slow-down and torso hysteresis, and the cover probes of the hiding agent.

#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <string>
#include <vector>

#include "ai/behaviours/follower_agents.h"
#include "ai/navigation/find_nearest_data.h"
#include "ai/navigation/graph_manager.h"
#include "ai/navigation/path_cost_data.h"
#include "ai/navigation/path_finder.h"
#include "ai/navigation/path_strategies.h"
#include "ai/navigation/point_mapper.h"
#include "ai/navigation/spatial_graph.h"
#include "ai/runtime/action.h"
#include "ai/runtime/entity_attribute.h"
#include "ai/runtime/world.h"
#include "ai/runtime/world_api.h"
#include "demo/default_classes.h"
#include "demo/demo_character.h"
#include "demo/dunmarrow_agent.h"
#include "demo/game_order.h"
#include "demo/host_services.h"
#include "demo/my_team.h"
#include "demo/soldier_brain.h"
#include "platform/crt.h"
#include "testing/fake_ai_host.h"
#include "tools/ai_scenario/scenario_kit.h"

namespace {

using configtree::Add;

// A direction of that heading in the horizontal plane.
CVector3 Dir(float degrees) { return Vusk::AnglesToDirection(0.0f, degrees); }

// A character that records the commands it is given; its frame is set by the test.
class FakeCharacter : public IDemoCharacter {
public:
    int GetMovementState() const override { return state; }
    void SetMovementState(int value) override { state = value; }
    float GetSpeed() const override { return state == kWalk ? walkSpeed : state == kRun ? runSpeed : 0.0f; }
    float GetForward() const override { return forward; }
    float GetSideways() const override { return sideways; }
    void SetForward(float value) override { forward = value; }
    void SetSideways(float value) override { sideways = value; }
    void SetTurnRate(float value) override { turn = value; }
    void SetAimPoint(const CVector3& point) override {
        aim = point;
        aimed = true;
    }
    void SetFiring() override { ++shots; }
    CVector3 GetMuzzle() const override { return muzzle; }
    DemoCharacterFrame GetFrame() const override { return frame; }
    float GetHealth() const override { return health; }
    float GetProfileWidth() const override { return width; }
    float GetProfileHeight() const override { return height; }
    bool GetBoneUp(int bone, CVector3* up) const override {
        if (bone >= bones)
            return false;
        *up = headUp;
        return true;
    }

    // Places the feet at the point, facing the heading.
    void Place(const CVector3& position, float heading) {
        frame.position = position;
        frame.at = Dir(heading);
        frame.up = CVector3(0, 1, 0);
        frame.right = CVector3::Cross(frame.up, frame.at);
    }
    void ClearCommands() {
        state = -1;
        forward = sideways = turn = 99.0f;
        aimed = false;
        shots = 0;
    }

    int state = kRun;
    float walkSpeed = 1.5f, runSpeed = 4.0f;
    float forward = 0.0f, sideways = 0.0f, turn = 0.0f;
    CVector3 aim;
    bool aimed = false;
    int shots = 0;
    CVector3 muzzle{1, 2, 3};
    DemoCharacterFrame frame;
    float health = 87.6f, width = 0.8f, height = 1.8f;
    int bones = 20;
    CVector3 headUp{0, 2, 0};
};

class DemoAiTest : public AiEngineTest {
protected:
    void TearDown() override {
        for (CTeam* team : teams)
            Vusk::DestroyTeam(team);
        world.reset();
        Demo::GetGameOrder() = Demo::GameOrder{};
        AiEngineTest::TearDown();
    }

    // A world of OneMeter 1 with a graph manager, "MoveGraph" over the floor (a vertex every metre
    // on [-12, 12] x [-12, 12], kept off the boxes) with its nearest-vertex and path-cost data,
    // and a point mapper over it.
    void MakeWorld(const std::vector<scenario::Box>& boxes = {}) {
        world = std::make_unique<scenario::ScenarioWorld>();
        std::vector<scenario::TaskSetup> tasks = scenario::DefaultTasks();
        for (scenario::TaskSetup& task : tasks)
            if (task.name == CHideAgent::kVisibilityTask)
                task.maxCall = visibilityChecks;
        ASSERT_TRUE(world->Create(scenario::MakeWorldTree(16, frameBudgetMs, tasks, {"CGraphManager"}), PoolSize()));
        scenario::AddBoxes(boxes);
        CSpatialGraph* graph = scenario::BuildGridGraph(-12, -12, 12, 12, 1.0f, 0.5f);
        ASSERT_TRUE(world->AddGraph(DunmarrowAgent::kMoveGraph, graph));
        CGraphEntry* entry = Vusk::GetGraphManager()->GetEntry(0);
        auto* nearest = new CFindNearestData(graph);
        auto* cost = new CPathCostData(graph);
        ASSERT_TRUE(nearest->Build() && entry->AddData(nearest));
        ASSERT_TRUE(cost->Build() && entry->AddData(cost));
        CGlobalService* mapper = CPointMapper::Create();
        CConfigNode definition;
        Add(Add(&definition, "Container", nullptr, DunmarrowAgent::kMoveGraph), "Class", "CGraphWrapper");
        ASSERT_TRUE(mapper->Init(&definition));
        ASSERT_TRUE(world->GetWorld()->AddGlobalService(mapper));
        this->graph = graph;
    }

    // An entity of the demo's class on the character; with the soldier's brain when soldier.
    CEntity* MakeEntity(const char* name, FakeCharacter* character, bool soldier) {
        CConfigNode definition;
        definition.SetName("Entity");
        Add(&definition, "Class", "CDefaultEntityClass");
        if (soldier) {
            Add(&definition, "ActionClass", "CDefaultActionClass");
            CConfigNode* brain = Add(&definition, "Brain");
            Add(brain, "Class", "CSoldierBrain");
            Add(scenario::AddService(brain, "CPathFinder"), "Graph", DunmarrowAgent::kMoveGraph);
            scenario::AddService(brain, "CEntityManager");
            Add(scenario::AddAgent(brain, "DunmarrowAgent"), "Graph", DunmarrowAgent::kMoveGraph);
            scenario::AddAgent(brain, "CFollowerAgent");
        }
        CEntity* entity = Vusk::CreateEntity(name, &definition, Vusk::GetClassBitMask(), character);
        EXPECT_NE(entity, nullptr);
        EXPECT_TRUE(entity != nullptr && Vusk::AddEntity(world->GetWorld(), entity));
        return entity;
    }

    CMyTeam* MakeTeam(const char* graphName) {
        CConfigNode definition;
        Add(&definition, "Class", "CMyTeam");
        Add(&definition, "GraphName", graphName);
        auto* team = static_cast<CMyTeam*>(Vusk::CreateTeam(&definition, 4, "Dunmarrow"));
        if (team != nullptr)
            teams.push_back(team);
        return team;
    }

    void Frame() {
        time += 1.0;
        FakeAiHost::Instance().SetTime(time);
        Vusk::UpdateWorld(world->GetWorld());
    }

    std::unique_ptr<scenario::ScenarioWorld> world;
    int visibilityChecks = 1000; // grants of the visibility task a frame
    float frameBudgetMs = 0.0f;  // 0: the tasks are not rationed
    CSpatialGraph* graph = nullptr;
    std::vector<CTeam*> teams;
    double time = 1.0;
};

// The other classes are made by name in the tests below.
TEST_P(DemoAiTest, ClassesAreRegistered) {
    EXPECT_TRUE(Demo::CheckAiClasses());
    EXPECT_EQ(CAgentDesc::Find("DunmarrowAgent")->GetParent(), &CHideAgent::s_classDesc);
}

TEST_P(DemoAiTest, ActionClassBranchTable) {
    MakeWorld();
    FakeCharacter character;
    character.Place(CVector3(5, 0, 5), 10.0f);
    CEntity* bot = MakeEntity("bot", &character, false);
    bot->SetAngles(CVector3(0, 10, 0));
    auto* actions = static_cast<CDefaultActionClass*>(CDefaultActionClass::Create());
    CActionSpeed& speed = *actions->GetSpeedAction();
    CActionRotate& rotate = *actions->GetRotateAction();
    CActionTorsoRotate& torso = *actions->GetTorsoRotateAction();
    CActionShoot& shoot = *actions->GetShootAction();
    CActionCrouch& crouch = *actions->GetCrouchAction();
    auto apply = [&] {
        character.ClearCommands();
        actions->Apply(bot);
    };
    // The steps in turn, each with the decisions it changes; kAny: not checked. Running speed 4:
    // the ratio is the speed over 8.
    constexpr float kAny = -99.0f;
    constexpr int kAnyState = -99;
    using C = IDemoCharacter;
    struct Step {
        const char* what;
        std::function<void()> decide;
        int state;
        float forward, sideways, turn;
        int aimed = -1, shots = -1, turning = -1;
    };
    const Step steps[] = {
        {"nothing decided: stand, keep the heading", [] {}, C::kWalk, 0.0f, 0.0f, 0.0f},
        {"fast (ratio 0.6): run at half forward, turn a tenth of the way",
         [&] { speed.value = 4.8f, speed.set = 1, rotate.value = 30.0f, rotate.set = 1; }, C::kRun, 0.5f, kAny, 2.0f},
        {"turns of at most 4", [&] { rotate.value = 170.0f; }, kAnyState, kAny, kAny, 4.0f},
        {"turns of at most 4 either way", [&] { rotate.value = -100.0f; }, kAnyState, kAny, kAny, -4.0f},
        {"slow (ratio 0.25): walk at three quarters, turn a twentieth of the way",
         [&] { speed.value = 2.0f, rotate.value = -10.0f; }, C::kWalk, 0.75f, 0.0f, -1.0f},
        // The body turns towards the torso from the way the frame faces (10), and the walk goes 60
        // degrees off the torso.
        {"torso turned to 40 while the legs go to 100",
         [&] { torso.angle1 = 40.0f, torso.set = 1, rotate.value = 100.0f; }, C::kWalk, 0.5f, 0.8660254f, 3.0f, 0},
        {"too fast with the torso turned: held at ratio 0.49", [&] { speed.value = 6.0f; }, kAnyState, 0.5f * 1.96f,
         0.8660254f * 1.96f, kAny},
        {"firing while walking with the torso turned",
         [&] { shoot.direction = Dir(40.0f), shoot.fire = 1, shoot.set = 1; }, C::kTurnToAim, kAny, kAny, kAny, 1, 1},
        {"standing to shoot 30 degrees off the heading: aim along the shot",
         [&] { torso.set = speed.set = rotate.set = shoot.fire = 0; }, C::kStandingAim, kAny, kAny, kAny, 1, 0},
        {"crouched, firing", [&] { crouch.value = 1, crouch.set = 1, shoot.fire = 1; }, C::kCrouchedAim, kAny, kAny,
         kAny, -1, 1},
        // Once turning, it keeps turning until within 5 degrees, although 30 degrees would be close
        // enough to aim.
        {"90 degrees off: turn on the spot at a thirtieth of the angle",
         [&] { crouch.set = 0, shoot.direction = Dir(100.0f); }, C::kTurnToAim, 0.0f, kAny, 3.0f, 0, -1, 1},
        {"30 degrees off while turning", [&] { shoot.direction = Dir(40.0f); }, C::kTurnToAim, kAny, kAny, 1.0f},
        {"within 5 degrees", [&] { shoot.direction = Dir(13.0f); }, C::kStandingAim, kAny, kAny, kAny, 1, -1, 0},
        {"a profile that cannot run gets no speed: a stop",
         [&] { shoot.set = 0, speed.value = 3.0f, speed.set = 1, character.runSpeed = 0.0f; }, C::kWalk, 0.0f, kAny,
         kAny},
    };
    for (const Step& step : steps) {
        SCOPED_TRACE(step.what);
        step.decide();
        apply();
        if (step.state != kAnyState) {
            EXPECT_EQ(character.state, step.state);
        }
        for (const auto& [got, want] : {std::pair{character.forward, step.forward},
                                        {character.sideways, step.sideways},
                                        {character.turn, step.turn}}) {
            if (want != kAny) {
                EXPECT_NEAR(got, want, 1e-3f);
            }
        }
        // -1: not checked.
        EXPECT_TRUE(step.aimed < 0 || character.aimed == (step.aimed == 1));
        EXPECT_TRUE(step.shots < 0 || character.shots == step.shots);
        EXPECT_TRUE(step.turning < 0 || actions->IsTurning() == (step.turning == 1));
        if (step.state == C::kStandingAim) { // 100 metres along the shot
            EXPECT_NEAR(character.aim.x, bot->GetPosition().x + 100.0f * shoot.direction.x, 1e-3f);
            EXPECT_NEAR(character.aim.z, bot->GetPosition().z + 100.0f * shoot.direction.z, 1e-3f);
        }
    }

    // Entities of another class are left alone.
    scenario::HostBody body;
    CConfigNode* definition = scenario::MakeEntityDefinition(nullptr);
    CEntity* other = Vusk::CreateEntity("other", definition, 0, &body);
    delete definition;
    character.ClearCommands();
    actions->Apply(other);
    EXPECT_EQ(character.state, -1);
    Vusk::DestroyEntity(other);
    delete actions;
}

TEST_P(DemoAiTest, EntityFollowsItsCharacter) {
    MakeWorld();
    FakeCharacter character;
    character.state = IDemoCharacter::kWalk;
    character.Place(CVector3(2, 1, 3), 90.0f);
    CEntity* bot = MakeEntity("bot", &character, false);
    // Measures from the character; the character is left running.
    EXPECT_EQ(character.state, IDemoCharacter::kRun);
    EXPECT_EQ(bot->FindAttribute<CEntityMaxSpeed>()->value, 8.0f);
    EXPECT_EQ(bot->FindAttribute<CEntityWidth>()->value, 0.8f);
    EXPECT_EQ(bot->FindAttribute<CEntityHeight>()->value, 1.8f);
    EXPECT_EQ(bot->FindAttribute<CEntityVisualAcuteness>()->angle, 90.0f);
    EXPECT_EQ(bot->FindAttribute<CEntityVisualAcuteness>()->range, 60.0f);
    EXPECT_EQ(bot->FindAttribute<CEntityHealth>()->health, 87);
    EXPECT_EQ(bot->FindAttribute<CEntityHealth>()->maxHealth, 87);

    // Standing: the direction is the way the frame faces, the speed 0.
    character.forward = character.sideways = 0.0f;
    character.health = 12.9f;
    bot->Update();
    EXPECT_NEAR(bot->GetPosition().y, 1.9f, 1e-5f);
    EXPECT_EQ(bot->GetSpeed(), 0.0f);
    EXPECT_NEAR(bot->GetDirection().x, 1.0f, 1e-5f);
    EXPECT_NEAR(bot->GetAngles().y, 90.0f, 1e-3f);
    EXPECT_NEAR(bot->FindAttribute<CEntityEyePosition>()->value.y, 2.8f, 1e-5f);
    EXPECT_EQ(bot->FindAttribute<CEntityGunPosition>()->value.z, 3.0f);
    EXPECT_EQ(bot->FindAttribute<CEntityHealth>()->health, 12);
    EXPECT_EQ(bot->FindAttribute<CEntityHeadDirection>()->value.y, 1.0f);

    // Moving forward and sideways (right = up x at = -z here): speed from both, the direction
    // their horizontal sum.
    character.forward = 0.6f, character.sideways = 0.8f;
    character.headUp = CVector3(0, 0, 3);
    bot->Update();
    EXPECT_NEAR(bot->GetSpeed(), 4.0f, 1e-5f);
    EXPECT_NEAR(bot->GetDirection().x, 0.6f, 1e-5f);
    EXPECT_NEAR(bot->GetDirection().z, 0.8f * character.frame.right.z, 1e-5f);
    EXPECT_EQ(bot->FindAttribute<CEntityHeadDirection>()->value.z, 1.0f);
    // A skeleton without the head bone keeps the last head direction.
    character.bones = 17;
    character.headUp = CVector3(1, 0, 0);
    bot->Update();
    EXPECT_EQ(bot->FindAttribute<CEntityHeadDirection>()->value.z, 1.0f);
}

TEST_P(DemoAiTest, TeamReservations) {
    MakeWorld();
    FakeCharacter a, b;
    CEntity* first = MakeEntity("first", &a, false);
    CEntity* second = MakeEntity("second", &b, false);
    ASSERT_EQ(first->GetIndex(), 0); // the entity of index 0 holds like any other
    EXPECT_EQ(MakeTeam("NoSuchGraph"), nullptr);
    CMyTeam* team = MakeTeam("movegraph"); // graph names in any letter case
    ASSERT_NE(team, nullptr);
    EXPECT_EQ(team->GetGraph(), graph);
    const std::int32_t count = team->GetReservationCount();
    EXPECT_EQ(count, graph->GetVertexCount());
    EXPECT_EQ(team->computingMember, CMyTeam::kNoMember);

    for (std::int32_t v : {-1, count, count + 1, 32768, -32768}) {
        team->ReserveVertex(v, first);
        EXPECT_FALSE(team->IsVertexReserved(v));
        team->ReleaseVertex(v, first);
    }
    team->ReserveVertex(0, first);
    team->ReserveVertex(count - 1, second);
    EXPECT_TRUE(team->IsVertexReserved(0));
    EXPECT_TRUE(team->IsVertexReserved(count - 1));
    EXPECT_EQ(team->GetHolder(0), first);
    team->ReleaseVertex(0, second); // not the holder
    EXPECT_TRUE(team->IsVertexReserved(0));
    team->ReleaseVertex(0, first);
    EXPECT_FALSE(team->IsVertexReserved(0));
    EXPECT_TRUE(team->IsVertexReserved(count - 1));
    // The held vertex leaves and a vertex elsewhere takes its record and index: nobody holds it.
    ASSERT_TRUE(graph->RemoveVertex(count - 1));
    ASSERT_EQ(graph->AddVertex(CGraphVertexData(CVector3(-30, 0, -30)), count - 1), count - 1);
    EXPECT_EQ(team->GetHolder(count - 1), nullptr);
    team->ReserveVertex(count - 1, first);
    EXPECT_EQ(team->GetHolder(count - 1), first);

    // Parameters other than a known graph are refused.
    CConfigNode node;
    node.SetName("GraphName");
    EXPECT_FALSE(team->ReadParam(&node)); // no value
    node.SetName("Graph");
    node.SetValue(DunmarrowAgent::kMoveGraph);
    EXPECT_FALSE(team->ReadParam(&node));
}

// A bot with the soldier's brain in a team, and the player, on the open floor.
class SoldierTest : public DemoAiTest {
protected:
    void Build(const std::vector<scenario::Box>& boxes = {}) {
        crt_srand(7);
        MakeWorld(boxes);
        playerCharacter.Place(CVector3(0, 0, 0), 0.0f);
        botCharacter.Place(CVector3(0, 0, 10), 180.0f);
        player = MakeEntity("Player", &playerCharacter, false);
        bot = MakeEntity("Soldier0", &botCharacter, true);
        ASSERT_NE(bot, nullptr);
        brain = static_cast<CSoldierBrain*>(bot->GetBrain());
        ASSERT_NE(brain, nullptr);
        team = MakeTeam(DunmarrowAgent::kMoveGraph);
        ASSERT_NE(team, nullptr);
        ASSERT_TRUE(team->AddMember(bot));
    }
    CActionSpeed* BrainSpeed() const { return brain->GetActionClass()->FindAction<CActionSpeed>(); }

    FakeCharacter playerCharacter, botCharacter;
    CEntity* player = nullptr;
    CEntity* bot = nullptr;
    CSoldierBrain* brain = nullptr;
    CMyTeam* team = nullptr;
};

TEST_P(SoldierTest, ComesToThePlayerAndStopsWithHysteresis) {
    Build({{{-20, 0, 4}, {20, 3, 5}}}); // a wall between z = 4 and 5, bot behind it
    Demo::GetGameOrder().mode = Demo::kComeToMe;
    const float drawn = brain->GetStopRadius2();
    EXPECT_GE(drawn, 30.0f);
    EXPECT_LE(drawn, 130.0f);

    // Within even the smallest radius drawn, but hidden behind the wall: keeps following.
    botCharacter.Place(CVector3(0, 0, 5.2f), 180.0f);
    Frame();
    EXPECT_EQ(brain->GetFollower()->GetEntityToFollow(), player);
    EXPECT_EQ(brain->GetStopRadius2(), drawn);
    EXPECT_EQ(brain->GetPathFinder()->m_simpleMove, &Vusk::VisibleAvoidDynMove);

    // In sight and within the radius: stops, nothing decided.
    FakeAiHost::Instance().ClearBoxes();
    botCharacter.Place(CVector3(0, 0, 3), 180.0f);
    Frame();
    EXPECT_EQ(brain->GetStopRadius2(), 150.0f);
    EXPECT_FALSE(BrainSpeed()->set);
    // Still standing out to sqrt(150) units.
    botCharacter.Place(CVector3(0, 0, 12.0f), 180.0f);
    Frame();
    EXPECT_EQ(brain->GetStopRadius2(), 150.0f);
    // Beyond: follows again with a newly drawn radius.
    botCharacter.Place(CVector3(0, 0, 12.5f), 180.0f);
    Frame();
    EXPECT_NE(brain->GetStopRadius2(), 150.0f);
    EXPECT_GE(brain->GetStopRadius2(), 30.0f);
    EXPECT_LE(brain->GetStopRadius2(), 130.0f);
}

TEST_P(SoldierTest, TakesCoverSlowingDownAndTurningItsTorso) {
    Build({{{-3, 0, 4}, {3, 3, 5}}}); // a wall the bot can hide behind
    Demo::GetGameOrder().mode = Demo::kTakeCover;
    Frame();
    DunmarrowAgent* hider = brain->GetHider();
    EXPECT_EQ(hider->GetTeam(), team);
    EXPECT_EQ(brain->GetPathFinder()->m_simpleMove, &Vusk::VisibleMove);
    ASSERT_EQ(hider->GetDangerousEntityCount(), 1u);
    for (int i = 0; i < 5 && !hider->HasDestination(); ++i)
        Frame();
    ASSERT_TRUE(hider->HasDestination());
    const std::int32_t vertex = hider->GetDestinationVertexIndex();
    EXPECT_EQ(team->GetHolder(vertex), bot);
    EXPECT_EQ(team->computingMember, CMyTeam::kNoMember);
    // The place is hidden from the player's eyes.
    const CVector3 destination = hider->GetDestination();
    EXPECT_FALSE(Vusk::HasLineOfSight(player->FindAttribute<CEntityEyePosition>()->value,
                                      destination + CVector3(0, 0.9f, 0), player, 1));

    // Walk the bot towards its destination along z and watch the speed and the torso.
    struct Step {
        float distance;     // from the destination
        float speedFactor;  // brain's speed over the path finder's
        bool torsoTurning;  // the torso action is set
        float torsoRadius2; // after the frame
    };
    const Step steps[] = {
        {2.5f, 1.0f, false, 4.0f}, // first time: only within 1.5 units
        {1.8f, 0.6f, true, 9.0f},  // within 2: turns
        {2.5f, 1.0f, true, 9.0f},  // keeps turning out to 3
        {3.2f, 1.0f, false, 4.0f}, // beyond 3: stops
        {2.5f, 1.0f, false, 4.0f}, // and starts again only within 2
        {0.8f, 0.2f, true, 9.0f},
    };
    for (const Step& step : steps) {
        botCharacter.Place(destination + CVector3(step.distance, -0.9f, 0), -90.0f);
        Frame();
        SCOPED_TRACE(step.distance);
        ASSERT_EQ(hider->GetDestinationVertexIndex(), vertex);
        const auto* own = brain->GetPathFinder()->GetActionClass()->FindAction<CActionSpeed>();
        ASSERT_TRUE(own != nullptr && own->set && own->value > 0.0f);
        EXPECT_NEAR(BrainSpeed()->value / own->value, step.speedFactor, 1e-5f);
        EXPECT_EQ(brain->GetActionClass()->FindAction<CActionTorsoRotate>()->set != 0, step.torsoTurning);
        EXPECT_EQ(brain->GetTorsoRadius2(), step.torsoRadius2);
    }
}

TEST_P(SoldierTest, TakesCoverAgainAtItsOwnPlaceWhenTheOthersAreHeld) {
    Build({{{-3, 0, 4}, {3, 3, 5}}});
    Demo::GetGameOrder().mode = Demo::kTakeCover;
    DunmarrowAgent* hider = brain->GetHider();
    for (int i = 0; i < 6 && !hider->HasDestination(); ++i)
        Frame();
    ASSERT_TRUE(hider->HasDestination());
    const std::int32_t place = hider->GetDestinationVertexIndex();
    // Team mates hold every other vertex: as many bots as hiding places.
    for (std::int32_t v = 0; v <= graph->GetLastVertexIndex(); ++v)
        if (v != place)
            team->ReserveVertex(v, player);

    // Two switches: to the player, then back into cover from beside him.
    Demo::GetGameOrder() = {Demo::kComeToMe, 1};
    botCharacter.Place(CVector3(0, 0, 2), 180.0f);
    Frame();
    Demo::GetGameOrder() = {Demo::kTakeCover, 1};
    Frame();
    Demo::GetGameOrder().modeToggled = 0;
    for (int i = 0; i < 6 && !(hider->HasDestination() && hider->IsScanComplete()); ++i)
        Frame();
    ASSERT_TRUE(hider->HasDestination());
    EXPECT_EQ(hider->GetDestinationVertexIndex(), place);
    EXPECT_EQ(team->GetHolder(place), bot);
    EXPECT_EQ(team->computingMember, CMyTeam::kNoMember);
    EXPECT_TRUE(BrainSpeed()->set && BrainSpeed()->value > 0.0f); // on its way back
}

// Searches are taken in turn: a member that stops half way through its search (it leaves the world,
// or its brain goes) hands the turn on, and a team that goes is dropped by the agents that named it.
TEST_P(SoldierTest, AMemberStoppingMidSearchOrATeamGoingHoldsNobodyUp) {
    visibilityChecks = 40; // a search takes several frames
    frameBudgetMs = 1000.0f;
    auto hiderOf = [](const CEntity* e) { return static_cast<CSoldierBrain*>(e->GetBrain())->GetHider(); };
    for (const bool leaves : {true, false}) {
        SCOPED_TRACE(leaves ? "leaves the world" : "loses its brain");
        Build({{{-3, 0, 4}, {3, 3, 5}}});
        FakeCharacter otherCharacter;
        otherCharacter.Place(CVector3(2, 0, 10), 180.0f);
        CEntity* other = MakeEntity("Soldier1", &otherCharacter, true);
        ASSERT_TRUE(other != nullptr && team->AddMember(other));
        Demo::GetGameOrder().mode = Demo::kTakeCover;
        for (int i = 0; i < 10 && team->computingMember == CMyTeam::kNoMember; ++i)
            Frame();
        ASSERT_NE(team->computingMember, CMyTeam::kNoMember);
        CEntity* stopping = world->GetWorld()->GetEntityAt(team->computingMember);
        CEntity* staying = stopping == bot ? other : bot;
        ASSERT_FALSE(hiderOf(stopping)->IsScanComplete()); // half way
        ASSERT_FALSE(hiderOf(staying)->HasDestination());

        if (leaves)
            ASSERT_TRUE(Vusk::RemoveEntity(world->GetWorld(), stopping));
        else
            delete stopping->GetBrain();
        EXPECT_EQ(team->computingMember, CMyTeam::kNoMember);
        DunmarrowAgent* hider = hiderOf(staying);
        for (int i = 0; i < 40 && !(hider->HasDestination() && hider->IsScanComplete()); ++i)
            Frame();
        ASSERT_TRUE(hider->HasDestination() && hider->IsScanComplete());

        Vusk::DestroyTeam(team);
        teams.clear();
        EXPECT_EQ(hider->GetTeam(), nullptr);
        Frame(); // the staying soldier thinks without the team
    }
}

TEST_P(SoldierTest, CandidatesMustBeCoveredAtBothSidesAndAbove) {
    // A tall wall north of the player, a low one south of it and two east of it with a slit
    // between them, a little south of the line to (8, 0).
    Build({{{-3, 0, 4}, {3, 3, 4.2f}},
           {{-3, 0, -4.2f}, {3, 1.2f, -4}},
           {{4, 0, -0.05f}, {4.2f, 3, 3}},
           {{4, 0, -3}, {4.2f, 3, -0.15f}}});
    Demo::GetGameOrder().mode = Demo::kTakeCover;
    Frame(); // the brain hands the hider its team and the player as its danger
    DunmarrowAgent* hider = brain->GetHider();
    ASSERT_EQ(hider->GetDangerousEntityCount(), 1u);
    team->ReleaseVertex(hider->GetDestinationVertexIndex(), bot);
    auto vertexAt = [&](float x, float z) -> CGraphVertex* {
        for (std::int32_t i = 0; i <= graph->GetLastVertexIndex(); ++i) {
            CGraphVertex* v = graph->GetVertex(i);
            if (v != nullptr && v->GetPosition().x == x && v->GetPosition().z == z)
                return v;
        }
        return nullptr;
    };
    const CVector3 eyeOffset(0, 0.9f, 0); // the player's eyes 0.9 above its centre
    auto evaluate = [&](CGraphVertex* vertex, bool reset = true) {
        if (reset)
            hider->ResetBestScores();
        float score = 0.0f;
        std::uint8_t stop = 0, budget = 1;
        const bool taken = hider->EvaluateCandidate(vertex, eyeOffset, &score, &stop, &budget);
        EXPECT_EQ(budget, 1);
        EXPECT_EQ(taken, score > 0.0f);
        return taken;
    };
    const CVector3 eye(0, 1.8f, 0);
    auto hidden = [&](const CVector3& point) { return !Vusk::HasLineOfSight(eye, point, player, 1); };
    CGraphVertex* behind = vertexAt(0, 7);
    CGraphVertex* edge = vertexAt(5, 7);
    CGraphVertex* low = vertexAt(0, -7);
    CGraphVertex* slit = vertexAt(8, 0);
    ASSERT_TRUE(behind != nullptr && edge != nullptr && low != nullptr && slit != nullptr);
    // Each centre is out of the player's sight...
    EXPECT_TRUE(hidden(behind->GetPosition()));
    EXPECT_TRUE(hidden(edge->GetPosition()));
    EXPECT_TRUE(hidden(low->GetPosition()));
    // ...but only the first is covered at both sides and a metre above.
    EXPECT_TRUE(evaluate(behind));
    EXPECT_FALSE(evaluate(edge)); // its outer side shows past the wall's end
    EXPECT_FALSE(evaluate(low));  // a metre up shows over the low wall
    // Both sides and a metre up are covered here, but a soldier's eyes a little south of the place,
    // where he may stop, show through the slit.
    EXPECT_TRUE(hidden(slit->GetPosition() + eyeOffset));
    EXPECT_FALSE(hidden(slit->GetPosition() + eyeOffset + CVector3(0, 0, -DunmarrowAgent::kStandRadius)));
    EXPECT_FALSE(evaluate(slit));

    // A place a team mate holds is passed over.
    team->ReserveVertex(behind->GetIndex(), player);
    EXPECT_FALSE(evaluate(behind));
    team->ReleaseVertex(behind->GetIndex(), player);
    // Within one scan a candidate must be nearer than the best so far.
    CGraphVertex* nearer = vertexAt(0, 8);
    ASSERT_NE(nearer, nullptr);
    EXPECT_TRUE(evaluate(behind));
    EXPECT_TRUE(evaluate(nearer, false));
    EXPECT_FALSE(evaluate(behind, false));
    // The vertex under the bot, measured from, leaves within the frame: the one nearest the bot now serves.
    ASSERT_TRUE(vertexAt(0, 10) != nullptr && graph->RemoveVertex(vertexAt(0, 10)->GetIndex()));
    EXPECT_TRUE(evaluate(behind));

    // A slit whose band a soldier standing across the line from his place straddles, but not one
    // who stops on a diagonal of it (0.2 across shows 0.1 on the walls, the diagonal 0.07).
    FakeAiHost::Instance().ClearBoxes();
    FakeAiHost::Instance().AddBox(4, 0, 0.085f, 4.02f, 3, 3);
    FakeAiHost::Instance().AddBox(4, 0, -3, 4.02f, 3, 0.055f);
    const CVector3 place = slit->GetPosition();
    for (float across : {0.0f, 0.2f, -0.2f})
        EXPECT_TRUE(hidden(place + eyeOffset + CVector3(0, 0, across)));
    EXPECT_FALSE(hidden(place + eyeOffset + CVector3(-0.1414f, 0, 0.1414f)));
    EXPECT_FALSE(DunmarrowAgent::IsCoveredFrom(eye, place, eyeOffset.y, player));
}

AI_ENGINE_TEST_SUITE(DemoAiTest);
AI_ENGINE_TEST_SUITE(SoldierTest);

} // namespace
