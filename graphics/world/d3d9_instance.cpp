// Instancing of atomics and world sectors into Direct3D 9 resources: the instanced-data entry
// with its index buffer and mesh records, the vertex declaration and streams, the element writes
// (all of them at first, only the locked ones when re-instancing), the instancing flags and the
// list of geometries whose dynamic streams a device reset empties.

#include <algorithm>
#include <cmath>
#include <cstring>

#include "graphics/core/d3d9/device.h"
#include "graphics/core/d3d9/device_cache.h"
#include "graphics/core/d3d9/vertex_buffer.h"
#include "graphics/core/engine.h"
#include "graphics/core/error.h"
#include "graphics/core/memory.h"
#include "graphics/core/pipeline.h"
#include "graphics/world/clump.h"
#include "graphics/world/d3d9/vertex_writers.h"
#include "graphics/world/d3d9_pipeline.h"
#include "graphics/world/geometry.h"
#include "graphics/world/mesh.h"
#include "graphics/world/world.h"
#include "graphics/world/world_plugin.h"

namespace {

// Instance-only data and the re-instance list's nodes.
constexpr OvUInt32 kHint = ovMEMHINTDUR_OBJECT | 0x50D;
constexpr OvInt32 kReinstanceNodesPerBlock = 128;
constexpr OvUInt32 kSkinPluginId = 0x12E;
constexpr OvUInt32 kTangentSources = 0xFF2; // positions and texture sets: what a tangent is made of

OvInt32 gGeometryFlagsOffset = -1;
OvInt32 gSectorFlagsOffset = -1;

// ---- Re-instance list ----------------------------------------------------------------------

struct ReinstanceNode {
    OvGeometry* geometry;
    const OvResourceEntry* entry; // the instanced data that put it here
    ReinstanceNode* next;
};
ReinstanceNode* gReinstanceList = nullptr;
OvFreeList* gReinstanceNodes = nullptr; // made by the first add, destroyed when the list is cleared

void ReinstanceListRemoveEntry(const OvResourceEntry* entry) {
    for (ReinstanceNode** n = &gReinstanceList; *n != nullptr; n = &(*n)->next) {
        if ((*n)->entry == entry) {
            ReinstanceNode* gone = *n;
            *n = gone->next;
            OvFreeListFree(gReinstanceNodes, gone);
            return;
        }
    }
}

// ---- Helpers -------------------------------------------------------------------------------

const OvResourceEntry* EntryOfData(const OvD3D9InstancedData* data) {
    return reinterpret_cast<const OvResourceEntry*>(data) - 1;
}

// Gives both streams back and clears their records.
void ReleaseStreams(OvD3D9InstancedData* data) {
    for (OvD3D9VertexStream& s : data->vertexStream) {
        if (s.vertexBuffer != nullptr) {
            const OvUInt32 bytes = s.stride * data->totalNumVertex;
            if (s.shared) {
                OvD3D9DestroyVertexBuffer(s.stride, bytes, s.vertexBuffer, s.offset);
            } else if (s.offset == 0 && !s.notOwned) {
                OvD3D9DynamicVertexBufferDestroy(s.vertexBuffer);
            }
        }
        s = {};
    }
}

OvUInt32 PrimTypeOfMeshFlags(OvUInt32 flags) {
    // Mesh kind (the mesh module's numbering) to the device's primitive type.
    static constexpr OvUInt32 kTable[8] = {
        0, D3DPT_LINELIST, D3DPT_LINESTRIP, D3DPT_TRIANGLELIST, D3DPT_TRIANGLESTRIP, D3DPT_TRIANGLEFAN, D3DPT_POINTLIST,
        0};
    const OvUInt32 kind = OvMeshHeaderGetPrimType(flags & 0xFF);
    return kind < 8 ? kTable[kind] : 0;
}

// Triangles a strip gives as a list: degenerate ones dropped.
OvUInt32 StripTriangles(const OvUInt16* s, OvUInt32 n) {
    OvUInt32 count = 0;
    for (OvUInt32 i = 0; i + 2 < n; ++i) {
        count += s[i] != s[i + 1] && s[i + 1] != s[i + 2] && s[i] != s[i + 2];
    }
    return count;
}

// Writes a strip as a list, odd triangles reversed so that every one keeps its winding, each
// index less base. Returns the indices written.
OvUInt32 StripToList(OvUInt16* out, const OvUInt16* s, OvUInt32 n, OvUInt32 base) {
    OvUInt32 w = 0;
    for (OvUInt32 i = 0; i + 2 < n; ++i) {
        const OvUInt16 a = s[i], b = s[i + 1], c = s[i + 2];
        if (a == b || b == c || a == c) {
            continue;
        }
        if ((i & 1) == 0) {
            out[w++] = static_cast<OvUInt16>(a - base);
            out[w++] = static_cast<OvUInt16>(b - base);
            out[w++] = static_cast<OvUInt16>(c - base);
        } else {
            out[w++] = static_cast<OvUInt16>(c - base);
            out[w++] = static_cast<OvUInt16>(b - base);
            out[w++] = static_cast<OvUInt16>(a - base);
        }
    }
    return w;
}

// Where one element kind sits in the vertex: its stream (-1: absent), offset and type.
struct ElementPlace {
    OvInt32 stream = -1;
    OvUInt32 offset = 0;
    OvUInt32 type = 0;
};

struct Layout {
    ElementPlace position;
    ElementPlace normal;
    ElementPlace color;
    ElementPlace texCoords[ovMAXTEXTURECOORDS];
    ElementPlace tangent;
};

// The layout read back from a declaration.
bool LayoutFromDeclaration(IDirect3DVertexDeclaration9* declaration, Layout* layout, OvUInt32* numStreams) {
    D3DVERTEXELEMENT9 elements[ovD3D9MAXDECLARATIONELEMENTS + 1];
    UINT count = ovD3D9MAXDECLARATIONELEMENTS + 1;
    if (declaration == nullptr || FAILED(declaration->GetDeclaration(elements, &count))) {
        return false;
    }
    *numStreams = 1;
    for (UINT i = 0; i < count && elements[i].Stream != 0xFF; ++i) {
        const D3DVERTEXELEMENT9& e = elements[i];
        ElementPlace place;
        place.stream = e.Stream;
        place.offset = e.Offset;
        place.type = e.Type;
        *numStreams = std::max<OvUInt32>(*numStreams, e.Stream + 1u);
        switch (e.Usage) {
        case D3DDECLUSAGE_POSITION:
            layout->position = place;
            break;
        case D3DDECLUSAGE_NORMAL:
            layout->normal = place;
            break;
        case D3DDECLUSAGE_COLOR:
            layout->color = place;
            break;
        case D3DDECLUSAGE_TEXCOORD:
            if (e.UsageIndex < ovMAXTEXTURECOORDS) {
                layout->texCoords[e.UsageIndex] = place;
            }
            break;
        case D3DDECLUSAGE_TANGENT:
            layout->tangent = place;
            break;
        default:
            break;
        }
    }
    return *numStreams <= 2;
}

// Builds the declaration of a layout; the elements sorted by stream and offset.
bool MakeDeclaration(const Layout& layout, IDirect3DVertexDeclaration9** out) {
    D3DVERTEXELEMENT9 elements[ovMAXTEXTURECOORDS + 5];
    OvUInt32 n = 0;
    auto add = [&](const ElementPlace& p, OvUInt8 usage, OvUInt8 index) {
        if (p.stream >= 0) {
            elements[n++] = {
                static_cast<WORD>(p.stream), static_cast<WORD>(p.offset), static_cast<BYTE>(p.type), 0, usage, index};
        }
    };
    add(layout.position, D3DDECLUSAGE_POSITION, 0);
    add(layout.normal, D3DDECLUSAGE_NORMAL, 0);
    add(layout.color, D3DDECLUSAGE_COLOR, 0);
    for (OvUInt8 i = 0; i < ovMAXTEXTURECOORDS; ++i) {
        add(layout.texCoords[i], D3DDECLUSAGE_TEXCOORD, i);
    }
    add(layout.tangent, D3DDECLUSAGE_TANGENT, 0);
    std::stable_sort(elements, elements + n, [](const D3DVERTEXELEMENT9& a, const D3DVERTEXELEMENT9& b) {
        return a.Stream != b.Stream ? a.Stream < b.Stream : a.Offset < b.Offset;
    });
    elements[n] = D3DDECL_END();
    return OvD3D9CreateVertexDeclaration(elements, out) != 0;
}

OvUInt32 NormalType() {
    const D3DCAPS9* caps = OvD3D9GetCaps();
    return caps != nullptr && (caps->DeclTypes & D3DDTCAPS_DEC3N) != 0 ? D3DDECLTYPE_DEC3N : D3DDECLTYPE_FLOAT3;
}

bool CanOffsetStreams() {
    const D3DCAPS9* caps = OvD3D9GetCaps();
    return caps != nullptr && (caps->DevCaps2 & D3DDEVCAPS2_STREAMOFFSET) != 0;
}

// Locked stream memory: vertex 0 of each stream, or null when not locked.
struct LockedStreams {
    OvUInt8* base[2] = {nullptr, nullptr};
    IDirect3DVertexBuffer9* buffer[2] = {nullptr, nullptr};

