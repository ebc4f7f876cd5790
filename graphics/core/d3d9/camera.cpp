#include "graphics/core/d3d9/camera.h"

#include <cstring>

#include "graphics/core/cpu_routines.h"
#include "graphics/core/d3d9/device.h"
#include "graphics/core/d3d9/device_cache.h"
#include "graphics/core/d3d9/raster.h"
#include "graphics/core/d3d9/render_state.h"
#include "graphics/core/d3d9/vertex_buffer.h"
#include "graphics/core/frame.h"
#include "platform/win32.h"

D3DMATRIX OvD3D9ViewMatrix = {};
D3DMATRIX OvD3D9ProjectionMatrix = {};
const D3DMATRIX* OvD3D9ViewProjectionCache = nullptr;

namespace {

OvCamera* gCamera = nullptr; // between begin and end update
bool gCopyAtEnd = false;     // the camera texture is no render target: its area is copied at end update

OvRaster* Top(OvRaster* raster) {
    while (raster->parent != raster) {
        raster = raster->parent;
    }
    return raster;
}

// The raster's place in its parent; the offsets are signed 16-bit values.
RECT Place(const OvRaster* raster) {
    const LONG x = static_cast<OvInt16>(raster->nOffsetX);
    const LONG y = static_cast<OvInt16>(raster->nOffsetY);
    return {x, y, x + raster->width, y + raster->height};
}

void SetViewport(const RECT& place) {
    if (IDirect3DDevice9* d = OvD3D9GetDevice()) {
        const D3DVIEWPORT9 viewport = {static_cast<DWORD>(place.left),
                                       static_cast<DWORD>(place.top),
                                       static_cast<DWORD>(place.right - place.left),
                                       static_cast<DWORD>(place.bottom - place.top),
                                       0.0f,
                                       1.0f};
        d->SetViewport(&viewport);
    }
}

D3DMATRIX ViewMatrix(OvCamera* camera) {
    OvMatrix inverse;
    OvFrame* frame = OvCameraGetFrame(camera);
    if (frame != nullptr) {
        OvMatrixInvert(&inverse, OvFrameGetWorldMatrix(frame));
    } else {
        inverse = {{1, 0, 0}, 0, {0, 1, 0}, 0, {0, 0, 1}, 0, {0, 0, 0}, 0};
    }
    const OvV3d* rows[4] = {&inverse.right, &inverse.up, &inverse.at, &inverse.pos};
    D3DMATRIX m{};
    for (int r = 0; r < 4; ++r) {
        // Mirrored in x: the engine's right axis points to the screen's left.
        m.m[r][0] = -rows[r]->x;
        m.m[r][1] = rows[r]->y;
        m.m[r][2] = rows[r]->z;
        m.m[r][3] = r == 3 ? 1.0f : 0.0f;
    }
    return m;
}

D3DMATRIX ProjectionMatrix(const OvCamera* camera) {
    const float rx = camera->recipViewWindow.x, ry = camera->recipViewWindow.y;
    const float ox = camera->viewOffset.x, oy = camera->viewOffset.y;
    const float n = camera->nearPlane, f = camera->farPlane;
    const bool parallel = camera->projectionType == ovPARALLEL;
    const float a = parallel ? 1.0f / (f - n) : f / (f - n);
    const float b = parallel ? 0.0f : 1.0f;
    const float w = parallel ? 1.0f : 0.0f;
    D3DMATRIX m{};
    m.m[0][0] = rx;
    m.m[1][1] = ry;
    m.m[2][0] = ox * rx;
    m.m[2][1] = oy * ry;
    m.m[2][2] = a;
    m.m[2][3] = b;
    m.m[3][0] = -ox * rx;
    m.m[3][1] = -oy * ry;
    m.m[3][2] = -a * n;
    m.m[3][3] = w;
    return m;
}

DWORD FloatBits(float value) {
    DWORD bits;
    std::memcpy(&bits, &value, sizeof bits);
    return bits;
}

D3DTEXTUREFILTERTYPE CopyFilter() {
    return (OvD3D9GetCaps()->StretchRectFilterCaps & 0x1000100u) != 0 ? D3DTEXF_POINT : D3DTEXF_NONE;
}

// Level 0 of a camera texture, or of the cube face its extension names (one reference); null
// when there is none.
IDirect3DSurface9* CameraTextureSurface(OvRaster* parent) {
    OvD3D9RasterExt* ext = OvD3D9RasterExtGet(parent);
    IDirect3DSurface9* surface = nullptr;
    const HRESULT hr =
        ext->cubeTexture != nullptr
            ? ext->cubeTexture->GetCubeMapSurface(static_cast<D3DCUBEMAP_FACES>(ext->cube >> 4), 0, &surface)
        : ext->texture != nullptr ? ext->texture->GetSurfaceLevel(0, &surface)
                                  : D3DERR_INVALIDCALL;
    return hr == D3D_OK ? surface : nullptr;
}

// The raster's area of the back buffer into the camera texture.
void CopyToCameraTexture(OvRaster* raster) {
    IDirect3DDevice9* d = OvD3D9GetDevice();
    IDirect3DSurface9* surface = CameraTextureSurface(Top(raster));
    if (surface == nullptr) {
        return;
    }
    const RECT place = Place(raster);
    if (d != nullptr && OvD3D9GetBackBuffer() != nullptr) {
        d->StretchRect(OvD3D9GetBackBuffer(), &place, surface, &place, CopyFilter());
    }
    surface->Release();
}

// The window is put back to the size of the mode before a resize that could not be followed.
void RestoreWindowSize(HWND window, OvUInt32 width, OvUInt32 height) {
    const LONG style = GetWindowLongA(window, GWL_STYLE);
    if (static_cast<DWORD>(style) & WS_MAXIMIZE) {
        SetWindowLongA(window, GWL_STYLE, static_cast<LONG>(static_cast<DWORD>(style) & ~WS_MAXIMIZE));
    }
    RECT rect = {0, 0, static_cast<LONG>(width), static_cast<LONG>(height)};
    AdjustWindowRectEx(&rect, static_cast<DWORD>(GetWindowLongA(window, GWL_STYLE)),
                       GetMenu(window) != nullptr ? TRUE : FALSE,
                       static_cast<DWORD>(GetWindowLongA(window, GWL_EXSTYLE)));
    SetWindowPos(window, nullptr, 0, 0, rect.right - rect.left, rect.bottom - rect.top, SWP_NOMOVE | SWP_NOZORDER);
}

// The device window's client area changed size: the back buffer follows it, or, when the device
// cannot be reset to it, the window goes back to the old size.
bool Resize(LONG width, LONG height) {
    IDirect3DDevice9* d = OvD3D9GetDevice();
    D3DPRESENT_PARAMETERS* pp = OvD3D9EditPresentParameters();
    const OvUInt32 oldWidth = OvD3D9GetCurrentMode()->width;
    const OvUInt32 oldHeight = OvD3D9GetCurrentMode()->height;
    OvD3D9DeviceLostRelease();
    if (d->TestCooperativeLevel() == D3D_OK && pp->Windowed) {
        pp->BackBufferWidth = static_cast<UINT>(width);
        pp->BackBufferHeight = static_cast<UINT>(height);
    }
    bool restored = false;
    if (d->Reset(pp) == D3D_OK) {
        restored = OvD3D9DeviceRestoreWithCallback() != FALSE;
        if (restored) {
            OvD3D9SetCurrentModeSize(static_cast<OvUInt32>(width), static_cast<OvUInt32>(height));
            return true;
        }
        OvD3D9DeviceLostRelease();
    }
    if (!pp->Windowed) {
        return false;
    }
    pp->BackBufferWidth = oldWidth;
    pp->BackBufferHeight = oldHeight;
    if (d->Reset(pp) != D3D_OK) {
        return false;
    }
    RestoreWindowSize(OvD3D9GetWindow(), oldWidth, oldHeight);
    return OvD3D9DeviceRestoreWithCallback() != FALSE;
}

enum class Target {
    Failed,        // nothing to draw into: minimised, empty, or the device could not follow
    BackBuffer,    // the device's back buffer and depth surface
    TextureTarget, // a camera texture that is a render target
    TextureCopy,   // a camera texture filled by copying the back buffer
    Window,        // the back buffer of another window's swap chain
};

// Binds the camera's z raster as the depth surface (level 0 of a depth texture), or none.
void BindZRaster(OvCamera* camera) {
    IDirect3DSurface9* depth = nullptr;
    bool release = false;
    if (OvRaster* z = camera->zBuffer) {
        OvD3D9RasterExt* zExt = OvD3D9RasterExtGet(Top(z));
        if (z->cType == ovRASTERTYPEZBUFFER) {
            depth = zExt->surface;
        } else if (zExt->texture != nullptr && zExt->texture->GetSurfaceLevel(0, &depth) == D3D_OK) {
            release = true;
        }
    }
    OvD3D9SetDepthSurface(depth);
    if (release) {
        depth->Release();
    }
}

// A camera on another window: its rasters follow the window's client area.
Target SelectWindowTargets(OvCamera* camera, OvRaster* parent) {
    HWND window = OvD3D9RasterExtGet(parent)->window;
    RECT client{};
    GetClientRect(window, &client);
    if (client.right <= 0 || client.bottom <= 0) {
        return Target::Failed;
    }
    const OvD3D9RasterExt* ext = OvD3D9RasterExtGet(parent);
    if (client.right == parent->width && client.bottom == parent->height && ext->swapChain != nullptr) {
        OvRaster* z = camera->zBuffer;
        if (z != nullptr && z->parent == z && (z->width != client.right || z->height != client.bottom)) {
            OvRasterDestroy(z);
            camera->zBuffer = OvRasterCreate(client.right, client.bottom, 0, ovRASTERTYPEZBUFFER);
        }
    } else if (camera->frameBuffer == parent) {
        // Resized (or its swap chain lost in a reset): built again over the new client area.
        if (!OvD3D9CameraCreateWindowRasters(camera, window)) {
            return Target::Failed;
        }
        parent = camera->frameBuffer;
    }
    IDirect3DSurface9* back = OvD3D9RasterExtGet(parent)->surface;
    if (OvD3D9RasterExtGet(parent)->swapChain == nullptr || back == nullptr) {
        return Target::Failed;
    }
    OvD3D9SetRenderTargetSurface(0, back);
    BindZRaster(camera);
    return Target::Window;
}

// Chooses and binds the targets of the camera's raster.
Target SelectTargets(OvCamera* camera, bool clearing) {
    OvRaster* raster = camera->frameBuffer;
    IDirect3DDevice9* d = OvD3D9GetDevice();
    HWND window = OvD3D9GetWindow();
    if (raster == nullptr || d == nullptr) {
        return Target::Failed;
    }
    if (OvRaster* top = Top(raster); top->cType == ovRASTERTYPECAMERA && OvD3D9RasterExtGet(top)->window != nullptr) {
        return SelectWindowTargets(camera, top);
    }
    if (window != nullptr) {
        RECT client{};
        GetClientRect(window, &client);
        if (client.right <= 0 || client.bottom <= 0 || IsIconic(window)) {
            return Target::Failed;
        }
        if (static_cast<OvUInt32>(client.right) != OvD3D9GetCurrentMode()->width ||
            static_cast<OvUInt32>(client.bottom) != OvD3D9GetCurrentMode()->height) {
            if (!Resize(client.right, client.bottom)) {
                return Target::Failed;
            }
        }
    }
    OvRaster* parent = Top(raster);
    if (parent->cType == ovRASTERTYPECAMERATEXTURE) {
        IDirect3DSurface9* surface = CameraTextureSurface(parent);
        D3DSURFACE_DESC desc{};
        if (surface == nullptr || surface->GetDesc(&desc) != D3D_OK) {
            if (surface != nullptr) {
                surface->Release();
            }
            return Target::Failed;
        }
        Target target = Target::TextureTarget;
        if ((desc.Usage & D3DUSAGE_RENDERTARGET) == 0) {
            // Drawn in the back buffer and copied from there: a clear too clears the back buffer,
            // whatever target an earlier camera left bound, since the copy reads it.
            target = Target::TextureCopy;
            gCopyAtEnd = gCopyAtEnd || !clearing;
            OvD3D9SetRenderTargetSurface(0, OvD3D9GetBackBuffer());
            OvD3D9SetDepthSurface(OvD3D9GetDepthSurface());
        } else {
            OvD3D9SetRenderTargetSurface(0, surface);
            BindZRaster(camera);
        }
        surface->Release();
        return target;
    }
    OvD3D9SetRenderTargetSurface(0, OvD3D9GetBackBuffer());
    OvD3D9SetDepthSurface(OvD3D9GetDepthSurface());
    return Target::BackBuffer;
}

} // namespace

