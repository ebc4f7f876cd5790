// The Direct3D 9 stand-in's resources: the pixel formats and their codec, surfaces, textures,
// cube textures, buffers, declarations, shaders and swap chains, and how they are counted.

#include "platform/d3d9_device.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace d3d9 {

// Formats ---------------------------------------------------------------------------------------------

namespace {

const FormatInfo kFormats[] = {
    // format, bytes, block, alpha, depth, stencil bits, palette
    {D3DFMT_R8G8B8, 3, false, false, false, 0, false},
    {D3DFMT_A8R8G8B8, 4, false, true, false, 0, false},
    {D3DFMT_X8R8G8B8, 4, false, false, false, 0, false},
    {D3DFMT_R5G6B5, 2, false, false, false, 0, false},
    {D3DFMT_X1R5G5B5, 2, false, false, false, 0, false},
    {D3DFMT_A1R5G5B5, 2, false, true, false, 0, false},
    {D3DFMT_A4R4G4B4, 2, false, true, false, 0, false},
    {D3DFMT_R3G3B2, 1, false, false, false, 0, false},
    {D3DFMT_A8, 1, false, true, false, 0, false},
    {D3DFMT_A8R3G3B2, 2, false, true, false, 0, false},
    {D3DFMT_X4R4G4B4, 2, false, false, false, 0, false},
    {D3DFMT_A8B8G8R8, 4, false, true, false, 0, false},
    {D3DFMT_X8B8G8R8, 4, false, false, false, 0, false},
    {D3DFMT_A2R10G10B10, 4, false, true, false, 0, false},
    {D3DFMT_A8P8, 2, false, true, false, 0, true},
    {D3DFMT_P8, 1, false, true, false, 0, true},
    {D3DFMT_L8, 1, false, false, false, 0, false},
    {D3DFMT_A8L8, 2, false, true, false, 0, false},
    {D3DFMT_A4L4, 1, false, true, false, 0, false},
    {D3DFMT_D16_LOCKABLE, 2, false, false, true, 0, false},
    {D3DFMT_D32, 4, false, false, true, 0, false},
    {D3DFMT_D15S1, 2, false, false, true, 1, false},
    {D3DFMT_D24S8, 4, false, false, true, 8, false},
    {D3DFMT_D24X8, 4, false, false, true, 0, false},
    {D3DFMT_D24X4S4, 4, false, false, true, 4, false},
    {D3DFMT_D16, 2, false, false, true, 0, false},
    {D3DFMT_D32F_LOCKABLE, 4, false, false, true, 0, false},
    {D3DFMT_D24FS8, 4, false, false, true, 8, false},
    {D3DFMT_DXT1, 8, true, true, false, 0, false},
    {D3DFMT_DXT2, 16, true, true, false, 0, false},
    {D3DFMT_DXT3, 16, true, true, false, 0, false},
    {D3DFMT_DXT4, 16, true, true, false, 0, false},
    {D3DFMT_DXT5, 16, true, true, false, 0, false},
};

// n-bit channel value to 8 bits by bit replication, and back rounding to the nearest.
inline DWORD Expand(DWORD v, int bits) {
    switch (bits) {
    case 1:
        return v ? 255 : 0;
    case 2:
        return v * 85;
    case 3:
        return (v << 5) | (v << 2) | (v >> 1);
    case 4:
        return v * 17;
    case 5:
        return (v << 3) | (v >> 2);
    case 6:
        return (v << 2) | (v >> 4);
    case 10:
        return v >> 2;
    default:
        return v;
    }
}

inline DWORD Reduce(DWORD c, int bits) {
    const DWORD max = (1u << bits) - 1;
    return (c * max + 127) / 255;
}

inline DWORD Argb(DWORD a, DWORD r, DWORD g, DWORD b) { return a << 24 | r << 16 | g << 8 | b; }

inline DWORD Load16(const BYTE* p) { return static_cast<DWORD>(p[0]) | static_cast<DWORD>(p[1]) << 8; }
inline DWORD Load32(const BYTE* p) {
    return static_cast<DWORD>(p[0]) | static_cast<DWORD>(p[1]) << 8 | static_cast<DWORD>(p[2]) << 16 |
           static_cast<DWORD>(p[3]) << 24;
}
inline void Store16(BYTE* p, DWORD v) {
    p[0] = static_cast<BYTE>(v);
    p[1] = static_cast<BYTE>(v >> 8);
}
inline void Store32(BYTE* p, DWORD v) {
    Store16(p, v);
    Store16(p + 2, v >> 16);
}

inline DWORD From565(DWORD v) { return Argb(255, Expand(v >> 11, 5), Expand((v >> 5) & 63, 6), Expand(v & 31, 5)); }

// The four colours of a DXT colour block; three and transparent black when `threeColour` allows it.
void ColourBlock(const BYTE* block, bool threeColour, D3DCOLOR out[16]) {
    const DWORD c0 = Load16(block), c1 = Load16(block + 2);
    D3DCOLOR palette[4] = {From565(c0), From565(c1), 0, 0};
    auto mix = [&](int w0, int w1, int d) {
        DWORD r = 0xFF000000u;
        for (int s = 0; s < 24; s += 8) {
            const DWORD a = (palette[0] >> s) & 255, b = (palette[1] >> s) & 255;
            r |= ((a * w0 + b * w1 + d / 2) / d) << s;
        }
        return r;
    };
    if (c0 > c1 || !threeColour) {
        palette[2] = mix(2, 1, 3);
        palette[3] = mix(1, 2, 3);
    } else {
        palette[2] = mix(1, 1, 2);
        palette[3] = 0;
    }
    const DWORD bits = Load32(block + 4);
    for (int i = 0; i < 16; ++i)
        out[i] = palette[(bits >> (2 * i)) & 3];
}

} // namespace

