#include "physics/core/collision/narrow.h"

#include <algorithm>
#include <bit>
#include <cfloat>
#include <cmath>
#include <optional>
#include <utility>

#include "physics/core/collision/triangle.h"
#include "physics/core/volume/primitives.h"

namespace {

OvV3d Position(const OvMatrix* m) { return m != nullptr && !OvpMathIsIdentity(m) ? m->pos : OvV3d{0.0f, 0.0f, 0.0f}; }

OvUInt32 Dimension(const OvpVolume* v) { return (v->type->words[0] >> 8) & 0xFF; }
OvUInt32 EdgeCount(const OvpVolume* v) { return v->type->words[0] >> 16; }
OvUInt32 FaceCount(const OvpVolume* v) { return v->type->words[1] & 0xFFFF; }
bool IsPlane(const OvpVolume* v) { return v->type->id == ovpVOLUME_PLANE; }

// Two vectors with the same bits (a direction asked again is the same direction only then):
// three word compares inline, not a call into the C library.
bool SameBits(const OvV3d& a, const OvV3d& b) {
    return ((std::bit_cast<OvUInt32>(a.x) ^ std::bit_cast<OvUInt32>(b.x)) |
            (std::bit_cast<OvUInt32>(a.y) ^ std::bit_cast<OvUInt32>(b.y)) |
            (std::bit_cast<OvUInt32>(a.z) ^ std::bit_cast<OvUInt32>(b.z))) == 0;
}

// The separation rule for one direction given both intervals.
float Choose(const OvV3d& d, float a0, float a1, float b0, float b1, OvV3d* normal, float* base) {
    const float s1 = a0 - b1, s2 = b0 - a1;
    if (s1 <= s2) {
        *normal = OvpScale(d, -1.0f);
        *base = -b0;
        return s2;
    }
    *normal = d;
    *base = b1;
    return s1;
}

struct Best {
    float value = -FLT_MAX;
    OvV3d normal = {0.0f, 0.0f, 1.0f};
    float base = 0.0f;
    void Offer(float v, const OvV3d& n, float b) {
        if (v > value) {
            value = v;
            normal = n;
            base = b;
        }
    }
};

// A face axis of one side: that side's interval is its own bound pair shifted by its position
// along the axis, the other's comes from its slot. -FLT_MAX when the slot gives no interval.
float FaceSeparation(const OvpCollisionPair* pair, int side, const OvpFaceAxis* face, OvV3d* normal, float* base) {
    const OvV3d& d = face->direction;
    const float shift = OvpDot(Position(pair->matrix[side]), d);
    float o0, o1;
    const int other = 1 - side;
    if (!OvpVolumeGetInterval(pair->volume[other], pair->matrix[other], &d, &o0, &o1)) {
        *normal = d;
        *base = 0.0f;
        return -FLT_MAX;
    }
    const float s0 = face->lower == -FLT_MAX ? -FLT_MAX : face->lower + shift;
    const float s1 = face->upper + shift;
    return side == 0 ? Choose(d, s0, s1, o0, o1, normal, base) : Choose(d, o0, o1, s0, s1, normal, base);
}

// d - (e . d) e normalised, or a perpendicular of e when too little of d is left.
OvV3d OvpGeneralPrimitiveFallbackAxis(const OvV3d& d, const OvV3d& e) {
    const float k = -OvpDot(e, d);
    const OvV3d r = OvpAdd(d, OvpScale(e, k));
    OvV3d out;
    const float l = OvpMathVec3Normalize(&out, &r);
    if (std::fabs(k) > FLT_MIN && l / std::fabs(k) > 0.001f) {
        return out;
    }
    if (std::fabs(k) <= FLT_MIN && l > FLT_MIN) {
        return out;
    }
    OvV3d p;
    OvpMathVec3Perpendicular(&p, &e);
    OvpMathVec3Normalize(&out, &p);
    return out;
}

// Closest points of segments p0-p1 and q0-q1 with parameters clamped to [0, 1]; parallel
// segments report their overlap's second parameter along q.
struct SegmentPair {
    OvV3d pa, pb;
    float s, t;
    bool parallel;
    float t2;
};
float Clamp01(float x) { return OvpMin(1.0f, OvpMax(0.0f, x)); }
SegmentPair OvpGeneralPrimitiveClosestOfSegments(const OvV3d& p0, const OvV3d& p1, const OvV3d& q0, const OvV3d& q1) {
    SegmentPair r{};
    const OvV3d a = OvpSub(p1, p0), b = OvpSub(q1, q0), c = OvpSub(p0, q0);
    const float aa = OvpDot(a, a), bb = OvpDot(b, b), ab = OvpDot(a, b);
    const float ac = OvpDot(a, c), bc = OvpDot(b, c);
    const float denom = aa * bb - ab * ab;
    const auto clamp = Clamp01;
    if (aa <= FLT_MIN && bb <= FLT_MIN) {
        r.s = r.t = 0.0f;
    } else if (aa <= FLT_MIN) {
        r.s = 0.0f;
        r.t = clamp(bc / bb);
    } else if (bb <= FLT_MIN) {
        r.t = 0.0f;
        r.s = clamp(-ac / aa);
    } else if (denom <= 0.0001f * aa * bb) {
        // Parallel: the overlap of the two along B's edge.
        r.parallel = true;
        const float u0 = bc / bb, u1 = (bc + ab) / bb; // p0 and p1 on q's parameter
        const float lo = clamp(OvpMin(u0, u1)), hi = clamp(OvpMax(u0, u1));
        r.t = lo;
        r.t2 = hi;
        const OvV3d q = OvpAdd(q0, OvpScale(b, r.t));
        r.s = clamp(OvpDot(OvpSub(q, p0), a) / aa);
        if (hi - lo <= 0.0f) {
            r.parallel = false;
        }
    } else {
        r.s = clamp((ab * bc - bb * ac) / denom);
        r.t = clamp((ab * r.s + bc) / bb);
        r.s = clamp((ab * r.t - ac) / aa);
    }
    r.pa = OvpAdd(p0, OvpScale(a, r.s));
    r.pb = OvpAdd(q0, OvpScale(b, r.t));
    return r;
}

// The segment routine for the segment p-p: the same branches and operations, without the terms
// only a segment of some length needs.
SegmentPair OvpGeneralPrimitiveClosestOnSegment(const OvV3d& p, const OvV3d& q0, const OvV3d& q1) {
    const OvV3d a = OvpSub(p, p);
    if (!(OvpDot(a, a) <= FLT_MIN)) {
        return OvpGeneralPrimitiveClosestOfSegments(p, p, q0, q1); // a point that is no number
    }
    SegmentPair r{};
    const OvV3d b = OvpSub(q1, q0), c = OvpSub(p, q0);
    const float bb = OvpDot(b, b);
    r.t = bb <= FLT_MIN ? 0.0f : Clamp01(OvpDot(b, c) / bb);
    r.pa = OvpAdd(p, OvpScale(a, r.s));
    r.pb = OvpAdd(q0, OvpScale(b, r.t));
    return r;
}

// p moved along the unit normal onto the plane n . x = offset.
OvV3d OntoPlane(const OvV3d& p, const OvV3d& n, float offset) { return OvpAdd(p, OvpScale(n, offset - OvpDot(n, p))); }

// Emission of contact points onto the contact plane.
struct Emitter {
    OvV3d* points;
    int count = 0;
    int capacity;
    bool closed = false;
    OvV3d normal;
    float offset;
    OvV3d Project(const OvV3d& p) const { return OntoPlane(p, normal, offset); }
    static float Apart(const OvV3d& a, const OvV3d& b, const OvV3d& n) {
        OvV3d d = OvpSub(a, b);
        d = OvpSub(d, OvpScale(n, OvpDot(d, n)));
        return OvpDot(d, d);
    }
    void Add(const OvV3d& p);
};

// Every emission: a point within 1e-6 (squared, across the normal) of the last one is dropped;
// one that meets the first again closes the loop and ends emission; any other is projected
// onto the contact plane and appended while there is room.
void OvpGeneralPrimitiveAddPoint(Emitter* out, const OvV3d& p) {
    if (out->closed || out->count >= out->capacity) {
        return;
    }
    if (out->count >= 1 && Emitter::Apart(p, out->points[out->count - 1], out->normal) < 1e-6f) {
        return;
    }
    if (out->count >= 2 && Emitter::Apart(p, out->points[0], out->normal) < 1e-6f) {
        out->closed = true;
        return;
    }
    out->points[out->count++] = out->Project(p);
}

void Emitter::Add(const OvV3d& p) { OvpGeneralPrimitiveAddPoint(this, p); }

// 2D coordinates in the contact plane.
struct Plane2 {
    OvV3d u, v;
    explicit Plane2(const OvV3d& n) {
        OvV3d p;
        OvpMathVec3Perpendicular(&p, &n);
        OvpMathVec3Normalize(&u, &p);
        v = OvpCross(n, u);
    }
    void To(const OvV3d& p, float out[2]) const {
        out[0] = OvpDot(p, u);
        out[1] = OvpDot(p, v);
    }
};

float Cross2(const float* o, const float* a, const float* b) {
    return (a[0] - o[0]) * (b[1] - o[1]) - (a[1] - o[1]) * (b[0] - o[0]);
}

// The feature's vertices in 2D, wound counter-clockwise whatever their order; false when the
// polygon has no area.
bool Polygon2(const OvpSupportFeature* f, const Plane2& plane, float (*out)[2], OvV3d* world) {
    const int n = f->count;
    float area = 0.0f;
    for (int i = 0; i < n; ++i) {
        plane.To(f->vertices[i].p, out[i]);
        world[i] = f->vertices[i].p;
    }
    for (int i = 1; i + 1 < n; ++i) {
        area += Cross2(out[0], out[i], out[i + 1]);
    }
    if (area < 0.0f) {
        for (int i = 0, j = n - 1; i < j; ++i, --j) {
            std::swap(out[i], out[j]);
            std::swap(world[i], world[j]);
        }
    }
    return std::fabs(area) > 1e-12f;
}

// The feature plane of one side, by the side's kind: a vertex's plane runs across the normal
// through the point; an edge's is the part of the normal perpendicular to the edge (the plane
// holding the edge that faces the other side most), through the edge; a face's is the face's
// own plane, the part of the normal perpendicular to the face. sign is +1 for B, -1 for A.
// Where the construction has no length (an edge along the normal, a face seen edge-on) the
// plane across the normal stands in. Written field by field: a plane returned whole was read
// back across the stores that made it, and the read waited for them.
void FeaturePlane(const OvpSupportFeature* f, int kind, const OvV3d* edge, const OvV3d& n, float sign,
                  const OvV3d& point, OvpFeaturePlane* out) {
    const OvV3d towards = OvpScale(n, sign);
    if (kind == ovpFEATURE_FACE) {
        if (OvpDot(f->normal, towards) > 0.1f) {
            out->normal = f->normal;
            out->offset = f->offset;
            return;
        }
    } else if (kind == ovpFEATURE_EDGE) {
        OvV3d e;
        const OvV3d diff = OvpSub(edge[1], edge[0]);
        if (OvpMathVec3Normalize(&e, &diff) > FLT_MIN) {
            const OvV3d across = OvpSub(towards, OvpScale(e, OvpDot(towards, e)));
            OvV3d m;
            if (OvpMathVec3Normalize(&m, &across) > 0.1f) {
                out->normal = m;
                out->offset = OvpDot(m, edge[0]);
                return;
            }
        }
    }
    out->normal = towards;
    out->offset = OvpDot(towards, point);
}

// A vertex against a face. Each edge of the polygon, in order, is an outside edge when the
// vertex lies on its line or beyond it; the outside edge farthest from the vertex (squared
// distance from its line) gives the closest point, of kind 1 inside the edge and 0 at its
// ends. With no outside edge the vertex lies over the face (kind 2; true). Seen across the
// plane's normal, with the polygon wound counter-clockwise about it whatever its order. A face
// with no area has no inside: the closest point of its whole boundary is taken.
bool OvpGeneralPrimitiveClosestOnPolygon(const OvV3d& p, const OvpSupportFeature* face, const Plane2& plane,
                                         OvV3d* onFace, OvUInt8* kind, OvV3d edge[2]) {
    float poly[ovpCONTACTMAXGENERATED][2];
    OvV3d world[ovpCONTACTMAXGENERATED];
    const int n = face->count;
    int first = 0, last = n;
    if (Polygon2(face, plane, poly, world)) {
        float q[2];
        plane.To(p, q);
        float farthest = -1.0f;
        int chosen = -1;
        for (int i = 0; i < n; ++i) {
            const float* v0 = poly[i];
            const float* v1 = poly[i + 1 < n ? i + 1 : 0];
            const float s = Cross2(v0, v1, q);
            if (s > 0.0f) {
                continue;
            }
            const float ex = v1[0] - v0[0], ey = v1[1] - v0[1];
            const float d = s * s / (ex * ex + ey * ey);
            if (d > farthest) {
                farthest = d;
                chosen = i;
            }
        }
        if (chosen < 0) {
            *kind = ovpFEATURE_FACE;
            return true;
        }
        first = chosen;
        last = chosen + 1;
    }
    // The closest point copied by coordinate: copied whole it went through memory and was read
    // back across the stores that put it there, and the read waited for them.
    float bestD = FLT_MAX;
    for (int i = first; i < last; ++i) {
        const OvV3d& v0 = world[i];
        const OvV3d& v1 = world[i + 1 < n ? i + 1 : 0];
        const SegmentPair s = OvpGeneralPrimitiveClosestOnSegment(p, v0, v1);
        const OvV3d d = OvpSub(s.pb, p);
        if (OvpDot(d, d) < bestD) {
            bestD = OvpDot(d, d);
            onFace->x = s.pb.x;
            onFace->y = s.pb.y;
            onFace->z = s.pb.z;
            *kind = s.t > 0.0f && s.t < 1.0f ? ovpFEATURE_EDGE : ovpFEATURE_VERTEX;
            edge[0] = v0;
            edge[1] = v1;
        }
    }
    return false;
}

} // namespace

