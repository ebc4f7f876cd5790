#pragma once
// Arrays in engine memory: growable arrays, arrays of owned engine objects, and among them the
// tables that hold one object per registered class at the class's registry index (an action
// class's actions, an entity's attributes).

#include <cstdint>
#include <cstring>

#include "ai/runtime/allocator.h"
#include "ai/runtime/class_desc.h"
#include "platform/crt.h"

namespace Vusk {

// Makes room for one more entry in a growable array of engine memory: when it is full, the
// array is replaced by one of `first` entries (none yet) or of twice the capacity, holding the
// same entries. False, array unchanged, when memory runs out or the capacity would not fit in
// 32 bits.
template <class T> bool MakeRoom(T*& array, std::uint32_t count, std::uint32_t& capacity, std::uint32_t first) {
    if (count < capacity)
        return true;
    const std::uint32_t grown = capacity == 0 ? first : capacity * 2;
    if (grown <= capacity)
        return false;
    auto* larger = static_cast<T*>(EngineAllocate(sizeof(T) * grown));
    if (larger == nullptr)
        return false;
    if (count != 0)
        std::memcpy(static_cast<void*>(larger), array, sizeof(T) * count);
    EngineFree(array);
    array = larger;
    capacity = grown;
    return true;
}

// Array of count null pointers in engine memory; null for 0 or when memory runs out.
template <class T> T** AllocatePointers(std::uint32_t count) {
    if (count == 0)
        return nullptr;
    T** array = static_cast<T**>(EngineAllocate(sizeof(T*) * count));
    if (array != nullptr)
        std::memset(array, 0, sizeof(T*) * count);
    return array;
}

// Deletes the first count objects of the array (null ones are skipped) and frees it.
template <class T> void FreeSlots(T** slots, std::uint32_t count) {
    for (std::uint32_t i = 0; i < count; ++i)
        delete slots[i];
    EngineFree(slots);
}

// The object in the descriptor's slot; null without a descriptor, past the table or when none is made.
template <class T, class Desc> T* SlotOf(T* const* slots, std::uint32_t count, const Desc* descriptor) {
    if (descriptor == nullptr)
        return nullptr;
    const std::uint32_t index = static_cast<std::uint32_t>(descriptor->GetIndex());
    return index < count ? slots[index] : nullptr;
}

// Makes an object of the descriptor's class into its slot; a second creation replaces (and deletes)
// the first object instead of losing it. Null without a descriptor, past the table, for an abstract
// class or when the class's create function fails; the slot is then left as it was.
template <class T, class Desc> T* CreateInSlot(T** slots, std::uint32_t count, const Desc* descriptor) {
    if (descriptor == nullptr)
        return nullptr;
    const std::uint32_t index = static_cast<std::uint32_t>(descriptor->GetIndex());
    if (index >= count || descriptor->GetCreateFunction() == nullptr)
        return nullptr;
    T* object = descriptor->GetCreateFunction()();
    if (object == nullptr)
        return nullptr;
    delete slots[index];
    slots[index] = object;
    return object;
}

// The first of the count objects whose class is the descriptor's or derives from it; null when none.
template <class T, class Desc> T* FirstOfKind(T* const* objects, std::uint32_t count, const Desc* descriptor) {
    for (std::uint32_t i = 0; i < count; ++i)
        if (IsKindOf(objects[i]->GetClassDesc(), descriptor))
            return objects[i];
    return nullptr;
}

// The first of the count entries whose m_name is `name` (ASCII case-insensitive); null when none or
// for a null name.
template <class Entry> Entry* FindNamed(Entry* const* entries, std::uint32_t count, const char* name) {
    if (name == nullptr)
        return nullptr;
    for (std::uint32_t i = 0; i < count; ++i)
        if (_stricmp(entries[i]->m_name, name) == 0)
            return entries[i];
    return nullptr;
}

} // namespace Vusk
