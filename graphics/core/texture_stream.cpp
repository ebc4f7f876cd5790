#include "graphics/core/texture_stream.h"

#include <cstring>

#include "graphics/core/chunk.h"
#include "graphics/core/engine.h"
#include "graphics/core/error.h"
#include "graphics/core/image.h"
#include "graphics/core/image_processing.h"
#include "graphics/core/stream.h"
#include "graphics/core/texture_read_fault.h"

namespace {

constexpr OvUInt32 kNameBufferSize = 128;
constexpr OvUInt32 kShortRecordSize = 72;
constexpr OvUInt32 kStructHeaderAndWord = ovCHUNKHEADERSIZE + 4;

void Report(OvInt32 code) { OvErrorReport(ovPLUGINIDCORE, code); }

OvUInt32 GetU16(const OvUInt8* p) { return static_cast<OvUInt32>(p[0]) | static_cast<OvUInt32>(p[1]) << 8; }

// v takes u when it is 0.
OvUInt32 WithAddressingV(OvUInt32 word) {
    if ((word & ovTEXTUREADDRESSINGVMASK) == 0) {
        word |= (word & ovTEXTUREADDRESSINGUMASK) << 4;
    }
    return word;
}

bool UsesMipLevels(OvUInt32 filter) { return filter >= ovFILTERMIPNEAREST && filter <= ovFILTERLINEARMIPLINEAR; }

// The struct chunk (a version the reader knows), its word, the name and the mask name.
bool ReadTextureHead(OvStream* stream, OvUInt32* word, char* name, char* mask) {
    OvUInt32 length = 0;
    if (!OvStreamFindChunk(stream, ovID_STRUCT, &length, nullptr)) {
        return false;
    }
    OvUInt8 bytes[4];
    if (length < 4 || OvStreamReadStrict(stream, bytes, 4) == nullptr ||
        (length > 4 && OvStreamSkip(stream, length - 4) == nullptr)) {
        return false;
    }
    *word = WithAddressingV(OvChunkGetUInt32(bytes));
    return OvStringStreamReadBounded(name, kNameBufferSize, stream) != nullptr &&
           OvStringStreamReadBounded(mask, kNameBufferSize, stream) != nullptr;
}

// The images of one dictionary texture: level 0 first.
struct Levels {
    OvImage* images[ovTEXDICTIONARYMAXLEVELS] = {};
    OvInt32 count = 0;

