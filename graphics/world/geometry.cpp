#include "graphics/world/geometry.h"

#include <algorithm>
#include <bit>
#include <cstring>

#include "graphics/core/chunk.h"
#include "graphics/core/engine.h"
#include "graphics/core/error.h"
#include "graphics/core/resources.h"
#include "graphics/core/stream.h"
#include "graphics/core/texture.h"
#include "graphics/world/d3d9_pipeline.h"
#include "graphics/world/mesh.h"
#include "graphics/world/stored_arrays.h"
#include "graphics/world/world_plugin.h"

namespace {

constexpr OvUInt32 kGeometryHint = ovMEMHINTDUR_OBJECT | ovCHUNKIDGEOMETRY;
constexpr OvUInt32 kGeometryHeadSize = 16;      // flags, triangles, vertices, morph targets
constexpr OvUInt32 kMorphHeadSize = 24;         // sphere, has-vertices, has-normals
constexpr std::uint64_t kMorphSlack = 1u << 20; // morph-target memory allowed beyond the input's size

void ReportRead() { OvErrorReport(ovPLUGINIDCORE, OvErrorCode(ovERRREAD)); }

// Bytes of one morph target's arrays.
std::size_t MorphArrayBytes(OvUInt32 flags, OvInt32 numVertices) {
    if ((flags & ovGEOMETRYNATIVE) != 0) {
        return 0;
    }
    const std::size_t perVertex = (flags & ovGEOMETRYNORMALS) != 0 ? 2 * sizeof(OvV3d) : sizeof(OvV3d);
    return perVertex * static_cast<std::size_t>(numVertices);
}

// Points the morph targets' arrays into their block: records first, then per target its
// vertices and its normals.
void LayOutMorphTargets(OvGeometry* geometry, OvMorphTarget* targets, OvInt32 count) {
    const bool native = (geometry->flags & ovGEOMETRYNATIVE) != 0;
    const bool normals = (geometry->flags & ovGEOMETRYNORMALS) != 0;
    auto* data = reinterpret_cast<OvV3d*>(targets + count);
    const std::size_t n = static_cast<std::size_t>(geometry->numVertices);
    for (OvInt32 i = 0; i < count; ++i) {
        if (native) {
            targets[i].verts = nullptr;
            targets[i].normals = nullptr;
            continue;
        }
        targets[i].verts = data;
        data += n;
        targets[i].normals = normals ? data : nullptr;
        data += normals ? n : 0;
    }
}

} // namespace

OvInt32 OvGeometryTexCoordSetsOfFormat(OvUInt32 format) {
    const auto fromBits = static_cast<OvInt32>((format & ovGEOMETRYTEXCOORDSETSMASK) >> 16);
    if (fromBits != 0) {
        return fromBits;
    }
    if ((format & ovGEOMETRYTEXTURED2) != 0) {
        return 2;
    }
    return (format & ovGEOMETRYTEXTURED) != 0 ? 1 : 0;
}

