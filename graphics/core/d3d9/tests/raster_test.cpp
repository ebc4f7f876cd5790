#include "graphics/core/d3d9/raster.h"

#include <png.h>

#include <algorithm>
#include <string>
#include <cstring>
#include <vector>

#include "graphics/core/d3d9/pixel_convert.h"
#include "graphics/core/d3d9/tests/d3d9_fixture.h"
#include "graphics/core/error.h"
#include "graphics/core/file_system.h"
#include "graphics/core/image.h"
#include "graphics/toolkits/png_reader.h"
#include "testing/scratch_dir.h"

namespace {

using D3d9RasterTest = D3d9DriverTest;

TEST_F(D3d9RasterTest, TexturesAreManagedAndLockByLevel) {
    ASSERT_TRUE(Up());
    IDirect3DDevice9* device = OvD3D9GetDevice();
    const int live = D3d9LiveObjects(device);
    OvRaster* r = OvRasterCreate(16, 16, 32, ovRASTERTYPETEXTURE | ovRASTERFORMAT8888 | ovRASTERFORMATMIPMAP);
    ASSERT_NE(r, nullptr);
    OvD3D9RasterExt* ext = OvD3D9RasterExtGet(r);
    ASSERT_NE(ext->texture, nullptr);
    EXPECT_EQ(ext->format, D3DFMT_A8R8G8B8);
    EXPECT_EQ(r->depth, 32);
    EXPECT_EQ(OvRasterGetNumLevels(r), 5);

    // Each level reports its own size and restores the raster's on unlock; writes reach the level.
    for (int level = 0; level < 5; ++level) {
        OvUInt8* p = OvRasterLock(r, static_cast<OvUInt8>(level), ovRASTERLOCKWRITE | ovRASTERLOCKREAD);
        ASSERT_NE(p, nullptr);
        EXPECT_EQ(r->width, 16 >> level);
        EXPECT_EQ(r->height, 16 >> level);
        EXPECT_GE(r->stride, r->width * 4);
        EXPECT_EQ(r->privateFlags, ovRASTERPIXELLOCKEDREAD | ovRASTERPIXELLOCKEDWRITE);
        p[0] = static_cast<OvUInt8>(0x40 + level);
        TakeError();
        // A second lock is refused and the first stays intact.
        EXPECT_EQ(OvRasterLock(r, 0, ovRASTERLOCKREAD), nullptr);
        EXPECT_EQ(TakeError(), ovERRRASTERLOCKED);
        EXPECT_EQ(r->cpPixels, p);
        ASSERT_EQ(OvRasterUnlock(r), r);
        EXPECT_EQ(r->width, 16);
        EXPECT_EQ(r->height, 16);
        EXPECT_EQ(r->privateFlags, 0);
    }
    for (int level = 0; level < 5; ++level) {
        OvUInt8* p = OvRasterLock(r, static_cast<OvUInt8>(level), ovRASTERLOCKREAD);
        ASSERT_NE(p, nullptr);
        EXPECT_EQ(p[0], 0x40 + level);
        OvRasterUnlock(r);
    }
    EXPECT_EQ(OvRasterLock(r, 5, ovRASTERLOCKREAD), nullptr);
    TakeError();
    EXPECT_EQ(OvRasterUnlock(r), nullptr);
    EXPECT_EQ(TakeError(), ovERRRASTERNOTLOCKED);

    // Destroying a locked raster releases the level surface and the texture.
    ASSERT_NE(OvRasterLock(r, 1, ovRASTERLOCKWRITE), nullptr);
    OvRasterDestroy(r);
    EXPECT_EQ(D3d9LiveObjects(device), live);
}

TEST_F(D3d9RasterTest, FormatChoiceFollowsTheRequestAndTheAdapter) {
    // Each request on the default adapter and on one without L8 and 32-bit textures (neither
    // takes P8 or depth textures): the device format made, or a refusal with its error (0: the
    // refusal sets none). A format asked is made as asked or not at all.
    const OvInt32 tex = ovRASTERTYPETEXTURE;
    struct Row {
        const char* what;
        OvInt32 depth, flags;
        D3DFORMAT full, limited; // 0: refused
        OvInt32 error;
    };
    const Row rows[] = {
        {"no format", 16, tex, D3DFMT_A8R8G8B8, D3DFMT_A4R4G4B4, 0},
        {"no format, normal type", 32, ovRASTERTYPENORMAL, D3DFMT_A8R8G8B8, D3DFMT_A4R4G4B4, 0},
        {"8888", 32, tex | ovRASTERFORMAT8888, D3DFMT_A8R8G8B8, 0, 0},
        {"888", 32, tex | ovRASTERFORMAT888, D3DFMT_X8R8G8B8, 0, 0},
        {"luminance", 8, tex | ovRASTERFORMATLUM8, D3DFMT_L8, 0, 0},
        {"555", 16, tex | ovRASTERFORMAT555, D3DFMT_X1R5G5B5, D3DFMT_X1R5G5B5, 0},
        {"camera texture, none asked", 0, ovRASTERTYPECAMERATEXTURE, D3DFMT_X8R8G8B8, D3DFMT_X8R8G8B8, 0},
        {"camera texture, 565 kept", 16, ovRASTERTYPECAMERATEXTURE | ovRASTERFORMAT565, D3DFMT_R5G6B5, D3DFMT_R5G6B5,
         0},
        {"camera texture, 4444 no render target", 16, ovRASTERTYPECAMERATEXTURE | ovRASTERFORMAT4444, 0, 0,
         ovERRBADRASTERFORMAT},
        {"palette without P8", 8, tex | ovRASTERFORMATPAL8 | ovRASTERFORMAT888, 0, 0, 0},
        {"4-bit palette with a format", 4, tex | ovRASTERFORMATPAL4 | ovRASTERFORMAT888, 0, 0, ovERRBADRASTERFORMAT},
        {"code that is no format", 32, tex | 0x0B00, 0, 0, ovERRBADRASTERFORMAT},
        {"depth format without depth textures", 16, tex | ovRASTERFORMAT16, 0, 0, 0},
        {"raster type 3", 32, 3, 0, 0, ovERRBADRASTERFORMAT},
        {"palettised camera texture", 8, ovRASTERTYPECAMERATEXTURE | ovRASTERFORMATPAL8 | ovRASTERFORMAT888, 0, 0, 2},
    };
    for (const bool full : {true, false}) {
        D3d9Adapter adapter = D3d9DefaultAdapter();
        if (!full) {
            for (D3DFORMAT f : {D3DFMT_L8, D3DFMT_A8R8G8B8, D3DFMT_X8R8G8B8}) {
                std::erase(adapter.textureFormats, f);
            }
        }
        D3d9SetAdapters({adapter});
        ASSERT_TRUE(Up());
        for (const Row& k : rows) {
            SCOPED_TRACE(std::string(k.what) + (full ? " on the default adapter" : " on the limited one"));
            TakeError();
            OvRaster* r = OvRasterCreate(8, 8, k.depth, k.flags);
            const D3DFORMAT want = full ? k.full : k.limited;
            if (want == 0) {
                EXPECT_EQ(r, nullptr);
                EXPECT_EQ(TakeError(), k.error == 0 ? ovERRNOERROR : k.error);
                continue;
            }
            ASSERT_NE(r, nullptr);
            EXPECT_EQ(OvD3D9RasterExtGet(r)->format, want);
            const OvInt32 bits = want == D3DFMT_L8 ? 8 : want == D3DFMT_A8R8G8B8 || want == D3DFMT_X8R8G8B8 ? 32 : 16;
            EXPECT_EQ(r->depth, bits);
            OvRasterDestroy(r);
        }
        // A raster of an exact format the adapter does not take is refused before the device is
        // asked, without an error.
        D3d9LogEnable(true);
        D3d9LogClear();
        OvRaster* exact = OvD3D9RasterCreateWithFormat(8, 8, D3DFMT_A8R8G8B8, tex);
        EXPECT_EQ(exact != nullptr, full);
        EXPECT_EQ(D3d9LogCount("CreateTexture"), full ? 1 : 0);
        EXPECT_EQ(TakeError(), ovERRNOERROR);
        if (exact != nullptr) {
            OvRasterDestroy(exact);
        }
        D3d9LogEnable(false);
        // The device refusing the texture fails the creation cleanly.
        D3d9ScriptFailure("CreateTexture", D3DERR_OUTOFVIDEOMEMORY);
        EXPECT_EQ(OvRasterCreate(8, 8, 32, tex | ovRASTERFORMAT4444), nullptr);
        EXPECT_EQ(TakeError(), 2);
        ASSERT_TRUE(OvEngineStop());
        ASSERT_TRUE(OvEngineClose());
    }
}

// Rasters made without pixels (asked so, or empty) settle their format and depth as those made
// with pixels do. A z-buffer or camera raster may be made with the device's own format named,
// but a format query for one may name none.
TEST_F(D3d9RasterTest, RastersWithoutPixelsSettleTheirFormatAndDepth) {
    D3d9Adapter adapter = D3d9DefaultAdapter();
    adapter.textureFormats.push_back(D3DFMT_P8);
    std::erase(adapter.textureFormats, D3DFMT_L8);
    D3d9SetAdapters({adapter});
    ASSERT_TRUE(Up());
    const OvInt32 none = ovRASTERDONTALLOCATE, tex = ovRASTERTYPETEXTURE;
    struct Row {
        const char* what;
        OvInt32 size, flags;
        OvInt32 format, depth; // format -1: refused without an error
    };
    const Row rows[] = {
        {"texture", 8, tex | none, ovRASTERFORMAT8888, 32},
        {"4444 texture", 8, tex | none | ovRASTERFORMAT4444, ovRASTERFORMAT4444, 16},
        {"luminance the adapter lacks", 8, tex | none | ovRASTERFORMATLUM8, -1, 0},
        {"z-buffer", 8, ovRASTERTYPEZBUFFER | none, ovRASTERFORMAT32, 32},
        {"camera", 8, ovRASTERTYPECAMERA | none, ovRASTERFORMAT888, 32},
        {"camera texture", 8, ovRASTERTYPECAMERATEXTURE | none, ovRASTERFORMAT888, 32},
        {"empty P8 texture", 0, tex | ovRASTERFORMATPAL8 | ovRASTERFORMAT888, ovRASTERFORMATPAL8 | ovRASTERFORMAT888,
         8},
    };
    for (const Row& k : rows) {
        SCOPED_TRACE(k.what);
        TakeError();
        OvRaster* r = OvRasterCreate(k.size, k.size, 0, k.flags);
        if (k.format < 0) {
            EXPECT_EQ(r, nullptr);
            EXPECT_EQ(TakeError(), ovERRNOERROR);
            continue;
        }
        ASSERT_NE(r, nullptr);
        EXPECT_EQ(OvRasterGetFormat(r), k.format);
        EXPECT_EQ(r->depth, k.depth);
        EXPECT_EQ(r->cFlags, ovRASTERDONTALLOCATE);
        OvRasterDestroy(r);
    }
    for (const OvInt32 flags : {ovRASTERTYPEZBUFFER | ovRASTERFORMAT32, ovRASTERTYPECAMERA | ovRASTERFORMAT888}) {
        const OvInt32 type = flags & ovRASTERTYPEMASK;
        OvRaster* r = OvRasterCreate(8, 8, 0, flags);
        ASSERT_NE(r, nullptr) << flags;
        OvRasterDestroy(r);
        EXPECT_EQ(OvD3D9RasterChooseFormat(type, type, 0), flags);
        TakeError();
        EXPECT_EQ(OvD3D9RasterChooseFormat(type, flags, 0), -1) << flags;
        EXPECT_EQ(TakeError(), ovERRBADRASTERFORMAT) << flags;
    }
}

// A z-buffer of the window's size is the device's own surface; another size has its own, which
// cannot be locked. Both follow the device through a reset.
TEST_F(D3d9RasterTest, ZRastersFollowTheDeviceThroughAReset) {
    ASSERT_TRUE(Up());
    IDirect3DDevice9* device = OvD3D9GetDevice();
    const int live = D3d9LiveObjects(device);
    const D3DPRESENT_PARAMETERS* pp = OvD3D9GetPresentParameters();
    const auto w = static_cast<OvInt32>(pp->BackBufferWidth);
    const auto h = static_cast<OvInt32>(pp->BackBufferHeight);
    OvRaster* full = OvRasterCreate(w, h, 0, ovRASTERTYPEZBUFFER);
    D3d9LogEnable(true);
    OvRaster* small = OvRasterCreate(64, 32, 0, ovRASTERTYPEZBUFFER);
    ASSERT_NE(full, nullptr);
    ASSERT_NE(small, nullptr);
    // A depth surface of its own is made after the managed resources have left video memory.
    ASSERT_EQ(D3d9Log().size(), 2u);
    EXPECT_EQ(D3d9Log()[0], "EvictManagedResources()");
    EXPECT_EQ(D3d9Log()[1].rfind("CreateDepthStencilSurface(64, 32", 0), 0u) << D3d9Log()[1];
    D3d9LogEnable(false);
    EXPECT_EQ(OvD3D9RasterExtGet(full)->surface, OvD3D9GetDepthSurface());
    EXPECT_EQ(OvRasterGetFormat(full) & ovRASTERFORMATPIXELFORMATMASK,
              OvD3D9GetZBufferDepth() > 16 ? ovRASTERFORMAT32 : ovRASTERFORMAT16);
    EXPECT_EQ(D3d9LiveObjects(device), live + 1);
    TakeError();
    EXPECT_EQ(OvRasterLock(small, 0, ovRASTERLOCKREAD), nullptr);
    EXPECT_EQ(TakeError(), ovERRRASTERLOCKED);
    OvRaster* texture = OvRasterCreate(8, 8, 32, ovRASTERTYPETEXTURE | ovRASTERFORMAT8888);
    ASSERT_NE(texture, nullptr);
    IDirect3DTexture9* managed = OvD3D9RasterExtGet(texture)->texture;

    // A depth surface of the default pool alive across Reset would make it fail.
    ASSERT_TRUE(OvD3D9DeviceReset());
    EXPECT_EQ(OvD3D9RasterExtGet(full)->surface, OvD3D9GetDepthSurface());
    ASSERT_NE(OvD3D9RasterExtGet(small)->surface, nullptr);
    D3DSURFACE_DESC desc{};
    OvD3D9RasterExtGet(small)->surface->GetDesc(&desc);
    EXPECT_EQ(desc.Width, 64u);
    EXPECT_EQ(desc.Height, 32u);
    EXPECT_EQ(OvD3D9RasterExtGet(texture)->texture, managed);
    EXPECT_EQ(D3d9LiveObjects(device), live + 2);

    // A surface that cannot be re-made fails the restore; a later reset mends it.
    D3d9ScriptFailure("CreateDepthStencilSurface", D3DERR_OUTOFVIDEOMEMORY);
    EXPECT_FALSE(OvD3D9DeviceReset());
    OvError drained{};
    OvErrorGet(&drained);
    EXPECT_EQ(OvD3D9RasterExtGet(small)->surface, nullptr);
    ASSERT_TRUE(OvD3D9DeviceReset());
    EXPECT_NE(OvD3D9RasterExtGet(small)->surface, nullptr);

    OvRasterDestroy(small);
    OvRasterDestroy(full);
    OvRasterDestroy(texture);
    EXPECT_EQ(D3d9LiveObjects(device), live);
    ASSERT_NE(OvD3D9GetDepthSurface(), nullptr);

    // A camera raster takes the display's format; asking another is refused.
    OvRaster* cam = OvRasterCreate(w, h, 0, ovRASTERTYPECAMERA);
    ASSERT_NE(cam, nullptr);
    EXPECT_EQ(OvD3D9RasterExtGet(cam)->format, OvD3D9GetCurrentMode()->format);
    OvRasterDestroy(cam);
    EXPECT_EQ(OvRasterCreate(w, h, 0, ovRASTERTYPECAMERA | ovRASTERFORMAT4444), nullptr);
}

// Rasters still alive when the engine stops go with the raster module's records; the device's
// list of video rasters must not keep them for the next device's resets. (These two hold no
// device object of their own: the window's depth surface and the back buffer.)
TEST_F(D3d9RasterTest, RastersAliveAtStopAreNotReachedByTheNextDevicesReset) {
    ASSERT_TRUE(Up());
    const D3DPRESENT_PARAMETERS* pp = OvD3D9GetPresentParameters();
    const auto w = static_cast<OvInt32>(pp->BackBufferWidth);
    const auto h = static_cast<OvInt32>(pp->BackBufferHeight);
    OvRaster* z = OvRasterCreate(w, h, 0, ovRASTERTYPEZBUFFER);
    OvRaster* camera = OvRasterCreate(w, h, 0, ovRASTERTYPECAMERA);
    ASSERT_NE(z, nullptr);
    ASSERT_NE(camera, nullptr);
    ASSERT_TRUE(OvD3D9SetContextRaster(nullptr, camera, 0));
    ASSERT_TRUE(OvEngineStop());
    ASSERT_TRUE(OvEngineStart());
    IDirect3DDevice9* device = OvD3D9GetDevice();
    const int live = D3d9LiveObjects(device);
    ASSERT_TRUE(OvD3D9DeviceReset());
    ASSERT_TRUE(OvD3D9DeviceReset());
    EXPECT_EQ(D3d9LiveObjects(device), live);
    // Clears draw into the raster module's current context, not the raster that is gone.
    OvRaster* fresh = OvRasterCreate(w, h, 0, ovRASTERTYPEZBUFFER);
    ASSERT_NE(fresh, nullptr);
    EXPECT_EQ(OvD3D9RasterExtGet(fresh)->surface, OvD3D9GetDepthSurface());
    OvRasterDestroy(fresh);
}

// A 32-bit image whose every pixel differs in every channel.
OvImage* Pattern(OvInt32 width, OvInt32 height) {
    OvImage* image = OvImageCreate(width, height, 32);
    OvImageAllocatePixels(image);
    for (OvInt32 y = 0; y < height; ++y) {
        for (OvInt32 x = 0; x < width; ++x) {
            OvUInt8* p = image->cpPixels + y * image->stride + x * 4;
            p[0] = static_cast<OvUInt8>(x * 13 + y);
            p[1] = static_cast<OvUInt8>(y * 29 + 7);
            p[2] = static_cast<OvUInt8>(x * y + 3);
            p[3] = static_cast<OvUInt8>(255 - x - y);
        }
    }
    return image;
}

TEST_F(D3d9RasterTest, ImagesGoThroughTexturesAndBack) {
    ASSERT_TRUE(Up());
    OvImage* source = Pattern(16, 8);
    // A texture's alpha follows its format; a normal raster's the image's (graded alpha here).
    const struct {
        OvInt32 type, format;
        OvUInt8 hasAlpha;
    } cases[] = {{ovRASTERTYPETEXTURE, ovRASTERFORMAT8888, 1},
                 {ovRASTERTYPETEXTURE, ovRASTERFORMAT565, 0},
                 {ovRASTERTYPENORMAL, ovRASTERFORMAT565, 1}};
    for (const auto& [type, format, hasAlpha] : cases) {
        OvRaster* r = OvRasterCreate(16, 8, 32, type | format);
        ASSERT_NE(r, nullptr);
        ASSERT_EQ(OvRasterSetFromImage(r, source), r);
        EXPECT_EQ(r->cpPixels, nullptr); // locked for the copy only
        OvImage* back = OvImageCreate(16, 8, 32);
        OvImageAllocatePixels(back);
        ASSERT_EQ(OvImageSetFromRaster(back, r), back);
        for (OvInt32 i = 0; i < 16 * 8 * 4; ++i) {
            const OvUInt8 want = source->cpPixels[i];
            const OvUInt8 got = back->cpPixels[i];
            if (format == ovRASTERFORMAT8888) {
                ASSERT_EQ(got, want) << i;
            } else if (i % 4 == 3) {
                ASSERT_EQ(got, 255) << i;
            } else {
                // 565 keeps the top 5 or 6 bits of each channel.
                ASSERT_EQ(got & 0xF8, want & 0xF8) << i;
            }
        }
        EXPECT_EQ(OvD3D9RasterExtGet(r)->hasAlpha, hasAlpha) << type << ' ' << format;
        OvImageDestroy(back);
        OvRasterDestroy(r);
    }

    // A raster the caller holds locked at level 1 is read there and left locked; an image of
    // another size is resampled to the raster's.
    OvRaster* r = OvRasterCreate(16, 8, 32, ovRASTERTYPETEXTURE | ovRASTERFORMAT8888 | ovRASTERFORMATMIPMAP);
    ASSERT_NE(r, nullptr);
    ASSERT_NE(OvRasterLock(r, 1, ovRASTERLOCKWRITE | ovRASTERLOCKREAD), nullptr);
    ASSERT_EQ(OvRasterSetFromImage(r, source), r);
    OvImage* half = OvImageCreate(8, 4, 32);
    OvImageAllocatePixels(half);
    ASSERT_EQ(OvImageSetFromRaster(half, r), half);
    EXPECT_NE(r->cpPixels, nullptr);
    EXPECT_EQ(r->width, 8);
    OvRasterUnlock(r);
    OvImageDestroy(half);
    OvRasterDestroy(r);
    OvImageDestroy(source);
}

// Fills a level with one value, or checks that every pixel of it holds that value.
void FillLevel(OvRaster* r, OvUInt8 level, OvUInt32 value) {
    PaintLevel(
        r, [value](OvInt32, OvInt32) { return value; }, level);
}

bool LevelHolds(OvRaster* r, OvUInt8 level, OvUInt32 value) {
    const std::vector<OvUInt32> pixels = LevelPixels(r, level);
    return !pixels.empty() && std::all_of(pixels.begin(), pixels.end(), [value](OvUInt32 v) { return v == value; });
}

TEST_F(D3d9RasterTest, WritingLevelZeroOfAnAutoMipTextureRegeneratesTheOthers) {
    ASSERT_TRUE(Up());
    OvRaster* r = OvRasterCreate(
        8, 8, 32, ovRASTERTYPETEXTURE | ovRASTERFORMAT8888 | ovRASTERFORMATMIPMAP | ovRASTERFORMATAUTOMIPMAP);
    ASSERT_NE(r, nullptr);
    ASSERT_EQ(OvRasterGetNumLevels(r), 4);
    FillLevel(r, 0, 0x80402010u);
    for (OvUInt8 level = 0; level < 4; ++level) {
        EXPECT_TRUE(LevelHolds(r, level, 0x80402010u)) << int{level};
    }
    EXPECT_NE(OvRasterGetFormat(r) & ovRASTERFORMATAUTOMIPMAP, 0);

    // Another level written leaves the rest alone; so does a read-only lock of level 0.
    FillLevel(r, 1, 0xFF00FF00u);
    ASSERT_NE(OvRasterLock(r, 0, ovRASTERLOCKREAD), nullptr);
    OvRasterUnlock(r);
    EXPECT_TRUE(LevelHolds(r, 0, 0x80402010u));
    EXPECT_TRUE(LevelHolds(r, 1, 0xFF00FF00u));
    EXPECT_TRUE(LevelHolds(r, 2, 0x80402010u));
    OvRasterDestroy(r);

    // Without the automatic flag level 0 is written alone.
    r = OvRasterCreate(8, 8, 32, ovRASTERTYPETEXTURE | ovRASTERFORMAT8888 | ovRASTERFORMATMIPMAP);
    ASSERT_NE(r, nullptr);
    FillLevel(r, 0, 0x80402010u);
    EXPECT_FALSE(LevelHolds(r, 1, 0x80402010u));
    OvRasterDestroy(r);
}

// The format the core's query answers for a 4x2 image whose pixels carry the given alphas.
OvInt32 QueryFormat(const std::vector<OvUInt8>& alphas, OvInt32 flags) {
    OvImage* image = OvImageCreate(4, 2, 32);
    OvImageAllocatePixels(image);
    for (OvInt32 i = 0; i < 8; ++i) {
        image->cpPixels[(i / 4) * image->stride + (i % 4) * 4 + 3] =
            alphas[static_cast<std::size_t>(i) % alphas.size()];
    }
    OvInt32 width = 0, height = 0, depth = 0, format = 0;
    const bool ok = OvRasterQueryFormat(image, flags, &width, &height, &depth, &format) != nullptr;
    OvImageDestroy(image);
    EXPECT_TRUE(!ok || (width == 4 && height == 2));
    return ok ? format : -1;
}

TEST_F(D3d9RasterTest, ImagesGetTheFormatTheirAlphaAndTheDisplayAllow) {
    for (const D3DFORMAT desktop : {D3DFMT_X8R8G8B8, D3DFMT_R5G6B5}) {
        D3d9Adapter adapter = D3d9DefaultAdapter();
        adapter.desktop.Format = desktop;
        D3d9SetAdapters({adapter});
        ASSERT_TRUE(Up());
        const bool deep = desktop == D3DFMT_X8R8G8B8;
        const OvInt32 tex = ovRASTERTYPETEXTURE;
        EXPECT_EQ(QueryFormat({255}, tex), tex | (deep ? ovRASTERFORMAT888 : ovRASTERFORMAT565));
        EXPECT_EQ(QueryFormat({255, 0}, tex), tex | (deep ? ovRASTERFORMAT8888 : ovRASTERFORMAT1555));
        EXPECT_EQ(QueryFormat({0, 255, 128}, tex), tex | (deep ? ovRASTERFORMAT8888 : ovRASTERFORMAT4444));
        // Mip flags stay with a texture and go from a normal raster.
        EXPECT_EQ(QueryFormat({255}, tex | ovRASTERFORMATMIPMAP),
                  tex | ovRASTERFORMATMIPMAP | (deep ? ovRASTERFORMAT888 : ovRASTERFORMAT565));
        EXPECT_EQ(QueryFormat({255}, ovRASTERFORMATMIPMAP), deep ? ovRASTERFORMAT888 : ovRASTERFORMAT565);
        EXPECT_EQ(QueryFormat({255}, 3), -1);
        // The record described carries the creation flags' flag bits too.
        OvRaster record{};
        ASSERT_TRUE(OvD3D9RasterDescribe(&record, tex | ovRASTERDONTALLOCATE | ovRASTERFORMAT565));
        EXPECT_EQ(record.cFlags, ovRASTERDONTALLOCATE);
        EXPECT_EQ(record.depth, 16);
        OvError drained{};
        OvErrorGet(&drained);
        ASSERT_TRUE(OvEngineStop());
        ASSERT_TRUE(OvEngineClose());
    }
}

// The format query for palettised requests on adapters with and without P8 (and palette alpha)
// and on 32- and 16-bit displays: a palette the device takes is kept, else its colours go to the
// direct format the display suits.
TEST_F(D3d9RasterTest, PaletteRequestsFollowTheDeviceAndTheDisplayDepth) {
    const OvInt32 tex = ovRASTERTYPETEXTURE, pal = ovRASTERFORMATPAL8;
    struct Row {
        bool p8, alphaPalette, deep;
        OvInt32 opaque, translucent, none; // answers for 0x2600, 0x2500 and a palette of no format
    };
    const Row rows[] = {
        {false, false, true, ovRASTERFORMAT888, ovRASTERFORMAT8888, ovRASTERFORMAT8888},
        {false, false, false, ovRASTERFORMAT565, ovRASTERFORMAT4444, ovRASTERFORMAT8888},
        {true, false, true, pal | ovRASTERFORMAT888, ovRASTERFORMAT8888, pal | ovRASTERFORMAT888},
        {true, false, false, pal | ovRASTERFORMAT888, ovRASTERFORMAT4444, pal | ovRASTERFORMAT888},
        {true, true, false, pal | ovRASTERFORMAT888, pal | ovRASTERFORMAT8888, pal | ovRASTERFORMAT8888},
    };
    for (const Row& k : rows) {
        SCOPED_TRACE(::testing::Message()
                     << "P8 " << k.p8 << " palette alpha " << k.alphaPalette << " deep " << k.deep);
        D3d9Adapter adapter = D3d9DefaultAdapter();
        adapter.desktop.Format = k.deep ? D3DFMT_X8R8G8B8 : D3DFMT_R5G6B5;
        if (k.p8) {
            adapter.textureFormats.push_back(D3DFMT_P8);
        }
        if (k.alphaPalette) {
            adapter.caps.TextureCaps |= D3DPTEXTURECAPS_ALPHAPALETTE;
        }
        D3d9SetAdapters({adapter});
        ASSERT_TRUE(Up());
        EXPECT_EQ(OvD3D9RasterChooseFormat(tex, tex | pal | ovRASTERFORMAT888, 0), tex | k.opaque);
        EXPECT_EQ(OvD3D9RasterChooseFormat(tex, tex | pal | ovRASTERFORMAT8888, 0), tex | k.translucent);
        EXPECT_EQ(OvD3D9RasterChooseFormat(tex, tex | pal, 0), tex | k.none);
        EXPECT_EQ(OvD3D9RasterChooseFormat(tex, tex | ovRASTERFORMATPAL4 | ovRASTERFORMAT888, 0), tex | k.opaque);
        // Only the palette entries in use count for the format an image needs. An image with a
        // translucent entry in use asks for what the query answers, 8 bits deep when its palette
        // is kept.
        OvImage* image = OvImageCreate(2, 2, 8);
        OvImageAllocatePixels(image);
        std::memset(image->cpPixels, 0, static_cast<std::size_t>(image->stride) * 2);
        for (int i = 0; i < 256; ++i) {
            image->palette[i * 4 + 3] = i == 7 ? 0 : 255;
        }
        EXPECT_EQ(OvD3D9ImageBestRasterFormat(image), pal | ovRASTERFORMAT888);
        image->palette[3] = 7;
        EXPECT_EQ(OvD3D9ImageBestRasterFormat(image), pal | ovRASTERFORMAT8888);
        OvInt32 width = 0, height = 0, depth = 0, format = 0;
        ASSERT_NE(OvRasterQueryFormat(image, tex, &width, &height, &depth, &format), nullptr);
        EXPECT_EQ(format, tex | k.translucent);
        EXPECT_EQ(depth, (k.translucent & pal) ? 8 : (k.translucent == ovRASTERFORMAT8888 ? 32 : 16));
        OvImageDestroy(image);
        ASSERT_TRUE(OvEngineStop());
        ASSERT_TRUE(OvEngineClose());
    }
}

// A desktop of 10-bit channels has no engine pixel format: its camera raster has none, and the
// back buffer's 32 bits.
TEST_F(D3d9RasterTest, CameraRastersOnATenBitDesktop) {
    D3d9Adapter adapter = D3d9DefaultAdapter();
    adapter.desktop.Format = D3DFMT_A2R10G10B10;
    adapter.renderTargetFormats.push_back(D3DFMT_A2R10G10B10);
    D3d9SetAdapters({adapter});
    ASSERT_TRUE(Up());
    const D3DPRESENT_PARAMETERS* pp = OvD3D9GetPresentParameters();
    OvRaster* camera = OvRasterCreate(static_cast<OvInt32>(pp->BackBufferWidth),
                                      static_cast<OvInt32>(pp->BackBufferHeight), 0, ovRASTERTYPECAMERA);
    ASSERT_NE(camera, nullptr);
    EXPECT_EQ(OvRasterGetFormat(camera) & ovRASTERFORMATPIXELFORMATMASK, 0);
    EXPECT_EQ(camera->depth, 32);
    EXPECT_EQ(OvD3D9RasterExtGet(camera)->format, D3DFMT_A2R10G10B10);
    EXPECT_EQ(OvRasterCreate(8, 8, 0, ovRASTERTYPECAMERA | ovRASTERFORMAT888), nullptr);
    TakeError();
    OvRasterDestroy(camera);
}

TEST_F(D3d9RasterTest, CameraRastersLockThroughASystemMemoryCopy) {
    ASSERT_TRUE(Up());
    IDirect3DDevice9* device = OvD3D9GetDevice();
    const int live = D3d9LiveObjects(device);
    const D3DPRESENT_PARAMETERS* pp = OvD3D9GetPresentParameters();
    OvRaster* cam = OvRasterCreate(static_cast<OvInt32>(pp->BackBufferWidth),
                                   static_cast<OvInt32>(pp->BackBufferHeight), 0, ovRASTERTYPECAMERA);
    ASSERT_NE(cam, nullptr);
    ASSERT_EQ(cam->depth, 32);
    EXPECT_EQ(cam->cFlags, ovRASTERDONTALLOCATE); // it stands for the back buffer
    EXPECT_EQ(cam->stride, 0);
    ASSERT_EQ(device->Clear(0, nullptr, D3DCLEAR_TARGET, 0xFF336699u, 1.0f, 0), D3D_OK);

    // Read: the copy holds the back buffer. Write: the copy goes back on unlock.
    OvUInt8* p = OvRasterLock(cam, 0, ovRASTERLOCKREAD | ovRASTERLOCKWRITE);
    ASSERT_NE(p, nullptr);
    OvUInt32 v = 0;
    std::memcpy(&v, p + 3 * cam->stride + 5 * 4, 4);
    EXPECT_EQ(v & 0xFFFFFFu, 0x336699u);
    const OvUInt32 red = 0xFFFF0000u;
    std::memcpy(p + 3 * cam->stride + 5 * 4, &red, 4);
    ASSERT_EQ(OvRasterUnlock(cam), cam);
    p = OvRasterLock(cam, 0, ovRASTERLOCKREAD);
    ASSERT_NE(p, nullptr);
    std::memcpy(&v, p + 3 * cam->stride + 5 * 4, 4);
    EXPECT_EQ(v & 0xFFFFFFu, 0xFF0000u);
    std::memcpy(&v, p + 3 * cam->stride + 6 * 4, 4);
    EXPECT_EQ(v & 0xFFFFFFu, 0x336699u);
    OvRasterUnlock(cam);

    // A copy that cannot be made or locked fails the lock and leaves nothing behind.
    for (const char* method : {"CreateOffscreenPlainSurface", "LockRect"}) {
        D3d9ScriptFailure(method, D3DERR_INVALIDCALL);
        EXPECT_EQ(OvRasterLock(cam, 0, ovRASTERLOCKREAD), nullptr) << method;
        EXPECT_EQ(cam->cpPixels, nullptr);
        EXPECT_EQ(D3d9LiveObjects(device), live);
    }
    OvRasterDestroy(cam);
    EXPECT_EQ(D3d9LiveObjects(device), live);
}

TEST_F(D3d9RasterTest, PalettisedTexturesKeepTheirPaletteOnTheDevice) {
    D3d9Adapter adapter = D3d9DefaultAdapter();
    adapter.textureFormats.push_back(D3DFMT_P8);
    D3d9SetAdapters({adapter});
    ASSERT_TRUE(Up());
    IDirect3DDevice9* device = OvD3D9GetDevice();
    const int live = D3d9LiveObjects(device);
    D3d9LogEnable(true);
    OvRaster* a = OvRasterCreate(4, 4, 8, ovRASTERTYPETEXTURE | ovRASTERFORMATPAL8 | ovRASTERFORMAT888);
    OvRaster* b = OvRasterCreate(4, 4, 8, ovRASTERTYPETEXTURE | ovRASTERFORMATPAL8 | ovRASTERFORMAT888);
    ASSERT_NE(a, nullptr);
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(OvD3D9RasterExtGet(a)->format, D3DFMT_P8);
    EXPECT_EQ(a->depth, 8);
    EXPECT_NE(OvD3D9RasterExtGet(a)->palette->number, OvD3D9RasterExtGet(b)->palette->number);

    // Only a palette locked for writing goes to the device; locks pair up with their errors.
    D3d9LogClear();
    ASSERT_NE(OvRasterLockPalette(a, ovRASTERLOCKREAD), nullptr);
    TakeError();
    EXPECT_EQ(OvRasterLockPalette(a, ovRASTERLOCKREAD), nullptr);
    EXPECT_EQ(TakeError(), ovERRRASTERLOCKED);
    OvRasterUnlockPalette(a);
    EXPECT_EQ(D3d9LogCount("SetPaletteEntries"), 0);
    OvRasterUnlockPalette(a);
    EXPECT_EQ(TakeError(), ovERRRASTERNOTLOCKED);

    // An 8-bit image goes in with its palette and comes back unchanged.
    OvImage* image = OvImageCreate(4, 4, 8);
    OvImageAllocatePixels(image);
    for (int i = 0; i < 16; ++i) {
        image->cpPixels[(i / 4) * image->stride + i % 4] = static_cast<OvUInt8>(i * 3);
    }
    for (int i = 0; i < 256 * 4; ++i) {
        image->palette[i] = static_cast<OvUInt8>(i * 7 + 1);
    }
    ASSERT_EQ(OvRasterSetFromImage(a, image), a);
    EXPECT_EQ(D3d9LogCount("SetPaletteEntries"), 1);
    EXPECT_EQ(a->palette, nullptr);
    OvImage* back = OvImageCreate(4, 4, 8);
    OvImageAllocatePixels(back);
    ASSERT_EQ(OvImageSetFromRaster(back, a), back);
    for (int i = 0; i < 16; ++i) {
        EXPECT_EQ(back->cpPixels[(i / 4) * back->stride + i % 4], i * 3);
    }
    EXPECT_EQ(std::memcmp(back->palette, image->palette, 256 * 4), 0);
    // Its translucent entries need palette alpha, which the device lacks: a 32-bit texture.
    // Opaque, it stays palettised.
    OvInt32 width = 0, height = 0, depth = 0, format = 0;
    ASSERT_NE(OvRasterQueryFormat(image, ovRASTERTYPETEXTURE, &width, &height, &depth, &format), nullptr);
    EXPECT_EQ(format, ovRASTERTYPETEXTURE | ovRASTERFORMAT8888);
    EXPECT_EQ(depth, 32);
    for (int i = 0; i < 256; ++i) {
        image->palette[i * 4 + 3] = 255;
    }
    ASSERT_NE(OvRasterQueryFormat(image, ovRASTERTYPETEXTURE, &width, &height, &depth, &format), nullptr);
    EXPECT_EQ(format, ovRASTERTYPETEXTURE | ovRASTERFORMATPAL8 | ovRASTERFORMAT888);
    EXPECT_EQ(depth, 8);
    OvImageDestroy(back);
    OvImageDestroy(image);

    // A reset makes the device forget palettes: both are sent again.
    D3d9LogClear();
    ASSERT_TRUE(OvD3D9DeviceReset());
    EXPECT_EQ(D3d9LogCount("SetPaletteEntries"), 2);

    // A freed palette number is handed out again.
    const OvUInt32 number = OvD3D9RasterExtGet(b)->palette->number;
    OvRasterDestroy(b);
    b = OvRasterCreate(4, 4, 8, ovRASTERTYPETEXTURE | ovRASTERFORMATPAL8);
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(OvD3D9RasterExtGet(b)->palette->number, number);
    TakeError();
    EXPECT_EQ(OvRasterCreate(4, 4, 8, ovRASTERTYPETEXTURE | ovRASTERFORMATPAL8 | ovRASTERFORMAT565), nullptr);
    EXPECT_EQ(TakeError(), 2);
    OvRasterDestroy(b);
    OvRasterDestroy(a);
    EXPECT_EQ(D3d9LiveObjects(device), live);
}

TEST_F(D3d9RasterTest, APngBecomesADeviceTextureAndComesBackUnchanged) {
    ASSERT_TRUE(Up());
    constexpr int kW = 16, kH = 8;
    std::vector<png_byte> rgba(kW * kH * 4);
    for (std::size_t i = 0; i < rgba.size(); ++i) {
        rgba[i] = static_cast<png_byte>(i * 37 + i / 4);
    }
    png_image png{};
    png.version = PNG_IMAGE_VERSION;
    png.width = kW;
    png.height = kH;
    png.format = PNG_FORMAT_RGBA;
    const std::string path = (MakeTestScratchDir("d3d9_raster") / "texture.png").string();
    ASSERT_TRUE(png_image_write_to_file(&png, path.c_str(), 0, rgba.data(), 0, nullptr));

    // Names reach the platform as they are.
    OvFSManagerOpen(0);
    OvFileSystem* fs = OvWinFSCreate(2, "", "unc");
    ASSERT_NE(fs, nullptr);
    ASSERT_TRUE(OvFSManagerRegister(fs));
    OvFSManagerSetDefaultFileSystem(fs);
    OvImage* image = OvPngImageRead(path.c_str());
    OvFSManagerClose();
    ASSERT_NE(image, nullptr);
    OvInt32 width = 0, height = 0, depth = 0, format = 0;
    ASSERT_NE(OvRasterQueryFormat(image, ovRASTERTYPETEXTURE, &width, &height, &depth, &format), nullptr);
    EXPECT_EQ(format & ovRASTERFORMATPIXELFORMATMASK, ovRASTERFORMAT8888);
    // The raster is made at the image's size so no resampling enters the comparison.
    OvRaster* r = OvRasterCreate(kW, kH, depth, format);
    ASSERT_NE(r, nullptr);
    ASSERT_EQ(r->width, kW);
    ASSERT_EQ(OvRasterSetFromImage(r, image), r);
    OvImage* back = OvImageCreate(kW, kH, 32);
    OvImageAllocatePixels(back);
    ASSERT_EQ(OvImageSetFromRaster(back, r), back);
    for (int y = 0; y < kH; ++y) {
        ASSERT_EQ(std::memcmp(back->cpPixels + y * back->stride, rgba.data() + y * kW * 4, kW * 4), 0) << y;
    }
    OvImageDestroy(back);
    OvImageDestroy(image);
    OvRasterDestroy(r);
    std::remove(path.c_str());
}

} // namespace

