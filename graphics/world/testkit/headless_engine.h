#pragma once
// A started engine on the Direct3D 9 driver over a headless window, for benchmarks that draw:
// the world plugin and then the plugins given are attached; stopped, closed and terminated again
// (with the window and the device stand-in reset) when it goes.

#include <initializer_list>

#include "graphics/core/camera.h"
#include "graphics/core/d3d9/device.h"
#include "graphics/core/engine.h"
#include "graphics/core/raster.h"
#include "graphics/world/testkit/world_camera.h"
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

// A test camera (see OvWorldTestCameraCreate) of a started engine, drawing into frame and depth
// rasters of its own; all three are destroyed with it. `camera` is null when the engine is not up
// or any of them could not be made.
struct OvHeadlessCamera {
    OvCamera* camera = nullptr;

    OvHeadlessCamera(const OvHeadlessWorldEngine& engine, int width, int height, float x = 0, float y = 0, float z = 0,
                     float yaw = 0, float pitch = 0, float fieldOfView = 60.0f, float farPlane = 100.0f) {
        OvCamera* made = engine.up ? OvWorldTestCameraCreate(x, y, z, yaw, pitch, fieldOfView, farPlane) : nullptr;
        if (made == nullptr) {
            return;
        }
        made->frameBuffer = OvRasterCreate(width, height, 0, ovRASTERTYPECAMERA);
        made->zBuffer = OvRasterCreate(width, height, 0, ovRASTERTYPEZBUFFER);
        camera = made;
        if (made->frameBuffer == nullptr || made->zBuffer == nullptr) {
            Destroy();
        }
    }
    ~OvHeadlessCamera() { Destroy(); }
    OvHeadlessCamera(const OvHeadlessCamera&) = delete;
    OvHeadlessCamera& operator=(const OvHeadlessCamera&) = delete;

    // One frame: both rasters cleared (the image to `background`), then `draw()` inside the
    // camera's update.
    template <class Draw> void Frame(Draw draw, OvRGBA background = {0, 0, 0, 255}) {
        OvCameraClear(camera, &background, ovCAMERACLEARIMAGE | ovCAMERACLEARZ);
        if (OvCameraBeginUpdate(camera) != nullptr) {
            draw();
            OvCameraEndUpdate(camera);
        }
    }

private:
    void Destroy() {
        if (camera == nullptr) {
            return;
        }
        for (OvRaster* r : {camera->frameBuffer, camera->zBuffer}) {
            if (r != nullptr) {
                OvRasterDestroy(r);
            }
        }
        camera->frameBuffer = camera->zBuffer = nullptr;
        OvWorldTestCameraDestroy(camera);
        camera = nullptr;
    }
};
