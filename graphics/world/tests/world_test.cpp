// Worlds read from files: generated levels read back with their sectors, arrays, tree boxes and
// the meshes a plain build makes; triangle word order by version; plane values with and without
// the overlap flag; mesh sub-chunks, alone or beside others; malformed trees, counts and indices refused with nothing
// left behind; every prefix of a level, with meshes built or stored, refused; destroy returns the
// engine's memory to where it was, with members left in the world and with meshes built at load.

#include <algorithm>
#include <array>
#include <cmath>
#include <functional>

#include "graphics/core/chunk.h"
#include "graphics/world/mesh.h"
#include "graphics/world/tests/level_kit.h"
#include "tools/mkasset/level_builder.h"

namespace {

using namespace worldtest;
using mkasset::WorldDesc;

class WorldReadTest : public WorldTest {};

bool Inside(const OvBBox& box, const float p[3], float slack = 1e-4f) {
    return p[0] >= box.inf.x - slack && p[0] <= box.sup.x + slack && p[1] >= box.inf.y - slack &&
           p[1] <= box.sup.y + slack && p[2] >= box.inf.z - slack && p[2] <= box.sup.z + slack;
}

TEST_F(WorldReadTest, LevelsReadBackAsWritten) {
    for (const mkasset::LevelOptions& options : {mkasset::LevelOptions{3, 24, 10, 100}, mkasset::LevelOptions{}}) {
        const WorldDesc desc = mkasset::LevelWorld(options);
        const Bytes file = mkasset::WorldFile(desc);
        EXPECT_EQ(file, mkasset::WorldFile(mkasset::LevelWorld(options))) << "the same seed gives the same bytes";
        OvWorld* world = ReadWorld(file);
        ASSERT_NE(world, nullptr) << TakeError();
        const mkasset::WorldTotals totals = mkasset::CountWorld(desc);
        EXPECT_EQ(OvWorldGetNumWorldSectors(world), totals.atomicSectors);
        EXPECT_EQ(OvWorldGetNumPlaneSectors(world), totals.planeSectors);
        EXPECT_EQ(world->matList.numMaterials, 3);
        EXPECT_EQ(world->numTexCoordSets, 1);
        EXPECT_EQ(world->renderOrder, ovWORLDRENDERBACK2FRONT);
        EXPECT_EQ(OvWorldSectorGetWorld(world->rootSector), world);

        // The sectors in file order hold the arrays written, inside their tree boxes.
        std::vector<const mkasset::AtomicSectorDesc*> written;
        for (const auto& n : desc.nodes) {
            if (n.type < 0) {
                written.push_back(&n.sector);
            }
        }
        // The writer lists nodes in preorder, as the file holds them.
        const std::vector<OvWorldSector*> sectors = SectorsOf(world);
        ASSERT_EQ(sectors.size(), written.size());
        for (std::size_t i = 0; i < sectors.size(); ++i) {
            const OvWorldSector* s = sectors[i];
            const mkasset::AtomicSectorDesc& w = *written[i];
            ASSERT_EQ(s->numTriangles, w.triangles.size()) << i;
            ASSERT_EQ(s->numVertices, w.verts.size() / 3) << i;
            EXPECT_LE(s->numTriangles, options.maxTris);
            for (std::size_t t = 0; t < w.triangles.size(); ++t) {
                for (int c = 0; c < 3; ++c) {
                    ASSERT_EQ(s->triangles[t].vertIndex[c], w.triangles[t].v[c]);
                }
                ASSERT_EQ(s->triangles[t].matIndex, w.triangles[t].material);
            }
            for (std::size_t v = 0; v < w.verts.size() / 3; ++v) {
                const float p[3] = {s->vertices[v].x, s->vertices[v].y, s->vertices[v].z};
                ASSERT_EQ(p[0], w.verts[3 * v]);
                ASSERT_EQ(static_cast<OvUInt8>(s->normals[v].y), w.normals[4 * v + 1]);
                ASSERT_EQ(s->preLitLum[v].green, w.prelit[4 * v + 1]);
                ASSERT_EQ(s->texCoords[0][v].v, w.texCoordSets[0][2 * v + 1]);
                ASSERT_TRUE(Inside(s->boundingBox, p)) << "sector " << i << " vertex " << v;
                ASSERT_TRUE(Inside(world->boundingBox, p));
            }
            // Meshes built as lists from the triangles, as the plain build makes them.
            ASSERT_NE(s->mesh, nullptr);
            EXPECT_EQ(s->mesh->totalIndicesInMesh, 3u * s->numTriangles);
            EXPECT_TRUE(HoldsMeshes(
                s->mesh, ReferenceLists(s->triangles, s->numTriangles, world->matList, s->matListWindowBase)))
                << "sector " << i;
        }
        OvWorldDestroy(world);
    }
    EXPECT_NE(mkasset::WorldFile(mkasset::LevelWorld({1, 32, 12, 255})),
              mkasset::WorldFile(mkasset::LevelWorld({2, 32, 12, 255})));
}

TEST_F(WorldReadTest, TriangleWordsFollowTheStructVersion) {
    // Eight vertices and eight materials, so that both readings name valid entries.
    WorldDesc desc;
    desc.materialList = mkasset::MaterialListOf(std::vector<mkasset::MaterialDesc>(8));
    desc.nodes.resize(1);
    mkasset::AtomicSectorDesc& s = desc.nodes[0].sector;
    for (int v = 0; v < 8; ++v) {
        s.verts.insert(s.verts.end(), {static_cast<float>(v), 0, 0});
    }
    // The words 7, 0, 1, 2: before 0x36002 material first, from it material last.
    const struct {
        std::uint32_t version;
        mkasset::TriangleDesc written;
        OvUInt16 read[4];
    } cases[] = {{0x36001, {{0, 1, 2}, 7}, {0, 1, 2, 7}}, {0x36002, {{7, 0, 1}, 2}, {7, 0, 1, 2}}};
    for (const auto& c : cases) {
        s.triangles = {c.written};
        s.version = c.version;
        OvWorld* world = ReadWorld(mkasset::WorldFile(desc));
        ASSERT_NE(world, nullptr);
        const OvTriangle& t = world->rootSector->triangles[0];
        EXPECT_EQ((std::array<OvUInt16, 4>{t.vertIndex[0], t.vertIndex[1], t.vertIndex[2], t.matIndex}),
                  (std::array<OvUInt16, 4>{c.read[0], c.read[1], c.read[2], c.read[3]}))
            << std::hex << c.version;
        EXPECT_EQ(world->rootSector->mesh->numMeshes, 1);
        EXPECT_EQ(OvWorldGetNumPlaneSectors(world), 0);
        OvWorldDestroy(world);
    }
}

TEST_F(WorldReadTest, PlaneValuesAndTreeBoxes) {
    // Without the flag both side values are the plane's.
    OvWorld* world = ReadWorld(mkasset::WorldFile(TwoSectorWorld(false, -0.5f, 0.5f)));
    ASSERT_NE(world, nullptr);
    const OvPlaneSector* plane = OvWorldSectorAsPlane(world->rootSector);
    EXPECT_EQ(plane->leftValue, 0.0f);
    EXPECT_EQ(plane->rightValue, 0.0f);
    OvWorldDestroy(world);

    world = ReadWorld(mkasset::WorldFile(TwoSectorWorld(true, 0.5f, -0.5f)));
    ASSERT_NE(world, nullptr);
    plane = OvWorldSectorAsPlane(world->rootSector);
    EXPECT_EQ(plane->leftValue, 0.5f);
    EXPECT_EQ(plane->rightValue, -0.5f);
    // Boxes: the world's (max then min in the file), cut at the side values.
    EXPECT_EQ(world->boundingBox.sup.x, 2.0f);
    EXPECT_EQ(world->boundingBox.inf.z, -2.0f);
    const OvWorldSector* left = plane->leftSubTree;
    const OvWorldSector* right = plane->rightSubTree;
    EXPECT_EQ(left->boundingBox.sup.x, 0.5f);
    EXPECT_EQ(left->boundingBox.inf.x, -2.0f);
    EXPECT_EQ(right->boundingBox.inf.x, -0.5f);
    EXPECT_EQ(right->boundingBox.sup.x, 2.0f);
    // The file's own boxes are min then max.
    EXPECT_EQ(left->tightBoundingBox.inf.x, -2.0f);
    EXPECT_EQ(left->tightBoundingBox.sup.x, 0.0f);
    EXPECT_EQ(OvWorldSectorGetWorld(right), world);
    OvWorldDestroy(world);
    EXPECT_EQ(OvWorldSectorGetWorld(right), nullptr);
}

TEST_F(WorldReadTest, SectorMeshSubChunksAreReadAgainstTheWorldList) {
    WorldDesc desc = TwoSectorWorld(false);
    desc.nodes[1].sector.extensions = {mkasset::BinMeshExtension(1, {{0, {0, 1, 3, 2}}})};
    OvWorld* world = ReadWorld(mkasset::WorldFile(desc));
    ASSERT_NE(world, nullptr) << TakeError();
    const OvWorldSector* left = OvWorldSectorAsPlane(world->rootSector)->leftSubTree;
    EXPECT_EQ(left->mesh->flags, ovMESHHEADERTRISTRIP);
    EXPECT_EQ(left->mesh->totalIndicesInMesh, 4u);
    EXPECT_EQ(OvMeshHeaderGetMeshes(left->mesh)[0].material, world->matList.materials[0]);
    OvWorldDestroy(world);

    // A level's stored meshes alone in each sector's extension chunk, behind or before a sub-chunk
    // no plugin reads, twice, or twice and once before one no plugin reads from sector to sector:
    // every sector holds the meshes written.
    const mkasset::Extension unknown = {0x7F7F, {1, 2, 3, 4}};
    for (int layout = 0; layout < 5; ++layout) {
        WorldDesc level = mkasset::LevelWorld({5, 6, 2, 40});
        std::vector<std::vector<mkasset::MeshDesc>> written;
        for (mkasset::SectorNodeDesc& node : level.nodes) {
            if (node.type < 0) {
                written.push_back(
                    mkasset::ListMeshes(node.sector.triangles, static_cast<std::uint32_t>(node.sector.materialBase)));
                const mkasset::Extension meshes = mkasset::BinMeshExtension(0, written.back());
                const int sectorLayout = layout < 4 ? layout : written.size() % 2 == 1 ? 3 : 1;
                node.sector.extensions = sectorLayout == 0   ? std::vector<mkasset::Extension>{meshes}
                                         : sectorLayout == 1 ? std::vector<mkasset::Extension>{meshes, unknown}
                                         : sectorLayout == 2 ? std::vector<mkasset::Extension>{unknown, meshes}
                                                             : std::vector<mkasset::Extension>{meshes, meshes};
            }
        }
        OvWorld* read = ReadWorld(mkasset::WorldFile(level));
        ASSERT_NE(read, nullptr) << "layout " << layout << ": " << TakeError();
        const std::vector<OvWorldSector*> sectors = SectorsOf(read);
        ASSERT_EQ(sectors.size(), written.size());
        for (std::size_t i = 0; i < sectors.size(); ++i) {
            const OvMeshHeader* header = sectors[i]->mesh;
            ASSERT_NE(header, nullptr);
            ASSERT_EQ(header->numMeshes, written[i].size()) << "layout " << layout << " sector " << i;
            for (std::size_t m = 0; m < written[i].size(); ++m) {
                const OvMesh& mesh = OvMeshHeaderGetMeshes(header)[m];
                EXPECT_EQ(mesh.material, read->matList.materials[written[i][m].material]);
                EXPECT_EQ(std::vector<OvUInt16>(mesh.indices, mesh.indices + mesh.numIndices), written[i][m].indices)
                    << "layout " << layout << " sector " << i;
            }
        }
        OvWorldDestroy(read);
        EXPECT_EQ(LiveObjects(), 0);
    }

    // A mesh naming a material the world does not have, or a vertex past the sector's.
    for (const mkasset::MeshDesc& bad : {mkasset::MeshDesc{1, {0, 1, 2}}, mkasset::MeshDesc{0, {0, 1, 4}}}) {
        desc.nodes[1].sector.extensions = {mkasset::BinMeshExtension(0, {bad})};
        EXPECT_EQ(ReadWorld(mkasset::WorldFile(desc)), nullptr);
        EXPECT_NE(TakeError(), ovERRNOERROR);
        EXPECT_EQ(LiveObjects(), 0);
    }
}

TEST_F(WorldReadTest, MalformedWorldsAreRefusedAndLeaveNothing) {
    CountMemoryBlocks();
    // A tree whose path from the root passes `planes` plane sectors, splitting along x.
    // A tree whose leftmost path passes `planes` plane sectors; every right child is an empty
    // atomic sector.
    auto deep = [](int planes) {
        WorldDesc w;
        w.materialList = mkasset::MaterialListOf({mkasset::MaterialDesc{}});
        for (int i = 0; i < planes; ++i) {
            mkasset::SectorNodeDesc p;
            p.type = 0;
            p.left = w.nodes.size() + 2;
            p.right = w.nodes.size() + 1;
            w.nodes.push_back(p);
            w.nodes.emplace_back();
        }
        w.nodes.emplace_back();
        return w;
    };
    OvWorld* world = ReadWorld(mkasset::WorldFile(deep(64)));
    ASSERT_NE(world, nullptr) << "64 plane sectors deep is the most the walks allow";
    EXPECT_EQ(OvWorldGetNumWorldSectors(world), 65);
    OvWorldDestroy(world);
    const std::int64_t baseline = LiveMemoryBlocks();

    const struct {
        const char* what;
        std::function<void(WorldDesc&)> spoil;
        OvInt32 error;
    } cases[] = {
        {"65 plane sectors deep", [&](WorldDesc& w) { w = deep(65); }, ovERRBADVERSION},
        {"positive collision-sector size", [](WorldDesc& w) { w.collisionSectorSize = 1; }, ovERRBADVERSION},
        {"plane type 12", [](WorldDesc& w) { w.nodes[0].type = 12; }, ovERRBADVERSION},
        {"plane type 2", [](WorldDesc& w) { w.nodes[0].type = 2; }, ovERRBADVERSION},
        {"fewer triangles in the struct", [](WorldDesc& w) { w.numTriangles = 3; }, ovERRBADVERSION},
        {"fewer vertices in the struct", [](WorldDesc& w) { w.numVertices = 7; }, ovERRBADVERSION},
        {"fewer atomic sectors", [](WorldDesc& w) { w.numAtomicSectors = 1; }, ovERRBADVERSION},
        {"no plane sectors", [](WorldDesc& w) { w.numPlaneSectors = 0; }, ovERRBADVERSION},
        {"negative totals", [](WorldDesc& w) { w.numVertices = -8; }, ovERRBADVERSION},
        {"totals beyond the file", [](WorldDesc& w) { w.numTriangles = 1 << 28; }, ovERRBADVERSION},
        {"sector counts beyond 16 bits", [](WorldDesc& w) { w.nodes[2].sector.numTriangles = 70000; }, ovERRBADVERSION},
        {"negative sector count", [](WorldDesc& w) { w.nodes[2].sector.numVertices = -1; }, ovERRBADVERSION},
        {"first vertex index past the sector", [](WorldDesc& w) { w.nodes[2].sector.triangles[1].v[0] = 4; },
         ovERRBADVERSION},
        {"second vertex index past the sector", [](WorldDesc& w) { w.nodes[2].sector.triangles[0].v[1] = 4; },
         ovERRBADVERSION},
        {"third vertex index past the sector", [](WorldDesc& w) { w.nodes[2].sector.triangles[1].v[2] = 4; },
         ovERRBADVERSION},
        {"material past the list", [](WorldDesc& w) { w.nodes[1].sector.triangles[0].material = 1; }, ovERRBADVERSION},
        {"window base past the list", [](WorldDesc& w) { w.nodes[1].sector.materialBase = 1; }, ovERRBADVERSION},
        {"nine texture sets", [](WorldDesc& w) { w.flags |= 9u << 16; }, ovERRBADVERSION},
        {"sector struct shorter than its arrays", [](WorldDesc& w) { w.nodes[2].sector.numVertices = 5; },
         ovERRBADVERSION},
        {"native sector without meshes", [](WorldDesc& w) { w.flags |= 0x01000000; }, ovERRBADVERSION},
    };
    for (const auto& c : cases) {
        WorldDesc w = TwoSectorWorld(false);
        c.spoil(w);
        EXPECT_EQ(ReadWorld(mkasset::WorldFile(w)), nullptr) << c.what;
        EXPECT_EQ(TakeError(), c.error) << c.what;
        EXPECT_EQ(LiveObjects(), 0) << c.what;
        EXPECT_EQ(LiveMemoryBlocks(), baseline) << c.what;
    }

    // A negative plane type (the description writes none): the root plane's type word patched,
    // the chunk behind the world's struct and material list.
    for (const std::uint32_t type : {0xFFFFFFFCu, 0x80000000u}) {
        Bytes file = mkasset::WorldFile(TwoSectorWorld(false));
        const auto u32 = [&](std::size_t at) { return OvChunkGetUInt32(file.data() + at); };
        const std::size_t matList = 24 + u32(16);
        const std::size_t plane = matList + 12 + u32(matList + 4);
        ASSERT_EQ(u32(plane), ovCHUNKIDPLANESECTOR);
        OvChunkPutUInt32(file.data() + plane + 24, type);
        EXPECT_EQ(ReadWorld(file), nullptr) << type;
        EXPECT_EQ(TakeError(), ovERRBADVERSION) << type;
        EXPECT_EQ(LiveMemoryBlocks(), baseline) << type;
    }

    // A wrong sector version is the chunk search's refusal.
    WorldDesc w = TwoSectorWorld(false);
    w.nodes[1].sector.version = 0x34000;
    EXPECT_EQ(ReadWorld(mkasset::WorldFile(w)), nullptr);
    EXPECT_EQ(TakeError(), ovERRBADVERSION);
    EXPECT_EQ(LiveMemoryBlocks(), baseline);
}

TEST_F(WorldReadTest, EveryPrefixOfALevelFailsAndLeavesNothing) {
    CountMemoryBlocks();
    // Built at load as lists and as strips (from the heap, while the read goes on), and with
    // every sector's meshes stored (the last sector's twice: the second replaces the first).
    WorldDesc strips = mkasset::LevelWorld({5, 6, 2, 40});
    strips.flags |= ovGEOMETRYTRISTRIP;
    WorldDesc stored = mkasset::LevelWorld({5, 6, 2, 40});
    mkasset::AtomicSectorDesc* last = nullptr;
    for (mkasset::SectorNodeDesc& node : stored.nodes) {
        if (node.type < 0) {
            last = &node.sector;
            last->extensions.push_back(mkasset::BinMeshExtension(
                0, mkasset::ListMeshes(last->triangles, static_cast<std::uint32_t>(last->materialBase))));
        }
    }
    ASSERT_NE(last, nullptr);
    last->extensions.push_back(last->extensions.back());
    for (const Bytes& file : {mkasset::WorldFile(mkasset::LevelWorld({5, 6, 2, 40})), mkasset::WorldFile(strips),
                              mkasset::WorldFile(stored)}) {
        OvWorld* world = ReadWorld(file);
        ASSERT_NE(world, nullptr);
        OvWorldDestroy(world);
        const std::int64_t baseline = LiveMemoryBlocks();
        for (std::size_t n = 0; n < file.size(); n += (n < 600 ? 1 : 7)) {
            const Bytes prefix(file.begin(), file.begin() + static_cast<std::ptrdiff_t>(n));
            ASSERT_EQ(ReadWorld(prefix), nullptr) << "prefix " << n;
            ASSERT_NE(TakeError(), ovERRNOERROR) << "prefix " << n;
            ASSERT_EQ(LiveMemoryBlocks(), baseline) << "prefix " << n;
            ASSERT_EQ(LiveObjects(), 0) << "prefix " << n;
        }
    }
}

TEST_F(WorldReadTest, DestroyWithMembersReturnsMemoryToTheBaseline) {
    CountMemoryBlocks();
    const Bytes file = mkasset::WorldFile(mkasset::LevelWorld({9, 16, 6, 64}));
    for (int round = 0; round < 3; ++round) {
        OvWorld* world = ReadWorld(file);
        ASSERT_NE(world, nullptr);
        // Members left in the world when it goes: they leave it and keep working.
        OvClump* clump = SphereClump(1.0f, 0, 1, 0);
        OvWorldAddClump(world, clump);
        OvLight* lamp = OvLightCreate(ovLIGHTPOINT);
        OvFrame* lampFrame = OvFrameCreate();
        OvLightSetFrame(lamp, lampFrame);
        lamp->radius = 5;
        OvWorldAddLight(world, lamp);
        OvFrameSyncDirty();
        OvInt32 atomicTies = 0, lightTies = 0;
        OvWorldGetTiesInUse(&atomicTies, &lightTies);
        EXPECT_GT(atomicTies, 0);
        EXPECT_GT(lightTies, 0);
        OvWorldDestroy(world);
        EXPECT_EQ(OvClumpGetWorld(clump), nullptr);
        EXPECT_EQ(OvAtomicGetWorld(FirstAtomic(clump)), nullptr);
        EXPECT_EQ(OvLightGetWorld(lamp), nullptr);
        OvWorldGetTiesInUse(&atomicTies, &lightTies);
        EXPECT_EQ(atomicTies + lightTies, 0);
        PlaceFrame(OvClumpGetFrame(clump), 2, 1, 0);
        OvFrameSyncDirty();
        OvClumpDestroy(clump);
        OvLightDestroy(lamp);
        OvFrameDestroy(lampFrame);
        if (round == 0) {
            // The pools have grown to what the rounds need.
            CountMemoryBlocks();
        } else {
            EXPECT_EQ(LiveMemoryBlocks(), 0) << "round " << round;
        }
    }
}

TEST_F(WorldReadTest, MeshesBuiltAtLoadAreTheBuildersAndGoWithTheWorld) {
    // Lists and strips of a level without stored meshes, sectors of 1 to 8 triangles and larger
    // ones: each sector holds what the builder makes of its triangles, and destroying the world
    // (lists kept with it, strips apart) returns every block.
    for (const mkasset::LevelOptions& options :
         {mkasset::LevelOptions{4, 16, 6, 8}, mkasset::LevelOptions{4, 16, 6, 60}}) {
        for (OvUInt32 strips : {0u, static_cast<OvUInt32>(ovGEOMETRYTRISTRIP)}) {
            WorldDesc desc = mkasset::LevelWorld(options);
            desc.flags |= strips;
            const Bytes file = mkasset::WorldFile(desc);
            OvWorldDestroy(ReadWorld(file)); // the pools grow to what a read needs
            CountMemoryBlocks();
            OvWorld* world = ReadWorld(file);
            ASSERT_NE(world, nullptr) << TakeError();
            for (const OvWorldSector* s : SectorsOf(world)) {
                OvMeshHeader* built = OvMeshHeaderBuildFromTriangles(s->triangles, s->numTriangles, &world->matList,
                                                                     s->matListWindowBase, world->flags);
                ASSERT_NE(built, nullptr);
                ASSERT_EQ(s->mesh->flags, built->flags);
                ASSERT_EQ(s->mesh->numMeshes, built->numMeshes);
                for (OvUInt32 m = 0; m < built->numMeshes; ++m) {
                    const OvMesh& a = OvMeshHeaderGetMeshes(s->mesh)[m];
                    const OvMesh& b = OvMeshHeaderGetMeshes(built)[m];
                    EXPECT_EQ(a.material, b.material);
                    EXPECT_TRUE(std::equal(a.indices, a.indices + a.numIndices, b.indices, b.indices + b.numIndices));
                }
                OvMeshHeaderDestroy(built);
            }
            OvWorldDestroy(world);
            EXPECT_EQ(LiveMemoryBlocks(), 0) << options.maxTris << (strips != 0 ? " strips" : " lists");
        }
    }
}

} // namespace
