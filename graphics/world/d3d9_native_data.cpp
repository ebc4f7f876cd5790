// Native data streams: the instanced Direct3D 9 form of a native geometry or world sector stored
// as extension sub-chunk 0x510, so that loading needs no instancing. The data block is written
// field by field in its 32-bit stored layout (pointers as presence flags, each mesh's material as
// its index in the owner's list), followed by the declaration's elements, the 16-bit indices and
// the two vertex streams. The reader checks every size against the chunk and against the records
// before it makes anything.

#include "graphics/world/d3d9_native_data.h"

#include <cstring>
#include <vector>

#include "graphics/core/chunk.h"
#include "graphics/core/d3d9/device.h"
#include "graphics/core/d3d9/device_cache.h"
#include "graphics/core/d3d9/vertex_buffer.h"
#include "graphics/core/engine.h"
#include "graphics/core/error.h"
#include "graphics/core/stream.h"
#include "graphics/world/d3d9/vertex_writers.h"
#include "graphics/world/d3d9_pipeline.h"
#include "graphics/world/geometry.h"
#include "graphics/world/material.h"
#include "graphics/world/world.h"
#include "graphics/world/world_plugin.h"

namespace {

constexpr OvUInt32 kStructChunk = 1;
constexpr OvUInt32 kPlatformD3D9 = 9;
constexpr OvUInt32 kDataHeadBytes = 64;
constexpr OvUInt32 kMeshBytes = 36;
constexpr OvUInt32 kStreamBytes = 16;
constexpr OvUInt32 kMaxElements = 20; // end marker included
constexpr OvUInt32 kVersion = 0x37002;
constexpr OvUInt32 kBuild = 22;
constexpr OvUInt32 kHint = ovMEMHINTDUR_OBJECT | 0x50D; // the instanced data's own

OvUInt32 StoredSize(OvUInt32 numMeshes) { return kDataHeadBytes + kMeshBytes * numMeshes; }

void Put16(std::vector<OvUInt8>& out, OvUInt32 v) {
    out.push_back(static_cast<OvUInt8>(v));
    out.push_back(static_cast<OvUInt8>(v >> 8));
}
void Put32(std::vector<OvUInt8>& out, OvUInt32 v) {
    Put16(out, v & 0xFFFF);
    Put16(out, v >> 16);
}
OvUInt32 Get16(const OvUInt8* p) { return static_cast<OvUInt32>(p[0]) | static_cast<OvUInt32>(p[1]) << 8; }

void PutStream(std::vector<OvUInt8>& out, const OvD3D9VertexStream& s) {
    Put32(out, s.vertexBuffer != nullptr ? 1 : 0);
    Put32(out, s.offset);
    Put32(out, s.stride);
    Put16(out, s.elementMask);
    out.push_back(s.shared);
    out.push_back(s.notOwned);
}

// The stored form of a stream record.
struct StoredStream {
    bool present;
    OvUInt32 offset;
    OvUInt32 stride;
    OvUInt16 mask;
    OvUInt8 shared;
    OvUInt8 notOwned;
};
StoredStream GetStream(const OvUInt8* p) {
    return {OvChunkGetUInt32(p) != 0,
            OvChunkGetUInt32(p + 4),
            OvChunkGetUInt32(p + 8),
            static_cast<OvUInt16>(Get16(p + 12)),
            p[14],
            p[15]};
}

// The data block in its stored layout; a mesh whose material is not in the list (or that has
// none) stores -1, which reads back as no material.
void StoreData(const OvD3D9InstancedData* d, const OvMaterialList* list, std::vector<OvUInt8>& out) {
    Put32(out, d->serialNumber);
    Put32(out, d->numMeshes);
    Put32(out, d->indexBuffer != nullptr ? 1 : 0);
    Put32(out, d->primType);
    PutStream(out, d->vertexStream[0]);
    PutStream(out, d->vertexStream[1]);
    Put32(out, d->useOffsets);
    Put32(out, 0); // the declaration follows as elements
    Put32(out, d->totalNumIndex);
    Put32(out, d->totalNumVertex);
    const OvD3D9InstancedMesh* meshes = OvD3D9InstancedDataGetMeshes(const_cast<OvD3D9InstancedData*>(d));
    for (OvUInt32 m = 0; m < d->numMeshes; ++m) {
        const OvInt32 index = meshes[m].material != nullptr ? OvMaterialListFindMaterial(list, meshes[m].material) : -1;
        Put32(out, meshes[m].numIndices);
        Put32(out, meshes[m].minIndex);
        Put32(out, static_cast<OvUInt32>(index));
        Put32(out, meshes[m].vertexAlpha);
        Put32(out, 0); // no vertex shader on the fixed-function path
        Put32(out, static_cast<OvUInt32>(meshes[m].baseIndex));
        Put32(out, meshes[m].numVertices);
        Put32(out, meshes[m].startIndex);
        Put32(out, meshes[m].numPrimitives);
    }
}

bool Elements(IDirect3DVertexDeclaration9* declaration, D3DVERTEXELEMENT9* elements, UINT* count) {
    *count = ovD3D9MAXDECLARATIONELEMENTS + 1;
    return declaration != nullptr && SUCCEEDED(declaration->GetDeclaration(elements, count)) && *count >= 1;
}

OvInt32 BodySize(const OvD3D9InstancedData* d) {
    D3DVERTEXELEMENT9 elements[ovD3D9MAXDECLARATIONELEMENTS + 1];
    UINT n = 0;
    if (!Elements(d->vertexDeclaration, elements, &n)) {
        return 0;
    }
    // Indices are counted only when they are written: an owner without an index buffer has
    // none in the chunk whatever its count says.
    std::uint64_t body =
        8 + StoredSize(d->numMeshes) + 4 + 8 * n + (d->indexBuffer != nullptr ? 2 * d->totalNumIndex : 0);
    for (const OvD3D9VertexStream& s : d->vertexStream) {
        body += kStreamBytes + (s.vertexBuffer != nullptr ? std::uint64_t{s.stride} * d->totalNumVertex : 0);
    }
    return static_cast<OvInt32>(12 + body);
}

OvStream* WriteNative(OvStream* stream, const OvD3D9InstancedData* d, const OvMaterialList* list) {
    std::vector<OvUInt8> block;
    D3DVERTEXELEMENT9 elements[ovD3D9MAXDECLARATIONELEMENTS + 1];
    UINT n = 0;
    // Everything is put together from the live data without changing it, so a failure leaves
    // the object as it was.
    StoreData(d, list, block);
    if (!Elements(d->vertexDeclaration, elements, &n)) {
        OvErrorReport(0, ovERRINVALIDVALUE);
        return nullptr;
    }
    const OvInt32 size = BodySize(d);
    std::vector<OvUInt8> head;
    Put32(head, kPlatformD3D9);
    Put32(head, static_cast<OvUInt32>(block.size()));
    if (OvStreamWriteChunkHeader(stream, kStructChunk, static_cast<OvUInt32>(size - 12), kVersion, kBuild) == nullptr ||
        OvStreamWrite(stream, head.data(), static_cast<OvUInt32>(head.size())) == nullptr ||
        OvStreamWrite(stream, block.data(), static_cast<OvUInt32>(block.size())) == nullptr) {
        return nullptr;
    }
    std::vector<OvUInt8> out;
    Put32(out, n);
    for (UINT i = 0; i < n; ++i) {
        Put16(out, elements[i].Stream);
        Put16(out, elements[i].Offset);
        out.push_back(elements[i].Type);
        out.push_back(elements[i].Method);
        out.push_back(elements[i].Usage);
        out.push_back(elements[i].UsageIndex);
    }
    if (d->indexBuffer != nullptr && d->totalNumIndex > 0) {
        void* p = nullptr;
        if (FAILED(d->indexBuffer->Lock(0, 0, &p, D3DLOCK_READONLY)) || p == nullptr) {
            OvErrorReport(0, ovERRWRITE);
            return nullptr;
        }
        const auto* indices = static_cast<const OvUInt16*>(p);
        for (OvUInt32 i = 0; i < d->totalNumIndex; ++i) {
            Put16(out, indices[i]);
        }
        d->indexBuffer->Unlock();
    }
    if (OvStreamWrite(stream, out.data(), static_cast<OvUInt32>(out.size())) == nullptr) {
        return nullptr;
    }
    for (const OvD3D9VertexStream& s : d->vertexStream) {
        out.clear();
        PutStream(out, s);
        if (OvStreamWrite(stream, out.data(), static_cast<OvUInt32>(out.size())) == nullptr) {
            return nullptr;
        }
        if (s.vertexBuffer == nullptr) {
            continue;
        }
        const OvUInt32 bytes = s.stride * d->totalNumVertex;
        void* p = nullptr;
        if (FAILED(s.vertexBuffer->Lock(s.offset, bytes, &p, D3DLOCK_NOSYSLOCK | D3DLOCK_READONLY)) || p == nullptr) {
            OvErrorReport(0, ovERRWRITE);
            return nullptr;
        }
        OvStream* ok = OvStreamWrite(stream, p, bytes);
        s.vertexBuffer->Unlock();
        if (ok == nullptr) {
            return nullptr;
        }
    }
    return stream;
}

// Reads exactly length bytes into buffer, counting them off the chunk's remaining bytes.
bool Take(OvStream* stream, void* buffer, OvUInt32 length, OvUInt32* left) {
    if (length > *left) {
        return false;
    }
    *left -= length;
    return OvStreamReadStrict(stream, buffer, length) != nullptr;
}

bool Fail(OvInt32 code) {
    OvErrorReport(0, code);
    return false;
}

// Reads the sub-chunk body of `length` bytes into a new entry stored through ref. The owner
// supplies the material list, whether its streams are dynamic (a geometry of several morph
// targets) and a vertex count limit.
bool ReadNative(OvStream* stream, OvInt32 length, void* owner, OvResourceEntry** ref, const OvMaterialList* list,
                bool ownBuffers) {
    OvUInt32 type = 0, chunk = 0, version = 0;
    if (length < 12 || !OvStreamReadChunkHeader(stream, &type, &chunk, &version, nullptr)) {
        return Fail(ovERRREAD);
    }
    if (!OvChunkVersionAccepted(version)) {
        return Fail(ovERRBADVERSION);
    }
    // The struct chunk lies in the sub-chunk; bytes after its records, in it or after it, are
    // passed over at the end.
    if (type != kStructChunk || chunk > static_cast<OvUInt32>(length) - 12) {
        return Fail(ovERRINVALIDVALUE);
    }
    const OvUInt32 after = static_cast<OvUInt32>(length) - 12 - chunk;
    // Nothing is allocated for more than the input can still hold.
    if (OvStreamGetBytesLeft(stream) < chunk) {
        return Fail(ovERRREAD);
    }
    OvUInt32 left = chunk;
    OvUInt8 head[8];
    if (!Take(stream, head, 8, &left)) {
        return Fail(ovERRREAD);
    }
    const OvUInt32 s = OvChunkGetUInt32(head + 4);
    if (OvChunkGetUInt32(head) != kPlatformD3D9 || s < kDataHeadBytes || (s - kDataHeadBytes) % kMeshBytes != 0 ||
        s > left) {
        return Fail(ovERRINVALIDVALUE);
    }
    std::vector<OvUInt8> block(s);
    if (!Take(stream, block.data(), s, &left)) {
        return Fail(ovERRREAD);
    }
    const OvUInt8* b = block.data();
    const OvUInt32 numMeshes = OvChunkGetUInt32(b + 4);
    if (numMeshes != (s - kDataHeadBytes) / kMeshBytes || numMeshes > 0xFFFF) {
        return Fail(ovERRINVALIDVALUE);
    }
    const bool indexed = OvChunkGetUInt32(b + 8) != 0;
    const OvUInt32 primType = OvChunkGetUInt32(b + 12);
    const StoredStream stored[2] = {GetStream(b + 16), GetStream(b + 32)};
    const OvUInt32 totalIndices = OvChunkGetUInt32(b + 56);
    const OvUInt32 totalVertices = OvChunkGetUInt32(b + 60);
    if (primType < D3DPT_POINTLIST || primType > D3DPT_TRIANGLEFAN || totalVertices > 0x10000 ||
        (!indexed && totalIndices != 0) || !stored[0].present) {
        return Fail(ovERRINVALIDVALUE);
    }

    // The entry: plain memory shaped like an arena entry, freed by the owner like one.
    const OvUInt32 bytes = OvD3D9InstancedDataSize(numMeshes);
    auto* entry = static_cast<OvResourceEntry*>(OvMalloc(sizeof(OvResourceEntry) + bytes, kHint));
    if (entry == nullptr) {
        return Fail(ovERRNOMEMORY);
    }
    *entry = {{nullptr, nullptr}, static_cast<OvInt32>(bytes), owner, ref, OvD3D9InstancedDataDestroy};
    *ref = entry;
    auto* d = OvD3D9InstancedDataFromEntry(entry);
    std::memset(d, 0, bytes);
    auto fail = [&](OvInt32 code) {
        OvResourcesFreeEntry(entry); // releases what was made and clears *ref
        return Fail(code);
    };
    d->serialNumber = OvChunkGetUInt32(b);
    d->numMeshes = numMeshes;
    d->primType = primType;
    d->totalNumIndex = totalIndices;
    d->totalNumVertex = totalVertices;
    OvD3D9InstancedMesh* meshes = OvD3D9InstancedDataGetMeshes(d);
    for (OvUInt32 m = 0; m < numMeshes; ++m) {
        const OvUInt8* r = b + kDataHeadBytes + kMeshBytes * m;
        OvD3D9InstancedMesh& mesh = meshes[m];
        mesh.numIndices = OvChunkGetUInt32(r);
        mesh.minIndex = OvChunkGetUInt32(r + 4);
        const OvUInt32 material = OvChunkGetUInt32(r + 8);
        mesh.vertexAlpha = OvChunkGetUInt32(r + 12) != 0 ? 1 : 0;
        mesh.numVertices = OvChunkGetUInt32(r + 24);
        mesh.startIndex = OvChunkGetUInt32(r + 28);
        mesh.numPrimitives = OvChunkGetUInt32(r + 32);
        if (material != 0xFFFFFFFFu) {
            if (material >= static_cast<OvUInt32>(list->numMaterials)) {
                return fail(ovERRINVALIDVALUE);
            }
            mesh.material = list->materials[material];
        }
        // The draw must stay within the vertices and indices the chunk holds.
        const std::uint64_t lastVertex = std::uint64_t{mesh.minIndex} + mesh.numVertices;
        const std::uint64_t lastIndex = std::uint64_t{mesh.startIndex} + mesh.numIndices;
        if (lastVertex > totalVertices || (indexed && lastIndex > totalIndices)) {
            return fail(ovERRINVALIDVALUE);
        }
    }

    // Declaration.
    OvUInt8 count[4];
    if (!Take(stream, count, 4, &left)) {
        return fail(ovERRREAD);
    }
    const OvUInt32 n = OvChunkGetUInt32(count);
    if (n < 1 || n > kMaxElements) {
        return fail(ovERRINVALIDVALUE);
    }
    OvUInt8 raw[kMaxElements * 8];
    if (!Take(stream, raw, 8 * n, &left)) {
        return fail(ovERRREAD);
    }
    D3DVERTEXELEMENT9 elements[kMaxElements];
    for (OvUInt32 i = 0; i < n; ++i) {
        const OvUInt8* e = raw + 8 * i;
        elements[i] = {static_cast<WORD>(Get16(e)), static_cast<WORD>(Get16(e + 2)), e[4], e[5], e[6], e[7]};
        const bool last = i + 1 == n;
        if (last != (elements[i].Stream == 0xFF)) {
            return fail(ovERRINVALIDVALUE);
        }
        if (last) {
            if (elements[i].Type != D3DDECLTYPE_UNUSED) {
                return fail(ovERRINVALIDVALUE);
            }
            continue;
        }
        const OvUInt32 size = OvD3D9VertexElementSize(elements[i].Type);
        if (elements[i].Stream > 1 || elements[i].Type > D3DDECLTYPE_FLOAT16_4 || !stored[elements[i].Stream].present ||
            elements[i].Offset + size > stored[elements[i].Stream].stride) {
            return fail(ovERRINVALIDVALUE);
        }
    }
    if (!OvD3D9CreateVertexDeclaration(elements, &d->vertexDeclaration)) {
        d->vertexDeclaration = nullptr;
        return fail(ovERRINVALIDVALUE);
    }

    // Indices, each within its mesh's vertices.
    if (indexed && totalIndices > 0) {
        if (std::uint64_t{totalIndices} * 2 > left) {
            return fail(ovERRREAD);
        }
        std::vector<OvUInt8> in(std::size_t{totalIndices} * 2);
        if (!Take(stream, in.data(), totalIndices * 2, &left)) {
            return fail(ovERRREAD);
        }
        for (OvUInt32 m = 0; m < numMeshes; ++m) {
            for (OvUInt32 i = meshes[m].startIndex; i < meshes[m].startIndex + meshes[m].numIndices; ++i) {
                if (Get16(&in[std::size_t{i} * 2]) >= meshes[m].numVertices) {
                    return fail(ovERRINVALIDVALUE);
                }
            }
        }
        void* p = nullptr;
        if (!OvD3D9CreateIndexBuffer(totalIndices, &d->indexBuffer)) {
            d->indexBuffer = nullptr;
            return fail(ovERRNOMEMORY);
        }
        if (FAILED(d->indexBuffer->Lock(0, 0, &p, 0)) || p == nullptr) {
            return fail(ovERRNOMEMORY);
        }
        auto* indices = static_cast<OvUInt16*>(p);
        for (OvUInt32 i = 0; i < totalIndices; ++i) {
            indices[i] = static_cast<OvUInt16>(Get16(&in[std::size_t{i} * 2]));
        }
        d->indexBuffer->Unlock();
    }

    // Streams: each record must be the one the data block holds.
    const D3DCAPS9* caps = OvD3D9GetCaps();
    const bool offsets = caps != nullptr && (caps->DevCaps2 & D3DDEVCAPS2_STREAMOFFSET) != 0;
    const bool two = stored[1].present;
    for (int k = 0; k < 2; ++k) {
        OvUInt8 record[kStreamBytes];
        if (!Take(stream, record, kStreamBytes, &left)) {
            return fail(ovERRREAD);
        }
        const StoredStream st = GetStream(record);
        if (st.present != stored[k].present || st.stride != stored[k].stride || st.mask != stored[k].mask) {
            return fail(ovERRINVALIDVALUE);
        }
        if (!st.present) {
            continue;
        }
        const std::uint64_t size = std::uint64_t{st.stride} * totalVertices;
        if (st.stride == 0 || st.stride > 255 || size > left || size == 0) {
            return fail(st.stride == 0 || st.stride > 255 ? ovERRINVALIDVALUE : ovERRREAD);
        }
        OvD3D9VertexStream& vs = d->vertexStream[k];
        vs.stride = st.stride;
        vs.elementMask = st.mask;
        // Managed ranges keep their contents over a device reset; two streams need offsets for
        // that, else (or for morphing geometry) both are buffers of the owner's own.
        const bool shared = !ownBuffers && (!two || offsets);
        vs.shared = shared ? 1 : 0;
        DWORD lockFlags = D3DLOCK_NOSYSLOCK;
        if (shared) {
            if (!OvD3D9CreateVertexBuffer(vs.stride, static_cast<OvUInt32>(size), &vs.vertexBuffer, &vs.offset)) {
                vs.vertexBuffer = nullptr;
                return fail(ovERRNOMEMORY);
            }
        } else {
            vs.offset = 0;
            lockFlags |= D3DLOCK_DISCARD;
            if (!OvD3D9DynamicVertexBufferCreate(static_cast<OvUInt32>(size), &vs.vertexBuffer)) {
                vs.vertexBuffer = nullptr;
                return fail(ovERRNOMEMORY);
            }
        }
        void* p = nullptr;
        if (FAILED(vs.vertexBuffer->Lock(vs.offset, static_cast<OvUInt32>(size), &p, lockFlags)) || p == nullptr) {
            return fail(ovERRNOMEMORY);
        }
        const bool read = Take(stream, p, static_cast<OvUInt32>(size), &left);
        vs.vertexBuffer->Unlock();
        if (!read) {
            return fail(ovERRREAD);
        }
    }
    if (left + after > 0 && OvStreamSkip(stream, left + after) == nullptr) {
        return fail(ovERRREAD);
    }
    d->useOffsets = two && offsets && !ownBuffers ? 1 : 0;
    for (OvUInt32 m = 0; m < numMeshes; ++m) {
        meshes[m].baseIndex = static_cast<OvInt32>(
            two ? meshes[m].minIndex : d->vertexStream[0].offset / d->vertexStream[0].stride + meshes[m].minIndex);
        if (meshes[m].numPrimitives >
            OvD3D9PrimitiveCount(primType, indexed ? meshes[m].numIndices : meshes[m].numVertices)) {
            return fail(ovERRINVALIDVALUE);
        }
    }
    return true;
}

OvWorld* SectorWorld(const OvWorldSector* sector) { return OvWorldSectorGetWorld(sector); }

} // namespace

