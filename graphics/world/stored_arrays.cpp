#include "graphics/world/stored_arrays.h"

#include <algorithm>
#include <bit>
#include <cstdint>
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
// Read once before main, a plain load for each call after it (a call before it takes the
// portable path, which gives the same results).
const bool gHasAvx2 = (__builtin_cpu_init(), __builtin_cpu_supports("avx2") != 0);

bool HasAvx2() { return gHasAvx2; }

// Four triangles a step, bounds kept per lane and folded into the eight lanes of two records at
// the end. kSwap: the 16-bit halves of each 32-bit word trade places by one shuffle and the records
// are stored (stored may be to itself); otherwise the records are only bounded, and a count that is
// not a multiple of four ends with the last four again. Returns the triangles it went through.
template <bool kSwap>
[[gnu::target("avx2")]] inline void TriangleStepAvx2(const OvUInt8* stored, OvUInt8* to, std::size_t i, __m256i& high,
                                                     __m256i& low) {
    __m256i x = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(stored + 8 * i));
    if constexpr (kSwap) {
        const __m256i swap = _mm256_setr_epi8(2, 3, 0, 1, 6, 7, 4, 5, 10, 11, 8, 9, 14, 15, 12, 13, 2, 3, 0, 1, 6, 7,
                                              4, 5, 10, 11, 8, 9, 14, 15, 12, 13);
        x = _mm256_shuffle_epi8(x, swap);
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(to + 8 * i), x);
    }
    high = _mm256_max_epu16(high, x);
    low = _mm256_min_epu16(low, x);
}

template <bool kSwap>
[[gnu::target("avx2")]] inline std::size_t TrianglesAvx2Run(const OvUInt8* stored, OvUInt8* to, std::size_t count,
                                                            __m256i& high, __m256i& low) {
    std::size_t i = 0;
    for (; i + 4 <= count; i += 4) {
        TriangleStepAvx2<kSwap>(stored, to, i, high, low);
    }
    if (!kSwap && i < count) {
        TriangleStepAvx2<kSwap>(stored, to, count - 4, high, low);
        i = count;
    }
    return i;
}

template <bool kSwap>
[[gnu::target("avx2")]] std::size_t TrianglesAvx2(const OvUInt8* stored, OvUInt8* to, std::size_t count,
                                                  OvUInt16* largest, OvUInt16* smallest) {
    __m256i high = _mm256_setzero_si256();
    __m256i low = _mm256_set1_epi16(-1);
    const std::size_t i = TrianglesAvx2Run<kSwap>(stored, to, count, high, low);
    const __m128i h = _mm_max_epu16(_mm256_castsi256_si128(high), _mm256_extracti128_si256(high, 1));
    const __m128i l = _mm_min_epu16(_mm256_castsi256_si128(low), _mm256_extracti128_si256(low, 1));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(largest), h);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(smallest), l);
    return i;
}

// The bounds of at least four triangle records, folded in registers.
[[gnu::target("avx2")]] OvStoredTriangleBounds BoundTrianglesAvx2(const OvUInt8* records, std::size_t count) {
    __m256i high = _mm256_setzero_si256();
    __m256i low = _mm256_set1_epi16(-1);
    TrianglesAvx2Run<false>(records, nullptr, count, high, low);
    __m128i h = _mm_max_epu16(_mm256_castsi256_si128(high), _mm256_extracti128_si256(high, 1));
    __m128i l = _mm_min_epu16(_mm256_castsi256_si128(low), _mm256_extracti128_si256(low, 1));
    h = _mm_max_epu16(h, _mm_shuffle_epi32(h, 0x4E));
    l = _mm_min_epu16(l, _mm_shuffle_epi32(l, 0x4E));
    // The largest vertex as the complement of the smallest complement of lanes 0-2.
    const __m128i vertices = _mm_and_si128(h, _mm_setr_epi16(-1, -1, -1, 0, 0, 0, 0, 0));
    const auto largestVertex =
        static_cast<std::uint64_t>(~_mm_cvtsi128_si32(_mm_minpos_epu16(_mm_xor_si128(vertices, _mm_set1_epi16(-1)))) &
                                   0xFFFF);
    // Put together in a register: fields stored one by one and read back whole would wait on the
    // stores.
    const std::uint64_t packed = largestVertex | static_cast<std::uint64_t>(_mm_extract_epi16(h, 3)) << 16 |
                                 static_cast<std::uint64_t>(_mm_extract_epi16(l, 3)) << 32;
    OvStoredTriangleBounds bounds;
    static_assert(sizeof bounds == 6, "three 16-bit fields");
    std::memcpy(&bounds, &packed, sizeof bounds);
    return bounds;
}

