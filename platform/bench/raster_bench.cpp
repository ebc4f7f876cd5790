// The stand-in rasteriser's frame rate: a lit, textured, z-tested mesh of 20,000 triangles filling
// a 640 x 480 target with a blended layer over it, through the Direct3D 9 stand-in and, when the
// off-screen Mesa library is there, through llvmpipe with the same matrices, lights, texture and
// states in OpenGL 1.x fixed function. Before timing, the two frames are compared away from edges.
// Also: the stand-in's frame at 800 x 600, textured, bilinear, z-tested, blended fill in Mpixels/s,
// and triangles per second with two lights on tiny triangles.
//
//   LP_NUM_THREADS=1 build-bench/bin/platform_raster_bench   (llvmpipe on one thread, the default)
//   LP_NUM_THREADS=8 build-bench/bin/platform_raster_bench   (llvmpipe on eight)
//   build-bench/bin/platform_raster_bench --four-pixel-steps  (the stand-in's fast rows four pixels a
//                                                              step where the processor could take eight)

#include "platform/d3d9.h"
#include "platform/d3d9_control.h"
#include "platform/win32.h"
#include "platform/window.h"

#include <benchmark/benchmark.h>

#ifdef DUN_HAVE_OSMESA
#include <GL/gl.h>
#include <GL/osmesa.h>
#endif

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <vector>

