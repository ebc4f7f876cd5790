#include "platform/clock.h"
#include "platform/win32.h"

#include <gtest/gtest.h>

namespace {

// Leaves the clock real whatever a test did.
struct ClockTest : ::testing::Test {
    void TearDown() override { PlatformClockSetFixedStep(0.0); }
};

TEST_F(ClockTest, FixedStepAdvancesOnlyPerFrame) {
    PlatformClockSetFixedStep(0.25);
    EXPECT_EQ(PlatformClockFixedStep(), 0.25);
    EXPECT_EQ(PlatformClockSeconds(), 0.0);
    EXPECT_EQ(timeGetTime(), 0u);
    EXPECT_EQ(PlatformClockSeconds(), 0.0); // reading does not move it

    for (int i = 0; i < 10; ++i)
        PlatformClockAdvanceFrame();
    EXPECT_EQ(PlatformClockSeconds(), 2.5);
    EXPECT_EQ(timeGetTime(), 2500u);
    EXPECT_EQ(GetTickCount(), 2500u);

    LARGE_INTEGER freq{}, count{};
    ASSERT_TRUE(QueryPerformanceFrequency(&freq));
    ASSERT_TRUE(QueryPerformanceCounter(&count));
    EXPECT_EQ(count.QuadPart, freq.QuadPart * 5 / 2);

    // Switching the step restarts the fixed clock.
    PlatformClockSetFixedStep(1.0 / 30.0);
    PlatformClockAdvanceFrame();
    EXPECT_EQ(timeGetTime(), 33u);

    // The real clock ignores frames, never goes back and counts from the restart, not from boot.
    PlatformClockSetFixedStep(0.0);
    PlatformClockAdvanceFrame();
    const double t0 = PlatformClockSeconds();
    ASSERT_TRUE(QueryPerformanceCounter(&count));
    EXPECT_GE(PlatformClockSeconds(), t0);
    EXPECT_LT(t0, 60.0);
    LARGE_INTEGER later{};
    ASSERT_TRUE(QueryPerformanceCounter(&later));
    EXPECT_GE(later.QuadPart, count.QuadPart);
}

} // namespace
