#include "graphics/core/d3d9/raster.h"

#include <algorithm>
#include <vector>

#include "graphics/core/d3d9/device.h"
#include "graphics/core/d3d9/pixel_convert.h"
#include "graphics/core/d3d9/render_state.h"
#include "graphics/core/engine.h"
#include "graphics/core/error.h"
#include "graphics/core/image.h"
#include "graphics/core/image_processing.h"
#include "graphics/core/texture.h"

namespace {

OvInt32 gExtOffset = -1;
// Rasters whose resources or device state a reset destroys (z-buffers, and P8 textures whose
// palettes the device forgets), newest last.
std::vector<OvRaster*> gVideoRasters;
// Palette numbers handed back, and the next never handed out.
std::vector<OvUInt16> gFreePaletteNumbers;
OvUInt32 gNextPaletteNumber = 0;
constexpr std::size_t kPaletteBytes = 256 * 4;

bool TakePaletteNumber(OvUInt32* number) {
    if (!gFreePaletteNumbers.empty()) {
        *number = gFreePaletteNumbers.back();
        gFreePaletteNumbers.pop_back();
        return true;
    }
    if (gNextPaletteNumber > 0xFFFF) {
        return false;
    }
    *number = gNextPaletteNumber++;
    return true;
}

void SendPalette(const OvD3D9RasterExt* ext) {
    if (IDirect3DDevice9* device = OvD3D9GetDevice()) {
        device->SetPaletteEntries(ext->paletteNumber, reinterpret_cast<const PALETTEENTRY*>(ext->palette));
    }
}

void FreePalette(OvD3D9RasterExt* ext) {
    if (ext->palette != nullptr) {
        OvFree(ext->palette);
        ext->palette = nullptr;
        gFreePaletteNumbers.push_back(static_cast<OvUInt16>(ext->paletteNumber));
    }
}

// The core runs the extension constructors after the driver has made the raster, so the
// constructor leaves the extension as the driver's create filled it.
void* ExtConstruct(void* object, OvInt32, OvInt32) { return object; }
void* ExtDestruct(void* object, OvInt32, OvInt32) { return object; }
void* ExtCopy(void* dst, const void*, OvInt32, OvInt32) { return dst; }

struct FormatEntry {
    OvInt32 code;
    D3DFORMAT format;
    OvInt32 depth;
    OvUInt8 alpha;
};

constexpr FormatEntry kFormats[] = {
    {ovRASTERFORMAT1555, D3DFMT_A1R5G5B5, 16, 1}, {ovRASTERFORMAT565, D3DFMT_R5G6B5, 16, 0},
    {ovRASTERFORMAT4444, D3DFMT_A4R4G4B4, 16, 1}, {ovRASTERFORMATLUM8, D3DFMT_L8, 8, 0},
    {ovRASTERFORMAT8888, D3DFMT_A8R8G8B8, 32, 1}, {ovRASTERFORMAT888, D3DFMT_X8R8G8B8, 32, 0},
    {ovRASTERFORMAT555, D3DFMT_X1R5G5B5, 16, 0},
};

const FormatEntry* FindCode(OvInt32 code) {
    for (const FormatEntry& e : kFormats) {
        if (e.code == code) {
            return &e;
        }
    }
    return nullptr;
}

const FormatEntry* FindFormat(D3DFORMAT format) {
    for (const FormatEntry& e : kFormats) {
        if (e.format == format) {
            return &e;
        }
    }
    return nullptr;
}

OvBool Fail(OvInt32 code) {
    OvErrorReport(ovPLUGINIDCORE, OvErrorCode(code));
    return FALSE;
}

OvRaster* Top(OvRaster* raster) {
    while (raster->parent != raster) {
        raster = raster->parent;
    }
    return raster;
}

void Unlist(OvRaster* raster) {
    gVideoRasters.erase(std::remove(gVideoRasters.begin(), gVideoRasters.end(), raster), gVideoRasters.end());
}

// Gives a z raster its depth surface: the device's own at the back buffer's size, else one of
// its own in the default pool.
OvBool MakeDepthSurface(OvRaster* raster, OvD3D9RasterExt* ext) {
    const D3DPRESENT_PARAMETERS* pp = OvD3D9GetPresentParameters();
    ext->ownSurface = 0;
    if (static_cast<UINT>(raster->width) == pp->BackBufferWidth &&
        static_cast<UINT>(raster->height) == pp->BackBufferHeight) {
        ext->surface = OvD3D9GetDepthSurface();
        return ext->surface != nullptr ? TRUE : FALSE;
    }
    IDirect3DDevice9* device = OvD3D9GetDevice();
    const HRESULT hr =
        device == nullptr
            ? D3DERR_INVALIDCALL
            : device->CreateDepthStencilSurface(static_cast<UINT>(raster->width), static_cast<UINT>(raster->height),
                                                pp->AutoDepthStencilFormat, pp->MultiSampleType, pp->MultiSampleQuality,
                                                FALSE, &ext->surface, nullptr);
    if (hr != D3D_OK) {
        ext->surface = nullptr;
        OvErrorReport(ovPLUGINIDCORE,
                      OvErrorCode(2, hr == D3DERR_OUTOFVIDEOMEMORY ? "Out of video memory. Failed to create raster."
                                                                   : "Failed to create raster."));
        return FALSE;
    }
    ext->ownSurface = 1;
    return TRUE;
}

void ReleaseDepthSurface(OvD3D9RasterExt* ext) {
    if (ext->surface != nullptr && ext->ownSurface) {
        ext->surface->Release();
    }
    ext->surface = nullptr;
    ext->ownSurface = 0;
}

OvInt32 ZCode() { return OvD3D9GetZBufferDepth() > 16 ? ovRASTERFORMAT32 : ovRASTERFORMAT16; }

// What the render-state cache binds for a raster: its top raster's texture, alpha and palette.
OvBool RasterTexture(const OvRaster* raster, OvD3D9RasterTexture* out) {
    OvD3D9RasterExt* ext = OvD3D9RasterExtGet(Top(const_cast<OvRaster*>(raster)));
    out->texture = ext->texture;
    out->hasAlpha = ext->hasAlpha ? TRUE : FALSE;
    out->palette = ext->palette != nullptr ? static_cast<OvInt32>(ext->paletteNumber) : -1;
    return ext->texture != nullptr ? TRUE : FALSE;
}

} // namespace

