#include "graphics/toolkits/png_reader.h"

#include <png.h>

#include <algorithm>
#include <csetjmp>
#include <cstdint>
#include <cstring>

#include "graphics/core/engine.h"
#include "graphics/core/stream.h"

namespace {

constexpr OvUInt32 kHint = 0x3000D; // object lifetime, the reader's id
// Sides as large as the format allows: the pixels are bounded by the bytes the file holds.
constexpr OvUInt32 kMaxSide = 0x7FFFFFFF;
// Deflate shrinks data at most about 1032 to 1; an image whose filtered rows (what the image data
// inflates to) would need more than this many bytes for each byte left in the file is not what
// the file holds.
constexpr std::uint64_t kMaxExpansion = 1100;

// Everything the reader holds. It lives in the caller's frame and is only reached through a
// pointer, so its fields keep their values across libpng's error jump.
struct Reading {
    OvStream* stream;
    png_structp png;
    png_infop info;
    OvImage* image;
    png_bytep* rows;
};

png_voidp Allocate(png_structp, png_alloc_size_t size) { return OvMalloc(size, kHint); }
void Release(png_structp, png_voidp block) { OvFree(block); }
void Warning(png_structp, png_const_charp) {}
[[noreturn]] void Error(png_structp png, png_const_charp) { png_longjmp(png, 1); }

// Bytes the image data inflates to: each row (of each interlace pass) is a filter byte and the
// pixels packed at the file's own bit depth and channels, before any widening for the image.
std::uint64_t FilteredBytes(png_uint_32 width, png_uint_32 height, int bitDepth, int colourType, bool interlaced) {
    int channels = 1;
    switch (colourType) {
    case PNG_COLOR_TYPE_RGB:
        channels = 3;
        break;
    case PNG_COLOR_TYPE_GRAY_ALPHA:
        channels = 2;
        break;
    case PNG_COLOR_TYPE_RGB_ALPHA:
        channels = 4;
        break;
    default: // gray, palette
        break;
    }
    const std::uint64_t bitsPerPixel = static_cast<std::uint64_t>(channels) * static_cast<std::uint64_t>(bitDepth);
    auto rows = [&](std::uint64_t w, std::uint64_t h) { return w == 0 ? 0 : h * (1 + (w * bitsPerPixel + 7) / 8); };
    if (!interlaced) {
        return rows(width, height);
    }
    std::uint64_t total = 0;
    for (int pass = 0; pass < 7; ++pass) {
        total += rows(PNG_PASS_COLS(width, pass), PNG_PASS_ROWS(height, pass));
    }
    return total;
}

void ReadData(png_structp png, png_bytep data, png_size_t length) {
    auto* stream = static_cast<OvStream*>(png_get_io_ptr(png));
    if (stream == nullptr || length > 0xFFFFFFFFu ||
        OvStreamRead(stream, data, static_cast<OvUInt32>(length)) != length) {
        png_error(png, "short read");
    }
}

// Decodes into r->image; on any libpng error it returns false with r's fields as far as they got.
bool Decode(Reading* r) {
    if (setjmp(png_jmpbuf(r->png))) {
        return false;
    }
    png_set_read_fn(r->png, r->stream, ReadData);
    png_set_user_limits(r->png, kMaxSide, kMaxSide);
    // Only the header, palette, transparency and pixels are used: every other chunk is skipped
    // unread, so none of them is allocated. A chunk longer than the file is an error: libpng
    // reports that limit as a benign error, which its read defaults would let through as a
    // warning.
    png_set_keep_unknown_chunks(r->png, PNG_HANDLE_CHUNK_NEVER, nullptr, -1);
    png_set_benign_errors(r->png, 0);
    const std::uint64_t fileBytes = OvStreamGetBytesLeft(r->stream);
    // (0 would mean no limit at all.)
    png_set_chunk_malloc_max(r->png, static_cast<png_alloc_size_t>(std::max<std::uint64_t>(fileBytes, 1)));
    png_read_info(r->png, r->info);
    png_uint_32 width = 0;
    png_uint_32 height = 0;
    int bitDepth = 0;
    int colourType = 0;
    int interlace = PNG_INTERLACE_NONE;
    png_get_IHDR(r->png, r->info, &width, &height, &bitDepth, &colourType, &interlace, nullptr, nullptr);
    if (FilteredBytes(width, height, bitDepth, colourType, interlace != PNG_INTERLACE_NONE) >
        (static_cast<std::uint64_t>(OvStreamGetBytesLeft(r->stream)) + 1) * kMaxExpansion) {
        return false;
    }
    png_set_strip_16(r->png);
    OvInt32 depth = 32;
    switch (colourType) {
    case PNG_COLOR_TYPE_GRAY:
        // Only the gray levels are widened: a transparent gray would add an alpha byte that an
        // 8-bit image has no room for.
        if (bitDepth < 8) {
            png_set_expand_gray_1_2_4_to_8(r->png);
        }
        depth = 8;
        break;
    case PNG_COLOR_TYPE_RGB:
        png_set_filler(r->png, 0xFF, PNG_FILLER_AFTER);
        break;
    case PNG_COLOR_TYPE_PALETTE:
        if (bitDepth < 8) {
            png_set_packing(r->png);
            depth = 4;
        } else {
            depth = 8;
        }
        break;
    case PNG_COLOR_TYPE_GRAY_ALPHA:
        png_set_gray_to_rgb(r->png);
        break;
    default: // RGBA
        break;
    }
    png_set_interlace_handling(r->png);
    png_read_update_info(r->png, r->info);

    r->image = OvImageCreate(static_cast<OvInt32>(width), static_cast<OvInt32>(height), depth);
    if (r->image == nullptr || OvImageAllocatePixels(r->image) == nullptr) {
        return false;
    }
    // Whatever the transforms, a decoded row must fit an image row.
    if (png_get_rowbytes(r->png, r->info) > static_cast<png_size_t>(r->image->stride)) {
        return false;
    }
    if (r->image->palette != nullptr) {
        const int entries = 1 << depth;
        // A gray ramp over every entry (gray images are widened to 0..255, so all 256 are used).
        for (int i = 0; i < entries; ++i) {
            OvUInt8* e = r->image->palette + 4 * i;
            e[0] = e[1] = e[2] = static_cast<OvUInt8>(i);
            e[3] = 255;
        }
        if (colourType == PNG_COLOR_TYPE_PALETTE) {
            png_colorp colours = nullptr;
            int count = 0;
            if (png_get_valid(r->png, r->info, PNG_INFO_PLTE) && png_get_PLTE(r->png, r->info, &colours, &count)) {
                for (int i = 0; i < count && i < entries; ++i) {
                    OvUInt8* e = r->image->palette + 4 * i;
                    e[0] = colours[i].red;
                    e[1] = colours[i].green;
                    e[2] = colours[i].blue;
                    e[3] = 255;
                }
            }
            png_bytep alphas = nullptr;
            int alphaCount = 0;
            if (png_get_valid(r->png, r->info, PNG_INFO_tRNS) &&
                png_get_tRNS(r->png, r->info, &alphas, &alphaCount, nullptr) && alphas != nullptr) {
                for (int i = 0; i < alphaCount && i < entries; ++i) {
                    r->image->palette[4 * i + 3] = alphas[i];
                }
            }
        }
    }
    r->rows = static_cast<png_bytep*>(OvMalloc(sizeof(png_bytep) * height, kHint));
    if (r->rows == nullptr) {
        return false;
    }
    for (png_uint_32 y = 0; y < height; ++y) {
        r->rows[y] = r->image->cpPixels + static_cast<std::ptrdiff_t>(y) * r->image->stride;
    }
    png_read_image(r->png, r->rows);
    png_read_end(r->png, nullptr);
    return true;
}

} // namespace

OvImage* OvPngImageRead(const char* imageName) {
    Reading r = {};
    r.stream = OvStreamOpen(ovSTREAMFILENAME, ovSTREAMREAD, imageName);
    if (r.stream == nullptr) {
        return nullptr;
    }
    r.png = png_create_read_struct_2(PNG_LIBPNG_VER_STRING, nullptr, Error, Warning, nullptr, Allocate, Release);
    if (r.png != nullptr) {
        r.info = png_create_info_struct(r.png);
    }
    const bool ok = r.info != nullptr && Decode(&r);
    if (r.png != nullptr) {
        png_destroy_read_struct(&r.png, r.info != nullptr ? &r.info : nullptr, nullptr);
    }
    if (r.rows != nullptr) {
        OvFree(r.rows);
    }
    if (!ok && r.image != nullptr) {
        OvImageDestroy(r.image);
        r.image = nullptr;
    }
    OvStreamClose(r.stream, nullptr);
    return r.image;
}
