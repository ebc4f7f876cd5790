// Seeds of the world harness: small levels of the asset builder, a world whose root is an atomic
// sector, an old-order sector with overlapping plane values and a mesh sub-chunk; and a level whose
// sectors carry collision trees for the collision harness.

#include "fuzz/seed_gen.h"
#include "tools/mkasset/collision_tree.h"
#include "tools/mkasset/level_builder.h"
#include "tools/mkasset/world_writer.h"

namespace seeds {

void LevelSeeds(Writer& out) {
    out.Put("gfx_world", "level-small.bsp", mkasset::WorldFile(mkasset::LevelWorld({1, 4, 1, 60})));
    out.Put("gfx_world", "level-boxes.bsp", mkasset::WorldFile(mkasset::LevelWorld({2, 6, 3, 120})));

    // The collision harness's worlds: sectors carrying collision trees.
    mkasset::WorldDesc level = mkasset::LevelWorld({3, 4, 1, 40});
    mkasset::AddWorldCollision(level, 4);
    out.Put("gfx_collision", "level-collision.bsp", mkasset::WorldFile(level));

    mkasset::AtomicSectorDesc quad;
    quad.verts = {0, 0, 0, 1, 0, 0, 1, 0, 1, 0, 0, 1};
    quad.normals.assign(16, 0);
    quad.prelit.assign(16, 200);
    quad.texCoordSets = {{0, 0, 1, 0, 1, 1, 0, 1}};
    quad.triangles = {{{0, 1, 2}, 0}, {{0, 2, 3}, 1}};
    quad.max[0] = quad.max[2] = 1;

    mkasset::WorldDesc single;
    single.flags = 0x04 | 0x08 | 0x10;
    single.max[0] = single.max[1] = single.max[2] = 1;
    single.materialList = mkasset::MaterialListOf({mkasset::MaterialDesc{}, mkasset::MaterialDesc{}});
    single.nodes.resize(1);
    single.nodes[0].sector = quad;
    out.Put("gfx_world", "atomic-root.bsp", mkasset::WorldFile(single));

    mkasset::WorldDesc split = single;
    split.flags |= mkasset::kWorldSectorsOverlap;
    split.nodes.resize(3);
    split.nodes[0].type = 8;
    split.nodes[0].value = 0.5f;
    split.nodes[0].leftValue = 0.6f;
    split.nodes[0].rightValue = 0.4f;
    split.nodes[0].left = 1;
    split.nodes[0].right = 2;
    split.nodes[1].sector = quad;
    split.nodes[1].sector.version = 0x36001;
    split.nodes[2].sector = quad;
    split.nodes[2].sector.extensions = {mkasset::BinMeshExtension(1, {{0, {0, 1, 2}}, {1, {0, 2, 3}}})};
    out.Put("gfx_world", "overlap-old-order.bsp", mkasset::WorldFile(split));
}

} // namespace seeds