OvBool OvD3D9RasterOpen() {
    OvD3D9SetRasterTextureFunction(RasterTexture);
    // The registry is emptied at engine term: register at every attach.
    gExtOffset =
        OvRasterRegisterPlugin(sizeof(OvD3D9RasterExt), ovPLUGINIDD3D9RASTER, ExtConstruct, ExtDestruct, ExtCopy);
    return gExtOffset >= 0 ? TRUE : FALSE;
}

OvD3D9RasterExt* OvD3D9RasterExtGet(OvRaster* raster) {
    return reinterpret_cast<OvD3D9RasterExt*>(reinterpret_cast<char*>(raster) + gExtOffset);
}

D3DFORMAT OvD3D9RasterCodeFormat(OvInt32 code) {
    const FormatEntry* e = FindCode(code);
    return e != nullptr ? e->format : D3DFMT_UNKNOWN;
}

OvBool OvD3D9CheckTextureFormat(D3DFORMAT format) {
    IDirect3D9* d3d = OvD3D9GetDirect3D();
    return d3d != nullptr && d3d->CheckDeviceFormat(OvD3D9GetAdapter(), D3DDEVTYPE_HAL, OvD3D9GetCurrentMode()->format,
                                                    0, D3DRTYPE_TEXTURE, format) == D3D_OK
               ? TRUE
               : FALSE;
}

