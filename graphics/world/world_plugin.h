#pragma once
// The world plugin: the scene objects of the graphics engine (geometry, materials, clumps,
// atomics, lights, worlds and world sectors), added to the core by one attach call made before
// the engine opens. The attach registers the plugin's engine modules and the extensions its own
// parts put on its objects and on the core's cameras; other plugins extend the plugin's objects
// through the registration functions below.

#include "graphics/core/memory.h"
#include "graphics/core/plugin.h"
#include "graphics/core/types.h"

struct OvAtomic;
struct OvPipeline;
struct OvStream;
struct OvWorld;

// Plugin ids of the world plugin's modules and extensions.
inline constexpr OvUInt32 ovPLUGINIDMATERIAL = 0x501;     // material module
inline constexpr OvUInt32 ovPLUGINIDMESH = 0x502;         // mesh module (binary meshes)
inline constexpr OvUInt32 ovPLUGINIDGEOMETRY = 0x503;     // geometry module
inline constexpr OvUInt32 ovPLUGINIDCLUMP = 0x504;        // clump module (atomics and clumps)
inline constexpr OvUInt32 ovPLUGINIDLIGHT = 0x505;        // light module; also the Direct3D 9 light extension
inline constexpr OvUInt32 ovPLUGINIDWORLD = 0x507;        // world module
inline constexpr OvUInt32 ovPLUGINIDWORLDOBJECT = 0x509;  // world-membership module and extensions
inline constexpr OvUInt32 ovPLUGINIDWORLDSPARE = 0x50A;   // empty module
inline constexpr OvUInt32 ovPLUGINIDSECTORSPARE = 0x50B;  // empty module
inline constexpr OvUInt32 ovPLUGINIDBINMESH = 0x50E;      // binary-mesh stream extension
inline constexpr OvUInt32 ovPLUGINIDD3D9WORLD = 0x50F;    // Direct3D 9 instancing-flag module and extension
inline constexpr OvUInt32 ovPLUGINIDNATIVEDATA = 0x510;   // native-data stream extension
inline constexpr OvUInt32 ovPLUGINIDCLUMPLINK = 0x10;     // clump link of cameras and lights
inline constexpr OvUInt32 ovPLUGINIDPIPELINEOWNER = 0x1F; // pipeline-owner stream extension

// Chunk types of the plugin's objects.
inline constexpr OvUInt32 ovCHUNKIDMATERIAL = 7;
inline constexpr OvUInt32 ovCHUNKIDMATLIST = 8;
inline constexpr OvUInt32 ovCHUNKIDATOMICSECTOR = 9;
inline constexpr OvUInt32 ovCHUNKIDPLANESECTOR = 10;
inline constexpr OvUInt32 ovCHUNKIDWORLD = 11;
inline constexpr OvUInt32 ovCHUNKIDGEOMETRY = 15;
inline constexpr OvUInt32 ovCHUNKIDCLUMP = 16;
inline constexpr OvUInt32 ovCHUNKIDLIGHT = 18;
inline constexpr OvUInt32 ovCHUNKIDATOMIC = 20;
inline constexpr OvUInt32 ovCHUNKIDGEOMETRYLIST = 26;

// Errors of the plugin: {ovPLUGINIDWORLDERRORS, code}.
inline constexpr OvInt32 ovPLUGINIDWORLDERRORS = 2;
inline constexpr OvInt32 ovERRCLUMPNOTINWORLD = 4; // clump not in a world
inline constexpr OvInt32 ovERRTOOMANYVERTICES = 6; // 65536 or more vertices

// Runs the attach sequence: engine modules, then the object extensions in their fixed order.
// TRUE when every registration succeeded. Call once, before the engine is opened.
OvBool OvWorldPluginAttach();

// The seven object registries (their starting size is the bare object's size).
OvPluginRegistry* OvGeometryGetRegistry();
OvPluginRegistry* OvAtomicGetRegistry();
OvPluginRegistry* OvClumpGetRegistry();
OvPluginRegistry* OvMaterialGetRegistry();
OvPluginRegistry* OvWorldGetRegistry();
OvPluginRegistry* OvWorldSectorGetRegistry();
OvPluginRegistry* OvLightGetRegistry();

