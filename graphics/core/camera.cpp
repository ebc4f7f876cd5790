#include "graphics/core/camera.h"

#include <cmath>

#include "graphics/core/engine.h"
#include "graphics/core/error.h"
#include "graphics/core/chunk.h"
#include "graphics/core/stream.h"

namespace {

OvInt32 gCameraModuleOffset = -1; // offset of OvCameraModule in the engine instance
OvPluginRegistry gCameraRegistry = OvPluginRegistryInitialValue(sizeof(OvCamera));

constexpr OvUInt32 kCameraObjectId = 0x05;
constexpr OvInt32 kCamerasPerBlock = 4;
constexpr float kZRangeMargin = 0.0001f; // share of the z range kept free at both ends

inline OvCameraModule* Module() {
    return reinterpret_cast<OvCameraModule*>(reinterpret_cast<char*>(OvEngineInstancePtr) + gCameraModuleOffset);
}

void MarkFrameDirty(OvCamera* camera) {
    OvFrame* frame = OvCameraGetFrame(camera);
    if (frame != nullptr) {
        OvFrameMarkDirty(frame);
    }
}

// Depth scale and shift that map 1/distance (perspective) or distance (parallel) between the
// clip planes onto the device's z range, less a small margin at both ends.
void ComputeZ(OvCamera* camera) {
    const OvDevice& device = OvEngineInstancePtr->dOpenDevice;
    const float d = (device.zBufferFar - device.zBufferNear) * kZRangeMargin;
    const float zn = device.zBufferNear + d;
    const float zf = device.zBufferFar - d;
    float n, f;
    if (camera->projectionType == ovPARALLEL) {
        n = camera->nearPlane;
        f = camera->farPlane;
    } else {
        n = 1.0f / camera->nearPlane;
        f = 1.0f / camera->farPlane;
    }
    camera->zScale = (zf - zn) / (f - n);
    camera->zShift = (zf + zn - (n + f) * camera->zScale) * 0.5f;
}

void BuildViewMatrix(OvCamera* camera, const OvMatrix* world) {
    const OvV3d& R = world->right;
    const OvV3d& U = world->up;
    const OvV3d& A = world->at;
    const OvV3d& P = world->pos;
    const float ox = camera->viewOffset.x, oy = camera->viewOffset.y;
    const float a = -0.5f * camera->recipViewWindow.x;
    const float b = -0.5f * camera->recipViewWindow.y;
    float k, l;
    if (camera->projectionType == ovPARALLEL) {
        k = -(ox * a);
        l = oy * b;
    } else {
        k = 0.5f - ox * a;
        l = 0.5f + oy * b;
    }
    OvMatrix& V = camera->viewMatrix;
    V.right.x = a * R.x + k * A.x;
    V.up.x = a * R.y + k * A.y;
    V.at.x = a * R.z + k * A.z;
    const OvV3d cx = {V.right.x, V.up.x, V.at.x};
    V.pos.x = 0.5f - (OvV3dDotProduct(&P, &cx) + k);
    V.right.y = b * U.x + l * A.x;
    V.up.y = b * U.y + l * A.y;
    V.at.y = b * U.z + l * A.z;
    const OvV3d cy = {V.right.y, V.up.y, V.at.y};
    V.pos.y = 0.5f - (OvV3dDotProduct(&P, &cy) + l);
    V.right.z = A.x;
    V.up.z = A.y;
    V.at.z = A.z;
    V.pos.z = -OvV3dDotProduct(&P, &A);
    OvMatrixOptimize(&V, nullptr);
}

void BuildCorners(OvCamera* camera, const OvMatrix* world) {
    const float w = camera->viewWindow.x, h = camera->viewWindow.y;
    const float ox = camera->viewOffset.x, oy = camera->viewOffset.y;
    const float signW[4] = {1.0f, -1.0f, -1.0f, 1.0f};
    const float signH[4] = {1.0f, 1.0f, -1.0f, -1.0f};
    OvV3d* corners = camera->frustumCorners;
    if (camera->projectionType == ovPARALLEL) {
        const float depth[2] = {camera->nearPlane, camera->farPlane};
        for (int d = 0; d < 2; ++d) {
            const float z = depth[d];
            for (int i = 0; i < 4; ++i) {
                corners[d * 4 + i] = {-ox * (1.0f - z) + signW[i] * w, oy * (1.0f - z) + signH[i] * h, z};
            }
        }
        OvV3dTransformPoints(corners, corners, 8, world);
        return;
    }
    const OvV3d& R = world->right;
    const OvV3d& U = world->up;
    const OvV3d& A = world->at;
    const OvV3d& P = world->pos;
    OvV3d offset, origin;
    const OvV3d offR = {-ox * R.x, -ox * R.y, -ox * R.z};
    const OvV3d offU = {oy * U.x, oy * U.y, oy * U.z};
    OvV3dAdd(&offset, &offR, &offU);
    OvV3dAdd(&origin, &P, &offset);
    for (int i = 0; i < 4; ++i) {
        const float sw = signW[i] * w, sh = signH[i] * h;
        const OvV3d c = {A.x + sw * R.x + sh * U.x, A.y + sw * R.y + sh * U.y, A.z + sw * R.z + sh * U.z};
        OvV3d dir, scaled;
        OvV3dSub(&dir, &c, &offset);
        OvV3dScale(&scaled, &dir, camera->nearPlane);
        OvV3dAdd(&corners[i], &origin, &scaled);
        OvV3dScale(&scaled, &dir, camera->farPlane);
        OvV3dAdd(&corners[4 + i], &origin, &scaled);
    }
}

void SetSelectors(OvFrustumPlane* plane) {
    plane->closestX = std::signbit(plane->plane.normal.x) ? 0 : 1;
    plane->closestY = std::signbit(plane->plane.normal.y) ? 0 : 1;
    plane->closestZ = std::signbit(plane->plane.normal.z) ? 0 : 1;
    plane->pad = 0;
}

// Side plane through corner p with the normal (u x v), normalised.
void SidePlane(OvFrustumPlane* plane, const OvV3d* u, const OvV3d* v, const OvV3d* p) {
    OvV3d normal;
    OvV3dCrossProduct(&normal, u, v);
    OvV3dScale(&plane->plane.normal, &normal, OvInvSqrt(OvV3dDotProduct(&normal, &normal)));
    plane->plane.distance = OvV3dDotProduct(&plane->plane.normal, p);
}

void BuildPlanes(OvCamera* camera, const OvMatrix* world) {
    const OvV3d* n = camera->frustumCorners;
    const OvV3d* f = camera->frustumCorners + 4;
    OvFrustumPlane* planes = camera->frustumPlanes;
    const OvV3d& A = world->at;
    planes[ovFRUSTUMPLANEFAR].plane = {A, OvV3dDotProduct(&A, &f[0])};
    const OvV3d minusA = {-A.x, -A.y, -A.z};
    planes[ovFRUSTUMPLANENEAR].plane = {minusA, OvV3dDotProduct(&minusA, &n[0])};
    OvV3d u, v;
    OvV3dSub(&u, &n[1], &f[1]);
    OvV3dSub(&v, &f[2], &f[1]);
    SidePlane(&planes[ovFRUSTUMPLANELEFT], &u, &v, &n[1]);
    OvV3dSub(&u, &f[0], &f[1]);
    OvV3dSub(&v, &n[1], &f[1]);
    SidePlane(&planes[ovFRUSTUMPLANETOP], &u, &v, &n[1]);
    OvV3dSub(&u, &n[3], &f[3]);
    OvV3dSub(&v, &f[0], &f[3]);
    SidePlane(&planes[ovFRUSTUMPLANERIGHT], &u, &v, &n[3]);
    OvV3dSub(&u, &f[2], &f[3]);
    OvV3dSub(&v, &n[3], &f[3]);
    SidePlane(&planes[ovFRUSTUMPLANEBOTTOM], &u, &v, &n[3]);
    for (int i = 0; i < 6; ++i) {
        SetSelectors(&planes[i]);
    }
}

// Frame-sync callback: the frame's world matrix is up to date when objects are synced.
OvObjectHasFrame* CameraSync(OvObjectHasFrame* object) {
    OvCamera* camera = reinterpret_cast<OvCamera*>(object);
    const OvMatrix* world = &OvCameraGetFrame(camera)->ltm;
    BuildViewMatrix(camera, world);
    BuildCorners(camera, world);
    BuildPlanes(camera, world);
    OvBBoxCalculate(&camera->frustumBoundBox, camera->frustumCorners, 8);
    return object;
}

OvCamera* AllocCamera() {
    OvCamera* camera =
        static_cast<OvCamera*>(OvFreeListEntryAlloc(Module()->freeList, ovMEMHINTDUR_OBJECT | kCameraObjectId));
    if (camera != nullptr) {
        *camera = {};
        camera->object.object.type = ovCAMERAOBJECTTYPE;
        OvLLLinkInitHead(&camera->object.lFrame);
        camera->object.sync = CameraSync;
    }
    return camera;
}

void FreeCamera(OvCamera* camera) { OvFreeListEntryFree(Module()->freeList, camera); }

} // namespace

