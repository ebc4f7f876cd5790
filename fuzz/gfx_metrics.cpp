// Font metrics files: the input as "F.met" in a folder that also holds a 32 x 32 page image
// "page.bmp" (marked with red separators in two bands of 16 rows, boxes at x = 1..9, 9..20 and
// 0..14), read through the 2D toolkit on the memory-raster test driver, then measured (also with
// an 8-bit string in a block of its own size) and shown; the lines it left out are read.

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "fuzz/fuzz_kit.h"
#include "graphics/core/error.h"
#include "graphics/core/image.h"
#include "graphics/core/testkit/memory_raster_driver.h"
#include "graphics/toolkits/bmp_reader.h"
#include "graphics/toolkits/toolkit2d.h"

namespace {

std::string& Folder() {
    static std::string folder;
    return folder;
}

void RemoveFolder() {
    std::error_code ignored;
    std::filesystem::remove_all(Folder(), ignored);
}

// A 24-bit BMP: white, red at the top left of each band and at the box edges of its top row.
std::vector<std::uint8_t> Page() {
    constexpr int kSide = 32, kStride = 3 * kSide;
    std::vector<std::uint8_t> b(54 + kStride * kSide, 0xFF);
    const std::uint8_t header[54] = {'B', 'M', 0x36, 0x0C,  0, 0, 0, 0,     0, 0, 54, 0, 0, 0,  40,
                                     0,   0,   0,    kSide, 0, 0, 0, kSide, 0, 0, 0,  1, 0, 24, 0};
    std::copy(header, header + 54, b.begin());
    auto red = [&b](int x, int y) {
        const std::size_t at = 54 + static_cast<std::size_t>((kSide - 1 - y) * kStride + 3 * x);
        b[at] = 0, b[at + 1] = 0, b[at + 2] = 0xFF;
    };
    for (int x : {0, 1, 9, 20}) {
        red(x, 0);
    }
    red(0, 16);
    red(14, 16);
    return b;
}

bool MakeFolder() {
    Folder() = fuzzkit::ScratchFileName() + ".fonts";
    std::error_code ignored;
    std::filesystem::create_directories(Folder(), ignored);
    std::atexit(RemoveFolder);
    const std::vector<std::uint8_t> page = Page();
    std::ofstream(Folder() + "/page.bmp", std::ios::binary)
        .write(reinterpret_cast<const char*>(page.data()), static_cast<std::streamsize>(page.size()));
    return true;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzzkit::GraphicsEngine engine(nullptr, OvTestMemoryRasterDriver());
    if (!engine.Up()) {
        return 0;
    }
    static const bool ready = MakeFolder();
    (void)ready;
    OvImageRegisterFileFormat("bmp", OvBmpImageRead, nullptr);
    std::ofstream(Folder() + "/F.met", std::ios::binary)
        .write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
    if (!Ov2dOpen(nullptr)) {
        return 0;
    }
    Ov2dFontSetPath((Folder() + "/").c_str());
    Ov2dFont* font = Ov2dFontRead("F");
    volatile std::size_t said = std::strlen(Ov2dFontGetSkippedLines()); // ends within its buffer
    (void)said;
    if (font != nullptr) {
        const char text[] = "AB\xC3\xA9"
                            "C\0\0";
        Ov2dFontGetStringWidth(font, text, 0.5f);
        // A string in a block of its own size, of the font's characters (a 16-bit one ends at two
        // zero bytes).
        const bool wide = (font->flags & ov2dFONTFLAG16BIT) != 0;
        const std::unique_ptr<char[]> plain(wide ? new char[6]{'A', 0, 0, 1, 0, 0} : new char[3]{'A', 'B', 0});
        Ov2dFontGetStringWidth(font, plain.get(), 0.5f);
        Ov2dBrush* brush = Ov2dBrushCreate();
        const OvV2d anchor = {0.1f, 0.1f};
        Ov2dFontShow(font, text, 0.5f, &anchor, brush);
        Ov2dBrushDestroy(brush);
        Ov2dFontDestroy(font);
    }
    Ov2dClose();
    OvError ignored;
    OvErrorGet(&ignored);
    return 0;
}
