#include "platform/clock.h"

#include "platform/crt.h"
#include "platform/win32.h"

#include <cstdlib>
#include <ctime>

namespace {

// Performance counter ticks per second: nanoseconds, as the monotonic clock gives them.
constexpr LONGLONG kCounterFrequency = 1000000000LL;

struct ClockState {
    bool initialised = false;
    double fixedStep = 0.0;   // seconds per frame; 0 = real clock
    std::uint64_t frames = 0; // frames advanced since the fixed-step clock started
    std::int64_t realStartNs = 0;
};

ClockState g_clock;

std::int64_t MonotonicNs() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<std::int64_t>(ts.tv_sec) * 1000000000LL + ts.tv_nsec;
}

ClockState& Clock() {
    if (!g_clock.initialised) {
        g_clock.initialised = true;
        g_clock.realStartNs = MonotonicNs();
        if (const char* step = std::getenv("PLATFORM_FIXED_STEP")) {
            const double seconds = crt_atof(step);
            if (seconds > 0.0)
                g_clock.fixedStep = seconds;
        }
    }
    return g_clock;
}

// Nanoseconds since the clock's start, in either mode.
std::int64_t ElapsedNs() {
    ClockState& c = Clock();
    if (c.fixedStep > 0.0)
        return static_cast<std::int64_t>(static_cast<double>(c.frames) * c.fixedStep * 1e9 + 0.5);
    return MonotonicNs() - c.realStartNs;
}

} // namespace

double PlatformClockSeconds() {
    ClockState& c = Clock();
    if (c.fixedStep > 0.0)
        return static_cast<double>(c.frames) * c.fixedStep;
    return static_cast<double>(ElapsedNs()) * 1e-9;
}

void PlatformClockSetFixedStep(double stepSeconds) {
    ClockState& c = Clock();
    c.fixedStep = stepSeconds > 0.0 ? stepSeconds : 0.0;
    c.frames = 0;
    c.realStartNs = MonotonicNs();
}

double PlatformClockFixedStep() { return Clock().fixedStep; }

void PlatformClockAdvanceFrame() {
    ClockState& c = Clock();
    if (c.fixedStep > 0.0)
        ++c.frames;
}

DWORD timeGetTime() { return static_cast<DWORD>(static_cast<std::uint64_t>(ElapsedNs() / 1000000)); }

DWORD GetTickCount() { return timeGetTime(); }

MMRESULT timeBeginPeriod(UINT periodMs) { return periodMs >= 1 ? TIMERR_NOERROR : TIMERR_NOCANDO; }

MMRESULT timeEndPeriod(UINT periodMs) { return periodMs >= 1 ? TIMERR_NOERROR : TIMERR_NOCANDO; }

MMRESULT timeGetDevCaps(TIMECAPS* caps, UINT sizeOfCaps) {
    if (caps == nullptr || sizeOfCaps < sizeof(TIMECAPS))
        return TIMERR_NOCANDO;
    caps->wPeriodMin = 1;
    caps->wPeriodMax = 1000000;
    return TIMERR_NOERROR;
}

BOOL QueryPerformanceCounter(LARGE_INTEGER* count) {
    if (count == nullptr)
        return FALSE;
    count->QuadPart = ElapsedNs();
    return TRUE;
}

BOOL QueryPerformanceFrequency(LARGE_INTEGER* frequency) {
    if (frequency == nullptr)
        return FALSE;
    frequency->QuadPart = kCounterFrequency;
    return TRUE;
}