OvInt32 OvD3D9RasterChooseFormat(OvInt32 type, OvInt32 flags, OvInt32 depth) {
    OvInt32 code = flags & ovRASTERFORMATPIXELFORMATMASK;
    const OvInt32 rest = flags & ~ovRASTERFORMATPIXELFORMATMASK;
    switch (type) {
    case ovRASTERTYPENORMAL:
    case ovRASTERTYPETEXTURE:
        if (flags & ovRASTERFORMATPAL4) {
            Fail(ovERRBADRASTERFORMAT);
            return -1;
        }
        if (flags & ovRASTERFORMATPAL8) {
            // P8 textures: 888 entries, or 8888 where the device takes palette alpha.
            if (code == 0) {
                code = ovRASTERFORMAT888;
            }
            const bool alphaPalette = (OvD3D9GetCaps()->TextureCaps & D3DPTEXTURECAPS_ALPHAPALETTE) != 0;
            if (code != ovRASTERFORMAT888 && code != ovRASTERFORMAT8888) {
                OvErrorReport(
                    ovPLUGINIDCORE,
                    OvErrorCode(2, "Palletized texture can only be ovRASTERFORMAT888 or ovRASTERFORMAT8888."));
                return -1;
            }
            if ((code == ovRASTERFORMAT8888 && !alphaPalette) || !OvD3D9CheckTextureFormat(D3DFMT_P8)) {
                return -1;
            }
            return rest | code;
        }
        if (code == 0) {
            code = depth == 16 ? ovRASTERFORMAT565 : depth == 8 ? ovRASTERFORMATLUM8 : ovRASTERFORMAT8888;
        }
        if (FindCode(code) == nullptr) {
            Fail(ovERRBADRASTERFORMAT);
            return -1;
        }
        if (!OvD3D9CheckTextureFormat(OvD3D9RasterCodeFormat(code))) {
            // Luminance falls back to 888; everything else is refused.
            if (code != ovRASTERFORMATLUM8 || !OvD3D9CheckTextureFormat(D3DFMT_X8R8G8B8)) {
                return -1;
            }
            code = ovRASTERFORMAT888;
        }
        return rest | code;
    case ovRASTERTYPEZBUFFER:
        if (code != 0 && code != ZCode()) {
            Fail(ovERRBADRASTERFORMAT);
            return -1;
        }
        return (rest & ~(ovRASTERFORMATMIPMAP | ovRASTERFORMATAUTOMIPMAP)) | ZCode();
    case ovRASTERTYPECAMERA: {
        const FormatEntry* display = FindFormat(OvD3D9GetCurrentMode()->format);
        const OvInt32 displayCode = display != nullptr ? display->code : 0;
        if (displayCode == 0 || (code != 0 && code != displayCode)) {
            Fail(ovERRBADRASTERFORMAT);
            return -1;
        }
        return (rest & ~(ovRASTERFORMATMIPMAP | ovRASTERFORMATAUTOMIPMAP)) | displayCode;
    }
    default:
        Fail(ovERRBADRASTERFORMAT);
        return -1;
    }
}

OvBool OvD3D9RasterCreate(void*, void* object, OvInt32 flags) {
    auto* raster = static_cast<OvRaster*>(object);
    OvD3D9RasterExt* ext = OvD3D9RasterExtGet(raster);
    *ext = {};
    ext->lockedLevel = 0xFF;
    const OvInt32 type = flags & ovRASTERTYPEMASK;
    raster->cType = static_cast<OvUInt8>(type);
    raster->cFlags = static_cast<OvUInt8>(flags & ovRASTERDONTALLOCATE);
    raster->cpPixels = nullptr;
    raster->palette = nullptr;
    raster->privateFlags = 0;
    if (raster->cFlags & ovRASTERDONTALLOCATE) {
        raster->cFormat = static_cast<OvUInt8>((flags & 0xFF00) >> 8);
        return TRUE;
    }
    const OvInt32 chosen = OvD3D9RasterChooseFormat(type, flags, raster->depth);
    if (chosen < 0) {
        return FALSE;
    }
    const OvInt32 code = chosen & ovRASTERFORMATPIXELFORMATMASK;
    raster->cFormat = static_cast<OvUInt8>((chosen & 0xFF00) >> 8);
    IDirect3DDevice9* device = OvD3D9GetDevice();
    switch (type) {
    case ovRASTERTYPENORMAL:
    case ovRASTERTYPETEXTURE: {
        const FormatEntry* e = FindCode(code);
        const bool palettised = (chosen & ovRASTERFORMATPAL8) != 0;
        raster->depth = palettised ? 8 : e->depth;
        ext->format = palettised ? D3DFMT_P8 : e->format;
        ext->hasAlpha = e->alpha;
        if (palettised) {
            ext->palette = static_cast<OvUInt8*>(OvCalloc(1, kPaletteBytes, ovMEMHINTDUR_OBJECT));
            if (ext->palette == nullptr) {
                return Fail(ovERRNOMEMORY);
            }
            if (!TakePaletteNumber(&ext->paletteNumber)) {
                OvFree(ext->palette);
                ext->palette = nullptr;
                return Fail(ovERRBADRASTERFORMAT);
            }
        }
        OvD3D9RasterFitSize(&raster->width, &raster->height, type, chosen, *OvD3D9GetCaps());
        const UINT levels = (chosen & ovRASTERFORMATMIPMAP) ? 0 : 1;
        if (device == nullptr ||
            device->CreateTexture(static_cast<UINT>(raster->width), static_cast<UINT>(raster->height), levels, 0,
                                  ext->format, D3DPOOL_MANAGED, &ext->texture, nullptr) != D3D_OK) {
            ext->texture = nullptr;
            FreePalette(ext);
            OvErrorReport(ovPLUGINIDCORE, OvErrorCode(2, "Failed to create texture."));
            return FALSE;
        }
        if (palettised) {
            SendPalette(ext);
            gVideoRasters.push_back(raster);
        }
        return TRUE;
    }
    case ovRASTERTYPEZBUFFER:
        raster->depth = OvD3D9GetZBufferDepth();
        if (!MakeDepthSurface(raster, ext)) {
            return FALSE;
        }
        gVideoRasters.push_back(raster);
        return TRUE;
    case ovRASTERTYPECAMERA:
        raster->depth = FindCode(code)->depth;
        ext->format = OvD3D9GetCurrentMode()->format;
        return TRUE;
    default:
        return FALSE;
    }
}

