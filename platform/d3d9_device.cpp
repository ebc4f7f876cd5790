// The Direct3D 9 stand-in's device: creation of resources, the state store with the platform's
// defaults, Reset and the lost device, clears and copies between surfaces, present, and the
// validation of draws before they reach the rasteriser.

#include "platform/d3d9_device.h"
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

bool ValidTransform(DWORD t) {
    return t == D3DTS_VIEW || t == D3DTS_PROJECTION || (t >= D3DTS_TEXTURE0 && t < D3DTS_TEXTURE0 + kStages) ||
           (t >= D3DTS_WORLD && t < kTransforms);
}

bool IsPow2(UINT v) { return v != 0 && (v & (v - 1)) == 0; }

UINT FullChain(UINT w, UINT h) {
    UINT levels = 1;
    for (UINT m = std::max(w, h); m > 1; m >>= 1)
        ++levels;
    return levels;
}

std::uint64_t VertexCount(D3DPRIMITIVETYPE type, std::uint64_t n) {
    switch (type) {
    case D3DPT_POINTLIST:
        return n;
    case D3DPT_LINELIST:
        return 2 * n;
    case D3DPT_LINESTRIP:
        return n + 1;
    case D3DPT_TRIANGLELIST:
        return 3 * n;
    default:
        return n + 2; // strips and fans
    }
}

// Largest buffer the stand-in allocates, bytes; a longer one answers out of video memory.
constexpr UINT kMaxBuffer = 1u << 28;

Object* OwnerOf(Surface* s) { return s->Owner(); }
Object* OwnerOf(Object* o) { return o; }

RECT Whole(const Image& image) { return RECT{0, 0, static_cast<LONG>(image.width), static_cast<LONG>(image.height)}; }

bool Inside(const RECT& r, const Image& image) {
    return r.left >= 0 && r.top >= 0 && r.left < r.right && r.top < r.bottom &&
           r.right <= static_cast<LONG>(image.width) && r.bottom <= static_cast<LONG>(image.height);
}

// Copies a rectangle between images of one format, byte for byte (blocks for DXT).
void CopyRect(const Image& from, const RECT& r, Image& to, LONG x, LONG y) {
    const FormatInfo& f = *from.info;
    const UINT div = f.block ? 4 : 1;
    const std::size_t rowBytes = static_cast<std::size_t>((r.right - r.left + div - 1) / div) * f.bytes;
    for (LONG row = r.top / div; row < (r.bottom + static_cast<LONG>(div) - 1) / static_cast<LONG>(div); ++row) {
        const BYTE* src = from.bytes.data() + static_cast<std::size_t>(row) * from.pitch + (r.left / div) * f.bytes;
        BYTE* dst =
            to.bytes.data() + static_cast<std::size_t>(y / div + row - r.top / div) * to.pitch + (x / div) * f.bytes;
        std::memcpy(dst, src, rowBytes);
    }
}

bool BlockAligned(const RECT& r, const Image& image) {
    if (!image.info->block)
        return true;
    auto ok = [](LONG v, UINT edge) { return (v & 3) == 0 || v == static_cast<LONG>(edge); };
    return ok(r.left, image.width) && ok(r.top, image.height) && ok(r.right, image.width) && ok(r.bottom, image.height);
}

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

bool ValidRenderState(DWORD s) {
    static const std::array<bool, kRenderStates> valid = [] {
        std::array<bool, kRenderStates> v{};
        for (DWORD i : {7, 8, 9, 14, 15, 16, 19, 20, 22, 23, 24, 25, 26, 27, 28, 29, 34, 35, 36, 37, 38, 48})
            v[i] = true;
        for (DWORD i = 52; i <= 60; ++i)
            v[i] = true;
        for (DWORD i = 128; i < kRenderStates; ++i)
            v[i] = true;
        for (DWORD i : {138, 144, 149, 150, 153, 164, 169, 177, 196, 197})
            v[i] = false; // gaps in the numbering
        return v;
    }();
    return s < kRenderStates && valid[s];
}

bool ValidStageState(DWORD s) { return (s >= 1 && s <= 11) || (s >= 22 && s <= 24) || (s >= 26 && s <= 28) || s == 32; }

bool ValidSamplerState(DWORD s) { return s >= 1 && s <= 13; }

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

template <class T> void Device::Rebind(T*& slot, T* object) {
    if (slot == object)
        return;
    if (object != nullptr)
        OwnerOf(object)->Bind();
    T* old = slot;
    slot = object;
    if (old != nullptr)
        OwnerOf(old)->Unbind();
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
    auto* s = new PixelShader(this, D3DPOOL_MANAGED);
    s->tokens = std::move(list);
    *out = s;
    return D3D_OK;
}

// Copies between surfaces ------------------------------------------------------------------------------