float OvpGeneralPrimitiveAxisSeparation(const OvpCollisionPair* pair, const OvV3d* d, OvV3d* normal, float* base) {
    float a0, a1, b0, b1;
    OvpVolumeGetInterval(pair->volume[0], pair->matrix[0], d, &a0, &a1);
    OvpVolumeGetInterval(pair->volume[1], pair->matrix[1], d, &b0, &b1);
    return Choose(*d, a0, a1, b0, b1, normal, base);
}

float OvpGeneralPrimitiveFaceSeparationA(const OvpCollisionPair* pair, const OvpFaceAxis* face, OvV3d* normal,
                                         float* base) {
    return FaceSeparation(pair, 0, face, normal, base);
}

float OvpGeneralPrimitiveFaceSeparationB(const OvpCollisionPair* pair, const OvpFaceAxis* face, OvV3d* normal,
                                         float* base) {
    return FaceSeparation(pair, 1, face, normal, base);
}

OvBool OvpGeneralPrimitiveSeparate(const OvpCollisionPair* pair, float threshold, OvV3d* normal, float* offset,
                                   float* separation) {
    const OvpVolume* A = pair->volume[0];
    const OvpVolume* B = pair->volume[1];
    const OvV3d posA = Position(pair->matrix[0]), posB = Position(pair->matrix[1]);
    Best best;
    OvpFaceAxis faces[2][3];
    OvV3d edges[2][3];
    OvUInt32 faceCount[2] = {0, 0}, edgeCount[2] = {0, 0};
    if (IsPlane(A) || IsPlane(B)) {
        const int side = IsPlane(A) ? 0 : 1;
        pair->volume[side]->type->axes(pair->volume[side], pair->matrix[side], faces[side], edges[side]);
        faces[side][0].lower = -FLT_MAX;
        faces[side][0].upper = 0.0f;
        OvV3d n;
        float base;
        const float v = side == 0 ? OvpGeneralPrimitiveFaceSeparationA(pair, &faces[0][0], &n, &base)
                                  : OvpGeneralPrimitiveFaceSeparationB(pair, &faces[1][0], &n, &base);
        best.Offer(v, n, base);
    } else if (Dimension(A) + Dimension(B) == 0) {
        const OvV3d d = OvpSub(posA, posB);
        OvV3d n;
        const float l = OvpMathVec3Normalize(&n, &d);
        best.Offer(l, n, OvpDot(posB, n));
    } else {
        for (int side = 0; side < 2; ++side) {
            faceCount[side] = FaceCount(pair->volume[side]);
            edgeCount[side] = EdgeCount(pair->volume[side]);
        }
        // A triangle's edge directions serve only edge pairs and the fallback below: against a
        // piece without edges (a sphere) its face axis is taken alone.
        const bool edgePairs = edgeCount[0] > 0 && edgeCount[1] > 0;
        bool edgesTaken[2] = {true, true};
        for (int side = 0; side < 2; ++side) {
            const OvpVolume* v = pair->volume[side];
            if (faceCount[side] + edgeCount[side] == 0) {
                continue;
            }
            if (!edgePairs && v->type == &ovpTriangleVolumeType) {
                faces[side][0] = OvpTriangleGetFaceAxis(v, pair->matrix[side]);
                edgesTaken[side] = false;
            } else {
                v->type->axes(v, pair->matrix[side], faces[side], edges[side]);
            }
        }
        for (int side = 0; side < 2; ++side) {
            for (OvUInt32 i = 0; i < faceCount[side]; ++i) {
                OvV3d n;
                float base;
                const float v = side == 0 ? OvpGeneralPrimitiveFaceSeparationA(pair, &faces[0][i], &n, &base)
                                          : OvpGeneralPrimitiveFaceSeparationB(pair, &faces[1][i], &n, &base);
                best.Offer(v, n, base);
            }
        }
        for (OvUInt32 i = 0; edgePairs && i < edgeCount[0]; ++i) {
            for (OvUInt32 j = 0; j < edgeCount[1]; ++j) {
                const OvV3d c = OvpCross(edges[0][i], edges[1][j]);
                const float cc = OvpDot(c, c);
                if (cc <= 1e-6f) {
                    continue;
                }
                const OvV3d d = OvpScale(c, 1.0f / std::sqrt(cc));
                OvV3d n;
                float base;
                const float v = OvpGeneralPrimitiveAxisSeparation(pair, &d, &n, &base);
                best.Offer(v, n, base);
            }
        }
        if (best.value == -FLT_MAX) {
            for (int side = 0; side < 2; ++side) {
                if (!edgesTaken[side]) {
                    pair->volume[side]->type->axes(pair->volume[side], pair->matrix[side], faces[side], edges[side]);
                }
            }
            OvV3d d;
            if (faceCount[0] + faceCount[1] == 0 && edgeCount[0] > 0 && edgeCount[1] == 0) {
                d = OvpGeneralPrimitiveFallbackAxis(OvpSub(posB, posA), edges[0][0]);
            } else if (edgeCount[1] > 0) {
                d = OvpGeneralPrimitiveFallbackAxis(OvpSub(posA, posB), edges[1][0]);
            } else {
                const OvV3d diff = OvpSub(posA, posB);
                OvpMathVec3Normalize(&d, &diff);
            }
            OvV3d n;
            float base;
            const float v = OvpGeneralPrimitiveAxisSeparation(pair, &d, &n, &base);
            best.Offer(v, n, base);
        }
    }
    *normal = best.normal;
    *separation = best.value - A->fat - B->fat;
    *offset = best.base + (best.value + B->fat - A->fat) * 0.5f;
    (void)threshold;
    return 1;
}

