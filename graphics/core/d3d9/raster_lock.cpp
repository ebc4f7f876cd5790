// Driver rasters: level and face locks, levels, images read from and written into rasters, the
// best raster format for an image and the record a format query fills, and palette locks.

#include "graphics/core/d3d9/raster.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <vector>

#include "graphics/core/d3d9/device.h"
#include "graphics/core/d3d9/device_cache.h"
#include "graphics/core/d3d9/native_texture.h"
#include "graphics/core/d3d9/pixel_convert.h"
#include "graphics/core/d3d9/raster_internal.h"
#include "graphics/core/d3d9/render_state.h"
#include "graphics/core/engine.h"
#include "graphics/core/error.h"
#include "graphics/core/image.h"
#include "graphics/core/image_processing.h"
#include "graphics/core/texture.h"
#include "platform/win32.h"

using namespace d3d9raster;

IDirect3DSurface9* d3d9raster::TargetSurface(OvRaster* top, OvUInt32 level) {
    if (top->cType == ovRASTERTYPECAMERA) {
        const OvD3D9RasterExt* ext = OvD3D9RasterExtGet(top);
        IDirect3DSurface9* back = ext->window != nullptr ? ext->surface : OvD3D9GetBackBuffer();
        if (back != nullptr) {
            back->AddRef();
        }
        return back;
    }
    return LevelSurface(OvD3D9RasterExtGet(top), level);
}

OvBool OvD3D9RasterLock(void* pixelsOut, void* object, OvInt32 levelAndMode) {
    auto* raster = static_cast<OvRaster*>(object);
    if (raster->cpPixels != nullptr) {
        return Fail(ovERRRASTERLOCKED);
    }
    OvRaster* top = Top(raster);
    OvD3D9RasterExt* topExt = OvD3D9RasterExtGet(top);
    const OvInt32 mode = levelAndMode & 0xFF;
    const OvUInt32 level = static_cast<OvUInt32>(levelAndMode >> 8) & 0xFF;
    D3DLOCKED_RECT locked{};
    RECT rect{raster->nOffsetX, raster->nOffsetY, raster->nOffsetX + raster->width, raster->nOffsetY + raster->height};
    IDirect3DSurface9* surface = nullptr;
    if (raster->cType == ovRASTERTYPECAMERA || raster->cType == ovRASTERTYPECAMERATEXTURE) {
        // Render targets are reached through a copy in system memory.
        IDirect3DDevice9* device = OvD3D9GetDevice();
        if (raster->cType == ovRASTERTYPECAMERA && level != 0) {
            return FALSE;
        }
        IDirect3DSurface9* source = TargetSurface(top, level);
        D3DSURFACE_DESC desc{};
        const bool made = device != nullptr && source != nullptr && source->GetDesc(&desc) == D3D_OK &&
                          device->CreateOffscreenPlainSurface(desc.Width, desc.Height, desc.Format, D3DPOOL_SYSTEMMEM,
                                                              &surface, nullptr) == D3D_OK;
        const bool ok = made &&
                        (!(mode & ovRASTERLOCKREAD) || device->GetRenderTargetData(source, surface) == D3D_OK) &&
                        surface->LockRect(&locked, raster == top ? nullptr : &rect, 0) == D3D_OK;
        if (source != nullptr) {
            source->Release();
        }
        if (!ok) {
            if (made) {
                surface->Release();
            }
            return source == nullptr ? Fail(ovERRRASTERLOCKED) : FALSE;
        }
    } else {
        // A raster without a texture (made without pixels, or empty) has nothing to lock.
        if ((raster->cType != ovRASTERTYPENORMAL && raster->cType != ovRASTERTYPETEXTURE) ||
            BaseTexture(topExt) == nullptr) {
            return Fail(ovERRRASTERLOCKED);
        }
        DWORD lockFlags = D3DLOCK_NOSYSLOCK;
        if ((mode & ovRASTERLOCKWRITE) == 0) {
            lockFlags |= D3DLOCK_READONLY | D3DLOCK_NO_DIRTY_UPDATE;
        }
        surface = LevelSurface(topExt, level);
        if (surface == nullptr) {
            return FALSE;
        }
        if (surface->LockRect(&locked, raster == top ? nullptr : &rect, lockFlags) != D3D_OK) {
            surface->Release();
            return FALSE;
        }
    }
    OvD3D9RasterExt* ext = OvD3D9RasterExtGet(raster);
    ext->lockSurface = surface;
    ext->lockedLevel = static_cast<OvUInt8>(level);
    if (mode & ovRASTERLOCKREAD) {
        raster->privateFlags |= ovRASTERPIXELLOCKEDREAD;
    }
    if (mode & ovRASTERLOCKWRITE) {
        raster->privateFlags |= ovRASTERPIXELLOCKEDWRITE;
    }
    raster->originalWidth = raster->width;
    raster->originalHeight = raster->height;
    raster->originalStride = raster->stride;
    raster->width = std::max(raster->width >> level, 1);
    raster->height = std::max(raster->height >> level, 1);
    raster->stride = locked.Pitch;
    raster->cpPixels = static_cast<OvUInt8*>(locked.pBits);
    *static_cast<OvUInt8**>(pixelsOut) = raster->cpPixels;
    return TRUE;
}

