// The stand-in's rasteriser: the fill rule with shared edges and vertices on pixel centres,
// clipping at the near plane, culling, perspective-correct texturing against the analytic mapping,
// mip selection, lighting against its closed forms, flat shading, the blend, alpha and depth
// tables, bad geometry, and a golden frame of a lit, textured, blended scene.

#include "platform/d3d9.h"
#include "platform/d3d9_control.h"
#include "platform/d3dx9.h"
#include "platform/win32.h"
#include "platform/window.h"
#include "testing/headless_window.h"

#include <gtest/gtest.h>
#include <png.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <random>
#include <string>
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

struct LVertex { // to be transformed and lit
    float x, y, z;
    float nx, ny, nz;
    DWORD color;
    float u, v;
};
constexpr DWORD kLFvf = D3DFVF_XYZ | D3DFVF_NORMAL | D3DFVF_DIFFUSE | D3DFVF_TEX1;

D3DMATRIX Identity() {
    D3DMATRIX m{};
    for (int i = 0; i < 4; ++i)
        m.m[i][i] = 1;
    return m;
}

// Left-handed perspective: x and y scaled by the focal lengths, z from near..far to 0..1.
D3DMATRIX Perspective(float fx, float fy, float zn, float zf) {
    D3DMATRIX m{};
    m.m[0][0] = fx;
    m.m[1][1] = fy;
    m.m[2][2] = zf / (zf - zn);
    m.m[2][3] = 1;
    m.m[3][2] = -zn * zf / (zf - zn);
    return m;
}

int Channel(DWORD c, int shift) { return static_cast<int>((c >> shift) & 255); }

struct RasterTest : ::testing::Test {
    HWND window = nullptr;
    IDirect3D9* d3d = nullptr;
    IDirect3DDevice9* device = nullptr;
    UINT width = 0, height = 0;

    void SetUp() override {
        window = OpenHeadlessWindow("d3d9_raster_test", Proc, 64, 64);
        d3d = Direct3DCreate9(D3D_SDK_VERSION);
        ASSERT_NE(d3d, nullptr);
    }

    void TearDown() override {
        if (device != nullptr) {
            device->EndScene();
            EXPECT_EQ(device->Release(), 0u);
        }
        d3d->Release();
        PlatformWindowReset();
    }

    // A device with a w x h back buffer and a 24-bit depth buffer, in a scene, drawing unlit,
    // uncullled diffuse colour until told otherwise.
    void Create(UINT w, UINT h, D3DFORMAT back = D3DFMT_A8R8G8B8) {
        width = w;
        height = h;
        D3DPRESENT_PARAMETERS pp{};
        pp.BackBufferWidth = w;
        pp.BackBufferHeight = h;
        pp.BackBufferFormat = back;
        pp.SwapEffect = D3DSWAPEFFECT_COPY;
        pp.hDeviceWindow = window;
        pp.Windowed = TRUE;
        pp.EnableAutoDepthStencil = TRUE;
        pp.AutoDepthStencilFormat = D3DFMT_D24S8;
        ASSERT_EQ(d3d->CreateDevice(0, D3DDEVTYPE_HAL, window, D3DCREATE_SOFTWARE_VERTEXPROCESSING, &pp, &device),
                  D3D_OK);
        device->SetRenderState(D3DRS_LIGHTING, FALSE);
        device->SetRenderState(D3DRS_CULLMODE, D3DCULL_NONE);
        device->SetRenderState(D3DRS_ZENABLE, FALSE);
        device->SetTextureStageState(0, D3DTSS_COLOROP, D3DTOP_SELECTARG1);
        device->SetTextureStageState(0, D3DTSS_COLORARG1, D3DTA_DIFFUSE);
        device->SetTextureStageState(0, D3DTSS_ALPHAOP, D3DTOP_SELECTARG1);
        device->SetTextureStageState(0, D3DTSS_ALPHAARG1, D3DTA_DIFFUSE);
        device->Clear(0, nullptr, D3DCLEAR_TARGET | D3DCLEAR_ZBUFFER, 0, 1.0f, 0);
        ASSERT_EQ(device->BeginScene(), D3D_OK);
    }

    void SetProjection(const D3DMATRIX& m) { device->SetTransform(D3DTS_PROJECTION, &m); }

    // Lighting on, the material's ambient and emissive colours (its diffuse and specular none),
    // and light 0 directional, of this colour and direction, on.
    void Sun(D3DCOLORVALUE ambient, D3DCOLORVALUE emissive, D3DCOLORVALUE diffuse, D3DVECTOR direction) {
        device->SetRenderState(D3DRS_LIGHTING, TRUE);
        D3DMATERIAL9 m{};
        m.Ambient = ambient;
        m.Emissive = emissive;
        device->SetMaterial(&m);
        D3DLIGHT9 l{};
        l.Type = D3DLIGHT_DIRECTIONAL;
        l.Diffuse = diffuse;
        l.Direction = direction;
        device->SetLight(0, &l);
        device->LightEnable(0, TRUE);
    }

    std::vector<DWORD> Pixels() {
        IDirect3DSurface9* back = nullptr;
        device->GetBackBuffer(0, 0, D3DBACKBUFFER_TYPE_MONO, &back);
        IDirect3DSurface9* copy = nullptr;
        device->CreateOffscreenPlainSurface(width, height, D3DFMT_A8R8G8B8, D3DPOOL_SYSTEMMEM, &copy, nullptr);
        EXPECT_EQ(device->GetRenderTargetData(back, copy), D3D_OK);
        D3DLOCKED_RECT lr;
        copy->LockRect(&lr, nullptr, D3DLOCK_READONLY);
        std::vector<DWORD> p(width * height);
        for (UINT y = 0; y < height; ++y)
            std::memcpy(&p[y * width], static_cast<BYTE*>(lr.pBits) + y * lr.Pitch, width * 4);
        copy->UnlockRect();
        copy->Release();
        back->Release();
        return p;
    }

    void Triangles(const std::vector<TVertex>& v, D3DPRIMITIVETYPE type = D3DPT_TRIANGLELIST) {
        device->SetFVF(kTFvf);
        const UINT n = static_cast<UINT>(v.size());
        const UINT count = type == D3DPT_TRIANGLELIST ? n / 3 : n - 2;
        ASSERT_EQ(device->DrawPrimitiveUP(type, count, v.data(), sizeof(TVertex)), D3D_OK);
    }

    void Quad(float x0, float y0, float x1, float y1, DWORD color, float z = 0.5f) {
        Triangles({{x0, y0, z, 1, color, 0, 0},
                   {x1, y0, z, 1, color, 1, 0},
                   {x0, y1, z, 1, color, 0, 1},
                   {x1, y1, z, 1, color, 1, 1}},
                  D3DPT_TRIANGLESTRIP);
    }

    // Additive blending of 1 per write in red: the red channel counts the writes to each pixel.
    void CountWrites() {
        device->SetRenderState(D3DRS_ALPHABLENDENABLE, TRUE);
        device->SetRenderState(D3DRS_SRCBLEND, D3DBLEND_ONE);
        device->SetRenderState(D3DRS_DESTBLEND, D3DBLEND_ONE);
    }

    // Stage 0 modulates its texture by the diffuse colour and takes the alpha of `alphaArg`;
    // `filter` magnifies, minifies and filters between levels.
    void TextureTimesDiffuse(DWORD alphaArg, DWORD filter) {
        device->SetTextureStageState(0, D3DTSS_COLOROP, D3DTOP_MODULATE);
        device->SetTextureStageState(0, D3DTSS_COLORARG1, D3DTA_TEXTURE);
        device->SetTextureStageState(0, D3DTSS_COLORARG2, D3DTA_DIFFUSE);
        device->SetTextureStageState(0, D3DTSS_ALPHAOP, D3DTOP_SELECTARG1);
        device->SetTextureStageState(0, D3DTSS_ALPHAARG1, alphaArg);
        for (DWORD f : {D3DSAMP_MINFILTER, D3DSAMP_MAGFILTER, D3DSAMP_MIPFILTER})
            device->SetSamplerState(0, static_cast<D3DSAMPLERSTATETYPE>(f), filter);
    }

    IDirect3DTexture9* Texture(UINT w, UINT h, UINT levels, DWORD (*texel)(UINT level, UINT x, UINT y),
                               D3DFORMAT format = D3DFMT_A8R8G8B8) {
        IDirect3DTexture9* t = nullptr;
        EXPECT_EQ(device->CreateTexture(w, h, levels, 0, format, D3DPOOL_MANAGED, &t, nullptr), D3D_OK);
        Fill(t, texel);
        return t;
    }
    // Writes every texel of every level through a lock.
    void Fill(IDirect3DTexture9* t, DWORD (*texel)(UINT level, UINT x, UINT y)) {
        for (UINT l = 0; l < t->GetLevelCount(); ++l) {
            IDirect3DSurface9* s = nullptr;
            t->GetSurfaceLevel(l, &s);
            D3DSURFACE_DESC d;
            s->GetDesc(&d);
            D3DLOCKED_RECT lr;
            s->LockRect(&lr, nullptr, 0);
            for (UINT y = 0; y < d.Height; ++y)
                for (UINT x = 0; x < d.Width; ++x) {
                    const DWORD c = texel(l, x, y);
                    std::memcpy(static_cast<BYTE*>(lr.pBits) + y * lr.Pitch + 4 * x, &c, 4);
                }
            s->UnlockRect();
            s->Release();
        }
    }
};

// Fill rule ------------------------------------------------------------------------------------------

// Two triangles a cell of a grid of nx x ny cells from (x0, y0), cells sx by sy, both windings and
// both diagonals, every vertex adding one to the red channel. move(i, j, x, y) may shift each corner
// off the grid's edge, corners taken row of i by row.
template <class Move>
std::vector<TVertex> GridCells(int nx, int ny, float x0, float y0, float sx, float sy, Move move) {
    std::vector<float> gx((nx + 1) * (ny + 1)), gy(gx.size());
    auto at = [&](int i, int j) { return static_cast<std::size_t>(i * (ny + 1) + j); };
    for (int i = 0; i <= nx; ++i)
        for (int j = 0; j <= ny; ++j) {
            float& x = gx[at(i, j)];
            float& y = gy[at(i, j)];
            x = x0 + sx * i;
            y = y0 + sy * j;
            if (i != 0 && j != 0 && i != nx && j != ny)
                move(i, j, x, y);
        }
    std::vector<TVertex> v;
    const DWORD one = 0xFF010000;
    auto corner = [&](int i, int j) { return TVertex{gx[at(i, j)], gy[at(i, j)], 0.5f, 1, one, 0, 0}; };
    for (int i = 0; i < nx; ++i)
        for (int j = 0; j < ny; ++j) {
            const TVertex a = corner(i, j), b = corner(i + 1, j), c = corner(i, j + 1), d = corner(i + 1, j + 1);
            if ((i + j) & 1)
                v.insert(v.end(), {a, b, d, a, d, c});
            else
                v.insert(v.end(), {a, c, b, b, c, d});
        }
    return v;
}

TEST_F(RasterTest, TrianglesSharingEdgesAndVerticesWriteEveryPixelOnce) {
    Create(48, 40);
    CountWrites();
    // A jittered grid of triangles over [4, 44] x [4, 36]: some vertices on pixel centres, some
    // on half pixels, some anywhere. Inside the rectangle each pixel is written exactly once.
    std::mt19937 random(7);
    std::uniform_real_distribution<float> jitter(-1.9f, 1.9f);
    Triangles(GridCells(8, 8, 4.0f, 4.0f, 5.0f, 4.0f, [&](int i, int j, float& x, float& y) {
        if ((i + j) % 3 == 1) {
            x += std::round(jitter(random)); // on a pixel centre
            y += std::round(jitter(random));
        } else if ((i + j) % 3 == 2) {
            x += jitter(random);
            y += jitter(random);
        } else {
            x += 0.5f;
        }
    }));
    // A fan and a strip around one centre too, to the right of nothing: their own region.
    const std::vector<DWORD> p = Pixels();
    for (UINT y = 0; y < height; ++y)
        for (UINT x = 0; x < width; ++x) {
            // The rectangle's left and top edges are in, its right and bottom edges out.
            const int expected = x >= 4 && x < 44 && y >= 4 && y < 36 ? 1 : 0;
            ASSERT_EQ(Channel(p[y * width + x], 16), expected) << x << ", " << y;
        }
}

TEST_F(RasterTest, TrianglesOfAPixelOrLessWriteEveryPixelOnce) {
    Create(40, 32);
    CountWrites();
    // A jittered grid of cells about a pixel wide over [3, 46) x [3, 37), past the target's right
    // and bottom edges: most triangles' boxes hold one to eight pixel centres, many of them none
    // of the triangle's, and those across the edges are cut to a few. Vertices on centres, on
    // steps beside them and anywhere; each pixel of the rectangle within the target once.
    std::mt19937 random(41);
    std::uniform_real_distribution<float> jitter(-0.3f, 0.3f);
    constexpr int nx = 40, ny = 30;
    Triangles(GridCells(nx, ny, 3.0f, 3.0f, 43.0f / nx, 34.0f / ny, [&](int i, int j, float& x, float& y) {
        // Each vertex stays within 0.3 of its place, so no cell folds over its neighbours.
        const int mode = (i * 7 + j * 3) % 4;
        auto place = [&](float& at) {
            const float centre = std::round(at), step = (random() % 2 ? 1.0f : -1.0f) / 256;
            if (mode == 0 && std::fabs(centre - at) < 0.29f) // on a pixel centre
                at = centre;
            else if (mode == 1 && std::fabs(centre - at) < 0.29f) // a sub-pixel step beside one
                at = centre + step;
            else
                at += jitter(random);
        };
        place(x);
        place(y);
    }));
    const std::vector<DWORD> p = Pixels();
    for (UINT y = 0; y < height; ++y)
        for (UINT x = 0; x < width; ++x)
            ASSERT_EQ(Channel(p[y * width + x], 16), x >= 3 && y >= 3 ? 1 : 0) << x << ", " << y;
}

TEST_F(RasterTest, FansAndStripsCoverTheirPolygonOnceAndPixelCentresDecide) {
    Create(32, 32);
    CountWrites();
    // A fan of 12 triangles around (16, 16) covering a polygon, then a strip: each pixel once.
    std::vector<TVertex> fan{{16, 16, 0.5f, 1, 0xFF010000, 0, 0}};
    for (int i = 0; i <= 12; ++i) {
        const float a = 6.2831853f * static_cast<float>(i % 12) / 12.0f;
        fan.push_back({16 + 12 * std::cos(a), 16 + 12 * std::sin(a), 0.5f, 1, 0xFF010000, 0, 0});
    }
    Triangles(fan, D3DPT_TRIANGLEFAN);
    for (UINT y = 0; y < height; ++y)
        for (UINT x = 0; x < width; ++x)
            ASSERT_LE(Channel(Pixels()[y * width + x], 16), 1) << x << ", " << y;
    // A triangle whose edges pass exactly through pixel centres: the top-left rule decides.
    device->Clear(0, nullptr, D3DCLEAR_TARGET, 0, 1.0f, 0);
    Triangles(
        {{2, 2, 0.5f, 1, 0xFF010000, 0, 0}, {6, 2, 0.5f, 1, 0xFF010000, 0, 0}, {2, 6, 0.5f, 1, 0xFF010000, 0, 0}});
    const std::vector<DWORD> p = Pixels();
    for (int y = 0; y < 8; ++y)
        for (int x = 0; x < 8; ++x) {
            // Top edge y = 2 and left edge x = 2 are in; the hypotenuse x + y = 8 is out.
            const int expected = x >= 2 && y >= 2 && x + y < 8 ? 1 : 0;
            EXPECT_EQ(Channel(p[y * 32 + x], 16), expected) << x << ", " << y;
        }
}

