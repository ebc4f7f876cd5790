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

void PutU32(OvUInt8* out, OvUInt32 v) {
    out[0] = static_cast<OvUInt8>(v);
    out[1] = static_cast<OvUInt8>(v >> 8);
    out[2] = static_cast<OvUInt8>(v >> 16);
    out[3] = static_cast<OvUInt8>(v >> 24);
}

OvUInt32 GetU32(const OvUInt8* in) {
    return static_cast<OvUInt32>(in[0]) | (static_cast<OvUInt32>(in[1]) << 8) |
           (static_cast<OvUInt32>(in[2]) << 16) | (static_cast<OvUInt32>(in[3]) << 24);
}

// Reads a narrow string body of length bytes into buffer (capacity bytes, at least length).
bool ReadNarrowBody(OvStream* stream, char* buffer, OvUInt32 length) {
    for (OvUInt32 done = 0; done < length;) {
        const OvUInt32 piece = length - done < kStringPiece ? length - done : kStringPiece;
        if (OvStreamReadStrict(stream, buffer + done, piece) == nullptr) {
            return false;
        }
        done += piece;
    }
    return true;
}

// Reads a wide string body of length bytes, keeping the low byte of each character; an odd
// last byte is read and dropped. Stores length / 2 characters.
bool ReadWideBody(OvStream* stream, char* buffer, OvUInt32 length) {
    OvUInt8 piece[kWidePiece];
    OvUInt32 stored = 0;
    for (OvUInt32 done = 0; done < length;) {
        const OvUInt32 n = length - done < kWidePiece ? length - done : kWidePiece;
        if (OvStreamReadStrict(stream, piece, n) == nullptr) {
            return false;
        }
        for (OvUInt32 i = 0; i + 1 < n; i += 2) {
            buffer[stored++] = static_cast<char>(piece[i]);
        }
        done += n;
    }
    return true;
}

// capacity 0 means "the caller's buffer holds the whole body" (OvStringStreamRead's contract).
char* ReadString(char* buffer, OvUInt32 capacity, bool bounded, OvStream* stream) {
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
        char* out = buffer;
        if (bounded && chars >= capacity) {
            // A terminator must fit behind every character the body may hold, except when
            // the body itself ends with one inside the buffer (checked after reading).
            if (chars > capacity) {
                OvErrorReport(ovPLUGINIDCORE, OvErrorCode(ovERRREAD, "String longer than its field"));
                return nullptr;
            }
        }
        if (out == nullptr) {
            out = static_cast<char*>(OvMalloc(static_cast<std::size_t>(chars) + 1, kStringHint));
            if (out == nullptr) {
                OvErrorReport(ovPLUGINIDCORE, OvErrorCode(ovERRNOMEMORY, static_cast<std::size_t>(chars) + 1));
                return nullptr;
            }
        }
        const bool read = wide ? ReadWideBody(stream, out, length) : ReadNarrowBody(stream, out, length);
        if (!read) {
            if (buffer == nullptr) {
                OvFree(out);
            }
            return nullptr;
        }
        if (buffer == nullptr || !bounded || chars < capacity) {
            out[chars] = 0;
        } else if (std::memchr(out, 0, chars) == nullptr) {
            OvErrorReport(ovPLUGINIDCORE, OvErrorCode(ovERRREAD, "String longer than its field"));
            return nullptr;
        }
        return out;
    }
}

} // namespace

OvUInt32 OvChunkStampPack(OvUInt32 version, OvUInt32 buildNum) {
    return (((version + 0x10000u) >> 8) << 22) | ((version & 63u) << 16) | (buildNum & 0xFFFFu);
}

void OvChunkStampUnpack(OvUInt32 stamp, OvUInt32* version, OvUInt32* buildNum) {
    OvUInt32 v = 0;
    OvUInt32 b = 0;
    if (stamp < 0x10000u) {
        v = stamp << 8;
    } else {
        v = ((stamp >> 14) & 0x3FF00u) + 0x30000u + ((stamp >> 16) & 63u);
        b = stamp & 0xFFFFu;
    }
    if (version != nullptr) {
        *version = v;
    }
    if (buildNum != nullptr) {
        *buildNum = b;
    }
}

OvBool OvChunkVersionAccepted(OvUInt32 version) {
    return version >= ovLIBRARYMINVERSION && version <= ovLIBRARYMAXVERSION ? TRUE : FALSE;
}

OvStream* OvStreamWriteChunkHeader(OvStream* stream, OvUInt32 type, OvUInt32 length, OvUInt32 version,
                                   OvUInt32 buildNum) {
    OvUInt8 bytes[ovCHUNKHEADERSIZE];
    PutU32(bytes, type);
    PutU32(bytes + 4, length);
    PutU32(bytes + 8, OvChunkStampPack(version, buildNum));
    return OvStreamWrite(stream, bytes, ovCHUNKHEADERSIZE);
}

OvBool OvStreamReadChunkHeader(OvStream* stream, OvUInt32* type, OvUInt32* length, OvUInt32* version,
                               OvUInt32* buildNum) {
    OvUInt8 bytes[ovCHUNKHEADERSIZE];
    if (OvStreamReadStrict(stream, bytes, ovCHUNKHEADERSIZE) == nullptr) {
        return FALSE;
    }
    if (type != nullptr) {
        *type = GetU32(bytes);
    }
    if (length != nullptr) {
        *length = GetU32(bytes + 4);
    }
    OvChunkStampUnpack(GetU32(bytes + 8), version, buildNum);
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
    case 5: case 6: case 7: case 8: case 9: case 10: case 11: case 14: case 15: case 16: case 18: case 20: case 26:
        return TRUE;
    default:
        return FALSE;
    }
}

OvBool OvStreamFindChunk(OvStream* stream, OvUInt32 type, OvUInt32* length, OvUInt32* version) {
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

OvStream* OvStreamReadValues(OvStream* stream, void* buffer, OvUInt32 length) {
    return OvStreamReadStrict(stream, buffer, length);
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
    if (OvStreamWriteChunkHeader(stream, ovID_STRING, length, ovLIBRARYVERSION, ovLIBRARYBUILD) == nullptr ||
        OvStreamWrite(stream, s, static_cast<OvUInt32>(n)) == nullptr) {
        return nullptr;
    }
    const OvUInt8 zeros[4] = {0, 0, 0, 0};
    if (OvStreamWrite(stream, zeros, length - static_cast<OvUInt32>(n)) == nullptr) {
        return nullptr;
    }
    return s;
}

char* OvStringStreamRead(char* buffer, OvStream* stream) { return ReadString(buffer, 0, false, stream); }

char* OvStringStreamReadBounded(char* buffer, OvUInt32 capacity, OvStream* stream) {
    if (buffer == nullptr || capacity == 0) {
        OvErrorReport(ovPLUGINIDCORE, OvErrorCode(ovERRNULLARGUMENT));
        return nullptr;
    }
    return ReadString(buffer, capacity, true, stream);
}