namespace {

OvInt32 AddMorphTargets(OvGeometry* geometry, OvInt32 numNewTargets, bool clear);

// clear: the arrays start zero (triangles without material); the stream reader, which fills
// them all, leaves them as they come.
OvGeometry* CreateGeometry(OvInt32 numVerts, OvInt32 numTriangles, OvUInt32 format, bool clear) {
    if (numVerts < 0 || numTriangles < 0) {
        OvErrorReport(ovPLUGINIDCORE, OvErrorCode(ovERRINVALIDVALUE, "Negative count"));
        return nullptr;
    }
    if (numVerts > ovGEOMETRYMAXVERTICES) {
        OvErrorReport(ovPLUGINIDWORLDERRORS, OvErrorCode(ovERRTOOMANYVERTICES));
        return nullptr;
    }
    // Geometries hold eight texture-coordinate arrays.
    const OvInt32 numSets = OvGeometryTexCoordSetsOfFormat(format);
    if (numSets > ovMAXTEXTURECOORDS) {
        OvErrorReport(ovPLUGINIDCORE, OvErrorCode(ovERRINVALIDVALUE, "Too many texture-coordinate sets"));
        return nullptr;
    }
    OvUInt32 flags = (format & 0x7Bu) | (format & ovGEOMETRYPASSEDFLAGS);
    flags |= numSets == 1 ? static_cast<OvUInt32>(ovGEOMETRYTEXTURED) : 0u;
    flags |= numSets > 1 ? static_cast<OvUInt32>(ovGEOMETRYTEXTURED2) : 0u;
    const bool native = (flags & ovGEOMETRYNATIVE) != 0;
    const auto v = static_cast<std::size_t>(numVerts);
    const std::size_t head = static_cast<std::size_t>(OvGeometryGetRegistry()->sizeOfStruct);
    std::size_t bytes = head;
    if (!native) {
        bytes += ((flags & ovGEOMETRYPRELIT) != 0 ? v * sizeof(OvRGBA) : 0) +
                 static_cast<std::size_t>(numSets) * v * sizeof(OvTexCoords) +
                 static_cast<std::size_t>(numTriangles) * sizeof(OvTriangle);
    }
    auto* geometry = static_cast<OvGeometry*>(OvMalloc(bytes, kGeometryHint));
    if (geometry == nullptr) {
        OvErrorReport(ovPLUGINIDCORE, OvErrorCode(ovERRNOMEMORY, bytes));
        return nullptr;
    }
    std::memset(geometry, 0, head);
    geometry->object.type = ovGEOMETRYOBJECTTYPE;
    geometry->flags = flags;
    geometry->lockedSinceLastInst = 0;
    geometry->refCount = 1;
    geometry->numTriangles = numTriangles;
    geometry->numVertices = numVerts;
    geometry->numMorphTargets = 0;
    geometry->numTexCoordSets = numSets;
    OvMaterialListInitialize(&geometry->matList);
    if (!native) {
        OvUInt8* data = reinterpret_cast<OvUInt8*>(geometry) + head;
        if ((flags & ovGEOMETRYPRELIT) != 0) {
            geometry->preLitLum = reinterpret_cast<OvRGBA*>(data);
            data += v * sizeof(OvRGBA);
        }
        for (OvInt32 i = 0; i < numSets; ++i) {
            geometry->texCoords[i] = reinterpret_cast<OvTexCoords*>(data);
            data += v * sizeof(OvTexCoords);
        }
        geometry->triangles = reinterpret_cast<OvTriangle*>(data);
        if (clear) {
            std::memset(reinterpret_cast<OvUInt8*>(geometry) + head, 0,
                        static_cast<std::size_t>(reinterpret_cast<OvUInt8*>(geometry->triangles) -
                                                 (reinterpret_cast<OvUInt8*>(geometry) + head)));
            for (OvInt32 i = 0; i < numTriangles; ++i) {
                geometry->triangles[i] = {{0, 0, 0}, ovTRIANGLENOMATERIAL};
            }
        }
    }
    if (AddMorphTargets(geometry, 1, clear) < 0) {
        OvFree(geometry);
        return nullptr;
    }
    if (OvPluginRegistryInitObject(OvGeometryGetRegistry(), geometry) == nullptr) {
        OvFree(geometry->morphTarget);
        OvFree(geometry);
        return nullptr;
    }
    return geometry;
}

// clear: the new targets' arrays start zero; otherwise only their records are cleared.
OvInt32 AddMorphTargets(OvGeometry* geometry, OvInt32 numNewTargets, bool clear) {
    const OvInt32 oldCount = geometry->numMorphTargets;
    if (numNewTargets < 0 || numNewTargets > INT16_MAX - oldCount) {
        OvErrorReport(ovPLUGINIDCORE, OvErrorCode(ovERRINVALIDVALUE, "Morph-target count"));
        return -1;
    }
    const OvInt32 newCount = oldCount + numNewTargets;
    const std::size_t arrays = MorphArrayBytes(geometry->flags, geometry->numVertices);
    const std::size_t bytes = static_cast<std::size_t>(newCount) * (sizeof(OvMorphTarget) + arrays);
    auto* targets = static_cast<OvMorphTarget*>(OvMalloc(bytes, kGeometryHint));
    if (targets == nullptr) {
        OvErrorReport(ovPLUGINIDCORE, OvErrorCode(ovERRNOMEMORY, bytes));
        return -1;
    }
    std::memset(targets, 0, clear ? bytes : static_cast<std::size_t>(newCount) * sizeof(OvMorphTarget));
    const OvInt32 saved = geometry->numMorphTargets;
    geometry->numMorphTargets = newCount;
    LayOutMorphTargets(geometry, targets, newCount);
    geometry->numMorphTargets = saved;
    for (OvInt32 i = 0; i < newCount; ++i) {
        targets[i].parentGeom = geometry;
        if (i < oldCount) {
            const OvMorphTarget& old = geometry->morphTarget[i];
            targets[i].boundingSphere = old.boundingSphere;
            if (targets[i].verts != nullptr) {
                std::memcpy(targets[i].verts, old.verts, arrays);
            }
        }
    }
    if (geometry->morphTarget != nullptr) {
        OvFree(geometry->morphTarget);
    }
    geometry->morphTarget = targets;
    geometry->numMorphTargets = newCount;
    return oldCount;
}

} // namespace

