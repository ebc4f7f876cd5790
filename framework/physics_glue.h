#pragma once
// Small functions between the physics engine and the graphics world: placing bodies, giving them
// velocities, static box definitions, clearing a physics context, and colouring geometry.

#include "graphics/core/camera.h"
#include "graphics/core/types.h"
#include "physics/core/context/context.h"
#include "physics/core/context/objtypes.h"

struct OvGeometry;

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
void PhysicsClearContext(OvpContext* context);
// Gives every material of the geometry the colour, with ambient 1.0, specular 1.0, diffuse 0.5.
void PhysicsSetGeometryColour(OvGeometry* geometry, const OvRGBA& colour);
