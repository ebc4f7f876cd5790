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

void WorldWalk(const OvpVolume* volume, const OvMatrix*, const OvpBBox* box, void*, OvpTriangleBuffer* buffer) {
    const auto* world = static_cast<const OvWorld*>(volume->data.ref[0]);
    buffer->flags = ovpTRIANGLES_WORLDSPACE;
    const OvWorldSector* stack[ovWORLDMAXDEPTH + 1];
    int top = 0;
    if (world->rootSector != nullptr) {
        stack[top++] = world->rootSector;
    }
    while (top > 0) {
        const OvWorldSector* sector = stack[--top];
        if (OvWorldSectorIsAtomic(sector)) {
            OvpTrilistSectorTriangles(sector, box, buffer);
            continue;
        }
        const OvPlaneSector* plane = OvWorldSectorAsPlane(sector);
        // The right child first on the stack so that the left is walked first.
        if (plane->rightValue <= OvV3dAxis(&box->sup, plane->type) && top < ovWORLDMAXDEPTH) {
            stack[top++] = plane->rightSubTree;
        }
        if (OvV3dAxis(&box->inf, plane->type) <= plane->leftValue && top < ovWORLDMAXDEPTH) {
            stack[top++] = plane->leftSubTree;
        }
    }
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

OvSphere* AtomicSphere(const void* source, OvSphere* out) {
    *out = *OvAtomicGetWorldBoundingSphere(static_cast<OvAtomic*>(const_cast<void*>(source)));
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
    for (OvUInt16 i = 0; i < sector->numTriangles && buffer->count < buffer->capacity; ++i) {
        const OvTriangle& t = sector->triangles[i];
        if (t.vertIndex[0] >= sector->numVertices || t.vertIndex[1] >= sector->numVertices ||
            t.vertIndex[2] >= sector->numVertices) {
            continue;
        }
        const OvV3d& a = sector->vertices[t.vertIndex[0]];
        const OvV3d& v1 = sector->vertices[t.vertIndex[1]];
        const OvV3d& v2 = sector->vertices[t.vertIndex[2]];
        if (TriangleMeetsBox(a, v1, v2, *box)) {
            OvpTriangleBufferAppend(buffer, a, v1, v2, sector, i);
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