void* OvCameraOpen(void* instance, OvInt32 offset, OvInt32 /*size*/) {
    gCameraModuleOffset = offset;
    OvCameraModule* module = reinterpret_cast<OvCameraModule*>(static_cast<char*>(instance) + offset);
    module->freeList =
        OvFreeListCreate(gCameraRegistry.sizeOfStruct, kCamerasPerBlock, 0, ovMEMHINTDUR_GLOBAL | kCameraObjectId);
    return module->freeList != nullptr ? instance : nullptr;
}

void* OvCameraClose(void* instance, OvInt32 offset, OvInt32 /*size*/) {
    OvCameraModule* module = reinterpret_cast<OvCameraModule*>(static_cast<char*>(instance) + offset);
    if (module->freeList != nullptr) {
        OvFreeListDestroy(module->freeList);
        module->freeList = nullptr;
    }
    return instance;
}

OvPluginRegistry* OvCameraGetRegistry() { return &gCameraRegistry; }

OvInt32 OvCameraRegisterPlugin(OvInt32 size, OvUInt32 pluginID, OvPluginObjectConstructor constructCB,
                               OvPluginObjectDestructor destructCB, OvPluginObjectCopy copyCB) {
    return OvPluginRegistryAddPlugin(&gCameraRegistry, size, pluginID, constructCB, destructCB, copyCB);
}