// Positions snap to 1/256 of a pixel: a triangle smaller than a pixel whose corners lie less than
// half a step from the steps draws exactly the pixels of the triangle on the steps, also where its
// box reaches a pixel centre only once snapped. Tiny triangles about the centre (5, 5) and the
// scissor's corner (0, 0), every corner nudged a quarter step either way or not at all.
TEST_F(RasterTest, SubPixelTrianglesDrawAsTheirSnappedPositions) {
    Create(8, 8);
    std::mt19937 random(256);
    std::uniform_int_distribution<int> step(-3, 3), nudge(-1, 1);
    int drawn = 0;
    for (int n = 0; n < 300; ++n) {
        const float centre = n % 2 == 0 ? 5.0f : 0.0f;
        std::vector<TVertex> snapped, nudged;
        for (int k = 0; k < 3; ++k) {
            const float x = centre + static_cast<float>(step(random)) / 256,
                        y = centre + static_cast<float>(step(random)) / 256;
            snapped.push_back({x, y, 0.5f, 1, 0xFFFFFFFF, 0, 0});
            nudged.push_back({x + static_cast<float>(nudge(random)) / 1024,
                              y + static_cast<float>(nudge(random)) / 1024, 0.5f, 1, 0xFFFFFFFF, 0, 0});
        }
        device->Clear(0, nullptr, D3DCLEAR_TARGET, 0, 1.0f, 0);
        Triangles(snapped);
        const std::vector<DWORD> expected = Pixels();
        device->Clear(0, nullptr, D3DCLEAR_TARGET, 0, 1.0f, 0);
        Triangles(nudged);
        ASSERT_EQ(Pixels(), expected) << "triangle " << n;
        drawn += std::count(expected.begin(), expected.end(), 0xFFFFFFFFu) != 0;
    }
    EXPECT_GT(drawn, 30);
}

// Clipping, culling, viewport -------------------------------------------------------------------------

TEST_F(RasterTest, FloorCrossingTheNearPlaneFillsBelowTheHorizonOnly) {
    Create(64, 48);
    SetProjection(Perspective(1, 64.0f / 48.0f, 0.5f, 1000));
    // A floor one unit below the eye, from behind the camera to far ahead.
    const DWORD c = 0xFF20C040;
    const LVertex v[4] = {{-500, -1, -50, 0, 1, 0, c, 0, 0},
                          {500, -1, -50, 0, 1, 0, c, 0, 0},
                          {-500, -1, 900, 0, 1, 0, c, 0, 0},
                          {500, -1, 900, 0, 1, 0, c, 0, 0}};
    device->SetFVF(kLFvf);
    ASSERT_EQ(device->DrawPrimitiveUP(D3DPT_TRIANGLESTRIP, 2, v, sizeof(LVertex)), D3D_OK);
    const std::vector<DWORD> p = Pixels();
    // The far edge at z = 900 projects to y = 24 + 32/900 * 4/3 ... a few hundredths below the
    // centre row: rows 25 and below are floor, rows 24 and above are not.
    for (UINT y = 0; y < height; ++y)
        for (UINT x = 0; x < width; ++x)
            ASSERT_EQ(p[y * width + x], y >= 25 ? c : 0u) << x << ", " << y;
}

TEST_F(RasterTest, CullingFollowsScreenWindingAndAMirroredViewFlipsIt) {
    Create(16, 16);
    device->SetFVF(kLFvf);
    // Clockwise on screen with the identity view: x right, y up, so (0,1) -> (1,-1) -> (-1,-1).
    const LVertex tri[3] = {{0, 0.8f, 0.5f, 0, 0, -1, 0xFFFFFFFF, 0, 0},
                            {0.8f, -0.8f, 0.5f, 0, 0, -1, 0xFFFFFFFF, 0, 0},
                            {-0.8f, -0.8f, 0.5f, 0, 0, -1, 0xFFFFFFFF, 0, 0}};
    auto drawn = [&](DWORD cull, bool mirrored) {
        device->Clear(0, nullptr, D3DCLEAR_TARGET, 0, 1.0f, 0);
        D3DMATRIX view = Identity();
        view.m[0][0] = mirrored ? -1.0f : 1.0f;
        device->SetTransform(D3DTS_VIEW, &view);
        device->SetRenderState(D3DRS_CULLMODE, cull);
        device->DrawPrimitiveUP(D3DPT_TRIANGLELIST, 1, tri, sizeof(LVertex));
        return Pixels()[8 * 16 + 8] != 0;
    };
    EXPECT_TRUE(drawn(D3DCULL_NONE, false));
    EXPECT_TRUE(drawn(D3DCULL_CCW, false));
    EXPECT_FALSE(drawn(D3DCULL_CW, false));
    EXPECT_FALSE(drawn(D3DCULL_CCW, true));
    EXPECT_TRUE(drawn(D3DCULL_CW, true));
    // Strips swap the winding of every second triangle: a quad strip is all front or all back.
    device->SetRenderState(D3DRS_CULLMODE, D3DCULL_CCW);
    device->Clear(0, nullptr, D3DCLEAR_TARGET, 0, 1.0f, 0);
    Quad(2, 2, 14, 14, 0xFFFFFFFF); // (2,2) (14,2) (2,14): clockwise on screen
    int lit = 0;
    for (DWORD q : Pixels())
        lit += q != 0;
    EXPECT_EQ(lit, 12 * 12);
}

TEST_F(RasterTest, ViewportScissorsAndPreTransformedVerticesIgnoreItsOffset) {
    Create(32, 32);
    D3DVIEWPORT9 vp{8, 4, 16, 16, 0, 1};
    device->SetViewport(&vp);
    Quad(0, 0, 32, 32, 0xFFFF0000);
    // A transformed quad filling clip space fills exactly the viewport.
    const std::vector<DWORD> p = Pixels();
    for (UINT y = 0; y < 32; ++y)
        for (UINT x = 0; x < 32; ++x)
            ASSERT_EQ(p[y * 32 + x], x >= 8 && x < 24 && y >= 4 && y < 20 ? 0xFFFF0000u : 0u) << x << ", " << y;
    device->Clear(0, nullptr, D3DCLEAR_TARGET, 0, 1.0f, 0);
    Quad(10, 6, 12, 8, 0xFF00FF00); // at (10, 6), not moved by the viewport
    const std::vector<DWORD> q = Pixels();
    EXPECT_EQ(q[6 * 32 + 10], 0xFF00FF00u);
    EXPECT_EQ(q[6 * 32 + 12], 0u);
    EXPECT_EQ(q[(6 + 4) * 32 + 10 + 8], 0u);
}

// The same lit, textured fan three ways: from user memory with an FVF, and indexed from two
// buffers through a declaration of packed types (half floats, normalised shorts, a colour) with a
// base vertex and a stream offset. The frames must be identical.
TEST_F(RasterTest, BuffersAndDeclarationsFeedTheSameVerticesAsUserMemory) {
    Create(32, 32);
    IDirect3DTexture9* t =
        Texture(4, 4, 1, [](UINT, UINT x, UINT y) -> DWORD { return 0xFF000000 | (x * 60) << 16 | y * 60; });
    device->SetTexture(0, t);
    device->SetTextureStageState(0, D3DTSS_COLOROP, D3DTOP_MODULATE);
    device->SetTextureStageState(0, D3DTSS_COLORARG1, D3DTA_TEXTURE);
    device->SetTextureStageState(0, D3DTSS_COLORARG2, D3DTA_DIFFUSE);
    device->SetRenderState(D3DRS_AMBIENT, 0xFF404040);
    Sun({1, 1, 1, 1}, {}, {1, 1, 1, 1}, {0.3f, -0.2f, 1});
    SetProjection(Perspective(1, 1, 0.5f, 10));
    // Values exact in every packed type: 0, 1/2 and 1 (normals of 0 and 1 only).
    const LVertex fan[5] = {{0, 0, 2, 0, 0, -1, 0xFFFF8040, 0.5f, 0.5f},
                            {-1, -1, 2, 0, 1, -1, 0xFF4080FF, 0, 1},
                            {1, -1, 2.5f, 1, 0, -1, 0xFF80FF40, 1, 1},
                            {1, 1, 3, 0, -1, -1, 0xFFFFFFFF, 1, 0},
                            {-1, 1, 2.5f, -1, 0, -1, 0xFF203040, 0, 0}};
    device->SetFVF(kLFvf);
    ASSERT_EQ(device->DrawPrimitiveUP(D3DPT_TRIANGLEFAN, 3, fan, sizeof(LVertex)), D3D_OK);
    const std::vector<DWORD> expected = Pixels();
    int drawn = 0;
    for (DWORD c : expected)
        drawn += c != 0;
    EXPECT_GT(drawn, 100);

    // Stream 0: positions as floats after 4 bytes of padding, from vertex 2 on (base vertex 2),
    // and behind a 16-byte stream offset. Stream 1: normal as 4 normalised shorts, colour, and
    // texture coordinates as two half floats.
    struct P {
        DWORD pad;
        float x, y, z;
    };
    struct A {
        std::int16_t n[4];
        DWORD color;
        std::uint16_t uv[2];
    };
    auto half = [](float f) -> std::uint16_t { // 0, 0.5 and 1 only
        return f == 0 ? 0 : f == 0.5f ? 0x3800 : 0x3C00;
    };
    auto snorm = [](float f) { return static_cast<std::int16_t>(std::lround(f * 32767)); };
    std::vector<P> ps(2 + 5 + 1);
    std::vector<A> as(2 + 5);
    for (int i = 0; i < 5; ++i) {
        ps[1 + 2 + i] = {0, fan[i].x, fan[i].y, fan[i].z}; // one more P in front: the 16-byte offset
        as[2 + i] = {
            {snorm(fan[i].nx), snorm(fan[i].ny), snorm(fan[i].nz), 0}, fan[i].color, {half(fan[i].u), half(fan[i].v)}};
    }
    IDirect3DVertexBuffer9* vb[2] = {};
    ASSERT_EQ(
        device->CreateVertexBuffer(static_cast<UINT>(ps.size() * sizeof(P)), 0, 0, D3DPOOL_MANAGED, &vb[0], nullptr),
        D3D_OK);
    ASSERT_EQ(
        device->CreateVertexBuffer(static_cast<UINT>(as.size() * sizeof(A)), 0, 0, D3DPOOL_MANAGED, &vb[1], nullptr),
        D3D_OK);
    void* data = nullptr;
    vb[0]->Lock(0, 0, &data, 0);
    std::memcpy(data, ps.data(), ps.size() * sizeof(P));
    vb[0]->Unlock();
    vb[1]->Lock(0, 0, &data, 0);
    std::memcpy(data, as.data(), as.size() * sizeof(A));
    vb[1]->Unlock();
    const D3DVERTEXELEMENT9 elements[] = {
        {0, 4, D3DDECLTYPE_FLOAT3, D3DDECLMETHOD_DEFAULT, D3DDECLUSAGE_POSITION, 0},
        {1, 0, D3DDECLTYPE_SHORT4N, D3DDECLMETHOD_DEFAULT, D3DDECLUSAGE_NORMAL, 0},
        {1, 8, D3DDECLTYPE_D3DCOLOR, D3DDECLMETHOD_DEFAULT, D3DDECLUSAGE_COLOR, 0},
        {1, 12, D3DDECLTYPE_FLOAT16_2, D3DDECLMETHOD_DEFAULT, D3DDECLUSAGE_TEXCOORD, 0},
        D3DDECL_END()};
    IDirect3DVertexDeclaration9* decl = nullptr;
    ASSERT_EQ(device->CreateVertexDeclaration(elements, &decl), D3D_OK);
    IDirect3DIndexBuffer9* ib = nullptr;
    ASSERT_EQ(device->CreateIndexBuffer(9 * 2, 0, D3DFMT_INDEX16, D3DPOOL_MANAGED, &ib, nullptr), D3D_OK);
    const WORD idx[9] = {1, 2, 0, 2, 3, 0, 3, 4, 0}; // the fan as a list, each triangle from where the fan starts it
    ib->Lock(0, 0, &data, 0);
    std::memcpy(data, idx, sizeof idx);
    ib->Unlock();
    device->SetVertexDeclaration(decl);
    device->SetStreamSource(0, vb[0], sizeof(P), sizeof(P));
    device->SetStreamSource(1, vb[1], 0, sizeof(A));
    device->SetIndices(ib);
    device->Clear(0, nullptr, D3DCLEAR_TARGET, 0, 1.0f, 0);
    ASSERT_EQ(device->DrawIndexedPrimitive(D3DPT_TRIANGLELIST, 2, 0, 5, 0, 3), D3D_OK);
    int differ = 0;
    const std::vector<DWORD> got = Pixels();
    for (std::size_t i = 0; i < got.size(); ++i)
        differ += got[i] != expected[i];
    EXPECT_EQ(differ, 0);
    decl->Release();
    ib->Release();
    vb[0]->Release();
    vb[1]->Release();
    t->Release();
}

