#include "graphics/world/world.h"

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "graphics/core/camera.h"
#include "graphics/core/chunk.h"
#include "graphics/core/engine.h"
#include "graphics/core/error.h"
#include "graphics/core/pipeline.h"
#include "graphics/core/resources.h"
#include "graphics/core/stream.h"
#include "graphics/world/clump.h"
#include "graphics/world/mesh.h"
#include "graphics/world/stored_arrays.h"
#include "graphics/world/world_membership.h"
#include "graphics/world/world_plugin.h"

namespace {

OvPluginRegistry gWorldRegistry = OvPluginRegistryInitialValue(sizeof(OvWorld));
OvPluginRegistry gWorldSectorRegistry = OvPluginRegistryInitialValue(sizeof(OvWorldSector));

constexpr OvUInt32 kWorldHint = ovMEMHINTDUR_OBJECT | ovCHUNKIDWORLD;
constexpr std::uint64_t kAlign = 8;
// Least bytes a sector takes in a file: an atomic sector its chunk header, struct header, struct
// and extension header; a plane sector its chunk header, struct header and struct.
constexpr std::uint64_t kLeastAtomicSectorBytes = 3 * ovCHUNKHEADERSIZE + ovATOMICSECTORSTRUCTSIZE;
constexpr std::uint64_t kLeastPlaneSectorBytes = 2 * ovCHUNKHEADERSIZE + ovPLANESECTORSTRUCTSIZE;
// Largest allocation when the stream cannot tell how much input is left.
constexpr std::uint64_t kLargestUnboundedWorld = 0x7FFFFFFF;

// The world being read: the sectors' mesh sub-chunks name materials of its list.
OvWorld* gReadingWorld = nullptr;
// Its record, whose slabs take the mesh headers read with it.
OvWorldRecord* gReadingRecord = nullptr;

constexpr std::uint64_t AlignUp(std::uint64_t n) { return (n + kAlign - 1) & ~(kAlign - 1); }

void ReportBadData() { OvErrorReport(ovPLUGINIDCORE, OvErrorCode(ovERRBADVERSION)); }

// Carving state of a read: the next free byte of the world's allocation and what the struct's
// totals still allow.
struct Carver {
    OvUInt8* cursor;
    OvUInt8* end;
    std::int64_t planeSectors;
    std::int64_t atomicSectors;
    std::int64_t vertices;
    std::int64_t triangles;
    std::uint64_t sectorSize; // bytes of one atomic sector record
    OvWorld* world;
    bool native;
    bool meshesDirect = false;      // see ReadSectorExtensions
    // The registration of the last sub-chunk read behind a sector's meshes, and its id.
    const OvPluginEntry* behindMeshes = nullptr;
    OvUInt32 behindMeshesID = 0;
    // The last chunk stamp accepted and its version (0: none yet). A file's chunks most often
    // carry one stamp, which is then unpacked once.
    OvUInt32 stamp = 0;
    OvUInt32 stampVersion = 0;

    // The version of a chunk stamp when the reader accepts it, else 0.
    OvUInt32 AcceptedVersion(OvUInt32 chunkStamp) {
        if (chunkStamp == stamp) {
            return stampVersion;
        }
        OvUInt32 version = 0;
        OvChunkStampUnpack(chunkStamp, &version, nullptr);
        if (!OvChunkVersionAccepted(version)) {
            return 0;
        }
        stamp = chunkStamp;
        stampVersion = version;
        return version;
    }
};

// The next bytes of the allocation (records aligned for their pointers); null when the block is
// used up, which a file whose totals are smaller than its sectors causes.
void* Carve(Carver& c, std::uint64_t bytes, bool record) {
    const auto at = reinterpret_cast<std::uintptr_t>(c.cursor);
    const std::uintptr_t aligned = record ? static_cast<std::uintptr_t>(AlignUp(at)) : at;
    if (aligned > reinterpret_cast<std::uintptr_t>(c.end) ||
        bytes > reinterpret_cast<std::uintptr_t>(c.end) - aligned) {
        return nullptr;
    }
    c.cursor = reinterpret_cast<OvUInt8*>(aligned + bytes);
    return reinterpret_cast<void*>(aligned);
}

} // namespace

// A block of mesh headers (and of what sector extensions keep there, OvWorldBeingReadAlloc): a
// world's sectors take theirs from a few of these instead of one heap block each, and they go
// with the world. Each slab is at least twice the one before it, so the
// slabs stay few and hold at most twice what their headers use.
struct OvWorldMeshSlab {
    OvWorldMeshSlab* next;
    std::size_t used;
    std::size_t capacity;
    alignas(kAlign) OvUInt8 bytes[1];
};

