// Windows, the message queue, timers, cursor, dialogs, message boxes, dropped files and the
// shell, over a back end (platform/window.h). One thread: every call comes from the thread that
// runs the message loop.

#include "platform/window.h"

#include "platform/clock.h"
#include "platform/controls.h"
#include "platform/crt.h"
#include "platform/file.h"
#include "platform/present.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <map>
#include <string_view>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

struct HWND__ {
    enum class Kind { Window, Dialog, Control };
    Kind kind = Kind::Window;
    std::string title;
    WNDPROC proc = nullptr;
    DLGPROC dialogProc = nullptr;
    HINSTANCE instance = nullptr;
    LONG style = 0;
    LONG exStyle = 0;
    int x = 0; // client area in screen coordinates
    int y = 0;
    int width = 0;
    int height = 0;
    bool visible = false;
    bool shown = false; // shown at least once
    bool iconic = false;
    bool acceptFiles = false;
    HWND parent = nullptr;
    bool realised = false; // the back end made a window for it
    // Dialogs and their controls.
    int controlId = 0;
    bool ended = false;
    INT_PTR result = 0;
    PlatformDialogControl list;
};

struct HDROP__ {
    std::vector<std::string> names;
};

namespace {

struct WindowClass {
    std::string name;
    WNDCLASSA wc;
};

struct Timer {
    HWND window;
    UINT_PTR id;
    UINT elapse;
    std::uint64_t due; // milliseconds on the layer's clock
    TIMERPROC proc;
};

class HeadlessBackend final : public PlatformBackend {
public:
    const char* Name() const override { return "headless"; }
    bool CreateWindow(HWND, const char*, int* x, int* y, int, int, DWORD) override {
        if (*x == CW_USEDEFAULT)
            *x = 64;
        if (*y == CW_USEDEFAULT)
            *y = 64;
        return true;
    }
    void DestroyWindow(HWND window) override { shown.erase(window); }
    void ShowWindow(HWND, bool) override {}
    void PlaceWindow(HWND, int, int, int, int) override {}
    void SetStyle(HWND, DWORD) override {}
    void Pump() override {}
    void Wait(int timeoutMs) override {
        if (timeoutMs <= 0)
            return; // nothing can arrive
        timespec ts{timeoutMs / 1000, static_cast<long>(timeoutMs % 1000) * 1000000L};
        nanosleep(&ts, nullptr);
    }
    // Nothing is shown, but each window keeps its last frame for ReadPixels: copied as it comes
    // (a frame is presented far more often than read), its alpha byte cleared when read.
    bool Present(HWND window, const void* pixels, UINT width, UINT height, UINT pitch) override {
        Frame& f = shown[window];
        f.width = static_cast<int>(width);
        f.height = static_cast<int>(height);
        const std::size_t row = std::size_t{width} * 4;
        f.pixels.resize(static_cast<std::size_t>(width) * height);
        if (pitch == row) {
            std::memcpy(f.pixels.data(), pixels, row * height);
        } else {
            for (UINT y = 0; y < height; ++y)
                std::memcpy(f.pixels.data() + static_cast<std::size_t>(y) * width,
                            static_cast<const BYTE*>(pixels) + static_cast<std::size_t>(y) * pitch, row);
        }
        return true;
    }
    void WarpCursor(int, int) override {}
    void ShowCursor(bool) override {}
    void CaptureMouse(bool) override {}
    void RelativeMouse(HWND, bool) override {}
    void MessageBox(const char*, const char*) override {}
    bool ReadPixels(HWND window, std::vector<std::uint32_t>* pixels, int* width, int* height) override {
        const auto it = shown.find(window);
        if (it == shown.end())
            return false;
        *pixels = it->second.pixels;
        for (std::uint32_t& p : *pixels)
            p &= 0xFFFFFFu;
        *width = it->second.width;
        *height = it->second.height;
        return true;
    }
    void* Native(HWND) override { return nullptr; }

private:
    struct Frame {
        int width = 0;
        int height = 0;
        std::vector<std::uint32_t> pixels;
    };
    std::map<HWND, Frame> shown;
};

struct Layer {
    bool started = false;
    std::unique_ptr<PlatformBackend> backend;
    PlatformControls controls;
    bool interactive = false; // windowed and not driven by a script
    std::vector<WindowClass> classes;
    std::vector<std::unique_ptr<HWND__>> windows;
    std::vector<std::unique_ptr<HDROP__>> drops;
    std::deque<MSG> queue;
    bool quitPosted = false;
    int quitCode = 0;
    std::vector<Timer> timers;
    UINT_PTR nextThreadTimer = 0x7FF0;
    HWND active = nullptr;
    HWND focus = nullptr;
    HWND capture = nullptr;
    bool clipping = false;
    RECT clip{};
    POINT cursor{};
    int cursorCounter = 0;
    bool keyDown[512] = {};
    bool altCombo = false; // a key went down while alt was held
    unsigned buttons = 0;  // MK_LBUTTON | MK_RBUTTON | MK_MBUTTON
    long frames = 0;
    long idleLooks = 0; // looks into an empty queue since the last frame presented
    long messageWaits = 0;
    bool headless = false;
    std::size_t scriptNext = 0;
    std::vector<PlatformDialogControl> lastDialog;
};

Layer g_layer;

// Records of destroyed windows. A window handle is its record's address; keeping the (emptied)
// record for the life of the process means no later window can get a destroyed window's handle,
// so a stale handle stays invalid instead of reaching whichever window came next.
std::vector<std::unique_ptr<HWND__>> g_retired;

std::uint64_t NowMs() { return static_cast<std::uint64_t>(PlatformClockSeconds() * 1000.0 + 1e-6); }

void Start() {
    Layer& L = g_layer;
    L.started = true;
    std::string error;
    if (!PlatformControlsFromEnvironment(&L.controls, &error)) {
        std::fprintf(stderr, "%s\n", error.c_str());
        std::exit(2);
    }
    if (L.controls.fixedStep > 0.0 && PlatformClockFixedStep() != L.controls.fixedStep)
        PlatformClockSetFixedStep(L.controls.fixedStep);
    if (!L.controls.headless) {
        const char* x11 = std::getenv("DISPLAY");
        const char* wayland = std::getenv("WAYLAND_DISPLAY");
        if ((x11 == nullptr || x11[0] == '\0') && (wayland == nullptr || wayland[0] == '\0')) {
            std::fprintf(stderr, "platform: no display; running headless\n");
        } else {
            L.backend = PlatformSdlBackend(&error);
            if (!L.backend)
                std::fprintf(stderr, "platform: cannot open a window (%s); running headless\n", error.c_str());
        }
    }
    if (!L.backend)
        L.backend = std::make_unique<HeadlessBackend>();
    L.headless = std::strcmp(L.backend->Name(), "headless") == 0;
    L.interactive = !L.headless && L.controls.frames == 0 && L.controls.script.empty();
}

Layer& S() {
    if (!g_layer.started)
        Start();
    return g_layer;
}

bool Valid(HWND w) {
    if (w == nullptr)
        return false;
    for (const auto& p : g_layer.windows)
        if (p.get() == w)
            return true;
    return false;
}

// Checks a window argument, setting the last error when it is not a window.
bool Check(HWND w) {
    S();
    if (Valid(w))
        return true;
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return false;
}

bool TopLevel(HWND w) { return w->kind == HWND__::Kind::Window && (static_cast<DWORD>(w->style) & WS_CHILD) == 0; }

void Post(HWND w, UINT message, WPARAM wParam, LPARAM lParam) {
    Layer& L = S();
    MSG m{};
    m.hwnd = w;
    m.message = message;
    m.wParam = wParam;
    m.lParam = lParam;
    m.time = timeGetTime();
    m.pt = L.cursor;
    L.queue.push_back(m);
}

WPARAM KeyFlags() {
    const Layer& L = g_layer;
    WPARAM f = L.buttons;
    const PlatformKey* ls = PlatformKeyByName("LSHIFT");
    const PlatformKey* rs = PlatformKeyByName("RSHIFT");
    const PlatformKey* lc = PlatformKeyByName("LCONTROL");
    const PlatformKey* rc = PlatformKeyByName("RCONTROL");
    auto down = [&](const PlatformKey* k) { return L.keyDown[k->scan | (k->extended ? 256 : 0)]; };
    if (down(ls) || down(rs))
        f |= MK_SHIFT;
    if (down(lc) || down(rc))
        f |= MK_CONTROL;
    return f;
}

bool AltDown() {
    const Layer& L = g_layer;
    const PlatformKey* la = PlatformKeyByName("LMENU");
    const PlatformKey* ra = PlatformKeyByName("RMENU");
    return L.keyDown[la->scan] || L.keyDown[ra->scan | 256];
}

LPARAM ClientLParam(HWND w) {
    const Layer& L = g_layer;
    return MAKELPARAM(static_cast<WORD>(static_cast<short>(L.cursor.x - w->x)),
                      static_cast<WORD>(static_cast<short>(L.cursor.y - w->y)));
}

void SetActive(HWND w, bool active, bool send) {
    Layer& L = g_layer;
    const HWND before = L.active;
    if (active == (before == w))
        return;
    L.active = active ? w : nullptr;
    const WPARAM wp = MAKEWPARAM(active ? WA_ACTIVE : WA_INACTIVE, w->iconic ? 1 : 0);
    PlatformMouseFeedFocus(w, active);
    if (send)
        SendMessageA(w, WM_ACTIVATE, wp, 0);
    else
        Post(w, WM_ACTIVATE, wp, 0);
}

void FreeWindow(HWND w) {
    Layer& L = g_layer;
    L.timers.erase(std::remove_if(L.timers.begin(), L.timers.end(), [&](const Timer& t) { return t.window == w; }),
                   L.timers.end());
    L.queue.erase(std::remove_if(L.queue.begin(), L.queue.end(), [&](const MSG& m) { return m.hwnd == w; }),
                  L.queue.end());
    if (L.capture == w) {
        L.capture = nullptr;
        L.backend->CaptureMouse(false);
    }
    if (L.active == w) {
        L.active = nullptr;
        PlatformMouseFeedFocus(w, false);
    }
    if (L.focus == w)
        L.focus = nullptr;
    if (w->realised)
        L.backend->DestroyWindow(w);
    auto at = std::find_if(L.windows.begin(), L.windows.end(), [&](const auto& p) { return p.get() == w; });
    if (at != L.windows.end()) {
        *w = HWND__{}; // its strings and lists go now; the address stays taken
        g_retired.push_back(std::move(*at));
        L.windows.erase(at);
    }
}

void RunScript();

void Pump() {
    Layer& L = S();
    L.backend->Pump();
    RunScript();
}

bool Matches(const MSG& m, HWND filter, UINT lo, UINT hi) {
    if (filter == reinterpret_cast<HWND>(static_cast<std::intptr_t>(-1))) {
        if (m.hwnd != nullptr)
            return false;
    } else if (filter != nullptr && m.hwnd != filter) {
        return false;
    }
    return (lo == 0 && hi == 0) || (m.message >= lo && m.message <= hi);
}

// Script input -------------------------------------------------------------------------------

void ScriptButton(HWND w, const std::string& name, bool down) {
    const int button = _stricmp(name.c_str(), "LBUTTON") == 0 ? 0 : _stricmp(name.c_str(), "RBUTTON") == 0 ? 1 : 2;
    PlatformInputMouseButton(w, button, down);
}

void ScriptKey(HWND w, const std::string& name, bool down) {
    if (const PlatformKey* k = PlatformKeyByName(name.c_str()))
        PlatformInputKey(w, *k, down);
    else
        ScriptButton(w, name, down);
}

void RunScript() {
    using Kind = PlatformScriptEvent::Kind;
    Layer& L = g_layer;
    const HWND w = PlatformMainWindow();
    if (w == nullptr)
        return;
    while (L.scriptNext < L.controls.script.size() && L.controls.script[L.scriptNext].frame <= L.frames) {
        const PlatformScriptEvent& e = L.controls.script[L.scriptNext++];
        const int cx = L.cursor.x - w->x;
        const int cy = L.cursor.y - w->y;
        switch (e.kind) {
        case Kind::Press:
            ScriptKey(w, e.key, true);
            ScriptKey(w, e.key, false);
            break;
        case Kind::Down:
            ScriptKey(w, e.key, true);
            break;
        case Kind::Up:
            ScriptKey(w, e.key, false);
            break;
        case Kind::Move:
            PlatformInputMouseMove(w, e.x, e.y, e.x - cx, e.y - cy);
            break;
        case Kind::Rel:
            PlatformInputMouseMove(w, cx + e.x, cy + e.y, e.x, e.y);
            break;
        case Kind::Wheel:
            PlatformInputWheel(w, e.x * WHEEL_DELTA);
            break;
        case Kind::Drop:
            PlatformInputDrop(w, {e.path});
            break;
        case Kind::Close:
            PlatformInputClose(w);
            break;
        case Kind::Activate:
            PlatformInputFocus(w, true);
            break;
        case Kind::Deactivate:
            PlatformInputFocus(w, false);
            break;
        }
    }
}

// Dialog controls: every control keeps a list, as a combo box does.
LRESULT ControlProc(HWND c, UINT message, WPARAM wParam, LPARAM lParam) {
    PlatformDialogControl& l = c->list;
    const auto count = static_cast<WPARAM>(l.texts.size());
    switch (message) {
    case CB_ADDSTRING:
        if (lParam == 0)
            return CB_ERR;
        l.texts.emplace_back(reinterpret_cast<const char*>(lParam));
        l.data.push_back(0);
        return static_cast<LRESULT>(count);
    case CB_RESETCONTENT:
        l.texts.clear();
        l.data.clear();
        l.selection = -1;
        return 0;
    case CB_GETCOUNT:
        return static_cast<LRESULT>(count);
    case CB_SETCURSEL:
        if (wParam >= count) {
            l.selection = -1;
            return CB_ERR;
        }
        l.selection = static_cast<int>(wParam);
        return static_cast<LRESULT>(wParam);
    case CB_GETCURSEL:
        return l.selection;
    case CB_SETITEMDATA:
        if (wParam >= count)
            return CB_ERR;
        l.data[wParam] = lParam;
        return 0;
    case CB_GETITEMDATA:
        return wParam < count ? l.data[wParam] : CB_ERR;
    default:
        return 0;
    }
}

HWND DialogControl(HWND dialog, int id, bool create) {
    Layer& L = g_layer;
    for (const auto& p : L.windows)
        if (p->kind == HWND__::Kind::Control && p->parent == dialog && p->controlId == id)
            return p.get();
    if (!create)
        return nullptr;
    auto c = std::make_unique<HWND__>();
    c->kind = HWND__::Kind::Control;
    c->parent = dialog;
    c->controlId = id;
    c->list.id = id;
    c->style = static_cast<LONG>(WS_CHILD | WS_VISIBLE);
    L.windows.push_back(std::move(c));
    return L.windows.back().get();
}

std::string WindowsPath(const std::string& path) {
    std::string p = path;
    if (!p.empty() && p[0] != '/') {
        char cwd[4096];
        if (getcwd(cwd, sizeof cwd) != nullptr)
            p = std::string(cwd) + "/" + p;
    }
    std::replace(p.begin(), p.end(), '/', '\\');
    return p;
}

HINSTANCE ShellResult(std::intptr_t code) { return reinterpret_cast<HINSTANCE>(code); }

// Whether execlp would find the program along PATH (the system's own search path without one).
bool OnPath(const char* program) {
    const char* path = std::getenv("PATH");
    std::string dirs = path != nullptr ? path : "/bin:/usr/bin";
    for (std::size_t start = 0; start <= dirs.size();) {
        std::size_t end = dirs.find(':', start);
        if (end == std::string::npos)
            end = dirs.size();
        const std::string dir = end > start ? dirs.substr(start, end - start) : ".";
        if (::access((dir + "/" + program).c_str(), X_OK) == 0)
            return true;
        start = end + 1;
    }
    return false;
}

} // namespace