OvBool OvD3D9RasterUnlock(void*, void* object, OvInt32) {
    auto* raster = static_cast<OvRaster*>(object);
    if (raster->cpPixels == nullptr) {
        return Fail(ovERRRASTERNOTLOCKED);
    }
    OvD3D9RasterExt* ext = OvD3D9RasterExtGet(raster);
    OvRaster* top = Top(raster);
    raster->width = raster->originalWidth;
    raster->height = raster->originalHeight;
    raster->stride = raster->originalStride;
    raster->cpPixels = nullptr;
    const bool written = (raster->privateFlags & ovRASTERPIXELLOCKEDWRITE) != 0;
    raster->privateFlags &= static_cast<OvUInt8>(~(ovRASTERPIXELLOCKEDREAD | ovRASTERPIXELLOCKEDWRITE));
    const OvUInt8 level = ext->lockedLevel;
    ext->lockedLevel = 0xFF;
    if (ext->lockSurface != nullptr) {
        ext->lockSurface->UnlockRect();
        const bool target = raster->cType == ovRASTERTYPECAMERA || raster->cType == ovRASTERTYPECAMERATEXTURE;
        if (target && written && OvD3D9GetDevice() != nullptr) {
            // The written copy goes back to the target at the raster's place in it.
            if (IDirect3DSurface9* destination = TargetSurface(top, level)) {
                const RECT place{raster->nOffsetX, raster->nOffsetY,
                                 raster->nOffsetX + std::max(raster->width >> level, 1),
                                 raster->nOffsetY + std::max(raster->height >> level, 1)};
                const POINT at{raster->nOffsetX, raster->nOffsetY};
                OvD3D9GetDevice()->UpdateSurface(ext->lockSurface, raster == top ? nullptr : &place, destination,
                                                 raster == top ? nullptr : &at);
                destination->Release();
            }
        }
        ext->lockSurface->Release();
        ext->lockSurface = nullptr;
    }
    // Where the device makes no levels itself, a write of level 0 of an automatic-mipmap texture
    // regenerates the others in software (the generator clears the automatic bit while it
    // writes, so its own unlocks do not come back here).
    OvD3D9RasterExt* topExt = OvD3D9RasterExtGet(top);
    const IDirect3DBaseTexture9* base = BaseTexture(topExt);
    if (written && level == 0 && (OvRasterGetFormat(top) & ovRASTERFORMATAUTOMIPMAP) && (topExt->mipGen & 0x0F) == 0 &&
        base != nullptr && const_cast<IDirect3DBaseTexture9*>(base)->GetLevelCount() > 1 &&
        topExt->cubeTexture == nullptr) {
        OvTextureGenerateMipmaps(top, nullptr);
    }
    return TRUE;
}

OvBool OvD3D9RasterGetNumLevels(void* countOut, void* object, OvInt32) {
    OvRaster* top = Top(static_cast<OvRaster*>(object));
    OvD3D9RasterExt* ext = OvD3D9RasterExtGet(top);
    OvInt32 count = 1;
    if (top->cType != ovRASTERTYPENORMAL && top->cType != ovRASTERTYPETEXTURE &&
        top->cType != ovRASTERTYPECAMERATEXTURE) {
        count = 1;
    } else if (IDirect3DBaseTexture9* base = BaseTexture(ext)) {
        count = static_cast<OvInt32>(base->GetLevelCount());
    } else {
        // No resource: the halvings of the larger side.
        count = 0;
        for (OvInt32 side = std::max(top->width, top->height); side > 0; side >>= 1) {
            ++count;
        }
        count = std::max(count, 1);
    }
    *static_cast<OvInt32*>(countOut) = count;
    return TRUE;
}

