#include "physics/core/utils/math.h"

#include <cfloat>
#include <cmath>

// --- placements ------------------------------------------------------------------------

OvMatrix* OvpMathMatrixMultiply(OvMatrix* out, const OvMatrix* a, const OvMatrix* b) {
    if (OvpMathIsIdentity(a)) {
        *out = *b;
    } else if (OvpMathIsIdentity(b)) {
        *out = *a;
    } else {
        out->right = OvpMathTransformVector(a->right, b);
        out->up = OvpMathTransformVector(a->up, b);
        out->at = OvpMathTransformVector(a->at, b);
        out->pos = OvpMathTransformPoint(a->pos, b);
        out->flags = a->flags & b->flags;
    }
    return out;
}

OvQuat OvpMathQuatMultiply(const OvQuat& a, const OvQuat& b) {
    return {a.w * b.x + a.x * b.w + a.y * b.z - a.z * b.y, a.w * b.y - a.x * b.z + a.y * b.w + a.z * b.x,
            a.w * b.z + a.x * b.y - a.y * b.x + a.z * b.w, a.w * b.w - a.x * b.x - a.y * b.y - a.z * b.z};
}

void OvpMathMatrixFromQuat(OvMatrix* out, const OvQuat& q) {
    const OvV3d basis[3] = {{1, 0, 0}, {0, 1, 0}, {0, 0, 1}};
    OvV3d rows[3];
    OvQuatRotateVectors(rows, basis, 3, &q);
    *out = {};
    out->right = rows[0];
    out->up = rows[1];
    out->at = rows[2];
    out->flags = ovMATRIXTYPEORTHONORMAL;
}

// --- vectors ---------------------------------------------------------------------------

void OvpMathVec3Perpendicular(OvV3d* out, const OvV3d* v) {
    const float ax = std::fabs(v->x), ay = std::fabs(v->y), az = std::fabs(v->z);
    if (ax <= ay && ax <= az) {
        *out = {0.0f, -v->z, v->y};
    } else if (ay <= az) {
        *out = {v->z, 0.0f, -v->x};
    } else {
        *out = {-v->y, v->x, 0.0f};
    }
}

float OvpMathVec3NormalizeOr(OvV3d* out, const OvV3d* v, const OvV3d* fallback, float scale) {
    const float squared = OvpDot(*v, *v);
    if (squared >= 1e-12f) {
        const float length = std::sqrt(squared);
        *out = OvpScale(*v, 1.0f / length);
        return length;
    }
    if (scale != 0.0f && !std::isnan(scale)) {
        OvpMathVec3Normalize(out, fallback);
        *out = OvpScale(*out, scale);
    } else {
        OvV3d perpendicular;
        OvpMathVec3Perpendicular(&perpendicular, fallback);
        OvpMathVec3Normalize(out, &perpendicular);
    }
    return 0.0f;
}

OvInt32 OvpMathLargestAxis(const OvV3d* v) {
    OvInt32 best = 0;
    if (v->y >= v->x) {
        best = 1;
    }
    if (v->z >= OvpComponent(*v, best)) {
        best = 2;
    }
    return best;
}

// --- boxes and spheres -----------------------------------------------------------------

OvpBBox* OvpMathBoxUnion(OvpBBox* out, const OvpBBox* a, const OvpBBox* b) {
    const OvpBBox r = {{std::fmax(a->sup.x, b->sup.x), std::fmax(a->sup.y, b->sup.y), std::fmax(a->sup.z, b->sup.z)},
                       0,
                       {std::fmin(a->inf.x, b->inf.x), std::fmin(a->inf.y, b->inf.y), std::fmin(a->inf.z, b->inf.z)},
                       0};
    *out = r;
    return out;
}

OvpBBox* OvpMathBoxFromSegment(OvpBBox* out, const OvV3d* p, const OvV3d* q, float r) {
    out->sup = {std::fmax(p->x, q->x) + r, std::fmax(p->y, q->y) + r, std::fmax(p->z, q->z) + r};
    out->inf = {std::fmin(p->x, q->x) - r, std::fmin(p->y, q->y) - r, std::fmin(p->z, q->z) - r};
    return out;
}

