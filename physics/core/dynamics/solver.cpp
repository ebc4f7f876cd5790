#include "physics/core/dynamics/solver.h"

#include <bit>
#include <cfloat>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <initializer_list>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "physics/core/context/context.h"
#include "physics/core/context/dynamics.h"
#include "physics/core/context/joint.h"
#include "physics/core/context/manager.h"
#include "physics/core/context/pipeline.h"
#include "physics/core/dynamics/integrate.h"
#include "physics/core/dynamics/jointrows.h"
#include "physics/core/utils/math.h"

namespace {

constexpr float kFrictionTurn = 0.70710677f;

// ---- shared pieces of both kernel codings -------------------------------------------------

void ResetPass(OvpRowGroup* groups, OvUInt32 first, OvUInt32 count, OvUInt32 pass) {
    for (OvUInt32 g = first; g < first + count; ++g) {
        OvpRowGroup& G = groups[g];
        for (int l = 0; l < 4; ++l) {
            G.value[l] = 0.0f;
            G.residual[l] = G.start[pass][l];
            G.aboveLo[l] = G.lo[pass][l] < 0.0f ? ~0u : 0u;
            G.belowHi[l] = G.hi[pass][l] > 0.0f ? ~0u : 0u;
        }
    }
}

// The clamped update of one row; fills dy[side][6] with its bodies' weighted velocity change.
float UpdateValue(OvpRowGroup& G, int l, OvUInt32 pass) {
    const float old = G.value[l];
    float v = old - G.residual[l];
    const float lo = G.lo[pass][l], hi = G.hi[pass][l];
    if (v < lo) {
        v = lo;
    }
    if (v > hi) {
        v = hi;
    }
    G.value[l] = v;
    G.aboveLo[l] = v > lo ? ~0u : 0u;
    G.belowHi[l] = v < hi ? ~0u : 0u;
    const float delta = v - old;
    G.residual[l] += G.softness[l] * delta;
    return delta;
}

void AddToBody(OvpSolverBody& b, const float* dy) {
    b.y[0] += dy[0];
    b.y[1] += dy[1];
    b.y[2] += dy[2];
    b.y[4] += dy[3];
    b.y[5] += dy[4];
    b.y[6] += dy[5];
}

float Dot6(const float (*w)[4], int l, const float* d) {
    return ((((w[0][l] * d[0] + w[1][l] * d[1]) + w[2][l] * d[2]) + w[3][l] * d[3]) + w[4][l] * d[4]) + w[5][l] * d[5];
}

// ---- scalar coding ----------------------------------------------------------------------

void BuildGroupScalar(OvpRowGroup& G, const OvpSolverBody* bodies, float dt) {
    for (int l = 0; l < 4; ++l) {
        float jb[2];
        for (int s = 0; s < 2; ++s) {
            float* w[6];
            for (int k = 0; k < 6; ++k) {
                w[k] = &G.wj[s][k][l];
            }
            if (G.body[s] < 0) {
                for (int k = 0; k < 6; ++k) {
                    G.j[s][k][l] = 0.0f;
                    *w[k] = 0.0f;
                }
                continue;
            }
            const OvpSolverBody& B = bodies[G.body[s]];
            const float rm = B.w[0][3];
            const float a0 = G.j[s][3][l], a1 = G.j[s][4][l], a2 = G.j[s][5][l];
            *w[0] = G.j[s][0][l] * rm;
            *w[1] = G.j[s][1][l] * rm;
            *w[2] = G.j[s][2][l] * rm;
            *w[3] = (B.w[0][0] * a0 + B.w[0][1] * a1) + B.w[0][2] * a2;
            *w[4] = (B.w[1][0] * a0 + B.w[1][1] * a1) + B.w[1][2] * a2;
            *w[5] = (B.w[2][0] * a0 + B.w[2][1] * a1) + B.w[2][2] * a2;
        }
        float d = 0.0f;
        for (int s = 0; s < 2; ++s) {
            for (int k = 0; k < 6; ++k) {
                d = d + G.wj[s][k][l] * G.wj[s][k][l];
            }
        }
        const float extra = G.softness[l] / dt;
        d = d + extra;
        const bool nonzero = d != 0.0f;
        const float root = nonzero ? std::sqrt(d) : 0.0f;
        const float inv = nonzero ? 1.0f / root : 0.0f;
        const float share = nonzero ? extra / d : 0.0f;
        for (int s = 0; s < 2; ++s) {
            for (int k = 0; k < 6; ++k) {
                G.j[s][k][l] = G.j[s][k][l] * inv;
                G.wj[s][k][l] = G.wj[s][k][l] * inv;
            }
        }
        G.bias[l] = G.bias[l] * inv;
        G.error[l] = G.error[l] * inv;
        for (int p = 0; p < 2; ++p) {
            const float lo = G.lo[p][l], hi = G.hi[p][l];
            G.lo[p][l] = (lo == -FLT_MAX || lo == FLT_MAX) ? lo : lo * root;
            G.hi[p][l] = (hi == -FLT_MAX || hi == FLT_MAX) ? hi : hi * root;
        }
        G.softness[l] = share;
        for (int s = 0; s < 2; ++s) {
            const float* b = G.body[s] >= 0 ? bodies[G.body[s]].b : nullptr;
            const float zero[8] = {};
            const float* v = b != nullptr ? b : zero;
            const float dv[6] = {v[0], v[1], v[2], v[4], v[5], v[6]};
            jb[s] = Dot6(G.j[s], l, dv);
        }
        G.start[0][l] = G.error[l] * G.erp[l];
        G.start[1][l] = (jb[0] + jb[1]) - (G.bias[l] - G.factor[l] * G.error[l] / dt) / dt;
    }
}

void UpdateResidualsScalar(OvpRowGroup* groups, const OvpSolverBody& B, const OvpBodyRow* lists, const float* dy) {
    for (OvUInt32 e = B.listStart; e < B.listStart + B.listCount; ++e) {
        OvpRowGroup& H = groups[lists[e].group];
        const float(*w)[4] = H.wj[lists[e].side];
        for (int l = 0; l < 4; ++l) {
            H.residual[l] += Dot6(w, l, dy);
        }
    }
}

void ApplyRow(OvpRowGroup* groups, OvUInt32 g, int l, OvpSolverBody* bodies, const OvpBodyRow* lists, OvUInt32 pass,
              void (*update)(OvpRowGroup*, const OvpSolverBody&, const OvpBodyRow*, const float*)) {
    OvpRowGroup& G = groups[g];
    const float delta = UpdateValue(G, l, pass);
    for (int s = 0; s < 2; ++s) {
        if (G.body[s] < 0) {
            continue;
        }
        float dy[6];
        for (int k = 0; k < 6; ++k) {
            dy[k] = G.wj[s][k][l] * delta;
        }
        OvpSolverBody& B = bodies[G.body[s]];
        AddToBody(B, dy);
        update(groups, B, lists, dy);
    }
}

#if defined(__SSE2__)

void UpdateResidualsSse(OvpRowGroup* groups, const OvpSolverBody& B, const OvpBodyRow* lists, const float* dy) {
    const __m128 d0 = _mm_set1_ps(dy[0]), d1 = _mm_set1_ps(dy[1]), d2 = _mm_set1_ps(dy[2]);
    const __m128 d3 = _mm_set1_ps(dy[3]), d4 = _mm_set1_ps(dy[4]), d5 = _mm_set1_ps(dy[5]);
    for (OvUInt32 e = B.listStart; e < B.listStart + B.listCount; ++e) {
        OvpRowGroup& H = groups[lists[e].group];
        const float(*w)[4] = H.wj[lists[e].side];
        __m128 s = _mm_add_ps(_mm_mul_ps(_mm_load_ps(w[0]), d0), _mm_mul_ps(_mm_load_ps(w[1]), d1));
        s = _mm_add_ps(s, _mm_mul_ps(_mm_load_ps(w[2]), d2));
        s = _mm_add_ps(s, _mm_mul_ps(_mm_load_ps(w[3]), d3));
        s = _mm_add_ps(s, _mm_mul_ps(_mm_load_ps(w[4]), d4));
        s = _mm_add_ps(s, _mm_mul_ps(_mm_load_ps(w[5]), d5));
        _mm_store_ps(H.residual, _mm_add_ps(_mm_load_ps(H.residual), s));
    }
}

__m128 Select(__m128 mask, __m128 a, __m128 b) { return _mm_or_ps(_mm_and_ps(mask, a), _mm_andnot_ps(mask, b)); }

void BuildGroupSse(OvpRowGroup& G, const OvpSolverBody* bodies, float dt) {
    const __m128 zero = _mm_setzero_ps();
    for (int s = 0; s < 2; ++s) {
        if (G.body[s] < 0) {
            for (int k = 0; k < 6; ++k) {
                _mm_store_ps(G.j[s][k], zero);
                _mm_store_ps(G.wj[s][k], zero);
            }
            continue;
        }
        const OvpSolverBody& B = bodies[G.body[s]];
        const __m128 rm = _mm_set1_ps(B.w[0][3]);
        const __m128 a0 = _mm_load_ps(G.j[s][3]), a1 = _mm_load_ps(G.j[s][4]), a2 = _mm_load_ps(G.j[s][5]);
        _mm_store_ps(G.wj[s][0], _mm_mul_ps(_mm_load_ps(G.j[s][0]), rm));
        _mm_store_ps(G.wj[s][1], _mm_mul_ps(_mm_load_ps(G.j[s][1]), rm));
        _mm_store_ps(G.wj[s][2], _mm_mul_ps(_mm_load_ps(G.j[s][2]), rm));
        for (int r = 0; r < 3; ++r) {
            const __m128 t = _mm_add_ps(_mm_mul_ps(_mm_set1_ps(B.w[r][0]), a0), _mm_mul_ps(_mm_set1_ps(B.w[r][1]), a1));
            _mm_store_ps(G.wj[s][3 + r], _mm_add_ps(t, _mm_mul_ps(_mm_set1_ps(B.w[r][2]), a2)));
        }
    }
    __m128 d = zero;
    for (int s = 0; s < 2; ++s) {
        for (int k = 0; k < 6; ++k) {
            const __m128 w = _mm_load_ps(G.wj[s][k]);
            d = _mm_add_ps(d, _mm_mul_ps(w, w));
        }
    }
    const __m128 vdt = _mm_set1_ps(dt);
    const __m128 extra = _mm_div_ps(_mm_load_ps(G.softness), vdt);
    d = _mm_add_ps(d, extra);
    const __m128 nonzero = _mm_cmpneq_ps(d, zero);
    const __m128 safe = Select(nonzero, d, _mm_set1_ps(1.0f));
    const __m128 root = _mm_and_ps(nonzero, _mm_sqrt_ps(safe));
    const __m128 inv = _mm_and_ps(nonzero, _mm_div_ps(_mm_set1_ps(1.0f), _mm_sqrt_ps(safe)));
    const __m128 share = _mm_and_ps(nonzero, _mm_div_ps(extra, safe));
    for (int s = 0; s < 2; ++s) {
        for (int k = 0; k < 6; ++k) {
            _mm_store_ps(G.j[s][k], _mm_mul_ps(_mm_load_ps(G.j[s][k]), inv));
            _mm_store_ps(G.wj[s][k], _mm_mul_ps(_mm_load_ps(G.wj[s][k]), inv));
        }
    }
    const __m128 bias = _mm_mul_ps(_mm_load_ps(G.bias), inv);
    const __m128 error = _mm_mul_ps(_mm_load_ps(G.error), inv);
    _mm_store_ps(G.bias, bias);
    _mm_store_ps(G.error, error);
    const __m128 big = _mm_set1_ps(FLT_MAX), nbig = _mm_set1_ps(-FLT_MAX);
    for (int p = 0; p < 2; ++p) {
        for (float* bound : {G.lo[p], G.hi[p]}) {
            const __m128 v = _mm_load_ps(bound);
            const __m128 infinite = _mm_or_ps(_mm_cmpeq_ps(v, big), _mm_cmpeq_ps(v, nbig));
            _mm_store_ps(bound, Select(infinite, v, _mm_mul_ps(v, root)));
        }
    }
    _mm_store_ps(G.softness, share);
    __m128 jb[2];
    for (int s = 0; s < 2; ++s) {
        const float zeroB[8] = {};
        const float* v = G.body[s] >= 0 ? bodies[G.body[s]].b : zeroB;
        __m128 t = _mm_add_ps(_mm_mul_ps(_mm_load_ps(G.j[s][0]), _mm_set1_ps(v[0])),
                              _mm_mul_ps(_mm_load_ps(G.j[s][1]), _mm_set1_ps(v[1])));
        t = _mm_add_ps(t, _mm_mul_ps(_mm_load_ps(G.j[s][2]), _mm_set1_ps(v[2])));
        t = _mm_add_ps(t, _mm_mul_ps(_mm_load_ps(G.j[s][3]), _mm_set1_ps(v[4])));
        t = _mm_add_ps(t, _mm_mul_ps(_mm_load_ps(G.j[s][4]), _mm_set1_ps(v[5])));
        jb[s] = _mm_add_ps(t, _mm_mul_ps(_mm_load_ps(G.j[s][5]), _mm_set1_ps(v[6])));
    }
    _mm_store_ps(G.start[0], _mm_mul_ps(error, _mm_load_ps(G.erp)));
    const __m128 target = _mm_sub_ps(bias, _mm_div_ps(_mm_mul_ps(_mm_load_ps(G.factor), error), vdt));
    _mm_store_ps(G.start[1], _mm_sub_ps(_mm_add_ps(jb[0], jb[1]), _mm_div_ps(target, vdt)));
}

#endif

} // namespace

