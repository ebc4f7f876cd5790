#include "physics/core/collision/trilist.h"

#include <cfloat>
#include <cmath>

#include "graphics/core/engine.h"
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

OvpTrilistSource gSources[ovpTRILIST_USER] = {};

OvUInt32 Kind(const OvpVolume* volume) { return static_cast<OvUInt32>(volume->data.word[1]); }

// The source's handlers; null for the caller's own triangles and for graphics kinds whose
// handlers are not installed (those lists are unbounded).
const OvpTrilistSource* SourceOf(const OvpVolume* volume) {
    const OvUInt32 kind = Kind(volume);
    return kind < ovpTRILIST_USER && volume->data.ref[0] != nullptr ? &gSources[kind] : nullptr;
}

// Kinds 0 and 1 are bounded by their source's box, kinds 2 and 3 by its sphere.
bool BoxKind(const OvpVolume* volume) { return Kind(volume) <= ovpTRILIST_SECTOR; }

OvSphere* TrilistSphere(const OvpVolume* volume, OvSphere* out) {
    const OvpTrilistSource* source = SourceOf(volume);
    OvpBBox box;
    if (source != nullptr && BoxKind(volume) && source->box != nullptr &&
        source->box(volume->data.ref[0], &box) != nullptr) {
        OvpMathSphereFromBox(out, &box);
    } else if (source == nullptr || BoxKind(volume) || source->sphere == nullptr ||
               source->sphere(volume->data.ref[0], out) == nullptr) {
        out->center = {0.0f, 0.0f, 0.0f};
        out->radius = FLT_MAX;
        return out;
    }
    out->radius += volume->fat;
    return out;
}

OvpBBox* TrilistBox(const OvpVolume* volume, const OvMatrix* matrix, OvBool, OvpBBox* out) {
    const OvpTrilistSource* source = SourceOf(volume);
    OvSphere sphere;
    if (source != nullptr && BoxKind(volume) && source->box != nullptr) {
        OvpBBox box;
        if (source->box(volume->data.ref[0], &box) != nullptr) {
            return matrix != nullptr ? OvpMathBoxTransform(out, &box, matrix) : (*out = box, out);
        }
    } else if (source != nullptr && !BoxKind(volume) && source->sphere != nullptr &&
               source->sphere(volume->data.ref[0], &sphere) != nullptr) {
        const OvV3d c = matrix != nullptr ? OvpAdd(sphere.center, matrix->pos) : sphere.center;
        const float r = sphere.radius + volume->fat;
        out->sup = OvpAdd(c, {r, r, r});
        out->inf = OvpSub(c, {r, r, r});
        out->pad0 = out->pad1 = 0;
        return out;
    }
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

// ---- grid ---------------------------------------------------------------------------------

OvpGridBlock* Block(const OvpVolume* volume) { return static_cast<OvpGridBlock*>(volume->data.ref[0]); }

OvpAggChildren* Children(const OvpVolume* volume) {
    const OvpGridBlock* b = Block(volume);
    return b != nullptr ? b->children : nullptr;
}

OvBool GridDestroy(OvpVolume* volume) {
    OvpGridBlockRelease(Block(volume));
    volume->data.ref[0] = nullptr;
    return 1;
}

OvSphere* GridSphere(const OvpVolume* volume, OvSphere* out) { return OvpAggChildrenGetSphere(Children(volume), out); }

OvpBBox* GridBox(const OvpVolume* volume, const OvMatrix* matrix, OvBool, OvpBBox* out) {
    return OvpAggChildrenGetBox(Children(volume), matrix, out);
}

float GridMass(const OvpVolume* volume, OvpInertia* inertia, OvV3d* centre) {
    return OvpAggChildrenGetMassProperties(Children(volume), inertia, centre);
}

OvV3d* GridSupport(const OvpVolume*, const OvV3d*, OvV3d* out) { return out; }
OvpSupportFeature* GridFeature(const OvpVolume*, OvBool, const OvV3d*, OvpSupportFeature*) { return nullptr; }
OvBool GridAxes(const OvpVolume*, const OvMatrix*, OvpFaceAxis*, OvV3d*) { return 0; }
OvBool GridInterval(const OvpVolume*, const OvV3d*, float*, float*) { return 0; }
OvBool GridLine(const OvpVolume*, const OvV3d*, const OvV3d*, OvpLineHit*) { return 0; }

float GridThickness(const OvpVolume* volume) {
    OvpGridBlock* b = Block(volume);
    if (b == nullptr) {
        return 0.0f;
    }
    if (!(b->thickness > 0.0f)) {
        b->thickness = OvpAggChildrenGetThickness(b->children);
    }
    return b->thickness;
}

// The box, given in the placement's frame, brought into the volume's own frame.
OvpBBox IntoFrame(const OvpBBox& box, const OvMatrix* placement) {
    if (placement == nullptr || OvpMathIsIdentity(placement)) {
        return box;
    }
    OvpBBox out = {{-FLT_MAX, -FLT_MAX, -FLT_MAX}, 0, {FLT_MAX, FLT_MAX, FLT_MAX}, 0};
    for (int c = 0; c < 8; ++c) {
        const OvV3d corner = {(c & 1) ? box.sup.x : box.inf.x, (c & 2) ? box.sup.y : box.inf.y,
                              (c & 4) ? box.sup.z : box.inf.z};
        const OvV3d p = OvpMathInverseRotate(OvpSub(corner, placement->pos), placement);
        for (int a = 0; a < 3; ++a) {
            OvpSetComponent(out.sup, a, std::fmax(OvpComponent(out.sup, a), OvpComponent(p, a)));
            OvpSetComponent(out.inf, a, std::fmin(OvpComponent(out.inf, a), OvpComponent(p, a)));
        }
    }
    return out;
}

} // namespace

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
                                            {0x630200, 0x630063, ovpVOLUMETYPE_COMPOUND | ovpVOLUMETYPE_TRILIST}};

