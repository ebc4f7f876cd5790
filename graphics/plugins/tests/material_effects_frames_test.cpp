// Material effects in drawn frames: one scene (a curved, textured grid lit by its vertex colours)
// with the plain material and with each effect, drawn on the software device once with its pixel
// shaders and once with them hidden, so the plugin takes its passes without shaders. Every effect
// changes the picture, and the two ways draw the same picture within 3 of 255 a channel: the
// blended passes round their result to the frame buffer's 8 bits after each pass (up to three
// passes here, half a step each) and carry the coefficient as a byte (0.5 becomes 128 / 255),
// where the shader works on the unrounded values.

#include "graphics/core/texture.h"
#include "graphics/plugins/material_effects.h"
#include "graphics/plugins/tests/plugin_test_kit.h"
#include "graphics/world/clump.h"
#include "graphics/world/geometry.h"
#include "graphics/world/material.h"
#include "graphics/world/testkit/headless_engine.h"
#include "graphics/world/tests/world_test_kit.h"
#include "graphics/world/world.h"
#include "platform/d3d9_control.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

constexpr int kSize = 64;

// A texture of w x h texels from colour(x, y) (0xAARRGGBB), with alpha or without.
template <typename F> OvTexture* Texture(const char* name, int w, int h, bool alpha, F colour) {
    OvRaster* raster = OvRasterCreate(w, h, 32, ovRASTERTYPETEXTURE | (alpha ? ovRASTERFORMAT8888 : ovRASTERFORMAT888));
    EXPECT_NE(raster, nullptr);
    OvUInt8* p = OvRasterLock(raster, 0, ovRASTERLOCKWRITE);
    EXPECT_NE(p, nullptr);
    for (int y = 0; y < h && p != nullptr; ++y) {
        for (int x = 0; x < w; ++x) {
            const OvUInt32 c = colour(x, y);
            std::memcpy(p + y * raster->stride + 4 * x, &c, 4);
        }
    }
    OvRasterUnlock(raster);
    OvTexture* t = OvTextureCreate(raster);
    OvTextureSetName(t, name);
    return t;
}

// An 8 x 8 grid of quads in front of the camera, its normals leaning outwards like a dome's (so
// that the environment varies over it), prelit, two texture repeats.
OvAtomic* Grid(OvMaterial** materialOut) {
    constexpr int n = 8;
    constexpr int verts = (n + 1) * (n + 1);
    OvGeometry* g = OvGeometryCreate(
        verts, 2 * n * n, ovGEOMETRYPOSITIONS | ovGEOMETRYNORMALS | ovGEOMETRYPRELIT | ovGEOMETRYTEXTURED | (1u << 16));
    OvMaterial* material = OvMaterialCreate();
    for (int j = 0; j <= n; ++j) {
        for (int i = 0; i <= n; ++i) {
            const int k = j * (n + 1) + i;
            const float x = 2.0f * static_cast<float>(i) / n - 1, y = 2.0f * static_cast<float>(j) / n - 1;
            g->morphTarget[0].verts[k] = {x, y, 0.0f};
            const float len = std::sqrt(0.36f * (x * x + y * y) + 1);
            g->morphTarget[0].normals[k] = {0.6f * x / len, 0.6f * y / len, -1 / len};
            g->preLitLum[k] = {230, 230, 230, 255};
            g->texCoords[0][k] = {x + 1, 1 - y};
        }
    }
    worldtest::GridTriangles(g, n, material);
    OvMaterialDestroy(material);
    return EffectsAtomicOf(g, materialOut);
}

struct Effect {
    const char* name;
    OvUInt32 type;
    bool base;     // the material has its texture
    bool envAlpha; // the environment texture has alpha
    bool frameBufferAlpha;
};

struct Frame {
    std::vector<OvUInt32> pixels; // 0xRRGGBB
    int draws = 0;
    bool shaders = false; // the plugin found pixel shaders
};

