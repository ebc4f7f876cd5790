// Fonts of the 2D toolkit: the metrics readers (bitmap fonts with explicit rectangles, bitmap
// fonts whose boxes are marked in the page image, outline fonts), glyph lookup, string widths and
// the two renderers.

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "graphics/core/engine.h"
#include "graphics/core/error.h"
#include "graphics/core/file_system.h"
#include "graphics/core/image.h"
#include "graphics/toolkits/toolkit2d.h"
#include "graphics/toolkits/toolkit2d_internal.h"

using namespace toolkit2d;

namespace {

char gReadError[320] = ""; // why the last metrics read failed

// The lines the last metrics read left out, one a line: the first kSkippedSaid, then a count.
constexpr int kSkippedSaid = 5;
char gSkipped[kSkippedSaid * 320 + 96] = "";
int gSkippedCount = 0;

void Say(char* out, std::size_t size, const char* file, OvInt32 line, const char* format, va_list args) {
    char message[192];
    std::vsnprintf(message, sizeof message, format, args);
    if (line > 0) {
        std::snprintf(out, size, "%s:%d: %s", file, line, message);
    } else {
        std::snprintf(out, size, "%s: %s", file, message);
    }
}

void SetReadError(const char* file, OvInt32 line, const char* format, ...) {
    va_list args;
    va_start(args, format);
    Say(gReadError, sizeof gReadError, file, line, format, args);
    va_end(args);
}

// A line left out of the font, with its cause.
void NoteSkipped(const char* file, OvInt32 line, const char* format, ...) {
    if (++gSkippedCount > kSkippedSaid) {
        return;
    }
    char said[320];
    va_list args;
    va_start(args, format);
    Say(said, sizeof said, file, line, format, args);
    va_end(args);
    const std::size_t used = std::strlen(gSkipped);
    std::snprintf(gSkipped + used, sizeof gSkipped - used, "%s\n", said);
}

// Whether a line left out now is one of those said (the rest are only counted).
bool SaidInFull() { return gSkippedCount < kSkippedSaid; }

// A character as the notes name it: 'A', or U+00E9 beyond the printable ASCII ones.
struct CharName {
    char text[12];
    explicit CharName(OvInt32 code) {
        if (code >= 0x20 && code < 0x7F) {
            std::snprintf(text, sizeof text, "'%c'", static_cast<char>(code));
        } else {
            std::snprintf(text, sizeof text, "U+%04X", static_cast<unsigned>(code));
        }
    }
};

// A code and the glyph it names, kept while a font is read for the extended map, with the line
// that gave it.
struct CodeEntry {
    OvInt32 code;
    OvInt32 index;
    OvInt32 line;
};

// The metrics file being read, line by line.
struct Lines {
    OvFile* file;
    const char* name;
    OvInt32 number = 0;
    char text[ov2dMETRICSLINESIZE] = "";

