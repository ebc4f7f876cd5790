#include "graphics/core/stream.h"

#include <cstring>

#include "graphics/core/engine.h"
#include "graphics/core/error.h"
#include "graphics/core/file_system.h"

namespace {

constexpr OvInt32 kStreamsPerBlock = 16;
constexpr OvUInt32 kModuleHint = ovMEMHINTDUR_GLOBAL | ovPLUGINIDSTREAM;
constexpr OvUInt32 kStreamHint = ovMEMHINTDUR_OBJECT | ovPLUGINIDSTREAM;
constexpr OvUInt32 kGrowStep = 512;
// Read-ahead block of a stream reading a named file; reads at least as long as the block bypass
// it. Files up to kWholeFileBytes get a block of their size.
constexpr OvUInt32 kReadAheadBytes = 4096;
constexpr OvUInt32 kWholeFileBytes = 256 * 1024;

OvInt32 gStreamModuleOffset = -1;
OvInt32 gStreamNumInstances = 0;

OvStreamModuleData* ModuleData() {
    return reinterpret_cast<OvStreamModuleData*>(reinterpret_cast<char*>(OvEngineInstancePtr) + gStreamModuleOffset);
}

void ReleaseRecord(OvStream* stream) {
    if (stream->rwOwned) {
        OvFreeListEntryFree(ModuleData()->freeList, stream);
    }
}

void ReportCore(OvInt32 code) { OvErrorReport(ovPLUGINIDCORE, code); }

std::uint64_t FilePosition(const OvFile* file) {
    return (static_cast<std::uint64_t>(file->positionHigh) << 32) | file->positionLow;
}
std::uint64_t FileSize(const OvFile* file) {
    return (static_cast<std::uint64_t>(file->sizeHigh) << 32) | file->sizeLow;
}

// Bytes read ahead and not yet handed out.
OvUInt32 ReadAheadHeld(const OvStream* stream) { return stream->readAhead.filled - stream->readAhead.next; }

// Position of the stream in its file: the file's own, less what is held in the read-ahead block.
std::uint64_t StreamFilePosition(const OvStream* stream) {
    return FilePosition(stream->Type.file) - ReadAheadHeld(stream);
}

// Bytes read from the stream's file: first from the read-ahead block; a rest shorter than the
// block refills it with one file read, a longer rest is read straight into the caller's buffer.
OvUInt32 FileRead(OvStream* stream, void* buffer, OvUInt32 length) {
    OvStreamReadAhead& ahead = stream->readAhead;
    if (ahead.block == nullptr || length == 0) {
        return OvFSManagerFread(buffer, 1, length, stream->Type.file);
    }
    auto* out = static_cast<OvUInt8*>(buffer);
    OvUInt32 count = ReadAheadHeld(stream);
    if (count >= length) {
        std::memcpy(out, ahead.block + ahead.next, length);
        ahead.next += length;
        return length;
    }
    if (count > 0) {
        std::memcpy(out, ahead.block + ahead.next, count);
    }
    ahead.next = ahead.filled = 0;
    const OvUInt32 rest = length - count;
    if (rest >= ahead.capacity) {
        return count + OvFSManagerFread(out + count, 1, rest, stream->Type.file);
    }
    ahead.filled = OvFSManagerFread(ahead.block, 1, ahead.capacity, stream->Type.file);
    const OvUInt32 more = ahead.filled < rest ? ahead.filled : rest;
    if (more > 0) {
        std::memcpy(out + count, ahead.block, more);
    }
    ahead.next = more;
    count += more;
    return count;
}

void ReleaseReadAhead(OvStream* stream) {
    if (stream->readAhead.block != nullptr) {
        OvFree(stream->readAhead.block);
    }
    stream->readAhead = {nullptr, 0, 0, 0};
}

OvStream* MemoryWrite(OvStream* stream, const void* buffer, OvUInt32 length) {
    OvStreamMemory& m = stream->Type.memory;
    if (stream->accessType == ovSTREAMREAD) {
        // The buffer of a read stream belongs to the caller; it is never written or grown.
        ReportCore(OvErrorCode(ovERRBADACCESS));
        return nullptr;
    }
    if (m.memBlock == nullptr) {
        m.memBlock = static_cast<OvUInt8*>(OvMalloc(kGrowStep, kStreamHint));
        if (m.memBlock == nullptr) {
            ReportCore(OvErrorCode(ovERRNOMEMORY, static_cast<std::size_t>(kGrowStep)));
            return nullptr;
        }
        m.nSize = kGrowStep;
    }
    if (m.nSize - m.position < length) {
        const std::uint64_t grown = static_cast<std::uint64_t>(m.nSize) + (length >= kGrowStep ? length : kGrowStep);
        void* block = grown > 0xFFFFFFFFu ? nullptr
                                          : OvRealloc(m.memBlock, static_cast<std::size_t>(grown),
                                                      kStreamHint | ovMEMHINTFLAG_RESIZABLE);
        if (block == nullptr) {
            ReportCore(OvErrorCode(ovERRNOMEMORY, static_cast<std::size_t>(grown)));
            return nullptr;
        }
        m.memBlock = static_cast<OvUInt8*>(block);
        m.nSize = static_cast<OvUInt32>(grown);
    }
    if (length > 0) {
        std::memcpy(m.memBlock + m.position, buffer, length);
    }
    m.position += length;
    return stream;
}

} // namespace

