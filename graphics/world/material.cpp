#include "graphics/world/material.h"

#include <cstring>

#include "graphics/core/chunk.h"
#include "graphics/core/engine.h"
#include "graphics/core/error.h"
#include "graphics/core/stream.h"
#include "graphics/core/texture.h"
#include "graphics/core/texture_stream.h"
#include "graphics/world/world_plugin.h"

namespace {

OvInt32 gMaterialModuleOffset = -1;
OvInt32 gMaterialOpens = 0;
constexpr OvInt32 kMaterialsPerBlock = 256;
constexpr OvUInt32 kMaterialHint = ovMEMHINTDUR_OBJECT | ovCHUNKIDMATERIAL;
constexpr OvUInt32 kListHint = ovMEMHINTDUR_OBJECT | ovMEMHINTFLAG_RESIZABLE | ovCHUNKIDMATLIST;

OvMaterialModule* Module() {
    return reinterpret_cast<OvMaterialModule*>(reinterpret_cast<char*>(OvEngineInstancePtr) + gMaterialModuleOffset);
}

void ReportRead() { OvErrorReport(ovPLUGINIDCORE, OvErrorCode(ovERRREAD)); }

void FreeIfSet(void* block) {
    if (block != nullptr) {
        OvFree(block);
    }
}

} // namespace

void* OvMaterialOpen(void* instance, OvInt32 offset, OvInt32) {
    gMaterialModuleOffset = offset;
    auto* module = reinterpret_cast<OvMaterialModule*>(static_cast<char*>(instance) + offset);
    module->freeList = OvFreeListCreateWithSpace(OvMaterialGetRegistry()->sizeOfStruct, kMaterialsPerBlock, 0, 1,
                                                 nullptr, ovMEMHINTDUR_GLOBAL | ovPLUGINIDMATERIAL);
    if (module->freeList == nullptr) {
        return nullptr;
    }
    gMaterialOpens++;
    return instance;
}

void* OvMaterialClose(void* instance, OvInt32 offset, OvInt32) {
    auto* module = reinterpret_cast<OvMaterialModule*>(static_cast<char*>(instance) + offset);
    if (module->freeList != nullptr) {
        OvFreeListDestroy(module->freeList);
        module->freeList = nullptr;
    }
    gMaterialOpens--;
    return instance;
}

OvMaterial* OvMaterialCreate() {
    auto* material = static_cast<OvMaterial*>(OvFreeListEntryAlloc(Module()->freeList, kMaterialHint));
    if (material == nullptr) {
        OvErrorReport(ovPLUGINIDCORE, OvErrorCode(ovERRNOMEMORY, sizeof(OvMaterial)));
        return nullptr;
    }
    material->texture = nullptr;
    material->color = {255, 255, 255, 255};
    material->pipeline = nullptr;
    material->surfaceProperties = {1.0f, 1.0f, 1.0f};
    material->refCount = 1;
    if (OvPluginRegistryInitObject(OvMaterialGetRegistry(), material) == nullptr) {
        OvFreeListEntryFree(Module()->freeList, material);
        return nullptr;
    }
    return material;
}

OvBool OvMaterialDestroy(OvMaterial* material) {
    if (material->refCount != 1) {
        material->refCount--;
        return TRUE;
    }
    OvPluginRegistryDeInitObject(OvMaterialGetRegistry(), material);
    if (material->texture != nullptr) {
        OvTextureDestroy(material->texture);
        material->texture = nullptr;
    }
    OvFreeListEntryFree(Module()->freeList, material);
    return TRUE;
}

OvMaterial* OvMaterialSetTexture(OvMaterial* material, OvTexture* texture) {
    if (texture != nullptr) {
        texture->refCount++;
    }
    if (material->texture != nullptr) {
        OvTextureDestroy(material->texture);
    }
    material->texture = texture;
    return material;
}

namespace {

// The texture of a material chunk. Its body is read whole first, so that a texture the engine
// cannot find leaves the material untextured while the stream stays in step.
bool ReadMaterialTexture(OvStream* stream, OvMaterial* material) {
    OvUInt32 length = 0;
    OvTexture* texture = nullptr;
    if (!OvStreamFindChunk(stream, ovID_TEXTURE, &length, nullptr) ||
        !OvTextureStreamReadBody(stream, length, &texture)) {
        return false;
    }
    material->texture = texture; // the read's reference becomes the material's (or none)
    return true;
}

} // namespace

