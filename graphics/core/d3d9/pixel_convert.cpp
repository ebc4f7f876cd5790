#include "graphics/core/d3d9/pixel_convert.h"

#include <cstring>

#include "graphics/core/error.h"
#include "graphics/core/image.h"
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
    return {static_cast<OvUInt8>(r), static_cast<OvUInt8>(g), static_cast<OvUInt8>(b), static_cast<OvUInt8>(a)};
}

// The device format of each engine pixel format code (the raster flags' pixel format field).
const D3DFORMAT engineFormats[16] = {D3DFMT_UNKNOWN, D3DFMT_A1R5G5B5, D3DFMT_R5G6B5,   D3DFMT_A4R4G4B4,
                                     D3DFMT_L8,      D3DFMT_A8R8G8B8, D3DFMT_X8R8G8B8, D3DFMT_D16,
                                     D3DFMT_D24X8,   D3DFMT_D32,      D3DFMT_X1R5G5B5};

OvInt32 EngineFormat(OvInt32 flags) { return (flags & ovRASTERFORMATPIXELFORMATMASK) >> 8; }

// True for the engine's 16-bit colour formats: 1555, 565, 4444 and 555.
bool Engine16BitColour(OvInt32 engine) { return engine == 1 || engine == 2 || engine == 3 || engine == 0xA; }

// The device format of an engine colour format; D3DFMT_UNKNOWN for the default, depth and unknown codes.
D3DFORMAT EngineColourFormat(OvInt32 flags) {
    const OvInt32 engine = EngineFormat(flags);
    return (Engine16BitColour(engine) || engine == 4 || engine == 5 || engine == 6) ? engineFormats[engine]
                                                                                    : D3DFMT_UNKNOWN;
}

} // namespace

OvUInt32 OvD3D9Luminance(const OvRGBA& c) { return (30u * c.red + 59u * c.green + 11u * c.blue) / 100u; }

OvBool OvD3D9DecodePixel(OvRGBA* colour, OvUInt32 p, D3DFORMAT format) {
    switch (format) {
    case D3DFMT_A8R8G8B8:
        *colour = Rgba(p >> 16, p >> 8, p, p >> 24);
        break;
    case D3DFMT_X8R8G8B8:
        *colour = Rgba(p >> 16, p >> 8, p, 255);
        break;
    case D3DFMT_R5G6B5:
        *colour = Rgba((p >> 8) & 0xF8, (p >> 3) & 0xFC, p << 3, 255);
        break;
    case D3DFMT_X1R5G5B5:
        *colour = Rgba((p >> 7) & 0xF8, (p >> 2) & 0xF8, p << 3, 255);
        break;
    case D3DFMT_A1R5G5B5:
        *colour = Rgba((p >> 7) & 0xF8, (p >> 2) & 0xF8, p << 3, (p & 0x8000) ? 255 : 0);
        break;
    case D3DFMT_A4R4G4B4:
        *colour = Rgba((p >> 4) & 0xF0, p & 0xF0, p << 4, (p & 0xF000) == 0xF000 ? 255 : (p >> 8) & 0xF0);
        break;
    case D3DFMT_R3G3B2:
        *colour = Rgba(p & 0xE0, (p & 0x1C) << 3, p << 6, 255);
        break;
    case D3DFMT_A8:
        *colour = Rgba(255, 255, 255, p);
        break;
    case D3DFMT_A8R3G3B2:
        *colour = Rgba(p & 0xE0, (p & 0x1C) << 3, p << 6, p >> 8);
        break;
    case D3DFMT_X4R4G4B4:
        *colour = Rgba((p >> 4) & 0xF0, p & 0xF0, p << 4, 255);
        break;
    case D3DFMT_A8B8G8R8:
    case fmtQ8W8V8U8:
        *colour = Rgba(p, p >> 8, p >> 16, p >> 24);
        break;
    case D3DFMT_X8B8G8R8:
    case fmtX8L8V8U8:
        *colour = Rgba(p, p >> 8, p >> 16, 255);
        break;
    case D3DFMT_L8:
        *colour = Rgba(p, p, p, 255);
        break;
    case D3DFMT_A8L8:
        *colour = Rgba(p, p, p, p >> 8);
        break;
    case D3DFMT_A4L4:
        *colour = Rgba(p << 4, p << 4, p << 4, (p & 0xFF) >= 240 ? 255 : p & 0xF0);
        break;
    case fmtV8U8:
    case fmtCxV8U8:
        *colour = Rgba(p, p >> 8, 0, 255);
        break;
    case fmtL6V5U5:
        *colour = Rgba((p & 0x1F) << 3, (p >> 2) & 0xF8, (p >> 8) & 0xFC, 255);
        break;
    case fmtL16:
        *colour = Rgba(p >> 8, p >> 8, p >> 8, 255);
        break;
    default:
        return FALSE;
    }
    return TRUE;
}