HRESULT Device::UpdateSurface(IDirect3DSurface9* source, const RECT* sourceRect, IDirect3DSurface9* dest,
                              const POINT* destPoint) {
    LogCall("UpdateSurface", source, sourceRect, dest, destPoint);
    auto* s = dynamic_cast<Surface*>(source);
    auto* d = dynamic_cast<Surface*>(dest);
    if (s == nullptr || d == nullptr || s->pool != D3DPOOL_SYSTEMMEM || d->pool != D3DPOOL_DEFAULT ||
        s->image.format != d->image.format || s->image.info->depth || s->locked || d->locked)
        return D3DERR_INVALIDCALL;
    const RECT r = sourceRect != nullptr ? *sourceRect : Whole(s->image);
    const POINT p = destPoint != nullptr ? *destPoint : POINT{0, 0};
    const RECT to{p.x, p.y, p.x + (r.right - r.left), p.y + (r.bottom - r.top)};
    if (!Inside(r, s->image) || !Inside(to, d->image) || !BlockAligned(r, s->image) || !BlockAligned(to, d->image))
        return D3DERR_INVALIDCALL;
    CopyRect(s->image, r, d->image, p.x, p.y);
    return D3D_OK;
}

HRESULT Device::UpdateTexture(IDirect3DBaseTexture9* source, IDirect3DBaseTexture9* dest) {
    LogCall("UpdateTexture", source, dest);
    auto* s = dynamic_cast<TextureBase*>(source);
    auto* d = dynamic_cast<TextureBase*>(dest);
    if (s == nullptr || d == nullptr || s->pool != D3DPOOL_SYSTEMMEM || d->pool != D3DPOOL_DEFAULT ||
        s->type != d->type || s->format != d->format)
        return D3DERR_INVALIDCALL;
    // The destination's top level matches one of the source's levels; the levels below follow.
    const Image& top = d->Level(0, 0)->image;
    UINT first = 0;
    while (first < s->levelCount &&
           (s->Level(0, first)->image.width != top.width || s->Level(0, first)->image.height != top.height))
        ++first;
    const UINT count = (d->usage & D3DUSAGE_AUTOGENMIPMAP) ? 1 : d->levelCount;
    if (first >= s->levelCount || s->levelCount - first < count)
        return D3DERR_INVALIDCALL;
    for (UINT f = 0; f < d->faces; ++f)
        for (UINT l = 0; l < count; ++l) {
            if (s->Level(f, first + l)->locked || d->Level(f, l)->locked)
                return D3DERR_INVALIDCALL;
            d->Level(f, l)->image.bytes = s->Level(f, first + l)->image.bytes;
        }
    return D3D_OK;
}

HRESULT Device::GetRenderTargetData(IDirect3DSurface9* renderTarget, IDirect3DSurface9* dest) {
    LogCall("GetRenderTargetData", renderTarget, dest);
    auto* s = dynamic_cast<Surface*>(renderTarget);
    auto* d = dynamic_cast<Surface*>(dest);
    if (s == nullptr || d == nullptr || !(s->usage & D3DUSAGE_RENDERTARGET) || d->pool != D3DPOOL_SYSTEMMEM ||
        s->image.format != d->image.format || s->image.width != d->image.width || s->image.height != d->image.height ||
        d->locked)
        return D3DERR_INVALIDCALL;
    d->image.bytes = s->image.bytes;
    return D3D_OK;
}

