// Generated vertex shaders: layout, text, assembly, the cache, transforms and constant uploads.

#include "graphics/world/d3d9_vertex_shader.h"

#include "graphics/core/camera.h"
#include "graphics/core/d3d9/camera.h"
#include "graphics/core/d3d9/device.h"
#include "graphics/core/d3d9/device_cache.h"
#include "graphics/core/d3d9/render_state.h"
#include "graphics/core/engine.h"
#include "platform/d3dx9.h"

#include <algorithm>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstring>

namespace {

constexpr OvUInt8 kNone = 0xFF;
constexpr OvUInt32 kCacheSize = 256;
constexpr OvUInt32 kSentinelKey = 0xFFFFFFFFu;

const OvUInt8 kEffectCounts[12] = {0, 2, 2, 4, 0, 0, 2, 2, 0, 2, 4, 6};

struct CacheEntry {
    OvUInt32 key;
    OvUInt32 stamp;
    IDirect3DVertexShader9* shader;
    OvD3D9VertexShaderLayout layout;
};

struct ShaderCache {
    CacheEntry entries[kCacheSize];
    OvUInt32 count;
    CacheEntry* lastHit;
    OvInt32 profile;
    OvUInt32 constantLimit;
    OvUInt32 declTypes;
    bool wFog;
};

ShaderCache gCache = {};

void EmptyCache() {
    gCache.count = 0;
    gCache.entries[0].key = kSentinelKey;
    gCache.entries[0].shader = nullptr;
    gCache.lastHit = &gCache.entries[0];
}

// The text buffer: large enough for fifteen lights of each kind with four bones and kind 11.
constexpr std::size_t kTextSize = 64 * 1024;
char gText[kTextSize];
std::size_t gTextLength = 0;
bool gTextOverflow = false;

#if defined(__GNUC__)
__attribute__((format(printf, 1, 2)))
#endif
void Line(const char* format, ...) {
    if (gTextOverflow)
        return;
    va_list args;
    va_start(args, format);
    const int n = std::vsnprintf(gText + gTextLength, kTextSize - gTextLength, format, args);
    va_end(args);
    if (n < 0 || static_cast<std::size_t>(n) + 2 > kTextSize - gTextLength) {
        gTextOverflow = true;
        return;
    }
    gTextLength += static_cast<std::size_t>(n);
    gText[gTextLength++] = '\n';
    gText[gTextLength] = 0;
}

const char kComp[] = "xyzw";
const char* const kMask[] = {"", "x", "xy", "xyz", "xyzw"};
const char* const kReplicate[] = {"xxx", "yyy", "zzz", "www"};

OvUInt32 Groups(OvUInt32 lights) { return (lights + 3) / 4; }

// What a descriptor asks for, decoded once.
struct Needs {
    OvUInt32 directional, point, spot, sets, bones, fog, effect;
    bool morph, color, normals, normalize, material;
    bool litNormals, tangent;
    OvUInt32 lights() const { return directional + point + spot; }
};

Needs Decode(const OvD3D9VertexShaderDesc* d) {
    Needs n{};
    n.directional = OvD3D9VertexShaderDescDirectional(d);
    n.point = OvD3D9VertexShaderDescPoint(d);
    n.spot = OvD3D9VertexShaderDescSpot(d);
    n.sets = OvD3D9VertexShaderDescTexSets(d);
    n.bones = OvD3D9VertexShaderDescBones(d);
    n.fog = OvD3D9VertexShaderDescFog(d);
    n.effect = OvD3D9VertexShaderDescEffect(d);
    n.morph = (d->flags & ovVSMORPH) != 0;
    n.color = (d->flags & ovVSVERTEXCOLOR) != 0;
    n.normals = (d->flags & ovVSNORMALS) != 0;
    n.normalize = (d->flags & ovVSNORMALIZE) != 0;
    n.material = (d->flags & ovVSMATERIALCOLOR) != 0;
    const OvUInt32 e = n.effect;
    n.litNormals = (n.normals && n.lights() > 0) || e == 1 || e == 2 || e == 3 || (e >= 8 && e <= 11);
    n.tangent = n.litNormals && (e == 8 || e == 9);
    return n;
}

// First registers of the point and spot groups.
OvUInt32 PointBase(const Needs& n) { return 5 + 2 * n.directional; }
OvUInt32 SpotBase(const Needs& n) { return PointBase(n) + 2 * n.point + Groups(n.point); }
OvUInt32 LightEnd(const Needs& n) { return SpotBase(n) + 4 * n.spot + Groups(n.spot); }

// Text ----------------------------------------------------------------------------------------------

struct Writer {
    const Needs& n;
    const OvD3D9VertexShaderLayout& layout;
    OvInt32 profile;
    const char* pos = "v0";  // position register from the transform on
    const char* norm = "v3"; // normal register

    bool Vs1() const { return profile == ovVSPROFILE11; }

