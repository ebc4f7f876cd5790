// framework_probe: the smallest application on the framework. See the usage text below.

#include <cstdio>
#include <cstring>

#include "graphics/shared/skel/win/skeleton.h"
#include "tools/framework_probe/probe_app.h"

namespace {

const char kUsage[] = "usage: framework_probe [--help]\n"
                      "The smallest application on the game framework: reads config.xml from the working folder,\n"
                      "opens a window (or runs headless) with the graphics engine on its Direct3D 9 driver, and\n"
                      "clears every frame to (88, 88, 110) until ESC is pressed or the window is closed.\n"
                      "Configuration errors appear in the framework's error box and stop the frames; the window\n"
                      "stays until it is closed. Controls come from the environment (platform/controls.h):\n"
                      "PLATFORM_HEADLESS=1, PLATFORM_FRAMES=N (quit after N frames, or after N idle looks once the\n"
                      "frames have stopped), PLATFORM_CAPTURE=f%02d.png, PLATFORM_KEYS, PLATFORM_FIXED_STEP, and\n"
                      "PLATFORM_MSGBOX_LOG=file for the error box's messages.\n"
                      "Exit status 0 when the window closes, 2 on bad usage.\n";

} // namespace

std::int32_t AppEventHandler(std::int32_t event, void* parameter) {
    static ProbeApplication application;
    return application.HandleEvent(event, parameter);
}

int main(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
            std::fputs(kUsage, stdout);
            return 0;
        }
        std::fprintf(stderr, "framework_probe: unknown argument: %s\n%s", argv[i], kUsage);
        return 2;
    }
    return SkelWinMain(GetModuleHandleA(nullptr), nullptr, GetCommandLineA(), SW_SHOWDEFAULT);
}