OvInt32 OvGeometryNativeDataStreamGetSize(const OvGeometry* geometry) {
    if ((geometry->flags & ovGEOMETRYNATIVE) == 0 || geometry->repEntry == nullptr) {
        return 0;
    }
    return BodySize(OvD3D9InstancedDataFromEntry(geometry->repEntry));
}

OvStream* OvGeometryNativeDataStreamWrite(OvStream* stream, const OvGeometry* geometry) {
    if (OvGeometryNativeDataStreamGetSize(geometry) == 0) {
        return stream;
    }
    return WriteNative(stream, OvD3D9InstancedDataFromEntry(geometry->repEntry), &geometry->matList);
}

OvGeometry* OvGeometryNativeDataStreamRead(OvStream* stream, OvInt32 length, OvGeometry* geometry) {
    if (geometry->repEntry != nullptr) {
        OvResourcesFreeEntry(geometry->repEntry);
    }
    return ReadNative(stream, length, geometry, &geometry->repEntry, &geometry->matList, geometry->numMorphTargets > 1)
               ? geometry
               : nullptr;
}

OvInt32 OvWorldSectorNativeDataStreamGetSize(const OvWorldSector* sector) {
    const OvWorld* world = SectorWorld(sector);
    if (world == nullptr || (world->flags & ovGEOMETRYNATIVE) == 0 || sector->repEntry == nullptr) {
        return 0;
    }
    return BodySize(OvD3D9InstancedDataFromEntry(sector->repEntry));
}

OvStream* OvWorldSectorNativeDataStreamWrite(OvStream* stream, const OvWorldSector* sector) {
    if (OvWorldSectorNativeDataStreamGetSize(sector) == 0) {
        return stream;
    }
    return WriteNative(stream, OvD3D9InstancedDataFromEntry(sector->repEntry), &SectorWorld(sector)->matList);
}

OvWorldSector* OvWorldSectorNativeDataStreamRead(OvStream* stream, OvInt32 length, OvWorldSector* sector,
                                                 const OvMaterialList* list) {
    if (sector->repEntry != nullptr) {
        OvResourcesFreeEntry(sector->repEntry);
    }
    const bool ok = ReadNative(stream, length, sector, &sector->repEntry, list, false);
    if (sector->repEntry != nullptr) {
        OvWorldSectorNoteHolding(sector);
    }
    return ok ? sector : nullptr;
}
