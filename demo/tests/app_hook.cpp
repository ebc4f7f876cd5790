// The demo's tests run no application: the shell's hook passes every event on.
#include "graphics/shared/skel/win/skeleton.h"

std::int32_t AppEventHandler(std::int32_t, void*) { return SKEL_EVENT_NOT_HANDLED; }
