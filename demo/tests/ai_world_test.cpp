// The demo's AI world file built for a procedural level: the graph generator's graph and data go
// into the file, the engine reads it back, and the soldiers defined in it hide from the player in
// turn, each at a place of its own.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "ai/navigation/graph_manager.h"
#include "ai/navigation/spatial_graph.h"
#include "ai/runtime/ais_reader.h"
#include "ai/runtime/entity.h"
#include "ai/runtime/entity_attribute.h"
#include "ai/runtime/world.h"
#include "ai/runtime/world_api.h"
#include "demo/demo_character.h"
#include "demo/dunmarrow_agent.h"
#include "demo/game_order.h"
#include "demo/host_services.h"
#include "demo/my_team.h"
#include "demo/soldier_brain.h"
#include "graphics/core/stream.h"
#include "graphics/core/testkit/engine_fixture.h"
#include "testing/fake_ai_host.h"
#include "testing/scratch_dir.h"
#include "tools/mkasset/ai_world.h"

namespace {

// A character that stands where it is put.
class StandingCharacter : public IDemoCharacter {
public:
    explicit StandingCharacter(const CVector3& feet) { frame.position = feet; }
    int GetMovementState() const override { return state; }
    void SetMovementState(int value) override { state = value; }
    float GetSpeed() const override { return state == kRun ? 4.0f : state == kWalk ? 1.5f : 0.0f; }
    float GetForward() const override { return 0.0f; }
    float GetSideways() const override { return 0.0f; }
    void SetForward(float) override {}
    void SetSideways(float) override {}
    void SetTurnRate(float) override {}
    void SetAimPoint(const CVector3&) override {}
    void SetFiring() override {}
    CVector3 GetMuzzle() const override { return frame.position; }
    DemoCharacterFrame GetFrame() const override { return frame; }
    float GetHealth() const override { return 100.0f; }
    float GetProfileWidth() const override { return 0.6f; }
    float GetProfileHeight() const override { return 1.8f; }
    bool GetBoneUp(int, CVector3*) const override { return false; }

    int state = kRun;
    DemoCharacterFrame frame{CVector3(1, 0, 0), CVector3(0, 1, 0), CVector3(0, 0, 1), CVector3(0, 0, 0)};
};

mkasset::LevelOptions Options() {
    mkasset::LevelOptions options;
    options.seed = 3;
    options.size = 20;
    options.boxes = 10;
    return options;
}

class DemoWorldFileTest : public AiEngineTest {
public:
    // The generator runs the engine itself: once, before any test brings the engine up.
    static void SetUpTestSuite() {
        const std::string dir = MakeTestScratchDir("dun_demo_ai_world").string();
        ok = mkasset::BuildDemoAiWorld(Options(), dir, file, error, &figures);
    }

protected:
    void SetUp() override {
        ASSERT_TRUE(ok) << error;
        AiEngineTest::SetUp();
        ASSERT_TRUE(OvTestEngineUp());
        for (const navgen::LevelBox& box : mkasset::AiLevelOf(Options()).boxes)
            Host().AddBox(box.min[0], box.min[1], box.min[2], box.max[0], box.max[1], box.max[2]);
    }
    void TearDown() override {
        Demo::GetGameOrder() = Demo::GameOrder{};
        EXPECT_TRUE(OvTestEngineDown());
        AiEngineTest::TearDown();
    }

    static inline bool ok = false;
    static inline std::string error;
    static inline std::vector<std::uint8_t> file;
    static inline mkasset::AiWorldFigures figures;
};

// The world of the file with the player and the bots of the given characters, the bots in the
// team "Dunmarrow" in index order.
struct DemoWorld {
    CConfigNode* tree = nullptr;
    CWorld* world = nullptr;
    CSpatialGraph* graph = nullptr;
    CEntity* player = nullptr;
    CMyTeam* team = nullptr;
    std::vector<CEntity*> bots;

