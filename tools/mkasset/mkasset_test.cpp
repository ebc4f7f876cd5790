// End to end: mkasset writes models that assetinfo reads through the engine, and both name bad
// arguments and files.

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <iterator>
#include <vector>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "graphics/core/chunk.h"
#include "graphics/core/image.h"
#include "graphics/core/stream.h"
#include "graphics/core/testkit/engine_fixture.h"
#include "graphics/core/testkit/memory_raster_driver.h"
#include "graphics/plugins/material_effects.h"
#include "graphics/toolkits/png_reader.h"
#include "graphics/world/clump.h"
#include "graphics/world/geometry.h"
#include "graphics/world/mesh.h"
#include "graphics/world/world.h"
#include "graphics/world/world_plugin.h"
#include "testing/scratch_dir.h"
#include "testing/tool_run.h"
#include "tools/mkasset/chunk_writer.h"

namespace {

ToolRun Mkasset(const std::string& arguments) { return RunTool(MKASSET_PROGRAM, arguments); }
ToolRun Assetinfo(const std::string& arguments) { return RunTool(ASSETINFO_PROGRAM, arguments); }
ToolRun AnimPose(const std::string& arguments) { return RunTool(ANIM_POSE_PROGRAM, arguments); }

class MkassetTest : public ::testing::Test {
protected:
    std::filesystem::path dir;
    void SetUp() override { dir = MakeTestScratchDir("dun_mkasset"); }
    void TearDown() override { std::filesystem::remove_all(dir); }
    std::string Path(const char* name) const { return (dir / name).string(); }
    std::vector<OvWorldSector*> sectors;
    std::vector<OvGeometry*> geometries;
};

TEST_F(MkassetTest, ModelsReadBackWithTheirCounts) {
    ToolRun run = Mkasset("model --kind grid --size 16 --materials 3 --out " + Path("grid.dff"));
    ASSERT_EQ(run.status, 0) << run.output;
    run = Assetinfo(Path("grid.dff"));
    ASSERT_EQ(run.status, 0) << run.output;
    EXPECT_EQ(run.output.rfind("clump atomics=1 lights=0 cameras=0 frames=1\n"
                               "geometry 0 verts=289 tris=512 morphs=1 materials=3 ",
                               0),
              0u)
        << run.output;
    EXPECT_NE(run.output.find("\natomic 0 frame=0 geometry=0 "), std::string::npos) << run.output;
    // The load's time beside the plain read's (the figures themselves depend on the machine).
    run = Assetinfo(Path("grid.dff") + " --time");
    ASSERT_EQ(run.status, 0) << run.output;
    double load = -1, read = -1, ratio = -1;
    const std::size_t at = run.output.find("\ntime ");
    ASSERT_NE(at, std::string::npos) << run.output;
    EXPECT_EQ(std::sscanf(run.output.c_str() + at, "\ntime load_ms=%lf read_ms=%lf ratio=%lf", &load, &read, &ratio), 3)
        << run.output;

    const struct {
        const char* args;
        const char* geometry;
    } shapes[] = {
        {"--kind box --size 2", "geometry 0 verts=54 tris=48 morphs=1 materials=1 "},
        {"--kind cylinder --size 8 --materials 2", "geometry 0 verts=36 tris=32 morphs=1 materials=2 "},
        {"--kind grid --size 254 --no-collision", "geometry 0 verts=65025 tris=129032 morphs=1 materials=1 "},
    };
    for (const auto& s : shapes) {
        run = Mkasset(std::string("model ") + s.args + " --out " + Path("m.dff"));
        ASSERT_EQ(run.status, 0) << run.output;
        run = Assetinfo(Path("m.dff"));
        ASSERT_EQ(run.status, 0) << run.output;
        EXPECT_NE(run.output.find(s.geometry), std::string::npos) << s.args << "\n" << run.output;
    }
}

// The meshes of a header as plain values (the materials by their list position).
std::vector<std::vector<int>> MeshValues(const OvMeshHeader* h, const OvMaterialList* list) {
    std::vector<std::vector<int>> out{{static_cast<int>(h->flags), h->numMeshes, static_cast<int>(h->totalIndicesInMesh)}};
    for (OvUInt32 m = 0; m < h->numMeshes; ++m) {
        const OvMesh& mesh = OvMeshHeaderGetMeshes(h)[m];
        out.push_back({OvMaterialListFindMaterial(list, mesh.material)});
        out.back().insert(out.back().end(), mesh.indices, mesh.indices + mesh.numIndices);
    }
    return out;
}

// Binary-mesh sub-chunks the builder wrote (type and stamp; the length between).
int StoredMeshChunks(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    const std::string bytes((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    const std::uint32_t words[2] = {mkasset::kBinMeshId, mkasset::Stamp()};
    int count = 0;
    for (std::size_t at = 0; at + 12 <= bytes.size(); ++at) {
        count += std::memcmp(bytes.data() + at, &words[0], 4) == 0 && std::memcmp(bytes.data() + at + 8, &words[1], 4) == 0;
    }
    return count;
}

// Every geometry and sector of the models and levels comes with its meshes, and they are the
// meshes a load builds from the same triangles and materials (textures and effects found as the
// game finds them).
TEST_F(MkassetTest, ModelsAndLevelsCarryTheMeshesALoadWouldBuild) {
    const struct {
        const char* args;
        const char* file;
    } files[] = {
        {"model --kind grid --size 16 --materials 3", "grid.dff"},
        {"model --kind cylinder --size 8 --materials 2 --effect env", "env.dff"},
        {"level --seed 3", "level.bsp"},
    };
    for (const auto& f : files) {
        ToolRun run = Mkasset(std::string(f.args) + " --out " + Path(f.file));
        ASSERT_EQ(run.status, 0) << run.output;
    }
    ASSERT_TRUE(OvTestEngineUp(0, [] { OvWorldPluginAttach(); OvMaterialEffectsPluginAttach(); },
                               OvTestMemoryRasterDriver()));
    OvImageRegisterFileFormat("png", OvPngImageRead, nullptr);
    for (const auto& f : files) {
        const std::string path = Path(f.file);
        const std::string stem = path.substr(0, path.rfind('.'));
        OvImageSetPath((stem + "/;" + dir.string() + "/textures/").c_str());
        OvStream* stream = OvStreamOpen(ovSTREAMFILENAME, ovSTREAMREAD, path.c_str());
        ASSERT_NE(stream, nullptr) << f.file;
        std::vector<std::pair<const OvMeshHeader*, OvMeshHeader*>> pairs; // stored, rebuilt
        std::vector<const OvMaterialList*> lists;
        OvClump* clump = nullptr;
        OvWorld* world = nullptr;
        if (OvStreamFindChunk(stream, ovCHUNKIDWORLD, nullptr, nullptr)) {
            world = OvWorldStreamRead(stream);
            ASSERT_NE(world, nullptr) << f.file;
            OvWorldForAllWorldSectors(
                world,
                [](OvWorldSector* s, void* data) {
                    auto* out = static_cast<std::vector<OvWorldSector*>*>(data);
                    out->push_back(s);
                    return s;
                },
                &sectors);
            for (OvWorldSector* s : sectors) {
                pairs.push_back({s->mesh, OvMeshHeaderBuildFromTriangles(s->triangles, s->numTriangles, &world->matList,
                                                                         s->matListWindowBase, world->flags)});
                lists.push_back(&world->matList);
            }
        } else {
            OvStreamClose(stream, nullptr);
            stream = OvStreamOpen(ovSTREAMFILENAME, ovSTREAMREAD, path.c_str());
            ASSERT_TRUE(OvStreamFindChunk(stream, ovCHUNKIDCLUMP, nullptr, nullptr)) << f.file;
            clump = OvClumpStreamRead(stream);
            ASSERT_NE(clump, nullptr) << f.file;
            OvClumpForAllAtomics(
                clump,
                [](OvAtomic* a, void* data) {
                    static_cast<std::vector<OvGeometry*>*>(data)->push_back(OvAtomicGetGeometry(a));
                    return a;
                },
                &geometries);
            for (OvGeometry* g : geometries) {
                pairs.push_back({g->mesh, OvMeshHeaderBuildFromTriangles(g->triangles, g->numTriangles, &g->matList, 0,
                                                                         g->flags)});
                lists.push_back(&g->matList);
            }
        }
        OvStreamClose(stream, nullptr);
        int withTriangles = 0;
        for (std::size_t i = 0; i < pairs.size(); ++i) {
            withTriangles += pairs[i].first->numMeshes > 0;
            ASSERT_NE(pairs[i].second, nullptr) << f.file;
            EXPECT_EQ(MeshValues(pairs[i].first, lists[i]), MeshValues(pairs[i].second, lists[i])) << f.file << " " << i;
            OvMeshHeaderDestroy(pairs[i].second);
        }
        EXPECT_EQ(StoredMeshChunks(path), withTriangles) << f.file;
        EXPECT_GT(withTriangles, 0) << f.file;
        sectors.clear();
        geometries.clear();
        if (world != nullptr) {
            OvWorldDestroy(world);
        }
        if (clump != nullptr) {
            OvClumpDestroy(clump);
        }
    }
    OvTestEngineDown();
}

// A character, a walk for it and its pose a quarter of the way through: one line a bone, the
// pelvis at the bottom of its bob.
TEST_F(MkassetTest, CharacterWalkPoses) {
    ToolRun run = Mkasset("character --bones 20 --out " + Path("soldier.dff"));
    ASSERT_EQ(run.status, 0) << run.output;
    run = Mkasset("anim --for " + Path("soldier.dff") + " --kind walk --seconds 1 --out " + Path("walk.anm"));
    ASSERT_EQ(run.status, 0) << run.output;
    run = AnimPose(Path("soldier.dff") + " " + Path("walk.anm") + " --t 0.25");
    ASSERT_EQ(run.status, 0) << run.output;
    int lines = 0;
    for (std::size_t at = run.output.find("node "); at != std::string::npos; at = run.output.find("\nnode ", at + 1)) {
        ++lines;
    }
    EXPECT_EQ(lines, 20) << run.output;
    EXPECT_NE(run.output.find("node 0 right=1.00000,0.00000,0.00000 up=0.00000,1.00000,0.00000 "
                              "at=0.00000,0.00000,1.00000 pos=0.00000,0.97000,0.00000\n"),
              std::string::npos)
        << run.output;
    for (const char* kind : {"idle", "bend"}) {
        run =
            Mkasset("anim --for " + Path("soldier.dff") + " --kind " + kind + " --seconds 2.5 --out " + Path("a.anm"));
        ASSERT_EQ(run.status, 0) << run.output;
        EXPECT_EQ(AnimPose(Path("soldier.dff") + " " + Path("a.anm") + " --t 7").status, 0) << kind;
    }
    // A file that is not an animation.
    run = AnimPose(Path("soldier.dff") + " " + Path("soldier.dff") + " --t 0");
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.output.find("cannot read an animation"), std::string::npos) << run.output;
    EXPECT_EQ(Mkasset("character --bones 37 --out " + Path("x.dff")).status, 2);
    EXPECT_EQ(Mkasset("anim --for " + Path("soldier.dff") + " --kind run --seconds 1 --out x").status, 2);
    EXPECT_EQ(Mkasset("anim --for " + Path("soldier.dff") + " --kind walk --seconds 0 --out x").status, 2);
    EXPECT_EQ(AnimPose(Path("soldier.dff") + " " + Path("walk.anm") + " --t -1").status, 2);
}

TEST_F(MkassetTest, TexturedModelNamesItsImage) {
    std::ofstream(Path("stone.png")) << "not read by the builder";
    ToolRun run = Mkasset("model --kind box --size 1 --texture " + Path("stone.png") + " --out " + Path("b.dff"));
    ASSERT_EQ(run.status, 0) << run.output;
    std::ifstream file(Path("b.dff"), std::ios::binary);
    const std::string bytes((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    EXPECT_NE(bytes.find(std::string("stone\0\0\0", 8)), std::string::npos);
    // The engine finds no image of that name: the material stays untextured and the model reads.
    run = Assetinfo(Path("b.dff"));
    EXPECT_EQ(run.status, 0) << run.output;

    run = Mkasset("model --kind box --size 1 --texture " + Path("missing.png") + " --out " + Path("c.dff"));
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.output.find("missing.png"), std::string::npos) << run.output;
}

// An effect model: its texture beside it, and assetinfo reads the marked clump.
TEST_F(MkassetTest, EffectModelsWriteTheirTexture) {
    for (const char* effect : {"bump", "env", "dual"}) {
        const std::string out = Path((std::string(effect) + ".dff").c_str());
        ToolRun run = Mkasset("model --kind box --size 2 --effect " + std::string(effect) + " --out " + out);
        ASSERT_EQ(run.status, 0) << run.output;
        run = Assetinfo(out);
        EXPECT_EQ(run.status, 0) << run.output;
    }
    for (const char* texture : {"fxgrain.png", "fxsky.png", "fxdetail.png"}) {
        EXPECT_TRUE(std::ifstream(Path(texture)).good()) << texture;
    }
}

TEST_F(MkassetTest, BadCommandLinesNameTheArgument) {
    const struct {
        const char* args;
        const char* named;
    } cases[] = {
        {"model --kind sphere --size 2 --out x.dff", "sphere"},
        {"model --kind box --size 2 --effect shiny --out x.dff", "shiny"},
        {"model --kind grid --size 0 --out x.dff", "--size"},
        {"model --kind grid --size 255 --out x.dff", "--size 255"},
        {"model --kind grid --size 254 --out x.dff", "--no-collision"}, // too many triangles for collision data
        {"model --kind box --size 104 --out x.dff", "--size 104"},
        {"model --kind cylinder --size 2 --out x.dff", "--size"},
        {"model --kind grid --size 2 --materials 0 --out x.dff", "--materials"},
        {"model --kind grid --size 2", "--out"},
        {"model --kind grid --size 2 --colour red --out x.dff", "--colour"},
        {"model --kind grid --size", "--size"},
        {"sculpt", "sculpt"},
    };
    for (const auto& c : cases) {
        const ToolRun run = Mkasset(c.args);
        EXPECT_EQ(run.status, 2) << c.args;
        EXPECT_NE(run.output.find(c.named), std::string::npos) << c.args << "\n" << run.output;
    }
    EXPECT_EQ(Mkasset("").status, 2);
    ToolRun help = Mkasset("--help");
    EXPECT_EQ(help.status, 0);
    EXPECT_NE(help.output.find("model"), std::string::npos);
    EXPECT_EQ(Mkasset("model --help").status, 0);
    EXPECT_EQ(Assetinfo("").status, 2);
    EXPECT_EQ(Assetinfo("--help").status, 0);
    EXPECT_EQ(Assetinfo("--verbose x").status, 2);
}

TEST_F(MkassetTest, FilesThatDoNotReadGiveOneLineAndStatusOne) {
    ASSERT_EQ(Mkasset("model --kind grid --size 4 --out " + Path("g.dff")).status, 0);
    std::ifstream in(Path("g.dff"), std::ios::binary);
    std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::ofstream(Path("cut.dff"), std::ios::binary) << bytes.substr(0, bytes.size() / 2);
    for (const char* name : {"cut.dff", "absent.dff"}) {
        const ToolRun run = Assetinfo(Path(name));
        EXPECT_EQ(run.status, 1) << name;
        EXPECT_EQ(std::count(run.output.begin(), run.output.end(), '\n'), 1) << run.output;
        EXPECT_NE(run.output.find(Path(name)), std::string::npos) << run.output;
        EXPECT_NE(run.output.find("error 0x"), std::string::npos) << run.output;
    }
    // The model behind a chunk of an unknown kind holding one inside the other 100,000 deep: the
    // model reads, and the timed plain read refuses to walk down so far.
    constexpr std::size_t kDepth = 100000;
    std::string nested;
    for (std::size_t i = 0; i < kDepth; ++i) {
        const auto body = static_cast<std::uint32_t>(12 * (kDepth - 1 - i));
        for (std::uint32_t word : {0x7F00u, body}) {
            for (int b = 0; b < 4; ++b) {
                nested.push_back(static_cast<char>(word >> (8 * b)));
            }
        }
        nested.append(bytes, 8, 4); // the model's own version stamp
    }
    std::ofstream(Path("nested.dff"), std::ios::binary) << nested << bytes;
    ASSERT_EQ(Assetinfo(Path("nested.dff")).status, 0);
    const ToolRun timed = Assetinfo(Path("nested.dff") + " --time");
    EXPECT_EQ(timed.status, 1) << timed.output;
    EXPECT_NE(timed.output.find(Path("nested.dff") + ": plain read failed"), std::string::npos) << timed.output;
}

TEST_F(MkassetTest, LevelsReadBackWithASectorLineEachAndTheVisibleCount) {
    ToolRun run = Mkasset("level --seed 1 --out " + Path("level.bsp"));
    ASSERT_EQ(run.status, 0) << run.output;
    run = Assetinfo(Path("level.bsp") + " --camera 0,1.7,0,0,0");
    ASSERT_EQ(run.status, 0) << run.output;
    int sectors = -1, planes = -1, tris = -1, verts = -1, materials = -1;
    ASSERT_EQ(std::sscanf(run.output.c_str(), "world sectors=%d planes=%d tris=%d verts=%d materials=%d", &sectors,
                          &planes, &tris, &verts, &materials),
              5)
        << run.output;
    EXPECT_EQ(planes, sectors - 1);
    EXPECT_EQ(materials, 3);
    // One line per sector in order, their counts adding up, each within the default limit.
    std::istringstream lines(run.output);
    std::string line;
    std::getline(lines, line);
    int sumTris = 0, sumVerts = 0, index = 0;
    while (std::getline(lines, line) && line.rfind("sector ", 0) == 0) {
        int i = -1, t = -1, v = -1;
        ASSERT_EQ(std::sscanf(line.c_str(), "sector %d tris=%d verts=%d", &i, &t, &v), 3) << line;
        EXPECT_EQ(i, index++);
        EXPECT_LE(t, 255);
        sumTris += t;
        sumVerts += v;
    }
    EXPECT_EQ(index, sectors);
    EXPECT_EQ(sumTris, tris);
    EXPECT_EQ(sumVerts, verts);
    int visible = -1;
    ASSERT_EQ(std::sscanf(line.c_str(), "visible sectors=%d", &visible), 1) << line;
    EXPECT_GT(visible, 0);
    EXPECT_LT(visible, sectors);

    // The same arguments write the same bytes; a tighter limit makes more sectors.
    ASSERT_EQ(Mkasset("level --seed 1 --out " + Path("again.bsp")).status, 0);
    std::ifstream a(Path("level.bsp"), std::ios::binary), b(Path("again.bsp"), std::ios::binary);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(a), {}), std::string(std::istreambuf_iterator<char>(b), {}));
    ASSERT_EQ(Mkasset("level --seed 4 --size 20 --boxes 3 --max-tris 40 --out " + Path("small.bsp")).status, 0);
    run = Assetinfo(Path("small.bsp"));
    ASSERT_EQ(run.status, 0) << run.output;
    ASSERT_EQ(std::sscanf(run.output.c_str(), "world sectors=%d", &sectors), 1);
    EXPECT_GE(sectors, 800 / 40);
    EXPECT_EQ(run.output.find("visible"), std::string::npos);

    const char* bad[] = {"level --out x.bsp",
                         "level --seed 1",
                         "level --seed -1 --out x.bsp",
                         "level --seed 1 --size 3 --out x.bsp",
                         "level --seed 1 --boxes 10001 --out x.bsp",
                         "level --seed 1 --max-tris 0 --out x.bsp",
                         "level --seed 1 --rooms 2 --out x.bsp"};
    for (const char* args : bad) {
        run = Mkasset(args);
        EXPECT_EQ(run.status, 2) << args;
        EXPECT_NE(run.output.find("level"), std::string::npos) << run.output;
    }
    EXPECT_EQ(Mkasset("level --help").status, 0);
    for (const char* camera : {"1,2,3", "1,2,3,4,x", "1,2,3,4,5,6"}) {
        run = Assetinfo(Path("level.bsp") + " --camera " + camera);
        EXPECT_EQ(run.status, 2) << camera;
        EXPECT_NE(run.output.find("--camera"), std::string::npos) << run.output;
    }
}

} // namespace
