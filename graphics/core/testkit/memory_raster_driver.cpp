#include "graphics/core/testkit/memory_raster_driver.h"

#include <cstdlib>
#include <cstring>

#include "graphics/core/raster.h"
#include "graphics/core/testkit/null_driver.h"

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
OvInt32 FullWidth(const OvRaster* raster) { return raster->cpPixels != nullptr ? raster->originalWidth : raster->width; }
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
                  static_cast<std::size_t>(LevelSide(FullHeight(raster), i)) * static_cast<std::size_t>(BytesPerPixel(raster));
    }
    return offset;
}

OvBool CameraBegin(void* out, void* inOut, OvInt32 number) { return Record(ovSTANDARDCAMERABEGINUPDATE, out, inOut, number); }
OvBool CameraEnd(void* out, void* inOut, OvInt32 number) { return Record(ovSTANDARDCAMERAENDUPDATE, out, inOut, number); }
OvBool CameraClear(void* out, void* inOut, OvInt32 number) { return Record(ovSTANDARDCAMERACLEAR, out, inOut, number); }
OvBool ShowRaster(void* out, void* inOut, OvInt32 number) { return Record(ovSTANDARDRASTERSHOWRASTER, out, inOut, number); }

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
    raster->width = raster->originalWidth;
    raster->height = raster->originalHeight;
    raster->stride = raster->originalStride;
    raster->cpPixels = nullptr;
    raster->privateFlags &= static_cast<OvUInt8>(~(ovRASTERPIXELLOCKEDREAD | ovRASTERPIXELLOCKEDWRITE));
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

// Format query: this driver would make a 32-bit 8888 raster of 16 x 16 of the type in number.
OvBool FormatForImage(void* out, void* inOut, OvInt32 number) {
    if (!Record(ovSTANDARDRASTERFORMATFORIMAGE, out, inOut, number)) {
        return 0;
    }
    OvRaster* scratch = static_cast<OvRaster*>(out);
    scratch->cType = static_cast<OvUInt8>(number & ovRASTERTYPEMASK);
    scratch->cFormat = static_cast<OvUInt8>(ovRASTERFORMAT8888 >> 8);
    scratch->width = 16;
    scratch->height = 16;
    scratch->depth = 32;
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
