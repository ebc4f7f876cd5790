// The Direct3D 9 stand-in's entry point and adapter object, the adapter presets, and the
// stand-in's controls: scripted failures and the call log.

#include "platform/controls.h"
#include "platform/d3d9_device.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace d3d9 {
namespace {

struct Script {
    std::string method;
    HRESULT result;
    int times;
    int skip;
};

struct Controls {
    std::vector<D3d9Adapter> adapters{D3d9DefaultAdapter()};
    std::vector<Script> scripts;
    bool log = false;
    std::vector<std::string> lines;
};

Controls& C() {
    static Controls controls;
    return controls;
}

bool Contains(const std::vector<D3DFORMAT>& list, D3DFORMAT format) {
    return std::find(list.begin(), list.end(), format) != list.end();
}

bool HasModeFormat(const D3d9Adapter& a, D3DFORMAT format) {
    if (a.desktop.Format == format)
        return true;
    for (const D3DDISPLAYMODE& m : a.modes)
        if (m.Format == format)
            return true;
    return false;
}

// The display format a back-buffer format is shown in.
D3DFORMAT DisplayFormatOf(D3DFORMAT backBuffer) {
    switch (backBuffer) {
    case D3DFMT_A8R8G8B8:
        return D3DFMT_X8R8G8B8;
    case D3DFMT_A1R5G5B5:
        return D3DFMT_X1R5G5B5;
    default:
        return backBuffer;
    }
}

} // namespace

bool LogOn() { return C().log; }

void Log(std::string line) { C().lines.push_back(std::move(line)); }

bool Scripted(const char* method, HRESULT* result) {
    auto& scripts = C().scripts;
    for (auto it = scripts.begin(); it != scripts.end(); ++it) {
        if (it->method != method)
            continue;
        if (it->skip > 0) {
            --it->skip;
            return false;
        }
        *result = it->result;
        if (--it->times <= 0)
            scripts.erase(it);
        return true;
    }
    return false;
}

HRESULT CheckFormat(const D3d9Adapter& a, DWORD usage, D3DRESOURCETYPE type, D3DFORMAT format) {
    const std::vector<D3DFORMAT>* list = nullptr;
    std::vector<D3DFORMAT> surfaces;
    if (usage & D3DUSAGE_DEPTHSTENCIL) {
        if (usage & D3DUSAGE_RENDERTARGET)
            return D3DERR_INVALIDCALL;
        list = type == D3DRTYPE_SURFACE ? &a.depthFormats : type == D3DRTYPE_TEXTURE ? &a.depthTextureFormats : nullptr;
    } else if (type == D3DRTYPE_CUBETEXTURE) {
        list = &a.cubeFormats;
        if (usage & D3DUSAGE_RENDERTARGET) {
            surfaces.clear();
            for (D3DFORMAT f : a.cubeFormats)
                if (Contains(a.renderTargetFormats, f))
                    surfaces.push_back(f);
            list = &surfaces;
        }
    } else if (usage & D3DUSAGE_RENDERTARGET) {
        list = &a.renderTargetFormats;
    } else if (type == D3DRTYPE_TEXTURE) {
        list = &a.textureFormats;
    } else if (type == D3DRTYPE_SURFACE) {
        surfaces = a.textureFormats;
        surfaces.insert(surfaces.end(), a.renderTargetFormats.begin(), a.renderTargetFormats.end());
        list = &surfaces;
    }
    if (list == nullptr || !Contains(*list, format) || Format(format) == nullptr)
        return D3DERR_NOTAVAILABLE;
    if (usage & D3DUSAGE_AUTOGENMIPMAP) {
        if (type == D3DRTYPE_SURFACE)
            return D3DERR_INVALIDCALL;
        return (a.caps.Caps2 & D3DCAPS2_CANAUTOGENMIPMAP) ? D3D_OK : D3DOK_NOAUTOGEN;
    }
    return D3D_OK;
}

