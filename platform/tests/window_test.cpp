#include "platform/present.h"
#include "window_kit.h"

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <png.h>
#include <string>
#include <vector>
#include "testing/scratch_dir.h"

namespace {

std::vector<UINT> Messages(const std::vector<MSG>& msgs) {
    std::vector<UINT> out;
    for (const MSG& m : msgs)
        out.push_back(m.message);
    return out;
}

TEST_F(WindowTest, QueueOrderFiltersQuitAndTimers) {
    Start();
    const HWND w = Open();
    Drain();
    ASSERT_EQ(SetTimer(w, 1, 20, nullptr), 1u);
    PostMessageA(w, WM_USER + 1, 11, 0);
    PostMessageA(nullptr, WM_USER + 2, 0, 0);
    PostMessageA(w, WM_USER + 3, 0, 0);
    PostQuitMessage(7);

    MSG m;
    // Filters: by range, by window, and thread messages only; PM_NOREMOVE leaves the message.
    ASSERT_TRUE(PeekMessageA(&m, nullptr, WM_USER + 3, WM_USER + 3, PM_NOREMOVE));
    EXPECT_EQ(m.message, WM_USER + 3u);
    ASSERT_TRUE(PeekMessageA(&m, reinterpret_cast<HWND>(static_cast<std::intptr_t>(-1)), 0, 0, PM_NOREMOVE));
    EXPECT_EQ(m.message, WM_USER + 2u);
    // Posted messages in order, then the quit with its code; the timer is not due before a frame.
    EXPECT_EQ(Messages(Drain()), (std::vector<UINT>{WM_USER + 1, WM_USER + 2, WM_USER + 3, WM_QUIT}));
    PostQuitMessage(7);
    ASSERT_EQ(GetMessageA(&m, nullptr, 0, 0), FALSE);
    EXPECT_EQ(m.wParam, 7u);
    EXPECT_FALSE(PeekMessageA(&m, nullptr, 0, 0, PM_REMOVE));

    // One frame (31 ms) makes the 20 ms timer due: a single WM_TIMER however late, then none
    // until it is due again.
    Frame(w);
    Frame(w);
    EXPECT_EQ(Messages(Drain()), (std::vector<UINT>{WM_TIMER}));
    Frame(w);
    EXPECT_EQ(Messages(Drain()), (std::vector<UINT>{WM_TIMER}));

    // Waiting on the fixed-step clock ends with the next timer, without a frame; a wait with a
    // timeout ends with it only when it is due within the timeout, else times out at once. A
    // message waiting ends any wait; the stand-in waits on no object handles.
    EXPECT_EQ(MsgWaitForMultipleObjects(0, nullptr, FALSE, 10, QS_ALLINPUT), WAIT_TIMEOUT);
    EXPECT_TRUE(Drain().empty());
    PostMessageA(w, WM_USER, 0, 0);
    EXPECT_EQ(MsgWaitForMultipleObjects(0, nullptr, FALSE, 0, QS_ALLINPUT), WAIT_OBJECT_0);
    EXPECT_EQ(Messages(Drain()), (std::vector<UINT>{WM_USER}));
    EXPECT_EQ(MsgWaitForMultipleObjects(1, nullptr, FALSE, 0, QS_ALLINPUT), WAIT_FAILED);
    EXPECT_EQ(MsgWaitForMultipleObjects(0, nullptr, FALSE, 20, QS_ALLINPUT), WAIT_OBJECT_0);
    EXPECT_EQ(Messages(Drain()), (std::vector<UINT>{WM_TIMER}));
    const long waits = PlatformMessageWaits();
    EXPECT_TRUE(WaitMessage());
    EXPECT_EQ(PlatformMessageWaits(), waits + 1);
    ASSERT_EQ(GetMessageA(&m, w, 0, 0), TRUE);
    EXPECT_EQ(m.message, WM_TIMER);
    EXPECT_EQ(m.wParam, 1u);

    // Killed timers stop; a thread timer's procedure is called by DispatchMessageA.
    EXPECT_TRUE(KillTimer(w, 1));
    EXPECT_FALSE(KillTimer(w, 1));
    static int calls = 0;
    const UINT_PTR id = SetTimer(nullptr, 0, 10, [](HWND, UINT, UINT_PTR, DWORD) { ++calls; });
    ASSERT_NE(id, 0u);
    Frame(w);
    const auto got = Drain();
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].wParam, id);
    EXPECT_EQ(calls, 1);
}

