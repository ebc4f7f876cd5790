#include "platform/cpu.h"

#if defined(__x86_64__) || defined(__i386__)
#include <cpuid.h>
#include <xmmintrin.h>
#define PLATFORM_CPU_X86 1
#else
#define PLATFORM_CPU_X86 0
#endif

bool PlatformCpuidAvailable() {
#if PLATFORM_CPU_X86
    // __get_cpuid_max tests the EFLAGS ID bit on 32-bit x86 and is always true on x86_64.
    return __get_cpuid_max(0, nullptr) != 0;
#else
    return false;
#endif
}

bool PlatformCpuid(std::uint32_t leaf, PlatformCpuidRegs* regs) {
    regs->eax = regs->ebx = regs->ecx = regs->edx = 0;
#if PLATFORM_CPU_X86
    unsigned int a = 0, b = 0, c = 0, d = 0;
    // __get_cpuid checks the leaf against the highest one of its range (standard or
    // extended) and refuses it when the processor does not have it.
    if (!__get_cpuid(leaf, &a, &b, &c, &d))
        return false;
    regs->eax = a;
    regs->ebx = b;
    regs->ecx = c;
    regs->edx = d;
    return true;
#else
    (void)leaf;
    return false;
#endif
}

std::uint16_t PlatformX87GetControlWord() {
#if PLATFORM_CPU_X86
    std::uint16_t word = 0;
    __asm__ volatile("fnstcw %0" : "=m"(word));
    return word;
#else
    return 0;
#endif
}

void PlatformX87SetControlWord(std::uint16_t word) {
#if defined(__i386__)
    __asm__ volatile("fldcw %0" : : "m"(word));
#else
    // x86_64 and others: float work does not run on the x87 unit; leave it as it is.
    (void)word;
#endif
}

std::uint32_t PlatformSseGetControl() {
#if PLATFORM_CPU_X86
    return _mm_getcsr();
#else
    return 0;
#endif
}

void PlatformSseSetControl(std::uint32_t value) {
#if PLATFORM_CPU_X86
    _mm_setcsr(value);
#else
    (void)value;
#endif
}