HRESULT Device::StretchRect(IDirect3DSurface9* source, const RECT* sourceRect, IDirect3DSurface9* dest,
                            const RECT* destRect, D3DTEXTUREFILTERTYPE filter) {
    LogCall("StretchRect", source, sourceRect, dest, destRect, filter);
    auto* s = dynamic_cast<Surface*>(source);
    auto* d = dynamic_cast<Surface*>(dest);
    if (s == nullptr || d == nullptr || s == d || s->pool != D3DPOOL_DEFAULT || d->pool != D3DPOOL_DEFAULT ||
        filter > D3DTEXF_LINEAR || s->locked || d->locked)
        return D3DERR_INVALIDCALL;
    const Image& from = s->image;
    Image& to = d->image;
    if (from.info->depth || to.info->depth) {
        // Depth surfaces copy whole, between equal surfaces only.
        if (sourceRect != nullptr || destRect != nullptr || from.format != to.format || from.width != to.width ||
            from.height != to.height)
            return D3DERR_INVALIDCALL;
        to.bytes = from.bytes;
        return D3D_OK;
    }
    if (!(d->usage & D3DUSAGE_RENDERTARGET) && !d->plain)
        return D3DERR_INVALIDCALL;
    if (to.info->block || to.info->palette || from.info->palette)
        return D3DERR_INVALIDCALL;
    const RECT sr = sourceRect != nullptr ? *sourceRect : Whole(from);
    const RECT dr = destRect != nullptr ? *destRect : Whole(to);
    if (!Inside(sr, from) || !Inside(dr, to))
        return D3DERR_INVALIDCALL;
    const double sx = static_cast<double>(sr.right - sr.left) / (dr.right - dr.left);
    const double sy = static_cast<double>(sr.bottom - sr.top) / (dr.bottom - dr.top);
    auto texel = [&](LONG x, LONG y) {
        x = std::clamp(x, sr.left, sr.right - 1);
        y = std::clamp(y, sr.top, sr.bottom - 1);
        return ReadTexel(from, static_cast<UINT>(x), static_cast<UINT>(y), nullptr);
    };
    for (LONG y = dr.top; y < dr.bottom; ++y)
        for (LONG x = dr.left; x < dr.right; ++x) {
            // The source position of the destination pixel's centre.
            const double u = sr.left + (x - dr.left + 0.5) * sx, v = sr.top + (y - dr.top + 0.5) * sy;
            D3DCOLOR c;
            if (filter == D3DTEXF_LINEAR) {
                const double fu = u - 0.5, fv = v - 0.5;
                const LONG x0 = static_cast<LONG>(std::floor(fu)), y0 = static_cast<LONG>(std::floor(fv));
                const double ax = fu - x0, ay = fv - y0;
                const D3DCOLOR t[4] = {texel(x0, y0), texel(x0 + 1, y0), texel(x0, y0 + 1), texel(x0 + 1, y0 + 1)};
                c = 0;
                for (int shift = 0; shift < 32; shift += 8) {
                    auto ch = [&](int i) { return static_cast<double>((t[i] >> shift) & 255); };
                    const double top = ch(0) + (ch(1) - ch(0)) * ax, bottom = ch(2) + (ch(3) - ch(2)) * ax;
                    c |= static_cast<DWORD>(std::lround(top + (bottom - top) * ay)) << shift;
                }
            } else {
                c = texel(static_cast<LONG>(std::floor(u)), static_cast<LONG>(std::floor(v)));
            }
            WritePixel(to.format, to.At(static_cast<UINT>(x), static_cast<UINT>(y)), c);
        }
    return D3D_OK;
}

HRESULT Device::ColorFill(IDirect3DSurface9* surface, const RECT* rect, D3DCOLOR color) {
    LogCall("ColorFill", surface, rect, color);
    auto* s = dynamic_cast<Surface*>(surface);
    if (s == nullptr || s->pool != D3DPOOL_DEFAULT || s->locked || s->image.info->depth || s->image.info->block ||
        s->image.info->palette || (!(s->usage & D3DUSAGE_RENDERTARGET) && !s->plain))
        return D3DERR_INVALIDCALL;
    const RECT r = rect != nullptr ? *rect : Whole(s->image);
    if (!Inside(r, s->image))
        return D3DERR_INVALIDCALL;
    for (LONG y = r.top; y < r.bottom; ++y)
        for (LONG x = r.left; x < r.right; ++x)
            WritePixel(s->image.format, s->image.At(static_cast<UINT>(x), static_cast<UINT>(y)), color);
    return D3D_OK;
}

// Targets, scene and clear ----------------------------------------------------------------------------

HRESULT Device::SetRenderTarget(DWORD index, IDirect3DSurface9* surface) {
    LogCall("SetRenderTarget", index, surface);
    if (index >= kTargets)
        return D3DERR_INVALIDCALL;
    auto* s = dynamic_cast<Surface*>(surface);
    if (s == nullptr) {
        if (index == 0 || surface != nullptr)
            return D3DERR_INVALIDCALL;
        Rebind(state.targets[index], static_cast<Surface*>(nullptr));
        return D3D_OK;
    }
    if (index >= config.caps.NumSimultaneousRTs || !(s->usage & D3DUSAGE_RENDERTARGET))
        return D3DERR_INVALIDCALL;
    Rebind(state.targets[index], s);
    if (index == 0) // the platform sets the viewport to the whole new target
        state.viewport = D3DVIEWPORT9{0, 0, s->image.width, s->image.height, 0.0f, 1.0f};
    return D3D_OK;
}

HRESULT Device::GetRenderTarget(DWORD index, IDirect3DSurface9** surface) {
    LogCall("GetRenderTarget", index);
    if (index >= kTargets || surface == nullptr)
        return D3DERR_INVALIDCALL;
    *surface = state.targets[index];
    if (*surface == nullptr)
        return D3DERR_NOTFOUND;
    (*surface)->AddRef();
    return D3D_OK;
}

HRESULT Device::SetDepthStencilSurface(IDirect3DSurface9* surface) {
    LogCall("SetDepthStencilSurface", surface);
    auto* s = dynamic_cast<Surface*>(surface);
    if (surface != nullptr && (s == nullptr || !(s->usage & D3DUSAGE_DEPTHSTENCIL)))
        return D3DERR_INVALIDCALL;
    Rebind(state.depth, s);
    return D3D_OK;
}