namespace {

constexpr std::size_t kFirstMeshSlabBytes = 16 * 1024;
constexpr std::size_t kLargestMeshSlabBytes = 4 * 1024 * 1024;

// A new slab for a block of need bytes that the newest has no room for.
[[gnu::noinline]] OvWorldMeshSlab* AddMeshSlab(OvWorldRecord* record, std::size_t need) {
    const OvWorldMeshSlab* slab = record->meshSlabs;
    std::size_t capacity = slab == nullptr ? kFirstMeshSlabBytes : std::min(2 * slab->capacity, kLargestMeshSlabBytes);
    capacity = std::max(capacity, need);
    auto* fresh = static_cast<OvWorldMeshSlab*>(OvMalloc(offsetof(OvWorldMeshSlab, bytes) + capacity, kWorldHint));
    if (fresh == nullptr) {
        OvErrorReport(ovPLUGINIDCORE, OvErrorCode(ovERRNOMEMORY, offsetof(OvWorldMeshSlab, bytes) + capacity));
        return nullptr;
    }
    *fresh = {record->meshSlabs, 0, capacity, {}};
    record->meshSlabs = fresh;
    return fresh;
}

inline void* MeshSlabAllocOf(OvWorldRecord* record, std::size_t bytes) {
    OvWorldMeshSlab* slab = record->meshSlabs;
    const std::size_t need = static_cast<std::size_t>(AlignUp(bytes));
    if ((slab == nullptr || slab->capacity - slab->used < need) && (slab = AddMeshSlab(record, need)) == nullptr) {
        return nullptr;
    }
    void* at = slab->bytes + slab->used;
    slab->used += need;
    return at;
}

void* MeshSlabAlloc(void* data, std::size_t bytes) { return MeshSlabAllocOf(static_cast<OvWorldRecord*>(data), bytes); }

// A header of a read that failed: the newest block of the newest slab is taken back.
void MeshSlabRelease(void* data, void* block) {
    OvWorldMeshSlab* slab = static_cast<OvWorldRecord*>(data)->meshSlabs;
    if (slab != nullptr && static_cast<OvUInt8*>(block) >= slab->bytes &&
        static_cast<OvUInt8*>(block) < slab->bytes + slab->used) {
        slab->used = static_cast<std::size_t>(static_cast<OvUInt8*>(block) - slab->bytes);
    }
}

bool InMeshSlabs(const OvWorldRecord* record, const OvMeshHeader* header) {
    const auto at = reinterpret_cast<std::uintptr_t>(header);
    for (const OvWorldMeshSlab* slab = record != nullptr ? record->meshSlabs : nullptr; slab != nullptr;
         slab = slab->next) {
        const auto start = reinterpret_cast<std::uintptr_t>(slab->bytes);
        if (at >= start && at < start + slab->used) {
            return true;
        }
    }
    return false;
}

void FreeMeshSlabs(OvWorldRecord* record) {
    while (OvWorldMeshSlab* slab = record->meshSlabs) {
        record->meshSlabs = slab->next;
        OvFree(slab);
    }
}

// A sector's mesh header, unless it lies in its world's slabs.
void DestroySectorMesh(const OvWorldRecord* record, OvMeshHeader* header) {
    if (!InMeshSlabs(record, header)) {
        OvMeshHeaderDestroy(header);
    }
}

// Pending sectors of a depth-first walk (left before right). The reader refuses trees deeper
// than the stack, so it never overflows; a push beyond it is dropped.
struct SectorStack {
    OvWorldSector* items[ovWORLDMAXDEPTH + 1];
    OvInt32 count = 0;
    void Push(OvWorldSector* s) {
        if (count < ovWORLDMAXDEPTH + 1) {
            items[count++] = s;
        }
    }
    OvWorldSector* Pop() { return count > 0 ? items[--count] : nullptr; }
};

// Calls fn on every atomic sector under root, depth first, left before right; stops when fn
// returns false.
template <typename Fn> void ForAtomicSectors(OvWorldSector* root, Fn&& fn) {
    SectorStack stack;
    OvWorldSector* s = root;
    while (s != nullptr) {
        if (OvWorldSectorIsAtomic(s)) {
            if (!fn(s)) {
                return;
            }
            s = stack.Pop();
        } else {
            const OvPlaneSector* p = OvWorldSectorAsPlane(s);
            if (p->rightSubTree != nullptr) {
                stack.Push(p->rightSubTree);
            }
            s = p->leftSubTree != nullptr ? p->leftSubTree : stack.Pop();
        }
    }
}

// Releases what a sector holds outside the world's block: its mesh header, instanced data and
// ties, then runs its extensions' destructors.
void ReleaseSector(const OvWorldRecord* record, OvWorldSector* sector) {
    if (sector->mesh != nullptr) {
        DestroySectorMesh(record, sector->mesh);
        sector->mesh = nullptr;
    }
    if (sector->repEntry != nullptr) {
        OvResourcesFreeEntry(sector->repEntry);
    }
    OvWorldSectorReleaseTies(sector);
    OvPluginRegistryDeInitObject(&gWorldSectorRegistry, sector);
}

void ReleaseSubtree(const OvWorldRecord* record, OvWorldSector* root) {
    ForAtomicSectors(root, [record](OvWorldSector* s) {
        ReleaseSector(record, s);
        return true;
    });
}

// Builds the mesh header of a sector that read none, as soon as the sector is read, while its
// triangles are still in the cache. Lists take their blocks from the world's slabs, as read
// headers do; strips come from the heap, so their sectors hold them. The reader has checked every
// triangle's material against the list, so lists of a list with materials are built straight from
// the triangles.
bool BuildSectorMesh(OvWorld* world, OvWorldRecord* record, OvWorldSector* s) {
    const bool lists = (world->flags & ovGEOMETRYTRISTRIP) == 0;
    const OvMeshHeaderSource slabs = {MeshSlabAlloc, MeshSlabRelease, record};
    if (lists && world->matList.numMaterials > 0 && s->numTriangles > 0) {
        s->mesh = OvMeshBuildTriangleListsOfWindow(s->triangles, s->numTriangles, &world->matList, s->matListWindowBase,
                                                   &slabs);
    } else {
        s->mesh = OvMeshHeaderBuildFromTriangles(s->triangles, s->numTriangles, &world->matList,
                                                 s->matListWindowBase, world->flags, &slabs);
        if (!lists) {
            record->sectorsHold = TRUE;
        }
    }
    return s->mesh != nullptr;
}

// Reorders a stored triangle: from 0x36002 on {v0, v1, v2, material}, before {material, v0, v1, v2}.
OvTriangle DecodeTriangle(const OvUInt8* t, bool newOrder) {
    OvUInt16 w[4];
    for (int i = 0; i < 4; ++i) {
        w[i] = static_cast<OvUInt16>(t[2 * i] | t[2 * i + 1] << 8);
    }
    return newOrder ? OvTriangle{{w[0], w[1], w[2]}, w[3]} : OvTriangle{{w[1], w[2], w[3]}, w[0]};
}

// Reads a sector's mesh sub-chunk of the given body length; replaces the mesh it has. Read with
// its world (record given), the header comes from the world's slabs.
OvStream* ReadSectorMesh(OvStream* stream, OvInt32 length, OvWorldSector* sector, OvWorld* world,
                         OvWorldRecord* record, bool withWorld) {
    const bool native = (world->flags & ovGEOMETRYNATIVE) != 0;
    const OvMeshHeaderSource slabs = {MeshSlabAlloc, MeshSlabRelease, record};
    OvMeshHeader* header = OvMeshHeaderStreamReadFrom(stream, length, native ? TRUE : FALSE, &world->matList,
                                                      sector->numVertices,
                                                      withWorld && record != nullptr ? &slabs : nullptr);
    if (header == nullptr) {
        return nullptr;
    }
    // A second mesh sub-chunk replaces the first.
    if (sector->mesh != nullptr) {
        DestroySectorMesh(record, sector->mesh);
    }
    sector->mesh = header;
    if (!withWorld && record != nullptr) {
        record->sectorsHold = TRUE;
    }
    return stream;
}

// TRUE when a sector extension chunk that holds the binary meshes first may go straight to their
// reader, and one sub-chunk behind them straight to its own: the registry reads them with it and
// runs no callback after every extension read.
bool SectorMeshesReadDirectly() {
    if (gWorldSectorRegistry.firstAlways != nullptr) {
        return false;
    }
    for (const OvPluginEntry* e = gWorldSectorRegistry.firstRegEntry; e != nullptr; e = e->nextRegEntry) {
        if (e->pluginID == ovPLUGINIDBINMESH) {
            return e->readCB == OvWorldSectorMeshHeaderStreamRead;
        }
    }
    return false;
}

// The sub-chunks behind a sector's meshes (rest bytes). Most often one (a level's collision data):
// its header at hand, it goes straight to its reader, as the registry's walk would send it;
// otherwise the registry walks them.
bool ReadBehindMeshes(OvStream* stream, Carver& c, OvWorldSector* sector, OvUInt32 rest) {
    if (const OvUInt8* at = rest >= ovCHUNKHEADERSIZE ? OvStreamPeekInPlace(stream, ovCHUNKHEADERSIZE) : nullptr) {
        const OvUInt32 id = OvChunkGetUInt32(at);
        const OvUInt32 body = OvChunkGetUInt32(at + 4);
        if (body == rest - ovCHUNKHEADERSIZE && body <= static_cast<OvUInt32>(INT32_MAX)) {
            if (c.behindMeshes == nullptr || c.behindMeshesID != id) {
                c.behindMeshes = OvPluginRegistryFindEntry(&gWorldSectorRegistry, id);
                c.behindMeshesID = id;
            }
            OvStreamPassInPlace(stream, ovCHUNKHEADERSIZE);
            return OvPluginEntryReadBody(c.behindMeshes, stream, body, sector);
        }
    }
    return OvPluginRegistryReadSubChunks(&gWorldSectorRegistry, stream, rest, sector) != nullptr;
}

// A sector's extension chunk. Most begin with its meshes, and many hold nothing else: the meshes
// are read without the registry's walk when it would do the same, the sub-chunks behind them
// (collision data, say) by ReadBehindMeshes (direct set: the meshes alone, so no pipeline owner
// was read).
bool ReadSectorExtensions(OvStream* stream, Carver& c, OvWorldSector* sector, bool* direct) {
    constexpr OvUInt32 kHeads = 2 * ovCHUNKHEADERSIZE;
    if (const OvUInt8* at = c.meshesDirect ? OvStreamPeekInPlace(stream, kHeads) : nullptr) {
        const OvUInt32 length = OvChunkGetUInt32(at + 4);
        const OvUInt32 body = OvChunkGetUInt32(at + 16);
        if (OvChunkGetUInt32(at) == ovID_EXTENSION && c.AcceptedVersion(OvChunkGetUInt32(at + 8)) != 0 &&
            OvChunkGetUInt32(at + 12) == ovPLUGINIDBINMESH && body <= static_cast<OvUInt32>(INT32_MAX) &&
            length >= ovCHUNKHEADERSIZE && body <= length - ovCHUNKHEADERSIZE) {
            OvStreamPassInPlace(stream, kHeads);
            if (ReadSectorMesh(stream, static_cast<OvInt32>(body), sector, c.world, gReadingRecord, true) == nullptr) {
                return false;
            }
            const OvUInt32 rest = length - ovCHUNKHEADERSIZE - body;
            *direct = rest == 0;
            if (rest == 0) {
                return true;
            }
            OvPipelineOwnerClear(ovPIPELINEOWNERSECTOR);
            return ReadBehindMeshes(stream, c, sector, rest);
        }
    }
    OvPipelineOwnerClear(ovPIPELINEOWNERSECTOR);
    return OvPluginRegistryReadDataChunks(&gWorldSectorRegistry, stream, sector) != nullptr;
}

// ReadSectorStruct when the headers and the struct are not at hand one behind the other.
[[gnu::noinline]] const OvUInt8* ReadSectorStructThroughFind(OvStream* stream, OvUInt32 type, OvUInt32 size,
                                                             bool shortAllowed, OvUInt8* scratch, OvUInt32* length,
                                                             OvUInt32* version) {
    if (!OvStreamFindChunk(stream, type, nullptr, nullptr) || !OvStreamFindChunk(stream, ovID_STRUCT, length, version)) {
        return nullptr;
    }
    if (*length >= size) {
        return OvStreamReadView(stream, scratch, size);
    }
    if (!shortAllowed) {
        ReportBadData();
        return nullptr;
    }
    std::memset(scratch, 0, size);
    return OvStreamReadStrict(stream, scratch, *length) != nullptr ? scratch : nullptr;
}

// Finds a sector's chunk of the given type and its struct: the struct's first `size` bytes
// (where they lie, or read into scratch), the stream behind them, its body length and version.
// Most often both headers and the struct are at hand one behind the other: one look takes them.
// A struct shorter than size is refused, or when short is allowed read into the zeroed scratch
// whole. Null on a read failure or a refused struct (error set).
inline const OvUInt8* ReadSectorStruct(OvStream* stream, Carver& c, OvUInt32 type, OvUInt32 size, bool shortAllowed,
                                       OvUInt8* scratch, OvUInt32* length, OvUInt32* version) {
    if (const OvUInt8* at = OvStreamPeekInPlace(stream, 2 * ovCHUNKHEADERSIZE + size)) {
        const OvUInt32 structVersion = c.AcceptedVersion(OvChunkGetUInt32(at + 20));
        const OvUInt32 structLength = OvChunkGetUInt32(at + 16);
        if (OvChunkGetUInt32(at) == type && OvChunkGetUInt32(at + 12) == ovID_STRUCT && structVersion != 0 &&
            c.AcceptedVersion(OvChunkGetUInt32(at + 8)) != 0 && structLength >= size) {
            *length = structLength;
            *version = structVersion;
            OvStreamPassInPlace(stream, 2 * ovCHUNKHEADERSIZE + size);
            return at + 2 * ovCHUNKHEADERSIZE;
        }
    }
    return ReadSectorStructThroughFind(stream, type, size, shortAllowed, scratch, length, version);
}

OvWorldSector* ReadAtomicSector(OvStream* stream, Carver& c, const OvBBox& box) {
    OvUInt32 length = 0, version = 0;
    constexpr OvUInt32 kHead = ovATOMICSECTORSTRUCTSIZE;
    OvUInt8 scratch[kHead];
    // Decoded before the arrays are read.
    const OvUInt8* head = ReadSectorStruct(stream, c, ovCHUNKIDATOMICSECTOR, kHead, false, scratch, &length, &version);
    if (head == nullptr) {
        return nullptr;
    }
    const auto base = static_cast<OvInt32>(OvChunkGetUInt32(head));
    const auto numTriangles = static_cast<OvInt32>(OvChunkGetUInt32(head + 4));
    const auto numVertices = static_cast<OvInt32>(OvChunkGetUInt32(head + 8));
    OvWorld* world = c.world;
    const OvUInt32 flags = world->flags;
    const OvInt32 sets = world->numTexCoordSets;
    // Counts must fit the sector's 16-bit fields and what the world's totals leave.
    if (base < 0 || base > 0xFFFF || numTriangles < 0 || numTriangles > 0xFFFF || numVertices < 0 ||
        numVertices > 0xFFFF || c.atomicSectors <= 0 || (!c.native && numTriangles > 0 && numVertices == 0)) {
        ReportBadData();
        return nullptr;
    }
    const auto v = static_cast<std::uint64_t>(numVertices);
    const auto t = static_cast<std::uint64_t>(numTriangles);
    std::uint64_t arrays = 0;
    if (!c.native) {
        if (numVertices > c.vertices || numTriangles > c.triangles) {
            ReportBadData();
            return nullptr;
        }
        arrays = v * (12 + ((flags & ovGEOMETRYNORMALS) != 0 ? 4 : 0) + ((flags & ovGEOMETRYPRELIT) != 0 ? 4 : 0) +
                      8 * static_cast<std::uint64_t>(sets)) +
                 8 * t;
    }
    if (kHead + arrays > length) {
        ReportBadData();
        return nullptr;
    }
    auto* sector = static_cast<OvWorldSector*>(Carve(c, c.sectorSize, true));
    if (sector == nullptr) {
        ReportBadData();
        return nullptr;
    }
    c.atomicSectors--;
    std::memset(sector, 0, c.sectorSize);
    sector->type = ovSECTORATOMIC;
    sector->boundingBox = box;
    sector->tightBoundingBox.inf = {OvChunkGetReal(head + 12), OvChunkGetReal(head + 16), OvChunkGetReal(head + 20)};
    sector->tightBoundingBox.sup = {OvChunkGetReal(head + 24), OvChunkGetReal(head + 28), OvChunkGetReal(head + 32)};
    sector->matListWindowBase = static_cast<OvUInt16>(base);
    sector->numVertices = static_cast<OvUInt16>(numVertices);
    sector->numTriangles = static_cast<OvUInt16>(numTriangles);
    OvLLLinkInitHead(&sector->atomicTies);
    OvLLLinkInitHead(&sector->lightTies);

    bool ok = true;
    if (!c.native) {
        c.vertices -= numVertices;
        c.triangles -= numTriangles;
        // The arrays lie in the file as they lie in the block, one after another, with the
        // values as they are in memory: one read fills them all. The block was sized from the
        // same totals, so the carve cannot fail.
        auto* const block = static_cast<OvUInt8*>(Carve(c, arrays, false));
        OvUInt8* at = block;
        if (numVertices > 0) {
            sector->vertices = reinterpret_cast<OvV3d*>(at);
            at += 12 * v;
            if ((flags & ovGEOMETRYNORMALS) != 0) {
                sector->normals = reinterpret_cast<OvVertexNormal*>(at);
                at += 4 * v;
            }
            if ((flags & ovGEOMETRYPRELIT) != 0) {
                sector->preLitLum = reinterpret_cast<OvRGBA*>(at);
                at += 4 * v;
            }
            for (OvInt32 i = 0; i < sets; ++i) {
                sector->texCoords[i] = reinterpret_cast<OvTexCoords*>(at);
                at += 8 * v;
            }
        }
        if (numTriangles > 0) {
            sector->triangles = reinterpret_cast<OvTriangle*>(at);
        }
        const OvUInt8* source = arrays > 0 ? OvStreamPeekInPlace(stream, static_cast<OvUInt32>(arrays)) : nullptr;
        ok = arrays == 0 || OvStreamReadValues(stream, block, static_cast<OvUInt32>(arrays)) != nullptr;
        if (ok && numTriangles > 0) {
            static_assert(sizeof(OvTriangle) == 8, "a triangle record is as large as a stored one");
            const bool newOrder = version >= 0x36002;
            const OvInt32 materials = world->matList.numMaterials;
            const auto count = static_cast<std::size_t>(ok ? numTriangles : 0);
            auto* stored = reinterpret_cast<OvUInt8*>(sector->triangles);
            if (std::endian::native != std::endian::little) {
                for (std::size_t i = 0; i < count; ++i) {
                    sector->triangles[i] = DecodeTriangle(stored + 8 * i, newOrder);
                }
            } else if (!newOrder) {
                // {material, v0, v1, v2} as one little-endian word: the material moves to the top.
                for (std::size_t i = 0; i < count; ++i) {
                    std::uint64_t w = 0;
                    std::memcpy(&w, stored + 8 * i, sizeof w);
                    w = w >> 16 | w << 48;
                    std::memcpy(stored + 8 * i, &w, sizeof w);
                }
            }
            // From 0x36002 on a stored triangle is the record as it lies in memory. Vertices
            // inside the sector's arrays; materials inside the world's list. Bounded from the
            // stream's own bytes when it holds them: wide reads of the copy just stored would wait
            // for its stores.
            const bool fromSource = source != nullptr && newOrder && std::endian::native == std::endian::little;
            const OvStoredTriangleBounds bounds =
                OvBoundTriangles(fromSource ? source + (stored - block) : stored, count);
            if (count > 0 && (bounds.largestVertex >= numVertices ||
                              (materials > 0 && base + bounds.largestMaterial >= materials))) {
                ReportBadData();
                ok = false;
            }
        }
    }
    if (ok && length > kHead + arrays) {
        ok = OvStreamSkip(stream, static_cast<OvUInt32>(length - kHead - arrays)) != nullptr;
    }
    if (!ok) {
        return nullptr;
    }
    // The record was cleared when it was carved.
    if (gWorldSectorRegistry.firstConstructedBeyondClear != nullptr &&
        OvPluginRegistryInitClearedObject(&gWorldSectorRegistry, sector) == nullptr) {
        return nullptr;
    }
    bool direct = false;
    ok = ReadSectorExtensions(stream, c, sector, &direct);
    // A native sector's meshes come with its data: without them it has nothing to draw from.
    if (ok && c.native && numTriangles > 0 && sector->mesh == nullptr) {
        ReportBadData();
        ok = false;
    }
    if (ok && sector->mesh == nullptr) {
        ok = BuildSectorMesh(c.world, gReadingRecord, sector);
    }
    if (!ok) {
        ReleaseSector(gReadingRecord, sector);
        return nullptr;
    }
    if (!direct) {
        OvPipelineOwnerInvoke(ovPIPELINEOWNERSECTOR, &gWorldSectorRegistry, sector);
    }
    return sector;
}

// A plane sector's chunk, depth plane sectors deep (itself counted): the record carved and its
// children's kinds; its children are read by ReadTree. Null on a failure (error set).
OvPlaneSector* ReadPlaneSector(OvStream* stream, Carver& c, OvInt32 depth, bool* leftAtomic, bool* rightAtomic) {
    // Deeper trees would overrun the walks' stacks.
    if (depth > ovWORLDMAXDEPTH) {
        ReportBadData();
        return nullptr;
    }
    OvUInt32 length = 0, version = 0;
    OvUInt8 scratch[ovPLANESECTORSTRUCTSIZE];
    // A shorter struct leaves the rest zero, a longer one is passed over.
    const OvUInt8* body =
        ReadSectorStruct(stream, c, ovCHUNKIDPLANESECTOR, ovPLANESECTORSTRUCTSIZE, true, scratch, &length, &version);
    if (body == nullptr ||
        (length > ovPLANESECTORSTRUCTSIZE && OvStreamSkip(stream, length - ovPLANESECTORSTRUCTSIZE) == nullptr)) {
        return nullptr;
    }
    const auto type = static_cast<OvInt32>(OvChunkGetUInt32(body));
    // 0, 4 or 8, tested without a branch on which (the axes alternate down the tree).
    if (static_cast<OvUInt32>(type) > 8 || (type & 3) != 0 || c.planeSectors <= 0) {
        ReportBadData();
        return nullptr;
    }
    auto* plane = static_cast<OvPlaneSector*>(Carve(c, sizeof(OvPlaneSector), true));
    if (plane == nullptr) {
        ReportBadData();
        return nullptr;
    }
    c.planeSectors--;
    std::memset(plane, 0, sizeof(OvPlaneSector));
    plane->type = type;
    plane->value = OvChunkGetReal(body + 4);
    *leftAtomic = OvChunkGetUInt32(body + 8) != 0;
    *rightAtomic = OvChunkGetUInt32(body + 12) != 0;
    if ((c.world->flags & ovWORLDSECTORSOVERLAP) != 0) {
        plane->leftValue = OvChunkGetReal(body + 16);
        plane->rightValue = OvChunkGetReal(body + 20);
    } else {
        plane->leftValue = plane->rightValue = plane->value;
    }
    return plane;
}

// The sector tree in file order (a plane sector, its left side, its right side) from the root of
// the given kind and tree box (the world's). The plane sectors whose right side is still to come
// wait on a stack no deeper than the tree may be. On a failure the atomic sectors read so far
// are released (the children not yet read are null) and null is returned.
OvWorldSector* ReadTree(OvStream* stream, Carver& c, bool rootAtomic, const OvBBox& worldBox) {
    struct Pending {
        OvPlaneSector* plane;
        OvBBox box;
        OvInt32 depth;
        bool atomic;
    };
    Pending pending[ovWORLDMAXDEPTH + 1];
    OvInt32 count = 0;
    OvWorldSector* root = nullptr;
    OvWorldSector** slot = &root;
    bool atomic = rootAtomic;
    OvBBox box = worldBox;
    OvInt32 depth = 0; // plane sectors above the next sector
    for (;;) {
        if (atomic) {
            OvWorldSector* sector = ReadAtomicSector(stream, c, box);
            if (sector == nullptr) {
                break;
            }
            *slot = sector;
            if (count == 0) {
                return root;
            }
            const Pending& next = pending[--count];
            slot = &next.plane->rightSubTree;
            atomic = next.atomic;
            box = next.box;
            depth = next.depth;
            continue;
        }
        bool leftAtomic = false, rightAtomic = false;
        OvPlaneSector* plane = ReadPlaneSector(stream, c, depth + 1, &leftAtomic, &rightAtomic);
        if (plane == nullptr) {
            break;
        }
        *slot = reinterpret_cast<OvWorldSector*>(plane);
        // The children's tree boxes: the left side ends at the left value, the right side starts
        // at the right value. Each is the box with one coordinate stored in place, the right one's
        // in its waiting entry: neither is read whole until the sector behind has been looked at,
        // when the store has settled (a whole-box read right behind it would wait for it).
        // A plane sector is at most ovWORLDMAXDEPTH deep, so at most that many wait.
        Pending& right = pending[count++];
        right = {plane, box, depth + 1, rightAtomic};
        *OvV3dAxisPtr(&right.box.inf, plane->type) = plane->rightValue;
        *OvV3dAxisPtr(&box.sup, plane->type) = plane->leftValue;
        slot = &plane->leftSubTree;
        atomic = leftAtomic;
        depth++;
    }
    if (root != nullptr) {
        ReleaseSubtree(gReadingRecord, root);
    }
    return nullptr;
}

// The record of the world whose allocation holds the sector, or null.
OvWorldRecord* FindRecordOf(const OvWorldSector* sector) {
    if (OvEngineInstancePtr == nullptr || OvEngineGetPluginOffset(ovPLUGINIDWORLD) < 0) {
        return nullptr;
    }
    OvLLLink* head = &OvWorldGetModule()->records;
    const auto at = reinterpret_cast<std::uintptr_t>(sector);
    for (OvLLLink* l = head->next; l != head; l = l->next) {
        auto* record = reinterpret_cast<OvWorldRecord*>(reinterpret_cast<char*>(l) - offsetof(OvWorldRecord, link));
        const auto start = reinterpret_cast<std::uintptr_t>(record->world);
        if (at >= start && at - start < record->size) {
            return record;
        }
    }
    return nullptr;
}

// Sector extensions whose destructors free only what a sector noted holding.
constexpr int kMostNotingPlugins = 8;
OvUInt32 gNotingPlugins[kMostNotingPlugins];
int gNumNotingPlugins = 0;

// TRUE when a sector extension has a destructor that must run for every sector.
bool SectorDestructorsIgnoreNotes() {
    for (const OvPluginEntry* e = gWorldSectorRegistry.lastDestructed; e != nullptr; e = e->prevDestructed) {
        if (std::find(gNotingPlugins, gNotingPlugins + gNumNotingPlugins, e->pluginID) ==
            gNotingPlugins + gNumNotingPlugins) {
            return true;
        }
    }
    return false;
}

OvWorldRecord* FindRecord(const OvWorld* world) {
    OvLLLink* head = &OvWorldGetModule()->records;
    for (OvLLLink* l = head->next; l != head; l = l->next) {
        auto* record = reinterpret_cast<OvWorldRecord*>(reinterpret_cast<char*>(l) - offsetof(OvWorldRecord, link));
        if (record->world == world) {
            return record;
        }
    }
    return nullptr;
}

// Frees a world at any stage of its read: constructed tells whether its extensions were built.
void FreeWorld(OvWorld* world, bool constructed) {
    OvWorldRecord* record = FindRecord(world);
    // The sectors are visited only when one of them may hold something outside the world's
    // block and slabs: a mesh header or instanced data noted on the record, a tie, or extension
    // data with a destructor.
    const bool sectorsHold = record == nullptr || record->sectorsHold || OvWorldSectorTiesInUse() ||
                             SectorDestructorsIgnoreNotes();
    if (world->rootSector != nullptr && sectorsHold) {
        ReleaseSubtree(record, world->rootSector);
    }
    if (record != nullptr) {
        FreeMeshSlabs(record);
        OvLLLinkRemove(&record->link);
        OvFreeListEntryFree(OvWorldGetModule()->recordFreeList, record);
    }
    OvMaterialListDeinitialize(&world->matList);
    if (constructed) {
        OvPluginRegistryDeInitObject(&gWorldRegistry, world);
    }
    OvFree(world);
}

} // namespace

