// The demo clock: the time-stamp counter decision on scripted processor identifications, and the
// clock itself on scripted counters (wrap of the tick count, calibration, the priority class).

#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <map>
#include <string>

#include "demo/timer.h"
#include "platform/clock.h"

namespace {

// A scripted processor: answers the leaves it was given, zeros for the others.
struct FakeCpu {
    std::map<std::uint32_t, std::array<std::uint32_t, 4>> leaves;
    bool hasCpuid = true;
    std::uint32_t processors = 1;

    static bool Answer(void* user, std::uint32_t leaf, std::uint32_t regs[4]) {
        const auto* cpu = static_cast<const FakeCpu*>(user);
        if (!cpu->hasCpuid)
            return false;
        const auto it = cpu->leaves.find(leaf);
        for (int i = 0; i < 4; ++i)
            regs[i] = it != cpu->leaves.end() ? it->second[i] : 0;
        return true;
    }
    Demo::CpuIdentity Identity() { return {processors, Answer, this}; }
    bool Reliable() { return Demo::IsTscReliable(Identity()); }

    // Leaf 0 with the vendor text and highest leaf 1; leaf 1 with the counter bit.
    static FakeCpu Make(const char* vendor, std::uint32_t signature = 0x6F2, std::uint32_t brand = 0) {
        FakeCpu cpu;
        std::array<std::uint32_t, 4> leaf0 = {1, 0, 0, 0};
        std::memcpy(&leaf0[1], vendor, 4);
        std::memcpy(&leaf0[3], vendor + 4, 4);
        std::memcpy(&leaf0[2], vendor + 8, 4);
        cpu.leaves[0] = leaf0;
        cpu.leaves[1] = {signature, brand, 0, 0x10};
        return cpu;
    }
    void SetBrandString(const std::string& text) {
        leaves[0x80000000u] = {0x80000004u, 0, 0, 0};
        char bytes[48] = {};
        std::memcpy(bytes, text.data(), std::min<std::size_t>(text.size(), 48));
        for (std::uint32_t i = 0; i < 3; ++i) {
            std::array<std::uint32_t, 4> regs;
            std::memcpy(regs.data(), bytes + 16 * i, 16);
            leaves[0x80000002u + i] = regs;
        }
    }
};

TEST(TscDecision, GeneralRefusals) {
    FakeCpu cpu = FakeCpu::Make("GenuineIntel");
    EXPECT_TRUE(cpu.Reliable());
    cpu.processors = 2;
    EXPECT_FALSE(cpu.Reliable());
    cpu.processors = 1;
    cpu.hasCpuid = false;
    EXPECT_FALSE(cpu.Reliable());
    cpu.hasCpuid = true;
    cpu.leaves[0][0] = 0; // no leaf beyond 0
    EXPECT_FALSE(cpu.Reliable());
    cpu.leaves[0][0] = 1;
    cpu.leaves[1][3] = 0xFFFFFFEFu; // every feature but the counter
    EXPECT_FALSE(cpu.Reliable());
    // Other makers are trusted once the general tests pass.
    EXPECT_TRUE(FakeCpu::Make("SomeOtherCPU").Reliable());
}

TEST(TscDecision, MobileSignatureTable) {
    struct Case {
        std::uint32_t brand, signature;
        bool mobile;
    };
    const Case cases[] = {
        {0, 0x56F, false}, {0, 0x570, true},   {0, 0x58F, true},  {0, 0x590, false}, {0, 0x66A, true},
        {0, 0x66B, false}, {0, 0x66D, true},   {2, 0x681, true},  {2, 0x682, false}, {2, 0x68A, true},
        {2, 0x690, true},  {2, 0x69F, true},   {2, 0x6A0, false}, {1, 0x690, false}, {6, 0x000, true},
        {7, 0xFFF, true},  {14, 0xF12, false}, {14, 0xF13, true}, {15, 0x123, true}, {16, 0x123, false},
    };
    for (const Case& c : cases) {
        // Bits above the low byte of ebx and above bit 11 of eax are not part of the key.
        FakeCpu cpu = FakeCpu::Make("GenuineIntel", c.signature | 0x3000, c.brand | 0xAB00);
        EXPECT_EQ(cpu.Reliable(), !c.mobile) << "brand " << c.brand << " signature " << std::hex << c.signature;
    }
}

TEST(TscDecision, BrandStringAndFrequencyControl) {
    FakeCpu intel = FakeCpu::Make("GenuineIntel");
    intel.SetBrandString("Intel(R) Pentium(R) M processor 1.60GHz");
    EXPECT_TRUE(intel.Reliable());
    intel.SetBrandString("Genuine MoBiLe processor");
    EXPECT_FALSE(intel.Reliable());
    // The word at the very end of the 48 bytes, with no terminator after it.
    intel.SetBrandString(std::string(42, 'x') + "MOBILE");
    EXPECT_FALSE(intel.Reliable());
    // Not read when the extended range stops at 0x80000003.
    intel.SetBrandString("Mobile");
    intel.leaves[0x80000000u][0] = 0x80000003u;
    EXPECT_TRUE(intel.Reliable());

    FakeCpu amd = FakeCpu::Make("AuthenticAMD");
    amd.leaves[0x80000000u] = {0x80000007u, 0, 0, 0};
    amd.leaves[0x80000007u] = {0, 0, 0, 0x2};
    EXPECT_FALSE(amd.Reliable());
    amd.leaves[0x80000007u][3] = 0x1;
    EXPECT_TRUE(amd.Reliable());
    amd.leaves[0x80000007u][3] = 0x2;
    amd.leaves[0x80000000u][0] = 0x80000006u; // the power leaf is not there
    EXPECT_TRUE(amd.Reliable());
}

// Scripted counters: each read moves the counter on by its step.
struct FakeCounters {
    static inline std::int64_t performance = 0;
    static inline std::int64_t performanceStep = 0;
    static inline bool hasPerformance = true;
    static inline DWORD tick = 0;
    static inline DWORD tickStep = 0;
    static inline std::uint64_t tsc = 0;
    static inline std::uint64_t tscStep = 0;
    static inline bool sawRealtime = false; // a counter read happened at real-time priority

