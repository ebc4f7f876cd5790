#include "graphics/core/d3d9/device.h"

#include <algorithm>
#include <utility>
#include <cstring>
#include <vector>

#include "graphics/core/cpu_routines.h"
#include "graphics/core/d3d9/camera.h"
#include "graphics/core/d3d9/device_cache.h"
#include "graphics/core/d3d9/im2d.h"
#include "graphics/core/d3d9/im3d.h"
#include "graphics/core/d3d9/native_texture.h"
#include "graphics/core/d3d9/pixel_convert.h"
#include "graphics/core/d3d9/raster.h"
#include "graphics/core/d3d9/render_state.h"
#include "graphics/core/d3d9/vertex_buffer.h"
#include "graphics/core/memory.h"
#include "platform/win32.h"

namespace {

OvBool NoStandardFunction(void*, void*, OvInt32) { return FALSE; }

struct DeviceSystem {
    HWND window = nullptr;
    IDirect3D9* d3d = nullptr;
    UINT adapter = 0;
    IDirect3DDevice9* device = nullptr;
    bool started = false;
    IDirect3DSurface9* backBuffer = nullptr;   // no reference held
    IDirect3DSurface9* depthSurface = nullptr; // no reference held
    OvD3D9VideoMode current{};
    OvInt32 currentDepth = 0;
    OvInt32 selected = 0;
    OvUInt32 numAdapterModes = 0;
    std::vector<OvD3D9VideoMode> modes; // empty: not built
    bool modesBuilt = false;
    D3DCAPS9 caps{};
    D3DPRESENT_PARAMETERS present{};
    OvInt32 zDepth = 0;
    bool stencil = false;
    bool cpuFinalized = false;
    bool inScene = false;
    OvD3D9RestoreCallback restore = nullptr;
};

DeviceSystem gSys;

OvDevice gDevice = {
    1.0f,
    OvD3D9DeviceSystem,
    0.0f,
    1.0f,
    OvD3D9RenderStateSet,
    OvD3D9RenderStateGet,
    OvD3D9Im2DRenderLine,
    OvD3D9Im2DRenderTriangle,
    OvD3D9Im2DRenderPrimitive,
    OvD3D9Im2DRenderIndexedPrimitive,
    {nullptr, nullptr, nullptr, nullptr},
};

const OvDriver gDriver = {OvD3D9DriverPluginAttach, OvD3D9DeviceGet, OvNodeD3D9SubmitNoLightGetDefinition,
                          OvD3D9Im3DCreateResources, OvD3D9Im3DReleaseResources};

OvD3D9FrameCounters gLastFrame = {0, 0, 0};

constexpr D3DFORMAT kListedFormats[] = {D3DFMT_R5G6B5, D3DFMT_X8R8G8B8, D3DFMT_A2R10G10B10};

OvInt32 FormatDepth(D3DFORMAT format) {
    switch (format) {
    case D3DFMT_A8R8G8B8:
    case D3DFMT_X8R8G8B8:
    case D3DFMT_A2R10G10B10:
        return 32;
    case D3DFMT_R5G6B5:
    case D3DFMT_X1R5G5B5:
    case D3DFMT_A1R5G5B5:
        return 16;
    default:
        return 0;
    }
}

OvInt32 FormatRasterFormat(D3DFORMAT format) {
    switch (format) {
    case D3DFMT_A8R8G8B8:
    case D3DFMT_A2R10G10B10:
        return 0x500;
    case D3DFMT_X8R8G8B8:
        return 0x600;
    case D3DFMT_R5G6B5:
        return 0x200;
    case D3DFMT_X1R5G5B5:
        return 0xA00;
    case D3DFMT_A1R5G5B5:
        return 0x100;
    default:
        return 0;
    }
}

void CountAdapterModes() {
    gSys.numAdapterModes = 0;
    for (D3DFORMAT format : kListedFormats) {
        gSys.numAdapterModes += gSys.d3d->GetAdapterModeCount(gSys.adapter, format);
    }
}

void ReadDesktopMode() {
    D3DDISPLAYMODE mode{};
    gSys.d3d->GetAdapterDisplayMode(gSys.adapter, &mode);
    gSys.current = {mode.Width, mode.Height, mode.RefreshRate, mode.Format, 0};
    gSys.currentDepth = FormatDepth(mode.Format);
    gSys.selected = 0;
}

void FreeModes() {
    gSys.modes.clear();
    gSys.modes.shrink_to_fit();
    gSys.modesBuilt = false;
}

// The desktop mode first (when its format is one the driver renders to), then one full-screen
// entry per size and format with its highest refresh rate. The list never holds more than the
// counted modes plus one, whatever the adapter enumerates since.
void BuildModes() {
    FreeModes();
    const std::size_t capacity = std::size_t{gSys.numAdapterModes} + 1;
    gSys.modes.reserve(capacity);
    D3DDISPLAYMODE desktop{};
    gSys.d3d->GetAdapterDisplayMode(gSys.adapter, &desktop);
    if (FormatDepth(desktop.Format) != 0) {
        gSys.modes.push_back({desktop.Width, desktop.Height, desktop.RefreshRate, desktop.Format, 0});
    }
    // Full-screen entries are compared among themselves only, so the desktop entry (or its
    // absence) cannot let a duplicate through.
    const std::size_t firstFullScreen = gSys.modes.size();
    for (D3DFORMAT format : {D3DFMT_R5G6B5, D3DFMT_X8R8G8B8, D3DFMT_A2R10G10B10}) {
        const UINT count = gSys.d3d->GetAdapterModeCount(gSys.adapter, format);
        for (UINT i = 0; i < count; ++i) {
            D3DDISPLAYMODE m{};
            if (FAILED(gSys.d3d->EnumAdapterModes(gSys.adapter, format, i, &m))) {
                continue;
            }
            auto same = std::find_if(gSys.modes.begin() + static_cast<std::ptrdiff_t>(firstFullScreen),
                                     gSys.modes.end(), [&](const OvD3D9VideoMode& e) {
                                         return e.width == m.Width && e.height == m.Height && e.format == m.Format;
                                     });
            if (same != gSys.modes.end()) {
                same->refRate = std::max(same->refRate, m.RefreshRate);
            } else if (gSys.modes.size() < capacity) {
                gSys.modes.push_back({m.Width, m.Height, m.RefreshRate, m.Format, 1});
            }
        }
    }
    gSys.modesBuilt = true;
}

void EnsureModes() {
    if (!gSys.modesBuilt) {
        BuildModes();
    }
}

bool DepthAccepted(D3DFORMAT adapterFormat, D3DFORMAT backBuffer, D3DFORMAT candidate) {
    return gSys.d3d->CheckDeviceFormat(gSys.adapter, D3DDEVTYPE_HAL, adapterFormat, D3DUSAGE_DEPTHSTENCIL,
                                       D3DRTYPE_SURFACE, candidate) == D3D_OK &&
           gSys.d3d->CheckDepthStencilMatch(gSys.adapter, D3DDEVTYPE_HAL, adapterFormat, backBuffer, candidate) ==
               D3D_OK;
}

// Picks the depth-stencil format for the back buffer: 32-bit candidates first, then 16-bit.
void ChooseDepthFormat(D3DFORMAT adapterFormat) {
    D3DPRESENT_PARAMETERS& pp = gSys.present;
    gSys.zDepth = FormatDepth(pp.BackBufferFormat);
    gSys.stencil = false;
    if (gSys.zDepth == 32) {
        const struct {
            D3DFORMAT format;
            bool stencil;
        } candidates[] = {{D3DFMT_D24S8, true}, {D3DFMT_D24X4S4, true}, {D3DFMT_D32, false}, {D3DFMT_D24X8, false}};
        for (const auto& c : candidates) {
            if (DepthAccepted(adapterFormat, pp.BackBufferFormat, c.format)) {
                pp.AutoDepthStencilFormat = c.format;
                gSys.stencil = c.stencil;
                return;
            }
        }
        gSys.zDepth = 16;
    }
    if (gSys.zDepth == 16) {
        if (DepthAccepted(adapterFormat, pp.BackBufferFormat, D3DFMT_D15S1)) {
            pp.AutoDepthStencilFormat = D3DFMT_D15S1;
            gSys.stencil = true;
        } else {
            pp.AutoDepthStencilFormat = D3DFMT_D16;
        }
    }
}

void SetBackBufferFormat(D3DFORMAT format, D3DFORMAT adapterFormat) {
    D3DPRESENT_PARAMETERS& pp = gSys.present;
    pp.BackBufferFormat = format;
    if (format == D3DFMT_X8R8G8B8 && SUCCEEDED(gSys.d3d->CheckDeviceType(gSys.adapter, D3DDEVTYPE_HAL, D3DFMT_X8R8G8B8,
                                                                         D3DFMT_A8R8G8B8, pp.Windowed))) {
        pp.BackBufferFormat = D3DFMT_A8R8G8B8;
    }
    ChooseDepthFormat(adapterFormat);
}

void FillPresentParameters(D3DFORMAT displayFormat) {
    D3DPRESENT_PARAMETERS& pp = gSys.present;
    pp = {};
    pp.BackBufferCount = 1;
    pp.PresentationInterval = D3DPRESENT_INTERVAL_IMMEDIATE;
    pp.hDeviceWindow = gSys.window;
    pp.EnableAutoDepthStencil = TRUE;
    pp.MultiSampleType = D3DMULTISAMPLE_NONE;
    if (gSys.current.flags & 1) {
        pp.Windowed = FALSE;
        pp.BackBufferWidth = gSys.current.width;
        pp.BackBufferHeight = gSys.current.height;
        pp.FullScreen_RefreshRateInHz = gSys.current.refRate;
        pp.SwapEffect = D3DSWAPEFFECT_FLIP;
        SetBackBufferFormat(gSys.current.format, gSys.current.format);
    } else {
        pp.Windowed = TRUE;
        pp.SwapEffect = D3DSWAPEFFECT_COPY;
        RECT r{};
        if (gSys.window != nullptr) {
            GetWindowRect(gSys.window, &r);
        }
        pp.BackBufferWidth = r.right == r.left ? 1 : 0;
        pp.BackBufferHeight = r.bottom == r.top ? 1 : 0;
        SetBackBufferFormat(displayFormat, displayFormat);
    }
}

void FetchSurfaces() {
    gSys.backBuffer = nullptr;
    gSys.depthSurface = nullptr;
    if (SUCCEEDED(gSys.device->GetRenderTarget(0, &gSys.backBuffer)) && gSys.backBuffer != nullptr) {
        gSys.backBuffer->Release();
    }
    if (SUCCEEDED(gSys.device->GetDepthStencilSurface(&gSys.depthSurface)) && gSys.depthSurface != nullptr) {
        gSys.depthSurface->Release();
    }
}

OvBool CreateDevice() {
    D3DDISPLAYMODE display{};
    gSys.d3d->GetAdapterDisplayMode(gSys.adapter, &display);
    FillPresentParameters(display.Format);
    if (FAILED(gSys.d3d->GetDeviceCaps(gSys.adapter, D3DDEVTYPE_HAL, &gSys.caps))) {
        return FALSE;
    }
    D3DADAPTER_IDENTIFIER9 id{};
    if (SUCCEEDED(gSys.d3d->GetAdapterIdentifier(gSys.adapter, 0, &id)) && id.VendorId == 0x1002 &&
        id.DeviceId == 0x5157) {
        gSys.caps.DevCaps2 &= ~DWORD{D3DDEVCAPS2_STREAMOFFSET};
    }
    DWORD behaviour = D3DCREATE_SOFTWARE_VERTEXPROCESSING;
    if (gSys.caps.DevCaps & D3DDEVCAPS_HWTRANSFORMANDLIGHT) {
        behaviour = (gSys.caps.DevCaps & D3DDEVCAPS_PUREDEVICE)
                        ? (D3DCREATE_HARDWARE_VERTEXPROCESSING | D3DCREATE_PUREDEVICE)
                        : D3DCREATE_HARDWARE_VERTEXPROCESSING;
    }
    IDirect3DDevice9* device = nullptr;
    if (FAILED(gSys.d3d->CreateDevice(gSys.adapter, D3DDEVTYPE_HAL, gSys.window, behaviour, &gSys.present, &device)) ||
        device == nullptr) {
        return FALSE;
    }
    gSys.device = device;
    return TRUE;
}

// Leaves no texture, stream, index buffer, shader or declaration bound.
void Unbind(IDirect3DDevice9* d) {
    for (DWORD stage = 0; stage < 8; ++stage) {
        d->SetTexture(stage, nullptr);
    }
    d->SetIndices(nullptr);
    for (UINT stream = 0; stream < 4; ++stream) {
        d->SetStreamSource(stream, nullptr, 0, 0);
    }
    d->SetPixelShader(nullptr);
    d->SetVertexDeclaration(nullptr);
    d->SetVertexShader(nullptr);
}

OvBool Open(void* params) {
    if (gSys.d3d != nullptr) {
        return FALSE;
    }
    gSys.window = params != nullptr ? *static_cast<HWND*>(params) : nullptr;
    gSys.d3d = Direct3DCreate9(31);
    if (gSys.d3d == nullptr) {
        return FALSE;
    }
    const UINT count = gSys.d3d->GetAdapterCount();
    UINT adapter = 0;
    while (adapter < count && FAILED(gSys.d3d->GetDeviceCaps(adapter, D3DDEVTYPE_HAL, &gSys.caps))) {
        ++adapter;
    }
    if (adapter == count) {
        gSys.d3d->Release();
        gSys.d3d = nullptr;
        return FALSE;
    }
    gSys.adapter = adapter;
    CountAdapterModes();
    ReadDesktopMode();
    return TRUE;
}

OvBool Close() {
    FreeModes();
    if (gSys.d3d != nullptr) {
        gSys.d3d->Release();
        gSys.d3d = nullptr;
    }
    return TRUE;
}

OvBool Start() {
    if (gSys.started) {
        return FALSE; // a running device is left as it is
    }
    if (gSys.d3d == nullptr || !CreateDevice()) {
        return FALSE;
    }
    if (gSys.window != nullptr) {
        RECT r{};
        GetClientRect(gSys.window, &r);
        gSys.current.width = static_cast<OvUInt32>(r.right);
        gSys.current.height = static_cast<OvUInt32>(r.bottom);
    }
    FetchSurfaces();
    OvD3D9DeviceResetCache();
    OvD3D9DeviceCacheSetDeviceTargets(gSys.backBuffer, gSys.depthSurface);
    OvD3D9VideoRasterListOpen();
    // A start that stops half-way leaves nothing of its own behind.
    const auto fail = [] {
        OvD3D9DynamicVertexBufferClose();
        OvD3D9Im2DClose();
        OvD3D9DeviceCacheClose();
        OvD3D9VideoRasterListClose();
        gSys.device->Release();
        gSys.device = nullptr;
        return FALSE;
    };
    if (!OvD3D9Im2DOpen()) {
        return fail();
    }
    OvD3D9RenderStateOpen();
    if (!OvD3D9DynamicVertexBufferOpen()) {
        return fail();
    }
    gSys.inScene = false;
    gSys.started = true;
    return TRUE;
}

OvBool Stop() {
    gSys.started = false;
    FreeModes();
    if (gSys.cpuFinalized) {
        OvCpuInitiateStop();
        gSys.cpuFinalized = false;
    }
    if (gSys.device != nullptr) {
        OvD3D9DeviceResetCache();
        Unbind(gSys.device);
        // Rasters still alive keep what they hold of this device; the next device's resets
        // must not reach them.
        OvD3D9VideoRasterListClose();
        // Immediate-mode 2D gives its declaration back before the cache releases the rest.
        OvD3D9Im2DClose();
        OvD3D9DeviceCacheClose();
        OvD3D9DynamicVertexBufferClose();
        gSys.device->Release();
        gSys.device = nullptr;
    }
    gSys.backBuffer = nullptr;
    gSys.depthSurface = nullptr;
    gSys.inScene = false;
    return TRUE;
}

OvBool FillStandardFunctions(OvStandardFunction* table, OvInt32 number) {
    if (table == nullptr) {
        return FALSE;
    }
    // Only the entries the caller's table has room for are written.
    for (OvInt32 i = 0; i < number; ++i) {
        table[i] = NoStandardFunction;
    }
    const std::pair<OvInt32, OvStandardFunction> installed[] = {
        {ovSTANDARDCAMERABEGINUPDATE, OvD3D9CameraBeginUpdate},
        {ovSTANDARDCOLORTOPIXEL, OvD3D9ColorToPixel},
        {ovSTANDARDPIXELTOCOLOR, OvD3D9PixelToColor},
        {ovSTANDARDCAMERACLEAR, OvD3D9CameraClear},
        {ovSTANDARDCAMERAENDUPDATE, OvD3D9CameraEndUpdate},
        {ovSTANDARDRASTERSHOWRASTER, OvD3D9RasterShowRaster},
        {ovSTANDARDRASTERCREATE, OvD3D9RasterCreate},
        {ovSTANDARDRASTERDESTROY, OvD3D9RasterDestroy},
        {ovSTANDARDRASTERLOCK, OvD3D9RasterLock},
        {ovSTANDARDRASTERUNLOCK, OvD3D9RasterUnlock},
        {ovSTANDARDRASTERGETNUMLEVELS, OvD3D9RasterGetNumLevels},
        {ovSTANDARDRASTERFORMATFORIMAGE, OvD3D9RasterFormatForImage},
        {ovSTANDARDRASTERLOCKPALETTE, OvD3D9RasterLockPalette},
        {ovSTANDARDRASTERUNLOCKPALETTE, OvD3D9RasterUnlockPalette},
        {ovSTANDARDIMAGEGETFROMRASTER, OvD3D9ImageGetFromRaster},
        {ovSTANDARDRASTERSETFROMIMAGE, OvD3D9RasterSetFromImage},
        {ovSTANDARDTEXTURESETRASTER, OvD3D9TextureSetRaster},
        {ovSTANDARDSETCONTEXTRASTER, OvD3D9SetContextRaster},
        {ovSTANDARDRASTERSUBRASTER, OvD3D9RasterSubRaster},
        {ovSTANDARDRASTERCLEARRECT, OvD3D9RasterClearRect},
        {ovSTANDARDRASTERCLEAR, OvD3D9RasterClear},
        {ovSTANDARDRASTERRENDER, OvD3D9RasterRender},
        {ovSTANDARDRASTERRENDERSCALED, OvD3D9RasterRenderScaled},
        {ovSTANDARDRASTERRENDERFAST, OvD3D9RasterRenderFast},
        {ovSTANDARDNATIVETEXTUREGETSIZE, OvD3D9NativeTextureGetSize},
        {ovSTANDARDNATIVETEXTUREREAD, OvD3D9NativeTextureRead},
        {ovSTANDARDNATIVETEXTUREWRITE, OvD3D9NativeTextureWrite},
    };
    for (const auto& [index, function] : installed) {
        if (index < number) {
            table[index] = function;
        }
    }
    return TRUE;
}

OvBool SetVideoMode(OvInt32 index) {
    if (gSys.started) {
        return FALSE;
    }
    EnsureModes();
    if (index < 0 || static_cast<std::size_t>(index) >= gSys.modes.size()) {
        return FALSE;
    }
    gSys.current = gSys.modes[static_cast<std::size_t>(index)];
    gSys.currentDepth = FormatDepth(gSys.current.format);
    gSys.selected = index;
    return TRUE;
}

OvBool SetSubSystem(OvInt32 index) {
    // Switching adapters under a running device would resize and reset it.
    if (gSys.started || index < 0 || static_cast<UINT>(index) >= gSys.d3d->GetAdapterCount()) {
        return FALSE;
    }
    gSys.adapter = static_cast<UINT>(index);
    CountAdapterModes();
    ReadDesktopMode();
    BuildModes();
    return TRUE;
}

OvBool GetSubSystemInfo(void* out, OvInt32 index) {
    if (out == nullptr || index < 0 || static_cast<UINT>(index) >= gSys.d3d->GetAdapterCount()) {
        return FALSE;
    }
    D3DADAPTER_IDENTIFIER9 id{};
    if (FAILED(gSys.d3d->GetAdapterIdentifier(static_cast<UINT>(index), 0, &id))) {
        return FALSE;
    }
    auto* info = static_cast<OvSubSystemInfo*>(out);
    const std::size_t n = strnlen(id.Description, sizeof(id.Description));
    const std::size_t kept = std::min(n, sizeof(info->name) - 1);
    std::memcpy(info->name, id.Description, kept);
    info->name[kept] = '\0';
    return TRUE;
}

} // namespace

