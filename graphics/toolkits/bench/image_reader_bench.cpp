// Image decoding through the engine's readers against the plain alternatives, and the image
// processing the texture reader runs on what they give:
//   BM_PngEngine / BM_PngLibpngSimplified: a 1024 x 1024 RGBA PNG through OvPngImageRead against
//     libpng's simplified API reading the same file into memory (goal: at most 1.1).
//   BM_Bmp24Engine / BM_Bmp24PlainRead: a 1024 x 1024 24-bit bitmap through OvBmpImageRead against
//     reading the same bytes with fread (goal: at most 1.5).
//   BM_Quantise/N: an N x N photo-like picture to 256 colours (pixels/s in the items column).
//   BM_Resample: 1024 x 1024 to 512 x 512.
// The files are written to the temporary folder on first use.

#include <benchmark/benchmark.h>
#include <png.h>

#include <cmath>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "graphics/core/image.h"
#include "graphics/core/image_processing.h"
#include "graphics/core/testkit/engine_fixture.h"
#include "graphics/toolkits/bmp_reader.h"
#include "graphics/toolkits/png_reader.h"

namespace {

constexpr int kSide = 1024;

bool EngineUp() {
    static const bool up = OvTestEngineUp() != FALSE;
    return up;
}

// Smooth colour fields with a little noise, like a photograph's texture.
std::vector<std::uint8_t> PhotoLike(int side) {
    std::vector<std::uint8_t> rgba(static_cast<std::size_t>(side) * side * 4);
    std::uint32_t noise = 12345;
    for (int y = 0; y < side; ++y) {
        for (int x = 0; x < side; ++x) {
            noise = noise * 1664525u + 1013904223u;
            const int n = static_cast<int>((noise >> 24) & 15) - 8;
            const double fx = static_cast<double>(x) / side, fy = static_cast<double>(y) / side;
            std::uint8_t* p = &rgba[(static_cast<std::size_t>(y) * side + x) * 4];
            const int values[4] = {static_cast<int>(128 + 100 * std::sin(6 * fx + 2 * fy)) + n,
                                   static_cast<int>(128 + 90 * std::cos(5 * fy - 3 * fx)) + n,
                                   static_cast<int>(60 + 150 * fx * fy) + n, 255};
            for (int c = 0; c < 4; ++c) {
                p[c] = static_cast<std::uint8_t>(values[c] < 0 ? 0 : values[c] > 255 ? 255 : values[c]);
            }
        }
    }
    return rgba;
}

std::string TempPath(const char* name) { return (std::filesystem::temp_directory_path() / name).string(); }

const std::string& PngFile() {
    static const std::string path = [] {
        const std::string p = TempPath("gfx_toolkits_bench_1024.png");
        const std::vector<std::uint8_t> pixels = PhotoLike(kSide);
        png_image image = {};
        image.version = PNG_IMAGE_VERSION;
        image.width = kSide;
        image.height = kSide;
        image.format = PNG_FORMAT_RGBA;
        png_image_write_to_file(&image, p.c_str(), 0, pixels.data(), 0, nullptr);
        return p;
    }();
    return path;
}

const std::string& BmpFile() {
    static const std::string path = [] {
        const std::string p = TempPath("gfx_toolkits_bench_1024.bmp");
        const std::vector<std::uint8_t> pixels = PhotoLike(kSide);
        const std::uint32_t rowBytes = kSide * 3;
        const std::uint32_t size = 54 + rowBytes * kSide;
        std::vector<std::uint8_t> file = {'B', 'M'};
        auto u16 = [&file](unsigned v) { file.push_back(v & 0xFF), file.push_back((v >> 8) & 0xFF); };
        auto u32 = [&u16](std::uint32_t v) { u16(v & 0xFFFF), u16(v >> 16); };
        u32(size), u32(0), u32(54), u32(40), u32(kSide), u32(kSide), u16(1), u16(24), u32(0), u32(rowBytes * kSide);
        u32(2835), u32(2835), u32(0), u32(0);
        for (int k = 0; k < kSide; ++k) {
            const std::uint8_t* row = &pixels[static_cast<std::size_t>(kSide - 1 - k) * kSide * 4];
            for (int x = 0; x < kSide; ++x) {
                file.insert(file.end(), {row[4 * x + 2], row[4 * x + 1], row[4 * x]});
            }
        }
        std::FILE* f = std::fopen(p.c_str(), "wb");
        std::fwrite(file.data(), 1, file.size(), f);
        std::fclose(f);
        return p;
    }();
    return path;
}

void BM_PngEngine(benchmark::State& state) {
    if (!EngineUp()) {
        state.SkipWithError("engine did not start");
        return;
    }
    const std::string& path = PngFile();
    for (auto _ : state) {
        OvImage* image = OvPngImageRead(path.c_str());
        benchmark::DoNotOptimize(image);
        OvImageDestroy(image);
    }
    state.SetItemsProcessed(state.iterations() * kSide * kSide);
}
BENCHMARK(BM_PngEngine)->Unit(benchmark::kMillisecond);

void BM_PngLibpngSimplified(benchmark::State& state) {
    const std::string& path = PngFile();
    std::vector<std::uint8_t> pixels(static_cast<std::size_t>(kSide) * kSide * 4);
    for (auto _ : state) {
        png_image image = {};
        image.version = PNG_IMAGE_VERSION;
        png_image_begin_read_from_file(&image, path.c_str());
        image.format = PNG_FORMAT_RGBA;
        png_image_finish_read(&image, nullptr, pixels.data(), 0, nullptr);
        benchmark::DoNotOptimize(pixels.data());
    }
    state.SetItemsProcessed(state.iterations() * kSide * kSide);
}
BENCHMARK(BM_PngLibpngSimplified)->Unit(benchmark::kMillisecond);

void BM_Bmp24Engine(benchmark::State& state) {
    if (!EngineUp()) {
        state.SkipWithError("engine did not start");
        return;
    }
    const std::string& path = BmpFile();
    for (auto _ : state) {
        OvImage* image = OvBmpImageRead(path.c_str());
        benchmark::DoNotOptimize(image);
        OvImageDestroy(image);
    }
    state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(std::filesystem::file_size(path)));
}
BENCHMARK(BM_Bmp24Engine)->Unit(benchmark::kMillisecond);

