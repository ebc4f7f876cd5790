#include "platform/cpu.h"

#include <gtest/gtest.h>

#include <cstring>
#include <limits>

namespace {

#if defined(__x86_64__) || defined(__i386__)

TEST(PlatformCpu, CpuidLeavesAndRangeChecks)
{
    ASSERT_TRUE(PlatformCpuidAvailable());

    PlatformCpuidRegs r0{};
    ASSERT_TRUE(PlatformCpuid(0, &r0));
    EXPECT_GE(r0.eax, 1u); // every x86_64 processor has leaf 1
    // The vendor text is twelve printable characters in ebx, edx, ecx.
    char vendor[13] = {};
    std::memcpy(vendor, &r0.ebx, 4);
    std::memcpy(vendor + 4, &r0.edx, 4);
    std::memcpy(vendor + 8, &r0.ecx, 4);
    for (int i = 0; i < 12; ++i)
        EXPECT_TRUE(vendor[i] >= 0x20 && vendor[i] < 0x7F) << vendor;

    PlatformCpuidRegs r1{};
    ASSERT_TRUE(PlatformCpuid(1, &r1));
#if defined(__x86_64__)
    // x86_64 guarantees MMX (bit 23), SSE (bit 25) and SSE2 (bit 26).
    EXPECT_NE(r1.edx & (1u << 23), 0u);
    EXPECT_NE(r1.edx & (1u << 25), 0u);
    EXPECT_NE(r1.edx & (1u << 26), 0u);
#endif

    PlatformCpuidRegs ext{};
    ASSERT_TRUE(PlatformCpuid(0x80000000u, &ext));
    EXPECT_GE(ext.eax, 0x80000001u);
    PlatformCpuidRegs ext1{};
    EXPECT_TRUE(PlatformCpuid(0x80000001u, &ext1));

    // A leaf past the highest standard one is refused and reads as zeros.
    PlatformCpuidRegs past{1, 2, 3, 4};
    EXPECT_FALSE(PlatformCpuid(r0.eax + 1, &past));
    EXPECT_EQ(past.eax | past.ebx | past.ecx | past.edx, 0u);
    EXPECT_FALSE(PlatformCpuid(ext.eax + 1, &past));
}

TEST(PlatformCpu, FlushToZeroThroughMxcsr)
{
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

TEST(PlatformCpu, X87ControlWord)
{
    const std::uint16_t word = PlatformX87GetControlWord();
    // All exceptions are masked by default on every supported host.
    EXPECT_EQ(word & PLATFORM_X87_EXCEPTION_MASKS, PLATFORM_X87_EXCEPTION_MASKS);
    PlatformX87SetControlWord(static_cast<std::uint16_t>(word & ~PLATFORM_X87_PRECISION_MASK));
#if defined(__x86_64__)
    // Setting is a no-op here: long double keeps its 64-bit mantissa.
    EXPECT_EQ(PlatformX87GetControlWord(), word);
    volatile long double third = 1.0L / 3.0L;
    EXPECT_NE(static_cast<double>(third), static_cast<double>(static_cast<float>(third)));
#endif
    PlatformX87SetControlWord(word);
    EXPECT_EQ(PlatformX87GetControlWord(), word);
}

#else

TEST(PlatformCpu, NoCpuidElsewhere)
{
    PlatformCpuidRegs r{1, 1, 1, 1};
    EXPECT_FALSE(PlatformCpuid(1, &r));
    EXPECT_EQ(r.edx, 0u);
}

#endif

} // namespace
