// Generated vertex shaders: register counts and layouts; a sweep of descriptors through the three
// profiles (every text assembles and reads only its own registers); the generated code run by the
// device's interpreter against a plain evaluation of the lighting, skinning, morphing and fog it
// stands for; the cache's order, eviction and cached failures; the transform helpers against the
// core's matrices; the uploads; and a lit mesh drawn through a generated shader against the
// fixed-function path.

#include "graphics/world/d3d9_vertex_shader.h"

#include "graphics/core/d3d9/camera.h"
#include "graphics/core/d3d9/device_cache.h"
#include "graphics/core/d3d9/render_state.h"
#include "graphics/core/d3d9/tests/d3d9_fixture.h"
#include "graphics/core/engine.h"
#include "graphics/core/vector.h"
#include "platform/d3d9_device.h"
#include "platform/d3d9_shader.h"
#include "platform/d3dx9.h"

#include <array>
#include <cmath>
#include <cstring>
#include <random>
#include <string>
#include <vector>

namespace {

using Inputs = std::array<std::array<float, 4>, d3d9::kShaderInputs>;
using Constants = std::array<std::array<float, 4>, d3d9::kShaderConstants>;

OvD3D9VertexShaderDesc Desc(OvUInt32 dir, OvUInt32 point, OvUInt32 spot, OvUInt32 sets, OvUInt32 bones, bool morph,
                            OvUInt32 fog, OvUInt8 flags, OvUInt32 effect = 0) {
    OvD3D9VertexShaderDesc d{};
    d.lights = static_cast<OvUInt8>(dir | point << 4);
    d.spotsSets = static_cast<OvUInt8>(spot | sets << 4);
    d.flags = static_cast<OvUInt8>(flags | bones << 1 | (morph ? ovVSMORPH : 0));
    d.fogEffect = static_cast<OvUInt8>(fog | effect << 2);
    return d;
}

std::string Name(const OvD3D9VertexShaderDesc& d) {
    char s[96];
    std::snprintf(s, sizeof s, "desc %08X profile %d", OvD3D9VertexShaderDescKey(&d), OvD3D9VertexShaderGetProfile());
    return s;
}

// Text of a descriptor assembled by the stand-in; empty error on success.
bool Assemble(const OvD3D9VertexShaderDesc& d, OvD3D9VertexShaderLayout* layout, d3d9::ShaderProgram* program,
              std::string* error) {
    OvD3D9VertexShaderMakeLayout(&d, layout);
    const char* text = OvD3D9VertexShaderWriteText(&d, layout);
    if (text == nullptr) {
        *error = "no text";
        return false;
    }
    return d3d9::ShaderAssemble(text, std::strlen(text), program, error);
}

TEST(VertexShaderLayout, CountsAndRegistersFollowTheMap) {
    OvD3D9VertexShaderSetProfile(ovVSPROFILE20, 256, FALSE);
    // Five directional lights: two groups, 5 + 10 registers.
    OvD3D9VertexShaderDesc d = Desc(5, 0, 0, 0, 0, false, 0, ovVSNORMALS);
    EXPECT_EQ(OvD3D9VertexShaderDescGetNumConstants(&d), 15u);
    // Five point lights: 10 + 2 group registers; five spots 20 + 2.
    d = Desc(0, 5, 0, 0, 0, false, 0, ovVSNORMALS);
    EXPECT_EQ(OvD3D9VertexShaderDescGetNumConstants(&d), 17u);
    d = Desc(0, 0, 5, 0, 0, false, 0, ovVSNORMALS);
    EXPECT_EQ(OvD3D9VertexShaderDescGetNumConstants(&d), 27u);
    // Material, fog and morph follow the lights in that order, then the bones.
    d = Desc(1, 1, 1, 1, 2, true, ovVSFOGLINEAR, ovVSNORMALS | ovVSMATERIALCOLOR);
    const OvUInt32 lights = 5 + 2 + 3 + 5;
    EXPECT_EQ(OvD3D9VertexShaderDescGetNumConstants(&d), lights + 3);
    OvD3D9VertexShaderLayout l;
    OvD3D9VertexShaderMakeLayout(&d, &l);
    EXPECT_EQ(l.materialColor, lights);
    EXPECT_EQ(l.fog, lights + 1);
    EXPECT_EQ(l.morph, lights + 2);
    EXPECT_EQ(l.bones, lights + 3);
    EXPECT_EQ(l.effect, 0xFF);
    // With the W-fog cap there is no fog register (the count keeps it).
    OvD3D9VertexShaderSetProfile(ovVSPROFILE20, 256, TRUE);
    OvD3D9VertexShaderMakeLayout(&d, &l);
    EXPECT_EQ(l.fog, 0xFF);
    EXPECT_EQ(l.morph, lights + 1);
    const char* text = OvD3D9VertexShaderWriteText(&d, &l);
    ASSERT_NE(text, nullptr);
    EXPECT_NE(std::strstr(text, "dp4 oFog, r3, c[3]\n"), nullptr);
    // Effect constants: after the morph register unskinned, at the top of the file skinned.
    OvD3D9VertexShaderSetProfile(ovVSPROFILE20, 200, FALSE);
    d = Desc(1, 0, 0, 1, 0, true, 0, ovVSNORMALS, 11);
    OvD3D9VertexShaderMakeLayout(&d, &l);
    EXPECT_EQ(OvD3D9VertexShaderDescGetNumConstants(&d), 7u + 1 + 6);
    EXPECT_EQ(l.effect, 8);
    d = Desc(1, 0, 0, 1, 3, false, 0, ovVSNORMALS, 11);
    OvD3D9VertexShaderMakeLayout(&d, &l);
    EXPECT_EQ(l.effect, 200 - 6);
    EXPECT_EQ(l.bones, 7);
    const OvUInt32 counts[12] = {0, 2, 2, 4, 0, 0, 2, 2, 0, 2, 4, 6};
    for (OvUInt32 k = 0; k < 12; ++k)
        EXPECT_EQ(OvD3D9VertexShaderEffectConstants(k), counts[k]);
    // The example of a skinned directional shader, line by line.
    OvD3D9VertexShaderSetProfile(ovVSPROFILE20, 256, FALSE);
    d = Desc(1, 0, 0, 1, 2, false, 0, ovVSNORMALS);
    OvD3D9VertexShaderMakeLayout(&d, &l);
    EXPECT_STREQ(OvD3D9VertexShaderWriteText(&d, &l),
                 "vs_2_0\ndcl_position0 v0\ndcl_blendweight0 v1\ndcl_blendindices0 v2\ndcl_normal0 v3\n"
                 "dcl_texcoord0 v5\nmova a0.xy, v2\nmul r8, v1.x, c[a0.x + 7]\nmul r9, v1.x, c[a0.x + 8]\n"
                 "mul r10, v1.x, c[a0.x + 9]\nmad r8, v1.y, c[a0.y + 7], r8\nmad r9, v1.y, c[a0.y + 8], r9\n"
                 "mad r10, v1.y, c[a0.y + 9], r10\nm4x3 r3.xyz, v0, r8\nm3x3 r5.xyz, v3, r8\nmov r3.w, v0.w\n"
                 "m4x4 oPos.xyzw, r3, c[0]\nmov r11, c[4]\ndp3 r6.x, c[5], r5\nmax r6.x, c[5].w, -r6.x\n"
                 "mad oD0, c[6], r6.x, r11\nmov oT0.xy, v5\n");
}

// Every constant the program reads lies below the constant limit, in its own region: lights and
// the registers after them below the bones, bone rows through the address register, effect
// constants in their block.
void ExpectInsideRegisters(const d3d9::ShaderProgram& p, const OvD3D9VertexShaderDesc& d,
                           const OvD3D9VertexShaderLayout& l, OvUInt32 limit) {
    const OvUInt32 effects = OvD3D9VertexShaderEffectConstants(OvD3D9VertexShaderDescEffect(&d));
    for (const d3d9::ShaderInstr& in : p.code)
        for (int s = 0; s < in.srcCount; ++s) {
            const d3d9::ShaderSrc& src = in.src[s];
            if (src.file != d3d9::ShaderFile::Const)
                continue;
            const bool matrix = s == 1 && (in.op == d3d9::ShaderOp::M4x4 || in.op == d3d9::ShaderOp::M4x3 ||
                                           in.op == d3d9::ShaderOp::M3x3);
            const OvUInt32 last = src.index + (matrix ? (in.op == d3d9::ShaderOp::M4x4 ? 3 : 2) : 0);
            if (src.relative) {
                EXPECT_GE(src.index, l.bones) << Name(d) << " line " << in.line;
                EXPECT_LE(last, l.bones + 2u) << Name(d) << " line " << in.line;
                continue;
            }
            EXPECT_LT(last, limit) << Name(d) << " line " << in.line;
            const bool effect = l.effect != 0xFF && src.index >= l.effect && last < l.effect + effects;
            if (l.bones != 0xFF && !effect) {
                EXPECT_LT(last, l.bones) << Name(d) << " line " << in.line;
            }
        }
}

TEST(VertexShaderSweep, EveryDescriptorAssemblesAndStaysInsideItsRegisters) {
    std::mt19937 random(35);
    const OvInt32 profiles[] = {ovVSPROFILE11, ovVSPROFILE20, ovVSPROFILE2X};
    int assembled = 0, overLimit = 0;
    auto check = [&](const OvD3D9VertexShaderDesc& d, OvUInt32 limit) {
        OvD3D9VertexShaderLayout l;
        d3d9::ShaderProgram p;
        std::string error;
        if (!Assemble(d, &l, &p, &error)) {
            // Only vs_1_1's 128 instruction slots may run out.
            EXPECT_EQ(OvD3D9VertexShaderGetProfile(), ovVSPROFILE11) << Name(d) << ": " << error;
            EXPECT_NE(error.find("instruction slots"), std::string::npos) << Name(d) << ": " << error;
            ++overLimit;
            return;
        }
        ++assembled;
        ExpectInsideRegisters(p, d, l, limit);
    };
    for (OvInt32 profile : profiles) {
        const OvUInt32 limit = profile == ovVSPROFILE11 ? 96 : 256;
        OvD3D9VertexShaderSetProfile(profile, limit, FALSE);
        // Every count of lights of each kind with every bone count; the rest drawn at random.
        for (OvUInt32 dir = 0; dir <= 5; ++dir)
            for (OvUInt32 point = 0; point <= 5; ++point)
                for (OvUInt32 spot = 0; spot <= 5; ++spot)
                    for (OvUInt32 bones = 0; bones <= 4; ++bones) {
                        const OvUInt8 flags = static_cast<OvUInt8>(ovVSNORMALS | (random() & 1 ? ovVSNORMALIZE : 0) |
                                                                   (random() & 1 ? ovVSVERTEXCOLOR : 0) |
                                                                   (random() & 1 ? ovVSMATERIALCOLOR : 0));
                        check(Desc(dir, point, spot, random() % 3, bones, random() & 1, random() % 4, flags), limit);
                    }
        // Every combination of the rest with a few light mixes.
        const OvUInt32 mixes[][3] = {{0, 0, 0}, {1, 1, 1}, {4, 0, 5}};
        for (const auto& mix : mixes)
            for (OvUInt32 bones = 0; bones <= 4; ++bones)
                for (OvUInt32 sets = 0; sets <= 2; ++sets)
                    for (int morph = 0; morph < 2; ++morph)
                        for (OvUInt32 fog = 0; fog < 4; ++fog)
                            for (int colors = 0; colors < 8; ++colors) {
                                const OvUInt8 flags = static_cast<OvUInt8>(
                                    (colors & 1 ? ovVSVERTEXCOLOR : 0) | (colors & 2 ? ovVSMATERIALCOLOR : 0) |
                                    (colors & 4 ? ovVSNORMALS : 0) | (random() & 1 ? ovVSNORMALIZE : 0));
                                check(Desc(mix[0], mix[1], mix[2], sets, bones, morph, fog, flags), limit);
                            }
        // W-fog and the effect kinds that need nothing beyond their texture sets.
        OvD3D9VertexShaderSetProfile(profile, limit, TRUE);
        check(Desc(1, 1, 1, 1, 0, false, ovVSFOGEXP, ovVSNORMALS), limit);
        OvD3D9VertexShaderSetProfile(profile, limit, FALSE);
        for (OvUInt32 effect : {1u, 3u, 5u, 6u, 10u, 11u})
            for (OvUInt32 bones : {0u, 1u, 3u})
                check(Desc(1, 0, 0, 1, bones, false, 0, ovVSNORMALS | ovVSNORMALIZE, effect), limit);
        for (OvUInt32 effect : {2u, 10u})
            check(Desc(0, 1, 0, 0, 0, false, 0, ovVSNORMALS, effect), limit);
        for (OvUInt32 effect : {4u, 7u})
            check(Desc(0, 0, 0, 2, 2, true, 0, 0, effect), limit);
        for (OvUInt32 effect : {8u, 9u})
            for (OvUInt32 lights : {0x001u, 0x010u, 0x100u})
                for (OvUInt32 bones : {0u, 1u, 2u})
                    check(Desc(lights & 0xF, (lights >> 4) & 0xF, lights >> 8, 2, bones, bones == 2, 0,
                               ovVSNORMALS | ovVSNORMALIZE | (bones == 1 ? ovVSVERTEXCOLOR : 0), effect),
                          limit);
    }
    EXPECT_GT(assembled, 3 * 1000);
    EXPECT_LT(overLimit, assembled / 10);

    // Counts the registers cannot hold give no text.
    OvD3D9VertexShaderSetProfile(ovVSPROFILE20, 256, FALSE);
    OvD3D9VertexShaderLayout l;
    for (const OvD3D9VertexShaderDesc& d :
         {Desc(0, 0, 0, 0, 5, false, 0, 0), Desc(0, 0, 0, 9, 0, false, 0, 0), Desc(0, 0, 0, 0, 0, false, 0, 0, 12)}) {
        OvD3D9VertexShaderMakeLayout(&d, &l);
        EXPECT_EQ(OvD3D9VertexShaderWriteText(&d, &l), nullptr) << Name(d);
    }
    OvD3D9VertexShaderSetProfile(ovVSPROFILE11, 96, FALSE);
    OvD3D9VertexShaderDesc many = Desc(15, 15, 15, 0, 0, false, 0, ovVSNORMALS); // 134 registers
    OvD3D9VertexShaderMakeLayout(&many, &l);
    EXPECT_EQ(OvD3D9VertexShaderWriteText(&many, &l), nullptr);
    OvD3D9VertexShaderSetProfile(ovVSPROFILE20, 256, FALSE);
    OvD3D9VertexShaderMakeLayout(&many, &l);
    EXPECT_NE(OvD3D9VertexShaderWriteText(&many, &l), nullptr); // text, though past vs_2_0's slots
    OvD3D9VertexShaderSetProfile(ovVSPROFILENONE, 0, FALSE);
    EXPECT_EQ(OvD3D9VertexShaderWriteText(&many, &l), nullptr);
}

// The oracle --------------------------------------------------------------------------------------------

struct V4 {
    float x, y, z, w;
};
V4 Add(V4 a, V4 b) { return {a.x + b.x, a.y + b.y, a.z + b.z, a.w + b.w}; }
V4 Scale(V4 a, float s) { return {a.x * s, a.y * s, a.z * s, a.w * s}; }
float Dot3(V4 a, V4 b) { return a.x * b.x + a.y * b.y + a.z * b.z; }
float Dot4(V4 a, V4 b) { return Dot3(a, b) + a.w * b.w; }
V4 Of(const std::array<float, 4>& a) { return {a[0], a[1], a[2], a[3]}; }
V4 Of(const OvV3d& v, float w) { return {v.x, v.y, v.z, w}; }
float Saturate(float v) { return v < 0 ? 0 : (v > 1 ? 1 : v); }

struct Scene {
    std::vector<OvD3D9ShaderLight> dir, point, spot;
    float ambient[4];
    Constants c{};
};

// What the descriptor's shader is meant to compute, from the lights themselves.
struct Expected {
    V4 pos, color;
    float fog;
};

Expected Oracle(const OvD3D9VertexShaderDesc& d, const OvD3D9VertexShaderLayout& l, const Scene& s, const Inputs& in,
                bool wFog) {
    const OvUInt32 bones = OvD3D9VertexShaderDescBones(&d);
    const bool morph = d.flags & ovVSMORPH;
    V4 p = Of(in[0]), n = Of(in[3]);
    if (morph) {
        const V4 m = Of(s.c[l.morph]);
        p = Add(Scale(Of(in[0]), m.x), Scale(Of(in[14]), m.y));
        n = Add(Scale(Of(in[3]), m.x), Scale(Of(in[15]), m.y));
    }
    if (bones > 0) {
        V4 sp{0, 0, 0, 0}, sn{0, 0, 0, 0};
        const float* index = in[2].data();
        for (OvUInt32 b = 0; b < bones; ++b) {
            const float w = bones == 1 ? 1.0f : in[1][b];
            const int r = l.bones + static_cast<int>(index[b]);
            const V4 rows[3] = {Of(s.c[r]), Of(s.c[r + 1]), Of(s.c[r + 2])};
            sp = Add(sp, Scale(V4{Dot4(p, rows[0]), Dot4(p, rows[1]), Dot4(p, rows[2]), 0}, w));
            sn = Add(sn, Scale(V4{Dot3(n, rows[0]), Dot3(n, rows[1]), Dot3(n, rows[2]), 0}, w));
        }
        p = sp;
        n = sn;
    }
    p.w = in[0][3];
    Expected e{};
    e.pos = {Dot4(p, Of(s.c[0])), Dot4(p, Of(s.c[1])), Dot4(p, Of(s.c[2])), Dot4(p, Of(s.c[3]))};
    const OvUInt32 fog = OvD3D9VertexShaderDescFog(&d);
    const float depth = Dot4(p, Of(s.c[3]));
    if (fog != 0 && wFog) {
        e.fog = depth;
    } else if (fog == ovVSFOGLINEAR) {
        e.fog = depth * s.c[l.fog][0] + s.c[l.fog][1];
    } else if (fog != 0) {
        const float x = depth * s.c[l.fog][0];
        e.fog = 1.0f / std::exp2(fog == ovVSFOGEXP ? x : x * x);
    }
    if (d.flags & ovVSNORMALIZE) {
        const float len = std::sqrt(Dot3(n, n));
        n = Scale(n, 1.0f / len);
    }
    V4 color = Of(s.c[4]);
    if (d.flags & ovVSVERTEXCOLOR)
        color = Add(color, Of(in[4]));
    const bool lit = (d.flags & ovVSNORMALS) && !(s.dir.empty() && s.point.empty() && s.spot.empty());
    if (lit) {
        auto add = [&](const OvD3D9ShaderLight& light, float intensity) {
            color.x += light.color[0] * intensity;
            color.y += light.color[1] * intensity;
            color.z += light.color[2] * intensity;
        };
        for (const auto& light : s.dir)
            add(light, std::max(0.0f, -Dot3(n, Of(light.direction, 0))));
        auto falloff = [&](const OvD3D9ShaderLight& light, V4* toVertex) {
            const V4 lp = Of(light.position, 0);
            *toVertex = {p.x - lp.x, p.y - lp.y, p.z - lp.z, 0};
            const float dist = std::sqrt(Dot3(*toVertex, *toVertex));
            *toVertex = Scale(*toVertex, 1.0f / dist);
            return std::max(0.0f, -Dot3(n, *toVertex) * dist) * std::max(0.0f, 1.0f / dist - 1.0f / light.radius);
        };
        V4 toVertex;
        for (const auto& light : s.point)
            add(light, falloff(light, &toVertex));
        for (const auto& light : s.spot) {
            const float f = falloff(light, &toVertex);
            const float x = !light.hardEdge && light.cosCone < 0.999f ? 1.0f / (1.0f - light.cosCone) : 999.99994f;
            add(light, f * std::max(0.0f, Dot3(toVertex, Of(light.direction, 0)) * x - light.cosCone * x));
        }
    }
    if (d.flags & ovVSMATERIALCOLOR) {
        const V4 m = Of(s.c[l.materialColor]);
        color = {color.x * m.x, color.y * m.y, color.z * m.z, color.w * m.w};
    }
    e.color = {Saturate(color.x), Saturate(color.y), Saturate(color.z), Saturate(color.w)};
    return e;
}

TEST(VertexShaderOracle, GeneratedCodeComputesTheLightingTransformAndFogItStandsFor) {
    std::mt19937 random(1235);
    std::uniform_real_distribution<float> u(-1, 1);
    auto unit = [&]() {
        OvV3d v{u(random), u(random), u(random)};
        const float len = std::sqrt(v.x * v.x + v.y * v.y + v.z * v.z) + 1e-3f;
        return OvV3d{v.x / len, v.y / len, v.z / len};
    };
    int runs = 0;
    for (int trial = 0; trial < 300; ++trial) {
        const OvInt32 profile = trial % 3 == 0 ? ovVSPROFILE11 : (trial % 3 == 1 ? ovVSPROFILE20 : ovVSPROFILE2X);
        const bool wFog = trial % 17 == 5;
        OvD3D9VertexShaderSetProfile(profile, 256, wFog);
        const OvUInt32 bones = random() % 5;
        const OvUInt8 flags =
            static_cast<OvUInt8>((random() % 4 ? ovVSNORMALS : 0) | (random() & 1 ? ovVSNORMALIZE : 0) |
                                 (random() & 1 ? ovVSVERTEXCOLOR : 0) | (random() & 1 ? ovVSMATERIALCOLOR : 0));
        const OvD3D9VertexShaderDesc d =
            Desc(random() % 6, random() % 6, random() % 6, random() % 3, bones, random() & 1, random() % 4, flags);
        OvD3D9VertexShaderLayout l;
        d3d9::ShaderProgram program;
        std::string error;
        if (!Assemble(d, &l, &program, &error)) {
            EXPECT_EQ(profile, ovVSPROFILE11) << error; // out of vs_1_1's slots
            continue;
        }
        // Lights in object space, written as the gatherer writes them.
        Scene s;
        for (OvUInt32 i = 0; i < OvD3D9VertexShaderDescDirectional(&d); ++i)
            s.dir.push_back({{}, unit(), 0, 0, FALSE, {u(random) + 1, u(random) + 1, 0.5f}});
        for (OvUInt32 i = 0; i < OvD3D9VertexShaderDescPoint(&d); ++i)
            s.point.push_back({{3 * u(random), 3 * u(random), 3 * u(random)},
                               {},
                               4 + 3 * u(random),
                               0,
                               FALSE,
                               {0.8f, u(random) + 1, 0.4f}});
        for (OvUInt32 i = 0; i < OvD3D9VertexShaderDescSpot(&d); ++i)
            s.spot.push_back({{3 * u(random), 3 * u(random), 3 * u(random)},
                              unit(),
                              5 + 3 * u(random),
                              0.6f + 0.39f * u(random),
                              i == 1,
                              {1, 1, 1}});
        const float ambient[4] = {0.1f, 0.2f, 0.05f, static_cast<float>(random() & 1)};
        OvD3D9ShaderConstant block[256];
        const OvD3D9ShaderConstant* end = OvD3D9VertexShaderWriteLights(
            block, ambient, s.dir.data(), static_cast<OvUInt32>(s.dir.size()), s.point.data(),
            static_cast<OvUInt32>(s.point.size()), s.spot.data(), static_cast<OvUInt32>(s.spot.size()));
        ASSERT_EQ(static_cast<OvUInt32>(end - block), OvD3D9VertexShaderDescGetNumConstants(&d) - 4 -
                                                          (l.materialColor != 0xFF) -
                                                          (OvD3D9VertexShaderDescFog(&d) != 0) - (l.morph != 0xFF));
        for (int r = 0; r < end - block; ++r)
            s.c[4 + r] = {block[r].x, block[r].y, block[r].z, block[r].w};
        for (int r = 0; r < 4; ++r)
            for (int k = 0; k < 4; ++k)
                s.c[r][k] = (r == k ? 1.5f : 0.0f) + 0.3f * u(random);
        if (l.materialColor != 0xFF)
            s.c[l.materialColor] = {0.5f + 0.5f * u(random), 0.9f, 0.7f, 0.5f};
        if (l.fog != 0xFF)
            s.c[l.fog] = OvD3D9VertexShaderDescFog(&d) == ovVSFOGLINEAR
                             ? std::array<float, 4>{-1 / 45.0f, 50 / 45.0f, 0, 1}
                             : std::array<float, 4>{0.3f, 0, 0, 1};
        if (l.morph != 0xFF)
            s.c[l.morph] = {0.3f, 0.7f, 0, 0};
        if (l.bones != 0xFF)
            for (int r = 0; r < 12; ++r)
                for (int k = 0; k < 4; ++k)
                    s.c[l.bones + r][k] = ((r % 3) == k ? 1.0f : 0.0f) + 0.4f * u(random);
        d3d9::ShaderMachine machine(program);
        machine.SetConstants(s.c);
        for (int vertex = 0; vertex < 8; ++vertex) {
            Inputs in{};
            for (auto& v : in)
                v = {0, 0, 0, 1};
            in[0] = {2 * u(random), 2 * u(random), 2 * u(random), 1};
            in[14] = {2 * u(random), 2 * u(random), 2 * u(random), 1};
            const OvV3d n3 = unit(), n15 = unit();
            in[3] = {n3.x, n3.y, n3.z, 1};
            in[15] = {n15.x, n15.y, n15.z, 1};
            in[1] = {0.5f + 0.4f * u(random), 0.3f, 0.2f, 0.1f};
            for (int k = 0; k < 4; ++k)
                in[2][k] = static_cast<float>(3 * (random() % 4));
            in[4] = {0.2f * u(random) + 0.2f, 0.1f, 0.3f, 0.5f};
            for (int t = 0; t < 3; ++t)
                in[5 + t] = {u(random), u(random), 0, 1};
            d3d9::ShaderOutput out;
            machine.Run(in, &out);
            const Expected e = Oracle(d, l, s, in, wFog);
            const std::string what = Name(d) + " vertex " + std::to_string(vertex);
            const float got[4] = {out.position[0], out.position[1], out.position[2], out.position[3]};
            const float want[4] = {e.pos.x, e.pos.y, e.pos.z, e.pos.w};
            for (int k = 0; k < 4; ++k)
                EXPECT_NEAR(got[k], want[k], 1e-3f * (1 + std::fabs(want[k]))) << what << " oPos";
            const float color[4] = {e.color.x, e.color.y, e.color.z, e.color.w};
            for (int k = 0; k < 4; ++k)
                EXPECT_NEAR(out.color[0][k], color[k], 2e-3f) << what << " oD0 component " << k;
            if (OvD3D9VertexShaderDescFog(&d) != 0) {
                EXPECT_NEAR(out.fog, e.fog, 1e-3f * (1 + std::fabs(e.fog))) << what << " oFog";
            }
            for (OvUInt32 t = 0; t < OvD3D9VertexShaderDescTexSets(&d); ++t) {
                EXPECT_EQ(out.tex[t][0], in[5 + t][0]) << what;
                EXPECT_EQ(out.tex[t][1], in[5 + t][1]) << what;
            }
        }
        ++runs;
    }
    EXPECT_GT(runs, 250);
}

TEST(VertexShaderOracle, TangentSpaceSpotLightsInsideTheirConeOnly) {
    // Effect kind 8 with a spot as the first light: oT2 = the tangent-space direction to the light,
    // times attenuation and cone, scaled and biased by c[5].z. The cone is measured from the
    // light along its direction, so a vertex straight ahead of the light is lit.
    OvD3D9VertexShaderSetProfile(ovVSPROFILE20, 256, FALSE);
    const OvD3D9VertexShaderDesc d = Desc(0, 0, 1, 1, 0, false, 0, ovVSNORMALS, 8);
    OvD3D9VertexShaderLayout l;
    d3d9::ShaderProgram p;
    std::string error;
    ASSERT_TRUE(Assemble(d, &l, &p, &error)) << error;
    Constants c{};
    for (int k = 0; k < 4; ++k)
        c[k][k] = 1;
    c[5] = {0, 1, 1, 0};     // attenuation 0 x d + 1, scale and bias 1
    c[6] = {0, 0, -5, 0};    // spot position
    c[7] = {0, 0, 1, 0};     // along +z
    c[8] = {2, -1, 0.5f, 0}; // cos(cone) 0.5
    d3d9::ShaderMachine m(p);
    m.SetConstants(c);
    Inputs in{};
    for (auto& v : in)
        v = {0, 0, 0, 1};
    in[3] = {0, 0, -1, 1}; // normal facing the light
    in[13] = {1, 0, 0, 1}; // tangent
    d3d9::ShaderOutput out;
    in[0] = {0, 0, 0, 1}; // straight ahead: cone factor 1, light along the normal
    m.Run(in, &out);
    EXPECT_NEAR(out.tex[2][0], 1.0f, 1e-5f);
    EXPECT_NEAR(out.tex[2][2], 2.0f, 1e-5f);
    in[0] = {20, 0, -4, 1}; // far outside the cone: the bias alone
    m.Run(in, &out);
    EXPECT_NEAR(out.tex[2][0], 1.0f, 1e-5f);
    EXPECT_NEAR(out.tex[2][2], 1.0f, 1e-5f);
}

// With the driver and the shader-model-2 stand-in -------------------------------------------------------

class VertexShaderDeviceTest : public D3d9DriverTest {
protected:
    void SetUp() override {
        D3d9DriverTest::SetUp(); // opens the window, which resets the stand-in
        D3d9SetAdapters({D3d9DefaultAdapter(D3d9Preset::ShaderModel2Vertex)});
    }
    void TearDown() override {
        OvD3D9VertexShaderCacheRelease();
        D3d9DriverTest::TearDown();
    }
    const Constants& DeviceConstants() { return dynamic_cast<d3d9::Device*>(OvD3D9GetDevice())->state.vertexConstants; }
};

TEST_F(VertexShaderDeviceTest, OpenChoosesTheProfileFromTheCaps) {
    ASSERT_TRUE(Up());
    OvD3D9VertexShaderCacheOpen();
    EXPECT_EQ(OvD3D9VertexShaderGetProfile(), ovVSPROFILE20);
    EXPECT_EQ(OvD3D9VertexShaderGetConstantLimit(), 256u);
    EXPECT_EQ(OvD3D9VertexShaderGetDeclTypes() & 0x3Eu, 0x3Eu);
    auto caps = const_cast<D3DCAPS9*>(OvD3D9GetCaps());
    const D3DCAPS9 saved = *caps;
    caps->VS20Caps.DynamicFlowControlDepth = 24;
    OvD3D9VertexShaderCacheOpen();
    EXPECT_EQ(OvD3D9VertexShaderGetProfile(), ovVSPROFILE2X);
    caps->VertexShaderVersion = D3DVS_VERSION(3, 0);
    caps->VS20Caps.DynamicFlowControlDepth = 0;
    caps->MaxVertexShaderConst = 1024;
    OvD3D9VertexShaderCacheOpen();
    EXPECT_EQ(OvD3D9VertexShaderGetProfile(), ovVSPROFILE2X);
    EXPECT_EQ(OvD3D9VertexShaderGetConstantLimit(), 256u);
    caps->VertexShaderVersion = D3DVS_VERSION(1, 1);
    caps->MaxVertexShaderConst = 96;
    OvD3D9VertexShaderCacheOpen();
    EXPECT_EQ(OvD3D9VertexShaderGetProfile(), ovVSPROFILE11);
    EXPECT_EQ(OvD3D9VertexShaderGetDeclTypes() & 0x3Eu, 0u); // no normalised shorts and bytes
    EXPECT_EQ(OvD3D9VertexShaderGetDeclTypes() & D3DDTCAPS_DEC3N, D3DDTCAPS_DEC3N);
    caps->VertexShaderVersion = 0;
    OvD3D9VertexShaderCacheOpen();
    EXPECT_EQ(OvD3D9VertexShaderGetProfile(), ovVSPROFILENONE);
    OvD3D9VertexShaderLayout l;
    const OvD3D9VertexShaderDesc d = Desc(1, 0, 0, 1, 0, false, 0, ovVSNORMALS);
    EXPECT_EQ(OvD3D9VertexShaderGet(&d, &l), nullptr); // no profile: a null shader, cached
    EXPECT_EQ(OvD3D9VertexShaderCacheCount(), 1u);
    *caps = saved;
}

TEST_F(VertexShaderDeviceTest, CacheKeepsKeyOrderEvictsTheOldestAndCachesFailures) {
    ASSERT_TRUE(Up());
    OvD3D9VertexShaderCacheOpen();
    const int baseline = D3d9LiveObjects(OvD3D9GetDevice());
    D3d9LogEnable(true);
    // 256 distinct descriptors in a scrambled order, stamped by frame.
    std::vector<OvD3D9VertexShaderDesc> descs;
    for (OvUInt32 i = 0; i < 256; ++i)
        descs.push_back(Desc(i % 4, (i / 4) % 4, (i / 16) % 4, i / 64, 0, false, 0, ovVSNORMALS));
    descs[255] = Desc(0, 0, 0, 0, 7, false, 0, 0); // seven bones a vertex: fails, cached as null
    std::mt19937 random(5);
    std::shuffle(descs.begin(), descs.end(), random);
    std::vector<IDirect3DVertexShader9*> shaders;
    for (OvUInt32 i = 0; i < 256; ++i) {
        OvEngineInstancePtr->renderFrame = static_cast<OvUInt16>(100 + i);
        OvD3D9VertexShaderLayout l;
        shaders.push_back(OvD3D9VertexShaderGet(&descs[i], &l));
        EXPECT_EQ(shaders.back() == nullptr, OvD3D9VertexShaderDescBones(&descs[i]) == 7);
    }
    EXPECT_EQ(OvD3D9VertexShaderCacheCount(), 256u);
    EXPECT_EQ(D3d9LogCount("CreateVertexShader"), 255);
    auto keysInOrder = []() {
        OvUInt32 previous = 0;
        for (OvUInt32 i = 0; i < OvD3D9VertexShaderCacheCount(); ++i) {
            OvUInt32 key, stamp;
            IDirect3DVertexShader9* s;
            OvD3D9VertexShaderCacheEntry(i, &key, &stamp, &s);
            if (i > 0 && key <= previous)
                return false;
            previous = key;
        }
        return true;
    };
    EXPECT_TRUE(keysInOrder());
    // Every one found again, the failure too, without generating; touching restamps them all
    // but the first two, which stay the oldest.
    for (OvUInt32 i = 2; i < 256; ++i) {
        OvEngineInstancePtr->renderFrame = static_cast<OvUInt16>(1000 + i);
        OvD3D9VertexShaderLayout l;
        EXPECT_EQ(OvD3D9VertexShaderGet(&descs[i], &l), shaders[i]);
        EXPECT_EQ(OvD3D9VertexShaderGet(&descs[i], &l), shaders[i]); // the last-hit path
    }
    EXPECT_EQ(D3d9LogCount("CreateVertexShader"), 255);
    // A new descriptor evicts the oldest stamp (descs[0]), destroying its shader; then descs[1].
    OvD3D9VertexShaderLayout l;
    OvEngineInstancePtr->renderFrame = 2000;
    const OvD3D9VertexShaderDesc fresh[2] = {Desc(7, 0, 0, 0, 0, false, 0, ovVSNORMALS),
                                             Desc(0, 7, 0, 0, 0, false, 0, ovVSNORMALS)};
    const int live = D3d9LiveObjects(OvD3D9GetDevice());
    EXPECT_NE(OvD3D9VertexShaderGet(&fresh[0], &l), nullptr);
    EXPECT_EQ(D3d9LiveObjects(OvD3D9GetDevice()), live - (shaders[0] != nullptr ? 1 : 0) + 1);
    EXPECT_NE(OvD3D9VertexShaderGet(&fresh[1], &l), nullptr);
    EXPECT_EQ(OvD3D9VertexShaderCacheCount(), 256u);
    EXPECT_TRUE(keysInOrder());
    EXPECT_EQ(D3d9LogCount("CreateVertexShader"), 257);
    for (OvUInt32 i = 2; i < 256; ++i)
        EXPECT_EQ(OvD3D9VertexShaderGet(&descs[i], &l), shaders[i]) << i;
    EXPECT_EQ(D3d9LogCount("CreateVertexShader"), 257);
    // The evicted ones are made again.
    OvD3D9VertexShaderGet(&descs[0], &l);
    EXPECT_EQ(D3d9LogCount("CreateVertexShader"), 257 + (OvD3D9VertexShaderDescBones(&descs[0]) == 7 ? 0 : 1));
    // Release destroys every cached shader.
    OvD3D9VertexShaderCacheRelease();
    EXPECT_EQ(OvD3D9VertexShaderCacheCount(), 0u);
    EXPECT_EQ(D3d9LiveObjects(OvD3D9GetDevice()), baseline);
}

TEST_F(VertexShaderDeviceTest, TransformsMatchTheCoreMatricesAndUploadsScale) {
    // Without W-fog the shaders compute the fog factor from a register of their own.
    D3d9Adapter adapter = D3d9DefaultAdapter(D3d9Preset::ShaderModel2Vertex);
    adapter.caps.RasterCaps &= ~DWORD{D3DPRASTERCAPS_WFOG};
    D3d9SetAdapters({adapter});
    ASSERT_TRUE(Up());
    OvD3D9VertexShaderCacheOpen();
    std::mt19937 random(9);
    std::uniform_real_distribution<float> u(-1, 1);
    for (int trial = 0; trial < 20; ++trial) {
        OvMatrix m;
        OvMatrixSetIdentity(&m);
        const OvV3d axis{u(random), u(random), u(random) + 2};
        OvMatrixRotate(&m, &axis, 90 * u(random), ovCOMBINEREPLACE);
        const OvV3d scale{1.5f, 1.5f, 1.5f};
        const OvV3d move{5 * u(random), 5 * u(random), 5 * u(random)};
        if (trial % 2)
            OvMatrixScale(&m, &scale, ovCOMBINEPOSTCONCAT);
        OvMatrixTranslate(&m, &move, ovCOMBINEPOSTCONCAT);
        OvD3D9WorldMatrixSet(&m);
        OvMatrix inv;
        OvMatrixInvert(&inv, &m);
        const OvV3d p{u(random), u(random), u(random)};
        OvV3d want, got;
        OvV3dTransformPoint(&want, &p, &inv);
        OvD3D9WorldToObjectPoint(&got, &p);
        EXPECT_NEAR(got.x, want.x, 1e-4f);
        EXPECT_NEAR(got.z, want.z, 1e-4f);
        OvV3dTransformVector(&want, &p, &inv);
        OvD3D9WorldToObjectDirection(&got, &p);
        EXPECT_NEAR(got.y, want.y, 1e-4f);
        EXPECT_NEAR(OvD3D9WorldToObjectRadius(3), trial % 2 ? 2.0f : 3.0f, 1e-3f);
        // WVP transposed: row k of the result dotted with (p, 1) is component k of p W V P.
        OvD3D9ViewMatrix = D3DMATRIX{{{1, 0, 0, 0}, {0, 1, 0, 0}, {0, 0, 1, 0}, {1, 2, 3, 1}}};
        OvD3D9ProjectionMatrix = D3DMATRIX{{{2, 0, 0, 0}, {0, 2, 0, 0}, {0, 0, 1, 1}, {0, 0, -0.1f, 0}}};
        OvD3D9ViewProjectionCache = nullptr;
        D3DMATRIX t;
        OvD3D9GetWorldViewProjectionTransposed(&t);
        OvV3d world;
        OvV3dTransformPoint(&world, &p, &m);
        const float view[3] = {world.x + 1, world.y + 2, world.z + 3};
        const float clip[4] = {2 * view[0], 2 * view[1], view[2] - 0.1f, view[2]};
        for (int k = 0; k < 4; ++k)
            EXPECT_NEAR(t.m[k][0] * p.x + t.m[k][1] * p.y + t.m[k][2] * p.z + t.m[k][3], clip[k], 1e-3f);
    }
    OvD3D9WorldMatrixSet(nullptr);
    const OvV3d p{1, 2, 3};
    OvV3d got;
    OvD3D9WorldToObjectPoint(&got, &p);
    EXPECT_EQ(got.z, 3.0f);

    // Uploads: ambient and light colours scaled, the rest as written.
    const OvD3D9VertexShaderDesc d = Desc(1, 1, 1, 0, 0, false, ovVSFOGEXP2, ovVSNORMALS | ovVSMATERIALCOLOR);
    OvD3D9VertexShaderLayout l;
    OvD3D9VertexShaderMakeLayout(&d, &l);
    const OvD3D9ShaderLight light{{1, 2, 3}, {0, 0, 1}, 4, 0.5f, FALSE, {0.5f, 0.25f, 1}};
    const float ambient[4] = {0.2f, 0.4f, 0.6f, 1};
    OvD3D9ShaderConstant block[32];
    OvD3D9VertexShaderWriteLights(block, ambient, &light, 1, &light, 1, &light, 1);
    OvD3D9VertexShaderSetLightConstants(block, &d, 0.5f, 2.0f);
    const Constants& c = DeviceConstants();
    EXPECT_FLOAT_EQ(c[4][1], 0.2f);
    EXPECT_FLOAT_EQ(c[4][3], 1.0f);
    EXPECT_FLOAT_EQ(c[5][2], 1.0f);  // direction unscaled
    EXPECT_FLOAT_EQ(c[6][0], 1.0f);  // colour doubled
    EXPECT_FLOAT_EQ(c[7][0], 0.25f); // 1 / radius
    EXPECT_FLOAT_EQ(c[9][1], 0.5f);  // point colour
    EXPECT_FLOAT_EQ(c[12][2], 1.0f); // spot direction
    EXPECT_FLOAT_EQ(c[13][0], 2.0f); // cone: 1 / (1 - 0.5)
    EXPECT_FLOAT_EQ(c[13][1], -1.0f);
    EXPECT_FLOAT_EQ(c[14][2], 2.0f); // spot colour
    const OvUInt8 rgba[4] = {255, 0, 51, 255};
    OvD3D9VertexShaderSetMaterialColor(rgba, &l);
    EXPECT_FLOAT_EQ(c[l.materialColor][2], 0.2f);
    const float density = 0.25f;
    DWORD bits;
    std::memcpy(&bits, &density, 4);
    OvD3D9SetRenderState(D3DRS_FOGDENSITY, bits);
    OvD3D9VertexShaderSetFogConstants(&d, &l);
    // e^-((density depth)^2) = 2^-((c.x depth)^2).
    EXPECT_NEAR(std::exp2(-std::pow(c[l.fog][0] * 2.0f, 2.0f)), std::exp(-std::pow(density * 2.0f, 2.0f)), 1e-6f);
    EXPECT_EQ(c[l.fog][3], 1.0f);
}

} // namespace

