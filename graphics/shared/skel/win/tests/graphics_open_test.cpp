// The graphics open and close sequences on a fake engine driver: every failure leaves the engine
// as it found it; device selection with its dialog; file systems, paths and cameras.

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>

#include "app_hook.h"
#include "graphics/core/camera.h"
#include "graphics/core/engine.h"
#include "graphics/core/file_system.h"
#include "graphics/core/image.h"
#include "graphics/core/raster.h"
#include "graphics/core/testkit/memory_raster_driver.h"
#include "graphics/core/testkit/null_driver.h"
#include "platform/clock.h"
#include "platform/window.h"

namespace {

// A driver with rendering sub-systems and video modes over the memory-raster test driver.
struct FakeModes {
    OvInt32 subSystems = 2;
    OvInt32 current = 0;
    OvVideoMode modes[3] = {{640, 480, 32, 0, 60, 0}, {800, 600, 32, 1, 60, 0}, {1024, 768, 16, 1, 60, 0}};
    OvInt32 numModes = 3;
    OvInt32 mode = 0;
    bool refuseSetMode = false;
};
FakeModes g_fake;
OvDevice g_device;
OvSystemFunction g_inner = nullptr;

OvBool FakeSystem(OvInt32 request, void* out, void* inOut, OvInt32 number) {
    switch (request) {
    case ovDEVICEREQUESTGETDEVICE:
        // The engine keeps a copy of the device record: it must call this function too.
        if (!g_inner(request, out, inOut, number)) {
            return FALSE;
        }
        static_cast<OvDevice*>(out)->system = FakeSystem;
        return TRUE;
    case ovDEVICEREQUESTGETNUMSUBSYSTEMS:
        *static_cast<OvInt32*>(out) = g_fake.subSystems;
        return TRUE;
    case ovDEVICEREQUESTGETSUBSYSTEMINFO:
        std::snprintf(static_cast<OvSubSystemInfo*>(out)->name, 80, "Adapter %d", number);
        return number >= 0 && number < g_fake.subSystems;
    case ovDEVICEREQUESTGETCURRENTSUBSYSTEM:
        *static_cast<OvInt32*>(out) = g_fake.current;
        return TRUE;
    case ovDEVICEREQUESTSETSUBSYSTEM:
        if (number < 0 || number >= g_fake.subSystems) {
            return FALSE;
        }
        g_fake.current = number;
        return TRUE;
    case ovDEVICEREQUESTGETNUMVIDEOMODES:
        *static_cast<OvInt32*>(out) = g_fake.numModes;
        return TRUE;
    case ovDEVICEREQUESTGETVIDEOMODEINFO:
        if (number < 0 || number >= g_fake.numModes) {
            return FALSE;
        }
        *static_cast<OvVideoMode*>(out) = g_fake.modes[number];
        return TRUE;
    case ovDEVICEREQUESTGETCURRENTVIDEOMODE:
        *static_cast<OvInt32*>(out) = g_fake.mode;
        return TRUE;
    case ovDEVICEREQUESTSETVIDEOMODE:
        if (g_fake.refuseSetMode || number < 0 || number >= g_fake.numModes) {
            return FALSE;
        }
        g_fake.mode = number;
        return TRUE;
    default:
        return g_inner(request, out, inOut, number);
    }
}

OvDevice* FakeDeviceGet() {
    g_device = *OvTestMemoryRasterDriver()->deviceGet();
    g_inner = g_device.system;
    g_device.system = FakeSystem;
    return &g_device;
}

OvBool FakeAttach() { return OvTestMemoryRasterDriver()->pluginAttach(); }

const OvDriver kFakeDriver = {FakeAttach, FakeDeviceGet};

struct GraphicsOpenTest : ::testing::Test {
    SkelPlatform platform{};

    void SetUp() override {
        StartHeadlessShell();
        g_fake = FakeModes{};
        OvTestMemoryRasterDriverReset();
        ASSERT_TRUE(OvEngineSetDriver(&kFakeDriver));
        SkelEventDispatch(SKEL_EVENT_APP_START, nullptr);
        MakeWindow();
        g_seen.clear();
    }

    // A new window layer read from the environment, with the test's window.
    void MakeWindow() {
        PlatformWindowReset();
        WNDCLASSA wc{};
        wc.lpfnWndProc = SkelWindowProc;
        wc.lpszClassName = "OpenTest";
        RegisterClassA(&wc);
        platform = {};
        platform.window = CreateWindowExA(0, "OpenTest", "open", WS_OVERLAPPEDWINDOW, CW_USEDEFAULT, CW_USEDEFAULT, 320,
                                          200, nullptr, nullptr, GetModuleHandleA(nullptr), nullptr);
        platform.instance = GetModuleHandleA(nullptr);
        SkelGetState()->platform = platform;
    }

