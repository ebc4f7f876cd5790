#include "graphics/core/texture.h"

#include <string>

#include "graphics/core/image_processing.h"
#include "graphics/core/texture_stream.h"
#include "graphics/core/tests/image_files.h"

namespace {

std::vector<Rgba> Gradient(int width, int height) {
    std::vector<Rgba> pixels;
    for (int i = 0; i < width * height; ++i) {
        pixels.push_back(
            {static_cast<OvUInt8>(i * 13), static_cast<OvUInt8>(255 - i * 7), static_cast<OvUInt8>(i), 255});
    }
    return pixels;
}

class TextureTest : public TestFormatsEngine {};

TEST_F(TextureTest, ReadingSharesTexturesAndDictionariesHoldThem) {
    WriteTestImage("brick.tst", 4, 4, {10, 20, 30, 255});
    WriteTestImage("stone.tst", 2, 2, {1, 2, 3, 255});
    OvTexDictionary* first = OvTexDictionaryGetCurrent();
    ASSERT_NE(first, nullptr);
    OvTexture* brick = OvTextureRead("brick", nullptr);
    ASSERT_NE(brick, nullptr);
    EXPECT_EQ(OvTextureRead("BRICK", "ignored"), brick);
    EXPECT_EQ(brick->refCount, 2);
    EXPECT_EQ(brick->filterAddressing, 0x1101u);
    EXPECT_EQ(brick->dict, first);
    EXPECT_EQ(OvTextureRead("missing", nullptr), nullptr);
    EXPECT_EQ(ClearError(), ovERRTEXTUREREAD);

    // No current dictionary: found in any, a new texture is left in none.
    OvTexDictionary* second = OvTexDictionaryCreate();
    OvTexDictionarySetCurrent(nullptr);
    EXPECT_EQ(OvTextureRead("brick", nullptr), brick);
    OvTexture* stone = OvTextureRead("stone", nullptr);
    ASSERT_NE(stone, nullptr);
    EXPECT_EQ(stone->dict, nullptr);
    OvTexDictionaryAddTexture(second, stone);
    OvTexDictionaryAddTexture(second, brick); // moves it
    EXPECT_EQ(OvTexDictionaryFindNamedTexture(first, "brick"), nullptr);
    EXPECT_EQ(OvTexDictionaryFindNamedTexture(second, "bRiCk"), brick);

    // Destroying the dictionary frees what only it held and lets the shared texture go free of it.
    const int liveBefore = OvTestMemoryRasterDriverState()->liveRasters;
    OvTexDictionaryDestroy(second);
    EXPECT_EQ(OvTestMemoryRasterDriverState()->liveRasters, liveBefore - 1);
    EXPECT_EQ(brick->refCount, 2);
    EXPECT_EQ(brick->dict, nullptr);
    OvTextureDestroy(brick);
    OvTextureDestroy(brick);
    EXPECT_EQ(OvTestMemoryRasterDriverState()->liveRasters, liveBefore - 2);
    OvTexDictionarySetCurrent(first);

    // Names of 31 characters are kept whole, longer ones cut with an error.
    OvTexture* t = OvTextureCreate(nullptr);
    const std::string name31(31, 'n');
    OvTextureSetName(t, name31.c_str());
    EXPECT_EQ(ClearError(), ovERRNOERROR);
    EXPECT_EQ(std::string(t->name), name31);
    OvTextureSetMaskName(t, (name31 + "x").c_str());
    EXPECT_EQ(ClearError(), ovERRNAMETOOLONG);
    EXPECT_EQ(std::string(t->mask), name31);
    OvTextureDestroy(t);

    // Mip-level names: a hex digit for levels 1 to 15, nothing from 16 on; the mask only when set.
    char n[ovTEXTUREBUFFERSIZE] = "brick";
    char m[ovTEXTUREBUFFERSIZE] = "";
    OvTextureDefaultMipmapName(n, m, 10, 0);
    EXPECT_STREQ(n, "brickma");
    EXPECT_STREQ(m, "");
    std::strcpy(m, "mask");
    OvTextureDefaultMipmapName(n, m, 16, 0);
    OvTextureDefaultMipmapName(n, m, 0, 0);
    EXPECT_STREQ(n, "brickma");
    OvTextureDefaultMipmapName(n, m, 2, 0);
    EXPECT_STREQ(m, "maskm2");
    std::string longName(254, 'q');
    std::strcpy(n, longName.c_str());
    EXPECT_FALSE(OvTextureDefaultMipmapName(n, m, 3, 0)); // no room for the suffix
    EXPECT_EQ(ClearError(), ovERRNAMETOOLONG);
}

TEST_F(TextureTest, DefaultReadFitsResamplesAndPalettises) {
    // 6 x 5 pixels: the driver makes a 4 x 4 raster; the raster holds the resampled picture.
    const std::vector<Rgba> pixels = Gradient(6, 5);
    WriteTestImage("grad.tst", 6, 5, pixels);
    OvTexture* texture = OvTextureRead("grad", nullptr);
    ASSERT_NE(texture, nullptr);
    OvRaster* raster = texture->raster;
    ASSERT_NE(raster, nullptr);
    EXPECT_EQ(raster->width, 4);
    EXPECT_EQ(raster->height, 4);
    EXPECT_EQ(OvRasterGetFormat(raster), ovRASTERFORMAT888);
    OvImage* source = ReadTestImage((Dir() + "grad.tst").c_str());
    OvImage* want = OvImageCreateResampled(source, 4, 4);
    OvImage* got = LevelImage(raster, 0);
    EXPECT_TRUE(SamePixels(got, want));
    // The gamma-corrected mark goes from the image to the raster and back.
    EXPECT_NE(raster->privateFlags & ovRASTERGAMMACORRECTED, 0);
    EXPECT_NE(got->flags & ovIMAGEGAMMACORRECTED, 0u);
    for (OvImage* i : {source, want, got}) {
        OvImageDestroy(i);
    }
    OvTextureDestroy(texture);

    // A palettised picture of 5 x 5 becomes a 4 x 4 palette raster: resampled, then quantised
    // again; every colour of the raster is one of the resampled picture's.
    WriteTestImage("few.pal", 5, 5, Gradient(5, 5));
    texture = OvTextureRead("few", nullptr);
    ASSERT_NE(texture, nullptr);
    EXPECT_EQ(OvRasterGetFormat(texture->raster) & ovRASTERFORMATPAL8, ovRASTERFORMATPAL8);
    OvImage* wide = ReadTestImage((Dir() + "few.pal").c_str());
    want = OvImageCreateResampled(wide, 4, 4);
    got = LevelImage(texture->raster, 0);
    ASSERT_NE(got, nullptr);
    for (int i = 0; i < 16; ++i) {
        const Rgba g = Pixel(got, i % 4, i / 4);
        const Rgba w = Pixel(want, i % 4, i / 4);
        for (int c = 0; c < 3; ++c) {
            EXPECT_NEAR(g[c], w[c], 3) << i; // cells of 4 levels a channel
        }
    }
    for (OvImage* i : {wide, want, got}) {
        OvImageDestroy(i);
    }
    OvTextureDestroy(texture);

    // With a mask: the mask's intensity is the alpha, the raster takes an alpha format.
    WriteTestImage("tile.tst", 2, 2, {50, 60, 70, 255});
    WriteTestImage("tileA.tst", 2, 2, {0, 128, 0, 255});
    texture = OvTextureRead("tile", "tileA");
    ASSERT_NE(texture, nullptr);
    EXPECT_STREQ(texture->mask, "tileA");
    EXPECT_EQ(OvRasterGetFormat(texture->raster), ovRASTERFORMAT8888);
    got = LevelImage(texture->raster, 0);
    EXPECT_EQ(Pixel(got, 1, 1), (Rgba{50, 60, 70, 128}));
    OvImageDestroy(got);
    OvTextureDestroy(texture);
}

TEST_F(TextureTest, MipLevelsComeFromTheirFilesOrAreRemadeOnUnlock) {
    const Rgba colours[3] = {{200, 0, 0, 255}, {0, 200, 0, 255}, {0, 0, 200, 255}};
    WriteTestImage("wall.tst", 4, 4, colours[0]);
    WriteTestImage("wallm1.tst", 2, 2, colours[1]);
    WriteTestImage("wallm2.tst", 1, 1, colours[2]);
    OvTextureSetMipmapping(TRUE);
    OvTexture* texture = OvTextureRead("wall", nullptr);
    ASSERT_NE(texture, nullptr);
    ASSERT_EQ(OvRasterGetNumLevels(texture->raster), 3);
    for (int level = 0; level < 3; ++level) {
        OvImage* got = LevelImage(texture->raster, level);
        EXPECT_EQ(Pixel(got, 0, 0), colours[level]) << level;
        OvImageDestroy(got);
    }
    EXPECT_EQ(OvTestMemoryRasterDriverState()->mipmapRegenerations, 0);
    OvTextureDestroy(texture);

    // A missing level file fails the whole read and leaves nothing behind.
    WriteTestImage("holey.tst", 4, 4, colours[0]);
    WriteTestImage("holeym1.tst", 2, 2, colours[1]);
    EXPECT_EQ(OvTextureRead("holey", nullptr), nullptr);
    ClearError();

    // Automatic levels: level 0 written, the driver has the texture module remake the others
    // from it when it is unlocked.
    OvTextureSetAutoMipmapping(TRUE);
    const std::vector<Rgba> pixels = Gradient(4, 4);
    WriteTestImage("auto.tst", 4, 4, pixels);
    texture = OvTextureRead("auto", nullptr);
    ASSERT_NE(texture, nullptr);
    EXPECT_EQ(OvTestMemoryRasterDriverState()->mipmapRegenerations, 1);
    EXPECT_NE(OvRasterGetFormat(texture->raster) & ovRASTERFORMATAUTOMIPMAP, 0); // restored after the run
    OvImage* level0 = LevelImage(texture->raster, 0);
    for (int level = 1; level < 3; ++level) {
        OvImage* want = OvImageCreateResampled(level0, 4 >> level, 4 >> level);
        OvImage* got = LevelImage(texture->raster, level);
        EXPECT_TRUE(SamePixels(got, want)) << level;
        OvImageDestroy(want);
        OvImageDestroy(got);
    }
    OvImageDestroy(level0);
    OvTextureDestroy(texture);
    OvTextureSetMipmapping(FALSE);
    OvTextureSetAutoMipmapping(FALSE);
}

TEST_F(TextureTest, MergedAlphaTakesTheIntensityAndInterleavesTheNames) {
    WriteTestImage("abc.tst", 2, 2, {10, 20, 30, 255});
    WriteTestImage("XY.tst", 4, 4, {0, 100, 0, 255});
    OvTexture* colour = OvTextureRead("abc", nullptr);
    OvTexture* alpha = OvTextureRead("XY", nullptr);
    ASSERT_NE(alpha, nullptr);
    OvTexture* merged = OvTextureMergeAlpha(colour, alpha);
    ASSERT_NE(merged, nullptr);
    EXPECT_STREQ(merged->name, "aXbYc");
    OvImage* got = LevelImage(merged->raster, 0);
    EXPECT_EQ(Pixel(got, 1, 0), (Rgba{10, 20, 30, 100}));
    OvImageDestroy(got);
    OvTexture* white = OvTextureMergeAlpha(nullptr, alpha);
    ASSERT_NE(white, nullptr);
    EXPECT_STREQ(white->name, "XXYY");
    got = LevelImage(white->raster, 0);
    EXPECT_EQ(Pixel(got, 3, 3), (Rgba{255, 255, 255, 100}));
    OvImageDestroy(got);
    // A texture without a raster (a stored texture can have none) is refused, either way round.
    OvTexture* bare = OvTextureCreate(nullptr);
    ASSERT_NE(bare, nullptr);
    OvError drained{};
    OvErrorGet(&drained);
    EXPECT_EQ(OvTextureMergeAlpha(colour, bare), nullptr);
    EXPECT_EQ(OvTextureMergeAlpha(bare, alpha), nullptr);
    OvError e{};
    OvErrorGet(&e);
    EXPECT_EQ(e.errorCode, ovERRNULLARGUMENT);
    for (OvTexture* t : {merged, white, colour, alpha, bare}) {
        OvTextureDestroy(t);
    }
}

} // namespace