    void Declarations() {
        Line("dcl_position0 v0");
        if (n.bones > 0) {
            if (n.bones > 1)
                Line("dcl_blendweight0 v1");
            Line("dcl_blendindices0 v2");
        }
        if (n.color)
            Line("dcl_color0 v4");
        if (n.litNormals)
            Line("dcl_normal0 v3");
        if (n.tangent)
            Line("dcl_tangent0 v13");
        switch (n.effect) {
        case 1:
        case 2:
        case 3:
        case 5:
        case 6:
        case 10:
        case 11:
            if (n.sets > 0)
                Line("dcl_texcoord0 v5");
            break;
        case 4:
        case 7:
            if (n.sets >= 2)
                Line("dcl_texcoord1 v6");
            break;
        default:
            for (OvUInt32 i = 0; i < n.sets; ++i)
                Line("dcl_texcoord%u v%u", i, 5 + i);
            break;
        }
        if (n.morph) {
            Line("dcl_position1 v14");
            if (n.litNormals)
                Line("dcl_normal1 v15");
        }
    }

    void Position() {
        if (!n.morph && n.bones == 0) {
            Line("m4x4 oPos.xyzw, v0, c[0]");
            return;
        }
        const char* srcPos = "v0";
        const char* srcNorm = "v3";
        if (n.morph) {
            const int m = layout.morph;
            if (n.bones == 0) {
                Line("mul r3, v0, c[%d].x", m);
                Line("mad r3, v14, c[%d].y, r3", m);
                if (n.litNormals) {
                    Line("mul r5, v3, c[%d].x", m);
                    Line("mad r5, v15, c[%d].y, r5", m);
                }
            } else {
                Line("mul r2, v0, c[%d].x", m);
                Line("mad r2, v14, c[%d].y, r2", m);
                srcPos = "r2";
                if (n.litNormals) {
                    Line("mul r4, v3, c[%d].x", m);
                    Line("mad r4, v15, c[%d].y, r4", m);
                    srcNorm = "r4";
                }
            }
        }
        const int b = layout.bones;
        if (n.bones == 1) {
            Line(Vs1() ? "mov a0.x, v2.x" : "mova a0.x, v2.x");
            Line("m4x3 r3.xyz, %s, c[a0.x + %d]", srcPos, b);
            if (n.litNormals)
                Line("m3x3 r5.xyz, %s, c[a0.x + %d]", srcNorm, b);
        } else if (n.bones > 1) {
            if (!Vs1())
                Line("mova a0.%s, v2", kMask[n.bones]);
            if (n.litNormals) {
                // The weighted sum of the bone matrices in r8, r9, r10.
                for (OvUInt32 i = 0; i < n.bones; ++i) {
                    const char c = kComp[i];
                    if (Vs1())
                        Line("mov a0.x, v2.%c", c);
                    const char a = Vs1() ? 'x' : c;
                    for (int row = 0; row < 3; ++row) {
                        if (i == 0)
                            Line("mul r%d, v1.%c, c[a0.%c + %d]", 8 + row, c, a, b + row);
                        else
                            Line("mad r%d, v1.%c, c[a0.%c + %d], r%d", 8 + row, c, a, b + row, 8 + row);
                    }
                }
                Line("m4x3 r3.xyz, %s, r8", srcPos);
                Line("m3x3 r5.xyz, %s, r8", srcNorm);
            } else {
                for (OvUInt32 i = 0; i < n.bones; ++i) {
                    const char c = kComp[i];
                    if (Vs1()) {
                        Line("mov a0.x, v2.%c", c);
                        Line("m4x3 r5.xyz, %s, c[a0.x + %d]", srcPos, b);
                    } else {
                        Line("m4x3 r5.xyz, %s, c[a0.%c + %d]", srcPos, c, b);
                    }
                    if (i == 0)
                        Line("mul r3.xyz, v1.%c, r5.xyz", c);
                    else
                        Line("mad r3.xyz, v1.%c, r5.xyz, r3.xyz", c);
                }
            }
        }
        Line("mov r3.w, v0.w");
        Line("m4x4 oPos.xyzw, r3, c[0]");
        pos = "r3";
        norm = "r5";
    }

    void Fog() {
        if (n.fog == ovVSFOGNONE)
            return;
        if (gCache.wFog) {
            Line("dp4 oFog, %s, c[3]", pos);
            return;
        }
        const int f = layout.fog;
        Line("dp4 r0.w, %s, c[3]", pos);
        if (n.fog == ovVSFOGLINEAR) {
            Line("mad oFog, r0.w, c[%d].x, c[%d].y", f, f);
            return;
        }
        Line("mul r0.w, r0.w, c[%d].x", f);
        if (n.fog == ovVSFOGEXP2)
            Line("mul r0.w, r0.w, r0.w");
        if (Vs1()) {
            // vs_1_1's expp writes 2^x into z and 1 into w: the factor is read from z.
            Line("expp r0.z, r0.w");
            Line("rcp oFog, r0.z");
        } else {
            Line("expp r0.w, r0.w");
            Line("rcp oFog, r0.w");
        }
    }

