#include "graphics/core/engine.h"

#include <cstring>

#include "graphics/core/error.h"
#include "graphics/core/modules.h"
#include "graphics/core/plugin.h"

namespace {

// Every standard function slot starts with this one until the driver fills the table.
constexpr OvBool DefaultStandardFunction(void*, void*, OvInt32) { return FALSE; }

constexpr OvEngineInstance MakeStaticInstance() {
    OvEngineInstance s{};
    s.memoryFuncs = {OvMemoryDefaultAlloc, OvMemoryDefaultFree, OvMemoryDefaultRealloc, OvMemoryDefaultCalloc};
    s.memoryAllocFreeListEntry = OvFreeListAlloc;
    s.memoryFreeFreeListEntry = OvFreeListFree;
    for (OvStandardFunction& f : s.stdFunc) {
        f = DefaultStandardFunction;
    }
    s.engineStatus = ovENGINESTATUSIDLE;
    return s;
}

constinit OvEngineInstance gStaticInstance = MakeStaticInstance(); // the fixed part while the engine is not open
OvPluginRegistry gEngineRegistry = OvPluginRegistryInitialValue(sizeof(OvEngineInstance));
OvInt32 gEngineOpenCount = 0;
const OvDriver* gDriver = nullptr;

constexpr OvUInt32 kEngineHint = ovMEMHINTDUR_GLOBAL;

OvDevice* OpenDevice() { return &OvEngineInstancePtr->dOpenDevice; }

OvBool Request(OvInt32 request, void* out, void* inOut, OvInt32 number) {
    return OvDeviceSystemRequest(OpenDevice(), request, out, inOut, number);
}

// Points the engine back at the static fixed part, carrying the instance's fixed part over.
void ReturnToStaticPart(OvEngineInstance* instance) {
    std::memcpy(&gStaticInstance, instance, sizeof(OvEngineInstance));
    OvEngineInstancePtr = &gStaticInstance;
}

} // namespace

OvEngineInstance* OvEngineInstancePtr = &gStaticInstance;

OvBool OvEngineSetDriver(const OvDriver* driver) {
    if (OvEngineInstancePtr->engineStatus != ovENGINESTATUSIDLE) {
        return FALSE;
    }
    gDriver = driver;
    return TRUE;
}

const OvDriver* OvEngineGetDriver() { return gDriver; }

OvBool OvEngineInit(const OvMemoryFunctions* memoryFuncs, OvUInt32 flags, OvUInt32 resArenaSize) {
    // Only from the idle state: anything else would drop a live instance or mix the two
    // kinds of free-list functions.
    if (OvEngineInstancePtr->engineStatus != ovENGINESTATUSIDLE) {
        return FALSE;
    }
    OvEngineInstancePtr = &gStaticInstance;
    const bool noFreeLists = (flags & ovENGINEINITFLAG_NOFREELISTS) != 0;
    gStaticInstance.memoryAllocFreeListEntry = noFreeLists ? OvFreeListBypassAlloc : OvFreeListAlloc;
    gStaticInstance.memoryFreeFreeListEntry = noFreeLists ? OvFreeListBypassFree : OvFreeListFree;
    OvFreeListSetEnabled(noFreeLists ? FALSE : TRUE);
    gStaticInstance.resArenaInitSize = resArenaSize;
    for (OvStandardFunction& f : gStaticInstance.stdFunc) {
        f = DefaultStandardFunction;
    }
    OvStringModuleSetFunctions();

    if (!OvMemoryOpen(memoryFuncs)) {
        return FALSE;
    }
    if (!OvPluginRegistryOpen()) {
        OvMemoryClose();
        return FALSE;
    }
    OvInt32 offsets = 0;
    for (const OvCoreModule& m : OvCoreModules) {
        offsets |= OvEngineRegisterPlugin(m.dataSize, m.pluginID, m.open, m.close);
    }
    const bool attached = offsets >= 0 && gDriver != nullptr && gDriver->pluginAttach != nullptr &&
                          gDriver->deviceGet != nullptr && gDriver->pluginAttach();
    if (!attached) {
        OvPluginRegistryClose();
        OvMemoryClose();
        return FALSE;
    }
    gStaticInstance.engineStatus = ovENGINESTATUSINITED;
    return TRUE;
}