const FormatInfo* Format(D3DFORMAT format) {
    for (const FormatInfo& f : kFormats)
        if (f.format == format)
            return &f;
    return nullptr;
}

bool IsDisplayFormat(D3DFORMAT format) {
    return format == D3DFMT_X8R8G8B8 || format == D3DFMT_A8R8G8B8 || format == D3DFMT_R5G6B5 ||
           format == D3DFMT_X1R5G5B5 || format == D3DFMT_A1R5G5B5 || format == D3DFMT_A2R10G10B10;
}

UINT PitchOf(const FormatInfo& info, UINT width) {
    if (info.block)
        return (width + 3) / 4 * info.bytes;
    return (width * info.bytes + 3) & ~3u;
}

UINT RowsOf(const FormatInfo& info, UINT height) { return info.block ? (height + 3) / 4 : height; }

D3DCOLOR ReadPixel(D3DFORMAT format, const BYTE* p, const PALETTEENTRY* palette) {
    auto fromPalette = [&](DWORD index) -> DWORD {
        if (palette == nullptr)
            return 0xFF000000u;
        const PALETTEENTRY& e = palette[index];
        return Argb(e.peFlags, e.peRed, e.peGreen, e.peBlue);
    };
    switch (format) {
    case D3DFMT_R8G8B8:
        return Argb(255, p[2], p[1], p[0]);
    case D3DFMT_A8R8G8B8:
        return Load32(p);
    case D3DFMT_X8R8G8B8:
        return Load32(p) | 0xFF000000u;
    case D3DFMT_R5G6B5:
        return From565(Load16(p));
    case D3DFMT_X1R5G5B5:
    case D3DFMT_A1R5G5B5: {
        const DWORD v = Load16(p);
        const DWORD a = format == D3DFMT_A1R5G5B5 ? Expand(v >> 15, 1) : 255;
        return Argb(a, Expand((v >> 10) & 31, 5), Expand((v >> 5) & 31, 5), Expand(v & 31, 5));
    }
    case D3DFMT_A4R4G4B4:
    case D3DFMT_X4R4G4B4: {
        const DWORD v = Load16(p);
        const DWORD a = format == D3DFMT_A4R4G4B4 ? Expand(v >> 12, 4) : 255;
        return Argb(a, Expand((v >> 8) & 15, 4), Expand((v >> 4) & 15, 4), Expand(v & 15, 4));
    }
    case D3DFMT_R3G3B2:
    case D3DFMT_A8R3G3B2: {
        const DWORD v = format == D3DFMT_R3G3B2 ? p[0] : Load16(p);
        const DWORD a = format == D3DFMT_A8R3G3B2 ? v >> 8 : 255;
        return Argb(a, Expand((v >> 5) & 7, 3), Expand((v >> 2) & 7, 3), Expand(v & 3, 2));
    }
    case D3DFMT_A8:
        return Argb(p[0], 0, 0, 0);
    case D3DFMT_A8B8G8R8:
    case D3DFMT_X8B8G8R8: {
        const DWORD a = format == D3DFMT_A8B8G8R8 ? p[3] : 255;
        return Argb(a, p[0], p[1], p[2]);
    }
    case D3DFMT_A2R10G10B10: {
        const DWORD v = Load32(p);
        return Argb(Expand(v >> 30, 2), Expand((v >> 20) & 1023, 10), Expand((v >> 10) & 1023, 10),
                    Expand(v & 1023, 10));
    }
    case D3DFMT_P8:
        return fromPalette(p[0]);
    case D3DFMT_A8P8:
        return (fromPalette(p[0]) & 0x00FFFFFFu) | static_cast<DWORD>(p[1]) << 24;
    case D3DFMT_L8:
        return Argb(255, p[0], p[0], p[0]);
    case D3DFMT_A8L8:
        return Argb(p[1], p[0], p[0], p[0]);
    case D3DFMT_A4L4: {
        const DWORD l = Expand(p[0] & 15, 4);
        return Argb(Expand(p[0] >> 4, 4), l, l, l);
    }
    default:
        return 0xFF000000u;
    }
}

