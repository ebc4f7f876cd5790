#include "graphics/core/d3d9/vertex_buffer.h"

#include <cstdint>
#include <initializer_list>

#include "graphics/core/d3d9/device.h"
#include "graphics/core/engine.h"

namespace {

// A free range of a static buffer; ranges of all the stride's buffers share one list.
struct OvD3D9FreeRange {
    OvUInt32 offset; // bytes
    OvUInt32 size;   // bytes
    IDirect3DVertexBuffer9* buffer;
    OvD3D9FreeRange* next;
    OvD3D9FreeRange* prev;
};

struct OvD3D9BufferEntry {
    IDirect3DVertexBuffer9* buffer;
    OvD3D9BufferEntry* next;
};

// One stride's family of static buffers.
struct OvD3D9StrideRecord {
    OvUInt32 stride;
    OvD3D9FreeRange* ranges; // newest first
    OvD3D9BufferEntry* buffers;
    OvD3D9StrideRecord* next;
};

// A dynamic buffer a caller owns: its size, whether in use, the buffer and the owner's slot (which
// a device reset clears and a restore fills again).
struct OvD3D9DynamicVertexBufferRecord {
    OvUInt32 size;
    OvUInt32 inUse;
    IDirect3DVertexBuffer9* buffer;
    IDirect3DVertexBuffer9** owner; // null unless in use
    OvD3D9DynamicVertexBufferRecord* next;
};

struct SharedSlot {
    OvUInt32 offset;
    OvUInt32 size;
    IDirect3DVertexBuffer9* buffer; // the owner slot of its record
};

constexpr OvInt32 kStrideRecordsPerBlock = 16;
constexpr OvInt32 kRangesPerBlock = 100;
constexpr OvInt32 kBufferEntriesPerBlock = 100;
constexpr OvInt32 kDynamicRecordsPerBlock = 42;

// The four free lists live from open to close; without them nothing can be handed out.
OvFreeList* gStrideList = nullptr;
OvFreeList* gRangeList = nullptr;
OvFreeList* gBufferEntryList = nullptr;
OvFreeList* gRecordList = nullptr;

OvD3D9StrideRecord* gStrides = nullptr;              // newest first
OvD3D9DynamicVertexBufferRecord* gRecords = nullptr; // newest first
SharedSlot gShared[ovD3D9NUMSHAREDBUFFERS];
OvUInt32 gCurrent = 0;

IDirect3DDevice9* Device() { return OvD3D9GetDevice(); }

bool ListsOpen() {
    return gStrideList != nullptr && gRangeList != nullptr && gBufferEntryList != nullptr && gRecordList != nullptr;
}

template <typename T> T* Take(OvFreeList* list) {
    return list != nullptr ? static_cast<T*>(OvFreeListEntryAlloc(list, ovD3D9MEMHINT)) : nullptr;
}

OvD3D9StrideRecord* FindFamily(OvUInt32 stride) {
    for (OvD3D9StrideRecord* f = gStrides; f != nullptr; f = f->next) {
        if (f->stride == stride) {
            return f;
        }
    }
    return nullptr;
}

void AddRangeAtHead(OvD3D9StrideRecord* f, OvD3D9FreeRange* r) {
    r->prev = nullptr;
    r->next = f->ranges;
    if (f->ranges != nullptr) {
        f->ranges->prev = r;
    }
    f->ranges = r;
}

void RemoveRange(OvD3D9StrideRecord* f, OvD3D9FreeRange* r) {
    (r->prev != nullptr ? r->prev->next : f->ranges) = r->next;
    if (r->next != nullptr) {
        r->next->prev = r->prev;
    }
    OvFreeListEntryFree(gRangeList, r);
}

bool Adjacent(const OvD3D9FreeRange& a, OvUInt32 offset, OvUInt32 size, IDirect3DVertexBuffer9* buffer) {
    return a.buffer == buffer && (a.offset + a.size == offset || offset + size == a.offset);
}

OvD3D9DynamicVertexBufferRecord* RecordOf(IDirect3DVertexBuffer9* buffer) {
    if (buffer == nullptr) {
        return nullptr;
    }
    for (OvD3D9DynamicVertexBufferRecord* r = gRecords; r != nullptr; r = r->next) {
        if (r->buffer == buffer) {
            return r;
        }
    }
    return nullptr;
}

void Free(OvD3D9DynamicVertexBufferRecord* r) {
    if (r != nullptr) {
        r->inUse = FALSE;
        r->owner = nullptr;
    }
}

bool CreateShared() {
    gCurrent = 0;
    const OvUInt32 slots = OvD3D9HasHardwareTnL() ? ovD3D9NUMSHAREDBUFFERS : 1;
    for (OvUInt32 i = 0; i < slots; ++i) {
        gShared[i] = {0, ovD3D9SHAREDBUFFERSIZE, nullptr};
        if (!OvD3D9DynamicVertexBufferCreate(ovD3D9SHAREDBUFFERSIZE, &gShared[i].buffer)) {
            gShared[i] = {};
            return false;
        }
    }
    return true;
}

void EmptyShared() {
    gCurrent = 0;
    for (SharedSlot& s : gShared) {
        Free(RecordOf(s.buffer));
        s = {};
    }
}

bool Fits(const SharedSlot& s, OvUInt32 stride, OvUInt32 bytes, OvUInt32* at) {
    const std::uint64_t a = (std::uint64_t{s.offset} + stride - 1) / stride * stride;
    *at = static_cast<OvUInt32>(a);
    return s.buffer != nullptr && a + bytes <= s.size;
}

} // namespace