    bool Next() {
        if (OvFSManagerFgets(text, ov2dMETRICSLINESIZE, file) == nullptr) {
            return false;
        }
        ++number;
        return true;
    }
    // The line without its end of line.
    void Chomp() {
        std::size_t n = std::strlen(text);
        while (n > 0 && (text[n - 1] == '\n' || text[n - 1] == '\r')) {
            text[--n] = '\0';
        }
    }
};

// The whitespace-separated whole numbers at the start of a metrics line, read as "%i" reads them
// (base 0: decimal, 0x hex, 0 octal) or as "%d" does (base 10), at most kMost of them.
struct Numbers {
    static constexpr int kMost = 5;
    int count = 0;          // the numbers read
    long value[kMost] = {}; // each within 32 bits
    bool tooLarge = false;  // the next is a number beyond 32 bits: a damaged number
    char next[24] = "";     // the text after them, cut short ("" at the line's end)
};

Numbers ReadNumbers(const char* text, int base) {
    Numbers n;
    const char* p = text;
    while (n.count < Numbers::kMost) {
        char* end = nullptr;
        errno = 0;
        const long v = std::strtol(p, &end, base);
        // A number with more glued to it ("10x") is a damaged field, said whole: it is not counted.
        if (end == p || (*end != '\0' && std::strchr(" \t\r\n", *end) == nullptr)) {
            break;
        }
        if (errno != 0 || v < -0x7FFFFFFFL - 1 || v > 0x7FFFFFFFL) {
            n.tooLarge = true;
            break;
        }
        n.value[n.count++] = v;
        p = end;
    }
    p += std::strspn(p, " \t\r\n");
    std::size_t length = std::strcspn(p, " \t\r\n");
    length = length < sizeof n.next ? length : sizeof n.next - 1;
    std::memcpy(n.next, p, length);
    n.next[length] = '\0';
    return n;
}

// The five numbers of a glyph line, by place.
constexpr const char* kGlyphFields[Numbers::kMost] = {"code", "left edge", "top edge", "right edge", "bottom edge"};

bool ParseFloats(const char* text, float* out, int count) {
    const char* p = text;
    for (int i = 0; i < count; ++i) {
        char* end = nullptr;
        const float v = std::strtof(p, &end);
        if (end == p || !std::isfinite(v)) {
            return false;
        }
        out[i] = v;
        p = end;
    }
    return true;
}

// The baseline line: one number of pixels, read whole (nothing but blanks after it), a row of the
// page's glyph boxes (within the page's height either way). False, with the cause said, for anything
// else: a line of more numbers is a glyph's or a damaged one, and one of a number with more after it
// ("3abc") a damaged one, never taken for the baseline.
bool ReadBaseline(Lines& in, const OvRaster* page, long* baseline) {
    if (!in.Next()) {
        SetReadError(in.name, in.number + 1, "the file ends before the baseline line");
        return false;
    }
    const Numbers n = ReadNumbers(in.text, 10);
    if (n.tooLarge) {
        SetReadError(in.name, in.number, "baseline %s does not fit in 32 bits: the number is damaged", n.next);
        return false;
    }
    if (n.count > 1) {
        SetReadError(in.name, in.number,
                     n.count == Numbers::kMost
                         ? "no baseline line: this line holds the 5 numbers of a glyph where the baseline's one "
                           "number of pixels belongs"
                         : "baseline line holds %d numbers where one number of pixels belongs",
                     n.count);
        return false;
    }
    if (n.next[0] != '\0') {
        const char* text = in.text + std::strspn(in.text, " \t");
        int length = static_cast<int>(std::strlen(text));
        while (length > 0 && std::strchr(" \t\r\n", text[length - 1]) != nullptr) {
            --length;
        }
        SetReadError(in.name, in.number, "baseline line holds '%.*s' where one number of pixels belongs",
                     std::min(length, 40), text);
        return false;
    }
    if (n.count == 0) {
        SetReadError(in.name, in.number, "baseline line wants a number of pixels");
        return false;
    }
    *baseline = n.value[0];
    if (*baseline < -page->height || *baseline > page->height) {
        SetReadError(in.name, in.number, "baseline %ld lies outside the page's %d pixel rows", *baseline, page->height);
        return false;
    }
    return true;
}

// Up to two names of at most 31 characters: the image and the mask. False for a line without
// a name or with one that is too long.
bool ParseImageLine(const char* text, char* image, char* mask) {
    image[0] = mask[0] = '\0';
    char* names[2] = {image, mask};
    const char* p = text;
    for (char* name : names) {
        while (*p == ' ' || *p == '\t' || *p == '\n' || *p == '\r') {
            ++p;
        }
        std::size_t n = 0;
        while (p[n] != '\0' && p[n] != ' ' && p[n] != '\t' && p[n] != '\n' && p[n] != '\r') {
            ++n;
        }
        if (n >= static_cast<std::size_t>(ovTEXTURENAMESIZE)) {
            return false;
        }
        std::memcpy(name, p, n);
        name[n] = '\0';
        p += n;
    }
    return image[0] != '\0';
}

// One UTF-8 character of 1 to 6 bytes from text; its length, or 0 for a bad lead or continuation
// byte (or a character cut short).
int DecodeUtf8(const char* text, OvInt32* code) {
    const auto* s = reinterpret_cast<const unsigned char*>(text);
    const unsigned lead = s[0];
    int length;
    unsigned value;
    if (lead < 0x80) {
        *code = static_cast<OvInt32>(lead);
        return 1;
    } else if ((lead & 0xE0) == 0xC0) {
        length = 2, value = lead & 0x1F;
    } else if ((lead & 0xF0) == 0xE0) {
        length = 3, value = lead & 0x0F;
    } else if ((lead & 0xF8) == 0xF0) {
        length = 4, value = lead & 0x07;
    } else if ((lead & 0xFC) == 0xF8) {
        length = 5, value = lead & 0x03;
    } else if ((lead & 0xFE) == 0xFC) {
        length = 6, value = lead & 0x01;
    } else {
        return 0;
    }
    for (int i = 1; i < length; ++i) {
        if ((s[i] & 0xC0) != 0x80) {
            return 0;
        }
        value = (value << 6) | (s[i] & 0x3F);
    }
    *code = value > 0x7FFFFFFFu ? 0x7FFFFFFF : static_cast<OvInt32>(value);
    return length;
}

// Glyphs as they are read.
struct Builder {
    Ov2dFont* font;
    const char* file;
    OvInt32 directLine[ov2dFONTMAPSIZE] = {}; // the line of each code below 128 given
    OvArray* extended = nullptr;              // CodeEntry of codes >= 128
    OvUInt8* extendedGiven = nullptr;         // a bit for each code >= 128 given