HRESULT CompleteParams(const D3d9Adapter& a, HWND focus, D3DPRESENT_PARAMETERS* p, bool swapChain) {
    if (p == nullptr)
        return D3DERR_INVALIDCALL;
    const HWND window = p->hDeviceWindow != nullptr ? p->hDeviceWindow : focus;
    if (window == nullptr || !IsWindow(window))
        return D3DERR_INVALIDCALL;
    if (p->BackBufferCount == 0)
        p->BackBufferCount = 1;
    if (p->BackBufferCount > 1 || p->MultiSampleType != D3DMULTISAMPLE_NONE || p->SwapEffect < D3DSWAPEFFECT_DISCARD ||
        p->SwapEffect > D3DSWAPEFFECT_COPY)
        return D3DERR_INVALIDCALL;
    if (p->Windowed) {
        RECT client{};
        GetClientRect(window, &client);
        if (p->BackBufferWidth == 0)
            p->BackBufferWidth = std::max<UINT>(1, static_cast<UINT>(client.right - client.left));
        if (p->BackBufferHeight == 0)
            p->BackBufferHeight = std::max<UINT>(1, static_cast<UINT>(client.bottom - client.top));
        if (p->BackBufferFormat == D3DFMT_UNKNOWN)
            p->BackBufferFormat = a.desktop.Format;
        if (DisplayFormatOf(p->BackBufferFormat) != a.desktop.Format || p->FullScreen_RefreshRateInHz != 0)
            return D3DERR_INVALIDCALL;
    } else {
        if (swapChain)
            return D3DERR_INVALIDCALL; // additional swap chains are windowed
        const D3DFORMAT display = DisplayFormatOf(p->BackBufferFormat);
        const bool found = std::any_of(a.modes.begin(), a.modes.end(), [&](const D3DDISPLAYMODE& m) {
            return m.Width == p->BackBufferWidth && m.Height == p->BackBufferHeight && m.Format == display &&
                   (p->FullScreen_RefreshRateInHz == 0 || m.RefreshRate == p->FullScreen_RefreshRateInHz);
        });
        if (!found)
            return D3DERR_INVALIDCALL;
    }
    if (!Contains(a.renderTargetFormats, p->BackBufferFormat) || p->BackBufferWidth > kMaxSurfaceSide ||
        p->BackBufferHeight > kMaxSurfaceSide)
        return D3DERR_INVALIDCALL;
    if (p->EnableAutoDepthStencil && !swapChain && !Contains(a.depthFormats, p->AutoDepthStencilFormat))
        return D3DERR_INVALIDCALL;
    return D3D_OK;
}

// The adapter object ---------------------------------------------------------------------------------

ULONG Direct3D::AddRef() { return ++refs; }

ULONG Direct3D::Release() {
    if (refs == 0) {
        std::fprintf(stderr, "d3d9: Release of a Direct3D object whose count is already 0\n");
        std::abort();
    }
    const ULONG left = --refs;
    if (left == 0 && devices == 0)
        delete this;
    return left;
}

UINT Direct3D::GetAdapterCount() {
    LogCall("GetAdapterCount");
    return static_cast<UINT>(adapters.size());
}

HRESULT Direct3D::GetAdapterIdentifier(UINT adapter, DWORD flags, D3DADAPTER_IDENTIFIER9* id) {
    LogCall("GetAdapterIdentifier", adapter, flags);
    if (adapter >= adapters.size() || id == nullptr)
        return D3DERR_INVALIDCALL;
    std::memset(id, 0, sizeof *id);
    const D3d9Adapter& a = adapters[adapter];
    std::strncpy(id->Driver, "d3d9 stand-in", sizeof id->Driver - 1);
    std::strncpy(id->Description, a.description.c_str(), sizeof id->Description - 1);
    std::strncpy(id->DeviceName, "\\\\.\\DISPLAY1", sizeof id->DeviceName - 1);
    id->VendorId = a.vendorId;
    id->DeviceId = a.deviceId;
    return D3D_OK;
}