    void Renormalize() {
        if (!n.litNormals || !n.normalize)
            return;
        Line("dp3 r5.w, %s, %s", norm, norm);
        Line("rsq r5.w, r5.w");
        Line("mul r5.xyz, %s, r5.w", norm);
        norm = "r5";
    }

    // Accumulates the lights [first, first + count) of a group whose intensities are in r6.
    void Accumulate(int colorBase, int stride, OvUInt32 count, bool lastGroup) {
        for (OvUInt32 i = 0; i < count; ++i) {
            const int color = colorBase + stride * static_cast<int>(i);
            if (lastGroup && i + 1 == count && !n.material)
                Line("mad oD0, c[%d], r6.%c, r11", color, kComp[i]);
            else
                Line("mad r11.xyz, c[%d].xyz, r6.%s, r11.xyz", color, kReplicate[i]);
        }
    }

    void Color() {
        const char* base = n.color ? "add %s, v4, c[4]" : "mov %s, c[4]";
        if (!n.litNormals || n.lights() == 0) {
            if (n.material) {
                Line(base, "r11");
                Line("mul oD0, r11, c[%d]", layout.materialColor);
            } else {
                Line(base, "oD0");
            }
            return;
        }
        Line(base, "r11");
        // Directional lights, four to a group.
        for (OvUInt32 g = 0; g < Groups(n.directional); ++g) {
            const OvUInt32 count = std::min<OvUInt32>(4, n.directional - 4 * g);
            const int first = static_cast<int>(5 + 8 * g);
            for (OvUInt32 i = 0; i < count; ++i)
                Line("dp3 r6.%c, c[%d], %s", kComp[i], first + 2 * static_cast<int>(i), norm);
            Line("max r6.%s, c[5].w, -r6.%s", kMask[count], kMask[count]);
            const bool last = n.point == 0 && n.spot == 0 && g + 1 == Groups(n.directional);
            Accumulate(first + 1, 2, count, last);
        }
        // Point lights: the group's 1/radius register, then position and colour a light.
        int group = static_cast<int>(PointBase(n));
        for (OvUInt32 g = 0; g < Groups(n.point); ++g) {
            const OvUInt32 count = std::min<OvUInt32>(4, n.point - 4 * g);
            for (OvUInt32 i = 0; i < count; ++i)
                PointSteps(group + 1 + 2 * static_cast<int>(i), kComp[i]);
            PointGroup(group, count);
            const bool last = n.spot == 0 && g + 1 == Groups(n.point);
            Accumulate(group + 2, 2, count, last);
            group += 1 + 2 * static_cast<int>(count);
        }
        // Spot lights: the group's register, then position, direction, cone and colour a light.
        for (OvUInt32 g = 0; g < Groups(n.spot); ++g) {
            const OvUInt32 count = std::min<OvUInt32>(4, n.spot - 4 * g);
            for (OvUInt32 i = 0; i < count; ++i) {
                const int l = group + 1 + 4 * static_cast<int>(i);
                const char c = kComp[i];
                PointSteps(l, c);
                Line("mul r7.xyz, r7.xyz, r1.%c", c);
                Line("dp3 r7.w, r7, c[%d]", l + 1);
                Line("mad r9.%c, r7.w, c[%d].x, c[%d].y", c, l + 2, l + 2);
            }
            const char* m = kMask[count];
            Line("max r9.%s, c[%d].wwww, r9.%s", m, group + 1, m);
            PointGroup(group, count);
            Line("mul r6.%s, r6.%s, r9.%s", m, m, m);
            Accumulate(group + 4, 4, count, g + 1 == Groups(n.spot));
            group += 1 + 4 * static_cast<int>(count);
        }
        if (n.material)
            Line("mul oD0, r11, c[%d]", layout.materialColor);
    }

    // Per point light: r7 = P - L, r1.c = 1 / |P - L|, r6.c = N . (P - L).
    void PointSteps(int position, char c) {
        Line("add r7.xyz, -c[%d].xyz, %s.xyz", position, pos);
        Line("dp3 r1.%c, r7, r7", c);
        Line("rsq r1.%c, r1.%c", c, c);
        Line("dp3 r6.%c, %s, r7", c, norm);
    }

    // Per group: r6 = max(0, N . (L - P)) * max(0, 1/d - 1/radius).
    void PointGroup(int group, OvUInt32 count) {
        const char* m = kMask[count];
        Line("max r8.%s, c[%d].%s, r1.%s", m, group, m, m);
        Line("max r6.%s, c[%d].wwww, -r6.%s", m, group + 1, m);
        Line("add r8.%s, -c[%d].%s, r8.%s", m, group, m, m);
        Line("mul r6.%s, r6.%s, r8.%s", m, m, m);
    }

    void Normalize1() {
        Line("dp3 r1.w, r1, r1");
        Line("rsq r1.w, r1.w");
        Line("mul r1.xyz, r1, r1.w");
    }

