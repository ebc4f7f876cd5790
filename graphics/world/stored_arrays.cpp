#include "graphics/world/stored_arrays.h"

#include <algorithm>
#include <bit>
#include <cstring>

#include "graphics/world/geometry.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif
#if (defined(__x86_64__) || defined(__i386__)) && (defined(__GNUC__) || defined(__clang__))
#include <immintrin.h>
#define OV_STORED_ARRAYS_AVX2 1
#else
#define OV_STORED_ARRAYS_AVX2 0
#endif

namespace {

#if OV_STORED_ARRAYS_AVX2
bool HasAvx2() {
    static const bool avx2 = __builtin_cpu_supports("avx2") != 0;
    return avx2;
}

// Four triangles a step: the 16-bit halves of each 32-bit word trade places by one shuffle, and the
// unsigned bounds are kept per lane. Folds its bounds into the eight lanes of two records; returns
// the triangles it decoded.
[[gnu::target("avx2")]] std::size_t DecodeTrianglesAvx2(const OvUInt8* stored, OvUInt8* to, std::size_t count,
                                                        OvUInt16* largest, OvUInt16* smallest) {
    const __m256i swap = _mm256_setr_epi8(2, 3, 0, 1, 6, 7, 4, 5, 10, 11, 8, 9, 14, 15, 12, 13, 2, 3, 0, 1, 6, 7, 4,
                                          5, 10, 11, 8, 9, 14, 15, 12, 13);
    __m256i high = _mm256_setzero_si256();
    __m256i low = _mm256_set1_epi16(-1);
    std::size_t i = 0;
    for (; i + 4 <= count; i += 4) {
        const __m256i x =
            _mm256_shuffle_epi8(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(stored + 8 * i)), swap);
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(to + 8 * i), x);
        high = _mm256_max_epu16(high, x);
        low = _mm256_min_epu16(low, x);
    }
    const __m128i h = _mm_max_epu16(_mm256_castsi256_si128(high), _mm256_extracti128_si256(high, 1));
    const __m128i l = _mm_min_epu16(_mm256_castsi256_si128(low), _mm256_extracti128_si256(low, 1));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(largest), h);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(smallest), l);
    return i;
}

// Sixteen indices a step: the largest 32-bit value is kept apart, so the saturating pack is exact
// for every index that passes. Returns the indices it narrowed; *largest is their largest value,
// 0x10000 at most.
[[gnu::target("avx2")]] std::size_t NarrowIndicesAvx2(const OvUInt8* stored, std::size_t count, OvUInt16* out,
                                                      OvUInt32* largest) {
    __m256i most = _mm256_setzero_si256();
    std::size_t i = 0;
    for (; i + 16 <= count; i += 16) {
        const __m256i a = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(stored + 4 * i));
        const __m256i b = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(stored + 4 * i + 32));
        most = _mm256_max_epu32(most, _mm256_max_epu32(a, b));
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + i),
                            _mm256_permute4x64_epi64(_mm256_packus_epi32(a, b), 0xD8));
    }
    __m128i m = _mm_max_epu32(_mm256_castsi256_si128(most), _mm256_extracti128_si256(most, 1));
    m = _mm_max_epu32(m, _mm_shuffle_epi32(m, 0x4E));
    m = _mm_max_epu32(m, _mm_shuffle_epi32(m, 0xB1));
    *largest = std::min<OvUInt32>(static_cast<OvUInt32>(_mm_cvtsi128_si32(m)), 0x10000u);
    return i;
}
#endif

// A little-endian 32-bit value.
inline OvUInt32 LittleU32(const OvUInt8* b) {
    return static_cast<OvUInt32>(b[0]) | static_cast<OvUInt32>(b[1]) << 8 | static_cast<OvUInt32>(b[2]) << 16 |
           static_cast<OvUInt32>(b[3]) << 24;
}

} // namespace

OvStoredTriangleBounds OvDecodeStoredTriangles(const OvUInt8* stored, OvTriangle* out, std::size_t count) {
    static_assert(sizeof(OvTriangle) == 8, "a triangle record is as large as a stored one");
    // Bounds per 16-bit lane of two records (vertex 0, 1, 2, material, twice).
    OvUInt16 largest[8] = {};
    OvUInt16 smallest[8] = {0xFFFF, 0xFFFF, 0xFFFF, 0xFFFF, 0xFFFF, 0xFFFF, 0xFFFF, 0xFFFF};
    auto* to = reinterpret_cast<OvUInt8*>(out);
    std::size_t i = 0;
#if OV_STORED_ARRAYS_AVX2
    if (count >= 4 && HasAvx2()) {
        i = DecodeTrianglesAvx2(stored, to, count, largest, smallest);
    }
#endif
#if defined(__SSE2__)
    // Two triangles a step: the 16-bit halves of each 32-bit word trade places; the unsigned
    // bounds are taken as signed ones of the values less 0x8000.
    const __m128i bias = _mm_set1_epi16(static_cast<short>(0x8000));
    __m128i high = _mm_xor_si128(_mm_loadu_si128(reinterpret_cast<const __m128i*>(largest)), bias);
    __m128i low = _mm_xor_si128(_mm_loadu_si128(reinterpret_cast<const __m128i*>(smallest)), bias);
    for (; i + 2 <= count; i += 2) {
        __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(stored + 8 * i));
        x = _mm_or_si128(_mm_slli_epi32(x, 16), _mm_srli_epi32(x, 16));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(to + 8 * i), x);
        const __m128i biased = _mm_xor_si128(x, bias);
        high = _mm_max_epi16(high, biased);
        low = _mm_min_epi16(low, biased);
    }
    _mm_storeu_si128(reinterpret_cast<__m128i*>(largest), _mm_xor_si128(high, bias));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(smallest), _mm_xor_si128(low, bias));
#endif
    for (; i < count; ++i) {
        const OvUInt8* t = stored + 8 * i;
        const OvUInt16 w[4] = {static_cast<OvUInt16>(t[2] | t[3] << 8), static_cast<OvUInt16>(t[0] | t[1] << 8),
                               static_cast<OvUInt16>(t[6] | t[7] << 8), static_cast<OvUInt16>(t[4] | t[5] << 8)};
        std::memcpy(to + 8 * i, w, sizeof w);
        for (int k = 0; k < 4; ++k) {
            largest[k] = std::max(largest[k], w[k]);
            smallest[k] = std::min(smallest[k], w[k]);
        }
    }
    return {std::max({largest[0], largest[1], largest[2], largest[4], largest[5], largest[6]}),
            std::max(largest[3], largest[7]), std::min(smallest[3], smallest[7])};
}

OvUInt32 OvNarrowStoredIndices(const OvUInt8* stored, std::size_t count, OvUInt16* out) {
    std::size_t i = 0;
    OvUInt32 wide = 0;
#if OV_STORED_ARRAYS_AVX2
    if (count >= 16 && HasAvx2()) {
        i = NarrowIndicesAvx2(stored, count, out, &wide);
    }
#endif
    // The rest: the high halves are gathered apart so that the loop works on 16-bit lanes.
    OvUInt32 high = 0;
    OvUInt16 largest = 0;
    for (; i < count; ++i) {
        OvUInt32 v = 0;
        if constexpr (std::endian::native == std::endian::little) {
            std::memcpy(&v, stored + 4 * i, sizeof v);
        } else {
            v = LittleU32(stored + 4 * i);
        }
        const auto low = static_cast<OvUInt16>(v);
        high |= v >> 16;
        out[i] = low;
        largest = std::max(largest, low);
    }
    return std::max(wide, high != 0 ? 0x10000u : OvUInt32{largest});
}
