#include <unistd.h>

#if defined(__x86_64__) || defined(__i386__)
#include <x86intrin.h>
#endif

#include "platform/process.h"

namespace {

// Any non-null value serves: the handle only has to differ from every real one.
HANDLE const kCurrentProcess = reinterpret_cast<HANDLE>(static_cast<std::intptr_t>(-1));

DWORD gPriorityClass = NORMAL_PRIORITY_CLASS;

} // namespace

void GetSystemInfo(SYSTEM_INFO* info) {
    if (info == nullptr)
        return;
    const long online = sysconf(_SC_NPROCESSORS_ONLN);
    info->dwNumberOfProcessors = online > 0 ? static_cast<DWORD>(online) : 1;
}

HANDLE GetCurrentProcess() { return kCurrentProcess; }

DWORD GetPriorityClass(HANDLE process) {
    if (process != kCurrentProcess) {
        SetLastError(ERROR_INVALID_HANDLE);
        return 0;
    }
    return gPriorityClass;
}

BOOL SetPriorityClass(HANDLE process, DWORD priorityClass) {
    if (process != kCurrentProcess) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    switch (priorityClass) {
    case NORMAL_PRIORITY_CLASS:
    case IDLE_PRIORITY_CLASS:
    case HIGH_PRIORITY_CLASS:
    case REALTIME_PRIORITY_CLASS:
        gPriorityClass = priorityClass;
        return TRUE;
    default:
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
}

std::uint64_t PlatformReadTimeStampCounter() {
#if defined(__x86_64__) || defined(__i386__)
    return __rdtsc();
#else
    return 0;
#endif
}

namespace {
std::uint64_t gStatedMemory = 0; // 0: the machine's own
} // namespace

std::uint64_t PlatformPhysicalMemory() {
    if (gStatedMemory != 0) {
        return gStatedMemory;
    }
    static const std::uint64_t machine = [] {
        const long pages = sysconf(_SC_PHYS_PAGES);
        const long pageSize = sysconf(_SC_PAGESIZE);
        return pages > 0 && pageSize > 0 ? static_cast<std::uint64_t>(pages) * static_cast<std::uint64_t>(pageSize)
                                         : std::uint64_t{0};
    }();
    return machine;
}

void PlatformSetPhysicalMemory(std::uint64_t bytes) { gStatedMemory = bytes; }
