#include "graphics/core/texture.h"

#include <cstdio>
#include <cstring>

#include "graphics/core/engine.h"
#include "graphics/core/error.h"
#include "graphics/core/image.h"
#include "graphics/core/image_processing.h"
#include "graphics/core/texture_read_fault.h"

namespace {

OvInt32 gTextureModuleOffset = -1;
OvPluginRegistry gTextureRegistry = OvPluginRegistryInitialValue(sizeof(OvTexture));
OvPluginRegistry gTexDictionaryRegistry = OvPluginRegistryInitialValue(sizeof(OvTexDictionary));

constexpr OvInt32 kTexturesPerBlock = 128;
constexpr OvInt32 kDictionariesPerBlock = 5;
constexpr OvUInt32 kModuleHint = ovMEMHINTDUR_GLOBAL | ovPLUGINIDTEXTURE;
constexpr OvUInt32 kObjectHint = ovMEMHINTDUR_OBJECT | ovPLUGINIDTEXTURE;
constexpr OvUInt32 kDefaultFilterAddressing = ovFILTERNEAREST | ovTEXTUREADDRESSWRAP << 8 | ovTEXTUREADDRESSWRAP << 12;
constexpr OvInt32 kMaxLevels = 32;
constexpr OvInt32 kPaletteFlags = ovRASTERFORMATPAL8 | ovRASTERFORMATPAL4;
constexpr OvUInt8 kAutoMipmapBit = ovRASTERFORMATAUTOMIPMAP >> 8;
constexpr OvInt32 kLockReadWrite = 5; // the level's size is learnt and its pixels written

char gReadFailure[128] = ""; // see texture_read_fault.h
bool gChunkFailure = false;

OvTextureModule* Module() {
    return reinterpret_cast<OvTextureModule*>(reinterpret_cast<char*>(OvEngineInstancePtr) + gTextureModuleOffset);
}

void Report(OvInt32 code) { OvErrorReport(ovPLUGINIDCORE, code); }

OvTexture* FromLink(OvLLLink* link) {
    return reinterpret_cast<OvTexture*>(reinterpret_cast<char*>(link) - offsetof(OvTexture, lInDictionary));
}
OvTexDictionary* DictFromLink(OvLLLink* link) {
    return reinterpret_cast<OvTexDictionary*>(reinterpret_cast<char*>(link) - offsetof(OvTexDictionary, lInInstance));
}

// Names match when every character matches with 'a'-'z' folded to upper case.
bool SameName(const char* a, const char* b) {
    for (;; ++a, ++b) {
        const char ca = (*a >= 'a' && *a <= 'z') ? static_cast<char>(*a - 32) : *a;
        const char cb = (*b >= 'a' && *b <= 'z') ? static_cast<char>(*b - 32) : *b;
        if (ca != cb) {
            return false;
        }
        if (ca == '\0') {
            return true;
        }
    }
}

void SetField(char* field, const char* text) {
    const char* source = text != nullptr ? text : "";
    const std::size_t length = std::strlen(source);
    if (length >= static_cast<std::size_t>(ovTEXTURENAMESIZE)) {
        Report(OvErrorCode(ovERRNAMETOOLONG, source));
    }
    std::memset(field, 0, ovTEXTURENAMESIZE);
    std::memcpy(field, source, length < ovTEXTURENAMESIZE ? length : ovTEXTURENAMESIZE - 1);
}

// Copies text into a 256-byte buffer; a longer text is cut (error 0x8000001e).
void ToBuffer(char* buffer, const char* text) {
    const char* source = text != nullptr ? text : "";
    const std::size_t length = std::strlen(source);
    if (length >= static_cast<std::size_t>(ovTEXTUREBUFFERSIZE)) {
        Report(OvErrorCode(ovERRNAMETOOLONG, source));
    }
    const std::size_t kept = length < ovTEXTUREBUFFERSIZE ? length : ovTEXTUREBUFFERSIZE - 1;
    std::memcpy(buffer, source, kept);
    buffer[kept] = '\0';
}

// Appends to a 256-byte buffer; false (error 0x8000001e) when the result would not fit.
bool AppendToBuffer(char* buffer, const char* text) {
    const std::size_t length = std::strlen(buffer);
    const std::size_t more = std::strlen(text);
    if (length + more >= static_cast<std::size_t>(ovTEXTUREBUFFERSIZE)) {
        Report(OvErrorCode(ovERRNAMETOOLONG, buffer));
        return false;
    }
    std::memcpy(buffer + length, text, more + 1);
    return true;
}

OvImage* NewImage(OvInt32 width, OvInt32 height, OvInt32 depth) {
    OvImage* image = OvImageCreate(width, height, depth);
    if (image != nullptr && OvImageAllocatePixels(image) == nullptr) {
        OvImageDestroy(image);
        return nullptr;
    }
    return image;
}

// A 32-bit image of the raster's pixels.
OvImage* ImageOfRaster(OvRaster* raster) {
    OvImage* image = NewImage(raster->width, raster->height, 32);
    if (image != nullptr && OvImageSetFromRaster(image, raster) == nullptr) {
        OvImageDestroy(image);
        return nullptr;
    }
    return image;
}

void DestroyImages(OvImage** images, OvInt32 count, const OvImage* keep = nullptr) {
    for (OvInt32 i = 0; i < count; ++i) {
        if (images[i] != nullptr && images[i] != keep) {
            OvImageDestroy(images[i]);
        }
        images[i] = nullptr;
    }
}

void GammaCorrectOnce(OvImage* image) {
    // Pixels already corrected (a raster's level read back, say) are not corrected twice.
    if ((image->flags & ovIMAGEGAMMACORRECTED) == 0) {
        OvImageGammaCorrect(image);
    }
}

// Writes every level from its image (the images are destroyed); false on a write failure.
bool WriteLevels(OvRaster* raster, OvImage** images, OvInt32 count, const OvImage* keep) {
    bool ok = true;
    for (OvInt32 level = 0; level < count; ++level) {
        if (ok && OvRasterLock(raster, static_cast<OvUInt8>(level), kLockReadWrite) != nullptr) {
            ok = OvRasterSetFromImage(raster, images[level]) != nullptr;
            OvRasterUnlock(raster);
        }
        if (images[level] != keep) {
            OvImageDestroy(images[level]);
        }
        images[level] = nullptr;
    }
    return ok;
}

OvTexture* MakeTexture(OvRaster* raster, const char* name, const char* maskName) {
    OvTexture* texture = OvTextureCreate(raster);
    if (texture == nullptr) {
        OvRasterDestroy(raster);
        return nullptr;
    }
    OvTextureSetName(texture, name);
    OvTextureSetMaskName(texture, maskName != nullptr ? maskName : "");
    return texture;
}

bool IsPalettised(OvInt32 format) { return (format & kPaletteFlags) != 0; }
OvInt32 PaletteDepth(OvInt32 format) { return (format & ovRASTERFORMATPAL4) ? 4 : 8; }

} // namespace

