#include "physics/core/collision/trilist.h"

#include <cfloat>
#include <cstring>

#include "physics/core/collision/triangle.h"
#include "physics/core/utils/memory.h"
#include "physics/core/volume/aggregate.h"

namespace {

constexpr float kUnbounded = 10000.0f;

OvpTriangleWalker Walker(const OvpVolume* volume) { return reinterpret_cast<OvpTriangleWalker>(volume->data.word[2]); }

OvBool TrilistDestroy(OvpVolume* volume) {
    volume->data.ref[0] = nullptr;
    return 1;
}

OvSphere* TrilistSphere(const OvpVolume*, OvSphere* out) {
    out->center = {0.0f, 0.0f, 0.0f};
    out->radius = FLT_MAX;
    return out;
}

OvpBBox* TrilistBox(const OvpVolume*, const OvMatrix*, OvBool, OvpBBox* out) {
    out->sup = {kUnbounded, kUnbounded, kUnbounded};
    out->inf = {-kUnbounded, -kUnbounded, -kUnbounded};
    out->pad0 = out->pad1 = 0;
    return out;
}

float TrilistMass(const OvpVolume* volume, OvpInertia* inertia, OvV3d* centre) {
    OvpBBox box;
    TrilistBox(volume, nullptr, 0, &box);
    const OvV3d h = OvpAdd(OvpScale(OvpSub(box.sup, box.inf), 0.4f), {volume->fat, volume->fat, volume->fat});
    *centre = OvpScale(OvpAdd(box.sup, box.inf), 0.5f);
    inertia->diagonal = {(h.y * h.y + h.z * h.z) / 3.0f, (h.x * h.x + h.z * h.z) / 3.0f,
                         (h.x * h.x + h.y * h.y) / 3.0f};
    inertia->orientation = {0.0f, 0.0f, 0.0f, 1.0f};
    return 8.0f * h.x * h.y * h.z;
}

OvV3d* TrilistSupport(const OvpVolume*, const OvV3d*, OvV3d* out) { return out; }
OvpSupportFeature* TrilistFeature(const OvpVolume*, OvBool, const OvV3d*, OvpSupportFeature*) { return nullptr; }
OvBool TrilistAxes(const OvpVolume*, const OvMatrix*, OvpFaceAxis*, OvV3d*) { return 0; }

OvBool TrilistInterval(const OvpVolume* volume, const OvV3d* d, float* min, float* max) {
    OvSphere s;
    TrilistSphere(volume, &s);
    const float c = OvpDot(s.center, *d);
    *min = c - s.radius;
    *max = c + s.radius;
    return 1;
}

float TrilistThickness(const OvpVolume* volume) {
    OvSphere s;
    TrilistSphere(volume, &s);
    return (s.radius > volume->fat ? s.radius - volume->fat : s.radius) * 0.5f;
}

OvBool TrilistLine(const OvpVolume*, const OvV3d*, const OvV3d*, OvpLineHit*) { return 0; }

const OvMatrix* Slot(const OvpGatherState* s, OvInt32 slot) { return slot >= 0 ? &s->matrices[slot] : nullptr; }

} // namespace

bool OvpBoxesApart(const OvpBBox& a, const OvpBBox& b, float margin) {
    for (int i = 0; i < 3; ++i) {
        if (OvpComponent(a.inf, i) - OvpComponent(b.sup, i) > margin ||
            OvpComponent(b.inf, i) - OvpComponent(a.sup, i) > margin) {
            return true;
        }
    }
    return false;
}

const OvpVolumeType ovpTrilistVolumeType = {ovpVOLUME_TRILIST,
                                            TrilistDestroy,
                                            TrilistSphere,
                                            TrilistMass,
                                            TrilistBox,
                                            TrilistSupport,
                                            TrilistFeature,
                                            TrilistAxes,
                                            TrilistInterval,
                                            TrilistThickness,
                                            TrilistLine,
                                            "OvpTrilist",
                                            {0, 0, ovpVOLUMETYPE_COMPOUND | ovpVOLUMETYPE_TRILIST}};

OvpVolume* OvpTrilistInit(OvpVolume* volume, const void* source, OvUInt32 kind) {
    OvpVolumeInit(volume, &ovpTrilistVolumeType);
    volume->data.ref[0] = const_cast<void*>(source);
    volume->data.word[1] = kind;
    OvpVolumeSetTriangleCallback(volume, reinterpret_cast<OvpVolumeCallback>(&OvpTrilistDefaultWalker));
    return volume;
}

OvpVolume* OvpTrilistCreate(const void* source, OvUInt32 kind) {
    auto* volume = static_cast<OvpVolume*>(OvpAlignedMalloc(sizeof(OvpVolume), 16, 0x30900));
    return volume != nullptr ? OvpTrilistInit(volume, source, kind) : nullptr;
}

void OvpTrilistDefaultWalker(const OvpVolume*, const OvMatrix*, const OvpBBox*, void*, OvpTriangleBuffer* buffer) {
    buffer->count = 0;
    buffer->flags = 0;
}

OvBool OvpTriangleBufferAppend(OvpTriangleBuffer* buffer, const OvV3d& v0, const OvV3d& v1, const OvV3d& v2,
                               const void* source, OvUInt32 index, OvUInt32 klass) {
    if (buffer->count >= buffer->capacity) {
        return 0;
    }
    OvpTriangleRecord& r = buffer->triangles[buffer->count++];
    r = {};
    r.v0 = v0;
    r.v1 = v1;
    r.v2 = v2;
    const OvV3d n = OvpCross(OvpSub(v1, v0), OvpSub(v2, v0));
    OvpMathVec3Normalize(&r.normal, &n);
    r.source = source;
    r.index = index;
    r.klass = klass;
    return 1;
}