UINT Direct3D::GetAdapterModeCount(UINT adapter, D3DFORMAT format) {
    LogCall("GetAdapterModeCount", adapter, format);
    if (adapter >= adapters.size())
        return 0;
    const auto& modes = adapters[adapter].modes;
    return static_cast<UINT>(
        std::count_if(modes.begin(), modes.end(), [&](const D3DDISPLAYMODE& m) { return m.Format == format; }));
}

HRESULT Direct3D::EnumAdapterModes(UINT adapter, D3DFORMAT format, UINT mode, D3DDISPLAYMODE* out) {
    LogCall("EnumAdapterModes", adapter, format, mode);
    if (adapter >= adapters.size() || out == nullptr)
        return D3DERR_INVALIDCALL;
    for (const D3DDISPLAYMODE& m : adapters[adapter].modes)
        if (m.Format == format && mode-- == 0) {
            *out = m;
            return D3D_OK;
        }
    return D3DERR_INVALIDCALL;
}

HRESULT Direct3D::GetAdapterDisplayMode(UINT adapter, D3DDISPLAYMODE* out) {
    LogCall("GetAdapterDisplayMode", adapter);
    if (adapter >= adapters.size() || out == nullptr)
        return D3DERR_INVALIDCALL;
    *out = adapters[adapter].desktop;
    return D3D_OK;
}

HRESULT Direct3D::CheckDeviceType(UINT adapter, D3DDEVTYPE type, D3DFORMAT display, D3DFORMAT backBuffer,
                                  BOOL windowed) {
    LogCall("CheckDeviceType", adapter, type, display, backBuffer, windowed);
    if (adapter >= adapters.size() || type != D3DDEVTYPE_HAL)
        return D3DERR_INVALIDCALL;
    const D3d9Adapter& a = adapters[adapter];
    if (windowed ? display != a.desktop.Format : !HasModeFormat(a, display))
        return D3DERR_NOTAVAILABLE;
    if (backBuffer == D3DFMT_UNKNOWN)
        return windowed ? D3D_OK : D3DERR_INVALIDCALL;
    if (!Contains(a.renderTargetFormats, backBuffer) || DisplayFormatOf(backBuffer) != display)
        return D3DERR_NOTAVAILABLE;
    return D3D_OK;
}

HRESULT Direct3D::CheckDeviceFormat(UINT adapter, D3DDEVTYPE type, D3DFORMAT adapterFormat, DWORD usage,
                                    D3DRESOURCETYPE resourceType, D3DFORMAT format) {
    LogCall("CheckDeviceFormat", adapter, type, adapterFormat, usage, resourceType, format);
    HRESULT scripted;
    if (Scripted("CheckDeviceFormat", &scripted))
        return scripted;
    if (adapter >= adapters.size() || type != D3DDEVTYPE_HAL)
        return D3DERR_INVALIDCALL;
    if (!HasModeFormat(adapters[adapter], adapterFormat))
        return D3DERR_NOTAVAILABLE;
    return CheckFormat(adapters[adapter], usage, resourceType, format);
}

HRESULT Direct3D::CheckDepthStencilMatch(UINT adapter, D3DDEVTYPE type, D3DFORMAT adapterFormat, D3DFORMAT renderTarget,
                                         D3DFORMAT depth) {
    LogCall("CheckDepthStencilMatch", adapter, type, adapterFormat, renderTarget, depth);
    if (adapter >= adapters.size() || type != D3DDEVTYPE_HAL)
        return D3DERR_INVALIDCALL;
    const D3d9Adapter& a = adapters[adapter];
    if (!HasModeFormat(a, adapterFormat) || !Contains(a.renderTargetFormats, renderTarget) ||
        !Contains(a.depthFormats, depth))
        return D3DERR_NOTAVAILABLE;
    return D3D_OK;
}

