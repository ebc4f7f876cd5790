#pragma once
// The camera module (engine module 0x405): a view hanging on a frame. When its frame moves the
// camera rebuilds its view matrix, six frustum planes, eight frustum corners and their bounding
// box. Rendering a view is bracketed by begin-update and end-update through the driver.

#include "graphics/core/frame.h"
#include "graphics/core/matrix.h"
#include "graphics/core/memory.h"
#include "graphics/core/plugin.h"
#include "graphics/core/raster.h"
#include "graphics/core/types.h"
#include "graphics/core/vector.h"

struct OvStream;

// Colour with 8-bit channels (4 bytes).
struct OvRGBA {
    OvUInt8 red;   // 0..255
    OvUInt8 green; // 0..255
    OvUInt8 blue;  // 0..255
    OvUInt8 alpha; // 0..255
};

// Plane: points p with normal . p = distance lie on it (16 bytes).
struct OvPlane {
    OvV3d normal;   // unit normal pointing out of the frustum
    float distance; // distance from the origin along the normal
};

// Frustum plane with the corner selectors of box tests (20 bytes).
struct OvFrustumPlane {
    OvPlane plane;    // the plane
    OvUInt8 closestX; // 1 when normal.x >= 0 (use the box's minimum x), else 0 (its maximum)
    OvUInt8 closestY; // likewise for y
    OvUInt8 closestZ; // likewise for z
    OvUInt8 pad;      // spare
};

enum OvCameraProjection : OvInt32 {
    ovPERSPECTIVE = 1, // perspective projection
    ovPARALLEL = 2,    // parallel projection
};

// Clear flags of OvCameraClear.
enum OvCameraClearMode : OvInt32 {
    ovCAMERACLEARIMAGE = 0x1,   // the frame buffer
    ovCAMERACLEARZ = 0x2,       // the z-buffer
    ovCAMERACLEARSTENCIL = 0x4, // the stencil buffer
};

// Frustum planes in the order they are stored.
enum OvFrustumPlaneIndex : OvInt32 {
    ovFRUSTUMPLANEFAR = 0,
    ovFRUSTUMPLANENEAR = 1,
    ovFRUSTUMPLANELEFT = 2,   // the -w side of the view window
    ovFRUSTUMPLANETOP = 3,    // the +h side
    ovFRUSTUMPLANERIGHT = 4,  // the +w side
    ovFRUSTUMPLANEBOTTOM = 5, // the -h side
};

// Result of OvCameraFrustumTestSphere.
enum OvFrustumTestResult : OvInt32 {
    ovSPHEREOUTSIDE = 0,  // entirely outside one plane
    ovSPHEREBOUNDARY = 1, // crosses a plane
    ovSPHEREINSIDE = 2,   // inside every plane
};

struct OvCamera;
using OvCameraBeginUpdateFn = OvCamera* (*)(OvCamera* camera);
using OvCameraEndUpdateFn = OvCamera* (*)(OvCamera* camera);

// Camera record; extension data follows (camera registry).
struct OvCamera {
    OvObjectHasFrame object;           // header (type ovCAMERAOBJECTTYPE), frame link, frustum rebuild
    OvInt32 projectionType;            // OvCameraProjection
    OvCameraBeginUpdateFn beginUpdate; // begin-update callback
    OvCameraEndUpdateFn endUpdate;     // end-update callback
    OvMatrix viewMatrix;               // world to screen-space coordinates (x, y in 0..1 after divide)
    OvRaster* frameBuffer;             // colour target, or null
    OvRaster* zBuffer;                 // depth target, or null
    OvV2d viewWindow;                  // half-width, half-height of the view at distance 1
    OvV2d recipViewWindow;             // 1 / viewWindow
    OvV2d viewOffset;                  // offset of the view centre
    float nearPlane;                   // near clip distance
    float farPlane;                    // far clip distance
    float fogPlane;                    // fog start distance
    float zScale;                      // depth scale from the device's z range
    float zShift;                      // depth shift from the device's z range
    OvFrustumPlane frustumPlanes[6];   // OvFrustumPlaneIndex order
    OvBBox frustumBoundBox;            // box of the eight corners
    OvV3d frustumCorners[8];           // near (+w,+h), (-w,+h), (-w,-h), (+w,-h), then the far ones
};

// Bytes of the struct chunk of a camera chunk (type 5: struct chunk, then extension chunk).
inline constexpr OvUInt32 ovCAMERASTRUCTSIZE = 32;

// The module's data in the engine instance.
struct OvCameraModule {
    OvFreeList* freeList; // cameras
};

void* OvCameraOpen(void* instance, OvInt32 offset, OvInt32 size);
// Run by OvEngineStop: cameras still allocated go with the pool, nothing unlinked.
void* OvCameraClose(void* instance, OvInt32 offset, OvInt32 size);

OvPluginRegistry* OvCameraGetRegistry();
OvInt32 OvCameraRegisterPlugin(OvInt32 size, OvUInt32 pluginID, OvPluginObjectConstructor constructCB,
                               OvPluginObjectDestructor destructCB, OvPluginObjectCopy copyCB);

OvCamera* OvCameraCreate();
// Close the 2D toolkit on it (or give it another camera) first, outside its update; world, clump and frame let go.
OvBool OvCameraDestroy(OvCamera* camera);
OvCamera* OvCameraClone(OvCamera* camera);

inline OvCamera* OvCameraSetFrame(OvCamera* camera, OvFrame* frame) {
    OvObjectHasFrameSetFrame(&camera->object, frame);
    return camera;
}
inline OvFrame* OvCameraGetFrame(const OvCamera* camera) { return OvObjectHasFrameGetFrame(&camera->object); }

OvCamera* OvCameraBeginUpdate(OvCamera* camera);
OvCamera* OvCameraEndUpdate(OvCamera* camera);
// The callbacks a new camera gets.
OvCamera* OvCameraDefaultBeginUpdate(OvCamera* camera);
OvCamera* OvCameraDefaultEndUpdate(OvCamera* camera);

OvCamera* OvCameraSetViewWindow(OvCamera* camera, const OvV2d* viewWindow);
OvCamera* OvCameraSetViewOffset(OvCamera* camera, const OvV2d* offset);
OvCamera* OvCameraSetNearClipPlane(OvCamera* camera, float nearPlane);
OvCamera* OvCameraSetFarClipPlane(OvCamera* camera, float farPlane);
// 1 or 2; any other value reports 0x80000003 and returns null.
OvCamera* OvCameraSetProjection(OvCamera* camera, OvInt32 projection);

// 0 outside, 1 crossing a plane, 2 inside.
OvInt32 OvCameraFrustumTestSphere(const OvCamera* camera, const OvSphere* sphere);

OvCamera* OvCameraClear(OvCamera* camera, OvRGBA* colour, OvInt32 clearMode);
OvCamera* OvCameraShowRaster(OvCamera* camera, void* window, OvUInt32 flags);

// Reads a camera chunk's body (the caller has found the type-5 header); null on failure, with
// nothing left allocated.
OvCamera* OvCameraStreamRead(OvStream* stream);
