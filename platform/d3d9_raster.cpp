// The rasteriser behind the Direct3D 9 stand-in's draws: vertex fetch from declarations, FVFs and
// user memory, fixed-function transform and lighting, clipping in homogeneous space, the viewport,
// culling, triangle, line and point rasterisation with pixel centres on integer coordinates and the
// top-left fill rule, perspective-correct interpolation, texture sampling, the stage combiner,
// alpha test, the depth buffer, blending and the colour write mask.
//
// Positions are snapped to 1/256 of a pixel and edges are tested in 64-bit integers, so two
// triangles that share an edge cover each pixel along it exactly once. Spans are found per row
// from the three edge functions, stepped exactly from row to row. Inside a span the general path
// runs in float through every stage, one pixel at a time; the frequent draws (one stage selecting or
// modulating the diffuse colour, its texture and the factor, into a 32-bit target with 24-bit depth)
// take a path that shades four pixels at a time on SSE2 lanes and works on packed bytes, with the
// same results as shading them one by one.

#include "platform/controls.h"
#include "platform/d3d9_control.h"
#include "platform/d3d9_device.h"
#include "platform/d3d9_shader.h"
#include "platform/worker_pool.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <limits>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <emmintrin.h>

namespace d3d9 {

namespace {

// Small vector maths ------------------------------------------------------------------------------

struct Vec3 {
    float x = 0, y = 0, z = 0;
};
struct Vec4 {
    float x = 0, y = 0, z = 0, w = 0;
};

inline Vec3 Sub(Vec3 a, Vec3 b) { return {a.x - b.x, a.y - b.y, a.z - b.z}; }
inline float Dot(Vec3 a, Vec3 b) { return a.x * b.x + a.y * b.y + a.z * b.z; }
inline Vec3 Normalize(Vec3 v) {
    const float l = std::sqrt(Dot(v, v));
    return l > 0 ? Vec3{v.x / l, v.y / l, v.z / l} : v;
}

// Row vector times matrix, as the platform multiplies.
inline Vec4 Mul(Vec4 v, const D3DMATRIX& m) {
    return {v.x * m.m[0][0] + v.y * m.m[1][0] + v.z * m.m[2][0] + v.w * m.m[3][0],
            v.x * m.m[0][1] + v.y * m.m[1][1] + v.z * m.m[2][1] + v.w * m.m[3][1],
            v.x * m.m[0][2] + v.y * m.m[1][2] + v.z * m.m[2][2] + v.w * m.m[3][2],
            v.x * m.m[0][3] + v.y * m.m[1][3] + v.z * m.m[2][3] + v.w * m.m[3][3]};
}
inline Vec3 MulPoint(Vec3 p, const D3DMATRIX& m) {
    const Vec4 r = Mul(Vec4{p.x, p.y, p.z, 1}, m);
    return {r.x, r.y, r.z};
}
inline Vec3 MulDirection(Vec3 d, const D3DMATRIX& m) {
    const Vec4 r = Mul(Vec4{d.x, d.y, d.z, 0}, m);
    return {r.x, r.y, r.z};
}

D3DMATRIX Multiply(const D3DMATRIX& a, const D3DMATRIX& b) {
    D3DMATRIX r{};
    for (int i = 0; i < 4; ++i)
        for (int j = 0; j < 4; ++j) {
            float s = 0;
            for (int k = 0; k < 4; ++k)
                s += a.m[i][k] * b.m[k][j];
            r.m[i][j] = s;
        }
    return r;
}

// The inverse transpose of the upper 3x3 of `m`, for normals (the matrix itself when singular).
D3DMATRIX NormalMatrix(const D3DMATRIX& m) {
    const auto& a = m.m;
    const float c00 = a[1][1] * a[2][2] - a[1][2] * a[2][1];
    const float c01 = a[1][2] * a[2][0] - a[1][0] * a[2][2];
    const float c02 = a[1][0] * a[2][1] - a[1][1] * a[2][0];
    const float det = a[0][0] * c00 + a[0][1] * c01 + a[0][2] * c02;
    D3DMATRIX r{};
    r.m[3][3] = 1;
    if (!(std::fabs(det) > 1e-30f) || !std::isfinite(det)) {
        for (int i = 0; i < 3; ++i)
            for (int j = 0; j < 3; ++j)
                r.m[i][j] = a[i][j];
        return r;
    }
    const float inv = 1.0f / det;
    // Rows of the inverse transpose are the cofactor rows divided by the determinant.
    r.m[0][0] = c00 * inv;
    r.m[0][1] = c01 * inv;
    r.m[0][2] = c02 * inv;
    r.m[1][0] = (a[0][2] * a[2][1] - a[0][1] * a[2][2]) * inv;
    r.m[1][1] = (a[0][0] * a[2][2] - a[0][2] * a[2][0]) * inv;
    r.m[1][2] = (a[0][1] * a[2][0] - a[0][0] * a[2][1]) * inv;
    r.m[2][0] = (a[0][1] * a[1][2] - a[0][2] * a[1][1]) * inv;
    r.m[2][1] = (a[0][2] * a[1][0] - a[0][0] * a[1][2]) * inv;
    r.m[2][2] = (a[0][0] * a[1][1] - a[0][1] * a[1][0]) * inv;
    return r;
}

inline float Saturate(float v) { return v > 0 ? (v < 1 ? v : 1) : 0; } // NaN gives 0

inline Vec4 FromColor(D3DCOLOR c) {
    constexpr float k = 1.0f / 255.0f;
    return {static_cast<float>((c >> 16) & 255) * k, static_cast<float>((c >> 8) & 255) * k,
            static_cast<float>(c & 255) * k, static_cast<float>(c >> 24) * k};
}
inline Vec4 FromValue(const D3DCOLORVALUE& c) { return {c.r, c.g, c.b, c.a}; }

inline DWORD To8(float v) { return static_cast<DWORD>(Saturate(v) * 255.0f + 0.5f); }
inline D3DCOLOR ToColor(Vec4 c) { return To8(c.w) << 24 | To8(c.x) << 16 | To8(c.y) << 8 | To8(c.z); }

float FloatOf(DWORD bits) {
    float f;
    std::memcpy(&f, &bits, 4);
    return f;
}

// Vertex fetch ----------------------------------------------------------------------------------------

float HalfToFloat(WORD h) {
    const int e = (h >> 10) & 31;
    const int m = h & 1023;
    float v;
    if (e == 0)
        v = std::ldexp(static_cast<float>(m), -24);
    else if (e == 31)
        v = m == 0 ? std::numeric_limits<float>::infinity() : std::numeric_limits<float>::quiet_NaN();
    else
        v = std::ldexp(static_cast<float>(m + 1024), e - 25);
    return (h & 0x8000) ? -v : v;
}

// One element to four floats, missing components (0, 0, 0, 1).
Vec4 Decode(BYTE type, const BYTE* p) {
    float f[4] = {0, 0, 0, 1};
    auto i16 = [&](int i) {
        std::int16_t v;
        std::memcpy(&v, p + 2 * i, 2);
        return v;
    };
    auto u16 = [&](int i) {
        WORD v;
        std::memcpy(&v, p + 2 * i, 2);
        return v;
    };
    DWORD d;
    switch (type) {
    case D3DDECLTYPE_FLOAT1:
    case D3DDECLTYPE_FLOAT2:
    case D3DDECLTYPE_FLOAT3:
    case D3DDECLTYPE_FLOAT4:
        std::memcpy(f, p, 4 * (type - D3DDECLTYPE_FLOAT1 + 1));
        break;
    case D3DDECLTYPE_D3DCOLOR: {
        const Vec4 c = FromColor(p[0] | p[1] << 8 | p[2] << 16 | static_cast<DWORD>(p[3]) << 24);
        return c;
    }
    case D3DDECLTYPE_UBYTE4:
        for (int i = 0; i < 4; ++i)
            f[i] = p[i];
        break;
    case D3DDECLTYPE_UBYTE4N:
        for (int i = 0; i < 4; ++i)
            f[i] = p[i] / 255.0f;
        break;
    case D3DDECLTYPE_SHORT2:
    case D3DDECLTYPE_SHORT4:
        for (int i = 0; i < (type == D3DDECLTYPE_SHORT2 ? 2 : 4); ++i)
            f[i] = i16(i);
        break;
    case D3DDECLTYPE_SHORT2N:
    case D3DDECLTYPE_SHORT4N:
        for (int i = 0; i < (type == D3DDECLTYPE_SHORT2N ? 2 : 4); ++i)
            f[i] = std::max(-1.0f, i16(i) / 32767.0f);
        break;
    case D3DDECLTYPE_USHORT2N:
    case D3DDECLTYPE_USHORT4N:
        for (int i = 0; i < (type == D3DDECLTYPE_USHORT2N ? 2 : 4); ++i)
            f[i] = u16(i) / 65535.0f;
        break;
    case D3DDECLTYPE_UDEC3:
        std::memcpy(&d, p, 4);
        for (int i = 0; i < 3; ++i)
            f[i] = static_cast<float>((d >> (10 * i)) & 1023);
        break;
    case D3DDECLTYPE_DEC3N:
        std::memcpy(&d, p, 4);
        for (int i = 0; i < 3; ++i) {
            int v = static_cast<int>((d >> (10 * i)) & 1023);
            if (v >= 512)
                v -= 1024;
            f[i] = std::max(-1.0f, v / 511.0f);
        }
        break;
    case D3DDECLTYPE_FLOAT16_2:
    case D3DDECLTYPE_FLOAT16_4:
        for (int i = 0; i < (type == D3DDECLTYPE_FLOAT16_2 ? 2 : 4); ++i)
            f[i] = HalfToFloat(u16(i));
        break;
    default:
        break;
    }
    return {f[0], f[1], f[2], f[3]};
}

// A vertex as the declaration delivers it.
struct InputVertex {
    Vec4 position;
    Vec3 normal;
    Vec4 color[2];
    Vec4 tex[8];
};

// Where each used element of a draw comes from.
struct Fetch {
    struct Source {
        const BYTE* base = nullptr;
        UINT stride = 0;
        BYTE type = 0;
    };
    Source position, normal, color[2], tex[8];
    bool transformed = false; // POSITIONT
    bool hasColor[2] = {};
    bool hasNormal = false;

    void Read(std::uint64_t index, InputVertex* v) const {
        auto read = [&](const Source& s, Vec4 fallback) {
            return s.base != nullptr ? Decode(s.type, s.base + index * s.stride) : fallback;
        };
        v->position = read(position, Vec4{0, 0, 0, 1});
        if (hasNormal) {
            const Vec4 n = read(normal, Vec4{});
            v->normal = {n.x, n.y, n.z};
        }
        for (int i = 0; i < 2; ++i)
            v->color[i] = read(color[i], i == 0 ? Vec4{1, 1, 1, 1} : Vec4{0, 0, 0, 0});
        for (int i = 0; i < 8; ++i)
            v->tex[i] = read(tex[i], Vec4{0, 0, 0, 1});
    }
};

Fetch MakeFetch(const Device& device, const DrawCall& call) {
    Fetch f;
    for (const D3DVERTEXELEMENT9& e : call.elements) {
        Fetch::Source s;
        if (call.userVertices != nullptr) {
            s.base = call.userVertices + e.Offset;
            s.stride = call.userStride;
        } else {
            const Stream& st = device.state.streams[e.Stream];
            if (st.buffer == nullptr)
                continue;
            s.base = st.buffer->store.bytes.data() + st.offset + e.Offset;
            s.stride = st.stride;
        }
        s.type = e.Type;
        switch (e.Usage) {
        case D3DDECLUSAGE_POSITION:
            if (e.UsageIndex == 0)
                f.position = s;
            break;
        case D3DDECLUSAGE_POSITIONT:
            f.position = s;
            f.transformed = true;
            break;
        case D3DDECLUSAGE_NORMAL:
            if (e.UsageIndex == 0) {
                f.normal = s;
                f.hasNormal = true;
            }
            break;
        case D3DDECLUSAGE_COLOR:
            if (e.UsageIndex < 2) {
                f.color[e.UsageIndex] = s;
                f.hasColor[e.UsageIndex] = true;
            }
            break;
        case D3DDECLUSAGE_TEXCOORD:
            if (e.UsageIndex < 8)
                f.tex[e.UsageIndex] = s;
            break;
        default:
            break;
        }
    }
    return f;
}

// The inputs of a vertex shader: each declared v register from the element with its usage and
// usage index; an input without one reads (0, 0, 0, 1).
struct ShaderFetch {
    struct Input {
        int reg;
        Fetch::Source source;
    };
    std::vector<Input> inputs;

    void Read(std::uint64_t index, std::array<std::array<float, 4>, kShaderInputs>* v) const {
        for (const Input& in : inputs) {
            const Vec4 d = in.source.base != nullptr ? Decode(in.source.type, in.source.base + index * in.source.stride)
                                                     : Vec4{0, 0, 0, 1};
            (*v)[in.reg] = {d.x, d.y, d.z, d.w};
        }
    }
};

ShaderFetch MakeShaderFetch(const Device& device, const DrawCall& call, const ShaderProgram& program) {
    ShaderFetch f;
    for (const ShaderDecl& d : program.decls) {
        ShaderFetch::Input in{d.reg, {}};
        for (const D3DVERTEXELEMENT9& e : call.elements) {
            if (e.Usage != d.usage || e.UsageIndex != d.usageIndex)
                continue;
            if (call.userVertices != nullptr) {
                in.source.base = call.userVertices + e.Offset;
                in.source.stride = call.userStride;
            } else {
                const Stream& st = device.state.streams[e.Stream];
                if (st.buffer == nullptr)
                    break;
                in.source.base = st.buffer->store.bytes.data() + st.offset + e.Offset;
                in.source.stride = st.stride;
            }
            in.source.type = e.Type;
            break;
        }
        f.inputs.push_back(in);
    }
    return f;
}

// Vertex processing ------------------------------------------------------------------------------------

// A processed vertex: clip-space position (or screen position for pre-transformed ones), its
// colours and the texture coordinates of every stage (s, t, q with q = 1 unless projected).
struct ClipVertex {
    Vec4 clip;
    Vec4 color[2];
    float tex[8][3];
    float fog; // the vertex's fog factor: 1 no fog, 0 the fog colour alone
};

// Fog by distance: linear between start and end, or exponential (squared) with the density.
struct FogEquation {
    DWORD mode = D3DFOG_NONE;
    float start = 0, end = 1, density = 1;