TEST_F(WindowTest, ScriptedInputArrivesAtItsFrameWithWindowsLayouts) {
    Start({{"PLATFORM_KEYS", "0:move=10/20, 2:down=F1, 2:down=F1, 3:up=F1, 3:RCONTROL, 4:down=LMENU, 4:A, "
                             "4:up=LMENU, 5:down=LSHIFT, 5:move=-3/-4, 5:down=LBUTTON, 5:wheel=-2, 6:rel=1/1"}});
    const HWND w = Open();
    RECT r;
    GetWindowRect(w, &r);
    auto got = Drain();
    ASSERT_GE(got.size(), 1u);
    EXPECT_EQ(got.back().message, WM_MOUSEMOVE);
    EXPECT_EQ(got.back().lParam, MAKELPARAM(10, 20));
    Frame(w);
    EXPECT_TRUE(Drain().empty()); // nothing at frame 1

    struct Want {
        UINT message;
        WPARAM wParam;
        DWORD lParam;
    };
    auto expect = [&](std::initializer_list<Want> want) {
        Frame(w);
        got = Drain();
        ASSERT_EQ(got.size(), want.size());
        std::size_t i = 0;
        for (const Want& x : want) {
            EXPECT_EQ(got[i].message, x.message) << i;
            EXPECT_EQ(got[i].wParam, x.wParam) << i;
            EXPECT_EQ(static_cast<DWORD>(got[i].lParam), x.lParam) << std::hex << got[i].lParam;
            ++i;
        }
    };
    // F1 down, again with the repeat bit, then up with the previous-state and transition bits.
    expect({{WM_KEYDOWN, VK_F1, 0x003B0001}, {WM_KEYDOWN, VK_F1, 0x403B0001}});
    // Right control: extended bit, generic virtual key.
    expect({{WM_KEYUP, VK_F1, 0xC03B0001}, {WM_KEYDOWN, VK_CONTROL, 0x011D0001}, {WM_KEYUP, VK_CONTROL, 0xC11D0001}});
    // With alt held, keys become system keys with the context bit.
    expect({{WM_SYSKEYDOWN, VK_MENU, 0x20380001},
            {WM_SYSKEYDOWN, 'A', 0x201E0001},
            {WM_SYSKEYUP, 'A', 0xE01E0001},
            {WM_KEYUP, VK_MENU, 0xC0380001}});
    // Negative client coordinates stay signed; shift shows in the mouse key flags; the wheel
    // delta is signed in the high word and the wheel message carries screen coordinates.
    Frame(w);
    got = Drain();
    ASSERT_EQ(got.size(), 4u);
    EXPECT_EQ(got[1].message, WM_MOUSEMOVE);
    EXPECT_EQ(GET_X_LPARAM(got[1].lParam), -3);
    EXPECT_EQ(GET_Y_LPARAM(got[1].lParam), -4);
    EXPECT_EQ(got[2].message, WM_LBUTTONDOWN);
    EXPECT_EQ(got[2].wParam, MK_LBUTTON | MK_SHIFT);
    EXPECT_EQ(got[3].message, WM_MOUSEWHEEL);
    EXPECT_EQ(GET_WHEEL_DELTA_WPARAM(got[3].wParam), -240);
    EXPECT_EQ(LOWORD(got[3].wParam), MK_LBUTTON | MK_SHIFT);
    EXPECT_EQ(GET_X_LPARAM(got[3].lParam), r.left - 3);
    EXPECT_EQ(got[3].pt.y, r.top - 4);
    Frame(w);
    got = Drain();
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].lParam, MAKELPARAM(static_cast<WORD>(-2), static_cast<WORD>(-3)));
}

