#pragma once
// Driver rasters: the Direct3D objects behind each raster (the raster extension), the choice of
// D3DFORMAT for a raster, creation and destruction by raster type, level and face locks, clears
// and copies between rasters.
//
// Textures (types 0 and 4) live in the managed pool, depth-format textures in the default pool;
// a z-buffer of the window's client size is the device's own depth surface, any other a
// depth-stencil surface of its own; a camera raster stands for the device's back buffer (or a second window's swap chain); a
// camera texture (type 5) is a render-target texture in the default pool.

#include "graphics/core/raster.h"
#include "graphics/core/vector.h"
#include "platform/d3d9.h"

struct OvImage;

// The palette of a P8 texture: 256 entries of r, g, b, flags and the device palette number.
struct OvD3D9Palette {
    OvUInt8 entries[256 * 4];
    OvUInt32 number;
};

// The raster extension (plugin id 0x40C).
struct OvD3D9RasterExt {
    IDirect3DTexture9* texture;         // types 0, 4 and 5: the texture (one reference)
    IDirect3DCubeTexture9* cubeTexture; // cube rasters: the cube texture instead (one reference)
    IDirect3DSurface9* surface;         // type 1: the depth surface (a reference unless it is the device's own)
    D3DFORMAT format;                   // the resource's format
    OvUInt8 hasAlpha;                   // the format has alpha
    OvUInt8 lockedLevel;                // the level now locked; 0xFF none
    OvUInt8 ownSurface;                 // surface holds a reference of its own
    OvUInt8 deviceDepth;                // type 1: stands for the device's own depth surface (follows resets)
    OvUInt8 cube;                       // low nibble: a cube texture; high nibble: the face a lock addresses
    OvUInt8 mipGen;                     // ovD3D9MIPGENDEVICE, ovD3D9MIPGENCOMPRESSED
    IDirect3DSurface9* lockSurface;     // surface held while locked
    OvD3D9Palette* palette;             // P8 textures: their palette; else null
    IDirect3DSwapChain9* swapChain;     // a camera raster of another window: its swap chain (one reference)
    HWND window;                        // the window of that swap chain
};

// OvD3D9RasterExt::mipGen: the device makes the mip levels; the format is block-compressed.
inline constexpr OvUInt8 ovD3D9MIPGENDEVICE = 0x01;
inline constexpr OvUInt8 ovD3D9MIPGENCOMPRESSED = 0x10;

inline constexpr OvUInt32 ovPLUGINIDD3D9RASTER = 0x40C;
// Lock of a locked raster or of a raster type that cannot be locked.
inline constexpr OvInt32 ovERRRASTERLOCKED = static_cast<OvInt32>(0x8000000Eu);
// Unlock of an unlocked raster.
inline constexpr OvInt32 ovERRRASTERNOTLOCKED = static_cast<OvInt32>(0x80000011u);

// Registers the extension; called when the driver attaches.
OvBool OvD3D9RasterOpen();
OvD3D9RasterExt* OvD3D9RasterExtGet(OvRaster* raster);

// The D3DFORMAT of a raster format code (0x100-0xA00), or D3DFMT_UNKNOWN.
D3DFORMAT OvD3D9RasterCodeFormat(OvInt32 code);

// What the driver knows of a device format: alpha, bits a pixel and the raster format code
// (0 where the engine has none); all zero for formats it does not know.
struct OvD3D9PixelFormat {
    OvUInt8 alpha;
    OvUInt8 bits;
    OvInt32 code;
};
OvD3D9PixelFormat OvD3D9PixelFormatInfo(D3DFORMAT format);
// Format checks against the current adapter and display format: a texture; a render-target
// texture (with a depth match to the device's depth format); a depth-stencil texture; a cube
// texture; and automatic mip levels of a texture, a render-target texture or a cube texture
// (only where the device can make them, and only when the answer is plain success).
OvBool OvD3D9CheckTextureFormat(D3DFORMAT format);
OvBool OvD3D9CheckRenderTargetFormat(D3DFORMAT format);
OvBool OvD3D9CheckDepthFormat(D3DFORMAT format);
OvBool OvD3D9CheckRenderTargetCubeFormat(D3DFORMAT format);
OvBool OvD3D9CheckAutoMipmapFormat(D3DFORMAT format);
OvBool OvD3D9CheckAutoMipmapRenderTargetFormat(D3DFORMAT format);
OvBool OvD3D9CheckAutoMipmapCubeFormat(D3DFORMAT format);