    ~Levels() {
        for (OvInt32 i = 0; i < count; ++i) {
            if (images[i] != nullptr) {
                OvImageDestroy(images[i]);
            }
        }
    }
};

bool ReadLevelCount(OvUInt32 n, Levels* levels) {
    // A texture has at least one picture and never more levels than a raster can have.
    if (n == 0 || n > static_cast<OvUInt32>(ovTEXDICTIONARYMAXLEVELS)) {
        Report(OvErrorCode(ovERRBADFORMAT));
        return false;
    }
    levels->count = static_cast<OvInt32>(n);
    return true;
}

bool ReadImages(OvStream* stream, Levels* levels) {
    for (OvInt32 i = 0; i < levels->count; ++i) {
        if (!OvStreamFindChunk(stream, ovID_IMAGE, nullptr, nullptr) ||
            (levels->images[i] = OvImageStreamRead(stream)) == nullptr) {
            return false;
        }
        if ((levels->images[i]->flags & ovIMAGEGAMMACORRECTED) == 0) {
            OvImageGammaCorrect(levels->images[i]);
        }
    }
    return true;
}

// Makes the raster for a texture's images and writes its levels; null on failure.
OvRaster* MakeRaster(Levels* levels, OvUInt32 filter) {
    const OvInt32 n = levels->count;
    const OvInt32 flags = n >= 2 ? ovRASTERTYPETEXTURE | ovRASTERFORMATMIPMAP
                          : (filter == ovFILTERNEAREST || filter == ovFILTERLINEAR)
                              ? ovRASTERTYPETEXTURE
                              : ovRASTERTYPETEXTURE | ovRASTERFORMATMIPMAP | ovRASTERFORMATAUTOMIPMAP;
    OvInt32 width = 0, height = 0, depth = 0, format = 0;
    if (OvRasterQueryFormat(levels->images[0], flags, &width, &height, &depth, &format) == nullptr) {
        Report(OvErrorCode(ovERRBADFORMAT));
        return nullptr;
    }
    OvRaster* raster = OvRasterCreate(width, height, depth, format | flags);
    if (raster == nullptr) {
        return nullptr;
    }
    if (raster->width != levels->images[0]->width || raster->height != levels->images[0]->height) {
        if (raster->depth == 8) {
            // Resampled pictures are no longer palettised: a raster of true colours takes them.
            OvRasterDestroy(raster);
            raster = OvRasterCreate(width, height, 32, ovRASTERFORMAT8888 | flags);
            if (raster == nullptr) {
                raster = OvRasterCreate(width, height, 16, ovRASTERFORMAT1555 | flags);
            }
            if (raster == nullptr) {
                return nullptr;
            }
        }
        const OvInt32 rasterLevels = OvRasterGetNumLevels(raster);
        OvInt32 w = raster->width;
        OvInt32 h = raster->height;
        for (OvInt32 i = 0; i < n && i < rasterLevels; ++i) {
            OvImage* resampled = OvImageCreateResampled(levels->images[i], w, h);
            if (resampled == nullptr) {
                OvRasterDestroy(raster);
                return nullptr;
            }
            OvImageDestroy(levels->images[i]);
            levels->images[i] = resampled;
            w = w > 1 ? w / 2 : 1;
            h = h > 1 ? h / 2 : 1;
        }
    }
    const OvUInt8 autoBit = ovRASTERFORMATAUTOMIPMAP >> 8;
    const OvUInt8 savedFormat = raster->cFormat;
    if (n >= 2) {
        raster->cFormat = static_cast<OvUInt8>(raster->cFormat & ~autoBit);
    }
    const OvInt32 rasterLevels = OvRasterGetNumLevels(raster);
    bool ok = rasterLevels >= 1;
    for (OvInt32 i = 0; ok && i < n && i < rasterLevels; ++i) {
        ok = OvRasterLock(raster, static_cast<OvUInt8>(i), ovRASTERLOCKWRITE) != nullptr;
        if (ok) {
            ok = OvRasterSetFromImage(raster, levels->images[i]) != nullptr;
            OvRasterUnlock(raster);
        }
    }
    raster->cFormat = static_cast<OvUInt8>((raster->cFormat & ~autoBit) | (savedFormat & autoBit));
    if (!ok) {
        OvRasterDestroy(raster);
        return nullptr;
    }
    return raster;
}

// One texture of the full form; added to the current dictionary.
bool ReadFullTexture(OvStream* stream) {
    OvUInt8 countBytes[4];
    Levels levels;
    if (OvStreamReadStrict(stream, countBytes, 4) == nullptr ||
        !ReadLevelCount(OvChunkGetUInt32(countBytes), &levels) || !ReadImages(stream, &levels) ||
        !OvStreamFindChunk(stream, ovID_TEXTURE, nullptr, nullptr)) {
        return false;
    }
    OvUInt32 word = 0;
    char name[kNameBufferSize];
    char mask[kNameBufferSize];
    if (!ReadTextureHead(stream, &word, name, mask)) {
        return false;
    }
    OvTexture* texture = OvTextureCreate(nullptr);
    if (texture == nullptr) {
        return false;
    }
    OvTextureSetName(texture, name);
    OvTextureSetMaskName(texture, mask);
    texture->filterAddressing = word & 0xFFFF;
    OvRaster* raster = MakeRaster(&levels, word & ovTEXTUREFILTERMODEMASK);
    if (raster == nullptr) {
        OvTextureDestroy(texture);
        return false;
    }
    if (OvTextureSetRaster(texture, raster) == nullptr) {
        OvRasterDestroy(raster);
        OvTextureDestroy(texture);
        return false;
    }
    if (OvPluginRegistryReadDataChunks(OvTextureGetRegistry(), stream, texture) == nullptr) {
        OvTextureDestroy(texture);
        return false;
    }
    OvTexDictionaryAddTexture(OvTexDictionaryGetCurrent(), texture);
    return true;
}

// One texture of the short form; added at the head of the current dictionary.
bool ReadShortTexture(OvStream* stream) {
    OvUInt8 record[kShortRecordSize];
    Levels levels;
    if (OvStreamReadStrict(stream, record, kShortRecordSize) == nullptr ||
        !ReadLevelCount(OvChunkGetUInt32(record + 64), &levels) || !ReadImages(stream, &levels)) {
        return false;
    }
    const OvUInt32 word = OvChunkGetUInt32(record + 68);
    OvRaster* raster = MakeRaster(&levels, word & ovTEXTUREFILTERMODEMASK);
    if (raster == nullptr) {
        return false;
    }
    OvTexture* texture = OvTextureCreate(raster);
    if (texture == nullptr) {
        OvRasterDestroy(raster);
        return false;
    }
    // The stored 32-byte names need not end in a NUL.
    char name[ovTEXTURENAMESIZE + 1] = {};
    char mask[ovTEXTURENAMESIZE + 1] = {};
    std::memcpy(name, record, ovTEXTURENAMESIZE);
    std::memcpy(mask, record + ovTEXTURENAMESIZE, ovTEXTURENAMESIZE);
    OvTextureSetName(texture, name);
    OvTextureSetMaskName(texture, mask);
    OvUInt32 u = (word >> 8) & 0xF;
    OvUInt32 v = (word >> 12) & 0xF;
    u = u != 0 ? u : v;
    v = v != 0 ? v : u;
    if (u == 0) {
        u = v = ovTEXTUREADDRESSWRAP;
    }
    texture->filterAddressing = (word & ovTEXTUREFILTERMODEMASK) | u << 8 | v << 12;
    OvTexDictionaryAddTexture(OvTexDictionaryGetCurrent(), texture);
    return true;
}

const OvTexture* TextureOfLink(const OvLLLink* l) {
    return reinterpret_cast<const OvTexture*>(reinterpret_cast<const char*>(l) - offsetof(OvTexture, lInDictionary));
}

} // namespace

