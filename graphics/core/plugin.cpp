#include "graphics/core/plugin.h"

#include <cstdint>
#include <cstring>

#include "graphics/core/chunk.h"
#include "graphics/core/engine.h"
#include "graphics/core/error.h"
#include "graphics/core/stream.h"

namespace {

constexpr OvInt32 kEntriesPerBlock = 64;
constexpr OvUInt32 kChunkExtension = 3;
constexpr OvUInt32 kSubChunkHeaderBytes = 12;

OvFreeList gEntryListHeader;              // static header of the entry free list
OvFreeList* gEntryList = nullptr;         // free list of entries, while the registry layer is open
OvPluginRegistry** gRegistries = nullptr; // registries with entries, kept while free lists are off
OvInt32 gNumRegistries = 0;

void ResetRegistry(OvPluginRegistry* registry) {
    registry->sizeOfStruct = registry->origSizeOfStruct;
    registry->firstRegEntry = nullptr;
    registry->lastRegEntry = nullptr;
    registry->firstConstructed = nullptr;
    registry->firstConstructedBeyondClear = nullptr;
    registry->lastDestructed = nullptr;
    registry->firstAlways = nullptr;
}

bool RememberRegistry(OvPluginRegistry* registry) {
    for (OvInt32 i = 0; i < gNumRegistries; ++i) {
        if (gRegistries[i] == registry) {
            return true;
        }
    }
    auto* grown = static_cast<OvPluginRegistry**>(OvRealloc(
        gRegistries, sizeof(OvPluginRegistry*) * static_cast<std::size_t>(gNumRegistries + 1), ovMEMHINTDUR_GLOBAL));
    if (grown == nullptr) {
        return false;
    }
    gRegistries = grown;
    gRegistries[gNumRegistries++] = registry;
    return true;
}

void ReleaseUsedEntry(void* entry, void*) {
    auto* e = static_cast<OvPluginEntry*>(entry);
    if (e->parentRegistry->firstRegEntry != nullptr) {
        ResetRegistry(e->parentRegistry);
    }
    OvFreeListEntryFree(gEntryList, e);
}

// What an entry registered without a constructor or destructor gets: objects are made and
// destroyed in numbers, so these are not called.
const OvPluginObjectConstructor kNoConstructor = static_cast<OvPluginObjectConstructor>(OvIdentity);
const OvPluginObjectDestructor kNoDestructor = static_cast<OvPluginObjectDestructor>(OvIdentity);

// Links the registry's entries that have a constructor, a destructor or an always callback
// (after every registration that may change them).
void LinkCalledEntries(OvPluginRegistry* registry) {
    OvPluginEntry** nextConstructed = &registry->firstConstructed;
    OvPluginEntry** nextBeyondClear = &registry->firstConstructedBeyondClear;
    OvPluginEntry** nextAlways = &registry->firstAlways;
    OvPluginEntry* lastDestructed = nullptr;
    for (OvPluginEntry* e = registry->firstRegEntry; e != nullptr; e = e->nextRegEntry) {
        e->nextConstructed = e->nextConstructedBeyondClear = e->nextAlways = nullptr;
        if (e->constructCB != kNoConstructor) {
            *nextConstructed = e;
            nextConstructed = &e->nextConstructed;
        }
        if (e->constructCB != kNoConstructor && e->constructCB != OvPluginClearConstructor) {
            *nextBeyondClear = e;
            nextBeyondClear = &e->nextConstructedBeyondClear;
        }
        if (e->alwaysCB != nullptr) {
            *nextAlways = e;
            nextAlways = &e->nextAlways;
        }
        e->prevDestructed = lastDestructed;
        if (e->destructCB != kNoDestructor) {
            lastDestructed = e;
        }
    }
    *nextConstructed = nullptr;
    *nextBeyondClear = nullptr;
    *nextAlways = nullptr;
    registry->lastDestructed = lastDestructed;
}

// Stores a callback in the entry of pluginID; its offset, or -1 without such an entry.
template <typename Callback>
OvInt32 SetEntryCallback(OvPluginRegistry* registry, OvUInt32 pluginID, Callback OvPluginEntry::*field,
                         Callback callback) {
    OvPluginEntry* e = OvPluginRegistryFindEntry(registry, pluginID);
    if (e == nullptr) {
        return -1;
    }
    e->*field = callback;
    LinkCalledEntries(registry);
    return e->offset;
}

void Destruct(const OvPluginEntry* e, void* object) {
    if (e->destructCB != kNoDestructor) {
        e->destructCB(object, e->offset, e->size);
    }
}

bool Streamed(const OvPluginEntry* e) { return e->getSizeCB != nullptr && e->writeCB != nullptr; }

// Reads the sub-chunks of an extension chunk body of the given length; read(entry) handles a
// body or returns false. Each sub-chunk must lie within what remains of the body, and its
// length must fit the read callbacks' signed length.
template <typename Handle> bool WalkSubChunks(OvStream* stream, OvUInt32 length, Handle handle) {
    OvUInt32 remaining = length;
    while (remaining > 0) {
        OvUInt32 id = 0;
        OvUInt32 bodyLength = 0;
        // A sub-chunk's header is most often at hand: every object read has one.
        if (const OvUInt8* at = OvStreamPeekInPlace(stream, kSubChunkHeaderBytes)) {
            id = OvChunkGetUInt32(at);
            bodyLength = OvChunkGetUInt32(at + 4);
            OvStreamPassInPlace(stream, kSubChunkHeaderBytes);
        } else if (!OvStreamReadChunkHeader(stream, &id, &bodyLength, nullptr, nullptr)) {
            return false;
        }
        if (remaining < kSubChunkHeaderBytes || bodyLength > remaining - kSubChunkHeaderBytes ||
            bodyLength > static_cast<OvUInt32>(INT32_MAX)) {
            OvErrorReport(ovPLUGINIDCORE, OvErrorCode(ovERRREAD, "Extension data overruns its chunk"));
            return false;
        }
        if (!handle(id, bodyLength)) {
            return false;
        }
        remaining -= kSubChunkHeaderBytes + bodyLength;
    }
    return true;
}

} // namespace

