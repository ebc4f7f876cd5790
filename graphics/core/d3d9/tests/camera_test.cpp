#include "graphics/core/d3d9/camera.h"

#include <algorithm>
#include <cstring>
#include <string>

#include "graphics/core/d3d9/device.h"
#include "graphics/core/d3d9/im2d.h"
#include "graphics/core/d3d9/raster.h"
#include "graphics/core/d3d9/tests/d3d9_fixture.h"
#include "graphics/core/frame.h"
#include "graphics/core/im3d.h"

namespace {

// Gives a window the client size w x h.
void ResizeClient(HWND window, int w, int h) {
    RECT r = {0, 0, w, h};
    AdjustWindowRectEx(&r, static_cast<DWORD>(GetWindowLongA(window, GWL_STYLE)), FALSE, 0);
    SetWindowPos(window, nullptr, 0, 0, r.right - r.left, r.bottom - r.top, SWP_NOMOVE | SWP_NOZORDER);
}

class D3d9CameraTest : public D3d9DriverTest {
protected:
    OvCamera* camera = nullptr;
    OvFrame* frame = nullptr;

    bool Start() {
        if (!Up()) {
            return false;
        }
        camera = OvCameraCreate();
        frame = OvFrameCreate();
        OvCameraSetFrame(camera, frame);
        camera->frameBuffer = OvRasterCreate(320, 240, 0, ovRASTERTYPECAMERA);
        camera->zBuffer = OvRasterCreate(320, 240, 0, ovRASTERTYPEZBUFFER);
        return camera->frameBuffer != nullptr && camera->zBuffer != nullptr;
    }

    void TearDown() override {
        if (camera != nullptr) {
            OvRasterDestroy(camera->frameBuffer);
            OvRasterDestroy(camera->zBuffer);
            OvCameraDestroy(camera);
            OvFrameDestroy(frame);
        }
        D3d9DriverTest::TearDown();
    }

