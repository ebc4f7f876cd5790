#include "graphics/core/memory.h"

#include <cstdlib>
#include <cstring>

#include "graphics/core/engine.h"
#include "platform/process.h"

namespace {

// Header of a block; the use bitmap follows it, then the aligned entries.
struct Block {
    OvLLLink link; // link in the list's block list
    OvUInt32 used; // entries in use (the bitmap's set bits)
};

OvLLLink gAllFreeLists;            // every free list but the list of headers
bool gAllFreeListsInit = false;    // gAllFreeLists has been made a list head
OvFreeList gHeaderListHeader;      // static header of the free list of headers
OvFreeList* gHeaderList = nullptr; // free list of free-list headers, while memory is open
bool gFreeListsEnabled = true;     // free-list switch

constexpr OvUInt32 kHeadersPerBlock = 16;

void EnsureListHead() {
    if (!gAllFreeListsInit) {
        OvLLLinkInitHead(&gAllFreeLists);
        gAllFreeListsInit = true;
    }
}

std::size_t RoundUp(std::size_t value, std::size_t alignment) {
    return (value + alignment - 1) / alignment * alignment;
}

Block* BlockFromLink(OvLLLink* link) { return reinterpret_cast<Block*>(link); }
OvUInt8* Bitmap(Block* block) { return reinterpret_cast<OvUInt8*>(block + 1); }

OvUInt8* Entries(const OvFreeList* list, Block* block) {
    auto start = reinterpret_cast<std::uintptr_t>(Bitmap(block) + list->bitmapBytes);
    return reinterpret_cast<OvUInt8*>(RoundUp(start, list->alignment));
}

std::size_t BlockBytes(const OvFreeList* list) {
    return sizeof(Block) + list->bitmapBytes + (list->alignment - 1) +
           static_cast<std::size_t>(list->entrySize) * list->entriesPerBlock;
}

Block* NewBlock(OvFreeList* list, OvUInt32 hint) {
    auto* block = static_cast<Block*>(OvMalloc(BlockBytes(list), hint));
    if (block == nullptr) {
        return nullptr;
    }
    std::memset(Bitmap(block), 0, list->bitmapBytes);
    block->used = 0;
    OvLLLinkAddHead(&list->blockList, &block->link);
    // Nothing comes before a block at the head.
    list->searchFrom = &block->link;
    return block;
}

bool BlockIsEmpty(const OvFreeList*, const Block* block) { return block->used == 0; }

void FreeAllBlocks(OvFreeList* list) {
    list->searchFrom = nullptr;
    while (!OvLLLinkIsEmpty(&list->blockList)) {
        OvLLLink* link = list->blockList.next;
        OvLLLinkRemove(link);
        OvFree(BlockFromLink(link));
    }
}

void ReleaseHeader(OvFreeList* list) {
    if (list->flags & ovFREELISTFLAG_STATIC) {
        return;
    }
    // A header made from the heap (no list of headers at the time) is not in the list's blocks.
    if (gHeaderList == nullptr || list == gHeaderList || OvFreeListEntryFree(gHeaderList, list) == nullptr) {
        OvFree(list);
    }
}

} // namespace

void* OvMemoryDefaultAlloc(std::size_t size, OvUInt32) { return std::malloc(size); }
void OvMemoryDefaultFree(void* block) { std::free(block); }
void* OvMemoryDefaultRealloc(void* block, std::size_t size, OvUInt32) { return std::realloc(block, size); }
void* OvMemoryDefaultCalloc(std::size_t count, std::size_t size, OvUInt32) { return std::calloc(count, size); }

OvBool OvMemoryFitsMachine(std::uint64_t bytes) {
    const std::uint64_t machine = PlatformPhysicalMemory();
    return machine == 0 || bytes < machine ? TRUE : FALSE;
}

OvBool OvMemoryOpen(const OvMemoryFunctions* functions) {
    if (functions != nullptr) {
        OvEngineInstancePtr->memoryFuncs = *functions;
    } else {
        OvEngineInstancePtr->memoryFuncs = {OvMemoryDefaultAlloc, OvMemoryDefaultFree, OvMemoryDefaultRealloc,
                                            OvMemoryDefaultCalloc};
    }
    OvLLLinkInitHead(&gAllFreeLists);
    gAllFreeListsInit = true;
    gHeaderList = nullptr;
    OvFreeList* headers =
        OvFreeListCreateWithSpace(sizeof(OvFreeList), kHeadersPerBlock, 0, 0, &gHeaderListHeader, ovMEMHINTDUR_GLOBAL);
    if (headers == nullptr) {
        return FALSE;
    }
    OvLLLinkRemove(&headers->link);
    gHeaderList = headers;
    return TRUE;
}

