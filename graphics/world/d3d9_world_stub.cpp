// The Direct3D 9 part of the attach as far as this library needs it: the light extension and
// the instancing-flag module and extensions keep their places and sizes. Drawing, hardware
// lights and the device-restore hook are not installed here.

#include "graphics/core/engine.h"
#include "graphics/world/geometry.h"
#include "graphics/world/light.h"
#include "graphics/world/world_plugin.h"

namespace {

// Light extension: the hardware light index (-1: none) and spare words.
struct D3D9LightExt {
    OvInt32 index;
    OvInt32 spare[3];
};

void* LightExtConstruct(void* object, OvInt32 offset, OvInt32) {
    auto* ext = reinterpret_cast<D3D9LightExt*>(static_cast<char*>(object) + offset);
    *ext = {-1, {0, 0, 0}};
    return object;
}
void* LightExtCopy(void* dst, const void*, OvInt32 offset, OvInt32 size) {
    // A copy takes its own hardware index when first used.
    return LightExtConstruct(dst, offset, size);
}

// Instancing flags: one word, 0 at construction, copied with the object.
void* FlagsConstruct(void* object, OvInt32 offset, OvInt32) {
    *reinterpret_cast<OvUInt32*>(static_cast<char*>(object) + offset) = 0;
    return object;
}
void* FlagsCopy(void* dst, const void* src, OvInt32 offset, OvInt32) {
    *reinterpret_cast<OvUInt32*>(static_cast<char*>(dst) + offset) =
        *reinterpret_cast<const OvUInt32*>(static_cast<const char*>(src) + offset);
    return dst;
}

OvInt32 gD3D9WorldOpens = 0;
void* CountOpen(void* instance, OvInt32, OvInt32) {
    gD3D9WorldOpens++;
    return instance;
}
void* CountClose(void* instance, OvInt32, OvInt32) {
    gD3D9WorldOpens--;
    return instance;
}

} // namespace

OvBool OvD3D9WorldPluginAttach() {
    OvInt32 r = 0;
    r |= OvLightRegisterPlugin(sizeof(D3D9LightExt), ovPLUGINIDLIGHT, LightExtConstruct, nullptr, LightExtCopy);
    r |= OvEngineRegisterPlugin(0, ovPLUGINIDD3D9WORLD, CountOpen, CountClose);
    r |= OvGeometryRegisterPlugin(sizeof(OvUInt32), ovPLUGINIDD3D9WORLD, FlagsConstruct, nullptr, FlagsCopy);
    r |= OvWorldSectorRegisterPlugin(sizeof(OvUInt32), ovPLUGINIDD3D9WORLD, FlagsConstruct, nullptr, FlagsCopy);
    return r < 0 ? FALSE : TRUE;
}