OvInt32 OvpGatherCompound(OvpGatherState* s, const void* object, OvUInt16 part, const OvpVolume* volume,
                          OvInt32 placement, OvUInt32 identity, const OvpBBox* givenBox, const OvpBBox* otherBox,
                          void* walkerArgument) {
    if (placement >= s->matrixCapacity || s->entryCount >= s->entryCapacity) {
        s->stop = 1;
        return 0;
    }
    if (placement + 1 > s->matrixCount) {
        s->matrixCount = placement + 1;
    }
    const OvUInt32 flags = volume->type->words[2];
    const OvMatrix* matrix = Slot(s, placement);
    if ((flags & ovpVOLUMETYPE_COMPOUND) == 0) {
        if (volume->type->id == ovpVOLUME_NULL) {
            return 0;
        }
        const OvInt32 e = s->entryCount++;
        s->entries[e] = {object, part, volume, identity, (flags & ovpVOLUMETYPE_WORLD) ? nullptr : matrix};
        if (givenBox != nullptr) {
            s->boxes[e] = *givenBox;
        } else {
            OvpVolumeGetBoundingBoxInFrame(volume, s->entries[e].matrix, 0, &s->boxes[e]);
        }
        return 1;
    }
    OvInt32 added = 0;
    if (volume->type->id == ovpVOLUME_AGGREGATE) {
        OvpAggChildren* list = OvpAggregateGetChildren(volume);
        const OvInt32 count = list != nullptr ? list->count : 0;
        for (OvInt32 i = 0; i < count; ++i) {
            if (s->matrixCount >= s->matrixCapacity || s->entryCount >= s->entryCapacity) {
                s->stop = 1;
                break;
            }
            const OvpVolume* child = &list->children[i];
            const OvInt32 slot = s->matrixCount++;
            OvMatrix* m = &s->matrices[slot];
            if (child->type->words[2] & ovpVOLUMETYPE_WORLD) {
                *m = matrix != nullptr ? *matrix : child->matrix;
            } else if (matrix == nullptr) {
                *m = child->matrix;
            } else {
                OvpMathMatrixMultiply(m, &child->matrix, matrix);
            }
            OvpBBox box;
            if (givenBox != nullptr) {
                box = *givenBox;
            } else {
                OvpVolumeGetBoundingBoxInFrame(child, m, 0, &box);
                if (count >= 2 && otherBox != nullptr && OvpBoxesApart(box, *otherBox, s->margin)) {
                    --s->matrixCount;
                    continue;
                }
            }
            added += OvpGatherCompound(s, object, part, child, slot, identity * 65536u + static_cast<OvUInt32>(i) + 1,
                                       givenBox, otherBox, walkerArgument);
        }
        return added;
    }
    if ((flags & ovpVOLUMETYPE_TRILIST) == 0) {
        // A grid: nothing in the engine builds one, and it has no child query to walk.
        return 0;
    }
    OvpBBox query = otherBox != nullptr ? *otherBox : OvpBBox{};
    const float m = s->margin;
    query.sup = OvpAdd(query.sup, {m, m, m});
    query.inf = OvpSub(query.inf, {m, m, m});
    OvpTriangleBuffer* buffer = &s->triangles;
    buffer->count = 0;
    buffer->flags = 0;
    Walker(volume)(volume, matrix, &query, walkerArgument, buffer);
    const OvInt32 count = buffer->count < buffer->capacity ? buffer->count : buffer->capacity;
    for (OvInt32 i = 0; i < count; ++i) {
        const OvpTriangleRecord& r = buffer->triangles[i];
        if (r.klass & ovpTRIANGLE_SKIP) {
            continue;
        }
        if (s->temporaryCount >= s->temporaryCapacity || s->entryCount >= s->entryCapacity) {
            s->stop = 1;
            break;
        }
        OvpVolume* t = &s->temporaries[s->temporaryCount++];
        OvV3d v0 = r.v0, v1 = r.v1, v2 = r.v2;
        // Model-space triangles are placed; the triangle type keeps world coordinates.
        if ((buffer->flags & ovpTRIANGLES_MODELSPACE) && matrix != nullptr) {
            v0 = OvpMathTransformPoint(v0, matrix);
            v1 = OvpMathTransformPoint(v1, matrix);
            v2 = OvpMathTransformPoint(v2, matrix);
        }
        OvpVolumeInit(t, &ovpTriangleVolumeType);
        OvpTriangleInit(t, v0, v1, v2, r.klass);
        if ((s->flags & ovpGATHER_RENORMALISE) == 0 && !(buffer->flags & ovpTRIANGLES_MODELSPACE)) {
            // The walker's own normal stands.
            OvpTriangleShape shape = OvpTriangleGetShape(t);
            shape.normal = r.normal;
            shape.offset = OvpDot(r.normal, v0);
            static_assert(sizeof(shape) == sizeof(t->matrix));
            std::memcpy(&t->matrix, &shape, sizeof(shape));
        }
        t->fat = volume->fat;
        t->restitution = volume->restitution;
        t->friction = volume->friction;
        t->group = volume->group;
        const OvInt32 e = s->entryCount++;
        s->entries[e] = {object, part, t, identity * 65536u + r.index, nullptr};
        OvpVolumeGetBoundingBoxInFrame(t, nullptr, 0, &s->boxes[e]);
        ++added;
    }
    return added;
}