TEST_F(WindowTest, GeometryStylesAndDestruction) {
    Start();
    WNDCLASSA refuse{};
    refuse.lpfnWndProc = [](HWND w, UINT m, WPARAM wp, LPARAM lp) -> LRESULT {
        return m == WM_CREATE ? -1 : DefWindowProcA(w, m, wp, lp);
    };
    refuse.lpszClassName = "Refuse";
    ASSERT_NE(RegisterClassA(&refuse), 0);
    EXPECT_EQ(RegisterClassA(&refuse), 0);
    EXPECT_EQ(GetLastError(), ERROR_CLASS_ALREADY_EXISTS);
    EXPECT_EQ(CreateWindowExA(0, "refuse", "", 0, 0, 0, 10, 10, nullptr, nullptr, nullptr, nullptr), nullptr);
    EXPECT_EQ(CreateWindowExA(0, "NoClass", "", 0, 0, 0, 10, 10, nullptr, nullptr, nullptr, nullptr), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_CANNOT_FIND_WND_CLASS);
    EXPECT_EQ(CreateWindowExA(0, "Refuse", "", WS_CHILD, 0, 0, 10, 10, nullptr, nullptr, nullptr, nullptr), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_TLW_WITH_WSCHILD);

    const HWND w = Open(640, 480);
    // The first showing activates the window at once (sent, not queued), and only once.
    ASSERT_GE(g_received.size(), 2u);
    EXPECT_EQ(g_received.front().message, WM_CREATE);
    EXPECT_EQ(g_received.back().message, WM_ACTIVATE);
    EXPECT_EQ(LOWORD(g_received.back().wParam), WA_ACTIVE);
    g_received.clear();
    ShowWindow(w, SW_SHOW);
    EXPECT_TRUE(g_received.empty());

    RECT r;
    ASSERT_TRUE(GetClientRect(w, &r));
    EXPECT_EQ(r.right, 640);
    EXPECT_EQ(r.bottom, 480);
    POINT p{5, 6};
    ASSERT_TRUE(ClientToScreen(w, &p));
    GetWindowRect(w, &r);
    EXPECT_EQ(p.x, r.left + 5);
    EXPECT_EQ(r.right - r.left, 640);

    // A resize reaches the window as WM_WINDOWPOSCHANGED and, through the default procedure, WM_SIZE.
    ASSERT_TRUE(SetWindowPos(w, nullptr, 0, 0, 800, 600, SWP_NOMOVE | SWP_NOZORDER));
    ASSERT_EQ(g_received.size(), 2u);
    EXPECT_EQ(g_received[0].message, WM_WINDOWPOSCHANGED);
    EXPECT_EQ(g_received[1].message, WM_SIZE);
    EXPECT_EQ(g_received[1].lParam, MAKELPARAM(800, 600));
    // A position change record without a record is ignored, not read.
    g_received.clear();
    EXPECT_EQ(DefWindowProcA(w, WM_WINDOWPOSCHANGED, 0, 0), 0);
    EXPECT_TRUE(g_received.empty());

    // Styles, minimised and maximised states, placement.
    EXPECT_EQ(static_cast<DWORD>(SetWindowLongA(w, GWL_STYLE, static_cast<LONG>(WS_POPUP))) & WS_OVERLAPPEDWINDOW,
              WS_OVERLAPPEDWINDOW);
    EXPECT_EQ(static_cast<DWORD>(GetWindowLongA(w, GWL_STYLE)), WS_POPUP); // WS_VISIBLE was cleared too
    ShowWindow(w, SW_MINIMIZE);
    EXPECT_TRUE(IsIconic(w));
    EXPECT_EQ(g_received.back().message, WM_SIZE);
    EXPECT_EQ(g_received.back().wParam, SIZE_MINIMIZED);
    WINDOWPLACEMENT wp{};
    wp.length = sizeof wp;
    GetWindowPlacement(w, &wp);
    EXPECT_EQ(wp.showCmd, static_cast<UINT>(SW_SHOWMINIMIZED));
    ShowWindow(w, SW_SHOWMAXIMIZED);
    EXPECT_FALSE(IsIconic(w));
    GetWindowPlacement(w, &wp);
    EXPECT_EQ(wp.showCmd, static_cast<UINT>(SW_SHOWMAXIMIZED));
    EXPECT_NE(static_cast<DWORD>(GetWindowLongA(w, GWL_STYLE)) & WS_MAXIMIZE, 0u);

    // The instance handle needs a pointer-sized word.
    EXPECT_EQ(GetWindowLongA(w, GWLP_HINSTANCE), 0);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_INDEX);
    EXPECT_EQ(GetWindowLongPtrA(w, GWLP_HINSTANCE), reinterpret_cast<LONG_PTR>(GetModuleHandleA(nullptr)));

    // Destruction: WM_DESTROY, its queued messages and timers gone, the handle refused afterwards.
    PostMessageA(w, WM_USER, 0, 0);
    SetTimer(w, 3, 10, nullptr);
    SetCapture(w);
    g_received.clear();
    ASSERT_TRUE(DestroyWindow(w));
    ASSERT_EQ(g_received.size(), 1u);
    EXPECT_EQ(g_received[0].message, WM_DESTROY);
    EXPECT_FALSE(IsWindow(w));
    EXPECT_EQ(GetCapture(), nullptr);
    Frame(PlatformMainWindow() == nullptr ? Open() : PlatformMainWindow());
    for (const MSG& m : Drain())
        EXPECT_NE(m.hwnd, w);
    EXPECT_FALSE(GetClientRect(w, &r));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_WINDOW_HANDLE);
    EXPECT_FALSE(PostMessageA(w, WM_USER, 0, 0));
}