    void Unlock() {
        for (int s = 0; s < 2; ++s) {
            if (buffer[s] != nullptr) {
                buffer[s]->Unlock();
                buffer[s] = nullptr;
                base[s] = nullptr;
            }
        }
    }
};

bool LockStream(OvD3D9InstancedData* data, OvUInt32 s, DWORD flags, LockedStreams* locked) {
    OvD3D9VertexStream& st = data->vertexStream[s];
    void* p = nullptr;
    if (st.vertexBuffer == nullptr ||
        FAILED(st.vertexBuffer->Lock(st.offset, st.stride * data->totalNumVertex, &p, flags)) || p == nullptr) {
        return false;
    }
    locked->buffer[s] = st.vertexBuffer;
    locked->base[s] = static_cast<OvUInt8*>(p);
    return true;
}

// Destination of vertex `first` of an element, or null when its stream is not locked.
OvUInt8* Dest(const OvD3D9InstancedData* data, const LockedStreams& locked, const ElementPlace& p, OvUInt32 first = 0) {
    if (p.stream < 0 || locked.base[p.stream] == nullptr) {
        return nullptr;
    }
    return locked.base[p.stream] + p.offset + static_cast<std::size_t>(first) * data->vertexStream[p.stream].stride;
}

// Prelit colours per mesh (each mesh's vertex range), setting the meshes' vertex-alpha flags.
void WriteColors(OvD3D9InstancedData* data, const LockedStreams& locked, const ElementPlace& p, const OvRGBA* colors) {
    OvD3D9InstancedMesh* meshes = OvD3D9InstancedDataGetMeshes(data);
    const OvUInt32 stride = p.stream >= 0 ? data->vertexStream[p.stream].stride : 0;
    for (OvUInt32 m = 0; m < data->numMeshes; ++m) {
        OvUInt8* d = Dest(data, locked, p, meshes[m].minIndex);
        if (d == nullptr || meshes[m].minIndex + meshes[m].numVertices > data->totalNumVertex) {
            continue;
        }
        meshes[m].vertexAlpha = OvD3D9VertexWriteColors(d, colors + meshes[m].minIndex,
                                                        static_cast<OvInt32>(meshes[m].numVertices), stride);
    }
}

// Assigns the next offset of a stream to an element.
void Place(ElementPlace* p, OvD3D9InstancedData* data, OvUInt32 stream, OvUInt32 type, OvUInt16 maskBit) {
    p->stream = static_cast<OvInt32>(stream);
    p->offset = data->vertexStream[stream].stride;
    p->type = type;
    data->vertexStream[stream].stride += OvD3D9VertexElementSize(type);
    data->vertexStream[stream].elementMask |= maskBit;
}

} // namespace

