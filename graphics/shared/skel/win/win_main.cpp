// The process entry, the message loop and the window procedure of "OvAppClass": window
// messages become the shell's events.

#include <string>

#include "graphics/core/file_system.h"
#include "graphics/shared/skel/win/exit_status.h"
#include "graphics/shared/skel/win/skeleton.h"
#include "graphics/shared/skel/win/skeleton_internal.h"

namespace {

constexpr const char* kClassName = "OvAppClass";
constexpr UINT_PTR kInactiveTimer = 1; // frames of an inactive window, every 20 ms
constexpr UINT kInactivePeriodMs = 20;
constexpr UINT kDroppedNameChars = 260;

// Calls the handler of an input device directly; nothing happens when none is installed.
void ToDevice(std::uint32_t device, std::int32_t event, void* parameter) {
    const SkelState::Device& d = SkelGetState()->devices[device];
    if (d.installed != 0 && d.handler != nullptr) {
        d.handler(event, parameter);
    }
}

SkelKeyRecord KeyFromLParam(LPARAM lParam) {
    const auto bits = static_cast<std::uint32_t>(lParam);
    std::uint32_t scan = (bits >> 16) & 0xFFu;
    if ((bits & (1u << 24)) != 0) {
        scan += 128;
    }
    return {scan, SkelKeyCode(scan)};
}

SkelMouseRecord MouseFromMessage(WPARAM wParam, LPARAM lParam) {
    SkelMouseRecord m{};
    m.x = static_cast<float>(GET_X_LPARAM(lParam));
    m.y = static_cast<float>(GET_Y_LPARAM(lParam));
    m.shift = (wParam & MK_SHIFT) != 0 ? 1u : 0u;
    m.control = (wParam & MK_CONTROL) != 0 ? 1u : 0u;
    return m;
}

// A dropped name is taken when it has a drive (':') or is a network path (a third '\') before
// its end.
bool FullDroppedName(const char* name) {
    int slashes = 0;
    for (const char* c = name; *c != '\0'; ++c) {
        if (*c == ':' || (*c == '\\' && ++slashes == 3)) {
            return true;
        }
    }
    return false;
}

// Dropped files are offered as file loads through a file system with no device prefix, which
// takes the full names as they are; the default file system is restored afterwards.
void DropFiles(HDROP drop) {
    OvFileSystem* before = OvFSManagerGetDefaultFileSystem();
    const UINT count = DragQueryFileA(drop, 0xFFFFFFFFu, nullptr, 0);
    for (UINT i = count; i-- > 0;) {
        char name[kDroppedNameChars] = {};
        if (DragQueryFileA(drop, i, name, kDroppedNameChars) == 0 || name[0] == '\0' || !FullDroppedName(name)) {
            continue;
        }
        OvFileSystem* fs = OvWinFSCreate(20, "", "uncd");
        if (fs == nullptr) {
            fs = OvFSManagerFindFileSystem("uncd");
        } else if (!OvFSManagerRegister(fs)) {
            SkelDiscardFileSystem(fs);
            fs = nullptr;
        }
        if (fs != nullptr) {
            OvFSManagerSetDefaultFileSystem(fs);
            SkelEventDispatch(SKEL_EVENT_FILE_LOAD, name);
        }
    }
    OvFSManagerSetDefaultFileSystem(before);
    DragFinish(drop);
}

} // namespace

