#include "ai/runtime/world.h"

#include "ai/runtime/ais_reader.h"

#include <algorithm>
#include <cmath>
#include <functional>
#include <string>

#include <gtest/gtest.h>

#include "ai/runtime/engine.h"
#include "ai/runtime/tests/world_test_kit.h"
#include "ai/runtime/time_manager.h"
#include "ai/runtime/world_api.h"
#include "ai/runtime/world_limits.h"
#include "ai/runtime/team.h"
#include "platform/process.h"

using worldkit::Add;
using worldkit::AddDefinition;
using worldkit::AddEntityDefinition;
using worldkit::Log;

namespace {

using Strings = std::vector<std::string>;

// Missing required keys, and counts whose tables would not fit in the machine's memory, are refused
// with what is wrong said, before any table is made and without keeping the world slot (the later
// cases make worlds in it); negative counts ask for no table. Counts whose tables fit are taken, however
// large.
TEST_P(WorldTest, ConfigFaultsAreSaidAndLeaveNoWorld) {
    const std::uint64_t machine = PlatformPhysicalMemory();
    ASSERT_GT(machine, 0u);
    // Teams whose tables take about a quarter of the machine pass the check (the world is not made).
    const std::string quarter = std::to_string(std::min<std::uint64_t>(machine / 4 / 64, 2147483647));
    const std::string most = "2147483647";
    struct Case {
        std::vector<std::pair<const char*, std::string>> keys; // an empty value takes the key away
        const char* fault;                                     // start of the fault said; null: made
        bool make = true;                                      // the world is made (or refused) as well as checked
    };
    const Case cases[] = {
        {{{"MaxEntity", ""}}, "'MaxEntity' not found"},
        {{{"OneMeter", ""}}, "'OneMeter' not found"},
        {{{"Tpf", ""}}, "'Tpf' not found"},
        {{{"MaxTeam", "1024"}}, nullptr},
        {{{"MaxTeam", "-1"}}, nullptr},
        {{{"MaxTeam", "1025"}}, nullptr},
        {{{"MaxTeam", "20000"}, {"MaxAperiodicTask", "40"}}, nullptr},
        {{{"MaxTeam", quarter}}, nullptr, false},
        {{{"MaxAperiodicTask", "1024"}}, nullptr},
        {{{"MaxAperiodicTask", "100000"}, {"MaxPeriodicTask", "5000"}}, nullptr},
        {{{"MaxTeam", most}, {"MaxAperiodicTask", most}},
         "'MaxTeam' 2147483647, 'MaxAperiodicTask' 2147483647, 'MaxPeriodicTask' 0: "},
        {{{"MaxTeam", "4294967295"}, {"MaxPeriodicTask", most}}, "'MaxTeam' 2147483647, 'MaxAperiodicTask' 0, "},
        {{{"MaxEntity", "-1"}, {"MaxPeriodicTask", most}}, "'MaxTeam' 0, 'MaxAperiodicTask' 0, 'MaxPeriodicTask' "},
    };
    for (const Case& c : cases) {
        std::string trace;
        for (const auto& [key, value] : c.keys)
            trace += std::string(key) + " " + (!value.empty() ? value : "missing") + "; ";
        SCOPED_TRACE(trace);
        CConfigNode* tree = Own(worldkit::MakeWorldTree("10", nullptr));
        for (const auto& [key, value] : c.keys) {
            if (value.empty())
                tree->FindChild(key)->SetName("Unused");
            else if (CConfigNode* present = tree->FindChild(key))
                present->SetValue(value.c_str());
            else
                Add(tree, key, value.c_str());
        }
        char fault[320] = "untouched";
        EXPECT_EQ(Vusk::CheckWorldConfig(tree, fault, sizeof fault), c.fault == nullptr);
        EXPECT_EQ(std::string(fault).rfind(c.fault != nullptr ? c.fault : "untouched", 0), 0u) << fault;
        if (c.fault != nullptr && std::string(c.fault).find("'MaxTeam'") == 0) {
            const std::string end = " bytes of tables, above the machine's " + std::to_string(machine);
            EXPECT_NE(std::string(fault).find(end), std::string::npos) << fault;
            EXPECT_LE(std::string(fault).size(), 154u);
        }
        if (!c.make)
            continue;
        CWorld* world = Vusk::CreateWorld(tree, 0);
        EXPECT_EQ(world != nullptr, c.fault == nullptr);
        EXPECT_EQ(Vusk::GetCurrentWorld(), world);
        EXPECT_EQ(Vusk::GetWorldSlots()[0], world);
        delete world;
    }
}

// Limits, scale and tasks; "MaxEntity" and "MaxCall" are unsigned (-1 is the largest value, the
// table then takes the whole entity pool); negative table sizes ask for no table, explicit ones
// override the counts.
TEST_P(WorldTest, ReadConfigReadsLimitsScaleAndTasks) {
    CConfigNode* tree = Own(new CConfigNode());
    Add(tree, "maxentity", "500"); // keys are case-insensitive; the pool holds 100
    Add(tree, "OneMeter", "2.5");
    Add(tree, "Tpf", "20");
    CConfigNode* tasks = Add(tree, "TimeMgt");
    CConfigNode* hide = Add(tasks, "Aperiodic", nullptr, "Hide");
    Add(hide, "Priority", "1.5");
    Add(hide, "Tpf", "4");
    Add(hide, "MaxCall", "-1");
    Add(tasks, "Aperiodic", nullptr, "Bare");
    Add(tasks, "Aperiodic"); // counted for the capacity, not registered: no label
    Add(Add(tasks, "Periodic", nullptr, "Scan"), "Period", "250");
    Add(tasks, "Periodic", nullptr, "Rare");

    CWorld* world = Vusk::CreateWorld(tree, 0);
    ASSERT_NE(world, nullptr);
    EXPECT_EQ(world->GetEntityTable()->GetCapacity(), 100u);
    EXPECT_FLOAT_EQ(Vusk::GetCurrentOneMeter(), 2.5f);
    CTimeManager* tm = CTimeManager::GetInstance();
    EXPECT_EQ(tm->GetAperiodicCapacity(), 3u);
    EXPECT_EQ(tm->GetPeriodicCapacity(), 2u);
    EXPECT_EQ(tm->GetEntityCapacity(), 100u);
    EXPECT_FLOAT_EQ(tm->GetFrameBudget(), 0.02f);
    ASSERT_EQ(tm->GetAperiodicTaskCount(), 2u);
    EXPECT_EQ(tm->FindTask("hide"), 0);
    EXPECT_FLOAT_EQ(tm->GetTaskPriority(0), 1.5f);
    EXPECT_FLOAT_EQ(tm->GetTaskTpf(0), 0.004f);
    EXPECT_EQ(tm->GetTaskMaxCall(0), 0xFFFFFFFFu);
    EXPECT_EQ(tm->GetTaskMaxCall(1), 0u); // absent settings: no call
    EXPECT_FLOAT_EQ(tm->GetTaskPeriod(tm->FindPeriodicTask("Scan")), 0.25f);
    EXPECT_FLOAT_EQ(tm->GetTaskPeriod(tm->FindPeriodicTask("Rare")), 1000000.0f);
    // Without "MaxTeam" no team can be made.
    CConfigNode* teamDefinition = Own(new CConfigNode());
    Add(teamDefinition, "Class", "CTeam");
    EXPECT_EQ(Vusk::CreateTeam(teamDefinition, 4, "Red"), nullptr);
    delete world;

    for (const char* size : {"-3", "1"}) {
        tree = worldkit::MakeWorldTree("-1", "-1");
        Add(tree, "MaxAperiodicTask", size);
        Add(tree, "MaxPeriodicTask", size);
        tasks = Add(tree, "TimeMgt");
        Add(tasks, "Aperiodic", nullptr, "One");
        Add(tasks, "Aperiodic", nullptr, "Two"); // no room: not registered, the world is still made
        world = Vusk::CreateWorld(tree, 0);
        ASSERT_NE(world, nullptr);
        EXPECT_EQ(world->GetMaxEntity(), 100u);
        EXPECT_EQ(world->GetMaxTeam(), 0u);
        tm = CTimeManager::GetInstance();
        EXPECT_EQ(tm->GetAperiodicCapacity(), size[0] == '-' ? 0u : 1u);
        EXPECT_EQ(tm->GetPeriodicCapacity(), size[0] == '-' ? 0u : 1u);
        EXPECT_EQ(tm->FindTask("Two"), -1);
        delete world;
        Vusk::DeleteTree(tree);
    }
}

TEST_P(WorldTest, GlobalServicesAreCreatedInListOrderAndFailuresSkipped) {
    CConfigNode* tree = Own(worldkit::MakeWorldTree());
    CConfigNode* wanted = Add(tree, "GlobalServices");
    Add(wanted, "Service", "A");
    Add(wanted, "Service", "Missing");
    Add(wanted, "Other", "A");
    Add(wanted, "Service", "Refused");
    Add(wanted, "Service", "Unknown");
    Add(wanted, "Service", "B");
    CConfigNode* services = Add(tree, "Services");
    Add(AddDefinition(services, "Service", "A", "TestGlobalService"), "Weight", "3");
    Add(AddDefinition(services, "Service", "B", "DerivedGlobalService"), "Weight", "5");
    Add(AddDefinition(services, "Service", "Refused", "TestGlobalService"), "Colour", "red");
    AddDefinition(services, "Service", "Unknown", "NoSuchService");

    CWorld* world = Vusk::CreateWorld(tree, 0);
    ASSERT_NE(world, nullptr);
    ASSERT_EQ(world->GetGlobalServiceCount(), 2u);
    auto* first = static_cast<worldkit::TestGlobalService*>(world->GetGlobalServiceAt(0));
    auto* second = static_cast<worldkit::TestGlobalService*>(world->GetGlobalServiceAt(1));
    EXPECT_EQ(first->weight, 3);
    EXPECT_EQ(second->weight, 5);
    EXPECT_EQ(world->GetGlobalService(&worldkit::g_testGlobalServiceDesc), first);
    EXPECT_EQ(world->GetGlobalService(&worldkit::g_derivedGlobalServiceDesc), second);
    delete world;
}

TEST_P(WorldTest, OneSlotOwnEntitiesOnlyAndNoDanglingPointer) {
    CConfigNode* tree = Own(worldkit::MakeWorldTree());
    CWorld* world = Vusk::CreateWorld(tree, 0);
    ASSERT_NE(world, nullptr);
    // One world slot: a second world is refused and the first stays current.
    EXPECT_EQ(Vusk::CreateWorld(tree, 0), nullptr);
    EXPECT_EQ(Vusk::GetCurrentWorld(), world);
    CConfigNode* definition = Own(worldkit::MakeEntityDefinition(nullptr));
    CEntity* entity = Vusk::CreateEntity("e", definition, 0, nullptr);
    ASSERT_TRUE(Vusk::AddEntity(world, entity));
    // A world outside the table removes no entity of another and leaves the shared scheduler be.
    CWorld* other = new CWorld(nullptr);
    ASSERT_TRUE(other->ReadConfig(tree));
    EXPECT_FALSE(other->RemoveEntity(entity));
    EXPECT_EQ(entity->GetWorld(), world);
    EXPECT_EQ(entity->GetIndex(), 0);
    delete other;
    EXPECT_EQ(CTimeManager::GetInstance()->GetEntityCapacity(), 10u);
    EXPECT_EQ(Vusk::GetCurrentWorld(), world);

    delete world;
    EXPECT_EQ(Vusk::GetCurrentWorld(), nullptr);
    EXPECT_EQ(Vusk::GetWorldSlots()[0], nullptr);
    EXPECT_EQ(Vusk::GetCurrentOneMeter(), 0.0f);
    EXPECT_EQ(Vusk::CreateEntity(nullptr, definition, 0, nullptr), nullptr);
    // The slot can be used again.
    world = Vusk::CreateWorld(tree, 0);
    ASSERT_NE(world, nullptr);
    // Deleted with the world, in no world; one takes the next of the pool with it.
    auto* first = static_cast<worldkit::TestEntity*>(Vusk::CreateEntity(nullptr, definition, 0, nullptr));
    ASSERT_TRUE(first != nullptr && (first->companion = Vusk::CreateEntity(nullptr, definition, 0, nullptr)));
    delete world;
}

// Each row ends something during the frame (at the event logged), or before it; what ended is not
// reached again, the rest runs in order, what was added waits for the next frame's updates, and none
// thinks twice.
TEST_P(WorldTest, UpdateRunsEntitiesThenGlobalServicesThenThinkAndApply) {
    CConfigNode* tree = Own(worldkit::MakeWorldTree());
    CConfigNode* wanted = Add(tree, "GlobalServices");
    CConfigNode* services = Add(tree, "Services");
    for (const char* weight : {"7", "8"}) {
        Add(wanted, "Service", weight);
        Add(AddDefinition(services, "Service", weight, "TestGlobalService"), "Weight", weight);
    }
    CWorld* world = nullptr;
    CEntity* e[4] = {};
    const auto make = [&](const char* name, const char* decide) {
        CConfigNode* definition = Own(worldkit::MakeEntityDefinition());
        Add(definition->FindChild("Brain"), "Decide", decide);
        CEntity* entity = Vusk::CreateEntity(name, definition, 0, nullptr);
        EXPECT_TRUE(entity != nullptr && Vusk::AddEntity(world, entity));
        return entity;
    };
    struct Row {
        const char *what, *at; // at: the event after which `end` runs, in short; "": before the frame
        std::function<void()> end;
        const char* log; // in short: (u)pdate, (g)lobal, (t)hink, (a)pply, then the entity or service weight
    };
    const Row rows[] = {
        {"d leaves before", "", [&] { Vusk::RemoveEntity(world, e[3]); }, "ua ub uc g7 g8 ta aa tb tc ac"},
        {"a deletes b, the next", "ua", [&] { delete e[1]; }, "ua uc ud g7 g8 ta aa tc ac td ad"},
        {"a removes b", "ua", [&] { Vusk::RemoveEntity(world, e[1]); }, "ua uc ud g7 g8 ta aa tc ac td ad"},
        {"c destroys c, deciding", "tc", [&] { Vusk::DestroyEntity(e[2]); }, "ua ub uc ud g7 g8 ta aa tb tc td ad"},
        {"a removes a", "ta", [&] { Vusk::RemoveEntity(world, e[0]); }, "ua ub uc ud g7 g8 ta tb tc ac td ad"},
        {"a deletes its brain", "ta", [&] { delete e[0]->GetBrain(); }, "ua ub uc ud g7 g8 ta tb tc ac td ad"},
        {"7 goes", "g7", [&] { delete world->GetGlobalServiceAt(0); }, "ua ub uc ud g7 g8 ta aa tb tc ac td ad"},
        {"b adds e", "ub", [&] { make("e", "1"); }, "ua ub uc ud g7 g8 ta aa tb tc ac td ad te ae"},
        // a lands on d's node, which is still to come; d on a's, which is passed
        {"c takes a and d out and back", "tc",
         [&] {
             EXPECT_TRUE(Vusk::RemoveEntity(world, e[0]) && Vusk::RemoveEntity(world, e[3]));
             EXPECT_TRUE(Vusk::AddEntity(world, e[0]) && Vusk::AddEntity(world, e[3]));
         },
         "ua ub uc ud g7 g8 ta aa tb tc ac"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        ASSERT_NE(world = Vusk::CreateWorld(tree, 0), nullptr);
        for (int i = 0; i < 4; ++i) // a to d; b decides nothing
            e[i] = make(std::string(1, static_cast<char>('a' + i)).c_str(), i == 1 ? "0" : "1");
        if (*row.at == '\0')
            row.end();
        std::string log;
        worldkit::g_hook = [&](const std::string& event) {
            const std::string brief = event.substr(0, 1) + event.substr(event.find(' ') + 1);
            log += (log.empty() ? "" : " ") + brief;
            if (brief == row.at)
                row.end();
        };
        Vusk::UpdateWorld(world);
        worldkit::g_hook = nullptr;
        EXPECT_EQ(log, row.log);
        delete world;
    }
    Vusk::UpdateWorld(nullptr); // nothing
}

void RecordAdded(CEntity* entity, void* user) {
    Log().push_back(std::string("added ") + entity->GetName() + " " + std::to_string(*static_cast<int*>(user)));
}

void RecordRemoved(CEntity* entity, void* user) {
    Log().push_back(std::string("removed ") + entity->GetName() + " " + std::to_string(*static_cast<int*>(user)));
}

int g_three = 3;
// Removes itself at its first call and adds a recorder (of 3) in its place.
void OneShot(CEntity*, void* user) {
    CWorld::RemoveEntityRemovedCallback(&OneShot, user);
    CWorld::AddEntityRemovedCallback(&RecordRemoved, &g_three);
}
void DeleteOnArrival(CEntity* entity, void*) { delete entity; }
void PutBack(CEntity* entity, void*) { // takes the arrival out and puts it back, once
    CWorld::RemoveEntityAddedCallback(&PutBack, nullptr);
    CWorld* world = entity->GetWorld();
    EXPECT_TRUE(world->RemoveEntity(entity) && world->AddEntity(entity));
}

TEST_P(WorldTest, EntityTableAndCallbacks) {
    CConfigNode* tree = Own(worldkit::MakeWorldTree("2"));
    CWorld* world = Vusk::CreateWorld(tree, 0);
    ASSERT_NE(world, nullptr);
    int one = 1, two = 2;
    ASSERT_TRUE(Vusk::AddEntityAddedCallback(world, RecordAdded, &one));
    ASSERT_TRUE(Vusk::AddEntityAddedCallback(nullptr, RecordAdded, &two));
    ASSERT_TRUE(Vusk::AddEntityAddedCallback(world, RecordAdded, &one));
    ASSERT_TRUE(Vusk::AddEntityRemovedCallback(world, RecordRemoved, &two));
    // Removes the first equal pair only, keeping the order of the rest: (two, one) remain.
    Vusk::RemoveEntityAddedCallback(world, RecordAdded, &one);
    Vusk::RemoveEntityAddedCallback(world, RecordRemoved, &one); // absent: nothing

    CConfigNode* definition = Own(worldkit::MakeEntityDefinition(nullptr));
    CEntity* x = Vusk::CreateEntity("Xavier", definition, 0, nullptr);
    CEntity* y = Vusk::CreateEntity("Yann", definition, 0, nullptr);
    CEntity* z = Vusk::CreateEntity("Zoe", definition, 0, nullptr);
    ASSERT_TRUE(x && y && z);
    EXPECT_EQ(x->GetIndex(), -1);
    EXPECT_TRUE(Vusk::AddEntity(world, x));
    EXPECT_FALSE(Vusk::AddEntity(world, x)); // already in a world
    EXPECT_FALSE(Vusk::AddEntity(nullptr, y));
    EXPECT_TRUE(Vusk::AddEntity(world, y));
    EXPECT_FALSE(Vusk::AddEntity(world, z)); // table full
    EXPECT_EQ(Log(), (Strings{"added Xavier 2", "added Xavier 1", "added Yann 2", "added Yann 1"}));
    EXPECT_EQ(y->GetIndex(), 1);
    EXPECT_EQ(world->FindEntity("yANN"), y);
    EXPECT_EQ(world->FindEntity("Zoe"), nullptr);

    Log().clear();
    EXPECT_TRUE(Vusk::RemoveEntity(world, x));
    EXPECT_FALSE(Vusk::RemoveEntity(world, x));
    EXPECT_FALSE(Vusk::RemoveEntity(nullptr, y));
    EXPECT_EQ(Log(), (Strings{"removed Xavier 2"}));
    EXPECT_EQ(x->GetWorld(), nullptr);
    // The freed node is taken by the next entity.
    EXPECT_TRUE(Vusk::AddEntity(world, z));
    EXPECT_EQ(z->GetIndex(), 0);

    // A one-shot listener goes during the event: the next still hears it, once; one added meanwhile, from then on.
    ASSERT_TRUE(CWorld::AddEntityRemovedCallback(&OneShot, &one) &&
                CWorld::AddEntityRemovedCallback(&RecordRemoved, &one));
    Log().clear();
    EXPECT_TRUE(Vusk::RemoveEntity(world, y) && Vusk::RemoveEntity(world, z));
    EXPECT_EQ(Log(), (Strings{"removed Yann 2", "removed Yann 1", "removed Zoe 2", "removed Zoe 1", "removed Zoe 3"}));
    // A listener that deletes what is added: the entity is gone, and the later ones are not told.
    ASSERT_TRUE(CWorld::AddEntityAddedCallback(&DeleteOnArrival, nullptr));
    ASSERT_TRUE(CWorld::AddEntityAddedCallback(&RecordAdded, &one));
    Log().clear();
    EXPECT_FALSE(Vusk::AddEntity(world, Vusk::CreateEntity("Walt", definition, 0, nullptr)));
    EXPECT_EQ(Log(), (Strings{"added Walt 2", "added Walt 1", "removed Walt 2", "removed Walt 1", "removed Walt 3"}));
    EXPECT_EQ(world->GetEntityTable()->GetCount(), 0u);
    CWorld::RemoveEntityAddedCallback(&DeleteOnArrival, nullptr);
    // One that takes it out and puts it back: it is in the world, and the answer says so.
    ASSERT_TRUE(CWorld::AddEntityAddedCallback(&PutBack, nullptr));
    CEntity* v = Vusk::CreateEntity("Vera", definition, 0, nullptr);
    EXPECT_TRUE(Vusk::AddEntity(world, v) && v->GetWorld() == world);

    delete world; // destroys x (in no world), y and z
}

// Callbacks may be registered before any world exists; shutting the engine down must release
// them even when no world ever did (the world pool that may hold them goes with the engine).
// The scheduler is sized by the current world, so without one there is none: made early, it
// would keep an entity capacity of 0 and no entity of the world made later would ever think.
TEST_P(WorldTest, ShutDownReleasesStateNoWorldReleased) {
    int user = 0;
    for (int round = 0; round < 2; ++round) {
        ASSERT_TRUE(Vusk::AddEntityAddedCallback(nullptr, RecordAdded, &user));
        ASSERT_TRUE(Vusk::AddEntityRemovedCallback(nullptr, RecordRemoved, &user));
        EXPECT_EQ(CTimeManager::GetInstance(), nullptr);
        if (round == 0) {
            Vusk::ReleaseEngine();
            EXPECT_EQ(Host().LiveBlocks(), 0);
            SetUp(); // the next round registers again in a fresh engine
        }
    }
    // Nothing of the first round is called or written to.
    CConfigNode* tree = Own(worldkit::MakeWorldTree());
    CWorld* world = Vusk::CreateWorld(tree, 0);
    ASSERT_NE(world, nullptr);
    ASSERT_NE(CTimeManager::GetInstance(), nullptr);
    EXPECT_EQ(CTimeManager::GetInstance()->GetEntityCapacity(), 10u);
    CConfigNode* definition = Own(worldkit::MakeEntityDefinition());
    CEntity* entity = Vusk::CreateEntity("E", definition, 0, nullptr);
    ASSERT_TRUE(Vusk::AddEntity(world, entity));
    EXPECT_EQ(Log(), (Strings{"added E 0"}));
    Log().clear();
    Vusk::UpdateWorld(world);
    EXPECT_EQ(Log(), (Strings{"update E", "think E", "apply E"}));
    delete world;
}

// A world definition that uses every allocation path of world, entity and team creation.
CConfigNode* MakeRichWorldTree() {
    CConfigNode* tree = worldkit::MakeWorldTree("6", "2");
    CConfigNode* tasks = Add(tree, "TimeMgt");
    Add(Add(tasks, "Aperiodic", nullptr, "Hide"), "MaxCall", "2");
    Add(tasks, "Periodic", nullptr, "Scan");
    Add(Add(tree, "GlobalServices"), "Service", "G");
    CConfigNode* services = Add(tree, "Services");
    AddDefinition(services, "Service", "G", "TestGlobalService");
    AddDefinition(services, "Service", "S", "DerivedService");
    AddEntityDefinition(Add(tree, "Entities"), "Bot", "TestEntity", "TestActionClass", "B");
    CConfigNode* brain = AddDefinition(Add(tree, "Brains"), "Brain", "B", "TestBrain");
    Add(brain, "Service", "S");
    Add(brain, "Agent", "A");
    AddDefinition(Add(tree, "Agents"), "Agent", "A", "TestAgent");
    AddDefinition(Add(tree, "Teams"), "Team", "T", "CTeam");
    return tree;
}

// Without the world pool every engine allocation reaches the host, which fails the n-th one.
// Whatever fails, a creating call either succeeds or gives null, leaks nothing, frees nothing
// twice and leaves the engine usable.
TEST_P(WorldTest, CreationSurvivesEveryFailedAllocation) {
    if (PoolSize() != 0)
        GTEST_SKIP() << "the world pool serves the allocations whose failure this test injects at the host; "
                        "the variant without the pool runs it";
    CConfigNode* tree = Own(MakeRichWorldTree());
    // The engine's world file reader is made once and kept for the engine's lifetime.
    ASSERT_NE(Vusk::GetAisReader(), nullptr);
    const long baseline = Host().LiveBlocks();
    bool worldMade = false;
    for (long n = 1; !worldMade; ++n) {
        Host().FailAllocation(n);
        CWorld* world = Vusk::CreateWorld(tree, 0);
        Host().FailAllocation(0);
        worldMade = world != nullptr && world->GetGlobalServiceCount() == 1 &&
                    CTimeManager::GetInstance()->GetAperiodicTaskCount() == 1;
        delete world;
        ASSERT_EQ(Host().LiveBlocks(), baseline) << "world, failing allocation " << n;
        ASSERT_EQ(Vusk::GetCurrentWorld(), nullptr);
        ASSERT_LT(n, 1000);
    }

    CWorld* world = Vusk::CreateWorld(tree, 0);
    ASSERT_NE(world, nullptr);
    const long withWorld = Host().LiveBlocks();
    bool entityMade = false;
    for (long n = 1; !entityMade; ++n) {
        Host().FailAllocation(n);
        CConfigNode* definition = Vusk::ExpandEntityDefinition(world, "Bot");
        CEntity* entity = Vusk::CreateEntity(nullptr, definition, 0, nullptr);
        CConfigNode* teamDefinition = Vusk::FindTeamDefinition(world, "T");
        CTeam* team = Vusk::CreateTeam(teamDefinition, 2, "Team");
        const bool added = entity != nullptr && Vusk::AddEntity(world, entity);
        const bool joined = added && team != nullptr && team->AddMember(entity);
        Host().FailAllocation(0);
        entityMade = joined && entity->GetBrain()->GetAgentCount() == 1 && entity->GetBrain()->GetServiceCount() == 1;
        if (team != nullptr) {
            EXPECT_EQ(team->GetMembers()->GetCount(), joined ? 1u : 0u);
            Vusk::DestroyTeam(team);
        }
        if (entity != nullptr) {
            EXPECT_EQ(entity->GetTeams()->GetCount(), 0u);
            Vusk::DestroyEntity(entity);
        }
        Vusk::DeleteTree(teamDefinition);
        Vusk::DeleteTree(definition);
        ASSERT_EQ(Host().LiveBlocks(), withWorld) << "entity, failing allocation " << n;
        ASSERT_EQ(world->GetEntityTable()->GetCount(), 0u);
        ASSERT_EQ(world->GetTeamList()->GetCount(), 0u);
        ASSERT_LT(n, 1000);
    }
    EXPECT_EQ(Host().BadFrees(), 0);
    delete world;
}

AI_ENGINE_TEST_SUITE(WorldTest);

} // namespace
