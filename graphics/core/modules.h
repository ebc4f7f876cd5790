#pragma once
// The table of core modules that OvEngineInit registers, in registration order (so their
// opens run in this order at start and their closes in reverse order at stop).

#include "graphics/core/engine.h"

struct OvCoreModule {
    OvUInt32 pluginID;                 // module id (0x401..0x412)
    OvInt32 dataSize;                  // bytes of module data in the engine instance
    OvEnginePluginOpenFunction open;   // module open
    OvEnginePluginCloseFunction close; // module close
};

inline constexpr OvInt32 ovNUMCOREMODULES = 14;

// The fourteen core modules.
extern const OvCoreModule OvCoreModules[ovNUMCOREMODULES];

// Hands the device's gamma to the image module at engine start.
void OvCoreModulesSetGamma(float gamma);