// A device-selection dialog like the shell's: a list of modes, OK and EXIT.
INT_PTR g_chosen = -1;
INT_PTR CALLBACK_ModeDialog(HWND d, UINT m, WPARAM wp, LPARAM) {
    if (m == WM_INITDIALOG) {
        for (const char* t : {"640 x 480 x 32 ", "800 x 600 x 16 ", "800 x 600 x 32 (Fullscreen)"}) {
            const LRESULT i = SendDlgItemMessageA(d, 1001, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(t));
            SendDlgItemMessageA(d, 1001, CB_SETITEMDATA, static_cast<WPARAM>(i), 10 + i);
        }
        SendDlgItemMessageA(d, 1001, CB_SETCURSEL, 0, 0);
        g_chosen = 10;
        SetFocus(GetDlgItem(d, 1000));
        return 0;
    }
    if (m == WM_COMMAND && LOWORD(wp) == 1001 && HIWORD(wp) == CBN_SELCHANGE) {
        const LRESULT sel = SendDlgItemMessageA(d, 1001, CB_GETCURSEL, 0, 0);
        g_chosen = SendDlgItemMessageA(d, 1001, CB_GETITEMDATA, static_cast<WPARAM>(sel), 0);
    }
    if (m == WM_COMMAND && LOWORD(wp) == IDOK)
        EndDialog(d, 1);
    if (m == WM_COMMAND && LOWORD(wp) == 1002)
        EndDialog(d, 0);
    return 0;
}

// A destroyed window's handle never comes back as another window's, however many windows follow
// (the allocator would hand the same record address out again at once).
TEST_F(WindowTest, DestroyedHandlesStayInvalidAcrossLaterWindows) {
    std::vector<HWND> gone;
    for (int i = 0; i < 64; ++i) {
        const HWND w = Open(32 + i, 24);
        ASSERT_NE(w, nullptr);
        for (HWND old : gone) {
            ASSERT_NE(w, old) << "window " << i;
        }
        ASSERT_TRUE(DestroyWindow(w));
        gone.push_back(w);
    }
    const HWND live = Open();
    RECT r{};
    for (HWND old : gone) {
        EXPECT_FALSE(IsWindow(old));
        EXPECT_FALSE(GetClientRect(old, &r));
    }
    EXPECT_TRUE(IsWindow(live));
}