namespace {

// One box of a box pair: its axes, its centre and its half sizes. A box with no placement, or
// the identity, keeps the world axes and takes no shift, as the general intervals do.
struct PlacedBoxSide {
    OvV3d rows[3];
    OvV3d pos;
    bool placed;
    const float* h;
    PlacedBoxSide(const OvpVolume* v, const OvMatrix* m)
        : placed(m != nullptr && !OvpMathIsIdentity(m)), h(v->data.param) {
        if (placed) {
            rows[0] = m->right;
            rows[1] = m->up;
            rows[2] = m->at;
            pos = m->pos;
        } else {
            rows[0] = {1.0f, 0.0f, 0.0f};
            rows[1] = {0.0f, 1.0f, 0.0f};
            rows[2] = {0.0f, 0.0f, 1.0f};
            pos = {0.0f, 0.0f, 0.0f};
        }
    }
    // The box's interval along the world direction d, rounded as the volume's own interval.
    void Span(const OvV3d& d, float* lo, float* hi) const {
        const OvV3d l = placed ? OvV3d{OvpDot(d, rows[0]), OvpDot(d, rows[1]), OvpDot(d, rows[2])} : d;
        float top = (std::fabs(l.x) * h[0] + std::fabs(l.y) * h[1]) + std::fabs(l.z) * h[2];
        float bottom = -top;
        if (placed) {
            const float shift = OvpDot(pos, d);
            bottom += shift;
            top += shift;
        }
        *lo = bottom;
        *hi = top;
    }
};

} // namespace

OvBool OvpBoxBoxSeparate(const OvpCollisionPair* pair, float threshold, OvV3d* normal, float* offset,
                         float* separation) {
    const OvpVolume* A = pair->volume[0];
    const OvpVolume* B = pair->volume[1];
    const PlacedBoxSide side[2] = {{A, pair->matrix[0]}, {B, pair->matrix[1]}};
    const float fatA = A->fat, fatB = B->fat;
    Best best;
    // An axis that already parts the boxes by the threshold decides the pair: the largest
    // separation can only be larger.
    const auto offer = [&](float v, const OvV3d& n, float base) {
        best.Offer(v, n, base);
        return v - fatA - fatB >= threshold;
    };
    for (int s = 0; s < 2; ++s) {
        const PlacedBoxSide& own = side[s];
        const PlacedBoxSide& other = side[1 - s];
        for (int i = 0; i < 3; ++i) {
            const OvV3d& d = own.rows[i];
            const float shift = OvpDot(own.pos, d);
            float o0, o1;
            other.Span(d, &o0, &o1);
            const float s0 = -own.h[i] + shift;
            const float s1 = own.h[i] + shift;
            OvV3d n;
            float base;
            const float v = s == 0 ? Choose(d, s0, s1, o0, o1, &n, &base) : Choose(d, o0, o1, s0, s1, &n, &base);
            if (offer(v, n, base)) {
                return 0;
            }
        }
    }
    for (int i = 0; i < 3; ++i) {
        for (int j = 0; j < 3; ++j) {
            const OvV3d c = OvpCross(side[0].rows[i], side[1].rows[j]);
            const float cc = OvpDot(c, c);
            if (cc <= 1e-6f) {
                continue;
            }
            const OvV3d d = OvpScale(c, 1.0f / std::sqrt(cc));
            float a0, a1, b0, b1;
            side[0].Span(d, &a0, &a1);
            side[1].Span(d, &b0, &b1);
            OvV3d n;
            float base;
            const float v = Choose(d, a0, a1, b0, b1, &n, &base);
            if (offer(v, n, base)) {
                return 0;
            }
        }
    }
    if (!(best.value > -FLT_MAX)) {
        // No axis gave a number (a broken placement): the general routine's fallback answers.
        return OvpGeneralPrimitiveSeparate(pair, threshold, normal, offset, separation);
    }
    *normal = best.normal;
    *separation = best.value - fatA - fatB;
    *offset = best.base + (best.value + fatB - fatA) * 0.5f;
    return 1;
}