OvUInt32 OvTextureStreamGetSize(const OvTexture* texture) {
    return kStructHeaderAndWord + (ovCHUNKHEADERSIZE + OvStringStreamGetSize(texture->name)) +
           (ovCHUNKHEADERSIZE + OvStringStreamGetSize(texture->mask)) +
           (ovCHUNKHEADERSIZE + static_cast<OvUInt32>(OvPluginRegistryGetSize(OvTextureGetRegistry(), texture)));
}

const OvTexture* OvTextureStreamWrite(const OvTexture* texture, OvStream* stream) {
    OvUInt32 word = texture->filterAddressing & 0xFFFF;
    if (texture->raster != nullptr && (OvRasterGetFormat(texture->raster) & ovRASTERFORMATAUTOMIPMAP) == 0) {
        word |= ovTEXTURESTREAMOWNLEVELS;
    }
    OvUInt8 bytes[4];
    OvChunkPutUInt32(bytes, word);
    if (OvStreamWriteChunkHeader(stream, ovID_TEXTURE, OvTextureStreamGetSize(texture), ovLIBRARYVERSION,
                                 ovLIBRARYBUILD) == nullptr ||
        OvStreamWriteChunkHeader(stream, ovID_STRUCT, 4, ovLIBRARYVERSION, ovLIBRARYBUILD) == nullptr ||
        OvStreamWrite(stream, bytes, 4) == nullptr || OvStringStreamWrite(texture->name, stream) == nullptr ||
        OvStringStreamWrite(texture->mask, stream) == nullptr ||
        OvPluginRegistryWriteDataChunks(OvTextureGetRegistry(), stream, texture) == nullptr) {
        return nullptr;
    }
    return texture;
}

