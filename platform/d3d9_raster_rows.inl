// The fast state's rows, written once over the vector width `V` of the file that includes it
// (inside a namespace of its own, after the width's operations and the shared four-pixel helpers):
// V::kGroups four-pixel groups shade at once, group g in the g-th 128-bit half of every vector, so
// each lane runs the operations of the four-pixel form in the same order and the pixels are the
// same bytes at either width. No header is included here.

using F = V::F;
using I = V::I;
constexpr int kGroups = V::kGroups;
constexpr int kLanes = 4 * kGroups;

// The lanes compared as the depth and alpha functions compare, all ones where the test passes.
// Every value is below 2^31, so the signed compares order them as unsigned ones do.
[[gnu::always_inline]] inline I CompareLanes(DWORD func, I a, I b) {
    const I ones = V::SetI(-1);
    switch (func) {
    case D3DCMP_NEVER:
        return V::SetI(0);
    case D3DCMP_LESS:
        return V::CmpGt32(b, a);
    case D3DCMP_EQUAL:
        return V::CmpEq32(a, b);
    case D3DCMP_LESSEQUAL:
        return V::CmpGt32(a, b) ^ ones;
    case D3DCMP_GREATER:
        return V::CmpGt32(a, b);
    case D3DCMP_NOTEQUAL:
        return V::CmpEq32(a, b) ^ ones;
    case D3DCMP_GREATEREQUAL:
        return V::CmpGt32(b, a) ^ ones;
    default:
        return ones;
    }
}

[[gnu::always_inline]] inline I Select(I mask, I a, I b) { return (mask & a) | V::AndNot(mask, b); }

// Scale to 255, round and truncate, one per lane: packed with signed and then unsigned saturation,
// the bytes To8 gives. Within 0..1 these are To8's operations; above, the lane is 255 or more and
// below, 0 or less; NaN truncates to the most negative integer, as a value too large to be
// truncated would, so the sum is bounded first (min keeps NaN, its second operand).
[[gnu::always_inline]] inline I To8x(F v) {
    const F scaled = V::Add(V::Mul(v, V::SetF(255.0f)), V::SetF(0.5f));
    return V::Cvtt(V::Min(V::SetF(1073741824.0f), scaled));
}

// FastLog2 on every lane, the same operations in the same order.
[[gnu::always_inline]] inline F FastLog2x(F m) {
    const I bits = V::AsI(m);
    const F exponent = V::Cvt(V::Sub32(V::template Srl32<23>(bits), V::SetI(127)));
    const F f = V::AsF((bits & V::SetI(0x007FFFFF)) | V::SetI(0x3F800000));
    const F x = V::Sub(f, V::SetF(1.0f));
    return V::Add(exponent, V::Mul(x, V::Sub(V::SetF(1.3465552f), V::Mul(V::SetF(0.34655525f), x))));
}

// round(a * b / 255) for bytes on 16-bit lanes: t = a * b + 128 (below 2^16), then
// (t + (t >> 8)) >> 8, which is the high half of t * 257 (the low byte of t / 256 added inside the
// floor never carries it past the next multiple of 256).
[[gnu::always_inline]] inline I Mul8x(I a, I b) {
    return V::Mulhi16u(V::Add16(V::Mullo16(a, b), V::Set16(128)), V::Set16(257));
}

// Packed pixels times others, channel by channel (Mul8x).
[[gnu::always_inline]] inline I Modulate(I a, I b) {
    const I zero = V::SetI(0);
    return V::Packus16(Mul8x(V::Unpacklo8(a, zero), V::Unpacklo8(b, zero)),
                       Mul8x(V::Unpackhi8(a, zero), V::Unpackhi8(b, zero)));
}

[[gnu::always_inline]] inline I Operate(DWORD op, I a1, I a2) {
    return op == D3DTOP_SELECTARG1 ? a1 : op == D3DTOP_SELECTARG2 ? a2 : Modulate(a1, a2);
}

// Source alpha over the destination for packed pixels, each channel
// min(255, Mul8x(s, sa) + Mul8x(d, 255 - sa)): the alpha of each pixel spread over its channels.
[[gnu::always_inline]] inline I BlendOver(I src, I dst) {
    const I zero = V::SetI(0), full = V::Set16(255);
    auto half = [&](I s, I d) {
        const I sa = V::Alpha16(s);
        return V::Add16(Mul8x(s, sa), Mul8x(d, V::Sub16(full, sa)));
    };
    return V::Packus16(half(V::Unpacklo8(src, zero), V::Unpacklo8(dst, zero)),
                       half(V::Unpackhi8(src, zero), V::Unpackhi8(dst, zero)));
}

