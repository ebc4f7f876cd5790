// The SDL2 back end: real windows, their events turned into the layer's input calls, frames
// shown through the window surface.

#include "platform/window.h"

#ifdef DUN_HAVE_SDL2

#include <SDL.h>

#include <pthread.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <unordered_map>

#ifdef DUN_HAVE_X11
#include <SDL_syswm.h>
#include <X11/Xlib.h>
#endif

namespace {

// SDL shows an error box in a process of its own on some video drivers (a fork of this one, or a
// helper program started from one). That process must not outlive the game: a fork made while
// this thread shows a box is killed when the game ends, whatever ends it.
thread_local pid_t t_boxParent = 0;

void EndBoxWithParent() {
    if (t_boxParent == 0)
        return;
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (getppid() != t_boxParent) // the game ended before the signal was asked for
        _exit(1);
}

bool Borderless(DWORD style) { return (style & WS_POPUP) != 0 && (style & WS_CAPTION) != WS_CAPTION; }

class SdlBackend;
SdlBackend* g_backend = nullptr;

class SdlBackend final : public PlatformBackend {
public:
    SdlBackend();

    // The video subsystem stays up until the process ends: quitting it unloads the display
    // libraries while some of their allocations are still held, which reads as leaks, and a
    // later start of the layer finds it ready.
    ~SdlBackend() override {
        if (connected_) {
            for (auto& [hwnd, window] : windows_)
                SDL_DestroyWindow(window);
            SDL_PumpEvents();
        }
        SDL_FlushEvents(SDL_FIRSTEVENT, SDL_LASTEVENT);
        Unwatch();
    }

    const char* Name() const override { return "sdl"; }

    bool CreateWindow(HWND hwnd, const char* title, int* x, int* y, int width, int height, DWORD style) override {
        Uint32 flags = SDL_WINDOW_HIDDEN;
        if ((style & WS_THICKFRAME) != 0)
            flags |= SDL_WINDOW_RESIZABLE;
        if (Borderless(style))
            flags |= SDL_WINDOW_BORDERLESS;
        const int px = *x == CW_USEDEFAULT ? static_cast<int>(SDL_WINDOWPOS_UNDEFINED) : *x;
        const int py = *x == CW_USEDEFAULT ? static_cast<int>(SDL_WINDOWPOS_UNDEFINED) : *y;
        SDL_Window* w = SDL_CreateWindow(title, px, py, std::max(width, 1), std::max(height, 1), flags);
        if (w == nullptr)
            return false;
        windows_[hwnd] = w;
        byId_[SDL_GetWindowID(w)] = hwnd;
        SDL_GetWindowPosition(w, x, y);
        Watch(w);
        return true;
    }

    void DestroyWindow(HWND hwnd) override {
        if (SDL_Window* w = Find(hwnd)) {
            byId_.erase(SDL_GetWindowID(w));
            SDL_DestroyWindow(w);
            windows_.erase(hwnd);
        }
    }

    void ShowWindow(HWND hwnd, bool visible) override {
        if (SDL_Window* w = Find(hwnd)) {
            if (visible) {
                SDL_ShowWindow(w);
                SDL_RaiseWindow(w);
            } else {
                SDL_HideWindow(w);
            }
        }
    }

    void PlaceWindow(HWND hwnd, int x, int y, int width, int height) override {
        if (SDL_Window* w = Find(hwnd)) {
            SDL_SetWindowPosition(w, x, y);
            SDL_SetWindowSize(w, std::max(width, 1), std::max(height, 1));
        }
    }

    void SetStyle(HWND hwnd, DWORD style) override {
        if (SDL_Window* w = Find(hwnd)) {
            SDL_SetWindowBordered(w, Borderless(style) ? SDL_FALSE : SDL_TRUE);
            SDL_SetWindowResizable(w, (style & WS_THICKFRAME) != 0 ? SDL_TRUE : SDL_FALSE);
        }
    }

    void Pump() override {
        SDL_Event e;
        while (SDL_PollEvent(&e) != 0)
            Translate(e);
        CloseLost();
    }

