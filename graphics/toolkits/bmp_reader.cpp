#include "graphics/toolkits/bmp_reader.h"

#include <cstring>

#include "graphics/core/engine.h"
#include "graphics/core/error.h"
#include "graphics/core/stream.h"

namespace {

constexpr OvUInt32 kHint = ovMEMHINTDUR_FUNCTION | ovPLUGINIDBMPREADER;
constexpr OvUInt32 kFileHeaderSize = 14;
constexpr OvUInt32 kCoreHeaderSize = 12;
constexpr OvUInt32 kInfoHeaderSize = 40;
constexpr OvUInt32 kMaxHeaderKept = 124; // the largest header version; longer headers are skipped

enum Compression : OvUInt32 { kNone = 0, kRle8 = 1, kRle4 = 2 };

void Report(OvInt32 code) { OvErrorReport(ovPLUGINIDBMPREADER, code); }

OvUInt32 U16(const OvUInt8* p) { return static_cast<OvUInt32>(p[0]) | static_cast<OvUInt32>(p[1]) << 8; }
OvUInt32 U32(const OvUInt8* p) { return U16(p) | U16(p + 2) << 16; }

struct Header {
    OvUInt32 pixelOffset; // file offset of the pixel data
    OvUInt32 headerSize;  // 12 (core) or the info header's size
    OvInt32 width;        // pixels
    OvInt32 height;       // pixels
    OvUInt32 bitCount;    // bits a pixel in the file
    OvUInt32 compression; // Compression
    OvUInt32 usedColours; // palette entries in use, 0 for all
};

// Everything the reader holds, released in one place.
struct Reading {
    OvStream* stream = nullptr;
    OvImage* image = nullptr;
    OvUInt8* row = nullptr;

