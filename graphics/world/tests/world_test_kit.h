#pragma once
// Shared pieces of the world plugin's tests: the engine with the plugin attached, reading chunks
// the asset builder wrote, counting the objects alive, and describing objects that were read in
// the builder's terms so that writing the description again must give the bytes read.

#include <gtest/gtest.h>

#include <cstdint>
#include <utility>
#include <vector>

#include "graphics/core/chunk.h"
#include "graphics/core/error.h"
#include "graphics/core/stream.h"
#include "graphics/core/testkit/engine_fixture.h"
#include "graphics/world/clump.h"
#include "graphics/world/d3d9_pipeline.h"
#include "graphics/world/mesh.h"
#include "tools/mkasset/chunk_writer.h"

namespace worldtest {

using mkasset::Bytes;

// Attaches the world plugin, then runs extra (null: nothing) where plugins register.
OvBool EngineUp(void (*extra)() = nullptr);

// Used entries of the free lists of materials, atomics, clumps, lights, frames and cameras.
int LiveObjects();
// The held error's code (cleared).
OvInt32 TakeError();

// Offset of the first byte where two files differ (the shorter's length when one is a prefix of
// the other), or -1 when they are equal.
long FirstDifference(const Bytes& a, const Bytes& b);

// The bytes of every vertex of a stream of instanced data, read back through a lock.
std::vector<std::uint8_t> StreamBytes(const OvD3D9InstancedData* data, int stream);

// A read stream over the bytes (which must outlive it).
OvStream* OpenBytes(const Bytes& bytes);
// Bytes a stream of callbacks hands out piece by piece, and how many it handed out.
struct PieceSource {
    const Bytes* bytes;
    std::size_t at;
};
// A read stream of callbacks over the source (which must outlive it): it reads and skips, and
// never has bytes at hand in memory, so that readers take their general paths.
OvStream* OpenPieceByPiece(PieceSource* source);
// Reads the object of the file's first chunk (whose header is consumed first); the reader gets
// the stream at the chunk's body. Null when the header does not read.
template <typename T> T* ReadFirst(const Bytes& bytes, T* (*reader)(OvStream*)) {
    OvStream* stream = OpenBytes(bytes);
    T* object = nullptr;
    OvUInt32 type = 0;
    if (OvStreamReadChunkHeader(stream, &type, nullptr, nullptr, nullptr)) {
        object = reader(stream);
    }
    OvStreamClose(stream, nullptr);
    return object;
}
OvClump* ReadClump(const Bytes& bytes);
OvGeometry* ReadGeometry(const Bytes& bytes);

// The triangles of a grid of n x n quads whose vertices lie row by row (n + 1 a row): two a quad,
// each with the material.
void GridTriangles(OvGeometry* geometry, int n, OvMaterial* material);

// Descriptions of objects read. Geometry extensions are the engine's own extension chunk body
// (its registered writers); the others are taken as empty.
mkasset::GeometryDesc DescribeGeometry(const OvGeometry* geometry);
mkasset::MaterialDesc DescribeMaterial(const OvMaterial* material);
mkasset::LightDesc DescribeLight(const OvLight* light);
// Geometries in the order of their first use by the atomics (in file order); frames in
// preorder, children in the order they were added.
mkasset::ClumpDesc DescribeClump(OvClump* clump);

// List meshes built the plain way from triangles whose materials are the list's entries
// [base + material index]: the triangles stably sorted by their material's keys (transparency,
// raster, pipeline and texture ranks by first appearance, smallest list position), then each
// material's run reordered by walking passes over it (a pass takes, in order, every triangle left
// that shares no vertex with one it took).
using ReferenceMeshes = std::vector<std::pair<const OvMaterial*, std::vector<OvUInt16>>>;
ReferenceMeshes ReferenceLists(const OvTriangle* triangles, OvInt32 numTriangles, const OvMaterialList& list,
                               OvInt32 base);
// Whether a header holds exactly those meshes (materials and indices, in order) as lists.
::testing::AssertionResult HoldsMeshes(const OvMeshHeader* header, const ReferenceMeshes& meshes);

// Every test runs with the engine up and ends with no object left alive.
class WorldTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(EngineUp()); }
    void TearDown() override {
        EXPECT_EQ(LiveObjects(), 0);
        EXPECT_TRUE(OvTestEngineDown());
    }
};

} // namespace worldtest