OvTexture* OvTextureStreamRead(OvStream* stream) {
    OvUInt32 word = 0;
    char name[kNameBufferSize];
    char mask[kNameBufferSize];
    if (!ReadTextureHead(stream, &word, name, mask)) {
        OvTextureNoteChunkFailure();
        return nullptr;
    }
    const OvBool savedMipmapping = OvTextureGetMipmapping();
    const OvBool savedAutoMipmapping = OvTextureGetAutoMipmapping();
    const bool mipmapped = UsesMipLevels(word & ovTEXTUREFILTERMODEMASK);
    OvTextureSetMipmapping(mipmapped ? TRUE : FALSE);
    OvTextureSetAutoMipmapping(mipmapped && (word & ovTEXTURESTREAMOWNLEVELS) == 0 ? TRUE : FALSE);
    OvTexture* texture = OvTextureRead(name, mask);
    OvTextureSetMipmapping(savedMipmapping);
    OvTextureSetAutoMipmapping(savedAutoMipmapping);
    if (texture == nullptr) {
        OvPluginRegistrySkipDataChunks(OvTextureGetRegistry(), stream);
        return nullptr;
    }
    const bool isNew = texture->refCount == 1;
    if (isNew) {
        texture->filterAddressing = word & 0xFFFF;
    }
    const bool extensionDone = isNew
                                   ? OvPluginRegistryReadDataChunks(OvTextureGetRegistry(), stream, texture) != nullptr
                                   : OvPluginRegistrySkipDataChunks(OvTextureGetRegistry(), stream) != nullptr;
    if (!extensionDone) {
        OvTextureNoteChunkFailure();
        OvTextureDestroy(texture);
        return nullptr;
    }
    return texture;
}

OvBool OvTextureStreamReadBody(OvStream* stream, OvUInt32 length, OvTexture** texture) {
    *texture = nullptr;
    const OvUInt32 left = OvStreamGetBytesLeft(stream);
    if (left != 0xFFFFFFFFu && length > left) {
        OvErrorReport(ovPLUGINIDCORE, OvErrorCode(ovERRREAD));
        return FALSE;
    }
    // A custom stream cannot say how much it holds: the body is taken in steps as it arrives.
    OvUInt8* body = nullptr;
    OvUInt32 have = 0;
    while (have < length) {
        const OvUInt32 step = length - have < 65536 ? length - have : 65536;
        auto* grown = static_cast<OvUInt8*>(OvRealloc(body, have + step, ovMEMHINTDUR_FUNCTION | ovID_TEXTURE));
        if (grown == nullptr) {
            if (body != nullptr) {
                OvFree(body);
            }
            OvErrorReport(ovPLUGINIDCORE, OvErrorCode(ovERRNOMEMORY, static_cast<std::size_t>(have + step)));
            return FALSE;
        }
        body = grown;
        if (OvStreamReadStrict(stream, body + have, step) == nullptr) {
            OvFree(body);
            return FALSE;
        }
        have += step;
    }
    OvMemory memory = {body, length};
    OvStream* inner = OvStreamOpen(ovSTREAMMEMORY, ovSTREAMREAD, &memory);
    if (inner != nullptr) {
        *texture = OvTextureStreamRead(inner);
        OvStreamClose(inner, nullptr);
    }
    if (body != nullptr) {
        OvFree(body);
    }
    return inner != nullptr ? TRUE : FALSE;
}

OvTexDictionary* OvTexDictionaryStreamReadImages(OvStream* stream) {
    OvUInt8 head[4];
    if (OvStreamReadStrict(stream, head, 4) == nullptr) {
        return nullptr;
    }
    const OvUInt32 count = GetU16(head);
    const bool fullForm = GetU16(head + 2) != 0;
    OvTexDictionary* dict = OvTexDictionaryCreate();
    if (dict == nullptr) {
        return nullptr;
    }
    OvTexDictionary* previous = OvTexDictionaryGetCurrent();
    OvTexDictionarySetCurrent(dict);
    bool ok = true;
    for (OvUInt32 i = 0; ok && i < count; ++i) {
        ok = fullForm ? ReadFullTexture(stream) : ReadShortTexture(stream);
    }
    OvTexDictionarySetCurrent(previous);
    if (!ok) {
        // Nothing of a damaged dictionary is kept.
        OvTexDictionaryDestroy(dict);
        return nullptr;
    }
    return dict;
}