OvPluginRegistry* OvWorldGetRegistry() { return &gWorldRegistry; }
OvPluginRegistry* OvWorldSectorGetRegistry() { return &gWorldSectorRegistry; }

OvStream* OvWorldSectorMeshHeaderStreamRead(OvStream* stream, OvInt32 length, void* object, OvInt32, OvInt32) {
    auto* sector = static_cast<OvWorldSector*>(object);
    OvWorld* world = gReadingWorld != nullptr ? gReadingWorld : OvWorldSectorGetWorld(sector);
    if (world == nullptr) {
        return OvStreamSkip(stream, static_cast<OvUInt32>(length));
    }
    return ReadSectorMesh(stream, length, sector, world, gReadingWorld != nullptr ? gReadingRecord : FindRecord(world),
                          gReadingWorld != nullptr);
}

OvStream* OvWorldSectorMeshHeaderStreamWrite(OvStream* stream, OvInt32, const void* object, OvInt32, OvInt32) {
    const auto* sector = static_cast<const OvWorldSector*>(object);
    const OvWorld* world = OvWorldSectorGetWorld(sector);
    if (world == nullptr || sector->mesh == nullptr) {
        return stream;
    }
    return OvMeshHeaderStreamWrite(sector->mesh, (world->flags & ovGEOMETRYNATIVE) != 0 ? TRUE : FALSE, stream,
                                   &world->matList);
}