// ---- kernels ------------------------------------------------------------------------------

void OvpSolverBuildScalar(OvpRowGroup* groups, OvUInt32 count, const OvpSolverBody* bodies, float dt) {
    for (OvUInt32 g = 0; g < count; ++g) {
        BuildGroupScalar(groups[g], bodies, dt);
    }
}

namespace {

// The selection tree: a tournament over the block's groups whose leaves hold each group's largest
// eligible violation (the first lane on ties) and whose inner nodes keep the larger child, the
// left one on ties. The root is then the row the scan in row order would pick: the largest
// violation, the first one found on ties.
struct Tree {
    OvpSelectTree& t;
    OvUInt32 first, count, size;

    static void Best(const float e[4], OvUInt32 g, float* value, OvInt32* row) {
        int lane = 0;
        for (int l = 1; l < 4; ++l) {
            if (e[l] > e[lane]) {
                lane = l;
            }
        }
        *value = e[lane];
        *row = static_cast<OvInt32>(g * 4 + static_cast<OvUInt32>(lane));
    }
    // Recomputes node n from its children; false when it did not change (nor will its ancestors).
    // Written without branches on the comparisons, which are as good as random. An unchanged
    // node is stored again: at most a zero's sign differs, which no comparison sees.
    bool Combine(OvUInt32 n) {
        const OvUInt32 l = 2 * n, r = l + 1;
        const float vl = t.value[l], vr = t.value[r];
        const OvUInt32 left = 0u - static_cast<OvUInt32>(vl >= vr);
        const float value =
            std::bit_cast<float>((std::bit_cast<OvUInt32>(vl) & left) | (std::bit_cast<OvUInt32>(vr) & ~left));
        const OvInt32 row =
            static_cast<OvInt32>((static_cast<OvUInt32>(t.row[l]) & left) | (static_cast<OvUInt32>(t.row[r]) & ~left));
        const bool same = (value == t.value[n]) & (row == t.row[n]);
        t.value[n] = value;
        t.row[n] = row;
        return !same;
    }
    template <typename Eligible> void Build(const OvpRowGroup* groups, Eligible eligible) {
        size = 1;
        while (size < count) {
            size *= 2;
        }
        for (OvUInt32 i = 0; i < size; ++i) {
            if (i < count) {
                float e[4];
                eligible(groups[first + i], e);
                Best(e, first + i, &t.value[size + i], &t.row[size + i]);
            } else {
                t.value[size + i] = -1.0f;
                t.row[size + i] = -1;
            }
        }
        for (OvUInt32 n = size - 1; n >= 1; --n) {
            Combine(n);
        }
    }
    // Groups whose leaves changed leave their parents here, in ascending order; the ancestors are
    // then recombined a level at a time, each node once however many of its leaves changed.
    // The nodes end as they would after refreshing the groups one by one: each is a function of
    // the leaves alone.
    static constexpr OvUInt32 kPending = 64;
    OvUInt32 pending[kPending];
    OvUInt32 pendingCount = 0;

    void Propagate() {
        OvUInt32 n = pendingCount;
        while (n != 0) {
            OvUInt32 m = 0;
            for (OvUInt32 i = 0; i < n; ++i) {
                const OvUInt32 node = pending[i];
                const bool changed = Combine(node);
                const bool fresh = m == 0 || pending[m - 1] != node / 2;
                pending[m] = node / 2; // m <= i: the entry is read already
                m += static_cast<OvUInt32>(changed & (node > 1) & fresh);
            }
            n = m;
        }
        pendingCount = 0;
    }
    // Renews group g's leaf; its groups must come in ascending order until the next Propagate.
    template <typename Eligible> void Refresh(const OvpRowGroup* groups, OvUInt32 g, Eligible eligible) {
        if (g < first || g >= first + count) {
            return;
        }
        float e[4], value;
        OvInt32 row;
        eligible(groups[g], e);
        Best(e, g, &value, &row);
        const OvUInt32 n = size + (g - first);
        if (value == t.value[n] && row == t.row[n]) {
            return;
        }
        t.value[n] = value;
        t.row[n] = row;
        if (pendingCount != 0 && pending[pendingCount - 1] == n / 2) {
            return;
        }
        if (pendingCount == kPending) {
            Propagate();
        }
        pending[pendingCount++] = n / 2;
    }
    // Renews the leaves of group g and of every group sharing a body with it (the bodies' lists
    // are in ascending group order: they are merged), then the ancestors.
    template <typename Eligible>
    void RefreshAround(const OvpRowGroup* groups, OvUInt32 g, const OvpSolverBody* bodies, const OvpBodyRow* lists,
                       Eligible eligible) {
        const OvpBodyRow *a = lists, *aEnd = lists, *b = lists, *bEnd = lists;
        if (groups[g].body[0] >= 0) {
            const OvpSolverBody& B = bodies[groups[g].body[0]];
            a = lists + B.listStart, aEnd = a + B.listCount;
        }
        if (groups[g].body[1] >= 0) {
            const OvpSolverBody& B = bodies[groups[g].body[1]];
            b = lists + B.listStart, bEnd = b + B.listCount;
        }
        bool own = false; // g itself refreshed
        for (;;) {
            OvUInt32 next = ~0u;
            if (a != aEnd) {
                next = a->group;
            }
            if (b != bEnd && b->group < next) {
                next = b->group;
            }
            if (!own && g <= next) {
                next = g;
            }
            if (next == ~0u) {
                break;
            }
            own = own || next == g;
            while (a != aEnd && a->group == next) {
                ++a;
            }
            while (b != bEnd && b->group == next) {
                ++b;
            }
            Refresh(groups, next, eligible);
        }
        Propagate();
    }
};

void EligibleScalar(const OvpRowGroup& G, float e[4]) {
    for (int l = 0; l < 4; ++l) {
        const float r = G.residual[l];
        e[l] = (r > 0.0f && G.aboveLo[l]) ? r : (r < 0.0f && G.belowHi[l]) ? -r : 0.0f;
    }
}

// The greedy loop shared by both codings: select at the root, update the row, refresh the groups
// whose residuals changed.
// Blocks up to this many groups are scanned whole every iteration; larger ones keep the tree.
constexpr OvUInt32 kScanGroups = 512;

// The same selection by scanning every group in order (the first largest violation).
OvInt32 ScanScalar(const OvpRowGroup* groups, OvUInt32 first, OvUInt32 count, float tolerance) {
    float threshold = tolerance;
    OvInt32 best = -1;
    for (OvUInt32 g = first; g < first + count; ++g) {
        const OvpRowGroup& G = groups[g];
        for (int l = 0; l < 4; ++l) {
            const float r = G.residual[l];
            if ((r > threshold && G.aboveLo[l]) || (r < -threshold && G.belowHi[l])) {
                best = static_cast<OvInt32>(g * 4 + static_cast<OvUInt32>(l));
                threshold = std::fabs(r);
            }
        }
    }
    return best;
}

template <typename Eligible, typename ScanFn, typename Update>
OvUInt32 Solve(OvpRowGroup* groups, OvUInt32 first, OvUInt32 count, OvpSolverBody* bodies, const OvpBodyRow* lists,
               OvUInt32 pass, float tolerance, OvUInt32 iterations, OvpSelectTree* select, Eligible eligible,
               ScanFn scan, Update update) {
    if (count <= kScanGroups || select == nullptr || OvpSelectTreeNodes(count) > select->capacity) {
        OvUInt32 used = 0;
        for (; used < iterations; ++used) {
            const OvInt32 row = scan(groups, first, count, tolerance);
            if (row < 0) {
                break;
            }
            ApplyRow(groups, static_cast<OvUInt32>(row) / 4, row % 4, bodies, lists, pass, update);
        }
        return used;
    }
    Tree tree{*select, first, count, 1, {}, 0};
    tree.Build(groups, eligible);
    OvUInt32 used = 0;
    while (used < iterations && select->value[1] > tolerance) {
        const OvUInt32 row = static_cast<OvUInt32>(select->row[1]);
        const OvUInt32 g = row / 4;
        ApplyRow(groups, g, static_cast<int>(row % 4), bodies, lists, pass, update);
        tree.RefreshAround(groups, g, bodies, lists, eligible);
        ++used;
    }
    return used;
}

} // namespace

