#pragma once
// Runs the graphics engine on the Direct3D 9 driver and the platform's stand-in device, on a
// headless window.

#include <gtest/gtest.h>

#include <cstdlib>

#include "graphics/core/d3d9/device.h"
#include "platform/d3d9_control.h"
#include "platform/win32.h"
#include "platform/window.h"
#include "testing/headless_window.h"

class D3d9DriverTest : public ::testing::Test {
protected:
    HWND window = nullptr;

    void SetUp() override {
        window = OpenHeadlessWindow("d3d9_driver_test", DefWindowProcA, 320, 240);
        ShowWindow(window, SW_SHOW);
        OvEngineSetDriver(OvD3D9Driver());
        ASSERT_TRUE(OvEngineInit(nullptr, 0, 0x400000));
    }

    void TearDown() override {
        if (OvEngineGetStatus() == ovENGINESTATUSSTARTED) {
            EXPECT_TRUE(OvEngineStop());
        }
        if (OvEngineGetStatus() == ovENGINESTATUSOPENED) {
            EXPECT_TRUE(OvEngineClose());
        }
        EXPECT_TRUE(OvEngineTerm());
        OvD3D9DeviceSetRestoreCallback(nullptr);
        OvEngineSetDriver(nullptr);
        D3d9ResetStandIn();
        PlatformWindowReset();
    }

    bool Up() { return OvEngineOpen(&window) && OvEngineStart(); }
};