// A vertex's colours and coordinates are worked out only once a triangle using it is drawn: a
// shared vertex first met in a culled triangle still colours the drawn ones, whatever the draw
// before left behind. A lit, textured grid of shuffled triangles, some wound backwards, its right
// column behind the near plane (clipped) and one vertex with a colour that is not a number used by
// culled triangles alone, culled either way, must draw exactly as its triangles of the kept winding
// drawn on their own without culling, shaded smoothly and flat.
TEST_F(RasterTest, CullingLeavesTheDrawnTrianglesTheirSharedVertices) {
    Create(48, 48);
    IDirect3DTexture9* t = Texture(8, 8, 1, [](UINT, UINT x, UINT y) -> DWORD {
        return 0xFF000000 | (x * 32) << 16 | (y * 32) << 8 | ((x ^ y) * 32);
    });
    device->SetTexture(0, t);
    TextureTimesDiffuse(D3DTA_DIFFUSE, D3DTEXF_LINEAR);
    device->SetRenderState(D3DRS_AMBIENT, 0xFF303030);
    device->SetRenderState(D3DRS_DIFFUSEMATERIALSOURCE, D3DMCS_COLOR1);
    Sun({1, 0.8f, 0.6f, 1}, {0.05f, 0.1f, 0, 0}, {1, 0.9f, 0.8f, 1}, {0.3f, -0.4f, 1});
    SetProjection(Perspective(1, 1, 0.5f, 20));
    device->SetFVF(kLFvf);

    constexpr int kSide = 8; // vertices a side
    std::mt19937 random(53);
    std::uniform_real_distribution<float> unit(0, 1);
    std::vector<LVertex> grid, poison;
    for (int j = 0; j < kSide; ++j)
        for (int i = 0; i < kSide; ++i) {
            const float x = -1.4f + 2.8f * static_cast<float>(i) / (kSide - 1);
            const float y = -1.4f + 2.8f * static_cast<float>(j) / (kSide - 1);
            const float z = i == kSide - 1 ? 0.3f : 1.5f + unit(random);
            const DWORD color = 0xFF000000 | static_cast<DWORD>(random() & 0xFFFFFF);
            grid.push_back({x * z, y * z, z, unit(random) - 0.5f, unit(random) - 0.5f, -1, color, unit(random),
                            unit(random)});
            poison.push_back({x * z, y * z, z, 0, 0, 1, 0xFFFFFFFF, 0, 0});
        }
    const int nan = 2 * kSide + 3; // used by culled triangles alone
    const float notANumber = std::numeric_limits<float>::quiet_NaN();
    grid[nan].nx = notANumber;
    // Two triangles a cell, clockwise on screen unless flipped; those at the NaN vertex flipped.
    struct Tri {
        WORD v[3];
        bool flipped;
    };
    std::vector<Tri> tris;
    for (int j = 0; j + 1 < kSide; ++j)
        for (int i = 0; i + 1 < kSide; ++i) {
            const WORD a = static_cast<WORD>(j * kSide + i), b = static_cast<WORD>(a + 1),
                       c = static_cast<WORD>(a + kSide), d = static_cast<WORD>(c + 1);
            for (Tri tri : {Tri{{c, d, a}, false}, Tri{{d, b, a}, false}}) {
                const bool atNan = tri.v[0] == nan || tri.v[1] == nan || tri.v[2] == nan;
                tri.flipped = atNan || (random() & 1) != 0;
                if (tri.flipped)
                    std::swap(tri.v[1], tri.v[2]);
                tris.push_back(tri);
            }
        }
    std::shuffle(tris.begin(), tris.end(), random);
    auto indices = [&](int only) { // -1: every triangle, else those flipped (1) or not (0)
        std::vector<WORD> out;
        for (const Tri& tri : tris)
            if (only < 0 || tri.flipped == (only == 1))
                out.insert(out.end(), tri.v, tri.v + 3);
        return out;
    };
    auto draw = [&](const std::vector<LVertex>& vertices, const std::vector<WORD>& list, DWORD cull) {
        device->SetRenderState(D3DRS_CULLMODE, cull);
        device->Clear(0, nullptr, D3DCLEAR_TARGET, 0, 1.0f, 0);
        EXPECT_EQ(device->DrawIndexedPrimitiveUP(D3DPT_TRIANGLELIST, 0, static_cast<UINT>(vertices.size()),
                                                 static_cast<UINT>(list.size() / 3), list.data(), D3DFMT_INDEX16,
                                                 vertices.data(), sizeof(LVertex)),
                  D3D_OK);
        return Pixels();
    };
    const std::vector<WORD> all = indices(-1);
    for (DWORD shade : {D3DSHADE_GOURAUD, D3DSHADE_FLAT}) {
        device->SetRenderState(D3DRS_SHADEMODE, shade);
        for (const auto& [cull, kept] : {std::pair{D3DCULL_CCW, 0}, std::pair{D3DCULL_CW, 1}}) {
            SCOPED_TRACE(testing::Message() << "shade " << shade << ", cull " << cull);
            draw(poison, all, D3DCULL_NONE); // other colours and coordinates for the same vertices
            const std::vector<DWORD> culled = draw(grid, all, cull);
            const std::vector<DWORD> alone = draw(grid, indices(kept), D3DCULL_NONE);
            int differ = 0, drawn = 0;
            for (std::size_t i = 0; i < alone.size(); ++i) {
                differ += culled[i] != alone[i];
                drawn += alone[i] != 0;
            }
            EXPECT_EQ(differ, 0);
            EXPECT_GT(drawn, 48 * 48 / 4);
        }
    }
    t->Release();
}

TEST_F(RasterTest, BadGeometryDrawsNothingWrongAndStaysInsideTheTarget) {
    Create(16, 16);
    const float nan = std::numeric_limits<float>::quiet_NaN(), inf = std::numeric_limits<float>::infinity();
    Triangles(
        {{nan, 0, 0.5f, 1, 0xFFFFFFFF, 0, 0}, {8, 0, 0.5f, 1, 0xFFFFFFFF, 0, 0}, {0, 8, 0.5f, 1, 0xFFFFFFFF, 0, 0}});
    Triangles(
        {{0, 0, 0.5f, 1, 0xFFFFFFFF, 0, 0}, {inf, 0, 0.5f, 1, 0xFFFFFFFF, 0, 0}, {0, 8, 0.5f, 1, 0xFFFFFFFF, 0, 0}});
    Triangles({{0, 0, 0.5f, 1, 0xFFFFFFFF, 0, 0},
               {1e30f, 0, 0.5f, 1, 0xFFFFFFFF, 0, 0},
               {0, 1e30f, 0.5f, 1, 0xFFFFFFFF, 0, 0}});
    Triangles(
        {{3, 3, 0.5f, 1, 0xFFFFFFFF, 0, 0}, {3, 3, 0.5f, 1, 0xFFFFFFFF, 0, 0}, {3, 3, 0.5f, 1, 0xFFFFFFFF, 0, 0}});
    // Transformed: w at zero and below, NaN, a huge triangle.
    device->SetFVF(kLFvf);
    const LVertex bad[9] = {{0, 0, 0, 0, 0, 1, 0xFFFFFFFF, 0, 0},
                            {1, 0, 0, 0, 0, 1, 0xFFFFFFFF, 0, 0},
                            {0, 1, 0, 0, 0, 1, 0xFFFFFFFF, 0, 0},
                            {nan, 0, 1, 0, 0, 1, 0xFFFFFFFF, 0, 0},
                            {1, 0, 1, 0, 0, 1, 0xFFFFFFFF, nan, 0},
                            {0, 1, 1, 0, 0, 1, 0xFFFFFFFF, 0, 0},
                            {-1e30f, -1e30f, 0.5f, 0, 0, 1, 0xFF0000FF, 0, 0},
                            {1e30f, -1e30f, 0.5f, 0, 0, 1, 0xFF0000FF, 0, 0},
                            {0, 1e30f, 0.5f, 0, 0, 1, 0xFF0000FF, 0, 0}};
    SetProjection(Perspective(1, 1, 0.1f, 10));
    EXPECT_EQ(device->DrawPrimitiveUP(D3DPT_TRIANGLELIST, 3, bad, sizeof(LVertex)), D3D_OK);
    EXPECT_EQ(device->DrawPrimitiveUP(D3DPT_LINELIST, 4, bad, sizeof(LVertex)), D3D_OK);
    // A viewport past the target's edge.
    D3DVIEWPORT9 vp{8, 8, 100, 100, 0, 1};
    device->SetViewport(&vp);
    Quad(-1e6f, -1e6f, 1e6f, 1e6f, 0xFF00FF00);
    for (DWORD c : Pixels())
        EXPECT_TRUE(c == 0 || c == 0xFF0000FF || c == 0xFF00FF00) << std::hex << c;
}

// Texturing -------------------------------------------------------------------------------------------

TEST_F(RasterTest, PerspectiveCheckerboardMatchesTheAnalyticMapping) {
    Create(64, 64);
    IDirect3DTexture9* t =
        Texture(8, 8, 1, [](UINT, UINT x, UINT y) -> DWORD { return ((x + y) & 1) ? 0xFFFFFFFF : 0xFF000000; });
    device->SetTexture(0, t);
    device->SetTextureStageState(0, D3DTSS_COLORARG1, D3DTA_TEXTURE);
    SetProjection(Perspective(1, 1, 0.5f, 100));
    // A slanted quad: the plane x from -1 to 1 at z from 2 (left) to 6 (right), y from -1 to 1.
    const DWORD white = 0xFFFFFFFF;
    const LVertex q[4] = {{-1, 1, 2, 0, 0, -1, white, 0, 0},
                          {1, 1, 6, 0, 0, -1, white, 1, 0},
                          {-1, -1, 2, 0, 0, -1, white, 0, 1},
                          {1, -1, 6, 0, 0, -1, white, 1, 1}};
    device->SetFVF(kLFvf);
    ASSERT_EQ(device->DrawPrimitiveUP(D3DPT_TRIANGLESTRIP, 2, q, sizeof(LVertex)), D3D_OK);
    const std::vector<DWORD> p = Pixels();
    int checked = 0;
    for (int py = 0; py < 64; py += 3)
        for (int px = 0; px < 64; px += 3) {
            // The ray through the pixel centre: x/z = (px - 32)/32, y/z = (32 - py)/32; on the
            // plane x = -1 + (z - 2)/2 the parameter s = (x + 1)/2 and t = (1 - y)/2.
            const double rx = (px - 32) / 32.0, ry = (32 - py) / 32.0;
            const double z = (-1 - 1) / (0.5 - rx) * -1; // x = rx z and x = -1 + (z - 2)/2
            const double s = (rx * z + 1) / 2, tt = (1 - ry * z) / 2;
            if (!(z > 2 && z < 6) || tt <= 0 || tt >= 1)
                continue;
            const double cu = s * 8, cv = tt * 8;
            if (std::fabs(cu - std::round(cu)) < 0.05 || std::fabs(cv - std::round(cv)) < 0.05)
                continue; // too near a texel boundary for float rounding to decide
            const DWORD expected = ((static_cast<int>(cu) + static_cast<int>(cv)) & 1) ? 0xFFFFFFFF : 0xFF000000;
            EXPECT_EQ(p[py * 64 + px], expected) << px << ", " << py;
            ++checked;
        }
    EXPECT_GT(checked, 40);
    t->Release();
}

TEST_F(RasterTest, MipLevelsFollowTheTexelsPerPixelAndTheFilters) {
    Create(64, 64);
    // Level l is coloured by its number; 64 x 64 down to 1 x 1.
    IDirect3DTexture9* t =
        Texture(64, 64, 0, [](UINT level, UINT, UINT) -> DWORD { return 0xFF000000 | level * 0x20; });
    device->SetTexture(0, t);
    device->SetTextureStageState(0, D3DTSS_COLORARG1, D3DTA_TEXTURE);
    device->SetSamplerState(0, D3DSAMP_MIPFILTER, D3DTEXF_POINT);
    auto level = [&](float side, DWORD mip) {
        device->SetSamplerState(0, D3DSAMP_MIPFILTER, mip);
        device->Clear(0, nullptr, D3DCLEAR_TARGET, 0, 1.0f, 0);
        Quad(0, 0, side, side, 0);
        return static_cast<int>(Pixels()[0] & 0xFF);
    };
    EXPECT_EQ(level(64, D3DTEXF_POINT), 0);
    EXPECT_EQ(level(32, D3DTEXF_POINT), 0x20);
    EXPECT_EQ(level(16, D3DTEXF_POINT), 0x40);
    EXPECT_EQ(level(4, D3DTEXF_POINT), 0x80);
    EXPECT_EQ(level(16, D3DTEXF_NONE), 0);
    // Half way between levels 1 and 2 in log2: linear takes the mean, point the nearer.
    const float between = 64.0f / std::pow(2.0f, 1.4f);
    EXPECT_EQ(level(between, D3DTEXF_POINT), 0x20);
    EXPECT_NEAR(level(between, D3DTEXF_LINEAR), 0x20 + 0.4 * 0x20, 1.5);

    // A receding floor: levels only grow with distance, and reach past 2 far away.
    device->Clear(0, nullptr, D3DCLEAR_TARGET, 0, 1.0f, 0);
    device->SetSamplerState(0, D3DSAMP_MIPFILTER, D3DTEXF_POINT);
    SetProjection(Perspective(1, 1, 0.5f, 1000));
    const LVertex floor[4] = {{-8, -1, 1, 0, 1, 0, 0, 0, 0},
                              {8, -1, 1, 0, 1, 0, 0, 16, 0},
                              {-8, -1, 200, 0, 1, 0, 0, 0, 200},
                              {8, -1, 200, 0, 1, 0, 0, 16, 200}};
    device->SetFVF(kLFvf);
    device->DrawPrimitiveUP(D3DPT_TRIANGLESTRIP, 2, floor, sizeof(LVertex));
    const std::vector<DWORD> p = Pixels();
    int previous = 0xFF;
    for (int y = 33; y < 64; ++y) {
        const int l = static_cast<int>(p[y * 64 + 32] & 0xFF);
        EXPECT_LE(l, previous) << y;
        previous = l;
    }
    EXPECT_GE(static_cast<int>(p[33 * 64 + 32] & 0xFF), 0x60);
    t->Release();
}

TEST_F(RasterTest, AddressModesAndBilinearFiltering) {
    Create(16, 4);
    // A 2 x 1 texture, black and white.
    IDirect3DTexture9* t = Texture(2, 1, 1, [](UINT, UINT x, UINT) -> DWORD { return x ? 0xFFFFFFFF : 0xFF000000; });
    device->SetTexture(0, t);
    device->SetTextureStageState(0, D3DTSS_COLORARG1, D3DTA_TEXTURE);
    // u from 0 to 4 across 16 pixels: pixel x samples u = (x) / 4 at its centre... the quad runs
    // from -0.5 so that pixel x samples u = (x + 0.5) / 4, the texel x * 2 / 4 covers.
    auto row = [&](DWORD address, DWORD filter) {
        device->SetSamplerState(0, D3DSAMP_ADDRESSU, address);
        device->SetSamplerState(0, D3DSAMP_MAGFILTER, filter);
        device->SetSamplerState(0, D3DSAMP_MINFILTER, filter);
        Triangles({{-0.5f, -0.5f, 0.5f, 1, 0, -0.125f, 0},
                   {15.5f, -0.5f, 0.5f, 1, 0, 3.875f, 0},
                   {-0.5f, 3.5f, 0.5f, 1, 0, -0.125f, 1},
                   {15.5f, 3.5f, 0.5f, 1, 0, 3.875f, 1}},
                  D3DPT_TRIANGLESTRIP);
        const std::vector<DWORD> p = Pixels();
        std::string s;
        for (int x = 0; x < 16; ++x)
            s += (p[x] & 0xFF) == 0 ? '0' : (p[x] & 0xFF) == 0xFF ? '1' : 'x';
        return s;
    };
    // Pixel x samples u = x / 4: texel floor(u * 2).
    EXPECT_EQ(row(D3DTADDRESS_WRAP, D3DTEXF_POINT), "0011001100110011");
    EXPECT_EQ(row(D3DTADDRESS_MIRROR, D3DTEXF_POINT), "0011110000111100");
    EXPECT_EQ(row(D3DTADDRESS_CLAMP, D3DTEXF_POINT), "0011111111111111");
    device->SetSamplerState(0, D3DSAMP_BORDERCOLOR, 0xFF000080);
    EXPECT_EQ(row(D3DTADDRESS_BORDER, D3DTEXF_POINT), "0011xxxxxxxxxxxx");
    // Bilinear: at u = 0.25 (texel 0's centre) black, at u = 0.5 between the centres grey.
    const std::string linear = row(D3DTADDRESS_WRAP, D3DTEXF_LINEAR);
    EXPECT_EQ(linear[1], '0');
    EXPECT_EQ(linear[3], '1');
    EXPECT_EQ(linear[2], 'x');
    EXPECT_NEAR(static_cast<int>(Pixels()[2] & 0xFF), 128, 1);
    t->Release();
}

