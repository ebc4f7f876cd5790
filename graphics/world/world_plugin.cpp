#include "graphics/world/world_plugin.h"

#include <initializer_list>

#include "graphics/core/chunk.h"
#include "graphics/core/engine.h"
#include "graphics/core/error.h"
#include "graphics/core/pipeline.h"
#include "graphics/core/stream.h"
#include "graphics/world/clump.h"
#include "graphics/world/d3d9_native_data.h"
#include "graphics/world/d3d9_pipeline.h"
#include "graphics/world/geometry.h"
#include "graphics/world/light.h"
#include "graphics/world/material.h"
#include "graphics/world/mesh.h"
#include "graphics/world/world.h"

namespace {

OvPluginRegistry gGeometryRegistry = OvPluginRegistryInitialValue(sizeof(OvGeometry));
OvPluginRegistry gAtomicRegistry = OvPluginRegistryInitialValue(sizeof(OvAtomic));
OvPluginRegistry gClumpRegistry = OvPluginRegistryInitialValue(sizeof(OvClump));
OvPluginRegistry gMaterialRegistry = OvPluginRegistryInitialValue(sizeof(OvMaterial));
OvPluginRegistry gLightRegistry = OvPluginRegistryInitialValue(sizeof(OvLight));

OvInt32 gWorldModuleOffset = -1;
OvInt32 gSpareOpens = 0; // opens of the two empty modules, counted and never read
OvInt32 gWorldOpens = 0;
OvInt32 gGeometryOpens = 0;
constexpr OvInt32 kWorldRecordsPerBlock = 8;

// The engine's default atomic and world-sector pipelines (the Direct3D 9 pipelines keep the
// ones they made, which a null setting restores).
OvPipeline* gDefaultAtomicPipeline = nullptr;
OvPipeline* gDefaultSectorPipeline = nullptr;

void* SpareOpen(void* instance, OvInt32, OvInt32) {
    gSpareOpens++;
    return instance;
}
void* SpareClose(void* instance, OvInt32, OvInt32) {
    gSpareOpens--;
    return instance;
}

void* WorldModuleOpen(void* instance, OvInt32 offset, OvInt32) {
    gWorldModuleOffset = offset;
    auto* module = reinterpret_cast<OvWorldModule*>(static_cast<char*>(instance) + offset);
    gDefaultAtomicPipeline = OvD3D9CreateDefaultAtomicPipeline();
    gDefaultSectorPipeline = gDefaultAtomicPipeline != nullptr ? OvD3D9CreateDefaultWorldSectorPipeline() : nullptr;
    module->recordFreeList = OvFreeListCreateWithSpace(sizeof(OvWorldRecord), kWorldRecordsPerBlock, 0, 1, nullptr,
                                                       ovMEMHINTDUR_GLOBAL | ovPLUGINIDWORLD);
    OvLLLinkInitHead(&module->records);
    if (gDefaultAtomicPipeline == nullptr || gDefaultSectorPipeline == nullptr || module->recordFreeList == nullptr) {
        if (module->recordFreeList != nullptr) {
            OvFreeListDestroy(module->recordFreeList);
            module->recordFreeList = nullptr;
        }
        OvD3D9WorldPipelinesClose();
        return nullptr;
    }
    gWorldOpens++;
    return instance;
}

void* WorldModuleClose(void* instance, OvInt32 offset, OvInt32) {
    auto* module = reinterpret_cast<OvWorldModule*>(static_cast<char*>(instance) + offset);
    if (module->recordFreeList != nullptr) {
        OvFreeListDestroy(module->recordFreeList);
        module->recordFreeList = nullptr;
    }
    OvD3D9WorldPipelinesClose();
    gWorldOpens--;
    return instance;
}

} // namespace

OvPipelineOwnerRecord OvPipelineOwnerRecords[4] = {};

OvStream* OvPipelineOwnerRead(OvStream* stream, OvInt32 length, OvPipelineOwnerKind kind) {
    // The body's own length is honoured: a short body gives what it holds, a longer one is
    // passed over, so that the next sub-chunk is read where it starts. The data word is taken
    // from a body of exactly 8 bytes; any other length leaves it cleared.
    OvUInt8 body[8] = {};
    const OvUInt32 take = length < 8 ? static_cast<OvUInt32>(length) : 8;
    if (OvStreamReadStrict(stream, body, take) == nullptr) {
        return nullptr;
    }
    if (static_cast<OvUInt32>(length) > take && OvStreamSkip(stream, static_cast<OvUInt32>(length) - take) == nullptr) {
        return nullptr;
    }
    if (take >= 4) {
        OvPipelineOwnerRecords[kind].pluginID = OvChunkGetUInt32(body);
    }
    if (length == 8) {
        OvPipelineOwnerRecords[kind].pluginData = OvChunkGetUInt32(body + 4);
    }
    return stream;
}