    // The clear flags the device received for the engine's flags.
    DWORD ClearFlags(OvInt32 engineFlags) {
        D3d9LogEnable(true);
        D3d9LogClear();
        OvRGBA colour = {1, 2, 3, 4};
        EXPECT_TRUE(OvD3D9CameraClear(camera, &colour, engineFlags));
        const auto& log = D3d9Log();
        auto line =
            std::find_if(log.begin(), log.end(), [](const std::string& l) { return l.rfind("Clear(", 0) == 0; });
        D3d9LogEnable(false);
        return line == log.end() ? 0
                                 : static_cast<DWORD>(std::stoul(line->substr(std::string("Clear(0, null, ").size())));
    }
};

TEST_F(D3d9CameraTest, ProjectionAndViewOfParallelAndPerspectiveCameras) {
    ASSERT_TRUE(Start());
    const OvV2d window = {2.0f, 0.5f};
    const OvV2d offset = {0.25f, -1.0f};
    OvCameraSetViewWindow(camera, &window);
    OvCameraSetViewOffset(camera, &offset);
    OvCameraSetNearClipPlane(camera, 1.0f);
    OvCameraSetFarClipPlane(camera, 101.0f);
    const OvV3d at = {1.0f, 2.0f, 3.0f};
    OvFrameTranslate(frame, &at, ovCOMBINEREPLACE);
    for (OvInt32 projection : {ovPARALLEL, ovPERSPECTIVE}) {
        OvCameraSetProjection(camera, projection);
        ASSERT_NE(OvCameraBeginUpdate(camera), nullptr);
        const D3DMATRIX& p = OvD3D9ProjectionMatrix;
        const bool parallel = projection == ovPARALLEL;
        const float a = parallel ? 0.01f : 1.01f;
        const float expected[4][4] = {{0.5f, 0, 0, 0},
                                      {0, 2.0f, 0, 0},
                                      {0.125f, -2.0f, a, parallel ? 0.0f : 1.0f},
                                      {-0.125f, 2.0f, -a, parallel ? 1.0f : 0.0f}};
        for (int r = 0; r < 4; ++r) {
            for (int c = 0; c < 4; ++c) {
                EXPECT_NEAR(p.m[r][c], expected[r][c], 1e-6f) << projection << " " << r << c;
            }
        }
        D3DMATRIX sent{};
        OvD3D9GetDevice()->GetTransform(D3DTS_PROJECTION, &sent);
        EXPECT_EQ(std::memcmp(&sent, &p, sizeof sent), 0);
        EXPECT_EQ(OvD3D9ViewProjectionCache, nullptr);
        OvCameraEndUpdate(camera);
    }
    // A camera at (1, 2, 3): the inverse translation, mirrored in x.
    const D3DMATRIX& v = OvD3D9ViewMatrix;
    EXPECT_FLOAT_EQ(v.m[0][0], -1.0f);
    EXPECT_FLOAT_EQ(v.m[1][1], 1.0f);
    EXPECT_FLOAT_EQ(v.m[2][2], 1.0f);
    EXPECT_FLOAT_EQ(v.m[3][0], 1.0f);
    EXPECT_FLOAT_EQ(v.m[3][1], -2.0f);
    EXPECT_FLOAT_EQ(v.m[3][2], -3.0f);
    EXPECT_FLOAT_EQ(v.m[3][3], 1.0f);
    EXPECT_FLOAT_EQ(v.m[0][3] + v.m[1][3] + v.m[2][3], 0.0f);
}

TEST_F(D3d9CameraTest, ClearFlagsFollowTheDepthFormat) {
    for (bool stencil : {true, false}) {
        D3d9Adapter a = D3d9DefaultAdapter();
        if (!stencil) {
            a.depthFormats = {D3DFMT_D24X8, D3DFMT_D16};
        }
        if (camera != nullptr) {
            TearDown();
            camera = nullptr;
            SetUp();
        }
        D3d9SetAdapters({a});
        ASSERT_TRUE(Start());
        ASSERT_EQ(OvD3D9HasStencil(), stencil ? TRUE : FALSE);
        const DWORD s = stencil ? D3DCLEAR_STENCIL : 0;
        EXPECT_EQ(ClearFlags(ovCAMERACLEARIMAGE), D3DCLEAR_TARGET);
        EXPECT_EQ(ClearFlags(ovCAMERACLEARZ), D3DCLEAR_ZBUFFER | s);
        EXPECT_EQ(ClearFlags(ovCAMERACLEARZ | ovCAMERACLEARSTENCIL), D3DCLEAR_ZBUFFER | s);
        EXPECT_EQ(ClearFlags(7), D3DCLEAR_TARGET | D3DCLEAR_ZBUFFER | s);
    }
    // The colour reaches the viewport of the camera raster.
    OvRGBA colour = {32, 48, 64, 255};
    ASSERT_TRUE(OvD3D9CameraClear(camera, &colour, ovCAMERACLEARIMAGE));
    const OvUInt8* pixels = OvRasterLock(camera->frameBuffer, 0, ovRASTERLOCKREAD);
    ASSERT_NE(pixels, nullptr);
    OvUInt32 p;
    std::memcpy(&p, pixels + 239 * camera->frameBuffer->stride + 319 * 4, 4);
    EXPECT_EQ(p & 0xFFFFFF, 0x203040u);
    OvRasterUnlock(camera->frameBuffer);
}

TEST_F(D3d9CameraTest, MinimisedOrEmptyWindowsDrawNothingAndResizesFollowTheWindow) {
    ASSERT_TRUE(Start());
    OvRGBA colour = {0, 0, 0, 255};
    ShowWindow(window, SW_MINIMIZE);
    EXPECT_EQ(OvCameraBeginUpdate(camera), nullptr);
    // No update began, so none ends: the driver keeps no current camera that could go meanwhile.
    EXPECT_EQ(OvD3D9GetCurrentCamera(), nullptr);
    EXPECT_FALSE(OvD3D9CameraClear(camera, &colour, 1));
    ShowWindow(window, SW_RESTORE);
    ASSERT_NE(OvCameraBeginUpdate(camera), nullptr);
    OvCameraEndUpdate(camera);
    ASSERT_TRUE(OvD3D9RasterShowRaster(camera->frameBuffer, nullptr, 0));

    // A larger client area: the device is reset to it. The z-buffer that stands for the
    // device's own depth surface takes the new one and its size, making no surface of its own.
    ASSERT_EQ(OvD3D9RasterExtGet(camera->zBuffer)->surface, OvD3D9GetDepthSurface());
    const int live = D3d9LiveObjects(OvD3D9GetDevice());
    ASSERT_NE(OvCameraBeginUpdate(camera), nullptr); // a scene open when the window changes
    ResizeClient(window, 400, 300);
    const long resets = D3d9DeviceCounters(OvD3D9GetDevice()).resets;
    ASSERT_TRUE(OvD3D9CameraClear(camera, &colour, 3));
    EXPECT_EQ(D3d9DeviceCounters(OvD3D9GetDevice()).resets, resets + 1);
    // The Reset ended that scene: the next begin opens another, so drawing reaches the device.
    ASSERT_NE(OvCameraBeginUpdate(camera), nullptr);
    OvD3D9Im2DVertex line[2] = {};
    EXPECT_TRUE(OvD3D9Im2DRenderLine(line, 2, 0, 1));
    OvCameraEndUpdate(camera);
    EXPECT_EQ(OvD3D9GetCurrentMode()->width, 400u);
    EXPECT_EQ(OvD3D9GetPresentParameters()->BackBufferHeight, 300u);
    EXPECT_EQ(camera->zBuffer->width, 400);
    EXPECT_EQ(camera->zBuffer->height, 300);
    EXPECT_EQ(OvD3D9RasterExtGet(camera->zBuffer)->surface, OvD3D9GetDepthSurface());
    EXPECT_EQ(D3d9LiveObjects(OvD3D9GetDevice()), live);
    // One the device refuses: the back buffer and the window go back to the old size.
    ResizeClient(window, 500, 20);
    D3d9ScriptFailure("Reset", D3DERR_INVALIDCALL);
    ASSERT_NE(OvCameraBeginUpdate(camera), nullptr);
    OvCameraEndUpdate(camera);
    RECT client{};
    GetClientRect(window, &client);
    EXPECT_EQ(client.right, 400);
    EXPECT_EQ(client.bottom, 300);
    EXPECT_EQ(OvD3D9GetPresentParameters()->BackBufferWidth, 400u);
    // An empty client area draws nothing.
    ResizeClient(window, 0, 0);
    EXPECT_EQ(OvCameraBeginUpdate(camera), nullptr);
}

TEST_F(D3d9CameraTest, ShowSwitchesVerticalSyncOnceAndRecoversALostPresent) {
    ASSERT_TRUE(Start());
    IDirect3DDevice9* device = OvD3D9GetDevice();
    const long resets = D3d9DeviceCounters(device).resets;
    for (int i = 0; i < 2; ++i) {
        ASSERT_NE(OvCameraBeginUpdate(camera), nullptr);
        OvCameraEndUpdate(camera);
        EXPECT_TRUE(OvD3D9RasterShowRaster(camera->frameBuffer, nullptr, 1));
    }
    EXPECT_EQ(OvD3D9GetPresentParameters()->PresentationInterval, D3DPRESENT_INTERVAL_ONE);
    EXPECT_EQ(D3d9DeviceCounters(device).resets, resets + 1);
    EXPECT_TRUE(OvD3D9RasterShowRaster(camera->frameBuffer, nullptr, 0));
    EXPECT_EQ(OvD3D9GetPresentParameters()->PresentationInterval, D3DPRESENT_INTERVAL_IMMEDIATE);
    EXPECT_EQ(D3d9DeviceCounters(device).resets, resets + 2);
    EXPECT_FALSE(OvD3D9DeviceInScene());

    // A present that finds the device lost resets it at once.
    D3d9ScriptFailure("Present", D3DERR_DEVICELOST);
    D3d9ScriptFailure("TestCooperativeLevel", D3DERR_DEVICENOTRESET);
    EXPECT_TRUE(OvD3D9RasterShowRaster(camera->frameBuffer, nullptr, 0));
    EXPECT_EQ(D3d9DeviceCounters(device).resets, resets + 3);
    ASSERT_NE(OvCameraBeginUpdate(camera), nullptr);
    OvCameraEndUpdate(camera);
}

TEST_F(D3d9CameraTest, CameraTexturesAreDrawnIntoOrFilledByCopying) {
    ASSERT_TRUE(Start());
    OvRaster* screen = camera->frameBuffer;
    OvRaster* screenZ = camera->zBuffer;
    OvRaster* target = OvRasterCreate(64, 64, 0, ovRASTERTYPECAMERATEXTURE);
    OvRaster* targetZ = OvRasterCreate(64, 64, 0, ovRASTERTYPEZBUFFER);
    D3d9ScriptFailure("CreateTexture", D3DERR_INVALIDCALL); // no render target: a plain texture
    OvRaster* copied = OvRasterCreate(64, 64, 0, ovRASTERTYPECAMERATEXTURE);
    ASSERT_NE(target, nullptr);
    ASSERT_NE(copied, nullptr);
    camera->frameBuffer = target;
    camera->zBuffer = nullptr;
    // Without a z raster only the colour is cleared; with one, depth and stencil too.
    EXPECT_EQ(ClearFlags(7), D3DCLEAR_TARGET);
    camera->zBuffer = targetZ;
    EXPECT_EQ(ClearFlags(7), D3DCLEAR_TARGET | D3DCLEAR_ZBUFFER | D3DCLEAR_STENCIL);
    ASSERT_NE(OvCameraBeginUpdate(camera), nullptr);
    IDirect3DSurface9* bound = nullptr;
    ASSERT_EQ(OvD3D9GetDevice()->GetRenderTarget(0, &bound), D3D_OK);
    D3DSURFACE_DESC desc{};
    bound->GetDesc(&desc);
    bound->Release();
    EXPECT_EQ(desc.Width, 64u);
    EXPECT_NE(desc.Usage & D3DUSAGE_RENDERTARGET, 0u);
    OvCameraEndUpdate(camera);

    // A texture that cannot be a target: the back buffer is drawn and its area copied in after
    // the clear and at end update.
    camera->frameBuffer = copied;
    // Its clear takes the flags asked, as any camera texture's: the depth alone keeps the stencil.
    camera->zBuffer = targetZ;
    EXPECT_EQ(ClearFlags(ovCAMERACLEARZ), D3DCLEAR_ZBUFFER);
    camera->zBuffer = nullptr;
    D3d9LogEnable(true);
    D3d9LogClear();
    OvRGBA colour = {10, 20, 30, 255};
    ASSERT_TRUE(OvD3D9CameraClear(camera, &colour, 7));
    EXPECT_EQ(D3d9LogCount("StretchRect"), 1);
    ASSERT_EQ(OvD3D9GetDevice()->GetRenderTarget(0, &bound), D3D_OK); // not the texture drawn before
    bound->Release();
    EXPECT_EQ(bound, OvD3D9GetBackBuffer());
    ASSERT_NE(OvCameraBeginUpdate(camera), nullptr);
    EXPECT_EQ(OvD3D9GetDevice()->GetRenderTarget(0, &bound), D3D_OK);
    bound->Release();
    EXPECT_EQ(bound, OvD3D9GetBackBuffer());
    OvCameraEndUpdate(camera);
    EXPECT_EQ(D3d9LogCount("StretchRect"), 2);
    OvCameraEndUpdate(camera);
    EXPECT_EQ(D3d9LogCount("StretchRect"), 2);
    camera->frameBuffer = screen;
    camera->zBuffer = screenZ;
    for (OvRaster* r : {target, targetZ, copied}) {
        OvRasterDestroy(r);
    }
}

TEST_F(D3d9CameraTest, CamerasOnASecondWindowDrawPresentFollowItsSizeAndSurviveResets) {
    ASSERT_TRUE(Start());
    IDirect3DDevice9* device = OvD3D9GetDevice();
    const int baseline = D3d9LiveObjects(device);
    HWND second = CreateWindowExA(0, "d3d9_driver_test", "", WS_OVERLAPPEDWINDOW, 0, 0, 100, 100, nullptr, nullptr,
                                  nullptr, nullptr);
    ShowWindow(second, SW_SHOW);
    ResizeClient(second, 160, 120);

    // The device window, or no window, is refused before anything is touched.
    OvRaster* screen = camera->frameBuffer;
    EXPECT_FALSE(OvD3D9CameraCreateWindowRasters(camera, window));
    EXPECT_FALSE(OvD3D9CameraCreateWindowRasters(camera, nullptr));
    EXPECT_EQ(camera->frameBuffer, screen);

    OvCamera* other = OvCameraCreate();
    OvCameraSetFrame(other, frame);
    ASSERT_TRUE(OvD3D9CameraCreateWindowRasters(other, second));
    EXPECT_EQ(D3d9LiveObjects(device), baseline + 2); // the swap chain and a depth surface of its size

    // One frame: clear, a quad, show; the window shows exactly that, the device window nothing.
    const auto frameIn = [&](D3DCOLOR clear, D3DCOLOR quad, OvInt32 showFlags) {
        const OvRGBA colour = {static_cast<OvUInt8>(clear >> 16), static_cast<OvUInt8>(clear >> 8),
                               static_cast<OvUInt8>(clear), 255};
        if (OvCameraBeginUpdate(other) == nullptr) {
            return false;
        }
        EXPECT_TRUE(OvD3D9CameraClear(other, const_cast<OvRGBA*>(&colour), 3));
        std::vector<OvD3D9Im2DVertex> v;
        // Both triangles counter-clockwise on screen, as the engine's default culling keeps them.
        for (auto [x, y] : {std::pair{10, 20}, {10, 40}, {50, 20}, {50, 20}, {10, 40}, {50, 40}}) {
            v.push_back({static_cast<float>(x), static_cast<float>(y), 0.5f, 1.0f, quad | 0xFF000000u, 0, 0});
        }
        EXPECT_TRUE(OvD3D9Im2DRenderPrimitive(ovPRIMTYPETRILIST, v.data(), 6));
        OvCameraEndUpdate(other);
        return OvD3D9RasterShowRaster(other->frameBuffer, nullptr, showFlags) != FALSE;
    };
    const auto expectShown = [&](int w, int h, D3DCOLOR clear, D3DCOLOR quad) {
        std::vector<std::uint32_t> pixels;
        int pw = 0, ph = 0;
        ASSERT_TRUE(PlatformReadWindowPixels(second, &pixels, &pw, &ph));
        ASSERT_EQ(pw, w);
        ASSERT_EQ(ph, h);
        int wrong = 0;
        for (int y = 0; y < h; ++y) {
            for (int x = 0; x < w; ++x) {
                const bool inside = x > 10 && x < 49 && y > 20 && y < 39;
                const bool outside = x < 9 || x > 50 || y < 19 || y > 40;
                const std::uint32_t p = pixels[static_cast<std::size_t>(y * w + x)] & 0xFFFFFF;
                wrong += (inside && p != quad) || (outside && p != clear);
            }
        }
        EXPECT_EQ(wrong, 0);
    };
    const long presents = D3d9DeviceCounters(device).presents;
    ASSERT_TRUE(frameIn(0x102030, 0xFF8000, 0));
    EXPECT_EQ(D3d9DeviceCounters(device).presents, presents + 1);
    expectShown(160, 120, 0x102030, 0xFF8000);
    EXPECT_EQ(LevelPixels(other->frameBuffer)[5] & 0xFFFFFF, 0x102030u); // its lock reads the swap chain
    // As the context raster, its clears go to its own back buffer, not the device's.
    ASSERT_TRUE(OvD3D9SetContextRaster(nullptr, other->frameBuffer, 0));
    OvRect corner = {0, 0, 4, 4};
    ASSERT_TRUE(OvD3D9RasterClearRect(nullptr, &corner, 0x00FF00FF));
    ASSERT_TRUE(OvD3D9SetContextRaster(nullptr, nullptr, 0));
    const std::vector<OvUInt32> cleared = LevelPixels(other->frameBuffer);
    EXPECT_EQ(cleared[0] & 0xFFFFFF, 0xFF00FFu);
    EXPECT_EQ(cleared[5] & 0xFFFFFF, 0x102030u);
    EXPECT_NE(LevelPixels(camera->frameBuffer)[0] & 0xFFFFFF, 0xFF00FFu);

    // A resized window gets rasters of its new size in place of the old ones.
    ResizeClient(second, 96, 72);
    ASSERT_TRUE(frameIn(0x405060, 0x00FF00, 0));
    EXPECT_EQ(other->frameBuffer->width, 96);
    EXPECT_EQ(other->zBuffer->height, 72);
    EXPECT_EQ(D3d9LiveObjects(device), baseline + 2);
    expectShown(96, 72, 0x405060, 0x00FF00);

    // A reset (the vertical-sync switch) gives up the swap chain and makes it again.
    const long resets = D3d9DeviceCounters(device).resets;
    ASSERT_TRUE(frameIn(0x405060, 0x00FF00, 1));
    EXPECT_EQ(D3d9DeviceCounters(device).resets, resets + 1);
    EXPECT_NE(OvD3D9RasterExtGet(other->frameBuffer)->swapChain, nullptr);
    EXPECT_EQ(D3d9LiveObjects(device), baseline + 2);
    ASSERT_TRUE(frameIn(0x0000FF, 0xFFFFFF, 1));
    expectShown(96, 72, 0x0000FF, 0xFFFFFF);
    // The device window's camera still draws and shows as before.
    ASSERT_NE(OvCameraBeginUpdate(camera), nullptr);
    OvCameraEndUpdate(camera);
    EXPECT_TRUE(OvD3D9RasterShowRaster(camera->frameBuffer, nullptr, 1));

    // An empty client area draws nothing.
    ResizeClient(second, 0, 0);
    EXPECT_FALSE(frameIn(0, 0, 1));
    const OvRGBA black = {0, 0, 0, 255};
    EXPECT_FALSE(OvD3D9CameraClear(other, const_cast<OvRGBA*>(&black), 1));

    OvRasterDestroy(other->frameBuffer);
    OvRasterDestroy(other->zBuffer);
    OvCameraDestroy(other);
    EXPECT_EQ(D3d9LiveObjects(device), baseline);
}

TEST_F(D3d9CameraTest, FrustumTestsCountTouchingAsInside) {
    ASSERT_TRUE(Start());
    // A box frustum: every plane 1 from the origin along its axis.
    const OvV3d normals[6] = {{1, 0, 0}, {-1, 0, 0}, {0, 1, 0}, {0, -1, 0}, {0, 0, 1}, {0, 0, -1}};
    for (int i = 0; i < 6; ++i) {
        OvFrustumPlane& p = camera->frustumPlanes[i];
        p.plane = {normals[i], 1.0f};
        p.closestX = normals[i].x >= 0 ? 1 : 0;
        p.closestY = normals[i].y >= 0 ? 1 : 0;
        p.closestZ = normals[i].z >= 0 ? 1 : 0;
    }
    const struct {
        OvV3d centre;
        float radius;
        bool inside;
    } spheres[] = {{{0, 0, 0}, 1.0f, true},
                   {{0.5f, 0, 0}, 0.5f, true},
                   {{0.5f, 0, 0}, 0.51f, false},
                   {{0, -0.25f, 0.25f}, 0.75f, true},
                   {{3, 0, 0}, 0.5f, false}};
    for (const auto& s : spheres) {
        const OvSphere sphere = {s.centre, s.radius};
        EXPECT_EQ(OvD3D9CameraSphereFullyInside(camera, &sphere), s.inside ? TRUE : FALSE) << s.centre.x << s.radius;
    }
    const OvBBox touching = {{1, 1, 1}, {-1, -1, -1}};
    const OvBBox crossing = {{1, 1, 1.01f}, {-1, -1, -1}};
    const OvBBox crossingLow = {{0.5f, 0.5f, 0.5f}, {-1.01f, 0, 0}};
    EXPECT_TRUE(OvD3D9CameraBBoxFullyInside(camera, &touching));
    EXPECT_FALSE(OvD3D9CameraBBoxFullyInside(camera, &crossing));
    EXPECT_FALSE(OvD3D9CameraBBoxFullyInside(camera, &crossingLow));
}

} // namespace