OvpBBox* OvpMathBoxExtend(OvpBBox* box, const OvV3d* p) {
    box->sup = {OvpMax(box->sup.x, p->x), OvpMax(box->sup.y, p->y), OvpMax(box->sup.z, p->z)};
    box->inf = {OvpMin(box->inf.x, p->x), OvpMin(box->inf.y, p->y), OvpMin(box->inf.z, p->z)};
    return box;
}

OvpBBox* OvpMathBoxTransform(OvpBBox* out, const OvpBBox* box, const OvMatrix* m) {
    if (OvpMathIsIdentity(m)) {
        *out = *box;
        return out;
    }
    // Each output axis takes, per input axis, the smaller and larger of entry x min, entry x max.
    const OvV3d* rows[3] = {&m->right, &m->up, &m->at};
    OvV3d sup = m->pos, inf = m->pos;
    for (int j = 0; j < 3; ++j) {
        float lo = OvpComponent(m->pos, j), hi = lo;
        for (int i = 0; i < 3; ++i) {
            const float e = OvpComponent(*rows[i], j);
            const float a = e * OvpComponent(box->inf, i), b = e * OvpComponent(box->sup, i);
            lo += std::fmin(a, b);
            hi += std::fmax(a, b);
        }
        OvpSetComponent(inf, j, lo);
        OvpSetComponent(sup, j, hi);
    }
    out->sup = sup;
    out->inf = inf;
    return out;
}

OvpBBox* OvpMathBoxTransformCentre(OvpBBox* out, const OvpBBox* box, const OvMatrix* m) {
    const OvV3d centre = OvpScale(OvpAdd(box->sup, box->inf), 0.5f);
    const OvV3d half = OvpScale(OvpSub(box->sup, box->inf), 0.5f);
    if (OvpMathIsIdentity(m)) {
        *out = *box;
        return out;
    }
    const OvV3d c = OvpMathTransformPoint(centre, m);
    const OvV3d* rows[3] = {&m->right, &m->up, &m->at};
    OvV3d h{};
    for (int j = 0; j < 3; ++j) {
        float s = 0.0f;
        for (int i = 0; i < 3; ++i) {
            s += std::fabs(OvpComponent(*rows[i], j)) * OvpComponent(half, i);
        }
        OvpSetComponent(h, j, s);
    }
    out->sup = OvpAdd(c, h);
    out->inf = OvpSub(c, h);
    return out;
}

OvSphere* OvpMathSphereFromBox(OvSphere* out, const OvpBBox* box) {
    const OvV3d diagonal = OvpSub(box->sup, box->inf);
    out->center = OvpScale(OvpAdd(box->sup, box->inf), 0.5f);
    out->radius = 0.5f * OvpLength(diagonal);
    return out;
}

OvSphere* OvpMathSphereAddPoint(OvSphere* out, const OvSphere* sphere, const OvV3d* p) {
    const OvV3d offset = OvpSub(*p, sphere->center);
    const float d = OvpLength(offset);
    if (d <= sphere->radius) {
        *out = *sphere;
        return out;
    }
    const float r = sphere->radius;
    const float move = 0.5f * (d - r);
    out->center = OvpAdd(sphere->center, OvpScale(offset, move / d));
    out->radius = 0.5f * (d + r);
    return out;
}

// --- inertia ---------------------------------------------------------------------------

OvpMatrix3* OvpMathInertiaFromDiagonal(OvpMatrix3* out, const OvpInertia* inertia) {
    // Rotation R with the principal axes as columns: R[i][k] = row k of the matrix, entry i.
    OvMatrix rotation;
    OvpMathMatrixFromQuat(&rotation, inertia->orientation);
    const OvV3d* axes[3] = {&rotation.right, &rotation.up, &rotation.at};
    const float d[3] = {inertia->diagonal.x, inertia->diagonal.y, inertia->diagonal.z};
    for (int i = 0; i < 3; ++i) {
        for (int j = 0; j < 3; ++j) {
            float s = 0.0f;
            for (int k = 0; k < 3; ++k) {
                s += OvpComponent(*axes[k], i) * d[k] * OvpComponent(*axes[k], j);
            }
            out->m[i][j] = s;
        }
    }
    return out;
}

OvpMatrix3* OvpMathMatrix3AddScaled(OvpMatrix3* out, const OvpMatrix3* in, float s) {
    for (int i = 0; i < 3; ++i) {
        for (int j = 0; j < 3; ++j) {
            out->m[i][j] += s * in->m[i][j];
        }
    }
    return out;
}

