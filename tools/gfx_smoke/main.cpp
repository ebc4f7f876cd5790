// gfx_smoke: the first frames of the graphics engine on its Direct3D 9 driver. See usage below.

#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cinttypes>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>

#include "graphics/core/d3d9/device.h"
#include "platform/controls.h"
#include "platform/win32.h"
#include "platform/window.h"
#include "tools/engine_error/frame_args.h"
#include "tools/gfx_smoke/smoke.h"

namespace {

const char kUsage[] =
    "usage: gfx_smoke [--size WxH] [--out FILE.png] [--frames N] [--headless] [--texture FILE.png]\n"
    "Starts the graphics engine on its Direct3D 9 driver in a window and draws the smoke scene: a clear\n"
    "to (32, 48, 64), an immediate-mode 3D grid of lines with a coloured triangle fan turning on it, and an\n"
    "immediate-mode 2D textured quad in the top right corner.\n"
    "  --size WxH         client size in pixels (1..4096 each; default 640x480)\n"
    "  --out FILE.png     write the last frame shown as an 8-bit RGB PNG\n"
    "  --frames N         stop after N frames (default: 1 headless; windowed, until the window closes)\n"
    "  --headless         no window on the display (also chosen when there is no display)\n"
    "  --texture FILE.png the quad's texture (default: gfx_smoke_quad.png beside the program)\n"
    "After the last frame it prints the frame's checksum and the driver's counters of that frame.\n"
    "Exit status 0 on success, 1 when the engine, the texture or the output fails, 2 on bad usage.\n";

struct Options {
    int width = 640;
    int height = 480;
    std::string out;
    long frames = 0; // 0: the default
    bool headless = false;
    std::string texture;
};

int BadUsage(const char* message, const char* argument) {
    std::fprintf(stderr, "gfx_smoke: %s: %s\n%s", message, argument, kUsage);
    return 2;
}

// Returns -1 when the options are fine, else the exit status.
int Parse(int argc, char** argv, Options* o) {
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        const bool hasValue = i + 1 < argc;
        if (a == "--help" || a == "-h") {
            std::fputs(kUsage, stdout);
            return 0;
        } else if (a == "--headless") {
            o->headless = true;
        } else if (a == "--size" || a == "--out" || a == "--frames" || a == "--texture") {
            if (!hasValue) {
                return BadUsage("missing value after", argv[i]);
            }
            const char* value = argv[++i];
            if (a == "--size" && !ParseFrameSize(value, &o->width, &o->height)) {
                return BadUsage("--size wants WxH with sides of 1 to 4096, not", value);
            }
            if (a == "--out") {
                o->out = value;
            }
            if (a == "--texture") {
                o->texture = value;
            }
            if (a == "--frames") {
                char* end = nullptr;
                errno = 0;
                o->frames = std::strtol(value, &end, 10);
                if (end == value || *end != '\0' || errno != 0 || o->frames < 1) {
                    return BadUsage("--frames wants a count of 1 or more, not", value);
                }
            }
        } else {
            return BadUsage("unknown argument", argv[i]);
        }
    }
    return -1;
}

std::string BesideProgram(const char* name) {
    char path[PATH_MAX] = {};
    const ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
    if (n <= 0) {
        return name;
    }
    return (std::filesystem::path(std::string(path, static_cast<std::size_t>(n))).parent_path() / name).string();
}

LRESULT WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_CLOSE) {
        DestroyWindow(window);
        return 0;
    }
    if (message == WM_DESTROY) {
        PostQuitMessage(0);
        return 0;
    }
    return DefWindowProcA(window, message, wParam, lParam);
}

HWND MakeWindow(int width, int height) {
    WNDCLASSA wc{};
    wc.lpfnWndProc = WindowProc;
    wc.hInstance = GetModuleHandleA(nullptr);
    wc.lpszClassName = "gfx_smoke";
    RegisterClassA(&wc);
    RECT rect = {0, 0, width, height};
    AdjustWindowRectEx(&rect, WS_OVERLAPPEDWINDOW, FALSE, 0);
    HWND window =
        CreateWindowExA(0, "gfx_smoke", "gfx_smoke", WS_OVERLAPPEDWINDOW, CW_USEDEFAULT, CW_USEDEFAULT,
                        rect.right - rect.left, rect.bottom - rect.top, nullptr, nullptr, wc.hInstance, nullptr);
    if (window != nullptr) {
        ShowWindow(window, SW_SHOW);
        UpdateWindow(window);
    }
    return window;
}

// Handles every waiting message; false once the window has gone.
bool Pump(HWND window) {
    MSG msg;
    while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
        if (msg.message == WM_QUIT) {
            return false;
        }
        TranslateMessage(&msg);
        DispatchMessageA(&msg);
    }
    return IsWindow(window) != FALSE;
}

} // namespace

int main(int argc, char** argv) {
    Options o;
    if (const int status = Parse(argc, argv, &o); status >= 0) {
        return status;
    }
    if (o.headless) {
        setenv("PLATFORM_HEADLESS", "1", 1);
    }
    if (o.texture.empty()) {
        o.texture = BesideProgram("gfx_smoke_quad.png");
    }
    const bool headless = std::strcmp(PlatformWindowBackendName(), "headless") == 0;
    const long frames = o.frames > 0 ? o.frames : headless ? 1 : -1;
    HWND window = MakeWindow(o.width, o.height);
    if (window == nullptr) {
        std::fprintf(stderr, "gfx_smoke: cannot create the window\n");
        return 1;
    }
    SmokeScene scene;
    std::string error;
    if (!scene.Open(window, o.width, o.height, o.texture, &error)) {
        std::fprintf(stderr, "gfx_smoke: %s\n", error.c_str());
        return 1;
    }
    // In a window the frames are paced at 60 a second, so that the fan turns at 180 degrees a
    // second; headless they follow one another at once.
    const auto period = std::chrono::microseconds(1000000 / 60);
    auto due = std::chrono::steady_clock::now();
    long shown = 0;
    for (long frame = 0; frames < 0 || frame < frames; ++frame) {
        if (!Pump(window)) {
            break;
        }
        if (scene.Draw(frame)) {
            ++shown;
        }
        if (!headless) {
            due += period;
            std::this_thread::sleep_until(due);
        }
    }
    SmokeFrame picture;
    const bool read = IsWindow(window) && scene.Read(&picture);
    if (read) {
        const OvD3D9FrameCounters counters = OvD3D9GetLastFrameCounters();
        std::printf("frames %ld, %dx%d, checksum %016" PRIx64 ", draw calls %u, states sent %u\n", shown, picture.width,
                    picture.height, SmokeChecksum(picture), counters.drawCalls, counters.statesSent);
    }
    if (!o.out.empty()) {
        if (!read) {
            std::fprintf(stderr, "gfx_smoke: %s: no frame to write (the window has closed)\n", o.out.c_str());
            return 1;
        }
        if (!PlatformWritePng(o.out.c_str(), picture.pixels.data(), static_cast<UINT>(picture.width),
                              static_cast<UINT>(picture.height), static_cast<UINT>(picture.width) * 4, &error)) {
            std::fprintf(stderr, "gfx_smoke: %s: %s\n", o.out.c_str(), error.c_str());
            return 1;
        }
    }
    scene.Close();
    return 0;
}
