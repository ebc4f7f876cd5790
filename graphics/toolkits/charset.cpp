#include "graphics/toolkits/charset.h"

#include <array>
#include <cstring>

#include "graphics/core/engine.h"
#include "graphics/core/error.h"
#include "graphics/core/image.h"
#include "graphics/core/raster.h"

namespace {

constexpr OvInt32 kGlyphWidth = 8;
constexpr OvInt32 kGlyphHeight = 14;
constexpr OvInt32 kCellWidth = 9;
constexpr OvInt32 kCellHeight = 15;
constexpr OvInt32 kCount = 91;
constexpr OvUInt32 kHint = 0x40180;
constexpr std::size_t kScratchA = 114688; // scratch blocks kept while the module is open
constexpr std::size_t kScratchB = 12288;

// The smallest side of 32, 64, 128, ... that holds every row of cells.
constexpr OvInt32 Side() {
    OvInt32 s = 16;
    for (;;) {
        s *= 2;
        const OvInt32 perRow = s / kCellWidth;
        const OvInt32 rows = (kCount + perRow - 1) / perRow;
        if (s >= kCellHeight * rows) {
            return s;
        }
    }
}
constexpr OvInt32 kSide = Side();
constexpr OvInt32 kPerRow = kSide / kCellWidth;
constexpr OvInt32 kRows = (kCount + kPerRow - 1) / kPerRow;
static_assert(kSide == 128 && kPerRow == 14 && kRows == 7);

// The shapes, drawn on a 5 x 7 grid for characters 32 to 122: seven rows of five, top down,
// '#' for ink. Each becomes a glyph of 6 x 14 pixels: rows doubled, every ink pixel also inking
// its right neighbour, one blank column at the left and two at the right.
constexpr const char* kShapes[kCount] = {
    "..... ..... ..... ..... ..... ..... .....", // space
    "..#.. ..#.. ..#.. ..#.. ..#.. ..... ..#..", // !
    ".#.#. .#.#. .#.#. ..... ..... ..... .....", // "
    ".#.#. .#.#. ##### .#.#. ##### .#.#. .#.#.", // #
    "..#.. .#### #.#.. .###. ..#.# ####. ..#..", // $
    "##... ##..# ...#. ..#.. .#... #..## ...##", // %
    ".##.. #..#. #.#.. .#... #.#.# #..#. .##.#", // &
    "..#.. ..#.. .#... ..... ..... ..... .....", // '
    "...#. ..#.. .#... .#... .#... ..#.. ...#.", // (
    ".#... ..#.. ...#. ...#. ...#. ..#.. .#...", // )
    "..... ..#.. #.#.# .###. #.#.# ..#.. .....", // *
    "..... ..#.. ..#.. ##### ..#.. ..#.. .....", // +
    "..... ..... ..... ..... .##.. ..#.. .#...", // ,
    "..... ..... ..... ##### ..... ..... .....", // -
    "..... ..... ..... ..... ..... .##.. .##..", // .
    "..... ....# ...#. ..#.. .#... #.... .....", // /
    ".###. #...# #..## #.#.# ##..# #...# .###.", // 0
    "..#.. .##.. ..#.. ..#.. ..#.. ..#.. .###.", // 1
    ".###. #...# ....# ...#. ..#.. .#... #####", // 2
    "##### ...#. ..#.. ...#. ....# #...# .###.", // 3
    "...#. ..##. .#.#. #..#. ##### ...#. ...#.", // 4
    "##### #.... ####. ....# ....# #...# .###.", // 5
    "..##. .#... #.... ####. #...# #...# .###.", // 6
    "##### ....# ...#. ..#.. .#... .#... .#...", // 7
    ".###. #...# #...# .###. #...# #...# .###.", // 8
    ".###. #...# #...# .#### ....# ...#. .##..", // 9
    "..... .##.. .##.. ..... .##.. .##.. .....", // :
    "..... .##.. .##.. ..... .##.. ..#.. .#...", // ;
    "...#. ..#.. .#... #.... .#... ..#.. ...#.", // <
    "..... ..... ##### ..... ##### ..... .....", // =
    ".#... ..#.. ...#. ....# ...#. ..#.. .#...", // >
    ".###. #...# ....# ...#. ..#.. ..... ..#..", // ?
    ".###. #...# ....# .##.# #.#.# #.#.# .###.", // @
    ".###. #...# #...# ##### #...# #...# #...#", // A
    "####. #...# #...# ####. #...# #...# ####.", // B
    ".###. #...# #.... #.... #.... #...# .###.", // C
    "###.. #..#. #...# #...# #...# #..#. ###..", // D
    "##### #.... #.... ####. #.... #.... #####", // E
    "##### #.... #.... ####. #.... #.... #....", // F
    ".###. #...# #.... #.### #...# #...# .####", // G
    "#...# #...# #...# ##### #...# #...# #...#", // H
    ".###. ..#.. ..#.. ..#.. ..#.. ..#.. .###.", // I
    "..### ...#. ...#. ...#. ...#. #..#. .##..", // J
    "#...# #..#. #.#.. ##... #.#.. #..#. #...#", // K
    "#.... #.... #.... #.... #.... #.... #####", // L
    "#...# ##.## #.#.# #.#.# #...# #...# #...#", // M
    "#...# #...# ##..# #.#.# #..## #...# #...#", // N
    ".###. #...# #...# #...# #...# #...# .###.", // O
    "####. #...# #...# ####. #.... #.... #....", // P
    ".###. #...# #...# #...# #.#.# #..#. .##.#", // Q
    "####. #...# #...# ####. #.#.. #..#. #...#", // R
    ".#### #.... #.... .###. ....# ....# ####.", // S
    "##### ..#.. ..#.. ..#.. ..#.. ..#.. ..#..", // T
    "#...# #...# #...# #...# #...# #...# .###.", // U
    "#...# #...# #...# #...# #...# .#.#. ..#..", // V
    "#...# #...# #...# #.#.# #.#.# #.#.# .#.#.", // W
    "#...# #...# .#.#. ..#.. .#.#. #...# #...#", // X
    "#...# #...# .#.#. ..#.. ..#.. ..#.. ..#..", // Y
    "##### ....# ...#. ..#.. .#... #.... #####", // Z
    ".###. .#... .#... .#... .#... .#... .###.", // [
    "..... #.... .#... ..#.. ...#. ....# .....", // backslash
    ".###. ...#. ...#. ...#. ...#. ...#. .###.", // ]
    "..#.. .#.#. #...# ..... ..... ..... .....", // ^
    "..... ..... ..... ..... ..... ..... #####", // _
    ".#... ..#.. ...#. ..... ..... ..... .....", // `
    "..... ..... .###. ....# .#### #...# .####", // a
    "#.... #.... #.##. ##..# #...# #...# ####.", // b
    "..... ..... .###. #.... #.... #...# .###.", // c
    "....# ....# .##.# #..## #...# #...# .####", // d
    "..... ..... .###. #...# ##### #.... .###.", // e
    "..##. .#..# .#... ###.. .#... .#... .#...", // f
    "..... ..... .#### #...# .#### ....# .###.", // g
    "#.... #.... #.##. ##..# #...# #...# #...#", // h
    "..#.. ..... .##.. ..#.. ..#.. ..#.. .###.", // i
    "...#. ..... ..##. ...#. ...#. #..#. .##..", // j
    "#.... #.... #..#. #.#.. ##... #.#.. #..#.", // k
    ".##.. ..#.. ..#.. ..#.. ..#.. ..#.. .###.", // l
    "..... ..... ##.#. #.#.# #.#.# #...# #...#", // m
    "..... ..... #.##. ##..# #...# #...# #...#", // n
    "..... ..... .###. #...# #...# #...# .###.", // o
    "..... ..... ####. #...# ####. #.... #....", // p
    "..... ..... .##.# #..## .#### ....# ....#", // q
    "..... ..... #.##. ##..# #.... #.... #....", // r
    "..... ..... .###. #.... .###. ....# ####.", // s
    ".#... .#... ###.. .#... .#... .#..# ..##.", // t
    "..... ..... #...# #...# #...# #..## .##.#", // u
    "..... ..... #...# #...# #...# .#.#. ..#..", // v
    "..... ..... #...# #...# #.#.# #.#.# .#.#.", // w
    "..... ..... #...# .#.#. ..#.. .#.#. #...#", // x
    "..... ..... #...# #...# .#### ....# .###.", // y
    "..... ..... ##### ...#. ..#.. .#... #####", // z

};

constexpr OvInt32 kShapeRows = 7;
constexpr OvInt32 kShapeColumns = 5;

using GlyphTable = std::array<OvUInt8, kCount * ovCHARSETGLYPHBYTES>;

constexpr GlyphTable BuildGlyphs() {
    GlyphTable table{};
    for (OvInt32 g = 0; g < kCount; ++g) {
        const char* s = kShapes[g];
        for (OvInt32 r = 0; r < kShapeRows; ++r) {
            unsigned bits = 0;
            for (OvInt32 c = 0; c < kShapeColumns; ++c) {
                const char ink = s[r * (kShapeColumns + 1) + c];
                if (ink != '#' && ink != '.') {
                    throw "a shape holds something other than '#' and '.'";
                }
                if (ink == '#') {
                    bits |= 3u << (c + 1);
                }
            }
            const auto byte = static_cast<OvUInt8>(bits);
            table[static_cast<std::size_t>(g * ovCHARSETGLYPHBYTES + 2 * r)] = byte;
            table[static_cast<std::size_t>(g * ovCHARSETGLYPHBYTES + 2 * r + 1)] = byte;
        }
    }
    return table;
}

constexpr GlyphTable kGlyphs = BuildGlyphs();

struct CharsetState {
    void* scratchA = nullptr; // kept for the module's lifetime, not used for drawing
    void* scratchB = nullptr;
    OvInt32 state[3] = {0, 0, 0};
};
CharsetState gCharset;

} // namespace