OvInt32 OvWorldSectorMeshHeaderStreamGetSize(const void* object, OvInt32, OvInt32) {
    const auto* sector = static_cast<const OvWorldSector*>(object);
    const OvWorld* world = OvWorldSectorGetWorld(sector);
    if (world == nullptr || sector->mesh == nullptr) {
        return 0;
    }
    return OvMeshHeaderStreamGetSize(sector->mesh, (world->flags & ovGEOMETRYNATIVE) != 0 ? TRUE : FALSE);
}

OvWorld* OvWorldStreamRead(OvStream* stream) {
    // 1. The struct: a shorter one leaves the rest zero, a longer one is passed over.
    OvUInt32 length = 0;
    if (!OvStreamFindChunk(stream, ovID_STRUCT, &length, nullptr)) {
        return nullptr;
    }
    OvUInt8 s[ovWORLDSTRUCTSIZE] = {};
    const OvUInt32 take = length < sizeof s ? length : static_cast<OvUInt32>(sizeof s);
    if (OvStreamReadStrict(stream, s, take) == nullptr ||
        (length > take && OvStreamSkip(stream, length - take) == nullptr)) {
        return nullptr;
    }
    const bool rootIsAtomic = OvChunkGetUInt32(s) != 0;
    const OvV3d inverseOrigin = {OvChunkGetReal(s + 4), OvChunkGetReal(s + 8), OvChunkGetReal(s + 12)};
    const auto numTriangles = static_cast<OvInt32>(OvChunkGetUInt32(s + 16));
    const auto numVertices = static_cast<OvInt32>(OvChunkGetUInt32(s + 20));
    const auto numPlanes = static_cast<OvInt32>(OvChunkGetUInt32(s + 24));
    const auto numAtomics = static_cast<OvInt32>(OvChunkGetUInt32(s + 28));
    const auto collisionSectorSize = static_cast<OvInt32>(OvChunkGetUInt32(s + 32));
    const OvUInt32 flags = OvChunkGetUInt32(s + 36);
    const bool native = (flags & ovGEOMETRYNATIVE) != 0;

    // 2. Texture sets, as for geometry; more than a sector has room for is refused.
    const OvInt32 sets = OvGeometryTexCoordSetsOfFormat(flags);
    if (collisionSectorSize > 0 || numTriangles < 0 || numVertices < 0 || numPlanes < 0 || numAtomics < 0 ||
        sets > ovMAXTEXTURECOORDS) {
        ReportBadData();
        return nullptr;
    }

    // 3. One block for the world, its sectors and their arrays. The file must be able to hold
    // what the totals announce before anything is allocated for them.
    const std::uint64_t worldSize = AlignUp(static_cast<std::uint64_t>(gWorldRegistry.sizeOfStruct));
    const std::uint64_t sectorSize = AlignUp(static_cast<std::uint64_t>(gWorldSectorRegistry.sizeOfStruct));
    std::uint64_t arrays = 0;
    if (!native) {
        arrays = static_cast<std::uint64_t>(numVertices) *
                     (12 + ((flags & ovGEOMETRYNORMALS) != 0 ? 4 : 0) + ((flags & ovGEOMETRYPRELIT) != 0 ? 4 : 0) +
                      8 * static_cast<std::uint64_t>(sets)) +
                 8 * static_cast<std::uint64_t>(numTriangles);
    }
    const std::uint64_t leastInput = static_cast<std::uint64_t>(numAtomics) * kLeastAtomicSectorBytes +
                                     static_cast<std::uint64_t>(numPlanes) * kLeastPlaneSectorBytes + arrays;
    const OvUInt32 left = OvStreamGetBytesLeft(stream);
    // Each atomic sector's arrays may need realigning for the record after them.
    const std::uint64_t size = worldSize + static_cast<std::uint64_t>(numAtomics) * (sectorSize + kAlign) +
                               static_cast<std::uint64_t>(numPlanes) * AlignUp(sizeof(OvPlaneSector)) + arrays;
    if ((left != 0xFFFFFFFFu && leastInput > left) || size > kLargestUnboundedWorld) {
        ReportBadData();
        return nullptr;
    }
    auto* block = static_cast<OvUInt8*>(OvMalloc(static_cast<std::size_t>(size), kWorldHint));
    if (block == nullptr) {
        OvErrorReport(ovPLUGINIDCORE, OvErrorCode(ovERRNOMEMORY, static_cast<std::size_t>(size)));
        return nullptr;
    }
    // The world's record is cleared here, each sector's when it is carved; the arrays are
    // filled by the reads.
    std::memset(block, 0, static_cast<std::size_t>(worldSize));

    // 4. The world and its record.
    auto* world = reinterpret_cast<OvWorld*>(block);
    world->object.type = ovWORLDOBJECTTYPE;
    world->object.privateFlags = ovWORLDPRIVATESINGLEBLOCK;
    world->flags = flags;
    world->renderOrder = ovWORLDRENDERBACK2FRONT;
    world->numTexCoordSets = sets;
    world->worldOrigin = {-inverseOrigin.x, -inverseOrigin.y, -inverseOrigin.z};
    OvLLLinkInitHead(&world->clumpList);
    OvLLLinkInitHead(&world->localLights);
    OvLLLinkInitHead(&world->globalLights);
    world->currentClumpLink = &world->clumpList;
    world->boundingBox.sup = {OvChunkGetReal(s + 40), OvChunkGetReal(s + 44), OvChunkGetReal(s + 48)};
    world->boundingBox.inf = {OvChunkGetReal(s + 52), OvChunkGetReal(s + 56), OvChunkGetReal(s + 60)};
    OvMaterialListInitialize(&world->matList);
    OvWorldModule* module = OvWorldGetModule();
    auto* record = static_cast<OvWorldRecord*>(OvFreeListEntryAlloc(module->recordFreeList, kWorldHint));
    if (record == nullptr) {
        OvErrorReport(ovPLUGINIDCORE, OvErrorCode(ovERRNOMEMORY, sizeof(OvWorldRecord)));
        OvFree(block);
        return nullptr;
    }
    record->world = world;
    record->size = static_cast<OvUInt32>(size);
    record->meshSlabs = nullptr;
    record->sectorsHold = FALSE;
    OvLLLinkAddHead(&module->records, &record->link);

    // 5, 6. The material list, then the tree carved behind the world.
    Carver carver{block + worldSize, block + size, numPlanes, numAtomics, numVertices,
                  numTriangles,      sectorSize,   world,     native};
    carver.meshesDirect = SectorMeshesReadDirectly();
    bool ok = OvStreamFindChunk(stream, ovCHUNKIDMATLIST, nullptr, nullptr) &&
              OvMaterialListStreamRead(stream, &world->matList) != nullptr;
    OvWorld* const outer = gReadingWorld;
    OvWorldRecord* const outerRecord = gReadingRecord;
    gReadingWorld = world;
    gReadingRecord = record;
    if (ok) {
        world->rootSector = ReadTree(stream, carver, rootIsAtomic, world->boundingBox);
        ok = world->rootSector != nullptr;
    }
    gReadingWorld = outer;
    gReadingRecord = outerRecord;

    // 7, 8. Lists (the box and the sectors' tree boxes were set on the way down).
    world->renderCallBack = OvWorldSectorDefaultRenderCallback;
    if (!ok) {
        FreeWorld(world, false);
        return nullptr;
    }

    // 9. The world's extensions (the sectors' meshes were built as they were read).
    if (OvPluginRegistryInitObject(&gWorldRegistry, world) == nullptr) {
        FreeWorld(world, false);
        return nullptr;
    }
    OvPipelineOwnerClear(ovPIPELINEOWNERWORLD);
    ok = OvPluginRegistryReadDataChunks(&gWorldRegistry, stream, world) != nullptr;
    if (ok) {
        OvPipelineOwnerInvoke(ovPIPELINEOWNERWORLD, &gWorldRegistry, world);
    }
    if (!ok) {
        FreeWorld(world, true);
        return nullptr;
    }
    return world;
}