// ---- Tangents ------------------------------------------------------------------------------------

namespace {

// The tangent sums of one pass, kept for the program's life so that the writer allocates
// nothing: room for every vertex that 16-bit indices reach (768 KB, its pages taken as used),
// which is all the vertices instanced data holds; a longer array would be summed a window at a
// time.
constexpr OvUInt32 kTangentWindow = 0x10000;
OvV3d gTangentSums[kTangentWindow];

// Adds the texture-space tangent of triangle (a, b, c) to those of its vertices that fall in the
// window of sums starting at vertex `first`.
void AddTangent(OvV3d* sums, OvUInt32 first, OvUInt32 n, OvUInt32 count, const OvV3d* p, const OvV2d* uv, OvUInt32 a,
                OvUInt32 b, OvUInt32 c) {
    if (a >= count || b >= count || c >= count) {
        return;
    }
    if (a - first >= n && b - first >= n && c - first >= n) {
        return; // no vertex of this window
    }
    const OvV3d e1 = {p[b].x - p[a].x, p[b].y - p[a].y, p[b].z - p[a].z};
    const OvV3d e2 = {p[c].x - p[a].x, p[c].y - p[a].y, p[c].z - p[a].z};
    const float du1 = uv[b].x - uv[a].x, dv1 = uv[b].y - uv[a].y;
    const float du2 = uv[c].x - uv[a].x, dv2 = uv[c].y - uv[a].y;
    const float det = du1 * dv2 - du2 * dv1;
    if (!(std::fabs(det) > 1e-12f)) {
        return; // the texture mapping of the triangle has no direction
    }
    const float r = 1.0f / det;
    const OvV3d t = {(e1.x * dv2 - e2.x * dv1) * r, (e1.y * dv2 - e2.y * dv1) * r, (e1.z * dv2 - e2.z * dv1) * r};
    for (OvUInt32 v : {a, b, c}) {
        if (v - first < n) {
            OvV3d& sum = sums[v - first];
            sum.x += t.x;
            sum.y += t.y;
            sum.z += t.z;
        }
    }
}

} // namespace

OvUInt32 OvD3D9VertexWriteTangents(OvUInt32 type, void* destination, const OvV3d* positions, const OvV2d* texCoords,
                                   const OvD3D9InstancedData* data, OvUInt32 stride) {
    const OvUInt32 count = data->totalNumVertex;
    OvUInt32 size = OvD3D9VertexElementSize(type);
    if (count == 0) {
        return size;
    }
    const OvUInt16* all = nullptr;
    void* locked = nullptr;
    if (data->indexBuffer != nullptr && SUCCEEDED(data->indexBuffer->Lock(0, 0, &locked, D3DLOCK_READONLY)) &&
        locked != nullptr) {
        all = static_cast<const OvUInt16*>(locked);
    }
    const OvD3D9InstancedMesh* meshes = OvD3D9InstancedDataGetMeshes(const_cast<OvD3D9InstancedData*>(data));
    OvV3d* const sums = gTangentSums;
    for (OvUInt32 first = 0; first < count; first += kTangentWindow) {
        const OvUInt32 n = std::min(kTangentWindow, count - first);
        std::fill(sums, sums + n, OvV3d{0.0f, 0.0f, 0.0f});
        for (OvUInt32 m = 0; all != nullptr && m < data->numMeshes; ++m) {
            // Indices are stored less the mesh's minimum; strips and fans are walked as such.
            const OvUInt16* s = all + meshes[m].startIndex;
            const OvUInt32 k = meshes[m].numIndices, base = meshes[m].minIndex;
            if (meshes[m].startIndex + k > data->totalNumIndex) {
                continue;
            }
            if (base >= first + n || base + meshes[m].numVertices <= first) {
                continue; // the mesh's vertices lie outside this window
            }
            if (data->primType == D3DPT_TRIANGLELIST) {
                for (OvUInt32 i = 0; i + 2 < k; i += 3) {
                    AddTangent(sums, first, n, count, positions, texCoords, s[i] + base, s[i + 1] + base,
                               s[i + 2] + base);
                }
            } else if (data->primType == D3DPT_TRIANGLESTRIP) {
                for (OvUInt32 i = 0; i + 2 < k; ++i) {
                    const OvUInt32 a = s[i] + base, b = s[i + 1] + base, c = s[i + 2] + base;
                    if (a != b && b != c && a != c) {
                        (i & 1) == 0 ? AddTangent(sums, first, n, count, positions, texCoords, a, b, c)
                                     : AddTangent(sums, first, n, count, positions, texCoords, c, b, a);
                    }
                }
            } else if (data->primType == D3DPT_TRIANGLEFAN) {
                for (OvUInt32 i = 1; i + 1 < k; ++i) {
                    AddTangent(sums, first, n, count, positions, texCoords, s[0] + base, s[i] + base, s[i + 1] + base);
                }
            }
        }
        for (OvUInt32 v = 0; v < n; ++v) {
            const float l = sums[v].x * sums[v].x + sums[v].y * sums[v].y + sums[v].z * sums[v].z;
            if (l > 0.0f) {
                const float r = 1.0f / std::sqrt(l);
                sums[v] = {sums[v].x * r, sums[v].y * r, sums[v].z * r};
            }
        }
        size = OvD3D9VertexWriteV3d(type, static_cast<OvUInt8*>(destination) + static_cast<std::size_t>(first) * stride,
                                    sums, static_cast<OvInt32>(n), stride);
    }
    if (all != nullptr) {
        data->indexBuffer->Unlock();
    }
    return size;
}

