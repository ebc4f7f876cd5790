#pragma once
// The error module: one held error record, the first error since the last OvErrorGet.

#include "graphics/core/types.h"

// Error record (8 bytes). No error is {0, ovERRNOERROR}.
struct OvError {
    OvInt32 pluginID;  // id of the plugin that reported the error (0 for common codes)
    OvInt32 errorCode; // bit 31 set: common code shared by all plugins; clear: the plugin's own
};

inline constexpr OvInt32 ovPLUGINIDCORE = 1; // the core's own plugin id

// Common codes (bit 31 set).
inline constexpr OvInt32 ovERRNOERROR = static_cast<OvInt32>(0x80000000u);        // no error held
inline constexpr OvInt32 ovERRBADENGINESTATE = static_cast<OvInt32>(0x80000001u); // engine in the wrong state
inline constexpr OvInt32 ovERRFILEOPEN = static_cast<OvInt32>(0x80000002u);       // file could not be opened
inline constexpr OvInt32 ovERRINVALIDVALUE = static_cast<OvInt32>(0x80000003u);   // invalid argument value
inline constexpr OvInt32 ovERRBADVERSION = static_cast<OvInt32>(0x80000004u);     // chunk version out of range
inline constexpr OvInt32 ovERRBADDEPTH = static_cast<OvInt32>(0x80000008u);       // pixel depth not supported
inline constexpr OvInt32 ovERRBADFORMAT = static_cast<OvInt32>(0x80000009u);      // depth pair or format not supported
inline constexpr OvInt32 ovERRSIZEMISMATCH = static_cast<OvInt32>(0x8000000Au);   // images of different sizes
inline constexpr OvInt32 ovERRNOMEMORY = static_cast<OvInt32>(0x80000013u);       // memory allocation failed
inline constexpr OvInt32 ovERRNULLARGUMENT = static_cast<OvInt32>(0x80000016u);   // null argument
inline constexpr OvInt32 ovERRPLUGINREFUSED = static_cast<OvInt32>(0x80000017u);  // plugin registration refused
inline constexpr OvInt32 ovERRREAD = static_cast<OvInt32>(0x8000001Au);           // stream read failed
inline constexpr OvInt32 ovERRWRITE = static_cast<OvInt32>(0x8000001Cu);          // stream write failed
inline constexpr OvInt32 ovERRNAMETOOLONG = static_cast<OvInt32>(0x8000001Eu);    // name cut to its field

// The core's own codes (plugin id 1).
inline constexpr OvInt32 ovERRENDOFSTREAM = 5;       // end of stream data
inline constexpr OvInt32 ovERRARENAFULL = 12;        // resource arena full
inline constexpr OvInt32 ovERRBADACCESS = 13;        // bad stream access mode
inline constexpr OvInt32 ovERRBADSTREAMTYPE = 14;    // bad stream type
inline constexpr OvInt32 ovERRTEXTUREREAD = 22;      // texture could not be read
inline constexpr OvInt32 ovERRDEVICEREQUEST = 24;    // device request not supported
inline constexpr OvInt32 ovERRZEROLENGTHVECTOR = 25; // vector of zero length normalised

// Error-code constructors: the code is stored as given; the detail (a message text or a
// byte count) documents the report at the call site and is not kept.
inline constexpr OvInt32 OvErrorCode(OvInt32 code) { return code; }
inline constexpr OvInt32 OvErrorCode(OvInt32 code, const char* /*message*/) { return code; }
inline constexpr OvInt32 OvErrorCode(OvInt32 code, std::size_t /*byteCount*/) { return code; }

// Records e unless an error is already held; a negative code is stored with plugin id 0.
// Returns e.
OvError* OvErrorSet(OvError* e);

// Copies the held record to out and clears it. Returns out.
OvError* OvErrorGet(OvError* out);

// Records {plugin id, code}; shorthand for OvErrorSet.
void OvErrorReport(OvInt32 pluginID, OvInt32 code);

// Engine module callbacks (module 0x40F).
void* OvErrorOpen(void* instance, OvInt32 offset, OvInt32 size);
void* OvErrorClose(void* instance, OvInt32 offset, OvInt32 size);

// Size of the module's data in the engine instance.
inline constexpr OvInt32 ovERRORMODULEDATASIZE = sizeof(OvError);
