#include "graphics/core/testkit/engine_fixture.h"

#include "graphics/core/error.h"
#include "graphics/core/file_system.h"
#include "graphics/core/testkit/null_driver.h"

namespace {

constexpr OvInt32 kOpenFiles = 20;
constexpr OvUInt32 kArenaSize = 0x400000;

// The engine wants non-null open parameters: the platform window, which the null driver ignores.
void* gWindowStandIn = nullptr;

} // namespace

OvBool OvTestEngineUp(OvUInt32 initFlags, OvTestEngineRegisterFunction registerPlugins, const OvDriver* driver,
                      void* openData) {
    OvNullDriverReset();
    OvEngineSetDriver(driver != nullptr ? driver : OvNullDriverGet());
    if (!OvEngineInit(nullptr, initFlags, kArenaSize)) {
        return FALSE;
    }
    if (registerPlugins != nullptr) {
        registerPlugins();
    }
    if (!OvEngineOpen(openData != nullptr ? openData : &gWindowStandIn)) {
        OvEngineTerm();
        return FALSE;
    }
    if (!OvEngineStart()) {
        OvEngineClose();
        OvEngineTerm();
        return FALSE;
    }
    OvFSManagerOpen(0);
    // An empty device: names reach the platform as they are (absolute or relative to the
    // working directory).
    OvFileSystem* fs = OvWinFSCreate(kOpenFiles, "", "unc");
    if (fs == nullptr || !OvFSManagerRegister(fs)) {
        OvFSManagerClose();
        OvTestEngineDown();
        return FALSE;
    }
    OvFSManagerSetDefaultFileSystem(fs);
    // Every test starts without a held error.
    OvError stale;
    OvErrorGet(&stale);
    return TRUE;
}

OvBool OvTestEngineDown() {
    OvFSManagerClose();
    const OvBool stopped = OvEngineGetStatus() == ovENGINESTATUSSTARTED ? OvEngineStop() : TRUE;
    const OvBool closed = OvEngineGetStatus() == ovENGINESTATUSOPENED ? OvEngineClose() : TRUE;
    const OvBool terminated = OvEngineGetStatus() == ovENGINESTATUSINITED ? OvEngineTerm() : TRUE;
    return stopped && closed && terminated ? TRUE : FALSE;
}

OvPipeline* OvTestOneNodePipeline(OvNodeDefinition* definition) {
    OvPipeline* p = OvPipelineLock(OvPipelineCreate());
    if (p == nullptr) {
        return nullptr;
    }
    if (OvPipelineAddFragment(p, nullptr, definition, nullptr) == nullptr || OvPipelineUnlock(p) == nullptr) {
        OvPipelineDestroy(p);
        return nullptr;
    }
    return p;
}