// Registration on the registries; each returns the core registry call's result (the
// extension's offset, negative on failure).
OvInt32 OvGeometryRegisterPlugin(OvInt32 size, OvUInt32 pluginID, OvPluginObjectConstructor constructCB,
                                 OvPluginObjectDestructor destructCB, OvPluginObjectCopy copyCB);
OvInt32 OvGeometryRegisterPluginStream(OvUInt32 pluginID, OvPluginDataChunkReadCallBack readCB,
                                       OvPluginDataChunkWriteCallBack writeCB,
                                       OvPluginDataChunkGetSizeCallBack getSizeCB);
OvInt32 OvAtomicRegisterPlugin(OvInt32 size, OvUInt32 pluginID, OvPluginObjectConstructor constructCB,
                               OvPluginObjectDestructor destructCB, OvPluginObjectCopy copyCB);
OvInt32 OvAtomicRegisterPluginStream(OvUInt32 pluginID, OvPluginDataChunkReadCallBack readCB,
                                     OvPluginDataChunkWriteCallBack writeCB,
                                     OvPluginDataChunkGetSizeCallBack getSizeCB);
OvInt32 OvAtomicSetStreamAlwaysCallback(OvUInt32 pluginID, OvPluginDataChunkAlwaysCallBack alwaysCB);
OvInt32 OvAtomicSetStreamOwnerCallback(OvUInt32 pluginID, OvPluginDataChunkRightsCallBack rightsCB);
OvInt32 OvAtomicGetPluginOffset(OvUInt32 pluginID);
OvInt32 OvClumpRegisterPlugin(OvInt32 size, OvUInt32 pluginID, OvPluginObjectConstructor constructCB,
                              OvPluginObjectDestructor destructCB, OvPluginObjectCopy copyCB);
OvInt32 OvMaterialRegisterPlugin(OvInt32 size, OvUInt32 pluginID, OvPluginObjectConstructor constructCB,
                                 OvPluginObjectDestructor destructCB, OvPluginObjectCopy copyCB);
OvInt32 OvMaterialRegisterPluginStream(OvUInt32 pluginID, OvPluginDataChunkReadCallBack readCB,
                                       OvPluginDataChunkWriteCallBack writeCB,
                                       OvPluginDataChunkGetSizeCallBack getSizeCB);
OvInt32 OvWorldRegisterPlugin(OvInt32 size, OvUInt32 pluginID, OvPluginObjectConstructor constructCB,
                              OvPluginObjectDestructor destructCB, OvPluginObjectCopy copyCB);
OvInt32 OvWorldRegisterPluginStream(OvUInt32 pluginID, OvPluginDataChunkReadCallBack readCB,
                                    OvPluginDataChunkWriteCallBack writeCB, OvPluginDataChunkGetSizeCallBack getSizeCB);
OvInt32 OvWorldSectorRegisterPlugin(OvInt32 size, OvUInt32 pluginID, OvPluginObjectConstructor constructCB,
                                    OvPluginObjectDestructor destructCB, OvPluginObjectCopy copyCB);
OvInt32 OvWorldSectorRegisterPluginStream(OvUInt32 pluginID, OvPluginDataChunkReadCallBack readCB,
                                          OvPluginDataChunkWriteCallBack writeCB,
                                          OvPluginDataChunkGetSizeCallBack getSizeCB);
OvInt32 OvLightRegisterPlugin(OvInt32 size, OvUInt32 pluginID, OvPluginObjectConstructor constructCB,
                              OvPluginObjectDestructor destructCB, OvPluginObjectCopy copyCB);