OvCamera* OvD3D9GetCurrentCamera() { return gCamera; }

OvBool OvD3D9CameraBeginUpdate(void*, void* in, OvInt32) {
    auto* camera = static_cast<OvCamera*>(in);
    OvFpuControlWordSet();
    gCamera = camera;
    OvD3D9ViewMatrix = ViewMatrix(camera);
    OvD3D9SetTransform(D3DTS_VIEW, &OvD3D9ViewMatrix);
    OvD3D9ProjectionMatrix = ProjectionMatrix(camera);
    OvD3D9SetTransform(D3DTS_PROJECTION, &OvD3D9ProjectionMatrix);
    OvD3D9ViewProjectionCache = nullptr;
    if (SelectTargets(camera, false) != Target::Failed) {
        SetViewport(Place(camera->frameBuffer));
        OvD3D9SetRenderState(D3DRS_FOGSTART, FloatBits(camera->fogPlane));
        OvD3D9SetRenderState(D3DRS_FOGEND, FloatBits(camera->farPlane));
        if (OvD3D9DeviceCheckLost()) {
            return TRUE;
        }
    }
    // No update began: no end update need come, so nothing keeps the camera (which may go before
    // the next begin).
    gCamera = nullptr;
    gCopyAtEnd = false;
    return FALSE;
}