namespace {

constexpr UINT kWidth = 640, kHeight = 480;
constexpr int kGrid = 100; // 100 x 100 quads: 20,000 triangles

struct MeshVertex {
    float x, y, z;
    float nx, ny, nz;
    float u, v;
};

struct LayerVertex {
    float x, y, z;
    DWORD color;
};

struct Scene {
    std::vector<MeshVertex> vertices;
    std::vector<WORD> indices;
    D3DMATRIX view{}, projection{};
    std::vector<std::vector<DWORD>> levels; // 256 x 256 down to 1 x 1, 0xAARRGGBB
    LayerVertex layer[4];
};

D3DMATRIX Identity() {
    D3DMATRIX m{};
    for (int i = 0; i < 4; ++i)
        m.m[i][i] = 1;
    return m;
}

// A rolling landscape under a camera looking down at it: it fills the frame.
Scene MakeScene(int grid, float extent) {
    Scene s;
    auto height = [](float x, float z) { return 0.6f * std::sin(0.7f * x) * std::cos(0.5f * z); };
    for (int j = 0; j <= grid; ++j)
        for (int i = 0; i <= grid; ++i) {
            const float x = (static_cast<float>(i) / grid - 0.5f) * extent;
            const float z = (static_cast<float>(j) / grid - 0.5f) * extent;
            const float e = 0.01f;
            const float dx = (height(x + e, z) - height(x - e, z)) / (2 * e);
            const float dz = (height(x, z + e) - height(x, z - e)) / (2 * e);
            const float l = std::sqrt(dx * dx + 1 + dz * dz);
            s.vertices.push_back({x, height(x, z), z, -dx / l, 1 / l, -dz / l, static_cast<float>(i) / grid * 8,
                                  static_cast<float>(j) / grid * 8});
        }
    for (int j = 0; j < grid; ++j)
        for (int i = 0; i < grid; ++i) {
            const WORD a = static_cast<WORD>(j * (grid + 1) + i), b = static_cast<WORD>(a + 1);
            const WORD c = static_cast<WORD>(a + grid + 1), d = static_cast<WORD>(c + 1);
            s.indices.insert(s.indices.end(), {a, c, b, b, c, d});
        }
    // Camera at (0, 6, -9) looking at the origin: rows of the view matrix are the camera axes.
    const float ex = 0, ey = 6, ez = -9;
    float fz[3] = {-ex, -ey, -ez};
    const float lz = std::sqrt(fz[0] * fz[0] + fz[1] * fz[1] + fz[2] * fz[2]);
    for (float& f : fz)
        f /= lz;
    float fx[3] = {fz[2], 0, -fz[0]}; // up x forward
    const float lx = std::sqrt(fx[0] * fx[0] + fx[2] * fx[2]);
    fx[0] /= lx;
    fx[2] /= lx;
    const float fy[3] = {fz[1] * fx[2] - fz[2] * fx[1], fz[2] * fx[0] - fz[0] * fx[2], fz[0] * fx[1] - fz[1] * fx[0]};
    s.view = Identity();
    for (int k = 0; k < 3; ++k) {
        s.view.m[k][0] = fx[k];
        s.view.m[k][1] = fy[k];
        s.view.m[k][2] = fz[k];
    }
    s.view.m[3][0] = -(ex * fx[0] + ey * fx[1] + ez * fx[2]);
    s.view.m[3][1] = -(ex * fy[0] + ey * fy[1] + ez * fy[2]);
    s.view.m[3][2] = -(ex * fz[0] + ey * fz[1] + ez * fz[2]);
    const float zn = 0.5f, zf = 100, f = 1.0f / std::tan(0.4f);
    s.projection.m[0][0] = f * kHeight / kWidth;
    s.projection.m[1][1] = f;
    s.projection.m[2][2] = zf / (zf - zn);
    s.projection.m[2][3] = 1;
    s.projection.m[3][2] = -zn * zf / (zf - zn);
    // A brick-like texture with its mip chain averaged 2 x 2.
    UINT side = 256;
    std::vector<DWORD> top(side * side);
    for (UINT y = 0; y < side; ++y)
        for (UINT x = 0; x < side; ++x) {
            const bool mortar = (y % 32) < 3 || ((x + ((y / 32) & 1) * 32) % 64) < 3;
            const DWORD shade = 160 + ((x * 7 + y * 13) % 48);
            top[y * side + x] = mortar ? 0xFFD0D0C8 : (0xFF000000 | shade << 16 | (shade / 2) << 8 | (shade / 3));
        }
    s.levels.push_back(top);
    while (side > 1) {
        const UINT half = side / 2;
        const std::vector<DWORD>& up = s.levels.back();
        std::vector<DWORD> down(half * half);
        for (UINT y = 0; y < half; ++y)
            for (UINT x = 0; x < half; ++x) {
                DWORD out = 0;
                for (int shift = 0; shift < 32; shift += 8) {
                    DWORD sum = 0;
                    for (UINT k = 0; k < 4; ++k)
                        sum += (up[(2 * y + k / 2) * side + 2 * x + k % 2] >> shift) & 255;
                    out |= ((sum + 2) / 4) << shift;
                }
                down[y * half + x] = out;
            }
        s.levels.push_back(down);
        side = half;
    }
    // The blended layer: a tinted pane across the lower part of the frame, in view space.
    const float w = 20;
    s.layer[0] = {-w, -w, 5, 0x60208040};
    s.layer[1] = {w, -w, 5, 0x60208040};
    s.layer[2] = {-w, 0.5f, 5, 0x60C04020};
    s.layer[3] = {w, 0.5f, 5, 0x60C04020};
    return s;
}

D3DLIGHT9 Sun() {
    D3DLIGHT9 l{};
    l.Type = D3DLIGHT_DIRECTIONAL;
    l.Diffuse = {0.8f, 0.75f, 0.7f, 1};
    l.Direction = {0.4f, -0.8f, 0.45f};
    return l;
}

D3DLIGHT9 Lamp() {
    D3DLIGHT9 l{};
    l.Type = D3DLIGHT_POINT;
    l.Diffuse = {0.3f, 0.5f, 0.9f, 1};
    l.Ambient = {0.05f, 0.05f, 0.05f, 1};
    l.Position = {-3, 2, 1};
    l.Range = 1000;
    l.Attenuation0 = 0.6f;
    l.Attenuation1 = 0.08f;
    return l;
}

constexpr DWORD kAmbient = 0xFF303030;

// The stand-in ----------------------------------------------------------------------------------------

LRESULT Proc(HWND w, UINT m, WPARAM wp, LPARAM lp) { return DefWindowProcA(w, m, wp, lp); }

class StandIn {
public:
    StandIn(const Scene& scene, UINT width, UINT height) : scene_(scene) {
        setenv("PLATFORM_HEADLESS", "1", 1);
        WNDCLASSA wc{};
        wc.lpfnWndProc = Proc;
        wc.lpszClassName = "raster_bench";
        RegisterClassA(&wc);
        window_ = CreateWindowExA(0, "raster_bench", "", WS_OVERLAPPEDWINDOW, 0, 0, static_cast<int>(width),
                                  static_cast<int>(height), nullptr, nullptr, nullptr, nullptr);
        d3d_ = Direct3DCreate9(D3D_SDK_VERSION);
        D3DPRESENT_PARAMETERS pp{};
        pp.BackBufferWidth = width;
        pp.BackBufferHeight = height;
        pp.BackBufferFormat = D3DFMT_X8R8G8B8;
        pp.SwapEffect = D3DSWAPEFFECT_COPY;
        pp.hDeviceWindow = window_;
        pp.Windowed = TRUE;
        pp.EnableAutoDepthStencil = TRUE;
        pp.AutoDepthStencilFormat = D3DFMT_D24S8;
        if (d3d_ == nullptr || FAILED(d3d_->CreateDevice(0, D3DDEVTYPE_HAL, window_,
                                                         D3DCREATE_SOFTWARE_VERTEXPROCESSING, &pp, &device_))) {
            std::fprintf(stderr, "raster_bench: cannot create the stand-in's device\n");
            std::exit(1);
        }
        const UINT vbytes = static_cast<UINT>(scene.vertices.size() * sizeof(MeshVertex));
        device_->CreateVertexBuffer(vbytes, D3DUSAGE_WRITEONLY, kFvf, D3DPOOL_MANAGED, &vb_, nullptr);
        void* p = nullptr;
        vb_->Lock(0, 0, &p, 0);
        std::memcpy(p, scene.vertices.data(), vbytes);
        vb_->Unlock();
        const UINT ibytes = static_cast<UINT>(scene.indices.size() * 2);
        device_->CreateIndexBuffer(ibytes, D3DUSAGE_WRITEONLY, D3DFMT_INDEX16, D3DPOOL_MANAGED, &ib_, nullptr);
        ib_->Lock(0, 0, &p, 0);
        std::memcpy(p, scene.indices.data(), ibytes);
        ib_->Unlock();
        const UINT side = static_cast<UINT>(std::sqrt(static_cast<double>(scene.levels[0].size())));
        device_->CreateTexture(side, side, 0, 0, D3DFMT_A8R8G8B8, D3DPOOL_MANAGED, &texture_, nullptr);
        for (UINT l = 0; l < texture_->GetLevelCount(); ++l) {
            IDirect3DSurface9* s = nullptr;
            texture_->GetSurfaceLevel(l, &s);
            D3DLOCKED_RECT lr;
            s->LockRect(&lr, nullptr, 0);
            const UINT w = std::max(1u, side >> l);
            for (UINT y = 0; y < w; ++y)
                std::memcpy(static_cast<BYTE*>(lr.pBits) + y * lr.Pitch, &scene.levels[l][y * w], w * 4);
            s->UnlockRect();
            s->Release();
        }
    }