// Pipeline-owner records (sub-chunk 0x1F, stream only): an object whose pipeline is set and has
// a plugin id writes {u32 plugin id, u32 plugin data}. A reader clears the record of its object
// kind before reading the object's extension chunk and, after it, hands a record that was read
// to the rights callback of the extension with that id.
enum OvPipelineOwnerKind : OvInt32 {
    ovPIPELINEOWNERATOMIC = 0,
    ovPIPELINEOWNERWORLD = 1,
    ovPIPELINEOWNERSECTOR = 2,
    ovPIPELINEOWNERMATERIAL = 3,
};
// The records read since the last clear, one per kind (readers of every object clear and look at
// them, so the two are inline).
struct OvPipelineOwnerRecord {
    OvUInt32 pluginID;
    OvUInt32 pluginData;
};
extern OvPipelineOwnerRecord OvPipelineOwnerRecords[4];
inline void OvPipelineOwnerClear(OvPipelineOwnerKind kind) { OvPipelineOwnerRecords[kind] = {}; }
// Reads a record's body of length bytes into the kind's record (a short body gives what it
// holds, a longer one is passed over).
OvStream* OvPipelineOwnerRead(OvStream* stream, OvInt32 length, OvPipelineOwnerKind kind);
// Calls the rights callback of the recorded id on the object when a record was read (one without
// a rights callback is ignored). Returns the object.
void OvPipelineOwnerInvokeRecorded(OvPipelineOwnerKind kind, const OvPluginRegistry* registry, void* object);
inline void* OvPipelineOwnerInvoke(OvPipelineOwnerKind kind, const OvPluginRegistry* registry, void* object) {
    if (OvPipelineOwnerRecords[kind].pluginID != 0) {
        OvPipelineOwnerInvokeRecorded(kind, registry, object);
    }
    return object;
}
// Body size (8 or 0) and body writer of a pipeline's record (a null pipeline has none).
OvInt32 OvPipelineOwnerGetSize(const OvPipeline* pipeline);
OvStream* OvPipelineOwnerWrite(OvStream* stream, const OvPipeline* pipeline);

// The default atomic and world-sector pipelines, made when the world module opens (null while it
// is closed). Objects without a pipeline of their own are executed through these.
OvPipeline* OvWorldGetDefaultAtomicPipeline();
OvPipeline* OvWorldGetDefaultWorldSectorPipeline();
// Installs a default (the Direct3D 9 pipelines' setters use these; null leaves none).
void OvWorldSetDefaultAtomicPipeline(OvPipeline* pipeline);
void OvWorldSetDefaultWorldSectorPipeline(OvPipeline* pipeline);

// The world module's data in the engine instance.
struct OvWorldModule {
    OvFreeList* recordFreeList; // world records
    OvLLLink records;           // every world record
};
OvWorldModule* OvWorldGetModule();

// Destroys every clump, atomic and light still allocated; run at engine stop before the pools
// the world-membership module keeps are closed, so that leftovers are destroyed once and while
// every pool they touch is still there.
void OvWorldPluginDestroyLeftovers();

// The world an atomic is in, or null (world membership).
OvWorld* OvAtomicGetWorld(const OvAtomic* atomic);

// Parts of the attach sequence made by the world-membership and Direct3D 9 parts of the plugin.
// World membership: module 0x509 and its extensions on cameras, atomics, clumps and lights.
OvBool OvWorldObjectPluginAttach();
// Direct3D 9 setup: the light extension 0x505, module 0x50F with its instancing-flag extensions
// on geometries and world sectors, and the device-restore hook (d3d9_pipeline.cpp).
OvBool OvD3D9WorldPluginAttach();
// Binary-mesh stream callbacks of world sectors (the sector's mesh header and its world's
// material list).
OvStream* OvWorldSectorMeshHeaderStreamRead(OvStream* stream, OvInt32 length, void* object, OvInt32 offset,
                                            OvInt32 size);
OvStream* OvWorldSectorMeshHeaderStreamWrite(OvStream* stream, OvInt32 length, const void* object, OvInt32 offset,
                                             OvInt32 size);
OvInt32 OvWorldSectorMeshHeaderStreamGetSize(const void* object, OvInt32 offset, OvInt32 size);
