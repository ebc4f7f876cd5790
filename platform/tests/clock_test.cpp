#include "platform/clock.h"
#include "platform/win32.h"

#include <gtest/gtest.h>

namespace {

// Leaves the clock real whatever a test did.
struct ClockTest : ::testing::Test {
    void TearDown() override { PlatformClockSetFixedStep(0.0); }
};

TEST_F(ClockTest, FixedStepAdvancesOnlyPerFrame)
{
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
}

TEST_F(ClockTest, RealClockIsMonotonicAndIgnoresFrames)
{
    PlatformClockSetFixedStep(0.0);
    EXPECT_EQ(PlatformClockFixedStep(), 0.0);
    LARGE_INTEGER a{}, b{};
    ASSERT_TRUE(QueryPerformanceCounter(&a));
    PlatformClockAdvanceFrame();
    const double t0 = PlatformClockSeconds();
    const double t1 = PlatformClockSeconds();
    ASSERT_TRUE(QueryPerformanceCounter(&b));
    EXPECT_GE(t1, t0);
    EXPECT_GE(b.QuadPart, a.QuadPart);
    EXPECT_LT(t0, 60.0); // the clock counts from the restart, not from boot
}

TEST(TimerCaps, RefusesBadArguments)
{
    TIMECAPS caps{};
    EXPECT_EQ(timeGetDevCaps(&caps, sizeof caps), TIMERR_NOERROR);
    EXPECT_EQ(caps.wPeriodMin, 1u);
    EXPECT_EQ(timeGetDevCaps(nullptr, sizeof caps), TIMERR_NOCANDO);
    EXPECT_EQ(timeGetDevCaps(&caps, 1), TIMERR_NOCANDO);
    EXPECT_EQ(timeBeginPeriod(1), TIMERR_NOERROR);
    EXPECT_EQ(timeEndPeriod(1), TIMERR_NOERROR);
    EXPECT_EQ(timeBeginPeriod(0), TIMERR_NOCANDO);
    EXPECT_FALSE(QueryPerformanceCounter(nullptr));
    EXPECT_FALSE(QueryPerformanceFrequency(nullptr));
}

} // namespace
