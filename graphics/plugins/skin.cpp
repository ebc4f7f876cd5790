#include "graphics/plugins/skin.h"

#include <cmath>
#include <cstdint>
#include <cstring>

#include "graphics/core/chunk.h"
#include "graphics/core/engine.h"
#include "graphics/core/error.h"
#include "graphics/core/stream.h"
#include "graphics/plugins/skin_d3d9.h"
#include "graphics/world/clump.h"
#include "graphics/world/geometry.h"
#include "graphics/world/world_plugin.h"

namespace {

constexpr OvUInt32 kHintSkin = 0x30116; // skins live as long as their geometry
constexpr OvUInt32 kHintList = 0x40116; // the skin free list lives from open to close
constexpr OvInt32 kSkinsPerBlock = 128;
constexpr OvUInt32 kMatrixBytes = 64;
constexpr OvUInt32 kStreamHeaderBytes = 4;
constexpr OvUInt32 kSplitHeaderBytes = 12;
constexpr OvUInt32 kLegacyBonePadBytes = 12;

struct PluginState {
    OvInt32 opens = 0;
    OvFreeList* freeList = nullptr;
    OvInt32 atomicOffset = -1;
    OvInt32 geometryOffset = -1;
};

PluginState gSkin;

OvAnimHierarchy*& AtomicExt(const OvAtomic* atomic) {
    return *reinterpret_cast<OvAnimHierarchy**>(reinterpret_cast<OvUInt8*>(const_cast<OvAtomic*>(atomic)) +
                                                gSkin.atomicOffset);
}

OvSkin*& GeometryExt(const OvGeometry* geometry) {
    return *reinterpret_cast<OvSkin**>(reinterpret_cast<OvUInt8*>(const_cast<OvGeometry*>(geometry)) +
                                       gSkin.geometryOffset);
}

void* SkinOpen(void* instance, OvInt32, OvInt32) {
    if (gSkin.opens++ == 0) {
        gSkin.freeList =
            OvFreeListCreateWithSpace(static_cast<OvInt32>(sizeof(OvSkin)), kSkinsPerBlock, 0, 1, nullptr, kHintList);
        if (gSkin.freeList == nullptr || !OvSkinD3D9PipelineOpen()) {
            OvSkinD3D9PipelineClose();
            if (gSkin.freeList != nullptr) {
                OvFreeListDestroy(gSkin.freeList);
                gSkin.freeList = nullptr;
            }
            gSkin.opens = 0;
            return nullptr;
        }
    }
    return instance;
}

void* SkinClose(void* instance, OvInt32, OvInt32) {
    if (gSkin.opens > 0 && --gSkin.opens == 0) {
        OvSkinD3D9PipelineClose();
        if (gSkin.freeList != nullptr) {
            OvFreeListDestroy(gSkin.freeList);
            gSkin.freeList = nullptr;
        }
    }
    return instance;
}

OvUInt8 BoneOf(const OvSkin* skin, OvInt32 vertex, int slot) {
    return static_cast<OvUInt8>(skin->vertexBoneIndices[vertex] >> (8 * slot));
}

void SetBone(OvSkin* skin, OvInt32 vertex, int slot, OvUInt8 bone) {
    OvUInt32& word = skin->vertexBoneIndices[vertex];
    word = (word & ~(0xFFu << (8 * slot))) | (static_cast<OvUInt32>(bone) << (8 * slot));
}

// Record and arrays of a skin; null (nothing left) when memory runs out.
OvSkin* AllocSkin(OvInt32 numVertices, OvUInt32 numBones, OvUInt32 numUsed) {
    auto* skin = static_cast<OvSkin*>(OvFreeListEntryAlloc(gSkin.freeList, kHintSkin));
    if (skin == nullptr) {
        OvErrorReport(0, ovERRNOMEMORY);
        return nullptr;
    }
    std::memset(skin, 0, sizeof(*skin));
    skin->numBones = numBones;
    skin->numBoneUsed = numUsed;
    skin->numVertices = numVertices;
    const std::size_t v = static_cast<std::size_t>(numVertices);
    // Used list, then the matrices aligned to 16, the indices and the weights; the used list
    // is given room for every bone, as the computed list may be longer than the header says.
    const std::size_t usedBytes = numBones > numUsed ? numBones : numUsed;
    const std::size_t bytes = usedBytes + 15 + numBones * kMatrixBytes + v * 4 + v * 16;
    skin->unaligned = OvCalloc(1, bytes, kHintSkin);
    if (skin->unaligned == nullptr) {
        OvFreeListEntryFree(gSkin.freeList, skin);
        OvErrorReport(0, ovERRNOMEMORY);
        return nullptr;
    }
    auto* base = static_cast<OvUInt8*>(skin->unaligned);
    skin->boneUsedList = base;
    const auto matrices = (reinterpret_cast<std::uintptr_t>(base + usedBytes) + 15) & ~static_cast<std::uintptr_t>(15);
    skin->skinToBoneMatrices = reinterpret_cast<OvMatrix*>(matrices);
    skin->vertexBoneIndices = reinterpret_cast<OvUInt32*>(skin->skinToBoneMatrices + numBones);
    skin->vertexBoneWeights = reinterpret_cast<float*>(skin->vertexBoneIndices + v);
    return skin;
}

void FreeSkin(OvSkin* skin) {
    OvFree(skin->unaligned);
    OvFree(skin->splitData);
    OvFreeListEntryFree(gSkin.freeList, skin);
}

// Heaviest weight first by adjacent swaps, the bone indices moving with their weights. A vertex
// whose first weight is 1 or more keeps its order.
void SortWeights(OvSkin* skin) {
    for (OvInt32 v = 0; v < skin->numVertices; ++v) {
        float* w = skin->vertexBoneWeights + 4 * v;
        if (w[0] >= 1.0f) {
            continue;
        }
        for (int pass = 0; pass < 3; ++pass) {
            for (int k = 0; k < 3 - pass; ++k) {
                if (w[k] < w[k + 1]) {
                    const float t = w[k];
                    w[k] = w[k + 1];
                    w[k + 1] = t;
                    const OvUInt8 b = BoneOf(skin, v, k);
                    SetBone(skin, v, k, BoneOf(skin, v, k + 1));
                    SetBone(skin, v, k + 1, b);
                }
            }
        }
    }
}

void SortUsedList(OvSkin* skin) {
    OvUInt8* list = skin->boneUsedList;
    for (OvUInt32 i = 1; i < skin->numBoneUsed; ++i) {
        const OvUInt8 v = list[i];
        OvUInt32 j = i;
        for (; j > 0 && list[j - 1] > v; --j) {
            list[j] = list[j - 1];
        }
        list[j] = v;
    }
}

void SetUp(OvSkin* skin) {
    SortWeights(skin);
    SortUsedList(skin);
}

// Bone indices with weight must name bones; weights must be finite and not negative.
bool VertexDataFits(const OvSkin* skin) {
    for (OvInt32 v = 0; v < skin->numVertices; ++v) {
        for (int k = 0; k < 4; ++k) {
            const float w = skin->vertexBoneWeights[4 * v + k];
            if (!(w >= 0.0f) || !std::isfinite(w) || (w > 0.0f && BoneOf(skin, v, k) >= skin->numBones)) {
                return false;
            }
        }
    }
    return true;
}

bool ReadMatrices(OvStream* stream, OvMatrix* matrices, OvUInt32 count, OvUInt32 skipBefore) {
    for (OvUInt32 i = 0; i < count; ++i) {
        OvUInt8 b[kLegacyBonePadBytes + kMatrixBytes];
        if (OvStreamReadStrict(stream, b, skipBefore + kMatrixBytes) == nullptr) {
            return false;
        }
        const OvUInt8* m = b + skipBefore;
        OvMatrix& out = matrices[i];
        out.right = {OvChunkGetReal(m), OvChunkGetReal(m + 4), OvChunkGetReal(m + 8)};
        // The identity claim is not taken from a file: multiplies would skip the matrix.
        out.flags = OvChunkGetUInt32(m + 12) & ~static_cast<OvUInt32>(ovMATRIXINTERNALIDENTITY);
        out.up = {OvChunkGetReal(m + 16), OvChunkGetReal(m + 20), OvChunkGetReal(m + 24)};
        out.pad1 = OvChunkGetUInt32(m + 28);
        out.at = {OvChunkGetReal(m + 32), OvChunkGetReal(m + 36), OvChunkGetReal(m + 40)};
        out.pad2 = OvChunkGetUInt32(m + 44);
        out.pos = {OvChunkGetReal(m + 48), OvChunkGetReal(m + 52), OvChunkGetReal(m + 56)};
        out.pad3 = OvChunkGetUInt32(m + 60);
    }
    return true;
}

bool ReadVertexData(OvStream* stream, OvSkin* skin) {
    for (OvInt32 v = 0; v < skin->numVertices; ++v) {
        OvUInt8 b[4];
        if (OvStreamReadStrict(stream, b, 4) == nullptr) {
            return false;
        }
        skin->vertexBoneIndices[v] = OvChunkGetUInt32(b);
    }
    for (OvInt32 i = 0; i < 4 * skin->numVertices; ++i) {
        OvUInt8 b[4];
        if (OvStreamReadStrict(stream, b, 4) == nullptr) {
            return false;
        }
        skin->vertexBoneWeights[i] = OvChunkGetReal(b);
    }
    return true;
}

// Split data: a remap of every bone to a slot below the bone limit (or 0xFF: none), per mesh
// a range of runs, per run a range of bones.
bool SplitDataFits(const OvSkin* skin) {
    if (skin->boneLimit < 1 || skin->boneLimit > 255) {
        return false;
    }
    for (OvUInt32 b = 0; b < skin->numBones; ++b) {
        const OvUInt8 slot = skin->splitData[b];
        if (slot != 0xFF && slot >= skin->boneLimit) {
            return false;
        }
    }
    for (OvInt32 m = 0; m < skin->numMeshes; ++m) {
        if (skin->meshBoneRemapIndices[2 * m] + skin->meshBoneRemapIndices[2 * m + 1] > skin->numRLE) {
            return false;
        }
    }
    for (OvInt32 r = 0; r < skin->numRLE; ++r) {
        if (static_cast<OvUInt32>(skin->meshBoneRLE[2 * r] + skin->meshBoneRLE[2 * r + 1]) > skin->numBones) {
            return false;
        }
    }
    return true;
}

// The native form: a struct chunk of the platform word and the bone count inside the extension's
// length bytes; what follows it within them is passed over.
OvSkin* ReadNative(OvStream* stream, OvInt32 length) {
    OvUInt32 type = 0, structLength = 0, version = 0;
    if (length < static_cast<OvInt32>(ovCHUNKHEADERSIZE) ||
        !OvStreamReadChunkHeader(stream, &type, &structLength, &version, nullptr)) {
        OvErrorReport(0, ovERRREAD);
        return nullptr;
    }
    const auto room = static_cast<OvUInt32>(length) - ovCHUNKHEADERSIZE;
    if (type != ovID_STRUCT || structLength < 8 || structLength > room) {
        OvErrorReport(0, ovERRREAD);
        return nullptr;
    }
    if (version < ovLIBRARYMINVERSION || version > ovLIBRARYMAXVERSION) {
        OvErrorReport(static_cast<OvInt32>(ovPLUGINIDSKIN), ovERRBADVERSION);
        return nullptr;
    }
    OvUInt8 b[8];
    if (OvStreamReadStrict(stream, b, 8) == nullptr || (room > 8 && OvStreamSkip(stream, room - 8) == nullptr)) {
        return nullptr;
    }
    const OvUInt32 bones = OvChunkGetUInt32(b + 4);
    if (OvChunkGetUInt32(b) != ovSKINNATIVEPLATFORM || bones > 255) {
        OvErrorReport(0, ovERRINVALIDVALUE);
        return nullptr;
    }
    return AllocSkin(0, bones, 0);
}

// Geometry extension.

void* GeometryConstruct(void* object, OvInt32 offset, OvInt32) {
    *reinterpret_cast<OvSkin**>(static_cast<OvUInt8*>(object) + offset) = nullptr;
    return object;
}

void* GeometryDestruct(void* object, OvInt32 offset, OvInt32) {
    OvSkin*& skin = *reinterpret_cast<OvSkin**>(static_cast<OvUInt8*>(object) + offset);
    if (skin != nullptr) {
        FreeSkin(skin);
        skin = nullptr;
    }
    return object;
}

void* GeometryCopy(void* dst, const void*, OvInt32, OvInt32) { return dst; }

OvStream* GeometryRead(OvStream* stream, OvInt32 length, void* object, OvInt32, OvInt32) {
    auto* geometry = static_cast<OvGeometry*>(object);
    if (GeometryExt(geometry) != nullptr) {
        OvErrorReport(0, ovERRINVALIDVALUE); // one skin a geometry
        return nullptr;
    }
    OvSkin* skin = (geometry->flags & ovGEOMETRYNATIVE) ? ReadNative(stream, length)
                                                        : OvSkinStreamRead(stream, length, geometry->numVertices);
    if (skin == nullptr) {
        return nullptr;
    }

    OvSkinGeometrySetSkin(geometry, skin);
    return stream;
}

OvStream* GeometryWrite(OvStream* stream, OvInt32, const void* object, OvInt32, OvInt32) {
    const OvSkin* skin = GeometryExt(static_cast<const OvGeometry*>(object));
    return skin != nullptr ? OvSkinStreamWrite(skin, stream) : stream;
}

OvInt32 GeometryGetSize(const void* object, OvInt32, OvInt32) {
    const auto* geometry = static_cast<const OvGeometry*>(object);
    const OvSkin* skin = GeometryExt(geometry);
    return skin == nullptr || (geometry->flags & ovGEOMETRYNATIVE) ? 0 : OvSkinStreamGetSize(skin);
}

// Atomic extension.

void* AtomicConstruct(void* object, OvInt32 offset, OvInt32) {
    *reinterpret_cast<OvAnimHierarchy**>(static_cast<OvUInt8*>(object) + offset) = nullptr;
    return object;
}

void* AtomicCopy(void* dst, const void* src, OvInt32 offset, OvInt32) {
    *reinterpret_cast<OvAnimHierarchy**>(static_cast<OvUInt8*>(dst) + offset) =
        *reinterpret_cast<OvAnimHierarchy* const*>(static_cast<const OvUInt8*>(src) + offset);
    return dst;
}

// The legacy form, on the atomic: bone count, a skipped word, indices, weights, then per bone
// 12 skipped bytes and the inverse bind matrix. Passed over when the geometry has a skin.
OvStream* AtomicLegacyRead(OvStream* stream, OvInt32 length, void* object, OvInt32, OvInt32) {
    auto* atomic = static_cast<OvAtomic*>(object);
    OvGeometry* geometry = OvAtomicGetGeometry(atomic);
    if (geometry == nullptr || GeometryExt(geometry) != nullptr) {
        return OvStreamSkip(stream, static_cast<OvUInt32>(length));
    }
    OvUInt8 b[8];
    if (length < 8 || OvStreamReadStrict(stream, b, 8) == nullptr) {
        return nullptr;
    }
    const OvUInt32 bones = OvChunkGetUInt32(b);
    const OvInt32 v = geometry->numVertices;
    const std::uint64_t need = 8 + static_cast<std::uint64_t>(v) * 20 +
                               static_cast<std::uint64_t>(bones) * (kLegacyBonePadBytes + kMatrixBytes);
    if (bones > 255 || need > static_cast<std::uint64_t>(length)) {
        OvErrorReport(0, ovERRINVALIDVALUE);
        return nullptr;
    }
    OvSkin* skin = AllocSkin(v, bones, 0);
    if (skin == nullptr) {
        return nullptr;
    }
    if (!ReadVertexData(stream, skin) || !ReadMatrices(stream, skin->skinToBoneMatrices, bones, kLegacyBonePadBytes) ||
        !VertexDataFits(skin) ||
        (need < static_cast<std::uint64_t>(length) &&
         OvStreamSkip(stream, static_cast<OvUInt32>(length - static_cast<OvInt32>(need))) == nullptr)) {
        FreeSkin(skin);
        OvErrorReport(0, ovERRREAD);
        return nullptr;
    }
    OvSkinComputeUsage(skin);
    OvSkinGeometrySetSkin(geometry, skin);
    return stream;
}

OvInt32 AtomicGetSize(const void*, OvInt32, OvInt32) { return 0; }

// After an atomic is read, and when a pipeline right of this plugin is restored: a skinned
// atomic is drawn by the skinned-atomic pipeline.
void UseSkinPipeline(void* object) {
    auto* atomic = static_cast<OvAtomic*>(object);
    OvGeometry* geometry = OvAtomicGetGeometry(atomic);
    if (geometry != nullptr && GeometryExt(geometry) != nullptr && OvSkinGetAtomicPipeline() != nullptr) {
        atomic->pipeline = OvSkinGetAtomicPipeline();
    }
}

OvBool AtomicAlways(void* object, OvInt32, OvInt32) {
    UseSkinPipeline(object);
    return 1;
}

OvBool AtomicRights(void* object, OvInt32, OvInt32, OvUInt32) {
    UseSkinPipeline(object);
    return 1;
}

} // namespace