OvPluginEntry* OvPluginRegistryFindEntry(const OvPluginRegistry* registry, OvUInt32 pluginID) {
    for (OvPluginEntry* e = registry->firstRegEntry; e != nullptr; e = e->nextRegEntry) {
        if (e->pluginID == pluginID) {
            return e;
        }
    }
    return nullptr;
}

OvBool OvPluginRegistryOpen() {
    gRegistries = nullptr;
    gNumRegistries = 0;
    gEntryList = OvFreeListCreateWithSpace(sizeof(OvPluginEntry), kEntriesPerBlock, 0, 1, &gEntryListHeader,
                                           ovMEMHINTDUR_GLOBAL);
    return gEntryList != nullptr ? TRUE : FALSE;
}

OvBool OvPluginRegistryClose() {
    if (gEntryList == nullptr) {
        return TRUE;
    }
    if (gRegistries != nullptr) {
        // Free lists off: entries are heap blocks, found through their registries.
        for (OvInt32 i = 0; i < gNumRegistries; ++i) {
            OvPluginEntry* e = gRegistries[i]->firstRegEntry;
            while (e != nullptr) {
                OvPluginEntry* next = e->nextRegEntry;
                OvFreeListEntryFree(gEntryList, e);
                e = next;
            }
            ResetRegistry(gRegistries[i]);
        }
        OvFree(gRegistries);
        gRegistries = nullptr;
        gNumRegistries = 0;
    } else {
        OvFreeListForAllUsed(gEntryList, ReleaseUsedEntry, nullptr);
    }
    OvFreeListDestroy(gEntryList);
    gEntryList = nullptr;
    return TRUE;
}

OvInt32 OvPluginRegistryAddPlugin(OvPluginRegistry* registry, OvInt32 size, OvUInt32 pluginID,
                                  OvPluginObjectConstructor constructCB, OvPluginObjectDestructor destructCB,
                                  OvPluginObjectCopy copyCB) {
    if (gEntryList == nullptr) {
        return -1;
    }
    if (OvEngineGetOpenCount() != 0) {
        OvErrorReport(ovPLUGINIDCORE, OvErrorCode(ovERRPLUGINREFUSED, "Registration after engine open"));
        return -1;
    }
    if (size < 0) {
        return -1;
    }
    if (!OvFreeListGetEnabled() && !RememberRegistry(registry)) {
        return -1;
    }
    if (OvPluginEntry* existing = OvPluginRegistryFindEntry(registry, pluginID)) {
        OvErrorReport(ovPLUGINIDCORE, OvErrorCode(ovERRPLUGINREFUSED, "Plugin already registered"));
        return existing->offset;
    }
    // The object size stays a positive 32-bit number.
    if (size > INT32_MAX - (ovPLUGINALIGNMENT - 1) - registry->sizeOfStruct) {
        return -1;
    }
    const OvInt32 rounded = (size + ovPLUGINALIGNMENT - 1) & ~(ovPLUGINALIGNMENT - 1);
    if (registry->maxSizeOfStruct != 0 && registry->sizeOfStruct + rounded > registry->maxSizeOfStruct) {
        return -1;
    }
    auto* e = static_cast<OvPluginEntry*>(OvFreeListEntryAlloc(gEntryList, ovMEMHINTDUR_GLOBAL));
    if (e == nullptr) {
        return -1;
    }
    e->offset = registry->sizeOfStruct;
    registry->sizeOfStruct += rounded;
    e->size = size;
    e->pluginID = pluginID;
    e->readCB = nullptr;
    e->writeCB = nullptr;
    e->getSizeCB = nullptr;
    e->alwaysCB = nullptr;
    e->rightsCB = nullptr;
    e->constructCB = constructCB != nullptr ? constructCB : kNoConstructor;
    e->destructCB = destructCB != nullptr ? destructCB : kNoDestructor;
    e->copyCB = copyCB != nullptr ? copyCB : static_cast<OvPluginObjectCopy>(OvIdentity);
    e->spare = nullptr;
    e->nextRegEntry = nullptr;
    e->prevRegEntry = registry->lastRegEntry;
    e->parentRegistry = registry;
    if (registry->lastRegEntry != nullptr) {
        registry->lastRegEntry->nextRegEntry = e;
    } else {
        registry->firstRegEntry = e;
    }
    registry->lastRegEntry = e;
    LinkCalledEntries(registry);
    return e->offset;
}

