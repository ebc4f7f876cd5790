// World membership as far as the objects of this library need it: the module and the
// extensions on cameras, atomics, clumps and lights keep their places in the attach order and
// their records; placing objects into world sectors is not done here yet.

#include "graphics/core/camera.h"
#include "graphics/core/engine.h"
#include "graphics/world/clump.h"
#include "graphics/world/light.h"
#include "graphics/world/world_plugin.h"

namespace {

// Module data: the two tie free lists and a reserved word.
struct WorldObjectModule {
    OvFreeList* atomicTies;
    OvFreeList* lightTies;
    OvUInt32 reserved;
};

// Camera extension: visible sectors, their capacity and count, the world and the saved callbacks.
struct CameraExt {
    void** sectors;
    OvInt32 space;
    OvInt32 count;
    void* world;
    void* savedBeginUpdate;
    void* savedEndUpdate;
    void* savedSync;
};

// Atomic, clump and light extensions: the world and a saved callback (or a reserved word).
struct ObjectExt {
    void* world;
    void* saved;
};

void* ModuleOpen(void* instance, OvInt32 offset, OvInt32) {
    auto* module = reinterpret_cast<WorldObjectModule*>(static_cast<char*>(instance) + offset);
    *module = {};
    static_cast<OvEngineInstance*>(instance)->renderFrame = 1;
    return instance;
}

void* ModuleClose(void* instance, OvInt32, OvInt32) {
    // Clumps, atomics and lights left alive are destroyed while every pool they use is open.
    OvWorldPluginDestroyLeftovers();
    return instance;
}

void* ZeroExt(void* object, OvInt32 offset, OvInt32 size) {
    auto* bytes = static_cast<OvUInt8*>(object) + offset;
    for (OvInt32 i = 0; i < size; ++i) {
        bytes[i] = 0;
    }
    return object;
}

OvInt32 gAtomicExtOffset = -1;

void* AtomicExtConstruct(void* object, OvInt32 offset, OvInt32 size) {
    ZeroExt(object, offset, size);
    static_cast<OvAtomic*>(object)->renderFrame = static_cast<OvUInt16>(OvEngineInstancePtr->renderFrame - 1);
    return object;
}

} // namespace

OvBool OvWorldObjectPluginAttach() {
    OvInt32 r = 0;
    r |= OvEngineRegisterPlugin(sizeof(WorldObjectModule), ovPLUGINIDWORLDOBJECT, ModuleOpen, ModuleClose);
    r |= OvCameraRegisterPlugin(sizeof(CameraExt), ovPLUGINIDWORLDOBJECT, ZeroExt, nullptr, nullptr);
    gAtomicExtOffset =
        OvAtomicRegisterPlugin(sizeof(ObjectExt), ovPLUGINIDWORLDOBJECT, AtomicExtConstruct, nullptr, nullptr);
    r |= gAtomicExtOffset;
    r |= OvClumpRegisterPlugin(sizeof(ObjectExt), ovPLUGINIDWORLDOBJECT, ZeroExt, nullptr, nullptr);
    r |= OvLightRegisterPlugin(sizeof(ObjectExt), ovPLUGINIDWORLDOBJECT, ZeroExt, nullptr, nullptr);
    return r < 0 ? FALSE : TRUE;
}

OvWorld* OvAtomicGetWorld(const OvAtomic* atomic) {
    const auto* ext = reinterpret_cast<const ObjectExt*>(reinterpret_cast<const char*>(atomic) + gAtomicExtOffset);
    return static_cast<OvWorld*>(ext->world);
}