OvBool OvpMathJacobiEigen(OvpMatrix3* a, OvpMatrix3* vectors, OvInt32 maxSweeps, float tolerance) {
    // Worked in double and written back; each rotation zeroes one off-diagonal entry.
    double m[3][3], v[3][3];
    for (int i = 0; i < 3; ++i) {
        for (int j = 0; j < 3; ++j) {
            m[i][j] = 0.5 * (static_cast<double>(a->m[i][j]) + a->m[j][i]);
            v[i][j] = i == j ? 1.0 : 0.0;
        }
    }
    const double limit = static_cast<double>(tolerance) * tolerance;
    OvBool converged = 0;
    for (OvInt32 sweep = 0;; ++sweep) {
        const double off = 2.0 * (m[0][1] * m[0][1] + m[0][2] * m[0][2] + m[1][2] * m[1][2]);
        if (off <= limit) {
            converged = 1;
            break;
        }
        if (sweep >= maxSweeps) {
            break;
        }
        static const int pairs[3][2] = {{0, 1}, {0, 2}, {1, 2}};
        for (const auto& pq : pairs) {
            const int p = pq[0], q = pq[1];
            if (m[p][q] == 0.0) {
                continue;
            }
            const double theta = (m[q][q] - m[p][p]) / (2.0 * m[p][q]);
            const double t = (theta >= 0.0 ? 1.0 : -1.0) / (std::fabs(theta) + std::sqrt(theta * theta + 1.0));
            const double c = 1.0 / std::sqrt(t * t + 1.0), s = t * c;
            for (int k = 0; k < 3; ++k) { // columns p and q
                const double mkp = m[k][p], mkq = m[k][q];
                m[k][p] = c * mkp - s * mkq;
                m[k][q] = s * mkp + c * mkq;
            }
            for (int k = 0; k < 3; ++k) { // rows p and q
                const double mpk = m[p][k], mqk = m[q][k];
                m[p][k] = c * mpk - s * mqk;
                m[q][k] = s * mpk + c * mqk;
            }
            m[p][q] = m[q][p] = 0.0;
            for (int k = 0; k < 3; ++k) {
                const double vkp = v[k][p], vkq = v[k][q];
                v[k][p] = c * vkp - s * vkq;
                v[k][q] = s * vkp + c * vkq;
            }
        }
    }
    for (int i = 0; i < 3; ++i) {
        for (int j = 0; j < 3; ++j) {
            a->m[i][j] = static_cast<float>(m[i][j]);
            vectors->m[i][j] = static_cast<float>(v[i][j]);
        }
    }
    return converged;
}

OvBool OvpMathPrincipalAxes(OvpInertia* out, const OvpMatrix3* tensor) {
    OvpMatrix3 a = *tensor, v{};
    // The tolerance is relative to the tensor's size: as an absolute 1e-6 it would take the
    // tensor of a millimetre-sized body (moments near 1e-7) as diagonal from the start.
    float size = 0.0f;
    for (const auto& row : tensor->m) {
        for (int j = 0; j < 3; ++j) {
            size = std::fmax(size, std::fabs(row[j]));
        }
    }
    const OvBool converged = OvpMathJacobiEigen(&a, &v, 25, 1e-6f * size);
    out->diagonal = {a.m[0][0], a.m[1][1], a.m[2][2]};
    // The eigenvectors become the rows of a rotation; a reflection is turned into a rotation by
    // flipping the last axis.
    OvMatrix axes{};
    axes.right = {v.m[0][0], v.m[1][0], v.m[2][0]};
    axes.up = {v.m[0][1], v.m[1][1], v.m[2][1]};
    axes.at = {v.m[0][2], v.m[1][2], v.m[2][2]};
    if (OvpDot(OvpCross(axes.right, axes.up), axes.at) < 0.0f) {
        axes.at = OvpScale(axes.at, -1.0f);
    }
    OvQuatFromMatrix(&out->orientation, &axes);
    const OvQuat& q = out->orientation;
    const float length = std::sqrt(q.x * q.x + q.y * q.y + q.z * q.z + q.w * q.w);
    out->orientation = {q.x / length, q.y / length, q.z / length, q.w / length};
    return converged;
}