TEST_F(WindowTest, DialogAnswersFromTheConfiguredModeOrTakesTheFailurePath) {
    struct Case {
        const char* mode;
        const char* answer;
        INT_PTR result;
        INT_PTR chosen;
    };
    const Case cases[] = {
        {nullptr, nullptr, 1, 10},                                  // OK on the current mode
        {"800x600x32", nullptr, 1, 12},                             // the configured mode, not its 16-bit namesake
        {"800X600x16", "ok", 1, 11},      {nullptr, "1002", 0, 10}, // EXIT
        {"1024x768x32", nullptr, -1, 10},                           // not offered: the dialog fails
        {nullptr, "cancel", -1, 10},                                // a button the procedure ignores: never ended
    };
    for (const Case& c : cases) {
        Start();
        if (c.mode != nullptr)
            setenv("PLATFORM_VIDEO_MODE", c.mode, 1);
        if (c.answer != nullptr)
            setenv("PLATFORM_DIALOG", c.answer, 1);
        const HWND w = Open();
        g_chosen = -1;
        EXPECT_EQ(DialogBoxParamA(nullptr, MAKEINTRESOURCEA(104), w, CALLBACK_ModeDialog, 0), c.result)
            << (c.mode ? c.mode : "") << (c.answer ? c.answer : "");
        EXPECT_EQ(g_chosen, c.chosen);
        const auto& controls = PlatformLastDialog();
        const auto list = std::find_if(controls.begin(), controls.end(), [](const auto& c) { return c.id == 1001; });
        ASSERT_NE(list, controls.end());
        EXPECT_EQ(list->texts.size(), 3u);
        EXPECT_TRUE(IsWindow(w));
    }
}

TEST_F(WindowTest, DroppedFilesAndMessageBoxes) {
    const std::string log = (MakeTestScratchDir("window") / "msgbox.txt").string();
    std::remove(log.c_str());
    Start({{"PLATFORM_KEYS", "1:drop=data/level.dff"}, {"PLATFORM_MSGBOX_LOG", log.c_str()}});
    const HWND w = Open();
    Frame(w);
    EXPECT_TRUE(Drain().empty()); // the window does not accept files
    Start({{"PLATFORM_KEYS", "1:drop=data/level.dff"}, {"PLATFORM_MSGBOX_LOG", log.c_str()}});
    const HWND a = Open();
    DragAcceptFiles(a, TRUE);
    Frame(a);
    const auto got = Drain();
    ASSERT_EQ(got.size(), 1u);
    ASSERT_EQ(got[0].message, WM_DROPFILES);
    const auto drop = reinterpret_cast<HDROP>(got[0].wParam);
    ASSERT_EQ(DragQueryFileA(drop, 0xFFFFFFFFu, nullptr, 0), 1u);
    // The name is absolute with Windows separators, so the shell's rule takes it.
    const std::string expected = (std::filesystem::current_path() / "data" / "level.dff").string();
    std::string windows = expected;
    std::replace(windows.begin(), windows.end(), '/', '\\');
    EXPECT_EQ(DragQueryFileA(drop, 0, nullptr, 0), windows.size());
    char small[8];
    EXPECT_EQ(DragQueryFileA(drop, 0, small, sizeof small), 7u);
    EXPECT_EQ(std::string(small), windows.substr(0, 7));
    EXPECT_EQ(DragQueryFileA(drop, 1, small, sizeof small), 0u);
    DragFinish(drop);
    EXPECT_EQ(DragQueryFileA(drop, 0xFFFFFFFFu, nullptr, 0), 0u);

    EXPECT_EQ(MessageBoxA(nullptr, "Configuration file not found", "Handler", MB_ICONHAND), IDOK);
    EXPECT_EQ(MessageBoxA(nullptr, "second", "Handler", MB_YESNO), IDYES);
    std::ifstream in(log);
    const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_EQ(text, "Configuration file not found\nsecond\n");

    // Without a display the shell only logs; what it cannot do it refuses.
    EXPECT_EQ(
        reinterpret_cast<std::intptr_t>(ShellExecuteA(nullptr, "open", "no\\such\\page.html", nullptr, nullptr, 3)), 2);
    EXPECT_EQ(reinterpret_cast<std::intptr_t>(ShellExecuteA(nullptr, "print", log.c_str(), nullptr, nullptr, 3)),
              SE_ERR_NOASSOC);
    EXPECT_GT(reinterpret_cast<std::intptr_t>(ShellExecuteA(nullptr, "open", log.c_str(), nullptr, nullptr, 3)), 32);
}