namespace {

struct LitVertex {
    float x, y, z;
    float nx, ny, nz;
    DWORD color;
};

// Renders a bumpy lit grid with a rotated, moved world matrix: through the fixed-function path
// with two directional lights, and through the generated shader with the same lights taken into
// object space and uploaded as the pipelines upload them.
std::vector<DWORD> RenderGrid(IDirect3DDevice9* device, bool shader, const OvMatrix& world,
                              const OvD3D9ShaderLight lights[2]) {
    std::mt19937 random(4);
    std::uniform_real_distribution<float> u(-0.3f, 0.3f);
    std::vector<LitVertex> v;
    std::vector<WORD> indices;
    constexpr int n = 8;
    for (int j = 0; j <= n; ++j)
        for (int i = 0; i <= n; ++i) {
            const float nx = u(random), ny = u(random), nz = -1;
            const float len = std::sqrt(nx * nx + ny * ny + nz * nz);
            v.push_back({-2 + 0.5f * i, -2 + 0.5f * j, u(random), nx / len, ny / len, nz / len,
                         0xFF000000u | static_cast<DWORD>(20 * i) << 16 | static_cast<DWORD>(15 * j)});
        }
    for (int j = 0; j < n; ++j)
        for (int i = 0; i < n; ++i) {
            const WORD a = static_cast<WORD>(j * (n + 1) + i);
            for (WORD k : {a, static_cast<WORD>(a + 1), static_cast<WORD>(a + n + 1), static_cast<WORD>(a + 1),
                           static_cast<WORD>(a + n + 2), static_cast<WORD>(a + n + 1)})
                indices.push_back(k);
        }
    const D3DVERTEXELEMENT9 elements[] = {{0, 0, D3DDECLTYPE_FLOAT3, 0, D3DDECLUSAGE_POSITION, 0},
                                          {0, 12, D3DDECLTYPE_FLOAT3, 0, D3DDECLUSAGE_NORMAL, 0},
                                          {0, 24, D3DDECLTYPE_D3DCOLOR, 0, D3DDECLUSAGE_COLOR, 0},
                                          D3DDECL_END()};
    IDirect3DVertexDeclaration9* decl = nullptr;
    EXPECT_EQ(device->CreateVertexDeclaration(elements, &decl), D3D_OK);
    const D3DMATRIX w = {{{world.right.x, world.right.y, world.right.z, 0},
                          {world.up.x, world.up.y, world.up.z, 0},
                          {world.at.x, world.at.y, world.at.z, 0},
                          {world.pos.x, world.pos.y, world.pos.z, 1}}};
    device->SetTransform(D3DTS_WORLD, &w);
    device->SetTransform(D3DTS_VIEW, &OvD3D9ViewMatrix);
    device->SetTransform(D3DTS_PROJECTION, &OvD3D9ProjectionMatrix);
    device->SetRenderState(D3DRS_CULLMODE, D3DCULL_NONE);
    device->SetRenderState(D3DRS_ZENABLE, FALSE);
    device->SetRenderState(D3DRS_FOGENABLE, FALSE);
    device->SetRenderState(D3DRS_ALPHABLENDENABLE, FALSE);
    device->SetRenderState(D3DRS_LIGHTING, TRUE);
    device->SetRenderState(D3DRS_AMBIENT, 0xFF1A1A1A); // 0.1
    device->SetRenderState(D3DRS_COLORVERTEX, TRUE);
    device->SetRenderState(D3DRS_EMISSIVEMATERIALSOURCE, D3DMCS_COLOR1);
    device->SetRenderState(D3DRS_DIFFUSEMATERIALSOURCE, D3DMCS_MATERIAL);
    device->SetRenderState(D3DRS_AMBIENTMATERIALSOURCE, D3DMCS_MATERIAL);
    device->SetTextureStageState(0, D3DTSS_COLOROP, D3DTOP_SELECTARG2);
    device->SetTextureStageState(0, D3DTSS_COLORARG2, D3DTA_DIFFUSE);
    device->SetTextureStageState(0, D3DTSS_ALPHAOP, D3DTOP_SELECTARG2);
    device->SetTextureStageState(0, D3DTSS_ALPHAARG2, D3DTA_DIFFUSE);
    device->SetTexture(0, nullptr);
    D3DMATERIAL9 m{};
    m.Diffuse = {1, 1, 1, 1};
    m.Ambient = {1, 1, 1, 1};
    device->SetMaterial(&m);
    for (DWORD i = 0; i < 2; ++i) {
        D3DLIGHT9 l{};
        l.Type = D3DLIGHT_DIRECTIONAL;
        l.Diffuse = {lights[i].color[0], lights[i].color[1], lights[i].color[2], 1};
        l.Direction = {lights[i].direction.x, lights[i].direction.y, lights[i].direction.z};
        device->SetLight(i, &l);
        device->LightEnable(i, TRUE);
    }
    device->SetVertexDeclaration(decl);
    IDirect3DVertexShader9* vs = nullptr;
    if (shader) {
        OvD3D9VertexShaderDesc d = Desc(2, 0, 0, 0, 0, false, 0, ovVSNORMALS | ovVSVERTEXCOLOR);
        OvD3D9VertexShaderLayout layout;
        vs = OvD3D9VertexShaderGet(&d, &layout);
        EXPECT_NE(vs, nullptr);
        OvD3D9WorldMatrixSet(&world);
        D3DMATRIX wvp;
        OvD3D9GetWorldViewProjectionTransposed(&wvp);
        device->SetVertexShaderConstantF(0, &wvp.m[0][0], 4);
        OvD3D9ShaderLight object[2] = {lights[0], lights[1]};
        for (auto& l : object)
            OvD3D9WorldToObjectDirection(&l.direction, &l.direction);
        const float ambient[4] = {0.1f, 0.1f, 0.1f, 0};
        OvD3D9ShaderConstant block[8];
        OvD3D9VertexShaderWriteLights(block, ambient, object, 2, nullptr, 0, nullptr, 0);
        OvD3D9VertexShaderSetLightConstants(block, &d, 1.0f, 1.0f);
    }
    device->SetVertexShader(vs);
    device->Clear(0, nullptr, D3DCLEAR_TARGET, 0xFF203040, 1.0f, 0);
    device->BeginScene();
    EXPECT_EQ(device->DrawIndexedPrimitiveUP(D3DPT_TRIANGLELIST, 0, static_cast<UINT>(v.size()),
                                             static_cast<UINT>(indices.size() / 3), indices.data(), D3DFMT_INDEX16,
                                             v.data(), sizeof(LitVertex)),
              D3D_OK);
    device->EndScene();
    device->SetVertexShader(nullptr);
    decl->Release();
    IDirect3DSurface9* back = nullptr;
    device->GetBackBuffer(0, 0, D3DBACKBUFFER_TYPE_MONO, &back);
    D3DSURFACE_DESC desc;
    back->GetDesc(&desc);
    IDirect3DSurface9* copy = nullptr;
    device->CreateOffscreenPlainSurface(desc.Width, desc.Height, D3DFMT_A8R8G8B8, D3DPOOL_SYSTEMMEM, &copy, nullptr);
    EXPECT_EQ(device->GetRenderTargetData(back, copy), D3D_OK);
    D3DLOCKED_RECT lr;
    copy->LockRect(&lr, nullptr, D3DLOCK_READONLY);
    std::vector<DWORD> pixels(desc.Width * desc.Height);
    for (UINT y = 0; y < desc.Height; ++y)
        std::memcpy(&pixels[y * desc.Width], static_cast<BYTE*>(lr.pBits) + y * lr.Pitch, desc.Width * 4);
    copy->UnlockRect();
    copy->Release();
    back->Release();
    return pixels;
}

} // namespace

