// Raster kinds beyond plain textures (camera textures, depth textures, sub-rasters, 4-bit palette
// requests) and the raster clears and copies into the context raster, checked pixel by pixel.

#include <cmath>
#include <cstring>
#include <limits>
#include <vector>

#include "graphics/core/d3d9/pixel_convert.h"
#include "graphics/core/d3d9/raster.h"
#include "graphics/core/d3d9/tests/d3d9_fixture.h"
#include "graphics/core/error.h"
#include "graphics/core/image.h"

namespace {

using D3d9RasterCopyTest = D3d9DriverTest;

OvRaster* SubRaster(OvRaster* parent, OvInt32 x, OvInt32 y, OvInt32 w, OvInt32 h) {
    OvRaster* sub = OvRasterCreate(w, h, 0, parent->cType | ovRASTERDONTALLOCATE);
    EXPECT_NE(sub, nullptr);
    sub->nOffsetX = static_cast<OvUInt16>(x);
    sub->nOffsetY = static_cast<OvUInt16>(y);
    EXPECT_TRUE(OvD3D9RasterSubRaster(sub, parent, 0));
    return sub;
}

} // namespace

TEST_F(D3d9RasterCopyTest, ClearsFillTheirRectangleOfEveryKindOfContext) {
    ASSERT_TRUE(Up());
    IDirect3DDevice9* device = OvD3D9GetDevice();
    const int live = D3d9LiveObjects(device);
    const D3DPRESENT_PARAMETERS* pp = OvD3D9GetPresentParameters();
    const auto bw = static_cast<OvInt32>(pp->BackBufferWidth), bh = static_cast<OvInt32>(pp->BackBufferHeight);
    OvRaster* tex8888 = OvRasterCreate(16, 8, 32, ovRASTERTYPETEXTURE | ovRASTERFORMAT8888);
    OvRaster* tex565 = OvRasterCreate(8, 8, 16, ovRASTERTYPETEXTURE | ovRASTERFORMAT565);
    OvRaster* camera = OvRasterCreate(bw, bh, 0, ovRASTERTYPECAMERA);
    OvRaster* target = OvRasterCreate(16, 16, 0, ovRASTERTYPECAMERATEXTURE);
    ASSERT_TRUE(tex8888 && tex565 && camera && target);
    EXPECT_EQ(OvRasterGetFormat(target), ovRASTERFORMAT888); // a 32-bit display
    OvRaster* window = SubRaster(tex8888, 4, 2, 8, 4);
    struct Case {
        const char* what;
        OvRaster* context;
        OvUInt32 first, second; // pixel values in the context's format
        OvUInt32 mask;          // the bits a pixel keeps
    };
    const Case cases[] = {
        {"8888 texture", tex8888, 0x80112233u, 0xFF00FF00u, 0xFFFFFFFFu},
        {"565 texture", tex565, 0xF800u, 0x07E0u, 0xFFFFu},
        {"camera", camera, 0xFF336699u, 0xFFCC0000u, 0xFFFFFFu},
        {"camera texture", target, 0xFF0000FFu, 0xFF00FF00u, 0xFFFFFFu},
        {"sub-raster", window, 0x01020304u, 0x0A0B0C0Du, 0xFFFFFFFFu},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.what);
        ASSERT_TRUE(OvD3D9SetContextRaster(nullptr, k.context, 0));
        ASSERT_TRUE(OvD3D9RasterClear(nullptr, nullptr, static_cast<OvInt32>(k.first)));
        // A rectangle reaching past the right and bottom edges is clipped to the raster.
        const OvRect rect{k.context->width - 3, 1, 10, k.context->height};
        ASSERT_TRUE(OvD3D9RasterClearRect(nullptr, const_cast<OvRect*>(&rect), static_cast<OvInt32>(k.second)));
        const std::vector<OvUInt32> got = LevelPixels(k.context);
        ASSERT_EQ(got.size(), static_cast<std::size_t>(k.context->width * k.context->height));
        for (OvInt32 y = 0; y < k.context->height; ++y) {
            for (OvInt32 x = 0; x < k.context->width; ++x) {
                const bool inside = x >= rect.x && y >= rect.y;
                ASSERT_EQ(got[static_cast<std::size_t>(y * k.context->width + x)] & k.mask,
                          (inside ? k.second : k.first) & k.mask)
                    << x << "," << y;
            }
        }
    }
    // A rectangle whose far edge lies beyond the largest coordinate still clips to the raster.
    ASSERT_TRUE(OvD3D9SetContextRaster(nullptr, tex565, 0));
    ASSERT_TRUE(OvD3D9RasterClear(nullptr, nullptr, 0));
    const OvRect huge{5, 6, std::numeric_limits<OvInt32>::max(), std::numeric_limits<OvInt32>::max()};
    ASSERT_TRUE(OvD3D9RasterClearRect(nullptr, const_cast<OvRect*>(&huge), 0x001F));
    const std::vector<OvUInt32> cleared = LevelPixels(tex565);
    for (OvInt32 i = 0; i < 64; ++i) {
        EXPECT_EQ(cleared[static_cast<std::size_t>(i)] & 0xFFFFu, i % 8 >= 5 && i / 8 >= 6 ? 0x001Fu : 0u) << i;
    }
    // The sub-raster's clears stayed inside its window of the parent.
    const std::vector<OvUInt32> parent = LevelPixels(tex8888);
    EXPECT_EQ(parent[0], 0x80112233u);
    EXPECT_EQ(parent[2 * 16 + 4], 0x01020304u);
    EXPECT_EQ(parent[3 * 16 + 11], 0x0A0B0C0Du);
    EXPECT_EQ(parent[3 * 16 + 12], 0x80112233u);

    // A z raster is cleared on its own surface; the bound depth surface is bound again after it.
    OvRaster* z = OvRasterCreate(32, 32, 0, ovRASTERTYPEZBUFFER);
    IDirect3DSurface9* bound = nullptr;
    device->GetDepthStencilSurface(&bound);
    ASSERT_TRUE(OvD3D9SetContextRaster(nullptr, z, 0));
    EXPECT_TRUE(OvD3D9RasterClear(nullptr, nullptr, 0));
    IDirect3DSurface9* after = nullptr;
    device->GetDepthStencilSurface(&after);
    EXPECT_EQ(after, bound);
    for (IDirect3DSurface9* s : {bound, after}) {
        if (s != nullptr) {
            s->Release();
        }
    }
    OvD3D9SetContextRaster(nullptr, nullptr, 0);
    for (OvRaster* r : {z, window, target, camera, tex565, tex8888}) {
        OvRasterDestroy(r);
    }
    EXPECT_EQ(D3d9LiveObjects(device), live);
}