    // The glyph of a code given at a line. A code no text holds (0 ends every text; 0xFFFE and
    // 0xFFFF are no characters) and a code given before are left out, said with the line, an
    // outline glyph's path destroyed: the first glyph given for a code is the one drawn. False,
    // the glyph the caller's, when the font cannot take it.
    bool Add(OvInt32 code, const Ov2dGlyph& glyph, OvInt32 line) {
        const bool noCharacter = code == 0 || code >= 0xFFFE;
        const OvInt32 first = noCharacter ? 0 : FirstLine(code);
        if (first < 0) {
            return false;
        }
        if (noCharacter || first > 0) {
            if (first > 0) {
                NoteSkipped(file, line, "glyph code %d (%s) is given already at line %d; this glyph is left out", code,
                            CharName(code).text, first);
            } else if (code == 0) {
                NoteSkipped(file, line, "glyph code 0 ends every text, it is never drawn; the glyph is left out");
            } else {
                NoteSkipped(file, line, "glyph code %d is no character, no text holds it; the glyph is left out", code);
            }
            if (glyph.path != nullptr) {
                Ov2dPathDestroy(glyph.path);
            }
            return true;
        }
        if (font->numGlyphs >= ov2dMAXGLYPHS) {
            return false;
        }
        auto* g = static_cast<Ov2dGlyph*>(OvArrayAddEntry(font->glyphs, kHintFont));
        if (g == nullptr) {
            return false;
        }
        *g = glyph;
        const OvInt32 index = font->numGlyphs++;
        if (code < ov2dFONTMAPSIZE) {
            font->map[code] = static_cast<OvInt16>(index);
            directLine[code] = line;
            return true;
        }
        font->flags |= ov2dFONTFLAG16BIT;
        if (extended == nullptr && (extended = OvArrayCreate(sizeof(CodeEntry), kHintFont)) == nullptr) {
            return false;
        }
        auto* e = static_cast<CodeEntry*>(OvArrayAddEntry(extended, kHintFont));
        if (e == nullptr) {
            return false;
        }
        *e = {code, index, line};
        extendedGiven[code / 8] = static_cast<OvUInt8>(extendedGiven[code / 8] | 1u << (code % 8));
        return true;
    }

    // The line that gave the code its glyph: 0 when none did, -1 without memory. Past the notes
    // said in full, any line above 0 will do.
    OvInt32 FirstLine(OvInt32 code) {
        if (code < ov2dFONTMAPSIZE) {
            return font->map[code] >= 0 ? directLine[code] : 0;
        }
        if (extendedGiven == nullptr) {
            extendedGiven = static_cast<OvUInt8*>(OvMalloc((ov2dMAXCODE + 1) / 8, kHintFont));
            if (extendedGiven == nullptr) {
                return -1;
            }
            std::memset(extendedGiven, 0, (ov2dMAXCODE + 1) / 8);
        }
        if ((extendedGiven[code / 8] & 1u << (code % 8)) == 0) {
            return 0;
        }
        const auto* e = static_cast<const CodeEntry*>(extended->data);
        for (OvInt32 i = 0; SaidInFull() && i < extended->numEntries; ++i) {
            if (e[i].code == code) {
                return e[i].line;
            }
        }
        return 1;
    }

    // Builds the extended map over the smallest to the largest extended code.
    bool Finish() {
        if (extended == nullptr || extended->numEntries == 0) {
            return true;
        }
        const auto* e = static_cast<const CodeEntry*>(extended->data);
        OvInt32 low = e[0].code, high = e[0].code;
        for (OvInt32 i = 1; i < extended->numEntries; ++i) {
            low = e[i].code < low ? e[i].code : low;
            high = e[i].code > high ? e[i].code : high;
        }
        const OvInt32 count = high - low + 1;
        auto* map = static_cast<OvInt16*>(OvMalloc(sizeof(OvInt16) * static_cast<std::size_t>(count), kHintFont));
        if (map == nullptr) {
            return false;
        }
        for (OvInt32 i = 0; i < count; ++i) {
            map[i] = -1;
        }
        for (OvInt32 i = 0; i < extended->numEntries; ++i) {
            map[e[i].code - low] = static_cast<OvInt16>(e[i].index);
        }
        OvFree(font->extMap);
        font->extMap = map;
        font->extFirst = low;
        font->extCount = count;
        return true;
    }

