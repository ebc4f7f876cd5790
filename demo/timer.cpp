#include "demo/timer.h"

#include <cstring>

#include "platform/clock.h"
#include "platform/cpu.h"
#include "platform/process.h"

namespace {

struct ClockState {
    bool initialised = false;
    bool useTsc = false;            // read the time-stamp counter
    bool usePerformance = false;    // read the performance counter
    std::uint64_t baseCount = 0;    // time-stamp or performance count at the base
    DWORD baseTick = 0;             // tick count at the base (milliseconds)
    double secondsPerCount = 0.001; // of the counter in use
};

ClockState gClock;

// The calibration gives up on a reference clock that reads the same this many times in a row
// (far longer than any real counter's resolution: well over 10 ms of reads): under the platform's
// fixed step, or on a counter that is broken, it never moves on its own.
constexpr long kStillReads = 1L << 22;
Demo::ClockSource gSource = {};

BOOL QueryFrequency(LARGE_INTEGER* frequency) {
    return gSource.queryFrequency != nullptr ? gSource.queryFrequency(frequency) : QueryPerformanceFrequency(frequency);
}
BOOL QueryCounter(LARGE_INTEGER* count) {
    return gSource.queryCounter != nullptr ? gSource.queryCounter(count) : QueryPerformanceCounter(count);
}
DWORD Tick() { return gSource.tickCount != nullptr ? gSource.tickCount() : GetTickCount(); }
std::uint64_t Tsc() { return gSource.readTsc != nullptr ? gSource.readTsc() : PlatformReadTimeStampCounter(); }
std::int64_t Counter() {
    LARGE_INTEGER count = {};
    QueryCounter(&count);
    return count.QuadPart;
}

bool MachineCpuid(void*, std::uint32_t leaf, std::uint32_t regs[4]) {
    return Demo::Cpuid(leaf, &regs[0], &regs[1], &regs[2], &regs[3]);
}

// Rows of mobile parts of the maker whose vendor text is "GenuineIntel": brand index and the
// range of signatures (family, model, stepping in bits 0-11).
struct MobileRow {
    std::uint32_t brand;
    std::uint32_t lowest;
    std::uint32_t highest;
};
constexpr MobileRow kMobileRows[] = {
    {0, 0x570, 0x58F}, {0, 0x66A, 0x66A}, {0, 0x66D, 0x66D}, {2, 0x681, 0x681},  {2, 0x68A, 0x68A},
    {2, 0x690, 0x69F}, {6, 0x000, 0xFFF}, {7, 0x000, 0xFFF}, {14, 0xF13, 0xFFF}, {15, 0x000, 0xFFF},
};

bool VendorIs(const std::uint32_t leaf0[4], const char* text) {
    // The vendor text is spread over ebx, edx, ecx in that order.
    char vendor[12];
    std::memcpy(vendor, &leaf0[1], 4);
    std::memcpy(vendor + 4, &leaf0[3], 4);
    std::memcpy(vendor + 8, &leaf0[2], 4);
    return std::memcmp(vendor, text, 12) == 0;
}

bool IntelTscReliable(const Demo::CpuIdentity& id, const std::uint32_t leaf1[4]) {
    const std::uint32_t brand = leaf1[1] & 0xFF;
    const std::uint32_t signature = leaf1[0] & 0xFFF;
    for (const MobileRow& row : kMobileRows)
        if (row.brand == brand && row.lowest <= signature && signature <= row.highest)
            return false;
    std::uint32_t extended[4] = {};
    id.cpuid(id.user, 0x80000000u, extended);
    if (extended[0] > 0x80000003u) {
        // 48 bytes from three leaves; not necessarily terminated, so searched within its length.
        char text[48];
        for (std::uint32_t i = 0; i < 3; ++i) {
            std::uint32_t regs[4] = {};
            id.cpuid(id.user, 0x80000002u + i, regs);
            std::memcpy(text + 16 * i, regs, 16);
        }
        for (char& c : text)
            if (c >= 'A' && c <= 'Z')
                c = static_cast<char>(c - 'A' + 'a');
        static constexpr char kMobile[] = "mobile";
        constexpr std::size_t n = sizeof kMobile - 1;
        for (std::size_t at = 0; at + n <= sizeof text; ++at)
            if (std::memcmp(text + at, kMobile, n) == 0)
                return false;
    }
    return true;
}

} // namespace