OvBool OvSkinPluginAttach() {
    if (OvEngineRegisterPlugin(0, ovPLUGINIDSKIN, SkinOpen, SkinClose) < 0) {
        return 0;
    }
    gSkin.atomicOffset = OvAtomicRegisterPlugin(static_cast<OvInt32>(sizeof(OvAnimHierarchy*)), ovPLUGINIDSKIN,
                                                AtomicConstruct, AtomicConstruct, AtomicCopy);
    gSkin.geometryOffset = OvGeometryRegisterPlugin(static_cast<OvInt32>(sizeof(OvSkin*)), ovPLUGINIDSKIN,
                                                    GeometryConstruct, GeometryDestruct, GeometryCopy);
    return gSkin.atomicOffset >= 0 && gSkin.geometryOffset >= 0 &&
           OvAtomicRegisterPluginStream(ovPLUGINIDSKIN, AtomicLegacyRead, nullptr, AtomicGetSize) >= 0 &&
           OvAtomicSetStreamAlwaysCallback(ovPLUGINIDSKIN, AtomicAlways) >= 0 &&
           OvAtomicSetStreamOwnerCallback(ovPLUGINIDSKIN, AtomicRights) >= 0 &&
           OvGeometryRegisterPluginStream(ovPLUGINIDSKIN, GeometryRead, GeometryWrite, GeometryGetSize) >= 0;
}