    void Wait(int timeoutMs) override {
        if (timeoutMs < 0)
            SDL_WaitEvent(nullptr);
        else
            SDL_WaitEventTimeout(nullptr, timeoutMs);
    }

    bool Present(HWND hwnd, const void* pixels, UINT width, UINT height, UINT pitch) override {
        SDL_Window* w = Find(hwnd);
        if (w == nullptr)
            return true; // a window without a real one (a child) shows nothing
        SDL_Surface* target = SDL_GetWindowSurface(w);
        SDL_Surface* frame = SDL_CreateRGBSurfaceWithFormatFrom(const_cast<void*>(pixels), static_cast<int>(width),
                                                                static_cast<int>(height), 32, static_cast<int>(pitch),
                                                                SDL_PIXELFORMAT_RGB888);
        bool ok = target != nullptr && frame != nullptr;
        if (ok) {
            SDL_SetSurfaceBlendMode(frame, SDL_BLENDMODE_NONE);
            ok = SDL_BlitScaled(frame, nullptr, target, nullptr) == 0 && SDL_UpdateWindowSurface(w) == 0;
        }
        SDL_FreeSurface(frame);
        return ok;
    }

    void WarpCursor(int screenX, int screenY) override { SDL_WarpMouseGlobal(screenX, screenY); }

    void ShowCursor(bool visible) override { SDL_ShowCursor(visible ? SDL_ENABLE : SDL_DISABLE); }

    void CaptureMouse(bool on) override { SDL_CaptureMouse(on ? SDL_TRUE : SDL_FALSE); }

    void RelativeMouse(HWND, bool on) override { SDL_SetRelativeMouseMode(on ? SDL_TRUE : SDL_FALSE); }

    // SDL's box is as wide as its longest line and centred on the first display, so a long line
    // would put it off the screen: the text is wrapped to the display's usable area first (with
    // PlatformBoxFont's metrics; the layout's bounds leave room for a larger font).
    void MessageBox(const char* caption, const char* text) override {
        SDL_Rect screen{};
        if (SDL_GetDisplayUsableBounds(0, &screen) != 0) {
            SDL_DisplayMode mode{};
            screen =
                SDL_GetCurrentDisplayMode(0, &mode) == 0 ? SDL_Rect{0, 0, mode.w, mode.h} : SDL_Rect{0, 0, 640, 480};
        }
        const auto lines = PlatformLayOutMessageBox(text, screen.w, screen.h, PlatformBoxFont{}).lines;
        std::string shown;
        for (std::size_t i = 0; i < lines.size(); ++i)
            shown += (i > 0 ? "\n" : "") + lines[i];
        t_boxParent = getpid();
        SDL_ShowSimpleMessageBox(SDL_MESSAGEBOX_ERROR, caption, shown.c_str(), nullptr);
        t_boxParent = 0;
    }

    bool ReadPixels(HWND hwnd, std::vector<std::uint32_t>* pixels, int* width, int* height) override {
        SDL_Window* w = Find(hwnd);
        SDL_Surface* s = w != nullptr ? SDL_GetWindowSurface(w) : nullptr;
        if (s == nullptr)
            return false;
        SDL_Surface* copy = SDL_ConvertSurfaceFormat(s, SDL_PIXELFORMAT_RGB888, 0);
        if (copy == nullptr)
            return false;
        *width = copy->w;
        *height = copy->h;
        pixels->resize(static_cast<std::size_t>(copy->w) * copy->h);
        for (int y = 0; y < copy->h; ++y)
            std::memcpy(pixels->data() + static_cast<std::size_t>(y) * copy->w,
                        static_cast<const std::uint8_t*>(copy->pixels) + static_cast<std::size_t>(y) * copy->pitch,
                        static_cast<std::size_t>(copy->w) * 4);
        for (std::uint32_t& p : *pixels)
            p &= 0x00FFFFFFu;
        SDL_FreeSurface(copy);
        return true;
    }

