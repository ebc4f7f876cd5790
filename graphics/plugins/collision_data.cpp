// The collision plugin's data: registering the plugin's extensions with the engine, geometries,
// world sectors and atomics, the data's allocation, validation and release, and its stream form
// in both layouts (the current one with its header, and the old one with leaf words after the
// nodes). Reads and writes the extension's bytes; the queries over the data are in collision.cpp.

#include "graphics/plugins/collision.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <utility>

#include "graphics/core/chunk.h"
#include "graphics/core/engine.h"
#include "graphics/core/error.h"
#include "graphics/core/frame.h"
#include "graphics/core/matrix.h"
#include "graphics/core/memory.h"
#include "graphics/core/stream.h"
#include "graphics/core/vector.h"
#include "graphics/world/clump.h"
#include "graphics/world/geometry.h"
#include "graphics/world/stored_arrays.h"
#include "graphics/world/world.h"
#include "graphics/world/world_plugin.h"
#include "graphics/plugins/collision_internal.h"

using namespace collision_detail;

namespace {

constexpr OvUInt32 kOldLeafLimit = 239;
constexpr OvUInt32 kHeaderBytes = 36;
constexpr OvUInt32 kNodeBytes = 16;

struct PluginState {
    OvInt32 engineOffset = -1;
    OvInt32 geometryOffset = -1;
    OvInt32 sectorOffset = -1;
    OvInt32 atomicOffset = -1;
    OvInt32 instances = 0;
};
PluginState gState;

// ---- extension callbacks ----

OvCollisionData** DataSlot(void* object, OvInt32 offset) {
    return reinterpret_cast<OvCollisionData**>(static_cast<OvUInt8*>(object) + offset);
}
OvCollisionData* const* DataSlot(const void* object, OvInt32 offset) {
    return reinterpret_cast<OvCollisionData* const*>(static_cast<const OvUInt8*>(object) + offset);
}

// Engine extension: counts the engines open and clears its word.
void* OvCollisionEngineOpen(void* instance, OvInt32 offset, OvInt32 /*size*/) {
    gState.instances++;
    std::memset(static_cast<OvUInt8*>(instance) + offset, 0, sizeof(OvInt32));
    return instance;
}
void* OvCollisionEngineClose(void* instance, OvInt32 /*offset*/, OvInt32 /*size*/) {
    gState.instances--;
    return instance;
}
// Atomic extension: a word cleared at construction that nothing else reads.
void* OvCollisionAtomicConstructor(void* object, OvInt32 offset, OvInt32 /*size*/) {
    std::memset(static_cast<OvUInt8*>(object) + offset, 0, sizeof(OvInt32));
    return object;
}
// Geometry and world-sector extensions: the collision data pointer (cleared at construction).
void* OvCollisionDataDestructor(void* object, OvInt32 offset, OvInt32 /*size*/) {
    OvCollisionDataDestroy(*DataSlot(object, offset));
    *DataSlot(object, offset) = nullptr;
    return object;
}

[[gnu::always_inline]] inline OvBool ReadData(OvStream* stream, OvInt32 length, const OvBBox* oldLayoutBox,
                                              OvInt32 objectTriangles, bool inWorld, OvCollisionData** data);

// Stream callbacks of both extensions. The reader tells a geometry (object type 8) from an
// atomic sector (type -1) by the first byte: old-layout data, which carry no box, take the box
// around a geometry's first morph-target sphere, or a sector's own box from its file.
OvStream* OvCollisionDataStreamRead(OvStream* stream, OvInt32 length, void* object, OvInt32 /*offset*/,
                                    OvInt32 /*size*/) {
    OvCollisionData* data = nullptr;
    if (*static_cast<const OvUInt8*>(object) == ovGEOMETRYOBJECTTYPE) {
        auto* geometry = static_cast<OvGeometry*>(object);
        OvBBox box{{0, 0, 0}, {0, 0, 0}};
        if (geometry->numMorphTargets > 0 && geometry->morphTarget != nullptr) {
            const OvSphere& s = geometry->morphTarget[0].boundingSphere;
            box.sup = {s.center.x + s.radius, s.center.y + s.radius, s.center.z + s.radius};
            box.inf = {s.center.x - s.radius, s.center.y - s.radius, s.center.z - s.radius};
        }
        if (!OvCollisionDataRead(stream, length, &box, geometry->numTriangles, &data)) {
            return nullptr;
        }
        OvCollisionGeometrySetData(geometry, data);
        return stream;
    }
    auto* sector = static_cast<OvWorldSector*>(object);
    // Read with its world, the data go into the world's slabs.
    if (!ReadData(stream, length, &sector->tightBoundingBox, sector->numTriangles, OvWorldGetBeingRead() != nullptr,
                  &data)) {
        return nullptr;
    }
    OvCollisionWorldSectorSetData(sector, data);
    return stream;
}
OvStream* OvCollisionDataStreamWrite(OvStream* stream, OvInt32 /*length*/, const void* object, OvInt32 offset,
                                     OvInt32 /*size*/) {
    return OvCollisionDataWrite(stream, *DataSlot(object, offset));
}
OvInt32 OvCollisionDataStreamGetSize(const void* object, OvInt32 offset, OvInt32 /*size*/) {
    return OvCollisionDataGetStreamSize(*DataSlot(object, offset));
}

// ---- allocation ----

constexpr std::size_t AlignUp16(std::size_t n) { return (n + 15) / 16 * 16; }

// One block: the header, the nodes, the map and room for the child boxes; in the slabs of the
// world being read when inWorld (such a block is aligned here, a heap block by the memory table).
[[gnu::always_inline]] inline OvCollisionData* Allocate(OvUInt32 numTriangles, OvUInt32 numNodes, bool withMap,
                                                        bool inWorld) {
    const std::size_t head = AlignUp16(sizeof(OvCollisionData));
    const std::size_t mapAt = head + kNodeBytes * numNodes;
    const std::size_t boxesAt = AlignUp16(mapAt + (withMap ? 2 * numTriangles : 0));
    const std::size_t bytes = boxesAt + 2 * sizeof(OvBBox) * numNodes;
    OvCollisionData* data = nullptr;
    if (inWorld) {
        if (void* block = OvWorldBeingReadAlloc(bytes + 15)) {
            data = reinterpret_cast<OvCollisionData*>(AlignUp16(reinterpret_cast<std::uintptr_t>(block)));
        }
    } else {
        data = static_cast<OvCollisionData*>(OvMalloc(bytes, kHintData));
    }
    if (data == nullptr) {
        OvErrorReport(ovPLUGINIDCOLLISION, OvErrorCode(ovERRNOMEMORY, bytes));
        return nullptr;
    }
    data->flags = withMap ? ovCOLLISIONMAPPRESENT : 0;
    data->box = {{0, 0, 0}, {0, 0, 0}};
    data->numTriangles = static_cast<OvUInt16>(numTriangles);
    data->numNodes = static_cast<OvUInt16>(numNodes);
    auto* base = reinterpret_cast<OvUInt8*>(data);
    data->nodes = numNodes > 0 ? reinterpret_cast<OvCollisionTreeNode*>(base + head) : nullptr;
    data->map = withMap ? reinterpret_cast<OvUInt16*>(base + mapAt) : nullptr;
    data->childBoxes = numNodes > 0 ? reinterpret_cast<OvBBox*>(base + boxesAt) : nullptr;
    data->childBoxesPending = numNodes > 0 ? TRUE : FALSE;
    data->inWorldSlabs = inWorld ? TRUE : FALSE;
    return data;
}

// The stream's node records are the in-memory nodes byte for byte on a little-endian machine.
constexpr bool kNodesAsStored = std::endian::native == std::endian::little && sizeof(OvCollisionTreeNode) == kNodeBytes &&
                                offsetof(OvCollisionTreeNode, leftMax) == 4 && offsetof(OvCollisionTreeNode, rightRef) == 8 &&
                                offsetof(OvCollisionTreeNode, rightMin) == 12;

// Reads within the extension body: never past its length.
struct BodyReader {
    OvStream* stream;
    OvUInt32 left;
    bool Read(void* buffer, OvUInt32 n) {
        if (n > left || (n > 0 && OvStreamReadStrict(stream, buffer, n) == nullptr)) {
            return false;
        }
        left -= n;
        return true;
    }
    bool U32(OvUInt32* v) {
        OvUInt8 b[4];
        if (!Read(b, 4)) {
            return false;
        }
        *v = OvChunkGetUInt32(b);
        return true;
    }
    bool SkipRest() {
        const OvUInt32 n = left;
        left = 0;
        return n == 0 || OvStreamSkip(stream, n) != nullptr;
    }
};

OvCollisionTreeRef RefFromBytes(const OvUInt8* b) { return {b[0], b[1], static_cast<OvUInt16>(b[2] | (b[3] << 8))}; }
void RefToBytes(const OvCollisionTreeRef& r, OvUInt8* b) {
    b[0] = r.flags;
    b[1] = r.kind;
    b[2] = static_cast<OvUInt8>(r.index & 0xFF);
    b[3] = static_cast<OvUInt8>(r.index >> 8);
}

// Refused data: error set, rest of the body skipped so that the next extension reads.
OvBool Refuse(BodyReader& in, OvCollisionData* data, OvInt32 code, OvCollisionData** out) {
    OvCollisionDataDestroy(data);
    *out = nullptr;
    OvErrorReport(ovPLUGINIDCOLLISION, OvErrorCode(code, "collision data refused"));
    return in.SkipRest() ? TRUE : FALSE;
}

// The tree of OvCollisionDataValidate (data with nodes), its nodes read from nodes (the data's,
// or the bytes they were copied from).
[[gnu::noinline]] bool TreeValid(const OvCollisionData* data, const OvCollisionTreeNode* nodes) {
    const OvInt32 numTriangles = data->numTriangles;
    // Every node reached once from the root, no path deeper than the stacks allow. Leaves are
    // checked where their node is taken; only nodes go on the stack, each field in an array of its
    // own (what is pushed is read back in the width it was written).
    OvUInt16 nodeAt[ovCOLLISIONSTACKSIZE + 1];
    OvInt32 depthAt[ovCOLLISIONSTACKSIZE + 1];
    OvInt32 top = 0;
    nodeAt[0] = 0;
    depthAt[0] = 0;
    OvInt32 visited = 0;
    while (top >= 0) {
        const OvInt32 index = nodeAt[top];
        const OvInt32 depth = depthAt[top];
        --top;
        if (index >= data->numNodes || depth >= ovCOLLISIONMAXDEPTH || ++visited > data->numNodes) {
            return false;
        }
        const OvCollisionTreeNode& node = nodes[index];
        if (NodeAxis(node) == 3) {
            return false;
        }
        for (const OvCollisionTreeRef& ref : {node.rightRef, node.leftRef}) {
            if (ref.kind == ovCOLLISIONREFNODE) {
                ++top;
                nodeAt[top] = ref.index;
                depthAt[top] = depth + 1;
            } else if (ref.index + ref.kind > numTriangles) {
                return false;
            }
        }
    }
    return true;
}

// OvCollisionDataValidate where data are read (most trees of levels have no node), the nodes and
// the map read from nodes and map: the data's own, or where the bytes just copied into them lie
// (wide reads of a fresh copy would wait for its stores).
// largestMapped gives the map's largest entry (called only for a map of at least one entry).
template <class LargestMapped>
inline bool ValidWith(const OvCollisionData* data, OvInt32 objectTriangles, const OvCollisionTreeNode* nodes,
                      const LargestMapped& largestMapped) {
    const OvInt32 numTriangles = data->numTriangles;
    if (data->map == nullptr && objectTriangles > 0 && numTriangles > objectTriangles) {
        return false;
    }
    if (data->map != nullptr && objectTriangles > 0 && numTriangles > 0 && largestMapped() >= objectTriangles) {
        return false;
    }
    return data->numNodes == 0 || TreeValid(data, nodes);
}
inline bool Valid(const OvCollisionData* data, OvInt32 objectTriangles, const OvCollisionTreeNode* nodes,
                  const OvUInt16* map) {
    return ValidWith(data, objectTriangles, nodes,
                     [&] { return OvLargestUInt16(map, static_cast<std::size_t>(data->numTriangles)); });
}
inline bool Valid(const OvCollisionData* data, OvInt32 objectTriangles) {
    return Valid(data, objectTriangles, data->nodes, data->map);
}

OvBool ReadNewLayout(BodyReader& in, OvInt32 objectTriangles, bool inWorld, OvCollisionData** out) {
    OvUInt32 type = 0;
    OvUInt32 length = 0;
    if (in.left < 24 || !OvStreamReadChunkHeader(in.stream, &type, &length, nullptr, nullptr)) {
        return FALSE;
    }
    in.left -= 12;
    OvUInt32 structType = 0;
    OvUInt32 structLength = 0;
    if (type != ovID_COLLISION || !OvStreamReadChunkHeader(in.stream, &structType, &structLength, nullptr, nullptr)) {
        return FALSE;
    }
    in.left -= 12;
    OvUInt8 header[kHeaderBytes];
    if (structType != 1 || !in.Read(header, kHeaderBytes)) {
        return FALSE;
    }
    const OvUInt32 flags = OvChunkGetUInt32(header);
    const OvUInt32 numTriangles = OvChunkGetUInt32(header + 28);
    const OvUInt32 numNodes = OvChunkGetUInt32(header + 32);
    const bool withMap = (flags & ovCOLLISIONMAPPRESENT) != 0;
    if (numTriangles > 0xFFFF || numNodes > 0xFFFF) {
        return Refuse(in, nullptr, ovERRCOLLISIONBADDATA, out);
    }
    // Sizes the body cannot hold are refused before anything is allocated for them.
    const std::uint64_t need = std::uint64_t{kNodeBytes} * numNodes + (withMap ? 2ull * numTriangles : 0);
    if (need > in.left) {
        return FALSE;
    }
    OvCollisionData* data = Allocate(numTriangles, numNodes, withMap, inWorld);
    if (data == nullptr) {
        return FALSE;
    }
    data->box.inf = {OvChunkGetReal(header + 4), OvChunkGetReal(header + 8), OvChunkGetReal(header + 12)};
    data->box.sup = {OvChunkGetReal(header + 16), OvChunkGetReal(header + 20), OvChunkGetReal(header + 24)};
    if constexpr (kNodesAsStored) {
        // Nodes and map copied whole (the map's 16-bit words are stored little-endian too).
        if (!in.Read(data->nodes, kNodeBytes * numNodes) || (withMap && !in.Read(data->map, 2 * numTriangles))) {
            OvCollisionDataDestroy(data);
            return FALSE;
        }
    }
    for (OvUInt32 i = 0; !kNodesAsStored && i < numNodes; ++i) {
        OvUInt8 b[kNodeBytes];
        if (!in.Read(b, kNodeBytes)) {
            OvCollisionDataDestroy(data);
            return FALSE;
        }
        data->nodes[i] = {RefFromBytes(b), OvChunkGetReal(b + 4), RefFromBytes(b + 8), OvChunkGetReal(b + 12)};
    }
    for (OvUInt32 i = 0; !kNodesAsStored && withMap && i < numTriangles; ++i) {
        OvUInt8 b[2];
        if (!in.Read(b, 2)) {
            OvCollisionDataDestroy(data);
            return FALSE;
        }
        data->map[i] = static_cast<OvUInt16>(b[0] | (b[1] << 8));
    }
    if (!Valid(data, objectTriangles)) {
        return Refuse(in, data, ovERRCOLLISIONBADDATA, out);
    }
    *out = data;
    return in.SkipRest() ? TRUE : FALSE;
}

// Old layout: leaf words follow the nodes in depth-first order, left before right.
OvBool ReadOldLayout(BodyReader& in, OvUInt32 firstWord, const OvBBox* box, OvInt32 objectTriangles, bool inWorld,
                     OvCollisionData** out) {
    OvUInt32 numTriangles = 0;
    if (firstWord == 0 || !in.U32(&numTriangles)) {
        return FALSE;
    }
    const OvUInt32 numNodes = firstWord - 1;
    if (numTriangles > 0xFFFF || numNodes > 0xFFFF) {
        return Refuse(in, nullptr, ovERRCOLLISIONBADDATA, out);
    }
    const std::uint64_t need = std::uint64_t{kNodeBytes} * numNodes + 4ull + 4ull * numTriangles;
    if (need > in.left) {
        return FALSE;
    }
    OvCollisionData* data = Allocate(numTriangles, numNodes, true, inWorld);
    if (data == nullptr) {
        return FALSE;
    }
    data->box = box != nullptr ? *box : OvBBox{{0, 0, 0}, {0, 0, 0}};
    for (OvUInt32 i = 0; i < numNodes; ++i) {
        OvUInt32 w[4];
        for (OvUInt32& v : w) {
            if (!in.U32(&v)) {
                OvCollisionDataDestroy(data);
                return FALSE;
            }
        }
        const auto axis = static_cast<OvUInt8>((w[0] >> 16) & 0xFF);
        OvCollisionTreeNode& node = data->nodes[i];
        node.leftRef = {static_cast<OvUInt8>(axis | 1), ((w[0] >> 8) & 0xFF) == 2 ? ovCOLLISIONREFNODE : OvUInt8{0},
                        static_cast<OvUInt16>(w[1] >> 16)};
        node.rightRef = {axis, (w[0] & 0xFF) == 2 ? ovCOLLISIONREFNODE : OvUInt8{0},
                         static_cast<OvUInt16>(w[1] & 0xFFFF)};
        std::memcpy(&node.leftMax, &w[2], 4);
        std::memcpy(&node.rightMin, &w[3], 4);
        if (axis != 0 && axis != 4 && axis != 8) {
            return Refuse(in, data, ovERRCOLLISIONBADDATA, out);
        }
    }
    if (numNodes == 0) {
        OvUInt32 skipped = 0;
        if (!in.U32(&skipped)) {
            OvCollisionDataDestroy(data);
            return FALSE;
        }
    } else {
        // Depth-first walk giving each leaf its word; a node seen twice or a path too deep is refused.
        struct Entry {
            OvCollisionTreeRef* ref;
            OvInt32 depth;
        };
        Entry stack[ovCOLLISIONSTACKSIZE];
        OvCollisionTreeRef root{0, ovCOLLISIONREFNODE, 0};
        OvInt32 top = 0;
        stack[0] = {&root, 0};
        OvUInt32 visited = 0;
        while (top >= 0) {
            Entry e = stack[top--];
            if (e.ref->kind == ovCOLLISIONREFNODE) {
                if (e.ref->index >= numNodes || e.depth >= ovCOLLISIONMAXDEPTH || ++visited > numNodes) {
                    return Refuse(in, data, ovERRCOLLISIONBADDATA, out);
                }
                OvCollisionTreeNode& node = data->nodes[e.ref->index];
                stack[++top] = {&node.rightRef, e.depth + 1};
                stack[++top] = {&node.leftRef, e.depth + 1};
                continue;
            }
            OvUInt32 word = 0;
            if (!in.U32(&word)) {
                OvCollisionDataDestroy(data);
                return FALSE;
            }
            const OvUInt32 count = word >> 16;
            if (count > kOldLeafLimit) {
                return Refuse(in, data, ovERRCOLLISIONLEAFTOOBIG, out);
            }
            e.ref->kind = static_cast<OvUInt8>(count);
            e.ref->index = static_cast<OvUInt16>(word & 0xFFFF);
        }
    }
    for (OvUInt32 i = 0; i < numTriangles; ++i) {
        OvUInt32 v = 0;
        if (!in.U32(&v)) {
            OvCollisionDataDestroy(data);
            return FALSE;
        }
        data->map[i] = static_cast<OvUInt16>(v & 0xFFFF);
    }
    if (!Valid(data, objectTriangles)) {
        return Refuse(in, data, ovERRCOLLISIONBADDATA, out);
    }
    *out = data;
    return in.SkipRest() ? TRUE : FALSE;
}

} // namespace

