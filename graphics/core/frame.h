#pragma once
// The frame module (engine module 0x403): the transform hierarchy. Each frame has a modelling
// matrix relative to its parent and a world matrix; objects hang on frames and are told when
// their frame moved. Changes are collected on the engine's dirty-frame list (roots only) and
// propagated in one pass by OvFrameSyncDirty.
//
// Also here: the object header shared by everything that hangs on a frame, and the
// object-with-frame link (OvObjectHasFrame) that cameras and the world plugin's objects use.

#include "graphics/core/matrix.h"
#include "graphics/core/memory.h"
#include "graphics/core/plugin.h"
#include "graphics/core/types.h"

struct OvStream;

// Object types in the header.
enum OvObjectType : OvUInt8 {
    ovFRAMEOBJECTTYPE = 0,  // a frame
    ovCAMERAOBJECTTYPE = 4, // a camera
};

// Header of frames and of every object that hangs on a frame (16 bytes).
struct OvObject {
    OvUInt8 type;         // OvObjectType
    OvUInt8 subType;      // kind-specific
    OvUInt8 flags;        // kind-specific public flags
    OvUInt8 privateFlags; // kind-specific private flags (OvFramePrivateFlag for frames)
    void* parent;         // a frame's parent frame; an object's frame
};

// Private flags of a frame.
enum OvFramePrivateFlag : OvUInt8 {
    ovFRAMEPRIVATEHIERARCHYSYNCLTM = 0x01, // on a root: world matrices of the hierarchy pending
    ovFRAMEPRIVATEHIERARCHYSYNCOBJ = 0x02, // on a root: objects of the hierarchy to sync
    ovFRAMEPRIVATESUBTREESYNCLTM = 0x04,   // own modelling matrix changed: own and descendants' world to redo
    ovFRAMEPRIVATESUBTREESYNCOBJ = 0x08,   // own objects to sync
    ovFRAMEPRIVATEHIERARCHYSYNC = 0x03,    // either hierarchy bit: the root is on the dirty list
    ovFRAMEPRIVATESUBTREESYNC = 0x0C,      // both subtree bits
};

// Node of the transform hierarchy; extension data follows (frame registry).
struct OvFrame {
    OvObject object;          // header, type ovFRAMEOBJECTTYPE; parent = parent frame or null
    OvLLLink inDirtyListLink; // link in the dirty-frame list while this frame is a root on it
    OvMatrix modelling;       // transform relative to the parent
    OvMatrix ltm;             // world matrix: modelling then the ancestors' modelling matrices
    OvLLLink objectList;      // circular list of attached objects (OvObjectHasFrame::lFrame)
    OvFrame* child;           // first child (newest first)
    OvFrame* next;            // next sibling
    OvFrame* root;            // top frame of the hierarchy (itself when it has no parent)
};

struct OvObjectHasFrame;
// Called when the object's frame was synchronised; returns the object.
using OvObjectHasFrameSyncFn = OvObjectHasFrame* (*)(OvObjectHasFrame* object);

// Header of an object that hangs on a frame.
struct OvObjectHasFrame {
    OvObject object;             // header; parent = the frame or null
    OvLLLink lFrame;             // link in the frame's object list
    OvObjectHasFrameSyncFn sync; // frame-sync callback
};

// A list of frames read from a stream.
struct OvFrameList {
    OvFrame** frames;  // owned array of frame pointers
    OvInt32 numFrames; // entries in the array
};

inline constexpr OvUInt32 ovFRAMELISTRECORDSIZE = 56; // bytes of one record in the struct chunk

// The module's data in the engine instance.
struct OvFrameModule {
    OvFreeList* freeList;      // frames
    OvFreeList freeListHeader; // static header of that list
};

void* OvFrameOpen(void* instance, OvInt32 offset, OvInt32 size);
// Run by OvEngineStop: frames still allocated go with the pool, nothing unlinked.
void* OvFrameClose(void* instance, OvInt32 offset, OvInt32 size);

// The frame registry (extension data of frames).
OvPluginRegistry* OvFrameGetRegistry();
OvInt32 OvFrameRegisterPlugin(OvInt32 size, OvUInt32 pluginID, OvPluginObjectConstructor constructCB,
                              OvPluginObjectDestructor destructCB, OvPluginObjectCopy copyCB);