    void* Native(HWND hwnd) override { return Find(hwnd); }

private:
#ifdef DUN_HAVE_X11
    // Whether the X window is, or was, one of ours that the server has lost; the first time it
    // is heard of, its window is closed at the next pump. (SDL may replace a window's X window
    // with another, so the windows are asked which they have now.)
    bool Lost(::Window x) {
        if (std::find(lostIds_.begin(), lostIds_.end(), x) != lostIds_.end())
            return true;
        for (const auto& [hwnd, w] : windows_) {
            if (X11(w).info.x11.window == x) {
                lostIds_.push_back(x);
                MarkLost(hwnd);
                return true;
            }
        }
        return false;
    }

    void ConnectionLost() {
        connected_ = false;
        for (const auto& [hwnd, w] : windows_)
            MarkLost(hwnd);
    }

    static SDL_SysWMinfo X11(SDL_Window* w) {
        SDL_SysWMinfo info{};
        SDL_VERSION(&info.version);
        if (SDL_GetWindowWMInfo(w, &info) != SDL_TRUE || info.subsystem != SDL_SYSWM_X11)
            info.info.x11 = {};
        return info;
    }

    // An event of no meaning ends a wait that SDL is in: it may wait on for ever for a server
    // that is gone.
    void MarkLost(HWND hwnd) {
        lost_.push_back(hwnd);
        SDL_Event wake{};
        wake.type = SDL_USEREVENT;
        SDL_PushEvent(&wake);
    }

    void Watch(SDL_Window* w) {
        if (display_ == nullptr && (display_ = X11(w).info.x11.display) != nullptr)
            XSetIOErrorExitHandler(display_, OnConnectionLost, nullptr);
    }

    // The errors still coming for the windows lost are taken before the handlers go back.
    void Unwatch() {
        if (display_ != nullptr && connected_)
            XSync(display_, False);
        if (display_ != nullptr)
            XSetIOErrorExitHandler(display_, nullptr, nullptr);
        XSetIOErrorHandler(previousIoError_);
        XSetErrorHandler(previousXError_);
        g_backend = nullptr;
    }

    // An error on a window the server has lost is that window's end, not a fault of the game;
    // any other goes on to the handler that was there before.
    static int OnXError(Display* display, XErrorEvent* e) {
        if ((e->error_code == BadWindow || e->error_code == BadDrawable) && g_backend->Lost(e->resourceid))
            return 0;
        return g_backend->previousXError_ != nullptr ? g_backend->previousXError_(display, e) : 0;
    }

    // The server closed the connection (the game's client killed): every window is gone, and the
    // game ends as it does when they are closed. Xlib would end the process at once, in the
    // middle of a call, with exit destructors that wait for a server that answers nothing.
    static int OnIoError(Display* display) {
        if (display != g_backend->display_)
            return g_backend->previousIoError_(display);
        std::fprintf(stderr, "platform: the connection to the X server %s is lost; its windows are closed\n",
                     DisplayString(display));
        return 0;
    }

    static void OnConnectionLost(Display*, void*) { g_backend->ConnectionLost(); }

    void CloseLost() {
        for (const HWND hwnd : lost_) {
            if (SDL_Window* w = Find(hwnd)) {
                byId_.erase(SDL_GetWindowID(w));
                if (connected_) // without a server SDL would wait for its answer for ever
                    SDL_DestroyWindow(w);
                windows_.erase(hwnd);
                PlatformInputClose(hwnd);
            }
        }
        lost_.clear();
    }

    void Translate(const SDL_SysWMmsg& m) {
        if (m.subsystem == SDL_SYSWM_X11 && m.msg.x11.event.type == DestroyNotify)
            Lost(m.msg.x11.event.xdestroywindow.window);
    }
#else
    void Watch(SDL_Window*) {}
    void Unwatch() { g_backend = nullptr; }
    void CloseLost() {}
#endif

    SDL_Window* Find(HWND hwnd) const {
        const auto it = windows_.find(hwnd);
        return it == windows_.end() ? nullptr : it->second;
    }

