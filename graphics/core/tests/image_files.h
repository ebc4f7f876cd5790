#pragma once
// Test support for images and textures: the started engine with a file system and a scratch
// folder, a reader for a private test format (".tst": u32 width, u32 height, then red, green,
// blue, alpha bytes, top row first) and small image builders.

#include <array>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "graphics/core/file_system.h"
#include "graphics/core/image.h"
#include "graphics/core/raster.h"
#include "graphics/core/tests/started_engine.h"
#include "testing/scratch_dir.h"

using Rgba = std::array<OvUInt8, 4>;

inline std::vector<std::string> gCandidates; // names the test reader was called with
inline bool gRefuseNext = false;             // the test reader refuses its next file

inline OvImage* ReadTestImage(const char* name) {
    gCandidates.emplace_back(name);
    if (gRefuseNext) {
        gRefuseNext = false;
        return nullptr;
    }
    std::ifstream in(name, std::ios::binary);
    std::uint32_t size[2] = {};
    in.read(reinterpret_cast<char*>(size), sizeof(size));
    if (!in) {
        return nullptr;
    }
    OvImage* image = OvImageCreate(static_cast<OvInt32>(size[0]), static_cast<OvInt32>(size[1]), 32);
    if (image == nullptr || OvImageAllocatePixels(image) == nullptr) {
        return nullptr;
    }
    for (OvInt32 y = 0; y < image->height; ++y) {
        in.read(reinterpret_cast<char*>(image->cpPixels + y * image->stride), 4 * image->width);
    }
    return image;
}
inline OvImage* WriteNothing(OvImage* image, const char*) { return image; }
// The same files as 8-bit images whose palette lists their colours in order of appearance.
inline OvImage* ReadTestImage8(const char* name) {
    OvImage* wide = ReadTestImage(name);
    if (wide == nullptr) {
        return nullptr;
    }
    OvImage* image = OvImageCreate(wide->width, wide->height, 8);
    OvImageAllocatePixels(image);
    std::memset(image->palette, 0, 1024);
    int used = 0;
    for (OvInt32 y = 0; y < wide->height; ++y) {
        for (OvInt32 x = 0; x < wide->width; ++x) {
            const OvUInt8* p = wide->cpPixels + y * wide->stride + 4 * x;
            int i = 0;
            while (i < used && std::memcmp(image->palette + 4 * i, p, 4) != 0) {
                ++i;
            }
            if (i == used && used < 256) {
                std::memcpy(image->palette + 4 * used++, p, 4);
            }
            image->cpPixels[y * image->stride + x] = static_cast<OvUInt8>(i);
        }
    }
    OvImageDestroy(wide);
    return image;
}

inline OvImage* NewImage(OvInt32 width, OvInt32 height, OvInt32 depth) {
    OvImage* image = OvImageCreate(width, height, depth);
    EXPECT_NE(OvImageAllocatePixels(image), nullptr);
    std::memset(image->cpPixels, 0, static_cast<std::size_t>(image->stride * height));
    if (image->palette != nullptr) {
        std::memset(image->palette, 0, static_cast<std::size_t>(4 << depth));
    }
    return image;
}
inline void SetEntry(OvImage* image, int i, Rgba c) { std::memcpy(image->palette + 4 * i, c.data(), 4); }
inline void SetPixel(OvImage* image, int x, int y, Rgba c) {
    std::memcpy(image->cpPixels + y * image->stride + 4 * x, c.data(), 4);
}
inline Rgba Entry(const OvUInt8* palette, int i) {
    return {palette[4 * i], palette[4 * i + 1], palette[4 * i + 2], palette[4 * i + 3]};
}
// Colour of a pixel, through the palette for palettised images.
inline Rgba Pixel(const OvImage* image, int x, int y) {
    const OvUInt8* row = image->cpPixels + y * image->stride;
    return image->depth == 32 ? Entry(row + 4 * x, 0) : Entry(image->palette, row[x]);
}
inline OvImage* RandomImage(std::mt19937& rng, OvInt32 width, OvInt32 height, OvInt32 depth) {
    OvImage* image = NewImage(width, height, depth);
    std::uniform_int_distribution<int> byte(0, 255);
    for (OvInt32 y = 0; y < height; ++y) {
        for (OvInt32 x = 0; x < (depth == 32 ? 4 * width : width); ++x) {
            image->cpPixels[y * image->stride + x] = static_cast<OvUInt8>(byte(rng) & (depth == 4 ? 15 : 255));
        }
    }
    for (int i = 0; image->palette != nullptr && i < (4 << depth); ++i) {
        image->palette[i] = static_cast<OvUInt8>(byte(rng));
    }
    return image;
}
// Same size, depth, pixel bytes and palette.
inline bool SamePixels(const OvImage* a, const OvImage* b) {
    if (a->width != b->width || a->height != b->height || a->depth != b->depth) {
        return false;
    }
    const std::size_t rowBytes = static_cast<std::size_t>(((a->depth + 7) >> 3) * a->width);
    for (OvInt32 y = 0; y < a->height; ++y) {
        if (std::memcmp(a->cpPixels + y * a->stride, b->cpPixels + y * b->stride, rowBytes) != 0) {
            return false;
        }
    }
    return a->palette == nullptr || std::memcmp(a->palette, b->palette, static_cast<std::size_t>(4 << a->depth)) == 0;
}

