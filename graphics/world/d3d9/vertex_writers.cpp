#include "graphics/world/d3d9/vertex_writers.h"

#include <cmath>
#include <cstring>

namespace {

constexpr OvUInt32 kSizes[17] = {4, 8, 12, 16, 4, 4, 4, 8, 4, 4, 8, 4, 8, 4, 4, 4, 8};

OvUInt32 gDeclTypeCaps = D3DDTCAPS_SHORT2N | D3DDTCAPS_USHORT2N | D3DDTCAPS_DEC3N;

// Round to nearest (halves away from zero) after clamping to [lo, hi].
inline OvInt32 Fix(float v, float lo, float hi) {
    if (!(v >= lo)) // NaN goes to the bottom of the range too
        v = lo;
    else if (v > hi)
        v = hi;
    return static_cast<OvInt32>(v < 0 ? -std::floor(-v + 0.5f) : std::floor(v + 0.5f));
}

inline void Put16(OvUInt8* d, OvInt32 v) {
    const OvUInt16 u = static_cast<OvUInt16>(v);
    std::memcpy(d, &u, 2);
}
inline void Put32(OvUInt8* d, OvUInt32 v) { std::memcpy(d, &v, 4); }
inline OvInt16 Get16(const OvUInt8* p, int i) {
    OvInt16 v;
    std::memcpy(&v, p + 2 * i, 2);
    return v;
}
inline OvUInt16 GetU16(const OvUInt8* p, int i) {
    OvUInt16 v;
    std::memcpy(&v, p + 2 * i, 2);
    return v;
}

OvUInt16 FloatToHalf(float f) {
    OvUInt32 x;
    std::memcpy(&x, &f, 4);
    const OvUInt16 sign = static_cast<OvUInt16>((x >> 16) & 0x8000);
    const OvInt32 exp = static_cast<OvInt32>((x >> 23) & 0xFF);
    OvUInt32 mant = x & 0x7FFFFF;
    if (exp == 0xFF) // infinity or NaN
        return static_cast<OvUInt16>(sign | 0x7C00 | (mant ? 0x200 : 0));
    const OvInt32 e = exp - 127 + 15;
    if (e >= 31)
        return static_cast<OvUInt16>(sign | 0x7C00);
    if (e <= 0) { // subnormal half or zero
        if (e < -10)
            return sign;
        mant |= 0x800000;
        const OvUInt32 shift = static_cast<OvUInt32>(14 - e);
        OvUInt32 h = mant >> shift;
        if ((mant >> (shift - 1)) & 1) // round half up
            ++h;
        return static_cast<OvUInt16>(sign | h);
    }
    OvUInt32 h = static_cast<OvUInt32>(e) << 10 | mant >> 13;
    if (mant & 0x1000) // round half up; a carry into the exponent is still the right value
        ++h;
    return static_cast<OvUInt16>(sign | h);
}

float HalfToFloat(OvUInt16 h) {
    const OvUInt32 sign = static_cast<OvUInt32>(h & 0x8000) << 16;
    const OvInt32 exp = (h >> 10) & 0x1F;
    const OvUInt32 mant = h & 0x3FF;
    float f;
    if (exp == 0)
        f = std::ldexp(static_cast<float>(mant), -24);
    else if (exp == 31)
        f = mant ? NAN : INFINITY;
    else
        f = std::ldexp(static_cast<float>(mant | 0x400), exp - 25);
    OvUInt32 bits;
    std::memcpy(&bits, &f, 4);
    bits |= sign;
    std::memcpy(&f, &bits, 4);
    return f;
}

// One element from four components (missing ones already filled in by the caller: 0, with w
// 1 for FLOAT4).
void WriteElement(OvUInt32 type, OvUInt8* d, const float c[4]) {
    switch (type) {
    case D3DDECLTYPE_FLOAT1:
    case D3DDECLTYPE_FLOAT2:
    case D3DDECLTYPE_FLOAT3:
    case D3DDECLTYPE_FLOAT4:
        std::memcpy(d, c, kSizes[type]);
        break;
    case D3DDECLTYPE_D3DCOLOR: // x is red, the third byte in memory
        d[0] = static_cast<OvUInt8>(Fix(c[2] * 255.0f, 0, 255));
        d[1] = static_cast<OvUInt8>(Fix(c[1] * 255.0f, 0, 255));
        d[2] = static_cast<OvUInt8>(Fix(c[0] * 255.0f, 0, 255));
        d[3] = static_cast<OvUInt8>(Fix(c[3] * 255.0f, 0, 255));
        break;
    case D3DDECLTYPE_UBYTE4:
        for (int i = 0; i < 4; ++i)
            d[i] = static_cast<OvUInt8>(Fix(c[i], 0, 255));
        break;
    case D3DDECLTYPE_UBYTE4N:
        for (int i = 0; i < 4; ++i)
            d[i] = static_cast<OvUInt8>(Fix(c[i] * 255.0f, 0, 255));
        break;
    case D3DDECLTYPE_SHORT2:
    case D3DDECLTYPE_SHORT4:
        for (int i = 0; i < (type == D3DDECLTYPE_SHORT2 ? 2 : 4); ++i)
            Put16(d + 2 * i, Fix(c[i], -32768, 32767));
        break;
    case D3DDECLTYPE_SHORT2N:
    case D3DDECLTYPE_SHORT4N:
        for (int i = 0; i < (type == D3DDECLTYPE_SHORT2N ? 2 : 4); ++i)
            Put16(d + 2 * i, Fix(c[i] * 32767.0f, -32767, 32767));
        break;
    case D3DDECLTYPE_USHORT2N:
    case D3DDECLTYPE_USHORT4N:
        for (int i = 0; i < (type == D3DDECLTYPE_USHORT2N ? 2 : 4); ++i)
            Put16(d + 2 * i, Fix(c[i] * 65535.0f, 0, 65535));
        break;
    case D3DDECLTYPE_UDEC3:
        Put32(d, static_cast<OvUInt32>(Fix(c[0], 0, 1023)) | static_cast<OvUInt32>(Fix(c[1], 0, 1023)) << 10 |
                     static_cast<OvUInt32>(Fix(c[2], 0, 1023)) << 20);
        break;
    case D3DDECLTYPE_DEC3N: {
        OvUInt32 w = 0;
        for (int i = 0; i < 3; ++i)
            w |= (static_cast<OvUInt32>(Fix(c[i] * 511.0f, -511, 511)) & 0x3FF) << (10 * i);
        Put32(d, w);
        break;
    }
    case D3DDECLTYPE_FLOAT16_2:
    case D3DDECLTYPE_FLOAT16_4:
        for (int i = 0; i < (type == D3DDECLTYPE_FLOAT16_2 ? 2 : 4); ++i)
            Put16(d + 2 * i, FloatToHalf(c[i]));
        break;
    default:
        break;
    }
}

// The 3-vector rule for a generator of source vectors: get(i, c) fills c[0..2].
template <typename Get>
OvUInt32 WriteVectors(OvUInt32 type, void* destination, OvInt32 count, OvUInt32 stride, Get get) {
    if (type > D3DDECLTYPE_FLOAT16_4)
        return 0;
    auto* d = static_cast<OvUInt8*>(destination);
    const float w = type == D3DDECLTYPE_FLOAT4 ? 1.0f : 0.0f;
    if (type == D3DDECLTYPE_FLOAT3) { // the usual type: the three floats as they are, inline
        for (OvInt32 i = 0; i < count; ++i, d += stride) {
            float c[4] = {0, 0, 0, 0};
            get(i, c);
            std::memcpy(d, c, 12);
        }
        return kSizes[type];
    }
    for (OvInt32 i = 0; i < count; ++i, d += stride) {
        float c[4] = {0, 0, 0, w};
        get(i, c);
        WriteElement(type, d, c);
    }
    return kSizes[type];
}

// Blend weights with `n` components at `max`: all but one rounded, the remaining one takes
// what is left so that the stored sum is exactly `max`.
void WeightsFixed(const float* w, int n, float max, OvInt32 out[4]) {
    const OvInt32 m = static_cast<OvInt32>(max);
    if (n == 4) {
        out[1] = Fix(w[1] * max, 0, max);
        out[2] = Fix(w[2] * max, 0, max);
        out[3] = Fix(w[3] * max, 0, max);
        out[0] = m - out[1] - out[2] - out[3];
        if (out[0] < 0) { // weights that sum above one: keep the stored sum at the maximum
            out[0] = 0;
            OvInt32 over = out[1] + out[2] + out[3] - m;
            for (int i = 3; i >= 1 && over > 0; --i) {
                const OvInt32 cut = out[i] < over ? out[i] : over;
                out[i] -= cut;
                over -= cut;
            }
        }
    } else {
        out[0] = Fix(w[0] * max, 0, max);
        out[1] = m - out[0];
        out[2] = out[3] = 0;
    }
}

} // namespace

