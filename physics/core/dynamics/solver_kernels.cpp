// The solver's row kernels: the rows of a batch packed four to a group, each body's list of the
// rows that touch it, system building (row normalisation, residuals, weighted Jacobians) and the
// greedy single-row solve that picks the largest violation and updates the residuals of the rows
// sharing its bodies, in a scalar and an SSE coding that agree bit for bit.

#include "physics/core/dynamics/solver.h"

#include <bit>
#include <cstddef>
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

// The clamped update of one row, with the group's residuals and bound flags where they are kept
// (the group itself, or a block's dense copy); returns the change of value.
[[gnu::always_inline]] inline float UpdateValueIn(OvpRowGroup& G, int l, OvUInt32 pass, float* residual,
                                                  OvUInt32* aboveLo, OvUInt32* belowHi) {
    const float old = G.value[l];
    const float lo = G.lo[pass][l], hi = G.hi[pass][l];
    float v = old - residual[l];
    v = v < lo ? lo : v;
    v = v > hi ? hi : v;
    G.value[l] = v;
    aboveLo[l] = v > lo ? ~0u : 0u;
    belowHi[l] = v < hi ? ~0u : 0u;
    const float delta = v - old;
    residual[l] += G.softness[l] * delta;
    return delta;
}

float UpdateValue(OvpRowGroup& G, int l, OvUInt32 pass) {
    return UpdateValueIn(G, l, pass, G.residual, G.aboveLo, G.belowHi);
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

// The clamped update of one row, its change of value passed to each of its bodies and, through
// update(body, dy), to the residuals of the rows that share them.
template <typename Update>
[[gnu::always_inline]] inline void PassDelta(const OvpRowGroup& G, int l, float delta, OvpSolverBody* bodies,
                                             Update update) {
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
        update(B, dy);
    }
}

template <typename Update>
[[gnu::always_inline]] inline void ApplyRow(OvpRowGroup* groups, OvUInt32 g, int l, OvpSolverBody* bodies,
                                            OvUInt32 pass, Update update) {
    OvpRowGroup& G = groups[g];
    PassDelta(G, l, UpdateValue(G, l, pass), bodies, update);
}

#if defined(__SSE2__)

// A body's weighted velocity change dy, one component per register.
struct SplatSse {
    __m128 d[6];
    explicit SplatSse(const float* dy) {
        for (int k = 0; k < 6; ++k) {
            d[k] = _mm_set1_ps(dy[k]);
        }
    }
};

// Residuals r moved by the weighted Jacobian w of one side times the side's body's change.
[[gnu::always_inline]] inline __m128 MovedSse(const float (*w)[4], const SplatSse& d, __m128 r) {
    __m128 s = _mm_add_ps(_mm_mul_ps(_mm_load_ps(w[0]), d.d[0]), _mm_mul_ps(_mm_load_ps(w[1]), d.d[1]));
    s = _mm_add_ps(s, _mm_mul_ps(_mm_load_ps(w[2]), d.d[2]));
    s = _mm_add_ps(s, _mm_mul_ps(_mm_load_ps(w[3]), d.d[3]));
    s = _mm_add_ps(s, _mm_mul_ps(_mm_load_ps(w[4]), d.d[4]));
    s = _mm_add_ps(s, _mm_mul_ps(_mm_load_ps(w[5]), d.d[5]));
    return _mm_add_ps(r, s);
}

// The residuals of the rows sharing the body, moved by its weighted velocity change dy; then
// touched(group index, group, its new residuals) for each group renewed.
template <typename Touched>
[[gnu::always_inline]] inline void UpdateResidualsThenSse(OvpRowGroup* groups, const OvpSolverBody& B,
                                                          const OvpBodyRow* lists, const float* dy, Touched touched) {
    const SplatSse d(dy);
    // The list's bounds are read once: the stores below may not touch the body.
    const OvpBodyRow* const end = lists + B.listStart + B.listCount;
    for (const OvpBodyRow* e = lists + B.listStart; e != end; ++e) {
        const OvUInt32 g = e->group;
        OvpRowGroup& H = groups[g];
        const __m128 r = MovedSse(H.wj[e->side], d, _mm_load_ps(H.residual));
        _mm_store_ps(H.residual, r);
        touched(g, H, r);
    }
}

[[gnu::always_inline]] inline void UpdateResidualsSse(OvpRowGroup* groups, const OvpSolverBody& B,
                                                      const OvpBodyRow* lists, const float* dy) {
    UpdateResidualsThenSse(groups, B, lists, dy, [](OvUInt32, const OvpRowGroup&, __m128) {});
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
            ApplyRow(groups, static_cast<OvUInt32>(row) / 4, row % 4, bodies, pass,
                     [&](const OvpSolverBody& B, const float* dy) { update(groups, B, lists, dy); });
        }
        return used;
    }
    Tree tree{*select, first, count, 1, {}, 0};
    tree.Build(groups, eligible);
    OvUInt32 used = 0;
    while (used < iterations && select->value[1] > tolerance) {
        const OvUInt32 row = static_cast<OvUInt32>(select->row[1]);
        const OvUInt32 g = row / 4;
        ApplyRow(groups, g, static_cast<int>(row % 4), bodies, pass,
                 [&](const OvpSolverBody& B, const float* dy) { update(groups, B, lists, dy); });
        tree.RefreshAround(groups, g, bodies, lists, eligible);
        ++used;
    }
    return used;
}

} // namespace