// Lighting --------------------------------------------------------------------------------------------

TEST_F(RasterTest, LightingMatchesTheClosedForms) {
    Create(8, 8);
    device->SetRenderState(D3DRS_LIGHTING, TRUE);
    device->SetRenderState(D3DRS_SHADEMODE, D3DSHADE_FLAT);
    device->SetRenderState(D3DRS_AMBIENT, 0xFF202020);
    D3DMATERIAL9 m{};
    m.Diffuse = {0.8f, 0.6f, 1.0f, 0.5f};
    m.Ambient = {1.0f, 0.5f, 0.0f, 1.0f};
    m.Emissive = {0.05f, 0.0f, 0.1f, 0.0f};
    device->SetMaterial(&m);
    device->SetRenderState(D3DRS_DIFFUSEMATERIALSOURCE, D3DMCS_MATERIAL);
    device->SetFVF(kLFvf);
    SetProjection(Perspective(1, 1, 0.1f, 100));
    // The lit point: (0, 0, 4), normal towards -z and up a little; drawn flat so the first
    // vertex colours the whole triangle.
    const float nx = 0, ny = 0.6f, nz = -0.8f;
    const LVertex tri[3] = {
        {0, 0, 4, nx, ny, nz, 0xFF00FF00, 0, 0}, {-4, -4, 4, nx, ny, nz, 0, 0, 0}, {4, -4, 4, nx, ny, nz, 0, 0, 0}};
    auto lit = [&](const D3DLIGHT9& light) {
        device->SetLight(0, &light);
        device->LightEnable(0, TRUE);
        device->Clear(0, nullptr, D3DCLEAR_TARGET, 0, 1.0f, 0);
        device->DrawPrimitiveUP(D3DPT_TRIANGLELIST, 1, tri, sizeof(LVertex));
        return Pixels()[6 * 8 + 4];
    };
    auto expect = [&](DWORD c, float diffuseScale, float ambientScale, const D3DLIGHT9& l) {
        const float ga = 0x20 / 255.0f;
        const float e[3] = {
            m.Emissive.r + m.Ambient.r * (ga + l.Ambient.r * ambientScale) + m.Diffuse.r * l.Diffuse.r * diffuseScale,
            m.Emissive.g + m.Ambient.g * (ga + l.Ambient.g * ambientScale) + m.Diffuse.g * l.Diffuse.g * diffuseScale,
            m.Emissive.b + m.Ambient.b * (ga + l.Ambient.b * ambientScale) + m.Diffuse.b * l.Diffuse.b * diffuseScale};
        EXPECT_NEAR(Channel(c, 16), std::min(1.0f, e[0]) * 255, 1.0f);
        EXPECT_NEAR(Channel(c, 8), std::min(1.0f, e[1]) * 255, 1.0f);
        EXPECT_NEAR(Channel(c, 0), std::min(1.0f, e[2]) * 255, 1.0f);
        EXPECT_NEAR(Channel(c, 24), 0.5f * 255, 1.0f); // the diffuse source's alpha
    };
    D3DLIGHT9 d{};
    d.Type = D3DLIGHT_DIRECTIONAL;
    d.Diffuse = {0.5f, 0.7f, 0.3f, 1};
    d.Ambient = {0.1f, 0.1f, 0.1f, 1};
    d.Direction = {0, -0.6f, 0.8f}; // straight at the surface: N.L = 1
    expect(lit(d), 1.0f, 1.0f, d);
    d.Direction = {0, 0, 1}; // N.L = 0.8
    expect(lit(d), 0.8f, 1.0f, d);

    D3DLIGHT9 pt{};
    pt.Type = D3DLIGHT_POINT;
    pt.Diffuse = {1, 1, 1, 1};
    pt.Ambient = {0.2f, 0.2f, 0.2f, 1};
    pt.Position = {0, 3, 0}; // 5 away; L = (0, 0.6, -0.8): N.L = 1
    pt.Range = 10;
    pt.Attenuation0 = 0.5f;
    pt.Attenuation1 = 0.1f;
    pt.Attenuation2 = 0.02f;
    const float att = 1 / (0.5f + 0.1f * 5 + 0.02f * 25);
    expect(lit(pt), att, att, pt);
    pt.Range = 4.9f; // out of range: ambient and emissive only
    expect(lit(pt), 0, 0, pt);

    D3DLIGHT9 spot = pt;
    spot.Type = D3DLIGHT_SPOT;
    spot.Range = 10;
    spot.Position = {0, 0, 0};
    spot.Attenuation0 = 1;
    spot.Attenuation1 = spot.Attenuation2 = 0;
    spot.Falloff = 2;
    // The point is 4 along +z; the spot points off axis so that cos(angle) = 0.9.
    spot.Direction = {std::sqrt(1 - 0.81f), 0, 0.9f};
    spot.Theta = 2 * std::acos(0.95f);
    spot.Phi = 2 * std::acos(0.85f);
    // L = (0, 0, -1): N.L = 0.8; falloff ((0.9 - 0.85) / (0.95 - 0.85))^2 = 0.25.
    expect(lit(spot), 0.8f * 0.25f, 0.25f, spot);
    spot.Theta = 2 * std::acos(0.89f); // inside the inner cone: full
    expect(lit(spot), 0.8f, 1.0f, spot);

    // The vertex colour as the diffuse source, and with colour vertex off the material again.
    device->SetRenderState(D3DRS_DIFFUSEMATERIALSOURCE, D3DMCS_COLOR1);
    d.Direction = {0, -0.6f, 0.8f};
    const DWORD green = lit(d);
    EXPECT_EQ(Channel(green, 24), 255);
    EXPECT_NEAR(Channel(green, 8),
                std::min(1.0f, m.Emissive.g + m.Ambient.g * (0x20 / 255.0f + 0.1f) + 0.7f * 1.0f) * 255, 1);
    device->SetRenderState(D3DRS_COLORVERTEX, FALSE);
    expect(lit(d), 1.0f, 1.0f, d);
}

// Fog against worked values: red under blue fog, from the depth per pixel (eye depth w, or z
// without a perspective) and per vertex (camera depth or distance, a transformed vertex's specular
// alpha, a vertex shader's fog output), each equation; the alpha stays.
TEST_F(RasterTest, FogFollowsItsEquationsPerPixelAndPerVertexOnEveryPath) {
    Create(8, 8);
    constexpr DWORD kRed = 0x80FF0000;
    device->SetRenderState(D3DRS_FOGCOLOR, 0xFF0000FF);
    auto set = [&](DWORD state, float v) {
        DWORD d;
        std::memcpy(&d, &v, 4);
        device->SetRenderState(static_cast<D3DRENDERSTATETYPE>(state), d);
    };
    set(D3DRS_FOGSTART, 2);
    set(D3DRS_FOGEND, 10);
    set(D3DRS_FOGDENSITY, 0.1f);
    // At a depth of 4 (and 5 for the distance of (3, 0, 4)).
    struct Case {
        DWORD mode;
        float at4, at5;
    };
    const Case cases[] = {{D3DFOG_LINEAR, 0.75f, 0.625f},
                          {D3DFOG_EXP, std::exp(-0.4f), std::exp(-0.5f)},
                          {D3DFOG_EXP2, std::exp(-0.16f), std::exp(-0.25f)}};
    auto expect = [&](DWORD c, float f, const std::string& what) {
        EXPECT_NEAR(Channel(c, 16), 255 * f, 1.0f) << what;
        EXPECT_NEAR(Channel(c, 0), 255 * (1 - f), 1.0f) << what;
        EXPECT_EQ(Channel(c, 8), 0) << what;
        EXPECT_EQ(Channel(c, 24), 0x80) << what;
    };
    auto clear = [&] { device->Clear(0, nullptr, D3DCLEAR_TARGET, 0, 1.0f, 0); };
    // A pre-transformed quad over the target at eye depth 4 (reciprocal w 0.25).
    auto farQuad = [&] {
        clear();
        Triangles({{0, 0, 0.5f, 0.25f, kRed, 0, 0},
                   {8, 0, 0.5f, 0.25f, kRed, 0, 0},
                   {0, 8, 0.5f, 0.25f, kRed, 0, 0},
                   {8, 8, 0.5f, 0.25f, kRed, 0, 0}},
                  D3DPT_TRIANGLESTRIP);
        return Pixels()[4 * 8 + 4];
    };
    // A square from -side to side at depth z through the fixed-function transform.
    auto square = [&](float side, float z) {
        const LVertex v[4] = {{-side, -side, z, 0, 0, -1, kRed, 0, 0},
                              {side, -side, z, 0, 0, -1, kRed, 0, 0},
                              {-side, side, z, 0, 0, -1, kRed, 0, 0},
                              {side, side, z, 0, 0, -1, kRed, 0, 0}};
        clear();
        device->SetFVF(kLFvf);
        device->DrawPrimitiveUP(D3DPT_TRIANGLESTRIP, 2, v, sizeof(LVertex));
        return Pixels()[4 * 8 + 4];
    };
    // 4 in front of the camera, over the target.
    auto transformedQuad = [&] { return square(8, 4); };
    // A point at (3, 0, 4): depth 4, distance 5, on pixel (7, 4).
    auto point = [&] {
        clear();
        const LVertex p = {3, 0, 4, 0, 0, -1, kRed, 0, 0};
        device->SetFVF(kLFvf);
        device->DrawPrimitiveUP(D3DPT_POINTLIST, 1, &p, sizeof(LVertex));
        return Pixels()[4 * 8 + 7];
    };
    SetProjection(Perspective(1, 1, 0.1f, 100));

    expect(farQuad(), 1, "fog off");
    device->SetRenderState(D3DRS_FOGENABLE, TRUE);
    expect(farQuad(), 1, "fog on, neither mode");
    expect(transformedQuad(), 1, "fog on, neither mode, transformed");
    for (const Case& c : cases) {
        const std::string mode = " mode " + std::to_string(c.mode);
        device->SetRenderState(D3DRS_FOGTABLEMODE, c.mode);
        expect(farQuad(), c.at4, "table, given w" + mode);
        expect(transformedQuad(), c.at4, "table, transformed" + mode);
        device->SetRenderState(D3DRS_FOGVERTEXMODE, c.mode); // the table wins
        expect(point(), c.at4, "table over vertex" + mode);
        device->SetRenderState(D3DRS_FOGTABLEMODE, D3DFOG_NONE);
        expect(transformedQuad(), c.at4, "vertex" + mode);
        expect(point(), c.at4, "vertex, depth" + mode);
        device->SetRenderState(D3DRS_RANGEFOGENABLE, TRUE);
        expect(point(), c.at5, "vertex, distance" + mode);
        device->SetRenderState(D3DRS_RANGEFOGENABLE, FALSE);
        device->SetRenderState(D3DRS_FOGVERTEXMODE, D3DFOG_NONE);
    }

    // Without a perspective the table reads z: a quad at z = 0.5, linear over 0..1 and exp at 2.
    SetProjection(Identity());
    auto flatQuad = [&] { return square(1, 0.5f); };
    device->SetRenderState(D3DRS_FOGTABLEMODE, D3DFOG_LINEAR);
    set(D3DRS_FOGSTART, 0);
    set(D3DRS_FOGEND, 1);
    expect(flatQuad(), 0.5f, "table from z, linear");
    device->SetRenderState(D3DRS_FOGTABLEMODE, D3DFOG_EXP);
    set(D3DRS_FOGDENSITY, 2);
    expect(flatQuad(), std::exp(-1.0f), "table from z, exp");
    device->SetRenderState(D3DRS_FOGTABLEMODE, D3DFOG_NONE);

    // Pre-transformed vertices carry their vertex fog in the specular alpha.
    struct SVertex {
        float x, y, z, rhw;
        DWORD diffuse, specular;
    };
    const SVertex given[4] = {{0, 0, 0.5f, 1, kRed, 0x40000000},
                              {8, 0, 0.5f, 1, kRed, 0x40000000},
                              {0, 8, 0.5f, 1, kRed, 0x40000000},
                              {8, 8, 0.5f, 1, kRed, 0x40000000}};
    clear();
    device->SetFVF(D3DFVF_XYZRHW | D3DFVF_DIFFUSE | D3DFVF_SPECULAR);
    device->DrawPrimitiveUP(D3DPT_TRIANGLESTRIP, 2, given, sizeof(SVertex));
    expect(Pixels()[4 * 8 + 4], 0x40 / 255.0f, "specular alpha");

    // A vertex shader's fog output is the factor; table fog reads its w instead.
    const char text[] = "vs_1_1\ndcl_position0 v0\ndcl_color0 v4\nm4x4 oPos, v0, c[0]\nmov oD0, v4\nmov oFog, c[8].x\n";
    ID3DXBuffer* tokens = nullptr;
    ASSERT_EQ(D3DXAssembleShader(text, sizeof text - 1, nullptr, nullptr, 0, &tokens, nullptr), D3D_OK);
    IDirect3DVertexShader9* vs = nullptr;
    ASSERT_EQ(device->CreateVertexShader(static_cast<const DWORD*>(tokens->GetBufferPointer()), &vs), D3D_OK);
    tokens->Release();
    const D3DMATRIX proj = Perspective(1, 1, 0.1f, 100);
    float constants[9][4] = {};
    for (int r = 0; r < 4; ++r)
        for (int c = 0; c < 4; ++c)
            constants[r][c] = proj.m[c][r];
    constants[8][0] = 0.25f;
    device->SetVertexShaderConstantF(0, &constants[0][0], 9);
    device->SetVertexShader(vs);
    set(D3DRS_FOGSTART, 2);
    set(D3DRS_FOGEND, 10);
    expect(transformedQuad(), 0.25f, "shader's fog");
    device->SetRenderState(D3DRS_FOGTABLEMODE, D3DFOG_LINEAR);
    expect(transformedQuad(), 0.75f, "table over the shader's fog");
    device->SetVertexShader(nullptr);
    vs->Release();
}

