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
#include "graphics/core/d3d9/render_state.h"
#include "graphics/core/engine.h"
#include "graphics/core/error.h"
#include "graphics/core/image.h"
#include "graphics/core/image_processing.h"
#include "graphics/core/texture.h"
#include "platform/win32.h"

namespace {

OvInt32 gExtOffset = -1;
// Rasters whose resources or device state a reset destroys (z-buffers, camera rasters, camera
// textures, depth-format textures, and P8 textures whose palettes the device forgets), newest
// last.
std::vector<OvRaster*> gVideoRasters;
// Palette numbers handed back, and the next never handed out.
std::vector<OvUInt16> gFreePaletteNumbers;
OvUInt32 gNextPaletteNumber = 0;
// The raster that clears and copies draw into; null: the raster module's current context.
OvRaster* gContext = nullptr;

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
    if (IDirect3DDevice9* device = OvD3D9GetDevice(); device != nullptr && ext->palette != nullptr) {
        device->SetPaletteEntries(ext->palette->number, reinterpret_cast<const PALETTEENTRY*>(ext->palette->entries));
    }
}

void FreePalette(OvD3D9RasterExt* ext) {
    if (ext->palette != nullptr) {
        gFreePaletteNumbers.push_back(static_cast<OvUInt16>(ext->palette->number));
        OvFree(ext->palette);
        ext->palette = nullptr;
    }
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

struct FormatEntry {
    OvInt32 code;
    D3DFORMAT format;
    OvInt32 depth;
    OvUInt8 alpha;
};

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
    if (std::find(gVideoRasters.begin(), gVideoRasters.end(), raster) == gVideoRasters.end()) {
        gVideoRasters.push_back(raster);
    }
}

void Unlist(OvRaster* raster) {
    gVideoRasters.erase(std::remove(gVideoRasters.begin(), gVideoRasters.end(), raster), gVideoRasters.end());
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

// The format of a camera texture: none asked, the display's depth decides; one asked is widened
// to 32 bits on a deep display and narrowed to 16 on a shallow one, then falls back to what the
// device renders to. -1 when even that is no render target.
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

} // namespace

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

