#include "graphics/core/d3d9/native_texture.h"

#include <cstdint>
#include <cstring>

#include "graphics/core/chunk.h"
#include "graphics/core/error.h"
#include "graphics/core/raster.h"

namespace {

void PutU32(OvUInt8* at, OvUInt32 v) {
    for (int i = 0; i < 4; ++i) {
        at[i] = static_cast<OvUInt8>(v >> (8 * i));
    }
}

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

bool Refuse() {
    OvErrorReport(ovPLUGINIDCORE, OvErrorCode(ovERRINVALIDVALUE, "native texture header"));
    return false;
}

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
    PutU32(bytes, header.platform);
    PutU32(bytes + 4, header.sampling & 0xFFFF);
    std::memcpy(bytes + 8, header.name, 32);
    std::memcpy(bytes + 40, header.maskName, 32);
    PutU32(bytes + 72, header.formatFlags);
    PutU32(bytes + 76, header.format);
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
    const std::uint64_t fixed = ovD3D9NATIVETEXTUREBYTES + ovD3D9NATIVERASTERBYTES;
    const std::uint64_t least = fixed + OvD3D9NativePaletteBytes(header->formatFlags) +
                                4ull * OvD3D9NativeFaces(*header) * OvD3D9NativeStoredLevels(*header);
    if (length < least) {
        return Refuse();
    }
    *bodyLeft = static_cast<OvUInt32>(length - fixed);
    return TRUE;
}

OvStream* OvD3D9NativeLevelWrite(OvStream* stream, const OvUInt8* bits, OvUInt32 count) {
    OvUInt8 word[4];
    PutU32(word, count);
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
