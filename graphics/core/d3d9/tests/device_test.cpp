#include "graphics/core/d3d9/tests/d3d9_fixture.h"

#include "graphics/core/d3d9/camera.h"
#include "graphics/core/d3d9/native_texture.h"
#include "graphics/core/d3d9/pixel_convert.h"
#include "graphics/core/d3d9/raster.h"
#include "graphics/core/engine.h"

#include <algorithm>
#include <string>

namespace {

D3DDISPLAYMODE Mode(UINT w, UINT h, UINT hz, D3DFORMAT f) { return {w, h, hz, f}; }

int gRestoreCalls = 0;
void CountRestore() { ++gRestoreCalls; }

} // namespace

TEST_F(D3d9DriverTest, StartsOnTheWindowAndStopsWithNothingBoundOrLeaked) {
    D3d9LogEnable(true);
    ASSERT_TRUE(Up());
    IDirect3DDevice9* device = OvD3D9GetDevice();
    ASSERT_NE(device, nullptr);
    RECT client{};
    GetClientRect(window, &client);
    D3DSURFACE_DESC desc{};
    ASSERT_NE(OvD3D9GetBackBuffer(), nullptr);
    OvD3D9GetBackBuffer()->GetDesc(&desc);
    EXPECT_EQ(desc.Width, static_cast<UINT>(client.right));
    EXPECT_EQ(desc.Height, static_cast<UINT>(client.bottom));
    EXPECT_EQ(OvD3D9GetCurrentMode()->width, static_cast<OvUInt32>(client.right));
    // A 32-bit desktop: a 32-bit back buffer with depth and stencil.
    EXPECT_EQ(OvD3D9GetPresentParameters()->SwapEffect, D3DSWAPEFFECT_COPY);
    EXPECT_EQ(OvD3D9GetZBufferDepth(), 32);

    device->AddRef();
    D3d9LogClear();
    ASSERT_TRUE(OvEngineStop());
    EXPECT_EQ(D3d9LogCount("SetTexture"), 8);
    EXPECT_EQ(D3d9LogCount("SetStreamSource"), 4);
    EXPECT_EQ(D3d9LogCount("SetIndices"), 1);
    EXPECT_EQ(OvD3D9GetDevice(), nullptr);
    EXPECT_EQ(D3d9LiveObjects(device), 0);
    EXPECT_EQ(device->Release(), 0u);
}

TEST_F(D3d9DriverTest, RequestsAnswerAsListed) {
    D3d9Adapter a = D3d9DefaultAdapter();
    a.caps.MaxTextureWidth = 2048;
    a.caps.MaxTextureHeight = 4096;
    a.description = std::string(600, 'x');
    D3d9SetAdapters({a});
    ASSERT_TRUE(Up());
    OvInt32 value = -1;
    for (OvInt32 request : {9, 18, 20, 21, 23, 100, -1}) {
        EXPECT_FALSE(OvD3D9DeviceSystem(request, &value, nullptr, 0)) << request;
    }
    EXPECT_EQ(value, -1);
    EXPECT_TRUE(OvD3D9DeviceSystem(ovDEVICEREQUESTGETMAXTEXTURESIZE, &value, nullptr, 0));
    EXPECT_EQ(value, 4096);
    OvUInt16 word = 0;
    EXPECT_TRUE(OvD3D9DeviceSystem(ovDEVICEREQUEST22, &word, nullptr, 0));
    EXPECT_EQ(word, 2);
    // A table shorter than the core's is not written past.
    OvStandardFunction table[6] = {};
    EXPECT_TRUE(OvD3D9DeviceSystem(ovDEVICEREQUESTGETSTANDARDFUNCTIONS, table, nullptr, 5));
    EXPECT_EQ(table[5], nullptr);
    EXPECT_FALSE(table[0](nullptr, nullptr, 0));
    // The adapter's long description is cut to the record; bad adapters are refused.
    OvSubSystemInfo info{};
    ASSERT_NE(OvEngineGetSubSystemInfo(&info, 0), nullptr);
    EXPECT_EQ(std::string(info.name), std::string(79, 'x'));
    EXPECT_FALSE(OvD3D9DeviceSystem(ovDEVICEREQUESTGETSUBSYSTEMINFO, &info, nullptr, 1));
    EXPECT_FALSE(OvD3D9DeviceSystem(ovDEVICEREQUESTSETSUBSYSTEM, nullptr, nullptr, 0)); // started
    // Focus on a windowed device is answered without touching the window.
    EXPECT_TRUE(OvD3D9DeviceSystem(ovDEVICEREQUESTFOCUS, nullptr, nullptr, 0));
}

