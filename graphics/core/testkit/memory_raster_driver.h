#pragma once
// A test driver whose rasters are blocks of plain memory: the null driver (null_driver.h),
// which answers the device requests and logs them, extended with the standard functions that
// rasters and cameras call: raster create, destroy, lock (a pixel buffer of the level's size
// and pitch), unlock, palette lock and unlock, level count, format query, show, camera begin,
// end and clear. Every standard-function call is recorded so that tests can check what the
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
};

// The driver to install with OvEngineSetDriver.
const OvDriver* OvTestMemoryRasterDriver();
// Its state; cleared by OvTestMemoryRasterDriverReset (which resets the null driver too).
OvTestDriverState* OvTestMemoryRasterDriverState();
void OvTestMemoryRasterDriverReset();
