// The Direct3D 9 stand-in: reference counts and lifetimes, Reset and the lost device, clears and
// viewports, level sizes and pitches, the pixel codec, format checks, scripted failures, the call
// log and the validation of draws.

#include "platform/d3d9.h"
#include "platform/present.h"
#include "platform/d3d9_control.h"
#include "platform/d3dx9.h"
#include "platform/d3d9_device.h"
#include "platform/win32.h"
#include "platform/window.h"

#include <gtest/gtest.h>
#include <png.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <cstring>
#include <vector>
#include "testing/scratch_dir.h"

namespace {

LRESULT Proc(HWND w, UINT m, WPARAM wp, LPARAM lp) { return DefWindowProcA(w, m, wp, lp); }

struct D3d9Test : ::testing::Test {
    HWND window = nullptr;
    IDirect3D9* d3d = nullptr;
    IDirect3DDevice9* device = nullptr;

    void SetUp() override {
        setenv("PLATFORM_HEADLESS", "1", 1);
        for (const char* name : {"PLATFORM_FRAMES", "PLATFORM_KEYS", "PLATFORM_CAPTURE", "PLATFORM_FIXED_STEP"})
            unsetenv(name);
        D3d9ResetStandIn();
        OpenWindow();
        d3d = Direct3DCreate9(D3D_SDK_VERSION);
        ASSERT_NE(d3d, nullptr);
    }

    // Starts the window layer from the environment and opens the device window, shown and active.
    void OpenWindow() {
        PlatformWindowReset();
        WNDCLASSA wc{};
        wc.lpfnWndProc = Proc;
        wc.lpszClassName = "d3d9_test";
        RegisterClassA(&wc);
        window =
            CreateWindowExA(0, "d3d9_test", "", WS_OVERLAPPEDWINDOW, 0, 0, 64, 32, nullptr, nullptr, nullptr, nullptr);
        ShowWindow(window, 5 /* SW_SHOW */);
    }

    void TearDown() override {
        if (device != nullptr) {
            EXPECT_EQ(device->Release(), 0u);
        }
        d3d->Release();
        PlatformWindowReset();
    }

    D3DPRESENT_PARAMETERS Windowed(bool depth = true) {
        D3DPRESENT_PARAMETERS pp{};
        pp.BackBufferFormat = D3DFMT_A8R8G8B8;
        pp.SwapEffect = D3DSWAPEFFECT_COPY;
        pp.hDeviceWindow = window;
        pp.Windowed = TRUE;
        pp.EnableAutoDepthStencil = depth;
        pp.AutoDepthStencilFormat = D3DFMT_D24S8;
        return pp;
    }

    void Create(D3DPRESENT_PARAMETERS pp) {
        ASSERT_EQ(d3d->CreateDevice(0, D3DDEVTYPE_HAL, window, D3DCREATE_HARDWARE_VERTEXPROCESSING, &pp, &device),
                  D3D_OK);
    }

