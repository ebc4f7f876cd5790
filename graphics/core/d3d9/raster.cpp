// Driver rasters: the raster extension and palettes, the format-code and pixel-format tables,
// the format checks and the format choice, creation and destruction by raster type, rasters made
// with a given format, the swap chains of other windows, and the video-memory list that a device
// reset releases and restores.

#include "graphics/core/d3d9/raster.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <initializer_list>

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

namespace d3d9raster {

OvInt32 gExtOffset = -1;
// Rasters whose resources or device state a reset destroys (z-buffers, camera rasters, camera
// textures, depth-format textures, and P8 textures whose palettes the device forgets), newest
// first, in records of a free list; and the palettes of P8 textures. Both free lists live from
// device start to stop (the raster module, and every raster with it, closes before the device
// stops).
struct VideoRaster {
    OvRaster* raster;
    VideoRaster* next;
};
VideoRaster* gVideoRasters = nullptr;
OvFreeList* gVideoRasterList = nullptr; // 127 a block
OvFreeList* gPaletteList = nullptr;     // 64 a block
constexpr OvInt32 kVideoRastersPerBlock = 127;
constexpr OvInt32 kPalettesPerBlock = 64;
// Palette numbers handed back (a stack grown 512 at a time), and the next never handed out.
OvUInt16* gFreePaletteNumbers = nullptr;
OvUInt32 gFreePaletteCount = 0;
OvUInt32 gFreePaletteCapacity = 0;
OvUInt32 gNextPaletteNumber = 0;
// The raster that clears and copies draw into; null: the raster module's current context.
OvRaster* gContext = nullptr;

bool TakePaletteNumber(OvUInt32* number) {
    if (gFreePaletteCount > 0) {
        *number = gFreePaletteNumbers[--gFreePaletteCount];
        return true;
    }
    if (gNextPaletteNumber > 0xFFFF) {
        return false;
    }
    *number = gNextPaletteNumber++;
    return true;
}

void GiveBackPaletteNumber(OvUInt32 number) {
    if (gFreePaletteCount == gFreePaletteCapacity) {
        const OvUInt32 capacity = gFreePaletteCapacity + 512;
        auto* grown = static_cast<OvUInt16*>(
            OvRealloc(gFreePaletteNumbers, capacity * sizeof(OvUInt16), ovD3D9MEMHINT | ovMEMHINTFLAG_RESIZABLE));
        if (grown == nullptr) {
            return; // out of memory: the number is not handed out again
        }
        gFreePaletteNumbers = grown;
        gFreePaletteCapacity = capacity;
    }
    gFreePaletteNumbers[gFreePaletteCount++] = static_cast<OvUInt16>(number);
}

void SendPalette(const OvD3D9RasterExt* ext) {
    if (IDirect3DDevice9* device = OvD3D9GetDevice(); device != nullptr && ext->palette != nullptr) {
        device->SetPaletteEntries(ext->palette->number, reinterpret_cast<const PALETTEENTRY*>(ext->palette->entries));
    }
}

void FreePalette(OvD3D9RasterExt* ext) {
    if (ext->palette != nullptr && gPaletteList != nullptr) {
        GiveBackPaletteNumber(ext->palette->number);
        OvFreeListEntryFree(gPaletteList, ext->palette);
    }
    ext->palette = nullptr; // without the list (device stopped) the record went with it
}

// A palette record and number for a P8 raster; FALSE (nothing taken) when there is none.
OvBool TakePalette(OvD3D9RasterExt* ext);

// The core runs the extension constructors after the driver has made the raster, so the
// constructor leaves the extension as the driver's create filled it.
// The driver's create fills the extension before the constructors run: only the swap chain,
// which a camera raster of another window takes after its creation, starts empty here.
void* ExtConstruct(void* object, OvInt32 offset, OvInt32) {
    auto* ext = reinterpret_cast<OvD3D9RasterExt*>(static_cast<char*>(object) + offset);
    ext->swapChain = nullptr;
    ext->window = nullptr;
    return object;
}

void ReleaseSwapChain(OvD3D9RasterExt* ext) {
    if (ext->swapChain != nullptr) {
        ext->swapChain->Release();
        ext->swapChain = nullptr;
        ext->surface = nullptr; // the back buffer went with it
    }
}

void* ExtDestruct(void* object, OvInt32 offset, OvInt32) {
    ReleaseSwapChain(reinterpret_cast<OvD3D9RasterExt*>(static_cast<char*>(object) + offset));
    return object;
}
void* ExtCopy(void* dst, const void*, OvInt32, OvInt32) { return dst; }

// The raster format codes and their resources.
constexpr FormatEntry kFormats[] = {
    {ovRASTERFORMAT1555, D3DFMT_A1R5G5B5, 16, 1}, {ovRASTERFORMAT565, D3DFMT_R5G6B5, 16, 0},
    {ovRASTERFORMAT4444, D3DFMT_A4R4G4B4, 16, 1}, {ovRASTERFORMATLUM8, D3DFMT_L8, 8, 0},
    {ovRASTERFORMAT8888, D3DFMT_A8R8G8B8, 32, 1}, {ovRASTERFORMAT888, D3DFMT_X8R8G8B8, 32, 0},
    {ovRASTERFORMAT16, D3DFMT_D16, 16, 0},        {ovRASTERFORMAT24, D3DFMT_D24X8, 32, 0},
    {ovRASTERFORMAT32, D3DFMT_D32, 32, 0},        {ovRASTERFORMAT555, D3DFMT_X1R5G5B5, 16, 0},
};

const FormatEntry* FindCode(OvInt32 code) {
    for (const FormatEntry& e : kFormats) {
        if (e.code == code) {
            return &e;
        }
    }
    return nullptr;
}

bool IsDepthFormat(D3DFORMAT format) { return format >= 70 && format <= 80; }

OvBool Fail(OvInt32 code) {
    OvErrorReport(ovPLUGINIDCORE, OvErrorCode(code));
    return FALSE;
}

OvBool FailWith(const char* message) {
    OvErrorReport(ovPLUGINIDCORE, OvErrorCode(2, message));
    return FALSE;
}

OvRaster* Top(OvRaster* raster) {
    while (raster->parent != raster) {
        raster = raster->parent;
    }
    return raster;
}

void List(OvRaster* raster) {
    for (const VideoRaster* v = gVideoRasters; v != nullptr; v = v->next) {
        if (v->raster == raster) {
            return;
        }
    }
    // Without the list (no device) there is no reset to follow.
    auto* record = gVideoRasterList != nullptr
                       ? static_cast<VideoRaster*>(OvFreeListEntryAlloc(gVideoRasterList, ovD3D9MEMHINT))
                       : nullptr;
    if (record != nullptr) {
        *record = {raster, gVideoRasters};
        gVideoRasters = record;
    }
}

void Unlist(OvRaster* raster) {
    for (VideoRaster** at = &gVideoRasters; *at != nullptr; at = &(*at)->next) {
        if ((*at)->raster == raster) {
            VideoRaster* gone = *at;
            *at = gone->next;
            OvFreeListEntryFree(gVideoRasterList, gone);
            return;
        }
    }
}

IDirect3DBaseTexture9* BaseTexture(const OvD3D9RasterExt* ext) {
    return ext->cubeTexture != nullptr ? static_cast<IDirect3DBaseTexture9*>(ext->cubeTexture) : ext->texture;
}

void ReleaseTexture(OvD3D9RasterExt* ext) {
    if (ext->texture != nullptr) {
        ext->texture->Release();
        ext->texture = nullptr;
    }
    if (ext->cubeTexture != nullptr) {
        ext->cubeTexture->Release();
        ext->cubeTexture = nullptr;
    }
}

// The surface of a level (of the face the extension addresses, for a cube); null when there
// is none.
IDirect3DSurface9* LevelSurface(const OvD3D9RasterExt* ext, OvUInt32 level) {
    IDirect3DSurface9* surface = nullptr;
    const IDirect3DBaseTexture9* base = BaseTexture(ext);
    if (base == nullptr || level >= const_cast<IDirect3DBaseTexture9*>(base)->GetLevelCount()) {
        return nullptr;
    }
    const HRESULT hr =
        ext->cubeTexture != nullptr
            ? ext->cubeTexture->GetCubeMapSurface(static_cast<D3DCUBEMAP_FACES>(ext->cube >> 4), level, &surface)
            : ext->texture->GetSurfaceLevel(level, &surface);
    return hr == D3D_OK ? surface : nullptr;
}

HRESULT CheckFormat(DWORD usage, D3DRESOURCETYPE type, D3DFORMAT format) {
    IDirect3D9* d3d = OvD3D9GetDirect3D();
    return d3d != nullptr ? d3d->CheckDeviceFormat(OvD3D9GetAdapter(), D3DDEVTYPE_HAL, OvD3D9GetCurrentMode()->format,
                                                   usage, type, format)
                          : D3DERR_NOTAVAILABLE;
}

// The depth surface format a render target of format must work with.
bool DepthMatches(D3DFORMAT renderTarget, D3DFORMAT depth) {
    IDirect3D9* d3d = OvD3D9GetDirect3D();
    return d3d != nullptr && d3d->CheckDepthStencilMatch(OvD3D9GetAdapter(), D3DDEVTYPE_HAL,
                                                         OvD3D9GetCurrentMode()->format, renderTarget, depth) == D3D_OK;
}

bool AutoMipmapAnswer(DWORD usage, D3DRESOURCETYPE type, D3DFORMAT format) {
    return (OvD3D9GetCaps()->Caps2 & D3DCAPS2_CANAUTOGENMIPMAP) != 0 &&
           CheckFormat(D3DUSAGE_AUTOGENMIPMAP | usage, type, format) == D3D_OK;
}

// Gives a z raster its depth surface: the device's own at the back buffer's size, else one of
// its own in the default pool.
OvBool OvD3D9DepthCreate(OvRaster* raster, OvD3D9RasterExt* ext) {
    const D3DPRESENT_PARAMETERS* pp = OvD3D9GetPresentParameters();
    ext->ownSurface = 0;
    if (ext->deviceDepth || (static_cast<UINT>(raster->width) == pp->BackBufferWidth &&
                             static_cast<UINT>(raster->height) == pp->BackBufferHeight)) {
        // The device's own surface, at its present size (the window's client area).
        ext->surface = OvD3D9GetDepthSurface();
        if (ext->surface == nullptr) {
            return FALSE;
        }
        D3DSURFACE_DESC desc{};
        ext->surface->GetDesc(&desc);
        raster->width = static_cast<OvInt32>(desc.Width);
        raster->height = static_cast<OvInt32>(desc.Height);
        ext->deviceDepth = 1;
        return TRUE;
    }
    IDirect3DDevice9* device = OvD3D9GetDevice();
    if (device != nullptr) {
        device->EvictManagedResources(); // room in video memory for the new surface
    }
    const HRESULT hr = device == nullptr
                           ? D3DERR_INVALIDCALL
                           : device->CreateDepthStencilSurface(static_cast<UINT>(std::max(raster->width, 1)),
                                                               static_cast<UINT>(std::max(raster->height, 1)),
                                                               pp->AutoDepthStencilFormat, pp->MultiSampleType,
                                                               pp->MultiSampleQuality, FALSE, &ext->surface, nullptr);
    if (hr != D3D_OK) {
        ext->surface = nullptr;
        return FailWith(hr == D3DERR_OUTOFVIDEOMEMORY ? "Out of video memory. Failed to create raster."
                                                      : "Failed to create raster.");
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

// The depth a camera raster has on a display format (the back buffer it stands for).
OvInt32 CameraDepth(D3DFORMAT display) {
    switch (display) {
    case D3DFMT_A8R8G8B8:
    case D3DFMT_X8R8G8B8:
    case D3DFMT_A2R10G10B10:
        return 32;
    case D3DFMT_R5G6B5:
    case D3DFMT_X1R5G5B5:
    case D3DFMT_A1R5G5B5:
        return 16;
    default:
        return 0;
    }
}

OvInt32 ZCode() { return OvD3D9GetZBufferDepth() > 16 ? ovRASTERFORMAT32 : ovRASTERFORMAT16; }

OvInt32 DisplayCode() { return OvD3D9PixelFormatInfo(OvD3D9GetCurrentMode()->format).code; }

OvInt32 DisplayDepth() {
    const OvInt32 bits = OvD3D9PixelFormatInfo(OvD3D9GetCurrentMode()->format).bits;
    return bits != 0 ? bits : 32;
}

// The format a query answers for a camera texture: none asked, the display's depth decides; one
// asked is widened to 32 bits on a deep display and narrowed to 16 on a shallow one, then falls
// back to what the device renders to. -1 when even that is no render target.
OvInt32 CameraTextureCode(OvInt32 code) {
    const auto renders = [](OvInt32 c) { return OvD3D9CheckRenderTargetFormat(OvD3D9RasterCodeFormat(c)) != FALSE; };
    const bool deep = DisplayDepth() > 16;
    if (code == 0) {
        code = deep && renders(ovRASTERFORMAT888) ? ovRASTERFORMAT888 : ovRASTERFORMAT565;
    } else if (deep) {
        code = code == ovRASTERFORMAT4444 || code == ovRASTERFORMAT1555 || code == ovRASTERFORMAT8888
                   ? ovRASTERFORMAT8888
                   : ovRASTERFORMAT888;
        if (code == ovRASTERFORMAT8888 && !renders(code)) {
            code = ovRASTERFORMAT888;
        }
    } else {
        code = code == ovRASTERFORMAT8888                                 ? ovRASTERFORMAT4444
               : code == ovRASTERFORMAT4444 || code == ovRASTERFORMAT1555 ? code
                                                                          : ovRASTERFORMAT565;
        if (code == ovRASTERFORMAT4444 && !renders(code)) {
            code = ovRASTERFORMAT1555;
        }
        if (code == ovRASTERFORMAT1555 && !renders(code)) {
            code = ovRASTERFORMAT565;
        }
    }
    return renders(code) ? code : -1;
}

// Makes the render-target texture of a camera raster (size and format settled); FALSE with an
// error when the device refuses it.
OvBool OvD3D9CameraTextureCreate(OvRaster* raster, OvD3D9RasterExt* ext) {
    IDirect3DDevice9* device = OvD3D9GetDevice();
    if (device == nullptr) {
        return FailWith("Failed to create raster.");
    }
    device->EvictManagedResources();
    const UINT levels = (raster->cFormat & (ovRASTERFORMATMIPMAP >> 8)) ? 0 : 1;
    const DWORD usage = D3DUSAGE_RENDERTARGET | ((ext->mipGen & ovD3D9MIPGENDEVICE) ? D3DUSAGE_AUTOGENMIPMAP : 0);
    const UINT w = static_cast<UINT>(raster->width), h = static_cast<UINT>(raster->height);
    HRESULT hr = device->CreateTexture(w, h, levels, usage, ext->format, D3DPOOL_DEFAULT, &ext->texture, nullptr);
    if (hr == D3DERR_OUTOFVIDEOMEMORY) {
        ext->texture = nullptr;
        return FailWith("Out of video memory. Failed to create raster.");
    }
    if (hr != D3D_OK) {
        // Once more in the display's format, as a plain texture.
        const D3DFORMAT display = OvD3D9GetCurrentMode()->format;
        hr = device->CreateTexture(w, h, levels, usage & ~D3DUSAGE_RENDERTARGET, display, D3DPOOL_DEFAULT,
                                   &ext->texture, nullptr);
        if (hr != D3D_OK) {
            ext->texture = nullptr;
            return FailWith("Failed to create raster.");
        }
        const OvD3D9PixelFormat info = OvD3D9PixelFormatInfo(display);
        ext->format = display;
        ext->hasAlpha = info.alpha;
        raster->cFormat = static_cast<OvUInt8>((raster->cFormat & 0xF0) | (info.code >> 8));
        raster->depth = info.bits;
    }
    return TRUE;
}

} // namespace d3d9raster

using namespace d3d9raster;

OvBool OvD3D9RasterOpen() {
    // The registry is emptied at engine term: register at every attach.
    gExtOffset =
        OvRasterRegisterPlugin(sizeof(OvD3D9RasterExt), ovPLUGINIDD3D9RASTER, ExtConstruct, ExtDestruct, ExtCopy);
    // Binding a raster to a stage binds its texture.
    OvD3D9SetRasterTextureFunction([](const OvRaster* raster, OvD3D9RasterTexture* out) -> OvBool {
        const OvD3D9RasterExt* ext = OvD3D9RasterExtGet(Top(const_cast<OvRaster*>(raster)));
        out->texture = BaseTexture(ext);
        out->hasAlpha = ext->hasAlpha;
        out->palette = ext->palette != nullptr ? static_cast<OvInt32>(ext->palette->number) : -1;
        return out->texture != nullptr ? TRUE : FALSE;
    });
    gContext = nullptr;
    return gExtOffset >= 0 ? TRUE : FALSE;
}

OvD3D9RasterExt* OvD3D9RasterExtGet(OvRaster* raster) {
    return reinterpret_cast<OvD3D9RasterExt*>(reinterpret_cast<char*>(raster) + gExtOffset);
}

D3DFORMAT OvD3D9RasterCodeFormat(OvInt32 code) {
    const FormatEntry* e = FindCode(code);
    return e != nullptr ? e->format : D3DFMT_UNKNOWN;
}

OvD3D9PixelFormat OvD3D9PixelFormatInfo(D3DFORMAT format) {
    switch (format) {
    case 20:
        return {0, 24, 0};
    case 21:
        return {1, 32, ovRASTERFORMAT8888};
    case 22:
        return {0, 32, ovRASTERFORMAT888};
    case 23:
        return {0, 16, ovRASTERFORMAT565};
    case 24:
        return {0, 16, ovRASTERFORMAT555};
    case 25:
        return {1, 16, ovRASTERFORMAT1555};
    case 26:
        return {1, 16, ovRASTERFORMAT4444};
    case 27:
        return {0, 8, 0};
    case 28:
        return {1, 8, 0};
    case 29:
        return {1, 16, 0};
    case 30:
        return {0, 16, 0};
    case 31:
    case 32:
    case 35:
        return {1, 32, 0};
    case 33:
    case 34:
        return {0, 32, 0};
    case 36:
        return {1, 64, 0};
    case 40:
        return {1, 16, 0};
    case 41:
        return {0, 8, ovRASTERFORMATPAL8};
    case 50:
        return {0, 8, ovRASTERFORMATLUM8};
    case 51:
        return {1, 16, 0};
    case 52:
        return {1, 8, 0};
    case 60:
    case 61:
        return {0, 16, 0};
    case 62:
    case 63:
    case 64:
        return {0, 32, 0};
    case 67:
        return {1, 32, 0};
    case 70:
    case 73:
    case 80:
        return {0, 16, ovRASTERFORMAT16};
    case 71:
    case 75:
    case 77:
    case 79:
    case 82:
    case 83:
        return {0, 32, ovRASTERFORMAT32};
    case 81:
        return {0, 16, 0};
    case 110:
        return {0, 64, 0};
    case 111:
        return {0, 16, 0};
    case 112:
    case 114:
        return {0, 32, 0};
    case 113:
        return {1, 64, 0};
    case 115:
        return {0, 64, 0};
    case 116:
        return {1, 128, 0};
    case 117:
        return {0, 16, 0};
    default:
        return {0, 0, 0};
    }
}

OvBool OvD3D9CheckTextureFormat(D3DFORMAT format) {
    return CheckFormat(0, D3DRTYPE_TEXTURE, format) == D3D_OK ? TRUE : FALSE;
}

OvBool OvD3D9CheckRenderTargetFormat(D3DFORMAT format) {
    return CheckFormat(D3DUSAGE_RENDERTARGET, D3DRTYPE_TEXTURE, format) == D3D_OK &&
                   DepthMatches(format, OvD3D9GetPresentParameters()->AutoDepthStencilFormat)
               ? TRUE
               : FALSE;
}

OvBool OvD3D9CheckDepthFormat(D3DFORMAT format) {
    return CheckFormat(D3DUSAGE_DEPTHSTENCIL, D3DRTYPE_TEXTURE, format) == D3D_OK &&
                   DepthMatches(OvD3D9GetCurrentMode()->format, format)
               ? TRUE
               : FALSE;
}

OvBool OvD3D9CheckRenderTargetCubeFormat(D3DFORMAT format) {
    return CheckFormat(D3DUSAGE_RENDERTARGET, D3DRTYPE_CUBETEXTURE, format) == D3D_OK &&
                   DepthMatches(format, OvD3D9GetPresentParameters()->AutoDepthStencilFormat)
               ? TRUE
               : FALSE;
}

OvBool OvD3D9CheckAutoMipmapFormat(D3DFORMAT format) {
    return AutoMipmapAnswer(0, D3DRTYPE_TEXTURE, format) ? TRUE : FALSE;
}

OvBool OvD3D9CheckAutoMipmapRenderTargetFormat(D3DFORMAT format) {
    return AutoMipmapAnswer(D3DUSAGE_RENDERTARGET, D3DRTYPE_TEXTURE, format) ? TRUE : FALSE;
}

OvBool OvD3D9CheckAutoMipmapCubeFormat(D3DFORMAT format) {
    return AutoMipmapAnswer(0, D3DRTYPE_CUBETEXTURE, format) ? TRUE : FALSE;
}

namespace {

// What a format query answers for a normal or texture raster that is about to be read: the code
// asked, or the nearest the adapter takes. A palette the device cannot take (P8, or P8 with alpha
// entries) is dropped and the colours go to a direct format fitting the display.
OvInt32 QueryTextureFormat(OvInt32 flags) {
    const auto takes = [](D3DFORMAT format) { return OvD3D9CheckTextureFormat(format) != FALSE; };
    OvInt32 code = flags & ovRASTERFORMATPIXELFORMATMASK;
    OvInt32 rest = flags & ~ovRASTERFORMATPIXELFORMATMASK;
    if (rest & ovRASTERFORMATPAL4) {
        // The device's palettes have 256 entries: a 4-bit palette becomes an 8-bit one.
        rest = (rest & ~ovRASTERFORMATPAL4) | ovRASTERFORMATPAL8;
    }
    const bool alphaPalette = (OvD3D9GetCaps()->TextureCaps & D3DPTEXTURECAPS_ALPHAPALETTE) != 0;
    const OvInt32 alphaFallback = takes(D3DFMT_A4R4G4B4) ? ovRASTERFORMAT4444 : ovRASTERFORMAT1555;
    if (code == 0) {
        if (rest & ovRASTERFORMATPAL8) {
            if (takes(D3DFMT_P8)) {
                return rest | (alphaPalette ? ovRASTERFORMAT8888 : ovRASTERFORMAT888);
            }
            rest &= ~ovRASTERFORMATPAL8;
        }
        return rest | (takes(D3DFMT_A8R8G8B8) ? ovRASTERFORMAT8888 : alphaFallback);
    }
    if (rest & ovRASTERFORMATPAL8) {
        if (takes(D3DFMT_P8) && (code != ovRASTERFORMAT8888 || alphaPalette)) {
            return rest | code;
        }
        rest &= ~ovRASTERFORMATPAL8;
        const bool shallow = DisplayDepth() <= 16;
        if (code == ovRASTERFORMAT888) {
            return rest | (!shallow && takes(D3DFMT_X8R8G8B8) ? ovRASTERFORMAT888 : ovRASTERFORMAT565);
        }
        return rest | (!shallow && takes(D3DFMT_A8R8G8B8) ? ovRASTERFORMAT8888 : alphaFallback);
    }
    switch (code) {
    case ovRASTERFORMAT8888:
        return rest | (takes(D3DFMT_A8R8G8B8) ? code : alphaFallback);
    case ovRASTERFORMAT888:
        return rest | (takes(D3DFMT_X8R8G8B8) ? code : ovRASTERFORMAT565);
    case ovRASTERFORMAT4444:
        return rest | (takes(D3DFMT_A4R4G4B4) ? code : ovRASTERFORMAT1555);
    case ovRASTERFORMATLUM8:
        return rest | (takes(D3DFMT_L8) ? code : takes(D3DFMT_X8R8G8B8) ? ovRASTERFORMAT888 : ovRASTERFORMAT565);
    default:
        return rest | code;
    }
}

// The format a raster is made with; query: answer a format query (normal and texture rasters
// then follow QueryTextureFormat).
OvInt32 ChooseFormat(OvInt32 type, OvInt32 flags, bool query) {
    OvInt32 code = flags & ovRASTERFORMATPIXELFORMATMASK;
    OvInt32 rest = flags & ~ovRASTERFORMATPIXELFORMATMASK;
    switch (type) {
    case ovRASTERTYPENORMAL:
    case ovRASTERTYPETEXTURE:
        if (query) {
            return QueryTextureFormat(flags);
        }
        if (flags & ovRASTERFORMATPAL4) {
            // The device's palettes have 256 entries: a 4-bit palette becomes an 8-bit one.
            rest = (rest & ~ovRASTERFORMATPAL4) | ovRASTERFORMATPAL8;
        }
        if (rest & ovRASTERFORMATPAL8) {
            // P8 textures: 8888 entries where the device takes palette alpha, else 888.
            const bool alphaPalette = (OvD3D9GetCaps()->TextureCaps & D3DPTEXTURECAPS_ALPHAPALETTE) != 0;
            if (code == 0) {
                code = alphaPalette ? ovRASTERFORMAT8888 : ovRASTERFORMAT888;
            }
            if (code != ovRASTERFORMAT888 && code != ovRASTERFORMAT8888) {
                FailWith("Palletized texture can only be ovRASTERFORMAT888 or ovRASTERFORMAT8888.");
                return -1;
            }
            if ((code == ovRASTERFORMAT8888 && !alphaPalette) || !OvD3D9CheckTextureFormat(D3DFMT_P8)) {
                return -1;
            }
            return rest | code;
        }
        if (code == 0) {
            // None asked: 8888 on a deep display, else 4444, else 1555 (which the device's own
            // refusal settles).
            const auto takes = [](D3DFORMAT format) { return OvD3D9CheckTextureFormat(format) != FALSE; };
            return rest | (DisplayDepth() > 16 && takes(D3DFMT_A8R8G8B8) ? ovRASTERFORMAT8888
                           : takes(D3DFMT_A4R4G4B4)                      ? ovRASTERFORMAT4444
                                                                         : ovRASTERFORMAT1555);
        }
        // A format asked is made as asked or not at all: the adapter's refusal sets no error.
        if (const FormatEntry* e = FindCode(code); e == nullptr) {
            Fail(ovERRBADRASTERFORMAT);
            return -1;
        } else if (IsDepthFormat(e->format)) {
            // Depth-format textures: one level, made by the device's depth rules.
            return OvD3D9CheckDepthFormat(e->format)
                       ? (rest & ~(ovRASTERFORMATMIPMAP | ovRASTERFORMATAUTOMIPMAP)) | code
                       : -1;
        } else {
            return OvD3D9CheckTextureFormat(e->format) ? rest | code : -1;
        }
    case ovRASTERTYPEZBUFFER:
        // The device's depth decides; a query may not ask for a format, a creation only for that.
        if (code != 0 && (query || code != ZCode())) {
            Fail(ovERRBADRASTERFORMAT);
            return -1;
        }
        return (rest & ~(ovRASTERFORMATMIPMAP | ovRASTERFORMATAUTOMIPMAP)) | ZCode();
    case ovRASTERTYPECAMERA: {
        // The display's format, likewise. A desktop format without an engine code (10-bit
        // channels) gives a camera raster of no pixel format.
        const OvInt32 displayCode = DisplayCode() & ovRASTERFORMATPIXELFORMATMASK;
        if (code != 0 && (query || code != displayCode)) {
            Fail(ovERRBADRASTERFORMAT);
            return -1;
        }
        return (rest & ~(ovRASTERFORMATMIPMAP | ovRASTERFORMATAUTOMIPMAP)) | displayCode;
    }
    case ovRASTERTYPECAMERATEXTURE:
        if (rest & (ovRASTERFORMATPAL4 | ovRASTERFORMATPAL8)) {
            FailWith("ovRASTERTYPECAMERATEXTURE can not be palletized.");
            return -1;
        }
        if (query) {
            code = CameraTextureCode(code);
        } else if (code == 0) {
            // None asked: 888 on a deep display where the device renders to it, else 565.
            code = DisplayDepth() > 16 && OvD3D9CheckRenderTargetFormat(D3DFMT_X8R8G8B8) ? ovRASTERFORMAT888
                                                                                         : ovRASTERFORMAT565;
        } else if (FindCode(code) == nullptr || !OvD3D9CheckRenderTargetFormat(OvD3D9RasterCodeFormat(code))) {
            code = -1; // one asked is made as asked or not at all
        }
        if (code < 0) {
            Fail(ovERRBADRASTERFORMAT);
            return -1;
        }
        return rest | code;
    default:
        Fail(ovERRBADRASTERFORMAT);
        return -1;
    }
}

} // namespace

OvInt32 OvD3D9RasterChooseFormat(OvInt32 type, OvInt32 flags, OvInt32) { return ChooseFormat(type, flags, true); }

namespace {

// A normal or texture raster's texture: P8 with a palette of its own, or the chosen format's; a
// depth format makes a one-level depth-stencil texture in the default pool, anything else a
// managed texture.
OvBool OvD3D9TextureCreate(OvRaster* raster, OvD3D9RasterExt* ext, OvInt32 type, OvInt32 chosen, const FormatEntry* e) {
    IDirect3DDevice9* device = OvD3D9GetDevice();
    const bool palettised = (chosen & ovRASTERFORMATPAL8) != 0;
    raster->depth = palettised ? 8 : e->depth;
    ext->format = palettised ? D3DFMT_P8 : e->format;
    ext->hasAlpha = e->alpha;
    if (palettised && !TakePalette(ext)) {
        return FALSE;
    }
    if (!palettised && (chosen & ovRASTERFORMATMIPMAP) && (chosen & ovRASTERFORMATAUTOMIPMAP) &&
        OvD3D9CheckAutoMipmapFormat(ext->format)) {
        ext->mipGen = ovD3D9MIPGENDEVICE;
    }
    OvD3D9RasterFitSize(&raster->width, &raster->height, type, chosen, *OvD3D9GetCaps());
    const bool depthTexture = IsDepthFormat(ext->format);
    const UINT levels = (chosen & ovRASTERFORMATMIPMAP) && !depthTexture ? 0 : 1;
    const DWORD usage = depthTexture                         ? D3DUSAGE_DEPTHSTENCIL
                        : (ext->mipGen & ovD3D9MIPGENDEVICE) ? D3DUSAGE_AUTOGENMIPMAP
                                                             : 0;
    if (device == nullptr ||
        device->CreateTexture(static_cast<UINT>(raster->width), static_cast<UINT>(raster->height), levels, usage,
                              ext->format, depthTexture ? D3DPOOL_DEFAULT : D3DPOOL_MANAGED, &ext->texture,
                              nullptr) != D3D_OK) {
        ext->texture = nullptr;
        FreePalette(ext);
        return FailWith("Failed to create texture.");
    }
    if (palettised) {
        SendPalette(ext);
    }
    if (palettised || depthTexture) {
        List(raster);
    }
    return TRUE;
}

} // namespace

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
    const bool textureType = type == ovRASTERTYPENORMAL || type == ovRASTERTYPETEXTURE;
    if (textureType && (flags & ovRASTERFORMATPAL4) && (flags & ovRASTERFORMATPIXELFORMATMASK) != 0) {
        return Fail(ovERRBADRASTERFORMAT);
    }
    // Format and depth are settled for every raster, with pixels of its own or not.
    const OvInt32 chosen = ChooseFormat(type, flags, false);
    if (chosen < 0) {
        return FALSE;
    }
    const OvInt32 code = chosen & ovRASTERFORMATPIXELFORMATMASK;
    raster->cFormat = static_cast<OvUInt8>((chosen & 0xFF00) >> 8);
    const FormatEntry* e = FindCode(code);
    raster->depth = textureType && (chosen & ovRASTERFORMATPAL8) ? 8
                    : e != nullptr                               ? e->depth
                    : type == ovRASTERTYPECAMERA                 ? DisplayDepth()
                                                                 : 0;
    if (raster->width <= 0 || raster->height <= 0) {
        // Nothing to make: an empty raster stands for no pixels.
        raster->cFlags = ovRASTERDONTALLOCATE;
        raster->width = std::max(raster->width, 0);
        raster->height = std::max(raster->height, 0);
        raster->stride = 0;
        raster->depth = raster->depth != 0 ? raster->depth : 16;
        if (type == ovRASTERTYPECAMERA) {
            List(raster);
        }
        return TRUE;
    }
    if (raster->cFlags & ovRASTERDONTALLOCATE) {
        return TRUE; // its resource, if any, comes from elsewhere
    }
    switch (type) {
    case ovRASTERTYPENORMAL:
    case ovRASTERTYPETEXTURE:
        return OvD3D9TextureCreate(raster, ext, type, chosen, e);
    case ovRASTERTYPEZBUFFER:
        raster->depth = OvD3D9GetZBufferDepth();
        if (!OvD3D9DepthCreate(raster, ext)) {
            return FALSE;
        }
        List(raster);
        return TRUE;
    case ovRASTERTYPECAMERA: {
        const D3DPRESENT_PARAMETERS* pp = OvD3D9GetPresentParameters();
        if (static_cast<UINT>(raster->width) > pp->BackBufferWidth ||
            static_cast<UINT>(raster->height) > pp->BackBufferHeight) {
            return FailWith("Camera raster is too big.");
        }
        ext->format = OvD3D9GetCurrentMode()->format;
        raster->depth = CameraDepth(ext->format);
        ext->hasAlpha = OvD3D9PixelFormatInfo(ext->format).alpha;
        raster->stride = 0;
        raster->cFlags = ovRASTERDONTALLOCATE; // it stands for the back buffer: no pixels of its own
        List(raster);
        return TRUE;
    }
    case ovRASTERTYPECAMERATEXTURE:
        raster->depth = e->depth;
        ext->format = e->format;
        ext->hasAlpha = e->alpha;
        if ((chosen & ovRASTERFORMATMIPMAP) && (chosen & ovRASTERFORMATAUTOMIPMAP) &&
            OvD3D9CheckAutoMipmapRenderTargetFormat(ext->format)) {
            ext->mipGen = ovD3D9MIPGENDEVICE;
        }
        OvD3D9RasterFitSize(&raster->width, &raster->height, type, chosen, *OvD3D9GetCaps());
        if (!OvD3D9CameraTextureCreate(raster, ext)) {
            return FALSE;
        }
        List(raster);
        return TRUE;
    default:
        return Fail(ovERRBADRASTERFORMAT);
    }
}

namespace d3d9raster {

OvBool TakePalette(OvD3D9RasterExt* ext) {
    if (gPaletteList == nullptr) {
        return FailWith("Failed to create texture."); // no device
    }
    ext->palette = static_cast<OvD3D9Palette*>(OvFreeListEntryAlloc(gPaletteList, ovD3D9MEMHINT));
    if (ext->palette == nullptr) {
        return Fail(ovERRNOMEMORY);
    }
    *ext->palette = {};
    if (!TakePaletteNumber(&ext->palette->number)) {
        OvFreeListEntryFree(gPaletteList, ext->palette);
        ext->palette = nullptr;
        return Fail(ovERRBADRASTERFORMAT);
    }
    return TRUE;
}

} // namespace d3d9raster

OvBool OvD3D9RasterMakeTexture(OvRaster* raster, D3DFORMAT format, OvUInt32 levels, OvBool cube, OvBool autoMipmap) {
    OvD3D9RasterExt* ext = OvD3D9RasterExtGet(raster);
    IDirect3DDevice9* device = OvD3D9GetDevice();
    const bool depthTexture = IsDepthFormat(format);
    const bool target = raster->cType == ovRASTERTYPECAMERATEXTURE;
    if (cube && (depthTexture || target)) {
        return Fail(ovERRBADRASTERFORMAT);
    }
    const bool autoMip = autoMipmap && !depthTexture &&
                         (cube     ? OvD3D9CheckAutoMipmapCubeFormat(format)
                          : target ? OvD3D9CheckAutoMipmapRenderTargetFormat(format)
                                   : OvD3D9CheckAutoMipmapFormat(format));
    const DWORD usage = (autoMip ? D3DUSAGE_AUTOGENMIPMAP : 0) | (target ? D3DUSAGE_RENDERTARGET : 0) |
                        (depthTexture ? D3DUSAGE_DEPTHSTENCIL : 0);
    const D3DPOOL pool = target || depthTexture ? D3DPOOL_DEFAULT : D3DPOOL_MANAGED;
    if (target && !OvD3D9CheckRenderTargetFormat(format)) {
        return FALSE;
    }
    if (depthTexture && !OvD3D9CheckDepthFormat(format)) {
        return FALSE;
    }
    if (device == nullptr) {
        return FailWith("Failed to create texture.");
    }
    const UINT w = static_cast<UINT>(raster->width), h = static_cast<UINT>(raster->height);
    const UINT n = autoMip || depthTexture ? (autoMip ? 0 : 1) : levels;
    const HRESULT hr = cube ? device->CreateCubeTexture(w, n, usage, format, pool, &ext->cubeTexture, nullptr)
                            : device->CreateTexture(w, h, n, usage, format, pool, &ext->texture, nullptr);
    if (hr != D3D_OK) {
        ext->texture = nullptr;
        ext->cubeTexture = nullptr;
        return FailWith(hr == D3DERR_OUTOFVIDEOMEMORY ? "Out of video memory. Failed to create raster."
                                                      : "Failed to create texture.");
    }
    const OvD3D9PixelFormat info = OvD3D9PixelFormatInfo(format);
    ext->format = format;
    ext->cube = cube ? 1 : 0;
    ext->mipGen = static_cast<OvUInt8>((autoMip ? ovD3D9MIPGENDEVICE : 0) |
                                       (OvD3D9FormatIsCompressed(format) ? ovD3D9MIPGENCOMPRESSED : 0));
    ext->hasAlpha = OvD3D9FormatIsCompressed(format) ? (format != D3DFMT_DXT1 ? 1 : 0) : info.alpha;
    if (format == D3DFMT_P8 && ext->palette == nullptr) {
        if (!TakePalette(ext)) {
            ReleaseTexture(ext);
            return FALSE;
        }
        SendPalette(ext);
    }
    raster->cFlags &= static_cast<OvUInt8>(~ovRASTERDONTALLOCATE);
    if (pool == D3DPOOL_DEFAULT || ext->palette != nullptr) {
        List(raster);
    }
    return TRUE;
}

OvRaster* OvD3D9RasterCreateWithFormat(OvInt32 width, OvInt32 height, D3DFORMAT format, OvInt32 flags) {
    const OvInt32 type = flags & ovRASTERTYPEMASK;
    OvInt32 keep = flags & (ovRASTERFORMATMIPMAP | ovRASTERFORMATAUTOMIPMAP);
    if (type == ovRASTERTYPENORMAL || type == ovRASTERTYPEZBUFFER) {
        keep = 0;
    }
    if (type != ovRASTERTYPENORMAL && type != ovRASTERTYPETEXTURE && type != ovRASTERTYPECAMERATEXTURE) {
        Fail(ovERRBADRASTERFORMAT);
        return nullptr;
    }
    if (width <= 0 || height <= 0) {
        Fail(ovERRBADRASTERFORMAT);
        return nullptr;
    }
    OvRaster* raster = OvRasterCreate(width, height, 0, type | ovRASTERDONTALLOCATE | keep);
    if (raster == nullptr) {
        return nullptr;
    }
    const bool compressed = OvD3D9FormatIsCompressed(format);
    const OvD3D9PixelFormat info = OvD3D9PixelFormatInfo(format);
    if (!compressed && (format >= 128 || info.bits == 0)) {
        OvRasterDestroy(raster);
        Fail(ovERRBADRASTERFORMAT);
        return nullptr;
    }
    // A plain texture's format must be one the adapter takes (render targets and depth formats
    // are checked as such when made); a refusal of the adapter sets no error.
    if (type != ovRASTERTYPECAMERATEXTURE && !IsDepthFormat(format) && !OvD3D9CheckTextureFormat(format)) {
        OvRasterDestroy(raster);
        return nullptr;
    }
    const bool autoMip = (keep & ovRASTERFORMATMIPMAP) && (keep & ovRASTERFORMATAUTOMIPMAP);
    if (!OvD3D9RasterMakeTexture(raster, format, (keep & ovRASTERFORMATMIPMAP) ? 0 : 1, FALSE,
                                 autoMip ? TRUE : FALSE)) {
        OvRasterDestroy(raster);
        return nullptr;
    }
    OvInt32 code = info.code & ovRASTERFORMATPIXELFORMATMASK;
    raster->depth = info.bits;
    if (compressed) {
        code = format == D3DFMT_DXT1 ? ovRASTERFORMAT565 : ovRASTERFORMAT4444;
        raster->depth = 16;
    }
    raster->cFormat = static_cast<OvUInt8>(((keep | code | (info.code & ovRASTERFORMATPAL8)) >> 8) & 0xFF);
    return raster;
}

OvBool OvD3D9RasterIsCubeMap(OvRaster* raster) {
    return (OvD3D9RasterExtGet(Top(raster))->cube & 0x0F) != 0 ? TRUE : FALSE;
}

OvBool OvD3D9RasterIsCompressed(OvRaster* raster) {
    return OvD3D9RasterExtGet(Top(raster))->mipGen >= ovD3D9MIPGENCOMPRESSED ? TRUE : FALSE;
}

void OvD3D9RasterSetCubeFace(OvRaster* raster, OvUInt32 face) {
    OvD3D9RasterExt* ext = OvD3D9RasterExtGet(Top(raster));
    ext->cube = static_cast<OvUInt8>((ext->cube & 0x0F) | ((face & 0x0F) << 4));
}

OvBool OvD3D9TextureHasAlpha(const OvTexture* texture) {
    return texture->raster != nullptr && OvD3D9RasterExtGet(Top(texture->raster))->hasAlpha ? TRUE : FALSE;
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
    if (gContext == raster) {
        gContext = nullptr;
    }
    raster->palette = nullptr;
    raster->privateFlags &= static_cast<OvUInt8>(~(ovRASTERPALETTELOCKED | ovRASTERPALETTELOCKEDWRITE));
    Unlist(raster);
    if (raster->parent != raster) {
        return TRUE; // a sub-raster owns nothing
    }
    switch (raster->cType) {
    case ovRASTERTYPENORMAL:
    case ovRASTERTYPETEXTURE:
    case ovRASTERTYPEZBUFFER:
    case ovRASTERTYPECAMERA:
    case ovRASTERTYPECAMERATEXTURE:
        break;
    default:
        return Fail(ovERRBADRASTERFORMAT);
    }
    FreePalette(ext);
    ReleaseTexture(ext);
    ReleaseDepthSurface(ext);
    return TRUE;
}

namespace {

// The back buffer's size when the video rasters were released.
UINT gReleasedWidth = 0;
UINT gReleasedHeight = 0;

void RemakeSwapChain(OvRaster* raster, OvD3D9RasterExt* ext) {
    IDirect3DSurface9* back = nullptr;
    if (IDirect3DSwapChain9* chain = OvD3D9CreateWindowSwapChain(ext->window, &back)) {
        OvD3D9RasterAttachSwapChain(raster, chain, back, ext->window);
        back->Release();
    }
}

} // namespace

IDirect3DSwapChain9* OvD3D9CreateWindowSwapChain(HWND window, IDirect3DSurface9** backBuffer) {
    IDirect3DDevice9* device = OvD3D9GetDevice();
    // The device's presentation, on the window's client area (1 pixel where it is empty).
    D3DPRESENT_PARAMETERS pp = *OvD3D9GetPresentParameters();
    RECT rect{};
    GetWindowRect(window, &rect);
    pp.hDeviceWindow = window;
    pp.EnableAutoDepthStencil = FALSE;
    pp.BackBufferWidth = rect.right == rect.left ? 1 : 0;
    pp.BackBufferHeight = rect.bottom == rect.top ? 1 : 0;
    IDirect3DSwapChain9* chain = nullptr;
    if (device == nullptr || device->CreateAdditionalSwapChain(&pp, &chain) != D3D_OK) {
        return nullptr;
    }
    if (chain->GetBackBuffer(0, D3DBACKBUFFER_TYPE_MONO, backBuffer) != D3D_OK) {
        chain->Release();
        return nullptr;
    }
    return chain;
}

void OvD3D9RasterAttachSwapChain(OvRaster* raster, IDirect3DSwapChain9* swapChain, IDirect3DSurface9* backBuffer,
                                 HWND window) {
    OvD3D9RasterExt* ext = OvD3D9RasterExtGet(raster);
    D3DSURFACE_DESC desc{};
    backBuffer->GetDesc(&desc);
    const OvD3D9PixelFormat info = OvD3D9PixelFormatInfo(desc.Format);
    ext->surface = backBuffer; // the swap chain's reference keeps it
    ext->ownSurface = 0;
    ext->format = desc.Format;
    ext->hasAlpha = info.alpha;
    ext->swapChain = swapChain;
    ext->window = window;
    raster->depth = info.bits;
    raster->cFormat =
        static_cast<OvUInt8>((raster->cFormat & 0xF0) | ((info.code & ovRASTERFORMATPIXELFORMATMASK) >> 8));
    List(raster);
}

void OvD3D9ReleaseVideoRasters() {
    gReleasedWidth = OvD3D9GetPresentParameters()->BackBufferWidth;
    gReleasedHeight = OvD3D9GetPresentParameters()->BackBufferHeight;
    for (const VideoRaster* v = gVideoRasters; v != nullptr; v = v->next) {
        OvRaster* raster = v->raster;
        OvD3D9RasterExt* ext = OvD3D9RasterExtGet(raster);
        if (raster->cType == ovRASTERTYPEZBUFFER) {
            ReleaseDepthSurface(ext);
        } else if (raster->cType == ovRASTERTYPECAMERATEXTURE || IsDepthFormat(ext->format)) {
            // Default-pool textures go; their pixels with them.
            ReleaseTexture(ext);
        } else if (raster->cType == ovRASTERTYPECAMERA) {
            ReleaseSwapChain(ext); // its window is kept to make it again
        }
    }
}

void OvD3D9VideoRasterListOpen() {
    OvD3D9VideoRasterListClose();
    gVideoRasterList = OvFreeListCreate(sizeof(VideoRaster), kVideoRastersPerBlock, 0, ovD3D9MEMHINT);
    gPaletteList = OvFreeListCreate(sizeof(OvD3D9Palette), kPalettesPerBlock, 0, ovD3D9MEMHINT);
}

void OvD3D9VideoRasterListClose() {
    // Only the records: a listed raster may already be gone with the raster module.
    while (gVideoRasters != nullptr) {
        VideoRaster* v = gVideoRasters;
        gVideoRasters = v->next;
        OvFreeListEntryFree(gVideoRasterList, v);
    }
    for (OvFreeList** list : {&gVideoRasterList, &gPaletteList}) {
        if (*list != nullptr) {
            OvFreeListDestroy(*list);
            *list = nullptr;
        }
    }
    // Numbers handed back so far are dropped; the counter goes on, so no number is ever held twice.
    OvFree(gFreePaletteNumbers);
    gFreePaletteNumbers = nullptr;
    gFreePaletteCount = 0;
    gFreePaletteCapacity = 0;
    gContext = nullptr;
}

OvBool OvD3D9RestoreVideoRasters() {
    OvBool ok = TRUE;
    for (const VideoRaster* v = gVideoRasters; v != nullptr; v = v->next) {
        OvRaster* raster = v->raster;
        OvD3D9RasterExt* ext = OvD3D9RasterExtGet(raster);
        switch (raster->cType) {
        case ovRASTERTYPEZBUFFER:
            if (!OvD3D9DepthCreate(raster, ext)) {
                ok = FALSE;
            }
            break;
        case ovRASTERTYPECAMERA: {
            if (ext->window != nullptr) {
                // Another window's: a new swap chain over its client area. One that cannot be
                // made leaves the raster without; the camera builds it again at its next update.
                RemakeSwapChain(raster, ext);
                break;
            }
            // A camera raster keeps its share of the back buffer.
            const D3DPRESENT_PARAMETERS* pp = OvD3D9GetPresentParameters();
            if (raster->parent == raster && gReleasedWidth != 0 && gReleasedHeight != 0) {
                raster->width = static_cast<OvInt32>(static_cast<std::int64_t>(raster->width) * pp->BackBufferWidth /
                                                     gReleasedWidth);
                raster->height = static_cast<OvInt32>(static_cast<std::int64_t>(raster->height) * pp->BackBufferHeight /
                                                      gReleasedHeight);
            }
            ext->format = OvD3D9GetCurrentMode()->format;
            ext->hasAlpha = OvD3D9PixelFormatInfo(ext->format).alpha;
            const OvInt32 code = OvD3D9PixelFormatInfo(ext->format).code & ovRASTERFORMATPIXELFORMATMASK;
            raster->cFormat = static_cast<OvUInt8>((raster->cFormat & 0xF0) | (code >> 8));
            raster->depth = OvD3D9PixelFormatInfo(ext->format).bits;
            break;
        }
        case ovRASTERTYPECAMERATEXTURE:
            if (raster->width > 0 && raster->height > 0 && !OvD3D9CameraTextureCreate(raster, ext)) {
                ok = FALSE;
            }
            break;
        default:
            if (IsDepthFormat(ext->format)) {
                IDirect3DDevice9* device = OvD3D9GetDevice();
                if (device == nullptr ||
                    device->CreateTexture(static_cast<UINT>(raster->width), static_cast<UINT>(raster->height), 1,
                                          D3DUSAGE_DEPTHSTENCIL, ext->format, D3DPOOL_DEFAULT, &ext->texture,
                                          nullptr) != D3D_OK) {
                    ext->texture = nullptr;
                    ok = FALSE;
                }
            } else {
                SendPalette(ext);
            }
            break;
        }
    }
    return ok;
}