// Layer queries and input -----------------------------------------------------------------------

const char* PlatformWindowBackendName() { return S().backend->Name(); }

void PlatformWindowReset() {
    Layer& L = g_layer;
    if (L.started) {
        while (!L.windows.empty())
            FreeWindow(L.windows.back().get());
    }
    PlatformMouseFeedReset();
    L.backend.reset();
    g_layer = Layer();
}

HWND PlatformMainWindow() {
    for (const auto& p : S().windows)
        if (TopLevel(p.get()))
            return p.get();
    return nullptr;
}

HWND PlatformActiveWindow() { return S().active; }

int PlatformCursorCounter() { return S().cursorCounter; }

const std::vector<PlatformDialogControl>& PlatformLastDialog() { return S().lastDialog; }

bool PlatformReadWindowPixels(HWND w, std::vector<std::uint32_t>* pixels, int* width, int* height) {
    return Check(w) && S().backend->ReadPixels(w, pixels, width, height);
}

void* PlatformNativeWindow(HWND w) { return Check(w) && w->realised ? S().backend->Native(w) : nullptr; }

void PlatformSetRelativeMouse(HWND w, bool on) {
    if (Check(w))
        S().backend->RelativeMouse(w, on);
}

void PlatformInputKey(HWND w, const PlatformKey& k, bool down) {
    Layer& L = S();
    if (!Valid(w))
        return;
    const int slot = k.scan | (k.extended ? 256 : 0);
    const bool wasDown = L.keyDown[slot];
    L.keyDown[slot] = down;
    const bool isAlt = k.vk == VK_MENU;
    const bool alt = AltDown();
    if (isAlt && down && !wasDown)
        L.altCombo = false;
    else if (!isAlt && down && alt)
        L.altCombo = true;
    // Alt released after a combination is a plain key-up; alone it stays a system key.
    const bool system = alt || (isAlt && (down || !L.altCombo)) || k.vk == VK_F10;
    const UINT message = system ? (down ? WM_SYSKEYDOWN : WM_SYSKEYUP) : (down ? WM_KEYDOWN : WM_KEYUP);
    Post(w, message, k.vk, PlatformKeyLParam(k, down, wasDown || !down, alt && system));
}