HRESULT Direct3D::GetDeviceCaps(UINT adapter, D3DDEVTYPE type, D3DCAPS9* caps) {
    LogCall("GetDeviceCaps", adapter, type);
    HRESULT scripted;
    if (Scripted("GetDeviceCaps", &scripted))
        return scripted;
    if (adapter >= adapters.size() || type != D3DDEVTYPE_HAL || caps == nullptr)
        return D3DERR_INVALIDCALL;
    if (adapters[adapter].capsFail)
        return D3DERR_NOTAVAILABLE;
    *caps = adapters[adapter].caps;
    caps->AdapterOrdinal = adapter;
    return D3D_OK;
}

HRESULT Direct3D::CreateDevice(UINT adapter, D3DDEVTYPE type, HWND focus, DWORD flags, D3DPRESENT_PARAMETERS* params,
                               IDirect3DDevice9** out) {
    LogCall("CreateDevice", adapter, type, focus, flags, params);
    HRESULT scripted;
    if (Scripted("CreateDevice", &scripted))
        return scripted;
    if (out == nullptr || adapter >= adapters.size() || type != D3DDEVTYPE_HAL || params == nullptr)
        return D3DERR_INVALIDCALL;
    *out = nullptr;
    const D3d9Adapter& a = adapters[adapter];
    if (a.capsFail)
        return D3DERR_NOTAVAILABLE;
    const DWORD processing = flags & (D3DCREATE_SOFTWARE_VERTEXPROCESSING | D3DCREATE_HARDWARE_VERTEXPROCESSING |
                                      D3DCREATE_MIXED_VERTEXPROCESSING);
    if (processing != D3DCREATE_SOFTWARE_VERTEXPROCESSING && processing != D3DCREATE_HARDWARE_VERTEXPROCESSING &&
        processing != D3DCREATE_MIXED_VERTEXPROCESSING)
        return D3DERR_INVALIDCALL;
    if (processing != D3DCREATE_SOFTWARE_VERTEXPROCESSING && !(a.caps.DevCaps & D3DDEVCAPS_HWTRANSFORMANDLIGHT))
        return D3DERR_INVALIDCALL;
    if ((flags & D3DCREATE_PUREDEVICE) &&
        (processing != D3DCREATE_HARDWARE_VERTEXPROCESSING || !(a.caps.DevCaps & D3DDEVCAPS_PUREDEVICE)))
        return D3DERR_INVALIDCALL;
    if (!params->Windowed && (focus == nullptr || !IsWindow(focus)))
        return D3DERR_INVALIDCALL;
    if (const HRESULT hr = CompleteParams(a, focus, params, false); FAILED(hr))
        return hr;
    auto* device = new Device(this, adapter, a, focus, flags);
    if (const HRESULT hr = device->Start(params); FAILED(hr)) {
        device->Release();
        return hr;
    }
    *out = device;
    return D3D_OK;
}

} // namespace d3d9

// Entry point and controls -----------------------------------------------------------------------------

using namespace d3d9;

IDirect3D9* Direct3DCreate9(UINT sdkVersion) {
    LogCall("Direct3DCreate9", sdkVersion);
    HRESULT ignored;
    if (Scripted("Direct3DCreate9", &ignored))
        return nullptr;
    return new Direct3D(C().adapters);
}