OvUInt32 OvD3D9VertexElementSize(OvUInt32 type) { return type <= D3DDECLTYPE_FLOAT16_4 ? kSizes[type] : 0; }

OvUInt32 OvD3D9VertexWriteV3d(OvUInt32 type, void* destination, const OvV3d* source, OvInt32 count, OvUInt32 stride) {
    return WriteVectors(type, destination, count, stride, [source](OvInt32 i, float c[4]) {
        c[0] = source[i].x;
        c[1] = source[i].y;
        c[2] = source[i].z;
    });
}

OvUInt32 OvD3D9VertexWriteV2d(OvUInt32 type, void* destination, const OvV2d* source, OvInt32 count, OvUInt32 stride) {
    return WriteVectors(type, destination, count, stride, [source](OvInt32 i, float c[4]) {
        c[0] = source[i].x;
        c[1] = source[i].y;
    });
}

OvUInt32 OvD3D9VertexWritePackedNormals(OvUInt32 type, void* destination, const OvInt8* normals, OvInt32 count,
                                        OvUInt32 stride) {
    return WriteVectors(type, destination, count, stride, [normals](OvInt32 i, float c[4]) {
        for (int k = 0; k < 3; ++k)
            c[k] = normals[4 * i + k] * (1.0f / 128.0f);
    });
}

