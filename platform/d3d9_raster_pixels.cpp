// The rasteriser's pixel step: triangle set-up with snapped positions and exact 64-bit edges, the
// rows and spans a triangle covers under the top-left rule, lines, and per pixel the
// perspective-correct interpolants, texture sampling, the stage combiner, fog, alpha test, the
// depth buffer, blending and the write mask. The frequent state runs four pixels at a time on SSE2
// lanes, or eight on AVX2 where the processor has it, with the same results as one at a time.
// Reads ScreenVertex and PixelSetup; writes the target and depth images.

#include "platform/d3d9_raster_internal.h"
#include "platform/d3d9_control.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <atomic>
#include <immintrin.h>

namespace d3d9::raster_detail {

namespace {

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
        return c | OpaqueBits(image.format);
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
        for (D3DCOLOR& texel : t)
            texel |= s.opaque;
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

// The derivatives of a set's (s/q, t/q) along x and y, from the planes of s/w, t/w and q/w (k: the
// set's first interpolant, a: the interpolants at the pixel, (u, v): its place there).
inline void Gradients(const float* a, const float* dx, const float* dy, int k, float u, float v, float g[4]) {
    const float qw = a[k + 2]; // q / w
    const float r = qw != 0 ? 1.0f / qw : 0.0f;
    g[0] = (dx[k] - u * dx[k + 2]) * r;
    g[1] = (dx[k + 1] - v * dx[k + 2]) * r;
    g[2] = (dy[k] - u * dy[k + 2]) * r;
    g[3] = (dy[k + 1] - v * dy[k + 2]) * r;
}

// log2 of the texels of a level of width x height per pixel, for those derivatives.
inline float LevelOfDetail(const float g[4], float width, float height) {
    const float lx = g[0] * g[0] * width * width + g[1] * g[1] * height * height;
    const float ly = g[2] * g[2] * width * width + g[3] * g[3] * height * height;
    const float m = std::max(lx, ly);
    return m > 0 && std::isfinite(m) ? 0.5f * FastLog2(m) : 0.0f;
}

// Walks the pixels [x0, x1] of row y: the interpolants at each, the depth test, then
// shade(a, w, x, depthKey) for those that pass (w: the pixel's w).
template <class Shade>
[[gnu::always_inline]] inline void WalkSpan(const Raster& r, int y, int x0, int x1, const float* base, const float* dx,
                                            const float* dy, float ox, float oy, float* a, Shade shade) {
    const PixelSetup& p = *r.ps;
    const float fx = static_cast<float>(x0) - ox, fy = static_cast<float>(y) - oy;
    for (int i = 0; i < r.count; ++i)
        a[i] = base[i] + dx[i] * fx + dy[i] * fy;
    for (int x = x0; x <= x1; ++x) {
        if (x > x0)
            for (int i = 0; i < r.count; ++i)
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
        shade(static_cast<const float*>(a), invW != 0 ? 1.0f / invW : 0.0f, x, key);
    }
}

// Fog over a shaded colour: the factor per pixel from the depth, or the vertices' interpolated.
inline Vec4 Fogged(const PixelSetup& p, Vec4 c, const float* a, float w) {
    if (p.fog) {
        const float f = p.fogTable ? p.fogEquation.Factor(p.fogW ? w : a[1]) : Saturate(a[p.fogIndex] * w);
        c.x = c.x * f + p.fogColor.x * (1 - f);
        c.y = c.y * f + p.fogColor.y * (1 - f);
        c.z = c.z * f + p.fogColor.z * (1 - f);
    }
    return c;
}

} // namespace

// Per pixel: perspective-correct attributes, the level of detail of every stage, shading.
void Raster::Span(int y, int x0, int x1, const float* base, const float* dx, const float* dy, float ox, float oy,
                  bool lodPlanes) const {
    const PixelSetup& p = *ps;
    if (p.shader != nullptr) {
        ShaderSpan(y, x0, x1, base, dx, dy, ox, oy, lodPlanes);
        return;
    }
    float a[kMaxInterpolants];
    const int stages = (count - kFixed) / 3;
    WalkSpan(*this, y, x0, x1, base, dx, dy, ox, oy, a, [&](const float* a, float w, int x, DWORD key) {
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
                const float q = tex[3 * s + 2];
                const float iq = q != 0 ? 1.0f / q : 0.0f;
                float g[4];
                Gradients(a, dx, dy, k, tex[3 * s] * iq, tex[3 * s + 1] * iq, g);
                const Image& top = *p.samplers[st.sampler].levels[0];
                lods[s] = LevelOfDetail(g, static_cast<float>(top.width), static_cast<float>(top.height));
            }
        }
        in.temp = {};
        Output(p, x, y, Fogged(p, Combine(p, in, tex, lods), a, w), key);
    });
}