OvInt32 OvPluginRegistryGetPluginOffset(const OvPluginRegistry* registry, OvUInt32 pluginID) {
    const OvPluginEntry* e = OvPluginRegistryFindEntry(registry, pluginID);
    return e != nullptr ? e->offset : -1;
}

OvInt32 OvPluginRegistryAddPluginStream(OvPluginRegistry* registry, OvUInt32 pluginID,
                                        OvPluginDataChunkReadCallBack readCB, OvPluginDataChunkWriteCallBack writeCB,
                                        OvPluginDataChunkGetSizeCallBack getSizeCB) {
    OvPluginEntry* e = OvPluginRegistryFindEntry(registry, pluginID);
    if (e == nullptr) {
        return -1;
    }
    e->readCB = readCB;
    e->writeCB = writeCB;
    e->getSizeCB = getSizeCB;
    return e->offset;
}

OvInt32 OvPluginRegistryAddPluginStreamAlwaysCallback(OvPluginRegistry* registry, OvUInt32 pluginID,
                                                      OvPluginDataChunkAlwaysCallBack alwaysCB) {
    return SetEntryCallback(registry, pluginID, &OvPluginEntry::alwaysCB, alwaysCB);
}

OvInt32 OvPluginRegistryAddPluginStreamRightsCallback(OvPluginRegistry* registry, OvUInt32 pluginID,
                                                      OvPluginDataChunkRightsCallBack rightsCB) {
    return SetEntryCallback(registry, pluginID, &OvPluginEntry::rightsCB, rightsCB);
}

namespace {

// Runs the constructors of a list of entries; when one fails the earlier entries' destructors run.
const OvPluginRegistry* Construct(const OvPluginRegistry* registry, void* object, OvPluginEntry* first,
                                  OvPluginEntry* OvPluginEntry::*next) {
    for (OvPluginEntry* e = first; e != nullptr; e = e->*next) {
        if (e->constructCB(object, e->offset, e->size) == nullptr) {
            for (OvPluginEntry* undo = e->prevRegEntry; undo != nullptr; undo = undo->prevRegEntry) {
                Destruct(undo, object);
            }
            return nullptr;
        }
    }
    return registry;
}

} // namespace

void* OvPluginClearConstructor(void* object, OvInt32 offset, OvInt32 size) {
    std::memset(static_cast<char*>(object) + offset, 0, static_cast<std::size_t>(size));
    return object;
}

const OvPluginRegistry* OvPluginRegistryInitObject(const OvPluginRegistry* registry, void* object) {
    return Construct(registry, object, registry->firstConstructed, &OvPluginEntry::nextConstructed);
}

const OvPluginRegistry* OvPluginRegistryInitClearedObject(const OvPluginRegistry* registry, void* object) {
    return Construct(registry, object, registry->firstConstructedBeyondClear,
                     &OvPluginEntry::nextConstructedBeyondClear);
}

const OvPluginRegistry* OvPluginRegistryDeInitObject(const OvPluginRegistry* registry, void* object) {
    for (OvPluginEntry* e = registry->lastDestructed; e != nullptr; e = e->prevDestructed) {
        e->destructCB(object, e->offset, e->size);
    }
    return registry;
}

const OvPluginRegistry* OvPluginRegistryCopyObject(const OvPluginRegistry* registry, void* dstObject,
                                                   const void* srcObject) {
    for (OvPluginEntry* e = registry->firstRegEntry; e != nullptr; e = e->nextRegEntry) {
        e->copyCB(dstObject, srcObject, e->offset, e->size);
    }
    return registry;
}

