#include "test_app.h"

#include <cstdlib>

#include <filesystem>
#include <fstream>
#include <iterator>

#include "framework/fps_counter.h"
#include "platform/clock.h"
#include "platform/window.h"
#include "testing/scratch_dir.h"

std::int32_t AppEventHandler(std::int32_t event, void* parameter) {
    return g_testApp != nullptr ? g_testApp->HandleEvent(event, parameter) : SKEL_EVENT_NOT_HANDLED;
}

void FrameworkTest::SetUp() {
    dir = MakeTestScratchDir("framework").string();
    logPath = dir + "/messages.log";
    for (const char* name : {"PLATFORM_FRAMES", "PLATFORM_KEYS", "PLATFORM_CAPTURE", "PLATFORM_DIALOG",
                             "PLATFORM_VIDEO_MODE", "PLATFORM_FIXED_STEP"}) {
        unsetenv(name);
    }
    setenv("PLATFORM_HEADLESS", "1", 1);
    setenv("PLATFORM_MSGBOX_LOG", logPath.c_str(), 1);
    PlatformWindowReset();
    PlatformClockSetFixedStep(1.0 / 32.0);
    g_frameworkClock = FakeClock;
    g_fakeNow = 0;
    g_paused = false;
}

void FrameworkTest::TearDown() {
    g_testApp = nullptr;
    g_frameworkClock = timeGetTime;
    CFpsCounter::Destroy();
    PlatformWindowReset();
    PlatformClockSetFixedStep(0.0);
    unsetenv("PLATFORM_HEADLESS");
    unsetenv("PLATFORM_MSGBOX_LOG");
    std::error_code ignored;
    std::filesystem::remove_all(dir, ignored);
}

std::string FrameworkTest::Log() const {
    std::ifstream in(logPath, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

std::string FrameworkTest::Write(const std::string& name, const std::string& text) const {
    const std::string path = dir + "/" + name;
    std::ofstream(path, std::ios::binary) << text;
    return path;
}