void PlatformInputMouseMove(HWND w, int x, int y, int dx, int dy) {
    Layer& L = S();
    if (!Valid(w))
        return;
    L.cursor = POINT{w->x + x, w->y + y};
    PlatformMouseFeedMotion(dx, dy, 0);
    Post(w, WM_MOUSEMOVE, KeyFlags(), ClientLParam(w));
}

void PlatformInputMouseButton(HWND w, int button, bool down) {
    Layer& L = S();
    if (!Valid(w) || button < 0 || button > 2)
        return;
    static constexpr unsigned kFlag[] = {MK_LBUTTON, MK_RBUTTON, MK_MBUTTON};
    static constexpr UINT kDown[] = {WM_LBUTTONDOWN, WM_RBUTTONDOWN, WM_MBUTTONDOWN};
    static constexpr UINT kUp[] = {WM_LBUTTONUP, WM_RBUTTONUP, WM_MBUTTONUP};
    if (down)
        L.buttons |= kFlag[button];
    else
        L.buttons &= ~kFlag[button];
    PlatformMouseFeedButton(button, down);
    Post(w, down ? kDown[button] : kUp[button], KeyFlags(), ClientLParam(w));
}

void PlatformInputWheel(HWND w, int delta) {
    Layer& L = S();
    if (!Valid(w) || delta == 0)
        return;
    delta = std::clamp(delta, -32768, 32767);
    PlatformMouseFeedMotion(0, 0, delta);
    // The wheel message carries the cursor in screen coordinates.
    Post(w, WM_MOUSEWHEEL, MAKEWPARAM(static_cast<WORD>(KeyFlags()), static_cast<WORD>(static_cast<short>(delta))),
         MAKELPARAM(static_cast<WORD>(static_cast<short>(L.cursor.x)),
                    static_cast<WORD>(static_cast<short>(L.cursor.y))));
}

void PlatformInputFocus(HWND w, bool active) {
    S();
    if (Valid(w))
        SetActive(w, active, false);
}

void PlatformInputResize(HWND w, int width, int height, WPARAM kind) {
    S();
    if (!Valid(w))
        return;
    w->iconic = kind == SIZE_MINIMIZED;
    if (kind == SIZE_MAXIMIZED)
        w->style = static_cast<LONG>(static_cast<DWORD>(w->style) | WS_MAXIMIZE);
    else
        w->style = static_cast<LONG>(static_cast<DWORD>(w->style) & ~WS_MAXIMIZE);
    if (kind != SIZE_MINIMIZED) {
        w->width = std::max(width, 0);
        w->height = std::max(height, 0);
    }
    const int cw = kind == SIZE_MINIMIZED ? 0 : w->width;
    const int ch = kind == SIZE_MINIMIZED ? 0 : w->height;
    Post(w, WM_SIZE, kind, MAKELPARAM(static_cast<WORD>(cw), static_cast<WORD>(ch)));
}

void PlatformInputMoved(HWND w, int x, int y) {
    S();
    if (Valid(w)) {
        w->x = x;
        w->y = y;
    }
}

void PlatformInputClose(HWND w) {
    S();
    if (Valid(w))
        Post(w, WM_CLOSE, 0, 0);
}

void PlatformInputDrop(HWND w, const std::vector<std::string>& paths) {
    Layer& L = S();
    if (!Valid(w) || !w->acceptFiles || paths.empty())
        return;
    auto d = std::make_unique<HDROP__>();
    for (const std::string& p : paths)
        d->names.push_back(WindowsPath(p));
    const HDROP h = d.get();
    L.drops.push_back(std::move(d));
    Post(w, WM_DROPFILES, reinterpret_cast<WPARAM>(h), 0);
}

// Present ----------------------------------------------------------------------------------------