OvInt32 OvPluginRegistryGetSize(const OvPluginRegistry* registry, const void* object) {
    OvInt32 total = 0;
    for (const OvPluginEntry* e = registry->firstRegEntry; e != nullptr; e = e->nextRegEntry) {
        if (Streamed(e)) {
            const OvInt32 s = e->getSizeCB(object, e->offset, e->size);
            if (s > 0) {
                total += s + static_cast<OvInt32>(kSubChunkHeaderBytes);
            }
        }
    }
    return total;
}

const OvPluginRegistry* OvPluginRegistryWriteDataChunks(const OvPluginRegistry* registry, OvStream* stream,
                                                        const void* object) {
    const OvInt32 total = OvPluginRegistryGetSize(registry, object);
    if (OvStreamWriteChunkHeader(stream, kChunkExtension, static_cast<OvUInt32>(total), ovLIBRARYVERSION,
                                 ovLIBRARYBUILD) == nullptr) {
        return nullptr;
    }
    for (const OvPluginEntry* e = registry->firstRegEntry; e != nullptr; e = e->nextRegEntry) {
        if (!Streamed(e)) {
            continue;
        }
        const OvInt32 s = e->getSizeCB(object, e->offset, e->size);
        if (s <= 0) {
            continue;
        }
        if (OvStreamWriteChunkHeader(stream, e->pluginID, static_cast<OvUInt32>(s), ovLIBRARYVERSION, ovLIBRARYBUILD) ==
                nullptr ||
            e->writeCB(stream, s, object, e->offset, e->size) == nullptr) {
            return nullptr;
        }
    }
    return registry;
}

const OvPluginRegistry* OvPluginRegistryReadDataChunks(const OvPluginRegistry* registry, OvStream* stream,
                                                       void* object) {
    OvUInt32 length = 0;
    if (!OvStreamFindChunk(stream, kChunkExtension, &length, nullptr)) {
        return nullptr;
    }
    return OvPluginRegistryReadSubChunks(registry, stream, length, object);
}

const OvPluginRegistry* OvPluginRegistryReadSubChunks(const OvPluginRegistry* registry, OvStream* stream,
                                                      OvUInt32 length, void* object) {
    const bool bodiesRead = WalkSubChunks(stream, length, [&](OvUInt32 id, OvUInt32 bodyLength) {
        return OvPluginEntryReadBody(OvPluginRegistryFindEntry(registry, id), stream, bodyLength, object);
    });
    if (!bodiesRead) {
        return nullptr;
    }
    for (const OvPluginEntry* e = registry->firstAlways; e != nullptr; e = e->nextAlways) {
        if (!e->alwaysCB(object, e->offset, e->size)) {
            return nullptr;
        }
    }
    return registry;
}

const OvPluginRegistry* OvPluginRegistrySkipDataChunks(const OvPluginRegistry* registry, OvStream* stream) {
    OvUInt32 length = 0;
    if (!OvStreamFindChunk(stream, kChunkExtension, &length, nullptr)) {
        return nullptr;
    }
    const bool skipped = WalkSubChunks(
        stream, length, [&](OvUInt32, OvUInt32 bodyLength) { return OvStreamSkip(stream, bodyLength) != nullptr; });
    return skipped ? registry : nullptr;
}

const OvPluginRegistry* OvPluginRegistryInvokeRights(const OvPluginRegistry* registry, OvUInt32 pluginID, void* object,
                                                     OvUInt32 extraData) {
    const OvPluginEntry* e = OvPluginRegistryFindEntry(registry, pluginID);
    if (e == nullptr || e->rightsCB == nullptr || e->rightsCB(object, e->offset, e->size, extraData) <= 0) {
        return nullptr;
    }
    return registry;
}

OvBBox* OvBBoxCalculate(OvBBox* box, const OvV3d* points, OvInt32 count) {
    box->sup = points[0];
    box->inf = points[0];
    for (OvInt32 i = 1; i < count; ++i) {
        const OvV3d& p = points[i];
        box->sup.x = p.x > box->sup.x ? p.x : box->sup.x;
        box->sup.y = p.y > box->sup.y ? p.y : box->sup.y;
        box->sup.z = p.z > box->sup.z ? p.z : box->sup.z;
        box->inf.x = p.x < box->inf.x ? p.x : box->inf.x;
        box->inf.y = p.y < box->inf.y ? p.y : box->inf.y;
        box->inf.z = p.z < box->inf.z ? p.z : box->inf.z;
    }
    return box;
}