OvBool OvCollisionPluginAttach() {
    gState.engineOffset =
        OvEngineRegisterPlugin(sizeof(OvInt32), ovPLUGINIDCOLLISION, OvCollisionEngineOpen, OvCollisionEngineClose);
    gState.atomicOffset =
        OvAtomicRegisterPlugin(sizeof(OvInt32), ovPLUGINIDCOLLISION, OvCollisionAtomicConstructor, nullptr, nullptr);
    gState.geometryOffset = OvGeometryRegisterPlugin(sizeof(OvCollisionData*), ovPLUGINIDCOLLISION,
                                                     OvPluginClearConstructor, OvCollisionDataDestructor, nullptr);
    const OvInt32 stream =
        gState.geometryOffset < 0
            ? -1
            : OvGeometryRegisterPluginStream(ovPLUGINIDCOLLISION, OvCollisionDataStreamRead, OvCollisionDataStreamWrite,
                                             OvCollisionDataStreamGetSize);
    gState.sectorOffset = OvWorldSectorRegisterPlugin(sizeof(OvCollisionData*), ovPLUGINIDCOLLISION,
                                                      OvPluginClearConstructor, OvCollisionDataDestructor, nullptr);
    OvWorldSectorDestructorFollowsNotes(ovPLUGINIDCOLLISION);
    const OvInt32 sectorStream =
        gState.sectorOffset < 0
            ? -1
            : OvWorldSectorRegisterPluginStream(ovPLUGINIDCOLLISION, OvCollisionDataStreamRead,
                                                OvCollisionDataStreamWrite, OvCollisionDataStreamGetSize);
    return gState.engineOffset >= 0 && gState.atomicOffset >= 0 && gState.geometryOffset >= 0 && stream >= 0 &&
           gState.sectorOffset >= 0 && sectorStream >= 0;
}

