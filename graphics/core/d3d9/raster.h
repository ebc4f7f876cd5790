#pragma once
// Driver rasters: the Direct3D objects behind each raster (the raster extension), the choice of
// D3DFORMAT for a raster, creation and destruction by raster type, and level locks.
//
// Textures (types 0 and 4) live in the managed pool; a z-buffer of the window's client size is
// the device's own depth surface, any other a depth-stencil surface of its own; a camera raster
// stands for the device's back buffer.

#include "graphics/core/raster.h"
#include "platform/d3d9.h"

struct OvImage;

// The raster extension (plugin id 0x40C).
struct OvD3D9RasterExt {
    IDirect3DTexture9* texture;     // types 0 and 4: the texture (one reference)
    IDirect3DSurface9* surface;     // type 1: the depth surface (a reference unless it is the device's own)
    D3DFORMAT format;               // the resource's format
    OvUInt8 hasAlpha;               // the format has alpha
    OvUInt8 lockedLevel;            // the level now locked; 0xFF none
    OvUInt8 ownSurface;             // surface holds a reference of its own
    IDirect3DSurface9* lockSurface; // surface held while locked
    OvUInt8* palette;               // P8 textures: 256 entries of r, g, b, flags; else null
    OvUInt32 paletteNumber;         // the device palette of a P8 texture
};

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
// TRUE when the adapter accepts format as a texture on the current display format.
OvBool OvD3D9CheckTextureFormat(D3DFORMAT format);

// The creation flags with a supported pixel format for a raster type (the format asked, or
// the default for the depth when none is asked); -1 (with an error) when none fits.
OvInt32 OvD3D9RasterChooseFormat(OvInt32 type, OvInt32 flags, OvInt32 depth);

// Around a device reset: the z rasters give up their depth surfaces before Reset and take
// the new ones (or new surfaces of their own) after it; FALSE when one could not be made.
void OvD3D9ReleaseVideoRasters();
OvBool OvD3D9RestoreVideoRasters();
// At device stop: forgets the list (rasters outliving the device are not restored by a later
// one).
void OvD3D9VideoRasterListClose();

// Standard functions 4, 5, 15, 16 and 28.
OvBool OvD3D9RasterCreate(void* out, void* raster, OvInt32 flags);
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
