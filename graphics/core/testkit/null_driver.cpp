#include "graphics/core/testkit/null_driver.h"

#include <cstring>

namespace {

OvNullDriverControl gControl = {};

OvBool Refuse(void*, void*, OvInt32) { return FALSE; }
OvBool Succeed(void*, void*, OvInt32) { return TRUE; }

OvBool NullSystem(OvInt32 request, void* out, void* inOut, OvInt32 number);

OvDevice gDevice = {
    1.0f,
    NullSystem,
    0.0f,
    1.0f,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    {nullptr, nullptr, nullptr, nullptr},
};

OvBool NullSystem(OvInt32 request, void* out, void* /*inOut*/, OvInt32 number) {
    if (gControl.numRequests < ovNULLDRIVERLOGSIZE) {
        gControl.requests[gControl.numRequests] = request;
    }
    gControl.numRequests++;
    if (request >= 0 && request < 32 && (gControl.refuseMask & (1u << request))) {
        return FALSE;
    }
    switch (request) {
    case ovDEVICEREQUESTOPEN:
    case ovDEVICEREQUESTCLOSE:
        return TRUE;
    case ovDEVICEREQUESTSTART:
        gControl.started = TRUE;
        return TRUE;
    case ovDEVICEREQUESTSTOP:
        gControl.started = FALSE;
        return TRUE;
    case ovDEVICEREQUESTGETDEVICE:
        std::memcpy(out, &gDevice, sizeof(OvDevice));
        return TRUE;
    case ovDEVICEREQUESTGETSTANDARDFUNCTIONS: {
        auto* table = static_cast<OvStandardFunction*>(out);
        for (OvInt32 i = 0; i < number; ++i) {
            table[i] = Refuse;
        }
        // Camera begin and end, show and clear succeed without doing anything.
        const OvInt32 nothingToDo[] = {ovSTANDARDCAMERABEGINUPDATE, ovSTANDARDCAMERAENDUPDATE,
                                       ovSTANDARDRASTERSHOWRASTER, ovSTANDARDCAMERACLEAR};
        for (OvInt32 index : nothingToDo) {
            if (index < number) {
                table[index] = Succeed;
            }
        }
        return TRUE;
    }
    default:
        return FALSE;
    }
}

OvBool NullAttach() { return gControl.failAttach ? FALSE : TRUE; }
OvDevice* NullDeviceGet() { return &gDevice; }

const OvDriver gDriver = {NullAttach, NullDeviceGet};

} // namespace

const OvDriver* OvNullDriverGet() { return &gDriver; }
OvNullDriverControl* OvNullDriverGetControl() { return &gControl; }
void OvNullDriverReset() { gControl = {}; }