void* OvTextureOpen(void* instance, OvInt32 offset, OvInt32 /*size*/) {
    gTextureModuleOffset = offset;
    auto* module = reinterpret_cast<OvTextureModule*>(static_cast<char*>(instance) + offset);
    *module = {};
    OvLLLinkInitHead(&module->texDictList);
    module->textureFreeList = OvFreeListCreateWithSpace(gTextureRegistry.sizeOfStruct, kTexturesPerBlock, 0, 1,
                                                        &module->textureFreeListHeader, kModuleHint);
    module->dictFreeList = OvFreeListCreateWithSpace(gTexDictionaryRegistry.sizeOfStruct, kDictionariesPerBlock, 0, 1,
                                                     &module->dictFreeListHeader, kModuleHint);
    module->read = OvTextureDefaultRead;
    module->find = OvTextureDefaultFind;
    module->mipmapGeneration = OvTextureDefaultMipmapGenerate;
    module->mipmapName = OvTextureDefaultMipmapName;
    if (module->textureFreeList != nullptr && module->dictFreeList != nullptr) {
        module->defaultDict = OvTexDictionaryCreate();
    }
    if (module->defaultDict == nullptr) {
        if (module->textureFreeList != nullptr) {
            OvFreeListDestroy(module->textureFreeList);
        }
        if (module->dictFreeList != nullptr) {
            OvFreeListDestroy(module->dictFreeList);
        }
        *module = {};
        return nullptr;
    }
    module->currentTexDict = module->defaultDict;
    return instance;
}

