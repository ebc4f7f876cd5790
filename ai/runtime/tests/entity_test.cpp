#include "ai/runtime/entity.h"

#include <cmath>
#include <string>
#include <type_traits>

#include <gtest/gtest.h>

#include "ai/runtime/engine.h"
#include "ai/runtime/entity_attribute.h"
#include "ai/runtime/team.h"
#include "ai/runtime/time_manager.h"
#include "ai/runtime/tests/world_test_kit.h"
#include "ai/runtime/world_api.h"

using worldkit::Add;
using worldkit::AddDefinition;

namespace {

// Objects that own engine memory are never copied: a copy would release it a second time.
template <class T> constexpr bool kNotCopyable = !std::is_copy_constructible_v<T> && !std::is_copy_assignable_v<T>;
static_assert(kNotCopyable<CEntity> && kNotCopyable<worldkit::TestEntity> && kNotCopyable<CTeam> &&
              kNotCopyable<CWorld> && kNotCopyable<CBrain> && kNotCopyable<CActionClass> && kNotCopyable<CAgent> &&
              kNotCopyable<CTimeManager>);

// A current world with room for 8 entities and 6 teams, and an entity definition.
class EntityTest : public WorldTest {
protected:
    void SetUp() override {
        WorldTest::SetUp();
        m_world = Vusk::CreateWorld(Own(worldkit::MakeWorldTree("8", "6")), 0);
        ASSERT_NE(m_world, nullptr);
        m_definition = Own(worldkit::MakeEntityDefinition());
    }
    void TearDown() override {
        delete m_world;
        WorldTest::TearDown();
    }

    CEntity* Make(const char* name = nullptr) { return Vusk::CreateEntity(name, m_definition, 0x12, nullptr); }

