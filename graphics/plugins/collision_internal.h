#pragma once
// The collision plugin's pieces shared by its two files: collision_data.cpp (the plugin's
// registration, the data's lifetime and its stream form: reads and writes the extension's bytes)
// and collision.cpp (the queries: walks the sector and collision trees, reads the triangles and
// reports hits).

#include "graphics/plugins/collision.h"

#include "graphics/world/geometry.h"
#include "graphics/world/world.h"

namespace collision_detail {

constexpr OvUInt32 kHintData = 0x3002C;

inline int NodeAxis(const OvCollisionTreeNode& node) { return (node.leftRef.flags >> 2) & 3; }

// The triangles and vertices of a geometry's first morph target or of a world sector.
struct TriangleSource {
    const OvTriangle* triangles;
    OvV3d* verts;
    OvInt32 numTriangles;
    OvInt32 numVertices;
};

inline bool SourceOf(const OvGeometry* geometry, TriangleSource* src) {
    if (geometry->triangles == nullptr || geometry->numMorphTargets < 1 || geometry->morphTarget == nullptr ||
        geometry->morphTarget[0].verts == nullptr) {
        return false;
    }
    *src = {geometry->triangles, geometry->morphTarget[0].verts, geometry->numTriangles, geometry->numVertices};
    return true;
}

inline bool SourceOf(const OvWorldSector* sector, TriangleSource* src) {
    if (sector->triangles == nullptr || sector->vertices == nullptr) {
        return false;
    }
    *src = {sector->triangles, sector->vertices, sector->numTriangles, sector->numVertices};
    return true;
}

// Takes the data's child boxes from the owner's triangles when they are still to be taken (the
// first line walk over the data does).
void MakeChildBoxes(OvCollisionData* data, const TriangleSource& src);

} // namespace collision_detail
