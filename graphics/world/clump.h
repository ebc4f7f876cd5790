#pragma once
// Atomics (a geometry hung on a frame, with bounding spheres, a render callback and an optional
// pipeline) and clumps (atomics, lights and cameras under one frame hierarchy: the unit model
// files hold), with the clump, atomic and geometry-list chunk readers.

#include "graphics/core/camera.h"
#include "graphics/core/frame.h"
#include "graphics/core/types.h"
#include "graphics/core/vector.h"
#include "graphics/world/geometry.h"
#include "graphics/world/light.h"

struct OvPipeline;
struct OvResourceEntry;
struct OvStream;

inline constexpr OvUInt8 ovATOMICOBJECTTYPE = 1;
inline constexpr OvUInt8 ovCLUMPOBJECTTYPE = 2;

// Public flags of an atomic.
enum OvAtomicFlag : OvUInt8 {
    ovATOMICCOLLISIONTEST = 0x01,
    ovATOMICRENDER = 0x04, // the world render draws only atomics that have it
};
// Private flag: the local sphere or the frame changed since the world sphere was computed.
inline constexpr OvUInt8 ovATOMICPRIVATEWORLDBOUNDDIRTY = 0x01;
// Interpolator flag: the local sphere must be recomputed.
inline constexpr OvInt32 ovINTERPOLATORDIRTYSPHERE = 0x02;
// OvAtomicSetGeometry flag: keep the local sphere.
inline constexpr OvUInt32 ovATOMICSAMEBOUNDINGSPHERE = 0x01;

// Morph-target interpolation of an atomic.
struct OvInterpolator {
    OvInt32 flags; // ovINTERPOLATORDIRTYSPHERE
    OvInt16 startMorphTarget;
    OvInt16 endMorphTarget;
    float time;
    float recipTime;
    float position;
};

struct OvAtomic;
struct OvClump;
using OvAtomicCallBackRender = OvAtomic* (*)(OvAtomic* atomic);

// Atomic record; extension data follows (atomic registry).
struct OvAtomic {
    OvObjectHasFrame object;      // header (type 1), frame link, frame-sync callback
    OvResourceEntry* repEntry;    // instanced data
    OvGeometry* geometry;         // one reference held
    OvSphere boundingSphere;      // local
    OvSphere worldBoundingSphere; // world, cached
    OvClump* clump;               // owning clump, or null
    OvLLLink inClumpLink;         // link in the clump's atomic list
    OvAtomicCallBackRender renderCallBack;
    OvInterpolator interpolator;
    OvUInt16 renderFrame; // engine render frame of its last draw test
    OvLLLink sectorTies;  // its sector ties (world membership)
    OvPipeline* pipeline; // null: the default atomic pipeline
};

using OvClumpCallBack = OvClump* (*)(OvClump* clump, void* data);

// Clump record; extension data follows (clump registry).
struct OvClump {
    OvObject object;          // type 2; parent = the root frame
    OvLLLink atomicList;      // atomics (OvAtomic::inClumpLink)
    OvLLLink lightList;       // lights (clump-link extension)
    OvLLLink cameraList;      // cameras (clump-link extension)
    OvLLLink inWorldLink;     // link in its world's clump list
    OvClumpCallBack callback; // the identity at creation
};

// Clump link of lights and cameras (extension ovPLUGINIDCLUMPLINK).
struct OvClumpLink {
    OvClump* clump; // owning clump, or null
    OvLLLink link;  // link in the clump's light or camera list
};
OvClumpLink* OvLightGetClumpLink(OvLight* light);
// Takes the light or camera out of its clump's list and clears the link (nothing when it is in
// none); destroying a light or camera does it.
void OvClumpLinkLeave(OvClumpLink* link);
OvClumpLink* OvCameraGetClumpLink(OvCamera* camera);
OvLight* OvLightFromClumpLink(OvClumpLink* link);
OvCamera* OvCameraFromClumpLink(OvClumpLink* link);

// Bytes of the struct chunks of clumps and atomics.
inline constexpr OvUInt32 ovCLUMPSTRUCTSIZE = 12;
inline constexpr OvUInt32 ovATOMICSTRUCTSIZE = 16;