    CWorld* m_world = nullptr;
    CConfigNode* m_definition = nullptr;
};

TEST_P(EntityTest, CreationNamesAndRefusals) {
    int hostObject = 0;
    CEntity* first = Vusk::CreateEntity(nullptr, m_definition, 0x12, &hostObject);
    CEntity* second = Make();
    ASSERT_TRUE(first && second);
    EXPECT_STREQ(first->GetName(), "_0");
    EXPECT_STREQ(second->GetName(), "_1");
    EXPECT_EQ(first->GetHostObject(), &hostObject);
    EXPECT_EQ(first->GetBrain()->GetOwner(), first);

    const std::string longest(1023, 'n');
    CEntity* named = Make(longest.c_str());
    ASSERT_NE(named, nullptr);
    EXPECT_EQ(std::string(named->GetName()), longest);
    EXPECT_EQ(Make((longest + "n").c_str()), nullptr);

    // Refused definitions: no class, an unknown class, an entity Init that fails, a null tree.
    CConfigNode* definition = Own(new CConfigNode());
    EXPECT_EQ(Vusk::CreateEntity("x", definition, 0, nullptr), nullptr);
    Add(definition, "Class", "testentity"); // class names are case-sensitive
    EXPECT_EQ(Vusk::CreateEntity("x", definition, 0, nullptr), nullptr);
    definition->DeleteChildren();
    Add(definition, "Class", "TestEntity");
    Add(definition, "FailInit");
    EXPECT_EQ(Vusk::CreateEntity("x", definition, 0, nullptr), nullptr);
    EXPECT_EQ(Vusk::CreateEntity("x", nullptr, 0, nullptr), nullptr);
}

TEST_P(EntityTest, BrainCreationCases) {
    // An unregistered brain class: the entity has no brain.
    CConfigNode* definition = Own(worldkit::MakeEntityDefinition("NoSuchBrain"));
    CEntity* brainless = Vusk::CreateEntity(nullptr, definition, 0, nullptr);
    ASSERT_NE(brainless, nullptr);
    EXPECT_EQ(brainless->GetBrain(), nullptr);

    // A registered brain without an action class, or with an unknown one, fails the entity.
    definition = Own(worldkit::MakeEntityDefinition());
    definition->FindChild("ActionClass")->SetValue("NoSuchActions");
    EXPECT_EQ(Vusk::CreateEntity(nullptr, definition, 0, nullptr), nullptr);

    // A brain whose Init fails is deleted once, with its entity and its agents (the run without
    // the pool hands every release to the host, so a second delete would be caught).
    definition = Own(worldkit::MakeEntityDefinition());
    CConfigNode* brain = definition->FindChild("Brain");
    Add(Add(brain, "Agent"), "Class", "TestAgent");
    Add(brain, "Fail", "1");
    const long liveBefore = Host().LiveBlocks();
    EXPECT_EQ(Vusk::CreateEntity(nullptr, definition, 0, nullptr), nullptr);
    EXPECT_EQ(Host().BadFrees(), 0);
    if (PoolSize() == 0) {
        EXPECT_EQ(Host().LiveBlocks(), liveBefore);
    }
}

TEST_P(EntityTest, EntityPoolLimitsCreation) {
    CEntity* made = nullptr;
    int count = 0;
    while ((made = Make()) != nullptr)
        ++count;
    EXPECT_EQ(count, 100); // the fake host's pool size
    // Destroying one makes room for one.
    Vusk::DestroyEntity(Vusk::GetEngineEntityPool()->GetHead()->GetValue());
    EXPECT_NE(Make(), nullptr);
    EXPECT_EQ(Make(), nullptr);
}

TEST_P(EntityTest, ExpandEntityDefinitionSplicesBrainAgentsAndServices) {
    CConfigNode* config = m_world->GetConfig();
    CConfigNode* soldier = AddDefinition(Add(config, "Entities"), "Entity", "Soldier", "TestEntity");
    Add(soldier, "Brain", "Fighter");
    Add(soldier, "ActionClass", "TestActionClass");
    CConfigNode* fighter = AddDefinition(Add(config, "Brains"), "Brain", "Fighter", "TestBrain");
    Add(fighter, "Service", "Finder");
    Add(fighter, "Agent", "Runner");
    Add(fighter, "Decide", "0");
    CConfigNode* runner = AddDefinition(Add(config, "Agents"), "Agent", "Runner", "TestAgent");
    Add(runner, "Speed", "4");
    AddDefinition(Add(config, "Services"), "Service", "Finder", "TestService");

    CConfigNode* expanded = Vusk::ExpandEntityDefinition(m_world, "soldier");
    ASSERT_NE(expanded, nullptr);
    ASSERT_EQ(expanded->GetChildCount(), 3u);
    EXPECT_EQ(expanded->FindChild("Brain")->GetValue(), nullptr);

    // The expanded tree makes a working entity: the brain with its agent (speed 4) and service.
    CEntity* entity = Vusk::CreateEntity(nullptr, expanded, 0, nullptr);
    ASSERT_NE(entity, nullptr);
    ASSERT_NE(entity->GetBrain(), nullptr);
    EXPECT_EQ(entity->GetBrain()->GetAgentCount(), 1u);
    EXPECT_EQ(entity->GetBrain()->GetServiceCount(), 1u);
    EXPECT_EQ(static_cast<worldkit::TestAgent*>(entity->GetBrain()->GetAgentAt(0))->speed, 4.0f);
    Vusk::DeleteTree(expanded);

    // Every missing piece gives null and leaks nothing (checked by the run without the pool).
    EXPECT_EQ(Vusk::ExpandEntityDefinition(m_world, "Nobody"), nullptr);
    EXPECT_EQ(Vusk::ExpandEntityDefinition(nullptr, "Soldier"), nullptr);
    Add(fighter, "Agent", "Ghost");
    EXPECT_EQ(Vusk::ExpandEntityDefinition(m_world, "Soldier"), nullptr);
    fighter->GetChild(fighter->GetChildCount() - 1)->SetValue(nullptr);
    EXPECT_EQ(Vusk::ExpandEntityDefinition(m_world, "Soldier"), nullptr);
    fighter->GetChild(fighter->GetChildCount() - 1)->SetValue("Runner");
    soldier->FindChild("Brain")->SetValue("NoBrain");
    EXPECT_EQ(Vusk::ExpandEntityDefinition(m_world, "Soldier"), nullptr);

    // Without "Brain" the entity's own children are all there is.
    soldier->FindChild("Brain")->SetName("Mind");
    expanded = Vusk::ExpandEntityDefinition(m_world, "Soldier");
    ASSERT_NE(expanded, nullptr);
    EXPECT_EQ(expanded->GetChildCount(), 3u);
    EXPECT_EQ(expanded->FindChild("Brain"), nullptr);
    Vusk::DeleteTree(expanded);
}

TEST_P(EntityTest, TeamMembershipStaysConsistentOnBothSides) {
    CConfigNode* config = m_world->GetConfig();
    CConfigNode* red = AddDefinition(Add(config, "Teams"), "Team", "Red", "TestTeam");
    Add(red, "Colour", "red");
    CConfigNode* definition = Vusk::FindTeamDefinition(m_world, "red");
    ASSERT_NE(definition, nullptr);
    EXPECT_EQ(Vusk::FindTeamDefinition(m_world, "Blue"), nullptr);

    CTeam* pair = Vusk::CreateTeam(definition, 2, "Pair");
    ASSERT_NE(pair, nullptr);
    CEntity* a = Make();
    CEntity* b = Make();
    CEntity* c = Make();
    ASSERT_TRUE(Vusk::AddEntity(m_world, a) && Vusk::AddEntity(m_world, b) && Vusk::AddEntity(m_world, c));
    EXPECT_TRUE(pair->AddMember(a));
    EXPECT_TRUE(pair->AddMember(b));
    EXPECT_FALSE(pair->AddMember(c)); // full
    EXPECT_EQ(c->GetTeams()->GetCount(), 0u);

    // A plain CTeam accepts no parameter; MaxTeam (6) bounds the teams.
    CConfigNode* plain = Own(new CConfigNode());
    Add(plain, "Class", "CTeam");
    Add(plain, "Colour", "blue");
    EXPECT_EQ(Vusk::CreateTeam(plain, 4, nullptr), nullptr);
    plain->FindChild("Colour")->SetName("Class");
    CTeam* teams[6] = {pair};
    for (int i = 1; i < 6; ++i) {
        teams[i] = Vusk::CreateTeam(i == 5 ? definition : plain, 4, nullptr);
        ASSERT_NE(teams[i], nullptr);
    }
    EXPECT_EQ(Vusk::CreateTeam(plain, 4, "Seventh"), nullptr);
    EXPECT_EQ(m_world->GetTeamList()->GetCount(), 6u);

    // An entity joining a fifth team keeps its four earlier ones (its list grows).
    for (int i = 1; i < 5; ++i)
        EXPECT_TRUE(teams[i]->AddMember(a));
    ASSERT_EQ(a->GetTeams()->GetCount(), 5u);
    int position = 0;
    for (CTeam* team : *a->GetTeams())
        EXPECT_EQ(team, teams[position++]);

    // Leaving the world leaves every team; a destroyed entity is no member any more.
    ASSERT_TRUE(Vusk::RemoveEntity(m_world, a));
    EXPECT_EQ(a->GetTeams()->GetCount(), 0u);
    EXPECT_EQ(pair->GetMembers()->GetCount(), 1u);
    EXPECT_EQ(teams[2]->GetMembers()->GetCount(), 0u);
    Vusk::DestroyTeam(nullptr);

    Vusk::DeleteTree(definition);
}

TEST_P(EntityTest, AttributesAndViewCone) {
    CEntity* entity = Make("Seer");
    ASSERT_NE(entity, nullptr);
    EXPECT_EQ(entity->GetAttribute(&CEntityHeight::s_desc), nullptr);
    auto* height = static_cast<CEntityHeight*>(entity->CreateAttribute(&CEntityHeight::s_desc));
    ASSERT_NE(height, nullptr);
    EXPECT_EQ(entity->FindAttribute<CEntityHeight>(), height);
    EXPECT_FLOAT_EQ(height->value, 3.6f); // 1.8 m, OneMeter 2
    EXPECT_EQ(entity->GetAttribute(nullptr), nullptr);
    {
        // A class registered after the entity was made has no slot in it.
        CEntityAttributeDesc late("LateAttribute", &CEntityHeight::Create);
        EXPECT_EQ(entity->GetAttribute(&late), nullptr);
        EXPECT_EQ(entity->CreateAttribute(&late), nullptr);
    }

    // Copies: only between the same class; acuteness values are clamped.
    CEntityVisualAcuteness vision;
    CEntityVisualAcuteness source;
    source.range = -3.0f;
    source.angle = 400.0f;
    vision.CopyFrom(&source);
    EXPECT_EQ(vision.range, 0.0f);
    EXPECT_EQ(vision.angle, 360.0f);
    source.angle = -5.0f;
    vision.CopyFrom(&source);
    EXPECT_EQ(vision.angle, 0.0f);
    vision.SetAngle(std::nanf(""));
    EXPECT_EQ(vision.angle, 360.0f);
    vision.CopyFrom(height); // another class: unchanged
    EXPECT_EQ(vision.angle, 360.0f);
    CEntityHearingAcuteness hearing;
    CEntityHearingAcuteness deaf;
    deaf.value = -2.0f;
    hearing.value = 5.0f;
    hearing.CopyFrom(&deaf);
    EXPECT_EQ(hearing.value, 0.0f);

    // The view cone: from the eye attribute along the head direction when present, else from
    // the position along the direction with a half angle of 180 (everything but straight behind
    // is in view).
    entity->SetPosition(CVector3(0, 0, 0));
    entity->SetDirection(CVector3(0, 0, 1));
    EXPECT_TRUE(Vusk::IsPointInEntityView(CVector3(5, 0, -1), entity));
    auto* acuteness = static_cast<CEntityVisualAcuteness*>(entity->CreateAttribute(&CEntityVisualAcuteness::s_desc));
    acuteness->SetAngle(45.0f);
    EXPECT_FALSE(Vusk::IsPointInEntityView(CVector3(5, 0, -1), entity));
    EXPECT_TRUE(Vusk::IsPointInEntityView(CVector3(0, 0, 1000), entity)); // no range limit
    auto* head = static_cast<CEntityHeadDirection*>(entity->CreateAttribute(&CEntityHeadDirection::s_desc));
    head->value = CVector3(1, 0, 0);
    EXPECT_TRUE(Vusk::IsPointInEntityView(CVector3(5, 0, -1), entity));
    auto* eye = static_cast<CEntityEyePosition*>(entity->CreateAttribute(&CEntityEyePosition::s_desc));
    eye->value = CVector3(10, 0, 0);
    EXPECT_FALSE(Vusk::IsPointInEntityView(CVector3(5, 0, -1), entity));
    EXPECT_FALSE(Vusk::IsPointInEntityView(CVector3(0, 0, 0), nullptr));

    EXPECT_TRUE(Vusk::CheckActionAndAttributeClasses());
}

AI_ENGINE_TEST_SUITE(EntityTest);

} // namespace
