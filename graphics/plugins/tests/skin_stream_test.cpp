// The skin's stream forms as the clump reader meets them: the native struct of a native geometry
// and the legacy atomic extension, built byte by byte; every prefix of such a clump fails and
// leaves nothing; bytes after a skin inside its extension are passed over; bad versions,
// platforms, counts and bone indices are refused.

#include <array>
#include <cstring>
#include <vector>

#include "graphics/plugins/tests/plugin_test_kit.h"
#include "graphics/world/clump.h"
#include "graphics/world/geometry.h"
#include "tools/mkasset/shapes.h"

namespace {

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

std::vector<std::uint8_t> LegacyFile(const LegacySkin& skin, bool geometrySkinToo = false) {
    mkasset::ClumpDesc clump = Box();
    clump.atomics[0].extensions.push_back({kSkin, skin.Bytes()});
    clump.atomics[0].extensions.push_back({kUnknownExtension, {1, 2, 3, 4}});
    if (geometrySkinToo) {
        // A current-form skin of two bones on the geometry: header, no used list, the vertex
        // data, the matrices, no split data.
        ChunkBytes b;
        b.bytes = {2, 0, 0, 0};
        for (int v = 0; v < 24; ++v) {
            b.U32(1);
        }
        for (int v = 0; v < 24; ++v) {
            b.F32(1).F32(0).F32(0).F32(0);
        }
        for (int m = 0; m < 2; ++m) {
            for (int w = 0; w < 16; ++w) {
                b.F32(w % 5 == 0 ? 1.0f : 0.0f);
            }
        }
        b.U32(0).U32(0).U32(0);
        clump.geometries[0].extensions.push_back({kSkin, b.bytes});
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
    ChunkBytes b;
    b.bytes = {1, 0, 0, 0};
    for (int v = 0; v < 24; ++v) {
        b.U32(0);
    }
    for (int v = 0; v < 24; ++v) {
        b.F32(1).F32(0).F32(0).F32(0);
    }
    for (int w = 0; w < 16; ++w) {
        b.F32(w % 5 == 0 ? 1.0f : 0.0f);
    }
    b.U32(0).U32(0).U32(0);
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
