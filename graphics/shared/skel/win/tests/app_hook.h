#pragma once
// The application hook of the shell's tests: each test installs what the application answers
// and reads the events the application saw.

#include <cstdint>
#include <cstdlib>
#include <functional>
#include <vector>

#include "graphics/shared/skel/win/skeleton.h"
#include "platform/clock.h"
#include "platform/window.h"

struct SeenEvent {
    std::int32_t event;
    void* parameter;
};

// What the application answers (default: 2 for everything); the events it was offered.
inline std::function<std::int32_t(std::int32_t, void*)> g_app;
inline std::vector<SeenEvent> g_seen;

inline void ResetApp() {
    g_app = nullptr;
    g_seen.clear();
}

// The events seen, by code only.
inline std::vector<std::int32_t> SeenCodes() {
    std::vector<std::int32_t> codes;
    for (const SeenEvent& e : g_seen) {
        codes.push_back(e.event);
    }
    return codes;
}

// A fresh headless window layer without scripted controls, on a 1/32 s fixed-step clock, and no
// application answers.
inline void StartHeadlessShell() {
    for (const char* name : {"PLATFORM_FRAMES", "PLATFORM_KEYS", "PLATFORM_CAPTURE", "PLATFORM_DIALOG",
                             "PLATFORM_VIDEO_MODE", "PLATFORM_MSGBOX_LOG", "PLATFORM_FIXED_STEP"}) {
        unsetenv(name);
    }
    setenv("PLATFORM_HEADLESS", "1", 1);
    PlatformWindowReset();
    PlatformClockSetFixedStep(1.0 / 32.0);
    ResetApp();
}

inline void StopHeadlessShell() {
    PlatformWindowReset();
    PlatformClockSetFixedStep(0.0);
    unsetenv("PLATFORM_HEADLESS");
    ResetApp();
}