    ~Builder() {
        if (extended != nullptr) {
            OvArrayDestroy(extended);
        }
        OvFree(extendedGiven);
    }
};

// Reads a page texture into the font dictionary, the image path set to the font path for the
// read. With no mask named and impliedMask set (explicit-rectangle fonts), "m" and the image name
// is the mask when such a file is along the font path; a marked page named alone has no mask.
OvTexture* ReadPage(const char* image, const char* mask, bool impliedMask) {
    const char* held = OvImageGetPath();
    char* saved = nullptr;
    if (held != nullptr) {
        const std::size_t n = std::strlen(held) + 1;
        saved = static_cast<char*>(OvMalloc(n, kHintFont));
        if (saved == nullptr) {
            return nullptr;
        }
        std::memcpy(saved, held, n);
    }
    OvTexDictionary* current = OvTexDictionaryGetCurrent();
    OvTexDictionarySetCurrent(Get().texDict);
    OvImageSetPath(Get().fontPath);
    char implied[ovTEXTURENAMESIZE + 1] = "";
    if (mask[0] == '\0' && impliedMask) {
        std::snprintf(implied, sizeof implied, "m%s", image);
        if (!OvImageFileExists(implied)) {
            implied[0] = '\0';
        }
        mask = implied;
    }
    OvTexture* texture = OvTextureRead(image, mask[0] != '\0' ? mask : nullptr);
    OvImageSetPath(saved != nullptr ? saved : "");
    OvTexDictionarySetCurrent(current);
    OvFree(saved);
    return texture;
}

bool ReadMetrics1(Lines& in, Ov2dFont* font) {
    Builder b{font, in.name};
    char image[ovTEXTURENAMESIZE], mask[ovTEXTURENAMESIZE];
    if (!in.Next() || !ParseImageLine(in.text, image, mask)) {
        SetReadError(in.name, in.number, "image line wants an image name and an optional mask name");
        return false;
    }
    font->type = ov2dFONTBITMAP;
    font->pages[0] = ReadPage(image, mask, true);
    if (font->pages[0] == nullptr || font->pages[0]->raster == nullptr) {
        SetReadError(in.name, in.number, "cannot read the texture %s", image);
        return false;
    }
    const float width = static_cast<float>(font->pages[0]->raster->width);
    const float height = static_cast<float>(font->pages[0]->raster->height);
    long baseline;
    if (!ReadBaseline(in, font->pages[0]->raster, &baseline)) {
        return false;
    }
    long last = 0;
    while (in.Next()) {
        const Numbers n = ReadNumbers(in.text, 0);
        if (n.tooLarge) {
            SetReadError(in.name, in.number, "glyph %s %s does not fit in 32 bits: the number is damaged",
                         kGlyphFields[n.count], n.next);
            return false;
        }
        if (n.count < Numbers::kMost) {
            // Not a glyph line (a blank one says nothing): left out, its character not drawn.
            if (n.count > 0 || n.next[0] != '\0') {
                NoteSkipped(in.name, in.number,
                            n.next[0] == '\0'
                                ? "not a glyph: the line ends before its %s; it is left out, its character not drawn"
                                : "not a glyph: its %s '%s' is not a number; it is left out, its character not drawn",
                            kGlyphFields[n.count], n.next);
            }
            continue;
        }
        const long code = n.value[0], left = n.value[1], top = n.value[2], right = n.value[3], bottom = n.value[4];
        if (code < 0 || code > ov2dMAXCODE) {
            SetReadError(in.name, in.number, "glyph code %ld out of range 0..65535", code);
            return false;
        }
        if (bottom <= top || right < left) {
            SetReadError(in.name, in.number, "glyph rectangle has no height or a negative width");
            return false;
        }
        // Within the page: a rectangle beyond it would sample other glyphs or nothing, and its
        // size would set the glyph's advance and the font's height.
        const OvRaster* page = font->pages[0]->raster;
        if (left < 0 || top < 0 || right > page->width || bottom > page->height) {
            SetReadError(in.name, in.number, "glyph rectangle %ld %ld %ld %ld lies outside the page's %d x %d pixels",
                         left, top, right, bottom, page->width, page->height);
            return false;
        }
        if (right == left) {
            // Drawn as nothing, taking no room.
            NoteSkipped(in.name, in.number,
                        "glyph rectangle %ld %ld %ld %ld has no width; it is left out, its character not drawn", left,
                        top, right, bottom);
            continue;
        }
        Ov2dGlyph g = {};
        g.advance = static_cast<float>(right - left) / static_cast<float>(bottom - top);
        g.texture = font->pages[0];
        g.u0 = (static_cast<float>(left) + 0.5f) / width;
        g.v0 = (static_cast<float>(top) + 0.5f) / height;
        g.u1 = (static_cast<float>(right) + 0.5f) / width;
        g.v1 = (static_cast<float>(bottom) + 0.5f) / height;
        const OvInt32 before = font->numGlyphs;
        if (!b.Add(static_cast<OvInt32>(code), g, in.number)) {
            SetReadError(in.name, in.number, "too many glyphs or no memory");
            return false;
        }
        last = font->numGlyphs > before ? bottom - top : last; // a glyph left out sets nothing
    }
    if (font->numGlyphs == 0) {
        SetReadError(in.name, 0, "no glyph lines");
        return false;
    }
    font->height = static_cast<float>(last);
    font->baseline = static_cast<float>(baseline) / font->height;
    font->extraAdvance = 0.0f;
    return b.Finish();
}

// The characters of a marked page, taken one at a time from the lines after its baseline.
struct CharSource {
    Lines& in;
    const char* at = "";