// Palettes come 64 a block and video-raster records 127 a block from the driver's free lists,
// so the engine's memory sees them under the driver's hint; a destroyed raster's palette number
// is handed out again, and stop gives every block back.
TEST_F(D3d9DriverMemoryTest, PalettesAndVideoRasterRecordsComeFromTheDriversFreeLists) {
    D3d9Adapter adapter = D3d9DefaultAdapter();
    adapter.textureFormats.push_back(D3DFMT_P8);
    D3d9SetAdapters({adapter});
    ASSERT_TRUE(Up());
    const int before = gBlocks.allocations;
    constexpr OvInt32 kP8 = ovRASTERTYPETEXTURE | ovRASTERFORMATPAL8 | ovRASTERFORMAT888;
    std::vector<OvRaster*> rasters;
    for (int i = 0; i < 128; ++i) {
        rasters.push_back(OvRasterCreate(4, 4, 8, kP8));
        ASSERT_NE(rasters.back(), nullptr);
    }
    // A second block of palettes from the 65th on, and of list records for the 128th.
    EXPECT_EQ(gBlocks.allocations - before, 2);
    OvRasterDestroy(rasters[10]);
    rasters[10] = OvRasterCreate(4, 4, 8, kP8);
    ASSERT_NE(rasters[10], nullptr);
    EXPECT_EQ(OvD3D9RasterExtGet(rasters[10])->palette->number, 10u);
    EXPECT_EQ(OvD3D9RasterExtGet(rasters[127])->palette->number, 127u);
    ASSERT_TRUE(OvD3D9DeviceReset()); // the listed palettes go to the device again
    for (OvRaster* r : rasters) {
        OvRasterDestroy(r);
    }
    ASSERT_TRUE(OvEngineStop());
    EXPECT_EQ(gBlocks.inUse(), 0);
}
