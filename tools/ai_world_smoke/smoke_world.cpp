#include "tools/ai_world_smoke/smoke_world.h"

#include <cstdlib>

#include "ai/runtime/action.h"
#include "ai/runtime/agent.h"
#include "ai/runtime/brain.h"
#include "ai/runtime/entity.h"
#include "ai/runtime/time_manager.h"
#include "platform/clock.h"
#include "platform/crt.h"

namespace {

constexpr double kWorkUnit = 1.0 / 4096.0;

// Simulated work time spent in the current frame (s), added to the fixed-step clock.
double g_work = 0.0;
SmokeTally g_tally;

double HostClock(std::uint32_t) { return PlatformClockSeconds() + g_work; }

void* HostAlloc(std::size_t size) { return std::malloc(size); }

void HostFree(void* block) { std::free(block); }

// The host's view of a bot: it runs its brain's services and agents every frame.
class SmokeEntity : public CEntity {
public:
    using CEntity::CEntity;
    const CEntityClassDesc* GetClassDesc() const override;
    void Update() override { UpdateBrain(); }
};

// Moves the entity by the decided speed along the decided heading.
class SmokeActionClass : public CActionClass {
public:
    SmokeActionClass() {
        CreateAction(&CActionSpeed::s_desc);
        CreateAction(&CActionRotate::s_desc);
    }
    const CActionClassDesc* GetClassDesc() const override;
    void Apply(CEntity* entity) override {
        const CActionSpeed* speed = FindAction<CActionSpeed>();
        const CActionRotate* rotate = FindAction<CActionRotate>();
        CVector3 angles = entity->GetAngles();
        if (rotate != nullptr && rotate->set)
            angles.y = rotate->value;
        entity->SetAngles(angles);
        if (speed != nullptr && speed->set) {
            entity->SetSpeed(speed->value);
            entity->SetDirection(Vusk::AnglesToDirection(0.0f, angles.y));
            entity->SetPosition(entity->GetPosition() + entity->GetDirection() * (speed->value * 0.03125f));
        }
        ++g_tally.applied;
    }
};

// Asks for its task with a given chance per think; a granted run costs 1-4 work units and
// decides a speed (the "Smoke::Plan" agent) or a heading (the others).
class SmokeAgent : public CAgent {
public:
    using CAgent::CAgent;
    bool ReadParam(CConfigNode* node) override {
        const char* value = node->GetValue();
        if (node->HasName("Task")) {
            if (value == nullptr) {
                return false;
            }
            m_task = CTimeManager::GetInstance()->FindTask(value);
            m_plan = _stricmp(value, "Smoke::Plan") == 0;
            return m_task >= 0;
        }
        if (node->HasName("Chance")) {
            m_chance = value != nullptr ? crt_atoi(value) : 0;
            return value != nullptr;
        }
        return false;
    }
    const CAgentDesc* GetClassDesc() const override;
    bool IsReady() override { return m_task >= 0; }
    bool Think() override {
        if (crt_rand() % 100 >= m_chance)
            return false;
        CTimeManager* tm = CTimeManager::GetInstance();
        const CEntity* entity = GetBrain()->GetOwner();
        const int slot = m_plan ? 0 : 1;
        if (!tm->BeginTask(m_task, entity)) {
            ++g_tally.refused[slot];
            return false;
        }
        ++g_tally.granted[slot];
        g_work += kWorkUnit * (1 + crt_rand() % 4);
        tm->EndTask(m_task, entity);
        CActionClass* actions = GetActionClass();
        actions->ClearActions();
        if (m_plan) {
            CActionSpeed* speed = actions->FindAction<CActionSpeed>();
            speed->value = static_cast<float>(crt_rand() % 8);
            speed->set = 1;
        } else {
            CActionRotate* rotate = actions->FindAction<CActionRotate>();
            rotate->value = static_cast<float>(crt_rand() % 360);
            rotate->set = 1;
        }
        return true;
    }

private:
    int m_task = -1;     // aperiodic task id
    bool m_plan = false; // the agent decides speeds
    int m_chance = 100;  // percent of thinks that ask for the task
};

// The same agent under a class of its own (a brain holds at most one agent per registered class).
class SmokeLookAgent : public SmokeAgent {
public:
    using SmokeAgent::SmokeAgent;
    const CAgentDesc* GetClassDesc() const override;
};

// Gathers its agents' decisions; scans on the periodic task.
class SmokeBrain : public CBrain {
public:
    using CBrain::CBrain;
    const CBrainDesc* GetClassDesc() const override;
    bool Think() override {
        g_tally.order.push_back(GetOwner()->GetIndex());
        CTimeManager* tm = CTimeManager::GetInstance();
        if (tm->IsPeriodicTaskDue(tm->FindPeriodicTask("Smoke::Scan"), GetOwner()))
            ++g_tally.scans;
        GetActionClass()->ClearActions();
        bool decided = false;
        for (uint32_t i = 0; i < GetAgentCount(); ++i) {
            if (GetAgentAt(i)->IsReady() && GetAgentAt(i)->Think()) {
                GetActionClass()->CopyFrom(GetAgentAt(i)->GetActionClass());
                decided = true;
            }
        }
        return decided;
    }
};

CEntity* CreateSmokeEntity(const char* name, void* host) { return new SmokeEntity(name, host); }
CActionClass* CreateSmokeActionClass() { return new SmokeActionClass(); }
CAgent* CreateSmokeAgent(CBrain* brain) { return new SmokeAgent(brain); }
CAgent* CreateSmokeLookAgent(CBrain* brain) { return new SmokeLookAgent(brain); }
CBrain* CreateSmokeBrain(CEntity* owner, const CActionClassDesc* actions) { return new SmokeBrain(owner, actions); }

CEntityClassDesc g_smokeEntityDesc("SmokeEntity", &CreateSmokeEntity, nullptr);
CActionClassDesc g_smokeActionClassDesc("SmokeActionClass", &CreateSmokeActionClass);
CAgentDesc g_smokeAgentDesc("SmokeAgent", &CreateSmokeAgent, nullptr, false, false);
CAgentDesc g_smokeLookAgentDesc("SmokeLookAgent", &CreateSmokeLookAgent, &g_smokeAgentDesc, false, false);
CBrainDesc g_smokeBrainDesc("SmokeBrain", &CreateSmokeBrain, nullptr, false, false);

const CEntityClassDesc* SmokeEntity::GetClassDesc() const { return &g_smokeEntityDesc; }
const CActionClassDesc* SmokeActionClass::GetClassDesc() const { return &g_smokeActionClassDesc; }
const CAgentDesc* SmokeAgent::GetClassDesc() const { return &g_smokeAgentDesc; }
const CAgentDesc* SmokeLookAgent::GetClassDesc() const { return &g_smokeLookAgentDesc; }
const CBrainDesc* SmokeBrain::GetClassDesc() const { return &g_smokeBrainDesc; }

} // namespace