OvAtomic* OvSkinAtomicSetHierarchy(OvAtomic* atomic, OvAnimHierarchy* hierarchy) {
    AtomicExt(atomic) = hierarchy;
    return atomic;
}

OvAnimHierarchy* OvSkinAtomicGetHierarchy(const OvAtomic* atomic) { return AtomicExt(atomic); }

OvGeometry* OvSkinGeometrySetSkin(OvGeometry* geometry, OvSkin* skin) {
    GeometryExt(geometry) = skin;
    if (skin != nullptr) {
        SetUp(skin);
    }
    return geometry;
}

OvSkin* OvSkinGeometryGetSkin(const OvGeometry* geometry) { return GeometryExt(geometry); }

OvSkin* OvSkinCreate(OvInt32 numVertices, OvInt32 numBones) {
    if (numVertices < 0 || numVertices > 0xFFFF || numBones < 1 || numBones > 255) {
        OvErrorReport(0, ovERRINVALIDVALUE);
        return nullptr;
    }
    OvSkin* skin = AllocSkin(numVertices, static_cast<OvUInt32>(numBones), 0);
    if (skin != nullptr) {
        for (OvInt32 b = 0; b < numBones; ++b) {
            OvMatrixSetIdentity(&skin->skinToBoneMatrices[b]);
        }
        skin->maxNumWeightsPerVertex = 1;
    }
    return skin;
}

