#pragma once
// The texture module (engine module 0x408): named, reference-counted textures (a raster with a
// name, a mask name and a filter/addressing word) kept in texture dictionaries. One dictionary
// may be current: reading a texture by name searches it and adds new textures to it. Reading
// goes through two replaceable callbacks (find, read); the default read builds the raster from
// image files, lets the driver choose its size and format, resamples, quantises, corrects gamma
// and loads or generates the mip levels.

#include "graphics/core/frame.h"
#include "graphics/core/memory.h"
#include "graphics/core/plugin.h"
#include "graphics/core/raster.h"
#include "graphics/core/types.h"

struct OvImage;
struct OvTexDictionary;

inline constexpr OvInt32 ovTEXTURENAMESIZE = 32;    // name and mask fields, terminator included
inline constexpr OvInt32 ovTEXTUREBUFFERSIZE = 256; // name buffers of the default read

// Filter modes (bits 0-7 of the filter/addressing word): 1 and 2 use no mip levels, 3 to 6 do.
enum OvTextureFilterMode : OvUInt32 {
    ovFILTERNAFILTERMODE = 0,
    ovFILTERNEAREST = 1,
    ovFILTERLINEAR = 2,
    ovFILTERMIPNEAREST = 3,
    ovFILTERMIPLINEAR = 4,
    ovFILTERLINEARMIPNEAREST = 5,
    ovFILTERLINEARMIPLINEAR = 6,
};
inline constexpr OvUInt32 ovTEXTUREFILTERMODEMASK = 0xFF;
inline constexpr OvUInt32 ovTEXTUREADDRESSINGUMASK = 0xF00;  // addressing mode u << 8
inline constexpr OvUInt32 ovTEXTUREADDRESSINGVMASK = 0xF000; // addressing mode v << 12
inline constexpr OvUInt32 ovTEXTUREADDRESSWRAP = 1;          // the default addressing mode

// Texture record; extension data follows (texture registry).
struct OvTexture {
    OvRaster* raster;             // the device raster, or null
    OvTexDictionary* dict;        // the dictionary listing it, or null
    OvLLLink lInDictionary;       // place in that dictionary's list
    char name[ovTEXTURENAMESIZE]; // at most 31 characters
    char mask[ovTEXTURENAMESIZE]; // at most 31 characters; empty without a mask
    OvUInt32 filterAddressing;    // filter mode, addressing u and v (bits 0-15)
    OvRefCount refCount;          // references held; 1 on creation
};

// Dictionary record; extension data follows (dictionary registry).
struct OvTexDictionary {
    OvObject object;         // type 6, other header fields 0
    OvLLLink texturesInDict; // its textures, newest first (circular)
    OvLLLink lInInstance;    // place in the module's list of every dictionary
};
inline constexpr OvUInt8 ovTEXDICTIONARYOBJECTTYPE = 6;

using OvTextureFindCallBack = OvTexture* (*)(const char* name);
using OvTextureReadCallBack = OvTexture* (*)(const char* name, const char* maskName);
// Edits the two buffers (ovTEXTUREBUFFERSIZE bytes each) into the names of a mip level's files.
using OvTextureMipmapNameCallBack = OvBool (*)(char* name, char* maskName, OvUInt8 mipLevel, OvInt32 format);
using OvTextureMipmapGenerationCallBack = OvRaster* (*)(OvRaster* raster, OvImage* image);
using OvTextureCallBack = OvTexture* (*)(OvTexture* texture, void* data);
using OvTexDictionaryCallBack = OvTexDictionary* (*)(OvTexDictionary* dict, void* data);

// The module's data in the engine instance.
struct OvTextureModule {
    OvLLLink texDictList;                               // every dictionary, newest first
    OvFreeList* textureFreeList;                        // texture records
    OvFreeList textureFreeListHeader;                   // static header of that list
    OvFreeList* dictFreeList;                           // dictionary records
    OvFreeList dictFreeListHeader;                      // static header of that list
    OvTexDictionary* currentTexDict;                    // searched and filled by OvTextureRead, or null
    OvTextureReadCallBack read;                         // reads a texture by name
    OvTextureFindCallBack find;                         // finds a texture already read
    OvBool mipmapping;                                  // the default read loads mip levels
    OvBool autoMipmapping;                              // ... and lets the device make them
    OvTextureMipmapGenerationCallBack mipmapGeneration; // fills levels 1.. of a raster
    OvTextureMipmapNameCallBack mipmapName;             // names the files of a mip level
    OvTexDictionary* defaultDict;                       // the dictionary made at open
};

void* OvTextureOpen(void* instance, OvInt32 offset, OvInt32 size);
// Run by OvEngineStop: destroys the default dictionary; other textures and dictionaries go with the pools.
void* OvTextureClose(void* instance, OvInt32 offset, OvInt32 size);

