#include "graphics/core/d3d9/vertex_buffer.h"

#include <algorithm>
#include <cstdint>
#include <list>
#include <vector>

#include "graphics/core/d3d9/device.h"

namespace {

struct Range {
    OvUInt32 offset; // bytes
    OvUInt32 size;   // bytes
    IDirect3DVertexBuffer9* buffer;
};

struct Family {
    OvUInt32 stride;
    std::list<Range> free; // newest first
    std::vector<IDirect3DVertexBuffer9*> buffers;
};

// A dynamic buffer a caller owns: its size, whether in use, the buffer and the owner's slot (which
// a device reset clears and a restore fills again).
struct OvD3D9DynamicVertexBufferRecord {
    OvUInt32 size;
    bool inUse;
    IDirect3DVertexBuffer9* buffer;
    IDirect3DVertexBuffer9** owner; // null unless in use
};

struct SharedSlot {
    OvUInt32 offset;
    OvUInt32 size;
    IDirect3DVertexBuffer9* buffer; // the owner slot of its record
};

std::list<Family> gFamilies;                         // newest first
std::list<OvD3D9DynamicVertexBufferRecord> gRecords; // newest first; stable addresses
SharedSlot gShared[ovD3D9NUMSHAREDBUFFERS];
OvUInt32 gCurrent = 0;

IDirect3DDevice9* Device() { return OvD3D9GetDevice(); }

Family* FindFamily(OvUInt32 stride) {
    for (Family& f : gFamilies) {
        if (f.stride == stride) {
            return &f;
        }
    }
    return nullptr;
}

bool Adjacent(const Range& a, OvUInt32 offset, OvUInt32 size, IDirect3DVertexBuffer9* buffer) {
    return a.buffer == buffer && (a.offset + a.size == offset || offset + size == a.offset);
}

OvD3D9DynamicVertexBufferRecord* RecordOf(IDirect3DVertexBuffer9* buffer) {
    if (buffer == nullptr) {
        return nullptr;
    }
    for (OvD3D9DynamicVertexBufferRecord& r : gRecords) {
        if (r.buffer == buffer) {
            return &r;
        }
    }
    return nullptr;
}

void Free(OvD3D9DynamicVertexBufferRecord* r) {
    if (r != nullptr) {
        r->inUse = false;
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
    if (out == nullptr || offset == nullptr || d == nullptr || stride == 0 || size == 0) {
        return FALSE;
    }
    Family* f = FindFamily(stride);
    if (f == nullptr) {
        gFamilies.push_front({stride, {}, {}});
        f = &gFamilies.front();
    }
    auto range = std::find_if(f->free.begin(), f->free.end(), [&](const Range& r) { return r.size >= size; });
    if (range == f->free.end()) {
        const OvUInt32 rounded = (ovD3D9STATICBUFFERSIZE + stride - 1) / stride * stride;
        const OvUInt32 bytes = std::max(rounded, size);
        IDirect3DVertexBuffer9* buffer = nullptr;
        if (FAILED(d->CreateVertexBuffer(bytes, D3DUSAGE_WRITEONLY, 0, D3DPOOL_MANAGED, &buffer, nullptr)) ||
            buffer == nullptr) {
            return FALSE;
        }
        f->buffers.push_back(buffer);
        f->free.push_front({0, bytes, buffer});
        range = f->free.begin();
    }
    *out = range->buffer;
    *offset = range->offset;
    range->offset += size;
    range->size -= size;
    if (range->size == 0) {
        f->free.erase(range);
    }
    return TRUE;
}

void OvD3D9DestroyVertexBuffer(OvUInt32 stride, OvUInt32 size, IDirect3DVertexBuffer9* buffer, OvUInt32 offset) {
    Family* f = FindFamily(stride);
    if (f == nullptr || buffer == nullptr || size == 0) {
        return;
    }
    auto merged =
        std::find_if(f->free.begin(), f->free.end(), [&](const Range& r) { return Adjacent(r, offset, size, buffer); });
    if (merged == f->free.end()) {
        f->free.push_front({offset, size, buffer});
        return;
    }
    merged->offset = std::min(merged->offset, offset);
    merged->size += size;
    // The grown range may now touch another one.
    for (bool again = true; again;) {
        again = false;
        for (auto it = f->free.begin(); it != f->free.end(); ++it) {
            if (it != merged && Adjacent(*it, merged->offset, merged->size, buffer)) {
                merged->offset = std::min(merged->offset, it->offset);
                merged->size += it->size;
                f->free.erase(it);
                again = true;
                break;
            }
        }
    }
}

OvInt32 OvD3D9StaticFreeRanges(OvUInt32 stride, OvUInt32* offsets, OvUInt32* sizes, OvInt32 capacity) {
    const Family* f = FindFamily(stride);
    OvInt32 n = 0;
    if (f != nullptr) {
        for (const Range& r : f->free) {
            if (n < capacity) {
                offsets[n] = r.offset;
                sizes[n] = r.size;
            }
            ++n;
        }
    }
    return n;
}

OvBool OvD3D9DynamicVertexBufferCreate(OvUInt32 size, IDirect3DVertexBuffer9** owner) {
    IDirect3DDevice9* d = Device();
    if (owner == nullptr || d == nullptr || size == 0) {
        return FALSE;
    }
    OvD3D9DynamicVertexBufferRecord* record = nullptr;
    for (OvD3D9DynamicVertexBufferRecord& r : gRecords) {
        if (!r.inUse && r.size == size && r.buffer != nullptr) {
            r.inUse = true;
            r.owner = owner;
            *owner = r.buffer;
            return TRUE;
        }
    }
    for (OvD3D9DynamicVertexBufferRecord& r : gRecords) {
        if (!r.inUse && (record == nullptr || r.size > record->size)) {
            record = &r;
        }
    }
    if (record == nullptr) {
        gRecords.push_front({0, false, nullptr, nullptr});
        record = &gRecords.front();
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
    *record = {size, true, buffer, owner};
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
    return CreateShared() ? TRUE : FALSE;
}

void OvD3D9DynamicVertexBufferClose() {
    EmptyShared();
    for (OvD3D9DynamicVertexBufferRecord& r : gRecords) {
        if (r.buffer != nullptr) {
            r.buffer->Release();
        }
    }
    gRecords.clear();
    for (Family& f : gFamilies) {
        for (IDirect3DVertexBuffer9* b : f.buffers) {
            b->Release();
        }
    }
    gFamilies.clear();
}

void OvD3D9DynamicVertexBufferReleaseAll() {
    EmptyShared();
    if (!OvD3D9HasHardwareTnL()) {
        return; // system-memory buffers survive a reset
    }
    for (OvD3D9DynamicVertexBufferRecord& r : gRecords) {
        if (r.buffer != nullptr) {
            r.buffer->Release();
            r.buffer = nullptr;
        }
        // Only a record in use has an owner to tell; a free one's owner may be long gone.
        if (r.inUse && r.owner != nullptr) {
            *r.owner = nullptr;
        }
    }
}

OvBool OvD3D9DynamicVertexBufferRestoreAll() {
    IDirect3DDevice9* d = Device();
    if (d == nullptr) {
        return FALSE;
    }
    if (OvD3D9HasHardwareTnL()) {
        for (OvD3D9DynamicVertexBufferRecord& r : gRecords) {
            if (!r.inUse || r.buffer != nullptr) {
                continue;
            }
            if (FAILED(d->CreateVertexBuffer(r.size, D3DUSAGE_WRITEONLY | D3DUSAGE_DYNAMIC, 0, D3DPOOL_DEFAULT,
                                             &r.buffer, nullptr))) {
                r.buffer = nullptr;
                return FALSE;
            }
            if (r.owner != nullptr) {
                *r.owner = r.buffer;
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
