#include "physics/core/collision/triangle.h"

#include <cfloat>
#include <cmath>
#include <cstddef>
#include <cstring>
#include <initializer_list>

namespace {

OvBool ReturnOne(OvpVolume*) { return 1; }
float ZeroThickness(const OvpVolume*) { return 0.0f; }

// Flags of the vertices P0, P1, P2 (their two edges) and of the edges P0-P1, P1-P2, P2-P0.
constexpr OvUInt32 kVertexFlags[3] = {10, 6, 12};

OvUInt32 EdgeFlag(int a, int b) {
    const int lo = a < b ? a : b, hi = a < b ? b : a;
    if (lo == 0 && hi == 1) {
        return ovpTRIANGLE_EDGE01;
    }
    if (lo == 1) {
        return ovpTRIANGLE_EDGE12;
    }
    return ovpTRIANGLE_EDGE20;
}

void Vertices(const OvpTriangleShape& s, OvV3d v[3]) {
    v[0] = s.p0;
    v[1] = s.p1;
    v[2] = s.p2;
}

void SetVertex(OvpSupportFeature* out, OvUInt16 index, const OvV3d& p) {
    out->vertices[index].p = p;
    out->vertices[index].spare = 0.0f;
}

} // namespace

// The first hit of the segment with the capsule of the edge a-b: a fraction in [0, 1], or 2.
float OvpTriangleIntersectEdge(const OvV3d& a, const OvV3d& b, float radius, const OvV3d& start, const OvV3d& delta) {
    float best = 2.0f;
    const OvV3d ab = OvpSub(b, a);
    const float len = OvpLength(ab);
    float frac[2];
    if (len > FLT_MIN) {
        const OvV3d axis = OvpScale(ab, 1.0f / len);
        if (OvpRayHitCylinder(frac, &start, &delta, &a, &axis, radius) == 1 && frac[1] > 0.0f) {
            const float t = frac[0] / frac[1];
            const float along = OvpDot(OvpSub(OvpAdd(start, OvpScale(delta, t)), a), axis);
            if (along >= 0.0f && along <= len) {
                best = t;
            }
        }
    }
    for (const OvV3d* end : {&a, &b}) {
        if (OvpRayHitSphere(frac, &start, &delta, end, radius) == 1 && frac[1] > 0.0f) {
            best = std::fmin(best, frac[0] / frac[1]);
        }
    }
    return best;
}

OvpVolume* OvpTriangleInit(OvpVolume* volume, const OvV3d& p0, const OvV3d& p1, const OvV3d& p2, OvUInt32 edgeFlags) {
    const OvV3d n = OvpCross(OvpSub(p1, p0), OvpSub(p2, p0));
    OvV3d normal;
    OvpMathVec3Normalize(&normal, &n);
    return OvpTriangleInitWithNormal(volume, p0, p1, p2, normal, edgeFlags);
}

OvpVolume* OvpTriangleInitWithNormal(OvpVolume* volume, const OvV3d& p0, const OvV3d& p1, const OvV3d& p2,
                                     const OvV3d& normal, OvUInt32 edgeFlags) {
    // Stored field by field: a shape built on the stack and copied whole is read back in rows
    // that span several of its smaller stores, and each such read waits for them.
    const float offset = OvpDot(normal, p0);
    const float zero = 0.0f;
    auto* area = reinterpret_cast<unsigned char*>(&volume->matrix);
    std::memcpy(area + offsetof(OvpTriangleShape, p0), &p0, sizeof(p0));
    std::memcpy(area + offsetof(OvpTriangleShape, pad0), &zero, sizeof(zero));
    std::memcpy(area + offsetof(OvpTriangleShape, p1), &p1, sizeof(p1));
    std::memcpy(area + offsetof(OvpTriangleShape, offset), &offset, sizeof(offset));
    std::memcpy(area + offsetof(OvpTriangleShape, p2), &p2, sizeof(p2));
    std::memcpy(area + offsetof(OvpTriangleShape, pad2), &zero, sizeof(zero));
    std::memcpy(area + offsetof(OvpTriangleShape, normal), &normal, sizeof(normal));
    std::memcpy(area + offsetof(OvpTriangleShape, pad3), &zero, sizeof(zero));
    volume->type = &ovpTriangleVolumeType;
    volume->data.word[0] = edgeFlags & 0xFFFF;
    return volume;
}