// Reads an 8-bit RGB PNG into 0xRRGGBB words.
std::vector<std::uint32_t> ReadPng(const std::string& path, png_uint_32* w, png_uint_32* h) {
    png_image image{};
    image.version = PNG_IMAGE_VERSION;
    std::vector<std::uint32_t> out;
    if (!png_image_begin_read_from_file(&image, path.c_str()))
        return out;
    image.format = PNG_FORMAT_RGB;
    std::vector<png_byte> rgb(PNG_IMAGE_SIZE(image));
    png_image_finish_read(&image, nullptr, rgb.data(), 0, nullptr);
    *w = image.width;
    *h = image.height;
    for (std::size_t i = 0; i + 2 < rgb.size(); i += 3)
        out.push_back((static_cast<std::uint32_t>(rgb[i]) << 16) | (rgb[i + 1] << 8) | rgb[i + 2]);
    return out;
}

// A message box's text is wrapped so that the box fits the screen, at SDL's box metrics: 7 px a character,
// 15 a line, 15 each side, 82 besides the lines; the first row as SDL draws it (unwrapped: 1136 px at x = -56).
TEST(MessageBoxLayout, TheTextIsWrappedAndTheBoxKeptOnTheScreen) {
    const struct {
        int width, height;       // of the screen
        std::string text, shown; // each line shown followed by '|', then the box's left, top, right and bottom
    } rows[] = {
        {1024, 768,
         "No free floor for the player\nThe player's start (0, -20, 0), the 'InitialPosition' of the 'Player' "
         "section in config.xml line 42, has no floor within 1.5 m below it, or stands in a block.",
         "No free floor for the player|The player's start (0, -20, 0), the 'InitialPosition' of the 'Player' section "
         "in|config.xml line 42, has no floor within 1.5 m below it, or stands in a block.| 217 213 807 340"},
        {320, 480, "path abcdefghijklmnopqrstuvwxyz0123456789   end",
         "path|abcdefghijklmnopqrstuvwx|yz0123456789   end| 61 117 259 244"},
        {320, 480, "Configuration file not found\r\n config.xml should be added in root directory\n\nend\n",
         "Configuration file not|found| config.xml should be|added in root directory||end|| 64 97 255 284"},
        {320, 200, "1\n2\n3\n4\n5\n6", "1|2|3|4...| 131 19 189 161"}, // cut at 3/4 of the height
        {1024, 768, "", " 497 228 527 310"},
        {30, 480, "a\xC3\xA9\xC3\xA9", "a|\xC3\xA9|\xC3\xA9| 0 117 37 244"}, // a box wider than the screen
    };
    for (const auto& row : rows) {
        const PlatformBoxLayout got = PlatformLayOutMessageBox(row.text, row.width, row.height, PlatformBoxFont{});
        std::string shown;
        for (const std::string& line : got.lines)
            shown += line + "|";
        for (const LONG edge : {got.box.left, got.box.top, got.box.right, got.box.bottom})
            shown += " " + std::to_string(edge);
        EXPECT_EQ(shown, row.shown) << row.text;
    }
}