void WritePixel(D3DFORMAT format, BYTE* p, D3DCOLOR c) {
    const DWORD a = c >> 24, r = (c >> 16) & 255, g = (c >> 8) & 255, b = c & 255;
    switch (format) {
    case D3DFMT_R8G8B8:
        p[0] = static_cast<BYTE>(b);
        p[1] = static_cast<BYTE>(g);
        p[2] = static_cast<BYTE>(r);
        break;
    case D3DFMT_A8R8G8B8:
    case D3DFMT_X8R8G8B8:
        Store32(p, format == D3DFMT_X8R8G8B8 ? c | 0xFF000000u : c);
        break;
    case D3DFMT_R5G6B5:
        Store16(p, Reduce(r, 5) << 11 | Reduce(g, 6) << 5 | Reduce(b, 5));
        break;
    case D3DFMT_X1R5G5B5:
    case D3DFMT_A1R5G5B5: {
        const DWORD top = format == D3DFMT_A1R5G5B5 ? Reduce(a, 1) : 1;
        Store16(p, top << 15 | Reduce(r, 5) << 10 | Reduce(g, 5) << 5 | Reduce(b, 5));
        break;
    }
    case D3DFMT_A4R4G4B4:
    case D3DFMT_X4R4G4B4: {
        const DWORD top = format == D3DFMT_A4R4G4B4 ? Reduce(a, 4) : 15;
        Store16(p, top << 12 | Reduce(r, 4) << 8 | Reduce(g, 4) << 4 | Reduce(b, 4));
        break;
    }
    case D3DFMT_R3G3B2:
        p[0] = static_cast<BYTE>(Reduce(r, 3) << 5 | Reduce(g, 3) << 2 | Reduce(b, 2));
        break;
    case D3DFMT_A8R3G3B2:
        Store16(p, a << 8 | Reduce(r, 3) << 5 | Reduce(g, 3) << 2 | Reduce(b, 2));
        break;
    case D3DFMT_A8:
        p[0] = static_cast<BYTE>(a);
        break;
    case D3DFMT_A8B8G8R8:
    case D3DFMT_X8B8G8R8:
        p[0] = static_cast<BYTE>(r);
        p[1] = static_cast<BYTE>(g);
        p[2] = static_cast<BYTE>(b);
        p[3] = static_cast<BYTE>(format == D3DFMT_A8B8G8R8 ? a : 255);
        break;
    case D3DFMT_A2R10G10B10:
        Store32(p, Reduce(a, 2) << 30 | Reduce(r, 10) << 20 | Reduce(g, 10) << 10 | Reduce(b, 10));
        break;
    case D3DFMT_L8:
    case D3DFMT_A8L8:
    case D3DFMT_A4L4: {
        // Luminance with the weights of the video standard the platform uses for grey.
        const DWORD l = (r * 299 + g * 587 + b * 114 + 500) / 1000;
        if (format == D3DFMT_L8)
            p[0] = static_cast<BYTE>(l);
        else if (format == D3DFMT_A8L8)
            Store16(p, a << 8 | l);
        else
            p[0] = static_cast<BYTE>(Reduce(a, 4) << 4 | Reduce(l, 4));
        break;
    }
    default:
        break; // palettised, depth and block formats are not written pixel by pixel
    }
}

