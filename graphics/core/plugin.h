#pragma once
// Plugin registries: per object kind, the extension data that modules and plugins append to
// every object of that kind, with callbacks that construct, destroy, copy and stream it.

#include "graphics/core/stream.h"
#include "graphics/core/types.h"

struct OvStream;

using OvPluginObjectConstructor = void* (*)(void* object, OvInt32 offset, OvInt32 size);
using OvPluginObjectDestructor = void* (*)(void* object, OvInt32 offset, OvInt32 size);
using OvPluginObjectCopy = void* (*)(void* dstObject, const void* srcObject, OvInt32 offset, OvInt32 size);
// Returns its first argument unchanged: what the registry keeps for a null constructor,
// destructor or copy callback.
inline void* OvIdentity(void* object, OvInt32, OvInt32) { return object; }
inline void* OvIdentity(void* dstObject, const void*, OvInt32, OvInt32) { return dstObject; }
// Clears the extension's size bytes: what most extensions' constructors do. Entries registered with
// it are passed over when an object whose record is already clear is made.
void* OvPluginClearConstructor(void* object, OvInt32 offset, OvInt32 size);
using OvPluginDataChunkReadCallBack = OvStream* (*)(OvStream* stream, OvInt32 length, void* object, OvInt32 offset,
                                                    OvInt32 size);
using OvPluginDataChunkWriteCallBack = OvStream* (*)(OvStream* stream, OvInt32 length, const void* object,
                                                     OvInt32 offset, OvInt32 size);
using OvPluginDataChunkGetSizeCallBack = OvInt32 (*)(const void* object, OvInt32 offset, OvInt32 size);
using OvPluginDataChunkAlwaysCallBack = OvBool (*)(void* object, OvInt32 offset, OvInt32 size);
using OvPluginDataChunkRightsCallBack = OvBool (*)(void* object, OvInt32 offset, OvInt32 size, OvUInt32 extraData);

struct OvPluginRegistry;

// One registration (taken from a free list shared by all registries).
struct OvPluginEntry {
    OvInt32 offset;                             // offset of the extension data inside the object
    OvInt32 size;                               // size as registered (not rounded)
    OvUInt32 pluginID;                          // id of the registering plugin
    OvPluginDataChunkReadCallBack readCB;       // stream read, or null
    OvPluginDataChunkWriteCallBack writeCB;     // stream write, or null
    OvPluginDataChunkGetSizeCallBack getSizeCB; // stream body size, or null
    OvPluginDataChunkAlwaysCallBack alwaysCB;   // run after every extension-chunk read, or null
    OvPluginDataChunkRightsCallBack rightsCB;   // run by OvPluginRegistryInvokeRights, or null
    OvPluginObjectConstructor constructCB;      // never null (default returns the object)
    OvPluginObjectDestructor destructCB;        // never null
    OvPluginObjectCopy copyCB;                  // never null
    void* spare;                                // unused
    OvPluginEntry* nextRegEntry;                // next registration of the registry
    OvPluginEntry* prevRegEntry;                // previous registration
    OvPluginRegistry* parentRegistry;           // owning registry
    // The registry's entries that have a constructor, a destructor or an always callback, in
    // registration order: objects are made, destroyed and read in numbers, and most entries
    // have none of these.
    OvPluginEntry* nextConstructed;
    OvPluginEntry* nextConstructedBeyondClear; // of those, the ones whose constructor does more than clear
    OvPluginEntry* prevDestructed;
    OvPluginEntry* nextAlways;
};

// Registry of one object kind.
struct OvPluginRegistry {
    OvInt32 sizeOfStruct;         // current object size in bytes, extensions included
    OvInt32 origSizeOfStruct;     // the object's own size
    OvInt32 maxSizeOfStruct;      // 0: no limit
    OvInt32 spare;                // unused
    OvPluginEntry* firstRegEntry; // first registration
    OvPluginEntry* lastRegEntry;  // last registration
    OvPluginEntry* firstConstructed; // first registration with a constructor
    OvPluginEntry* firstConstructedBeyondClear; // first whose constructor does more than clear
    OvPluginEntry* lastDestructed;   // last registration with a destructor
    OvPluginEntry* firstAlways;      // first registration with an always callback
};

// Initial value of a registry for objects of baseSize bytes.
inline constexpr OvPluginRegistry OvPluginRegistryInitialValue(OvInt32 baseSize, OvInt32 maxSize = 0) {
    return OvPluginRegistry{baseSize, baseSize, maxSize, 0, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr};
}