TEST_F(WindowTest, PresentCountsCapturesAndQuits) {
    const std::string dir = (MakeTestScratchDir("window") / "captures").string();
    std::filesystem::remove_all(dir);
    std::filesystem::create_directories(dir);
    const std::string pattern = dir + "/f%03d.png";
    Start({{"PLATFORM_FRAMES", "5"},
           {"PLATFORM_CAPTURE", pattern.c_str()},
           {"PLATFORM_CAPTURE_EVERY", "2"},
           {"PLATFORM_FIXED_STEP", "0.25"}});
    const HWND w = Open();
    Drain();

    // Bad frames are refused and not counted.
    std::uint32_t px[3 * 2 + 1] = {};
    EXPECT_FALSE(PlatformPresent(w, px, 3, 2, 8));
    EXPECT_FALSE(PlatformPresent(w, nullptr, 3, 2, 12));
    EXPECT_FALSE(PlatformPresent(nullptr, px, 3, 2, 12));
    EXPECT_EQ(PlatformPresentedFrames(), 0);

    // A 3 x 2 frame with a padded pitch: the capture holds the pixels, not the padding or alpha.
    std::uint32_t frame[2][4] = {{0xFF102030u, 0x00405060u, 0xFFFFFFFFu, 0xDEADBEEFu},
                                 {0x12000000u, 0xFF00FF00u, 0xFF0000FFu, 0xDEADBEEFu}};
    for (int i = 1; i <= 5; ++i) {
        frame[0][0] = 0xFF000000u | static_cast<std::uint32_t>(i);
        ASSERT_TRUE(PlatformPresent(w, frame, 3, 2, 16));
        const auto got = Drain();
        EXPECT_EQ(!got.empty() && got.back().message == WM_QUIT, i == 5) << i;
    }
    EXPECT_EQ(PlatformClockSeconds(), 1.25);
    std::vector<std::string> files;
    for (const auto& e : std::filesystem::directory_iterator(dir))
        files.push_back(e.path().filename().string());
    std::sort(files.begin(), files.end());
    EXPECT_EQ(files, (std::vector<std::string>{"f002.png", "f004.png"}));
    png_uint_32 cw = 0;
    png_uint_32 ch = 0;
    const auto pixels = ReadPng(dir + "/f004.png", &cw, &ch);
    EXPECT_EQ(cw, 3u);
    EXPECT_EQ(ch, 2u);
    EXPECT_EQ(pixels, (std::vector<std::uint32_t>{0x000004, 0x405060, 0xFFFFFF, 0x000000, 0x00FF00, 0x0000FF}));
    // The window keeps the last frame the same way, read back without its alpha: from rows
    // with padding, then from rows that follow each other.
    std::vector<std::uint32_t> kept;
    int kw = 0, kh = 0;
    ASSERT_TRUE(PlatformReadWindowPixels(w, &kept, &kw, &kh));
    EXPECT_EQ(kw, 3);
    EXPECT_EQ(kh, 2);
    EXPECT_EQ(kept, (std::vector<std::uint32_t>{0x000005, 0x405060, 0xFFFFFF, 0x000000, 0x00FF00, 0x0000FF}));
    const std::uint32_t packed[4] = {0xAB010203u, 0x00040506u, 0xFF070809u, 0x120A0B0Cu};
    ASSERT_TRUE(PlatformPresent(w, packed, 2, 2, 8));
    ASSERT_TRUE(PlatformReadWindowPixels(w, &kept, &kw, &kh));
    EXPECT_EQ(kw, 2);
    EXPECT_EQ(kept, (std::vector<std::uint32_t>{0x010203, 0x040506, 0x070809, 0x0A0B0C}));
}