void DecodeBlock(D3DFORMAT format, const BYTE* block, D3DCOLOR out[16]) {
    if (format == D3DFMT_DXT1) {
        ColourBlock(block, true, out);
        return;
    }
    ColourBlock(block + 8, false, out);
    if (format == D3DFMT_DXT2 || format == D3DFMT_DXT3) {
        for (int i = 0; i < 16; ++i) {
            const DWORD a = (block[i / 2] >> (4 * (i & 1))) & 15;
            out[i] = (out[i] & 0x00FFFFFFu) | Expand(a, 4) << 24;
        }
        return;
    }
    DWORD alpha[8] = {block[0], block[1]};
    if (alpha[0] > alpha[1]) {
        for (int i = 1; i < 7; ++i)
            alpha[i + 1] = ((7 - i) * alpha[0] + i * alpha[1] + 3) / 7;
    } else {
        for (int i = 1; i < 5; ++i)
            alpha[i + 1] = ((5 - i) * alpha[0] + i * alpha[1] + 2) / 5;
        alpha[6] = 0;
        alpha[7] = 255;
    }
    std::uint64_t bits = 0;
    for (int i = 0; i < 6; ++i)
        bits |= static_cast<std::uint64_t>(block[2 + i]) << (8 * i);
    for (int i = 0; i < 16; ++i)
        out[i] = (out[i] & 0x00FFFFFFu) | alpha[(bits >> (3 * i)) & 7] << 24;
}

float ReadDepth(D3DFORMAT format, const BYTE* p) {
    switch (format) {
    case D3DFMT_D16:
    case D3DFMT_D16_LOCKABLE:
        return static_cast<float>(Load16(p)) / 65535.0f;
    case D3DFMT_D15S1:
        return static_cast<float>(Load16(p) >> 1) / 32767.0f;
    case D3DFMT_D24S8:
    case D3DFMT_D24X8:
    case D3DFMT_D24X4S4:
        return static_cast<float>(Load32(p) >> 8) / 16777215.0f;
    case D3DFMT_D32:
        return static_cast<float>(static_cast<double>(Load32(p)) / 4294967295.0);
    case D3DFMT_D32F_LOCKABLE:
    case D3DFMT_D24FS8: {
        float f;
        const DWORD bits = format == D3DFMT_D24FS8 ? Load32(p) & 0xFFFFFF00u : Load32(p);
        std::memcpy(&f, &bits, 4);
        return f;
    }
    default:
        return 0.0f;
    }
}

