#pragma once
// Pixel values of driver rasters and the colours of engine images: decoding and encoding by
// D3DFORMAT, the core's colour <-> pixel functions for the engine pixel formats, and fitting
// raster sizes to the device's texture limits.

#include "graphics/core/camera.h"
#include "graphics/core/types.h"
#include "platform/d3d9.h"

// Luminance of a colour: (30 r + 59 g + 11 b) / 100.
OvUInt32 OvD3D9Luminance(const OvRGBA& colour);

// Decodes a pixel value of the given D3DFORMAT; FALSE (colour untouched) for a format that
// has no decoder.
OvBool OvD3D9DecodePixel(OvRGBA* colour, OvUInt32 pixel, D3DFORMAT format);

// Encodes a colour for the given D3DFORMAT; FALSE (value untouched) for a format that has no
// encoder.
OvBool OvD3D9EncodePixel(OvUInt32* pixel, const OvRGBA& colour, D3DFORMAT format);

// Standard function 2: encodes a colour for the engine pixel format in the raster format
// flags. Reports {core, 0x8000000D} and returns FALSE for a format it cannot encode.
OvBool OvD3D9ColorToPixel(void* pixelOut, void* colour, OvInt32 formatFlags);

// Standard function 3: decodes a pixel value; with the 8-bit palette flag the value is copied
// unchanged. Reports {core, 0x8000000D} and returns FALSE for a format it cannot decode.
OvBool OvD3D9PixelToColor(void* colourOut, void* pixel, OvInt32 formatFlags);

// Fits a raster size to the texture limits in caps: clamped to the maximum sizes, rounded
// down to powers of two where the device needs them, and made square where it needs that.
// type is the raster type, formatFlags the raster format flags (0x8000 mip levels).
void OvD3D9RasterFitSize(OvInt32* width, OvInt32* height, OvInt32 type, OvInt32 formatFlags, const D3DCAPS9& caps);

// The error code for a raster format or type the driver cannot handle.
inline constexpr OvInt32 ovERRBADRASTERFORMAT = static_cast<OvInt32>(0x8000000Du);
// The error code for a raster pixel depth the driver cannot handle.
inline constexpr OvInt32 ovERRBADRASTERDEPTH = static_cast<OvInt32>(0x8000000Cu);

struct OvImage;

// A locked raster level as the conversion sees it.
struct OvD3D9PixelView {
    OvUInt8* bits;       // first row
    OvInt32 pitch;       // bytes from one row to the next
    OvInt32 width;       // pixels
    OvInt32 height;      // rows
    OvInt32 depth;       // bits a pixel
    D3DFORMAT format;    // the surface format
    OvInt32 formatFlags; // the raster format flags
    OvUInt8* palette;    // locked palette (r, g, b, flags entries), or null
};

// Fills a 32- or 8-bit image of the level's size from a locked level. Reports {core, 2} for an
// image depth that does not fit and {core, 0x8000000C} for a level depth it cannot read.
OvBool OvD3D9PixelsToImage(OvImage* image, const OvD3D9PixelView& level);

// Writes an image of the level's size into a locked level; a palettised image's palette goes
// into the level's palette when both are palettised and copyPalette is set. Reports {core, 2}
// for a size or depth that does not fit and {core, 0x8000000C} for a level depth it cannot
// write. For 24- and 32-bit levels *hasAlpha (when given) becomes 0 for 888 and 1 otherwise.
OvBool OvD3D9PixelsFromImage(const OvD3D9PixelView& level, const OvImage* image, OvBool copyPalette, OvUInt8* hasAlpha);