    ~StandIn() {
        texture_->Release();
        vb_->Release();
        ib_->Release();
        device_->Release();
        d3d_->Release();
        DestroyWindow(window_);
    }

    void MeshStates() {
        IDirect3DDevice9* d = device_;
        const D3DMATRIX world = Identity();
        d->SetTransform(D3DTS_WORLD, &world);
        d->SetTransform(D3DTS_VIEW, &scene_.view);
        d->SetTransform(D3DTS_PROJECTION, &scene_.projection);
        d->SetRenderState(D3DRS_LIGHTING, TRUE);
        d->SetRenderState(D3DRS_AMBIENT, kAmbient);
        d->SetRenderState(D3DRS_CULLMODE, D3DCULL_NONE);
        d->SetRenderState(D3DRS_ZENABLE, TRUE);
        d->SetRenderState(D3DRS_ZFUNC, D3DCMP_LESSEQUAL);
        d->SetRenderState(D3DRS_ZWRITEENABLE, TRUE);
        d->SetRenderState(D3DRS_ALPHABLENDENABLE, FALSE);
        D3DMATERIAL9 m{};
        m.Diffuse = {1, 1, 1, 1};
        m.Ambient = {1, 1, 1, 1};
        d->SetMaterial(&m);
        const D3DLIGHT9 sun = Sun(), lamp = Lamp();
        d->SetLight(0, &sun);
        d->LightEnable(0, TRUE);
        d->SetLight(1, &lamp);
        d->LightEnable(1, TRUE);
        d->SetTexture(0, texture_);
        d->SetTextureStageState(0, D3DTSS_COLOROP, D3DTOP_MODULATE);
        d->SetTextureStageState(0, D3DTSS_COLORARG1, D3DTA_TEXTURE);
        d->SetTextureStageState(0, D3DTSS_COLORARG2, D3DTA_DIFFUSE);
        d->SetTextureStageState(0, D3DTSS_ALPHAOP, D3DTOP_SELECTARG1);
        d->SetTextureStageState(0, D3DTSS_ALPHAARG1, D3DTA_TEXTURE);
        d->SetSamplerState(0, D3DSAMP_MINFILTER, D3DTEXF_LINEAR);
        d->SetSamplerState(0, D3DSAMP_MAGFILTER, D3DTEXF_LINEAR);
        d->SetSamplerState(0, D3DSAMP_MIPFILTER, D3DTEXF_LINEAR);
        d->SetFVF(kFvf);
        d->SetStreamSource(0, vb_, 0, sizeof(MeshVertex));
        d->SetIndices(ib_);
    }