namespace {

// The raster's level 0 as the conversion sees it; locks it (mode) unless it is already locked.
// *lockedHere and *paletteLockedHere tell whether the caller must unlock pixels and palette
// (a P8 texture's palette is locked with the pixels).
bool ViewLevel(OvRaster* raster, OvInt32 mode, OvD3D9PixelView* view, bool* lockedHere, bool* paletteLockedHere) {
    *lockedHere = false;
    *paletteLockedHere = false;
    if (OvD3D9RasterIsCompressed(raster)) {
        // Block-compressed pixels are neither decoded nor encoded here.
        FailWith("Compressed rasters can not be converted.");
        return false;
    }
    if (raster->cpPixels == nullptr) {
        OvUInt8* pixels = nullptr;
        if (!OvD3D9RasterLock(&pixels, raster, mode)) {
            return false;
        }
        *lockedHere = true;
    }
    const OvD3D9RasterExt* ext = OvD3D9RasterExtGet(Top(raster));
    *paletteLockedHere = false;
    if (ext->palette != nullptr && raster->palette == nullptr) {
        OvUInt8* palette = nullptr;
        OvD3D9RasterLockPalette(&palette, raster, mode);
        *paletteLockedHere = true;
    }
    *view = {raster->cpPixels,          raster->stride, raster->width, raster->height, raster->depth, ext->format,
             OvRasterGetFormat(raster), raster->palette};
    return true;
}

// Undoes the locks ViewLevel took.
void EndView(OvRaster* raster, bool lockedHere, bool paletteLockedHere) {
    if (paletteLockedHere) {
        OvD3D9RasterUnlockPalette(nullptr, raster, 0);
    }
    if (lockedHere) {
        OvD3D9RasterUnlock(nullptr, raster, 0);
    }
}

} // namespace

OvBool OvD3D9ImageGetFromRaster(void* image, void* object, OvInt32) {
    auto* raster = static_cast<OvRaster*>(object);
    OvD3D9PixelView view{};
    bool lockedHere = false;
    bool paletteLockedHere = false;
    if (!ViewLevel(raster, ovRASTERLOCKREAD, &view, &lockedHere, &paletteLockedHere)) {
        return FALSE;
    }
    const OvBool ok = OvD3D9PixelsToImage(static_cast<OvImage*>(image), view);
    EndView(raster, lockedHere, paletteLockedHere);
    return ok;
}

namespace {

// An 8-bit image of a 32-bit one's colours through a palette of at most 256 made for them.
OvImage* QuantisedImage(const OvImage* image) {
    OvImage* out = OvImageCreate(image->width, image->height, 8);
    OvPaletteQuantizer quantizer{};
    if (out == nullptr || OvImageAllocatePixels(out) == nullptr || !OvPaletteQuantizerInit(&quantizer)) {
        if (out != nullptr) {
            OvImageDestroy(out);
        }
        return nullptr;
    }
    OvPaletteQuantizerAddImage(&quantizer, image, 1.0f);
    OvPaletteQuantizerMakePalette(out->palette, 256, &quantizer);
    OvPaletteQuantizerMapImage(out->cpPixels, out->stride, 8, FALSE, &quantizer, image);
    OvPaletteQuantizerFree(&quantizer);
    return out;
}

} // namespace

