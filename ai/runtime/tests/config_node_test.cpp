#include "ai/runtime/config_node.h"

#include <string>

#include <gtest/gtest.h>

#include "testing/fake_ai_host.h"

namespace {

class ConfigNodeTest : public AiEngineTest {};

// Flattens a tree into text, so two trees can be compared in one expectation.
std::string Dump(const CConfigNode* node) {
    auto text = [](const char* s) { return s != nullptr ? std::string(s) : std::string("~"); };
    // Appended piece by piece: GCC 12 warns falsely (-Wrestrict) about "literal" + std::string.
    std::string out = "(";
    out.append(text(node->GetLabel())).append("|").append(text(node->GetName())).append("|");
    out.append(text(node->GetValue())).append("|").append(std::to_string(node->GetRawDataSize()));
    for (std::uint32_t i = 0; i < node->GetChildCount(); ++i) {
        out.append(" ").append(Dump(node->GetChild(i)));
    }
    return out.append(")");
}

CConfigNode* BuildSample() {
    auto* root = new CConfigNode();
    root->SetName("World");
    root->SetLabel("Level1");
    CConfigNode* max = root->AddChild();
    max->SetName("MaxEntity");
    max->SetValue("20");
    CConfigNode* entities = root->AddChild();
    entities->SetName("Entities");
    for (const char* label : {"Player", "Guard"}) {
        CConfigNode* entity = entities->AddChild();
        entity->SetName("Entity");
        entity->SetLabel(label);
        CConfigNode* cls = entity->AddChild();
        cls->SetName("Class");
        cls->SetValue("CDefaultEntityClass");
    }
    CConfigNode* raw = root->AddChild();
    raw->SetName("RawData");
    raw->SetRawData(reinterpret_cast<CRawDataRecord*>(raw), 123); // any address: never dereferenced
    root->AddChild()->SetName("NoValue");
    root->AddChild(); // a child without name or label
    return root;
}

TEST_P(ConfigNodeTest, LookupsIgnoreCase) {
    CConfigNode* root = BuildSample();
    EXPECT_EQ(root->FindChild("maxentity"), root->GetChild(0));
    EXPECT_STREQ(root->GetChildValue("MAXENTITY"), "20");
    EXPECT_EQ(root->GetChildValue("NoValue"), nullptr);
    EXPECT_EQ(root->FindChild(nullptr), nullptr);

    CConfigNode* entities = root->FindChild("entities");
    ASSERT_NE(entities, nullptr);
    EXPECT_EQ(entities->FindChildWithLabel("ENTITY", "guard"), entities->GetChild(1));
    EXPECT_EQ(entities->FindChildWithLabel("Entity", nullptr), nullptr);
    EXPECT_EQ(entities->FindChildWithLabel(nullptr, "Guard"), nullptr);
    EXPECT_EQ(root->FindChildWithLabel("", ""), nullptr); // unnamed children never match
    EXPECT_EQ(root->GetChild(root->GetChildCount()), nullptr);

    // Setting a text from itself keeps it.
    root->SetLabel(root->GetLabel());
    EXPECT_STREQ(root->GetLabel(), "Level1");
    delete root;
}

TEST_P(ConfigNodeTest, CopiesAreDeepAndIndependent) {
    CConfigNode* source = BuildSample();
    const std::string original = Dump(source);

    CConfigNode* copy = new CConfigNode(*source);
    EXPECT_EQ(Dump(copy), original);
    EXPECT_EQ(copy->FindChild("RawData")->GetRawData(), source->FindChild("RawData")->GetRawData());
    copy->FindChild("Entities")->GetChild(0)->SetLabel("Changed");
    copy->FindChild("MaxEntity")->SetValue("99");
    copy->AddChild()->SetName("Extra");
    EXPECT_EQ(Dump(source), original);

    // Copying onto an existing tree replaces all of it.
    copy->CopyFrom(source);
    EXPECT_EQ(Dump(copy), original);
    // Onto itself: unchanged.
    EXPECT_TRUE(copy->CopyFrom(copy));
    EXPECT_EQ(Dump(copy), original);
    EXPECT_FALSE(copy->CopyFrom(nullptr));

    // From one of its own descendants: the subtree is copied before it is released.
    CConfigNode* entities = copy->FindChild("Entities");
    const std::string entitiesText = Dump(entities);
    ASSERT_TRUE(copy->CopyFrom(entities));
    EXPECT_EQ(Dump(copy), entitiesText);
    ASSERT_TRUE(copy->CopyFrom(copy->GetChild(1)->GetChild(0)));
    EXPECT_EQ(Dump(copy), "(~|Class|CDefaultEntityClass|0)");

    CConfigNode* added = copy->AddChildCopy(source);
    ASSERT_NE(added, nullptr);
    EXPECT_EQ(Dump(added), original);
    delete copy;
    delete source;
}

// Whichever allocation fails, a copy either completes or leaves the target as it was,
// and leaks nothing.
TEST_P(ConfigNodeTest, FailedCopyLeavesTargetUnchanged) {
    CConfigNode* source = BuildSample();
    const std::string sourceText = Dump(source);
    bool completed = false;
    for (long failAt = 0; !completed; ++failAt) {
        CConfigNode* target = new CConfigNode();
        ASSERT_NE(target, nullptr);
        target->SetName("Target");
        target->AddChild()->SetValue("old");
        const std::string before = Dump(target);
        Host().FailAllocation(failAt + 1);
        completed = target->CopyFrom(source);
        Host().FailAllocation(0);
        EXPECT_EQ(Dump(target), completed ? sourceText : before) << failAt;
        delete target;
        ASSERT_LT(failAt, 1000);
    }
    delete source;
}

AI_ENGINE_TEST_SUITE(ConfigNodeTest);

} // namespace