OvBool OvSkinDestroy(OvSkin* skin) {
    FreeSkin(skin);
    return 1;
}

OvSkin* OvSkinComputeUsage(OvSkin* skin) {
    // Sorted first, so that unsorted weights are neither dropped nor their bones missed.
    SortWeights(skin);
    OvUInt32 maxWeights = 1;
    bool seen[256] = {};
    skin->numBoneUsed = 0;
    for (OvInt32 v = 0; v < skin->numVertices; ++v) {
        const float* w = skin->vertexBoneWeights + 4 * v;
        while (maxWeights < 4 && w[maxWeights] != 0.0f) {
            ++maxWeights;
        }
    }
    for (OvInt32 v = 0; v < skin->numVertices; ++v) {
        for (OvUInt32 k = 0; k < maxWeights; ++k) {
            const OvUInt8 b = BoneOf(skin, v, static_cast<int>(k));
            if (skin->vertexBoneWeights[4 * v + k] != 0.0f && !seen[b]) {
                seen[b] = true;
                skin->boneUsedList[skin->numBoneUsed++] = b;
            }
        }
    }
    skin->maxNumWeightsPerVertex = maxWeights;
    SortUsedList(skin);
    return skin;
}

OvSkin* OvSkinStreamRead(OvStream* stream, OvInt32 length, OvInt32 numVertices) {
    OvUInt8 h[kStreamHeaderBytes];
    if (length < static_cast<OvInt32>(kStreamHeaderBytes) || numVertices < 0 ||
        OvStreamReadStrict(stream, h, kStreamHeaderBytes) == nullptr) {
        return nullptr;
    }
    const OvUInt32 bones = h[0], used = h[1], maxWeights = h[2];
    const std::uint64_t fixed = kStreamHeaderBytes + used + static_cast<std::uint64_t>(numVertices) * 20 +
                                static_cast<std::uint64_t>(bones) * kMatrixBytes + kSplitHeaderBytes;
    if (fixed > static_cast<std::uint64_t>(length) || maxWeights > 4 || bones == 0) {
        OvErrorReport(0, ovERRINVALIDVALUE);
        return nullptr;
    }
    OvSkin* skin = AllocSkin(numVertices, bones, used);
    if (skin == nullptr) {
        return nullptr;
    }
    bool ok = OvStreamReadStrict(stream, skin->boneUsedList, used) != nullptr || used == 0;
    for (OvUInt32 i = 0; ok && i < used; ++i) {
        ok = skin->boneUsedList[i] < bones;
    }
    ok = ok && ReadVertexData(stream, skin) && VertexDataFits(skin) &&
         ReadMatrices(stream, skin->skinToBoneMatrices, bones, 0);
    OvUInt8 s[kSplitHeaderBytes];
    ok = ok && OvStreamReadStrict(stream, s, kSplitHeaderBytes) != nullptr;
    std::uint64_t consumed = fixed;
    if (ok) {
        skin->boneLimit = static_cast<OvInt32>(OvChunkGetUInt32(s));
        const auto meshes = static_cast<OvInt32>(OvChunkGetUInt32(s + 4));
        const auto runs = static_cast<OvInt32>(OvChunkGetUInt32(s + 8));
        if (meshes >= 1) {
            const std::uint64_t splitBytes =
                bones + 2 * (static_cast<std::uint64_t>(meshes) + static_cast<OvUInt32>(runs));
            ok = runs >= 0 && runs <= 0xFFFF && meshes <= 0xFFFF &&
                 fixed + splitBytes <= static_cast<std::uint64_t>(length);
            if (ok) {
                skin->splitData = static_cast<OvUInt8*>(OvMalloc(static_cast<std::size_t>(splitBytes), kHintSkin));
                ok = skin->splitData != nullptr &&
                     OvStreamReadStrict(stream, skin->splitData, static_cast<OvUInt32>(splitBytes)) != nullptr;
            }
            consumed += splitBytes;
            if (ok) {
                skin->numMeshes = meshes;
                skin->numRLE = runs;
                skin->meshBoneRemapIndices = skin->splitData + bones;
                skin->meshBoneRLE = skin->meshBoneRemapIndices + 2 * meshes;
                ok = SplitDataFits(skin);
            }
        }
    }
    // Bytes after the skin's own are passed over: the next extension is read from its header.
    ok = ok && (consumed == static_cast<std::uint64_t>(length) ||
                OvStreamSkip(stream, static_cast<OvUInt32>(static_cast<std::uint64_t>(length) - consumed)) != nullptr);
    if (!ok) {
        FreeSkin(skin);
        OvErrorReport(0, ovERRREAD);
        return nullptr;
    }
    skin->maxNumWeightsPerVertex = maxWeights;
    if (used == 0 || maxWeights == 0) {
        OvSkinComputeUsage(skin);
    }
    skin->paletteSize = skin->numMeshes > 0 ? static_cast<OvUInt32>(skin->boneLimit) : skin->numBoneUsed;
    return skin;
}

