// Window messages decoded by the shell's window procedure, and the dispatcher's order and
// defaults, on the headless window layer.

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "app_hook.h"
#include "graphics/core/file_system.h"
#include "graphics/core/memory.h"
#include "graphics/core/testkit/engine_fixture.h"
#include "platform/clock.h"
#include "platform/keys.h"
#include "platform/window.h"

namespace {

struct DeviceEvent {
    std::int32_t event;
    SkelKeyRecord key;
    SkelMouseRecord mouse;
    std::uint32_t forward;
    bool null;
};

std::vector<DeviceEvent> g_device;

std::int32_t RecordDevice(std::int32_t event, void* parameter) {
    DeviceEvent e{};
    e.event = event;
    e.null = parameter == nullptr;
    if (parameter != nullptr) {
        if (event == SKEL_EVENT_KEY_DOWN || event == SKEL_EVENT_KEY_UP) {
            e.key = *static_cast<SkelKeyRecord*>(parameter);
        } else if (event == SKEL_EVENT_MOUSE_WHEEL) {
            e.forward = static_cast<SkelWheelRecord*>(parameter)->forward;
        } else {
            e.mouse = *static_cast<SkelMouseRecord*>(parameter);
        }
    }
    g_device.push_back(e);
    return SKEL_EVENT_HANDLED;
}

LPARAM KeyLParam(std::uint32_t scan, bool extended, bool repeat) {
    return static_cast<LPARAM>(1u | scan << 16 | (extended ? 1u << 24 : 0u) | (repeat ? 1u << 30 : 0u));
}

struct ShellTest : ::testing::Test {
    HWND window = nullptr;
    SkelState* s = nullptr;

    void SetUp() override {
        StartHeadlessShell();
        g_device.clear();
        ASSERT_EQ(SkelEventDispatch(SKEL_EVENT_APP_START, nullptr), SKEL_EVENT_HANDLED);
        s = SkelGetState();
        s->graphicsOpen = false;
        s->windowActive = true;
        s->mousePositionKnown = false;
        WNDCLASSA wc{};
        wc.lpfnWndProc = SkelWindowProc;
        wc.lpszClassName = "ShellTest";
        ASSERT_NE(RegisterClassA(&wc), 0);
        window = CreateWindowExA(0, "ShellTest", "shell", WS_OVERLAPPEDWINDOW, CW_USEDEFAULT, CW_USEDEFAULT, 320, 200,
                                 nullptr, nullptr, GetModuleHandleA(nullptr), nullptr);
        ASSERT_NE(window, nullptr);
        s->platform.window = window;
        SkelInputDeviceAttach(SKEL_DEVICE_KEYBOARD, RecordDevice);
        SkelInputDeviceAttach(SKEL_DEVICE_MOUSE, RecordDevice);
        g_seen.clear();
    }

    void TearDown() override {
        StopHeadlessShell();
        s->platform.window = nullptr;
    }