void* OvTextureClose(void* instance, OvInt32 offset, OvInt32 /*size*/) {
    auto* module = reinterpret_cast<OvTextureModule*>(static_cast<char*>(instance) + offset);
    for (OvLLLink* l = module->texDictList.next; l != &module->texDictList; l = l->next) {
        if (DictFromLink(l) == module->defaultDict) {
            OvTexDictionaryDestroy(module->defaultDict);
            break;
        }
    }
    if (module->textureFreeList != nullptr) {
        OvFreeListDestroy(module->textureFreeList);
    }
    if (module->dictFreeList != nullptr) {
        OvFreeListDestroy(module->dictFreeList);
    }
    *module = {};
    return instance;
}

OvPluginRegistry* OvTextureGetRegistry() { return &gTextureRegistry; }
OvPluginRegistry* OvTexDictionaryGetRegistry() { return &gTexDictionaryRegistry; }

OvInt32 OvTextureRegisterPlugin(OvInt32 size, OvUInt32 pluginID, OvPluginObjectConstructor constructCB,
                                OvPluginObjectDestructor destructCB, OvPluginObjectCopy copyCB) {
    return OvPluginRegistryAddPlugin(&gTextureRegistry, size, pluginID, constructCB, destructCB, copyCB);
}

OvInt32 OvTexDictionaryRegisterPlugin(OvInt32 size, OvUInt32 pluginID, OvPluginObjectConstructor constructCB,
                                      OvPluginObjectDestructor destructCB, OvPluginObjectCopy copyCB) {
    return OvPluginRegistryAddPlugin(&gTexDictionaryRegistry, size, pluginID, constructCB, destructCB, copyCB);
}

OvTexture* OvTextureCreate(OvRaster* raster) {
    OvTextureModule* module = Module();
    auto* texture = static_cast<OvTexture*>(OvFreeListEntryAlloc(module->textureFreeList, kObjectHint));
    if (texture == nullptr) {
        Report(OvErrorCode(ovERRNOMEMORY, sizeof(OvTexture)));
        return nullptr;
    }
    *texture = {};
    OvLLLinkInitHead(&texture->lInDictionary);
    texture->filterAddressing = kDefaultFilterAddressing;
    texture->refCount = 1;
    if (raster != nullptr) {
        OvTextureSetRaster(texture, raster);
    }
    if (OvPluginRegistryInitObject(&gTextureRegistry, texture) == nullptr) {
        OvFreeListEntryFree(module->textureFreeList, texture);
        return nullptr;
    }
    return texture;
}

OvBool OvTextureDestroy(OvTexture* texture) {
    if (--texture->refCount > 0) {
        return TRUE;
    }
    OvPluginRegistryDeInitObject(&gTextureRegistry, texture);
    OvTexDictionaryRemoveTexture(texture);
    if (texture->raster != nullptr) {
        OvRasterDestroy(texture->raster);
    }
    OvFreeListEntryFree(Module()->textureFreeList, texture);
    return TRUE;
}

OvTexture* OvTextureSetName(OvTexture* texture, const char* name) {
    SetField(texture->name, name);
    return texture;
}

OvTexture* OvTextureSetMaskName(OvTexture* texture, const char* maskName) {
    SetField(texture->mask, maskName);
    return texture;
}

OvTexture* OvTextureSetRaster(OvTexture* texture, OvRaster* raster) {
    if (raster == nullptr) {
        texture->raster = nullptr;
        return texture;
    }
    return OvStandardCall(ovSTANDARDTEXTURESETRASTER, texture, raster, 0) > 0 ? texture : nullptr;
}

OvBool OvTextureSetMipmapping(OvBool enable) {
    Module()->mipmapping = enable ? TRUE : FALSE;
    return TRUE;
}
OvBool OvTextureGetMipmapping() { return Module()->mipmapping; }
OvBool OvTextureSetAutoMipmapping(OvBool enable) {
    Module()->autoMipmapping = enable ? TRUE : FALSE;
    return TRUE;
}
OvBool OvTextureGetAutoMipmapping() { return Module()->autoMipmapping; }

const char* OvTextureGetReadFailure() { return gReadFailure[0] != '\0' ? gReadFailure : nullptr; }

bool OvTextureGetChunkFailure() { return gChunkFailure; }

void OvTextureNoteChunkFailure() { gChunkFailure = true; }

void OvTextureClearReadFailure() {
    gReadFailure[0] = '\0';
    gChunkFailure = false;
}

