// Cost of one AI frame (CWorld::Update) with 10, 50 and 200 live entities in a world of
// MaxEntity 200. Each entity's brain runs one agent that asks the scheduler for an aperiodic
// task, checks a periodic one and decides a speed; the host's action class applies it. The
// scheduler's sort and walk cover all 200 entity indices whatever the live count, so the cost
// per entity falls as more of the table is used. "per_entity" is the frame time divided by the
// live entity count.

#include <benchmark/benchmark.h>

#include <cstdlib>
#include <vector>

#include "ai/runtime/action.h"
#include "ai/runtime/agent.h"
#include "ai/runtime/brain.h"
#include "ai/runtime/config_node.h"
#include "ai/runtime/engine.h"
#include "ai/runtime/entity.h"
#include "ai/runtime/time_manager.h"
#include "ai/runtime/world_api.h"
#include "platform/clock.h"

namespace {

void* HostAlloc(std::size_t size)
{
    return std::malloc(size);
}
void HostFree(void* block)
{
    std::free(block);
}
double HostClock(std::uint32_t)
{
    return PlatformClockSeconds();
}

class BenchEntity : public CEntity {
public:
    using CEntity::CEntity;
    const CEntityClassDesc* GetClassDesc() const override;
    void Update() override { UpdateBrain(); }
};

class BenchActionClass : public CActionClass {
public:
    BenchActionClass() { CreateAction(&CActionSpeed::s_desc); }
    const CActionClassDesc* GetClassDesc() const override;
    void Apply(CEntity* entity) override
    {
        const CActionSpeed* speed = FindAction<CActionSpeed>();
        if (speed->set)
            entity->SetSpeed(speed->value);
    }
};

class BenchAgent : public CAgent {
public:
    using CAgent::CAgent;
    const CAgentDesc* GetClassDesc() const override;
    bool IsReady() override { return true; }
    bool Think() override
    {
        CTimeManager* tm = CTimeManager::GetInstance();
        const CEntity* entity = GetBrain()->GetOwner();
        tm->IsPeriodicTaskDue(0, entity);
        if (!tm->BeginTask(0, entity))
            return false;
        tm->EndTask(0, entity);
        CActionSpeed* speed = GetActionClass()->FindAction<CActionSpeed>();
        speed->value = entity->GetSpeed() + 1.0f;
        speed->set = 1;
        return true;
    }
};

class BenchBrain : public CBrain {
public:
    using CBrain::CBrain;
    const CBrainDesc* GetClassDesc() const override;
    bool Think() override
    {
        GetActionClass()->ClearActions();
        bool decided = false;
        for (uint32_t i = 0; i < GetAgentCount(); ++i) {
            if (GetAgentAt(i)->Think()) {
                GetActionClass()->CopyFrom(GetAgentAt(i)->GetActionClass());
                decided = true;
            }
        }
        return decided;
    }
};

CEntity* CreateBenchEntity(const char* name, void* host)
{
    return new BenchEntity(name, host);
}
CActionClass* CreateBenchActionClass()
{
    return new BenchActionClass();
}
CAgent* CreateBenchAgent(CBrain* brain)
{
    return new BenchAgent(brain);
}
CBrain* CreateBenchBrain(CEntity* owner, const CActionClassDesc* actions)
{
    return new BenchBrain(owner, actions);
}

CEntityClassDesc g_benchEntityDesc("BenchEntity", &CreateBenchEntity, nullptr);
CActionClassDesc g_benchActionClassDesc("BenchActionClass", &CreateBenchActionClass);
CAgentDesc g_benchAgentDesc("BenchAgent", &CreateBenchAgent, nullptr, false, false);
CBrainDesc g_benchBrainDesc("BenchBrain", &CreateBenchBrain, nullptr, false, false);

const CEntityClassDesc* BenchEntity::GetClassDesc() const
{
    return &g_benchEntityDesc;
}
const CActionClassDesc* BenchActionClass::GetClassDesc() const
{
    return &g_benchActionClassDesc;
}
const CAgentDesc* BenchAgent::GetClassDesc() const
{
    return &g_benchAgentDesc;
}
const CBrainDesc* BenchBrain::GetClassDesc() const
{
    return &g_benchBrainDesc;
}

CConfigNode* Add(CConfigNode* parent, const char* name, const char* value = nullptr, const char* label = nullptr)
{
    CConfigNode* child = parent->AddChild();
    child->SetName(name);
    child->SetValue(value);
    child->SetLabel(label);
    return child;
}

void BM_AiFrame(benchmark::State& state)
{
    const int live = static_cast<int>(state.range(0));
    CHostServices services;
    services.entityPoolSize = 200;
    services.alloc = HostAlloc;
    services.free = HostFree;
    services.allocatorChildCapacity = 10;
    services.clock = HostClock;
    Vusk::Initialise(&services);

    CConfigNode* tree = new CConfigNode();
    Add(tree, "MaxEntity", "200");
    Add(tree, "OneMeter", "1.0");
    Add(tree, "Tpf", "1000");
    CConfigNode* tasks = Add(tree, "TimeMgt");
    CConfigNode* task = Add(tasks, "Aperiodic", nullptr, "Bench::Work");
    Add(task, "Priority", "1");
    Add(task, "Tpf", "1000");
    Add(task, "MaxCall", "100000");
    Add(Add(tasks, "Periodic", nullptr, "Bench::Scan"), "Period", "100");
    CWorld* world = Vusk::CreateWorld(tree, 10u << 20);

    CConfigNode* definition = new CConfigNode();
    Add(definition, "Class", "BenchEntity");
    Add(definition, "ActionClass", "BenchActionClass");
    CConfigNode* brain = Add(definition, "Brain");
    Add(brain, "Class", "BenchBrain");
    Add(Add(brain, "Agent"), "Class", "BenchAgent");
    for (int i = 0; i < live; ++i)
        Vusk::AddEntity(world, Vusk::CreateEntity(nullptr, definition, 0, nullptr));

    for (auto _ : state)
        Vusk::UpdateWorld(world);
    state.counters["per_entity"] =
        benchmark::Counter(live, benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);

    delete world;
    Vusk::DeleteTree(definition);
    Vusk::DeleteTree(tree);
    Vusk::ReleaseEngine();
}

} // namespace

BENCHMARK(BM_AiFrame)->Arg(10)->Arg(50)->Arg(200);

BENCHMARK_MAIN();