BOOL PlatformPresent(HWND w, const void* pixels, UINT width, UINT height, UINT pitch) {
    if (!Check(w))
        return FALSE;
    Layer& L = S();
    if (pixels == nullptr || width == 0 || height == 0 || pitch / 4 < width) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (!L.backend->Present(w, pixels, width, height, pitch)) {
        SetLastError(ERROR_GEN_FAILURE);
        return FALSE;
    }
    ++L.frames;
    L.idleLooks = 0;
    PlatformClockAdvanceFrame();
    if (!L.controls.capture.empty() && L.frames % L.controls.captureEvery == 0) {
        const std::string name = PlatformCaptureName(L.controls.capture, L.frames);
        std::string error;
        // A capture asked for and not written is a failed run: say it once and stop, rather than
        // once per frame and exit 0 with the frames missing.
        if (!PlatformWritePng(name.c_str(), pixels, width, height, pitch, &error)) {
            std::fprintf(stderr, "PLATFORM_CAPTURE: frame %ld: %s\n", L.frames, error.c_str());
            std::exit(1);
        }
    }
    RunScript();
    if (L.controls.frames > 0 && L.frames == L.controls.frames)
        PostQuitMessage(0);
    return TRUE;
}

long PlatformPresentedFrames() { return S().frames; }

// Windows ---------------------------------------------------------------------------------------

HINSTANCE GetModuleHandleA(LPCSTR moduleName) {
    static char process;
    if (moduleName != nullptr) {
        SetLastError(ERROR_MOD_NOT_FOUND);
        return nullptr;
    }
    return reinterpret_cast<HINSTANCE>(&process);
}

LPSTR GetCommandLineA() {
    static std::string line;
    static bool made = false;
    if (!made) {
        made = true;
        if (FILE* f = std::fopen("/proc/self/cmdline", "rb")) {
            std::string all;
            char buf[4096];
            std::size_t n = 0;
            while ((n = std::fread(buf, 1, sizeof buf, f)) > 0)
                all.append(buf, n);
            std::fclose(f);
            std::size_t start = 0;
            while (start < all.size()) {
                std::size_t end = all.find('\0', start);
                if (end == std::string::npos)
                    end = all.size();
                const std::string arg = all.substr(start, end - start);
                const bool quote =
                    std::any_of(arg.begin(), arg.end(), [](char c) { return static_cast<unsigned char>(c) < 33; });
                line += (line.empty() ? "" : " ") + (quote ? "\"" + arg + "\"" : arg);
                start = end + 1;
            }
        }
    }
    return line.data();
}

ATOM RegisterClassA(const WNDCLASSA* wc) {
    Layer& L = S();
    if (wc == nullptr || wc->lpszClassName == nullptr || wc->lpszClassName[0] == '\0' || wc->lpfnWndProc == nullptr ||
        wc->cbClsExtra < 0 || wc->cbWndExtra < 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    for (const WindowClass& c : L.classes) {
        if (_stricmp(c.name.c_str(), wc->lpszClassName) == 0) {
            SetLastError(ERROR_CLASS_ALREADY_EXISTS);
            return 0;
        }
    }
    L.classes.push_back(WindowClass{wc->lpszClassName, *wc});
    return static_cast<ATOM>(0xC000 + L.classes.size());
}

HWND CreateWindowExA(DWORD exStyle, LPCSTR className, LPCSTR windowName, DWORD style, int x, int y, int width,
                     int height, HWND parent, HMENU /*menu*/, HINSTANCE instance, void* param) {
    Layer& L = S();
    const WindowClass* cls = nullptr;
    for (const WindowClass& c : L.classes)
        if (className != nullptr && _stricmp(c.name.c_str(), className) == 0)
            cls = &c;
    if (cls == nullptr) {
        SetLastError(ERROR_CANNOT_FIND_WND_CLASS);
        return nullptr;
    }
    if (parent != nullptr && !Valid(parent)) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return nullptr;
    }
    if ((style & WS_CHILD) != 0 && parent == nullptr) {
        SetLastError(ERROR_TLW_WITH_WSCHILD);
        return nullptr;
    }
    auto owned = std::make_unique<HWND__>();
    const HWND w = owned.get();
    w->title = windowName != nullptr ? windowName : "";
    w->proc = cls->wc.lpfnWndProc;
    w->instance = instance;
    w->style = static_cast<LONG>(style & ~WS_VISIBLE);
    w->exStyle = static_cast<LONG>(exStyle);
    w->parent = parent;
    w->width = width == CW_USEDEFAULT ? 640 : std::max(width, 0);
    w->height = width == CW_USEDEFAULT ? 480 : std::max(height, 0);
    w->x = x;
    w->y = x == CW_USEDEFAULT ? CW_USEDEFAULT : y;
    L.windows.push_back(std::move(owned));
    if ((style & WS_CHILD) == 0) {
        if (!L.backend->CreateWindow(w, w->title.c_str(), &w->x, &w->y, w->width, w->height, style)) {
            FreeWindow(w);
            SetLastError(ERROR_GEN_FAILURE);
            return nullptr;
        }
        w->realised = true;
    } else {
        w->x = (x == CW_USEDEFAULT ? 0 : x) + parent->x;
        w->y = (x == CW_USEDEFAULT ? 0 : y) + parent->y;
    }
    CREATESTRUCTA cs{param,      instance,  nullptr, parent, w->height, w->width, w->y, w->x, static_cast<LONG>(style),
                     windowName, className, exStyle};
    if (SendMessageA(w, WM_CREATE, 0, reinterpret_cast<LPARAM>(&cs)) == -1) {
        if (Valid(w))
            FreeWindow(w);
        SetLastError(ERROR_GEN_FAILURE);
        return nullptr;
    }
    if (!Valid(w))
        return nullptr;
    if ((style & WS_VISIBLE) != 0)
        ShowWindow(w, SW_SHOW);
    SetLastError(ERROR_SUCCESS);
    return w;
}

BOOL DestroyWindow(HWND w) {
    if (!Check(w))
        return FALSE;
    // Children and dialog controls go first.
    for (;;) {
        HWND child = nullptr;
        for (const auto& p : g_layer.windows)
            if (p->parent == w)
                child = p.get();
        if (child == nullptr)
            break;
        DestroyWindow(child);
    }
    if (w->kind == HWND__::Kind::Window)
        SendMessageA(w, WM_DESTROY, 0, 0);
    if (Valid(w))
        FreeWindow(w);
    return TRUE;
}

BOOL IsWindow(HWND w) {
    S();
    return Valid(w) ? TRUE : FALSE;
}

