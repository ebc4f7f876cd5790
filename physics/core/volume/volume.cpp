#include "physics/core/volume/volume.h"

#include <cfloat>
#include <cmath>
#include <cstring>

#include "physics/core/utils/memory.h"
#include "physics/core/volume/aggregate.h"
#include "physics/core/volume/primitives.h"

void OvpSupportFeatureInit(OvpSupportFeature* feature, OvpFeatureVertex* buffer, OvUInt16 capacity) {
    feature->normal = {0.0f, 0.0f, 1.0f};
    feature->offset = 0.0f;
    feature->count = 0;
    feature->flags = 0;
    if (buffer != nullptr && capacity > ovpFEATURESTORAGE) {
        feature->vertices = buffer;
        feature->capacity = capacity;
    } else {
        feature->vertices = feature->storage;
        feature->capacity = ovpFEATURESTORAGE;
    }
}

// --- common operations -----------------------------------------------------------------

OvpVolume* OvpVolumeInit(OvpVolume* volume, const OvpVolumeType* type) {
    OvMatrixSetIdentity(&volume->matrix);
    std::memset(&volume->data, 0, sizeof(volume->data));
    volume->fat = 0.0f;
    volume->restitution = 0.2f;
    volume->friction = 0.2f;
    volume->spare = 0;
    volume->group = 0;
    volume->type = type;
    return volume;
}

OvBool OvpVolumeDeinit(OvpVolume* volume) { return volume->type->destroy(volume); }

OvBool OvpVolumeDestroy(OvpVolume* volume) {
    volume->type->destroy(volume);
    OvpAlignedFree(volume);
    return 1;
}

OvpVolume* OvpVolumeSetFatness(OvpVolume* volume, float fat) {
    volume->fat = fat;
    return volume;
}

namespace {

// Applies the setter to the volume, or to every child of an aggregate (recursively).
template <typename Set> void SetMaterial(OvpVolume* volume, Set set) {
    if (volume->type->id == ovpVOLUME_AGGREGATE) {
        OvpAggChildren* list = OvpAggregateGetChildren(volume);
        for (OvInt32 i = 0; list != nullptr && i < list->count; ++i) {
            SetMaterial(OvpAggChildrenGetChild(list, i), set);
        }
        return;
    }
    set(volume);
}

// The matrix a placed query uses (see OvpVolumeGetBoundingSphere); null for none.
const OvMatrix* ChoosePlacement(const OvpVolume* volume, const OvMatrix* placement, OvMatrix* scratch) {
    if ((volume->type->words[2] & ovpVOLUMETYPE_WORLD) != 0 || OvpMathIsIdentity(&volume->matrix)) {
        return placement;
    }
    if (placement == nullptr) {
        return &volume->matrix;
    }
    return OvpMathMatrixMultiply(scratch, &volume->matrix, placement);
}

} // namespace

OvpVolume* OvpVolumeSetFriction(OvpVolume* volume, float friction) {
    SetMaterial(volume, [friction](OvpVolume* v) { v->friction = friction; });
    return volume;
}

OvpVolume* OvpVolumeSetRestitution(OvpVolume* volume, float restitution) {
    SetMaterial(volume, [restitution](OvpVolume* v) { v->restitution = restitution; });
    return volume;
}

OvpVolume* OvpVolumeSetTriangleCallback(OvpVolume* volume, OvpVolumeCallback callback) {
    volume->data.word[2] = reinterpret_cast<std::uintptr_t>(callback);
    return volume;
}

OvSphere* OvpVolumeGetBoundingSphere(const OvpVolume* volume, const OvMatrix* placement, OvSphere* out) {
    OvMatrix scratch;
    return OvpVolumeGetBoundingSphereInFrame(volume, ChoosePlacement(volume, placement, &scratch), out);
}

OvSphere* OvpVolumeGetBoundingSphereInFrame(const OvpVolume* volume, const OvMatrix* matrix, OvSphere* out) {
    if (volume->type->boundingSphere(volume, out) == nullptr) {
        return nullptr;
    }
    if (matrix != nullptr) {
        out->center = OvpMathTransformPoint(out->center, matrix);
    }
    return out;
}

