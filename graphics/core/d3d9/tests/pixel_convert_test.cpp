#include "graphics/core/d3d9/pixel_convert.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "graphics/core/error.h"
#include "graphics/core/image.h"
#include "graphics/core/raster.h"

namespace {

OvRGBA Decode(OvUInt32 p, D3DFORMAT f) {
    OvRGBA c{1, 2, 3, 4};
    EXPECT_TRUE(OvD3D9DecodePixel(&c, p, f)) << f;
    return c;
}

bool Same(const OvRGBA& a, const OvRGBA& b) {
    return a.red == b.red && a.green == b.green && a.blue == b.blue && a.alpha == b.alpha;
}

} // namespace

TEST(D3d9PixelConvert, SixteenBitColoursRoundTripToTheirTruncatedChannels) {
    // Every colour on a coarse grid goes to each 16-bit format and back; what comes back is
    // the colour with each channel cut to the format's bits (alpha by the format's own rule).
    struct Case {
        OvInt32 flags;
        OvUInt8 rMask, gMask, bMask;
    };
    const Case cases[] = {{ovRASTERFORMAT565, 0xF8, 0xFC, 0xF8},
                          {ovRASTERFORMAT555, 0xF8, 0xF8, 0xF8},
                          {ovRASTERFORMAT1555, 0xF8, 0xF8, 0xF8},
                          {ovRASTERFORMAT4444, 0xF0, 0xF0, 0xF0}};
    for (const Case& k : cases) {
        for (int r = 0; r < 256; r += 17) {
            for (int g = 0; g < 256; g += 15) {
                for (int b = 0; b < 256; b += 51) {
                    for (int a : {0, 0x7F, 0x80, 0xEF, 0xF0, 0xFF}) {
                        OvRGBA in{OvUInt8(r), OvUInt8(g), OvUInt8(b), OvUInt8(a)};
                        OvUInt32 p = 0xDEADBEEF;
                        ASSERT_TRUE(OvD3D9ColorToPixel(&p, &in, k.flags));
                        ASSERT_LT(p, 0x10000u);
                        OvRGBA out{};
                        ASSERT_TRUE(OvD3D9PixelToColor(&out, &p, k.flags));
                        OvUInt8 alpha = 255;
                        if (k.flags == ovRASTERFORMAT1555) {
                            alpha = a >= 0x80 ? 255 : 0;
                        } else if (k.flags == ovRASTERFORMAT4444) {
                            alpha = a >= 0xF0 ? 255 : OvUInt8(a & 0xF0);
                        }
                        const OvRGBA want{OvUInt8(r & k.rMask), OvUInt8(g & k.gMask), OvUInt8(b & k.bMask), alpha};
                        ASSERT_TRUE(Same(out, want))
                            << std::hex << k.flags << " " << r << " " << g << " " << b << " " << a;
                    }
                }
            }
        }
    }
}

TEST(D3d9PixelConvert, EncoderAndDecoderTablesAgree) {
    // For each format with both an encoder and a decoder, decoding an encoded colour and
    // encoding that again is stable (the second pass loses nothing more).
    const D3DFORMAT formats[] = {D3DFMT_A8R8G8B8,
                                 D3DFMT_X8R8G8B8,
                                 D3DFMT_R5G6B5,
                                 D3DFMT_X1R5G5B5,
                                 D3DFMT_A1R5G5B5,
                                 D3DFMT_A4R4G4B4,
                                 D3DFMT_A8R3G3B2,
                                 D3DFMT_X4R4G4B4,
                                 D3DFMT_A8B8G8R8,
                                 D3DFMT_X8B8G8R8,
                                 D3DFMT_A8L8,
                                 60,
                                 61,
                                 62,
                                 63,
                                 117};
    for (D3DFORMAT f : formats) {
        for (OvUInt32 seed = 1; seed < 4000; seed += 7) {
            const OvUInt32 v = seed * 2654435761u;
            OvRGBA c{OvUInt8(v), OvUInt8(v >> 8), OvUInt8(v >> 16), OvUInt8(v >> 24)};
            OvUInt32 p1 = 0, p2 = 0;
            ASSERT_TRUE(OvD3D9EncodePixel(&p1, c, f));
            OvRGBA d = Decode(p1, f);
            ASSERT_TRUE(OvD3D9EncodePixel(&p2, d, f));
            OvRGBA e = Decode(p2, f);
            ASSERT_TRUE(Same(d, e)) << f << " " << std::hex << v;
        }
    }
    // Formats with a decoder only, and formats with neither.
    OvUInt32 p = 7;
    OvRGBA c{};
    EXPECT_FALSE(OvD3D9EncodePixel(&p, c, D3DFMT_R3G3B2));
    EXPECT_EQ(p, 7u);
    EXPECT_TRUE(Same(Decode(0xE3, D3DFMT_R3G3B2), {0xE0, 0, 0xC0, 255}));
    EXPECT_TRUE(Same(Decode(0xF5, D3DFMT_A4L4), {0x50, 0x50, 0x50, 255}));
    EXPECT_TRUE(Same(Decode(0xABCD, 81), {0xAB, 0xAB, 0xAB, 255}));
    EXPECT_FALSE(OvD3D9DecodePixel(&c, 0, D3DFMT_P8));
    EXPECT_FALSE(OvD3D9EncodePixel(&p, c, D3DFMT_D16));
}