OvBool OvD3D9CreateVertexBuffer(OvUInt32 stride, OvUInt32 size, IDirect3DVertexBuffer9** out, OvUInt32* offset) {
    IDirect3DDevice9* d = Device();
    if (out == nullptr || offset == nullptr || d == nullptr || !ListsOpen() || stride == 0 || size == 0) {
        return FALSE;
    }
    OvD3D9StrideRecord* f = FindFamily(stride);
    if (f == nullptr) {
        f = Take<OvD3D9StrideRecord>(gStrideList);
        if (f == nullptr) {
            return FALSE;
        }
        *f = {stride, nullptr, nullptr, gStrides};
        gStrides = f;
    }
    OvD3D9FreeRange* range = f->ranges;
    while (range != nullptr && range->size < size) {
        range = range->next;
    }
    if (range == nullptr) {
        const OvUInt32 rounded = (ovD3D9STATICBUFFERSIZE + stride - 1) / stride * stride;
        const OvUInt32 bytes = rounded > size ? rounded : size;
        range = Take<OvD3D9FreeRange>(gRangeList);
        OvD3D9BufferEntry* entry = Take<OvD3D9BufferEntry>(gBufferEntryList);
        IDirect3DVertexBuffer9* buffer = nullptr;
        if (range == nullptr || entry == nullptr ||
            FAILED(d->CreateVertexBuffer(bytes, D3DUSAGE_WRITEONLY, 0, D3DPOOL_MANAGED, &buffer, nullptr)) ||
            buffer == nullptr) {
            if (range != nullptr) {
                OvFreeListEntryFree(gRangeList, range);
            }
            if (entry != nullptr) {
                OvFreeListEntryFree(gBufferEntryList, entry);
            }
            return FALSE;
        }
        *entry = {buffer, f->buffers};
        f->buffers = entry;
        *range = {0, bytes, buffer, nullptr, nullptr};
        AddRangeAtHead(f, range);
    }
    *out = range->buffer;
    *offset = range->offset;
    range->offset += size;
    range->size -= size;
    if (range->size == 0) {
        RemoveRange(f, range);
    }
    return TRUE;
}

void OvD3D9DestroyVertexBuffer(OvUInt32 stride, OvUInt32 size, IDirect3DVertexBuffer9* buffer, OvUInt32 offset) {
    OvD3D9StrideRecord* f = FindFamily(stride);
    if (f == nullptr || buffer == nullptr || size == 0) {
        return;
    }
    OvD3D9FreeRange* merged = f->ranges;
    while (merged != nullptr && !Adjacent(*merged, offset, size, buffer)) {
        merged = merged->next;
    }
    if (merged == nullptr) {
        OvD3D9FreeRange* r = Take<OvD3D9FreeRange>(gRangeList);
        if (r != nullptr) { // out of memory: the range stays unused until close
            *r = {offset, size, buffer, nullptr, nullptr};
            AddRangeAtHead(f, r);
        }
        return;
    }
    merged->offset = merged->offset < offset ? merged->offset : offset;
    merged->size += size;
    // The grown range may now touch another one.
    for (OvD3D9FreeRange* r = f->ranges; r != nullptr;) {
        if (r != merged && Adjacent(*r, merged->offset, merged->size, buffer)) {
            merged->offset = merged->offset < r->offset ? merged->offset : r->offset;
            merged->size += r->size;
            RemoveRange(f, r);
            r = f->ranges;
        } else {
            r = r->next;
        }
    }
}