OvUInt32 OvpSelectTreeNodes(OvUInt32 groups) {
    if (groups > (1u << 30)) {
        return 0xFFFFFFFFu; // more nodes than a count holds: no tree is kept
    }
    OvUInt32 size = 1;
    while (size < groups) {
        size *= 2;
    }
    return 2 * size;
}

OvUInt32 OvpSolverRowsScalar(OvpRowGroup* groups, OvUInt32 first, OvUInt32 count, OvpSolverBody* bodies,
                             const OvpBodyRow* lists, OvUInt32 pass, float tolerance, OvUInt32 iterations,
                             OvpSelectTree* tree) {
    return Solve(groups, first, count, bodies, lists, pass, tolerance, iterations, tree, EligibleScalar, ScanScalar,
                 UpdateResidualsScalar);
}

#if defined(__SSE2__)

namespace {

__m128 EligibleSse(const OvpRowGroup& G) {
    const __m128 zero = _mm_setzero_ps();
    const __m128 r = _mm_load_ps(G.residual);
    const __m128 above = _mm_load_ps(reinterpret_cast<const float*>(G.aboveLo));
    const __m128 below = _mm_load_ps(reinterpret_cast<const float*>(G.belowHi));
    const __m128 up = _mm_and_ps(_mm_cmpgt_ps(r, zero), above);
    const __m128 down = _mm_and_ps(_mm_cmplt_ps(r, zero), below);
    return _mm_or_ps(_mm_and_ps(up, r), _mm_and_ps(down, _mm_xor_ps(r, _mm_set1_ps(-0.0f))));
}

// Groups per entry of the block maxima of a scanned block.
constexpr OvUInt32 kLaneBlock = 8;
constexpr OvUInt32 kLaneBlocks = (kScanGroups + kLaneBlock - 1) / kLaneBlock;
static_assert(kLaneBlocks <= 64, "one bit per block maximum");

// The residual update of UpdateResidualsSse that also renews the violations of the block's
// groups it touches, marking their maxima for renewal.
void UpdateResidualsLanesSse(OvpRowGroup* groups, const OvpSolverBody& B, const OvpBodyRow* lists, const float* dy,
                             OvpViolations* lanes, OvUInt32 first, OvUInt32 count, std::uint64_t* dirty) {
    const __m128 d0 = _mm_set1_ps(dy[0]), d1 = _mm_set1_ps(dy[1]), d2 = _mm_set1_ps(dy[2]);
    const __m128 d3 = _mm_set1_ps(dy[3]), d4 = _mm_set1_ps(dy[4]), d5 = _mm_set1_ps(dy[5]);
    for (OvUInt32 e = B.listStart; e < B.listStart + B.listCount; ++e) {
        const OvUInt32 g = lists[e].group;
        OvpRowGroup& H = groups[g];
        const float(*w)[4] = H.wj[lists[e].side];
        __m128 s = _mm_add_ps(_mm_mul_ps(_mm_load_ps(w[0]), d0), _mm_mul_ps(_mm_load_ps(w[1]), d1));
        s = _mm_add_ps(s, _mm_mul_ps(_mm_load_ps(w[2]), d2));
        s = _mm_add_ps(s, _mm_mul_ps(_mm_load_ps(w[3]), d3));
        s = _mm_add_ps(s, _mm_mul_ps(_mm_load_ps(w[4]), d4));
        s = _mm_add_ps(s, _mm_mul_ps(_mm_load_ps(w[5]), d5));
        _mm_store_ps(H.residual, _mm_add_ps(_mm_load_ps(H.residual), s));
        if (g - first < count) {
            _mm_store_ps(lanes[g - first].lane, EligibleSse(H));
            *dirty |= std::uint64_t(1) << ((g - first) / kLaneBlock);
        }
    }
}

// The greedy loop of a block scanned whole, over its groups' violations kept densely: the same
// rows as the scan of the groups themselves, in the same order (the largest violation above the
// tolerance, the first row showing it), found as the maximum over the maxima of eight groups at
// a time, then its first place.
OvUInt32 ScanSolveSse(OvpRowGroup* groups, OvUInt32 first, OvUInt32 count, OvpSolverBody* bodies,
                      const OvpBodyRow* lists, OvUInt32 pass, float tolerance, OvUInt32 iterations,
                      OvpViolations* lanes) {
    const OvUInt32 blocks = (count + kLaneBlock - 1) / kLaneBlock;
    __m128 blockMax[kLaneBlocks];
    const auto renew = [&](OvUInt32 b) {
        const OvUInt32 end = (b + 1) * kLaneBlock < count ? (b + 1) * kLaneBlock : count;
        __m128 m = _mm_setzero_ps();
        for (OvUInt32 g = b * kLaneBlock; g < end; ++g) {
            m = _mm_max_ps(m, _mm_load_ps(lanes[g].lane));
        }
        blockMax[b] = m;
    };
    for (OvUInt32 g = 0; g < count; ++g) {
        _mm_store_ps(lanes[g].lane, EligibleSse(groups[first + g]));
    }
    for (OvUInt32 b = 0; b < blocks; ++b) {
        renew(b);
    }

    // Small blocks take their maximum straight from the groups.
    const bool direct = blocks <= 8;
    const __m128* from = direct ? reinterpret_cast<const __m128*>(lanes) : blockMax;
    const OvUInt32 entries = direct ? count : blocks;
    OvUInt32 used = 0;
    for (; used < iterations; ++used) {
        __m128 m0 = _mm_setzero_ps(), m1 = m0;
        OvUInt32 b = 0;
        for (; b + 1 < entries; b += 2) {
            m0 = _mm_max_ps(m0, from[b]);
            m1 = _mm_max_ps(m1, from[b + 1]);
        }
        if (b < entries) {
            m0 = _mm_max_ps(m0, from[b]);
        }
        __m128 m = _mm_max_ps(m0, m1);
        m = _mm_max_ps(m, _mm_shuffle_ps(m, m, _MM_SHUFFLE(1, 0, 3, 2)));
        m = _mm_max_ps(m, _mm_shuffle_ps(m, m, _MM_SHUFFLE(2, 3, 0, 1)));
        if (!(_mm_cvtss_f32(m) > tolerance)) {
            break;
        }
        // The first block holding the maximum, then its first group and lane.
        b = 0;
        while (!direct && b < blocks && _mm_movemask_ps(_mm_cmpeq_ps(blockMax[b], m)) == 0) {
            ++b;
        }
        OvInt32 best = -1;
        for (OvUInt32 g = b * kLaneBlock; g < count && best < 0; ++g) {
            const int hit = _mm_movemask_ps(_mm_cmpeq_ps(_mm_load_ps(lanes[g].lane), m));
            if (hit != 0) {
                best =
                    static_cast<OvInt32>(g * 4 + static_cast<OvUInt32>(std::countr_zero(static_cast<unsigned>(hit))));
            }
        }
        if (best < 0) {
            break;
        }
        const OvUInt32 gi = first + static_cast<OvUInt32>(best) / 4;
        const int l = best % 4;
        OvpRowGroup& G = groups[gi];
        const float delta = UpdateValue(G, l, pass);
        std::uint64_t dirty = std::uint64_t(1) << ((gi - first) / kLaneBlock);
        for (int side = 0; side < 2; ++side) {
            if (G.body[side] < 0) {
                continue;
            }
            float dy[6];
            for (int k = 0; k < 6; ++k) {
                dy[k] = G.wj[side][k][l] * delta;
            }
            OvpSolverBody& B = bodies[G.body[side]];
            AddToBody(B, dy);
            UpdateResidualsLanesSse(groups, B, lists, dy, lanes, first, count, &dirty);
        }
        _mm_store_ps(lanes[gi - first].lane, EligibleSse(G));
        while (!direct && dirty != 0) {
            renew(static_cast<OvUInt32>(std::countr_zero(dirty)));
            dirty &= dirty - 1;
        }
    }
    return used;
}

} // namespace

void OvpSolverBuildSse(OvpRowGroup* groups, OvUInt32 count, const OvpSolverBody* bodies, float dt) {
    for (OvUInt32 g = 0; g < count; ++g) {
        BuildGroupSse(groups[g], bodies, dt);
    }
}

OvUInt32 OvpSolverRowsSse(OvpRowGroup* groups, OvUInt32 first, OvUInt32 count, OvpSolverBody* bodies,
                          const OvpBodyRow* lists, OvUInt32 pass, float tolerance, OvUInt32 iterations,
                          OvpSelectTree* tree) {
    const auto eligible = [](const OvpRowGroup& G, float e[4]) {
        const __m128 zero = _mm_setzero_ps();
        const __m128 r = _mm_load_ps(G.residual);
        const __m128 above = _mm_load_ps(reinterpret_cast<const float*>(G.aboveLo));
        const __m128 below = _mm_load_ps(reinterpret_cast<const float*>(G.belowHi));
        const __m128 up = _mm_and_ps(_mm_cmpgt_ps(r, zero), above);
        const __m128 down = _mm_and_ps(_mm_cmplt_ps(r, zero), below);
        _mm_storeu_ps(e, _mm_or_ps(_mm_and_ps(up, r), _mm_and_ps(down, _mm_xor_ps(r, _mm_set1_ps(-0.0f)))));
    };
    const auto scan = [](const OvpRowGroup* groups, OvUInt32 first, OvUInt32 count, float tolerance) {
        // Per lane: the largest eligible violation and the first group showing it; then the
        // largest over the lanes, the first row on ties.
        const __m128 zero = _mm_setzero_ps();
        const __m128 sign = _mm_set1_ps(-0.0f);
        __m128 threshold = _mm_set1_ps(tolerance);
        __m128i bestGroup = _mm_set1_epi32(-1);
        for (OvUInt32 g = first; g < first + count; ++g) {
            const OvpRowGroup& G = groups[g];
            const __m128 r = _mm_load_ps(G.residual);
            const __m128 above = _mm_load_ps(reinterpret_cast<const float*>(G.aboveLo));
            const __m128 below = _mm_load_ps(reinterpret_cast<const float*>(G.belowHi));
            const __m128 up = _mm_and_ps(_mm_cmpgt_ps(r, zero), above);
            const __m128 down = _mm_and_ps(_mm_cmplt_ps(r, zero), below);
            const __m128 e = _mm_or_ps(_mm_and_ps(up, r), _mm_and_ps(down, _mm_xor_ps(r, sign)));
            const __m128 better = _mm_cmpgt_ps(e, threshold);
            threshold = Select(better, e, threshold);
            const __m128i m = _mm_castps_si128(better);
            bestGroup =
                _mm_or_si128(_mm_and_si128(m, _mm_set1_epi32(static_cast<int>(g))), _mm_andnot_si128(m, bestGroup));
        }
        alignas(16) float lane[4];
        alignas(16) OvInt32 lg[4];
        _mm_store_ps(lane, threshold);
        _mm_store_si128(reinterpret_cast<__m128i*>(lg), bestGroup);
        OvInt32 best = -1;
        float top = 0.0f;
        for (int l = 0; l < 4; ++l) {
            if (lg[l] < 0) {
                continue;
            }
            const OvInt32 row = lg[l] * 4 + l;
            if (best < 0 || lane[l] > top || (lane[l] == top && row < best)) {
                best = row;
                top = lane[l];
            }
        }
        return best;
    };
    if (count <= kScanGroups && tree != nullptr && tree->violations != nullptr && count <= tree->laneCapacity) {
        return ScanSolveSse(groups, first, count, bodies, lists, pass, tolerance, iterations, tree->violations);
    }
    return Solve(groups, first, count, bodies, lists, pass, tolerance, iterations, tree, eligible, scan,
                 UpdateResidualsSse);
}