    void Mesh() {
        device_->DrawIndexedPrimitive(D3DPT_TRIANGLELIST, 0, 0, static_cast<UINT>(scene_.vertices.size()), 0,
                                      static_cast<UINT>(scene_.indices.size() / 3));
    }

    void Layer() {
        IDirect3DDevice9* d = device_;
        const D3DMATRIX world = Identity();
        d->SetTransform(D3DTS_VIEW, &world); // the layer is given in view space
        d->SetRenderState(D3DRS_LIGHTING, FALSE);
        d->SetRenderState(D3DRS_ALPHABLENDENABLE, TRUE);
        d->SetRenderState(D3DRS_SRCBLEND, D3DBLEND_SRCALPHA);
        d->SetRenderState(D3DRS_DESTBLEND, D3DBLEND_INVSRCALPHA);
        d->SetTexture(0, nullptr);
        d->SetTextureStageState(0, D3DTSS_COLOROP, D3DTOP_SELECTARG1);
        d->SetTextureStageState(0, D3DTSS_COLORARG1, D3DTA_DIFFUSE);
        d->SetTextureStageState(0, D3DTSS_ALPHAARG1, D3DTA_DIFFUSE);
        d->SetFVF(D3DFVF_XYZ | D3DFVF_DIFFUSE);
        d->DrawPrimitiveUP(D3DPT_TRIANGLESTRIP, 2, scene_.layer, sizeof(LayerVertex));
    }

    void Frame() {
        device_->Clear(0, nullptr, D3DCLEAR_TARGET | D3DCLEAR_ZBUFFER, 0xFF406080, 1.0f, 0);
        device_->BeginScene();
        MeshStates();
        Mesh();
        Layer();
        device_->EndScene();
    }

    IDirect3DDevice9* Device() { return device_; }

    // 0x00RRGGBB rows from the top.
    std::vector<DWORD> Pixels() {
        IDirect3DSurface9* back = nullptr;
        device_->GetBackBuffer(0, 0, D3DBACKBUFFER_TYPE_MONO, &back);
        D3DSURFACE_DESC desc;
        back->GetDesc(&desc);
        IDirect3DSurface9* copy = nullptr;
        device_->CreateOffscreenPlainSurface(desc.Width, desc.Height, desc.Format, D3DPOOL_SYSTEMMEM, &copy, nullptr);
        device_->GetRenderTargetData(back, copy);
        D3DLOCKED_RECT lr;
        copy->LockRect(&lr, nullptr, D3DLOCK_READONLY);
        std::vector<DWORD> out(desc.Width * desc.Height);
        for (UINT y = 0; y < desc.Height; ++y)
            for (UINT x = 0; x < desc.Width; ++x) {
                DWORD c;
                std::memcpy(&c, static_cast<BYTE*>(lr.pBits) + y * lr.Pitch + 4 * x, 4);
                out[y * desc.Width + x] = c & 0xFFFFFF;
            }
        copy->UnlockRect();
        copy->Release();
        back->Release();
        return out;
    }