HRESULT Device::GetDepthStencilSurface(IDirect3DSurface9** surface) {
    LogCall("GetDepthStencilSurface");
    if (surface == nullptr)
        return D3DERR_INVALIDCALL;
    *surface = state.depth;
    if (*surface == nullptr)
        return D3DERR_NOTFOUND;
    (*surface)->AddRef();
    return D3D_OK;
}

HRESULT Device::BeginScene() {
    LogCall("BeginScene");
    if (inScene)
        return D3DERR_INVALIDCALL;
    inScene = true;
    return D3D_OK;
}

HRESULT Device::EndScene() {
    LogCall("EndScene");
    if (!inScene)
        return D3DERR_INVALIDCALL;
    inScene = false;
    return D3D_OK;
}

HRESULT Device::Clear(DWORD count, const D3DRECT* rects, DWORD clearFlags, D3DCOLOR color, float z, DWORD stencil) {
    LogCall("Clear", count, rects, clearFlags, color, z, stencil);
    const DWORD known = D3DCLEAR_TARGET | D3DCLEAR_ZBUFFER | D3DCLEAR_STENCIL;
    if ((count != 0) != (rects != nullptr) || clearFlags == 0 || (clearFlags & ~known) || !(z >= 0.0f && z <= 1.0f))
        return D3DERR_INVALIDCALL;
    // Depth or stencil without such a surface fails the whole clear, colour included.
    Surface* depth = state.depth;
    if ((clearFlags & D3DCLEAR_ZBUFFER) && depth == nullptr)
        return D3DERR_INVALIDCALL;
    if ((clearFlags & D3DCLEAR_STENCIL) && (depth == nullptr || depth->image.info->stencilBits == 0))
        return D3DERR_INVALIDCALL;
    const D3DVIEWPORT9& vp = state.viewport;
    const D3DRECT viewport{static_cast<LONG>(vp.X), static_cast<LONG>(vp.Y), static_cast<LONG>(vp.X + vp.Width),
                           static_cast<LONG>(vp.Y + vp.Height)};
    const D3DRECT* list = rects != nullptr ? rects : &viewport;
    const DWORD n = rects != nullptr ? count : 1;
    // Each row of each rectangle within the viewport and the image: `run` gets its first pixel and
    // its length in bytes.
    auto fill = [&](Image& image, auto&& run) {
        for (DWORD i = 0; i < n; ++i) {
            const LONG x0 = std::max({list[i].x1, viewport.x1, LONG{0}});
            const LONG y0 = std::max({list[i].y1, viewport.y1, LONG{0}});
            const LONG x1 = std::min({list[i].x2, viewport.x2, static_cast<LONG>(image.width)});
            const LONG y1 = std::min({list[i].y2, viewport.y2, static_cast<LONG>(image.height)});
            for (LONG y = y0; y < y1 && x0 < x1; ++y)
                run(image.At(static_cast<UINT>(x0), static_cast<UINT>(y)),
                    static_cast<std::size_t>(x1 - x0) * image.info->bytes);
        }
    };
    // A row of the image's width repeating one pixel.
    auto repeat = [](const Image& image, const BYTE* pixel) {
        const UINT bytes = image.info->bytes;
        std::vector<BYTE> row(static_cast<std::size_t>(image.width) * bytes);
        for (std::size_t at = 0; at < row.size(); at += bytes)
            std::memcpy(row.data() + at, pixel, bytes);
        return row;
    };
    if (clearFlags & D3DCLEAR_TARGET) {
        for (Surface* t : state.targets) {
            if (t == nullptr)
                continue;
            // One pixel encoded, then copied.
            BYTE pixel[16] = {};
            WritePixel(t->image.format, pixel, color);
            const std::vector<BYTE> row = repeat(t->image, pixel);
            fill(t->image, [&](BYTE* p, std::size_t length) { std::memcpy(p, row.data(), length); });
        }
    }
    if (clearFlags & (D3DCLEAR_ZBUFFER | D3DCLEAR_STENCIL)) {
        const D3DFORMAT f = depth->image.format;
        auto write = [&](BYTE* p) {
            if (clearFlags & D3DCLEAR_ZBUFFER)
                WriteDepth(f, p, z);
            if (clearFlags & D3DCLEAR_STENCIL)
                WriteStencil(f, p, stencil);
        };
        // Depth and stencil are bit fields: a bit the clear keeps is 0 in `zeros` and 1 in `ones`,
        // a bit it sets has its new value in both. One pixel is encoded and laid over the old ones.
        BYTE zeros[16] = {}, ones[16];
        std::memset(ones, 0xFF, sizeof ones);
        write(zeros);
        write(ones);
        const UINT bytes = depth->image.info->bytes;
        BYTE keep[16];
        for (UINT b = 0; b < bytes; ++b)
            keep[b] = static_cast<BYTE>(zeros[b] ^ ones[b]);
        const std::vector<BYTE> set = repeat(depth->image, zeros), kept = repeat(depth->image, keep);
        if (std::all_of(keep, keep + bytes, [](BYTE k) { return k == 0; }))
            fill(depth->image, [&](BYTE* p, std::size_t length) { std::memcpy(p, set.data(), length); });
        else
            fill(depth->image, [&](BYTE* p, std::size_t length) {
                for (std::size_t b = 0; b < length; ++b)
                    p[b] = static_cast<BYTE>((p[b] & kept[b]) | set[b]);
            });
    }
    ++counters.clears;
    return D3D_OK;
}

