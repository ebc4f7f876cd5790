// Binary meshes against random triangle soups (duplicates, degenerate triangles, edges shared
// by many, materials repeated in the list and translucent ones): the meshes expand back to the
// triangles given, one mesh a material, translucent meshes last; the edge search by hash gives
// the strips of the plain newest-first search; the list passes agree with a plain re-run; the
// mesh sub-chunk writes what the builder writes and reads back; lists built from a window of a
// material list are the plain sort-and-passes build of its triangles; a sweep of the asset
// builder's shapes, levels and characters, fans and soups gives the recorded meshes.

#include <algorithm>
#include <array>
#include <cstring>
#include <map>
#include <random>
#include <set>
#include <string>
#include <tuple>

#include "graphics/core/chunk.h"
#include "graphics/core/pipeline.h"
#include "graphics/core/raster.h"
#include "graphics/core/texture.h"
#include "graphics/world/geometry.h"
#include "graphics/world/material.h"
#include "graphics/world/mesh.h"
#include "graphics/world/stored_arrays.h"
#include "graphics/world/tests/world_test_kit.h"
#include "tools/mkasset/demo_level.h"
#include "tools/mkasset/level_builder.h"
#include "tools/mkasset/shapes.h"
#include "tools/mkasset/soldier.h"

namespace {

using namespace worldtest;
using Tri = std::array<OvUInt16, 3>;

struct SoupTriangle {
    Tri v;
    int slot; // index into the material list
};

class MeshTest : public WorldTest {
protected:
    OvMaterialList list = {nullptr, 0, 0};
    std::vector<OvMaterial*> made;
    OvRaster rasters[2] = {};
    OvTexture* textures[3] = {};
    OvPipeline* pipelines[2] = {};

    void SetUp() override {
        WorldTest::SetUp();
        OvMaterialListInitialize(&list);
    }
    void TearDown() override {
        ReleaseVariedMaterials();
        OvMaterialListDeinitialize(&list);
        WorldTest::TearDown();
    }
    OvMaterial* NewMaterial(OvUInt8 alpha) {
        OvMaterial* m = OvMaterialCreate();
        m->color.alpha = alpha;
        OvMaterialListAppendMaterial(&list, m);
        OvMaterialDestroy(m); // the list's reference keeps it
        made.push_back(m);
        return m;
    }
    void Repeat(int slot) { OvMaterialListAppendMaterial(&list, list.materials[slot]); }

    // Materials that differ in every key the order looks at: textures over rasters with and
    // without alpha, pipelines, translucent colours, and entries repeated in the list. The engine
    // runs without a device: the textures' rasters are records that carry a format.
    void VariedMaterials(unsigned seed, int count) {
        rasters[0].cFormat = static_cast<OvUInt8>(ovRASTERFORMAT888 >> 8);
        rasters[1].cFormat = static_cast<OvUInt8>(ovRASTERFORMAT8888 >> 8);
        for (int i = 0; i < 3; ++i) {
            textures[i] = OvTextureCreate(nullptr);
            textures[i]->raster = &rasters[i == 1 ? 1 : 0];
        }
        pipelines[0] = OvPipelineCreate();
        pipelines[1] = OvPipelineCreate();
        std::mt19937 rng(seed);
        for (int i = 0; i < count; ++i) {
            const int pick = std::uniform_int_distribution<int>(0, 9)(rng);
            if (pick == 0 && list.numMaterials > 0) {
                Repeat(std::uniform_int_distribution<int>(0, list.numMaterials - 1)(rng));
                continue;
            }
            OvMaterial* m = NewMaterial(pick == 1 ? 128 : 255);
            const int texture = std::uniform_int_distribution<int>(0, 3)(rng);
            if (texture < 3) {
                OvMaterialSetTexture(m, textures[texture]);
            }
            const int pipeline = std::uniform_int_distribution<int>(0, 2)(rng);
            m->pipeline = pipeline < 2 ? pipelines[pipeline] : nullptr;
        }
    }
    void ReleaseVariedMaterials() {
        for (OvTexture*& t : textures) {
            if (t != nullptr) {
                t->raster = nullptr;
                OvTextureDestroy(t);
                t = nullptr;
            }
        }
        for (OvInt32 i = 0; i < list.numMaterials; ++i) {
            list.materials[i]->pipeline = nullptr;
        }
        for (OvPipeline*& p : pipelines) {
            if (p != nullptr) {
                OvPipelineDestroy(p);
                p = nullptr;
            }
        }
    }

