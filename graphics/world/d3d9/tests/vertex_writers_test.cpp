#include "graphics/world/d3d9/vertex_writers.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <random>
#include <vector>

namespace {

constexpr OvUInt8 kGuard = 0xA5;
constexpr int kCount = 64;

// Range and precision of a type's components for vectors: [lo, hi] and the largest error a
// round trip may show (half a step; 0 for types that hold the rounded integer itself).
struct TypeRange {
    float lo, hi, tolerance;
    bool integral; // unnormalised integer: the values tested are whole numbers
    int components;
};

TypeRange RangeOf(OvUInt32 type) {
    switch (type) {
    case D3DDECLTYPE_FLOAT1:
        return {-1e4f, 1e4f, 0, false, 1};
    case D3DDECLTYPE_FLOAT2:
        return {-1e4f, 1e4f, 0, false, 2};
    case D3DDECLTYPE_FLOAT3:
    case D3DDECLTYPE_FLOAT4:
        return {-1e4f, 1e4f, 0, false, 3};
    case D3DDECLTYPE_D3DCOLOR:
    case D3DDECLTYPE_UBYTE4N:
        return {0, 1, 0.5f / 255 + 1e-6f, false, 3};
    case D3DDECLTYPE_UBYTE4:
        return {0, 255, 0, true, 3};
    case D3DDECLTYPE_SHORT2:
        return {-32768, 32767, 0, true, 2};
    case D3DDECLTYPE_SHORT4:
        return {-32768, 32767, 0, true, 3};
    case D3DDECLTYPE_SHORT2N:
        return {-1, 1, 0.5f / 32767 + 1e-6f, false, 2};
    case D3DDECLTYPE_SHORT4N:
        return {-1, 1, 0.5f / 32767 + 1e-6f, false, 3};
    case D3DDECLTYPE_USHORT2N:
        return {0, 1, 0.5f / 65535 + 1e-6f, false, 2};
    case D3DDECLTYPE_USHORT4N:
        return {0, 1, 0.5f / 65535 + 1e-6f, false, 3};
    case D3DDECLTYPE_UDEC3:
        return {0, 1023, 0, true, 3};
    case D3DDECLTYPE_DEC3N:
        return {-1, 1, 0.5f / 511 + 1e-6f, false, 3};
    case D3DDECLTYPE_FLOAT16_2:
        return {-100, 100, 100.0f / 2048, false, 2};
    default:
        return {-100, 100, 100.0f / 2048, false, 3}; // FLOAT16_4
    }
}

// A buffer with `stride` bytes a vertex, every byte set to the guard first.
std::vector<OvUInt8> Guarded(OvUInt32 stride) { return std::vector<OvUInt8>(stride * kCount, kGuard); }

void ExpectGuardsKept(const std::vector<OvUInt8>& b, OvUInt32 size, OvUInt32 stride, OvUInt32 type) {
    for (OvUInt32 i = 0; i < b.size(); ++i)
        if (i % stride >= size) {
            ASSERT_EQ(b[i], kGuard) << "type " << type << " byte " << i;
        }
}

} // namespace