void* OvStreamModuleOpen(void* instance, OvInt32 offset, OvInt32) {
    gStreamModuleOffset = offset;
    auto* data = reinterpret_cast<OvStreamModuleData*>(static_cast<char*>(instance) + offset);
    data->freeList = OvFreeListCreateWithSpace(sizeof(OvStream), kStreamsPerBlock, 0, 1, &data->header, kModuleHint);
    if (data->freeList == nullptr) {
        return nullptr;
    }
    gStreamNumInstances++;
    return instance;
}

void* OvStreamModuleClose(void* instance, OvInt32 offset, OvInt32) {
    auto* data = reinterpret_cast<OvStreamModuleData*>(static_cast<char*>(instance) + offset);
    if (data->freeList != nullptr) {
        OvFreeListDestroy(data->freeList);
        data->freeList = nullptr;
    }
    gStreamNumInstances--;
    return instance;
}

OvStream* OvStreamOpen(OvInt32 type, OvInt32 accessType, const void* data) {
    if (gStreamNumInstances <= 0) {
        ReportCore(OvErrorCode(ovERRBADENGINESTATE));
        return nullptr;
    }
    auto* stream = static_cast<OvStream*>(OvFreeListEntryAlloc(ModuleData()->freeList, kStreamHint));
    if (stream == nullptr) {
        ReportCore(OvErrorCode(ovERRNOMEMORY, sizeof(OvStream)));
        return nullptr;
    }
    std::memset(static_cast<void*>(stream), 0, sizeof(OvStream));
    stream->type = type;
    stream->accessType = accessType;
    stream->rwOwned = TRUE;

    switch (type) {
    case ovSTREAMFILE: {
        auto* file = static_cast<OvFile*>(const_cast<void*>(data));
        // A file whose position was never set is not usable as a stream.
        if (file == nullptr || file->positionLow == 0xFFFFFFFFu) {
            break;
        }
        stream->Type.file = file;
        return stream;
    }
    case ovSTREAMFILENAME: {
        const char* mode = accessType == ovSTREAMREAD     ? "rb"
                           : accessType == ovSTREAMWRITE  ? "wb"
                           : accessType == ovSTREAMAPPEND ? "ab"
                                                          : nullptr;
        if (mode == nullptr) {
            ReportCore(OvErrorCode(ovERRBADACCESS));
            ReportCore(OvErrorCode(ovERRFILEOPEN));
            break;
        }
        OvFile* file = data != nullptr ? OvFSManagerFopen(static_cast<const char*>(data), mode) : nullptr;
        if (file == nullptr) {
            ReportCore(OvErrorCode(ovERRFILEOPEN, static_cast<const char*>(data)));
            break;
        }
        stream->Type.file = file;
        if (accessType == ovSTREAMREAD) {
            // Without memory for the block the stream reads the file directly, as before.
            const std::uint64_t size = FileSize(file);
            const OvUInt32 capacity =
                size > kReadAheadBytes && size <= kWholeFileBytes ? static_cast<OvUInt32>(size) : kReadAheadBytes;
            stream->readAhead.block = static_cast<OvUInt8*>(OvMalloc(capacity, kStreamHint));
            stream->readAhead.capacity = stream->readAhead.block != nullptr ? capacity : 0;
        }
        return stream;
    }
    case ovSTREAMMEMORY: {
        const auto* memory = static_cast<const OvMemory*>(data);
        OvStreamMemory& m = stream->Type.memory;
        if (accessType == ovSTREAMREAD) {
            if (memory == nullptr) {
                ReportCore(OvErrorCode(ovERRNULLARGUMENT));
                break;
            }
            m = {0, memory->length, memory->start};
            return stream;
        }
        if (accessType == ovSTREAMWRITE) {
            m = {0, 0, nullptr};
            return stream;
        }
        if (accessType == ovSTREAMAPPEND) {
            if (memory == nullptr) {
                ReportCore(OvErrorCode(ovERRNULLARGUMENT));
                break;
            }
            m = {memory->length, memory->length, memory->start};
            return stream;
        }
        ReportCore(OvErrorCode(ovERRBADACCESS));
        break;
    }
    case ovSTREAMCUSTOM:
        if (data == nullptr) {
            ReportCore(OvErrorCode(ovERRNULLARGUMENT));
            break;
        }
        stream->Type.custom = *static_cast<const OvStreamCustom*>(data);
        return stream;
    default:
        ReportCore(OvErrorCode(ovERRBADSTREAMTYPE));
        break;
    }
    ReleaseRecord(stream);
    return nullptr;
}