// A 32-bit image of one level of a raster, as the driver reads it back.
inline OvImage* LevelImage(OvRaster* raster, int level) {
    if (OvRasterLock(raster, static_cast<OvUInt8>(level), ovRASTERLOCKREAD) == nullptr) {
        return nullptr;
    }
    OvImage* image = NewImage(raster->width, raster->height, 32);
    OvImage* filled = OvImageSetFromRaster(image, raster);
    OvRasterUnlock(raster);
    if (filled == nullptr) {
        OvImageDestroy(image);
    }
    return filled;
}

class ImageFilesEngine : public StartedEngine {
protected:
    std::filesystem::path dir;

    void SetUp() override {
        StartedEngine::SetUp();
        ASSERT_TRUE(OvFSManagerOpen(0));
        OvFileSystem* fs = OvWinFSCreate(20, "", "unc");
        ASSERT_NE(fs, nullptr);
        ASSERT_TRUE(OvFSManagerRegister(fs));
        OvFSManagerSetDefaultFileSystem(fs);
        dir = MakeTestScratchDir("dun_images");
        gCandidates.clear();
        gRefuseNext = false;
    }
    void TearDown() override {
        std::filesystem::remove_all(dir);
        OvFSManagerClose();
        StartedEngine::TearDown();
    }

    std::string Dir() const { return dir.string() + "/"; }

    // A test-format file of one colour.
    void WriteTestImage(const std::string& name, std::uint32_t width, std::uint32_t height, Rgba colour) {
        WriteTestImage(name, width, height, std::vector<Rgba>(width * height, colour));
    }
    // A test-format file of the given pixels, top row first.
    void WriteTestImage(const std::string& name, std::uint32_t width, std::uint32_t height,
                        const std::vector<Rgba>& pixels) {
        std::filesystem::create_directories((dir / name).parent_path());
        std::ofstream out(dir / name, std::ios::binary);
        const std::uint32_t size[2] = {width, height};
        out.write(reinterpret_cast<const char*>(size), sizeof(size));
        for (const Rgba& p : pixels) {
            out.write(reinterpret_cast<const char*>(p.data()), 4);
        }
    }
};

// The engine with the two private test formats registered (".tst" and its palettised form ".pal")
// and the scratch folder on the image path.
class TestFormatsEngine : public ImageFilesEngine {
protected:
    void SetUp() override {
        ImageFilesEngine::SetUp();
        ASSERT_TRUE(OvImageRegisterFileFormat("tst", ReadTestImage, nullptr));
        ASSERT_TRUE(OvImageRegisterFileFormat("pal", ReadTestImage8, nullptr));
        OvImageSetPath(Dir().c_str());
    }
};