OvGeometry* OvGeometryCreate(OvInt32 numVerts, OvInt32 numTriangles, OvUInt32 format) {
    return CreateGeometry(numVerts, numTriangles, format, true);
}

OvInt32 OvGeometryAddMorphTargets(OvGeometry* geometry, OvInt32 numNewTargets) {
    return AddMorphTargets(geometry, numNewTargets, true);
}

OvBool OvGeometryDestroy(OvGeometry* geometry) {
    if (geometry->refCount > 1) {
        geometry->refCount--;
        return TRUE;
    }
    if (geometry->repEntry != nullptr) {
        OvResourcesFreeEntry(geometry->repEntry);
    }
    // Atomics' instanced data of it that outlives it must not lead the device-restore hook here.
    OvD3D9GeometryReinstanceListRemove(geometry);
    geometry->lockedSinceLastInst |= ovGEOMETRYLOCKALL;
    if (geometry->mesh != nullptr) {
        OvMeshHeaderDestroy(geometry->mesh);
        geometry->mesh = nullptr;
    }
    OvPluginRegistryDeInitObject(OvGeometryGetRegistry(), geometry);
    if (geometry->morphTarget != nullptr) {
        OvFree(geometry->morphTarget);
    }
    OvMaterialListDeinitialize(&geometry->matList);
    OvFree(geometry);
    return TRUE;
}

OvGeometry* OvGeometryLock(OvGeometry* geometry, OvInt32 lockFlags) {
    geometry->lockedSinceLastInst |= static_cast<OvUInt16>(lockFlags & ovGEOMETRYLOCKALL);
    if ((lockFlags & ovGEOMETRYLOCKPOLYGONS) != 0 && geometry->mesh != nullptr) {
        OvMeshHeaderDestroy(geometry->mesh);
        geometry->mesh = nullptr;
    }
    return geometry;
}

OvMeshHeader* OvMeshHeaderBuildFromTriangles(const OvTriangle* triangles, OvInt32 numTriangles,
                                             const OvMaterialList* list, OvInt32 base, OvUInt32 flags,
                                             const OvMeshHeaderSource* source) {
    const OvInt32 numMaterials = list->numMaterials;
    const OvInt32 count = numMaterials > 0 ? numTriangles : 0;
    // Every triangle must name an entry of the list.
    const OvStoredTriangleBounds bounds =
        OvBoundTriangles(reinterpret_cast<const OvUInt8*>(triangles), static_cast<std::size_t>(count));
    if (count > 0 && (std::int64_t{base} + bounds.smallestMaterial < 0 ||
                      std::int64_t{base} + bounds.largestMaterial >= numMaterials)) {
        OvErrorReport(ovPLUGINIDCORE, OvErrorCode(ovERRINVALIDVALUE, "Triangle without a material"));
        return nullptr;
    }
    if (count == 0) {
        return OvMeshHeaderGetEmpty();
    }
    // Lists are built straight from the triangles; strips go through a builder's records, which
    // the strip callback is handed.
    if ((flags & ovGEOMETRYTRISTRIP) == 0) {
        return OvMeshBuildTriangleListsOfWindow(triangles, count, list, base, source);
    }
    OvMeshBuilder* builder = OvMeshBuilderCreate(count);
    if (builder == nullptr) {
        return nullptr;
    }
    // Ranks per material entry, fixed when the entry is first met: three arrays of distinct
    // textures, rasters and pipelines, then each entry's three ranks.
    const std::size_t m = static_cast<std::size_t>(numMaterials);
    const std::size_t bytes =
        m * (sizeof(OvTexture*) + sizeof(OvRaster*) + sizeof(OvPipeline*)) + m * (3 * sizeof(OvUInt16) + 1);
    // Lists of a few materials (the usual case, and every sector of a level) rank on the stack.
    alignas(OvTexture*) OvUInt8 local[32 * (3 * sizeof(void*) + 3 * sizeof(OvUInt16) + 1)];
    auto* scratch = bytes <= sizeof local
                        ? local
                        : static_cast<OvUInt8*>(OvMalloc(bytes, ovMEMHINTDUR_FUNCTION | ovCHUNKIDGEOMETRY));
    if (scratch == nullptr) {
        OvErrorReport(ovPLUGINIDCORE, OvErrorCode(ovERRNOMEMORY, bytes));
        OvMeshBuilderDestroy(builder);
        return nullptr;
    }
    auto* textures = reinterpret_cast<OvTexture**>(scratch);
    auto* rasters = reinterpret_cast<OvRaster**>(textures + m);
    auto* pipelines = reinterpret_cast<OvPipeline**>(rasters + m);
    auto* ranks = reinterpret_cast<OvUInt16*>(pipelines + m);
    OvUInt8* known = reinterpret_cast<OvUInt8*>(ranks + 3 * m);
    std::memset(known, 0, m);
    OvInt32 numTextures = 0, numRasters = 0, numPipelines = 0;
    // The builder was made with room for every triangle: the records are written in place.
    OvMeshBuilderTriangle* out = builder->triangles;
    for (OvInt32 i = 0; i < count; ++i) {
        const OvTriangle& t = triangles[i];
        const auto entry = static_cast<std::size_t>(base + t.matIndex);
        OvMaterial* material = list->materials[entry];
        OvUInt16* r = ranks + 3 * entry;
        if (!known[entry]) {
            known[entry] = 1;
            r[0] = OvMeshRankOf(textures, numTextures, material->texture);
            r[1] =
                OvMeshRankOf(rasters, numRasters, material->texture != nullptr ? material->texture->raster : nullptr);
            r[2] = OvMeshRankOf(pipelines, numPipelines, material->pipeline);
        }
        out[i] = {{t.vertIndex[0], t.vertIndex[1], t.vertIndex[2]},
                  0,
                  material,
                  static_cast<OvUInt16>(entry),
                  r[0],
                  r[1],
                  r[2]};
    }
    builder->numTriangles = count;
    if (scratch != local) {
        OvFree(scratch);
    }
    OvMeshHeader* header = OvMeshHeaderBuild(builder, flags & ovGEOMETRYTRISTRIP);
    if (header == nullptr) {
        OvMeshBuilderDestroy(builder);
    }
    return header;
}