OvInt32 OvSkinStreamGetSize(const OvSkin* skin) {
    OvInt32 split = static_cast<OvInt32>(kSplitHeaderBytes);
    if (skin->numMeshes > 0) {
        split += static_cast<OvInt32>(skin->numBones) + 2 * (skin->numMeshes + skin->numRLE);
    }
    return static_cast<OvInt32>(skin->numBones * kMatrixBytes) + skin->numVertices * 20 +
           static_cast<OvInt32>(skin->numBoneUsed) + static_cast<OvInt32>(kStreamHeaderBytes) + split;
}

OvStream* OvSkinStreamWrite(const OvSkin* skin, OvStream* stream) {
    const OvUInt8 h[4] = {static_cast<OvUInt8>(skin->numBones), static_cast<OvUInt8>(skin->numBoneUsed),
                          static_cast<OvUInt8>(skin->maxNumWeightsPerVertex), 0};
    if (OvStreamWrite(stream, h, 4) == nullptr ||
        (skin->numBoneUsed > 0 && OvStreamWrite(stream, skin->boneUsedList, skin->numBoneUsed) == nullptr)) {
        return nullptr;
    }
    OvUInt8 b[kMatrixBytes];
    for (OvInt32 v = 0; v < skin->numVertices; ++v) {
        OvChunkPutUInt32(b, skin->vertexBoneIndices[v]);
        if (OvStreamWrite(stream, b, 4) == nullptr) {
            return nullptr;
        }
    }
    if (skin->numVertices > 0 &&
        OvStreamWriteReals(stream, skin->vertexBoneWeights, static_cast<OvUInt32>(skin->numVertices) * 16) == nullptr) {
        return nullptr;
    }
    for (OvUInt32 i = 0; i < skin->numBones; ++i) {
        const OvMatrix& m = skin->skinToBoneMatrices[i];
        const float rows[12] = {m.right.x, m.right.y, m.right.z, m.up.x,  m.up.y,  m.up.z,
                                m.at.x,    m.at.y,    m.at.z,    m.pos.x, m.pos.y, m.pos.z};
        const OvUInt32 words[4] = {m.flags, m.pad1, m.pad2, m.pad3};
        for (int r = 0; r < 4; ++r) {
            for (int c = 0; c < 3; ++c) {
                OvUInt32 bits;
                std::memcpy(&bits, &rows[3 * r + c], 4);
                OvChunkPutUInt32(b + 16 * r + 4 * c, bits);
            }
            OvChunkPutUInt32(b + 16 * r + 12, words[r]);
        }
        if (OvStreamWrite(stream, b, kMatrixBytes) == nullptr) {
            return nullptr;
        }
    }
    OvChunkPutUInt32(b, static_cast<OvUInt32>(skin->boneLimit));
    OvChunkPutUInt32(b + 4, static_cast<OvUInt32>(skin->numMeshes));
    OvChunkPutUInt32(b + 8, static_cast<OvUInt32>(skin->numRLE));
    if (OvStreamWrite(stream, b, kSplitHeaderBytes) == nullptr) {
        return nullptr;
    }
    if (skin->numMeshes > 0 &&
        OvStreamWrite(stream, skin->splitData,
                      skin->numBones + 2 * static_cast<OvUInt32>(skin->numMeshes + skin->numRLE)) == nullptr) {
        return nullptr;
    }
    return stream;
}

