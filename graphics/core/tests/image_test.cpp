#include "graphics/core/image.h"

#include <algorithm>
#include <random>
#include <string>

#include "graphics/core/image_processing.h"
#include "graphics/core/memory.h"
#include "graphics/core/testkit/engine_fixture.h"
#include "graphics/core/tests/image_files.h"

namespace {

using ImageTest = ImageFilesEngine;

TEST_F(ImageTest, LayoutConversionsAndMasks) {
    OvImage* four = NewImage(3, 2, 4);
    EXPECT_EQ(four->stride, 4);
    EXPECT_EQ(four->palette, four->cpPixels + 8);
    for (int i = 0; i < 16; ++i) {
        SetEntry(four, i, {static_cast<OvUInt8>(i), static_cast<OvUInt8>(2 * i), static_cast<OvUInt8>(3 * i), 200});
    }
    for (int i = 0; i < 6; ++i) {
        four->cpPixels[(i / 3) * 4 + i % 3] = static_cast<OvUInt8>(i * 2 + 1);
    }
    four->flags |= ovIMAGEGAMMACORRECTED;

    OvImage* wide = NewImage(3, 2, 32);
    ASSERT_EQ(OvImageCopy(wide, four), wide);
    EXPECT_NE(wide->flags & ovIMAGEGAMMACORRECTED, 0u);
    EXPECT_EQ(Pixel(wide, 2, 1), (Rgba{11, 22, 33, 200}));
    OvImage* eight = NewImage(3, 2, 8);
    ASSERT_EQ(OvImageCopy(eight, four), eight);
    EXPECT_EQ(eight->cpPixels[eight->stride + 2], 11);
    EXPECT_EQ(OvImageCopy(four, wide), nullptr);
    EXPECT_EQ(ClearError(), ovERRBADFORMAT);
    OvImage* small = NewImage(2, 2, 32);
    EXPECT_EQ(OvImageCopy(small, wide), nullptr);
    EXPECT_EQ(ClearError(), ovERRSIZEMISMATCH);

    // An 8-bit mask on a palettised image: the image becomes 32-bit with its own colours and the
    // mask's intensity as alpha.
    OvImage* mask = NewImage(3, 2, 8);
    for (int i = 0; i < 256; ++i) {
        SetEntry(mask, i, {static_cast<OvUInt8>(i / 2), static_cast<OvUInt8>(i), 0, 7});
    }
    for (int i = 0; i < 6; ++i) {
        mask->cpPixels[(i / 3) * mask->stride + i % 3] = static_cast<OvUInt8>(40 * i);
    }
    OvImageAlphaFromIntensity(mask);
    ASSERT_EQ(OvImageApplyMask(four, mask), four);
    EXPECT_EQ(four->depth, 32);
    EXPECT_NE(four->flags & ovIMAGEGAMMACORRECTED, 0u);
    EXPECT_EQ(Pixel(four, 2, 1), (Rgba{11, 22, 33, 200}));
    EXPECT_EQ(Pixel(four, 1, 1)[3], 160);
    EXPECT_EQ(OvImageApplyMask(four, small), nullptr);
    EXPECT_EQ(ClearError(), ovERRSIZEMISMATCH);
    // A palettised mask that has lost its palette is refused, not read through.
    OvUInt8* kept = mask->palette;
    mask->palette = nullptr;
    EXPECT_EQ(OvImageApplyMask(four, mask), nullptr);
    EXPECT_EQ(ClearError(), ovERRNULLARGUMENT);
    mask->palette = kept;
    for (OvImage* image : {four, wide, eight, small, mask}) {
        OvImageDestroy(image);
    }
}

TEST_F(ImageTest, GammaTables) {
    OvImage* image = NewImage(16, 16, 32);
    for (int i = 0; i < 256; ++i) {
        image->cpPixels[4 * i] = static_cast<OvUInt8>(i);
        image->cpPixels[4 * i + 3] = static_cast<OvUInt8>(255 - i);
    }
    ASSERT_EQ(OvImageGammaCorrect(image), image); // gamma 1.0: identity
    for (int i = 0; i < 256; ++i) {
        ASSERT_EQ(image->cpPixels[4 * i], i);
    }
    EXPECT_NE(image->flags & ovIMAGEGAMMACORRECTED, 0u);
    OvImageSetGamma(2.2f);
    OvImageGammaCorrect(image);
    for (int i = 1; i < 256; ++i) {
        ASSERT_GE(image->cpPixels[4 * i], image->cpPixels[4 * (i - 1)]);
        ASSERT_GE(image->cpPixels[4 * i], i);
        ASSERT_EQ(image->cpPixels[4 * i + 3], 255 - i); // alpha untouched
    }
    EXPECT_EQ(image->cpPixels[4 * 255], 255);
    EXPECT_FALSE(OvImageSetGamma(0.0f));
    image->depth = 16;
    EXPECT_EQ(OvImageGammaCorrect(image), nullptr);
    EXPECT_EQ(ClearError(), ovERRBADDEPTH);
    image->depth = 32;
    OvImageDestroy(image);
}

TEST_F(ImageTest, ReadersAreFoundByExtensionAlongThePath) {
    ASSERT_TRUE(OvImageRegisterFileFormat("tst", ReadTestImage, nullptr));
    ASSERT_TRUE(OvImageRegisterFileFormat("png", nullptr, WriteNothing));
    ASSERT_TRUE(OvImageRegisterFileFormat("PNG", ReadTestImage, nullptr)); // same entry, keeps the writer
    ASSERT_NE(OvImageGetFileFormats(), nullptr);
    EXPECT_STREQ(OvImageGetFileFormats()->lowerExtension, ".png");
    EXPECT_EQ(OvImageGetFileFormats()->write, WriteNothing);
    EXPECT_EQ(OvImageGetFileFormats()->next->next, nullptr);

    WriteTestImage("m/a.tst", 2, 2, {9, 9, 9, 9});
    WriteTestImage("a.tst", 3, 1, {1, 2, 3, 4});
    // Entries carry their own separator; an empty entry tries the name alone, a trailing ';'
    // adds nothing. The reader refuses the first file, so the walk goes on.
    gRefuseNext = true;
    gCandidates.clear();
    OvImageSetPath((Dir() + "m/;" + Dir() + ";").c_str());
    OvImage* image = OvImageRead("a.tst");
    ASSERT_NE(image, nullptr);
    EXPECT_EQ(gCandidates, (std::vector<std::string>{Dir() + "m/a.tst", Dir() + "a.tst"}));
    EXPECT_EQ(image->width, 3);
    OvImageDestroy(image);

    EXPECT_EQ(OvImageRead("a.Tst"), nullptr); // mixed case matches no entry
    EXPECT_EQ(OvImageRead("dir.x/a"), nullptr);
    image = OvImageRead((Dir() + "a.tst").c_str()); // absolute: the path is not used
    ASSERT_NE(image, nullptr);
    OvImageDestroy(image);
    EXPECT_STREQ(OvImageFindFileExtension("a"), ".tst");
    EXPECT_EQ(OvImageFindFileExtension("nothing"), nullptr);
    // A file along the path as named or with a registered extension.
    const struct {
        const char* name;
        OvBool exists;
    } files[] = {{"a", TRUE}, {"a.tst", TRUE}, {"m/a", TRUE}, {"nothing", FALSE}, {"a.png", FALSE}};
    for (const auto& f : files) {
        EXPECT_EQ(OvImageFileExists(f.name), f.exists) << f.name;
    }

    // A mask read with the image: its intensity becomes the alpha.
    WriteTestImage("mask.tst", 3, 1, {50, 90, 10, 0});
    OvImageSetPath(Dir().c_str());
    image = OvImageReadMaskedImage("a.tst", "mask.tst");
    ASSERT_NE(image, nullptr);
    EXPECT_EQ(Pixel(image, 0, 0), (Rgba{1, 2, 3, 90}));
    OvImageDestroy(image);
    EXPECT_EQ(OvImageReadMaskedImage("a.tst", "missing.tst"), nullptr);
    EXPECT_EQ(OvImageReadMaskedImage("a.tst", "m/a.tst"), nullptr); // sizes differ
    EXPECT_EQ(ClearError(), ovERRSIZEMISMATCH);

    // A path longer than the first buffer and names longer than the scratch buffer.
    const std::string longPath = std::string(300, 'x') + "/;" + Dir();
    ASSERT_NE(OvImageSetPath(longPath.c_str()), nullptr);
    image = OvImageRead("a.tst");
    ASSERT_NE(image, nullptr);
    OvImageDestroy(image);
}

TEST_F(ImageTest, ImageChunksReadBackAndRefuseDamage) {
    std::mt19937 rng(4);
    for (OvInt32 depth : {4, 8, 32}) {
        OvImage* image = RandomImage(rng, 5, 3, depth);
        OvStream* out = OvStreamOpen(ovSTREAMMEMORY, ovSTREAMWRITE, nullptr);
        ASSERT_EQ(OvImageStreamWrite(image, out), image);
        OvStreamWriteChunkHeader(out, 0x77, 0, ovLIBRARYVERSION, ovLIBRARYBUILD); // sentinel
        std::vector<std::uint8_t> bytes = CloseWritten(out);
        ASSERT_EQ(bytes.size(), OvImageStreamGetSize(image) + 2 * ovCHUNKHEADERSIZE);

        OvStream* in = OpenRead(bytes, static_cast<std::uint32_t>(bytes.size()));
        ASSERT_TRUE(OvStreamFindChunk(in, ovID_IMAGE, nullptr, nullptr));
        OvImage* back = OvImageStreamRead(in);
        ASSERT_NE(back, nullptr);
        EXPECT_TRUE(SamePixels(back, image));
        OvUInt32 type = 0;
        EXPECT_TRUE(OvStreamReadChunkHeader(in, &type, nullptr, nullptr, nullptr));
        EXPECT_EQ(type, 0x77u);
        OvStreamClose(in, nullptr);
        OvImageDestroy(back);

        for (std::size_t n = ovCHUNKHEADERSIZE; n < bytes.size() - 2 * ovCHUNKHEADERSIZE; ++n) {
            in = OpenRead(bytes, static_cast<std::uint32_t>(n));
            OvStreamFindChunk(in, ovID_IMAGE, nullptr, nullptr);
            ASSERT_EQ(OvImageStreamRead(in), nullptr) << depth << " " << n;
            OvStreamClose(in, nullptr);
        }
        OvImageDestroy(image);
    }
    ClearError();

    // A stored stride of 12 for two 32-bit pixels: 8 bytes of each row are kept.
    ChunkBytes c;
    c.Header(1, 16).I32(2).I32(2).I32(32).I32(12);
    for (std::uint32_t i = 0; i < 6; ++i) {
        c.U32(i);
    }
    OvStream* in = OpenRead(c.bytes, c.Size());
    OvImage* image = OvImageStreamRead(in);
    OvStreamClose(in, nullptr);
    ASSERT_NE(image, nullptr);
    EXPECT_EQ(image->cpPixels[image->stride], 3);
    OvImageDestroy(image);

    // Depths the engine has no images for, empty and negative sizes, strides shorter than a row.
    const std::int32_t bad[][4] = {{2, 2, 1, 4},  {2, 2, 16, 4}, {0, 2, 8, 4},
                                   {2, -1, 8, 4}, {4, 2, 32, 8}, {0x10000, 0x10000, 32, 0x40000}};
    for (const auto& b : bad) {
        ChunkBytes d;
        d.Header(1, 16).I32(b[0]).I32(b[1]).I32(b[2]).I32(b[3]).U32(0).U32(0);
        in = OpenRead(d.bytes, d.Size());
        EXPECT_EQ(OvImageStreamRead(in), nullptr) << b[0] << " " << b[2];
        OvStreamClose(in, nullptr);
    }
    ClearError();
}

TEST_F(ImageTest, QuantiserGivesFewColoursExactEntriesAndBoxesHoldTheirPixels) {
    // Ten colours on the 6-bit grid (no residual) into 16 entries: each its own entry.
    OvImage* image = NewImage(10, 1, 32);
    for (int i = 0; i < 10; ++i) {
        SetPixel(image, i, 0, {static_cast<OvUInt8>(24 * i), static_cast<OvUInt8>(252 - 16 * i), 100, 255});
    }
    OvPaletteQuantizer q;
    ASSERT_TRUE(OvPaletteQuantizerInit(&q));
    OvPaletteQuantizerAddImage(&q, image, 1.0f);
    std::vector<OvUInt8> palette(64, 0xEE);
    EXPECT_EQ(OvPaletteQuantizerMakePalette(palette.data(), 16, &q), 10);
    std::vector<OvUInt8> indices(10);
    OvPaletteQuantizerMapImage(indices.data(), 10, 8, FALSE, &q, image);
    for (int i = 0; i < 10; ++i) {
        EXPECT_EQ(Entry(palette.data(), indices[i]), Pixel(image, i, 0));
    }
    EXPECT_TRUE(std::all_of(palette.begin() + 40, palette.end(), [](OvUInt8 b) { return b == 0; }));
    // Packed 4-bit: pixel 0 in the low nibble.
    std::vector<OvUInt8> packed(5, 0);
    OvPaletteQuantizerMapImage(packed.data(), 5, 4, TRUE, &q, image);
    EXPECT_EQ(packed[0], indices[0] | indices[1] << 4);
    OvPaletteQuantizerFree(&q);
    OvImageDestroy(image);

    // A solid colour: one entry.
    image = NewImage(8, 8, 32);
    for (int i = 0; i < 64; ++i) {
        SetPixel(image, i % 8, i / 8, {201, 7, 99, 255});
    }
    ASSERT_TRUE(OvPaletteQuantizerInit(&q));
    OvPaletteQuantizerAddImage(&q, image, 1.0f);
    palette.assign(1024, 0);
    EXPECT_EQ(OvPaletteQuantizerMakePalette(palette.data(), 256, &q), 1);
    EXPECT_EQ(Entry(palette.data(), 0), (Rgba{201, 7, 99, 255}));
    EXPECT_TRUE(std::all_of(palette.begin() + 4, palette.end(), [](OvUInt8 b) { return b == 0; }));
    OvPaletteQuantizerFree(&q);
    OvImageDestroy(image);

    // Many colours into 256 boxes: each pixel maps to a box that holds its cell, and each entry
    // (the mean of its box) lies inside that box.
    std::mt19937 rng(9);
    image = RandomImage(rng, 64, 64, 32);
    ASSERT_TRUE(OvPaletteQuantizerInit(&q));
    OvPaletteQuantizerAddImage(&q, image, 1.0f);
    EXPECT_EQ(OvPaletteQuantizerMakePalette(palette.data(), 256, &q), 256);
    EXPECT_EQ(q.numBoxes, 256);
    indices.assign(64 * 64, 0);
    OvPaletteQuantizerMapImage(indices.data(), 64, 8, FALSE, &q, image);
    for (int i = 0; i < 64 * 64; ++i) {
        const OvColourBox& box = q.boxes[indices[static_cast<std::size_t>(i)]];
        const Rgba p = Pixel(image, i % 64, i / 64);
        for (int c = 0; c < 4; ++c) {
            ASSERT_GE(p[c] >> 2, box.min[c]);
            ASSERT_LT(p[c] >> 2, box.max[c]);
        }
    }
    for (int b = 0; b < 256; ++b) {
        for (int c = 0; c < 4; ++c) {
            ASSERT_GE(palette[4 * b + c] >> 2, q.boxes[b].min[c]) << b;
            ASSERT_LT(palette[4 * b + c] >> 2, q.boxes[b].max[c]) << b;
        }
    }
    OvPaletteQuantizerFree(&q);
    OvImageDestroy(image);
}

long gLiveBlocks = 0;
void* CountedAllocate(std::size_t size, OvUInt32 hint) {
    void* block = OvMemoryDefaultAlloc(size, hint);
    gLiveBlocks += block != nullptr ? 1 : 0;
    return block;
}
void CountedFree(void* block) {
    gLiveBlocks -= block != nullptr ? 1 : 0;
    OvMemoryDefaultFree(block);
}

// With free lists bypassed every tree node is a block of its own: freeing the quantiser gives
// back every one of them.
TEST(QuantiserMemory, FreeGivesBackEveryNodeWithoutFreeLists) {
    for (OvUInt32 flags : {0u, ovENGINEINITFLAG_NOFREELISTS}) {
        ASSERT_TRUE(OvTestEngineUp(flags));
        std::mt19937 rng(4);
        OvImage* image = RandomImage(rng, 32, 32, 32);
        const OvMemoryFunctions saved = OvEngineInstancePtr->memoryFuncs;
        OvEngineInstancePtr->memoryFuncs.allocate = CountedAllocate;
        OvEngineInstancePtr->memoryFuncs.free = CountedFree;
        gLiveBlocks = 0;
        OvPaletteQuantizer q;
        ASSERT_TRUE(OvPaletteQuantizerInit(&q));
        OvPaletteQuantizerAddImage(&q, image, 1.0f);
        std::vector<OvUInt8> palette(1024);
        EXPECT_GT(OvPaletteQuantizerMakePalette(palette.data(), 256, &q), 16);
        OvPaletteQuantizerFree(&q);
        EXPECT_EQ(gLiveBlocks, 0) << "flags " << flags;
        OvEngineInstancePtr->memoryFuncs = saved;
        OvImageDestroy(image);
        ASSERT_TRUE(OvTestEngineDown());
    }
}

TEST_F(ImageTest, ResamplingAveragesAreasWithWeightsSummingToOne) {
    std::mt19937 rng(12);
    OvImage* source = RandomImage(rng, 4, 4, 32);
    OvImage* half = OvImageCreateResampled(source, 2, 2);
    ASSERT_NE(half, nullptr);
    for (int y = 0; y < 2; ++y) {
        for (int x = 0; x < 2; ++x) {
            for (int c = 0; c < 4; ++c) {
                const int sum = Pixel(source, 2 * x, 2 * y)[c] + Pixel(source, 2 * x + 1, 2 * y)[c] +
                                Pixel(source, 2 * x, 2 * y + 1)[c] + Pixel(source, 2 * x + 1, 2 * y + 1)[c];
                EXPECT_NEAR(Pixel(half, x, y)[c], sum / 4.0, 0.51);
            }
        }
    }
    OvImage* same = OvImageCreateResampled(source, 4, 4);
    EXPECT_TRUE(SamePixels(same, source));
    OvImageDestroy(half);
    OvImageDestroy(same);
    OvImageDestroy(source);

    // A constant picture stays constant at any pair of sizes; palettised sources are widened.
    std::uniform_int_distribution<int> size(1, 40);
    for (int round = 0; round < 60; ++round) {
        const int w = size(rng), h = size(rng), W = size(rng), H = size(rng);
        OvImage* flat = NewImage(w, h, 8);
        SetEntry(flat, 3, {17, 130, 254, 1});
        std::fill(flat->cpPixels, flat->cpPixels + flat->stride * h, 3);
        OvImage* scaled = OvImageCreateResampled(flat, W, H);
        ASSERT_NE(scaled, nullptr);
        for (int i = 0; i < W * H; ++i) {
            ASSERT_EQ(Pixel(scaled, i % W, i / W), (Rgba{17, 130, 254, 1})) << w << "x" << h << " -> " << W << "x" << H;
        }
        OvImageDestroy(scaled);
        OvImageDestroy(flat);
    }
}

} // namespace