OvpBBox* OvpVolumeGetBoundingBox(const OvpVolume* volume, const OvMatrix* placement, OvBool flag, OvpBBox* out) {
    OvMatrix scratch;
    return volume->type->boundingBox(volume, ChoosePlacement(volume, placement, &scratch), flag, out);
}

OvpBBox* OvpVolumeGetBoundingBoxInFrame(const OvpVolume* volume, const OvMatrix* matrix, OvBool flag, OvpBBox* out) {
    return volume->type->boundingBox(volume, matrix, flag, out);
}

float OvpVolumeGetThickness(const OvpVolume* volume) {
    const float core = volume->type->thickness != nullptr ? volume->type->thickness(volume) : 0.0f;
    return core + 2.0f * volume->fat;
}

float OvpVolumeGetMassProperties(const OvpVolume* volume, OvpInertia* inertia, OvV3d* centre) {
    const float v = volume->type->massProperties(volume, inertia, centre);
    if ((volume->type->words[2] & ovpVOLUMETYPE_WORLD) == 0 && !OvpMathIsIdentity(&volume->matrix)) {
        OvQuat local;
        OvQuatFromMatrix(&local, &volume->matrix);
        inertia->orientation = OvpMathQuatMultiply(local, inertia->orientation);
        *centre = OvpMathTransformPoint(*centre, &volume->matrix);
    }
    return v;
}

OvV3d* OvpVolumeGetSupportPoint(const OvpVolume* volume, const OvMatrix* matrix, const OvV3d* direction, OvV3d* out) {
    if (matrix == nullptr) {
        return volume->type->supportPoint(volume, direction, out);
    }
    const OvV3d local = OvpMathInverseRotate(*direction, matrix);
    if (volume->type->supportPoint(volume, &local, out) == nullptr) {
        return nullptr;
    }
    *out = OvpMathTransformPoint(*out, matrix);
    return out;
}

OvpSupportFeature* OvpVolumeGetSupportFeature(const OvpVolume* volume, const OvMatrix* matrix, OvBool flag,
                                              const OvV3d* direction, OvpSupportFeature* out) {
    if (matrix == nullptr) {
        return volume->type->supportFeature(volume, flag, direction, out);
    }
    const OvV3d local = OvpMathInverseRotate(*direction, matrix);
    if (volume->type->supportFeature(volume, flag, &local, out) == nullptr) {
        return nullptr;
    }
    return OvpSupportFeatureTransform(out, matrix);
}

OvpSupportFeature* OvpSupportFeatureTransform(OvpSupportFeature* feature, const OvMatrix* matrix) {
    for (OvUInt16 i = 0; i < feature->count; ++i) {
        feature->vertices[i].p = OvpMathTransformPoint(feature->vertices[i].p, matrix);
    }
    feature->normal = OvpMathTransformVector(feature->normal, matrix);
    if (feature->count > 0) {
        feature->offset = OvpDot(feature->normal, feature->vertices[0].p);
    } else if (!OvpMathIsIdentity(matrix)) {
        feature->offset += OvpDot(feature->normal, matrix->pos);
    }
    return feature;
}

OvBool OvpVolumeGetInterval(const OvpVolume* volume, const OvMatrix* matrix, const OvV3d* direction, float* min,
                            float* max) {
    if (matrix == nullptr) {
        return volume->type->interval(volume, direction, min, max);
    }
    // A sphere's core is its centre, whose interval is 0 along any direction: no turning needed.
    const OvV3d local = volume->type == &ovpSphereVolumeType ? *direction : OvpMathInverseRotate(*direction, matrix);
    if (!volume->type->interval(volume, &local, min, max)) {
        return 0;
    }
    if (!OvpMathIsIdentity(matrix)) {
        const float shift = OvpDot(matrix->pos, *direction);
        *min += shift;
        *max += shift;
    }
    return 1;
}

OvBool OvpVolumeGetIntervalFromSupport(const OvpVolume* volume, const OvV3d* direction, float* min, float* max) {
    OvV3d p;
    if (volume->type->supportPoint(volume, direction, &p) == nullptr) {
        return 0;
    }
    *max = OvpDot(*direction, p);
    const OvV3d opposite = OvpScale(*direction, -1.0f);
    if (volume->type->supportPoint(volume, &opposite, &p) == nullptr) {
        return 0;
    }
    *min = OvpDot(*direction, p);
    return 1;
}