namespace {

OvStream* ReadAtomicOwner(OvStream* s, OvInt32 length, void*, OvInt32, OvInt32) {
    return OvPipelineOwnerRead(s, length, ovPIPELINEOWNERATOMIC);
}
OvStream* ReadWorldOwner(OvStream* s, OvInt32 length, void*, OvInt32, OvInt32) {
    return OvPipelineOwnerRead(s, length, ovPIPELINEOWNERWORLD);
}
OvStream* ReadSectorOwner(OvStream* s, OvInt32 length, void*, OvInt32, OvInt32) {
    return OvPipelineOwnerRead(s, length, ovPIPELINEOWNERSECTOR);
}
OvStream* ReadMaterialOwner(OvStream* s, OvInt32 length, void*, OvInt32, OvInt32) {
    return OvPipelineOwnerRead(s, length, ovPIPELINEOWNERMATERIAL);
}

// The pipeline of an atomic or a world (told apart by the object type), of a sector or of a
// material.
const OvPipeline* AtomicOrWorldPipeline(const void* object) {
    return static_cast<const OvObject*>(object)->type == ovWORLDOBJECTTYPE
               ? static_cast<const OvWorld*>(object)->pipeline
               : static_cast<const OvAtomic*>(object)->pipeline;
}
OvInt32 AtomicOrWorldOwnerSize(const void* object, OvInt32, OvInt32) {
    return OvPipelineOwnerGetSize(AtomicOrWorldPipeline(object));
}
OvStream* WriteAtomicOrWorldOwner(OvStream* s, OvInt32, const void* object, OvInt32, OvInt32) {
    return OvPipelineOwnerWrite(s, AtomicOrWorldPipeline(object));
}
OvInt32 SectorOwnerSize(const void* object, OvInt32, OvInt32) {
    return OvPipelineOwnerGetSize(static_cast<const OvWorldSector*>(object)->pipeline);
}
OvStream* WriteSectorOwner(OvStream* s, OvInt32, const void* object, OvInt32, OvInt32) {
    return OvPipelineOwnerWrite(s, static_cast<const OvWorldSector*>(object)->pipeline);
}
OvInt32 MaterialOwnerSize(const void* object, OvInt32, OvInt32) {
    return OvPipelineOwnerGetSize(static_cast<const OvMaterial*>(object)->pipeline);
}
OvStream* WriteMaterialOwner(OvStream* s, OvInt32, const void* object, OvInt32, OvInt32) {
    return OvPipelineOwnerWrite(s, static_cast<const OvMaterial*>(object)->pipeline);
}

// Binary-mesh stream callbacks of geometries.
OvStream* GeometryMeshRead(OvStream* stream, OvInt32 length, void* object, OvInt32, OvInt32) {
    auto* geometry = static_cast<OvGeometry*>(object);
    const bool native = (geometry->flags & ovGEOMETRYNATIVE) != 0;
    OvMeshHeader* header =
        OvMeshHeaderStreamRead(stream, length, native ? TRUE : FALSE, &geometry->matList, geometry->numVertices);
    if (header == nullptr) {
        return nullptr;
    }
    // A second mesh sub-chunk replaces the first.
    if (geometry->mesh != nullptr) {
        OvMeshHeaderDestroy(geometry->mesh);
    }
    geometry->mesh = header;
    return stream;
}
OvStream* GeometryMeshWrite(OvStream* stream, OvInt32, const void* object, OvInt32, OvInt32) {
    const auto* geometry = static_cast<const OvGeometry*>(object);
    return OvMeshHeaderStreamWrite(geometry->mesh, (geometry->flags & ovGEOMETRYNATIVE) != 0 ? TRUE : FALSE, stream,
                                   &geometry->matList);
}
OvInt32 GeometryMeshSize(const void* object, OvInt32, OvInt32) {
    const auto* geometry = static_cast<const OvGeometry*>(object);
    if (geometry->mesh == nullptr) {
        return 0;
    }
    return OvMeshHeaderStreamGetSize(geometry->mesh, (geometry->flags & ovGEOMETRYNATIVE) != 0 ? TRUE : FALSE);
}

// Clump links of cameras and lights: owning clump, link.
void* ClumpLinkConstruct(void* object, OvInt32 offset, OvInt32) {
    auto* link = reinterpret_cast<OvClumpLink*>(static_cast<char*>(object) + offset);
    *link = {};
    return object;
}

// A light or camera destroyed while in a clump leaves the clump's list.
void* ClumpLinkDestruct(void* object, OvInt32 offset, OvInt32) {
    OvClumpLinkLeave(reinterpret_cast<OvClumpLink*>(static_cast<char*>(object) + offset));
    return object;
}

OvInt32 gCameraClumpLinkOffset = -1;
OvInt32 gLightClumpLinkOffset = -1;

// Native-data sub-chunks: read only into native objects (others pass them over).
OvStream* GeometryNativeRead(OvStream* s, OvInt32 length, void* object, OvInt32, OvInt32) {
    auto* geometry = static_cast<OvGeometry*>(object);
    if ((geometry->flags & ovGEOMETRYNATIVE) == 0) {
        return OvStreamSkip(s, static_cast<OvUInt32>(length));
    }
    return OvGeometryNativeDataStreamRead(s, length, geometry) != nullptr ? s : nullptr;
}
OvStream* GeometryNativeWrite(OvStream* s, OvInt32, const void* object, OvInt32, OvInt32) {
    return OvGeometryNativeDataStreamWrite(s, static_cast<const OvGeometry*>(object));
}
OvInt32 GeometryNativeSize(const void* object, OvInt32, OvInt32) {
    return OvGeometryNativeDataStreamGetSize(static_cast<const OvGeometry*>(object));
}
OvStream* SectorNativeRead(OvStream* s, OvInt32 length, void* object, OvInt32, OvInt32) {
    auto* sector = static_cast<OvWorldSector*>(object);
    OvWorld* world = OvWorldGetBeingRead() != nullptr ? OvWorldGetBeingRead() : OvWorldSectorGetWorld(sector);
    if (world == nullptr || (world->flags & ovGEOMETRYNATIVE) == 0) {
        return OvStreamSkip(s, static_cast<OvUInt32>(length));
    }
    return OvWorldSectorNativeDataStreamRead(s, length, sector, &world->matList) != nullptr ? s : nullptr;
}
OvStream* SectorNativeWrite(OvStream* s, OvInt32, const void* object, OvInt32, OvInt32) {
    return OvWorldSectorNativeDataStreamWrite(s, static_cast<const OvWorldSector*>(object));
}
OvInt32 SectorNativeSize(const void* object, OvInt32, OvInt32) {
    return OvWorldSectorNativeDataStreamGetSize(static_cast<const OvWorldSector*>(object));
}

} // namespace

