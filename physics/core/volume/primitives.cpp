#include "physics/core/volume/primitives.h"

#include <cfloat>
#include <cmath>
#include <initializer_list>
#include <numbers>

namespace {

constexpr float kPi = std::numbers::pi_v<float>;

inline float SignOf(float v) { return v >= 0.0f ? 1.0f : -1.0f; }

OvBool ReturnOne(OvpVolume*) { return 1; }

void SetVertex(OvpSupportFeature* out, OvUInt16 index, const OvV3d& p) {
    out->vertices[index].p = p;
    out->vertices[index].spare = 0.0f;
}

// Reverses the order of the feature's vertices (the side flag).
void Reverse(OvpSupportFeature* out) {
    for (OvUInt16 i = 0, j = static_cast<OvUInt16>(out->count - 1); i < j; ++i, --j) {
        const OvpFeatureVertex t = out->vertices[i];
        out->vertices[i] = out->vertices[j];
        out->vertices[j] = t;
    }
}

void SingleVertex(OvpSupportFeature* out, const OvV3d& p, const OvV3d& normal) {
    out->count = 1;
    SetVertex(out, 0, p);
    out->normal = normal;
    out->offset = OvpDot(normal, p);
}

// Box of a core centred on the translation: half sizes per world axis.
OvpBBox* CentredBox(OvpBBox* out, const OvMatrix* matrix, const OvV3d& half) {
    const OvV3d c = matrix != nullptr && !OvpMathIsIdentity(matrix) ? matrix->pos : OvV3d{0.0f, 0.0f, 0.0f};
    out->sup = OvpAdd(c, half);
    out->inf = OvpSub(c, half);
    out->pad0 = out->pad1 = 0;
    return out;
}

// The rows of the matrix (identity rows for none).
void Rows(const OvMatrix* matrix, OvV3d rows[3]) {
    if (matrix == nullptr || OvpMathIsIdentity(matrix)) {
        rows[0] = {1, 0, 0};
        rows[1] = {0, 1, 0};
        rows[2] = {0, 0, 1};
    } else {
        rows[0] = matrix->right;
        rows[1] = matrix->up;
        rows[2] = matrix->at;
    }
}

float AbsoluteHitFraction(const float frac[2]) { return frac[0] / frac[1]; }

void FillHit(OvpLineHit* hit, const OvpVolume* volume, const OvV3d& start, const OvV3d& delta, float t,
             const OvV3d& normal) {
    hit->volume = volume;
    hit->point = OvpAdd(start, OvpScale(delta, t));
    hit->normal = normal;
    hit->fraction = t;
}

// --- plane -----------------------------------------------------------------------------

OvSphere* PlaneSphere(const OvpVolume*, OvSphere* out) {
    out->center = {0.0f, 0.0f, 0.0f};
    out->radius = FLT_MAX;
    return out;
}

float PlaneMass(const OvpVolume*, OvpInertia* inertia, OvV3d* centre) {
    inertia->diagonal = {1.0f, 1.0f, 1.0f};
    inertia->orientation = {0.0f, 0.0f, 0.0f, 1.0f};
    *centre = {0.0f, 0.0f, 0.0f};
    return 0.0f;
}

OvpBBox* PlaneBox(const OvpVolume*, const OvMatrix*, OvBool, OvpBBox* out) {
    out->sup = {FLT_MAX, FLT_MAX, FLT_MAX};
    out->inf = {-FLT_MAX, -FLT_MAX, -FLT_MAX};
    out->pad0 = out->pad1 = 0;
    return out;
}

OvV3d* PlaneSupport(const OvpVolume*, const OvV3d* d, OvV3d* out) {
    *out = {d->x * FLT_MAX, d->y * FLT_MAX, d->z > 0.0f ? 0.0f : d->z * FLT_MAX};
    return out;
}

OvpSupportFeature* PlaneFeature(const OvpVolume*, OvBool, const OvV3d*, OvpSupportFeature* out) {
    out->normal = {0.0f, 0.0f, 1.0f};
    out->offset = 0.0f;
    out->count = 0;
    return out;
}

OvBool PlaneAxes(const OvpVolume*, const OvMatrix* matrix, OvpFaceAxis* faces, OvV3d*) {
    OvV3d rows[3];
    Rows(matrix, rows);
    faces[0] = {rows[2], -FLT_MAX, 0.0f};
    return 1;
}

OvBool PlaneInterval(const OvpVolume*, const OvV3d* d, float* min, float* max) {
    *min = d->z <= -0.999995f ? 0.0f : -FLT_MAX;
    *max = d->z >= 0.999995f ? 0.0f : FLT_MAX;
    return 1;
}

float PlaneThickness(const OvpVolume*) { return 1e8f; }

OvBool PlaneLine(const OvpVolume* volume, const OvV3d* start, const OvV3d* end, OvpLineHit* hit) {
    const OvV3d delta = OvpSub(*end, *start);
    float frac[2];
    if (OvpRayHitPlaneAxis(frac, start, &delta, 2, 1.0f, volume->fat) != 1) {
        return 0;
    }
    FillHit(hit, volume, *start, delta, AbsoluteHitFraction(frac), {0.0f, 0.0f, 1.0f});
    return 1;
}

// --- sphere ----------------------------------------------------------------------------

OvSphere* SphereSphere(const OvpVolume* volume, OvSphere* out) {
    out->center = {0.0f, 0.0f, 0.0f};
    out->radius = volume->fat;
    return out;
}

float SphereMass(const OvpVolume* volume, OvpInertia* inertia, OvV3d* centre) {
    const float r = volume->fat;
    const float moment = 0.4f * r * r;
    inertia->diagonal = {moment, moment, moment};
    inertia->orientation = {0.0f, 0.0f, 0.0f, 1.0f};
    *centre = {0.0f, 0.0f, 0.0f};
    return 4.0f / 3.0f * kPi * r * r * r;
}

OvpBBox* SphereBox(const OvpVolume* volume, const OvMatrix* matrix, OvBool, OvpBBox* out) {
    const float r = volume->fat;
    return CentredBox(out, matrix, {r, r, r});
}

OvV3d* PointSupport(const OvpVolume*, const OvV3d*, OvV3d* out) {
    *out = {0.0f, 0.0f, 0.0f};
    return out;
}

OvpSupportFeature* PointFeature(const OvpVolume*, OvBool, const OvV3d* d, OvpSupportFeature* out) {
    SingleVertex(out, {0.0f, 0.0f, 0.0f}, *d);
    return out;
}

OvBool NoAxes(const OvpVolume*, const OvMatrix*, OvpFaceAxis*, OvV3d*) { return 1; }

OvBool PointInterval(const OvpVolume*, const OvV3d*, float* min, float* max) {
    *min = *max = 0.0f;
    return 1;
}

float ZeroThickness(const OvpVolume*) { return 0.0f; }

OvBool SphereLine(const OvpVolume* volume, const OvV3d* start, const OvV3d* end, OvpLineHit* hit) {
    const OvV3d delta = OvpSub(*end, *start);
    const OvV3d centre = {0.0f, 0.0f, 0.0f};
    float frac[2];
    if (OvpRayHitSphere(frac, start, &delta, &centre, volume->fat) != 1) {
        return 0;
    }
    const float t = AbsoluteHitFraction(frac);
    const OvV3d point = OvpAdd(*start, OvpScale(delta, t));
    OvV3d normal;
    OvpMathVec3Normalize(&normal, &point);
    FillHit(hit, volume, *start, delta, t, normal);
    return 1;
}

// --- capsule ---------------------------------------------------------------------------

OvSphere* CapsuleSphere(const OvpVolume* volume, OvSphere* out) {
    out->center = {0.0f, 0.0f, 0.0f};
    out->radius = volume->data.param[0] + volume->fat;
    return out;
}

float CapsuleMass(const OvpVolume* volume, OvpInertia* inertia, OvV3d* centre) {
    // A cylinder whose length is chosen to stand in for the two caps.
    const float h = volume->data.param[0], r = volume->fat;
    const float length = 2.0f * (h + 0.67082f * r);
    const float side = length * length / 12.0f + r * r / 4.0f;
    inertia->diagonal = {side, side, r * r / 2.0f};
    inertia->orientation = {0.0f, 0.0f, 0.0f, 1.0f};
    *centre = {0.0f, 0.0f, 0.0f};
    return kPi * r * r * length;
}

OvpBBox* CapsuleBox(const OvpVolume* volume, const OvMatrix* matrix, OvBool, OvpBBox* out) {
    const float h = volume->data.param[0], r = volume->fat;
    if (matrix == nullptr) {
        return CentredBox(out, matrix, {r, r, h + r});
    }
    OvV3d rows[3];
    Rows(matrix, rows);
    return CentredBox(out, matrix,
                      {std::fabs(rows[2].x) * h + r, std::fabs(rows[2].y) * h + r, std::fabs(rows[2].z) * h + r});
}

OvV3d* CapsuleSupport(const OvpVolume* volume, const OvV3d* d, OvV3d* out) {
    *out = {0.0f, 0.0f, SignOf(d->z) * volume->data.param[0]};
    return out;
}

OvpSupportFeature* CapsuleFeature(const OvpVolume* volume, OvBool, const OvV3d* d, OvpSupportFeature* out) {
    const float h = volume->data.param[0];
    if (d->z > -0.5f && d->z < 0.5f && h > 0.0f) {
        out->count = 2;
        SetVertex(out, 0, {0.0f, 0.0f, h});
        SetVertex(out, 1, {0.0f, 0.0f, -h});
        const float s = 1.0f / std::sqrt(1.0f - d->z * d->z);
        out->normal = {d->x * s, d->y * s, 0.0f};
        out->offset = 0.0f;
        return out;
    }
    SingleVertex(out, {0.0f, 0.0f, SignOf(d->z) * h}, *d);
    return out;
}

OvBool CapsuleAxes(const OvpVolume*, const OvMatrix* matrix, OvpFaceAxis*, OvV3d* edges) {
    OvV3d rows[3];
    Rows(matrix, rows);
    edges[0] = rows[2];
    return 1;
}

OvBool CapsuleInterval(const OvpVolume* volume, const OvV3d* d, float* min, float* max) {
    *max = std::fabs(d->z) * volume->data.param[0];
    *min = -*max;
    return 1;
}

OvBool CapsuleLine(const OvpVolume* volume, const OvV3d* start, const OvV3d* end, OvpLineHit* hit) {
    const float h = volume->data.param[0], r = volume->fat;
    const OvV3d delta = OvpSub(*end, *start);
    const OvV3d axis = {0.0f, 0.0f, 1.0f}, origin = {0.0f, 0.0f, 0.0f};
    const OvV3d ends[2] = {{0.0f, 0.0f, h}, {0.0f, 0.0f, -h}};
    // The side within the segment, then the end spheres; the first entry wins.
    float best = 2.0f;
    OvV3d normal = {0.0f, 0.0f, 1.0f};
    float frac[2];
    const OvInt32 side = OvpRayHitCylinder(frac, start, &delta, &origin, &axis, r);
    if (side == 1) {
        const float t = AbsoluteHitFraction(frac);
        const OvV3d q = OvpAdd(*start, OvpScale(delta, t));
        if (std::fabs(q.z) <= h) {
            best = t;
            const OvV3d off = {q.x, q.y, 0.0f};
            OvpMathVec3Normalize(&normal, &off);
        }
    }
    for (const OvV3d& e : ends) {
        if (OvpRayHitSphere(frac, start, &delta, &e, r) == 1 && AbsoluteHitFraction(frac) < best) {
            best = AbsoluteHitFraction(frac);
            const OvV3d off = OvpSub(OvpAdd(*start, OvpScale(delta, best)), e);
            OvpMathVec3Normalize(&normal, &off);
        }
    }
    if (best > 1.0f) {
        return 0;
    }
    FillHit(hit, volume, *start, delta, best, normal);
    return 1;
}

// --- box -------------------------------------------------------------------------------

// Corner index: bit 0 set = +x, bit 1 = +y, bit 2 = +z. Faces +x, -x, +y, -y, +z, -z, each
// counter-clockwise about its outward normal.
constexpr OvUInt16 kBoxFaces[6][4] = {{7, 5, 1, 3}, {2, 0, 4, 6}, {7, 3, 2, 6},
                                      {4, 0, 1, 5}, {7, 6, 4, 5}, {1, 0, 2, 3}};

struct BoxTables {
    OvpPolyEdge edges[24];
    OvUInt16 faceFirst[7];
    OvV3d normals[6];
};

constexpr BoxTables MakeBoxTables() {
    BoxTables t{};
    for (int f = 0; f < 6; ++f) {
        t.faceFirst[f] = static_cast<OvUInt16>(4 * f);
        for (int k = 0; k < 4; ++k) {
            t.edges[4 * f + k] = {kBoxFaces[f][k], kBoxFaces[f][(k + 1) % 4]};
        }
        const float s = (f % 2 == 0) ? 1.0f : -1.0f;
        t.normals[f] = {f / 2 == 0 ? s : 0.0f, f / 2 == 1 ? s : 0.0f, f / 2 == 2 ? s : 0.0f};
    }
    t.faceFirst[6] = 24;
    return t;
}

constexpr BoxTables kBox = MakeBoxTables();

OvV3d BoxCorner(const float* h, OvUInt16 index) {
    return {(index & 1) ? h[0] : -h[0], (index & 2) ? h[1] : -h[1], (index & 4) ? h[2] : -h[2]};
}

OvSphere* BoxSphere(const OvpVolume* volume, OvSphere* out) {
    const float* h = volume->data.param;
    out->center = {0.0f, 0.0f, 0.0f};
    out->radius = std::sqrt(h[0] * h[0] + h[1] * h[1] + h[2] * h[2]) + volume->fat;
    return out;
}

float BoxMass(const OvpVolume* volume, OvpInertia* inertia, OvV3d* centre) {
    inertia->orientation = {0.0f, 0.0f, 0.0f, 1.0f};
    *centre = {0.0f, 0.0f, 0.0f};
    const float* h = volume->data.param;
    const float r = volume->fat;
    if (!(r > 0.0f)) {
        inertia->diagonal = {(h[1] * h[1] + h[2] * h[2]) / 3.0f, (h[0] * h[0] + h[2] * h[2]) / 3.0f,
                             (h[0] * h[0] + h[1] * h[1]) / 3.0f};
        return 8.0f * h[0] * h[1] * h[2];
    }
    // The rounded box as the core, six face slabs, twelve quarter cylinders along the edges and
    // eight ball octants at the corners; second moments per axis, summed in double.
    const double pi = std::numbers::pi;
    const double a[3] = {std::fabs(h[0]), std::fabs(h[1]), std::fabs(h[2])};
    const double rr = r;
    const double volumeTotal = 8.0 * a[0] * a[1] * a[2] + 8.0 * rr * (a[0] * a[1] + a[1] * a[2] + a[2] * a[0]) +
                               2.0 * pi * rr * rr * (a[0] + a[1] + a[2]) + 4.0 / 3.0 * pi * rr * rr * rr;
    double second[3]; // integral of x_i^2 over the rounded box
    for (int i = 0; i < 3; ++i) {
        const int j = (i + 1) % 3, k = (i + 2) % 3;
        const double hi = a[i], hj = a[j], hk = a[k];
        const double line = 2.0 * hi * hi * hi / 3.0; // integral of x^2 over [-hi, hi]
        const double outer = 2.0 * ((hi + rr) * (hi + rr) * (hi + rr) - hi * hi * hi) / 3.0;
        // Quarter discs of radius r offset by hi, four of them: integral of (hi + u)^2.
        const double disc = pi * rr * rr * hi * hi + 8.0 * hi * rr * rr * rr / 3.0 + pi * rr * rr * rr * rr / 4.0;
        double s = line * 4.0 * hj * hk;        // core
        s += outer * 4.0 * hj * hk;             // slabs across axis i
        s += line * (2.0 * rr) * (2.0 * hk);    // slabs across axis j
        s += line * (2.0 * hj) * (2.0 * rr);    // slabs across axis k
        s += pi * rr * rr * line;               // edges along axis i
        s += 2.0 * hj * disc + 2.0 * hk * disc; // edges along axes j and k
        s += 4.0 * pi * rr * rr * rr * hi * hi / 3.0 + pi * rr * rr * rr * rr * hi +
             4.0 * pi * rr * rr * rr * rr * rr / 15.0; // corner octants
        second[i] = s;
    }
    inertia->diagonal = {static_cast<float>((second[1] + second[2]) / volumeTotal),
                         static_cast<float>((second[0] + second[2]) / volumeTotal),
                         static_cast<float>((second[0] + second[1]) / volumeTotal)};
    return static_cast<float>(volumeTotal);
}

OvpBBox* BoxBox(const OvpVolume* volume, const OvMatrix* matrix, OvBool, OvpBBox* out) {
    const float* h = volume->data.param;
    const float r = volume->fat;
    if (matrix == nullptr) {
        return CentredBox(out, matrix, {h[0] + r, h[1] + r, h[2] + r});
    }
    OvV3d rows[3];
    Rows(matrix, rows);
    OvV3d half{};
    for (int j = 0; j < 3; ++j) {
        float s = r;
        for (int i = 0; i < 3; ++i) {
            s += std::fabs(OvpComponent(rows[i], j)) * h[i];
        }
        OvpSetComponent(half, j, s);
    }
    return CentredBox(out, matrix, half);
}

OvV3d* BoxSupport(const OvpVolume* volume, const OvV3d* d, OvV3d* out) {
    const float* h = volume->data.param;
    *out = {SignOf(d->x) * h[0], SignOf(d->y) * h[1], SignOf(d->z) * h[2]};
    return out;
}

OvpSupportFeature* BoxFeature(const OvpVolume* volume, OvBool flag, const OvV3d* d, OvpSupportFeature* out) {
    const float* h = volume->data.param;
    int freeCount = 0, freeAxis = -1, fixedAxis = -1;
    for (int i = 0; i < 3; ++i) {
        const float c = OvpComponent(*d, i);
        if (c * c <= 0.25f) {
            ++freeCount;
            freeAxis = i;
        } else {
            fixedAxis = i;
        }
    }
    OvV3d corner = {SignOf(d->x) * h[0], SignOf(d->y) * h[1], SignOf(d->z) * h[2]};
    if (freeCount == 0 || freeCount == 3) {
        // With no fixed axis the direction is not a unit vector; the corner still serves.
        SingleVertex(out, corner, *d);
        return out;
    }
    if (freeCount == 1) {
        OvV3d a = corner, b = corner;
        OvpSetComponent(a, freeAxis, h[freeAxis]);
        OvpSetComponent(b, freeAxis, -h[freeAxis]);
        out->count = 2;
        SetVertex(out, 0, a);
        SetVertex(out, 1, b);
        OvV3d perpendicular = *d;
        OvpSetComponent(perpendicular, freeAxis, 0.0f);
        OvpMathVec3Normalize(&out->normal, &perpendicular);
        out->offset = OvpDot(out->normal, a);
        return out;
    }
    const float s = SignOf(OvpComponent(*d, fixedAxis));
    const int face = 2 * fixedAxis + (s < 0.0f ? 1 : 0);
    out->count = 4;
    for (OvUInt16 k = 0; k < 4; ++k) {
        SetVertex(out, k, BoxCorner(h, kBoxFaces[face][k]));
    }
    if (flag) {
        Reverse(out);
    }
    out->normal = kBox.normals[face];
    out->offset = OvpDot(out->normal, out->vertices[0].p);
    return out;
}

OvBool BoxAxes(const OvpVolume* volume, const OvMatrix* matrix, OvpFaceAxis* faces, OvV3d* edges) {
    OvV3d rows[3];
    Rows(matrix, rows);
    for (int i = 0; i < 3; ++i) {
        faces[i] = {rows[i], -volume->data.param[i], volume->data.param[i]};
        edges[i] = rows[i];
    }
    return 1;
}

OvBool BoxInterval(const OvpVolume* volume, const OvV3d* d, float* min, float* max) {
    const float* h = volume->data.param;
    *max = (std::fabs(d->x) * h[0] + std::fabs(d->y) * h[1]) + std::fabs(d->z) * h[2];
    *min = -*max;
    return 1;
}

float BoxThickness(const OvpVolume* volume) {
    const float* h = volume->data.param;
    return 2.0f * std::fmin(h[0], std::fmin(h[1], h[2]));
}

OvBool BoxLine(const OvpVolume* volume, const OvV3d* start, const OvV3d* end, OvpLineHit* hit) {
    const float* h = volume->data.param;
    OvV3d corners[8];
    for (OvUInt16 i = 0; i < 8; ++i) {
        corners[i] = BoxCorner(h, i);
    }
    const OvpPolytope poly = {corners, kBox.normals, kBox.faceFirst, kBox.edges, sizeof(OvpPolyEdge), 0, 8, 6};
    if (!OvpPolytopeIntersectLine(&poly, volume->fat, start, end, hit)) {
        return 0;
    }
    hit->volume = volume;
    return 1;
}

// --- cylinder --------------------------------------------------------------------------

OvSphere* CylinderSphere(const OvpVolume* volume, OvSphere* out) {
    const float h = volume->data.param[0], R = volume->data.param[1];
    out->center = {0.0f, 0.0f, 0.0f};
    out->radius = std::sqrt(h * h + R * R) + volume->fat;
    return out;
}

float CylinderMass(const OvpVolume* volume, OvpInertia* inertia, OvV3d* centre) {
    const float h = volume->data.param[0], R = volume->data.param[1], r = volume->fat;
    const float length = 2.0f * (h + r), radius = R + r;
    const float side = (3.0f * radius * radius + length * length) / 12.0f;
    inertia->diagonal = {side, side, radius * radius / 2.0f};
    inertia->orientation = {0.0f, 0.0f, 0.0f, 1.0f};
    *centre = {0.0f, 0.0f, 0.0f};
    return kPi * radius * radius * length;
}

OvpBBox* CylinderBox(const OvpVolume* volume, const OvMatrix* matrix, OvBool flag, OvpBBox* out) {
    const float h = volume->data.param[0], R = volume->data.param[1], r = volume->fat;
    if (matrix == nullptr) {
        return CentredBox(out, matrix, {R + r, R + r, h + r});
    }
    if (!flag) {
        const float e = std::sqrt(h * h + R * R) + r;
        return CentredBox(out, matrix, {e, e, e});
    }
    OvV3d rows[3];
    Rows(matrix, rows);
    OvV3d half{};
    for (int j = 0; j < 3; ++j) {
        const float a = OvpComponent(rows[2], j);
        OvpSetComponent(half, j, std::sqrt(std::fabs(1.0f - a * a)) * R + std::fabs(a) * h + r);
    }
    return CentredBox(out, matrix, half);
}

// The rim point facing d at height z.
OvV3d RimPoint(float R, const OvV3d* d, float z) {
    const float planar = std::sqrt(d->x * d->x + d->y * d->y);
    if (planar < FLT_MIN) {
        return {R, 0.0f, z};
    }
    return {R * d->x / planar, R * d->y / planar, z};
}

OvV3d* CylinderSupport(const OvpVolume* volume, const OvV3d* d, OvV3d* out) {
    const float h = volume->data.param[0], R = volume->data.param[1];
    const float az = std::fabs(d->z);
    if (az >= 0.9998f) {
        *out = {0.0f, 0.0f, SignOf(d->z) * h};
    } else {
        *out = RimPoint(R, d, az < 0.02f ? 0.0f : SignOf(d->z) * h);
    }
    return out;
}

OvpSupportFeature* CylinderFeature(const OvpVolume* volume, OvBool flag, const OvV3d* d, OvpSupportFeature* out) {
    const float h = volume->data.param[0], R = volume->data.param[1];
    const float az = std::fabs(d->z);
    if (az >= 0.9998f) {
        // The cap as a regular octagon, counter-clockwise about its outward normal.
        const float s = SignOf(d->z);
        out->count = 8;
        for (OvUInt16 k = 0; k < 8; ++k) {
            const float angle = static_cast<float>(k) * (kPi / 4.0f);
            SetVertex(out, k, {R * std::cos(angle), R * std::sin(angle), s * h});
        }
        if ((s < 0.0f) != (flag != 0)) {
            Reverse(out);
        }
        out->normal = {0.0f, 0.0f, s};
        out->offset = s * h;
        return out;
    }
    if (az <= 0.02f) {
        out->count = 2;
        SetVertex(out, 0, RimPoint(R, d, h));
        SetVertex(out, 1, RimPoint(R, d, -h));
        out->normal = *d;
        out->offset = OvpDot(*d, out->vertices[0].p);
        return out;
    }
    SingleVertex(out, RimPoint(R, d, SignOf(d->z) * h), *d);
    return out;
}

OvBool CylinderAxes(const OvpVolume*, const OvMatrix*, OvpFaceAxis*, OvV3d*) { return 0; }

OvBool CylinderInterval(const OvpVolume* volume, const OvV3d* d, float* min, float* max) {
    const float h = volume->data.param[0], R = volume->data.param[1];
    *max = std::sqrt(std::fabs(1.0f - d->z * d->z)) * R + std::fabs(d->z) * h;
    *min = -*max;
    return 1;
}

float CylinderThickness(const OvpVolume* volume) {
    return 2.0f * std::fmin(volume->data.param[0], volume->data.param[1]);
}

OvBool CylinderLine(const OvpVolume* volume, const OvV3d* start, const OvV3d* end, OvpLineHit* hit) {
    const float h = volume->data.param[0], R = volume->data.param[1], r = std::fmax(volume->fat, 0.0f);
    const OvV3d delta = OvpSub(*end, *start);
    const OvV3d axis = {0.0f, 0.0f, 1.0f}, origin = {0.0f, 0.0f, 0.0f};
    // Inside: within r of the core (radial excess and height excess).
    const float radial = std::sqrt(start->x * start->x + start->y * start->y);
    const float dr = std::fmax(radial - R, 0.0f), dz = std::fmax(std::fabs(start->z) - h, 0.0f);
    if (dr * dr + dz * dz <= r * r) {
        OvV3d back;
        OvpMathVec3Normalize(&back, &delta);
        FillHit(hit, volume, *start, delta, 0.0f, OvpScale(back, -1.0f));
        return 1;
    }
    // Pieces of the rounded cylinder: the side (radius R + r) between the rims, the caps moved
    // out by r inside radius R, and the two rim tori. The first entry wins.
    float best = 2.0f;
    OvV3d normal = {0.0f, 0.0f, 1.0f};
    float frac[2];
    if (OvpRayHitCylinder(frac, start, &delta, &origin, &axis, R + r) == 1) {
        const float t = AbsoluteHitFraction(frac);
        const OvV3d q = OvpAdd(*start, OvpScale(delta, t));
        if (std::fabs(q.z) <= h) {
            best = t;
            const OvV3d off = {q.x, q.y, 0.0f};
            OvpMathVec3Normalize(&normal, &off);
        }
    }
    for (float s : {1.0f, -1.0f}) {
        if (OvpRayHitPlaneAxis(frac, start, &delta, 2, s, h + r) == 1 && frac[0] > 0.0f &&
            AbsoluteHitFraction(frac) < best) {
            const float t = AbsoluteHitFraction(frac);
            const OvV3d q = OvpAdd(*start, OvpScale(delta, t));
            if (q.x * q.x + q.y * q.y <= R * R) {
                best = t;
                normal = {0.0f, 0.0f, s};
            }
        }
        if (r > 0.0f) {
            const OvV3d centre = {0.0f, 0.0f, s * h};
            if (OvpRayHitTorus(frac, start, &delta, &centre, &axis, R, r) == 1 && AbsoluteHitFraction(frac) < best) {
                best = AbsoluteHitFraction(frac);
                const OvV3d q = OvpAdd(*start, OvpScale(delta, best));
                const OvV3d rim = RimPoint(R, &q, s * h);
                const OvV3d off = OvpSub(q, rim);
                OvpMathVec3Normalize(&normal, &off);
            }
        }
    }
    if (best > 1.0f) {
        return 0;
    }
    FillHit(hit, volume, *start, delta, best, normal);
    return 1;
}

} // namespace

