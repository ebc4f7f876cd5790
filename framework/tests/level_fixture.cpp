#include "framework/tests/level_fixture.h"

#include <png.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "framework/framework.h"
#include "graphics/core/image.h"
#include "graphics/core/testkit/engine_fixture.h"
#include "graphics/plugins/anim.h"
#include "graphics/plugins/anim_hierarchy.h"
#include "graphics/plugins/collision.h"
#include "graphics/plugins/particles.h"
#include "graphics/plugins/skin.h"
#include "graphics/toolkits/png_reader.h"
#include "graphics/world/world_plugin.h"
#include "physics/graphics/body_atomic.h"
#include "platform/window.h"
#include "tools/mkasset/collision_tree.h"
#include "testing/scratch_dir.h"

namespace {

void AttachPlugins() {
    OvWorldPluginAttach();
    OvCollisionPluginAttach();
    OvParticleBatchPluginAttach();
    OvAnimPluginAttach();
    OvAnimHierarchyPluginAttach();
    OvSkinPluginAttach();
    OvpBodyPluginAttach();
}

} // namespace

std::vector<LevelTriangle> TrianglesOf(const mkasset::WorldDesc& world) {
    std::vector<LevelTriangle> out;
    for (const mkasset::SectorNodeDesc& node : world.nodes) {
        if (node.type != -1) {
            continue;
        }
        const std::vector<float>& v = node.sector.verts;
        auto at = [&](std::uint16_t i) { return OvV3d{v[i * 3u], v[i * 3u + 1], v[i * 3u + 2]}; };
        for (const mkasset::TriangleDesc& t : node.sector.triangles) {
            out.push_back({at(t.v[0]), at(t.v[1]), at(t.v[2])});
        }
    }
    return out;
}

void LevelTest::SetUp() {
    dir = MakeTestScratchDir("level").string();
    previousDir = std::filesystem::current_path().string();
    std::filesystem::current_path(dir);
    logPath = dir + "/messages.log";
    setenv("PLATFORM_HEADLESS", "1", 1);
    setenv("PLATFORM_MSGBOX_LOG", logPath.c_str(), 1);
    PlatformWindowReset();
    g_stopOnError = false;
    ASSERT_TRUE(OvTestEngineUp(0, AttachPlugins, Driver()));
    OvImageRegisterFileFormat("png", OvPngImageRead, nullptr);
}

void LevelTest::TearDown() {
    delete g_worldManager;
    g_worldManager = nullptr;
    EXPECT_TRUE(OvTestEngineDown());
    g_stopOnError = false;
    std::filesystem::current_path(previousDir);
    unsetenv("PLATFORM_MSGBOX_LOG");
    unsetenv("PLATFORM_HEADLESS");
    PlatformWindowReset();
    std::filesystem::remove_all(dir);
}

std::string LevelTest::Messages() const {
    std::ifstream in(logPath, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

void LevelTest::WriteGunAssets() const {
    std::filesystem::create_directories(dir + "/MODELS/TEXTURES");
    std::filesystem::create_directories(dir + "/MODELS/REVOLUTION");
    WriteBytes("MODELS/FIRE.DFF", mkasset::ClumpFile(BoxClumpAt(0, 0, 0)));
    WriteBytes("MODELS/REVOLUTION/ROCK.DFF", mkasset::ClumpFile(BoxClumpAt(0, 0, 0)));
    png_image image{};
    image.version = PNG_IMAGE_VERSION;
    image.width = 4;
    image.height = 4;
    image.format = PNG_FORMAT_RGBA;
    const std::vector<png_byte> pixels(4 * 4 * 4, 255);
    png_image_write_to_file(&image, (dir + "/MODELS/TEXTURES/PARTICLE.PNG").c_str(), 0, pixels.data(), 0, nullptr);
}

void LevelTest::WriteBytes(const std::string& name, const mkasset::Bytes& bytes) const {
    std::ofstream out(dir + "/" + name, std::ios::binary);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

mkasset::WorldDesc LevelTest::WriteLevel(const std::string& name, const mkasset::LevelOptions& options,
                                         const std::vector<mkasset::ClumpDesc>& clumps, bool collision) const {
    mkasset::WorldDesc world = mkasset::LevelWorld(options);
    if (collision) {
        EXPECT_TRUE(mkasset::AddWorldCollision(world));
    }
    mkasset::Bytes bytes = mkasset::WorldFile(world);
    for (const mkasset::ClumpDesc& clump : clumps) {
        const mkasset::Bytes more = mkasset::ClumpFile(clump);
        bytes.insert(bytes.end(), more.begin(), more.end());
    }
    WriteBytes(name, bytes);
    return world;
}

CWorldManager* LevelTest::MakeManager(float scale) {
    delete g_worldManager;
    g_worldManager = new CWorldManager(scale);
    return g_worldManager;
}

CWorldManager* LevelTest::LoadOpenLevel(int size, const std::vector<mkasset::ClumpDesc>& clumps, std::uint32_t seed) {
    mkasset::LevelOptions options;
    options.seed = seed;
    options.size = size;
    options.boxes = 0;
    return LoadLevel(options, clumps);
}

CWorldManager* LevelTest::LoadLevel(const mkasset::LevelOptions& options,
                                    const std::vector<mkasset::ClumpDesc>& clumps) {
    WriteLevel("level.bsp", options, clumps);
    CWorldManager* wm = MakeManager();
    wm->LoadWorld("level.bsp", 0);
    return wm;
}

mkasset::ClumpDesc BoxClumpAt(float x, float y, float z) {
    mkasset::ShapeOptions options;
    options.kind = mkasset::ShapeKind::Box;
    mkasset::ClumpDesc clump = mkasset::ModelClump(options);
    clump.frames[0].pos[0] = x;
    clump.frames[0].pos[1] = y;
    clump.frames[0].pos[2] = z;
    return clump;
}