const OvDriver* OvD3D9Driver() { return &gDriver; }
OvDevice* OvD3D9DeviceGet() { return &gDevice; }
OvBool OvD3D9DriverPluginAttach() { return OvD3D9RasterOpen(); }
IDirect3D9* OvD3D9GetDirect3D() { return gSys.d3d; }
UINT OvD3D9GetAdapter() { return gSys.adapter; }
const D3DCAPS9* OvD3D9GetCaps() { return &gSys.caps; }
IDirect3DDevice9* OvD3D9GetDevice() { return gSys.device; }
IDirect3DSurface9* OvD3D9GetBackBuffer() { return gSys.backBuffer; }
IDirect3DSurface9* OvD3D9GetDepthSurface() { return gSys.depthSurface; }
const D3DPRESENT_PARAMETERS* OvD3D9GetPresentParameters() { return &gSys.present; }
D3DPRESENT_PARAMETERS* OvD3D9EditPresentParameters() { return &gSys.present; }
HWND OvD3D9GetWindow() { return gSys.window; }
void OvD3D9SetCurrentModeSize(OvUInt32 width, OvUInt32 height) {
    gSys.current.width = width;
    gSys.current.height = height;
}
OvInt32 OvD3D9GetZBufferDepth() { return gSys.zDepth; }
OvBool OvD3D9HasStencil() { return gSys.stencil ? TRUE : FALSE; }
const OvD3D9VideoMode* OvD3D9GetCurrentMode() { return &gSys.current; }
OvBool OvD3D9HasHardwareTnL() { return (gSys.caps.DevCaps & D3DDEVCAPS_HWTRANSFORMANDLIGHT) ? TRUE : FALSE; }
void OvD3D9DeviceSetRestoreCallback(OvD3D9RestoreCallback callback) { gSys.restore = callback; }
OvD3D9RestoreCallback OvD3D9DeviceGetRestoreCallback() { return gSys.restore; }
OvBool OvD3D9DeviceInScene() { return gSys.inScene ? TRUE : FALSE; }
void OvD3D9DeviceSetInScene(OvBool inScene) { gSys.inScene = inScene != FALSE; }