// One frame of the scene with the effect on the stand-in's device.
Frame DrawOn(const Effect& e) {
    Frame f;
    OvHeadlessWorldEngine engine("material_effects_frames_test", kSize, kSize, {OvMaterialEffectsPluginAttach});
    EXPECT_TRUE(engine.up);
    f.shaders = OvMaterialEffectsGetDeviceFlags()->pixelShaders != 0;
    OvHeadlessCamera view(engine, kSize, kSize, 0, 0, -2.2f, 0, 0, 60.0f, 50.0f);
    EXPECT_NE(view.camera, nullptr);
    if (!engine.up || view.camera == nullptr) {
        return f;
    }
    OvMaterial* material = nullptr;
    OvAtomic* atomic = Grid(&material);
    if (e.base) {
        OvTexture* base = Texture("stone", 8, 8, false,
                                  [](int x, int y) { return (x / 2 + y / 2) % 2 != 0 ? 0xFFC8783Cu : 0xFF5AA0D2u; });
        OvMaterialSetTexture(material, base);
        OvTextureDestroy(base);
    }
    OvFrame* light = OvFrameCreate();
    const OvV3d lightAt = {3.0f, 2.0f, -1.0f};
    OvFrameTranslate(light, &lightAt, ovCOMBINEREPLACE);
    if (e.type != ovMATFXNONE) {
        OvMaterialEffectsSetType(material, e.type);
    }
    if (OvMaterialEffectsSlot* bump = OvMaterialEffectsFindSlot(material, ovMATFXKINDBUMP)) {
        // Stripes of height two texels wide.
        OvTexture* height =
            Texture("ridges", 8, 8, false, [](int x, int) { return (x / 2) % 2 != 0 ? 0xFFFFFFFFu : 0xFF202020u; });
        EXPECT_EQ(OvMaterialEffectsSetBumpTexture(material, height), material);
        OvTextureDestroy(height);
        bump->coefficient = 1.5f;
        bump->frame = light;
    }
    if (OvMaterialEffectsSlot* env = OvMaterialEffectsFindSlot(material, ovMATFXKINDENV)) {
        env->texture = Texture("sky", 8, 8, e.envAlpha, [](int x, int y) {
            return static_cast<OvUInt32>(0x60 + 0x14 * y) << 24 | static_cast<OvUInt32>(0x20 * x) << 16 | 0xC800u |
                   static_cast<OvUInt32>(0xFF - 0x18 * y);
        });
        env->coefficient = 0.5f;
        env->frameBufferAlpha = e.frameBufferAlpha ? 1 : 0;
    }
    D3d9LogEnable(true);
    D3d9LogClear();
    view.Frame([&] { OvAtomicDefaultRenderCallback(atomic); });
    f.draws = D3d9LogCount("DrawIndexedPrimitive");
    D3d9LogEnable(false);
    OvRaster* target = view.camera->frameBuffer;
    const OvUInt8* p = OvRasterLock(target, 0, ovRASTERLOCKREAD);
    EXPECT_NE(p, nullptr);
    for (int y = 0; y < kSize && p != nullptr; ++y) {
        for (int x = 0; x < kSize; ++x) {
            OvUInt32 c;
            std::memcpy(&c, p + y * target->stride + 4 * x, 4);
            f.pixels.push_back(c & 0xFFFFFFu);
        }
    }
    OvRasterUnlock(target);
    OvAtomicDestroy(atomic);
    OvFrameDestroy(light);
    return f;
}

int Channel(OvUInt32 c, int k) { return static_cast<int>((c >> (8 * k)) & 0xFF); }

// Pixels whose channels differ by more than 24 in all, and the largest difference of one channel.
void Compare(const Frame& a, const Frame& b, int* differing, int* worst) {
    *differing = *worst = 0;
    for (std::size_t i = 0; i < a.pixels.size() && i < b.pixels.size(); ++i) {
        int sum = 0;
        for (int k = 0; k < 3; ++k) {
            const int d = std::abs(Channel(a.pixels[i], k) - Channel(b.pixels[i], k));
            sum += d;
            *worst = std::max(*worst, d);
        }
        *differing += sum > 24;
    }
}

// The same with the device's pixel shaders shown or hidden by the device's own setting.
Frame Draw(const Effect& e, bool shaders) {
    if (!shaders) {
        setenv("PLATFORM_PIXEL_SHADERS", "0", 1);
    }
    Frame f = DrawOn(e);
    unsetenv("PLATFORM_PIXEL_SHADERS");
    D3d9ResetStandIn();
    return f;
}

TEST(MaterialEffectsFrames, EachEffectChangesThePictureAndShadersDrawItAsThePassesDo) {
    const Effect plainTextured{"plain", ovMATFXNONE, true, false, false};
    const Effect plainUntextured{"plain without texture", ovMATFXNONE, false, false, false};
    const Effect effects[] = {
        {"bump", ovMATFXBUMP, true, false, false},
        {"environment over a base", ovMATFXENV, true, true, false},
        {"environment alone", ovMATFXENV, false, true, false},
        {"bump and environment", ovMATFXBUMPENV, true, true, false},
        {"bump and environment, frame-buffer alpha", ovMATFXBUMPENV, true, true, true},
        {"bump and environment, frame-buffer alpha, opaque environment", ovMATFXBUMPENV, true, false, true},
    };
    const Frame plain = Draw(plainTextured, true), plainBare = Draw(plainUntextured, true);
    ASSERT_EQ(plain.pixels.size(), static_cast<std::size_t>(kSize * kSize));
    // The grid covers most of the frame.
    const int covered =
        static_cast<int>(std::count_if(plain.pixels.begin(), plain.pixels.end(), [](OvUInt32 c) { return c != 0; }));
    EXPECT_GT(covered, kSize * kSize / 2);
    for (const Effect& e : effects) {
        SCOPED_TRACE(e.name);
        const Frame shaded = Draw(e, true), passes = Draw(e, false);
        ASSERT_TRUE(shaded.shaders);
        ASSERT_FALSE(passes.shaders);
        // One draw with the shader; the blended passes take two or three.
        EXPECT_EQ(shaded.draws, 1);
        EXPECT_GE(passes.draws, 2);
        int differing = 0, worst = 0;
        Compare(shaded, e.base ? plain : plainBare, &differing, &worst);
        EXPECT_GT(differing, covered / 10) << "the effect hardly shows";
        Compare(shaded, passes, &differing, &worst);
        EXPECT_LE(worst, 3) << "shader and passes disagree on " << differing << " pixels";
    }
}

} // namespace
