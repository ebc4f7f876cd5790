#pragma once
// The processor queries and floating-point control registers that the graphics core uses
// at device start: CPUID feature bits, the x87 control word and the SSE control register.
//
// On x86_64 every float calculation runs on the SSE unit, and the x87 unit only serves
// long double (the core's square-root tables are computed with it). Forcing the x87 unit to
// 24-bit precision there would only degrade those, so setting the x87 control word is a
// no-op on x86_64; it is real on 32-bit x86. On other processors CPUID reports nothing and
// the control registers read as 0.

#include <cstdint>

// Registers returned by one CPUID leaf.
struct PlatformCpuidRegs {
    std::uint32_t eax; // leaf-specific
    std::uint32_t ebx; // leaf-specific
    std::uint32_t ecx; // leaf-specific
    std::uint32_t edx; // leaf-specific (feature bits for leaves 1 and 0x80000001)
};

// True when the processor has the CPUID instruction.
bool PlatformCpuidAvailable();

// Runs CPUID for a standard leaf (0, 1, ...) or an extended one (0x80000000 and above).
// A leaf above the highest one the processor reports (leaf 0 or 0x80000000 gives it) fills
// zeros and returns false.
bool PlatformCpuid(std::uint32_t leaf, PlatformCpuidRegs* regs);

// x87 control word (precision control in bits 8-9, exception masks in bits 0-5).
inline constexpr std::uint16_t PLATFORM_X87_PRECISION_MASK = 0x0300;
inline constexpr std::uint16_t PLATFORM_X87_EXCEPTION_MASKS = 0x003F;
std::uint16_t PlatformX87GetControlWord();
// Loads the control word; a no-op on x86_64 (see above).
void PlatformX87SetControlWord(std::uint16_t word);

// SSE control and status register (MXCSR); bit 15 flushes denormal results to zero.
inline constexpr std::uint32_t PLATFORM_MXCSR_FLUSH_TO_ZERO = 0x8000;
std::uint32_t PlatformSseGetControl();
void PlatformSseSetControl(std::uint32_t value);
