// The framework's world loading: the input as a world file (an optional texture dictionary, the
// world, clumps after it) loaded by a world manager, which makes the physics context over the
// world's triangles, steps it a few times with a box falling onto the level, runs the line, cylinder
// and sphere queries, and unloads everything.

#include <cstdint>
#include <cstdlib>
#include <string>

#include "framework/clump_object.h"
#include "framework/framework.h"
#include "framework/world_manager.h"
#include "fuzz/fuzz_kit.h"
#include "graphics/shared/skel/win/skeleton.h"
#include "graphics/plugins/collision.h"
#include "graphics/world/world_plugin.h"
#include "physics/core/context/manager.h"
#include "physics/core/context/objtypes.h"
#include "physics/core/volume/primitives.h"
#include "physics/graphics/body_atomic.h"

namespace {

void RegisterPlugins() {
    OvWorldPluginAttach();
    OvCollisionPluginAttach();
    OvpBodyPluginAttach();
}

// A unit box body dropped from above the origin, unbound (no model).
void DropAndStep(CWorldManager& wm) {
    OvpContext* context = wm.GetPhysicsContext();
    if (context == nullptr) {
        wm.Update(0.02f);
        return;
    }
    OvpBodyDef* def = OvpBodyDefCreate();
    OvpObj* body = def != nullptr ? OvpBodyObjCreate(def) : nullptr;
    OvMatrix place = {};
    OvMatrixSetIdentity(&place);
    place.pos = {0.0f, 2.0f, 0.0f};
    if (body != nullptr) {
        const float half[3] = {0.5f, 0.5f, 0.5f};
        OvpBoxInit(def->volume, half);
        body->parts[0].matrix = &place;
        OvpMgrAddObject(OvpContextGetMgr(context), body, -1, ovpADD_AWAKE | ovpADD_DYNAMIC | ovpADD_ACTIVATE);
    }
    for (int i = 0; i < 4; ++i) {
        wm.Update(0.02f);
    }
    if (body != nullptr) {
        OvpBodyObjDestroy(body);
    }
    if (def != nullptr) {
        OvpBodyDefRelease(def);
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
    const std::string path = fuzzkit::WriteScratchFile(data, size);
    CWorldManager wm(1.0f);
    g_worldManager = &wm;
    wm.LoadWorld(path.c_str(), 0);
    DropAndStep(wm);
    float distance = 0.0f;
    OvV3d normal;
    CClumpObject* hit = nullptr;
    wm.LineIntersect({-3.0f, 2.0f, -3.0f}, {3.0f, -1.0f, 2.0f}, false, &distance, &normal, &hit);
    wm.CylinderIntersect({0.0f, 1.0f, 0.0f}, {2.0f, 0.5f, 1.0f}, 0.3f, false);
    SphereQueryResult result;
    for (int mode = 0; mode < 4; ++mode) {
        wm.SetSphereQueryMode(mode);
        wm.SetQueryDirection({1.0f, 0.0f, 0.0f});
        wm.SphereQuery(0.5f, 0.4f, 0.5f, 0.6f, &result);
    }
    wm.Unload();
    g_worldManager = nullptr;
    g_stopOnError = false;
    return 0;
}