OvTexture* OvTextureRead(const char* name, const char* maskName) {
    OvTextureModule* module = Module();
    if (OvTexture* found = module->find(name)) {
        found->refCount++;
        return found;
    }
    OvTexture* texture = module->read(name, maskName);
    if (texture == nullptr) {
        Report(OvErrorCode(ovERRTEXTUREREAD, name));
        std::snprintf(gReadFailure, sizeof gReadFailure, "%s", name != nullptr ? name : "");
        return nullptr;
    }
    if (module->currentTexDict != nullptr) {
        OvTexDictionaryAddTexture(module->currentTexDict, texture);
    }
    return texture;
}

OvBool OvTextureGenerateMipmaps(OvRaster* raster, OvImage* image) {
    OvTextureModule* module = Module();
    return module->mipmapGeneration != nullptr && module->mipmapGeneration(raster, image) != nullptr ? TRUE : FALSE;
}

OvTexture* OvTextureDefaultFind(const char* name) {
    OvTextureModule* module = Module();
    if (module->currentTexDict != nullptr) {
        return OvTexDictionaryFindNamedTexture(module->currentTexDict, name);
    }
    for (OvLLLink* l = module->texDictList.next; l != &module->texDictList; l = l->next) {
        if (OvTexture* t = OvTexDictionaryFindNamedTexture(DictFromLink(l), name)) {
            return t;
        }
    }
    return nullptr;
}

OvBool OvTextureDefaultMipmapName(char* name, char* maskName, OvUInt8 mipLevel, OvInt32 /*format*/) {
    if (mipLevel == 0 || mipLevel > 15) {
        return TRUE;
    }
    const char suffix[3] = {'m', "0123456789abcdef"[mipLevel], '\0'};
    bool ok = AppendToBuffer(name, suffix);
    if (maskName[0] != '\0') {
        ok = AppendToBuffer(maskName, suffix) && ok;
    }
    return ok ? TRUE : FALSE;
}

OvImage* OvTextureReadImage(const char* name, const char* maskName, OvInt32 rasterFlags, OvInt32* width,
                            OvInt32* height, OvInt32* depth, OvInt32* format) {
    char nameBuffer[ovTEXTUREBUFFERSIZE];
    char maskBuffer[ovTEXTUREBUFFERSIZE];
    ToBuffer(nameBuffer, name);
    if (const char* extension = OvImageFindFileExtension(nameBuffer)) {
        if (!AppendToBuffer(nameBuffer, extension)) {
            return nullptr;
        }
    }
    const bool masked = maskName != nullptr && maskName[0] != '\0';
    maskBuffer[0] = '\0';
    if (masked) {
        ToBuffer(maskBuffer, maskName);
        if (const char* extension = OvImageFindFileExtension(maskBuffer)) {
            if (!AppendToBuffer(maskBuffer, extension)) {
                return nullptr;
            }
        }
    }
    OvImage* image = OvImageReadMaskedImage(nameBuffer, masked ? maskBuffer : nullptr);
    if (image == nullptr) {
        return nullptr;
    }
    if (*width == 0 || *height == 0) {
        if (OvRasterQueryFormat(image, rasterFlags, width, height, depth, format) == nullptr) {
            OvImageDestroy(image);
            Report(OvErrorCode(ovERRBADFORMAT));
            return nullptr;
        }
    }
    if (image->width == *width && image->height == *height) {
        return image;
    }
    OvImage* resampled = OvImageCreateResampled(image, *width, *height);
    const OvInt32 readDepth = image->depth;
    OvImageDestroy(image);
    if (resampled == nullptr || (readDepth != 4 && readDepth != 8)) {
        return resampled;
    }
    OvPaletteQuantizer quantizer;
    if (!OvPaletteQuantizerInit(&quantizer)) {
        return resampled;
    }
    OvImage* palettised = NewImage(*width, *height, readDepth);
    if (palettised == nullptr) {
        OvPaletteQuantizerFree(&quantizer);
        OvImageDestroy(resampled);
        return nullptr;
    }
    OvPaletteQuantizerAddImage(&quantizer, resampled, 1.0f);
    OvPaletteQuantizerMakePalette(palettised->palette, 1 << readDepth, &quantizer);
    OvPaletteQuantizerMapImage(palettised->cpPixels, palettised->stride, readDepth, FALSE, &quantizer, resampled);
    OvPaletteQuantizerFree(&quantizer);
    palettised->flags |= resampled->flags & ovIMAGEGAMMACORRECTED;
    OvImageDestroy(resampled);
    return palettised;
}

