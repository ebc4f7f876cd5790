#include "graphics/toolkits/bmp_reader.h"

#include <algorithm>
#include <random>

#include "graphics/toolkits/tests/bmp_bytes.h"
#include "graphics/toolkits/tests/reader_test.h"
#include "platform/process.h"

namespace {

Bmp RandomBmp(std::mt19937& rng, int width, int height, int bitCount, bool core) {
    Bmp b;
    b.width = width;
    b.height = height;
    b.bitCount = bitCount;
    b.coreHeader = core;
    std::uniform_int_distribution<int> byte(0, 255);
    if (bitCount <= 8) {
        for (int i = 0; i < (1 << bitCount); ++i) {
            b.palette.push_back({static_cast<std::uint8_t>(byte(rng)), static_cast<std::uint8_t>(byte(rng)),
                                 static_cast<std::uint8_t>(byte(rng))});
        }
        for (int i = 0; i < width * height; ++i) {
            b.indices.push_back(static_cast<std::uint8_t>(byte(rng) & ((1 << bitCount) - 1)));
        }
    } else {
        const int keep = bitCount == 15 ? 0xF8 : 0xFF;
        for (int i = 0; i < width * height; ++i) {
            const int g = bitCount == 16 ? 0xFC : keep;
            b.colours.push_back({static_cast<std::uint8_t>(byte(rng) & (bitCount == 16 ? 0xF8 : keep)),
                                 static_cast<std::uint8_t>(byte(rng) & g),
                                 static_cast<std::uint8_t>(byte(rng) & (bitCount == 16 ? 0xF8 : keep))});
        }
    }
    return b;
}

using BmpReaderTest = ReaderTest;

TEST_F(BmpReaderTest, EveryBitCountWidthAndHeaderGivesThePixelsWritten) {
    std::mt19937 rng(7);
    for (int bitCount : {1, 4, 8, 15, 16, 24, 32}) {
        for (bool core : {false, true}) {
            for (int width = 1; width <= 9; ++width) {
                const Bmp b = RandomBmp(rng, width, 3, bitCount, core);
                OvImage* image = OvBmpImageRead(Write("a.bmp", b.Bytes()).c_str());
                ASSERT_NE(image, nullptr) << bitCount << " " << width;
                EXPECT_EQ(image->depth, bitCount <= 4 ? 4 : bitCount == 8 ? 8 : 32);
                for (int y = 0; y < 3; ++y) {
                    for (int x = 0; x < width; ++x) {
                        const std::size_t i = static_cast<std::size_t>(y) * width + x;
                        const std::uint8_t* got = PixelColour(image, x, y);
                        const Rgb want = bitCount <= 8 ? b.palette[b.indices[i]] : b.colours[i];
                        if (bitCount <= 8) {
                            EXPECT_EQ(image->cpPixels[y * image->stride + x], b.indices[i]);
                        }
                        EXPECT_EQ(got[0], want.r) << bitCount << " core " << core << " w " << width;
                        EXPECT_EQ(got[1], want.g);
                        EXPECT_EQ(got[2], want.b);
                        EXPECT_EQ(got[3], 255);
                    }
                }
                OvImageDestroy(image);
            }
        }
    }
}

TEST_F(BmpReaderTest, UsedColoursLimitThePaletteRead) {
    std::mt19937 rng(3);
    Bmp b = RandomBmp(rng, 5, 2, 8, false);
    b.palette.resize(16);
    b.usedColours = 16;
    for (auto& i : b.indices) {
        i &= 15;
    }
    OvImage* image = OvBmpImageRead(Write("used.bmp", b.Bytes()).c_str());
    ASSERT_NE(image, nullptr);
    for (int i = 0; i < 16; ++i) {
        EXPECT_EQ(image->palette[4 * i], b.palette[i].r);
    }
    EXPECT_EQ(image->cpPixels[0], b.indices[0]);
    OvImageDestroy(image);
}

TEST_F(BmpReaderTest, RunLengthRowsClipRunsAndEndEarly) {
    Bmp b;
    b.width = 4;
    b.height = 4;
    b.bitCount = 8;
    b.compression = 1;
    b.palette.assign(256, {1, 2, 3});
    // Bottom row: a run of 2, an odd literal of 3 (clipped at the row's end, pad byte skipped).
    // Next row: a run of 9 (clipped). Next: one pixel, then the end of the bitmap.
    b.rle = {2, 7, 0, 3, 10, 11, 12, 0, 0, 0, 9, 5, 0, 0, 1, 6, 0, 1};
    OvImage* image = OvBmpImageRead(Write("rle.bmp", b.Bytes()).c_str());
    ASSERT_NE(image, nullptr);
    const std::vector<std::uint8_t> want = {0, 0, 0, 0, 6, 0, 0, 0, 5, 5, 5, 5, 7, 7, 10, 11};
    for (int y = 0; y < 4; ++y) {
        for (int x = 0; x < 4; ++x) {
            EXPECT_EQ(image->cpPixels[y * image->stride + x], want[static_cast<std::size_t>(y) * 4 + x])
                << x << "," << y;
        }
    }
    OvImageDestroy(image);

    b.rle = {1, 1, 0, 2, 1, 1}; // a delta code
    EXPECT_EQ(OvBmpImageRead(Write("delta.bmp", b.Bytes()).c_str()), nullptr);
    // A bitmap that ends early reads whatever its size: one line drawn, every other row 0. Only
    // an image the machine cannot hold (a stated 1 MB here) is refused.
    struct Early {
        int width, height;
        int line; // file row of the line (that many end-of-row codes before it)
        bool reads;
    };
    PlatformSetPhysicalMemory(1 << 20);
    for (const Early& e : {Early{64, 64, 0, true}, Early{640, 480, 100, true}, Early{2048, 512, 0, false}}) {
        Bmp page = b;
        page.width = e.width;
        page.height = e.height;
        page.rle.assign(2 * static_cast<std::size_t>(e.line), 0);
        for (int x = 0; x < e.width; x += 255) {
            page.rle.insert(page.rle.end(), {static_cast<std::uint8_t>(std::min(255, e.width - x)), 9});
        }
        page.rle.insert(page.rle.end(), {0, 1});
        image = OvBmpImageRead(Write("early.bmp", page.Bytes()).c_str());
        EXPECT_EQ(image != nullptr, e.reads) << e.width;
        if (image == nullptr) {
            EXPECT_EQ(TakeError().errorCode, e.reads ? ovERRNOERROR : ovERRNOMEMORY) << e.width;
            continue;
        }
        int wrong = 0;
        for (int y = 0; y < e.height; ++y) {
            for (int x = 0; x < e.width; ++x) {
                wrong += image->cpPixels[y * image->stride + x] != (y == e.height - 1 - e.line ? 9 : 0);
            }
        }
        EXPECT_EQ(wrong, 0) << e.width;
        OvImageDestroy(image);
    }
    PlatformSetPhysicalMemory(0);
    // Run-length coded bytes of a 4-bit bitmap are read as packed 4-bit pixels: a run of two
    // 0xAB gives the pixels A, B, A, B.
    b.bitCount = 4;
    b.palette.resize(16);
    b.rle = {2, 0xAB, 0, 1};
    image = OvBmpImageRead(Write("rle8of4.bmp", b.Bytes()).c_str());
    ASSERT_NE(image, nullptr);
    for (int x = 0; x < 4; ++x) {
        EXPECT_EQ(image->cpPixels[3 * image->stride + x], (x & 1) != 0 ? 0xB : 0xA) << x;
    }
    OvImageDestroy(image);
    b.compression = 2;
    EXPECT_EQ(OvBmpImageRead(Write("rle4.bmp", b.Bytes()).c_str()), nullptr);
    EXPECT_EQ(TakeError().errorCode, ovERRBADFORMAT);

    // 24- and 32-bit pixels are stored whatever the compression word says.
    std::mt19937 rng(19);
    for (int bitCount : {24, 32}) {
        const Bmp stored = RandomBmp(rng, 5, 3, bitCount, false);
        std::vector<std::uint8_t> bytes = stored.Bytes();
        bytes[30] = 1; // the compression word
        image = OvBmpImageRead(Write("stored.bmp", bytes).c_str());
        ASSERT_NE(image, nullptr) << bitCount;
        for (int i = 0; i < 15; ++i) {
            const std::uint8_t* got = PixelColour(image, i % 5, i / 5);
            EXPECT_EQ(got[0], stored.colours[static_cast<std::size_t>(i)].r) << bitCount << " " << i;
            EXPECT_EQ(got[2], stored.colours[static_cast<std::size_t>(i)].b);
        }
        OvImageDestroy(image);
    }
}

// Patches a little-endian 32-bit field.
std::vector<std::uint8_t> With32(std::vector<std::uint8_t> bytes, std::size_t at, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) {
        bytes[at + i] = static_cast<std::uint8_t>(v >> (8 * i));
    }
    return bytes;
}