void OvMemoryClose() {
    EnsureListHead();
    while (!OvLLLinkIsEmpty(&gAllFreeLists)) {
        OvLLLink* link = gAllFreeLists.next;
        auto* list = reinterpret_cast<OvFreeList*>(reinterpret_cast<char*>(link) - offsetof(OvFreeList, link));
        OvFreeListDestroy(list);
    }
    if (gHeaderList != nullptr) {
        OvFreeList* headers = gHeaderList;
        FreeAllBlocks(headers);
        gHeaderList = nullptr;
    }
}

OvFreeList* OvFreeListCreateWithSpace(OvInt32 entrySize, OvInt32 entriesPerBlock, OvInt32 alignment,
                                      OvInt32 preallocBlocks, OvFreeList* header, OvUInt32 hint) {
    EnsureListHead();
    if (entrySize <= 0 || entriesPerBlock <= 0 || alignment < 0) {
        return nullptr;
    }
    if (!gFreeListsEnabled) {
        preallocBlocks = 0;
    }
    // Entries often hold pointers, so the default alignment is the pointer's.
    const OvUInt32 align = alignment == 0 ? alignof(void*) : static_cast<OvUInt32>(alignment);
    OvFreeList* list = header;
    if (list != nullptr) {
        list->flags = ovFREELISTFLAG_STATIC | ovFREELISTFLAG_FREEBLOCKS;
    } else {
        const OvUInt32 lifetime = hint & ovMEMHINTDUR_MASK;
        list = static_cast<OvFreeList*>(gHeaderList != nullptr ? OvFreeListEntryAlloc(gHeaderList, lifetime)
                                                               : OvMalloc(sizeof(OvFreeList), lifetime));
        if (list == nullptr) {
            return nullptr;
        }
        list->flags = ovFREELISTFLAG_FREEBLOCKS;
    }
    list->entrySize = static_cast<OvUInt32>(RoundUp(static_cast<std::size_t>(entrySize), align));
    list->entriesPerBlock = static_cast<OvUInt32>(entriesPerBlock);
    list->bitmapBytes = (list->entriesPerBlock + 7) / 8;
    list->alignment = align;
    OvLLLinkInitHead(&list->blockList);
    list->searchFrom = nullptr;
    for (OvInt32 i = 0; i < preallocBlocks; ++i) {
        if (NewBlock(list, hint) == nullptr) {
            FreeAllBlocks(list);
            ReleaseHeader(list);
            return nullptr;
        }
    }
    OvLLLinkAddHead(&gAllFreeLists, &list->link);
    return list;
}

OvFreeList* OvFreeListCreate(OvInt32 entrySize, OvInt32 entriesPerBlock, OvInt32 alignment, OvUInt32 hint) {
    return OvFreeListCreateWithSpace(entrySize, entriesPerBlock, alignment, 1, nullptr, hint);
}

OvBool OvFreeListDestroy(OvFreeList* list) {
    OvLLLinkRemove(&list->link);
    FreeAllBlocks(list);
    ReleaseHeader(list);
    return TRUE;
}

void* OvFreeListAlloc(OvFreeList* list, OvUInt32 hint) {
    // The first free entry from the head: the blocks before searchFrom are full, and full blocks
    // are passed over by their counts.
    OvLLLink* from = list->searchFrom != nullptr ? list->searchFrom : list->blockList.next;
    for (OvLLLink* link = from; link != &list->blockList; link = link->next) {
        Block* block = BlockFromLink(link);
        if (block->used >= list->entriesPerBlock) {
            continue;
        }
        list->searchFrom = link;
        OvUInt8* bitmap = Bitmap(block);
        for (OvUInt32 byte = 0; byte < list->bitmapBytes; ++byte) {
            if (bitmap[byte] == 0xFF) {
                continue;
            }
            for (OvUInt32 bit = 0; bit < 8; ++bit) {
                const OvUInt32 index = byte * 8 + bit;
                if (index >= list->entriesPerBlock) {
                    break;
                }
                const OvUInt8 mask = static_cast<OvUInt8>(0x80u >> bit);
                if ((bitmap[byte] & mask) == 0) {
                    bitmap[byte] |= mask;
                    block->used++;
                    return Entries(list, block) + static_cast<std::size_t>(index) * list->entrySize;
                }
            }
        }
    }
    Block* block = NewBlock(list, hint);
    if (block == nullptr) {
        return nullptr;
    }
    Bitmap(block)[0] = 0x80;
    block->used = 1;
    return Entries(list, block);
}