// Every row of the encoder and decoder tables against values worked out by hand, with channels
// that differ from each other so that a swapped or misplaced channel shows. The colour is
// r 200 (0xC8), g 100 (0x64), b 50 (0x32), a 128 (0x80); its luminance is
// (30 * 200 + 59 * 100 + 11 * 50) / 100 = 124 (0x7C).
TEST(D3d9PixelConvert, EveryFormatEncodesAndDecodesAsWorkedOutByHand) {
    const OvRGBA c{0xC8, 0x64, 0x32, 0x80};
    const struct {
        D3DFORMAT format;
        OvUInt32 pixel;
    } encoded[] = {
        {D3DFMT_A8R8G8B8, 0x80C86432},
        {D3DFMT_X8R8G8B8, 0xFFC86432},
        {D3DFMT_R5G6B5, 0xC800 | 0x0320 | 0x06}, // 11001 100100 00110
        {D3DFMT_X1R5G5B5, 0x6400 | 0x0180 | 0x06},
        {D3DFMT_A1R5G5B5, 0x8000 | 0x6400 | 0x0180 | 0x06},
        {D3DFMT_A4R4G4B4, 0x8C63},
        {D3DFMT_A8R3G3B2, 0x8000 | 0xC0 | 0x0C | 0x00},
        {D3DFMT_X4R4G4B4, 0xFC63},
        {D3DFMT_A8B8G8R8, 0x803264C8},
        {63, 0x803264C8},
        {D3DFMT_X8B8G8R8, 0xFF3264C8},
        {62, 0xFF3264C8},
        {D3DFMT_L8, 62}, // 124 x 128 / 255
        {D3DFMT_A8L8, 0x807C},
        {60, 0x64C8},
        {117, 0x64C8},
        {61, 0x3000 | 0x0180 | 0x19},
        {81, 62 * 255}, // (12450 x 128 / 25500) x 255
    };
    for (const auto& e : encoded) {
        OvUInt32 p = 0xDEADBEEF;
        ASSERT_TRUE(OvD3D9EncodePixel(&p, c, e.format)) << e.format;
        EXPECT_EQ(p, e.pixel) << "format " << e.format << std::hex << " got 0x" << p;
    }
    const struct {
        D3DFORMAT format;
        OvUInt32 pixel;
        OvRGBA colour;
    } decoded[] = {
        {D3DFMT_A8R8G8B8, 0x80C86432, {0xC8, 0x64, 0x32, 0x80}},
        {D3DFMT_X8R8G8B8, 0x12C86432, {0xC8, 0x64, 0x32, 0xFF}},
        {D3DFMT_R5G6B5, 0xCB26, {0xC8, 0x64, 0x30, 0xFF}},
        {D3DFMT_X1R5G5B5, 0xE586, {0xC8, 0x60, 0x30, 0xFF}},
        {D3DFMT_A1R5G5B5, 0xE586, {0xC8, 0x60, 0x30, 0xFF}},
        {D3DFMT_A1R5G5B5, 0x6586, {0xC8, 0x60, 0x30, 0x00}},
        {D3DFMT_A4R4G4B4, 0x8C63, {0xC0, 0x60, 0x30, 0x80}},
        {D3DFMT_A4R4G4B4, 0xFC63, {0xC0, 0x60, 0x30, 0xFF}},
        {D3DFMT_A4R4G4B4, 0x0C63, {0xC0, 0x60, 0x30, 0x00}},
        {D3DFMT_R3G3B2, 0xCB, {0xC0, 0x40, 0xC0, 0xFF}},
        {D3DFMT_A8, 0x5A, {0xFF, 0xFF, 0xFF, 0x5A}},
        {D3DFMT_A8R3G3B2, 0x80CB, {0xC0, 0x40, 0xC0, 0x80}},
        {D3DFMT_X4R4G4B4, 0x0C63, {0xC0, 0x60, 0x30, 0xFF}},
        {D3DFMT_A8B8G8R8, 0x803264C8, {0xC8, 0x64, 0x32, 0x80}},
        {63, 0x803264C8, {0xC8, 0x64, 0x32, 0x80}},
        {D3DFMT_X8B8G8R8, 0x113264C8, {0xC8, 0x64, 0x32, 0xFF}},
        {62, 0x113264C8, {0xC8, 0x64, 0x32, 0xFF}},
        {D3DFMT_L8, 0x7C, {0x7C, 0x7C, 0x7C, 0xFF}},
        {D3DFMT_A8L8, 0x807C, {0x7C, 0x7C, 0x7C, 0x80}},
        {D3DFMT_A4L4, 0xF5, {0x50, 0x50, 0x50, 0xFF}},
        {D3DFMT_A4L4, 0x85, {0x50, 0x50, 0x50, 0x80}},
        {60, 0x64C8, {0xC8, 0x64, 0x00, 0xFF}},
        {117, 0x64C8, {0xC8, 0x64, 0x00, 0xFF}},
        {61, 0x3199, {0xC8, 0x60, 0x30, 0xFF}},
        {81, 0xABCD, {0xAB, 0xAB, 0xAB, 0xFF}},
    };
    for (const auto& d : decoded) {
        const OvRGBA got = Decode(d.pixel, d.format);
        EXPECT_TRUE(Same(got, d.colour)) << "format " << d.format << std::hex << " pixel 0x" << d.pixel << " got "
                                         << int(got.red) << " " << int(got.green) << " " << int(got.blue) << " "
                                         << int(got.alpha);
    }
    // The engine formats of standard functions 2 and 3 take the rows of their device formats.
    const struct {
        OvInt32 flags;
        OvUInt32 pixel;
        OvRGBA back;
    } engine[] = {
        {ovRASTERFORMAT1555, 0xE586, {0xC8, 0x60, 0x30, 0xFF}},
        {ovRASTERFORMAT565, 0xCB26, {0xC8, 0x64, 0x30, 0xFF}},
        {ovRASTERFORMAT555, 0x6586, {0xC8, 0x60, 0x30, 0xFF}},
        {ovRASTERFORMAT4444, 0x8C63, {0xC0, 0x60, 0x30, 0x80}},
        {ovRASTERFORMATLUM8, 62, {62, 62, 62, 0xFF}},
        {ovRASTERFORMAT8888, 0x80C86432, {0xC8, 0x64, 0x32, 0x80}},
        {ovRASTERFORMAT888, 0xFFC86432, {0xC8, 0x64, 0x32, 0xFF}},
    };
    for (const auto& e : engine) {
        OvRGBA in = c;
        OvUInt32 p = 0;
        ASSERT_TRUE(OvD3D9ColorToPixel(&p, &in, e.flags));
        EXPECT_EQ(p, e.pixel) << std::hex << e.flags;
        OvRGBA out{};
        ASSERT_TRUE(OvD3D9PixelToColor(&out, &p, e.flags));
        EXPECT_TRUE(Same(out, e.back)) << std::hex << e.flags;
    }
    // No format encodes as 8888; a palette entry decodes unchanged.
    OvRGBA in = c;
    OvUInt32 entry = 0;
    ASSERT_TRUE(OvD3D9ColorToPixel(&entry, &in, ovRASTERFORMATDEFAULT));
    EXPECT_EQ(entry, 0x80C86432u);
    entry = 0x04030201;
    OvRGBA out{};
    ASSERT_TRUE(OvD3D9PixelToColor(&out, &entry, ovRASTERFORMATPAL8 | ovRASTERFORMAT8888));
    EXPECT_TRUE(Same(out, {1, 2, 3, 4}));
}

