// platform_probe: opens a window, runs the message loop and prints every message the window
// receives, decoded, until the window closes or PLATFORM_FRAMES frames were presented. The
// window shows a moving test pattern with a marker at the mouse and a frame that lights up while
// a key is down.

#include "platform/clock.h"
#include "platform/keys.h"
#include "platform/present.h"
#include "platform/win32.h"
#include "platform/window.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace {

struct Probe {
    int width = 320;
    int height = 240;
    std::vector<std::uint32_t> pixels;
    int mouseX = -1;
    int mouseY = -1;
    int keysDown = 0;
};

Probe g_probe;

const char* MessageName(UINT m) {
    switch (m) {
    case WM_CREATE:
        return "WM_CREATE";
    case WM_DESTROY:
        return "WM_DESTROY";
    case WM_SIZE:
        return "WM_SIZE";
    case WM_ACTIVATE:
        return "WM_ACTIVATE";
    case WM_CLOSE:
        return "WM_CLOSE";
    case WM_QUIT:
        return "WM_QUIT";
    case WM_WINDOWPOSCHANGED:
        return "WM_WINDOWPOSCHANGED";
    case WM_KEYDOWN:
        return "WM_KEYDOWN";
    case WM_KEYUP:
        return "WM_KEYUP";
    case WM_SYSKEYDOWN:
        return "WM_SYSKEYDOWN";
    case WM_SYSKEYUP:
        return "WM_SYSKEYUP";
    case WM_TIMER:
        return "WM_TIMER";
    case WM_MOUSEMOVE:
        return "WM_MOUSEMOVE";
    case WM_LBUTTONDOWN:
        return "WM_LBUTTONDOWN";
    case WM_LBUTTONUP:
        return "WM_LBUTTONUP";
    case WM_RBUTTONDOWN:
        return "WM_RBUTTONDOWN";
    case WM_RBUTTONUP:
        return "WM_RBUTTONUP";
    case WM_MBUTTONDOWN:
        return "WM_MBUTTONDOWN";
    case WM_MBUTTONUP:
        return "WM_MBUTTONUP";
    case WM_MOUSEWHEEL:
        return "WM_MOUSEWHEEL";
    case WM_DROPFILES:
        return "WM_DROPFILES";
    default:
        return nullptr;
    }
}

std::string MouseKeys(WPARAM w) {
    std::string s;
    const std::pair<WPARAM, const char*> names[] = {{MK_LBUTTON, "MK_LBUTTON"},
                                                    {MK_RBUTTON, "MK_RBUTTON"},
                                                    {MK_MBUTTON, "MK_MBUTTON"},
                                                    {MK_SHIFT, "MK_SHIFT"},
                                                    {MK_CONTROL, "MK_CONTROL"}};
    for (const auto& [bit, name] : names) {
        if ((w & bit) != 0) {
            if (!s.empty()) {
                s += '|';
            }
            s += name;
        }
    }
    return s.empty() ? "0" : s;
}