OvGeometry* OvGeometryUnlock(OvGeometry* geometry) {
    if (geometry->mesh != nullptr) {
        return geometry;
    }
    // A native geometry has no triangles to build from: its meshes come with its data.
    if ((geometry->flags & ovGEOMETRYNATIVE) != 0 && geometry->numTriangles > 0) {
        OvErrorReport(ovPLUGINIDCORE, OvErrorCode(ovERRINVALIDVALUE, "Native geometry without meshes"));
        return nullptr;
    }
    OvMeshHeader* header = OvMeshHeaderBuildFromTriangles(geometry->triangles, geometry->numTriangles,
                                                          &geometry->matList, 0, geometry->flags);
    if (header == nullptr) {
        return nullptr;
    }
    geometry->mesh = header;
    return geometry;
}

OvGeometry* OvGeometryTriangleSetVertexIndices(const OvGeometry* geometry, OvTriangle* triangle, OvUInt16 vert1,
                                               OvUInt16 vert2, OvUInt16 vert3) {
    triangle->vertIndex[0] = vert1;
    triangle->vertIndex[1] = vert2;
    triangle->vertIndex[2] = vert3;
    return const_cast<OvGeometry*>(geometry);
}

OvGeometry* OvGeometryTriangleSetMaterial(OvGeometry* geometry, OvTriangle* triangle, OvMaterial* material) {
    if (material == nullptr) {
        triangle->matIndex = ovTRIANGLENOMATERIAL;
        return geometry;
    }
    OvInt32 index = OvMaterialListFindMaterial(&geometry->matList, material);
    if (index < 0) {
        index = OvMaterialListAppendMaterial(&geometry->matList, material);
        if (index < 0) {
            return nullptr;
        }
    }
    triangle->matIndex = static_cast<OvUInt16>(index);
    return geometry;
}

