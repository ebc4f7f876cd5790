#pragma once
// The resource arena (engine module 0x40B): a fixed-size area in which the driver keeps data it
// can rebuild at any time (instanced geometry and similar caches). Each entry belongs to an
// owner that holds a reference to it; when the arena is full the oldest entries (by frame age)
// are thrown out, their destroy callbacks run and their owners' references are cleared.
// Showing a raster ends a frame.

#include "graphics/core/types.h"

struct OvResourceEntry;
// Called when an entry is freed or evicted, before its owner's reference is cleared.
using OvResourcesDestroyFn = void (*)(OvResourceEntry* entry);

// Header in front of an entry's data.
struct OvResourceEntry {
    OvLLLink link;                      // link in one of the arena's entry lists; next null: in no list
    OvInt32 size;                       // bytes of data following the header
    void* owner;                        // the entry's owner
    OvResourceEntry** ownerRef;         // owner's pointer to this entry (cleared when it goes), or null
    OvResourcesDestroyFn destroyNotify; // destroy callback, or null
};

inline void* OvResourceEntryGetData(OvResourceEntry* entry) { return entry + 1; }

// Arena heap: first-fit over 32-byte-granular blocks.
inline constexpr OvUInt32 ovRESHEAPALIGNMENT = 32;

struct OvResHeap;

// Block header (32 bytes); the block's data follows it.
struct OvResHeapBlock {
    OvResHeap* heap;      // heap that holds the block
    OvResHeapBlock* next; // next block up in memory, or null
    OvResHeapBlock* prev; // previous block down in memory, or null
    OvUInt32 size;        // data bytes (multiple of 32)
    OvUInt32 used;        // 1 used, 0 free
};
static_assert(sizeof(OvResHeapBlock) == ovRESHEAPALIGNMENT, "heap block headers keep data 32-byte aligned");

// Heap header at the start of the arena's area.
struct OvResHeap {
    OvResHeapBlock* first;    // lowest block
    OvResHeapBlock* freeHint; // lowest free block, or null when none is free
};

// The module's data in the engine instance.
struct OvResourcesModule {
    OvUInt32 arenaSize;          // bytes of the area
    OvUInt32 usedBytes;          // sum of the data sizes of live entries
    OvUInt32 reclaimedThisFrame; // data bytes of this frame's entries evicted during the frame
    void* area;                  // the arena's memory, or null
    OvResHeap* heap;             // heap laid over the area, or null (no arena)
    OvLLLink entryLists[2];      // the two entry lists (newest first)
    OvLLLink* thisFrameList;     // entries made in the current frame
    OvLLLink* olderList;         // entries of earlier frames
    OvUInt32 numEvictions;       // entries thrown out to make room since open
};

void* OvResourcesOpen(void* instance, OvInt32 offset, OvInt32 size);
void* OvResourcesClose(void* instance, OvInt32 offset, OvInt32 size);
OvResourcesModule* OvResourcesGetModule();

// Allocates an entry of size data bytes, evicting the oldest entries while it does not fit.
// Stores the entry (or null) in *ownerRef when given. Error 12 and null when even an empty
// arena cannot hold it.
OvResourceEntry* OvResourcesAllocateEntry(void* owner, OvResourceEntry** ownerRef, OvInt32 size,
                                          OvResourcesDestroyFn destroyNotify);
// Runs the destroy callback, clears the owner's reference and frees the entry. Returns TRUE.
OvBool OvResourcesFreeEntry(OvResourceEntry* entry);
// Moves an entry to the head of the current frame's list (it was used again).
OvResourceEntry* OvResourcesUseEntry(OvResourceEntry* entry);
void OvResourcesEndFrame();
OvBool OvResourcesEmptyArena();
// Resizes the arena (while the engine is started) or sets the size of the next start.
OvBool OvResourcesSetArenaSize(OvUInt32 size);

// Heap operations.
OvBool OvResourcesHeapInit(OvResHeap* heap, OvUInt32 size);
void* OvResourcesHeapAlloc(OvResHeap* heap, OvUInt32 size);
void OvResourcesHeapFree(void* data);
void OvResourcesHeapSplitBlock(OvResHeapBlock* block, OvUInt32 size);