TEST_F(RasterTest, FlatShadingTakesTheFirstVertexGouraudInterpolates) {
    Create(16, 16);
    const std::vector<TVertex> strip{{0, 0, 0.5f, 1, 0xFFFF0000, 0, 0},
                                     {16, 0, 0.5f, 1, 0xFF00FF00, 0, 0},
                                     {0, 16, 0.5f, 1, 0xFF0000FF, 0, 0},
                                     {16, 16, 0.5f, 1, 0xFFFFFFFF, 0, 0}};
    device->SetRenderState(D3DRS_SHADEMODE, D3DSHADE_FLAT);
    Triangles(strip, D3DPT_TRIANGLESTRIP);
    std::vector<DWORD> p = Pixels();
    EXPECT_EQ(p[2 * 16 + 2], 0xFFFF0000u);   // first triangle: vertex 0
    EXPECT_EQ(p[14 * 16 + 14], 0xFF00FF00u); // second triangle: vertex 1
    device->SetRenderState(D3DRS_SHADEMODE, D3DSHADE_GOURAUD);
    Triangles(strip, D3DPT_TRIANGLESTRIP);
    p = Pixels();
    // At (4, 4) in the first triangle: red 1 - 8/16, green 4/16, blue 4/16.
    EXPECT_NEAR(Channel(p[4 * 16 + 4], 16), 0.5 * 255, 1);
    EXPECT_NEAR(Channel(p[4 * 16 + 4], 8), 0.25 * 255, 1);
    EXPECT_NEAR(Channel(p[4 * 16 + 4], 0), 0.25 * 255, 1);
}

// Pixel tables ----------------------------------------------------------------------------------------

TEST_F(RasterTest, BlendFactorsAlphaAndDepthFunctionsAndWriteMasks) {
    Create(4, 4);
    const DWORD dst = 0x80402010, src = 0x40C08020; // a, r, g, b
    auto blended = [&](DWORD s, DWORD d) {
        device->SetRenderState(D3DRS_ALPHABLENDENABLE, TRUE);
        device->SetRenderState(D3DRS_SRCBLEND, s);
        device->SetRenderState(D3DRS_DESTBLEND, d);
        device->Clear(0, nullptr, D3DCLEAR_TARGET, dst, 1.0f, 0);
        Quad(0, 0, 4, 4, src);
        return Pixels()[5];
    };
    auto factor = [](DWORD f, int channel, bool alpha) {
        const double s = Channel(src, channel) / 255.0, sa = Channel(src, 24) / 255.0;
        const double d = Channel(dst, channel) / 255.0, da = Channel(dst, 24) / 255.0;
        // Factors in blend-value order: ZERO, ONE, SRCCOLOR, INVSRCCOLOR, SRCALPHA, INVSRCALPHA, DESTALPHA,
        // INVDESTALPHA, DESTCOLOR, INVDESTCOLOR, SRCALPHASAT.
        const double table[] = {0, 1, s, 1 - s, sa, 1 - sa, da, 1 - da, d, 1 - d, alpha ? 1.0 : std::min(sa, 1 - da)};
        return table[f - D3DBLEND_ZERO];
    };
    for (DWORD s = D3DBLEND_ZERO; s <= D3DBLEND_SRCALPHASAT; ++s)
        for (DWORD d = D3DBLEND_ZERO; d <= D3DBLEND_INVDESTCOLOR; ++d) {
            const DWORD c = blended(s, d);
            for (int ch : {0, 8, 16, 24}) {
                const double expected =
                    Channel(src, ch) * factor(s, ch, ch == 24) + Channel(dst, ch) * factor(d, ch, ch == 24);
                EXPECT_NEAR(Channel(c, ch), std::min(255.0, expected), 1.0) << s << " " << d << " " << ch;
            }
        }
    device->SetRenderState(D3DRS_ALPHABLENDENABLE, FALSE);

    // Alpha test: source alpha 0x40 against references below, at and above it.
    device->SetRenderState(D3DRS_ALPHATESTENABLE, TRUE);
    const bool alphaPass[8][3] = {{0, 0, 0}, {0, 0, 1}, {0, 1, 0}, {0, 1, 1},
                                  {1, 0, 0}, {1, 0, 1}, {1, 1, 0}, {1, 1, 1}};
    for (DWORD f = D3DCMP_NEVER; f <= D3DCMP_ALWAYS; ++f)
        for (int r = 0; r < 3; ++r) {
            device->SetRenderState(D3DRS_ALPHAFUNC, f);
            device->SetRenderState(D3DRS_ALPHAREF, static_cast<DWORD>(0x3F + r));
            device->Clear(0, nullptr, D3DCLEAR_TARGET, 0, 1.0f, 0);
            Quad(0, 0, 4, 4, src);
            EXPECT_EQ(Pixels()[0] == src, alphaPass[f - 1][r]) << f << " " << r;
        }
    device->SetRenderState(D3DRS_ALPHATESTENABLE, FALSE);

    // Depth: the buffer at 0.5, quads at 0.25, 0.5 and 0.75; then the write mask.
    device->SetRenderState(D3DRS_ZENABLE, TRUE);
    const bool depthPass[8][3] = {{0, 0, 0}, {1, 0, 0}, {0, 1, 0}, {1, 1, 0},
                                  {0, 0, 1}, {1, 0, 1}, {0, 1, 1}, {1, 1, 1}};
    for (DWORD f = D3DCMP_NEVER; f <= D3DCMP_ALWAYS; ++f)
        for (int k = 0; k < 3; ++k) {
            device->SetRenderState(D3DRS_ZFUNC, f);
            device->Clear(0, nullptr, D3DCLEAR_TARGET | D3DCLEAR_ZBUFFER, 0, 0.5f, 0);
            Quad(0, 0, 4, 4, src, 0.25f * (k + 1));
            EXPECT_EQ(Pixels()[0] == src, depthPass[f - 1][k]) << f << " " << k;
        }
    device->SetRenderState(D3DRS_ZFUNC, D3DCMP_LESS);
    device->SetRenderState(D3DRS_ZWRITEENABLE, FALSE);
    device->Clear(0, nullptr, D3DCLEAR_TARGET | D3DCLEAR_ZBUFFER, 0, 0.5f, 0);
    Quad(0, 0, 4, 4, 0xFF000001, 0.25f);
    Quad(0, 0, 4, 4, 0xFF000002, 0.3f); // passes: the first did not write depth
    EXPECT_EQ(Pixels()[0], 0xFF000002u);
    device->SetRenderState(D3DRS_ZWRITEENABLE, TRUE);
    Quad(0, 0, 4, 4, 0xFF000003, 0.25f);
    Quad(0, 0, 4, 4, 0xFF000004, 0.3f); // fails behind the written 0.25
    EXPECT_EQ(Pixels()[0], 0xFF000003u);
    device->SetRenderState(D3DRS_ZENABLE, FALSE);

    device->SetRenderState(D3DRS_COLORWRITEENABLE, 0x1 | 0x8); // red and alpha
    device->Clear(0, nullptr, D3DCLEAR_TARGET, 0x11223344, 1.0f, 0);
    Quad(0, 0, 4, 4, 0xAABBCCDD);
    EXPECT_EQ(Pixels()[0], 0xAABB3344u);
}

// The packed-byte path shades four pixels at a time (eight where the processor has AVX2) and fills
// its lanes from several rows of thin triangles, with its texture sampled as many pixels at a time;
// the general path (taken here for the specular add of nothing) shades one pixel at a time in
// float. Over a scene of slivers, small and large triangles, opaque and then blended, in a target
// of odd size, and over a table of the states the packed path takes (texture or none, its format,
// levels, filters and addressing, the stage's operations and arguments, flat shading, depth
// functions and writes, alpha tests, blending, write masks; a texture written again through a
// lock after drawing with it), both cover the same pixels with colours within rounding of each
// other, and the packed path's two widths give the same bytes.
TEST_F(RasterTest, PackedAndGeneralPathsAgreePixelForPixel) {
    Create(61, 47);
    auto texel = [](UINT level, UINT x, UINT y) -> DWORD {
        return 0x80000000u | ((x * 37 + y * 11 + level * 50) & 255) << 16 | ((x ^ y) * 16 & 255) << 8 | (level * 60);
    };
    IDirect3DTexture9* chain = Texture(16, 16, 0, texel);
    IDirect3DTexture9* opaque = Texture(16, 16, 0, texel, D3DFMT_X8R8G8B8);
    IDirect3DTexture9* single = Texture(32, 8, 1, texel);
    std::mt19937 random(11);
    std::uniform_real_distribution<float> unit(0.0f, 1.0f);
    std::vector<TVertex> scene;
    for (int i = 0; i < 400; ++i) {
        const float cx = -4 + 69 * unit(random), cy = -4 + 55 * unit(random);
        const float size = i % 4 == 0 ? 40.0f : 6.0f, thin = i % 3 == 0 ? 0.05f : 1.0f;
        const float ax = size * (unit(random) - 0.5f), ay = size * (unit(random) - 0.5f);
        for (int k = 0; k < 3; ++k) {
            const float along = (k - 1) * 1.0f, across = k == 2 ? thin * (unit(random) - 0.5f) * size : 0.0f;
            const float rhw = 0.3f + 1.7f * unit(random);
            const DWORD color = static_cast<DWORD>(random()) | (i < 250 ? 0xFF000000u : 0);
            scene.push_back({cx + ax * along - ay * across, cy + ay * along + ax * across, unit(random), rhw, color,
                             (cx + 8 * unit(random)) / 16 * rhw, (cy + 8 * unit(random)) / 16 * rhw});
        }
    }
    enum Blend { kOver, kAdd, kMasked };
    struct Case {
        IDirect3DTexture9* texture;
        DWORD filter, mip;
        DWORD colorOp, colorArg1, colorArg2, alphaOp, alphaArg1;
        bool flat;
        DWORD zfunc;
        bool zwrite;
        Blend blend;
        DWORD address = D3DTADDRESS_WRAP;
        DWORD alphaFunc = D3DCMP_ALWAYS; // against 0x80
    } cases[] = {
        {chain, D3DTEXF_LINEAR, D3DTEXF_LINEAR, D3DTOP_MODULATE, D3DTA_TEXTURE, D3DTA_DIFFUSE, D3DTOP_SELECTARG1,
         D3DTA_DIFFUSE, false, D3DCMP_LESSEQUAL, true, kOver},
        {chain, D3DTEXF_LINEAR, D3DTEXF_POINT, D3DTOP_MODULATE, D3DTA_TEXTURE, D3DTA_DIFFUSE, D3DTOP_MODULATE,
         D3DTA_TEXTURE, false, D3DCMP_LESS, true, kOver},
        {chain, D3DTEXF_POINT, D3DTEXF_NONE, D3DTOP_SELECTARG1, D3DTA_TEXTURE, D3DTA_DIFFUSE, D3DTOP_SELECTARG2,
         D3DTA_TEXTURE, true, D3DCMP_GREATER, true, kOver},
        {opaque, D3DTEXF_LINEAR, D3DTEXF_LINEAR, D3DTOP_MODULATE, D3DTA_TFACTOR, D3DTA_TEXTURE, D3DTOP_DISABLE, 0,
         false, D3DCMP_LESSEQUAL, false, kOver},
        {single, D3DTEXF_LINEAR, D3DTEXF_LINEAR, D3DTOP_MODULATE, D3DTA_DIFFUSE, D3DTA_TEXTURE, D3DTOP_SELECTARG1,
         D3DTA_TEXTURE, false, D3DCMP_NOTEQUAL, true, kAdd},
        {single, D3DTEXF_LINEAR, D3DTEXF_LINEAR, D3DTOP_SELECTARG2, D3DTA_DIFFUSE, D3DTA_TEXTURE, D3DTOP_SELECTARG1,
         D3DTA_DIFFUSE, true, D3DCMP_ALWAYS, true, kMasked},
        {nullptr, D3DTEXF_LINEAR, D3DTEXF_LINEAR, D3DTOP_SELECTARG1, D3DTA_DIFFUSE, D3DTA_DIFFUSE, D3DTOP_SELECTARG1,
         D3DTA_DIFFUSE, false, D3DCMP_LESSEQUAL, true, kOver},
        {nullptr, D3DTEXF_LINEAR, D3DTEXF_LINEAR, D3DTOP_MODULATE, D3DTA_DIFFUSE, D3DTA_TFACTOR, D3DTOP_SELECTARG1,
         D3DTA_TFACTOR, true, D3DCMP_GREATEREQUAL, false, kAdd},
        {chain, D3DTEXF_LINEAR, D3DTEXF_LINEAR, D3DTOP_MODULATE, D3DTA_TEXTURE, D3DTA_DIFFUSE, D3DTOP_SELECTARG1,
         D3DTA_DIFFUSE, true, D3DCMP_LESSEQUAL, true, kOver, D3DTADDRESS_CLAMP, D3DCMP_GREATEREQUAL},
        {single, D3DTEXF_POINT, D3DTEXF_NONE, D3DTOP_MODULATE, D3DTA_TEXTURE, D3DTA_DIFFUSE, D3DTOP_SELECTARG1,
         D3DTA_DIFFUSE, true, D3DCMP_LESS, true, kMasked, D3DTADDRESS_MIRROR, D3DCMP_LESS},
    };
    device->SetRenderState(D3DRS_TEXTUREFACTOR, 0xC0A06040);
    for (const Case& c : cases) {
        const int index = static_cast<int>(&c - cases);
        if (index == 5) // texels written again after the packed path drew with them: it reads the new ones
            Fill(single, [](UINT, UINT x, UINT y) -> DWORD {
                return 0xC0000000u | ((x * 83 + y * 5) & 255) << 16 | ((x * y) * 7 & 255) << 8 | ((x + 3 * y) * 40 & 255);
            });
        device->SetTexture(0, c.texture);
        device->SetTextureStageState(0, D3DTSS_COLOROP, c.colorOp);
        device->SetTextureStageState(0, D3DTSS_COLORARG1, c.colorArg1);
        device->SetTextureStageState(0, D3DTSS_COLORARG2, c.colorArg2);
        device->SetTextureStageState(0, D3DTSS_ALPHAOP, c.alphaOp);
        device->SetTextureStageState(0, D3DTSS_ALPHAARG1, c.alphaArg1);
        device->SetTextureStageState(0, D3DTSS_ALPHAARG2, D3DTA_DIFFUSE);
        device->SetSamplerState(0, D3DSAMP_MINFILTER, c.filter);
        device->SetSamplerState(0, D3DSAMP_MAGFILTER, c.filter);
        device->SetSamplerState(0, D3DSAMP_MIPFILTER, c.mip);
        device->SetSamplerState(0, D3DSAMP_ADDRESSU, c.address);
        device->SetSamplerState(0, D3DSAMP_ADDRESSV, c.address);
        device->SetRenderState(D3DRS_ALPHATESTENABLE, c.alphaFunc != D3DCMP_ALWAYS);
        device->SetRenderState(D3DRS_ALPHAFUNC, c.alphaFunc);
        device->SetRenderState(D3DRS_ALPHAREF, 0x80);
        device->SetRenderState(D3DRS_SHADEMODE, c.flat ? D3DSHADE_FLAT : D3DSHADE_GOURAUD);
        device->SetRenderState(D3DRS_ZENABLE, TRUE);
        device->SetRenderState(D3DRS_ZFUNC, c.zfunc);
        device->SetRenderState(D3DRS_ZWRITEENABLE, c.zwrite);
        device->SetRenderState(D3DRS_SRCBLEND, c.blend == kAdd ? D3DBLEND_ONE : D3DBLEND_SRCALPHA);
        device->SetRenderState(D3DRS_DESTBLEND, c.blend == kAdd ? D3DBLEND_ONE : D3DBLEND_INVSRCALPHA);
        device->SetRenderState(D3DRS_COLORWRITEENABLE, c.blend == kMasked ? 0x1 | 0x4 | 0x8 : 0xF);
        const float clearDepth = c.zfunc == D3DCMP_GREATER || c.zfunc == D3DCMP_GREATEREQUAL ? 0.0f : 1.0f;
        auto draw = [&](bool general) {
            device->SetRenderState(D3DRS_SPECULARENABLE, general);
            device->Clear(0, nullptr, D3DCLEAR_TARGET | D3DCLEAR_ZBUFFER, 0xFF102030, clearDepth, 0);
            device->SetRenderState(D3DRS_ALPHABLENDENABLE, FALSE);
            Triangles(std::vector<TVertex>(scene.begin(), scene.begin() + 250 * 3));
            device->SetRenderState(D3DRS_ALPHABLENDENABLE, TRUE);
            Triangles(std::vector<TVertex>(scene.begin() + 250 * 3, scene.end()));
            return Pixels();
        };
        D3d9SetRasterWide(0);
        const std::vector<DWORD> packed = draw(false), general = draw(true);
        D3d9SetRasterWide(-1);
        if (D3d9RasterWide()) {
            ASSERT_TRUE(draw(false) == packed) << "case " << index << ": eight pixels a step and four differ";
        }
        int drawn = 0, worst = 0;
        for (std::size_t i = 0; i < packed.size(); ++i) {
            ASSERT_EQ(packed[i] == 0xFF102030u, general[i] == 0xFF102030u)
                << "case " << index << ", pixel " << i % width << ", " << i / width;
            drawn += packed[i] != 0xFF102030u;
            for (int ch : {0, 8, 16, 24})
                worst = std::max(worst, std::abs(Channel(packed[i], ch) - Channel(general[i], ch)));
        }
        EXPECT_GT(drawn, static_cast<int>(packed.size()) * 6 / 10) << "case " << index;
        EXPECT_LE(worst, 3) << "case " << index;
    }
    for (IDirect3DTexture9* t : {chain, opaque, single})
        t->Release();
}