OvBool OvTexturePalettizeImages(OvUInt8* palette, const OvImage* keep, OvImage** images, OvInt32 count, OvInt32 depth) {
    const auto paletteBytes = static_cast<std::size_t>(4 << depth);
    bool shared = images[0]->palette != nullptr && (images[0]->depth == 4 || images[0]->depth == 8) &&
                  paletteBytes <= static_cast<std::size_t>(4 << images[0]->depth);
    for (OvInt32 i = 1; shared && i < count; ++i) {
        shared = images[i]->palette != nullptr && paletteBytes <= static_cast<std::size_t>(4 << images[i]->depth) &&
                 std::memcmp(images[i]->palette, images[0]->palette, paletteBytes) == 0;
    }
    if (shared) {
        std::memcpy(palette, images[0]->palette, paletteBytes);
        return TRUE;
    }
    OvPaletteQuantizer quantizer;
    if (!OvPaletteQuantizerInit(&quantizer)) {
        return FALSE;
    }
    for (OvInt32 i = 0; i < count; ++i) {
        OvPaletteQuantizerAddImage(&quantizer, images[i], 1.0f);
    }
    OvPaletteQuantizerMakePalette(palette, 1 << depth, &quantizer);
    bool ok = true;
    for (OvInt32 i = 0; i < count; ++i) {
        OvImage* mapped = NewImage(images[i]->width, images[i]->height, depth);
        if (mapped == nullptr) {
            ok = false;
            break;
        }
        OvPaletteQuantizerMapImage(mapped->cpPixels, mapped->stride, depth, FALSE, &quantizer, images[i]);
        mapped->palette = palette;
        mapped->flags |= images[i]->flags & ovIMAGEGAMMACORRECTED;
        if (images[i] != keep) {
            OvImageDestroy(images[i]);
        }
        images[i] = mapped;
    }
    OvPaletteQuantizerFree(&quantizer);
    return ok ? TRUE : FALSE;
}

OvTexture* OvTextureDefaultRead(const char* name, const char* maskName) {
    OvTextureModule* module = Module();
    if (module->mipmapping) {
        return OvTextureReadMipmapped(name, maskName);
    }
    char nameBuffer[ovTEXTUREBUFFERSIZE];
    char maskBuffer[ovTEXTUREBUFFERSIZE];
    ToBuffer(nameBuffer, name);
    ToBuffer(maskBuffer, maskName);
    if (module->mipmapName != nullptr && !module->mipmapName(nameBuffer, maskBuffer, 0, ovRASTERTYPETEXTURE)) {
        return nullptr;
    }
    OvInt32 width = 0, height = 0, depth = 0, format = 0;
    OvImage* image = OvTextureReadImage(nameBuffer, maskBuffer, ovRASTERTYPETEXTURE, &width, &height, &depth, &format);
    if (image == nullptr) {
        return nullptr;
    }
    OvRaster* raster = OvRasterCreate(width, height, depth, format);
    if (raster == nullptr) {
        OvImageDestroy(image);
        return nullptr;
    }
    OvUInt8 palette[256 * 4];
    if (IsPalettised(format) && !OvTexturePalettizeImages(palette, nullptr, &image, 1, PaletteDepth(format))) {
        OvImageDestroy(image);
        OvRasterDestroy(raster);
        return nullptr;
    }
    if (image == nullptr) {
        OvRasterDestroy(raster);
        return nullptr;
    }
    OvImageGammaCorrect(image);
    const bool written = OvRasterSetFromImage(raster, image) != nullptr;
    OvImageDestroy(image);
    if (!written) {
        OvRasterDestroy(raster);
        return nullptr;
    }
    return MakeTexture(raster, name, maskName);
}