    void Tangent() {
        const int b = layout.bones;
        if (n.bones == 0)
            Line("mov r4, v13");
        else if (n.bones == 1)
            Line("m3x3 r4.xyz, v13, c[a0.x + %d]", b);
        else
            Line("m3x3 r4.xyz, v13, r8");
        if (n.bones > 0 && n.normalize) {
            Line("dp3 r4.w, r4, r4");
            Line("rsq r4.w, r4.w");
            Line("mul r4.xyz, r4, r4.w");
        }
        Line("slt r4.w, v13.w, v13.w");
        if (n.morph || n.bones > 0)
            Line("mov %s.w, v3.w", norm);
        Line("mul r2, r4.zxyw, %s.yzxw", norm);
        Line("mad r2, r4.yzxw, %s.zxyw, -r2", norm);
        if (n.normalize) {
            Line("dp3 r2.w, r2, r2");
            Line("rsq r2.w, r2.w");
            Line("mul r2.xyz, r2, r2.w");
        }
        if (n.color)
            Line("mov oD0, v4");
        // The first light in tangent space.
        const char* scale = nullptr;
        if (n.directional > 0) {
            Line("dp3 r1.x, c[5], r4");
            Line("dp3 r1.y, c[5], r2");
            Line("dp3 r1.z, c[5], %s", norm);
            Normalize1();
            scale = "w";
        } else if (n.point > 0 || n.spot > 0) {
            const int g = static_cast<int>(n.point > 0 ? PointBase(n) : SpotBase(n));
            Line("add r7.xyz, c[1 + %d].xyz, -%s.xyz", g, pos);
            Line("dp3 r7.w, r7, r7");
            Line("rsq r7.w, r7.w");
            Line("mul r7.xyz, r7, r7.w");
            Line("dp3 r1.x, r7, r4");
            Line("dp3 r1.y, r7, r2");
            Line("dp3 r1.z, r7, %s", norm);
            Normalize1();
            Line("rcp r7.w, r7.w");
            Line("mad r7.w, r7.w, c[5].x, c[5].y");
            Line("max r7.w, r7.w, c[5].w");
            Line("mul r1.xyz, r1, r7.w");
            if (n.point == 0) {
                // r7 points at the light; the cone is measured along the light's direction.
                Line("dp3 r9.w, -r7, c[2 + %d]", g);
                Line("mad r9.w, r9.w, c[3 + %d].x, c[3 + %d].y", g, g);
                Line("max r9.w, r9.w, c[5].w");
                Line("mul r1.xyz, r1, r9.w");
            }
            scale = "z";
        }
        if (scale != nullptr) {
            const char* out = n.effect == 8 ? "oT2.xyz" : (n.color ? "oD1.xyz" : "oD0.xyz");
            Line("mad %s, r1, c[5].%s, c[5].%s", out, scale, scale);
        }
        if (n.effect == 9) {
            const int e = layout.effect;
            for (int k = 0; k < 2; ++k) {
                Line("dp3 oT%d.x, c[%d], r4", 2 + k, e + k);
                Line("dp3 oT%d.y, c[%d], r2", 2 + k, e + k);
                Line("dp3 oT%d.z, c[%d], %s", 2 + k, e + k, norm);
            }
        }
        if (n.sets > 0) {
            Line("mov oT0.xy, v%u", 4 + n.sets);
            Line("mov oT1.xy, v5");
        }
    }

    // r7 = the reflection of normalise(c[eye] - P) about N, then three rows into `out`.
    void Reflection(int eye, int rows, int out) {
        Line("add r7.xyz, c[%d].xyz, -%s.xyz", eye, pos);
        Line("dp3 r7.w, r7, r7");
        Line("rsq r7.w, r7.w");
        Line("mul r7.xyz, r7, r7.w");
        Line("dp3 r7.w, %s, r7", norm);
        Line("add r7.w, r7.w, r7.w");
        Line("mad r7.xyz, %s, r7.w, -r7", norm);
        for (int k = 0; k < 3; ++k)
            Line("dp3 oT%d.%c, r7, c[%d]", out, kComp[k], rows + k);
    }

    void Offset(int e) {
        Line("dp3 r9.x, %s, c[%d]", norm, e);
        Line("dp3 r9.y, %s, c[%d]", norm, e + 1);
        Line("mov oT0.xy, v5");
        Line("add oT1.xy, r9.xy, v5.xy");
    }