// Triangles whose box is at most sixteen pixels wide find their rows' pixels from masks of the
// edge functions; the rest from each row's bounds. Over a sweep of tiny, small and sliver
// triangles at sub-pixel offsets (vertices on pixel centres, edges along rows and columns,
// corners a 1/256 step either side of a centre, boxes cut by the viewport's edges, slivers whose
// far vertices leave the edge functions' 32 bits), textured, depth-tested and blended, both give
// the same colour and depth bytes, at either step width.
TEST_F(RasterTest, SmallTrianglesRowsByMasksAsByBounds) {
    Create(45, 37);
    IDirect3DTexture9* texture = Texture(16, 16, 0, [](UINT level, UINT x, UINT y) -> DWORD {
        return 0xC0000000u | ((x * 29 + y * 13 + level * 70) & 255) << 16 | ((x ^ y) * 15 & 255) << 8 | (level * 50);
    });
    std::mt19937 random(23);
    std::uniform_real_distribution<float> unit(0.0f, 1.0f);
    auto snapped = [&](float v) { // on the 1/256 grid, often on a pixel centre or a step beside one
        const int mode = static_cast<int>(random() % 4);
        const float whole = std::floor(v);
        return mode == 0 ? whole : mode == 1 ? whole + (random() % 2 ? 1.0f : -1.0f) / 256 : std::round(v * 256) / 256;
    };
    std::vector<TVertex> scene;
    for (int i = 0; i < 1500; ++i) {
        const float cx = -3 + 51 * unit(random), cy = -3 + 43 * unit(random);
        const float size = i % 5 == 0 ? 0.6f : i % 5 == 1 ? 3.0f : i % 5 == 2 ? 8.5f : i % 5 == 3 ? 15.0f : 22.0f;
        float x[3], y[3];
        for (int k = 0; k < 3; ++k) {
            x[k] = snapped(cx + size * (unit(random) - 0.5f));
            y[k] = snapped(cy + size * (unit(random) - 0.5f));
        }
        if (i % 7 == 0) // an edge along a row or a column
            (i % 2 ? y[1] : x[1]) = i % 2 ? y[0] : x[0];
        if (i % 11 == 0) { // a sliver, its far end beyond the target
            const float far = i % 3 == 0 ? 30000.0f : 40.0f;
            x[2] = x[0] + 0.5f + 2 * unit(random);
            y[2] = y[0] + (i % 2 ? far : -far);
            x[1] = x[0] + 3 * unit(random);
        }
        for (int k = 0; k < 3; ++k) {
            const float rhw = 0.4f + unit(random);
            scene.push_back({x[k], y[k], unit(random), rhw, static_cast<DWORD>(random()) | 0x40000000u,
                             x[k] / 9 * rhw, y[k] / 7 * rhw});
        }
    }
    device->SetTexture(0, texture);
    TextureTimesDiffuse(D3DTA_DIFFUSE, D3DTEXF_LINEAR);
    device->SetRenderState(D3DRS_ZENABLE, TRUE);
    device->SetRenderState(D3DRS_ZFUNC, D3DCMP_LESSEQUAL);
    device->SetRenderState(D3DRS_SRCBLEND, D3DBLEND_SRCALPHA);
    device->SetRenderState(D3DRS_DESTBLEND, D3DBLEND_INVSRCALPHA);
    const D3DVIEWPORT9 viewport{2, 3, 40, 31, 0.0f, 1.0f}; // pixels outside it are drawn by neither
    device->SetViewport(&viewport);
    IDirect3DSurface9* depth = nullptr;
    ASSERT_EQ(device->GetDepthStencilSurface(&depth), D3D_OK);
    auto draw = [&](bool masks) {
        D3d9SetRasterMaskWalk(masks);
        device->Clear(0, nullptr, D3DCLEAR_TARGET | D3DCLEAR_ZBUFFER, 0xFF203040, 1.0f, 0);
        for (BOOL blend : {FALSE, TRUE}) {
            device->SetRenderState(D3DRS_ALPHABLENDENABLE, blend);
            Triangles(blend ? std::vector<TVertex>(scene.begin() + 900 * 3, scene.end())
                            : std::vector<TVertex>(scene.begin(), scene.begin() + 900 * 3));
        }
        D3d9SetRasterMaskWalk(true);
        std::pair<std::vector<DWORD>, std::vector<BYTE>> out{Pixels(), D3d9SurfaceBytes(depth)};
        return out;
    };
    for (int wide : {0, -1}) {
        D3d9SetRasterWide(wide);
        const auto byMasks = draw(true), byBounds = draw(false);
        int drawn = 0;
        for (std::size_t i = 0; i < byMasks.first.size(); ++i) {
            ASSERT_EQ(byMasks.first[i], byBounds.first[i])
                << (D3d9RasterWide() ? 8 : 4) << " pixels a step, pixel " << i % width << ", " << i / width;
            drawn += byMasks.first[i] != 0xFF203040u;
        }
        ASSERT_TRUE(byMasks.second == byBounds.second) << (D3d9RasterWide() ? 8 : 4) << " pixels a step";
        EXPECT_GT(drawn, 40 * 31 * 9 / 10);
    }
    D3d9SetRasterWide(-1);
    depth->Release();
    texture->Release();
}

// Three-float positions are transformed for a whole draw before its triangles, four vertices at a
// time, and its triangles culled in runs of 64 before any of the run is drawn; other position
// types one vertex and one triangle at a time as the triangles meet them. A lit, textured,
// depth-tested cloud of triangles crossing the near plane and the guard band, with positions that
// are not numbers or are infinite, vertices in the range that no index names and a base vertex,
// drawn as lists, strips and fans of many lengths through 16- and 32-bit indices, must leave the
// same colour and depth bytes with three-float positions as with four-float ones (w = 1).
TEST_F(RasterTest, PositionsTransformedAsADrawDrawAsOneByOne) {
    Create(40, 36);
    IDirect3DTexture9* texture = Texture(8, 8, 1, [](UINT, UINT x, UINT y) -> DWORD {
        return 0xFF000000 | (x * 32) << 16 | (y * 32) << 8 | ((x ^ y) * 32);
    });
    device->SetTexture(0, texture);
    TextureTimesDiffuse(D3DTA_DIFFUSE, D3DTEXF_LINEAR);
    device->SetRenderState(D3DRS_DIFFUSEMATERIALSOURCE, D3DMCS_COLOR1);
    Sun({0.3f, 0.3f, 0.3f, 1}, {}, {1, 0.9f, 0.8f, 1}, {0.3f, -0.4f, 1});
    SetProjection(Perspective(1.2f, 1.4f, 0.5f, 20));
    device->SetRenderState(D3DRS_ZENABLE, TRUE);
    device->SetRenderState(D3DRS_CULLMODE, D3DCULL_CCW);
    const D3DVIEWPORT9 viewport{3, 2, 33, 31, 0.1f, 0.9f};
    device->SetViewport(&viewport);

    constexpr int kVertices = 120, kBase = 3;
    std::mt19937 random(91);
    std::uniform_real_distribution<float> unit(0, 1);
    struct Attributes {
        float nx, ny, nz;
        DWORD color;
        float u, v;
    };
    std::vector<std::array<float, 4>> positions;
    std::vector<Attributes> attributes;
    const float inf = std::numeric_limits<float>::infinity(), nan = std::numeric_limits<float>::quiet_NaN();
    for (int i = 0; i < kVertices; ++i) {
        const float z = i % 9 == 0 ? 0.3f * unit(random) : 0.6f + 4 * unit(random); // some before the near plane
        float x = (unit(random) * 2.6f - 1.3f) * z, y = (unit(random) * 2.6f - 1.3f) * z;
        if (i % 13 == 0)
            x *= 3e5f; // beyond the guard band
        if (i % 29 == 5)
            y = i % 2 ? nan : inf;
        positions.push_back({x, y, i % 31 == 7 ? -inf : z, 1});
        attributes.push_back({unit(random) - 0.5f, unit(random) - 0.5f, -1,
                              0xFF000000 | static_cast<DWORD>(random() & 0xFFFFFF), unit(random), unit(random)});
    }
    // No index names a vertex one past a multiple of three: the range holds vertices not drawn.
    std::vector<DWORD> indices;
    for (int i = 0; i < 400; ++i) {
        const DWORD v = static_cast<DWORD>(random() % (kVertices - kBase));
        indices.push_back(v % 3 == 1 ? v + 1 : v);
    }
    IDirect3DIndexBuffer9* ib[2] = {};
    ASSERT_EQ(device->CreateIndexBuffer(static_cast<UINT>(indices.size() * 2), 0, D3DFMT_INDEX16, D3DPOOL_MANAGED,
                                        &ib[0], nullptr),
              D3D_OK);
    ASSERT_EQ(device->CreateIndexBuffer(static_cast<UINT>(indices.size() * 4), 0, D3DFMT_INDEX32, D3DPOOL_MANAGED,
                                        &ib[1], nullptr),
              D3D_OK);
    void* data = nullptr;
    ib[0]->Lock(0, 0, &data, 0);
    for (std::size_t i = 0; i < indices.size(); ++i)
        static_cast<WORD*>(data)[i] = static_cast<WORD>(indices[i]);
    ib[0]->Unlock();
    ib[1]->Lock(0, 0, &data, 0);
    std::memcpy(data, indices.data(), indices.size() * 4);
    ib[1]->Unlock();

    IDirect3DSurface9* depth = nullptr;
    ASSERT_EQ(device->GetDepthStencilSurface(&depth), D3D_OK);
    auto draw = [&](BYTE positionType) {
        const UINT positionBytes = positionType == D3DDECLTYPE_FLOAT3 ? 12 : 16;
        const UINT stride = positionBytes + sizeof(Attributes);
        IDirect3DVertexBuffer9* vb = nullptr;
        EXPECT_EQ(device->CreateVertexBuffer(kVertices * stride, 0, 0, D3DPOOL_MANAGED, &vb, nullptr), D3D_OK);
        vb->Lock(0, 0, &data, 0);
        for (int i = 0; i < kVertices; ++i) {
            BYTE* at = static_cast<BYTE*>(data) + i * stride;
            std::memcpy(at, positions[i].data(), positionBytes);
            std::memcpy(at + positionBytes, &attributes[i], sizeof(Attributes));
        }
        vb->Unlock();
        const D3DVERTEXELEMENT9 elements[] = {
            {0, 0, positionType, D3DDECLMETHOD_DEFAULT, D3DDECLUSAGE_POSITION, 0},
            {0, static_cast<WORD>(positionBytes), D3DDECLTYPE_FLOAT3, D3DDECLMETHOD_DEFAULT, D3DDECLUSAGE_NORMAL, 0},
            {0, static_cast<WORD>(positionBytes + 12), D3DDECLTYPE_D3DCOLOR, D3DDECLMETHOD_DEFAULT, D3DDECLUSAGE_COLOR,
             0},
            {0, static_cast<WORD>(positionBytes + 16), D3DDECLTYPE_FLOAT2, D3DDECLMETHOD_DEFAULT, D3DDECLUSAGE_TEXCOORD,
             0},
            D3DDECL_END()};
        IDirect3DVertexDeclaration9* decl = nullptr;
        EXPECT_EQ(device->CreateVertexDeclaration(elements, &decl), D3D_OK);
        device->SetVertexDeclaration(decl);
        device->SetStreamSource(0, vb, 0, stride);
        // Each draw on its own (a triangle hidden by a later draw would hide a fault).
        std::pair<std::vector<DWORD>, std::vector<BYTE>> out;
        UINT start = 0;
        for (IDirect3DIndexBuffer9* buffer : ib) {
            device->SetIndices(buffer);
            for (D3DPRIMITIVETYPE type : {D3DPT_TRIANGLELIST, D3DPT_TRIANGLESTRIP, D3DPT_TRIANGLEFAN})
                for (UINT count : {1u, 2u, 3u, 4u, 5u, 6u, 7u, 9u, 14u, 30u, 70u, 130u}) {
                    const UINT used = type == D3DPT_TRIANGLELIST ? 3 * count : count + 2;
                    start = start + used <= indices.size() ? start : 0;
                    device->Clear(0, nullptr, D3DCLEAR_TARGET | D3DCLEAR_ZBUFFER, 0xFF203040, 1.0f, 0);
                    EXPECT_EQ(device->DrawIndexedPrimitive(type, kBase, 0, kVertices - kBase, start, count), D3D_OK);
                    start += used;
                    const std::vector<DWORD> pixels = Pixels();
                    const std::vector<BYTE> bytes = D3d9SurfaceBytes(depth);
                    out.first.insert(out.first.end(), pixels.begin(), pixels.end());
                    out.second.insert(out.second.end(), bytes.begin(), bytes.end());
                }
        }
        decl->Release();
        vb->Release();
        return out;
    };
    const auto three = draw(D3DDECLTYPE_FLOAT3), four = draw(D3DDECLTYPE_FLOAT4);
    int drawn = 0;
    for (std::size_t i = 0; i < three.first.size(); ++i) {
        const std::size_t pixel = i % (width * height);
        ASSERT_EQ(three.first[i], four.first[i])
            << "draw " << i / (width * height) << ", pixel " << pixel % width << ", " << pixel / width;
        drawn += three.first[i] != 0xFF203040u && three.first[i] != 0;
    }
    EXPECT_TRUE(three.second == four.second);
    EXPECT_GT(drawn, 72 * 33 * 31 / 4);
    depth->Release();
    ib[0]->Release();
    ib[1]->Release();
    texture->Release();
}