// The readable decoding of a message's parameters.
std::string Decode(HWND window, UINT m, WPARAM w, LPARAM l) {
    char buf[512];
    const auto lw = static_cast<DWORD>(l);
    switch (m) {
    case WM_KEYDOWN:
    case WM_KEYUP:
    case WM_SYSKEYDOWN:
    case WM_SYSKEYUP: {
        const BYTE scan = static_cast<BYTE>((lw >> 16) & 0xFF);
        const bool ext = ((lw >> 24) & 1) != 0;
        const PlatformKey* k = PlatformKeyByScan(scan, ext);
        std::snprintf(buf, sizeof buf, "key %s vk=0x%02X scan=0x%02X extended=%u repeat=%u alt=%u previous=%s %s",
                      k != nullptr ? k->name : "?", static_cast<unsigned>(w), scan, ext ? 1u : 0u, lw & 0xFFFF,
                      (lw >> 29) & 1, ((lw >> 30) & 1) != 0 ? "down" : "up",
                      ((lw >> 31) & 1) != 0 ? "release" : "press");
        return buf;
    }
    case WM_MOUSEMOVE:
    case WM_LBUTTONDOWN:
    case WM_LBUTTONUP:
    case WM_RBUTTONDOWN:
    case WM_RBUTTONUP:
    case WM_MBUTTONDOWN:
    case WM_MBUTTONUP:
        std::snprintf(buf, sizeof buf, "x=%d y=%d keys=%s", GET_X_LPARAM(l), GET_Y_LPARAM(l),
                      MouseKeys(w & 0xFFFF).c_str());
        return buf;
    case WM_MOUSEWHEEL:
        std::snprintf(buf, sizeof buf, "delta=%d keys=%s screen x=%d y=%d", GET_WHEEL_DELTA_WPARAM(w),
                      MouseKeys(LOWORD(w)).c_str(), GET_X_LPARAM(l), GET_Y_LPARAM(l));
        return buf;
    case WM_SIZE: {
        const char* kind = w == SIZE_MINIMIZED   ? "SIZE_MINIMIZED"
                           : w == SIZE_MAXIMIZED ? "SIZE_MAXIMIZED"
                                                 : "SIZE_RESTORED";
        std::snprintf(buf, sizeof buf, "%s width=%u height=%u", kind, LOWORD(lw), HIWORD(lw));
        return buf;
    }
    case WM_ACTIVATE:
        std::snprintf(buf, sizeof buf, "%s minimized=%u", LOWORD(w) == WA_INACTIVE ? "WA_INACTIVE" : "WA_ACTIVE",
                      HIWORD(w));
        return buf;
    case WM_CREATE: {
        const auto* cs = reinterpret_cast<const CREATESTRUCTA*>(l);
        std::snprintf(buf, sizeof buf, "class \"%s\" title \"%s\" width=%d height=%d", cs->lpszClass, cs->lpszName,
                      cs->cx, cs->cy);
        return buf;
    }
    case WM_TIMER:
        std::snprintf(buf, sizeof buf, "id=%lu", static_cast<unsigned long>(w));
        return buf;
    case WM_QUIT:
        std::snprintf(buf, sizeof buf, "exit code %ld", static_cast<long>(static_cast<std::intptr_t>(w)));
        return buf;
    case WM_WINDOWPOSCHANGED: {
        if (l == 0)
            return "no position record";
        const auto* p = reinterpret_cast<const WINDOWPOS*>(l);
        std::snprintf(buf, sizeof buf, "x=%d y=%d cx=%d cy=%d flags=0x%X", p->x, p->y, p->cx, p->cy, p->flags);
        return buf;
    }
    case WM_DROPFILES: {
        const auto drop = reinterpret_cast<HDROP>(w);
        const UINT n = DragQueryFileA(drop, 0xFFFFFFFFu, nullptr, 0);
        std::string s = std::to_string(n) + " file(s)";
        for (UINT i = 0; i < n; ++i) {
            char name[260];
            DragQueryFileA(drop, i, name, sizeof name);
            s += std::string(" \"") + name + "\"";
        }
        return s;
    }
    default:
        (void)window;
        std::snprintf(buf, sizeof buf, "wParam=0x%lX lParam=0x%lX", static_cast<unsigned long>(w),
                      static_cast<unsigned long>(l));
        return buf;
    }
}

void Print(HWND window, UINT m, WPARAM w, LPARAM l) {
    const char* name = MessageName(m);
    char unknown[32];
    if (name == nullptr) {
        std::snprintf(unknown, sizeof unknown, "message 0x%04X", m);
        name = unknown;
    }
    std::printf("frame %ld: %s %s\n", PlatformPresentedFrames(), name, Decode(window, m, w, l).c_str());
    std::fflush(stdout);
}

LRESULT ProbeProc(HWND window, UINT m, WPARAM w, LPARAM l) {
    Print(window, m, w, l);
    Probe& p = g_probe;
    switch (m) {
    case WM_CREATE:
        DragAcceptFiles(window, TRUE);
        return 0;
    case WM_DESTROY:
        PostQuitMessage(0);
        return 0;
    case WM_SIZE:
        if (LOWORD(l) > 0 && HIWORD(l) > 0) {
            p.width = LOWORD(l);
            p.height = HIWORD(l);
        }
        return 0;
    case WM_MOUSEMOVE:
        p.mouseX = GET_X_LPARAM(l);
        p.mouseY = GET_Y_LPARAM(l);
        return 0;
    case WM_KEYDOWN:
    case WM_SYSKEYDOWN:
        if (((l >> 30) & 1) == 0)
            ++p.keysDown;
        return 0;
    case WM_KEYUP:
    case WM_SYSKEYUP:
        if (p.keysDown > 0)
            --p.keysDown;
        return 0;
    case WM_DROPFILES:
        DragFinish(reinterpret_cast<HDROP>(w));
        return 0;
    default:
        return DefWindowProcA(window, m, w, l);
    }
}