    // The factor for a distance, 1 (no fog) to 0 (the fog colour alone).
    float Factor(float d) const {
        switch (mode) {
        case D3DFOG_LINEAR:
            if (end == start)
                return d < start ? 1.0f : 0.0f;
            return Saturate((end - d) / (end - start));
        case D3DFOG_EXP:
            return Saturate(std::exp(-d * density));
        case D3DFOG_EXP2: {
            const float x = d * density;
            return Saturate(std::exp(-x * x));
        }
        default:
            return 1.0f;
        }
    }
};

struct LightSetup {
    D3DLIGHTTYPE type;
    Vec4 diffuse, specular, ambient;
    Vec3 position;  // camera space
    Vec3 direction; // camera space, towards the light for directional lights
    float range, falloff, a0, a1, a2;
    float cosTheta, cosPhi; // halves of the cone angles
};

struct VertexSetup {
    bool transformed = false;
    bool lighting = false;
    bool normalize = false;
    bool specular = false;
    bool localViewer = false;
    bool colorVertex = false;
    // Fog per vertex: from the camera-space depth (or distance with rangeFog) by the equation,
    // or, for vertices already transformed, the specular alpha they carry.
    FogEquation fog;
    bool rangeFog = false;
    bool fogFromSpecular = false;
    DWORD diffuseSource = 0, specularSource = 0, ambientSource = 0, emissiveSource = 0;
    D3DMATRIX worldView{}, worldViewProjection{}, normal{};
    D3DMATERIAL9 material{};
    Vec4 ambient;
    LightSetup lights[8];
    int lightCount = 0;
    int stages = 0; // stages whose coordinates are needed
    struct StageCoords {
        DWORD index = 0;  // set
        DWORD texgen = 0; // D3DTSS_TCI_* high bits
        DWORD flags = 0;  // D3DTTFF_*
        D3DMATRIX matrix{};
        int inputCount = 2; // components of the set
    } coords[8];
};

int ComponentsOf(BYTE type) {
    switch (type) {
    case D3DDECLTYPE_FLOAT1:
        return 1;
    case D3DDECLTYPE_FLOAT2:
    case D3DDECLTYPE_SHORT2:
    case D3DDECLTYPE_SHORT2N:
    case D3DDECLTYPE_USHORT2N:
    case D3DDECLTYPE_FLOAT16_2:
        return 2;
    case D3DDECLTYPE_FLOAT3:
    case D3DDECLTYPE_UDEC3:
    case D3DDECLTYPE_DEC3N:
        return 3;
    default:
        return 4;
    }
}

VertexSetup MakeVertexSetup(const State& s, const Fetch& fetch, int stages) {
    VertexSetup v;
    v.transformed = fetch.transformed;
    const auto& r = s.render;
    v.lighting = !fetch.transformed && r[D3DRS_LIGHTING] != 0;
    v.normalize = r[D3DRS_NORMALIZENORMALS] != 0;
    v.specular = r[D3DRS_SPECULARENABLE] != 0;
    v.localViewer = r[D3DRS_LOCALVIEWER] != 0;
    v.colorVertex = r[D3DRS_COLORVERTEX] != 0;
    v.diffuseSource = r[D3DRS_DIFFUSEMATERIALSOURCE];
    v.specularSource = r[D3DRS_SPECULARMATERIALSOURCE];
    v.ambientSource = r[D3DRS_AMBIENTMATERIALSOURCE];
    v.emissiveSource = r[D3DRS_EMISSIVEMATERIALSOURCE];
    const D3DMATRIX& view = s.transform[D3DTS_VIEW];
    v.worldView = Multiply(s.transform[D3DTS_WORLD], view);
    v.worldViewProjection = Multiply(v.worldView, s.transform[D3DTS_PROJECTION]);
    v.normal = NormalMatrix(v.worldView);
    v.material = s.material;
    v.ambient = FromColor(r[D3DRS_AMBIENT]);
    if (v.lighting)
        for (const auto& [index, light] : s.lights) {
            if (!light.enabled || v.lightCount == 8)
                continue;
            const D3DLIGHT9& l = light.light;
            LightSetup& o = v.lights[v.lightCount++];
            o.type = l.Type;
            o.diffuse = FromValue(l.Diffuse);
            o.specular = FromValue(l.Specular);
            o.ambient = FromValue(l.Ambient);
            o.position = MulPoint(Vec3{l.Position.x, l.Position.y, l.Position.z}, view);
            o.direction = Normalize(MulDirection(Vec3{l.Direction.x, l.Direction.y, l.Direction.z}, view));
            o.range = l.Range;
            o.falloff = l.Falloff;
            o.a0 = l.Attenuation0;
            o.a1 = l.Attenuation1;
            o.a2 = l.Attenuation2;
            o.cosTheta = std::cos(l.Theta * 0.5f);
            o.cosPhi = std::cos(l.Phi * 0.5f);
        }
    v.stages = stages;
    for (int i = 0; i < stages; ++i) {
        auto& c = v.coords[i];
        const DWORD tci = s.stage[i][D3DTSS_TEXCOORDINDEX];
        c.index = tci & 7;
        c.texgen = tci & 0xFFFF0000u;
        c.flags = s.stage[i][D3DTSS_TEXTURETRANSFORMFLAGS];
        c.matrix = s.transform[D3DTS_TEXTURE0 + i];
        c.inputCount = fetch.tex[c.index].base != nullptr ? ComponentsOf(fetch.tex[c.index].type) : 2;
    }
    return v;
}

// A material colour from its source: the vertex colour when colour vertex is on and the vertex
// has that colour, the material otherwise.
inline Vec4 Source(const VertexSetup& v, DWORD source, const D3DCOLORVALUE& material, const InputVertex& in,
                   const bool hasColor[2]) {
    if (v.colorVertex && (source == D3DMCS_COLOR1 || source == D3DMCS_COLOR2) && hasColor[source - 1])
        return in.color[source - 1];
    return FromValue(material);
}

void Light(const VertexSetup& v, const InputVertex& in, const bool hasColor[2], Vec4 out[2]) {
    const Vec3 p = MulPoint(Vec3{in.position.x, in.position.y, in.position.z}, v.worldView);
    Vec3 n = MulDirection(in.normal, v.normal);
    if (v.normalize)
        n = Normalize(n);
    const Vec4 md = Source(v, v.diffuseSource, v.material.Diffuse, in, hasColor);
    const Vec4 ma = Source(v, v.ambientSource, v.material.Ambient, in, hasColor);
    const Vec4 ms = Source(v, v.specularSource, v.material.Specular, in, hasColor);
    const Vec4 me = Source(v, v.emissiveSource, v.material.Emissive, in, hasColor);
    Vec3 diffuse{}, ambient{v.ambient.x, v.ambient.y, v.ambient.z}, specular{};
    const Vec3 eye = v.localViewer ? Normalize(Vec3{-p.x, -p.y, -p.z}) : Vec3{0, 0, 1};
    for (int i = 0; i < v.lightCount; ++i) {
        const LightSetup& l = v.lights[i];
        Vec3 dir;
        float scale = 1;
        if (l.type == D3DLIGHT_DIRECTIONAL) {
            dir = {-l.direction.x, -l.direction.y, -l.direction.z};
        } else {
            const Vec3 d = Sub(l.position, p);
            const float dist = std::sqrt(Dot(d, d));
            if (!(dist <= l.range))
                continue;
            dir = dist > 0 ? Vec3{d.x / dist, d.y / dist, d.z / dist} : Vec3{0, 0, 1};
            const float att = l.a0 + l.a1 * dist + l.a2 * dist * dist;
            scale = att > 0 ? 1.0f / att : 0.0f;
            if (l.type == D3DLIGHT_SPOT) {
                const float rho = -Dot(dir, l.direction);
                float spot;
                if (rho > l.cosTheta)
                    spot = 1;
                else if (rho <= l.cosPhi)
                    spot = 0;
                else {
                    spot = (rho - l.cosPhi) / (l.cosTheta - l.cosPhi);
                    if (l.falloff != 1.0f)
                        spot = std::pow(spot, l.falloff);
                }
                scale *= spot;
            }
        }
        if (scale == 0)
            continue;
        ambient.x += l.ambient.x * scale;
        ambient.y += l.ambient.y * scale;
        ambient.z += l.ambient.z * scale;
        const float ndl = Dot(n, dir);
        if (ndl > 0) {
            diffuse.x += l.diffuse.x * ndl * scale;
            diffuse.y += l.diffuse.y * ndl * scale;
            diffuse.z += l.diffuse.z * ndl * scale;
            if (v.specular) {
                const Vec3 h = Normalize(Vec3{dir.x + eye.x, dir.y + eye.y, dir.z + eye.z});
                const float ndh = Dot(n, h);
                if (ndh > 0) {
                    const float s = std::pow(ndh, v.material.Power) * scale;
                    specular.x += l.specular.x * s;
                    specular.y += l.specular.y * s;
                    specular.z += l.specular.z * s;
                }
            }
        }
    }
    out[0] = {Saturate(me.x + ma.x * ambient.x + md.x * diffuse.x),
              Saturate(me.y + ma.y * ambient.y + md.y * diffuse.y),
              Saturate(me.z + ma.z * ambient.z + md.z * diffuse.z), Saturate(md.w)};
    out[1] = v.specular ? Vec4{Saturate(ms.x * specular.x), Saturate(ms.y * specular.y), Saturate(ms.z * specular.z),
                               Saturate(ms.w)}
                        : Vec4{0, 0, 0, 0};
}

void Process(const VertexSetup& v, const Fetch& fetch, const InputVertex& in, ClipVertex* out) {
    if (v.transformed) {
        out->clip = in.position; // x, y, z in the target, rhw
    } else {
        out->clip = Mul(Vec4{in.position.x, in.position.y, in.position.z, 1}, v.worldViewProjection);
    }
    out->fog = 1;
    if (v.fogFromSpecular) {
        out->fog = fetch.hasColor[1] ? Saturate(in.color[1].w) : 1.0f;
    } else if (v.fog.mode != D3DFOG_NONE) {
        const Vec3 p = MulPoint(Vec3{in.position.x, in.position.y, in.position.z}, v.worldView);
        out->fog = v.fog.Factor(v.rangeFog ? std::sqrt(Dot(p, p)) : p.z);
    }
    if (v.lighting) {
        Light(v, in, fetch.hasColor, out->color);
    } else {
        out->color[0] = in.color[0];
        out->color[1] = in.color[1];
    }
    for (int i = 0; i < v.stages; ++i) {
        const auto& c = v.coords[i];
        Vec4 t;
        int count = c.inputCount;
        if (c.texgen == D3DTSS_TCI_PASSTHRU) {
            t = in.tex[c.index];
        } else {
            const Vec3 p = MulPoint(Vec3{in.position.x, in.position.y, in.position.z}, v.worldView);
            Vec3 n = Normalize(MulDirection(in.normal, v.normal));
            Vec3 g;
            if (c.texgen == D3DTSS_TCI_CAMERASPACENORMAL) {
                g = n;
            } else if (c.texgen == D3DTSS_TCI_CAMERASPACEPOSITION) {
                g = p;
            } else { // reflection of the eye vector about the normal
                const Vec3 e = v.localViewer ? Normalize(p) : Vec3{0, 0, 1};
                const float d = 2 * Dot(e, n);
                g = {e.x - d * n.x, e.y - d * n.y, e.z - d * n.z};
            }
            t = {g.x, g.y, g.z, 1};
            count = 3;
        }
        const DWORD outCount = c.flags & 0xFF;
        float q = 1;
        if (outCount != D3DTTFF_DISABLE) {
            // The coordinate after the last one given reads as 1, the rest as 0.
            float in4[4] = {t.x, t.y, t.z, t.w};
            for (int k = count; k < 4; ++k)
                in4[k] = k == count ? 1.0f : 0.0f;
            t = Mul(Vec4{in4[0], in4[1], in4[2], in4[3]}, c.matrix);
            if ((c.flags & D3DTTFF_PROJECTED) && outCount >= 2) {
                const float comps[4] = {t.x, t.y, t.z, t.w};
                q = comps[std::min<DWORD>(outCount, 4) - 1];
            }
        }
        out->tex[i][0] = t.x;
        out->tex[i][1] = t.y;
        out->tex[i][2] = q;
    }
}

// Targets, samplers and the pixel stage ------------------------------------------------------------------

struct Sampler {
    const Image* levels[16] = {};
    int levelCount = 0;
    DWORD addressU = D3DTADDRESS_WRAP, addressV = D3DTADDRESS_WRAP;
    DWORD mag = D3DTEXF_POINT, min = D3DTEXF_POINT, mip = D3DTEXF_NONE;
    D3DCOLOR borderColor = 0;
    float bias = 0;
    bool fastWrap = false; // every level A8R8G8B8 with power-of-two sides, wrapped both ways
    bool quick = false;    // fastWrap, and linear filters in and out
    const PALETTEENTRY* palette = nullptr;
    // The levels as the quick sampler reads them (under fastWrap).
    struct Level {
        const BYTE* bytes = nullptr;
        std::size_t pitch = 0;
        int wmask = 0, hmask = 0;
        float width = 0, height = 0;
    } level[16];
};

struct Stage {
    DWORD colorOp, colorArg[3], alphaOp, alphaArg[3], result;
    int sampler = -1; // index into the samplers, -1 without a texture
};

struct PixelSetup {
    Stage stages[8];
    int stageCount = 0;
    Sampler samplers[8];
    Vec4 factor;
    bool specularAdd = false;
    bool useSpecular = false; // the specular colour is added or read by a stage
    bool flat = false;
    bool alphaTest = false;
    DWORD alphaFunc = D3DCMP_ALWAYS, alphaRef = 0;
    bool blend = false;
    DWORD srcBlend = D3DBLEND_ONE, dstBlend = D3DBLEND_ZERO, blendOp = D3DBLENDOP_ADD;
    DWORD writeMask = 0xF;
    bool depthTest = false, depthWrite = false;
    DWORD depthFunc = D3DCMP_LESSEQUAL;
    Image* target = nullptr;
    Image* depth = nullptr;
    // The frequent case on packed bytes: at most one stage selecting or modulating the diffuse
    // colour, its texture and the factor, a 32-bit target, 24-bit depth or none, no specular.
    bool fast = false;
    bool projected = false;  // stage 0 divides its coordinates by q
    bool alphaBlend = false; // blending is source alpha over inverse source alpha, added
    enum class Arg { Diffuse, Texture, Factor } colorArgs[2]{}, alphaArgs[2]{};
    DWORD fastColorOp = D3DTOP_SELECTARG1, fastAlphaOp = D3DTOP_SELECTARG1;
    bool oneOperation = false; // colour and alpha the same operation on the same arguments
    bool storeColor = false;   // the colour replaces the target's or goes over it by source alpha
    D3DCOLOR factor8 = 0;      // the factor as bytes
    // The scissor: the viewport within the target (and the depth surface), half-open.
    int left = 0, top = 0, right = 0, bottom = 0;
    // Fog: the colour goes over the pixel by 1 - factor, the factor per pixel from the depth
    // (fogTable: the eye depth w with fogW, else z) or interpolated from the vertices' (the
    // interpolant fogIndex).
    bool fog = false;
    bool fogTable = false, fogW = false;
    int fogIndex = 0;
    FogEquation fogEquation;
    Vec4 fogColor;
};

// Depth of a format as an integer whose order is the order of the depths.
inline DWORD DepthKey(D3DFORMAT format, float z) {
    z = Saturate(z);
    switch (format) {
    case D3DFMT_D16:
    case D3DFMT_D16_LOCKABLE:
        return static_cast<DWORD>(z * 65535.0f + 0.5f);
    case D3DFMT_D15S1:
        return static_cast<DWORD>(z * 32767.0f + 0.5f);
    case D3DFMT_D32:
        return static_cast<DWORD>(std::llround(static_cast<double>(z) * 4294967295.0));
    case D3DFMT_D32F_LOCKABLE:
    case D3DFMT_D24FS8: {
        DWORD bits;
        std::memcpy(&bits, &z, 4);
        return format == D3DFMT_D24FS8 ? bits >> 8 : bits;
    }
    default:
        return static_cast<DWORD>(static_cast<double>(z) * 16777215.0 + 0.5); // 24-bit depth
    }
}

inline DWORD LoadDepthKey(D3DFORMAT format, const BYTE* p) {
    DWORD w = 0;
    switch (format) {
    case D3DFMT_D16:
    case D3DFMT_D16_LOCKABLE:
        return static_cast<DWORD>(p[0] | p[1] << 8);
    case D3DFMT_D15S1:
        return static_cast<DWORD>(p[0] | p[1] << 8) >> 1;
    case D3DFMT_D32:
    case D3DFMT_D32F_LOCKABLE:
        std::memcpy(&w, p, 4);
        return w;
    default:
        std::memcpy(&w, p, 4);
        return w >> 8; // depth in the top 24 bits
    }
}

inline void StoreDepthKey(D3DFORMAT format, BYTE* p, DWORD key) {
    DWORD w;
    switch (format) {
    case D3DFMT_D16:
    case D3DFMT_D16_LOCKABLE:
        p[0] = static_cast<BYTE>(key);
        p[1] = static_cast<BYTE>(key >> 8);
        break;
    case D3DFMT_D15S1: {
        const DWORD v = (p[0] & 1u) | key << 1;
        p[0] = static_cast<BYTE>(v);
        p[1] = static_cast<BYTE>(v >> 8);
        break;
    }
    case D3DFMT_D32:
    case D3DFMT_D32F_LOCKABLE:
        std::memcpy(p, &key, 4);
        break;
    default:
        std::memcpy(&w, p, 4);
        w = (w & 0xFF) | key << 8;
        std::memcpy(p, &w, 4);
        break;
    }
}

inline bool Compare(DWORD func, DWORD a, DWORD b) // a: incoming, b: reference
{
    switch (func) {
    case D3DCMP_NEVER:
        return false;
    case D3DCMP_LESS:
        return a < b;
    case D3DCMP_EQUAL:
        return a == b;
    case D3DCMP_LESSEQUAL:
        return a <= b;
    case D3DCMP_GREATER:
        return a > b;
    case D3DCMP_NOTEQUAL:
        return a != b;
    case D3DCMP_GREATEREQUAL:
        return a >= b;
    default:
        return true;
    }
}

inline int Address(DWORD mode, int i, int size) // -1: the border
{
    switch (mode) {
    case D3DTADDRESS_MIRROR: {
        int m = i % (2 * size);
        if (m < 0)
            m += 2 * size;
        return m < size ? m : 2 * size - 1 - m;
    }
    case D3DTADDRESS_CLAMP:
        return i < 0 ? 0 : (i >= size ? size - 1 : i);
    case D3DTADDRESS_BORDER:
        return i < 0 || i >= size ? -1 : i;
    default: {
        int m = i % size;
        return m < 0 ? m + size : m;
    }
    }
}

inline int AddressFast(DWORD mode, int i, int size) {
    if (mode == D3DTADDRESS_WRAP && (size & (size - 1)) == 0)
        return i & (size - 1);
    return Address(mode, i, size);
}

inline D3DCOLOR Texel(const Sampler& s, const Image& image, int x, int y) {
    x = AddressFast(s.addressU, x, static_cast<int>(image.width));
    y = AddressFast(s.addressV, y, static_cast<int>(image.height));
    if (x < 0 || y < 0)
        return s.borderColor;
    if (image.format == D3DFMT_A8R8G8B8 || image.format == D3DFMT_X8R8G8B8) {
        D3DCOLOR c;
        std::memcpy(
            &c, image.bytes.data() + static_cast<std::size_t>(y) * image.pitch + 4 * static_cast<std::size_t>(x), 4);
        return image.format == D3DFMT_X8R8G8B8 ? c | 0xFF000000u : c;
    }
    return ReadTexel(image, static_cast<UINT>(x), static_cast<UINT>(y), s.palette);
}

// a + (b - a) * f / 256 on the four bytes at once, f in 0..256.
[[gnu::always_inline]] inline D3DCOLOR Lerp8(D3DCOLOR a, D3DCOLOR b, DWORD f) {
    const DWORD g = 256 - f;
    const DWORD rb = (((a & 0x00FF00FFu) * g + (b & 0x00FF00FFu) * f + 0x00800080u) >> 8) & 0x00FF00FFu;
    const DWORD ag = (((a >> 8) & 0x00FF00FFu) * g + ((b >> 8) & 0x00FF00FFu) * f + 0x00800080u) & 0xFF00FF00u;
    return rb | ag;
}

// Lerp8(Lerp8(t0, t1, fx), Lerp8(t2, t3, fx), fy) with the channels of both rows in 16-bit lanes:
// every sum stays below 2^16, so the lanes give the same bytes as the packed form.
[[gnu::always_inline]] inline D3DCOLOR Bilerp8(const D3DCOLOR t[4], DWORD fx, DWORD fy) {
    const __m128i zero = _mm_setzero_si128();
    const __m128i left = _mm_unpacklo_epi8(
        _mm_unpacklo_epi32(_mm_cvtsi32_si128(static_cast<int>(t[0])), _mm_cvtsi32_si128(static_cast<int>(t[2]))), zero);
    const __m128i right = _mm_unpacklo_epi8(
        _mm_unpacklo_epi32(_mm_cvtsi32_si128(static_cast<int>(t[1])), _mm_cvtsi32_si128(static_cast<int>(t[3]))), zero);
    const __m128i half = _mm_set1_epi16(128);
    const __m128i rows =
        _mm_srli_epi16(_mm_add_epi16(_mm_add_epi16(_mm_mullo_epi16(left, _mm_set1_epi16(static_cast<short>(256 - fx))),
                                                   _mm_mullo_epi16(right, _mm_set1_epi16(static_cast<short>(fx)))),
                                     half),
                       8);
    const short gy = static_cast<short>(256 - fy), fy16 = static_cast<short>(fy);
    const __m128i weighted = _mm_mullo_epi16(rows, _mm_set_epi16(fy16, fy16, fy16, fy16, gy, gy, gy, gy));
    const __m128i sum = _mm_srli_epi16(_mm_add_epi16(_mm_add_epi16(weighted, _mm_srli_si128(weighted, 8)), half), 8);
    return static_cast<D3DCOLOR>(_mm_cvtsi128_si32(_mm_packus_epi16(sum, zero)));
}

// Coordinates beyond this many texels lose every fraction anyway: kept finite and in int range.
[[gnu::always_inline]] inline float TexelCoordinate(float u, UINT size) {
    const float s = u * static_cast<float>(size) - 0.5f;
    return std::fabs(s) < 1e7f ? s : 0.0f; // NaN too
}

[[gnu::always_inline]] inline D3DCOLOR SampleLevel(const Sampler& s, const Image& image, float u, float v,
                                                   DWORD filter) {
    const float x = TexelCoordinate(u, image.width);
    const float y = TexelCoordinate(v, image.height);
    if (filter != D3DTEXF_LINEAR && filter != D3DTEXF_ANISOTROPIC)
        return Texel(s, image, static_cast<int>(std::floor(x + 0.5f)), static_cast<int>(std::floor(y + 0.5f)));
    // floor of coordinates below 1e7 in magnitude, exact in int and float both.
    const int x0 = static_cast<int>(x) - (static_cast<float>(static_cast<int>(x)) > x ? 1 : 0);
    const int y0 = static_cast<int>(y) - (static_cast<float>(static_cast<int>(y)) > y ? 1 : 0);
    const float fx0 = static_cast<float>(x0), fy0 = static_cast<float>(y0);
    const DWORD fx = static_cast<DWORD>((x - fx0) * 256.0f + 0.5f), fy = static_cast<DWORD>((y - fy0) * 256.0f + 0.5f);
    const int w = static_cast<int>(image.width), h = static_cast<int>(image.height);
    if (s.fastWrap) {
        // The usual case: four texels of a 32-bit, wrapped, power-of-two level straight from memory.
        const BYTE* row0 = image.bytes.data() + static_cast<std::size_t>(y0 & (h - 1)) * image.pitch;
        const BYTE* row1 = image.bytes.data() + static_cast<std::size_t>((y0 + 1) & (h - 1)) * image.pitch;
        const std::size_t c0 = 4 * static_cast<std::size_t>(x0 & (w - 1)),
                          c1 = 4 * static_cast<std::size_t>((x0 + 1) & (w - 1));
        D3DCOLOR t[4];
        std::memcpy(&t[0], row0 + c0, 4);
        std::memcpy(&t[1], row0 + c1, 4);
        std::memcpy(&t[2], row1 + c0, 4);
        std::memcpy(&t[3], row1 + c1, 4);
        return Bilerp8(t, fx, fy);
    }
    const D3DCOLOR a = Texel(s, image, x0, y0), b = Texel(s, image, x0 + 1, y0);
    const D3DCOLOR c = Texel(s, image, x0, y0 + 1), d = Texel(s, image, x0 + 1, y0 + 1);
    return Lerp8(Lerp8(a, b, fx), Lerp8(c, d, fx), fy);
}

// `lod`: log2 of texels of level 0 per pixel.
[[gnu::always_inline]] inline D3DCOLOR Sample(const Sampler& s, float u, float v, float lod) {
    lod += s.bias;
    if (!(lod > 0) || s.levelCount == 1 || s.mip == D3DTEXF_NONE) {
        const DWORD filter = lod > 0 ? s.min : s.mag;
        return SampleLevel(s, *s.levels[0], u, v, filter);
    }
    const float top = static_cast<float>(s.levelCount - 1);
    if (s.mip == D3DTEXF_POINT) {
        const int level = static_cast<int>(std::min(std::floor(lod + 0.5f), top));
        return SampleLevel(s, *s.levels[level], u, v, s.min);
    }
    if (lod >= top)
        return SampleLevel(s, *s.levels[s.levelCount - 1], u, v, s.min);
    const int level = static_cast<int>(lod);
    const DWORD t = static_cast<DWORD>((lod - static_cast<float>(level)) * 256.0f + 0.5f);
    const D3DCOLOR a = SampleLevel(s, *s.levels[level], u, v, s.min);
    const D3DCOLOR b = SampleLevel(s, *s.levels[level + 1], u, v, s.min);
    return Lerp8(a, b, t);
}

// log2 of a positive finite float, within 0.005: the exponent plus a parabola through the mantissa.
inline float FastLog2(float m) {
    std::uint32_t bits;
    std::memcpy(&bits, &m, 4);
    const float exponent = static_cast<float>(static_cast<int>(bits >> 23) - 127);
    std::uint32_t mant = (bits & 0x007FFFFFu) | 0x3F800000u;
    float f;
    std::memcpy(&f, &mant, 4);
    const float x = f - 1.0f;
    return exponent + x * (1.3465552f - 0.34655525f * x);
}

// Combiner -----------------------------------------------------------------------------------------

struct Inputs {
    Vec4 diffuse, specular, texture, current, temp;
    const Vec4* factor;
};

inline Vec4 Argument(DWORD arg, const Inputs& in) {
    Vec4 v;
    switch (arg & D3DTA_SELECTMASK) {
    case D3DTA_DIFFUSE:
        v = in.diffuse;
        break;
    case D3DTA_CURRENT:
        v = in.current;
        break;
    case D3DTA_TEXTURE:
        v = in.texture;
        break;
    case D3DTA_TFACTOR:
        v = *in.factor;
        break;
    case D3DTA_SPECULAR:
        v = in.specular;
        break;
    case D3DTA_TEMP:
        v = in.temp;
        break;
    default:
        v = {};
        break;
    }
    if (arg & D3DTA_COMPLEMENT)
        v = {1 - v.x, 1 - v.y, 1 - v.z, 1 - v.w};
    if (arg & D3DTA_ALPHAREPLICATE)
        v = {v.w, v.w, v.w, v.w};
    return v;
}

// One operation on one channel; `alpha*` are the alphas the blend forms take.
inline float Operate(DWORD op, float a0, float a1, float a2, float diffuseA, float textureA, float factorA,
                     float currentA, float fallback) {
    switch (op) {
    case D3DTOP_SELECTARG1:
        return a1;
    case D3DTOP_SELECTARG2:
        return a2;
    case D3DTOP_MODULATE:
        return a1 * a2;
    case D3DTOP_MODULATE2X:
        return Saturate(2 * a1 * a2);
    case D3DTOP_MODULATE4X:
        return Saturate(4 * a1 * a2);
    case D3DTOP_ADD:
        return Saturate(a1 + a2);
    case 8:
        return Saturate(a1 + a2 - 0.5f); // add signed
    case 9:
        return Saturate(2 * (a1 + a2 - 0.5f)); // add signed 2x
    case 10:
        return Saturate(a1 - a2); // subtract
    case 11:
        return Saturate(a1 + a2 - a1 * a2); // add smooth
    case D3DTOP_BLENDDIFFUSEALPHA:
        return a1 * diffuseA + a2 * (1 - diffuseA);
    case D3DTOP_BLENDTEXTUREALPHA:
        return a1 * textureA + a2 * (1 - textureA);
    case D3DTOP_BLENDFACTORALPHA:
        return a1 * factorA + a2 * (1 - factorA);
    case 15:
        return Saturate(a1 + a2 * (1 - textureA)); // premultiplied texture alpha
    case D3DTOP_BLENDCURRENTALPHA:
        return a1 * currentA + a2 * (1 - currentA);
    case D3DTOP_MULTIPLYADD:
        return Saturate(a0 + a1 * a2);
    case 26:
        return a0 * a1 + (1 - a0) * a2; // lerp
    default:
        return fallback;
    }
}

Vec4 Combine(const PixelSetup& ps, Inputs& in, const float* tex, float lods[8]) {
    in.current = in.diffuse;
    for (int i = 0; i < ps.stageCount; ++i) {
        const Stage& st = ps.stages[i];
        if (st.sampler >= 0) {
            const float q = tex[3 * i + 2];
            const float invQ = q != 0 ? 1.0f / q : 0.0f;
            in.texture = FromColor(Sample(ps.samplers[st.sampler], tex[3 * i] * invQ, tex[3 * i + 1] * invQ, lods[i]));
        } else {
            in.texture = {1, 1, 1, 1}; // a stage without a texture reads opaque white
        }
        const Vec4 c1 = Argument(st.colorArg[1], in), c2 = Argument(st.colorArg[2], in);
        const Vec4 c0 = st.colorOp >= D3DTOP_MULTIPLYADD ? Argument(st.colorArg[0], in) : Vec4{};
        const float da = in.diffuse.w, ta = in.texture.w, fa = ps.factor.w, ca = in.current.w;
        Vec4 out;
        switch (st.colorOp) { // the frequent ones without the per-channel switch
        case D3DTOP_SELECTARG1:
            out = c1;
            break;
        case D3DTOP_SELECTARG2:
            out = c2;
            break;
        case D3DTOP_MODULATE:
            out = {c1.x * c2.x, c1.y * c2.y, c1.z * c2.z, 0};
            break;
        default:
            out.x = Operate(st.colorOp, c0.x, c1.x, c2.x, da, ta, fa, ca, in.current.x);
            out.y = Operate(st.colorOp, c0.y, c1.y, c2.y, da, ta, fa, ca, in.current.y);
            out.z = Operate(st.colorOp, c0.z, c1.z, c2.z, da, ta, fa, ca, in.current.z);
            break;
        }
        if (st.alphaOp == D3DTOP_DISABLE) {
            out.w = in.current.w;
        } else {
            const float a1 = Argument(st.alphaArg[1], in).w, a2 = Argument(st.alphaArg[2], in).w;
            const float a0 = st.alphaOp >= D3DTOP_MULTIPLYADD ? Argument(st.alphaArg[0], in).w : 0.0f;
            out.w = Operate(st.alphaOp, a0, a1, a2, da, ta, fa, ca, in.current.w);
        }
        if (st.result == D3DTA_TEMP)
            in.temp = out;
        else
            in.current = out;
    }
    if (ps.specularAdd) {
        in.current.x = Saturate(in.current.x + in.specular.x);
        in.current.y = Saturate(in.current.y + in.specular.y);
        in.current.z = Saturate(in.current.z + in.specular.z);
    }
    return in.current;
}

inline float Factor(DWORD f, float s, float sa, float d, float da, bool alpha) {
    switch (f) {
    case D3DBLEND_ZERO:
        return 0;
    case D3DBLEND_ONE:
        return 1;
    case D3DBLEND_SRCCOLOR:
        return s;
    case D3DBLEND_INVSRCCOLOR:
        return 1 - s;
    case D3DBLEND_SRCALPHA:
        return sa;
    case D3DBLEND_INVSRCALPHA:
        return 1 - sa;
    case D3DBLEND_DESTALPHA:
        return da;
    case D3DBLEND_INVDESTALPHA:
        return 1 - da;
    case D3DBLEND_DESTCOLOR:
        return d;
    case D3DBLEND_INVDESTCOLOR:
        return 1 - d;
    case D3DBLEND_SRCALPHASAT:
        return alpha ? 1 : std::min(sa, 1 - da);
    default:
        return 1;
    }
}

inline float BlendChannel(const PixelSetup& ps, float s, float sa, float d, float da, bool alpha) {
    DWORD src = ps.srcBlend, dst = ps.dstBlend;
    if (src == 12) { // both source alpha
        src = D3DBLEND_SRCALPHA;
        dst = D3DBLEND_INVSRCALPHA;
    } else if (src == 13) { // both inverse source alpha
        src = D3DBLEND_INVSRCALPHA;
        dst = D3DBLEND_SRCALPHA;
    }
    const float a = s * Factor(src, s, sa, d, da, alpha);
    const float b = d * Factor(dst, s, sa, d, da, alpha);
    switch (ps.blendOp) {
    case 2:
        return Saturate(a - b); // subtract
    case 3:
        return Saturate(b - a); // reverse subtract
    case 4:
        return std::min(s, d); // min
    case 5:
        return std::max(s, d); // max
    default:
        return Saturate(a + b);
    }
}

inline void OutputColor(const PixelSetup& ps, BYTE* p, Vec4 c);

// Writes one shaded pixel through alpha test, depth write, blending and the write mask. The depth
// test has passed already; `depthKey` is written when depth writes are on.
inline void Output(const PixelSetup& ps, int x, int y, Vec4 c, DWORD depthKey) {
    if (ps.alphaTest && !Compare(ps.alphaFunc, To8(c.w), ps.alphaRef))
        return;
    if (ps.depthWrite)
        StoreDepthKey(ps.depth->format, ps.depth->At(static_cast<UINT>(x), static_cast<UINT>(y)), depthKey);
    OutputColor(ps, ps.target->At(static_cast<UINT>(x), static_cast<UINT>(y)), c);
}

// Blends a colour into one pixel of the target and writes the channels the mask lets through.
inline void OutputColor(const PixelSetup& ps, BYTE* p, Vec4 c) {
    const bool fast = ps.target->format == D3DFMT_A8R8G8B8 || ps.target->format == D3DFMT_X8R8G8B8;
    D3DCOLOR old = 0;
    if (ps.blend || ps.writeMask != 0xF) {
        if (fast) {
            std::memcpy(&old, p, 4);
            if (ps.target->format == D3DFMT_X8R8G8B8)
                old |= 0xFF000000u;
        } else {
            old = ReadPixel(ps.target->format, p, nullptr);
        }
    }
    if (ps.blend) {
        const Vec4 d = FromColor(old);
        c = {BlendChannel(ps, c.x, c.w, d.x, d.w, false), BlendChannel(ps, c.y, c.w, d.y, d.w, false),
             BlendChannel(ps, c.z, c.w, d.z, d.w, false), BlendChannel(ps, c.w, c.w, d.w, d.w, true)};
    }
    D3DCOLOR out = ToColor(c);
    if (ps.writeMask != 0xF) {
        DWORD keep = 0;
        if (!(ps.writeMask & 1))
            keep |= 0x00FF0000u;
        if (!(ps.writeMask & 2))
            keep |= 0x0000FF00u;
        if (!(ps.writeMask & 4))
            keep |= 0x000000FFu;
        if (!(ps.writeMask & 8))
            keep |= 0xFF000000u;
        out = (out & ~keep) | (old & keep);
    }
    if (fast)
        std::memcpy(p, &out, 4);
    else
        WritePixel(ps.target->format, p, out);
}

// Screen-space primitives ------------------------------------------------------------------------------

// Interpolants, in this order: 1/w, z, diffuse rgba, specular rgba, then s, t, q of each stage,
// then the vertex fog factor when it is interpolated.
constexpr int kFixed = 10;
constexpr int kMaxInterpolants = kFixed + 3 * 8 + 1;

struct ScreenVertex {
    float x, y;                // pixels
    float a[kMaxInterpolants]; // a[0] = 1/w; a[1] = z; the rest divided by w
};

struct RowBounds;

struct Raster {
    const PixelSetup* ps;
    int count;                       // interpolants in use
    const Vec4* flatColor = nullptr; // colours of the provoking vertex under flat shading
    int top = 0, bottom = 0;         // the rows drawn, half-open: the scissor's or a band of them

