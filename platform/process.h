#pragma once
// The process: the processor count and the priority class (platform/process.cpp). The class is
// kept and reported, but nothing changes in the host's scheduler: real-time scheduling needs
// privileges a game must not ask for, and a stand-in must not starve the machine.

#include <cstdint>

#include "platform/win32.h"

inline constexpr DWORD NORMAL_PRIORITY_CLASS = 0x20;
inline constexpr DWORD IDLE_PRIORITY_CLASS = 0x40;
inline constexpr DWORD HIGH_PRIORITY_CLASS = 0x80;
inline constexpr DWORD REALTIME_PRIORITY_CLASS = 0x100;

struct SYSTEM_INFO {
    DWORD dwNumberOfProcessors; // processors online
};

void GetSystemInfo(SYSTEM_INFO* info);
// A pseudo handle that names the calling process.
HANDLE GetCurrentProcess();
// The class last set (NORMAL_PRIORITY_CLASS at start); 0 for another handle.
DWORD GetPriorityClass(HANDLE process);
// FALSE (ERROR_INVALID_PARAMETER) for a class not listed above or another handle.
BOOL SetPriorityClass(HANDLE process, DWORD priorityClass);

// The processor's time-stamp counter (cycles since reset); 0 on processors without one.
std::uint64_t PlatformReadTimeStampCounter();

// Bytes of physical memory of the machine (read once), or what PlatformSetPhysicalMemory stated; 0
// when the system does not tell. The engines bound what a file or a definition may ask for by it.
std::uint64_t PlatformPhysicalMemory();
// Makes PlatformPhysicalMemory answer that many bytes (0: the real machine again); a test harness that
// stands for a smaller machine states its size here, for every engine at once.
void PlatformSetPhysicalMemory(std::uint64_t bytes);
