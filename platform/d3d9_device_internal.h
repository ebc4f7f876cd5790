#pragma once
// The device's slot binding, shared by its files (d3d9_device.cpp: life, Reset, present and
// resources; d3d9_device_draw.cpp: copies, targets, clear, state and draws): a resource bound to a
// slot of the state holds a bind count on the object that owns it.

#include "platform/d3d9_device.h"

namespace d3d9 {

inline Object* OwnerOf(Surface* s) { return s->Owner(); }
inline Object* OwnerOf(Object* o) { return o; }

template <class T> void Device::Rebind(T*& slot, T* object) {
    if (slot == object)
        return;
    if (object != nullptr)
        OwnerOf(object)->Bind();
    T* old = slot;
    slot = object;
    if (old != nullptr)
        OwnerOf(old)->Unbind();
}

} // namespace d3d9
