#include "physics/graphics/body_atomic.h"

#include "graphics/core/frame.h"
#include "graphics/world/world_plugin.h"
#include "physics/graphics/trilist_sources.h"

namespace {

OvInt32 gBodyOffset = -1; // of the atomic extension; negative until attached

OvpObj** Slot(const OvAtomic* atomic) {
    return reinterpret_cast<OvpObj**>(reinterpret_cast<char*>(const_cast<OvAtomic*>(atomic)) + gBodyOffset);
}

// A body whose atomic is gone must not keep writing into the atomic's frame.
void Unbind(OvpObj* body) {
    if (body != nullptr) {
        body->parts[0].matrix = nullptr;
        body->user = nullptr;
    }
}

void* Construct(void* object, OvInt32 offset, OvInt32) {
    *reinterpret_cast<OvpObj**>(static_cast<char*>(object) + offset) = nullptr;
    return object;
}

void* Destruct(void* object, OvInt32 offset, OvInt32) {
    OvpObj** slot = reinterpret_cast<OvpObj**>(static_cast<char*>(object) + offset);
    Unbind(*slot);
    *slot = nullptr;
    return object;
}

void* Copy(void* destination, const void*, OvInt32, OvInt32) { return destination; }

// A body freed while bound: its atomic no longer holds it (a bound atomic is alive: one destroyed
// first unbinds its body).
void Release(OvpObj* body) {
    if (auto* atomic = static_cast<OvAtomic*>(body->user); atomic != nullptr && *Slot(atomic) == body) {
        *Slot(atomic) = nullptr;
    }
    Unbind(body);
}

} // namespace

OvBool OvpBodyPluginAttach() {
    const OvInt32 offset =
        OvAtomicRegisterPlugin(static_cast<OvInt32>(sizeof(OvpObj*)), ovpPLUGINIDBODY, Construct, Destruct, Copy);
    if (offset < 0) {
        return 0;
    }
    gBodyOffset = offset;
    ovpBodyObjType.updateFrames = OvpBodyObjUpdateAtomic;
    ovpBodyObjType.release = Release;
    OvpTrilistInstallGraphicsSources();
    return 1;
}

OvAtomic* OvpAtomicSetBodyObj(OvAtomic* atomic, OvpObj* body) {
    if (gBodyOffset < 0 || atomic == nullptr) {
        return nullptr;
    }
    OvpObj** slot = Slot(atomic);
    Unbind(*slot);
    *slot = nullptr;
    if (body == nullptr) {
        return atomic;
    }
    OvFrame* frame = OvAtomicGetFrame(atomic);
    if (frame == nullptr) {
        return nullptr;
    }
    // A body moves one atomic: its previous atomic lets it go.
    if (auto* previous = static_cast<OvAtomic*>(body->user); previous != nullptr && previous != atomic) {
        *Slot(previous) = nullptr;
    }
    body->parts[0].matrix = OvFrameGetMatrix(frame);
    OvpObjSetPartFromMatrix(body, 0);
    body->user = atomic;
    *slot = body;
    return atomic;
}

OvpObj* OvpAtomicGetBodyObj(const OvAtomic* atomic) {
    return gBodyOffset < 0 || atomic == nullptr ? nullptr : *Slot(atomic);
}

void OvpBodyObjUpdateAtomic(OvpObj* body) {
    OvpBodyObjSyncFrame(body);
    if (const auto* atomic = static_cast<const OvAtomic*>(body->user);
        atomic != nullptr && body->parts[0].matrix != nullptr) {
        if (OvFrame* frame = OvAtomicGetFrame(atomic)) {
            OvFrameMarkDirty(frame);
        }
    }
}
