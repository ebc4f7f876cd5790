#include "graphics/toolkits/png_reader.h"

#include <png.h>
#include <zlib.h>

#include <algorithm>
#include <random>

#include "graphics/core/engine.h"
#include "graphics/core/memory.h"

#include "graphics/toolkits/tests/reader_test.h"

namespace {

struct PngSpec {
    int colourType;
    int bitDepth;
    bool trns;
    bool interlaced;
};

void Append(png_structp png, png_bytep data, png_size_t length) {
    auto* out = static_cast<std::vector<std::uint8_t>*>(png_get_io_ptr(png));
    out->insert(out->end(), data, data + length);
}
void Flush(png_structp) {}

int Channels(int colourType) {
    switch (colourType) {
    case PNG_COLOR_TYPE_RGB:
        return 3;
    case PNG_COLOR_TYPE_RGBA:
        return 4;
    case PNG_COLOR_TYPE_GRAY_ALPHA:
        return 2;
    default:
        return 1;
    }
}

// A PNG of random samples (palette indices below the palette's size). samples gets every
// sample written, row by row.
std::vector<std::uint8_t> MakePng(const PngSpec& s, int width, int height, std::mt19937& rng,
                                  std::vector<unsigned>* samples) {
    std::vector<std::uint8_t> out;
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png_create_info_struct(png);
    png_set_write_fn(png, &out, Append, Flush);
    png_set_IHDR(png, info, width, height, s.bitDepth, s.colourType,
                 s.interlaced ? PNG_INTERLACE_ADAM7 : PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT,
                 PNG_FILTER_TYPE_DEFAULT);
    std::uniform_int_distribution<unsigned> any(0, 0xFFFF);
    unsigned limit = (1u << s.bitDepth) - 1;
    if (s.colourType == PNG_COLOR_TYPE_PALETTE) {
        const int count = (1 << s.bitDepth) - (s.bitDepth > 1 ? 1 : 0); // one short of full
        std::vector<png_color> palette(static_cast<std::size_t>(count));
        for (png_color& c : palette) {
            c = {static_cast<png_byte>(any(rng)), static_cast<png_byte>(any(rng)), static_cast<png_byte>(any(rng))};
        }
        png_set_PLTE(png, info, palette.data(), count);
        limit = static_cast<unsigned>(count - 1);
        if (s.trns) {
            std::vector<png_byte> alphas(static_cast<std::size_t>(count > 3 ? count - 2 : count));
            for (png_byte& a : alphas) {
                a = static_cast<png_byte>(any(rng));
            }
            png_set_tRNS(png, info, alphas.data(), static_cast<int>(alphas.size()), nullptr);
        }
    } else if (s.trns) {
        png_color_16 gray = {};
        gray.gray = static_cast<png_uint_16>(limit / 3);
        png_set_tRNS(png, info, nullptr, 0, &gray);
    }
    png_write_info(png, info);
    const int channels = Channels(s.colourType);
    const std::size_t rowBytes = (static_cast<std::size_t>(width) * channels * s.bitDepth + 7) / 8;
    std::vector<std::vector<png_byte>> rows(static_cast<std::size_t>(height), std::vector<png_byte>(rowBytes, 0));
    samples->clear();
    for (auto& row : rows) {
        for (int i = 0; i < width * channels; ++i) {
            const unsigned v =
                s.trns && s.colourType == PNG_COLOR_TYPE_GRAY && i % 3 == 0 ? limit / 3 : any(rng) % (limit + 1);
            samples->push_back(v);
            if (s.bitDepth == 16) {
                row[2 * i] = static_cast<png_byte>(v >> 8);
                row[2 * i + 1] = static_cast<png_byte>(v);
            } else {
                const int bitPos = i * s.bitDepth;
                row[bitPos / 8] |= static_cast<png_byte>(v << (8 - s.bitDepth - bitPos % 8));
            }
        }
    }
    std::vector<png_bytep> pointers;
    for (auto& row : rows) {
        pointers.push_back(row.data());
    }
    png_write_image(png, pointers.data());
    png_write_end(png, nullptr);
    png_destroy_write_struct(&png, &info);
    return out;
}

// libpng's own decode of the same bytes to 8-bit red, green, blue, alpha.
std::vector<std::uint8_t> SimplifiedRgba(const std::vector<std::uint8_t>& file, int* width, int* height) {
    png_image image = {};
    image.version = PNG_IMAGE_VERSION;
    EXPECT_TRUE(png_image_begin_read_from_memory(&image, file.data(), file.size()));
    image.format = PNG_FORMAT_RGBA;
    std::vector<std::uint8_t> pixels(PNG_IMAGE_SIZE(image));
    EXPECT_TRUE(png_image_finish_read(&image, nullptr, pixels.data(), 0, nullptr));
    *width = static_cast<int>(image.width);
    *height = static_cast<int>(image.height);
    return pixels;
}

// A PNG of one colour (every sample the value v) at the highest compression, with a text
// chunk of textBytes characters when asked.
std::vector<std::uint8_t> UniformPng(int colourType, int bitDepth, int width, int height, unsigned v,
                                     std::size_t textBytes = 0) {
    std::vector<std::uint8_t> out;
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png_create_info_struct(png);
    png_set_write_fn(png, &out, Append, Flush);
    png_set_compression_level(png, 9);
    png_set_compression_strategy(png, Z_DEFAULT_STRATEGY);
    png_set_filter(png, 0, PNG_FILTER_NONE);
    png_set_IHDR(png, info, width, height, bitDepth, colourType, PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT,
                 PNG_FILTER_TYPE_DEFAULT);
    std::string words(textBytes, 'w');
    png_text text = {};
    if (textBytes > 0) {
        text.compression = PNG_TEXT_COMPRESSION_NONE;
        text.key = const_cast<char*>("Comment");
        text.text = words.data();
        png_set_text(png, info, &text, 1);
    }
    png_write_info(png, info);
    const int channels = Channels(colourType);
    std::vector<png_byte> row((static_cast<std::size_t>(width) * channels * bitDepth + 7) / 8, 0);
    for (int i = 0; i < width * channels; ++i) {
        const int bitPos = i * bitDepth;
        row[bitPos / 8] |= static_cast<png_byte>(v << (8 - bitDepth - bitPos % 8));
    }
    for (int y = 0; y < height; ++y) {
        png_write_row(png, row.data());
    }
    png_write_end(png, info);
    png_destroy_write_struct(&png, &info);
    return out;
}

using PngReaderTest = ReaderTest;

// The guards against damaged files admit valid ones at their edge: images of one colour whose
// data inflates about a thousand times (the filler byte of RGB and the widening of bits below 8
// are not in the file's data), and a text chunk longer than 64 KB.
TEST_F(PngReaderTest, GuardsAdmitValidFilesAtTheirEdge) {
    struct Case {
        int colourType, bitDepth, width, height;
        unsigned v;
        std::size_t text;
        std::uint8_t red; // of the pixels read
    } const cases[] = {
        {PNG_COLOR_TYPE_RGB, 8, 256, 256, 0, 0, 0}, // black: rows of zeros behind zero filter bytes
        {PNG_COLOR_TYPE_RGB, 8, 1024, 1024, 0, 0, 0},
        {PNG_COLOR_TYPE_GRAY, 1, 512, 512, 0, 0, 0},
        {PNG_COLOR_TYPE_GRAY, 2, 1024, 1024, 0, 0, 0},
        {PNG_COLOR_TYPE_RGB, 8, 16, 16, 0x40, 70000, 0x40},
        {PNG_COLOR_TYPE_GRAY, 8, 40000, 1, 0x40, 0, 0x40}, // a side past 32768
    };
    for (const Case& c : cases) {
        const std::vector<std::uint8_t> file = UniformPng(c.colourType, c.bitDepth, c.width, c.height, c.v, c.text);
        const std::string what = std::to_string(c.width) + " depth " + std::to_string(c.bitDepth) + ", " +
                                 std::to_string(file.size()) + " bytes";
        OvImage* image = OvPngImageRead(Write("edge.png", file).c_str());
        ASSERT_NE(image, nullptr) << what;
        EXPECT_EQ(image->width, c.width) << what;
        EXPECT_EQ(PixelColour(image, c.width - 1, c.height - 1)[0], c.red) << what;
        OvImageDestroy(image);
    }
    EXPECT_LT(UniformPng(PNG_COLOR_TYPE_RGB, 8, 256, 256, 0).size(), 300u);
}

TEST_F(PngReaderTest, EveryColourTypeAndDepthMatchesLibpngsOwnDecode) {
    const PngSpec specs[] = {
        {PNG_COLOR_TYPE_GRAY, 1, false, false},       {PNG_COLOR_TYPE_GRAY, 2, false, false},
        {PNG_COLOR_TYPE_GRAY, 4, false, false},       {PNG_COLOR_TYPE_GRAY, 8, false, false},
        {PNG_COLOR_TYPE_GRAY, 16, false, false},      {PNG_COLOR_TYPE_GRAY, 2, true, false},
        {PNG_COLOR_TYPE_GRAY, 8, true, false},        {PNG_COLOR_TYPE_PALETTE, 1, false, false},
        {PNG_COLOR_TYPE_PALETTE, 2, true, false},     {PNG_COLOR_TYPE_PALETTE, 4, false, false},
        {PNG_COLOR_TYPE_PALETTE, 4, true, false},     {PNG_COLOR_TYPE_PALETTE, 8, false, false},
        {PNG_COLOR_TYPE_PALETTE, 8, true, true},      {PNG_COLOR_TYPE_RGB, 8, false, false},
        {PNG_COLOR_TYPE_RGB, 8, false, true},         {PNG_COLOR_TYPE_RGB, 16, false, false},
        {PNG_COLOR_TYPE_RGBA, 8, false, false},       {PNG_COLOR_TYPE_RGBA, 16, false, false},
        {PNG_COLOR_TYPE_GRAY_ALPHA, 8, false, false}, {PNG_COLOR_TYPE_GRAY_ALPHA, 16, false, false},
    };
    std::mt19937 rng(21);
    for (const PngSpec& s : specs) {
        SCOPED_TRACE(::testing::Message() << "type " << s.colourType << " depth " << s.bitDepth << " tRNS " << s.trns);
        std::vector<unsigned> samples;
        const std::vector<std::uint8_t> file = MakePng(s, 13, 5, rng, &samples);
        OvImage* image = OvPngImageRead(Write("a.png", file).c_str());
        ASSERT_NE(image, nullptr);
        ASSERT_EQ(image->width, 13);
        const int wantDepth = s.colourType == PNG_COLOR_TYPE_PALETTE ? (s.bitDepth < 8 ? 4 : 8)
                              : s.colourType == PNG_COLOR_TYPE_GRAY  ? 8
                                                                     : 32;
        EXPECT_EQ(image->depth, wantDepth);
        int w = 0, h = 0;
        const std::vector<std::uint8_t> oracle = SimplifiedRgba(file, &w, &h);
        const int channels = Channels(s.colourType);
        for (int y = 0; y < 5; ++y) {
            for (int x = 0; x < 13; ++x) {
                const std::uint8_t* got = PixelColour(image, x, y);
                for (int c = 0; c < 4; ++c) {
                    int want = oracle[(static_cast<std::size_t>(y) * 13 + x) * 4 + c];
                    if (s.bitDepth == 16) {
                        // 16-bit samples keep their high byte (libpng's simplified decode rounds).
                        const int sc = s.colourType == PNG_COLOR_TYPE_GRAY_ALPHA ? (c < 3 ? 0 : 1)
                                       : s.colourType == PNG_COLOR_TYPE_GRAY     ? (c < 3 ? 0 : 9)
                                                                                 : c;
                        want =
                            sc < channels
                                ? static_cast<int>(samples[(static_cast<std::size_t>(y) * 13 + x) * channels + sc] >> 8)
                                : 255;
                    }
                    if (c == 3 && s.trns && s.colourType == PNG_COLOR_TYPE_GRAY) {
                        want = 255; // a transparent gray level is not taken into the ramp
                    }
                    ASSERT_EQ(got[c], want) << x << "," << y << " channel " << c;
                }
            }
        }
        OvImageDestroy(image);
    }
}

TEST_F(PngReaderTest, TruncatedAndOversizedFilesFailCleanly) {
    std::mt19937 rng(2);
    std::vector<unsigned> samples;
    const std::vector<std::uint8_t> file = MakePng({PNG_COLOR_TYPE_RGBA, 8, false, false}, 9, 9, rng, &samples);
    for (std::size_t n = 0; n < file.size() - 12; n += 3) { // the last 12 bytes are the IEND chunk
        const std::vector<std::uint8_t> prefix(file.begin(), file.begin() + static_cast<std::ptrdiff_t>(n));
        EXPECT_EQ(OvPngImageRead(Write("cut.png", prefix).c_str()), nullptr) << n;
    }
    // A header that declares 30000 x 30000 pixels over a few hundred bytes of data is refused
    // before the pixels are allocated (the IHDR checksum is made right so libpng accepts it).
    std::vector<std::uint8_t> huge = file;
    for (int at : {16, 20}) {
        huge[at] = 0;
        huge[at + 1] = 0;
        huge[at + 2] = 0x75;
        huge[at + 3] = 0x30;
    }
    const uLong crc = crc32(0, huge.data() + 12, 17);
    for (int i = 0; i < 4; ++i) {
        huge[29 + i] = static_cast<std::uint8_t>(crc >> (24 - 8 * i));
    }
    EXPECT_EQ(OvPngImageRead(Write("huge.png", huge).c_str()), nullptr);
    EXPECT_EQ(OvPngImageRead(Write("none.png", {}).c_str()), nullptr);
    EXPECT_EQ(OvPngImageRead((dir / "missing.png").string().c_str()), nullptr);
}

std::size_t gLargestAsk = 0;
void* RecordingAllocate(std::size_t size, OvUInt32 hint) {
    gLargestAsk = std::max(gLargestAsk, size);
    return size > (1u << 20) ? nullptr : OvMemoryDefaultAlloc(size, hint);
}

// A valid header, then a chunk whose length word claims far more than the file holds: the read
// fails without asking the engine for anything near that size.
TEST_F(PngReaderTest, ChunksClaimingMoreThanTheFileFailWithASmallAllocation) {
    std::mt19937 rng(5);
    std::vector<unsigned> samples;
    const std::vector<std::uint8_t> file = MakePng({PNG_COLOR_TYPE_RGB, 8, false, false}, 4, 4, rng, &samples);
    const OvMemoryFunctions saved = OvEngineInstancePtr->memoryFuncs;
    OvEngineInstancePtr->memoryFuncs.allocate = RecordingAllocate;
    for (const char* type : {"sPLT", "tEXt", "zTXt", "iCCP", "PLTE"}) {
        for (std::uint32_t length : {0x7FFFFFFFu, 0x7FFFFFF0u, 0x00FFFFFFu, 2000u}) {
            std::vector<std::uint8_t> bad(file.begin(), file.begin() + 33); // signature and IHDR
            for (int shift = 24; shift >= 0; shift -= 8) {
                bad.push_back(static_cast<std::uint8_t>(length >> shift));
            }
            bad.insert(bad.end(), type, type + 4);
            ASSERT_EQ(bad.size(), 41u);
            gLargestAsk = 0;
            EXPECT_EQ(OvPngImageRead(Write("long-chunk.png", bad).c_str()), nullptr) << type << " " << length;
            EXPECT_LT(gLargestAsk, 65536u) << type << " " << length;
        }
    }
    OvEngineInstancePtr->memoryFuncs = saved;
}

} // namespace