namespace {

// A camera with the defaults of a new one and its extensions constructed; null when memory or a
// constructor fails.
OvCamera* MakeCamera() {
    OvCamera* camera = AllocCamera();
    if (camera == nullptr) {
        return nullptr;
    }
    camera->beginUpdate = OvCameraDefaultBeginUpdate;
    camera->endUpdate = OvCameraDefaultEndUpdate;
    camera->projectionType = ovPERSPECTIVE;
    camera->viewWindow = {1.0f, 1.0f};
    camera->recipViewWindow = {1.0f, 1.0f};
    camera->viewOffset = {0.0f, 0.0f};
    camera->nearPlane = 0.05f;
    camera->farPlane = 10.0f;
    camera->fogPlane = 5.0f;
    ComputeZ(camera);
    camera->viewMatrix.flags = 0;
    if (OvPluginRegistryInitObject(&gCameraRegistry, camera) == nullptr) {
        FreeCamera(camera);
        return nullptr;
    }
    return camera;
}

} // namespace

OvCamera* OvCameraCreate() { return MakeCamera(); }

OvBool OvCameraDestroy(OvCamera* camera) {
    OvPluginRegistryDeInitObject(&gCameraRegistry, camera);
    OvObjectHasFrameDetach(&camera->object);
    FreeCamera(camera);
    return 1;
}

OvCamera* OvCameraClone(OvCamera* camera) {
    // The extensions are constructed as for a new camera before anything is copied: a constructor that
    // wraps the update callbacks wraps the defaults, and the copy then takes the source's callbacks.
    OvCamera* clone = MakeCamera();
    if (clone == nullptr) {
        return nullptr;
    }
    clone->beginUpdate = camera->beginUpdate;
    clone->endUpdate = camera->endUpdate;
    clone->viewWindow = camera->viewWindow;
    clone->recipViewWindow = camera->recipViewWindow;
    clone->viewOffset = camera->viewOffset;
    clone->nearPlane = camera->nearPlane;
    clone->farPlane = camera->farPlane;
    clone->fogPlane = camera->fogPlane;
    clone->frameBuffer = camera->frameBuffer;
    clone->zBuffer = camera->zBuffer;
    clone->projectionType = camera->projectionType;
    ComputeZ(clone);
    OvPluginRegistryCopyObject(&gCameraRegistry, clone, camera);
    if (OvCameraGetFrame(camera) != nullptr) {
        OvObjectHasFrameSetFrame(&clone->object, OvCameraGetFrame(camera));
    }
    return clone;
}

OvCamera* OvCameraBeginUpdate(OvCamera* camera) { return camera->beginUpdate(camera); }
OvCamera* OvCameraEndUpdate(OvCamera* camera) { return camera->endUpdate(camera); }

OvCamera* OvCameraDefaultBeginUpdate(OvCamera* camera) {
    OvEngineInstancePtr->curCamera = camera;
    OvFrameSyncDirty();
    return OvStandardCall(ovSTANDARDCAMERABEGINUPDATE, nullptr, camera, 0) > 0 ? camera : nullptr;
}

OvCamera* OvCameraDefaultEndUpdate(OvCamera* camera) {
    if (OvStandardCall(ovSTANDARDCAMERAENDUPDATE, nullptr, camera, 0) <= 0) {
        return nullptr;
    }
    OvEngineInstancePtr->curCamera = nullptr;
    return camera;
}

