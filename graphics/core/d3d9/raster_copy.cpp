// Driver rasters: the context raster that clears and copies draw into, sub-rasters, clears of
// rectangles, copies and scaled copies between rasters, and the conversion to mip levels.

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
