// The SDL back end on a real display (ctest runs it under Xvfb): frames reach the window's
// pixels on the X server, SDL events arrive as Windows messages, the pointer and the size follow.

#include "platform/present.h"
#include "window_kit.h"

#include <SDL.h>
#include <SDL_syswm.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>

#include <poll.h>
#include <chrono>
#include <csignal>
#include <thread>

namespace {

// The next event of the type on the connection; false when none comes within the time (only an
// event that never comes should end the wait, not a server slowed down by a loaded machine).
bool NextEvent(Display* d, int type, XEvent* e, int timeoutMs = 60000) {
    for (pollfd display{ConnectionNumber(d), POLLIN, 0}; e->type != type;) {
        if (XPending(d) == 0 && poll(&display, 1, timeoutMs) <= 0)
            return false;
        XNextEvent(d, e);
    }
    return true;
}

struct SdlWindowTest : WindowTest {
    void SetUp() override {
        const char* display = std::getenv("DISPLAY");
        if (display == nullptr || display[0] == '\0')
            GTEST_SKIP() << "no display";
        for (const char* name : {"PLATFORM_HEADLESS", "PLATFORM_FRAMES", "PLATFORM_KEYS", "PLATFORM_FIXED_STEP"})
            unsetenv(name);
        PlatformWindowReset();
        PlatformClockSetFixedStep(0.0);
        ASSERT_STREQ(PlatformWindowBackendName(), "sdl");
        g_received.clear();
    }

    SDL_Window* Native(HWND w) { return static_cast<SDL_Window*>(PlatformNativeWindow(w)); }

    // A connection that hears of every top-level window's map and end.
    static Display* WatchingRoot() {
        Display* d = XOpenDisplay(nullptr);
        XSelectInput(d, DefaultRootWindow(d), SubstructureNotifyMask);
        XSync(d, False);
        return d;
    }

    SDL_SysWMinfo X11(HWND w) {
        SDL_SysWMinfo info;
        SDL_VERSION(&info.version);
        EXPECT_TRUE(SDL_GetWindowWMInfo(Native(w), &info) && info.subsystem == SDL_SYSWM_X11);
        return info;
    }

    // The window's pixels as the X server holds them.
    std::vector<std::uint32_t> ServerPixels(HWND w, int width, int height) {
        const SDL_SysWMinfo info = X11(w);
        std::vector<std::uint32_t> out;
        Display* d = info.info.x11.display;
        XSync(d, False);
        XImage* image = XGetImage(d, info.info.x11.window, 0, 0, static_cast<unsigned>(width),
                                  static_cast<unsigned>(height), AllPlanes, ZPixmap);
        if (image == nullptr)
            return out;
        for (int y = 0; y < height; ++y)
            for (int x = 0; x < width; ++x)
                out.push_back(static_cast<std::uint32_t>(XGetPixel(image, x, y)) & 0xFFFFFFu);
        XDestroyImage(image);
        return out;
    }

    // Takes messages until one satisfies the test, or until a timer runs out. The X server
    // answers in milliseconds; the bound is long so that only a reply that never comes fails the
    // test, not a server slowed down by a loaded machine.
    template <typename Pred> bool WaitFor(HWND w, Pred pred) {
        SetTimer(w, 99, 60000, nullptr);
        MSG m;
        while (GetMessageA(&m, nullptr, 0, 0) > 0) {
            if (m.message == WM_TIMER && m.wParam == 99)
                break;
            DispatchMessageA(&m);
            if (pred(m)) {
                KillTimer(w, 99);
                return true;
            }
        }
        KillTimer(w, 99);
        return false;
    }