namespace {

// Gives an owner (a world sector or a geometry) its data, destroying what it held; the first line
// walk takes the child boxes from the owner's triangles. Null when the extension is not registered.
template <class Owner> Owner* SetData(Owner* owner, OvInt32 offset, OvCollisionData* data) {
    if (offset < 0) {
        return nullptr;
    }
    OvCollisionData** slot = DataSlot(owner, offset);
    if (*slot != data) {
        OvCollisionDataDestroy(*slot);
    }
    *slot = data;
    if (data != nullptr) {
        data->childBoxesPending = data->childBoxes != nullptr ? TRUE : FALSE;
    }
    return owner;
}

} // namespace

OvCollisionData* OvCollisionWorldSectorGetData(const OvWorldSector* sector) {
    return gState.sectorOffset < 0 ? nullptr : *DataSlot(sector, gState.sectorOffset);
}

OvWorldSector* OvCollisionWorldSectorSetData(OvWorldSector* sector, OvCollisionData* data) {
    // Data of a heap block are freed by the sector's destructor, which its world then runs.
    if (data != nullptr && !data->inWorldSlabs) {
        OvWorldSectorNoteHolding(sector);
    }
    return SetData(sector, gState.sectorOffset, data);
}

OvCollisionData* OvCollisionGeometryGetData(const OvGeometry* geometry) {
    return gState.geometryOffset < 0 ? nullptr : *DataSlot(geometry, gState.geometryOffset);
}

