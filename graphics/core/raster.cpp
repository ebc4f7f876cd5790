#include "graphics/core/raster.h"

#include "graphics/core/engine.h"
#include "graphics/core/image.h"
#include "graphics/core/resources.h"

namespace {

OvInt32 gRasterModuleOffset = -1; // offset of OvRasterModule in the engine instance
OvPluginRegistry gRasterRegistry = OvPluginRegistryInitialValue(sizeof(OvRaster));

constexpr OvInt32 kRastersPerBlock = 128;
constexpr OvUInt8 kMipmapFormatBit = ovRASTERFORMATMIPMAP >> 8;

inline OvRasterModule* Module() {
    return reinterpret_cast<OvRasterModule*>(reinterpret_cast<char*>(OvEngineInstancePtr) + gRasterModuleOffset);
}

void ClearDummyRaster(OvRaster* raster) {
    *raster = {};
    raster->parent = raster;
    raster->cFlags = ovRASTERDONTALLOCATE;
}

} // namespace

void* OvRasterOpen(void* instance, OvInt32 offset, OvInt32 /*size*/) {
    gRasterModuleOffset = offset;
    OvRasterModule* module = reinterpret_cast<OvRasterModule*>(static_cast<char*>(instance) + offset);
    ClearDummyRaster(&module->dummyRaster);
    module->contextTop = 0;
    module->contextStack[0] = &module->dummyRaster;
    module->freeList = OvFreeListCreateWithSpace(gRasterRegistry.sizeOfStruct, kRastersPerBlock, 0, 1,
                                                 &module->freeListHeader, ovMEMHINTDUR_GLOBAL | ovPLUGINIDRASTER);
    return module->freeList != nullptr ? instance : nullptr;
}

void* OvRasterClose(void* instance, OvInt32 offset, OvInt32 /*size*/) {
    OvRasterModule* module = reinterpret_cast<OvRasterModule*>(static_cast<char*>(instance) + offset);
    if (module->freeList != nullptr) {
        OvFreeListDestroy(module->freeList);
        module->freeList = nullptr;
    }
    return instance;
}

OvPluginRegistry* OvRasterGetRegistry() { return &gRasterRegistry; }

OvInt32 OvRasterRegisterPlugin(OvInt32 size, OvUInt32 pluginID, OvPluginObjectConstructor constructCB,
                               OvPluginObjectDestructor destructCB, OvPluginObjectCopy copyCB) {
    return OvPluginRegistryAddPlugin(&gRasterRegistry, size, pluginID, constructCB, destructCB, copyCB);
}

OvRaster* OvRasterCreate(OvInt32 width, OvInt32 height, OvInt32 depth, OvInt32 flags) {
    OvRasterModule* module = Module();
    OvRaster* raster =
        static_cast<OvRaster*>(OvFreeListEntryAlloc(module->freeList, ovMEMHINTDUR_OBJECT | ovPLUGINIDRASTER));
    if (raster == nullptr) {
        return nullptr;
    }
    *raster = {};
    raster->parent = raster;
    raster->width = width;
    raster->height = height;
    raster->depth = depth;
    if (OvStandardCall(ovSTANDARDRASTERCREATE, nullptr, raster, flags) <= 0) {
        OvFreeListEntryFree(module->freeList, raster);
        return nullptr;
    }
    if (OvPluginRegistryInitObject(&gRasterRegistry, raster) == nullptr) {
        // An extension refused the raster: the driver's side goes too.
        OvStandardCall(ovSTANDARDRASTERDESTROY, nullptr, raster, 0);
        OvFreeListEntryFree(module->freeList, raster);
        return nullptr;
    }
    return raster;
}

OvBool OvRasterDestroy(OvRaster* raster) {
    OvPluginRegistryDeInitObject(&gRasterRegistry, raster);
    OvStandardCall(ovSTANDARDRASTERDESTROY, nullptr, raster, 0);
    OvFreeListEntryFree(Module()->freeList, raster);
    return 1;
}

void* OvRasterQueryFormat(void* in, OvInt32 number, OvInt32* width, OvInt32* height, OvInt32* depth, OvInt32* format) {
    OvRaster* scratch = &Module()->dummyRaster;
    if (OvStandardCall(ovSTANDARDRASTERFORMATFORIMAGE, scratch, in, number) <= 0) {
        return nullptr;
    }
    *format = (static_cast<OvInt32>(scratch->cFormat) << 8) | scratch->cType;
    *width = scratch->width;
    *height = scratch->height;
    *depth = scratch->depth;
    return in;
}

OvUInt8* OvRasterLock(OvRaster* raster, OvUInt8 level, OvInt32 lockMode) {
    OvUInt8* pixels = nullptr;
    if (OvStandardCall(ovSTANDARDRASTERLOCK, &pixels, raster, (static_cast<OvInt32>(level) << 8) + lockMode) <= 0) {
        return nullptr;
    }
    return pixels;
}

OvRaster* OvRasterUnlock(OvRaster* raster) {
    return OvStandardCall(ovSTANDARDRASTERUNLOCK, nullptr, raster, 0) > 0 ? raster : nullptr;
}

OvUInt8* OvRasterLockPalette(OvRaster* raster, OvInt32 lockMode) {
    OvUInt8* palette = nullptr;
    if (OvStandardCall(ovSTANDARDRASTERLOCKPALETTE, &palette, raster, lockMode) <= 0) {
        return nullptr;
    }
    return palette;
}

OvRaster* OvRasterUnlockPalette(OvRaster* raster) {
    const OvBool ok = OvStandardCall(ovSTANDARDRASTERUNLOCKPALETTE, nullptr, raster, 0);
    raster->privateFlags &= static_cast<OvUInt8>(~(ovRASTERPALETTELOCKED | ovRASTERPALETTELOCKEDWRITE));
    return ok > 0 ? raster : nullptr;
}

OvRaster* OvRasterShowRaster(OvRaster* raster, void* window, OvUInt32 flags) {
    OvResourcesEndFrame();
    return OvStandardCall(ovSTANDARDRASTERSHOWRASTER, raster, window, static_cast<OvInt32>(flags)) > 0 ? raster
                                                                                                       : nullptr;
}

OvInt32 OvRasterGetNumLevels(OvRaster* raster) {
    if ((raster->cFormat & kMipmapFormatBit) == 0) {
        return 1;
    }
    OvInt32 count = 0;
    if (OvStandardCall(ovSTANDARDRASTERGETNUMLEVELS, &count, raster, 0) <= 0) {
        return -1;
    }
    return count;
}

OvRaster* OvRasterGetCurrentContext() {
    OvRasterModule* module = Module();
    return module->contextStack[module->contextTop];
}

OvImage* OvImageSetFromRaster(OvImage* image, OvRaster* raster) {
    if (OvStandardCall(ovSTANDARDIMAGEGETFROMRASTER, image, raster, 0) <= 0) {
        return nullptr;
    }
    if (raster->privateFlags & ovRASTERGAMMACORRECTED) {
        image->flags |= ovIMAGEGAMMACORRECTED;
    }
    return image;
}

OvRaster* OvRasterSetFromImage(OvRaster* raster, OvImage* image) {
    if (OvStandardCall(ovSTANDARDRASTERSETFROMIMAGE, raster, image, 0) <= 0) {
        return nullptr;
    }
    if (image->flags & ovIMAGEGAMMACORRECTED) {
        raster->privateFlags |= ovRASTERGAMMACORRECTED;
    }
    return raster;
}