// Diagonal colour bands moving one pixel per frame, a white square at the mouse, and a yellow
// border while a key is down.
void Draw(long frame) {
    Probe& p = g_probe;
    p.pixels.assign(static_cast<std::size_t>(p.width) * p.height, 0);
    for (int y = 0; y < p.height; ++y) {
        for (int x = 0; x < p.width; ++x) {
            const int band = ((x + y + static_cast<int>(frame)) / 16) % 3;
            const std::uint32_t c = band == 0 ? 0xFF3050A0u : band == 1 ? 0xFF208040u : 0xFF803030u;
            const bool border = x < 4 || y < 4 || x >= p.width - 4 || y >= p.height - 4;
            const bool marker = p.mouseX >= 0 && std::abs(x - p.mouseX) <= 3 && std::abs(y - p.mouseY) <= 3;
            p.pixels[static_cast<std::size_t>(y) * p.width + x] = marker                       ? 0xFFFFFFFFu
                                                                  : (border && p.keysDown > 0) ? 0xFFFFFF00u
                                                                                               : c;
        }
    }
}

void Usage(FILE* out) {
    std::fprintf(out, "usage: platform_probe [--size WIDTHxHEIGHT] [--title TEXT]\n"
                      "Opens a window (SDL2, or headless without a display or with PLATFORM_HEADLESS=1), shows a\n"
                      "moving test pattern and prints every message the window receives, one decoded line each,\n"
                      "prefixed with the number of frames presented so far. Ends when the window closes (exit 0) or\n"
                      "with WM_QUIT's code, e.g. after PLATFORM_FRAMES frames. Other controls: PLATFORM_KEYS,\n"
                      "PLATFORM_CAPTURE, PLATFORM_CAPTURE_EVERY, PLATFORM_FIXED_STEP (see tools/README.md).\n");
}

} // namespace

int main(int argc, char** argv) {
    std::string title = "platform probe";
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--help" || a == "-h") {
            Usage(stdout);
            return 0;
        }
        if (a == "--size" && i + 1 < argc) {
            int w = 0;
            int h = 0;
            char extra = 0;
            if (std::sscanf(argv[i + 1], "%dx%d%c", &w, &h, &extra) != 2 || w < 1 || h < 1 || w > 8192 || h > 8192) {
                std::fprintf(stderr, "platform_probe: bad --size '%s' (expected WIDTHxHEIGHT, 1 to 8192)\n",
                             argv[i + 1]);
                return 2;
            }
            g_probe.width = w;
            g_probe.height = h;
            ++i;
        } else if (a == "--title" && i + 1 < argc) {
            title = argv[++i];
        } else {
            std::fprintf(stderr, "platform_probe: unknown argument '%s'\n", argv[i]);
            Usage(stderr);
            return 2;
        }
    }

    std::printf("back end: %s\n", PlatformWindowBackendName());
    const HINSTANCE instance = GetModuleHandleA(nullptr);
    WNDCLASSA wc{};
    wc.lpfnWndProc = ProbeProc;
    wc.hInstance = instance;
    wc.hCursor = LoadCursorA(nullptr, IDC_ARROW);
    wc.lpszClassName = "PlatformProbe";
    if (RegisterClassA(&wc) == 0) {
        std::fprintf(stderr, "platform_probe: cannot register the window class (error %u)\n", GetLastError());
        return 1;
    }
    const HWND window =
        CreateWindowExA(0, "PlatformProbe", title.c_str(), WS_OVERLAPPEDWINDOW, CW_USEDEFAULT, CW_USEDEFAULT,
                        g_probe.width, g_probe.height, nullptr, nullptr, instance, nullptr);
    if (window == nullptr) {
        std::fprintf(stderr, "platform_probe: cannot create the window (error %u)\n", GetLastError());
        return 1;
    }
    ShowWindow(window, SW_SHOWNORMAL);
    UpdateWindow(window);

    const bool paced = std::strcmp(PlatformWindowBackendName(), "headless") != 0 && PlatformClockFixedStep() == 0.0;
    for (;;) {
        MSG msg;
        if (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
            if (msg.message == WM_QUIT) {
                Print(nullptr, msg.message, msg.wParam, msg.lParam);
                return static_cast<int>(msg.wParam);
            }
            TranslateMessage(&msg);
            DispatchMessageA(&msg);
            continue;
        }
        if (!IsWindow(window) || IsIconic(window)) {
            WaitMessage();
            continue;
        }
        Draw(PlatformPresentedFrames());
        PlatformPresent(window, g_probe.pixels.data(), static_cast<UINT>(g_probe.width),
                        static_cast<UINT>(g_probe.height), static_cast<UINT>(g_probe.width) * 4);
        if (paced)
            std::this_thread::sleep_for(std::chrono::milliseconds(16));
    }
}
