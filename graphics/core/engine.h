#pragma once
// The engine instance, the engine's life cycle, its module registry and the device requests
// through which the core talks to its rendering driver.

#include <cstdarg>
#include <cstddef>

#include "graphics/core/memory.h"
#include "graphics/core/string_functions.h"
#include "graphics/core/types.h"

struct OvPluginRegistry;

// Ids of the core's engine modules.
inline constexpr OvInt32 ovPLUGINIDVECTOR = 0x401;
inline constexpr OvInt32 ovPLUGINIDMATRIX = 0x402;
inline constexpr OvInt32 ovPLUGINIDFRAME = 0x403;
inline constexpr OvInt32 ovPLUGINIDSTREAM = 0x404;
inline constexpr OvInt32 ovPLUGINIDCAMERA = 0x405;
inline constexpr OvInt32 ovPLUGINIDIMAGE = 0x406;
inline constexpr OvInt32 ovPLUGINIDRASTER = 0x407;
inline constexpr OvInt32 ovPLUGINIDTEXTURE = 0x408;
inline constexpr OvInt32 ovPLUGINIDPIPELINE = 0x409;
inline constexpr OvInt32 ovPLUGINIDIM3D = 0x40A;
inline constexpr OvInt32 ovPLUGINIDRESOURCES = 0x40B;
inline constexpr OvInt32 ovPLUGINIDCOUNTER = 0x40D;
inline constexpr OvInt32 ovPLUGINIDERRORMODULE = 0x40F;
inline constexpr OvInt32 ovPLUGINIDSPARE = 0x412;

// Library version; chunk writers stamp it with build ovLIBRARYBUILD.
inline constexpr OvUInt32 ovLIBRARYVERSION = 0x37002;
inline constexpr OvUInt32 ovLIBRARYBUILD = 22;

// Engine states.
enum OvEngineStatus : OvInt32 {
    ovENGINESTATUSIDLE = 0,    // not initialised
    ovENGINESTATUSINITED = 1,  // initialised
    ovENGINESTATUSOPENED = 2,  // opened: instance allocated, device open
    ovENGINESTATUSSTARTED = 3, // started: device started, modules open
};

// Requests sent to the driver's system function.
enum OvDeviceRequest : OvInt32 {
    ovDEVICEREQUESTOPEN = 0,
    ovDEVICEREQUESTCLOSE = 1,
    ovDEVICEREQUESTSTART = 2,
    ovDEVICEREQUESTSTOP = 3,
    ovDEVICEREQUESTGETDEVICE = 4,
    ovDEVICEREQUESTGETNUMVIDEOMODES = 5,
    ovDEVICEREQUESTGETVIDEOMODEINFO = 6,
    ovDEVICEREQUESTSETVIDEOMODE = 7,
    ovDEVICEREQUESTFOCUS = 8,
    ovDEVICEREQUESTGETCURRENTVIDEOMODE = 10,
    ovDEVICEREQUESTGETSTANDARDFUNCTIONS = 11,
    ovDEVICEREQUESTGETTEXTUREMEMORY = 12,
    ovDEVICEREQUESTGETNUMSUBSYSTEMS = 13,
    ovDEVICEREQUESTGETSUBSYSTEMINFO = 14,
    ovDEVICEREQUESTGETCURRENTSUBSYSTEM = 15,
    ovDEVICEREQUESTSETSUBSYSTEM = 16,
    ovDEVICEREQUESTFINALIZESTART = 17,
    ovDEVICEREQUESTINITIATESTOP = 18,
    ovDEVICEREQUESTGETMAXTEXTURESIZE = 19,
    ovDEVICEREQUEST22 = 22,
};

// The driver's system function: (request, out, in pointer, in number) -> TRUE/FALSE.
using OvSystemFunction = OvBool (*)(OvInt32 request, void* out, void* inOut, OvInt32 number);
// A driver standard function: (out, in, number) -> TRUE/FALSE.
using OvStandardFunction = OvBool (*)(void* out, void* inOut, OvInt32 number);

inline constexpr OvInt32 ovNUMSTANDARDFUNCTIONS = 29;
// The standard-function table the driver hands over, indexed by the standard function's number.
using OvStandardFunctions = OvStandardFunction[ovNUMSTANDARDFUNCTIONS];