// Each group's pixels' channels on 16-bit lanes: pixels 0 and 1 in `lo`, 2 and 3 in `hi`.
struct Channels16 {
    I lo, hi;
};

[[gnu::always_inline]] inline Channels16 Widen(I pixels) {
    const I zero = V::SetI(0);
    return {V::Unpacklo8(pixels, zero), V::Unpackhi8(pixels, zero)};
}

// A weight per pixel (0 to 256) spread over that pixel's four channel lanes, in the form
// V::Lerp16 takes.
[[gnu::always_inline]] inline Channels16 Spread(I v) {
    const I pairs = V::Weights16(V::Unpacklo16(V::Packs32(v, v), V::Packs32(v, v)));
    return {V::Unpacklo32(pairs, pairs), V::Unpackhi32(pairs, pairs)};
}

// Lerp8 on the channels of each pixel by its weight.
[[gnu::always_inline]] inline Channels16 Lerp16(Channels16 a, Channels16 b, Channels16 w) {
    return {V::Lerp16(a.lo, b.lo, w.lo), V::Lerp16(a.hi, b.hi, w.hi)};
}

// Bilerp8 of the pixels, each at a level of its own (`width` and `height` its sides): the texel
// offsets all at once (exact in float: a quick level has fewer than 2^24 texels), the texels pixel
// by pixel, the filtering of all at once. kOneLevel: every pixel at level 0.
template <bool kOneLevel>
[[gnu::always_inline]] inline Channels16 Bilinear(const Sampler& s, I level, F width, F height, I x, I y, I fx, I fy) {
    const I one = V::SetI(1);
    const I wmask = V::Sub32(V::Cvtt(width), one);
    const I hmask = V::Sub32(V::Cvtt(height), one);
    const I x0 = x & wmask, y0 = y & hmask;
    auto row = [&](I r) { return V::Cvtt(V::Mul(V::Cvt(r), width)); };
    const I row0 = row(y0);
    alignas(32) int levels[kLanes];
    V::Store(levels, level);
    const Channels16 wx = Spread(fx);
    if (s.blocked) {
        // Each pixel's four texels in one read of its block, the blocks of a group turned into
        // its corners.
        alignas(32) int at[kLanes]; // in bytes: a level's blocks take less than 2^31
        V::Store(at, V::template Sll32<4>(V::Add32(row0, x0)));
        __m128i block[kLanes];
        auto read = [&](const std::uint32_t* blocks, int k) {
            return _mm_loadu_si128(
                reinterpret_cast<const __m128i*>(reinterpret_cast<const BYTE*>(blocks) + static_cast<std::uint32_t>(at[k])));
        };
        // Neighbouring pixels mostly take one level: then every read starts from its blocks,
        // found once, rather than from each pixel's level read back from memory.
        const int first = _mm_cvtsi128_si32(V::Half(level, 0));
        if (kOneLevel || V::Mask(V::AsF(V::CmpEq32(level, V::SetI(first)))) == (1 << kLanes) - 1) {
            const std::uint32_t* blocks = s.level[kOneLevel ? 0 : first].blocks;
            for (int k = 0; k < kLanes; ++k)
                block[k] = read(blocks, k);
        } else {
            for (int k = 0; k < kLanes; ++k)
                block[k] = read(s.level[levels[k]].blocks, k);
        }
        F c[4];
        for (int i = 0; i < 4; ++i) {
            __m128i halves[kGroups];
            for (int g = 0; g < kGroups; ++g)
                halves[g] = block[4 * g + i];
            c[i] = V::AsF(V::Join(halves));
        }
        V::Transpose(c[0], c[1], c[2], c[3]);
        auto corner = [&](int i) { return Widen(V::AsI(c[i])); };
        return Lerp16(Lerp16(corner(0), corner(1), wx), Lerp16(corner(2), corner(3), wx), Spread(fy));
    }
    const BYTE* bytes[kLanes];
    for (int k = 0; k < kLanes; ++k)
        bytes[k] = s.level[kOneLevel ? 0 : levels[k]].bytes;
    // The corners' texels, each corner's four of a group joined in registers (a vector read back
    // from four separate stores would wait for all of them).
    __m128i t[4][kGroups];
    const I wraps = V::CmpEq32(x0, wmask) | V::CmpEq32(y0, hmask);
    if (V::Mask(V::AsF(wraps)) == 0) {
        // No pixel's texels wrap: its two texels of each row lie side by side, the second row a
        // level's width after the first, each pair one 8-byte read.
        alignas(32) int at[2][kLanes]; // the left texel of each row, per pixel
        V::Store(at[0], V::Add32(row0, x0));
        V::Store(at[1], V::Add32(V::Add32(row0, x0), V::Add32(wmask, one)));
        auto pair = [&](int r, int k) {
            return _mm_loadl_epi64(reinterpret_cast<const __m128i*>(bytes[k] + 4 * static_cast<std::size_t>(at[r][k])));
        };
        for (int g = 0; g < kGroups; ++g)
            for (int r = 0; r < 2; ++r) {
                const int k = 4 * g;
                const __m128i low = _mm_unpacklo_epi32(pair(r, k), pair(r, k + 1)),
                              high = _mm_unpacklo_epi32(pair(r, k + 2), pair(r, k + 3));
                t[2 * r][g] = _mm_unpacklo_epi64(low, high);
                t[2 * r + 1][g] = _mm_unpackhi_epi64(low, high);
            }
    } else {
        const I x1 = V::Add32(x, one) & wmask;
        const I row1 = row(V::Add32(y, one) & hmask);
        alignas(32) int at[4][kLanes]; // texel offsets: corner, then pixel
        V::Store(at[0], V::Add32(row0, x0));
        V::Store(at[1], V::Add32(row0, x1));
        V::Store(at[2], V::Add32(row1, x0));
        V::Store(at[3], V::Add32(row1, x1));
        auto texel = [&](int c, int k) {
            int v;
            std::memcpy(&v, bytes[k] + 4 * static_cast<std::size_t>(at[c][k]), 4);
            return _mm_cvtsi32_si128(v);
        };
        for (int g = 0; g < kGroups; ++g)
            for (int c = 0; c < 4; ++c) {
                const int k = 4 * g;
                t[c][g] = _mm_unpacklo_epi64(_mm_unpacklo_epi32(texel(c, k), texel(c, k + 1)),
                                             _mm_unpacklo_epi32(texel(c, k + 2), texel(c, k + 3)));
            }
    }
    const I opaque = V::SetI(static_cast<int>(s.opaque));
    auto corner = [&](int c) { return Widen(V::Join(t[c]) | opaque); };
    return Lerp16(Lerp16(corner(0), corner(1), wx), Lerp16(corner(2), corner(3), wx), Spread(fy));
}

