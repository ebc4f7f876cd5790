#pragma once
// The graphics side of the physics engine: bodies bound to graphics atomics (the atomic extension
// that holds the body, the frame writer that moves the atomic's frame after a step) and the
// triangle-list sources over graphics worlds, world sectors, atomics and geometry, so that the
// physics engine collides with the level.

#include "graphics/world/clump.h"
#include "physics/core/context/objtypes.h"

// Plugin id of the atomic extension holding the bound body.
inline constexpr OvUInt32 ovpPLUGINIDBODY = 0x901;

// Registers the 4-byte atomic extension (it must run before the engine opens), installs the
// atomic-updating frame writer and the atomic-unbinding release in the body type and the
// triangle-list sources of the four graphics kinds. 1 on success, 0 when the registration failed.
OvBool OvpBodyPluginAttach();

// Binds the body to the atomic: the body held by the atomic so far is unbound first (its part
// matrix and user word cleared); then the body's part matrix becomes the modelling matrix of the
// atomic's frame, the body's dynamics follow it, and the body remembers the atomic. Null unbinds
// only. Returns the atomic, or null when the plugin is not attached or the atomic has no frame
// to bind to. A body destroyed while bound unbinds itself from its atomic; an atomic destroyed
// first unbinds its body. Unbind before the atomic's frame is destroyed or changed: the body keeps its matrix.
OvAtomic* OvpAtomicSetBodyObj(OvAtomic* atomic, OvpObj* body);
// The body bound to the atomic, or null.
OvpObj* OvpAtomicGetBodyObj(const OvAtomic* atomic);

// The body type's frame writer once the plugin is attached: the body's model matrix goes into
// the bound matrix, and the bound atomic's frame is marked changed.
void OvpBodyObjUpdateAtomic(OvpObj* body);