OvPluginRegistry* OvTextureGetRegistry();
OvPluginRegistry* OvTexDictionaryGetRegistry();
OvInt32 OvTextureRegisterPlugin(OvInt32 size, OvUInt32 pluginID, OvPluginObjectConstructor constructCB,
                                OvPluginObjectDestructor destructCB, OvPluginObjectCopy copyCB);
OvInt32 OvTexDictionaryRegisterPlugin(OvInt32 size, OvUInt32 pluginID, OvPluginObjectConstructor constructCB,
                                      OvPluginObjectDestructor destructCB, OvPluginObjectCopy copyCB);

// Textures.
OvTexture* OvTextureCreate(OvRaster* raster);
// Each holder (material, effect slot, dictionary) destroys only its own reference; the last takes the raster too.
OvBool OvTextureDestroy(OvTexture* texture);
OvTexture* OvTextureSetName(OvTexture* texture, const char* name);
OvTexture* OvTextureSetMaskName(OvTexture* texture, const char* maskName);
OvTexture* OvTextureSetRaster(OvTexture* texture, OvRaster* raster);
OvBool OvTextureSetMipmapping(OvBool enable);
OvBool OvTextureGetMipmapping();
OvBool OvTextureSetAutoMipmapping(OvBool enable);
OvBool OvTextureGetAutoMipmapping();
// Finds the texture by name (one more reference), or reads it and adds it to the current
// dictionary; null with error 22 when it cannot be read.
OvTexture* OvTextureRead(const char* name, const char* maskName);
OvBool OvTextureGenerateMipmaps(OvRaster* raster, OvImage* image);
// A new texture whose alpha is the intensity of the alpha texture (colour: the colour texture's,
// or opaque white without one); null when an image or the raster cannot be made.
OvTexture* OvTextureMergeAlpha(OvTexture* colourTexture, OvTexture* alphaTexture);

inline OvUInt32 OvTextureGetFilterMode(const OvTexture* t) { return t->filterAddressing & ovTEXTUREFILTERMODEMASK; }
inline OvUInt32 OvTextureGetAddressingU(const OvTexture* t) { return (t->filterAddressing >> 8) & 0xF; }
inline OvUInt32 OvTextureGetAddressingV(const OvTexture* t) { return (t->filterAddressing >> 12) & 0xF; }

// The default callbacks and the steps of the default read.
OvTexture* OvTextureDefaultFind(const char* name);
OvTexture* OvTextureDefaultRead(const char* name, const char* maskName);
OvTexture* OvTextureReadMipmapped(const char* name, const char* maskName);
// Appends "m" and the level's hex digit to both names (the mask only when not empty) for levels
// 1 to 15; other levels leave them as they are.
OvBool OvTextureDefaultMipmapName(char* name, char* maskName, OvUInt8 mipLevel, OvInt32 format);
OvRaster* OvTextureDefaultMipmapGenerate(OvRaster* raster, OvImage* image);
// Reads an image for a raster of the flags; a requested width or height of 0 asks the driver for
// the size (and fills width, height, depth and format), otherwise the image is resampled (and
// requantised when palettised) to the size asked.
OvImage* OvTextureReadImage(const char* name, const char* maskName, OvInt32 rasterFlags, OvInt32* width,
                            OvInt32* height, OvInt32* depth, OvInt32* format);
// Gives count images one palette of 1 << depth colours (written to palette): kept when they
// share one already, else made by the quantiser and the images replaced by palettised ones
// pointing at it (the replaced ones destroyed, except keep). FALSE when the quantiser cannot start.
OvBool OvTexturePalettizeImages(OvUInt8* palette, const OvImage* keep, OvImage** images, OvInt32 count, OvInt32 depth);

// Dictionaries.
OvTexDictionary* OvTexDictionaryCreate();
// Drops one reference of each texture; textures that live on are left in no dictionary.
// Leave the 2D toolkit's dictionary (Ov2dFontGetTexDictionary) alone: Ov2dClose destroys it.
OvBool OvTexDictionaryDestroy(OvTexDictionary* dict);
OvTexture* OvTexDictionaryAddTexture(OvTexDictionary* dict, OvTexture* texture);
OvTexture* OvTexDictionaryRemoveTexture(OvTexture* texture);
OvTexture* OvTexDictionaryFindNamedTexture(OvTexDictionary* dict, const char* name);
// The callback may remove or destroy the texture (the dictionary) it gets (the next is taken first),
// not the others.
OvTexDictionary* OvTexDictionaryForAllTextures(OvTexDictionary* dict, OvTextureCallBack callback, void* data);
OvBool OvTexDictionaryForAllTexDictionaries(OvTexDictionaryCallBack callback, void* data);
OvTexDictionary* OvTexDictionarySetCurrent(OvTexDictionary* dict);
OvTexDictionary* OvTexDictionaryGetCurrent();