    void Load(const std::vector<std::uint8_t>& file, StandingCharacter* playerCharacter,
              std::vector<StandingCharacter>& botCharacters) {
        OvMemory memory{const_cast<std::uint8_t*>(file.data()), static_cast<OvUInt32>(file.size())};
        OvStream* stream = OvStreamOpen(ovSTREAMMEMORY, ovSTREAMREAD, &memory);
        ASSERT_NE(stream, nullptr);
        tree = Vusk::LoadAisFile(stream);
        ASSERT_NE(tree, nullptr);
        world = Vusk::CreateWorld(tree, 0);
        OvStreamClose(stream, nullptr);
        ASSERT_NE(world, nullptr);
        graph = Vusk::GetGraphManager()->FindGraph(DunmarrowAgent::kMoveGraph);
        ASSERT_NE(graph, nullptr);
        CConfigNode* definition = Vusk::ExpandEntityDefinition(world, "Player");
        ASSERT_NE(definition, nullptr);
        player = Vusk::CreateEntity("Player", definition, Vusk::GetClassBitMask(), playerCharacter);
        Vusk::ReleaseTree(definition);
        ASSERT_TRUE(player != nullptr && Vusk::AddEntity(world, player));
        definition = Vusk::FindTeamDefinition(world, "Dunmarrow");
        team = static_cast<CMyTeam*>(
            Vusk::CreateTeam(definition, static_cast<std::uint32_t>(botCharacters.size()), nullptr));
        Vusk::DeleteTree(definition);
        ASSERT_NE(team, nullptr);
        EXPECT_EQ(team->GetGraph(), graph);
        CConfigNode* guard = Vusk::ExpandEntityDefinition(world, "Guard");
        ASSERT_NE(guard, nullptr);
        for (std::size_t i = 0; i < botCharacters.size(); ++i) {
            const std::string name = "Soldier" + std::to_string(i);
            CEntity* bot = Vusk::CreateEntity(name.c_str(), guard, Vusk::GetClassBitMask(), &botCharacters[i]);
            ASSERT_TRUE(bot != nullptr && Vusk::AddEntity(world, bot) && team->AddMember(bot));
            ASSERT_NE(dynamic_cast<CSoldierBrain*>(bot->GetBrain()), nullptr);
            bots.push_back(bot);
        }
        Vusk::ReleaseTree(guard);
    }
    ~DemoWorld() {
        if (team != nullptr)
            Vusk::DestroyTeam(team);
        delete world;
        if (tree != nullptr)
            Vusk::DeleteTree(tree);
    }
};

TEST_P(DemoWorldFileTest, SoldiersHideInTurnAtPlacesOfTheirOwn) {
    EXPECT_GT(figures.vertices, 10);
    EXPECT_GT(figures.edges, figures.vertices);

    StandingCharacter playerCharacter(CVector3(0, 0, 0));
    std::vector<StandingCharacter> botCharacters{StandingCharacter(CVector3(1, 0, 1)),
                                                 StandingCharacter(CVector3(-1, 0, 1)),
                                                 StandingCharacter(CVector3(1, 0, -1))};
    DemoWorld demo;
    ASSERT_NO_FATAL_FAILURE(demo.Load(file, &playerCharacter, botCharacters));
    EXPECT_EQ(demo.graph->GetVertexCount(), figures.vertices);
    CMyTeam* team = demo.team;
    const std::vector<CEntity*>& bots = demo.bots;

    Demo::GetGameOrder().mode = Demo::kTakeCover;
    double time = 1.0;
    for (int frame = 0; frame < 100; ++frame) {
        time += 0.05;
        Host().SetTime(time);
        Vusk::UpdateWorld(demo.world);
        EXPECT_TRUE(team->computingMember == CMyTeam::kNoMember || team->computingMember == bots[0]->GetIndex() ||
                    team->computingMember == bots[1]->GetIndex() || team->computingMember == bots[2]->GetIndex());
    }
    const CVector3 eye = demo.player->FindAttribute<CEntityEyePosition>()->value;
    std::vector<std::int32_t> chosen;
    for (CEntity* bot : bots) {
        const DunmarrowAgent* hider = static_cast<CSoldierBrain*>(bot->GetBrain())->GetHider();
        SCOPED_TRACE(bot->GetName());
        ASSERT_TRUE(hider->HasDestination());
        const std::int32_t vertex = hider->GetDestinationVertexIndex();
        EXPECT_EQ(team->GetHolder(vertex), bot);
        for (std::int32_t other : chosen)
            EXPECT_NE(vertex, other);
        chosen.push_back(vertex);
        const CVector3 place = demo.graph->GetVertex(vertex)->GetPosition();
        EXPECT_FALSE(Vusk::HasLineOfSight(eye, place + CVector3(0, 0.9f, 0), demo.player, 1));
    }
}

AI_ENGINE_TEST_SUITE(DemoWorldFileTest);

} // namespace