BOOL ShowWindow(HWND w, int command) {
    if (!Check(w))
        return FALSE;
    Layer& L = S();
    const BOOL before = w->visible ? TRUE : FALSE;
    const bool wasIconic = w->iconic;
    bool activate = false;
    switch (command) {
    case SW_HIDE:
        w->visible = false;
        break;
    case SW_SHOWMINIMIZED:
    case SW_MINIMIZE:
    case SW_SHOWMINNOACTIVE:
        w->visible = true;
        w->iconic = true;
        break;
    case SW_SHOWMAXIMIZED:
        w->visible = true;
        w->iconic = false;
        w->style = static_cast<LONG>(static_cast<DWORD>(w->style) | WS_MAXIMIZE);
        activate = true;
        break;
    case SW_SHOWNORMAL:
    case SW_RESTORE:
        w->visible = true;
        w->iconic = false;
        w->style = static_cast<LONG>(static_cast<DWORD>(w->style) & ~WS_MAXIMIZE);
        activate = true;
        break;
    case SW_SHOWNOACTIVATE:
    case SW_SHOWNA:
        w->visible = true;
        break;
    default:
        w->visible = true;
        activate = true;
        break;
    }
    if (w->realised)
        L.backend->ShowWindow(w, w->visible && !w->iconic);
    if (w->iconic != wasIconic) {
        const int cw = w->iconic ? 0 : w->width;
        const int ch = w->iconic ? 0 : w->height;
        SendMessageA(w, WM_SIZE, w->iconic ? SIZE_MINIMIZED : SIZE_RESTORED,
                     MAKELPARAM(static_cast<WORD>(cw), static_cast<WORD>(ch)));
    }
    // The first showing of a top-level window gives it the focus, as the window manager would.
    if (Valid(w) && activate && !w->shown && TopLevel(w))
        SetActive(w, true, true);
    if (Valid(w) && w->visible)
        w->shown = true;
    return before;
}

BOOL UpdateWindow(HWND w) { return Check(w) ? TRUE : FALSE; }

LRESULT DefWindowProcA(HWND w, UINT message, WPARAM /*wParam*/, LPARAM lParam) {
    if (!Check(w))
        return 0;
    switch (message) {
    case WM_CLOSE:
        DestroyWindow(w);
        return 0;
    case WM_WINDOWPOSCHANGED: {
        // A null position record is ignored rather than read.
        if (lParam == 0)
            return 0;
        const auto* pos = reinterpret_cast<const WINDOWPOS*>(lParam);
        if ((pos->flags & SWP_NOSIZE) == 0) {
            const WPARAM kind = w->iconic                                           ? SIZE_MINIMIZED
                                : (static_cast<DWORD>(w->style) & WS_MAXIMIZE) != 0 ? SIZE_MAXIMIZED
                                                                                    : SIZE_RESTORED;
            SendMessageA(w, WM_SIZE, kind, MAKELPARAM(static_cast<WORD>(pos->cx), static_cast<WORD>(pos->cy)));
        }
        return 0;
    }
    default:
        return 0;
    }
}

LRESULT SendMessageA(HWND w, UINT message, WPARAM wParam, LPARAM lParam) {
    if (!Check(w))
        return 0;
    switch (w->kind) {
    case HWND__::Kind::Window:
        return w->proc(w, message, wParam, lParam);
    case HWND__::Kind::Dialog:
        return w->dialogProc(w, message, wParam, lParam);
    case HWND__::Kind::Control:
        return ControlProc(w, message, wParam, lParam);
    }
    return 0;
}

BOOL PostMessageA(HWND w, UINT message, WPARAM wParam, LPARAM lParam) {
    S();
    if (w != nullptr && !Valid(w)) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return FALSE;
    }
    Post(w, message, wParam, lParam);
    return TRUE;
}

void PostQuitMessage(int exitCode) {
    Layer& L = S();
    L.quitPosted = true;
    L.quitCode = exitCode;
}