OvBool OvD3D9RasterSetFromImage(void* object, void* in, OvInt32) {
    auto* raster = static_cast<OvRaster*>(object);
    auto* image = static_cast<OvImage*>(in);
    OvD3D9PixelView view{};
    bool lockedHere = false;
    bool paletteLockedHere = false;
    if (!ViewLevel(raster, ovRASTERLOCKWRITE, &view, &lockedHere, &paletteLockedHere)) {
        return FALSE;
    }
    OvD3D9RasterExt* ext = OvD3D9RasterExtGet(raster);
    // Whether the raster has alpha: a normal raster's follows the image's best format, a P8
    // raster's its palette format, any other's its device format.
    OvUInt8 hasAlpha = OvD3D9PixelFormatInfo(ext->format).alpha;
    if (raster->cType == ovRASTERTYPENORMAL) {
        const FormatEntry* best = FindCode(OvD3D9ImageBestRasterFormat(image) & ovRASTERFORMATPIXELFORMATMASK);
        hasAlpha = best != nullptr ? best->alpha : 0;
    } else if (ext->format == D3DFMT_P8) {
        hasAlpha = (view.formatFlags & ovRASTERFORMATPIXELFORMATMASK) == ovRASTERFORMAT8888 ? 1 : 0;
    }
    // An image of another size goes in resampled to the level's.
    OvImage* resampled = nullptr;
    if (image->width != view.width || image->height != view.height) {
        resampled = OvImageCreateResampled(image, view.width, view.height);
    }
    const OvImage* source = resampled != nullptr ? resampled : image;
    OvImage* quantised = nullptr;
    if (source->width == view.width && source->height == view.height && source->depth == 32 && view.depth == 8 &&
        (view.formatFlags & ovRASTERFORMATPAL8)) {
        // True colours go into a palette texture through a palette made for them; a palette with
        // alpha that the colours do not need becomes one without.
        quantised = QuantisedImage(source);
        if (quantised != nullptr && (view.formatFlags & ovRASTERFORMATPIXELFORMATMASK) == ovRASTERFORMAT8888 &&
            (OvD3D9ImageBestRasterFormat(quantised) & ovRASTERFORMATPIXELFORMATMASK) == ovRASTERFORMAT888) {
            for (OvRaster* r : {raster, Top(raster)}) {
                r->cFormat = static_cast<OvUInt8>((r->cFormat & 0xF0) | (ovRASTERFORMAT888 >> 8));
            }
            view.formatFlags = (view.formatFlags & ~ovRASTERFORMATPIXELFORMATMASK) | ovRASTERFORMAT888;
            ext->hasAlpha = hasAlpha = 0;
            OvD3D9RasterExtGet(Top(raster))->hasAlpha = 0;
        }
        source = quantised;
    }
    // The palette goes with level 0 only; other levels share it.
    const OvBool copyPalette = ext->lockedLevel == 0 ? TRUE : FALSE;
    const OvBool ok = source != nullptr && source->width == view.width && source->height == view.height
                          ? OvD3D9PixelsFromImage(view, source, copyPalette, &hasAlpha)
                          : FALSE;
    if (quantised != nullptr) {
        OvImageDestroy(quantised);
    }
    if (resampled != nullptr) {
        OvImageDestroy(resampled);
    }
    if (ok) {
        ext->hasAlpha = hasAlpha;
        if (hasAlpha) {
            OvD3D9RasterExtGet(Top(raster))->hasAlpha = 1;
        }
    }
    EndView(raster, lockedHere, paletteLockedHere);
    return ok;
}

namespace {

// Scans the palette entries the pixels use: TRUE when one has alpha below 255.
bool PixelsUseTranslucentEntries(const OvImage* image, OvUInt32 mask) {
    for (OvInt32 y = 0; y < image->height; ++y) {
        const OvUInt8* row = image->cpPixels + static_cast<std::ptrdiff_t>(y) * image->stride;
        for (OvInt32 x = 0; x < image->width; ++x) {
            if (image->palette[(row[x] & mask) * 4 + 3] < 255) {
                return true;
            }
        }
    }
    return false;
}

} // namespace

OvInt32 OvD3D9ImageBestRasterFormat(const OvImage* image) {
    if (image->depth == 4 || image->depth == 8) {
        const OvUInt32 entries = image->depth == 4 ? 16 : 256;
        const OvInt32 palette = image->depth == 4 ? ovRASTERFORMATPAL4 : ovRASTERFORMATPAL8;
        bool opaque = true;
        for (OvUInt32 i = 0; opaque && image->palette != nullptr && i < entries; ++i) {
            opaque = image->palette[i * 4 + 3] == 255;
        }
        const bool translucent =
            !opaque && image->cpPixels != nullptr && PixelsUseTranslucentEntries(image, entries - 1);
        return palette | (translucent ? ovRASTERFORMAT8888 : ovRASTERFORMAT888);
    }
    const bool deep = DisplayDepth() > 16;
    bool someBelow16 = false;
    bool someBelow255 = false;
    for (OvInt32 y = 0; image->cpPixels != nullptr && y < image->height; ++y) {
        const OvUInt8* row = image->cpPixels + static_cast<std::ptrdiff_t>(y) * image->stride;
        for (OvInt32 x = 0; x < image->width; ++x) {
            const OvUInt8 alpha = row[x * 4 + 3];
            if (alpha >= 16 && alpha < 255) {
                // Graded alpha decides at once.
                if (deep && OvD3D9CheckTextureFormat(D3DFMT_A8R8G8B8)) {
                    return ovRASTERFORMAT8888;
                }
                return OvD3D9CheckTextureFormat(D3DFMT_A4R4G4B4) ? ovRASTERFORMAT4444 : ovRASTERFORMAT1555;
            }
            someBelow16 = someBelow16 || alpha < 16;
            someBelow255 = someBelow255 || alpha < 255;
        }
    }
    if (someBelow16) {
        return deep && OvD3D9CheckTextureFormat(D3DFMT_A8R8G8B8) ? ovRASTERFORMAT8888 : ovRASTERFORMAT1555;
    }
    return deep && OvD3D9CheckTextureFormat(D3DFMT_X8R8G8B8) ? ovRASTERFORMAT888 : ovRASTERFORMAT565;
}