TEST(D3d9PixelConvert, RasterSizesFitTheDeviceLimits) {
    D3DCAPS9 caps{};
    caps.MaxTextureWidth = 2048;
    caps.MaxTextureHeight = 1024;
    caps.TextureCaps = D3DPTEXTURECAPS_POW2;
    OvInt32 w = 300, h = 200;
    OvD3D9RasterFitSize(&w, &h, ovRASTERTYPETEXTURE, 0, caps);
    EXPECT_EQ(w, 256);
    EXPECT_EQ(h, 128);
    // Conditional non-power-of-two support keeps the size, except for mipmapped textures.
    caps.TextureCaps |= D3DPTEXTURECAPS_NONPOW2CONDITIONAL;
    w = 300, h = 200;
    OvD3D9RasterFitSize(&w, &h, ovRASTERTYPETEXTURE, 0, caps);
    EXPECT_EQ(w, 300);
    OvD3D9RasterFitSize(&w, &h, ovRASTERTYPETEXTURE, ovRASTERFORMATMIPMAP, caps);
    EXPECT_EQ(w, 256);
    w = 300, h = 200;
    OvD3D9RasterFitSize(&w, &h, ovRASTERTYPENORMAL, ovRASTERFORMATMIPMAP, caps);
    EXPECT_EQ(w, 300);
    // Clamping and square-only.
    caps.TextureCaps = D3DPTEXTURECAPS_SQUAREONLY;
    w = 5000, h = 700;
    OvD3D9RasterFitSize(&w, &h, ovRASTERTYPETEXTURE, 0, caps);
    EXPECT_EQ(w, 700);
    EXPECT_EQ(h, 700);
}