OvBool OvD3D9RasterDestroy(void*, void* object, OvInt32) {
    auto* raster = static_cast<OvRaster*>(object);
    OvD3D9RasterExt* ext = OvD3D9RasterExtGet(raster);
    for (OvUInt32 stage = 0; stage < 8; ++stage) {
        if (OvD3D9GetTextureRaster(stage) == raster) {
            OvD3D9SetTextureRaster(nullptr, stage);
        }
    }
    if (raster->cpPixels != nullptr) {
        OvD3D9RasterUnlock(nullptr, raster, 0);
    }
    raster->palette = nullptr;
    raster->privateFlags &= static_cast<OvUInt8>(~(ovRASTERPALETTELOCKED | ovRASTERPALETTELOCKEDWRITE));
    if (raster->parent == raster) {
        FreePalette(ext);
    }
    switch (raster->cType) {
    case ovRASTERTYPENORMAL:
    case ovRASTERTYPETEXTURE:
    case ovRASTERTYPEZBUFFER:
    case ovRASTERTYPECAMERA:
        break;
    default:
        return Fail(ovERRBADRASTERFORMAT);
    }
    if (ext->texture != nullptr) {
        ext->texture->Release();
        ext->texture = nullptr;
    }
    ReleaseDepthSurface(ext);
    Unlist(raster);
    return TRUE;
}

void OvD3D9ReleaseVideoRasters() {
    for (OvRaster* raster : gVideoRasters) {
        if (raster->cType == ovRASTERTYPEZBUFFER) {
            ReleaseDepthSurface(OvD3D9RasterExtGet(raster));
        }
    }
}

void OvD3D9VideoRasterListClose() {
    gVideoRasters.clear();
    gVideoRasters.shrink_to_fit();
}

