#include "physics/core/collision/gjk.h"

#include <bit>
#include <cfloat>
#include <cmath>

const OvUInt8 OvpGjkSubsets[16][16] = {
    {0},
    {1, 0},
    {2, 0},
    {3, 1, 2, 0},
    {4, 0},
    {5, 1, 4, 0},
    {6, 2, 4, 0},
    {7, 3, 5, 6, 1, 2, 4, 0},
    {8, 0},
    {9, 1, 8, 0},
    {10, 2, 8, 0},
    {11, 3, 9, 10, 1, 2, 8, 0},
    {12, 4, 8, 0},
    {13, 5, 9, 12, 1, 4, 8, 0},
    {14, 6, 10, 12, 2, 4, 8, 0},
    {15, 7, 11, 13, 14, 3, 5, 6, 9, 10, 12, 1, 2, 4, 8, 0},
};

namespace {

OvV3d Position(const OvMatrix* m) { return m != nullptr && !OvpMathIsIdentity(m) ? m->pos : OvV3d{0.0f, 0.0f, 0.0f}; }

// The at axis of a placement (the plane's outward normal).
OvV3d AtAxis(const OvMatrix* m) { return m != nullptr && !OvpMathIsIdentity(m) ? m->at : OvV3d{0.0f, 0.0f, 1.0f}; }

// The closest point of the current simplex on B; the new vertex's when the simplex is still
// empty (a division by an empty determinant sum otherwise).
OvV3d PointOnB(const OvpGjkSimplex* s) {
    OvV3d b;
    if (s->mask == 0 || !OvpGjkSimplexPoint(&b, s->mask, 1, s)) {
        b = s->vertex[s->newSlot].b;
    }
    return b;
}

} // namespace

float OvpGjkSupport(OvpGjkVertex* out, const OvV3d* v, const OvpCollisionPair* pair, const OvV3d* shift) {
    const OvV3d minusV = OvpScale(*v, -1.0f);
    OvV3d a, b;
    OvpVolumeGetSupportPoint(pair->volume[0], pair->matrix[0], &minusV, &a);
    OvpVolumeGetSupportPoint(pair->volume[1], pair->matrix[1], v, &b);
    if (shift != nullptr) {
        a = OvpAdd(a, *shift);
    }
    out->b = b;
    out->w = OvpSub(a, b);
    return OvpDot(*v, out->w);
}

OvBool OvpGjkSimplexPoint(OvV3d* out, OvUInt32 subset, OvInt32 which, const OvpGjkSimplex* s) {
    float sum = 0.0f, smallest = 0.0f, largest = 0.0f;
    OvV3d p = {0.0f, 0.0f, 0.0f};
    for (int i = 0; i < 4; ++i) {
        if ((subset & (1u << i)) == 0) {
            continue;
        }
        const float d = s->determinant[subset][i];
        smallest = std::fmin(smallest, d);
        largest = std::fmax(largest, d);
        sum += d;
        p = OvpAdd(p, OvpScale(which == 0 ? s->vertex[i].w : s->vertex[i].b, d));
    }
    if (!(sum > 0.0f)) {
        return 0;
    }
    *out = OvpScale(p, 1.0f / sum);
    return smallest > -1e-5f * largest;
}

void OvpGjkDotProducts(OvpGjkSimplex* s) {
    const OvUInt32 k = s->newSlot;
    const OvUInt32 used = s->mask | s->newBit;
    for (OvUInt32 i = 0; i < 4; ++i) {
        if (used & (1u << i)) {
            s->dot[i][k] = s->dot[k][i] = OvpDot(s->vertex[i].w, s->vertex[k].w);
        }
    }
}