// ---- Instanced data ---------------------------------------------------------------------------

OvUInt32 OvD3D9PrimitiveCount(OvUInt32 primType, OvUInt32 n) {
    switch (primType) {
    case D3DPT_LINELIST:
        return n / 2;
    case D3DPT_LINESTRIP:
        return n >= 2 ? n - 1 : 0;
    case D3DPT_TRIANGLELIST:
        return n / 3;
    case D3DPT_TRIANGLESTRIP:
    case D3DPT_TRIANGLEFAN:
        return n >= 3 ? n - 2 : 0;
    case D3DPT_POINTLIST:
        return n;
    default:
        return 0;
    }
}

void OvD3D9IndicesGetRange(const OvUInt16* indices, OvUInt32 count, OvUInt32* numVertices, OvUInt32* minIndex) {
    if (count == 0) {
        *numVertices = 0;
        *minIndex = 0;
        return;
    }
    OvUInt16 lo = 0xFFFF, hi = 0;
    for (OvUInt32 i = 0; i < count; ++i) {
        lo = std::min(lo, indices[i]);
        hi = std::max(hi, indices[i]);
    }
    *numVertices = static_cast<OvUInt32>(hi - lo) + 1;
    *minIndex = lo;
}

void OvD3D9SortTriangles(OvUInt16* indices, OvUInt32 numIndices) {
    struct Triple {
        OvUInt16 v[3];
    };
    static_assert(sizeof(Triple) == 6);
    auto key = [](const Triple& t) {
        OvUInt16 a = t.v[0], b = t.v[1], c = t.v[2];
        if (a > b) {
            std::swap(a, b);
        }
        if (b > c) {
            std::swap(b, c);
        }
        if (a > b) {
            std::swap(a, b);
        }
        return static_cast<std::uint64_t>(a) << 32 | static_cast<std::uint64_t>(b) << 16 | c;
    };
    auto* t = reinterpret_cast<Triple*>(indices);
    std::stable_sort(t, t + numIndices / 3, [&](const Triple& x, const Triple& y) { return key(x) < key(y); });
}

void OvD3D9InstancedDataDestroy(OvResourceEntry* entry) {
    auto* data = OvD3D9InstancedDataFromEntry(entry);
    ReinstanceListRemoveEntry(entry);
    if (data->indexBuffer != nullptr) {
        data->indexBuffer->Release();
        data->indexBuffer = nullptr;
    }
    if (data->vertexDeclaration != nullptr) {
        OvD3D9DeleteVertexDeclaration(data->vertexDeclaration);
        data->vertexDeclaration = nullptr;
    }
    ReleaseStreams(data);
}

OvResourceEntry* OvD3D9InstancedDataCreate(void* object, void* owner, OvUInt8 type, OvResourceEntry** ownerRef,
                                           const OvMeshHeader* header, OvD3D9InstanceCallBack instance,
                                           OvBool instanceOnly) {
    const OvUInt32 numMeshes = header->numMeshes;
    const OvUInt32 size = OvD3D9InstancedDataSize(numMeshes);
    OvResourceEntry* entry = nullptr;
    if (instanceOnly) {
        entry = static_cast<OvResourceEntry*>(OvMalloc(sizeof(OvResourceEntry) + size, kHint));
        if (entry == nullptr) {
            OvErrorReport(0, ovERRNOMEMORY);
            return nullptr;
        }
        // Plain memory: the free that ends it clears the owner's reference too.
        *entry = {{nullptr, nullptr}, static_cast<OvInt32>(size), owner, ownerRef, OvD3D9InstancedDataDestroy};
        if (ownerRef != nullptr) {
            *ownerRef = entry;
        }
    } else {
        entry = OvResourcesAllocateEntry(owner, ownerRef, static_cast<OvInt32>(size), OvD3D9InstancedDataDestroy);
        if (entry == nullptr) {
            return nullptr;
        }
    }
    auto* data = OvD3D9InstancedDataFromEntry(entry);
    std::memset(data, 0, size);
    data->serialNumber = header->serialNum;
    data->numMeshes = numMeshes;

    const OvMesh* meshes = OvMeshHeaderGetMeshes(header);
    OvD3D9InstancedMesh* out = OvD3D9InstancedDataGetMeshes(data);
    const bool indexed = (header->flags & ovMESHHEADERUNINDEXED) == 0;
    data->primType = PrimTypeOfMeshFlags(header->flags);
    bool toList = false;
    OvUInt16* indices = nullptr;
    if (indexed) {
        OvUInt32 total = 0;
        for (OvUInt32 m = 0; m < numMeshes; ++m) {
            total += meshes[m].numIndices;
        }
        if (data->primType == D3DPT_TRIANGLESTRIP) {
            OvInt32 triangles = -1;
            if (type == ovD3D9OBJECTATOMIC) {
                triangles = static_cast<OvAtomic*>(object)->geometry->numTriangles;
            } else if (type == ovD3D9OBJECTSECTOR) {
                triangles = static_cast<OvWorldSector*>(object)->numTriangles;
            }
            if (triangles >= 0 && total > 3u * static_cast<OvUInt32>(triangles)) {
                // A list is shorter: convert. The buffer is sized by what the strips really
                // give, which a strip read from a file may make more than 3 x triangles.
                toList = true;
                total = 0;
                for (OvUInt32 m = 0; m < numMeshes; ++m) {
                    total += 3 * StripTriangles(meshes[m].indices, meshes[m].numIndices);
                }
            }
        }
        data->totalNumIndex = total;
        if (total > 0) {
            void* p = nullptr;
            if (!OvD3D9CreateIndexBuffer(total, &data->indexBuffer) ||
                FAILED(data->indexBuffer->Lock(0, total * 2, &p, 0)) || p == nullptr) {
                OvResourcesFreeEntry(entry);
                return nullptr;
            }
            indices = static_cast<OvUInt16*>(p);
        }
    }
    if (toList) {
        data->primType = D3DPT_TRIANGLELIST;
    }

    OvUInt32 written = 0, vertexTotal = 0;
    for (OvUInt32 m = 0; m < numMeshes; ++m) {
        const OvMesh& src = meshes[m];
        OvD3D9InstancedMesh& mesh = out[m];
        mesh.material = src.material;
        mesh.startIndex = written;
        if (!indexed) {
            mesh.minIndex = vertexTotal;
            mesh.numVertices = src.numIndices;
            mesh.numIndices = src.numIndices;
            vertexTotal += src.numIndices;
        } else {
            OvD3D9IndicesGetRange(src.indices, src.numIndices, &mesh.numVertices, &mesh.minIndex);
            OvUInt16* dst = indices + written;
            if (toList) {
                mesh.numIndices = StripToList(dst, src.indices, src.numIndices, mesh.minIndex);
            } else {
                mesh.numIndices = src.numIndices;
                for (OvUInt32 i = 0; i < src.numIndices; ++i) {
                    dst[i] = static_cast<OvUInt16>(src.indices[i] - mesh.minIndex);
                }
            }
            if (data->primType == D3DPT_TRIANGLELIST) {
                OvD3D9SortTriangles(dst, mesh.numIndices);
            }
            written += mesh.numIndices;
        }
        mesh.numPrimitives = OvD3D9PrimitiveCount(data->primType, mesh.numIndices);
    }
    if (data->indexBuffer != nullptr) {
        data->indexBuffer->Unlock();
    }
    if (!instance(object, data, FALSE)) {
        OvResourcesFreeEntry(entry);
        return nullptr;
    }
    return entry;
}