// A texture without alpha reads as opaque whatever its fourth bytes hold: an X8R8G8B8 texture with
// noise there draws exactly as its A8R8G8B8 twin with opaque alpha, on the packed and the general
// path, point and linear (mip-mapped: the four-pixel sampler), wrapped and clamped.
TEST_F(RasterTest, ATextureWithoutAlphaSamplesAsItsOpaqueTwin) {
    Create(37, 29);
    auto rgb = [](UINT level, UINT x, UINT y) -> DWORD {
        return ((x * 53 + y * 7 + level * 90) & 255) << 16 | ((x ^ (y * 3)) * 9 & 255) << 8 | ((x + level) * 29 & 255);
    };
    static decltype(rgb) colour = rgb;
    IDirect3DTexture9* noisy = Texture(
        32, 16, 0, [](UINT l, UINT x, UINT y) { return colour(l, x, y) | ((x * 89 + y * 13) & 255) << 24; },
        D3DFMT_X8R8G8B8);
    IDirect3DTexture9* opaque =
        Texture(32, 16, 0, [](UINT l, UINT x, UINT y) { return colour(l, x, y) | 0xFF000000u; });
    std::mt19937 random(5);
    std::uniform_real_distribution<float> unit(0.0f, 1.0f);
    std::vector<TVertex> scene;
    for (int i = 0; i < 60; ++i) { // from minified far beyond the last level to magnified
        const float cx = 37 * unit(random), cy = 29 * unit(random), size = 3 + 20 * unit(random);
        const float scale = 0.05f + 6 * unit(random) * unit(random);
        for (int k = 0; k < 3; ++k) {
            const float rhw = 0.3f + 1.7f * unit(random);
            const float x = cx + size * (unit(random) - 0.5f), y = cy + size * (unit(random) - 0.5f);
            scene.push_back({x, y, 0.5f, rhw, 0xFFC0E0FF, (x * scale / 8 - 1) * rhw, (y * scale / 8 - 1) * rhw});
        }
    }
    for (DWORD filter : {D3DTEXF_POINT, D3DTEXF_LINEAR})
        for (DWORD address : {D3DTADDRESS_WRAP, D3DTADDRESS_CLAMP})
            for (BOOL general : {FALSE, TRUE}) {
                TextureTimesDiffuse(D3DTA_TEXTURE, filter);
                device->SetSamplerState(0, D3DSAMP_ADDRESSU, address);
                device->SetSamplerState(0, D3DSAMP_ADDRESSV, address);
                device->SetRenderState(D3DRS_SPECULARENABLE, general);
                auto draw = [&](IDirect3DTexture9* t) {
                    device->SetTexture(0, t);
                    device->Clear(0, nullptr, D3DCLEAR_TARGET, 0x00000000, 1.0f, 0);
                    Triangles(scene);
                    return Pixels();
                };
                const std::vector<DWORD> a = draw(noisy), b = draw(opaque);
                int drawn = 0;
                for (std::size_t i = 0; i < a.size(); ++i) {
                    ASSERT_EQ(a[i], b[i]) << "filter " << filter << " address " << address << " general " << general
                                          << " pixel " << i % width << ", " << i / width;
                    drawn += a[i] != 0;
                }
                EXPECT_GT(drawn, static_cast<int>(a.size()) / 3);
            }
    noisy->Release();
    opaque->Release();
}

// Magnified, a texture of one level and the same texels as the first level of a chain (the chain
// taking the filter between levels) draw the same bytes on the packed path.
TEST_F(RasterTest, ATextureOfOneLevelDrawsAsTheFirstLevelOfAChain) {
    Create(37, 29);
    auto texel = [](UINT level, UINT x, UINT y) -> DWORD {
        return level > 0 ? 0xFF00FF00u
                         : 0x80000000u | (x * 61 & 255) << 16 | (y * 23 & 255) << 8 | ((x ^ y) * 13 & 255);
    };
    IDirect3DTexture9* one = Texture(32, 16, 1, texel);
    IDirect3DTexture9* chain = Texture(32, 16, 0, texel);
    TextureTimesDiffuse(D3DTA_TEXTURE, D3DTEXF_LINEAR);
    // Two triangles in perspective over the target, under 16 texels across it either way: magnified.
    const std::vector<TVertex> quad = {{-2, -2, 0.5f, 1.0f, 0xFFFFFFFF, -0.3f, -0.2f},
                                       {39, -2, 0.5f, 0.4f, 0xFFC0FFE0, 0.35f * 0.4f, -0.2f * 0.4f},
                                       {-2, 31, 0.5f, 1.0f, 0xFFFFC0C0, -0.3f, 0.6f},
                                       {39, 31, 0.5f, 0.4f, 0xFFFFFFFF, 0.35f * 0.4f, 0.6f * 0.4f}};
    auto draw = [&](IDirect3DTexture9* t) {
        device->SetTexture(0, t);
        device->Clear(0, nullptr, D3DCLEAR_TARGET, 0, 1.0f, 0);
        Triangles(quad, D3DPT_TRIANGLESTRIP);
        return Pixels();
    };
    const std::vector<DWORD> a = draw(one), b = draw(chain);
    EXPECT_TRUE(a == b);
    EXPECT_EQ(std::count(a.begin(), a.end(), 0u), 0);
    EXPECT_EQ(std::count_if(a.begin(), a.end(), [](DWORD c) { return (c & 0xFF00FF00u) == 0xFF00FF00u; }), 0);
    one->Release();
    chain->Release();
}

// The packed-byte path and the general one (here through the specular add) store the same depth
// for the same z, the far plane included: a second pass over the first with EQUAL draws every pixel.
TEST_F(RasterTest, DepthWrittenByOnePathIsEqualForTheOther) {
    Create(4, 4);
    device->SetRenderState(D3DRS_ZENABLE, TRUE);
    std::mt19937 random(3);
    std::uniform_real_distribution<float> anywhere(0.0f, 1.0f);
    std::vector<float> depths = {0.0f, 0.5f, 1.0f, std::nextafter(1.0f, 0.0f)};
    for (int i = 0; i < 40; ++i)
        depths.push_back(anywhere(random));
    for (float z : depths)
        for (bool generalFirst : {false, true}) {
            device->Clear(0, nullptr, D3DCLEAR_TARGET | D3DCLEAR_ZBUFFER, 0, 1.0f, 0);
            for (int pass = 0; pass < 2; ++pass) {
                device->SetRenderState(D3DRS_SPECULARENABLE, (pass == 0) == generalFirst);
                device->SetRenderState(D3DRS_ZFUNC, pass == 0 ? D3DCMP_LESSEQUAL : D3DCMP_EQUAL);
                Quad(0, 0, 4, 4, pass == 0 ? 0xFF0000FFu : 0xFF00FF00u, z);
            }
            EXPECT_EQ(Pixels()[5], 0xFF00FF00u) << "z " << z << (generalFirst ? ", general first" : ", bytes first");
        }
    // The far plane stays the far plane: nearer quads still pass over it.
    device->SetRenderState(D3DRS_SPECULARENABLE, FALSE);
    device->SetRenderState(D3DRS_ZFUNC, D3DCMP_LESSEQUAL);
    device->Clear(0, nullptr, D3DCLEAR_TARGET | D3DCLEAR_ZBUFFER, 0, 0.5f, 0);
    device->SetRenderState(D3DRS_ZFUNC, D3DCMP_ALWAYS);
    Quad(0, 0, 4, 4, 0xFF0000FFu, 1.0f);
    device->SetRenderState(D3DRS_ZFUNC, D3DCMP_LESSEQUAL);
    Quad(0, 0, 4, 4, 0xFF00FF00u, 0.9f);
    EXPECT_EQ(Pixels()[5], 0xFF00FF00u);
}

TEST_F(RasterTest, StageOperationsCombineTextureDiffuseAndFactor) {
    Create(4, 4);
    IDirect3DTexture9* t = Texture(1, 1, 1, [](UINT, UINT, UINT) -> DWORD { return 0x80FF8040; });
    device->SetTexture(0, t);
    device->SetRenderState(D3DRS_TEXTUREFACTOR, 0x40204080);
    const DWORD diffuse = 0xC0808080;
    auto combine = [&](DWORD op, DWORD a1, DWORD a2) {
        device->SetTextureStageState(0, D3DTSS_COLOROP, op);
        device->SetTextureStageState(0, D3DTSS_COLORARG1, a1);
        device->SetTextureStageState(0, D3DTSS_COLORARG2, a2);
        device->SetTextureStageState(0, D3DTSS_ALPHAOP, D3DTOP_SELECTARG1);
        device->SetTextureStageState(0, D3DTSS_ALPHAARG1, D3DTA_TEXTURE);
        Quad(0, 0, 4, 4, diffuse);
        return Pixels()[0];
    };
    EXPECT_EQ(combine(D3DTOP_SELECTARG1, D3DTA_TEXTURE, D3DTA_DIFFUSE), 0x80FF8040u);
    EXPECT_EQ(combine(D3DTOP_SELECTARG2, D3DTA_TEXTURE, D3DTA_TFACTOR), 0x80204080u);
    EXPECT_EQ(combine(D3DTOP_MODULATE, D3DTA_TEXTURE, D3DTA_DIFFUSE), 0x80804020u);
    EXPECT_EQ(combine(D3DTOP_MODULATE2X, D3DTA_TEXTURE, D3DTA_DIFFUSE), 0x80FF8140u);
    EXPECT_EQ(combine(D3DTOP_ADD, D3DTA_TEXTURE, D3DTA_DIFFUSE), 0x80FFFFC0u);
    EXPECT_EQ(combine(D3DTOP_SELECTARG1, D3DTA_TEXTURE | D3DTA_ALPHAREPLICATE, 0), 0x80808080u);
    EXPECT_EQ(combine(D3DTOP_SELECTARG1, D3DTA_TFACTOR | D3DTA_COMPLEMENT, 0), 0x80DFBF7Fu);
    // Blends by the diffuse (0.75), texture (0.5) and factor (0.25) alphas.
    EXPECT_EQ(combine(D3DTOP_BLENDDIFFUSEALPHA, D3DTA_TEXTURE, D3DTA_TFACTOR), 0x80C87050u);
    EXPECT_EQ(combine(D3DTOP_BLENDTEXTUREALPHA, D3DTA_TEXTURE, D3DTA_TFACTOR), 0x80906060u);
    EXPECT_EQ(combine(D3DTOP_BLENDFACTORALPHA, D3DTA_TEXTURE, D3DTA_TFACTOR), 0x80585070u);
    // A second stage modulating the first stage's result with the factor.
    device->SetTextureStageState(1, D3DTSS_COLOROP, D3DTOP_MODULATE);
    device->SetTextureStageState(1, D3DTSS_COLORARG1, D3DTA_CURRENT);
    device->SetTextureStageState(1, D3DTSS_COLORARG2, D3DTA_TFACTOR);
    device->SetTextureStageState(1, D3DTSS_ALPHAOP, D3DTOP_SELECTARG1);
    device->SetTextureStageState(1, D3DTSS_ALPHAARG1, D3DTA_CURRENT);
    EXPECT_EQ(combine(D3DTOP_SELECTARG1, D3DTA_TEXTURE, 0), 0x80202020u);
    t->Release();
}

// Golden frame -------------------------------------------------------------------------------------------

std::vector<DWORD> ReadPng(const std::string& path, UINT* w, UINT* h) {
    png_image image{};
    image.version = PNG_IMAGE_VERSION;
    if (!png_image_begin_read_from_file(&image, path.c_str()))
        return {};
    image.format = PNG_FORMAT_BGRA; // little-endian 0xAARRGGBB words
    std::vector<DWORD> p(image.width * image.height);
    if (!png_image_finish_read(&image, nullptr, p.data(), 0, nullptr))
        return {};
    *w = image.width;
    *h = image.height;
    return p;
}