void BM_Bmp24PlainRead(benchmark::State& state) {
    const std::string& path = BmpFile();
    std::vector<std::uint8_t> bytes(std::filesystem::file_size(path));
    for (auto _ : state) {
        std::FILE* f = std::fopen(path.c_str(), "rb");
        benchmark::DoNotOptimize(std::fread(bytes.data(), 1, bytes.size(), f));
        std::fclose(f);
    }
    state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(bytes.size()));
}
BENCHMARK(BM_Bmp24PlainRead)->Unit(benchmark::kMillisecond);

OvImage* PhotoImage(int side) {
    const std::vector<std::uint8_t> pixels = PhotoLike(side);
    OvImage* image = OvImageCreate(side, side, 32);
    OvImageAllocatePixels(image);
    std::copy(pixels.begin(), pixels.end(), image->cpPixels);
    return image;
}

void BM_Quantise(benchmark::State& state) {
    if (!EngineUp()) {
        state.SkipWithError("engine did not start");
        return;
    }
    const int side = static_cast<int>(state.range(0));
    OvImage* image = PhotoImage(side);
    std::vector<std::uint8_t> palette(1024);
    std::vector<std::uint8_t> indices(static_cast<std::size_t>(side) * side);
    for (auto _ : state) {
        OvPaletteQuantizer q;
        OvPaletteQuantizerInit(&q);
        OvPaletteQuantizerAddImage(&q, image, 1.0f);
        OvPaletteQuantizerMakePalette(palette.data(), 256, &q);
        OvPaletteQuantizerMapImage(indices.data(), side, 8, FALSE, &q, image);
        OvPaletteQuantizerFree(&q);
        benchmark::DoNotOptimize(indices.data());
    }
    state.SetItemsProcessed(state.iterations() * side * side);
    OvImageDestroy(image);
}
BENCHMARK(BM_Quantise)->Arg(256)->Arg(1024)->Unit(benchmark::kMillisecond);

void BM_Resample(benchmark::State& state) {
    if (!EngineUp()) {
        state.SkipWithError("engine did not start");
        return;
    }
    OvImage* image = PhotoImage(kSide);
    for (auto _ : state) {
        OvImage* half = OvImageCreateResampled(image, kSide / 2, kSide / 2);
        benchmark::DoNotOptimize(half);
        OvImageDestroy(half);
    }
    state.SetItemsProcessed(state.iterations() * kSide * kSide);
    OvImageDestroy(image);
}
BENCHMARK(BM_Resample)->Unit(benchmark::kMillisecond);

} // namespace

BENCHMARK_MAIN();