// ---- Atomic instancing ----------------------------------------------------------------------

OvBool OvD3D9AtomicAllInOneInstance(void* object, OvD3D9InstancedData* data, OvBool reinstance) {
    auto* atomic = static_cast<OvAtomic*>(object);
    OvGeometry* g = atomic->geometry;
    const OvUInt32 numVerts = static_cast<OvUInt32>(g->numVertices);
    const bool normals = (g->flags & ovGEOMETRYNORMALS) != 0 && g->morphTarget[0].normals != nullptr;
    const bool prelit = (g->flags & ovGEOMETRYPRELIT) != 0 && g->preLitLum != nullptr;
    const OvInt32 sets = std::min(g->numTexCoordSets, ovMAXTEXTURECOORDS);
    Layout layout;
    LockedStreams locked;
    OvUInt32 word = 0;

    if (!reinstance) {
        ReinstanceListRemoveEntry(EntryOfData(data));
        ReleaseStreams(data);
        data->totalNumVertex = numVerts;
        OvUInt32 flags = OvD3D9GeometryGetInstanceFlags(g);
        const D3DCAPS9* caps = OvD3D9GetCaps();
        bool one = (g->numMorphTargets == 1 && (flags & 0xFFF) == 0) || caps == nullptr ||
                   (caps->DevCaps & D3DDEVCAPS_HWTRANSFORMANDLIGHT) == 0 ||
                   (atomic->pipeline != nullptr && atomic->pipeline->ownerPluginId == kSkinPluginId);
        if (!one && g->numMorphTargets > 1) {
            flags |= ovGEOMETRYLOCKVERTICES | ovGEOMETRYLOCKNORMALS;
        }
        // Stream 0 (the dynamic one) must hold something, else one stream does it all: flags that
        // name only elements the geometry lacks would leave it empty, and a buffer of no bytes
        // fails the instancing every frame.
        const OvUInt32 present = ovGEOMETRYLOCKVERTICES | (normals ? ovGEOMETRYLOCKNORMALS : 0u) |
                                 (prelit ? ovGEOMETRYLOCKPRELIGHT : 0u) | ((0x10u << sets) - 0x10u);
        const bool dynamicTangent = (flags & ovD3D9INSTANCETANGENT) != 0 && sets > 0 && (flags & kTangentSources) != 0;
        if (!one && (flags & present) == 0 && !dynamicTangent) {
            one = true;
        }
        const OvUInt32 last = one ? 0 : 1;
        auto streamOf = [&](OvUInt32 bit) { return (flags & bit) != 0 ? 0u : last; };
        const OvUInt32 normalType = NormalType();
        Place(&layout.position, data, streamOf(ovGEOMETRYLOCKVERTICES), D3DDECLTYPE_FLOAT3, ovGEOMETRYLOCKVERTICES);
        if (normals) {
            Place(&layout.normal, data, streamOf(ovGEOMETRYLOCKNORMALS), normalType, ovGEOMETRYLOCKNORMALS);
        }
        if (prelit) {
            Place(&layout.color, data, streamOf(ovGEOMETRYLOCKPRELIGHT), D3DDECLTYPE_D3DCOLOR, ovGEOMETRYLOCKPRELIGHT);
        }
        for (OvInt32 i = 0; i < sets; ++i) {
            const OvUInt16 bit = static_cast<OvUInt16>(ovGEOMETRYLOCKTEXCOORDS1 << i);
            Place(&layout.texCoords[i], data, streamOf(bit), D3DDECLTYPE_FLOAT2, bit);
        }
        if ((flags & ovD3D9INSTANCETANGENT) != 0 && sets > 0) {
            // Made from positions and texture coordinates: dynamic when any of them is.
            Place(&layout.tangent, data, (flags & kTangentSources) != 0 ? 0u : last, normalType, 0);
        }
        OvUInt32 numStreams = one ? 1 : 2;
        if (numStreams == 2 && data->vertexStream[1].stride == 0) {
            numStreams = 1;
        }
        if (!MakeDeclaration(layout, &data->vertexDeclaration)) {
            return FALSE;
        }
        // Buffers: one stream in a shared static range; with two, stream 0 in a dynamic buffer
        // of its own and stream 1 shared when the device can offset streams.
        const bool offsets = CanOffsetStreams();
        for (OvUInt32 s = 0; s < numStreams; ++s) {
            OvD3D9VertexStream& st = data->vertexStream[s];
            const OvUInt32 bytes = st.stride * numVerts;
            if (numStreams == 1 || (s == 1 && offsets)) {
                st.shared = 1;
                if (!OvD3D9CreateVertexBuffer(st.stride, bytes, &st.vertexBuffer, &st.offset)) {
                    st.vertexBuffer = nullptr;
                    return FALSE;
                }
            } else {
                st.shared = 0;
                st.offset = 0;
                if (!OvD3D9DynamicVertexBufferCreate(bytes, &st.vertexBuffer)) {
                    st.vertexBuffer = nullptr;
                    return FALSE;
                }
            }
        }
        data->useOffsets = numStreams == 2 && offsets ? 1 : 0;
        // A device reset empties the dynamic stream: the geometry is rewritten whole after one.
        if (numStreams == 2 && !OvD3D9GeometryReinstanceListAdd(g, EntryOfData(data))) {
            return FALSE;
        }
        OvD3D9InstancedMesh* meshes = OvD3D9InstancedDataGetMeshes(data);
        for (OvUInt32 m = 0; m < data->numMeshes; ++m) {
            meshes[m].baseIndex = static_cast<OvInt32>(
                numStreams == 1 ? data->vertexStream[0].offset / data->vertexStream[0].stride + meshes[m].minIndex
                                : meshes[m].minIndex);
        }
        word = ovGEOMETRYLOCKALL;
        for (OvUInt32 s = 0; s < numStreams; ++s) {
            if (!LockStream(data, s, D3DLOCK_NOSYSLOCK, &locked)) {
                locked.Unlock();
                return FALSE;
            }
        }
    } else {
        OvUInt32 numStreams = 0;
        if (!LayoutFromDeclaration(data->vertexDeclaration, &layout, &numStreams)) {
            return FALSE;
        }
        word = g->lockedSinceLastInst;
        for (OvUInt32 s = 0; s < numStreams; ++s) {
            OvD3D9VertexStream& st = data->vertexStream[s];
            if (word != ovGEOMETRYLOCKALL && (word & st.elementMask) == 0) {
                continue;
            }
            const bool own = st.shared == 0;
            if (!LockStream(data, s, own ? D3DLOCK_NOSYSLOCK | D3DLOCK_DISCARD : D3DLOCK_NOSYSLOCK, &locked)) {
                locked.Unlock();
                return FALSE;
            }
            if (own) {
                word |= st.elementMask; // discarded: the whole stream is written again
            }
        }
    }

    // Positions and normals: one morph target, or two interpolated.
    OvInt32 start = 0, end = 0;
    float factor = 0.0f;
    if (g->numMorphTargets > 1) {
        start = atomic->interpolator.startMorphTarget;
        end = atomic->interpolator.endMorphTarget;
        if (start < 0 || end < 0 || start >= g->numMorphTargets || end >= g->numMorphTargets) {
            start = end = 0;
        }
        factor = atomic->interpolator.position * atomic->interpolator.recipTime;
    }
    const OvMorphTarget& from = g->morphTarget[start];
    const OvMorphTarget& to = g->morphTarget[end];
    const auto count = static_cast<OvInt32>(numVerts);
    auto strideOf = [&](const ElementPlace& p) { return p.stream >= 0 ? data->vertexStream[p.stream].stride : 0u; };
    if (start != end && factor != 0.0f) {
        if (OvUInt8* d = Dest(data, locked, layout.position); d != nullptr && from.verts && to.verts) {
            OvD3D9VertexWriteInterpolatedV3d(layout.position.type, d, from.verts, to.verts, factor, count,
                                             strideOf(layout.position));
        }
        if (OvUInt8* d = Dest(data, locked, layout.normal); d != nullptr && from.normals && to.normals) {
            OvD3D9VertexWriteInterpolatedV3d(layout.normal.type, d, from.normals, to.normals, factor, count,
                                             strideOf(layout.normal));
        }
    } else {
        if (OvUInt8* d = Dest(data, locked, layout.position);
            d != nullptr && (word & ovGEOMETRYLOCKVERTICES) != 0 && from.verts != nullptr) {
            OvD3D9VertexWriteV3d(layout.position.type, d, from.verts, count, strideOf(layout.position));
        }
        if (OvUInt8* d = Dest(data, locked, layout.normal);
            d != nullptr && (word & ovGEOMETRYLOCKNORMALS) != 0 && from.normals != nullptr) {
            OvD3D9VertexWriteV3d(layout.normal.type, d, from.normals, count, strideOf(layout.normal));
        }
    }
    if (!prelit) {
        if (!reinstance) {
            OvD3D9InstancedMesh* meshes = OvD3D9InstancedDataGetMeshes(data);
            for (OvUInt32 m = 0; m < data->numMeshes; ++m) {
                meshes[m].vertexAlpha = 0;
            }
        }
    } else if ((word & ovGEOMETRYLOCKPRELIGHT) != 0) {
        WriteColors(data, locked, layout.color, g->preLitLum);
    }
    for (OvInt32 i = 0; i < sets; ++i) {
        if (OvUInt8* d = Dest(data, locked, layout.texCoords[i]);
            d != nullptr && (word & (ovGEOMETRYLOCKTEXCOORDS1 << i)) != 0 && g->texCoords[i] != nullptr) {
            OvD3D9VertexWriteV2d(layout.texCoords[i].type, d, reinterpret_cast<const OvV2d*>(g->texCoords[i]), count,
                                 strideOf(layout.texCoords[i]));
        }
    }
    if (OvUInt8* d = Dest(data, locked, layout.tangent); d != nullptr && sets > 0 && (word & kTangentSources) != 0 &&
                                                         from.verts != nullptr && g->texCoords[sets - 1] != nullptr) {
        if (OvD3D9VertexWriteTangents(layout.tangent.type, d, from.verts,
                                      reinterpret_cast<const OvV2d*>(g->texCoords[sets - 1]), data,
                                      strideOf(layout.tangent)) == 0) {
            locked.Unlock();
            return FALSE;
        }
    }
    locked.Unlock();
    return TRUE;
}