#else

void OvpSolverBuildSse(OvpRowGroup* groups, OvUInt32 count, const OvpSolverBody* bodies, float dt) {
    OvpSolverBuildScalar(groups, count, bodies, dt);
}

OvUInt32 OvpSolverRowsSse(OvpRowGroup* groups, OvUInt32 first, OvUInt32 count, OvpSolverBody* bodies,
                          const OvpBodyRow* lists, OvUInt32 pass, float tolerance, OvUInt32 iterations,
                          OvpSelectTree* tree) {
    return OvpSolverRowsScalar(groups, first, count, bodies, lists, pass, tolerance, iterations, tree);
}

#endif

void OvpSolverGetKernels(OvUInt32 mode, OvpBuildKernel* build, OvpRowKernel* rows) {
    *build = mode == 2 ? OvpSolverBuildSse : OvpSolverBuildScalar;
    *rows = mode == 2 ? OvpSolverRowsSse : OvpSolverRowsScalar;
}

// ---- rows into groups -----------------------------------------------------------------------

OvUInt32 OvpSolverPackRows(OvpRowGroup* groups, const OvpRow* rows, OvUInt32 count, OvUInt32 constraint) {
    const OvUInt32 used = (count + 3) / 4;
    static const OvpRow pad = OvpRowTemplate();
    for (OvUInt32 g = 0; g < used; ++g) {
        OvpRowGroup& G = groups[g];
        std::memset(&G, 0, sizeof(G));
        G.body[0] = rows[0].body[0];
        G.body[1] = rows[0].body[1];
        const bool fold = G.body[0] >= 0 && G.body[0] == G.body[1];
        G.constraint = constraint;
        for (int l = 0; l < 4; ++l) {
            const OvUInt32 i = g * 4 + static_cast<OvUInt32>(l);
            const OvpRow& r = i < count ? rows[i] : pad;
            for (int k = 0; k < 3; ++k) {
                G.j[0][k][l] = r.linA[k];
                G.j[0][3 + k][l] = r.angA[k];
                G.j[1][k][l] = r.linB[k];
                G.j[1][3 + k][l] = r.angB[k];
                if (fold) {
                    // Both ends on one body: its Jacobian is the sum of the two.
                    G.j[0][k][l] += r.linB[k];
                    G.j[0][3 + k][l] += r.angB[k];
                    G.j[1][k][l] = G.j[1][3 + k][l] = 0.0f;
                }
            }
            G.error[l] = r.error;
            G.bias[l] = r.bias;
            G.softness[l] = r.softness;
            G.factor[l] = r.factor;
            G.erp[l] = r.erp;
            for (int p = 0; p < 2; ++p) {
                G.lo[p][l] = r.lo[p];
                G.hi[p][l] = r.hi[p];
            }
        }
        if (fold) {
            G.body[1] = -1;
        }
    }
    return used;
}

void OvpSolverBuildLists(const OvpRowGroup* groups, OvUInt32 groupCount, OvpSolverBody* bodies, OvUInt32 bodyCount,
                         OvpBodyRow* lists) {
    for (OvUInt32 b = 0; b < bodyCount; ++b) {
        bodies[b].listCount = 0;
    }
    for (OvUInt32 g = 0; g < groupCount; ++g) {
        for (int s = 0; s < 2; ++s) {
            if (groups[g].body[s] >= 0) {
                ++bodies[groups[g].body[s]].listCount;
            }
        }
    }
    OvUInt32 offset = 0;
    for (OvUInt32 b = 0; b < bodyCount; ++b) {
        bodies[b].listStart = offset;
        offset += bodies[b].listCount;
        bodies[b].listCount = 0;
    }
    for (OvUInt32 g = 0; g < groupCount; ++g) {
        for (OvUInt32 s = 0; s < 2; ++s) {
            if (groups[g].body[s] >= 0) {
                OvpSolverBody& B = bodies[groups[g].body[s]];
                lists[B.listStart + B.listCount++] = {g, s};
            }
        }
    }
}

// ---- bodies ---------------------------------------------------------------------------------

namespace {

// out = R^T S R v for the rotation rows R of the body matrix and the stored body-frame rows S.
OvV3d WorldApply(const OvMatrix& body, const OvpMatrix3& s, const OvV3d& v) {
    const OvV3d local = {OvpDot(body.right, v), OvpDot(body.up, v), OvpDot(body.at, v)};
    const OvV3d r = {(s.m[0][0] * local.x + s.m[0][1] * local.y) + s.m[0][2] * local.z,
                     (s.m[1][0] * local.x + s.m[1][1] * local.y) + s.m[1][2] * local.z,
                     (s.m[2][0] * local.x + s.m[2][1] * local.y) + s.m[2][2] * local.z};
    return OvpAdd(OvpAdd(OvpScale(body.right, r.x), OvpScale(body.up, r.y)), OvpScale(body.at, r.z));
}

OvV3d MulW(const float (*w)[4], const OvV3d& v) {
    return {(w[0][0] * v.x + w[0][1] * v.y) + w[0][2] * v.z, (w[1][0] * v.x + w[1][1] * v.y) + w[1][2] * v.z,
            (w[2][0] * v.x + w[2][1] * v.y) + w[2][2] * v.z};
}

OvV3d Lin(const float* v) { return {v[0], v[1], v[2]}; }
OvV3d Ang(const float* v) { return {v[4], v[5], v[6]}; }

// Gravity and damping into the body's accumulator.
void AddExternal(const OvpPipeline* p, const OvpDyn* dyn) {
    OvpBodyArrays* b = dyn->manager->bodies;
    const OvUInt32 i = dyn->body;
    float* acc = b->impulses[i];
    const float* v = b->velocities[i];
    const float m = b->mass[i].m[0][3];
    const bool full = (b->flags[i] & ovpBODY_FULLINERTIA) != 0;
    const OvV3d force = OvpSub(OvpScale(p->gravity, m), OvpScale(Lin(v), m * dyn->linearDamping));
    const OvV3d inertiaW = full ? WorldApply(b->matrices[i], b->mass[i], Ang(v)) : OvpScale(Ang(v), b->mass[i].m[2][3]);
    const OvV3d torque = OvpScale(inertiaW, -dyn->angularDamping);
    acc[0] += force.x, acc[1] += force.y, acc[2] += force.z;
    acc[4] += torque.x, acc[5] += torque.y, acc[6] += torque.z;
}

} // namespace

void OvpSolverSetUpBody(OvpSolverBody* out, OvpBodyArrays* b, OvUInt32 i, float dt) {
    const OvMatrix& body = b->matrices[i];
    const bool full = (b->flags[i] & ovpBODY_FULLINERTIA) != 0;
    float* acc = b->impulses[i];
    const float* v = b->velocities[i];
    std::memset(out, 0, sizeof(*out));
    out->index = i;
    if (full) {
        const OvV3d R[3] = {body.right, body.up, body.at};
        const OvpMatrix3& a = b->invRoot[i];
        for (int r = 0; r < 3; ++r) {
            for (int c = 0; c < 3; ++c) {
                float s = 0.0f;
                for (int k = 0; k < 3; ++k) {
                    const float t = (a.m[k][0] * OvpComponent(R[0], c) + a.m[k][1] * OvpComponent(R[1], c)) +
                                    a.m[k][2] * OvpComponent(R[2], c);
                    s += OvpComponent(R[k], r) * t;
                }
                out->w[r][c] = s;
            }
        }
        // Gyroscopic torque, scaled so that it adds no rotational energy over the step.
        const OvV3d w = Ang(v);
        const OvV3d L = WorldApply(body, b->mass[i], w);
        OvV3d c = OvpCross(L, w);
        const float c2 = OvpDot(c, c);
        if (c2 > FLT_MIN) {
            const float e = std::sqrt(c2) * OvpDot(w, w) * dt * dt * 0.25f;
            const float energy = OvpDot(w, L) * 0.5f;
            if (e > FLT_MIN && energy > FLT_MIN) {
                const float s = std::sqrt((e + energy) / energy);
                c = OvpScale(OvpAdd(c, OvpScale(L, (1.0f - s) / dt)), 1.0f / s);
            }
            acc[4] += c.x, acc[5] += c.y, acc[6] += c.z;
        }
    } else {
        const float r = b->invRoot[i].m[2][3];
        out->w[0][0] = out->w[1][1] = out->w[2][2] = r;
    }
    const float rm = b->invRoot[i].m[0][3];
    out->w[0][3] = rm;
    const OvV3d lin = OvpAdd(OvpScale(Lin(v), 1.0f / dt), OvpScale(Lin(acc), rm * rm));
    const OvV3d ang = OvpAdd(OvpScale(Ang(v), 1.0f / dt), MulW(out->w, MulW(out->w, Ang(acc))));
    out->b[0] = lin.x, out->b[1] = lin.y, out->b[2] = lin.z;
    out->b[4] = ang.x, out->b[5] = ang.y, out->b[6] = ang.z;
}

OvUInt32 OvpSolverSolveBlocks(OvpRowKernel kernel, OvpRowGroup* groups, const OvUInt32* blockStart, OvUInt32 blocks,
                              OvpSolverBody* bodies, const OvpBodyRow* lists, OvUInt32 pass, float tolerance,
                              OvUInt32 iterations, OvpSelectTree* tree) {
    if (blocks == 0) {
        return 0;
    }
    const OvUInt32 first = blockStart[0], count = blockStart[blocks] - first;
    ResetPass(groups, first, count, pass);
    // Each block's floor first, so that a small island beside a large one is solved too. With
    // one block the floor is the start of the same greedy sequence.
    const OvUInt32 floor = iterations / blocks < 3 ? iterations / blocks : 3;
    OvUInt32 used = 0;
    if (blocks > 1 && floor > 0) {
        for (OvUInt32 k = 0; k < blocks; ++k) {
            const OvUInt32 size = blockStart[k + 1] - blockStart[k];
            used += size != 0 ? kernel(groups, blockStart[k], size, bodies, lists, pass, tolerance, floor, tree) : 0;
        }
    }
    // The rest of the pool, with what the blocks left of their floors, goes wherever the largest
    // violations of the batch are: islands too many for a floor each still get their updates.
    if (used < iterations && count != 0) {
        used += kernel(groups, first, count, bodies, lists, pass, tolerance, iterations - used, tree);
    }
    return used;
}