// --- polynomials -----------------------------------------------------------------------

float OvpMathPolyEvaluate(const float* c, OvInt32 degree, float t) {
    float f = c[degree];
    for (OvInt32 i = degree - 1; i >= 0; --i) {
        f = f * t + c[i];
    }
    return f;
}

float OvpMathPolyRootInInterval(float lo, float hi, float fLo, float fHi, OvInt32 degree, const float* c,
                                const float* derivative) {
    if ((fLo < 0.0f) == (fHi < 0.0f)) {
        return 0.5f * (lo + hi);
    }
    float x = 0.5f * (lo + hi);
    for (int round = 0; round < 23; ++round) {
        const float f = OvpMathPolyEvaluate(c, degree, x);
        if (f == 0.0f) {
            return x;
        }
        if ((f < 0.0f) == (fLo < 0.0f)) {
            lo = x;
            fLo = f;
        } else {
            hi = x;
        }
        const float d = OvpMathPolyEvaluate(derivative, degree - 1, x);
        float next = d != 0.0f ? x - f / d : lo - 1.0f;
        if (!(next > lo && next < hi)) {
            next = 0.5f * (lo + hi);
        }
        const float step = next - x;
        x = next;
        if (step * step < 1.44e-14f * x * x || lo == hi) {
            break;
        }
    }
    return x;
}

OvInt32 OvpMathPolyRoots(float* roots, float lo, float hi, OvInt32 degree, const float* c) {
    while (degree > 0 && c[degree] == 0.0f) {
        --degree;
    }
    if (degree <= 0 || degree > ovpMATHMAXPOLYDEGREE || !(lo <= hi)) {
        return 0;
    }
    if (degree == 1) {
        const float r = -c[0] / c[1];
        if (r >= lo && r <= hi) {
            roots[0] = r;
            return 1;
        }
        return 0;
    }
    // The derivative's roots split [lo, hi] into monotone pieces.
    float derivative[ovpMATHMAXPOLYDEGREE];
    for (OvInt32 i = 0; i < degree; ++i) {
        derivative[i] = static_cast<float>(i + 1) * c[i + 1];
    }
    float critical[ovpMATHMAXPOLYDEGREE];
    const OvInt32 n = OvpMathPolyRoots(critical, lo, hi, degree - 1, derivative);
    OvInt32 count = 0;
    float a = lo, fa = OvpMathPolyEvaluate(c, degree, a);
    for (OvInt32 k = 0; k <= n; ++k) {
        const float b = k < n ? critical[k] : hi;
        const float fb = OvpMathPolyEvaluate(c, degree, b);
        if (fa == 0.0f) {
            if (count == 0 || roots[count - 1] != a) {
                roots[count++] = a;
            }
        } else if (fb != 0.0f && (fa < 0.0f) != (fb < 0.0f)) {
            roots[count++] = OvpMathPolyRootInInterval(a, b, fa, fb, degree, c, derivative);
        }
        a = b;
        fa = fb;
    }
    if (fa == 0.0f && (count == 0 || roots[count - 1] != a) && count < degree) {
        roots[count++] = a;
    }
    return count;
}

// --- segment tests ---------------------------------------------------------------------

namespace {

// Crossing at t = num / den with den > 0: a hit unless beyond the end.
OvInt32 Crossing(float* fraction, float num, float den) {
    if (num > den) {
        return 0;
    }
    fraction[0] = num;
    fraction[1] = den;
    return 1;
}

OvInt32 Inside(float* fraction) {
    fraction[0] = 0.0f;
    fraction[1] = 1.0f;
    return 1;
}

// Entry of |p + t d|^2 = r^2 for p, d already reduced to the relevant subspace.
OvInt32 QuadricEntry(float* fraction, const OvV3d& p, const OvV3d& d, float radius) {
    const float c = OvpDot(p, p) - radius * radius;
    if (fraction == nullptr) {
        return c <= 0.0f ? 1 : 0;
    }
    if (c <= 0.0f) {
        return Inside(fraction);
    }
    const float b = OvpDot(p, d);
    if (b >= 0.0f) {
        return -1;
    }
    const float a = OvpDot(d, d);
    const float discriminant = b * b - a * c;
    if (discriminant < 0.0f) {
        return 0;
    }
    return Crossing(fraction, -b - std::sqrt(discriminant), a);
}

} // namespace