    // Shades the pixels [x0, x1] of row y from the interpolants' planes.
    void Span(int y, int x0, int x1, const float* base, const float* dx, const float* dy, float ox, float oy,
              bool hasLodPlanes) const;
    // The rows y0..y1 of a triangle in the fast state, specialised on depth, texture, level of
    // detail and flat shading.
    template <bool kDepth, bool kTexture, bool kLod, bool kFlat>
    void FastRows(RowBounds& rows, int y0, int y1, const float* base, const float* dx, const float* dy, float ox,
                  float oy) const;
    using RowsFunction = void (Raster::*)(RowBounds&, int, int, const float*, const float*, const float*, float,
                                          float) const;
    RowsFunction PickFastRows(bool lodPlanes) const;
};

// round(a * b / 255) for bytes on 16-bit lanes: a * b + 128 plus its high byte stays below 2^16.
[[gnu::always_inline]] inline __m128i Mul8x(__m128i a, __m128i b) {
    const __m128i t = _mm_add_epi16(_mm_mullo_epi16(a, b), _mm_set1_epi16(128));
    return _mm_srli_epi16(_mm_add_epi16(t, _mm_srli_epi16(t, 8)), 8);
}

// Per pixel: perspective-correct attributes, the level of detail of every stage, shading.
void Raster::Span(int y, int x0, int x1, const float* base, const float* dx, const float* dy, float ox, float oy,
                  bool lodPlanes) const {
    const PixelSetup& p = *ps;
    float a[kMaxInterpolants];
    const float fx = static_cast<float>(x0) - ox, fy = static_cast<float>(y) - oy;
    for (int i = 0; i < count; ++i)
        a[i] = base[i] + dx[i] * fx + dy[i] * fy;
    const int stages = (count - kFixed) / 3;
    for (int x = x0; x <= x1; ++x) {
        if (x > x0)
            for (int i = 0; i < count; ++i)
                a[i] += dx[i];
        DWORD key = 0;
        if (p.depthTest || p.depthWrite) {
            key = DepthKey(p.depth->format, a[1]);
            if (p.depthTest &&
                !Compare(p.depthFunc, key,
                         LoadDepthKey(p.depth->format, p.depth->At(static_cast<UINT>(x), static_cast<UINT>(y)))))
                continue;
        }
        const float invW = a[0];
        const float w = invW != 0 ? 1.0f / invW : 0.0f;
        Inputs in;
        in.factor = &p.factor;
        if (flatColor != nullptr) {
            in.diffuse = flatColor[0];
            in.specular = flatColor[1];
        } else {
            in.diffuse = {Saturate(a[2] * w), Saturate(a[3] * w), Saturate(a[4] * w), Saturate(a[5] * w)};
            if (p.useSpecular)
                in.specular = {Saturate(a[6] * w), Saturate(a[7] * w), Saturate(a[8] * w), Saturate(a[9] * w)};
        }
        float tex[24];
        float lods[8] = {};
        for (int s = 0; s < stages; ++s) {
            const int k = kFixed + 3 * s;
            tex[3 * s] = a[k] * w;
            tex[3 * s + 1] = a[k + 1] * w;
            tex[3 * s + 2] = a[k + 2] * w;
            const Stage& st = p.stages[s];
            if (lodPlanes && st.sampler >= 0) {
                // d(s/q)/dx from the planes of s/w, q/w and 1/w.
                const float q = tex[3 * s + 2];
                const float iq = q != 0 ? 1.0f / q : 0.0f;
                const float u = tex[3 * s] * iq, v = tex[3 * s + 1] * iq;
                const float qw = a[k + 2]; // q / w
                const float dqx = dx[k + 2], dqy = dy[k + 2];
                const float r = qw != 0 ? 1.0f / qw : 0.0f;
                const float dudx = (dx[k] - u * dqx) * r, dudy = (dy[k] - u * dqy) * r;
                const float dvdx = (dx[k + 1] - v * dqx) * r, dvdy = (dy[k + 1] - v * dqy) * r;
                const Image& top = *p.samplers[st.sampler].levels[0];
                const float W = static_cast<float>(top.width), H = static_cast<float>(top.height);
                const float lx = dudx * dudx * W * W + dvdx * dvdx * H * H;
                const float ly = dudy * dudy * W * W + dvdy * dvdy * H * H;
                const float m = std::max(lx, ly);
                lods[s] = m > 0 && std::isfinite(m) ? 0.5f * FastLog2(m) : 0.0f;
            }
        }
        in.temp = {};
        Vec4 c = Combine(p, in, tex, lods);
        if (p.fog) {
            const float f =
                p.fogTable ? p.fogEquation.Factor(p.fogW ? w : a[1]) : Saturate(a[p.fogIndex] * w);
            c.x = c.x * f + p.fogColor.x * (1 - f);
            c.y = c.y * f + p.fogColor.y * (1 - f);
            c.z = c.z * f + p.fogColor.z * (1 - f);
        }
        Output(p, x, y, c, key);
    }
}

// Four lanes compared as the depth and alpha functions compare, all ones where the test passes.
// Every value is below 2^31, so the signed compares order them as unsigned ones do.
[[gnu::always_inline]] inline __m128i CompareLanes(DWORD func, __m128i a, __m128i b) {
    const __m128i ones = _mm_set1_epi32(-1);
    switch (func) {
    case D3DCMP_NEVER:
        return _mm_setzero_si128();
    case D3DCMP_LESS:
        return _mm_cmplt_epi32(a, b);
    case D3DCMP_EQUAL:
        return _mm_cmpeq_epi32(a, b);
    case D3DCMP_LESSEQUAL:
        return _mm_xor_si128(_mm_cmpgt_epi32(a, b), ones);
    case D3DCMP_GREATER:
        return _mm_cmpgt_epi32(a, b);
    case D3DCMP_NOTEQUAL:
        return _mm_xor_si128(_mm_cmpeq_epi32(a, b), ones);
    case D3DCMP_GREATEREQUAL:
        return _mm_xor_si128(_mm_cmplt_epi32(a, b), ones);
    default:
        return ones;
    }
}

[[gnu::always_inline]] inline __m128i Select(__m128i mask, __m128i a, __m128i b) {
    return _mm_or_si128(_mm_and_si128(mask, a), _mm_andnot_si128(mask, b));
}

// The first `lanes` (1 to 4) pixels at `p`, nothing read beyond them; the other lanes are 0.
[[gnu::always_inline]] inline __m128i LoadLanes(const BYTE* p, int lanes) {
    if (lanes == 4)
        return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    int last;
    std::memcpy(&last, p + 4 * (lanes - 1), 4);
    if (lanes == 1)
        return _mm_cvtsi32_si128(last);
    const __m128i low = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(p));
    return lanes == 2 ? low : _mm_unpacklo_epi64(low, _mm_cvtsi32_si128(last));
}

// Stores the first `lanes` (1 to 4) pixels of `v` at `p`, nothing written beyond them.
[[gnu::always_inline]] inline void StoreLanes(BYTE* p, __m128i v, int lanes) {
    if (lanes == 4) {
        _mm_storeu_si128(reinterpret_cast<__m128i*>(p), v);
        return;
    }
    if (lanes >= 2)
        _mm_storel_epi64(reinterpret_cast<__m128i*>(p), v);
    if (lanes != 2) {
        const int last = _mm_cvtsi128_si32(lanes == 1 ? v : _mm_unpackhi_epi64(v, v));
        std::memcpy(p + 4 * (lanes - 1), &last, 4);
    }
}

// Saturate, scale to 255, round and truncate: the integers To8 gives, one per lane.
[[gnu::always_inline]] inline __m128i To8x(__m128 v) {
    const __m128 s = _mm_min_ps(_mm_max_ps(v, _mm_setzero_ps()), _mm_set1_ps(1.0f)); // NaN gives 0
    return _mm_cvttps_epi32(_mm_add_ps(_mm_mul_ps(s, _mm_set1_ps(255.0f)), _mm_set1_ps(0.5f)));
}

// DepthKey of four saturated depths for a 24-bit buffer, in double as there: in float the scaled
// depth rounds before the half is added, which gives other keys than the rest of the rasteriser
// (and the clear) and 2^24 for a depth of 1.
[[gnu::always_inline]] inline __m128i DepthKeys24(__m128 z) {
    const __m128d scale = _mm_set1_pd(16777215.0), half = _mm_set1_pd(0.5);
    const __m128i low = _mm_cvttpd_epi32(_mm_add_pd(_mm_mul_pd(_mm_cvtps_pd(z), scale), half));
    const __m128i high = _mm_cvttpd_epi32(_mm_add_pd(_mm_mul_pd(_mm_cvtps_pd(_mm_movehl_ps(z, z)), scale), half));
    return _mm_unpacklo_epi64(low, high);
}

// FastLog2 on four lanes, the same operations in the same order.
[[gnu::always_inline]] inline __m128 FastLog2x(__m128 m) {
    const __m128i bits = _mm_castps_si128(m);
    const __m128 exponent = _mm_cvtepi32_ps(_mm_sub_epi32(_mm_srli_epi32(bits, 23), _mm_set1_epi32(127)));
    const __m128 f =
        _mm_castsi128_ps(_mm_or_si128(_mm_and_si128(bits, _mm_set1_epi32(0x007FFFFF)), _mm_set1_epi32(0x3F800000)));
    const __m128 x = _mm_sub_ps(f, _mm_set1_ps(1.0f));
    return _mm_add_ps(exponent,
                      _mm_mul_ps(x, _mm_sub_ps(_mm_set1_ps(1.3465552f), _mm_mul_ps(_mm_set1_ps(0.34655525f), x))));
}

// Four packed pixels times four others, channel by channel (Mul8x).
[[gnu::always_inline]] inline __m128i Modulate4(__m128i a, __m128i b) {
    const __m128i zero = _mm_setzero_si128();
    return _mm_packus_epi16(Mul8x(_mm_unpacklo_epi8(a, zero), _mm_unpacklo_epi8(b, zero)),
                            Mul8x(_mm_unpackhi_epi8(a, zero), _mm_unpackhi_epi8(b, zero)));
}

[[gnu::always_inline]] inline __m128i Operate4(DWORD op, __m128i a1, __m128i a2) {
    return op == D3DTOP_SELECTARG1 ? a1 : op == D3DTOP_SELECTARG2 ? a2 : Modulate4(a1, a2);
}

// Source alpha over the destination for four packed pixels, each channel
// min(255, Mul8x(s, sa) + Mul8x(d, 255 - sa)): the alpha of each pixel spread over its channels.
[[gnu::always_inline]] inline __m128i BlendOver4(__m128i src, __m128i dst) {
    const __m128i zero = _mm_setzero_si128(), full = _mm_set1_epi16(255);
    auto half = [&](__m128i s, __m128i d) {
        const __m128i sa = _mm_shufflehi_epi16(_mm_shufflelo_epi16(s, 0xFF), 0xFF);
        return _mm_add_epi16(Mul8x(s, sa), Mul8x(d, _mm_sub_epi16(full, sa)));
    };
    return _mm_packus_epi16(half(_mm_unpacklo_epi8(src, zero), _mm_unpacklo_epi8(dst, zero)),
                            half(_mm_unpackhi_epi8(src, zero), _mm_unpackhi_epi8(dst, zero)));
}

// Lerp8 of two 32-bit lanes of channels (each below 256) with a weight pair (256 - f) | f << 16:
// one multiply-add per channel pair, the same integers as the packed form.
[[gnu::always_inline]] inline __m128i LerpLanes(__m128i a, __m128i b, __m128i weights) {
    const __m128i sum = _mm_madd_epi16(_mm_or_si128(a, _mm_slli_epi32(b, 16)), weights);
    return _mm_srli_epi32(_mm_add_epi32(sum, _mm_set1_epi32(128)), 8);
}

// Bilerp8 of one level as four 32-bit channels.
[[gnu::always_inline]] inline __m128i BilinearLanes(const Sampler::Level& l, int x, int y, int wx, int wy) {
    const BYTE* row0 = l.bytes + static_cast<std::size_t>(y & l.hmask) * l.pitch;
    const BYTE* row1 = l.bytes + static_cast<std::size_t>((y + 1) & l.hmask) * l.pitch;
    const std::size_t c0 = 4 * static_cast<std::size_t>(x & l.wmask),
                      c1 = 4 * static_cast<std::size_t>((x + 1) & l.wmask);
    int t[4];
    std::memcpy(&t[0], row0 + c0, 4);
    std::memcpy(&t[1], row0 + c1, 4);
    std::memcpy(&t[2], row1 + c0, 4);
    std::memcpy(&t[3], row1 + c1, 4);
    const __m128i zero = _mm_setzero_si128(), h = _mm_set1_epi32(wx), half = _mm_set1_epi32(128);
    const __m128i top =
        _mm_madd_epi16(_mm_unpacklo_epi8(_mm_unpacklo_epi8(_mm_cvtsi32_si128(t[0]), _mm_cvtsi32_si128(t[1])), zero), h);
    const __m128i bottom =
        _mm_madd_epi16(_mm_unpacklo_epi8(_mm_unpacklo_epi8(_mm_cvtsi32_si128(t[2]), _mm_cvtsi32_si128(t[3])), zero), h);
    return LerpLanes(_mm_srli_epi32(_mm_add_epi32(top, half), 8), _mm_srli_epi32(_mm_add_epi32(bottom, half), 8),
                     _mm_set1_epi32(wy));
}

// Sample for four pixels of a filtered, wrapped 32-bit texture (`Sampler::quick`): the level choice
// per pixel as Sample makes it, the coordinates of both levels four at a time, then per pixel the
// eight texels. Lanes outside `live` are not sampled.
[[gnu::always_inline]] inline __m128i SampleQuick(const Sampler& s, __m128 u, __m128 v, __m128 lod, int live) {
    const __m128 l = _mm_add_ps(lod, _mm_set1_ps(s.bias));
    const __m128 top = _mm_set1_ps(static_cast<float>(s.levelCount - 1));
    const __m128i last = _mm_set1_epi32(s.levelCount - 1);
    __m128i a = _mm_setzero_si128(), b = a, t = a;
    if (s.levelCount > 1 && s.mip != D3DTEXF_NONE) {
        const __m128i minified = _mm_castps_si128(_mm_cmpgt_ps(l, _mm_setzero_ps())); // NaN is not
        if (s.mip == D3DTEXF_POINT) {
            // min(floor(l + 0.5), top), the floor a truncation of a positive number.
            a = b = _mm_and_si128(minified, _mm_cvttps_epi32(_mm_min_ps(_mm_add_ps(l, _mm_set1_ps(0.5f)), top)));
        } else {
            const __m128i beyond = _mm_castps_si128(_mm_cmpge_ps(l, top));
            const __m128i level = _mm_cvttps_epi32(l);
            const __m128i fraction = _mm_cvttps_epi32(
                _mm_add_ps(_mm_mul_ps(_mm_sub_ps(l, _mm_cvtepi32_ps(level)), _mm_set1_ps(256.0f)), _mm_set1_ps(0.5f)));
            a = _mm_and_si128(minified, Select(beyond, last, level));
            b = _mm_and_si128(minified, Select(beyond, last, _mm_add_epi32(level, _mm_set1_epi32(1))));
            t = _mm_andnot_si128(beyond, _mm_and_si128(minified, fraction));
        }
    }
    // Sides of the levels: those of level 0 halved, at least 1 (Sampler::quick checks the chain).
    auto side = [](__m128 top0, __m128i level) {
        const __m128 scale = _mm_castsi128_ps(_mm_slli_epi32(_mm_sub_epi32(_mm_set1_epi32(127), level), 23));
        return _mm_max_ps(_mm_mul_ps(top0, scale), _mm_set1_ps(1.0f));
    };
    const __m128 w0 = _mm_set1_ps(s.level[0].width), h0 = _mm_set1_ps(s.level[0].height);
    alignas(16) int la[4], lb[4], lt[4];
    _mm_store_si128(reinterpret_cast<__m128i*>(la), a);
    _mm_store_si128(reinterpret_cast<__m128i*>(lb), b);
    _mm_store_si128(reinterpret_cast<__m128i*>(lt),
                    _mm_or_si128(_mm_sub_epi32(_mm_set1_epi32(256), t), _mm_slli_epi32(t, 16)));
    // Lerp8(a, b, 0) is a: the second level only where some pixel blends it in.
    const bool second = (_mm_movemask_ps(_mm_castsi128_ps(_mm_cmpeq_epi32(t, _mm_setzero_si128()))) & live) != live;
    // TexelCoordinate, the floor and the 8-bit fraction, as weight pairs for LerpLanes.
    alignas(16) int ia[4][4], wt[4][4];
    const __m128 coords[4] = {u, v, u, v}, sizes[4] = {side(w0, a), side(h0, a), side(w0, b), side(h0, b)};
    for (int c = 0; c < (second ? 4 : 2); ++c) {
        __m128 x = _mm_sub_ps(_mm_mul_ps(coords[c], sizes[c]), _mm_set1_ps(0.5f));
        const __m128 absolute = _mm_andnot_ps(_mm_set1_ps(-0.0f), x);
        x = _mm_and_ps(x, _mm_cmplt_ps(absolute, _mm_set1_ps(1e7f)));
        __m128i i = _mm_cvttps_epi32(x);
        i = _mm_add_epi32(i, _mm_castps_si128(_mm_cmpgt_ps(_mm_cvtepi32_ps(i), x)));
        const __m128i f = _mm_cvttps_epi32(
            _mm_add_ps(_mm_mul_ps(_mm_sub_ps(x, _mm_cvtepi32_ps(i)), _mm_set1_ps(256.0f)), _mm_set1_ps(0.5f)));
        _mm_store_si128(reinterpret_cast<__m128i*>(ia[c]), i);
        _mm_store_si128(reinterpret_cast<__m128i*>(wt[c]),
                        _mm_or_si128(_mm_sub_epi32(_mm_set1_epi32(256), f), _mm_slli_epi32(f, 16)));
    }
    __m128i out[4];
    for (int k = 0; k < 4; ++k) {
        if (!(live >> k & 1)) {
            out[k] = _mm_setzero_si128();
            continue;
        }
        out[k] = BilinearLanes(s.level[la[k]], ia[0][k], ia[1][k], wt[0][k], wt[1][k]);
        if (second)
            out[k] = LerpLanes(out[k], BilinearLanes(s.level[lb[k]], ia[2][k], ia[3][k], wt[2][k], wt[3][k]),
                               _mm_set1_epi32(lt[k]));
    }
    return _mm_packus_epi16(_mm_packs_epi32(out[0], out[1]), _mm_packs_epi32(out[2], out[3]));
}

constexpr std::int64_t kSub = 256;    // sub-pixel steps
constexpr float kMaxScreen = 1 << 19; // |coordinate| in pixels the integer edges hold

inline std::int64_t FloorDiv(std::int64_t a, std::int64_t b) // b > 0
{
    std::int64_t q = a / b;
    if ((a % b != 0) && (a < 0))
        --q;
    return q;
}

inline std::int64_t CeilDiv(std::int64_t a, std::int64_t b) { return -FloorDiv(-a, b); }

// The same quotient from a floating-point estimate (truncated, no floor call) corrected exactly:
// integer division of 64-bit numbers costs far more. |a| < 2^56, b > 0.
inline std::int64_t FloorQuotient(std::int64_t a, std::int64_t b) {
    std::int64_t q = static_cast<std::int64_t>(static_cast<double>(a) / static_cast<double>(b));
    while (q * b > a)
        --q;
    while ((q + 1) * b <= a)
        ++q;
    return q;
}

// The rows of a triangle. Each edge bounds every row at floor(m / D) (or minus that) with
// m = C - K, which steps by B * kSub from row to row: the quotient and remainder are carried
// exactly instead of dividing on every row. An edge along the rows (A = 0) keeps m itself: rows
// where it is negative are out.
struct RowBounds {
    struct Bound {
        int side; // 1: the left end is -q, -1: the right end is q, 0: the row is out when q < 0
        std::int64_t q, rest, divisor, stepQ, stepRest;
    } bounds[3];
    std::int64_t left, right; // the triangle's box within the scissor

