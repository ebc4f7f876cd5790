#include "graphics/core/chunk.h"

#include <bit>
#include <cstring>

#include "graphics/core/engine.h"
#include "graphics/core/error.h"
#include "graphics/core/stream.h"

// Stream bodies hold values as they lie in memory on a little-endian machine; this file is
// the one place where a byte-order conversion would go.
static_assert(std::endian::native == std::endian::little, "chunk values are little-endian");

namespace {

constexpr OvUInt32 kStringHint = ovMEMHINTDUR_OBJECT | 0x02;
constexpr OvUInt32 kStagingBytes = 256;
constexpr OvUInt32 kStringPiece = 64;
constexpr OvUInt32 kWidePiece = 128;

// Where the characters of a string body go: the caller's buffer, or a block that grows as
// characters arrive (so a corrupt length never allocates more than the input holds).
struct StringSink {
    char* text;        // destination
    OvUInt32 capacity; // bytes text holds (0: the caller's buffer, unbounded)
    OvUInt32 count;    // characters stored
    bool owned;        // text was allocated here

    bool Put(const char* chars, OvUInt32 n) {
        if (owned && count + n + 1 > capacity) {
            std::uint64_t grown = capacity * 2ull;
            if (grown < count + n + 1ull) {
                grown = count + n + 1ull;
            }
            void* block =
                grown > 0xFFFFFFFFull ? nullptr : OvRealloc(text, static_cast<std::size_t>(grown), kStringHint);
            if (block == nullptr) {
                OvErrorReport(ovPLUGINIDCORE, OvErrorCode(ovERRNOMEMORY, static_cast<std::size_t>(grown)));
                return false;
            }
            text = static_cast<char*>(block);
            capacity = static_cast<OvUInt32>(grown);
        }
        std::memcpy(text + count, chars, n);
        count += n;
        return true;
    }
};

// Reads a string body of length bytes; a wide body keeps the low byte of each 16-bit
// character (an odd last byte is read and dropped). A character whose low byte alone is zero
// (U+0100, U+0400, ...) is kept as '?' rather than ending the string there.
bool ReadBody(OvStream* stream, OvUInt32 length, bool wide, StringSink* sink) {
    OvUInt8 piece[kWidePiece];
    const OvUInt32 pieceBytes = wide ? kWidePiece : kStringPiece;
    for (OvUInt32 done = 0; done < length;) {
        const OvUInt32 n = length - done < pieceBytes ? length - done : pieceBytes;
        if (OvStreamReadStrict(stream, piece, n) == nullptr) {
            return false;
        }
        if (wide) {
            char narrow[kWidePiece / 2];
            OvUInt32 chars = 0;
            for (OvUInt32 i = 0; i + 1 < n; i += 2) {
                narrow[chars++] = piece[i] != 0 || piece[i + 1] == 0 ? static_cast<char>(piece[i]) : '?';
            }
            if (!sink->Put(narrow, chars)) {
                return false;
            }
        } else if (!sink->Put(reinterpret_cast<const char*>(piece), n)) {
            return false;
        }
        done += n;
    }
    return true;
}

// capacity 0 with a buffer: the caller's buffer holds the whole body.
char* ReadString(char* buffer, OvUInt32 capacity, OvStream* stream) {
    for (;;) {
        OvUInt32 type = 0;
        OvUInt32 length = 0;
        OvUInt32 version = 0;
        if (!OvStreamReadChunkHeader(stream, &type, &length, &version, nullptr)) {
            return nullptr;
        }
        if (!OvChunkVersionAccepted(version)) {
            OvErrorReport(ovPLUGINIDCORE, OvErrorCode(ovERRBADVERSION));
            return nullptr;
        }
        if (type != ovID_STRING && type != ovID_UNICODESTRING) {
            if (OvStreamSkip(stream, length) == nullptr) {
                return nullptr;
            }
            continue;
        }
        const bool wide = type == ovID_UNICODESTRING;
        const OvUInt32 chars = wide ? length / 2 : length;
        // The body holds its terminator, so it may fill the field exactly; more is refused.
        if (capacity != 0 && chars > capacity) {
            OvErrorReport(ovPLUGINIDCORE, OvErrorCode(ovERRREAD, "String longer than its field"));
            return nullptr;
        }
        StringSink sink = {buffer, capacity, 0, buffer == nullptr};
        if (sink.owned) {
            sink.capacity = chars + 1 < kStringPiece ? chars + 1 : kStringPiece;
            sink.text = static_cast<char*>(OvMalloc(sink.capacity, kStringHint));
            if (sink.text == nullptr) {
                OvErrorReport(ovPLUGINIDCORE, OvErrorCode(ovERRNOMEMORY, static_cast<std::size_t>(sink.capacity)));
                return nullptr;
            }
        }
        if (!ReadBody(stream, length, wide, &sink)) {
            if (sink.owned) {
                OvFree(sink.text);
            }
            return nullptr;
        }
        // An allocated block and a field with room behind the body are terminated there; the caller's
        // buffer of unknown size holds the body only, which must hold its own terminator.
        if (sink.owned || chars < capacity) {
            sink.text[chars] = 0;
        } else if (std::memchr(sink.text, 0, chars) == nullptr) {
            OvErrorReport(ovPLUGINIDCORE, OvErrorCode(ovERRREAD, "String chunk without terminator"));
            return nullptr;
        }
        return sink.text;
    }
}

} // namespace

OvUInt32 OvChunkStampPack(OvUInt32 version, OvUInt32 buildNum) {
    return (((version + 0x10000u) >> 8) << 22) | ((version & 63u) << 16) | (buildNum & 0xFFFFu);
}