OvMorphTarget* OvMorphTargetCalcBoundingSphere(const OvMorphTarget* morphTarget, OvSphere* boundingSphere) {
    const OvGeometry* geometry = morphTarget->parentGeom;
    const OvInt32 n = geometry->numVertices;
    if (n <= 0 || morphTarget->verts == nullptr) {
        *boundingSphere = {{0.0f, 0.0f, 0.0f}, 0.0f};
        return const_cast<OvMorphTarget*>(morphTarget);
    }
    OvBBox box;
    OvBBoxCalculate(&box, morphTarget->verts, n);
    const OvV3d centre = {(box.sup.x + box.inf.x) * 0.5f, (box.sup.y + box.inf.y) * 0.5f,
                          (box.sup.z + box.inf.z) * 0.5f};
    float largest = 0.0f;
    for (OvInt32 i = 0; i < n; ++i) {
        OvV3d d;
        OvV3dSub(&d, &morphTarget->verts[i], &centre);
        const float sq = OvV3dDotProduct(&d, &d);
        largest = sq > largest ? sq : largest;
    }
    boundingSphere->center = centre;
    boundingSphere->radius = OvSqrt(largest) * 1.001f;
    return const_cast<OvMorphTarget*>(morphTarget);
}

OvGeometry* OvGeometryCreateEmpty(float radius) {
    OvGeometry* geometry = OvGeometryCreate(0, 0, 0);
    if (geometry == nullptr) {
        return nullptr;
    }
    geometry->morphTarget[0].boundingSphere = {{0.0f, 0.0f, 0.0f}, radius};
    if (OvGeometryUnlock(geometry) == nullptr) {
        OvGeometryDestroy(geometry);
        return nullptr;
    }
    return geometry;
}