// Sample for the pixels of a filtered, wrapped 32-bit texture (`Sampler::quick`): the level choice
// per pixel as Sample makes it, the coordinates of both levels all at once, the texels pixel by
// pixel and their filtering all at once again. Lanes outside `live` do not choose the second level.
// kOneLevel: the draw keeps every pixel at level 0.
template <bool kOneLevel>
[[gnu::always_inline]] inline I SampleQuick(const Sampler& s, F u, F v, F lod, int live) {
    const F l = V::Add(lod, V::SetF(s.bias));
    const F top = V::SetF(static_cast<float>(s.levelCount - 1));
    const I last = V::SetI(s.levelCount - 1);
    I a = V::SetI(0), b = a, t = a;
    if (!kOneLevel && s.levelCount > 1 && s.mip != D3DTEXF_NONE) {
        const I minified = V::AsI(V::CmpGt(l, V::SetF(0.0f))); // NaN is not
        if (s.mip == D3DTEXF_POINT) {
            // min(floor(l + 0.5), top), the floor a truncation of a positive number.
            a = b = minified & V::Cvtt(V::Min(V::Add(l, V::SetF(0.5f)), top));
        } else {
            const I beyond = V::AsI(V::CmpGe(l, top));
            const I level = V::Cvtt(l);
            const I fraction =
                V::Cvtt(V::Add(V::Mul(V::Sub(l, V::Cvt(level)), V::SetF(256.0f)), V::SetF(0.5f)));
            a = minified & Select(beyond, last, level);
            b = minified & Select(beyond, last, V::Add32(level, V::SetI(1)));
            t = V::AndNot(beyond, minified & fraction);
        }
    }
    // Sides of the levels: those of level 0 halved, at least 1 (Sampler::quick checks the chain).
    auto side = [](F top0, I level) {
        const F scale = V::AsF(V::template Sll32<23>(V::Sub32(V::SetI(127), level)));
        return V::Max(V::Mul(top0, scale), V::SetF(1.0f));
    };
    const F w0 = V::SetF(s.level[0].width), h0 = V::SetF(s.level[0].height);
    // Lerp8(a, b, 0) is a: the second level only where some pixel blends it in.
    const bool second = !kOneLevel && (V::Mask(V::AsF(V::CmpEq32(t, V::SetI(0)))) & live) != live;
    // TexelCoordinate, the floor and the 8-bit fraction.
    I texel[4], fraction[4]; // those of the second level made only when it is read
    const F coords[4] = {u, v, u, v};
    const F sizes[4] = {kOneLevel ? w0 : side(w0, a), kOneLevel ? h0 : side(h0, a), side(w0, b), side(h0, b)};
    for (int c = 0; c < (second ? 4 : 2); ++c) {
        F x = V::Sub(V::Mul(coords[c], sizes[c]), V::SetF(0.5f));
        const F absolute = V::AndNotF(V::SetF(-0.0f), x);
        x = V::AndF(x, V::CmpLt(absolute, V::SetF(1e7f)));
        const F floor = V::Floor(x);
        fraction[c] = V::Cvtt(V::Add(V::Mul(V::Sub(x, floor), V::SetF(256.0f)), V::SetF(0.5f)));
        texel[c] = V::Cvtt(floor);
    }
    // Every lane's level and coordinates are in range (NaN and far coordinates were zeroed), so
    // the lanes outside `live` read texels too and nothing branches on them.
    Channels16 out = Bilinear<kOneLevel>(s, a, sizes[0], sizes[1], texel[0], texel[1], fraction[0], fraction[1]);
    if (second)
        out = Lerp16(out, Bilinear<false>(s, b, sizes[2], sizes[3], texel[2], texel[3], fraction[2], fraction[3]),
                     Spread(t));
    return V::Packus16(out.lo, out.hi);
}