TEST_F(RasterTest, GoldenFrameOfALitTexturedBlendedScene) {
    Create(160, 120);
    // A cube turned towards the camera, lit by a directional and a point light, with a 16 x 16
    // checker texture (bilinear, mipmapped); a half-transparent quad over it; a line frame.
    IDirect3DTexture9* t = Texture(16, 16, 0, [](UINT level, UINT x, UINT y) -> DWORD {
        const UINT cell = level < 3 ? (4 >> level) : 1;
        return (((x / cell) + (y / cell)) & 1) ? 0xFFF0E0C0 : 0xFF305090;
    });
    device->SetTexture(0, t);
    device->SetSamplerState(0, D3DSAMP_MINFILTER, D3DTEXF_LINEAR);
    device->SetSamplerState(0, D3DSAMP_MAGFILTER, D3DTEXF_LINEAR);
    device->SetSamplerState(0, D3DSAMP_MIPFILTER, D3DTEXF_LINEAR);
    device->SetTextureStageState(0, D3DTSS_COLOROP, D3DTOP_MODULATE);
    device->SetTextureStageState(0, D3DTSS_COLORARG1, D3DTA_TEXTURE);
    device->SetTextureStageState(0, D3DTSS_COLORARG2, D3DTA_DIFFUSE);
    device->SetRenderState(D3DRS_LIGHTING, TRUE);
    device->SetRenderState(D3DRS_ZENABLE, TRUE);
    device->SetRenderState(D3DRS_CULLMODE, D3DCULL_CCW);
    device->SetRenderState(D3DRS_AMBIENT, 0xFF202020);
    device->Clear(0, nullptr, D3DCLEAR_TARGET | D3DCLEAR_ZBUFFER, 0xFF102030, 1.0f, 0);
    D3DMATERIAL9 m{};
    m.Diffuse = {1, 1, 1, 1};
    m.Ambient = {1, 1, 1, 1};
    device->SetMaterial(&m);
    D3DLIGHT9 sun{};
    sun.Type = D3DLIGHT_DIRECTIONAL;
    sun.Diffuse = {0.9f, 0.8f, 0.7f, 1};
    sun.Direction = {0.5f, -0.7f, 0.6f};
    device->SetLight(0, &sun);
    device->LightEnable(0, TRUE);
    D3DLIGHT9 lamp{};
    lamp.Type = D3DLIGHT_POINT;
    lamp.Diffuse = {0.2f, 0.4f, 0.9f, 1};
    lamp.Position = {-2, 1, 1};
    lamp.Range = 20;
    lamp.Attenuation0 = 0.5f;
    lamp.Attenuation1 = 0.2f;
    device->SetLight(1, &lamp);
    device->LightEnable(1, TRUE);
    SetProjection(Perspective(1.2f, 1.6f, 0.5f, 50));
    D3DMATRIX world = Identity();
    const float a = 0.6f, b = 0.4f; // turned about y, then about x, moved 4 ahead
    const float ca = std::cos(a), sa = std::sin(a), cb = std::cos(b), sb = std::sin(b);
    world.m[0][0] = ca;
    world.m[0][1] = sa * sb;
    world.m[0][2] = -sa * cb;
    world.m[1][1] = cb;
    world.m[1][2] = sb;
    world.m[2][0] = sa;
    world.m[2][1] = -ca * sb;
    world.m[2][2] = ca * cb;
    world.m[3][2] = 4;
    device->SetTransform(D3DTS_WORLD, &world);
    std::vector<LVertex> cube;
    const float n[6][3] = {{0, 0, -1}, {0, 0, 1}, {-1, 0, 0}, {1, 0, 0}, {0, 1, 0}, {0, -1, 0}};
    for (const auto& f : n) {
        // Axes across the face, u = a x n and v = n x u, the same handedness on every face.
        const float ax = std::fabs(f[1]) < 0.5f ? 0.0f : 1.0f, ay = 1 - ax;
        const float ux = ay * f[2], uy = -ax * f[2], uz = ax * f[1] - ay * f[0];
        const float vx = f[1] * uz - f[2] * uy, vy = f[2] * ux - f[0] * uz, vz = f[0] * uy - f[1] * ux;
        auto corner = [&](float s, float tt) {
            return LVertex{
                f[0] + s * ux + tt * vx, f[1] + s * uy + tt * vy, f[2] + s * uz + tt * vz, f[0], f[1], f[2], 0xFFFFFFFF,
                (s + 1) * 0.5f,          (1 - tt) * 0.5f};
        };
        const LVertex c0 = corner(-1, 1), c1 = corner(1, 1), c2 = corner(-1, -1), c3 = corner(1, -1);
        cube.insert(cube.end(), {c0, c2, c1, c1, c2, c3}); // clockwise from outside
    }
    device->SetFVF(kLFvf);
    ASSERT_EQ(device->DrawPrimitiveUP(D3DPT_TRIANGLELIST, 12, cube.data(), sizeof(LVertex)), D3D_OK);
    // The blended layer and the lines, unlit and untransformed.
    device->SetTexture(0, nullptr);
    device->SetRenderState(D3DRS_LIGHTING, FALSE);
    device->SetRenderState(D3DRS_CULLMODE, D3DCULL_NONE);
    device->SetRenderState(D3DRS_ALPHABLENDENABLE, TRUE);
    device->SetRenderState(D3DRS_SRCBLEND, D3DBLEND_SRCALPHA);
    device->SetRenderState(D3DRS_DESTBLEND, D3DBLEND_INVSRCALPHA);
    device->SetTextureStageState(0, D3DTSS_COLORARG1, D3DTA_DIFFUSE);
    device->SetTextureStageState(0, D3DTSS_COLOROP, D3DTOP_SELECTARG1);
    device->SetTextureStageState(0, D3DTSS_ALPHAOP, D3DTOP_SELECTARG1);
    device->SetTextureStageState(0, D3DTSS_ALPHAARG1, D3DTA_DIFFUSE);
    Triangles({{20, 70, 0.1f, 1, 0x80FF4000, 0, 0},
               {150, 60, 0.1f, 1, 0x20FFFF00, 0, 0},
               {30, 115, 0.1f, 1, 0xC000FF80, 0, 0}});
    device->SetRenderState(D3DRS_ALPHABLENDENABLE, FALSE);
    const TVertex lines[5] = {{4, 4, 0, 1, 0xFFFFFFFF, 0, 0},
                              {155, 10, 0, 1, 0xFFFF0000, 0, 0},
                              {150, 115, 0, 1, 0xFF00FF00, 0, 0},
                              {10, 100, 0, 1, 0xFF0000FF, 0, 0},
                              {4, 4, 0, 1, 0xFFFFFFFF, 0, 0}};
    device->SetFVF(kTFvf);
    ASSERT_EQ(device->DrawPrimitiveUP(D3DPT_LINESTRIP, 4, lines, sizeof(TVertex)), D3D_OK);
    t->Release();

    const std::vector<DWORD> p = Pixels();
    const std::string golden = "tests/golden/raster_scene.png";
    if (std::getenv("DUN_UPDATE_GOLDEN") != nullptr) {
        png_image image{};
        image.version = PNG_IMAGE_VERSION;
        image.width = width;
        image.height = height;
        image.format = PNG_FORMAT_BGRA;
        ASSERT_TRUE(png_image_write_to_file(&image, golden.c_str(), 0, p.data(), 0, nullptr)) << golden;
    }
    UINT gw = 0, gh = 0;
    const std::vector<DWORD> g = ReadPng(golden, &gw, &gh);
    ASSERT_EQ(gw, width) << golden << " is missing (DUN_UPDATE_GOLDEN=1 writes it)";
    ASSERT_EQ(gh, height);
    int differ = 0, worst = 0;
    for (std::size_t i = 0; i < p.size(); ++i) {
        differ += p[i] != g[i];
        for (int shift = 0; shift < 32; shift += 8)
            worst = std::max(worst, std::abs(Channel(p[i], shift) - Channel(g[i], shift)));
    }
    EXPECT_EQ(differ, 0) << "largest difference " << worst;
}

} // namespace

// Point sprites ----------------------------------------------------------------------------------

namespace {

// A device on an adapter whose largest point is maxPointSize pixels.
void SpriteDevice(RasterTest* t, float maxPointSize) {
    D3d9Adapter a = D3d9DefaultAdapter();
    a.caps.MaxPointSize = maxPointSize;
    D3d9SetAdapters({a});
    t->d3d->Release();
    t->d3d = Direct3DCreate9(D3D_SDK_VERSION);
    ASSERT_NE(t->d3d, nullptr);
    t->Create(64, 64);
    t->device->SetRenderState(D3DRS_POINTSPRITEENABLE, TRUE);
    t->device->SetRenderState(D3DRS_POINTSIZE_MIN, 0);
}

DWORD FloatWord(float f) {
    DWORD d;
    std::memcpy(&d, &f, 4);
    return d;
}

int Lit(const std::vector<DWORD>& p) {
    return static_cast<int>(std::count_if(p.begin(), p.end(), [](DWORD c) { return (c & 0xFFFFFF) != 0; }));
}

} // namespace

// A pre-transformed sprite of 8 pixels covers the 8 x 8 pixels around its centre, its texture
// spanning it from (0, 0) at the top left: the four texels of a 2 x 2 texture fill its quarters.
TEST_F(RasterTest, PointSpritesSpanTheirTextureOverTheirSquare) {
    SpriteDevice(this, 64.0f);
    IDirect3DTexture9* t = Texture(2, 2, 1, [](UINT, UINT x, UINT y) -> DWORD {
        static const DWORD kTexels[2][2] = {{0xFFFF0000, 0xFF00FF00}, {0xFF0000FF, 0xFFFFFFFF}};
        return kTexels[y][x];
    });
    device->SetTexture(0, t);
    device->SetSamplerState(0, D3DSAMP_MAGFILTER, D3DTEXF_POINT);
    device->SetSamplerState(0, D3DSAMP_MINFILTER, D3DTEXF_POINT);
    device->SetTextureStageState(0, D3DTSS_COLOROP, D3DTOP_SELECTARG1);
    device->SetTextureStageState(0, D3DTSS_COLORARG1, D3DTA_TEXTURE);
    device->SetRenderState(D3DRS_POINTSIZE, FloatWord(8.0f));
    const TVertex point = {16.0f, 16.0f, 0.5f, 1.0f, 0xFFFFFFFF, 0.3f, 0.3f};
    device->SetFVF(kTFvf);
    ASSERT_EQ(device->DrawPrimitiveUP(D3DPT_POINTLIST, 1, &point, sizeof point), D3D_OK);
    const std::vector<DWORD> p = Pixels();
    EXPECT_EQ(Lit(p), 64);
    for (UINT y = 12; y < 20; ++y) {
        for (UINT x = 12; x < 20; ++x) {
            const DWORD expected = y < 16 ? (x < 16 ? 0xFF0000u : 0x00FF00u) : (x < 16 ? 0x0000FFu : 0xFFFFFFu);
            EXPECT_EQ(p[y * width + x] & 0xFFFFFF, expected) << x << ", " << y;
        }
    }
    device->SetTexture(0, nullptr);
    t->Release();
}

// Scaled sprites: height x size x sqrt(1 / (A + B d + C d^2)) pixels at view depth d, held within
// the device's largest point; without POINTSPRITEENABLE a point is one pixel.
TEST_F(RasterTest, PointSpritesScaleWithDepthWithinTheDeviceLimit) {
    SpriteDevice(this, 12.0f);
    SetProjection(Perspective(1.0f, 1.0f, 0.1f, 100.0f));
    device->SetRenderState(D3DRS_POINTSCALEENABLE, TRUE);
    device->SetRenderState(D3DRS_POINTSIZE, FloatWord(0.5f));
    device->SetRenderState(D3DRS_POINTSCALE_A, 0);
    device->SetRenderState(D3DRS_POINTSCALE_B, 0);
    device->SetRenderState(D3DRS_POINTSCALE_C, FloatWord(1.0f));
    device->SetRenderState(D3DRS_POINTSIZE_MAX, FloatWord(64.0f));
    struct P {
        float x, y, z;
        DWORD color;
    };
    device->SetFVF(D3DFVF_XYZ | D3DFVF_DIFFUSE);
    auto draw = [&](float depth) {
        device->Clear(0, nullptr, D3DCLEAR_TARGET, 0, 1.0f, 0);
        const P point = {0.0f, 0.0f, depth, 0xFFFFFFFF};
        EXPECT_EQ(device->DrawPrimitiveUP(D3DPT_POINTLIST, 1, &point, sizeof point), D3D_OK);
        return Lit(Pixels());
    };
    EXPECT_EQ(draw(4.0f), 8 * 8);   // 64 x 0.5 / 4
    EXPECT_EQ(draw(8.0f), 4 * 4);   // 64 x 0.5 / 8
    EXPECT_EQ(draw(2.0f), 12 * 12); // 16 pixels, held at the device's 12
    device->SetRenderState(D3DRS_POINTSPRITEENABLE, FALSE);
    EXPECT_EQ(draw(4.0f), 1);
}

// Texture coordinates generated from the camera-space normal and carried through a texture
// transform (x to 0.5 x + 0.5, y to -0.5 y + 0.5), as environment maps use them: the texel read
// is the one the normal points at; a second stage multiplies its texture by the factor and adds
// the first stage's result.
TEST_F(RasterTest, CameraSpaceNormalsThroughATextureTransformPickTheirTexel) {
    Create(8, 8);
    device->SetFVF(kLFvf);
    SetProjection(Perspective(1, 1, 0.1f, 100));
    IDirect3DTexture9* t = Texture(
        4, 4, 1, [](UINT, UINT x, UINT y) -> DWORD { return 0xFF000000u | (x * 60) << 16 | (y * 60) << 8 | 0x10; });
    device->SetTexture(0, t);
    device->SetTextureStageState(0, D3DTSS_COLOROP, D3DTOP_SELECTARG1);
    device->SetTextureStageState(0, D3DTSS_COLORARG1, D3DTA_TEXTURE);
    device->SetTextureStageState(0, D3DTSS_TEXCOORDINDEX, D3DTSS_TCI_CAMERASPACENORMAL);
    device->SetTextureStageState(0, D3DTSS_TEXTURETRANSFORMFLAGS, D3DTTFF_COUNT2);
    D3DMATRIX m{};
    m.m[0][0] = 0.5f;
    m.m[1][1] = -0.5f;
    m.m[2][2] = 1.0f;
    m.m[3][0] = 0.5f;
    m.m[3][1] = 0.5f;
    device->SetTransform(D3DTS_TEXTURE0, &m);
    // Normal (0.6, -0.48, 0.64): u = 0.8, v = 0.74, texel (3, 2) of the 4 x 4 texture.
    const float nx = 0.6f, ny = -0.48f, nz = 0.64f;
    const LVertex tri[3] = {
        {0, 4, 4, nx, ny, nz, 0xFFFFFFFF, 0, 0}, {-4, -4, 4, nx, ny, nz, 0, 0, 0}, {4, -4, 4, nx, ny, nz, 0, 0, 0}};
    device->DrawPrimitiveUP(D3DPT_TRIANGLELIST, 1, tri, sizeof(LVertex));
    EXPECT_EQ(Pixels()[4 * 8 + 4] & 0xFFFFFFu, (3u * 60) << 16 | (2u * 60) << 8 | 0x10);

    // Stage 1: CURRENT + TEXTURE x TFACTOR, its texture read through the same coordinates.
    device->SetTexture(1, t);
    device->SetRenderState(D3DRS_TEXTUREFACTOR, 0x80808080);
    device->SetTextureStageState(1, D3DTSS_COLOROP, D3DTOP_MULTIPLYADD);
    device->SetTextureStageState(1, D3DTSS_COLORARG0, D3DTA_CURRENT);
    device->SetTextureStageState(1, D3DTSS_COLORARG1, D3DTA_TEXTURE);
    device->SetTextureStageState(1, D3DTSS_COLORARG2, D3DTA_TFACTOR);
    device->SetTextureStageState(1, D3DTSS_ALPHAOP, D3DTOP_SELECTARG1);
    device->SetTextureStageState(1, D3DTSS_ALPHAARG1, D3DTA_CURRENT);
    device->SetTextureStageState(1, D3DTSS_TEXCOORDINDEX, D3DTSS_TCI_CAMERASPACENORMAL | 1);
    device->SetTextureStageState(1, D3DTSS_TEXTURETRANSFORMFLAGS, D3DTTFF_COUNT2);
    device->SetTransform(static_cast<D3DTRANSFORMSTATETYPE>(D3DTS_TEXTURE0 + 1), &m);
    device->DrawPrimitiveUP(D3DPT_TRIANGLELIST, 1, tri, sizeof(LVertex));
    const DWORD c = Pixels()[4 * 8 + 4];
    const float k = 0x80 / 255.0f;
    EXPECT_NEAR(Channel(c, 16), std::min(255.0f, 180 + 180 * k), 1.0f);
    EXPECT_NEAR(Channel(c, 8), std::min(255.0f, 120 + 120 * k), 1.0f);
    EXPECT_NEAR(Channel(c, 0), 16 + 16 * k, 1.0f);
    device->SetTexture(0, nullptr);
    device->SetTexture(1, nullptr);
    t->Release();
}