    void Textures() {
        const int e = layout.effect;
        switch (n.effect) {
        case 0:
            for (OvUInt32 i = 0; i < n.sets; ++i)
                Line("mov oT%u.xy, v%u", i, 5 + i);
            break;
        case 1:
            Offset(e);
            break;
        case 2:
            if (n.sets > 0)
                Line("mov oT0.xy, v5");
            Line("dp4 oT%d.x, %s, c[%d]", n.sets > 0 ? 1 : 0, norm, e);
            Line("dp4 oT%d.y, %s, c[%d]", n.sets > 0 ? 1 : 0, norm, e + 1);
            break;
        case 3:
            Line("dp4 oT2.x, %s, c[%d]", norm, e + 2);
            Line("dp4 oT2.y, %s, c[%d]", norm, e + 3);
            Offset(e);
            break;
        case 4:
            Line("mov oT0.xy, v6");
            break;
        case 5:
            Line("mov oT0.xy, v5");
            Line("mov oT1.xy, v5");
            break;
        case 6:
        case 7:
            Line("dp4 oT0.x, v%d, c[%d]", n.effect == 6 ? 5 : 6, e);
            Line("dp4 oT0.y, v%d, c[%d]", n.effect == 6 ? 5 : 6, e + 1);
            break;
        case 10:
            if (n.sets > 0)
                Line("mov oT0.xy, v5");
            Reflection(e, e + 1, n.sets > 0 ? 1 : 0);
            break;
        case 11:
            Offset(e);
            Reflection(e + 2, e + 3, 2);
            break;
        default: // 8 and 9: the tangent path
            break;
        }
    }
};

const char* ProfileName(OvInt32 profile) {
    switch (profile) {
    case ovVSPROFILE11:
        return "vs_1_1";
    case ovVSPROFILE20:
        return "vs_2_0";
    case ovVSPROFILE2X:
        return "vs_2_x";
    default:
        return nullptr;
    }
}

} // namespace

OvUInt32 OvD3D9VertexShaderDescKey(const OvD3D9VertexShaderDesc* d) {
    return OvUInt32{d->lights} | OvUInt32{d->spotsSets} << 8 | OvUInt32{d->flags} << 16 | OvUInt32{d->fogEffect} << 24;
}

OvD3D9VertexShaderDesc OvD3D9VertexShaderDescFromKey(OvUInt32 key) {
    return OvD3D9VertexShaderDesc{static_cast<OvUInt8>(key), static_cast<OvUInt8>(key >> 8),
                                  static_cast<OvUInt8>(key >> 16), static_cast<OvUInt8>(key >> 24)};
}

OvUInt32 OvD3D9VertexShaderEffectConstants(OvUInt32 kind) { return kind < 12 ? kEffectCounts[kind] : 0; }

OvUInt32 OvD3D9VertexShaderDescGetNumConstants(const OvD3D9VertexShaderDesc* desc) {
    const Needs n = Decode(desc);
    return LightEnd(n) + (n.material ? 1 : 0) + (n.fog != 0 ? 1 : 0) + (n.morph ? 1 : 0) +
           OvD3D9VertexShaderEffectConstants(n.effect);
}

void OvD3D9VertexShaderMakeLayout(const OvD3D9VertexShaderDesc* desc, OvD3D9VertexShaderLayout* layout) {
    const Needs n = Decode(desc);
    std::memset(layout, kNone, sizeof *layout);
    OvUInt32 next = LightEnd(n);
    auto take = [&](OvUInt8* field) {
        *field = next < 256 ? static_cast<OvUInt8>(next) : kNone;
        ++next;
    };
    if (n.material)
        take(&layout->materialColor);
    if (n.fog != 0 && !gCache.wFog)
        take(&layout->fog);
    if (n.morph)
        take(&layout->morph);
    if (n.effect != 0 && n.effect < 12) {
        if (n.bones == 0) {
            layout->effect = next < 256 ? static_cast<OvUInt8>(next) : kNone;
        } else {
            const OvUInt32 count = kEffectCounts[n.effect];
            layout->effect = gCache.constantLimit >= count ? static_cast<OvUInt8>(gCache.constantLimit - count) : kNone;
        }
    }
    if (n.bones > 0)
        layout->bones = next < 256 ? static_cast<OvUInt8>(next) : kNone;
}

const char* OvD3D9VertexShaderWriteText(const OvD3D9VertexShaderDesc* desc, const OvD3D9VertexShaderLayout* layout) {
    const char* profile = ProfileName(gCache.profile);
    const Needs n = Decode(desc);
    // Counts the registers cannot hold: more bones a vertex than a blend-index register has
    // components, more texture sets than inputs below the tangent, unknown effect kinds.
    if (profile == nullptr || n.bones > 4 || n.sets > 8 || n.effect > 11)
        return nullptr;
    // Registers the constant file cannot hold: the lights and the registers after them, and
    // when skinned at least one bone below the effect constants at the top.
    const OvUInt32 limit = gCache.constantLimit;
    const OvUInt32 effects = kEffectCounts[n.effect];
    OvUInt32 used = OvD3D9VertexShaderDescGetNumConstants(desc) - effects;
    if (n.bones > 0)
        used += 3;
    if (used + effects > limit)
        return nullptr;
    gTextLength = 0;
    gTextOverflow = false;
    gText[0] = 0;
    Line("%s", profile);
    Writer w{n, *layout, gCache.profile};
    w.Declarations();
    w.Position();
    w.Fog();
    w.Renormalize();
    if (n.tangent)
        w.Tangent();
    else
        w.Color();
    w.Textures();
    return gTextOverflow ? nullptr : gText;
}