OvPluginRegistry* OvGeometryGetRegistry() { return &gGeometryRegistry; }
OvPluginRegistry* OvAtomicGetRegistry() { return &gAtomicRegistry; }
OvPluginRegistry* OvClumpGetRegistry() { return &gClumpRegistry; }
OvPluginRegistry* OvMaterialGetRegistry() { return &gMaterialRegistry; }
OvPluginRegistry* OvLightGetRegistry() { return &gLightRegistry; }

OvClumpLink* OvLightGetClumpLink(OvLight* light) {
    return reinterpret_cast<OvClumpLink*>(reinterpret_cast<char*>(light) + gLightClumpLinkOffset);
}
OvClumpLink* OvCameraGetClumpLink(OvCamera* camera) {
    return reinterpret_cast<OvClumpLink*>(reinterpret_cast<char*>(camera) + gCameraClumpLinkOffset);
}

void OvClumpLinkLeave(OvClumpLink* link) {
    if (link->clump != nullptr) {
        OvLLLinkRemove(&link->link);
    }
    *link = {};
}

OvLight* OvLightFromClumpLink(OvClumpLink* link) {
    return reinterpret_cast<OvLight*>(reinterpret_cast<char*>(link) - gLightClumpLinkOffset);
}
OvCamera* OvCameraFromClumpLink(OvClumpLink* link) {
    return reinterpret_cast<OvCamera*>(reinterpret_cast<char*>(link) - gCameraClumpLinkOffset);
}

