// Material effects drawn: the input after its first byte is the body of a material's effects
// extension, read into the material of a small textured grid marked for effects and drawn twice
// on the stand-in device. The first byte chooses the device (bits 0-1: one blend stage; two
// without MODULATE2X and MULTIPLYADD; three; three with pixel shaders), whether the base texture
// exists (bit 2) and has alpha (bit 3), whether the effect textures have alpha (bit 4), two
// texture sets (bit 5) and lighting (bit 6). Slots whose texture the read left out get one, so
// that every path runs. A second run of the input must leave the device's object count where the
// first did.

#include <cstdint>
#include <cstdlib>

#include "fuzz/fuzz_kit.h"
#include "graphics/core/d3d9/device.h"
#include "graphics/core/d3d9/render_state.h"
#include "graphics/core/engine.h"
#include "graphics/core/error.h"
#include "graphics/core/raster.h"
#include "graphics/core/stream.h"
#include "graphics/core/texture.h"
#include "graphics/plugins/material_effects.h"
#include "graphics/world/clump.h"
#include "graphics/world/geometry.h"
#include "graphics/world/material.h"
#include "graphics/world/world_plugin.h"
#include "platform/d3d9_control.h"
#include "testing/headless_window.h"

namespace {

int gDevice = -1; // the device the engine runs on

// The engine on the chosen device (restarted when the choice changes).
bool DriverUp(int device) {
    static HWND window = OpenHeadlessWindow("fuzz_gfx_material_effects_draw", DefWindowProcA, 32, 32);
    static const bool attached = [] {
        OvEngineSetDriver(OvD3D9Driver());
        return OvEngineInit(nullptr, 0, 0x400000) && OvWorldPluginAttach() && OvMaterialEffectsPluginAttach();
    }();
    if (!attached) {
        return false;
    }
    if (device == gDevice && OvEngineGetStatus() == ovENGINESTATUSSTARTED) {
        return true;
    }
    if (OvEngineGetStatus() == ovENGINESTATUSSTARTED) {
        OvEngineStop();
    }
    if (OvEngineGetStatus() == ovENGINESTATUSOPENED) {
        OvEngineClose();
    }
    D3d9Adapter adapter = D3d9DefaultAdapter();
    const DWORD stages[4] = {1, 2, 3, 3};
    adapter.caps.MaxTextureBlendStages = adapter.caps.MaxSimultaneousTextures = stages[device];
    if (device == 1) {
        adapter.caps.TextureOpCaps &= ~(D3DTEXOPCAPS_MODULATE2X | D3DTEXOPCAPS_MULTIPLYADD);
    }
    adapter.caps.PixelShaderVersion = device == 3 ? D3DPS_VERSION(1, 4) : 0;
    D3d9SetAdapters({adapter});
    gDevice = OvEngineOpen(&window) && OvEngineStart() ? device : -1;
    return gDevice == device;
}

OvTexture* Texture(bool alpha) {
    OvRaster* raster = OvRasterCreate(4, 4, 32, ovRASTERTYPETEXTURE | (alpha ? ovRASTERFORMAT8888 : ovRASTERFORMAT888));
    OvTexture* t = raster != nullptr ? OvTextureCreate(raster) : nullptr;
    if (t != nullptr) {
        OvTextureSetName(t, alpha ? "fuzzalpha" : "fuzz");
    } else if (raster != nullptr) {
        OvRasterDestroy(raster);
    }
    return t;
}

// A 2 x 2-quad grid in front of the default view with one material.
OvAtomic* Grid(bool twoSets, OvMaterial** material) {
    const OvUInt32 sets = twoSets ? 2 : 1;
    OvGeometry* g = OvGeometryCreate(9, 8,
                                     ovGEOMETRYPOSITIONS | ovGEOMETRYNORMALS | ovGEOMETRYPRELIT | ovGEOMETRYLIGHT |
                                         (twoSets ? ovGEOMETRYTEXTURED2 : ovGEOMETRYTEXTURED) | (sets << 16));
    if (g == nullptr) {
        return nullptr;
    }
    OvMaterial* m = OvMaterialCreate();
    for (int y = 0; y <= 2; ++y) {
        for (int x = 0; x <= 2; ++x) {
            const int i = y * 3 + x;
            g->morphTarget[0].verts[i] = {static_cast<float>(x) - 1.0f, static_cast<float>(y) - 1.0f, 3.0f};
            g->morphTarget[0].normals[i] = {0.0f, 0.0f, -1.0f};
            g->preLitLum[i] = {200, 180, 160, static_cast<OvUInt8>(i == 4 ? 128 : 255)};
            for (OvUInt32 s = 0; s < sets; ++s) {
                g->texCoords[s][i] = {0.5f * static_cast<float>(x), 0.5f * static_cast<float>(y + s)};
            }
        }
    }
    int t = 0;
    for (int y = 0; y < 2; ++y) {
        for (int x = 0; x < 2; ++x) {
            const auto a = static_cast<OvUInt16>(y * 3 + x), b = static_cast<OvUInt16>(a + 1),
                       c = static_cast<OvUInt16>(a + 3), d = static_cast<OvUInt16>(c + 1);
            OvGeometryTriangleSetVertexIndices(g, &g->triangles[t], a, b, c);
            OvGeometryTriangleSetMaterial(g, &g->triangles[t++], m);
            OvGeometryTriangleSetVertexIndices(g, &g->triangles[t], b, d, c);
            OvGeometryTriangleSetMaterial(g, &g->triangles[t++], m);
        }
    }
    OvMaterialDestroy(m);
    g = OvGeometryUnlock(g);
    if (g == nullptr) {
        return nullptr;
    }
    OvAtomic* atomic = OvAtomicCreate();
    if (atomic == nullptr) {
        OvGeometryDestroy(g);
        return nullptr;
    }
    OvAtomicSetGeometry(atomic, g, 0);
    OvGeometryDestroy(g);
    *material = g->matList.materials[0];
    return OvMaterialEffectsAtomicEnable(atomic);
}

void DrawOnce(const std::uint8_t* data, std::size_t size) {
    const std::uint8_t choice = data[0];
    OvMaterial* material = nullptr;
    OvAtomic* atomic = Grid((choice & 0x20) != 0, &material);
    if (atomic == nullptr) {
        return;
    }
    if ((choice & 0x04) != 0) {
        OvTexture* base = Texture((choice & 0x08) != 0);
        OvMaterialSetTexture(material, base);
        if (base != nullptr) {
            OvTextureDestroy(base);
        }
    }
    OvStream* stream = fuzzkit::OpenMemoryStream(data + 1, size - 1);
    if (stream != nullptr && OvMaterialEffectsStreamRead(stream, static_cast<OvInt32>(size - 1), material) != nullptr) {
        const bool alpha = (choice & 0x10) != 0;
        if (OvMaterialEffectsSlot* bump = OvMaterialEffectsFindSlot(material, ovMATFXKINDBUMP)) {
            if (bump->texture == nullptr && bump->source == nullptr) {
                OvTexture* source = Texture(alpha);
                OvMaterialEffectsSetBumpTexture(material, source);
                if (source != nullptr) {
                    OvTextureDestroy(source);
                }
            }
        }
        OvMaterialEffects* fx = OvMaterialEffectsGet(material);
        for (OvMaterialEffectsSlot& s : fx->slots) {
            if ((s.kind == ovMATFXKINDENV || s.kind == ovMATFXKINDDUAL) && s.texture == nullptr) {
                s.texture = Texture(alpha);
            }
        }
        OvD3D9SetRenderState(D3DRS_LIGHTING, (choice & 0x40) != 0 ? TRUE : FALSE);
        for (int k = 0; k < 2; ++k) {
            OvAtomicDefaultRenderCallback(atomic);
        }
    }
    if (stream != nullptr) {
        OvStreamClose(stream, nullptr);
    }
    OvAtomicDestroy(atomic);
    OvError ignored;
    OvErrorGet(&ignored);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 1 || size > 0x10000 || !DriverUp(data[0] & 3)) {
        return 0;
    }
    IDirect3DDevice9* device = OvD3D9GetDevice();
    DrawOnce(data, size);
    const int live = D3d9LiveObjects(device);
    DrawOnce(data, size);
    if (D3d9LiveObjects(device) != live) {
        std::abort(); // a draw left device objects behind
    }
    return 0;
}