OvBool OvCharsetOpen() {
    OvCharsetClose(); // a second open replaces the buffers of the first
    gCharset.scratchA = OvMalloc(kScratchA, kHint);
    if (gCharset.scratchA == nullptr) {
        return FALSE;
    }
    gCharset.scratchB = OvMalloc(kScratchB, kHint);
    if (gCharset.scratchB == nullptr) {
        OvFree(gCharset.scratchA);
        gCharset.scratchA = nullptr;
        return FALSE;
    }
    gCharset.state[0] = 0;
    gCharset.state[1] = 0;
    gCharset.state[2] = 1;
    return TRUE;
}

void OvCharsetClose() {
    if (gCharset.scratchA != nullptr) {
        OvFree(gCharset.scratchA);
    }
    if (gCharset.scratchB != nullptr) {
        OvFree(gCharset.scratchB);
    }
    gCharset = {};
}

OvRaster* OvCharsetCreate(const OvRGBA* foreground, const OvRGBA* background) {
    if (foreground == nullptr || background == nullptr) {
        OvErrorReport(ovPLUGINIDCHARSET, OvErrorCode(ovERRNULLARGUMENT, "charset colour"));
        return nullptr;
    }
    OvRaster* raster = OvRasterCreate(kSide, kSide, 32, ovRASTERTYPETEXTURE | ovRASTERFORMAT8888);
    if (raster == nullptr) {
        return nullptr;
    }
    OvImage* image = OvImageCreate(kSide, kSide, 8);
    if (image == nullptr || OvImageAllocatePixels(image) == nullptr) {
        if (image != nullptr) {
            OvImageDestroy(image);
        }
        OvRasterDestroy(raster);
        return nullptr;
    }
    std::memset(image->palette, 0, 4 * 256);
    const OvRGBA colours[2] = {*background, *foreground};
    for (int i = 0; i < 2; ++i) {
        image->palette[4 * i + 0] = colours[i].red;
        image->palette[4 * i + 1] = colours[i].green;
        image->palette[4 * i + 2] = colours[i].blue;
        image->palette[4 * i + 3] = colours[i].alpha;
    }
    for (OvInt32 y = 0; y < kSide; ++y) {
        std::memset(image->cpPixels + static_cast<std::ptrdiff_t>(y) * image->stride, 0,
                    static_cast<std::size_t>(kSide));
    }
    for (OvInt32 g = 0; g < kCount; ++g) {
        const OvInt32 left = kCellWidth * (g % kPerRow), top = kCellHeight * (g / kPerRow);
        for (OvInt32 r = 0; r < ovCHARSETGLYPHBYTES; ++r) {
            const OvUInt8 bits = kGlyphs[static_cast<std::size_t>(g * ovCHARSETGLYPHBYTES + r)];
            OvUInt8* row = image->cpPixels + static_cast<std::ptrdiff_t>(top + r) * image->stride + left;
            for (OvInt32 x = 0; x < kGlyphWidth; ++x) {
                row[x] = static_cast<OvUInt8>((bits >> x) & 1u);
            }
        }
    }
    OvRaster* made = OvRasterSetFromImage(raster, image);
    OvImageDestroy(image);
    if (made == nullptr) {
        OvRasterDestroy(raster);
        return nullptr;
    }
    return raster;
}

OvBool OvCharsetDestroy(OvRaster* charset) {
    if (charset == nullptr) {
        OvErrorReport(ovPLUGINIDCHARSET, OvErrorCode(ovERRNULLARGUMENT, "charset raster"));
        return FALSE;
    }
    OvRasterDestroy(charset);
    return TRUE;
}

const OvUInt8* OvCharsetGetMetrics(OvCharsetDesc* desc, OvInt32* size) {
    if (desc != nullptr) {
        *desc = {kGlyphWidth, kGlyphHeight, kCellWidth, kCellHeight, kCount, kPerRow, kRows};
    }
    if (size != nullptr) {
        *size = kSide;
    }
    return kGlyphs.data();
}