OvInt32 OvpRayHitPlaneAxis(float* fraction, const OvV3d* start, const OvV3d* delta, OvInt32 axis, float sign,
                           float extent) {
    const float height = sign * OvpComponent(*start, axis) - extent;
    if (fraction == nullptr) {
        return height <= 0.0f ? 1 : 0;
    }
    if (height <= 0.0f) {
        return Inside(fraction);
    }
    const float approach = -sign * OvpComponent(*delta, axis);
    if (approach <= 0.0f) {
        return -1;
    }
    return Crossing(fraction, height, approach);
}

OvInt32 OvpRayHitPlane(float* fraction, const OvV3d* start, const OvV3d* delta, const OvV3d* normal, float offset) {
    const float height = OvpDot(*normal, *start) - offset;
    if (fraction == nullptr) {
        return height <= 0.0f ? 1 : 0;
    }
    if (height <= 0.0f) {
        return Inside(fraction);
    }
    const float approach = -OvpDot(*normal, *delta);
    if (approach <= 0.0f) {
        return -1;
    }
    return Crossing(fraction, height, approach);
}

OvInt32 OvpRayHitSphere(float* fraction, const OvV3d* start, const OvV3d* delta, const OvV3d* centre, float radius) {
    return QuadricEntry(fraction, OvpSub(*start, *centre), *delta, radius);
}

OvInt32 OvpRayHitCylinder(float* fraction, const OvV3d* start, const OvV3d* delta, const OvV3d* base, const OvV3d* axis,
                          float radius) {
    const OvV3d p = OvpSub(*start, *base);
    const OvV3d pp = OvpSub(p, OvpScale(*axis, OvpDot(p, *axis)));
    const OvV3d dd = OvpSub(*delta, OvpScale(*axis, OvpDot(*delta, *axis)));
    return QuadricEntry(fraction, pp, dd, radius);
}

OvInt32 OvpRayHitTorus(float* fraction, const OvV3d* start, const OvV3d* delta, const OvV3d* centre, const OvV3d* axis,
                       float major, float minor) {
    // f(x) = (|x|^2 + R^2 - r^2)^2 - 4 R^2 (|x|^2 - (x . a)^2), negative inside. Along the
    // segment |x|^2 = A t^2 + B t + C and (x . a) = pa + da t.
    const OvV3d p = OvpSub(*start, *centre);
    const double A = OvpDot(*delta, *delta), B = 2.0 * OvpDot(p, *delta), C = OvpDot(p, p);
    const double pa = OvpDot(p, *axis), da = OvpDot(*delta, *axis);
    const double K = static_cast<double>(major) * major - static_cast<double>(minor) * minor;
    const double R2 = 4.0 * static_cast<double>(major) * major;
    double c[5];
    c[4] = A * A;
    c[3] = 2.0 * A * B;
    c[2] = B * B + 2.0 * A * (C + K) - R2 * (A - da * da);
    c[1] = 2.0 * B * (C + K) - R2 * (B - 2.0 * pa * da);
    c[0] = (C + K) * (C + K) - R2 * (C - pa * pa);
    const bool inside = c[0] <= 0.0;
    if (fraction == nullptr) {
        return inside ? 1 : 0;
    }
    if (inside) {
        return Inside(fraction);
    }
    // Scale the coefficients to a unit leading term range before handing them to the float
    // root finder, so that tiny tori do not underflow.
    double largest = 0.0;
    for (double v : c) {
        largest = std::fmax(largest, std::fabs(v));
    }
    if (largest == 0.0) {
        return 0;
    }
    float cf[5];
    for (int i = 0; i < 5; ++i) {
        cf[i] = static_cast<float>(c[i] / largest);
    }
    float roots[4];
    const OvInt32 n = OvpMathPolyRoots(roots, 0.0f, 1.0f, 4, cf);
    for (OvInt32 i = 0; i < n; ++i) {
        // The first root after which the segment is inside (a touching root is passed over).
        const float next = i + 1 < n ? roots[i + 1] : 1.0f;
        if (OvpMathPolyEvaluate(cf, 4, 0.5f * (roots[i] + next)) <= 0.0f) {
            fraction[0] = roots[i];
            fraction[1] = 1.0f;
            return 1;
        }
    }
    return 0;
}