namespace {

// An image over its own storage.
struct TestImage {
    std::vector<OvUInt8> pixels, palette;
    OvImage image{};
    TestImage(OvInt32 w, OvInt32 h, OvInt32 depth) : pixels(static_cast<size_t>((depth == 32 ? 4 : 1) * w + 3) * h) {
        image = {0, w, h, depth, (depth == 32 ? 4 : 1) * w + 3, pixels.data(), nullptr};
        if (depth != 32) {
            palette.resize(4u << depth);
            image.palette = palette.data();
        }
    }
};

// A locked level over its own storage, with a pitch wider than its rows.
struct TestLevel {
    std::vector<OvUInt8> bits, palette;
    OvD3D9PixelView view{};
    TestLevel(OvInt32 w, OvInt32 h, OvInt32 depth, D3DFORMAT format, OvInt32 flags)
        : bits(static_cast<size_t>(w * ((depth + 7) / 8) + 5) * h, 0xCD), palette(1024) {
        view = {bits.data(), w * ((depth + 7) / 8) + 5, w, h, depth, format, flags, nullptr};
    }
};

OvUInt32 Hash(OvUInt32 v) { return v * 2654435761u ^ (v >> 7); }

void FillColours(TestImage& t) {
    for (OvInt32 y = 0; y < t.image.height; ++y) {
        for (OvInt32 x = 0; x < 4 * t.image.width; ++x) {
            t.pixels[y * t.image.stride + x] = static_cast<OvUInt8>(Hash(y * 1000 + x) >> 8);
        }
    }
}

OvRGBA PixelAt(const TestImage& t, OvInt32 x, OvInt32 y) {
    const OvUInt8* p = t.pixels.data() + y * t.image.stride + 4 * x;
    return {p[0], p[1], p[2], p[3]};
}

} // namespace

