#include "tools/mkasset/world_writer.h"

#include <stdexcept>

namespace mkasset {

namespace {

int TexCoordSets(std::uint32_t flags) {
    const auto fromBits = static_cast<int>((flags >> 16) & 0xFF);
    return fromBits != 0 ? fromBits : (flags & 0x80) != 0 ? 2 : (flags & 0x04) != 0 ? 1 : 0;
}

void WriteAtomicSector(ChunkWriter& w, const AtomicSectorDesc& s, std::uint32_t flags) {
    const auto numVertices = static_cast<std::int32_t>(s.verts.size() / 3);
    w.Begin(kAtomicSector);
    w.Begin(kStruct, Stamp(s.version));
    w.I32(s.materialBase);
    w.I32(s.numTriangles.value_or(static_cast<std::int32_t>(s.triangles.size())));
    w.I32(s.numVertices.value_or(numVertices));
    for (const float* corner : {s.min, s.max}) {
        for (int i = 0; i < 3; ++i) {
            w.F32(corner[i]);
        }
    }
    w.U32(0);
    w.U32(0);
    if ((flags & 0x01000000) == 0) {
        for (float v : s.verts) {
            w.F32(v);
        }
        if ((flags & 0x10) != 0) {
            for (std::uint8_t b : s.normals) {
                w.U8(b);
            }
        }
        if ((flags & 0x08) != 0) {
            for (std::uint8_t b : s.prelit) {
                w.U8(b);
            }
        }
        const int sets = TexCoordSets(flags);
        for (int i = 0; i < sets && i < static_cast<int>(s.texCoordSets.size()); ++i) {
            for (float v : s.texCoordSets[static_cast<std::size_t>(i)]) {
                w.F32(v);
            }
        }
        const bool newOrder = s.version >= 0x36002;
        for (const TriangleDesc& t : s.triangles) {
            if (!newOrder) {
                w.U16(t.material);
            }
            w.U16(t.v[0]);
            w.U16(t.v[1]);
            w.U16(t.v[2]);
            if (newOrder) {
                w.U16(t.material);
            }
        }
    }
    w.End();
    WriteExtension(w, s.extensions);
    w.End();
}

void WriteNode(ChunkWriter& w, const WorldDesc& world, std::size_t index, int depth) {
    if (index >= world.nodes.size() || depth > 4096) {
        throw std::logic_error("world writer: bad sector tree");
    }
    const SectorNodeDesc& n = world.nodes[index];
    if (n.type < 0) {
        WriteAtomicSector(w, n.sector, world.flags);
        return;
    }
    w.Begin(kPlaneSector);
    w.Begin(kStruct);
    w.I32(n.type);
    w.F32(n.value);
    w.I32(world.nodes.at(n.left).type < 0 ? 1 : 0);
    w.I32(world.nodes.at(n.right).type < 0 ? 1 : 0);
    w.F32(n.leftValue);
    w.F32(n.rightValue);
    w.End();
    WriteNode(w, world, n.left, depth + 1);
    WriteNode(w, world, n.right, depth + 1);
    w.End();
}

void Count(const WorldDesc& world, std::size_t index, WorldTotals& totals, int depth) {
    if (index >= world.nodes.size() || depth > 4096) {
        throw std::logic_error("world writer: bad sector tree");
    }
    const SectorNodeDesc& n = world.nodes[index];
    if (n.type < 0) {
        totals.atomicSectors++;
        totals.triangles += static_cast<std::int64_t>(n.sector.triangles.size());
        totals.vertices += static_cast<std::int64_t>(n.sector.verts.size() / 3);
        return;
    }
    totals.planeSectors++;
    Count(world, n.left, totals, depth + 1);
    Count(world, n.right, totals, depth + 1);
}

} // namespace

WorldTotals CountWorld(const WorldDesc& world) {
    WorldTotals totals;
    Count(world, 0, totals, 0);
    return totals;
}

void WriteWorld(ChunkWriter& w, const WorldDesc& world) {
    const WorldTotals totals = CountWorld(world);
    auto pick = [](std::optional<std::int32_t> given, std::int64_t own) {
        return given.value_or(static_cast<std::int32_t>(own));
    };
    w.Begin(kWorld);
    w.Begin(kStruct);
    w.I32(world.nodes.at(0).type < 0 ? 1 : 0);
    for (float v : world.inverseOrigin) {
        w.F32(v);
    }
    w.I32(pick(world.numTriangles, totals.triangles));
    w.I32(pick(world.numVertices, totals.vertices));
    w.I32(pick(world.numPlaneSectors, totals.planeSectors));
    w.I32(pick(world.numAtomicSectors, totals.atomicSectors));
    w.I32(world.collisionSectorSize);
    w.U32(world.flags);
    for (const float* corner : {world.max, world.min}) {
        for (int i = 0; i < 3; ++i) {
            w.F32(corner[i]);
        }
    }
    w.End();
    WriteMaterialList(w, world.materialList);
    WriteNode(w, world, 0, 0);
    WriteExtension(w, world.extensions);
    w.End();
}

Bytes WorldFile(const WorldDesc& world) {
    ChunkWriter w;
    WriteWorld(w, world);
    return w.Data();
}

} // namespace mkasset
