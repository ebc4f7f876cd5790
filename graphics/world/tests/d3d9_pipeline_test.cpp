// The Direct3D 9 pipelines on the stand-in device: index buffers of lists and strips against a
// brute-force expansion, streams, declarations and base vertices with one and two streams,
// re-instancing that touches only the locked elements (guard bytes), eviction from the resource
// arena and instancing again, the device-restore hook, an arena too small for one object, and
// the hardware-light indices of light objects.

#include "graphics/world/d3d9_pipeline.h"

#include "graphics/core/chunk.h"
#include "graphics/core/stream.h"
#include "graphics/world/d3d9_native_data.h"
#include "graphics/world/d3d9_vertex_shader.h"

#include "graphics/core/d3d9/device.h"
#include "graphics/core/d3d9/render_state.h"
#include "graphics/core/d3d9/tests/d3d9_fixture.h"
#include "graphics/core/d3d9/vertex_buffer.h"
#include "graphics/core/engine.h"
#include "graphics/core/resources.h"
#include "graphics/world/clump.h"
#include "graphics/world/d3d9/lights.h"
#include "graphics/world/d3d9/vertex_writers.h"
#include "graphics/world/geometry.h"
#include "graphics/world/light.h"
#include "graphics/world/mesh.h"
#include "graphics/world/world_membership.h"
#include "graphics/world/world.h"
#include "graphics/world/tests/level_kit.h"
#include "graphics/world/tests/world_test_kit.h"
#include "graphics/world/world_plugin.h"
#include "platform/d3d9_control.h"
#include "tools/mkasset/level_builder.h"
#include "tools/mkasset/world_writer.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <type_traits>
#include <vector>

