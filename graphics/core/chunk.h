#pragma once
// Chunk headers (12 bytes: type, body length, version stamp), the packing of the library
// version and build into the stamp, the search for a chunk, bulk value I/O and string chunks.

#include <bit>

#include "graphics/core/stream.h"
#include "graphics/core/types.h"

inline constexpr OvUInt32 ovCHUNKHEADERSIZE = 12;

// Chunk types of the core.
inline constexpr OvUInt32 ovID_STRUCT = 1;
inline constexpr OvUInt32 ovID_STRING = 2;
inline constexpr OvUInt32 ovID_EXTENSION = 3;
inline constexpr OvUInt32 ovID_CAMERA = 5;
inline constexpr OvUInt32 ovID_TEXTURE = 6;
inline constexpr OvUInt32 ovID_FRAMELIST = 14;
inline constexpr OvUInt32 ovID_UNICODESTRING = 19;
inline constexpr OvUInt32 ovID_IMAGE = 24;

// Oldest and newest version a reader accepts.
inline constexpr OvUInt32 ovLIBRARYMINVERSION = 0x35000;
inline constexpr OvUInt32 ovLIBRARYMAXVERSION = 0x37002;

// A chunk header unpacked.
struct OvChunkHeaderInfo {
    OvUInt32 type;     // chunk type
    OvUInt32 length;   // body length in bytes
    OvUInt32 version;  // library version of the writer
    OvUInt32 buildNum; // build of the writer
    OvBool isComplex;  // TRUE when the body is a sequence of chunks
};

// Little-endian 32-bit fields of a record already read into memory, and of one being built
// (inline: readers take a dozen fields a record).
inline OvUInt32 OvChunkGetUInt32(const OvUInt8* bytes) {
    return static_cast<OvUInt32>(bytes[0]) | (static_cast<OvUInt32>(bytes[1]) << 8) |
           (static_cast<OvUInt32>(bytes[2]) << 16) | (static_cast<OvUInt32>(bytes[3]) << 24);
}
inline float OvChunkGetReal(const OvUInt8* bytes) { return std::bit_cast<float>(OvChunkGetUInt32(bytes)); }
inline void OvChunkPutUInt32(OvUInt8* bytes, OvUInt32 v) {
    bytes[0] = static_cast<OvUInt8>(v);
    bytes[1] = static_cast<OvUInt8>(v >> 8);
    bytes[2] = static_cast<OvUInt8>(v >> 16);
    bytes[3] = static_cast<OvUInt8>(v >> 24);
}

// Stamp word for version and build, and back.
OvUInt32 OvChunkStampPack(OvUInt32 version, OvUInt32 buildNum);
inline void OvChunkStampUnpack(OvUInt32 stamp, OvUInt32* version, OvUInt32* buildNum) {
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
// TRUE when a reader accepts the version.
inline OvBool OvChunkVersionAccepted(OvUInt32 version) {
    return version >= ovLIBRARYMINVERSION && version <= ovLIBRARYMAXVERSION ? TRUE : FALSE;
}

OvStream* OvStreamWriteChunkHeader(OvStream* stream, OvUInt32 type, OvUInt32 length, OvUInt32 version,
                                   OvUInt32 buildNum);
// Every out may be null. TRUE, or FALSE with error 0x8000001A when 12 bytes cannot be read.
OvBool OvStreamReadChunkHeader(OvStream* stream, OvUInt32* type, OvUInt32* length, OvUInt32* version,
                               OvUInt32* buildNum);
OvStream* OvStreamReadChunkHeaderInfo(OvStream* stream, OvChunkHeaderInfo* info);
OvBool OvChunkIsComplex(OvUInt32 type);
// The search below when the next chunk is not at hand or not the one sought.
OvBool OvStreamFindChunkThroughRead(OvStream* stream, OvUInt32 type, OvUInt32* length, OvUInt32* version);
// Reads headers, skipping the bodies of other types, until one of the type; TRUE with the
// stream at its body, FALSE on a read failure or a version outside the accepted range
// (error 0x80000004). (Inline: the chunk sought is most often the next one, at hand.)
inline OvBool OvStreamFindChunk(OvStream* stream, OvUInt32 type, OvUInt32* length, OvUInt32* version) {
    if (const OvUInt8* at = OvStreamPeekInPlace(stream, ovCHUNKHEADERSIZE)) {
        OvUInt32 found = 0;
        OvChunkStampUnpack(OvChunkGetUInt32(at + 8), &found, nullptr);
        if (OvChunkGetUInt32(at) == type && OvChunkVersionAccepted(found)) {
            if (length != nullptr) {
                *length = OvChunkGetUInt32(at + 4);
            }
            if (version != nullptr) {
                *version = found;
            }
            OvStreamPassInPlace(stream, ovCHUNKHEADERSIZE);
            return TRUE;
        }
    }
    return OvStreamFindChunkThroughRead(stream, type, length, version);
}

// Little-endian 32-bit values (and 16-bit integers for ReadValues), lengths in bytes.
OvStream* OvStreamWriteReals(OvStream* stream, const float* values, OvUInt32 length);
OvStream* OvStreamWriteInt32(OvStream* stream, const OvInt32* values, OvUInt32 length);
// Reads exactly length bytes of values: the stream, or null (error 0x8000001A) on a short read.
inline OvStream* OvStreamReadValues(OvStream* stream, void* buffer, OvUInt32 length) {
    return OvStreamReadStrict(stream, buffer, length);
}

// String chunks: body = the characters, a NUL and NULs up to the next multiple of 4.
OvUInt32 OvStringStreamGetSize(const char* string);
// Writes a string chunk (null writes the empty string); the string, or null on failure.
const char* OvStringStreamWrite(const char* string, OvStream* stream);
// Reads the next string chunk (type 2, or 19 whose 16-bit characters keep their low byte, a
// character whose low byte alone is zero read as '?'),
// skipping chunks of other types. A null buffer: the string is allocated (free it with
// OvFree). A buffer: it must hold the whole body, which must hold the terminator (nothing is
// written behind the body); readers of fixed-size fields use OvStringStreamReadBounded. Null on
// failure.
char* OvStringStreamRead(char* buffer, OvStream* stream);
// As OvStringStreamRead into a buffer of capacity bytes: fails (error 0x8000001A) when the
// string and its terminator do not fit; the result is always NUL-terminated.
char* OvStringStreamReadBounded(char* buffer, OvUInt32 capacity, OvStream* stream);
