#pragma once
// The subset of the Windows programming interface that the system calls, written for this
// host. Constants keep the platform's numeric values because the system stores and compares
// them. Further pieces of the layer (windows, messages, files) extend this header.

#include <cstdint>

using BYTE = std::uint8_t;
using WORD = std::uint16_t;
using DWORD = std::uint32_t;
using UINT = unsigned int;
using LONG = std::int32_t;
using ULONG = std::uint32_t;
using LONGLONG = std::int64_t;
using BOOL = int;
using MMRESULT = UINT;

#ifndef TRUE
#define TRUE 1
#endif
#ifndef FALSE
#define FALSE 0
#endif

union LARGE_INTEGER {
    struct {
        DWORD LowPart;
        LONG HighPart;
    };
    LONGLONG QuadPart;
};

struct TIMECAPS {
    UINT wPeriodMin; // finest timer resolution, milliseconds
    UINT wPeriodMax; // coarsest timer resolution, milliseconds
};

inline constexpr MMRESULT TIMERR_NOERROR = 0;
inline constexpr MMRESULT TIMERR_NOCANDO = 97;

// Multimedia timer: milliseconds since an arbitrary start, wrapping at 2^32.
DWORD timeGetTime();
MMRESULT timeBeginPeriod(UINT periodMs);
MMRESULT timeEndPeriod(UINT periodMs);
MMRESULT timeGetDevCaps(TIMECAPS* caps, UINT sizeOfCaps);

// High-resolution counter and its fixed frequency (ticks per second).
BOOL QueryPerformanceCounter(LARGE_INTEGER* count);
BOOL QueryPerformanceFrequency(LARGE_INTEGER* frequency);

// Milliseconds since an arbitrary start, wrapping at 2^32.
DWORD GetTickCount();