OvTexture* OvTextureReadMipmapped(const char* name, const char* maskName) {
    OvTextureModule* module = Module();
    char nameBuffer[ovTEXTUREBUFFERSIZE];
    char maskBuffer[ovTEXTUREBUFFERSIZE];
    ToBuffer(nameBuffer, name);
    ToBuffer(maskBuffer, maskName);
    const OvInt32 flags =
        ovRASTERTYPETEXTURE | ovRASTERFORMATMIPMAP | (module->autoMipmapping ? ovRASTERFORMATAUTOMIPMAP : 0);
    if (module->mipmapName != nullptr && !module->mipmapName(nameBuffer, maskBuffer, 0, flags)) {
        return nullptr;
    }
    OvInt32 width = 0, height = 0, depth = 0, format = 0;
    OvImage* images[kMaxLevels] = {};
    images[0] = OvTextureReadImage(nameBuffer, maskBuffer, flags, &width, &height, &depth, &format);
    if (images[0] == nullptr) {
        return nullptr;
    }
    OvRaster* raster = OvRasterCreate(width, height, depth, format);
    if (raster == nullptr) {
        OvImageDestroy(images[0]);
        return nullptr;
    }
    const OvInt32 rasterFormat = OvRasterGetFormat(raster);
    if ((rasterFormat & ovRASTERFORMATMIPMAP) == 0 || (rasterFormat & ovRASTERFORMATAUTOMIPMAP) != 0) {
        // One level to write; the device makes any others.
        OvImageGammaCorrect(images[0]);
        const bool written = OvRasterSetFromImage(raster, images[0]) != nullptr;
        OvImageDestroy(images[0]);
        if (!written) {
            OvRasterDestroy(raster);
            return nullptr;
        }
        return MakeTexture(raster, name, maskName);
    }
    OvInt32 levels = OvRasterGetNumLevels(raster);
    levels = levels < 1 ? 1 : levels > kMaxLevels ? kMaxLevels : levels;
    for (OvInt32 level = 1; level < levels; ++level) {
        ToBuffer(nameBuffer, name);
        ToBuffer(maskBuffer, maskName);
        bool ok = module->mipmapName == nullptr ||
                  module->mipmapName(nameBuffer, maskBuffer, static_cast<OvUInt8>(level), flags) != FALSE;
        OvInt32 levelWidth = 0, levelHeight = 0, levelDepth = 0, levelFormat = 0;
        if (ok && OvRasterLock(raster, static_cast<OvUInt8>(level), kLockReadWrite) != nullptr) {
            levelWidth = raster->width;
            levelHeight = raster->height;
            levelDepth = raster->depth;
            levelFormat = OvRasterGetFormat(raster) | OvRasterGetType(raster);
            OvRasterUnlock(raster);
        } else {
            ok = false;
        }
        if (ok) {
            images[level] =
                OvTextureReadImage(nameBuffer, maskBuffer, flags, &levelWidth, &levelHeight, &levelDepth, &levelFormat);
        }
        if (images[level] == nullptr) {
            DestroyImages(images, levels);
            OvRasterDestroy(raster);
            return nullptr;
        }
    }
    OvUInt8 palette[256 * 4];
    if (IsPalettised(rasterFormat)) {
        if (!OvTexturePalettizeImages(palette, nullptr, images, levels, PaletteDepth(rasterFormat))) {
            DestroyImages(images, levels);
            OvRasterDestroy(raster);
            return nullptr;
        }
        OvImageGammaCorrect(images[0]); // the palette is shared
    } else {
        for (OvInt32 level = 0; level < levels; ++level) {
            OvImageGammaCorrect(images[level]);
        }
    }
    if (!WriteLevels(raster, images, levels, nullptr)) {
        OvRasterDestroy(raster);
        return nullptr;
    }
    return MakeTexture(raster, name, maskName);
}

