#include "platform/cpu.h"

#include <gtest/gtest.h>

#include <limits>

namespace {

#if defined(__x86_64__) || defined(__i386__)

TEST(PlatformCpu, CpuidLeavesAndRangeChecks) {
    ASSERT_TRUE(PlatformCpuidAvailable());

    PlatformCpuidRegs r0{};
    ASSERT_TRUE(PlatformCpuid(0, &r0));
    EXPECT_GE(r0.eax, 1u); // every x86_64 processor has leaf 1

    PlatformCpuidRegs r1{};
    ASSERT_TRUE(PlatformCpuid(1, &r1));
#if defined(__x86_64__)
    EXPECT_NE(r1.edx & (1u << 26), 0u); // x86_64 guarantees SSE2: the leaf's registers are real
#endif

    PlatformCpuidRegs ext{};
    ASSERT_TRUE(PlatformCpuid(0x80000000u, &ext));

    // A leaf past the highest standard one is refused and reads as zeros.
    PlatformCpuidRegs past{1, 2, 3, 4};
    EXPECT_FALSE(PlatformCpuid(r0.eax + 1, &past));
    EXPECT_EQ(past.eax | past.ebx | past.ecx | past.edx, 0u);
    EXPECT_FALSE(PlatformCpuid(ext.eax + 1, &past));
}

TEST(PlatformCpu, FlushToZeroThroughMxcsr) {
    const std::uint32_t saved = PlatformSseGetControl();
    volatile float tiny = std::numeric_limits<float>::min(); // smallest normal
    volatile float half = 0.5f;

    PlatformSseSetControl(saved & ~PLATFORM_MXCSR_FLUSH_TO_ZERO);
    EXPECT_EQ(PlatformSseGetControl() & PLATFORM_MXCSR_FLUSH_TO_ZERO, 0u);
    float denormal = tiny * half;
    EXPECT_NE(denormal, 0.0f);

    PlatformSseSetControl(saved | PLATFORM_MXCSR_FLUSH_TO_ZERO);
    EXPECT_NE(PlatformSseGetControl() & PLATFORM_MXCSR_FLUSH_TO_ZERO, 0u);
    float flushed = tiny * half;
    EXPECT_EQ(flushed, 0.0f);

    PlatformSseSetControl(saved);
    EXPECT_EQ(PlatformSseGetControl(), saved);
}

#else

TEST(PlatformCpu, NoCpuidElsewhere) {
    PlatformCpuidRegs r{1, 1, 1, 1};
    EXPECT_FALSE(PlatformCpuid(1, &r));
    EXPECT_EQ(r.edx, 0u);
}

#endif

} // namespace