// Under sixteen indices four steps of four; from sixteen, sixteen a step, the last taken again
// over a rest of four or more, one step of four over a shorter rest (stored and out never overlap); the largest 32-bit value is kept apart, so the
// saturating pack is exact for every index that passes. At least four indices; returns their
// largest value, 0x10000 at most.
[[gnu::target("avx2")]] inline void IndexStepAvx2(const OvUInt8* stored, OvUInt16* out, std::size_t at, __m256i& most) {
    const __m256i a = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(stored + 4 * at));
    const __m256i b = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(stored + 4 * at + 32));
    most = _mm256_max_epu32(most, _mm256_max_epu32(a, b));
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + at), _mm256_permute4x64_epi64(_mm256_packus_epi32(a, b), 0xD8));
}

[[gnu::target("avx2")]] inline void IndexStep4(const OvUInt8* stored, OvUInt16* out, std::size_t at, __m128i& most) {
    const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(stored + 4 * at));
    most = _mm_max_epu32(most, a);
    _mm_storel_epi64(reinterpret_cast<__m128i*>(out + at), _mm_packus_epi32(a, a));
}

[[gnu::target("avx2")]] OvUInt32 NarrowIndicesAvx2(const OvUInt8* stored, std::size_t count, OvUInt16* out) {
    __m128i most = _mm_setzero_si128();
    if (count < 16) {
        // Four steps whatever the count, the later ones drawn back to end at the last index (a
        // mesh's count changes from one to the next: a loop on it would be mispredicted).
        const std::size_t last = count - 4;
        IndexStep4(stored, out, 0, most);
        IndexStep4(stored, out, std::min<std::size_t>(4, last), most);
        IndexStep4(stored, out, std::min<std::size_t>(8, last), most);
        IndexStep4(stored, out, last, most);
    } else {
        __m256i wide = _mm256_setzero_si256();
        std::size_t i = 0;
        for (; i + 16 <= count; i += 16) {
            IndexStepAvx2(stored, out, i, wide);
        }
        if (i + 4 <= count) {
            IndexStepAvx2(stored, out, count - 16, wide);
            i = count;
        }
        most = _mm_max_epu32(_mm256_castsi256_si128(wide), _mm256_extracti128_si256(wide, 1));
        if (i < count) {
            IndexStep4(stored, out, count - 4, most);
        }
    }
    most = _mm_max_epu32(most, _mm_shuffle_epi32(most, 0x4E));
    most = _mm_max_epu32(most, _mm_shuffle_epi32(most, 0xB1));
    return std::min<OvUInt32>(static_cast<OvUInt32>(_mm_cvtsi128_si32(most)), 0x10000u);
}