// Indices of the standard functions the core calls.
enum OvStandardFunctionIndex : OvInt32 {
    ovSTANDARDCAMERABEGINUPDATE = 1,
    ovSTANDARDCOLORTOPIXEL = 2,
    ovSTANDARDPIXELTOCOLOR = 3,
    ovSTANDARDRASTERCREATE = 4,
    ovSTANDARDRASTERDESTROY = 5,
    ovSTANDARDIMAGEGETFROMRASTER = 6,
    ovSTANDARDRASTERSETFROMIMAGE = 7,
    ovSTANDARDTEXTURESETRASTER = 8,
    ovSTANDARDRASTERFORMATFORIMAGE = 9,
    ovSTANDARDCAMERAENDUPDATE = 10,
    ovSTANDARDSETCONTEXTRASTER = 11,
    ovSTANDARDRASTERSUBRASTER = 12,
    ovSTANDARDRASTERCLEARRECT = 13,
    ovSTANDARDRASTERCLEAR = 14,
    ovSTANDARDRASTERLOCK = 15,
    ovSTANDARDRASTERUNLOCK = 16,
    ovSTANDARDRASTERRENDER = 17,
    ovSTANDARDRASTERRENDERSCALED = 18,
    ovSTANDARDRASTERRENDERFAST = 19,
    ovSTANDARDRASTERSHOWRASTER = 20,
    ovSTANDARDCAMERACLEAR = 21,
    ovSTANDARDRASTERLOCKPALETTE = 23,
    ovSTANDARDRASTERUNLOCKPALETTE = 24,
    ovSTANDARDNATIVETEXTUREGETSIZE = 25,
    ovSTANDARDNATIVETEXTUREREAD = 26,
    ovSTANDARDNATIVETEXTUREWRITE = 27,
    ovSTANDARDRASTERGETNUMLEVELS = 28,
};

// The driver's device record, copied into the engine instance at open (14 entries).
struct OvDevice {
    float gammaCorrection;                                // gamma handed to the image module at start
    OvSystemFunction system;                              // entry of every device request
    float zBufferNear;                                    // z-buffer depth value at the near plane
    float zBufferFar;                                     // z-buffer depth value at the far plane
    OvBool (*setRenderState)(OvInt32 state, void* value); // render-state set
    OvBool (*getRenderState)(OvInt32 state, void* value); // render-state get into value
    OvBool (*im2DRenderLine)(void* vertices, OvInt32 numVertices, OvInt32 vert1, OvInt32 vert2);
    OvBool (*im2DRenderTriangle)(void* vertices, OvInt32 numVertices, OvInt32 vert1, OvInt32 vert2, OvInt32 vert3);
    OvBool (*im2DRenderPrimitive)(OvInt32 primType, void* vertices, OvInt32 numVertices);
    OvBool (*im2DRenderIndexedPrimitive)(OvInt32 primType, void* vertices, OvInt32 numVertices, void* indices,
                                         OvInt32 numIndices);
    void* spare[4]; // further entries, null in every driver
};

// Video-mode info record (request 6).
struct OvVideoMode {
    OvInt32 width;   // pixels
    OvInt32 height;  // pixels
    OvInt32 depth;   // bits per pixel
    OvUInt32 flags;  // bit 0: full screen
    OvInt32 refRate; // refresh rate in hertz
    OvInt32 format;  // raster format of the mode
};

// Sub-system info record (request 14).
struct OvSubSystemInfo {
    char name[80]; // sub-system name, NUL-terminated
};

// The engine's global state: this fixed part, followed by every module's data at the offset the
// engine registry gave it.
struct OvEngineInstance {
    void* curCamera;               // camera between begin and end update, else null
    void* curWorld;                // world of the camera being updated (set by the world plugin)
    OvUInt16 renderFrame;          // render frame counter, advanced by each camera update
    OvUInt16 lightFrame;           // light frame stamp, advanced by the lighting callbacks
    float screenZ;                 // z value of 2D immediate-mode vertices
    OvDevice dOpenDevice;          // copy of the driver's device record
    OvStandardFunctions stdFunc;   // driver's standard functions
    OvLLLink dirtyFrameList;       // frames whose world matrices need updating
    OvStringFunctions stringFuncs; // string and formatting functions
    OvMemoryFunctions memoryFuncs; // memory functions
    void* (*memoryAllocFreeListEntry)(OvFreeList* list, OvUInt32 hint);    // free-list allocate
    OvFreeList* (*memoryFreeFreeListEntry)(OvFreeList* list, void* entry); // free-list free
    void* spare;                                                           // unused
    OvInt32 engineStatus;                                                  // OvEngineStatus
    OvUInt32 resArenaInitSize;                                             // resource arena size in bytes
};

// The engine pointer: the static fixed part before open and after close, the allocated
// instance while open.
extern OvEngineInstance* OvEngineInstancePtr;