    void TearDown() override {
        if (!IsSkipped())
            WindowTest::TearDown();
    }
};

TEST_F(SdlWindowTest, PresentedFramesReachTheDisplayStretchedOverTheClientArea) {
    const HWND w = Open(64, 48);
    std::vector<std::uint32_t> frame(64 * 48);
    for (int y = 0; y < 48; ++y)
        for (int x = 0; x < 64; ++x)
            frame[y * 64 + x] = 0x5A000000u | (static_cast<std::uint32_t>(x * 4) << 16) | ((y * 5) << 8) | (x ^ y);
    ASSERT_TRUE(PlatformPresent(w, frame.data(), 64, 48, 64 * 4));
    std::vector<std::uint32_t> expected(frame);
    for (std::uint32_t& p : expected)
        p &= 0xFFFFFFu;
    EXPECT_EQ(ServerPixels(w, 64, 48), expected);
    std::vector<std::uint32_t> shown;
    int sw = 0;
    int sh = 0;
    ASSERT_TRUE(PlatformReadWindowPixels(w, &shown, &sw, &sh));
    EXPECT_EQ(shown, expected);

    // A half-size frame with a padded pitch covers the whole client area.
    std::vector<std::uint32_t> half(40 * 24, 0xFFFFFFFFu);
    for (int y = 0; y < 24; ++y)
        for (int x = 0; x < 32; ++x)
            half[y * 40 + x] = (static_cast<std::uint32_t>(x * 8) << 16) | (y * 10);
    ASSERT_TRUE(PlatformPresent(w, half.data(), 32, 24, 40 * 4));
    const auto server = ServerPixels(w, 64, 48);
    ASSERT_EQ(server.size(), 64u * 48u);
    for (int y = 0; y < 48; ++y)
        for (int x = 0; x < 64; ++x)
            ASSERT_EQ(server[y * 64 + x], half[(y / 2) * 40 + x / 2]) << x << "," << y;
    EXPECT_EQ(PlatformPresentedFrames(), 2);
}

TEST_F(SdlWindowTest, EventsArriveAsWindowsMessages) {
    const HWND w = Open(64, 48);
    Drain();
    const Uint32 id = SDL_GetWindowID(Native(w));
    auto key = [&](SDL_Scancode code, bool down, bool repeat = false) {
        SDL_Event e{};
        e.type = down ? SDL_KEYDOWN : SDL_KEYUP;
        e.key.windowID = id;
        e.key.state = down ? SDL_PRESSED : SDL_RELEASED;
        e.key.repeat = repeat ? 1 : 0;
        e.key.keysym.scancode = code;
        SDL_PushEvent(&e);
    };
    key(SDL_SCANCODE_F1, true);
    key(SDL_SCANCODE_F1, true, true);
    key(SDL_SCANCODE_F1, false);
    key(SDL_SCANCODE_KP_ENTER, true);
    key(SDL_SCANCODE_LEFT, false);
    for (SDL_Event e : {SDL_Event{.motion = {SDL_MOUSEMOTION, 0, id, 0, 0, -5, 10, -5, 3}},
                        SDL_Event{.button = {SDL_MOUSEBUTTONDOWN, 0, id, 0, SDL_BUTTON_RIGHT, SDL_PRESSED, 1, 0, 7, 8}},
                        SDL_Event{.wheel = {SDL_MOUSEWHEEL, 0, id, 0, 0, -1, SDL_MOUSEWHEEL_NORMAL, 0, -1, 0, 0}},
                        SDL_Event{.window = {SDL_WINDOWEVENT, 0, id, SDL_WINDOWEVENT_CLOSE, 0, 0, 0, 0, 0}}})
        SDL_PushEvent(&e);

    // Only the messages of the pushed events are compared: the server's own (activation, the
    // window placed or sized, the pointer where it really is) come whenever it sends them, which
    // on a loaded machine may be after the first drain.
    std::vector<MSG> got;
    for (const MSG& m : Drain()) {
        const bool pointer = m.message == WM_MOUSEMOVE && (GET_X_LPARAM(m.lParam) == -5 || GET_X_LPARAM(m.lParam) == 7);
        const bool pushed = m.message == WM_KEYDOWN || m.message == WM_KEYUP || m.message == WM_RBUTTONDOWN ||
                            m.message == WM_MOUSEWHEEL || m.message == WM_CLOSE;
        if (pointer || pushed)
            got.push_back(m);
    }
    struct Want {
        UINT message;
        WPARAM wParam;
        DWORD lParam;
    };
    const Want want[] = {
        {WM_KEYDOWN, VK_F1, 0x003B0001},
        {WM_KEYDOWN, VK_F1, 0x403B0001},
        {WM_KEYUP, VK_F1, 0xC03B0001},
        {WM_KEYDOWN, VK_RETURN, 0x011C0001}, // keypad ENTER: extended
        {WM_KEYUP, VK_LEFT, 0xC14B0001},
        {WM_MOUSEMOVE, 0, MAKELPARAM(static_cast<WORD>(-5), 10)},
        {WM_MOUSEMOVE, 0, MAKELPARAM(7, 8)}, // the button's position first
        {WM_RBUTTONDOWN, MK_RBUTTON, MAKELPARAM(7, 8)},
        {WM_MOUSEWHEEL, MAKEWPARAM(MK_RBUTTON, static_cast<WORD>(-WHEEL_DELTA)), 0},
        {WM_CLOSE, 0, 0},
    };
    ASSERT_EQ(got.size(), std::size(want));
    for (std::size_t i = 0; i < got.size(); ++i) {
        EXPECT_EQ(got[i].message, want[i].message) << i;
        EXPECT_EQ(got[i].wParam, want[i].wParam) << i;
        if (got[i].message != WM_MOUSEWHEEL) {
            EXPECT_EQ(static_cast<DWORD>(got[i].lParam), want[i].lParam) << i;
        }
    }
}

TEST_F(SdlWindowTest, PointerAndSizeFollowTheDisplay) {
    const HWND w = Open(64, 48);
    ASSERT_TRUE(PlatformPresent(w, std::vector<std::uint32_t>(64 * 48).data(), 64, 48, 256));
    Drain();
    // Warping the pointer moves it on the server, which reports the move back.
    RECT r;
    GetWindowRect(w, &r);
    SetCursorPos(r.left + 10, r.top + 12);
    EXPECT_TRUE(WaitFor(w, [](const MSG& m) { return m.message == WM_MOUSEMOVE && m.lParam == MAKELPARAM(10, 12); }));

    // A size the program sets reaches the real window; one the display sets reaches the program.
    ASSERT_TRUE(SetWindowPos(w, nullptr, 0, 0, 100, 80, SWP_NOMOVE | SWP_NOZORDER));
    int sw = 0;
    int sh = 0;
    SDL_GetWindowSize(Native(w), &sw, &sh);
    EXPECT_EQ(sw, 100);
    EXPECT_EQ(sh, 80);
    SDL_SetWindowSize(Native(w), 120, 90);
    EXPECT_TRUE(WaitFor(w, [](const MSG& m) { return m.message == WM_SIZE && m.lParam == MAKELPARAM(120, 90); }));
    GetClientRect(w, &r);
    EXPECT_EQ(r.right, 120);
    EXPECT_EQ(r.bottom, 90);
}

// However long and many the text's lines, the error box stays on the screen; standard error gets the text
// as it was. The box blocks: a second thread waits for it to be mapped, measures it and closes it.
TEST_F(SdlWindowTest, AMessageBoxStaysOnTheScreen) {
    std::string text = "The player's start (0, -20, 0), the 'InitialPosition' of the 'Player' section in config.xml "
                       "line 42, has no floor within 1.5 m below it, or stands in a block.";
    for (int i = 0; i < 100; ++i)
        text += "\nline " + std::to_string(i);
    Display* d = WatchingRoot();
    XWindowAttributes box{};
    std::thread closer([&] {
        XEvent e{};
        if (!NextEvent(d, MapNotify, &e))
            return;
        XGetWindowAttributes(d, e.xmap.window, &box);
        XEvent close{};
        close.xclient = {ClientMessage, 0, False, d, e.xmap.window, XInternAtom(d, "WM_PROTOCOLS", False), 32, {}};
        close.xclient.data.l[0] = static_cast<long>(XInternAtom(d, "WM_DELETE_WINDOW", False));
        XSendEvent(d, e.xmap.window, False, NoEventMask, &close);
        XFlush(d);
    });
    testing::internal::CaptureStderr();
    EXPECT_EQ(MessageBoxA(nullptr, text.c_str(), "Handler", MB_ICONHAND), IDOK);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "Handler: " + text + "\n");
    closer.join();
    EXPECT_TRUE(box.width > 0 && box.x >= 0 && box.x + box.width <= DisplayWidth(d, 0)) << box.x << " + " << box.width;
    EXPECT_TRUE(box.y >= 0 && box.y + box.height <= DisplayHeight(d, 0)) << box.y << " + " << box.height;
    XCloseDisplay(d);
}