// ---- contact rows -----------------------------------------------------------------------------

namespace {

const OvpDyn* RefDyn(const OvpRef& r) {
    if (r.object == nullptr || r.part == ovpREFNONE) {
        return nullptr;
    }
    const OvpObj* o = r.object;
    if (o->manager == nullptr || o->slot == ovpSLOTNONE || !OvpBitTest(o->manager->active, o->slot)) {
        return nullptr;
    }
    const OvUInt16 part = r.part == ovpREFWHOLE ? 0 : r.part;
    return part < o->partCount ? o->parts[part].dyn : nullptr;
}

struct PointState {
    OvV3d rA, rB;
    OvV3d relative; // relative velocity of the point, first end against second, surfaces included
};

// Written in place: a row returned by value was copied back through memory just written a
// float at a time.
OvpRow& ContactRow(OvpRow& r, const PointState& ps, const OvV3d& d, OvInt32 bodyA, OvInt32 bodyB) {
    static const OvpRow kTemplate = OvpRowTemplate();
    r = kTemplate;
    r.body[0] = bodyA;
    r.body[1] = bodyB;
    if (bodyA >= 0) {
        const OvV3d a = OvpCross(ps.rA, d);
        r.linA[0] = d.x, r.linA[1] = d.y, r.linA[2] = d.z;
        r.angA[0] = a.x, r.angA[1] = a.y, r.angA[2] = a.z;
    }
    if (bodyB >= 0) {
        const OvV3d a = OvpCross(ps.rB, d);
        r.linB[0] = -d.x, r.linB[1] = -d.y, r.linB[2] = -d.z;
        r.angB[0] = -a.x, r.angB[1] = -a.y, r.angB[2] = -a.z;
    }
    return r;
}

OvV3d PointVelocity(const OvpDyn* dyn, const OvV3d& arm) {
    const float* v = dyn->manager->bodies->velocities[dyn->body];
    return OvpAdd(Lin(v), OvpCross(Ang(v), arm));
}

} // namespace

OvUInt32 OvpContactBuildRows(OvpRow* rows, const OvpContact* c, OvInt32 bodyA, OvInt32 bodyB, float scale,
                             float dt) {
    const OvpDyn* da = bodyA >= 0 ? RefDyn(c->ref[0]) : nullptr;
    const OvpDyn* db = bodyB >= 0 ? RefDyn(c->ref[1]) : nullptr;
    if (da == nullptr) {
        bodyA = -1;
    }
    if (db == nullptr) {
        bodyB = -1;
    }
    if (bodyA < 0 && bodyB < 0) {
        return 0;
    }
    const OvV3d n = c->normal;
    const OvUInt32 count = c->count < ovpCONTACTPOINTS ? c->count : ovpCONTACTPOINTS;
    const float share = count != 0 ? c->lastImpulse / static_cast<float>(count) : 0.0f;
    const float bound = share * c->friction * kFrictionTurn;
    OvUInt32 written = 0;
    for (OvUInt32 i = 0; i < count; ++i) {
        const OvpContactPoint& pt = c->points[i];
        const auto* mat = static_cast<const OvpContactMaterial*>(pt.material);
        if (mat != nullptr && (mat->flags & ovpMATERIAL_IGNORE)) {
            continue;
        }
        PointState ps{};
        OvV3d vA = {0.0f, 0.0f, 0.0f}, vB = {0.0f, 0.0f, 0.0f};
        if (da != nullptr) {
            ps.rA = OvpSub(pt.position, da->manager->bodies->matrices[da->body].pos);
            vA = PointVelocity(da, ps.rA);
        } else {
            vA = pt.surfaceVelocity; // the missing end moves with the surface
        }
        if (db != nullptr) {
            ps.rB = OvpSub(pt.position, db->manager->bodies->matrices[db->body].pos);
            vB = PointVelocity(db, ps.rB);
        }
        if (da != nullptr) {
            vB = OvpAdd(vB, pt.surfaceVelocity);
        }
        ps.relative = OvpSub(vA, vB);
        // Normal row.
        OvpRow& normal = ContactRow(rows[written++], ps, n, bodyA, bodyB);
        OvpRowSetBounds(&normal, 0.0f, FLT_MAX, 0.0f, FLT_MAX);
        const bool own = mat != nullptr && (mat->flags & ovpMATERIAL_OWNNORMAL);
        const float restitution = own ? mat->restitution : c->restitution;
        const float un = OvpDot(ps.relative, n);
        // The normal row aims at the restitution's rebound and, in the position pass, at the
        // overlap of points that overlap. A point still apart lets the bodies approach by its gap
        // within the step: holding it at its distance would leave a body resting in the air, up
        // to the contact threshold above its support. Its rebound starts only once the approach
        // closes the gap within the step.
        const float rebound = un < -0.001f * scale ? -un * restitution : 0.0f;
        normal.bias = rebound;
        normal.error = pt.separation <= 0.0f ? pt.separation : 0.0f;
        if (pt.separation > 0.0f && dt > 0.0f) {
            const float closing = -pt.separation / dt;
            normal.bias = un < closing ? std::fmax(rebound, closing) : closing;
        }
        if (own) {
            normal.bias += mat->normalBias[0];
            normal.error += mat->normalBias[1];
            normal.erp = mat->erp;
        }
        if (c->flags & 1u) {
            continue;
        }
        // Two friction rows at 45 degrees to the sliding direction.
        OvV3d dirs[2];
        if (mat != nullptr && (mat->flags & ovpMATERIAL_OWNDIRECTION)) {
            OvpMathVec3Normalize(&dirs[0], &mat->direction);
            dirs[1] = OvpCross(n, dirs[0]);
        } else {
            OvV3d t1 = OvpCross(n, ps.relative);
            if (OvpDot(t1, t1) < 0.0001f) {
                const OvV3d axis = std::fabs(n.x) >= 0.99f ? OvV3d{0.0f, 1.0f, 0.0f} : OvV3d{1.0f, 0.0f, 0.0f};
                t1 = OvpCross(n, axis);
            }
            OvpMathVec3Normalize(&t1, &t1);
            const OvV3d t2 = OvpCross(n, t1);
            dirs[0] = OvpScale(OvpAdd(t1, t2), kFrictionTurn);
            dirs[1] = OvpScale(OvpSub(t1, t2), kFrictionTurn);
        }
        for (int k = 0; k < 2; ++k) {
            OvpRow& f = ContactRow(rows[written++], ps, dirs[k], bodyA, bodyB);
            const bool ownF = mat != nullptr && (mat->flags & ovpMATERIAL_OWNFRICTION);
            const float b = ownF ? mat->frictionBound[k] : bound;
            OvpRowSetBounds(&f, 0.0f, 0.0f, -b, b);
            if (ownF) {
                f.bias += mat->frictionBias[k];
            }
        }
    }
    return written;
}

// ---- the contact cache ----------------------------------------------------------------------

namespace {

OvUInt32 EndSlot(const OvpRef& r) { return r.part == ovpREFNONE || r.object == nullptr ? 65535u : r.object->slot; }

OvUInt32 CacheKey(const OvpContact* c, OvUInt32 buckets) {
    const OvUInt32 a = EndSlot(c->ref[0]), b = EndSlot(c->ref[1]);
    return ((a * 32u + c->ref[0].part) * 16381u + b * 32u + c->ref[1].part) & (buckets - 1u);
}

bool SameEnds(const OvpCacheEntry& e, const OvpContact* c) {
    const void* o0 = c->ref[0].object;
    const void* o1 = c->ref[1].object;
    const OvUInt16 p0 = c->ref[0].part, p1 = c->ref[1].part;
    return (e.object[0] == o0 && e.part[0] == p0 && e.object[1] == o1 && e.part[1] == p1) ||
           (e.object[0] == o1 && e.part[0] == p1 && e.object[1] == o0 && e.part[1] == p0);
}

} // namespace

OvUInt32 OvpContactCacheBuckets(OvUInt32 capacity) {
    OvUInt32 n = 1;
    while (n <= capacity / 2u) {
        n *= 2u;
    }
    return n;
}

float OvpContactCacheMatch(const OvpContactCache* cache, const OvpContact* c) {
    float impulse = 0.0f, best = -FLT_MAX;
    for (const OvpCacheEntry* e = cache->buckets[CacheKey(c, cache->bucketCount)]; e != nullptr; e = e->next) {
        if (!SameEnds(*e, c)) {
            continue;
        }
        const float d = OvpDot(e->normal, c->normal);
        if (d > best) {
            best = d;
            impulse = e->impulse;
        }
    }
    return impulse;
}

void OvpContactCacheClear(OvpContactCache* cache) {
    for (OvUInt32 i = 0; i < cache->bucketCount; ++i) {
        cache->buckets[i] = nullptr;
    }
    cache->entryCount = 0;
}

OvBool OvpContactCacheStore(OvpContactCache* cache, const OvpContact* c, float impulse) {
    if (cache->entryCount >= cache->entryCapacity) {
        return 0;
    }
    OvpCacheEntry& e = cache->entries[cache->entryCount++];
    e.object[0] = c->ref[0].object;
    e.object[1] = c->ref[1].object;
    e.part[0] = c->ref[0].part;
    e.part[1] = c->ref[1].part;
    e.normal = c->normal;
    e.impulse = impulse > 0.0f ? impulse : 0.0f;
    OvpCacheEntry*& head = cache->buckets[CacheKey(c, cache->bucketCount)];
    e.next = head;
    head = &e;
    return 1;
}

// ---- the solve stage --------------------------------------------------------------------------

void OvpSolverCarve(OvpSolverSpace* s, OvpCarver& c, OvUInt32 groups, OvUInt32 bodies, OvUInt32 islands,
                    OvUInt32 contacts) {
    s->groupCapacity = groups;
    s->groups = c.take<OvpRowGroup>(groups);
    s->bodyCapacity = bodies;
    s->bodies = c.take<OvpSolverBody>(bodies);
    s->lists = c.take<OvpBodyRow>(2 * static_cast<std::size_t>(groups));
    s->bodyMapCount = bodies;
    s->bodyMap = c.take<OvInt32>(bodies);
    s->blockCapacity = islands;
    s->blockStart = c.take<OvUInt32>(static_cast<std::size_t>(islands) + 1);
    s->constraintCapacity = groups;
    s->constraints = c.take<void*>(groups);
    s->constraintKind = c.take<OvUInt8>(groups);
    s->groupCost = c.take<OvUInt32>(bodies);
    s->contactCost = c.take<OvUInt32>(bodies);
    s->contactFirstRow = c.take<OvUInt32>(contacts);
    s->contactNormals = c.take<float[4]>(contacts);
    s->displacement = c.take<float[8]>(bodies);
    s->partGroupCapacity = bodies;
    s->partGroups = c.take<OvpPartGroup>(bodies);
    s->bodyGroup = c.take<OvInt32>(bodies);
    const OvUInt32 nodes = OvpSelectTreeNodes(groups);
    s->tree.capacity = nodes != 0xFFFFFFFFu ? nodes : 0;
    s->tree.value = c.take<float>(s->tree.capacity);
    s->tree.row = c.take<OvInt32>(s->tree.capacity);
    s->tree.laneCapacity = groups;
    s->tree.violations = c.take<OvpViolations>(groups);
    s->contactPush = c.take<float[4]>(bodies);
    s->cache.bucketCount = OvpContactCacheBuckets(contacts);
    s->cache.buckets = c.take<OvpCacheEntry*>(s->cache.bucketCount);
    s->cache.entryCapacity = contacts;
    s->cache.entries = c.take<OvpCacheEntry>(contacts);
    s->cache.entryCount = 0;
    if (c.base != nullptr) {
        for (OvUInt32 i = 0; i < bodies; ++i) {
            s->bodyMap[i] = -1;
            s->bodyGroup[i] = -1;
        }
        OvpContactCacheClear(&s->cache);
    }
}