// The rows of a small triangle (RowBounds::Masks): E - K of each edge at the pixels of the box's
// row, kLanes to a vector, stepped exactly from row to row. A pixel is in where all three are not
// negative: the sign bits of the three together give the row's pixels at once, no quotient
// carried.
struct RowMasks {
    static constexpr int kVectors = RowBounds::kMaskWidth / kLanes;
    I edge[3][kVectors], step[3];
    int left, box;

    void Start(const RowBounds::Masks& m) {
        left = m.left;
        box = m.box;
        for (int i = 0; i < 3; ++i) {
            step[i] = V::SetI(static_cast<int>(m.row[i]));
            for (int h = 0; h < kVectors; ++h)
                edge[i][h] = V::Ramp(m.edge[i] + static_cast<std::uint32_t>(kLanes * h) * m.lane[i], m.lane[i]);
        }
    }
    // As RowBounds::Next: the pixels [lo, hi] of the next row, none when lo > hi.
    [[gnu::always_inline]] void Next(int* lo, int* hi) {
        int out = 0; // the lanes some edge leaves out
        for (int h = 0; h < kVectors; ++h) {
            out |= V::Mask(V::AsF(edge[0][h] | edge[1][h] | edge[2][h])) << kLanes * h;
            for (int i = 0; i < 3; ++i)
                edge[i][h] = V::Add32(edge[i][h], step[i]);
        }
        const unsigned in = static_cast<unsigned>(box & ~out);
        // A row's pixels are one run (the triangle is convex); none gives lo = left + 16 > hi = left.
        *lo = left + __builtin_ctz(in | 1u << RowBounds::kMaskWidth);
        *hi = left + 31 - __builtin_clz(in | 1u);
    }
};