namespace {

// The full-form body of one texture: its level count, its levels and its texture chunk.
bool WriteTextureLevels(const OvTexture* texture, OvStream* stream) {
    OvRaster* raster = texture->raster;
    OvInt32 levels = OvRasterGetNumLevels(raster);
    if (levels < 1) {
        return false;
    }
    levels = levels > ovTEXDICTIONARYMAXLEVELS ? ovTEXDICTIONARYMAXLEVELS : levels;
    OvUInt8 bytes[4];
    OvChunkPutUInt32(bytes, static_cast<OvUInt32>(levels));
    if (OvStreamWrite(stream, bytes, 4) == nullptr) {
        return false;
    }
    for (OvInt32 level = 0; level < levels; ++level) {
        if (OvRasterLock(raster, static_cast<OvUInt8>(level), ovRASTERLOCKREAD) == nullptr) {
            return false;
        }
        OvImage* image = OvImageCreate(raster->width, raster->height, 32);
        bool ok = image != nullptr && OvImageAllocatePixels(image) != nullptr &&
                  OvImageSetFromRaster(image, raster) != nullptr;
        OvRasterUnlock(raster);
        ok = ok && OvImageStreamWrite(image, stream) != nullptr;
        if (image != nullptr) {
            OvImageDestroy(image);
        }
        if (!ok) {
            return false;
        }
    }
    return OvTextureStreamWrite(texture, stream) != nullptr;
}

} // namespace

const OvTexDictionary* OvTexDictionaryStreamWriteImages(const OvTexDictionary* dict, OvStream* stream) {
    // The body goes to memory first: its length heads the chunk.
    OvStream* body = OvStreamOpen(ovSTREAMMEMORY, ovSTREAMWRITE, nullptr);
    if (body == nullptr) {
        return nullptr;
    }
    OvUInt32 count = 0;
    for (const OvLLLink* l = dict->texturesInDict.next; l != &dict->texturesInDict; l = l->next) {
        count++;
    }
    // Textures are written oldest first, so that reading them back (each put at the head)
    // gives the same order.
    const OvUInt8 head[4] = {static_cast<OvUInt8>(count), static_cast<OvUInt8>(count >> 8), 1, 0};
    bool ok = count <= 0xFFFF && OvStreamWrite(body, head, 4) != nullptr;
    OvUInt32 written = 0;
    for (const OvLLLink* l = dict->texturesInDict.prev; ok && l != &dict->texturesInDict; l = l->prev) {
        const OvTexture* texture = TextureOfLink(l);
        if (texture->raster != nullptr) {
            ok = WriteTextureLevels(texture, body);
            written++;
        }
    }
    OvMemory memory = {};
    OvStreamClose(body, &memory);
    if (ok && written != count) {
        // Textures without a raster were left out: the count says how many follow.
        memory.start[0] = static_cast<OvUInt8>(written);
        memory.start[1] = static_cast<OvUInt8>(written >> 8);
    }
    ok = ok &&
         OvStreamWriteChunkHeader(stream, ovID_TEXDICTIONARYIMAGES, memory.length, ovLIBRARYVERSION, ovLIBRARYBUILD) !=
             nullptr &&
         OvStreamWrite(stream, memory.start, memory.length) != nullptr;
    OvFree(memory.start);
    return ok ? dict : nullptr;
}

OvUInt32 OvTextureStreamGetSizeNative(const OvTexture* texture) {
    OvUInt32 driverChunk = 0;
    if (OvStandardCall(ovSTANDARDNATIVETEXTUREGETSIZE, &driverChunk, const_cast<OvTexture*>(texture), 0) <= 0) {
        return 0;
    }
    return driverChunk + ovCHUNKHEADERSIZE +
           static_cast<OvUInt32>(OvPluginRegistryGetSize(OvTextureGetRegistry(), texture));
}