TEST(D3d9PixelConvert, ImagesGoIntoLevelsAndBackPixelForPixel) {
    // Each engine format: image -> level -> image equals the per-pixel colour -> pixel -> colour.
    struct Case {
        OvInt32 depth;
        D3DFORMAT format;
        OvInt32 flags;
    };
    const Case cases[] = {{32, D3DFMT_A8R8G8B8, ovRASTERFORMAT8888}, {32, D3DFMT_X8R8G8B8, ovRASTERFORMAT888},
                          {16, D3DFMT_R5G6B5, ovRASTERFORMAT565},    {16, D3DFMT_A1R5G5B5, ovRASTERFORMAT1555},
                          {16, D3DFMT_A4R4G4B4, ovRASTERFORMAT4444}, {16, D3DFMT_X1R5G5B5, ovRASTERFORMAT555},
                          {8, D3DFMT_L8, ovRASTERFORMATLUM8}};
    for (const Case& k : cases) {
        TestImage in(7, 5, 32), out(7, 5, 32);
        FillColours(in);
        TestLevel level(7, 5, k.depth, k.format, k.flags);
        OvUInt8 hasAlpha = 9;
        ASSERT_TRUE(OvD3D9PixelsFromImage(level.view, &in.image, FALSE, &hasAlpha)) << k.format;
        ASSERT_TRUE(OvD3D9PixelsToImage(&out.image, level.view)) << k.format;
        for (OvInt32 y = 0; y < 5; ++y) {
            // The padding past each row is left alone.
            ASSERT_EQ(level.bits[y * level.view.pitch + level.view.pitch - 1], 0xCD);
            for (OvInt32 x = 0; x < 7; ++x) {
                OvRGBA c = PixelAt(in, x, y), want{};
                OvUInt32 p = 0;
                ASSERT_TRUE(OvD3D9ColorToPixel(&p, &c, k.flags));
                ASSERT_TRUE(OvD3D9PixelToColor(&want, &p, k.flags));
                ASSERT_TRUE(Same(PixelAt(out, x, y), want)) << k.format << " at " << x << "," << y;
            }
        }
        if (k.depth == 32) {
            EXPECT_EQ(hasAlpha, k.flags == ovRASTERFORMAT888 ? 0 : 1);
        }
    }
    // 8888 keeps every byte.
    TestImage in(3, 2, 32), out(3, 2, 32);
    FillColours(in);
    TestLevel level(3, 2, 32, D3DFMT_A8R8G8B8, ovRASTERFORMAT8888);
    ASSERT_TRUE(OvD3D9PixelsFromImage(level.view, &in.image, FALSE, nullptr));
    ASSERT_TRUE(OvD3D9PixelsToImage(&out.image, level.view));
    for (OvInt32 y = 0; y < 2; ++y) {
        EXPECT_EQ(0, std::memcmp(in.pixels.data() + y * in.image.stride, out.pixels.data() + y * out.image.stride, 12));
    }
}

TEST(D3d9PixelConvert, PalettisedImagesAndLevels) {
    // A 4-bit image (a byte a pixel) into an 8-bit palette level copies indices and palette;
    // read back as an 8-bit image it has the same indices and the 256-entry palette.
    TestImage four(5, 3, 4);
    for (size_t i = 0; i < four.pixels.size(); ++i) {
        four.pixels[i] = static_cast<OvUInt8>(0xF0 | (i % 16)); // high nibble is not an index
    }
    for (size_t i = 0; i < four.palette.size(); ++i) {
        four.palette[i] = static_cast<OvUInt8>(i * 3);
    }
    TestLevel p8(5, 3, 8, D3DFMT_P8, ovRASTERFORMATPAL8 | ovRASTERFORMAT8888);
    p8.view.palette = p8.palette.data();
    ASSERT_TRUE(OvD3D9PixelsFromImage(p8.view, &four.image, TRUE, nullptr));
    TestImage eight(5, 3, 8);
    ASSERT_TRUE(OvD3D9PixelsToImage(&eight.image, p8.view));
    for (OvInt32 y = 0; y < 3; ++y) {
        for (OvInt32 x = 0; x < 5; ++x) {
            ASSERT_EQ(eight.pixels[y * eight.image.stride + x], four.pixels[y * four.image.stride + x] & 0xF);
        }
    }
    EXPECT_EQ(0, std::memcmp(eight.palette.data(), four.palette.data(), 64));
    // Without a palette the level reads back as a grey ramp.
    p8.view.palette = nullptr;
    TestImage grey(5, 3, 32);
    ASSERT_TRUE(OvD3D9PixelsToImage(&grey.image, p8.view));
    EXPECT_TRUE(Same(PixelAt(grey, 1, 0), {1, 1, 1, 255}));
    // An 8-bit image of an 8-bit level without a palette (a luminance level, or a palette level
    // whose palette is gone): the values as indices over a grey ramp.
    TestLevel lum(5, 3, 8, D3DFMT_L8, ovRASTERFORMATLUM8);
    for (OvInt32 y = 0; y < 3; ++y) {
        for (OvInt32 x = 0; x < 5; ++x) {
            lum.bits[y * lum.view.pitch + x] = static_cast<OvUInt8>(40 * y + 7 * x);
        }
    }
    for (const OvD3D9PixelView& view : {lum.view, p8.view}) {
        TestImage indices(5, 3, 8);
        ASSERT_TRUE(OvD3D9PixelsToImage(&indices.image, view)) << view.format;
        for (OvInt32 y = 0; y < 3; ++y) {
            for (OvInt32 x = 0; x < 5; ++x) {
                ASSERT_EQ(indices.pixels[y * indices.image.stride + x], view.bits[y * view.pitch + x]);
            }
        }
        for (int i = 0; i < 256; ++i) {
            const OvUInt8 v = static_cast<OvUInt8>(i);
            ASSERT_EQ(0, std::memcmp(indices.palette.data() + 4 * i, std::vector<OvUInt8>{v, v, v, 255}.data(), 4))
                << i;
        }
    }

    // The palettised image into a 4444 level goes through its encoded palette.
    TestLevel wide(5, 3, 16, D3DFMT_A4R4G4B4, ovRASTERFORMAT4444);
    ASSERT_TRUE(OvD3D9PixelsFromImage(wide.view, &four.image, FALSE, nullptr));
    TestImage back(5, 3, 32);
    ASSERT_TRUE(OvD3D9PixelsToImage(&back.image, wide.view));
    const OvUInt8* e = four.palette.data() + 4 * (four.pixels[0] & 0xF);
    OvRGBA want{};
    ASSERT_TRUE(OvD3D9DecodePixel(&want, ((e[3] & 0xF0) << 8) | ((e[0] & 0xF0) << 4) | (e[1] & 0xF0) | (e[2] >> 4),
                                  D3DFMT_A4R4G4B4));
    EXPECT_TRUE(Same(PixelAt(back, 0, 0), want));
}