OvFreeList* OvFreeListFree(OvFreeList* list, void* entry) {
    auto* address = static_cast<OvUInt8*>(entry);
    const std::size_t areaBytes = static_cast<std::size_t>(list->entrySize) * list->entriesPerBlock;
    // Whether the walk has passed the block allocations search from.
    const OvLLLink* searchStart = list->searchFrom != nullptr ? list->searchFrom : list->blockList.next;
    bool pastSearchStart = false;
    for (OvLLLink* link = list->blockList.next; link != &list->blockList; link = link->next) {
        Block* block = BlockFromLink(link);
        OvUInt8* start = Entries(list, block);
        if (address < start || address >= start + areaBytes) {
            pastSearchStart = pastSearchStart || link == searchStart;
            continue;
        }
        const auto index = static_cast<OvUInt32>(static_cast<std::size_t>(address - start) / list->entrySize);
        OvUInt8& byte = Bitmap(block)[index / 8];
        const auto mask = static_cast<OvUInt8>(0x80u >> (index % 8));
        if ((byte & mask) == 0) {
            return list; // not in use
        }
        byte &= static_cast<OvUInt8>(~mask);
        block->used--;
        // A block up to the search start now has a free entry: searches start from it.
        if (!pastSearchStart) {
            list->searchFrom = link;
        }
        if ((list->flags & ovFREELISTFLAG_FREEBLOCKS) && BlockIsEmpty(list, block)) {
            // When searches started here, the blocks before it are full: they go on from the next.
            if (list->searchFrom == link) {
                list->searchFrom = link->next != &list->blockList ? link->next : nullptr;
            }
            OvLLLinkRemove(link);
            OvFree(block);
        }
        return list;
    }
    return nullptr;
}

OvInt32 OvFreeListPurge(OvFreeList* list) {
    OvLLLink kept;
    OvLLLinkInitHead(&kept);
    OvInt32 released = 0;
    while (!OvLLLinkIsEmpty(&list->blockList)) {
        OvLLLink* link = list->blockList.next;
        OvLLLinkRemove(link);
        if (BlockIsEmpty(list, BlockFromLink(link))) {
            OvFree(BlockFromLink(link));
            released++;
        } else {
            OvLLLinkAddHead(&kept, link);
        }
    }
    while (!OvLLLinkIsEmpty(&kept)) {
        OvLLLink* link = kept.next;
        OvLLLinkRemove(link);
        OvLLLinkAddHead(&list->blockList, link);
    }
    list->searchFrom = nullptr; // the blocks changed order
    return static_cast<OvInt32>(list->entrySize) * released;
}

OvInt32 OvFreeListPurgeAll() {
    EnsureListHead();
    OvInt32 total = 0;
    for (OvLLLink* link = gAllFreeLists.next; link != &gAllFreeLists; link = link->next) {
        auto* list = reinterpret_cast<OvFreeList*>(reinterpret_cast<char*>(link) - offsetof(OvFreeList, link));
        const OvInt32 released = OvFreeListPurge(list);
        if (released > 0) {
            total += released;
        }
    }
    return total;
}

OvFreeList* OvFreeListForAllUsed(OvFreeList* list, void (*callback)(void* entry, void* data), void* data) {
    if (OvLLLinkIsEmpty(&list->blockList)) {
        return list;
    }
    // Bitmaps of up to 512 entries are copied on the stack, so that walking the usual lists
    // (at registry close, for one) cannot fail for want of memory.
    OvUInt8 local[64];
    auto* scratch = list->bitmapBytes <= sizeof(local)
                        ? local
                        : static_cast<OvUInt8*>(OvMalloc(list->bitmapBytes, ovMEMHINTDUR_FUNCTION));
    if (scratch == nullptr) {
        return nullptr;
    }
    OvLLLink* link = list->blockList.next;
    while (link != &list->blockList) {
        // The callback may free the last entry of this block and so release it: take the
        // next block and the entries' address first.
        OvLLLink* next = link->next;
        Block* block = BlockFromLink(link);
        std::memcpy(scratch, Bitmap(block), list->bitmapBytes);
        OvUInt8* entries = Entries(list, block);
        for (OvUInt32 index = 0; index < list->entriesPerBlock; ++index) {
            if (scratch[index / 8] & (0x80u >> (index % 8))) {
                callback(entries + static_cast<std::size_t>(index) * list->entrySize, data);
            }
        }
        link = next;
    }
    if (scratch != local) {
        OvFree(scratch);
    }
    return list;
}

void OvFreeListSetEnabled(OvBool on) { gFreeListsEnabled = on != FALSE; }
OvBool OvFreeListGetEnabled() { return gFreeListsEnabled ? TRUE : FALSE; }

void* OvFreeListBypassAlloc(OvFreeList* list, OvUInt32 hint) { return OvMalloc(list->entrySize, hint); }

OvFreeList* OvFreeListBypassFree(OvFreeList* list, void* entry) {
    OvFree(entry);
    return list;
}

OvInt32 OvFreeListGetNumBlocks(const OvFreeList* list) {
    OvInt32 n = 0;
    for (const OvLLLink* link = list->blockList.next; link != &list->blockList; link = link->next) {
        n++;
    }
    return n;
}
