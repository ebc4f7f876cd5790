// Material effects on the stand-in device against the same model without them.
//
//   effects_frame/TYPE/W: one camera update drawing a 64 x 64-quad textured grid filling the view
//     (4,225 vertices, 8,192 triangles) whose material has the effect type: 0 none, 1 bump map
//     (processor pass into the 44-byte format, two passes), 2 environment map (one pass, the
//     environment added on stage 1), 4 dual texture (one pass on two stages). At W = 1 the
//     pixel work is almost nil, so that time is the effect's share outside the rasteriser.
//     Milliseconds per frame.
//   effects_bump_vertices: the processor pass of bump mapping alone over 4,225 vertices;
//     vertices per second.

#include <benchmark/benchmark.h>

#include <vector>

#include "graphics/core/camera.h"
#include "graphics/core/d3d9/device.h"
#include "graphics/core/engine.h"
#include "graphics/core/raster.h"
#include "graphics/core/texture.h"
#include "graphics/plugins/material_effects.h"
#include "graphics/world/clump.h"
#include "graphics/world/geometry.h"
#include "graphics/world/material.h"
#include "graphics/world/testkit/headless_engine.h"
#include "graphics/world/testkit/world_camera.h"
#include "graphics/world/world_plugin.h"
#include "platform/d3d9_control.h"
#include "testing/headless_window.h"