    OvMeshBuilder* Builder(const std::vector<SoupTriangle>& soup) {
        OvMeshBuilder* b = OvMeshBuilderCreate(static_cast<OvInt32>(soup.size()));
        for (const SoupTriangle& t : soup) {
            OvMaterial* m = list.materials[t.slot];
            // Ranks as the geometry gives them: order of first appearance (all materials untextured).
            OvMeshBuilderAddTriangle(b, m, t.v[0], t.v[1], t.v[2], static_cast<OvUInt16>(t.slot), 0, 0, 0);
        }
        return b;
    }
    OvMeshHeader* Build(const std::vector<SoupTriangle>& soup, OvUInt32 flags) {
        OvMeshBuilder* b = Builder(soup);
        OvMeshHeader* h = OvMeshHeaderBuild(b, flags);
        if (h == nullptr) {
            OvMeshBuilderDestroy(b);
        }
        return h;
    }
};

bool Degenerate(const Tri& t) { return t[0] == t[1] || t[1] == t[2] || t[0] == t[2]; }

// The triangle rotated so that its smallest index comes first (the winding kept).
Tri Canonical(Tri t) {
    while (t[0] > t[1] || t[0] > t[2]) {
        t = {t[1], t[2], t[0]};
    }
    return t;
}

using Multiset = std::map<std::pair<const OvMaterial*, Tri>, int>;

Multiset Expand(const OvMeshHeader* h, bool dropDegenerate) {
    Multiset out;
    const OvMesh* meshes = OvMeshHeaderGetMeshes(h);
    for (OvUInt32 m = 0; m < h->numMeshes; ++m) {
        const OvMesh& mesh = meshes[m];
        std::vector<Tri> tris;
        if (h->flags == ovMESHHEADERTRISTRIP) {
            for (OvUInt32 i = 0; i + 2 < mesh.numIndices; ++i) {
                const OvUInt16* s = mesh.indices + i;
                tris.push_back(i % 2 == 0 ? Tri{s[0], s[1], s[2]} : Tri{s[1], s[0], s[2]});
            }
        } else {
            for (OvUInt32 i = 0; i + 2 < mesh.numIndices; i += 3) {
                tris.push_back({mesh.indices[i], mesh.indices[i + 1], mesh.indices[i + 2]});
            }
        }
        for (const Tri& t : tris) {
            if (!dropDegenerate || !Degenerate(t)) {
                out[{mesh.material, Canonical(t)}]++;
            }
        }
    }
    return out;
}

Multiset SoupSet(const std::vector<SoupTriangle>& soup, const OvMaterialList& list, bool dropDegenerate) {
    Multiset out;
    for (const SoupTriangle& t : soup) {
        if (!dropDegenerate || !Degenerate(t.v)) {
            out[{list.materials[t.slot], Canonical(t.v)}]++;
        }
    }
    return out;
}

std::vector<SoupTriangle> RandomSoup(std::mt19937& rng, int slots) {
    const int n = std::uniform_int_distribution<int>(1, 300)(rng);
    const int verts = std::uniform_int_distribution<int>(3, n / 2 + 4)(rng);
    std::uniform_int_distribution<int> vertex(0, verts - 1), slot(0, slots - 1), kind(0, 9);
    std::vector<SoupTriangle> soup;
    for (int i = 0; i < n; ++i) {
        SoupTriangle t;
        const int k = kind(rng);
        if (k == 0 && !soup.empty()) {
            t = soup[std::uniform_int_distribution<std::size_t>(0, soup.size() - 1)(rng)]; // duplicate
        } else if (k == 1 && !soup.empty()) {
            t = soup[std::uniform_int_distribution<std::size_t>(0, soup.size() - 1)(rng)];
            std::swap(t.v[0], t.v[1]); // the same triangle seen from the other side
        } else {
            for (OvUInt16& v : t.v) {
                v = static_cast<OvUInt16>(vertex(rng));
            }
            if (k == 2) {
                t.v[2] = t.v[0]; // degenerate
            }
            t.slot = slot(rng);
        }
        soup.push_back(t);
    }
    return soup;
}

void ExpectMaterialOrder(const OvMeshHeader* h) {
    const OvMesh* meshes = OvMeshHeaderGetMeshes(h);
    std::set<const OvMaterial*> seen;
    bool translucent = false;
    for (OvUInt32 m = 0; m < h->numMeshes; ++m) {
        EXPECT_TRUE(seen.insert(meshes[m].material).second) << "a material in two meshes";
        const bool t = meshes[m].material->color.alpha < 255;
        EXPECT_FALSE(translucent && !t) << "an opaque mesh after a translucent one";
        translucent = translucent || t;
    }
}

TEST_F(MeshTest, RandomSoupsExpandBackToTheirTriangles) {
    NewMaterial(255);
    NewMaterial(200);
    NewMaterial(255);
    Repeat(0);
    NewMaterial(254);
    for (unsigned seed = 1; seed <= 60; ++seed) {
        std::mt19937 rng(seed);
        const std::vector<SoupTriangle> soup = RandomSoup(rng, list.numMaterials);
        OvMeshHeader* lists = Build(soup, ovMESHHEADERTRILIST);
        OvMeshHeader* strips = Build(soup, ovMESHHEADERTRISTRIP);
        ASSERT_NE(lists, nullptr);
        ASSERT_NE(strips, nullptr);
        EXPECT_EQ(lists->totalIndicesInMesh, 3 * soup.size()) << seed;
        EXPECT_EQ(Expand(lists, false), SoupSet(soup, list, false)) << "lists, seed " << seed;
        EXPECT_EQ(Expand(strips, true), SoupSet(soup, list, true)) << "strips, seed " << seed;
        ExpectMaterialOrder(lists);
        ExpectMaterialOrder(strips);
        EXPECT_NE(lists->serialNum, strips->serialNum);
        OvMeshHeaderDestroy(lists);
        OvMeshHeaderDestroy(strips);
    }
}

bool SameHeader(const OvMeshHeader* a, const OvMeshHeader* b) {
    if (a->flags != b->flags || a->numMeshes != b->numMeshes || a->totalIndicesInMesh != b->totalIndicesInMesh) {
        return false;
    }
    for (OvUInt32 m = 0; m < a->numMeshes; ++m) {
        const OvMesh& x = OvMeshHeaderGetMeshes(a)[m];
        const OvMesh& y = OvMeshHeaderGetMeshes(b)[m];
        if (x.material != y.material || x.numIndices != y.numIndices ||
            !std::equal(x.indices, x.indices + x.numIndices, y.indices)) {
            return false;
        }
    }
    return true;
}

TEST_F(MeshTest, EdgeHashGivesTheStripsOfThePlainSearch) {
    NewMaterial(255);
    NewMaterial(255);
    for (unsigned seed = 100; seed < 140; ++seed) {
        std::mt19937 rng(seed);
        const std::vector<SoupTriangle> soup = RandomSoup(rng, list.numMaterials);
        OvMeshSetStripEdgeHash(FALSE);
        OvMeshHeader* plain = Build(soup, ovMESHHEADERTRISTRIP);
        OvMeshSetStripEdgeHash(TRUE);
        OvMeshHeader* hashed = Build(soup, ovMESHHEADERTRISTRIP);
        ASSERT_NE(plain, nullptr);
        ASSERT_NE(hashed, nullptr);
        EXPECT_TRUE(SameHeader(plain, hashed)) << "seed " << seed;
        OvMeshHeaderDestroy(plain);
        OvMeshHeaderDestroy(hashed);
    }
}

TEST_F(MeshTest, ListPassesPlaceVertexDisjointTrianglesInOrder) {
    NewMaterial(255);
    for (unsigned seed = 200; seed < 230; ++seed) {
        std::mt19937 rng(seed);
        std::vector<SoupTriangle> soup = RandomSoup(rng, 1);
        // Every other seed adds a fan round one vertex: 40 or 100 triangles, as many passes,
        // the larger more than the per-vertex pass masks hold.
        const int fan = seed % 2 != 0 ? 0 : seed % 4 == 0 ? 40 : 100;
        for (int i = 0; i < fan; ++i) {
            soup.insert(soup.begin() + static_cast<std::ptrdiff_t>(soup.size() / 2),
                        {{0, static_cast<OvUInt16>(i + 1), static_cast<OvUInt16>(i + 2)}, 0});
        }
        // Plain passes over the builder's order.
        std::vector<OvTriangle> triangles;
        for (const SoupTriangle& t : soup) {
            triangles.push_back({{t.v[0], t.v[1], t.v[2]}, 0});
        }
        OvMeshHeader* h = Build(soup, ovMESHHEADERTRILIST);
        ASSERT_NE(h, nullptr);
        EXPECT_TRUE(HoldsMeshes(h, ReferenceLists(triangles.data(), static_cast<OvInt32>(triangles.size()), list, 0)))
            << "seed " << seed;
        OvMeshHeaderDestroy(h);
    }
}

TEST_F(MeshTest, SmallCasesStripAsWorkedByHand) {
    NewMaterial(255);
    // Each case's strip was worked by hand through the stripper's steps: adjacency newest first,
    // degree buckets, the start edge chosen by which edges of the first triangle are open, the
    // forward and backward walks, then the joins.
    struct Case {
        const char* name;
        std::vector<Tri> tris;
        std::vector<OvUInt16> strip;
    };
    const std::vector<Case> cases = {
        // Opposite winding across the shared edge: one strip of four indices.
        {"pair", {{0, 1, 2}, {2, 1, 3}}, {3, 2, 1, 0}},
        // The same winding: two strips joined by repeated indices.
        {"same winding", {{0, 1, 2}, {1, 2, 3}}, {0, 1, 2, 1, 1, 2, 3}},
        // Three in a row, the middle one last: the first triangle taken is the older of an edge
        // whose other triangle is still free, so that edge is open and the walk crosses it.
        {"row", {{0, 1, 2}, {2, 3, 4}, {2, 1, 3}}, {0, 1, 2, 2, 4, 4, 4, 2, 3, 1}},
        // A grid of 2 x 2 quads over vertices 0..8, row by row.
        {"grid",
         {{0, 3, 1}, {1, 3, 4}, {1, 4, 2}, {2, 4, 5}, {3, 6, 4}, {4, 6, 7}, {4, 7, 5}, {5, 7, 8}},
         {5, 2, 4, 1, 3, 0, 0, 8, 8, 5, 7, 4, 6, 3}},
        // A closed fan round vertex 0: the backward walk swaps at every step.
        {"fan",
         {{0, 1, 2}, {0, 2, 3}, {0, 3, 4}, {0, 4, 5}, {0, 5, 6}, {0, 6, 1}},
         {4, 5, 4, 0, 3, 0, 2, 0, 1, 0, 6, 5}},
    };
    for (const Case& c : cases) {
        std::vector<SoupTriangle> soup;
        for (const Tri& t : c.tris) {
            soup.push_back({t, 0});
        }
        OvMeshHeader* h = Build(soup, ovMESHHEADERTRISTRIP);
        ASSERT_NE(h, nullptr) << c.name;
        EXPECT_EQ(Expand(h, true), SoupSet(soup, list, true)) << c.name;
        const OvMesh& mesh = OvMeshHeaderGetMeshes(h)[0];
        EXPECT_EQ(std::vector<OvUInt16>(mesh.indices, mesh.indices + mesh.numIndices), c.strip) << c.name;
        OvMeshHeaderDestroy(h);
    }
    // No triangles: the static empty header, which destroy leaves alone.
    OvMeshBuilder* empty = OvMeshBuilderCreate(0);
    OvMeshHeader* h = OvMeshHeaderBuild(empty, ovMESHHEADERTRISTRIP);
    EXPECT_EQ(h, OvMeshHeaderGetEmpty());
    OvMeshHeaderDestroy(h);
    EXPECT_EQ(OvMeshHeaderGetEmpty()->numMeshes, 0);
    // Lists of a builder without triangles: a header of no meshes.
    empty = OvMeshBuilderCreate(0);
    h = OvMeshBuildTriangleLists(empty);
    ASSERT_NE(h, nullptr);
    EXPECT_EQ(h->numMeshes, 0);
    EXPECT_EQ(h->totalIndicesInMesh, 0u);
    OvMeshHeaderDestroy(h);
    OvMeshBuilderDestroy(empty);
}

TEST_F(MeshTest, MeshSubChunkWritesWhatTheBuilderWritesAndReadsBack) {
    NewMaterial(255);
    NewMaterial(128);
    Repeat(0);
    std::mt19937 rng(7);
    const std::vector<SoupTriangle> soup = RandomSoup(rng, list.numMaterials);
    for (OvUInt32 flags : {ovMESHHEADERTRILIST, ovMESHHEADERTRISTRIP}) {
        OvMeshHeader* h = Build(soup, flags);
        ASSERT_NE(h, nullptr);
        std::vector<mkasset::MeshDesc> meshes;
        OvUInt16 largest = 0;
        for (OvUInt32 m = 0; m < h->numMeshes; ++m) {
            const OvMesh& mesh = OvMeshHeaderGetMeshes(h)[m];
            mkasset::MeshDesc d;
            d.material = static_cast<std::uint32_t>(OvMaterialListFindMaterial(&list, mesh.material));
            d.indices.assign(mesh.indices, mesh.indices + mesh.numIndices);
            largest = std::max(largest, *std::max_element(d.indices.begin(), d.indices.end()));
            meshes.push_back(d);
        }
        OvStream* out = OvStreamOpen(ovSTREAMMEMORY, ovSTREAMWRITE, nullptr);
        ASSERT_NE(OvMeshHeaderStreamWrite(h, FALSE, out, &list), nullptr);
        OvMemory memory = {};
        OvStreamClose(out, &memory);
        const Bytes written(memory.start, memory.start + memory.length);
        OvFree(memory.start);
        EXPECT_EQ(written, mkasset::BinMeshExtension(flags, meshes).body);
        EXPECT_EQ(OvMeshHeaderStreamGetSize(h, FALSE), static_cast<OvInt32>(written.size()));
        EXPECT_EQ(OvMeshHeaderStreamGetSize(h, TRUE), static_cast<OvInt32>(12 + 8 * h->numMeshes));

        OvStream* in = OpenBytes(written);
        OvMeshHeader* back =
            OvMeshHeaderStreamRead(in, static_cast<OvInt32>(written.size()), FALSE, &list, largest + 1);
        OvStreamClose(in, nullptr);
        ASSERT_NE(back, nullptr);
        // The material named by the last of equal list entries is the same material.
        EXPECT_TRUE(SameHeader(h, back));
        OvMeshHeaderDestroy(back);
        // A body longer than its counts: read as they say, the rest passed over, whether the
        // body lies in the stream's memory or comes piece by piece.
        Bytes longer = written;
        longer.insert(longer.end(), {1, 2, 3, 4, 0xA1, 0xB2, 0xC3, 0xD4});
        Bytes after = longer;
        after.insert(after.end(), {0x5A});
        worldtest::PieceSource pieces{&after, 0};
        for (OvStream* s : {OpenBytes(after), worldtest::OpenPieceByPiece(&pieces)}) {
            back = OvMeshHeaderStreamRead(s, static_cast<OvInt32>(longer.size()), FALSE, &list, largest + 1);
            ASSERT_NE(back, nullptr);
            EXPECT_TRUE(SameHeader(h, back));
            OvMeshHeaderDestroy(back);
            OvUInt8 next = 0;
            EXPECT_EQ(OvStreamRead(s, &next, 1), 1u);
            EXPECT_EQ(next, 0x5A);
            OvStreamClose(s, nullptr);
        }
        // A header of a kind no primitive has is refused.
        Bytes unknownKind = written;
        unknownKind[0] = 3;
        in = OpenBytes(unknownKind);
        EXPECT_EQ(OvMeshHeaderStreamRead(in, static_cast<OvInt32>(written.size()), FALSE, &list, largest + 1), nullptr);
        OvStreamClose(in, nullptr);
        EXPECT_EQ(TakeError(), ovERRREAD);
        // The unindexed flag with a kind reads (the meshes draw the owner's vertices in turn), up
        // to as many vertices as the owner has.
        Bytes unindexed = written;
        unindexed[1] = 1; // 0x100
        const auto total = static_cast<OvInt32>(h->totalIndicesInMesh);
        ASSERT_GT(total - 1, static_cast<OvInt32>(largest));
        in = OpenBytes(unindexed);
        back = OvMeshHeaderStreamRead(in, static_cast<OvInt32>(written.size()), FALSE, &list, total);
        OvStreamClose(in, nullptr);
        ASSERT_NE(back, nullptr);
        EXPECT_EQ(back->flags, flags | ovMESHHEADERUNINDEXED);
        OvMeshHeaderDestroy(back);
        in = OpenBytes(unindexed);
        EXPECT_EQ(OvMeshHeaderStreamRead(in, static_cast<OvInt32>(written.size()), FALSE, &list, total - 1), nullptr);
        OvStreamClose(in, nullptr);
        EXPECT_EQ(TakeError(), ovERRREAD);
        // One vertex fewer: an index names a vertex the owner does not have.
        in = OpenBytes(written);
        EXPECT_EQ(OvMeshHeaderStreamRead(in, static_cast<OvInt32>(written.size()), FALSE, &list, largest), nullptr);
        OvStreamClose(in, nullptr);
        EXPECT_EQ(TakeError(), ovERRREAD);
        OvMeshHeaderDestroy(h);
    }
}

TEST(StoredArrays, TrianglesDecodeAndBoundAsAPlainLoop) {
    // Every count up to 40 (the four- and two-wide steps and every rest), values at the extremes of
    // the unsigned range; decoded into another array and in place, and bounded as records; the
    // largest of plain 16-bit values, and of short runs of stored ones.
    std::mt19937 rng(5);
    const OvUInt16 extremes[] = {0, 1, 0x7FFF, 0x8000, 0xFFFE, 0xFFFF};
    const auto value = [&] {
        return rng() % 2 != 0 ? extremes[rng() % std::size(extremes)] : static_cast<OvUInt16>(rng());
    };
    for (std::size_t count = 0; count <= 40; ++count) {
        for (int trial = 0; trial < 8; ++trial) {
            std::vector<OvUInt8> stored(8 * count);
            std::vector<OvTriangle> plain(count);
            OvStoredTriangleBounds want = {0, 0, 0xFFFF};
            for (std::size_t t = 0; t < count; ++t) {
                // Stored: vertex 1, vertex 0, material, vertex 2, little-endian.
                plain[t] = {{value(), value(), value()}, trial % 4 == 0 ? ovTRIANGLENOMATERIAL : value()};
                const OvUInt16 words[4] = {plain[t].vertIndex[1], plain[t].vertIndex[0], plain[t].matIndex,
                                           plain[t].vertIndex[2]};
                for (int w = 0; w < 4; ++w) {
                    stored[8 * t + 2 * w] = static_cast<OvUInt8>(words[w]);
                    stored[8 * t + 2 * w + 1] = static_cast<OvUInt8>(words[w] >> 8);
                }
                want.largestVertex = std::max({want.largestVertex, plain[t].vertIndex[0], plain[t].vertIndex[1],
                                               plain[t].vertIndex[2]});
                want.largestMaterial = std::max(want.largestMaterial, plain[t].matIndex);
                want.smallestMaterial = std::min(want.smallestMaterial, plain[t].matIndex);
            }
            const std::string name = std::to_string(count) + " triangles, trial " + std::to_string(trial);
            const auto same = [&](const OvStoredTriangleBounds& got, const std::vector<OvTriangle>& read,
                                  const char* how) {
                EXPECT_EQ(got.largestVertex, want.largestVertex) << name << how;
                EXPECT_EQ(got.largestMaterial, want.largestMaterial) << name << how;
                EXPECT_EQ(got.smallestMaterial, want.smallestMaterial) << name << how;
                for (std::size_t t = 0; t < read.size(); ++t) {
                    ASSERT_EQ(std::memcmp(&read[t], &plain[t], sizeof(OvTriangle)), 0) << name << how << " " << t;
                }
            };
            std::vector<OvTriangle> out(count);
            same(OvDecodeStoredTriangles(stored.data(), out.data(), count), out, ", decoded");
            std::vector<OvTriangle> inPlace(count);
            std::copy(stored.begin(), stored.end(), reinterpret_cast<OvUInt8*>(inPlace.data()));
            same(OvDecodeStoredTriangles(reinterpret_cast<const OvUInt8*>(inPlace.data()), inPlace.data(), count),
                 inPlace, ", in place");
            same(OvBoundTriangles(reinterpret_cast<const OvUInt8*>(plain.data()), count), {}, ", bounded");
            // Plain 16-bit values, every length up to 122.
            std::vector<OvUInt16> words(3 * count + trial % 3);
            std::generate(words.begin(), words.end(), value);
            const OvUInt16 largest = words.empty() ? 0 : *std::max_element(words.begin(), words.end());
            EXPECT_EQ(OvLargestUInt16(words.data(), words.size()), largest) << name;
            EXPECT_EQ(OvLargestUInt16Wide(words.data(), words.size()), largest) << name << ", wide";
            // Up to sixteen stored just before an end, behind bytes larger than any of them.
            if (words.size() <= 16) {
                std::vector<OvUInt8> bytes(40, 0xFF);
                OvUInt8* const end = bytes.data() + 36;
                OvUInt8* const start = end - 2 * words.size();
                for (std::size_t w = 0; w < words.size(); ++w) {
                    start[2 * w] = static_cast<OvUInt8>(words[w]);
                    start[2 * w + 1] = static_cast<OvUInt8>(words[w] >> 8);
                }
                EXPECT_EQ(OvLargestStoredUInt16Before(end, words.size()), largest) << name << ", stored";
            }
        }
    }
}

TEST_F(MeshTest, StoredIndicesReadAsAPlainLoopReadsThem) {
    // Bodies of one mesh whose stored indices are read where a memory stream holds them and in
    // blocks through a stream of callbacks: counts around every step of the narrowing loops and
    // past one block, each with no bad index, or one at the first, a middle or the last place.
    NewMaterial(255);
    std::mt19937 rng(11);
    const OvInt32 vertices = 0x8001;
    for (std::uint32_t count : {1u, 7u, 15u, 16u, 17u, 31u, 33u, 1024u, 1025u, 40000u, 70001u}) {
        std::vector<std::uint32_t> plain(count);
        for (std::uint32_t& v : plain) {
            v = std::uniform_int_distribution<std::uint32_t>(0, vertices - 1)(rng);
        }
        for (std::uint32_t place : {count, 0u, count / 2, count - 1}) {
            for (std::uint32_t bad : {0u, static_cast<std::uint32_t>(vertices), 0xFFFFu, 0x10000u, 0x80000000u}) {
                if ((place == count) != (bad == 0)) {
                    continue;
                }
                std::vector<std::uint32_t> stored = plain;
                if (place < count) {
                    stored[place] = bad;
                }
                Bytes body;
                const auto put = [&body](std::uint32_t v) {
                    for (int i = 0; i < 4; ++i) {
                        body.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
                    }
                };
                for (std::uint32_t v : {0u, 1u, count, count, 0u}) {
                    put(v);
                }
                for (std::uint32_t v : stored) {
                    put(v);
                }
                const std::string name = std::to_string(count) + " indices, " + std::to_string(bad) + " at " +
                                         std::to_string(place);
                worldtest::PieceSource source{&body, 0};
                for (OvStream* in : {OpenBytes(body), worldtest::OpenPieceByPiece(&source)}) {
                    OvMeshHeader* h =
                        OvMeshHeaderStreamRead(in, static_cast<OvInt32>(body.size()), FALSE, &list, vertices);
                    OvStreamClose(in, nullptr);
                    ASSERT_EQ(h != nullptr, place == count) << name;
                    if (h == nullptr) {
                        EXPECT_EQ(TakeError(), ovERRREAD) << name;
                        continue;
                    }
                    const OvMesh& mesh = OvMeshHeaderGetMeshes(h)[0];
                    ASSERT_EQ(mesh.numIndices, count) << name;
                    EXPECT_TRUE(std::equal(stored.begin(), stored.end(), mesh.indices)) << name;
                    OvMeshHeaderDestroy(h);
                }
            }
        }
    }
}

TEST_F(MeshTest, WindowListsAreThePlainBuildOfTheirTriangles) {
    VariedMaterials(99, 30);
    for (unsigned seed = 300; seed < 380; ++seed) {
        std::mt19937 r(seed);
        // Windows of 1 to all entries (past 16 materials the groups are found by a map).
        const int size = std::uniform_int_distribution<int>(1, list.numMaterials)(r);
        const int base = std::uniform_int_distribution<int>(0, list.numMaterials - size)(r);
        std::vector<OvTriangle> tris;
        for (const SoupTriangle& t : RandomSoup(r, size)) {
            tris.push_back({{t.v[0], t.v[1], t.v[2]}, static_cast<OvUInt16>(t.slot)});
        }
        // Runs of one material, as sectors hold them, every other seed.
        if (seed % 2 == 0) {
            std::stable_sort(tris.begin(), tris.end(),
                             [](const OvTriangle& a, const OvTriangle& b) { return a.matIndex / 4 < b.matIndex / 4; });
        }
        const auto n = static_cast<OvInt32>(tris.size());
        OvMeshHeader* h = OvMeshHeaderBuildFromTriangles(tris.data(), n, &list, base, 0);
        EXPECT_TRUE(HoldsMeshes(h, ReferenceLists(tris.data(), n, list, base))) << "seed " << seed;
        OvMeshHeaderDestroy(h);
        // The strips of the same triangles hold them all, by material.
        h = OvMeshHeaderBuildFromTriangles(tris.data(), n, &list, base, ovGEOMETRYTRISTRIP);
        ASSERT_NE(h, nullptr);
        std::vector<SoupTriangle> soup;
        for (const OvTriangle& t : tris) {
            soup.push_back({{t.vertIndex[0], t.vertIndex[1], t.vertIndex[2]}, base + t.matIndex});
        }
        EXPECT_EQ(Expand(h, true), SoupSet(soup, list, true)) << "seed " << seed;
        OvMeshHeaderDestroy(h);
    }
}

// FNV-1a over a header's bytes as the sub-chunk holds them: kind, counts, and per mesh its count,
// material (list position) and indices.
struct Digest {
    std::uint64_t h = 0xcbf29ce484222325ull;
    void Add(std::uint32_t v) {
        for (int i = 0; i < 4; ++i) {
            h = (h ^ ((v >> (8 * i)) & 0xFF)) * 0x100000001b3ull;
        }
    }
    void Add(const OvMeshHeader* header, const OvMaterialList& list) {
        Add(header->flags);
        Add(header->numMeshes);
        Add(header->totalIndicesInMesh);
        for (OvUInt32 m = 0; m < header->numMeshes; ++m) {
            const OvMesh& mesh = OvMeshHeaderGetMeshes(header)[m];
            Add(mesh.numIndices);
            Add(static_cast<std::uint32_t>(OvMaterialListFindMaterial(&list, mesh.material)));
            for (OvUInt32 i = 0; i < mesh.numIndices; ++i) {
                Add(mesh.indices[i]);
            }
        }
    }
};

// Triangles of the shapes, levels and characters the asset builder writes, grids with fans too
// large for the pass masks, and soups of every kind, built as lists and strips from triangles
// and from a builder's records: the meshes must be the ones recorded from the builder as it was
// before it was made fast, byte for byte.
TEST_F(MeshTest, BuildsGiveTheRecordedMeshesOverASweep) {
    VariedMaterials(7, 40);
    std::map<std::string, Digest> digests;
    auto fromTriangles = [&](const std::string& family, const std::vector<OvTriangle>& tris, OvInt32 base) {
        for (OvUInt32 flags : {0u, static_cast<OvUInt32>(ovGEOMETRYTRISTRIP)}) {
            OvMeshHeader* h =
                OvMeshHeaderBuildFromTriangles(tris.data(), static_cast<OvInt32>(tris.size()), &list, base, flags);
            ASSERT_NE(h, nullptr) << family;
            digests[family + (flags != 0 ? " strips" : " lists")].Add(h, list);
            OvMeshHeaderDestroy(h);
        }
    };
    auto ofDescs = [](const std::vector<mkasset::TriangleDesc>& descs, int materials) {
        std::vector<OvTriangle> tris;
        for (const mkasset::TriangleDesc& t : descs) {
            tris.push_back({{t.v[0], t.v[1], t.v[2]}, static_cast<OvUInt16>(t.material % materials)});
        }
        return tris;
    };
    for (mkasset::ShapeKind kind : {mkasset::ShapeKind::Box, mkasset::ShapeKind::Cylinder, mkasset::ShapeKind::Grid}) {
        for (int size : {1, 2, 5, 16, 100}) {
            for (int materials : {1, 4, 19}) {
                mkasset::ShapeOptions options;
                options.kind = kind;
                options.size = size;
                options.materials = materials;
                fromTriangles("shapes", ofDescs(mkasset::ShapeGeometry(options).triangles, materials), 40 - materials);
            }
        }
    }
    std::vector<mkasset::LevelOptions> levels(3);
    levels[1] = {5, 64, 40, 1000};
    levels[2] = mkasset::DemoLevelOptions(1);
    for (const mkasset::LevelOptions& options : levels) {
        for (const mkasset::SectorNodeDesc& node : mkasset::LevelWorld(options).nodes) {
            if (node.type == -1) {
                fromTriangles("levels", ofDescs(node.sector.triangles, 3), node.sector.materialBase);
            }
        }
    }
    const std::uint8_t colour[3] = {200, 40, 40};
    for (const mkasset::GeometryDesc& g : mkasset::SoldierClump(colour).geometries) {
        fromTriangles("characters", ofDescs(g.triangles, static_cast<int>(g.materialList.materials.size())), 0);
    }
    for (int n : {3, 30, 90}) {
        // A grid with a fan round one vertex in its middle (past 64 triangles the pass masks of
        // a vertex run out), and the grid's triangles twice, the second time turned over.
        mkasset::ShapeOptions options;
        options.size = n;
        options.materials = 2;
        std::vector<OvTriangle> tris = ofDescs(mkasset::ShapeGeometry(options).triangles, 2);
        const auto middle = static_cast<std::ptrdiff_t>(tris.size() / 2);
        for (int i = 0; i < n + 10; ++i) {
            tris.insert(tris.begin() + middle, {{0, static_cast<OvUInt16>(i + 1), static_cast<OvUInt16>(i + 2)}, 1});
        }
        const std::size_t once = tris.size();
        for (std::size_t i = 0; i < once; ++i) {
            tris.push_back({{tris[i].vertIndex[1], tris[i].vertIndex[0], tris[i].vertIndex[2]}, tris[i].matIndex});
        }
        fromTriangles("fans and doubles", tris, 0);
    }
    for (unsigned seed = 1; seed <= 120; ++seed) {
        std::mt19937 rng(seed);
        std::vector<SoupTriangle> soup = RandomSoup(rng, list.numMaterials);
        if (seed % 3 == 0) {
            // Larger soups over fewer vertices: edges shared by many triangles.
            for (int more = 0; more < 8; ++more) {
                const std::vector<SoupTriangle> extra = RandomSoup(rng, list.numMaterials);
                soup.insert(soup.end(), extra.begin(), extra.end());
            }
        }
        if (seed % 4 == 0) {
            for (SoupTriangle& t : soup) {
                t.slot = seed % 8 == 0 ? 0 : t.slot % 2; // one material, or two
            }
        }
        std::vector<OvTriangle> tris;
        for (const SoupTriangle& t : soup) {
            tris.push_back({{t.v[0], t.v[1], t.v[2]}, static_cast<OvUInt16>(t.slot)});
        }
        fromTriangles("soups", tris, 0);
        // Records whose list positions name other materials than the list's (the same position
        // with two materials, two positions with one).
        for (SoupTriangle& t : soup) {
            t.slot = (t.slot * 7) % list.numMaterials;
        }
        for (OvUInt32 flags : {ovMESHHEADERTRILIST, ovMESHHEADERTRISTRIP}) {
            OvMeshBuilder* b = OvMeshBuilderCreate(static_cast<OvInt32>(soup.size()));
            for (const SoupTriangle& t : soup) {
                OvMeshBuilderAddTriangle(b, list.materials[(t.slot * 3) % list.numMaterials], t.v[0], t.v[1], t.v[2],
                                         static_cast<OvUInt16>(t.slot), static_cast<OvUInt16>(t.slot % 3),
                                         static_cast<OvUInt16>(t.slot % 2), 0);
            }
            OvMeshHeader* h = OvMeshHeaderBuild(b, flags);
            ASSERT_NE(h, nullptr);
            digests[flags != 0 ? "records strips" : "records lists"].Add(h, list);
            OvMeshHeaderDestroy(h);
        }
    }
    const std::map<std::string, std::uint64_t> recorded = {
        {"characters lists", 0x4756aa296845ca30ull},
        {"characters strips", 0x620cb01baa425e0aull},
        {"fans and doubles lists", 0x3cb64c2abd376a16ull},
        {"fans and doubles strips", 0xa77026b2a8a5e58cull},
        {"levels lists", 0x4caa8f64fb15707cull},
        {"levels strips", 0x6daa6f02c09d33a1ull},
        {"records lists", 0xcd51d2465c6ffc38ull},
        {"records strips", 0x4fbf166f2f33aa1eull},
        {"shapes lists", 0x58ba169a6c0e8b53ull},
        {"shapes strips", 0x51600d3ba925d715ull},
        {"soups lists", 0x433acbc9dbc4e858ull},
        {"soups strips", 0x67f92da0972b5592ull},
    };
    for (const auto& [family, digest] : digests) {
        const auto it = recorded.find(family);
        EXPECT_TRUE(it != recorded.end() && it->second == digest.h)
            << family << ": 0x" << std::hex << digest.h << " (recorded 0x" << (it != recorded.end() ? it->second : 0)
            << ")";
    }
}

} // namespace
