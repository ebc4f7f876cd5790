#pragma once
// Shared set-up of the window-layer tests: a headless layer started from a chosen environment,
// and a window whose procedure records every message it gets.

#include "platform/clock.h"
#include "platform/present.h"
#include "platform/win32.h"
#include "platform/window.h"

#include <cstdlib>
#include <gtest/gtest.h>
#include <initializer_list>
#include <utility>
#include <vector>

struct Received {
    UINT message;
    WPARAM wParam;
    LPARAM lParam;
};

inline std::vector<Received> g_received;

inline LRESULT RecordingProc(HWND w, UINT m, WPARAM wp, LPARAM lp) {
    g_received.push_back(Received{m, wp, lp});
    return DefWindowProcA(w, m, wp, lp);
}

struct WindowTest : ::testing::Test {
    // Starts the layer headless with the given PLATFORM_* values and a 1/32 s fixed step.
    void Start(std::initializer_list<std::pair<const char*, const char*>> env = {}) {
        for (const char* name :
             {"PLATFORM_FRAMES", "PLATFORM_KEYS", "PLATFORM_CAPTURE", "PLATFORM_CAPTURE_EVERY", "PLATFORM_DIALOG",
              "PLATFORM_VIDEO_MODE", "PLATFORM_MSGBOX_LOG", "PLATFORM_FIXED_STEP"})
            unsetenv(name);
        setenv("PLATFORM_HEADLESS", "1", 1);
        for (const auto& [name, value] : env)
            setenv(name, value, 1);
        PlatformWindowReset();
        PlatformClockSetFixedStep(1.0 / 32.0);
        g_received.clear();
    }

    HWND Open(int width = 320, int height = 200) {
        WNDCLASSA wc{};
        wc.lpfnWndProc = RecordingProc;
        wc.lpszClassName = "Recording";
        RegisterClassA(&wc);
        const HWND w = CreateWindowExA(0, "Recording", "test", WS_OVERLAPPEDWINDOW, CW_USEDEFAULT, CW_USEDEFAULT, width,
                                       height, nullptr, nullptr, GetModuleHandleA(nullptr), nullptr);
        EXPECT_NE(w, nullptr);
        ShowWindow(w, SW_SHOWNORMAL);
        return w;
    }

    // Presents one black frame.
    void Frame(HWND w) {
        static std::uint32_t pixels[4 * 4] = {};
        ASSERT_TRUE(PlatformPresent(w, pixels, 4, 4, 16));
    }

    // Takes every waiting message (dispatching each) and returns them in order.
    std::vector<MSG> Drain() {
        std::vector<MSG> out;
        MSG m;
        while (PeekMessageA(&m, nullptr, 0, 0, PM_REMOVE)) {
            out.push_back(m);
            if (m.message == WM_QUIT)
                break;
            DispatchMessageA(&m);
        }
        return out;
    }

    void TearDown() override {
        PlatformWindowReset();
        PlatformClockSetFixedStep(0.0);
        unsetenv("PLATFORM_HEADLESS");
    }
};