// State ---------------------------------------------------------------------------------------------

HRESULT Device::SetTransform(D3DTRANSFORMSTATETYPE t, const D3DMATRIX* matrix) {
    LogCall("SetTransform", t, matrix);
    if (!ValidTransform(t) || matrix == nullptr)
        return D3DERR_INVALIDCALL;
    state.transform[t] = *matrix;
    return D3D_OK;
}

HRESULT Device::GetTransform(D3DTRANSFORMSTATETYPE t, D3DMATRIX* matrix) {
    if (!ValidTransform(t) || matrix == nullptr)
        return D3DERR_INVALIDCALL;
    *matrix = state.transform[t];
    return D3D_OK;
}

HRESULT Device::SetViewport(const D3DVIEWPORT9* v) {
    LogCall("SetViewport", v);
    if (v == nullptr || state.targets[0] == nullptr)
        return D3DERR_INVALIDCALL;
    const Image& target = state.targets[0]->image;
    if (v->Width == 0 || v->Height == 0 || v->X >= target.width || v->Y >= target.height ||
        v->Width > target.width - v->X || v->Height > target.height - v->Y || !(v->MinZ >= 0.0f) ||
        !(v->MaxZ <= 1.0f) || !(v->MinZ <= v->MaxZ))
        return D3DERR_INVALIDCALL;
    state.viewport = *v;
    return D3D_OK;
}

HRESULT Device::GetViewport(D3DVIEWPORT9* v) {
    if (v == nullptr)
        return D3DERR_INVALIDCALL;
    *v = state.viewport;
    return D3D_OK;
}

HRESULT Device::SetMaterial(const D3DMATERIAL9* material) {
    LogCall("SetMaterial", material);
    if (material == nullptr)
        return D3DERR_INVALIDCALL;
    state.material = *material;
    return D3D_OK;
}

HRESULT Device::GetMaterial(D3DMATERIAL9* material) {
    if (material == nullptr)
        return D3DERR_INVALIDCALL;
    *material = state.material;
    return D3D_OK;
}

HRESULT Device::SetLight(DWORD index, const D3DLIGHT9* light) {
    LogCall("SetLight", index, light);
    if (light == nullptr || light->Type < D3DLIGHT_POINT || light->Type > D3DLIGHT_DIRECTIONAL ||
        !(light->Range >= 0.0f))
        return D3DERR_INVALIDCALL;
    if (light->Type != D3DLIGHT_POINT) {
        const D3DVECTOR& d = light->Direction;
        if (d.x == 0.0f && d.y == 0.0f && d.z == 0.0f)
            return D3DERR_INVALIDCALL;
    }
    if (light->Type == D3DLIGHT_SPOT &&
        !(light->Theta >= 0.0f && light->Theta <= light->Phi && light->Phi <= 3.14159275f))
        return D3DERR_INVALIDCALL;
    state.lights[index].light = *light;
    return D3D_OK;
}

HRESULT Device::GetLight(DWORD index, D3DLIGHT9* light) {
    const auto it = state.lights.find(index);
    if (light == nullptr || it == state.lights.end())
        return D3DERR_INVALIDCALL;
    *light = it->second.light;
    return D3D_OK;
}

HRESULT Device::LightEnable(DWORD index, BOOL enable) {
    LogCall("LightEnable", index, enable);
    auto it = state.lights.find(index);
    if (it == state.lights.end()) {
        // A light enabled before it was set is the platform's default light: white, directional,
        // pointing along +z.
        Light made;
        made.light.Type = D3DLIGHT_DIRECTIONAL;
        made.light.Diffuse = D3DCOLORVALUE{1.0f, 1.0f, 1.0f, 0.0f};
        made.light.Direction = D3DVECTOR{0.0f, 0.0f, 1.0f};
        it = state.lights.emplace(index, made).first;
    }
    if (enable && !it->second.enabled) {
        const auto on =
            std::count_if(state.lights.begin(), state.lights.end(), [](const auto& l) { return l.second.enabled; });
        if (static_cast<DWORD>(on) >= config.caps.MaxActiveLights)
            return D3DERR_INVALIDCALL;
    }
    it->second.enabled = enable != FALSE;
    return D3D_OK;
}

HRESULT Device::GetLightEnable(DWORD index, BOOL* enable) {
    const auto it = state.lights.find(index);
    if (enable == nullptr || it == state.lights.end())
        return D3DERR_INVALIDCALL;
    *enable = it->second.enabled ? TRUE : FALSE;
    return D3D_OK;
}