OvUInt32 OvD3D9VertexWriteInterpolatedV3d(OvUInt32 type, void* destination, const OvV3d* from, const OvV3d* to,
                                          float factor, OvInt32 count, OvUInt32 stride) {
    return WriteVectors(type, destination, count, stride, [from, to, factor](OvInt32 i, float c[4]) {
        c[0] = from[i].x + (to[i].x - from[i].x) * factor;
        c[1] = from[i].y + (to[i].y - from[i].y) * factor;
        c[2] = from[i].z + (to[i].z - from[i].z) * factor;
    });
}

OvUInt32 OvD3D9VertexWriteV4d(OvUInt32 type, void* destination, const float* weights, OvInt32 count, OvUInt32 stride) {
    if (type > D3DDECLTYPE_FLOAT16_4)
        return 0;
    auto* d = static_cast<OvUInt8*>(destination);
    for (OvInt32 v = 0; v < count; ++v, d += stride) {
        const float* w = weights + 4 * v;
        OvInt32 q[4];
        switch (type) {
        case D3DDECLTYPE_D3DCOLOR:
        case D3DDECLTYPE_UBYTE4N:
            if (w[0] >= 1.0f) {
                q[0] = 255;
                q[1] = q[2] = q[3] = 0;
            } else {
                WeightsFixed(w, 4, 255.0f, q);
            }
            if (type == D3DDECLTYPE_D3DCOLOR) { // x (first weight) is red, the third byte
                d[0] = static_cast<OvUInt8>(q[2]);
                d[1] = static_cast<OvUInt8>(q[1]);
                d[2] = static_cast<OvUInt8>(q[0]);
                d[3] = static_cast<OvUInt8>(q[3]);
            } else {
                for (int i = 0; i < 4; ++i)
                    d[i] = static_cast<OvUInt8>(q[i]);
            }
            break;
        case D3DDECLTYPE_SHORT4N:
        case D3DDECLTYPE_SHORT2N:
            WeightsFixed(w, type == D3DDECLTYPE_SHORT4N ? 4 : 2, 32767.0f, q);
            for (int i = 0; i < (type == D3DDECLTYPE_SHORT4N ? 4 : 2); ++i)
                Put16(d + 2 * i, q[i]);
            break;
        case D3DDECLTYPE_USHORT4N:
        case D3DDECLTYPE_USHORT2N:
            WeightsFixed(w, type == D3DDECLTYPE_USHORT4N ? 4 : 2, 65535.0f, q);
            for (int i = 0; i < (type == D3DDECLTYPE_USHORT4N ? 4 : 2); ++i)
                Put16(d + 2 * i, q[i]);
            break;
        case D3DDECLTYPE_DEC3N:
            if (w[2] < 0.0019569471f) {
                q[0] = Fix(w[0] * 511.0f, 0, 511);
                q[1] = 511 - q[0];
                q[2] = 0;
            } else {
                q[1] = Fix(w[1] * 511.0f, 0, 511);
                q[2] = Fix(w[2] * 511.0f, 0, 511 - q[1]);
                q[0] = 511 - q[1] - q[2];
            }
            Put32(d,
                  static_cast<OvUInt32>(q[0]) | static_cast<OvUInt32>(q[1]) << 10 | static_cast<OvUInt32>(q[2]) << 20);
            break;
        default: { // floats, halves and the unnormalised integer types take the weights as they are
            const float c[4] = {w[0], w[1], w[2], w[3]};
            WriteElement(type, d, c);
            break;
        }
        }
    }
    return kSizes[type];
}

