// Skins: processor skinning against a double-precision weighted sum, the weights' set-up, the
// stream's round trip, truncations and refusals, palettes by the hierarchy's flags, the builder's
// characters in their bind pose; and the skin's stream forms as the clump reader meets them (the
// native struct of a native geometry, the legacy atomic extension, bytes after a skin inside its
// extension, bad versions, platforms, counts and bone indices), every prefix of such a clump
// failing and leaving nothing.

#include "graphics/plugins/skin.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <random>
#include <vector>

#include "graphics/plugins/anim_tracks.h"
#include "graphics/plugins/skin_d3d9.h"
#include "graphics/plugins/tests/plugin_test_kit.h"
#include "graphics/world/clump.h"
#include "graphics/world/geometry.h"
#include "tools/engine_error/hierarchy_frame.h"
#include "tools/mkasset/shapes.h"
#include "tools/mkasset/skeleton.h"

namespace {

using SkinTest = SkinnedEngine;

// v x M in double precision (translation when w = 1).
void Apply(const OvMatrix& m, const OvV3d& v, double w, double out[3]) {
    out[0] = v.x * double(m.right.x) + v.y * double(m.up.x) + v.z * double(m.at.x) + w * m.pos.x;
    out[1] = v.x * double(m.right.y) + v.y * double(m.up.y) + v.z * double(m.at.y) + w * m.pos.y;
    out[2] = v.x * double(m.right.z) + v.y * double(m.up.z) + v.z * double(m.at.z) + w * m.pos.z;
}

// A skin of random influences: weightsPerVertex nonzero weights summing to 1, in random slots.
OvSkin* RandomSkin(std::mt19937& rng, int vertices, int bones, int weightsPerVertex) {
    OvSkin* skin = OvSkinCreate(vertices, bones);
    std::uniform_int_distribution<int> bone(0, bones - 1);
    std::uniform_real_distribution<float> u(0.05f, 1.0f);
    for (int v = 0; v < vertices; ++v) {
        float w[4] = {0, 0, 0, 0};
        float sum = 0;
        for (int k = 0; k < weightsPerVertex; ++k) {
            w[k] = u(rng);
            sum += w[k];
        }
        std::shuffle(w, w + 4, rng);
        OvUInt32 idx = 0;
        for (int k = 0; k < 4; ++k) {
            skin->vertexBoneWeights[4 * v + k] = weightsPerVertex == 1 && w[k] > 0 ? 1.0f : w[k] / sum;
            idx |= static_cast<OvUInt32>(bone(rng)) << (8 * k);
        }
        skin->vertexBoneIndices[v] = idx;
    }
    for (int b = 0; b < bones; ++b) {
        skin->skinToBoneMatrices[b] = RandomRigid(rng, 3.0f);
    }
    return OvSkinComputeUsage(skin);
}

std::vector<std::uint8_t> Written(const OvSkin* skin) {
    OvStream* s = OvStreamOpen(ovSTREAMMEMORY, ovSTREAMWRITE, nullptr);
    EXPECT_NE(OvSkinStreamWrite(skin, s), nullptr);
    return CloseWritten(s);
}

OvSkin* ReadBack(std::vector<std::uint8_t>& bytes, std::uint32_t length, int vertices) {
    OvStream* s = OpenRead(bytes, length);
    OvSkin* skin = OvSkinStreamRead(s, static_cast<OvInt32>(length), vertices);
    OvStreamClose(s, nullptr);
    return skin;
}

// Software skinning against a double-precision weighted sum, for one to four weights a vertex.
TEST_F(SkinTest, SoftwareSkinningMatchesTheWeightedSum) {
    std::mt19937 rng(102);
    for (int weights = 1; weights <= 4; ++weights) {
        const int vertices = 300, bones = 12;
        OvSkin* skin = RandomSkin(rng, vertices, bones, weights);
        EXPECT_EQ(skin->maxNumWeightsPerVertex, static_cast<OvUInt32>(weights));
        std::vector<OvMatrix> palette(bones);
        for (OvMatrix& m : palette) {
            m = RandomRigid(rng, 3.0f);
        }
        std::uniform_real_distribution<float> u(-2.0f, 2.0f);
        std::vector<OvV3d> pos(vertices), nrm(vertices), outPos(vertices), outNrm(vertices);
        for (int v = 0; v < vertices; ++v) {
            pos[v] = {u(rng), u(rng), u(rng)};
            nrm[v] = {u(rng), u(rng), u(rng)};
        }
        OvSkinVertices(skin, palette.data(), bones, pos.data(), nrm.data(), outPos.data(), outNrm.data(), vertices);
        for (int v = 0; v < vertices; ++v) {
            double p[3] = {0, 0, 0}, q[3] = {0, 0, 0};
            const float* w = skin->vertexBoneWeights + 4 * v;
            for (int k = 0; k < 4; ++k) {
                if (w[k] == 0) {
                    continue;
                }
                const int b = static_cast<int>((skin->vertexBoneIndices[v] >> (8 * k)) & 0xFF);
                double a[3], n[3];
                Apply(palette[static_cast<std::size_t>(b)], pos[static_cast<std::size_t>(v)], 1, a);
                Apply(palette[static_cast<std::size_t>(b)], nrm[static_cast<std::size_t>(v)], 0, n);
                for (int c = 0; c < 3; ++c) {
                    p[c] += w[k] * a[c];
                    q[c] += w[k] * n[c];
                }
            }
            const float* got[2] = {&outPos[v].x, &outNrm[v].x};
            for (int c = 0; c < 3; ++c) {
                EXPECT_NEAR(got[0][c], p[c], 1e-4) << weights << " " << v;
                EXPECT_NEAR(got[1][c], q[c], 1e-4) << weights << " " << v;
            }
        }
        OvSkinDestroy(skin);
    }
}

TEST_F(SkinTest, SetUpSortsWeightsButLeavesAFullFirstWeight) {
    OvSkin* skin = OvSkinCreate(2, 8);
    const float w0[4] = {0.1f, 0.0f, 0.6f, 0.3f};
    const float w1[4] = {1.0f, 0.0f, 0.5f, 0.0f}; // first weight full: kept as it is
    for (int k = 0; k < 4; ++k) {
        skin->vertexBoneWeights[k] = w0[k];
        skin->vertexBoneWeights[4 + k] = w1[k];
    }
    skin->vertexBoneIndices[0] = 0x07050301; // bones 1, 3, 5, 7
    skin->vertexBoneIndices[1] = 0x06040200;
    OvSkinComputeUsage(skin);
    EXPECT_EQ(skin->vertexBoneWeights[0], 0.6f);
    EXPECT_EQ(skin->vertexBoneWeights[1], 0.3f);
    EXPECT_EQ(skin->vertexBoneWeights[2], 0.1f);
    EXPECT_EQ(skin->vertexBoneIndices[0], 0x03010705u);
    EXPECT_EQ(skin->vertexBoneWeights[6], 0.5f);
    EXPECT_EQ(skin->vertexBoneIndices[1], 0x06040200u);
    // Three weights found although the file order hid the third; bones used in ascending order.
    EXPECT_EQ(skin->maxNumWeightsPerVertex, 3u);
    ASSERT_EQ(skin->numBoneUsed, 5u);
    const OvUInt8 used[5] = {0, 1, 4, 5, 7};
    for (int i = 0; i < 5; ++i) {
        EXPECT_EQ(skin->boneUsedList[i], used[i]);
    }
    // A full first weight skins by its first bone alone.
    OvMatrix palette[8];
    for (OvMatrix& m : palette) {
        OvMatrixSetIdentity(&m);
    }
    palette[4].pos = {50, 0, 0};
    OvV3d p[2] = {{0, 0, 0}, {1, 2, 3}}, out[2];
    OvSkinVertices(skin, palette, 8, p, nullptr, out, nullptr, 2);
    EXPECT_EQ(out[1].x, 1.0f);
    OvSkinDestroy(skin);
}

TEST_F(SkinTest, StreamRoundTripZeroHeaderTruncationAndValidation) {
    std::mt19937 rng(5);
    OvSkin* skin = RandomSkin(rng, 20, 9, 3);
    // Split data: bones remapped to slots below 4, two meshes of runs.
    skin->boneLimit = 4;
    skin->numMeshes = 2;
    skin->numRLE = 3;
    skin->splitData = static_cast<OvUInt8*>(OvMalloc(9 + 2 * 5, 0x30116));
    const OvUInt8 split[19] = {0, 1, 2, 3, 0xFF, 0, 1, 2, 3, /*meshes*/ 0, 2, 2, 1, /*runs*/ 0, 4, 5, 2, 7, 2};
    std::memcpy(skin->splitData, split, sizeof(split));
    skin->meshBoneRemapIndices = skin->splitData + 9;
    skin->meshBoneRLE = skin->meshBoneRemapIndices + 4;
    std::vector<std::uint8_t> bytes = Written(skin);
    ASSERT_EQ(static_cast<OvInt32>(bytes.size()), OvSkinStreamGetSize(skin));
    OvSkin* back = ReadBack(bytes, static_cast<std::uint32_t>(bytes.size()), 20);
    ASSERT_NE(back, nullptr);
    EXPECT_EQ(back->paletteSize, 4u);
    EXPECT_EQ(Written(back), bytes);
    OvSkinDestroy(back);
    for (std::uint32_t n = 0; n < bytes.size(); ++n) {
        EXPECT_EQ(ReadBack(bytes, n, 20), nullptr) << n;
        ClearError();
    }
    // Header counts of zero: worked out from the data (here written unsorted).
    std::vector<std::uint8_t> zero = bytes;
    const OvUInt32 used = zero[1];
    zero[1] = 0;
    zero[2] = 0;
    zero.erase(zero.begin() + 4, zero.begin() + 4 + used);
    // Vertex 0's weights reversed: the heaviest last.
    float* w = reinterpret_cast<float*>(zero.data() + 4 + 20 * 4);
    std::swap(w[0], w[3]);
    std::swap(w[1], w[2]);
    std::swap(zero[4], zero[7]);
    std::swap(zero[5], zero[6]);
    OvSkin* computed = ReadBack(zero, static_cast<std::uint32_t>(zero.size()), 20);
    ASSERT_NE(computed, nullptr);
    EXPECT_EQ(computed->maxNumWeightsPerVertex, skin->maxNumWeightsPerVertex);
    EXPECT_EQ(computed->numBoneUsed, skin->numBoneUsed);
    EXPECT_EQ(computed->vertexBoneIndices[0], skin->vertexBoneIndices[0]);
    OvSkinDestroy(computed);
    // Data that does not fit: a weighted bone beyond the bones, a negative weight, a remap slot
    // beyond the bone limit, a run beyond the bones.
    const std::size_t indices = 4 + used, weights = indices + 20 * 4, splitAt = bytes.size() - 19;
    for (int bad = 0; bad < 4; ++bad) {
        std::vector<std::uint8_t> b = bytes;
        if (bad == 0) {
            b[indices] = 9;
        } else if (bad == 1) {
            b[weights + 3] = 0xBF; // -0.5 or so
        } else if (bad == 2) {
            b[splitAt + 1] = 4;
        } else {
            b[splitAt + 9 + 4 + 5] = 3; // run 2: bones 7..9
        }
        EXPECT_EQ(ReadBack(b, static_cast<std::uint32_t>(b.size()), 20), nullptr) << bad;
        ClearError();
    }
    OvSkinDestroy(skin);
}

TEST_F(SkinTest, PaletteFollowsTheHierarchyFlags) {
    std::mt19937 rng(3);
    const int nodes = 6, bones = 4; // two nodes without a bone: identity
    OvSkin* skin = OvSkinCreate(1, bones);
    for (int b = 0; b < bones; ++b) {
        skin->skinToBoneMatrices[b] = RandomRigid(rng, 3.0f);
    }
    const OvMatrix atomicWorld = RandomRigid(rng, 3.0f);
    for (OvUInt32 flags : {0u, static_cast<OvUInt32>(ovANIMHIERARCHYLOCALSPACEMATRICES)}) {
        OvAnimHierarchy* h = OvAnimHierarchyCreate(nodes, nullptr, nullptr, flags, sizeof(OvAnimInterpFrame));
        for (int i = 0; i < nodes; ++i) {
            h->pMatrixArray[i] = RandomRigid(rng, 3.0f);
        }
        OvMatrix palette[nodes];
        EXPECT_EQ(OvSkinBuildPalette(skin, h, &atomicWorld, palette), nodes);
        OvMatrix inv;
        OvMatrixInvert(&inv, &atomicWorld);
        for (int i = 0; i < nodes; ++i) {
            OvMatrix want;
            if (i >= bones) {
                OvMatrixSetIdentity(&want);
            } else {
                OvMatrix t;
                OvMatrixMultiply(&t, &skin->skinToBoneMatrices[i], &h->pMatrixArray[i]);
                want = t;
                if (flags == 0) {
                    OvMatrixMultiply(&want, &t, &inv);
                }
            }
            const OvV3d probe = {0.3f, -1.2f, 2.0f};
            double pa[3], pb[3];
            Apply(palette[i], probe, 1, pa);
            Apply(want, probe, 1, pb);
            for (int c = 0; c < 3; ++c) {
                EXPECT_NEAR(pa[c], pb[c], 1e-4) << flags << " " << i;
            }
        }
        OvAnimHierarchyDestroy(h);
    }
    OvSkinDestroy(skin);
}

OvAtomic* FirstAtomic(OvAtomic* atomic, void* data) {
    *static_cast<OvAtomic**>(data) = atomic;
    return nullptr;
}

// The asset builder's characters read through the engine: the hierarchy nests, the bind pose
// played back puts every joint where the builder placed it, and skinning in the bind pose gives
// the geometry back.
TEST_F(SkinTest, BindPosePlaysBackAndSkinsToTheGeometry) {
    for (int bones = 1; bones <= mkasset::kMaxBones; ++bones) {
        mkasset::Bytes bytes = mkasset::ClumpFile(mkasset::CharacterClump(bones));
        OvStream* s = OpenRead(bytes, static_cast<std::uint32_t>(bytes.size()));
        ASSERT_TRUE(OvStreamFindChunk(s, ovCHUNKIDCLUMP, nullptr, nullptr));
        OvClump* clump = OvClumpStreamRead(s);
        OvStreamClose(s, nullptr);
        ASSERT_NE(clump, nullptr) << bones;
        OvFrame* holder = FindHierarchyFrame(OvClumpGetFrame(clump));
        ASSERT_NE(holder, nullptr);
        OvAnimHierarchy* h = OvFrameGetAnimHierarchy(holder);
        ASSERT_EQ(h->numNodes, bones);
        OvAnimHierarchyAttach(h);
        // The bind pose as an animation: identity turns, the frames' own translations.
        std::vector<std::vector<OvAnimTrackKey>> tracks(static_cast<std::size_t>(bones));
        std::vector<const OvAnimTrackKey*> p;
        std::vector<OvInt32> c;
        for (int i = 0; i < bones; ++i) {
            ASSERT_NE(h->pNodeInfo[i].pFrame, nullptr) << bones << " node " << i;
            const OvV3d t = h->pNodeInfo[i].pFrame->modelling.pos;
            tracks[static_cast<std::size_t>(i)] = {{0.0f, {0, 0, 0, 1}, t}, {1.0f, {0, 0, 0, 1}, t}};
            p.push_back(tracks[static_cast<std::size_t>(i)].data());
            c.push_back(2);
        }
        OvAnimation* bind = OvAnimationCreateFromTracks(bones, p.data(), c.data(), 1.0f);
        ASSERT_TRUE(OvAnimHierarchySetCurrentAnim(h, bind));
        OvAnimInterpolatorAddAnimTime(h->currentAnim, 0.5f);
        ASSERT_TRUE(OvAnimHierarchyUpdateMatrices(h)) << bones;
        const mkasset::Skeleton skeleton = mkasset::MakeSkeleton(bones);
        for (int i = 0; i < bones; ++i) {
            const OvV3d& pos = h->pMatrixArray[i].pos;
            EXPECT_NEAR(pos.x, skeleton.bindWorld[3 * static_cast<std::size_t>(i)], 1e-5) << bones << " " << i;
            EXPECT_NEAR(pos.y, skeleton.bindWorld[3 * static_cast<std::size_t>(i) + 1], 1e-5);
            EXPECT_NEAR(pos.z, skeleton.bindWorld[3 * static_cast<std::size_t>(i) + 2], 1e-5);
        }
        // Skinned in the bind pose, every vertex stays where it is.
        OvAtomic* atomic = nullptr;
        OvClumpForAllAtomics(clump, FirstAtomic, &atomic);
        ASSERT_NE(atomic, nullptr);
        OvGeometry* g = OvAtomicGetGeometry(atomic);
        OvSkin* skin = OvSkinGeometryGetSkin(g);
        ASSERT_NE(skin, nullptr);
        // Read skinned, the atomic is drawn by the skinned-atomic pipeline.
        ASSERT_NE(OvSkinGetAtomicPipeline(), nullptr);
        EXPECT_EQ(atomic->pipeline, OvSkinGetAtomicPipeline());
        EXPECT_LE(skin->maxNumWeightsPerVertex, 4u);
        EXPECT_EQ(skin->maxNumWeightsPerVertex, static_cast<OvUInt32>(bones >= 4 ? 4 : bones)) << bones;
        std::vector<OvMatrix> palette(ovSKINPALETTESIZE);
        const OvInt32 n = OvSkinBuildPalette(skin, h, OvFrameGetWorldMatrix(OvAtomicGetFrame(atomic)), palette.data());
        const OvMorphTarget* target = OvGeometryGetMorphTarget(g, 0);
        std::vector<OvV3d> out(static_cast<std::size_t>(g->numVertices));
        OvSkinVertices(skin, palette.data(), n, target->verts, nullptr, out.data(), nullptr, g->numVertices);
        for (int v = 0; v < g->numVertices; ++v) {
            ASSERT_NEAR(out[static_cast<std::size_t>(v)].x, target->verts[v].x, 1e-4) << bones << " " << v;
            ASSERT_NEAR(out[static_cast<std::size_t>(v)].y, target->verts[v].y, 1e-4);
            ASSERT_NEAR(out[static_cast<std::size_t>(v)].z, target->verts[v].z, 1e-4);
        }
        OvAnimationDestroy(bind);
        OvClumpDestroy(clump);
    }
}

using SkinStreamTest = SkinnedEngine;

constexpr std::uint32_t kSkin = 0x116;
constexpr std::uint32_t kUnknownExtension = 0x7F7F;

// A box model: one geometry of 24 vertices and 12 triangles on one atomic.
mkasset::ClumpDesc Box() {
    mkasset::ShapeOptions options;
    options.kind = mkasset::ShapeKind::Box;
    options.size = 1;
    return mkasset::ModelClump(options);
}

// The box's geometry made native: counts without arrays, its meshes in native form.
mkasset::ClumpDesc NativeBox() {
    mkasset::ClumpDesc clump = Box();
    mkasset::GeometryDesc& g = clump.geometries[0];
    g.flags |= 0x01000000u;
    g.morphTargets[0].verts.clear();
    g.morphTargets[0].normals.clear();
    mkasset::MeshDesc mesh;
    mesh.count = static_cast<std::uint32_t>(3 * g.triangles.size());
    g.extensions.push_back(mkasset::BinMeshExtension(0, {mesh}, true));
    return clump;
}

OvClump* Read(std::vector<std::uint8_t>& bytes, std::uint32_t length) {
    OvStream* s = OpenRead(bytes, length);
    OvClump* clump = nullptr;
    if (OvStreamFindChunk(s, ovCHUNKIDCLUMP, nullptr, nullptr)) {
        clump = OvClumpStreamRead(s);
    }
    OvStreamClose(s, nullptr);
    return clump;
}

OvAtomic* TakeAtomic(OvAtomic* atomic, void* data) {
    *static_cast<OvAtomic**>(data) = atomic;
    return nullptr;
}

OvSkin* SkinOf(OvClump* clump) {
    OvAtomic* atomic = nullptr;
    OvClumpForAllAtomics(clump, TakeAtomic, &atomic);
    return atomic != nullptr ? OvSkinGeometryGetSkin(OvAtomicGetGeometry(atomic)) : nullptr;
}

// Every proper prefix of the file fails; the engine's checks at tear-down and the leak checker
// see that nothing is left.
void ExpectPrefixesFail(std::vector<std::uint8_t> bytes) {
    for (std::uint32_t n = 0; n < bytes.size(); ++n) {
        OvClump* clump = Read(bytes, n);
        EXPECT_EQ(clump, nullptr) << "prefix of " << n << " bytes";
        if (clump != nullptr) {
            OvClumpDestroy(clump);
        }
        ClearError();
    }
}

// The native skin struct: platform and bone count, in a struct chunk of the given version.
ChunkBytes NativeSkin(std::uint32_t platform, std::uint32_t bones, std::uint32_t stamp = 0x1C020016u,
                      std::uint32_t extraStructBytes = 0) {
    ChunkBytes b;
    b.Header(1, 8 + extraStructBytes, stamp).U32(platform).U32(bones);
    for (std::uint32_t i = 0; i < extraStructBytes; ++i) {
        b.bytes.push_back(0xAB);
    }
    return b;
}

std::vector<std::uint8_t> NativeFile(const ChunkBytes& skin, bool unknownAfter = false) {
    mkasset::ClumpDesc clump = NativeBox();
    clump.geometries[0].extensions.push_back({kSkin, skin.bytes});
    if (unknownAfter) {
        clump.geometries[0].extensions.push_back({kUnknownExtension, {1, 2, 3, 4}});
    }
    return mkasset::ClumpFile(clump);
}

TEST_F(SkinStreamTest, NativeSkinHoldsItsBoneCountAndRefusesWhatDoesNotFit) {
    // A struct longer than its two words, and trailing bytes inside the extension before another
    // extension: both passed over.
    for (const bool longer : {false, true}) {
        ChunkBytes skin = NativeSkin(ovSKINNATIVEPLATFORM, 17, 0x1C020016u, longer ? 12 : 0);
        if (longer) {
            skin.bytes.insert(skin.bytes.end(), {9, 9, 9, 9, 9, 9});
        }
        std::vector<std::uint8_t> bytes = NativeFile(skin, longer);
        OvClump* clump = Read(bytes, static_cast<std::uint32_t>(bytes.size()));
        ASSERT_NE(clump, nullptr) << std::hex << ClearError();
        const OvSkin* s = SkinOf(clump);
        ASSERT_NE(s, nullptr);
        EXPECT_EQ(s->numBones, 17u);
        EXPECT_EQ(s->numVertices, 0);
        EXPECT_EQ(s->numMeshes, 0);
        OvClumpDestroy(clump);
        ExpectPrefixesFail(bytes);
    }
    // A version outside the accepted range.
    for (const std::uint32_t stamp : {0x30000u, 0xFFFFFFFFu}) {
        std::vector<std::uint8_t> bytes = NativeFile(NativeSkin(ovSKINNATIVEPLATFORM, 3, stamp));
        EXPECT_EQ(Read(bytes, static_cast<std::uint32_t>(bytes.size())), nullptr);
        EXPECT_EQ(ClearError(), ovERRBADVERSION);
    }
    // Another platform, too many bones, a struct that claims more than its extension holds, a
    // chunk that is not a struct, a struct too short for its words.
    std::vector<ChunkBytes> bad = {NativeSkin(8, 3), NativeSkin(ovSKINNATIVEPLATFORM, 256)};
    ChunkBytes overrun;
    overrun.Header(1, 64).U32(ovSKINNATIVEPLATFORM).U32(3);
    bad.push_back(overrun);
    ChunkBytes notStruct;
    notStruct.Header(2, 8).U32(ovSKINNATIVEPLATFORM).U32(3);
    bad.push_back(notStruct);
    ChunkBytes shortStruct;
    shortStruct.Header(1, 4).U32(ovSKINNATIVEPLATFORM).U32(3);
    bad.push_back(shortStruct);
    for (std::size_t i = 0; i < bad.size(); ++i) {
        std::vector<std::uint8_t> bytes = NativeFile(bad[i], true);
        EXPECT_EQ(Read(bytes, static_cast<std::uint32_t>(bytes.size())), nullptr) << "case " << i;
        ClearError();
    }
}

// The legacy extension body: bone count, a skipped word, per vertex four bone indices (one byte
// each) and four weights, then per bone 12 skipped bytes and a matrix.
struct LegacySkin {
    std::uint32_t bones = 3;
    std::vector<std::uint32_t> indices;
    std::vector<float> weights;
    std::vector<std::array<float, 12>> matrices;
    std::uint32_t trailing = 0; // bytes after the matrices

