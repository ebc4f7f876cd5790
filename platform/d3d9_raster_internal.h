// The rasteriser's shared pieces: the small vector maths and colour conversions every step uses,
// the vertex as fetched and processed, the pixel state a draw sets up, screen-space vertices and
// the Raster that draws triangles and lines. Internal to the rasteriser's files:
// d3d9_raster_vertex.cpp (fetch, transform, lighting: reads the draw's streams, writes ClipVertex),
// d3d9_raster_pixels.cpp (spans and pixels: reads ScreenVertex and PixelSetup, writes the target and
// depth) and d3d9_raster.cpp (the draw: clipping, the viewport, primitives and the threaded bands).
#pragma once

#include "platform/d3d9_device.h"
#include "platform/d3d9_shader.h"

#include <array>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <emmintrin.h>
#include <limits>
#include <vector>

namespace d3d9::raster_detail {

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

// Row vector times matrix, as the platform multiplies: each component
// ((x m0j + y m1j) + z m2j) + w m3j, the four at once on a row of the matrix each.
inline Vec4 Mul(Vec4 v, const D3DMATRIX& m) {
    auto row = [&m](int i) { return _mm_loadu_ps(m.m[i]); };
    __m128 r = _mm_mul_ps(_mm_set1_ps(v.x), row(0));
    r = _mm_add_ps(r, _mm_mul_ps(_mm_set1_ps(v.y), row(1)));
    r = _mm_add_ps(r, _mm_mul_ps(_mm_set1_ps(v.z), row(2)));
    r = _mm_add_ps(r, _mm_mul_ps(_mm_set1_ps(v.w), row(3)));
    alignas(16) float out[4];
    _mm_store_ps(out, r);
    return {out[0], out[1], out[2], out[3]};
}
inline Vec3 MulPoint(Vec3 p, const D3DMATRIX& m) {
    const Vec4 r = Mul(Vec4{p.x, p.y, p.z, 1}, m);
    return {r.x, r.y, r.z};
}
inline Vec3 MulDirection(Vec3 d, const D3DMATRIX& m) {
    const Vec4 r = Mul(Vec4{d.x, d.y, d.z, 0}, m);
    return {r.x, r.y, r.z};
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

// Vertex fetch and processing --------------------------------------------------------------------------

inline float HalfToFloat(WORD h) {
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
inline Vec4 Decode(BYTE type, const BYTE* p) {
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
    case D3DDECLTYPE_FLOAT1: // each its own fixed-size copy
        std::memcpy(f, p, 4);
        break;
    case D3DDECLTYPE_FLOAT2:
        std::memcpy(f, p, 8);
        break;
    case D3DDECLTYPE_FLOAT3:
        std::memcpy(f, p, 12);
        break;
    case D3DDECLTYPE_FLOAT4:
        std::memcpy(f, p, 16);
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

// A vertex as the declaration delivers it (the texture sets below Fetch::texSets; a stage naming
// another reads (0, 0, 0, 1)). Fetch::Read sets every member it delivers, so one can be reused.
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
    int texSets = 0; // one past the last set with a source: the sets Read fills

    Vec4 Position(std::uint64_t index) const {
        if (position.base == nullptr)
            return Vec4{0, 0, 0, 1};
        const BYTE* p = position.base + index * position.stride;
        if (position.type == D3DDECLTYPE_FLOAT3) { // the usual type, without the switch's jump
            float f[3];
            std::memcpy(f, p, 12);
            return {f[0], f[1], f[2], 1};
        }
        return Decode(position.type, p);
    }
    void Read(std::uint64_t index, InputVertex* v) const {
        // The usual types (three-float normals, packed colours, two-float coordinates) inline,
        // the rest through Decode's switch: the same values.
        auto read = [&](const Source& s, Vec4 fallback) {
            if (s.base == nullptr)
                return fallback;
            const BYTE* p = s.base + index * s.stride;
            switch (s.type) {
            case D3DDECLTYPE_FLOAT3: {
                float f[3];
                std::memcpy(f, p, 12);
                return Vec4{f[0], f[1], f[2], 1};
            }
            case D3DDECLTYPE_FLOAT2: {
                float f[2];
                std::memcpy(f, p, 8);
                return Vec4{f[0], f[1], 0, 1};
            }
            case D3DDECLTYPE_D3DCOLOR:
                return FromColor(p[0] | p[1] << 8 | p[2] << 16 | static_cast<DWORD>(p[3]) << 24);
            default:
                return Decode(s.type, p);
            }
        };
        v->position = Position(index);
        v->normal = {};
        if (hasNormal) {
            const Vec4 n = read(normal, Vec4{});
            v->normal = {n.x, n.y, n.z};
        }
        for (int i = 0; i < 2; ++i)
            v->color[i] = read(color[i], i == 0 ? Vec4{1, 1, 1, 1} : Vec4{0, 0, 0, 0});
        for (int i = 0; i < texSets; ++i)
            v->tex[i] = read(tex[i], Vec4{0, 0, 0, 1});
    }
};

Fetch MakeFetch(const Device& device, const DrawCall& call);

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

ShaderFetch MakeShaderFetch(const Device& device, const DrawCall& call, const ShaderProgram& program);

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
    // The material's diffuse, ambient, specular and emissive colours: from the vertex colour
    // colorSource names (0 or 1), or the material's own (-1, materialColor).
    enum { kDiffuse, kAmbient, kSpecularColor, kEmissive };
    int colorSource[4] = {-1, -1, -1, -1};
    Vec4 materialColor[4];
    float power = 0;
    bool eyePosition = false; // the lights read the camera-space position (a local light or viewer)
    D3DMATRIX worldView{}, worldViewProjection{}, normal{};
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

VertexSetup MakeVertexSetup(const State& s, const Fetch& fetch, int stages);
// A vertex's clip-space position (ClipPosition: what clipping and culling need first), its
// colours, texture coordinates and fog (Attributes), or all of it (Process).
inline Vec4 ClipPosition(const VertexSetup& v, Vec4 position) {
    if (v.transformed)
        return position; // x, y, z in the target, rhw
    return Mul(Vec4{position.x, position.y, position.z, 1}, v.worldViewProjection);
}
void Attributes(const VertexSetup& v, const Fetch& fetch, const InputVertex& in, ClipVertex* out);
void Process(const VertexSetup& v, const Fetch& fetch, const InputVertex& in, ClipVertex* out);

// Targets, samplers and the pixel stage ------------------------------------------------------------------

struct Sampler {
    const Image* levels[16] = {};
    int levelCount = 0;
    DWORD addressU = D3DTADDRESS_WRAP, addressV = D3DTADDRESS_WRAP;
    DWORD mag = D3DTEXF_POINT, min = D3DTEXF_POINT, mip = D3DTEXF_NONE;
    D3DCOLOR borderColor = 0;
    float bias = 0;
    bool fastWrap = false; // every level of one 32-bit format with power-of-two sides, wrapped both ways
    bool quick = false;    // fastWrap, linear filters in and out, each level half the one before
    const PALETTEENTRY* palette = nullptr;
    // The levels as the quick sampler reads them (under fastWrap).
    struct Level {
        const BYTE* bytes = nullptr; // rows of width texels, one after the other
        float width = 0, height = 0;
        const std::uint32_t* blocks = nullptr; // FilterBlocks of the level, when `blocked`
    } level[16];
    std::uint32_t opaque = 0; // under fastWrap, the bits set on every texel read: all of alpha without one
    bool blocked = false;     // quick, and every level's filtering blocks made: one read a pixel
};

// The four texels a bilinear read of a wrapped 32-bit image takes at each texel, as one block of
// 16 bytes: the texel, its right neighbour, the one below and the one below that, wrapped at the
// edges, with the bits OpaqueBits sets. Made when the image's version has moved on since they
// were last made (or never were); null for an image too large to keep them for.
const std::uint32_t* FilterBlocks(const Image& image);

// The bits a texel of a 32-bit format reads with set: all of alpha where the format has none.
inline std::uint32_t OpaqueBits(D3DFORMAT format) { return format == D3DFMT_X8R8G8B8 ? 0xFF000000u : 0u; }

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
    // The usual combinations of the fast state, chosen once a draw: the texture times the diffuse
    // colour, its alpha too (modulateAll) or the texture's (modulateTextureAlpha); the usual depth
    // test (lessEqual), the other functions going through the general comparison.
    bool modulateAll = false, modulateTextureAlpha = false, lessEqual = false;
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
    // A pixel shader runs in place of the stages: stage i reads samplers[shaderSampler[i]] (-1:
    // no texture); shaderLod when some sampler wants the level of detail.
    const PixelShaderMachine* shader = nullptr;
    int shaderSampler[8] = {-1, -1, -1, -1, -1, -1, -1, -1};
    bool shaderLod = false;
};

// Screen-space primitives ------------------------------------------------------------------------------

// Interpolants, in this order: 1/w, z, diffuse rgba, specular rgba, then s, t, q of each stage,
// then the vertex fog factor when it is interpolated.
constexpr int kSpecular = 6;
constexpr int kFixed = 10;
constexpr int kMaxInterpolants = kFixed + 3 * 8 + 1;

struct alignas(64) ScreenVertex { // x, y and the usual dozen interpolants in its first cache line
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
    // The same with the pixel shader in place of the stages.
    void ShaderSpan(int y, int x0, int x1, const float* base, const float* dx, const float* dy, float ox, float oy,
                    bool hasLodPlanes) const;
    // The rows y0..y1 of a triangle in the fast state, specialised on depth, texture, level of
    // detail and flat shading, eight pixels a step where the processor has AVX2.
    using RowsFunction = void (*)(const Raster&, RowBounds&, int, int, const float*, const float*, const float*,
                                  float, float);
    // Chosen once a draw by ChooseRows: whether some stage's sampler wants the level of detail,
    // and the fast rows of the draw without and with flat colours.
    bool lodPlanes = false;
    RowsFunction fastRows[2] = {};
    void ChooseRows();
};

void DrawTriangle(const Raster& r, const ScreenVertex* v0, const ScreenVertex* v1, const ScreenVertex* v2);
// Lines step along their major axis from pixel to pixel, the last pixel drawn unless asked not to.
void DrawLine(const Raster& r, const ScreenVertex* a, const ScreenVertex* b, bool lastPixel);

constexpr std::int64_t kSub = 256;    // sub-pixel steps
constexpr float kMaxScreen = 1 << 19; // |coordinate| in pixels the integer edges hold

} // namespace d3d9::raster_detail
