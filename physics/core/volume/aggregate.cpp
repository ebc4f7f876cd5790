#include "physics/core/volume/aggregate.h"

#include <cfloat>
#include <cmath>

#include "graphics/core/engine.h"
#include "physics/core/utils/memory.h"

OvpAggChildren* OvpAggChildrenCreate(OvInt32 count) {
    if (count < 1 || static_cast<std::size_t>(count) > SIZE_MAX / sizeof(OvpVolume)) {
        return nullptr;
    }
    auto* list = static_cast<OvpAggChildren*>(OvMalloc(sizeof(OvpAggChildren), ovpMEMHINT));
    if (list == nullptr) {
        return nullptr;
    }
    list->children = static_cast<OvpVolume*>(OvpAlignedMalloc(sizeof(OvpVolume) * count, 16, ovpMEMHINT));
    if (list->children == nullptr) {
        OvFree(list);
        return nullptr;
    }
    for (OvInt32 i = 0; i < count; ++i) {
        OvpNullInit(&list->children[i]);
    }
    list->count = count;
    list->box = {};
    list->sphere = {};
    list->volume = -1.0f;
    list->centre = {};
    list->inertia = {{1.0f, 1.0f, 1.0f}, {0.0f, 0.0f, 0.0f, 1.0f}};
    list->refCount = 1;
    list->flags = 0;
    return list;
}

void OvpAggChildrenRelease(OvpAggChildren* list) {
    if (list == nullptr || --list->refCount > 0) {
        return;
    }
    for (OvInt32 i = 0; i < list->count; ++i) {
        OvpVolumeDeinit(&list->children[i]);
    }
    OvpAlignedFree(list->children);
    list->children = nullptr;
    list->count = 0;
    OvFree(list);
}

OvpVolume* OvpAggChildrenGetChild(OvpAggChildren* list, OvInt32 i) {
    return i >= 0 && i < list->count ? &list->children[i] : nullptr;
}

OvBool OvpAggChildrenComputeBounds(OvpAggChildren* list) {
    list->flags &= ~(ovpAGGCHILDREN_BOXVALID | ovpAGGCHILDREN_SPHEREVALID);
    list->volume = -1.0f;
    OvpBBox box = {{-FLT_MAX, -FLT_MAX, -FLT_MAX}, 0, {FLT_MAX, FLT_MAX, FLT_MAX}, 0};
    for (OvInt32 i = 0; i < list->count; ++i) {
        OvpBBox child;
        if (OvpVolumeGetBoundingBox(&list->children[i], nullptr, 1, &child) == nullptr) {
            return 0;
        }
        OvpMathBoxUnion(&box, &box, &child);
    }
    // The sphere round the box's centre that holds every child's sphere.
    OvSphere sphere;
    OvpMathSphereFromBox(&sphere, &box);
    float radius = 0.0f;
    for (OvInt32 i = 0; i < list->count; ++i) {
        OvSphere child;
        if (OvpVolumeGetBoundingSphere(&list->children[i], nullptr, &child) == nullptr) {
            return 0;
        }
        const OvV3d offset = OvpSub(child.center, sphere.center);
        radius = std::fmax(radius, std::sqrt(OvpDot(offset, offset)) + child.radius);
    }
    sphere.radius = std::fmin(sphere.radius, radius);
    list->box = box;
    list->sphere = sphere;
    list->flags |= ovpAGGCHILDREN_BOXVALID | ovpAGGCHILDREN_SPHEREVALID;
    return 1;
}

float OvpAggregateComputeMassProperties(OvpVolume* children, OvInt32 count, OvpInertia* inertia, OvV3d* centre) {
    struct Part {
        float volume;
        OvpInertia inertia;
        OvV3d centre;
    };
    double total = 0.0;
    double weighted[3] = {0.0, 0.0, 0.0};
    for (OvInt32 i = 0; i < count; ++i) {
        Part p;
        p.volume = OvpVolumeGetMassProperties(&children[i], &p.inertia, &p.centre);
        total += p.volume;
        weighted[0] += static_cast<double>(p.volume) * p.centre.x;
        weighted[1] += static_cast<double>(p.volume) * p.centre.y;
        weighted[2] += static_cast<double>(p.volume) * p.centre.z;
    }
    if (!(total >= FLT_MIN)) {
        inertia->diagonal = {1.0f, 1.0f, 1.0f};
        inertia->orientation = {0.0f, 0.0f, 0.0f, 1.0f};
        *centre = {0.0f, 0.0f, 0.0f};
        return 0.0f;
    }
    const OvV3d c = {static_cast<float>(weighted[0] / total), static_cast<float>(weighted[1] / total),
                     static_cast<float>(weighted[2] / total)};
    OvpMatrix3 sum = {};
    for (OvInt32 i = 0; i < count; ++i) {
        Part p;
        p.volume = OvpVolumeGetMassProperties(&children[i], &p.inertia, &p.centre);
        OvpMatrix3 tensor = {};
        OvpMathInertiaFromDiagonal(&tensor, &p.inertia);
        // Parallel-axis rule: |r|^2 E - r r^T with r from the common centre.
        const OvV3d r = OvpSub(p.centre, c);
        const float rr = OvpDot(r, r);
        for (int a = 0; a < 3; ++a) {
            for (int b = 0; b < 3; ++b) {
                tensor.m[a][b] += (a == b ? rr : 0.0f) - OvpComponent(r, a) * OvpComponent(r, b);
            }
        }
        OvpMathMatrix3AddScaled(&sum, &tensor, p.volume);
    }
    const float inverse = static_cast<float>(1.0 / total);
    OvpMatrix3 perUnit = {};
    OvpMathMatrix3AddScaled(&perUnit, &sum, inverse);
    OvpMathPrincipalAxes(inertia, &perUnit);
    *centre = c;
    return static_cast<float>(total);
}