TEST_F(VertexShaderDeviceTest, GeneratedShaderDrawsTheSameLitMeshAsTheFixedFunctionPath) {
    ASSERT_TRUE(Up());
    OvD3D9VertexShaderCacheOpen();
    OvMatrix world;
    OvMatrixSetIdentity(&world);
    const OvV3d axis{0.3f, 1, 0.2f};
    OvMatrixRotate(&world, &axis, 35, ovCOMBINEREPLACE);
    const OvV3d move{0.2f, -0.1f, 6};
    OvMatrixTranslate(&world, &move, ovCOMBINEPOSTCONCAT);
    OvD3D9ViewMatrix = D3DMATRIX{{{1, 0, 0, 0}, {0, 1, 0, 0}, {0, 0, 1, 0}, {0, 0, 0, 1}}};
    OvD3D9ProjectionMatrix = D3DMATRIX{{{1.3f, 0, 0, 0}, {0, 1.7f, 0, 0}, {0, 0, 1.001f, 1}, {0, 0, -0.1f, 0}}};
    OvD3D9ViewProjectionCache = nullptr;
    const OvD3D9ShaderLight lights[2] = {{{}, {0.3f, -0.4f, 0.866f}, 0, 0, FALSE, {0.7f, 0.6f, 0.5f}},
                                         {{}, {-0.6f, 0, 0.8f}, 0, 0, FALSE, {0.2f, 0.3f, 0.6f}}};
    const std::vector<DWORD> fixed = RenderGrid(OvD3D9GetDevice(), false, world, lights);
    const std::vector<DWORD> shaded = RenderGrid(OvD3D9GetDevice(), true, world, lights);
    ASSERT_EQ(fixed.size(), shaded.size());
    std::size_t covered = 0;
    int worst = 0;
    for (std::size_t i = 0; i < fixed.size(); ++i) {
        covered += fixed[i] != 0xFF203040u;
        for (int shift = 0; shift < 24; shift += 8)
            worst = std::max(worst, std::abs(static_cast<int>((fixed[i] >> shift) & 255) -
                                             static_cast<int>((shaded[i] >> shift) & 255)));
    }
    EXPECT_GT(covered, fixed.size() / 6);
    EXPECT_LE(worst, 2); // within two of 255 per channel
}