    // 1 with a code, 0 at the end of the file, -1 for bad UTF-8.
    int Next(OvInt32* code) {
        while (*at == '\0') {
            if (!in.Next()) {
                return 0;
            }
            in.Chomp();
            at = in.text;
        }
        const int n = DecodeUtf8(at, code);
        if (n == 0) {
            return -1;
        }
        at += n;
        return 1;
    }
};

bool ReadMetrics2(Lines& in, Ov2dFont* font) {
    Builder b{font, in.name};
    font->type = ov2dFONTBITMAP;
    OvInt32 pages = 0;
    while (pages < ov2dFONTPAGES && in.Next()) {
        char image[ovTEXTURENAMESIZE], mask[ovTEXTURENAMESIZE];
        if (!ParseImageLine(in.text, image, mask)) {
            SetReadError(in.name, in.number, "image line wants an image name and an optional mask name");
            return false;
        }
        OvTexture* page = ReadPage(image, mask, false);
        if (page == nullptr || page->raster == nullptr) {
            if (page != nullptr) {
                OvTextureDestroy(page);
            }
            SetReadError(in.name, in.number, "cannot read the texture %s", image);
            return false;
        }
        font->pages[pages] = page;
        long baseline;
        if (!ReadBaseline(in, page->raster, &baseline)) {
            return false;
        }
        OvImage* scan = OvImageCreate(page->raster->width, page->raster->height, 32);
        if (scan == nullptr || OvImageAllocatePixels(scan) == nullptr ||
            OvImageSetFromRaster(scan, page->raster) == nullptr) {
            if (scan != nullptr) {
                OvImageDestroy(scan);
            }
            SetReadError(in.name, in.number, "cannot scan the texture %s", image);
            return false;
        }
        const OvInt32 width = scan->width, height = scan->height;
        auto pixel = [scan](OvInt32 x, OvInt32 y) {
            OvUInt32 p;
            std::memcpy(&p, scan->cpPixels + static_cast<std::ptrdiff_t>(y) * scan->stride + 4 * x, 4);
            return p;
        };
        const OvUInt32 separator = pixel(0, 0);
        OvInt32 h = 1;
        while (h < height && pixel(0, h) != separator) {
            ++h;
        }
        if (h >= height) {
            h = height; // a single band
        }
        if (h <= 3) {
            OvImageDestroy(scan);
            SetReadError(in.name, in.number, "page %s: bands of %d rows are too small for glyphs", image, h);
            return false;
        }
        CharSource chars{in};
        bool more = true;
        for (OvInt32 top = 0; more && top + h <= height; top += h) {
            OvInt32 previous = 0;
            for (OvInt32 x = 1; more && x < width; ++x) {
                if (pixel(x, top) != separator) {
                    continue;
                }
                if (x - previous > 1) {
                    OvInt32 code = 0;
                    const int got = chars.Next(&code);
                    if (got < 0 || (got > 0 && (code < 0 || code > ov2dMAXCODE))) {
                        OvImageDestroy(scan);
                        SetReadError(in.name, in.number, "bad UTF-8 or a character beyond 0xFFFF");
                        return false;
                    }
                    if (got == 0) {
                        more = false; // the text ran out before the boxes
                        break;
                    }
                    if (x - previous <= 3) {
                        // The separators and the box's two columns of margin leave no pixel.
                        NoteSkipped(in.name, in.number,
                                    "the box of %s from column %d to %d leaves no pixel for its glyph; it is left out, "
                                    "its character not drawn",
                                    CharName(code).text, previous, x);
                        previous = x;
                        continue;
                    }
                    Ov2dGlyph g = {};
                    g.texture = page;
                    g.page = static_cast<OvUInt8>(pages);
                    g.u0 = (static_cast<float>(previous) + 2.5f) / static_cast<float>(width);
                    g.v0 = (static_cast<float>(top) + 2.5f) / static_cast<float>(height);
                    g.u1 = (static_cast<float>(x) - 0.5f) / static_cast<float>(width);
                    g.v1 = (static_cast<float>(top + h) - 0.5f) / static_cast<float>(height);
                    g.advance = static_cast<float>(x - previous - 3) / static_cast<float>(h - 3);
                    if (!b.Add(code, g, in.number)) {
                        OvImageDestroy(scan);
                        SetReadError(in.name, in.number, "too many glyphs or no memory");
                        return false;
                    }
                }
                previous = x;
            }
        }
        OvImageDestroy(scan);
        if (more && *chars.at != '\0') {
            // The next line names the next page: the rest of this one has no boxes.
            OvInt32 code = static_cast<unsigned char>(*chars.at);
            DecodeUtf8(chars.at, &code);
            NoteSkipped(in.name, in.number,
                        "the characters from %s on have no box on the page; they are left out, not drawn",
                        CharName(code).text);
        }
        font->height = static_cast<float>(h - 3);
        font->baseline = static_cast<float>(baseline) / font->height;
        font->extraAdvance = 0.0f;
        ++pages;
    }
    if (pages == 0) {
        SetReadError(in.name, in.number, "no page");
        return false;
    }
    return b.Finish();
}

// A glyph's path without its sub-paths of a lone moveto, compacted; null when memory runs out.
Ov2dPath* FinishGlyphPath(Ov2dPath* path) {
    Ov2dPath *head = nullptr, *tail = nullptr;
    for (Ov2dPath* sub = path; sub != nullptr;) {
        Ov2dPath* next = sub->next;
        sub->next = nullptr;
        OvInt32 n;
        const Ov2dSegment* s = Ov2dPathGetSegments(sub, &n);
        if (n == 0 || (n == 1 && s[0].type == ov2dMOVETO)) {
            Ov2dPathDestroy(sub);
        } else {
            if (tail != nullptr) {
                tail->next = sub;
            } else {
                head = sub;
            }
            tail = sub;
        }
        sub = next;
    }
    if (head == nullptr && (head = Ov2dPathCreate()) == nullptr) {
        return nullptr;
    }
    return Ov2dPathCompact(head);
}

bool ReadMetrics3(Lines& in, Ov2dFont* font) {
    Builder b{font, in.name};
    font->type = ov2dFONTOUTLINE;
    font->height = 1.0f;
    font->baseline = 0.0f;
    if (!in.Next()) {
        return true; // no title: an empty font
    }
    OvInt32 code = -1;        // code of the glyph being read
    OvInt32 codeLine = 0;     // the line that gave it
    Ov2dPath* path = nullptr; // its path between begin and end
    OvInt32 pathLine = 0;     // the line of its begin
    float advance = 0.0f;
    bool ok = true;
    while (ok && in.Next()) {
        in.Chomp();
        const char* t = in.text;
        OvInt32 c;
        float v[6];
        const bool keyword = std::strcmp(t, "begin") == 0 || std::strcmp(t, "end") == 0 ||
                             std::strcmp(t, "closepath") == 0 || std::strncmp(t, "moveto", 6) == 0 ||
                             std::strncmp(t, "lineto", 6) == 0 || std::strncmp(t, "curveto", 7) == 0;
        if (!keyword && t[0] != '\0' && t[1] != '\0') {
            // Any byte, then one character: the next glyph's code.
            const int n = DecodeUtf8(t + 1, &c);
            if (n == 0 || (t[1 + n] == '\0' && c > ov2dMAXCODE)) {
                SetReadError(in.name, in.number, "bad UTF-8 or a character beyond 0xFFFF");
                ok = false;
                break;
            }
            if (t[1 + n] == '\0') {
                if (code >= 0) {
                    NoteSkipped(in.name, codeLine, "glyph code %d (%s) has no 'end' before line %d gives the next "
                                "character; it is left out", code, CharName(code).text, in.number);
                }
                code = c;
                codeLine = in.number;
            }
        } else if (std::strcmp(t, "begin") == 0) {
            if (path != nullptr) {
                NoteSkipped(in.name, pathLine, "the glyph begun here has no 'end' before line %d's 'begin'; it is left out",
                            in.number);
                Ov2dPathDestroy(path);
            }
            pathLine = in.number;
            advance = 0.0f;
            if ((path = Ov2dPathCreate()) == nullptr) {
                ok = false;
            }
        } else if (path == nullptr) {
            continue; // drawing outside a glyph
        } else if (std::strncmp(t, "moveto", 6) == 0 && ParseFloats(t + 6, v, 2)) {
            ok = Ov2dPathMoveto(path, v[0], v[1]) != nullptr;
            advance = v[0];
        } else if (std::strncmp(t, "lineto", 6) == 0 && ParseFloats(t + 6, v, 2)) {
            ok = Ov2dPathLineto(path, v[0], v[1]) != nullptr;
            advance = v[0];
        } else if (std::strncmp(t, "curveto", 7) == 0 && ParseFloats(t + 7, v, 6)) {
            ok = Ov2dPathCurveto(path, v[0], v[1], v[2], v[3], v[4], v[5]) != nullptr;
            advance = v[0];
        } else if (std::strcmp(t, "closepath") == 0) {
            ok = Ov2dPathClosepath(path) != nullptr;
        } else if (std::strcmp(t, "end") == 0) {
            Ov2dPath* done = FinishGlyphPath(path);
            path = nullptr;
            if (done == nullptr) {
                ok = false;
            } else if (code < 0) {
                NoteSkipped(in.name, pathLine, "the glyph begun here has no character line before it; it is left out");
                Ov2dPathDestroy(done);
            } else {
                Ov2dGlyph g = {};
                g.advance = advance;
                g.path = done;
                if (!b.Add(code, g, codeLine)) {
                    Ov2dPathDestroy(done);
                    ok = false;
                }
            }
            code = -1;
        }
        if (!ok && gReadError[0] == '\0') {
            SetReadError(in.name, in.number, "too many glyphs or no memory");
        }
    }
    if (path != nullptr) {
        if (ok) {
            NoteSkipped(in.name, pathLine, "the file ends inside the glyph begun here, before its 'end'; it is left out");
        }
        Ov2dPathDestroy(path);
    } else if (ok && code >= 0) {
        NoteSkipped(in.name, codeLine, "the file ends before glyph code %d (%s) has its 'end'; it is left out",
                    code, CharName(code).text);
    }
    return ok && b.Finish();
}

// Next character code of a string (8-bit, or 16-bit little-endian for a 16-bit font); -1 at
// its end, the zero character (a 16-bit one is two zero bytes: U+0100 and every code whose low
// byte is zero are characters like the others).
OvInt32 NextCode(const Ov2dFont* font, const char*& p) {
    const auto* s = reinterpret_cast<const unsigned char*>(p);
    if (font->flags & ov2dFONTFLAG16BIT) {
        const OvInt32 code = s[0] | s[1] << 8;
        if (code == 0) {
            return -1;
        }
        p += 2;
        return code;
    }
    if (s[0] == 0) {
        return -1;
    }
    ++p;
    return s[0];
}

// Next glyph of a string, passing over characters without one; null at its end.
const Ov2dGlyph* NextGlyph(const Ov2dFont* font, const char*& p) {
    for (;;) {
        const OvInt32 code = NextCode(font, p);
        if (code < 0) {
            return nullptr;
        }
        if (const Ov2dGlyph* g = Ov2dFontGetGlyph(font, code)) {
            return g;
        }
    }
}

// The transforms that put the glyphs of a string at the anchor, one height high.
bool PushStringTransform(const Ov2dFont* font, float height, const OvV2d* anchor) {
    if (!Ov2dCTMPush()) {
        return false;
    }
    Ov2dCTMTranslate(anchor->x, anchor->y);
    Ov2dCTMScale(height, height);
    Ov2dCTMTranslate(0.0f, -font->baseline);
    return true;
}

struct QuadBatch {
    OvInt32 quads = 0;
    const OvTexture* texture = nullptr;
    const OvMatrix* matrix;