// The core's table of 29 entries filled as the driver numbers its functions: 0 and 22 keep the
// default, which answers 0.
TEST_F(D3d9DriverTest, StandardFunctionTableHoldsEveryFunctionAtItsIndex) {
    ASSERT_TRUE(Up());
    const OvStandardFunction want[ovNUMSTANDARDFUNCTIONS] = {
        nullptr,
        OvD3D9CameraBeginUpdate,
        OvD3D9ColorToPixel,
        OvD3D9PixelToColor,
        OvD3D9RasterCreate,
        OvD3D9RasterDestroy,
        OvD3D9ImageGetFromRaster,
        OvD3D9RasterSetFromImage,
        OvD3D9TextureSetRaster,
        OvD3D9RasterFormatForImage,
        OvD3D9CameraEndUpdate,
        OvD3D9SetContextRaster,
        OvD3D9RasterSubRaster,
        OvD3D9RasterClearRect,
        OvD3D9RasterClear,
        OvD3D9RasterLock,
        OvD3D9RasterUnlock,
        OvD3D9RasterRender,
        OvD3D9RasterRenderScaled,
        OvD3D9RasterRenderFast,
        OvD3D9RasterShowRaster,
        OvD3D9CameraClear,
        nullptr,
        OvD3D9RasterLockPalette,
        OvD3D9RasterUnlockPalette,
        OvD3D9NativeTextureGetSize,
        OvD3D9NativeTextureRead,
        OvD3D9NativeTextureWrite,
        OvD3D9RasterGetNumLevels,
    };
    OvStandardFunction table[ovNUMSTANDARDFUNCTIONS] = {};
    ASSERT_TRUE(OvD3D9DeviceSystem(ovDEVICEREQUESTGETSTANDARDFUNCTIONS, table, nullptr, ovNUMSTANDARDFUNCTIONS));
    for (int i = 0; i < ovNUMSTANDARDFUNCTIONS; ++i) {
        if (want[i] == nullptr) {
            ASSERT_NE(table[i], nullptr) << i;
            EXPECT_FALSE(table[i](nullptr, nullptr, 0)) << i;
        } else {
            EXPECT_EQ(table[i], want[i]) << i;
        }
    }
    // The engine reaches the conversions through its copy of the table.
    OvRGBA orange{255, 128, 0, 255};
    OvUInt32 pixel = 0;
    ASSERT_TRUE(OvEngineInstancePtr->stdFunc[ovSTANDARDCOLORTOPIXEL](&pixel, &orange, ovRASTERFORMAT565));
    EXPECT_EQ(pixel, 0xFC00u);
    OvRGBA back{};
    ASSERT_TRUE(OvEngineInstancePtr->stdFunc[ovSTANDARDPIXELTOCOLOR](&back, &pixel, ovRASTERFORMAT565));
    EXPECT_EQ(back.red, 248);
    EXPECT_EQ(back.green, 128);
}

TEST_F(D3d9DriverTest, OpensOnTheFirstAdapterThatGivesCapsAndRefusesFailures) {
    D3d9Adapter broken = D3d9DefaultAdapter();
    broken.capsFail = true;
    D3d9SetAdapters({broken, D3d9DefaultAdapter()});
    ASSERT_TRUE(OvEngineOpen(&window));
    EXPECT_EQ(OvEngineGetCurrentSubSystem(), 1);
    D3d9ScriptFailure("CreateDevice", D3DERR_NOTAVAILABLE);
    EXPECT_FALSE(OvEngineStart());
    EXPECT_EQ(OvD3D9GetDevice(), nullptr);
    EXPECT_TRUE(OvEngineStart());
    ASSERT_TRUE(OvEngineStop());
    ASSERT_TRUE(OvEngineClose());

    D3d9SetAdapters({broken});
    EXPECT_FALSE(OvEngineOpen(&window));
    D3d9SetAdapters({D3d9DefaultAdapter()});
    D3d9ScriptFailure("Direct3DCreate9", 0);
    EXPECT_FALSE(OvEngineOpen(&window));
}

