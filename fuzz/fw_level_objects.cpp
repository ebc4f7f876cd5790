// The level objects' configuration: the input as XML whose elements are level objects (Switch,
// Lift, LaserBeam, Teleporter, Bumper, JumpHelper, Door) handed to the world manager as the
// configuration reader does, and CollisionPlane / CollisionTriangle sections read through the
// world manager's "Worlds" handler; on a small generated level with the lift's and the switch's
// models, then a few world updates, line and sphere queries, and the unload.

#include <expat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "framework/framework.h"
#include "framework/level_objects.h"
#include "framework/world_manager.h"
#include "fuzz/fuzz_kit.h"
#include "graphics/plugins/collision.h"
#include "graphics/shared/skel/win/skeleton.h"
#include "graphics/world/world_plugin.h"
#include "physics/graphics/body_atomic.h"
#include "tools/mkasset/collision_tree.h"
#include "tools/mkasset/level_builder.h"
#include "tools/mkasset/shapes.h"

namespace {

void RegisterPlugins() {
    OvWorldPluginAttach();
    OvCollisionPluginAttach();
    OvpBodyPluginAttach();
}

void Write(const std::filesystem::path& path, const mkasset::Bytes& bytes) {
    std::ofstream out(path, std::ios::binary);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

// A folder of this process with a small level and the level objects' models; removed at exit.
const std::filesystem::path& Folder() {
    static const std::filesystem::path folder = [] {
        const std::filesystem::path dir = fuzzkit::ScratchFileName() + ".level";
        std::filesystem::create_directories(dir / "models");
        mkasset::LevelOptions options;
        options.seed = 5;
        options.size = 12;
        options.boxes = 2;
        mkasset::WorldDesc world = mkasset::LevelWorld(options);
        mkasset::AddWorldCollision(world);
        Write(dir / "level.bsp", mkasset::WorldFile(world));
        mkasset::ShapeOptions box;
        box.kind = mkasset::ShapeKind::Box;
        const mkasset::Bytes model = mkasset::ClumpFile(mkasset::ModelClump(box));
        for (const char* name :
             {"lift.dff", "BoutonVert.dff", "BoutonRouge.dff", "BoutonVertOn.dff", "BoutonRougeOn.dff"}) {
            Write(dir / "models" / name, model);
        }
        std::atexit([] { std::filesystem::remove_all(fuzzkit::ScratchFileName() + ".level"); });
        return dir;
    }();
    return folder;
}

struct Reader {
    CWorldManager* wm;
    int pieceDepth = 0; // inside a collision plane or triangle section
};

bool IsPiece(const char* name) {
    return std::string(name) == "CollisionPlane" || std::string(name) == "CollisionTriangle";
}

void XMLCALL Start(void* user, const XML_Char* name, const XML_Char** attributes) {
    auto& r = *static_cast<Reader*>(user);
    if (r.pieceDepth > 0 || IsPiece(name)) {
        ++r.pieceDepth;
        r.wm->StartElement(name, attributes);
        return;
    }
    ConfigureLevelObject(name, attributes);
}

void XMLCALL End(void* user, const XML_Char* name) {
    auto& r = *static_cast<Reader*>(user);
    if (r.pieceDepth > 0) {
        --r.pieceDepth;
        r.wm->EndElement(name);
    }
}

} // namespace

std::int32_t AppEventHandler(std::int32_t, void*) { return SKEL_EVENT_NOT_HANDLED; }

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzzkit::QuietErrorBoxes();
    fuzzkit::GraphicsEngine engine(RegisterPlugins);
    if (!engine.Up()) {
        return 0;
    }
    // The objects name their models relative to the working folder.
    const std::filesystem::path previous = std::filesystem::current_path();
    std::filesystem::current_path(Folder());
    g_worldManager = new CWorldManager(1.0f);
    g_worldManager->LoadWorld("level.bsp", 0);
    Reader reader{g_worldManager};
    XML_Parser parser = XML_ParserCreate(nullptr);
    if (parser != nullptr) {
        XML_SetUserData(parser, &reader);
        XML_SetElementHandler(parser, Start, End);
        XML_Parse(parser, reinterpret_cast<const char*>(data), static_cast<int>(size), 1);
        XML_ParserFree(parser);
    }
    for (int i = 0; i < 8; ++i) {
        g_worldManager->Update(0.25f);
    }
    float distance = 0.0f;
    OvV3d normal;
    g_worldManager->LineIntersect({-5.0f, 1.0f, -5.0f}, {5.0f, 1.0f, 5.0f}, false, &distance, &normal);
    g_worldManager->LineIntersect({0.0f, 5.0f, 0.0f}, {0.0f, -1.0f, 0.0f}, false, &distance, &normal);
    SphereQueryResult result;
    g_worldManager->SphereQuery(0.0f, 1.0f, 0.0f, 1.0f, &result);
    delete g_worldManager;
    g_worldManager = nullptr;
    g_stopOnError = false;
    std::filesystem::current_path(previous);
    return 0;
}