namespace {

// What a pixel shader's texture reads see: the stage's sampler, the level of detail from the
// derivatives of the coordinate set the place came from (none for places the shader computed).
struct ShaderTextures final : PixelShaderTextures {
    const PixelSetup* ps = nullptr;
    const float (*grads)[4] = nullptr; // per set: du/dx, dv/dx, du/dy, dv/dy; null without
    void Sample(int stage, float u, float v, int set, float out[4]) const override {
        const int si = stage >= 0 && stage < 8 ? ps->shaderSampler[stage] : -1;
        if (si < 0) {
            out[0] = out[1] = out[2] = 0; // a stage without a texture reads opaque black
            out[3] = 1;
            return;
        }
        const Sampler& sm = ps->samplers[si];
        const float lod = grads != nullptr && set >= 0
                              ? LevelOfDetail(grads[set], static_cast<float>(sm.levels[0]->width),
                                              static_cast<float>(sm.levels[0]->height))
                              : 0.0f;
        const Vec4 c = FromColor(::d3d9::raster_detail::Sample(sm, u, v, lod));
        out[0] = c.x;
        out[1] = c.y;
        out[2] = c.z;
        out[3] = c.w;
    }
};

} // namespace

void Raster::ShaderSpan(int y, int x0, int x1, const float* base, const float* dx, const float* dy, float ox, float oy,
                        bool lodPlanes) const {
    const PixelSetup& p = *ps;
    float a[kMaxInterpolants];
    const int sets = (count - kFixed) / 3;
    float grads[8][4] = {};
    ShaderTextures textures;
    textures.ps = &p;
    textures.grads = lodPlanes ? grads : nullptr;
    WalkSpan(*this, y, x0, x1, base, dx, dy, ox, oy, a, [&](const float* a, float w, int x, DWORD key) {
        PixelShaderInputs in;
        const Vec4 diffuse = flatColor != nullptr
                                 ? flatColor[0]
                                 : Vec4{Saturate(a[2] * w), Saturate(a[3] * w), Saturate(a[4] * w), Saturate(a[5] * w)};
        const Vec4 specular =
            flatColor != nullptr ? flatColor[1]
                                 : Vec4{Saturate(a[6] * w), Saturate(a[7] * w), Saturate(a[8] * w), Saturate(a[9] * w)};
        in.diffuse[0] = diffuse.x, in.diffuse[1] = diffuse.y, in.diffuse[2] = diffuse.z, in.diffuse[3] = diffuse.w;
        in.specular[0] = specular.x, in.specular[1] = specular.y, in.specular[2] = specular.z;
        in.specular[3] = specular.w;
        for (int s = 0; s < sets; ++s) {
            const int k = kFixed + 3 * s;
            for (int c = 0; c < 3; ++c)
                in.coords[s][c] = a[k + c] * w;
            if (lodPlanes) {
                const float q = in.coords[s][2];
                const float iq = q != 0 ? 1.0f / q : 0.0f;
                Gradients(a, dx, dy, k, in.coords[s][0] * iq, in.coords[s][1] * iq, grads[s]);
            }
        }
        float out[4];
        if (p.shader->Run(in, textures, out)) // else texkill dropped it
            Output(p, x, y, Fogged(p, Vec4{out[0], out[1], out[2], out[3]}, a, w), key);
    });
}

namespace {

std::atomic<bool> gMaskWalk{true};

// Whether small triangles' rows are found by masks (D3d9SetRasterMaskWalk).
inline bool MaskWalk() { return gMaskWalk.load(std::memory_order_relaxed); }

// a where the mask is set, b elsewhere.
[[gnu::always_inline]] inline __m128i Select4(__m128i mask, __m128i a, __m128i b) {
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

inline std::int64_t FloorDiv(std::int64_t a, std::int64_t b) // b > 0
{
    std::int64_t q = a / b;
    if ((a % b != 0) && (a < 0))
        --q;
    return q;
}

inline std::int64_t CeilDiv(std::int64_t a, std::int64_t b) { return -FloorDiv(-a, b); }

// The same quotient from a floating-point estimate (truncated, no floor call) corrected exactly:
// integer division of 64-bit numbers costs far more. |a| < 2^56, b > 0. The estimate is nearly
// always the quotient or one above it (a negative quotient truncated up): that step is taken
// without a branch, whose way would follow the signs of the edges; the loops finish the rest.
inline std::int64_t FloorQuotient(std::int64_t a, std::int64_t b) {
    std::int64_t q = static_cast<std::int64_t>(static_cast<double>(a) / static_cast<double>(b));
    q -= q * b > a ? 1 : 0;
    while (q * b > a)
        --q;
    while ((q + 1) * b <= a)
        ++q;
    return q;
}

} // namespace

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
    // The fast rows of a triangle whose box is at most kMaskWidth pixels wide (and whose edge
    // functions hold 32 bits over it) take each row's pixels from the edge functions themselves:
    // E - K of each edge at the box's first pixel of row y0, its step from pixel to pixel and from
    // row to row (modulo 2^32: every value within the box is exact), the lanes of the box.
    struct Masks {
        bool on = false;
        int left, box;
        std::uint32_t edge[3], lane[3], row[3];
    } masks;
    static constexpr int kMaskWidth = 16;

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

