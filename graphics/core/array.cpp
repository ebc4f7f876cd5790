#include "graphics/core/array.h"

#include <cstdint>

#include "graphics/core/engine.h"
#include "graphics/core/error.h"

namespace {

constexpr OvInt32 kInitialCapacity = 20;

bool Grow(OvArray* array, OvInt32 newCapacity, OvUInt32 hint) {
    const std::size_t bytes = static_cast<std::size_t>(newCapacity) * array->entrySize;
    void* data = OvRealloc(array->data, bytes, hint);
    if (data == nullptr) {
        OvErrorReport(ovPLUGINIDCORE, OvErrorCode(ovERRNOMEMORY, bytes));
        return false;
    }
    array->data = data;
    array->capacity = newCapacity;
    return true;
}

} // namespace

OvArray* OvArrayCreate(OvUInt32 entrySize, OvUInt32 hint) {
    auto* array = static_cast<OvArray*>(OvMalloc(sizeof(OvArray), ovMEMHINTDUR_OBJECT));
    if (array == nullptr) {
        OvErrorReport(ovPLUGINIDCORE, OvErrorCode(ovERRNOMEMORY, sizeof(OvArray)));
        return nullptr;
    }
    const std::size_t bytes = static_cast<std::size_t>(kInitialCapacity) * entrySize;
    array->data = OvMalloc(bytes, hint | ovMEMHINTFLAG_RESIZABLE);
    if (array->data == nullptr) {
        OvErrorReport(ovPLUGINIDCORE, OvErrorCode(ovERRNOMEMORY, bytes));
        OvFree(array);
        return nullptr;
    }
    array->numEntries = 0;
    array->capacity = kInitialCapacity;
    array->entrySize = entrySize;
    return array;
}

OvArray* OvArrayEmpty(OvArray* array) {
    array->numEntries = 0;
    return array;
}

void* OvArrayAddEntry(OvArray* array, OvUInt32 hint) {
    if (array->numEntries >= array->capacity && !Grow(array, array->capacity + array->capacity / 4, hint)) {
        return nullptr;
    }
    return static_cast<char*>(array->data) + static_cast<std::size_t>(array->numEntries++) * array->entrySize;
}

void* OvArrayAddEntries(OvArray* array, OvInt32 n, OvUInt32 hint) {
    if (n < 0) {
        return nullptr;
    }
    if (static_cast<std::int64_t>(array->numEntries) + n >= array->capacity) {
        const std::int64_t capacity = static_cast<std::int64_t>(array->capacity) + array->capacity / 4 + n;
        if (capacity > INT32_MAX) {
            // Counts stay 32-bit: such an array could never be allocated anyway.
            OvErrorReport(ovPLUGINIDCORE, OvErrorCode(ovERRNOMEMORY, static_cast<std::size_t>(capacity)));
            return nullptr;
        }
        if (!Grow(array, static_cast<OvInt32>(capacity), hint)) {
            return nullptr;
        }
    }
    void* first = static_cast<char*>(array->data) + static_cast<std::size_t>(array->numEntries) * array->entrySize;
    array->numEntries += n;
    return first;
}

void* OvArrayGetData(const OvArray* array) { return array->numEntries == 0 ? nullptr : array->data; }

void* OvArrayGetEntry(const OvArray* array, OvInt32 index) {
    return static_cast<char*>(array->data) + static_cast<std::size_t>(index) * array->entrySize;
}

OvBool OvArrayDestroy(OvArray* array) {
    if (array->data != nullptr && array->capacity != 0) {
        OvFree(array->data);
    }
    OvFree(array);
    return TRUE;
}

void* OvArrayDestroyKeepData(OvArray* array) {
    void* data = array->data;
    if (array->numEntries == 0) {
        OvFree(data);
        data = nullptr;
    }
    OvFree(array);
    return data;
}