OvBool OvD3D9RestoreVideoRasters() {
    OvBool ok = TRUE;
    for (OvRaster* raster : gVideoRasters) {
        OvD3D9RasterExt* ext = OvD3D9RasterExtGet(raster);
        if (raster->cType != ovRASTERTYPEZBUFFER) {
            SendPalette(ext);
        } else if (!MakeDepthSurface(raster, ext)) {
            ok = FALSE;
        }
    }
    return ok;
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
    if (raster->cType == ovRASTERTYPECAMERA) {
        // The back buffer is reached through a copy in system memory.
        IDirect3DDevice9* device = OvD3D9GetDevice();
        IDirect3DSurface9* source = OvD3D9GetBackBuffer();
        D3DSURFACE_DESC desc{};
        if (level != 0 || device == nullptr || source == nullptr || source->GetDesc(&desc) != D3D_OK ||
            device->CreateOffscreenPlainSurface(desc.Width, desc.Height, desc.Format, D3DPOOL_SYSTEMMEM, &surface,
                                                nullptr) != D3D_OK) {
            return FALSE;
        }
        if (((mode & ovRASTERLOCKREAD) && device->GetRenderTargetData(source, surface) != D3D_OK) ||
            surface->LockRect(&locked, raster == top ? nullptr : &rect, 0) != D3D_OK) {
            surface->Release();
            return FALSE;
        }
    } else {
        if ((raster->cType != ovRASTERTYPENORMAL && raster->cType != ovRASTERTYPETEXTURE) ||
            topExt->texture == nullptr) {
            return Fail(ovERRRASTERLOCKED);
        }
        DWORD lockFlags = D3DLOCK_NOSYSLOCK;
        if ((mode & ovRASTERLOCKWRITE) == 0) {
            lockFlags |= D3DLOCK_READONLY | D3DLOCK_NO_DIRTY_UPDATE;
        }
        if (level >= topExt->texture->GetLevelCount() || topExt->texture->GetSurfaceLevel(level, &surface) != D3D_OK) {
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
    raster->width = raster->originalWidth;
    raster->height = raster->originalHeight;
    raster->stride = raster->originalStride;
    raster->cpPixels = nullptr;
    const bool written = (raster->privateFlags & ovRASTERPIXELLOCKEDWRITE) != 0;
    raster->privateFlags &= static_cast<OvUInt8>(~(ovRASTERPIXELLOCKEDREAD | ovRASTERPIXELLOCKEDWRITE));
    if (ext->lockSurface != nullptr) {
        ext->lockSurface->UnlockRect();
        if (raster->cType == ovRASTERTYPECAMERA && written && OvD3D9GetDevice() != nullptr &&
            OvD3D9GetBackBuffer() != nullptr) {
            // The written copy goes back to the back buffer at the raster's place in it.
            const RECT place{raster->nOffsetX, raster->nOffsetY, raster->nOffsetX + raster->width,
                             raster->nOffsetY + raster->height};
            const POINT at{raster->nOffsetX, raster->nOffsetY};
            OvD3D9GetDevice()->UpdateSurface(ext->lockSurface, &place, OvD3D9GetBackBuffer(), &at);
        }
        ext->lockSurface->Release();
        ext->lockSurface = nullptr;
    }
    const OvUInt8 level = ext->lockedLevel;
    ext->lockedLevel = 0xFF;
    // The device makes no levels itself: a write of level 0 of an automatic-mipmap texture
    // regenerates the others in software (the generator clears the automatic bit while it
    // writes, so its own unlocks do not come back here).
    OvRaster* top = Top(raster);
    OvD3D9RasterExt* topExt = OvD3D9RasterExtGet(top);
    if (written && level == 0 && (OvRasterGetFormat(top) & ovRASTERFORMATAUTOMIPMAP) && topExt->texture != nullptr &&
        topExt->texture->GetLevelCount() > 1) {
        OvTextureGenerateMipmaps(top, nullptr);
    }
    return TRUE;
}

OvBool OvD3D9RasterGetNumLevels(void* countOut, void* object, OvInt32) {
    OvRaster* top = Top(static_cast<OvRaster*>(object));
    OvD3D9RasterExt* ext = OvD3D9RasterExtGet(top);
    if (ext->texture == nullptr) {
        return Fail(ovERRBADRASTERFORMAT);
    }
    *static_cast<OvInt32*>(countOut) = static_cast<OvInt32>(ext->texture->GetLevelCount());
    return TRUE;
}

namespace {

// The raster's level 0 as the conversion sees it; locks it (mode) unless it is already locked.
// *lockedHere and *paletteLockedHere tell whether the caller must unlock pixels and palette
// (a P8 texture's palette is locked with the pixels).
bool ViewLevel(OvRaster* raster, OvInt32 mode, OvD3D9PixelView* view, bool* lockedHere, bool* paletteLockedHere) {
    *lockedHere = false;
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
    if (paletteLockedHere) {
        OvD3D9RasterUnlockPalette(nullptr, raster, 0);
    }
    if (lockedHere) {
        OvD3D9RasterUnlock(nullptr, raster, 0);
    }
    return ok;
}

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
    OvUInt8 hasAlpha = ext->hasAlpha;
    // An image of another size goes in resampled to the level's.
    OvImage* resampled = nullptr;
    if (image->width != view.width || image->height != view.height) {
        resampled = OvImageCreateResampled(image, view.width, view.height);
    }
    const OvBool ok = (image->width == view.width && image->height == view.height) || resampled != nullptr
                          ? OvD3D9PixelsFromImage(view, resampled != nullptr ? resampled : image, TRUE, &hasAlpha)
                          : FALSE;
    if (resampled != nullptr) {
        OvImageDestroy(resampled);
    }
    if (ok) {
        ext->hasAlpha = hasAlpha;
        if (hasAlpha) {
            OvD3D9RasterExtGet(Top(raster))->hasAlpha = 1;
        }
    }
    if (paletteLockedHere) {
        OvD3D9RasterUnlockPalette(nullptr, raster, 0);
    }
    if (lockedHere) {
        OvD3D9RasterUnlock(nullptr, raster, 0);
    }
    return ok;
}

namespace {

OvInt32 DisplayDepth() {
    const D3DFORMAT display = OvD3D9GetCurrentMode()->format;
    const FormatEntry* e = FindFormat(display);
    return e != nullptr ? e->depth : 32;
}

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

OvBool OvD3D9RasterFormatForImage(void* out, void* in, OvInt32 flags) {
    auto* raster = static_cast<OvRaster*>(out);
    const auto* image = static_cast<const OvImage*>(in);
    const OvInt32 type = flags & ovRASTERTYPEMASK;
    constexpr OvInt32 kMipBits = ovRASTERFORMATMIPMAP | ovRASTERFORMATAUTOMIPMAP;
    OvInt32 width = image->width;
    OvInt32 height = image->height;
    OvInt32 format = flags;
    if (type == ovRASTERTYPENORMAL || type == ovRASTERTYPETEXTURE || type == ovRASTERTYPECAMERATEXTURE) {
        // A palettised image keeps its palette where the device takes P8 textures of that
        // palette format; otherwise (and for 4-bit palettes) it becomes a 32-bit texture.
        OvInt32 best = OvD3D9ImageBestRasterFormat(image);
        const bool alphaPalette = (OvD3D9GetCaps()->TextureCaps & D3DPTEXTURECAPS_ALPHAPALETTE) != 0;
        if ((best & ovRASTERFORMATPAL4) ||
            ((best & ovRASTERFORMATPAL8) &&
             (!OvD3D9CheckTextureFormat(D3DFMT_P8) ||
              ((best & ovRASTERFORMATPIXELFORMATMASK) == ovRASTERFORMAT8888 && !alphaPalette)))) {
            best &= ovRASTERFORMATPIXELFORMATMASK;
        }
        format = type == ovRASTERTYPENORMAL ? best | (flags & ~kMipBits) : type | best | (flags & kMipBits);
        OvD3D9RasterFitSize(&width, &height, type, format, *OvD3D9GetCaps());
    } else if (type != ovRASTERTYPEZBUFFER && type != ovRASTERTYPECAMERA) {
        return Fail(ovERRBADRASTERFORMAT);
    }
    const OvInt32 chosen = OvD3D9RasterChooseFormat(type, format, 0);
    if (chosen < 0) {
        return FALSE;
    }
    const OvInt32 code = chosen & ovRASTERFORMATPIXELFORMATMASK;
    raster->width = width;
    raster->height = height;
    raster->cType = static_cast<OvUInt8>(type);
    raster->cFormat = static_cast<OvUInt8>((chosen & 0xFF00) >> 8);
    raster->depth = type == ovRASTERTYPEZBUFFER     ? OvD3D9GetZBufferDepth()
                    : (chosen & ovRASTERFORMATPAL8) ? 8
                    : FindCode(code) != nullptr     ? FindCode(code)->depth
                                                    : 0;
    return TRUE;
}

OvBool OvD3D9RasterLockPalette(void* paletteOut, void* object, OvInt32 lockMode) {
    auto* raster = static_cast<OvRaster*>(object);
    OvD3D9RasterExt* ext = OvD3D9RasterExtGet(Top(raster));
    if ((raster->cType != ovRASTERTYPENORMAL && raster->cType != ovRASTERTYPETEXTURE) || ext->palette == nullptr ||
        raster->palette != nullptr) {
        return Fail(ovERRRASTERLOCKED);
    }
    raster->palette = ext->palette;
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