BOOL PeekMessageA(MSG* msg, HWND filter, UINT lo, UINT hi, UINT flags) {
    Layer& L = S();
    if (msg == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    Pump();
    const bool remove = (flags & PM_REMOVE) != 0;
    for (auto it = L.queue.begin(); it != L.queue.end(); ++it) {
        if (!Matches(*it, filter, lo, hi))
            continue;
        *msg = *it;
        if (remove)
            L.queue.erase(it);
        return TRUE;
    }
    if (L.quitPosted) {
        *msg = MSG{};
        msg->message = WM_QUIT;
        msg->wParam = static_cast<WPARAM>(static_cast<std::intptr_t>(L.quitCode));
        msg->time = timeGetTime();
        msg->pt = L.cursor;
        if (remove)
            L.quitPosted = false;
        return TRUE;
    }
    // Timers come last, one message per due timer.
    const std::uint64_t now = NowMs();
    for (Timer& t : L.timers) {
        if (t.due > now)
            continue;
        MSG m{t.window, WM_TIMER, t.id, reinterpret_cast<LPARAM>(t.proc), timeGetTime(), L.cursor};
        if (!Matches(m, filter, lo, hi))
            continue;
        *msg = m;
        if (remove)
            t.due = now + t.elapse;
        return TRUE;
    }
    // A scripted run whose program has stopped presenting frames (it waits for a user to close
    // the window after an error, say) would never end: as many looks into an empty queue in a
    // row as the frame limit, with no frame between them, end it as the limit would.
    if (L.controls.frames > 0 && ++L.idleLooks >= L.controls.frames) {
        L.idleLooks = 0;
        PostQuitMessage(0);
    }
    return FALSE;
}

BOOL GetMessageA(MSG* msg, HWND filter, UINT lo, UINT hi) {
    S();
    if (msg == nullptr ||
        (filter != nullptr && filter != reinterpret_cast<HWND>(static_cast<std::intptr_t>(-1)) && !Valid(filter))) {
        SetLastError(msg == nullptr ? ERROR_INVALID_PARAMETER : ERROR_INVALID_WINDOW_HANDLE);
        return -1;
    }
    while (!PeekMessageA(msg, filter, lo, hi, PM_REMOVE))
        WaitMessage();
    return msg->message == WM_QUIT ? FALSE : TRUE;
}

namespace {

// Waits for a message, a due timer or the timeout (below 0: none); true when one of the first two
// is there. The fixed-step clock stands still between frames: a timer due within the wait comes
// at once, and a timeout is over at once.
bool WaitForInput(int timeoutMs) {
    Layer& L = S();
    ++L.messageWaits;
    Pump();
    if (!L.queue.empty() || L.quitPosted)
        return true;
    const std::uint64_t now = NowMs();
    Timer* next = nullptr;
    for (Timer& t : L.timers)
        if (next == nullptr || t.due < next->due)
            next = &t;
    if (next != nullptr && next->due <= now)
        return true;
    const auto untilTimer = next != nullptr ? std::min<std::uint64_t>(next->due - now, 0x7FFFFFFF) : 0;
    if (PlatformClockFixedStep() > 0.0) {
        if (next != nullptr && (timeoutMs < 0 || untilTimer <= static_cast<std::uint64_t>(timeoutMs))) {
            next->due = now;
            return true;
        }
        if (timeoutMs >= 0)
            return false;
    }
    int wait = timeoutMs;
    if (next != nullptr && (wait < 0 || untilTimer < static_cast<std::uint64_t>(wait)))
        wait = static_cast<int>(untilTimer);
    if (wait < 0 && L.headless && L.controls.frames == 0) {
        // Headless, nothing can ever come: no timer, no frame limit, and no user to close the
        // window. The window is closed as that user would, so the program ends as it does then.
        std::fprintf(stderr, "platform: headless and waiting for a message that cannot come; closing the window\n");
        if (const HWND main = PlatformMainWindow())
            Post(main, WM_CLOSE, 0, 0);
        else
            PostQuitMessage(0);
        return true;
    }
    L.backend->Wait(wait);
    Pump();
    if (!L.queue.empty() || L.quitPosted)
        return true;
    return next != nullptr && next->due <= NowMs();
}

} // namespace

BOOL WaitMessage() {
    WaitForInput(-1);
    return TRUE;
}

DWORD MsgWaitForMultipleObjects(DWORD count, const HANDLE* /*handles*/, BOOL /*waitAll*/, DWORD milliseconds,
                                DWORD /*wakeMask*/) {
    S();
    if (count != 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return WAIT_FAILED;
    }
    const int timeout = milliseconds == INFINITE ? -1 : static_cast<int>(std::min<DWORD>(milliseconds, 0x7FFFFFFF));
    return WaitForInput(timeout) ? WAIT_OBJECT_0 : WAIT_TIMEOUT;
}

long PlatformMessageWaits() { return S().messageWaits; }

BOOL TranslateMessage(const MSG* /*msg*/) {
    return FALSE; // no character messages are made
}

LRESULT DispatchMessageA(const MSG* msg) {
    S();
    if (msg == nullptr)
        return 0;
    if (msg->message == WM_TIMER && msg->lParam != 0) {
        reinterpret_cast<TIMERPROC>(msg->lParam)(msg->hwnd, WM_TIMER, msg->wParam, GetTickCount());
        return 0;
    }
    if (msg->hwnd == nullptr)
        return 0;
    return SendMessageA(msg->hwnd, msg->message, msg->wParam, msg->lParam);
}

BOOL AdjustWindowRect(RECT* rect, DWORD style, BOOL menu) { return AdjustWindowRectEx(rect, style, menu, 0); }

BOOL AdjustWindowRectEx(RECT* rect, DWORD /*style*/, BOOL /*menu*/, DWORD /*exStyle*/) {
    if (rect == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    return TRUE; // no frame: the window is its client area
}

BOOL GetClientRect(HWND w, RECT* rect) {
    if (!Check(w) || rect == nullptr)
        return FALSE;
    *rect = RECT{0, 0, w->width, w->height};
    return TRUE;
}

BOOL GetWindowRect(HWND w, RECT* rect) {
    if (!Check(w) || rect == nullptr)
        return FALSE;
    *rect = RECT{w->x, w->y, w->x + w->width, w->y + w->height};
    return TRUE;
}

LONG GetWindowLongA(HWND w, int index) {
    if (!Check(w))
        return 0;
    SetLastError(ERROR_SUCCESS);
    switch (index) {
    case GWL_STYLE:
        return w->style | static_cast<LONG>(w->visible ? WS_VISIBLE : 0) |
               static_cast<LONG>(w->iconic ? WS_MINIMIZE : 0);
    case GWL_EXSTYLE:
        return w->exStyle;
    default:
        // The instance handle does not fit a 32-bit word here: GetWindowLongPtrA gives it.
        SetLastError(ERROR_INVALID_INDEX);
        return 0;
    }
}

LONG SetWindowLongA(HWND w, int index, LONG value) {
    if (!Check(w))
        return 0;
    const LONG before = GetWindowLongA(w, index);
    switch (index) {
    case GWL_STYLE:
        w->visible = (static_cast<DWORD>(value) & WS_VISIBLE) != 0;
        w->iconic = (static_cast<DWORD>(value) & WS_MINIMIZE) != 0;
        w->style = static_cast<LONG>(static_cast<DWORD>(value) & ~(WS_VISIBLE | WS_MINIMIZE));
        if (w->realised)
            S().backend->SetStyle(w, static_cast<DWORD>(w->style));
        return before;
    case GWL_EXSTYLE:
        w->exStyle = value;
        return before;
    default:
        SetLastError(ERROR_INVALID_INDEX);
        return 0;
    }
}

LONG_PTR GetWindowLongPtrA(HWND w, int index) {
    if (!Check(w))
        return 0;
    if (index == GWLP_HINSTANCE) {
        SetLastError(ERROR_SUCCESS);
        return reinterpret_cast<LONG_PTR>(w->instance);
    }
    return GetWindowLongA(w, index);
}

BOOL SetWindowPos(HWND w, HWND /*insertAfter*/, int x, int y, int cx, int cy, UINT flags) {
    if (!Check(w))
        return FALSE;
    Layer& L = S();
    WINDOWPOS pos{w, nullptr, w->x, w->y, w->width, w->height, flags};
    bool moved = false;
    bool sized = false;
    if ((flags & SWP_NOMOVE) == 0 && (x != w->x || y != w->y)) {
        w->x = pos.x = x;
        w->y = pos.y = y;
        moved = true;
    }
    if ((flags & SWP_NOSIZE) == 0 && (std::max(cx, 0) != w->width || std::max(cy, 0) != w->height)) {
        w->width = pos.cx = std::max(cx, 0);
        w->height = pos.cy = std::max(cy, 0);
        sized = true;
    }
    if (!moved)
        pos.flags |= SWP_NOMOVE;
    if (!sized)
        pos.flags |= SWP_NOSIZE;
    if (w->realised) {
        if (moved || sized)
            L.backend->PlaceWindow(w, w->x, w->y, w->width, w->height);
        if ((flags & SWP_FRAMECHANGED) != 0)
            L.backend->SetStyle(w, static_cast<DWORD>(w->style));
    }
    if ((flags & SWP_SHOWWINDOW) != 0 && !w->visible)
        ShowWindow(w, SW_SHOWNA);
    if ((flags & SWP_HIDEWINDOW) != 0 && w->visible)
        ShowWindow(w, SW_HIDE);
    if (Valid(w))
        SendMessageA(w, WM_WINDOWPOSCHANGED, 0, reinterpret_cast<LPARAM>(&pos));
    return TRUE;
}

BOOL GetWindowPlacement(HWND w, WINDOWPLACEMENT* placement) {
    if (!Check(w) || placement == nullptr)
        return FALSE;
    placement->flags = 0;
    placement->showCmd = w->iconic                                           ? SW_SHOWMINIMIZED
                         : (static_cast<DWORD>(w->style) & WS_MAXIMIZE) != 0 ? SW_SHOWMAXIMIZED
                                                                             : SW_SHOWNORMAL;
    placement->ptMinPosition = POINT{-1, -1};
    placement->ptMaxPosition = POINT{-1, -1};
    placement->rcNormalPosition = RECT{w->x, w->y, w->x + w->width, w->y + w->height};
    return TRUE;
}

BOOL IsIconic(HWND w) { return Check(w) && w->iconic ? TRUE : FALSE; }

HMENU GetMenu(HWND w) {
    Check(w);
    return nullptr;
}

// Timers ----------------------------------------------------------------------------------------

UINT_PTR SetTimer(HWND w, UINT_PTR id, UINT elapse, TIMERPROC proc) {
    Layer& L = S();
    if (w != nullptr && !Valid(w)) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return 0;
    }
    elapse = std::clamp<UINT>(elapse, 10, 0x7FFFFFFF);
    if (w == nullptr)
        id = ++L.nextThreadTimer;
    const Timer t{w, id, elapse, NowMs() + elapse, proc};
    for (Timer& old : L.timers) {
        if (old.window == w && old.id == id) {
            old = t;
            return w == nullptr ? id : 1;
        }
    }
    L.timers.push_back(t);
    return w == nullptr ? id : 1;
}

BOOL KillTimer(HWND w, UINT_PTR id) {
    Layer& L = S();
    for (auto it = L.timers.begin(); it != L.timers.end(); ++it) {
        if (it->window == w && it->id == id) {
            L.timers.erase(it);
            // A WM_TIMER already posted for it stays in the queue, as on the platform: none is posted.
            return TRUE;
        }
    }
    SetLastError(ERROR_TIMER_NOT_FOUND);
    return FALSE;
}

// Cursor ----------------------------------------------------------------------------------------

HWND SetCapture(HWND w) {
    Layer& L = S();
    const HWND before = L.capture;
    if (w != nullptr && !Valid(w)) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return nullptr;
    }
    L.capture = w;
    L.backend->CaptureMouse(w != nullptr);
    return before;
}