OvStream* OvStreamWriteChunkHeader(OvStream* stream, OvUInt32 type, OvUInt32 length, OvUInt32 version,
                                   OvUInt32 buildNum) {
    OvUInt8 bytes[ovCHUNKHEADERSIZE];
    OvChunkPutUInt32(bytes, type);
    OvChunkPutUInt32(bytes + 4, length);
    OvChunkPutUInt32(bytes + 8, OvChunkStampPack(version, buildNum));
    return OvStreamWrite(stream, bytes, ovCHUNKHEADERSIZE);
}

OvBool OvStreamReadChunkHeader(OvStream* stream, OvUInt32* type, OvUInt32* length, OvUInt32* version,
                               OvUInt32* buildNum) {
    OvUInt8 scratch[ovCHUNKHEADERSIZE];
    const OvUInt8* bytes = OvStreamReadView(stream, scratch, ovCHUNKHEADERSIZE);
    if (bytes == nullptr) {
        return FALSE;
    }
    if (type != nullptr) {
        *type = OvChunkGetUInt32(bytes);
    }
    if (length != nullptr) {
        *length = OvChunkGetUInt32(bytes + 4);
    }
    OvChunkStampUnpack(OvChunkGetUInt32(bytes + 8), version, buildNum);
    return TRUE;
}

OvStream* OvStreamReadChunkHeaderInfo(OvStream* stream, OvChunkHeaderInfo* info) {
    if (!OvStreamReadChunkHeader(stream, &info->type, &info->length, &info->version, &info->buildNum)) {
        return nullptr;
    }
    info->isComplex = OvChunkIsComplex(info->type);
    return stream;
}

OvBool OvChunkIsComplex(OvUInt32 type) {
    switch (type) {
    case 5:
    case 6:
    case 7:
    case 8:
    case 9:
    case 10:
    case 11:
    case 14:
    case 15:
    case 16:
    case 18:
    case 20:
    case 26:
        return TRUE;
    default:
        return FALSE;
    }
}

OvBool OvStreamFindChunkThroughRead(OvStream* stream, OvUInt32 type, OvUInt32* length, OvUInt32* version) {
    for (;;) {
        OvUInt32 foundType = 0;
        OvUInt32 foundLength = 0;
        OvUInt32 foundVersion = 0;
        if (!OvStreamReadChunkHeader(stream, &foundType, &foundLength, &foundVersion, nullptr)) {
            return FALSE;
        }
        if (foundType != type) {
            if (OvStreamSkip(stream, foundLength) == nullptr) {
                return FALSE;
            }
            continue;
        }
        if (!OvChunkVersionAccepted(foundVersion)) {
            OvErrorReport(ovPLUGINIDCORE, OvErrorCode(ovERRBADVERSION));
            return FALSE;
        }
        if (length != nullptr) {
            *length = foundLength;
        }
        if (version != nullptr) {
            *version = foundVersion;
        }
        return TRUE;
    }
}

OvStream* OvStreamWriteReals(OvStream* stream, const float* values, OvUInt32 length) {
    OvUInt8 staging[kStagingBytes];
    const auto* bytes = reinterpret_cast<const OvUInt8*>(values);
    for (OvUInt32 done = 0; done < length;) {
        const OvUInt32 n = length - done < kStagingBytes ? length - done : kStagingBytes;
        std::memcpy(staging, bytes + done, n);
        if (OvStreamWrite(stream, staging, n) == nullptr) {
            return nullptr;
        }
        done += n;
    }
    return stream;
}

OvStream* OvStreamWriteInt32(OvStream* stream, const OvInt32* values, OvUInt32 length) {
    return OvStreamWrite(stream, values, length);
}

OvUInt32 OvStringStreamGetSize(const char* string) {
    const std::size_t n = string != nullptr ? std::strlen(string) : 0;
    return static_cast<OvUInt32>((n + 4) & ~static_cast<std::size_t>(3));
}

const char* OvStringStreamWrite(const char* string, OvStream* stream) {
    static const char kEmpty[] = "";
    const char* s = string != nullptr ? string : kEmpty;
    const std::size_t n = std::strlen(s);
    const OvUInt32 length = OvStringStreamGetSize(s);
    if (OvStreamWriteChunkHeader(stream, ovID_STRING, length, ovLIBRARYVERSION, ovLIBRARYBUILD) == nullptr) {
        return nullptr;
    }
    // The padded body goes in one write (never an empty one, which a stream whose callback answers
    // the count it wrote takes for a failure). A body longer than the staging buffer goes as its
    // characters up to the last four-byte group, then that group with the NULs.
    char staging[kStagingBytes];
    OvUInt32 direct = 0;
    if (length > kStagingBytes) {
        direct = length - 4;
        if (OvStreamWrite(stream, s, direct) == nullptr) {
            return nullptr;
        }
    }
    const OvUInt32 rest = length - direct;
    const std::size_t chars = n - direct;
    std::memcpy(staging, s + direct, chars);
    std::memset(staging + chars, 0, rest - chars);
    if (OvStreamWrite(stream, staging, rest) == nullptr) {
        return nullptr;
    }
    return s;
}

char* OvStringStreamRead(char* buffer, OvStream* stream) { return ReadString(buffer, 0, stream); }

char* OvStringStreamReadBounded(char* buffer, OvUInt32 capacity, OvStream* stream) {
    if (buffer == nullptr || capacity == 0) {
        OvErrorReport(ovPLUGINIDCORE, OvErrorCode(ovERRNULLARGUMENT));
        return nullptr;
    }
    return ReadString(buffer, capacity, stream);
}