TEST(D3d9VertexWriters, VectorsRoundTripThroughEveryTypeWithinItsPrecision) {
    std::mt19937 rng(7);
    for (OvUInt32 type = 0; type <= D3DDECLTYPE_FLOAT16_4; ++type) {
        const TypeRange r = RangeOf(type);
        std::uniform_real_distribution<float> u(r.lo, r.hi);
        std::vector<OvV3d> v3(kCount);
        std::vector<OvV2d> v2(kCount);
        for (int i = 0; i < kCount; ++i) {
            float c[3];
            for (float& x : c)
                x = r.integral ? std::round(u(rng)) : u(rng);
            if (i == 0) // the ends of the range are held too
                c[0] = r.lo, c[1] = r.hi, c[2] = r.lo;
            v3[i] = {c[0], c[1], c[2]};
            v2[i] = {c[0], c[1]};
        }
        const OvUInt32 size = OvD3D9VertexElementSize(type);
        const OvUInt32 stride = size + 6;
        auto b = Guarded(stride);
        ASSERT_EQ(OvD3D9VertexWriteV3d(type, b.data(), v3.data(), kCount, stride), size) << type;
        ExpectGuardsKept(b, size, stride, type);
        for (int i = 0; i < kCount; ++i) {
            float out[3];
            OvD3D9VertexReadV3d(type, out, b.data() + i * stride);
            const float in[3] = {v3[i].x, v3[i].y, v3[i].z};
            for (int k = 0; k < 3; ++k) {
                const float want = k < r.components ? in[k] : 0.0f;
                const float tol = type >= D3DDECLTYPE_FLOAT16_2 ? std::fabs(want) / 1024 + 1e-4f : r.tolerance;
                ASSERT_NEAR(out[k], want, tol) << "type " << type << " vertex " << i << " component " << k;
            }
        }
        if (type == D3DDECLTYPE_FLOAT4) {
            float w;
            std::memcpy(&w, b.data() + 12, 4);
            EXPECT_EQ(w, 1.0f);
        }

        auto b2 = Guarded(stride);
        ASSERT_EQ(OvD3D9VertexWriteV2d(type, b2.data(), v2.data(), kCount, stride), size);
        ExpectGuardsKept(b2, size, stride, type);
        for (int i = 0; i < kCount; ++i) {
            float out[2], out3[3];
            OvD3D9VertexReadV2d(type, out, b2.data() + i * stride);
            OvD3D9VertexReadV3d(type, out3, b2.data() + i * stride);
            const float tol = type >= D3DDECLTYPE_FLOAT16_2 ? 0.1f : r.tolerance;
            ASSERT_NEAR(out[0], v2[i].x, tol) << type;
            if (r.components > 1) {
                ASSERT_NEAR(out[1], v2[i].y, tol) << type;
            }
            ASSERT_EQ(out3[2], 0.0f) << type; // the missing component
        }
    }
    // Types above the table are refused and nothing is written.
    OvUInt8 b[16];
    std::memset(b, kGuard, sizeof b);
    const OvV3d v{1, 2, 3};
    EXPECT_EQ(OvD3D9VertexWriteV3d(17, b, &v, 1, 16), 0u);
    EXPECT_EQ(OvD3D9VertexElementSize(17), 0u);
    for (OvUInt8 x : b)
        EXPECT_EQ(x, kGuard);
}

TEST(D3d9VertexWriters, FixedPointLayoutsAndClampAtTheRangeEnds) {
    auto word = [](OvUInt32 type, OvV3d v) {
        OvUInt8 b[16] = {};
        OvD3D9VertexWriteV3d(type, b, &v, 1, 16);
        OvUInt32 w;
        std::memcpy(&w, b, 4);
        return w;
    };
    // DEC3N: x lowest, 10 bits each, two's complement; a slightly long normal stays positive.
    EXPECT_EQ(word(D3DDECLTYPE_DEC3N, {1, -1, 0}), 511u | 0x201u << 10);
    EXPECT_EQ(word(D3DDECLTYPE_DEC3N, {1.002f, -1.5f, 0.5f}), 511u | 0x201u << 10 | 256u << 20);
    EXPECT_EQ(word(D3DDECLTYPE_DEC3N, {NAN, 0, 0}), 0x201u);
    EXPECT_EQ(word(D3DDECLTYPE_UDEC3, {1023.4f, 2000, -5}), 1023u | 1023u << 10);
    // D3DCOLOR: x in red (bits 16-23), the missing w gives alpha 0.
    EXPECT_EQ(word(D3DDECLTYPE_D3DCOLOR, {1, 0.5f, 0}), 0x00FF8000u);
    EXPECT_EQ(word(D3DDECLTYPE_UBYTE4, {300, -3, 7.5f}), 255u | 0u << 8 | 8u << 16);
    EXPECT_EQ(word(D3DDECLTYPE_SHORT2N, {1.1f, -1.1f, 0}), 0x7FFFu | 0x8001u << 16);
    EXPECT_EQ(word(D3DDECLTYPE_USHORT2N, {-0.2f, 1.5f, 0}), 0xFFFFu << 16);
    EXPECT_EQ(word(D3DDECLTYPE_SHORT2, {40000, -40000.4f, 0}), 0x7FFFu | 0x8000u << 16);
    EXPECT_EQ(word(D3DDECLTYPE_FLOAT16_2, {1, -2, 0}), 0x3C00u | 0xC000u << 16);
}