OvBool OvEngineOpen(void* openParams) {
    if (OvEngineInstancePtr == nullptr) {
        OvEngineInstancePtr = &gStaticInstance;
    }
    if (OvEngineInstancePtr->engineStatus != ovENGINESTATUSINITED) {
        OvErrorReport(ovPLUGINIDCORE, OvErrorCode(ovERRBADENGINESTATE));
        return FALSE;
    }
    if (openParams == nullptr) {
        OvErrorReport(ovPLUGINIDCORE, OvErrorCode(ovERRNULLARGUMENT));
        return FALSE;
    }
    OvDevice* driverDevice = gDriver->deviceGet();
    if (driverDevice == nullptr) {
        return FALSE;
    }
    const auto size = static_cast<std::size_t>(gEngineRegistry.sizeOfStruct);
    auto* instance = static_cast<OvEngineInstance*>(OvMalloc(size, kEngineHint));
    if (instance == nullptr) {
        OvErrorReport(ovPLUGINIDCORE, OvErrorCode(ovERRNOMEMORY, size));
        OvEngineInstancePtr = &gStaticInstance;
        return FALSE;
    }
    std::memset(static_cast<void*>(instance), 0, size);
    std::memcpy(static_cast<void*>(instance), &gStaticInstance, sizeof(OvEngineInstance));
    OvEngineInstancePtr = instance;

    if (!OvDeviceSystemRequest(driverDevice, ovDEVICEREQUESTGETDEVICE, &instance->dOpenDevice, &instance->memoryFuncs,
                               0) ||
        !Request(ovDEVICEREQUESTOPEN, nullptr, openParams, 0)) {
        ReturnToStaticPart(instance);
        OvFree(instance);
        return FALSE;
    }
    Request(ovDEVICEREQUESTGETSTANDARDFUNCTIONS, instance->stdFunc, nullptr, ovNUMSTANDARDFUNCTIONS);
    gEngineOpenCount++;
    instance->engineStatus = ovENGINESTATUSOPENED;
    return TRUE;
}

OvBool OvEngineStart() {
    if (OvEngineInstancePtr->engineStatus != ovENGINESTATUSOPENED) {
        return FALSE;
    }
    if (!Request(ovDEVICEREQUESTSTART, nullptr, nullptr, 0)) {
        return FALSE;
    }
    if (OvPluginRegistryInitObject(&gEngineRegistry, OvEngineInstancePtr) == nullptr) {
        // The modules opened before the failing one have been closed again.
        Request(ovDEVICEREQUESTSTOP, nullptr, nullptr, 0);
        return FALSE;
    }
    OvCoreModulesSetGamma(OvEngineInstancePtr->dOpenDevice.gammaCorrection);
    Request(ovDEVICEREQUESTFINALIZESTART, nullptr, nullptr, 0);
    OvEngineInstancePtr->engineStatus = ovENGINESTATUSSTARTED;
    return TRUE;
}

OvBool OvEngineStop() {
    if (OvEngineInstancePtr->engineStatus != ovENGINESTATUSSTARTED) {
        return FALSE;
    }
    Request(ovDEVICEREQUESTINITIATESTOP, nullptr, nullptr, 0);
    OvPluginRegistryDeInitObject(&gEngineRegistry, OvEngineInstancePtr);
    // The modules are closed whatever the device answers: the engine is back to opened, so
    // that a second stop cannot close them twice.
    OvEngineInstancePtr->engineStatus = ovENGINESTATUSOPENED;
    return Request(ovDEVICEREQUESTSTOP, nullptr, nullptr, 0) ? TRUE : FALSE;
}

OvBool OvEngineClose() {
    if (OvEngineInstancePtr->engineStatus != ovENGINESTATUSOPENED) {
        return FALSE;
    }
    if (!Request(ovDEVICEREQUESTCLOSE, nullptr, nullptr, 0)) {
        return FALSE;
    }
    OvEngineInstance* instance = OvEngineInstancePtr;
    ReturnToStaticPart(instance);
    OvFree(instance);
    gEngineOpenCount--;
    gStaticInstance.engineStatus = ovENGINESTATUSINITED;
    return TRUE;
}