const OvpVolumeType ovpPlaneVolumeType = {ovpVOLUME_PLANE, ReturnOne,    PlaneSphere,    PlaneMass,     PlaneBox,
                                          PlaneSupport,    PlaneFeature, PlaneAxes,      PlaneInterval, PlaneThickness,
                                          PlaneLine,       "OvpPlane",   {0x202, 0x1, 0}};

const OvpVolumeType ovpSphereVolumeType = {ovpVOLUME_SPHERE, ReturnOne,    SphereSphere,   SphereMass,    SphereBox,
                                           PointSupport,     PointFeature, NoAxes,         PointInterval, ZeroThickness,
                                           SphereLine,       "OvpSphere",  {0, 0x10000, 0}};

const OvpVolumeType ovpCapsuleVolumeType = {
    ovpVOLUME_CAPSULE, ReturnOne,       CapsuleSphere, CapsuleMass, CapsuleBox,   CapsuleSupport,       CapsuleFeature,
    CapsuleAxes,       CapsuleInterval, ZeroThickness, CapsuleLine, "OvpCapsule", {0x10100, 0x20000, 0}};

const OvpVolumeType ovpBoxVolumeType = {ovpVOLUME_BOX,        ReturnOne, BoxSphere,   BoxMass,      BoxBox,  BoxSupport,
                                        BoxFeature,           BoxAxes,   BoxInterval, BoxThickness, BoxLine, "OvpBox",
                                        {0x30200, 0x40003, 0}};

const OvpVolumeType ovpCylinderVolumeType = {
    ovpVOLUME_CYLINDER,        ReturnOne,    CylinderSphere,   CylinderMass,      CylinderBox,  CylinderSupport,
    CylinderFeature,           CylinderAxes, CylinderInterval, CylinderThickness, CylinderLine, "OvpCylinder",
    {0x630200, 0x630063, 0x30}};

OvpVolume* OvpBoxInit(OvpVolume* volume, const float halfExtents[3]) {
    OvpVolumeInit(volume, &ovpBoxVolumeType);
    for (int i = 0; i < 3; ++i) {
        volume->data.param[i] = halfExtents[i];
    }
    return volume;
}

OvpVolume* OvpSphereInit(OvpVolume* volume, float radius) {
    OvpVolumeInit(volume, &ovpSphereVolumeType);
    volume->fat = radius;
    return volume;
}
