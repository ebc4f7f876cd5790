// The Direct3D 9 stand-in's device at work: copies between surfaces, render targets, the scene
// and clear, the state setters and getters with their checks, and the validation of draws before
// they reach the rasteriser. Reads and writes the device's state and its surfaces.

#include "platform/d3d9_device.h"
#include "platform/d3d9_device_internal.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <emmintrin.h>
#include <new>

namespace d3d9 {
namespace {

bool ValidTransform(DWORD t) {
    return t == D3DTS_VIEW || t == D3DTS_PROJECTION || (t >= D3DTS_TEXTURE0 && t < D3DTS_TEXTURE0 + kStages) ||
           (t >= D3DTS_WORLD && t < kTransforms);
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
    ++to.version;
}

bool BlockAligned(const RECT& r, const Image& image) {
    if (!image.info->block)
        return true;
    auto ok = [](LONG v, UINT edge) { return (v & 3) == 0 || v == static_cast<LONG>(edge); };
    return ok(r.left, image.width) && ok(r.top, image.height) && ok(r.right, image.width) && ok(r.bottom, image.height);
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
            ++d->Level(f, l)->image.version;
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
    ++d->image.version;
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
    ++to.version;
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
    ++s->image.version;
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
    // Each row of each rectangle within the viewport and the image, large ones shared out on the
    // rasteriser's threads: `run` gets its first pixel and its length in bytes.
    auto fill = [&](Image& image, const auto& run) {
        for (DWORD i = 0; i < n; ++i) {
            const LONG x0 = std::max({list[i].x1, viewport.x1, LONG{0}});
            const LONG y0 = std::max({list[i].y1, viewport.y1, LONG{0}});
            const LONG x1 = std::min({list[i].x2, viewport.x2, static_cast<LONG>(image.width)});
            const LONG y1 = std::min({list[i].y2, viewport.y2, static_cast<LONG>(image.height)});
            if (x0 >= x1 || y0 >= y1)
                continue;
            struct Rows {
                Image& image;
                const decltype(run)& write;
                LONG x0, y0;
                std::size_t length;
            } rows{image, run, x0, y0, static_cast<std::size_t>(x1 - x0) * image.info->bytes};
            ShareRows(
                static_cast<int>(y1 - y0), rows.length,
                [](void* context, int first, int end) {
                    const Rows& r = *static_cast<const Rows*>(context);
                    for (int y = first; y < end; ++y)
                        r.write(r.image.At(static_cast<UINT>(r.x0), static_cast<UINT>(r.y0 + y)), r.length);
                },
                &rows);
        }
    };
    // A row of the image's width repeating one pixel: the pixel, then what is written doubled.
    auto repeat = [](const Image& image, const BYTE* pixel) {
        const std::size_t bytes = image.info->bytes;
        std::vector<BYTE> row(static_cast<std::size_t>(image.width) * bytes);
        if (row.empty())
            return row;
        std::memcpy(row.data(), pixel, bytes);
        for (std::size_t done = bytes; done < row.size(); done *= 2)
            std::memcpy(row.data() + done, row.data(), std::min(done, row.size() - done));
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
        const std::vector<BYTE> set = repeat(depth->image, zeros);
        if (std::all_of(keep, keep + bytes, [](BYTE k) { return k == 0; })) {
            fill(depth->image, [&](BYTE* p, std::size_t length) { std::memcpy(p, set.data(), length); });
        } else {
            const std::vector<BYTE> kept = repeat(depth->image, keep);
            fill(depth->image, [&](BYTE* p, std::size_t length) {
                const BYTE *k = kept.data(), *s = set.data(); // held, not read again after each store
                for (std::size_t b = 0; b < length; ++b)
                    p[b] = static_cast<BYTE>((p[b] & k[b]) | s[b]);
            });
        }
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

// The smallest and largest index of `count` indices (little-endian): 16-bit ones eight at a time
// as signed words with the top bit flipped, which order as the indices do, 32-bit ones in a loop
// the compiler turns into vector minima and maxima.
void IndexRange(const BYTE* data, D3DFORMAT format, std::uint64_t count, std::uint64_t* low, std::uint64_t* high) {
    std::uint32_t lo = ~std::uint32_t{0}, hi = 0;
    if (format == D3DFMT_INDEX16) {
        std::uint64_t i = 0;
        if (count >= 8) {
            const __m128i flip = _mm_set1_epi16(static_cast<short>(0x8000));
            __m128i least = _mm_set1_epi16(0x7FFF), most = flip;
            for (; i + 8 <= count; i += 8) {
                const __m128i v = _mm_xor_si128(_mm_loadu_si128(reinterpret_cast<const __m128i*>(data + 2 * i)), flip);
                least = _mm_min_epi16(least, v);
                most = _mm_max_epi16(most, v);
            }
            alignas(16) std::uint16_t l[8], h[8];
            _mm_store_si128(reinterpret_cast<__m128i*>(l), _mm_xor_si128(least, flip));
            _mm_store_si128(reinterpret_cast<__m128i*>(h), _mm_xor_si128(most, flip));
            for (int k = 0; k < 8; ++k) {
                lo = std::min<std::uint32_t>(lo, l[k]);
                hi = std::max<std::uint32_t>(hi, h[k]);
            }
        }
        for (; i < count; ++i) {
            const std::uint32_t v =
                static_cast<std::uint32_t>(data[2 * i]) | static_cast<std::uint32_t>(data[2 * i + 1]) << 8;
            lo = std::min(lo, v);
            hi = std::max(hi, v);
        }
    } else {
        for (std::uint64_t i = 0; i < count; ++i) {
            const std::uint32_t v =
                static_cast<std::uint32_t>(data[4 * i]) | static_cast<std::uint32_t>(data[4 * i + 1]) << 8 |
                static_cast<std::uint32_t>(data[4 * i + 2]) << 16 | static_cast<std::uint32_t>(data[4 * i + 3]) << 24;
            lo = std::min(lo, v);
            hi = std::max(hi, v);
        }
    }
    *low = count != 0 ? lo : ~std::uint64_t{0};
    *high = hi;
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
    if (!call.indexed) {
        call.lowVertex = call.startVertex;
        call.highVertex = std::uint64_t{call.startVertex} + call.vertices - 1;
    }
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
        call.lowVertex = static_cast<std::uint64_t>(static_cast<std::int64_t>(low) + baseVertex);
        call.highVertex = static_cast<std::uint64_t>(static_cast<std::int64_t>(high) + baseVertex);
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
        call.lowVertex = low;
        call.highVertex = high;
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