TEST_F(D3d9RasterCopyTest, CopiesPlaceScaleAndConvertPixels) {
    ASSERT_TRUE(Up());
    IDirect3DDevice9* device = OvD3D9GetDevice();
    const int live = D3d9LiveObjects(device);
    const D3DPRESENT_PARAMETERS* pp = OvD3D9GetPresentParameters();
    OvRaster* source = OvRasterCreate(4, 4, 32, ovRASTERTYPETEXTURE | ovRASTERFORMAT8888);
    OvRaster* dest = OvRasterCreate(16, 16, 32, ovRASTERTYPETEXTURE | ovRASTERFORMAT8888);
    OvRaster* dest565 = OvRasterCreate(8, 8, 16, ovRASTERTYPETEXTURE | ovRASTERFORMAT565);
    OvRaster* camera = OvRasterCreate(static_cast<OvInt32>(pp->BackBufferWidth),
                                      static_cast<OvInt32>(pp->BackBufferHeight), 0, ovRASTERTYPECAMERA);
    OvRaster* target = OvRasterCreate(8, 8, 0, ovRASTERTYPECAMERATEXTURE);
    OvRaster* z = OvRasterCreate(16, 16, 0, ovRASTERTYPEZBUFFER);
    ASSERT_TRUE(source && dest && dest565 && camera && target && z);
    const auto colour = [](OvInt32 x, OvInt32 y) {
        return 0xFF000000u | static_cast<OvUInt32>(x * 0x40 << 16 | y * 0x40);
    };
    PaintLevel(source, colour);
    PaintLevel(dest, [](OvInt32, OvInt32) { return 0u; });

    // Placed: the source's pixels at the position, nothing else touched.
    OvD3D9SetContextRaster(nullptr, dest, 0);
    OvV2d at{5, 3};
    ASSERT_TRUE(OvD3D9RasterRender(source, &at, 0));
    std::vector<OvUInt32> got = LevelPixels(dest);
    for (OvInt32 y = 0; y < 16; ++y) {
        for (OvInt32 x = 0; x < 16; ++x) {
            const bool inside = x >= 5 && x < 9 && y >= 3 && y < 7;
            ASSERT_EQ(got[static_cast<std::size_t>(y * 16 + x)], inside ? colour(x - 5, y - 3) : 0u) << x << "," << y;
        }
    }
    // A position that is no number is refused; one far outside the context draws nothing.
    const std::vector<OvUInt32> before = LevelPixels(dest);
    TakeError();
    for (const OvV2d& bad : {OvV2d{std::nanf(""), 0}, OvV2d{0, std::numeric_limits<float>::infinity()}}) {
        EXPECT_FALSE(OvD3D9RasterRender(source, const_cast<OvV2d*>(&bad), 0));
        EXPECT_EQ(TakeError(), 2);
    }
    for (const OvV2d& far : {OvV2d{3e9f, 0}, OvV2d{0, -3e9f}, OvV2d{-1e30f, 1e30f}}) {
        EXPECT_TRUE(OvD3D9RasterRender(source, const_cast<OvV2d*>(&far), 0));
    }
    ASSERT_EQ(LevelPixels(dest), before);
    // Scaled to twice the size: each source pixel covers two by two.
    OvRect twice{0, 8, 8, 8};
    ASSERT_TRUE(OvD3D9RasterRenderScaled(source, &twice, 0));
    got = LevelPixels(dest);
    for (OvInt32 y = 8; y < 16; ++y) {
        for (OvInt32 x = 0; x < 8; ++x) {
            ASSERT_EQ(got[static_cast<std::size_t>(y * 16 + x)], colour(x / 2, (y - 8) / 2)) << x << "," << y;
        }
    }
    // Into a 565 raster the colours are converted as the encoder has them.
    OvD3D9SetContextRaster(nullptr, dest565, 0);
    OvV2d origin{0, 0};
    ASSERT_TRUE(OvD3D9RasterRenderFast(source, &origin, 0));
    got = LevelPixels(dest565);
    for (OvInt32 y = 0; y < 4; ++y) {
        for (OvInt32 x = 0; x < 4; ++x) {
            OvRGBA c{};
            ASSERT_TRUE(OvD3D9DecodePixel(&c, colour(x, y), D3DFMT_A8R8G8B8));
            OvUInt32 expected = 0;
            ASSERT_TRUE(OvD3D9EncodePixel(&expected, c, D3DFMT_R5G6B5));
            ASSERT_EQ(got[static_cast<std::size_t>(y * 8 + x)], expected);
        }
    }
    // Texture into the camera, camera into a camera texture (on the device), that back into a texture.
    OvD3D9SetContextRaster(nullptr, camera, 0);
    OvV2d corner{10, 20};
    ASSERT_TRUE(OvD3D9RasterRender(source, &corner, 0));
    OvRaster* window = SubRaster(camera, 10, 20, 4, 4);
    OvD3D9SetContextRaster(nullptr, target, 0);
    ASSERT_TRUE(OvD3D9RasterRender(window, &origin, 0));
    // A destination reaching past the largest coordinate is refused by the device, not wrapped.
    const OvRect beyond{5, 0, std::numeric_limits<OvInt32>::max(), 4};
    EXPECT_FALSE(OvD3D9RasterRenderScaled(window, const_cast<OvRect*>(&beyond), 0));
    TakeError();
    OvD3D9SetContextRaster(nullptr, dest, 0);
    ASSERT_TRUE(OvD3D9RasterRender(target, &origin, 0));
    got = LevelPixels(dest);
    for (OvInt32 y = 0; y < 4; ++y) {
        for (OvInt32 x = 0; x < 4; ++x) {
            ASSERT_EQ(got[static_cast<std::size_t>(y * 16 + x)] & 0xFFFFFFu, colour(x, y) & 0xFFFFFFu);
        }
    }
    // Z rasters take no part, either way.
    TakeError();
    EXPECT_FALSE(OvD3D9RasterRender(z, &origin, 0));
    EXPECT_EQ(TakeError(), 2);
    OvD3D9SetContextRaster(nullptr, z, 0);
    EXPECT_FALSE(OvD3D9RasterRender(source, &origin, 0));
    EXPECT_EQ(TakeError(), 2);
    OvD3D9SetContextRaster(nullptr, nullptr, 0);
    for (OvRaster* r : {window, z, target, camera, dest565, dest, source}) {
        OvRasterDestroy(r);
    }
    EXPECT_EQ(D3d9LiveObjects(device), live);
}