void WriteDepth(D3DFORMAT format, BYTE* p, float z) {
    z = std::clamp(z, 0.0f, 1.0f);
    switch (format) {
    case D3DFMT_D16:
    case D3DFMT_D16_LOCKABLE:
        Store16(p, static_cast<DWORD>(std::lround(z * 65535.0f)));
        break;
    case D3DFMT_D15S1:
        Store16(p, (Load16(p) & 1) | static_cast<DWORD>(std::lround(z * 32767.0f)) << 1);
        break;
    case D3DFMT_D24S8:
    case D3DFMT_D24X8:
    case D3DFMT_D24X4S4:
        Store32(p, (Load32(p) & 0xFF) | static_cast<DWORD>(std::lround(static_cast<double>(z) * 16777215.0)) << 8);
        break;
    case D3DFMT_D32:
        Store32(p, static_cast<DWORD>(std::llround(static_cast<double>(z) * 4294967295.0)));
        break;
    case D3DFMT_D32F_LOCKABLE:
    case D3DFMT_D24FS8: {
        DWORD bits;
        std::memcpy(&bits, &z, 4);
        if (format == D3DFMT_D24FS8)
            bits = (bits & 0xFFFFFF00u) | (Load32(p) & 0xFF);
        Store32(p, bits);
        break;
    }
    default:
        break;
    }
}

DWORD ReadStencil(D3DFORMAT format, const BYTE* p) {
    switch (format) {
    case D3DFMT_D15S1:
        return p[0] & 1;
    case D3DFMT_D24S8:
    case D3DFMT_D24FS8:
        return p[0];
    case D3DFMT_D24X4S4:
        return p[0] & 15;
    default:
        return 0;
    }
}

void WriteStencil(D3DFORMAT format, BYTE* p, DWORD s) {
    switch (format) {
    case D3DFMT_D15S1:
        p[0] = static_cast<BYTE>((p[0] & ~1u) | (s & 1));
        break;
    case D3DFMT_D24S8:
    case D3DFMT_D24FS8:
        p[0] = static_cast<BYTE>(s);
        break;
    case D3DFMT_D24X4S4:
        p[0] = static_cast<BYTE>((p[0] & 0xF0) | (s & 15));
        break;
    default:
        break;
    }
}

D3DCOLOR ReadTexel(const Image& image, UINT x, UINT y, const PALETTEENTRY* palette) {
    if (image.info->block) {
        D3DCOLOR block[16];
        DecodeBlock(image.format,
                    image.bytes.data() + static_cast<std::size_t>(y / 4) * image.pitch + (x / 4) * image.info->bytes,
                    block);
        return block[(y & 3) * 4 + (x & 3)];
    }
    return ReadPixel(image.format, image.At(x, y), palette);
}

void Image::Allocate(D3DFORMAT f, UINT w, UINT h) {
    format = f;
    info = Format(f);
    width = w;
    height = h;
    pitch = PitchOf(*info, w);
    bytes.assign(static_cast<std::size_t>(pitch) * RowsOf(*info, h), 0);
    ++version;
}

// Vertex formats ------------------------------------------------------------------------------------

UINT DeclTypeSize(BYTE type) {
    static const BYTE sizes[] = {4, 8, 12, 16, 4, 4, 4, 8, 4, 4, 8, 4, 8, 4, 4, 4, 8};
    return type < sizeof sizes ? sizes[type] : 0;
}