namespace {

constexpr int kQuads = 64;

OvTexture* Texture(const char* name, OvUInt32 seed) {
    OvRaster* raster = OvRasterCreate(64, 64, 32, ovRASTERTYPETEXTURE | ovRASTERFORMAT888);
    if (raster == nullptr) {
        return nullptr;
    }
    if (OvUInt8* p = OvRasterLock(raster, 0, ovRASTERLOCKWRITE)) {
        for (OvInt32 y = 0; y < 64; ++y) {
            for (OvInt32 x = 0; x < 64 * 4; ++x) {
                p[y * raster->stride + x] = static_cast<OvUInt8>((x * seed + y * 7) & 0xFF);
            }
        }
        OvRasterUnlock(raster);
    }
    OvTexture* t = OvTextureCreate(raster);
    OvTextureSetName(t, name);
    return t;
}

// A textured grid of kQuads x kQuads quads in the plane z = 1.5 across [-1, 1] in x and y.
OvAtomic* Grid(OvMaterial** materialOut) {
    const int n = kQuads, verts = (n + 1) * (n + 1);
    OvGeometry* g = OvGeometryCreate(verts, 2 * n * n,
                                     ovGEOMETRYPOSITIONS | ovGEOMETRYNORMALS | ovGEOMETRYPRELIT | ovGEOMETRYTEXTURED |
                                         ovGEOMETRYLIGHT | (1u << 16));
    if (g == nullptr) {
        return nullptr;
    }
    OvMaterial* material = OvMaterialCreate();
    for (int y = 0; y <= n; ++y) {
        for (int x = 0; x <= n; ++x) {
            const int i = y * (n + 1) + x;
            g->morphTarget[0].verts[i] = {2.0f * x / n - 1.0f, 2.0f * y / n - 1.0f, 1.5f};
            g->morphTarget[0].normals[i] = {0.0f, 0.0f, -1.0f};
            g->preLitLum[i] = {200, 200, 200, 255};
            g->texCoords[0][i] = {4.0f * x / n, 4.0f * y / n};
        }
    }
    int t = 0;
    for (int y = 0; y < n; ++y) {
        for (int x = 0; x < n; ++x) {
            const auto a = static_cast<OvUInt16>(y * (n + 1) + x), b = static_cast<OvUInt16>(a + 1),
                       c = static_cast<OvUInt16>(a + n + 1), d = static_cast<OvUInt16>(c + 1);
            OvGeometryTriangleSetVertexIndices(g, &g->triangles[t], a, b, c);
            OvGeometryTriangleSetMaterial(g, &g->triangles[t++], material);
            OvGeometryTriangleSetVertexIndices(g, &g->triangles[t], b, d, c);
            OvGeometryTriangleSetMaterial(g, &g->triangles[t++], material);
        }
    }
    OvMaterialDestroy(material);
    g = OvGeometryUnlock(g);
    OvAtomic* atomic = OvAtomicCreate();
    OvAtomicSetGeometry(atomic, g, 0);
    OvGeometryDestroy(g);
    *materialOut = g->matList.materials[0];
    return OvMaterialEffectsAtomicEnable(atomic);
}

void EffectsFrame(benchmark::State& state) {
    const auto type = static_cast<OvUInt32>(state.range(0));
    const int width = static_cast<int>(state.range(1)), height = width * 3 / 4 > 0 ? width * 3 / 4 : 1;
    OvHeadlessWorldEngine engine("material_effects_bench", width, height, {OvMaterialEffectsPluginAttach});
    OvMaterial* material = nullptr;
    OvAtomic* atomic = engine.up ? Grid(&material) : nullptr;
    OvHeadlessCamera view(engine, width, height);
    if (atomic == nullptr || view.camera == nullptr) {
        state.SkipWithError("no engine, model, camera or rasters");
    } else {
        OvTexture* base = Texture("base", 3);
        OvMaterialSetTexture(material, base);
        OvTextureDestroy(base);
        OvMaterialEffectsSetType(material, type);
        if (type == ovMATFXBUMP) {
            OvTexture* grain = Texture("grain", 5);
            OvMaterialEffectsSetBumpTexture(material, grain);
            OvTextureDestroy(grain);
            OvMaterialEffectsFindSlot(material, ovMATFXKINDBUMP)->coefficient = 1.5f;
        } else if (type == ovMATFXENV) {
            OvMaterialEffectsSlot* env = OvMaterialEffectsFindSlot(material, ovMATFXKINDENV);
            env->texture = Texture("sky", 9);
            env->coefficient = 1.0f;
        } else if (type == ovMATFXDUAL) {
            OvMaterialEffectsFindSlot(material, ovMATFXKINDDUAL)->texture = Texture("detail", 11);
            OvMaterialEffectsSetDualBlendModes(material, 9, 1);
        }
        for (auto _ : state) {
            view.Frame([&] { atomic->renderCallBack(atomic); });
        }
    }
    if (atomic != nullptr) {
        OvAtomicDestroy(atomic);
    }
}
BENCHMARK(EffectsFrame)->ArgsProduct({{0, 1, 2, 4}, {640, 1}})->ArgNames({"type", "w"})->Unit(benchmark::kMillisecond);

void EffectsBumpVertices(benchmark::State& state) {
    const int n = (kQuads + 1) * (kQuads + 1);
    std::vector<OvV3d> positions(n), normals(n, OvV3d{0.0f, 0.0f, -1.0f}), tangents(n, OvV3d{1.0f, 0.0f, 0.0f});
    std::vector<OvV2d> uvs(n);
    std::vector<OvUInt32> colors(n, 0xFFC8C8C8u);
    for (int i = 0; i < n; ++i) {
        positions[i] = {static_cast<float>(i % 65) / 32.0f - 1.0f, static_cast<float>(i / 65) / 32.0f - 1.0f, 1.5f};
        uvs[i] = {positions[i].x, positions[i].y};
    }
    std::vector<OvMaterialEffectsBumpVertex> out(n);
    const OvMaterialEffectsBumpLight light = {{0.5f, 2.0f, -1.0f}, FALSE};
    for (auto _ : state) {
        OvMaterialEffectsBumpVertices(out.data(), positions.data(), normals.data(), colors.data(), uvs.data(),
                                      tangents.data(), n, &light, 1.5f / 64.0f);
        benchmark::DoNotOptimize(out.data());
    }
    state.SetItemsProcessed(state.iterations() * n);
}
BENCHMARK(EffectsBumpVertices)->Unit(benchmark::kMicrosecond);

} // namespace

BENCHMARK_MAIN();
