#include "ai/runtime/ais_reader.h"

#include <cstring>
#include <new>

#include "ai/runtime/allocator.h"
#include "ai/runtime/config_node.h"
#include "graphics/core/chunk.h"
#include "graphics/core/stream.h"

namespace {

CAisReader* s_reader = nullptr; // the engine's reader, created on first use

std::uint32_t GetU32(const std::uint8_t* bytes) {
    return static_cast<std::uint32_t>(bytes[0]) | static_cast<std::uint32_t>(bytes[1]) << 8 |
           static_cast<std::uint32_t>(bytes[2]) << 16 | static_cast<std::uint32_t>(bytes[3]) << 24;
}

// Text of a fixed-size field: up to the first NUL, or the whole field when it has none.
struct FieldText {
    explicit FieldText(const std::uint8_t* field) {
        std::size_t length = strnlen(reinterpret_cast<const char*>(field), CAisReader::kTextField);
        std::memcpy(text, field, length);
        text[length] = '\0';
    }
    char text[CAisReader::kTextField + 1];
};

bool ReadExactly(OvStream* stream, void* buffer, std::uint32_t length) {
    return OvStreamRead(stream, buffer, length) == length;
}

} // namespace

CAisReader::~CAisReader() {
    CRawDataRecord* record = m_records;
    while (record != nullptr) {
        CRawDataRecord* next = record->next;
        Vusk::EngineFree(record->data);
        Vusk::EngineFree(record);
        record = next;
    }
}

CRawDataRecord* CAisReader::NewRecord() {
    void* block = Vusk::EngineAllocate(sizeof(CRawDataRecord));
    if (block == nullptr) {
        return nullptr;
    }
    auto* record = new (block) CRawDataRecord{};
    record->next = m_records;
    m_records = record;
    ++m_recordCount;
    return record;
}

bool CAisReader::Owns(const CRawDataRecord* record) const {
    for (const CRawDataRecord* r = m_records; r != nullptr; r = r->next) {
        if (r == record) {
            return true;
        }
    }
    return false;
}

bool CAisReader::ReadHeader(OvStream* stream, CConfigNode* root) {
    // A new file: blocks of the previous one can no longer be reached, and this file's blocks
    // are numbered from 0 whatever happened to the previous one.
    m_stream = stream;
    m_open = nullptr;
    m_remaining = m_total = 0;
    m_blockCounter = 0;
    ++m_file;
    if (stream == nullptr || root == nullptr) {
        return false;
    }
    std::uint8_t magic[kMagicSize];
    if (!ReadExactly(stream, magic, kMagicSize) || std::memcmp(magic, kMagic, kMagicSize) != 0) {
        return false;
    }
    std::uint8_t version[4];
    if (!ReadExactly(stream, version, sizeof(version)) || GetU32(version) != kVersion) {
        return false;
    }
    m_depth = 0;
    bool result = ReadNode(root);
    m_blockCounter = 0;
    return result;
}

bool CAisReader::ReadNode(CConfigNode* node) {
    if (node == nullptr || m_stream == nullptr || m_depth >= kMaxDepth) {
        return false;
    }
    std::uint32_t type = 0;
    std::uint32_t length = 0;
    if (!OvStreamReadChunkHeader(m_stream, &type, &length, nullptr, nullptr)) {
        return false;
    }
    switch (type) {
    case kChunkNode: {
        std::uint32_t structType = 0;
        std::uint32_t structLength = 0;
        std::uint8_t body[kNodeStructSize];
        if (!OvStreamReadChunkHeader(m_stream, &structType, &structLength, nullptr, nullptr) ||
            structType != kChunkStruct || structLength != kNodeStructSize ||
            !ReadExactly(m_stream, body, kNodeStructSize)) {
            return false;
        }
        if (!node->SetLabel(FieldText(body).text) || !node->SetName(FieldText(body + kTextField).text)) {
            return false;
        }
        // Every child consumes at least one chunk header of input, so a hostile count ends
        // at the first child that cannot be read.
        std::uint32_t count = GetU32(body + 2 * kTextField);
        ++m_depth;
        bool result = true;
        for (std::uint32_t i = 0; i < count && result; ++i) {
            CConfigNode* child = node->AddChild();
            result = child != nullptr && ReadNode(child);
        }
        --m_depth;
        return result;
    }
    case kChunkLeaf: {
        std::uint8_t body[kLeafSize];
        if (length != kLeafSize || !ReadExactly(m_stream, body, kLeafSize)) {
            return false;
        }
        return node->SetName(FieldText(body).text) && node->SetValue(FieldText(body + kTextField).text);
    }
    case kChunkReference: {
        // The block's size is repeated by the block's own chunk, which is what counts.
        std::uint8_t size[kReferenceSize];
        if (length != kReferenceSize || !ReadExactly(m_stream, size, kReferenceSize) || !node->SetName("RawData")) {
            return false;
        }
        CRawDataRecord* record = NewRecord();
        if (record == nullptr) {
            return false;
        }
        record->inMemory = 0;
        record->ordinal = m_blockCounter++;
        record->file = m_file;
        node->SetRawData(record, 0);
        return true;
    }
    default:
        // A chunk this reader does not know: the node stays empty and only the header is taken,
        // so what follows is read from the chunk's body on. A damaged type thus leaves the rest of
        // the tree and the raw blocks out of step, which their own checks then find.
        return true;
    }
}