TEST_F(D3d9RasterCopyTest, SubRastersLockTheirWindowOfTheParent) {
    ASSERT_TRUE(Up());
    IDirect3DDevice9* device = OvD3D9GetDevice();
    const int live = D3d9LiveObjects(device);
    OvRaster* parent = OvRasterCreate(16, 16, 32, ovRASTERTYPETEXTURE | ovRASTERFORMAT888);
    PaintLevel(parent, [](OvInt32 x, OvInt32 y) { return static_cast<OvUInt32>(y * 16 + x); });
    OvRaster* sub = SubRaster(parent, 3, 5, 6, 2);
    EXPECT_EQ(sub->depth, 32);
    EXPECT_EQ(OvRasterGetFormat(sub), OvRasterGetFormat(parent));
    const std::vector<OvUInt32> got = LevelPixels(sub);
    ASSERT_EQ(got.size(), 12u);
    for (OvInt32 i = 0; i < 12; ++i) {
        EXPECT_EQ(got[static_cast<std::size_t>(i)] & 0xFFFFFFu, static_cast<OvUInt32>((5 + i / 6) * 16 + 3 + i % 6));
    }
    // A sub-raster owns nothing: destroying it leaves the parent's texture alone.
    OvRasterDestroy(sub);
    EXPECT_EQ(LevelPixels(parent)[0] & 0xFFFFFFu, 0u);
    // A raster without pixels of its own has nothing to lock; one without a resource still
    // counts its levels.
    OvRaster* empty = OvRasterCreate(256, 64, 0, ovRASTERTYPETEXTURE | ovRASTERDONTALLOCATE | ovRASTERFORMATMIPMAP);
    TakeError();
    EXPECT_EQ(OvRasterLock(empty, 0, ovRASTERLOCKREAD), nullptr);
    EXPECT_EQ(TakeError(), ovERRRASTERLOCKED);
    EXPECT_EQ(OvRasterGetNumLevels(empty), 9);
    OvRasterDestroy(empty);
    OvRasterDestroy(parent);
    EXPECT_EQ(D3d9LiveObjects(device), live);
}

