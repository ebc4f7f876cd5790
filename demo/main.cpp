// dunmarrow: the game. See the usage text below.

#include <cstdio>
#include <cstring>

#include "demo/dunmarrow_application.h"
#include "graphics/shared/skel/win/skeleton.h"

namespace {

const char kUsage[] = "usage: dunmarrow [--help]\n"
                      "The game: reads config.xml from the working folder (the data folder that `mkasset demo`\n"
                      "writes), opens a window (or runs headless) and runs until ESC is pressed or the window is\n"
                      "closed. A player and a team of soldier bots; the bots take cover from the player, F1 switches\n"
                      "them to come to him and back. The player walks with the arrows and turns with x and z; RIGHT\n"
                      "CTRL with the mouse drags an object that carries a physics body.\n"
                      "Controls come from the environment (platform/controls.h): PLATFORM_HEADLESS=1,\n"
                      "PLATFORM_FRAMES=N, PLATFORM_CAPTURE=f%05d.png, PLATFORM_CAPTURE_EVERY=N, PLATFORM_KEYS\n"
                      "(e.g. \"600:F1\"), PLATFORM_FIXED_STEP, PLATFORM_MSGBOX_LOG=file.\n"
                      "Exit status 0 when the window closes, 1 when the game stopped on an error (its message box,\n"
                      "on standard error too, says what is wrong; the window stays until it is closed) or the\n"
                      "graphics could not open, 2 on bad usage, 254 (-2) when the AI world file has no \"Player\"\n"
                      "entity.\n";

} // namespace

int main(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
            std::fputs(kUsage, stdout);
            return 0;
        }
        std::fprintf(stderr, "dunmarrow: unknown argument: %s\n%s", argv[i], kUsage);
        return 2;
    }
    const int status = SkelWinMain(GetModuleHandleA(nullptr), nullptr, GetCommandLineA(), SW_SHOWDEFAULT);
    CDunmarrowApplication::DestroyInstance();
    return status;
}