void OvpGjkDeterminants(OvpGjkSimplex* s) {
    const OvUInt32 nb = s->newBit;
    s->determinant[nb][s->newSlot] = 1.0f;
    // Subsets of the old simplex by size, so that every smaller set holding the new vertex is
    // ready before the sets built on it.
    for (int size = 1; size <= 3; ++size) {
        for (OvUInt32 sub = 1; sub < 16; ++sub) {
            if ((sub & s->mask) != sub || std::popcount(sub) != size) {
                continue;
            }
            const OvUInt32 x = sub | nb;
            for (OvUInt32 i = 0; i < 4; ++i) {
                if ((x & (1u << i)) == 0) {
                    continue;
                }
                const OvUInt32 rest = x & ~(1u << i);
                const OvUInt32 k = static_cast<OvUInt32>(std::countr_zero(rest));
                float d = 0.0f;
                for (OvUInt32 m = 0; m < 4; ++m) {
                    if (rest & (1u << m)) {
                        d += s->determinant[rest][m] * (s->dot[m][k] - s->dot[m][i]);
                    }
                }
                s->determinant[x][i] = d;
            }
        }
    }
}

float OvpGjkInitialDirection(const OvpCollisionPair* pair, OvV3d* direction) {
    OvpBBox a, b;
    OvpVolumeGetBoundingBoxInFrame(pair->volume[0], pair->matrix[0], 0, &a);
    OvpVolumeGetBoundingBoxInFrame(pair->volume[1], pair->matrix[1], 0, &b);
    const OvV3d d = OvpSub(OvpScale(OvpAdd(a.sup, a.inf), 0.5f), OvpScale(OvpAdd(b.sup, b.inf), 0.5f));
    OvpMathVec3Normalize(direction, &d);
    OvpGjkVertex v;
    return -OvpGjkSupport(&v, direction, pair, nullptr);
}

OvInt32 OvpGjkDistance(const OvpCollisionPair* pair, const OvV3d* shift, float threshold, OvpGjkSimplex* s,
                       OvV3d* normal, float* offset, float* separation, float lengthScale) {
    const float eps = 0.0001f * lengthScale;
    OvV3d v = {0.5f, 0.6f, 0.6244998f};
    float lower = 0.0f;
    float upper = 1.1f * eps + threshold + 1.0f;
    int iterations = 1, repeats = 0;
    OvV3d previous[2] = {};
    int previousNext = 0;
    s->mask = 0;
    while (upper > eps) {
        OvUInt32 slot = 0;
        while (s->mask & (1u << slot)) {
            ++slot;
        }
        s->newSlot = slot;
        s->newBit = 1u << slot;
        const float delta = OvpGjkSupport(&s->vertex[slot], &v, pair, shift);
        const auto answer = [&](OvInt32 result, float distance) {
            const OvV3d b = PointOnB(s);
            *normal = v;
            *offset = distance * 0.5f + OvpDot(v, b);
            *separation = distance;
            return result;
        };
        if (delta > threshold) {
            return answer(ovpGJK_APART, delta);
        }
        lower = std::fmax(lower, delta);
        if (upper < 1.01f * lower || (upper > 0.0f && delta > 0.0f && (repeats != 0 || iterations > 40))) {
            // The distance lies between the best lower bound and the simplex's closest point;
            // this step's support value alone may be far below both. The closest point is the
            // one that goes with the normal and B's point.
            return answer(ovpGJK_ANSWERED, upper);
        }
        if (++iterations > 50) {
            return ovpGJK_GAVEUP;
        }
        const OvV3d w = s->vertex[slot].w;
        if (iterations > 4 && (OvpAbsSum(w, previous[0]) <= 1e-6f || OvpAbsSum(w, previous[1]) <= 1e-6f)) {
            if (++repeats > 5) {
                return ovpGJK_GAVEUP;
            }
        }
        previous[previousNext] = w;
        previousNext ^= 1;
        OvpGjkDotProducts(s);
        OvpGjkDeterminants(s);
        const OvUInt8* subsets = OvpGjkSubsets[s->mask];
        float bestLength = FLT_MAX;
        OvV3d best = w;
        OvUInt32 bestMask = s->newBit;
        for (int e = 0;; ++e) {
            const OvUInt32 sub = subsets[e];
            const OvUInt32 x = sub | s->newBit;
            OvV3d p;
            bool valid;
            if (e == 0 && lower > 0.0f && x == 15) {
                valid = false;
            } else if (sub == 0) {
                p = w;
                valid = true;
            } else {
                valid = OvpGjkSimplexPoint(&p, x, 0, s) != 0;
            }
            if (valid) {
                const float l = OvpDot(p, p);
                if (l <= bestLength) {
                    bestLength = l;
                    best = p;
                    bestMask = x;
                }
            }
            if (sub == 0) {
                break;
            }
        }
        upper = std::sqrt(bestLength);
        OvpMathVec3Normalize(&v, &best);
        s->mask = bestMask;
        if (s->mask == 15) {
            break;
        }
    }
    *normal = v;
    *offset = 0.0f;
    *separation = -1.0f;
    return ovpGJK_ANSWERED;
}