namespace {

bool Skipped(const OvpIsland& island) { return (island.flags & (ovpISLAND_RESTING | ovpISLAND_SKIP)) != 0; }

constexpr OvUInt32 kUnsolvable = 0xFFFFFFFFu;

template <typename Fn> void ForEachBodyOf(const OvpObj* obj, Fn fn) {
    for (OvUInt16 k = 0; k < obj->partCount; ++k) {
        if (obj->parts[k].dyn != nullptr) {
            fn(obj->parts[k].dyn);
        }
    }
}

template <typename Fn> void ForEachBody(const OvpIsland& island, Fn fn) {
    for (OvUInt32 o = 0; o < island.objectCount; ++o) {
        const OvpObj* obj = island.objects[o];
        for (OvUInt16 k = 0; k < obj->partCount; ++k) {
            if (obj->parts[k].dyn != nullptr) {
                fn(obj->parts[k].dyn);
            }
        }
    }
}

// The island's joints, then the joints inside each of its objects.
template <typename Fn> void ForEachJoint(const OvpIsland& island, Fn fn) {
    for (OvUInt32 j = 0; j < island.jointCount; ++j) {
        fn(island.joints[j]);
    }
    for (OvUInt32 o = 0; o < island.objectCount; ++o) {
        const OvpObj* obj = island.objects[o];
        for (OvUInt16 j = 0; j < obj->jointCount; ++j) {
            if (obj->joints[j] != nullptr) {
                fn(obj->joints[j]);
            }
        }
    }
}

OvUInt32 ContactGroups(OvUInt32 points) { return ((points + 1u) * 3u) / 4u; }

// Costs of every body of the island from its joints and contact records.
void AddCosts(OvpSolverSpace& s, const OvpIsland& island) {
    ForEachBody(island, [&](const OvpDyn* d) { s.groupCost[d->body] = s.contactCost[d->body] = 0; });
    ForEachJoint(island, [&](const OvpJoint* j) {
        const OvUInt32 rows = OvpJointRowCount(j);
        const OvUInt32 g = ((rows != 0 ? rows : 1u) + 3u) / 4u; // the empty row fills a group too
        for (const OvpRef& r : j->ref) {
            if (const OvpDyn* d = RefDyn(r)) {
                s.groupCost[d->body] += g;
            }
        }
    });
    for (const OvpContact* c = island.contacts; c != nullptr; c = c->next) {
        if (c->count == 0) {
            continue;
        }
        const OvUInt32 g = ContactGroups(c->count);
        for (const OvpRef& r : c->ref) {
            if (const OvpDyn* d = RefDyn(r)) {
                s.groupCost[d->body] += g;
                s.contactCost[d->body] += g;
            }
        }
    }
}

// Keeps only the deepest point of the record.
void KeepDeepest(OvpContact* c) {
    OvUInt32 best = 0;
    for (OvUInt32 i = 1; i < c->count && i < ovpCONTACTPOINTS; ++i) {
        if (c->points[i].separation < c->points[best].separation) {
            best = i;
        }
    }
    c->points[0] = c->points[best];
    c->count = 1;
}

} // namespace

OvBool OvpSolverCountRows(OvpPipeline* p, OvUInt32 k) {
    OvpSolverSpace& s = p->solver;
    OvpIsland& island = p->islands.islands[k];
    AddCosts(s, island);
    bool thinned = false;
    ForEachBody(island, [&](const OvpDyn* d) {
        if (s.contactCost[d->body] <= p->bodyBudget) {
            return;
        }
        // Too many contacts on one body: the first budget's worth keep their deepest point.
        OvUInt32 seen = 0;
        for (OvpContact* c = island.contacts; c != nullptr; c = c->next) {
            if (c->count == 0 || (RefDyn(c->ref[0]) != d && RefDyn(c->ref[1]) != d)) {
                continue;
            }
            if (seen++ < p->bodyBudget) {
                KeepDeepest(c);
            } else {
                c->count = 0;
            }
        }
        thinned = true;
    });
    if (thinned) {
        AddCosts(s, island);
    }
    OvUInt32 total = 0;
    ForEachBody(island, [&](const OvpDyn* d) { total += s.groupCost[d->body]; });
    island.solverWords[0] = total;
    if (total > p->bodyBudget && !OvpSolverPartition(p, k)) {
        island.solverWords[0] = kUnsolvable;
        return 0;
    }
    return 1;
}

namespace {

struct Partitioner {
    OvpPipeline* p;
    OvpSolverSpace& s;
    OvpIsland& island;
    OvInt32 budget;
    OvUInt32 groupCount = 0;

    OvpPartGroup& G(OvInt32 g) { return s.partGroups[g]; }
    OvInt32 Find(OvInt32 g) {
        OvInt32 root = g;
        while (G(root).parent != root) {
            root = G(root).parent;
        }
        while (G(g).parent != root) {
            const OvInt32 next = G(g).parent;
            G(g).parent = root;
            g = next;
        }
        return root;
    }
    // The group of a record or joint end: -1 when the end is no body of this island.
    OvInt32 GroupOf(const OvpRef& r) {
        const OvpDyn* d = RefDyn(r);
        if (d == nullptr || s.bodyGroup[d->body] < 0) {
            return -1;
        }
        return Find(s.bodyGroup[d->body]);
    }
    // The lower index absorbs the higher.
    OvInt32 Unite(OvInt32 a, OvInt32 b) {
        a = Find(a);
        b = Find(b);
        if (a == b) {
            return a;
        }
        const OvInt32 low = a < b ? a : b, high = a < b ? b : a;
        OvpPartGroup& L = G(low);
        const OvpPartGroup& H = G(high);
        L.jointGroups += H.jointGroups;
        L.contactGroups += H.contactGroups;
        L.contactEnds += H.contactEnds;
        L.used += H.used;
        L.rows += H.rows;
        L.remaining -= H.used;
        G(high).parent = low;
        return low;
    }
};

// A one-sided copy of a record whose two ends lie in different partitions: the record keeps its
// first end, the copy its second; each point's surface moves as the other end's body does, and
// each side takes half the separation. Null when no record is free (the record still keeps only
// its first end, with its separations whole).
OvpContact* SplitRecord(OvpPipeline* p, OvpContact* c) {
    const OvpDyn* da = RefDyn(c->ref[0]);
    const OvpDyn* db = RefDyn(c->ref[1]);
    OvpContact* copy = nullptr;
    if (p->contactCount < p->contactCapacity) {
        copy = &p->contacts[p->contactCount++];
        float* solved = copy->solved;
        *copy = *c;
        copy->solved = solved;
    }
    for (OvUInt32 i = 0; i < c->count && i < ovpCONTACTPOINTS; ++i) {
        OvpContactPoint& pt = c->points[i];
        OvV3d onB = {0.0f, 0.0f, 0.0f}, onA = {0.0f, 0.0f, 0.0f};
        if (db != nullptr) {
            OvpDynGetPointVelocity(db, &pt.position, &onB);
        }
        if (da != nullptr) {
            OvpDynGetPointVelocity(da, &pt.position, &onA);
        }
        pt.surfaceVelocity = onB;
        if (copy != nullptr) {
            pt.separation *= 0.5f;
            copy->points[i].separation = pt.separation;
            copy->points[i].surfaceVelocity = onA;
        }
    }
    if (copy != nullptr) {
        copy->ref[0] = {nullptr, ovpREFNONE, 0};
        // A touch entry of the second object that named the record now names the copy.
        const OvpObj* second = c->ref[1].part != ovpREFNONE ? c->ref[1].object : nullptr;
        for (OvpTouch* t = second != nullptr ? second->touchHead : nullptr; t != nullptr; t = t->next) {
            if (t->record == c) {
                t->record = copy;
            }
        }
    }
    c->ref[1] = {nullptr, ovpREFNONE, 0};
    return copy;
}

} // namespace