TEST_F(D3d9RasterCopyTest, CameraAndDepthTexturesLiveInTheDefaultPoolAcrossAReset) {
    D3d9Adapter adapter = D3d9DefaultAdapter();
    adapter.depthTextureFormats = {D3DFMT_D16};
    adapter.textureFormats.push_back(D3DFMT_P8);
    D3d9SetAdapters({adapter});
    ASSERT_TRUE(Up());
    IDirect3DDevice9* device = OvD3D9GetDevice();
    const int live = D3d9LiveObjects(device);
    OvRaster* target = OvRasterCreate(16, 16, 0, ovRASTERTYPECAMERATEXTURE | ovRASTERFORMAT8888);
    OvRaster* depth = OvRasterCreate(16, 16, 0, ovRASTERTYPETEXTURE | ovRASTERFORMAT16);
    ASSERT_TRUE(target && depth);
    EXPECT_EQ(OvD3D9RasterExtGet(target)->format, D3DFMT_A8R8G8B8);
    EXPECT_EQ(OvD3D9RasterExtGet(depth)->format, D3DFMT_D16);
    EXPECT_EQ(D3d9LiveObjects(device), live + 2);
    // Locks go through a system-memory copy that each unlock releases.
    for (int i = 0; i < 3; ++i) {
        PaintLevel(target, [i](OvInt32 x, OvInt32) { return static_cast<OvUInt32>(x + i); });
        EXPECT_EQ(LevelPixels(target)[5], static_cast<OvUInt32>(5 + i));
    }
    EXPECT_EQ(D3d9LiveObjects(device), live + 2);
    // A reset takes both away and makes them again.
    ASSERT_TRUE(OvD3D9DeviceReset());
    EXPECT_NE(OvD3D9RasterExtGet(target)->texture, nullptr);
    EXPECT_NE(OvD3D9RasterExtGet(depth)->texture, nullptr);
    EXPECT_EQ(D3d9LiveObjects(device), live + 2);
    // Camera rasters keep their share of a back buffer that a reset halves.
    D3DPRESENT_PARAMETERS* pp = OvD3D9EditPresentParameters();
    const auto bw = static_cast<OvInt32>(pp->BackBufferWidth), bh = static_cast<OvInt32>(pp->BackBufferHeight);
    OvRaster* whole = OvRasterCreate(bw, bh, 0, ovRASTERTYPECAMERA);
    OvRaster* quarter = OvRasterCreate(bw / 2, bh / 2, 0, ovRASTERTYPECAMERA);
    ASSERT_TRUE(whole && quarter);
    OvD3D9DeviceLostRelease();
    pp->BackBufferWidth = static_cast<UINT>(bw / 2);
    pp->BackBufferHeight = static_cast<UINT>(bh / 2);
    ASSERT_EQ(device->Reset(pp), D3D_OK);
    ASSERT_TRUE(OvD3D9DeviceLostRestore());
    EXPECT_EQ(whole->width, bw / 2);
    EXPECT_EQ(whole->height, bh / 2);
    EXPECT_EQ(quarter->width, bw / 4);
    EXPECT_EQ(quarter->height, bh / 4);
    OvRasterDestroy(quarter);
    OvRasterDestroy(whole);
    // 4-bit palettes are asked for and made as 8-bit ones.
    OvRaster* pal = OvRasterCreate(8, 8, 4, ovRASTERTYPETEXTURE | ovRASTERFORMATPAL4);
    ASSERT_NE(pal, nullptr);
    EXPECT_EQ(OvRasterGetFormat(pal), ovRASTERFORMATPAL8 | ovRASTERFORMAT888);
    OvImage* image = OvImageCreate(4, 4, 4);
    OvImageAllocatePixels(image);
    for (int i = 0; i < 16; ++i) {
        image->palette[i * 4] = static_cast<OvUInt8>(i * 16);
        image->palette[i * 4 + 3] = 255;
        image->cpPixels[(i / 4) * image->stride + i % 4] = static_cast<OvUInt8>(15 - i);
    }
    OvInt32 width = 0, height = 0, bits = 0, format = 0;
    ASSERT_NE(OvRasterQueryFormat(image, ovRASTERTYPETEXTURE, &width, &height, &bits, &format), nullptr);
    EXPECT_EQ(format, ovRASTERTYPETEXTURE | ovRASTERFORMATPAL8 | ovRASTERFORMAT888);
    EXPECT_EQ(bits, 8);
    // Its indices and 16 entries go into the 8-bit palette texture and come back.
    OvRaster* four = OvRasterCreate(width, height, bits, format);
    ASSERT_NE(four, nullptr);
    ASSERT_EQ(OvRasterSetFromImage(four, image), four);
    OvImage* back = OvImageCreate(4, 4, 8);
    OvImageAllocatePixels(back);
    ASSERT_EQ(OvImageSetFromRaster(back, four), back);
    for (int i = 0; i < 16; ++i) {
        EXPECT_EQ(back->cpPixels[(i / 4) * back->stride + i % 4], 15 - i);
    }
    EXPECT_EQ(std::memcmp(back->palette, image->palette, 16 * 4), 0);
    OvImageDestroy(back);
    OvRasterDestroy(four);
    OvImageDestroy(image);
    for (OvRaster* r : {pal, depth, target}) {
        OvRasterDestroy(r);
    }
    EXPECT_EQ(D3d9LiveObjects(device), live);
}