TEST(D3d9VertexWriters, NormalisedWeightsSumExactlyToTheMaximum) {
    auto write = [](OvUInt32 type, const float w[4], OvInt32 q[4]) {
        OvUInt8 b[16] = {};
        OvD3D9VertexWriteV4d(type, b, w, 1, 16);
        OvUInt32 word;
        std::memcpy(&word, b, 4);
        for (int i = 0; i < 4; ++i) {
            OvInt16 s;
            std::memcpy(&s, b + 2 * i, 2);
            switch (type) {
            case D3DDECLTYPE_UBYTE4N:
                q[i] = b[i];
                break;
            case D3DDECLTYPE_D3DCOLOR:
                q[i] = b[i == 3 ? 3 : 2 - i];
                break;
            case D3DDECLTYPE_SHORT2N:
            case D3DDECLTYPE_SHORT4N:
                q[i] = s;
                break;
            case D3DDECLTYPE_USHORT2N:
            case D3DDECLTYPE_USHORT4N:
                q[i] = static_cast<OvUInt16>(s);
                break;
            default:
                q[i] = i < 3 ? static_cast<OvInt32>((word >> (10 * i)) & 0x3FF) : 0;
                break; // DEC3N
            }
        }
    };
    OvInt32 q[4];
    const float half[4] = {0.5f, 0.25f, 0.25f, 0};
    write(D3DDECLTYPE_UBYTE4N, half, q);
    EXPECT_EQ((std::vector<OvInt32>{q[0], q[1], q[2], q[3]}), (std::vector<OvInt32>{127, 64, 64, 0}));
    const float one[4] = {1, 0, 0, 0};
    write(D3DDECLTYPE_D3DCOLOR, one, q);
    EXPECT_EQ((std::vector<OvInt32>{q[0], q[1], q[2], q[3]}), (std::vector<OvInt32>{255, 0, 0, 0}));

    struct Case {
        OvUInt32 type;
        OvInt32 max;
        int components;
    };
    const Case cases[] = {{D3DDECLTYPE_UBYTE4N, 255, 4},   {D3DDECLTYPE_D3DCOLOR, 255, 4},
                          {D3DDECLTYPE_SHORT4N, 32767, 4}, {D3DDECLTYPE_USHORT4N, 65535, 4},
                          {D3DDECLTYPE_SHORT2N, 32767, 2}, {D3DDECLTYPE_USHORT2N, 65535, 2},
                          {D3DDECLTYPE_DEC3N, 511, 3}};
    std::mt19937 rng(11);
    std::uniform_real_distribution<float> u(0, 1);
    for (const Case& c : cases)
        for (int n = 0; n < 500; ++n) {
            float w[4] = {0, 0, 0, 0}, sum = 0;
            for (int i = 0; i < c.components; ++i)
                sum += (w[i] = n % 7 == 0 && i > 0 ? 0.0f : u(rng));
            for (float& x : w)
                x /= sum;
            if (n % 5 == 0) // weights a little over one in total must not wrap
                w[1] *= 1.01f, w[c.components - 1] *= 1.01f;
            write(c.type, w, q);
            OvInt32 total = 0;
            for (int i = 0; i < c.components; ++i) {
                ASSERT_GE(q[i], 0) << c.type;
                ASSERT_LE(std::abs(q[i] - w[i] * c.max), c.components + 0.03f * c.max) << c.type << " " << i;
                total += q[i];
            }
            ASSERT_EQ(total, c.max) << "type " << c.type << " case " << n;
        }
    // DEC3N with a negligible third weight: the second takes the rest, the third is 0.
    const float two[4] = {0.7f, 0.3f, 0.001f, 0};
    write(D3DDECLTYPE_DEC3N, two, q);
    EXPECT_EQ((std::vector<OvInt32>{q[0], q[1], q[2]}), (std::vector<OvInt32>{358, 153, 0}));
}