LRESULT SkelWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    SkelState* s = SkelGetState();
    switch (message) {
    case WM_CREATE:
        DragAcceptFiles(window, TRUE);
        return 0;
    case WM_DESTROY:
    case WM_CLOSE:
        // Closing does not destroy the window: the entry point does so after the loop.
        ClipCursor(nullptr);
        PostQuitMessage(0);
        return 0;
    case WM_SIZE: {
        const int width = LOWORD(static_cast<std::uintptr_t>(lParam));
        const int height = HIWORD(static_cast<std::uintptr_t>(lParam));
        if (!s->graphicsOpen || width <= 0 || height <= 0) {
            break;
        }
        SkelSizeRect rect = {0, 0, width, height};
        SkelEventDispatch(SKEL_EVENT_CAMERA_SIZE, &rect);
        if (rect.width != width && rect.height != height) {
            ReleaseCapture();
            // A maximised window is not told of the changed size with a position message here:
            // that message carries no position record, and the default handling would read one.
        }
        return 0;
    }
    case WM_SIZING: {
        if (s->graphicsOpen) {
            SkelEventDispatch(SKEL_EVENT_IDLE, nullptr);
        }
        if (const auto* dragged = reinterpret_cast<const RECT*>(lParam)) {
            SetWindowPos(window, HWND_TOP, 0, 0, dragged->right - dragged->left, dragged->bottom - dragged->top,
                         SWP_NOMOVE);
        }
        return 0;
    }
    case WM_ACTIVATE:
        if (LOWORD(wParam) != 0) {
            KillTimer(window, kInactiveTimer);
            s->windowActive = true;
            SkelEventDispatch(SKEL_EVENT_ACTIVATE, reinterpret_cast<void*>(std::intptr_t{1}));
        } else {
            SetTimer(window, kInactiveTimer, kInactivePeriodMs, nullptr);
            s->windowActive = false;
            SkelEventDispatch(SKEL_EVENT_ACTIVATE, reinterpret_cast<void*>(std::intptr_t{0}));
        }
        return 0;
    case WM_TIMER:
        if (s->graphicsOpen) {
            SkelEventDispatch(SKEL_EVENT_IDLE, nullptr);
        }
        return 0;
    case WM_KEYDOWN:
    case WM_SYSKEYDOWN: {
        if ((static_cast<std::uint32_t>(lParam) & (1u << 30)) != 0) {
            return 0; // auto-repeat
        }
        SkelKeyRecord key = KeyFromLParam(lParam);
        ToDevice(SKEL_DEVICE_KEYBOARD, SKEL_EVENT_KEY_DOWN, &key);
        if (message == WM_KEYDOWN && key.keyCode == SKEL_KEY_ESC) {
            SkelEventDispatch(SKEL_EVENT_QUIT, nullptr);
        }
        return 0;
    }
    case WM_KEYUP:
    case WM_SYSKEYUP: {
        SkelKeyRecord key = KeyFromLParam(lParam);
        ToDevice(SKEL_DEVICE_KEYBOARD, SKEL_EVENT_KEY_UP, &key);
        return 0;
    }
    case WM_MOUSEMOVE: {
        if (!s->windowActive) {
            return 0;
        }
        SkelMouseRecord m = MouseFromMessage(wParam, lParam);
        if (s->mousePositionKnown) {
            m.dx = m.x - s->platform.lastMouseX;
            m.dy = m.y - s->platform.lastMouseY;
            ToDevice(SKEL_DEVICE_MOUSE, SKEL_EVENT_MOUSE_MOVE, &m);
        }
        // The first move after start or after a pointer set only records where the pointer is.
        s->mousePositionKnown = true;
        s->platform.lastMouseX = m.x;
        s->platform.lastMouseY = m.y;
        return 0;
    }
    case WM_LBUTTONDOWN:
    case WM_RBUTTONDOWN: {
        SkelMouseRecord m = MouseFromMessage(wParam, lParam);
        SetCapture(window);
        ToDevice(SKEL_DEVICE_MOUSE,
                 message == WM_LBUTTONDOWN ? SKEL_EVENT_MOUSE_LEFT_DOWN : SKEL_EVENT_MOUSE_RIGHT_DOWN, &m);
        return 0;
    }
    case WM_LBUTTONUP:
    case WM_RBUTTONUP:
        ReleaseCapture();
        ToDevice(SKEL_DEVICE_MOUSE, message == WM_LBUTTONUP ? SKEL_EVENT_MOUSE_LEFT_UP : SKEL_EVENT_MOUSE_RIGHT_UP,
                 nullptr);
        return 0;
    case WM_MOUSEWHEEL: {
        SkelWheelRecord wheel = {GET_WHEEL_DELTA_WPARAM(wParam) >= 0 ? 1u : 0u};
        ToDevice(SKEL_DEVICE_MOUSE, SKEL_EVENT_MOUSE_WHEEL, &wheel);
        return 0;
    }
    case WM_DROPFILES:
        DropFiles(reinterpret_cast<HDROP>(wParam));
        return 0;
    default:
        break;
    }
    return DefWindowProcA(window, message, wParam, lParam);
}