    void TearDown() override {
        EXPECT_EQ(OvEngineGetStatus(), ovENGINESTATUSIDLE);
        EXPECT_EQ(OvTestMemoryRasterDriverState()->liveRasters, 0);
        OvEngineSetDriver(nullptr);
        StopHeadlessShell();
        unsetenv("PLATFORM_DIALOG");
        unsetenv("PLATFORM_VIDEO_MODE");
    }

    // The application answers `answer` to one event and leaves the rest to the shell.
    void Answer(std::int32_t event, std::int32_t answer) {
        g_app = [event, answer](std::int32_t e, void*) { return e == event ? answer : SKEL_EVENT_NOT_HANDLED; };
    }

    // A failing open leaves no engine, no file-system manager and no rasters behind.
    void ExpectCleanFailure() {
        EXPECT_EQ(SkelGraphicsOpen(&platform), 0);
        EXPECT_EQ(OvEngineGetStatus(), ovENGINESTATUSIDLE);
        EXPECT_FALSE(OvFSManagerGetState()->isOpen);
    }
};

TEST_F(GraphicsOpenTest, OpensInOrderAndClosesAgain) {
    ASSERT_EQ(SkelGraphicsOpen(&platform), 1);
    EXPECT_EQ(SeenCodes(), (std::vector<std::int32_t>{SKEL_EVENT_MEMORY_FUNCTIONS, SKEL_EVENT_ENGINE_INITIALISED,
                                                      SKEL_EVENT_PLUGIN_ATTACH, SKEL_EVENT_INPUT_DEVICE_ATTACH,
                                                      SKEL_EVENT_SELECT_DEVICE, SKEL_EVENT_REGISTER_IMAGE_FORMATS}));
    EXPECT_EQ(g_seen[4].parameter, &platform);
    EXPECT_EQ(OvEngineGetStatus(), ovENGINESTATUSSTARTED);
    // The directory is reached through "unc", which is the default without drive letters.
    OvFileSystem* unc = OvFSManagerFindFileSystem("unc");
    ASSERT_NE(unc, nullptr);
    EXPECT_EQ(OvFSManagerGetDefaultFileSystem(), unc);
    EXPECT_EQ(std::string(unc->deviceName), std::filesystem::current_path().string() + "\\");
    EXPECT_EQ(unc->maxOpenFiles, 20);
    // Windowed: the client size of the window.
    EXPECT_EQ(SkelGetState()->width, 320);
    EXPECT_EQ(SkelGetState()->height, 200);
    EXPECT_EQ(platform.fullScreen, 0u);
    // Both image readers are there: an unknown extension is refused, "bmp" and "png" are not.
    EXPECT_EQ(SkelRegisterImageFormats(), 1);

    // Paths and cameras while the engine runs.
    char* path = SkelPathCreate("models/revolution/rock.dff");
    ASSERT_NE(path, nullptr);
    EXPECT_STREQ(path, "models\\revolution\\rock.dff");
    SkelPathDestroy(path);
    SkelPathDestroy(nullptr);
    SkelSetTextureSearchPath("models\\level.dff");
    EXPECT_STREQ(OvImageGetPath(), "models\\level\\;models\\textures\\");
    SkelSetTextureSearchPath("level");
    EXPECT_STREQ(OvImageGetPath(), "level\\;textures\\");
    SkelSetTextureSearchPath("\\level.x");
    EXPECT_STREQ(OvImageGetPath(), "\\level\\;textures\\");

    OvCamera* camera = SkelCameraCreate(64, 32, true);
    ASSERT_NE(camera, nullptr);
    EXPECT_NE(OvCameraGetFrame(camera), nullptr);
    EXPECT_EQ(camera->frameBuffer->width, 64);
    EXPECT_EQ(camera->zBuffer->height, 32);
    EXPECT_EQ(OvTestMemoryRasterDriverState()->liveRasters, 2);
    SkelCameraShowRaster(camera);
    SkelCameraDestroy(camera);
    SkelCameraDestroy(nullptr);
    // A raster that cannot be made takes everything else with it.
    OvTestMemoryRasterDriverState()->refuse[ovSTANDARDRASTERCREATE] = TRUE;
    EXPECT_EQ(SkelCameraCreate(64, 32, false), nullptr);
    OvTestMemoryRasterDriverState()->refuse[ovSTANDARDRASTERCREATE] = FALSE;
    EXPECT_EQ(OvTestMemoryRasterDriverState()->liveRasters, 0);

    SkelGraphicsClose();
    EXPECT_EQ(OvEngineGetStatus(), ovENGINESTATUSIDLE);
    EXPECT_FALSE(OvFSManagerGetState()->isOpen);
}

TEST_F(GraphicsOpenTest, EveryFailureCleansUp) {
    Answer(SKEL_EVENT_MEMORY_FUNCTIONS, SKEL_EVENT_FAILED);
    ExpectCleanFailure();
    Answer(SKEL_EVENT_PLUGIN_ATTACH, SKEL_EVENT_FAILED);
    ExpectCleanFailure();
    Answer(SKEL_EVENT_INPUT_DEVICE_ATTACH, SKEL_EVENT_FAILED);
    ExpectCleanFailure();
    Answer(SKEL_EVENT_SELECT_DEVICE, SKEL_EVENT_FAILED);
    ExpectCleanFailure();
    // A failed image registration is ignored.
    Answer(SKEL_EVENT_REGISTER_IMAGE_FORMATS, SKEL_EVENT_FAILED);
    ASSERT_EQ(SkelGraphicsOpen(&platform), 1);
    SkelGraphicsClose();
    g_app = nullptr;

    // The driver refuses to open, or to start.
    OvNullDriverGetControl()->refuseMask = 1u << ovDEVICEREQUESTOPEN;
    ExpectCleanFailure();
    OvNullDriverGetControl()->refuseMask = 1u << ovDEVICEREQUESTSTART;
    ExpectCleanFailure();
    OvNullDriverGetControl()->refuseMask = 0;

    // Device selection: a mode that cannot be set, no sub-system, a dialog left with EXIT or
    // cancelled.
    g_fake.refuseSetMode = true;
    ExpectCleanFailure();
    g_fake = FakeModes{};
    g_fake.subSystems = 0;
    ExpectCleanFailure();
    g_fake = FakeModes{};
    setenv("PLATFORM_DIALOG", "1002", 1);
    MakeWindow();
    ExpectCleanFailure();
    setenv("PLATFORM_DIALOG", "cancel", 1);
    MakeWindow();
    ExpectCleanFailure();
}

TEST_F(GraphicsOpenTest, DeviceDialogOffersSubSystemsAndModes) {
    // Twenty sub-systems: the first sixteen are offered. The current one is the third.
    g_fake.subSystems = 20;
    g_fake.current = 2;
    ASSERT_EQ(SkelGraphicsOpen(&platform), 1);
    const auto& dialog = PlatformLastDialog();
    const PlatformDialogControl* systems = nullptr;
    const PlatformDialogControl* modes = nullptr;
    for (const PlatformDialogControl& c : dialog) {
        systems = c.id == SKEL_CONTROL_SUBSYSTEMS ? &c : systems;
        modes = c.id == SKEL_CONTROL_VIDEO_MODES ? &c : modes;
    }
    ASSERT_NE(systems, nullptr);
    ASSERT_NE(modes, nullptr);
    ASSERT_EQ(systems->texts.size(), 16u);
    EXPECT_EQ(systems->texts[15], "Adapter 15");
    EXPECT_EQ(systems->data[15], 15);
    EXPECT_EQ(systems->selection, 2);
    EXPECT_EQ(modes->texts, (std::vector<std::string>{"640 x 480 x 32 ", "800 x 600 x 32 (Fullscreen)",
                                                      "1024 x 768 x 16 (Fullscreen)"}));
    EXPECT_EQ(modes->selection, 0);
    SkelGraphicsClose();

    // A full-screen mode chosen in the dialog: its size, and a pop-up window.
    setenv("PLATFORM_VIDEO_MODE", "800x600x32", 1);
    MakeWindow();
    ASSERT_EQ(SkelGraphicsOpen(&platform), 1);
    EXPECT_EQ(g_fake.mode, 1);
    EXPECT_EQ(platform.fullScreen, 1u);
    EXPECT_EQ(SkelGetState()->width, 800);
    EXPECT_EQ(SkelGetState()->height, 600);
    EXPECT_EQ(static_cast<DWORD>(GetWindowLongA(platform.window, GWL_STYLE)), WS_POPUP);
    SkelGraphicsClose();
}

} // namespace
