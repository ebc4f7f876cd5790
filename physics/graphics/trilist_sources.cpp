#include "physics/graphics/trilist_sources.h"

#include <algorithm>
#include <cmath>

#include "graphics/core/matrix.h"
#include "graphics/plugins/collision.h"
#include "graphics/world/clump.h"
#include "graphics/world/geometry.h"
#include "graphics/world/world.h"
#include "physics/core/utils/math.h"

namespace {

OvpBBox ToPhysics(const OvBBox& b) {
    OvpBBox out = {};
    out.sup = b.sup;
    out.inf = b.inf;
    return out;
}

bool TriangleMeetsBox(const OvV3d& a, const OvV3d& b, const OvV3d& c, const OvpBBox& box) {
    return std::max({a.x, b.x, c.x}) >= box.inf.x && std::min({a.x, b.x, c.x}) <= box.sup.x &&
           std::max({a.y, b.y, c.y}) >= box.inf.y && std::min({a.y, b.y, c.y}) <= box.sup.y &&
           std::max({a.z, b.z, c.z}) >= box.inf.z && std::min({a.z, b.z, c.z}) <= box.sup.z;
}

// Kind 0: a whole world, walked down its sector tree to the atomic sectors the box reaches.
OvpBBox* WorldBox(const void* source, OvpBBox* out) {
    *out = ToPhysics(static_cast<const OvWorld*>(source)->boundingBox);
    return out;
}

OvCollisionTriangle* AppendWorld(OvIntersection*, OvWorldSector* sector, OvCollisionTriangle* triangle, float,
                                 void* data) {
    auto* buffer = static_cast<OvpTriangleBuffer*>(data);
    if (!OvpTriangleBufferAppend(buffer, *triangle->vertices[0], *triangle->vertices[1], *triangle->vertices[2], sector,
                                 static_cast<OvUInt32>(triangle->index))) {
        return nullptr; // full: nothing more fits
    }
    return triangle;
}

void WorldWalk(const OvpVolume* volume, const OvMatrix*, const OvpBBox* box, void*, OvpTriangleBuffer* buffer) {
    // The world's triangles are in world space already; the buffer's flags stay as the default
    // walker cleared them.
    auto* world = static_cast<OvWorld*>(const_cast<void*>(volume->data.ref[0]));
    OvIntersection query = {};
    query.type = ovINTERSECTBOX;
    query.t.box.sup = box->sup;
    query.t.box.inf = box->inf;
    OvCollisionWorldForAllIntersections(world, &query, AppendWorld, buffer);
}

// Kind 1: one atomic sector.
OvpBBox* SectorBox(const void* source, OvpBBox* out) {
    *out = ToPhysics(static_cast<const OvWorldSector*>(source)->boundingBox);
    return out;
}

void SectorWalk(const OvpVolume* volume, const OvMatrix*, const OvpBBox* box, void*, OvpTriangleBuffer* buffer) {
    buffer->flags = ovpTRIANGLES_WORLDSPACE;
    OvpTrilistSectorTriangles(static_cast<const OvWorldSector*>(volume->data.ref[0]), box, buffer);
}

// Kinds 2 and 3 hand the collision plugin's triangles over in the source's model space.
struct Gather {
    OvpTriangleBuffer* buffer;
    const void* source;
};

OvCollisionTriangle* Append(OvIntersection*, OvCollisionTriangle* triangle, float, void* data) {
    auto* g = static_cast<Gather*>(data);
    if (!OvpTriangleBufferAppend(g->buffer, *triangle->vertices[0], *triangle->vertices[1], *triangle->vertices[2],
                                 g->source, static_cast<OvUInt32>(triangle->index))) {
        return nullptr; // full: nothing more fits
    }
    return triangle;
}

// The atomic's own bounding sphere, in its model space where the walk hands its triangles over
// (the list's placement then takes both to the same place), renewed by its interpolator first
// when the atomic marks it stale.
OvSphere* AtomicSphere(const void* source, OvSphere* out) {
    auto* atomic = static_cast<OvAtomic*>(const_cast<void*>(source));
    if ((atomic->interpolator.flags & ovINTERPOLATORDIRTYSPHERE) != 0) {
        OvAtomicInterpolatorUpdate(atomic);
    }
    *out = atomic->boundingSphere;
    return out;
}

void AtomicWalk(const OvpVolume* volume, const OvMatrix*, const OvpBBox* box, void*, OvpTriangleBuffer* buffer) {
    auto* atomic = static_cast<OvAtomic*>(const_cast<void*>(volume->data.ref[0]));
    buffer->flags = ovpTRIANGLES_MODELSPACE;
    OvIntersection query = {};
    query.type = ovINTERSECTSPHERE;
    OvpMathSphereFromBox(&query.t.sphere, box);
    Gather g = {buffer, atomic};
    OvCollisionAtomicForAllIntersections(atomic, &query, Append, &g);
}

OvSphere* GeometrySphere(const void* source, OvSphere* out) {
    const auto* geometry = static_cast<const OvGeometry*>(source);
    if (geometry->numMorphTargets < 1) {
        return nullptr;
    }
    *out = geometry->morphTarget[0].boundingSphere;
    return out;
}

void GeometryWalk(const OvpVolume* volume, const OvMatrix* placement, const OvpBBox* box, void*,
                  OvpTriangleBuffer* buffer) {
    auto* geometry = static_cast<OvGeometry*>(const_cast<void*>(volume->data.ref[0]));
    buffer->flags = ovpTRIANGLES_MODELSPACE;
    OvpBBox local = *box;
    if (placement != nullptr) {
        OvMatrix inverse;
        OvMatrixInvert(&inverse, placement);
        OvpMathBoxTransform(&local, box, &inverse);
    }
    OvIntersection query = {};
    query.type = ovINTERSECTBOX;
    query.t.box.sup = local.sup;
    query.t.box.inf = local.inf;
    Gather g = {buffer, geometry};
    OvCollisionGeometryForAllIntersections(geometry, &query, Append, &g);
}

} // namespace