    void Flush() {
        State& s = Get();
        if (quads == 0) {
            return;
        }
        SetTexture(texture, false);
        if (OvIm3DTransform(s.vertices, static_cast<OvUInt32>(4 * quads), matrix, ovIM3D_VERTEXUV) != nullptr) {
            OvIm3DRenderIndexedPrimitive(ovPRIMTYPETRILIST, s.quads, 6 * quads);
            OvIm3DEnd();
        }
        quads = 0;
    }
};

Ov2dFont* ShowBitmap(Ov2dFont* font, const char* string, float height, const OvV2d* anchor, Ov2dBrush* brush) {
    State& s = Get();
    const float width = Ov2dFontGetStringWidth(font, string, 1.0f);
    if (!PushStringTransform(font, height, anchor)) {
        return nullptr;
    }
    OvMatrix matrix;
    DrawMatrix(&matrix);
    QuadBatch batch{0, nullptr, &matrix};
    const bool colours = (brush->flags & ov2dBRUSHCOLOURSVARY) != 0;
    const float depth = s.layerDepth;
    float pen = 0.0f;
    const char* p = string;
    while (const Ov2dGlyph* g = NextGlyph(font, p)) {
        if (batch.quads > 0 && g->texture != batch.texture) {
            batch.Flush();
        }
        batch.texture = g->texture;
        const float x0 = pen, x1 = pen + g->advance;
        OvIm3DVertex* v = s.vertices + 4 * batch.quads;
        v[0] = {{x0, 1.0f, depth}, {0.0f, 0.0f, -1.0f}, 0, g->u0, g->v0}; // top left
        v[1] = {{x1, 1.0f, depth}, {0.0f, 0.0f, -1.0f}, 0, g->u1, g->v0}; // top right
        v[2] = {{x0, 0.0f, depth}, {0.0f, 0.0f, -1.0f}, 0, g->u0, g->v1}; // bottom left
        v[3] = {{x1, 0.0f, depth}, {0.0f, 0.0f, -1.0f}, 0, g->u1, g->v1}; // bottom right
        if (colours && width > 0.0f) {
            v[0].color = Blend(brush->colourA, brush->colourADelta, x0 / width);
            v[1].color = Blend(brush->colourA, brush->colourADelta, x1 / width);
            v[2].color = Blend(brush->colourB, brush->colourBDelta, x0 / width);
            v[3].color = Blend(brush->colourB, brush->colourBDelta, x1 / width);
        } else {
            v[0].color = v[1].color = v[2].color = v[3].color = brush->packed;
        }
        pen = x1 + font->extraAdvance;
        if (6 * ++batch.quads > ov2dQUADINDEXFLUSH) {
            batch.Flush();
        }
    }
    batch.Flush();
    Ov2dCTMPop();
    return font;
}

Ov2dFont* ShowOutline(Ov2dFont* font, const char* string, float height, const OvV2d* anchor, Ov2dBrush* brush) {
    if (!PushStringTransform(font, height, anchor)) {
        return nullptr;
    }
    const char* p = string;
    while (const Ov2dGlyph* g = NextGlyph(font, p)) {
        Ov2dPathStroke(g->path, brush);
        Ov2dCTMTranslate(g->advance + font->extraAdvance, 0.0f);
    }
    Ov2dCTMPop();
    return font;
}

} // namespace

