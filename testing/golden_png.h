// Golden pictures of the tools' end-to-end tests: a written PNG read as RGB bytes and compared
// pixel by pixel with the committed one. With DUN_UPDATE_GOLDEN set in the environment the written
// picture replaces the committed one first.
#pragma once

#include <png.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

// RGB bytes, rows top down; empty when the file cannot be read as a PNG.
inline std::vector<png_byte> ReadPngRgb(const std::string& path, png_uint_32* width, png_uint_32* height) {
    png_image image{};
    image.version = PNG_IMAGE_VERSION;
    if (!png_image_begin_read_from_file(&image, path.c_str())) {
        return {};
    }
    image.format = PNG_FORMAT_RGB;
    std::vector<png_byte> pixels(PNG_IMAGE_SIZE(image));
    if (!png_image_finish_read(&image, nullptr, pixels.data(), 0, nullptr)) {
        return {};
    }
    *width = image.width;
    *height = image.height;
    return pixels;
}

struct GoldenComparison {
    std::vector<png_byte> frame; // the written picture
    png_uint_32 width = 0;
    png_uint_32 height = 0;
    int differ = 0;      // pixels that differ in any channel
    int worst = 0;       // the largest difference of one channel
    std::string problem; // non-empty when the pictures cannot be compared
};

inline GoldenComparison CompareWithGolden(const std::string& written, const std::string& golden) {
    GoldenComparison c;
    if (std::getenv("DUN_UPDATE_GOLDEN") != nullptr) {
        std::filesystem::copy_file(written, golden, std::filesystem::copy_options::overwrite_existing);
    }
    c.frame = ReadPngRgb(written, &c.width, &c.height);
    png_uint_32 gw = 0, gh = 0;
    const std::vector<png_byte> expected = ReadPngRgb(golden, &gw, &gh);
    if (c.frame.empty()) {
        c.problem = written + " cannot be read";
    } else if (expected.empty()) {
        c.problem = golden + " is missing (DUN_UPDATE_GOLDEN=1 writes it)";
    } else if (gw != c.width || gh != c.height) {
        c.problem = golden + " has another size";
    } else {
        for (std::size_t i = 0; i < c.frame.size(); i += 3) {
            int d = 0;
            for (int k = 0; k < 3; ++k) {
                d = std::max(d, std::abs(c.frame[i + k] - expected[i + k]));
            }
            c.differ += d != 0;
            c.worst = std::max(c.worst, d);
        }
    }
    return c;
}