OvBool OvD3D9AtomicAllInOneReinstance(void* object, OvResourceEntry* entry, OvD3D9InstanceCallBack instance) {
    auto* atomic = static_cast<OvAtomic*>(object);
    OvGeometry* g = atomic->geometry;
    auto* data = OvD3D9InstancedDataFromEntry(entry);
    if (g->numMorphTargets > 1) {
        if ((atomic->object.object.privateFlags & ovATOMICPRIVATEWORLDBOUNDDIRTY) == 0 && g->lockedSinceLastInst == 0 &&
            atomic->interpolator.startMorphTarget == atomic->interpolator.endMorphTarget) {
            return TRUE;
        }
        const OvUInt16 saved = g->lockedSinceLastInst;
        g->lockedSinceLastInst = static_cast<OvUInt16>(saved | ovGEOMETRYLOCKVERTICES | ovGEOMETRYLOCKNORMALS);
        const OvBool ok = OvD3D9AtomicAllInOneInstance(object, data, TRUE);
        g->lockedSinceLastInst = saved;
        return ok;
    }
    return instance(object, data, TRUE);
}

// ---- Sector instancing ------------------------------------------------------------------------

OvBool OvD3D9WorldSectorAllInOneInstance(void* object, OvD3D9InstancedData* data, OvBool) {
    auto* sector = static_cast<OvWorldSector*>(object);
    OvWorld* world = OvWorldSectorGetWorld(sector);
    if (world == nullptr && OvEngineInstancePtr != nullptr) {
        world = static_cast<OvWorld*>(OvEngineInstancePtr->curWorld);
    }
    const OvUInt32 flags = world != nullptr ? world->flags : 0;
    const OvUInt32 numVerts = sector->numVertices;
    ReleaseStreams(data);
    data->totalNumVertex = numVerts;
    Layout layout;
    Place(&layout.position, data, 0, D3DDECLTYPE_FLOAT3, ovGEOMETRYLOCKVERTICES);
    if ((flags & ovGEOMETRYNORMALS) != 0 && sector->normals != nullptr) {
        Place(&layout.normal, data, 0, NormalType(), ovGEOMETRYLOCKNORMALS);
    }
    if ((flags & ovGEOMETRYPRELIT) != 0 && sector->preLitLum != nullptr) {
        Place(&layout.color, data, 0, D3DDECLTYPE_D3DCOLOR, ovGEOMETRYLOCKPRELIGHT);
    }
    if ((flags & (ovGEOMETRYTEXTURED | ovGEOMETRYTEXTURED2)) != 0 && sector->texCoords[0] != nullptr) {
        Place(&layout.texCoords[0], data, 0, D3DDECLTYPE_FLOAT2, ovGEOMETRYLOCKTEXCOORDS1);
    }
    if ((flags & ovGEOMETRYTEXTURED2) != 0 && sector->texCoords[1] != nullptr) {
        Place(&layout.texCoords[1], data, 0, D3DDECLTYPE_FLOAT2, ovGEOMETRYLOCKTEXCOORDS1 << 1);
    }
    const OvInt32 lastSet = layout.texCoords[1].stream >= 0 ? 1 : layout.texCoords[0].stream >= 0 ? 0 : -1;
    if ((OvD3D9WorldSectorGetInstanceFlags(sector) & ovD3D9INSTANCETANGENT) != 0 && lastSet >= 0) {
        Place(&layout.tangent, data, 0, NormalType(), 0);
    }
    if (!MakeDeclaration(layout, &data->vertexDeclaration)) {
        return FALSE;
    }
    OvD3D9VertexStream& st = data->vertexStream[0];
    st.shared = 1;
    if (!OvD3D9CreateVertexBuffer(st.stride, st.stride * numVerts, &st.vertexBuffer, &st.offset)) {
        st.vertexBuffer = nullptr;
        return FALSE;
    }
    data->useOffsets = 0;
    OvD3D9InstancedMesh* meshes = OvD3D9InstancedDataGetMeshes(data);
    for (OvUInt32 m = 0; m < data->numMeshes; ++m) {
        meshes[m].baseIndex = static_cast<OvInt32>(st.offset / st.stride + meshes[m].minIndex);
    }
    LockedStreams locked;
    if (!LockStream(data, 0, 0, &locked)) {
        return FALSE;
    }
    const auto count = static_cast<OvInt32>(numVerts);
    const OvUInt32 stride = st.stride;
    OvD3D9VertexWriteV3d(layout.position.type, Dest(data, locked, layout.position), sector->vertices, count, stride);
    if (OvUInt8* d = Dest(data, locked, layout.normal)) {
        OvD3D9VertexWritePackedNormals(layout.normal.type, d, reinterpret_cast<const OvInt8*>(sector->normals), count,
                                       stride);
    }
    if (layout.color.stream >= 0) {
        WriteColors(data, locked, layout.color, sector->preLitLum);
    } else {
        for (OvUInt32 m = 0; m < data->numMeshes; ++m) {
            meshes[m].vertexAlpha = 0;
        }
    }
    for (OvInt32 i = 0; i < 2; ++i) {
        if (OvUInt8* d = Dest(data, locked, layout.texCoords[i])) {
            OvD3D9VertexWriteV2d(layout.texCoords[i].type, d, reinterpret_cast<const OvV2d*>(sector->texCoords[i]),
                                 count, stride);
        }
    }
    if (OvUInt8* d = Dest(data, locked, layout.tangent)) {
        if (OvD3D9VertexWriteTangents(layout.tangent.type, d, sector->vertices,
                                      reinterpret_cast<const OvV2d*>(sector->texCoords[lastSet]), data, stride) == 0) {
            locked.Unlock();
            return FALSE;
        }
    }
    locked.Unlock();
    return TRUE;
}