OvBool OvD3D9CameraClear(void* out, void* in, OvInt32 clearMode) {
    auto* camera = static_cast<OvCamera*>(out);
    const auto* colour = static_cast<const OvRGBA*>(in);
    const D3DCOLOR value = (clearMode & ovCAMERACLEARIMAGE) && colour != nullptr
                               ? static_cast<D3DCOLOR>(colour->alpha) << 24 | static_cast<D3DCOLOR>(colour->red) << 16 |
                                     static_cast<D3DCOLOR>(colour->green) << 8 | colour->blue
                               : 0;
    const Target target = SelectTargets(camera, true);
    if (target == Target::Failed) {
        return FALSE;
    }
    RECT place = Place(camera->frameBuffer);
    if (target == Target::Window) {
        // The whole of the window's back buffer.
        place = {0, 0, camera->frameBuffer->width, camera->frameBuffer->height};
    }
    SetViewport(place);
    DWORD flags = 0;
    if (target == Target::BackBuffer) {
        // The device's depth surface: stencil with the depth where its format has stencil bits.
        flags = (clearMode & ovCAMERACLEARIMAGE) ? D3DCLEAR_TARGET : 0;
        if (clearMode & ovCAMERACLEARZ) {
            flags |= D3DCLEAR_ZBUFFER;
        }
        if ((clearMode & (ovCAMERACLEARZ | ovCAMERACLEARSTENCIL)) && OvD3D9HasStencil()) {
            flags |= D3DCLEAR_STENCIL;
        }
    } else {
        // A camera texture (drawn into, or filled from the back buffer), or another window: the
        // flags asked, depth and stencil only with a z raster behind them.
        flags = static_cast<DWORD>(clearMode) & (D3DCLEAR_TARGET | D3DCLEAR_ZBUFFER | D3DCLEAR_STENCIL);
        if (camera->zBuffer == nullptr) {
            flags &= D3DCLEAR_TARGET;
        } else if (!OvD3D9HasStencil()) {
            flags &= ~DWORD{D3DCLEAR_STENCIL};
        }
    }
    IDirect3DDevice9* d = OvD3D9GetDevice();
    if (flags != 0) {
        d->Clear(0, nullptr, flags, value, 1.0f, 0);
    }
    if (target == Target::TextureCopy) {
        CopyToCameraTexture(camera->frameBuffer);
    }
    return TRUE;
}