TEST(D3d9PixelConvert, ConversionsThatCannotBeDoneFailCleanly) {
    OvError e{};
    OvErrorGet(&e);
    TestImage img(4, 4, 32), eight(4, 4, 8), small(3, 4, 32);
    TestLevel odd(4, 4, 12, D3DFMT_UNKNOWN, 0), wide(4, 4, 16, D3DFMT_R5G6B5, ovRASTERFORMAT565);
    const std::vector<OvUInt8> before = wide.bits;
    EXPECT_FALSE(OvD3D9PixelsToImage(&img.image, odd.view));
    OvErrorGet(&e);
    EXPECT_EQ(e.errorCode, ovERRBADRASTERDEPTH);
    EXPECT_FALSE(OvD3D9PixelsFromImage(odd.view, &img.image, FALSE, nullptr));
    OvErrorGet(&e);
    EXPECT_EQ(e.errorCode, ovERRBADRASTERDEPTH);
    EXPECT_FALSE(OvD3D9PixelsToImage(&eight.image, wide.view)); // no indices in a 565 level
    OvErrorGet(&e);
    EXPECT_EQ(e.errorCode, 2);
    EXPECT_FALSE(OvD3D9PixelsFromImage(wide.view, &small.image, FALSE, nullptr)); // sizes differ
    OvErrorGet(&e);
    EXPECT_EQ(e.errorCode, 2);
    EXPECT_EQ(wide.bits, before);
    // A 32-bit image cannot go into a palette level without a quantised palette.
    TestLevel p8(4, 4, 8, D3DFMT_P8, ovRASTERFORMATPAL8 | ovRASTERFORMAT8888);
    EXPECT_FALSE(OvD3D9PixelsFromImage(p8.view, &img.image, FALSE, nullptr));
    OvErrorGet(&e);
    // Engine formats with no colour layout.
    OvRGBA c{};
    OvUInt32 p = 0;
    EXPECT_FALSE(OvD3D9ColorToPixel(&p, &c, ovRASTERFORMAT16));
    OvErrorGet(&e);
    EXPECT_EQ(e.errorCode, ovERRBADRASTERFORMAT);
    EXPECT_FALSE(OvD3D9PixelToColor(&c, &p, ovRASTERFORMAT32));
    OvErrorGet(&e);
    EXPECT_EQ(e.errorCode, ovERRBADRASTERFORMAT);
    // Floating-point levels are left as they are.
    TestLevel fp(4, 4, 64, 113, 0);
    EXPECT_TRUE(OvD3D9PixelsFromImage(fp.view, &img.image, FALSE, nullptr));
}
