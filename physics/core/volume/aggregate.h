#pragma once
// Aggregate volumes ("OvpAggregate"): one volume made of child volumes, each with its own local
// matrix, fat radius and materials. The children live in a shared, reference-counted child
// list that caches the bounds and the combined mass properties.

#include "physics/core/volume/volume.h"

// Bits of OvpAggChildren::flags.
enum OvpAggChildrenFlag : OvUInt32 {
    ovpAGGCHILDREN_BOXVALID = 0x4,    // box holds the children's bounding box
    ovpAGGCHILDREN_SPHEREVALID = 0x8, // sphere holds an enclosing sphere
};

// A shared list of child volumes.
struct OvpAggChildren {
    OvpVolume* children; // child volumes (one aligned block)
    OvInt32 count;       // number of children
    OvpBBox box;         // cached bounding box in the aggregate's frame
    OvSphere sphere;     // cached bounding sphere in the aggregate's frame
    float volume;        // cached total volume; negative or NaN = not computed yet
    OvV3d centre;        // cached centre of mass
    OvpInertia inertia;  // cached inertia per unit mass and principal axes
    OvInt32 refCount;    // references held by volumes and the creator
    OvUInt32 flags;      // OvpAggChildrenFlag bits
};

extern const OvpVolumeType ovpAggregateVolumeType;

// A list of count children, each initialised as a null volume; one reference (the creator's).
// Null for a count below 1 or when memory runs out.
OvpAggChildren* OvpAggChildrenCreate(OvInt32 count);
// Drops one reference; at zero every child is deinitialised and the list freed.
void OvpAggChildrenRelease(OvpAggChildren* list);
// The i-th child (null out of range).
OvpVolume* OvpAggChildrenGetChild(OvpAggChildren* list, OvInt32 i);
// Fills the cached box (union of the children's boxes under their local matrices) and the
// enclosing sphere and marks both valid; forgets the cached mass properties. 0 when a child
// has no bounds.
OvBool OvpAggChildrenComputeBounds(OvpAggChildren* list);

// The cached sphere and box (transformed by the matrix when given) of the list; null when not
// computed. The mass properties, computed on first use and cached (unit inertia about the
// origin without a list). The smallest positive child thickness plus twice its fat, from 1e10.
OvSphere* OvpAggChildrenGetSphere(const OvpAggChildren* list, OvSphere* out);
OvpBBox* OvpAggChildrenGetBox(const OvpAggChildren* list, const OvMatrix* matrix, OvpBBox* out);
float OvpAggChildrenGetMassProperties(OvpAggChildren* list, OvpInertia* inertia, OvV3d* centre);
float OvpAggChildrenGetThickness(const OvpAggChildren* list);

// Makes the volume an aggregate of the list (one reference added). Returns the volume.
OvpVolume* OvpAggregateInit(OvpVolume* volume, OvpAggChildren* list);
OvpAggChildren* OvpAggregateGetChildren(const OvpVolume* volume);
// The mass-properties slot: computed from the children on first use and cached.
float OvpAggregateGetMassProperties(const OvpVolume* volume, OvpInertia* inertia, OvV3d* centre);
// Volume-weighted combination with the parallel-axis rule, then principal axes. Returns the
// total volume; with no volume at all the inertia is (1, 1, 1) about the origin.
float OvpAggregateComputeMassProperties(OvpVolume* children, OvInt32 count, OvpInertia* inertia, OvV3d* centre);