    void Start(const std::int64_t A[3], const std::int64_t B[3], const std::int64_t K[3], const std::int64_t X[3],
               const std::int64_t Y[3], int y0, int xl, int xr) {
        constexpr std::int64_t kNever = std::numeric_limits<std::int64_t>::max(); // no remainder reaches it
        left = xl;
        right = xr;
        for (int i = 0; i < 3; ++i) {
            Bound& b = bounds[i];
            const std::int64_t m = -A[i] * X[i] + B[i] * (std::int64_t{y0} * kSub - Y[i]) - K[i];
            const std::int64_t step = B[i] * kSub;
            b.side = A[i] > 0 ? 1 : A[i] < 0 ? -1 : 0;
            if (b.side == 0) {
                b.q = m;
                b.stepQ = step;
                b.rest = b.stepRest = 0;
                b.divisor = kNever;
                continue;
            }
            b.divisor = (A[i] > 0 ? A[i] : -A[i]) * kSub;
            b.q = FloorQuotient(m, b.divisor);
            b.rest = m - b.q * b.divisor;
            b.stepQ = FloorQuotient(step, b.divisor);
            b.stepRest = step - b.stepQ * b.divisor;
        }
    }

    // The pixels [lo, hi] of the next row (none when lo > hi).
    [[gnu::always_inline]] void Next(int* lo, int* hi) {
        std::int64_t l = left, h = right;
        bool out = false;
        for (Bound& b : bounds) {
            l = std::max(l, b.side > 0 ? -b.q : l);
            h = std::min(h, b.side < 0 ? b.q : h);
            out = out || (b.side == 0 && b.q < 0);
            b.q += b.stepQ;
            b.rest += b.stepRest;
            const bool carry = b.rest >= b.divisor;
            b.rest -= carry ? b.divisor : 0;
            b.q += carry ? 1 : 0;
        }
        const bool empty = out || l > h; // compared before narrowing: an unbounding edge may be far out
        *lo = empty ? 1 : static_cast<int>(l);
        *hi = empty ? 0 : static_cast<int>(h);
    }
};

// The fast state's triangles four pixels at a time. Each row's interpolants start from the planes
// and step pixel by pixel with the same additions as one pixel at a time, and every lane runs the
// operations of the one-pixel form in the same order, so the pixels are those of shading them one
// by one. Groups take four pixels of a row where it has them and gather the rest across rows, so
// short rows still fill the lanes; groups whose pixels all fail the depth test stop there.
template <bool kDepth, bool kTexture, bool kLod, bool kFlat>
void Raster::FastRows(RowBounds& bounds, int y0, int y1, const float* base, const float* dx, const float* dy, float ox,
                      float oy) const {
    const PixelSetup& p = *ps;
    RowBounds rows = bounds; // a local copy the pixel stores cannot alias
    // Lanes of one pixel: 1/w, z, s/w, t/w; and its diffuse b, g, r, a over w; q/w apart.
    const bool coords = count > kFixed;
    auto lanesOf = [&](const float* plane, int i0, int i1, int i2, int i3) {
        return _mm_setr_ps(plane[i0], plane[i1], plane[i2], plane[i3]);
    };
    const int s = coords ? kFixed : 0, t = coords ? kFixed + 1 : 0; // without a stage the lanes go unused
    const __m128 baseP = lanesOf(base, 0, 1, s, t), dxP = lanesOf(dx, 0, 1, s, t), dyP = lanesOf(dy, 0, 1, s, t);
    const __m128 baseC = lanesOf(base, 4, 3, 2, 5), dxC = lanesOf(dx, 4, 3, 2, 5), dyC = lanesOf(dy, 4, 3, 2, 5);
    const float baseQ = coords ? base[kFixed + 2] : 0.0f, dxQ = coords ? dx[kFixed + 2] : 0.0f,
                dyQ = coords ? dy[kFixed + 2] : 0.0f;

    const Sampler* sampler = kTexture ? &p.samplers[p.stages[0].sampler] : nullptr;
    const __m128i factor = _mm_set1_epi32(static_cast<int>(p.factor8));
    const __m128i flat = _mm_set1_epi32(kFlat ? static_cast<int>(ToColor(flatColor[0])) : 0);
    const __m128 zero = _mm_setzero_ps(), one = _mm_set1_ps(1.0f);
    const float topW = kTexture ? sampler->level[0].width : 0.0f, topH = kTexture ? sampler->level[0].height : 0.0f;
    const bool opaqueTarget = p.target->format == D3DFMT_X8R8G8B8;

    // Pixels of a group: in one row from `at[0]` on when `contiguous`, else each at its own address.
    auto load = [](BYTE* const* at, int lanes, bool contiguous) {
        if (contiguous)
            return LoadLanes(at[0], lanes);
        alignas(16) int v[4] = {};
        for (int k = 0; k < lanes; ++k)
            std::memcpy(&v[k], at[k], 4);
        return _mm_load_si128(reinterpret_cast<const __m128i*>(v));
    };
    // Writes `value` where `live`, keeping `old` elsewhere.
    auto store = [](BYTE* const* at, int lanes, bool contiguous, __m128i value, __m128i old, __m128i live) {
        if (contiguous) {
            StoreLanes(at[0], Select(live, value, old), lanes);
            return;
        }
        alignas(16) int v[4];
        _mm_store_si128(reinterpret_cast<__m128i*>(v), value);
        const int bits = _mm_movemask_ps(_mm_castsi128_ps(live));
        for (int k = 0; k < lanes; ++k)
            if (bits >> k & 1)
                std::memcpy(at[k], &v[k], 4);
    };

    // One group: the interpolants of its pixels (p: 1/w, z, s/w, t/w; c: diffuse over w; q: q/w).
    auto shade = [&](__m128 p0, __m128 p1, __m128 p2, __m128 p3, __m128 c0, __m128 c1, __m128 c2, __m128 c3, __m128 qs,
                     int lanes, BYTE* const* targets, BYTE* const* depths, bool contiguous)
        __attribute__((always_inline)) {
        _MM_TRANSPOSE4_PS(p0, p1, p2, p3); // now 1/w, z, s/w, t/w of the four pixels
        __m128i live = _mm_cmpgt_epi32(_mm_set1_epi32(lanes), _mm_setr_epi32(0, 1, 2, 3));
        __m128i key = _mm_setzero_si128(), stored = _mm_setzero_si128();
        if (kDepth) {
            const __m128 z = _mm_min_ps(_mm_max_ps(p1, zero), one);
            key = DepthKeys24(z);
            stored = load(depths, lanes, contiguous);
            if (p.depthTest) {
                live = _mm_and_si128(live, CompareLanes(p.depthFunc, key, _mm_srli_epi32(stored, 8)));
                if (_mm_movemask_ps(_mm_castsi128_ps(live)) == 0)
                    return;
            }
        }
        const __m128 w = _mm_and_ps(_mm_div_ps(one, p0), _mm_cmpneq_ps(p0, zero));
        __m128i diffuse = flat;
        if (!kFlat) {
            const __m128i i0 = To8x(_mm_mul_ps(c0, _mm_shuffle_ps(w, w, 0x00)));
            const __m128i i1 = To8x(_mm_mul_ps(c1, _mm_shuffle_ps(w, w, 0x55)));
            const __m128i i2 = To8x(_mm_mul_ps(c2, _mm_shuffle_ps(w, w, 0xAA)));
            const __m128i i3 = To8x(_mm_mul_ps(c3, _mm_shuffle_ps(w, w, 0xFF)));
            diffuse = _mm_packus_epi16(_mm_packs_epi32(i0, i1), _mm_packs_epi32(i2, i3));
        }
        __m128i texel = _mm_set1_epi32(-1);
        if (kTexture) {
            // Without a projected texture transform q is 1: q/w is 1/w.
            __m128 u = _mm_mul_ps(p2, w), v = _mm_mul_ps(p3, w), r = w;
            if (p.projected) {
                const __m128 qw = _mm_mul_ps(qs, w);
                const __m128 iq = _mm_and_ps(_mm_div_ps(one, qw), _mm_cmpneq_ps(qw, zero));
                u = _mm_mul_ps(u, iq);
                v = _mm_mul_ps(v, iq);
                r = _mm_and_ps(_mm_div_ps(one, qs), _mm_cmpneq_ps(qs, zero));
            }
            __m128 lod = zero;
            if (kLod) {
                const int k = kFixed;
                auto derivative = [&](__m128 c, float plane, float planeQ) {
                    return _mm_mul_ps(_mm_sub_ps(_mm_set1_ps(plane), _mm_mul_ps(c, _mm_set1_ps(planeQ))), r);
                };
                const __m128 dudx = derivative(u, dx[k], dx[k + 2]), dudy = derivative(u, dy[k], dy[k + 2]);
                const __m128 dvdx = derivative(v, dx[k + 1], dx[k + 2]), dvdy = derivative(v, dy[k + 1], dy[k + 2]);
                const __m128 tw = _mm_set1_ps(topW), th = _mm_set1_ps(topH);
                auto length = [&](__m128 du, __m128 dv) {
                    return _mm_add_ps(_mm_mul_ps(_mm_mul_ps(_mm_mul_ps(du, du), tw), tw),
                                      _mm_mul_ps(_mm_mul_ps(_mm_mul_ps(dv, dv), th), th));
                };
                const __m128 lx = length(dudx, dvdx), ly = length(dudy, dvdy);
                const __m128 m = _mm_max_ps(ly, lx); // std::max(lx, ly), NaN included
                const __m128 finite = _mm_and_ps(_mm_cmpgt_ps(m, zero),
                                                 _mm_cmplt_ps(m, _mm_set1_ps(std::numeric_limits<float>::infinity())));
                lod = _mm_and_ps(_mm_mul_ps(_mm_set1_ps(0.5f), FastLog2x(m)), finite);
            }
            const int liveBits = _mm_movemask_ps(_mm_castsi128_ps(live));
            if (sampler->quick) {
                texel = SampleQuick(*sampler, u, v, lod, liveBits);
            } else {
                alignas(16) float us[4], vs[4], lods[4];
                alignas(16) D3DCOLOR texels[4] = {};
                _mm_store_ps(us, u);
                _mm_store_ps(vs, v);
                _mm_store_ps(lods, lod);
                for (int k = 0; k < 4; ++k)
                    if (liveBits >> k & 1)
                        texels[k] = Sample(*sampler, us[k], vs[k], lods[k]);
                texel = _mm_load_si128(reinterpret_cast<const __m128i*>(texels));
            }
        }
        auto pick = [&](PixelSetup::Arg arg) {
            return arg == PixelSetup::Arg::Diffuse ? diffuse : arg == PixelSetup::Arg::Texture ? texel : factor;
        };
        __m128i c = diffuse;
        if (p.oneOperation) {
            c = Operate4(p.fastColorOp, pick(p.colorArgs[0]), pick(p.colorArgs[1]));
        } else if (p.stageCount > 0) {
            const __m128i rgb = Operate4(p.fastColorOp, pick(p.colorArgs[0]), pick(p.colorArgs[1]));
            const __m128i alpha = p.fastAlphaOp == D3DTOP_DISABLE
                                      ? diffuse
                                      : Operate4(p.fastAlphaOp, pick(p.alphaArgs[0]), pick(p.alphaArgs[1]));
            c = Select(_mm_set1_epi32(0x00FFFFFF), rgb, alpha);
        }
        if (p.alphaTest) {
            live = _mm_and_si128(
                live, CompareLanes(p.alphaFunc, _mm_srli_epi32(c, 24), _mm_set1_epi32(static_cast<int>(p.alphaRef))));
            if (_mm_movemask_ps(_mm_castsi128_ps(live)) == 0)
                return;
        }
        if (kDepth && p.depthWrite)
            store(depths, lanes, contiguous,
                  _mm_or_si128(_mm_and_si128(stored, _mm_set1_epi32(0xFF)), _mm_slli_epi32(key, 8)), stored, live);
        if (p.storeColor) {
            const __m128i old = p.blend || contiguous ? load(targets, lanes, contiguous) : _mm_setzero_si128();
            __m128i out = c;
            if (p.blend) // source alpha over the target, on bytes
                out = BlendOver4(c,
                                 opaqueTarget ? _mm_or_si128(old, _mm_set1_epi32(static_cast<int>(0xFF000000u))) : old);
            store(targets, lanes, contiguous, out, old, live);
        } else {
            alignas(16) D3DCOLOR colors[4];
            _mm_store_si128(reinterpret_cast<__m128i*>(colors), c);
            const int liveBits = _mm_movemask_ps(_mm_castsi128_ps(live));
            for (int k = 0; k < lanes; ++k)
                if (liveBits >> k & 1)
                    OutputColor(p, contiguous ? targets[0] + 4 * k : targets[k], // blending and masks as everywhere
                                FromColor(colors[k]));
        }
    };

    // Pixels waiting for a group: rows too short to fill one pass theirs on to the next.
    alignas(16) float waitingP[4][4], waitingC[4][4], waitingQ[4] = {};
    BYTE* waitingTarget[4];
    BYTE* waitingDepth[4] = {};
    int waitingRow[4] = {};
    int waiting = 0;
    auto flush = [&]() {
        shade(_mm_load_ps(waitingP[0]), _mm_load_ps(waitingP[1]), _mm_load_ps(waitingP[2]), _mm_load_ps(waitingP[3]),
              _mm_load_ps(waitingC[0]), _mm_load_ps(waitingC[1]), _mm_load_ps(waitingC[2]), _mm_load_ps(waitingC[3]),
              _mm_load_ps(waitingQ), waiting, waitingTarget, waitingDepth, waitingRow[0] == waitingRow[waiting - 1]);
        waiting = 0;
    };
    for (int x = 0; x < 4; ++x) { // lanes never filled hold finite values
        _mm_store_ps(waitingP[x], zero);
        _mm_store_ps(waitingC[x], zero);
    }
    for (int y = y0; y <= y1; ++y) {
        int lo, hi;
        rows.Next(&lo, &hi);
        if (lo > hi)
            continue;
        const float fx = static_cast<float>(lo) - ox, fy = static_cast<float>(y) - oy;
        const __m128 vx = _mm_set1_ps(fx), vy = _mm_set1_ps(fy);
        __m128 position = _mm_add_ps(_mm_add_ps(baseP, _mm_mul_ps(dxP, vx)), _mm_mul_ps(dyP, vy));
        __m128 color = _mm_add_ps(_mm_add_ps(baseC, _mm_mul_ps(dxC, vx)), _mm_mul_ps(dyC, vy));
        float q = baseQ + dxQ * fx + dyQ * fy;
        BYTE* target = p.target->At(static_cast<UINT>(lo), static_cast<UINT>(y));
        BYTE* depth = kDepth ? p.depth->At(static_cast<UINT>(lo), static_cast<UINT>(y)) : nullptr;
        for (int x = lo; x <= hi;) {
            if (waiting == 0 && hi - x >= 3) { // four pixels of this row
                const __m128 p0 = position, p1 = _mm_add_ps(p0, dxP), p2 = _mm_add_ps(p1, dxP),
                             p3 = _mm_add_ps(p2, dxP);
                position = _mm_add_ps(p3, dxP);
                const __m128 c0 = color, c1 = _mm_add_ps(c0, dxC), c2 = _mm_add_ps(c1, dxC), c3 = _mm_add_ps(c2, dxC);
                color = _mm_add_ps(c3, dxC);
                const float q0 = q, q1 = q0 + dxQ, q2 = q1 + dxQ, q3 = q2 + dxQ;
                q = q3 + dxQ;
                shade(p0, p1, p2, p3, c0, c1, c2, c3, _mm_setr_ps(q0, q1, q2, q3), 4, &target, &depth, true);
                x += 4;
                target += 16;
                depth += kDepth ? 16 : 0;
                continue;
            }
            _mm_store_ps(waitingP[waiting], position);
            _mm_store_ps(waitingC[waiting], color);
            waitingQ[waiting] = q;
            waitingTarget[waiting] = target;
            waitingDepth[waiting] = depth;
            waitingRow[waiting] = y;
            position = _mm_add_ps(position, dxP);
            color = _mm_add_ps(color, dxC);
            q += dxQ;
            ++x;
            target += 4;
            depth += kDepth ? 4 : 0;
            if (++waiting == 4)
                flush();
        }
    }
    if (waiting > 0)
        flush();
}

Raster::RowsFunction Raster::PickFastRows(bool lodPlanes) const {
    static constexpr RowsFunction kRows[16] = {
        &Raster::FastRows<false, false, false, false>, &Raster::FastRows<false, false, false, true>,
        &Raster::FastRows<false, false, true, false>,  &Raster::FastRows<false, false, true, true>,
        &Raster::FastRows<false, true, false, false>,  &Raster::FastRows<false, true, false, true>,
        &Raster::FastRows<false, true, true, false>,   &Raster::FastRows<false, true, true, true>,
        &Raster::FastRows<true, false, false, false>,  &Raster::FastRows<true, false, false, true>,
        &Raster::FastRows<true, false, true, false>,   &Raster::FastRows<true, false, true, true>,
        &Raster::FastRows<true, true, false, false>,   &Raster::FastRows<true, true, false, true>,
        &Raster::FastRows<true, true, true, false>,    &Raster::FastRows<true, true, true, true>,
    };
    const PixelSetup& p = *ps;
    const bool texture = p.stageCount > 0 && p.stages[0].sampler >= 0;
    const int index = (p.depth != nullptr ? 8 : 0) | (texture ? 4 : 0) | (texture && lodPlanes ? 2 : 0) |
                      (flatColor != nullptr ? 1 : 0);
    return kRows[index];
}

// std::llround of a float, inline: the truncation and the fraction it leaves, which is exact.
inline std::int64_t RoundHalfAway(float v) {
    const std::int64_t r = static_cast<std::int64_t>(v);
    const float f = v - static_cast<float>(r);
    return r + (f >= 0.5f ? 1 : 0) - (f <= -0.5f ? 1 : 0);
}

void DrawTriangle(const Raster& r, const ScreenVertex* v0, const ScreenVertex* v1, const ScreenVertex* v2) {
    const PixelSetup& p = *r.ps;
    for (const ScreenVertex* v : {v0, v1, v2})
        if (!(std::fabs(v->x) < kMaxScreen && std::fabs(v->y) < kMaxScreen))
            return;
    std::int64_t X[3], Y[3];
    const ScreenVertex* vs[3] = {v0, v1, v2};
    for (int i = 0; i < 3; ++i) {
        X[i] = RoundHalfAway(vs[i]->x * kSub);
        Y[i] = RoundHalfAway(vs[i]->y * kSub);
    }
    std::int64_t area = (X[1] - X[0]) * (Y[2] - Y[0]) - (X[2] - X[0]) * (Y[1] - Y[0]);
    if (area == 0)
        return;
    if (area < 0) {
        std::swap(X[1], X[2]);
        std::swap(Y[1], Y[2]);
        std::swap(vs[1], vs[2]);
        area = -area;
    }
    // Edge i runs from vertex i to vertex i + 1: E(p) = A (px - ax) + B (py - ay) > 0 inside.
    std::int64_t A[3], B[3], K[3];
    for (int i = 0; i < 3; ++i) {
        const int j = (i + 1) % 3;
        A[i] = Y[i] - Y[j];
        B[i] = X[j] - X[i];
        const bool topLeft = A[i] > 0 || (A[i] == 0 && B[i] > 0);
        K[i] = topLeft ? 0 : 1; // E >= K
    }
    const std::int64_t minY = std::min({Y[0], Y[1], Y[2]}), maxY = std::max({Y[0], Y[1], Y[2]});
    const std::int64_t minX = std::min({X[0], X[1], X[2]}), maxX = std::max({X[0], X[1], X[2]});
    const int y0 = static_cast<int>(std::max<std::int64_t>(CeilDiv(minY, kSub), r.top));
    const int y1 = static_cast<int>(std::min<std::int64_t>(FloorDiv(maxY, kSub), r.bottom - 1));
    const int xl = static_cast<int>(std::max<std::int64_t>(CeilDiv(minX, kSub), p.left));
    const int xr = static_cast<int>(std::min<std::int64_t>(FloorDiv(maxX, kSub), p.right - 1));
    if (y0 > y1 || xl > xr)
        return;

    // Planes of the interpolants over the snapped positions.
    const float fx0 = static_cast<float>(X[0]) / kSub, fy0 = static_cast<float>(Y[0]) / kSub;
    const double ex1 = static_cast<double>(X[1] - X[0]) / kSub, ey1 = static_cast<double>(Y[1] - Y[0]) / kSub;
    const double ex2 = static_cast<double>(X[2] - X[0]) / kSub, ey2 = static_cast<double>(Y[2] - Y[0]) / kSub;
    const double inv = 1.0 / (ex1 * ey2 - ex2 * ey1);
    float base[kMaxInterpolants], dx[kMaxInterpolants], dy[kMaxInterpolants];
    float finite = 0; // 0 while every value is finite: infinity or NaN times 0 is NaN
    for (int i = 0; i < r.count; ++i) {
        const double a0 = vs[0]->a[i], d1 = vs[1]->a[i] - a0, d2 = vs[2]->a[i] - a0;
        base[i] = static_cast<float>(a0);
        dx[i] = static_cast<float>((d1 * ey2 - d2 * ey1) * inv);
        dy[i] = static_cast<float>((d2 * ex1 - d1 * ex2) * inv);
        finite += base[i] * 0 + dx[i] * 0 + dy[i] * 0;
    }
    if (!(finite == 0))
        return; // nothing not finite reaches a pixel
    bool lodPlanes = false;
    for (int s = 0; s < (r.count - kFixed) / 3; ++s) {
        const int si = p.stages[s].sampler;
        if (si >= 0 && (p.samplers[si].levelCount > 1 || p.samplers[si].min != p.samplers[si].mag))
            lodPlanes = true;
    }

    RowBounds rows;
    rows.Start(A, B, K, X, Y, y0, xl, xr);
    if (p.fast) {
        (r.*r.PickFastRows(lodPlanes))(rows, y0, y1, base, dx, dy, fx0, fy0);
        return;
    }
    for (int y = y0; y <= y1; ++y) {
        int lo, hi;
        rows.Next(&lo, &hi);
        if (lo <= hi)
            r.Span(y, lo, hi, base, dx, dy, fx0, fy0, lodPlanes);
    }
}

// Lines step along their major axis from pixel to pixel, the last pixel drawn unless asked not to.
void DrawLine(const Raster& r, const ScreenVertex* a, const ScreenVertex* b, bool lastPixel) {
    const PixelSetup& p = *r.ps;
    for (const ScreenVertex* v : {a, b})
        if (!(std::fabs(v->x) < kMaxScreen && std::fabs(v->y) < kMaxScreen))
            return;
    const float ddx = b->x - a->x, ddy = b->y - a->y;
    const bool xMajor = std::fabs(ddx) >= std::fabs(ddy);
    const float start = xMajor ? a->x : a->y, end = xMajor ? b->x : b->y;
    const int s0 = static_cast<int>(std::floor(start + 0.5f)), s1 = static_cast<int>(std::floor(end + 0.5f));
    if (s0 == s1 && !lastPixel)
        return;
    const int step = s1 >= s0 ? 1 : -1;
    const int last = lastPixel ? s1 : s1 - step;
    const float length = end - start;
    float zero[kMaxInterpolants] = {};
    for (int s = s0;; s += step) {
        const float t = length != 0 ? Saturate((static_cast<float>(s) - start) / length) : 0.0f;
        const float minor = xMajor ? a->y + ddy * t : a->x + ddx * t;
        const int m = static_cast<int>(std::floor(minor + 0.5f));
        const int x = xMajor ? s : m, y = xMajor ? m : s;
        if (x >= p.left && x < p.right && y >= r.top && y < r.bottom) {
            float at[kMaxInterpolants];
            for (int i = 0; i < r.count; ++i)
                at[i] = a->a[i] + (b->a[i] - a->a[i]) * t;
            bool finite = true;
            for (int i = 0; i < r.count; ++i)
                finite = finite && std::isfinite(at[i]);
            if (finite)
                r.Span(y, x, x, at, zero, zero, static_cast<float>(x), static_cast<float>(y), false);
        }
        if (s == last)
            break;
    }
}

// Clipping -------------------------------------------------------------------------------------------

struct Clipper {
    float guard; // |x|, |y| <= guard * w keeps a vertex within the integer range