bool OvpTriangleIsDegenerate(const OvV3d& v0, const OvV3d& v1, const OvV3d& v2) {
    const OvV3d a = OvpSub(v1, v0), b = OvpSub(v2, v0), c = OvpSub(v2, v1);
    const OvV3d n = OvpCross(a, b);
    const float longest = OvpMax(OvpDot(a, a), OvpMax(OvpDot(b, b), OvpDot(c, c)));
    const float area2 = OvpDot(n, n);
    return !(area2 > FLT_MIN) || !(area2 > 1e-10f * longest * longest);
}

const OvpVolumeType ovpGridVolumeType = {ovpVOLUME_GRID,
                                         GridDestroy,
                                         GridSphere,
                                         GridMass,
                                         GridBox,
                                         GridSupport,
                                         GridFeature,
                                         GridAxes,
                                         GridInterval,
                                         GridThickness,
                                         GridLine,
                                         "OvpGrid",
                                         {0x630200, 0x630063, ovpVOLUMETYPE_COMPOUND | ovpVOLUMETYPE_GRID}};

OvpGridBlock* OvpGridBlockCreate(OvInt32 count) {
    auto* b = static_cast<OvpGridBlock*>(OvMalloc(sizeof(OvpGridBlock), ovpMEMHINT));
    if (b == nullptr) {
        return nullptr;
    }
    *b = {};
    b->children = OvpAggChildrenCreate(count);
    if (b->children == nullptr) {
        OvFree(b);
        return nullptr;
    }
    b->refCount = 1;
    return b;
}

void OvpGridBlockRelease(OvpGridBlock* b) {
    if (b == nullptr || --b->refCount > 0) {
        return;
    }
    OvpAggChildrenRelease(b->children);
    for (void* array : b->index) {
        if (array != nullptr) {
            OvFree(array);
        }
    }
    OvFree(b);
}

OvpVolume* OvpGridInit(OvpVolume* volume, OvpGridBlock* block) {
    OvpVolumeInit(volume, &ovpGridVolumeType);
    if (block != nullptr) {
        ++block->refCount;
    }
    volume->data.ref[0] = block;
    return volume;
}

OvpVolume* OvpGridGetVolume(const OvpVolume* grid, OvInt32 i) {
    OvpAggChildren* list = Children(grid);
    return list != nullptr ? OvpAggChildrenGetChild(list, i) : nullptr;
}

OvInt32 OvpGridGetNumVolumes(const OvpVolume* grid) {
    const OvpAggChildren* list = Children(grid);
    return list != nullptr ? list->count : 0;
}

OvInt32 OvpGridQueryChildren(const OvpVolume* grid, const OvpBBox* box, OvInt32* out, OvInt32 capacity) {
    const OvpAggChildren* list = Children(grid);
    OvInt32 n = 0;
    for (OvInt32 i = 0; list != nullptr && i < list->count && n < capacity; ++i) {
        OvpBBox child;
        if (OvpVolumeGetBoundingBox(&list->children[i], nullptr, 0, &child) != nullptr &&
            !OvpBoxesApart(child, *box, 0.0f)) {
            out[n++] = i;
        }
    }
    return n;
}

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

void OvpTrilistSetSource(OvUInt32 kind, const OvpTrilistSource* handlers) {
    if (kind < ovpTRILIST_USER) {
        gSources[kind] = handlers != nullptr ? *handlers : OvpTrilistSource{};
    }
}