TEST_F(D3d9DriverTest, VideoModesMergeRefreshRatesAndSelectOnlyWhileStopped) {
    D3d9Adapter a = D3d9DefaultAdapter();
    a.desktop = Mode(1024, 768, 60, D3DFMT_X8R8G8B8);
    a.modes = {Mode(800, 600, 60, D3DFMT_X8R8G8B8), Mode(640, 480, 60, D3DFMT_R5G6B5),
               Mode(800, 600, 85, D3DFMT_X8R8G8B8), Mode(800, 600, 72, D3DFMT_X8R8G8B8),
               Mode(1024, 768, 60, D3DFMT_X8R8G8B8)};
    D3d9SetAdapters({a});
    ASSERT_TRUE(OvEngineOpen(&window));
    ASSERT_EQ(OvEngineGetNumVideoModes(), 4);
    OvVideoMode m{};
    ASSERT_NE(OvEngineGetVideoModeInfo(&m, 0), nullptr);
    EXPECT_EQ(m.flags, 0u);
    EXPECT_EQ(m.width, 1024);
    EXPECT_EQ(m.format, 0x600);
    ASSERT_NE(OvEngineGetVideoModeInfo(&m, 1), nullptr); // 565 modes come first
    EXPECT_EQ(m.format, 0x200);
    EXPECT_EQ(m.depth, 16);
    ASSERT_NE(OvEngineGetVideoModeInfo(&m, 2), nullptr);
    EXPECT_EQ(m.width, 800);
    EXPECT_EQ(m.refRate, 85);
    EXPECT_EQ(m.flags, 1u);
    EXPECT_EQ(OvEngineGetVideoModeInfo(&m, 4), nullptr);
    EXPECT_FALSE(OvEngineSetVideoMode(4));

    ASSERT_TRUE(OvEngineSetVideoMode(2));
    ASSERT_TRUE(OvEngineStart());
    EXPECT_FALSE(OvEngineSetVideoMode(0));
    // A second start is refused and leaves the running device started.
    EXPECT_FALSE(OvD3D9DeviceSystem(ovDEVICEREQUESTSTART, nullptr, nullptr, 0));
    EXPECT_FALSE(OvEngineSetVideoMode(0));
    EXPECT_NE(OvD3D9GetDevice(), nullptr);
    EXPECT_EQ(OvEngineGetCurrentVideoMode(), 2);
    const D3DPRESENT_PARAMETERS* pp = OvD3D9GetPresentParameters();
    EXPECT_FALSE(pp->Windowed);
    EXPECT_EQ(pp->BackBufferWidth, 800u);
    EXPECT_EQ(pp->FullScreen_RefreshRateInHz, 85u);
    EXPECT_EQ(pp->SwapEffect, D3DSWAPEFFECT_FLIP);
}

TEST_F(D3d9DriverTest, DesktopOutsideTheRenderFormatsListsOnlyFullScreenModes) {
    D3d9Adapter a = D3d9DefaultAdapter();
    a.desktop = Mode(1024, 768, 60, D3DFMT_P8);
    a.modes = {Mode(800, 600, 60, D3DFMT_X8R8G8B8), Mode(800, 600, 75, D3DFMT_X8R8G8B8)};
    D3d9SetAdapters({a});
    ASSERT_TRUE(OvEngineOpen(&window));
    ASSERT_EQ(OvEngineGetNumVideoModes(), 1);
    OvVideoMode m{};
    ASSERT_NE(OvEngineGetVideoModeInfo(&m, 0), nullptr);
    EXPECT_EQ(m.flags, 1u);
    EXPECT_EQ(m.refRate, 75);
}

TEST_F(D3d9DriverTest, DepthFormatFallsBackInOrder) {
    struct Case {
        std::vector<D3DFORMAT> accepted;
        D3DFORMAT chosen;
        OvInt32 depth;
        bool stencil;
    } cases[] = {
        {{D3DFMT_D24X4S4, D3DFMT_D32, D3DFMT_D16}, D3DFMT_D24X4S4, 32, true},
        {{D3DFMT_D24X8, D3DFMT_D16}, D3DFMT_D24X8, 32, false},
        {{D3DFMT_D15S1, D3DFMT_D16}, D3DFMT_D15S1, 16, true},
        {{D3DFMT_D16}, D3DFMT_D16, 16, false},
    };
    for (const Case& c : cases) {
        D3d9Adapter a = D3d9DefaultAdapter();
        a.depthFormats = c.accepted;
        D3d9SetAdapters({a});
        ASSERT_TRUE(Up());
        EXPECT_EQ(OvD3D9GetPresentParameters()->AutoDepthStencilFormat, c.chosen);
        EXPECT_EQ(OvD3D9GetZBufferDepth(), c.depth);
        EXPECT_EQ(OvD3D9HasStencil() != FALSE, c.stencil);
        ASSERT_TRUE(OvEngineStop());
        ASSERT_TRUE(OvEngineClose());
    }
}

