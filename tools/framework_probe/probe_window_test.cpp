// The probe in a real window (ctest runs this under Xvfb): the X server's window carries the
// application's title and shows the clear colour; the run ends after PLATFORM_FRAMES frames.

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "graphics/shared/skel/win/skeleton.h"
#include "platform/window.h"
#include "testing/scratch_dir.h"
#include "tools/framework_probe/probe_app.h"

// The X headers last: their macros (None, Bool, Status) would break the test headers.
#include <SDL.h>
#include <SDL_syswm.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>

namespace {

struct Seen {
    int idle = 0;
    std::string backend;
    std::string title;
    int width = 0;
    int height = 0;
    std::vector<unsigned long> pixels; // the client area as the X server holds it
};
Seen g_seen;

// The X window behind the shell's main window.
bool XWindow(Display** display, Window* window) {
    SDL_SysWMinfo info;
    SDL_VERSION(&info.version);
    auto* native = static_cast<SDL_Window*>(PlatformNativeWindow(SkelGetWindowHandle()));
    if (native == nullptr || !SDL_GetWindowWMInfo(native, &info) || info.subsystem != SDL_SYSWM_X11) {
        return false;
    }
    *display = info.info.x11.display;
    *window = info.info.x11.window;
    return true;
}

void Observe() {
    g_seen.backend = PlatformWindowBackendName();
    Display* display = nullptr;
    Window window = 0;
    if (!XWindow(&display, &window)) {
        return;
    }
    XSync(display, False);
    char* name = nullptr;
    if (XFetchName(display, window, &name) != 0 && name != nullptr) {
        g_seen.title = name;
        XFree(name);
    }
    XWindowAttributes attributes{};
    XGetWindowAttributes(display, window, &attributes);
    g_seen.width = attributes.width;
    g_seen.height = attributes.height;
    if (XImage* image = XGetImage(display, window, 0, 0, static_cast<unsigned>(attributes.width),
                                  static_cast<unsigned>(attributes.height), AllPlanes, ZPixmap)) {
        for (int y = 0; y < attributes.height; y += 7) {
            for (int x = 0; x < attributes.width; x += 7) {
                g_seen.pixels.push_back(XGetPixel(image, x, y) & 0xFFFFFFu);
            }
        }
        XDestroyImage(image);
    }
}

} // namespace

std::int32_t AppEventHandler(std::int32_t event, void* parameter) {
    static ProbeApplication application;
    const std::int32_t result = application.HandleEvent(event, parameter);
    // After a few frames shown the window is looked at from the X server's side.
    if (event == SKEL_EVENT_IDLE && ++g_seen.idle == 4) {
        Observe();
    }
    return result;
}

namespace {

TEST(ProbeWindow, TitledByTheApplicationAndClearedToItsColour) {
    const char* display = std::getenv("DISPLAY");
    if (display == nullptr || display[0] == '\0') {
        GTEST_SKIP() << "no display";
    }
    const std::filesystem::path dir = MakeTestScratchDir("dun_probe_window");
    std::ofstream(dir / "config.xml") << "<Config><Debug level=\"0\"/><Input><MouseMode Value=\"1\"/></Input></Config>";
    std::filesystem::current_path(dir);
    unsetenv("PLATFORM_HEADLESS");
    setenv("PLATFORM_FRAMES", "8", 1);
    PlatformWindowReset();

    EXPECT_EQ(SkelWinMain(GetModuleHandleA(nullptr), nullptr, GetCommandLineA(), SW_SHOWDEFAULT), 0);
    EXPECT_EQ(g_seen.backend, "sdl");
    EXPECT_EQ(g_seen.title, "Framework Probe");
    EXPECT_EQ(g_seen.width, 640);
    EXPECT_EQ(g_seen.height, 480);
    ASSERT_FALSE(g_seen.pixels.empty());
    for (unsigned long p : g_seen.pixels) {
        ASSERT_EQ(p, 0x58586Eu);
    }
    PlatformWindowReset();
    std::filesystem::remove_all(dir);
}

} // namespace