OvBool OvWorldDestroy(OvWorld* world) {
    // Members still in the world leave it rather than keep pointers into freed memory.
    OvWorldReleaseMembers(world);
    FreeWorld(world, true);
    return TRUE;
}

OvWorld* OvWorldSetSectorRenderCallback(OvWorld* world, OvWorldSectorCallBackRender callback) {
    world->renderCallBack = callback != nullptr ? callback : OvWorldSectorDefaultRenderCallback;
    return world;
}

OvWorldSector* OvWorldSectorRender(OvWorldSector* sector) {
    auto* world = static_cast<OvWorld*>(OvEngineInstancePtr->curWorld);
    if (world == nullptr) {
        return OvWorldSectorDefaultRenderCallback(sector);
    }
    return world->renderCallBack(sector);
}

OvWorldSector* OvWorldSectorDefaultRenderCallback(OvWorldSector* sector) {
    if (sector->numTriangles == 0) {
        return sector;
    }
    OvPipeline* pipeline = sector->pipeline;
    const auto* world = static_cast<const OvWorld*>(OvEngineInstancePtr->curWorld);
    if (pipeline == nullptr && world != nullptr) {
        pipeline = world->pipeline;
    }
    if (pipeline == nullptr) {
        pipeline = OvWorldGetDefaultWorldSectorPipeline();
    }
    if (pipeline == nullptr || OvPipelineExecute(pipeline, sector, TRUE) == nullptr) {
        return nullptr;
    }
    return sector;
}