OvCamera* OvCameraSetViewWindow(OvCamera* camera, const OvV2d* viewWindow) {
    camera->viewWindow = *viewWindow;
    camera->recipViewWindow = {1.0f / viewWindow->x, 1.0f / viewWindow->y};
    MarkFrameDirty(camera);
    return camera;
}

OvCamera* OvCameraSetViewOffset(OvCamera* camera, const OvV2d* offset) {
    camera->viewOffset = *offset;
    MarkFrameDirty(camera);
    return camera;
}

OvCamera* OvCameraSetNearClipPlane(OvCamera* camera, float nearPlane) {
    camera->nearPlane = nearPlane;
    ComputeZ(camera);
    MarkFrameDirty(camera);
    return camera;
}

OvCamera* OvCameraSetFarClipPlane(OvCamera* camera, float farPlane) {
    camera->farPlane = farPlane;
    ComputeZ(camera);
    MarkFrameDirty(camera);
    return camera;
}

OvCamera* OvCameraSetProjection(OvCamera* camera, OvInt32 projection) {
    if (projection != ovPERSPECTIVE && projection != ovPARALLEL) {
        OvErrorReport(ovPLUGINIDCORE, OvErrorCode(ovERRINVALIDVALUE, "Invalid projection type specified"));
        return nullptr;
    }
    camera->projectionType = projection;
    ComputeZ(camera);
    MarkFrameDirty(camera);
    return camera;
}

OvInt32 OvCameraFrustumTestSphere(const OvCamera* camera, const OvSphere* sphere) {
    OvInt32 result = ovSPHEREINSIDE;
    for (const OvFrustumPlane& fp : camera->frustumPlanes) {
        const float d = OvV3dDotProduct(&fp.plane.normal, &sphere->center) - fp.plane.distance;
        if (d > sphere->radius) {
            return ovSPHEREOUTSIDE;
        }
        if (d > -sphere->radius) {
            result = ovSPHEREBOUNDARY;
        }
    }
    return result;
}

OvCamera* OvCameraClear(OvCamera* camera, OvRGBA* colour, OvInt32 clearMode) {
    return OvStandardCall(ovSTANDARDCAMERACLEAR, camera, colour, clearMode) > 0 ? camera : nullptr;
}

OvCamera* OvCameraShowRaster(OvCamera* camera, void* window, OvUInt32 flags) {
    if (camera->frameBuffer == nullptr) {
        return nullptr;
    }
    return OvRasterShowRaster(camera->frameBuffer, window, flags) != nullptr ? camera : nullptr;
}

OvCamera* OvCameraStreamRead(OvStream* stream) {
    OvUInt32 length = 0;
    OvUInt32 version = 0;
    if (!OvStreamFindChunk(stream, ovID_STRUCT, &length, &version)) {
        return nullptr;
    }
    // A longer struct (a later writer's) is read as far as this one goes and the rest skipped;
    // a shorter one leaves the remaining fields zero.
    OvUInt8 data[ovCAMERASTRUCTSIZE] = {};
    const OvUInt32 wanted = length < ovCAMERASTRUCTSIZE ? length : ovCAMERASTRUCTSIZE;
    if (OvStreamRead(stream, data, wanted) != wanted) {
        return nullptr;
    }
    if (length > wanted && OvStreamSkip(stream, length - wanted) == nullptr) {
        return nullptr;
    }
    OvCamera* camera = OvCameraCreate();
    if (camera == nullptr) {
        return nullptr;
    }
    if (OvPluginRegistryReadDataChunks(&gCameraRegistry, stream, camera) == nullptr) {
        OvCameraDestroy(camera);
        return nullptr;
    }
    const OvV2d viewWindow = {OvChunkGetReal(data), OvChunkGetReal(data + 4)};
    const OvV2d viewOffset = {OvChunkGetReal(data + 8), OvChunkGetReal(data + 12)};
    OvCameraSetViewWindow(camera, &viewWindow);
    OvCameraSetViewOffset(camera, &viewOffset);
    OvCameraSetNearClipPlane(camera, OvChunkGetReal(data + 16));
    OvCameraSetFarClipPlane(camera, OvChunkGetReal(data + 20));
    camera->fogPlane = OvChunkGetReal(data + 24);
    // A projection that is neither perspective nor parallel is reported by the setter; the camera
    // keeps its perspective.
    OvCameraSetProjection(camera, static_cast<OvInt32>(OvChunkGetUInt32(data + 28)));
    return camera;
}
