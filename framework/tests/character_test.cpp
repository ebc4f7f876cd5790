// Characters: profiles and their messages, the animation cache, the pose rule of the animator,
// aim poses and walk sectors, the command pool shared by characters, the motion body's jump and
// still frames, characters passing each other but not a crate, a bumper's throw, soldiers standing
// where the floor's triangles meet, and the character table.

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "framework/camera_manager.h"
#include "framework/character.h"
#include "framework/config_checks.h"
#include "framework/framework.h"
#include "framework/input_manager.h"
#include "framework/level_objects.h"
#include "framework/physics_glue.h"
#include "framework/projectiles.h"
#include "framework/tests/level_fixture.h"
#include "graphics/core/frame.h"
#include "graphics/core/testkit/memory_raster_driver.h"
#include "graphics/plugins/anim.h"
#include "graphics/plugins/anim_hierarchy.h"
#include "graphics/plugins/skin_d3d9.h"
#include "graphics/world/geometry.h"
#include "graphics/world/clump.h"
#include "physics/core/context/dynamics.h"
#include "physics/core/context/manager.h"
#include "physics/graphics/body_atomic.h"
#include "tools/mkasset/skeleton.h"

namespace {

constexpr int kBones = 36;

// Every node of an animation holds one pose throughout: a turn about y by angle + node x 0.01
// and a translation (shift, node, -shift).
OvAnimation* ConstantAnimation(float angle, float shift, int nodes = kBones) {
    OvAnimation* a = OvAnimationCreate(1, 2 * nodes, 0, 1.0f);
    for (int k = 0; k < 2 * nodes; ++k) {
        auto* key = static_cast<OvAnimKeyFrame*>(OvAnimationGetKey(a, static_cast<OvUInt32>(k)));
        const int node = k % nodes;
        const float half = 0.5f * (angle + 0.01f * static_cast<float>(node));
        key->prevFrame = k < nodes ? 0u : static_cast<OvUInt32>(node);
        key->time = k < nodes ? 0.0f : 1.0f;
        key->q = {0.0f, std::sin(half), 0.0f, std::cos(half)};
        key->t = {shift, static_cast<float>(node), -shift};
    }
    return a;
}

const char** Attributes(std::vector<const char*>& list) {
    list.push_back(nullptr);
    return list.data();
}

class CharacterTest : public LevelTest {
protected:
    // The characters' guns read the particle image: textures need rasters.
    const OvDriver* Driver() const override { return OvTestMemoryRasterDriver(); }
    void SetUp() override {
        LevelTest::SetUp();
        WriteGunAssets();
        WriteBytes("soldier.dff", mkasset::ClumpFile(mkasset::CharacterClump(kBones)));
        std::filesystem::create_directories(dir + "/Models");
        WriteBytes("Models/World.dff", mkasset::ClumpFile(BoxClumpAt(0, 0, 0)));
    }
    void TearDown() override {
        characters.clear();
        for (OvAnimation* a : animations) {
            OvAnimationDestroy(a);
        }
        CCharacterProfile::DestroyAll();
        CAnimationCache::Clear();
        DestroyAnimationCommandPool();
        LevelTest::TearDown();
    }
    // A file of a constant animation.
    std::string AnimationFile(const std::string& name, float angle, float shift) {
        OvAnimation* a = ConstantAnimation(angle, shift);
        EXPECT_NE(OvAnimationSave(a, name.c_str()), nullptr);
        OvAnimationDestroy(a);
        return name;
    }
    // A profile with every animation, each its own constant pose, in the profile table.
    CCharacterProfile* FullProfile(const char* name) {
        auto* p = new CCharacterProfile(name, 1.0f);
        p->clump = "soldier.dff";
        p->forwardWalk = 1.0f;
        p->forwardRun = 3.0f;
        p->inActions = 1;
        for (int i = 0; i < kProfileAnimationCount; ++i) {
            const std::string file = AnimationFile("a" + std::to_string(i) + ".anm", 0.02f * i, 0.1f * i);
            std::vector<const char*> attrs = {"name", CharacterAnimationName(i), "file", file.c_str()};
            EXPECT_TRUE(p->StartElement("Animation", Attributes(attrs)));
        }
        EXPECT_TRUE(CCharacterProfile::Add(p));
        return p;
    }
    // A level with physics (16 metres, unless one is loaded) and a character of the profile
    // standing on it.
    CCharacter* Spawn(const char* profile, const OvV3d& at = {0.0f, 0.5f, 0.0f}) {
        if (g_worldManager == nullptr) {
            LoadOpenLevel(16);
        }
        characters.push_back(std::make_unique<CCharacter>());
        CCharacter* c = characters.back().get();
        c->SetInputControlled(false);
        EXPECT_TRUE(c->InitFromProfile(profile, at));
        return c;
    }
    // A rotation's angle about y, from its quaternion.
    static float YAngle(const OvQuat& q) { return 2.0f * std::atan2(q.y, q.w); }