    // Masks for a box of x in [xl, xr] (at most kMaskWidth wide) and y in [y0, y1]; false when
    // some edge function leaves 32 bits over it. A linear function is largest and smallest at
    // the box's corners.
    bool StartMasks(const std::int64_t A[3], const std::int64_t B[3], const std::int64_t K[3],
                    const std::int64_t X[3], const std::int64_t Y[3], int y0, int y1, int xl, int xr) {
        masks.on = false;
        if (xr - xl >= kMaskWidth || !MaskWalk())
            return false;
        for (int i = 0; i < 3; ++i) {
            const std::int64_t first = A[i] * (xl * kSub - X[i]) + B[i] * (y0 * kSub - Y[i]) - K[i];
            const std::int64_t across = A[i] * kSub * (xr - xl), down = B[i] * kSub * (y1 - y0);
            const std::int64_t least = first + std::min<std::int64_t>(across, 0) + std::min<std::int64_t>(down, 0);
            const std::int64_t most = first + std::max<std::int64_t>(across, 0) + std::max<std::int64_t>(down, 0);
            if (least < std::numeric_limits<std::int32_t>::min() || most > std::numeric_limits<std::int32_t>::max())
                return false;
            masks.edge[i] = static_cast<std::uint32_t>(first);
            masks.lane[i] = static_cast<std::uint32_t>(A[i] * kSub);
            masks.row[i] = static_cast<std::uint32_t>(B[i] * kSub);
        }
        masks.left = xl;
        masks.box = (1 << (xr - xl + 1)) - 1;
        masks.on = true;
        return true;
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
            // All ones where the remainder reached the divisor, in arithmetic: a branch here would
            // follow the edge's slope from row to row and miss often.
            const std::int64_t carry = ~((b.rest - b.divisor) >> 63);
            b.rest -= b.divisor & carry;
            b.q -= carry;
        }
        const bool empty = out || l > h; // compared before narrowing: an unbounding edge may be far out
        *lo = empty ? 1 : static_cast<int>(l);
        *hi = empty ? 0 : static_cast<int>(h);
    }
};

const std::uint32_t* FilterBlocks(const Image& image) {
    constexpr std::size_t kMaxTexels = std::size_t{1} << 16; // at most a megabyte of blocks a level
    const std::size_t w = image.width, h = image.height;
    if (w == 0 || h == 0 || w * h > kMaxTexels)
        return nullptr;
    if (image.blocks.size() != 4 * w * h || image.blocksVersion != image.version) {
        image.blocks.resize(4 * w * h);
        const std::uint32_t opaque = OpaqueBits(image.format);
        auto texel = [&](std::size_t x, std::size_t y) {
            std::uint32_t v;
            std::memcpy(&v, image.bytes.data() + y * image.pitch + 4 * x, 4);
            return v | opaque;
        };
        std::uint32_t* to = image.blocks.data();
        for (std::size_t y = 0; y < h; ++y) {
            const std::size_t below = y + 1 < h ? y + 1 : 0;
            for (std::size_t x = 0; x < w; ++x, to += 4) {
                const std::size_t right = x + 1 < w ? x + 1 : 0;
                to[0] = texel(x, y);
                to[1] = texel(right, y);
                to[2] = texel(x, below);
                to[3] = texel(right, below);
            }
        }
        image.blocksVersion = image.version;
    }
    return image.blocks.data();
}