    ~Reading() {
        if (row != nullptr) {
            OvFree(row);
        }
        if (image != nullptr) {
            OvImageDestroy(image);
        }
        if (stream != nullptr) {
            OvStreamClose(stream, nullptr);
        }
    }
};

bool ReadHeader(OvStream* stream, Header* h) {
    OvUInt8 file[kFileHeaderSize + 4];
    if (OvStreamReadStrict(stream, file, 4) == nullptr || file[0] != 'B' || file[1] != 'M' ||
        OvStreamReadStrict(stream, file + 4, kFileHeaderSize) == nullptr) {
        return false;
    }
    h->pixelOffset = U32(file + 10);
    h->headerSize = U32(file + 14);
    if (h->headerSize < kCoreHeaderSize || h->headerSize > 0x10000) {
        Report(OvErrorCode(ovERRBADFORMAT));
        return false;
    }
    OvUInt8 info[kMaxHeaderKept] = {};
    const OvUInt32 kept = h->headerSize - 4 < kMaxHeaderKept ? h->headerSize - 4 : kMaxHeaderKept;
    if (OvStreamReadStrict(stream, info, kept) == nullptr ||
        (h->headerSize - 4 > kept && OvStreamSkip(stream, h->headerSize - 4 - kept) == nullptr)) {
        return false;
    }
    if (h->headerSize == kCoreHeaderSize) {
        h->width = static_cast<OvInt32>(U16(info));
        h->height = static_cast<OvInt32>(U16(info + 2));
        h->bitCount = U16(info + 6);
        h->compression = kNone;
        h->usedColours = 0;
    } else {
        h->width = static_cast<OvInt32>(U32(info));
        h->height = static_cast<OvInt32>(U32(info + 4));
        h->bitCount = U16(info + 10);
        h->compression = U32(info + 12);
        h->usedColours = U32(info + 28);
    }
    return true;
}

OvInt32 ImageDepth(OvUInt32 bitCount) { return bitCount == 1 || bitCount == 4 ? 4 : bitCount == 8 ? 8 : 32; }

// Bytes of a stored row (15-bit pixels are stored in 16 bits like 16-bit ones).
std::uint64_t StoredRowBytes(OvInt32 width, OvUInt32 bitCount) {
    const std::uint64_t bits = bitCount == 15 ? 16 : bitCount;
    return ((static_cast<std::uint64_t>(width) * bits + 7) / 8 + 3) & ~3ull;
}

void PutColour(OvUInt8* out, OvUInt32 r, OvUInt32 g, OvUInt32 b) {
    out[0] = static_cast<OvUInt8>(r);
    out[1] = static_cast<OvUInt8>(g);
    out[2] = static_cast<OvUInt8>(b);
    out[3] = 255;
}

// One stored row into image row y.
void ConvertRow(const OvUInt8* in, OvUInt32 bitCount, OvImage* image, OvInt32 y) {
    OvUInt8* out = image->cpPixels + static_cast<std::ptrdiff_t>(y) * image->stride;
    const OvInt32 width = image->width;
    switch (bitCount) {
    case 1:
        for (OvInt32 x = 0; x < width; ++x) {
            out[x] = static_cast<OvUInt8>((in[x >> 3] >> (7 - (x & 7))) & 1);
        }
        break;
    case 4:
        for (OvInt32 x = 0; x < width; ++x) {
            out[x] = static_cast<OvUInt8>((x & 1) ? in[x >> 1] & 0x0F : in[x >> 1] >> 4);
        }
        break;
    case 8:
        std::memcpy(out, in, static_cast<std::size_t>(width));
        break;
    case 15:
    case 16:
        for (OvInt32 x = 0; x < width; ++x) {
            const OvUInt32 p = U16(in + 2 * x);
            if (bitCount == 15) {
                PutColour(out + 4 * x, (p >> 7) & 0xF8, (p >> 2) & 0xF8, (p << 3) & 0xFF);
            } else {
                PutColour(out + 4 * x, (p >> 8) & 0xF8, (p >> 3) & 0xFC, (p << 3) & 0xFF);
            }
        }
        break;
    case 24:
        for (OvInt32 x = 0; x < width; ++x) {
            PutColour(out + 4 * x, in[3 * x + 2], in[3 * x + 1], in[3 * x]);
        }
        break;
    default: // 32
        for (OvInt32 x = 0; x < width; ++x) {
            PutColour(out + 4 * x, in[4 * x + 2], in[4 * x + 1], in[4 * x]);
        }
        break;
    }
}

// Rows are read in batches of about kBatchBytes: one stream read per batch, not per row.
constexpr std::size_t kBatchBytes = 64 * 1024;

std::size_t RowsPerBatch(const Header& h) {
    const std::size_t rowBytes = static_cast<std::size_t>(StoredRowBytes(h.width, h.bitCount));
    const std::size_t rows = kBatchBytes / rowBytes;
    return rows < 1 ? 1 : rows > static_cast<std::size_t>(h.height) ? static_cast<std::size_t>(h.height) : rows;
}

bool ReadUncompressed(Reading* r, const Header& h) {
    const auto rowBytes = static_cast<OvUInt32>(StoredRowBytes(h.width, h.bitCount));
    const auto batch = static_cast<OvInt32>(RowsPerBatch(h));
    for (OvInt32 k = 0; k < h.height; k += batch) {
        const OvInt32 rows = h.height - k < batch ? h.height - k : batch;
        if (OvStreamReadStrict(r->stream, r->row, rowBytes * static_cast<OvUInt32>(rows)) == nullptr) {
            return false;
        }
        for (OvInt32 i = 0; i < rows; ++i) {
            ConvertRow(r->row + static_cast<std::size_t>(i) * rowBytes, h.bitCount, r->image, h.height - 1 - (k + i));
        }
    }
    return true;
}

// Bytes of a run-length row as its bit count converts it: one byte a pixel is coded, two are
// read for 15- and 16-bit pixels (the rest stays 0).
std::size_t RleRowBytes(const Header& h) { return static_cast<std::size_t>(h.width) * (h.bitCount > 8 ? 2 : 1); }

// Run-length coded byte rows (one byte a pixel); runs and literals are clipped at the row's end,
// and codes past the last row end the bitmap.
bool ReadRle8(Reading* r, const Header& h) {
    OvInt32 rowIndex = 0;
    OvInt32 x = 0;
    const std::size_t rowBytes = RleRowBytes(h);
    std::memset(r->row, 0, rowBytes);
    while (rowIndex < h.height) {
        OvUInt8 pair[2];
        if (OvStreamReadStrict(r->stream, pair, 2) == nullptr) {
            return false;
        }
        if (pair[0] > 0) {
            for (OvInt32 i = 0; i < pair[0] && x < h.width; ++i) {
                r->row[x++] = pair[1];
            }
            continue;
        }
        if (pair[1] >= 3) {
            OvUInt8 literal[256];
            const OvUInt32 count = pair[1] + (pair[1] & 1u); // padded to a 16-bit boundary
            if (OvStreamReadStrict(r->stream, literal, count) == nullptr) {
                return false;
            }
            for (OvInt32 i = 0; i < pair[1] && x < h.width; ++i) {
                r->row[x++] = literal[i];
            }
            continue;
        }
        if (pair[1] == 2) {
            return false; // delta codes are not supported
        }
        ConvertRow(r->row, h.bitCount, r->image, h.height - 1 - rowIndex);
        if (pair[1] == 1) {
            break;
        }
        rowIndex++;
        x = 0;
        std::memset(r->row, 0, rowBytes);
    }
    return true;
}

} // namespace