OvInt32 OvpGeneralPrimitiveCollide(const OvpSupportFeature* a, const OvpSupportFeature* b, float fatDifference,
                                   float* offset, OvV3d* normal, float* separation, OvV3d* points, OvUInt8 kinds[2],
                                   OvpFeaturePlane planes[2], OvBool refine, OvpVertexFaceMemo* memo,
                                   OvV3d closest[2]) {
    const int nA = a->count, nB = b->count;
    Emitter out{points, 0, nA + nB, false, *normal, *offset};
    OvV3d pA = nA > 0 ? a->vertices[0].p : OvV3d{}, pB = nB > 0 ? b->vertices[0].p : OvV3d{};
    bool closestPair = false, parallel = false;
    SegmentPair seg{};
    // The plane's axes, made when first needed (along the normal as it came in).
    std::optional<Plane2> planeAxes;
    const auto plane = [&, entry = *normal]() -> const Plane2& {
        if (!planeAxes) {
            planeAxes.emplace(entry);
        }
        return *planeAxes;
    };

    // Each side's edge for its feature plane: an edge feature's own; a face's, the edge its
    // closest point lies on.
    OvV3d edgeA[2] = {pA, nA > 1 ? a->vertices[1].p : pA}, edgeB[2] = {pB, nB > 1 ? b->vertices[1].p : pB};
    kinds[0] = static_cast<OvUInt8>(nA == 1 ? ovpFEATURE_VERTEX : nA == 2 ? ovpFEATURE_EDGE : ovpFEATURE_FACE);
    kinds[1] = static_cast<OvUInt8>(nB == 1 ? ovpFEATURE_VERTEX : nB == 2 ? ovpFEATURE_EDGE : ovpFEATURE_FACE);

    const auto search = [&](const OvV3d& p, const OvpSupportFeature* face, OvV3d* onFace, OvUInt8* kind, OvV3d* edge) {
        return OvpGeneralPrimitiveClosestOnPolygon(p, face, plane(), onFace, kind, edge);
    };
    const auto vertexOnFace = [&](const OvV3d& p, const OvpSupportFeature* face, OvV3d* onFace, OvUInt8* kind,
                                  OvV3d* edge) {
        if (memo == nullptr) {
            return search(p, face, onFace, kind, edge);
        }
        if (!memo->valid || !SameBits(memo->normal, out.normal)) {
            memo->normal = out.normal;
            memo->inside = search(p, face, &memo->onFace, &memo->kind, memo->edge);
            memo->valid = true;
        }
        *kind = memo->kind;
        if (!memo->inside) {
            *onFace = memo->onFace;
            edge[0] = memo->edge[0];
            edge[1] = memo->edge[1];
        }
        return memo->inside;
    };

    if (nA == 0 || nB == 0) {
        const OvpSupportFeature* f = nA == 0 ? b : a;
        for (int i = 0; i < f->count; ++i) {
            out.Add(f->vertices[i].p);
        }
        if (nA == 0 && nB > 0) {
            pB = b->vertices[0].p;
        }
    } else if (nA == 1 || nB == 1) {
        const bool vertexA = nA == 1;
        const OvV3d p = vertexA ? a->vertices[0].p : b->vertices[0].p;
        const OvpSupportFeature* other = vertexA ? b : a;
        OvV3d* otherEdge = vertexA ? edgeB : edgeA;
        OvV3d q = other->vertices[0].p;
        OvUInt8 otherKind = ovpFEATURE_VERTEX;
        if (other->count == 2) {
            const SegmentPair s = OvpGeneralPrimitiveClosestOnSegment(p, other->vertices[0].p, other->vertices[1].p);
            q = s.pb;
            otherKind = s.t > 0.0f && s.t < 1.0f ? ovpFEATURE_EDGE : ovpFEATURE_VERTEX;
        } else if (other->count >= 3) {
            if (vertexOnFace(p, other, &q, &otherKind, otherEdge)) {
                kinds[vertexA ? 0 : 1] = ovpFEATURE_VERTEX;
                kinds[vertexA ? 1 : 0] = ovpFEATURE_FACE;
                out.Add(p);
                pA = vertexA ? p : out.points[0];
                pB = vertexA ? out.points[0] : p;
                goto planes;
            }
        }
        kinds[vertexA ? 0 : 1] = ovpFEATURE_VERTEX;
        kinds[vertexA ? 1 : 0] = otherKind;
        pA = vertexA ? p : q;
        pB = vertexA ? q : p;
        closestPair = true;
    } else if (nA + nB < 5) {
        seg = OvpGeneralPrimitiveClosestOfSegments(a->vertices[0].p, a->vertices[1].p, b->vertices[0].p,
                                                   b->vertices[1].p);
        kinds[0] = seg.s > 0.0f && seg.s < 1.0f ? ovpFEATURE_EDGE : ovpFEATURE_VERTEX;
        kinds[1] = seg.t > 0.0f && seg.t < 1.0f ? ovpFEATURE_EDGE : ovpFEATURE_VERTEX;
        pA = seg.pa;
        pB = seg.pb;
        parallel = seg.parallel;
        closestPair = true;
    } else {
        // At least one face: intersect the two polygons in the contact plane.
        float pa[ovpCONTACTMAXGENERATED][2], pb[ovpCONTACTMAXGENERATED][2];
        OvV3d wa[ovpCONTACTMAXGENERATED], wb[ovpCONTACTMAXGENERATED];
        const bool areaA = Polygon2(a, plane(), pa, wa);
        const bool areaB = Polygon2(b, plane(), pb, wb);
        const bool clipBySideB = areaB;
        const OvpSupportFeature* clipped = clipBySideB ? a : b;
        float(*subject)[2] = clipBySideB ? pa : pb;
        float(*clipper)[2] = clipBySideB ? pb : pa;
        const int nClip = clipBySideB ? nB : nA;
        const bool clipperHasArea = clipBySideB ? areaB : areaA;
        // Sutherland-Hodgman on a polygon, or a segment clipped parametrically.
        float poly[2 * ovpCONTACTMAXGENERATED + 2][2];
        int n = clipped->count;
        for (int i = 0; i < n; ++i) {
            poly[i][0] = subject[i][0];
            poly[i][1] = subject[i][1];
        }
        if (clipperHasArea && n == 2) {
            float t0 = 0.0f, t1 = 1.0f;
            for (int i = 0; i < nClip && t0 <= t1; ++i) {
                const float* c0 = clipper[i];
                const float* c1 = clipper[(i + 1) % nClip];
                const float s0 = Cross2(c0, c1, poly[0]), s1 = Cross2(c0, c1, poly[1]);
                if (s0 < 0.0f && s1 < 0.0f) {
                    t0 = 2.0f;
                } else if (s0 < 0.0f) {
                    t0 = std::fmax(t0, s0 / (s0 - s1));
                } else if (s1 < 0.0f) {
                    t1 = std::fmin(t1, s0 / (s0 - s1));
                }
            }
            if (t0 <= t1) {
                const float q0[2] = {poly[0][0] + (poly[1][0] - poly[0][0]) * t0,
                                     poly[0][1] + (poly[1][1] - poly[0][1]) * t0};
                const float q1[2] = {poly[0][0] + (poly[1][0] - poly[0][0]) * t1,
                                     poly[0][1] + (poly[1][1] - poly[0][1]) * t1};
                poly[0][0] = q0[0];
                poly[0][1] = q0[1];
                poly[1][0] = q1[0];
                poly[1][1] = q1[1];
            } else {
                n = 0;
            }
        } else if (clipperHasArea) {
            for (int i = 0; i < nClip && n > 0; ++i) {
                const float* c0 = clipper[i];
                const float* c1 = clipper[(i + 1) % nClip];
                float next[2 * ovpCONTACTMAXGENERATED + 2][2];
                int m = 0;
                for (int k = 0; k < n; ++k) {
                    const float* p = poly[k];
                    const float* q = poly[(k + 1) % n];
                    const float sp = Cross2(c0, c1, p), sq = Cross2(c0, c1, q);
                    if (sp >= 0.0f) {
                        next[m][0] = p[0];
                        next[m++][1] = p[1];
                    }
                    if ((sp >= 0.0f) != (sq >= 0.0f)) {
                        const float t = sp / (sp - sq);
                        next[m][0] = p[0] + (q[0] - p[0]) * t;
                        next[m++][1] = p[1] + (q[1] - p[1]) * t;
                    }
                }
                n = m < 2 * ovpCONTACTMAXGENERATED ? m : 2 * ovpCONTACTMAXGENERATED;
                for (int k = 0; k < n; ++k) {
                    poly[k][0] = next[k][0];
                    poly[k][1] = next[k][1];
                }
            }
        } else {
            n = 0;
        }
        if (n > 0) {
            // Back to 3D on the contact plane.
            const OvV3d origin = OvpScale(*normal, *offset);
            for (int k = 0; k < n; ++k) {
                out.Add(OvpAdd(origin, OvpAdd(OvpScale(plane().u, poly[k][0]), OvpScale(plane().v, poly[k][1]))));
            }
            pA = wa[0];
            pB = wb[0];
        } else {
            // The features do not overlap across the normal: their closest boundary points.
            float bestD = FLT_MAX;
            for (int i = 0; i < nA; ++i) {
                for (int j = 0; j < nB; ++j) {
                    const SegmentPair s =
                        OvpGeneralPrimitiveClosestOfSegments(wa[i], wa[(i + 1) % nA], wb[j], wb[(j + 1) % nB]);
                    const OvV3d d = OvpSub(s.pa, s.pb);
                    if (OvpDot(d, d) < bestD - 1e-6f || (s.parallel && !seg.parallel && OvpDot(d, d) < bestD + 1e-6f)) {
                        bestD = OvpDot(d, d);
                        seg = s;
                        edgeA[0] = wa[i];
                        edgeA[1] = wa[(i + 1) % nA];
                        edgeB[0] = wb[j];
                        edgeB[1] = wb[(j + 1) % nB];
                    }
                }
            }
            if (bestD < FLT_MAX) {
                pA = seg.pa;
                pB = seg.pb;
                parallel = seg.parallel;
                kinds[0] = seg.s > 0.0f && seg.s < 1.0f ? ovpFEATURE_EDGE : ovpFEATURE_VERTEX;
                kinds[1] = seg.t > 0.0f && seg.t < 1.0f ? ovpFEATURE_EDGE : ovpFEATURE_VERTEX;
                closestPair = true;
            }
        }
    }
    if (closestPair) {
        const OvV3d d = OvpSub(pA, pB);
        const float dd = OvpDot(d, d);
        if (refine && *separation >= 0.0f && dd > FLT_MIN) {
            const float l = std::sqrt(dd);
            *normal = OvpScale(d, 1.0f / l);
            *separation = l;
            *offset = (fatDifference + l) * 0.5f + OvpDot(*normal, pB);
            out.normal = *normal;
            out.offset = *offset;
        }
        out.Add(pB);
        if (parallel) {
            const OvV3d q0 = edgeB[0], q1 = edgeB[1];
            out.Add(OvpAdd(q0, OvpScale(OvpSub(q1, q0), seg.t2)));
            kinds[0] = kinds[1] = ovpFEATURE_EDGE;
        }
    }
planes:
    if (closest != nullptr) {
        closest[0] = pA;
        closest[1] = pB;
    }
    FeaturePlane(a, kinds[0], edgeA, *normal, -1.0f, pA, &planes[0]);
    FeaturePlane(b, kinds[1], edgeB, *normal, 1.0f, pB, &planes[1]);
    return out.count;
}

