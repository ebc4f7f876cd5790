// Entity manager and sound manager: perception records, their refresh delays and the hearing rule.

#include <cmath>
#include <memory>

#include <gtest/gtest.h>

#include "ai/behaviours/entity_manager.h"
#include "ai/behaviours/sound_manager.h"
#include "ai/navigation/constraint.h"
#include "ai/runtime/engine.h"
#include "ai/runtime/entity_attribute.h"
#include "ai/runtime/time_manager.h"
#include "ai/runtime/world.h"
#include "ai/runtime/world_api.h"
#include "testing/fake_ai_host.h"
#include "tools/ai_scenario/scenario_kit.h"

namespace {

using scenario::Add;
using scenario::HostBody;

class PerceptionTest : public AiEngineTest {
protected:
    void SetUp() override {
        AiEngineTest::SetUp();
        Host().SetTime(1.0);
    }
    void TearDown() override {
        delete m_world;
        Vusk::DeleteTree(m_tree);
        for (CConfigNode* node : m_definitions)
            Vusk::DeleteTree(node);
        AiEngineTest::TearDown();
    }

    void MakeWorld(const char* soundParams = nullptr) {
        m_tree = scenario::MakeWorldTree(8, 0.0f, scenario::DefaultTasks(), {"CSoundManager"});
        if (soundParams != nullptr) {
            CConfigNode* definition = m_tree->FindChild("Services")->GetChild(0);
            Add(definition, "MaxWorldSounds", soundParams);
        }
        m_world = Vusk::CreateWorld(m_tree, PoolSize());
        ASSERT_NE(m_world, nullptr);
    }

    // An entity at position; with an entity manager when perceiving, with that visual acuteness when
    // given; in the world with every class bit of the engine (as a host creates its actors) when taking
    // part.
    CEntity* Spawn(HostBody& body, bool perceiving, bool takingPart = true, const char* acuteness = nullptr) {
        CConfigNode* brain = nullptr;
        CConfigNode* definition = scenario::MakeEntityDefinition(perceiving ? &brain : nullptr);
        m_definitions.push_back(definition);
        if (perceiving)
            scenario::AddService(brain, "CEntityManager");
        if (acuteness != nullptr)
            Add(definition, "VisualAcuteness", acuteness);
        const uint32_t mask = takingPart ? Vusk::GetClassBitMask() : 0u;
        CEntity* entity = Vusk::CreateEntity(nullptr, definition, mask, &body);
        EXPECT_NE(entity, nullptr);
        EXPECT_TRUE(Vusk::AddEntity(m_world, entity));
        entity->Update();
        return entity;
    }

    CEntityManager* ManagerOf(CEntity* entity) {
        return static_cast<CEntityManager*>(entity->GetBrain()->GetService(&CEntityManager::s_classDesc));
    }

    void Frame(double time) {
        Host().SetTime(time);
        CTimeManager::GetInstance()->BeginFrame();
        for (CEntity* entity : *m_world->GetEntityTable())
            entity->Update();
    }