TEST_F(D3d9RasterCopyTest, ConversionToMipLevelsKeepsThePixelsAndRefusesCubes) {
    D3d9Adapter adapter = D3d9DefaultAdapter();
    adapter.cubeFormats = {D3DFMT_R5G6B5};
    D3d9SetAdapters({adapter});
    ASSERT_TRUE(Up());
    IDirect3DDevice9* device = OvD3D9GetDevice();
    const int live = D3d9LiveObjects(device);
    const auto colour = [](OvInt32 x, OvInt32 y) { return 0xFF000000u | static_cast<OvUInt32>(x << 20 | y << 4); };
    for (const OvInt32 code : {ovRASTERFORMAT565, ovRASTERFORMAT8888}) {
        OvRaster* raster = OvRasterCreate(8, 8, 0, ovRASTERTYPETEXTURE | code);
        ASSERT_NE(raster, nullptr);
        PaintLevel(raster, [&](OvInt32 x, OvInt32 y) {
            OvRGBA c{};
            OvD3D9DecodePixel(&c, colour(x, y), D3DFMT_A8R8G8B8);
            OvUInt32 v = 0;
            OvD3D9EncodePixel(&v, c, OvD3D9RasterExtGet(raster)->format);
            return v;
        });
        const std::vector<OvUInt32> before = LevelPixels(raster);
        ASSERT_EQ(OvD3D9RasterConvertToMipmapped(raster), raster);
        // Without alpha the raster becomes 888, with alpha 8888 (a 32-bit display).
        EXPECT_EQ(OvRasterGetFormat(raster), (code == ovRASTERFORMAT565 ? ovRASTERFORMAT888 : ovRASTERFORMAT8888) |
                                                 ovRASTERFORMATMIPMAP | ovRASTERFORMATAUTOMIPMAP);
        EXPECT_EQ(OvRasterGetNumLevels(raster), 4);
        const std::vector<OvUInt32> after = LevelPixels(raster);
        for (std::size_t i = 0; i < after.size(); ++i) {
            OvRGBA a{}, b{};
            OvD3D9DecodePixel(&a, before[i], code == ovRASTERFORMAT565 ? D3DFMT_R5G6B5 : D3DFMT_A8R8G8B8);
            OvD3D9DecodePixel(&b, after[i], OvD3D9RasterExtGet(raster)->format);
            ASSERT_EQ(std::memcmp(&a, &b, sizeof a), 0) << i;
        }
        OvRasterDestroy(raster);
    }
    OvRaster* cube = OvRasterCreate(8, 8, 16, ovRASTERTYPETEXTURE | ovRASTERDONTALLOCATE | ovRASTERFORMAT565);
    ASSERT_TRUE(OvD3D9RasterMakeTexture(cube, D3DFMT_R5G6B5, 1, TRUE, FALSE));
    EXPECT_EQ(OvD3D9RasterConvertToMipmapped(cube), nullptr);
    EXPECT_TRUE(OvD3D9RasterIsCubeMap(cube));
    OvRasterDestroy(cube);
    TakeError();
    EXPECT_EQ(D3d9LiveObjects(device), live);
}

