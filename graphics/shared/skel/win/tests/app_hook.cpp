#include "app_hook.h"

std::int32_t AppEventHandler(std::int32_t event, void* parameter) {
    g_seen.push_back({event, parameter});
    return g_app ? g_app(event, parameter) : SKEL_EVENT_NOT_HANDLED;
}