bool FvfElements(DWORD fvf, std::vector<D3DVERTEXELEMENT9>* out, UINT* stride) {
    out->clear();
    WORD offset = 0;
    auto add = [&](BYTE type, BYTE usage, BYTE index) {
        out->push_back(D3DVERTEXELEMENT9{0, offset, type, D3DDECLMETHOD_DEFAULT, usage, index});
        offset = static_cast<WORD>(offset + DeclTypeSize(type));
    };
    const DWORD position = fvf & D3DFVF_POSITION_MASK;
    switch (position) {
    case 0:
        break;
    case D3DFVF_XYZ:
        add(D3DDECLTYPE_FLOAT3, D3DDECLUSAGE_POSITION, 0);
        break;
    case D3DFVF_XYZRHW:
        add(D3DDECLTYPE_FLOAT4, D3DDECLUSAGE_POSITIONT, 0);
        break;
    case D3DFVF_XYZW:
        add(D3DDECLTYPE_FLOAT4, D3DDECLUSAGE_POSITION, 0);
        break;
    case D3DFVF_XYZB1:
    case D3DFVF_XYZB2:
    case D3DFVF_XYZB3:
    case D3DFVF_XYZB4:
    case D3DFVF_XYZB5: {
        add(D3DDECLTYPE_FLOAT3, D3DDECLUSAGE_POSITION, 0);
        int betas = static_cast<int>((position - D3DFVF_XYZRHW) / 2); // B1 = 0x6 .. B5 = 0xE
        BYTE last = D3DDECLTYPE_UNUSED;
        if (fvf & D3DFVF_LASTBETA_UBYTE4)
            last = D3DDECLTYPE_UBYTE4;
        else if (fvf & D3DFVF_LASTBETA_D3DCOLOR)
            last = D3DDECLTYPE_D3DCOLOR;
        if (last != D3DDECLTYPE_UNUSED)
            --betas;
        if (betas > 0)
            add(static_cast<BYTE>(D3DDECLTYPE_FLOAT1 + std::min(betas, 4) - 1), D3DDECLUSAGE_BLENDWEIGHT, 0);
        if (betas > 4)
            return false;
        if (last != D3DDECLTYPE_UNUSED)
            add(last, D3DDECLUSAGE_BLENDINDICES, 0);
        break;
    }
    default:
        return false;
    }
    if (fvf & D3DFVF_NORMAL) {
        if (position == D3DFVF_XYZRHW)
            return false; // pre-transformed vertices carry no normal
        add(D3DDECLTYPE_FLOAT3, D3DDECLUSAGE_NORMAL, 0);
    }
    if (fvf & D3DFVF_PSIZE)
        add(D3DDECLTYPE_FLOAT1, D3DDECLUSAGE_PSIZE, 0);
    if (fvf & D3DFVF_DIFFUSE)
        add(D3DDECLTYPE_D3DCOLOR, D3DDECLUSAGE_COLOR, 0);
    if (fvf & D3DFVF_SPECULAR)
        add(D3DDECLTYPE_D3DCOLOR, D3DDECLUSAGE_COLOR, 1);
    const DWORD sets = (fvf & D3DFVF_TEXCOUNT_MASK) >> D3DFVF_TEXCOUNT_SHIFT;
    if (sets > 8)
        return false;
    for (DWORD i = 0; i < sets; ++i) {
        static const BYTE types[] = {D3DDECLTYPE_FLOAT2, D3DDECLTYPE_FLOAT3, D3DDECLTYPE_FLOAT4, D3DDECLTYPE_FLOAT1};
        add(types[(fvf >> (16 + 2 * i)) & 3], D3DDECLUSAGE_TEXCOORD, static_cast<BYTE>(i));
    }
    *stride = offset;
    return true;
}

// Counting ------------------------------------------------------------------------------------------

Object::Object(Device* d, D3DPOOL p) : device(d), pool(p) { device->Register(this); }

Object::~Object() { device->Unregister(this); }

ULONG Object::AddRefExternal() { return ++refs; }

ULONG Object::ReleaseExternal() {
    if (refs == 0) {
        // A release the system does not own: the platform would free the object twice.
        std::fprintf(stderr, "d3d9: Release of an object whose count is already 0\n");
        std::abort();
    }
    const ULONG left = --refs;
    if (left == 0)
        DeleteIfUnused();
    return left;
}

void Object::Unbind() {
    --binds;
    DeleteIfUnused();
}

void Object::DeleteIfUnused() {
    if (refs == 0 && binds == 0 && !implicit)
        delete this;
}

// Surfaces -------------------------------------------------------------------------------------------

Surface::Surface(Device* d, Object* owner, D3DPOOL p, DWORD u, D3DFORMAT format, UINT width, UINT height)
    : Counted(d, p), container(owner), usage(u), lockable(true) {
    if (owner != nullptr) {
        refs = 0;        // counted on the container
        implicit = true; // and freed by it
    }
    image.Allocate(format, width, height);
}

ULONG Surface::AddRef() { return container != nullptr ? container->AddRefExternal() : AddRefExternal(); }

ULONG Surface::Release() { return container != nullptr ? container->ReleaseExternal() : ReleaseExternal(); }

