// The rasteriser on several threads: a scene of every kind of primitive and pixel path, drawn on
// 2, 3, 4 and 7 threads (the clear, vertices, triangles and pixels shared out), leaves the same
// bytes in the target and the depth buffer as on one.

#include "platform/d3d9.h"
#include "platform/d3d9_control.h"
#include "platform/win32.h"
#include "platform/window.h"
#include "testing/headless_window.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <random>
#include <utility>
#include <vector>

namespace {

LRESULT Proc(HWND w, UINT m, WPARAM wp, LPARAM lp) { return DefWindowProcA(w, m, wp, lp); }

struct TVertex { // pre-transformed
    float x, y, z, rhw;
    DWORD color;
    float u, v;
};
constexpr DWORD kTFvf = D3DFVF_XYZRHW | D3DFVF_DIFFUSE | D3DFVF_TEX1;

struct PVertex { // to be transformed
    float x, y, z;
    DWORD color;
    float u, v;
};
constexpr DWORD kPFvf = D3DFVF_XYZ | D3DFVF_DIFFUSE | D3DFVF_TEX1;

DWORD FloatWord(float f) {
    DWORD d;
    std::memcpy(&d, &f, 4);
    return d;
}

struct Frame {
    std::vector<BYTE> target, depth;
    long sharedDraws = 0, sharedVertexDraws = 0;
};

// One device, one scene into a W x H target and depth buffer of the given formats, the viewport
// inset by a few pixels.
Frame DrawScene(HWND window, D3DFORMAT targetFormat, D3DFORMAT depthFormat) {
    constexpr UINT kWidth = 256, kHeight = 128; // a texture's sides
    IDirect3D9* d3d = Direct3DCreate9(D3D_SDK_VERSION);
    D3DPRESENT_PARAMETERS pp{};
    pp.BackBufferFormat = D3DFMT_X8R8G8B8;
    pp.SwapEffect = D3DSWAPEFFECT_COPY;
    pp.hDeviceWindow = window;
    pp.Windowed = TRUE;
    IDirect3DDevice9* d = nullptr;
    IDirect3DTexture9* targetTexture = nullptr;
    IDirect3DSurface9 *target = nullptr, *depth = nullptr;
    if (d3d->CreateDevice(0, D3DDEVTYPE_HAL, window, D3DCREATE_SOFTWARE_VERTEXPROCESSING, &pp, &d) != D3D_OK ||
        d->CreateTexture(kWidth, kHeight, 1, D3DUSAGE_RENDERTARGET, targetFormat, D3DPOOL_DEFAULT, &targetTexture,
                         nullptr) != D3D_OK ||
        d->CreateDepthStencilSurface(kWidth, kHeight, depthFormat, D3DMULTISAMPLE_NONE, 0, FALSE, &depth, nullptr) !=
            D3D_OK) {
        ADD_FAILURE() << "no device for formats " << targetFormat << ", " << depthFormat;
        return {}; // the process ends soon: the leak does not matter
    }
    targetTexture->GetSurfaceLevel(0, &target);
    d->SetRenderTarget(0, target);
    d->SetDepthStencilSurface(depth);
    IDirect3DTexture9* texture = nullptr;
    d->CreateTexture(32, 32, 0, 0, D3DFMT_A8R8G8B8, D3DPOOL_MANAGED, &texture, nullptr);
    for (UINT l = 0; l < texture->GetLevelCount(); ++l) {
        IDirect3DSurface9* level = nullptr;
        texture->GetSurfaceLevel(l, &level);
        D3DLOCKED_RECT lr;
        level->LockRect(&lr, nullptr, 0);
        for (UINT y = 0; y < (32u >> l); ++y)
            for (UINT x = 0; x < (32u >> l); ++x) {
                const DWORD c = 0x80000000u | ((x * 29 + y * 7 + l * 40) & 255) << 16 | ((x ^ y) * 8 & 255) << 8 |
                                (l * 50 + (x + y) % 3 * 40);
                std::memcpy(static_cast<BYTE*>(lr.pBits) + y * lr.Pitch + 4 * x, &c, 4);
            }
        level->UnlockRect();
        level->Release();
    }

    d->Clear(0, nullptr, D3DCLEAR_TARGET | D3DCLEAR_ZBUFFER, 0xFF203040, 1.0f, 0);
    d->BeginScene();
    const D3DVIEWPORT9 viewport = {3, 5, kWidth - 7, kHeight - 9, 0.0f, 1.0f};
    d->SetViewport(&viewport);
    d->SetRenderState(D3DRS_CULLMODE, D3DCULL_NONE);
    d->SetRenderState(D3DRS_ZENABLE, TRUE);
    d->SetTexture(0, texture);
    for (DWORD f : {D3DSAMP_MINFILTER, D3DSAMP_MAGFILTER, D3DSAMP_MIPFILTER})
        d->SetSamplerState(0, static_cast<D3DSAMPLERSTATETYPE>(f), D3DTEXF_LINEAR);
    d->SetTextureStageState(0, D3DTSS_COLOROP, D3DTOP_MODULATE);
    d->SetTextureStageState(0, D3DTSS_COLORARG1, D3DTA_TEXTURE);
    d->SetTextureStageState(0, D3DTSS_COLORARG2, D3DTA_DIFFUSE);
    d->SetTextureStageState(0, D3DTSS_ALPHAOP, D3DTOP_SELECTARG2);
    d->SetTextureStageState(0, D3DTSS_ALPHAARG2, D3DTA_DIFFUSE);

    // A textured floor in perspective through the near plane (clipped triangles), and a wall.
    D3DMATRIX projection{};
    projection.m[0][0] = 1.2f;
    projection.m[1][1] = 1.6f;
    projection.m[2][2] = projection.m[2][3] = 1;
    projection.m[3][2] = -0.5f;
    d->SetTransform(D3DTS_PROJECTION, &projection);
    d->SetRenderState(D3DRS_LIGHTING, FALSE);
    const PVertex ground[4] = {{-20, -1, -2, 0xFFFFFFFF, 0, 0},
                               {20, -1, -2, 0xFFFFC0A0, 8, 0},
                               {-20, -1, 30, 0xFFA0C0FF, 0, 8},
                               {20, -1, 30, 0xFFFFFFFF, 8, 8}};
    const PVertex wall[4] = {{-3, -1, 6, 0xFFFF8080, 0, 1},
                             {3, -1, 4, 0xFF80FF80, 2, 1},
                             {-3, 3, 6, 0xFF8080FF, 0, 0},
                             {3, 3, 4, 0xFFFFFFFF, 2, 0}};
    d->SetFVF(kPFvf);
    d->DrawPrimitiveUP(D3DPT_TRIANGLESTRIP, 2, ground, sizeof(PVertex));
    d->DrawPrimitiveUP(D3DPT_TRIANGLESTRIP, 2, wall, sizeof(PVertex));

    // Overlapping pre-transformed triangles from slivers and sub-pixel ones to ones far past the
    // target, opaque then blended over each other, where the order of writes shows.
    std::mt19937 random(7);
    std::uniform_real_distribution<float> unit(0.0f, 1.0f);
    auto triangles = [&](int count, bool blended) {
        std::vector<TVertex> v;
        for (int i = 0; i < count; ++i) {
            const float size = i % 11 == 0 ? 600.0f : i % 3 == 0 ? 0.7f : 30.0f * unit(random);
            const float cx = -20 + 243 * unit(random), cy = -20 + 197 * unit(random);
            for (int k = 0; k < 3; ++k) {
                const float rhw = 0.2f + unit(random);
                v.push_back({cx + size * (unit(random) - 0.5f), cy + size * (unit(random) - 0.5f), unit(random), rhw,
                             static_cast<DWORD>(random()) | (blended ? 0 : 0xFF000000u), 3 * unit(random) * rhw,
                             3 * unit(random) * rhw});
            }
        }
        d->SetFVF(kTFvf);
        d->DrawPrimitiveUP(D3DPT_TRIANGLELIST, static_cast<UINT>(count), v.data(), sizeof(TVertex));
    };
    triangles(400, false); // enough vertices to share out their processing
    d->SetRenderState(D3DRS_ALPHABLENDENABLE, TRUE);
    d->SetRenderState(D3DRS_SRCBLEND, D3DBLEND_SRCALPHA);
    d->SetRenderState(D3DRS_DESTBLEND, D3DBLEND_INVSRCALPHA);
    d->SetRenderState(D3DRS_ZFUNC, D3DCMP_ALWAYS);
    triangles(150, true);
    // Other blends, the write mask and flat shading: the per-pixel output of the packed path.
    d->SetRenderState(D3DRS_SRCBLEND, D3DBLEND_DESTCOLOR);
    d->SetRenderState(D3DRS_DESTBLEND, D3DBLEND_SRCCOLOR);
    d->SetRenderState(D3DRS_COLORWRITEENABLE, 0x7);
    d->SetRenderState(D3DRS_SHADEMODE, D3DSHADE_FLAT);
    d->SetRenderState(D3DRS_ZFUNC, D3DCMP_LESS);
    triangles(60, true);
    d->SetRenderState(D3DRS_SHADEMODE, D3DSHADE_GOURAUD);
    d->SetRenderState(D3DRS_COLORWRITEENABLE, 0xF);
    // The general path: a second stage adding the specular colour, alpha tested, point sampled.
    d->SetRenderState(D3DRS_SPECULARENABLE, TRUE);
    d->SetRenderState(D3DRS_ALPHATESTENABLE, TRUE);
    d->SetRenderState(D3DRS_ALPHAREF, 0x40);
    d->SetRenderState(D3DRS_ALPHAFUNC, D3DCMP_GREATER);
    d->SetRenderState(D3DRS_TEXTUREFACTOR, 0x80C06030);
    d->SetTextureStageState(1, D3DTSS_COLOROP, D3DTOP_ADD);
    d->SetTextureStageState(1, D3DTSS_COLORARG1, D3DTA_CURRENT);
    d->SetTextureStageState(1, D3DTSS_COLORARG2, D3DTA_TFACTOR);
    d->SetSamplerState(0, D3DSAMP_MINFILTER, D3DTEXF_POINT);
    d->SetRenderState(D3DRS_SRCBLEND, D3DBLEND_SRCALPHA);
    d->SetRenderState(D3DRS_DESTBLEND, D3DBLEND_INVSRCALPHA);
    triangles(80, true);
    d->SetTextureStageState(1, D3DTSS_COLOROP, D3DTOP_DISABLE);
    d->SetRenderState(D3DRS_SPECULARENABLE, FALSE);
    d->SetRenderState(D3DRS_ALPHATESTENABLE, FALSE);

    // Lines, a strip and a list, some leaving the target; single-pixel points; textured sprites.
    std::vector<TVertex> lines;
    for (int i = 0; i < 120; ++i)
        lines.push_back({-30 + 263 * unit(random), -30 + 217 * unit(random), unit(random), 1,
                         static_cast<DWORD>(random()), unit(random), unit(random)});
    d->SetFVF(kTFvf);
    d->DrawPrimitiveUP(D3DPT_LINESTRIP, 59, lines.data(), sizeof(TVertex));
    d->SetRenderState(D3DRS_LASTPIXEL, FALSE);
    d->DrawPrimitiveUP(D3DPT_LINELIST, 30, lines.data() + 60, sizeof(TVertex));
    d->DrawPrimitiveUP(D3DPT_POINTLIST, 120, lines.data(), sizeof(TVertex));
    d->SetRenderState(D3DRS_POINTSPRITEENABLE, TRUE);
    d->SetRenderState(D3DRS_POINTSIZE, FloatWord(9.0f));
    d->DrawPrimitiveUP(D3DPT_POINTLIST, 60, lines.data() + 30, sizeof(TVertex));
    d->SetRenderState(D3DRS_POINTSPRITEENABLE, FALSE);

    // Last, over the rest, the floor again in 2,400 triangles, nearer below the eye: enough to clip,
    // cull and set them aside on the pool in several runs, those through the near plane in sight.
    std::vector<PVertex> floor;
    constexpr int kAcross = 48, kAlong = 25;
    auto corner = [](int i, int j) {
        const DWORD color = 0xFF000000u | static_cast<DWORD>(i * 5) << 16 | static_cast<DWORD>(j * 9) << 8 | 0xA0;
        return PVertex{-20 + 40.0f * i / kAcross, -0.3f, -2 + 32.0f * j / kAlong, color, 8.0f * i / kAcross,
                       8.0f * j / kAlong};
    };
    for (int j = 0; j < kAlong; ++j)
        for (int i = 0; i < kAcross; ++i)
            for (const auto& [di, dj] : {std::pair{0, 0}, {1, 0}, {0, 1}, {0, 1}, {1, 0}, {1, 1}})
                floor.push_back(corner(i + di, j + dj));
    d->SetRenderState(D3DRS_ZFUNC, D3DCMP_ALWAYS);
    d->SetFVF(kPFvf);
    d->DrawPrimitiveUP(D3DPT_TRIANGLELIST, kAcross * kAlong * 2, floor.data(), sizeof(PVertex));
    // Over it, a draw of many triangles of a few pixels, small for sharing out once its first
    // triangles are seen.
    std::vector<TVertex> dust;
    for (int i = 0; i < 200; ++i) {
        const float cx = 250 * unit(random), cy = 122 * unit(random);
        for (int k = 0; k < 3; ++k)
            dust.push_back({cx + 3 * unit(random), cy + 3 * unit(random), unit(random), 1,
                            static_cast<DWORD>(random()), unit(random), unit(random)});
    }
    d->SetFVF(kTFvf);
    d->DrawPrimitiveUP(D3DPT_TRIANGLELIST, 200, dust.data(), sizeof(TVertex));
    d->EndScene();

    Frame f;
    f.target = D3d9SurfaceBytes(target);
    f.depth = D3d9SurfaceBytes(depth);
    f.sharedDraws = D3d9DeviceCounters(d).sharedDraws;
    f.sharedVertexDraws = D3d9DeviceCounters(d).sharedVertexDraws;
    d->SetRenderTarget(0, nullptr);
    d->SetDepthStencilSurface(nullptr);
    target->Release();
    targetTexture->Release();
    depth->Release();
    texture->Release();
    EXPECT_EQ(d->Release(), 0u);
    d3d->Release();
    return f;
}

// Each format pair once on one thread, then on 2, 3, 4 and 7 threads with every draw shared out,
// with a split area many draws pass part way and with the built-in one (small draws on the drawing
// thread, the big ones shared from the primitive that makes them big, in bands cut by their work).
TEST(RasterThreads, EveryThreadCountLeavesTheBytesOfOneThread) {
    HWND window = OpenHeadlessWindow("d3d9_raster_threads_test", Proc, 64, 64);
    const std::pair<D3DFORMAT, D3DFORMAT> formats[] = {
        {D3DFMT_A8R8G8B8, D3DFMT_D24S8}, {D3DFMT_X8R8G8B8, D3DFMT_D24X8}, {D3DFMT_R5G6B5, D3DFMT_D16}};
    for (const auto& [back, depth] : formats) {
        D3d9SetRasterThreads(1);
        ASSERT_EQ(D3d9RasterThreadCount(), 1);
        const Frame one = DrawScene(window, back, depth);
        EXPECT_EQ(one.sharedDraws + one.sharedVertexDraws, 0);
        ASSERT_FALSE(one.target.empty());
        ASSERT_FALSE(one.depth.empty());
        // The scene covers most of the target and leaves depths of many values.
        const std::size_t pixelBytes = back == D3DFMT_R5G6B5 ? 2 : 4;
        ASSERT_EQ(one.target.size(), 256u * 128u * pixelBytes);
        std::size_t cleared = 0;
        for (std::size_t i = 0; i < one.target.size(); i += pixelBytes)
            cleared += std::memcmp(&one.target[i], &one.target[0], pixelBytes) == 0;
        EXPECT_LT(cleared, one.target.size() / pixelBytes / 10) << back;
        for (long splitArea : {0L, 4096L, -1L})
            for (int threads : {2, 3, 4, 7}) {
                D3d9SetRasterThreads(threads, splitArea);
                ASSERT_EQ(D3d9RasterThreadCount(), threads);
                const Frame many = DrawScene(window, back, depth);
                EXPECT_GT(many.sharedDraws, splitArea == 0 ? 8 : 0) << threads;
                EXPECT_EQ(many.sharedVertexDraws, 2) << threads;
                EXPECT_TRUE(many.target == one.target)
                    << "target, " << threads << " threads, format " << back << ", split area " << splitArea;
                EXPECT_TRUE(many.depth == one.depth)
                    << "depth, " << threads << " threads, format " << back << ", split area " << splitArea;
            }
    }
    D3d9SetRasterThreads(0);
    PlatformWindowReset();
}

} // namespace
