#pragma once
// Small functions between the physics engine and the graphics world: placing bodies, giving them
// velocities, static box definitions, clearing a physics context, and colouring geometry.

#include "graphics/core/camera.h"
#include "graphics/core/types.h"
#include "physics/core/context/context.h"
#include "physics/core/context/objtypes.h"

struct OvClump;
struct OvGeometry;
struct OvWorld;
struct OvpConvexHull;
struct OvpVolume;

// Degrees in a radian, as the framework's transforms use it.
inline constexpr float kDegreesPerRadian = 57.295776f;

// Moves the body's bound matrix to the position, resynchronises the body from it, and when the
// body is in a manager renews its bounds and frame and wakes it. False when the body has no bound
// matrix.
bool PhysicsSetBodyPosition(OvpObj* body, float x, float y, float z);
// As above with the matrix replaced by a rotation of the angle (radians) about the axis, the
// position kept. False for a zero axis (nothing changes) or without a bound matrix.
bool PhysicsSetBodyTransform(OvpObj* body, float axisX, float axisY, float axisZ, float angle);
// Activates the body when it has no dynamics, then sets its linear velocity and wakes it. False
// when it is in no manager or cannot be activated.
bool PhysicsSetBodyVelocity(OvpObj* body, float x, float y, float z);
// A body definition with a box volume of the half extents and fatness, of density 1.0 with full
// inertia. Null when memory runs out.
OvpBodyDef* PhysicsCreateStaticBox(float halfX, float halfY, float halfZ, float fatness);
// Removes and destroys every joint and every object of the context, then removes and releases
// every fixed volume.
// Their owners (rigid-body instances, characters' spheres, rocks, level objects) must have let them go first.
void PhysicsClearContext(OvpContext* context);
// Gives every material of the geometry the colour, with ambient 1.0, specular 1.0, diffuse 0.5.
void PhysicsSetGeometryColour(OvGeometry* geometry, const OvRGBA& colour);

// Directions of a rounded volume's drawn hull: at most this many, built once.
inline constexpr int kHullDirectionLimit = 60;
// The unit directions along which a rounded volume's surface is sampled: latitudes s, 3s, 5s, ...
// below pi (s = 1.78 / sqrt(60)), on each longitudes 2s / |sin t| apart starting alternately at 0
// and s. Returns their number.
int PhysicsHullDirections(const OvV3d** directions);
// The convex hull of the volume's surface points along the hull directions (its support point
// plus its fatness, at least 0.005 for a triangle); null when the hull cannot be made.
OvpConvexHull* PhysicsHullOfVolume(const OvpVolume* volume);
// A geometry of the hull's faces (fanned from each face's first vertex; vertex normals pointing
// away from the hull's centre) with one material of the colour. Null when it cannot be made.
OvGeometry* PhysicsGeometryFromHull(const OvpConvexHull* hull, const OvRGBA& colour);
// A clump showing the volume (an aggregate's children each on a frame of its own under the
// clump's, a convex volume by its own hull, any other by the hull of its rounded shape), added
// to the world when one is given. Null when nothing could be built.
OvClump* PhysicsClumpFromVolume(const OvpVolume* volume, OvWorld* world, const OvRGBA& colour);
// The clump of the body's volume in white, the body bound to its first atomic.
OvClump* PhysicsClumpFromBody(OvpObj* body, OvWorld* world);

// "Dynamics not allocated": the physics manager had no room for a moving body. The box says which
// configuration counts bound it, once for a manager (every further body would only repeat it).
void PhysicsReportNotAllocated(const OvpMgr* manager);
