#include "ai/runtime/class_desc.h"

#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

// The tests register their classes in registries of their own, so the engine-wide
// registries (process-global, filled by the engine's static initialisers) stay untouched.

namespace {

CService* g_created = nullptr;
int g_firstCalls = 0;
int g_secondCalls = 0;

CService* CreateFirst(CBrain*) {
    ++g_firstCalls;
    return g_created;
}

CService* CreateSecond(CBrain*) {
    ++g_secondCalls;
    return g_created;
}

TEST(ClassDescTest, RegistrationReplacesByNameAndRefusesTheSlotAfterTheLast) {
    CClassRegistry registry;
    CClassBitAllocator bits;
    CServiceDesc first(registry, bits, "CPathFinder", CreateFirst, nullptr, false, false);
    CServiceDesc other(registry, bits, "COther", nullptr, nullptr, false, false);
    CServiceDesc second(registry, bits, "CPathFinder", CreateSecond, nullptr, false, false);
    EXPECT_EQ(first.GetIndex(), 0);
    EXPECT_EQ(other.GetIndex(), 1);
    EXPECT_EQ(second.GetIndex(), 0);
    EXPECT_EQ(registry.GetCount(), 2u);

    CServiceDesc* found = CServiceDesc::Find(registry, "CPathFinder");
    ASSERT_EQ(found, &second);
    found->GetCreateFunction()(nullptr);
    EXPECT_EQ(g_secondCalls, 1);
    EXPECT_EQ(g_firstCalls, 0);
    // Exact, case-sensitive names.
    EXPECT_EQ(CServiceDesc::Find(registry, "cpathfinder"), nullptr);
    EXPECT_EQ(CServiceDesc::Find(registry, "CPathFinde"), nullptr);

    // Fill all 256 slots; the next distinct name is refused but a replacement still works.
    std::vector<std::unique_ptr<CActionDesc>> actions;
    CClassRegistry actionRegistry;
    for (int i = 0; i < 256; ++i) {
        actions.push_back(
            std::make_unique<CActionDesc>(actionRegistry, ("CAction" + std::to_string(i)).c_str(), nullptr));
        EXPECT_EQ(actions.back()->GetIndex(), i);
    }
    CActionDesc refused(actionRegistry, "CActionTooMany", nullptr);
    EXPECT_EQ(refused.GetIndex(), -1);
    EXPECT_EQ(CActionDesc::Find(actionRegistry, "CActionTooMany"), nullptr);
    CActionDesc replacement(actionRegistry, "CAction17", nullptr);
    EXPECT_EQ(replacement.GetIndex(), 17);
    EXPECT_EQ(CActionDesc::Find(actionRegistry, "CAction17"), &replacement);
    EXPECT_EQ(actionRegistry.GetCount(), 256u);
}

TEST(ClassDescTest, ClassBitsAndMask) {
    CClassBitAllocator bits;
    EXPECT_EQ(bits.GetMask(), 1u);
    for (int i = 1; i <= 31; ++i) {
        EXPECT_EQ(bits.Next(), 1u << i);
    }
    EXPECT_EQ(bits.Next(), 0u);
    EXPECT_EQ(bits.Next(), 0u);

    CClassRegistry registry;
    CClassBitAllocator fresh;
    CAgentDesc withBit(registry, fresh, "CHideAgent", nullptr, nullptr, true, false);
    CAgentDesc masked(registry, fresh, "CFollowerAgent", nullptr, nullptr, true, true);
    CAgentDesc noBit(registry, fresh, "CWanderAgent", nullptr, nullptr, false, true);
    EXPECT_EQ(withBit.GetClassBit(), 2u);
    EXPECT_EQ(masked.GetClassBit(), 4u);
    EXPECT_EQ(noBit.GetClassBit(), 0u);
    EXPECT_EQ(fresh.GetMask(), 1u | 4u);
}

TEST(ClassDescTest, KindOfFollowsParents) {
    CClassRegistry registry;
    CClassBitAllocator bits;
    CServiceDesc base(registry, bits, "IPathFinder", nullptr, nullptr, false, false);
    CServiceDesc derived(registry, bits, "CPathFinder", CreateFirst, &base, true, true);
    CServiceDesc further(registry, bits, "CMyPathFinder", CreateFirst, &derived, false, false);
    CServiceDesc unrelated(registry, bits, "CEntityManager", CreateFirst, nullptr, false, false);
    EXPECT_FALSE(base.IsKindOf(&derived));
    EXPECT_FALSE(Vusk::IsKindOf(nullptr, &base));
    EXPECT_FALSE(Vusk::IsKindOf(&base, nullptr));

    // A search for the interface name finds classes that derive from it.
    const CServiceDesc* wanted = CServiceDesc::Find(registry, "IPathFinder");
    int matches = 0;
    for (std::uint32_t i = 0; i < registry.GetCount(); ++i) {
        matches += registry.GetAt(i)->IsKindOf(wanted) ? 1 : 0;
    }
    EXPECT_EQ(matches, 3); // base, derived and further; not the unrelated one
}

TEST(ClassDescTest, LongNamesAreCutAndDestroyedDescriptorsLeave) {
    CClassRegistry registry;
    const std::string longName(400, 'x');
    {
        CTeamDesc team(registry, longName.c_str(), nullptr, nullptr);
        EXPECT_EQ(std::string(team.GetName()), longName.substr(0, 255));
        EXPECT_EQ(CTeamDesc::Find(registry, longName.substr(0, 255).c_str()), &team);
        EXPECT_EQ(CTeamDesc::Find(registry, longName.c_str()), nullptr);
        CTeamDesc unnamed(registry, nullptr, nullptr, nullptr);
        EXPECT_STREQ(unnamed.GetName(), "");
    }
    EXPECT_EQ(CTeamDesc::Find(registry, longName.substr(0, 255).c_str()), nullptr);
    EXPECT_EQ(registry.GetAt(0), nullptr);
}

} // namespace
