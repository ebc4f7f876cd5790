#include "graphics/world/d3d9/lights.h"

#include <utility>

#include "graphics/core/d3d9/device.h"
#include "graphics/core/d3d9/device_cache.h"
#include "graphics/core/d3d9/render_state.h"
#include "graphics/core/engine.h"
#include "graphics/core/memory.h"

namespace {

constexpr float kPi = 3.14159265358979f;

struct IndexList {
    OvInt32* data = nullptr;
    OvInt32 count = 0;
    OvInt32 capacity = 0;
};

struct LightManager {
    IndexList freeStack; // released indices
    OvInt32 nextIndex = 0;
    IndexList set;     // sent since the last enable
    IndexList enabled; // enabled by the last enable
    OvUInt32 maxActive = 0xFFFFFFFFu;
};
LightManager gLights;

bool Push(IndexList& list, OvInt32 value, OvInt32 grow) {
    if (list.count == list.capacity) {
        void* grown = OvRealloc(list.data, sizeof(OvInt32) * static_cast<std::size_t>(list.capacity + grow),
                                ovMEMHINTDUR_GLOBAL | ovMEMHINTFLAG_RESIZABLE);
        if (grown == nullptr)
            return false;
        list.data = static_cast<OvInt32*>(grown);
        for (OvInt32 i = list.capacity; i < list.capacity + grow; ++i)
            list.data[i] = 0;
        list.capacity += grow;
    }
    list.data[list.count++] = value;
    return true;
}

void Release(IndexList& list) {
    if (list.data != nullptr)
        OvFree(list.data);
    list = {};
}

void Color(D3DCOLORVALUE& c, float r, float g, float b) { c = {r, g, b, 1.0f}; }

} // namespace

OvBool OvD3D9LightsOpen() {
    OvD3D9LightsClose();
    gLights.nextIndex = 0;
    const D3DCAPS9* caps = OvD3D9GetCaps();
    gLights.maxActive = caps != nullptr && caps->MaxActiveLights != 0 ? caps->MaxActiveLights : 0xFFFFFFFFu;
    return TRUE;
}

void OvD3D9LightsClose() {
    Release(gLights.freeStack);
    Release(gLights.set);
    Release(gLights.enabled);
}

OvInt32 OvD3D9LightIndexAcquire() {
    if (gLights.freeStack.count > 0)
        return gLights.freeStack.data[--gLights.freeStack.count];
    return gLights.nextIndex++;
}

void OvD3D9LightIndexRelease(OvInt32 index) {
    if (index < 0)
        return;
    if (gLights.freeStack.count < gLights.nextIndex - 1) {
        if (Push(gLights.freeStack, index, 256))
            return;
    }
    // Every other index is free already (or the stack could not grow: the numbering restarts
    // only when nothing else is in use, so this is only reached in the first case).
    if (gLights.freeStack.count >= gLights.nextIndex - 1) {
        Release(gLights.freeStack);
        gLights.nextIndex = 0;
    }
}

OvBool OvD3D9LightSend(OvInt32 index, const D3DLIGHT9* light) {
    if (index < 0 || !OvD3D9SetLight(static_cast<OvUInt32>(index), light))
        return FALSE;
    return Push(gLights.set, index, 8) ? TRUE : FALSE;
}

void OvD3D9LightFillDirectional(D3DLIGHT9* out, const float rgb[3], const float direction[3]) {
    *out = {};
    out->Type = D3DLIGHT_DIRECTIONAL;
    Color(out->Diffuse, rgb[0], rgb[1], rgb[2]);
    Color(out->Specular, 0, 0, 0);
    Color(out->Ambient, 0, 0, 0);
    out->Direction = {direction[0], direction[1], direction[2]};
}

OvBool OvD3D9LightFillLocal(D3DLIGHT9* out, OvUInt32 type, const float rgb[3], const float position[3],
                            const float direction[3], float radius, float coneAngle,
                            const OvD3D9LightAttenuation* attenuation) {
    if (radius == 0.0f || type < 0x80 || type > 0x82)
        return FALSE;
    *out = {};
    Color(out->Diffuse, rgb[0], rgb[1], rgb[2]);
    Color(out->Specular, 0, 0, 0);
    Color(out->Ambient, 0, 0, 0);
    out->Falloff = 1.0f;
    out->Position = {position[0], position[1], position[2]};
    out->Range = radius;
    out->Attenuation0 = attenuation->constant;
    out->Attenuation1 = attenuation->linear / radius;
    out->Attenuation2 = attenuation->quadratic / (radius * radius);
    if (type == 0x80) {
        out->Type = D3DLIGHT_POINT;
        return TRUE;
    }
    out->Type = D3DLIGHT_SPOT;
    out->Direction = {direction[0], direction[1], direction[2]};
    float phi = 2.0f * coneAngle;
    if (phi > kPi) // the device refuses an outer cone beyond pi
        phi = kPi;
    if (phi < 0.0f)
        phi = 0.0f;
    out->Phi = phi;
    if (type == 0x81)
        out->Theta = phi < kPi ? phi : phi - 0.001f;
    return TRUE;
}

void OvD3D9LightsEnable(OvBool enable, OvInt32) {
    if (!enable) {
        OvD3D9SetRenderState(D3DRS_LIGHTING, FALSE);
        return;
    }
    IndexList& set = gLights.set;
    IndexList& on = gLights.enabled;
    const OvInt32 kept =
        static_cast<OvUInt32>(set.count) > gLights.maxActive ? static_cast<OvInt32>(gLights.maxActive) : set.count;
    for (OvInt32 i = 0; i < on.count; ++i) {
        bool stays = false;
        for (OvInt32 k = 0; k < kept && !stays; ++k)
            stays = set.data[k] == on.data[i];
        if (!stays)
            OvD3D9EnableLight(static_cast<OvUInt32>(on.data[i]), FALSE);
    }
    for (OvInt32 k = 0; k < kept; ++k)
        OvD3D9EnableLight(static_cast<OvUInt32>(set.data[k]), TRUE);
    if (kept > 0)
        std::swap(set, on);
    on.count = kept;
    set.count = 0;
    OvD3D9SetRenderState(D3DRS_LIGHTING, TRUE);
}

OvInt32 OvD3D9LightsEnabledCount() { return gLights.enabled.count; }
const OvInt32* OvD3D9LightsEnabled() { return gLights.enabled.data; }
