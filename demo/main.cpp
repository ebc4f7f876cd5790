// dunmarrow: the game. See the usage text below.

#include <cstdio>
#include <cstring>

#include "demo/dunmarrow_application.h"
#include "graphics/shared/skel/win/skeleton.h"

namespace {

const char kUsage[] = "usage: dunmarrow [--help] [-vms] [FILE]...\n"
                      "The game: reads config.xml from the working folder (the data folder that `mkasset demo`\n"
                      "writes), opens a window (or runs headless) and runs until ESC is pressed or the window is\n"
                      "closed. A player and a team of soldier bots; the bots take cover from the player, F1 switches\n"
                      "them to come to him and back. The player walks with the arrows and turns with x and z; RIGHT\n"
                      "CTRL with the mouse drags an object that carries a physics body.\n"
                      "Controls come from the environment: PLATFORM_HEADLESS=1 (no window), PLATFORM_FRAMES=N\n"
                      "(stop after N frames), PLATFORM_CAPTURE=f%05d.png and PLATFORM_CAPTURE_EVERY=N (frames as\n"
                      "PNG), PLATFORM_FIXED_STEP=S (S seconds a frame instead of the real clock),\n"
                      "PLATFORM_MSGBOX_LOG=file (the error boxes' text) and PLATFORM_KEYS, a comma-separated list\n"
                      "of FRAME:KEY (press and release), FRAME:down=KEY, FRAME:up=KEY, FRAME:move=X/Y,\n"
                      "FRAME:rel=DX/DY and FRAME:close, keys named RETURN, ESCAPE, SPACE, UP, NUMPAD0, LSHIFT,\n"
                      "RCONTROL, F1, C, TAB, ..., mouse buttons LBUTTON and RBUTTON (e.g. \"1:RETURN,600:F1\").\n"
                      "The other arguments go to the shell: \"-vms\" is accepted and changes nothing; any other\n"
                      "argument is offered to the game as a file to load, which it does not take (it is named on\n"
                      "standard error and the game goes on).\n"
                      "Exit status 0 when the window closes, 1 when the game stopped on an error (its message box,\n"
                      "on standard error too, says what is wrong; the window stays until it is closed) or the\n"
                      "graphics could not open, 254 (-2) when the AI world file has no \"Player\"\n"
                      "entity, 2 when a PLATFORM_ setting does not read.\n";

} // namespace

int main(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
            std::fputs(kUsage, stdout);
            return 0;
        }
    }
    // The shell splits the command line itself and offers each argument to the game.
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "-vms") != 0) {
            std::fprintf(stderr, "dunmarrow: ignoring the argument %s\n", argv[i]);
        }
    }
    const int status = SkelWinMain(GetModuleHandleA(nullptr), nullptr, GetCommandLineA(), SW_SHOWDEFAULT);
    CDunmarrowApplication::DestroyInstance();
    return status;
}
