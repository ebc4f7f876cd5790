#pragma once
// What the driver's raster files share: the format-code table, error reports, the raster whose
// resource a sub-raster reaches, the video-memory list, palettes sent to the device, and the
// raster that clears and copies draw into.

#include "graphics/core/d3d9/raster.h"

namespace d3d9raster {

struct FormatEntry {
    OvInt32 code;
    D3DFORMAT format;
    OvInt32 depth;
    OvUInt8 alpha;
};
const FormatEntry* FindCode(OvInt32 code);

// Records the code (or error 2 with the message) and gives FALSE.
OvBool Fail(OvInt32 code);
OvBool FailWith(const char* message);
// The raster that owns the resource (a sub-raster's top parent).
OvRaster* Top(OvRaster* raster);
// Puts a raster on the video-memory list (once).
void List(OvRaster* raster);
IDirect3DBaseTexture9* BaseTexture(const OvD3D9RasterExt* ext);
// A level's surface (of the face a lock addresses, for cube rasters); a reference the caller
// releases, or null.
IDirect3DSurface9* LevelSurface(const OvD3D9RasterExt* ext, OvUInt32 level);
// The surface a camera raster or camera texture stands for: the back buffer, or the texture's
// level; a reference the caller releases.
IDirect3DSurface9* TargetSurface(OvRaster* top, OvUInt32 level);
// Sends a P8 texture's palette entries to the device.
void SendPalette(const OvD3D9RasterExt* ext);
// Bits a pixel of the display format.
OvInt32 DisplayDepth();
bool IsDepthFormat(D3DFORMAT format);
// The raster that clears and copies draw into; null: the raster module's current context.
extern OvRaster* gContext;

} // namespace d3d9raster