// The clump module's data in the engine instance.
struct OvClumpModule {
    OvFreeList* atomicFreeList;
    OvFreeList* clumpFreeList;
};

void* OvClumpOpen(void* instance, OvInt32 offset, OvInt32 size);
// Run by OvEngineStop: every clump and atomic left is destroyed (see OvClumpDestroyLeftovers).
void* OvClumpClose(void* instance, OvInt32 offset, OvInt32 size);
// Destroys every clump and then every atomic still allocated (engine stop).
void OvClumpDestroyLeftovers();

OvAtomic* OvAtomicCreate();
// Out of its clump's list, extension destructors, instanced data freed, geometry released, off
// its frame. TRUE.
// Destroy first the physics triangle lists made over it; its clump, world and bound body let go themselves.
OvBool OvAtomicDestroy(OvAtomic* atomic);
OvAtomic* OvAtomicSetGeometry(OvAtomic* atomic, OvGeometry* geometry, OvUInt32 flags);
inline OvGeometry* OvAtomicGetGeometry(const OvAtomic* atomic) { return atomic->geometry; }
OvAtomic* OvAtomicSetFrame(OvAtomic* atomic, OvFrame* frame);
inline OvFrame* OvAtomicGetFrame(const OvAtomic* atomic) { return OvObjectHasFrameGetFrame(&atomic->object); }
const OvSphere* OvAtomicGetWorldBoundingSphere(OvAtomic* atomic);
OvAtomic* OvAtomicInterpolatorUpdate(OvAtomic* atomic);
// Executes the atomic's pipeline (or the default one); the atomic, or null on failure.
OvAtomic* OvAtomicDefaultRenderCallback(OvAtomic* atomic);
// Reads an atomic chunk's body with the clump's frame and geometry lists (empty geometry list:
// the atomic's own geometry chunk follows). Null on failure.
OvAtomic* OvAtomicStreamRead(OvStream* stream, const OvFrameList* frameList, OvGeometry** geometries,
                             OvInt32 numGeometries);

using OvAtomicCallBack = OvAtomic* (*)(OvAtomic* atomic, void* data);
using OvLightCallBack = OvLight* (*)(OvLight* light, void* data);
using OvCameraCallBack = OvCamera* (*)(OvCamera* camera, void* data);

OvClump* OvClumpCreate();
// Destroys its atomics, lights, cameras and frame hierarchy. TRUE.
// What names its members or frames from outside lets go first, as for OvAtomicDestroy and OvFrameDestroy.
OvBool OvClumpDestroy(OvClump* clump);
inline OvFrame* OvClumpGetFrame(const OvClump* clump) { return static_cast<OvFrame*>(clump->object.parent); }
inline OvClump* OvClumpSetFrame(OvClump* clump, OvFrame* frame) {
    clump->object.parent = frame;
    return clump;
}
// Links the atomic, light or camera at the front of the clump's list (out of the clump it was in).
OvClump* OvClumpAddAtomic(OvClump* clump, OvAtomic* atomic);
OvClump* OvClumpAddLight(OvClump* clump, OvLight* light);
OvClump* OvClumpAddCamera(OvClump* clump, OvCamera* camera);
// Callbacks in list order until one returns null (the next member is fetched first, so a
// callback may remove the one it gets). Return the clump.
OvClump* OvClumpForAllAtomics(OvClump* clump, OvAtomicCallBack callback, void* data);
OvClump* OvClumpForAllLights(OvClump* clump, OvLightCallBack callback, void* data);
OvClump* OvClumpForAllCameras(OvClump* clump, OvCameraCallBack callback, void* data);
OvInt32 OvClumpGetNumAtomics(const OvClump* clump);
OvInt32 OvClumpGetNumLights(const OvClump* clump);
OvInt32 OvClumpGetNumCameras(const OvClump* clump);
// Reads a clump chunk's body (the caller found chunk 16); the clump or null.
OvClump* OvClumpStreamRead(OvStream* stream);
