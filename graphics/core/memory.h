#pragma once
// Memory functions with hints, and fixed-size free lists from which core objects come.
//
// A memory hint is the allocating module's or plugin's id (bits 0-15), or'ed with a lifetime
// in bits 16-23 (1 within one call, 3 an object's lifetime, 4 a module's lifetime) and with
// ovMEMHINTFLAG_RESIZABLE when the block may be reallocated. Hints are advisory.

#include <cstddef>
#include <cstdint>

#include "graphics/core/types.h"

inline constexpr OvUInt32 ovMEMHINTDUR_FUNCTION = 0x10000;     // lives within one call
inline constexpr OvUInt32 ovMEMHINTDUR_OBJECT = 0x30000;       // lives as long as an object
inline constexpr OvUInt32 ovMEMHINTDUR_GLOBAL = 0x40000;       // lives from module open to close
inline constexpr OvUInt32 ovMEMHINTDUR_MASK = 0xFF0000;        // the lifetime byte
inline constexpr OvUInt32 ovMEMHINTFLAG_RESIZABLE = 0x1000000; // block may be reallocated

// The four memory functions the engine is initialised with (copied into the engine instance).
struct OvMemoryFunctions {
    void* (*allocate)(std::size_t size, OvUInt32 hint);                     // block or null
    void (*free)(void* block);                                              // releases a block
    void* (*reallocate)(void* block, std::size_t size, OvUInt32 hint);      // new block or null
    void* (*callocate)(std::size_t count, std::size_t size, OvUInt32 hint); // zeroed block or null
};

// Opens the memory layer with the given functions (null: the standard library's).
// Creates the free list of free-list headers. Returns TRUE/FALSE.
OvBool OvMemoryOpen(const OvMemoryFunctions* functions);
// Destroys every free list still alive, then the free list of headers.
void OvMemoryClose();

void* OvMemoryDefaultAlloc(std::size_t size, OvUInt32 hint);
void OvMemoryDefaultFree(void* block);
void* OvMemoryDefaultRealloc(void* block, std::size_t size, OvUInt32 hint);
void* OvMemoryDefaultCalloc(std::size_t count, std::size_t size, OvUInt32 hint);

// Whether a block of that many bytes, sized from a file by nothing else, could be held: less than
// the machine has (always when its size is unknown). A damaged size is then refused before it
// reaches the memory functions.
OvBool OvMemoryFitsMachine(std::uint64_t bytes);

// Free-list kind flags.
enum OvFreeListFlag : OvUInt32 {
    ovFREELISTFLAG_STATIC = 0x1,     // the header is the caller's; never freed
    ovFREELISTFLAG_FREEBLOCKS = 0x2, // a block whose entries are all free is released at once
};

// A pool of equal-sized entries in blocks with a use bitmap (bit 7 of byte 0 = entry 0).
struct OvFreeList {
    OvUInt32 entrySize;       // bytes per entry, rounded up to the alignment
    OvUInt32 entriesPerBlock; // entries in one block
    OvUInt32 bitmapBytes;     // (entriesPerBlock + 7) / 8
    OvUInt32 alignment;       // alignment of the entries in bytes
    OvLLLink blockList;       // circular list of blocks
    OvUInt32 flags;           // OvFreeListFlag bits
    OvLLLink link;            // link in the list of all free lists
    OvLLLink* searchFrom;     // every block before this one is full (null: search from the first)
};

// Creates a list with one preallocated block and a header of its own.
OvFreeList* OvFreeListCreate(OvInt32 entrySize, OvInt32 entriesPerBlock, OvInt32 alignment, OvUInt32 hint);
// Creates a list with preallocBlocks blocks (none while free lists are switched off) and the
// given static header, or one of its own when header is null. Alignment 0 means pointer
// alignment.
OvFreeList* OvFreeListCreateWithSpace(OvInt32 entrySize, OvInt32 entriesPerBlock, OvInt32 alignment,
                                      OvInt32 preallocBlocks, OvFreeList* header, OvUInt32 hint);
// The same function under the name other modules know it by.
inline OvFreeList* OvFreeListCreateInternal(OvInt32 entrySize, OvInt32 entriesPerBlock, OvInt32 alignment,
                                            OvInt32 preallocBlocks, OvFreeList* header, OvUInt32 hint) {
    return OvFreeListCreateWithSpace(entrySize, entriesPerBlock, alignment, preallocBlocks, header, hint);
}
// Frees every block and the header unless static. Returns TRUE.
// Entries still in use go with the blocks: whoever holds one must be done with it.
OvBool OvFreeListDestroy(OvFreeList* list);
// First free entry (a new block when all are used), or null when memory runs out.
void* OvFreeListAlloc(OvFreeList* list, OvUInt32 hint);
// Returns the list, or null when the entry lies in none of its blocks (nothing changes).
OvFreeList* OvFreeListFree(OvFreeList* list, void* entry);
// Releases every block without used entries; returns entrySize * blocks released.
OvInt32 OvFreeListPurge(OvFreeList* list);
// Sum of the positive purge results over all free lists.
OvInt32 OvFreeListPurgeAll();
// Calls callback(entry, data) for every used entry. The callback may free the entry it gets, not the
// other entries.
// Returns the list, or null when the scratch bitmap cannot be allocated.
OvFreeList* OvFreeListForAllUsed(OvFreeList* list, void (*callback)(void* entry, void* data), void* data);
// Switch read at creation: off means no preallocated blocks.
void OvFreeListSetEnabled(OvBool on);
OvBool OvFreeListGetEnabled();

// With free lists off the engine's free-list functions are these: each entry is a heap block.
void* OvFreeListBypassAlloc(OvFreeList* list, OvUInt32 hint);
OvFreeList* OvFreeListBypassFree(OvFreeList* list, void* entry);

// Number of blocks a list holds (for tests and statistics).
OvInt32 OvFreeListGetNumBlocks(const OvFreeList* list);