    // Signed distances to the planes: inside when >= 0.
    static float Distance(int plane, const Vec4& c, float g) {
        switch (plane) {
        case 0:
            return c.z; // near
        case 1:
            return c.w - c.z; // far
        case 2:
            return g * c.w + c.x; // left
        case 3:
            return g * c.w - c.x; // right
        case 4:
            return g * c.w + c.y; // bottom
        case 5:
            return g * c.w - c.y; // top
        default:
            return c.w - 1e-6f * std::fabs(c.w) - 1e-30f; // w > 0
        }
    }
};

inline ClipVertex Lerp(const ClipVertex& a, const ClipVertex& b, float t, int stages) {
    ClipVertex r;
    auto l4 = [t](Vec4 p, Vec4 q) {
        return Vec4{p.x + (q.x - p.x) * t, p.y + (q.y - p.y) * t, p.z + (q.z - p.z) * t, p.w + (q.w - p.w) * t};
    };
    r.clip = l4(a.clip, b.clip);
    r.color[0] = l4(a.color[0], b.color[0]);
    r.color[1] = l4(a.color[1], b.color[1]);
    r.fog = a.fog + (b.fog - a.fog) * t;
    for (int s = 0; s < stages; ++s)
        for (int k = 0; k < 3; ++k)
            r.tex[s][k] = a.tex[s][k] + (b.tex[s][k] - a.tex[s][k]) * t;
    return r;
}

// Clips a polygon in place against every plane; returns the vertex count left.
int ClipPolygon(std::vector<ClipVertex>& poly, std::vector<ClipVertex>& scratch, float guard, int stages) {
    for (int plane = 0; plane < 7; ++plane) {
        bool allIn = true;
        for (const ClipVertex& v : poly)
            allIn = allIn && Clipper::Distance(plane, v.clip, guard) >= 0;
        if (allIn)
            continue;
        scratch.clear();
        const std::size_t n = poly.size();
        for (std::size_t i = 0; i < n; ++i) {
            const ClipVertex& a = poly[i];
            const ClipVertex& b = poly[(i + 1) % n];
            const float da = Clipper::Distance(plane, a.clip, guard), db = Clipper::Distance(plane, b.clip, guard);
            if (da >= 0)
                scratch.push_back(a);
            if ((da >= 0) != (db >= 0)) {
                // Always interpolate from the inside vertex, so a shared edge splits the same way.
                const float t = da >= 0 ? da / (da - db) : db / (db - da);
                scratch.push_back(da >= 0 ? Lerp(a, b, t, stages) : Lerp(b, a, t, stages));
            }
        }
        poly.swap(scratch);
        if (poly.size() < 3)
            return 0;
    }
    return static_cast<int>(poly.size());
}

bool ClipSegment(ClipVertex& a, ClipVertex& b, float guard, int stages) {
    for (int plane = 0; plane < 7; ++plane) {
        const float da = Clipper::Distance(plane, a.clip, guard), db = Clipper::Distance(plane, b.clip, guard);
        if (!(da >= 0) && !(db >= 0))
            return false;
        if (da >= 0 && db >= 0)
            continue;
        if (da < 0)
            a = Lerp(b, a, db / (db - da), stages);
        else
            b = Lerp(a, b, da / (da - db), stages);
    }
    return true;
}

// Threads ----------------------------------------------------------------------------------------------

// A draw whose primitives' boxes on screen add up to this many pixels shares out its pixel work;
// smaller ones are drawn on the drawing thread, where handing them over would cost more than it
// saves.
constexpr long kSplitArea = 2048;
// Bands are at least this many rows high, and there are at most this many per thread (more bands
// than threads even out the work of rows that differ in cost).
constexpr int kBandRows = 8;
constexpr int kBandsPerThread = 4;
// A draw's vertices are processed on the pool when it has at least this many, in chunks of this
// many.
constexpr std::size_t kSplitVertices = 1024;
constexpr std::size_t kChunkVertices = 256;

// The pool the draws share out their pixels on, made at the first draw that asks for it and
// joined at the end of the process.
struct RasterThreads {
    std::mutex mutex;
    int threads = 0; // 0: not known yet
    int wanted = 0;  // set by D3d9SetRasterThreads; 0: the environment's or the machine's
    long splitArea = kSplitArea;
    std::shared_ptr<PlatformWorkerPool> pool; // null with one thread
    bool closed = false;                      // the process is ending: no new pool