OvBool OvD3D9DeviceSystem(OvInt32 request, void* out, void* inOut, OvInt32 number) {
    // Every request but open needs the Direct3D object.
    if (request != ovDEVICEREQUESTOPEN && request != ovDEVICEREQUESTGETDEVICE && gSys.d3d == nullptr) {
        return request == ovDEVICEREQUESTCLOSE || request == ovDEVICEREQUESTSTOP ? TRUE : FALSE;
    }
    switch (request) {
    case ovDEVICEREQUESTOPEN:
        return Open(inOut);
    case ovDEVICEREQUESTCLOSE:
        return Close();
    case ovDEVICEREQUESTSTART:
        return Start();
    case ovDEVICEREQUESTSTOP:
        return Stop();
    case ovDEVICEREQUESTGETDEVICE:
        if (out == nullptr) {
            return FALSE;
        }
        std::memcpy(out, &gDevice, sizeof(OvDevice));
        return TRUE;
    case ovDEVICEREQUESTGETNUMVIDEOMODES:
        if (out == nullptr) {
            return FALSE;
        }
        EnsureModes();
        *static_cast<OvInt32*>(out) = static_cast<OvInt32>(gSys.modes.size());
        return TRUE;
    case ovDEVICEREQUESTGETVIDEOMODEINFO: {
        EnsureModes();
        if (out == nullptr || number < 0 || static_cast<std::size_t>(number) >= gSys.modes.size()) {
            return FALSE;
        }
        const OvD3D9VideoMode& m = gSys.modes[static_cast<std::size_t>(number)];
        auto* info = static_cast<OvVideoMode*>(out);
        info->width = static_cast<OvInt32>(m.width);
        info->height = static_cast<OvInt32>(m.height);
        info->depth = FormatDepth(m.format);
        info->flags = m.flags;
        info->refRate = static_cast<OvInt32>(m.refRate);
        info->format = FormatRasterFormat(m.format);
        return TRUE;
    }
    case ovDEVICEREQUESTSETVIDEOMODE:
        return SetVideoMode(number);
    case ovDEVICEREQUESTFOCUS:
        if (gSys.device == nullptr) {
            return FALSE;
        }
        if (!gSys.present.Windowed) {
            ShowWindow(gSys.window, number != 0 ? SW_RESTORE : SW_HIDE);
        }
        return TRUE;
    case ovDEVICEREQUESTGETCURRENTVIDEOMODE:
        if (out == nullptr) {
            return FALSE;
        }
        *static_cast<OvInt32*>(out) = gSys.selected;
        return TRUE;
    case ovDEVICEREQUESTGETSTANDARDFUNCTIONS:
        return FillStandardFunctions(static_cast<OvStandardFunction*>(out), number);
    case ovDEVICEREQUESTGETTEXTUREMEMORY:
        if (out == nullptr || gSys.device == nullptr) {
            return FALSE;
        }
        *static_cast<OvUInt32*>(out) = gSys.device->GetAvailableTextureMem();
        return TRUE;
    case ovDEVICEREQUESTGETNUMSUBSYSTEMS:
        if (out == nullptr) {
            return FALSE;
        }
        *static_cast<OvInt32*>(out) = static_cast<OvInt32>(gSys.d3d->GetAdapterCount());
        return TRUE;
    case ovDEVICEREQUESTGETSUBSYSTEMINFO:
        return GetSubSystemInfo(out, number);
    case ovDEVICEREQUESTGETCURRENTSUBSYSTEM:
        if (out == nullptr) {
            return FALSE;
        }
        *static_cast<OvInt32*>(out) = static_cast<OvInt32>(gSys.adapter);
        return TRUE;
    case ovDEVICEREQUESTSETSUBSYSTEM:
        return SetSubSystem(number);
    case ovDEVICEREQUESTFINALIZESTART:
        if (!gSys.started) {
            return FALSE;
        }
        OvCpuFinalizeStart();
        gSys.cpuFinalized = true;
        return TRUE;
    case ovDEVICEREQUESTGETMAXTEXTURESIZE:
        if (out == nullptr) {
            return FALSE;
        }
        *static_cast<OvUInt32*>(out) = std::max(gSys.caps.MaxTextureWidth, gSys.caps.MaxTextureHeight);
        return TRUE;
    case ovDEVICEREQUEST22:
        if (out == nullptr) {
            return FALSE;
        }
        *static_cast<OvUInt16*>(out) = 2;
        return TRUE;
    default:
        return FALSE;
    }
}