    static BOOL Frequency(LARGE_INTEGER* f) {
        f->QuadPart = hasPerformance ? 1000000 : 0;
        return hasPerformance ? TRUE : FALSE;
    }
    static BOOL Counter(LARGE_INTEGER* c) {
        c->QuadPart = performance;
        performance += performanceStep;
        return TRUE;
    }
    static DWORD Tick() {
        const DWORD t = tick;
        tick += tickStep;
        return t;
    }
    static std::uint64_t Tsc() {
        sawRealtime = sawRealtime || GetPriorityClass(GetCurrentProcess()) == REALTIME_PRIORITY_CLASS;
        const std::uint64_t t = tsc;
        tsc += tscStep;
        return t;
    }
};

class ClockTest : public ::testing::Test {
protected:
    void SetUp() override {
        FakeCounters::performance = 5000;
        FakeCounters::performanceStep = 0;
        FakeCounters::hasPerformance = true;
        FakeCounters::tick = 0;
        FakeCounters::tickStep = 0;
        FakeCounters::tsc = 0;
        FakeCounters::tscStep = 0;
        FakeCounters::sawRealtime = false;
        source = {FakeCounters::Frequency, FakeCounters::Counter, FakeCounters::Tick, FakeCounters::Tsc, &noTsc};
    }
    void TearDown() override { Demo::SetClockSource(nullptr); }

