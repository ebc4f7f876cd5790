#include "ai/runtime/tests/world_test_kit.h"

#include "ai/runtime/action.h"
#include "platform/crt.h"

namespace worldkit {

CEntityClassDesc g_testEntityDesc(
    "TestEntity", [](const char* name, void* host) -> CEntity* { return new TestEntity(name, host); }, nullptr);
CActionClassDesc g_testActionClassDesc("TestActionClass", []() -> CActionClass* { return new TestActionClass(); });
CBrainDesc g_testBrainDesc(
    "TestBrain",
    [](CEntity* owner, const CActionClassDesc* actions) -> CBrain* { return new TestBrain(owner, actions); }, nullptr,
    false, false);
CBrainDesc g_plainBrainDesc(
    "PlainBrain",
    [](CEntity* owner, const CActionClassDesc* actions) -> CBrain* { return new PlainBrain(owner, actions); }, nullptr,
    false, false);
CAgentDesc g_testAgentDesc(
    "TestAgent", [](CBrain* brain) -> CAgent* { return new TestAgent(brain); }, nullptr, false, false);
CAgentDesc g_failingAgentDesc(
    "FailingAgent", [](CBrain* brain) -> CAgent* { return new FailingAgent(brain); }, nullptr, false, false);
CServiceDesc g_testServiceDesc(
    "TestService", [](CBrain* brain) -> CService* { return new TestService(brain); }, nullptr, true, true);
CServiceDesc g_derivedServiceDesc(
    "DerivedService", [](CBrain* brain) -> CService* { return new DerivedService(brain); }, &g_testServiceDesc, false,
    false);
CGlobalServiceDesc g_testGlobalServiceDesc(
    "TestGlobalService", []() -> CGlobalService* { return new TestGlobalService(); }, nullptr, false, false);
CGlobalServiceDesc g_derivedGlobalServiceDesc(
    "DerivedGlobalService", []() -> CGlobalService* { return new DerivedGlobalService(); }, &g_testGlobalServiceDesc,
    false, false);
CTeamDesc g_testTeamDesc(
    "TestTeam", [](uint32_t capacity, const char* name) -> CTeam* { return new TestTeam(capacity, name); },
    &CTeam::s_desc);

std::vector<std::string>& Log() {
    static std::vector<std::string> log;
    return log;
}

std::function<void(const std::string&)> g_hook;
void Note(const std::string& event) {
    Log().push_back(event);
    if (g_hook)
        g_hook(event);
}

CConfigNode* MakeWorldTree(const char* maxEntity, const char* maxTeam) {
    CConfigNode* tree = new CConfigNode();
    Add(tree, "MaxEntity", maxEntity);
    if (maxTeam != nullptr)
        Add(tree, "MaxTeam", maxTeam);
    Add(tree, "OneMeter", "2.0");
    Add(tree, "Tpf", "10");
    return tree;
}

CConfigNode* MakeEntityDefinition(const char* brainClass) {
    CConfigNode* definition = new CConfigNode();
    Add(definition, "Class", "TestEntity");
    Add(definition, "ActionClass", "TestActionClass");
    if (brainClass != nullptr) {
        CConfigNode* brain = Add(definition, "Brain");
        Add(brain, "Class", brainClass);
    }
    return definition;
}

bool TestEntity::Init(CConfigNode* definition) {
    return definition == nullptr || definition->FindChild("FailInit") == nullptr;
}

TestActionClass::TestActionClass() {
    CreateAction(&CActionSpeed::s_desc);
    CreateAction(&CActionShoot::s_desc);
}

bool TestBrain::ReadParam(CConfigNode* node) {
    if (node->HasName("Decide")) {
        decide = crt_atoi(node->GetValue()) != 0;
        return true;
    }
    return false;
}

bool TestBrain::Think() {
    GetActionClass()->ClearActions();
    const bool decided = decide;
    if (decided) {
        CActionSpeed* speed = GetActionClass()->FindAction<CActionSpeed>();
        speed->value = 1.0f;
        speed->set = 1;
    }
    Note(std::string("think ") + GetOwner()->GetName());
    return decided;
}

bool TestAgent::ReadParam(CConfigNode* node) {
    if (node->HasName("Speed")) {
        speed = static_cast<float>(crt_atof(node->GetValue()));
        return true;
    }
    return false;
}

bool TestGlobalService::ReadParam(CConfigNode* node) {
    if (node->HasName("Weight")) {
        weight = crt_atoi(node->GetValue());
        return true;
    }
    return false;
}

} // namespace worldkit