namespace {
int gWideOverride = -1;
} // namespace

void OvpSolverSetWideOverride(int wide) { gWideOverride = wide; }

bool OvpSolverWide() {
#if defined(__SSE2__) && defined(__GNUC__)
    static const bool avx = __builtin_cpu_supports("avx");
    return gWideOverride < 0 ? avx : gWideOverride > 0 && avx;
#else
    return false;
#endif
}

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

// The eligible violations of four rows given their residuals r and bound flags.
[[gnu::always_inline]] inline __m128 EligibleSse(const OvUInt32* aboveLo, const OvUInt32* belowHi, __m128 r) {
    const __m128 zero = _mm_setzero_ps();
    const __m128 above = _mm_load_ps(reinterpret_cast<const float*>(aboveLo));
    const __m128 below = _mm_load_ps(reinterpret_cast<const float*>(belowHi));
    const __m128 up = _mm_and_ps(_mm_cmpgt_ps(r, zero), above);
    const __m128 down = _mm_and_ps(_mm_cmplt_ps(r, zero), below);
    return _mm_or_ps(_mm_and_ps(up, r), _mm_and_ps(down, _mm_xor_ps(r, _mm_set1_ps(-0.0f))));
}

// The group's eligible violations given its residuals r.
__m128 EligibleSse(const OvpRowGroup& G, __m128 r) { return EligibleSse(G.aboveLo, G.belowHi, r); }

__m128 EligibleSse(const OvpRowGroup& G) { return EligibleSse(G, _mm_load_ps(G.residual)); }

// Groups per entry of the block maxima of a scanned block.
constexpr OvUInt32 kLaneBlock = 8;
constexpr OvUInt32 kLaneBlocks = (kScanGroups + kLaneBlock - 1) / kLaneBlock;
static_assert(kLaneBlocks <= 64, "one bit per block maximum");

// The residual update of UpdateResidualsSse that also renews the violations of the block's
// groups it touches, marking their maxima for renewal unless the block's maximum is taken from
// the groups directly.
template <bool Direct>
void UpdateResidualsLanesSse(OvpRowGroup* groups, const OvpSolverBody& B, const OvpBodyRow* lists, const float* dy,
                             OvpViolations* lanes, OvUInt32 first, OvUInt32 count, std::uint64_t* dirty) {
    UpdateResidualsThenSse(groups, B, lists, dy, [&](OvUInt32 g, const OvpRowGroup& H, __m128 r) {
        const OvUInt32 k = g - first;
        if (k < count) {
            _mm_store_ps(lanes[k].lane, EligibleSse(H, r));
            if constexpr (!Direct) {
                *dirty |= std::uint64_t(1) << (k / kLaneBlock);
            }
        }
    });
}

// The residual update of a packed block (every row of its bodies inside it): each body's rows
// read one after the other from the packed lists, the residuals and bound flags from the dense
// copy, the violations renewed as in UpdateResidualsLanesSse.
// The workspace of a packed block, its pointers read once: the stores of an update may not touch
// the tree.
struct PackedSpace {
    OvpScanGroup* state;
    OvpViolations* lanes;
    const OvpPackedRow* packed;
    explicit PackedSpace(const OvpSelectTree& tree)
        : state(tree.scanGroups), lanes(tree.violations), packed(tree.packed) {}
};

// One entry e of a packed list: its group's residuals moved by the body's change d, its
// violations renewed.
template <bool Direct>
[[gnu::always_inline]] inline void MovePackedSse(const PackedSpace& p, const OvpBodyRow* lists, OvUInt32 e,
                                                 const SplatSse& d, OvUInt32 first, std::uint64_t* dirty) {
    const OvUInt32 k = lists[e].group - first;
    OvpScanGroup& S = p.state[k];
    const __m128 r = MovedSse(p.packed[e].wj, d, _mm_load_ps(S.residual));
    _mm_store_ps(S.residual, r);
    _mm_store_ps(p.lanes[k].lane, EligibleSse(S.aboveLo, S.belowHi, r));
    if constexpr (!Direct) {
        *dirty |= std::uint64_t(1) << (k / kLaneBlock);
    }
}

template <bool Direct>
[[gnu::always_inline]] inline void UpdateResidualsPackedSse(const OvpSelectTree& tree, const OvpSolverBody& B,
                                                            const OvpBodyRow* lists, const float* dy, OvUInt32 first,
                                                            std::uint64_t* dirty) {
    const SplatSse d(dy);
    const PackedSpace p(tree);
    const OvUInt32 start = B.listStart, end = B.listStart + B.listCount;
    for (OvUInt32 e = start; e != end; ++e) {
        MovePackedSse<Direct>(p, lists, e, d, first, dirty);
    }
}

// Eight floats (two groups' four rows) in generic vectors: inside a function built for AVX
// these are single instructions, and each lane gets the operations of the SSE coding.
using Wide8 = float __attribute__((vector_size(32), aligned(16)));
using WideMask8 = std::int32_t __attribute__((vector_size(32), aligned(16)));
using Half4 = float __attribute__((vector_size(16), aligned(16)));
using HalfMask4 = std::int32_t __attribute__((vector_size(16), aligned(16)));