OvBool OvD3D9EncodePixel(OvUInt32* pixel, const OvRGBA& c, D3DFORMAT format) {
    const OvUInt32 r = c.red, g = c.green, b = c.blue, a = c.alpha;
    switch (format) {
    case D3DFMT_A8R8G8B8:
        *pixel = a << 24 | r << 16 | g << 8 | b;
        break;
    case D3DFMT_X8R8G8B8:
        *pixel = 0xFFu << 24 | r << 16 | g << 8 | b;
        break;
    case D3DFMT_R5G6B5:
        *pixel = (r & 0xF8) << 8 | (g & 0xFC) << 3 | b >> 3;
        break;
    case D3DFMT_X1R5G5B5:
        *pixel = (r & 0xF8) << 7 | (g & 0xF8) << 2 | b >> 3;
        break;
    case D3DFMT_A1R5G5B5:
        *pixel = (a & 0x80) << 8 | (r & 0xF8) << 7 | (g & 0xF8) << 2 | b >> 3;
        break;
    case D3DFMT_A4R4G4B4:
        *pixel = (a & 0xF0) << 8 | (r & 0xF0) << 4 | (g & 0xF0) | b >> 4;
        break;
    case D3DFMT_A8R3G3B2:
        *pixel = a << 8 | (r & 0xE0) | (g & 0xE0) >> 3 | b >> 6;
        break;
    case D3DFMT_X4R4G4B4:
        *pixel = 0xF000u | (r & 0xF0) << 4 | (g & 0xF0) | b >> 4;
        break;
    case D3DFMT_A8B8G8R8:
    case fmtQ8W8V8U8:
        *pixel = r | g << 8 | b << 16 | a << 24;
        break;
    case D3DFMT_X8B8G8R8:
    case fmtX8L8V8U8:
        *pixel = 0xFFu << 24 | b << 16 | g << 8 | r;
        break;
    case D3DFMT_L8:
        *pixel = OvD3D9Luminance(c) * a / 255;
        break;
    case D3DFMT_A8L8:
        *pixel = OvD3D9Luminance(c) | a << 8;
        break;
    case fmtV8U8:
    case fmtCxV8U8:
        *pixel = r | g << 8;
        break;
    case fmtL6V5U5:
        *pixel = (b & 0xFC) << 8 | (g & 0xF8) << 2 | r >> 3;
        break;
    case fmtL16:
        *pixel = ((30 * r + 59 * g + 11 * b) * a / 25500) * 255;
        break;
    default:
        return FALSE;
    }
    return TRUE;
}