OvBool OvD3D9RasterDescribe(OvRaster* raster, OvInt32 flags) {
    const OvInt32 type = flags & ovRASTERTYPEMASK;
    const OvInt32 chosen = OvD3D9RasterChooseFormat(type, flags, 0);
    if (chosen < 0) {
        return FALSE;
    }
    const OvInt32 code = chosen & ovRASTERFORMATPIXELFORMATMASK;
    raster->cType = static_cast<OvUInt8>(type);
    raster->cFlags = static_cast<OvUInt8>(flags & 0xF8);
    raster->cFormat = static_cast<OvUInt8>((chosen & 0xFF00) >> 8);
    raster->depth = type == ovRASTERTYPEZBUFFER     ? OvD3D9GetZBufferDepth()
                    : (chosen & ovRASTERFORMATPAL8) ? 8
                    : FindCode(code) != nullptr     ? FindCode(code)->depth
                                                    : 0;
    return TRUE;
}

OvBool OvD3D9RasterFormatForImage(void* out, void* in, OvInt32 flags) {
    auto* raster = static_cast<OvRaster*>(out);
    const auto* image = static_cast<const OvImage*>(in);
    const OvInt32 type = flags & ovRASTERTYPEMASK;
    constexpr OvInt32 kMipBits = ovRASTERFORMATMIPMAP | ovRASTERFORMATAUTOMIPMAP;
    OvInt32 width = image->width;
    OvInt32 height = image->height;
    OvInt32 format = flags;
    if (type == ovRASTERTYPENORMAL || type == ovRASTERTYPETEXTURE || type == ovRASTERTYPECAMERATEXTURE) {
        // A palettised image keeps its palette (4-bit ones in an 8-bit palette) where the device
        // takes P8 textures of that palette format; the format choice drops any other. A render
        // target takes the palette's colour format instead.
        OvInt32 best = OvD3D9ImageBestRasterFormat(image);
        if (type == ovRASTERTYPECAMERATEXTURE) {
            best &= ovRASTERFORMATPIXELFORMATMASK;
        }
        format = type == ovRASTERTYPENORMAL ? best | (flags & ~kMipBits) : type | best | (flags & kMipBits);
        OvD3D9RasterFitSize(&width, &height, type, format, *OvD3D9GetCaps());
    } else if (type != ovRASTERTYPEZBUFFER && type != ovRASTERTYPECAMERA) {
        return Fail(ovERRBADRASTERFORMAT);
    }
    if (!OvD3D9RasterDescribe(raster, format)) {
        return FALSE;
    }
    raster->width = width;
    raster->height = height;
    return TRUE;
}

OvBool OvD3D9RasterLockPalette(void* paletteOut, void* object, OvInt32 lockMode) {
    auto* raster = static_cast<OvRaster*>(object);
    OvD3D9RasterExt* ext = OvD3D9RasterExtGet(Top(raster));
    if ((raster->cType != ovRASTERTYPENORMAL && raster->cType != ovRASTERTYPETEXTURE) || ext->palette == nullptr ||
        raster->palette != nullptr) {
        return Fail(ovERRRASTERLOCKED);
    }
    raster->palette = ext->palette->entries;
    raster->privateFlags |= ovRASTERPALETTELOCKED;
    if (lockMode & ovRASTERLOCKWRITE) {
        raster->privateFlags |= ovRASTERPALETTELOCKEDWRITE;
    }
    *static_cast<OvUInt8**>(paletteOut) = raster->palette;
    return TRUE;
}

OvBool OvD3D9RasterUnlockPalette(void*, void* object, OvInt32) {
    auto* raster = static_cast<OvRaster*>(object);
    if (raster->palette == nullptr) {
        return Fail(ovERRRASTERNOTLOCKED);
    }
    if (raster->privateFlags & ovRASTERPALETTELOCKEDWRITE) {
        SendPalette(OvD3D9RasterExtGet(Top(raster)));
    }
    raster->palette = nullptr;
    raster->privateFlags &= static_cast<OvUInt8>(~(ovRASTERPALETTELOCKED | ovRASTERPALETTELOCKEDWRITE));
    return TRUE;
}