// --- the null volume -------------------------------------------------------------------

namespace {

OvBool ReturnOne(OvpVolume*) { return 1; }
OvSphere* NullSphere(const OvpVolume*, OvSphere*) { return nullptr; }
float NullMass(const OvpVolume*, OvpInertia* inertia, OvV3d* centre) {
    inertia->diagonal = {1.0f, 1.0f, 1.0f};
    inertia->orientation = {0.0f, 0.0f, 0.0f, 1.0f};
    *centre = {0.0f, 0.0f, 0.0f};
    return 0.0f;
}
OvpBBox* NullBox(const OvpVolume*, const OvMatrix*, OvBool, OvpBBox*) { return nullptr; }
OvV3d* NullSupport(const OvpVolume*, const OvV3d*, OvV3d*) { return nullptr; }
OvpSupportFeature* NullFeature(const OvpVolume*, OvBool, const OvV3d*, OvpSupportFeature*) { return nullptr; }
OvBool NullAxes(const OvpVolume*, const OvMatrix*, OvpFaceAxis*, OvV3d*) { return 0; }
OvBool NullInterval(const OvpVolume*, const OvV3d*, float*, float*) { return 0; }
float NullThickness(const OvpVolume*) { return 0.0f; }
OvBool NullLine(const OvpVolume*, const OvV3d*, const OvV3d*, OvpLineHit*) { return 0; }

} // namespace

const OvpVolumeType ovpNullVolumeType = {ovpVOLUME_NULL, ReturnOne,   NullSphere, NullMass,     NullBox,
                                         NullSupport,    NullFeature, NullAxes,   NullInterval, NullThickness,
                                         NullLine,       "OvpNull",   {0, 0, 0}};

OvpVolume* OvpNullInit(OvpVolume* volume) { return OvpVolumeInit(volume, &ovpNullVolumeType); }

OvpVolume* OvpNullCreate() {
    auto* volume = static_cast<OvpVolume*>(OvpAlignedMalloc(sizeof(OvpVolume), 16, ovpMEMHINT));
    return volume != nullptr ? OvpNullInit(volume) : nullptr;
}

// --- segment against an inflated polyhedron --------------------------------------------

namespace {

const OvpPolyEdge& EdgeAt(const OvpPolytope* poly, std::size_t index) {
    const auto* base = static_cast<const unsigned char*>(poly->edges);
    return *reinterpret_cast<const OvpPolyEdge*>(base + index * poly->edgeStride + poly->edgeOffset);
}

// Squared distance from p to the segment a-b and the closest point.
float SegmentDistanceSquared(const OvV3d& p, const OvV3d& a, const OvV3d& b, OvV3d* closest) {
    const OvV3d ab = OvpSub(b, a);
    const float length2 = OvpDot(ab, ab);
    float u = length2 > 0.0f ? OvpDot(OvpSub(p, a), ab) / length2 : 0.0f;
    u = std::fmin(1.0f, std::fmax(0.0f, u));
    *closest = OvpAdd(a, OvpScale(ab, u));
    const OvV3d d = OvpSub(p, *closest);
    return OvpDot(d, d);
}

// Whether p, projected on face f's plane, lies within the face polygon (with a little slack).
bool OverFace(const OvpPolytope* poly, OvInt32 f, const OvV3d& p) {
    const OvV3d& n = poly->normals[f];
    for (OvInt32 e = poly->faceFirst[f]; e < poly->faceFirst[f + 1]; ++e) {
        const OvpPolyEdge& edge = EdgeAt(poly, e);
        const OvV3d& a = poly->vertices[edge.start];
        const OvV3d ab = OvpSub(poly->vertices[edge.end], a);
        const OvV3d ap = OvpSub(p, a);
        const float slack = 1e-6f * OvpLength(ab) * (OvpLength(ap) + 1.0f);
        if (OvpDot(OvpCross(n, ab), ap) < -slack) {
            return false;
        }
    }
    return true;
}

// Squared distance from p to the polyhedron (0 inside).
float DistanceSquared(const OvpPolytope* poly, const OvV3d& p) {
    bool inside = true;
    float best = FLT_MAX;
    for (OvInt32 f = 0; f < poly->faceCount; ++f) {
        const OvV3d& n = poly->normals[f];
        const OvpPolyEdge& first = EdgeAt(poly, poly->faceFirst[f]);
        const float height = OvpDot(n, OvpSub(p, poly->vertices[first.start]));
        if (height <= 0.0f) {
            continue;
        }
        inside = false;
        if (OverFace(poly, f, p)) {
            best = std::fmin(best, height * height);
            continue;
        }
        for (OvInt32 e = poly->faceFirst[f]; e < poly->faceFirst[f + 1]; ++e) {
            const OvpPolyEdge& edge = EdgeAt(poly, e);
            OvV3d closest;
            best = std::fmin(best,
                             SegmentDistanceSquared(p, poly->vertices[edge.start], poly->vertices[edge.end], &closest));
        }
    }
    return inside ? 0.0f : best;
}

} // namespace

