#include "graphics/core/d3d9/pixel_convert.h"

#include "graphics/core/error.h"
#include "graphics/core/raster.h"

namespace {

// Formats the stand-in header does not name.
constexpr D3DFORMAT fmtV8U8 = 60;
constexpr D3DFORMAT fmtL6V5U5 = 61;
constexpr D3DFORMAT fmtX8L8V8U8 = 62;
constexpr D3DFORMAT fmtQ8W8V8U8 = 63;
constexpr D3DFORMAT fmtL16 = 81;
constexpr D3DFORMAT fmtCxV8U8 = 117;

OvRGBA Rgba(OvUInt32 r, OvUInt32 g, OvUInt32 b, OvUInt32 a) {
    return {static_cast<OvUInt8>(r), static_cast<OvUInt8>(g), static_cast<OvUInt8>(b),
            static_cast<OvUInt8>(a)};
}

} // namespace

OvUInt32 OvD3D9Luminance(const OvRGBA& c) {
    return (30u * c.red + 59u * c.green + 11u * c.blue) / 100u;
}

OvBool OvD3D9DecodePixel(OvRGBA* colour, OvUInt32 p, D3DFORMAT format) {
    switch (format) {
    case D3DFMT_A8R8G8B8: *colour = Rgba(p >> 16, p >> 8, p, p >> 24); break;
    case D3DFMT_X8R8G8B8: *colour = Rgba(p >> 16, p >> 8, p, 255); break;
    case D3DFMT_R5G6B5: *colour = Rgba((p >> 8) & 0xF8, (p >> 3) & 0xFC, p << 3, 255); break;
    case D3DFMT_X1R5G5B5: *colour = Rgba((p >> 7) & 0xF8, (p >> 2) & 0xF8, p << 3, 255); break;
    case D3DFMT_A1R5G5B5:
        *colour = Rgba((p >> 7) & 0xF8, (p >> 2) & 0xF8, p << 3, (p & 0x8000) ? 255 : 0);
        break;
    case D3DFMT_A4R4G4B4:
        *colour = Rgba((p >> 4) & 0xF0, p & 0xF0, p << 4,
                       (p & 0xF000) == 0xF000 ? 255 : (p >> 8) & 0xF0);
        break;
    case D3DFMT_R3G3B2: *colour = Rgba(p & 0xE0, (p & 0x1C) << 3, p << 6, 255); break;
    case D3DFMT_A8: *colour = Rgba(255, 255, 255, p); break;
    case D3DFMT_A8R3G3B2: *colour = Rgba(p & 0xE0, (p & 0x1C) << 3, p << 6, p >> 8); break;
    case D3DFMT_X4R4G4B4: *colour = Rgba((p >> 4) & 0xF0, p & 0xF0, p << 4, 255); break;
    case D3DFMT_A8B8G8R8:
    case fmtQ8W8V8U8: *colour = Rgba(p, p >> 8, p >> 16, p >> 24); break;
    case D3DFMT_X8B8G8R8:
    case fmtX8L8V8U8: *colour = Rgba(p, p >> 8, p >> 16, 255); break;
    case D3DFMT_L8: *colour = Rgba(p, p, p, 255); break;
    case D3DFMT_A8L8: *colour = Rgba(p, p, p, p >> 8); break;
    case D3DFMT_A4L4: *colour = Rgba(p << 4, p << 4, p << 4, (p & 0xFF) >= 240 ? 255 : p & 0xF0); break;
    case fmtV8U8:
    case fmtCxV8U8: *colour = Rgba(p, p >> 8, 0, 255); break;
    case fmtL6V5U5: *colour = Rgba((p & 0x1F) << 3, (p >> 2) & 0xF8, (p >> 8) & 0xFC, 255); break;
    case fmtL16: *colour = Rgba(p >> 8, p >> 8, p >> 8, 255); break;
    default: return FALSE;
    }
    return TRUE;
}

OvBool OvD3D9EncodePixel(OvUInt32* pixel, const OvRGBA& c, D3DFORMAT format) {
    const OvUInt32 r = c.red, g = c.green, b = c.blue, a = c.alpha;
    switch (format) {
    case D3DFMT_A8R8G8B8: *pixel = a << 24 | r << 16 | g << 8 | b; break;
    case D3DFMT_X8R8G8B8: *pixel = 0xFFu << 24 | r << 16 | g << 8 | b; break;
    case D3DFMT_R5G6B5: *pixel = (r & 0xF8) << 8 | (g & 0xFC) << 3 | b >> 3; break;
    case D3DFMT_X1R5G5B5: *pixel = (r & 0xF8) << 7 | (g & 0xF8) << 2 | b >> 3; break;
    case D3DFMT_A1R5G5B5: *pixel = (a & 0x80) << 8 | (r & 0xF8) << 7 | (g & 0xF8) << 2 | b >> 3; break;
    case D3DFMT_A4R4G4B4: *pixel = (a & 0xF0) << 8 | (r & 0xF0) << 4 | (g & 0xF0) | b >> 4; break;
    case D3DFMT_A8R3G3B2: *pixel = a << 8 | (r & 0xE0) | (g & 0xE0) >> 3 | b >> 6; break;
    case D3DFMT_X4R4G4B4: *pixel = 0xF000u | (r & 0xF0) << 4 | (g & 0xF0) | b >> 4; break;
    case D3DFMT_A8B8G8R8:
    case fmtQ8W8V8U8: *pixel = r | g << 8 | b << 16 | a << 24; break;
    case D3DFMT_X8B8G8R8:
    case fmtX8L8V8U8: *pixel = 0xFFu << 24 | b << 16 | g << 8 | r; break;
    case D3DFMT_L8: *pixel = OvD3D9Luminance(c) * a / 255; break;
    case D3DFMT_A8L8: *pixel = OvD3D9Luminance(c) | a << 8; break;
    case fmtV8U8:
    case fmtCxV8U8: *pixel = r | g << 8; break;
    case fmtL6V5U5: *pixel = (b & 0xFC) << 8 | (g & 0xF8) << 2 | r >> 3; break;
    case fmtL16: *pixel = ((30 * r + 59 * g + 11 * b) * a / 25500) * 255; break;
    default: return FALSE;
    }
    return TRUE;
}

