#include "graphics/world/tests/world_test_kit.h"

#include <algorithm>
#include <array>
#include <map>
#include <numeric>
#include <set>
#include <cstring>
#include <functional>

#include "graphics/core/camera.h"
#include "graphics/core/chunk.h"
#include "graphics/core/engine.h"
#include "graphics/core/frame.h"
#include "graphics/core/plugin.h"
#include "graphics/core/raster.h"
#include "graphics/core/texture.h"
#include "graphics/world/material.h"
#include "graphics/world/world_plugin.h"

namespace worldtest {

namespace {

void (*gExtra)() = nullptr;

void Register() {
    OvWorldPluginAttach();
    if (gExtra != nullptr) {
        gExtra();
    }
}

int UsedEntries(OvUInt32 moduleId) {
    const OvInt32 offset = OvEngineGetPluginOffset(moduleId);
    if (offset < 0) {
        return 0;
    }
    int n = 0;
    // Every module named here keeps its free lists as the first words of its data.
    auto** lists = reinterpret_cast<OvFreeList**>(reinterpret_cast<char*>(OvEngineInstancePtr) + offset);
    const int count = moduleId == ovPLUGINIDCLUMP ? 2 : 1;
    for (int i = 0; i < count; ++i) {
        if (lists[i] != nullptr) {
            OvFreeListForAllUsed(
                lists[i], [](void*, void* data) { ++*static_cast<int*>(data); }, &n);
        }
    }
    return n;
}

} // namespace

OvBool EngineUp(void (*extra)()) {
    gExtra = extra;
    return OvTestEngineUp(0, Register);
}

int LiveObjects() {
    return UsedEntries(ovPLUGINIDMATERIAL) + UsedEntries(ovPLUGINIDCLUMP) + UsedEntries(ovPLUGINIDLIGHT) +
           UsedEntries(ovPLUGINIDFRAME) + UsedEntries(ovPLUGINIDCAMERA);
}

OvInt32 TakeError() {
    OvError e;
    OvErrorGet(&e);
    return e.errorCode;
}

long FirstDifference(const Bytes& a, const Bytes& b) {
    const std::size_t n = std::min(a.size(), b.size());
    for (std::size_t i = 0; i < n; ++i) {
        if (a[i] != b[i]) {
            return static_cast<long>(i);
        }
    }
    return a.size() == b.size() ? -1 : static_cast<long>(n);
}

std::vector<std::uint8_t> StreamBytes(const OvD3D9InstancedData* data, int stream) {
    const OvD3D9VertexStream& st = data->vertexStream[stream];
    std::vector<std::uint8_t> out(static_cast<std::size_t>(st.stride) * data->totalNumVertex);
    void* p = nullptr;
    EXPECT_EQ(st.vertexBuffer->Lock(st.offset, static_cast<UINT>(out.size()), &p, D3DLOCK_READONLY), D3D_OK);
    std::memcpy(out.data(), p, out.size());
    st.vertexBuffer->Unlock();
    return out;
}

OvStream* OpenBytes(const Bytes& bytes) {
    OvMemory memory{const_cast<std::uint8_t*>(bytes.data()), static_cast<OvUInt32>(bytes.size())};
    return OvStreamOpen(ovSTREAMMEMORY, ovSTREAMREAD, &memory);
}

OvStream* OpenPieceByPiece(PieceSource* source) {
    const auto read = [](void* data, void* buffer, OvUInt32 length) -> OvUInt32 {
        auto* from = static_cast<PieceSource*>(data);
        const std::size_t n = std::min<std::size_t>(length, from->bytes->size() - from->at);
        std::copy_n(from->bytes->data() + from->at, n, static_cast<OvUInt8*>(buffer));
        from->at += n;
        return static_cast<OvUInt32>(n);
    };
    const auto skip = [](void* data, OvUInt32 length) -> OvBool {
        auto* from = static_cast<PieceSource*>(data);
        if (from->bytes->size() - from->at < length) {
            return FALSE;
        }
        from->at += length;
        return TRUE;
    };
    OvStreamCustom custom = {nullptr, read, nullptr, skip, source};
    return OvStreamOpen(ovSTREAMCUSTOM, ovSTREAMREAD, &custom);
}

OvClump* ReadClump(const Bytes& bytes) { return ReadFirst<OvClump>(bytes, OvClumpStreamRead); }
OvGeometry* ReadGeometry(const Bytes& bytes) { return ReadFirst<OvGeometry>(bytes, OvGeometryStreamRead); }

void GridTriangles(OvGeometry* geometry, int n, OvMaterial* material) {
    int t = 0;
    for (int j = 0; j < n; ++j) {
        for (int i = 0; i < n; ++i) {
            const auto a = static_cast<OvUInt16>(j * (n + 1) + i), b = static_cast<OvUInt16>(a + 1),
                       c = static_cast<OvUInt16>(a + n + 1), d = static_cast<OvUInt16>(c + 1);
            OvGeometryTriangleSetVertexIndices(geometry, &geometry->triangles[t], a, c, b);
            OvGeometryTriangleSetMaterial(geometry, &geometry->triangles[t++], material);
            OvGeometryTriangleSetVertexIndices(geometry, &geometry->triangles[t], b, c, d);
            OvGeometryTriangleSetMaterial(geometry, &geometry->triangles[t++], material);
        }
    }
}

mkasset::MaterialDesc DescribeMaterial(const OvMaterial* material) {
    mkasset::MaterialDesc d;
    d.color[0] = material->color.red;
    d.color[1] = material->color.green;
    d.color[2] = material->color.blue;
    d.color[3] = material->color.alpha;
    d.ambient = material->surfaceProperties.ambient;
    d.specular = material->surfaceProperties.specular;
    d.diffuse = material->surfaceProperties.diffuse;
    if (material->texture != nullptr) {
        d.textured = true;
        d.texture.name = material->texture->name;
        d.texture.mask = material->texture->mask;
        d.texture.filterAddressing = material->texture->filterAddressing;
    }
    return d;
}

mkasset::GeometryDesc DescribeGeometry(const OvGeometry* g) {
    mkasset::GeometryDesc d;
    d.flags = g->flags;
    d.numVertices = g->numVertices;
    const auto n = static_cast<std::size_t>(g->numVertices);
    if (g->preLitLum != nullptr) {
        d.prelit.assign(reinterpret_cast<const std::uint8_t*>(g->preLitLum),
                        reinterpret_cast<const std::uint8_t*>(g->preLitLum) + 4 * n);
    }
    for (OvInt32 s = 0; s < g->numTexCoordSets; ++s) {
        const float* uv = &g->texCoords[s][0].u;
        d.texCoordSets.emplace_back(uv, uv + 2 * n);
    }
    for (OvInt32 i = 0; g->triangles != nullptr && i < g->numTriangles; ++i) {
        mkasset::TriangleDesc t;
        std::memcpy(t.v, g->triangles[i].vertIndex, sizeof t.v);
        t.material = g->triangles[i].matIndex;
        d.triangles.push_back(t);
    }
    for (OvInt32 m = 0; m < g->numMorphTargets; ++m) {
        const OvMorphTarget& t = g->morphTarget[m];
        mkasset::MorphTargetDesc md;
        md.sphere[0] = t.boundingSphere.center.x;
        md.sphere[1] = t.boundingSphere.center.y;
        md.sphere[2] = t.boundingSphere.center.z;
        md.sphere[3] = t.boundingSphere.radius;
        if (t.verts != nullptr && n > 0) {
            md.verts.assign(&t.verts[0].x, &t.verts[0].x + 3 * n);
        }
        if (t.normals != nullptr && n > 0) {
            md.normals.assign(&t.normals[0].x, &t.normals[0].x + 3 * n);
        }
        d.morphTargets.push_back(md);
    }
    for (OvInt32 i = 0; i < g->matList.numMaterials; ++i) {
        const OvMaterial* m = g->matList.materials[i];
        const OvInt32 first = OvMaterialListFindMaterial(&g->matList, m);
        OvInt32 earlier = -1;
        for (OvInt32 j = 0; j < i; ++j) {
            if (g->matList.materials[j] == m) {
                earlier = j;
                break;
            }
        }
        (void)first;
        d.materialList.entries.push_back(earlier);
        if (earlier < 0) {
            d.materialList.materials.push_back(DescribeMaterial(m));
        }
    }
    // The geometry's extension chunk as the engine writes it, taken apart into sub-chunks.
    OvStream* out = OvStreamOpen(ovSTREAMMEMORY, ovSTREAMWRITE, nullptr);
    OvPluginRegistryWriteDataChunks(OvGeometryGetRegistry(), out, g);
    OvMemory memory = {};
    OvStreamClose(out, &memory);
    for (OvUInt32 at = 12; at + 12 <= memory.length;) {
        mkasset::Extension e;
        e.id = OvChunkGetUInt32(memory.start + at);
        const OvUInt32 length = OvChunkGetUInt32(memory.start + at + 4);
        e.body.assign(memory.start + at + 12, memory.start + at + 12 + length);
        d.extensions.push_back(e);
        at += 12 + length;
    }
    if (memory.start != nullptr) {
        OvFree(memory.start);
    }
    return d;
}

mkasset::LightDesc DescribeLight(const OvLight* light) {
    mkasset::LightDesc d;
    d.radius = light->radius;
    d.color[0] = light->color.red;
    d.color[1] = light->color.green;
    d.color[2] = light->color.blue;
    d.minusCosAngle = light->minusCosAngle;
    d.flags = light->object.object.flags;
    d.type = light->object.object.subType;
    return d;
}

mkasset::ClumpDesc DescribeClump(OvClump* clump) {
    mkasset::ClumpDesc d;
    std::vector<const OvFrame*> frames;
    std::function<void(const OvFrame*)> walk = [&](const OvFrame* f) {
        frames.push_back(f);
        std::vector<const OvFrame*> children;
        for (const OvFrame* c = f->child; c != nullptr; c = c->next) {
            children.push_back(c);
        }
        for (auto it = children.rbegin(); it != children.rend(); ++it) {
            walk(*it);
        }
    };
    walk(OvClumpGetFrame(clump));
    auto frameIndex = [&](const OvFrame* f) {
        for (std::size_t i = 0; i < frames.size(); ++i) {
            if (frames[i] == f) {
                return static_cast<std::int32_t>(i);
            }
        }
        return -1;
    };
    for (const OvFrame* f : frames) {
        mkasset::FrameDesc fd;
        const OvMatrix& m = f->modelling;
        const OvV3d* rows[4] = {&m.right, &m.up, &m.at, &m.pos};
        float* out[4] = {fd.right, fd.up, fd.at, fd.pos};
        for (int r = 0; r < 4; ++r) {
            out[r][0] = rows[r]->x;
            out[r][1] = rows[r]->y;
            out[r][2] = rows[r]->z;
        }
        fd.parent = OvFrameGetParent(f) != nullptr ? frameIndex(OvFrameGetParent(f)) : -1;
        d.frames.push_back(fd);
    }
    std::vector<const OvGeometry*> geometries;
    for (OvLLLink* l = clump->atomicList.prev; l != &clump->atomicList; l = l->prev) {
        const auto* a =
            reinterpret_cast<const OvAtomic*>(reinterpret_cast<const char*>(l) - offsetof(OvAtomic, inClumpLink));
        std::int32_t gi = -1;
        for (std::size_t i = 0; i < geometries.size(); ++i) {
            if (geometries[i] == a->geometry) {
                gi = static_cast<std::int32_t>(i);
            }
        }
        if (gi < 0) {
            gi = static_cast<std::int32_t>(geometries.size());
            geometries.push_back(a->geometry);
            d.geometries.push_back(DescribeGeometry(a->geometry));
        }
        mkasset::AtomicDesc ad;
        ad.frame = frameIndex(OvAtomicGetFrame(a));
        ad.geometry = gi;
        ad.flags = a->object.object.flags;
        d.atomics.push_back(ad);
    }
    for (OvLLLink* l = clump->lightList.prev; l != &clump->lightList; l = l->prev) {
        const OvLight* light = OvLightFromClumpLink(
            reinterpret_cast<OvClumpLink*>(reinterpret_cast<char*>(l) - offsetof(OvClumpLink, link)));
        d.lights.emplace_back(frameIndex(OvLightGetFrame(light)), DescribeLight(light));
    }
    for (OvLLLink* l = clump->cameraList.prev; l != &clump->cameraList; l = l->prev) {
        const OvCamera* c = OvCameraFromClumpLink(
            reinterpret_cast<OvClumpLink*>(reinterpret_cast<char*>(l) - offsetof(OvClumpLink, link)));
        mkasset::CameraDesc cd;
        cd.viewWindow[0] = c->viewWindow.x;
        cd.viewWindow[1] = c->viewWindow.y;
        cd.viewOffset[0] = c->viewOffset.x;
        cd.viewOffset[1] = c->viewOffset.y;
        cd.nearPlane = c->nearPlane;
        cd.farPlane = c->farPlane;
        cd.fogPlane = c->fogPlane;
        cd.projection = static_cast<std::uint32_t>(c->projectionType);
        d.cameras.emplace_back(frameIndex(OvCameraGetFrame(c)), cd);
    }
    return d;
}

ReferenceMeshes ReferenceLists(const OvTriangle* triangles, OvInt32 numTriangles, const OvMaterialList& list,
                               OvInt32 base) {
    using Key = std::array<std::uintptr_t, 5>;
    std::vector<const void*> textures, rasters, pipelines;
    auto rank = [](std::vector<const void*>& seen, const void* p) {
        const auto it = std::find(seen.begin(), seen.end(), p);
        if (it != seen.end()) {
            return static_cast<std::uintptr_t>(it - seen.begin());
        }
        seen.push_back(p);
        return static_cast<std::uintptr_t>(seen.size() - 1);
    };
    std::map<const OvMaterial*, Key> keys;
    for (OvInt32 t = 0; t < numTriangles; ++t) {
        const OvInt32 entry = base + triangles[t].matIndex;
        const OvMaterial* m = list.materials[entry];
        const OvTexture* texture = m->texture;
        const OvInt32 format = texture != nullptr && texture->raster != nullptr
                                   ? (OvRasterGetFormat(texture->raster) & ovRASTERFORMATPIXELFORMATMASK) >> 8
                                   : 0;
        const bool alpha = m->color.alpha < 255 || format == 1 || format == 3 || format == 5;
        const std::uintptr_t ranks[3] = {rank(textures, texture),
                                         rank(rasters, texture != nullptr ? texture->raster : nullptr),
                                         rank(pipelines, m->pipeline)};
        auto [it, added] =
            keys.emplace(m, Key{alpha ? 1u : 0u, ranks[1], ranks[2], ranks[0], static_cast<std::uintptr_t>(entry)});
        it->second[4] = std::min<std::uintptr_t>(it->second[4], static_cast<std::uintptr_t>(entry));
    }
    std::vector<OvInt32> order(static_cast<std::size_t>(numTriangles));
    std::iota(order.begin(), order.end(), 0);
    auto material = [&](OvInt32 t) { return list.materials[base + triangles[t].matIndex]; };
    std::stable_sort(order.begin(), order.end(),
                     [&](OvInt32 a, OvInt32 b) { return keys[material(a)] < keys[material(b)]; });
    ReferenceMeshes meshes;
    for (std::size_t i = 0; i < order.size();) {
        std::vector<OvInt32> left;
        const OvMaterial* m = material(order[i]);
        for (; i < order.size() && material(order[i]) == m; ++i) {
            left.push_back(order[i]);
        }
        std::vector<OvUInt16> indices;
        while (!left.empty()) {
            std::set<OvUInt16> used;
            std::vector<OvInt32> next;
            for (OvInt32 t : left) {
                const OvUInt16* v = triangles[t].vertIndex;
                if (used.count(v[0]) || used.count(v[1]) || used.count(v[2])) {
                    next.push_back(t);
                } else {
                    used.insert(v, v + 3);
                    indices.insert(indices.end(), v, v + 3);
                }
            }
            left = next;
        }
        meshes.push_back({m, indices});
    }
    return meshes;
}

::testing::AssertionResult HoldsMeshes(const OvMeshHeader* header, const ReferenceMeshes& meshes) {
    if (header == nullptr) {
        return ::testing::AssertionFailure() << "no header";
    }
    std::size_t total = 0;
    for (const auto& mesh : meshes) {
        total += mesh.second.size();
    }
    if (header->flags != ovMESHHEADERTRILIST || header->numMeshes != meshes.size() ||
        header->totalIndicesInMesh != total) {
        return ::testing::AssertionFailure()
               << "flags " << header->flags << ", " << header->numMeshes << " meshes, " << header->totalIndicesInMesh
               << " indices; expected " << meshes.size() << " meshes, " << total << " indices";
    }
    for (std::size_t m = 0; m < meshes.size(); ++m) {
        const OvMesh& mesh = OvMeshHeaderGetMeshes(header)[m];
        if (mesh.material != meshes[m].first) {
            return ::testing::AssertionFailure() << "mesh " << m << ": another material";
        }
        if (!std::equal(mesh.indices, mesh.indices + mesh.numIndices, meshes[m].second.begin(),
                        meshes[m].second.end())) {
            return ::testing::AssertionFailure() << "mesh " << m << ": other indices";
        }
    }
    return ::testing::AssertionSuccess();
}

} // namespace worldtest