    // The window an event belongs to; events without one go to the main window.
    HWND Owner(Uint32 id) const {
        const auto it = byId_.find(id);
        return it != byId_.end() ? it->second : PlatformMainWindow();
    }

    // Moves the layer's pointer to an event's position when it is not there yet.
    static void Follow(HWND hwnd, int x, int y) {
        POINT p{};
        RECT r{};
        GetCursorPos(&p);
        GetWindowRect(hwnd, &r);
        if (p.x - r.left != x || p.y - r.top != y)
            PlatformInputMouseMove(hwnd, x, y, 0, 0);
    }

    void Translate(const SDL_Event& e) {
        switch (e.type) {
        case SDL_KEYDOWN:
        case SDL_KEYUP: {
            const HWND hwnd = Owner(e.key.windowID);
            const PlatformKey* key = PlatformKeyByUsb(e.key.keysym.scancode);
            if (hwnd != nullptr && key != nullptr)
                PlatformInputKey(hwnd, *key, e.type == SDL_KEYDOWN);
            break;
        }
        case SDL_MOUSEMOTION:
            if (const HWND hwnd = Owner(e.motion.windowID))
                PlatformInputMouseMove(hwnd, e.motion.x, e.motion.y, e.motion.xrel, e.motion.yrel);
            break;
        case SDL_MOUSEBUTTONDOWN:
        case SDL_MOUSEBUTTONUP: {
            const HWND hwnd = Owner(e.button.windowID);
            const int button = e.button.button == SDL_BUTTON_LEFT     ? 0
                               : e.button.button == SDL_BUTTON_RIGHT  ? 1
                               : e.button.button == SDL_BUTTON_MIDDLE ? 2
                                                                      : -1;
            if (hwnd == nullptr || button < 0)
                break;
            Follow(hwnd, e.button.x, e.button.y);
            PlatformInputMouseButton(hwnd, button, e.type == SDL_MOUSEBUTTONDOWN);
            break;
        }
        case SDL_MOUSEWHEEL: {
            const HWND hwnd = Owner(e.wheel.windowID);
            int notches = e.wheel.y;
            if (e.wheel.direction == SDL_MOUSEWHEEL_FLIPPED)
                notches = -notches;
            if (hwnd != nullptr && notches != 0)
                PlatformInputWheel(hwnd, notches * WHEEL_DELTA);
            break;
        }
        case SDL_WINDOWEVENT:
            Window(e.window);
            break;
#ifdef DUN_HAVE_X11
        case SDL_SYSWMEVENT:
            Translate(*e.syswm.msg);
            break;
#endif
        case SDL_DROPBEGIN:
            dropping_ = true;
            dropped_.clear();
            break;
        case SDL_DROPFILE:
            if (e.drop.file != nullptr) {
                dropped_.emplace_back(e.drop.file);
                SDL_free(e.drop.file);
            }
            if (!dropping_) {
                Drop(e.drop.windowID);
            }
            break;
        case SDL_DROPCOMPLETE:
            dropping_ = false;
            Drop(e.drop.windowID);
            break;
        default:
            break;
        }
    }

    void Drop(Uint32 id) {
        if (const HWND hwnd = Owner(id); hwnd != nullptr && !dropped_.empty())
            PlatformInputDrop(hwnd, dropped_);
        dropped_.clear();
    }