OvBool OvpCollisionAddRecordPoint(OvpContact* record, const OvV3d* point, float separation, float tolerance) {
    if (record->count >= ovpCONTACTPOINTS) {
        return 0;
    }
    if (tolerance >= 0.0f && record->count > 0) {
        if (OvpAbsSum(*point, record->points[0].position) <= tolerance ||
            (record->count >= 2 && OvpAbsSum(*point, record->points[record->count - 1].position) <= tolerance)) {
            return 0;
        }
    }
    OvpContactPoint& p = record->points[record->count++];
    p.position = *point;
    p.separation = separation;
    p.material = nullptr;
    p.surfaceVelocity = {0.0f, 0.0f, 0.0f};
    p.identity[0] = p.identity[1] = 0;
    return 1;
}

OvInt32 OvpCollisionWritePoints(const OvV3d* points, OvInt32 count, const OvpFeaturePlane planes[2], float threshold,
                                float fatSum, OvpContact* out) {
    const OvV3d n = out->normal;
    const auto depth = [&](const OvpFeaturePlane& p, const OvV3d& x) {
        const float c = OvpDot(p.normal, n);
        return (OvpDot(p.normal, x) - p.offset) / c;
    };
    const auto gapOf = [&](const OvV3d& x) { return depth(planes[1], x) - depth(planes[0], x) - fatSum; };
    const OvUInt32 before = out->count;
    if (count <= 0) {
        return 0;
    }
    if (count == 1) {
        // Stored as it is: the record is made only when the pair's separation is within the
        // threshold, and a single point's separation is that separation.
        OvpCollisionAddRecordPoint(out, &points[0], gapOf(points[0]), 0.0f);
        return static_cast<OvInt32>(out->count - before);
    }
    float gap[ovpCONTACTMAXGENERATED];
    float smallest = FLT_MAX;
    float perimeter = 0.0f;
    for (int i = 0; i < count; ++i) {
        gap[i] = gapOf(points[i]) - threshold;
        smallest = std::fmin(smallest, gap[i]);
        if (i > 0) {
            perimeter += OvpAbsSum(points[i], points[i - 1]);
        }
    }
    if (!(smallest <= 0.0f)) {
        return 0;
    }
    // Cut the polygon (or segment) where it leaves the threshold.
    OvV3d kept[2 * ovpCONTACTMAXGENERATED];
    float keptGap[2 * ovpCONTACTMAXGENERATED];
    int k = 0;
    const int edges = count == 2 ? 1 : count;
    for (int i = 0; i < count; ++i) {
        if (gap[i] <= 0.0f) {
            kept[k] = points[i];
            keptGap[k++] = gap[i];
        }
        if (i < edges) {
            const int j = (i + 1) % count;
            if ((gap[i] <= 0.0f) != (gap[j] <= 0.0f)) {
                const float t = gap[i] / (gap[i] - gap[j]);
                kept[k] = OvpAdd(points[i], OvpScale(OvpSub(points[j], points[i]), t));
                keptGap[k++] = 0.0f;
            }
        }
    }
    // Reduce to four: drop the point that spans the least area with its neighbours, never the
    // deepest. A measure that is not a number (points that are not, or so far out that the
    // products overflow) goes first; some point goes in every round whatever the measures.
    int deepest = 0;
    for (int i = 1; i < k; ++i) {
        if (keptGap[i] < keptGap[deepest]) {
            deepest = i;
        }
    }
    int index[2 * ovpCONTACTMAXGENERATED];
    for (int i = 0; i < k; ++i) {
        index[i] = i;
    }
    int m = k;
    while (m > static_cast<int>(ovpCONTACTPOINTS)) {
        int worst = -1;
        float worstMeasure = 0.0f;
        for (int i = 0; i < m; ++i) {
            if (index[i] == deepest) {
                continue;
            }
            const OvV3d& prev = kept[index[(i + m - 1) % m]];
            const OvV3d& p = kept[index[i]];
            const OvV3d& next = kept[index[(i + 1) % m]];
            const OvV3d span = OvpSub(next, prev);
            const OvV3d c = OvpCross(OvpSub(p, prev), span);
            const float l2 = OvpDot(span, span);
            const float measure = OvpDot(c, c) / (l2 * l2 + 1.0f);
            if (worst < 0 || measure < worstMeasure || std::isnan(measure)) {
                worstMeasure = measure;
                worst = i;
            }
        }
        for (int i = worst; i + 1 < m; ++i) {
            index[i] = index[i + 1];
        }
        --m;
    }
    const float tolerance = 0.01f * perimeter / static_cast<float>(count - 1);
    for (int i = 0; i < m; ++i) {
        OvpCollisionAddRecordPoint(out, &kept[index[i]], keptGap[index[i]] + threshold, tolerance);
    }
    return static_cast<OvInt32>(out->count - before);
}