OvRaster* OvTextureDefaultMipmapGenerate(OvRaster* raster, OvImage* image) {
    OvImage* source = image;
    if (source == nullptr) {
        source = ImageOfRaster(raster);
    } else if (source->depth != 32) {
        source = NewImage(image->width, image->height, 32);
        if (source != nullptr && OvImageCopy(source, image) == nullptr) {
            OvImageDestroy(source);
            source = nullptr;
        }
    }
    if (source == nullptr) {
        return nullptr;
    }
    const OvUInt8 savedFormat = raster->cFormat;
    raster->cFormat = static_cast<OvUInt8>(raster->cFormat & ~kAutoMipmapBit);
    OvInt32 levels = OvRasterGetNumLevels(raster);
    levels = levels < 1 ? 1 : levels > kMaxLevels ? kMaxLevels : levels;
    OvImage* images[kMaxLevels] = {source};
    bool ok = true;
    for (OvInt32 level = 1; ok && level < levels; ++level) {
        ok = OvRasterLock(raster, static_cast<OvUInt8>(level), ovRASTERLOCKREAD) != nullptr;
        if (ok) {
            images[level] = OvImageCreateResampled(source, raster->width, raster->height);
            OvRasterUnlock(raster);
            ok = images[level] != nullptr;
        }
    }
    const OvInt32 format = OvRasterGetFormat(raster);
    OvUInt8 palette[256 * 4];
    if (ok && IsPalettised(format)) {
        ok = OvTexturePalettizeImages(palette, image, images, levels, PaletteDepth(format)) != FALSE;
        if (ok) {
            GammaCorrectOnce(images[0]);
        }
    } else if (ok) {
        for (OvInt32 level = 0; level < levels; ++level) {
            GammaCorrectOnce(images[level]);
        }
    }
    ok = ok && WriteLevels(raster, images, levels, image);
    DestroyImages(images, levels, image);
    raster->cFormat = static_cast<OvUInt8>((raster->cFormat & ~kAutoMipmapBit) | (savedFormat & kAutoMipmapBit));
    return ok ? raster : nullptr;
}

OvTexture* OvTextureMergeAlpha(OvTexture* colourTexture, OvTexture* alphaTexture) {
    if (alphaTexture == nullptr || alphaTexture->raster == nullptr ||
        (colourTexture != nullptr && colourTexture->raster == nullptr)) {
        Report(OvErrorCode(ovERRNULLARGUMENT));
        return nullptr;
    }
    OvImage* alpha = ImageOfRaster(alphaTexture->raster);
    if (alpha == nullptr) {
        return nullptr;
    }
    OvImage* colour = nullptr;
    if (colourTexture != nullptr) {
        colour = ImageOfRaster(colourTexture->raster);
    } else if ((colour = NewImage(alpha->width, alpha->height, 32)) != nullptr) {
        std::memset(colour->cpPixels, 0xFF,
                    static_cast<std::size_t>(colour->stride) * static_cast<std::size_t>(colour->height));
    }
    OvTexture* result = nullptr;
    OvRaster* raster = nullptr;
    const OvTexture* sourceTexture = colourTexture != nullptr ? colourTexture : alphaTexture;
    if (colour != nullptr && (alpha->width != colour->width || alpha->height != colour->height)) {
        OvImage* resized = NewImage(colour->width, colour->height, 32);
        if (resized != nullptr && OvImageResample(resized, alpha) == nullptr) {
            OvImageDestroy(resized);
            resized = nullptr;
        }
        OvImageDestroy(alpha);
        alpha = resized;
    }
    if (colour != nullptr && alpha != nullptr) {
        OvImageAlphaFromIntensity(alpha);
        OvInt32 width = 0, height = 0, depth = 0, format = 0;
        if (OvImageApplyMask(colour, alpha) != nullptr &&
            OvRasterQueryFormat(colour, ovRASTERTYPETEXTURE, &width, &height, &depth, &format) != nullptr) {
            if (OvRasterGetFormat(sourceTexture->raster) & ovRASTERFORMATMIPMAP) {
                format |= ovRASTERFORMATMIPMAP | ovRASTERFORMATAUTOMIPMAP;
            }
            raster = OvRasterCreate(width, height, depth, format);
        }
    }
    if (raster != nullptr && OvRasterSetFromImage(raster, colour) != nullptr) {
        result = OvTextureCreate(raster);
    }
    if (result == nullptr && raster != nullptr) {
        OvRasterDestroy(raster);
    }
    if (result != nullptr) {
        const OvUInt32 u = OvTextureGetAddressingU(sourceTexture);
        const OvUInt32 v = OvTextureGetAddressingV(sourceTexture);
        const OvUInt32 addressing = u == v ? u : 0;
        result->filterAddressing = OvTextureGetFilterMode(sourceTexture) | addressing << 8 | addressing << 12;
        // The name interleaves the two names until both are used up or 30 characters are taken.
        const char* a = colourTexture != nullptr ? colourTexture->name : alphaTexture->name;
        const char* b = alphaTexture->name;
        char name[ovTEXTURENAMESIZE] = {};
        int n = 0;
        while ((*a != '\0' || *b != '\0') && n < 30) {
            if (*a != '\0') {
                name[n++] = *a++;
            }
            if (*b != '\0') {
                name[n++] = *b++;
            }
        }
        OvTextureSetName(result, name);
    }
    if (colour != nullptr) {
        OvImageDestroy(colour);
    }
    if (alpha != nullptr) {
        OvImageDestroy(alpha);
    }
    return result;
}