    static constexpr DWORD kFvf = D3DFVF_XYZ | D3DFVF_NORMAL | D3DFVF_TEX1;

private:
    const Scene& scene_;
    HWND window_ = nullptr;
    IDirect3D9* d3d_ = nullptr;
    IDirect3DDevice9* device_ = nullptr;
    IDirect3DVertexBuffer9* vb_ = nullptr;
    IDirect3DIndexBuffer9* ib_ = nullptr;
    IDirect3DTexture9* texture_ = nullptr;
};

#ifdef DUN_HAVE_OSMESA
// llvmpipe through OSMesa ----------------------------------------------------------------------------

class Llvmpipe {
public:
    explicit Llvmpipe(const Scene& scene) : scene_(scene), buffer_(kWidth * kHeight) {
        context_ = OSMesaCreateContextExt(OSMESA_BGRA, 24, 0, 0, nullptr);
        if (context_ == nullptr || !OSMesaMakeCurrent(context_, buffer_.data(), GL_UNSIGNED_BYTE, kWidth, kHeight)) {
            std::fprintf(stderr, "raster_bench: cannot create the OSMesa context\n");
            std::exit(1);
        }
        OSMesaPixelStore(OSMESA_Y_UP, 0); // rows from the top, as the stand-in's
        glViewport(0, 0, kWidth, kHeight);
        glGenTextures(1, &texture_);
        glBindTexture(GL_TEXTURE_2D, texture_);
        GLsizei side = static_cast<GLsizei>(std::sqrt(static_cast<double>(scene.levels[0].size())));
        for (std::size_t l = 0; l < scene.levels.size(); ++l)
            glTexImage2D(GL_TEXTURE_2D, static_cast<GLint>(l), GL_RGBA8, std::max(1, side >> l), std::max(1, side >> l),
                         0, GL_BGRA, GL_UNSIGNED_BYTE, scene.levels[l].data());
        glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MIN_FILTER, GL_LINEAR_MIPMAP_LINEAR);
        glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MAG_FILTER, GL_LINEAR);
        glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_WRAP_S, GL_REPEAT);
        glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_WRAP_T, GL_REPEAT);
        glTexEnvi(GL_TEXTURE_ENV, GL_TEXTURE_ENV_MODE, GL_MODULATE);
    }

    ~Llvmpipe() {
        glDeleteTextures(1, &texture_);
        OSMesaDestroyContext(context_);
    }

    // The platform's projection for the other library's conventions: depth from 0..1 to -1..1
    // and pixel centres half a pixel away.
    static void LoadProjection(const D3DMATRIX& p) {
        D3DMATRIX adjust = Identity();
        adjust.m[2][2] = 2;
        adjust.m[3][2] = -1;
        adjust.m[3][0] = 1.0f / kWidth;
        adjust.m[3][1] = -1.0f / kHeight;
        // Columns: x' = x + w / W, y' = y - w / H, z' = 2z - w. Row-vector form: p * adjust.
        D3DMATRIX m{};
        for (int i = 0; i < 4; ++i)
            for (int j = 0; j < 4; ++j) {
                float s = 0;
                for (int k = 0; k < 4; ++k)
                    s += p.m[i][k] * adjust.m[k][j];
                m.m[i][j] = s;
            }
        glMatrixMode(GL_PROJECTION);
        glLoadMatrixf(&m.m[0][0]); // a row-vector matrix read by columns is the same transform
    }

    void Frame() {
        glClearColor(0x40 / 255.0f, 0x60 / 255.0f, 0x80 / 255.0f, 1);
        glClearDepth(1);
        glClear(GL_COLOR_BUFFER_BIT | GL_DEPTH_BUFFER_BIT);
        // The mesh.
        D3DMATRIX proj = scene_.projection;
        proj.m[2][3] = 1;
        LoadProjection(proj);
        glMatrixMode(GL_MODELVIEW);
        glLoadMatrixf(&scene_.view.m[0][0]);
        const D3DLIGHT9 sun = Sun(), lamp = Lamp();
        const GLfloat sunDir[4] = {-sun.Direction.x, -sun.Direction.y, -sun.Direction.z, 0};
        const GLfloat sunDiffuse[4] = {sun.Diffuse.r, sun.Diffuse.g, sun.Diffuse.b, 1};
        const GLfloat black[4] = {0, 0, 0, 1};
        glLightfv(GL_LIGHT0, GL_POSITION, sunDir);
        glLightfv(GL_LIGHT0, GL_DIFFUSE, sunDiffuse);
        glLightfv(GL_LIGHT0, GL_AMBIENT, black);
        glLightfv(GL_LIGHT0, GL_SPECULAR, black);
        const GLfloat lampPos[4] = {lamp.Position.x, lamp.Position.y, lamp.Position.z, 1};
        const GLfloat lampDiffuse[4] = {lamp.Diffuse.r, lamp.Diffuse.g, lamp.Diffuse.b, 1};
        const GLfloat lampAmbient[4] = {lamp.Ambient.r, lamp.Ambient.g, lamp.Ambient.b, 1};
        glLightfv(GL_LIGHT1, GL_POSITION, lampPos);
        glLightfv(GL_LIGHT1, GL_DIFFUSE, lampDiffuse);
        glLightfv(GL_LIGHT1, GL_AMBIENT, lampAmbient);
        glLightfv(GL_LIGHT1, GL_SPECULAR, black);
        glLightf(GL_LIGHT1, GL_CONSTANT_ATTENUATION, lamp.Attenuation0);
        glLightf(GL_LIGHT1, GL_LINEAR_ATTENUATION, lamp.Attenuation1);
        glLightf(GL_LIGHT1, GL_QUADRATIC_ATTENUATION, lamp.Attenuation2);
        const GLfloat ambient[4] = {((kAmbient >> 16) & 255) / 255.0f, ((kAmbient >> 8) & 255) / 255.0f,
                                    (kAmbient & 255) / 255.0f, 1};
        glLightModelfv(GL_LIGHT_MODEL_AMBIENT, ambient);
        const GLfloat white[4] = {1, 1, 1, 1};
        glMaterialfv(GL_FRONT_AND_BACK, GL_DIFFUSE, white);
        glMaterialfv(GL_FRONT_AND_BACK, GL_AMBIENT, white);
        glMaterialfv(GL_FRONT_AND_BACK, GL_SPECULAR, black);
        glMaterialfv(GL_FRONT_AND_BACK, GL_EMISSION, black);
        glEnable(GL_LIGHTING);
        glEnable(GL_LIGHT0);
        glEnable(GL_LIGHT1);
        glDisable(GL_CULL_FACE);
        glEnable(GL_DEPTH_TEST);
        glDepthFunc(GL_LEQUAL);
        glDepthMask(GL_TRUE);
        glDisable(GL_BLEND);
        glEnable(GL_TEXTURE_2D);
        glBindTexture(GL_TEXTURE_2D, texture_);
        glEnableClientState(GL_VERTEX_ARRAY);
        glEnableClientState(GL_NORMAL_ARRAY);
        glEnableClientState(GL_TEXTURE_COORD_ARRAY);
        const MeshVertex* v = scene_.vertices.data();
        glVertexPointer(3, GL_FLOAT, sizeof(MeshVertex), &v->x);
        glNormalPointer(GL_FLOAT, sizeof(MeshVertex), &v->nx);
        glTexCoordPointer(2, GL_FLOAT, sizeof(MeshVertex), &v->u);
        glDrawElements(GL_TRIANGLES, static_cast<GLsizei>(scene_.indices.size()), GL_UNSIGNED_SHORT,
                       scene_.indices.data());
        glDisableClientState(GL_NORMAL_ARRAY);
        glDisableClientState(GL_TEXTURE_COORD_ARRAY);
        // The layer.
        glLoadIdentity();
        glDisable(GL_LIGHTING);
        glDisable(GL_TEXTURE_2D);
        glEnable(GL_BLEND);
        glBlendFunc(GL_SRC_ALPHA, GL_ONE_MINUS_SRC_ALPHA);
        glBegin(GL_TRIANGLE_STRIP);
        for (const LayerVertex& l : scene_.layer) {
            glColor4ub(static_cast<GLubyte>(l.color >> 16), static_cast<GLubyte>(l.color >> 8),
                       static_cast<GLubyte>(l.color), static_cast<GLubyte>(l.color >> 24));
            glVertex3f(l.x, l.y, l.z);
        }
        glEnd();
        glDisableClientState(GL_VERTEX_ARRAY);
        glFinish();
    }

    std::vector<DWORD> Pixels() const {
        std::vector<DWORD> out(buffer_.size());
        for (std::size_t i = 0; i < out.size(); ++i)
            out[i] = buffer_[i] & 0xFFFFFF;
        return out;
    }

