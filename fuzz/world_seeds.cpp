// Seeds of the clump and geometry harnesses: models of the asset builder and hand-made
// geometries that reach every array, morph targets, repeated materials, textures and meshes.

#include "fuzz/seed_gen.h"
#include "tools/mkasset/chunk_writer.h"
#include "tools/mkasset/collision_tree.h"
#include "tools/mkasset/shapes.h"

namespace seeds {

namespace {

mkasset::GeometryDesc Quad(std::uint32_t flags) {
    mkasset::GeometryDesc g;
    g.flags = flags;
    g.numVertices = 4;
    if ((flags & 0x08) != 0) {
        g.prelit.assign(16, 200);
    }
    const int sets = (flags & 0x80) != 0 ? 2 : (flags & 0x04) != 0 ? 1 : 0;
    for (int s = 0; s < sets; ++s) {
        g.texCoordSets.push_back({0, 0, 1, 0, 1, 1, 0, 1});
    }
    g.triangles = {{{0, 1, 2}, 0}, {{0, 2, 3}, 1}};
    mkasset::MorphTargetDesc t;
    t.sphere[3] = 1;
    t.verts = {0, 0, 0, 1, 0, 0, 1, 1, 0, 0, 1, 0};
    if ((flags & 0x10) != 0) {
        t.normals = {0, 0, 1, 0, 0, 1, 0, 0, 1, 0, 0, 1};
    }
    g.morphTargets = {t, t};
    mkasset::MaterialDesc textured;
    textured.textured = true;
    textured.texture.name = "wall";
    textured.texture.mask = "wallmask";
    mkasset::MaterialDesc plain;
    plain.color[3] = 128;
    g.materialList.entries = {-1, -1, 0};
    g.materialList.materials = {plain, textured};
    return g;
}

Bytes GeometryFile(const mkasset::GeometryDesc& g) {
    mkasset::ChunkWriter w;
    mkasset::WriteGeometry(w, g);
    return w.Data();
}

// Geometries carrying collision data: trees of several leaf sizes, the form without nodes and the
// old layout.
void CollisionSeeds(Writer& out) {
    mkasset::GeometryDesc g = Quad(0x02);
    g.morphTargets.resize(1);
    g.numVertices = 8;
    g.morphTargets[0].verts = {0, 0, 0, 1, 0, 0, 1, 1, 0, 0, 1, 0, 0, 0, 1, 1, 0, 1, 1, 1, 1, 0, 1, 1};
    g.morphTargets[0].sphere[0] = 0.5f;
    g.morphTargets[0].sphere[1] = 0.5f;
    g.morphTargets[0].sphere[2] = 0.5f;
    g.morphTargets[0].sphere[3] = 1;
    g.triangles = {{{0, 1, 2}, 0}, {{0, 2, 3}, 1}, {{4, 6, 5}, 0}, {{4, 7, 6}, 1}, {{0, 4, 1}, 0}, {{1, 4, 5}, 1}};
    std::vector<std::array<std::uint16_t, 3>> tris;
    for (const auto& t : g.triangles) {
        tris.push_back({t.v[0], t.v[1], t.v[2]});
    }
    for (int leaf : {1, 2, 8}) {
        g.extensions = {mkasset::CollisionExtension(mkasset::BuildCollisionTree(g.morphTargets[0].verts, tris, leaf))};
        out.Put("gfx_collision", "leaf" + std::to_string(leaf) + ".bin", GeometryFile(g));
    }
    // Old layout: one node splitting x at 0.5, a leaf of three on each side.
    mkasset::ChunkWriter old;
    old.U32(2);
    old.U32(6);
    old.U32(0);
    old.U32(1);
    old.F32(1);
    old.F32(0);
    old.U32((3u << 16) | 0);
    old.U32((3u << 16) | 3);
    for (std::uint32_t i = 0; i < 6; ++i) {
        old.U32(i);
    }
    g.extensions = {{mkasset::kCollisionId, old.Data()}};
    out.Put("gfx_collision", "old-layout.bin", GeometryFile(g));
}

} // namespace

void ModelSeeds(Writer& out) {
    mkasset::ShapeOptions grid;
    grid.kind = mkasset::ShapeKind::Grid;
    grid.size = 2;
    grid.materials = 2;
    out.Put("gfx_clump", "grid.dff", mkasset::ClumpFile(mkasset::ModelClump(grid)));
    mkasset::ShapeOptions box;
    box.kind = mkasset::ShapeKind::Box;
    box.size = 1;
    box.texture = "stone";
    out.Put("gfx_clump", "box-textured.dff", mkasset::ClumpFile(mkasset::ModelClump(box)));

    // Two frames, a shared geometry list, lights, a camera, extensions.
    mkasset::ClumpDesc rich;
    mkasset::FrameDesc child;
    child.parent = 0;
    child.pos[1] = 2;
    rich.frames = {mkasset::FrameDesc{}, child};
    mkasset::GeometryDesc strips = Quad(0x01 | 0x02 | 0x04 | 0x10);
    strips.extensions = {mkasset::BinMeshExtension(1, {{0, {0, 1, 2}}, {2, {0, 2, 3}}})};
    rich.geometries = {Quad(0x02 | 0x08 | 0x80), strips};
    mkasset::AtomicDesc a0, a1;
    a1.frame = 1;
    a1.geometry = 1;
    a1.extensions = {mkasset::PipelineOwnerExtension(0x1234, 5)};
    rich.atomics = {a0, a1};
    mkasset::LightDesc spot;
    spot.type = 0x81;
    spot.radius = 10;
    spot.minusCosAngle = -0.7f;
    rich.lights = {{1, spot}, {0, mkasset::LightDesc{}}};
    rich.cameras = {{1, mkasset::CameraDesc{}}};
    rich.extensions = {{0x7777, {1, 2, 3, 4}}};
    out.Put("gfx_clump", "frames-lights-camera.dff", mkasset::ClumpFile(rich));

    // No geometry list: each atomic has its own geometry.
    mkasset::ClumpDesc own;
    own.frames = {mkasset::FrameDesc{}};
    mkasset::AtomicDesc a;
    a.ownGeometry = Quad(0x02 | 0x04);
    own.atomics = {a, a};
    out.Put("gfx_clump", "own-geometries.dff", mkasset::ClumpFile(own));

    out.Put("gfx_geometry", "lists.bin", GeometryFile(Quad(0x02 | 0x04 | 0x08 | 0x10)));
    out.Put("gfx_geometry", "strips-meshes.bin", GeometryFile(strips));
    mkasset::GeometryDesc sets = Quad(0x02 | (3u << 16));
    sets.texCoordSets.assign(3, {0, 0, 1, 0, 1, 1, 0, 1});
    out.Put("gfx_geometry", "three-sets.bin", GeometryFile(sets));
    mkasset::GeometryDesc native = Quad(0x01000000);
    native.morphTargets[0].verts.clear();
    native.morphTargets[1].verts.clear();
    native.extensions = {mkasset::BinMeshExtension(0, {{0, {}, 3}, {1, {}, 3}}, true)};
    out.Put("gfx_geometry", "native.bin", GeometryFile(native));
    CollisionSeeds(out);
}

} // namespace seeds