namespace {

using worldtest::StreamBytes;

class PipelineTest : public D3d9DriverTest {
protected:
    void SetUp() override {
        D3d9DriverTest::SetUp();
        ASSERT_TRUE(OvWorldPluginAttach());
        ASSERT_TRUE(Up());
    }
};

// A grid of n x n quads in the xz plane with normals, prelit colours and one texture set; the
// colours' alpha is 255 except where told.
OvGeometry* Grid(int n, OvUInt32 extraFlags = 0) {
    const int verts = (n + 1) * (n + 1);
    OvGeometry* g = OvGeometryCreate(verts, 2 * n * n,
                                     ovGEOMETRYPOSITIONS | ovGEOMETRYNORMALS | ovGEOMETRYPRELIT | ovGEOMETRYTEXTURED |
                                         ovGEOMETRYLIGHT | extraFlags | (1u << 16));
    if (g == nullptr) {
        return nullptr;
    }
    OvMaterial* material = OvMaterialCreate();
    for (int z = 0; z <= n; ++z) {
        for (int x = 0; x <= n; ++x) {
            const int i = z * (n + 1) + x;
            g->morphTarget[0].verts[i] = {static_cast<float>(x), 0.25f * static_cast<float>((x * 7 + z * 3) % 5),
                                          static_cast<float>(z)};
            g->morphTarget[0].normals[i] = {0.0f, 1.0f, 0.0f};
            g->preLitLum[i] = {static_cast<OvUInt8>(i), static_cast<OvUInt8>(2 * i), static_cast<OvUInt8>(3 * i), 255};
            g->texCoords[0][i] = {0.5f * static_cast<float>(x), 0.25f * static_cast<float>(z)};
        }
    }
    int t = 0;
    for (int z = 0; z < n; ++z) {
        for (int x = 0; x < n; ++x) {
            const auto a = static_cast<OvUInt16>(z * (n + 1) + x), b = static_cast<OvUInt16>(a + 1),
                       c = static_cast<OvUInt16>(a + n + 1), d = static_cast<OvUInt16>(c + 1);
            OvGeometryTriangleSetVertexIndices(g, &g->triangles[t], a, c, b);
            OvGeometryTriangleSetMaterial(g, &g->triangles[t++], material);
            OvGeometryTriangleSetVertexIndices(g, &g->triangles[t], b, c, d);
            OvGeometryTriangleSetMaterial(g, &g->triangles[t++], material);
        }
    }
    OvMaterialDestroy(material);
    return OvGeometryUnlock(g);
}

OvAtomic* AtomicOf(OvGeometry* g) {
    OvAtomic* a = OvAtomicCreate();
    OvAtomicSetGeometry(a, g, 0);
    OvGeometryDestroy(g); // the atomic holds it
    return a;
}

void FillStream(const OvD3D9InstancedData* data, int s, OvUInt8 guard) {
    const OvD3D9VertexStream& st = data->vertexStream[s];
    void* p = nullptr;
    ASSERT_EQ(st.vertexBuffer->Lock(st.offset, st.stride * data->totalNumVertex, &p, 0), D3D_OK);
    std::memset(p, guard, st.stride * data->totalNumVertex);
    st.vertexBuffer->Unlock();
}

std::vector<OvUInt16> Indices(const OvD3D9InstancedData* data) {
    std::vector<OvUInt16> out(data->totalNumIndex);
    void* p = nullptr;
    EXPECT_EQ(data->indexBuffer->Lock(0, data->totalNumIndex * 2, &p, D3DLOCK_READONLY), D3D_OK);
    std::memcpy(out.data(), p, out.size() * 2);
    data->indexBuffer->Unlock();
    return out;
}

// A triangle turned so that its smallest index comes first (winding kept).
std::array<int, 3> Canonical(int a, int b, int c) {
    if (b < a && b < c) {
        return {b, c, a};
    }
    if (c < a && c < b) {
        return {c, a, b};
    }
    return {a, b, c};
}

OvBool NoVertices(void*, OvD3D9InstancedData*, OvBool) { return TRUE; }

// A header of meshes of strips (flag 1) or lists, in one allocation as the mesh module lays it.
struct HandHeader {
    std::vector<std::uint64_t> storage;
    OvMeshHeader* header = nullptr;
    HandHeader(const std::vector<std::vector<OvUInt16>>& meshes, OvUInt32 flags) {
        std::size_t total = 0;
        for (const auto& m : meshes) {
            total += m.size();
        }
        const std::size_t bytes = sizeof(OvMeshHeader) + meshes.size() * sizeof(OvMesh) + total * 2;
        storage.assign(bytes / 8 + 1, 0);
        header = reinterpret_cast<OvMeshHeader*>(storage.data());
        header->flags = flags;
        header->numMeshes = static_cast<OvUInt16>(meshes.size());
        header->serialNum = 77;
        header->totalIndicesInMesh = static_cast<OvUInt32>(total);
        OvMesh* out = OvMeshHeaderGetMeshes(header);
        auto* idx = reinterpret_cast<OvUInt16*>(out + meshes.size());
        for (std::size_t m = 0; m < meshes.size(); ++m) {
            out[m] = {idx, static_cast<OvUInt32>(meshes[m].size()), nullptr};
            std::copy(meshes[m].begin(), meshes[m].end(), idx);
            idx += meshes[m].size();
        }
    }
};

TEST_F(PipelineTest, StripsBecomeListsWithDegeneratesDroppedAndWindingKept) {
    std::mt19937 rng(34);
    for (int round = 0; round < 40; ++round) {
        std::vector<std::vector<OvUInt16>> meshes(1 + rng() % 3);
        int triangles = 0;
        for (auto& m : meshes) {
            const int base = static_cast<int>(rng() % 50);
            const int n = static_cast<int>(rng() % 30);
            for (int i = 0; i < n; ++i) {
                // Repeats now and then: the joins and degenerates of real strips.
                m.push_back(i > 0 && rng() % 5 == 0 ? m.back() : static_cast<OvUInt16>(base + rng() % 12));
            }
            triangles += std::max(0, n - 2);
        }
        // The owner's triangle count decides: one less than the strips' length converts them.
        OvWorldSector sector{};
        sector.type = ovSECTORATOMIC;
        OvUInt32 total = 0;
        for (const auto& m : meshes) {
            total += static_cast<OvUInt32>(m.size());
        }
        sector.numTriangles = static_cast<OvUInt16>(total == 0 ? 0 : (total - 1) / 3);
        HandHeader hand(meshes, ovMESHHEADERTRISTRIP);
        OvResourceEntry* ref = nullptr;
        OvResourceEntry* entry =
            OvD3D9InstancedDataCreate(&sector, &sector, ovD3D9OBJECTSECTOR, &ref, hand.header, NoVertices, TRUE);
        ASSERT_NE(entry, nullptr);
        ASSERT_EQ(ref, entry);
        auto* data = OvD3D9InstancedDataFromEntry(entry);
        EXPECT_EQ(data->serialNumber, 77u);
        EXPECT_EQ(data->primType, total == 0 ? D3DPT_TRIANGLESTRIP : D3DPT_TRIANGLELIST) << round;
        const std::vector<OvUInt16> got = data->totalNumIndex > 0 ? Indices(data) : std::vector<OvUInt16>{};
        const OvD3D9InstancedMesh* out = OvD3D9InstancedDataGetMeshes(data);
        OvUInt32 start = 0;
        for (std::size_t m = 0; m < meshes.size(); ++m) {
            const auto& s = meshes[m];
            std::vector<std::array<int, 3>> expect, have;
            for (std::size_t i = 0; i + 2 < s.size(); ++i) {
                const int a = s[i], b = s[i + 1], c = s[i + 2];
                if (a == b || b == c || a == c) {
                    continue;
                }
                expect.push_back(i % 2 == 0 ? Canonical(a, b, c) : Canonical(c, b, a));
            }
            ASSERT_EQ(out[m].startIndex, start);
            ASSERT_EQ(out[m].numIndices, expect.size() * 3);
            EXPECT_EQ(out[m].numPrimitives, expect.size());
            for (OvUInt32 k = 0; k < out[m].numIndices; k += 3) {
                const int base = static_cast<int>(out[m].minIndex);
                have.push_back(Canonical(got[start + k] + base, got[start + k + 1] + base, got[start + k + 2] + base));
            }
            if (!s.empty()) {
                EXPECT_EQ(out[m].minIndex, *std::min_element(s.begin(), s.end()));
                EXPECT_EQ(out[m].numVertices,
                          static_cast<OvUInt32>(*std::max_element(s.begin(), s.end()) - out[m].minIndex + 1));
            }
            std::sort(expect.begin(), expect.end());
            std::sort(have.begin(), have.end());
            EXPECT_EQ(have, expect) << "round " << round << " mesh " << m;
            start += out[m].numIndices;
        }
        EXPECT_EQ(data->totalNumIndex, start);
        OvResourcesFreeEntry(entry);
        EXPECT_EQ(ref, nullptr);
    }
    // As many indices as a list would take: the strip stays a strip, indices rebased. Lists are
    // rebased (less 4), then sorted by each triangle's indices: {0,1,2} < {0,4,5} < {3,4,5}.
    struct Hand {
        std::vector<OvUInt16> indices;
        OvUInt32 flags;
        OvUInt16 triangles;
        D3DPRIMITIVETYPE type;
        std::vector<OvUInt16> expected;
    };
    const Hand hands[] = {{{5, 6, 7, 8}, ovMESHHEADERTRISTRIP, 2, D3DPT_TRIANGLESTRIP, {0, 1, 2, 3}},
                          {{9, 8, 7, 4, 5, 6, 9, 4, 8}, ovMESHHEADERTRILIST, 3, D3DPT_TRIANGLELIST,
                           {0, 1, 2, 5, 0, 4, 5, 4, 3}}};
    for (const Hand& h : hands) {
        HandHeader hand({h.indices}, h.flags);
        OvWorldSector sector{};
        sector.type = ovSECTORATOMIC;
        sector.numTriangles = h.triangles;
        OvResourceEntry* ref = nullptr;
        OvResourceEntry* entry =
            OvD3D9InstancedDataCreate(&sector, &sector, ovD3D9OBJECTSECTOR, &ref, hand.header, NoVertices, TRUE);
        ASSERT_NE(entry, nullptr);
        auto* data = OvD3D9InstancedDataFromEntry(entry);
        EXPECT_EQ(data->primType, h.type);
        EXPECT_EQ(Indices(data), h.expected);
        EXPECT_EQ(OvD3D9InstancedDataGetMeshes(data)[0].numPrimitives, h.triangles);
        OvResourcesFreeEntry(entry);
    }
}

TEST_F(PipelineTest, OneStreamSharedAndTwoStreamsWithADynamicOne) {
    OvAtomic* atomic = AtomicOf(Grid(3));
    OvGeometry* g = atomic->geometry;
    ASSERT_NE(g->mesh, nullptr);
    ASSERT_NE(OvAtomicDefaultRenderCallback(atomic), nullptr);
    ASSERT_NE(g->repEntry, nullptr);
    auto* data = OvD3D9InstancedDataFromEntry(g->repEntry);
    // Position 12, normal 12 (no DEC3N on this device), colour 4, one texture set 8.
    EXPECT_EQ(data->vertexStream[0].stride, 36u);
    EXPECT_EQ(data->vertexStream[0].shared, 1);
    EXPECT_EQ(data->vertexStream[0].elementMask, 0x1E);
    EXPECT_EQ(data->vertexStream[1].vertexBuffer, nullptr);
    EXPECT_EQ(data->useOffsets, 0u);
    EXPECT_EQ(data->totalNumVertex, 16u);
    const OvD3D9InstancedMesh& mesh = OvD3D9InstancedDataGetMeshes(data)[0];
    EXPECT_EQ(mesh.baseIndex, static_cast<OvInt32>(data->vertexStream[0].offset / 36 + mesh.minIndex));
    const std::vector<OvUInt8> bytes = StreamBytes(data, 0);
    for (int i = 0; i < 16; ++i) {
        float v[3];
        OvD3D9VertexReadV3d(D3DDECLTYPE_FLOAT3, v, &bytes[static_cast<std::size_t>(i) * 36]);
        EXPECT_EQ(v[1], g->morphTarget[0].verts[i].y);
        OvUInt32 c;
        std::memcpy(&c, &bytes[static_cast<std::size_t>(i) * 36 + 24], 4);
        EXPECT_EQ(c, 0xFF000000u | static_cast<OvUInt32>(i) << 16 | static_cast<OvUInt32>(2 * i) << 8 | (3 * i));
    }
    EXPECT_EQ(OvD3D9GeometryReinstanceListCount(), 0);
    OvAtomicDestroy(atomic);

    // Colours to the dynamic stream: stream 0 holds them alone, stream 1 the rest in a shared
    // range with stream offsets; the draws' base vertex is the mesh's own minimum.
    atomic = AtomicOf(Grid(3));
    g = atomic->geometry;
    OvD3D9GeometrySetInstanceFlags(g, ovGEOMETRYLOCKPRELIGHT);
    ASSERT_NE(OvAtomicDefaultRenderCallback(atomic), nullptr);
    data = OvD3D9InstancedDataFromEntry(g->repEntry);
    EXPECT_EQ(data->vertexStream[0].stride, 4u);
    EXPECT_EQ(data->vertexStream[0].shared, 0);
    EXPECT_EQ(data->vertexStream[0].offset, 0u);
    EXPECT_EQ(data->vertexStream[0].elementMask, ovGEOMETRYLOCKPRELIGHT);
    EXPECT_EQ(data->vertexStream[1].stride, 32u);
    EXPECT_EQ(data->vertexStream[1].shared, 1);
    EXPECT_EQ(data->useOffsets, 1u);
    EXPECT_EQ(OvD3D9InstancedDataGetMeshes(data)[0].baseIndex,
              static_cast<OvInt32>(OvD3D9InstancedDataGetMeshes(data)[0].minIndex));
    EXPECT_EQ(OvD3D9GeometryReinstanceListCount(), 1);
    // A restore marks the listed geometry for a full rewrite.
    g->lockedSinceLastInst = 0;
    OvD3D9WorldRestoreCallback();
    EXPECT_EQ(g->lockedSinceLastInst, ovGEOMETRYLOCKALL);
    OvAtomicDestroy(atomic);
    EXPECT_EQ(OvD3D9GeometryReinstanceListCount(), 0);
}

// Memory taken with the instancing hint (0x3050D) while the allocation hook below is installed.
OvMemoryFunctions gHooked{};
int gInstancingBlocks = 0;
void* HintedAllocate(std::size_t size, OvUInt32 hint) {
    gInstancingBlocks += hint == 0x3050Du ? 1 : 0;
    return gHooked.allocate(size, hint);
}

// Geometries whose dynamic stream a device reset empties are listed on nodes of a free list that
// grows by blocks (one block serves many geometries); instance-only data and the nodes take the
// instancing hint.
TEST_F(PipelineTest, ReinstanceListNodesComeFromBlocksWithTheInstancingHint) {
    gHooked = OvEngineInstancePtr->memoryFuncs;
    OvEngineInstancePtr->memoryFuncs.allocate = HintedAllocate;
    gInstancingBlocks = 0;
    std::vector<OvAtomic*> atomics;
    std::vector<int> blocks;
    for (int i = 0; i < 3; ++i) {
        atomics.push_back(AtomicOf(Grid(2)));
        OvD3D9GeometrySetInstanceFlags(atomics.back()->geometry, ovGEOMETRYLOCKPRELIGHT);
        ASSERT_NE(OvAtomicDefaultRenderCallback(atomics.back()), nullptr);
        blocks.push_back(gInstancingBlocks);
    }
    EXPECT_EQ(OvD3D9GeometryReinstanceListCount(), 3);
    EXPECT_GE(blocks[0], 1);
    EXPECT_EQ(blocks[2], blocks[0]); // the later nodes from the first block
    OvAtomic* only = AtomicOf(Grid(2));
    only->geometry->flags |= ovGEOMETRYNATIVEINSTANCE;
    ASSERT_NE(OvAtomicDefaultRenderCallback(only), nullptr);
    EXPECT_EQ(gInstancingBlocks, blocks[2] + 1);
    OvEngineInstancePtr->memoryFuncs = gHooked;
    OvAtomicDestroy(only);
    for (OvAtomic* a : atomics) {
        OvAtomicDestroy(a);
    }
    EXPECT_EQ(OvD3D9GeometryReinstanceListCount(), 0);
}

// Instancing flags that send to the dynamic stream only elements the geometry lacks leave that
// stream empty: one shared stream holds everything and the atomic is drawn. With one element of
// its own the dynamic stream is kept.
TEST_F(PipelineTest, DynamicStreamNamingOnlyAbsentElementsFallsBackToOneStream) {
    struct Case {
        OvUInt32 removed; // geometry flags taken away
        OvUInt32 instanceFlags;
        OvUInt32 dynamicStride; // 0: one shared stream
    };
    const Case cases[] = {
        {ovGEOMETRYPRELIT, ovGEOMETRYLOCKPRELIGHT, 0},
        {ovGEOMETRYNORMALS, ovGEOMETRYLOCKNORMALS, 0},
        {ovGEOMETRYPRELIT | ovGEOMETRYNORMALS, ovGEOMETRYLOCKPRELIGHT | ovGEOMETRYLOCKNORMALS, 0},
        {ovGEOMETRYPRELIT, ovGEOMETRYLOCKPRELIGHT | (ovGEOMETRYLOCKTEXCOORDS1 << 1), 0}, // one set only
        {ovGEOMETRYPRELIT, ovGEOMETRYLOCKPRELIGHT | ovGEOMETRYLOCKTEXCOORDS1, 8},
    };
    for (const Case& c : cases) {
        OvAtomic* atomic = AtomicOf(Grid(2));
        OvGeometry* g = atomic->geometry;
        g->flags &= ~c.removed;
        OvD3D9GeometrySetInstanceFlags(g, c.instanceFlags);
        D3d9LogEnable(true);
        D3d9LogClear();
        EXPECT_NE(OvAtomicDefaultRenderCallback(atomic), nullptr) << c.instanceFlags;
        EXPECT_EQ(D3d9LogCount("DrawIndexedPrimitive"), 1) << c.instanceFlags;
        D3d9LogEnable(false);
        ASSERT_NE(g->repEntry, nullptr) << c.instanceFlags;
        const auto* data = OvD3D9InstancedDataFromEntry(g->repEntry);
        if (c.dynamicStride == 0) {
            EXPECT_EQ(data->vertexStream[0].shared, 1) << c.instanceFlags;
            EXPECT_EQ(data->vertexStream[1].vertexBuffer, nullptr) << c.instanceFlags;
            EXPECT_EQ(OvD3D9GeometryReinstanceListCount(), 0) << c.instanceFlags;
        } else {
            EXPECT_EQ(data->vertexStream[0].stride, c.dynamicStride) << c.instanceFlags;
            EXPECT_EQ(data->vertexStream[0].shared, 0) << c.instanceFlags;
            EXPECT_EQ(OvD3D9GeometryReinstanceListCount(), 1) << c.instanceFlags;
        }
        OvAtomicDestroy(atomic);
    }
}

TEST_F(PipelineTest, ReinstancingRewritesOnlyTheLockedElements) {
    OvAtomic* atomic = AtomicOf(Grid(2));
    OvGeometry* g = atomic->geometry;
    OvD3D9GeometrySetInstanceFlags(g, ovGEOMETRYLOCKPRELIGHT);
    ASSERT_NE(OvAtomicDefaultRenderCallback(atomic), nullptr);
    auto* data = OvD3D9InstancedDataFromEntry(g->repEntry);
    const std::vector<OvUInt8> dynamic0 = StreamBytes(data, 0), static0 = StreamBytes(data, 1);
    const OvUInt32 stride1 = data->vertexStream[1].stride; // position 12, normal 12, texture 8
    ASSERT_EQ(stride1, 32u);

    // Texture set 0 only: the shared stream is locked, the texture coordinates rewritten and
    // nothing else; the dynamic stream is not touched.
    FillStream(data, 0, 0xAB);
    FillStream(data, 1, 0xCD);
    for (int i = 0; i < 9; ++i) {
        g->texCoords[0][i].u += 1.0f;
    }
    OvGeometryLock(g, ovGEOMETRYLOCKTEXCOORDS1);
    OvGeometryUnlock(g);
    ASSERT_NE(OvAtomicDefaultRenderCallback(atomic), nullptr);
    ASSERT_EQ(OvD3D9InstancedDataFromEntry(g->repEntry), data); // re-instanced, not made again
    EXPECT_EQ(g->lockedSinceLastInst, 0);
    std::vector<OvUInt8> s0 = StreamBytes(data, 0), s1 = StreamBytes(data, 1);
    EXPECT_TRUE(std::all_of(s0.begin(), s0.end(), [](OvUInt8 b) { return b == 0xAB; }));
    for (int i = 0; i < 9; ++i) {
        const OvUInt8* v = &s1[static_cast<std::size_t>(i) * stride1];
        EXPECT_TRUE(std::all_of(v, v + 24, [](OvUInt8 b) { return b == 0xCD; })) << "vertex " << i;
        float uv[2];
        OvD3D9VertexReadV2d(D3DDECLTYPE_FLOAT2, uv, v + 24);
        EXPECT_EQ(uv[0], g->texCoords[0][i].u);
        EXPECT_EQ(uv[1], g->texCoords[0][i].v);
    }

    // Colours: the dynamic stream is discarded and written whole; the shared one is not touched.
    FillStream(data, 0, 0xAB);
    FillStream(data, 1, 0xCD);
    OvGeometryLock(g, ovGEOMETRYLOCKPRELIGHT);
    OvGeometryUnlock(g);
    ASSERT_NE(OvAtomicDefaultRenderCallback(atomic), nullptr);
    s0 = StreamBytes(data, 0);
    s1 = StreamBytes(data, 1);
    EXPECT_EQ(s0, dynamic0);
    EXPECT_TRUE(std::all_of(s1.begin(), s1.end(), [](OvUInt8 b) { return b == 0xCD; }));

    // Everything: both streams as at first.
    OvGeometryLock(g, ovGEOMETRYLOCKALL);
    OvGeometryUnlock(g);
    ASSERT_NE(OvAtomicDefaultRenderCallback(atomic), nullptr);
    s1 = StreamBytes(data, 1);
    for (int i = 0; i < 9; ++i) {
        // The positions and normals are back; the texture coordinates are the moved ones.
        EXPECT_EQ(0, std::memcmp(&s1[static_cast<std::size_t>(i) * stride1],
                                 &static0[static_cast<std::size_t>(i) * stride1], 24));
    }
    EXPECT_EQ(StreamBytes(data, 0), dynamic0);
    OvAtomicDestroy(atomic);
}

TEST_F(PipelineTest, EvictedDataIsMadeAgainAndAnArenaTooSmallFailsTheDraw) {
    ASSERT_TRUE(OvResourcesSetArenaSize(400));
    OvAtomic* a = AtomicOf(Grid(4));
    OvAtomic* b = AtomicOf(Grid(4));
    ASSERT_NE(OvAtomicDefaultRenderCallback(a), nullptr);
    OvResourceEntry* first = a->geometry->repEntry;
    ASSERT_NE(first, nullptr);
    const OvUInt32 evictions = OvResourcesGetModule()->numEvictions;
    OvResourcesEndFrame();
    // The second geometry's data does not fit beside the first's, which is older: it goes.
    ASSERT_NE(OvAtomicDefaultRenderCallback(b), nullptr);
    ASSERT_NE(b->geometry->repEntry, nullptr);
    EXPECT_EQ(a->geometry->repEntry, nullptr);
    EXPECT_EQ(OvResourcesGetModule()->numEvictions, evictions + 1);
    OvResourcesEndFrame();
    ASSERT_NE(OvAtomicDefaultRenderCallback(a), nullptr);
    ASSERT_NE(a->geometry->repEntry, nullptr);
    EXPECT_EQ(b->geometry->repEntry, nullptr);
    // The vertex ranges of evicted data went back: after both are gone every range is free.
    OvAtomicDestroy(a);
    OvAtomicDestroy(b);
    OvUInt32 offsets[8], sizes[8];
    const OvInt32 ranges = OvD3D9StaticFreeRanges(36, offsets, sizes, 8);
    EXPECT_EQ(ranges, 1);
    EXPECT_EQ(offsets[0], 0u);

    // Data bigger than the whole arena: the draw fails with the arena's error, nothing held.
    ASSERT_TRUE(OvResourcesSetArenaSize(160));
    OvAtomic* c = AtomicOf(Grid(2));
    TakeError();
    EXPECT_EQ(OvAtomicDefaultRenderCallback(c), nullptr);
    EXPECT_EQ(c->geometry->repEntry, nullptr);
    EXPECT_EQ(TakeError(), ovERRARENAFULL);
    OvAtomicDestroy(c);
}

TEST_F(PipelineTest, LostDeviceRewritesTheDynamicStreamWhole) {
    OvAtomic* atomic = AtomicOf(Grid(2));
    OvGeometry* g = atomic->geometry;
    OvD3D9GeometrySetInstanceFlags(g, ovGEOMETRYLOCKPRELIGHT | ovGEOMETRYLOCKVERTICES);
    ASSERT_NE(OvAtomicDefaultRenderCallback(atomic), nullptr);
    auto* data = OvD3D9InstancedDataFromEntry(g->repEntry);
    const std::vector<OvUInt8> before = StreamBytes(data, 0);
    D3d9LoseDevice(OvD3D9GetDevice());
    // Lost in the middle of a frame: the draws go nowhere and nothing fails or is made again.
    OvGeometryLock(g, ovGEOMETRYLOCKPRELIGHT);
    OvGeometryUnlock(g);
    EXPECT_NE(OvAtomicDefaultRenderCallback(atomic), nullptr);
    EXPECT_EQ(OvD3D9InstancedDataFromEntry(g->repEntry), data);
    EXPECT_FALSE(OvD3D9DeviceCheckLost()); // lost: nothing is drawn
    bool back = false;
    for (int i = 0; i < 3 && !back; ++i) {
        back = OvD3D9DeviceCheckLost() != 0; // reset and restored
    }
    ASSERT_TRUE(back);
    EXPECT_EQ(g->lockedSinceLastInst, ovGEOMETRYLOCKALL);
    ASSERT_NE(data->vertexStream[0].vertexBuffer, nullptr);
    FillStream(data, 0, 0x5A); // what a reset leaves is undefined
    ASSERT_NE(OvAtomicDefaultRenderCallback(atomic), nullptr);
    EXPECT_EQ(StreamBytes(data, 0), before);
    OvAtomicDestroy(atomic);
}

TEST_F(PipelineTest, LightsKeepTheirIndexAndReleaseItWhenDestroyed) {
    OvLight* a = OvLightCreate(ovLIGHTPOINT);
    OvLight* b = OvLightCreate(ovLIGHTPOINT);
    OvFrame* f = OvFrameCreate();
    OvLightSetFrame(a, f);
    OvLightSetFrame(b, f);
    EXPECT_EQ(OvD3D9LightGetIndex(a), -1);
    a->radius = 0.0f;
    EXPECT_FALSE(OvD3D9LightSetLocal(a)); // range 0: its index taken, not set, nothing to enable
    EXPECT_EQ(OvD3D9LightGetIndex(a), 0);
    OvD3D9LightsEnable(TRUE, ovD3D9OBJECTATOMIC);
    EXPECT_EQ(OvD3D9LightsEnabledCount(), 0);
    a->radius = 2.0f;
    b->radius = 2.0f;
    EXPECT_TRUE(OvD3D9LightSetLocal(a));
    EXPECT_TRUE(OvD3D9LightSetLocal(b));
    EXPECT_EQ(OvD3D9LightGetIndex(a), 0);
    EXPECT_EQ(OvD3D9LightGetIndex(b), 1);
    OvLightDestroy(a);
    OvLight* c = OvLightCreate(ovLIGHTPOINT);
    OvLightSetFrame(c, f);
    c->radius = 1.0f;
    EXPECT_TRUE(OvD3D9LightSetLocal(c));
    EXPECT_EQ(OvD3D9LightGetIndex(c), 0); // the released index
    OvLightDestroy(b);
    OvLightDestroy(c);
    OvFrameDestroy(f);
}

TEST_F(PipelineTest, TangentsFollowTheTextureDirection) {
    OvAtomic* atomic = AtomicOf(Grid(3));
    OvGeometry* g = atomic->geometry;
    for (int i = 0; i < 16; ++i) {
        g->morphTarget[0].verts[i].y = 0.0f; // flat: u grows along +x everywhere
    }
    OvD3D9GeometrySetInstanceFlags(g, ovD3D9INSTANCETANGENT);
    ASSERT_NE(OvAtomicDefaultRenderCallback(atomic), nullptr);
    auto* data = OvD3D9InstancedDataFromEntry(g->repEntry);
    // One stream: position, normal, colour, texture set, then the tangent (FLOAT3 here).
    ASSERT_EQ(data->vertexStream[1].vertexBuffer, nullptr);
    ASSERT_EQ(data->vertexStream[0].stride, 48u);
    const std::vector<OvUInt8> bytes = StreamBytes(data, 0);
    for (int i = 0; i < 16; ++i) {
        float t[3];
        OvD3D9VertexReadV3d(D3DDECLTYPE_FLOAT3, t, &bytes[static_cast<std::size_t>(i) * 48 + 36]);
        EXPECT_NEAR(t[0], 1.0f, 1e-6f) << i;
        EXPECT_NEAR(t[1], 0.0f, 1e-6f);
        EXPECT_NEAR(t[2], 0.0f, 1e-6f);
    }
    OvAtomicDestroy(atomic);
}

// Tangents of a wavy grid against each vertex's sum over the geometry's triangles; the writer
// asks the engine for no memory.
TEST_F(PipelineTest, TangentsOfManyVerticesAgainstTheirTrianglesWithoutMemory) {
    OvAtomic* atomic = AtomicOf(Grid(50));
    OvGeometry* g = atomic->geometry;
    const OvInt32 count = g->numVertices;
    ASSERT_EQ(count, 51 * 51);
    const OvV3d* p = g->morphTarget[0].verts;
    const auto* uv = reinterpret_cast<const OvV2d*>(g->texCoords[0]);
    std::vector<double> sums(static_cast<std::size_t>(3 * count), 0.0);
    for (OvInt32 k = 0; k < g->numTriangles; ++k) {
        const OvUInt16* v = g->triangles[k].vertIndex;
        const double e1[3] = {p[v[1]].x - p[v[0]].x, p[v[1]].y - p[v[0]].y, p[v[1]].z - p[v[0]].z};
        const double e2[3] = {p[v[2]].x - p[v[0]].x, p[v[2]].y - p[v[0]].y, p[v[2]].z - p[v[0]].z};
        const double du1 = uv[v[1]].x - uv[v[0]].x, dv1 = uv[v[1]].y - uv[v[0]].y;
        const double du2 = uv[v[2]].x - uv[v[0]].x, dv2 = uv[v[2]].y - uv[v[0]].y;
        const double det = du1 * dv2 - du2 * dv1;
        for (int j = 0; j < 3; ++j) {
            for (int c = 0; c < 3; ++c) {
                sums[3u * v[j] + static_cast<std::size_t>(c)] += (e1[c] * dv2 - e2[c] * dv1) / det;
            }
        }
    }
    OvD3D9GeometrySetInstanceFlags(g, ovD3D9INSTANCETANGENT);
    ASSERT_NE(OvAtomicDefaultRenderCallback(atomic), nullptr);
    auto* data = OvD3D9InstancedDataFromEntry(g->repEntry);
    ASSERT_EQ(data->vertexStream[0].stride, 48u);
    const std::vector<OvUInt8> bytes = StreamBytes(data, 0);

    // Again straight into a buffer of its own, every allocation refused meanwhile.
    std::vector<OvUInt8> own(static_cast<std::size_t>(12 * count));
    const OvMemoryFunctions saved = OvEngineInstancePtr->memoryFuncs;
    OvEngineInstancePtr->memoryFuncs.allocate = [](std::size_t, OvUInt32) -> void* { return nullptr; };
    OvEngineInstancePtr->memoryFuncs.callocate = [](std::size_t, std::size_t, OvUInt32) -> void* { return nullptr; };
    const OvUInt32 size = OvD3D9VertexWriteTangents(D3DDECLTYPE_FLOAT3, own.data(), p, uv, data, 12);
    OvEngineInstancePtr->memoryFuncs = saved;
    EXPECT_EQ(size, 12u);

    for (OvInt32 i = 0; i < count; ++i) {
        const double* s = &sums[3u * static_cast<std::size_t>(i)];
        const double l = std::sqrt(s[0] * s[0] + s[1] * s[1] + s[2] * s[2]);
        float t[3], u[3];
        OvD3D9VertexReadV3d(D3DDECLTYPE_FLOAT3, t, &bytes[static_cast<std::size_t>(i) * 48 + 36]);
        OvD3D9VertexReadV3d(D3DDECLTYPE_FLOAT3, u, &own[static_cast<std::size_t>(i) * 12]);
        for (int c = 0; c < 3; ++c) {
            EXPECT_NEAR(t[c], s[c] / l, 1e-5) << i;
            EXPECT_EQ(u[c], t[c]) << i;
        }
    }
    OvAtomicDestroy(atomic);
}

// The native-data sub-chunk of an instanced geometry or sector.
template <typename T> std::vector<OvUInt8> WriteNativeChunk(const T* object) {
    OvStream* out = OvStreamOpen(ovSTREAMMEMORY, ovSTREAMWRITE, nullptr);
    if constexpr (std::is_same_v<T, OvGeometry>) {
        EXPECT_NE(OvGeometryNativeDataStreamWrite(out, object), nullptr);
    } else {
        EXPECT_NE(OvWorldSectorNativeDataStreamWrite(out, object), nullptr);
    }
    OvMemory memory = {};
    OvStreamClose(out, &memory);
    std::vector<OvUInt8> bytes(memory.start, memory.start + memory.length);
    OvFree(memory.start);
    return bytes;
}

OvGeometry* ReadNativeChunk(const std::vector<OvUInt8>& bytes, OvInt32 length, OvGeometry* g) {
    OvMemory memory{const_cast<OvUInt8*>(bytes.data()), static_cast<OvUInt32>(bytes.size())};
    OvStream* in = OvStreamOpen(ovSTREAMMEMORY, ovSTREAMREAD, &memory);
    OvGeometry* result = OvGeometryNativeDataStreamRead(in, length, g);
    OvStreamClose(in, nullptr);
    return result;
}

TEST_F(PipelineTest, NativeDataReadsBackAsWrittenAndRefusesWhatDoesNotMatch) {
    for (const OvUInt32 flags : {0u, static_cast<OvUInt32>(ovGEOMETRYLOCKPRELIGHT)}) {
        OvAtomic* atomic = AtomicOf(Grid(3));
        OvGeometry* g = atomic->geometry;
        OvD3D9GeometrySetInstanceFlags(g, flags);
        EXPECT_EQ(OvGeometryNativeDataStreamGetSize(g), 0); // not native: nothing to write
        ASSERT_NE(OvAtomicDefaultRenderCallback(atomic), nullptr);
        g->flags |= ovGEOMETRYNATIVE;
        const std::vector<OvUInt8> chunk = WriteNativeChunk(g);
        ASSERT_EQ(static_cast<OvInt32>(chunk.size()), OvGeometryNativeDataStreamGetSize(g));
        // The header: struct chunk, platform 9, the data block of 64 + 36 a mesh.
        EXPECT_EQ(OvChunkGetUInt32(chunk.data()), 1u);
        EXPECT_EQ(OvChunkGetUInt32(chunk.data() + 4), chunk.size() - 12);
        EXPECT_EQ(OvChunkGetUInt32(chunk.data() + 12), 9u);
        EXPECT_EQ(OvChunkGetUInt32(chunk.data() + 16), 64u + 36u);

        auto* live = OvD3D9InstancedDataFromEntry(g->repEntry);
        const OvD3D9InstancedData head = *live;
        const OvD3D9InstancedMesh mesh = OvD3D9InstancedDataGetMeshes(live)[0];
        const std::vector<OvUInt16> indices = Indices(live);
        std::vector<OvUInt8> streams[2];
        for (int k = 0; k < 2; ++k) {
            if (live->vertexStream[k].vertexBuffer != nullptr) {
                streams[k] = StreamBytes(live, k);
            }
        }

        // Every prefix fails and leaves nothing made; so does every changed size field.
        int liveAfterFree = 0;
        for (std::size_t cut = 0; cut < chunk.size(); cut += (cut < 200 ? 1 : 97)) {
            std::vector<OvUInt8> part(chunk.begin(), chunk.begin() + static_cast<std::ptrdiff_t>(cut));
            EXPECT_EQ(ReadNativeChunk(part, static_cast<OvInt32>(chunk.size()), g), nullptr) << cut;
            ASSERT_EQ(g->repEntry, nullptr);
            if (cut == 0) {
                liveAfterFree = D3d9LiveObjects(OvD3D9GetDevice()); // the live data is gone now
            }
        }
        // Chunk length, platform, data size, meshes, stride, totals, and the mesh's counts, first
        // vertex, material, start and primitives. Two passes: the second may leave no more
        // device objects than the first (the driver keeps freed dynamic buffers for reuse).
        int liveAfterPass = 0;
        for (int pass = 0; pass < 2; ++pass) {
            for (std::size_t field : {4u, 12u, 16u, 24u, 44u, 76u, 80u, 84u, 88u, 92u, 108u, 112u, 116u}) {
                std::vector<OvUInt8> bad = chunk;
                OvChunkPutUInt32(&bad[field], OvChunkGetUInt32(&bad[field]) + 1);
                EXPECT_EQ(ReadNativeChunk(bad, static_cast<OvInt32>(bad.size()), g), nullptr) << field;
                ASSERT_EQ(g->repEntry, nullptr);
            }
            if (pass == 1) {
                EXPECT_EQ(D3d9LiveObjects(OvD3D9GetDevice()), liveAfterPass) << "a failed read left device objects";
            }
            liveAfterPass = D3d9LiveObjects(OvD3D9GetDevice());
        }
        EXPECT_LE(liveAfterPass, liveAfterFree + 2);

        // Bytes after the records, inside the struct chunk or after it, are passed over: the
        // data reads and the stream goes on after the sub-chunk.
        for (const bool inside : {true, false}) {
            std::vector<OvUInt8> longer = chunk;
            longer.insert(longer.end(), {1, 2, 3, 4});
            if (inside) {
                OvChunkPutUInt32(&longer[4], OvChunkGetUInt32(&longer[4]) + 4);
            }
            std::vector<OvUInt8> followed = longer;
            followed.push_back(0x5A);
            OvMemory memory{followed.data(), static_cast<OvUInt32>(followed.size())};
            OvStream* in = OvStreamOpen(ovSTREAMMEMORY, ovSTREAMREAD, &memory);
            EXPECT_EQ(OvGeometryNativeDataStreamRead(in, static_cast<OvInt32>(longer.size()), g), g) << inside;
            OvUInt8 next = 0;
            EXPECT_EQ(OvStreamRead(in, &next, 1), 1u);
            EXPECT_EQ(next, 0x5A) << inside;
            OvStreamClose(in, nullptr);
        }

        ASSERT_EQ(ReadNativeChunk(chunk, static_cast<OvInt32>(chunk.size()), g), g);
        auto* read = OvD3D9InstancedDataFromEntry(g->repEntry);
        EXPECT_EQ(read->serialNumber, head.serialNumber);
        EXPECT_EQ(read->numMeshes, head.numMeshes);
        EXPECT_EQ(read->primType, head.primType);
        EXPECT_EQ(read->totalNumIndex, head.totalNumIndex);
        EXPECT_EQ(read->totalNumVertex, head.totalNumVertex);
        EXPECT_EQ(read->useOffsets, head.useOffsets);
        const OvD3D9InstancedMesh& m = OvD3D9InstancedDataGetMeshes(read)[0];
        EXPECT_EQ(m.material, mesh.material);
        EXPECT_EQ(m.numIndices, mesh.numIndices);
        EXPECT_EQ(m.minIndex, mesh.minIndex);
        EXPECT_EQ(m.numPrimitives, mesh.numPrimitives);
        EXPECT_EQ(m.vertexAlpha, mesh.vertexAlpha);
        EXPECT_EQ(Indices(read), indices);
        for (int k = 0; k < 2; ++k) {
            EXPECT_EQ(read->vertexStream[k].stride, head.vertexStream[k].stride);
            EXPECT_EQ(read->vertexStream[k].elementMask, head.vertexStream[k].elementMask);
            if (!streams[k].empty()) {
                EXPECT_EQ(StreamBytes(read, k), streams[k]) << "stream " << k;
            }
        }
        // Drawn as read, and written again (buffer placement may differ, the sizes may not).
        EXPECT_NE(OvAtomicDefaultRenderCallback(atomic), nullptr);
        EXPECT_EQ(WriteNativeChunk(g).size(), chunk.size());
        // A mesh whose material is not in the list is written as -1 and reads back without one;
        // the data read takes the instancing hint.
        OvMaterial* stranger = OvMaterialCreate();
        OvD3D9InstancedDataGetMeshes(OvD3D9InstancedDataFromEntry(g->repEntry))[0].material = stranger;
        const std::vector<OvUInt8> without = WriteNativeChunk(g);
        ASSERT_EQ(without.size(), chunk.size());
        EXPECT_EQ(OvChunkGetUInt32(&without[92]), 0xFFFFFFFFu);
        gHooked = OvEngineInstancePtr->memoryFuncs;
        OvEngineInstancePtr->memoryFuncs.allocate = HintedAllocate;
        gInstancingBlocks = 0;
        ASSERT_EQ(ReadNativeChunk(without, static_cast<OvInt32>(without.size()), g), g);
        OvEngineInstancePtr->memoryFuncs = gHooked;
        EXPECT_GE(gInstancingBlocks, 1);
        EXPECT_EQ(OvD3D9InstancedDataGetMeshes(OvD3D9InstancedDataFromEntry(g->repEntry))[0].material, nullptr);
        OvMaterialDestroy(stranger);
        OvAtomicDestroy(atomic);
    }
}

// The fuzz harness's seeds are chunks the reader takes: one stream of a list, two streams of a
// strip (shared ranges with stream offsets), two streams of a morphing geometry (buffers of its
// own); what is read draws and is written back at its announced size.
TEST_F(PipelineTest, NativeDataSeedsRead) {
    for (const char* name : {"one_stream_list.bin", "two_streams_strip.bin", "two_streams_morph.bin"}) {
        std::ifstream file(std::string(GFX_NATIVE_DATA_SEEDS) + name, std::ios::binary);
        const std::vector<OvUInt8> bytes((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
        ASSERT_GT(bytes.size(), 1u) << name;
        OvGeometry* g = OvGeometryCreate(0, 0, ovGEOMETRYNATIVE);
        ASSERT_NE(g, nullptr);
        if ((bytes[0] & 1) != 0) {
            OvGeometryAddMorphTargets(g, 1);
        }
        OvMaterial* material = OvMaterialCreate();
        OvMaterialListAppendMaterial(&g->matList, material);
        OvMaterialDestroy(material);
        const std::vector<OvUInt8> body(bytes.begin() + 1, bytes.end());
        ASSERT_EQ(ReadNativeChunk(body, static_cast<OvInt32>(body.size()), g), g)
            << name << " " << std::hex << TakeError();
        auto* data = OvD3D9InstancedDataFromEntry(g->repEntry);
        EXPECT_EQ(data->vertexStream[0].shared, (bytes[0] & 1) != 0 ? 0 : 1) << name;
        const std::vector<OvUInt8> positions = StreamBytes(data, 0);
        float p[3];
        OvD3D9VertexReadV3d(D3DDECLTYPE_FLOAT3, p, &positions[12]);
        EXPECT_EQ(p[0], 1.0f);
        EXPECT_EQ(p[2], 0.5f);
        EXPECT_EQ(static_cast<OvInt32>(WriteNativeChunk(g).size()), OvGeometryNativeDataStreamGetSize(g));
        EXPECT_EQ(OvGeometryNativeDataStreamGetSize(g), static_cast<OvInt32>(body.size()));
        OvGeometryDestroy(g);
    }
}

bool Logged(const std::string& line) {
    const std::vector<std::string>& log = D3d9Log();
    return std::find(log.begin(), log.end(), line) != log.end();
}

// The fixed-function states of the render callback: unlit geometry without prelit colours in
// opaque black with flat shading (restored after); unlit with a modulating material colour
// through the texture factor; lit with the surface from the material. Every mesh is drawn once.
TEST_F(PipelineTest, RenderCallbackModes) {
    OvAtomic* atomic = AtomicOf(Grid(2));
    OvGeometry* g = atomic->geometry;
    ASSERT_NE(OvAtomicDefaultRenderCallback(atomic), nullptr);
    OvResourceEntry* entry = g->repEntry;
    OvMaterial* material = OvD3D9InstancedDataGetMeshes(OvD3D9InstancedDataFromEntry(entry))[0].material;
    ASSERT_NE(material, nullptr);
    D3d9LogEnable(true);

    OvD3D9SetRenderState(D3DRS_LIGHTING, FALSE);
    OvD3D9SetRenderState(D3DRS_SHADEMODE, D3DSHADE_GOURAUD);
    D3d9LogClear();
    OvD3D9DefaultRenderCallback(entry, atomic, ovD3D9OBJECTATOMIC, ovGEOMETRYTEXTURED);
    EXPECT_TRUE(Logged("SetRenderState(60, 4278190080)")); // texture factor: opaque black
    EXPECT_TRUE(Logged("SetRenderState(9, 1)"));           // flat while drawing
    EXPECT_TRUE(Logged("SetTextureStageState(0, 3, 3)"));  // colour: the factor selected
    EXPECT_EQ(D3d9LogCount("DrawIndexedPrimitive"), 1);
    EXPECT_EQ(OvD3D9GetRenderState(D3DRS_SHADEMODE), static_cast<OvUInt32>(D3DSHADE_GOURAUD)); // restored

    material->color = {200, 100, 50, 255};
    D3d9LogClear();
    OvD3D9DefaultRenderCallback(entry, atomic, ovD3D9OBJECTATOMIC, ovGEOMETRYPRELIT | ovGEOMETRYMODULATEMATERIALCOLOR);
    OvD3D9RenderStateFlush();
    EXPECT_TRUE(Logged("SetRenderState(60, 4291322930)")); // 0xFFC86432
    EXPECT_TRUE(Logged("SetTextureStageState(0, 1, 4)"));  // modulate
    EXPECT_TRUE(Logged("SetTextureStageState(0, 2, 0)"));  // diffuse by the factor
    EXPECT_EQ(D3d9LogCount("DrawIndexedPrimitive"), 1);

    OvD3D9SetRenderState(D3DRS_LIGHTING, TRUE);
    D3d9LogClear();
    OvD3D9DefaultRenderCallback(entry, atomic, ovD3D9OBJECTATOMIC, ovGEOMETRYLIGHT | ovGEOMETRYNORMALS);
    EXPECT_EQ(D3d9LogCount("SetMaterial"), 1);
    EXPECT_TRUE(Logged("SetTextureStageState(0, 1, 3)")); // no texture, no factor: the diffuse colour
    EXPECT_TRUE(Logged("SetTextureStageState(0, 3, 0)"));
    EXPECT_EQ(D3d9LogCount("DrawIndexedPrimitive"), 1);
    D3d9LogEnable(false);
    OvAtomicDestroy(atomic);
}

// An instance-only geometry gets its data in plain memory and is never drawn.
TEST_F(PipelineTest, InstanceOnlyDataIsNotDrawn) {
    OvAtomic* atomic = AtomicOf(Grid(2));
    OvGeometry* g = atomic->geometry;
    g->flags |= ovGEOMETRYNATIVEINSTANCE;
    const OvUInt32 used = OvResourcesGetModule()->usedBytes;
    D3d9LogEnable(true);
    D3d9LogClear();
    ASSERT_NE(OvAtomicDefaultRenderCallback(atomic), nullptr);
    ASSERT_NE(g->repEntry, nullptr);
    EXPECT_EQ(g->repEntry->link.next, nullptr); // not in the arena
    EXPECT_EQ(OvResourcesGetModule()->usedBytes, used);
    EXPECT_EQ(D3d9LogCount("DrawIndexedPrimitive"), 0);
    D3d9LogEnable(false);
    OvAtomicDestroy(atomic);
}

// A morphing geometry's instanced data is the atomic's own: it goes when the atomic takes another
// geometry, even one whose mesh serial is the same (the serial counter wraps), so that the new
// data names the new geometry's materials and never the freed ones of the old.
TEST_F(PipelineTest, AtomicOwnDataGoesWithItsGeometry) {
    OvGeometry* geometries[2] = {Grid(2), Grid(2)};
    for (OvGeometry* g : geometries) {
        ASSERT_EQ(OvGeometryAddMorphTargets(g, 1), 1);
        for (int i = 0; i < 9; ++i) {
            g->morphTarget[1].verts[i] = g->morphTarget[0].verts[i];
            g->morphTarget[1].normals[i] = g->morphTarget[0].normals[i];
        }
    }
    OvAtomic* atomic = AtomicOf(geometries[0]);
    ASSERT_NE(OvAtomicDefaultRenderCallback(atomic), nullptr);
    ASSERT_NE(atomic->repEntry, nullptr);
    geometries[1]->mesh->serialNum = geometries[0]->mesh->serialNum;
    OvAtomicSetGeometry(atomic, geometries[1], 0); // the first geometry and its materials go
    OvGeometryDestroy(geometries[1]);
    EXPECT_EQ(atomic->repEntry, nullptr);
    ASSERT_NE(OvAtomicDefaultRenderCallback(atomic), nullptr);
    ASSERT_NE(atomic->repEntry, nullptr);
    EXPECT_EQ(OvD3D9InstancedDataGetMeshes(OvD3D9InstancedDataFromEntry(atomic->repEntry))[0].material,
              atomic->geometry->matList.materials[0]);
    OvAtomicDestroy(atomic);
}

// Two morph targets: each atomic has data of its own with positions and normals in the dynamic
// stream, written interpolated while the interpolator is between the targets, every frame.
TEST_F(PipelineTest, MorphTargetsAreInterpolatedIntoTheDynamicStream) {
    OvAtomic* atomic = AtomicOf(Grid(2));
    OvGeometry* g = atomic->geometry;
    ASSERT_EQ(OvGeometryAddMorphTargets(g, 1), 1);
    for (int i = 0; i < 9; ++i) {
        g->morphTarget[1].verts[i] = g->morphTarget[0].verts[i];
        g->morphTarget[1].verts[i].y += 2.0f;
        g->morphTarget[1].normals[i] = {1.0f, 0.0f, 0.0f};
    }
    atomic->interpolator.startMorphTarget = 0;
    atomic->interpolator.endMorphTarget = 1;
    atomic->interpolator.recipTime = 1.0f;
    atomic->interpolator.position = 0.25f;
    ASSERT_NE(OvAtomicDefaultRenderCallback(atomic), nullptr);
    EXPECT_EQ(g->repEntry, nullptr);
    ASSERT_NE(atomic->repEntry, nullptr);
    auto* data = OvD3D9InstancedDataFromEntry(atomic->repEntry);
    EXPECT_EQ(data->vertexStream[0].shared, 0);
    EXPECT_EQ(data->vertexStream[0].elementMask, ovGEOMETRYLOCKVERTICES | ovGEOMETRYLOCKNORMALS);
    EXPECT_EQ(OvD3D9GeometryReinstanceListCount(), 1);
    auto check = [&](float t) {
        const std::vector<OvUInt8> bytes = StreamBytes(data, 0);
        for (int i = 0; i < 9; ++i) {
            float p[3], n[3];
            OvD3D9VertexReadV3d(D3DDECLTYPE_FLOAT3, p, &bytes[static_cast<std::size_t>(i) * 24]);
            OvD3D9VertexReadV3d(D3DDECLTYPE_FLOAT3, n, &bytes[static_cast<std::size_t>(i) * 24 + 12]);
            EXPECT_FLOAT_EQ(p[1], g->morphTarget[0].verts[i].y + 2.0f * t) << i;
            EXPECT_FLOAT_EQ(n[0], t);
            EXPECT_FLOAT_EQ(n[1], 1.0f - t);
        }
    };
    check(0.25f);
    // The next frame with the interpolator moved on: written again without any lock.
    atomic->interpolator.position = 0.75f;
    ASSERT_NE(OvAtomicDefaultRenderCallback(atomic), nullptr);
    ASSERT_EQ(OvD3D9InstancedDataFromEntry(atomic->repEntry), data);
    check(0.75f);
    OvAtomicDestroy(atomic);
    EXPECT_EQ(OvD3D9GeometryReinstanceListCount(), 0);
}

// A level's sectors drawn once, then each sector's native data of a native world written and
// read back into the sector: the same meshes, materials of the world's list, indices and
// vertices; a sector of a world that is not native writes nothing. A world destroyed after its
// sectors were drawn takes their instanced data with it (emptying the arena afterwards would
// clear references inside the freed world).
TEST_F(PipelineTest, SectorNativeDataRoundTrip) {
    mkasset::WorldDesc stored = mkasset::LevelWorld({5, 12, 3, 64});
    for (mkasset::SectorNodeDesc& node : stored.nodes) {
        if (node.type < 0) {
            node.sector.extensions.push_back(mkasset::BinMeshExtension(
                0, mkasset::ListMeshes(node.sector.triangles, static_cast<std::uint32_t>(node.sector.materialBase))));
        }
    }
    OvWorld* drawn = worldtest::ReadWorld(mkasset::WorldFile(stored));
    ASSERT_NE(drawn, nullptr);
    OvEngineInstancePtr->curWorld = drawn;
    for (OvWorldSector* sector : worldtest::SectorsOf(drawn)) {
        ASSERT_NE(OvWorldSectorDefaultRenderCallback(sector), nullptr);
        EXPECT_EQ(sector->repEntry != nullptr, sector->numVertices > 0);
    }
    OvEngineInstancePtr->curWorld = nullptr;
    OvWorldDestroy(drawn);
    EXPECT_TRUE(OvResourcesEmptyArena());

    OvWorld* world = worldtest::ReadWorld(mkasset::WorldFile(mkasset::LevelWorld({5, 12, 3, 64})));
    ASSERT_NE(world, nullptr);
    const std::vector<OvWorldSector*> sectors = worldtest::SectorsOf(world);
    ASSERT_GT(sectors.size(), 1u);
    OvEngineInstancePtr->curWorld = world;
    for (OvWorldSector* sector : sectors) {
        ASSERT_NE(OvWorldSectorDefaultRenderCallback(sector), nullptr);
        EXPECT_EQ(OvWorldSectorNativeDataStreamGetSize(sector), 0);
    }
    world->flags |= ovGEOMETRYNATIVE;
    int checked = 0;
    for (OvWorldSector* sector : sectors) {
        if (sector->numVertices == 0) {
            continue;
        }
        ASSERT_NE(sector->repEntry, nullptr);
        const std::vector<OvUInt8> chunk = WriteNativeChunk(sector);
        ASSERT_EQ(static_cast<OvInt32>(chunk.size()), OvWorldSectorNativeDataStreamGetSize(sector));
        auto* live = OvD3D9InstancedDataFromEntry(sector->repEntry);
        const std::vector<OvUInt16> indices = Indices(live);
        const std::vector<OvUInt8> vertices = StreamBytes(live, 0);
        std::vector<OvMaterial*> materials;
        for (OvUInt32 m = 0; m < live->numMeshes; ++m) {
            materials.push_back(OvD3D9InstancedDataGetMeshes(live)[m].material);
        }
        OvMemory back{const_cast<OvUInt8*>(chunk.data()), static_cast<OvUInt32>(chunk.size())};
        OvStream* again = OvStreamOpen(ovSTREAMMEMORY, ovSTREAMREAD, &back);
        ASSERT_EQ(OvWorldSectorNativeDataStreamRead(again, static_cast<OvInt32>(chunk.size()), sector, &world->matList),
                  sector);
        OvStreamClose(again, nullptr);
        auto* read = OvD3D9InstancedDataFromEntry(sector->repEntry);
        EXPECT_EQ(Indices(read), indices);
        EXPECT_EQ(StreamBytes(read, 0), vertices);
        ASSERT_EQ(read->numMeshes, materials.size());
        for (OvUInt32 m = 0; m < read->numMeshes; ++m) {
            EXPECT_EQ(OvD3D9InstancedDataGetMeshes(read)[m].material, materials[m]);
        }
        ++checked;
    }
    EXPECT_GT(checked, 1);
    OvEngineInstancePtr->curWorld = nullptr;
    OvWorldDestroy(world);
}

// The texture-coordinate chooser takes the declaration types the shader cache kept at the
// world module's open: this device reports none, so coordinates within [0, 1] go to D3DCOLOR.
TEST_F(PipelineTest, TexCoordChoiceFollowsTheShaderCacheTypes) {
    EXPECT_EQ(OvD3D9VertexGetDeclTypeCaps(), OvD3D9VertexShaderGetDeclTypes());
    const OvV2d unit[2] = {{0.0f, 0.25f}, {1.0f, 0.5f}};
    EXPECT_EQ(OvD3D9TexCoordsChooseDeclType(unit, 2), static_cast<OvUInt32>(D3DDECLTYPE_D3DCOLOR));
}

// An atomic lit in a world: the world's directional light becomes the one device light, lighting
// is on, and a frame scaled by 1.1 (axes of squared length 1.21) renormalises normals while a
// rotation alone does not. Unlit geometry switches lighting off.
TEST_F(PipelineTest, AtomicLightingAndNormalisation) {
    OvWorld* world = worldtest::ReadWorld(mkasset::WorldFile(mkasset::LevelWorld({5, 12, 3, 64})));
    ASSERT_NE(world, nullptr);
    OvLight* sun = OvLightCreate(ovLIGHTDIRECTIONAL);
    OvFrame* sunFrame = OvFrameCreate();
    OvLightSetFrame(sun, sunFrame);
    OvWorldAddLight(world, sun);
    OvAtomic* atomic = AtomicOf(Grid(2));
    OvFrame* frame = OvFrameCreate();
    OvAtomicSetFrame(atomic, frame);
    OvWorldAddAtomic(world, atomic);
    OvEngineInstancePtr->curWorld = world;

    const OvV3d scale = {1.1f, 1.1f, 1.1f};
    OvFrameScale(frame, &scale, ovCOMBINEREPLACE);
    ASSERT_NE(OvAtomicDefaultRenderCallback(atomic), nullptr);
    EXPECT_EQ(OvD3D9GetRenderState(D3DRS_LIGHTING), static_cast<OvUInt32>(TRUE));
    EXPECT_EQ(OvD3D9GetRenderState(D3DRS_NORMALIZENORMALS), static_cast<OvUInt32>(TRUE));
    ASSERT_EQ(OvD3D9LightsEnabledCount(), 1);
    EXPECT_EQ(OvD3D9LightsEnabled()[0], OvD3D9LightGetIndex(sun));

    const OvV3d axis = {0.0f, 1.0f, 0.0f};
    OvFrameRotate(frame, &axis, 30.0f, ovCOMBINEREPLACE);
    ASSERT_NE(OvAtomicDefaultRenderCallback(atomic), nullptr);
    EXPECT_EQ(OvD3D9GetRenderState(D3DRS_NORMALIZENORMALS), static_cast<OvUInt32>(FALSE));

    atomic->geometry->flags &= ~static_cast<OvUInt32>(ovGEOMETRYLIGHT);
    ASSERT_NE(OvAtomicDefaultRenderCallback(atomic), nullptr);
    EXPECT_EQ(OvD3D9GetRenderState(D3DRS_LIGHTING), static_cast<OvUInt32>(FALSE));

    OvEngineInstancePtr->curWorld = nullptr;
    OvWorldRemoveLight(world, sun);
    OvLightDestroy(sun);
    OvFrameDestroy(sunFrame);
    OvAtomicDestroy(atomic); // leaves the world with its ties
    OvFrameDestroy(frame);
    OvWorldDestroy(world);
}

} // namespace