OvBool OvpCollisionGetFeatures(const OvpCollisionPair* pair, const OvV3d* normal, OvpCollisionFeatures* f) {
    const auto poolAt = [f](OvUInt32 first, OvpSupportFeature* feature) {
        const OvUInt32 room = f->pool != nullptr && f->room > first ? f->room - first : 0u;
        OvpSupportFeatureInit(feature, room != 0 ? f->pool + first : nullptr,
                              static_cast<OvUInt16>(room < ovpPOOLFEATURE ? room : ovpPOOLFEATURE));
    };
    // A feature that fits its own storage moves there; a larger one keeps its pool points.
    const auto taken = [](OvpSupportFeature& feature) -> OvUInt32 {
        if (feature.vertices == feature.storage) {
            return 0;
        }
        if (feature.count > ovpFEATURESTORAGE) {
            return feature.count;
        }
        std::copy(feature.vertices, feature.vertices + feature.count, feature.storage);
        feature.vertices = feature.storage;
        feature.capacity = ovpFEATURESTORAGE;
        return 0;
    };
    f->used = 0;
    poolAt(0, &f->side[0]);
    const OvV3d minusN = OvpScale(*normal, -1.0f);
    if (OvpVolumeGetSupportFeature(pair->volume[0], pair->matrix[0], 1, &minusN, &f->side[0]) == nullptr) {
        return 0;
    }
    f->used = taken(f->side[0]);
    poolAt(f->used, &f->side[1]);
    if (OvpVolumeGetSupportFeature(pair->volume[1], pair->matrix[1], 0, normal, &f->side[1]) == nullptr) {
        return 0;
    }
    f->used += taken(f->side[1]);
    return 1;
}

OvBool OvpGeneralPrimitivePairTest(const OvpCollisionPair* pair, float threshold, OvpCollisionFeatures* work, float) {
    const bool boxes = pair->volume[0]->type->id == ovpVOLUME_BOX && pair->volume[1]->type->id == ovpVOLUME_BOX;
    return (boxes ? OvpBoxBoxSeparate(pair, threshold, &work->normal, &work->offset, &work->separation)
                  : OvpGeneralPrimitiveSeparate(pair, threshold, &work->normal, &work->offset, &work->separation)) &&
           work->separation < threshold && OvpCollisionGetFeatures(pair, &work->normal, work);
}

OvBool OvpGjkPairTest(const OvpCollisionPair* pair, float threshold, OvpCollisionFeatures* work, float lengthScale) {
    return OvpGjkSeparate(pair, threshold, &work->normal, &work->offset, &work->separation, lengthScale) &&
           work->separation < threshold && OvpCollisionGetFeatures(pair, &work->normal, work);
}

namespace {

// Whether a contact lies on an edge the triangle shares with a neighbour (one not set in its
// edge word): for a vertex or an edge feature, one of its own edges; for a face feature whose
// closest point p is on its rim (kind below 2), an edge p lies on, up to the rounding of a point
// computed along it. With every edge shared, wherever the contact lies on the rim it is on one.
bool OnSharedEdge(const OvpVolume* triangle, OvUInt32 word, const OvpSupportFeature& f, int kind, const OvV3d& p) {
    const OvUInt32 shared = ~word & ovpTRIANGLE_ALLEDGES;
    if (f.count < 3) {
        return (f.flags & shared) != 0;
    }
    if (shared == 0 || kind == ovpFEATURE_FACE) {
        return false;
    }
    if (shared == ovpTRIANGLE_ALLEDGES) {
        return true;
    }
    const OvpTriangleShape s = OvpTriangleGetShape(triangle);
    const OvV3d v[3] = {s.p0, s.p1, s.p2};
    static constexpr OvUInt32 kEdge[3] = {ovpTRIANGLE_EDGE01, ovpTRIANGLE_EDGE12, ovpTRIANGLE_EDGE20};
    for (int i = 0; i < 3; ++i) {
        if ((kEdge[i] & shared) == 0) {
            continue;
        }
        const OvV3d e = OvpSub(v[(i + 1) % 3], v[i]);
        const OvV3d off = OvpSub(OvpGeneralPrimitiveClosestOnSegment(p, v[i], v[(i + 1) % 3]).pb, p);
        if (OvpDot(off, off) <= 1e-10f * (OvpDot(e, e) + OvpDot(v[i], v[i]))) {
            return true;
        }
    }
    return false;
}

} // namespace

OvBool OvpCollisionMakeRecord(const OvpCollisionPair* pair, OvpCollisionFeatures* work, float threshold,
                              OvpContact* out) {
    const OvpVolume* A = pair->volume[0];
    const OvpVolume* B = pair->volume[1];
    out->count = 0;
    OvV3d n = work->normal;
    float offset = work->offset, separation = work->separation;
    const float fatSum = A->fat + B->fat;
    const bool refineAllowed = ((A->type->words[2] | B->type->words[2]) & ovpVOLUMETYPE_CYLINDER) == 0;
    OvpCollisionFeatures& features = *work;
    const OvpSupportFeature& fa = features.side[0];
    const OvpSupportFeature& fb = features.side[1];
    OvUInt8 kinds[2];
    OvV3d points[ovpCONTACTMAXGENERATED];
    OvpFeaturePlane planes[2];
    OvV3d closest[2];
    float core = 0.0f;
    // The features at hand are the pair test's, along its normal; they are fetched again only
    // for another direction (the same bits give the same features).
    OvV3d along = work->normal;
    OvpVertexFaceMemo memo{};
    const auto generate = [&](bool refine) -> OvInt32 {
        if (!SameBits(along, n)) {
            memo.valid = false;
            if (!OvpCollisionGetFeatures(pair, &n, &features)) {
                return 0;
            }
            along = n;
        }
        core = separation + fatSum;
        return OvpGeneralPrimitiveCollide(&fa, &fb, B->fat - A->fat, &offset, &n, &core, points, kinds, planes, refine,
                                          &memo, closest);
    };
    OvInt32 count = generate(refineAllowed);
    // A triangle's shared (unflagged) edges and its face inside are not surface edges: contacts
    // there take the face normal, turned towards the other volume unless one-sided, and the
    // points are made again along it. What counts is where the contact lies, not the feature: a
    // face feature whose closest point is on a real edge keeps the normal between the closest
    // points, or a wall's end face would push a body beside it like an endless plane.
    // The face inside counts on double-sided triangles too: a box corner sunk into a flat
    // double-sided floor would otherwise take a separating axis up to 45 degrees off the floor's
    // normal and be pushed sideways.
    for (int side = 0; side < 2 && count > 0; ++side) {
        const OvpVolume* v = pair->volume[side];
        if ((v->type->words[2] & ovpVOLUMETYPE_TRIANGLE) == 0) {
            continue;
        }
        const OvUInt32 word = OvpTriangleGetEdgeFlags(v);
        if (word == ovpTRIANGLE_ALLEDGES) {
            continue; // every edge real: the other side's triangle, if any, decides
        }
        const OvpSupportFeature* f = side == 0 ? &fa : &fb;
        const bool internalEdge = OnSharedEdge(v, word, *f, kinds[side], closest[side]);
        const bool overFace = kinds[side] == ovpFEATURE_FACE;
        if (internalEdge || overFace) {
            OvV3d face;
            OvpCollisionTriangleSide(pair, side, &face);
            const OvV3d m = side == 0 ? OvpScale(face, -1.0f) : face;
            if (OvpDot(m, n) < 0.99999f) {
                float a0, a1, b0, b1;
                OvpVolumeGetInterval(A, pair->matrix[0], &m, &a0, &a1);
                OvpVolumeGetInterval(B, pair->matrix[1], &m, &b0, &b1);
                n = m;
                separation = a0 - b1 - fatSum;
                offset = b1 + (a0 - b1 + B->fat - A->fat) * 0.5f;
                count = separation < threshold ? generate(false) : 0;
            }
        }
        break;
    }
    if (count == 0 || core - fatSum > threshold) {
        return 0;
    }
    out->normal = n;
    out->kind[0] = kinds[0];
    out->kind[1] = kinds[1];
    OvpCollisionWritePoints(points, count, planes, threshold, fatSum, out);
    return out->count > 0;
}