const OvTexture* OvTextureStreamWriteNative(const OvTexture* texture, OvStream* stream) {
    const OvUInt32 size = OvTextureStreamGetSizeNative(texture);
    if (size == 0 ||
        OvStreamWriteChunkHeader(stream, ovID_TEXTURENATIVE, size, ovLIBRARYVERSION, ovLIBRARYBUILD) == nullptr ||
        OvStandardCall(ovSTANDARDNATIVETEXTUREWRITE, stream, const_cast<OvTexture*>(texture), 0) <= 0 ||
        OvPluginRegistryWriteDataChunks(OvTextureGetRegistry(), stream, texture) == nullptr) {
        return nullptr;
    }
    return texture;
}

OvTexture* OvTextureStreamReadNative(OvStream* stream) {
    OvTexture* texture = nullptr;
    if (OvStandardCall(ovSTANDARDNATIVETEXTUREREAD, stream, &texture, 0) <= 0 || texture == nullptr) {
        return nullptr;
    }
    if (OvPluginRegistryReadDataChunks(OvTextureGetRegistry(), stream, texture) == nullptr) {
        OvTextureDestroy(texture);
        return nullptr;
    }
    return texture;
}

const OvTexDictionary* OvTexDictionaryStreamWriteNative(const OvTexDictionary* dict, OvStream* stream) {
    OvUInt32 count = 0;
    OvUInt32 size = ovCHUNKHEADERSIZE + 4;
    for (const OvLLLink* l = dict->texturesInDict.next; l != &dict->texturesInDict; l = l->next) {
        const OvUInt32 body = OvTextureStreamGetSizeNative(TextureOfLink(l));
        if (body == 0) {
            return nullptr;
        }
        size += ovCHUNKHEADERSIZE + body;
        count++;
    }
    const OvUInt8 head[4] = {static_cast<OvUInt8>(count), static_cast<OvUInt8>(count >> 8), 0, 0};
    if (count > 0xFFFF ||
        OvStreamWriteChunkHeader(stream, ovID_TEXDICTIONARY, size, ovLIBRARYVERSION, ovLIBRARYBUILD) == nullptr ||
        OvStreamWriteChunkHeader(stream, ovID_STRUCT, 4, ovLIBRARYVERSION, ovLIBRARYBUILD) == nullptr ||
        OvStreamWrite(stream, head, 4) == nullptr) {
        return nullptr;
    }
    // Oldest first, so that reading them back (each put at the head) gives the same order.
    for (const OvLLLink* l = dict->texturesInDict.prev; l != &dict->texturesInDict; l = l->prev) {
        if (OvTextureStreamWriteNative(TextureOfLink(l), stream) == nullptr) {
            return nullptr;
        }
    }
    return dict;
}

OvTexDictionary* OvTexDictionaryStreamReadNative(OvStream* stream) {
    OvUInt32 length = 0;
    OvUInt8 head[4];
    if (!OvStreamFindChunk(stream, ovID_STRUCT, &length, nullptr) || length < 4 ||
        OvStreamReadStrict(stream, head, 4) == nullptr || (length > 4 && OvStreamSkip(stream, length - 4) == nullptr)) {
        return nullptr;
    }
    const OvUInt32 count = GetU16(head);
    OvTexDictionary* dict = OvTexDictionaryCreate();
    if (dict == nullptr) {
        return nullptr;
    }
    bool ok = true;
    for (OvUInt32 i = 0; ok && i < count; ++i) {
        OvTexture* texture = nullptr;
        ok = OvStreamFindChunk(stream, ovID_TEXTURENATIVE, nullptr, nullptr) &&
             (texture = OvTextureStreamReadNative(stream)) != nullptr;
        if (ok) {
            OvTexDictionaryAddTexture(dict, texture);
        }
    }
    if (!ok) {
        // Nothing of a damaged dictionary is kept.
        OvTexDictionaryDestroy(dict);
        return nullptr;
    }
    return dict;
}