BOOL ReleaseCapture() {
    Layer& L = S();
    if (L.capture != nullptr)
        L.backend->CaptureMouse(false);
    L.capture = nullptr;
    return TRUE;
}

HWND GetCapture() { return S().capture; }

BOOL ClipCursor(const RECT* rect) {
    Layer& L = S();
    L.clipping = rect != nullptr;
    if (rect != nullptr) {
        L.clip = *rect;
        L.cursor.x = std::clamp(L.cursor.x, rect->left, std::max(rect->left, rect->right - 1));
        L.cursor.y = std::clamp(L.cursor.y, rect->top, std::max(rect->top, rect->bottom - 1));
    }
    return TRUE;
}

int ShowCursor(BOOL show) {
    Layer& L = S();
    L.cursorCounter += show ? 1 : -1;
    L.backend->ShowCursor(L.cursorCounter >= 0);
    return L.cursorCounter;
}

BOOL SetCursorPos(int x, int y) {
    Layer& L = S();
    if (L.clipping) {
        x = std::clamp<int>(x, L.clip.left, std::max(L.clip.left, L.clip.right - 1));
        y = std::clamp<int>(y, L.clip.top, std::max(L.clip.top, L.clip.bottom - 1));
    }
    L.cursor = POINT{x, y};
    L.backend->WarpCursor(x, y);
    // The window the mouse belongs to hears of the move, as of any other: a program that reads
    // its moves relative to the last one starts again from here. The mouse device sees no motion.
    const HWND to = L.capture != nullptr ? L.capture : L.active;
    if (Valid(to))
        Post(to, WM_MOUSEMOVE, KeyFlags(), ClientLParam(to));
    return TRUE;
}

BOOL GetCursorPos(POINT* point) {
    if (point == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    *point = S().cursor;
    return TRUE;
}

BOOL ClientToScreen(HWND w, POINT* point) {
    if (!Check(w) || point == nullptr)
        return FALSE;
    point->x += w->x;
    point->y += w->y;
    return TRUE;
}

HCURSOR LoadCursorA(HINSTANCE instance, LPCSTR name) {
    static char arrow;
    S();
    if (instance == nullptr && name == IDC_ARROW)
        return reinterpret_cast<HCURSOR>(&arrow);
    SetLastError(ERROR_RESOURCE_NAME_NOT_FOUND);
    return nullptr;
}

HWND SetFocus(HWND w) {
    Layer& L = S();
    if (w != nullptr && !Valid(w)) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return nullptr;
    }
    const HWND before = L.focus;
    L.focus = w;
    return before;
}

// Dialogs ---------------------------------------------------------------------------------------

INT_PTR DialogBoxParamA(HINSTANCE instance, LPCSTR templateName, HWND parent, DLGPROC proc, LPARAM initParam) {
    Layer& L = S();
    if (parent != nullptr && !Valid(parent)) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return 0;
    }
    if (proc == nullptr || templateName == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return -1;
    }
    auto owned = std::make_unique<HWND__>();
    const HWND dialog = owned.get();
    dialog->kind = HWND__::Kind::Dialog;
    dialog->dialogProc = proc;
    dialog->instance = instance;
    dialog->parent = parent;
    L.windows.push_back(std::move(owned));

    SendMessageA(dialog, WM_INITDIALOG, 0, initParam);
    if (Valid(dialog) && !dialog->ended && !L.controls.videoMode.empty()) {
        // The configured mode is picked in the list that offers it, as a user would.
        const std::string& mode = L.controls.videoMode;
        HWND found = nullptr;
        for (const auto& p : L.windows) {
            if (p->kind != HWND__::Kind::Control || p->parent != dialog)
                continue;
            for (std::size_t i = 0; i < p->list.texts.size() && found == nullptr; ++i) {
                const std::string& t = p->list.texts[i];
                if (t.compare(0, mode.size(), mode) == 0 && (t.size() == mode.size() || t[mode.size()] == ' ')) {
                    p->list.selection = static_cast<int>(i);
                    found = p.get();
                }
            }
        }
        if (found == nullptr) {
            std::fprintf(stderr, "PLATFORM_VIDEO_MODE: no list of the dialog offers '%s'\n", mode.c_str());
            dialog->ended = true;
            dialog->result = -1;
        } else {
            SendMessageA(dialog, WM_COMMAND, MAKEWPARAM(static_cast<WORD>(found->controlId), CBN_SELCHANGE),
                         reinterpret_cast<LPARAM>(found));
        }
    }
    if (Valid(dialog) && !dialog->ended) {
        const HWND button = DialogControl(dialog, L.controls.dialogAnswer, true);
        SendMessageA(dialog, WM_COMMAND, MAKEWPARAM(static_cast<WORD>(L.controls.dialogAnswer), BN_CLICKED),
                     reinterpret_cast<LPARAM>(button));
    }
    INT_PTR result = -1;
    if (Valid(dialog)) {
        if (dialog->ended) {
            result = dialog->result;
        } else {
            std::fprintf(stderr, "platform: the dialog procedure did not end the dialog on button %d\n",
                         L.controls.dialogAnswer);
            SetLastError(ERROR_GEN_FAILURE);
        }
        L.lastDialog.clear();
        for (const auto& p : L.windows)
            if (p->kind == HWND__::Kind::Control && p->parent == dialog)
                L.lastDialog.push_back(p->list);
        std::sort(L.lastDialog.begin(), L.lastDialog.end(),
                  [](const PlatformDialogControl& a, const PlatformDialogControl& b) { return a.id < b.id; });
        DestroyWindow(dialog);
    }
    return result;
}

BOOL EndDialog(HWND dialog, INT_PTR result) {
    if (!Check(dialog) || dialog->kind != HWND__::Kind::Dialog) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return FALSE;
    }
    dialog->ended = true;
    dialog->result = result;
    return TRUE;
}

HWND GetDlgItem(HWND dialog, int id) {
    if (!Check(dialog) || dialog->kind != HWND__::Kind::Dialog) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return nullptr;
    }
    return DialogControl(dialog, id, true);
}

LRESULT SendDlgItemMessageA(HWND dialog, int id, UINT message, WPARAM wParam, LPARAM lParam) {
    const HWND c = GetDlgItem(dialog, id);
    return c != nullptr ? SendMessageA(c, message, wParam, lParam) : 0;
}

// Debugger output and text ------------------------------------------------------------------------

void OutputDebugStringA(LPCSTR text) {
    if (text != nullptr) {
        std::fputs(text, stderr);
        std::fflush(stderr);
    }
}

char* CharUpperA(char* text) {
    if (text != nullptr)
        for (char* c = text; *c != '\0'; ++c)
            if (*c >= 'a' && *c <= 'z')
                *c = static_cast<char>(*c - ('a' - 'A'));
    return text;
}

// Message boxes, dropped files, the shell ----------------------------------------------------------