OvpTriangleShape OvpTriangleGetShape(const OvpVolume* volume) {
    OvpTriangleShape s;
    std::memcpy(&s, &volume->matrix, sizeof(s));
    return s;
}

OvSphere* OvpTriangleGetBoundingSphere(const OvpVolume* volume, OvSphere* out) {
    const OvpTriangleShape s = OvpTriangleGetShape(volume);
    const OvV3d c = OvpScale(OvpAdd(OvpAdd(s.p0, s.p1), s.p2), 0.33333334f);
    float r2 = 0.0f;
    for (const OvV3d& p : {s.p0, s.p1, s.p2}) {
        const OvV3d d = OvpSub(p, c);
        r2 = std::fmax(r2, OvpDot(d, d));
    }
    out->center = c;
    out->radius = std::sqrt(r2) + volume->fat;
    return out;
}

float OvpTriangleGetMassProperties(const OvpVolume* volume, OvpInertia* inertia, OvV3d* centre) {
    OvSphere sphere;
    OvpTriangleGetBoundingSphere(volume, &sphere);
    const float r = sphere.radius;
    inertia->diagonal = {0.4f * r * r, 0.4f * r * r, 0.4f * r * r};
    inertia->orientation = {0.0f, 0.0f, 0.0f, 1.0f};
    *centre = sphere.center;
    return 2.0f * r * r * volume->fat;
}

OvpBBox* OvpTriangleBoxOf(const OvV3d& p0, const OvV3d& p1, const OvV3d& p2, float fat, OvpBBox* out) {
    // Grown from p0 by p1, then p2, as OvpMathBoxExtend grows a box, in registers.
    OvV3d sup = {OvpMax(OvpMax(p0.x, p1.x), p2.x), OvpMax(OvpMax(p0.y, p1.y), p2.y), OvpMax(OvpMax(p0.z, p1.z), p2.z)};
    OvV3d inf = {OvpMin(OvpMin(p0.x, p1.x), p2.x), OvpMin(OvpMin(p0.y, p1.y), p2.y), OvpMin(OvpMin(p0.z, p1.z), p2.z)};
    if (fat > 0.0f) {
        sup = OvpAdd(sup, {fat, fat, fat});
        inf = OvpSub(inf, {fat, fat, fat});
    }
    out->sup = sup;
    out->inf = inf;
    out->pad0 = out->pad1 = 0;
    return out;
}

OvpBBox* OvpTriangleGetBoundingBox(const OvpVolume* volume, const OvMatrix* matrix, OvBool, OvpBBox* out) {
    const OvpTriangleShape s = OvpTriangleGetShape(volume);
    OvV3d v[3];
    Vertices(s, v);
    const bool transform = matrix != nullptr && static_cast<const void*>(matrix) != &volume->matrix;
    for (OvV3d& p : v) {
        if (transform) {
            p = OvpMathTransformPoint(p, matrix);
        }
    }
    return OvpTriangleBoxOf(v[0], v[1], v[2], volume->fat, out);
}

OvV3d* OvpTriangleGetSupportPoint(const OvpVolume* volume, const OvV3d* d, OvV3d* out) {
    const OvpTriangleShape s = OvpTriangleGetShape(volume);
    OvV3d v[3];
    Vertices(s, v);
    int best = 0;
    for (int i = 1; i < 3; ++i) {
        if (OvpDot(*d, v[i]) > OvpDot(*d, v[best])) {
            best = i;
        }
    }
    *out = v[best];
    return out;
}