namespace {

// A sphere against a triangle (side t of the pair, in world coordinates): the pair test, the
// features and the one contact point of the general routines, step by step with the same
// operations in the same order, so the same record, without the slots, the point pool, the
// polygon clipping and the memo the general case needs. -1 when the face axis gives no number
// (the general routine then takes its fallback axis); else 1 when the record has its point.
int SphereTriangleRecord(const OvpCollisionPair* pair, int t, float threshold, OvpContact* out) {
    const OvpVolume* A = pair->volume[0];
    const OvpVolume* B = pair->volume[1];
    const OvpVolume* T = pair->volume[t];
    const OvMatrix* placement = pair->matrix[1 - t];
    const bool placed = placement != nullptr && !OvpMathIsIdentity(placement);
    // The sphere's core is its centre: its interval along d is one value.
    const auto sphereAt = [&](const OvV3d& d) { return placed ? 0.0f + OvpDot(placement->pos, d) : 0.0f; };
    const auto extremes = [&](const OvV3d& d, float* a0, float* a1, float* b0, float* b1) {
        float lo, hi;
        OvpTriangleGetInterval(T, &d, &lo, &hi);
        const float c = sphereAt(d);
        *a0 = t == 0 ? lo : c;
        *a1 = t == 0 ? hi : c;
        *b0 = t == 0 ? c : lo;
        *b1 = t == 0 ? c : hi;
    };

    // The separating axis: the triangle's face axis alone.
    const OvpFaceAxis face = OvpTriangleGetFaceAxis(T, nullptr);
    const OvV3d& d = face.direction;
    const float shift = OvpDot(OvV3d{0.0f, 0.0f, 0.0f}, d);
    const float s0 = face.lower == -FLT_MAX ? -FLT_MAX : face.lower + shift;
    const float s1 = face.upper + shift;
    const float c = sphereAt(d);
    OvV3d n;
    float base;
    const float value = t == 0 ? Choose(d, s0, s1, c, c, &n, &base) : Choose(d, c, c, s0, s1, &n, &base);
    if (!(value > -FLT_MAX)) {
        return -1;
    }
    const float fatSum = A->fat + B->fat;
    float separation = value - A->fat - B->fat;
    float offset = base + (value + B->fat - A->fat) * 0.5f;
    if (!(separation < threshold)) {
        return 0;
    }

    // The features: the sphere's centre, the triangle's vertex, edge or face.
    OvpSupportFeature features[2];
    OvpSupportFeature& tri = features[t];
    OvpSupportFeature& centre = features[1 - t];
    OvpSupportFeatureInit(&centre);
    centre.count = 1;
    centre.vertices[0].p =
        placement != nullptr ? OvpMathTransformPoint(OvV3d{0.0f, 0.0f, 0.0f}, placement) : OvV3d{0.0f, 0.0f, 0.0f};
    centre.vertices[0].spare = 0.0f;
    // The triangle's feature along a normal, fetched again only for other bits; with it the
    // centre's search over a face feature, made again only along another normal.
    OvV3d along = n;
    OvpVertexFaceMemo memo{};
    const auto fetch = [&](const OvV3d& normal) {
        OvpSupportFeatureInit(&tri);
        const OvV3d direction = t == 0 ? OvpScale(normal, -1.0f) : normal;
        OvpTriangleGetSupportFeature(T, t == 0 ? 1 : 0, &direction, &tri);
        along = normal;
        memo.valid = false;
    };
    fetch(n);

    // One pass: the centre over the face, or the closest points of the two features, between
    // which the normal then runs when they are apart. The record's point and the feature
    // planes are made after the last pass.
    const OvpSupportFeature& a = features[0];
    const OvpSupportFeature& b = features[1];
    OvUInt8 kinds[2];
    OvV3d point, pA, pB;
    OvV3d edges[2][2];
    bool over = false;
    float core = 0.0f;
    const auto collide = [&](bool refine) {
        core = separation + fatSum;
        const bool vertexA = a.count == 1;
        const OvV3d p = vertexA ? a.vertices[0].p : b.vertices[0].p;
        const OvpSupportFeature& other = vertexA ? b : a;
        OvV3d* otherEdge = edges[vertexA ? 1 : 0];
        OvV3d q = other.vertices[0].p;
        otherEdge[0] = q;
        otherEdge[1] = other.count > 1 ? other.vertices[1].p : q;
        OvUInt8 otherKind = ovpFEATURE_VERTEX;
        over = false;
        if (other.count == 2) {
            const SegmentPair s = OvpGeneralPrimitiveClosestOnSegment(p, other.vertices[0].p, other.vertices[1].p);
            q = s.pb;
            otherKind = s.t > 0.0f && s.t < 1.0f ? ovpFEATURE_EDGE : ovpFEATURE_VERTEX;
        } else if (other.count >= 3) {
            if (!memo.valid || !SameBits(memo.normal, n)) {
                memo.normal = n;
                memo.inside =
                    OvpGeneralPrimitiveClosestOnPolygon(p, &other, Plane2(n), &memo.onFace, &memo.kind, memo.edge);
                memo.valid = true;
            }
            over = memo.inside;
            otherKind = memo.kind;
            if (!over) {
                q = memo.onFace;
                otherEdge[0] = memo.edge[0];
                otherEdge[1] = memo.edge[1];
            }
        }
        kinds[vertexA ? 0 : 1] = ovpFEATURE_VERTEX;
        kinds[vertexA ? 1 : 0] = otherKind;
        if (over) {
            point = OntoPlane(p, n, offset);
            pA = vertexA ? p : point;
            pB = vertexA ? point : p;
        } else {
            pA = vertexA ? p : q;
            pB = vertexA ? q : p;
            const OvV3d apart = OvpSub(pA, pB);
            const float dd = OvpDot(apart, apart);
            if (refine && core >= 0.0f && dd > FLT_MIN) {
                const float l = std::sqrt(dd);
                n = OvpScale(apart, 1.0f / l);
                core = l;
                offset = (B->fat - A->fat + l) * 0.5f + OvpDot(n, pB);
            }
        }
    };
    collide(true);

    // Inside the face or on a shared edge the contact takes the face normal.
    const OvUInt32 word = OvpTriangleGetEdgeFlags(T);
    if (word != ovpTRIANGLE_ALLEDGES &&
        (kinds[t] == ovpFEATURE_FACE || OnSharedEdge(T, word, tri, kinds[t], t == 0 ? pA : pB))) {
        OvV3d side;
        OvpCollisionTriangleSide(pair, t, &side);
        const OvV3d m = t == 0 ? OvpScale(side, -1.0f) : side;
        if (OvpDot(m, n) < 0.99999f) {
            float a0, a1, b0, b1;
            extremes(m, &a0, &a1, &b0, &b1);
            n = m;
            separation = a0 - b1 - fatSum;
            offset = b1 + (a0 - b1 + B->fat - A->fat) * 0.5f;
            if (!(separation < threshold)) {
                return 0;
            }
            if (!SameBits(along, n)) {
                fetch(n);
            }
            collide(false);
        }
    }
    if (core - fatSum > threshold) {
        return 0;
    }
    if (!over) {
        point = OntoPlane(pB, n, offset);
    }
    OvpFeaturePlane planes[2];
    FeaturePlane(&a, kinds[0], edges[0], n, -1.0f, pA, &planes[0]);
    FeaturePlane(&b, kinds[1], edges[1], n, 1.0f, pB, &planes[1]);
    out->normal = n;
    out->kind[0] = kinds[0];
    out->kind[1] = kinds[1];
    OvpCollisionWritePoints(&point, 1, planes, threshold, fatSum, out);
    return out->count > 0 ? 1 : 0;
}

} // namespace