OvInt32 OvD3D9StaticFreeRanges(OvUInt32 stride, OvUInt32* offsets, OvUInt32* sizes, OvInt32 capacity) {
    const OvD3D9StrideRecord* f = FindFamily(stride);
    OvInt32 n = 0;
    for (const OvD3D9FreeRange* r = f != nullptr ? f->ranges : nullptr; r != nullptr; r = r->next) {
        if (n < capacity) {
            offsets[n] = r->offset;
            sizes[n] = r->size;
        }
        ++n;
    }
    return n;
}

OvBool OvD3D9DynamicVertexBufferCreate(OvUInt32 size, IDirect3DVertexBuffer9** owner) {
    IDirect3DDevice9* d = Device();
    if (owner == nullptr || d == nullptr || !ListsOpen() || size == 0) {
        return FALSE;
    }
    OvD3D9DynamicVertexBufferRecord* record = nullptr;
    for (OvD3D9DynamicVertexBufferRecord* r = gRecords; r != nullptr; r = r->next) {
        if (!r->inUse && r->size == size && r->buffer != nullptr) {
            r->inUse = TRUE;
            r->owner = owner;
            *owner = r->buffer;
            return TRUE;
        }
    }
    for (OvD3D9DynamicVertexBufferRecord* r = gRecords; r != nullptr; r = r->next) {
        if (!r->inUse && (record == nullptr || r->size > record->size)) {
            record = r;
        }
    }
    if (record == nullptr) {
        record = Take<OvD3D9DynamicVertexBufferRecord>(gRecordList);
        if (record == nullptr) {
            return FALSE;
        }
        *record = {0, FALSE, nullptr, nullptr, gRecords};
        gRecords = record;
    } else if (record->buffer != nullptr) {
        record->buffer->Release();
        record->buffer = nullptr;
    }
    const D3DPOOL pool = OvD3D9HasHardwareTnL() ? D3DPOOL_DEFAULT : D3DPOOL_SYSTEMMEM;
    IDirect3DVertexBuffer9* buffer = nullptr;
    if (FAILED(d->CreateVertexBuffer(size, D3DUSAGE_WRITEONLY | D3DUSAGE_DYNAMIC, 0, pool, &buffer, nullptr)) ||
        buffer == nullptr) {
        record->size = 0;
        return FALSE;
    }
    record->size = size;
    record->inUse = TRUE;
    record->buffer = buffer;
    record->owner = owner;
    *owner = buffer;
    return TRUE;
}

void OvD3D9DynamicVertexBufferDestroy(IDirect3DVertexBuffer9* buffer) {
    OvD3D9DynamicVertexBufferRecord* r = RecordOf(buffer);
    if (r != nullptr && r->inUse) {
        Free(r);
    }
}

OvBool OvD3D9DynamicVertexBufferLock(OvUInt32 stride, OvUInt32 count, IDirect3DVertexBuffer9** buffer, void** data,
                                     OvUInt32* baseVertex) {
    if (buffer == nullptr || data == nullptr || baseVertex == nullptr || stride == 0 || count == 0 ||
        Device() == nullptr || std::uint64_t{stride} * count > 0x7FFFFFFFu) {
        return FALSE;
    }
    const OvUInt32 bytes = stride * count;
    OvUInt32 at = 0;
    bool append = false;
    if (OvD3D9HasHardwareTnL()) {
        append = Fits(gShared[gCurrent], stride, bytes, &at);
        for (OvUInt32 i = 0; i < ovD3D9NUMSHAREDBUFFERS && !append; ++i) {
            if (i != gCurrent && Fits(gShared[i], stride, bytes, &at)) {
                gCurrent = i;
                append = true;
            }
        }
        if (!append) {
            gCurrent = (gCurrent + 1) % ovD3D9NUMSHAREDBUFFERS;
        }
    }
    SharedSlot& slot = gShared[gCurrent];
    HRESULT hr;
    if (append) {
        hr = slot.buffer->Lock(at, bytes, data, D3DLOCK_NOOVERWRITE | D3DLOCK_NOSYSLOCK);
        slot.offset = at + bytes;
        *baseVertex = at / stride;
    } else {
        if (slot.size < bytes || slot.buffer == nullptr) {
            Free(RecordOf(slot.buffer));
            slot = {0, 0, nullptr};
            if (!OvD3D9DynamicVertexBufferCreate(bytes, &slot.buffer)) {
                slot = {0, 0, nullptr}; // nothing half-made is left for the next lock
                return FALSE;
            }
            slot.size = bytes;
        }
        hr = slot.buffer->Lock(0, bytes, data, D3DLOCK_DISCARD | D3DLOCK_NOSYSLOCK);
        slot.offset = bytes;
        *baseVertex = 0;
    }
    *buffer = slot.buffer;
    return SUCCEEDED(hr) ? TRUE : FALSE;
}

