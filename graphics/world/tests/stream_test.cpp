// Clump, atomic, geometry, material, material-list and light chunks: what the builder writes
// reads back into objects whose description writes the same bytes; every prefix of a file fails
// cleanly; each count, index and size the readers take from a file is checked; unknown
// extension sub-chunks are passed over; the attach order fixes the extensions' places.

#include <filesystem>
#include <fstream>
#include <functional>
#include <random>
#include <string>

#include "graphics/core/camera.h"
#include "graphics/core/chunk.h"
#include "graphics/core/engine.h"
#include "graphics/core/memory.h"
#include "graphics/core/pipeline.h"
#include "graphics/core/plugin.h"
#include "graphics/core/texture.h"
#include "graphics/world/mesh.h"
#include "graphics/world/tests/level_kit.h"
#include "graphics/world/tests/world_test_kit.h"
#include "graphics/world/world.h"
#include "graphics/world/world_plugin.h"
#include "testing/scratch_dir.h"
#include "tools/mkasset/shapes.h"

namespace {

using namespace worldtest;
using mkasset::Bytes;

mkasset::MaterialDesc Material(std::uint8_t r, std::uint8_t g, std::uint8_t b, std::uint8_t a) {
    mkasset::MaterialDesc m;
    m.color[0] = r;
    m.color[1] = g;
    m.color[2] = b;
    m.color[3] = a;
    m.ambient = 0.25f;
    m.specular = 0.5f;
    m.diffuse = 0.75f;
    return m;
}

// Four vertices with prelit colours, two texture sets, normals and two morph targets; a
// material list {-1, -1, 0} whose second material is textured; its own list meshes.
mkasset::GeometryDesc RichGeometry() {
    mkasset::GeometryDesc g;
    g.flags = 0x02 | 0x08 | 0x10 | 0x20 | 0x80;
    g.numVertices = 4;
    for (int i = 0; i < 16; ++i) {
        g.prelit.push_back(static_cast<std::uint8_t>(i * 13));
    }
    g.texCoordSets = {{0, 0, 1, 0, 1, 1, 0, 1}, {0.5f, 0.5f, 1, 0.5f, 1, 1, 0.5f, 1}};
    g.triangles = {{{0, 1, 2}, 1}, {{0, 2, 3}, 2}};
    for (int m = 0; m < 2; ++m) {
        mkasset::MorphTargetDesc t;
        const float s = 1.0f + static_cast<float>(m);
        t.sphere[0] = 0.5f * s;
        t.sphere[3] = 0.75f * s;
        t.verts = {0, 0, 0, s, 0, 0, s, s, 0, 0, s, 0};
        t.normals = {0, 0, 1, 0, 0, 1, 0, 0, 1, 0, 0, 1};
        g.morphTargets.push_back(t);
    }
    mkasset::MaterialDesc textured = Material(10, 20, 30, 255);
    textured.textured = true;
    textured.texture.name = "brick";
    g.materialList.entries = {-1, -1, 0};
    g.materialList.materials = {Material(200, 100, 50, 255), textured};
    // A mesh names the last list entry of its material, as the engine's writer does.
    g.extensions.push_back(mkasset::BinMeshExtension(0, {{1, {0, 1, 2}}, {2, {0, 2, 3}}}));
    return g;
}

mkasset::GeometryDesc SmallGeometry() {
    mkasset::GeometryDesc g;
    g.flags = 0x02 | 0x04;
    g.numVertices = 3;
    g.texCoordSets = {{0, 0, 1, 0, 1, 1}};
    g.triangles = {{{0, 1, 2}, 0}};
    mkasset::MorphTargetDesc t;
    t.sphere[3] = 1;
    t.verts = {0, 0, 0, 1, 0, 0, 0, 1, 0};
    g.morphTargets.push_back(t);
    g.materialList = mkasset::MaterialListOf({Material(1, 2, 3, 4)});
    g.extensions.push_back(mkasset::BinMeshExtension(1, {{0, {0, 1, 2}}}));
    return g;
}

mkasset::ClumpDesc RichClump() {
    mkasset::ClumpDesc c;
    mkasset::FrameDesc root;
    mkasset::FrameDesc child;
    child.pos[0] = 2;
    child.pos[1] = -1;
    child.parent = 0;
    c.frames = {root, child};
    c.geometries = {RichGeometry(), SmallGeometry()};
    mkasset::AtomicDesc a0, a1;
    a0.frame = 0;
    a0.geometry = 0;
    a1.frame = 1;
    a1.geometry = 1;
    a1.flags = 0x04;
    c.atomics = {a0, a1};
    mkasset::LightDesc point;
    point.radius = 5;
    point.color[0] = 0.5f;
    point.color[1] = 0.25f;
    point.type = 0x80;
    mkasset::LightDesc ambient;
    ambient.type = 2;
    ambient.flags = 1;
    c.lights = {{1, point}, {0, ambient}};
    mkasset::CameraDesc camera;
    camera.viewWindow[0] = 0.75f;
    camera.farPlane = 100;
    c.cameras = {{1, camera}};
    return c;
}

// The texture the rich geometry's material names, in the current dictionary.
void AddBrickTexture() {
    OvTexture* t = OvTextureCreate(nullptr);
    OvTextureSetName(t, "brick");
    t->filterAddressing = 0x1102;
    OvTexDictionaryAddTexture(OvTexDictionaryGetCurrent(), t);
}

class ClumpStreamTest : public WorldTest {};

TEST_F(ClumpStreamTest, ReadObjectsDescribeTheBytesRead) {
    AddBrickTexture();
    const Bytes file = mkasset::ClumpFile(RichClump());
    OvClump* clump = ReadClump(file);
    ASSERT_NE(clump, nullptr) << std::hex << TakeError();
    EXPECT_EQ(FirstDifference(mkasset::ClumpFile(DescribeClump(clump)), file), -1);
    // The lists hold their members in the reverse of the file's order.
    EXPECT_EQ(OvClumpGetNumAtomics(clump), 2);
    EXPECT_EQ(OvClumpGetNumLights(clump), 2);
    EXPECT_EQ(OvClumpGetNumCameras(clump), 1);
    const OvAtomic* first = FirstAtomic(clump);
    EXPECT_EQ(first->object.object.flags, 0x04);
    // One reference on each geometry: its atomic's.
    EXPECT_EQ(first->geometry->refCount, 1);
    const OvGeometry* rich =
        reinterpret_cast<OvAtomic*>(reinterpret_cast<char*>(clump->atomicList.prev) - offsetof(OvAtomic, inClumpLink))
            ->geometry;
    // {-1, -1, 0}: the first material twice, with a reference for each entry.
    ASSERT_EQ(rich->matList.numMaterials, 3);
    EXPECT_EQ(rich->matList.materials[0], rich->matList.materials[2]);
    EXPECT_EQ(rich->matList.materials[0]->refCount, 2);
    EXPECT_STREQ(rich->matList.materials[1]->texture->name, "brick");
    OvClumpDestroy(clump);
}

// Files whose shared objects are named more often than 16 bits count: a clump of about 1.7 MB
// whose 32,768 atomics all name geometry 0, and a material-list chunk of about 262 KB that repeats
// its one material 65,536 times. Read from disk, every reference is counted and the objects go
// exactly when the last holder lets go.
TEST_F(ClumpStreamTest, SharedObjectsNamedFromDiskCountEveryReference) {
    constexpr int kAtomics = 32768;
    constexpr int kRepeats = 65536;
    mkasset::ClumpDesc many;
    many.frames = {mkasset::FrameDesc{}};
    many.geometries = {SmallGeometry()};
    many.atomics.resize(kAtomics); // frame 0, geometry 0
    mkasset::ClumpDesc repeated;
    repeated.frames = {mkasset::FrameDesc{}};
    repeated.geometries = {SmallGeometry()};
    repeated.geometries[0].materialList.entries.assign(1 + kRepeats, 0);
    repeated.geometries[0].materialList.entries[0] = -1;
    repeated.atomics.resize(1);

    const std::filesystem::path dir = MakeTestScratchDir("gfx_world_counts");
    const auto readFromDisk = [&dir](const char* name, const Bytes& bytes) {
        const std::string path = (dir / name).string();
        std::ofstream(path, std::ios::binary)
            .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
        OvStream* stream = OvStreamOpen(ovSTREAMFILENAME, ovSTREAMREAD, path.c_str());
        OvClump* clump = nullptr;
        if (stream != nullptr && OvStreamFindChunk(stream, ovCHUNKIDCLUMP, nullptr, nullptr)) {
            clump = OvClumpStreamRead(stream);
        }
        if (stream != nullptr) {
            OvStreamClose(stream, nullptr);
        }
        return clump;
    };

    const Bytes manyFile = mkasset::ClumpFile(many);
    EXPECT_GT(manyFile.size(), 1'600'000u);
    OvClump* clump = readFromDisk("many.dff", manyFile);
    ASSERT_NE(clump, nullptr) << std::hex << TakeError();
    ASSERT_EQ(OvClumpGetNumAtomics(clump), kAtomics);
    const OvGeometry* shared = FirstAtomic(clump)->geometry;
    EXPECT_EQ(shared->refCount, kAtomics);
    OvClumpDestroy(clump);

    const Bytes repeatedFile = mkasset::ClumpFile(repeated);
    EXPECT_GT(repeatedFile.size(), 262'000u);
    clump = readFromDisk("repeated.dff", repeatedFile);
    ASSERT_NE(clump, nullptr) << std::hex << TakeError();
    const OvGeometry* g = FirstAtomic(clump)->geometry;
    ASSERT_EQ(g->matList.numMaterials, 1 + kRepeats);
    EXPECT_EQ(g->matList.materials[kRepeats], g->matList.materials[0]);
    EXPECT_EQ(g->matList.materials[0]->refCount, 1 + kRepeats);
    OvClumpDestroy(clump);
    std::filesystem::remove_all(dir);
}

TEST_F(ClumpStreamTest, EveryPrefixFailsAndLeavesNothing) {
    AddBrickTexture();
    const Bytes file = mkasset::ClumpFile(RichClump());
    for (std::size_t n = 0; n < file.size(); ++n) {
        const Bytes prefix(file.begin(), file.begin() + static_cast<std::ptrdiff_t>(n));
        OvClump* clump = ReadClump(prefix);
        EXPECT_EQ(clump, nullptr) << "prefix " << n;
        if (clump != nullptr) {
            OvClumpDestroy(clump);
        }
        EXPECT_NE(TakeError(), ovERRNOERROR) << "prefix " << n;
        ASSERT_EQ(LiveObjects(), 0) << "prefix " << n;
    }
}

TEST_F(ClumpStreamTest, EmptyGeometryListGivesEachAtomicItsOwnGeometry) {
    mkasset::ClumpDesc c;
    c.frames = {mkasset::FrameDesc{}};
    for (int i = 0; i < 3; ++i) {
        mkasset::AtomicDesc a;
        a.ownGeometry = SmallGeometry();
        a.ownGeometry.numVertices = 3 + i;
        a.ownGeometry.texCoordSets[0].resize(2 * static_cast<std::size_t>(3 + i));
        a.ownGeometry.morphTargets[0].verts.resize(3 * static_cast<std::size_t>(3 + i));
        c.atomics.push_back(a);
    }
    OvClump* clump = ReadClump(mkasset::ClumpFile(c));
    ASSERT_NE(clump, nullptr);
    std::vector<OvInt32> verts;
    OvClumpForAllAtomics(
        clump,
        [](OvAtomic* a, void* data) {
            static_cast<std::vector<OvInt32>*>(data)->push_back(a->geometry->numVertices);
            return a;
        },
        &verts);
    EXPECT_EQ(verts, (std::vector<OvInt32>{5, 4, 3}));
    OvClumpDestroy(clump);
}

// A file changed by one edit: each must fail with the error given and leave nothing alive.
struct BadCase {
    const char* name;
    std::function<void(mkasset::ClumpDesc&)> edit;
    OvInt32 error;
};

TEST_F(ClumpStreamTest, CountsAndIndicesFromTheFileAreChecked) {
    AddBrickTexture();
    auto rich = [](mkasset::ClumpDesc& c) -> mkasset::GeometryDesc& { return c.geometries[0]; };
    const BadCase cases[] = {
        {"nine texture sets", [&](auto& c) { rich(c).flags |= 9u << 16; }, ovERRREAD},
        {"normals without the flag",
         [&](auto& c) { c.geometries[1].morphTargets[0].normals = {0, 0, 1, 0, 0, 1, 0, 0, 1}; }, ovERRREAD},
        {"mesh counts beyond the total",
         [&](auto& c) {
             auto& body = rich(c).extensions[0].body;
             body[12] = 7; // the first mesh claims 7 of the 6 indices
         },
         ovERRREAD},
        {"mesh material beyond the list",
         [&](auto& c) {
             rich(c).extensions[0] = mkasset::BinMeshExtension(0, {{3, {0, 1, 2}}});
         },
         ovERRREAD},
        {"mesh index beyond the vertices",
         [&](auto& c) {
             rich(c).extensions[0] = mkasset::BinMeshExtension(0, {{0, {0, 1, 4}}});
         },
         ovERRREAD},
        {"material list entry pointing forward",
         [&](auto& c) {
             rich(c).materialList.entries = {1, -1, -1};
         },
         ovERRREAD},
        {"triangle vertex beyond the vertices", [&](auto& c) { rich(c).triangles[1].v[2] = 4; }, ovERRREAD},
        {"triangle material beyond the list", [&](auto& c) { rich(c).triangles[0].material = 3; }, ovERRREAD},
        {"atomic frame beyond the list", [](auto& c) { c.atomics[1].frame = 2; }, ovERRREAD},
        {"atomic frame negative", [](auto& c) { c.atomics[1].frame = -1; }, ovERRREAD},
        {"atomic geometry beyond the list", [](auto& c) { c.atomics[0].geometry = 2; }, ovERRREAD},
        {"light frame beyond the list", [](auto& c) { c.lights[0].first = 7; }, ovERRREAD},
        {"camera frame beyond the list", [](auto& c) { c.cameras[0].first = -3; }, ovERRREAD},
        {"no frames", [](auto& c) { c.frames.clear(); }, ovERRREAD},
        {"two root frames", [](auto& c) { c.frames[1].parent = -1; }, ovERRREAD},
        {"a second root with a frame below it, listed after it",
         [](auto& c) {
             c.frames[1].parent = -1;
             mkasset::FrameDesc below;
             below.parent = 1;
             c.frames.push_back(below);
         },
         ovERRREAD},
        {"too many vertices", [&](auto& c) { rich(c).numVertices = 65536; }, ovERRREAD},
        {"negative vertex count",
         [&](auto& c) {
             rich(c).triangles.clear();
             rich(c).numVertices = -1;
         },
         ovERRREAD},
        {"native geometry with vertices", [&](auto& c) { c.geometries[1].flags |= 0x01000000; }, ovERRREAD},
    };
    for (const BadCase& bad : cases) {
        mkasset::ClumpDesc c = RichClump();
        bad.edit(c);
        OvClump* clump = ReadClump(mkasset::ClumpFile(c));
        EXPECT_EQ(clump, nullptr) << bad.name;
        if (clump != nullptr) {
            OvClumpDestroy(clump);
        }
        EXPECT_EQ(TakeError(), bad.error) << bad.name;
        ASSERT_EQ(LiveObjects(), 0) << bad.name;
    }
}

TEST_F(ClumpStreamTest, FixedStructsOfOtherSizesAndOldVersionsAreRefused) {
    // A material struct of 32 bytes, an atomic struct of 20, a light struct of 28, and a chunk
    // stamped with a version before the oldest accepted.
    auto patchStruct = [](Bytes& file, std::uint32_t type, std::uint32_t grow) {
        // Find the first chunk of the type and grow its struct chunk by `grow` zero bytes.
        for (std::size_t at = 0; at + 24 <= file.size(); ++at) {
            if (OvChunkGetUInt32(file.data() + at) == type && OvChunkGetUInt32(file.data() + at + 12) == 1 &&
                OvChunkGetUInt32(file.data() + at + 8) == mkasset::Stamp()) {
                const std::uint32_t len = OvChunkGetUInt32(file.data() + at + 16);
                OvChunkPutUInt32(file.data() + at + 16, len + grow);
                file.insert(file.begin() + static_cast<std::ptrdiff_t>(at + 24 + len), grow, 0);
                return true;
            }
        }
        return false;
    };
    for (std::uint32_t type : {mkasset::kMaterial, mkasset::kAtomic, mkasset::kLight}) {
        Bytes file = mkasset::ClumpFile(RichClump());
        ASSERT_TRUE(patchStruct(file, type, 4)) << type;
        // The enclosing chunks' lengths are not read by the object readers, only the struct's.
        AddBrickTexture();
        OvClump* clump = ReadClump(file);
        EXPECT_EQ(clump, nullptr) << type;
        if (clump != nullptr) {
            OvClumpDestroy(clump);
        }
        EXPECT_NE(TakeError(), ovERRNOERROR);
        ASSERT_EQ(LiveObjects(), 0);
    }
    mkasset::ChunkWriter w;
    w.Begin(mkasset::kClump);
    w.Begin(mkasset::kStruct, mkasset::Stamp(0x34000, 22));
    w.I32(0);
    w.I32(0);
    w.I32(0);
    w.End();
    w.End();
    EXPECT_EQ(ReadClump(w.Data()), nullptr);
    EXPECT_EQ(TakeError(), ovERRBADVERSION);
}

TEST_F(ClumpStreamTest, UnknownExtensionSubChunksArePassedOver) {
    AddBrickTexture();
    mkasset::ClumpDesc c = RichClump();
    const mkasset::Extension unknown{0x7777, {1, 2, 3, 4, 5, 6, 7}};
    c.extensions = {unknown};
    c.atomics[0].extensions = {unknown, mkasset::PipelineOwnerExtension(0x7778, 9)};
    c.geometries[1].extensions.insert(c.geometries[1].extensions.begin(), unknown);
    c.geometries[0].materialList.materials[0].extensions = {unknown};
    c.lights[0].second.extensions = {unknown, unknown};
    c.frames[1].extensions = {unknown};
    OvClump* clump = ReadClump(mkasset::ClumpFile(c));
    ASSERT_NE(clump, nullptr) << std::hex << TakeError();
    EXPECT_EQ(FirstDifference(mkasset::ClumpFile(DescribeClump(clump)), mkasset::ClumpFile(RichClump())), -1);
    OvClumpDestroy(clump);
}

TEST_F(ClumpStreamTest, ModelsOfTheBuilderRead) {
    for (mkasset::ShapeKind kind : {mkasset::ShapeKind::Box, mkasset::ShapeKind::Cylinder, mkasset::ShapeKind::Grid}) {
        mkasset::ShapeOptions options;
        options.kind = kind;
        options.size = 5;
        options.materials = 3;
        OvClump* clump = ReadClump(mkasset::ClumpFile(mkasset::ModelClump(options)));
        ASSERT_NE(clump, nullptr);
        const OvAtomic* atomic = FirstAtomic(clump);
        const OvGeometry* g = atomic->geometry;
        EXPECT_EQ(g->numVertices, mkasset::ShapeVertexCount(kind, 5));
        EXPECT_EQ(g->numTriangles, mkasset::ShapeTriangleCount(kind, 5));
        EXPECT_EQ(g->matList.numMaterials, 3);
        ASSERT_NE(g->mesh, nullptr);
        EXPECT_EQ(g->mesh->numMeshes, 3);
        EXPECT_EQ(g->mesh->totalIndicesInMesh, 3u * static_cast<OvUInt32>(g->numTriangles));
        EXPECT_GT(atomic->boundingSphere.radius, 0.5f);
        OvClumpDestroy(clump);
    }
}

// A geometry of the given vertices whose triangles are the given ones, over a list of the given
// materials (none: every triangle names no material).
mkasset::GeometryDesc TriangleGeometry(std::int32_t vertices, std::vector<mkasset::TriangleDesc> triangles,
                                       int materials) {
    mkasset::GeometryDesc g = SmallGeometry();
    g.extensions.clear();
    g.numVertices = vertices;
    g.texCoordSets = {std::vector<float>(2 * static_cast<std::size_t>(vertices), 0.5f)};
    g.morphTargets[0].verts.assign(3 * static_cast<std::size_t>(vertices), 1.0f);
    g.triangles = std::move(triangles);
    g.materialList = mkasset::MaterialListOf(
        std::vector<mkasset::MaterialDesc>(static_cast<std::size_t>(materials), Material(1, 1, 1, 255)));
    return g;
}

TEST_F(ClumpStreamTest, GeometryTrianglesAndLightsAsStored) {
    // A stored triangle of words 1, 0, 7, 2 is vertices 0, 1, 2 with material 7.
    mkasset::ChunkWriter w;
    mkasset::WriteGeometry(w, TriangleGeometry(3, {{{0, 1, 2}, 7}}, 8));
    const std::size_t triangleAt = 12 + 12 + 16 + 24;
    EXPECT_EQ(OvChunkGetUInt32(w.Data().data() + triangleAt), 0x00000001u);
    EXPECT_EQ(OvChunkGetUInt32(w.Data().data() + triangleAt + 4), 0x00020007u);

    // Triangles are decoded and checked four or two at a time with up to three left over: every
    // count up to nine reads as written, and a vertex or material one past the end in any corner of any of
    // them is refused. Values of 0x8000 and above are compared as unsigned.
    const auto check = [](std::int32_t vertices, const std::vector<mkasset::TriangleDesc>& triangles, int materials,
                          bool reads, const std::string& name) {
        mkasset::ChunkWriter g;
        mkasset::WriteGeometry(g, TriangleGeometry(vertices, triangles, materials));
        OvGeometry* geometry = ReadGeometry(g.Data());
        ASSERT_EQ(geometry != nullptr, reads) << name;
        if (geometry == nullptr) {
            EXPECT_EQ(TakeError(), ovERRREAD) << name;
            return;
        }
        ASSERT_EQ(geometry->numTriangles, static_cast<OvInt32>(triangles.size())) << name;
        for (std::size_t t = 0; t < triangles.size(); ++t) {
            const OvTriangle& read = geometry->triangles[t];
            EXPECT_EQ(read.vertIndex[0], triangles[t].v[0]) << name << " triangle " << t;
            EXPECT_EQ(read.vertIndex[1], triangles[t].v[1]) << name << " triangle " << t;
            EXPECT_EQ(read.vertIndex[2], triangles[t].v[2]) << name << " triangle " << t;
            EXPECT_EQ(read.matIndex, triangles[t].material) << name << " triangle " << t;
        }
        OvGeometryDestroy(geometry);
    };
    for (std::size_t count = 1; count <= 9; ++count) {
        std::vector<mkasset::TriangleDesc> triangles;
        for (std::size_t t = 0; t < count; ++t) {
            const auto v = static_cast<std::uint16_t>(3 * t);
            triangles.push_back({{v, static_cast<std::uint16_t>(v + 1), static_cast<std::uint16_t>(v + 2)},
                                 static_cast<std::uint16_t>(t % 3)});
        }
        const std::string name = std::to_string(count) + " triangles";
        check(27, triangles, 3, true, name);
        for (std::size_t t = 0; t < count; ++t) {
            for (int corner = 0; corner < 4; ++corner) {
                std::vector<mkasset::TriangleDesc> bad = triangles;
                std::uint16_t& value = corner < 3 ? bad[t].v[corner] : bad[t].material;
                value = corner < 3 ? 27 : 3;
                check(27, bad, 3, false,
                      name + ", triangle " + std::to_string(t) + " corner " + std::to_string(corner));
            }
        }
        // Without materials every triangle names none, and one that names a material is refused.
        std::vector<mkasset::TriangleDesc> none = triangles;
        for (mkasset::TriangleDesc& t : none) {
            t.material = ovTRIANGLENOMATERIAL;
        }
        check(27, none, 0, true, name + " without materials");
        none[count - 1].material = 0;
        check(27, none, 0, false, name + " without materials, the last naming one");
    }
    check(0xFFFF, {{{0x8000, 0xFFFE, 0x7FFF}, 1}, {{0xFFFE, 0, 0x8001}, 0}, {{1, 2, 3}, 1}}, 2, true, "high vertices");
    check(0xFFFF, {{{0x8000, 0xFFFE, 0x7FFF}, 1}, {{0xFFFE, 0xFFFF, 0x8001}, 0}}, 2, false, "vertex 0xFFFF");

    // A light struct of 20 bytes leaves flags and type 0; equal channels set the private bit.
    mkasset::ChunkWriter l;
    l.Begin(mkasset::kLight);
    l.Begin(mkasset::kStruct);
    for (float f : {3.0f, 0.5f, 0.5f, 0.5f, -0.7071068f}) {
        l.F32(f);
    }
    l.End();
    mkasset::WriteExtension(l, {});
    l.End();
    OvLight* light = ReadFirst<OvLight>(l.Data(), OvLightStreamRead);
    ASSERT_NE(light, nullptr);
    EXPECT_EQ(light->object.object.flags, 0);
    EXPECT_EQ(OvLightGetType(light), 0);
    EXPECT_EQ(light->object.object.privateFlags & ovLIGHTPRIVATENOCHROMA, ovLIGHTPRIVATENOCHROMA);
    EXPECT_NEAR(OvLightGetConeAngle(light), 3.14159265f / 4, 1e-5f);
    const OvRGBAReal red = {1.0f, 0.5f, 0.5f, 1.0f};
    OvLightSetColor(light, &red);
    EXPECT_EQ(light->object.object.privateFlags & ovLIGHTPRIVATENOCHROMA, 0);
    OvLightDestroy(light);
}

TEST_F(ClumpStreamTest, DamagedFilesReadOrFailCleanly) {
    // Bytes changed at random (counts, indices, lengths, ids alike): each file either reads or
    // fails with an error held, and nothing is left alive either way.
    AddBrickTexture();
    const Bytes file = mkasset::ClumpFile(RichClump());
    std::mt19937 rng(2024);
    std::uniform_int_distribution<std::size_t> at(0, file.size() - 1);
    std::uniform_int_distribution<int> byte(0, 255), edits(1, 4);
    int read = 0;
    for (int round = 0; round < 1500; ++round) {
        Bytes damaged = file;
        for (int e = edits(rng); e > 0; --e) {
            damaged[at(rng)] = static_cast<std::uint8_t>(byte(rng));
        }
        if (OvClump* clump = ReadClump(damaged)) {
            ++read;
            OvClumpDestroy(clump);
        } else {
            EXPECT_NE(TakeError(), ovERRNOERROR) << "round " << round;
        }
        ASSERT_EQ(LiveObjects(), 0) << "round " << round;
    }
    EXPECT_GT(read, 0);
}

TEST_F(ClumpStreamTest, NativeGeometryNeedsItsMeshesAndShortMaterialStructsLeaveZeros) {
    // A native geometry has no triangles of its own: its meshes must come with it.
    mkasset::GeometryDesc native;
    native.flags = 0x01000000 | 0x02;
    native.numVertices = 4;
    native.triangles = {{{0, 1, 2}, 0}, {{0, 2, 3}, 0}};
    native.morphTargets.resize(1);
    native.morphTargets[0].sphere[3] = 2;
    native.materialList = mkasset::MaterialListOf({Material(1, 2, 3, 255)});
    mkasset::ChunkWriter without;
    mkasset::WriteGeometry(without, native);
    EXPECT_EQ(ReadGeometry(without.Data()), nullptr);
    EXPECT_EQ(TakeError(), ovERRREAD);
    native.extensions = {mkasset::BinMeshExtension(0, {{0, {}, 6}}, true)};
    mkasset::ChunkWriter with;
    mkasset::WriteGeometry(with, native);
    OvGeometry* g = ReadGeometry(with.Data());
    ASSERT_NE(g, nullptr);
    EXPECT_EQ(g->triangles, nullptr);
    EXPECT_EQ(g->morphTarget[0].verts, nullptr);
    ASSERT_EQ(g->mesh->numMeshes, 1);
    EXPECT_EQ(OvMeshHeaderGetMeshes(g->mesh)[0].numIndices, 6u);
    EXPECT_EQ(OvMeshHeaderGetMeshes(g->mesh)[0].indices, nullptr);
    OvGeometryDestroy(g);

    // A material struct of 8 bytes: flags and colour; the factors stay 0, and no texture.
    mkasset::ChunkWriter m;
    m.Begin(mkasset::kMaterial);
    m.Begin(mkasset::kStruct);
    m.U32(0);
    for (std::uint8_t c : {9, 8, 7, 6}) {
        m.U8(c);
    }
    m.End();
    mkasset::WriteExtension(m, {});
    m.End();
    OvMaterial* material = ReadFirst<OvMaterial>(m.Data(), OvMaterialStreamRead);
    ASSERT_NE(material, nullptr);
    EXPECT_EQ(material->color.alpha, 6);
    EXPECT_EQ(material->surfaceProperties.diffuse, 0.0f);
    EXPECT_EQ(material->texture, nullptr);
    OvMaterialDestroy(material);

    OvGeometry* empty = OvGeometryCreateEmpty(3.5f);
    ASSERT_NE(empty, nullptr);
    EXPECT_EQ(empty->mesh, OvMeshHeaderGetEmpty());
    EXPECT_EQ(empty->morphTarget[0].boundingSphere.radius, 3.5f);
    OvGeometryDestroy(empty);
}

// Rights callbacks of pipeline-owner records: the object and the data word, once per record.
struct RightsCall {
    void* object;
    OvUInt32 data;
};
std::vector<RightsCall> gRights;
constexpr OvUInt32 kOwnerPlugin = 0x7001;

void RegisterOwner() {
    OvAtomicRegisterPlugin(4, kOwnerPlugin, nullptr, nullptr, nullptr);
    OvAtomicSetStreamOwnerCallback(kOwnerPlugin, [](void* object, OvInt32, OvInt32, OvUInt32 data) -> OvBool {
        gRights.push_back({object, data});
        return TRUE;
    });
}

// Pipeline-owner records read reach the rights callback (a record longer than its two words is
// passed over to the next sub-chunk); atomics, worlds, sectors and materials whose pipeline has
// an owner write its record (the owner's id and data word), without an owner nothing.
TEST(WorldPluginAttach, PipelineOwnerRecordsReadAndWritten) {
    ASSERT_TRUE(EngineUp(RegisterOwner));
    gRights.clear();
    mkasset::ClumpDesc c = RichClump();
    c.geometries[0].materialList.materials[1].textured = false;
    c.atomics[0].extensions = {mkasset::PipelineOwnerExtension(kOwnerPlugin, 42)};
    mkasset::Extension longer = mkasset::PipelineOwnerExtension(kOwnerPlugin, 7);
    longer.body.insert(longer.body.end(), {9, 9, 9, 9});
    c.atomics[1].extensions = {longer, {0x7777, {1}}};
    OvClump* clump = ReadClump(mkasset::ClumpFile(c));
    ASSERT_NE(clump, nullptr);
    ASSERT_EQ(gRights.size(), 2u);
    EXPECT_EQ(gRights[0].data, 42u);
    EXPECT_EQ(gRights[1].data, 0u); // the data word is read from a record of exactly 8 bytes
    EXPECT_EQ(gRights[1].object, FirstAtomic(clump));
    OvClumpDestroy(clump);

    OvPipeline* pipeline = OvPipelineCreate();
    ASSERT_NE(pipeline, nullptr);
    pipeline->ownerPluginId = 0x7001;
    pipeline->ownerData = 5;
    OvAtomic* atomic = OvAtomicCreate();
    OvMaterial* material = OvMaterialCreate();
    OvWorld world{};
    world.object.type = ovWORLDOBJECTTYPE;
    OvWorldSector sector{};
    const std::pair<OvPluginRegistry*, void*> owners[] = {{OvAtomicGetRegistry(), atomic},
                                                          {OvWorldGetRegistry(), &world},
                                                          {OvWorldSectorGetRegistry(), &sector},
                                                          {OvMaterialGetRegistry(), material}};
    for (const auto& [registry, object] : owners) {
        const OvPluginEntry* e = registry->firstRegEntry;
        while (e != nullptr && e->pluginID != ovPLUGINIDPIPELINEOWNER) {
            e = e->nextRegEntry;
        }
        ASSERT_NE(e, nullptr);
        atomic->pipeline = world.pipeline = sector.pipeline = material->pipeline = nullptr;
        EXPECT_EQ(e->getSizeCB(object, e->offset, e->size), 0);
        atomic->pipeline = world.pipeline = sector.pipeline = material->pipeline = pipeline;
        ASSERT_EQ(e->getSizeCB(object, e->offset, e->size), 8);
        OvStream* out = OvStreamOpen(ovSTREAMMEMORY, ovSTREAMWRITE, nullptr);
        ASSERT_EQ(e->writeCB(out, 8, object, e->offset, e->size), out);
        OvMemory written{};
        OvStreamClose(out, &written);
        ASSERT_EQ(written.length, 8u);
        EXPECT_EQ(OvChunkGetUInt32(written.start), 0x7001u);
        EXPECT_EQ(OvChunkGetUInt32(written.start + 4), 5u);
        OvFree(written.start);
    }
    atomic->pipeline = material->pipeline = nullptr;
    OvAtomicDestroy(atomic);
    OvMaterialDestroy(material);
    OvPipelineDestroy(pipeline);
    EXPECT_TRUE(OvTestEngineDown());
}

TEST(WorldPluginAttach, ExtensionsTakeTheirPlacesInAttachOrder) {
    ASSERT_TRUE(EngineUp());
    auto ids = [](const OvPluginRegistry* r) {
        std::vector<OvUInt32> out;
        // Each extension lies behind the object and the extensions registered before it.
        OvInt32 end = r->origSizeOfStruct;
        for (const OvPluginEntry* e = r->firstRegEntry; e != nullptr; e = e->nextRegEntry) {
            out.push_back(e->pluginID);
            EXPECT_GE(e->offset, end);
            EXPECT_EQ(e->offset % ovPLUGINALIGNMENT, 0);
            end = e->offset + e->size;
        }
        return out;
    };
    using V = std::vector<OvUInt32>;
    EXPECT_EQ(ids(OvGeometryGetRegistry()), (V{0x50E, 0x510, 0x50F}));
    EXPECT_EQ(ids(OvAtomicGetRegistry()), (V{0x509, 0x1F}));
    EXPECT_EQ(ids(OvClumpGetRegistry()), (V{0x509}));
    EXPECT_EQ(ids(OvMaterialGetRegistry()), (V{0x1F}));
    EXPECT_EQ(ids(OvLightGetRegistry()), (V{0x509, 0x10, 0x505}));
    EXPECT_EQ(ids(OvWorldGetRegistry()), (V{0x1F}));
    EXPECT_EQ(ids(OvWorldSectorGetRegistry()), (V{0x50E, 0x510, 0x1F, 0x50F}));
    const V cameraIds = ids(OvCameraGetRegistry());
    ASSERT_GE(cameraIds.size(), 2u);
    EXPECT_EQ(V(cameraIds.end() - 2, cameraIds.end()), (V{0x509, 0x10}));
    // Engine modules in their registration order.
    OvInt32 last = -1;
    for (OvUInt32 id : {0x501u, 0x502u, 0x503u, 0x504u, 0x505u, 0x507u, 0x509u, 0x50Fu}) {
        const OvInt32 offset = OvEngineGetPluginOffset(id);
        EXPECT_GE(offset, last) << std::hex << id;
        last = offset;
    }
    EXPECT_EQ(OvGeometryGetRegistry()->firstRegEntry->offset,
              (static_cast<OvInt32>(sizeof(OvGeometry)) + ovPLUGINALIGNMENT - 1) & ~(ovPLUGINALIGNMENT - 1));
    EXPECT_TRUE(OvTestEngineDown());
}

TEST(WorldPluginAttach, ObjectsLeftAliveAtStopAreDestroyedOnce) {
    ASSERT_TRUE(EngineUp());
    OvClump* clump = ReadClump(mkasset::ClumpFile(RichClump()));
    ASSERT_NE(clump, nullptr);
    OvLight* loose = OvLightCreate(ovLIGHTPOINT);
    ASSERT_NE(loose, nullptr);
    OvAtomic* atomic = OvAtomicCreate();
    ASSERT_NE(atomic, nullptr);
    // Nothing destroyed by hand: the engine's stop destroys the clump with its lights, then the
    // loose ones, each once (the sanitizers see a second destroy or a leak).
    EXPECT_TRUE(OvTestEngineDown());
}

} // namespace