// Sixteen values a step, then eight, the last step taken again over the rest. At least eight.
[[gnu::target("avx2")]] OvUInt16 LargestUInt16Avx2(const OvUInt16* values, std::size_t count) {
    __m128i most = _mm_setzero_si128();
    std::size_t i = 0;
    if (count >= 16) {
        __m256i wide = _mm256_setzero_si256();
        for (; i + 16 <= count; i += 16) {
            wide = _mm256_max_epu16(wide, _mm256_loadu_si256(reinterpret_cast<const __m256i*>(values + i)));
        }
        if (i < count) {
            wide = _mm256_max_epu16(wide, _mm256_loadu_si256(reinterpret_cast<const __m256i*>(values + count - 16)));
            i = count;
        }
        most = _mm_max_epu16(_mm256_castsi256_si128(wide), _mm256_extracti128_si256(wide, 1));
    }
    for (; i + 8 <= count; i += 8) {
        most = _mm_max_epu16(most, _mm_loadu_si128(reinterpret_cast<const __m128i*>(values + i)));
    }
    if (i < count) {
        most = _mm_max_epu16(most, _mm_loadu_si128(reinterpret_cast<const __m128i*>(values + count - 8)));
    }
    // The largest is the smallest of the complements.
    const __m128i inverted = _mm_xor_si128(most, _mm_set1_epi16(-1));
    return static_cast<OvUInt16>(~_mm_cvtsi128_si32(_mm_minpos_epu16(inverted)));
}

// 32 bytes of zeros, then 32 of ones: the 32 bytes from 2 * count on keep the last count 16-bit lanes.
struct LastLanes {
    alignas(64) OvUInt8 bytes[64];
    constexpr LastLanes() : bytes() {
        for (int i = 32; i < 64; ++i) {
            bytes[i] = 0xFF;
        }
    }
};
constexpr LastLanes kLastLanes;

[[gnu::target("avx2")]] OvUInt16 LargestStoredBeforeAvx2(const OvUInt8* end, std::size_t count) {
    const __m256i values =
        _mm256_and_si256(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(end - 32)),
                         _mm256_loadu_si256(reinterpret_cast<const __m256i*>(kLastLanes.bytes + 2 * count)));
    const __m128i most = _mm_max_epu16(_mm256_castsi256_si128(values), _mm256_extracti128_si256(values, 1));
    return static_cast<OvUInt16>(~_mm_cvtsi128_si32(_mm_minpos_epu16(_mm_xor_si128(most, _mm_set1_epi16(-1)))));
}
#endif

// The records of stored triangles with their bounds; kSwap as in TrianglesAvx2.
template <bool kSwap> OvStoredTriangleBounds Triangles(const OvUInt8* stored, OvUInt8* to, std::size_t count) {
    static_assert(sizeof(OvTriangle) == 8, "a triangle record is as large as a stored one");
    // Bounds per 16-bit lane of two records (vertex 0, 1, 2, material, twice).
    OvUInt16 largest[8] = {};
    OvUInt16 smallest[8] = {0xFFFF, 0xFFFF, 0xFFFF, 0xFFFF, 0xFFFF, 0xFFFF, 0xFFFF, 0xFFFF};
    std::size_t i = 0;
#if OV_STORED_ARRAYS_AVX2
    if (count >= 4 && HasAvx2()) {
        i = TrianglesAvx2<kSwap>(stored, to, count, largest, smallest);
    }
#endif
#if defined(__SSE2__)
    // Two triangles a step; the unsigned bounds are taken as signed ones of the values less 0x8000.
    const __m128i bias = _mm_set1_epi16(static_cast<short>(0x8000));
    __m128i high = _mm_xor_si128(_mm_loadu_si128(reinterpret_cast<const __m128i*>(largest)), bias);
    __m128i low = _mm_xor_si128(_mm_loadu_si128(reinterpret_cast<const __m128i*>(smallest)), bias);
    for (; i + 2 <= count; i += 2) {
        __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(stored + 8 * i));
        if constexpr (kSwap) {
            x = _mm_or_si128(_mm_slli_epi32(x, 16), _mm_srli_epi32(x, 16));
            _mm_storeu_si128(reinterpret_cast<__m128i*>(to + 8 * i), x);
        }
        const __m128i biased = _mm_xor_si128(x, bias);
        high = _mm_max_epi16(high, biased);
        low = _mm_min_epi16(low, biased);
    }
    _mm_storeu_si128(reinterpret_cast<__m128i*>(largest), _mm_xor_si128(high, bias));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(smallest), _mm_xor_si128(low, bias));