HRESULT Device::SetRenderState(D3DRENDERSTATETYPE s, DWORD value) {
    LogCall("SetRenderState", s, value);
    if (!ValidRenderState(s))
        return D3DERR_INVALIDCALL;
    state.render[s] = value;
    return D3D_OK;
}

HRESULT Device::GetRenderState(D3DRENDERSTATETYPE s, DWORD* value) {
    if (!ValidRenderState(s) || value == nullptr)
        return D3DERR_INVALIDCALL;
    *value = state.render[s];
    return D3D_OK;
}

HRESULT Device::SetPaletteEntries(UINT palette, const PALETTEENTRY* entries) {
    LogCall("SetPaletteEntries", palette, entries);
    if (entries == nullptr || palette > 0xFFFF)
        return D3DERR_INVALIDCALL;
    std::copy(entries, entries + 256, palettes[palette].begin());
    return D3D_OK;
}

HRESULT Device::SetCurrentTexturePalette(UINT palette) {
    LogCall("SetCurrentTexturePalette", palette);
    if (palettes.find(palette) == palettes.end())
        return D3DERR_INVALIDCALL;
    state.palette = palette;
    return D3D_OK;
}

HRESULT Device::SetTexture(DWORD stage, IDirect3DBaseTexture9* texture) {
    LogCall("SetTexture", stage, texture);
    auto* t = dynamic_cast<TextureBase*>(texture);
    if (stage >= kStages || (texture != nullptr && t == nullptr))
        return D3DERR_INVALIDCALL;
    Rebind(state.texture[stage], t);
    return D3D_OK;
}

HRESULT Device::GetTexture(DWORD stage, IDirect3DBaseTexture9** texture) {
    if (stage >= kStages || texture == nullptr)
        return D3DERR_INVALIDCALL;
    *texture = dynamic_cast<IDirect3DBaseTexture9*>(state.texture[stage]);
    if (*texture != nullptr)
        (*texture)->AddRef();
    return D3D_OK;
}

HRESULT Device::SetTextureStageState(DWORD stage, D3DTEXTURESTAGESTATETYPE s, DWORD value) {
    LogCall("SetTextureStageState", stage, s, value);
    if (stage >= kStages || !ValidStageState(s))
        return D3DERR_INVALIDCALL;
    state.stage[stage][s] = value;
    return D3D_OK;
}

HRESULT Device::GetTextureStageState(DWORD stage, D3DTEXTURESTAGESTATETYPE s, DWORD* value) {
    if (stage >= kStages || !ValidStageState(s) || value == nullptr)
        return D3DERR_INVALIDCALL;
    *value = state.stage[stage][s];
    return D3D_OK;
}

HRESULT Device::SetSamplerState(DWORD sampler, D3DSAMPLERSTATETYPE s, DWORD value) {
    LogCall("SetSamplerState", sampler, s, value);
    if (sampler >= kSamplers || !ValidSamplerState(s))
        return D3DERR_INVALIDCALL;
    state.sampler[sampler][s] = value;
    return D3D_OK;
}

HRESULT Device::GetSamplerState(DWORD sampler, D3DSAMPLERSTATETYPE s, DWORD* value) {
    if (sampler >= kSamplers || !ValidSamplerState(s) || value == nullptr)
        return D3DERR_INVALIDCALL;
    *value = state.sampler[sampler][s];
    return D3D_OK;
}

template <class T, class Interface> HRESULT Device::BindSlot(T*& slot, Interface* object) {
    auto* record = dynamic_cast<T*>(object);
    if (object != nullptr && record == nullptr)
        return D3DERR_INVALIDCALL; // not one of ours
    Rebind(slot, record);
    return D3D_OK;
}

void Device::Elements(std::vector<D3DVERTEXELEMENT9>* elements) const {
    if (state.declaration != nullptr) {
        *elements = state.declaration->elements;
    } else {
        UINT stride = 0;
        FvfElements(state.fvf, elements, &stride);
    }
}

HRESULT Device::SetVertexDeclaration(IDirect3DVertexDeclaration9* declaration) {
    LogCall("SetVertexDeclaration", declaration);
    const HRESULT hr = BindSlot(state.declaration, declaration);
    if (SUCCEEDED(hr))
        state.fvf = 0;
    return hr;
}

HRESULT Device::SetFVF(DWORD fvf) {
    LogCall("SetFVF", fvf);
    std::vector<D3DVERTEXELEMENT9> elements;
    UINT stride = 0;
    if (!FvfElements(fvf, &elements, &stride))
        return D3DERR_INVALIDCALL;
    Rebind(state.declaration, static_cast<VertexDeclaration*>(nullptr));
    state.fvf = fvf;
    return D3D_OK;
}

