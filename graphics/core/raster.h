#pragma once
// The raster module (engine module 0x407): the core's handle on a block of pixels that the
// driver owns (texture, frame buffer, z-buffer or a sub-rectangle of another raster). Every
// pixel operation is forwarded to the driver's standard functions.

#include "graphics/core/memory.h"
#include "graphics/core/plugin.h"
#include "graphics/core/types.h"

// Raster types (creation flags & 7).
inline constexpr OvInt32 ovRASTERTYPENORMAL = 0;        // plain pixel block
inline constexpr OvInt32 ovRASTERTYPEZBUFFER = 1;       // depth buffer
inline constexpr OvInt32 ovRASTERTYPECAMERA = 2;        // a window's back buffer
inline constexpr OvInt32 ovRASTERTYPETEXTURE = 4;       // texture
inline constexpr OvInt32 ovRASTERTYPECAMERATEXTURE = 5; // render-target texture
inline constexpr OvInt32 ovRASTERTYPEMASK = 0x7;        // type bits of the creation flags

// Raster format word (creation flags & 0xFF00; the format byte holds it shifted down by 8).
inline constexpr OvInt32 ovRASTERFORMATDEFAULT = 0x0000;         // the driver chooses
inline constexpr OvInt32 ovRASTERFORMAT1555 = 0x0100;            // 16 bits, 1 bit alpha
inline constexpr OvInt32 ovRASTERFORMAT565 = 0x0200;             // 16 bits, no alpha
inline constexpr OvInt32 ovRASTERFORMAT4444 = 0x0300;            // 16 bits, 4 bits alpha
inline constexpr OvInt32 ovRASTERFORMATLUM8 = 0x0400;            // 8 bits luminance
inline constexpr OvInt32 ovRASTERFORMAT8888 = 0x0500;            // 32 bits with alpha
inline constexpr OvInt32 ovRASTERFORMAT888 = 0x0600;             // 32 bits, no alpha
inline constexpr OvInt32 ovRASTERFORMAT16 = 0x0700;              // 16-bit depth
inline constexpr OvInt32 ovRASTERFORMAT24 = 0x0800;              // 24-bit depth
inline constexpr OvInt32 ovRASTERFORMAT32 = 0x0900;              // 32-bit depth
inline constexpr OvInt32 ovRASTERFORMAT555 = 0x0A00;             // 16 bits, 5 bits a colour
inline constexpr OvInt32 ovRASTERFORMATPIXELFORMATMASK = 0x0F00; // the pixel format code
inline constexpr OvInt32 ovRASTERFORMATAUTOMIPMAP = 0x1000;      // mip levels generated automatically
inline constexpr OvInt32 ovRASTERFORMATPAL8 = 0x2000;            // 8-bit palette
inline constexpr OvInt32 ovRASTERFORMATPAL4 = 0x4000;            // 4-bit palette
inline constexpr OvInt32 ovRASTERFORMATMIPMAP = 0x8000;          // the raster has mip levels

// Private flags of a raster.
enum OvRasterPrivateFlag : OvUInt8 {
    ovRASTERGAMMACORRECTED = 0x01,     // contents are gamma-corrected
    ovRASTERPIXELLOCKEDREAD = 0x02,    // pixels locked for reading
    ovRASTERPIXELLOCKEDWRITE = 0x04,   // pixels locked for writing
    ovRASTERPALETTELOCKED = 0x08,      // palette locked
    ovRASTERPALETTELOCKEDWRITE = 0x10, // palette locked for writing
};

// Public flags of a raster.
enum OvRasterFlag : OvUInt8 {
    ovRASTERDONTALLOCATE = 0x80, // no pixel storage of its own
};

// Lock modes (bit 0 write, bit 1 read; the level goes in bits 8-15 of the driver's number).
inline constexpr OvInt32 ovRASTERLOCKWRITE = 0x1; // pixels will be written
inline constexpr OvInt32 ovRASTERLOCKREAD = 0x2;  // pixels will be read