private:
    const Scene& scene_;
    std::vector<DWORD> buffer_;
    OSMesaContext context_ = nullptr;
    GLuint texture_ = 0;
};

// Pixels whose 3 x 3 neighbourhood changes sharply in either frame lie along an edge.
void Compare(const std::vector<DWORD>& a, const std::vector<DWORD>& b) {
    auto diff = [](DWORD p, DWORD q) {
        int m = 0;
        for (int s = 0; s < 24; s += 8)
            m = std::max(m, std::abs(static_cast<int>((p >> s) & 255) - static_cast<int>((q >> s) & 255)));
        return m;
    };
    long compared = 0, off = 0;
    int worst = 0;
    double sum = 0;
    for (int y = 1; y + 1 < static_cast<int>(kHeight); ++y)
        for (int x = 1; x + 1 < static_cast<int>(kWidth); ++x) {
            const std::size_t i = static_cast<std::size_t>(y) * kWidth + x;
            bool edge = false;
            for (int dy = -1; dy <= 1 && !edge; ++dy)
                for (int dx = -1; dx <= 1 && !edge; ++dx) {
                    const std::size_t j = static_cast<std::size_t>(y + dy) * kWidth + x + dx;
                    edge = diff(a[i], a[j]) > 40 || diff(b[i], b[j]) > 40;
                }
            if (edge)
                continue;
            ++compared;
            const int d = diff(a[i], b[i]);
            worst = std::max(worst, d);
            sum += d;
            off += d > 8;
        }
    std::printf("frames compared away from edges: %ld pixels (%.1f%% of the frame), mean difference %.2f, "
                "%.3f%% differ by more than 8 of 255, worst %d\n",
                compared, 100.0 * compared / (kWidth * kHeight), sum / std::max(1L, compared),
                100.0 * off / std::max(1L, compared), worst);
    if (off > compared / 100)
        std::printf("WARNING: the frames disagree\n");
}
#endif

