// The input manager: the key table, requests that stay until polled, the window-message mouse,
// the DirectInput mouse (buffered records into deltas and button edges, the 64-record buffer,
// the bounded re-acquire, each creation failure with its message), the pointer's clamping,
// centring and quad, and what mouse mode 1 leaves out.

#include <cstdint>
#include <string>
#include <vector>

#include "framework/camera_manager.h"
#include "framework/directinput_mouse.h"
#include "framework/input_manager.h"
#include "graphics/core/d3d9/render_state.h"
#include "graphics/core/engine.h"
#include "graphics/core/testkit/engine_fixture.h"
#include "graphics/core/testkit/memory_raster_driver.h"
#include "platform/keys.h"
#include "platform/window.h"
#include "test_app.h"
#include "testing/headless_window.h"

namespace {

// A scriptable DirectInput: each creation step can fail, the device hands out queued records
// (at most as many as asked for) and counts its Acquire calls.
struct FakeScript {
    int failStep = 0; // 1 create, 2 device, 3 format, 4 cooperative level, 5 property
    std::vector<DIDEVICEOBJECTDATA> records;
    bool readFails = false;
    std::vector<HRESULT> acquireResults; // answers in turn, then DI_OK
    int acquires = 0;
    int liveObjects = 0;
    DIMOUSESTATE2 state{};
};
FakeScript gFake;

class FakeDevice final : public IDirectInputDevice8A {
public:
    FakeDevice() { ++gFake.liveObjects; }
    ULONG AddRef() override { return 2; }
    ULONG Release() override {
        --gFake.liveObjects;
        delete this;
        return 0;
    }
    HRESULT SetDataFormat(const DIDATAFORMAT*) override { return gFake.failStep == 3 ? E_FAIL : DI_OK; }
    HRESULT SetCooperativeLevel(HWND, DWORD flags) override {
        return gFake.failStep == 4 || flags != (DISCL_EXCLUSIVE | DISCL_FOREGROUND) ? E_FAIL : DI_OK;
    }
    HRESULT SetProperty(REFGUID, const DIPROPHEADER* header) override {
        if (gFake.failStep == 5) {
            return E_FAIL;
        }
        return reinterpret_cast<const DIPROPDWORD*>(header)->dwData == 64 ? DI_OK : E_FAIL;
    }
    HRESULT Acquire() override {
        const int i = gFake.acquires++;
        return i < static_cast<int>(gFake.acquireResults.size()) ? gFake.acquireResults[i] : DI_OK;
    }
    HRESULT Unacquire() override { return DI_OK; }
    HRESULT GetDeviceState(DWORD, void* state) override {
        if (gFake.readFails) {
            return DIERR_INPUTLOST;
        }
        *static_cast<DIMOUSESTATE2*>(state) = gFake.state;
        return DI_OK;
    }
    HRESULT GetDeviceData(DWORD, DIDEVICEOBJECTDATA* data, DWORD* count, DWORD) override {
        if (gFake.readFails) {
            *count = 0;
            return DIERR_INPUTLOST;
        }
        DWORD n = 0;
        while (n < *count && !gFake.records.empty()) {
            data[n++] = gFake.records.front();
            gFake.records.erase(gFake.records.begin());
        }
        *count = n;
        return DI_OK;
    }

private:
    ~FakeDevice() = default;
};

class FakeInput final : public IDirectInput8A {
public:
    FakeInput() { ++gFake.liveObjects; }
    ULONG AddRef() override { return 2; }
    ULONG Release() override {
        --gFake.liveObjects;
        delete this;
        return 0;
    }
    HRESULT CreateDevice(REFGUID, IDirectInputDevice8A** out, LPUNKNOWN) override {
        if (gFake.failStep == 2) {
            return E_FAIL;
        }
        *out = new FakeDevice;
        return DI_OK;
    }

private:
    ~FakeInput() = default;
};

HRESULT FakeCreate(HINSTANCE, DWORD, REFIID, void** out, LPUNKNOWN) {
    if (gFake.failStep == 1) {
        return E_FAIL;
    }
    *out = static_cast<IDirectInput8A*>(new FakeInput);
    return DI_OK;
}

DIDEVICEOBJECTDATA Record(DWORD offset, LONG value) { return {offset, static_cast<DWORD>(value), 0, 0, 0}; }

struct InputTest : FrameworkTest {
    CInputManager* input = nullptr;
    CCameraManager cameras{1.0f};