IDirect3DVertexShader9* OvD3D9VertexShaderGenerate(const OvD3D9VertexShaderDesc* desc,
                                                   OvD3D9VertexShaderLayout* layout) {
    OvD3D9VertexShaderMakeLayout(desc, layout);
    const char* text = OvD3D9VertexShaderWriteText(desc, layout);
    if (text == nullptr)
        return nullptr;
    ID3DXBuffer* tokens = nullptr;
    if (FAILED(D3DXAssembleShader(text, static_cast<UINT>(std::strlen(text)), nullptr, nullptr,
                                  D3DXSHADER_SKIPOPTIMIZATION, &tokens, nullptr)))
        return nullptr;
    IDirect3DVertexShader9* shader = nullptr;
    if (!OvD3D9CreateVertexShader(static_cast<const DWORD*>(tokens->GetBufferPointer()), &shader))
        shader = nullptr;
    tokens->Release();
    return shader;
}

// The cache ------------------------------------------------------------------------------------------

void OvD3D9VertexShaderCacheOpen() {
    EmptyCache();
    const D3DCAPS9* caps = OvD3D9GetCaps();
    gCache.profile = ovVSPROFILENONE;
    gCache.wFog = false;
    if (caps == nullptr)
        return;
    gCache.declTypes = caps->DeclTypes;
    gCache.wFog = (caps->RasterCaps & D3DPRASTERCAPS_WFOG) != 0;
    const DWORD version = caps->VertexShaderVersion & 0xFFFF;
    if (version >= 0x300) {
        gCache.profile = ovVSPROFILE2X;
    } else if (version >= 0x200) {
        gCache.profile = caps->VS20Caps.DynamicFlowControlDepth >= 1 ? ovVSPROFILE2X : ovVSPROFILE20;
    } else if (version >= 0x100) {
        gCache.profile = ovVSPROFILE11;
        gCache.declTypes &= ~0x3Eu;
    } else {
        return;
    }
    gCache.constantLimit = std::min<OvUInt32>(caps->MaxVertexShaderConst, 256);
}

void OvD3D9VertexShaderCacheRelease() {
    for (OvUInt32 i = 0; i < gCache.count; ++i)
        if (gCache.entries[i].shader != nullptr)
            OvD3D9DeleteShader(gCache.entries[i].shader);
    EmptyCache();
}

OvInt32 OvD3D9VertexShaderGetProfile() { return gCache.profile; }
OvUInt32 OvD3D9VertexShaderGetConstantLimit() { return gCache.constantLimit; }
OvUInt32 OvD3D9VertexShaderGetDeclTypes() { return gCache.declTypes; }

void OvD3D9VertexShaderSetProfile(OvInt32 profile, OvUInt32 constantLimit, OvBool wFog) {
    gCache.profile = profile;
    gCache.constantLimit = std::min<OvUInt32>(constantLimit, 256);
    gCache.wFog = wFog != 0;
}

OvUInt32 OvD3D9VertexShaderCacheCount() { return gCache.count; }

OvBool OvD3D9VertexShaderCacheEntry(OvUInt32 index, OvUInt32* key, OvUInt32* stamp, IDirect3DVertexShader9** shader) {
    if (index >= gCache.count)
        return FALSE;
    const CacheEntry& e = gCache.entries[index];
    *key = e.key;
    *stamp = e.stamp;
    *shader = e.shader;
    return TRUE;
}

IDirect3DVertexShader9* OvD3D9VertexShaderGet(const OvD3D9VertexShaderDesc* desc, OvD3D9VertexShaderLayout* layout) {
    return OvD3D9VertexShaderCacheLookup(desc, layout);
}

IDirect3DVertexShader9* OvD3D9VertexShaderCacheLookup(const OvD3D9VertexShaderDesc* desc,
                                                      OvD3D9VertexShaderLayout* layout) {
    const OvUInt32 key = OvD3D9VertexShaderDescKey(desc);
    const OvUInt32 stamp = OvEngineInstancePtr->renderFrame;
    CacheEntry* hit = gCache.lastHit;
    if (hit != nullptr && hit->key == key && gCache.count > 0) {
        hit->stamp = stamp;
        *layout = hit->layout;
        return hit->shader;
    }
    CacheEntry* begin = gCache.entries;
    CacheEntry* end = gCache.entries + gCache.count;
    CacheEntry* at = std::lower_bound(begin, end, key, [](const CacheEntry& e, OvUInt32 k) { return e.key < k; });
    if (at != end && at->key == key) {
        at->stamp = stamp;
        gCache.lastHit = at;
        *layout = at->layout;
        return at->shader;
    }
    OvD3D9VertexShaderLayout made;
    IDirect3DVertexShader9* shader = OvD3D9VertexShaderGenerate(desc, &made);
    OvUInt32 index = static_cast<OvUInt32>(at - begin);
    if (gCache.count == kCacheSize) {
        // Evict the least recently stamped entry (the first of equals), then insert in order.
        OvUInt32 oldest = 0;
        for (OvUInt32 i = 1; i < kCacheSize; ++i)
            if (gCache.entries[i].stamp < gCache.entries[oldest].stamp)
                oldest = i;
        if (gCache.entries[oldest].shader != nullptr)
            OvD3D9DeleteShader(gCache.entries[oldest].shader);
        std::memmove(&gCache.entries[oldest], &gCache.entries[oldest + 1],
                     (kCacheSize - 1 - oldest) * sizeof(CacheEntry));
        --gCache.count;
        if (index > oldest)
            --index;
    }
    std::memmove(&gCache.entries[index + 1], &gCache.entries[index], (gCache.count - index) * sizeof(CacheEntry));
    gCache.entries[index] = CacheEntry{key, stamp, shader, made};
    ++gCache.count;
    gCache.lastHit = &gCache.entries[index];
    *layout = made;
    return shader;
}