// Raster record; extension data follows (raster registry).
struct OvRaster {
    OvRaster* parent;        // the raster itself unless it is a sub-raster
    OvUInt8* cpPixels;       // pixels while locked, else null
    OvUInt8* palette;        // palette while the palette is locked, else null
    OvInt32 width;           // pixels (the locked level's while locked)
    OvInt32 height;          // pixels (the locked level's while locked)
    OvInt32 depth;           // bits per pixel
    OvInt32 stride;          // bytes per row while locked
    OvUInt16 nOffsetX;       // x offset in the parent, pixels
    OvUInt16 nOffsetY;       // y offset in the parent, pixels
    OvUInt8 cType;           // raster type (ovRASTERTYPE...)
    OvUInt8 cFlags;          // OvRasterFlag bits
    OvUInt8 privateFlags;    // OvRasterPrivateFlag bits
    OvUInt8 cFormat;         // format word >> 8; bit 7 set: the raster has mip levels
    OvUInt8* originalPixels; // driver's own: its pixel storage
    OvInt32 originalWidth;   // driver's own: width saved while locked
    OvInt32 originalHeight;  // driver's own: height saved while locked
    OvInt32 originalStride;  // driver's own: stride saved while locked
};

inline constexpr OvInt32 ovRASTERCONTEXTSTACKSIZE = 10;

// The module's data in the engine instance.
struct OvRasterModule {
    OvRaster* contextStack[ovRASTERCONTEXTSTACKSIZE]; // current context on top
    OvInt32 contextTop;                               // index of the top entry
    OvRaster dummyRaster;                             // empty raster at the bottom of the stack; format-query scratch
    OvFreeList* freeList;                             // raster records
    OvFreeList freeListHeader;                        // static header of that list
};

void* OvRasterOpen(void* instance, OvInt32 offset, OvInt32 size);
// Run by OvEngineStop: rasters still allocated go with the pool, nothing released on the device.
void* OvRasterClose(void* instance, OvInt32 offset, OvInt32 size);

OvPluginRegistry* OvRasterGetRegistry();
OvInt32 OvRasterRegisterPlugin(OvInt32 size, OvUInt32 pluginID, OvPluginObjectConstructor constructCB,
                               OvPluginObjectDestructor destructCB, OvPluginObjectCopy copyCB);

// Creates a raster through the driver (type, format and stride come from it); null on refusal.
OvRaster* OvRasterCreate(OvInt32 width, OvInt32 height, OvInt32 depth, OvInt32 flags);
// Destroy its sub-rasters and take it off the textures and cameras that use it first: they keep no back-link.
OvBool OvRasterDestroy(OvRaster* raster);

// Asks the driver which raster it would make for an image (in) and number; fills the outs and
// returns in, or null.
void* OvRasterQueryFormat(void* in, OvInt32 number, OvInt32* width, OvInt32* height, OvInt32* depth, OvInt32* format);

OvUInt8* OvRasterLock(OvRaster* raster, OvUInt8 level, OvInt32 lockMode);
OvRaster* OvRasterUnlock(OvRaster* raster);
OvUInt8* OvRasterLockPalette(OvRaster* raster, OvInt32 lockMode);
OvRaster* OvRasterUnlockPalette(OvRaster* raster);
// Ends the resource arena's frame, then shows the raster in the window.
OvRaster* OvRasterShowRaster(OvRaster* raster, void* window, OvUInt32 flags);
// Mip levels: 1 without mip levels; -1 when the driver refuses.
OvInt32 OvRasterGetNumLevels(OvRaster* raster);
OvRaster* OvRasterGetCurrentContext();

inline OvInt32 OvRasterGetFormat(const OvRaster* raster) { return static_cast<OvInt32>(raster->cFormat) << 8; }
inline OvInt32 OvRasterGetType(const OvRaster* raster) { return raster->cType; }

struct OvImage;

// The driver's conversions between rasters and images; each carries the gamma-corrected mark
// from the one to the other (and never clears it).
OvImage* OvImageSetFromRaster(OvImage* image, OvRaster* raster);
OvRaster* OvRasterSetFromImage(OvRaster* raster, OvImage* image);