    CConfigNode* m_tree = nullptr;
    CWorld* m_world = nullptr;
    std::vector<CConfigNode*> m_definitions;
};

TEST_P(PerceptionTest, SharedPairIsMeasuredOncePerDelayWhicheverAsks) {
    MakeWorld();
    HostBody a, b;
    a.position = CVector3(0, 0, 0);
    b.position = CVector3(3, 0, 4);
    CEntity* first = Spawn(a, true);
    CEntity* second = Spawn(b, true);
    Frame(1.0);
    Host().ClearDrawing();
    const size_t before = Host().LineOfSightQueries().size();

    CEntityInfo* info = ManagerOf(first)->GetEntityInfo(second);
    EXPECT_FLOAT_EQ(info->distance, 5.0f);
    EXPECT_EQ(info->blocked, 0);
    EXPECT_EQ(info->seen, 1);
    // The other manager asks for the same pair: the shared measurement is reused.
    CEntityInfo* back = ManagerOf(second)->GetEntityInfo(first);
    EXPECT_FLOAT_EQ(back->distance, 5.0f);
    EXPECT_EQ(Host().LineOfSightQueries().size(), before + 1);

    // A wall comes up and b walks away: within the delays the records stay as they were.
    Host().AddBox(1, -1, 1, 2, 3, 2);
    b.position = CVector3(6, 0, 8);
    Frame(1.3);
    info = ManagerOf(first)->GetEntityInfo(second);
    EXPECT_FLOAT_EQ(info->distance, 5.0f);
    EXPECT_EQ(info->blocked, 0);
    EXPECT_EQ(Host().LineOfSightQueries().size(), before + 1);

    // Past the pair delay the pair is measured again, once.
    Frame(1.6);
    info = ManagerOf(first)->GetEntityInfo(second);
    EXPECT_FLOAT_EQ(info->distance, 10.0f);
    EXPECT_EQ(info->blocked, 1);
    EXPECT_EQ(info->seen, 0);
    back = ManagerOf(second)->GetEntityInfo(first);
    EXPECT_EQ(back->blocked, 1);
    EXPECT_EQ(Host().LineOfSightQueries().size(), before + 2);
    // Update forgets everything: the next request measures again at once.
    ManagerOf(first)->Update();
    EXPECT_EQ(ManagerOf(first)->GetEntityInfo(nullptr)[second->GetIndex()].nextCommonTime, 0.0f);
    info = ManagerOf(first)->GetEntityInfo(second);
    EXPECT_EQ(info->blocked, 1);
    EXPECT_EQ(Host().LineOfSightQueries().size(), before + 3);
    // The query runs between the eye points, with the first entity of the pair as user value.
    const FakeQuery& query = Host().LineOfSightQueries().back();
    EXPECT_FLOAT_EQ(query.from[1], 1.6f);
    EXPECT_EQ(query.mode, 1u);
}

TEST_P(PerceptionTest, EnemiesVisionAndNearest) {
    MakeWorld();
    HostBody owner, friendBody, enemyNear, enemyFar, sideless, outsider;
    owner.teamSide = 1;
    friendBody.teamSide = 1;
    enemyNear.teamSide = 2;
    enemyFar.teamSide = 3;
    owner.position = CVector3(0, 0, 0);
    friendBody.position = CVector3(0, 0, 1);
    enemyNear.position = CVector3(0, 0, -4);
    enemyFar.position = CVector3(4, 0, 0); // same distance as enemyNear, later in the list
    sideless.position = CVector3(0, 0, 2);
    outsider.position = CVector3(0, 0, 0.5f);
    CEntity* self = Spawn(owner, true);
    CEntity* mate = Spawn(friendBody, false);
    CEntity* near = Spawn(enemyNear, false);
    CEntity* far = Spawn(enemyFar, false);
    CEntity* none = Spawn(sideless, false);
    CEntity* ignored = Spawn(outsider, false, false);
    Frame(1.0);
    CEntityManager* manager = ManagerOf(self);

    EXPECT_EQ(manager->GetEntityInfo(mate)->enemy, 0);
    EXPECT_EQ(manager->GetEntityInfo(near)->enemy, 1);
    EXPECT_EQ(manager->GetEntityInfo(far)->enemy, 1);
    EXPECT_EQ(manager->GetEntityInfo(none)->enemy, 0);
    // Without a visual acuteness the owner sees whatever is not blocked, behind it too.
    EXPECT_EQ(manager->GetEntityInfo(near)->seen, 1);
    // An entity without the class bit keeps an untouched record.
    const CEntityInfo* untouched = manager->GetEntityInfo(ignored);
    EXPECT_EQ(untouched->distance, 0.0f);
    EXPECT_EQ(untouched->nextCommonTime, 0.0f);
    // The owner itself is never refreshed either.
    EXPECT_EQ(manager->GetEntityInfo(self)->nextCommonTime, 0.0f);
    // Equal distances: the first in list order is the nearest enemy.
    EXPECT_EQ(manager->GetNearestEnemy(), near);
    EXPECT_EQ(manager->GetNearest(), mate);

    // Removing the nearest enemy clears the field.
    EXPECT_TRUE(Vusk::RemoveEntity(m_world, near));
    EXPECT_EQ(manager->GetNearestEnemyField(), nullptr);
    // An entity outside the world has no slot: an all-zero record that is not the table's.
    const CEntityInfo* outside = manager->GetEntityInfo(near);
    EXPECT_EQ(outside->distance, 0.0f);
    EXPECT_EQ(outside->enemy, 0);
    const CEntityInfo* table = manager->GetEntityInfo(nullptr);
    EXPECT_TRUE(outside < table || outside >= table + manager->GetRecordCount());
    Frame(2.0);
    EXPECT_EQ(manager->GetNearestEnemy(), far);
    Vusk::DestroyEntity(near);
}

// An entity that leaves its world is listed nowhere: its sounds end, the constraints' threat entries
// of it are cleared, and what the entity managers measured of its slot goes with it, so the next
// entity in that slot is measured afresh.
TEST_P(PerceptionTest, AnEntityThatLeavesIsListedNowhere) {
    MakeWorld();
    Frame(1.0);
    auto* sounds = static_cast<CSoundManager*>(m_world->GetGlobalService(&CSoundManager::s_classDesc));
    ASSERT_NE(sounds, nullptr);
    HostBody ownerBody, enemyBody, friendBody;
    ownerBody.teamSide = friendBody.teamSide = 1;
    enemyBody.teamSide = 2;
    enemyBody.position = CVector3(0, 0, 4);
    friendBody.position = CVector3(3, 0, 4);
    CEntity* self = Spawn(ownerBody, true);
    CEntity* enemy = Spawn(enemyBody, false);
    const int slot = enemy->GetIndex();
    CEntityManager* manager = ManagerOf(self);
    EXPECT_EQ(manager->GetEntityInfo(enemy)->enemy, 1);
    EXPECT_FLOAT_EQ(manager->GetEntityInfo(enemy)->distance, 4.0f);
    ASSERT_GE(sounds->AddSound(enemy, enemyBody.position, 1, 5, -1.0f), 0);
    CConstraintStealthPath stealth;
    CConstraintConeVisionStealthPath cone;
    CConstraintPointToFleePath flee;
    CEntity** lists[] = {stealth.m_threatEntities, cone.m_threatEntities, flee.m_threatEntities};
    stealth.m_threatEntityCount = cone.m_threatEntityCount = flee.m_threatEntityCount = 2;
    for (CEntity** list : lists) {
        list[0] = enemy;
        list[1] = self;
    }

    Vusk::DestroyEntity(enemy);
    EXPECT_EQ(sounds->GetActiveHead(), -1);
    EXPECT_EQ(sounds->GetActiveCount(0), 0);
    for (CEntity** list : lists) {
        EXPECT_EQ(list[0], nullptr);
        EXPECT_EQ(list[1], self);
    }
    CEntity* mate = Spawn(friendBody, false);
    ASSERT_EQ(mate->GetIndex(), slot);
    EXPECT_EQ(manager->GetEntityInfo(mate)->enemy, 0);
    EXPECT_FLOAT_EQ(manager->GetEntityInfo(mate)->distance, 5.0f);
}

TEST_P(PerceptionTest, VisionConeLimitsSight) {
    MakeWorld();
    HostBody owner, ahead, behind, farAhead;
    owner.heading = 0.0f; // looking along +z
    ahead.position = CVector3(1, 0, 5);
    behind.position = CVector3(0, 0, -5);
    farAhead.position = CVector3(0, 0, 50);
    CEntity* self = Spawn(owner, true, true, "20 45");
    CEntity* a = Spawn(ahead, false);
    CEntity* b = Spawn(behind, false);
    CEntity* c = Spawn(farAhead, false);
    Frame(1.0);
    CEntityManager* manager = ManagerOf(self);
    EXPECT_EQ(manager->GetEntityInfo(a)->seen, 1);
    EXPECT_EQ(manager->GetEntityInfo(b)->seen, 0);
    EXPECT_EQ(manager->GetEntityInfo(b)->blocked, 0);
    EXPECT_EQ(manager->GetEntityInfo(c)->seen, 0); // beyond the range
    EXPECT_EQ(manager->GetNearestSeen(), nullptr); // nothing recomputed yet
    EXPECT_EQ(manager->GetNearestEnemy(), nullptr);
    EXPECT_EQ(manager->GetNearest(), b);
    EXPECT_EQ(manager->GetNearestSeen(), a);
    EXPECT_EQ(manager->GetNearestUnblocked(), b);
}

TEST_P(PerceptionTest, SoundsAreHeardWithinTheirRangeOnly) {
    MakeWorld();
    Frame(1.0);
    auto* sounds = static_cast<CSoundManager*>(m_world->GetGlobalService(&CSoundManager::s_classDesc));
    ASSERT_NE(sounds, nullptr);
    EXPECT_EQ(CSoundManager::GetCurrent(), sounds);
    HostBody listenerBody, sourceBody, otherBody;
    CEntity* listener = Spawn(listenerBody, true);
    CEntity* source = Spawn(sourceBody, false);
    CEntity* other = Spawn(otherBody, false);
    CEntityHearingAcuteness* hearing =
        static_cast<CEntityHearingAcuteness*>(listener->CreateAttribute(&CEntityHearingAcuteness::s_desc));
    hearing->value = 2.0f;

    EXPECT_GE(sounds->AddSound(source, CVector3(10, 0, 0), 1, 5, 1.0f), 0);
    EXPECT_GE(sounds->AddSound(other, CVector3(1, 0, 0), 2, 0, 1.0f), 0);
    // Acuteness 2, intensity 5: heard closer than 10 units, not at 10.
    listenerBody.position = CVector3(0.01f, 0, 0);
    listener->Update();
    EXPECT_TRUE(sounds->CanHear(listener, source));
    listenerBody.position = CVector3(0, 0, 0);
    listener->Update();
    EXPECT_FALSE(sounds->CanHear(listener, source));
    // Intensity 0 is never heard, not even on the spot.
    listenerBody.position = CVector3(1, 0, 0);
    listener->Update();
    EXPECT_FALSE(sounds->CanHear(listener, other));
    EXPECT_EQ(sounds->GetActiveCount(0), 1);
    EXPECT_EQ(sounds->GetActiveCount(1), 1);

    // The heard flag reaches the perception record.
    listenerBody.position = CVector3(9, 0, 0);
    listener->Update();
    EXPECT_EQ(ManagerOf(listener)->GetEntityInfo(source)->heard, 1);

    // The sounds end at 2.0; the expiry pass runs once per engine time.
    Frame(2.0);
    EXPECT_FALSE(sounds->CanHear(listener, source));
    EXPECT_EQ(sounds->GetActiveCount(0), 0);
    EXPECT_EQ(sounds->GetActiveHead(), -1);
    EXPECT_GE(sounds->AddSound(source, CVector3(9, 0, 0), 1, 5, 0.0f), 0);
    sounds->Update(); // same engine time: the sound that ends now stays listed
    EXPECT_EQ(sounds->GetActiveCount(0), 1);
    EXPECT_FALSE(sounds->CanHear(listener, source));
    Frame(2.5);
    sounds->Update();
    EXPECT_EQ(sounds->GetActiveCount(0), 0);
    // A sound of unknown category or one that never ends.
    EXPECT_EQ(sounds->AddSound(source, CVector3(9, 0, 0), 3, 5, 1.0f), -1);
    EXPECT_GE(sounds->AddSound(source, CVector3(9, 0, 0), 64, 5, -1.0f), 0);
    Frame(1000.0);
    EXPECT_TRUE(sounds->CanHear(listener, source));
}

TEST_P(PerceptionTest, SoundReservations) {
    // Ten records, seven reserved: the combat category may take its own record and then only the
    // records nobody has reserved.
    MakeWorld("10");
    Frame(1.0);
    auto* sounds = static_cast<CSoundManager*>(m_world->GetGlobalService(&CSoundManager::s_classDesc));
    ASSERT_NE(sounds, nullptr);
    EXPECT_EQ(sounds->GetMaxWorldSounds(), 10);
    HostBody body;
    CEntity* source = Spawn(body, false);
    int taken = 0;
    while (sounds->AddSound(source, CVector3(), 1, 5, 10.0f) >= 0)
        ++taken;
    EXPECT_EQ(taken, 4);
    for (int category : {2, 4, 8, 16, 32, 64})
        EXPECT_GE(sounds->AddSound(source, CVector3(), category, 5, 10.0f), 0);
    EXPECT_EQ(sounds->AddSound(source, CVector3(), 2, 5, 10.0f), -1);
    sounds->Reset();
    EXPECT_EQ(sounds->GetActiveCount(0), 0);
    EXPECT_EQ(sounds->GetFreeHead(), 0);

    // Reserved counts summing to 11 over a pool of 10 fail Init.
    CSoundManager* bad = static_cast<CSoundManager*>(CSoundManager::Create());
    auto* node = new CConfigNode();
    Add(node, "MaxWorldSounds", "10");
    Add(node, "NbReservedSoundsGarbage", "5");
    EXPECT_FALSE(bad->Init(node));
    // A manager that never got its records takes no sound.
    EXPECT_EQ(bad->AddSound(source, CVector3(), 1, 5, 10.0f), -1);
    EXPECT_FALSE(bad->Init(nullptr));
    Add(node, "Unknown", "5");
    EXPECT_FALSE(bad->Init(node));
    delete bad;
    Vusk::DeleteTree(node);
    EXPECT_EQ(CSoundManager::GetCurrent(), sounds);

    // The sound manager has a class bit of its own that stays out of the engine-wide mask, which
    // holds the entity manager's and the path finder's.
    const uint32_t soundBit = CSoundManager::s_classDesc.GetClassBit();
    EXPECT_NE(soundBit, 0u);
    EXPECT_EQ(Vusk::GetClassBitMask() & soundBit, 0u);
    EXPECT_NE(Vusk::GetClassBitMask() & CEntityManager::s_classDesc.GetClassBit(), 0u);
}

AI_ENGINE_TEST_SUITE(PerceptionTest);

} // namespace