// Benchmarks -------------------------------------------------------------------------------------------

const Scene& TheScene() {
    static const Scene scene = MakeScene(kGrid, 16);
    return scene;
}

void StandInFrame(benchmark::State& state) {
    StandIn s(TheScene(), kWidth, kHeight);
    for (auto _ : state)
        s.Frame();
    state.counters["fps"] = benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
}
BENCHMARK(StandInFrame)->Unit(benchmark::kMillisecond)->MeasureProcessCPUTime();

// The same scene at 800 x 600, the other frame size the program runs at.
void StandInFrame800x600(benchmark::State& state) {
    StandIn s(TheScene(), 800, 600);
    for (auto _ : state)
        s.Frame();
    state.counters["fps"] = benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
}
BENCHMARK(StandInFrame800x600)->Unit(benchmark::kMillisecond)->MeasureProcessCPUTime();

#ifdef DUN_HAVE_OSMESA
void LlvmpipeFrame(benchmark::State& state) {
    Llvmpipe l(TheScene());
    for (auto _ : state)
        l.Frame();
    state.counters["fps"] = benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
}
BENCHMARK(LlvmpipeFrame)->Unit(benchmark::kMillisecond)->MeasureProcessCPUTime();
#endif

// Eight full-frame layers, each nearer than the last: textured, bilinear, z-tested, blended.
void StandInFill(benchmark::State& state) {
    StandIn s(TheScene(), kWidth, kHeight);
    IDirect3DDevice9* d = s.Device();
    s.MeshStates();
    d->SetRenderState(D3DRS_LIGHTING, FALSE);
    d->SetRenderState(D3DRS_ALPHABLENDENABLE, TRUE);
    d->SetRenderState(D3DRS_SRCBLEND, D3DBLEND_SRCALPHA);
    d->SetRenderState(D3DRS_DESTBLEND, D3DBLEND_INVSRCALPHA);
    d->SetTextureStageState(0, D3DTSS_ALPHAOP, D3DTOP_SELECTARG2);
    d->SetTextureStageState(0, D3DTSS_ALPHAARG2, D3DTA_DIFFUSE);
    struct V {
        float x, y, z, rhw;
        DWORD c;
        float u, v;
    };
    d->SetFVF(D3DFVF_XYZRHW | D3DFVF_DIFFUSE | D3DFVF_TEX1);
    d->BeginScene();
    for (auto _ : state) {
        d->Clear(0, nullptr, D3DCLEAR_TARGET | D3DCLEAR_ZBUFFER, 0xFF406080, 1.0f, 0);
        for (int layer = 0; layer < 8; ++layer) {
            const float z = 0.9f - 0.1f * layer, w = 1.0f / (1 + layer);
            const V q[4] = {{-0.5f, -0.5f, z, w, 0x80FFFFFF, 0, 0},
                            {kWidth - 0.5f, -0.5f, z, w, 0x80FFFFFF, 2.5f * w, 0},
                            {-0.5f, kHeight - 0.5f, z, w, 0x80FFFFFF, 0, 1.875f * w},
                            {kWidth - 0.5f, kHeight - 0.5f, z, w, 0x80FFFFFF, 2.5f * w, 1.875f * w}};
            d->DrawPrimitiveUP(D3DPT_TRIANGLESTRIP, 2, q, sizeof(V));
        }
    }
    d->EndScene();
    state.counters["Mpixels/s"] = benchmark::Counter(
        8.0 * kWidth * kHeight * static_cast<double>(state.iterations()) / 1e6, benchmark::Counter::kIsRate);
}
BENCHMARK(StandInFill)->Unit(benchmark::kMillisecond)->MeasureProcessCPUTime();