OvGeometry* OvCollisionGeometrySetData(OvGeometry* geometry, OvCollisionData* data) {
    return SetData(geometry, gState.geometryOffset, data);
}

void OvCollisionDataDestroy(OvCollisionData* data) {
    if (data != nullptr && !data->inWorldSlabs) {
        OvFree(data);
    }
}

OvBool OvCollisionDataValidate(const OvCollisionData* data, OvInt32 objectTriangles) {
    return Valid(data, objectTriangles) ? TRUE : FALSE;
}

namespace {

// Bytes of the current layout before its nodes: version word, chunk and struct headers, header.
constexpr OvUInt32 kNewLayoutHeadBytes = 4 + 2 * ovCHUNKHEADERSIZE + kHeaderBytes;

// The current layout read where the whole body lies in memory (most reads): taken in one look,
// nodes and map copied whole. 0 or 1 as ReadNewLayout gives; -1 when the body is not at hand or
// not plainly of that layout with sizes it can hold, for the general reader to take.
[[gnu::always_inline]] inline int ReadNewLayoutInPlace(OvStream* stream, OvUInt32 length, OvInt32 objectTriangles,
                                                       bool inWorld, OvCollisionData** out) {
    const OvUInt8* at = length >= kNewLayoutHeadBytes ? OvStreamPeekInPlace(stream, length) : nullptr;
    if (!kNodesAsStored || at == nullptr || OvChunkGetUInt32(at) < ovCOLLISIONNEWLAYOUTVERSION ||
        OvChunkGetUInt32(at + 4) != ovID_COLLISION || OvChunkGetUInt32(at + 16) != 1) {
        return -1;
    }
    const OvUInt8* header = at + 4 + 2 * ovCHUNKHEADERSIZE;
    const OvUInt32 flags = OvChunkGetUInt32(header);
    const OvUInt32 numTriangles = OvChunkGetUInt32(header + 28);
    const OvUInt32 numNodes = OvChunkGetUInt32(header + 32);
    const bool withMap = (flags & ovCOLLISIONMAPPRESENT) != 0;
    if (numTriangles > 0xFFFF || numNodes > 0xFFFF ||
        std::uint64_t{kNodeBytes} * numNodes + (withMap ? 2ull * numTriangles : 0) > length - kNewLayoutHeadBytes) {
        return -1;
    }
    OvCollisionData* data = Allocate(numTriangles, numNodes, withMap, inWorld);
    if (data == nullptr) {
        return 0;
    }
    data->box.inf = {OvChunkGetReal(header + 4), OvChunkGetReal(header + 8), OvChunkGetReal(header + 12)};
    data->box.sup = {OvChunkGetReal(header + 16), OvChunkGetReal(header + 20), OvChunkGetReal(header + 24)};
    const OvUInt8* nodes = at + kNewLayoutHeadBytes;
    const OvUInt8* map = nodes + kNodeBytes * numNodes;
    if (numNodes > 0) {
        std::memcpy(data->nodes, nodes, kNodeBytes * numNodes);
    }
    if (withMap && numTriangles > 0) {
        std::memcpy(data->map, map, 2 * numTriangles);
    }
    OvStreamPassInPlace(stream, length);
    // Checked where the bytes lie (the nodes when they are aligned as the records): a short map in
    // one step that reads back into the header before it.
    const bool nodesAligned = reinterpret_cast<std::uintptr_t>(nodes) % alignof(OvCollisionTreeNode) == 0;
    const auto largestMapped = [&] {
        static_assert(kNewLayoutHeadBytes >= 32, "a short map's step stays inside the body");
        if (numTriangles <= 16) {
            return OvLargestStoredUInt16Before(map + 2 * numTriangles, numTriangles);
        }
        return reinterpret_cast<std::uintptr_t>(map) % alignof(OvUInt16) == 0
                   ? OvLargestUInt16Wide(reinterpret_cast<const OvUInt16*>(map), numTriangles)
                   : OvLargestUInt16Wide(data->map, numTriangles);
    };
    if (!ValidWith(data, objectTriangles,
                   nodesAligned ? reinterpret_cast<const OvCollisionTreeNode*>(nodes) : data->nodes, largestMapped)) {
        OvCollisionDataDestroy(data);
        OvErrorReport(ovPLUGINIDCOLLISION, OvErrorCode(ovERRCOLLISIONBADDATA, "collision data refused"));
        return 1;
    }
    *out = data;
    return 1;
}

[[gnu::always_inline]] inline OvBool ReadData(OvStream* stream, OvInt32 length, const OvBBox* oldLayoutBox,
                                              OvInt32 objectTriangles, bool inWorld, OvCollisionData** data) {
    *data = nullptr;
    if (const int read =
            ReadNewLayoutInPlace(stream, length > 0 ? static_cast<OvUInt32>(length) : 0u, objectTriangles, inWorld, data);
        read >= 0) {
        return read != 0 ? TRUE : FALSE;
    }
    BodyReader in{stream, length > 0 ? static_cast<OvUInt32>(length) : 0u};
    OvUInt32 first = 0;
    if (!in.U32(&first)) {
        return FALSE;
    }
    const OvBool read = first >= ovCOLLISIONNEWLAYOUTVERSION
                            ? ReadNewLayout(in, objectTriangles, inWorld, data)
                            : ReadOldLayout(in, first, oldLayoutBox, objectTriangles, inWorld, data);
    if (!read && *data != nullptr) {
        // Data read whole but the extension's tail could not be skipped: a failed read keeps nothing.
        OvCollisionDataDestroy(*data);
        *data = nullptr;
    }
    return read;
}

} // namespace