OvBool OvStreamClose(OvStream* stream, OvMemory* memory) {
    switch (stream->type) {
    case ovSTREAMFILE:
        break;
    case ovSTREAMFILENAME:
        ReleaseReadAhead(stream);
        OvFSManagerFclose(stream->Type.file);
        break;
    case ovSTREAMMEMORY:
        if (stream->accessType != ovSTREAMREAD) {
            if (memory != nullptr) {
                memory->start = stream->Type.memory.memBlock;
                memory->length = stream->Type.memory.position;
            } else if (stream->Type.memory.memBlock != nullptr) {
                // Nobody takes the buffer over: release it rather than lose it.
                OvFree(stream->Type.memory.memBlock);
            }
        }
        break;
    case ovSTREAMCUSTOM:
        if (stream->Type.custom.sfnclose != nullptr) {
            stream->Type.custom.sfnclose(stream->Type.custom.data);
        }
        break;
    default:
        ReportCore(OvErrorCode(ovERRBADSTREAMTYPE));
        return FALSE;
    }
    ReleaseRecord(stream);
    return TRUE;
}

OvUInt32 OvStreamRead(OvStream* stream, void* buffer, OvUInt32 length) {
    switch (stream->type) {
    case ovSTREAMFILE:
    case ovSTREAMFILENAME: {
        const OvUInt32 count = FileRead(stream, buffer, length);
        if (count < length) {
            ReportCore(OvFSManagerFeof(stream->Type.file) ? OvErrorCode(ovERRENDOFSTREAM) : OvErrorCode(ovERRREAD));
        }
        return count;
    }
    case ovSTREAMMEMORY: {
        OvStreamMemory& m = stream->Type.memory;
        if (stream->accessType != ovSTREAMREAD) {
            ReportCore(OvErrorCode(ovERRBADACCESS));
            return 0;
        }
        OvUInt32 count = length;
        if (m.nSize - m.position < length) {
            count = m.nSize - m.position;
            ReportCore(OvErrorCode(ovERRENDOFSTREAM));
        }
        if (count > 0) {
            std::memcpy(buffer, m.memBlock + m.position, count);
        }
        m.position += count;
        return count;
    }
    case ovSTREAMCUSTOM: {
        const OvUInt32 count = stream->Type.custom.sfnread(stream->Type.custom.data, buffer, length);
        return count > length ? length : count;
    }
    default:
        ReportCore(OvErrorCode(ovERRBADSTREAMTYPE));
        return 0;
    }
}