TEST(D3d9VertexWriters, PackedAndInterpolatedSourcesGoThroughTheVectorRule) {
    std::mt19937 rng(3);
    std::vector<OvInt8> packed(4 * kCount);
    std::vector<OvV3d> asVectors(kCount), from(kCount), to(kCount), lerp(kCount);
    std::uniform_real_distribution<float> u(-1, 1);
    for (int i = 0; i < kCount; ++i) {
        for (int k = 0; k < 4; ++k)
            packed[4 * i + k] = static_cast<OvInt8>(rng());
        asVectors[i] = {packed[4 * i] / 128.0f, packed[4 * i + 1] / 128.0f, packed[4 * i + 2] / 128.0f};
        from[i] = {u(rng), u(rng), u(rng)};
        to[i] = {u(rng), u(rng), u(rng)};
        lerp[i] = {from[i].x + (to[i].x - from[i].x) * 0.3f, from[i].y + (to[i].y - from[i].y) * 0.3f,
                   from[i].z + (to[i].z - from[i].z) * 0.3f};
    }
    for (OvUInt32 type = 0; type <= D3DDECLTYPE_FLOAT16_4; ++type) {
        const OvUInt32 stride = 20;
        auto a = Guarded(stride), b = Guarded(stride);
        OvD3D9VertexWritePackedNormals(type, a.data(), packed.data(), kCount, stride);
        OvD3D9VertexWriteV3d(type, b.data(), asVectors.data(), kCount, stride);
        ASSERT_EQ(a, b) << type;
        OvD3D9VertexWriteInterpolatedV3d(type, a.data(), from.data(), to.data(), 0.3f, kCount, stride);
        OvD3D9VertexWriteV3d(type, b.data(), lerp.data(), kCount, stride);
        ASSERT_EQ(a, b) << type;
    }
}

TEST(D3d9VertexWriters, ColoursAndRemappedIndices) {
    OvRGBA colors[3] = {{10, 20, 30, 255}, {1, 2, 3, 255}, {4, 5, 6, 255}};
    OvUInt32 out[6] = {};
    EXPECT_FALSE(OvD3D9VertexWriteColors(out, colors, 3, 8));
    EXPECT_EQ(out[0], 0xFF0A141Eu);
    EXPECT_EQ(out[1], 0u); // stride 8: the word between is not touched
    EXPECT_EQ(out[4], 0xFF040506u);
    colors[2].alpha = 254;
    EXPECT_TRUE(OvD3D9VertexWriteColors(out, colors, 3, 8));
    EXPECT_FALSE(OvD3D9VertexWriteColors(out, colors, 0, 8));

    OvUInt8 map[256];
    for (int i = 0; i < 256; ++i)
        map[i] = static_cast<OvUInt8>(255 - i);
    const OvUInt8 indices[4] = {0, 1, 2, 3};
    auto bytes = [&](OvUInt32 type) {
        std::vector<OvUInt8> b(12, kGuard);
        EXPECT_EQ(OvD3D9VertexWriteRemappedIndices(type, b.data(), indices, map, 1, 12), OvD3D9VertexElementSize(type));
        return b;
    };
    const OvUInt8 g = kGuard;
    EXPECT_EQ(bytes(D3DDECLTYPE_D3DCOLOR), (std::vector<OvUInt8>{253, 254, 255, 252, g, g, g, g, g, g, g, g}));
    EXPECT_EQ(bytes(D3DDECLTYPE_UBYTE4), (std::vector<OvUInt8>{255, 254, 253, 252, g, g, g, g, g, g, g, g}));
    EXPECT_EQ(bytes(D3DDECLTYPE_SHORT2), (std::vector<OvUInt8>{255, 0, 254, 0, g, g, g, g, g, g, g, g}));
    EXPECT_EQ(bytes(D3DDECLTYPE_SHORT4), (std::vector<OvUInt8>{255, 0, 254, 0, 253, 0, 252, 0, g, g, g, g}));
    EXPECT_EQ(bytes(D3DDECLTYPE_FLOAT4), std::vector<OvUInt8>(12, g));
    // D3DCOLOR read back as the shader sees it: x is index 0.
    float x[3];
    const auto c = bytes(D3DDECLTYPE_D3DCOLOR);
    OvD3D9VertexReadV3d(D3DDECLTYPE_D3DCOLOR, x, c.data());
    EXPECT_FLOAT_EQ(x[0], 255 / 255.0f);
    EXPECT_FLOAT_EQ(x[1], 254 / 255.0f);
}

