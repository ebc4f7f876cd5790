#pragma once
// A test driver whose rasters are blocks of plain memory: the null driver (null_driver.h),
// which answers the device requests and logs them, extended with the standard functions that
// rasters, textures and cameras call: raster create, destroy, lock (a pixel buffer of the
// level's size and pitch), unlock (which has the texture module remake the levels of a raster
// with automatic levels when level 0 was written), palette lock and unlock, level count, format
// query (sizes fitted to powers of two, a format that suits the image), image from raster and
// raster from image (32-bit pixels as 0xAARRGGBB, 16-bit as 1555, 565 or 4444, palette rasters
// as indices), texture set raster, show, camera begin, end and clear. Every standard-function call is recorded so that tests can check what the
// core forwarded.

#include "graphics/core/engine.h"

struct OvTestDriverCall {
    OvInt32 count;      // calls since the last reset
    void* lastOut;      // out argument of the last call
    void* lastInOut;    // in argument of the last call
    OvInt32 lastNumber; // number argument of the last call
};

struct OvTestDriverState {
    OvTestDriverCall calls[ovNUMSTANDARDFUNCTIONS]; // per standard-function index
    OvBool refuse[ovNUMSTANDARDFUNCTIONS];          // nonzero: that standard function answers 0
    OvInt32 liveRasters;                            // rasters with storage not yet destroyed
    OvInt32 mipmapRegenerations;                    // level-0 unlocks that had the levels remade
};

// The driver to install with OvEngineSetDriver.
const OvDriver* OvTestMemoryRasterDriver();
// Its state; cleared by OvTestMemoryRasterDriverReset (which resets the null driver too).
OvTestDriverState* OvTestMemoryRasterDriverState();
void OvTestMemoryRasterDriverReset();
