#pragma once
// Classes and helpers shared by the world, entity, brain and scheduler tests: one small class
// per registry (registered in the engine-wide registries like a host's classes), an event log
// they write to, and a tree builder.

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

namespace worldkit {

// Events in the order the engine caused them ("update <entity>", "think <entity>", ...).
std::vector<std::string>& Log();

// Appends a child named `name` with optional value and label; returns it.
CConfigNode* Add(CConfigNode* parent, const char* name, const char* value = nullptr, const char* label = nullptr);

// A world definition with the three required keys, MaxTeam, no tasks.
CConfigNode* MakeWorldTree(const char* maxEntity = "10", const char* maxTeam = "4");

// An entity definition: "Class" TestEntity, "ActionClass" TestActionClass and, when brainClass is
// not null, a "Brain" node of that class.
CConfigNode* MakeEntityDefinition(const char* brainClass = "TestBrain");

// Entity class "TestEntity": Update logs; Init fails when the definition has a "FailInit" child.
class TestEntity : public CEntity {
public:
    using CEntity::CEntity;
    bool Init(CConfigNode* definition) override;
    const CEntityClassDesc* GetClassDesc() const override;
    void Update() override;
};

// Action class "TestActionClass": holds CActionSpeed and CActionShoot; Apply logs.
class TestActionClass : public CActionClass {
public:
    TestActionClass();
    const CActionClassDesc* GetClassDesc() const override;
    void Apply(CEntity* entity) override;
};

// Brain "TestBrain": parameter "Decide" (0/1) is what Think answers; Think logs and sets the
// speed action when deciding. Parameter "Fail" makes ReadParam refuse.
class TestBrain : public CBrain {
public:
    using CBrain::CBrain;
    const CBrainDesc* GetClassDesc() const override;
    bool ReadParam(CConfigNode* node) override;
    bool Think() override;
    bool decide = true;
};

// Brain "PlainBrain": keeps the default ReadParam.
class PlainBrain : public CBrain {
public:
    using CBrain::CBrain;
    const CBrainDesc* GetClassDesc() const override;
    bool Think() override { return false; }
};

// Agent "TestAgent": parameter "Speed"; Update logs "agent <speed>". Agent "FailingAgent": Init
// always fails.
class TestAgent : public CAgent {
public:
    using CAgent::CAgent;
    bool ReadParam(CConfigNode* node) override;
    void Update() override;
    const CAgentDesc* GetClassDesc() const override;
    bool IsReady() override { return true; }
    bool Think() override { return false; }
    float speed = 0.0f;
};
class FailingAgent : public TestAgent {
public:
    using TestAgent::TestAgent;
    bool Init(CConfigNode*) override { return false; }
    const CAgentDesc* GetClassDesc() const override;
};

// Service "TestService" and "DerivedService" (parent TestService); Update logs "service <class>".
class TestService : public CService {
public:
    using CService::CService;
    void Update() override;
    const CServiceDesc* GetClassDesc() const override;
};
class DerivedService : public TestService {
public:
    using TestService::TestService;
    const CServiceDesc* GetClassDesc() const override;
};

// Global service "TestGlobalService" (parameter "Weight") and "DerivedGlobalService"; Update logs
// "global <weight>".
class TestGlobalService : public CGlobalService {
public:
    bool ReadParam(CConfigNode* node) override;
    void Update() override;
    const CGlobalServiceDesc* GetClassDesc() const override;
    int weight = 0;
};
class DerivedGlobalService : public TestGlobalService {
public:
    const CGlobalServiceDesc* GetClassDesc() const override;
};

// Team class "TestTeam" accepting the parameter "Colour".
class TestTeam : public CTeam {
public:
    using CTeam::CTeam;
    bool ReadParam(CConfigNode* node) override;
};

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

} // namespace worldkit

// Fixture of the world tests: the engine with the fake host (with and without the world pool) and
// an empty event log.
class WorldTest : public AiEngineTest {
protected:
    void SetUp() override
    {
        AiEngineTest::SetUp();
        worldkit::Log().clear();
    }
};