TEST_F(D3d9RasterCopyTest, TrueColoursGoIntoPaletteTexturesThroughAPaletteMadeForThem) {
    D3d9Adapter adapter = D3d9DefaultAdapter();
    adapter.textureFormats.push_back(D3DFMT_P8);
    adapter.caps.TextureCaps |= D3DPTEXTURECAPS_ALPHAPALETTE;
    D3d9SetAdapters({adapter});
    ASSERT_TRUE(Up());
    const OvUInt8 colours[4][4] = {{255, 0, 0, 255}, {0, 255, 0, 128}, {0, 0, 255, 255}, {9, 9, 9, 0}};
    for (const bool translucent : {true, false}) {
        SCOPED_TRACE(translucent ? "translucent" : "opaque");
        OvImage* image = OvImageCreate(8, 4, 32);
        OvImageAllocatePixels(image);
        for (OvInt32 i = 0; i < 32; ++i) {
            OvUInt8* p = image->cpPixels + (i / 8) * image->stride + (i % 8) * 4;
            std::memcpy(p, colours[(i * 7) % 4], 4);
            p[3] = translucent ? p[3] : 255;
        }
        OvRaster* r = OvRasterCreate(8, 4, 8, ovRASTERTYPETEXTURE | ovRASTERFORMATPAL8 | ovRASTERFORMAT8888);
        ASSERT_NE(r, nullptr);
        ASSERT_EQ(OvRasterSetFromImage(r, image), r);
        // Colours the palette does not need alpha for leave it without.
        EXPECT_EQ(OvRasterGetFormat(r), ovRASTERFORMATPAL8 | (translucent ? ovRASTERFORMAT8888 : ovRASTERFORMAT888));
        EXPECT_EQ(OvD3D9RasterExtGet(r)->hasAlpha, translucent ? 1 : 0);
        OvImage* back = OvImageCreate(8, 4, 32);
        OvImageAllocatePixels(back);
        ASSERT_EQ(OvImageSetFromRaster(back, r), back);
        for (OvInt32 y = 0; y < 4; ++y) {
            EXPECT_EQ(std::memcmp(back->cpPixels + y * back->stride, image->cpPixels + y * image->stride, 32), 0) << y;
        }
        OvImageDestroy(back);
        OvImageDestroy(image);
        OvRasterDestroy(r);
    }
}
