#include "graphics/core/d3d9/native_texture.h"

#include <algorithm>
#include <cstdint>
#include <cstring>

#include "graphics/core/chunk.h"
#include "graphics/core/d3d9/device.h"
#include "graphics/core/d3d9/raster.h"
#include "graphics/core/raster.h"
#include "graphics/core/texture.h"

namespace {

OvUInt32 LevelSide(OvUInt32 side, OvUInt32 level) {
    const OvUInt32 s = level < 32 ? side >> level : 0;
    return s > 0 ? s : 1;
}

bool KnownDepth(OvUInt32 depth) {
    switch (depth) {
    case 4:
    case 8:
    case 16:
    case 24:
    case 32:
    case 64:
    case 128:
        return true;
    default:
        return false;
    }
}

// A damaged chunk is refused without an error of the reader's own: the stream reports what it
// ran out of, the raster module what it could not make.
bool Refuse() { return false; }

} // namespace

OvUInt32 OvD3D9NativePaletteBytes(OvUInt32 formatFlags) {
    if (formatFlags & ovRASTERFORMATPAL8) {
        return 1024;
    }
    return (formatFlags & ovRASTERFORMATPAL4) ? 128 : 0;
}

OvUInt32 OvD3D9NativeFaces(const OvD3D9NativeTexture& header) { return (header.flags & ovD3D9NATIVECUBE) ? 6 : 1; }

OvUInt32 OvD3D9NativeStoredLevels(const OvD3D9NativeTexture& header) {
    return (header.flags & ovD3D9NATIVEAUTOMIPMAP) ? 1 : header.numLevels;
}

OvBool OvD3D9FormatIsCompressed(D3DFORMAT format) {
    return format == D3DFMT_DXT1 || format == D3DFMT_DXT2 || format == D3DFMT_DXT3 || format == D3DFMT_DXT4 ||
           format == D3DFMT_DXT5;
}

OvUInt32 OvD3D9NativeLevelMinBytes(const OvD3D9NativeTexture& header, OvUInt32 level) {
    const std::uint64_t w = LevelSide(header.width, level), h = LevelSide(header.height, level);
    std::uint64_t bytes = 0;
    if (OvD3D9FormatIsCompressed(header.format)) {
        const std::uint64_t block = header.format == D3DFMT_DXT1 ? 8 : 16;
        bytes = (w + 3) / 4 * block * ((h + 3) / 4);
    } else {
        const std::uint64_t pixel = header.depth >= 8 ? header.depth / 8 : 1;
        bytes = w * pixel * h;
    }
    return bytes > 0xFFFFFFFFu ? 0xFFFFFFFFu : static_cast<OvUInt32>(bytes);
}

OvUInt32 OvD3D9NativeChunkSize(const OvD3D9NativeTexture& header, OvBool hasRaster, const OvUInt32* levelBytes) {
    if (!hasRaster) {
        return 12 + ovD3D9NATIVETEXTUREBYTES;
    }
    OvUInt32 face = 0;
    for (OvUInt32 i = 0; i < OvD3D9NativeStoredLevels(header); ++i) {
        face += 4 + levelBytes[i];
    }
    return 12 + ovD3D9NATIVETEXTUREBYTES + ovD3D9NATIVERASTERBYTES + OvD3D9NativePaletteBytes(header.formatFlags) +
           OvD3D9NativeFaces(header) * face;
}

OvStream* OvD3D9NativeHeaderWrite(OvStream* stream, const OvD3D9NativeTexture& header, OvBool hasRaster,
                                  OvUInt32 chunkSize) {
    OvUInt8 bytes[ovD3D9NATIVETEXTUREBYTES + ovD3D9NATIVERASTERBYTES] = {};
    OvChunkPutUInt32(bytes, header.platform);
    OvChunkPutUInt32(bytes + 4, header.sampling & 0xFFFF);
    std::memcpy(bytes + 8, header.name, 32);
    std::memcpy(bytes + 40, header.maskName, 32);
    OvChunkPutUInt32(bytes + 72, header.formatFlags);
    OvChunkPutUInt32(bytes + 76, header.format);
    bytes[80] = static_cast<OvUInt8>(header.width);
    bytes[81] = static_cast<OvUInt8>(header.width >> 8);
    bytes[82] = static_cast<OvUInt8>(header.height);
    bytes[83] = static_cast<OvUInt8>(header.height >> 8);
    bytes[84] = header.depth;
    bytes[85] = header.numLevels;
    bytes[86] = header.type;
    bytes[87] = header.flags;
    if (OvStreamWriteChunkHeader(stream, ovID_STRUCT, chunkSize - 12, ovD3D9NATIVEVERSION, ovD3D9NATIVEBUILD) ==
        nullptr) {
        return nullptr;
    }
    return OvStreamWrite(stream, bytes, hasRaster ? sizeof bytes : ovD3D9NATIVETEXTUREBYTES);
}