template <typename V, typename H> [[gnu::always_inline]] inline void Join(V* out, const void* lo, const void* hi) {
    H a, b;
    std::memcpy(&a, lo, sizeof(a));
    std::memcpy(&b, hi, sizeof(b));
    *out = __builtin_shufflevector(a, b, 0, 1, 2, 3, 4, 5, 6, 7);
}

template <typename V> [[gnu::always_inline]] inline void Split(const V& v, void* lo, void* hi) {
    const auto a = __builtin_shufflevector(v, v, 0, 1, 2, 3);
    const auto b = __builtin_shufflevector(v, v, 4, 5, 6, 7);
    std::memcpy(lo, &a, sizeof(a));
    std::memcpy(hi, &b, sizeof(b));
}

// UpdateResidualsPackedSse over a list packed wide: two entries at a time, an odd last one alone.
template <bool Direct>
[[gnu::always_inline]] inline void UpdateResidualsWide(const OvpSelectTree& tree, const OvpSolverBody& B,
                                                       const OvpBodyRow* lists, const float* dy, OvUInt32 first,
                                                       std::uint64_t* dirty) {
    const OvUInt32 start = B.listStart, end = B.listStart + B.listCount;
    const OvUInt32 pairEnd = start + (B.listCount & ~1u);
    const PackedSpace p(tree);
    OvpScanGroup* const state = p.state;
    OvpViolations* const lanes = p.lanes;
    const OvpPackedRow* const packed = p.packed;
    Wide8 d[6];
    for (int k = 0; k < 6; ++k) {
        d[k] = Wide8{} + dy[k];
    }
    const Wide8 zero{};
    const WideMask8 sign = WideMask8{} + static_cast<std::int32_t>(0x80000000u);
    for (OvUInt32 e = start; e != pairEnd; e += 2) {
        const OvUInt32 k0 = lists[e].group - first, k1 = lists[e + 1].group - first;
        OvpScanGroup& S0 = state[k0];
        OvpScanGroup& S1 = state[k1];
        // The packed lists are aligned to 16 bytes only: each of the pair's six eight-float runs
        // is joined in registers from its two halves. Copied whole to the stack, the runs went out
        // in 16-byte stores and came back in 32-byte loads, each waiting for both stores.
        const float* const w = packed[e].wj[0];
        Wide8 wk[6];
        for (int k = 0; k < 6; ++k) {
            Join<Wide8, Half4>(&wk[k], w + 8 * k, w + 8 * k + 4);
        }
        Wide8 m = wk[0] * d[0] + wk[1] * d[1];
        m = m + wk[2] * d[2];
        m = m + wk[3] * d[3];
        m = m + wk[4] * d[4];
        m = m + wk[5] * d[5];
        Wide8 r;
        WideMask8 above, below;
        Join<Wide8, Half4>(&r, S0.residual, S1.residual);
        r = r + m;
        Join<WideMask8, HalfMask4>(&above, S0.aboveLo, S1.aboveLo);
        Join<WideMask8, HalfMask4>(&below, S0.belowHi, S1.belowHi);
        const WideMask8 bits = __builtin_bit_cast(WideMask8, r);
        const WideMask8 up = (r > zero) & above;
        const WideMask8 down = (r < zero) & below;
        const WideMask8 v = (up & bits) | (down & (bits ^ sign));
        Split(r, S0.residual, S1.residual);
        Split(v, lanes[k0].lane, lanes[k1].lane);
        if constexpr (!Direct) {
            *dirty |= (std::uint64_t(1) << (k0 / kLaneBlock)) | (std::uint64_t(1) << (k1 / kLaneBlock));
        }
    }
    if (pairEnd != end) {
        MovePackedSse<Direct>(p, lists, pairEnd, SplatSse(dy), first, dirty);
    }
}

// Copies the block's residuals and bound flags into the dense state and its bodies' rows into
// the packed lists; false (nothing to use) when a body of the block has a row outside it or the
// workspace is short.
bool PackBlock(const OvpRowGroup* groups, OvUInt32 first, OvUInt32 count, const OvpSolverBody* bodies,
               const OvpBodyRow* lists, const OvpSelectTree& tree, bool wide) {
    if (tree.scanGroups == nullptr || tree.packed == nullptr || count > tree.laneCapacity) {
        return false;
    }
    for (OvUInt32 k = 0; k < count; ++k) {
        const OvpRowGroup& G = groups[first + k];
        for (OvUInt32 s = 0; s < 2; ++s) {
            if (G.body[s] < 0) {
                continue;
            }
            const OvpSolverBody& B = bodies[G.body[s]];
            if (B.listCount > tree.packedCapacity || B.listStart > tree.packedCapacity - B.listCount) {
                return false;
            }
            // Each body is packed once, at its list's first entry.
            const OvpBodyRow& head = lists[B.listStart];
            if (head.group - first >= count) {
                return false;
            }
            if (head.group != first + k || head.side != s) {
                continue;
            }
            const OvUInt32 end = B.listStart + B.listCount;
            for (OvUInt32 e = B.listStart; e < end; ++e) {
                if (lists[e].group - first >= count) {
                    return false;
                }
            }
            // Wide: the list's entries two by two, each Jacobian row of the first beside the
            // same row of the second (eight floats); an odd last entry on its own.
            const OvUInt32 pairs = wide ? B.listCount / 2 : 0;
            for (OvUInt32 i = 0; i < pairs; ++i) {
                const OvUInt32 e = B.listStart + 2 * i;
                float* out = tree.packed[e].wj[0];
                for (OvUInt32 h = 0; h < 2; ++h) {
                    const float(*w)[4] = groups[lists[e + h].group].wj[lists[e + h].side];
                    for (int k = 0; k < 6; ++k) {
                        std::memcpy(out + 8 * k + 4 * h, w[k], sizeof(w[k]));
                    }
                }
            }
            for (OvUInt32 e = B.listStart + 2 * pairs; e < end; ++e) {
                std::memcpy(tree.packed[e].wj, groups[lists[e].group].wj[lists[e].side], sizeof(tree.packed[e].wj));
            }
        }
        OvpScanGroup& S = tree.scanGroups[k];
        std::memcpy(S.residual, G.residual, sizeof(S.residual));
        std::memcpy(S.aboveLo, G.aboveLo, sizeof(S.aboveLo));
        std::memcpy(S.belowHi, G.belowHi, sizeof(S.belowHi));
    }
    return true;
}