OvpSupportFeature* OvpTriangleGetSupportFeature(const OvpVolume* volume, OvBool flag, const OvV3d* d,
                                                OvpSupportFeature* out) {
    const OvpTriangleShape s = OvpTriangleGetShape(volume);
    OvV3d v[3];
    Vertices(s, v);
    float dot[3];
    for (int i = 0; i < 3; ++i) {
        dot[i] = OvpDot(*d, v[i]);
    }
    int first = 0;
    for (int i = 1; i < 3; ++i) {
        if (dot[i] > dot[first]) {
            first = i;
        }
    }
    int second = first == 0 ? 1 : 0;
    for (int i = 0; i < 3; ++i) {
        if (i != first && dot[i] > dot[second]) {
            second = i;
        }
    }
    const float h = OvpDot(s.normal, *d);
    if (h >= -0.7071f && h <= 0.7071f) {
        OvV3d e;
        const OvV3d diff = OvpSub(v[first], v[second]);
        OvpMathVec3Normalize(&e, &diff);
        const float de = OvpDot(*d, e);
        if (de >= 0.5f) {
            out->count = 1;
            SetVertex(out, 0, v[first]);
            out->normal = *d;
            out->flags = kVertexFlags[first];
        } else {
            out->count = 2;
            SetVertex(out, 0, v[first]);
            SetVertex(out, 1, v[second]);
            const OvV3d perpendicular = OvpSub(*d, OvpScale(e, de));
            OvpMathVec3Normalize(&out->normal, &perpendicular);
            out->flags = EdgeFlag(first, second);
        }
    } else {
        // P0, P1, P2 winds counter-clockwise about the stored normal; about the negated normal
        // the reverse order does. The side flag reverses the winding once more.
        const bool below = h < 0.0f;
        out->normal = below ? OvpScale(s.normal, -1.0f) : s.normal;
        out->count = 3;
        const bool forward = (flag != 0) == below;
        SetVertex(out, 0, v[0]);
        SetVertex(out, 1, forward ? v[1] : v[2]);
        SetVertex(out, 2, forward ? v[2] : v[1]);
        out->flags = 0;
    }
    out->offset = dot[first];
    return out;
}

OvpFaceAxis OvpTriangleGetFaceAxis(const OvpVolume* volume, const OvMatrix* matrix) {
    const OvpTriangleShape s = OvpTriangleGetShape(volume);
    OvV3d n = s.normal;
    if (matrix != nullptr && !OvpMathIsIdentity(matrix)) {
        n = OvpMathTransformVector(n, matrix);
    }
    return {n, s.offset, s.offset};
}

OvBool OvpTriangleGetAxes(const OvpVolume* volume, const OvMatrix* matrix, OvpFaceAxis* faces, OvV3d* edges) {
    const OvpTriangleShape s = OvpTriangleGetShape(volume);
    faces[0] = OvpTriangleGetFaceAxis(volume, matrix);
    const OvV3d e[3] = {OvpSub(s.p1, s.p0), OvpSub(s.p2, s.p0), OvpSub(s.p2, s.p1)};
    for (int i = 0; i < 3; ++i) {
        OvpMathVec3Normalize(&edges[i], &e[i]);
    }
    return 1;
}

OvBool OvpTriangleGetInterval(const OvpVolume* volume, const OvV3d* d, float* min, float* max) {
    const OvpTriangleShape s = OvpTriangleGetShape(volume);
    const float a = OvpDot(*d, s.p0), b = OvpDot(*d, s.p1), c = OvpDot(*d, s.p2);
    *min = OvpMin(a, OvpMin(b, c));
    *max = OvpMax(a, OvpMax(b, c));
    return 1;
}

OvBool OvpTriangleInsideEdge(const OvpTriangleShape* s, const OvV3d* p) {
    const OvV3d v[3] = {s->p0, s->p1, s->p2};
    for (int i = 0; i < 3; ++i) {
        const OvV3d& a = v[i];
        const OvV3d& b = v[(i + 1) % 3];
        const OvV3d& c = v[(i + 2) % 3];
        const OvV3d e = OvpSub(b, a);
        const float side = OvpDot(OvpCross(e, OvpSub(*p, a)), OvpCross(e, OvpSub(c, a)));
        if (side < 0.0f) {
            return 0;
        }
    }
    return 1;
}