int SkelWinMain(HINSTANCE instance, HINSTANCE /*previousInstance*/, LPSTR /*commandLine*/, int showCommand) {
    if (SkelEventDispatch(SKEL_EVENT_APP_START, nullptr) == SKEL_EVENT_FAILED) {
        return kSkelFailureStatus;
    }
    SkelState* s = SkelGetState();

    WNDCLASSA wc{};
    wc.style = CS_BYTEALIGNWINDOW;
    wc.lpfnWndProc = SkelWindowProc;
    wc.hInstance = instance;
    wc.hCursor = LoadCursorA(nullptr, IDC_ARROW);
    wc.lpszClassName = kClassName;
    if (RegisterClassA(&wc) == 0) {
        return kSkelFailureStatus;
    }

    int argc = 0;
    char** argv = SkelSplitCommandLine(GetCommandLineA(), &argc);
    for (int i = 1; i < argc; ++i) {
        SkelEventDispatch(SKEL_EVENT_PRE_OPEN_ARGUMENT, argv[i]);
    }

    RECT rect = {0, 0, s->width, s->height};
    AdjustWindowRect(&rect, WS_OVERLAPPEDWINDOW, FALSE);
    const HWND window =
        CreateWindowExA(0, kClassName, s->title, WS_OVERLAPPEDWINDOW, CW_USEDEFAULT, CW_USEDEFAULT,
                        rect.right - rect.left, rect.bottom - rect.top, nullptr, nullptr, instance, nullptr);
    s->platform.window = window;
    s->platform.instance = instance;
    if (window == nullptr) {
        SkelFreeCommandLine(argv);
        return kSkelFailureStatus;
    }

    if (SkelEventDispatch(SKEL_EVENT_GRAPHICS_OPEN, &s->platform) == SKEL_EVENT_FAILED) {
        DestroyWindow(window);
        SkelEventDispatch(SKEL_EVENT_APP_STOP, nullptr);
        SkelFreeCommandLine(argv);
        return kSkelFailureStatus;
    }

    s->graphicsOpen = true;
    for (int i = 1; i < argc; ++i) {
        SkelEventDispatch(SKEL_EVENT_ARGUMENT, argv[i]);
    }
    SkelSizeRect size = {0, 0, s->width, s->height};
    SkelEventDispatch(SKEL_EVENT_CAMERA_SIZE, &size);
    ShowWindow(window, showCommand);
    UpdateWindow(window);
    SkelMousePointerSet(static_cast<float>(s->width / 2), static_cast<float>(s->height / 2));

    // A quit through the quit flag (ESC) exits with 0; a quit message with its own code. Either
    // way an application that failed on the way (and set the failure status) exits with that.
    int exitCode = 0;
    while (!s->quit) {
        MSG msg{};
        if (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE | PM_NOYIELD)) {
            if (msg.message == WM_QUIT) {
                exitCode = static_cast<int>(msg.wParam);
                break;
            }
            TranslateMessage(&msg);
            DispatchMessageA(&msg);
        } else if (!s->windowActive) {
            WaitMessage();
        } else if (s->graphicsOpen) {
            SkelEventDispatch(SKEL_EVENT_IDLE, nullptr);
        }
    }

    s->graphicsOpen = false;
    SkelEventDispatch(SKEL_EVENT_GRAPHICS_CLOSE, nullptr);
    DestroyWindow(window);
    SkelEventDispatch(SKEL_EVENT_APP_STOP, nullptr);
    SkelFreeCommandLine(argv);
    return exitCode != 0 ? exitCode : SkelGetFailureStatus();
}