OvBool OvpSolverPartition(OvpPipeline* p, OvUInt32 k) {
    OvpSolverSpace& s = p->solver;
    OvpIsland& island = p->islands.islands[k];
    Partitioner q{p, s, island, static_cast<OvInt32>(p->bodyBudget)};
    const OvUInt32 before = p->contactCount; // copies made by splitting go after this
    // a. Every object a group; bodies tied by a joint between two bodies in one group.
    for (OvUInt32 o = 0; o < island.objectCount && q.groupCount < s.partGroupCapacity; ++o) {
        const OvInt32 g = static_cast<OvInt32>(q.groupCount++);
        s.partGroups[g] = {};
        s.partGroups[g].parent = g;
        const OvpObj* obj = island.objects[o];
        for (OvUInt16 part = 0; part < obj->partCount; ++part) {
            if (const OvpDyn* d = obj->parts[part].dyn) {
                s.bodyGroup[d->body] = g;
                s.partGroups[g].jointGroups += s.groupCost[d->body] - s.contactCost[d->body];
                s.partGroups[g].contactGroups += s.contactCost[d->body];
            }
        }
    }
    ForEachJoint(island, [&](const OvpJoint* j) {
        const OvInt32 a = q.GroupOf(j->ref[0]), b = q.GroupOf(j->ref[1]);
        if (a >= 0 && b >= 0) {
            q.Unite(a, b);
        }
    });
    for (const OvpContact* c = island.contacts; c != nullptr; c = c->next) {
        for (const OvpRef& r : c->ref) {
            const OvInt32 g = c->count != 0 ? q.GroupOf(r) : -1;
            if (g >= 0) {
                ++s.partGroups[g].contactEnds;
            }
        }
    }
    // b, c. What the joints leave of the budget, and each group's share of points per record.
    bool ok = true;
    for (OvUInt32 g = 0; g < q.groupCount; ++g) {
        OvpPartGroup& G = s.partGroups[g];
        if (G.parent != static_cast<OvInt32>(g)) {
            continue;
        }
        G.remaining = q.budget - static_cast<OvInt32>(G.jointGroups);
        G.used = G.jointGroups;
        ok = ok && G.remaining >= 0;
        if (G.remaining <= static_cast<OvInt32>(G.contactGroups) && G.contactEnds != 0) {
            OvUInt32 share = static_cast<OvUInt32>(G.remaining) / G.contactEnds;
            share = share < 1 ? 1 : share >= 3 ? 4 : share;
            G.share = share;
        } else {
            G.share = 4;
        }
    }
    const OvUInt32 objectCount = island.objectCount;
    OvpObj** objects = island.objects;
    const auto done = [&](OvBool result) {
        for (OvUInt32 o = 0; o < objectCount; ++o) {
            ForEachBodyOf(objects[o], [&](const OvpDyn* d) { s.bodyGroup[d->body] = -1; });
        }
        return result;
    };
    if (!ok) {
        return done(0);
    }
    // d. Points each record keeps, and the row groups it takes from its ends' groups.
    for (OvpContact* c = island.contacts; c != nullptr; c = c->next) {
        if (c->count == 0) {
            continue;
        }
        const OvInt32 ga = q.GroupOf(c->ref[0]), gb = q.GroupOf(c->ref[1]);
        OvUInt32 keep = 4;
        for (OvInt32 g : {ga, gb}) {
            if (g >= 0 && s.partGroups[g].share < keep) {
                keep = s.partGroups[g].share;
            }
        }
        c->count = c->count < keep ? c->count : keep;
        const OvInt32 cost = static_cast<OvInt32>((c->count * 3u + 3u) / 4u);
        bool fits = true;
        for (OvInt32 g : {ga, gb}) {
            if (g >= 0) {
                fits = fits && s.partGroups[g].remaining >= cost * ((ga == gb) ? 2 : 1);
            }
        }
        if (!fits) {
            c->count = 0;
            continue;
        }
        for (OvInt32 g : {ga, gb}) {
            if (g >= 0) {
                s.partGroups[g].remaining -= cost;
                s.partGroups[g].used += static_cast<OvUInt32>(cost);
                s.partGroups[g].rows += c->count * 3u;
            }
        }
    }
    // e. Each record joins its ends' group; two groups merge when the higher one fits into the
    // lower's remaining budget, else the record is split into two one-sided records.
    for (OvpContact* c = island.contacts; c != nullptr; c = c->next) {
        if (c->count == 0) {
            continue;
        }
        const OvInt32 ga = q.GroupOf(c->ref[0]), gb = q.GroupOf(c->ref[1]);
        if (ga < 0 || gb < 0 || ga == gb) {
            continue;
        }
        const OvInt32 low = ga < gb ? ga : gb, high = ga < gb ? gb : ga;
        if (static_cast<OvInt32>(s.partGroups[high].used) <= s.partGroups[low].remaining) {
            q.Unite(low, high);
        } else if (SplitRecord(p, c) == nullptr) {
            // No free record: the second end's group gives back what the record took.
            OvpPartGroup& B = s.partGroups[gb];
            const OvUInt32 cost = (c->count * 3u + 3u) / 4u;
            B.remaining += static_cast<OvInt32>(cost);
            B.used -= cost;
            B.rows -= c->count * 3u;
        }
    }
    // f. Every group left is a partition: the first keeps the island's record. Objects and joints
    // are reordered within the island's slices so that each partition's are together.
    OvpIslandTable& t = p->islands;
    OvUInt32 partitions = 0;
    for (OvUInt32 g = 0; g < q.groupCount; ++g) {
        partitions += q.Find(static_cast<OvInt32>(g)) == static_cast<OvInt32>(g) ? 1u : 0u;
    }
    if (partitions > 1 && partitions - 1 > t.capacity - t.count) {
        // No room for the partitions: the island stays whole, with the copies split off so far.
        for (OvUInt32 i = before; i < p->contactCount; ++i) {
            p->contacts[i].next = island.contacts;
            island.contacts = &p->contacts[i];
        }
        return done(0);
    }
    OvpContact* chain = island.contacts;
    OvpJoint** joints = island.joints;
    const OvUInt32 jointCount = island.jointCount;
    const OvUInt32 flags = island.flags;
    OvUInt32 placedObjects = 0, placedJoints = 0;
    bool first = true;
    for (OvUInt32 g = 0; g < q.groupCount; ++g) {
        if (q.Find(static_cast<OvInt32>(g)) != static_cast<OvInt32>(g)) {
            continue;
        }
        OvpIsland* part = &island;
        if (!first) {
            if (t.count >= t.capacity) {
                return done(0);
            }
            part = &t.islands[t.count++];
        }
        first = false;
        *part = {};
        part->flags = flags;
        part->objects = objects + placedObjects;
        for (OvUInt32 o = placedObjects; o < objectCount; ++o) {
            OvpObj* obj = objects[o];
            const OvpDyn* d = nullptr;
            ForEachBodyOf(obj, [&](const OvpDyn* x) { d = d != nullptr ? d : x; });
            if (d != nullptr && q.Find(s.bodyGroup[d->body]) == static_cast<OvInt32>(g)) {
                objects[o] = objects[placedObjects];
                objects[placedObjects++] = obj;
                ++part->objectCount;
                part->partTotal += obj->partCount;
            }
        }
        part->joints = joints + placedJoints;
        for (OvUInt32 j = placedJoints; j < jointCount; ++j) {
            OvpJoint* jt = joints[j];
            OvInt32 jg = q.GroupOf(jt->ref[0]);
            jg = jg >= 0 ? jg : q.GroupOf(jt->ref[1]);
            if (jg == static_cast<OvInt32>(g)) {
                joints[j] = joints[placedJoints];
                joints[placedJoints++] = jt;
                ++part->jointCount;
            }
        }
        part->solverWords[0] = s.partGroups[g].used;
        part->solverWords[1] = g; // the group, to place the records below
    }
    // The records, each into its group's partition (ends that are no body of the island do not
    // count; a record with no point goes with its first end's group or the first partition).
    auto partitionOf = [&](OvInt32 g) -> OvpIsland* {
        if (g < 0 || island.solverWords[1] == static_cast<OvUInt32>(g)) {
            return &island;
        }
        for (OvUInt32 i = k + 1; i < t.count; ++i) {
            if (t.islands[i].solverWords[1] == static_cast<OvUInt32>(g)) {
                return &t.islands[i];
            }
        }
        return &island;
    };
    auto place = [&](OvpContact* c) {
        OvInt32 g = q.GroupOf(c->ref[0]);
        g = g >= 0 ? g : q.GroupOf(c->ref[1]);
        OvpIsland* part = partitionOf(g);
        c->next = part->contacts;
        part->contacts = c;
    };
    for (OvpContact* c = chain; c != nullptr;) {
        OvpContact* next = c->next;
        place(c);
        c = next;
    }
    for (OvUInt32 i = before; i < p->contactCount; ++i) {
        place(&p->contacts[i]);
    }
    return done(1);
}