    // The back buffer's pixels as 0xAARRGGBB words, read through a system-memory copy.
    std::vector<DWORD> BackBuffer(UINT* width = nullptr) {
        IDirect3DSurface9* back = nullptr;
        EXPECT_EQ(device->GetBackBuffer(0, 0, D3DBACKBUFFER_TYPE_MONO, &back), D3D_OK);
        D3DSURFACE_DESC desc;
        back->GetDesc(&desc);
        IDirect3DSurface9* copy = nullptr;
        EXPECT_EQ(device->CreateOffscreenPlainSurface(desc.Width, desc.Height, desc.Format, D3DPOOL_SYSTEMMEM, &copy,
                                                      nullptr),
                  D3D_OK);
        EXPECT_EQ(device->GetRenderTargetData(back, copy), D3D_OK);
        D3DLOCKED_RECT lr;
        EXPECT_EQ(copy->LockRect(&lr, nullptr, D3DLOCK_READONLY), D3D_OK);
        std::vector<DWORD> pixels(desc.Width * desc.Height);
        for (UINT y = 0; y < desc.Height; ++y)
            std::memcpy(&pixels[y * desc.Width], static_cast<BYTE*>(lr.pBits) + y * lr.Pitch, desc.Width * 4);
        copy->UnlockRect();
        copy->Release();
        back->Release();
        if (width != nullptr)
            *width = desc.Width;
        return pixels;
    }
};

TEST_F(D3d9Test, ContainedSurfacesLiveWithTheirContainerAndBindingsKeepObjectsAlive) {
    Create(Windowed());
    EXPECT_EQ(D3d9LiveObjects(device), 0);

    // A level counts on its texture.
    IDirect3DTexture9* texture = nullptr;
    ASSERT_EQ(device->CreateTexture(16, 16, 0, 0, D3DFMT_A8R8G8B8, D3DPOOL_MANAGED, &texture, nullptr), D3D_OK);
    IDirect3DSurface9* level = nullptr;
    ASSERT_EQ(texture->GetSurfaceLevel(2, &level), D3D_OK);
    EXPECT_EQ(texture->AddRef(), 3u);
    EXPECT_EQ(texture->Release(), 2u);
    EXPECT_EQ(texture->Release(), 1u); // the level's reference keeps the texture
    D3DSURFACE_DESC desc;
    ASSERT_EQ(level->GetDesc(&desc), D3D_OK);
    EXPECT_EQ(desc.Width, 4u);
    EXPECT_EQ(level->Release(), 0u);
    EXPECT_EQ(D3d9LiveObjects(device), 0);

    // The back buffer and the automatic depth surface belong to the device: their counts fall to
    // 0 and they stay where they are.
    IDirect3DSurface9* back = nullptr;
    IDirect3DSurface9* depth = nullptr;
    ASSERT_EQ(device->GetRenderTarget(0, &back), D3D_OK);
    ASSERT_EQ(device->GetDepthStencilSurface(&depth), D3D_OK);
    EXPECT_EQ(back->Release(), 0u);
    EXPECT_EQ(depth->Release(), 0u);
    ASSERT_EQ(back->GetDesc(&desc), D3D_OK);
    EXPECT_EQ(desc.Usage, D3DUSAGE_RENDERTARGET);
    EXPECT_EQ(desc.Width, 64u); // the window's client size
    EXPECT_EQ(desc.Height, 32u);
    ASSERT_EQ(depth->GetDesc(&desc), D3D_OK);
    EXPECT_EQ(desc.Format, D3DFMT_D24S8);

    // A bound object released to 0 lives until it is unbound.
    IDirect3DVertexBuffer9* vb = nullptr;
    ASSERT_EQ(device->CreateVertexBuffer(64, D3DUSAGE_WRITEONLY, 0, D3DPOOL_MANAGED, &vb, nullptr), D3D_OK);
    ASSERT_EQ(device->CreateTexture(8, 8, 1, 0, D3DFMT_R5G6B5, D3DPOOL_MANAGED, &texture, nullptr), D3D_OK);
    device->SetStreamSource(0, vb, 0, 16);
    device->SetTexture(3, texture);
    EXPECT_EQ(vb->Release(), 0u);
    EXPECT_EQ(texture->Release(), 0u);
    EXPECT_EQ(D3d9LiveObjects(device), 2);
    IDirect3DBaseTexture9* bound = nullptr;
    ASSERT_EQ(device->GetTexture(3, &bound), D3D_OK);
    EXPECT_EQ(bound->GetLevelCount(), 1u);
    EXPECT_EQ(bound->Release(), 0u);
    device->SetTexture(3, nullptr);
    device->SetStreamSource(0, nullptr, 0, 0);
    EXPECT_EQ(D3d9LiveObjects(device), 0);

    // Released in any order: the device first, its objects after it. ASan checks for leaks.
    IDirect3DIndexBuffer9* ib = nullptr;
    ASSERT_EQ(device->CreateIndexBuffer(32, 0, D3DFMT_INDEX16, D3DPOOL_DEFAULT, &ib, nullptr), D3D_OK);
    device->SetIndices(ib);
    ASSERT_EQ(device->CreateTexture(4, 4, 0, 0, D3DFMT_L8, D3DPOOL_MANAGED, &texture, nullptr), D3D_OK);
    ASSERT_EQ(texture->GetSurfaceLevel(0, &level), D3D_OK);
    texture->Release();
    EXPECT_EQ(device->Release(), 0u);
    device = nullptr;
    void* data = nullptr;
    EXPECT_EQ(ib->Lock(0, 0, &data, 0), D3D_OK);
    EXPECT_EQ(ib->Unlock(), D3D_OK);
    EXPECT_EQ(ib->Release(), 0u);
    EXPECT_EQ(level->Release(), 0u);
}

TEST_F(D3d9Test, ResetWaitsForDefaultPoolResourcesAndRestoresEveryDefault) {
    Create(Windowed());
    const struct {
        DWORD state, changed, initial;
    } render[] = {
        {D3DRS_ZENABLE, 0, 1},
        {D3DRS_FILLMODE, 2, 3},
        {D3DRS_SHADEMODE, 1, 2},
        {D3DRS_ZWRITEENABLE, 0, 1},
        {D3DRS_SRCBLEND, 5, 2},
        {D3DRS_DESTBLEND, 6, 1},
        {D3DRS_CULLMODE, 2, 3},
        {D3DRS_ZFUNC, 8, 4},
        {D3DRS_ALPHAFUNC, 5, 8},
        {D3DRS_FOGEND, 0, 0x3F800000},
        {D3DRS_STENCILMASK, 0, ~0u},
        {D3DRS_TEXTUREFACTOR, 0, ~0u},
        {D3DRS_LIGHTING, 0, 1},
        {D3DRS_AMBIENT, 0xFF102030, 0},
        {D3DRS_COLORVERTEX, 0, 1},
        {D3DRS_DIFFUSEMATERIALSOURCE, 0, 1},
        {D3DRS_SPECULARMATERIALSOURCE, 0, 2},
        {D3DRS_COLORWRITEENABLE, 7, 0xF},
        {D3DRS_CLIPPING, 0, 1},
        {D3DRS_BLENDOP, 2, 1},
    };
    for (const auto& r : render)
        ASSERT_EQ(device->SetRenderState(r.state, r.changed), D3D_OK) << r.state;
    device->SetTextureStageState(0, D3DTSS_COLOROP, D3DTOP_SELECTARG2);
    device->SetTextureStageState(2, D3DTSS_TEXCOORDINDEX, 0);
    device->SetSamplerState(1, D3DSAMP_MINFILTER, D3DTEXF_LINEAR);
    D3DMATRIX m{};
    m.m[0][0] = 2.0f;
    device->SetTransform(D3DTS_WORLD, &m);
    D3DLIGHT9 light{};
    light.Type = D3DLIGHT_POINT;
    light.Range = 10.0f;
    device->SetLight(0, &light);
    device->LightEnable(0, TRUE);

    // A default-pool buffer the system still holds refuses the Reset; the device then waits for one.
    IDirect3DVertexBuffer9* vb = nullptr;
    IDirect3DTexture9* managed = nullptr;
    ASSERT_EQ(device->CreateVertexBuffer(64, 0, 0, D3DPOOL_DEFAULT, &vb, nullptr), D3D_OK);
    ASSERT_EQ(device->CreateTexture(8, 8, 0, 0, D3DFMT_A8R8G8B8, D3DPOOL_MANAGED, &managed, nullptr), D3D_OK);
    D3DPRESENT_PARAMETERS pp = Windowed();
    EXPECT_EQ(device->Reset(&pp), D3DERR_INVALIDCALL);
    EXPECT_EQ(device->TestCooperativeLevel(), D3DERR_DEVICENOTRESET);
    vb->Release();
    // So does a held back buffer.
    IDirect3DSurface9* back = nullptr;
    device->GetBackBuffer(0, 0, D3DBACKBUFFER_TYPE_MONO, &back);
    EXPECT_EQ(device->Reset(&pp), D3DERR_INVALIDCALL);
    back->Release();
    SetWindowPos(window, nullptr, 0, 0, 40, 20, 0x2 | 0x4);
    ASSERT_EQ(device->Reset(&pp), D3D_OK);
    EXPECT_EQ(device->TestCooperativeLevel(), D3D_OK);
    EXPECT_EQ(pp.BackBufferWidth, 40u); // the new client size, written back
    EXPECT_EQ(D3d9DeviceCounters(device).resets, 1);

    for (const auto& r : render) {
        DWORD v = 0;
        ASSERT_EQ(device->GetRenderState(r.state, &v), D3D_OK);
        EXPECT_EQ(v, r.initial) << "render state " << r.state;
    }
    DWORD v = 0;
    device->GetTextureStageState(0, D3DTSS_COLOROP, &v);
    EXPECT_EQ(v, D3DTOP_MODULATE);
    device->GetTextureStageState(2, D3DTSS_TEXCOORDINDEX, &v);
    EXPECT_EQ(v, 2u);
    device->GetTextureStageState(1, D3DTSS_ALPHAOP, &v);
    EXPECT_EQ(v, D3DTOP_DISABLE);
    device->GetSamplerState(1, D3DSAMP_MINFILTER, &v);
    EXPECT_EQ(v, D3DTEXF_POINT);
    device->GetTransform(D3DTS_WORLD, &m);
    EXPECT_EQ(m.m[0][0], 1.0f);
    BOOL on = TRUE;
    EXPECT_EQ(device->GetLightEnable(0, &on), D3DERR_INVALIDCALL); // no lights at all
    D3DVIEWPORT9 vp;
    device->GetViewport(&vp);
    EXPECT_EQ(vp.Width, 40u);
    EXPECT_EQ(vp.Height, 20u);
    // Managed resources survive.
    IDirect3DSurface9* level = nullptr;
    EXPECT_EQ(managed->GetSurfaceLevel(1, &level), D3D_OK);
    level->Release();
    managed->Release();
}

TEST_F(D3d9Test, LostDeviceSequences) {
    Create(Windowed());
    // Scripted loss: lost once, then waiting for a Reset; Present reports the loss.
    D3d9LoseDevice(device);
    EXPECT_EQ(device->TestCooperativeLevel(), D3DERR_DEVICELOST);
    EXPECT_EQ(device->Present(nullptr, nullptr, nullptr, nullptr), D3DERR_DEVICELOST);
    EXPECT_EQ(device->TestCooperativeLevel(), D3DERR_DEVICENOTRESET);
    D3DPRESENT_PARAMETERS pp = Windowed();
    ASSERT_EQ(device->Reset(&pp), D3D_OK);
    EXPECT_EQ(device->TestCooperativeLevel(), D3D_OK);
    EXPECT_EQ(device->Present(nullptr, nullptr, nullptr, nullptr), D3D_OK);

    // A scripted lost Present loses the device.
    D3d9ScriptFailure("Present", D3DERR_DEVICELOST);
    EXPECT_EQ(device->Present(nullptr, nullptr, nullptr, nullptr), D3DERR_DEVICELOST);
    EXPECT_EQ(device->TestCooperativeLevel(), D3DERR_DEVICENOTRESET);
    D3d9ScriptFailure("Reset", D3DERR_INVALIDCALL);
    EXPECT_EQ(device->Reset(&pp), D3DERR_INVALIDCALL);
    ASSERT_EQ(device->Reset(&pp), D3D_OK);
    device->Release();

    // Full screen: the window losing the focus loses the device, until it has it back and Reset.
    pp = Windowed();
    pp.Windowed = FALSE;
    pp.BackBufferWidth = 640;
    pp.BackBufferHeight = 480;
    pp.FullScreen_RefreshRateInHz = 85;
    ASSERT_EQ(d3d->CreateDevice(0, D3DDEVTYPE_HAL, window, D3DCREATE_HARDWARE_VERTEXPROCESSING, &pp, &device), D3D_OK);
    EXPECT_EQ(device->TestCooperativeLevel(), D3D_OK);
    PlatformInputFocus(window, false);
    EXPECT_EQ(device->TestCooperativeLevel(), D3DERR_DEVICELOST);
    EXPECT_EQ(device->Present(nullptr, nullptr, nullptr, nullptr), D3DERR_DEVICELOST);
    EXPECT_EQ(device->Reset(&pp), D3DERR_DEVICELOST);
    PlatformInputFocus(window, true);
    EXPECT_EQ(device->TestCooperativeLevel(), D3DERR_DEVICENOTRESET);
    ASSERT_EQ(device->Reset(&pp), D3D_OK);
    EXPECT_EQ(device->TestCooperativeLevel(), D3D_OK);
    // A full-screen size that is no mode is refused.
    pp.BackBufferWidth = 650;
    EXPECT_EQ(device->Reset(&pp), D3DERR_INVALIDCALL);
}

TEST_F(D3d9Test, ClearStaysInsideTheViewportAndSettingTargetZeroResetsIt) {
    Create(Windowed());
    ASSERT_EQ(device->Clear(0, nullptr, D3DCLEAR_TARGET | D3DCLEAR_ZBUFFER, 0xFF000000, 1.0f, 0), D3D_OK);
    const D3DVIEWPORT9 vp{10, 5, 20, 8, 0.0f, 1.0f};
    ASSERT_EQ(device->SetViewport(&vp), D3D_OK);
    const D3DRECT rects[] = {{0, 0, 15, 64}, {25, 10, 64, 11}};
    ASSERT_EQ(device->Clear(2, rects, D3DCLEAR_TARGET, 0xFF00FF00, 1.0f, 0), D3D_OK);
    ASSERT_EQ(device->Clear(0, nullptr, D3DCLEAR_TARGET, 0xFFFF0000, 1.0f, 0), D3D_OK);
    UINT width = 0;
    std::vector<DWORD> pixels = BackBuffer(&width);
    for (UINT y = 0; y < 32; ++y)
        for (UINT x = 0; x < width; ++x) {
            const bool inside = x >= 10 && x < 30 && y >= 5 && y < 13;
            ASSERT_EQ(pixels[y * width + x], inside ? 0xFFFF0000u : 0xFF000000u) << x << "," << y;
        }
    // The first clear's rectangles are cut to the viewport as well: only the red remains visible,
    // so clear them again without the full clear and look at their overlap.
    ASSERT_EQ(device->Clear(2, rects, D3DCLEAR_TARGET, 0xFF00FF00, 1.0f, 0), D3D_OK);
    pixels = BackBuffer();
    EXPECT_EQ(pixels[5 * width + 14], 0xFF00FF00u);
    EXPECT_EQ(pixels[5 * width + 15], 0xFFFF0000u);
    EXPECT_EQ(pixels[10 * width + 29], 0xFF00FF00u);
    EXPECT_EQ(pixels[10 * width + 30], 0xFF000000u);

    // A viewport outside the target is refused; SetRenderTarget(0) resets the viewport.
    D3DVIEWPORT9 outside{60, 0, 8, 8, 0.0f, 1.0f};
    EXPECT_EQ(device->SetViewport(&outside), D3DERR_INVALIDCALL);
    IDirect3DTexture9* rt = nullptr;
    ASSERT_EQ(device->CreateTexture(32, 16, 1, D3DUSAGE_RENDERTARGET, D3DFMT_X8R8G8B8, D3DPOOL_DEFAULT, &rt, nullptr),
              D3D_OK);
    IDirect3DSurface9* level = nullptr;
    rt->GetSurfaceLevel(0, &level);
    ASSERT_EQ(device->SetRenderTarget(0, level), D3D_OK);
    D3DVIEWPORT9 now{};
    device->GetViewport(&now);
    EXPECT_EQ(now.X, 0u);
    EXPECT_EQ(now.Width, 32u);
    EXPECT_EQ(now.Height, 16u);
    EXPECT_EQ(device->SetRenderTarget(0, nullptr), D3DERR_INVALIDCALL);
    level->Release();
    rt->Release(); // bound as target 0: lives on

    // Depth or stencil without a matching surface fails the whole clear.
    device->SetDepthStencilSurface(nullptr);
    EXPECT_EQ(device->Clear(0, nullptr, D3DCLEAR_TARGET | D3DCLEAR_ZBUFFER, 0, 1.0f, 0), D3DERR_INVALIDCALL);
    IDirect3DSurface9* depth = nullptr;
    ASSERT_EQ(device->CreateDepthStencilSurface(32, 16, D3DFMT_D24X8, D3DMULTISAMPLE_NONE, 0, FALSE, &depth, nullptr),
              D3D_OK);
    device->SetDepthStencilSurface(depth);
    EXPECT_EQ(device->Clear(0, nullptr, D3DCLEAR_STENCIL, 0, 1.0f, 0), D3DERR_INVALIDCALL);
    EXPECT_EQ(device->Clear(0, nullptr, D3DCLEAR_ZBUFFER, 0, 0.5f, 0), D3D_OK);
    EXPECT_EQ(device->Clear(0, nullptr, D3DCLEAR_ZBUFFER, 0, 1.5f, 0), D3DERR_INVALIDCALL);
    auto* record = dynamic_cast<d3d9::Surface*>(depth);
    EXPECT_NEAR(d3d9::ReadDepth(D3DFMT_D24X8, record->image.At(31, 15)), 0.5f, 1e-6f);
    depth->Release();
}

TEST_F(D3d9Test, LevelsHaveTheirSizesAndPitchesAndLocksFollowThePlatformRules) {
    Create(Windowed());
    const struct {
        D3DFORMAT format;
        UINT pitches[5];
    } cases[] = {
        {D3DFMT_A8R8G8B8, {64, 32, 16, 8, 4}},
        {D3DFMT_R5G6B5, {32, 16, 8, 4, 4}},
        {D3DFMT_L8, {16, 8, 4, 4, 4}},
    };
    const UINT sizes[5][2] = {{16, 4}, {8, 2}, {4, 1}, {2, 1}, {1, 1}};
    for (const auto& c : cases) {
        IDirect3DTexture9* t = nullptr;
        ASSERT_EQ(device->CreateTexture(16, 4, 0, 0, c.format, D3DPOOL_MANAGED, &t, nullptr), D3D_OK);
        ASSERT_EQ(t->GetLevelCount(), 5u);
        for (UINT l = 0; l < 5; ++l) {
            IDirect3DSurface9* s = nullptr;
            ASSERT_EQ(t->GetSurfaceLevel(l, &s), D3D_OK);
            D3DSURFACE_DESC d;
            s->GetDesc(&d);
            EXPECT_EQ(d.Width, sizes[l][0]);
            EXPECT_EQ(d.Height, sizes[l][1]);
            D3DLOCKED_RECT lr;
            ASSERT_EQ(s->LockRect(&lr, nullptr, 0), D3D_OK);
            EXPECT_EQ(static_cast<UINT>(lr.Pitch), c.pitches[l]) << c.format << " level " << l;
            EXPECT_EQ(s->LockRect(&lr, nullptr, 0), D3DERR_INVALIDCALL); // locked already
            EXPECT_EQ(s->UnlockRect(), D3D_OK);
            EXPECT_EQ(s->UnlockRect(), D3DERR_INVALIDCALL);
            s->Release();
        }
        IDirect3DSurface9* none = nullptr;
        EXPECT_EQ(t->GetSurfaceLevel(5, &none), D3DERR_INVALIDCALL);
        t->Release();
    }

    // A rectangle lock points at its corner; rectangles outside the level are refused.
    IDirect3DSurface9* plain = nullptr;
    ASSERT_EQ(device->CreateOffscreenPlainSurface(8, 8, D3DFMT_X8R8G8B8, D3DPOOL_SYSTEMMEM, &plain, nullptr), D3D_OK);
    D3DLOCKED_RECT whole, part;
    plain->LockRect(&whole, nullptr, 0);
    plain->UnlockRect();
    const RECT r{2, 3, 5, 8};
    ASSERT_EQ(plain->LockRect(&part, &r, 0), D3D_OK);
    EXPECT_EQ(static_cast<BYTE*>(part.pBits) - static_cast<BYTE*>(whole.pBits), 3 * 32 + 2 * 4);
    plain->UnlockRect();
    const RECT beyond{2, 3, 9, 8};
    EXPECT_EQ(plain->LockRect(&part, &beyond, 0), D3DERR_INVALIDCALL);
    plain->Release();

    // What the platform does not lock: default-pool textures, render targets, non-dynamic discards.
    IDirect3DTexture9* t = nullptr;
    ASSERT_EQ(device->CreateTexture(8, 8, 1, 0, D3DFMT_A8R8G8B8, D3DPOOL_DEFAULT, &t, nullptr), D3D_OK);
    IDirect3DSurface9* s = nullptr;
    t->GetSurfaceLevel(0, &s);
    EXPECT_EQ(s->LockRect(&whole, nullptr, 0), D3DERR_INVALIDCALL);
    s->Release();
    t->Release();
    ASSERT_EQ(device->CreateTexture(8, 8, 1, 0, D3DFMT_A8R8G8B8, D3DPOOL_MANAGED, &t, nullptr), D3D_OK);
    t->GetSurfaceLevel(0, &s);
    EXPECT_EQ(s->LockRect(&whole, nullptr, D3DLOCK_DISCARD), D3DERR_INVALIDCALL);
    s->Release();
    t->Release();

    // Creation rules: sizes, pools, usages, formats and level counts.
    EXPECT_EQ(device->CreateTexture(24, 8, 1, 0, D3DFMT_A8R8G8B8, D3DPOOL_MANAGED, &t, nullptr), D3DERR_INVALIDCALL);
    EXPECT_EQ(device->CreateTexture(8, 8, 5, 0, D3DFMT_A8R8G8B8, D3DPOOL_MANAGED, &t, nullptr), D3DERR_INVALIDCALL);
    EXPECT_EQ(device->CreateTexture(8, 8, 1, D3DUSAGE_RENDERTARGET, D3DFMT_A8R8G8B8, D3DPOOL_MANAGED, &t, nullptr),
              D3DERR_INVALIDCALL);
    EXPECT_EQ(device->CreateTexture(8, 8, 1, 0, D3DFMT_P8, D3DPOOL_MANAGED, &t, nullptr), D3DERR_INVALIDCALL);
    EXPECT_EQ(device->CreateTexture(8, 8, 1, 0, D3DFMT_DXT1, D3DPOOL_MANAGED, &t, nullptr), D3DERR_INVALIDCALL);
    ASSERT_EQ(device->CreateTexture(8, 8, 0, D3DUSAGE_AUTOGENMIPMAP, D3DFMT_A8R8G8B8, D3DPOOL_MANAGED, &t, nullptr),
              D3D_OK);
    EXPECT_EQ(t->GetLevelCount(), 1u);
    t->Release();
    IDirect3DCubeTexture9* cube = nullptr;
    EXPECT_EQ(device->CreateCubeTexture(8, 0, 0, D3DFMT_A8R8G8B8, D3DPOOL_MANAGED, &cube, nullptr), D3DERR_INVALIDCALL);
    EXPECT_EQ(D3d9LiveObjects(device), 0);
}

TEST_F(D3d9Test, AdaptersAnswerFromTheirTablesAndConfiguredFormatsWork) {
    EXPECT_EQ(d3d->GetAdapterCount(), 1u);
    EXPECT_EQ(d3d->GetAdapterModeCount(0, D3DFMT_X8R8G8B8), 14u);
    EXPECT_EQ(d3d->GetAdapterModeCount(0, D3DFMT_A2R10G10B10), 0u);
    D3DDISPLAYMODE mode;
    ASSERT_EQ(d3d->EnumAdapterModes(0, D3DFMT_X8R8G8B8, 13, &mode), D3D_OK);
    EXPECT_EQ(mode.Width, 1600u);
    EXPECT_EQ(mode.RefreshRate, 85u);
    EXPECT_EQ(d3d->EnumAdapterModes(0, D3DFMT_X8R8G8B8, 14, &mode), D3DERR_INVALIDCALL);
    EXPECT_EQ(d3d->CheckDeviceType(0, D3DDEVTYPE_HAL, D3DFMT_X8R8G8B8, D3DFMT_A8R8G8B8, TRUE), D3D_OK);
    EXPECT_EQ(d3d->CheckDeviceType(0, D3DDEVTYPE_HAL, D3DFMT_R5G6B5, D3DFMT_A8R8G8B8, FALSE), D3DERR_NOTAVAILABLE);
    const D3DFORMAT desk = D3DFMT_X8R8G8B8;
    EXPECT_EQ(
        d3d->CheckDeviceFormat(0, D3DDEVTYPE_HAL, desk, D3DUSAGE_AUTOGENMIPMAP, D3DRTYPE_TEXTURE, D3DFMT_A8R8G8B8),
        D3DOK_NOAUTOGEN);
    EXPECT_EQ(d3d->CheckDeviceFormat(0, D3DDEVTYPE_HAL, desk, D3DUSAGE_RENDERTARGET, D3DRTYPE_TEXTURE, D3DFMT_L8),
              D3DERR_NOTAVAILABLE);
    EXPECT_EQ(d3d->CheckDeviceFormat(0, D3DDEVTYPE_HAL, desk, D3DUSAGE_DEPTHSTENCIL, D3DRTYPE_SURFACE, D3DFMT_D16),
              D3D_OK);
    EXPECT_EQ(d3d->CheckDeviceFormat(0, D3DDEVTYPE_HAL, desk, D3DUSAGE_DEPTHSTENCIL, D3DRTYPE_TEXTURE, D3DFMT_D16),
              D3DERR_NOTAVAILABLE);
    EXPECT_EQ(d3d->CheckDepthStencilMatch(0, D3DDEVTYPE_HAL, desk, D3DFMT_A8R8G8B8, D3DFMT_D24S8), D3D_OK);
    D3DCAPS9 caps;
    ASSERT_EQ(d3d->GetDeviceCaps(0, D3DDEVTYPE_HAL, &caps), D3D_OK);
    EXPECT_EQ(caps.VertexShaderVersion, 0u);
    EXPECT_EQ(caps.PixelShaderVersion, D3DPS_VERSION(1, 4));
    d3d->Release();

    // Two adapters, the first refusing its caps; the second with the shader preset, automatic mip
    // levels, DXT and cube maps.
    D3d9Adapter refusing = D3d9DefaultAdapter();
    refusing.capsFail = true;
    D3d9Adapter rich = D3d9DefaultAdapter(D3d9Preset::ShaderModel2Vertex);
    rich.caps.Caps2 |= D3DCAPS2_CANAUTOGENMIPMAP;
    rich.textureFormats.push_back(D3DFMT_DXT1);
    rich.cubeFormats = {D3DFMT_A8R8G8B8};
    D3d9SetAdapters({refusing, rich});
    d3d = Direct3DCreate9(D3D_SDK_VERSION);
    EXPECT_EQ(d3d->GetAdapterCount(), 2u);
    EXPECT_EQ(d3d->GetDeviceCaps(0, D3DDEVTYPE_HAL, &caps), D3DERR_NOTAVAILABLE);
    ASSERT_EQ(d3d->GetDeviceCaps(1, D3DDEVTYPE_HAL, &caps), D3D_OK);
    EXPECT_EQ(caps.VertexShaderVersion, D3DVS_VERSION(2, 0));
    EXPECT_EQ(caps.AdapterOrdinal, 1u);
    EXPECT_EQ(
        d3d->CheckDeviceFormat(1, D3DDEVTYPE_HAL, desk, D3DUSAGE_AUTOGENMIPMAP, D3DRTYPE_TEXTURE, D3DFMT_A8R8G8B8),
        D3D_OK);
    D3DPRESENT_PARAMETERS pp = Windowed();
    ASSERT_EQ(d3d->CreateDevice(1, D3DDEVTYPE_HAL, window, D3DCREATE_HARDWARE_VERTEXPROCESSING, &pp, &device), D3D_OK);
    IDirect3DTexture9* t = nullptr;
    ASSERT_EQ(device->CreateTexture(8, 8, 0, 0, D3DFMT_DXT1, D3DPOOL_MANAGED, &t, nullptr), D3D_OK);
    IDirect3DSurface9* s = nullptr;
    t->GetSurfaceLevel(3, &s);
    D3DLOCKED_RECT lr;
    ASSERT_EQ(s->LockRect(&lr, nullptr, 0), D3D_OK);
    EXPECT_EQ(lr.Pitch, 8); // one 4x4 block of 8 bytes, even for a 1x1 level
    s->UnlockRect();
    s->Release();
    t->Release();
    IDirect3DCubeTexture9* cube = nullptr;
    ASSERT_EQ(device->CreateCubeTexture(8, 0, 0, D3DFMT_A8R8G8B8, D3DPOOL_MANAGED, &cube, nullptr), D3D_OK);
    EXPECT_EQ(cube->GetLevelCount(), 4u);
    EXPECT_EQ(cube->GetCubeMapSurface(5, 3, &s), D3D_OK);
    EXPECT_EQ(cube->Release(), 1u);
    EXPECT_EQ(s->Release(), 0u);
    // Vertex shaders: what the stand-in's assembler makes, up to the caps' version; blobs it
    // cannot run are refused.
    static const char text[] = "vs_2_0\ndcl_position0 v0\nm4x4 oPos, v0, c[0]\n";
    ID3DXBuffer* tokens = nullptr;
    ASSERT_EQ(D3DXAssembleShader(text, sizeof text - 1, nullptr, nullptr, 4, &tokens, nullptr), D3D_OK);
    IDirect3DVertexShader9* shader = nullptr;
    ASSERT_EQ(device->CreateVertexShader(static_cast<const DWORD*>(tokens->GetBufferPointer()), &shader), D3D_OK);
    EXPECT_EQ(shader->Release(), 0u);
    EXPECT_EQ(tokens->Release(), 0u);
    static const DWORD vs20[] = {D3DVS_VERSION(2, 0), 0x0002FFFE, 1, 2, 0x0000FFFF};
    static const DWORD vs30[] = {D3DVS_VERSION(3, 0), 0x0000FFFF};
    EXPECT_EQ(device->CreateVertexShader(vs20, &shader), D3DERR_INVALIDCALL);
    EXPECT_EQ(device->CreateVertexShader(vs30, &shader), D3DERR_INVALIDCALL);
}

TEST_F(D3d9Test, CodecMatchesHandComputedValues) {
    using namespace d3d9;
    const struct {
        D3DFORMAT format;
        D3DCOLOR in;
        DWORD bits; // the stored pixel, little-endian
        D3DCOLOR out;
    } cases[] = {
        {D3DFMT_A8R8G8B8, 0x80123456, 0x80123456, 0x80123456},
        {D3DFMT_X8R8G8B8, 0x00123456, 0xFF123456, 0xFF123456},
        {D3DFMT_R5G6B5, 0xFFFF8000, 0xFC00, 0xFFFF8200},
        {D3DFMT_X1R5G5B5, 0x00FF0000, 0xFC00, 0xFFFF0000},
        {D3DFMT_A1R5G5B5, 0x7F0000FF, 0x001F, 0x000000FF},
        {D3DFMT_A1R5G5B5, 0x800000FF, 0x801F, 0xFF0000FF},
        {D3DFMT_A4R4G4B4, 0x80FF8000, 0x8F80, 0x88FF8800},
        {D3DFMT_R8G8B8, 0x00112233, 0x112233, 0xFF112233},
        {D3DFMT_L8, 0xFF0A141E, 0x12, 0xFF121212},
        {D3DFMT_A8L8, 0x40FFFFFF, 0x40FF, 0x40FFFFFF},
        {D3DFMT_A8, 0x7F123456, 0x7F, 0x7F000000},
        {D3DFMT_A8B8G8R8, 0x11223344, 0x11443322, 0x11223344},
        {D3DFMT_A2R10G10B10, 0xFFFF0000, 0xFFF00000, 0xFFFF0000},
    };
    for (const auto& c : cases) {
        BYTE pixel[4] = {};
        WritePixel(c.format, pixel, c.in);
        DWORD stored = 0;
        std::memcpy(&stored, pixel, Format(c.format)->bytes);
        EXPECT_EQ(stored, c.bits) << "format " << c.format;
        EXPECT_EQ(ReadPixel(c.format, pixel, nullptr), c.out) << "format " << c.format;
    }
    // Palettised: the entry's flags are the alpha.
    PALETTEENTRY palette[256] = {};
    palette[7] = PALETTEENTRY{10, 20, 30, 40};
    const BYTE index = 7;
    EXPECT_EQ(ReadPixel(D3DFMT_P8, &index, palette), 0x280A141Eu);

    // DXT1: red and blue end points, every texel the first two-thirds mix; then the
    // three-colour form's transparent black. DXT5: interpolated alpha.
    const BYTE dxt1[8] = {0x00, 0xF8, 0x1F, 0x00, 0xAA, 0xAA, 0xAA, 0xAA};
    D3DCOLOR block[16];
    DecodeBlock(D3DFMT_DXT1, dxt1, block);
    EXPECT_EQ(block[0], 0xFFAA0055u);
    EXPECT_EQ(block[15], 0xFFAA0055u);
    const BYTE transparent[8] = {0x1F, 0x00, 0x00, 0xF8, 0xFF, 0xFF, 0xFF, 0xFF};
    DecodeBlock(D3DFMT_DXT1, transparent, block);
    EXPECT_EQ(block[3], 0u);
    const BYTE dxt5[16] = {200, 100, 0x01, 0, 0, 0, 0, 0, 0x00, 0xF8, 0x00, 0xF8, 0, 0, 0, 0};
    DecodeBlock(D3DFMT_DXT5, dxt5, block);
    EXPECT_EQ(block[0], 0x64FF0000u); // index 1: the second end point, 100
    EXPECT_EQ(block[1], 0xC8FF0000u); // index 0: 200

    // Depth and stencil share a word.
    BYTE d[4] = {};
    WriteDepth(D3DFMT_D24S8, d, 0.5f);
    WriteStencil(D3DFMT_D24S8, d, 0x5A);
    EXPECT_EQ(d[0], 0x5A);
    EXPECT_EQ(ReadStencil(D3DFMT_D24S8, d), 0x5Au);
    EXPECT_NEAR(ReadDepth(D3DFMT_D24S8, d), 0.5f, 1e-7f);
    WriteDepth(D3DFMT_D16, d, 1.0f);
    EXPECT_EQ(d[0] | d[1] << 8, 0xFFFF);
}

TEST_F(D3d9Test, CopiesBetweenSurfacesConvertScaleAndCheckTheirRectangles) {
    Create(Windowed());
    IDirect3DSurface9* sys = nullptr;
    IDirect3DSurface9* plain = nullptr;
    ASSERT_EQ(device->CreateOffscreenPlainSurface(4, 4, D3DFMT_R5G6B5, D3DPOOL_SYSTEMMEM, &sys, nullptr), D3D_OK);
    ASSERT_EQ(device->CreateOffscreenPlainSurface(4, 4, D3DFMT_R5G6B5, D3DPOOL_DEFAULT, &plain, nullptr), D3D_OK);
    D3DLOCKED_RECT lr;
    sys->LockRect(&lr, nullptr, 0);
    for (int y = 0; y < 4; ++y)
        for (int x = 0; x < 4; ++x)
            reinterpret_cast<WORD*>(static_cast<BYTE*>(lr.pBits) + y * lr.Pitch)[x] = x < 2 ? 0xF800 : 0x001F;
    sys->UnlockRect();
    const RECT half{2, 0, 4, 4};
    const POINT at{0, 0};
    ASSERT_EQ(device->UpdateSurface(sys, &half, plain, &at), D3D_OK); // the blue half to the left
    const POINT off{3, 0};
    EXPECT_EQ(device->UpdateSurface(sys, &half, plain, &off), D3DERR_INVALIDCALL);
    EXPECT_EQ(device->UpdateSurface(plain, nullptr, sys, nullptr), D3DERR_INVALIDCALL); // wrong pools

    // Stretch the 4x4 plain surface over the 64x32 back buffer: converted to A8R8G8B8.
    IDirect3DSurface9* back = nullptr;
    device->GetBackBuffer(0, 0, D3DBACKBUFFER_TYPE_MONO, &back);
    ASSERT_EQ(device->ColorFill(plain, &half, 0xFF00FF00), D3D_OK);
    ASSERT_EQ(device->StretchRect(plain, nullptr, back, nullptr, D3DTEXF_POINT), D3D_OK);
    UINT width = 0;
    std::vector<DWORD> pixels = BackBuffer(&width);
    EXPECT_EQ(pixels[0], 0xFF0000FFu);
    EXPECT_EQ(pixels[31 * width + 31], 0xFF0000FFu);
    EXPECT_EQ(pixels[31 * width + 32], 0xFF00FF00u);
    EXPECT_EQ(pixels[63], 0xFF00FF00u);
    const RECT big{0, 0, 5, 4};
    EXPECT_EQ(device->StretchRect(plain, &big, back, nullptr, D3DTEXF_POINT), D3DERR_INVALIDCALL);
    EXPECT_EQ(device->StretchRect(sys, nullptr, back, nullptr, D3DTEXF_POINT), D3DERR_INVALIDCALL);

    // A system-memory texture chain into a default-pool one with a level fewer at the top.
    IDirect3DTexture9* from = nullptr;
    IDirect3DTexture9* to = nullptr;
    ASSERT_EQ(device->CreateTexture(8, 8, 0, 0, D3DFMT_L8, D3DPOOL_SYSTEMMEM, &from, nullptr), D3D_OK);
    ASSERT_EQ(device->CreateTexture(4, 4, 0, 0, D3DFMT_L8, D3DPOOL_DEFAULT, &to, nullptr), D3D_OK);
    IDirect3DSurface9* s = nullptr;
    from->GetSurfaceLevel(1, &s);
    s->LockRect(&lr, nullptr, 0);
    static_cast<BYTE*>(lr.pBits)[0] = 77;
    s->UnlockRect();
    s->Release();
    ASSERT_EQ(device->UpdateTexture(from, to), D3D_OK);
    to->GetSurfaceLevel(0, &s);
    EXPECT_EQ(dynamic_cast<d3d9::Surface*>(s)->image.bytes[0], 77);
    s->Release();
    EXPECT_EQ(device->UpdateTexture(to, from), D3DERR_INVALIDCALL);
    from->Release();
    to->Release();
    back->Release();
    sys->Release();
    plain->Release();
}

TEST_F(D3d9Test, CallLogScriptedFailuresAndDrawValidation) {
    Create(Windowed());
    device->SetRenderState(D3DRS_LIGHTING, FALSE);
    EXPECT_TRUE(D3d9Log().empty()); // off by default
    D3d9LogEnable(true);
    device->SetRenderState(D3DRS_LIGHTING, FALSE);
    device->SetRenderState(D3DRS_LIGHTING, TRUE);
    EXPECT_EQ(device->SetRenderState(138, 0), D3DERR_INVALIDCALL);
    EXPECT_EQ(device->SetTextureStageState(8, D3DTSS_COLOROP, 1), D3DERR_INVALIDCALL);
    EXPECT_EQ(device->SetSamplerState(0, 14, 1), D3DERR_INVALIDCALL);
    EXPECT_EQ(D3d9LogCount("SetRenderState"), 3);
    ASSERT_FALSE(D3d9Log().empty());
    EXPECT_EQ(D3d9Log()[0], "SetRenderState(137, 0)");
    D3d9LogClear();
    EXPECT_EQ(D3d9LogCount("SetRenderState"), 0);

    // The second CreateTexture runs out of video memory, the others work.
    D3d9ScriptFailure("CreateTexture", D3DERR_OUTOFVIDEOMEMORY, 1, 1);
    IDirect3DTexture9* t[3] = {};
    EXPECT_EQ(device->CreateTexture(4, 4, 1, 0, D3DFMT_A8R8G8B8, D3DPOOL_MANAGED, &t[0], nullptr), D3D_OK);
    EXPECT_EQ(device->CreateTexture(4, 4, 1, 0, D3DFMT_A8R8G8B8, D3DPOOL_MANAGED, &t[1], nullptr),
              D3DERR_OUTOFVIDEOMEMORY);
    EXPECT_EQ(device->CreateTexture(4, 4, 1, 0, D3DFMT_A8R8G8B8, D3DPOOL_MANAGED, &t[2], nullptr), D3D_OK);
    t[0]->Release();
    t[2]->Release();

    // Draws: inside a scene, every vertex and index within its buffer.
    struct V {
        float x, y, z, rhw;
        DWORD c;
    } v[4] = {{0, 0, 0.5f, 1, 0}, {8, 0, 0.5f, 1, 0}, {0, 8, 0.5f, 1, 0}, {8, 8, 0.5f, 1, 0}};
    device->SetFVF(D3DFVF_XYZRHW | D3DFVF_DIFFUSE);
    EXPECT_EQ(device->DrawPrimitiveUP(D3DPT_TRIANGLESTRIP, 2, v, sizeof(V)), D3DERR_INVALIDCALL);
    ASSERT_EQ(device->BeginScene(), D3D_OK);
    EXPECT_EQ(device->BeginScene(), D3DERR_INVALIDCALL);
    EXPECT_EQ(device->DrawPrimitiveUP(D3DPT_TRIANGLESTRIP, 2, v, sizeof(V)), D3D_OK);
    EXPECT_EQ(device->DrawPrimitiveUP(D3DPT_TRIANGLESTRIP, 0, v, sizeof(V)), D3D_OK);
    IDirect3DVertexBuffer9* vb = nullptr;
    IDirect3DIndexBuffer9* ib = nullptr;
    ASSERT_EQ(device->CreateVertexBuffer(sizeof v, D3DUSAGE_WRITEONLY, D3DFVF_XYZRHW | D3DFVF_DIFFUSE, D3DPOOL_MANAGED,
                                         &vb, nullptr),
              D3D_OK);
    ASSERT_EQ(device->CreateIndexBuffer(12, 0, D3DFMT_INDEX16, D3DPOOL_MANAGED, &ib, nullptr), D3D_OK);
    WORD* idx = nullptr;
    ib->Lock(0, 0, reinterpret_cast<void**>(&idx), 0);
    const WORD indices[6] = {0, 1, 2, 2, 1, 3};
    std::memcpy(idx, indices, sizeof indices);
    ib->Unlock();
    device->SetStreamSource(0, vb, 0, sizeof(V));
    device->SetIndices(ib);
    EXPECT_EQ(device->DrawPrimitive(D3DPT_TRIANGLELIST, 1, 1), D3D_OK);
    EXPECT_EQ(device->DrawPrimitive(D3DPT_TRIANGLELIST, 2, 1), D3DERR_INVALIDCALL); // vertex 4 is past the end
    EXPECT_EQ(device->DrawIndexedPrimitive(D3DPT_TRIANGLELIST, 0, 0, 4, 0, 2), D3D_OK);
    EXPECT_EQ(device->DrawIndexedPrimitive(D3DPT_TRIANGLELIST, 1, 0, 4, 0, 2), D3DERR_INVALIDCALL); // 3 + 1
    EXPECT_EQ(device->DrawIndexedPrimitive(D3DPT_TRIANGLELIST, 0, 0, 4, 3, 2), D3DERR_INVALIDCALL); // 9 indices
    EXPECT_EQ(device->DrawIndexedPrimitiveUP(D3DPT_TRIANGLELIST, 0, 3, 2, indices, D3DFMT_INDEX16, v, sizeof(V)),
              D3DERR_INVALIDCALL); // index 3 outside the named range
    EXPECT_EQ(device->DrawIndexedPrimitiveUP(D3DPT_TRIANGLELIST, 0, 4, 2, indices, D3DFMT_INDEX16, v, sizeof(V)),
              D3D_OK);
    // A draw from user memory leaves stream 0 and the indices unset.
    EXPECT_EQ(device->DrawPrimitive(D3DPT_TRIANGLELIST, 0, 1), D3DERR_INVALIDCALL);
    EXPECT_EQ(device->EndScene(), D3D_OK);
    EXPECT_EQ(D3d9LogCount("DrawPrimitiveUP"), 3);
    const D3d9Counters counters = D3d9DeviceCounters(device);
    EXPECT_EQ(counters.draws, 4);
    EXPECT_EQ(counters.primitives, 2 + 1 + 2 + 2);
    vb->Release();
    ib->Release();

    // Scripted lock failure, then a normal lock.
    D3d9ScriptFailure("LockRect", D3DERR_INVALIDCALL);
    IDirect3DSurface9* plain = nullptr;
    device->CreateOffscreenPlainSurface(2, 2, D3DFMT_A8R8G8B8, D3DPOOL_SYSTEMMEM, &plain, nullptr);
    D3DLOCKED_RECT lr;
    EXPECT_EQ(plain->LockRect(&lr, nullptr, 0), D3DERR_INVALIDCALL);
    EXPECT_EQ(plain->LockRect(&lr, nullptr, 0), D3D_OK);
    plain->UnlockRect();
    plain->Release();
    D3d9ScriptFailure("Direct3DCreate9", E_FAIL);
    EXPECT_EQ(Direct3DCreate9(D3D_SDK_VERSION), nullptr);
}

// Every 16-bit index is held to the range a user-memory draw names, wherever it stands among
// the others (in a run of eight or in the tail) and on either side of 0x8000.
TEST_F(D3d9Test, IndexedDrawsFindTheirSmallestAndLargestIndexAnywhere) {
    Create(Windowed());
    struct V {
        float x, y, z, rhw;
    };
    const UINT first = 0x8000, count = 17; // indices 0x8000 to 0x8010
    std::vector<V> v(first + count + 1, V{0, 0, 0.5f, 1});
    device->SetFVF(D3DFVF_XYZRHW);
    ASSERT_EQ(device->BeginScene(), D3D_OK);
    for (UINT triangles = 1; triangles <= 8; ++triangles) {
        std::vector<WORD> indices(3 * triangles);
        for (std::size_t i = 0; i < indices.size(); ++i)
            indices[i] = static_cast<WORD>(first + (i * 7) % count);
        auto draw = [&] {
            return device->DrawIndexedPrimitiveUP(D3DPT_TRIANGLELIST, first, count, triangles, indices.data(),
                                                  D3DFMT_INDEX16, v.data(), sizeof(V));
        };
        EXPECT_EQ(draw(), D3D_OK) << triangles;
        for (std::size_t at = 0; at < indices.size(); ++at) {
            const WORD kept = indices[at];
            for (const WORD outside : {WORD{first - 1}, WORD{first + count}, WORD{0}, WORD{0xFFFF}}) {
                indices[at] = outside;
                EXPECT_EQ(draw(), D3DERR_INVALIDCALL) << triangles << " " << at << " " << outside;
            }
            indices[at] = kept;
        }
    }
    EXPECT_EQ(device->EndScene(), D3D_OK);
}

TEST_F(D3d9Test, VertexFormatsDeclarationsLightsAndSwapChains) {
    using d3d9::FvfElements;
    const struct {
        DWORD fvf;
        bool valid;
        UINT stride;
        size_t elements;
    } fvfs[] = {
        {0x252, true, 44, 5}, // the bump vertex: position, normal, colour, two coordinate pairs
        {D3DFVF_XYZRHW | D3DFVF_DIFFUSE | D3DFVF_TEX1, true, 28, 3},
        {D3DFVF_XYZ | D3DFVF_TEX1 | D3DFVF_TEXCOORDSIZE3(0), true, 24, 2},
        {D3DFVF_XYZB2 | D3DFVF_LASTBETA_UBYTE4 | D3DFVF_NORMAL, true, 32, 4},
        {D3DFVF_XYZ | D3DFVF_PSIZE | D3DFVF_SPECULAR, true, 20, 3},
        {D3DFVF_XYZRHW | D3DFVF_NORMAL, false, 0, 0},
        {0x4004 /* no such position */, false, 0, 0},
    };
    for (const auto& f : fvfs) {
        std::vector<D3DVERTEXELEMENT9> elements;
        UINT stride = 0;
        EXPECT_EQ(FvfElements(f.fvf, &elements, &stride), f.valid) << f.fvf;
        if (f.valid) {
            EXPECT_EQ(stride, f.stride) << f.fvf;
            EXPECT_EQ(elements.size(), f.elements) << f.fvf;
        }
    }

    Create(Windowed());
    EXPECT_EQ(device->SetFVF(D3DFVF_XYZRHW | D3DFVF_NORMAL), D3DERR_INVALIDCALL);
    const D3DVERTEXELEMENT9 decl[] = {{0, 0, D3DDECLTYPE_FLOAT3, 0, D3DDECLUSAGE_POSITION, 0},
                                      {1, 0, D3DDECLTYPE_D3DCOLOR, 0, D3DDECLUSAGE_COLOR, 0},
                                      D3DDECL_END()};
    IDirect3DVertexDeclaration9* d = nullptr;
    ASSERT_EQ(device->CreateVertexDeclaration(decl, &d), D3D_OK);
    UINT count = 0;
    ASSERT_EQ(d->GetDeclaration(nullptr, &count), D3D_OK);
    EXPECT_EQ(count, 3u);
    D3DVERTEXELEMENT9 back[3];
    d->GetDeclaration(back, &count);
    EXPECT_EQ(std::memcmp(back, decl, sizeof decl), 0);
    EXPECT_EQ(d->AddRef(), 2u);
    device->SetVertexDeclaration(d);
    EXPECT_EQ(d->Release(), 1u);
    EXPECT_EQ(d->Release(), 0u); // bound: lives on
    DWORD fvf = 1;
    device->GetFVF(&fvf);
    EXPECT_EQ(fvf, 0u);
    const D3DVERTEXELEMENT9 twice[] = {decl[0], decl[0], D3DDECL_END()};
    EXPECT_EQ(device->CreateVertexDeclaration(twice, &d), D3DERR_INVALIDCALL);
    std::vector<D3DVERTEXELEMENT9> endless(80, decl[0]);
    for (size_t i = 0; i < endless.size(); ++i)
        endless[i].UsageIndex = static_cast<BYTE>(i);
    EXPECT_EQ(device->CreateVertexDeclaration(endless.data(), &d), D3DERR_INVALIDCALL);
    device->SetFVF(D3DFVF_XYZ);

    // Lights: enabling an unset index makes the default light; no more than the caps allow.
    BOOL on = FALSE;
    ASSERT_EQ(device->LightEnable(100, TRUE), D3D_OK);
    D3DLIGHT9 light{};
    ASSERT_EQ(device->GetLight(100, &light), D3D_OK);
    EXPECT_EQ(light.Type, D3DLIGHT_DIRECTIONAL);
    EXPECT_EQ(light.Direction.z, 1.0f);
    EXPECT_EQ(light.Diffuse.r, 1.0f);
    for (DWORD i = 0; i < 7; ++i)
        ASSERT_EQ(device->LightEnable(i, TRUE), D3D_OK);
    EXPECT_EQ(device->LightEnable(7, TRUE), D3DERR_INVALIDCALL);
    device->GetLightEnable(100, &on);
    EXPECT_TRUE(on);
    light.Type = D3DLIGHT_SPOT;
    light.Theta = 1.0f;
    light.Phi = 0.5f;
    EXPECT_EQ(device->SetLight(3, &light), D3DERR_INVALIDCALL);

    // A second window's swap chain takes its client size and presents to it; held, it stops Reset.
    HWND second =
        CreateWindowExA(0, "d3d9_test", "", WS_OVERLAPPEDWINDOW, 0, 0, 20, 10, nullptr, nullptr, nullptr, nullptr);
    D3DPRESENT_PARAMETERS pp = Windowed(false);
    pp.hDeviceWindow = second;
    IDirect3DSwapChain9* chain = nullptr;
    ASSERT_EQ(device->CreateAdditionalSwapChain(&pp, &chain), D3D_OK);
    EXPECT_EQ(pp.BackBufferWidth, 20u);
    IDirect3DSurface9* buffer = nullptr;
    ASSERT_EQ(chain->GetBackBuffer(0, D3DBACKBUFFER_TYPE_MONO, &buffer), D3D_OK);
    EXPECT_EQ(device->ColorFill(buffer, nullptr, 0xFF808080), D3D_OK);
    EXPECT_EQ(buffer->Release(), 1u);
    const long frames = PlatformPresentedFrames();
    EXPECT_EQ(chain->Present(nullptr, nullptr, nullptr, nullptr, 0), D3D_OK);
    EXPECT_EQ(PlatformPresentedFrames(), frames + 1);
    D3DPRESENT_PARAMETERS again = Windowed();
    EXPECT_EQ(device->Reset(&again), D3DERR_INVALIDCALL);
    EXPECT_EQ(chain->Release(), 0u);
    EXPECT_EQ(device->Reset(&again), D3D_OK);
    EXPECT_EQ(D3d9DeviceCounters(device).presents, 1);
}

TEST_F(D3d9Test, PresentHandsTheBackBufferToTheWindowLayerConvertedToItsWords) {
    // A 16-bit back buffer shows as 32-bit words: the capture of the presented frame has the colour.
    const std::string path = (MakeTestScratchDir("d3d9") / "present.png").string();
    std::remove(path.c_str());
    setenv("PLATFORM_CAPTURE", path.c_str(), 1);
    OpenWindow();
    D3DPRESENT_PARAMETERS pp = Windowed(false);
    pp.BackBufferFormat = D3DFMT_R5G6B5;
    d3d->Release();
    D3d9Adapter sixteen = D3d9DefaultAdapter();
    sixteen.desktop.Format = D3DFMT_R5G6B5;
    D3d9SetAdapters({sixteen});
    d3d = Direct3DCreate9(D3D_SDK_VERSION);
    Create(pp);
    ASSERT_EQ(device->Clear(0, nullptr, D3DCLEAR_TARGET, 0xFFFF0000, 1.0f, 0), D3D_OK);
    EXPECT_EQ(device->BeginScene(), D3D_OK);
    EXPECT_EQ(device->Present(nullptr, nullptr, nullptr, nullptr), D3DERR_INVALIDCALL); // inside a scene
    EXPECT_EQ(device->EndScene(), D3D_OK);
    ASSERT_EQ(device->Present(nullptr, nullptr, nullptr, nullptr), D3D_OK);
    unsetenv("PLATFORM_CAPTURE");
    png_image image{};
    image.version = PNG_IMAGE_VERSION;
    ASSERT_TRUE(png_image_begin_read_from_file(&image, path.c_str())) << path;
    image.format = PNG_FORMAT_RGB;
    std::vector<png_byte> rgb(PNG_IMAGE_SIZE(image));
    ASSERT_TRUE(png_image_finish_read(&image, nullptr, rgb.data(), 0, nullptr));
    EXPECT_EQ(image.width, 64u);
    EXPECT_EQ(rgb[0], 0xFF);
    EXPECT_EQ(rgb[1], 0x00);
    EXPECT_EQ(rgb[rgb.size() - 1], 0x00);
    std::remove(path.c_str());
}

} // namespace