// Transforms ------------------------------------------------------------------------------------------

namespace {

struct Transforms {
    bool hasWorld = false;
    D3DMATRIX world{};
    OvMatrix ltm{};
    bool inverseValid = false;
    bool identity = true; // no inverse needed
    D3DMATRIX inverse{};
    D3DMATRIX viewProjection{};
};
Transforms gTransforms;

D3DMATRIX ToD3D(const OvMatrix& m) {
    return D3DMATRIX{{{m.right.x, m.right.y, m.right.z, 0},
                      {m.up.x, m.up.y, m.up.z, 0},
                      {m.at.x, m.at.y, m.at.z, 0},
                      {m.pos.x, m.pos.y, m.pos.z, 1}}};
}

const D3DMATRIX& Inverse() {
    Transforms& t = gTransforms;
    if (!t.inverseValid) {
        t.identity = !t.hasWorld || (t.ltm.flags & ovMATRIXINTERNALIDENTITY) != 0;
        if (!t.identity) {
            OvMatrix inv;
            OvMatrixInvert(&inv, &t.ltm);
            t.inverse = ToD3D(inv);
        }
        t.inverseValid = true;
    }
    return t.inverse;
}

} // namespace

void OvD3D9WorldMatrixSet(const OvMatrix* ltm) {
    gTransforms.hasWorld = ltm != nullptr;
    if (ltm != nullptr) {
        gTransforms.ltm = *ltm;
        gTransforms.world = ToD3D(*ltm);
    }
    gTransforms.inverseValid = false;
}

void OvD3D9GetWorldViewProjectionTransposed(D3DMATRIX* out) {
    if (OvD3D9ViewProjectionCache == nullptr) {
        D3DXMatrixMultiply(&gTransforms.viewProjection, &OvD3D9ViewMatrix, &OvD3D9ProjectionMatrix);
        OvD3D9ViewProjectionCache = &gTransforms.viewProjection;
    }
    if (gTransforms.hasWorld)
        D3DXMatrixMultiplyTranspose(out, &gTransforms.world, OvD3D9ViewProjectionCache);
    else
        D3DXMatrixTranspose(out, OvD3D9ViewProjectionCache);
}

void OvD3D9WorldToObjectDirection(OvV3d* out, const OvV3d* direction) {
    const D3DMATRIX& inv = Inverse();
    if (gTransforms.identity) {
        *out = *direction;
        return;
    }
    D3DXVECTOR3 v{direction->x, direction->y, direction->z};
    D3DXVec3TransformNormal(&v, &v, &inv);
    *out = OvV3d{v.x, v.y, v.z};
}

void OvD3D9WorldToObjectPoint(OvV3d* out, const OvV3d* point) {
    const D3DMATRIX& inv = Inverse();
    if (gTransforms.identity) {
        *out = *point;
        return;
    }
    D3DXVECTOR3 v{point->x, point->y, point->z};
    D3DXVec3TransformCoord(&v, &v, &inv);
    *out = OvV3d{v.x, v.y, v.z};
}

float OvD3D9WorldToObjectRadius(float radius) {
    const D3DMATRIX& inv = Inverse();
    if (gTransforms.identity)
        return radius;
    // Lengths shrink by the inverse's scale: a unit diagonal's image measures it.
    D3DXVECTOR3 v{0.57735f, 0.57735f, 0.57735f};
    D3DXVec3TransformNormal(&v, &v, &inv);
    return radius * std::sqrt(v.x * v.x + v.y * v.y + v.z * v.z);
}

// Constants ---------------------------------------------------------------------------------------------