    std::vector<std::uint8_t> Bytes() const {
        ChunkBytes b;
        b.U32(bones).U32(0xDEADBEEF);
        for (std::uint32_t i : indices) {
            b.U32(i);
        }
        for (float w : weights) {
            b.F32(w);
        }
        for (const auto& m : matrices) {
            b.U32(1).U32(2).U32(3);
            for (int r = 0; r < 4; ++r) {
                b.F32(m[3 * r]).F32(m[3 * r + 1]).F32(m[3 * r + 2]).U32(r == 0 ? 0x20003u : 0);
            }
        }
        for (std::uint32_t i = 0; i < trailing; ++i) {
            b.bytes.push_back(0x55);
        }
        return b.bytes;
    }
};

// For the box's 24 vertices: vertex v has weights on bones v % 3 and (v + 1) % 3 (a third of
// the vertices one weight, the rest two, some given lightest first).
LegacySkin BoxLegacySkin() {
    LegacySkin s;
    for (std::uint32_t v = 0; v < 24; ++v) {
        const std::uint32_t a = v % 3, b = (v + 1) % 3;
        s.indices.push_back(a | b << 8);
        if (v % 3 == 0) {
            s.weights.insert(s.weights.end(), {1.0f, 0, 0, 0});
        } else if (v % 3 == 1) {
            s.weights.insert(s.weights.end(), {0.75f, 0.25f, 0, 0});
        } else {
            s.weights.insert(s.weights.end(), {0.25f, 0.75f, 0, 0});
        }
    }
    for (std::uint32_t i = 0; i < s.bones; ++i) {
        const float f = static_cast<float>(i + 1);
        s.matrices.push_back({1, 0, 0, 0, 1, 0, 0, 0, 1, f, 2 * f, 3 * f});
    }
    return s;
}

// A current-form skin body for the box's 24 vertices: `bones` bones, no used list, every vertex
// weighted wholly to bone `bone`, identity matrices, no split data.
ChunkBytes CurrentFormSkin(std::uint8_t bones, std::uint32_t bone) {
    ChunkBytes b;
    b.bytes = {bones, 0, 0, 0};
    for (int v = 0; v < 24; ++v) {
        b.U32(bone);
    }
    for (int v = 0; v < 24; ++v) {
        b.F32(1).F32(0).F32(0).F32(0);
    }
    for (int m = 0; m < bones; ++m) {
        for (int w = 0; w < 16; ++w) {
            b.F32(w % 5 == 0 ? 1.0f : 0.0f);
        }
    }
    b.U32(0).U32(0).U32(0);
    return b;
}

std::vector<std::uint8_t> LegacyFile(const LegacySkin& skin, bool geometrySkinToo = false) {
    mkasset::ClumpDesc clump = Box();
    clump.atomics[0].extensions.push_back({kSkin, skin.Bytes()});
    clump.atomics[0].extensions.push_back({kUnknownExtension, {1, 2, 3, 4}});
    if (geometrySkinToo) {
        clump.geometries[0].extensions.push_back({kSkin, CurrentFormSkin(2, 1).bytes});
    }
    return mkasset::ClumpFile(clump);
}

TEST_F(SkinStreamTest, LegacyAtomicSkinReadsWithItsUsageWorkedOut) {
    for (const std::uint32_t trailing : {0u, 8u}) {
        LegacySkin legacy = BoxLegacySkin();
        legacy.trailing = trailing;
        std::vector<std::uint8_t> bytes = LegacyFile(legacy);
        OvClump* clump = Read(bytes, static_cast<std::uint32_t>(bytes.size()));
        ASSERT_NE(clump, nullptr) << std::hex << ClearError();
        const OvSkin* s = SkinOf(clump);
        ASSERT_NE(s, nullptr);
        EXPECT_EQ(s->numBones, 3u);
        EXPECT_EQ(s->numVertices, 24);
        EXPECT_EQ(s->maxNumWeightsPerVertex, 2u);
        ASSERT_EQ(s->numBoneUsed, 3u);
        EXPECT_EQ(std::vector<OvUInt8>(s->boneUsedList, s->boneUsedList + 3), (std::vector<OvUInt8>{0, 1, 2}));
        for (std::uint32_t v = 0; v < 24; ++v) {
            const float* w = s->vertexBoneWeights + 4 * v;
            // Heaviest first, the bone moving with its weight.
            EXPECT_GE(w[0], w[1]) << v;
            const std::uint32_t heavy = v % 3 == 2 ? (v + 1) % 3 : v % 3;
            EXPECT_EQ(s->vertexBoneIndices[v] & 0xFF, heavy) << v;
        }
        for (std::uint32_t i = 0; i < 3; ++i) {
            const OvMatrix& m = s->skinToBoneMatrices[i];
            EXPECT_EQ(m.pos.x, static_cast<float>(i + 1));
            EXPECT_EQ(m.pos.z, 3.0f * static_cast<float>(i + 1));
            EXPECT_EQ(m.flags & ovMATRIXINTERNALIDENTITY, 0u) << "an identity claim is not taken from a file";
        }
        OvClumpDestroy(clump);
        ExpectPrefixesFail(bytes);
    }
    // A geometry that has a skin keeps it: the atomic's legacy skin is passed over.
    {
        std::vector<std::uint8_t> bytes = LegacyFile(BoxLegacySkin(), true);
        OvClump* clump = Read(bytes, static_cast<std::uint32_t>(bytes.size()));
        ASSERT_NE(clump, nullptr) << std::hex << ClearError();
        ASSERT_NE(SkinOf(clump), nullptr);
        EXPECT_EQ(SkinOf(clump)->numBones, 2u);
        OvClumpDestroy(clump);
    }
    // A weighted bone index beyond the bones, a negative weight, more than 255 bones, a body
    // shorter than its counts.
    for (int bad = 0; bad < 4; ++bad) {
        LegacySkin legacy = BoxLegacySkin();
        if (bad == 0) {
            legacy.indices[5] = 3;
        } else if (bad == 1) {
            legacy.weights[9] = -0.5f;
        } else if (bad == 2) {
            legacy.bones = 256;
        } else {
            legacy.matrices.pop_back();
        }
        std::vector<std::uint8_t> bytes = LegacyFile(legacy);
        EXPECT_EQ(Read(bytes, static_cast<std::uint32_t>(bytes.size())), nullptr) << "case " << bad;
        ClearError();
    }
}

TEST_F(SkinStreamTest, BytesAfterACurrentFormSkinArePassedOverAndASecondSkinIsRefused) {
    mkasset::ClumpDesc clump = Box();
    ChunkBytes b = CurrentFormSkin(1, 0);
    const std::vector<std::uint8_t> plain = b.bytes;
    b.U32(0xCAFEF00D).U32(0x12345678); // trailing bytes inside the extension
    clump.geometries[0].extensions.push_back({kSkin, b.bytes});
    clump.geometries[0].extensions.push_back({kUnknownExtension, {1, 2, 3, 4}});
    std::vector<std::uint8_t> bytes = mkasset::ClumpFile(clump);
    OvClump* read = Read(bytes, static_cast<std::uint32_t>(bytes.size()));
    ASSERT_NE(read, nullptr) << std::hex << ClearError();
    ASSERT_NE(SkinOf(read), nullptr);
    EXPECT_EQ(SkinOf(read)->numBones, 1u);
    EXPECT_EQ(SkinOf(read)->numBoneUsed, 1u);
    OvClumpDestroy(read);
    ExpectPrefixesFail(bytes);

    clump.geometries[0].extensions.push_back({kSkin, plain});
    bytes = mkasset::ClumpFile(clump);
    EXPECT_EQ(Read(bytes, static_cast<std::uint32_t>(bytes.size())), nullptr);
    ClearError();
}

} // namespace
