// framework_probe: the smallest application on the framework. See the usage text below.

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "graphics/shared/skel/win/skeleton.h"
#include "tools/framework_probe/probe_app.h"

namespace {

const char kUsage[] =
    "usage: framework_probe [--help] [--log-camera N] [--drop N] [--player] [--log-player N]\n"
    "       [--log-bodies N] [--log-lifts N]\n"
    "The smallest application on the game framework: reads config.xml from the working folder,\n"
    "opens a window (or runs headless) with the graphics engine on its Direct3D 9 driver, and\n"
    "runs frames until ESC is pressed or the window is closed. With a \"Camera\" section the\n"
    "framework's camera manager draws them: the mouse (buttons held) turns, pans and moves the\n"
    "free camera, C switches to the next camera of the switch sequence, TAB to the next fixed\n"
    "viewpoint; without one every frame is cleared to (88, 88, 110), and with a level configured\n"
    "(\"Worlds\") the probe's camera looks at it from above, the level is drawn with its lights and\n"
    "the font FONTS/TSA16, and the world statistics line is printed.\n"
    "  --log-camera N  every N frames print \"frame F: MODE camera at X Y Z looking DX DY DZ\"\n"
    "                 (position and view direction) on standard output\n"
    "  --drop N        drops N unit boxes (models/crate.dff, 0 to 64) on the level's middle, five\n"
    "                 to a layer, and prints each box's position at the start and every 30\n"
    "                 frames as \"frame F box I: X Y Z\"\n"
    "  --player        spawns one soldier of the first character profile in the level's middle,\n"
    "                 moved by the keys (arrows walk and strafe, x and z turn, right SHIFT runs,\n"
    "                 left SHIFT aims, SPACE fires, keypad 0 jumps), and\n"
    "                 prints \"frame F: player at X Y Z animation NAME\" every 10 frames\n"
    "  --log-player N  the same with a line every N frames (implies --player)\n"
    "  --log-bodies N  every N frames print each rigid body of the \"Physics\" section as\n"
    "                 \"frame F body I NAME: X Y Z\", \" (dragged)\" added while RIGHT CTRL drags it\n"
    "  --log-lifts N   every N frames print \"frame F lift I: X Y Z anchor AX AY AZ\" for each lift\n"
    "                 of the level: where its platform stands and where its joint holds it\n"
    "Configuration errors appear in the framework's error box and stop the frames; the window\n"
    "stays until it is closed. Controls come from the environment (platform/controls.h):\n"
    "PLATFORM_HEADLESS=1, PLATFORM_FRAMES=N (quit after N frames, or after N idle looks once the\n"
    "frames have stopped), PLATFORM_CAPTURE=f%02d.png, PLATFORM_KEYS (keys and mouse moves,\n"
    "e.g. \"10:down=LBUTTON,11:rel=40/0,12:up=LBUTTON\"), PLATFORM_FIXED_STEP, and\n"
    "PLATFORM_MSGBOX_LOG=file for the error box's messages.\n"
    "Exit status 0 when the window closes, 1 when it closes after a configuration error stopped the\n"
    "frames (headless: once the frames have stopped) or the graphics could not open, 2 on bad usage.\n";

ProbeApplication gApplication;

} // namespace

std::int32_t AppEventHandler(std::int32_t event, void* parameter) { return gApplication.HandleEvent(event, parameter); }

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
            gApplication.SetDropCount(static_cast<int>(n));
            ++i;
            continue;
        }
        if (std::strcmp(argv[i], "--log-bodies") == 0) {
            char* end = nullptr;
            const long n = i + 1 < argc ? std::strtol(argv[i + 1], &end, 10) : 0;
            if (i + 1 >= argc || end == argv[i + 1] || *end != '\0' || n <= 0) {
                std::fprintf(stderr, "framework_probe: bad --log-bodies value: %s (a whole number above 0)\n%s",
                             i + 1 < argc ? argv[i + 1] : "(missing)", kUsage);
                return 2;
            }
            gApplication.SetBodyLog(n, stdout);
            ++i;
            continue;
        }
        if (std::strcmp(argv[i], "--log-camera") == 0) {
            char* end = nullptr;
            const long n = i + 1 < argc ? std::strtol(argv[i + 1], &end, 10) : 0;
            if (i + 1 >= argc || end == argv[i + 1] || *end != '\0' || n <= 0) {
                std::fprintf(stderr, "framework_probe: bad --log-camera value: %s (a whole number above 0)\n%s",
                             i + 1 < argc ? argv[i + 1] : "(missing)", kUsage);
                return 2;
            }
            gApplication.SetCameraLog(n, stdout);
            ++i;
            continue;
        }
        if (std::strcmp(argv[i], "--log-lifts") == 0) {
            char* end = nullptr;
            const long n = i + 1 < argc ? std::strtol(argv[i + 1], &end, 10) : 0;
            if (i + 1 >= argc || end == argv[i + 1] || *end != '\0' || n <= 0) {
                std::fprintf(stderr, "framework_probe: bad --log-lifts value: %s (a whole number above 0)\n%s",
                             i + 1 < argc ? argv[i + 1] : "(missing)", kUsage);
                return 2;
            }
            gApplication.SetLiftLog(n, stdout);
            ++i;
            continue;
        }
        if (std::strcmp(argv[i], "--player") == 0) {
            gApplication.SetPlayer(kProbePlayerLogInterval, stdout);
            continue;
        }
        if (std::strcmp(argv[i], "--log-player") == 0) {
            char* end = nullptr;
            const long n = i + 1 < argc ? std::strtol(argv[i + 1], &end, 10) : 0;
            if (i + 1 >= argc || end == argv[i + 1] || *end != '\0' || n <= 0) {
                std::fprintf(stderr, "framework_probe: bad --log-player value: %s (a whole number above 0)\n%s",
                             i + 1 < argc ? argv[i + 1] : "(missing)", kUsage);
                return 2;
            }
            gApplication.SetPlayer(n, stdout);
            ++i;
            continue;
        }
        std::fprintf(stderr, "framework_probe: unknown argument: %s\n%s", argv[i], kUsage);
        return 2;
    }
    return SkelWinMain(GetModuleHandleA(nullptr), nullptr, GetCommandLineA(), SW_SHOWDEFAULT);
}