// ---- Instancing flags ------------------------------------------------------------------------

namespace {

void* FlagsCopy(void* dst, const void* src, OvInt32 offset, OvInt32) {
    *reinterpret_cast<OvUInt32*>(static_cast<char*>(dst) + offset) =
        *reinterpret_cast<const OvUInt32*>(static_cast<const char*>(src) + offset);
    return dst;
}
OvInt32 gInstanceModuleOpens = 0;
void* CountOpen(void* instance, OvInt32, OvInt32) {
    gInstanceModuleOpens++;
    return instance;
}
void* CountClose(void* instance, OvInt32, OvInt32) {
    gInstanceModuleOpens--;
    return instance;
}

} // namespace

OvBool OvD3D9WorldDevicePluginAttach() {
    const OvInt32 module = OvEngineRegisterPlugin(0, ovPLUGINIDD3D9WORLD, CountOpen, CountClose);
    gGeometryFlagsOffset =
        OvGeometryRegisterPlugin(sizeof(OvUInt32), ovPLUGINIDD3D9WORLD, OvPluginClearConstructor, nullptr, FlagsCopy);
    gSectorFlagsOffset =
        OvWorldSectorRegisterPlugin(sizeof(OvUInt32), ovPLUGINIDD3D9WORLD, OvPluginClearConstructor, nullptr, FlagsCopy);
    return module >= 0 && gGeometryFlagsOffset >= 0 && gSectorFlagsOffset >= 0 ? TRUE : FALSE;
}

