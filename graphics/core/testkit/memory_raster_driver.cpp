#include "graphics/core/testkit/memory_raster_driver.h"

#include <cstdlib>
#include <cstring>

#include "graphics/core/image.h"
#include "graphics/core/image_processing.h"
#include "graphics/core/raster.h"
#include "graphics/core/testkit/null_driver.h"
#include "graphics/core/texture.h"

namespace {

OvTestDriverState gState = {};

constexpr OvInt32 kPaletteBytes = 256 * 4;

OvBool Record(OvInt32 index, void* out, void* inOut, OvInt32 number) {
    OvTestDriverCall& call = gState.calls[index];
    call.count++;
    call.lastOut = out;
    call.lastInOut = inOut;
    call.lastNumber = number;
    return !gState.refuse[index];
}

OvInt32 BitsOfFormat(OvInt32 format) {
    switch (format & ovRASTERFORMATPIXELFORMATMASK) {
    case ovRASTERFORMAT1555:
    case ovRASTERFORMAT565:
    case ovRASTERFORMAT4444:
    case ovRASTERFORMAT16:
    case ovRASTERFORMAT555:
        return 16;
    case ovRASTERFORMATLUM8:
        return 8;
    default:
        return 32;
    }
}

bool HasMipLevels(const OvRaster* raster) { return (raster->cFormat & (ovRASTERFORMATMIPMAP >> 8)) != 0; }
bool IsPalettised(const OvRaster* raster) {
    return (raster->cFormat & ((ovRASTERFORMATPAL8 | ovRASTERFORMATPAL4) >> 8)) != 0;
}

// Size of the whole raster: while a level is locked the record holds that level's size.
OvInt32 FullWidth(const OvRaster* raster) {
    return raster->cpPixels != nullptr ? raster->originalWidth : raster->width;
}
OvInt32 FullHeight(const OvRaster* raster) {
    return raster->cpPixels != nullptr ? raster->originalHeight : raster->height;
}

// Levels of a raster: halvings of the larger side down to 1, plus one.
OvInt32 LevelCount(const OvRaster* raster) {
    if (!HasMipLevels(raster)) {
        return 1;
    }
    OvInt32 side = FullWidth(raster) > FullHeight(raster) ? FullWidth(raster) : FullHeight(raster);
    OvInt32 levels = 1;
    while (side > 1) {
        side >>= 1;
        levels++;
    }
    return levels;
}

OvInt32 LevelSide(OvInt32 side, OvInt32 level) {
    const OvInt32 s = side >> level;
    return s > 0 ? s : 1;
}

OvInt32 BytesPerPixel(const OvRaster* raster) { return (raster->depth + 7) / 8; }

// Offset of a level in the raster's storage (levels one after the other) and its byte size.
std::size_t LevelOffset(const OvRaster* raster, OvInt32 level) {
    std::size_t offset = 0;
    for (OvInt32 i = 0; i < level; ++i) {
        offset += static_cast<std::size_t>(LevelSide(FullWidth(raster), i)) *
                  static_cast<std::size_t>(LevelSide(FullHeight(raster), i)) *
                  static_cast<std::size_t>(BytesPerPixel(raster));
    }
    return offset;
}

OvBool CameraBegin(void* out, void* inOut, OvInt32 number) {
    return Record(ovSTANDARDCAMERABEGINUPDATE, out, inOut, number);
}
OvBool CameraEnd(void* out, void* inOut, OvInt32 number) {
    return Record(ovSTANDARDCAMERAENDUPDATE, out, inOut, number);
}
OvBool CameraClear(void* out, void* inOut, OvInt32 number) { return Record(ovSTANDARDCAMERACLEAR, out, inOut, number); }
OvBool ShowRaster(void* out, void* inOut, OvInt32 number) {
    return Record(ovSTANDARDRASTERSHOWRASTER, out, inOut, number);
}

OvBool RasterCreate(void* out, void* inOut, OvInt32 flags) {
    if (!Record(ovSTANDARDRASTERCREATE, out, inOut, flags)) {
        return 0;
    }
    OvRaster* raster = static_cast<OvRaster*>(inOut);
    const OvInt32 type = flags & ovRASTERTYPEMASK;
    if (type == 3 || type > ovRASTERTYPECAMERATEXTURE) {
        return 0;
    }
    OvInt32 format = flags & 0xFF00;
    if ((format & ovRASTERFORMATPIXELFORMATMASK) == 0) {
        format |= ovRASTERFORMAT8888;
    }
    raster->cType = static_cast<OvUInt8>(type);
    raster->cFlags = static_cast<OvUInt8>(flags & 0xF8);
    raster->cFormat = static_cast<OvUInt8>(format >> 8);
    raster->depth = IsPalettised(raster) ? 8 : BitsOfFormat(format);
    raster->stride = 0;
    if (raster->width <= 0 || raster->height <= 0 || (raster->cFlags & ovRASTERDONTALLOCATE)) {
        raster->cFlags = ovRASTERDONTALLOCATE;
        return 1;
    }
    const std::size_t pixels = LevelOffset(raster, LevelCount(raster));
    const std::size_t palette = IsPalettised(raster) ? kPaletteBytes : 0;
    raster->originalPixels = static_cast<OvUInt8*>(std::calloc(pixels + palette, 1));
    if (raster->originalPixels == nullptr) {
        return 0;
    }
    gState.liveRasters++;
    return 1;
}

OvBool RasterDestroy(void* out, void* inOut, OvInt32 number) {
    Record(ovSTANDARDRASTERDESTROY, out, inOut, number);
    OvRaster* raster = static_cast<OvRaster*>(inOut);
    if (raster->originalPixels != nullptr) {
        std::free(raster->originalPixels);
        raster->originalPixels = nullptr;
        gState.liveRasters--;
    }
    return 1;
}

OvBool RasterLock(void* out, void* inOut, OvInt32 number) {
    if (!Record(ovSTANDARDRASTERLOCK, out, inOut, number)) {
        return 0;
    }
    OvRaster* raster = static_cast<OvRaster*>(inOut);
    const OvInt32 level = (number >> 8) & 0xFF;
    if (raster->cpPixels != nullptr || raster->originalPixels == nullptr || level >= LevelCount(raster)) {
        return 0;
    }
    raster->originalWidth = raster->width;
    raster->originalHeight = raster->height;
    raster->originalStride = raster->stride;
    raster->cpPixels = raster->originalPixels + LevelOffset(raster, level);
    raster->width = LevelSide(raster->originalWidth, level);
    raster->height = LevelSide(raster->originalHeight, level);
    raster->stride = raster->width * BytesPerPixel(raster);
    if (number & ovRASTERLOCKREAD) {
        raster->privateFlags |= ovRASTERPIXELLOCKEDREAD;
    }
    if (number & ovRASTERLOCKWRITE) {
        raster->privateFlags |= ovRASTERPIXELLOCKEDWRITE;
    }
    *static_cast<OvUInt8**>(out) = raster->cpPixels;
    return 1;
}

OvBool RasterUnlock(void* out, void* inOut, OvInt32 number) {
    if (!Record(ovSTANDARDRASTERUNLOCK, out, inOut, number)) {
        return 0;
    }
    OvRaster* raster = static_cast<OvRaster*>(inOut);
    if (raster->cpPixels == nullptr) {
        return 0;
    }
    // Level 0 written on a raster whose levels are made automatically: this device cannot make
    // them, so the texture module does.
    const bool regenerate = (raster->privateFlags & ovRASTERPIXELLOCKEDWRITE) != 0 &&
                            raster->cpPixels == raster->originalPixels &&
                            (raster->cFormat & (ovRASTERFORMATAUTOMIPMAP >> 8)) != 0 && HasMipLevels(raster);
    raster->width = raster->originalWidth;
    raster->height = raster->originalHeight;
    raster->stride = raster->originalStride;
    raster->cpPixels = nullptr;
    raster->privateFlags &= static_cast<OvUInt8>(~(ovRASTERPIXELLOCKEDREAD | ovRASTERPIXELLOCKEDWRITE));
    if (regenerate) {
        gState.mipmapRegenerations++;
        OvTextureGenerateMipmaps(raster, nullptr);
    }
    return 1;
}

OvBool PaletteLock(void* out, void* inOut, OvInt32 number) {
    if (!Record(ovSTANDARDRASTERLOCKPALETTE, out, inOut, number)) {
        return 0;
    }
    OvRaster* raster = static_cast<OvRaster*>(inOut);
    if (!IsPalettised(raster) || raster->originalPixels == nullptr) {
        return 0;
    }
    raster->palette = raster->originalPixels + LevelOffset(raster, LevelCount(raster));
    raster->privateFlags |= ovRASTERPALETTELOCKED;
    if (number & ovRASTERLOCKWRITE) {
        raster->privateFlags |= ovRASTERPALETTELOCKEDWRITE;
    }
    *static_cast<OvUInt8**>(out) = raster->palette;
    return 1;
}

OvBool PaletteUnlock(void* out, void* inOut, OvInt32 number) {
    if (!Record(ovSTANDARDRASTERUNLOCKPALETTE, out, inOut, number)) {
        return 0;
    }
    static_cast<OvRaster*>(inOut)->palette = nullptr;
    return 1;
}

OvBool NumLevels(void* out, void* inOut, OvInt32 number) {
    if (!Record(ovSTANDARDRASTERGETNUMLEVELS, out, inOut, number)) {
        return 0;
    }
    *static_cast<OvInt32*>(out) = LevelCount(static_cast<OvRaster*>(inOut));
    return 1;
}

// The raster format that suits an image: alpha or not, palettised or not.
OvInt32 BestFormat(const OvImage* image) {
    if (image->depth == 4 || image->depth == 8) {
        const OvInt32 entries = 1 << image->depth;
        bool opaque = true;
        for (OvInt32 i = 0; image->palette != nullptr && i < entries; ++i) {
            opaque = opaque && image->palette[4 * i + 3] == 255;
        }
        return (image->depth == 4 ? ovRASTERFORMATPAL4 : ovRASTERFORMATPAL8) |
               (opaque ? ovRASTERFORMAT888 : ovRASTERFORMAT8888);
    }
    for (OvInt32 y = 0; image->cpPixels != nullptr && y < image->height; ++y) {
        const OvUInt8* row = image->cpPixels + y * image->stride;
        for (OvInt32 x = 0; x < image->width; ++x) {
            if (row[4 * x + 3] != 255) {
                return ovRASTERFORMAT8888;
            }
        }
    }
    return ovRASTERFORMAT888;
}

// Largest power of two not above the side, at most kMaxSide.
constexpr OvInt32 kMaxSide = 2048;
OvInt32 FitSide(OvInt32 side) {
    OvInt32 fitted = 1;
    while (fitted * 2 <= side && fitted * 2 <= kMaxSide) {
        fitted *= 2;
    }
    return fitted;
}

// Format query: the raster this driver would make for an image (sizes fitted to powers of two).
OvBool FormatForImage(void* out, void* inOut, OvInt32 number) {
    if (!Record(ovSTANDARDRASTERFORMATFORIMAGE, out, inOut, number)) {
        return 0;
    }
    OvRaster* scratch = static_cast<OvRaster*>(out);
    const OvImage* image = static_cast<const OvImage*>(inOut);
    const OvInt32 type = number & ovRASTERTYPEMASK;
    OvInt32 format = number & 0xFF00;
    OvInt32 width = image->width;
    OvInt32 height = image->height;
    if (type == ovRASTERTYPENORMAL || type == ovRASTERTYPETEXTURE || type == ovRASTERTYPECAMERATEXTURE) {
        width = FitSide(width);
        height = FitSide(height);
        const OvInt32 keep = type == ovRASTERTYPENORMAL ? format & ~(ovRASTERFORMATMIPMAP | ovRASTERFORMATAUTOMIPMAP)
                                                        : format & (ovRASTERFORMATMIPMAP | ovRASTERFORMATAUTOMIPMAP);
        format = BestFormat(image) | keep;
    } else if (type != ovRASTERTYPEZBUFFER && type != ovRASTERTYPECAMERA) {
        return 0;
    }
    *scratch = {};
    scratch->cType = static_cast<OvUInt8>(type);
    scratch->cFormat = static_cast<OvUInt8>(format >> 8);
    scratch->width = width;
    scratch->height = height;
    scratch->depth = IsPalettised(scratch) ? 8 : BitsOfFormat(format);
    return 1;
}

// Pixel encodings of the raster formats: 32-bit as 0xAARRGGBB, 16-bit as 1555, 565 or 4444.
void Encode(const OvRaster* raster, const OvUInt8* rgba, OvUInt8* out) {
    const OvUInt32 r = rgba[0], g = rgba[1], b = rgba[2], a = rgba[3];
    const OvInt32 code = (raster->cFormat << 8) & ovRASTERFORMATPIXELFORMATMASK;
    if (raster->depth == 32) {
        const OvUInt32 alpha = code == ovRASTERFORMAT888 ? 0xFF : a;
        const OvUInt32 p = alpha << 24 | r << 16 | g << 8 | b;
        std::memcpy(out, &p, 4);
        return;
    }
    OvUInt32 p = 0;
    if (code == ovRASTERFORMAT565) {
        p = (r & 0xF8) << 8 | (g & 0xFC) << 3 | b >> 3;
    } else if (code == ovRASTERFORMAT4444) {
        p = (a & 0xF0) << 8 | (r & 0xF0) << 4 | (g & 0xF0) | b >> 4;
    } else {
        p = (a & 0x80) << 8 | (r & 0xF8) << 7 | (g & 0xF8) << 2 | b >> 3;
    }
    out[0] = static_cast<OvUInt8>(p);
    out[1] = static_cast<OvUInt8>(p >> 8);
}

void Decode(const OvRaster* raster, const OvUInt8* in, OvUInt8* rgba) {
    const OvInt32 code = (raster->cFormat << 8) & ovRASTERFORMATPIXELFORMATMASK;
    if (raster->depth == 32) {
        OvUInt32 p;
        std::memcpy(&p, in, 4);
        rgba[0] = static_cast<OvUInt8>(p >> 16);
        rgba[1] = static_cast<OvUInt8>(p >> 8);
        rgba[2] = static_cast<OvUInt8>(p);
        rgba[3] = code == ovRASTERFORMAT888 ? 0xFF : static_cast<OvUInt8>(p >> 24);
        return;
    }
    const OvUInt32 p = static_cast<OvUInt32>(in[0]) | static_cast<OvUInt32>(in[1]) << 8;
    if (code == ovRASTERFORMAT565) {
        rgba[0] = static_cast<OvUInt8>((p >> 8) & 0xF8), rgba[1] = static_cast<OvUInt8>((p >> 3) & 0xFC);
        rgba[2] = static_cast<OvUInt8>(p << 3), rgba[3] = 0xFF;
    } else if (code == ovRASTERFORMAT4444) {
        rgba[0] = static_cast<OvUInt8>((p >> 4) & 0xF0), rgba[1] = static_cast<OvUInt8>(p & 0xF0);
        rgba[2] = static_cast<OvUInt8>(p << 4), rgba[3] = static_cast<OvUInt8>((p >> 8) & 0xF0);
    } else {
        rgba[0] = static_cast<OvUInt8>((p >> 7) & 0xF8), rgba[1] = static_cast<OvUInt8>((p >> 2) & 0xF8);
        rgba[2] = static_cast<OvUInt8>(p << 3), rgba[3] = (p & 0x8000) ? 0xFF : 0;
    }
}

// Locks level 0 (and the palette) for the conversions unless the caller holds a lock already.
struct ConversionLock {
    OvRaster* raster;
    bool pixels = false;
    bool palette = false;