OvBool OvD3D9ColorToPixel(void* pixelOut, void* colour, OvInt32 formatFlags) {
    const OvRGBA& c = *static_cast<const OvRGBA*>(colour);
    OvUInt32* out = static_cast<OvUInt32*>(pixelOut);
    switch (formatFlags & ovRASTERFORMATPIXELFORMATMASK) {
    case ovRASTERFORMAT1555: return OvD3D9EncodePixel(out, c, D3DFMT_A1R5G5B5);
    case ovRASTERFORMAT565: return OvD3D9EncodePixel(out, c, D3DFMT_R5G6B5);
    case ovRASTERFORMAT555: return OvD3D9EncodePixel(out, c, D3DFMT_X1R5G5B5);
    case ovRASTERFORMAT4444: return OvD3D9EncodePixel(out, c, D3DFMT_A4R4G4B4);
    case ovRASTERFORMATLUM8: return OvD3D9EncodePixel(out, c, D3DFMT_L8);
    case ovRASTERFORMATDEFAULT:
    case ovRASTERFORMAT8888: return OvD3D9EncodePixel(out, c, D3DFMT_A8R8G8B8);
    case ovRASTERFORMAT888: return OvD3D9EncodePixel(out, c, D3DFMT_X8R8G8B8);
    default: break;
    }
    OvErrorReport(ovPLUGINIDCORE, OvErrorCode(ovERRBADRASTERFORMAT));
    return FALSE;
}

OvBool OvD3D9PixelToColor(void* colourOut, void* pixel, OvInt32 formatFlags) {
    const OvUInt32 p = *static_cast<const OvUInt32*>(pixel);
    OvRGBA* out = static_cast<OvRGBA*>(colourOut);
    if (formatFlags & ovRASTERFORMATPAL8) {
        *out = Rgba(p, p >> 8, p >> 16, p >> 24); // the palette entry, byte for byte
        return TRUE;
    }
    switch (formatFlags & ovRASTERFORMATPIXELFORMATMASK) {
    case ovRASTERFORMAT1555: return OvD3D9DecodePixel(out, p, D3DFMT_A1R5G5B5);
    case ovRASTERFORMAT565: return OvD3D9DecodePixel(out, p, D3DFMT_R5G6B5);
    case ovRASTERFORMAT4444: return OvD3D9DecodePixel(out, p, D3DFMT_A4R4G4B4);
    case ovRASTERFORMATLUM8: return OvD3D9DecodePixel(out, p & 0xFF, D3DFMT_L8);
    case ovRASTERFORMAT8888: return OvD3D9DecodePixel(out, p, D3DFMT_A8R8G8B8);
    case ovRASTERFORMAT888: return OvD3D9DecodePixel(out, p, D3DFMT_X8R8G8B8);
    case ovRASTERFORMAT555: return OvD3D9DecodePixel(out, p, D3DFMT_X1R5G5B5);
    default: break;
    }
    OvErrorReport(ovPLUGINIDCORE, OvErrorCode(ovERRBADRASTERFORMAT));
    return FALSE;
}

namespace {

OvInt32 FloorPow2(OvInt32 v) {
    OvInt32 p = 1;
    while (p <= v / 2) {
        p *= 2;
    }
    return v > 0 ? p : v;
}

} // namespace

void OvD3D9RasterFitSize(OvInt32* width, OvInt32* height, OvInt32 type, OvInt32 formatFlags,
                         const D3DCAPS9& caps) {
    const long long maxW = caps.MaxTextureWidth, maxH = caps.MaxTextureHeight;
    if (*width > maxW) {
        *width = static_cast<OvInt32>(maxW);
    }
    if (*height > maxH) {
        *height = static_cast<OvInt32>(maxH);
    }
    const bool pow2 = (caps.TextureCaps & D3DPTEXTURECAPS_POW2) != 0;
    const bool conditional = (caps.TextureCaps & D3DPTEXTURECAPS_NONPOW2CONDITIONAL) != 0;
    const bool mipmapped = (formatFlags & ovRASTERFORMATMIPMAP) != 0;
    const bool round = (type == ovRASTERTYPENORMAL || !mipmapped) ? pow2 && !conditional : pow2;
    if (round) {
        *width = FloorPow2(*width);
        *height = FloorPow2(*height);
    }
    if (caps.TextureCaps & D3DPTEXTURECAPS_SQUAREONLY) {
        const OvInt32 side = *width < *height ? *width : *height;
        *width = side;
        *height = side;
    }
}