OvGeometry* OvGeometryStreamRead(OvStream* stream) {
    OvUInt32 length = 0;
    if (!OvStreamFindChunk(stream, ovID_STRUCT, &length, nullptr)) {
        return nullptr;
    }
    OvUInt8 head[kGeometryHeadSize];
    if (length < sizeof head || OvStreamReadStrict(stream, head, sizeof head) == nullptr) {
        ReportRead();
        return nullptr;
    }
    const OvUInt32 format = OvChunkGetUInt32(head);
    const auto numTriangles = static_cast<OvInt32>(OvChunkGetUInt32(head + 4));
    const auto numVertices = static_cast<OvInt32>(OvChunkGetUInt32(head + 8));
    const auto numMorphs = static_cast<OvInt32>(OvChunkGetUInt32(head + 12));
    const bool native = (format & ovGEOMETRYNATIVE) != 0;
    const OvInt32 numSets = OvGeometryTexCoordSetsOfFormat(format);
    if (numTriangles < 0 || numVertices < 0 || numMorphs < 0 || numMorphs > INT16_MAX) {
        ReportRead();
        return nullptr;
    }
    // What the struct must hold at least: the arrays and each morph target's head. Triangles
    // of a geometry that is not native come with its vertices.
    const auto v = static_cast<std::uint64_t>(numVertices);
    std::uint64_t arrays = 0;
    if (!native && numVertices > 0) {
        arrays = ((format & ovGEOMETRYPRELIT) != 0 ? 4 * v : 0) + 8 * v * static_cast<std::uint64_t>(numSets) +
                 8 * static_cast<std::uint64_t>(numTriangles);
    }
    const std::uint64_t least = kGeometryHeadSize + arrays + kMorphHeadSize * static_cast<std::uint64_t>(numMorphs);
    const OvUInt32 left = OvStreamGetBytesLeft(stream);
    const std::uint64_t morphBytes =
        static_cast<std::uint64_t>(numMorphs) * MorphArrayBytes(format, numVertices < 65536 ? numVertices : 0);
    if (least > length || (left != 0xFFFFFFFFu && length - kGeometryHeadSize > left) ||
        (!native && numVertices == 0 && numTriangles > 0) || morphBytes > 2 * std::uint64_t{length} + kMorphSlack) {
        ReportRead();
        return nullptr;
    }
    // The arrays are filled below; morph-target arrays the file leaves out are cleared there.
    OvGeometry* geometry = CreateGeometry(numVertices, numTriangles, format, false);
    if (geometry == nullptr) {
        return nullptr;
    }
    bool ok = numMorphs <= 1 || AddMorphTargets(geometry, numMorphs - 1, false) >= 0;
    std::uint64_t consumed = kGeometryHeadSize;
    OvUInt16 largestVertex = 0;
    OvUInt16 largestMaterial = 0;
    OvUInt16 smallestMaterial = ovTRIANGLENOMATERIAL;
    if (ok && !native && numVertices > 0) {
        if (geometry->preLitLum != nullptr) {
            ok = OvStreamReadStrict(stream, geometry->preLitLum, 4 * static_cast<OvUInt32>(v)) != nullptr;
            consumed += 4 * v;
        }
        for (OvInt32 i = 0; ok && i < numSets; ++i) {
            ok = OvStreamReadValues(stream, geometry->texCoords[i], 8 * static_cast<OvUInt32>(v)) != nullptr;
            consumed += 8 * v;
        }
        // The stored triangles are as large as the array's records: decoded where they lie when
        // the stream holds them, else read into the array whole, and turned in one pass that also
        // finds their bounds.
        const OvUInt32 triangleBytes = 8 * static_cast<OvUInt32>(numTriangles);
        const OvUInt8* stored =
            ok && numTriangles > 0 ? OvStreamReadView(stream, geometry->triangles, triangleBytes) : nullptr;
        ok = ok && (numTriangles == 0 || stored != nullptr);
        if (stored != nullptr) {
            const OvStoredTriangleBounds bounds =
                OvDecodeStoredTriangles(stored, geometry->triangles, static_cast<std::size_t>(numTriangles));
            largestVertex = bounds.largestVertex;
            largestMaterial = bounds.largestMaterial;
            smallestMaterial = bounds.smallestMaterial;
        }
        if (ok && numTriangles > 0 && largestVertex >= numVertices) {
            ReportRead();
            ok = false;
        }
        consumed += 8 * static_cast<std::uint64_t>(numTriangles);
    }
    for (OvInt32 m = 0; ok && m < numMorphs; ++m) {
        OvUInt8 mh[kMorphHeadSize];
        if (OvStreamReadStrict(stream, mh, sizeof mh) == nullptr) {
            ok = false;
            break;
        }
        consumed += kMorphHeadSize;
        OvMorphTarget& target = geometry->morphTarget[m];
        target.boundingSphere = {{OvChunkGetReal(mh), OvChunkGetReal(mh + 4), OvChunkGetReal(mh + 8)},
                                 OvChunkGetReal(mh + 12)};
        const bool hasVerts = OvChunkGetUInt32(mh + 16) != 0;
        const bool hasNormals = OvChunkGetUInt32(mh + 20) != 0;
        // Arrays come only where the geometry has room for them.
        if ((hasVerts && target.verts == nullptr) || (hasNormals && target.normals == nullptr)) {
            ReportRead();
            ok = false;
            break;
        }
        const std::uint64_t bytes = 12 * v * ((hasVerts ? 1 : 0) + (hasNormals ? 1 : 0));
        if (consumed + bytes > length) {
            ReportRead();
            ok = false;
            break;
        }
        if (hasVerts) {
            ok = OvStreamReadValues(stream, target.verts, 12 * static_cast<OvUInt32>(v)) != nullptr;
        } else if (target.verts != nullptr) {
            std::memset(target.verts, 0, 12 * static_cast<std::size_t>(v));
        }
        if (ok && hasNormals) {
            ok = OvStreamReadValues(stream, target.normals, 12 * static_cast<OvUInt32>(v)) != nullptr;
        } else if (target.normals != nullptr) {
            std::memset(target.normals, 0, 12 * static_cast<std::size_t>(v));
        }
        consumed += bytes;
    }
    // A geometry of no morph targets keeps the one it was made with, cleared.
    for (OvInt32 m = numMorphs; ok && m < geometry->numMorphTargets; ++m) {
        for (OvV3d* array : {geometry->morphTarget[m].verts, geometry->morphTarget[m].normals}) {
            if (array != nullptr) {
                std::memset(array, 0, 12 * static_cast<std::size_t>(v));
            }
        }
    }
    if (ok && consumed != length) {
        ReportRead();
        ok = false;
    }
    ok = ok && OvStreamFindChunk(stream, ovCHUNKIDMATLIST, nullptr, nullptr) &&
         OvMaterialListStreamRead(stream, &geometry->matList) != nullptr;
    if (ok && !native && numTriangles > 0) {
        // Each triangle names an entry of the list, or none when the list is empty.
        const OvInt32 count = geometry->matList.numMaterials;
        if (count > 0 ? largestMaterial >= count : smallestMaterial != ovTRIANGLENOMATERIAL) {
            ReportRead();
            ok = false;
        }
    }
    ok = ok && OvPluginRegistryReadDataChunks(OvGeometryGetRegistry(), stream, geometry) != nullptr;
    if (ok && native && geometry->mesh == nullptr) {
        ReportRead();
        ok = false;
    }
    ok = ok && OvGeometryUnlock(geometry) != nullptr;
    if (!ok) {
        OvGeometryDestroy(geometry);
        return nullptr;
    }
    return geometry;
}