    ConversionLock(OvRaster* r, OvInt32 mode) : raster(r) {
        if (raster->cpPixels == nullptr) {
            pixels = OvRasterLock(raster, 0, mode) != nullptr;
        }
        if (IsPalettised(raster) && raster->palette == nullptr) {
            palette = OvRasterLockPalette(raster, mode) != nullptr;
        }
    }
    ~ConversionLock() {
        if (palette) {
            OvRasterUnlockPalette(raster);
        }
        if (pixels) {
            OvRasterUnlock(raster);
        }
    }
    bool Ok() const { return raster->cpPixels != nullptr && (!IsPalettised(raster) || raster->palette != nullptr); }
};

OvBool ImageFromRaster(void* out, void* inOut, OvInt32 number) {
    if (!Record(ovSTANDARDIMAGEGETFROMRASTER, out, inOut, number)) {
        return 0;
    }
    OvImage* image = static_cast<OvImage*>(out);
    OvRaster* raster = static_cast<OvRaster*>(inOut);
    ConversionLock lock(raster, ovRASTERLOCKREAD);
    if (!lock.Ok() || image->width != raster->width || image->height != raster->height || image->cpPixels == nullptr) {
        return 0;
    }
    const OvInt32 bytes = BytesPerPixel(raster);
    for (OvInt32 y = 0; y < image->height; ++y) {
        const OvUInt8* in = raster->cpPixels + y * raster->stride;
        OvUInt8* row = image->cpPixels + y * image->stride;
        for (OvInt32 x = 0; x < image->width; ++x) {
            if (image->depth == 32) {
                if (IsPalettised(raster)) {
                    std::memcpy(row + 4 * x, raster->palette + 4 * in[x], 4);
                } else {
                    Decode(raster, in + bytes * x, row + 4 * x);
                }
            } else if (image->depth == 8 && IsPalettised(raster)) {
                row[x] = in[x];
            } else {
                return 0;
            }
        }
    }
    if (image->depth == 8) {
        std::memcpy(image->palette, raster->palette, kPaletteBytes);
    }
    return 1;
}

// Which level is locked: level 0 starts the storage.
bool LevelZeroLocked(const OvRaster* raster) { return raster->cpPixels == raster->originalPixels; }

OvBool WritePixels(OvRaster* raster, const OvImage* image) {
    ConversionLock lock(raster, ovRASTERLOCKWRITE);
    if (!lock.Ok() || image->width != raster->width || image->height != raster->height) {
        return 0;
    }
    const bool palettisedImage = image->depth == 4 || image->depth == 8;
    if (IsPalettised(raster)) {
        if (!palettisedImage) {
            return 0;
        }
        for (OvInt32 y = 0; y < image->height; ++y) {
            std::memcpy(raster->cpPixels + y * raster->stride, image->cpPixels + y * image->stride,
                        static_cast<std::size_t>(image->width));
        }
        if (LevelZeroLocked(raster)) {
            std::memcpy(raster->palette, image->palette, static_cast<std::size_t>(4 << image->depth));
        }
        return 1;
    }
    const OvInt32 bytes = BytesPerPixel(raster);
    const OvInt32 indexMask = palettisedImage ? (1 << image->depth) - 1 : 0; // a 4-bit image holds a byte a pixel
    for (OvInt32 y = 0; y < image->height; ++y) {
        const OvUInt8* row = image->cpPixels + y * image->stride;
        OvUInt8* outRow = raster->cpPixels + y * raster->stride;
        for (OvInt32 x = 0; x < image->width; ++x) {
            const OvUInt8* rgba = palettisedImage ? image->palette + 4 * (row[x] & indexMask) : row + 4 * x;
            Encode(raster, rgba, outRow + bytes * x);
        }
    }
    return 1;
}

OvBool RasterFromImage(void* out, void* inOut, OvInt32 number) {
    if (!Record(ovSTANDARDRASTERSETFROMIMAGE, out, inOut, number)) {
        return 0;
    }
    OvRaster* raster = static_cast<OvRaster*>(out);
    OvImage* image = static_cast<OvImage*>(inOut);
    OvImage* resampled = nullptr;
    if (image->width != raster->width || image->height != raster->height) {
        resampled = OvImageCreateResampled(image, raster->width, raster->height);
        if (resampled == nullptr) {
            return 0;
        }
        image = resampled;
    }
    OvImage* quantised = nullptr;
    if (IsPalettised(raster) && image->depth == 32) {
        // A palette raster takes a 32-bit picture through the quantiser.
        const OvInt32 depth = (raster->cFormat & (ovRASTERFORMATPAL4 >> 8)) ? 4 : 8;
        OvPaletteQuantizer q;
        quantised = OvImageCreate(image->width, image->height, depth);
        if (quantised != nullptr && OvImageAllocatePixels(quantised) != nullptr && OvPaletteQuantizerInit(&q)) {
            OvPaletteQuantizerAddImage(&q, image, 1.0f);
            OvPaletteQuantizerMakePalette(quantised->palette, 1 << depth, &q);
            OvPaletteQuantizerMapImage(quantised->cpPixels, quantised->stride, depth, FALSE, &q, image);
            OvPaletteQuantizerFree(&q);
            image = quantised;
        }
    }
    const OvBool ok = WritePixels(raster, image);
    if (quantised != nullptr) {
        OvImageDestroy(quantised);
    }
    if (resampled != nullptr) {
        OvImageDestroy(resampled);
    }
    return ok;
}

OvBool TextureSetRaster(void* out, void* inOut, OvInt32 number) {
    if (!Record(ovSTANDARDTEXTURESETRASTER, out, inOut, number)) {
        return 0;
    }
    static_cast<OvTexture*>(out)->raster = static_cast<OvRaster*>(inOut);
    return 1;
}

// Every request goes to the null driver first; this driver then puts itself into the device
// record and its raster and camera functions into the standard-function table.
OvBool MemorySystem(OvInt32 request, void* out, void* inOut, OvInt32 number);

OvDevice* MemoryDevice() {
    static OvDevice device = [] {
        OvDevice d = *OvNullDriverGet()->deviceGet();
        d.system = MemorySystem;
        return d;
    }();
    return &device;
}

OvBool MemorySystem(OvInt32 request, void* out, void* inOut, OvInt32 number) {
    if (!OvNullDriverGet()->deviceGet()->system(request, out, inOut, number)) {
        return 0;
    }
    if (request == ovDEVICEREQUESTGETDEVICE) {
        static_cast<OvDevice*>(out)->system = MemorySystem;
    } else if (request == ovDEVICEREQUESTGETSTANDARDFUNCTIONS && number >= ovNUMSTANDARDFUNCTIONS) {
        OvStandardFunction* table = static_cast<OvStandardFunction*>(out);
        table[ovSTANDARDCAMERABEGINUPDATE] = CameraBegin;
        table[ovSTANDARDRASTERCREATE] = RasterCreate;
        table[ovSTANDARDRASTERDESTROY] = RasterDestroy;
        table[ovSTANDARDRASTERFORMATFORIMAGE] = FormatForImage;
        table[ovSTANDARDIMAGEGETFROMRASTER] = ImageFromRaster;
        table[ovSTANDARDRASTERSETFROMIMAGE] = RasterFromImage;
        table[ovSTANDARDTEXTURESETRASTER] = TextureSetRaster;
        table[ovSTANDARDCAMERAENDUPDATE] = CameraEnd;
        table[ovSTANDARDRASTERLOCK] = RasterLock;
        table[ovSTANDARDRASTERUNLOCK] = RasterUnlock;
        table[ovSTANDARDRASTERSHOWRASTER] = ShowRaster;
        table[ovSTANDARDCAMERACLEAR] = CameraClear;
        table[ovSTANDARDRASTERLOCKPALETTE] = PaletteLock;
        table[ovSTANDARDRASTERUNLOCKPALETTE] = PaletteUnlock;
        table[ovSTANDARDRASTERGETNUMLEVELS] = NumLevels;
    }
    return 1;
}

OvBool MemoryAttach() { return OvNullDriverGet()->pluginAttach(); }

const OvDriver kDriver = {MemoryAttach, MemoryDevice};

} // namespace

const OvDriver* OvTestMemoryRasterDriver() { return &kDriver; }
OvTestDriverState* OvTestMemoryRasterDriverState() { return &gState; }
void OvTestMemoryRasterDriverReset() {
    OvNullDriverReset();
    gState = {};
}
