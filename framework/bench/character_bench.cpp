// One frame of 1, 9 and 64 characters: each character's update (motion body with its ground
// query, the two-channel animator's blend and the hierarchy's matrices; the skinned-atomic
// pipeline skins the geometry where it is drawn, which is not measured here), alone and with the
// world manager's physics step. The characters walk in changing directions, so animation switches
// and cross-fades happen throughout.

#include <benchmark/benchmark.h>

#include <png.h>
#include <unistd.h>

#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "framework/character.h"
#include "framework/framework.h"
#include "framework/world_manager.h"
#include "graphics/core/image.h"
#include "graphics/core/testkit/engine_fixture.h"
#include "graphics/core/testkit/memory_raster_driver.h"
#include "graphics/plugins/anim.h"
#include "graphics/plugins/anim_hierarchy.h"
#include "graphics/plugins/collision.h"
#include "graphics/plugins/particles.h"
#include "graphics/plugins/skin.h"
#include "graphics/shared/skel/win/skeleton.h"
#include "graphics/toolkits/png_reader.h"
#include "graphics/world/world_plugin.h"
#include "physics/graphics/body_atomic.h"
#include "tools/mkasset/collision_tree.h"
#include "tools/mkasset/level_builder.h"
#include "tools/mkasset/shapes.h"
#include "tools/mkasset/soldier.h"

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