HRESULT Device::GetFVF(DWORD* fvf) {
    if (fvf == nullptr)
        return D3DERR_INVALIDCALL;
    *fvf = state.fvf;
    return D3D_OK;
}

HRESULT Device::SetStreamSource(UINT stream, IDirect3DVertexBuffer9* buffer, UINT offset, UINT stride) {
    LogCall("SetStreamSource", stream, buffer, offset, stride);
    auto* b = dynamic_cast<VertexBuffer*>(buffer);
    if (stream >= config.caps.MaxStreams || stream >= kStreams || (buffer != nullptr && b == nullptr) ||
        (offset != 0 && !(config.caps.DevCaps2 & D3DDEVCAPS2_STREAMOFFSET)) || (offset & 3) ||
        stride > config.caps.MaxStreamStride)
        return D3DERR_INVALIDCALL;
    Rebind(state.streams[stream].buffer, b);
    state.streams[stream].offset = offset;
    state.streams[stream].stride = stride;
    return D3D_OK;
}

HRESULT Device::SetIndices(IDirect3DIndexBuffer9* buffer) {
    LogCall("SetIndices", buffer);
    return BindSlot(state.indices, buffer);
}

HRESULT Device::SetVertexShader(IDirect3DVertexShader9* shader) {
    LogCall("SetVertexShader", shader);
    return BindSlot(state.vertexShader, shader);
}

HRESULT Device::SetPixelShader(IDirect3DPixelShader9* shader) {
    LogCall("SetPixelShader", shader);
    return BindSlot(state.pixelShader, shader);
}

HRESULT Device::SetVertexShaderConstantF(UINT first, const float* values, UINT count) {
    LogCall("SetVertexShaderConstantF", first, values, count);
    if (values == nullptr || first > kVertexConstants || count > kVertexConstants - first)
        return D3DERR_INVALIDCALL;
    for (UINT i = 0; i < count; ++i)
        std::copy(values + 4 * i, values + 4 * i + 4, state.vertexConstants[first + i].begin());
    return D3D_OK;
}

HRESULT Device::SetPixelShaderConstantF(UINT first, const float* values, UINT count) {
    LogCall("SetPixelShaderConstantF", first, values, count);
    if (values == nullptr || first > kPixelConstants || count > kPixelConstants - first)
        return D3DERR_INVALIDCALL;
    for (UINT i = 0; i < count; ++i)
        std::copy(values + 4 * i, values + 4 * i + 4, state.pixelConstants[first + i].begin());
    return D3D_OK;
}

// Draws ---------------------------------------------------------------------------------------------

namespace {

// Every vertex from `first` to `last` of the elements' streams lies inside its buffer.
bool StreamsHold(const State& s, const std::vector<D3DVERTEXELEMENT9>& elements, std::uint64_t last) {
    for (const D3DVERTEXELEMENT9& e : elements) {
        const Stream& st = s.streams[e.Stream];
        if (st.buffer == nullptr)
            return false;
        const std::uint64_t end = st.offset + last * st.stride + e.Offset + DeclTypeSize(e.Type);
        if (end > st.buffer->store.bytes.size())
            return false;
    }
    return true;
}

// The smallest and largest index of `count` indices.
void IndexRange(const BYTE* data, D3DFORMAT format, std::uint64_t count, std::uint64_t* low, std::uint64_t* high) {
    *low = ~std::uint64_t{0};
    *high = 0;
    for (std::uint64_t i = 0; i < count; ++i) {
        std::uint64_t v;
        if (format == D3DFMT_INDEX16) {
            v = static_cast<std::uint64_t>(data[2 * i]) | static_cast<std::uint64_t>(data[2 * i + 1]) << 8;
        } else {
            DWORD w;
            std::memcpy(&w, data + 4 * i, 4);
            v = w;
        }
        *low = std::min(*low, v);
        *high = std::max(*high, v);
    }
}

} // namespace

HRESULT Device::Draw(DrawCall& call) {
    if (!inScene || call.type < D3DPT_POINTLIST || call.type > D3DPT_TRIANGLEFAN)
        return D3DERR_INVALIDCALL;
    if (call.primitives > config.caps.MaxPrimitiveCount)
        return D3DERR_INVALIDCALL;
    if (call.elements.empty())
        Elements(&call.elements); // not yet read by the caller's own checks
    if (call.elements.empty())
        return D3DERR_INVALIDCALL;
    if (call.userVertices != nullptr)
        for (const D3DVERTEXELEMENT9& e : call.elements)
            if (e.Stream != 0)
                return D3DERR_INVALIDCALL; // user memory stands for stream 0 only
    if (call.primitives == 0)
        return D3D_OK; // nothing to draw
    call.vertices = static_cast<UINT>(VertexCount(call.type, call.primitives));
    ++counters.draws;
    counters.primitives += call.primitives;
    RasteriseDraw(*this, call);
    return D3D_OK;
}