#endif
    for (; i < count; ++i) {
        const OvUInt8* t = stored + 8 * i;
        OvUInt16 w[4];
        if constexpr (kSwap) {
            // Little-endian words of the stored order.
            w[0] = static_cast<OvUInt16>(t[2] | t[3] << 8);
            w[1] = static_cast<OvUInt16>(t[0] | t[1] << 8);
            w[2] = static_cast<OvUInt16>(t[6] | t[7] << 8);
            w[3] = static_cast<OvUInt16>(t[4] | t[5] << 8);
            std::memcpy(to + 8 * i, w, sizeof w);
        } else {
            std::memcpy(w, t, sizeof w);
        }
        for (int k = 0; k < 4; ++k) {
            largest[k] = std::max(largest[k], w[k]);
            smallest[k] = std::min(smallest[k], w[k]);
        }
    }
    return {std::max({largest[0], largest[1], largest[2], largest[4], largest[5], largest[6]}),
            std::max(largest[3], largest[7]), std::min(smallest[3], smallest[7])};
}

} // namespace

OvStoredTriangleBounds OvDecodeStoredTriangles(const OvUInt8* stored, OvTriangle* out, std::size_t count) {
    return Triangles<true>(stored, reinterpret_cast<OvUInt8*>(out), count);
}

OvStoredTriangleBounds OvBoundTriangles(const OvUInt8* records, std::size_t count) {
#if OV_STORED_ARRAYS_AVX2
    if (count >= 4 && HasAvx2()) {
        return BoundTrianglesAvx2(records, count);
    }
#endif
    return Triangles<false>(records, nullptr, count);
}

OvUInt32 OvNarrowStoredIndices(const OvUInt8* stored, std::size_t count, OvUInt16* out) {
#if OV_STORED_ARRAYS_AVX2
    if (count >= 4 && HasAvx2()) {
        return NarrowIndicesAvx2(stored, count, out);
    }
#endif
    // The high halves are gathered apart so that the loop works on 16-bit lanes.
    OvUInt32 high = 0;
    OvUInt16 largest = 0;
    for (std::size_t i = 0; i < count; ++i) {
        OvUInt32 v = 0;
        const OvUInt8* b = stored + 4 * i;
        if constexpr (std::endian::native == std::endian::little) {
            std::memcpy(&v, b, sizeof v);
        } else {
            v = static_cast<OvUInt32>(b[0]) | static_cast<OvUInt32>(b[1]) << 8 | static_cast<OvUInt32>(b[2]) << 16 |
                static_cast<OvUInt32>(b[3]) << 24;
        }
        const auto low = static_cast<OvUInt16>(v);
        high |= v >> 16;
        out[i] = low;
        largest = std::max(largest, low);
    }
    return high != 0 ? 0x10000u : largest;
}

OvUInt16 OvLargestStoredUInt16Before(const OvUInt8* end, std::size_t count) {
#if OV_STORED_ARRAYS_AVX2
    if (HasAvx2()) {
        return LargestStoredBeforeAvx2(end, count);
    }
#endif
    OvUInt16 largest = 0;
    for (const OvUInt8* v = end - 2 * count; v != end; v += 2) {
        largest = std::max(largest, static_cast<OvUInt16>(v[0] | v[1] << 8));
    }
    return largest;
}

OvUInt16 OvLargestUInt16Wide(const OvUInt16* values, std::size_t count) {
#if OV_STORED_ARRAYS_AVX2
    if (count >= 8 && HasAvx2()) {
        return LargestUInt16Avx2(values, count);
    }
#endif
    return OvLargestUInt16InTurn(values, count);
}