namespace {

// The operations of the fast rows on vectors of one or two four-pixel groups (group g in the g-th
// 128-bit half). Lanes4: SSE2, every processor the platform runs on.
struct Lanes4 {
    using F = __m128;
    using I = __m128i;
    static constexpr int kGroups = 1;
    [[gnu::always_inline]] static F SetF(float v) { return _mm_set1_ps(v); }
    [[gnu::always_inline]] static I SetI(int v) { return _mm_set1_epi32(v); }
    [[gnu::always_inline]] static I Set16(short v) { return _mm_set1_epi16(v); }
    [[gnu::always_inline]] static F Add(F a, F b) { return _mm_add_ps(a, b); }
    [[gnu::always_inline]] static F Sub(F a, F b) { return _mm_sub_ps(a, b); }
    [[gnu::always_inline]] static F Mul(F a, F b) { return _mm_mul_ps(a, b); }
    [[gnu::always_inline]] static F Div(F a, F b) { return _mm_div_ps(a, b); }
    [[gnu::always_inline]] static F Min(F a, F b) { return _mm_min_ps(a, b); }
    [[gnu::always_inline]] static F Max(F a, F b) { return _mm_max_ps(a, b); }
    [[gnu::always_inline]] static F AndF(F a, F b) { return _mm_and_ps(a, b); }
    [[gnu::always_inline]] static F AndNotF(F a, F b) { return _mm_andnot_ps(a, b); }
    [[gnu::always_inline]] static F CmpNeq(F a, F b) { return _mm_cmpneq_ps(a, b); }
    [[gnu::always_inline]] static F CmpGt(F a, F b) { return _mm_cmpgt_ps(a, b); }
    [[gnu::always_inline]] static F CmpLt(F a, F b) { return _mm_cmplt_ps(a, b); }
    [[gnu::always_inline]] static F CmpGe(F a, F b) { return _mm_cmpge_ps(a, b); }
    [[gnu::always_inline]] static I Cvtt(F a) { return _mm_cvttps_epi32(a); }
    [[gnu::always_inline]] static F Cvt(I a) { return _mm_cvtepi32_ps(a); }
    // floor of values below 2^31 in magnitude: the truncation, less one where it went up.
    [[gnu::always_inline]] static F Floor(F a) {
        const F t = Cvt(Cvtt(a));
        return _mm_sub_ps(t, _mm_and_ps(_mm_cmpgt_ps(t, a), _mm_set1_ps(1.0f)));
    }
    [[gnu::always_inline]] static I AsI(F a) { return _mm_castps_si128(a); }
    [[gnu::always_inline]] static F AsF(I a) { return _mm_castsi128_ps(a); }
    [[gnu::always_inline]] static int Mask(F a) { return _mm_movemask_ps(a); }
    [[gnu::always_inline]] static I AndNot(I a, I b) { return _mm_andnot_si128(a, b); }
    [[gnu::always_inline]] static I Add32(I a, I b) { return _mm_add_epi32(a, b); }
    [[gnu::always_inline]] static I Sub32(I a, I b) { return _mm_sub_epi32(a, b); }
    [[gnu::always_inline]] static I CmpEq32(I a, I b) { return _mm_cmpeq_epi32(a, b); }
    [[gnu::always_inline]] static I CmpGt32(I a, I b) { return _mm_cmpgt_epi32(a, b); }
    template <int n> [[gnu::always_inline]] static I Sll32(I a) { return _mm_slli_epi32(a, n); }
    template <int n> [[gnu::always_inline]] static I Srl32(I a) { return _mm_srli_epi32(a, n); }
    template <int n> [[gnu::always_inline]] static I Srl16(I a) { return _mm_srli_epi16(a, n); }
    [[gnu::always_inline]] static I Add16(I a, I b) { return _mm_add_epi16(a, b); }
    [[gnu::always_inline]] static I Sub16(I a, I b) { return _mm_sub_epi16(a, b); }
    [[gnu::always_inline]] static I Mullo16(I a, I b) { return _mm_mullo_epi16(a, b); }
    [[gnu::always_inline]] static I Mulhi16u(I a, I b) { return _mm_mulhi_epu16(a, b); }
    [[gnu::always_inline]] static I Unpacklo8(I a, I b) { return _mm_unpacklo_epi8(a, b); }
    [[gnu::always_inline]] static I Unpackhi8(I a, I b) { return _mm_unpackhi_epi8(a, b); }
    [[gnu::always_inline]] static I Unpacklo16(I a, I b) { return _mm_unpacklo_epi16(a, b); }
    [[gnu::always_inline]] static I Unpacklo32(I a, I b) { return _mm_unpacklo_epi32(a, b); }
    [[gnu::always_inline]] static I Unpackhi32(I a, I b) { return _mm_unpackhi_epi32(a, b); }
    [[gnu::always_inline]] static I Packs32(I a, I b) { return _mm_packs_epi32(a, b); }
    [[gnu::always_inline]] static I Packus16(I a, I b) { return _mm_packus_epi16(a, b); }
    // Each pixel's alpha (the fourth of its 16-bit channels) over all four.
    [[gnu::always_inline]] static I Alpha16(I a) { return _mm_shufflehi_epi16(_mm_shufflelo_epi16(a, 0xFF), 0xFF); }
    // Lerp8 on 16-bit lanes of channels (each below 256), weights f in 0..256 as they are: every
    // product and sum stays below 2^16, so the lanes give the same bytes as the packed form.
    [[gnu::always_inline]] static I Weights16(I f) { return f; }
    [[gnu::always_inline]] static I Lerp16(I a, I b, I f) {
        const I g = _mm_sub_epi16(_mm_set1_epi16(256), f);
        const I sum = _mm_add_epi16(_mm_mullo_epi16(a, g), _mm_mullo_epi16(b, f));
        return _mm_srli_epi16(_mm_add_epi16(sum, _mm_set1_epi16(128)), 8);
    }
    template <int imm> [[gnu::always_inline]] static F Broadcast(F a) { return _mm_shuffle_ps(a, a, imm); }
    [[gnu::always_inline]] static void Store(int* to, I a) { _mm_store_si128(reinterpret_cast<__m128i*>(to), a); }
    [[gnu::always_inline]] static void StoreF(float* to, F a) { _mm_store_ps(to, a); }
    [[gnu::always_inline]] static I Load(const int* from) { return _mm_load_si128(reinterpret_cast<const __m128i*>(from)); }
    [[gnu::always_inline]] static I Join(const __m128i* halves) { return halves[0]; }
    [[gnu::always_inline]] static __m128i Half(I a, int) { return a; }
    template <class G> [[gnu::always_inline]] static F JoinF(const G* groups, int k) { return groups[0].p[k]; }
    template <class G> [[gnu::always_inline]] static F JoinC(const G* groups, int k) { return groups[0].c[k]; }
    template <class G> [[gnu::always_inline]] static F JoinQ(const G* groups) { return _mm_load_ps(groups[0].q); }
    [[gnu::always_inline]] static I Live(const int* lanes) {
        return _mm_cmpgt_epi32(_mm_set1_epi32(lanes[0]), _mm_setr_epi32(0, 1, 2, 3));
    }
    // first + k step in lane k, modulo 2^32.
    [[gnu::always_inline]] static I Ramp(std::uint32_t first, std::uint32_t step) {
        return _mm_setr_epi32(static_cast<int>(first), static_cast<int>(first + step),
                              static_cast<int>(first + 2 * step), static_cast<int>(first + 3 * step));
    }
    [[gnu::always_inline]] static void Transpose(F& a, F& b, F& c, F& d) { _MM_TRANSPOSE4_PS(a, b, c, d); }
    // DepthKey of saturated depths for a 24-bit buffer, in double as there: in float the scaled
    // depth rounds before the half is added, which gives other keys than the rest of the
    // rasteriser (and the clear) and 2^24 for a depth of 1.
    [[gnu::always_inline]] static I DepthKeys24(F z) {
        const __m128d scale = _mm_set1_pd(16777215.0), half = _mm_set1_pd(0.5);
        const __m128i low = _mm_cvttpd_epi32(_mm_add_pd(_mm_mul_pd(_mm_cvtps_pd(z), scale), half));
        const __m128i high = _mm_cvttpd_epi32(_mm_add_pd(_mm_mul_pd(_mm_cvtps_pd(_mm_movehl_ps(z, z)), scale), half));
        return _mm_unpacklo_epi64(low, high);
    }
};

namespace four {
using V = Lanes4;
#include "platform/d3d9_raster_rows.inl"
} // namespace four

// Lanes8: two groups a step on AVX2 (no FMA: every product is rounded before its sum, as above),
// for processors that have it.
#if defined(__clang__)
#pragma clang attribute push(__attribute__((target("avx2"))), apply_to = function)
#else
#pragma GCC push_options
#pragma GCC target("avx2")
#endif
#pragma GCC diagnostic push
// Lambdas here taking or giving 256-bit vectors are all inlined into functions built for AVX2.
#pragma GCC diagnostic ignored "-Wpsabi"

struct Lanes8 {
    using F = __m256;
    using I = __m256i;
    static constexpr int kGroups = 2;
    [[gnu::always_inline]] static F SetF(float v) { return _mm256_set1_ps(v); }
    [[gnu::always_inline]] static I SetI(int v) { return _mm256_set1_epi32(v); }
    [[gnu::always_inline]] static I Set16(short v) { return _mm256_set1_epi16(v); }
    [[gnu::always_inline]] static F Add(F a, F b) { return _mm256_add_ps(a, b); }
    [[gnu::always_inline]] static F Sub(F a, F b) { return _mm256_sub_ps(a, b); }
    [[gnu::always_inline]] static F Mul(F a, F b) { return _mm256_mul_ps(a, b); }
    [[gnu::always_inline]] static F Div(F a, F b) { return _mm256_div_ps(a, b); }
    [[gnu::always_inline]] static F Min(F a, F b) { return _mm256_min_ps(a, b); }
    [[gnu::always_inline]] static F Max(F a, F b) { return _mm256_max_ps(a, b); }
    [[gnu::always_inline]] static F AndF(F a, F b) { return _mm256_and_ps(a, b); }
    [[gnu::always_inline]] static F AndNotF(F a, F b) { return _mm256_andnot_ps(a, b); }
    [[gnu::always_inline]] static F CmpNeq(F a, F b) { return _mm256_cmp_ps(a, b, _CMP_NEQ_UQ); }
    [[gnu::always_inline]] static F CmpGt(F a, F b) { return _mm256_cmp_ps(a, b, _CMP_GT_OS); }
    [[gnu::always_inline]] static F CmpLt(F a, F b) { return _mm256_cmp_ps(a, b, _CMP_LT_OS); }
    [[gnu::always_inline]] static F CmpGe(F a, F b) { return _mm256_cmp_ps(a, b, _CMP_GE_OS); }
    [[gnu::always_inline]] static I Cvtt(F a) { return _mm256_cvttps_epi32(a); }
    [[gnu::always_inline]] static F Cvt(I a) { return _mm256_cvtepi32_ps(a); }
    [[gnu::always_inline]] static F Floor(F a) { return _mm256_floor_ps(a); }
    [[gnu::always_inline]] static I AsI(F a) { return _mm256_castps_si256(a); }
    [[gnu::always_inline]] static F AsF(I a) { return _mm256_castsi256_ps(a); }
    [[gnu::always_inline]] static int Mask(F a) { return _mm256_movemask_ps(a); }
    [[gnu::always_inline]] static I AndNot(I a, I b) { return _mm256_andnot_si256(a, b); }
    [[gnu::always_inline]] static I Add32(I a, I b) { return _mm256_add_epi32(a, b); }
    [[gnu::always_inline]] static I Sub32(I a, I b) { return _mm256_sub_epi32(a, b); }
    [[gnu::always_inline]] static I CmpEq32(I a, I b) { return _mm256_cmpeq_epi32(a, b); }
    [[gnu::always_inline]] static I CmpGt32(I a, I b) { return _mm256_cmpgt_epi32(a, b); }
    template <int n> [[gnu::always_inline]] static I Sll32(I a) { return _mm256_slli_epi32(a, n); }
    template <int n> [[gnu::always_inline]] static I Srl32(I a) { return _mm256_srli_epi32(a, n); }
    template <int n> [[gnu::always_inline]] static I Srl16(I a) { return _mm256_srli_epi16(a, n); }
    [[gnu::always_inline]] static I Add16(I a, I b) { return _mm256_add_epi16(a, b); }
    [[gnu::always_inline]] static I Sub16(I a, I b) { return _mm256_sub_epi16(a, b); }
    [[gnu::always_inline]] static I Mullo16(I a, I b) { return _mm256_mullo_epi16(a, b); }
    [[gnu::always_inline]] static I Mulhi16u(I a, I b) { return _mm256_mulhi_epu16(a, b); }
    [[gnu::always_inline]] static I Unpacklo8(I a, I b) { return _mm256_unpacklo_epi8(a, b); }
    [[gnu::always_inline]] static I Unpackhi8(I a, I b) { return _mm256_unpackhi_epi8(a, b); }
    [[gnu::always_inline]] static I Unpacklo16(I a, I b) { return _mm256_unpacklo_epi16(a, b); }
    [[gnu::always_inline]] static I Unpacklo32(I a, I b) { return _mm256_unpacklo_epi32(a, b); }
    [[gnu::always_inline]] static I Unpackhi32(I a, I b) { return _mm256_unpackhi_epi32(a, b); }
    [[gnu::always_inline]] static I Packs32(I a, I b) { return _mm256_packs_epi32(a, b); }
    [[gnu::always_inline]] static I Packus16(I a, I b) { return _mm256_packus_epi16(a, b); }
    [[gnu::always_inline]] static I Alpha16(I a) {
        return _mm256_shufflehi_epi16(_mm256_shufflelo_epi16(a, 0xFF), 0xFF);
    }
    // Lerp8 as a + round-down((b - a) f / 256): the weight f is kept as f * 128, which 16 bits
    // hold up to f = 255 and f = 256 wraps to -32768; the rounding multiply gives
    // floor(((b - a) f 128 + 2^14) / 2^15), the same floor, and for -32768 the negated difference
    // (the sign operation) times it gives b - a whole; f = 0 gives 0 through the sign as well.
    [[gnu::always_inline]] static I Weights16(I f) { return _mm256_slli_epi16(f, 7); }
    [[gnu::always_inline]] static I Lerp16(I a, I b, I w) {
        return _mm256_add_epi16(a, _mm256_mulhrs_epi16(_mm256_sign_epi16(_mm256_sub_epi16(b, a), w), w));
    }
    template <int imm> [[gnu::always_inline]] static F Broadcast(F a) { return _mm256_shuffle_ps(a, a, imm); }
    [[gnu::always_inline]] static void Store(int* to, I a) { _mm256_store_si256(reinterpret_cast<__m256i*>(to), a); }
    [[gnu::always_inline]] static void StoreF(float* to, F a) { _mm256_store_ps(to, a); }
    [[gnu::always_inline]] static I Load(const int* from) {
        return _mm256_load_si256(reinterpret_cast<const __m256i*>(from));
    }
    [[gnu::always_inline]] static I Join(const __m128i* halves) { return _mm256_set_m128i(halves[1], halves[0]); }
    [[gnu::always_inline]] static __m128i Half(I a, int g) {
        return g == 0 ? _mm256_castsi256_si128(a) : _mm256_extracti128_si256(a, 1);
    }
    template <class G> [[gnu::always_inline]] static F JoinF(const G* groups, int k) {
        return _mm256_set_m128(groups[1].p[k], groups[0].p[k]);
    }
    template <class G> [[gnu::always_inline]] static F JoinC(const G* groups, int k) {
        return _mm256_set_m128(groups[1].c[k], groups[0].c[k]);
    }
    template <class G> [[gnu::always_inline]] static F JoinQ(const G* groups) {
        return _mm256_set_m128(_mm_load_ps(groups[1].q), _mm_load_ps(groups[0].q));
    }
    [[gnu::always_inline]] static I Live(const int* lanes) {
        return _mm256_cmpgt_epi32(_mm256_setr_epi32(lanes[0], lanes[0], lanes[0], lanes[0], lanes[1], lanes[1],
                                                    lanes[1], lanes[1]),
                                  _mm256_setr_epi32(0, 1, 2, 3, 0, 1, 2, 3));
    }
    [[gnu::always_inline]] static I Ramp(std::uint32_t first, std::uint32_t step) {
        return _mm256_add_epi32(SetI(static_cast<int>(first)), _mm256_mullo_epi32(SetI(static_cast<int>(step)),
                                                                                  _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7)));
    }
    // _MM_TRANSPOSE4_PS within each half.
    [[gnu::always_inline]] static void Transpose(F& a, F& b, F& c, F& d) {
        const __m256d t0 = _mm256_castps_pd(_mm256_unpacklo_ps(a, b)), t1 = _mm256_castps_pd(_mm256_unpackhi_ps(a, b));
        const __m256d t2 = _mm256_castps_pd(_mm256_unpacklo_ps(c, d)), t3 = _mm256_castps_pd(_mm256_unpackhi_ps(c, d));
        a = _mm256_castpd_ps(_mm256_unpacklo_pd(t0, t2));
        b = _mm256_castpd_ps(_mm256_unpackhi_pd(t0, t2));
        c = _mm256_castpd_ps(_mm256_unpacklo_pd(t1, t3));
        d = _mm256_castpd_ps(_mm256_unpackhi_pd(t1, t3));
    }
    [[gnu::always_inline]] static I DepthKeys24(F z) {
        const __m256d scale = _mm256_set1_pd(16777215.0), half = _mm256_set1_pd(0.5);
        auto keys = [&](__m128 four) {
            return _mm256_cvttpd_epi32(_mm256_add_pd(_mm256_mul_pd(_mm256_cvtps_pd(four), scale), half));
        };
        return _mm256_set_m128i(keys(_mm256_extractf128_ps(z, 1)), keys(_mm256_castps256_ps128(z)));
    }
};

