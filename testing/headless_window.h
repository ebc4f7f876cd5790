#pragma once
// A window on the headless window layer, with the window layer and the Direct3D 9 stand-in back
// at their defaults: the start of every test or benchmark that drives a device.

#include <cstdlib>

#include "platform/d3d9_control.h"
#include "platform/win32.h"
#include "platform/window.h"

inline HWND OpenHeadlessWindow(const char* className, WNDPROC proc, int width, int height) {
    setenv("PLATFORM_HEADLESS", "1", 1);
    PlatformWindowReset();
    D3d9ResetStandIn();
    WNDCLASSA wc{};
    wc.lpfnWndProc = proc;
    wc.lpszClassName = className;
    RegisterClassA(&wc);
    return CreateWindowExA(0, className, "", WS_OVERLAPPEDWINDOW, 0, 0, width, height, nullptr, nullptr, nullptr,
                           nullptr);
}
