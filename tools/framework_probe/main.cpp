// framework_probe: the smallest application on the framework. See the usage text below.

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "graphics/shared/skel/win/skeleton.h"
#include "tools/framework_probe/probe_app.h"

namespace {

const char kUsage[] = "usage: framework_probe [--help] [--drop N]\n"
                      "The smallest application on the game framework: reads config.xml from the working folder,\n"
                      "opens a window (or runs headless) with the graphics engine on its Direct3D 9 driver, and\n"
                      "clears every frame to (88, 88, 110) until ESC is pressed or the window is closed.\n"
                      "With a level configured (\"Worlds\"), the camera looks at it from above, the level is drawn\n"
                      "with its lights and the font FONTS/TSA16, and the world statistics line is printed.\n"
                      "--drop N  drops N unit boxes (models/crate.dff, 0 to 64) on the level's middle, five to a\n"
                      "          layer, and prints each box's position at the start and every 30 frames as\n"
                      "          \"frame F box I: X Y Z\".\n"
                      "Configuration errors appear in the framework's error box and stop the frames; the window\n"
                      "stays until it is closed. Controls come from the environment (platform/controls.h):\n"
                      "PLATFORM_HEADLESS=1, PLATFORM_FRAMES=N (quit after N frames, or after N idle looks once the\n"
                      "frames have stopped), PLATFORM_CAPTURE=f%02d.png, PLATFORM_KEYS, PLATFORM_FIXED_STEP, and\n"
                      "PLATFORM_MSGBOX_LOG=file for the error box's messages.\n"
                      "Exit status 0 when the window closes, 2 on bad usage.\n";

} // namespace

namespace {
int g_dropCount = 0;
}

std::int32_t AppEventHandler(std::int32_t event, void* parameter) {
    static ProbeApplication application;
    application.SetDropCount(g_dropCount);
    return application.HandleEvent(event, parameter);
}

int main(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
            std::fputs(kUsage, stdout);
            return 0;
        }
        if (std::strcmp(argv[i], "--drop") == 0) {
            char* end = nullptr;
            const long n = i + 1 < argc ? std::strtol(argv[i + 1], &end, 10) : -1;
            if (i + 1 >= argc || *end != '\0' || end == argv[i + 1] || n < 0 || n > kProbeMaxDrop) {
                std::fprintf(stderr, "framework_probe: bad --drop value: %s (a whole number from 0 to %d)\n%s",
                             i + 1 < argc ? argv[i + 1] : "(none)", kProbeMaxDrop, kUsage);
                return 2;
            }
            g_dropCount = static_cast<int>(n);
            ++i;
            continue;
        }
        std::fprintf(stderr, "framework_probe: unknown argument: %s\n%s", argv[i], kUsage);
        return 2;
    }
    return SkelWinMain(GetModuleHandleA(nullptr), nullptr, GetCommandLineA(), SW_SHOWDEFAULT);
}