OvBool OvD3D9NativeHeaderRead(OvStream* stream, OvD3D9NativeTexture* header, OvUInt32* bodyLeft) {
    OvUInt32 length = 0;
    if (!OvStreamFindChunk(stream, ovID_STRUCT, &length, nullptr)) {
        return FALSE;
    }
    OvUInt8 bytes[ovD3D9NATIVETEXTUREBYTES + ovD3D9NATIVERASTERBYTES];
    if (OvStreamReadStrict(stream, bytes, ovD3D9NATIVETEXTUREBYTES) == nullptr) {
        return FALSE;
    }
    header->platform = OvChunkGetUInt32(bytes);
    header->sampling = OvChunkGetUInt32(bytes + 4);
    std::memcpy(header->name, bytes + 8, 32);
    std::memcpy(header->maskName, bytes + 40, 32);
    header->name[31] = '\0'; // a full field is cut to keep the name terminated
    header->maskName[31] = '\0';
    if (header->platform != ovD3D9NATIVEPLATFORM) {
        return Refuse();
    }
    if (length == ovD3D9NATIVETEXTUREBYTES) {
        // A texture without a raster: the raster fields stay zero.
        header->formatFlags = 0;
        header->format = D3DFMT_UNKNOWN;
        header->width = header->height = 0;
        header->depth = header->numLevels = header->type = header->flags = 0;
        *bodyLeft = 0;
        return TRUE;
    }
    if (OvStreamReadStrict(stream, bytes + ovD3D9NATIVETEXTUREBYTES, ovD3D9NATIVERASTERBYTES) == nullptr) {
        return FALSE;
    }
    const OvUInt8* r = bytes + ovD3D9NATIVETEXTUREBYTES;
    header->formatFlags = OvChunkGetUInt32(r);
    header->format = OvChunkGetUInt32(r + 4);
    header->width = static_cast<OvUInt16>(r[8] | r[9] << 8);
    header->height = static_cast<OvUInt16>(r[10] | r[11] << 8);
    header->depth = r[12];
    header->numLevels = r[13];
    header->type = r[14];
    header->flags = r[15];

    // The fields that size what follows must describe a texture that can exist.
    OvUInt32 maxLevels = 1;
    for (OvUInt32 side = header->width > header->height ? header->width : header->height; side > 1; side >>= 1) {
        ++maxLevels;
    }
    const OvUInt32 palette = header->formatFlags & (ovRASTERFORMATPAL4 | ovRASTERFORMATPAL8);
    if (header->width == 0 || header->height == 0 || header->numLevels == 0 || header->numLevels > maxLevels ||
        !KnownDepth(header->depth) || (header->formatFlags & ~0xFF00u) != 0 ||
        (palette == ovRASTERFORMATPAL4 && header->depth != 4) ||
        (palette == ovRASTERFORMATPAL8 && header->depth != 8) || palette == (ovRASTERFORMATPAL4 | ovRASTERFORMATPAL8) ||
        ((header->flags & ovD3D9NATIVECUBE) && header->width != header->height) ||
        ((header->flags & ovD3D9NATIVECOMPRESSED) != 0) != (OvD3D9FormatIsCompressed(header->format) != 0)) {
        return Refuse();
    }
    // The body must hold every stored level at least as a tight pitch gives it: a header alone does
    // not get to make a raster far larger than the chunk that describes it.
    const std::uint64_t fixed = ovD3D9NATIVETEXTUREBYTES + ovD3D9NATIVERASTERBYTES;
    std::uint64_t face = 0;
    for (OvUInt32 level = 0; level < OvD3D9NativeStoredLevels(*header); ++level) {
        face += 4ull + OvD3D9NativeLevelMinBytes(*header, level);
    }
    const std::uint64_t least =
        fixed + OvD3D9NativePaletteBytes(header->formatFlags) + OvD3D9NativeFaces(*header) * face;
    // Both against the chunk's own length word and against what the stream still holds: a length
    // word that promises more than the stream has must not get a raster made first.
    if (length < least || length - fixed > OvStreamGetBytesLeft(stream)) {
        return Refuse();
    }
    *bodyLeft = static_cast<OvUInt32>(length - fixed);
    return TRUE;
}