OvBool OvpGjkSeparate(const OvpCollisionPair* pair, float threshold, OvV3d* normal, float* offset, float* separation,
                      float lengthScale) {
    const OvpVolume* a = pair->volume[0];
    const OvpVolume* b = pair->volume[1];
    const float fA = a->fat, fB = b->fat;
    if (a->type->id == ovpVOLUME_PLANE || b->type->id == ovpVOLUME_PLANE) {
        const bool planeA = a->type->id == ovpVOLUME_PLANE;
        OvV3d n = AtAxis(pair->matrix[planeA ? 0 : 1]);
        OvV3d q;
        float x, y;
        if (planeA) {
            n = OvpScale(n, -1.0f);
            OvpVolumeGetSupportPoint(b, pair->matrix[1], &n, &q);
            x = OvpDot(n, q) + fB;
            y = OvpDot(n, Position(pair->matrix[0])) - fA;
        } else {
            const OvV3d minusN = OvpScale(n, -1.0f);
            OvpVolumeGetSupportPoint(a, pair->matrix[0], &minusN, &q);
            x = OvpDot(n, Position(pair->matrix[1])) + fB;
            y = OvpDot(n, q) - fA;
        }
        *normal = n;
        *offset = (x + y) * 0.5f;
        *separation = y - x;
        return 1;
    }
    OvV3d d;
    const float depth = OvpGjkInitialDirection(pair, &d);
    float tHigh = 0.01f * lengthScale;
    if (depth > tHigh) {
        tHigh += depth;
    }
    float t = 0.0f, tLow = 0.0f;
    bool found = false;
    OvV3d n{};
    float off = 0.0f, sep = 0.0f;
    for (int round = 0; round < 4; ++round) {
        OvpGjkSimplex simplex;
        OvV3d rn;
        float roff, rsep;
        const OvV3d shift = OvpScale(d, t);
        const OvInt32 r =
            OvpGjkDistance(pair, &shift, fA + fB + threshold + t, &simplex, &rn, &roff, &rsep, lengthScale);
        if (r == ovpGJK_GAVEUP || rsep <= 0.0f) {
            tLow = t;
            if (!found) {
                if (t == tHigh) {
                    tHigh += lengthScale;
                }
                t = tHigh;
            } else {
                t = (t + tHigh) * 0.5f;
            }
            continue;
        }
        tHigh = t;
        found = true;
        n = rn;
        off = roff;
        sep = rsep;
        if (t == 0.0f || rsep < threshold) {
            break;
        }
        // Move the shift back towards the smallest that still separates. A normal across
        // the shift direction says nothing about how far: halve towards the last failure.
        const float sd = OvpDot(n, d);
        if (sd <= FLT_MIN || t <= rsep / sd) {
            t = 0.95f * tLow + 0.05f * t;
        } else {
            t -= 0.95f * rsep / sd;
        }
        tLow = std::fmin(tLow, t);
    }
    if (!found) {
        return 0;
    }
    if (tHigh != 0.0f) {
        const float k = OvpDot(n, d) * tHigh;
        off -= k * 0.5f;
        sep -= k;
    }
    *normal = n;
    *offset = off - (fA - fB) * 0.5f;
    *separation = sep - (fA + fB);
    return 1;
}
