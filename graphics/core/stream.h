#pragma once
// Sequential byte streams over an open file, a file opened by name, a memory block or four
// callbacks of the caller. The stream module (engine module 0x404) keeps the stream records.

#include <cstring>

#include "graphics/core/memory.h"
#include "graphics/core/types.h"

struct OvFile;

enum OvStreamType : OvInt32 {
    ovSTREAMNASTREAM = 0,
    ovSTREAMFILE = 1,     // an open file owned by the caller
    ovSTREAMFILENAME = 2, // a file opened by name and closed with the stream
    ovSTREAMMEMORY = 3,   // a memory block
    ovSTREAMCUSTOM = 4,   // the caller's callbacks
};

enum OvStreamAccessType : OvInt32 {
    ovSTREAMNASTREAMACCESS = 0,
    ovSTREAMREAD = 1,
    ovSTREAMWRITE = 2,
    ovSTREAMAPPEND = 3,
};

// Memory block handed to a memory stream at open and handed back at close.
struct OvMemory {
    OvUInt8* start;  // buffer
    OvUInt32 length; // bytes
};

// The caller's callbacks of a custom stream.
struct OvStreamCustom {
    OvBool (*sfnclose)(void* data);                                      // may be null
    OvUInt32 (*sfnread)(void* data, void* buffer, OvUInt32 length);      // bytes read
    OvBool (*sfnwrite)(void* data, const void* buffer, OvUInt32 length); // positive on success
    OvBool (*sfnskip)(void* data, OvUInt32 length);                      // positive on success
    void* data;                                                          // user data
};

// Memory stream state.
struct OvStreamMemory {
    OvUInt32 position; // next byte to read or write
    OvUInt32 nSize;    // length (read) or capacity (write, append)
    OvUInt8* memBlock; // buffer
};

// Read-ahead of a stream reading a file it opened by name: bytes [next, filled) of block were
// read from the file and not yet handed out, so the stream is that many bytes before the file's
// position. Small reads and skips inside the block cost no call into the file system. A file
// of up to a few hundred kilobytes gets a block as large as itself, so that it is read whole by
// one call.
struct OvStreamReadAhead {
    OvUInt8* block;    // owned; null when the stream reads the file directly
    OvUInt32 next;     // next byte to hand out
    OvUInt32 filled;   // bytes in block
    OvUInt32 capacity; // bytes block holds
};

struct OvStream {
    OvInt32 type;       // OvStreamType
    OvInt32 accessType; // OvStreamAccessType
    OvInt32 spare;      // unused
    union {
        OvFile* file;          // types 1 and 2
        OvStreamMemory memory; // type 3
        OvStreamCustom custom; // type 4
    } Type;
    OvBool rwOwned;              // TRUE when the record came from the module's free list
    OvStreamReadAhead readAhead; // type 2 opened for reading
};

// Data of the stream module in the engine instance.
struct OvStreamModuleData {
    OvFreeList header;    // static header of the stream free list
    OvFreeList* freeList; // stream records, while open
};

void* OvStreamModuleOpen(void* instance, OvInt32 offset, OvInt32 size);
// Run by OvEngineStop: close your streams first; records of open ones go with the pool, files left open.
void* OvStreamModuleClose(void* instance, OvInt32 offset, OvInt32 size);

// data: type 1 the OvFile, type 2 the file name, type 3 an OvMemory, type 4 an OvStreamCustom.
OvStream* OvStreamOpen(OvInt32 type, OvInt32 accessType, const void* data);
// Closes the stream; a memory stream opened for writing or appending hands its buffer and
// length to memory (the caller then owns the buffer) or frees it when memory is null.
OvBool OvStreamClose(OvStream* stream, OvMemory* memory);
// Bytes read; a short count reports end of data (5) or a read failure (0x8000001A).
OvUInt32 OvStreamRead(OvStream* stream, void* buffer, OvUInt32 length);
// The general path of the strict read and the view below, for bytes that are not at hand.
OvStream* OvStreamReadStrictThroughRead(OvStream* stream, void* buffer, OvUInt32 length);

// The next length bytes (length > 0) when they are already in memory (a memory stream's block, a
// named file's read-ahead), the stream unmoved; null when they are not at hand.
inline const OvUInt8* OvStreamPeekInPlace(const OvStream* stream, OvUInt32 length) {
    if (stream->type == ovSTREAMMEMORY && stream->accessType == ovSTREAMREAD) {
        const OvStreamMemory& m = stream->Type.memory;
        if (m.nSize - m.position >= length && length > 0) {
            return m.memBlock + m.position;
        }
    } else if (stream->type == ovSTREAMFILENAME && stream->readAhead.filled - stream->readAhead.next >= length &&
               length > 0) {
        return stream->readAhead.block + stream->readAhead.next;
    }
    return nullptr;
}

// Moves a stream past length bytes a peek returned.
inline void OvStreamPassInPlace(OvStream* stream, OvUInt32 length) {
    if (stream->type == ovSTREAMMEMORY) {
        stream->Type.memory.position += length;
    } else {
        stream->readAhead.next += length;
    }
}

// The next length bytes (length > 0) when they are already in memory: the stream moves past them,
// and they stay valid until the next call on the stream. Null, the stream unmoved, when they are
// not at hand; the caller then reads them. (Inline, with the strict read and the view: loaders
// call them for every record head.)
inline const OvUInt8* OvStreamReadInPlace(OvStream* stream, OvUInt32 length) {
    const OvUInt8* at = OvStreamPeekInPlace(stream, length);
    if (at != nullptr) {
        OvStreamPassInPlace(stream, length);
    }
    return at;
}

// Reads exactly length bytes: the stream, or null when fewer could be read (error 5 or
// 0x8000001A). Loaders use it so that truncated input is never taken for data.
inline OvStream* OvStreamReadStrict(OvStream* stream, void* buffer, OvUInt32 length) {
    if (const OvUInt8* at = OvStreamReadInPlace(stream, length)) {
        std::memcpy(buffer, at, length);
        return stream;
    }
    return OvStreamReadStrictThroughRead(stream, buffer, length);
}

// Exactly length bytes (length > 0) to decode: where they lie in memory when they are at hand,
// else read into scratch (length bytes of room); null as from a strict read. Valid until the next
// call on the stream.
inline const OvUInt8* OvStreamReadView(OvStream* stream, void* scratch, OvUInt32 length) {
    if (const OvUInt8* at = OvStreamReadInPlace(stream, length)) {
        return at;
    }
    return OvStreamReadStrictThroughRead(stream, scratch, length) != nullptr ? static_cast<const OvUInt8*>(scratch)
                                                                             : nullptr;
}
OvStream* OvStreamWrite(OvStream* stream, const void* buffer, OvUInt32 length);
// Moves on by length bytes; null (error 5) when that passes the end of the data.
OvStream* OvStreamSkip(OvStream* stream, OvUInt32 length);
// Bytes between the position and the end of the data of a stream being read; 0xFFFFFFFF when
// that is not known (a custom stream, a stream being written). Readers use it to refuse sizes
// their input cannot hold before allocating for them.
OvUInt32 OvStreamGetBytesLeft(const OvStream* stream);