OvStream* OvD3D9NativeLevelWrite(OvStream* stream, const OvUInt8* bits, OvUInt32 count) {
    OvUInt8 word[4];
    OvChunkPutUInt32(word, count);
    if (OvStreamWrite(stream, word, 4) == nullptr) {
        return nullptr;
    }
    for (OvUInt32 done = 0; done < count;) {
        const OvUInt32 piece = count - done < 1024 ? count - done : 1024;
        if (OvStreamWrite(stream, bits + done, piece) == nullptr) {
            return nullptr;
        }
        done += piece;
    }
    return stream;
}

OvBool OvD3D9NativeLevelRead(OvStream* stream, OvUInt8* bits, OvUInt32 capacity, OvUInt32* count) {
    OvUInt8 word[4];
    if (OvStreamReadStrict(stream, word, 4) == nullptr) {
        return FALSE;
    }
    *count = OvChunkGetUInt32(word);
    if (*count > capacity) {
        return Refuse();
    }
    return OvStreamReadStrict(stream, bits, *count) != nullptr ? TRUE : FALSE;
}

namespace {

constexpr OvUInt32 kMaxLevels = 32;

// What a texture stores: its header and the byte count of each stored level of face 0.
struct Description {
    OvD3D9NativeTexture header{};
    OvBool hasRaster = FALSE;
    OvUInt32 levelBytes[kMaxLevels] = {};
};

// The byte count of a locked level: its pitch times its rows (block rows when compressed).
OvUInt32 LockedBytes(const OvRaster* raster, OvBool compressed) {
    const OvInt32 rows = compressed ? (raster->height + 3) / 4 : raster->height;
    return static_cast<OvUInt32>(raster->stride) * static_cast<OvUInt32>(rows);
}

bool Describe(const OvTexture* texture, Description* d) {
    OvD3D9NativeTexture& h = d->header;
    h.platform = ovD3D9NATIVEPLATFORM;
    h.sampling = texture->filterAddressing & 0xFFFF;
    std::memcpy(h.name, texture->name, sizeof h.name - 1);
    std::memcpy(h.maskName, texture->mask, sizeof h.maskName - 1);
    OvRaster* raster = texture->raster;
    d->hasRaster = raster != nullptr ? TRUE : FALSE;
    if (raster == nullptr) {
        return true;
    }
    const OvD3D9RasterExt* ext = OvD3D9RasterExtGet(raster);
    const OvInt32 levels = OvRasterGetNumLevels(raster);
    if (raster->parent != raster || raster->cpPixels != nullptr || raster->width <= 0 || raster->height <= 0 ||
        raster->width > 0xFFFF || raster->height > 0xFFFF || levels < 1 || levels > static_cast<OvInt32>(kMaxLevels) ||
        (ext->texture == nullptr && ext->cubeTexture == nullptr)) {
        return false;
    }
    const OvBool compressed = OvD3D9RasterIsCompressed(raster);
    h.formatFlags = static_cast<OvUInt32>(OvRasterGetFormat(raster));
    h.format = ext->format;
    h.width = static_cast<OvUInt16>(raster->width);
    h.height = static_cast<OvUInt16>(raster->height);
    h.depth = static_cast<OvUInt8>(raster->depth);
    h.numLevels = static_cast<OvUInt8>(levels);
    h.type = raster->cType;
    h.flags = static_cast<OvUInt8>(
        (ext->hasAlpha ? ovD3D9NATIVEHASALPHA : 0) | (OvD3D9RasterIsCubeMap(raster) ? ovD3D9NATIVECUBE : 0) |
        ((ext->mipGen & ovD3D9MIPGENDEVICE) ? ovD3D9NATIVEAUTOMIPMAP : 0) | (compressed ? ovD3D9NATIVECOMPRESSED : 0));
    OvD3D9RasterSetCubeFace(raster, 0);
    for (OvUInt32 level = 0; level < OvD3D9NativeStoredLevels(h); ++level) {
        if (OvRasterLock(raster, static_cast<OvUInt8>(level), ovRASTERLOCKREAD) == nullptr) {
            return false;
        }
        d->levelBytes[level] = LockedBytes(raster, compressed);
        OvRasterUnlock(raster);
    }
    return true;
}

OvRaster* MakeRaster(const OvD3D9NativeTexture& h) {
    const OvInt32 type = h.type;
    const auto flags = static_cast<OvInt32>(h.formatFlags);
    if (type != ovRASTERTYPENORMAL && type != ovRASTERTYPETEXTURE && type != ovRASTERTYPECAMERATEXTURE) {
        return nullptr;
    }
    const bool compressed = (h.flags & ovD3D9NATIVECOMPRESSED) != 0;
    const bool cube = (h.flags & ovD3D9NATIVECUBE) != 0;
    const bool autoMip = (flags & ovRASTERFORMATMIPMAP) && (flags & ovRASTERFORMATAUTOMIPMAP);
    if (compressed || cube) {
        if (compressed && !OvD3D9CheckTextureFormat(h.format)) {
            return nullptr;
        }
        const OvUInt32 levels = (flags & ovRASTERFORMATMIPMAP) ? h.numLevels : 1;
        if (cube && levels > 1 &&
            (OvD3D9GetCaps()->CubeTextureFilterCaps & (D3DPTFILTERCAPS_MIPFPOINT | D3DPTFILTERCAPS_MIPFLINEAR)) == 0) {
            return nullptr;
        }
        OvRaster* raster = OvRasterCreate(h.width, h.height, h.depth, type | ovRASTERDONTALLOCATE | flags);
        if (raster != nullptr &&
            !OvD3D9RasterMakeTexture(raster, h.format, levels, cube ? TRUE : FALSE, autoMip ? TRUE : FALSE)) {
            OvRasterDestroy(raster);
            return nullptr;
        }
        if (raster != nullptr) {
            // Whether the pixels use their alpha is the stored texture's word (a DXT1 texture
            // may or may not).
            OvD3D9RasterExtGet(raster)->hasAlpha = (h.flags & ovD3D9NATIVEHASALPHA) ? 1 : 0;
        }
        return raster;
    }
    if ((flags & (ovRASTERFORMATPIXELFORMATMASK | ovRASTERFORMATPAL4 | ovRASTERFORMATPAL8)) == 0) {
        // No engine format: exactly the stored device format.
        return OvD3D9RasterCreateWithFormat(h.width, h.height, h.format,
                                            type | (flags & (ovRASTERFORMATMIPMAP | ovRASTERFORMATAUTOMIPMAP)));
    }
    return OvRasterCreate(h.width, h.height, h.depth, type | flags);
}

// The raster as made must be the one stored: format, size, levels and where they come from.
bool Matches(OvRaster* raster, const OvD3D9NativeTexture& h) {
    const OvD3D9RasterExt* ext = OvD3D9RasterExtGet(raster);
    const OvInt32 levels = OvRasterGetNumLevels(raster);
    return !((h.flags & ovD3D9NATIVEAUTOMIPMAP) && !(ext->mipGen & ovD3D9MIPGENDEVICE)) &&
           static_cast<OvUInt32>(OvRasterGetFormat(raster)) == h.formatFlags && ext->format == h.format &&
           raster->width == h.width && raster->height == h.height && levels >= 1 &&
           OvD3D9NativeStoredLevels(h) <= static_cast<OvUInt32>(levels) &&
           (OvD3D9RasterIsCubeMap(raster) != 0) == ((h.flags & ovD3D9NATIVECUBE) != 0);
}

// Fills the palette and the levels of every face from the stream, never past the chunk's body
// (bodyLeft) nor past a locked level.
bool ReadPixels(OvStream* stream, OvRaster* raster, const OvD3D9NativeTexture& h, OvUInt32* bodyLeft) {
    const OvUInt32 paletteBytes = OvD3D9NativePaletteBytes(h.formatFlags);
    if (paletteBytes != 0) {
        OvUInt8* palette = OvRasterLockPalette(raster, ovRASTERLOCKWRITE);
        if (palette == nullptr) {
            return false;
        }
        const bool ok = paletteBytes <= *bodyLeft && OvStreamReadStrict(stream, palette, paletteBytes) != nullptr;
        OvRasterUnlockPalette(raster);
        if (!ok) {
            return false;
        }
        *bodyLeft -= paletteBytes;
    }
    const OvBool compressed = OvD3D9RasterIsCompressed(raster);
    for (OvUInt32 face = 0; face < OvD3D9NativeFaces(h); ++face) {
        OvD3D9RasterSetCubeFace(raster, face);
        for (OvUInt32 level = 0; level < OvD3D9NativeStoredLevels(h); ++level) {
            OvUInt8* bits = OvRasterLock(raster, static_cast<OvUInt8>(level), ovRASTERLOCKWRITE);
            if (bits == nullptr) {
                return false;
            }
            const OvUInt32 room = *bodyLeft >= 4 ? *bodyLeft - 4 : 0;
            const OvUInt32 capacity = std::min(LockedBytes(raster, compressed), room);
            OvUInt32 count = 0;
            const bool ok = *bodyLeft >= 4 && OvD3D9NativeLevelRead(stream, bits, capacity, &count);
            OvRasterUnlock(raster);
            if (!ok) {
                return false;
            }
            *bodyLeft -= 4 + count;
        }
    }
    return true;
}

} // namespace

