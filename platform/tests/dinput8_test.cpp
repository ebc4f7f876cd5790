#include "platform/dinput8.h"
#include "window_kit.h"

namespace {

struct MouseTest : WindowTest {
    IDirectInput8A* di = nullptr;
    IDirectInputDevice8A* mouse = nullptr;
    HWND window = nullptr;

    // The framework's creation sequence: interface, mouse, format, exclusive foreground level,
    // a buffer of the given size, acquired.
    void Create(DWORD bufferSize) {
        Start({{"PLATFORM_KEYS", "1:rel=5/-3, 1:down=LBUTTON, 2:up=LBUTTON, 2:rel=1/1, 2:wheel=1, 3:deactivate"}});
        window = Open();
        ASSERT_EQ(DirectInput8Create(GetModuleHandleA(nullptr), DIRECTINPUT_VERSION, IID_IDirectInput8A,
                                     reinterpret_cast<void**>(&di), nullptr),
                  DI_OK);
        ASSERT_EQ(di->CreateDevice(GUID_SysMouse, &mouse, nullptr), DI_OK);
        ASSERT_EQ(mouse->SetDataFormat(&c_dfDIMouse2), DI_OK);
        ASSERT_EQ(mouse->SetCooperativeLevel(window, DISCL_EXCLUSIVE | DISCL_FOREGROUND), DI_OK);
        DIPROPDWORD p{{sizeof(DIPROPDWORD), sizeof(DIPROPHEADER), 0, DIPH_DEVICE}, bufferSize};
        ASSERT_EQ(mouse->SetProperty(DIPROP_BUFFERSIZE, &p.diph), DI_OK);
        ASSERT_EQ(mouse->Acquire(), DI_OK);
        EXPECT_EQ(mouse->Acquire(), DI_NOEFFECT);
    }