void Write(const std::string& path, const mkasset::Bytes& bytes) {
    std::ofstream out(path, std::ios::binary);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

// A one-second cycle of 13 keys a node: every node swings about x by `swing` radians.
OvAnimation* SwingAnimation(int nodes, float swing) {
    constexpr int kKeys = 13;
    OvAnimation* a = OvAnimationCreate(1, kKeys * nodes, 0, 1.0f);
    for (int k = 0; k < kKeys; ++k) {
        for (int n = 0; n < nodes; ++n) {
            const int index = k * nodes + n;
            auto* key = static_cast<OvAnimKeyFrame*>(OvAnimationGetKey(a, static_cast<OvUInt32>(index)));
            const float time = static_cast<float>(k) / (kKeys - 1);
            const float half = 0.5f * swing * std::sin(6.2831853f * time + 0.1f * static_cast<float>(n));
            key->prevFrame = k == 0 ? 0u : static_cast<OvUInt32>(index - nodes);
            key->time = time;
            key->q = {std::sin(half), 0.0f, 0.0f, std::cos(half)};
            key->t = {0.0f, n == 0 ? 0.0f : 50.0f, 0.0f};
        }
    }
    return a;
}

// The engine up, a 32-metre level, the soldier with 37 animations in a profile, and `count`
// characters of it standing on a grid.
class Crowd {
public:
    explicit Crowd(int count) {
        dir_ = std::filesystem::temp_directory_path() / ("dun_character_bench_" + std::to_string(getpid()));
        std::filesystem::create_directories(dir_ / "Models");
        previous_ = std::filesystem::current_path();
        std::filesystem::current_path(dir_);
        setenv("PLATFORM_HEADLESS", "1", 1);
        ok_ = OvTestEngineUp(0, AttachPlugins, OvTestMemoryRasterDriver()) != 0;
        OvImageRegisterFileFormat("png", OvPngImageRead, nullptr);
        // The gun's flash and particle image.
        std::filesystem::create_directories(dir_ / "MODELS" / "TEXTURES");
        png_image image{};
        image.version = PNG_IMAGE_VERSION;
        image.width = 4;
        image.height = 4;
        image.format = PNG_FORMAT_RGBA;
        const std::vector<png_byte> pixels(4 * 4 * 4, 255);
        png_image_write_to_file(&image, "MODELS/TEXTURES/PARTICLE.PNG", 0, pixels.data(), 0, nullptr);
        mkasset::LevelOptions options;
        options.boxes = 0;
        mkasset::WorldDesc world = mkasset::LevelWorld(options);
        mkasset::AddWorldCollision(world);
        Write("level.bsp", mkasset::WorldFile(world));
        mkasset::ShapeOptions box;
        box.kind = mkasset::ShapeKind::Box;
        Write("Models/World.dff", mkasset::ClumpFile(mkasset::ModelClump(box)));
        Write("MODELS/FIRE.DFF", mkasset::ClumpFile(mkasset::ModelClump(box)));
        const std::uint8_t blue[3] = {70, 100, 190};
        Write("soldier.dff", mkasset::ClumpFile(mkasset::SoldierClump(blue)));
        g_worldManager = new CWorldManager(1.0f);
        g_worldManager->LoadWorld("level.bsp", 0);
        auto* profile = new CCharacterProfile("Soldier", 1.0f);
        profile->clump = "soldier.dff";
        profile->inActions = 1;
        const int nodes = mkasset::SoldierBoneCount();
        for (int i = 0; i < kProfileAnimationCount; ++i) {
            const std::string file = "a" + std::to_string(i) + ".anm";
            OvAnimation* a = SwingAnimation(nodes, 0.05f * static_cast<float>(i % 9 + 1));
            OvAnimationSave(a, file.c_str());
            OvAnimationDestroy(a);
            const char* attributes[] = {"name", CharacterAnimationName(i), "file", file.c_str(), nullptr};
            profile->StartElement("Animation", attributes);
        }
        CCharacterProfile::Add(profile);
        const int side = static_cast<int>(std::ceil(std::sqrt(static_cast<double>(count))));
        for (int i = 0; i < count; ++i) {
            auto c = std::make_unique<CCharacter>();
            c->SetInputControlled(false);
            const float x = (static_cast<float>(i % side) - 0.5f * static_cast<float>(side)) * 1.5f;
            const float z = (static_cast<float>(i / side) - 0.5f * static_cast<float>(side)) * 1.5f;
            ok_ = ok_ && c->InitFromProfile("Soldier", {x, 0.45f, z});
            g_worldManager->AddObject(c.get());
            characters_.push_back(std::move(c));
        }
        ok_ = ok_ && !g_stopOnError;
    }
    ~Crowd() {
        for (auto& c : characters_) {
            c->Release();
        }
        characters_.clear();
        CCharacterProfile::DestroyAll();
        CAnimationCache::Clear();
        DestroyAnimationCommandPool();
        delete g_worldManager;
        g_worldManager = nullptr;
        OvTestEngineDown();
        std::filesystem::current_path(previous_);
        std::filesystem::remove_all(dir_);
    }
    bool ok() const { return ok_; }

    // One frame: commands that turn every 30 frames, then each character's update.
    void UpdateCharacters(float dt) {
        const float heading = 0.7f * static_cast<float>(frame_ / 30);
        for (std::size_t i = 0; i < characters_.size(); ++i) {
            CCharacter* c = characters_[i].get();
            const float a = heading + static_cast<float>(i);
            c->forward = std::sin(a);
            c->sideways = std::cos(a);
            c->Update(dt);
        }
        ++frame_;
    }

private:
    std::filesystem::path dir_, previous_;
    bool ok_ = false;
    long frame_ = 0;
    std::vector<std::unique_ptr<CCharacter>> characters_;
};

void BM_CharacterUpdate(benchmark::State& state) {
    Crowd crowd(static_cast<int>(state.range(0)));
    if (!crowd.ok()) {
        state.SkipWithError("the crowd could not be set up");
        return;
    }
    for (auto _ : state) {
        crowd.UpdateCharacters(1.0f / 60.0f);
    }
    state.counters["characters"] = static_cast<double>(state.range(0));
}
BENCHMARK(BM_CharacterUpdate)->Arg(1)->Arg(9)->Arg(64)->Unit(benchmark::kMillisecond);

void BM_CharacterFrameWithPhysics(benchmark::State& state) {
    Crowd crowd(static_cast<int>(state.range(0)));
    if (!crowd.ok()) {
        state.SkipWithError("the crowd could not be set up");
        return;
    }
    for (auto _ : state) {
        crowd.UpdateCharacters(1.0f / 60.0f);
        g_worldManager->Update(1.0f / 60.0f);
    }
}
BENCHMARK(BM_CharacterFrameWithPhysics)->Arg(1)->Arg(9)->Arg(64)->Unit(benchmark::kMillisecond);

} // namespace

std::int32_t AppEventHandler(std::int32_t, void*) { return SKEL_EVENT_NOT_HANDLED; }

BENCHMARK_MAIN();