namespace Demo {

bool Cpuid(std::uint32_t leaf, std::uint32_t* eax, std::uint32_t* ebx, std::uint32_t* ecx, std::uint32_t* edx) {
    if (!PlatformCpuidAvailable())
        return false;
    PlatformCpuidRegs regs = {};
    PlatformCpuid(leaf, &regs); // a leaf beyond the processor's range leaves zeros
    *eax = regs.eax;
    *ebx = regs.ebx;
    *ecx = regs.ecx;
    *edx = regs.edx;
    return true;
}

bool IsTscReliable(const CpuIdentity& id) {
    if (id.processorCount > 1 || id.cpuid == nullptr)
        return false;
    std::uint32_t leaf0[4] = {};
    if (!id.cpuid(id.user, 0, leaf0) || leaf0[0] == 0)
        return false;
    std::uint32_t leaf1[4] = {};
    id.cpuid(id.user, 1, leaf1);
    if ((leaf1[3] & 0x10) == 0)
        return false;
    if (VendorIs(leaf0, "GenuineIntel"))
        return IntelTscReliable(id, leaf1);
    if (VendorIs(leaf0, "AuthenticAMD")) {
        std::uint32_t extended[4] = {};
        id.cpuid(id.user, 0x80000000u, extended);
        if (extended[0] > 0x80000006u) {
            std::uint32_t power[4] = {};
            id.cpuid(id.user, 0x80000007u, power);
            if (power[3] & 0x2)
                return false;
        }
        return true;
    }
    return true;
}

bool IsTscReliable() {
    SYSTEM_INFO info = {};
    GetSystemInfo(&info);
    const CpuIdentity id = {info.dwNumberOfProcessors, MachineCpuid, nullptr};
    return IsTscReliable(id);
}

void TimerInit() {
    gClock = ClockState{};
    gClock.initialised = true;
    LARGE_INTEGER frequency = {};
    if (QueryFrequency(&frequency) && frequency.QuadPart > 0) {
        gClock.usePerformance = true;
        gClock.secondsPerCount = 1.0 / static_cast<double>(frequency.QuadPart);
        gClock.baseCount = static_cast<std::uint64_t>(Counter());
    } else {
        gClock.secondsPerCount = 0.001;
        gClock.baseTick = Tick();
    }
    const bool reliable = gSource.identity != nullptr ? IsTscReliable(*gSource.identity) : IsTscReliable();
    if (!reliable)
        return;

    // Under the platform's fixed step the performance counter moves only from frame to frame: the
    // clock follows the frames then, and the time-stamp counter (real time) is not wanted.
    if (gSource.queryCounter == nullptr && gClock.usePerformance && PlatformClockFixedStep() > 0.0)
        return;

    HANDLE process = GetCurrentProcess();
    const DWORD oldClass = GetPriorityClass(process);
    SetPriorityClass(process, REALTIME_PRIORITY_CLASS);
    double elapsed = 0.0;
    std::uint64_t tsc0 = 0;
    std::uint64_t tsc1 = 0;
    bool moved = true; // the reference clock moved through the calibration
    if (!gClock.usePerformance) {
        const DWORD start = Tick();
        DWORD tick0 = start;
        long still = 0;
        while (tick0 == start && still++ < kStillReads)
            tick0 = Tick();
        moved = tick0 != start;
        tsc0 = Tsc();
        DWORD tick1 = tick0;
        DWORD last = tick0;
        still = 0;
        while (moved && static_cast<DWORD>(tick1 - tick0) < 1000) {
            tick1 = Tick();
            tsc1 = Tsc();
            still = tick1 == last ? still + 1 : 0;
            last = tick1;
            moved = still < kStillReads;
        }
        elapsed = static_cast<DWORD>(tick1 - tick0) * 0.001;
    } else {
        const std::int64_t count0 = Counter();
        std::int64_t last = count0;
        long still = 0;
        tsc0 = Tsc();
        while (moved && elapsed < 0.03) {
            const std::int64_t count = Counter();
            tsc1 = Tsc();
            elapsed = static_cast<double>(count - count0) * gClock.secondsPerCount;
            still = count == last ? still + 1 : 0;
            last = count;
            moved = still < kStillReads;
        }
    }
    SetPriorityClass(process, oldClass);
    // A reference that stood still gives no rate, and a time-stamp counter that did not move an
    // infinite one: keep the reference then.
    if (!moved || tsc1 <= tsc0 || elapsed <= 0.0)
        return;
    gClock.useTsc = true;
    gClock.secondsPerCount = elapsed / static_cast<double>(tsc1 - tsc0);
    gClock.baseCount = Tsc();
}

double TimerRead(std::uint32_t) {
    if (!gClock.initialised)
        TimerInit();
    if (gClock.useTsc)
        return static_cast<double>(Tsc() - gClock.baseCount) * gClock.secondsPerCount;
    if (gClock.usePerformance)
        return static_cast<double>(Counter() - static_cast<std::int64_t>(gClock.baseCount)) * gClock.secondsPerCount;
    const auto difference = static_cast<std::int32_t>(Tick() - gClock.baseTick);
    double milliseconds = difference;
    if (difference < 0)
        milliseconds += 4294967296.0; // the tick count wrapped
    return milliseconds * 0.001;
}

void SetClockSource(const ClockSource* source) {
    gSource = source != nullptr ? *source : ClockSource{};
    gClock = ClockState{};
}

ClockKind GetClockKind() {
    if (!gClock.initialised)
        return ClockKind::None;
    if (gClock.useTsc)
        return ClockKind::TimeStampCounter;
    return gClock.usePerformance ? ClockKind::PerformanceCounter : ClockKind::TickCount;
}

} // namespace Demo