// Extension offsets are multiples of this, so that extension data holding pointers is aligned.
inline constexpr OvInt32 ovPLUGINALIGNMENT =
    static_cast<OvInt32>(alignof(void*) > alignof(double) ? alignof(void*) : alignof(double));

OvBool OvPluginRegistryOpen();
OvBool OvPluginRegistryClose();

OvInt32 OvPluginRegistryAddPlugin(OvPluginRegistry* registry, OvInt32 size, OvUInt32 pluginID,
                                  OvPluginObjectConstructor constructCB, OvPluginObjectDestructor destructCB,
                                  OvPluginObjectCopy copyCB);
OvInt32 OvPluginRegistryGetPluginOffset(const OvPluginRegistry* registry, OvUInt32 pluginID);
// The plugin's registration, or null.
OvPluginEntry* OvPluginRegistryFindEntry(const OvPluginRegistry* registry, OvUInt32 pluginID);
// Reads an extension sub-chunk's body of the given length into object with the registration's
// reader, or passes over it when there is no registration (null) or it reads nothing. FALSE on a
// failure (error set).
// Inline: the world's sector reads call it for every sector.
inline bool OvPluginEntryReadBody(const OvPluginEntry* entry, OvStream* stream, OvUInt32 length, void* object) {
    if (entry != nullptr && entry->readCB != nullptr) {
        return entry->readCB(stream, static_cast<OvInt32>(length), object, entry->offset, entry->size) != nullptr;
    }
    return OvStreamSkip(stream, length) != nullptr;
}
OvInt32 OvPluginRegistryAddPluginStream(OvPluginRegistry* registry, OvUInt32 pluginID,
                                        OvPluginDataChunkReadCallBack readCB, OvPluginDataChunkWriteCallBack writeCB,
                                        OvPluginDataChunkGetSizeCallBack getSizeCB);
OvInt32 OvPluginRegistryAddPluginStreamAlwaysCallback(OvPluginRegistry* registry, OvUInt32 pluginID,
                                                      OvPluginDataChunkAlwaysCallBack alwaysCB);
OvInt32 OvPluginRegistryAddPluginStreamRightsCallback(OvPluginRegistry* registry, OvUInt32 pluginID,
                                                      OvPluginDataChunkRightsCallBack rightsCB);

// Constructors first to last; when one fails the earlier ones' destructors run, nearest first,
// and 0 is returned.
const OvPluginRegistry* OvPluginRegistryInitObject(const OvPluginRegistry* registry, void* object);
// The same for an object whose record, extensions included, is already clear: only the constructors
// other than OvPluginClearConstructor run.
const OvPluginRegistry* OvPluginRegistryInitClearedObject(const OvPluginRegistry* registry, void* object);
const OvPluginRegistry* OvPluginRegistryDeInitObject(const OvPluginRegistry* registry, void* object);
const OvPluginRegistry* OvPluginRegistryCopyObject(const OvPluginRegistry* registry, void* dstObject,
                                                   const void* srcObject);

// Body length of the object's extension chunk.
OvInt32 OvPluginRegistryGetSize(const OvPluginRegistry* registry, const void* object);
const OvPluginRegistry* OvPluginRegistryWriteDataChunks(const OvPluginRegistry* registry, OvStream* stream,
                                                        const void* object);
const OvPluginRegistry* OvPluginRegistryReadDataChunks(const OvPluginRegistry* registry, OvStream* stream,
                                                       void* object);
// The same behind the extension chunk's header: length bytes of its sub-chunks (a reader that took
// the first of them itself hands on the rest), then the "always" callbacks.
const OvPluginRegistry* OvPluginRegistryReadSubChunks(const OvPluginRegistry* registry, OvStream* stream,
                                                      OvUInt32 length, void* object);
const OvPluginRegistry* OvPluginRegistrySkipDataChunks(const OvPluginRegistry* registry, OvStream* stream);
const OvPluginRegistry* OvPluginRegistryInvokeRights(const OvPluginRegistry* registry, OvUInt32 pluginID, void* object,
                                                     OvUInt32 extraData);

// Smallest axis-aligned box of count (at least 1) points.
OvBBox* OvBBoxCalculate(OvBBox* box, const OvV3d* points, OvInt32 count);