    std::vector<std::unique_ptr<CCharacter>> characters;
    std::vector<OvAnimation*> animations;
};

TEST_F(CharacterTest, ProfileSectionsAndTheirMessages) {
    CCharacterProfile p("Blue", 2.0f);
    auto start = [&p](const char* element, std::vector<const char*> attrs) {
        const char** list = Attributes(attrs);
        SetConfigPlace(element, 0, list); // the element's ranges are found by its name
        const bool read = p.StartElement(element, list);
        SetConfigPlace(nullptr, 0);
        return read;
    };
    EXPECT_FALSE(start("Geometry", {"clump", "soldier.dff", "heigth", "1.8"}));
    EXPECT_FALSE(start("Geometry", {"file", "x.dff"})); // refused without a message
    EXPECT_FALSE(start("Geometry", {"clump", "soldier.dff", "heigth", "0", "width", "0.5"}));
    EXPECT_FALSE(start("Geometry", {"clump", "soldier.dff", "heigth", "1.8", "width", "-1"}));
    EXPECT_FALSE(start("GlobalDynamics", {"slideIntensity", "1", "slideCreaseYComponent", "0.5", "accuracy", "3"}));
    EXPECT_FALSE(start("GlobalDynamics", {"slideIntensity", "1", "slideCreaseYComponent", "0.5", "accuracy", "3",
                                          "sphereRadius", "0.4", "sphereModel", "s.dff"}));
    EXPECT_TRUE(p.StartElement("Actions", nullptr));
    EXPECT_FALSE(start("Speeds", {"forwardRun", "3"}));
    EXPECT_FALSE(start("Speeds", {"forwardRun", "3", "forwardWalk", "1", "lateralWalk", "0"}));
    EXPECT_FALSE(start("Animation", {"name", "Walk"}));
    EXPECT_TRUE(start("Animation", {"name", "Dance", "file", "dance.anm"}));
    EXPECT_FALSE(start("Animation", {"name", "walk", "file", "nothing.anm"}));
    EXPECT_TRUE(p.EndElement("Actions"));
    EXPECT_TRUE(p.EndElement("Character")); // no "Animations" ended inside it
    EXPECT_EQ(
        Messages(),
        "'width' attribute not found in 'Geometry' section.\nPlease update your XML file\n"
        "'heigth' attribute not found in 'Geometry' section.\nPlease update your XML file\n"
        "Its value 0 is outside 0 (not included) to 1000000: a character has a height and a width.\n"
        "'width' attribute not found in 'Geometry' section.\nPlease update your XML file\n"
        "Its value -1 is outside 0 (not included) to 1000000: a character has a height and a width.\n"
        "'sphereRadius' attribute not found in 'GlobalDynamics'section.\nPlease update your XML file\n"
        "'gravity' attribute not found in 'GlobalDynamics' section.\nPlease update your XML file\n"
        "'forwardWalk' attribute not found in 'Speeds' section.\nPlease update your XML file\n"
        "'lateralWalk' attribute not found in 'Speeds' section.\nPlease update your XML file\n"
        "Its value 0 is outside 0 (not included) to 1000000: a character that does not move forward or sideways goes "
        "nowhere.\n"
        "Attribute missing in 'Animation' definition\nPlease update your XML file\n"
        "Can not load 'Walk' animation\nPlease check your data\nThe file 'nothing.anm' is not there.\n"
        "The character profile 'Blue' has no 'Animations' inside its 'Actions': it plays no animation.\n"
        "Please update your XML file\n");
    CCharacterProfile actionless("Red", 1.0f);
    EXPECT_TRUE(actionless.EndElement("Character"));
    EXPECT_EQ(Messages().substr(Messages().find("The character profile 'Red'")),
              "The character profile 'Red' has no 'Speeds' inside its 'Actions': it does not move.\n"
              "Please update your XML file\n"
              "The character profile 'Red' has no 'Animations' inside its 'Actions': it plays no animation.\n"
              "Please update your XML file\n");
    EXPECT_EQ(p.clump, "soldier.dff");
    EXPECT_FLOAT_EQ(p.height, 1.8f);
    EXPECT_EQ(p.accuracy, 3);
    EXPECT_EQ(p.sphereModel, "s.dff");
    EXPECT_FLOAT_EQ(p.forwardRun, 3.0f);
    EXPECT_EQ(p.Animation(kAnimWalk), nullptr);
}

TEST_F(CharacterTest, EndOfAnimationsReportsEveryMissingOneButRun) {
    CCharacterProfile p("Blue", 1.0f);
    p.inActions = 1;
    const std::string file = AnimationFile("walk.anm", 0.1f, 0.0f);
    std::vector<const char*> walk = {"name", "WALK", "file", file.c_str()};
    EXPECT_TRUE(p.StartElement("Animation", Attributes(walk)));
    EXPECT_NE(p.Animation(kAnimWalk), nullptr);
    EXPECT_TRUE(p.EndElement("Animations"));
    const std::string m = Messages();
    std::vector<std::string> names;
    for (std::size_t at = 0; (at = m.find('\'', at)) != std::string::npos;) {
        const std::size_t end = m.find('\'', at + 1);
        names.push_back(m.substr(at + 1, end - at - 1));
        at = end + 1;
    }
    ASSERT_EQ(names.size(), 35u); // 36 grouped animations, Walk present, Run never reported
    EXPECT_EQ(names[0], "WalkLeft");
    EXPECT_EQ(names[7], "WalkBackwardRight");
    EXPECT_EQ(names[8], "WalkAlert");
    EXPECT_EQ(names[11], "IdleAlert");
    EXPECT_EQ(names[17], "CrouchAimUpLeftAnimation");
    EXPECT_EQ(names[34], "IdleAimDownRightAnimation");
    EXPECT_EQ(m.find("'Run'"), std::string::npos);
    EXPECT_NE(m.find("'IdleAlert' animation definition not found in XML\nPlease update your XML file\n"),
              std::string::npos);
}

TEST_F(CharacterTest, AnimationCacheCountsReferencesAndNeverReusesSlots) {
    const std::string file = AnimationFile("idle.anm", 0.1f, 0.0f);
    CachedAnimation* first = CAnimationCache::Get("idle.anm");
    ASSERT_NE(first, nullptr);
    CachedAnimation* again = CAnimationCache::Get("IDLE.ANM");
    EXPECT_EQ(again, first);
    EXPECT_EQ(first->references, 2u);
    CAnimationCache::Release(again);
    EXPECT_EQ(first->references, 1u);
    CAnimationCache::Release(first);
    EXPECT_EQ(CAnimationCache::Count(), 1);
    EXPECT_EQ(CAnimationCache::Get("missing.anm"), nullptr);
    CachedAnimation* fresh = CAnimationCache::Get("idle.anm");
    ASSERT_NE(fresh, nullptr);
    EXPECT_EQ(fresh->references, 1u);
    EXPECT_EQ(CAnimationCache::Count(), 2); // a new slot at the end
    // Keys that move a bone a million either way are an animation's; beyond, the file is damaged.
    CachedAnimation* far = CAnimationCache::Get(AnimationFile("far.anm", 0.1f, 1.0e6f).c_str());
    ASSERT_NE(far, nullptr);
    CAnimationCache::Release(far);
    EXPECT_EQ(CAnimationCache::Get(AnimationFile("beyond.anm", 0.1f, 1.0e6f + 1.0f).c_str()), nullptr);
    EXPECT_EQ(CAnimationCache::Count(), 3);
    // Up to 128 slots are ever made; the next request is refused with the message.
    for (int i = CAnimationCache::Count(); i < kMaxCachedAnimations; ++i) {
        const std::string name = "c" + std::to_string(i) + ".anm";
        AnimationFile(name, 0.0f, 0.0f);
        ASSERT_NE(CAnimationCache::Get(name.c_str()), nullptr) << i;
    }
    EXPECT_TRUE(Messages().empty());
    EXPECT_EQ(CAnimationCache::Get("idle.anm"), nullptr);
    EXPECT_EQ(Messages(), "Too much animations ; please increase __ZUNAGE_ANIMATION_MAX_ANIMATIONS value\n");
}

TEST_F(CharacterTest, FindsTheHierarchyBelowTheRootAndBindsIt) {
    OvClump* clump = OvClumpCreate();
    OvFrame* root = OvFrameCreate();
    OvClumpSetFrame(clump, root);
    OvFrame* child = OvFrameCreate();
    OvFrame* grandchild = OvFrameCreate();
    OvFrameAddChild(root, child);
    OvFrameAddChild(child, grandchild);
    const OvInt32 ids[1] = {0};
    OvAnimHierarchy* onRoot = OvAnimHierarchyCreate(1, nullptr, ids, 0x2000, 36);
    OvAnimHierarchy* below = OvAnimHierarchyCreate(1, nullptr, ids, 0x4002, 36);
    OvFrameSetAnimHierarchy(root, onRoot);
    OvFrameSetAnimHierarchy(grandchild, below);
    CSkeletonBinding binding;
    ASSERT_TRUE(binding.FindHierarchy(clump));
    EXPECT_EQ(binding.Hierarchy(), below);
    // A hierarchy without a matrix array keeps saying so: its updates then write the frames only.
    EXPECT_EQ(below->flags, kFoundHierarchyFlags | ovANIMHIERARCHYNOMATRICES);
    below->flags = 0x4002;
    EXPECT_TRUE(binding.Bind(clump));
    EXPECT_EQ(below->flags & 0x3000u, 0x3000u);
    EXPECT_TRUE(OvAnimHierarchyUpdateMatrices(below));
    EXPECT_EQ(OvAnimHierarchyGetMatrixArray(below), nullptr);
    binding.Release();
    EXPECT_EQ(OvFrameGetAnimHierarchy(grandchild), below); // not owned: left to its frame
    OvClumpDestroy(clump);

    OvClump* bare = OvClumpCreate();
    OvClumpSetFrame(bare, OvFrameCreate());
    EXPECT_FALSE(binding.FindHierarchy(bare));
    OvClumpDestroy(bare);
}

// The pose of one, two and four entries equals the weighted sum of their keys (turns about one
// axis add their angles).
TEST_F(CharacterTest, PoseRuleMatchesTheWeightedSumOfKeys) {
    auto c = std::make_unique<CCharacter>();
    ASSERT_TRUE(c->LoadClump("soldier.dff"));
    const float angles[4] = {0.1f, 0.5f, -0.3f, 0.9f}, shifts[4] = {1.0f, -2.0f, 0.5f, 3.0f};
    for (int i = 0; i < 4; ++i) {
        animations.push_back(ConstantAnimation(angles[i], shifts[i]));
    }
    CAnimationCommandPool* pool = CAnimationCommandPool::Instance();
    ASSERT_NE(pool, nullptr);
    std::mt19937 random(11);
    std::uniform_real_distribution<float> unit(0.01f, 0.99f);
    for (int round = 0; round < 12; ++round) {
        const int entries = round % 3 == 0 ? 1 : (round % 3 == 1 ? 2 : 4);
        const float a = unit(random), b = unit(random);
        float w[4] = {1.0f, 0, 0, 0}, share[4] = {1.0f, 0, 0, 0};
        if (entries == 2) {
            w[0] = a;
            w[1] = 1 - a;
            share[0] = 1 - a; // the second entry takes the first weight's share
            share[1] = a;
        } else if (entries == 4) {
            const float ws[4] = {(1 - a) * b, a * b, a * (1 - b), (1 - a) * (1 - b)};
            const float ss[4] = {a * (1 - b), (1 - a) * (1 - b), (1 - a) * b, a * b};
            std::copy(ws, ws + 4, w);
            std::copy(ss, ss + 4, share);
        }
        CAnimationCommand* command = pool->Take();
        ASSERT_NE(command, nullptr);
        for (int k = 0; k < entries; ++k) {
            command->SetEntry(k, animations[k], w[k]);
        }
        ASSERT_TRUE(c->Start(command));
        c->CCharacterAnimator::Update(0.0f);
        // No cross-fade at weight 0 with a previous command: compare the current channel alone.
        c->CCharacterAnimator::Update(1.0f); // constant poses: time does not matter
        const OvAnimInterpolator* pose = c->Hierarchy()->currentAnim;
        for (int node = 0; node < kBones; node += 7) {
            const auto* key = static_cast<const OvAnimInterpFrame*>(OvAnimInterpolatorGetNodeKey(pose, node));
            float angle = 0.0f, shift = 0.0f;
            for (int k = 0; k < entries; ++k) {
                angle += share[k] * (angles[k] + 0.01f * static_cast<float>(node));
                shift += share[k] * shifts[k];
            }
            EXPECT_NEAR(YAngle(key->q), angle, 1e-4f) << "entries " << entries << " node " << node;
            EXPECT_NEAR(key->t.x, shift, 1e-4f);
            EXPECT_NEAR(key->t.y, static_cast<float>(node), 1e-4f);
        }
    }
    // A character holds at most two commands of the pool.
    EXPECT_EQ(pool->FreeCount(), kAnimationCommandPoolSize - 2);
}

// Skinned atomics are posed where they are drawn, by the skinned-atomic pipeline with the
// character's hierarchy: walking leaves their geometry in its bind pose (posing it there as well
// would pose it twice).
TEST_F(CharacterTest, WalkingLeavesTheSkinningToTheSkinPipeline) {
    FullProfile("Blue");
    CCharacter* c = Spawn("Blue", {0.0f, 0.45f, 0.0f});
    struct Seen {
        std::vector<OvAtomic*> atomics;
        std::vector<std::vector<OvV3d>> bind;
    } seen;
    OvClumpForAllAtomics(
        c->GetClump(),
        [](OvAtomic* atomic, void* data) {
            auto* s = static_cast<Seen*>(data);
            OvGeometry* g = atomic->geometry;
            if (g != nullptr && OvSkinGeometryGetSkin(g) != nullptr) {
                s->atomics.push_back(atomic);
                s->bind.emplace_back(g->morphTarget[0].verts, g->morphTarget[0].verts + g->numVertices);
            }
            return atomic;
        },
        &seen);
    ASSERT_FALSE(seen.atomics.empty());
    const OvMatrix before = c->Hierarchy()->pMatrixArray[kBones - 1];
    c->forward = 1.0f;
    for (int f = 0; f < 10; ++f) {
        c->Update(1.0f / 30.0f);
        g_worldManager->Update(1.0f / 30.0f);
    }
    const OvMatrix& after = c->Hierarchy()->pMatrixArray[kBones - 1];
    EXPECT_NE(std::memcmp(&before, &after, sizeof(OvMatrix)), 0) << "the walk does not pose the hierarchy";
    ASSERT_NE(OvSkinGetAtomicPipeline(), nullptr);
    for (std::size_t i = 0; i < seen.atomics.size(); ++i) {
        OvAtomic* atomic = seen.atomics[i];
        EXPECT_EQ(atomic->pipeline, OvSkinGetAtomicPipeline());
        EXPECT_EQ(OvSkinAtomicGetHierarchy(atomic), c->Hierarchy());
        const OvGeometry* g = atomic->geometry;
        EXPECT_EQ(std::memcmp(g->morphTarget[0].verts, seen.bind[i].data(), seen.bind[i].size() * sizeof(OvV3d)), 0);
    }
}

TEST_F(CharacterTest, AimAnglesConeAndQuadrants) {
    OvMatrix frame;
    OvMatrixSetIdentity(&frame); // right x, up y, at z
    float yaw = 1.0f, pitch = 1.0f;
    ASSERT_TRUE(CCharacter::AimAngles(frame, 1.0f, {0.0f, 1.0f, 10.0f}, &yaw, &pitch));
    EXPECT_NEAR(yaw, 0.0f, 1e-4f);
    EXPECT_NEAR(pitch, 0.0f, 1e-4f);
    // Straight ahead: MiddleFront carries 0.99 x 0.99 of the pose by the four-entry rule.
    const CCharacter::AimBlend ahead = CCharacter::AimBlendFor(yaw, pitch);
    const float t1 = ahead.weights[0] / (ahead.weights[0] + ahead.weights[1]);
    EXPECT_EQ(ahead.poses[1], kAimMiddleFront);
    EXPECT_NEAR(t1 * (1.0f - (ahead.weights[0] + ahead.weights[1])), 0.9801f, 1e-5f);
    // The cone: 43.5 degrees off the forward axis is in, 44.5 is out.
    for (const float degrees : {43.5f, 44.5f}) {
        const float r = degrees / 57.29578f;
        const bool in = CCharacter::AimAngles(frame, 0.0f, {std::sin(r), 0.0f, std::cos(r)}, &yaw, &pitch);
        EXPECT_EQ(in, degrees < 44.0f) << degrees;
    }
    EXPECT_FALSE(CCharacter::AimAngles(frame, 0.0f, {0.0f, 0.0f, -5.0f}, &yaw, &pitch));
    // A point to the right of the forward axis (along +x) gives Y < 0; one above gives pitch > 0.
    ASSERT_TRUE(CCharacter::AimAngles(frame, 0.0f, {3.0f, 2.0f, 10.0f}, &yaw, &pitch));
    EXPECT_LT(yaw, 0.0f);
    EXPECT_GT(pitch, 0.0f);
    EXPECT_NEAR(yaw, -std::atan2(3.0f, 10.0f) * 57.29578f, 0.01f);

    // Each quadrant's entries, and shares (through the rule) of MiddleFront (1-a)(1-b), the middle
    // side a(1-b), the upper or lower front (1-a)b and the upper or lower side ab.
    struct Case {
        float y, p;
        int side, vertical, corner;
    } cases[] = {{18, 27, kAimMiddleRight, kAimUpFront, kAimUpRight},
                 {18, -27, kAimMiddleRight, kAimDownFront, kAimDownRight},
                 {-18, 27, kAimMiddleLeft, kAimUpFront, kAimUpLeft},
                 {-18, -27, kAimMiddleLeft, kAimDownFront, kAimDownLeft}};
    for (const Case& k : cases) {
        const CCharacter::AimBlend b = CCharacter::AimBlendFor(k.y, k.p);
        const float a = 0.4f, bb = 0.6f;
        const float s1 = b.weights[0] / (b.weights[0] + b.weights[1]);
        const float s2 = b.weights[2] / (b.weights[2] + b.weights[3]);
        const float top = b.weights[0] + b.weights[1];
        float shares[kAimDownRight + 1] = {};
        shares[b.poses[0]] += (1 - s1) * (1 - top);
        shares[b.poses[1]] += s1 * (1 - top);
        shares[b.poses[2]] += (1 - s2) * top;
        shares[b.poses[3]] += s2 * top;
        EXPECT_NEAR(shares[kAimMiddleFront], (1 - a) * (1 - bb), 1e-5f) << k.y << " " << k.p;
        EXPECT_NEAR(shares[k.side], a * (1 - bb), 1e-5f);
        EXPECT_NEAR(shares[k.vertical], (1 - a) * bb, 1e-5f);
        EXPECT_NEAR(shares[k.corner], a * bb, 1e-5f);
    }
}

// A character of the game aiming: the four-entry pose from the aim point, re-chosen only once
// more than 0.25 s have passed; outside the front cone the single MiddleFront pose.
TEST_F(CharacterTest, AiAimPoseIsRechosenEveryQuarterSecond) {
    CCharacterProfile* profile = FullProfile("Blue");
    CCharacter* c = Spawn("Blue");
    ASSERT_NE(c->GetProjectileTable(), nullptr);
    c->Update(0.02f);
    const OvV3d p = c->GetPosition();
    const OvMatrix* m = OvFrameGetMatrix(c->GetFrame());
    const float n = std::sqrt(m->at.x * m->at.x + m->at.z * m->at.z);
    const OvV3d ahead = {p.x + 5.0f * m->at.x / n, p.y + 1.0f, p.z + 5.0f * m->at.z / n};
    c->movementState = kMoveStandAim;
    c->SetAimPoint(ahead);
    const CAnimationCommand* before = c->CurrentCommand();
    c->Update(0.2f);
    EXPECT_EQ(c->CurrentCommand(), before); // 0.2 s: not yet
    c->Update(0.1f);
    const CAnimationCommand* first = c->CurrentCommand();
    ASSERT_NE(first, before);
    ASSERT_EQ(first->count, 4);
    EXPECT_EQ(first->entries[1].animation, profile->Animation(kAnimIdleAimUpLeft + int{kAimMiddleFront}));
    EXPECT_STREQ(c->CurrentAnimationName(), "AimPose");
    c->Update(0.2f);
    EXPECT_EQ(c->CurrentCommand(), first);
    c->Update(0.1f);
    EXPECT_NE(c->CurrentCommand(), first); // a new command even for the same animations
    EXPECT_EQ(c->CurrentCommand()->entries[1].animation, first->entries[1].animation);
    // Behind him: the single standing MiddleFront pose, crouched in state 3.
    c->SetAimPoint({2.0f * p.x - ahead.x, ahead.y, 2.0f * p.z - ahead.z});
    c->Update(0.2f);
    EXPECT_STREQ(c->CurrentAnimationName(), "IdleAimMiddleFront");
    c->movementState = kMoveCrouchAim;
    c->Update(0.2f);
    EXPECT_STREQ(c->CurrentAnimationName(), "CrouchAimMiddleFront");
    EXPECT_EQ(CAnimationCommandPool::Instance()->FreeCount(), kAnimationCommandPoolSize - 2);
}

TEST_F(CharacterTest, WalkSectorsAtTheirBoundaries) {
    struct Case {
        float angle; // radians of (sideways, forward) from +sideways
        int animation;
    } cases[] = {{0.39f, kAnimStrafeRight},    {0.40f, kAnimForwardLeft},    {1.17f, kAnimForwardLeft},
                 {1.19f, kAnimWalk},           {1.96f, kAnimWalk},           {1.97f, kAnimForwardRight},
                 {2.74f, kAnimForwardRight},   {2.76f, kAnimStrafeLeft},     {-2.76f, kAnimStrafeLeft},
                 {-2.74f, kAnimBackwardRight}, {-1.97f, kAnimBackwardRight}, {-1.96f, kAnimBackward},
                 {-1.19f, kAnimBackward},      {-1.17f, kAnimBackwardLeft},  {-0.40f, kAnimBackwardLeft},
                 {-0.39f, kAnimStrafeRight},   {0.0f, kAnimStrafeRight},     {3.14159f, kAnimStrafeLeft}};
    for (const Case& k : cases) {
        const float s = std::cos(k.angle), f = std::sin(k.angle);
        const CCharacter::WalkSector walk = CCharacter::WalkSectorFor(s, f, kMoveWalk);
        EXPECT_EQ(walk.animation, k.animation) << k.angle;
        EXPECT_EQ(CCharacter::WalkSectorFor(s, f, kMoveAlert).animation, k.animation + kAnimAlertWalk - kAnimWalk);
        const bool strafe = k.animation == kAnimStrafeLeft || k.animation == kAnimStrafeRight;
        EXPECT_EQ(walk.strafe, strafe);
        EXPECT_EQ(walk.useForward, !strafe);
        EXPECT_EQ(walk.useSideways, k.animation != kAnimWalk);
    }
}

TEST_F(CharacterTest, CommandPoolExhaustionAndReleaseWhileOthersAnimate) {
    FullProfile("Blue");
    CCharacter* first = Spawn("Blue", {-2.0f, 0.5f, 0.0f});
    CCharacter* second = Spawn("Blue", {2.0f, 0.5f, 0.0f});
    for (int f = 0; f < 10; ++f) {
        first->forward = second->forward = f < 5 ? 1.0f : 0.0f;
        first->Update(1.0f / 60.0f);
        second->Update(1.0f / 60.0f);
    }
    EXPECT_STREQ(second->CurrentAnimationName(), "Idle");
    // The first character goes while the second keeps switching and animating.
    first->Release();
    characters.erase(characters.begin());
    for (int f = 0; f < 30; ++f) {
        second->forward = (f / 10) % 2 == 0 ? 1.0f : 0.0f;
        second->Update(1.0f / 30.0f);
    }
    EXPECT_STREQ(second->CurrentAnimationName(), "Walk");
    CAnimationCommandPool* pool = CAnimationCommandPool::Instance();
    EXPECT_EQ(pool->FreeCount(), kAnimationCommandPoolSize - 2);
    // Empty the pool: the next switch shows the message and keeps the current animation.
    std::vector<CAnimationCommand*> taken;
    while (CAnimationCommand* c = pool->Take()) {
        taken.push_back(c);
    }
    EXPECT_EQ(taken.size(), static_cast<std::size_t>(kAnimationCommandPoolSize - 2));
    second->forward = 0.0f;
    second->Update(0.2f);
    EXPECT_EQ(Messages(), "No more animation command in animation command pool\n increase MAX_ANIMATION_COMMANDS to "
                          "\n(max characters in game) * 3\n");
    EXPECT_STREQ(second->CurrentAnimationName(), "Walk");
    // A profile without its Run: the box names the line of the 'Animations' that should hold it.
    for (CAnimationCommand* c : taken) {
        pool->GiveBack(c);
    }
    CCharacterProfile* blue = CCharacterProfile::Find("Blue");
    SetConfigFileName("config.xml");
    SetConfigPlace("Animations", 52);
    blue->StartElement("Animations", nullptr);
    SetConfigPlace(nullptr, 0);
    SetConfigFileName(nullptr);
    CAnimationCache::Release(blue->animations[kAnimRun]);
    blue->animations[kAnimRun] = nullptr;
    second->movementState = kMoveRun;
    second->forward = 1.0f;
    second->Update(0.2f);
    EXPECT_NE(Messages().find("'Blue' has no 'Run' animation: its 'Animations' (config.xml line 52) names none."),
              std::string::npos);
}

TEST_F(CharacterTest, MotionBodyStillFrameAndJumpPhases) {
    FullProfile("Blue");
    CCharacter* c = Spawn("Blue", {0.0f, 0.45f, 0.0f});
    OvpObj* body = c->Body();
    ASSERT_NE(body, nullptr);
    const float dt = 1.0f / 50.0f;
    auto velocity = [&]() {
        const float* v = body->manager->bodies->velocities[body->parts[0].dyn->body];
        return OvV3d{v[0], v[1], v[2]};
    };
    // Walk, then stand: the first still frame sets the velocity to zero.
    c->forward = 1.0f;
    for (int f = 0; f < 20; ++f) {
        c->Update(dt);
        g_worldManager->Update(dt);
    }
    EXPECT_GT(c->Speed(), 0.0f);
    c->forward = 0.0f;
    c->Update(dt);
    ASSERT_NE(body->parts[0].dyn, nullptr);
    EXPECT_EQ(velocity().x, 0.0f);
    EXPECT_EQ(velocity().z, 0.0f);
    EXPECT_EQ(c->Speed(), 0.0f);
    for (int f = 0; f < 30; ++f) {
        g_worldManager->Update(dt);
        c->Update(dt);
    }
    ASSERT_TRUE(c->OnGround());
    // A jump: pushed up at 6.0 for the first 0.1 s, in the air for 0.2 s more, then down.
    c->jumpRequest = 1;
    float time = 0.0f;
    int pushes = 0;
    while (c->JumpState() != CharacterMotionBody::kOnGround || time == 0.0f) {
        c->Update(dt);
        time += dt;
        if (c->JumpState() == CharacterMotionBody::kTakingOff ||
            (c->JumpState() == CharacterMotionBody::kInAir && pushes < 6 && time <= 0.1f + dt)) {
            EXPECT_FLOAT_EQ(velocity().y, 6.0f);
            ++pushes;
        }
        g_worldManager->Update(dt);
        ASSERT_LT(time, 5.0f);
    }
    EXPECT_EQ(pushes, 6); // frames until the timer passed 0.1 s
    EXPECT_GE(time, 0.3f);
}

// A lift that carries whatever stands on its clump object at a fixed velocity.
class CarryingLift : public CLevelObject {
public:
    explicit CarryingLift(const CClumpObject* platform) : platform_(platform) {}
    void Update(float) override {}
    bool CarryVelocity(const CClumpObject* standingOn, OvV3d* velocity) const override {
        if (standingOn != platform_) {
            return false;
        }
        *velocity = {1.5f, 0.0f, -0.5f};
        return true;
    }

private:
    const CClumpObject* platform_;
};

TEST_F(CharacterTest, StandingOnALiftTakesItsVelocity) {
    FullProfile("Blue");
    CCharacter* c = Spawn("Blue", {3.0f, 0.3f, 3.0f});
    // The platform's top is 0.1 below the feet; the lift answers for it alone.
    WriteBytes("platform.dff", mkasset::ClumpFile(BoxClumpAt(3.0f, -0.3f, 3.0f)));
    CClumpObject platform;
    ASSERT_TRUE(platform.LoadClump("platform.dff"));
    platform.SetPickable(true);
    g_worldManager->AddObject(&platform);
    OvpObj* body = c->Body();
    auto velocityX = [&]() { return body->manager->bodies->velocities[body->parts[0].dyn->body][0]; };
    c->Update(0.02f);
    EXPECT_FLOAT_EQ(velocityX(), 0.0f); // no lift yet: a still character stays still
    ASSERT_EQ(g_worldManager->AddLift(new CarryingLift(&platform)), 1);
    c->SetPosition({3.0f, 0.3f, 3.0f});
    c->Update(0.02f);
    EXPECT_FLOAT_EQ(velocityX(), 1.5f);
    EXPECT_FLOAT_EQ(body->manager->bodies->velocities[body->parts[0].dyn->body][2], -0.5f);
    // Away from the platform the lift carries nothing.
    c->SetPosition({-3.0f, 0.3f, -3.0f});
    c->Update(0.02f);
    c->Update(0.02f);
    EXPECT_FLOAT_EQ(velocityX(), 0.0f);
    g_worldManager->RemoveObject(&platform);
}

// Two characters walking into each other pass through each other: the physics drops the pair of
// their bodies. A character walking into a crate does not pass it.
TEST_F(CharacterTest, CharactersPassEachOtherButNotACrate) {
    FullProfile("Blue");
    CCharacter* a = Spawn("Blue", {0.0f, 0.45f, -3.0f});
    CCharacter* b = Spawn("Blue", {0.0f, 0.45f, 3.0f});
    const OvV3d up = {0.0f, 1.0f, 0.0f};
    OvFrameRotate(b->GetFrame(), &up, 180.0f, ovCOMBINEPRECONCAT); // facing a
    a->forward = b->forward = 1.0f;
    const float dt = 1.0f / 50.0f;
    for (int f = 0; f < 200; ++f) {
        a->Update(dt);
        b->Update(dt);
        g_worldManager->Update(dt);
    }
    EXPECT_GT(a->GetPosition().z, 3.0f);
    EXPECT_LT(b->GetPosition().z, -3.0f);
    EXPECT_NEAR(a->GetPosition().x, 0.0f, 1e-3f);

    // A crate of a metre in the way of the first, who now walks back along -z.
    WriteBytes("crate.dff", mkasset::ClumpFile(BoxClumpAt(0, 0, 0)));
    CClumpObject crate;
    ASSERT_TRUE(crate.LoadClump("crate.dff"));
    crate.SetPosition({0.0f, 0.5f, 0.0f});
    OvpBodyDef* def = PhysicsCreateStaticBox(0.5f, 0.5f, 0.5f, 0.0f);
    OvpObj* body = OvpBodyObjCreate(def);
    ASSERT_NE(OvpAtomicSetBodyObj(crate.GetFirstAtomic(), body), nullptr);
    ASSERT_NE(OvpMgrAddObject(OvpContextGetMgr(g_worldManager->GetPhysicsContext()), body, -1,
                              ovpADD_AWAKE | ovpADD_DYNAMIC | ovpADD_ACTIVATE),
              nullptr);
    b->forward = 0.0f;
    OvFrameRotate(a->GetFrame(), &up, 180.0f, ovCOMBINEPRECONCAT);
    for (int f = 0; f < 200; ++f) {
        a->Update(dt);
        b->Update(dt);
        g_worldManager->Update(dt);
    }
    const OvV3d c = OvFrameGetMatrix(crate.GetFrame())->pos;
    EXPECT_GT(a->GetPosition().z, c.z + 0.5f); // still on its side of the crate
    OvpAtomicSetBodyObj(crate.GetFirstAtomic(), nullptr);
    OvpBodyObjDestroy(body);
    OvpBodyDefRelease(def);
}

// A bumper of the level throws a character that comes near it: off the ground, along a ballistic
// path (gravity alone once out of the bumper's reach), and down on the floor again.
TEST_F(CharacterTest, ABumperThrowsACharacterThatLandsAgain) {
    FullProfile("Blue");
    LoadOpenLevel(40);
    CCharacter* c = Spawn("Blue", {12.0f, 0.45f, 0.0f});
    OvpObj* body = c->Body();
    auto* bumper = new CBumper;
    const char* attributes[] = {"p1x", "12", "p1y", "0", "p1z", "0", "p2x", "12", "p2y", "0", "p2z", "0", nullptr};
    ASSERT_TRUE(bumper->StartElement("Bumper", attributes));
    ASSERT_EQ(g_worldManager->AddBumper(bumper), 1);
    const float dt = 1.0f / 50.0f;
    auto velocity = [&]() {
        const float* v = body->manager->bodies->velocities[body->parts[0].dyn->body];
        return OvV3d{v[0], v[1], v[2]};
    };
    float top = 0.0f;
    int ballistic = 0;
    int landed = -1;
    OvV3d before = {};
    bool wasFree = false;
    for (int f = 0; f < 200 && landed < 0; ++f) {
        c->Update(dt);
        g_worldManager->Update(dt);
        const OvV3d p = c->GetPosition();
        const OvV3d v = velocity();
        top = std::max(top, p.y);
        // Out of the bumper's reach and in the air: the horizontal speed stays, the vertical one
        // falls by gravity's share of each step.
        const float dx = p.x - 12.0f, dy = p.y - 0.0f;
        const bool free = c->JumpState() == CharacterMotionBody::kInAir && dx * dx + dy * dy > 9.0f;
        if (free && wasFree) {
            EXPECT_NEAR(v.x, before.x, 0.01f) << f;
            EXPECT_NEAR(v.y - before.y, -10.0f * dt, 0.01f) << f;
            ++ballistic;
        }
        wasFree = free;
        before = v;
        if (f > 10 && c->JumpState() == CharacterMotionBody::kOnGround) {
            landed = f;
        }
    }
    EXPECT_GT(top, 5.0f); // 12 up gives 7.2 at the top
    EXPECT_GT(ballistic, 60);
    ASSERT_GT(landed, 0);
    EXPECT_TRUE(c->OnGround());
    EXPECT_NEAR(c->GetPosition().y, 0.0f, 0.1f);
    EXPECT_LT(c->GetPosition().x, 0.0f); // thrown along -x
}

// Soldiers placed where the floor's tiles meet: on the diagonal two triangles share (the tile
// centres, where the game's bots once sank through the floor) and on the tiles' corners. Each
// lands on the floor and stands there.
TEST_F(CharacterTest, SoldiersStandOnTheFloorsSharedEdgesAndCorners) {
    FullProfile("Red");
    LoadOpenLevel(36);
    const float spots[][2] = {{12.5f, -15.5f}, {-12.5f, -15.5f}, {17.5f, -15.5f}, {17.5f, -10.5f},
                              {0.5f, 0.5f},    {3.5f, 3.5f},     {12.0f, -15.0f}, {-5.0f, 7.0f}};
    std::vector<CCharacter*> soldiers;
    for (const auto& s : spots) {
        soldiers.push_back(Spawn("Red", {s[0], 0.45f, s[1]}));
    }
    const float dt = 1.0f / 60.0f;
    for (int f = 0; f < 60; ++f) {
        for (CCharacter* c : soldiers) {
            c->Update(dt);
        }
        g_worldManager->Update(dt);
    }
    for (CCharacter* c : soldiers) {
        const OvV3d p = c->GetPosition();
        EXPECT_TRUE(c->OnGround()) << p.x << ", " << p.z;
        EXPECT_NEAR(p.y, 0.0f, 0.02f) << p.x << ", " << p.z;
    }
}

TEST_F(CharacterTest, ProfileTableHolds32FoundByNameInAnyCase) {
    for (int i = 0; i < kMaxCharacterProfiles; ++i) {
        EXPECT_TRUE(CCharacterProfile::Add(new CCharacterProfile(("Soldier" + std::to_string(i)).c_str(), 1.0f)));
    }
    CCharacterProfile extra("Late", 1.0f);
    EXPECT_FALSE(CCharacterProfile::Add(&extra));
    EXPECT_EQ(Messages(), "Too much character profiles.\nPlease increase MAX_CHARACTER_PROFILES value\n");
    EXPECT_EQ(CCharacterProfile::Find("soldier7"), CCharacterProfile::Get(7));
    EXPECT_EQ(CCharacterProfile::Find("Late"), nullptr);
}

TEST_F(CharacterTest, CharacterTableHolds292AndRefusesMore) {
    std::vector<std::unique_ptr<CCharacter>> many;
    for (int i = 0; i < kMaxCharacters; ++i) {
        many.push_back(std::make_unique<CCharacter>());
    }
    EXPECT_EQ(CCharacter::Count(), kMaxCharacters);
    EXPECT_TRUE(Messages().empty());
    auto extra = std::make_unique<CCharacter>();
    EXPECT_EQ(CCharacter::Count(), kMaxCharacters);
    EXPECT_EQ(Messages(), "Too much characters.\nPlease increase MAX_CHARACTERS value\n");
    // Leaving keeps the order of the others.
    CCharacter* third = many[2].get();
    many.erase(many.begin() + 1);
    EXPECT_EQ(CCharacter::Get(1), third);
    extra.reset();
    many.clear();
    EXPECT_EQ(CCharacter::Count(), 0);
}

// A character with what it lives among: the level's physics (its body and a rock it threw), the
// camera following it, its profile, the animation cache and the command pool. Whatever goes, in
// every order, whoever still held it lets it go: a frame of what is left runs, and the rest is
// taken down.
TEST_F(CharacterTest, WhatGoesInAnyOrderIsLetGoByItsHolders) {
    CCameraManager cameras(1.0f);
    cameras.CreateCamera(640, 480, true); // without its crosshair image
    ASSERT_NE(cameras.Camera(), nullptr);
    cameras.SetMode(kCameraFollow);
    g_cameraManager = &cameras;
    enum Part { kWorld, kCharacter, kProfile, kCache, kPool, kParts };
    int order[kParts] = {kWorld, kCharacter, kProfile, kCache, kPool};
    FullProfile("Blue");
    do {
        // The profile again from the animation files written for the first.
        if (CCharacterProfile::Find("Blue") == nullptr) {
            auto* p = new CCharacterProfile("Blue", 1.0f);
            p->clump = "soldier.dff";
            p->inActions = 1;
            for (int i = 0; i < kProfileAnimationCount; ++i) {
                const std::string file = "a" + std::to_string(i) + ".anm";
                std::vector<const char*> attrs = {"name", CharacterAnimationName(i), "file", file.c_str()};
                p->StartElement("Animation", Attributes(attrs));
            }
            CCharacterProfile::Add(p);
        }
        if (g_worldManager == nullptr) {
            LoadOpenLevel(4);
        }
        CCharacter* c = Spawn("Blue");
        ASSERT_TRUE(ThrowRock(c, {0.0f, 1.0f, 1.0f}));
        cameras.Follow(c);
        for (int part : order) {
            switch (part) {
            case kWorld:
                delete g_worldManager;
                break;
            case kCharacter:
                characters.clear();
                c = nullptr;
                EXPECT_EQ(cameras.Subject(), nullptr);
                break;
            case kProfile:
                delete CCharacterProfile::Find("Blue");
                EXPECT_EQ(CCharacterProfile::Find("Blue"), nullptr);
                break;
            case kCache:
                CAnimationCache::Clear();
                break;
            default:
                DestroyAnimationCommandPool();
                break;
            }
            if (c != nullptr) {
                c->forward = 1.0f;
                c->Update(0.2f);
            }
            cameras.Update(0.2f);
            if (g_worldManager != nullptr) {
                g_worldManager->Update(0.2f);
            }
        }
        ReleaseRocks();
    } while (std::next_permutation(order, order + kParts));
    g_cameraManager = nullptr;
    CInputManager::Destroy();
}

TEST_F(CharacterTest, HitsDeathAndUnknownProfile) {
    CCharacter player;
    player.Hit();
    EXPECT_FLOAT_EQ(player.GetHealth(), 98.5f);
    player.SetInputControlled(false);
    player.SetHealth(3.0f);
    player.Hit();
    EXPECT_FLOAT_EQ(player.GetHealth(), 0.0f);
    EXPECT_FALSE(player.InitFromProfile("Nobody", {0, 0, 0}));
    EXPECT_EQ(Messages(), "Can not find character profile definition 'Nobody'\nplease check the 'Characters' "
                          "section in your XML file\n" +
                              std::string(LastConfigFileName()) + " has no 'Character' section named 'Nobody'.\n");

    FullProfile("Red");
    CCharacter* c = Spawn("Red");
    c->SetHealth(0.0f);
    const float before = OvFrameGetMatrix(c->GetFrame())->up.y;
    c->Update(0.1f); // 20 units of progress: shrunk by 0.98^20
    EXPECT_TRUE(c->IsDying());
    EXPECT_NEAR(OvFrameGetMatrix(c->GetFrame())->up.y, before * std::pow(0.98f, 20.0f), before * 1e-4f);
    c->forward = 1.0f;
    c->SetFiring();
    for (int f = 0; f < 5; ++f) {
        c->Update(0.1f);
    }
    EXPECT_TRUE(c->IsDead());
    EXPECT_EQ(c->forward, 0.0f);
    EXPECT_FALSE(c->IsFiring());
}

} // namespace