D3DCAPS9 D3d9PresetCaps(D3d9Preset preset) {
    D3DCAPS9 c{};
    c.DeviceType = D3DDEVTYPE_HAL;
    c.PresentationIntervals = D3DPRESENT_INTERVAL_ONE | D3DPRESENT_INTERVAL_IMMEDIATE;
    c.DevCaps = D3DDEVCAPS_HWTRANSFORMANDLIGHT;
    c.DevCaps2 = D3DDEVCAPS2_STREAMOFFSET;
    c.PrimitiveMiscCaps = 0x2 | 0x20 | 0x40 | 0x80; // mask z, cull none / cw / ccw
    // Fog per vertex and per pixel, by distance too, and per pixel from the eye depth.
    c.RasterCaps = D3DPRASTERCAPS_ZTEST | D3DPRASTERCAPS_FOGVERTEX | D3DPRASTERCAPS_FOGTABLE | D3DPRASTERCAPS_FOGRANGE |
                   D3DPRASTERCAPS_WFOG;
    c.ZCmpCaps = 0xFF; // all eight compare functions
    c.AlphaCmpCaps = 0xFF;
    c.SrcBlendCaps = 0x7FF;     // ZERO .. SRCALPHASAT
    c.DestBlendCaps = 0x3FF;    // ZERO .. INVDESTCOLOR
    c.ShadeCaps = 0x8 | 0x4000; // Gouraud colour and alpha
    c.TextureCaps = D3DPTEXTURECAPS_PERSPECTIVE | D3DPTEXTURECAPS_POW2 | D3DPTEXTURECAPS_ALPHA | D3DPTEXTURECAPS_MIPMAP;
    c.TextureFilterCaps = D3DPTFILTERCAPS_MINFPOINT | D3DPTFILTERCAPS_MINFLINEAR | D3DPTFILTERCAPS_MIPFPOINT |
                          D3DPTFILTERCAPS_MIPFLINEAR | D3DPTFILTERCAPS_MAGFPOINT | D3DPTFILTERCAPS_MAGFLINEAR;
    c.CubeTextureFilterCaps = c.TextureFilterCaps;
    c.TextureAddressCaps =
        D3DPTADDRESSCAPS_WRAP | D3DPTADDRESSCAPS_MIRROR | D3DPTADDRESSCAPS_CLAMP | D3DPTADDRESSCAPS_BORDER;
    c.MaxTextureWidth = 2048;
    c.MaxTextureHeight = 2048;
    c.MaxTextureAspectRatio = 2048;
    c.MaxAnisotropy = 1;
    c.FVFCaps = 8; // texture coordinate sets
    // What the rasteriser's combiner does: every operation from DISABLE to BLENDCURRENTALPHA
    // (bit n - 1 for operation n), MULTIPLYADD and LERP.
    c.TextureOpCaps = 0xFFFF | D3DTEXOPCAPS_MULTIPLYADD | 0x2000000;
    c.MaxTextureBlendStages = 8;
    c.MaxSimultaneousTextures = 8;
    c.VertexProcessingCaps = 0x1 | 0x2 | 0x8 | 0x10; // texgen, material sources, directional and positional lights
    c.MaxActiveLights = 8;
    c.MaxPointSize = 1.0f;
    c.MaxPrimitiveCount = 0xFFFFF;
    c.MaxVertexIndex = 0xFFFFFF;
    c.MaxStreams = 16;
    c.MaxStreamStride = 255;
    c.NumSimultaneousRTs = 1;
    c.StretchRectFilterCaps =
        D3DPTFILTERCAPS_MINFPOINT | D3DPTFILTERCAPS_MINFLINEAR | D3DPTFILTERCAPS_MAGFPOINT | D3DPTFILTERCAPS_MAGFLINEAR;
    // The pixel stage runs ps_1_1 to ps_1_4; PLATFORM_PIXEL_SHADERS=0 hides it.
    bool pixelShaders = true;
    std::string error;
    if (!PlatformPixelShadersFromEnvironment(&pixelShaders, &error)) {
        std::fprintf(stderr, "%s\n", error.c_str());
        std::exit(2);
    }
    c.PixelShaderVersion = pixelShaders ? D3DPS_VERSION(1, 4) : 0;
    if (preset == D3d9Preset::ShaderModel2Vertex) {
        c.VertexShaderVersion = D3DVS_VERSION(2, 0);
        c.MaxVertexShaderConst = 256;
        c.DeclTypes = D3DDTCAPS_UBYTE4 | D3DDTCAPS_UBYTE4N | D3DDTCAPS_SHORT2N | D3DDTCAPS_SHORT4N |
                      D3DDTCAPS_USHORT2N | D3DDTCAPS_USHORT4N | D3DDTCAPS_DEC3N;
        c.VS20Caps.NumTemps = 12;
        c.VS20Caps.StaticFlowControlDepth = 1;
    }
    return c;
}