OvBool OvCollisionDataRead(OvStream* stream, OvInt32 length, const OvBBox* oldLayoutBox, OvInt32 objectTriangles,
                           OvCollisionData** data) {
    return ReadData(stream, length, oldLayoutBox, objectTriangles, false, data);
}

OvInt32 OvCollisionDataGetStreamSize(const OvCollisionData* data) {
    if (data == nullptr) {
        return 0;
    }
    return static_cast<OvInt32>(16 + 48 + kNodeBytes * data->numNodes +
                                (data->map != nullptr ? 2 * data->numTriangles : 0));
}

OvStream* OvCollisionDataWrite(OvStream* stream, const OvCollisionData* data) {
    if (data == nullptr) {
        return stream;
    }
    const OvUInt32 extra = kNodeBytes * data->numNodes + (data->map != nullptr ? 2u * data->numTriangles : 0u);
    OvUInt8 word[4];
    OvChunkPutUInt32(word, ovCOLLISIONWRITEVERSION);
    if (OvStreamWrite(stream, word, 4) == nullptr ||
        OvStreamWriteChunkHeader(stream, ovID_COLLISION, 48 + extra, ovCOLLISIONWRITEVERSION, ovCOLLISIONWRITEBUILD) ==
            nullptr ||
        OvStreamWriteChunkHeader(stream, 1, kHeaderBytes + extra, ovCOLLISIONWRITEVERSION, ovCOLLISIONWRITEBUILD) ==
            nullptr) {
        return nullptr;
    }
    OvUInt8 header[kHeaderBytes];
    const float reals[6] = {data->box.inf.x, data->box.inf.y, data->box.inf.z,
                            data->box.sup.x, data->box.sup.y, data->box.sup.z};
    OvChunkPutUInt32(header, data->map != nullptr ? ovCOLLISIONMAPPRESENT : 0u);
    for (int i = 0; i < 6; ++i) {
        OvUInt32 bits = 0;
        std::memcpy(&bits, &reals[i], 4);
        OvChunkPutUInt32(header + 4 + 4 * i, bits);
    }
    OvChunkPutUInt32(header + 28, data->numTriangles);
    OvChunkPutUInt32(header + 32, data->numNodes);
    if (OvStreamWrite(stream, header, kHeaderBytes) == nullptr) {
        return nullptr;
    }
    for (OvInt32 i = 0; i < data->numNodes; ++i) {
        const OvCollisionTreeNode& node = data->nodes[i];
        OvUInt8 b[kNodeBytes];
        OvUInt32 bits = 0;
        RefToBytes(node.leftRef, b);
        std::memcpy(&bits, &node.leftMax, 4);
        OvChunkPutUInt32(b + 4, bits);
        RefToBytes(node.rightRef, b + 8);
        std::memcpy(&bits, &node.rightMin, 4);
        OvChunkPutUInt32(b + 12, bits);
        if (OvStreamWrite(stream, b, kNodeBytes) == nullptr) {
            return nullptr;
        }
    }
    for (OvInt32 i = 0; data->map != nullptr && i < data->numTriangles; ++i) {
        const OvUInt8 b[2] = {static_cast<OvUInt8>(data->map[i] & 0xFF), static_cast<OvUInt8>(data->map[i] >> 8)};
        if (OvStreamWrite(stream, b, 2) == nullptr) {
            return nullptr;
        }
    }
    return stream;
}