void OvD3D9DeviceLostRelease() {
    if (gSys.device == nullptr) {
        return;
    }
    OvD3D9DeviceCacheForgetBindings();
    Unbind(gSys.device);
    OvD3D9SetRenderTargetSurface(0, gSys.backBuffer);
    for (OvUInt32 i = 1; i < ovD3D9NUMRENDERTARGETS; ++i) {
        OvD3D9SetRenderTargetSurface(i, nullptr);
    }
    OvD3D9SetDepthSurface(gSys.depthSurface);
    OvD3D9Im2DClose();
    OvD3D9Im3DReleaseDeviceObjects();
    OvD3D9DynamicVertexBufferReleaseAll();
    OvD3D9ReleaseVideoRasters();
    OvFreeListPurgeAll();
}

OvBool OvD3D9DeviceLostRestore() {
    if (gSys.device == nullptr) {
        return FALSE;
    }
    gSys.inScene = false; // a Reset ends the scene it came in
    FetchSurfaces();
    OvD3D9DeviceCacheSetDeviceTargets(gSys.backBuffer, gSys.depthSurface);
    // Rasters first: their default-pool surfaces and textures, then the buffers.
    const OvBool rasters = OvD3D9RestoreVideoRasters();
    const OvBool buffers = OvD3D9DynamicVertexBufferRestoreAll(); // whether or not a raster came back
    // The Reset put every state and light back to the device's defaults: the caches follow, and
    // immediate mode comes back, whether or not every raster and buffer did, since drawing goes
    // on with those that did.
    OvD3D9RenderStateReset();
    OvD3D9RestoreLights();
    const bool immediate = OvD3D9Im2DOpen() && OvD3D9Im3DCreateDeviceObjects();
    return rasters && buffers && immediate ? TRUE : FALSE;
}