OvBool OvD3D9DynamicVertexBufferUnlock(IDirect3DVertexBuffer9* buffer) {
    return buffer != nullptr && SUCCEEDED(buffer->Unlock()) ? TRUE : FALSE;
}

OvBool OvD3D9DynamicVertexBufferOpen() {
    OvD3D9DynamicVertexBufferClose();
    gStrideList = OvFreeListCreate(sizeof(OvD3D9StrideRecord), kStrideRecordsPerBlock, 0, ovD3D9MEMHINT);
    gRangeList = OvFreeListCreate(sizeof(OvD3D9FreeRange), kRangesPerBlock, 0, ovD3D9MEMHINT);
    gBufferEntryList = OvFreeListCreate(sizeof(OvD3D9BufferEntry), kBufferEntriesPerBlock, 0, ovD3D9MEMHINT);
    gRecordList = OvFreeListCreate(sizeof(OvD3D9DynamicVertexBufferRecord), kDynamicRecordsPerBlock, 0, ovD3D9MEMHINT);
    return ListsOpen() && CreateShared() ? TRUE : FALSE;
}

void OvD3D9DynamicVertexBufferClose() {
    EmptyShared();
    while (gRecords != nullptr) {
        OvD3D9DynamicVertexBufferRecord* r = gRecords;
        gRecords = r->next;
        if (r->buffer != nullptr) {
            r->buffer->Release();
        }
        OvFreeListEntryFree(gRecordList, r);
    }
    while (gStrides != nullptr) {
        OvD3D9StrideRecord* f = gStrides;
        gStrides = f->next;
        while (f->ranges != nullptr) {
            RemoveRange(f, f->ranges);
        }
        while (f->buffers != nullptr) {
            OvD3D9BufferEntry* e = f->buffers;
            f->buffers = e->next;
            e->buffer->Release();
            OvFreeListEntryFree(gBufferEntryList, e);
        }
        OvFreeListEntryFree(gStrideList, f);
    }
    for (OvFreeList** list : {&gStrideList, &gRangeList, &gBufferEntryList, &gRecordList}) {
        if (*list != nullptr) {
            OvFreeListDestroy(*list);
            *list = nullptr;
        }
    }
}

void OvD3D9DynamicVertexBufferReleaseAll() {
    EmptyShared();
    if (!OvD3D9HasHardwareTnL()) {
        return; // system-memory buffers survive a reset
    }
    for (OvD3D9DynamicVertexBufferRecord* r = gRecords; r != nullptr; r = r->next) {
        if (r->buffer != nullptr) {
            r->buffer->Release();
            r->buffer = nullptr;
        }
        // Only a record in use has an owner to tell; a free one's owner may be long gone.
        if (r->inUse && r->owner != nullptr) {
            *r->owner = nullptr;
        }
    }
}

OvBool OvD3D9DynamicVertexBufferRestoreAll() {
    IDirect3DDevice9* d = Device();
    if (d == nullptr) {
        return FALSE;
    }
    if (OvD3D9HasHardwareTnL()) {
        for (OvD3D9DynamicVertexBufferRecord* r = gRecords; r != nullptr; r = r->next) {
            if (!r->inUse || r->buffer != nullptr) {
                continue;
            }
            if (FAILED(d->CreateVertexBuffer(r->size, D3DUSAGE_WRITEONLY | D3DUSAGE_DYNAMIC, 0, D3DPOOL_DEFAULT,
                                             &r->buffer, nullptr))) {
                r->buffer = nullptr;
                return FALSE;
            }
            if (r->owner != nullptr) {
                *r->owner = r->buffer;
            }
        }
    }
    return CreateShared() ? TRUE : FALSE;
}

void OvD3D9DynamicVertexBufferNewFrame() {
    for (SharedSlot& s : gShared) {
        s.offset = 0;
    }
    gCurrent = (gCurrent + 1) % ovD3D9NUMSHAREDBUFFERS;
}