// The fast state's triangles, V::kGroups groups of four pixels at a time. Each row's interpolants
// start from the planes and step pixel by pixel with the same additions as one pixel at a time,
// and every lane runs the operations of the one-pixel form in the same order, so the pixels are
// those of shading them one by one. Groups take four pixels of a row where it has them and gather
// the rest across rows, so short rows still fill the lanes; groups are shaded V::kGroups at once
// (the pixels of one triangle are all different, so no group reads what another writes), and
// those whose pixels all fail the depth test stop there.
template <bool kDepth, bool kTexture, bool kLod, bool kFlat>
void FastRows(const Raster& r, RowBounds& __restrict rows, int y0, int y1, const float* base, const float* dx,
              const float* dy, float ox, float oy) {
    const PixelSetup& p = *r.ps;
    // `rows` is the caller's, walked in place: no pixel store reaches it.
    // Lanes of one pixel: 1/w, z, s/w, t/w; and its diffuse b, g, r, a over w; q/w apart.
    const bool coords = r.count > kFixed;
    auto lanesOf = [&](const float* plane, int i0, int i1, int i2, int i3) {
        return _mm_setr_ps(plane[i0], plane[i1], plane[i2], plane[i3]);
    };
    const int s = coords ? kFixed : 0, t = coords ? kFixed + 1 : 0; // without a stage the lanes go unused
    const __m128 baseP = lanesOf(base, 0, 1, s, t), dxP = lanesOf(dx, 0, 1, s, t), dyP = lanesOf(dy, 0, 1, s, t);
    const __m128 baseC = lanesOf(base, 4, 3, 2, 5), dxC = lanesOf(dx, 4, 3, 2, 5), dyC = lanesOf(dy, 4, 3, 2, 5);
    const float baseQ = coords ? base[kFixed + 2] : 0.0f, dxQ = coords ? dx[kFixed + 2] : 0.0f,
                dyQ = coords ? dy[kFixed + 2] : 0.0f;

    const Sampler* sampler = kTexture ? &p.samplers[p.stages[0].sampler] : nullptr;
    const I factor = V::SetI(static_cast<int>(p.factor8));
    const I flat = V::SetI(kFlat ? static_cast<int>(ToColor(r.flatColor[0])) : 0);
    const F zero = V::SetF(0.0f), one = V::SetF(1.0f);
    const float topW = kTexture ? sampler->level[0].width : 0.0f, topH = kTexture ? sampler->level[0].height : 0.0f;
    const bool opaqueTarget = p.target->format == D3DFMT_X8R8G8B8;
    // Every pixel samples level 0: there is no other, or no mip filter chooses one.
    const bool oneLevel = kTexture && (sampler->levelCount == 1 || sampler->mip == D3DTEXF_NONE);
    const bool projected = kTexture && p.projected;
    // The usual combinations and depth test, chosen once for the draw.
    const bool modulateAll = kTexture && p.modulateAll, modulateTextureAlpha = kTexture && p.modulateTextureAlpha;
    const bool lessEqual = kDepth && p.lessEqual;
    // A small triangle's rows by masks, the rest by their bounds: one walk and one shading for
    // both.
    const bool masked = rows.masks.on;
    RowMasks masks;
    if (masked)
        masks.Start(rows.masks);

    // A group waiting to be shaded: the interpolants of its pixels (p: 1/w, z, s/w, t/w; c: diffuse
    // over w; q: q/w), and where its pixels are: in one row from `target[0]` on when `contiguous`,
    // else each at its own address. A group of no pixels touches nothing. Aligned to 64 bytes, a
    // group takes 256: its place in the walk's array is found by a shift.
    struct alignas(64) Group {
        __m128 p[4], c[4];
        alignas(16) float q[4];
        int lanes;
        bool contiguous;
        BYTE* target[4];
        BYTE* depth[4];
    };
    // The pixels of every group, unread lanes 0 (lanes past a gathered group's repeat its last
    // pixel; in registers, not through memory, so the vector does not wait on separate stores).
    auto load = [](const Group* groups, bool depth) __attribute__((always_inline)) {
        __m128i half[kGroups];
        for (int g = 0; g < kGroups; ++g) {
            const Group& G = groups[g];
            BYTE* const* at = depth ? G.depth : G.target;
            if (kGroups > 1 && G.lanes == 0) { // only the last of a triangle's steps has an empty group
                half[g] = _mm_setzero_si128();
            } else if (G.contiguous) {
                half[g] = LoadLanes(at[0], G.lanes);
            } else {
                int v[4];
                for (int k = 0; k < 4; ++k)
                    std::memcpy(&v[k], at[k < G.lanes ? k : G.lanes - 1], 4);
                half[g] = _mm_unpacklo_epi64(_mm_unpacklo_epi32(_mm_cvtsi32_si128(v[0]), _mm_cvtsi32_si128(v[1])),
                                             _mm_unpacklo_epi32(_mm_cvtsi32_si128(v[2]), _mm_cvtsi32_si128(v[3])));
            }
        }
        return V::Join(half);
    };
    // Writes `value` where `live`, keeping `old` elsewhere. `kept`: `old` holds what load read
    // there, so a gathered group of four writes all its pixels, those not live as they were,
    // rather than choosing them one by one.
    auto store = [](const Group* groups, bool depth, I value, I old, I live, bool kept) __attribute__((always_inline)) {
        const int bits = V::Mask(V::AsF(live));
        for (int g = 0; g < kGroups; ++g) {
            const Group& G = groups[g];
            BYTE* const* at = depth ? G.depth : G.target;
            const int groupBits = bits >> 4 * g & 15;
            if (kGroups > 1 && groupBits == 0)
                continue;
            const __m128i v = V::Half(value, g);
            if (G.contiguous) {
                StoreLanes(at[0], Select4(V::Half(live, g), v, V::Half(old, g)), G.lanes);
                continue;
            }
            alignas(16) int lanes[4];
            if (kept && G.lanes == 4) {
                _mm_store_si128(reinterpret_cast<__m128i*>(lanes), Select4(V::Half(live, g), v, V::Half(old, g)));
                for (int k = 0; k < 4; ++k)
                    std::memcpy(at[k], &lanes[k], 4);
                continue;
            }
            _mm_store_si128(reinterpret_cast<__m128i*>(lanes), v);
            for (int k = 0; k < G.lanes; ++k)
                if (groupBits >> k & 1)
                    std::memcpy(at[k], &lanes[k], 4);
        }
    };

    auto shade = [&](const Group* groups) __attribute__((always_inline)) {
        F p0 = V::JoinF(groups, 0), p1 = V::JoinF(groups, 1), p2 = V::JoinF(groups, 2), p3 = V::JoinF(groups, 3);
        V::Transpose(p0, p1, p2, p3); // now 1/w, z, s/w, t/w of the pixels
        int counts[kGroups];
        for (int g = 0; g < kGroups; ++g)
            counts[g] = groups[g].lanes;
        I live = V::Live(counts);
        I key = V::SetI(0), stored = V::SetI(0);
        if (kDepth) {
            const F z = V::Min(V::Max(p1, zero), one);
            key = V::DepthKeys24(z);
            stored = load(groups, true);
            if (lessEqual || p.depthTest) {
                live = live & CompareLanes(lessEqual ? DWORD{D3DCMP_LESSEQUAL} : p.depthFunc, key,
                                           V::template Srl32<8>(stored));
                if (V::Mask(V::AsF(live)) == 0)
                    return;
            }
        }
        const F w = V::AndF(V::Div(one, p0), V::CmpNeq(p0, zero));
        I diffuse = flat;
        if (!kFlat) {
            const I i0 = To8x(V::Mul(V::JoinC(groups, 0), V::template Broadcast<0x00>(w)));
            const I i1 = To8x(V::Mul(V::JoinC(groups, 1), V::template Broadcast<0x55>(w)));
            const I i2 = To8x(V::Mul(V::JoinC(groups, 2), V::template Broadcast<0xAA>(w)));
            const I i3 = To8x(V::Mul(V::JoinC(groups, 3), V::template Broadcast<0xFF>(w)));
            diffuse = V::Packus16(V::Packs32(i0, i1), V::Packs32(i2, i3));
        }
        I texel = V::SetI(-1);
        if (kTexture) {
            // Without a projected texture transform q is 1: q/w is 1/w.
            F u = V::Mul(p2, w), v = V::Mul(p3, w), rq = w;
            if (projected) {
                const F qs = V::JoinQ(groups);
                const F qw = V::Mul(qs, w);
                const F iq = V::AndF(V::Div(one, qw), V::CmpNeq(qw, zero));
                u = V::Mul(u, iq);
                v = V::Mul(v, iq);
                rq = V::AndF(V::Div(one, qs), V::CmpNeq(qs, zero));
            }
            F lod = zero;
            if (kLod) {
                const int k = kFixed;
                auto derivative = [&](F c, float plane, float planeQ) {
                    return V::Mul(V::Sub(V::SetF(plane), V::Mul(c, V::SetF(planeQ))), rq);
                };
                const F dudx = derivative(u, dx[k], dx[k + 2]), dudy = derivative(u, dy[k], dy[k + 2]);
                const F dvdx = derivative(v, dx[k + 1], dx[k + 2]), dvdy = derivative(v, dy[k + 1], dy[k + 2]);
                const F tw = V::SetF(topW), th = V::SetF(topH);
                auto length = [&](F du, F dv) {
                    return V::Add(V::Mul(V::Mul(V::Mul(du, du), tw), tw), V::Mul(V::Mul(V::Mul(dv, dv), th), th));
                };
                const F lx = length(dudx, dvdx), ly = length(dudy, dvdy);
                const F m = V::Max(ly, lx); // std::max(lx, ly), NaN included
                const F finite =
                    V::AndF(V::CmpGt(m, zero), V::CmpLt(m, V::SetF(std::numeric_limits<float>::infinity())));
                lod = V::AndF(V::Mul(V::SetF(0.5f), FastLog2x(m)), finite);
            }
            const int liveBits = V::Mask(V::AsF(live));
            if (sampler->quick) {
                texel = oneLevel ? SampleQuick<true>(*sampler, u, v, lod, liveBits)
                                 : SampleQuick<false>(*sampler, u, v, lod, liveBits);
            } else {
                alignas(32) float us[kLanes], vs[kLanes], lods[kLanes];
                alignas(32) D3DCOLOR texels[kLanes] = {};
                V::StoreF(us, u);
                V::StoreF(vs, v);
                V::StoreF(lods, lod);
                for (int k = 0; k < kLanes; ++k)
                    if (liveBits >> k & 1)
                        texels[k] = Sample(*sampler, us[k], vs[k], lods[k]);
                texel = V::Load(reinterpret_cast<const int*>(texels));
            }
        }
        auto pick = [&](PixelSetup::Arg arg) {
            return arg == PixelSetup::Arg::Diffuse ? diffuse : arg == PixelSetup::Arg::Texture ? texel : factor;
        };
        const I rgbMask = V::SetI(0x00FFFFFF);
        I c = diffuse;
        if (modulateAll) {
            c = Modulate(texel, diffuse);
        } else if (modulateTextureAlpha) {
            c = Select(rgbMask, Modulate(texel, diffuse), texel);
        } else if (p.oneOperation) {
            c = Operate(p.fastColorOp, pick(p.colorArgs[0]), pick(p.colorArgs[1]));
        } else if (p.stageCount > 0) {
            const I rgb = Operate(p.fastColorOp, pick(p.colorArgs[0]), pick(p.colorArgs[1]));
            const I alpha = p.fastAlphaOp == D3DTOP_DISABLE
                                ? diffuse
                                : Operate(p.fastAlphaOp, pick(p.alphaArgs[0]), pick(p.alphaArgs[1]));
            c = Select(rgbMask, rgb, alpha);
        }
        if (p.alphaTest) {
            live = live & CompareLanes(p.alphaFunc, V::template Srl32<24>(c), V::SetI(static_cast<int>(p.alphaRef)));
            if (V::Mask(V::AsF(live)) == 0)
                return;
        }
        if (kDepth && p.depthWrite)
            store(groups, true, (stored & V::SetI(0xFF)) | V::template Sll32<8>(key), stored, live, true);
        const int liveBits = V::Mask(V::AsF(live));
        if (p.storeColor) {
            // Four replaced pixels of a row: nothing of the target is kept, so it is not read.
            int replaced = 0;
            if (!p.blend)
                for (int g = 0; g < kGroups; ++g)
                    if (groups[g].lanes == 4 && groups[g].contiguous && (liveBits >> 4 * g & 15) == 15)
                        replaced |= 1 << g;
            if (replaced == (1 << kGroups) - 1) {
                for (int g = 0; g < kGroups; ++g)
                    _mm_storeu_si128(reinterpret_cast<__m128i*>(groups[g].target[0]), V::Half(c, g));
                return;
            }
            bool keeps = p.blend; // some lane of a row's group is kept from the target
            for (int g = 0; g < kGroups; ++g)
                keeps = keeps || (groups[g].lanes > 0 && groups[g].contiguous);
            const I old = keeps ? load(groups, false) : V::SetI(0);
            I out = c;
            if (p.blend) // source alpha over the target, on bytes
                out = BlendOver(c, opaqueTarget ? old | V::SetI(static_cast<int>(0xFF000000u)) : old);
            store(groups, false, out, old, live, keeps);
        } else {
            alignas(32) D3DCOLOR colors[kLanes];
            V::Store(reinterpret_cast<int*>(colors), c);
            for (int g = 0; g < kGroups; ++g)
                for (int k = 0; k < groups[g].lanes; ++k)
                    if (liveBits >> (4 * g + k) & 1)
                        OutputColor(p, groups[g].contiguous ? groups[g].target[0] + 4 * k : groups[g].target[k],
                                    FromColor(colors[4 * g + k])); // blending and masks as everywhere
        }
    };

    // The walk fills V::kGroups groups, then shades them at the one place below: the shading is
    // written out once in the function, not at every place a group fills up.
    Group ready[kGroups];
    for (Group& G : ready) { // lanes never filled hold finite values
        for (int k = 0; k < 4; ++k)
            G.p[k] = G.c[k] = _mm_setzero_ps();
        _mm_store_ps(G.q, _mm_setzero_ps());
    }
    // Pixels waiting for a group gather in the next group's place: rows too short to fill one
    // pass theirs on to the next.
    int waiting = 0, firstRow = 0, lastRow = 0; // the rows of the first and last waiting pixel
    // The walk's place: pixels x..hi of row y are left, their interpolants and addresses at x.
    int y = y0 - 1, x = 0, hi = -1;
    __m128 position = _mm_setzero_ps(), color = _mm_setzero_ps();
    float q = 0.0f;
    BYTE* target = nullptr;
    BYTE* depth = nullptr;
    for (bool done = false; !done;) {
        int readyCount = 0;
        while (readyCount < kGroups) {
            if (x > hi) { // the next row with pixels
                if (++y > y1) {
                    done = true;
                    break;
                }
                int lo;
                if (masked) // the same way for every row of the triangle
                    masks.Next(&lo, &hi);
                else
                    rows.Next(&lo, &hi);
                x = lo;
                if (lo > hi) // a row without pixels: the walk comes straight back here
                    continue;
                const float fx = static_cast<float>(lo) - ox, fy = static_cast<float>(y) - oy;
                const __m128 vx = _mm_set1_ps(fx), vy = _mm_set1_ps(fy);
                position = _mm_add_ps(_mm_add_ps(baseP, _mm_mul_ps(dxP, vx)), _mm_mul_ps(dyP, vy));
                color = _mm_add_ps(_mm_add_ps(baseC, _mm_mul_ps(dxC, vx)), _mm_mul_ps(dyC, vy));
                q = baseQ + dxQ * fx + dyQ * fy;
                target = p.target->At(static_cast<UINT>(lo), static_cast<UINT>(y));
                depth = kDepth ? p.depth->At(static_cast<UINT>(lo), static_cast<UINT>(y)) : nullptr;
                if (y < y1) { // the next row of the triangle lies about under this one: its lines are fetched meanwhile
                    const std::size_t last = 4 * static_cast<std::size_t>(hi - lo);
                    _mm_prefetch(reinterpret_cast<const char*>(target + p.target->pitch), _MM_HINT_T0);
                    _mm_prefetch(reinterpret_cast<const char*>(target + p.target->pitch + last), _MM_HINT_T0);
                    if (kDepth) {
                        _mm_prefetch(reinterpret_cast<const char*>(depth + p.depth->pitch), _MM_HINT_T0);
                        _mm_prefetch(reinterpret_cast<const char*>(depth + p.depth->pitch + last), _MM_HINT_T0);
                    }
                }
                continue;
            }
            Group& G = ready[readyCount];
            if (waiting == 0 && hi - x >= 3) { // four pixels of this row
                G.p[0] = position;
                G.p[1] = _mm_add_ps(G.p[0], dxP);
                G.p[2] = _mm_add_ps(G.p[1], dxP);
                G.p[3] = _mm_add_ps(G.p[2], dxP);
                position = _mm_add_ps(G.p[3], dxP);
                G.c[0] = color;
                G.c[1] = _mm_add_ps(G.c[0], dxC);
                G.c[2] = _mm_add_ps(G.c[1], dxC);
                G.c[3] = _mm_add_ps(G.c[2], dxC);
                color = _mm_add_ps(G.c[3], dxC);
                if (projected) { // q/w is read only by projected coordinates
                    G.q[0] = q;
                    G.q[1] = G.q[0] + dxQ;
                    G.q[2] = G.q[1] + dxQ;
                    G.q[3] = G.q[2] + dxQ;
                    q = G.q[3] + dxQ;
                }
                G.lanes = 4;
                G.contiguous = true;
                G.target[0] = target;
                G.depth[0] = depth;
                ++readyCount;
                x += 4;
                target += 16;
                depth += kDepth ? 16 : 0;
                continue;
            }
            G.p[waiting] = position;
            G.c[waiting] = color;
            if (projected)
                G.q[waiting] = q;
            G.target[waiting] = target;
            G.depth[waiting] = depth;
            firstRow = waiting == 0 ? y : firstRow;
            lastRow = y;
            position = _mm_add_ps(position, dxP);
            color = _mm_add_ps(color, dxC);
            q += projected ? dxQ : 0.0f;
            ++x;
            target += 4;
            depth += kDepth ? 4 : 0;
            if (++waiting == 4) {
                G.lanes = 4;
                G.contiguous = firstRow == lastRow;
                waiting = 0;
                ++readyCount;
            }
        }
        if (done) { // the pixels still waiting make the last group, beside empty ones
            if (waiting > 0) {
                Group& G = ready[readyCount++];
                G.lanes = waiting;
                G.contiguous = firstRow == lastRow;
            }
            if (readyCount == 0)
                break;
            for (int g = readyCount; g < kGroups; ++g) {
                Group& G = ready[g];
                G.lanes = 0;
                G.contiguous = true;
                G.target[0] = G.depth[0] = nullptr;
            }
        }
        shade(ready);
    }
}

// The row functions of every specialisation: depth, texture, level of detail, flat shading.
constexpr Raster::RowsFunction kRows[16] = {
    &FastRows<false, false, false, false>, &FastRows<false, false, false, true>, &FastRows<false, false, true, false>,
    &FastRows<false, false, true, true>,   &FastRows<false, true, false, false>, &FastRows<false, true, false, true>,
    &FastRows<false, true, true, false>,   &FastRows<false, true, true, true>,   &FastRows<true, false, false, false>,
    &FastRows<true, false, false, true>,   &FastRows<true, false, true, false>,  &FastRows<true, false, true, true>,
    &FastRows<true, true, false, false>,   &FastRows<true, true, false, true>,   &FastRows<true, true, true, false>,
    &FastRows<true, true, true, true>,
};