OvBool OvpPolytopeIntersectLine(const OvpPolytope* poly, float radius, const OvV3d* start, const OvV3d* end,
                                OvpLineHit* hit) {
    const OvV3d delta = OvpSub(*end, *start);
    const float r = std::fmax(radius, 0.0f);
    if (DistanceSquared(poly, *start) <= r * r) {
        hit->point = *start;
        OvpMathVec3Normalize(&hit->normal, &delta);
        hit->normal = OvpScale(hit->normal, -1.0f);
        hit->fraction = 0.0f;
        return 1;
    }
    // The first entry into any piece of the inflated shape: a face slab's outer plane over the
    // face, an edge cylinder within the edge, a vertex sphere. The sides of the slabs lie inside
    // the edge cylinders and the cylinders' ends inside the spheres, so these pieces suffice.
    float best = 2.0f;
    OvV3d bestNormal = {0.0f, 0.0f, 1.0f};
    float frac[2];
    for (OvInt32 f = 0; f < poly->faceCount; ++f) {
        const OvV3d& n = poly->normals[f];
        const OvpPolyEdge& first = EdgeAt(poly, poly->faceFirst[f]);
        const float offset = OvpDot(n, poly->vertices[first.start]) + r;
        // A start below the plane is no entry through this face (the start is outside).
        if (OvpRayHitPlane(frac, start, &delta, &n, offset) != 1 || frac[0] <= 0.0f) {
            continue;
        }
        const float t = frac[0] / frac[1];
        if (t < best && OverFace(poly, f, OvpAdd(*start, OvpScale(delta, t)))) {
            best = t;
            bestNormal = n;
        }
    }
    if (r > 0.0f) {
        for (OvInt32 f = 0; f < poly->faceCount; ++f) {
            for (OvInt32 e = poly->faceFirst[f]; e < poly->faceFirst[f + 1]; ++e) {
                const OvpPolyEdge& edge = EdgeAt(poly, e);
                if (edge.start > edge.end) {
                    continue; // each edge once
                }
                const OvV3d& a = poly->vertices[edge.start];
                const OvV3d& b = poly->vertices[edge.end];
                OvV3d axis;
                const OvV3d ab = OvpSub(b, a);
                const float len = OvpMathVec3Normalize(&axis, &ab);
                if (OvpRayHitCylinder(frac, start, &delta, &a, &axis, r) != 1) {
                    continue;
                }
                const float t = frac[0] / frac[1];
                const OvV3d q = OvpAdd(*start, OvpScale(delta, t));
                const float along = OvpDot(OvpSub(q, a), axis);
                if (t < best && along >= 0.0f && along <= len) {
                    best = t;
                    const OvV3d off = OvpSub(q, OvpAdd(a, OvpScale(axis, along)));
                    OvpMathVec3Normalize(&bestNormal, &off);
                }
            }
        }
        for (OvInt32 v = 0; v < poly->vertexCount; ++v) {
            if (OvpRayHitSphere(frac, start, &delta, &poly->vertices[v], r) != 1) {
                continue;
            }
            const float t = frac[0] / frac[1];
            if (t < best) {
                best = t;
                const OvV3d off = OvpSub(OvpAdd(*start, OvpScale(delta, t)), poly->vertices[v]);
                OvpMathVec3Normalize(&bestNormal, &off);
            }
        }
    }
    if (best > 1.0f) {
        return 0;
    }
    hit->point = OvpAdd(*start, OvpScale(delta, best));
    hit->normal = bestNormal;
    hit->fraction = best;
    return 1;
}