SmokeTally& Smoke::Tally() { return g_tally; }

void Smoke::BeginFrame() {
    g_tally = SmokeTally();
    g_work = 0.0;
}

CHostServices Smoke::MakeHostServices(std::uint32_t entityPoolSize) {
    CHostServices services;
    services.entityPoolSize = entityPoolSize;
    services.alloc = HostAlloc;
    services.free = HostFree;
    services.allocatorChildCapacity = 10;
    services.clock = HostClock;
    return services;
}

CConfigNode* Smoke::MakeWorldTree(const char* maxEntity) {
    CConfigNode* tree = new CConfigNode();
    Add(tree, "MaxEntity", maxEntity);
    Add(tree, "MaxTeam", "2");
    Add(tree, "OneMeter", "1.0");
    Add(tree, "Tpf", "12");
    CConfigNode* tasks = Add(tree, "TimeMgt");
    CConfigNode* plan = Add(tasks, "Aperiodic", nullptr, "Smoke::Plan");
    Add(plan, "Priority", "1.0");
    Add(plan, "Tpf", "8");
    Add(plan, "MaxCall", "12");
    CConfigNode* look = Add(tasks, "Aperiodic", nullptr, "Smoke::Look");
    Add(look, "Priority", "0.5");
    Add(look, "Tpf", "6");
    Add(look, "MaxCall", "20");
    Add(Add(tasks, "Periodic", nullptr, "Smoke::Scan"), "Period", "250");

    AddEntityDefinition(Add(tree, "Entities"), "Bot", "SmokeEntity", "SmokeActionClass", "Walker");
    CConfigNode* walker = AddDefinition(Add(tree, "Brains"), "Brain", "Walker", "SmokeBrain");
    Add(walker, "Agent", "Planner");
    Add(walker, "Agent", "Looker");
    CConfigNode* agents = Add(tree, "Agents");
    CConfigNode* planner = AddDefinition(agents, "Agent", "Planner", "SmokeAgent");
    Add(planner, "Task", "Smoke::Plan");
    Add(planner, "Chance", "60");
    CConfigNode* looker = AddDefinition(agents, "Agent", "Looker", "SmokeLookAgent");
    Add(looker, "Task", "Smoke::Look");
    Add(looker, "Chance", "80");
    AddDefinition(Smoke::Add(tree, "Teams"), "Team", "Squad", "CTeam");
    return tree;
}