namespace {

OvInt32 BatchBody(const OvpSolverSpace& s, const OvpRef& r) {
    const OvpDyn* d = RefDyn(r);
    return d != nullptr && d->body < s.bodyMapCount ? s.bodyMap[d->body] : -1;
}

enum : OvUInt8 { kJoint = 0, kContact = 1 };

// Bounds that keep a body finite whatever it is pushed with.
constexpr float kMaxSpeed = 1000.0f;     // m/s at scale 1
constexpr float kMaxSpin = 1000.0f;      // rad/s
constexpr float kMaxAcceleration = 1e7f; // m/s^2 (and rad/s^2) at scale 1

void ClampPart(float* x, float limit) {
    const float l2 = (x[0] * x[0] + x[1] * x[1]) + x[2] * x[2];
    if (!(l2 <= limit * limit)) {
        // Non-finite parts stop; others keep their direction at the limit.
        const float k = std::isfinite(l2) ? limit / std::sqrt(l2) : 0.0f;
        for (int i = 0; i < 3; ++i) {
            x[i] = std::isfinite(x[i]) ? x[i] * k : 0.0f;
        }
    }
}

void ClampSpeeds(float* v, float scale) {
    ClampPart(v, kMaxSpeed * scale);
    ClampPart(v + 4, kMaxSpin);
}

// Sums of one constraint's rows through its Jacobian: first end linear, angular; second end.
void ConstraintSums(const OvpRowGroup* groups, OvUInt32 first, OvUInt32 end, OvV3d out[4]) {
    for (int i = 0; i < 4; ++i) {
        out[i] = {0.0f, 0.0f, 0.0f};
    }
    for (OvUInt32 g = first; g < end; ++g) {
        const OvpRowGroup& G = groups[g];
        for (int l = 0; l < 4; ++l) {
            const float v = G.value[l];
            for (int s = 0; s < 2; ++s) {
                out[2 * s] = OvpAdd(out[2 * s], OvpScale({G.j[s][0][l], G.j[s][1][l], G.j[s][2][l]}, v));
                out[2 * s + 1] = OvpAdd(out[2 * s + 1], OvpScale({G.j[s][3][l], G.j[s][4][l], G.j[s][5][l]}, v));
            }
        }
    }
}

OvUInt32 SolveBatch(OvpPipeline* p, OvUInt32 firstIsland, OvUInt32 endIsland, OvUInt32 cursor) {
    OvpSolverSpace& s = p->solver;
    OvpMgr* m = p->context->manager;
    OvpBodyArrays* b = m->bodies;
    const float dt = p->dt;
    OvUInt32* list = b->indices + cursor;
    const OvUInt32 room = b->count - cursor;
    OvUInt32 nb = 0;
    // Bodies, with gravity and damping.
    for (OvUInt32 k = firstIsland; k < endIsland; ++k) {
        const OvpIsland& island = p->islands.islands[k];
        if (Skipped(island)) {
            continue;
        }
        ForEachBody(island, [&](const OvpDyn* d) {
            if (s.bodyMap[d->body] < 0 && nb < room && nb < s.bodyCapacity) {
                s.bodyMap[d->body] = static_cast<OvInt32>(nb);
                list[nb++] = d->body;
                ClampSpeeds(b->velocities[d->body], p->scale);
                AddExternal(p, d);
                // An impulse no body could answer within the step is cut to one it can.
                const float m = b->mass[d->body].m[0][3], inertia = b->mass[d->body].m[2][3];
                ClampPart(b->impulses[d->body], kMaxAcceleration * p->scale * m);
                ClampPart(b->impulses[d->body] + 4, kMaxAcceleration * inertia);
            }
        });
    }
    // Rows.
    s.contactRecords = 0;
    OvUInt32 groups = 0, blocks = 0, constraints = 0;
    OvpRow rows[ovpJOINTMAXROWS];
    auto append = [&](void* owner, OvUInt8 kind, OvUInt32 n) {
        const OvUInt32 need = (n + 3u) / 4u;
        if (n == 0 || groups + need > s.groupCapacity || constraints >= s.constraintCapacity) {
            return;
        }
        if (kind == kContact && s.contactRecords < s.cache.entryCapacity) {
            s.contactFirstRow[s.contactRecords++] = groups * 4u;
        }
        groups += OvpSolverPackRows(s.groups + groups, rows, n, constraints);
        s.constraints[constraints] = owner;
        s.constraintKind[constraints++] = kind;
    };
    // One block per island with rows (the last one takes the rest when the blocks run out).
    s.blockStart[0] = 0;
    for (OvUInt32 k = firstIsland; k < endIsland; ++k) {
        const OvpIsland& island = p->islands.islands[k];
        if (Skipped(island)) {
            continue;
        }
        ForEachJoint(island, [&](OvpJoint* j) {
            const OvUInt32 n = OvpJointBuildRows(rows, j, BatchBody(s, j->ref[0]), BatchBody(s, j->ref[1]), 0.0f, dt);
            append(j, kJoint, n);
        });
        for (OvpContact* c = island.contacts; c != nullptr; c = c->next) {
            if (c->count != 0) {
                const OvUInt32 n =
                    OvpContactBuildRows(rows, c, BatchBody(s, c->ref[0]), BatchBody(s, c->ref[1]), p->scale, dt);
                append(c, kContact, n);
            }
        }
        if (groups > s.blockStart[blocks] && blocks + 1 < s.blockCapacity) {
            s.blockStart[++blocks] = groups;
        }
    }
    if (groups > s.blockStart[blocks]) {
        s.blockStart[++blocks] = groups;
    }
    // Body set-up, system building, row lists.
    for (OvUInt32 i = 0; i < nb; ++i) {
        OvpSolverSetUpBody(&s.bodies[i], b, list[i], dt);
    }
    for (OvUInt32 g = 0; g < groups; ++g) {
        for (float& soft : s.groups[g].softness) {
            soft += p->regularisation;
        }
    }
    p->buildKernel(s.groups, groups, s.bodies, dt);
    OvpSolverBuildLists(s.groups, groups, s.bodies, nb, s.lists);
    // Position pass: its result is a displacement.
    for (OvUInt32 i = 0; i < nb; ++i) {
        std::memset(s.bodies[i].y, 0, sizeof(s.bodies[i].y));
    }
    s.lastIterations[0] = OvpSolverSolveBlocks(p->rowKernel, s.groups, s.blockStart, blocks, s.bodies, s.lists, 0,
                                               p->tolerance[0], p->iterations[0], &s.tree);
    for (OvUInt32 i = 0; i < nb; ++i) {
        OvpSolverBody& B = s.bodies[i];
        const OvV3d lin = OvpScale(Lin(B.y), B.w[0][3]);
        const OvV3d ang = MulW(B.w, Ang(B.y));
        float* x = s.displacement[i];
        x[0] = lin.x, x[1] = lin.y, x[2] = lin.z, x[3] = 0.0f;
        x[4] = ang.x, x[5] = ang.y, x[6] = ang.z, x[7] = 0.0f;
        std::memset(B.y, 0, sizeof(B.y));
    }
    for (OvUInt32 g = 0; g < groups; ++g) {
        std::memcpy(s.groups[g].kept, s.groups[g].value, sizeof(s.groups[g].kept));
    }
    // Each record's normal rows (its rows 0, 3, 6 and 9) after the position pass.
    for (OvUInt32 r = 0; r < s.contactRecords; ++r) {
        const OvUInt32 firstRow = s.contactFirstRow[r];
        const OvUInt32 constraint = s.groups[firstRow / 4].constraint;
        for (OvUInt32 i = 0; i < 4; ++i) {
            const OvUInt32 row = firstRow + 3 * i;
            const bool same = row / 4 < groups && s.groups[row / 4].constraint == constraint;
            s.contactNormals[r][i] = same ? s.groups[row / 4].kept[row % 4] : 0.0f;
        }
    }
    // The part of the displacement the contacts made (pushing bodies out of each other).
    for (OvUInt32 i = 0; i < nb; ++i) {
        s.contactPush[i][0] = s.contactPush[i][1] = s.contactPush[i][2] = s.contactPush[i][3] = 0.0f;
    }
    for (OvUInt32 g = 0; g < groups; ++g) {
        const OvpRowGroup& G = s.groups[g];
        if (s.constraintKind[G.constraint] != kContact) {
            continue;
        }
        for (int side = 0; side < 2; ++side) {
            if (G.body[side] < 0) {
                continue;
            }
            float* push = s.contactPush[G.body[side]];
            const float rm = s.bodies[G.body[side]].w[0][3];
            for (int k = 0; k < 3; ++k) {
                float sum = push[k];
                for (int l = 0; l < 4; ++l) {
                    sum += G.j[side][k][l] * G.kept[l] * rm * rm;
                }
                push[k] = sum;
            }
        }
    }
    // Force pass.
    s.lastIterations[1] = OvpSolverSolveBlocks(p->rowKernel, s.groups, s.blockStart, blocks, s.bodies, s.lists, 1,
                                               p->tolerance[1], p->iterations[1], &s.tree);
    // What each constraint did, for the callers and the contact cache.
    for (OvUInt32 g = 0; g < groups;) {
        OvUInt32 e = g + 1;
        while (e < groups && s.groups[e].constraint == s.groups[g].constraint) {
            ++e;
        }
        OvV3d sums[4];
        ConstraintSums(s.groups, g, e, sums);
        void* owner = s.constraints[s.groups[g].constraint];
        if (s.constraintKind[s.groups[g].constraint] == kJoint) {
            for (int i = 0; i < 4; ++i) {
                static_cast<OvpJoint*>(owner)->solver[i] = sums[i];
            }
        } else {
            float* out = static_cast<OvpContact*>(owner)->solved;
            for (int i = 0; i < 4; ++i) {
                out[4 * i] = sums[i].x, out[4 * i + 1] = sums[i].y, out[4 * i + 2] = sums[i].z, out[4 * i + 3] = 0.0f;
            }
        }
        g = e;
    }
    // Accelerations, the displacement, new velocities.
    for (OvUInt32 i = 0; i < nb; ++i) {
        const OvpSolverBody& B = s.bodies[i];
        const float* acc = b->impulses[list[i]];
        const float rm = B.w[0][3];
        const OvV3d lin = OvpAdd(OvpScale(Lin(acc), rm * rm), OvpScale(Lin(B.y), rm));
        const OvV3d ang = OvpAdd(MulW(B.w, MulW(B.w, Ang(acc))), MulW(B.w, Ang(B.y)));
        float* a = b->accelerations[list[i]];
        a[0] = lin.x, a[1] = lin.y, a[2] = lin.z, a[3] = 0.0f;
        a[4] = ang.x, a[5] = ang.y, a[6] = ang.z, a[7] = 0.0f;
    }
    const OvpIndexList indexList = {list, nb};
    OvpIntegrateBodiesWith(b->matrices, b->orientations, &indexList, b->flags, b->freeAxes, s.displacement, 1.0f);
    OvpAddScaledVelocities(b->velocities, b->accelerations, &indexList, dt);
    // Pushing bodies out of each other must not add energy against the external forces. (Only
    // the contacts' share counts: a joint's drift correction is no such gain, and taking speed
    // along gravity for it would slow every pendulum.)
    for (OvUInt32 i = 0; i < nb; ++i) {
        float* acc = b->impulses[list[i]];
        float* v = b->velocities[list[i]];
        const OvV3d F = Lin(acc);
        const float pw = OvpDot(F, Lin(s.contactPush[i]));
        if (pw < -FLT_MIN) {
            OvV3d n;
            OvpMathVec3Normalize(&n, &F);
            const float u = OvpDot(Lin(v), n);
            const float mass = b->mass[list[i]].m[0][3];
            const float sq = u * u + 2.0f * pw / mass;
            const float nu = sq > FLT_MIN ? std::copysign(std::sqrt(sq), u == 0.0f ? 1.0f : u) : 0.0f;
            v[0] += (nu - u) * n.x, v[1] += (nu - u) * n.y, v[2] += (nu - u) * n.z;
        }
        ClampSpeeds(v, p->scale);
        for (int c = 0; c < 8; ++c) {
            acc[c] = 0.0f;
        }
        s.bodyMap[list[i]] = -1;
    }
    return nb;
}

} // namespace

OvpPipeline* OvpPipelineSolveBatches(OvpPipeline* p) {
    OvpSolverSpace& s = p->solver;
    OvpIslandTable& t = p->islands;
    for (OvUInt32 j = 0; j < p->jointCount; ++j) {
        for (OvV3d& v : p->joints[j]->solver) {
            v = {0.0f, 0.0f, 0.0f};
        }
    }
    // A record that makes no rows this step (thinned to no points) must not pass on the sums of
    // an earlier record in its slot, to its caller or to the contact cache.
    for (OvUInt32 c = 0; c < p->contactCount; ++c) {
        if (p->contacts[c].solved != nullptr) {
            std::memset(p->contacts[c].solved, 0, 16 * sizeof(float));
        }
    }
    // Row counting, then last step's normal impulses.
    const OvUInt32 islandCount = t.count;
    for (OvUInt32 k = 0; k < islandCount; ++k) {
        if (!Skipped(t.islands[k])) {
            OvpSolverCountRows(p, k);
        }
    }
    for (OvUInt32 k = 0; k < t.count; ++k) {
        if (Skipped(t.islands[k])) {
            continue;
        }
        for (OvpContact* c = t.islands[k].contacts; c != nullptr; c = c->next) {
            c->lastImpulse = OvpContactCacheMatch(&s.cache, c);
        }
    }
    // Batches of whole islands within the batch budget.
    bool failed = false;
    OvUInt32 cursor = 0;
    for (OvUInt32 k = 0; k < t.count && !failed;) {
        OvUInt32 end = k, sum = 0;
        while (end < t.count) {
            const OvpIsland& island = t.islands[end];
            if (!Skipped(island)) {
                const OvUInt32 cost = island.solverWords[0];
                if (cost == kUnsolvable || sum + cost > p->batchBudget) {
                    break;
                }
                sum += cost;
            }
            ++end;
        }
        if (end == k) {
            failed = true;
            break;
        }
        cursor += SolveBatch(p, k, end, cursor);
        k = end;
    }
    // This step's normal impulses for the next.
    OvpContactCacheClear(&s.cache);
    for (OvUInt32 k = 0; k < t.count; ++k) {
        if (Skipped(t.islands[k])) {
            continue;
        }
        for (const OvpContact* c = t.islands[k].contacts; c != nullptr; c = c->next) {
            const float* solved = c->solved;
            const OvV3d lin0 = {solved[0], solved[1], solved[2]};
            const OvV3d lin1 = {solved[8], solved[9], solved[10]};
            const float impulse = RefDyn(c->ref[0]) != nullptr ? OvpDot(c->normal, lin0) : -OvpDot(c->normal, lin1);
            OvpContactCacheStore(&s.cache, c, impulse);
        }
    }
    p->solveFailed = failed ? 1u : 0u;
    return failed ? nullptr : p;
}