OvD3D9ShaderConstant* OvD3D9VertexShaderWriteLights(OvD3D9ShaderConstant* block, const float ambient[4],
                                                    const OvD3D9ShaderLight* directional, OvUInt32 numDirectional,
                                                    const OvD3D9ShaderLight* point, OvUInt32 numPoint,
                                                    const OvD3D9ShaderLight* spot, OvUInt32 numSpot) {
    OvD3D9ShaderConstant* out = block;
    *out++ = {ambient[0], ambient[1], ambient[2], ambient[3]};
    for (OvUInt32 i = 0; i < numDirectional; ++i) {
        const OvD3D9ShaderLight& l = directional[i];
        *out++ = {l.direction.x, l.direction.y, l.direction.z, 0};
        *out++ = {l.color[0], l.color[1], l.color[2], 0};
    }
    auto groups = [&](const OvD3D9ShaderLight* lights, OvUInt32 count, bool cone) {
        for (OvUInt32 g = 0; g < count; g += 4) {
            const OvUInt32 inGroup = std::min<OvUInt32>(4, count - g);
            OvD3D9ShaderConstant& radii = *out++;
            float r[4] = {0, 0, 0, 0};
            for (OvUInt32 i = 0; i < inGroup; ++i) {
                const OvD3D9ShaderLight& l = lights[g + i];
                r[i] = l.radius > 0 ? 1.0f / l.radius : 0.0f;
                *out++ = {l.position.x, l.position.y, l.position.z, 0};
                if (cone) {
                    *out++ = {l.direction.x, l.direction.y, l.direction.z, 0};
                    const float x = !l.hardEdge && l.cosCone < 0.999f ? 1.0f / (1.0f - l.cosCone) : 999.99994f;
                    *out++ = {x, -l.cosCone * x, 0.5f, 0};
                }
                *out++ = {l.color[0], l.color[1], l.color[2], 0};
            }
            radii = {r[0], r[1], r[2], r[3]};
        }
    };
    groups(point, numPoint, false);
    groups(spot, numSpot, true);
    return out;
}

void OvD3D9VertexShaderSetLightConstants(const OvD3D9ShaderConstant* block, const OvD3D9VertexShaderDesc* desc,
                                         float ambientScale, float diffuseScale) {
    const Needs n = Decode(desc);
    const OvUInt32 count = LightEnd(n) - 4;
    OvD3D9ShaderConstant scaled[1 + 2 * 15 + 3 * 4 + 2 * 15 + 4 * 4 + 4 * 15];
    if (count > sizeof scaled / sizeof scaled[0])
        return;
    std::memcpy(scaled, block, count * sizeof(OvD3D9ShaderConstant));
    scaled[0].x *= ambientScale;
    scaled[0].y *= ambientScale;
    scaled[0].z *= ambientScale;
    auto scale = [&](OvD3D9ShaderConstant& c) {
        c.x *= diffuseScale;
        c.y *= diffuseScale;
        c.z *= diffuseScale;
    };
    OvUInt32 r = 1;
    for (OvUInt32 i = 0; i < n.directional; ++i, r += 2)
        scale(scaled[r + 1]);
    for (OvUInt32 g = 0; g < n.point; g += 4) {
        ++r;
        for (OvUInt32 i = 0; i < std::min<OvUInt32>(4, n.point - g); ++i, r += 2)
            scale(scaled[r + 1]);
    }
    for (OvUInt32 g = 0; g < n.spot; g += 4) {
        ++r;
        for (OvUInt32 i = 0; i < std::min<OvUInt32>(4, n.spot - g); ++i, r += 4)
            scale(scaled[r + 3]);
    }
    if (IDirect3DDevice9* device = OvD3D9GetDevice())
        device->SetVertexShaderConstantF(4, &scaled[0].x, count);
}

void OvD3D9VertexShaderSetMaterialColor(const OvUInt8 rgba[4], const OvD3D9VertexShaderLayout* layout) {
    if (layout->materialColor == kNone)
        return;
    constexpr float k = 1.0f / 255.0f;
    const float c[4] = {rgba[0] * k, rgba[1] * k, rgba[2] * k, rgba[3] * k};
    if (IDirect3DDevice9* device = OvD3D9GetDevice())
        device->SetVertexShaderConstantF(layout->materialColor, c, 1);
}

void OvD3D9VertexShaderSetFogConstants(const OvD3D9VertexShaderDesc* desc, const OvD3D9VertexShaderLayout* layout) {
    const OvUInt32 fog = OvD3D9VertexShaderDescFog(desc);
    if (fog == ovVSFOGNONE || gCache.wFog || layout->fog == kNone)
        return;
    float c[4] = {0, 0, 0, 1};
    if (fog == ovVSFOGLINEAR) {
        const auto* camera = static_cast<const OvCamera*>(OvEngineInstancePtr->curCamera);
        if (camera == nullptr)
            return;
        const float range = camera->farPlane - camera->fogPlane;
        if (range == 0)
            return; // no fog band: the factor would divide by zero
        c[0] = -1.0f / range;
        c[1] = camera->farPlane / range;
    } else {
        const OvUInt32 bits = OvD3D9GetRenderState(D3DRS_FOGDENSITY);
        float density;
        std::memcpy(&density, &bits, 4);
        // The shader takes 2^(depth * c.x) (squared first for exponential squared): log2(e) for
        // e^(density * depth), its square root for e^((density * depth)^2).
        c[0] = density * (fog == ovVSFOGEXP ? 1.442695f : 1.2011224f);
    }
    if (IDirect3DDevice9* device = OvD3D9GetDevice())
        device->SetVertexShaderConstantF(layout->fog, c, 1);
}
