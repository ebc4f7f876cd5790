#pragma once
// Fixture of the agent tests: a floor of the fake host with boxes, a 1 m grid graph "floor" (20 x 20 m
// unless said otherwise), resource managers fed from memory blocks, bots whose brains run the path
// finder, the entity manager and one agent, and frames at a fixed step.

#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "ai/behaviours/entity_manager.h"
#include "ai/behaviours/shooter_agent.h"
#include "ai/navigation/path_finder.h"
#include "ai/navigation/resource_manager.h"
#include "ai/runtime/ais_reader.h"
#include "ai/runtime/brain.h"
#include "testing/fake_ai_host.h"
#include "tools/ai_scenario/scenario_kit.h"
#include "tools/aires/resource_text.h"

class AgentWorldTest : public AiEngineTest {
protected:
    using Params = std::vector<std::pair<std::string, std::string>>;

    void TearDown() override {
        m_world.reset();
        Vusk::ReleaseAisReader();
        AiEngineTest::TearDown();
    }

    // The grid reaches `half` metres from the origin and keeps `clearance` off the boxes.
    void MakeFloor(const std::vector<scenario::Box>& boxes, float half = 10.0f, float clearance = 0.4f) {
        m_world = std::make_unique<scenario::ScenarioWorld>();
        ASSERT_TRUE(m_world->Create(scenario::MakeWorldTree(32, 0.0f, scenario::DefaultTasks(), {"CGraphManager"}),
                                    PoolSize()));
        scenario::AddBoxes(boxes);
        m_graph = scenario::BuildGridGraph(-half, -half, half, half, 1.0f, clearance);
        ASSERT_TRUE(m_world->AddGraph("floor", m_graph));
    }

    // Hands the (name, block) pairs to the resource manager and the manager to the world.
    void AddResources(CResourceManager* manager, const std::vector<std::pair<std::string, AiRes::Bytes>>& blocks) {
        CConfigNode nodes;
        for (const auto& [name, bytes] : blocks) {
            CConfigNode* raw = scenario::Add(&nodes, "RawData");
            ASSERT_TRUE(Vusk::GetAisReader()->AttachMemoryBlock(raw, bytes.data(), uint32_t(bytes.size())));
            ASSERT_TRUE(manager->AddResource(name.c_str(), raw));
        }
        ASSERT_TRUE(m_world->GetWorld()->AddGlobalService(manager));
    }

    // A bot with that agent and its parameters (and the path finder's); null when the world
    // refuses it.
    CEntity* SpawnBot(const scenario::HostBody& body, const char* agentClass, const Params& params,
                      const Params& finderParams = {}, const char* name = nullptr) {
        CConfigNode* brain = nullptr;
        CConfigNode* definition = scenario::MakeEntityDefinition(&brain);
        CConfigNode* finder = scenario::AddService(brain, "CPathFinder");
        scenario::Add(finder, "Graph", "floor");
        for (const auto& [key, value] : finderParams)
            scenario::Add(finder, key.c_str(), value.c_str());
        scenario::AddService(brain, "CEntityManager");
        CConfigNode* agent = scenario::AddAgent(brain, agentClass);
        for (const auto& [key, value] : params)
            scenario::Add(agent, key.c_str(), value.c_str());
        return m_world->Spawn(body, definition,
                              CEntityManager::s_classDesc.GetClassBit() | CPathFinder::s_classDesc.GetClassBit() |
                                  CShooterAgent::kFriendMaskBit,
                              name);
    }

    // An entity without a brain that the entity managers perceive and the shooters take for a friend
    // unless its record says enemy.
    CEntity* SpawnPlain(const scenario::HostBody& body, const char* name) {
        return m_world->Spawn(body, scenario::MakeEntityDefinition(nullptr),
                              CEntityManager::s_classDesc.GetClassBit() | CShooterAgent::kFriendMaskBit,
                              name);
    }

    template <class T> static T* Agent(const CEntity* bot) {
        return bot != nullptr && bot->GetBrain() != nullptr
                   ? static_cast<T*>(bot->GetBrain()->GetAgent(&T::s_classDesc))
                   : nullptr;
    }

    void Frame(float step = 0.05f) {
        m_time += step;
        m_world->Frame(m_time, step);
    }

    scenario::HostBody& BodyOf(const CEntity* entity) { return m_world->BodyOf(entity); }
    CSpatialGraph* Graph() const { return m_graph; }

    std::unique_ptr<scenario::ScenarioWorld> m_world;
    CSpatialGraph* m_graph = nullptr;
    double m_time = 1.0;
};