void OvpTrilistSectorTriangles(const OvWorldSector* sector, const OvpBBox* box, OvpTriangleBuffer* buffer) {
    const OvBBox& b = sector->boundingBox;
    if (b.sup.x < box->inf.x || b.inf.x > box->sup.x || b.sup.y < box->inf.y || b.inf.y > box->sup.y ||
        b.sup.z < box->inf.z || b.inf.z > box->sup.z) {
        return;
    }
    auto append = [&](OvUInt16 i, bool test) {
        const OvTriangle& t = sector->triangles[i];
        if (t.vertIndex[0] >= sector->numVertices || t.vertIndex[1] >= sector->numVertices ||
            t.vertIndex[2] >= sector->numVertices) {
            return;
        }
        const OvV3d& a = sector->vertices[t.vertIndex[0]];
        const OvV3d& v1 = sector->vertices[t.vertIndex[1]];
        const OvV3d& v2 = sector->vertices[t.vertIndex[2]];
        if (!test || TriangleMeetsBox(a, v1, v2, *box)) {
            OvpTriangleBufferAppend(buffer, a, v1, v2, sector, i);
        }
    };
    const OvCollisionData* data = OvCollisionWorldSectorGetData(sector);
    if (data == nullptr) {
        for (OvUInt16 i = 0; i < sector->numTriangles && buffer->count < buffer->capacity; ++i) {
            append(i, true);
        }
        return;
    }
    // The tree's runs of triangles near the box; a run wholly inside it needs no test of its own.
    const OvBBox query = {box->sup, box->inf};
    OvCollisionBoxIterator it;
    OvCollisionBoxIteratorBegin(&it, data, &query, &query);
    OvUInt16 first = 0, count = 0;
    OvUInt32 mask = 0;
    while (buffer->count < buffer->capacity && OvCollisionBoxIteratorNext(&it, &first, &count, &mask)) {
        for (OvUInt32 p = first; p < static_cast<OvUInt32>(first) + count && buffer->count < buffer->capacity; ++p) {
            const OvUInt32 index = data->map != nullptr ? data->map[p] : p;
            if (index < sector->numTriangles) {
                append(static_cast<OvUInt16>(index), mask != 0);
            }
        }
    }
}

void OvpTrilistInstallGraphicsSources() {
    const OvpTrilistSource world = {WorldBox, nullptr, WorldWalk};
    const OvpTrilistSource sector = {SectorBox, nullptr, SectorWalk};
    const OvpTrilistSource atomic = {nullptr, AtomicSphere, AtomicWalk};
    const OvpTrilistSource geometry = {nullptr, GeometrySphere, GeometryWalk};
    OvpTrilistSetSource(ovpTRILIST_WORLD, &world);
    OvpTrilistSetSource(ovpTRILIST_SECTOR, &sector);
    OvpTrilistSetSource(ovpTRILIST_ATOMIC, &atomic);
    OvpTrilistSetSource(ovpTRILIST_GEOMETRY, &geometry);
}
