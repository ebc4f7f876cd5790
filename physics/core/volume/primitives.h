#pragma once
// The simple volume types: plane (the half-space z <= 0), sphere (a point core), capsule (a
// segment along z), box and cylinder (axis z, octagonal cap features).
//
// Type words: box half extents (x, y, z); capsule half length; cylinder half length, radius.
// The fat radius inflates every core; a sphere's radius is its fat radius.

#include "physics/core/volume/volume.h"

extern const OvpVolumeType ovpPlaneVolumeType;
extern const OvpVolumeType ovpSphereVolumeType;
extern const OvpVolumeType ovpCapsuleVolumeType;
extern const OvpVolumeType ovpBoxVolumeType;
extern const OvpVolumeType ovpCylinderVolumeType;

// A box volume of the half extents (the volume initialised first). Returns the volume.
OvpVolume* OvpBoxInit(OvpVolume* volume, const float halfExtents[3]);
// A sphere volume of the radius (stored as the fat radius). Returns the volume.
OvpVolume* OvpSphereInit(OvpVolume* volume, float radius);