HRESULT Device::DrawPrimitive(D3DPRIMITIVETYPE type, UINT startVertex, UINT count) {
    LogCall("DrawPrimitive", type, startVertex, count);
    DrawCall call;
    call.type = type;
    call.primitives = count;
    call.startVertex = startVertex;
    if (count > 0 && count <= config.caps.MaxPrimitiveCount && type >= D3DPT_POINTLIST && type <= D3DPT_TRIANGLEFAN) {
        Elements(&call.elements);
        if (!StreamsHold(state, call.elements, std::uint64_t{startVertex} + VertexCount(type, count) - 1))
            return D3DERR_INVALIDCALL;
    }
    return Draw(call);
}

HRESULT Device::DrawIndexedPrimitive(D3DPRIMITIVETYPE type, INT baseVertex, UINT minIndex, UINT numVertices,
                                     UINT startIndex, UINT count) {
    LogCall("DrawIndexedPrimitive", type, baseVertex, minIndex, numVertices, startIndex, count);
    if (state.indices == nullptr)
        return D3DERR_INVALIDCALL;
    DrawCall call;
    call.type = type;
    call.primitives = count;
    call.indexed = true;
    call.baseVertex = baseVertex;
    call.minIndex = minIndex;
    call.numVertices = numVertices;
    call.indexFormat = state.indices->format;
    if (count > 0 && count <= config.caps.MaxPrimitiveCount && type >= D3DPT_POINTLIST && type <= D3DPT_TRIANGLEFAN) {
        const std::uint64_t size = call.indexFormat == D3DFMT_INDEX16 ? 2 : 4;
        const std::uint64_t n = VertexCount(type, count);
        const auto& bytes = state.indices->store.bytes;
        if ((std::uint64_t{startIndex} + n) * size > bytes.size())
            return D3DERR_INVALIDCALL;
        call.indexData = bytes.data() + startIndex * size;
        std::uint64_t low, high;
        IndexRange(call.indexData, call.indexFormat, n, &low, &high);
        Elements(&call.elements);
        if (static_cast<std::int64_t>(low) + baseVertex < 0 ||
            !StreamsHold(state, call.elements,
                         static_cast<std::uint64_t>(static_cast<std::int64_t>(high) + baseVertex)))
            return D3DERR_INVALIDCALL;
    }
    return Draw(call);
}

HRESULT Device::DrawPrimitiveUP(D3DPRIMITIVETYPE type, UINT count, const void* vertices, UINT stride) {
    LogCall("DrawPrimitiveUP", type, count, vertices, stride);
    if (vertices == nullptr || stride == 0)
        return D3DERR_INVALIDCALL;
    DrawCall call;
    call.type = type;
    call.primitives = count;
    call.userVertices = static_cast<const BYTE*>(vertices);
    call.userStride = stride;
    const HRESULT hr = Draw(call);
    // The platform leaves stream 0 unset after a draw from user memory.
    if (SUCCEEDED(hr)) {
        Rebind(state.streams[0].buffer, static_cast<VertexBuffer*>(nullptr));
        state.streams[0].offset = state.streams[0].stride = 0;
    }
    return hr;
}

HRESULT Device::DrawIndexedPrimitiveUP(D3DPRIMITIVETYPE type, UINT minIndex, UINT numVertices, UINT count,
                                       const void* indices, D3DFORMAT indexFormat, const void* vertices, UINT stride) {
    LogCall("DrawIndexedPrimitiveUP", type, minIndex, numVertices, count, indices, indexFormat, vertices, stride);
    if (indices == nullptr || vertices == nullptr || stride == 0 ||
        (indexFormat != D3DFMT_INDEX16 && indexFormat != D3DFMT_INDEX32))
        return D3DERR_INVALIDCALL;
    DrawCall call;
    call.type = type;
    call.primitives = count;
    call.indexed = true;
    call.minIndex = minIndex;
    call.numVertices = numVertices;
    call.indexData = static_cast<const BYTE*>(indices);
    call.indexFormat = indexFormat;
    call.userVertices = static_cast<const BYTE*>(vertices);
    call.userStride = stride;
    if (count > 0 && count <= config.caps.MaxPrimitiveCount && type >= D3DPT_POINTLIST && type <= D3DPT_TRIANGLEFAN) {
        // The caller's vertex array is known only by the range it names: every index must lie in it.
        std::uint64_t low, high;
        IndexRange(call.indexData, indexFormat, VertexCount(type, count), &low, &high);
        if (low < minIndex || high >= std::uint64_t{minIndex} + numVertices)
            return D3DERR_INVALIDCALL;
    }
    const HRESULT hr = Draw(call);
    if (SUCCEEDED(hr)) {
        Rebind(state.streams[0].buffer, static_cast<VertexBuffer*>(nullptr));
        state.streams[0].offset = state.streams[0].stride = 0;
        Rebind(state.indices, static_cast<IndexBuffer*>(nullptr));
    }
    return hr;
}

} // namespace d3d9