OvpAggChildren* OvpAggregateGetChildren(const OvpVolume* volume) {
    return static_cast<OvpAggChildren*>(volume->data.ref[0]);
}

float OvpAggChildrenGetMassProperties(OvpAggChildren* list, OvpInertia* inertia, OvV3d* centre) {
    if (list == nullptr) {
        inertia->diagonal = {1.0f, 1.0f, 1.0f};
        inertia->orientation = {0.0f, 0.0f, 0.0f, 1.0f};
        *centre = {0.0f, 0.0f, 0.0f};
        return 0.0f;
    }
    if (!(list->volume >= 0.0f)) {
        list->volume = OvpAggregateComputeMassProperties(list->children, list->count, &list->inertia, &list->centre);
    }
    *inertia = list->inertia;
    *centre = list->centre;
    return list->volume;
}

float OvpAggregateGetMassProperties(const OvpVolume* volume, OvpInertia* inertia, OvV3d* centre) {
    return OvpAggChildrenGetMassProperties(OvpAggregateGetChildren(volume), inertia, centre);
}

OvSphere* OvpAggChildrenGetSphere(const OvpAggChildren* list, OvSphere* out) {
    if (list == nullptr || list->count == 0 || (list->flags & ovpAGGCHILDREN_SPHEREVALID) == 0) {
        return nullptr;
    }
    *out = list->sphere;
    return out;
}

OvpBBox* OvpAggChildrenGetBox(const OvpAggChildren* list, const OvMatrix* matrix, OvpBBox* out) {
    if (list == nullptr || (list->flags & ovpAGGCHILDREN_BOXVALID) == 0) {
        return nullptr;
    }
    if (matrix == nullptr) {
        *out = list->box;
        return out;
    }
    return OvpMathBoxTransform(out, &list->box, matrix);
}

float OvpAggChildrenGetThickness(const OvpAggChildren* list) {
    float best = 1e10f;
    for (OvInt32 i = 0; list != nullptr && i < list->count; ++i) {
        const OvpVolume* child = &list->children[i];
        const float t = OvpVolumeGetThickness(child);
        if (t > 0.0f && t < best) {
            best = t;
        }
    }
    return best;
}

namespace {

OvBool AggDestroy(OvpVolume* volume) {
    OvpAggChildrenRelease(OvpAggregateGetChildren(volume));
    volume->data.ref[0] = nullptr;
    return 1;
}

OvSphere* AggSphere(const OvpVolume* volume, OvSphere* out) {
    return OvpAggChildrenGetSphere(OvpAggregateGetChildren(volume), out);
}

OvpBBox* AggBox(const OvpVolume* volume, const OvMatrix* matrix, OvBool, OvpBBox* out) {
    return OvpAggChildrenGetBox(OvpAggregateGetChildren(volume), matrix, out);
}

OvV3d* AggSupport(const OvpVolume* volume, const OvV3d* d, OvV3d* out) {
    const OvpAggChildren* list = OvpAggregateGetChildren(volume);
    bool found = false;
    float best = -FLT_MAX;
    for (OvInt32 i = 0; list != nullptr && i < list->count; ++i) {
        const OvpVolume* child = &list->children[i];
        OvV3d p;
        if (OvpVolumeGetSupportPoint(child, &child->matrix, d, &p) == nullptr) {
            continue;
        }
        const float reach = OvpDot(*d, p) + child->fat;
        if (!found || reach > best) {
            found = true;
            best = reach;
            *out = OvpAdd(p, OvpScale(*d, child->fat));
        }
    }
    return found ? out : nullptr;
}

OvpSupportFeature* AggFeature(const OvpVolume*, OvBool, const OvV3d*, OvpSupportFeature*) { return nullptr; }
OvBool AggAxes(const OvpVolume*, const OvMatrix*, OvpFaceAxis*, OvV3d*) { return 0; }

float AggThickness(const OvpVolume* volume) { return OvpAggChildrenGetThickness(OvpAggregateGetChildren(volume)); }

OvBool AggLine(const OvpVolume* volume, const OvV3d*, const OvV3d*, OvpLineHit* hit) {
    hit->volume = volume;
    return 0;
}

} // namespace

const OvpVolumeType ovpAggregateVolumeType = {ovpVOLUME_AGGREGATE,
                                              AggDestroy,
                                              AggSphere,
                                              OvpAggregateGetMassProperties,
                                              AggBox,
                                              AggSupport,
                                              AggFeature,
                                              AggAxes,
                                              OvpVolumeGetIntervalFromSupport,
                                              AggThickness,
                                              AggLine,
                                              "OvpAggregate",
                                              {0x630200, 0x630063, 0x1}};

OvpVolume* OvpAggregateInit(OvpVolume* volume, OvpAggChildren* list) {
    OvpVolumeInit(volume, &ovpAggregateVolumeType);
    if (list != nullptr) {
        ++list->refCount;
    }
    volume->data.ref[0] = list;
    return volume;
}
