#include "graphics/core/d3d9/pixel_convert.h"

#include <gtest/gtest.h>

#include "graphics/core/error.h"
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
                        const OvRGBA want{OvUInt8(r & k.rMask), OvUInt8(g & k.gMask),
                                          OvUInt8(b & k.bMask), alpha};
                        ASSERT_TRUE(Same(out, want)) << std::hex << k.flags << " " << r << " "
                                                     << g << " " << b << " " << a;
                    }
                }
            }
        }
    }
    // Hand-computed values.
    OvRGBA orange{255, 128, 0, 255};
    OvUInt32 p = 0;
    ASSERT_TRUE(OvD3D9ColorToPixel(&p, &orange, ovRASTERFORMAT565));
    EXPECT_EQ(p, 0xFC00u);
    EXPECT_TRUE(Same(Decode(0xFC00, D3DFMT_R5G6B5), {248, 128, 0, 255}));
    EXPECT_EQ(Decode(0x0F00, D3DFMT_A4R4G4B4).alpha, 0);
    EXPECT_EQ(Decode(0xF000, D3DFMT_A4R4G4B4).alpha, 255);
    EXPECT_EQ(Decode(0x8000, D3DFMT_A4R4G4B4).alpha, 0x80);
}

TEST(D3d9PixelConvert, ThirtyTwoBitAndLuminanceFormats) {
    OvRGBA c{0x12, 0x34, 0x56, 0x78};
    OvUInt32 p = 0;
    ASSERT_TRUE(OvD3D9ColorToPixel(&p, &c, ovRASTERFORMAT8888));
    EXPECT_EQ(p, 0x78123456u);
    ASSERT_TRUE(OvD3D9ColorToPixel(&p, &c, ovRASTERFORMATDEFAULT));
    EXPECT_EQ(p, 0x78123456u);
    ASSERT_TRUE(OvD3D9ColorToPixel(&p, &c, ovRASTERFORMAT888));
    EXPECT_EQ(p, 0xFF123456u);
    OvRGBA out{};
    ASSERT_TRUE(OvD3D9PixelToColor(&out, &p, ovRASTERFORMAT888));
    EXPECT_TRUE(Same(out, {0x12, 0x34, 0x56, 255}));
    // Luminance scaled by alpha: (30*200 + 59*100 + 11*50) / 100 = 124, x 128 / 255 = 62.
    OvRGBA grey{200, 100, 50, 128};
    ASSERT_TRUE(OvD3D9ColorToPixel(&p, &grey, ovRASTERFORMATLUM8));
    EXPECT_EQ(p, 62u);
    ASSERT_TRUE(OvD3D9PixelToColor(&out, &p, ovRASTERFORMATLUM8));
    EXPECT_TRUE(Same(out, {62, 62, 62, 255}));
    // A palette entry passes unchanged.
    p = 0x04030201;
    ASSERT_TRUE(OvD3D9PixelToColor(&out, &p, ovRASTERFORMATPAL8 | ovRASTERFORMAT8888));
    EXPECT_TRUE(Same(out, {1, 2, 3, 4}));
}

TEST(D3d9PixelConvert, EncoderAndDecoderTablesAgree) {
    // For each format with both an encoder and a decoder, decoding an encoded colour and
    // encoding that again is stable (the second pass loses nothing more).
    const D3DFORMAT formats[] = {D3DFMT_A8R8G8B8, D3DFMT_X8R8G8B8, D3DFMT_R5G6B5, D3DFMT_X1R5G5B5,
                                 D3DFMT_A1R5G5B5, D3DFMT_A4R4G4B4, D3DFMT_A8R3G3B2, D3DFMT_X4R4G4B4,
                                 D3DFMT_A8B8G8R8, D3DFMT_X8B8G8R8, D3DFMT_A8L8, 60, 61, 62, 63, 117};
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

TEST(D3d9PixelConvert, UnknownEngineFormatsReportTheFormatError) {
    OvError drained{};
    OvErrorGet(&drained);
    OvRGBA c{};
    OvUInt32 p = 0;
    EXPECT_FALSE(OvD3D9ColorToPixel(&p, &c, ovRASTERFORMAT16));
    OvError e{};
    OvErrorGet(&e);
    EXPECT_EQ(e.errorCode, ovERRBADRASTERFORMAT);
    EXPECT_FALSE(OvD3D9PixelToColor(&c, &p, ovRASTERFORMAT32));
    OvErrorGet(&e);
    EXPECT_EQ(e.errorCode, ovERRBADRASTERFORMAT);
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