OvBool OvD3D9CameraEndUpdate(void*, void*, OvInt32) {
    if (gCamera != nullptr && gCopyAtEnd && gCamera->frameBuffer != nullptr &&
        Top(gCamera->frameBuffer)->cType == ovRASTERTYPECAMERATEXTURE) {
        CopyToCameraTexture(gCamera->frameBuffer);
    }
    gCopyAtEnd = false;
    gCamera = nullptr;
    return TRUE;
}

OvBool OvD3D9CameraCreateWindowRasters(OvCamera* camera, HWND window) {
    const D3DPRESENT_PARAMETERS* pp = OvD3D9GetPresentParameters();
    if (camera == nullptr || OvD3D9GetDevice() == nullptr || !pp->Windowed || window == nullptr ||
        window == OvD3D9GetWindow() || !IsWindow(window)) {
        return FALSE;
    }
    if (camera->frameBuffer != nullptr) {
        OvRasterDestroy(camera->frameBuffer);
        camera->frameBuffer = nullptr;
    }
    if (camera->zBuffer != nullptr) {
        OvRasterDestroy(camera->zBuffer);
        camera->zBuffer = nullptr;
    }
    IDirect3DSurface9* back = nullptr;
    IDirect3DSwapChain9* chain = OvD3D9CreateWindowSwapChain(window, &back);
    if (chain == nullptr) {
        return FALSE;
    }
    D3DSURFACE_DESC desc{};
    back->GetDesc(&desc);
    const auto width = static_cast<OvInt32>(desc.Width), height = static_cast<OvInt32>(desc.Height);
    OvRaster* raster = OvRasterCreate(width, height, 0, ovRASTERTYPECAMERA | ovRASTERDONTALLOCATE);
    if (raster == nullptr) {
        back->Release();
        chain->Release();
        return FALSE;
    }
    OvD3D9RasterAttachSwapChain(raster, chain, back, window);
    back->Release();
    camera->frameBuffer = raster;
    camera->zBuffer = OvRasterCreate(width, height, 0, ovRASTERTYPEZBUFFER);
    return camera->zBuffer != nullptr ? TRUE : FALSE;
}