OvInt32 OvSkinBuildPalette(const OvSkin* skin, const OvAnimHierarchy* hierarchy, const OvMatrix* atomicWorld,
                           OvMatrix* palette) {
    const OvInt32 n = hierarchy->numNodes < ovSKINPALETTESIZE ? hierarchy->numNodes : ovSKINPALETTESIZE;
    const bool noArray = (hierarchy->flags & ovANIMHIERARCHYNOMATRICES) || hierarchy->pMatrixArray == nullptr;
    const bool local = (hierarchy->flags & ovANIMHIERARCHYLOCALSPACEMATRICES) != 0 && !noArray;
    OvMatrix inverseAtomic;
    OvMatrixSetIdentity(&inverseAtomic);
    if (atomicWorld != nullptr && !local) {
        OvMatrixInvert(&inverseAtomic, atomicWorld);
    }
    for (OvInt32 i = 0; i < n; ++i) {
        OvMatrix& out = palette[i];
        if (static_cast<OvUInt32>(i) >= skin->numBones) {
            OvMatrixSetIdentity(&out);
            continue;
        }
        const OvMatrix* node = nullptr;
        if (noArray) {
            OvFrame* frame = hierarchy->pNodeInfo[i].pFrame;
            node = frame != nullptr ? OvFrameGetWorldMatrix(frame) : nullptr;
        } else {
            node = &hierarchy->pMatrixArray[i];
        }
        OvMatrix t;
        if (node == nullptr) {
            OvMatrixSetIdentity(&t);
        } else {
            OvMatrixMultiply(&t, &skin->skinToBoneMatrices[i], node);
        }
        if (local) {
            out = t;
        } else {
            OvMatrixMultiply(&out, &t, &inverseAtomic);
        }
    }
    return n;
}