D3d9Adapter D3d9DefaultAdapter(D3d9Preset preset) {
    D3d9Adapter a;
    a.description = "Software rasteriser (stand-in)";
    a.vendorId = 0x5AFE;
    a.deviceId = 0x0009;
    a.desktop = D3DDISPLAYMODE{1024, 768, 60, D3DFMT_X8R8G8B8};
    static const UINT sizes[][2] = {{640, 480},  {800, 600},   {1024, 768}, {1152, 864},
                                    {1280, 960}, {1280, 1024}, {1600, 1200}};
    for (D3DFORMAT f : {D3DFMT_R5G6B5, D3DFMT_X8R8G8B8})
        for (const auto& s : sizes)
            for (UINT hz : {60u, 85u})
                a.modes.push_back(D3DDISPLAYMODE{s[0], s[1], hz, f});
    a.caps = D3d9PresetCaps(preset);
    a.textureFormats = {D3DFMT_A8R8G8B8, D3DFMT_X8R8G8B8, D3DFMT_R5G6B5, D3DFMT_X1R5G5B5,
                        D3DFMT_A1R5G5B5, D3DFMT_A4R4G4B4, D3DFMT_L8};
    a.renderTargetFormats = {D3DFMT_A8R8G8B8, D3DFMT_X8R8G8B8, D3DFMT_R5G6B5};
    a.depthFormats = {D3DFMT_D24S8, D3DFMT_D24X8, D3DFMT_D16, D3DFMT_D32};
    return a;
}

void D3d9SetAdapters(const std::vector<D3d9Adapter>& adapters) { C().adapters = adapters; }

void D3d9ResetStandIn() { C() = Controls{}; }

void D3d9ScriptFailure(const char* method, HRESULT result, int times, int skip) {
    if (times > 0)
        C().scripts.push_back(Script{method, result, times, skip});
}

void D3d9LoseDevice(IDirect3DDevice9* device) {
    if (auto* d = dynamic_cast<Device*>(device)) {
        d->cooperation = Device::Cooperation::Lost;
        d->scriptedLoss = true;
    }
}

void D3d9LogEnable(bool on) { C().log = on; }

void D3d9LogClear() { C().lines.clear(); }

const std::vector<std::string>& D3d9Log() { return C().lines; }

int D3d9LogCount(const char* method) {
    const std::size_t n = std::strlen(method);
    return static_cast<int>(std::count_if(C().lines.begin(), C().lines.end(), [&](const std::string& line) {
        return line.size() > n && line.compare(0, n, method) == 0 && line[n] == '(';
    }));
}

D3d9Counters D3d9DeviceCounters(IDirect3DDevice9* device) {
    auto* d = dynamic_cast<Device*>(device);
    return d != nullptr ? d->counters : D3d9Counters{};
}

int D3d9LiveObjects(IDirect3DDevice9* device) {
    auto* d = dynamic_cast<Device*>(device);
    if (d == nullptr)
        return 0;
    return static_cast<int>(std::count_if(d->objects.begin(), d->objects.end(), [](Object* o) {
        auto* s = dynamic_cast<Surface*>(o);
        return !o->implicit && (s == nullptr || s->container == nullptr);
    }));
}

std::vector<BYTE> D3d9SurfaceBytes(IDirect3DSurface9* surface) {
    auto* s = dynamic_cast<Surface*>(surface);
    if (s == nullptr || s->image.info == nullptr)
        return {};
    const Image& im = s->image;
    const std::size_t row = static_cast<std::size_t>(im.width) * im.info->bytes;
    std::vector<BYTE> out;
    for (UINT y = 0; y < im.height && !im.info->block; ++y)
        out.insert(out.end(), im.At(0, y), im.At(0, y) + row);
    return out;
}