OvWorldModule* OvWorldGetModule() {
    return reinterpret_cast<OvWorldModule*>(reinterpret_cast<char*>(OvEngineInstancePtr) + gWorldModuleOffset);
}
OvPipeline* OvWorldGetDefaultAtomicPipeline() { return gDefaultAtomicPipeline; }
OvPipeline* OvWorldGetDefaultWorldSectorPipeline() { return gDefaultSectorPipeline; }
void OvWorldSetDefaultAtomicPipeline(OvPipeline* pipeline) { gDefaultAtomicPipeline = pipeline; }
void OvWorldSetDefaultWorldSectorPipeline(OvPipeline* pipeline) { gDefaultSectorPipeline = pipeline; }

void* OvGeometryOpen(void* instance, OvInt32, OvInt32) {
    gGeometryOpens++;
    return instance;
}
void* OvGeometryClose(void* instance, OvInt32, OvInt32) {
    gGeometryOpens--;
    return instance;
}

void OvWorldPluginDestroyLeftovers() {
    OvClumpDestroyLeftovers();
    OvFreeList* lights = nullptr;
    if (OvEngineGetPluginOffset(ovPLUGINIDLIGHT) >= 0) {
        lights = reinterpret_cast<OvLightModule*>(reinterpret_cast<char*>(OvEngineInstancePtr) +
                                                  OvEngineGetPluginOffset(ovPLUGINIDLIGHT))
                     ->freeList;
    }
    if (lights != nullptr) {
        OvFreeListForAllUsed(
            lights, [](void* entry, void*) { OvLightDestroy(static_cast<OvLight*>(entry)); }, nullptr);
    }
}

// Registration wrappers.
OvInt32 OvGeometryRegisterPlugin(OvInt32 size, OvUInt32 pluginID, OvPluginObjectConstructor constructCB,
                                 OvPluginObjectDestructor destructCB, OvPluginObjectCopy copyCB) {
    return OvPluginRegistryAddPlugin(&gGeometryRegistry, size, pluginID, constructCB, destructCB, copyCB);
}
OvInt32 OvGeometryRegisterPluginStream(OvUInt32 pluginID, OvPluginDataChunkReadCallBack readCB,
                                       OvPluginDataChunkWriteCallBack writeCB,
                                       OvPluginDataChunkGetSizeCallBack getSizeCB) {
    return OvPluginRegistryAddPluginStream(&gGeometryRegistry, pluginID, readCB, writeCB, getSizeCB);
}
OvInt32 OvAtomicRegisterPlugin(OvInt32 size, OvUInt32 pluginID, OvPluginObjectConstructor constructCB,
                               OvPluginObjectDestructor destructCB, OvPluginObjectCopy copyCB) {
    return OvPluginRegistryAddPlugin(&gAtomicRegistry, size, pluginID, constructCB, destructCB, copyCB);
}
OvInt32 OvAtomicRegisterPluginStream(OvUInt32 pluginID, OvPluginDataChunkReadCallBack readCB,
                                     OvPluginDataChunkWriteCallBack writeCB,
                                     OvPluginDataChunkGetSizeCallBack getSizeCB) {
    return OvPluginRegistryAddPluginStream(&gAtomicRegistry, pluginID, readCB, writeCB, getSizeCB);
}
OvInt32 OvAtomicSetStreamAlwaysCallback(OvUInt32 pluginID, OvPluginDataChunkAlwaysCallBack alwaysCB) {
    return OvPluginRegistryAddPluginStreamAlwaysCallback(&gAtomicRegistry, pluginID, alwaysCB);
}
OvInt32 OvAtomicSetStreamOwnerCallback(OvUInt32 pluginID, OvPluginDataChunkRightsCallBack rightsCB) {
    return OvPluginRegistryAddPluginStreamRightsCallback(&gAtomicRegistry, pluginID, rightsCB);
}
OvInt32 OvAtomicGetPluginOffset(OvUInt32 pluginID) {
    return OvPluginRegistryGetPluginOffset(&gAtomicRegistry, pluginID);
}
OvInt32 OvClumpRegisterPlugin(OvInt32 size, OvUInt32 pluginID, OvPluginObjectConstructor constructCB,
                              OvPluginObjectDestructor destructCB, OvPluginObjectCopy copyCB) {
    return OvPluginRegistryAddPlugin(&gClumpRegistry, size, pluginID, constructCB, destructCB, copyCB);
}
OvInt32 OvMaterialRegisterPlugin(OvInt32 size, OvUInt32 pluginID, OvPluginObjectConstructor constructCB,
                                 OvPluginObjectDestructor destructCB, OvPluginObjectCopy copyCB) {
    return OvPluginRegistryAddPlugin(&gMaterialRegistry, size, pluginID, constructCB, destructCB, copyCB);
}
OvInt32 OvMaterialRegisterPluginStream(OvUInt32 pluginID, OvPluginDataChunkReadCallBack readCB,
                                       OvPluginDataChunkWriteCallBack writeCB,
                                       OvPluginDataChunkGetSizeCallBack getSizeCB) {
    return OvPluginRegistryAddPluginStream(&gMaterialRegistry, pluginID, readCB, writeCB, getSizeCB);
}
OvInt32 OvWorldRegisterPlugin(OvInt32 size, OvUInt32 pluginID, OvPluginObjectConstructor constructCB,
                              OvPluginObjectDestructor destructCB, OvPluginObjectCopy copyCB) {
    return OvPluginRegistryAddPlugin(OvWorldGetRegistry(), size, pluginID, constructCB, destructCB, copyCB);
}
OvInt32 OvWorldRegisterPluginStream(OvUInt32 pluginID, OvPluginDataChunkReadCallBack readCB,
                                    OvPluginDataChunkWriteCallBack writeCB,
                                    OvPluginDataChunkGetSizeCallBack getSizeCB) {
    return OvPluginRegistryAddPluginStream(OvWorldGetRegistry(), pluginID, readCB, writeCB, getSizeCB);
}
OvInt32 OvWorldSectorRegisterPlugin(OvInt32 size, OvUInt32 pluginID, OvPluginObjectConstructor constructCB,
                                    OvPluginObjectDestructor destructCB, OvPluginObjectCopy copyCB) {
    return OvPluginRegistryAddPlugin(OvWorldSectorGetRegistry(), size, pluginID, constructCB, destructCB, copyCB);
}
OvInt32 OvWorldSectorRegisterPluginStream(OvUInt32 pluginID, OvPluginDataChunkReadCallBack readCB,
                                          OvPluginDataChunkWriteCallBack writeCB,
                                          OvPluginDataChunkGetSizeCallBack getSizeCB) {
    return OvPluginRegistryAddPluginStream(OvWorldSectorGetRegistry(), pluginID, readCB, writeCB, getSizeCB);
}
OvInt32 OvLightRegisterPlugin(OvInt32 size, OvUInt32 pluginID, OvPluginObjectConstructor constructCB,
                              OvPluginObjectDestructor destructCB, OvPluginObjectCopy copyCB) {
    return OvPluginRegistryAddPlugin(&gLightRegistry, size, pluginID, constructCB, destructCB, copyCB);
}