void OvD3D9GeometrySetInstanceFlags(OvGeometry* geometry, OvUInt32 flags) {
    if (gGeometryFlagsOffset >= 0) {
        *reinterpret_cast<OvUInt32*>(reinterpret_cast<char*>(geometry) + gGeometryFlagsOffset) = flags;
    }
}
OvUInt32 OvD3D9GeometryGetInstanceFlags(const OvGeometry* geometry) {
    return gGeometryFlagsOffset >= 0
               ? *reinterpret_cast<const OvUInt32*>(reinterpret_cast<const char*>(geometry) + gGeometryFlagsOffset)
               : 0;
}
void OvD3D9WorldSectorSetInstanceFlags(OvWorldSector* sector, OvUInt32 flags) {
    if (gSectorFlagsOffset >= 0) {
        *reinterpret_cast<OvUInt32*>(reinterpret_cast<char*>(sector) + gSectorFlagsOffset) = flags;
    }
}
OvUInt32 OvD3D9WorldSectorGetInstanceFlags(const OvWorldSector* sector) {
    return gSectorFlagsOffset >= 0
               ? *reinterpret_cast<const OvUInt32*>(reinterpret_cast<const char*>(sector) + gSectorFlagsOffset)
               : 0;
}

// ---- Re-instance list --------------------------------------------------------------------------

OvBool OvD3D9GeometryReinstanceListAdd(OvGeometry* geometry, const OvResourceEntry* entry) {
    for (ReinstanceNode* n = gReinstanceList; n != nullptr; n = n->next) {
        if (n->entry == entry && n->geometry == geometry) {
            return TRUE;
        }
    }
    if (gReinstanceNodes == nullptr) {
        gReinstanceNodes =
            OvFreeListCreateWithSpace(sizeof(ReinstanceNode), kReinstanceNodesPerBlock, 0, 0, nullptr, kHint);
    }
    auto* node =
        gReinstanceNodes != nullptr ? static_cast<ReinstanceNode*>(OvFreeListAlloc(gReinstanceNodes, kHint)) : nullptr;
    if (node == nullptr) {
        OvErrorReport(0, ovERRNOMEMORY);
        return FALSE;
    }
    *node = {geometry, entry, gReinstanceList};
    gReinstanceList = node;
    return TRUE;
}

void OvD3D9GeometryReinstanceListRemove(OvGeometry* geometry) {
    for (ReinstanceNode** n = &gReinstanceList; *n != nullptr;) {
        if ((*n)->geometry == geometry) {
            ReinstanceNode* gone = *n;
            *n = gone->next;
            OvFreeListFree(gReinstanceNodes, gone);
        } else {
            n = &(*n)->next;
        }
    }
}

OvInt32 OvD3D9GeometryReinstanceListCount() {
    OvInt32 count = 0;
    for (ReinstanceNode* n = gReinstanceList; n != nullptr; n = n->next) {
        count++;
    }
    return count;
}

void OvD3D9GeometryReinstanceListClear() {
    gReinstanceList = nullptr;
    if (gReinstanceNodes != nullptr) {
        OvFreeListDestroy(gReinstanceNodes); // every node goes with its blocks
        gReinstanceNodes = nullptr;
    }
}

namespace {
OvD3D9RestoreCallback gPreviousRestore = nullptr;
}

void OvD3D9WorldRestoreCallback() {
    if (gPreviousRestore != nullptr) {
        gPreviousRestore();
    }
    for (ReinstanceNode* n = gReinstanceList; n != nullptr; n = n->next) {
        n->geometry->lockedSinceLastInst = ovGEOMETRYLOCKALL;
    }
}

void OvD3D9WorldRestoreHookInstall() {
    const OvD3D9RestoreCallback current = OvD3D9DeviceGetRestoreCallback();
    if (current != OvD3D9WorldRestoreCallback) {
        gPreviousRestore = current;
        OvD3D9DeviceSetRestoreCallback(OvD3D9WorldRestoreCallback);
    }
}