OvBool OvD3D9NativeTextureGetSize(void* sizeOut, void* texture, OvInt32) {
    Description d;
    if (!Describe(static_cast<const OvTexture*>(texture), &d)) {
        return FALSE;
    }
    *static_cast<OvUInt32*>(sizeOut) = OvD3D9NativeChunkSize(d.header, d.hasRaster, d.levelBytes);
    return TRUE;
}

OvBool OvD3D9NativeTextureWrite(void* out, void* in, OvInt32) {
    auto* stream = static_cast<OvStream*>(out);
    const auto* texture = static_cast<const OvTexture*>(in);
    Description d;
    if (!Describe(texture, &d) ||
        OvD3D9NativeHeaderWrite(stream, d.header, d.hasRaster,
                                OvD3D9NativeChunkSize(d.header, d.hasRaster, d.levelBytes)) == nullptr) {
        return FALSE;
    }
    OvRaster* raster = texture->raster;
    if (raster == nullptr) {
        return TRUE;
    }
    const OvUInt32 paletteBytes = OvD3D9NativePaletteBytes(d.header.formatFlags);
    if (paletteBytes != 0) {
        const OvUInt8* palette = OvRasterLockPalette(raster, ovRASTERLOCKREAD);
        const bool ok = palette != nullptr && OvStreamWrite(stream, palette, paletteBytes) != nullptr;
        if (palette != nullptr) {
            OvRasterUnlockPalette(raster);
        }
        if (!ok) {
            return FALSE;
        }
    }
    const OvBool compressed = OvD3D9RasterIsCompressed(raster);
    for (OvUInt32 face = 0; face < OvD3D9NativeFaces(d.header); ++face) {
        OvD3D9RasterSetCubeFace(raster, face);
        for (OvUInt32 level = 0; level < OvD3D9NativeStoredLevels(d.header); ++level) {
            const OvUInt8* bits = OvRasterLock(raster, static_cast<OvUInt8>(level), ovRASTERLOCKREAD);
            if (bits == nullptr) {
                return FALSE;
            }
            // Every face has the sizes measured on face 0.
            const OvUInt32 count = LockedBytes(raster, compressed);
            const bool ok = count == d.levelBytes[level] && OvD3D9NativeLevelWrite(stream, bits, count) != nullptr;
            OvRasterUnlock(raster);
            if (!ok) {
                return FALSE;
            }
        }
    }
    return TRUE;
}