void OvSkinVertices(const OvSkin* skin, const OvMatrix* palette, OvInt32 numPalette, const OvV3d* positions,
                    const OvV3d* normals, OvV3d* outPositions, OvV3d* outNormals, OvInt32 count) {
    const OvInt32 n = count < skin->numVertices ? count : skin->numVertices;
    const int maxWeights = static_cast<int>(skin->maxNumWeightsPerVertex);
    static const OvMatrix kIdentity = {{1, 0, 0}, 0, {0, 1, 0}, 0, {0, 0, 1}, 0, {0, 0, 0}, 0};
    const bool writePositions = outPositions != nullptr && positions != nullptr;
    const bool writeNormals = outNormals != nullptr && normals != nullptr;
    for (OvInt32 v = 0; v < n; ++v) {
        const float* w = skin->vertexBoneWeights + 4 * v;
        // The weighted sum of the bones' matrices (the right, up, at and pos rows), applied once.
        float m[12];
        if (w[0] >= 1.0f) {
            const OvUInt8 b = BoneOf(skin, v, 0);
            const OvMatrix& a = b < numPalette ? palette[b] : kIdentity;
            m[0] = a.right.x, m[1] = a.right.y, m[2] = a.right.z, m[3] = a.up.x, m[4] = a.up.y, m[5] = a.up.z;
            m[6] = a.at.x, m[7] = a.at.y, m[8] = a.at.z, m[9] = a.pos.x, m[10] = a.pos.y, m[11] = a.pos.z;
        } else {
            for (float& x : m) {
                x = 0.0f;
            }
            for (int k = 0; k < maxWeights; ++k) {
                const float wk = w[k];
                if (wk == 0.0f) {
                    continue;
                }
                const OvUInt8 b = BoneOf(skin, v, k);
                const OvMatrix& a = b < numPalette ? palette[b] : kIdentity;
                m[0] += wk * a.right.x, m[1] += wk * a.right.y, m[2] += wk * a.right.z;
                m[3] += wk * a.up.x, m[4] += wk * a.up.y, m[5] += wk * a.up.z;
                m[6] += wk * a.at.x, m[7] += wk * a.at.y, m[8] += wk * a.at.z;
                m[9] += wk * a.pos.x, m[10] += wk * a.pos.y, m[11] += wk * a.pos.z;
            }
        }
        if (writePositions) {
            const OvV3d s = positions[v];
            outPositions[v] = {s.x * m[0] + s.y * m[3] + s.z * m[6] + m[9],
                               s.x * m[1] + s.y * m[4] + s.z * m[7] + m[10],
                               s.x * m[2] + s.y * m[5] + s.z * m[8] + m[11]};
        }
        if (writeNormals) {
            const OvV3d s = normals[v];
            outNormals[v] = {s.x * m[0] + s.y * m[3] + s.z * m[6], s.x * m[1] + s.y * m[4] + s.z * m[7],
                             s.x * m[2] + s.y * m[5] + s.z * m[8]};
        }
    }
}