// The mesh shrunk to a 64 x 48 corner: vertex processing with two lights and triangle set-up.
void StandInTriangles(benchmark::State& state) {
    StandIn s(TheScene(), kWidth, kHeight);
    IDirect3DDevice9* d = s.Device();
    d->BeginScene();
    s.MeshStates();
    D3DVIEWPORT9 vp{0, 0, 64, 48, 0, 1};
    d->SetViewport(&vp);
    for (auto _ : state) {
        d->Clear(0, nullptr, D3DCLEAR_TARGET | D3DCLEAR_ZBUFFER, 0xFF406080, 1.0f, 0);
        s.Mesh();
    }
    d->EndScene();
    state.counters["triangles/s"] =
        benchmark::Counter(static_cast<double>(TheScene().indices.size() / 3) * static_cast<double>(state.iterations()),
                           benchmark::Counter::kIsRate);
}
BENCHMARK(StandInTriangles)->Unit(benchmark::kMillisecond)->MeasureProcessCPUTime();

// Keeps the frame rates of the two frame benchmarks to print their ratio.
class Reporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const Run& r : runs)
            if (r.run_type == Run::RT_Iteration && r.iterations > 0)
                seconds[r.benchmark_name()] = r.GetAdjustedCPUTime() / 1e3; // the process's CPU time, in ms
    }
    std::map<std::string, double> seconds;
};

} // namespace

int main(int argc, char** argv) {
    // llvmpipe reads its thread count when the context is made: one thread unless asked.
    setenv("LP_NUM_THREADS", "1", 0);
    // Our one argument, taken out before the benchmark library reads the rest.
    int kept = 1;
    bool help = false;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--four-pixel-steps") == 0)
            D3d9SetRasterWide(0);
        else
            argv[kept++] = argv[i];
        help = help || std::strcmp(argv[i], "--help") == 0;
    }
    argc = kept;
    if (help) {
        std::printf("platform_raster_bench [--four-pixel-steps] [the benchmark library's options below]\n"
                    "  --four-pixel-steps  the stand-in's fast rows four pixels a step even with AVX2\n\n");
        benchmark::Initialize(&argc, argv); // prints its options and leaves
        return 0;
    }
    PlatformWindowReset();
    D3d9ResetStandIn();
#ifdef DUN_HAVE_OSMESA
    {
        StandIn s(TheScene(), kWidth, kHeight);
        s.Frame();
        Llvmpipe l(TheScene());
        l.Frame();
        std::printf("llvmpipe threads (LP_NUM_THREADS): %s\n", std::getenv("LP_NUM_THREADS"));
        Compare(s.Pixels(), l.Pixels());
    }
#else
    std::printf("no off-screen Mesa library at build time: the stand-in is timed alone\n");
#endif
    std::printf("stand-in: %d pixels a step in its fast rows\n", D3d9RasterWide() ? 8 : 4);
    benchmark::Initialize(&argc, argv);
    Reporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    const auto s = reporter.seconds.find("StandInFrame/process_time");
    const auto l = reporter.seconds.find("LlvmpipeFrame/process_time");
    if (s != reporter.seconds.end())
        std::printf("stand-in: %.1f frames per second of CPU time\n", 1.0 / s->second);
    if (s != reporter.seconds.end() && l != reporter.seconds.end())
        std::printf("llvmpipe: %.1f frames per second of CPU time (all its threads); stand-in / llvmpipe = %.2fx\n",
                    1.0 / l->second, l->second / s->second);
    return 0;
}