TEST_F(BmpReaderTest, DamagedFilesFailCleanly) {
    std::mt19937 rng(11);
    const std::vector<std::uint8_t> good = RandomBmp(rng, 7, 5, 8, false).Bytes();
    for (std::size_t n = 0; n < good.size(); ++n) {
        const std::vector<std::uint8_t> prefix(good.begin(), good.begin() + static_cast<std::ptrdiff_t>(n));
        EXPECT_EQ(OvBmpImageRead(Write("cut.bmp", prefix).c_str()), nullptr) << n;
    }
    TakeError();
    struct Case {
        std::size_t at;
        std::uint32_t value;
        OvInt32 code;
    };
    const Case cases[] = {
        {14, 5, ovERRBADFORMAT},          // header size below the core header
        {14, 0x7FFFFFFF, ovERRBADFORMAT}, // header size far past the file
        {18, 0xFFFFFFF9, ovERRBADFORMAT}, // negative width
        {22, 0x80000000, ovERRBADFORMAT}, // most negative height
        {18, 0x7FFFFFFF, ovERRENDOFSTREAM}, // huge width: rows longer than the file
        {22, 30000, ovERRENDOFSTREAM},    // far more rows than the file holds
        {28, 3, ovERRBADDEPTH},           // bit count
        {30, 9, ovERRBADFORMAT},          // compression
        {46, 0xFFFFFFFF, ovERRNOERROR},   // used colours: the whole palette is read
    };
    for (const Case& c : cases) {
        // The bit count is a 16-bit field followed by the compression word.
        std::vector<std::uint8_t> bytes = good;
        if (c.at == 28) {
            bytes[28] = static_cast<std::uint8_t>(c.value);
            bytes[29] = 0;
        } else {
            bytes = With32(good, c.at, c.value);
        }
        OvImage* image = OvBmpImageRead(Write("bad.bmp", bytes).c_str());
        if (c.code == ovERRNOERROR) {
            ASSERT_NE(image, nullptr);
            OvImageDestroy(image);
        } else {
            EXPECT_EQ(image, nullptr) << c.at;
        }
        EXPECT_EQ(TakeError().errorCode, c.code) << c.at;
    }
    // A side past 32768 is no damage: a row of 40000 pixels the file holds reads.
    Bmp wide;
    wide.width = 40000;
    wide.colours.assign(40000, Rgb{1, 2, 3});
    OvImage* image = OvBmpImageRead(Write("wide.bmp", wide.Bytes()).c_str());
    ASSERT_NE(image, nullptr);
    EXPECT_EQ(PixelColour(image, 39999, 0)[2], 3);
    OvImageDestroy(image);
}

} // namespace
