#include "graphics/core/error.h"

#include <cstring>

#include "graphics/core/engine.h"

namespace {

OvInt32 gErrorModuleOffset = -1; // offset of the held record in the engine instance
OvInt32 gErrorNumInstances = 0;  // times the module is open

// Errors reported while the module is not open (before engine start, after stop) are held
// here, so nothing is written outside the engine instance. Opening the module starts with no
// error (a stale report would hide the first real one); closing it carries an unfetched error
// out, so that a report made while the engine stops is not lost.
OvError gOutsideError = {0, ovERRNOERROR};

OvError* HeldError() {
    if (gErrorNumInstances > 0 && gErrorModuleOffset >= 0) {
        return reinterpret_cast<OvError*>(reinterpret_cast<char*>(OvEngineInstancePtr) + gErrorModuleOffset);
    }
    return &gOutsideError;
}

bool IsNoError(const OvError* e) { return e->pluginID == 0 && e->errorCode == ovERRNOERROR; }

} // namespace

OvError* OvErrorSet(OvError* e) {
    OvError* held = HeldError();
    if (IsNoError(held)) {
        held->errorCode = e->errorCode;
        held->pluginID = e->errorCode >= 0 ? e->pluginID : 0;
    }
    return e;
}

OvError* OvErrorGet(OvError* out) {
    OvError* held = HeldError();
    *out = *held;
    held->pluginID = 0;
    held->errorCode = ovERRNOERROR;
    return out;
}

void OvErrorReport(OvInt32 pluginID, OvInt32 code) {
    OvError e = {pluginID, code};
    OvErrorSet(&e);
}

void* OvErrorOpen(void* instance, OvInt32 offset, OvInt32 /*size*/) {
    gErrorModuleOffset = offset;
    OvError* record = reinterpret_cast<OvError*>(static_cast<char*>(instance) + offset);
    *record = {0, ovERRNOERROR};
    gOutsideError = {0, ovERRNOERROR};
    gErrorNumInstances++;
    return instance;
}

void* OvErrorClose(void* instance, OvInt32 offset, OvInt32 /*size*/) {
    OvError* record = reinterpret_cast<OvError*>(static_cast<char*>(instance) + offset);
    if (IsNoError(&gOutsideError)) {
        gOutsideError = *record;
    }
    gErrorNumInstances--;
    return instance;
}
