#pragma once
// Chunk writers of worlds (the level files): the world chunk with its struct, material list and
// sector tree, plane sectors and atomic sectors with their arrays, laid out field by field as
// the engine's world reader takes them apart.

#include <cstdint>
#include <optional>
#include <vector>

#include "tools/mkasset/chunk_writer.h"

namespace mkasset {

inline constexpr std::uint32_t kAtomicSector = 9;
inline constexpr std::uint32_t kPlaneSector = 10;
inline constexpr std::uint32_t kWorld = 11;
// World format flag: plane sectors carry their own left and right values.
inline constexpr std::uint32_t kWorldSectorsOverlap = 0x40000000;

struct AtomicSectorDesc {
    std::int32_t materialBase = 0;
    float min[3] = {0, 0, 0}; // the file's box of the sector
    float max[3] = {0, 0, 0};
    std::vector<float> verts;                     // 3 a vertex
    std::vector<std::uint8_t> normals;            // 4 a vertex (signed x, y, z, pad), written with flag 0x10
    std::vector<std::uint8_t> prelit;             // 4 a vertex, written with flag 0x08
    std::vector<std::vector<float>> texCoordSets; // 2 a vertex, as many as the world's flags name
    std::vector<TriangleDesc> triangles;          // material relative to materialBase
    std::vector<Extension> extensions;
    // Struct version: from 0x36002 on triangles are {v0, v1, v2, material}, before
    // {material, v0, v1, v2}.
    std::uint32_t version = kVersion;
    // Counts written in the struct in place of the arrays' own.
    std::optional<std::int32_t> numTriangles;
    std::optional<std::int32_t> numVertices;
};

// A node of the sector tree: an atomic sector (type -1) or a plane sector splitting along x (0),
// y (4) or z (8) whose children are indices into the world's node list.
struct SectorNodeDesc {
    std::int32_t type = -1;
    float value = 0;
    float leftValue = 0;
    float rightValue = 0;
    std::size_t left = 0;
    std::size_t right = 0;
    AtomicSectorDesc sector; // used when atomic
};

struct WorldDesc {
    std::uint32_t flags = 0; // geometry format flags, plus kWorldSectorsOverlap
    float inverseOrigin[3] = {0, 0, 0};
    float max[3] = {0, 0, 0};
    float min[3] = {0, 0, 0};
    std::int32_t collisionSectorSize = 0;
    MaterialListDesc materialList;
    std::vector<SectorNodeDesc> nodes; // the root first
    std::vector<Extension> extensions;
    // Totals written in the struct in place of the tree's own.
    std::optional<std::int32_t> numTriangles;
    std::optional<std::int32_t> numVertices;
    std::optional<std::int32_t> numPlaneSectors;
    std::optional<std::int32_t> numAtomicSectors;
};

// Totals of the tree under node 0: triangles, vertices, plane and atomic sectors.
struct WorldTotals {
    std::int64_t triangles = 0;
    std::int64_t vertices = 0;
    std::int64_t planeSectors = 0;
    std::int64_t atomicSectors = 0;
};
WorldTotals CountWorld(const WorldDesc& world);

void WriteWorld(ChunkWriter& w, const WorldDesc& world);
// A whole file holding one world.
Bytes WorldFile(const WorldDesc& world);

} // namespace mkasset