TEST_F(D3d9DriverTest, LostDeviceResetsAndCallsBackOnlyAfterASuccessfulReset) {
    ASSERT_TRUE(Up());
    gRestoreCalls = 0;
    OvD3D9DeviceSetRestoreCallback(CountRestore);
    EXPECT_TRUE(OvD3D9DeviceCheckLost());
    EXPECT_TRUE(OvD3D9DeviceInScene());
    OvD3D9GetDevice()->EndScene();
    OvD3D9DeviceSetInScene(FALSE);

    D3d9LoseDevice(OvD3D9GetDevice());
    EXPECT_FALSE(OvD3D9DeviceCheckLost()); // lost: nothing to do yet
    D3d9ScriptFailure("Reset", D3DERR_INVALIDCALL, 2);
    EXPECT_FALSE(OvD3D9DeviceCheckLost()); // Reset refused twice (with the windowed retry)
    EXPECT_EQ(gRestoreCalls, 0);
    EXPECT_TRUE(OvD3D9DeviceCheckLost());
    EXPECT_EQ(gRestoreCalls, 1);
    EXPECT_EQ(D3d9DeviceCounters(OvD3D9GetDevice()).resets, 1);
    OvD3D9GetDevice()->EndScene();
    OvD3D9DeviceSetInScene(FALSE);

    // A windowed device retries a refused Reset once with the desktop's format.
    D3d9LoseDevice(OvD3D9GetDevice());
    EXPECT_FALSE(OvD3D9DeviceCheckLost());
    D3d9ScriptFailure("Reset", D3DERR_INVALIDCALL, 1);
    EXPECT_TRUE(OvD3D9DeviceCheckLost());
    EXPECT_EQ(gRestoreCalls, 2);
    EXPECT_EQ(D3d9DeviceCounters(OvD3D9GetDevice()).resets, 2);
    OvD3D9GetDevice()->EndScene();
    OvD3D9DeviceSetInScene(FALSE);

    // After the Reset the rasters come back before the buffers; a raster that cannot be made
    // again fails the restore (the callback still runs) but the device draws.
    OvRaster* z = OvRasterCreate(40, 30, 0, ovRASTERTYPEZBUFFER);
    ASSERT_NE(z, nullptr);
    D3d9LoseDevice(OvD3D9GetDevice());
    EXPECT_FALSE(OvD3D9DeviceCheckLost());
    D3d9LogEnable(true);
    D3d9LogClear();
    EXPECT_TRUE(OvD3D9DeviceCheckLost());
    const auto first = [](const char* method) {
        const auto& log = D3d9Log();
        return std::find_if(log.begin(), log.end(), [&](const std::string& l) { return l.rfind(method, 0) == 0; }) -
               log.begin();
    };
    ASSERT_LT(first("CreateVertexBuffer"), static_cast<std::ptrdiff_t>(D3d9Log().size()));
    EXPECT_LT(first("CreateDepthStencilSurface"), first("CreateVertexBuffer"));
    OvD3D9GetDevice()->EndScene();
    OvD3D9DeviceSetInScene(FALSE);
    D3d9LoseDevice(OvD3D9GetDevice());
    EXPECT_FALSE(OvD3D9DeviceCheckLost());
    D3d9ScriptFailure("CreateDepthStencilSurface", D3DERR_OUTOFVIDEOMEMORY);
    EXPECT_TRUE(OvD3D9DeviceCheckLost());
    EXPECT_EQ(gRestoreCalls, 4);
    EXPECT_EQ(OvD3D9RasterExtGet(z)->surface, nullptr);
    TakeError();
    OvD3D9GetDevice()->EndScene();
    OvD3D9DeviceSetInScene(FALSE);
    OvRasterDestroy(z);
}