    void TearDown() override {
        if (mouse != nullptr)
            mouse->Release();
        if (di != nullptr)
            di->Release();
        WindowTest::TearDown();
    }
};

TEST_F(MouseTest, CreationRefusesWhatItCannotServe) {
    Start();
    void* out = nullptr;
    EXPECT_EQ(DirectInput8Create(nullptr, 0x0800, IID_IDirectInput8A, &out, nullptr), DIERR_INVALIDPARAM);
    EXPECT_EQ(DirectInput8Create(GetModuleHandleA(nullptr), 0x0700, IID_IDirectInput8A, &out, nullptr),
              DIERR_OLDDIRECTINPUTVERSION);
    EXPECT_EQ(DirectInput8Create(GetModuleHandleA(nullptr), 0x0800, GUID_SysMouse, &out, nullptr), DIERR_NOINTERFACE);
    EXPECT_EQ(out, nullptr);
    ASSERT_EQ(DirectInput8Create(GetModuleHandleA(nullptr), 0x0800, IID_IDirectInput8A, reinterpret_cast<void**>(&di),
                                 nullptr),
              DI_OK);
    EXPECT_EQ(di->CreateDevice(IID_IDirectInput8A, &mouse, nullptr), DIERR_DEVICENOTREG);
    ASSERT_EQ(di->CreateDevice(GUID_SysMouse, &mouse, nullptr), DI_OK);
    EXPECT_EQ(mouse->Acquire(), DIERR_INVALIDPARAM); // no data format yet
    DIDATAFORMAT other = c_dfDIMouse2;
    EXPECT_EQ(mouse->SetDataFormat(&other), DIERR_UNSUPPORTED);
    EXPECT_EQ(mouse->SetDataFormat(&c_dfDIMouse2), DI_OK);
    EXPECT_EQ(mouse->SetCooperativeLevel(nullptr, DISCL_EXCLUSIVE | DISCL_FOREGROUND), E_HANDLE);
    EXPECT_EQ(mouse->SetCooperativeLevel(nullptr, DISCL_EXCLUSIVE | DISCL_NONEXCLUSIVE | DISCL_FOREGROUND),
              DIERR_INVALIDPARAM);
    DIPROPDWORD p{{sizeof(DIPROPDWORD) + 4, sizeof(DIPROPHEADER), 0, DIPH_DEVICE}, 64};
    EXPECT_EQ(mouse->SetProperty(DIPROP_BUFFERSIZE, &p.diph), DIERR_INVALIDPARAM);
    // Immediate data only: the buffered read says so.
    ASSERT_EQ(mouse->Acquire(), DI_OK);
    DWORD n = 1;
    DIDEVICEOBJECTDATA rec;
    EXPECT_EQ(mouse->GetDeviceData(sizeof rec, &rec, &n, 0), DIERR_NOTBUFFERED);
}

TEST_F(MouseTest, BufferedRecordsImmediateStateAndLostFocus) {
    Create(64);
    Frame(window);
    Drain();
    // Immediate state: movement since the last read, buttons held.
    DIMOUSESTATE2 s{};
    EXPECT_EQ(mouse->GetDeviceState(sizeof s - 1, &s), DIERR_INVALIDPARAM);
    ASSERT_EQ(mouse->GetDeviceState(sizeof s, &s), DI_OK);
    EXPECT_EQ(s.lX, 5);
    EXPECT_EQ(s.lY, -3);
    EXPECT_EQ(s.rgbButtons[0], 0x80);
    ASSERT_EQ(mouse->GetDeviceState(sizeof s, &s), DI_OK);
    EXPECT_EQ(s.lX, 0);

    Frame(window);
    Drain();
    DIDEVICEOBJECTDATA rec[16];
    DWORD n = 16;
    ASSERT_EQ(mouse->GetDeviceData(sizeof rec[0], rec, &n, 0), DI_OK);
    struct Want {
        DWORD offset;
        DWORD data;
    };
    const Want want[] = {{DIMOFS_X, 5},          {DIMOFS_Y, static_cast<DWORD>(-3)},
                         {DIMOFS_BUTTON0, 0x80}, {DIMOFS_BUTTON0, 0},
                         {DIMOFS_X, 1},          {DIMOFS_Y, 1},
                         {DIMOFS_Z, WHEEL_DELTA}};
    ASSERT_EQ(n, std::size(want));
    for (DWORD i = 0; i < n; ++i) {
        EXPECT_EQ(rec[i].dwOfs, want[i].offset) << i;
        EXPECT_EQ(rec[i].dwData, want[i].data) << i;
    }
    EXPECT_EQ(rec[0].dwSequence, rec[1].dwSequence); // one motion
    EXPECT_LT(rec[1].dwSequence, rec[2].dwSequence);
    n = 16;
    ASSERT_EQ(mouse->GetDeviceData(sizeof rec[0], rec, &n, 0), DI_OK);
    EXPECT_EQ(n, 0u);

    // Losing the focus: one read says the input was lost; acquiring again is refused while the
    // window is inactive, so a retry loop ends.
    Frame(window);
    Drain();
    n = 16;
    EXPECT_EQ(mouse->GetDeviceData(sizeof rec[0], rec, &n, 0), DIERR_INPUTLOST);
    EXPECT_EQ(mouse->Acquire(), DIERR_OTHERAPPHASPRIO);
    EXPECT_EQ(mouse->GetDeviceData(sizeof rec[0], rec, &n, 0), DIERR_NOTACQUIRED);
    EXPECT_EQ(mouse->GetDeviceState(sizeof s, &s), DIERR_NOTACQUIRED);
}

TEST_F(MouseTest, FullBufferKeepsTheOldestAndReportsTheOverflowOnce) {
    Create(3);
    Frame(window);
    Frame(window); // seven records offered to a buffer of three
    DIDEVICEOBJECTDATA rec[8];
    DWORD n = 2;
    ASSERT_EQ(mouse->GetDeviceData(sizeof rec[0], rec, &n, DIGDD_PEEK), DI_BUFFEROVERFLOW);
    EXPECT_EQ(n, 2u);
    n = 8;
    ASSERT_EQ(mouse->GetDeviceData(sizeof rec[0], rec, &n, 0), DI_BUFFEROVERFLOW);
    ASSERT_EQ(n, 3u);
    EXPECT_EQ(rec[0].dwOfs, DIMOFS_X);
    EXPECT_EQ(rec[2].dwOfs, DIMOFS_BUTTON0);
    n = 8;
    EXPECT_EQ(mouse->GetDeviceData(sizeof rec[0], rec, &n, 0), DI_OK);
    EXPECT_EQ(n, 0u);
    EXPECT_EQ(mouse->Unacquire(), DI_OK);
    EXPECT_EQ(mouse->Unacquire(), DI_NOEFFECT);
}

} // namespace
