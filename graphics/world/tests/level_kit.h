#pragma once
// Test pieces for worlds: reading world files, small hand-made worlds, counting the engine's live
// memory blocks, and objects with a bounding sphere on a frame of their own.

#include <cstdint>

#include "graphics/world/tests/world_test_kit.h"
#include "graphics/world/world.h"
#include "graphics/world/world_membership.h"
#include "graphics/world/world_plugin.h"
#include "tools/mkasset/world_writer.h"

namespace worldtest {

// Reads the world of a file's first chunk; null when it does not read.
OvWorld* ReadWorld(const Bytes& bytes);

// Counts the blocks the engine's memory functions hold from now on (installs counting wrappers
// around the engine's functions; they stay until the engine goes down).
void CountMemoryBlocks();
// Blocks allocated and not freed since counting began.
std::int64_t LiveMemoryBlocks();

// An atomic sector of a quad spanning [x0, x1] along x and [z0, z1] along z at height 0, one
// material (index 0).
mkasset::AtomicSectorDesc QuadSector(float x0, float x1, float z0, float z1);
// A world split along x at 0 into two quad sectors ([-2, 0] and [0, 2] along x, [-2, 2] along
// z), with one material. leftValue and rightValue are written; the overlap flag decides whether
// the reader takes them.
mkasset::WorldDesc TwoSectorWorld(bool overlapFlag, float leftValue = 0, float rightValue = 0);

// A clump of one atomic whose geometry is an empty one of the given radius, on the clump's frame
// placed at the position.
OvClump* SphereClump(float radius, float x, float y, float z);
OvAtomic* FirstAtomic(OvClump* clump);
// Moves a frame to a position (identity rotation).
void PlaceFrame(OvFrame* frame, float x, float y, float z);

// The atomic sectors of a world in depth-first order.
std::vector<OvWorldSector*> SectorsOf(OvWorld* world);

} // namespace worldtest