const char* Ov2dFontSetPath(const char* path) {
    if (path == nullptr) {
        return nullptr;
    }
    State& s = Get();
    const std::size_t n = std::strlen(path) + 1;
    auto* buffer = static_cast<char*>(OvRealloc(s.fontPath, n, kHintFontPath));
    if (buffer == nullptr) {
        OvErrorReport(ovPLUGINID2D, OvErrorCode(ovERRNOMEMORY, n));
        return nullptr;
    }
    std::memcpy(buffer, path, n);
    s.fontPath = buffer;
    return path;
}

const char* Ov2dFontGetPath() { return Get().fontPath; }

Ov2dFontReadFn Ov2dFontSetReadHook(Ov2dFontReadFn hook) {
    Get().readHook = hook != nullptr ? hook : Ov2dFontReadMetrics;
    return Get().readHook;
}

Ov2dFont* Ov2dFontRead(const char* name) {
    Ov2dFontReadFn hook = Get().readHook != nullptr ? Get().readHook : Ov2dFontReadMetrics;
    return hook(name);
}

const char* Ov2dFontGetReadError() { return gReadError; }

const char* Ov2dFontGetSkippedLines() { return gSkipped; }

Ov2dFont* Ov2dFontReadMetrics(const char* name) {
    State& s = Get();
    gReadError[0] = '\0';
    gSkipped[0] = '\0';
    gSkippedCount = 0;
    if (name == nullptr || s.fontPath == nullptr) {
        return nullptr;
    }
    const char* path = s.fontPath;
    for (;;) {
        const char* end = std::strchr(path, ';');
        const std::size_t dirLength = end != nullptr ? static_cast<std::size_t>(end - path) : std::strlen(path);
        char dir[ov2dMETRICSLINESIZE];
        char file[ov2dMETRICSLINESIZE * 2];
        if (dirLength < sizeof dir) {
            std::memcpy(dir, path, dirLength);
            dir[dirLength] = '\0';
            std::snprintf(file, sizeof file, "%s%s.met", dir, name);
            if (OvFile* f = OvFSManagerFopen(file, "r")) {
                Lines in{f, file};
                Ov2dFont* font = Ov2dFontCreate();
                bool ok = font != nullptr && in.Next();
                if (ok && std::strcmp(in.text, "METRICS1\n") == 0) {
                    ok = ReadMetrics1(in, font);
                } else if (ok && std::strcmp(in.text, "METRICS2\n") == 0) {
                    ok = ReadMetrics2(in, font);
                } else if (ok && std::strcmp(in.text, "METRICS3\n") == 0) {
                    ok = ReadMetrics3(in, font);
                } else if (font != nullptr) {
                    SetReadError(file, 1, "unknown format (METRICS1, METRICS2 or METRICS3 expected)");
                    ok = false;
                }
                OvFSManagerFclose(f);
                if (gSkippedCount > kSkippedSaid) {
                    const std::size_t used = std::strlen(gSkipped);
                    std::snprintf(gSkipped + used, sizeof gSkipped - used,
                                  "%s: %d more lines are left out of the font\n", file, gSkippedCount - kSkippedSaid);
                }
                if (!ok) {
                    if (font != nullptr) {
                        Ov2dFontDestroy(font);
                    }
                    OvErrorReport(ovPLUGINID2D, OvErrorCode(ovERRREAD, gReadError));
                    return nullptr;
                }
                font->show = font->type == ov2dFONTOUTLINE ? ShowOutline : ShowBitmap;
                return font;
            }
        }
        if (end == nullptr) {
            break;
        }
        path = end + 1;
    }
    std::snprintf(gReadError, sizeof gReadError, "%s.met: not found along the font path \"%s\"", name, s.fontPath);
    OvErrorReport(ovPLUGINID2D, OvErrorCode(ovERRFILEOPEN, gReadError));
    return nullptr;
}

