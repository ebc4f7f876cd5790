#include "tools/font_asset/font_asset.h"

#include <png.h>

#include <cstdio>
#include <filesystem>
#include <vector>

#include "graphics/toolkits/charset.h"

bool WriteCharsetFont(const std::string& dir, const std::string& name, std::string* error) {
    std::error_code ec;
    std::filesystem::create_directories(dir.empty() ? "." : dir, ec);
    if (ec) {
        *error = dir + ": cannot create the folder: " + ec.message();
        return false;
    }
    OvCharsetDesc desc;
    OvInt32 side = 0;
    const OvUInt8* glyphs = OvCharsetGetMetrics(&desc, &side);
    const std::filesystem::path base = std::filesystem::path(dir.empty() ? "." : dir) / name;

    // The page: white everywhere, opaque where a glyph has ink.
    std::vector<png_byte> rgba(static_cast<std::size_t>(side) * static_cast<std::size_t>(side) * 4, 0xFF);
    for (std::size_t i = 3; i < rgba.size(); i += 4) {
        rgba[i] = 0;
    }
    for (int g = 0; g < desc.count; ++g) {
        const int left = desc.cellWidth * (g % desc.cellsPerRow), top = desc.cellHeight * (g / desc.cellsPerRow);
        for (int r = 0; r < desc.glyphHeight; ++r) {
            const OvUInt8 bits = glyphs[g * ovCHARSETGLYPHBYTES + r];
            for (int x = 0; x < desc.glyphWidth; ++x) {
                if ((bits >> x) & 1u) {
                    rgba[(static_cast<std::size_t>(top + r) * static_cast<std::size_t>(side) +
                          static_cast<std::size_t>(left + x)) *
                             4 +
                         3] = 0xFF;
                }
            }
        }
    }
    const std::string png = base.string() + ".png";
    png_image image{};
    image.version = PNG_IMAGE_VERSION;
    image.width = static_cast<png_uint_32>(side);
    image.height = static_cast<png_uint_32>(side);
    image.format = PNG_FORMAT_RGBA;
    if (!png_image_write_to_file(&image, png.c_str(), 0, rgba.data(), 0, nullptr)) {
        *error = png + ": cannot write: " + image.message;
        return false;
    }

    // The metrics: a box of the glyph's 8 x 14 pixels per character.
    const std::string met = base.string() + ".met";
    std::FILE* f = std::fopen(met.c_str(), "wb");
    if (f == nullptr) {
        *error = met + ": cannot write";
        return false;
    }
    bool ok = std::fprintf(f, "METRICS1\n%s\n0\n", name.c_str()) > 0;
    for (int g = 0; g < desc.count && ok; ++g) {
        const int left = desc.cellWidth * (g % desc.cellsPerRow), top = desc.cellHeight * (g / desc.cellsPerRow);
        ok = std::fprintf(f, "%d %d %d %d %d\n", ovCHARSETFIRSTCODE + g, left, top, left + desc.glyphWidth,
                          top + desc.glyphHeight) > 0;
    }
    ok = std::fclose(f) == 0 && ok;
    if (!ok) {
        *error = met + ": cannot write";
        return false;
    }
    return true;
}
