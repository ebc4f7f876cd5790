#pragma once
// A rendering driver that draws nothing, for tests: it opens, starts, stops and closes, hands
// out its device record and a standard-function table, and refuses every other request.
// Tests can make it refuse chosen requests and read the requests it received.

#include "graphics/core/engine.h"

inline constexpr OvInt32 ovNULLDRIVERLOGSIZE = 256;

// What the null driver does and what it saw.
struct OvNullDriverControl {
    OvUInt32 refuseMask;                   // bit r set: request r is refused
    OvBool failAttach;                     // TRUE: the plugin attach fails
    OvBool started;                        // TRUE between start and stop
    OvInt32 numRequests;                   // requests received (the log keeps the first ovNULLDRIVERLOGSIZE)
    OvInt32 requests[ovNULLDRIVERLOGSIZE]; // request numbers in the order received
};

// The driver record to install with OvEngineSetDriver.
const OvDriver* OvNullDriverGet();
// The driver's control block; OvNullDriverReset clears it.
OvNullDriverControl* OvNullDriverGetControl();
void OvNullDriverReset();