    void SetUp() override {
        FrameworkTest::SetUp();
        gFake = FakeScript{};
        g_directInputCreate = FakeCreate;
        input = CInputManager::GetInstance();
        g_cameraManager = &cameras;
        SkelGetState()->width = 640;
        SkelGetState()->height = 480;
        ASSERT_TRUE(OvTestEngineUp(0, nullptr, OvTestMemoryRasterDriver()));
    }
    void TearDown() override {
        CInputManager::Destroy();
        cameras.DestroyCamera();
        g_cameraManager = nullptr;
        EXPECT_TRUE(OvTestEngineDown());
        g_directInputCreate = DirectInput8Create;
        EXPECT_EQ(gFake.liveObjects, 0);
        FrameworkTest::TearDown();
    }
    std::int32_t Key(std::int32_t event, std::uint32_t code) {
        SkelKeyRecord record = {0, code};
        return CInputManager::KeyboardHandler(event, &record);
    }
};

TEST_F(InputTest, KeyTableAxesAndRequestsThatStayUntilPolled) {
    constexpr std::int32_t D = SKEL_EVENT_KEY_DOWN;
    constexpr std::int32_t U = SKEL_EVENT_KEY_UP;
    // Codes outside 32..175 and codes not in the table are left to others.
    for (std::uint32_t code : {0u, 31u, 97u, 128u, 176u, 255u}) {
        EXPECT_EQ(Key(D, code), SKEL_EVENT_NOT_HANDLED) << code;
    }
    EXPECT_EQ(Key(SKEL_EVENT_MOUSE_MOVE, 32), SKEL_EVENT_NOT_HANDLED);

    // x then z, release x: z still holds the turn axis.
    EXPECT_EQ(Key(D, 120), SKEL_EVENT_HANDLED);
    EXPECT_EQ(input->TurnAxis(), -1.0f);
    Key(D, 122);
    Key(U, 120);
    EXPECT_EQ(input->TurnAxis(), 1.0f);
    Key(U, 122);
    EXPECT_EQ(input->TurnAxis(), 0.0f);
    // The same rule on the forward and sideways axes.
    Key(D, 147);
    Key(D, 148);
    Key(U, 147);
    EXPECT_EQ(input->ForwardAxis(), -1.0f);
    Key(U, 148);
    EXPECT_EQ(input->ForwardAxis(), 0.0f);
    Key(D, 149);
    EXPECT_EQ(input->SidewaysAxis(), 1.0f);
    Key(D, 150);
    Key(U, 149);
    EXPECT_EQ(input->SidewaysAxis(), -1.0f);

    // Held keys follow the key.
    struct Held {
        std::uint32_t code;
        bool (CInputManager::*read)() const;
    };
    for (const Held& h :
         {Held{32, &CInputManager::Fire}, Held{172, &CInputManager::Aim}, Held{173, &CInputManager::Run},
          Held{174, &CInputManager::LeftControl}, Held{175, &CInputManager::RightControl}}) {
        EXPECT_EQ(Key(D, h.code), SKEL_EVENT_HANDLED);
        EXPECT_TRUE((input->*h.read)()) << h.code;
        EXPECT_EQ(Key(U, h.code), SKEL_EVENT_HANDLED);
        EXPECT_FALSE((input->*h.read)()) << h.code;
    }

    // "c", TAB, the function keys and keypad 0 stay set after the release until a poller takes
    // them.
    for (std::uint32_t code :
         {99u, 169u, 129u, 130u, 131u, 132u, 133u, 134u, 135u, 136u, 137u, 138u, 139u, 140u, 151u}) {
        EXPECT_EQ(Key(D, code), SKEL_EVENT_HANDLED);
        EXPECT_EQ(Key(U, code), SKEL_EVENT_HANDLED);
    }
    EXPECT_TRUE(input->TakeNextFixedCameraRequest());
    EXPECT_FALSE(input->TakeNextFixedCameraRequest());
    EXPECT_TRUE(input->NextCameraPending());
    EXPECT_TRUE(input->TakeNextCameraRequest());
    EXPECT_FALSE(input->TakeNextCameraRequest());
    for (int n = 1; n <= 12; ++n) {
        EXPECT_TRUE(input->FunctionKeyPending(n));
        EXPECT_TRUE(input->TakeFunctionKeyRequest(n)) << n;
        EXPECT_FALSE(input->TakeFunctionKeyRequest(n)) << n;
    }
    EXPECT_FALSE(input->TakeFunctionKeyRequest(0));
    EXPECT_FALSE(input->TakeFunctionKeyRequest(13));
    EXPECT_TRUE(input->TakeKeypad0());
    EXPECT_FALSE(input->TakeKeypad0());
    // ENTER and keypad ENTER make the continue request, kept likewise.
    for (std::uint32_t enter : {171u, 166u}) {
        EXPECT_EQ(Key(D, enter), SKEL_EVENT_HANDLED);
        EXPECT_EQ(Key(U, enter), SKEL_EVENT_HANDLED);
        EXPECT_TRUE(input->TakeContinueRequest()) << enter;
        EXPECT_FALSE(input->TakeContinueRequest()) << enter;
    }
}

// Keys as the window layer reports a desktop keyboard's (the USB usages the SDL back end hands
// it) become the window's key messages, which the shell's window procedure turns into the input
// manager's controls: both shift keys with an arrow held, the auto-repeat of a held key, and a
// TAB pressed and released before the frame looks.
TEST_F(InputTest, KeysFromTheWindowLayerReachTheControls) {
    const HWND window = OpenHeadlessWindow("InputKeysClass", SkelWindowProc, 640, 480);
    ASSERT_NE(window, nullptr);
    ASSERT_TRUE(CInputManager::RegisterHandlers());
    auto press = [&](int usb, bool down) {
        const PlatformKey* key = PlatformKeyByUsb(usb);
        ASSERT_NE(key, nullptr) << usb;
        PlatformInputKey(window, *key, down);
    };
    auto pump = [] {
        MSG m{};
        while (PeekMessageA(&m, nullptr, 0, 0, PM_REMOVE)) {
            DispatchMessageA(&m);
        }
    };
    constexpr int kUp = 82, kLeft = 80, kLeftShift = 225, kRightShift = 229, kSpace = 44, kTab = 43;
    constexpr int kRightControl = 228;
    press(kRightShift, true);
    press(kUp, true);
    pump();
    EXPECT_TRUE(input->Run());
    EXPECT_EQ(input->ForwardAxis(), 1.0f);
    // Held down, the keys repeat; the repeats change nothing.
    for (int i = 0; i < 3; ++i) {
        press(kRightShift, true);
        press(kUp, true);
    }
    pump();
    EXPECT_TRUE(input->Run());
    EXPECT_EQ(input->ForwardAxis(), 1.0f);
    press(kUp, false);
    press(kRightShift, false);
    press(kLeftShift, true);
    press(kSpace, true);
    press(kLeft, true);
    press(kRightControl, true);
    pump();
    EXPECT_FALSE(input->Run());
    EXPECT_EQ(input->ForwardAxis(), 0.0f);
    EXPECT_TRUE(input->Aim());
    EXPECT_TRUE(input->Fire());
    EXPECT_EQ(input->SidewaysAxis(), 1.0f);
    EXPECT_TRUE(input->RightControl());
    for (int usb : {kLeftShift, kSpace, kLeft, kRightControl}) {
        press(usb, false);
    }
    // A quick TAB: down and up both wait in the queue when the frame's turn comes.
    press(kTab, true);
    press(kTab, false);
    pump();
    EXPECT_FALSE(input->Aim());
    EXPECT_FALSE(input->Fire());
    EXPECT_FALSE(input->RightControl());
    EXPECT_TRUE(input->TakeNextFixedCameraRequest());
    for (auto& device : SkelGetState()->devices) {
        device = {};
    }
    DestroyWindow(window);
}

TEST_F(InputTest, WindowMouseOnlyWithoutDirectInput) {
    SkelMouseRecord move = {100.0f, 50.0f, 3.0f, -4.0f, 0, 0};
    // Mouse mode 0 with DirectInput enabled: the window's mouse events are someone else's.
    for (std::int32_t event = 5; event <= 12; ++event) {
        EXPECT_EQ(CInputManager::MouseHandler(event, &move), SKEL_EVENT_NOT_HANDLED) << event;
    }
    input->SetMouseMode(1);
    EXPECT_EQ(CInputManager::MouseHandler(SKEL_EVENT_MOUSE_MOVE, &move), SKEL_EVENT_HANDLED);
    EXPECT_EQ(input->Dx(), 3.0f);
    EXPECT_EQ(input->Dy(), -4.0f);
    EXPECT_EQ(input->PointerX(), 100.0f);
    EXPECT_EQ(input->PointerY(), 50.0f);
    // A press starts from no movement.
    EXPECT_EQ(CInputManager::MouseHandler(SKEL_EVENT_MOUSE_LEFT_DOWN, &move), SKEL_EVENT_HANDLED);
    EXPECT_TRUE(input->LeftButton());
    EXPECT_EQ(input->Dx(), 0.0f);
    CInputManager::MouseHandler(SKEL_EVENT_MOUSE_LEFT_UP, nullptr);
    EXPECT_FALSE(input->LeftButton());
    CInputManager::MouseHandler(SKEL_EVENT_MOUSE_MOVE, &move);
    CInputManager::MouseHandler(SKEL_EVENT_MOUSE_RIGHT_DOWN, &move);
    EXPECT_TRUE(input->RightButton());
    EXPECT_EQ(input->Dy(), 0.0f);
    CInputManager::MouseHandler(SKEL_EVENT_MOUSE_RIGHT_UP, nullptr);
    EXPECT_FALSE(input->RightButton());
    EXPECT_EQ(CInputManager::MouseHandler(SKEL_EVENT_MOUSE_WHEEL, &move), SKEL_EVENT_NOT_HANDLED);
    // The moves add up until they are taken, in the first-person view as elsewhere: three moves
    // of 10 pixels are 30, however far from the centre the cursor is.
    for (std::int32_t mode : {kCameraFree, kCameraFps}) {
        cameras.SetMode(mode);
        for (int i = 1; i <= 3; ++i) {
            SkelMouseRecord step = {320.0f + 10.0f * static_cast<float>(i), 230.0f, 10.0f, -2.0f, 0, 0};
            CInputManager::MouseHandler(SKEL_EVENT_MOUSE_MOVE, &step);
        }
        float dx = 0.0f;
        float dy = 0.0f;
        EXPECT_TRUE(input->TakeDelta(&dx, &dy));
        EXPECT_EQ(dx, 30.0f) << mode;
        EXPECT_EQ(dy, -6.0f) << mode;
        EXPECT_FALSE(input->TakeDelta(&dx, &dy));
    }

    // The pad: dead zone, button steps (bigger for the free camera), nothing in the first-person view.
    PadRecord pad = {kPadRight | kPadF1 | kPadNextCamera, 0.0f, 0.0f};
    EXPECT_EQ(CInputManager::PadHandler(kPadButtonsDown, &pad), SKEL_EVENT_NOT_HANDLED);
    cameras.SetMode(kCameraFree);
    EXPECT_EQ(CInputManager::PadHandler(kPadButtonsDown, &pad), SKEL_EVENT_HANDLED);
    EXPECT_EQ(input->Dx(), 8.0f);
    EXPECT_TRUE(input->LeftButton());
    EXPECT_TRUE(input->TakeFunctionKeyRequest(1));
    EXPECT_TRUE(input->TakeNextCameraRequest());
    CInputManager::PadHandler(kPadButtonsUp, &pad);
    EXPECT_FALSE(input->LeftButton());
    PadRecord stick = {0, 0.59f, -0.9f};
    CInputManager::PadHandler(kPadLeftStick, &stick);
    EXPECT_EQ(input->SidewaysAxis(), 0.0f);
    EXPECT_EQ(input->ForwardAxis(), 1.0f);
}

TEST_F(InputTest, EachCreationFailureHasItsMessageAndLeavesNothing) {
    const char* messages[] = {kDirectInputCreateMessage, kMouseDeviceMessage, kMouseDataFormatMessage,
                              kMouseCooperativeLevelMessage, kMousePropertyMessage};
    std::string expected;
    const int cursor = PlatformCursorCounter();
    for (int step = 1; step <= 5; ++step) {
        gFake.failStep = step;
        CDirectInputMouse mouse;
        EXPECT_FALSE(mouse.Create(nullptr, nullptr)) << step;
        EXPECT_FALSE(mouse.Exists());
        EXPECT_EQ(gFake.liveObjects, 0) << step;
        EXPECT_EQ(PlatformCursorCounter(), cursor) << step;
        expected += std::string(messages[step - 1]) + "\n";
    }
    EXPECT_EQ(Log(), expected);
    // An immediate-state mouse never asks for a buffer, so the property step cannot fail it.
    CDirectInputMouse immediate(false);
    EXPECT_TRUE(immediate.Create(nullptr, nullptr));
    EXPECT_EQ(PlatformCursorCounter(), cursor - 1);
    immediate.Release();
    EXPECT_EQ(PlatformCursorCounter(), cursor);
}

TEST_F(InputTest, DisablingDirectInputReleasesTheMouseAndHandsBackTheWindowMouse) {
    const int cursor = PlatformCursorCounter();
    input->CreatePointer();
    ASSERT_NE(input->Mouse(), nullptr);
    EXPECT_EQ(PlatformCursorCounter(), cursor - 1);
    SkelMouseRecord move = {10.0f, 20.0f, 1.0f, 2.0f, 0, 0};
    EXPECT_EQ(CInputManager::MouseHandler(SKEL_EVENT_MOUSE_MOVE, &move), SKEL_EVENT_NOT_HANDLED);
    input->SetDirectInputEnabled(false);
    EXPECT_EQ(input->Mouse(), nullptr);
    EXPECT_FALSE(input->DirectInputEnabled());
    EXPECT_EQ(PlatformCursorCounter(), cursor);
    EXPECT_EQ(gFake.liveObjects, 0);
    EXPECT_EQ(CInputManager::MouseHandler(SKEL_EVENT_MOUSE_MOVE, &move), SKEL_EVENT_HANDLED);
    EXPECT_EQ(input->PointerY(), 20.0f);
    // Enabled again: a new device, acquired.
    gFake.acquires = 0;
    input->SetDirectInputEnabled(true);
    ASSERT_NE(input->Mouse(), nullptr);
    EXPECT_TRUE(input->DirectInputEnabled());
    EXPECT_EQ(gFake.acquires, 2);
    EXPECT_TRUE(input->ReleaseMouse());
    EXPECT_EQ(input->Mouse(), nullptr);
    EXPECT_EQ(PlatformCursorCounter(), cursor);
    // Nothing to release or enable with mouse mode 1.
    input->SetMouseMode(1);
    input->SetDirectInputEnabled(true);
    EXPECT_EQ(input->Mouse(), nullptr);
}

TEST_F(InputTest, BufferedRecordsBecomeDeltasAndButtonEdges) {
    ASSERT_TRUE(input->CreatePointer() == false); // no POINTER.BMP here, but the mouse is made
    ASSERT_NE(input->Mouse(), nullptr);
    EXPECT_EQ(Log(), "Texture not found : 'POINTER.BMP'\nThe file 'MODELS/TEXTURES/POINTER.BMP' is not there.\n");
    input->SetPointer(100.0f, 100.0f);
    // Movement sums per axis; the wheel and the third button are ignored.
    gFake.records = {Record(DIMOFS_X, 5), Record(DIMOFS_Y, -3), Record(DIMOFS_X, -2), Record(DIMOFS_Z, 120),
                     Record(DIMOFS_BUTTON2, 0x80)};
    input->Update(0.0f);
    EXPECT_EQ(input->Dx(), 3.0f);
    EXPECT_EQ(input->Dy(), -3.0f);
    EXPECT_FALSE(input->LeftButton());
    // The pointer moves by twice the delta.
    EXPECT_EQ(input->PointerX(), 106.0f);
    EXPECT_EQ(input->PointerY(), 94.0f);
    // A press in the same poll as movement zeroes the delta; a release keeps it.
    gFake.records = {Record(DIMOFS_X, 7), Record(DIMOFS_BUTTON0, 0x80)};
    input->Update(0.0f);
    EXPECT_TRUE(input->LeftButton());
    EXPECT_TRUE(input->Mouse()->LeftChanged());
    EXPECT_EQ(input->Dx(), 0.0f);
    gFake.records = {Record(DIMOFS_X, 4)};
    input->Update(0.0f);
    EXPECT_FALSE(input->Mouse()->LeftChanged());
    EXPECT_TRUE(input->LeftButton());
    EXPECT_EQ(input->Dx(), 4.0f);
    gFake.records = {Record(DIMOFS_Y, 2), Record(DIMOFS_BUTTON0, 0), Record(DIMOFS_BUTTON1, 0x80)};
    input->Update(0.0f);
    EXPECT_FALSE(input->LeftButton());
    EXPECT_TRUE(input->RightButton());
    EXPECT_EQ(input->Dy(), 0.0f); // the right press zeroes it
    // A press and release within one poll is no edge.
    gFake.records = {Record(DIMOFS_BUTTON0, 0x80), Record(DIMOFS_BUTTON0, 0x00), Record(DIMOFS_Y, 1)};
    input->Update(0.0f);
    EXPECT_FALSE(input->Mouse()->LeftChanged());
    EXPECT_EQ(input->Dy(), 1.0f);

    // At most 64 records per poll: the rest waits for the next one.
    gFake.records.assign(100, Record(DIMOFS_X, 1));
    input->Update(0.0f);
    EXPECT_EQ(input->Dx(), 64.0f);
    input->Update(0.0f);
    EXPECT_EQ(input->Dx(), 36.0f);

    // The pointer stays inside the camera raster (the client size without a camera) ...
    gFake.records = {Record(DIMOFS_X, 100000), Record(DIMOFS_Y, -100000)};
    input->Update(0.0f);
    EXPECT_EQ(input->PointerX(), 640.0f);
    EXPECT_EQ(input->PointerY(), 0.0f);
    // ... and sits at its centre in the first-person view.
    cameras.SetMode(kCameraFps);
    SkelGetState()->width = 641;
    gFake.records = {Record(DIMOFS_X, 9)};
    input->Update(0.0f);
    EXPECT_EQ(input->PointerX(), 320.0f);
    EXPECT_EQ(input->PointerY(), 240.0f);
    EXPECT_EQ(input->Dx(), 9.0f);
}

TEST_F(InputTest, ALostMouseIsAcquiredAgainABoundedNumberOfTimes) {
    for (bool buffered : {true, false}) {
        SCOPED_TRACE(buffered);
        gFake = FakeScript{};
        CDirectInputMouse mouse(buffered);
        ASSERT_TRUE(mouse.Create(nullptr, nullptr));
        EXPECT_EQ(gFake.acquires, 1);
        // A device that keeps answering "input lost" is asked three times a poll, no more.
        gFake.acquires = 0;
        gFake.readFails = true;
        gFake.acquireResults.assign(100, DIERR_INPUTLOST);
        gFake.state.lX = 5;
        gFake.records = {Record(DIMOFS_X, 5)};
        mouse.Poll();
        EXPECT_EQ(gFake.acquires, CDirectInputMouse::kAcquireAttempts);
        EXPECT_EQ(mouse.Dx(), 0.0f);
        // Another answer ends the attempts at once.
        gFake.acquires = 0;
        gFake.acquireResults = {DIERR_INPUTLOST, DIERR_OTHERAPPHASPRIO, DIERR_INPUTLOST};
        mouse.Poll();
        EXPECT_EQ(gFake.acquires, 2);
        // Back again: the immediate state gives x and y movement only.
        gFake.readFails = false;
        gFake.state = DIMOUSESTATE2{6, -7, 30, {0x80, 0x80}};
        mouse.Poll();
        EXPECT_EQ(mouse.Dx(), buffered ? 5.0f : 6.0f);
        EXPECT_EQ(mouse.Dy(), buffered ? 0.0f : -7.0f);
        EXPECT_FALSE(mouse.LeftChanged());
    }
}

// The pointer quad and the states around its draw, recorded from the device record.
std::vector<std::pair<OvInt32, std::uintptr_t>> gStates;
int gDraws = 0;
OvBool RecordState(OvInt32 state, void* value) {
    gStates.emplace_back(state, reinterpret_cast<std::uintptr_t>(value));
    return TRUE;
}
OvBool RecordDraw(OvInt32 type, void*, OvInt32 vertices, void*, OvInt32 indices) {
    gStates.emplace_back(-1, static_cast<std::uintptr_t>(type * 10000 + vertices * 100 + indices));
    ++gDraws;
    return TRUE;
}

TEST_F(InputTest, PointerQuadStatesAndWhenItIsDrawn) {
    ASSERT_TRUE(cameras.CreateCamera(640, 480, true) == false); // no TARGET.BMP here; the camera is made
    ASSERT_NE(cameras.Camera(), nullptr);
    OvEngineInstancePtr->dOpenDevice.setRenderState = RecordState;
    OvEngineInstancePtr->dOpenDevice.im2DRenderIndexedPrimitive = RecordDraw;
    input->SetPointer(100.9f, 50.2f);
    input->DrawPointer();
    const OvD3D9Im2DVertex* v = input->PointerVertices();
    const float expected[4][4] = {{92, 42, 0, 0}, {108, 58, 1, 1}, {92, 58, 0, 1}, {108, 42, 1, 0}};
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(v[i].x, expected[i][0]) << i;
        EXPECT_EQ(v[i].y, expected[i][1]) << i;
        EXPECT_EQ(v[i].u, expected[i][2]) << i;
        EXPECT_EQ(v[i].v, expected[i][3]) << i;
        EXPECT_EQ(v[i].color, 0xFFFFFFFFu);
        EXPECT_EQ(v[i].z, OvEngineInstancePtr->screenZ);
        EXPECT_EQ(v[i].rhw, cameras.Camera()->nearPlane);
    }
    const OvUInt16 indices[6] = {2, 1, 0, 1, 3, 0};
    for (int i = 0; i < 6; ++i) {
        EXPECT_EQ(input->PointerIndices()[i], indices[i]);
    }
    // No texture: no texture state.
    const std::vector<std::pair<OvInt32, std::uintptr_t>> order = {{6, 0},      {8, 0}, {10, 5}, {11, 6},
                                                                   {-1, 30406}, {6, 1}, {8, 1}};
    EXPECT_EQ(gStates, order);
    // Not drawn while paused (unless the start screen put it in pointer mode), in the first-person
    // or path view, or with mouse mode 1.
    g_paused = true;
    input->DrawPointer();
    input->SetPointerMode(true);
    input->DrawPointer();
    EXPECT_EQ(gDraws, 2);
    input->SetPointerMode(false);
    g_paused = false;
    for (std::int32_t mode : {kCameraFps, kCameraPath}) {
        cameras.SetMode(mode);
        input->DrawPointer();
    }
    cameras.SetMode(kCameraFollow);
    input->SetMouseMode(1);
    input->DrawPointer();
    EXPECT_EQ(gDraws, 2);
    // Mouse mode 1 makes neither a device nor a texture.
    EXPECT_TRUE(input->CreatePointer());
    EXPECT_EQ(input->Mouse(), nullptr);
    EXPECT_EQ(input->PointerTexture(), nullptr);
    EXPECT_EQ(Log(), "Texture not found : 'TARGET.BMP'\nThe file 'MODELS/TEXTURES/TARGET.BMP' is not there.\n");
}

} // namespace