bool CAisReader::DiscardOpenBlock() {
    std::uint8_t piece[kDiscardPiece];
    while (m_remaining > 0 && m_stream != nullptr) {
        std::uint32_t request = m_remaining < kDiscardPiece ? m_remaining : kDiscardPiece;
        std::uint32_t got = OvStreamRead(m_stream, piece, request);
        if (got == 0) {
            break; // the input ended inside the block
        }
        m_remaining -= got;
    }
    bool complete = m_remaining == 0;
    m_remaining = m_total = 0;
    m_open = nullptr;
    return complete;
}

bool CAisReader::OpenRawData(CConfigNode* node) {
    // A file block left unfinished is passed over, so that the next chunk header is read
    // where it lies.
    if (m_open != nullptr && m_open->inMemory == 0) {
        DiscardOpenBlock();
    }
    m_open = nullptr;
    m_remaining = m_total = 0;
    CRawDataRecord* record = node != nullptr ? node->GetRawData() : nullptr;
    if (record == nullptr || !Owns(record)) {
        return false;
    }
    if (record->inMemory != 0) {
        m_open = record;
        m_total = m_remaining = record->size;
        return true;
    }
    // A block behind the stream's position cannot be reached any more; refusing it before
    // reading keeps the blocks after it intact.
    if (record->file != m_file || m_stream == nullptr || record->ordinal < m_blockCounter) {
        return false;
    }
    for (;;) {
        std::uint32_t type = 0;
        std::uint32_t length = 0;
        if (!OvStreamReadChunkHeader(m_stream, &type, &length, nullptr, nullptr) || type != kChunkRawBlock) {
            return false;
        }
        std::uint32_t ordinal = m_blockCounter++;
        m_total = m_remaining = length;
        if (ordinal == record->ordinal) {
            m_open = record;
            return true;
        }
        // A block before the wanted one.
        if (!DiscardOpenBlock()) {
            return false;
        }
    }
}

std::uint32_t CAisReader::ReadRawData(CConfigNode* node, void* buffer, std::uint32_t size) {
    if (m_open == nullptr || node == nullptr || node->GetRawData() != m_open || buffer == nullptr) {
        return 0;
    }
    std::uint32_t count = m_remaining < size ? m_remaining : size;
    if (count == 0) {
        return 0;
    }
    if (m_open->inMemory != 0) {
        std::memcpy(buffer, m_open->data + (m_total - m_remaining), count);
    } else {
        count = m_stream != nullptr ? OvStreamRead(m_stream, buffer, count) : 0;
    }
    m_remaining -= count;
    return count;
}

void CAisReader::CloseRawData(CConfigNode* node) {
    if (m_open == nullptr || node == nullptr || node->GetRawData() != m_open) {
        return;
    }
    if (m_open->inMemory == 0) {
        DiscardOpenBlock();
    }
    m_open = nullptr;
    m_remaining = m_total = 0;
}

std::uint32_t CAisReader::GetRawDataSize(CConfigNode* node) {
    return m_open != nullptr && node != nullptr && node->GetRawData() == m_open ? m_total : 0;
}

bool CAisReader::GetRawDataHeld(CConfigNode* node, std::uint32_t* held) const {
    if (m_open == nullptr || node == nullptr || node->GetRawData() != m_open || held == nullptr) {
        return false;
    }
    if (m_open->inMemory != 0) {
        *held = m_remaining;
        return true;
    }
    if (m_stream == nullptr || m_stream->type != ovSTREAMMEMORY) {
        return false;
    }
    const OvStreamMemory& memory = m_stream->Type.memory;
    const std::uint32_t rest = memory.nSize > memory.position ? memory.nSize - memory.position : 0;
    *held = rest < m_remaining ? rest : m_remaining;
    return true;
}

bool CAisReader::AttachMemoryBlock(CConfigNode* node, const void* data, std::uint32_t size) {
    if (node == nullptr || (data == nullptr && size != 0)) {
        return false;
    }
    std::uint8_t* copy = nullptr;
    if (size != 0) {
        copy = static_cast<std::uint8_t*>(Vusk::EngineAllocate(size));
        if (copy == nullptr) {
            return false;
        }
        std::memcpy(copy, data, size);
    }
    CRawDataRecord* record = NewRecord();
    if (record == nullptr) {
        Vusk::EngineFree(copy);
        return false;
    }
    record->inMemory = 1;
    record->data = copy;
    record->size = size;
    node->SetRawData(record, size);
    return true;
}

CConfigNode* Vusk::LoadAisFile(OvStream* stream) {
    CAisReader* reader = GetAisReader();
    if (reader == nullptr) {
        return nullptr;
    }
    auto* root = new CConfigNode();
    if (root != nullptr) {
        reader->ReadHeader(stream, root);
    }
    return root;
}

CAisReader* Vusk::GetAisReader() {
    if (s_reader == nullptr) {
        s_reader = new CAisReader();
    }
    return s_reader;
}

void Vusk::ReleaseAisReader() {
    delete s_reader;
    s_reader = nullptr;
}