void OvpTrilistDefaultWalker(const OvpVolume* volume, const OvMatrix* placement, const OvpBBox* box, void* argument,
                             OvpTriangleBuffer* buffer) {
    buffer->count = 0;
    buffer->flags = 0;
    const OvpTrilistSource* source = SourceOf(volume);
    if (source != nullptr && source->walker != nullptr) {
        source->walker(volume, placement, box, argument, buffer);
    }
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
    // A child's matrix slot: the placement for a child in world coordinates, its own local
    // matrix without a placement, else local then placement. -1 (stop flag) when full.
    const auto placeChild = [&](const OvpVolume* child) -> OvInt32 {
        if (s->matrixCount >= s->matrixCapacity || s->entryCount >= s->entryCapacity) {
            s->stop = 1;
            return -1;
        }
        const OvInt32 slot = s->matrixCount++;
        OvMatrix* m = &s->matrices[slot];
        if (child->type->words[2] & ovpVOLUMETYPE_WORLD) {
            *m = matrix != nullptr ? *matrix : child->matrix;
        } else if (matrix == nullptr) {
            *m = child->matrix;
        } else {
            OvpMathMatrixMultiply(m, &child->matrix, matrix);
        }
        return slot;
    };
    if (volume->type->id == ovpVOLUME_AGGREGATE) {
        OvpAggChildren* list = OvpAggregateGetChildren(volume);
        const OvInt32 count = list != nullptr ? list->count : 0;
        for (OvInt32 i = 0; i < count; ++i) {
            const OvpVolume* child = &list->children[i];
            const OvInt32 slot = placeChild(child);
            if (slot < 0) {
                break;
            }
            if (givenBox == nullptr && count >= 2 && otherBox != nullptr) {
                OvpBBox box;
                OvpVolumeGetBoundingBoxInFrame(child, &s->matrices[slot], 0, &box);
                if (OvpBoxesApart(box, *otherBox, s->margin)) {
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
        // A grid: the children near the other end's box (widened by the margin, in the grid's
        // frame), each placed as an aggregate's child and walked down.
        OvpBBox near = otherBox != nullptr ? *otherBox : OvpBBox{};
        const float m = s->margin;
        near.sup = OvpAdd(near.sup, {m, m, m});
        near.inf = OvpSub(near.inf, {m, m, m});
        if (otherBox == nullptr) {
            near = {{FLT_MAX, FLT_MAX, FLT_MAX}, 0, {-FLT_MAX, -FLT_MAX, -FLT_MAX}, 0};
        } else {
            near = IntoFrame(near, matrix);
        }
        OvInt32 listed[ovpGRIDQUERY];
        const OvInt32 n = OvpGridQueryChildren(volume, &near, listed, ovpGRIDQUERY);
        for (OvInt32 k = 0; k < n; ++k) {
            const OvpVolume* child = OvpGridGetVolume(volume, listed[k]);
            const OvInt32 slot = placeChild(child);
            if (slot < 0) {
                break;
            }
            added += OvpGatherCompound(s, object, part, child, slot,
                                       identity * 65536u + static_cast<OvUInt32>(listed[k]) + 1, nullptr, otherBox,
                                       walkerArgument);
        }
        return added;
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
        OvV3d v0 = r.v0, v1 = r.v1, v2 = r.v2;
        // Model-space triangles are placed; the triangle type keeps world coordinates.
        if ((buffer->flags & ovpTRIANGLES_MODELSPACE) && matrix != nullptr) {
            v0 = OvpMathTransformPoint(v0, matrix);
            v1 = OvpMathTransformPoint(v1, matrix);
            v2 = OvpMathTransformPoint(v2, matrix);
        }
        OvpBBox box;
        OvpTriangleBoxOf(v0, v1, v2, volume->fat, &box); // the triangle volume's bounding box
        if (((s->flags & ovpGATHER_OTHERBOXEXACT) && otherBox != nullptr && OvpBoxesApart(box, *otherBox, m)) ||
            OvpTriangleIsDegenerate(r.v0, r.v1, r.v2)) {
            continue;
        }
        if (s->temporaryCount >= s->temporaryCapacity || s->entryCount >= s->entryCapacity) {
            s->stop = 1;
            break;
        }
        OvpVolume* t = &s->temporaries[s->temporaryCount++];
        OvpVolumeInit(t, &ovpTriangleVolumeType);
        if ((s->flags & ovpGATHER_RENORMALISE) == 0 && !(buffer->flags & ovpTRIANGLES_MODELSPACE)) {
            OvpTriangleInitWithNormal(t, v0, v1, v2, r.normal, r.klass); // the walker's own normal stands
        } else {
            OvpTriangleInit(t, v0, v1, v2, r.klass);
        }
        t->fat = volume->fat;
        t->restitution = volume->restitution;
        t->friction = volume->friction;
        t->group = volume->group;
        const OvInt32 e = s->entryCount++;
        s->entries[e] = {object, part, t, identity * 65536u + r.index, nullptr};
        s->boxes[e] = box;
        ++added;
    }
    return added;
}