HRESULT Surface::GetDesc(D3DSURFACE_DESC* desc) {
    if (desc == nullptr)
        return D3DERR_INVALIDCALL;
    *desc =
        D3DSURFACE_DESC{image.format, D3DRTYPE_SURFACE, usage, pool, D3DMULTISAMPLE_NONE, 0, image.width, image.height};
    return D3D_OK;
}

HRESULT Surface::LockRect(D3DLOCKED_RECT* out, const RECT* rect, DWORD flags) {
    LogCall("LockRect", rect, flags);
    HRESULT scripted;
    if (Scripted("LockRect", &scripted))
        return scripted;
    if (out == nullptr || locked || !lockable)
        return D3DERR_INVALIDCALL;
    if ((flags & D3DLOCK_DISCARD) && !(usage & D3DUSAGE_DYNAMIC))
        return D3DERR_INVALIDCALL;
    RECT r{0, 0, static_cast<LONG>(image.width), static_cast<LONG>(image.height)};
    if (rect != nullptr) {
        if (rect->left < 0 || rect->top < 0 || rect->left >= rect->right || rect->top >= rect->bottom ||
            rect->right > r.right || rect->bottom > r.bottom)
            return D3DERR_INVALIDCALL;
        if (image.info->block && ((rect->left | rect->top) & 3))
            return D3DERR_INVALIDCALL;
        r = *rect;
    }
    const UINT x = static_cast<UINT>(r.left), y = static_cast<UINT>(r.top);
    std::size_t offset = image.info->block ? static_cast<std::size_t>(y / 4) * image.pitch + (x / 4) * image.info->bytes
                                           : static_cast<std::size_t>(y) * image.pitch + x * image.info->bytes;
    out->Pitch = static_cast<INT>(image.pitch);
    out->pBits = image.bytes.data() + offset;
    locked = true;
    ++image.version;
    return D3D_OK;
}

HRESULT Surface::UnlockRect() {
    LogCall("UnlockRect");
    if (!locked)
        return D3DERR_INVALIDCALL;
    locked = false;
    ++image.version;
    return D3D_OK;
}

// Textures -------------------------------------------------------------------------------------------

void TextureBase::CreateLevels(UINT width, UINT height, UINT levels) {
    allocatedLevels = levels;
    for (UINT f = 0; f < faces; ++f)
        for (UINT l = 0; l < levels; ++l) {
            auto s = std::make_unique<Surface>(device, this, pool, usage, format, std::max(1u, width >> l),
                                               std::max(1u, height >> l));
            // The platform locks levels of textures in system memory and the managed pool, and
            // dynamic ones in the default pool; render targets and depth never.
            s->lockable = (pool != D3DPOOL_DEFAULT || (usage & D3DUSAGE_DYNAMIC)) &&
                          !(usage & (D3DUSAGE_RENDERTARGET | D3DUSAGE_DEPTHSTENCIL));
            surfaces.push_back(std::move(s));
        }
}

static HRESULT LevelDesc(TextureBase& t, UINT level, D3DSURFACE_DESC* desc) {
    if (level >= t.levelCount)
        return D3DERR_INVALIDCALL;
    return t.Level(0, level)->GetDesc(desc);
}

HRESULT Texture::GetLevelDesc(UINT level, D3DSURFACE_DESC* desc) { return LevelDesc(*this, level, desc); }

HRESULT Texture::GetSurfaceLevel(UINT level, IDirect3DSurface9** surface) {
    LogCall("GetSurfaceLevel", level);
    if (surface == nullptr || level >= levelCount)
        return D3DERR_INVALIDCALL;
    *surface = Level(0, level);
    AddRefExternal();
    return D3D_OK;
}

HRESULT CubeTexture::GetLevelDesc(UINT level, D3DSURFACE_DESC* desc) { return LevelDesc(*this, level, desc); }