// A raster of exactly the given D3DFORMAT (type and mip flags from flags): a render-target
// texture for type 5, a depth-stencil texture for depth formats, else a managed texture; its
// format code, depth and alpha from the format where the driver knows it (block-compressed
// formats: depth 16, 565 or 4444 by alpha). Null when the device refuses it.
OvRaster* OvD3D9RasterCreateWithFormat(OvInt32 width, OvInt32 height, D3DFORMAT format, OvInt32 flags);
// Gives a raster made with the don't-allocate flag a texture (or cube texture) of the format,
// with the levels asked (0: all) and device-made levels where asked and granted; the raster's
// extension takes the format, its alpha and whether it is compressed. FALSE when the device
// refuses it.
OvBool OvD3D9RasterMakeTexture(OvRaster* raster, D3DFORMAT format, OvUInt32 levels, OvBool cube, OvBool autoMipmap);

// Makes a raster mipmapped in place: its pixels taken as an image, its resource made again with
// automatic mip levels in the format its alpha wants (as the device takes it), the image written
// back (the levels follow). Cube, compressed, locked and sub-rasters are refused. The raster, or
// null (a raster whose resource could not be made again is left without one).
OvRaster* OvD3D9RasterConvertToMipmapped(OvRaster* raster);

OvBool OvD3D9RasterIsCubeMap(OvRaster* raster);
OvBool OvD3D9RasterIsCompressed(OvRaster* raster);
// The cube face (0-5) that the next lock of a cube raster addresses.
void OvD3D9RasterSetCubeFace(OvRaster* raster, OvUInt32 face);

// The format query for a raster about to be made (the flags with a supported pixel format): for
// normal and texture rasters the format asked or, where the adapter lacks it, the nearest it
// takes (none asked: 8888, else 4444 or 1555); a palette the device cannot take is dropped, its
// colours going to 888/8888 on a display deeper than 16 bits and to 565/4444/1555 otherwise.
// Camera textures: a code asked is widened or narrowed to the display's depth. Z-buffers and
// camera rasters take the device's format and may not ask for one (error 0x8000000D). -1 (with
// an error where it is not the adapter's refusal) when none fits. depth is not used.
OvInt32 OvD3D9RasterChooseFormat(OvInt32 type, OvInt32 flags, OvInt32 depth);
// Fills a raster record's type, format byte and depth for the creation flags (type in the low
// bits) as a raster made with them would have, without making anything; FALSE when the format
// choice fails.
OvBool OvD3D9RasterDescribe(OvRaster* raster, OvInt32 flags);

// A swap chain of the device's presentation on another window's client area, and its back buffer
// (one reference the caller releases); null when the device refuses it.
IDirect3DSwapChain9* OvD3D9CreateWindowSwapChain(HWND window, IDirect3DSurface9** backBuffer);
// Makes a camera raster (made without pixels) stand for the back buffer of another window's swap
// chain: it takes the swap chain's reference, and its depth, format and alpha follow the back
// buffer's format. Released with the raster, and across a device reset made again for the
// window's client area.
void OvD3D9RasterAttachSwapChain(OvRaster* raster, IDirect3DSwapChain9* swapChain, IDirect3DSurface9* backBuffer,
                                 HWND window);

