// The frame: time step (capped, fixed, clock wrap), what stops frames, the frame-rate counter and
// its graph, the application's events, and a failed graphics open.

#include <cmath>
#include <cstdio>
#include <string>
#include <cstdlib>
#include <vector>

#include "framework/camera_manager.h"
#include "framework/fps_counter.h"
#include "framework/hud.h"
#include "framework/world_manager.h"
#include "graphics/core/engine.h"
#include "graphics/core/testkit/memory_raster_driver.h"
#include "graphics/core/testkit/null_driver.h"
#include "graphics/shared/skel/win/exit_status.h"
#include "platform/window.h"
#include "test_app.h"

namespace {

TEST_F(FrameworkTest, TimeStepIsCappedFixedAndSurvivesTheClockWrap) {
    TestApp app("config.xml");
    g_fakeNow = 1000;
    app.Frame(); // the first frame starts the clock: no time passed
    g_fakeNow += 20;
    app.Frame();
    g_fakeNow += 2000; // a long stall
    app.Frame();
    g_fakeNow = 0xFFFFFFF0u;
    app.Frame();             // the clock moved on by almost 2^32 ms: capped as well
    g_fakeNow = 0x00000010u; // 32 ms later, across the wrap
    app.Frame();
    ASSERT_EQ(app.updates.size(), 5u);
    EXPECT_EQ(app.updates[0], 0.0f);
    EXPECT_FLOAT_EQ(app.updates[1], 0.02f);
    EXPECT_EQ(app.updates[2], CStandardApplication::kMaxStep);
    EXPECT_EQ(app.updates[3], CStandardApplication::kMaxStep);
    EXPECT_FLOAT_EQ(app.updates[4], 0.032f);
    EXPECT_EQ(app.LastFrameTime(), 0x10u);
    EXPECT_EQ(app.renders, 5);
    // The frame-rate counter samples the time as it was, not the capped step.
    CFpsCounter* fps = CFpsCounter::GetInstance();
    EXPECT_EQ(fps->HistoryCount(), 5);
    std::vector<OvD3D9Im2DVertex> v;
    fps->BuildGraph(1000.0f, 800.0f, 0.0f, 1.0f, &v);
    EXPECT_FLOAT_EQ(v[5].y, 796.0f - 2.0f * 2000.0f); // the stall: 2 s high
    EXPECT_FLOAT_EQ(v[9].y, 796.0f - 0.032f * 2000.0f);

    // A fixed step wins whatever the clock says.
    app.SetFixedStep(0.01f);
    g_fakeNow += 5000;
    app.Frame();
    EXPECT_EQ(app.updates.back(), 0.01f);
    EXPECT_EQ(CStandardApplication::TimeStep(0, true, 0.25f), 0.25f);
    EXPECT_FLOAT_EQ(CStandardApplication::TimeStep(33, false, 0.25f), 0.033f);
    EXPECT_EQ(CStandardApplication::TimeStep(34, false, 0.25f), 0.0333f);
}

TEST_F(FrameworkTest, IdleRunsFramesUntilAnErrorAndPauseHoldsTheGame) {
    // A new application starts without the managers a previous one left behind.
    int stale = 0;
    g_worldManager = reinterpret_cast<CWorldManager*>(&stale);
    g_cameraManager = reinterpret_cast<CCameraManager*>(&stale);
    g_hud = reinterpret_cast<CHud*>(&stale);
    TestApp app("config.xml");
    EXPECT_EQ(g_worldManager, nullptr);
    EXPECT_EQ(g_cameraManager, nullptr);
    EXPECT_EQ(g_hud, nullptr);
    g_testApp = &app;
    const long waits = PlatformMessageWaits();
    EXPECT_EQ(SkelEventDispatch(SKEL_EVENT_IDLE, nullptr), SKEL_EVENT_HANDLED);
    EXPECT_EQ(app.renders, 1);
    const std::string draw = "world-draw scene scene-draw present ";
    EXPECT_EQ(app.stages, "input update world hud-camera bodies particles " + draw);
    EXPECT_EQ(PlatformMessageWaits(), waits); // a running game draws its next frame at once
    // Paused (the start screen is up): the game does not update, but the frame still renders,
    // and the next one waits for a message or the next display refresh.
    g_paused = true;
    app.stages.clear();
    SkelEventDispatch(SKEL_EVENT_IDLE, nullptr);
    g_paused = false;
    EXPECT_EQ(app.updates.size(), 1u);
    EXPECT_EQ(app.renders, 2);
    EXPECT_EQ(app.stages, "input world hud-camera bodies particles " + draw);
    EXPECT_EQ(PlatformMessageWaits(), waits + 1);
    // The error box stops every further frame; the idle event is still handled.
    ErrorBox("Dynamics not allocated");
    EXPECT_EQ(SkelEventDispatch(SKEL_EVENT_IDLE, nullptr), SKEL_EVENT_HANDLED);
    EXPECT_EQ(app.renders, 2);
    EXPECT_EQ(Log(), "Dynamics not allocated\n");

    // Activation, start-up (title and default size) and the events the framework leaves alone.
    EXPECT_EQ(SkelEventDispatch(SKEL_EVENT_ACTIVATE, reinterpret_cast<void*>(std::intptr_t{1})), SKEL_EVENT_HANDLED);
    EXPECT_TRUE(g_active);
    SkelEventDispatch(SKEL_EVENT_ACTIVATE, nullptr);
    EXPECT_FALSE(g_active);
    EXPECT_EQ(SkelEventDispatch(SKEL_EVENT_APP_START, nullptr), SKEL_EVENT_HANDLED);
    EXPECT_EQ(SkelGetState()->width, 640);
    EXPECT_EQ(SkelGetState()->height, 480);
    EXPECT_STREQ(SkelGetState()->title, "Framework Test");
    SkelSizeRect size = {0, 0, 10, 10};
    EXPECT_EQ(app.HandleEvent(SKEL_EVENT_CAMERA_SIZE, &size), SKEL_EVENT_HANDLED);
    // Plugins register with an initialised engine only: outside the open sequence they fail.
    EXPECT_EQ(app.HandleEvent(SKEL_EVENT_PLUGIN_ATTACH, nullptr), SKEL_EVENT_FAILED);
    EXPECT_EQ(app.HandleEvent(SKEL_EVENT_INPUT_DEVICE_ATTACH, nullptr), SKEL_EVENT_HANDLED);
    for (std::int32_t code :
         {SKEL_EVENT_ARGUMENT, SKEL_EVENT_FILE_LOAD, SKEL_EVENT_SELECT_DEVICE, SKEL_EVENT_REGISTER_IMAGE_FORMATS,
          SKEL_EVENT_APP_STOP, SKEL_EVENT_QUIT, SKEL_EVENT_MEMORY_FUNCTIONS, SKEL_EVENT_PRE_OPEN_ARGUMENT}) {
        EXPECT_EQ(app.CStandardApplication::HandleEvent(code, nullptr), SKEL_EVENT_NOT_HANDLED) << code;
    }
}

int g_exitCode = -1;
void RecordExit(int code) { g_exitCode = code; }

TEST_F(FrameworkTest, AFailedGraphicsOpenEndsTheProcessWithAFailingStatus) {
    TestApp app("config.xml");
    g_testApp = &app;
    g_frameworkExit = RecordExit;
    OvNullDriverReset();
    OvEngineSetDriver(OvNullDriverGet());
    OvNullDriverGetControl()->refuseMask = 1u << ovDEVICEREQUESTOPEN;
    SkelPlatform platform{};
    EXPECT_EQ(SkelEventDispatch(SKEL_EVENT_GRAPHICS_OPEN, &platform), SKEL_EVENT_FAILED);
    EXPECT_EQ(g_exitCode, kSkelFailureStatus);
    EXPECT_EQ(app.inits, 0);
    EXPECT_EQ(OvEngineGetStatus(), ovENGINESTATUSIDLE);
    g_frameworkExit = std::exit;
    OvEngineSetDriver(nullptr);
    OvNullDriverReset();
}

// Graphics open reads the configuration before the game's Init; a configuration that failed, or
// an Init that failed, leaves the frames stopped; close runs Terminate and takes the engine down.
TEST_F(FrameworkTest, GraphicsOpenReadsTheConfigurationThenStartsTheGame) {
    OvTestMemoryRasterDriverReset();
    OvEngineSetDriver(OvTestMemoryRasterDriver());
    SkelPlatform platform{};
    struct Run {
        std::string config; // empty: no file
        bool initResult;
        int inits;
        bool stop;
        std::string messages;
    };
    const Run runs[] = {
        {"<Config><Debug level=\"1\"/><Worlds></Worlds><Worlds/><Input><MouseMode Value=\"1\"/></Input></Config>", true,
         1, false, ""},
        // Mouse mode 0: the DirectInput mouse needs the window the game never gave, and the
        // pointer image is not there.
        {"<Config><Debug level=\"1\"/></Config>", true, 1, true,
         "Failed to create DirectInput component\n(forgot to set HWND on CStandardApplication ?)\n"
         "Texture not found : 'POINTER.BMP'\nThe file 'MODELS/TEXTURES/POINTER.BMP' is not there.\n"},
        {"<Config><Debug level=\"1\"/></Config>", false, 1, true, ""},
        {"", true, 0, true, "Configuration file not found\n config.xml should be added in root directory\n"},
        {"<Config><Debug/></Config>", true, 0, true,
         "'level' attribute not found in 'Debug' section.\nPlease update your XML file\n'Debug' has no attribute "
         "'level'; it has none (" +
             dir + "/config.xml line 1).\n"},
    };
    for (const Run& run : runs) {
        SCOPED_TRACE(run.config);
        std::remove(logPath.c_str());
        std::remove((dir + "/config.xml").c_str());
        if (!run.config.empty()) {
            Write("config.xml", run.config);
        }
        TestApp app((dir + "/config.xml").c_str());
        app.initResult = run.initResult;
        g_testApp = &app;
        SkelSetFailureStatus(0);
        ASSERT_EQ(SkelEventDispatch(SKEL_EVENT_GRAPHICS_OPEN, &platform), SKEL_EVENT_HANDLED);
        EXPECT_EQ(OvEngineGetStatus(), ovENGINESTATUSSTARTED);
        EXPECT_EQ(app.inits, run.inits);
        EXPECT_EQ(g_stopOnError, run.stop);
        EXPECT_EQ(Log(), run.messages);
        EXPECT_EQ(g_debugLevel, run.config.find("level") != std::string::npos ? 1 : 0);
        // "Worlds" makes the raster character set, once however often it comes.
        EXPECT_EQ(app.Charset() != nullptr, run.config.find("Worlds") != std::string::npos);
        EXPECT_EQ(OvTestMemoryRasterDriverState()->liveRasters, app.Charset() != nullptr ? 1 : 0);
        SkelEventDispatch(SKEL_EVENT_IDLE, nullptr);
        EXPECT_EQ(app.renders, run.stop ? 0 : 1);
        EXPECT_EQ(SkelEventDispatch(SKEL_EVENT_GRAPHICS_CLOSE, nullptr), SKEL_EVENT_HANDLED);
        // A run stopped by an error leaves the failing status for the process to end with.
        EXPECT_EQ(SkelGetFailureStatus(), run.stop ? kSkelFailureStatus : 0);
        EXPECT_EQ(app.terminates, 1);
        EXPECT_EQ(app.Charset(), nullptr);
        EXPECT_EQ(OvTestMemoryRasterDriverState()->liveRasters, 0);
        EXPECT_EQ(OvEngineGetStatus(), ovENGINESTATUSIDLE);
        g_testApp = nullptr;
    }
    OvEngineSetDriver(nullptr);
}

TEST(FpsCounter, RateAfterTwoHundredFramesAndHistoryWrap) {
    CFpsCounter* fps = CFpsCounter::GetInstance();
    EXPECT_EQ(fps->Text(), "FPS : [wait]");
    for (int i = 0; i < 200; ++i) {
        fps->Sample(0.02f);
    }
    EXPECT_EQ(fps->Text(), "FPS : [wait]"); // the rate is taken at the 201st frame
    fps->Sample(0.5f);
    EXPECT_TRUE(fps->Valid());
    EXPECT_NEAR(fps->Rate(), 50.0f, 1e-3f);
    EXPECT_EQ(fps->Text(), "FPS : 50.00");
    // The history wraps at 632: once full the graph starts at the oldest sample.
    for (int i = 0; i < 700; ++i) {
        fps->Sample(0.001f * static_cast<float>(i % 100));
    }
    EXPECT_EQ(fps->HistoryCount(), CFpsCounter::kHistorySize);
    std::vector<OvD3D9Im2DVertex> v;
    fps->BuildGraph(800.0f, 600.0f, 0.25f, 9.9f, &v);
    ASSERT_EQ(v.size(), 2u * 632u + 4u);
    // 901 samples in all, 632 kept: the oldest is the 69th of the loop (value 0.068).
    EXPECT_FLOAT_EQ(v[0].x, 800.0f - 632.0f - 4.0f);
    EXPECT_FLOAT_EQ(v[0].y, 596.0f);
    EXPECT_FLOAT_EQ(v[1].y, 596.0f - 0.068f * 2000.0f);
    EXPECT_FLOAT_EQ(v[2 * 631].x, 800.0f - 4.0f - 1.0f);
    EXPECT_FLOAT_EQ(v[2 * 631 + 1].y, 596.0f - 0.099f * 2000.0f);
    EXPECT_EQ(v[0].z, 0.25f);
    EXPECT_EQ(v[0].rhw, 9.9f);
    CFpsCounter::Destroy();

    // A clock that never moves gives no rate rather than an infinite one.
    fps = CFpsCounter::GetInstance();
    for (int i = 0; i < 401; ++i) {
        fps->Sample(0.0f);
    }
    EXPECT_EQ(fps->Text(), "FPS : [wait]");
    CFpsCounter::Destroy();
}

} // namespace