TEST_F(D3d9Test, ValidateDeviceChecksStagesAgainstTheCaps) {
    D3d9Adapter adapter = D3d9DefaultAdapter();
    adapter.caps.TextureOpCaps &= ~D3DTEXOPCAPS_MODULATE2X;
    adapter.caps.MaxTextureBlendStages = 2;
    adapter.caps.MaxSimultaneousTextures = 1;
    D3d9SetAdapters({adapter});
    d3d->Release();
    d3d = Direct3DCreate9(D3D_SDK_VERSION);
    Create(Windowed());
    DWORD passes = 7;
    EXPECT_EQ(device->ValidateDevice(nullptr), D3DERR_INVALIDCALL);
    EXPECT_EQ(device->ValidateDevice(&passes), D3D_OK); // the default stages
    EXPECT_EQ(passes, 1u);

    // An operation the caps do not claim, on colour or on alpha.
    device->SetTextureStageState(1, D3DTSS_COLOROP, D3DTOP_MODULATE2X);
    EXPECT_EQ(device->ValidateDevice(&passes), D3DERR_UNSUPPORTEDCOLOROPERATION);
    EXPECT_EQ(passes, 0u);
    device->SetTextureStageState(1, D3DTSS_COLOROP, D3DTOP_ADD);
    device->SetTextureStageState(1, D3DTSS_ALPHAOP, D3DTOP_MODULATE2X);
    EXPECT_EQ(device->ValidateDevice(&passes), D3DERR_UNSUPPORTEDALPHAOPERATION);
    device->SetTextureStageState(1, D3DTSS_ALPHAOP, D3DTOP_SELECTARG2);
    EXPECT_EQ(device->ValidateDevice(&passes), D3D_OK);

    // Two textures on a one-texture device, three stages on a two-stage one; a disabled stage
    // ends the count.
    IDirect3DTexture9* t = nullptr;
    ASSERT_EQ(device->CreateTexture(4, 4, 1, 0, D3DFMT_A8R8G8B8, D3DPOOL_MANAGED, &t, nullptr), D3D_OK);
    device->SetTexture(0, t);
    device->SetTexture(1, t);
    EXPECT_EQ(device->ValidateDevice(&passes), D3DERR_TOOMANYOPERATIONS);
    device->SetTexture(1, nullptr);
    EXPECT_EQ(device->ValidateDevice(&passes), D3D_OK);
    device->SetTextureStageState(2, D3DTSS_COLOROP, D3DTOP_MODULATE);
    EXPECT_EQ(device->ValidateDevice(&passes), D3DERR_TOOMANYOPERATIONS);
    device->SetTextureStageState(1, D3DTSS_COLOROP, D3DTOP_DISABLE);
    EXPECT_EQ(device->ValidateDevice(&passes), D3D_OK);
    device->SetTexture(0, nullptr);
    t->Release();

    // A scripted answer.
    D3d9ScriptFailure("ValidateDevice", D3DERR_UNSUPPORTEDCOLOROPERATION);
    EXPECT_EQ(device->ValidateDevice(&passes), D3DERR_UNSUPPORTEDCOLOROPERATION);
    EXPECT_EQ(device->ValidateDevice(&passes), D3D_OK);
}