HRESULT CubeTexture::GetCubeMapSurface(D3DCUBEMAP_FACES face, UINT level, IDirect3DSurface9** surface) {
    LogCall("GetCubeMapSurface", face, level);
    if (surface == nullptr || face > 5 || level >= levelCount)
        return D3DERR_INVALIDCALL;
    *surface = Level(face, level);
    AddRefExternal();
    return D3D_OK;
}

// Buffers ---------------------------------------------------------------------------------------------

HRESULT BufferStore::Lock(const char* what, UINT offset, UINT size, void** data, DWORD flags) {
    HRESULT scripted;
    if (Scripted(what, &scripted))
        return scripted;
    if (data == nullptr || offset > bytes.size())
        return D3DERR_INVALIDCALL;
    if (size == 0)
        size = static_cast<UINT>(bytes.size()) - offset;
    if (size > bytes.size() - offset)
        return D3DERR_INVALIDCALL;
    if ((flags & D3DLOCK_DISCARD) && !(usage & D3DUSAGE_DYNAMIC))
        return D3DERR_INVALIDCALL;
    *data = bytes.data() + offset;
    ++locks;
    return D3D_OK;
}

HRESULT BufferStore::Unlock() {
    if (locks == 0)
        return D3DERR_INVALIDCALL;
    --locks;
    return D3D_OK;
}

HRESULT VertexBuffer::Lock(UINT offset, UINT size, void** data, DWORD flags) {
    LogCall("Lock", offset, size, flags);
    return store.Lock("Lock", offset, size, data, flags);
}

HRESULT VertexBuffer::Unlock() {
    LogCall("Unlock");
    return store.Unlock();
}

HRESULT IndexBuffer::Lock(UINT offset, UINT size, void** data, DWORD flags) {
    LogCall("Lock", offset, size, flags);
    return store.Lock("Lock", offset, size, data, flags);
}

HRESULT IndexBuffer::Unlock() {
    LogCall("Unlock");
    return store.Unlock();
}

HRESULT VertexDeclaration::GetDeclaration(D3DVERTEXELEMENT9* out, UINT* count) {
    if (count == nullptr)
        return D3DERR_INVALIDCALL;
    if (out != nullptr) {
        std::copy(elements.begin(), elements.end(), out);
        out[elements.size()] = D3DDECL_END();
    }
    *count = static_cast<UINT>(elements.size() + 1);
    return D3D_OK;
}

// Swap chains ------------------------------------------------------------------------------------------

SwapChain::SwapChain(Device* d, const D3DPRESENT_PARAMETERS& p, HWND w)
    : Counted(d, D3DPOOL_DEFAULT), params(p), window(w) {
    backBuffer = std::make_unique<Surface>(d, this, D3DPOOL_DEFAULT, D3DUSAGE_RENDERTARGET, p.BackBufferFormat,
                                           p.BackBufferWidth, p.BackBufferHeight);
    backBuffer->lockable = (p.Flags & D3DPRESENTFLAG_LOCKABLE_BACKBUFFER) != 0;
}

HRESULT SwapChain::Present(const RECT* source, const RECT* dest, HWND overrideWindow, const void* dirtyRegion,
                           DWORD flags) {
    LogCall("SwapChain::Present", source, dest, overrideWindow, dirtyRegion, flags);
    HRESULT scripted;
    if (Scripted("Present", &scripted)) {
        if (scripted == D3DERR_DEVICELOST)
            device->cooperation = Device::Cooperation::Lost;
        return scripted;
    }
    if (source != nullptr || dest != nullptr || dirtyRegion != nullptr)
        return D3DERR_INVALIDCALL; // partial presents are not supported
    return device->PresentSurface(backBuffer.get(), overrideWindow != nullptr ? overrideWindow : window);
}

HRESULT SwapChain::GetBackBuffer(UINT index, D3DBACKBUFFER_TYPE type, IDirect3DSurface9** surface) {
    LogCall("SwapChain::GetBackBuffer", index, type);
    if (surface == nullptr || index != 0 || type != D3DBACKBUFFER_TYPE_MONO)
        return D3DERR_INVALIDCALL;
    *surface = backBuffer.get();
    AddRefExternal();
    return D3D_OK;
}

} // namespace d3d9
