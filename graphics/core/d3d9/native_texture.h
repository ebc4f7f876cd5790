#pragma once
// The driver's native texture chunk: a struct chunk holding the texture's sampling word and
// names, then its raster header, palette and the bytes of every level of every face as the
// device surfaces hold them. This module reads and writes the chunk's records; the raster side
// fills and drains them.

#include "graphics/core/stream.h"
#include "graphics/core/types.h"
#include "platform/d3d9.h"

inline constexpr OvUInt32 ovD3D9NATIVEPLATFORM = 9;      // the only platform id accepted
inline constexpr OvUInt32 ovD3D9NATIVEVERSION = 0x37002; // version written
inline constexpr OvUInt32 ovD3D9NATIVEBUILD = 22;        // build written
inline constexpr OvUInt32 ovD3D9NATIVETEXTUREBYTES = 72; // body bytes of a texture without a raster
inline constexpr OvUInt32 ovD3D9NATIVERASTERBYTES = 16;  // raster header after them

// Bits of OvD3D9NativeTexture::flags.
inline constexpr OvUInt8 ovD3D9NATIVEHASALPHA = 0x1;
inline constexpr OvUInt8 ovD3D9NATIVECUBE = 0x2;
inline constexpr OvUInt8 ovD3D9NATIVEAUTOMIPMAP = 0x4;
inline constexpr OvUInt8 ovD3D9NATIVECOMPRESSED = 0x8;

// The fixed part of the chunk body.
struct OvD3D9NativeTexture {
    OvUInt32 platform;    // ovD3D9NATIVEPLATFORM
    OvUInt32 sampling;    // filter (bits 0-7), address u (8-11), address v (12-15)
    char name[32];        // zero-padded
    char maskName[32];    // zero-padded
    OvUInt32 formatFlags; // raster format flags (pixel format, palette, mip bits)
    D3DFORMAT format;     // surface format
    OvUInt16 width;       // pixels
    OvUInt16 height;      // pixels
    OvUInt8 depth;        // bits a pixel
    OvUInt8 numLevels;    // mip levels of the raster
    OvUInt8 type;         // raster type
    OvUInt8 flags;        // ovD3D9NATIVE... bits
};

// Bytes of the palette block: 128 for a 4-bit palette, 1024 for an 8-bit one, else 0.
OvUInt32 OvD3D9NativePaletteBytes(OvUInt32 formatFlags);
// Faces stored (6 for a cube, else 1) and levels stored for each (1 with automatic mip levels).
OvUInt32 OvD3D9NativeFaces(const OvD3D9NativeTexture& header);
OvUInt32 OvD3D9NativeStoredLevels(const OvD3D9NativeTexture& header);
// True for the block-compressed formats (DXT1-5).
OvBool OvD3D9FormatIsCompressed(D3DFORMAT format);
// The least bytes a level of the given size can hold: rows (block rows when compressed, one
// when the height is below 4) times the packed row bytes.
OvUInt32 OvD3D9NativeLevelMinBytes(const OvD3D9NativeTexture& header, OvUInt32 level);

// The chunk size with its 12-byte header, given the byte counts of face 0's stored levels.
OvUInt32 OvD3D9NativeChunkSize(const OvD3D9NativeTexture& header, OvBool hasRaster, const OvUInt32* levelBytes);

// Writes the chunk header and the fixed part (72 bytes without a raster, 88 with one).
OvStream* OvD3D9NativeHeaderWrite(OvStream* stream, const OvD3D9NativeTexture& header, OvBool hasRaster,
                                  OvUInt32 chunkSize);
// Finds the struct chunk and reads and checks the fixed part: a version in range, platform 9,
// a non-zero size, a level count the size allows, a known depth, palette flags that match the
// depth, and a body long enough for what the header announces. FALSE on any failure; *bodyLeft
// gets the body bytes past the fixed part. A body of the first 72 bytes only is a texture
// without a raster: its raster fields are zero (width 0).
OvBool OvD3D9NativeHeaderRead(OvStream* stream, OvD3D9NativeTexture* header, OvUInt32* bodyLeft);

// Writes one level: its byte count, then its bytes in pieces of at most 1,024.
OvStream* OvD3D9NativeLevelWrite(OvStream* stream, const OvUInt8* bits, OvUInt32 count);
// Reads one level's byte count and bytes into bits; FALSE (nothing copied past capacity) when
// the count exceeds capacity or the stream ends early. *count gets the stored count.
OvBool OvD3D9NativeLevelRead(OvStream* stream, OvUInt8* bits, OvUInt32 capacity, OvUInt32* count);

struct OvTexture;

// Standard function 25: (out OvUInt32 chunk size with its header, texture). The levels of face 0
// are measured by read locks. FALSE for a raster that cannot be stored.
OvBool OvD3D9NativeTextureGetSize(void* sizeOut, void* texture, OvInt32 number);
// Standard function 27: (stream, texture) writes the texture's native chunk. FALSE at the first
// failed write or lock, or for a raster that cannot be stored (wider or higher than 65,535,
// without a device texture).
OvBool OvD3D9NativeTextureWrite(void* stream, void* texture, OvInt32 number);
// Standard function 26: (stream, out OvTexture*) reads a native chunk into a new texture with
// a raster of exactly the stored format, size and levels; FALSE (nothing left behind) when the
// chunk is damaged or the device cannot make that raster.
OvBool OvD3D9NativeTextureRead(void* stream, void* textureOut, OvInt32 number);
