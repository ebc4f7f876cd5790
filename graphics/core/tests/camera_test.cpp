#include "graphics/core/camera.h"

#include <cmath>

#include "graphics/core/tests/started_engine.h"

namespace {

using CameraTest = StartedEngine;

void ExpectV3(const OvV3d& v, float x, float y, float z, float tol = 1e-5f) {
    EXPECT_NEAR(v.x, x, tol);
    EXPECT_NEAR(v.y, y, tol);
    EXPECT_NEAR(v.z, z, tol);
}

// The camera of the worked example: identity frame, window (1, 1), offset 0, near 1, far 2.
OvCamera* ExampleCamera(OvFrame** frame) {
    *frame = OvFrameCreate();
    OvCamera* camera = OvCameraCreate();
    OvCameraSetFrame(camera, *frame);
    OvCameraSetNearClipPlane(camera, 1.0f);
    OvCameraSetFarClipPlane(camera, 2.0f);
    OvFrameSyncDirty();
    return camera;
}

void DestroyCamera(OvCamera* camera, OvFrame* frame) {
    OvCameraDestroy(camera);
    OvFrameDestroy(frame);
}

TEST_F(CameraTest, DefaultsAndDepthRange) {
    OvCamera* camera = OvCameraCreate();
    ASSERT_NE(camera, nullptr);
    EXPECT_EQ(camera->projectionType, ovPERSPECTIVE);

    // z range 0..1, near 1, far 2, perspective.
    OvCameraSetNearClipPlane(camera, 1.0f);
    OvCameraSetFarClipPlane(camera, 2.0f);
    EXPECT_NEAR(camera->zScale, -1.9996f, 1e-5f);
    EXPECT_NEAR(camera->zShift, 1.9997f, 1e-5f);
    // Parallel: n = near, f = far.
    EXPECT_EQ(OvCameraSetProjection(camera, ovPARALLEL), camera);
    EXPECT_NEAR(camera->zScale, 0.9998f, 1e-5f);
    EXPECT_NEAR(camera->zShift, (1.0f - 3.0f * 0.9998f) * 0.5f, 1e-5f);

    // A projection that is neither is refused and changes nothing.
    EXPECT_EQ(OvCameraSetProjection(camera, 3), nullptr);
    EXPECT_EQ(camera->projectionType, ovPARALLEL);
    EXPECT_EQ(ClearError(), ovERRINVALIDVALUE);

    const OvV2d window = {2.0f, 0.5f};
    OvCameraSetViewWindow(camera, &window);
    EXPECT_EQ(camera->recipViewWindow.x, 0.5f);
    EXPECT_EQ(camera->recipViewWindow.y, 2.0f);
    OvCameraDestroy(camera);
}

TEST_F(CameraTest, PerspectiveFrustumOfTheWorkedExample) {
    OvFrame* frame;
    OvCamera* camera = ExampleCamera(&frame);
    // Near corners at z 1, far ones at z 2, each ring going +x+y, -x+y, -x-y, +x-y.
    const OvV3d* c = camera->frustumCorners;
    for (int i = 0; i < 8; ++i) {
        const float z = i < 4 ? 1.0f : 2.0f;
        ExpectV3(c[i], (i % 4 == 0 || i % 4 == 3) ? z : -z, i % 4 < 2 ? z : -z, z);
    }
    const OvFrustumPlane* p = camera->frustumPlanes;
    ExpectV3(p[ovFRUSTUMPLANEFAR].plane.normal, 0, 0, 1);
    EXPECT_NEAR(p[ovFRUSTUMPLANEFAR].plane.distance, 2.0f, 1e-6f);
    ExpectV3(p[ovFRUSTUMPLANENEAR].plane.normal, 0, 0, -1);
    EXPECT_NEAR(p[ovFRUSTUMPLANENEAR].plane.distance, -1.0f, 1e-6f);
    const float h = 0.70710678f;
    ExpectV3(p[ovFRUSTUMPLANELEFT].plane.normal, -h, 0, -h, 1e-3f);
    EXPECT_NEAR(p[ovFRUSTUMPLANELEFT].plane.distance, 0.0f, 1e-5f);
    ExpectV3(p[ovFRUSTUMPLANERIGHT].plane.normal, h, 0, -h, 1e-3f);
    ExpectV3(p[ovFRUSTUMPLANETOP].plane.normal, 0, h, -h, 1e-3f);
    ExpectV3(p[ovFRUSTUMPLANEBOTTOM].plane.normal, 0, -h, -h, 1e-3f);
    // Corner selectors: 1 where the normal component's sign bit is clear.
    EXPECT_EQ(p[ovFRUSTUMPLANELEFT].closestX, 0);
    EXPECT_EQ(p[ovFRUSTUMPLANETOP].closestY, 1);
    EXPECT_EQ(p[ovFRUSTUMPLANELEFT].closestZ, 0);
    EXPECT_EQ(p[ovFRUSTUMPLANEFAR].closestZ, 1);
    // Bounding box of the corners.
    ExpectV3(camera->frustumBoundBox.sup, 2, 2, 2);
    ExpectV3(camera->frustumBoundBox.inf, -2, -2, 1);

    // The view matrix maps the near corners to the screen's corners (x, y in 0..1 after the
    // divide by z, +w to the left).
    for (int i = 0; i < 8; ++i) {
        OvV3d s;
        OvV3dTransformPoint(&s, &c[i], &camera->viewMatrix);
        EXPECT_NEAR(s.x / s.z, (i % 4 == 0 || i % 4 == 3) ? 0.0f : 1.0f, 1e-5f) << i;
        EXPECT_NEAR(s.y / s.z, (i % 4 < 2) ? 0.0f : 1.0f, 1e-5f) << i;
    }

    // Spheres: centre on a side plane with radius 1 crosses; 2 beyond the far plane is out;
    // the middle of the frustum is in; just touching from outside counts as outside.
    const struct {
        OvSphere sphere;
        OvInt32 expected;
    } spheres[] = {
        {{{-1.5f, 0.0f, 1.5f}, 1.0f}, ovSPHEREBOUNDARY}, {{{0.0f, 0.0f, 4.0f}, 1.0f}, ovSPHEREOUTSIDE},
        {{{0.0f, 0.0f, 1.5f}, 0.1f}, ovSPHEREINSIDE},    {{{0.0f, 0.0f, 2.5f}, 0.5f}, ovSPHEREBOUNDARY}, // d == radius
        {{{0.0f, 0.0f, 2.5f}, 0.49f}, ovSPHEREOUTSIDE},  {{{0.0f, 0.0f, 0.0f}, 0.5f}, ovSPHEREOUTSIDE},
    };
    for (const auto& t : spheres) {
        EXPECT_EQ(OvCameraFrustumTestSphere(camera, &t.sphere), t.expected) << t.sphere.center.z;
    }
    const OvSphere inside = spheres[2].sphere;

    // Moving the frame moves the frustum at the next synchronisation.
    const OvV3d up = {0.0f, 10.0f, 0.0f};
    OvFrameTranslate(frame, &up, ovCOMBINEPOSTCONCAT);
    EXPECT_EQ(OvCameraFrustumTestSphere(camera, &inside), ovSPHEREINSIDE); // not yet synced
    OvFrameSyncDirty();
    EXPECT_EQ(OvCameraFrustumTestSphere(camera, &inside), ovSPHEREOUTSIDE);
    ExpectV3(camera->frustumCorners[0], 1, 11, 1);
    DestroyCamera(camera, frame);
}

TEST_F(CameraTest, OffsetAndParallelCorners) {
    OvFrame* frame;
    OvCamera* camera = ExampleCamera(&frame);
    const OvV2d offset = {0.5f, 0.25f};
    OvCameraSetViewOffset(camera, &offset);
    OvFrameSyncDirty();
    // O = -ox R + oy U; near corner 0 = O + 1 * (A + R + U - O).
    ExpectV3(camera->frustumCorners[0], 1, 1, 1);
    ExpectV3(camera->frustumCorners[4], 2.5f, 1.75f, 2); // 2 c - O

    OvCameraSetProjection(camera, ovPARALLEL);
    OvFrameSyncDirty();
    // x = -ox (1 - z) + w, y = oy (1 - z) + h at z = near (1) and far (2).
    ExpectV3(camera->frustumCorners[0], 1, 1, 1);
    ExpectV3(camera->frustumCorners[6], 0.5f - 1.0f, -0.25f - 1.0f, 2);
    // Without an offset the parallel side planes are the box's faces.
    const OvV2d centred = {0.0f, 0.0f};
    OvCameraSetViewOffset(camera, &centred);
    OvFrameSyncDirty();
    ExpectV3(camera->frustumPlanes[ovFRUSTUMPLANERIGHT].plane.normal, 1, 0, 0, 1e-3f);
    DestroyCamera(camera, frame);
}

TEST_F(CameraTest, UpdatesClearsShowsAndClones) {
    OvFrame* frame;
    OvCamera* camera = ExampleCamera(&frame);
    OvTestDriverState* driver = OvTestMemoryRasterDriverState();
    const OvV3d t = {0.0f, 0.0f, -1.0f};
    OvFrameTranslate(frame, &t, ovCOMBINEPOSTCONCAT);
    ASSERT_EQ(OvCameraBeginUpdate(camera), camera);
    EXPECT_EQ(OvEngineInstancePtr->curCamera, camera);
    EXPECT_FALSE(OvFrameIsDirty(frame)); // begin synchronised the frames
    EXPECT_NEAR(camera->frustumCorners[0].z, 0.0f, 1e-6f);
    ASSERT_EQ(OvCameraEndUpdate(camera), camera);
    EXPECT_EQ(OvEngineInstancePtr->curCamera, nullptr);

    // A refusing driver: null, and the current camera stays until an end succeeds.
    driver->refuse[ovSTANDARDCAMERAENDUPDATE] = 1;
    OvCameraBeginUpdate(camera);
    EXPECT_EQ(OvCameraEndUpdate(camera), nullptr);
    EXPECT_EQ(OvEngineInstancePtr->curCamera, camera);
    driver->refuse[ovSTANDARDCAMERAENDUPDATE] = 0;
    OvCameraEndUpdate(camera);

    OvRGBA colour = {1, 2, 3, 4};
    EXPECT_EQ(OvCameraClear(camera, &colour, ovCAMERACLEARIMAGE | ovCAMERACLEARZ), camera);
    EXPECT_EQ(driver->calls[ovSTANDARDCAMERACLEAR].lastInOut, &colour);
    EXPECT_EQ(driver->calls[ovSTANDARDCAMERACLEAR].lastNumber, 3);
    EXPECT_EQ(OvCameraShowRaster(camera, nullptr, 0), nullptr); // no frame buffer
    camera->frameBuffer = OvRasterCreate(8, 8, 0, ovRASTERTYPECAMERA);
    ASSERT_NE(camera->frameBuffer, nullptr);
    EXPECT_EQ(OvCameraShowRaster(camera, nullptr, 1), camera);
    EXPECT_EQ(driver->calls[ovSTANDARDRASTERSHOWRASTER].lastOut, camera->frameBuffer);

    OvCamera* clone = OvCameraClone(camera);
    ASSERT_NE(clone, nullptr);
    EXPECT_EQ(OvCameraGetFrame(clone), frame);
    EXPECT_EQ(clone->frameBuffer, camera->frameBuffer);
    EXPECT_EQ(clone->zScale, camera->zScale);
    OvFrameSyncDirty();
    EXPECT_EQ(std::memcmp(clone->frustumCorners, camera->frustumCorners, sizeof clone->frustumCorners), 0);
    OvCameraDestroy(clone);
    OvRasterDestroy(camera->frameBuffer);
    DestroyCamera(camera, frame);
}

ChunkBytes CameraChunk(std::uint32_t structLength, std::uint32_t projection) {
    ChunkBytes b;
    b.Header(1, structLength)
        .F32(2.0f)
        .F32(0.5f)
        .F32(0.25f)
        .F32(-0.25f)
        .F32(0.5f)
        .F32(100.0f)
        .F32(40.0f)
        .U32(projection);
    for (std::uint32_t i = 32; i < structLength; ++i) {
        b.bytes.push_back(0xAB);
    }
    return b.EmptyExtension();
}

TEST_F(CameraTest, StreamReadFieldsLongerStructsAndFailures) {
    for (std::uint32_t length : {32u, 36u}) {
        ChunkBytes data = CameraChunk(length, ovPARALLEL);
        data.Header(2, 4).U32(0);
        OvStream* s = OpenRead(data.bytes, data.Size());
        OvCamera* camera = OvCameraStreamRead(s);
        ASSERT_NE(camera, nullptr) << length;
        EXPECT_EQ(camera->viewWindow.x, 2.0f);
        EXPECT_EQ(camera->recipViewWindow.y, 2.0f);
        EXPECT_EQ(camera->viewOffset.y, -0.25f);
        EXPECT_EQ(camera->nearPlane, 0.5f);
        EXPECT_EQ(camera->farPlane, 100.0f);
        EXPECT_EQ(camera->fogPlane, 40.0f);
        EXPECT_EQ(camera->projectionType, ovPARALLEL);
        OvUInt32 type = 0;
        EXPECT_TRUE(OvStreamReadChunkHeader(s, &type, nullptr, nullptr, nullptr));
        EXPECT_EQ(type, 2u) << "the stream continues after the whole struct body";
        OvStreamClose(s, nullptr);
        OvCameraDestroy(camera);
    }

    // A projection that is neither is reported, and the camera keeps its perspective.
    ChunkBytes badProjection = CameraChunk(32, 3);
    OvStream* s = OpenRead(badProjection.bytes, badProjection.Size());
    OvCamera* camera = OvCameraStreamRead(s);
    OvStreamClose(s, nullptr);
    ASSERT_NE(camera, nullptr);
    EXPECT_EQ(camera->projectionType, ovPERSPECTIVE);
    EXPECT_EQ(camera->farPlane, 100.0f);
    EXPECT_EQ(ClearError(), ovERRINVALIDVALUE);
    OvCameraDestroy(camera);

    // Old version, and every truncation: null, nothing left allocated.
    ChunkBytes oldVersion;
    oldVersion.Header(1, 32, 0x0310);
    for (int i = 0; i < 8; ++i) {
        oldVersion.U32(0);
    }
    s = OpenRead(oldVersion.bytes, oldVersion.Size());
    EXPECT_EQ(OvCameraStreamRead(s), nullptr);
    EXPECT_NE(ClearError(), ovERRNOERROR);
    OvStreamClose(s, nullptr);
    ChunkBytes good = CameraChunk(36, ovPERSPECTIVE);
    for (std::uint32_t n = 0; n < good.Size(); ++n) {
        OvStream* s = OpenRead(good.bytes, n);
        EXPECT_EQ(OvCameraStreamRead(s), nullptr) << n;
        OvStreamClose(s, nullptr);
    }
    ClearError();
}

// An extension whose stream reader fails: the camera made for the chunk must not leak.
OvStream* FailingRead(OvStream*, OvInt32, void*, OvInt32, OvInt32) { return nullptr; }

// An extension that wraps the camera's begin-update: its constructor saves the callback it finds and
// installs its own, which calls the saved one; its copy callback copies nothing.
OvInt32 gWrapOffset = -1;
int gWrapDepth = 0;
OvCameraBeginUpdateFn& SavedBegin(OvCamera* camera) {
    return *reinterpret_cast<OvCameraBeginUpdateFn*>(reinterpret_cast<char*>(camera) + gWrapOffset);
}
OvCamera* WrappedBegin(OvCamera* camera) {
    if (++gWrapDepth > 4) {
        return nullptr; // calling itself
    }
    OvCamera* result = SavedBegin(camera)(camera);
    gWrapDepth = 0;
    return result;
}
void* WrapConstruct(void* object, OvInt32, OvInt32) {
    auto* camera = static_cast<OvCamera*>(object);
    SavedBegin(camera) = camera->beginUpdate;
    camera->beginUpdate = WrappedBegin;
    return object;
}
void* CopyNothing(void* dst, const void*, OvInt32, OvInt32) { return dst; }

class CameraExtensionTest : public StartedEngine {
protected:
    void RegisterPlugins() override {
        ASSERT_GE(OvCameraRegisterPlugin(8, 0x7701, nullptr, nullptr, nullptr), 0);
        ASSERT_GE(OvPluginRegistryAddPluginStream(OvCameraGetRegistry(), 0x7701, FailingRead, nullptr, nullptr), 0);
        gWrapOffset =
            OvCameraRegisterPlugin(sizeof(OvCameraBeginUpdateFn), 0x7702, WrapConstruct, nullptr, CopyNothing);
        ASSERT_GE(gWrapOffset, 0);
    }
};

TEST_F(CameraExtensionTest, CloneOfAWrappedCameraBeginsThroughTheWrapperOnce) {
    OvCamera* camera = OvCameraCreate();
    ASSERT_NE(camera, nullptr);
    OvCamera* clone = OvCameraClone(camera);
    ASSERT_NE(clone, nullptr);
    EXPECT_EQ(clone->beginUpdate, WrappedBegin);
    EXPECT_EQ(SavedBegin(clone), OvCameraDefaultBeginUpdate);
    gWrapDepth = 0;
    EXPECT_EQ(OvCameraBeginUpdate(clone), clone);
    EXPECT_EQ(OvCameraEndUpdate(clone), clone);
    OvCameraDestroy(clone);
    OvCameraDestroy(camera);
}

TEST_F(CameraExtensionTest, FailingExtensionReadLeaksNothing) {
    ChunkBytes data;
    data.Header(1, 32).F32(1).F32(1).F32(0).F32(0).F32(0.1f).F32(10).F32(5).U32(1);
    data.Header(3, 16).Header(0x7701, 4).U32(7);
    OvStream* s = OpenRead(data.bytes, data.Size());
    EXPECT_EQ(OvCameraStreamRead(s), nullptr);
    OvStreamClose(s, nullptr);
    ClearError();
}

} // namespace