// The greedy loop of a block scanned whole, over its groups' violations kept densely: the same
// rows as the scan of the groups themselves, in the same order (the largest violation above the
// tolerance, the first row showing it), found as the maximum over the maxima of eight groups at
// a time, then its first place. Packed: the residual updates go through the packed lists and
// the dense state (PackBlock), which is stored back into the groups at the end.
template <bool Direct, bool Packed, bool Wide>
[[gnu::always_inline]] inline OvUInt32 ScanLoopSse(OvpRowGroup* groups, OvUInt32 first, OvUInt32 count,
                                                   OvpSolverBody* bodies, const OvpBodyRow* lists, OvUInt32 pass,
                                                   float tolerance, OvUInt32 iterations, const OvpSelectTree& tree) {
    OvpViolations* const lanes = tree.violations;
    const OvUInt32 blocks = (count + kLaneBlock - 1) / kLaneBlock;
    __m128 blockMax[kLaneBlocks];
    // The violations are never negative, NaN or -0, so their maximum is the same in any order.
    static_assert(kLaneBlock == 8, "a full block is eight groups");
    const auto renew = [&](OvUInt32 b) {
        const OvUInt32 start = b * kLaneBlock;
        if (start + kLaneBlock <= count) {
            const auto v = [&](OvUInt32 i) { return _mm_load_ps(lanes[start + i].lane); };
            const __m128 m0 = _mm_max_ps(_mm_max_ps(v(0), v(1)), _mm_max_ps(v(2), v(3)));
            const __m128 m1 = _mm_max_ps(_mm_max_ps(v(4), v(5)), _mm_max_ps(v(6), v(7)));
            blockMax[b] = _mm_max_ps(m0, m1);
            return;
        }
        __m128 m = _mm_setzero_ps();
        for (OvUInt32 g = start; g < count; ++g) {
            m = _mm_max_ps(m, _mm_load_ps(lanes[g].lane));
        }
        blockMax[b] = m;
    };
    for (OvUInt32 g = 0; g < count; ++g) {
        _mm_store_ps(lanes[g].lane, EligibleSse(groups[first + g]));
    }
    for (OvUInt32 b = 0; !Direct && b < blocks; ++b) {
        renew(b);
    }

    constexpr bool direct = Direct;
    const __m128* from = direct ? reinterpret_cast<const __m128*>(lanes) : blockMax;
    const OvUInt32 entries = direct ? count : blocks;
    OvUInt32 used = 0;
    for (; used < iterations; ++used) {
        // Four chains of maxima, so that the reduction waits on none.
        __m128 m0 = _mm_setzero_ps(), m1 = m0, m2 = m0, m3 = m0;
        OvUInt32 b = 0;
        for (; b + 3 < entries; b += 4) {
            m0 = _mm_max_ps(m0, from[b]);
            m1 = _mm_max_ps(m1, from[b + 1]);
            m2 = _mm_max_ps(m2, from[b + 2]);
            m3 = _mm_max_ps(m3, from[b + 3]);
        }
        for (; b < entries; ++b) {
            m0 = _mm_max_ps(m0, from[b]);
        }
        __m128 m = _mm_max_ps(_mm_max_ps(m0, m1), _mm_max_ps(m2, m3));
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
        // Four groups to a test while they lie inside the block, then one by one.
        OvInt32 best = -1;
        OvUInt32 g = b * kLaneBlock;
        for (; g + 4 <= count; g += 4) {
            unsigned hits = 0;
            for (OvUInt32 i = 0; i < 4; ++i) {
                hits |= static_cast<unsigned>(_mm_movemask_ps(_mm_cmpeq_ps(_mm_load_ps(lanes[g + i].lane), m)))
                        << (4 * i);
            }
            if (hits != 0) {
                best = static_cast<OvInt32>(g * 4 + static_cast<OvUInt32>(std::countr_zero(hits)));
                break;
            }
        }
        for (; g < count && best < 0; ++g) {
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
        std::uint64_t dirty = std::uint64_t(1) << ((gi - first) / kLaneBlock);
        if constexpr (Packed) {
            OvpScanGroup& S = tree.scanGroups[gi - first];
            const float delta = UpdateValueIn(G, l, pass, S.residual, S.aboveLo, S.belowHi);
            PassDelta(G, l, delta, bodies, [&](const OvpSolverBody& B, const float* dy) {
                if constexpr (Wide) {
                    UpdateResidualsWide<Direct>(tree, B, lists, dy, first, &dirty);
                } else {
                    UpdateResidualsPackedSse<Direct>(tree, B, lists, dy, first, &dirty);
                }
            });
            _mm_store_ps(lanes[gi - first].lane, EligibleSse(S.aboveLo, S.belowHi, _mm_load_ps(S.residual)));
        } else {
            ApplyRow(groups, gi, l, bodies, pass, [&](const OvpSolverBody& B, const float* dy) {
                UpdateResidualsLanesSse<Direct>(groups, B, lists, dy, lanes, first, count, &dirty);
            });
            _mm_store_ps(lanes[gi - first].lane, EligibleSse(G));
        }
        while (!direct && dirty != 0) {
            renew(static_cast<OvUInt32>(std::countr_zero(dirty)));
            dirty &= dirty - 1;
        }
    }
    if constexpr (Packed) {
        for (OvUInt32 k = 0; k < count; ++k) {
            OvpRowGroup& G = groups[first + k];
            const OvpScanGroup& S = tree.scanGroups[k];
            std::memcpy(G.residual, S.residual, sizeof(G.residual));
            std::memcpy(G.aboveLo, S.aboveLo, sizeof(G.aboveLo));
            std::memcpy(G.belowHi, S.belowHi, sizeof(G.belowHi));
        }
    }
    return used;
}

template <bool Direct, bool Packed>
OvUInt32 ScanLoopNarrow(OvpRowGroup* groups, OvUInt32 first, OvUInt32 count, OvpSolverBody* bodies,
                        const OvpBodyRow* lists, OvUInt32 pass, float tolerance, OvUInt32 iterations,
                        const OvpSelectTree& tree) {
    return ScanLoopSse<Direct, Packed, false>(groups, first, count, bodies, lists, pass, tolerance, iterations, tree);
}

template <bool Direct>
[[gnu::target("avx")]] OvUInt32 ScanLoopWide(OvpRowGroup* groups, OvUInt32 first, OvUInt32 count, OvpSolverBody* bodies,
                                             const OvpBodyRow* lists, OvUInt32 pass, float tolerance,
                                             OvUInt32 iterations, const OvpSelectTree& tree) {
    return ScanLoopSse<Direct, true, true>(groups, first, count, bodies, lists, pass, tolerance, iterations, tree);
}

// A block scanned whole, packed when the pool is large beside the block (packing costs about
// one pass over its groups) and every row of its bodies lies inside it; packed wide where the
// CPU has AVX.
template <bool Direct>
OvUInt32 ScanSolveSse(OvpRowGroup* groups, OvUInt32 first, OvUInt32 count, OvpSolverBody* bodies,
                      const OvpBodyRow* lists, OvUInt32 pass, float tolerance, OvUInt32 iterations,
                      const OvpSelectTree& tree) {
    const bool wide = OvpSolverWide();
    if (iterations >= count && PackBlock(groups, first, count, bodies, lists, tree, wide)) {
        return wide ? ScanLoopWide<Direct>(groups, first, count, bodies, lists, pass, tolerance, iterations, tree)
                    : ScanLoopNarrow<Direct, true>(groups, first, count, bodies, lists, pass, tolerance, iterations,
                                                   tree);
    }
    return ScanLoopNarrow<Direct, false>(groups, first, count, bodies, lists, pass, tolerance, iterations, tree);
}

// Blocks of up to this many groups are solved by the small-block loops below.
constexpr OvUInt32 kSmallGroups = 4;

// The row of a block of up to four groups with the largest violation above the tolerance (the
// first one on ties), as 4 x group + lane, from the groups' violations e; false when none is.
[[gnu::always_inline]] inline bool PickSse(const __m128* e, float tolerance, unsigned* best) {
    __m128 m = _mm_max_ps(_mm_max_ps(e[0], e[1]), _mm_max_ps(e[2], e[3]));
    m = _mm_max_ps(m, _mm_shuffle_ps(m, m, _MM_SHUFFLE(1, 0, 3, 2)));
    m = _mm_max_ps(m, _mm_shuffle_ps(m, m, _MM_SHUFFLE(2, 3, 0, 1)));
    if (!(_mm_cvtss_f32(m) > tolerance)) {
        return false;
    }
    unsigned hits = 0;
    for (OvUInt32 i = 0; i < 4; ++i) {
        hits |= static_cast<unsigned>(_mm_movemask_ps(_mm_cmpeq_ps(e[i], m))) << (4 * i);
    }
    *best = static_cast<unsigned>(std::countr_zero(hits));
    return true;
}

// The row of a block of up to four groups that the next update of its greedy loop takes (the
// largest violation above the tolerance, the first row showing it), read straight from the
// groups, whose residuals the last update has just stored; false when there is none.
[[gnu::always_inline]] inline bool SmallPickSse(const OvpRowGroup* groups, OvUInt32 first, OvUInt32 count,
                                                float tolerance, unsigned* best) {
    __m128 e[4];
    for (OvUInt32 i = 0; i < 4; ++i) {
        e[i] = i < count ? EligibleSse(groups[first + i]) : _mm_setzero_ps();
    }
    return PickSse(e, tolerance, best);
}

// A block of up to four groups alone under the greedy loop, its groups' violations held in
// registers and renewed as the residual updates pass: the same rows in the same order as the scan
// of the groups. (Blocks solved in step read them from the groups instead: there the chains of
// several blocks overlap, alone the chain is shorter this way.)
struct SmallBlockSse {
    OvUInt32 first, count;
    __m128 e[4];

    void Start(const OvpRowGroup* groups) {
        for (OvUInt32 i = 0; i < 4; ++i) {
            e[i] = i < count ? EligibleSse(groups[first + i]) : _mm_setzero_ps();
        }
    }
    // One update of the largest violation above the tolerance; false when there is none.
    [[gnu::always_inline]] bool Step(OvpRowGroup* groups, OvpSolverBody* bodies, const OvpBodyRow* lists, OvUInt32 pass,
                                     float tolerance) {
        unsigned best;
        if (!PickSse(e, tolerance, &best)) {
            return false;
        }
        const OvUInt32 gi = first + best / 4;
        ApplyRow(groups, gi, static_cast<int>(best % 4), bodies, pass, [&](const OvpSolverBody& B, const float* dy) {
            UpdateResidualsThenSse(groups, B, lists, dy, [&](OvUInt32 g, const OvpRowGroup& H, __m128 r) {
                // Lane i of `at` is set when g is the block's group i (none for a group outside).
                const OvUInt32 k = g - first < count ? g - first : 4u;
                const __m128 at =
                    _mm_castsi128_ps(_mm_cmpeq_epi32(_mm_set1_epi32(static_cast<int>(k)), _mm_setr_epi32(0, 1, 2, 3)));
                const __m128 fresh = EligibleSse(H, r);
                e[0] = Select(_mm_shuffle_ps(at, at, _MM_SHUFFLE(0, 0, 0, 0)), fresh, e[0]);
                e[1] = Select(_mm_shuffle_ps(at, at, _MM_SHUFFLE(1, 1, 1, 1)), fresh, e[1]);
                e[2] = Select(_mm_shuffle_ps(at, at, _MM_SHUFFLE(2, 2, 2, 2)), fresh, e[2]);
                e[3] = Select(_mm_shuffle_ps(at, at, _MM_SHUFFLE(3, 3, 3, 3)), fresh, e[3]);
            });
        });
        // A group with a body is on that body's list and was renewed above.
        if (groups[gi].body[0] < 0 && groups[gi].body[1] < 0) {
            const __m128 own = EligibleSse(groups[gi]);
            for (OvUInt32 i = 0; i < 4; ++i) {
                e[i] = first + i == gi ? own : e[i];
            }
        }
        return true;
    }
};

OvUInt32 SmallSolveSse(OvpRowGroup* groups, OvUInt32 first, OvUInt32 count, OvpSolverBody* bodies,
                       const OvpBodyRow* lists, OvUInt32 pass, float tolerance, OvUInt32 iterations) {
    SmallBlockSse block{first, count, {}};
    block.Start(groups);
    OvUInt32 used = 0;
    while (used < iterations && block.Step(groups, bodies, lists, pass, tolerance)) {
        ++used;
    }
    return used;
}

// N blocks of up to four groups that share no body, under their greedy loops in step: each block
// gets the rows and values of its own loop with at most iterations[k] updates, and the chains of
// updates, each waiting on its own results, overlap. Every block picks its row before any block
// updates, so that the loads of a pick never wait for the stores of another block's update,
// whose addresses are known only late. used[k]: each block's updates.
template <OvUInt32 N>
[[gnu::always_inline]] inline void SmallInStepSse(OvpRowGroup* groups, const OvUInt32* start, OvpSolverBody* bodies,
                                                  const OvpBodyRow* lists, OvUInt32 pass, float tolerance,
                                                  const OvUInt32* iterations, OvUInt32* used) {
    bool on[N];
    for (OvUInt32 k = 0; k < N; ++k) {
        on[k] = true;
        used[k] = 0;
    }
    for (bool any = true; any;) {
        unsigned best[N] = {};
        any = false;
        for (OvUInt32 k = 0; k < N; ++k) {
            if (on[k]) {
                on[k] = used[k] < iterations[k] &&
                        SmallPickSse(groups, start[k], start[k + 1] - start[k], tolerance, &best[k]);
                any |= on[k];
            }
        }
        for (OvUInt32 k = 0; k < N; ++k) {
            if (on[k]) {
                ApplyRow(groups, start[k] + best[k] / 4, static_cast<int>(best[k] % 4), bodies, pass,
                         [&](const OvpSolverBody& B, const float* dy) { UpdateResidualsSse(groups, B, lists, dy); });
                ++used[k];
            }
        }
    }
}

template <OvUInt32 N>
void SmallInStepNarrow(OvpRowGroup* groups, const OvUInt32* start, OvpSolverBody* bodies, const OvpBodyRow* lists,
                       OvUInt32 pass, float tolerance, const OvUInt32* iterations, OvUInt32* used) {
    SmallInStepSse<N>(groups, start, bodies, lists, pass, tolerance, iterations, used);
}

template <OvUInt32 N>
[[gnu::target("avx")]] void SmallInStepWide(OvpRowGroup* groups, const OvUInt32* start, OvpSolverBody* bodies,
                                            const OvpBodyRow* lists, OvUInt32 pass, float tolerance,
                                            const OvUInt32* iterations, OvUInt32* used) {
    SmallInStepSse<N>(groups, start, bodies, lists, pass, tolerance, iterations, used);
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
    const auto eligible = [](const OvpRowGroup& G, float e[4]) { _mm_storeu_ps(e, EligibleSse(G)); };
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
        if (count != 0 && count <= kSmallGroups) {
            return SmallSolveSse(groups, first, count, bodies, lists, pass, tolerance, iterations);
        }
        // Small blocks (up to eight maxima) take their maximum straight from the groups.
        const auto solve = (count + kLaneBlock - 1) / kLaneBlock <= 8 ? ScanSolveSse<true> : ScanSolveSse<false>;
        return solve(groups, first, count, bodies, lists, pass, tolerance, iterations, *tree);
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
        // Every field is written here but those that system building and each pass write
        // before they are read.
        OvpRowGroup& G = groups[g];
        G.body[0] = rows[0].body[0];
        G.body[1] = rows[0].body[1];
        const bool fold = G.body[0] >= 0 && G.body[0] == G.body[1];
        G.constraint = constraint;
        const OvpRow* r[4];
        for (OvUInt32 l = 0; l < 4; ++l) {
            r[l] = g * 4 + l < count ? &rows[g * 4 + l] : &pad;
        }
#if defined(__SSE2__)
        // Four rows' vectors of four floats become four lanes of four vectors.
        const auto transpose = [&](std::size_t offset, float(*out)[4]) {
            const auto at = [&](int l) {
                return _mm_loadu_ps(reinterpret_cast<const float*>(reinterpret_cast<const char*>(r[l]) + offset));
            };
            __m128 a = at(0), b = at(1), c = at(2), d = at(3);
            _MM_TRANSPOSE4_PS(a, b, c, d);
            _mm_store_ps(out[0], a);
            _mm_store_ps(out[1], b);
            _mm_store_ps(out[2], c);
            _mm_store_ps(out[3], d);
        };
        alignas(16) float part[4][4][4]; // linA, angA, linB, angB: axis (and spare), lane
        transpose(offsetof(OvpRow, linA), part[0]);
        transpose(offsetof(OvpRow, angA), part[1]);
        transpose(offsetof(OvpRow, linB), part[2]);
        transpose(offsetof(OvpRow, angB), part[3]);
        for (int k = 0; k < 3; ++k) {
            for (int s = 0; s < 2; ++s) {
                _mm_store_ps(G.j[s][k], _mm_load_ps(part[2 * s][k]));
                _mm_store_ps(G.j[s][3 + k], _mm_load_ps(part[2 * s + 1][k]));
            }
        }
        alignas(16) float terms[4][4];
        transpose(offsetof(OvpRow, error), terms); // error, bias, softness, factor
        _mm_store_ps(G.error, _mm_load_ps(terms[0]));
        _mm_store_ps(G.bias, _mm_load_ps(terms[1]));
        _mm_store_ps(G.softness, _mm_load_ps(terms[2]));
        _mm_store_ps(G.factor, _mm_load_ps(terms[3]));
        static_assert(offsetof(OvpRow, hi) == offsetof(OvpRow, lo) + 2 * sizeof(float), "bounds side by side");
        static_assert(offsetof(OvpRowGroup, hi) == offsetof(OvpRowGroup, lo) + 8 * sizeof(float),
                      "bounds side by side");
        transpose(offsetof(OvpRow, lo), G.lo); // lo[0], lo[1], hi[0], hi[1]
#else
        for (int l = 0; l < 4; ++l) {
            for (int k = 0; k < 3; ++k) {
                G.j[0][k][l] = r[l]->linA[k];
                G.j[0][3 + k][l] = r[l]->angA[k];
                G.j[1][k][l] = r[l]->linB[k];
                G.j[1][3 + k][l] = r[l]->angB[k];
            }
            G.error[l] = r[l]->error;
            G.bias[l] = r[l]->bias;
            G.softness[l] = r[l]->softness;
            G.factor[l] = r[l]->factor;
            for (int p = 0; p < 2; ++p) {
                G.lo[p][l] = r[l]->lo[p];
                G.hi[p][l] = r[l]->hi[p];
            }
        }
#endif
        for (int l = 0; l < 4; ++l) {
            G.erp[l] = r[l]->erp;
        }
        if (fold) {
            // Both ends on one body: its Jacobian is the sum of the two.
            for (int k = 0; k < 6; ++k) {
                for (int l = 0; l < 4; ++l) {
                    G.j[0][k][l] += G.j[1][k][l];
                    G.j[1][k][l] = 0.0f;
                }
            }
            G.body[1] = -1;
        }
        G.spare = 0;
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

// ---- iteration sharing ----------------------------------------------------------------------

namespace {

// True when no body of a block has a row in another block: each block's updates then move only
// its own rows, and the blocks may be solved in any order, or in step, with the same result.
bool BlocksApart(const OvpRowGroup* groups, const OvUInt32* blockStart, OvUInt32 blocks, const OvpSolverBody* bodies,
                 const OvpBodyRow* lists) {
    for (OvUInt32 k = 0; k < blocks; ++k) {
        for (OvUInt32 g = blockStart[k]; g < blockStart[k + 1]; ++g) {
            for (const OvInt32 b : groups[g].body) {
                if (b < 0) {
                    continue;
                }
                const OvpSolverBody& B = bodies[b];
                // The list is in ascending group order and holds g: its ends bound it.
                if (lists[B.listStart].group < blockStart[k] ||
                    lists[B.listStart + B.listCount - 1].group >= blockStart[k + 1]) {
                    return false;
                }
            }
        }
    }
    return true;
}

// Blocks solved in step at most.
constexpr OvUInt32 kInStep = 4;

// The run of blocks from start[0] on (at most `blocks` of them, up to kInStep) solved in step by
// the SSE coding's small-block loop, when the kernel is that coding's and the run has two blocks
// or more small enough: the run's length (block k of it given at most iterations[k] updates,
// used[k] the updates it took), else 0 (nothing done).
OvUInt32 SolveInStep(OvpRowKernel kernel, OvpRowGroup* groups, const OvUInt32* start, OvUInt32 blocks,
                     OvpSolverBody* bodies, const OvpBodyRow* lists, OvUInt32 pass, float tolerance,
                     const OvUInt32* iterations, OvUInt32* used) {
#if defined(__SSE2__)
    if (kernel != OvpSolverRowsSse) {
        return 0;
    }
    OvUInt32 n = 0;
    while (n < kInStep && n < blocks && start[n + 1] - start[n] - 1 < kSmallGroups) {
        ++n;
    }
    const bool wide = OvpSolverWide();
    switch (n) {
    case 2:
        (wide ? SmallInStepWide<2> : SmallInStepNarrow<2>)(groups, start, bodies, lists, pass, tolerance, iterations,
                                                           used);
        return 2;
    case 3:
        (wide ? SmallInStepWide<3> : SmallInStepNarrow<3>)(groups, start, bodies, lists, pass, tolerance, iterations,
                                                           used);
        return 3;
    case 4:
        (wide ? SmallInStepWide<4> : SmallInStepNarrow<4>)(groups, start, bodies, lists, pass, tolerance, iterations,
                                                           used);
        return 4;
    default:
        return 0;
    }
#else
    (void)kernel, (void)groups, (void)start, (void)blocks, (void)bodies, (void)lists, (void)pass, (void)tolerance,
        (void)iterations, (void)used;
    return 0;
#endif
}

} // namespace

OvUInt32 OvpSolverSolveBlocks(OvpRowKernel kernel, OvpRowGroup* groups, const OvUInt32* blockStart, OvUInt32 blocks,
                              OvpSolverBody* bodies, const OvpBodyRow* lists, OvUInt32 pass, float tolerance,
                              OvUInt32 iterations, OvpSelectTree* tree) {
    if (blocks == 0) {
        return 0;
    }
    const OvUInt32 first = blockStart[0], count = blockStart[blocks] - first;
    ResetPass(groups, first, count, pass);
    const OvUInt32 floor = iterations / blocks < 3 ? iterations / blocks : 3;
    if (floor == 0) {
        // More blocks than updates: shared by their groups, the first blocks would get none,
        // and their bodies fall through their supports. The updates go wherever the batch's
        // largest violations are instead.
        return count != 0 ? kernel(groups, first, count, bodies, lists, pass, tolerance, iterations, tree) : 0;
    }
    // Each block in turn gets the floor and, of the pool of the rest, the share of its row groups
    // among the groups of the blocks not yet solved; what it leaves goes back to the pool.
    OvUInt32 pool = iterations - floor * blocks, groupsLeft = count;
    const auto extraOf = [](OvUInt32 pool, OvUInt32 groupsLeft, OvUInt32 size) {
        return groupsLeft != 0 ? static_cast<OvUInt32>(static_cast<std::uint64_t>(pool) * size / groupsLeft) : 0u;
    };
    const bool apart = blocks > 1 && BlocksApart(groups, blockStart, blocks, bodies, lists);
    OvUInt32 used = 0;
    for (OvUInt32 k = 0; k < blocks;) {
        // Small blocks apart go in step, each given what it is sure to have: its share of the pool
        // as though the blocks before it in the run left nothing (exact for the first). A block
        // that used all of it and was left more goes on alone where its loop stopped.
        OvUInt32 allowance[kInStep], run[kInStep];
        OvUInt32 inStep = 0;
        if (apart) {
            OvUInt32 p = pool, left = groupsLeft;
            for (OvUInt32 i = 0; i < kInStep && k + i < blocks; ++i) {
                const OvUInt32 size = blockStart[k + i + 1] - blockStart[k + i];
                const OvUInt32 extra = extraOf(p, left, size);
                allowance[i] = floor + extra;
                p -= extra;
                left -= size;
            }
            inStep =
                SolveInStep(kernel, groups, blockStart + k, blocks - k, bodies, lists, pass, tolerance, allowance, run);
        }
        for (OvUInt32 i = 0; i < (inStep != 0 ? inStep : 1u); ++i, ++k) {
            const OvUInt32 size = blockStart[k + 1] - blockStart[k];
            const OvUInt32 share = floor + extraOf(pool, groupsLeft, size);
            OvUInt32 n = inStep != 0 ? run[i] : 0u;
            if (size != 0 && n < share && (inStep == 0 || n == allowance[i])) {
                n += kernel(groups, blockStart[k], size, bodies, lists, pass, tolerance, share - n, tree);
            }
            pool = pool + floor - n;
            groupsLeft -= size;
            used += n;
        }
    }
    return used;
}