OvWorld* OvWorldRender(OvWorld* world) {
    auto* camera = static_cast<OvCamera*>(OvEngineInstancePtr->curCamera);
    if (camera == nullptr) {
        return world;
    }
    const OvUInt16 frame = OvEngineInstancePtr->renderFrame;
    OvInt32 count = 0;
    OvWorldSector** sectors = OvCameraGetVisibleSectors(camera, &count);
    for (OvInt32 i = 0; i < count; ++i) {
        OvWorldSector* sector = sectors[i];
        if (OvWorldSectorRender(sector) == nullptr) {
            continue;
        }
        OvLLLink* head = &sector->atomicTies;
        for (OvLLLink* l = head->next; l != head;) {
            OvLLLink* next = l->next; // a render callback may take its atomic out of the world
            OvAtomic* atomic = static_cast<OvAtomic*>(OvSectorTieFromSectorLink(l)->object);
            if ((atomic->object.object.flags & ovATOMICRENDER) != 0 && atomic->renderFrame != frame) {
                atomic->renderFrame = frame;
                if (OvCameraFrustumTestSphere(camera, OvAtomicGetWorldBoundingSphere(atomic)) != ovSPHEREOUTSIDE) {
                    atomic->renderCallBack(atomic);
                }
            }
            l = next;
        }
    }
    return world;
}