OvBool OvD3D9ColorToPixel(void* pixelOut, void* colour, OvInt32 formatFlags) {
    const OvRGBA& c = *static_cast<const OvRGBA*>(colour);
    OvUInt32* out = static_cast<OvUInt32*>(pixelOut);
    const D3DFORMAT format =
        EngineFormat(formatFlags) == 0 ? D3DFMT_A8R8G8B8 : EngineColourFormat(formatFlags); // default: 8888
    if (format != D3DFMT_UNKNOWN) {
        return OvD3D9EncodePixel(out, c, format);
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
    const D3DFORMAT format = EngineColourFormat(formatFlags);
    if (format != D3DFMT_UNKNOWN) {
        return OvD3D9DecodePixel(out, format == D3DFMT_L8 ? p & 0xFF : p, format);
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

void OvD3D9RasterFitSize(OvInt32* width, OvInt32* height, OvInt32 type, OvInt32 formatFlags, const D3DCAPS9& caps) {
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

namespace {

constexpr OvInt32 errNoConversion = 2; // the core's "conversion not possible"

bool Palettised(OvInt32 flags) { return (flags & (ovRASTERFORMATPAL8 | ovRASTERFORMATPAL4)) != 0; }

OvUInt32 ReadValue(const OvUInt8* row, OvInt32 x, OvInt32 bytes) {
    switch (bytes) {
    case 1:
        return row[x];
    case 2:
        return row[2 * x] | OvUInt32(row[2 * x + 1]) << 8;
    default: {
        const OvUInt8* p = row + 4 * x;
        return p[0] | OvUInt32(p[1]) << 8 | OvUInt32(p[2]) << 16 | OvUInt32(p[3]) << 24;
    }
    }
}

void WriteValue(OvUInt8* row, OvInt32 x, OvInt32 bytes, OvUInt32 v) {
    for (OvInt32 i = 0; i < bytes; ++i) {
        row[bytes * x + i] = static_cast<OvUInt8>(v >> (8 * i));
    }
}

void PutColour(OvUInt8* at, const OvRGBA& c) {
    at[0] = c.red;
    at[1] = c.green;
    at[2] = c.blue;
    at[3] = c.alpha;
}

OvRGBA GetColour(const OvUInt8* at) { return {at[0], at[1], at[2], at[3]}; }

// Bytes a pixel value takes in a level of the given depth; 0 for a depth this conversion does not handle.
OvInt32 ValueBytes(OvInt32 depth) {
    switch (depth) {
    case 4:
    case 8:
        return 1;
    case 16:
        return 2;
    case 24:
    case 32:
        return 4;
    default:
        return 0;
    }
}

bool Fail(OvInt32 code) {
    OvErrorReport(ovPLUGINIDCORE, OvErrorCode(code));
    return false;
}

// Decodes one pixel of a level into a colour; false when the level leaves it untouched.
bool DecodeLevelPixel(const OvD3D9PixelView& level, OvUInt32 p, OvRGBA* c) {
    const OvInt32 engine = EngineFormat(level.formatFlags);
    if (level.depth == 16 && engine != 0) {
        if (Engine16BitColour(engine)) {
            return OvD3D9DecodePixel(c, p, engineFormats[engine]);
        }
        return false;
    }
    if (level.format == D3DFMT_A2R10G10B10) {
        *c = Rgba(p >> 22, p >> 12, p >> 2, (p >> 30) * 85);
        return true;
    }
    return OvD3D9DecodePixel(c, p, level.format);
}

} // namespace

OvBool OvD3D9PixelsToImage(OvImage* image, const OvD3D9PixelView& level) {
    if (image->width != level.width || image->height != level.height) {
        return Fail(errNoConversion);
    }
    if (image->depth == 8) {
        // Any 8-bit raster with a pixel format: palette indices, or levels of a luminance raster
        // (which has no palette and gets the grey ramp).
        if (level.depth != 8 || (EngineFormat(level.formatFlags) == 0 && !Palettised(level.formatFlags)) ||
            image->palette == nullptr) {
            return Fail(errNoConversion);
        }
        for (OvInt32 y = 0; y < level.height; ++y) {
            std::memcpy(image->cpPixels + y * image->stride, level.bits + y * level.pitch, level.width);
        }
        for (OvInt32 i = 0; i < 256; ++i) {
            if (level.palette != nullptr) {
                std::memcpy(image->palette + 4 * i, level.palette + 4 * i, 4);
            } else {
                PutColour(image->palette + 4 * i, Rgba(i, i, i, 255));
            }
        }
        return TRUE;
    }
    if (image->depth != 32) {
        return Fail(errNoConversion);
    }
    const OvInt32 bytes = ValueBytes(level.depth);
    if (bytes == 0) {
        return Fail(ovERRBADRASTERDEPTH);
    }
    if (level.depth == 24 && !Palettised(level.formatFlags) && EngineFormat(level.formatFlags) == 0 &&
        level.format != D3DFMT_X8R8G8B8 && level.format != D3DFMT_A8R8G8B8 && level.format != D3DFMT_A2R10G10B10) {
        return Fail(ovERRBADRASTERDEPTH);
    }
    const bool palette = bytes == 1 && Palettised(level.formatFlags);
    for (OvInt32 y = 0; y < level.height; ++y) {
        const OvUInt8* src = level.bits + y * level.pitch;
        OvUInt8* dst = image->cpPixels + y * image->stride;
        for (OvInt32 x = 0; x < level.width; ++x) {
            const OvUInt32 p = ReadValue(src, x, bytes);
            OvRGBA c{};
            if (palette) {
                c = level.palette != nullptr ? GetColour(level.palette + 4 * p) : Rgba(p, p, p, 255);
            } else if (!DecodeLevelPixel(level, p, &c)) {
                continue;
            }
            PutColour(dst + 4 * x, c);
        }
    }
    return TRUE;
}

namespace {

// Encodes a colour for an 8-bit level without a palette.
bool EncodeByte(D3DFORMAT format, const OvRGBA& c, OvUInt32* v) {
    switch (format) {
    case D3DFMT_L8:
        *v = OvD3D9Luminance(c) * c.alpha / 255;
        return true;
    case D3DFMT_A8:
        *v = c.alpha;
        return true;
    case D3DFMT_A4L4:
        *v = (OvD3D9Luminance(c) >> 4) | (c.alpha & 0xF0);
        return true;
    case D3DFMT_R3G3B2:
        *v = (c.red & 0xE0) | (c.green & 0xE0) >> 3 | c.blue >> 6;
        return true;
    default:
        return false;
    }
}

// Encodes a colour for a 16-, 24- or 32-bit level.
bool EncodeWide(const OvD3D9PixelView& level, const OvRGBA& c, OvUInt32* v) {
    const OvInt32 engine = EngineFormat(level.formatFlags);
    if (level.depth == 16 && Engine16BitColour(engine)) {
        return OvD3D9EncodePixel(v, c, engineFormats[engine]);
    }
    if (level.depth > 16 && engine == 5) {
        return OvD3D9EncodePixel(v, c, D3DFMT_A8R8G8B8);
    }
    if (level.depth > 16 && engine == 6) {
        return OvD3D9EncodePixel(v, c, D3DFMT_X8R8G8B8);
    }
    return OvD3D9EncodePixel(v, c, level.format);
}

} // namespace

OvBool OvD3D9PixelsFromImage(const OvD3D9PixelView& level, const OvImage* image, OvBool copyPalette,
                             OvUInt8* hasAlpha) {
    if (image->width != level.width || image->height != level.height) {
        return Fail(errNoConversion);
    }
    const bool imagePalettised = image->depth == 4 || image->depth == 8;
    if (!imagePalettised && image->depth != 32) {
        return Fail(errNoConversion);
    }
    if (level.depth == 64 || level.depth == 128) {
        return TRUE; // nothing to convert
    }
    const OvInt32 bytes = ValueBytes(level.depth);
    if (bytes == 0) {
        return Fail(ovERRBADRASTERDEPTH);
    }
    if (bytes == 1 && Palettised(level.formatFlags)) {
        // Indices go across as they are; colours would need a quantised palette.
        if (!imagePalettised || image->depth > level.depth) {
            return Fail(errNoConversion);
        }
        const OvUInt8 mask = static_cast<OvUInt8>((1 << image->depth) - 1);
        for (OvInt32 y = 0; y < level.height; ++y) {
            const OvUInt8* src = image->cpPixels + y * image->stride;
            OvUInt8* dst = level.bits + y * level.pitch;
            for (OvInt32 x = 0; x < level.width; ++x) {
                dst[x] = src[x] & mask; // a byte a pixel in both
            }
        }
        if (copyPalette && level.palette != nullptr && image->palette != nullptr) {
            std::memcpy(level.palette, image->palette, 4u << image->depth);
        }
        return TRUE;
    }
    // Palettised images go through a table of their entries, encoded once.
    OvUInt32 table[256] = {};
    bool tableUsable[256] = {};
    if (imagePalettised) {
        for (OvInt32 i = 0; i < (1 << image->depth); ++i) {
            const OvRGBA c = image->palette != nullptr ? GetColour(image->palette + 4 * i) : Rgba(i, i, i, 255);
            tableUsable[i] = bytes == 1 ? EncodeByte(level.format, c, &table[i]) : EncodeWide(level, c, &table[i]);
        }
    }
    for (OvInt32 y = 0; y < level.height; ++y) {
        const OvUInt8* src = image->cpPixels + y * image->stride;
        OvUInt8* dst = level.bits + y * level.pitch;
        for (OvInt32 x = 0; x < level.width; ++x) {
            OvUInt32 v = 0;
            bool ok = false;
            if (imagePalettised) {
                const OvUInt32 index = src[x] & ((1u << image->depth) - 1);
                v = table[index];
                ok = tableUsable[index];
            } else {
                const OvRGBA c = GetColour(src + 4 * x);
                ok = bytes == 1 ? EncodeByte(level.format, c, &v) : EncodeWide(level, c, &v);
            }
            if (ok) {
                WriteValue(dst, x, bytes, v);
            }
        }
    }
    if (hasAlpha != nullptr && bytes == 4) {
        *hasAlpha = EngineFormat(level.formatFlags) == 6 ? 0 : 1;
    }
    return TRUE;
}