OvInt32 OvFrameRegisterPluginStream(OvUInt32 pluginID, OvPluginDataChunkReadCallBack readCB,
                                    OvPluginDataChunkWriteCallBack writeCB, OvPluginDataChunkGetSizeCallBack getSizeCB);

OvFrame* OvFrameCreate();
// Initialises a frame record and runs the frame registry's constructors; returns the registry's
// result (null when a constructor failed).
const OvPluginRegistry* OvFrameInit(OvFrame* frame);
// Destroys the frame; its children become roots of their own hierarchies (not marked dirty)
// and objects hanging on it are left without a frame.
// Let go first what names it off its object list: a clump's root, a material effect, a body bound to its atomic.
OvBool OvFrameDestroy(OvFrame* frame);
// Destroys the frame and all its descendants (a null frame too); a frame with a parent is
// detached first.
// As for OvFrameDestroy, for every frame of the subtree.
OvBool OvFrameDestroyHierarchy(OvFrame* frame);

OvFrame* OvFrameAddChild(OvFrame* parent, OvFrame* child);
// Links the child without marking anything dirty.
OvFrame* OvFrameAddChildNoUpdate(OvFrame* parent, OvFrame* child);

using OvFrameCallBack = OvFrame* (*)(OvFrame* frame, void* data);
// Calls callback for each child (not deeper) until one returns null; returns the frame.
// The callback may detach or destroy the child it gets (the next is taken first), not its siblings.
OvFrame* OvFrameForAllChildren(OvFrame* frame, OvFrameCallBack callback, void* data);

inline OvFrame* OvFrameGetRoot(const OvFrame* frame) { return frame->root; }
inline OvFrame* OvFrameGetParent(const OvFrame* frame) { return static_cast<OvFrame*>(frame->object.parent); }
inline OvMatrix* OvFrameGetMatrix(OvFrame* frame) { return &frame->modelling; }
OvBool OvFrameIsDirty(const OvFrame* frame);
// The frame's world matrix, brought up to date (without object callbacks) when pending.
OvMatrix* OvFrameGetWorldMatrix(OvFrame* frame);

// Matrix operations on the modelling matrix, then OvFrameMarkDirty; null for a bad combine.
OvFrame* OvFrameTranslate(OvFrame* frame, const OvV3d* translation, OvOpCombineType combine);
OvFrame* OvFrameScale(OvFrame* frame, const OvV3d* scale, OvOpCombineType combine);
OvFrame* OvFrameTransform(OvFrame* frame, const OvMatrix* matrix, OvOpCombineType combine);
OvFrame* OvFrameRotate(OvFrame* frame, const OvV3d* axis, float angle, OvOpCombineType combine);
OvFrame* OvFrameSetIdentity(OvFrame* frame);

void OvFrameMarkDirty(OvFrame* frame);
// Synchronises every hierarchy on the dirty list; the list is empty afterwards. Returns TRUE.
OvBool OvFrameSyncDirty();
// Brings the world matrices of a root's hierarchy up to date without object callbacks.
void OvFrameSyncWorldMatrices(OvFrame* root);
void OvFrameSetRootRecursive(OvFrame* frame, OvFrame* root);

// Reads a frame-list chunk's body (the caller has found the type-14 header). Returns list or
// null; nothing is left allocated on failure.
OvFrameList* OvFrameListStreamRead(OvStream* stream, OvFrameList* list);
OvFrameList* OvFrameListDestroy(OvFrameList* list);

// Object-with-frame link.
inline OvFrame* OvObjectHasFrameGetFrame(const OvObjectHasFrame* object) {
    return static_cast<OvFrame*>(object->object.parent);
}
// Moves the object to a frame (null: none) and marks that frame dirty.
OvObjectHasFrame* OvObjectHasFrameSetFrame(OvObjectHasFrame* object, OvFrame* frame);
// Takes the object off its frame's object list; the frame pointer is kept.
OvObjectHasFrame* OvObjectHasFrameDetach(OvObjectHasFrame* object);
