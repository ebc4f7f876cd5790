// The scene's characters read through the engine: the soldier's hierarchy has the bones the
// framework looks up, every animation the profiles list loads and poses that hierarchy as its
// name says, the profiles name files that exist, and the scene is the same bytes every run.

#include <gtest/gtest.h>
#include <png.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <string>
#include <vector>

#include "graphics/core/chunk.h"
#include "graphics/core/error.h"
#include "graphics/core/stream.h"
#include "graphics/core/testkit/engine_fixture.h"
#include "graphics/plugins/anim_hierarchy.h"
#include "graphics/plugins/skin.h"
#include "graphics/world/clump.h"
#include "graphics/world/geometry.h"
#include "graphics/world/world_plugin.h"
#include "testing/scratch_dir.h"
#include "testing/tool_run.h"
#include "tools/engine_error/hierarchy_frame.h"
#include "tools/mkasset/soldier.h"

namespace {

std::string Slurp(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void RegisterCharacterPlugins() {
    OvWorldPluginAttach();
    OvAnimPluginAttach();
    OvAnimHierarchyPluginAttach();
    OvSkinPluginAttach();
}

OvClump* ReadClump(const std::string& path) {
    OvClump* clump = nullptr;
    if (OvStream* s = OvStreamOpen(ovSTREAMFILENAME, ovSTREAMREAD, path.c_str())) {
        if (OvStreamFindChunk(s, ovCHUNKIDCLUMP, nullptr, nullptr)) {
            clump = OvClumpStreamRead(s);
        }
        OvStreamClose(s, nullptr);
    }
    return clump;
}

OvAtomic* CountAtomic(OvAtomic* atomic, void* data) {
    ++*static_cast<int*>(data);
    return atomic;
}

class SoldierSceneTest : public ::testing::Test {
protected:
    std::filesystem::path dir;
    void SetUp() override {
        dir = MakeTestScratchDir("dun_soldier");
        const ToolRun run = RunTool(MKASSET_PROGRAM, "scene --out " + (dir / "a").string());
        ASSERT_EQ(run.status, 0) << run.output;
    }
    void TearDown() override { std::filesystem::remove_all(dir); }
};

TEST_F(SoldierSceneTest, SameBytesEveryRun) {
    const ToolRun run = RunTool(MKASSET_PROGRAM, "scene --out " + (dir / "b").string());
    ASSERT_EQ(run.status, 0) << run.output;
    int files = 0;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(dir / "a")) {
        if (entry.is_regular_file()) {
            const std::filesystem::path twin = dir / "b" / std::filesystem::relative(entry.path(), dir / "a");
            EXPECT_EQ(Slurp(entry.path()), Slurp(twin)) << entry.path();
            ++files;
        }
    }
    EXPECT_GE(files, 37 + 6);
}

TEST_F(SoldierSceneTest, ProfilesNameEveryAnimationOfFilesThatExist) {
    const std::string config = Slurp(dir / "a" / "config.xml");
    for (const char* profile : {"BlueSoldier", "RedSoldier"}) {
        const std::size_t at = config.find(std::string("<Character name=\"") + profile + "\">");
        ASSERT_NE(at, std::string::npos) << profile;
        const std::size_t end = config.find("</Character>", at);
        const std::string section = config.substr(at, end - at);
        const std::size_t clump = section.find("clump=\"") + 7;
        EXPECT_TRUE(
            std::filesystem::is_regular_file(dir / "a" / section.substr(clump, section.find('"', clump) - clump)));
        for (const char* name : kProfileAnimationNames) {
            const std::string element = std::string("<Animation name=\"") + name + "\" file=\"";
            const std::size_t a = section.find(element);
            ASSERT_NE(a, std::string::npos) << profile << " " << name;
            const std::size_t file = a + element.size();
            EXPECT_TRUE(
                std::filesystem::is_regular_file(dir / "a" / section.substr(file, section.find('"', file) - file)))
                << name;
        }
    }
    // The particle image is a soft dot: opaque in the middle, clear at the corners.
    png_image image{};
    image.version = PNG_IMAGE_VERSION;
    ASSERT_TRUE(png_image_begin_read_from_file(&image, (dir / "a" / "models/textures/particle.png").c_str()));
    image.format = PNG_FORMAT_RGBA;
    std::string pixels(PNG_IMAGE_SIZE(image), '\0');
    ASSERT_TRUE(png_image_finish_read(&image, nullptr, pixels.data(), 0, nullptr));
    const auto alpha = [&](unsigned x, unsigned y) {
        return static_cast<unsigned char>(pixels[(y * image.width + x) * 4 + 3]);
    };
    EXPECT_GT(alpha(image.width / 2, image.height / 2), 200);
    EXPECT_EQ(alpha(0, 0), 0);
}

TEST_F(SoldierSceneTest, SoldierBonesAndEveryAnimationPoseTheHierarchy) {
    ASSERT_TRUE(OvTestEngineUp(0, RegisterCharacterPlugins));
    const std::filesystem::path models = dir / "a" / "models";
    for (const char* model : {"fire.dff", "revolution/rock.dff", "world.dff"}) {
        OvClump* clump = ReadClump((models / model).string());
        ASSERT_NE(clump, nullptr) << model;
        int atomics = 0;
        OvClumpForAllAtomics(clump, CountAtomic, &atomics);
        EXPECT_EQ(atomics, 1) << model;
        OvClumpDestroy(clump);
    }

    OvClump* clump = ReadClump((models / "soldier_red.dff").string());
    ASSERT_NE(clump, nullptr);
    OvFrame* holder = FindHierarchyFrame(OvClumpGetFrame(clump));
    ASSERT_NE(holder, nullptr);
    OvAnimHierarchy* h = OvFrameGetAnimHierarchy(holder);
    ASSERT_EQ(h->numNodes, mkasset::SoldierBoneCount());
    ASSERT_GE(h->numNodes, 36);
    EXPECT_EQ(mkasset::SoldierNode("head"), mkasset::kSoldierHeadNode);
    EXPECT_EQ(mkasset::SoldierNode("r_hand"), mkasset::kSoldierHandNode);
    for (int i = 0; i < h->numNodes; ++i) {
        EXPECT_EQ(h->pNodeInfo[i].nodeID, i + 1);
    }
    OvAnimHierarchyAttach(h);
    OvAtomic* atomic = nullptr;
    OvClumpForAllAtomics(
        clump,
        [](OvAtomic* a, void* data) {
            *static_cast<OvAtomic**>(data) = a;
            return a;
        },
        &atomic);
    ASSERT_NE(atomic, nullptr);
    const OvSkin* skin = OvSkinGeometryGetSkin(OvAtomicGetGeometry(atomic));
    ASSERT_NE(skin, nullptr);
    EXPECT_EQ(skin->maxNumWeightsPerVertex, 2u);

    // Each pose read at mid cycle: where the hand's at axis (the rifle) points, and how high the
    // pelvis is.
    struct Pose {
        OvV3d at;
        float pelvis;
        float muzzleAhead; // muzzle minus hand along the hand's at axis
    };
    std::map<std::string, Pose> poses;
    std::vector<OvAnimation*> loaded;
    for (const char* name : kProfileAnimationNames) {
        const std::string file = (models / "anims" / mkasset::ProfileAnimationFile(name)).string();
        OvAnimation* animation = OvAnimationLoad(file.c_str());
        ASSERT_NE(animation, nullptr) << name;
        ASSERT_TRUE(OvAnimHierarchySetCurrentAnim(h, animation)) << name;
        OvAnimInterpolatorAddAnimTime(h->currentAnim, 0.5f * animation->duration);
        ASSERT_TRUE(OvAnimHierarchyUpdateMatrices(h)) << name;
        const OvMatrix& hand = h->pMatrixArray[mkasset::kSoldierHandNode];
        const OvMatrix& muzzle = h->pMatrixArray[mkasset::SoldierNode("muzzle")];
        const OvV3d d = {muzzle.pos.x - hand.pos.x, muzzle.pos.y - hand.pos.y, muzzle.pos.z - hand.pos.z};
        poses[name] = {hand.at, h->pMatrixArray[0].pos.y / mkasset::kSoldierUnit,
                       (d.x * hand.at.x + d.y * hand.at.y + d.z * hand.at.z) / mkasset::kSoldierUnit};
        loaded.push_back(animation);
    }
    for (const auto& [name, pose] : poses) {
        EXPECT_NEAR(pose.muzzleAhead, mkasset::kSoldierMuzzle[2], 1e-4) << name;
        const bool aim = name.find("Aim") != std::string::npos;
        if (!aim) {
            continue;
        }
        // Up and down raise and lower the rifle; left turns it to +x (away from the right hand).
        const float up = name.find("Up") != std::string::npos     ? 1.0f
                         : name.find("Down") != std::string::npos ? -1.0f
                                                                  : 0;
        const float left = name.find("Left") != std::string::npos    ? 1.0f
                           : name.find("Right") != std::string::npos ? -1.0f
                                                                     : 0;
        EXPECT_GT(pose.at.z, 0.6f) << name;
        EXPECT_NEAR(pose.at.y, up * 0.48f, 0.1f) << name;
        EXPECT_NEAR(pose.at.x * (left == 0 ? 1.0f : left), left == 0 ? 0.0f : 0.5f, 0.12f) << name;
        // Crouching lowers the pelvis by about 0.38 metres.
        EXPECT_NEAR(pose.pelvis, name[0] == 'C' ? 0.57f : 0.95f, 0.02f) << name;
    }
    EXPECT_LT(poses["Walk"].pelvis, 0.95f + 0.03f);
    OvClumpDestroy(clump);
    for (OvAnimation* animation : loaded) {
        OvAnimationDestroy(animation);
    }
    OvError ignored;
    OvErrorGet(&ignored);
    EXPECT_TRUE(OvTestEngineDown());
}

} // namespace