    FakeCpu twoProcessors = [] {
        FakeCpu c = FakeCpu::Make("GenuineIntel");
        c.processors = 2;
        return c;
    }();
    FakeCpu oneProcessor = FakeCpu::Make("GenuineIntel");
    Demo::CpuIdentity noTsc = twoProcessors.Identity();
    Demo::CpuIdentity tscOk = oneProcessor.Identity();
    Demo::ClockSource source{};
};

TEST_F(ClockTest, PerformanceCounterIsTheDefault) {
    Demo::SetClockSource(&source);
    EXPECT_EQ(Demo::GetClockKind(), Demo::ClockKind::None);
    EXPECT_EQ(Demo::TimerRead(), 0.0); // the first read sets the base
    EXPECT_EQ(Demo::GetClockKind(), Demo::ClockKind::PerformanceCounter);
    FakeCounters::performance += 1500000;
    EXPECT_DOUBLE_EQ(Demo::TimerRead(7), 1.5);
}

TEST_F(ClockTest, TickCountWrapsWithoutGoingBack) {
    FakeCounters::hasPerformance = false;
    FakeCounters::tick = 0xFFFFFC18u; // 1000 ms before the wrap
    Demo::SetClockSource(&source);
    Demo::TimerInit();
    EXPECT_EQ(Demo::GetClockKind(), Demo::ClockKind::TickCount);
    double last = -1.0;
    for (DWORD step = 0; step < 40; ++step) {
        FakeCounters::tick += 100; // crosses 2^32 after ten steps
        const double now = Demo::TimerRead();
        EXPECT_GT(now, last) << "step " << step;
        EXPECT_NEAR(now, 0.1 * (step + 1), 1e-9);
        last = now;
    }
    // More than 2^31 ms after the base the 32-bit difference reads negative.
    FakeCounters::tick += 3000000000u;
    EXPECT_NEAR(Demo::TimerRead(), 3000004.0, 1e-6);
}

TEST_F(ClockTest, TimeStampCounterCalibratedOnEitherCounter) {
    // Against the performance counter: 0.03 s of it while the time-stamp counter runs at 2 GHz.
    source.identity = &tscOk;
    FakeCounters::performanceStep = 1000; // 1 ms a read
    FakeCounters::tscStep = 2000000;      // 1 ms at 2 GHz a read
    FakeCounters::tsc = 1u << 30;
    Demo::SetClockSource(&source);
    SetPriorityClass(GetCurrentProcess(), HIGH_PRIORITY_CLASS);
    Demo::TimerInit();
    EXPECT_EQ(Demo::GetClockKind(), Demo::ClockKind::TimeStampCounter);
    EXPECT_TRUE(FakeCounters::sawRealtime);
    EXPECT_EQ(GetPriorityClass(GetCurrentProcess()), HIGH_PRIORITY_CLASS); // given back
    FakeCounters::tscStep = 0;
    const double t0 = Demo::TimerRead();
    FakeCounters::tsc += 2000000000ull;
    EXPECT_NEAR(Demo::TimerRead() - t0, 1.0, 1e-9);

    // Against the tick count: one second of ticks.
    FakeCounters::hasPerformance = false;
    FakeCounters::tickStep = 10;
    FakeCounters::tscStep = 30000000; // 10 ms at 3 GHz a read
    FakeCounters::tick = 0xFFFFFF00u; // the calibration crosses the wrap
    Demo::SetClockSource(&source);
    Demo::TimerInit();
    EXPECT_EQ(Demo::GetClockKind(), Demo::ClockKind::TimeStampCounter);
    FakeCounters::tscStep = 0;
    const double t1 = Demo::TimerRead();
    FakeCounters::tsc += 1500000000ull;
    EXPECT_NEAR(Demo::TimerRead() - t1, 0.5, 1e-9);
    SetPriorityClass(GetCurrentProcess(), NORMAL_PRIORITY_CLASS);
}

// One processor whose counter passes every test: the calibration needs both counters to move, and
// never waits for good on a reference clock that stands still.
TEST_F(ClockTest, OneProcessorCalibratesOnlyOnCountersThatMove) {
    // A time-stamp counter that does not move would give an infinite rate.
    source.identity = &tscOk;
    FakeCounters::performanceStep = 1000;
    Demo::SetClockSource(&source);
    Demo::TimerInit();
    EXPECT_EQ(Demo::GetClockKind(), Demo::ClockKind::PerformanceCounter);
    FakeCounters::performance += 250000;
    FakeCounters::performanceStep = 0;
    EXPECT_GT(Demo::TimerRead(), 0.25);
    // A performance counter that never moves: the reference stays the clock.
    FakeCounters::tscStep = 1000;
    Demo::SetClockSource(&source);
    Demo::TimerInit();
    EXPECT_EQ(Demo::GetClockKind(), Demo::ClockKind::PerformanceCounter);
    const double t0 = Demo::TimerRead();
    FakeCounters::performance += 500000;
    EXPECT_DOUBLE_EQ(Demo::TimerRead() - t0, 0.5);
    // A tick count that never moves, before its first change and after it.
    FakeCounters::hasPerformance = false;
    Demo::SetClockSource(&source);
    Demo::TimerInit();
    EXPECT_EQ(Demo::GetClockKind(), Demo::ClockKind::TickCount);
    struct StopsAfterOne {
        static DWORD Tick() {
            static DWORD calls = 0;
            return ++calls < 3 ? 0 : 1; // moves once, then stands still at 1 ms
        }
    };
    source.tickCount = StopsAfterOne::Tick;
    Demo::SetClockSource(&source);
    Demo::TimerInit();
    EXPECT_EQ(Demo::GetClockKind(), Demo::ClockKind::TickCount);
    EXPECT_EQ(GetPriorityClass(GetCurrentProcess()), NORMAL_PRIORITY_CLASS);
}

TEST_F(ClockTest, OneProcessorUnderTheFixedStepFollowsTheFrames) {
    // The machine's counters with the one-processor identification, under the fixed step and not.
    const Demo::ClockSource machine = {nullptr, nullptr, nullptr, nullptr, &tscOk};
    PlatformClockSetFixedStep(0.25);
    Demo::SetClockSource(&machine);
    Demo::TimerInit();
    EXPECT_EQ(Demo::GetClockKind(), Demo::ClockKind::PerformanceCounter);
    EXPECT_EQ(Demo::TimerRead(), 0.0);
    for (int frame = 0; frame < 3; ++frame)
        PlatformClockAdvanceFrame();
    EXPECT_DOUBLE_EQ(Demo::TimerRead(), 0.75);
    PlatformClockSetFixedStep(0.0);
    Demo::SetClockSource(&machine);
    Demo::TimerInit();
    // The real clock moves: calibrated wherever the processor has a time-stamp counter, and never
    // going back.
    const Demo::ClockKind kind = Demo::GetClockKind();
    EXPECT_TRUE(kind == Demo::ClockKind::TimeStampCounter || kind == Demo::ClockKind::PerformanceCounter);
    double last = Demo::TimerRead();
    for (int i = 0; i < 1000; ++i) {
        const double now = Demo::TimerRead();
        ASSERT_GE(now, last);
        last = now;
    }
}

} // namespace