TEST_F(WindowTest, AFrameLimitOrAWaitNothingCanEndEndsARunThatStoppedPresenting) {
    Start({{"PLATFORM_FRAMES", "4"}});
    const HWND w = Open();
    // Frames reset the count of empty looks: presenting after every look never quits early.
    for (int i = 0; i < 3; ++i) {
        Drain();
        Frame(w);
    }
    // Then the program stops drawing: the fourth empty look in a row posts the quit.
    MSG m;
    for (int look = 1; look <= 3; ++look)
        ASSERT_FALSE(PeekMessageA(&m, nullptr, 0, 0, PM_REMOVE)) << look;
    EXPECT_FALSE(PeekMessageA(&m, nullptr, 0, 0, PM_REMOVE));
    ASSERT_TRUE(PeekMessageA(&m, nullptr, 0, 0, PM_REMOVE));
    EXPECT_EQ(m.message, static_cast<UINT>(WM_QUIT));
    EXPECT_EQ(m.wParam, 0u);
    EXPECT_EQ(PlatformPresentedFrames(), 3);

    // Without a limit an idle program is left alone.
    Start();
    const HWND idle = Open();
    Drain();
    for (int look = 0; look < 100; ++look)
        ASSERT_FALSE(PeekMessageA(&m, nullptr, 0, 0, PM_REMOVE));
    // But a wait for a message that nothing headless can send (no timer, no limit) would never
    // end: the window is closed instead, as its user would close it.
    EXPECT_EQ(MsgWaitForMultipleObjects(0, nullptr, FALSE, 0, QS_ALLINPUT), WAIT_TIMEOUT);
    EXPECT_TRUE(Drain().empty());
    EXPECT_TRUE(WaitMessage());
    const auto closed = Drain();
    ASSERT_EQ(Messages(closed), (std::vector<UINT>{WM_CLOSE}));
    EXPECT_EQ(closed[0].hwnd, idle);
    // With a limit the limit ends it, as above: the wait leaves the queue alone.
    Start({{"PLATFORM_FRAMES", "4"}});
    Open();
    Drain();
    EXPECT_TRUE(WaitMessage());
    EXPECT_FALSE(PeekMessageA(&m, nullptr, 0, 0, PM_REMOVE));
}

TEST_F(WindowTest, DirectoryDrivesAndDebuggerOutput) {
    char dir[MAX_PATH + 1];
    const DWORD n = GetCurrentDirectoryA(sizeof dir, dir);
    ASSERT_GT(n, 0u);
    EXPECT_EQ(std::string(dir, n), std::filesystem::current_path().string());
    // Too small a buffer: the size needed, terminator included, and nothing written.
    char tiny[2] = {'x', 'y'};
    EXPECT_EQ(GetCurrentDirectoryA(sizeof tiny, tiny), n + 1);
    EXPECT_EQ(tiny[0], 'x');
    EXPECT_EQ(GetLogicalDrives(), 0u);
    EXPECT_EQ(GetDriveTypeA("C:\\"), DRIVE_NO_ROOT_DIR);
    char text[] = "models\\Level-1.dff \xE9";
    EXPECT_STREQ(CharUpperA(text), "MODELS\\LEVEL-1.DFF \xE9");
}

TEST_F(WindowTest, CursorCaptureAndClippingAndTheCommandLine) {
    // The test program's own arguments come back in one line, starting with its name.
    const std::string line = GetCommandLineA();
    EXPECT_NE(line.find("platform_tests"), std::string::npos);
    EXPECT_EQ(line.find('\0'), std::string::npos);

    Start();
    const HWND w = Open();
    EXPECT_EQ(ShowCursor(FALSE), -1);
    EXPECT_EQ(ShowCursor(FALSE), -2);
    EXPECT_EQ(ShowCursor(TRUE), -1);
    RECT clip{100, 100, 200, 150};
    ClipCursor(&clip);
    SetCursorPos(500, 20);
    POINT p;
    GetCursorPos(&p);
    EXPECT_EQ(p.x, 199);
    EXPECT_EQ(p.y, 100);
    ClipCursor(nullptr);
    SetCursorPos(-5, 7);
    GetCursorPos(&p);
    EXPECT_EQ(p.x, -5);
    EXPECT_EQ(SetCapture(w), nullptr);
    EXPECT_EQ(GetCapture(), w);
    ReleaseCapture();
    EXPECT_EQ(GetCapture(), nullptr);
    EXPECT_NE(LoadCursorA(nullptr, IDC_ARROW), nullptr);
    EXPECT_EQ(LoadCursorA(nullptr, MAKEINTRESOURCEA(1)), nullptr);
}

} // namespace