OvBool OvD3D9VertexWriteColors(void* destination, const OvRGBA* colors, OvInt32 count, OvUInt32 stride) {
    auto* d = static_cast<OvUInt8*>(destination);
    OvBool translucent = FALSE;
    for (OvInt32 i = 0; i < count; ++i, d += stride) {
        const OvRGBA& c = colors[i];
        Put32(d, static_cast<OvUInt32>(c.alpha) << 24 | static_cast<OvUInt32>(c.red) << 16 |
                     static_cast<OvUInt32>(c.green) << 8 | c.blue);
        if (c.alpha != 255)
            translucent = TRUE;
    }
    return translucent;
}

OvUInt32 OvD3D9VertexWriteRemappedIndices(OvUInt32 type, void* destination, const OvUInt8* indices, const OvUInt8* map,
                                          OvInt32 count, OvUInt32 stride) {
    if (type > D3DDECLTYPE_FLOAT16_4)
        return 0;
    auto* d = static_cast<OvUInt8*>(destination);
    for (OvInt32 v = 0; v < count; ++v, d += stride) {
        const OvUInt8 i0 = map[indices[4 * v]], i1 = map[indices[4 * v + 1]], i2 = map[indices[4 * v + 2]],
                      i3 = map[indices[4 * v + 3]];
        switch (type) {
        case D3DDECLTYPE_D3DCOLOR:
            d[0] = i2, d[1] = i1, d[2] = i0, d[3] = i3;
            break;
        case D3DDECLTYPE_UBYTE4:
            d[0] = i0, d[1] = i1, d[2] = i2, d[3] = i3;
            break;
        case D3DDECLTYPE_SHORT2:
            Put16(d, i0), Put16(d + 2, i1);
            break;
        case D3DDECLTYPE_SHORT4:
            Put16(d, i0), Put16(d + 2, i1), Put16(d + 4, i2), Put16(d + 6, i3);
            break;
        default:
            break;
        }
    }
    return kSizes[type];
}

