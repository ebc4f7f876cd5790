// The Direct3D 9 stand-in's device: creation of resources, the state store with the platform's
// defaults, Reset and the lost device, and present. Copies between surfaces, targets and clear,
// the state setters and the validation of draws before they reach the rasteriser are in
// d3d9_device_draw.cpp.

#include "platform/d3d9_device.h"
#include "platform/d3d9_device_internal.h"
#include "platform/present.h"
#include "platform/window.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

namespace d3d9 {
namespace {

DWORD FloatBits(float f) {
    DWORD d;
    std::memcpy(&d, &f, 4);
    return d;
}

D3DMATRIX Identity() {
    D3DMATRIX m{};
    for (int i = 0; i < 4; ++i)
        m.m[i][i] = 1.0f;
    return m;
}

bool IsPow2(UINT v) { return v != 0 && (v & (v - 1)) == 0; }

UINT FullChain(UINT w, UINT h) {
    UINT levels = 1;
    for (UINT m = std::max(w, h); m > 1; m >>= 1)
        ++levels;
    return levels;
}

// Largest buffer the stand-in allocates, bytes; a longer one answers out of video memory.
constexpr UINT kMaxBuffer = 1u << 28;

void DefaultState(State& s) {
    s.render.fill(0);
    auto& r = s.render;
    r[D3DRS_ZENABLE] = D3DZB_FALSE; // set to TRUE by the device when it has an automatic depth surface
    r[D3DRS_FILLMODE] = D3DFILL_SOLID;
    r[D3DRS_SHADEMODE] = D3DSHADE_GOURAUD;
    r[D3DRS_ZWRITEENABLE] = TRUE;
    r[D3DRS_LASTPIXEL] = TRUE;
    r[D3DRS_SRCBLEND] = D3DBLEND_ONE;
    r[D3DRS_DESTBLEND] = D3DBLEND_ZERO;
    r[D3DRS_CULLMODE] = D3DCULL_CCW;
    r[D3DRS_ZFUNC] = D3DCMP_LESSEQUAL;
    r[D3DRS_ALPHAFUNC] = D3DCMP_ALWAYS;
    r[D3DRS_FOGSTART] = FloatBits(0.0f);
    r[D3DRS_FOGEND] = FloatBits(1.0f);
    r[D3DRS_FOGDENSITY] = FloatBits(1.0f);
    r[D3DRS_STENCILFAIL] = D3DSTENCILOP_KEEP;
    r[D3DRS_STENCILZFAIL] = D3DSTENCILOP_KEEP;
    r[D3DRS_STENCILPASS] = D3DSTENCILOP_KEEP;
    r[D3DRS_STENCILFUNC] = D3DCMP_ALWAYS;
    r[D3DRS_STENCILMASK] = 0xFFFFFFFFu;
    r[D3DRS_STENCILWRITEMASK] = 0xFFFFFFFFu;
    r[D3DRS_TEXTUREFACTOR] = 0xFFFFFFFFu;
    r[D3DRS_CLIPPING] = TRUE;
    r[D3DRS_LIGHTING] = TRUE;
    r[D3DRS_COLORVERTEX] = TRUE;
    r[D3DRS_LOCALVIEWER] = TRUE;
    r[D3DRS_DIFFUSEMATERIALSOURCE] = D3DMCS_COLOR1;
    r[D3DRS_SPECULARMATERIALSOURCE] = D3DMCS_COLOR2;
    r[D3DRS_AMBIENTMATERIALSOURCE] = D3DMCS_MATERIAL;
    r[D3DRS_EMISSIVEMATERIALSOURCE] = D3DMCS_MATERIAL;
    r[D3DRS_POINTSIZE] = FloatBits(1.0f);
    r[D3DRS_POINTSIZE_MIN] = FloatBits(1.0f);
    r[D3DRS_POINTSCALE_A] = FloatBits(1.0f);
    r[D3DRS_MULTISAMPLEANTIALIAS] = TRUE;
    r[D3DRS_MULTISAMPLEMASK] = 0xFFFFFFFFu;
    r[D3DRS_POINTSIZE_MAX] = FloatBits(64.0f);
    r[D3DRS_COLORWRITEENABLE] = 0xF;
    r[D3DRS_BLENDOP] = D3DBLENDOP_ADD;
    r[172] = 3;               // position degree: cubic
    r[173] = 1;               // normal degree: linear
    r[178] = FloatBits(1.0f); // tessellation levels
    r[179] = FloatBits(1.0f);
    r[182] = FloatBits(1.0f); // adaptive tessellation z
    for (DWORD i = 186; i <= 188; ++i)
        r[i] = D3DSTENCILOP_KEEP; // counter-clockwise stencil operations
    r[189] = D3DCMP_ALWAYS;
    for (DWORD i = 190; i <= 192; ++i)
        r[i] = 0xF; // colour write masks of targets 1-3
    r[D3DRS_BLENDFACTOR] = 0xFFFFFFFFu;
    r[D3DRS_SRCBLENDALPHA] = D3DBLEND_ONE;
    r[D3DRS_DESTBLENDALPHA] = D3DBLEND_ZERO;
    r[D3DRS_BLENDOPALPHA] = D3DBLENDOP_ADD;

    for (UINT i = 0; i < kStages; ++i) {
        auto& t = s.stage[i];
        t.fill(0);
        t[D3DTSS_COLOROP] = i == 0 ? D3DTOP_MODULATE : D3DTOP_DISABLE;
        t[D3DTSS_COLORARG1] = D3DTA_TEXTURE;
        t[D3DTSS_COLORARG2] = D3DTA_CURRENT;
        t[D3DTSS_ALPHAOP] = i == 0 ? D3DTOP_SELECTARG1 : D3DTOP_DISABLE;
        t[D3DTSS_ALPHAARG1] = D3DTA_TEXTURE;
        t[D3DTSS_ALPHAARG2] = D3DTA_CURRENT;
        t[D3DTSS_TEXCOORDINDEX] = i;
        t[D3DTSS_COLORARG0] = D3DTA_CURRENT;
        t[D3DTSS_ALPHAARG0] = D3DTA_CURRENT;
        t[D3DTSS_RESULTARG] = D3DTA_CURRENT;
    }
    for (auto& m : s.sampler) {
        m.fill(0);
        m[D3DSAMP_ADDRESSU] = D3DTADDRESS_WRAP;
        m[D3DSAMP_ADDRESSV] = D3DTADDRESS_WRAP;
        m[D3DSAMP_ADDRESSW] = D3DTADDRESS_WRAP;
        m[D3DSAMP_MAGFILTER] = D3DTEXF_POINT;
        m[D3DSAMP_MINFILTER] = D3DTEXF_POINT;
        m[D3DSAMP_MIPFILTER] = D3DTEXF_NONE;
        m[D3DSAMP_MAXANISOTROPY] = 1;
    }
    s.transform.fill(Identity());
    s.material = D3DMATERIAL9{};
    s.lights.clear();
    s.viewport = D3DVIEWPORT9{0, 0, 0, 0, 0.0f, 1.0f};
    s.fvf = 0;
    for (auto& c : s.vertexConstants)
        c.fill(0.0f);
    for (auto& c : s.pixelConstants)
        c.fill(0.0f);
    s.palette = 0xFFFF;
}

} // namespace

// Life ---------------------------------------------------------------------------------------------------

Device::Device(Direct3D* d, UINT a, const D3d9Adapter& c, HWND f, DWORD fl)
    : d3d(d), adapter(a), config(c), focus(f), flags(fl) {
    ++d3d->devices;
    config.caps.AdapterOrdinal = a;
    DefaultState(state);
}

Device::~Device() {
    Direct3D* owner = d3d;
    if (--owner->devices == 0 && owner->refs == 0)
        delete owner;
}

void Device::Register(Object* object) { objects.push_back(object); }

void Device::Unregister(Object* object) {
    objects.erase(std::find(objects.begin(), objects.end(), object));
    MaybeDelete();
}

void Device::MaybeDelete() {
    if (!busy && refs == 0 && objects.empty())
        delete this;
}

ULONG Device::AddRef() { return ++refs; }

ULONG Device::Release() {
    if (refs == 0) {
        std::fprintf(stderr, "d3d9: Release of a device whose count is already 0\n");
        std::abort();
    }
    if (--refs > 0)
        return refs;
    // The system is done with the device: drop every binding and the implicit objects. Objects
    // the system still holds keep the device record until they are released.
    busy = true;
    UnbindAll();
    ReleaseImplicit();
    busy = false;
    MaybeDelete();
    return 0;
}

HRESULT Device::CreateImplicit() {
    swapChain = new SwapChain(this, params, Window());
    swapChain->implicit = true;
    swapChain->refs = 0;
    if (params.EnableAutoDepthStencil) {
        autoDepth = new Surface(this, nullptr, D3DPOOL_DEFAULT, D3DUSAGE_DEPTHSTENCIL, params.AutoDepthStencilFormat,
                                params.BackBufferWidth, params.BackBufferHeight);
        autoDepth->implicit = true;
        autoDepth->refs = 0;
        autoDepth->lockable = params.AutoDepthStencilFormat == D3DFMT_D16_LOCKABLE ||
                              params.AutoDepthStencilFormat == D3DFMT_D32F_LOCKABLE;
    }
    return D3D_OK;
}

void Device::ReleaseImplicit() {
    for (Object* o : {static_cast<Object*>(swapChain), static_cast<Object*>(autoDepth)}) {
        if (o == nullptr)
            continue;
        o->implicit = false; // from now on it lives only as long as the system holds it
        o->DeleteIfUnused();
    }
    swapChain = nullptr;
    autoDepth = nullptr;
}

void Device::UnbindAll() {
    for (auto& t : state.texture)
        Rebind(t, static_cast<TextureBase*>(nullptr));
    for (auto& s : state.streams)
        Rebind(s.buffer, static_cast<VertexBuffer*>(nullptr));
    Rebind(state.indices, static_cast<IndexBuffer*>(nullptr));
    Rebind(state.declaration, static_cast<VertexDeclaration*>(nullptr));
    Rebind(state.vertexShader, static_cast<VertexShader*>(nullptr));
    Rebind(state.pixelShader, static_cast<PixelShader*>(nullptr));
    for (auto& t : state.targets)
        Rebind(t, static_cast<Surface*>(nullptr));
    Rebind(state.depth, static_cast<Surface*>(nullptr));
}

void Device::ResetState() {
    UnbindAll();
    DefaultState(state);
    Surface* back = swapChain->backBuffer.get();
    Rebind(state.targets[0], back);
    Rebind(state.depth, autoDepth);
    state.render[D3DRS_ZENABLE] = autoDepth != nullptr ? D3DZB_TRUE : D3DZB_FALSE;
    state.viewport = D3DVIEWPORT9{0, 0, back->image.width, back->image.height, 0.0f, 1.0f};
}

HRESULT Device::Start(D3DPRESENT_PARAMETERS* p) {
    params = *p;
    CreateImplicit();
    ResetState();
    return D3D_OK;
}

// Cooperation, Reset and present -----------------------------------------------------------------------

bool Device::Lost() {
    if (!params.Windowed && PlatformActiveWindow() != Window())
        cooperation = Cooperation::Lost;
    return cooperation != Cooperation::Ok;
}

HRESULT Device::TestCooperativeLevel() {
    LogCall("TestCooperativeLevel");
    HRESULT scripted;
    if (Scripted("TestCooperativeLevel", &scripted))
        return scripted;
    if (!params.Windowed && PlatformActiveWindow() != Window()) {
        cooperation = Cooperation::Lost;
        return D3DERR_DEVICELOST;
    }
    if (cooperation == Cooperation::Lost) {
        if (scriptedLoss) {
            scriptedLoss = false;
            return D3DERR_DEVICELOST;
        }
        cooperation = Cooperation::NotReset;
    }
    return cooperation == Cooperation::NotReset ? D3DERR_DEVICENOTRESET : D3D_OK;
}

HRESULT Device::Reset(D3DPRESENT_PARAMETERS* p) {
    LogCall("Reset", p);
    HRESULT scripted;
    if (Scripted("Reset", &scripted)) {
        if (FAILED(scripted))
            cooperation = scripted == D3DERR_DEVICELOST ? Cooperation::Lost : Cooperation::NotReset;
        return scripted;
    }
    if (p == nullptr)
        return D3DERR_INVALIDCALL;
    if (!params.Windowed && PlatformActiveWindow() != Window() && !p->Windowed) {
        cooperation = Cooperation::Lost;
        return D3DERR_DEVICELOST;
    }
    D3DPRESENT_PARAMETERS next = *p;
    HRESULT hr = CompleteParams(config, focus, &next, false);
    // Every default-pool resource the system holds must be released first, the implicit back
    // buffer and depth surface included.
    if (SUCCEEDED(hr) && std::any_of(objects.begin(), objects.end(), [](Object* o) { return o->BlocksReset(); }))
        hr = D3DERR_INVALIDCALL;
    if (FAILED(hr)) {
        cooperation = Cooperation::NotReset;
        return hr;
    }
    busy = true;
    UnbindAll();
    ReleaseImplicit();
    params = next;
    *p = next;
    CreateImplicit();
    ResetState();
    palettes.clear();
    inScene = false;
    busy = false;
    cooperation = Cooperation::Ok;
    scriptedLoss = false;
    ++counters.resets;
    return D3D_OK;
}

HRESULT Device::Present(const RECT* source, const RECT* dest, HWND overrideWindow, const void* dirtyRegion) {
    LogCall("Present", source, dest, overrideWindow, dirtyRegion);
    HRESULT scripted;
    if (Scripted("Present", &scripted)) {
        if (scripted == D3DERR_DEVICELOST)
            cooperation = Cooperation::Lost;
        return scripted;
    }
    if (inScene || source != nullptr || dest != nullptr || dirtyRegion != nullptr)
        return D3DERR_INVALIDCALL;
    if (Lost())
        return D3DERR_DEVICELOST;
    return PresentSurface(swapChain->backBuffer.get(), overrideWindow != nullptr ? overrideWindow : Window());
}

HRESULT Device::PresentSurface(Surface* back, HWND window) {
    const Image& im = back->image;
    BOOL shown;
    if (im.format == D3DFMT_X8R8G8B8 || im.format == D3DFMT_A8R8G8B8) {
        shown = PlatformPresent(window, im.bytes.data(), im.width, im.height, im.pitch);
    } else {
        std::vector<DWORD> words(static_cast<std::size_t>(im.width) * im.height);
        for (UINT y = 0; y < im.height; ++y)
            for (UINT x = 0; x < im.width; ++x)
                words[static_cast<std::size_t>(y) * im.width + x] = ReadPixel(im.format, im.At(x, y), nullptr);
        shown = PlatformPresent(window, words.data(), im.width, im.height, im.width * 4);
    }
    if (!shown)
        return D3DERR_INVALIDCALL;
    ++counters.presents;
    return D3D_OK;
}

HRESULT Device::CreateAdditionalSwapChain(D3DPRESENT_PARAMETERS* p, IDirect3DSwapChain9** out) {
    LogCall("CreateAdditionalSwapChain", p);
    HRESULT scripted;
    if (Scripted("CreateAdditionalSwapChain", &scripted))
        return scripted;
    if (p == nullptr || out == nullptr)
        return D3DERR_INVALIDCALL;
    D3DPRESENT_PARAMETERS next = *p;
    if (const HRESULT hr = CompleteParams(config, focus, &next, true); FAILED(hr))
        return hr;
    *p = next;
    *out = new SwapChain(this, next, next.hDeviceWindow != nullptr ? next.hDeviceWindow : focus);
    return D3D_OK;
}

HRESULT Device::GetBackBuffer(UINT chain, UINT index, D3DBACKBUFFER_TYPE type, IDirect3DSurface9** surface) {
    LogCall("GetBackBuffer", chain, index, type);
    if (chain != 0)
        return D3DERR_INVALIDCALL;
    return swapChain->GetBackBuffer(index, type, surface);
}

UINT Device::GetAvailableTextureMem() {
    LogCall("GetAvailableTextureMem");
    return config.textureMemory;
}

HRESULT Device::EvictManagedResources() {
    LogCall("EvictManagedResources");
    return D3D_OK;
}

HRESULT Device::GetDeviceCaps(D3DCAPS9* caps) {
    LogCall("Device::GetDeviceCaps");
    if (caps == nullptr)
        return D3DERR_INVALIDCALL;
    *caps = config.caps;
    return D3D_OK;
}

HRESULT Device::ValidateDevice(DWORD* passes) {
    LogCall("ValidateDevice");
    if (passes == nullptr)
        return D3DERR_INVALIDCALL;
    *passes = 0;
    HRESULT scripted;
    if (Scripted("ValidateDevice", &scripted))
        return scripted;
    // The stages in use up to the first disabled one: each operation must be one the caps
    // claim, the stages no more than the blend stages, the textures they read no more than the
    // simultaneous textures.
    const DWORD opCaps = config.caps.TextureOpCaps;
    const auto supported = [opCaps](DWORD op) { return op >= 1 && op <= 32 && (opCaps & (1u << (op - 1))) != 0; };
    DWORD stages = 0, textures = 0;
    for (DWORD i = 0; i < kStages; ++i) {
        const auto& st = state.stage[i];
        if (st[D3DTSS_COLOROP] == D3DTOP_DISABLE)
            break;
        if (!supported(st[D3DTSS_COLOROP]))
            return D3DERR_UNSUPPORTEDCOLOROPERATION;
        if (st[D3DTSS_ALPHAOP] != D3DTOP_DISABLE && !supported(st[D3DTSS_ALPHAOP]))
            return D3DERR_UNSUPPORTEDALPHAOPERATION;
        ++stages;
        if (state.texture[i] != nullptr)
            ++textures;
    }
    if (stages > config.caps.MaxTextureBlendStages || textures > config.caps.MaxSimultaneousTextures)
        return D3DERR_TOOMANYOPERATIONS;
    *passes = 1;
    return D3D_OK;
}

HRESULT Device::CheckFormat(DWORD usage, D3DRESOURCETYPE type, D3DFORMAT format) {
    return d3d9::CheckFormat(config, usage, type, format);
}

const PALETTEENTRY* Device::CurrentPalette() const {
    const auto it = palettes.find(state.palette);
    return it != palettes.end() ? it->second.data() : nullptr;
}

// Resources -------------------------------------------------------------------------------------------

namespace {

template <class T> HRESULT Allocate(T** made, auto&& make) {
    try {
        *made = make();
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
    return D3D_OK;
}

} // namespace

HRESULT Device::CreateTexture(UINT width, UINT height, UINT levels, DWORD usage, D3DFORMAT format, D3DPOOL pool,
                              IDirect3DTexture9** out, HANDLE* shared) {
    LogCall("CreateTexture", width, height, levels, usage, format, pool);
    HRESULT scripted;
    if (Scripted("CreateTexture", &scripted))
        return scripted;
    if (out == nullptr || shared != nullptr || width == 0 || height == 0 || pool > D3DPOOL_SYSTEMMEM)
        return D3DERR_INVALIDCALL;
    *out = nullptr;
    const DWORD known = D3DUSAGE_RENDERTARGET | D3DUSAGE_DEPTHSTENCIL | D3DUSAGE_DYNAMIC | D3DUSAGE_AUTOGENMIPMAP;
    if ((usage & ~known) || ((usage & (D3DUSAGE_RENDERTARGET | D3DUSAGE_DEPTHSTENCIL)) && pool != D3DPOOL_DEFAULT) ||
        ((usage & D3DUSAGE_DYNAMIC) && pool == D3DPOOL_MANAGED))
        return D3DERR_INVALIDCALL;
    const D3DCAPS9& caps = config.caps;
    if (width > caps.MaxTextureWidth || height > caps.MaxTextureHeight)
        return D3DERR_INVALIDCALL;
    if ((caps.TextureCaps & D3DPTEXTURECAPS_POW2) && !(caps.TextureCaps & D3DPTEXTURECAPS_NONPOW2CONDITIONAL) &&
        (!IsPow2(width) || !IsPow2(height)))
        return D3DERR_INVALIDCALL;
    if ((caps.TextureCaps & D3DPTEXTURECAPS_SQUAREONLY) && width != height)
        return D3DERR_INVALIDCALL;
    if (FAILED(CheckFormat(usage & ~D3DUSAGE_DYNAMIC, D3DRTYPE_TEXTURE, format)))
        return D3DERR_INVALIDCALL;
    const UINT full = FullChain(width, height);
    const bool autoMip = (usage & D3DUSAGE_AUTOGENMIPMAP) != 0;
    if (autoMip ? levels > 1 : levels > full)
        return D3DERR_INVALIDCALL;
    const UINT allocated = levels == 0 || autoMip ? full : levels;
    Texture* t = nullptr;
    const HRESULT hr = Allocate(&t, [&] {
        auto made = std::make_unique<Texture>(this, pool);
        made->usage = usage;
        made->format = format;
        made->levelCount = autoMip ? 1 : allocated;
        made->CreateLevels(width, height, allocated);
        return made.release();
    });
    *out = t;
    return hr;
}

HRESULT Device::CreateCubeTexture(UINT edge, UINT levels, DWORD usage, D3DFORMAT format, D3DPOOL pool,
                                  IDirect3DCubeTexture9** out, HANDLE* shared) {
    LogCall("CreateCubeTexture", edge, levels, usage, format, pool);
    HRESULT scripted;
    if (Scripted("CreateCubeTexture", &scripted))
        return scripted;
    if (out == nullptr || shared != nullptr || edge == 0 || pool > D3DPOOL_SYSTEMMEM)
        return D3DERR_INVALIDCALL;
    *out = nullptr;
    const DWORD known = D3DUSAGE_RENDERTARGET | D3DUSAGE_DYNAMIC | D3DUSAGE_AUTOGENMIPMAP;
    if ((usage & ~known) || ((usage & D3DUSAGE_RENDERTARGET) && pool != D3DPOOL_DEFAULT) ||
        ((usage & D3DUSAGE_DYNAMIC) && pool == D3DPOOL_MANAGED))
        return D3DERR_INVALIDCALL;
    const D3DCAPS9& caps = config.caps;
    if (edge > caps.MaxTextureWidth || ((caps.TextureCaps & D3DPTEXTURECAPS_POW2) && !IsPow2(edge)))
        return D3DERR_INVALIDCALL;
    if (FAILED(CheckFormat(usage & ~D3DUSAGE_DYNAMIC, D3DRTYPE_CUBETEXTURE, format)))
        return D3DERR_INVALIDCALL;
    const UINT full = FullChain(edge, edge);
    const bool autoMip = (usage & D3DUSAGE_AUTOGENMIPMAP) != 0;
    if (autoMip ? levels > 1 : levels > full)
        return D3DERR_INVALIDCALL;
    const UINT allocated = levels == 0 || autoMip ? full : levels;
    CubeTexture* t = nullptr;
    const HRESULT hr = Allocate(&t, [&] {
        auto made = std::make_unique<CubeTexture>(this, pool);
        made->type = D3DRTYPE_CUBETEXTURE;
        made->faces = 6;
        made->usage = usage;
        made->format = format;
        made->levelCount = autoMip ? 1 : allocated;
        made->CreateLevels(edge, edge, allocated);
        return made.release();
    });
    *out = t;
    return hr;
}

HRESULT Device::CreateVertexBuffer(UINT length, DWORD usage, DWORD fvf, D3DPOOL pool, IDirect3DVertexBuffer9** out,
                                   HANDLE* shared) {
    LogCall("CreateVertexBuffer", length, usage, fvf, pool);
    HRESULT scripted;
    if (Scripted("CreateVertexBuffer", &scripted))
        return scripted;
    if (out == nullptr || shared != nullptr || length == 0 || pool > D3DPOOL_SYSTEMMEM)
        return D3DERR_INVALIDCALL;
    *out = nullptr;
    const DWORD known =
        D3DUSAGE_WRITEONLY | D3DUSAGE_SOFTWAREPROCESSING | D3DUSAGE_DONOTCLIP | D3DUSAGE_POINTS | D3DUSAGE_DYNAMIC;
    if ((usage & ~known) || ((usage & D3DUSAGE_DYNAMIC) && pool == D3DPOOL_MANAGED))
        return D3DERR_INVALIDCALL;
    if (fvf != 0) {
        std::vector<D3DVERTEXELEMENT9> elements;
        UINT stride = 0;
        if (!FvfElements(fvf, &elements, &stride) || length < stride)
            return D3DERR_INVALIDCALL;
    }
    if (length > kMaxBuffer)
        return D3DERR_OUTOFVIDEOMEMORY;
    VertexBuffer* b = nullptr;
    const HRESULT hr = Allocate(&b, [&] {
        auto made = std::make_unique<VertexBuffer>(this, pool);
        made->fvf = fvf;
        made->store.usage = usage;
        made->store.bytes.assign(length, 0);
        return made.release();
    });
    *out = b;
    return hr;
}

HRESULT Device::CreateIndexBuffer(UINT length, DWORD usage, D3DFORMAT format, D3DPOOL pool, IDirect3DIndexBuffer9** out,
                                  HANDLE* shared) {
    LogCall("CreateIndexBuffer", length, usage, format, pool);
    HRESULT scripted;
    if (Scripted("CreateIndexBuffer", &scripted))
        return scripted;
    if (out == nullptr || shared != nullptr || length == 0 || pool > D3DPOOL_SYSTEMMEM ||
        (format != D3DFMT_INDEX16 && format != D3DFMT_INDEX32))
        return D3DERR_INVALIDCALL;
    *out = nullptr;
    const DWORD known =
        D3DUSAGE_WRITEONLY | D3DUSAGE_SOFTWAREPROCESSING | D3DUSAGE_DONOTCLIP | D3DUSAGE_POINTS | D3DUSAGE_DYNAMIC;
    if ((usage & ~known) || ((usage & D3DUSAGE_DYNAMIC) && pool == D3DPOOL_MANAGED))
        return D3DERR_INVALIDCALL;
    if (length > kMaxBuffer)
        return D3DERR_OUTOFVIDEOMEMORY;
    IndexBuffer* b = nullptr;
    const HRESULT hr = Allocate(&b, [&] {
        auto made = std::make_unique<IndexBuffer>(this, pool);
        made->format = format;
        made->store.usage = usage;
        made->store.bytes.assign(length, 0);
        return made.release();
    });
    *out = b;
    return hr;
}

HRESULT Device::CreateDepthStencilSurface(UINT width, UINT height, D3DFORMAT format, D3DMULTISAMPLE_TYPE multiSample,
                                          DWORD quality, BOOL discard, IDirect3DSurface9** out, HANDLE* shared) {
    LogCall("CreateDepthStencilSurface", width, height, format, multiSample, quality, discard);
    HRESULT scripted;
    if (Scripted("CreateDepthStencilSurface", &scripted))
        return scripted;
    if (out == nullptr || shared != nullptr || width == 0 || height == 0 || width > kMaxSurfaceSide ||
        height > kMaxSurfaceSide || multiSample != D3DMULTISAMPLE_NONE || quality != 0)
        return D3DERR_INVALIDCALL;
    *out = nullptr;
    if (FAILED(CheckFormat(D3DUSAGE_DEPTHSTENCIL, D3DRTYPE_SURFACE, format)))
        return D3DERR_INVALIDCALL;
    Surface* s = nullptr;
    const HRESULT hr = Allocate(&s, [&] {
        auto made =
            std::make_unique<Surface>(this, nullptr, D3DPOOL_DEFAULT, D3DUSAGE_DEPTHSTENCIL, format, width, height);
        made->lockable = format == D3DFMT_D16_LOCKABLE || format == D3DFMT_D32F_LOCKABLE;
        return made.release();
    });
    *out = s;
    return hr;
}

HRESULT Device::CreateOffscreenPlainSurface(UINT width, UINT height, D3DFORMAT format, D3DPOOL pool,
                                            IDirect3DSurface9** out, HANDLE* shared) {
    LogCall("CreateOffscreenPlainSurface", width, height, format, pool);
    HRESULT scripted;
    if (Scripted("CreateOffscreenPlainSurface", &scripted))
        return scripted;
    if (out == nullptr || shared != nullptr || width == 0 || height == 0 || width > kMaxSurfaceSide ||
        height > kMaxSurfaceSide || (pool != D3DPOOL_DEFAULT && pool != D3DPOOL_SYSTEMMEM))
        return D3DERR_INVALIDCALL;
    *out = nullptr;
    if (FAILED(CheckFormat(0, D3DRTYPE_SURFACE, format)))
        return D3DERR_INVALIDCALL;
    Surface* s = nullptr;
    const HRESULT hr = Allocate(&s, [&] {
        auto made = std::make_unique<Surface>(this, nullptr, pool, 0, format, width, height);
        made->plain = true;
        return made.release();
    });
    *out = s;
    return hr;
}

HRESULT Device::CreateVertexDeclaration(const D3DVERTEXELEMENT9* elements, IDirect3DVertexDeclaration9** out) {
    LogCall("CreateVertexDeclaration", elements);
    HRESULT scripted;
    if (Scripted("CreateVertexDeclaration", &scripted))
        return scripted;
    if (elements == nullptr || out == nullptr)
        return D3DERR_INVALIDCALL;
    *out = nullptr;
    std::vector<D3DVERTEXELEMENT9> list;
    for (UINT i = 0;; ++i) {
        if (i > 64)
            return D3DERR_INVALIDCALL; // no end marker in reach
        const D3DVERTEXELEMENT9& e = elements[i];
        if (e.Stream == 0xFF)
            break;
        if (e.Stream >= kStreams || DeclTypeSize(e.Type) == 0 || e.Method != D3DDECLMETHOD_DEFAULT ||
            e.Usage > D3DDECLUSAGE_SAMPLE || (e.Offset & 3))
            return D3DERR_INVALIDCALL;
        for (const D3DVERTEXELEMENT9& o : list)
            if (o.Usage == e.Usage && o.UsageIndex == e.UsageIndex)
                return D3DERR_INVALIDCALL;
        list.push_back(e);
    }
    auto* d = new VertexDeclaration(this, D3DPOOL_MANAGED);
    d->elements = std::move(list);
    *out = d;
    return D3D_OK;
}

namespace {

// Copies a shader's tokens up to its end token; false when the blob is not one of `kind` with
// a version the device runs.
bool ShaderTokens(const DWORD* tokens, DWORD kind, DWORD maxVersion, std::vector<DWORD>* out) {
    if ((tokens[0] & 0xFFFF0000u) != kind || (tokens[0] & 0xFFFF) > (maxVersion & 0xFFFF) ||
        (maxVersion & 0xFFFF0000u) != kind)
        return false;
    constexpr std::size_t kMaxTokens = 1u << 16;
    for (std::size_t i = 1; i < kMaxTokens; ++i) {
        if (tokens[i] == 0x0000FFFFu) {
            out->assign(tokens, tokens + i + 1);
            return true;
        }
        if ((tokens[i] & 0xFFFF) == 0xFFFE) // a comment: its length is in the upper half
            i += (tokens[i] >> 16) & 0x7FFF;
    }
    return false;
}

} // namespace

HRESULT Device::CreateVertexShader(const DWORD* tokens, IDirect3DVertexShader9** out) {
    LogCall("CreateVertexShader", tokens);
    HRESULT scripted;
    if (Scripted("CreateVertexShader", &scripted))
        return scripted;
    if (tokens == nullptr || out == nullptr)
        return D3DERR_INVALIDCALL;
    *out = nullptr;
    // Software vertex processing runs every vertex-shader version up to 3.0; a 2.0 device with
    // extended caps (dynamic flow control) runs vs_2_x.
    DWORD version =
        (flags & D3DCREATE_SOFTWARE_VERTEXPROCESSING) ? D3DVS_VERSION(3, 0) : config.caps.VertexShaderVersion;
    if (version == D3DVS_VERSION(2, 0) && config.caps.VS20Caps.DynamicFlowControlDepth > 0)
        version = D3DVS_VERSION(2, 1);
    std::vector<DWORD> list;
    if (!ShaderTokens(tokens, 0xFFFE0000u, version, &list))
        return D3DERR_INVALIDCALL;
    // Only the stand-in's own assembler makes vertex shaders it can run.
    ShaderProgram program;
    if (!ShaderDecode(list.data(), list.size(), &program))
        return D3DERR_INVALIDCALL;
    auto* s = new VertexShader(this, D3DPOOL_MANAGED);
    s->tokens = std::move(list);
    s->program = std::move(program);
    *out = s;
    return D3D_OK;
}

HRESULT Device::CreatePixelShader(const DWORD* tokens, IDirect3DPixelShader9** out) {
    LogCall("CreatePixelShader", tokens);
    HRESULT scripted;
    if (Scripted("CreatePixelShader", &scripted))
        return scripted;
    if (tokens == nullptr || out == nullptr)
        return D3DERR_INVALIDCALL;
    *out = nullptr;
    std::vector<DWORD> list;
    if (!ShaderTokens(tokens, 0xFFFF0000u, config.caps.PixelShaderVersion, &list))
        return D3DERR_INVALIDCALL;
    PixelShaderProgram program;
    if (!PixelShaderDecode(list.data(), list.size(), &program))
        return D3DERR_INVALIDCALL;
    auto* s = new PixelShader(this, D3DPOOL_MANAGED);
    s->tokens = std::move(list);
    s->program = std::move(program);
    *out = s;
    return D3D_OK;
}

} // namespace d3d9