OvStream* OvStreamReadStrictThroughRead(OvStream* stream, void* buffer, OvUInt32 length) {
    if (OvStreamRead(stream, buffer, length) != length) {
        ReportCore(OvErrorCode(ovERRREAD));
        return nullptr;
    }
    return stream;
}

OvStream* OvStreamWrite(OvStream* stream, const void* buffer, OvUInt32 length) {
    switch (stream->type) {
    case ovSTREAMFILE:
    case ovSTREAMFILENAME:
        if (OvFSManagerFwrite(buffer, 1, length, stream->Type.file) != length) {
            ReportCore(OvErrorCode(ovERRWRITE));
            return nullptr;
        }
        return stream;
    case ovSTREAMMEMORY:
        return MemoryWrite(stream, buffer, length);
    case ovSTREAMCUSTOM:
        return stream->Type.custom.sfnwrite(stream->Type.custom.data, buffer, length) > 0 ? stream : nullptr;
    default:
        ReportCore(OvErrorCode(ovERRBADSTREAMTYPE));
        return nullptr;
    }
}

OvStream* OvStreamSkip(OvStream* stream, OvUInt32 length) {
    if (length == 0) {
        return stream;
    }
    switch (stream->type) {
    case ovSTREAMFILE:
    case ovSTREAMFILENAME: {
        OvFile* file = stream->Type.file;
        // Positions are 32-bit: a skip that would leave that range, or pass the end of a
        // file being read, fails instead of leaving the stream somewhere undefined.
        const std::uint64_t target = StreamFilePosition(stream) + length;
        if (target > 0x7FFFFFFFu || (stream->accessType == ovSTREAMREAD && target > FileSize(file))) {
            ReportCore(OvErrorCode(ovERRENDOFSTREAM));
            return nullptr;
        }
        const OvUInt32 held = ReadAheadHeld(stream);
        if (length <= held) {
            stream->readAhead.next += length;
            return stream;
        }
        // The file is already held bytes past the stream.
        if (OvFSManagerFseek(file, static_cast<OvInt32>(length - held), 1) != 0) {
            if (OvFSManagerFeof(file)) {
                ReportCore(OvErrorCode(ovERRENDOFSTREAM));
            }
            return nullptr;
        }
        stream->readAhead.next = stream->readAhead.filled = 0;
        return stream;
    }
    case ovSTREAMMEMORY: {
        OvStreamMemory& m = stream->Type.memory;
        if (m.nSize - m.position < length) {
            m.position = m.nSize;
            ReportCore(OvErrorCode(ovERRENDOFSTREAM));
            return nullptr;
        }
        m.position += length;
        return stream;
    }
    case ovSTREAMCUSTOM:
        return stream->Type.custom.sfnskip(stream->Type.custom.data, length) > 0 ? stream : nullptr;
    default:
        ReportCore(OvErrorCode(ovERRBADSTREAMTYPE));
        return nullptr;
    }
}

OvUInt32 OvStreamGetBytesLeft(const OvStream* stream) {
    if (stream->accessType != ovSTREAMREAD) {
        return 0xFFFFFFFFu;
    }
    switch (stream->type) {
    case ovSTREAMFILE:
    case ovSTREAMFILENAME: {
        const OvFile* file = stream->Type.file;
        const std::uint64_t size = FileSize(file);
        if (file->positionHigh == 0xFFFFFFFFu) {
            return 0xFFFFFFFFu; // position not known
        }
        const std::uint64_t position = StreamFilePosition(stream);
        const std::uint64_t left = position < size ? size - position : 0;
        return left > 0xFFFFFFFFu ? 0xFFFFFFFFu : static_cast<OvUInt32>(left);
    }
    case ovSTREAMMEMORY:
        return stream->Type.memory.nSize - stream->Type.memory.position;
    default:
        return 0xFFFFFFFFu;
    }
}