OvWorld* OvWorldSectorGetWorld(const OvWorldSector* sector) {
    const OvWorldRecord* record = FindRecordOf(sector);
    return record != nullptr ? record->world : nullptr;
}

void OvWorldSectorNoteHolding(const OvWorldSector* sector) {
    if (OvWorldRecord* record = FindRecordOf(sector)) {
        record->sectorsHold = TRUE;
    }
}

OvWorld* OvWorldForAllWorldSectors(OvWorld* world, OvWorldSectorCallBack callback, void* data) {
    ForAtomicSectors(world->rootSector, [&](OvWorldSector* s) { return callback(s, data) != nullptr; });
    return world;
}

OvInt32 OvWorldGetNumWorldSectors(const OvWorld* world) {
    OvInt32 n = 0;
    ForAtomicSectors(world->rootSector, [&](OvWorldSector*) {
        ++n;
        return true;
    });
    return n;
}

OvInt32 OvWorldGetNumPlaneSectors(const OvWorld* world) {
    // A binary tree has one plane sector fewer than atomic sectors.
    return OvWorldGetNumWorldSectors(world) - 1;
}

OvWorld* OvWorldGetBeingRead() { return gReadingWorld; }

void* OvWorldBeingReadAlloc(std::size_t bytes) {
    return gReadingRecord != nullptr ? MeshSlabAllocOf(gReadingRecord, bytes) : nullptr;
}

void OvWorldSectorDestructorFollowsNotes(OvUInt32 pluginID) {
    if (std::find(gNotingPlugins, gNotingPlugins + gNumNotingPlugins, pluginID) ==
            gNotingPlugins + gNumNotingPlugins &&
        gNumNotingPlugins < kMostNotingPlugins) {
        gNotingPlugins[gNumNotingPlugins++] = pluginID;
    }
}
