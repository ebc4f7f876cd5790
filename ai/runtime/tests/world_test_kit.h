#pragma once
// Classes and helpers shared by the world, entity, brain and scheduler tests: one small class
// per registry (registered in the engine-wide registries like a host's classes), an event log
// they write to, and a tree builder.

#include <functional>
#include <string>
#include <vector>

#include "ai/runtime/agent.h"
#include "ai/runtime/brain.h"
#include "ai/runtime/config_node.h"
#include "ai/runtime/entity.h"
#include "ai/runtime/service.h"
#include "ai/runtime/team.h"
#include "ai/runtime/world.h"
#include "testing/fake_ai_host.h"
#include "testing/config_tree.h"

namespace worldkit {

// Events in the order the engine caused them ("update <entity>", "think <entity>", ...).
std::vector<std::string>& Log();
// Logs the event, then runs a test's hook with it as if in the object that logged (which then stops).
extern std::function<void(const std::string&)> g_hook;
void Note(const std::string& event);

// Appends a child named `name` with optional value and label; returns it.
using configtree::Add;
using configtree::AddDefinition;
using configtree::AddEntityDefinition;

// A world definition with the three required keys, MaxTeam, no tasks.
CConfigNode* MakeWorldTree(const char* maxEntity = "10", const char* maxTeam = "4");

// An entity definition: "Class" TestEntity, "ActionClass" TestActionClass and, when brainClass is
// not null, a "Brain" node of that class.
CConfigNode* MakeEntityDefinition(const char* brainClass = "TestBrain");

extern CEntityClassDesc g_testEntityDesc;
extern CActionClassDesc g_testActionClassDesc;
extern CBrainDesc g_testBrainDesc;
extern CBrainDesc g_plainBrainDesc;
extern CAgentDesc g_testAgentDesc;
extern CAgentDesc g_failingAgentDesc;
extern CServiceDesc g_testServiceDesc;
extern CServiceDesc g_derivedServiceDesc;
extern CGlobalServiceDesc g_testGlobalServiceDesc;
extern CGlobalServiceDesc g_derivedGlobalServiceDesc;
extern CTeamDesc g_testTeamDesc;

// Entity class "TestEntity": Update logs; Init fails with a "FailInit" child; its companion goes with it.
class TestEntity : public CEntity {
public:
    using CEntity::CEntity;
    ~TestEntity() override { Vusk::DestroyEntity(companion); }
    bool Init(CConfigNode* definition) override;
    const CEntityClassDesc* GetClassDesc() const override { return &g_testEntityDesc; }
    void Update() override { Note(std::string("update ") + GetName()); }
    CEntity* companion = nullptr;
};

// Action class "TestActionClass": holds CActionSpeed and CActionShoot; Apply logs.
class TestActionClass : public CActionClass {
public:
    TestActionClass();
    const CActionClassDesc* GetClassDesc() const override { return &g_testActionClassDesc; }
    void Apply(CEntity* entity) override { Note(std::string("apply ") + entity->GetName()); }
};

// Brain "TestBrain": parameter "Decide" (0/1) is what Think answers; Think logs and sets the
// speed action when deciding. Parameter "Fail" makes ReadParam refuse.
class TestBrain : public CBrain {
public:
    using CBrain::CBrain;
    const CBrainDesc* GetClassDesc() const override { return &g_testBrainDesc; }
    bool ReadParam(CConfigNode* node) override;
    bool Think() override;
    bool decide = true;
};

// Brain "PlainBrain": keeps the default ReadParam.
class PlainBrain : public CBrain {
public:
    using CBrain::CBrain;
    const CBrainDesc* GetClassDesc() const override { return &g_plainBrainDesc; }
    bool Think() override { return false; }
};

// Agent "TestAgent": parameter "Speed"; Update logs "agent <speed>". Agent "FailingAgent": Init
// always fails.
class TestAgent : public CAgent {
public:
    using CAgent::CAgent;
    bool ReadParam(CConfigNode* node) override;
    void Update() override { Note("agent " + std::to_string(static_cast<int>(speed))); }
    const CAgentDesc* GetClassDesc() const override { return &g_testAgentDesc; }
    bool IsReady() override { return true; }
    bool Think() override { return false; }
    float speed = 0.0f;
};
class FailingAgent : public TestAgent {
public:
    using TestAgent::TestAgent;
    bool Init(CConfigNode*) override { return false; }
    const CAgentDesc* GetClassDesc() const override { return &g_failingAgentDesc; }
};

// Service "TestService" and "DerivedService" (parent TestService); Update logs "service <class>".
class TestService : public CService {
public:
    using CService::CService;
    void Update() override { Note(std::string("service ") + GetClassDesc()->GetName()); }
    const CServiceDesc* GetClassDesc() const override { return &g_testServiceDesc; }
};
class DerivedService : public TestService {
public:
    using TestService::TestService;
    const CServiceDesc* GetClassDesc() const override { return &g_derivedServiceDesc; }
};

// Global service "TestGlobalService" (parameter "Weight") and "DerivedGlobalService"; Update logs
// "global <weight>".
class TestGlobalService : public CGlobalService {
public:
    bool ReadParam(CConfigNode* node) override;
    void Update() override { Note("global " + std::to_string(weight)); }
    const CGlobalServiceDesc* GetClassDesc() const override { return &g_testGlobalServiceDesc; }
    int weight = 0;
};
class DerivedGlobalService : public TestGlobalService {
public:
    const CGlobalServiceDesc* GetClassDesc() const override { return &g_derivedGlobalServiceDesc; }
};

// Team class "TestTeam" accepting the parameter "Colour".
class TestTeam : public CTeam {
public:
    using CTeam::CTeam;
    bool ReadParam(CConfigNode* node) override { return node->HasName("Colour"); }
};

} // namespace worldkit

// Fixture of the world tests: the engine with the fake host (with and without the world pool) and
// an empty event log.
class WorldTest : public AiEngineTest {
protected:
    void SetUp() override {
        AiEngineTest::SetUp();
        worldkit::Log().clear();
        worldkit::g_hook = nullptr;
    }
    void TearDown() override {
        for (CConfigNode* tree : m_owned)
            Vusk::DeleteTree(tree);
        m_owned.clear();
        AiEngineTest::TearDown();
    }
    // Trees handed here are deleted after the test (before the engine's leak check).
    CConfigNode* Own(CConfigNode* tree) {
        m_owned.push_back(tree);
        return tree;
    }

private:
    std::vector<CConfigNode*> m_owned;
};