// Memory access through the engine instance.
inline void* OvMalloc(std::size_t size, OvUInt32 hint) { return OvEngineInstancePtr->memoryFuncs.allocate(size, hint); }
inline void OvFree(void* block) { OvEngineInstancePtr->memoryFuncs.free(block); }
inline void* OvRealloc(void* block, std::size_t size, OvUInt32 hint) {
    return OvEngineInstancePtr->memoryFuncs.reallocate(block, size, hint);
}
inline void* OvCalloc(std::size_t count, std::size_t size, OvUInt32 hint) {
    return OvEngineInstancePtr->memoryFuncs.callocate(count, size, hint);
}
inline void* OvFreeListEntryAlloc(OvFreeList* list, OvUInt32 hint) {
    return OvEngineInstancePtr->memoryAllocFreeListEntry(list, hint);
}
inline OvFreeList* OvFreeListEntryFree(OvFreeList* list, void* entry) {
    return OvEngineInstancePtr->memoryFreeFreeListEntry(list, entry);
}
inline OvBool OvStandardCall(OvInt32 index, void* out, void* inOut, OvInt32 number) {
    return OvEngineInstancePtr->stdFunc[index](out, inOut, number);
}

struct OvNodeDefinition;

// The rendering driver as the core sees it. The real driver and the test drivers each provide
// one; OvEngineInit attaches the one installed with OvEngineSetDriver. The Direct3D 9 driver's
// is {OvD3D9DriverPluginAttach, OvD3D9DeviceGet, ...}.
//
// Everything else the core needs of a driver goes through the device record and the standard
// functions, except what only exists as a driver's own object: the render node with which
// immediate-mode 3D builds its default render pipelines (null: the driver has none, and those
// pipelines stay empty).
struct OvDriver {
    OvBool (*pluginAttach)();                        // registers the driver's extensions; TRUE on success
    OvDevice* (*deviceGet)();                        // the driver's device record
    OvNodeDefinition* (*im3DRenderNode)() = nullptr; // default immediate-mode 3D render node
    // The driver's resources of immediate-mode 3D, made when the module opens and released when
    // it closes (null: none).
    OvBool (*im3DCreateResources)() = nullptr;
    void (*im3DReleaseResources)() = nullptr;
};

// Installs the driver used by the next OvEngineInit (null: none; init then fails).
// Allowed only while the engine is not initialised; returns TRUE when installed.
OvBool OvEngineSetDriver(const OvDriver* driver);
const OvDriver* OvEngineGetDriver();

// Engine plugin open and close callbacks: (instance, offset, size) -> instance or null.
using OvEnginePluginOpenFunction = void* (*)(void* instance, OvInt32 offset, OvInt32 size);
using OvEnginePluginCloseFunction = void* (*)(void* instance, OvInt32 offset, OvInt32 size);

// Life cycle. Flags bit 0 (ovENGINEINITFLAG_NOFREELISTS): every free-list allocation goes to
// the memory functions.
inline constexpr OvUInt32 ovENGINEINITFLAG_NOFREELISTS = 0x1;
OvBool OvEngineInit(const OvMemoryFunctions* memoryFuncs, OvUInt32 flags, OvUInt32 resArenaSize);
OvBool OvEngineOpen(void* openParams);
OvBool OvEngineStart();
// Closes every module: destroy first what you hold (clumps, lights and atomics left are destroyed, the rest freed).
OvBool OvEngineStop();
OvBool OvEngineClose();
// Every free list goes: nothing made by the engine may be used or destroyed afterwards.
OvBool OvEngineTerm();

// Adds an engine plugin (module); returns its data offset in the instance, or -1.
OvInt32 OvEngineRegisterPlugin(OvInt32 size, OvUInt32 pluginID, OvEnginePluginOpenFunction open,
                               OvEnginePluginCloseFunction close);
OvInt32 OvEngineGetPluginOffset(OvUInt32 pluginID);
OvInt32 OvEngineGetOpenCount();
OvUInt32 OvEngineGetVersion();
OvInt32 OvEngineGetStatus();
// The registry of engine plugins (its objects are engine instances).
OvPluginRegistry* OvEngineGetRegistry();

// Sub-systems and video modes.
OvInt32 OvEngineGetNumSubSystems();
OvSubSystemInfo* OvEngineGetSubSystemInfo(OvSubSystemInfo* info, OvInt32 index);
OvInt32 OvEngineGetCurrentSubSystem();
OvBool OvEngineSetSubSystem(OvInt32 index);
OvInt32 OvEngineGetNumVideoModes();
OvVideoMode* OvEngineGetVideoModeInfo(OvVideoMode* info, OvInt32 index);
OvInt32 OvEngineGetCurrentVideoMode();
OvBool OvEngineSetVideoMode(OvInt32 index);

// Sends a request to the device's system function; answers requests 13-18 itself when the
// driver does not, and reports error 24 for any other refused request.
OvBool OvDeviceSystemRequest(OvDevice* device, OvInt32 request, void* out, void* inOut, OvInt32 number);