namespace eight {
using V = Lanes8;
#include "platform/d3d9_raster_rows.inl"
} // namespace eight

#pragma GCC diagnostic pop
#if defined(__clang__)
#pragma clang attribute pop
#else
#pragma GCC pop_options
#endif

} // namespace

void Raster::ChooseRows() {
    const PixelSetup& p = *ps;
    lodPlanes = p.shaderLod;
    for (int s = 0; s < (count - kFixed) / 3; ++s) {
        const int si = p.stages[s].sampler;
        if (si >= 0 && (p.samplers[si].levelCount > 1 || p.samplers[si].min != p.samplers[si].mag))
            lodPlanes = true;
    }
    const bool texture = p.stageCount > 0 && p.stages[0].sampler >= 0;
    const int index = (p.depth != nullptr ? 8 : 0) | (texture ? 4 : 0) | (texture && lodPlanes ? 2 : 0);
    const RowsFunction* rows = D3d9RasterWide() ? eight::kRows : four::kRows;
    fastRows[0] = rows[index];
    fastRows[1] = rows[index | 1];
}

namespace {

// std::llround of a float, inline: the truncation and the fraction it leaves, which is exact.
inline std::int64_t RoundHalfAway(float v) {
    const std::int64_t r = static_cast<std::int64_t>(v);
    const float f = v - static_cast<float>(r);
    return r + (f >= 0.5f ? 1 : 0) - (f <= -0.5f ? 1 : 0);
}

// Whether the triangle of these edges (E - K >= 0 in) holds none of the pixel centres of a box
// at most two pixels wide and two high (x in [xl, xr], y in [y0, y1]): its corners are all of them,
// each tested as the rows test it, without a branch or a loop on the box's shape. Out of line: the
// few triangles that come here pay a call, and the set-up of every other is not made longer.
[[gnu::noinline]] bool MissesEveryCentre(const std::int64_t A[3], const std::int64_t B[3], const std::int64_t K[3],
                                         const std::int64_t X[3], const std::int64_t Y[3], int y0, int y1, int xl,
                                         int xr) {
    const std::int64_t wide = xr - xl, high = y1 - y0; // 0 or 1 each
    // The sign bit stays set while every centre is out.
    std::int64_t in = -1;
    std::int64_t e[3][4];
    for (int i = 0; i < 3; ++i) {
        const std::int64_t first = A[i] * (xl * kSub - X[i]) + B[i] * (y0 * kSub - Y[i]) - K[i];
        const std::int64_t across = A[i] * kSub * wide, down = B[i] * kSub * high;
        e[i][0] = first;
        e[i][1] = first + across;
        e[i][2] = first + down;
        e[i][3] = first + across + down;
    }
    for (int k = 0; k < 4; ++k)
        in &= e[0][k] | e[1][k] | e[2][k];
    return in < 0;
}

} // namespace

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
        // In arithmetic: a branch here would follow the edges' directions and miss often.
        const bool topLeft = (A[i] > 0) | ((A[i] == 0) & (B[i] > 0));
        K[i] = 1 - std::int64_t{topLeft}; // E >= K
    }
    const std::int64_t minY = std::min({Y[0], Y[1], Y[2]}), maxY = std::max({Y[0], Y[1], Y[2]});
    const std::int64_t minX = std::min({X[0], X[1], X[2]}), maxX = std::max({X[0], X[1], X[2]});
    const int y0 = static_cast<int>(std::max<std::int64_t>(CeilDiv(minY, kSub), r.top));
    const int y1 = static_cast<int>(std::min<std::int64_t>(FloorDiv(maxY, kSub), r.bottom - 1));
    const int xl = static_cast<int>(std::max<std::int64_t>(CeilDiv(minX, kSub), p.left));
    const int xr = static_cast<int>(std::min<std::int64_t>(FloorDiv(maxX, kSub), p.right - 1));
    if (y0 > y1 || xl > xr)
        return;
    // A box of up to two by two pixels whose centres all lie outside the triangle draws nothing:
    // most boxes of one pixel and many of two do so, and they leave before their planes are made.
    if (((xr - xl) | (y1 - y0)) <= 1 && MissesEveryCentre(A, B, K, X, Y, y0, y1, xl, xr))
        return;

    // Planes of the interpolants over the snapped positions.
    const float fx0 = static_cast<float>(X[0]) / kSub, fy0 = static_cast<float>(Y[0]) / kSub;
    const double ex1 = static_cast<double>(X[1] - X[0]) / kSub, ey1 = static_cast<double>(Y[1] - Y[0]) / kSub;
    const double ex2 = static_cast<double>(X[2] - X[0]) / kSub, ey2 = static_cast<double>(Y[2] - Y[0]) / kSub;
    const double inv = 1.0 / (ex1 * ey2 - ex2 * ey1);
    // Two interpolants at a time in double lanes, each lane the operations of one alone; the
    // arrays have room for the odd one's partner.
    alignas(16) float base[kMaxInterpolants + 1], dx[kMaxInterpolants + 1], dy[kMaxInterpolants + 1];
    // 0 in every lane while every value is finite: infinity or NaN times 0 is NaN.
    __m128 finite = _mm_setzero_ps();
    const __m128d vey1 = _mm_set1_pd(ey1), vey2 = _mm_set1_pd(ey2), vex1 = _mm_set1_pd(ex1),
                  vex2 = _mm_set1_pd(ex2), vinv = _mm_set1_pd(inv);
    const __m128 zeroes = _mm_setzero_ps();
    auto pair = [](const ScreenVertex* v, int i) {
        return _mm_cvtps_pd(_mm_castsi128_ps(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(v->a + i))));
    };
    // The planes of interpolants i and i + 1.
    auto planes = [&](int i) __attribute__((always_inline)) {
        // The pair past the last interpolant reads the next slot of the vertex (or its own
        // last twice at the array's end); that lane goes unused.
        const int j = i + 1 < kMaxInterpolants ? i : i - 1;
        const __m128d a0 = pair(vs[0], j), d1 = _mm_sub_pd(pair(vs[1], j), a0), d2 = _mm_sub_pd(pair(vs[2], j), a0);
        const __m128d vdx = _mm_mul_pd(_mm_sub_pd(_mm_mul_pd(d1, vey2), _mm_mul_pd(d2, vey1)), vinv);
        const __m128d vdy = _mm_mul_pd(_mm_sub_pd(_mm_mul_pd(d2, vex1), _mm_mul_pd(d1, vex2)), vinv);
        __m128 fb = _mm_cvtpd_ps(a0), fdx = _mm_cvtpd_ps(vdx), fdy = _mm_cvtpd_ps(vdy);
        if (j != i) { // the array's last interpolant sits in the high lane
            fb = _mm_shuffle_ps(fb, fb, 0x55);
            fdx = _mm_shuffle_ps(fdx, fdx, 0x55);
            fdy = _mm_shuffle_ps(fdy, fdy, 0x55);
        }
        if (i + 1 >= r.count) { // the lane past the last interpolant is not checked
            const __m128 first = _mm_castsi128_ps(_mm_setr_epi32(-1, 0, 0, 0));
            fb = _mm_and_ps(fb, first);
            fdx = _mm_and_ps(fdx, first);
            fdy = _mm_and_ps(fdy, first);
        }
        _mm_storel_epi64(reinterpret_cast<__m128i*>(base + i), _mm_castps_si128(fb));
        _mm_storel_epi64(reinterpret_cast<__m128i*>(dx + i), _mm_castps_si128(fdx));
        _mm_storel_epi64(reinterpret_cast<__m128i*>(dy + i), _mm_castps_si128(fdy));
        finite = _mm_add_ps(finite, _mm_add_ps(_mm_add_ps(_mm_mul_ps(fb, zeroes), _mm_mul_ps(fdx, zeroes)),
                                               _mm_mul_ps(fdy, zeroes)));
    };
    // Every draw has the fixed interpolants; their pairs are taken one by one and the stages'
    // in a loop, so no branch inside a loop asks for the specular colour's place: it missed
    // about once a triangle.
    static_assert(kSpecular == 6 && kFixed == kSpecular + 4);
    planes(0);
    planes(2);
    planes(4);
    if (p.useSpecular) {
        planes(kSpecular);
        planes(kSpecular + 2);
    } else { // no pixel reads the specular colour
        for (int k = kSpecular; k < kSpecular + 4; ++k)
            base[k] = dx[k] = dy[k] = 0;
    }
    for (int i = kFixed; i < r.count; i += 2)
        planes(i);
    if (_mm_movemask_ps(_mm_cmpeq_ps(finite, zeroes)) != 15)
        return; // nothing not finite reaches a pixel
    RowBounds rows;
    if (p.fast) {
        if (!rows.StartMasks(A, B, K, X, Y, y0, y1, xl, xr))
            rows.Start(A, B, K, X, Y, y0, xl, xr);
        r.fastRows[r.flatColor != nullptr ? 1 : 0](r, rows, y0, y1, base, dx, dy, fx0, fy0);
        return;
    }
    rows.Start(A, B, K, X, Y, y0, xl, xr);
    for (int y = y0; y <= y1; ++y) {
        int lo, hi;
        rows.Next(&lo, &hi);
        if (lo <= hi)
            r.Span(y, lo, hi, base, dx, dy, fx0, fy0, r.lodPlanes);
    }
}

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

} // namespace d3d9::raster_detail

namespace {
std::atomic<int> gWideOverride{-1};
} // namespace

void D3d9SetRasterWide(int wide) { gWideOverride.store(wide, std::memory_order_relaxed); }

void D3d9SetRasterMaskWalk(bool on) { d3d9::raster_detail::gMaskWalk.store(on, std::memory_order_relaxed); }

bool D3d9RasterWide() {
    static const bool avx2 = __builtin_cpu_supports("avx2");
    return avx2 && gWideOverride.load(std::memory_order_relaxed) != 0;
}