Ov2dFont* Ov2dFontCreate() {
    State& s = Get();
    auto* font = static_cast<Ov2dFont*>(OvFreeListEntryAlloc(s.fontList, kHintFont));
    if (font == nullptr) {
        OvErrorReport(ovPLUGINID2D, OvErrorCode(ovERRNOMEMORY, sizeof(Ov2dFont)));
        return nullptr;
    }
    *font = {};
    font->type = ov2dFONTOUTLINE;
    font->height = 1.0f;
    for (OvInt16& m : font->map) {
        m = -1;
    }
    font->glyphs = OvArrayCreate(sizeof(Ov2dGlyph), kHintFont);
    if (font->glyphs == nullptr) {
        OvFreeListEntryFree(s.fontList, font);
        return nullptr;
    }
    font->show = ShowOutline;
    return font;
}

OvBool Ov2dFontDestroy(Ov2dFont* font) {
    if (font == nullptr) {
        return FALSE;
    }
    auto* g = static_cast<Ov2dGlyph*>(font->glyphs->data);
    for (OvInt32 i = 0; i < font->numGlyphs; ++i) {
        if (g[i].path != nullptr) {
            Ov2dPathDestroy(g[i].path);
        }
    }
    OvArrayDestroy(font->glyphs);
    OvFree(font->extMap);
    for (OvTexture* page : font->pages) {
        if (page != nullptr) {
            OvTextureDestroy(page);
        }
    }
    OvFreeListEntryFree(Get().fontList, font);
    return TRUE;
}

const Ov2dGlyph* Ov2dFontGetGlyph(const Ov2dFont* font, OvInt32 code) {
    OvInt32 index = -1;
    if (code >= 0 && code < ov2dFONTMAPSIZE) {
        index = font->map[code];
    } else if (font->extMap != nullptr && code >= font->extFirst && code - font->extFirst < font->extCount) {
        index = font->extMap[code - font->extFirst];
    }
    if (index < 0 || index >= font->numGlyphs) {
        return nullptr;
    }
    return static_cast<const Ov2dGlyph*>(font->glyphs->data) + index;
}

Ov2dFont* Ov2dFontShow(Ov2dFont* font, const char* string, float height, const OvV2d* anchor, Ov2dBrush* brush) {
    if (font == nullptr || string == nullptr || anchor == nullptr || brush == nullptr || font->show == nullptr) {
        return nullptr;
    }
    return font->show(font, string, height, anchor, brush);
}

float Ov2dFontGetStringWidth(Ov2dFont* font, const char* string, float height) {
    if (font == nullptr || string == nullptr) {
        return 0.0f;
    }
    float width = 0.0f;
    const char* p = string;
    while (const Ov2dGlyph* g = NextGlyph(font, p)) {
        width += g->advance + font->extraAdvance;
    }
    return width * height;
}

OvTexDictionary* Ov2dFontGetTexDictionary() { return Get().texDict; }