OvBool OvpCollideVolumes(const OvpCollisionPair* pair, float threshold, float lengthScale, OvpContact* out,
                         OvpFeatureVertex* pool, OvUInt32 room, OvUInt32* used) {
    if (used != nullptr) {
        *used = 0;
    }
    out->count = 0;
    for (int t = 0; t < 2; ++t) {
        if (pair->volume[t]->type == &ovpTriangleVolumeType && pair->matrix[t] == nullptr &&
            pair->volume[1 - t]->type == &ovpSphereVolumeType) {
            const int made = SphereTriangleRecord(pair, t, threshold, out);
            if (made >= 0) {
                return made;
            }
        }
    }
    OvpCollisionFeatures work;
    work.pool = pool;
    work.room = room;
    work.used = 0;
    const OvUInt32 flags = pair->volume[0]->type->words[2] | pair->volume[1]->type->words[2];
    const bool touching = (flags & ovpVOLUMETYPE_DISTANCE) != 0
                              ? OvpGjkPairTest(pair, threshold, &work, lengthScale)
                              : OvpGeneralPrimitivePairTest(pair, threshold, &work, lengthScale);
    if (!touching || !OvpCollisionMakeRecord(pair, &work, threshold, out)) {
        return 0;
    }
    if (used != nullptr) {
        *used = work.used;
    }
    return 1;
}

void OvpCollisionTriangleSide(const OvpCollisionPair* pair, int side, OvV3d* normal) {
    const OvpVolume* t = pair->volume[side];
    const OvpTriangleShape shape = OvpTriangleGetShape(t);
    *normal = shape.normal;
    if ((OvpTriangleGetEdgeFlags(t) & ovpTRIANGLE_ONESIDED) == 0) {
        const int other = 1 - side;
        float lo, hi;
        if (OvpVolumeGetInterval(pair->volume[other], pair->matrix[other], normal, &lo, &hi)) {
            const float level = OvpDot(*normal, shape.p1);
            if (hi - level < level - lo) {
                *normal = OvpScale(*normal, -1.0f);
            }
        }
    }
}

void OvpContactCopy(OvpContact* out, const OvpContact* record) {
    float* solved = out->solved;
    *out = *record;
    out->solved = solved;
}

OvBool OvpGeneralPrimitiveNearFacePlane(const OvpContact* face, const OvpContact* other, float lengthScale) {
    const float d = std::fabs(OvpDot(face->normal, OvpSub(face->points[0].position, other->points[0].position)));
    const float smaller = std::fmin(std::fabs(face->points[0].separation), std::fabs(other->points[0].separation));
    return d < 0.5f * smaller + 0.1f * lengthScale;
}

OvUInt32 OvpGeneralPrimitiveMergeContacts(OvpContact* records, OvUInt32 count, OvBool triangles, OvpContact* out,
                                          OvUInt32 capacity, float lengthScale) {
    if (count == 0 || capacity == 0) {
        return 0;
    }
    if (count == 1) {
        if (records[0].count == 0) {
            return 0;
        }
        OvpContactCopy(out, &records[0]);
        return 1;
    }
    if (triangles) {
        // Edge and vertex contacts in the plane of a deeper face contact of the same piece:
        // first the other side's kinds among records of one A piece, then A's kinds among
        // records of one B piece.
        for (int grouped = 0; grouped < 2; ++grouped) {
            const int checked = 1 - grouped;
            for (OvUInt32 f = 0; f < count; ++f) {
                const OvpContact& face = records[f];
                if (face.count == 0 || face.kind[checked] != ovpFEATURE_FACE) {
                    continue;
                }
                for (OvUInt32 e = 0; e < count; ++e) {
                    OvpContact& other = records[e];
                    if (e == f || other.count == 0 || other.kind[checked] >= ovpFEATURE_FACE ||
                        other.points[0].identity[grouped] != face.points[0].identity[grouped]) {
                        continue;
                    }
                    if (face.points[0].separation < other.points[0].separation &&
                        OvpGeneralPrimitiveNearFacePlane(&face, &other, lengthScale)) {
                        other.count = 0;
                    }
                }
            }
        }
    }
    // Group records whose normals and planes agree.
    OvUInt32 leader[ovpMERGERECORDS];
    OvUInt32 groupOf[ovpMERGERECORDS];
    const OvUInt32 limit = count < ovpMERGERECORDS ? count : ovpMERGERECORDS;
    OvUInt32 groups = 0;
    for (OvUInt32 i = 0; i < limit; ++i) {
        groupOf[i] = ~0u;
        const OvpContact& r = records[i];
        if (r.count == 0) {
            continue;
        }
        for (OvUInt32 g = 0; g < groups && groupOf[i] == ~0u; ++g) {
            const OvpContact& l = records[leader[g]];
            const OvV3d d = OvpSub(l.points[0].position, r.points[0].position);
            if (OvpNormalsAgree(l.normal, r.normal) && (std::fabs(OvpDot(l.normal, d)) < 0.01f * lengthScale ||
                                                        std::fabs(OvpDot(r.normal, d)) < 0.01f * lengthScale)) {
                groupOf[i] = g;
            }
        }
        if (groupOf[i] == ~0u && groups < capacity) {
            leader[groups] = i;
            groupOf[i] = groups++;
        }
    }
    const float near = 0.001f * lengthScale;
    for (OvUInt32 g = 0; g < groups; ++g) {
        OvpContact* o = &out[g];
        const OvpContact& first = records[leader[g]];
        OvV3d normal = {0.0f, 0.0f, 0.0f};
        OvUInt32 members = 0, points = 0;
        for (OvUInt32 i = leader[g]; i < limit; ++i) {
            if (groupOf[i] == g) {
                normal = OvpAdd(normal, OvpScale(records[i].normal, static_cast<float>(records[i].count)));
                ++members;
                points += records[i].count;
            }
        }
        OvpContactCopy(o, &first);
        if (members == 1) {
            continue;
        }
        OvpMathVec3Normalize(&o->normal, &normal);
        const auto repeats = [&](const OvV3d& p) {
            for (OvUInt32 k = 0; k < o->count; ++k) {
                if (OvpAbsSum(p, o->points[k].position) <= near) {
                    return true;
                }
            }
            return false;
        };
        if (points <= ovpCONTACTPOINTS) {
            for (OvUInt32 i = leader[g] + 1; i < limit; ++i) {
                if (groupOf[i] != g) {
                    continue;
                }
                for (OvUInt32 k = 0; k < records[i].count; ++k) {
                    if (!repeats(records[i].points[k].position)) {
                        o->points[o->count++] = records[i].points[k];
                    }
                }
            }
            continue;
        }
        // Four extremes: along the direction from the deepest point to the mean, and across it.
        const OvpContactPoint* deepest = &first.points[0];
        OvV3d mean = {0.0f, 0.0f, 0.0f};
        for (OvUInt32 i = leader[g]; i < limit; ++i) {
            for (OvUInt32 k = 0; groupOf[i] == g && k < records[i].count; ++k) {
                mean = OvpAdd(mean, records[i].points[k].position);
                if (records[i].points[k].separation < deepest->separation) {
                    deepest = &records[i].points[k];
                }
            }
        }
        mean = OvpScale(mean, 1.0f / static_cast<float>(points));
        OvV3d u = OvpSub(mean, deepest->position);
        if ((std::fabs(u.x) + std::fabs(u.y)) + std::fabs(u.z) < FLT_MIN) {
            u.x = 1.0f;
        }
        const OvV3d v = OvpCross(o->normal, u);
        const OvpContactPoint* pick[4] = {nullptr, nullptr, nullptr, nullptr};
        float best[4] = {-FLT_MAX, -FLT_MAX, -FLT_MAX, -FLT_MAX};
        for (OvUInt32 i = leader[g]; i < limit; ++i) {
            for (OvUInt32 k = 0; groupOf[i] == g && k < records[i].count; ++k) {
                const OvpContactPoint* p = &records[i].points[k];
                const float pu = OvpDot(p->position, u), pv = OvpDot(p->position, v);
                const float measure[4] = {pu, pv, -pu, -pv};
                for (int m = 0; m < 4; ++m) {
                    if (measure[m] > best[m]) {
                        best[m] = measure[m];
                        pick[m] = p;
                    }
                }
            }
        }
        o->count = 0;
        for (int m = 0; m < 4; ++m) {
            if (pick[m] != nullptr && !repeats(pick[m]->position)) {
                o->points[o->count++] = *pick[m];
            }
        }
    }
    return groups;
}
