#pragma once
// Materials (colour, texture, lighting factors, optional pipeline; shared by reference count)
// and material lists (arrays holding one reference per entry), with their stream readers.

#include "graphics/core/camera.h"
#include "graphics/core/types.h"

struct OvPipeline;
struct OvStream;
struct OvTexture;

// Material record; extension data follows (material registry).
struct OvMaterial {
    OvTexture* texture;                    // one reference held, or null
    OvRGBA color;                          // R, G, B, A
    OvPipeline* pipeline;                  // null: the default
    OvSurfaceProperties surfaceProperties; // lighting factors
    OvRefCount refCount;                   // references held; 1 at creation
};

// A list of materials; every entry holds one reference to its material.
struct OvMaterialList {
    OvMaterial** materials; // entries, or null
    OvInt32 numMaterials;   // entries used
    OvInt32 space;          // entries allocated
};

// Bytes of the struct chunk of a material chunk.
inline constexpr OvUInt32 ovMATERIALSTRUCTSIZE = 28;
// Entries added to a full material list.
inline constexpr OvInt32 ovMATERIALLISTGROWTH = 20;

// The material module's data in the engine instance.
struct OvMaterialModule {
    OvFreeList* freeList; // materials
};

void* OvMaterialOpen(void* instance, OvInt32 offset, OvInt32 size);
// Run by OvEngineStop: materials still allocated go with the pool, their textures kept.
void* OvMaterialClose(void* instance, OvInt32 offset, OvInt32 size);

// A new material: no texture, white opaque colour, no pipeline, factors 1.0; null when out of
// memory or a constructor fails.
OvMaterial* OvMaterialCreate();
// Drops one reference; the last destroys the material (extension destructors, texture
// released). TRUE.
// Each holder destroys only its own reference: meshes and instanced data borrow their owner's.
OvBool OvMaterialDestroy(OvMaterial* material);
inline OvMaterial* OvMaterialAddRef(OvMaterial* material) {
    material->refCount++;
    return material;
}
// References the new texture (null: none) before releasing the old one.
OvMaterial* OvMaterialSetTexture(OvMaterial* material, OvTexture* texture);
// Reads a material chunk's body (the caller found chunk 7); the material or null.
OvMaterial* OvMaterialStreamRead(OvStream* stream);

OvMaterialList* OvMaterialListInitialize(OvMaterialList* list);
// Releases every entry and frees the array.
OvMaterialList* OvMaterialListDeinitialize(OvMaterialList* list);
inline OvMaterial* OvMaterialListGetMaterial(const OvMaterialList* list, OvInt32 index) {
    return list->materials[index];
}
inline OvInt32 OvMaterialListGetNumMaterials(const OvMaterialList* list) { return list->numMaterials; }
// Appends the material with a new reference; its index, or -1 (error 0x80000013).
OvInt32 OvMaterialListAppendMaterial(OvMaterialList* list, OvMaterial* material);
// Index of the last entry equal to the material, or -1.
OvInt32 OvMaterialListFindMaterial(const OvMaterialList* list, const OvMaterial* material);
// Reads a material-list chunk's body (the caller found chunk 8) into an initialised list; the
// list, or null with the list left empty.
OvMaterialList* OvMaterialListStreamRead(OvStream* stream, OvMaterialList* list);