OvTexDictionary* OvTexDictionaryCreate() {
    OvTextureModule* module = Module();
    auto* dict = static_cast<OvTexDictionary*>(OvFreeListEntryAlloc(module->dictFreeList, kObjectHint));
    if (dict == nullptr) {
        Report(OvErrorCode(ovERRNOMEMORY, sizeof(OvTexDictionary)));
        return nullptr;
    }
    *dict = {};
    dict->object.type = ovTEXDICTIONARYOBJECTTYPE;
    OvLLLinkInitHead(&dict->texturesInDict);
    OvLLLinkAddHead(&module->texDictList, &dict->lInInstance);
    if (OvPluginRegistryInitObject(&gTexDictionaryRegistry, dict) == nullptr) {
        OvLLLinkRemove(&dict->lInInstance);
        OvFreeListEntryFree(module->dictFreeList, dict);
        return nullptr;
    }
    return dict;
}

OvBool OvTexDictionaryDestroy(OvTexDictionary* dict) {
    OvTextureModule* module = Module();
    if (module->currentTexDict == dict) {
        module->currentTexDict = nullptr;
    }
    for (OvLLLink* l = dict->texturesInDict.next; l != &dict->texturesInDict;) {
        OvLLLink* next = l->next;
        OvTextureDestroy(FromLink(l));
        l = next;
    }
    // Textures other holders still reference leave with the dictionary rather than keep a link
    // into its freed record.
    while (!OvLLLinkIsEmpty(&dict->texturesInDict)) {
        OvTexDictionaryRemoveTexture(FromLink(dict->texturesInDict.next));
    }
    OvPluginRegistryDeInitObject(&gTexDictionaryRegistry, dict);
    OvLLLinkRemove(&dict->lInInstance);
    if (module->defaultDict == dict) {
        module->defaultDict = nullptr;
    }
    OvFreeListEntryFree(module->dictFreeList, dict);
    return TRUE;
}

OvTexture* OvTexDictionaryRemoveTexture(OvTexture* texture) {
    if (texture->dict != nullptr) {
        OvLLLinkRemove(&texture->lInDictionary);
        OvLLLinkInitHead(&texture->lInDictionary);
        texture->dict = nullptr;
    }
    return texture;
}

OvTexture* OvTexDictionaryAddTexture(OvTexDictionary* dict, OvTexture* texture) {
    OvTexDictionaryRemoveTexture(texture);
    OvLLLinkAddHead(&dict->texturesInDict, &texture->lInDictionary);
    texture->dict = dict;
    return texture;
}

OvTexture* OvTexDictionaryFindNamedTexture(OvTexDictionary* dict, const char* name) {
    for (OvLLLink* l = dict->texturesInDict.next; l != &dict->texturesInDict; l = l->next) {
        if (SameName(FromLink(l)->name, name)) {
            return FromLink(l);
        }
    }
    return nullptr;
}

OvTexDictionary* OvTexDictionaryForAllTextures(OvTexDictionary* dict, OvTextureCallBack callback, void* data) {
    for (OvLLLink* l = dict->texturesInDict.next; l != &dict->texturesInDict;) {
        OvLLLink* next = l->next;
        if (callback(FromLink(l), data) == nullptr) {
            break;
        }
        l = next;
    }
    return dict;
}

OvBool OvTexDictionaryForAllTexDictionaries(OvTexDictionaryCallBack callback, void* data) {
    OvLLLink* head = &Module()->texDictList;
    for (OvLLLink* l = head->next; l != head;) {
        OvLLLink* next = l->next;
        if (callback(DictFromLink(l), data) == nullptr) {
            break;
        }
        l = next;
    }
    return TRUE;
}

OvTexDictionary* OvTexDictionarySetCurrent(OvTexDictionary* dict) {
    Module()->currentTexDict = dict;
    return dict;
}

OvTexDictionary* OvTexDictionaryGetCurrent() { return Module()->currentTexDict; }