OvBool OvD3D9DeviceRestoreWithCallback() {
    const OvBool restored = OvD3D9DeviceLostRestore();
    if (gSys.restore != nullptr) {
        gSys.restore();
    }
    return restored;
}

HRESULT OvD3D9DeviceResetOnce(OvBool* restored) {
    *restored = FALSE;
    if (gSys.device == nullptr) {
        return D3DERR_INVALIDCALL;
    }
    OvD3D9DeviceLostRelease();
    const HRESULT hr = gSys.device->Reset(&gSys.present);
    if (SUCCEEDED(hr)) {
        *restored = OvD3D9DeviceRestoreWithCallback();
    }
    return hr;
}

OvD3D9FrameCounters OvD3D9FrameCount = {0, 0, 0};

OvD3D9FrameCounters OvD3D9GetLastFrameCounters() { return gLastFrame; }

void OvD3D9EndFrameCounters() {
    gLastFrame = OvD3D9FrameCount;
    OvD3D9FrameCount = {0, 0, 0};
}

namespace {

// Releases, resets (a windowed device follows a changed desktop format once) and, when the
// Reset succeeded, restores. *restored: whether the restore succeeded too.
HRESULT ResetAndRestore(OvBool* restored) {
    *restored = FALSE;
    OvD3D9DeviceLostRelease();
    HRESULT hr = gSys.device->Reset(&gSys.present);
    if (hr == D3DERR_INVALIDCALL && gSys.present.Windowed) {
        // The desktop may have changed format behind a windowed device: follow it.
        D3DDISPLAYMODE display{};
        gSys.d3d->GetAdapterDisplayMode(gSys.adapter, &display);
        gSys.current.format = display.Format;
        gSys.currentDepth = FormatDepth(display.Format);
        gSys.present.BackBufferFormat = display.Format;
        ChooseDepthFormat(display.Format);
        hr = gSys.device->Reset(&gSys.present);
    }
    if (SUCCEEDED(hr)) {
        *restored = OvD3D9DeviceRestoreWithCallback();
    }
    return hr;
}

} // namespace

OvBool OvD3D9DeviceReset() {
    if (gSys.device == nullptr) {
        return FALSE;
    }
    OvBool restored = FALSE;
    return SUCCEEDED(ResetAndRestore(&restored)) && restored ? TRUE : FALSE;
}

OvBool OvD3D9DeviceCheckLost() {
    if (gSys.device == nullptr) {
        return FALSE;
    }
    const HRESULT level = gSys.device->TestCooperativeLevel();
    bool ok = level == D3D_OK;
    if (level == D3DERR_DEVICENOTRESET) {
        // The answer follows the Reset: a device that was reset draws, even when some resource
        // could not be made again (that one is missing from the picture, not the whole frame).
        OvBool restored = FALSE;
        ok = SUCCEEDED(ResetAndRestore(&restored));
    }
    if (!ok) {
        gSys.inScene = false;
        return FALSE;
    }
    if (!gSys.inScene && SUCCEEDED(gSys.device->BeginScene())) {
        gSys.inScene = true;
    }
    return gSys.inScene ? TRUE : FALSE;
}