OvBool OvD3D9RasterShowRaster(void* out, void*, OvInt32 flags) {
    IDirect3DDevice9* d = OvD3D9GetDevice();
    if (d == nullptr) {
        return FALSE;
    }
    if (OvD3D9DeviceInScene()) {
        d->EndScene();
        OvD3D9DeviceSetInScene(FALSE);
    }
    D3DPRESENT_PARAMETERS* pp = OvD3D9EditPresentParameters();
    const bool vsync = (flags & 1) != 0;
    const UINT interval = pp->PresentationInterval;
    if ((vsync && interval == D3DPRESENT_INTERVAL_IMMEDIATE) || (!vsync && interval == D3DPRESENT_INTERVAL_ONE)) {
        pp->PresentationInterval = vsync ? D3DPRESENT_INTERVAL_ONE : D3DPRESENT_INTERVAL_IMMEDIATE;
        OvBool restored = FALSE;
        OvD3D9DeviceResetOnce(&restored);
    }
    // Another window's camera raster is shown through its swap chain.
    auto* raster = static_cast<OvRaster*>(out);
    const OvD3D9RasterExt* ext = raster != nullptr ? OvD3D9RasterExtGet(Top(raster)) : nullptr;
    HRESULT hr = ext == nullptr || ext->window == nullptr ? d->Present(nullptr, nullptr, nullptr, nullptr)
                 : ext->swapChain != nullptr ? ext->swapChain->Present(nullptr, nullptr, nullptr, nullptr, 0)
                                             : D3DERR_INVALIDCALL;
    if (hr == D3DERR_DEVICELOST) {
        hr = d->TestCooperativeLevel();
        if (hr == D3DERR_DEVICENOTRESET) {
            OvBool restored = FALSE;
            hr = OvD3D9DeviceResetOnce(&restored);
        }
    }
    OvD3D9DynamicVertexBufferNewFrame();
    OvD3D9EndFrameCounters();
    return SUCCEEDED(hr) ? TRUE : FALSE;
}

OvBool OvD3D9CameraSphereFullyInside(const OvCamera* camera, const OvSphere* sphere) {
    for (const OvFrustumPlane& fp : camera->frustumPlanes) {
        if (OvV3dDotProduct(&fp.plane.normal, &sphere->center) - fp.plane.distance > -sphere->radius) {
            return FALSE;
        }
    }
    return TRUE;
}

OvBool OvD3D9CameraBBoxFullyInside(const OvCamera* camera, const OvBBox* box) {
    for (const OvFrustumPlane& fp : camera->frustumPlanes) {
        // The corner farthest along the normal: the maximum where the selector is 1.
        const OvV3d corner = {fp.closestX ? box->sup.x : box->inf.x, fp.closestY ? box->sup.y : box->inf.y,
                              fp.closestZ ? box->sup.z : box->inf.z};
        if (OvV3dDotProduct(&fp.plane.normal, &corner) > fp.plane.distance) {
            return FALSE;
        }
    }
    return TRUE;
}