    LRESULT Send(UINT message, WPARAM wParam, LPARAM lParam) { return SkelWindowProc(window, message, wParam, lParam); }
};

TEST_F(ShellTest, KeysRepeatExtendedAndEscape) {
    // A repeated key-down sends nothing; the key-up always goes.
    Send(WM_KEYDOWN, 'A', KeyLParam(30, false, true));
    EXPECT_TRUE(g_device.empty());
    Send(WM_KEYUP, 'A', KeyLParam(30, false, true));
    ASSERT_EQ(g_device.size(), 1u);
    EXPECT_EQ(g_device[0].event, SKEL_EVENT_KEY_UP);
    EXPECT_EQ(g_device[0].key.scanIndex, 30u);
    EXPECT_EQ(g_device[0].key.keyCode, static_cast<std::uint32_t>('a'));

    // The extended bit adds 128: right control is 157, keypad enter 156.
    g_device.clear();
    Send(WM_KEYDOWN, VK_CONTROL, KeyLParam(29, true, false));
    Send(WM_SYSKEYUP, VK_RETURN, KeyLParam(28, true, false));
    ASSERT_EQ(g_device.size(), 2u);
    EXPECT_EQ(g_device[0].key.scanIndex, 157u);
    EXPECT_EQ(g_device[0].key.keyCode, 175u);
    EXPECT_EQ(g_device[1].key.scanIndex, 156u);
    EXPECT_EQ(g_device[1].key.keyCode, 166u);

    // An extended key whose scan code is above 127 gives no key, not a read past the table.
    g_device.clear();
    Send(WM_KEYDOWN, 0, KeyLParam(0xFF, true, false));
    ASSERT_EQ(g_device.size(), 1u);
    EXPECT_EQ(g_device[0].key.scanIndex, 383u);
    EXPECT_EQ(g_device[0].key.keyCode, SKEL_KEY_NONE);

    // ALT+ESC goes to the keyboard but does not quit; ESC sends its key-down, then quits.
    g_device.clear();
    Send(WM_SYSKEYDOWN, VK_ESCAPE, KeyLParam(1, false, false));
    EXPECT_FALSE(s->quit);
    EXPECT_TRUE(g_seen.empty());
    Send(WM_KEYDOWN, VK_ESCAPE, KeyLParam(1, false, false));
    ASSERT_EQ(g_device.size(), 2u);
    EXPECT_EQ(g_device[1].key.keyCode, SKEL_KEY_ESC);
    EXPECT_EQ(SeenCodes(), std::vector<std::int32_t>{SKEL_EVENT_QUIT});
    EXPECT_TRUE(s->quit);

    // Without a keyboard handler key messages go nowhere.
    g_device.clear();
    s->devices[SKEL_DEVICE_KEYBOARD] = {SKEL_DEVICE_KEYBOARD, 0, nullptr};
    Send(WM_KEYDOWN, 'A', KeyLParam(30, false, false));
    EXPECT_TRUE(g_device.empty());
}

TEST_F(ShellTest, MouseMovesButtonsAndWheel) {
    // The first move only records the position; later ones carry the difference.
    Send(WM_MOUSEMOVE, 0, MAKELPARAM(100, 50));
    EXPECT_TRUE(g_device.empty());
    EXPECT_EQ(s->platform.lastMouseX, 100.0f);
    Send(WM_MOUSEMOVE, MK_SHIFT, MAKELPARAM(static_cast<WORD>(-4), 60));
    ASSERT_EQ(g_device.size(), 1u);
    EXPECT_EQ(g_device[0].event, SKEL_EVENT_MOUSE_MOVE);
    EXPECT_EQ(g_device[0].mouse.x, -4.0f);
    EXPECT_EQ(g_device[0].mouse.y, 60.0f);
    EXPECT_EQ(g_device[0].mouse.dx, -104.0f);
    EXPECT_EQ(g_device[0].mouse.dy, 10.0f);
    EXPECT_EQ(g_device[0].mouse.shift, 1u);

    // Setting the pointer makes the next move a first one again.
    SkelMousePointerSet(10.0f, 20.0f);
    EXPECT_FALSE(s->mousePositionKnown);
    POINT cursor{};
    GetCursorPos(&cursor);
    POINT origin{};
    ClientToScreen(window, &origin);
    EXPECT_EQ(cursor.x - origin.x, 10);
    EXPECT_EQ(cursor.y - origin.y, 20);
    g_device.clear();
    Send(WM_MOUSEMOVE, 0, MAKELPARAM(10, 20));
    EXPECT_TRUE(g_device.empty());

    // Moves of an inactive window send nothing, and the pointer is not set.
    s->windowActive = false;
    Send(WM_MOUSEMOVE, 0, MAKELPARAM(30, 30));
    EXPECT_TRUE(g_device.empty());
    SkelMousePointerSet(1.0f, 1.0f);
    EXPECT_TRUE(s->mousePositionKnown);
    s->windowActive = true;

    // Buttons capture the mouse and carry shift and control; releases carry nothing.
    Send(WM_RBUTTONDOWN, MK_RBUTTON | MK_CONTROL, MAKELPARAM(7, 9));
    EXPECT_EQ(GetCapture(), window);
    Send(WM_RBUTTONUP, 0, MAKELPARAM(7, 9));
    EXPECT_EQ(GetCapture(), nullptr);
    Send(WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(1, 2));
    Send(WM_LBUTTONUP, 0, MAKELPARAM(1, 2));
    ASSERT_EQ(g_device.size(), 4u);
    EXPECT_EQ(g_device[0].event, SKEL_EVENT_MOUSE_RIGHT_DOWN);
    EXPECT_EQ(g_device[0].mouse.control, 1u);
    EXPECT_EQ(g_device[0].mouse.shift, 0u);
    EXPECT_EQ(g_device[0].mouse.x, 7.0f);
    EXPECT_EQ(g_device[1].event, SKEL_EVENT_MOUSE_RIGHT_UP);
    EXPECT_TRUE(g_device[1].null);
    EXPECT_EQ(g_device[2].event, SKEL_EVENT_MOUSE_LEFT_DOWN);
    EXPECT_EQ(g_device[3].event, SKEL_EVENT_MOUSE_LEFT_UP);

    // A zero delta counts as forward.
    g_device.clear();
    for (short delta : {120, 0, -120}) {
        Send(WM_MOUSEWHEEL, MAKEWPARAM(0, static_cast<WORD>(delta)), 0);
    }
    ASSERT_EQ(g_device.size(), 3u);
    EXPECT_EQ(g_device[0].forward, 1u);
    EXPECT_EQ(g_device[1].forward, 1u);
    EXPECT_EQ(g_device[2].forward, 0u);
    EXPECT_TRUE(g_seen.empty()); // no mouse event passes the dispatcher
}

TEST_F(ShellTest, SizeActivationTimerAndClose) {
    // Before graphics are open, and with a zero side, nothing is dispatched.
    Send(WM_SIZE, SIZE_RESTORED, MAKELPARAM(400, 300));
    s->graphicsOpen = true;
    Send(WM_SIZE, SIZE_MINIMIZED, MAKELPARAM(0, 0));
    Send(WM_SIZE, SIZE_RESTORED, MAKELPARAM(400, 0));
    EXPECT_TRUE(g_seen.empty());
    SkelSizeRect seen{};
    g_app = [&seen](std::int32_t event, void* parameter) {
        if (event == SKEL_EVENT_CAMERA_SIZE) {
            auto* rect = static_cast<SkelSizeRect*>(parameter);
            seen = *rect;
            rect->width = 256; // the receiver keeps the size it can use
            rect->height = 128;
        }
        return SKEL_EVENT_HANDLED;
    };
    SetCapture(window);
    Send(WM_SIZE, SIZE_RESTORED, MAKELPARAM(400, 300));
    EXPECT_EQ(seen.width, 400);
    EXPECT_EQ(seen.height, 300);
    EXPECT_EQ(seen.x, 0);
    EXPECT_EQ(GetCapture(), nullptr); // released because the receiver changed both sides

    // Losing the focus starts the 20 ms timer, whose ticks are idle events; gaining it stops it.
    g_seen.clear();
    Send(WM_ACTIVATE, WA_INACTIVE, 0);
    EXPECT_FALSE(s->windowActive);
    ASSERT_EQ(g_seen.size(), 1u);
    EXPECT_EQ(g_seen[0].event, SKEL_EVENT_ACTIVATE);
    EXPECT_EQ(g_seen[0].parameter, nullptr);
    MSG m{};
    ASSERT_TRUE(WaitMessage());
    ASSERT_TRUE(PeekMessageA(&m, nullptr, 0, 0, PM_REMOVE));
    EXPECT_EQ(m.message, static_cast<UINT>(WM_TIMER));
    EXPECT_EQ(m.wParam, 1u);
    DispatchMessageA(&m);
    EXPECT_EQ(g_seen.back().event, SKEL_EVENT_IDLE);
    g_seen.clear();
    Send(WM_ACTIVATE, WA_ACTIVE, 0);
    EXPECT_TRUE(s->windowActive);
    ASSERT_EQ(g_seen.size(), 1u);
    EXPECT_EQ(reinterpret_cast<std::intptr_t>(g_seen[0].parameter), 1);
    EXPECT_FALSE(KillTimer(window, 1)); // already gone

    // Sizing runs a frame and resizes without moving.
    g_seen.clear();
    RECT before{};
    GetWindowRect(window, &before);
    RECT dragged = {5, 5, 505, 305};
    Send(WM_SIZING, 8, reinterpret_cast<LPARAM>(&dragged));
    EXPECT_EQ(SeenCodes().front(), SKEL_EVENT_IDLE);
    RECT after{};
    GetWindowRect(window, &after);
    EXPECT_EQ(after.left, before.left);
    EXPECT_EQ(after.right - after.left, 500);
    EXPECT_EQ(after.bottom - after.top, 300);

    // Closing posts the quit message and leaves the window to the entry point.
    Send(WM_CLOSE, 0, 0);
    EXPECT_TRUE(IsWindow(window));
    bool quit = false;
    while (PeekMessageA(&m, nullptr, 0, 0, PM_REMOVE)) {
        quit |= m.message == WM_QUIT;
    }
    EXPECT_TRUE(quit);
}

TEST_F(ShellTest, DroppedFilesAreOfferedThroughTheirOwnFileSystem) {
    ASSERT_TRUE(OvTestEngineUp());
    // The shell's file systems: "unc" on the working folder is the default.
    OvFSManagerClose();
    ASSERT_TRUE(OvFSManagerOpen(-1));
    ASSERT_EQ(SkelFileSystemsSetUp(), 1);
    OvFileSystem* before = OvFSManagerGetDefaultFileSystem();
    ASSERT_EQ(before, OvFSManagerFindFileSystem("unc"));
    std::vector<std::string> loads;
    g_app = [&loads](std::int32_t event, void* parameter) {
        if (event == SKEL_EVENT_FILE_LOAD) {
            loads.push_back(static_cast<const char*>(parameter));
            // While a dropped file is offered, names resolve through "uncd".
            EXPECT_EQ(OvFSManagerGetDefaultFileSystem(), OvFSManagerFindFileSystem("uncd"));
        }
        return SKEL_EVENT_NOT_HANDLED;
    };
    auto drop = [this](const std::vector<std::string>& paths) {
        PlatformInputDrop(window, paths);
        MSG m;
        while (PeekMessageA(&m, nullptr, 0, 0, PM_REMOVE)) {
            DispatchMessageA(&m);
        }
    };
    // From the last to the first; a name needs a ':' or a third '\' to be taken, and an empty
    // one is skipped.
    drop({"/abs/dir/one.dff", "", "/two.dff", "/a/b/three.dff"});
    EXPECT_EQ(loads, (std::vector<std::string>{"\\a\\b\\three.dff", "\\abs\\dir\\one.dff"}));
    EXPECT_EQ(OvFSManagerGetDefaultFileSystem(), before);
    // A second drop finds "uncd" registered and uses it again.
    OvFileSystem* uncd = OvFSManagerFindFileSystem("uncd");
    ASSERT_NE(uncd, nullptr);
    loads.clear();
    drop({"/x/y/z.bsp"});
    EXPECT_EQ(loads, (std::vector<std::string>{"\\x\\y\\z.bsp"}));
    EXPECT_EQ(OvFSManagerFindFileSystem("uncd"), uncd);
    EXPECT_EQ(OvFSManagerGetDefaultFileSystem(), before);
    g_app = nullptr;
    ASSERT_TRUE(OvTestEngineDown());
}

TEST_F(ShellTest, DispatcherOrderAndDefaults) {
    // The memory hook fills the table before the application sees it, and still passes it on.
    OvMemoryFunctions table{};
    OvMemoryFunctions seenTable{};
    g_app = [&seenTable](std::int32_t event, void* parameter) {
        if (event == SKEL_EVENT_MEMORY_FUNCTIONS) {
            seenTable = *static_cast<OvMemoryFunctions*>(parameter);
        }
        return SKEL_EVENT_NOT_HANDLED;
    };
    EXPECT_EQ(SkelEventDispatch(SKEL_EVENT_MEMORY_FUNCTIONS, &table), SKEL_EVENT_NOT_HANDLED);
    EXPECT_NE(seenTable.allocate, nullptr);
    void* block = table.callocate(3, 4, 0);
    ASSERT_NE(block, nullptr);
    EXPECT_EQ(static_cast<unsigned char*>(block)[11], 0);
    block = table.reallocate(block, 64, 0);
    table.free(block);

    // An argument comes back as a file load with the same text; nobody takes file loads.
    g_seen.clear();
    char name[] = "level.dff";
    EXPECT_EQ(SkelEventDispatch(SKEL_EVENT_ARGUMENT, name), SKEL_EVENT_HANDLED);
    ASSERT_EQ(g_seen.size(), 2u);
    EXPECT_EQ(g_seen[1].event, SKEL_EVENT_FILE_LOAD);
    EXPECT_EQ(g_seen[1].parameter, name);
    EXPECT_EQ(SkelEventDispatch(SKEL_EVENT_FILE_LOAD, name), SKEL_EVENT_NOT_HANDLED);

    // "-vms" matches only exactly.
    for (const char* arg : {"-vms", "-VMS", "-vmsx", "-vm", ""}) {
        EXPECT_EQ(SkelEventDispatch(SKEL_EVENT_PRE_OPEN_ARGUMENT, const_cast<char*>(arg)),
                  std::string(arg) == "-vms" ? SKEL_EVENT_HANDLED : SKEL_EVENT_FAILED)
            << arg;
    }
    EXPECT_EQ(SkelEventDispatch(SKEL_EVENT_ENGINE_INITIALISED, nullptr), SKEL_EVENT_HANDLED);
    EXPECT_EQ(SkelEventDispatch(SKEL_EVENT_APP_STOP, nullptr), SKEL_EVENT_HANDLED);
    for (std::int32_t code : {0, 4, 9, 18, 22, 27, 29, 31, -1}) {
        EXPECT_EQ(SkelEventDispatch(code, nullptr), SKEL_EVENT_NOT_HANDLED) << code;
    }

    // The application's answer wins, and the quit flag is set whatever it answered.
    g_app = [](std::int32_t, void*) { return SKEL_EVENT_FAILED; };
    EXPECT_EQ(SkelEventDispatch(SKEL_EVENT_ENGINE_INITIALISED, nullptr), SKEL_EVENT_FAILED);
    s->quit = false;
    EXPECT_EQ(SkelEventDispatch(SKEL_EVENT_QUIT, nullptr), SKEL_EVENT_FAILED);
    EXPECT_TRUE(s->quit);
    s->quit = false;
    g_app = nullptr;
    EXPECT_EQ(SkelEventDispatch(SKEL_EVENT_QUIT, nullptr), SKEL_EVENT_NOT_HANDLED);
    EXPECT_TRUE(s->quit);

    // Start-up resets the title, size, quit flag and devices.
    s->width = 5;
    EXPECT_EQ(SkelEventDispatch(SKEL_EVENT_APP_START, nullptr), SKEL_EVENT_HANDLED);
    EXPECT_EQ(s->width, 0);
    EXPECT_FALSE(s->quit);
    EXPECT_STREQ(s->title, "Orvanta Application");
    EXPECT_EQ(s->devices[SKEL_DEVICE_KEYBOARD].installed, 0u);

    // Device slots 0 to 2 only; a message nudges the keyboard with the "no key" pair.
    EXPECT_EQ(SkelInputDeviceAttach(3, RecordDevice), 0);
    EXPECT_EQ(SkelInputDeviceAttach(SKEL_DEVICE_PAD, RecordDevice), 1);
    SkelWarningMessage("no keyboard yet");
    EXPECT_TRUE(g_device.empty());
    EXPECT_EQ(SkelInputDeviceAttach(SKEL_DEVICE_KEYBOARD, RecordDevice), 1);
    SkelErrorMessage("Cannot create raster charset.");
    ASSERT_EQ(g_device.size(), 2u);
    EXPECT_EQ(g_device[0].event, SKEL_EVENT_KEY_UP);
    EXPECT_EQ(g_device[1].event, SKEL_EVENT_KEY_DOWN);
    EXPECT_EQ(g_device[1].key.scanIndex, 255u);
    EXPECT_EQ(g_device[1].key.keyCode, 255u);
}

} // namespace