// The texture format for a code asked (0: none), falling back to what the adapter takes: with
// alpha to 4444, then 1555; without to 565 (luminance first to 888).
OvInt32 TextureCode(OvInt32 code) {
    const auto takes = [](D3DFORMAT format) { return OvD3D9CheckTextureFormat(format) != FALSE; };
    const OvInt32 alphaFallback = takes(D3DFMT_A4R4G4B4) ? ovRASTERFORMAT4444 : ovRASTERFORMAT1555;
    switch (code) {
    case 0:
        return DisplayDepth() > 16 && takes(D3DFMT_A8R8G8B8) ? ovRASTERFORMAT8888 : alphaFallback;
    case ovRASTERFORMAT8888:
        return takes(D3DFMT_A8R8G8B8) ? code : alphaFallback;
    case ovRASTERFORMAT888:
        return takes(D3DFMT_X8R8G8B8) ? code : ovRASTERFORMAT565;
    case ovRASTERFORMAT4444:
        return takes(D3DFMT_A4R4G4B4) ? code : ovRASTERFORMAT1555;
    case ovRASTERFORMATLUM8:
        return takes(D3DFMT_L8) ? code : takes(D3DFMT_X8R8G8B8) ? ovRASTERFORMAT888 : ovRASTERFORMAT565;
    default:
        return code;
    }
}

} // namespace

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
        code = TextureCode(code);
        if (const FormatEntry* e = FindCode(code); e == nullptr) {
            Fail(ovERRBADRASTERFORMAT);
            return -1;
        } else if (IsDepthFormat(e->format)) {
            // Depth-format textures: one level, made by the device's depth rules.
            return OvD3D9CheckDepthFormat(e->format)
                       ? (rest & ~(ovRASTERFORMATMIPMAP | ovRASTERFORMATAUTOMIPMAP)) | code
                       : -1;
        }
        return OvD3D9CheckTextureFormat(OvD3D9RasterCodeFormat(code)) ? rest | code : -1;
    case ovRASTERTYPEZBUFFER:
        if (code != 0 && code != ZCode()) {
            Fail(ovERRBADRASTERFORMAT);
            return -1;
        }
        return (rest & ~(ovRASTERFORMATMIPMAP | ovRASTERFORMATAUTOMIPMAP)) | ZCode();
    case ovRASTERTYPECAMERA: {
        // A desktop format without an engine code (10-bit channels) gives a camera raster of
        // no pixel format.
        const OvInt32 displayCode = DisplayCode() & ovRASTERFORMATPIXELFORMATMASK;
        if (code != 0 && code != displayCode) {
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
        code = CameraTextureCode(code);
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
    if (raster->cFlags & ovRASTERDONTALLOCATE) {
        raster->cFormat = static_cast<OvUInt8>((flags & 0xFF00) >> 8);
        return type == 3 || type > ovRASTERTYPECAMERATEXTURE ? Fail(ovERRBADRASTERFORMAT) : TRUE;
    }
    if ((type == ovRASTERTYPENORMAL || type == ovRASTERTYPETEXTURE) && (flags & ovRASTERFORMATPAL4) &&
        (flags & ovRASTERFORMATPIXELFORMATMASK) != 0) {
        return Fail(ovERRBADRASTERFORMAT);
    }
    const OvInt32 chosen = ChooseFormat(type, flags, false);
    if (chosen < 0) {
        return FALSE;
    }
    const OvInt32 code = chosen & ovRASTERFORMATPIXELFORMATMASK;
    raster->cFormat = static_cast<OvUInt8>((chosen & 0xFF00) >> 8);
    const FormatEntry* e = FindCode(code);
    if (raster->width <= 0 || raster->height <= 0) {
        // Nothing to make: an empty raster stands for no pixels.
        raster->cFlags = ovRASTERDONTALLOCATE;
        raster->width = std::max(raster->width, 0);
        raster->height = std::max(raster->height, 0);
        raster->stride = 0;
        raster->depth = e != nullptr                 ? e->depth
                        : type == ovRASTERTYPECAMERA ? CameraDepth(OvD3D9GetCurrentMode()->format)
                                                     : 16;
        raster->depth = raster->depth != 0 ? raster->depth : 16;
        if (type == ovRASTERTYPECAMERA) {
            List(raster);
        }
        return TRUE;
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

namespace {

OvBool TakePalette(OvD3D9RasterExt* ext) {
    ext->palette = static_cast<OvD3D9Palette*>(OvCalloc(1, sizeof(OvD3D9Palette), ovMEMHINTDUR_OBJECT));
    if (ext->palette == nullptr) {
        return Fail(ovERRNOMEMORY);
    }
    if (!TakePaletteNumber(&ext->palette->number)) {
        OvFree(ext->palette);
        ext->palette = nullptr;
        return Fail(ovERRBADRASTERFORMAT);
    }
    return TRUE;
}

} // namespace

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
    for (OvRaster* raster : gVideoRasters) {
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

void OvD3D9VideoRasterListOpen() { gVideoRasters.reserve(16); }

void OvD3D9VideoRasterListClose() {
    gVideoRasters.clear();
    gVideoRasters.shrink_to_fit();
    // Numbers handed back so far are dropped; the counter goes on, so no number is ever held twice.
    gFreePaletteNumbers.clear();
    gFreePaletteNumbers.shrink_to_fit();
    gContext = nullptr;
}

OvBool OvD3D9RestoreVideoRasters() {
    OvBool ok = TRUE;
    for (OvRaster* raster : gVideoRasters) {
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

namespace {

// The surface a camera raster or camera texture stands for: the back buffer, or the texture's
// level; a reference the caller releases.
IDirect3DSurface9* TargetSurface(OvRaster* top, OvUInt32 level) {
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

} // namespace

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
    OvUInt8 hasAlpha = ext->hasAlpha;
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
    if (paletteLockedHere) {
        OvD3D9RasterUnlockPalette(nullptr, raster, 0);
    }
    if (lockedHere) {
        OvD3D9RasterUnlock(nullptr, raster, 0);
    }
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

OvBool OvD3D9TextureSetRaster(void* texture, void* raster, OvInt32) {
    static_cast<OvTexture*>(texture)->raster = static_cast<OvRaster*>(raster);
    return TRUE;
}

OvBool OvD3D9SetContextRaster(void*, void* raster, OvInt32) {
    gContext = static_cast<OvRaster*>(raster);
    return TRUE;
}

OvBool OvD3D9RasterSubRaster(void* object, void* in, OvInt32) {
    auto* sub = static_cast<OvRaster*>(object);
    auto* parent = static_cast<OvRaster*>(in);
    if (sub == parent || sub->cpPixels != nullptr) {
        return Fail(ovERRRASTERLOCKED);
    }
    // A window on the parent: the parent's resource is what its locks reach.
    OvD3D9RasterExt* ext = OvD3D9RasterExtGet(sub);
    if (sub->parent == sub && (BaseTexture(ext) != nullptr || ext->surface != nullptr || ext->palette != nullptr)) {
        return Fail(ovERRBADRASTERFORMAT); // a raster with pixels of its own
    }
    sub->parent = parent;
    sub->stride = parent->stride;
    sub->depth = parent->depth;
    sub->cType = parent->cType;
    sub->cFormat = parent->cFormat;
    sub->cFlags = ovRASTERDONTALLOCATE;
    sub->cpPixels = nullptr;
    ext->format = OvD3D9RasterExtGet(Top(parent))->format;
    ext->hasAlpha = OvD3D9RasterExtGet(Top(parent))->hasAlpha;
    ext->lockedLevel = 0xFF;
    if (sub->cType == ovRASTERTYPECAMERA) {
        List(sub);
    }
    return TRUE;
}

namespace {

OvRaster* Context() { return gContext != nullptr ? gContext : OvRasterGetCurrentContext(); }

// A rectangle clipped to a raster's size; FALSE when nothing is left.
bool Clip(OvRect* r, OvInt32 width, OvInt32 height) {
    // The far edges in 64 bits: a rectangle may reach past the largest coordinate.
    const std::int64_t x0 = std::max(r->x, 0), y0 = std::max(r->y, 0);
    const std::int64_t x1 = std::min<std::int64_t>(std::int64_t{r->x} + std::max(r->w, 0), width);
    const std::int64_t y1 = std::min<std::int64_t>(std::int64_t{r->y} + std::max(r->h, 0), height);
    if (x1 <= x0 || y1 <= y0) {
        *r = {0, 0, 0, 0};
        return false;
    }
    *r = {static_cast<OvInt32>(x0), static_cast<OvInt32>(y0), static_cast<OvInt32>(x1 - x0),
          static_cast<OvInt32>(y1 - y0)};
    return true;
}

void PutValue(OvUInt8* at, OvInt32 bytes, OvUInt32 value) {
    for (OvInt32 i = 0; i < bytes; ++i) {
        at[i] = static_cast<OvUInt8>(value >> (8 * i));
    }
}

OvUInt32 GetValue(const OvUInt8* at, OvInt32 bytes) {
    OvUInt32 value = 0;
    for (OvInt32 i = 0; i < bytes; ++i) {
        value |= static_cast<OvUInt32>(at[i]) << (8 * i);
    }
    return value;
}

// A pixel value of a raster's format as an A8R8G8B8 colour (32-bit rasters hold one already).
bool PixelColour(const OvRaster* raster, OvUInt32 pixel, D3DCOLOR* colour) {
    if (raster->depth == 32) {
        *colour = pixel;
        return true;
    }
    OvRGBA c{};
    OvUInt32 value = pixel;
    if (!OvD3D9PixelToColor(&c, &value, OvRasterGetFormat(raster))) {
        return false;
    }
    *colour = static_cast<D3DCOLOR>(c.alpha) << 24 | static_cast<D3DCOLOR>(c.red) << 16 |
              static_cast<D3DCOLOR>(c.green) << 8 | c.blue;
    return true;
}

} // namespace

OvBool OvD3D9RasterClearRect(void*, void* in, OvInt32 pixel) {
    OvRaster* context = Context();
    OvRect r = *static_cast<const OvRect*>(in);
    OvRaster* top = Top(context);
    OvD3D9RasterExt* topExt = OvD3D9RasterExtGet(top);
    IDirect3DDevice9* device = OvD3D9GetDevice();
    if (!Clip(&r, context->width, context->height)) {
        return TRUE;
    }
    if (context != top) {
        r.x += context->nOffsetX;
        r.y += context->nOffsetY;
    }
    const auto value = static_cast<OvUInt32>(pixel);
    const D3DRECT area{r.x, r.y, r.x + r.w, r.y + r.h};
    const RECT fill{r.x, r.y, r.x + r.w, r.y + r.h};
    D3DCOLOR colour = 0;
    switch (context->cType) {
    case ovRASTERTYPECAMERA: {
        // The back buffer it stands for: the device's, or another window's swap chain's.
        IDirect3DSurface9* back = topExt->window != nullptr ? topExt->surface : OvD3D9GetBackBuffer();
        if (device == nullptr || back == nullptr || !PixelColour(context, value, &colour)) {
            return Fail(ovERRBADRASTERFORMAT);
        }
        OvD3D9SetRenderTargetSurface(0, back);
        OvD3D9SetDepthSurface(OvD3D9GetDepthSurface());
        return device->Clear(1, &area, D3DCLEAR_TARGET, colour, 1.0f, 0) == D3D_OK
                   ? TRUE
                   : FailWith("Failed to clear raster.");
    }
    case ovRASTERTYPEZBUFFER: {
        if (device == nullptr || topExt->surface == nullptr) {
            return Fail(ovERRBADRASTERFORMAT);
        }
        // The z raster's surface takes the clear; the bound one comes back after it.
        IDirect3DSurface9* bound = nullptr;
        device->GetDepthStencilSurface(&bound);
        device->SetDepthStencilSurface(topExt->surface);
        const HRESULT hr = device->Clear(1, &area, D3DCLEAR_ZBUFFER, 0, 1.0f, 0);
        device->SetDepthStencilSurface(bound);
        if (bound != nullptr) {
            bound->Release();
        }
        return hr == D3D_OK ? TRUE : FailWith("Failed to clear raster.");
    }
    case ovRASTERTYPECAMERATEXTURE:
    case ovRASTERTYPENORMAL:
    case ovRASTERTYPETEXTURE: {
        if (topExt->mipGen >= ovD3D9MIPGENCOMPRESSED) {
            return FailWith("Compressed rasters can not be cleared.");
        }
        if (context->cType == ovRASTERTYPECAMERATEXTURE || IsDepthFormat(topExt->format)) {
            // Default-pool surfaces are filled by the device.
            IDirect3DSurface9* surface = LevelSurface(topExt, 0);
            if (device == nullptr || surface == nullptr || !PixelColour(context, value, &colour)) {
                if (surface != nullptr) {
                    surface->Release();
                }
                return Fail(ovERRBADRASTERFORMAT);
            }
            const HRESULT hr = device->ColorFill(surface, &fill, colour);
            surface->Release();
            return hr == D3D_OK ? TRUE : FailWith("Failed to clear raster.");
        }
        // Managed textures are filled in software, the value as the raster holds it.
        const OvInt32 bytes = top->depth / 8;
        if (bytes < 1 || bytes > 4 || top->cpPixels != nullptr) {
            return Fail(top->cpPixels != nullptr ? ovERRRASTERLOCKED : ovERRBADRASTERDEPTH);
        }
        OvUInt8* pixels = nullptr;
        if (!OvD3D9RasterLock(&pixels, top, ovRASTERLOCKWRITE)) {
            return FALSE;
        }
        for (OvInt32 y = r.y; y < r.y + r.h && y < top->height; ++y) {
            OvUInt8* row = pixels + static_cast<std::ptrdiff_t>(y) * top->stride;
            for (OvInt32 x = r.x; x < r.x + r.w && x < top->width; ++x) {
                PutValue(row + x * bytes, bytes, value);
            }
        }
        return OvD3D9RasterUnlock(nullptr, top, 0);
    }
    default:
        return Fail(ovERRBADRASTERFORMAT);
    }
}

OvBool OvD3D9RasterClear(void* out, void*, OvInt32 pixel) {
    OvRect whole{0, 0, Context()->width, Context()->height};
    return OvD3D9RasterClearRect(out, &whole, pixel);
}

namespace {

bool IsTarget(const OvRaster* raster) {
    return raster->cType == ovRASTERTYPECAMERA || raster->cType == ovRASTERTYPECAMERATEXTURE;
}

bool IsPlain(const OvRaster* raster) {
    return raster->cType == ovRASTERTYPENORMAL || raster->cType == ovRASTERTYPETEXTURE;
}

// Copies source (whole) into the context raster's rectangle through locks of both, scaling by
// nearest pixels and converting between formats that differ.
OvBool CopyByLocks(OvRaster* source, OvRaster* context, OvRect to) {
    const OvInt32 sourceWidth = source->width, sourceHeight = source->height;
    const OvRect wanted = to;
    if (sourceWidth <= 0 || sourceHeight <= 0 || wanted.w <= 0 || wanted.h <= 0 ||
        !Clip(&to, context->width, context->height)) {
        return TRUE;
    }
    const D3DFORMAT from = OvD3D9RasterExtGet(Top(source))->format;
    const D3DFORMAT into = OvD3D9RasterExtGet(Top(context))->format;
    const OvInt32 inBytes = OvD3D9PixelFormatInfo(from).bits / 8, outBytes = OvD3D9PixelFormatInfo(into).bits / 8;
    if (inBytes < 1 || inBytes > 4 || outBytes < 1 || outBytes > 4 || from == D3DFMT_P8 || into == D3DFMT_P8 ||
        OvD3D9RasterIsCompressed(source) || OvD3D9RasterIsCompressed(context) || source->cpPixels != nullptr ||
        context->cpPixels != nullptr) {
        return FailWith("SRC, DST Raster render combination not supported");
    }
    OvUInt8* in = nullptr;
    OvUInt8* out = nullptr;
    if (!OvD3D9RasterLock(&in, source, ovRASTERLOCKREAD)) {
        return FALSE;
    }
    if (!OvD3D9RasterLock(&out, context, ovRASTERLOCKWRITE | ovRASTERLOCKREAD)) {
        OvD3D9RasterUnlock(nullptr, source, 0);
        return FALSE;
    }
    bool ok = true;
    for (OvInt32 y = to.y; ok && y < to.y + to.h; ++y) {
        const OvInt32 sy = static_cast<OvInt32>(static_cast<std::int64_t>(y - wanted.y) * sourceHeight / wanted.h);
        const OvUInt8* inRow = in + static_cast<std::ptrdiff_t>(sy) * source->stride;
        OvUInt8* outRow = out + static_cast<std::ptrdiff_t>(y) * context->stride;
        for (OvInt32 x = to.x; x < to.x + to.w; ++x) {
            const OvInt32 sx = static_cast<OvInt32>(static_cast<std::int64_t>(x - wanted.x) * sourceWidth / wanted.w);
            OvUInt32 value = GetValue(inRow + sx * inBytes, inBytes);
            if (from != into) {
                OvRGBA c{};
                ok = OvD3D9DecodePixel(&c, value, from) && OvD3D9EncodePixel(&value, c, into);
                if (!ok) {
                    break;
                }
            }
            PutValue(outRow + x * outBytes, outBytes, value);
        }
    }
    OvD3D9RasterUnlock(nullptr, context, 0);
    OvD3D9RasterUnlock(nullptr, source, 0);
    return ok ? TRUE : FailWith("SRC, DST Raster render combination not supported");
}

OvBool RenderInto(OvRaster* source, OvRect to, bool scaled) {
    OvRaster* context = Context();
    if (source == nullptr || source->cType == ovRASTERTYPEZBUFFER || context->cType == ovRASTERTYPEZBUFFER ||
        !(IsTarget(source) || IsPlain(source)) || !(IsTarget(context) || IsPlain(context))) {
        return FailWith("SRC, DST Raster render combination not supported");
    }
    IDirect3DDevice9* device = OvD3D9GetDevice();
    if (IsTarget(source) && IsTarget(context) && device != nullptr) {
        // Between render targets the device copies, filtering where it may.
        IDirect3DSurface9* from = TargetSurface(Top(source), 0);
        IDirect3DSurface9* into = TargetSurface(Top(context), 0);
        const OvInt32 sx = source == Top(source) ? 0 : source->nOffsetX;
        const OvInt32 sy = source == Top(source) ? 0 : source->nOffsetY;
        const OvInt32 dx = context == Top(context) ? 0 : context->nOffsetX;
        const OvInt32 dy = context == Top(context) ? 0 : context->nOffsetY;
        const RECT sourceRect{sx, sy, sx + source->width, sy + source->height};
        // The far edges in 64 bits, held to the coordinates a rectangle has: the device refuses
        // what lies beyond the target.
        const auto edge = [](std::int64_t v) {
            return static_cast<LONG>(
                std::clamp<std::int64_t>(v, std::numeric_limits<LONG>::min(), std::numeric_limits<LONG>::max()));
        };
        const RECT destRect{edge(std::int64_t{dx} + to.x), edge(std::int64_t{dy} + to.y),
                            edge(std::int64_t{dx} + to.x + to.w), edge(std::int64_t{dy} + to.y + to.h)};
        const DWORD caps = OvD3D9GetCaps()->StretchRectFilterCaps;
        const D3DTEXTUREFILTERTYPE filter = !scaled && (caps & D3DPTFILTERCAPS_MINFPOINT)   ? D3DTEXF_POINT
                                            : scaled && (caps & D3DPTFILTERCAPS_MINFLINEAR) ? D3DTEXF_LINEAR
                                                                                            : D3DTEXF_NONE;
        const HRESULT hr = from != nullptr && into != nullptr
                               ? device->StretchRect(from, &sourceRect, into, &destRect, filter)
                               : D3DERR_INVALIDCALL;
        if (from != nullptr) {
            from->Release();
        }
        if (into != nullptr) {
            into->Release();
        }
        return hr == D3D_OK ? TRUE : FailWith("SRC, DST Raster render combination not supported");
    }
    return CopyByLocks(source, context, to);
}

} // namespace

OvBool OvD3D9RasterRender(void* raster, void* position, OvInt32) {
    auto* source = static_cast<OvRaster*>(raster);
    const auto* at = static_cast<const OvV2d*>(position);
    // A position that is no number has no place; one beyond the coordinates a rectangle holds is
    // held to them, where the copy clips it away.
    if (source == nullptr || !std::isfinite(at->x) || !std::isfinite(at->y)) {
        return FailWith("SRC, DST Raster render combination not supported");
    }
    const auto coordinate = [](float v) {
        constexpr double lowest = std::numeric_limits<OvInt32>::min(), highest = std::numeric_limits<OvInt32>::max();
        return static_cast<OvInt32>(std::clamp(static_cast<double>(v), lowest, highest));
    };
    return RenderInto(source, {coordinate(at->x), coordinate(at->y), source->width, source->height}, false);
}

OvBool OvD3D9RasterRenderScaled(void* raster, void* rect, OvInt32) {
    return RenderInto(static_cast<OvRaster*>(raster), *static_cast<const OvRect*>(rect), true);
}

OvBool OvD3D9RasterRenderFast(void* raster, void* position, OvInt32 number) {
    return OvD3D9RasterRender(raster, position, number);
}

OvRaster* OvD3D9RasterConvertToMipmapped(OvRaster* raster) {
    OvD3D9RasterExt* ext = OvD3D9RasterExtGet(raster);
    const OvInt32 type = raster->cType;
    // A cube would come back as a plain texture without five of its faces: refused, as are
    // compressed rasters, sub-rasters and locked ones.
    if ((type != ovRASTERTYPENORMAL && type != ovRASTERTYPETEXTURE && type != ovRASTERTYPECAMERATEXTURE) ||
        raster->parent != raster || raster->cpPixels != nullptr || (ext->cube & 0x0F) != 0 ||
        ext->mipGen >= ovD3D9MIPGENCOMPRESSED || BaseTexture(ext) == nullptr) {
        Fail(ovERRBADRASTERFORMAT);
        return nullptr;
    }
    OvImage* image = OvImageCreate(raster->width, raster->height, 32);
    if (image == nullptr || OvImageAllocatePixels(image) == nullptr || !OvD3D9ImageGetFromRaster(image, raster, 0)) {
        if (image != nullptr) {
            OvImageDestroy(image);
        }
        return nullptr;
    }
    const auto accepted = [type](D3DFORMAT format) {
        return type == ovRASTERTYPECAMERATEXTURE ? OvD3D9CheckRenderTargetFormat(format)
                                                 : OvD3D9CheckTextureFormat(format);
    };
    const bool deep = DisplayDepth() > 16;
    OvInt32 code = 0;
    if (!ext->hasAlpha) {
        code = deep && accepted(D3DFMT_X8R8G8B8) ? ovRASTERFORMAT888 : ovRASTERFORMAT565;
    } else {
        code = deep && accepted(D3DFMT_A8R8G8B8) ? ovRASTERFORMAT8888
               : accepted(D3DFMT_A4R4G4B4)       ? ovRASTERFORMAT4444
                                                 : ovRASTERFORMAT1555;
    }
    OvD3D9RasterDestroy(nullptr, raster, 0);
    raster->depth = 0;
    const bool ok =
        OvD3D9RasterCreate(nullptr, raster, type | code | ovRASTERFORMATMIPMAP | ovRASTERFORMATAUTOMIPMAP) &&
        OvD3D9RasterSetFromImage(raster, image, 0);
    OvImageDestroy(image);
    return ok ? raster : nullptr;
}