TEST(D3d9VertexWriters, TexCoordTypeFollowsRangeAndCaps) {
    const OvV2d unit[2] = {{0, 0.2f}, {1, 0.9f}};
    const OvV2d signedUnit[2] = {{-1, 0.2f}, {0.5f, 1}};
    const OvV2d wide[2] = {{0, 0}, {0.5f, 1.5f}};
    const OvV2d belowMinusOne[2] = {{-1.2f, 0}, {0.5f, 0.5f}};
    const OvUInt32 saved = OvD3D9VertexGetDeclTypeCaps();
    for (OvUInt32 mask = 0; mask < 8; ++mask) {
        const bool s2n = mask & 1, us2n = mask & 2, dec3n = mask & 4;
        OvD3D9VertexSetDeclTypeCaps((s2n ? D3DDTCAPS_SHORT2N : 0) | (us2n ? D3DDTCAPS_USHORT2N : 0) |
                                    (dec3n ? D3DDTCAPS_DEC3N : 0) | D3DDTCAPS_UBYTE4N);
        EXPECT_EQ(OvD3D9TexCoordsChooseDeclType(unit, 2),
                  us2n ? D3DDECLTYPE_USHORT2N : (dec3n ? D3DDECLTYPE_DEC3N : D3DDECLTYPE_D3DCOLOR))
            << mask;
        EXPECT_EQ(OvD3D9TexCoordsChooseDeclType(signedUnit, 2),
                  s2n ? D3DDECLTYPE_SHORT2N : (dec3n ? D3DDECLTYPE_DEC3N : D3DDECLTYPE_FLOAT2))
            << mask;
        EXPECT_EQ(OvD3D9TexCoordsChooseDeclType(wide, 2), D3DDECLTYPE_FLOAT2) << mask;
        EXPECT_EQ(OvD3D9TexCoordsChooseDeclType(belowMinusOne, 2), D3DDECLTYPE_FLOAT2) << mask;
        // Whatever is chosen holds the coordinates within its precision.
        for (const OvV2d* set : {unit, signedUnit}) {
            const OvUInt32 type = OvD3D9TexCoordsChooseDeclType(set, 2);
            OvUInt8 b[16];
            OvD3D9VertexWriteV2d(type, b, set, 2, 8);
            for (int i = 0; i < 2; ++i) {
                float out[2];
                OvD3D9VertexReadV2d(type, out, b + 8 * i);
                EXPECT_NEAR(out[0], set[i].x, 0.5f / 255 + 1e-6f) << type;
                EXPECT_NEAR(out[1], set[i].y, 0.5f / 255 + 1e-6f) << type;
            }
        }
    }
    OvD3D9VertexSetDeclTypeCaps(saved);
}