void OvPipelineOwnerInvokeRecorded(OvPipelineOwnerKind kind, const OvPluginRegistry* registry, void* object) {
    const OvPipelineOwnerRecord record = OvPipelineOwnerRecords[kind];
    OvPluginRegistryInvokeRights(registry, record.pluginID, object, record.pluginData);
}

OvInt32 OvPipelineOwnerGetSize(const OvPipeline* pipeline) {
    return pipeline != nullptr && pipeline->ownerPluginId != 0 ? 8 : 0;
}

OvStream* OvPipelineOwnerWrite(OvStream* stream, const OvPipeline* pipeline) {
    const OvInt32 words[2] = {static_cast<OvInt32>(pipeline->ownerPluginId), static_cast<OvInt32>(pipeline->ownerData)};
    return OvStreamWriteInt32(stream, words, sizeof words);
}

OvBool OvWorldPluginAttach() {
    // 1. Engine modules; their order fixes their offsets and their open and close order.
    OvInt32 modules = 0;
    modules |= OvEngineRegisterPlugin(sizeof(OvMaterialModule), ovPLUGINIDMATERIAL, OvMaterialOpen, OvMaterialClose);
    modules |= OvEngineRegisterPlugin(sizeof(OvMeshModule), ovPLUGINIDMESH, OvMeshOpen, OvMeshClose);
    modules |= OvEngineRegisterPlugin(sizeof(OvGeometryModule), ovPLUGINIDGEOMETRY, OvGeometryOpen, OvGeometryClose);
    modules |= OvEngineRegisterPlugin(sizeof(OvClumpModule), ovPLUGINIDCLUMP, OvClumpOpen, OvClumpClose);
    modules |= OvEngineRegisterPlugin(sizeof(OvLightModule), ovPLUGINIDLIGHT, OvLightOpen, OvLightClose);
    modules |= OvEngineRegisterPlugin(0, ovPLUGINIDWORLDSPARE, SpareOpen, SpareClose);
    modules |= OvEngineRegisterPlugin(sizeof(OvWorldModule), ovPLUGINIDWORLD, WorldModuleOpen, WorldModuleClose);
    modules |= OvEngineRegisterPlugin(0, ovPLUGINIDSECTORSPARE, SpareOpen, SpareClose);
    if (modules < 0) {
        return FALSE;
    }

    // 2. World membership, then the stream extensions, in the order they appear in objects and
    // in extension chunks.
    if (!OvWorldObjectPluginAttach()) {
        return FALSE;
    }
    OvInt32 r = 0;
    r |= OvGeometryRegisterPlugin(0, ovPLUGINIDBINMESH, nullptr, nullptr, nullptr);
    r |= OvWorldSectorRegisterPlugin(0, ovPLUGINIDBINMESH, nullptr, nullptr, nullptr);
    r |= OvGeometryRegisterPluginStream(ovPLUGINIDBINMESH, GeometryMeshRead, GeometryMeshWrite, GeometryMeshSize);
    r |= OvWorldSectorRegisterPluginStream(ovPLUGINIDBINMESH, OvWorldSectorMeshHeaderStreamRead,
                                           OvWorldSectorMeshHeaderStreamWrite, OvWorldSectorMeshHeaderStreamGetSize);
    // Native data: the instanced form of native geometries and sectors.
    r |= OvGeometryRegisterPlugin(0, ovPLUGINIDNATIVEDATA, nullptr, nullptr, nullptr);
    r |= OvWorldSectorRegisterPlugin(0, ovPLUGINIDNATIVEDATA, nullptr, nullptr, nullptr);
    r |= OvGeometryRegisterPluginStream(ovPLUGINIDNATIVEDATA, GeometryNativeRead, GeometryNativeWrite,
                                        GeometryNativeSize);
    r |= OvWorldSectorRegisterPluginStream(ovPLUGINIDNATIVEDATA, SectorNativeRead, SectorNativeWrite, SectorNativeSize);
    r |= OvAtomicRegisterPlugin(0, ovPLUGINIDPIPELINEOWNER, nullptr, nullptr, nullptr);
    r |= OvAtomicRegisterPluginStream(ovPLUGINIDPIPELINEOWNER, ReadAtomicOwner, WriteAtomicOrWorldOwner,
                                      AtomicOrWorldOwnerSize);
    r |= OvWorldRegisterPlugin(0, ovPLUGINIDPIPELINEOWNER, nullptr, nullptr, nullptr);
    r |= OvWorldRegisterPluginStream(ovPLUGINIDPIPELINEOWNER, ReadWorldOwner, WriteAtomicOrWorldOwner,
                                     AtomicOrWorldOwnerSize);
    r |= OvWorldSectorRegisterPlugin(0, ovPLUGINIDPIPELINEOWNER, nullptr, nullptr, nullptr);
    r |= OvWorldSectorRegisterPluginStream(ovPLUGINIDPIPELINEOWNER, ReadSectorOwner, WriteSectorOwner, SectorOwnerSize);
    r |= OvMaterialRegisterPlugin(0, ovPLUGINIDPIPELINEOWNER, nullptr, nullptr, nullptr);
    r |= OvMaterialRegisterPluginStream(ovPLUGINIDPIPELINEOWNER, ReadMaterialOwner, WriteMaterialOwner,
                                        MaterialOwnerSize);
    if (r < 0) {
        return FALSE;
    }

    // 3. Clump links of cameras and lights.
    gCameraClumpLinkOffset =
        OvCameraRegisterPlugin(sizeof(OvClumpLink), ovPLUGINIDCLUMPLINK, ClumpLinkConstruct, ClumpLinkDestruct, nullptr);
    gLightClumpLinkOffset =
        OvLightRegisterPlugin(sizeof(OvClumpLink), ovPLUGINIDCLUMPLINK, ClumpLinkConstruct, ClumpLinkDestruct, nullptr);
    if (gCameraClumpLinkOffset < 0 || gLightClumpLinkOffset < 0) {
        return FALSE;
    }

    // 4. Direct3D 9 setup.
    return OvD3D9WorldPluginAttach();
}
