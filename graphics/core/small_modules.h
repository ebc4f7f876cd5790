#pragma once
// Two small engine modules registered at init: the counter module (0x40D), which only counts
// its openings, and the spare-entry module (0x412), which keeps a free list of 33-byte entries
// that nothing allocates from.

#include "graphics/core/memory.h"
#include "graphics/core/types.h"

// Data of the spare-entry module in the engine instance.
struct OvSpareModuleData {
    OvFreeList header; // static header of the entry free list
    OvFreeList* list;  // the free list, while open
};

inline constexpr OvInt32 ovSPAREENTRYSIZE = 33;

void* OvCounterOpen(void* instance, OvInt32 offset, OvInt32 size);
void* OvCounterClose(void* instance, OvInt32 offset, OvInt32 size);
OvInt32 OvCounterGetNumInstances();

void* OvSpareOpen(void* instance, OvInt32 offset, OvInt32 size);
void* OvSpareClose(void* instance, OvInt32 offset, OvInt32 size);
OvInt32 OvSpareGetNumInstances();