    ~RasterThreads() {
        std::shared_ptr<PlatformWorkerPool> last;
        {
            const std::lock_guard<std::mutex> lock(mutex);
            closed = true;
            last.swap(pool);
        }
    }
};
RasterThreads g_rasterThreads;

// The pool of this draw (null: the drawing thread alone) and its split area.
std::shared_ptr<PlatformWorkerPool> RasterPool(long* splitArea) {
    RasterThreads& t = g_rasterThreads;
    std::unique_lock<std::mutex> lock(t.mutex);
    if (t.threads == 0 && !t.closed) {
        int threads = t.wanted;
        if (threads == 0) {
            std::string error;
            if (!PlatformRasterThreadsFromEnvironment(&threads, &error)) {
                lock.unlock();
                std::fprintf(stderr, "%s\n", error.c_str());
                std::exit(2);
            }
        }
        if (threads == 0)
            threads = static_cast<int>(std::clamp(std::thread::hardware_concurrency(), 1u, 8u));
        t.threads = threads;
        if (threads > 1)
            t.pool = std::make_shared<PlatformWorkerPool>(threads);
    }
    *splitArea = t.splitArea;
    return t.pool;
}

// The whole draw ---------------------------------------------------------------------------------------

class Pipeline {
public:
    Pipeline(Device& device, const DrawCall& call) : device_(device), call_(call) {}
    void Run();

private:
    bool SetUpPixels();
    static FogEquation Fog(const std::array<DWORD, kRenderStates>& render, DWORD mode);
    std::uint64_t VertexIndex(UINT i) const;
    std::size_t Slot(std::uint64_t index);
    // Processes the vertex in a slot of the cache; ProcessVertices does every one of the draw's
    // range on the pool, with the screen form of those inside every plane.
    void ProcessVertex(std::size_t slot);
    void ProcessVertices(std::size_t range);
    const ClipVertex& Vertex(std::uint64_t index) { return cache_[Slot(index)]; }
    const ScreenVertex& Screen(std::size_t slot);
    void ToScreen(const ClipVertex& c, ScreenVertex* s) const;
    void Triangle(std::size_t a, std::size_t b, std::size_t c, bool swapped);
    void Line(const ClipVertex& a, const ClipVertex& b, bool lastPixel);
    void Point(const ClipVertex& a);
    void Sprite(const ClipVertex& a);
    // Primitives in screen space: drawn at once without a pool, else kept for DrawBands.
    void EmitTriangle(const ScreenVertex* a, const ScreenVertex* b, const ScreenVertex* c);
    void EmitLine(const ScreenVertex* a, const ScreenVertex* b, bool lastPixel);
    // The rows a primitive with these extremes may cover, half-open; its box joins the draw's area.
    void Rows(float minX, float maxX, float minY, float maxY, int* top, int* bottom);
    std::uint32_t Keep(const ScreenVertex* v);
    const ScreenVertex& Kept(std::uint32_t ref) const;
    // Draws the kept primitives: over bands of rows shared out on the pool, each band on one
    // thread in submission order, or on this thread when the draw is too small to share.
    void DrawBands();
    void DrawBand(int top, int bottom) const;
    bool Finite(const ClipVertex& v) const;
    void ShadeVertex(std::uint64_t index, ClipVertex* out);