namespace {

// Characters of UTF-8 text: the bytes that do not continue a sequence.
std::size_t Glyphs(std::string_view text) {
    return static_cast<std::size_t>(
        std::count_if(text.begin(), text.end(), [](char c) { return (static_cast<unsigned char>(c) & 0xC0) != 0x80; }));
}

// The bytes of the first `glyphs` characters of the text.
std::size_t GlyphBytes(std::string_view text, std::size_t glyphs) {
    std::size_t i = 0;
    for (std::size_t n = 0; i < text.size(); ++i)
        if ((static_cast<unsigned char>(text[i]) & 0xC0) != 0x80 && n++ == glyphs)
            break;
    return i;
}

// Breaks one line of the text into lines of at most `columns` characters: at the last space that
// lets the line fit, or inside a word that alone is longer. The spaces at a break are dropped;
// those that start the text's line (an indent) are kept.
void WrapLine(std::string_view line, std::size_t columns, std::vector<std::string>* out) {
    while (Glyphs(line) > columns) {
        const std::size_t fits = GlyphBytes(line, columns);
        std::size_t cut = line.rfind(' ', fits);
        if (cut == std::string_view::npos || line.find_first_not_of(' ') >= cut)
            cut = fits; // no space after the first word: the word is broken
        out->emplace_back(line.substr(0, line.find_last_not_of(' ', cut - 1) + 1));
        line.remove_prefix(cut);
        line.remove_prefix(std::min(line.size(), line.find_first_not_of(' ')));
        if (line.empty())
            return;
    }
    out->emplace_back(line);
}

} // namespace

// The box's bounds, 5/8 of the screen's width and 3/4 of its height, leave room for a window
// manager's frame and for a font larger than the one assumed: a 12-point font on a 100-dpi
// server is about 10/7 as wide and 19/15 as high as on a 75-dpi one, and still fits.
PlatformBoxLayout PlatformLayOutMessageBox(const std::string& text, int screenWidth, int screenHeight,
                                           const PlatformBoxFont& font) {
    const int charWidth = std::max(font.charWidth, 1);
    const int lineHeight = std::max(font.lineHeight, 1);
    const auto columns = static_cast<std::size_t>(std::max((screenWidth * 5 / 8 - 2 * font.margin) / charWidth, 1));
    const auto rows = static_cast<std::size_t>(std::max((screenHeight * 3 / 4 - font.frameHeight) / lineHeight, 1));
    PlatformBoxLayout layout;
    for (std::string_view rest = text; !rest.empty();) {
        const std::size_t end = std::min(rest.find('\n'), rest.size());
        std::string_view line = rest.substr(0, end);
        if (!line.empty() && line.back() == '\r')
            line.remove_suffix(1);
        WrapLine(line, columns, &layout.lines);
        rest.remove_prefix(end);
        if (!rest.empty()) {
            rest.remove_prefix(1);
            if (rest.empty())
                layout.lines.emplace_back(); // a text that ends with its own line break shows an empty line
        }
        if (layout.lines.size() > rows)
            break;
    }
    if (layout.lines.size() > rows) {
        layout.lines.resize(rows);
        std::string& last = layout.lines.back();
        last.resize(GlyphBytes(last, columns > 3 ? columns - 3 : 0));
        last += "...";
    }
    std::size_t widest = 0;
    for (const std::string& line : layout.lines)
        widest = std::max(widest, Glyphs(line));
    const int width = static_cast<int>(widest) * charWidth + 2 * font.margin;
    const int height = static_cast<int>(layout.lines.size()) * lineHeight + font.frameHeight;
    layout.box.left = std::max((screenWidth - width) / 2, 0);
    layout.box.top = std::max((screenHeight - height) / 3, 0);
    layout.box.right = layout.box.left + width;
    layout.box.bottom = layout.box.top + height;
    return layout;
}

int MessageBoxA(HWND /*owner*/, LPCSTR text, LPCSTR caption, UINT type) {
    Layer& L = S();
    const char* t = text != nullptr ? text : "";
    const char* c = caption != nullptr ? caption : "Error";
    std::fprintf(stderr, "%s: %s\n", c, t);
    if (!L.controls.messageBoxLog.empty()) {
        if (FILE* f = std::fopen(L.controls.messageBoxLog.c_str(), "ab")) {
            std::fprintf(f, "%s\n", t);
            std::fclose(f);
        } else {
            std::fprintf(stderr, "PLATFORM_MSGBOX_LOG: cannot append to '%s'\n", L.controls.messageBoxLog.c_str());
        }
    }
    if (L.interactive)
        L.backend->MessageBox(c, t);
    // The answer is the box's first button.
    switch (type & 0xF) {
    case MB_YESNO:
    case 3:
        return IDYES;
    case 2:
        return 3; // abort
    case 5:
        return 4; // retry
    default:
        return IDOK;
    }
}

void DragAcceptFiles(HWND w, BOOL accept) {
    if (Check(w))
        w->acceptFiles = accept != FALSE;
}

UINT DragQueryFileA(HDROP drop, UINT index, LPSTR buffer, UINT chars) {
    Layer& L = S();
    const auto it = std::find_if(L.drops.begin(), L.drops.end(), [&](const auto& p) { return p.get() == drop; });
    if (it == L.drops.end())
        return 0;
    if (index == 0xFFFFFFFFu)
        return static_cast<UINT>(drop->names.size());
    if (index >= drop->names.size())
        return 0;
    const std::string& name = drop->names[index];
    if (buffer == nullptr)
        return static_cast<UINT>(name.size());
    if (chars == 0)
        return 0;
    const std::size_t n = std::min<std::size_t>(name.size(), chars - 1);
    std::memcpy(buffer, name.data(), n);
    buffer[n] = '\0';
    return static_cast<UINT>(n);
}

void DragFinish(HDROP drop) {
    Layer& L = S();
    L.drops.erase(std::remove_if(L.drops.begin(), L.drops.end(), [&](const auto& p) { return p.get() == drop; }),
                  L.drops.end());
}

HINSTANCE ShellExecuteA(HWND /*window*/, LPCSTR operation, LPCSTR file, LPCSTR /*parameters*/, LPCSTR /*directory*/,
                        int /*showCommand*/) {
    Layer& L = S();
    if (operation != nullptr && _stricmp(operation, "open") != 0)
        return ShellResult(SE_ERR_NOASSOC);
    if (file == nullptr || file[0] == '\0')
        return ShellResult(ERROR_FILE_NOT_FOUND);
    std::string target = file;
    if (target.find("://") == std::string::npos) {
        target = PlatformHostPath(file);
        struct stat st;
        if (::stat(target.c_str(), &st) != 0)
            return ShellResult(ERROR_FILE_NOT_FOUND);
    }
    if (!L.interactive) {
        std::fprintf(stderr,
                     "ShellExecuteA: open %s (opened only in an interactive window, not headless or scripted)\n",
                     target.c_str());
        return ShellResult(33);
    }
    // The desktop's opener chooses the browser; without one nothing would open, silently.
    if (!OnPath("xdg-open")) {
        std::fprintf(stderr, "ShellExecuteA: open %s: not opened, this machine has no xdg-open to open it with\n",
                     target.c_str());
        return ShellResult(SE_ERR_NOASSOC);
    }
    // The opener runs in a grandchild, so that nothing is left to reap.
    const pid_t child = fork();
    if (child < 0)
        return ShellResult(0);
    if (child == 0) {
        if (fork() == 0) {
            execlp("xdg-open", "xdg-open", target.c_str(), static_cast<char*>(nullptr));
            _exit(127);
        }
        _exit(0);
    }
    int status = 0;
    waitpid(child, &status, 0);
    return ShellResult(33);
}