// The game ended while its error box is up takes the box with it, though the box may be shown by a
// process of its own. The game is the test's child; a box left behind is cleared away.
TEST_F(SdlWindowTest, AMessageBoxEndsWithTheGame) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    bool gone = false;
    std::thread watcher([&, d = WatchingRoot()] {
        XEvent e{};
        const Window box = NextEvent(d, MapNotify, &e) ? e.xmap.window : 0;
        while (box != 0 && !gone && NextEvent(d, DestroyNotify, &(e = XEvent{}), 20000))
            gone = e.xdestroywindow.window == box;
        if (box != 0 && !gone)
            XKillClient(d, box);
        XCloseDisplay(d);
    });
    EXPECT_EXIT(
        {
            std::thread([own = WatchingRoot()] {
                XEvent e{};
                if (NextEvent(own, MapNotify, &e))
                    kill(getpid(), SIGTERM);
            }).detach();
            MessageBoxA(nullptr, "No free floor for the player", "Handler", MB_ICONHAND);
        },
        testing::KilledBySignal(SIGTERM), "");
    watcher.join();
    EXPECT_TRUE(gone);
}

// A window the X server loses, destroyed by another client or with the game's connection, is closed
// as its user would close it, and the game ends as it does then.
TEST_F(SdlWindowTest, AWindowTheServerLosesIsClosed) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    for (const bool killClient : {false, true}) {
        EXPECT_EXIT(
            {
                const HWND w = Open(64, 48);
                Frame(w);
                std::thread([x = X11(w).info.x11.window, killClient] {
                    std::this_thread::sleep_for(std::chrono::milliseconds(100)); // while the game waits
                    Display* d = XOpenDisplay(nullptr);
                    killClient ? XKillClient(d, x) : XDestroyWindow(d, x);
                    XCloseDisplay(d);
                }).detach();
                const auto start = std::chrono::steady_clock::now(); // closed at once, not when a wait ends
                const bool closed = WaitFor(w, [](const MSG& m) { return m.message == WM_CLOSE; });
                _exit(closed && std::chrono::steady_clock::now() - start < std::chrono::seconds(20) ? 0 : 3);
            },
            testing::ExitedWithCode(0), "")
            << (killClient ? "its client killed" : "destroyed");
    }
}

// In a window the shell opens a page with the desktop's opener; on a machine without one it says so.
TEST_F(SdlWindowTest, AShellOpenWithoutTheDesktopsOpenerIsSaid) {
    const std::string path = std::getenv("PATH") != nullptr ? std::getenv("PATH") : "";
    setenv("PATH", "/nonexistent", 1);
    testing::internal::CaptureStderr();
    const auto result =
        reinterpret_cast<std::intptr_t>(ShellExecuteA(nullptr, "open", "http://x.invalid/", nullptr, nullptr, 3));
    const std::string said = testing::internal::GetCapturedStderr();
    setenv("PATH", path.c_str(), 1);
    EXPECT_EQ(result, SE_ERR_NOASSOC);
    EXPECT_NE(said.find("http://x.invalid/: not opened, this machine has no xdg-open"), std::string::npos) << said;
}

} // namespace