void OvD3D9VertexReadV3d(OvUInt32 type, float* out, const void* element) {
    const auto* p = static_cast<const OvUInt8*>(element);
    out[0] = out[1] = out[2] = 0;
    OvUInt32 w;
    switch (type) {
    case D3DDECLTYPE_FLOAT1:
    case D3DDECLTYPE_FLOAT2:
    case D3DDECLTYPE_FLOAT3:
    case D3DDECLTYPE_FLOAT4:
        std::memcpy(out, p, type == D3DDECLTYPE_FLOAT4 ? 12 : kSizes[type]);
        break;
    case D3DDECLTYPE_D3DCOLOR:
        out[0] = p[2] * (1.0f / 255.0f);
        out[1] = p[1] * (1.0f / 255.0f);
        out[2] = p[0] * (1.0f / 255.0f);
        break;
    case D3DDECLTYPE_UBYTE4:
        for (int i = 0; i < 3; ++i)
            out[i] = p[i];
        break;
    case D3DDECLTYPE_UBYTE4N:
        for (int i = 0; i < 3; ++i)
            out[i] = p[i] * (1.0f / 255.0f);
        break;
    case D3DDECLTYPE_SHORT2:
    case D3DDECLTYPE_SHORT4:
        for (int i = 0; i < (type == D3DDECLTYPE_SHORT2 ? 2 : 3); ++i)
            out[i] = Get16(p, i);
        break;
    case D3DDECLTYPE_SHORT2N:
    case D3DDECLTYPE_SHORT4N:
        for (int i = 0; i < (type == D3DDECLTYPE_SHORT2N ? 2 : 3); ++i)
            out[i] = Get16(p, i) * (1.0f / 32767.0f);
        break;
    case D3DDECLTYPE_USHORT2N:
    case D3DDECLTYPE_USHORT4N:
        for (int i = 0; i < (type == D3DDECLTYPE_USHORT2N ? 2 : 3); ++i)
            out[i] = GetU16(p, i) * (1.0f / 65535.0f);
        break;
    case D3DDECLTYPE_UDEC3:
        std::memcpy(&w, p, 4);
        for (int i = 0; i < 3; ++i)
            out[i] = static_cast<float>((w >> (10 * i)) & 0x3FF);
        break;
    case D3DDECLTYPE_DEC3N:
        std::memcpy(&w, p, 4);
        for (int i = 0; i < 3; ++i) {
            OvInt32 v = static_cast<OvInt32>((w >> (10 * i)) & 0x3FF);
            if (v >= 512)
                v -= 1024;
            out[i] = v * (1.0f / 511.0f);
        }
        break;
    case D3DDECLTYPE_FLOAT16_2:
    case D3DDECLTYPE_FLOAT16_4:
        for (int i = 0; i < (type == D3DDECLTYPE_FLOAT16_2 ? 2 : 3); ++i)
            out[i] = HalfToFloat(GetU16(p, i));
        break;
    default:
        break;
    }
}

void OvD3D9VertexReadV2d(OvUInt32 type, float* out, const void* element) {
    float v[3];
    OvD3D9VertexReadV3d(type, v, element);
    out[0] = v[0];
    out[1] = v[1];
}

void OvD3D9VertexSetDeclTypeCaps(OvUInt32 declTypes) { gDeclTypeCaps = declTypes; }
OvUInt32 OvD3D9VertexGetDeclTypeCaps() { return gDeclTypeCaps; }

OvUInt32 OvD3D9TexCoordsChooseDeclType(const OvV2d* coords, OvInt32 count) {
    if (count < 1)
        return D3DDECLTYPE_FLOAT2;
    float minU = coords[0].x, maxU = coords[0].x, minV = coords[0].y, maxV = coords[0].y;
    for (OvInt32 i = 1; i < count; ++i) {
        minU = coords[i].x < minU ? coords[i].x : minU;
        maxU = coords[i].x > maxU ? coords[i].x : maxU;
        minV = coords[i].y < minV ? coords[i].y : minV;
        maxV = coords[i].y > maxV ? coords[i].y : maxV;
    }
    const OvUInt32 caps = gDeclTypeCaps;
    if (maxU > 1.0f || maxV > 1.0f)
        return D3DDECLTYPE_FLOAT2;
    if (minU >= 0.0f && minV >= 0.0f) {
        if (caps & D3DDTCAPS_USHORT2N)
            return D3DDECLTYPE_USHORT2N;
        return (caps & D3DDTCAPS_DEC3N) ? D3DDECLTYPE_DEC3N : D3DDECLTYPE_D3DCOLOR;
    }
    if (minU >= -1.0f && minV >= -1.0f) {
        if (caps & D3DDTCAPS_SHORT2N)
            return D3DDECLTYPE_SHORT2N;
        return (caps & D3DDTCAPS_DEC3N) ? D3DDECLTYPE_DEC3N : D3DDECLTYPE_FLOAT2;
    }
    return D3DDECLTYPE_FLOAT2;
}
