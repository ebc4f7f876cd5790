// Seeds of the image readers: small bitmaps of each kind, written field by field, and PNGs of
// each colour type written with libpng.

#include <png.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "fuzz/seed_gen.h"
#include "graphics/core/image.h"
#include "graphics/core/stream.h"
#include "graphics/core/testkit/engine_fixture.h"
#include "graphics/core/testkit/memory_raster_driver.h"
#include "graphics/core/texture_stream.h"

namespace seeds {

namespace {

struct BmpSeed {
    int width;
    int height;
    int bitCount;
    bool core;
    std::uint32_t compression;
    std::uint32_t usedColours;
    int paletteEntries;
    Bytes pixels; // stored rows, bottom first, or run-length codes
};

Bytes BmpBytes(const BmpSeed& s) {
    Bytes info;
    auto u16 = [&info](unsigned v) {
        info.push_back(static_cast<std::uint8_t>(v));
        info.push_back(static_cast<std::uint8_t>(v >> 8));
    };
    auto u32 = [&u16](std::uint32_t v) {
        u16(v & 0xFFFF);
        u16(v >> 16);
    };
    if (s.core) {
        u32(12), u16(s.width), u16(s.height), u16(1), u16(s.bitCount);
    } else {
        u32(40), u32(s.width), u32(s.height), u16(1), u16(s.bitCount), u32(s.compression);
        u32(static_cast<std::uint32_t>(s.pixels.size())), u32(2835), u32(2835), u32(s.usedColours), u32(0);
    }
    for (int i = 0; i < s.paletteEntries; ++i) {
        info.insert(info.end(), {static_cast<std::uint8_t>(i * 40), static_cast<std::uint8_t>(255 - i), 7});
        if (!s.core) {
            info.push_back(0);
        }
    }
    Chunks file;
    file.bytes = {'B', 'M'};
    file.U32(static_cast<std::uint32_t>(14 + info.size() + s.pixels.size())).U32(0);
    file.U32(static_cast<std::uint32_t>(14 + info.size())).Append(info).Append(s.pixels);
    return file.bytes;
}

Bytes Sequence(std::size_t n, int step) {
    Bytes b(n);
    for (std::size_t i = 0; i < n; ++i) {
        b[i] = static_cast<std::uint8_t>(i * static_cast<std::size_t>(step));
    }
    return b;
}

void Append(png_structp png, png_bytep data, png_size_t length) {
    auto* out = static_cast<Bytes*>(png_get_io_ptr(png));
    out->insert(out->end(), data, data + length);
}
void Flush(png_structp) {}

// A 5 x 3 PNG whose samples count up.
Bytes PngBytes(int colourType, int bitDepth, bool trns, bool interlaced) {
    Bytes out;
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png_create_info_struct(png);
    png_set_write_fn(png, &out, Append, Flush);
    const int width = 5;
    const int height = 3;
    png_set_IHDR(png, info, width, height, bitDepth, colourType, interlaced ? PNG_INTERLACE_ADAM7 : PNG_INTERLACE_NONE,
                 PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    const int entries = 1 << (bitDepth < 8 ? bitDepth : 8);
    if (colourType == PNG_COLOR_TYPE_PALETTE) {
        std::vector<png_color> palette(static_cast<std::size_t>(entries));
        for (int i = 0; i < entries; ++i) {
            palette[static_cast<std::size_t>(i)] = {static_cast<png_byte>(i * 3), static_cast<png_byte>(200 - i), 9};
        }
        png_set_PLTE(png, info, palette.data(), entries);
        if (trns) {
            png_byte alphas[3] = {0, 128, 255};
            png_set_tRNS(png, info, alphas, 3, nullptr);
        }
    } else if (trns) {
        png_color_16 colour = {};
        colour.gray = 1;
        png_set_tRNS(png, info, nullptr, 0, &colour);
    }
    png_write_info(png, info);
    const int channels = colourType == PNG_COLOR_TYPE_RGB          ? 3
                         : colourType == PNG_COLOR_TYPE_RGBA       ? 4
                         : colourType == PNG_COLOR_TYPE_GRAY_ALPHA ? 2
                                                                   : 1;
    const std::size_t rowBytes = (static_cast<std::size_t>(width) * channels * bitDepth + 7) / 8;
    std::vector<Bytes> rows;
    std::vector<png_bytep> pointers;
    for (int y = 0; y < height; ++y) {
        rows.push_back(Sequence(rowBytes, 17 + y));
        if (colourType == PNG_COLOR_TYPE_PALETTE && bitDepth == 8) {
            for (auto& b : rows.back()) {
                b = static_cast<std::uint8_t>(b % entries);
            }
        }
    }
    for (auto& row : rows) {
        pointers.push_back(row.data());
    }
    png_write_image(png, pointers.data());
    png_write_end(png, nullptr);
    png_destroy_write_struct(&png, &info);
    return out;
}

// A black RGB image of 256 x 256 at the highest compression: its data inflates about a thousand
// times, at the edge of what the reader admits.
Bytes BlackPng() {
    Bytes out;
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png_create_info_struct(png);
    png_set_write_fn(png, &out, Append, Flush);
    png_set_compression_level(png, 9);
    png_set_compression_strategy(png, 0); // the default strategy
    png_set_filter(png, 0, PNG_FILTER_NONE);
    png_set_IHDR(png, info, 256, 256, 8, PNG_COLOR_TYPE_RGB, PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT,
                 PNG_FILTER_TYPE_DEFAULT);
    png_write_info(png, info);
    Bytes row(3 * 256, 0);
    for (int y = 0; y < 256; ++y) {
        png_write_row(png, row.data());
    }
    png_write_end(png, nullptr);
    png_destroy_write_struct(&png, &info);
    return out;
}

// A texture on a raster of the flags whose levels hold counting pixels.
void AddTexture(OvTexDictionary* dict, const char* name, OvInt32 side, OvInt32 flags) {
    OvRaster* raster = OvRasterCreate(side, side, 0, flags);
    for (OvInt32 level = 0; raster != nullptr && level < OvRasterGetNumLevels(raster); ++level) {
        OvRasterLock(raster, static_cast<OvUInt8>(level), ovRASTERLOCKWRITE);
        OvImage* image = OvImageCreate(raster->width, raster->height, 32);
        OvImageAllocatePixels(image);
        for (OvInt32 i = 0; i < image->stride * image->height; ++i) {
            image->cpPixels[i] = static_cast<OvUInt8>(i * 31 + level);
        }
        OvRasterSetFromImage(raster, image);
        OvImageDestroy(image);
        OvRasterUnlock(raster);
    }
    OvTexture* texture = OvTextureCreate(raster);
    OvTextureSetName(texture, name);
    OvTextureSetMaskName(texture, flags & ovRASTERFORMATPAL8 ? "maskA" : "");
    OvTexDictionaryAddTexture(dict, texture);
}

// A dictionary of two textures as the engine writes it, without its chunk header.
Bytes WrittenDictionaryBody() {
    Bytes body;
    if (!OvTestEngineUp(0, nullptr, OvTestMemoryRasterDriver())) {
        std::fprintf(stderr, "fuzz_seed_gen: the graphics engine did not start for the dictionary seeds\n");
        return body;
    }
    OvTexDictionary* dict = OvTexDictionaryCreate();
    AddTexture(dict, "mipped", 4, ovRASTERTYPETEXTURE | ovRASTERFORMAT8888 | ovRASTERFORMATMIPMAP);
    AddTexture(dict, "indexed", 2, ovRASTERTYPETEXTURE | ovRASTERFORMAT888 | ovRASTERFORMATPAL8);
    OvStream* stream = OvStreamOpen(ovSTREAMMEMORY, ovSTREAMWRITE, nullptr);
    OvTexDictionaryStreamWriteImages(dict, stream);
    OvMemory memory = {};
    OvStreamClose(stream, &memory);
    if (memory.length > 12) {
        body.assign(memory.start + 12, memory.start + memory.length);
    }
    OvFree(memory.start);
    OvTexDictionaryDestroy(dict);
    OvTestEngineDown();
    return body;
}

// The short form: one texture of an 8-bit 2 x 2 image, filter mode 5.
Bytes ShortDictionaryBody() {
    Chunks c;
    c.U32(0x00000001);
    Bytes record(72, 0);
    std::memcpy(record.data(), "short", 5);
    record[64] = 1;
    record[68] = 5;
    record[69] = 0x21;
    c.Append(record);
    c.Header(24, 12 + 16 + 8 + 1024).Header(1, 16).U32(2).U32(2).U32(8).U32(4).U32(0x00010000).U32(0x00000102);
    c.Append(Sequence(1024, 3));
    return c.bytes;
}

} // namespace

void ImageSeeds(Writer& out) {
    out.Put("gfx_texdict", "two-textures.bin", WrittenDictionaryBody());
    out.Put("gfx_texdict", "short-form.bin", ShortDictionaryBody());

    out.Put("gfx_bmp", "rgb24-padded.bmp", BmpBytes({3, 2, 24, false, 0, 0, 0, Sequence(24, 7)}));
    out.Put("gfx_bmp", "rgb32.bmp", BmpBytes({2, 2, 32, false, 0, 0, 0, Sequence(16, 11)}));
    out.Put("gfx_bmp", "rgb16.bmp", BmpBytes({3, 2, 16, false, 0, 0, 0, Sequence(16, 13)}));
    out.Put("gfx_bmp", "index8-16-used.bmp", BmpBytes({5, 2, 8, false, 0, 16, 16, Sequence(16, 3)}));
    out.Put("gfx_bmp", "index4.bmp", BmpBytes({5, 2, 4, false, 0, 0, 16, Sequence(8, 5)}));
    out.Put("gfx_bmp", "index1-core.bmp", BmpBytes({9, 2, 1, true, 0, 0, 2, Sequence(8, 37)}));
    out.Put("gfx_bmp", "rle8-early-end.bmp",
            BmpBytes({4, 4, 8, false, 1, 8, 8, {2, 7, 0, 3, 1, 2, 3, 0, 0, 0, 9, 5, 0, 0, 1, 6, 0, 1}}));
    // Pages ended early: the codes give far fewer pixels than the sides.
    out.Put("gfx_bmp", "rle8-one-run.bmp", BmpBytes({64, 64, 8, false, 1, 8, 8, {64, 5, 0, 1}}));
    Bytes line(200, 0); // 100 rows ended at once, then a line of 640 pixels
    line.insert(line.end(), {255, 3, 255, 3, 130, 3, 0, 1});
    out.Put("gfx_bmp", "rle8-one-line.bmp", BmpBytes({640, 480, 8, false, 1, 8, 8, line}));

    out.Put("gfx_png", "gray2.png", PngBytes(PNG_COLOR_TYPE_GRAY, 2, false, false));
    out.Put("gfx_png", "gray4-trns.png", PngBytes(PNG_COLOR_TYPE_GRAY, 4, true, false));
    out.Put("gfx_png", "palette4-trns.png", PngBytes(PNG_COLOR_TYPE_PALETTE, 4, true, false));
    out.Put("gfx_png", "palette8.png", PngBytes(PNG_COLOR_TYPE_PALETTE, 8, false, false));
    out.Put("gfx_png", "rgb8-interlaced.png", PngBytes(PNG_COLOR_TYPE_RGB, 8, false, true));
    out.Put("gfx_png", "rgba16.png", PngBytes(PNG_COLOR_TYPE_RGBA, 16, false, false));
    out.Put("gfx_png", "gray-alpha8.png", PngBytes(PNG_COLOR_TYPE_GRAY_ALPHA, 8, false, false));
    out.Put("gfx_png", "rgb8-black-256.png", BlackPng());
}

} // namespace seeds