OvBool OvpTriangleIntersectLine(const OvpVolume* volume, const OvV3d* start, const OvV3d* end, OvpLineHit* hit) {
    const OvpTriangleShape s = OvpTriangleGetShape(volume);
    const float f = volume->fat;
    const OvV3d delta = OvpSub(*end, *start);
    const float length = OvpLength(delta);
    const float hS = OvpDot(s.normal, *start) - s.offset;
    const float hE = OvpDot(s.normal, *end) - s.offset;
    if (std::fabs(hS) > f && std::fabs(hE) > f && hS * hE > 0.0f) {
        return 0;
    }
    OvV3d back;
    const OvV3d negDelta = OvpScale(delta, -1.0f);
    OvpMathVec3Normalize(&back, &negDelta);
    if (std::fabs(hS) > f) {
        const float level = hS > 0.0f ? f : -f;
        const float t = (level - hS) / (hE - hS);
        const OvV3d p = OvpAdd(*start, OvpScale(delta, t));
        const OvV3d onPlane = OvpSub(p, OvpScale(s.normal, level));
        if (OvpTriangleInsideEdge(&s, &onPlane)) {
            hit->volume = volume;
            hit->point = p;
            hit->normal = hS > 0.0f ? s.normal : OvpScale(s.normal, -1.0f);
            hit->fraction = t * length;
            return 1;
        }
    } else {
        const OvV3d onPlane = OvpSub(*start, OvpScale(s.normal, hS));
        if (OvpTriangleInsideEdge(&s, &onPlane)) {
            hit->volume = volume;
            hit->point = *start;
            hit->normal = back;
            hit->fraction = 0.0f;
            return 1;
        }
    }
    const OvV3d v[3] = {s.p0, s.p1, s.p2};
    float best = 2.0f;
    int edge = -1;
    for (int i = 0; i < 3; ++i) {
        const float t = OvpTriangleIntersectEdge(v[i], v[(i + 1) % 3], f, *start, delta);
        if (t < best) {
            best = t;
            edge = i;
        }
    }
    if (edge < 0 || best >= 1.0f) {
        return 0;
    }
    hit->volume = volume;
    if (best <= 0.0f) {
        hit->point = *start;
        hit->normal = back;
        hit->fraction = 0.0f;
        return 1;
    }
    const OvV3d p = OvpAdd(*start, OvpScale(delta, best));
    const OvV3d a = v[edge], ab = OvpSub(v[(edge + 1) % 3], a);
    const float ll = OvpDot(ab, ab);
    const float u = ll > FLT_MIN ? std::fmin(1.0f, std::fmax(0.0f, OvpDot(OvpSub(p, a), ab) / ll)) : 0.0f;
    const OvV3d out = OvpSub(p, OvpAdd(a, OvpScale(ab, u)));
    OvpMathVec3Normalize(&hit->normal, &out);
    hit->point = p;
    hit->fraction = best * length;
    return 1;
}

namespace {
OvBool TriangleLine(const OvpVolume* volume, const OvV3d* start, const OvV3d* end, OvpLineHit* hit) {
    return OvpTriangleIntersectLine(volume, start, end, hit);
}
} // namespace

const OvpVolumeType ovpTriangleVolumeType = {ovpVOLUME_TRIANGLE,
                                             ReturnOne,
                                             OvpTriangleGetBoundingSphere,
                                             OvpTriangleGetMassProperties,
                                             OvpTriangleGetBoundingBox,
                                             OvpTriangleGetSupportPoint,
                                             OvpTriangleGetSupportFeature,
                                             OvpTriangleGetAxes,
                                             OvpTriangleGetInterval,
                                             ZeroThickness,
                                             TriangleLine,
                                             "OvpTriangle",
                                             {0x30200, 0x30001, ovpVOLUMETYPE_WORLD | ovpVOLUMETYPE_TRIANGLE}};