OvMaterial* OvMaterialStreamRead(OvStream* stream) {
    OvUInt32 length = 0;
    if (!OvStreamFindChunk(stream, ovID_STRUCT, &length, nullptr)) {
        return nullptr;
    }
    // The struct is a fixed record: a longer one is not a material this reader knows.
    if (length > ovMATERIALSTRUCTSIZE) {
        ReportRead();
        return nullptr;
    }
    OvUInt8 record[ovMATERIALSTRUCTSIZE] = {};
    if (OvStreamReadStrict(stream, record, length) == nullptr) {
        return nullptr;
    }
    OvMaterial* material = OvMaterialCreate();
    if (material == nullptr) {
        return nullptr;
    }
    material->color = {record[4], record[5], record[6], record[7]};
    material->surfaceProperties = {OvChunkGetReal(record + 16), OvChunkGetReal(record + 20),
                                   OvChunkGetReal(record + 24)};
    const bool textured = OvChunkGetUInt32(record + 12) != 0;
    if (textured && !ReadMaterialTexture(stream, material)) {
        OvMaterialDestroy(material);
        return nullptr;
    }
    OvPipelineOwnerClear(ovPIPELINEOWNERMATERIAL);
    if (OvPluginRegistryReadDataChunks(OvMaterialGetRegistry(), stream, material) == nullptr) {
        OvMaterialDestroy(material);
        return nullptr;
    }
    OvPipelineOwnerInvoke(ovPIPELINEOWNERMATERIAL, OvMaterialGetRegistry(), material);
    return material;
}

OvMaterialList* OvMaterialListInitialize(OvMaterialList* list) {
    list->materials = nullptr;
    list->numMaterials = 0;
    list->space = 0;
    return list;
}

OvMaterialList* OvMaterialListDeinitialize(OvMaterialList* list) {
    for (OvInt32 i = 0; i < list->numMaterials; ++i) {
        OvMaterialDestroy(list->materials[i]);
    }
    if (list->materials != nullptr) {
        OvFree(list->materials);
    }
    return OvMaterialListInitialize(list);
}

OvInt32 OvMaterialListAppendMaterial(OvMaterialList* list, OvMaterial* material) {
    if (list->numMaterials == list->space) {
        const OvInt32 space = list->space + ovMATERIALLISTGROWTH;
        const std::size_t bytes = sizeof(OvMaterial*) * static_cast<std::size_t>(space);
        auto* grown = static_cast<OvMaterial**>(OvRealloc(list->materials, bytes, kListHint));
        if (grown == nullptr) {
            OvErrorReport(ovPLUGINIDCORE, OvErrorCode(ovERRNOMEMORY, bytes));
            return -1;
        }
        list->materials = grown;
        list->space = space;
    }
    list->materials[list->numMaterials] = OvMaterialAddRef(material);
    return list->numMaterials++;
}

OvInt32 OvMaterialListFindMaterial(const OvMaterialList* list, const OvMaterial* material) {
    for (OvInt32 i = list->numMaterials - 1; i >= 0; --i) {
        if (list->materials[i] == material) {
            return i;
        }
    }
    return -1;
}

OvMaterialList* OvMaterialListStreamRead(OvStream* stream, OvMaterialList* list) {
    OvUInt32 length = 0;
    if (!OvStreamFindChunk(stream, ovID_STRUCT, &length, nullptr)) {
        return nullptr;
    }
    OvUInt8 word[4];
    if (length < 4 || OvStreamReadStrict(stream, word, 4) == nullptr) {
        ReportRead();
        return nullptr;
    }
    const auto count = static_cast<OvInt32>(OvChunkGetUInt32(word));
    // The entries must be in the struct chunk, which must hold nothing else.
    if (count < 0 || static_cast<OvUInt32>(count) != (length - 4) / 4 || (length - 4) % 4 != 0) {
        ReportRead();
        return nullptr;
    }
    if (count == 0) {
        return list;
    }
    const OvUInt32 left = OvStreamGetBytesLeft(stream);
    if (left != 0xFFFFFFFFu && length - 4 > left) {
        ReportRead();
        return nullptr;
    }
    const std::size_t indexBytes = 4 * static_cast<std::size_t>(count);
    auto* indices = static_cast<OvUInt8*>(OvMalloc(indexBytes, ovMEMHINTDUR_FUNCTION | ovCHUNKIDMATLIST));
    auto* materials =
        static_cast<OvMaterial**>(OvMalloc(sizeof(OvMaterial*) * static_cast<std::size_t>(count), kListHint));
    if (indices == nullptr || materials == nullptr) {
        FreeIfSet(indices);
        FreeIfSet(materials);
        OvErrorReport(ovPLUGINIDCORE, OvErrorCode(ovERRNOMEMORY, indexBytes));
        return nullptr;
    }
    list->materials = materials;
    list->space = count;
    list->numMaterials = 0;
    bool ok = OvStreamReadStrict(stream, indices, static_cast<OvUInt32>(indexBytes)) != nullptr;
    for (OvInt32 i = 0; ok && i < count; ++i) {
        const auto entry = static_cast<OvInt32>(OvChunkGetUInt32(indices + 4 * i));
        OvMaterial* material = nullptr;
        if (entry >= 0) {
            // A repeat names an earlier entry.
            if (entry >= list->numMaterials) {
                ReportRead();
                ok = false;
                break;
            }
            material = OvMaterialAddRef(list->materials[entry]);
        } else {
            if (!OvStreamFindChunk(stream, ovCHUNKIDMATERIAL, nullptr, nullptr)) {
                ok = false;
                break;
            }
            material = OvMaterialStreamRead(stream);
            if (material == nullptr) {
                ok = false;
                break;
            }
        }
        list->materials[list->numMaterials++] = material; // the read's reference is the list's
    }
    OvFree(indices);
    if (!ok) {
        OvMaterialListDeinitialize(list);
        return nullptr;
    }
    return list;
}
