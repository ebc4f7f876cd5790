#pragma once
// The demo's high-resolution clock, handed to the AI engine as its clock.
//
// Three sources, in order of preference: the processor's time-stamp counter (only where it
// ticks at a steady rate: one processor without frequency scaling, calibrated once against the
// performance counter or the tick count), the performance counter, and the millisecond tick
// count (whose wrap after 2^32 ms is undone). Readings are seconds since TimerInit.
//
// The sources and the processor identification can be replaced (tests): the clock then runs
// on scripted counters and the time-stamp counter decision on scripted CPUID answers.

#include <cstdint>

#include "platform/process.h"
#include "platform/win32.h"

namespace Demo {

// One CPUID leaf into regs[0..3] = eax, ebx, ecx, edx; false when the processor has no CPUID.
using CpuidFunction = bool (*)(void* user, std::uint32_t leaf, std::uint32_t regs[4]);

// What the time-stamp counter decision looks at.
struct CpuIdentity {
    std::uint32_t processorCount; // processors of the machine
    CpuidFunction cpuid;          // the processor's identification
    void* user;                   // passed to cpuid
};

// The counters the clock reads. Any null member uses the platform's call.
struct ClockSource {
    BOOL (*queryFrequency)(LARGE_INTEGER* frequency); // performance counter ticks per second
    BOOL (*queryCounter)(LARGE_INTEGER* count);       // performance counter
    DWORD (*tickCount)();                             // milliseconds, wrapping at 2^32
    std::uint64_t (*readTsc)();                       // time-stamp counter
    const CpuIdentity* identity;                      // null: this machine's
};

// Executes CPUID for the leaf (a leaf the processor lacks gives zeros); false without CPUID.
bool Cpuid(std::uint32_t leaf, std::uint32_t* eax, std::uint32_t* ebx, std::uint32_t* ecx, std::uint32_t* edx);

// Whether a time-stamp counter ticks steadily enough to serve as the clock: not on a machine
// of several processors, not without CPUID or a counter, not on mobile parts of one maker
// (signature table and "mobile" in the brand string, any letter case), not on parts of the
// other maker that scale their frequency.
bool IsTscReliable(const CpuIdentity& identity);
// The same for this machine.
bool IsTscReliable();

// Chooses the source and sets its base; with the time-stamp counter, calibrates it (the process
// runs at real-time priority meanwhile: up to about one second on the tick count, 0.03 s on
// the performance counter). A reference clock that stands still (the platform's fixed step, which
// moves only from frame to frame) ends the calibration, and the reference stays the clock; under
// the platform's own fixed step the time-stamp counter is not tried at all.
void TimerInit();
// Seconds since TimerInit (which the first read runs when needed). The user word of the AI
// engine's clock slot is not used.
double TimerRead(std::uint32_t user = 0);

// Replaces the sources (null: the platform's) and forgets the set-up, so that the next read
// chooses again.
void SetClockSource(const ClockSource* source);

// Which source TimerInit chose.
enum class ClockKind { None, TimeStampCounter, PerformanceCounter, TickCount };
ClockKind GetClockKind();

} // namespace Demo