OvBool OvEngineTerm() {
    if (gEngineOpenCount != 0) {
        return FALSE;
    }
    OvPluginRegistryClose();
    OvMemoryClose();
    gStaticInstance.engineStatus = ovENGINESTATUSIDLE;
    return TRUE;
}

OvInt32 OvEngineRegisterPlugin(OvInt32 size, OvUInt32 pluginID, OvEnginePluginOpenFunction open,
                               OvEnginePluginCloseFunction close) {
    return OvPluginRegistryAddPlugin(&gEngineRegistry, size, pluginID, open, close, nullptr);
}

OvInt32 OvEngineGetPluginOffset(OvUInt32 pluginID) {
    return OvPluginRegistryGetPluginOffset(&gEngineRegistry, pluginID);
}

OvInt32 OvEngineGetOpenCount() { return gEngineOpenCount; }
OvUInt32 OvEngineGetVersion() { return ovLIBRARYVERSION; }
OvInt32 OvEngineGetStatus() { return OvEngineInstancePtr->engineStatus; }
OvPluginRegistry* OvEngineGetRegistry() { return &gEngineRegistry; }

OvBool OvDeviceSystemRequest(OvDevice* device, OvInt32 request, void* out, void* inOut, OvInt32 number) {
    if (device->system != nullptr) {
        const OvBool result = device->system(request, out, inOut, number);
        if (result != FALSE) {
            return result;
        }
    }
    switch (request) {
    case ovDEVICEREQUESTGETNUMSUBSYSTEMS:
        *static_cast<OvInt32*>(out) = 1;
        return TRUE;
    case ovDEVICEREQUESTGETSUBSYSTEMINFO:
        if (number == 0) {
            OvEngineInstancePtr->stringFuncs.vecStrcpy(static_cast<OvSubSystemInfo*>(out)->name,
                                                       "Only rendering sub system");
            return TRUE;
        }
        break;
    case ovDEVICEREQUESTGETCURRENTSUBSYSTEM:
        *static_cast<OvInt32*>(out) = 0;
        return TRUE;
    case ovDEVICEREQUESTSETSUBSYSTEM:
        if (number == 0) {
            return TRUE;
        }
        break;
    case ovDEVICEREQUESTFINALIZESTART:
    case ovDEVICEREQUESTINITIATESTOP:
        return TRUE;
    default:
        break;
    }
    OvErrorReport(ovPLUGINIDCORE, OvErrorCode(ovERRDEVICEREQUEST));
    return FALSE;
}

OvInt32 OvEngineGetNumSubSystems() {
    OvInt32 count = 1;
    Request(ovDEVICEREQUESTGETNUMSUBSYSTEMS, &count, nullptr, 0);
    return count;
}

OvSubSystemInfo* OvEngineGetSubSystemInfo(OvSubSystemInfo* info, OvInt32 index) {
    return Request(ovDEVICEREQUESTGETSUBSYSTEMINFO, info, nullptr, index) ? info : nullptr;
}

OvInt32 OvEngineGetCurrentSubSystem() {
    OvInt32 index = -1;
    return Request(ovDEVICEREQUESTGETCURRENTSUBSYSTEM, &index, nullptr, 0) ? index : -1;
}

OvBool OvEngineSetSubSystem(OvInt32 index) {
    return Request(ovDEVICEREQUESTSETSUBSYSTEM, nullptr, nullptr, index) > 0 ? TRUE : FALSE;
}

OvInt32 OvEngineGetNumVideoModes() {
    OvInt32 count = -1;
    return Request(ovDEVICEREQUESTGETNUMVIDEOMODES, &count, nullptr, 0) ? count : -1;
}

OvVideoMode* OvEngineGetVideoModeInfo(OvVideoMode* info, OvInt32 index) {
    return Request(ovDEVICEREQUESTGETVIDEOMODEINFO, info, nullptr, index) ? info : nullptr;
}

OvInt32 OvEngineGetCurrentVideoMode() {
    OvInt32 index = -1;
    return Request(ovDEVICEREQUESTGETCURRENTVIDEOMODE, &index, nullptr, 0) ? index : -1;
}

OvBool OvEngineSetVideoMode(OvInt32 index) {
    return Request(ovDEVICEREQUESTSETVIDEOMODE, nullptr, nullptr, index) > 0 ? TRUE : FALSE;
}
