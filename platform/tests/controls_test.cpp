#include "platform/controls.h"
#include "platform/d3d9_control.h"

#include <algorithm>
#include <cstdlib>
#include <gtest/gtest.h>
#include <thread>

namespace {

TEST(PlatformScript, ParsesItemsInFrameOrderAndNamesWhatIsWrong) {
    using Kind = PlatformScriptEvent::Kind;
    std::vector<PlatformScriptEvent> e;
    std::string error;
    ASSERT_TRUE(PlatformParseScript(" 300:escape , 120:F1,120:down=lshift, 5:move=-3/40, 5:rel=2/-1, 7:wheel=-2, "
                                    "8:drop=a/b c.dff, 9:up=RBUTTON, 9:close, 9:Deactivate",
                                    &e, &error))
        << error;
    ASSERT_EQ(e.size(), 10u);
    EXPECT_EQ(e[0].kind, Kind::Move);
    EXPECT_EQ(e[0].x, -3);
    EXPECT_EQ(e[0].y, 40);
    EXPECT_EQ(e[1].kind, Kind::Rel);
    EXPECT_EQ(e[2].kind, Kind::Wheel);
    EXPECT_EQ(e[2].x, -2);
    EXPECT_EQ(e[3].path, "a/b c.dff");
    EXPECT_EQ(e[4].kind, Kind::Up);
    EXPECT_EQ(e[6].kind, Kind::Deactivate);
    EXPECT_EQ(e[7].frame, 120); // written order kept within a frame
    EXPECT_EQ(e[7].key, "F1");
    EXPECT_EQ(e[8].kind, Kind::Down);
    EXPECT_EQ(e[9].frame, 300);
    EXPECT_TRUE(PlatformParseScript("", &e, &error));
    EXPECT_TRUE(e.empty());

    const std::pair<const char*, const char*> bad[] = {
        {"10", "item 1 '10': expected FRAME:ACTION"},
        {"1:F1,,2:F2", "item 2 '': expected FRAME:ACTION"},
        {"1:F1,", "item 2"},
        {"-1:F1", "the frame is not a whole number"},
        {"x:F1", "the frame is not a whole number"},
        {"99999999999:F1", "the frame is not a whole number"},
        {"1:F99", "unknown key or action 'F99'"},
        {"1:down=", "unknown key ''"},
        {"1:move=3", "expected move=X/Y"},
        {"1:move=3/4/5", "expected move=X/Y"},
        {"1:rel=1/40000", "expected rel=DX/DY"},
        {"1:wheel=0", "expected wheel=N"},
        {"1:drop=", "expected drop=PATH"},
        {"1:jump=2", "unknown action 'jump'"},
    };
    for (const auto& [text, why] : bad) {
        error.clear();
        EXPECT_FALSE(PlatformParseScript(text, &e, &error)) << text;
        EXPECT_EQ(error.rfind("PLATFORM_KEYS: ", 0), 0u) << error;
        EXPECT_NE(error.find(why), std::string::npos) << text << " -> " << error;
    }
}

TEST(PlatformControlsEnv, RefusesMalformedValuesNamingTheVariable) {
    const char* names[] = {"PLATFORM_HEADLESS", "PLATFORM_FRAMES",        "PLATFORM_KEYS",
                           "PLATFORM_CAPTURE",  "PLATFORM_CAPTURE_EVERY", "PLATFORM_FIXED_STEP",
                           "PLATFORM_DIALOG",   "PLATFORM_VIDEO_MODE",    "PLATFORM_RASTER_THREADS"};
    auto clear = [&] {
        for (const char* n : names)
            unsetenv(n);
    };
    clear();
    PlatformControls c;
    std::string error;
    setenv("PLATFORM_FRAMES", "30", 1);
    setenv("PLATFORM_CAPTURE", "out/f-%05d.png", 1);
    setenv("PLATFORM_CAPTURE_EVERY", "10", 1);
    setenv("PLATFORM_FIXED_STEP", "0.0333", 1);
    setenv("PLATFORM_DIALOG", "1002", 1);
    setenv("PLATFORM_VIDEO_MODE", "800x600x32", 1);
    setenv("PLATFORM_RASTER_THREADS", "3", 1);
    ASSERT_TRUE(PlatformControlsFromEnvironment(&c, &error)) << error;
    EXPECT_EQ(c.rasterThreads, 3);
    EXPECT_EQ(c.frames, 30);
    EXPECT_EQ(c.captureEvery, 10);
    EXPECT_EQ(c.fixedStep, 0.0333);
    EXPECT_EQ(c.dialogAnswer, 1002);
    EXPECT_EQ(c.videoMode, "800 x 600 x 32");
    EXPECT_EQ(PlatformCaptureName(c.capture, 42), "out/f-00042.png");
    EXPECT_EQ(PlatformCaptureName("100%%-%u.png", 7), "100%-7.png");

    const std::pair<const char*, const char*> bad[] = {
        {"PLATFORM_HEADLESS", "yes"},          {"PLATFORM_FRAMES", "0"},           {"PLATFORM_FRAMES", "12x"},
        {"PLATFORM_CAPTURE", "f-%s.png"},      {"PLATFORM_CAPTURE", "%d-%d.png"},  {"PLATFORM_CAPTURE", "f-%"},
        {"PLATFORM_CAPTURE", "f-%999999999d"}, {"PLATFORM_CAPTURE", "f-%.3d"},     {"PLATFORM_CAPTURE_EVERY", "-2"},
        {"PLATFORM_FIXED_STEP", "0"},          {"PLATFORM_FIXED_STEP", "nan"},     {"PLATFORM_FIXED_STEP", "1/30"},
        {"PLATFORM_DIALOG", "exit"},           {"PLATFORM_VIDEO_MODE", "800x600"}, {"PLATFORM_VIDEO_MODE", "0x0x32"},
        {"PLATFORM_KEYS", "1:nokey"},          {"PLATFORM_RASTER_THREADS", "0"},   {"PLATFORM_RASTER_THREADS", "65"},
        {"PLATFORM_RASTER_THREADS", "2x"},     {"PLATFORM_RASTER_THREADS", "-4"},
    };
    for (const auto& [name, value] : bad) {
        clear();
        setenv("PLATFORM_CAPTURE", "f.png", 1);
        setenv(name, value, 1);
        error.clear();
        EXPECT_FALSE(PlatformControlsFromEnvironment(&c, &error)) << name << "=" << value;
        EXPECT_EQ(error.rfind(std::string(name) + ":", 0), 0u) << error;
    }
    clear();
    setenv("PLATFORM_CAPTURE_EVERY", "2", 1);
    EXPECT_FALSE(PlatformControlsFromEnvironment(&c, &error));
    EXPECT_EQ(error, "PLATFORM_CAPTURE_EVERY: set without PLATFORM_CAPTURE");

    // The rasteriser's threads: the variable's when set (64 at most), else the processors up to 8.
    int threads = -1;
    setenv("PLATFORM_RASTER_THREADS", "one", 1);
    EXPECT_FALSE(PlatformRasterThreadsFromEnvironment(&threads, &error));
    EXPECT_EQ(error, "PLATFORM_RASTER_THREADS: expected a whole number of threads from 1 to 64, got 'one'");
    for (const char* n : {"1", "5", "64"}) {
        setenv("PLATFORM_RASTER_THREADS", n, 1);
        ASSERT_TRUE(PlatformRasterThreadsFromEnvironment(&threads, &error)) << error;
        EXPECT_EQ(threads, std::atoi(n));
        D3d9SetRasterThreads(0);
        EXPECT_EQ(D3d9RasterThreadCount(), std::atoi(n));
    }
    clear();
    ASSERT_TRUE(PlatformRasterThreadsFromEnvironment(&threads, &error));
    EXPECT_EQ(threads, 0);
    D3d9SetRasterThreads(0);
    EXPECT_EQ(D3d9RasterThreadCount(), static_cast<int>(std::clamp(std::thread::hardware_concurrency(), 1u, 8u)));
    clear();
}

} // namespace