OvImage* OvBmpImageRead(const char* imageName) {
    Reading r;
    r.stream = OvStreamOpen(ovSTREAMFILENAME, ovSTREAMREAD, imageName);
    if (r.stream == nullptr) {
        return nullptr;
    }
    Header h = {};
    if (!ReadHeader(r.stream, &h)) {
        return nullptr;
    }
    // 24- and 32-bit pixels are stored whatever the compression word says; other bit counts are
    // stored or run-length coded bytes, converted row by row as their bit count reads them.
    const bool stored = h.compression == kNone || h.bitCount == 24 || h.bitCount == 32;
    if (h.compression == kRle4 || (!stored && h.compression != kRle8)) {
        Report(OvErrorCode(ovERRBADFORMAT));
        return nullptr;
    }
    const OvUInt32 b = h.bitCount;
    if (b != 1 && b != 4 && b != 8 && b != 15 && b != 16 && b != 24 && b != 32) {
        Report(OvErrorCode(ovERRBADDEPTH));
        return nullptr;
    }
    // Top-down (negative height) and empty sizes are refused; the pixels of others are bounded
    // (below) before anything is allocated for them.
    if (h.width <= 0 || h.height <= 0) {
        Report(OvErrorCode(ovERRBADFORMAT));
        return nullptr;
    }
    const OvInt32 depth = ImageDepth(b);
    OvUInt32 paletteEntries = 0;
    OvUInt32 entryBytes = 0;
    if (b <= 8) {
        paletteEntries = h.usedColours >= 1 && h.usedColours <= (1u << b) ? h.usedColours : 1u << b;
        if (h.headerSize == kCoreHeaderSize) {
            entryBytes = 3;
        } else if (h.headerSize == kInfoHeaderSize) {
            entryBytes = 4;
        } else {
            Report(OvErrorCode(ovERRBADFORMAT));
            return nullptr;
        }
    }
    OvUInt8 palette[256 * 4] = {};
    for (OvUInt32 i = 0; i < paletteEntries; ++i) {
        OvUInt8 entry[4];
        if (OvStreamReadStrict(r.stream, entry, entryBytes) == nullptr) {
            return nullptr;
        }
        PutColour(palette + 4 * i, entry[2], entry[1], entry[0]);
    }
    const OvUInt32 position = kFileHeaderSize + h.headerSize + paletteEntries * entryBytes;
    if (h.pixelOffset > position && OvStreamSkip(r.stream, h.pixelOffset - position) == nullptr) {
        return nullptr;
    }
    // The stored pixels must be in the file before anything is allocated for them. Run-length
    // rows are not bounded by the file: codes that end a row or the bitmap early leave the rest
    // of the image empty, so four bytes may make a page of any size. Their image is bounded by
    // what the machine holds (the image module refuses a larger one: no memory).
    if (stored &&
        StoredRowBytes(h.width, b) * static_cast<std::uint64_t>(h.height) > OvStreamGetBytesLeft(r.stream)) {
        OvErrorReport(ovPLUGINIDCORE, OvErrorCode(ovERRENDOFSTREAM));
        return nullptr;
    }
    r.image = OvImageCreate(h.width, h.height, depth);
    if (r.image == nullptr || OvImageAllocatePixels(r.image) == nullptr) {
        Report(OvErrorCode(ovERRNOMEMORY));
        return nullptr;
    }
    std::memset(r.image->cpPixels, 0, static_cast<std::size_t>(r.image->stride) * static_cast<std::size_t>(h.height));
    if (r.image->palette != nullptr) {
        std::memcpy(r.image->palette, palette, static_cast<std::size_t>(4 << depth));
    }
    // One row for run-length rows, a batch of stored rows otherwise.
    const std::size_t rowBufferBytes = !stored ? RleRowBytes(h) + 8
                                               : RowsPerBatch(h) * static_cast<std::size_t>(StoredRowBytes(h.width, b));
    r.row = static_cast<OvUInt8*>(OvMalloc(rowBufferBytes, kHint));
    if (r.row == nullptr) {
        Report(OvErrorCode(ovERRNOMEMORY, rowBufferBytes));
        return nullptr;
    }
    const bool ok = stored ? ReadUncompressed(&r, h) : ReadRle8(&r, h);
    if (!ok) {
        return nullptr;
    }
    OvImage* image = r.image;
    r.image = nullptr;
    return image;
}