OvBool OvD3D9NativeTextureRead(void* in, void* textureOut, OvInt32) {
    auto* stream = static_cast<OvStream*>(in);
    OvD3D9NativeTexture h{};
    OvUInt32 bodyLeft = 0;
    if (!OvD3D9NativeHeaderRead(stream, &h, &bodyLeft)) {
        return FALSE;
    }
    OvRaster* raster = nullptr;
    if (h.width != 0) {
        raster = MakeRaster(h);
        if (raster == nullptr) {
            return FALSE;
        }
        if (!Matches(raster, h)) {
            OvRasterDestroy(raster);
            return FALSE;
        }
        // The stored levels go in as they are: no regeneration while they are written.
        const OvUInt8 autoBit = ovRASTERFORMATAUTOMIPMAP >> 8;
        const OvUInt8 saved = raster->cFormat;
        raster->cFormat = static_cast<OvUInt8>(saved & ~autoBit);
        const bool ok =
            ReadPixels(stream, raster, h, &bodyLeft) && (bodyLeft == 0 || OvStreamSkip(stream, bodyLeft) != nullptr);
        raster->cFormat = saved;
        if (!ok) {
            OvRasterDestroy(raster);
            return FALSE;
        }
    }
    OvTexture* texture = OvTextureCreate(raster);
    if (texture == nullptr) {
        if (raster != nullptr) {
            OvRasterDestroy(raster);
        }
        return FALSE;
    }
    texture->filterAddressing = h.sampling & 0xFFFF;
    OvTextureSetName(texture, h.name);
    OvTextureSetMaskName(texture, h.maskName);
    *static_cast<OvTexture**>(textureOut) = texture;
    return TRUE;
}