// Around a device reset: the z rasters give up their depth surfaces before Reset and take
// the new ones (or new surfaces of their own) after it; FALSE when one could not be made.
void OvD3D9ReleaseVideoRasters();
OvBool OvD3D9RestoreVideoRasters();
// At device start: the list of video rasters begins empty.
void OvD3D9VideoRasterListOpen();
// At device stop: forgets the list (rasters outliving the device are not restored by a later
// one).
void OvD3D9VideoRasterListClose();

// Standard functions 4, 5, 15, 16 and 28.
OvBool OvD3D9RasterCreate(void* out, void* raster, OvInt32 flags);
// A parent's sub-rasters keep its surface with no link back: destroy them before the parent.
OvBool OvD3D9RasterDestroy(void* out, void* raster, OvInt32 number);
OvBool OvD3D9RasterLock(void* pixelsOut, void* raster, OvInt32 levelAndMode);
OvBool OvD3D9RasterUnlock(void* out, void* raster, OvInt32 number);
OvBool OvD3D9RasterGetNumLevels(void* countOut, void* raster, OvInt32 number);

// Standard functions 23 and 24: palette locks of P8 textures. A lock of a raster without a
// palette or whose palette is locked answers 0x8000000E; an unlock of an unlocked palette
// 0x80000011. A palette written under the lock goes to the device on unlock.
OvBool OvD3D9RasterLockPalette(void* paletteOut, void* raster, OvInt32 lockMode);
OvBool OvD3D9RasterUnlockPalette(void* out, void* raster, OvInt32 number);

// Standard functions 6 and 7: level 0 of a raster into an image of its size and back, locking
// the raster for the copy unless it is already locked.
OvBool OvD3D9ImageGetFromRaster(void* image, void* raster, OvInt32 number);
OvBool OvD3D9RasterSetFromImage(void* raster, void* image, OvInt32 number);

// The raster format that suits an image: for 32-bit images from its alphas, the display depth
// and the formats the adapter takes; for palettised ones the palette flag with 888 or 8888.
OvInt32 OvD3D9ImageBestRasterFormat(const OvImage* image);
// Standard function 9: the raster record (size, type, format, depth) the driver would make for
// an image with the given creation flags, without making it.
OvBool OvD3D9RasterFormatForImage(void* raster, void* image, OvInt32 flags);

// A rectangle of a raster, in pixels.
struct OvRect {
    OvInt32 x;
    OvInt32 y;
    OvInt32 w;
    OvInt32 h;
};

// Standard function 8: (texture, raster) the texture takes the raster.
OvBool OvD3D9TextureSetRaster(void* texture, void* raster, OvInt32 number);

// Standard function 11: the raster that later clears and copies draw into (null: the raster
// module's current context).
OvBool OvD3D9SetContextRaster(void* out, void* raster, OvInt32 number);
// Standard function 12: (sub-raster, parent) the sub-raster becomes a window on the parent at
// its offsets and takes the parent's type, depth and format; it owns no pixels.
OvBool OvD3D9RasterSubRaster(void* subRaster, void* parent, OvInt32 number);
// Standard functions 13 and 14: clears a rectangle {x, y, width, height} (OvRect) or the whole
// of the context raster to a pixel value in its format.
OvBool OvD3D9RasterClearRect(void* out, void* rect, OvInt32 pixel);
OvBool OvD3D9RasterClear(void* out, void* in, OvInt32 pixel);
// Standard functions 17, 18 and 19: copies a raster into the context raster, at a position
// (OvV2d, 17 and 19) or scaled to a rectangle (OvRect, 18). Camera rasters and camera textures
// copy between each other on the device; other pairs copy through locks, converting pixels
// between formats. Z rasters take no part.
OvBool OvD3D9RasterRender(void* raster, void* position, OvInt32 number);
OvBool OvD3D9RasterRenderScaled(void* raster, void* rect, OvInt32 number);
OvBool OvD3D9RasterRenderFast(void* raster, void* position, OvInt32 number);

struct OvTexture;
// TRUE when a texture's raster has alpha.
OvBool OvD3D9TextureHasAlpha(const OvTexture* texture);