    void Window(const SDL_WindowEvent& e) {
        const HWND hwnd = Owner(e.windowID);
        if (hwnd == nullptr)
            return;
        RECT r{};
        GetClientRect(hwnd, &r);
        switch (e.event) {
        case SDL_WINDOWEVENT_FOCUS_GAINED:
            PlatformInputFocus(hwnd, true);
            break;
        case SDL_WINDOWEVENT_FOCUS_LOST:
            PlatformInputFocus(hwnd, false);
            break;
        case SDL_WINDOWEVENT_CLOSE:
            PlatformInputClose(hwnd);
            break;
        case SDL_WINDOWEVENT_MOVED:
            PlatformInputMoved(hwnd, e.data1, e.data2);
            break;
        case SDL_WINDOWEVENT_SIZE_CHANGED:
            // Sizes the layer set itself are known already.
            if (e.data1 != r.right || e.data2 != r.bottom)
                PlatformInputResize(hwnd, e.data1, e.data2,
                                    (SDL_GetWindowFlags(Find(hwnd)) & SDL_WINDOW_MAXIMIZED) != 0 ? SIZE_MAXIMIZED
                                                                                                 : SIZE_RESTORED);
            break;
        case SDL_WINDOWEVENT_MINIMIZED:
            if (!IsIconic(hwnd))
                PlatformInputResize(hwnd, 0, 0, SIZE_MINIMIZED);
            break;
        case SDL_WINDOWEVENT_MAXIMIZED:
            PlatformInputResize(hwnd, r.right, r.bottom, SIZE_MAXIMIZED);
            break;
        case SDL_WINDOWEVENT_RESTORED:
            if (IsIconic(hwnd))
                PlatformInputResize(hwnd, r.right, r.bottom, SIZE_RESTORED);
            break;
        default:
            break;
        }
    }

    std::unordered_map<HWND, SDL_Window*> windows_;
    std::unordered_map<Uint32, HWND> byId_;
    bool dropping_ = false;
    std::vector<std::string> dropped_;
#ifdef DUN_HAVE_X11
    // The X windows lost, and the windows lost not closed yet.
    std::vector<::Window> lostIds_;
    std::vector<HWND> lost_;
    Display* display_ = nullptr;
    XErrorHandler previousXError_ = nullptr;
    XIOErrorHandler previousIoError_ = nullptr;
#endif
    bool connected_ = true;
};

// The window's X events come to the pump too, and X errors first to this back end.
SdlBackend::SdlBackend() {
    g_backend = this;
#ifdef DUN_HAVE_X11
    SDL_EventState(SDL_SYSWMEVENT, SDL_ENABLE);
    previousXError_ = XSetErrorHandler(OnXError);
    previousIoError_ = XSetIOErrorHandler(OnIoError);
#endif
}

} // namespace

// The message-bus library that SDL opens keeps one buffer it never frees; the leak checker of
// sanitizer builds is told so, and nothing else.
extern "C" const char* __lsan_default_suppressions() { return "leak:libdbus-1.so\n"; }

extern "C" const char* __lsan_default_options() { return "print_suppressions=0"; }

std::unique_ptr<PlatformBackend> PlatformSdlBackend(std::string* error) {
    static const int boxFork = pthread_atfork(nullptr, nullptr, EndBoxWithParent);
    (void)boxFork;
    SDL_SetHint(SDL_HINT_NO_SIGNAL_HANDLERS, "1");
    SDL_SetHint(SDL_HINT_VIDEO_MINIMIZE_ON_FOCUS_LOSS, "0");
    // Only drivers that show windows on a desktop (SDL_VIDEODRIVER still chooses another).
    const char* wayland = std::getenv("WAYLAND_DISPLAY");
    SDL_SetHintWithPriority(SDL_HINT_VIDEODRIVER, wayland != nullptr && wayland[0] != '\0' ? "wayland,x11" : "x11",
                            SDL_HINT_DEFAULT);
    if (SDL_Init(SDL_INIT_VIDEO) != 0) {
        *error = SDL_GetError();
        SDL_Quit();
        return nullptr;
    }
    const char* driver = SDL_GetCurrentVideoDriver();
    if (driver == nullptr || std::strcmp(driver, "dummy") == 0 || std::strcmp(driver, "offscreen") == 0) {
        *error = std::string("the video driver '") + (driver != nullptr ? driver : "") + "' shows nothing";
        SDL_QuitSubSystem(SDL_INIT_VIDEO);
        return nullptr;
    }
    return std::make_unique<SdlBackend>();
}

#else

std::unique_ptr<PlatformBackend> PlatformSdlBackend(std::string* error) {
    *error = "this build has no SDL2 back end";
    return nullptr;
}

#endif
