#pragma once
// A started engine on the Direct3D 9 driver over a headless window, for benchmarks that draw:
// the world plugin and then the plugins given are attached; stopped, closed and terminated again
// (with the window and the device stand-in reset) when it goes.

#include <initializer_list>

#include "graphics/core/d3d9/device.h"
#include "graphics/core/engine.h"
#include "graphics/world/world_plugin.h"
#include "platform/d3d9_control.h"
#include "testing/headless_window.h"

struct OvHeadlessWorldEngine {
    HWND window = nullptr;
    bool up = false;

    OvHeadlessWorldEngine(const char* name, int width, int height, std::initializer_list<OvBool (*)()> plugins = {}) {
        window = OpenHeadlessWindow(name, DefWindowProcA, width, height);
        OvEngineSetDriver(OvD3D9Driver());
        up = OvEngineInit(nullptr, 0, 0x800000) && OvWorldPluginAttach();
        for (OvBool (*attach)() : plugins) {
            up = up && attach();
        }
        up = up && OvEngineOpen(&window) && OvEngineStart();
    }
    ~OvHeadlessWorldEngine() {
        if (OvEngineGetStatus() == ovENGINESTATUSSTARTED) {
            OvEngineStop();
        }
        if (OvEngineGetStatus() == ovENGINESTATUSOPENED) {
            OvEngineClose();
        }
        OvEngineTerm();
        OvEngineSetDriver(nullptr);
        D3d9ResetStandIn();
        DestroyWindow(window);
    }
    OvHeadlessWorldEngine(const OvHeadlessWorldEngine&) = delete;
    OvHeadlessWorldEngine& operator=(const OvHeadlessWorldEngine&) = delete;
};