    Device& device_;
    const DrawCall& call_;
    Fetch fetch_;
    VertexSetup vs_;
    // With a vertex shader: the interpreter, its inputs and the output each stage reads.
    std::unique_ptr<ShaderMachine> shader_;
    ShaderFetch shaderFetch_;
    std::array<std::array<float, 4>, kShaderInputs> shaderIn_{};
    ShaderOutput shaderOut_;
    bool shaderFog_ = false; // the shader writes oFog
    int stageCoords_[8] = {};
    PixelSetup ps_;
    Raster raster_{};
    int stages_ = 0;
    float guard_ = 1;
    // Processed vertices by index, from `low_`; per vertex the kProcessed, kFinite and kScreen
    // flags, the planes it lies outside (a bit each) and its screen form once asked for.
    static constexpr std::uint8_t kProcessed = 1, kFinite = 2, kScreen = 4;
    std::uint64_t low_ = 0;
    // A primitive kept for the bands: its vertices (slots of screens_, or kKept plus an index
    // into kept_), its flat colours (an index into flats_, -1 without) and the rows it may cover.
    static constexpr std::uint32_t kKept = 1u << 31;
    struct Deferred {
        std::uint32_t v[3];
        std::int32_t flat;
        int top, bottom;
        bool line, lastPixel;
    };
    struct FlatColors {
        Vec4 c[2];
    };
    // Per-vertex storage lives in the thread's draw scratch, so a draw does not allocate (and
    // fault in) fresh pages for it; only the entries below the draw's range are valid.
    struct Scratch {
        std::vector<ClipVertex> cache;
        std::vector<std::uint8_t> flags, outside;
        std::vector<ScreenVertex> screens;
        std::vector<ClipVertex> poly, clipped;
        std::vector<Deferred> deferred;
        std::vector<ScreenVertex> kept;
        std::vector<FlatColors> flats;
    };
    static Scratch& ThreadScratch() {
        thread_local Scratch scratch;
        return scratch;
    }
    // Storage kept between draws at most (vertices); a larger draw's is given back after it.
    static constexpr std::size_t kKeptVertices = std::size_t{1} << 17;
    Scratch& scratchStore_ = ThreadScratch();
    std::vector<ClipVertex>& cache_ = scratchStore_.cache;
    std::vector<std::uint8_t>& flags_ = scratchStore_.flags;
    std::vector<std::uint8_t>& outside_ = scratchStore_.outside;
    std::vector<ScreenVertex>& screens_ = scratchStore_.screens;
    std::vector<ClipVertex>& poly_ = scratchStore_.poly;
    std::vector<ClipVertex>& scratch_ = scratchStore_.clipped;
    std::vector<Deferred>& deferred_ = scratchStore_.deferred;
    std::vector<ScreenVertex>& kept_ = scratchStore_.kept;
    std::vector<FlatColors>& flats_ = scratchStore_.flats;
    ScreenVertex screen_[3 + 7]; // a triangle clipped by seven planes has at most ten corners
    // Sharing out the pixels: the pool (null: this thread alone, nothing kept), the area that
    // makes a draw worth sharing, and the area of the kept primitives' boxes on screen.
    std::shared_ptr<PlatformWorkerPool> pool_;
    long splitArea_ = 0;
    std::int64_t area_ = 0;
};

bool Pipeline::SetUpPixels() {
    State& s = device_.state;
    const auto& r = s.render;
    Surface* target = s.targets[0];
    if (target == nullptr || target->image.info == nullptr || target->image.info->depth || target->image.info->block ||
        target->image.info->palette)
        return false;
    ps_.target = &target->image;
    const D3DVIEWPORT9& vp = s.viewport;
    std::int64_t right = std::min<std::int64_t>(std::int64_t{vp.X} + vp.Width, target->image.width);
    std::int64_t bottom = std::min<std::int64_t>(std::int64_t{vp.Y} + vp.Height, target->image.height);
    const bool zOn = r[D3DRS_ZENABLE] != D3DZB_FALSE && s.depth != nullptr;
    if (zOn) {
        ps_.depth = &s.depth->image;
        right = std::min<std::int64_t>(right, ps_.depth->width);
        bottom = std::min<std::int64_t>(bottom, ps_.depth->height);
        ps_.depthTest = true;
        ps_.depthFunc = r[D3DRS_ZFUNC];
        ps_.depthWrite = r[D3DRS_ZWRITEENABLE] != 0;
    }
    ps_.left = static_cast<int>(std::min<std::int64_t>(vp.X, right));
    ps_.top = static_cast<int>(std::min<std::int64_t>(vp.Y, bottom));
    ps_.right = static_cast<int>(right);
    ps_.bottom = static_cast<int>(bottom);
    if (ps_.left >= ps_.right || ps_.top >= ps_.bottom)
        return false;

    ps_.factor = FromColor(r[D3DRS_TEXTUREFACTOR]);
    ps_.specularAdd = r[D3DRS_SPECULARENABLE] != 0;
    ps_.flat = r[D3DRS_SHADEMODE] == D3DSHADE_FLAT;
    ps_.alphaTest = r[D3DRS_ALPHATESTENABLE] != 0;
    ps_.alphaFunc = r[D3DRS_ALPHAFUNC];
    ps_.alphaRef = r[D3DRS_ALPHAREF] & 0xFF;
    ps_.blend = r[D3DRS_ALPHABLENDENABLE] != 0;
    ps_.srcBlend = r[D3DRS_SRCBLEND];
    ps_.dstBlend = r[D3DRS_DESTBLEND];
    ps_.blendOp = r[D3DRS_BLENDOP];
    ps_.writeMask = r[D3DRS_COLORWRITEENABLE] & 0xF;
    if (ps_.blend && ps_.srcBlend == D3DBLEND_ONE && ps_.dstBlend == D3DBLEND_ZERO && ps_.blendOp == D3DBLENDOP_ADD)
        ps_.blend = false;

    if (r[D3DRS_FOGENABLE] != 0) {
        ps_.fog = true;
        ps_.fogColor = FromColor(r[D3DRS_FOGCOLOR]);
        ps_.fogTable = r[D3DRS_FOGTABLEMODE] != D3DFOG_NONE;
        if (ps_.fogTable)
            ps_.fogEquation = Fog(r, r[D3DRS_FOGTABLEMODE]);
    }

    // Stages up to the first disabled one.
    int samplers = 0;
    for (UINT i = 0; i < kStages; ++i) {
        const auto& st = s.stage[i];
        if (st[D3DTSS_COLOROP] == D3DTOP_DISABLE)
            break;
        Stage& o = ps_.stages[i];
        o.colorOp = st[D3DTSS_COLOROP];
        o.colorArg[0] = st[D3DTSS_COLORARG0];
        o.colorArg[1] = st[D3DTSS_COLORARG1];
        o.colorArg[2] = st[D3DTSS_COLORARG2];
        o.alphaOp = st[D3DTSS_ALPHAOP];
        o.alphaArg[0] = st[D3DTSS_ALPHAARG0];
        o.alphaArg[1] = st[D3DTSS_ALPHAARG1];
        o.alphaArg[2] = st[D3DTSS_ALPHAARG2];
        o.result = st[D3DTSS_RESULTARG];
        o.sampler = -1;
        TextureBase* t = s.texture[i];
        if (t != nullptr && t->type == D3DRTYPE_TEXTURE && !t->surfaces.empty()) {
            Sampler& sm = ps_.samplers[samplers];
            const auto& ss = s.sampler[i];
            const UINT base = std::min<UINT>(ss[D3DSAMP_MAXMIPLEVEL], t->allocatedLevels - 1);
            const UINT count = std::min<UINT>({t->levelCount, t->allocatedLevels, 16u});
            sm.levelCount = 0;
            for (UINT l = std::min(base, count - 1); l < count; ++l) {
                const Image& im = t->Level(0, l)->image;
                if (im.info == nullptr || im.info->depth || im.width == 0 || im.height == 0)
                    break;
                sm.levels[sm.levelCount++] = &im;
            }
            if (sm.levelCount > 0) {
                sm.addressU = ss[D3DSAMP_ADDRESSU];
                sm.addressV = ss[D3DSAMP_ADDRESSV];
                sm.mag = ss[D3DSAMP_MAGFILTER];
                sm.min = ss[D3DSAMP_MINFILTER];
                sm.mip = ss[D3DSAMP_MIPFILTER];
                sm.borderColor = ss[D3DSAMP_BORDERCOLOR];
                sm.bias = FloatOf(ss[D3DSAMP_MIPMAPLODBIAS]);
                if (!std::isfinite(sm.bias))
                    sm.bias = 0;
                sm.palette = device_.CurrentPalette();
                sm.fastWrap = sm.addressU == D3DTADDRESS_WRAP && sm.addressV == D3DTADDRESS_WRAP;
                for (int l = 0; l < sm.levelCount; ++l) {
                    const Image& im = *sm.levels[l];
                    sm.fastWrap = sm.fastWrap && im.format == D3DFMT_A8R8G8B8 && (im.width & (im.width - 1)) == 0 &&
                                  (im.height & (im.height - 1)) == 0;
                    sm.level[l] = {im.bytes.data(),
                                   im.pitch,
                                   static_cast<int>(im.width) - 1,
                                   static_cast<int>(im.height) - 1,
                                   static_cast<float>(im.width),
                                   static_cast<float>(im.height)};
                }
                auto linear = [](DWORD f) { return f == D3DTEXF_LINEAR || f == D3DTEXF_ANISOTROPIC; };
                sm.quick = sm.fastWrap && linear(sm.min) && linear(sm.mag);
                for (int l = 0; l < sm.levelCount; ++l) // each level half the one before, at least 1
                    sm.quick = sm.quick && sm.levels[l]->width == std::max(1u, sm.levels[0]->width >> l) &&
                               sm.levels[l]->height == std::max(1u, sm.levels[0]->height >> l);
                o.sampler = samplers++;
            }
        }
        ps_.stageCount = static_cast<int>(i) + 1;
        for (DWORD arg : {o.colorArg[0], o.colorArg[1], o.colorArg[2], o.alphaArg[0], o.alphaArg[1], o.alphaArg[2]})
            ps_.useSpecular = ps_.useSpecular || (arg & D3DTA_SELECTMASK) == D3DTA_SPECULAR;
    }
    ps_.useSpecular = ps_.useSpecular || ps_.specularAdd;

    // Whether the packed-byte span serves this draw.
    auto plain = [](DWORD arg, PixelSetup::Arg* out) {
        switch (arg) {
        case D3DTA_DIFFUSE:
        case D3DTA_CURRENT:
            *out = PixelSetup::Arg::Diffuse;
            return true; // stage 0's current is the diffuse
        case D3DTA_TEXTURE:
            *out = PixelSetup::Arg::Texture;
            return true;
        case D3DTA_TFACTOR:
            *out = PixelSetup::Arg::Factor;
            return true;
        default:
            return false;
        }
    };
    auto simple = [](DWORD op) { return op == D3DTOP_SELECTARG1 || op == D3DTOP_SELECTARG2 || op == D3DTOP_MODULATE; };
    const D3DFORMAT tf = ps_.target->format, df = ps_.depth != nullptr ? ps_.depth->format : D3DFMT_UNKNOWN;
    ps_.fast = (tf == D3DFMT_A8R8G8B8 || tf == D3DFMT_X8R8G8B8) &&
               (ps_.depth == nullptr || df == D3DFMT_D24S8 || df == D3DFMT_D24X8 || df == D3DFMT_D24X4S4) &&
               !ps_.useSpecular && ps_.stageCount <= 1 && !ps_.fog;
    if (ps_.fast && ps_.stageCount == 1) {
        const Stage& st = ps_.stages[0];
        ps_.fast = simple(st.colorOp) && plain(st.colorArg[1], &ps_.colorArgs[0]) &&
                   plain(st.colorArg[2], &ps_.colorArgs[1]) && st.result == D3DTA_CURRENT &&
                   (st.alphaOp == D3DTOP_DISABLE || (simple(st.alphaOp) && plain(st.alphaArg[1], &ps_.alphaArgs[0]) &&
                                                     plain(st.alphaArg[2], &ps_.alphaArgs[1])));
        ps_.fastColorOp = st.colorOp;
        ps_.fastAlphaOp = st.alphaOp;
    }
    ps_.projected = (s.stage[0][D3DTSS_TEXTURETRANSFORMFLAGS] & D3DTTFF_PROJECTED) != 0;
    ps_.alphaBlend = ps_.blend && ps_.srcBlend == D3DBLEND_SRCALPHA && ps_.dstBlend == D3DBLEND_INVSRCALPHA &&
                     ps_.blendOp == D3DBLENDOP_ADD;
    // One pass gives all four bytes when colour and alpha do the same.
    ps_.oneOperation = ps_.stageCount > 0 && ps_.fastAlphaOp == ps_.fastColorOp &&
                       ps_.alphaArgs[0] == ps_.colorArgs[0] && ps_.alphaArgs[1] == ps_.colorArgs[1];
    ps_.storeColor = (!ps_.blend || ps_.alphaBlend) && ps_.writeMask == 0xF;
    ps_.factor8 = ToColor(ps_.factor);

    return true;
}

FogEquation Pipeline::Fog(const std::array<DWORD, kRenderStates>& r, DWORD mode) {
    FogEquation f;
    f.mode = mode == D3DFOG_LINEAR || mode == D3DFOG_EXP || mode == D3DFOG_EXP2 ? mode : D3DFOG_NONE;
    f.start = FloatOf(r[D3DRS_FOGSTART]);
    f.end = FloatOf(r[D3DRS_FOGEND]);
    f.density = FloatOf(r[D3DRS_FOGDENSITY]);
    return f;
}

void Pipeline::Run() {
    State& s = device_.state;
    if (!SetUpPixels())
        return;
    stages_ = ps_.stageCount;
    if (s.vertexShader != nullptr) {
        shader_ = std::make_unique<ShaderMachine>(s.vertexShader->program);
        shader_->SetConstants(s.vertexConstants);
        shaderFetch_ = MakeShaderFetch(device_, call_, s.vertexShader->program);
        for (auto& v : shaderIn_)
            v = {0, 0, 0, 1};
        for (int i = 0; i < stages_; ++i)
            stageCoords_[i] = static_cast<int>(s.stage[i][D3DTSS_TEXCOORDINDEX] & 7);
    } else {
        fetch_ = MakeFetch(device_, call_);
        if (fetch_.position.base == nullptr)
            return;
        vs_ = MakeVertexSetup(s, fetch_, stages_);
    }
    if (ps_.fog) {
        // Table fog reads the eye depth where the vertices carry one the device can recover
        // (a perspective projection, a shader's w, a reciprocal w given) and the device has W-fog.
        const bool perspective = shader_ != nullptr || vs_.transformed || s.transform[D3DTS_PROJECTION].m[2][3] != 0;
        ps_.fogW = (device_.config.caps.RasterCaps & D3DPRASTERCAPS_WFOG) != 0 && perspective;
        if (!ps_.fogTable) {
            // Vertex fog: the shader's fog output, the transformed vertex's specular alpha, or
            // the vertex mode's equation; no vertex mode leaves the pixels unfogged.
            if (shader_ != nullptr) {
                shaderFog_ = false;
                for (const ShaderInstr& in : s.vertexShader->program.code)
                    shaderFog_ = shaderFog_ || in.dst.file == ShaderFile::Fog;
            } else if (vs_.transformed) {
                vs_.fogFromSpecular = true;
            } else {
                vs_.fog = Fog(s.render, s.render[D3DRS_FOGVERTEXMODE]);
                vs_.rangeFog = s.render[D3DRS_RANGEFOGENABLE] != 0;
                ps_.fog = vs_.fog.mode != D3DFOG_NONE;
            }
            if (ps_.fog)
                ps_.fogIndex = kFixed + 3 * stages_;
        }
    }
    raster_.ps = &ps_;
    raster_.count = kFixed + 3 * stages_ + (ps_.fogIndex != 0 ? 1 : 0);
    raster_.top = ps_.top;
    raster_.bottom = ps_.bottom;
    const float side = static_cast<float>(std::max(s.viewport.Width, s.viewport.Height));
    guard_ = std::max(1.0f, (kMaxScreen / 4) / std::max(side, 1.0f));

    // Vertex cache over the range of indices the draw names.
    const UINT n = call_.vertices;
    std::uint64_t low = ~std::uint64_t{0}, high = 0;
    for (UINT i = 0; i < n; ++i) {
        const std::uint64_t v = VertexIndex(i);
        low = std::min(low, v);
        high = std::max(high, v);
    }
    if (n == 0)
        return;
    low_ = low;
    const std::size_t range = high - low + 1;
    if (cache_.size() < range) {
        cache_.resize(range);
        flags_.resize(range);
        outside_.resize(range);
        screens_.resize(range);
    }
    std::fill_n(flags_.begin(), range, std::uint8_t{0});
    deferred_.clear();
    kept_.clear();
    flats_.clear();
    struct GiveBack {
        Scratch& s;
        ~GiveBack() {
            if (s.cache.size() > kKeptVertices || s.kept.size() > kKeptVertices || s.deferred.size() > kKeptVertices)
                s = Scratch{};
        }
    } giveBack{scratchStore_};
    pool_ = RasterPool(&splitArea_);
    // A draw of many vertices, most of them used, has them processed on the pool first (those of
    // a vertex shader stay with its one machine).
    if (pool_ != nullptr && shader_ == nullptr && range >= kSplitVertices && range <= 2 * std::size_t{n})
        ProcessVertices(range);

    const D3DPRIMITIVETYPE type = call_.type;
    const UINT count = call_.primitives;
    auto v = [&](UINT i) -> const ClipVertex& { return Vertex(VertexIndex(i)); };
    auto t = [&](UINT i) { return Slot(VertexIndex(i)); };
    switch (type) {
    case D3DPT_TRIANGLELIST:
        for (UINT i = 0; i < count; ++i)
            Triangle(t(3 * i), t(3 * i + 1), t(3 * i + 2), false);
        break;
    case D3DPT_TRIANGLESTRIP:
        for (UINT i = 0; i < count; ++i)
            Triangle(t(i), t(i + 1), t(i + 2), (i & 1) != 0);
        break;
    case D3DPT_TRIANGLEFAN:
        for (UINT i = 0; i < count; ++i)
            Triangle(t(i + 1), t(i + 2), t(0), false);
        break;
    case D3DPT_LINELIST:
        for (UINT i = 0; i < count; ++i)
            Line(v(2 * i), v(2 * i + 1), s.render[D3DRS_LASTPIXEL] != 0);
        break;
    case D3DPT_LINESTRIP:
        for (UINT i = 0; i < count; ++i)
            Line(v(i), v(i + 1), i + 1 == count && s.render[D3DRS_LASTPIXEL] != 0); // joints once
        break;
    case D3DPT_POINTLIST:
        for (UINT i = 0; i < count; ++i)
            Point(v(i));
        break;
    default:
        break;
    }
    DrawBands();
}

std::uint64_t Pipeline::VertexIndex(UINT i) const {
    if (!call_.indexed)
        return std::uint64_t{call_.startVertex} + i;
    std::uint64_t index;
    if (call_.indexFormat == D3DFMT_INDEX16) {
        index = static_cast<std::uint64_t>(call_.indexData[2 * i]) |
                static_cast<std::uint64_t>(call_.indexData[2 * i + 1]) << 8;
    } else {
        DWORD w;
        std::memcpy(&w, call_.indexData + 4 * std::size_t{i}, 4);
        index = w;
    }
    return static_cast<std::uint64_t>(static_cast<std::int64_t>(index) + call_.baseVertex);
}

std::size_t Pipeline::Slot(std::uint64_t index) {
    const std::size_t slot = index - low_;
    if (!(flags_[slot] & kProcessed))
        ProcessVertex(slot);
    return slot;
}

void Pipeline::ProcessVertex(std::size_t slot) {
    const std::uint64_t index = low_ + slot;
    ClipVertex& c = cache_[slot];
    if (shader_ != nullptr) {
        ShadeVertex(index, &c);
    } else {
        InputVertex in;
        fetch_.Read(index, &in);
        Process(vs_, fetch_, in, &c);
    }
    std::uint8_t outside = 0;
    if (!vs_.transformed)
        for (int plane = 0; plane < 7; ++plane)
            if (!(Clipper::Distance(plane, c.clip, guard_) >= 0))
                outside |= static_cast<std::uint8_t>(1 << plane);
    outside_[slot] = outside;
    flags_[slot] = static_cast<std::uint8_t>(kProcessed | (Finite(c) ? kFinite : 0));
}

void Pipeline::ProcessVertices(std::size_t range) {
    struct Chunks {
        Pipeline* pipeline;
        std::size_t range;
    } chunks{this, range};
    ++device_.counters.sharedVertexDraws;
    pool_->Run(
        static_cast<int>((range + kChunkVertices - 1) / kChunkVertices),
        [](void* context, int i) {
            const Chunks& c = *static_cast<const Chunks*>(context);
            const std::size_t end = std::min(c.range, (static_cast<std::size_t>(i) + 1) * kChunkVertices);
            for (std::size_t slot = static_cast<std::size_t>(i) * kChunkVertices; slot < end; ++slot) {
                c.pipeline->ProcessVertex(slot);
                if (c.pipeline->outside_[slot] == 0)
                    c.pipeline->Screen(slot);
            }
        },
        &chunks);
}

// A vertex through the shader: clip position, the saturated colours and, for each stage, the
// texture output its coordinate index names (projected by the count's last component when asked).
void Pipeline::ShadeVertex(std::uint64_t index, ClipVertex* out) {
    shaderFetch_.Read(index, &shaderIn_); // the inputs it does not write stay (0, 0, 0, 1)
    shader_->Run(shaderIn_, &shaderOut_);
    const ShaderOutput& o = shaderOut_;
    out->clip = {o.position[0], o.position[1], o.position[2], o.position[3]};
    for (int k = 0; k < 2; ++k)
        out->color[k] = {o.color[k][0], o.color[k][1], o.color[k][2], o.color[k][3]};
    out->fog = shaderFog_ ? Saturate(o.fog) : 1.0f;
    const State& s = device_.state;
    for (int i = 0; i < stages_; ++i) {
        const auto& t = o.tex[stageCoords_[i]];
        const DWORD flags = s.stage[i][D3DTSS_TEXTURETRANSFORMFLAGS];
        const DWORD count = flags & 0xFF;
        out->tex[i][0] = t[0];
        out->tex[i][1] = t[1];
        out->tex[i][2] = (flags & D3DTTFF_PROJECTED) && count >= 2 ? t[std::min<DWORD>(count, 4) - 1] : 1.0f;
    }
}

const ScreenVertex& Pipeline::Screen(std::size_t slot) {
    if (!(flags_[slot] & kScreen)) {
        ToScreen(cache_[slot], &screens_[slot]);
        flags_[slot] |= kScreen;
    }
    return screens_[slot];
}

bool Pipeline::Finite(const ClipVertex& v) const {
    if (!std::isfinite(v.clip.x) || !std::isfinite(v.clip.y) || !std::isfinite(v.clip.z) || !std::isfinite(v.clip.w))
        return false;
    for (int s = 0; s < stages_; ++s)
        for (int k = 0; k < 3; ++k)
            if (!std::isfinite(v.tex[s][k]))
                return false;
    for (const Vec4& c : v.color)
        if (!std::isfinite(c.x) || !std::isfinite(c.y) || !std::isfinite(c.z) || !std::isfinite(c.w))
            return false;
    return std::isfinite(v.fog);
}

void Pipeline::ToScreen(const ClipVertex& c, ScreenVertex* s) const {
    float invW;
    if (vs_.transformed) {
        s->x = c.clip.x;
        s->y = c.clip.y;
        s->a[1] = c.clip.z;
        invW = c.clip.w > 0 && std::isfinite(c.clip.w) ? c.clip.w : 1.0f;
    } else {
        const D3DVIEWPORT9& vp = device_.state.viewport;
        invW = 1.0f / c.clip.w;
        s->x = static_cast<float>(vp.X) + (1 + c.clip.x * invW) * static_cast<float>(vp.Width) * 0.5f;
        s->y = static_cast<float>(vp.Y) + (1 - c.clip.y * invW) * static_cast<float>(vp.Height) * 0.5f;
        s->a[1] = vp.MinZ + c.clip.z * invW * (vp.MaxZ - vp.MinZ);
    }
    s->a[0] = invW;
    for (int k = 0; k < 2; ++k) {
        s->a[2 + 4 * k] = c.color[k].x * invW;
        s->a[3 + 4 * k] = c.color[k].y * invW;
        s->a[4 + 4 * k] = c.color[k].z * invW;
        s->a[5 + 4 * k] = c.color[k].w * invW;
    }
    for (int st = 0; st < stages_; ++st)
        for (int k = 0; k < 3; ++k)
            s->a[kFixed + 3 * st + k] = c.tex[st][k] * invW;
    if (ps_.fogIndex != 0)
        s->a[ps_.fogIndex] = c.fog * invW;
}

void Pipeline::Triangle(std::size_t ia, std::size_t ib, std::size_t ic, bool swapped) {
    if (!(flags_[ia] & flags_[ib] & flags_[ic] & kFinite))
        return;
    const ClipVertex &a = cache_[ia], &b = cache_[ib], &c = cache_[ic];
    Vec4 flat[2];
    if (ps_.flat) {
        flat[0] = {Saturate(a.color[0].x), Saturate(a.color[0].y), Saturate(a.color[0].z), Saturate(a.color[0].w)};
        flat[1] = {Saturate(a.color[1].x), Saturate(a.color[1].y), Saturate(a.color[1].z), Saturate(a.color[1].w)};
        raster_.flatColor = flat;
    } else {
        raster_.flatColor = nullptr;
    }
    const DWORD cull = device_.state.render[D3DRS_CULLMODE];
    auto signedArea = [](const ScreenVertex& s0, const ScreenVertex& s1, const ScreenVertex& s2) {
        const double area = (static_cast<double>(s1.x) - s0.x) * (static_cast<double>(s2.y) - s0.y) -
                            (static_cast<double>(s2.x) - s0.x) * (static_cast<double>(s1.y) - s0.y);
        return area;
    };
    if (vs_.transformed) {
        const ScreenVertex &sa = Screen(ia), &sb = Screen(ib), &sc = Screen(ic);
        double area = signedArea(sa, sb, sc);
        if (swapped)
            area = -area;
        // On screen (y down) a positive area runs clockwise.
        if ((cull == D3DCULL_CW && area > 0) || (cull == D3DCULL_CCW && area < 0))
            return;
        EmitTriangle(&sa, &sb, &sc);
        return;
    }
    // Outside one plane with all three vertices: nothing to draw; inside all: no clipping.
    if (outside_[ia] & outside_[ib] & outside_[ic])
        return;
    int n = 3;
    const ScreenVertex* screen[3 + 7];
    if ((outside_[ia] | outside_[ib] | outside_[ic]) == 0) {
        screen[0] = &Screen(ia);
        screen[1] = &Screen(ib);
        screen[2] = &Screen(ic);
    } else {
        poly_.assign({a, b, c});
        n = ClipPolygon(poly_, scratch_, guard_, stages_);
        if (n < 3)
            return;
        for (int i = 0; i < n; ++i) {
            ToScreen(poly_[i], &screen_[i]);
            screen[i] = &screen_[i];
        }
    }
    // The winding of the clipped polygon is the winding of the triangle; take the largest fan
    // triangle's for robustness.
    double area = 0;
    for (int i = 1; i + 1 < n; ++i)
        area += signedArea(*screen[0], *screen[i], *screen[i + 1]);
    if (swapped)
        area = -area;
    if ((cull == D3DCULL_CW && area > 0) || (cull == D3DCULL_CCW && area < 0))
        return;
    for (int i = 1; i + 1 < n; ++i)
        EmitTriangle(screen[0], screen[i], screen[i + 1]);
}

void Pipeline::Line(const ClipVertex& a, const ClipVertex& b, bool lastPixel) {
    if (!Finite(a) || !Finite(b))
        return;
    Vec4 flat[2];
    raster_.flatColor = nullptr;
    if (ps_.flat) {
        flat[0] = a.color[0];
        flat[1] = a.color[1];
        raster_.flatColor = flat;
    }
    ClipVertex p = a, q = b;
    if (!vs_.transformed && !ClipSegment(p, q, guard_, stages_))
        return;
    ScreenVertex s0, s1;
    ToScreen(p, &s0);
    ToScreen(q, &s1);
    EmitLine(&s0, &s1, lastPixel);
}

void Pipeline::Point(const ClipVertex& a) {
    if (!Finite(a))
        return;
    raster_.flatColor = nullptr;
    if (!vs_.transformed)
        for (int plane = 0; plane < 7; ++plane)
            if (!(Clipper::Distance(plane, a.clip, guard_) >= 0))
                return;
    if (device_.state.render[D3DRS_POINTSPRITEENABLE] != 0) {
        Sprite(a);
        return;
    }
    ScreenVertex s;
    ToScreen(a, &s);
    EmitLine(&s, &s, true);
}

// A point sprite: a screen-aligned square centred on the point, POINTSIZE pixels wide (with
// POINTSCALEENABLE and an untransformed vertex, scaled by the view depth d to
// height x size x sqrt(1 / (A + B d + C d^2))), held within POINTSIZE_MIN, POINTSIZE_MAX and the
// device's MaxPointSize; every stage's texture coordinates run from (0, 0) at the top left to
// (1, 1) at the bottom right. Sprites whose centre is clipped are not drawn.
void Pipeline::Sprite(const ClipVertex& a) {
    const State& s = device_.state;
    const auto& r = s.render;
    float size = FloatOf(r[D3DRS_POINTSIZE]);
    if (r[D3DRS_POINTSCALEENABLE] != 0 && !vs_.transformed) {
        const float d = std::fabs(a.clip.w);
        const float den = FloatOf(r[D3DRS_POINTSCALE_A]) + FloatOf(r[D3DRS_POINTSCALE_B]) * d +
                          FloatOf(r[D3DRS_POINTSCALE_C]) * d * d;
        size = den > 0 ? static_cast<float>(s.viewport.Height) * size * std::sqrt(1.0f / den) : 0.0f;
    }
    size = std::max(size, FloatOf(r[D3DRS_POINTSIZE_MIN]));
    size = std::min({size, FloatOf(r[D3DRS_POINTSIZE_MAX]), device_.config.caps.MaxPointSize});
    if (!(size > 0.0f) || !std::isfinite(size))
        return;
    ScreenVertex c;
    ToScreen(a, &c);
    const float half = 0.5f * size;
    const int sx[4] = {0, 1, 1, 0}, sy[4] = {0, 0, 1, 1};
    ScreenVertex v[4];
    for (int k = 0; k < 4; ++k) {
        v[k] = c;
        v[k].x = c.x + (sx[k] != 0 ? half : -half);
        v[k].y = c.y + (sy[k] != 0 ? half : -half);
        for (int st = 0; st < stages_; ++st) {
            v[k].a[kFixed + 3 * st] = static_cast<float>(sx[k]) * c.a[0];
            v[k].a[kFixed + 3 * st + 1] = static_cast<float>(sy[k]) * c.a[0];
            v[k].a[kFixed + 3 * st + 2] = c.a[0];
        }
    }
    EmitTriangle(&v[0], &v[1], &v[2]);
    EmitTriangle(&v[0], &v[2], &v[3]);
}

void Pipeline::EmitTriangle(const ScreenVertex* a, const ScreenVertex* b, const ScreenVertex* c) {
    if (pool_ == nullptr) {
        DrawTriangle(raster_, a, b, c);
        return;
    }
    int top = 0, bottom = 0;
    Rows(std::min({a->x, b->x, c->x}), std::max({a->x, b->x, c->x}), std::min({a->y, b->y, c->y}),
         std::max({a->y, b->y, c->y}), &top, &bottom);
    if (top >= bottom)
        return; // no row of the scissor
    Deferred d{{Keep(a), Keep(b), Keep(c)}, -1, top, bottom, false, false};
    if (raster_.flatColor != nullptr) {
        d.flat = static_cast<std::int32_t>(flats_.size());
        flats_.push_back({{raster_.flatColor[0], raster_.flatColor[1]}});
    }
    deferred_.push_back(d);
}

void Pipeline::EmitLine(const ScreenVertex* a, const ScreenVertex* b, bool lastPixel) {
    if (pool_ == nullptr) {
        DrawLine(raster_, a, b, lastPixel);
        return;
    }
    int top = 0, bottom = 0;
    Rows(std::min(a->x, b->x), std::max(a->x, b->x), std::min(a->y, b->y), std::max(a->y, b->y), &top, &bottom);
    if (top >= bottom)
        return;
    const std::uint32_t ka = Keep(a);
    Deferred d{{ka, a == b ? ka : Keep(b), 0}, -1, top, bottom, true, lastPixel};
    if (raster_.flatColor != nullptr) {
        d.flat = static_cast<std::int32_t>(flats_.size());
        flats_.push_back({{raster_.flatColor[0], raster_.flatColor[1]}});
    }
    deferred_.push_back(d);
}

// `top` and `bottom` bound the rows a primitive with these extremes can cover (pixel centres on
// the integers, positions snapped to a fraction of a pixel), within the scissor; NaN gives none.
void Pipeline::Rows(float minX, float maxX, float minY, float maxY, int* top, int* bottom) {
    auto clamp = [](float v, int lo, int hi) {
        return !(v > static_cast<float>(lo)) ? lo : !(v < static_cast<float>(hi)) ? hi : static_cast<int>(v);
    };
    *top = clamp(std::floor(minY), ps_.top, ps_.bottom);
    *bottom = clamp(std::floor(maxY) + 2, ps_.top, ps_.bottom);
    const int left = clamp(std::floor(minX), ps_.left, ps_.right);
    const int right = clamp(std::floor(maxX) + 2, ps_.left, ps_.right);
    area_ += std::int64_t{std::max(right - left, 0)} * std::max(*bottom - *top, 0);
}

std::uint32_t Pipeline::Keep(const ScreenVertex* v) {
    const std::less<const ScreenVertex*> before;
    if (!before(v, screens_.data()) && before(v, screens_.data() + screens_.size()))
        return static_cast<std::uint32_t>(v - screens_.data());
    kept_.push_back(*v);
    return kKept | static_cast<std::uint32_t>(kept_.size() - 1);
}

const ScreenVertex& Pipeline::Kept(std::uint32_t ref) const {
    return (ref & kKept) != 0 ? kept_[ref & ~kKept] : screens_[ref];
}

void Pipeline::DrawBands() {
    if (deferred_.empty())
        return;
    if (area_ < splitArea_) {
        DrawBand(ps_.top, ps_.bottom);
        return;
    }
    int top = deferred_[0].top, bottom = deferred_[0].bottom;
    for (const Deferred& d : deferred_) {
        top = std::min(top, d.top);
        bottom = std::max(bottom, d.bottom);
    }
    struct Bands {
        const Pipeline* pipeline;
        int top, rows, count;
    } bands{this, top, bottom - top, std::clamp((bottom - top) / kBandRows, 1, kBandsPerThread * pool_->Threads())};
    ++device_.counters.sharedDraws;
    pool_->Run(
        bands.count,
        [](void* context, int i) {
            const Bands& b = *static_cast<const Bands*>(context);
            const auto edge = [&b](int k) { return b.top + static_cast<int>(std::int64_t{b.rows} * k / b.count); };
            b.pipeline->DrawBand(edge(i), edge(i + 1));
        },
        &bands);
}

void Pipeline::DrawBand(int top, int bottom) const {
    Raster r = raster_;
    r.top = top;
    r.bottom = bottom;
    for (const Deferred& d : deferred_) {
        if (d.bottom <= top || d.top >= bottom)
            continue;
        r.flatColor = d.flat >= 0 ? flats_[static_cast<std::size_t>(d.flat)].c : nullptr;
        if (d.line)
            DrawLine(r, &Kept(d.v[0]), &Kept(d.v[1]), d.lastPixel);
        else
            DrawTriangle(r, &Kept(d.v[0]), &Kept(d.v[1]), &Kept(d.v[2]));
    }
}

} // namespace

void RasteriseDraw(Device& device, const DrawCall& call) { Pipeline(device, call).Run(); }

} // namespace d3d9

void D3d9SetRasterThreads(int threads, long splitArea) {
    d3d9::RasterThreads& t = d3d9::g_rasterThreads;
    std::shared_ptr<PlatformWorkerPool> old;
    const std::lock_guard<std::mutex> lock(t.mutex);
    old.swap(t.pool); // joined once the last draw on it lets go
    t.wanted = std::max(threads, 0);
    t.threads = 0;
    t.splitArea = splitArea >= 0 ? splitArea : d3d9::kSplitArea;
}

int D3d9RasterThreadCount() {
    long splitArea = 0;
    d3d9::RasterPool(&splitArea);
    const std::lock_guard<std::mutex> lock(d3d9::g_rasterThreads.mutex);
    return d3d9::g_rasterThreads.threads;
}
