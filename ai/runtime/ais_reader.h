#pragma once
// Reader of AI world files (".AIS"): a configuration tree of named nodes followed by the raw
// data blocks (graphs and other precomputed data) that its "RawData" nodes stand for.
//
// File layout (little-endian u32 fields; every element after the version is a chunk with the
// graphics core's 12-byte chunk header):
//   "ZUNA .AIS FILE" (14 bytes, no terminator), u32 version 1, the root node, then one raw
//   block chunk per "RawData" node in the order the nodes were read (depth first, children in
//   order).
//   node       0x10001: struct chunk (type 1, length 260: label[128], name[128], u32 child
//              count), then the child encodings
//   leaf       0x10002: length 256: name[128], value[128]
//   reference  0x10003: length 4: u32 block size; the node is named "RawData"
//   raw block  0x10004: the block's bytes
// Text fields are NUL-padded. A chunk of any other type in the tree leaves its node empty; only its
// header is read, and the next element is read where the header ends.
//
// The reader reads the tree through a stream the host opened (and closes after the world has
// been created) and later streams each raw block out of the same input, on request of the
// data loaders, which open blocks in increasing order, each once. Blocks may also live in
// memory (AttachMemoryBlock), so that trees built in code can carry data blocks.
//
// Raw data records belong to the reader: a node only points to its record, and copies of the
// node point to the same record. Records stay valid until the reader is destroyed, so no
// node ever refers to released memory while the reader lives; records of a file that was
// replaced by a later ReadHeader are refused by OpenRawData.

#include <cstdint>

#include "ai/runtime/engine_object.h"

class CConfigNode;
struct OvStream;

// Raw data record of a "RawData" node.
struct CRawDataRecord {
    std::uint32_t inMemory; // 1: block held in memory, 0: block of the file
    std::uint32_t ordinal;  // file blocks: 0 for the first "RawData" node read, then 1, 2 ...
    std::uint32_t file;     // file blocks: number of the ReadHeader call that read the node
    std::uint8_t* data;     // in-memory blocks: the reader's copy of the bytes
    std::uint32_t size;     // in-memory blocks: bytes at data
    CRawDataRecord* next;   // next record owned by the same reader
};

class CAisReader : public CEngineObject {
public:
    static constexpr char kMagic[] = "ZUNA .AIS FILE"; // 14 characters, stored without terminator
    static constexpr std::uint32_t kMagicSize = 14;
    static constexpr std::uint32_t kVersion = 1;
    static constexpr std::uint32_t kChunkNode = 0x10001;
    static constexpr std::uint32_t kChunkLeaf = 0x10002;
    static constexpr std::uint32_t kChunkReference = 0x10003;
    static constexpr std::uint32_t kChunkRawBlock = 0x10004;
    static constexpr std::uint32_t kChunkStruct = 1;
    static constexpr std::uint32_t kTextField = 128;                     // bytes of a label, name or value field
    static constexpr std::uint32_t kNodeStructSize = 2 * kTextField + 4; // 260
    static constexpr std::uint32_t kLeafSize = 2 * kTextField;           // 256
    static constexpr std::uint32_t kReferenceSize = 4;
    static constexpr std::uint32_t kMaxDepth = 256;      // deepest node nesting read
    static constexpr std::uint32_t kDiscardPiece = 4096; // bytes per read when skipping a block

    CAisReader() = default;
    CAisReader(const CAisReader&) = delete;
    CAisReader& operator=(const CAisReader&) = delete;
    // Releases every raw data record (and in-memory copy) this reader made.
    ~CAisReader() override;

    // Reads the magic, the version and the tree into root (which should be empty) and keeps
    // the stream for the raw blocks. false for a null stream or root, a wrong magic or
    // version, or a malformed tree; root keeps the nodes read so far.
    virtual bool ReadHeader(OvStream* stream, CConfigNode* root);
    // Opens the block of a "RawData" node. A file block further on is reached by skipping
    // the blocks before it; a block that lies behind the stream's position is refused without
    // reading anything. false when the node has no record of this reader, the record belongs
    // to a file read before the current one, or the block cannot be reached.
    virtual bool OpenRawData(CConfigNode* node);
    // Copies up to size bytes of the open block of node into buffer; the bytes copied (0 when
    // node's block is not the open one or nothing is left).
    virtual std::uint32_t ReadRawData(CConfigNode* node, void* buffer, std::uint32_t size);
    // Skips what is left of node's open block and closes it.
    virtual void CloseRawData(CConfigNode* node);
    // Size of the open block (0 when none is open).
    virtual std::uint32_t GetRawDataSize(CConfigNode* node);
    // Bytes of node's open block that are really there to be read: what is left of an
    // in-memory block, or of a file block what is left of it and of the memory stream it is read
    // from. false when no block of node is open or the stream cannot tell (a file block's size is
    // the file's own word, which a damaged file overstates).
    bool GetRawDataHeld(CConfigNode* node, std::uint32_t* held) const;
    // Reads one node encoding into node (children are appended to it). false on malformed
    // input; the nodes read so far stay in place.
    virtual bool ReadNode(CConfigNode* node);

    // Gives node an in-memory block: a copy of size bytes at data (size 0 allowed), and the
    // node's raw data size. The node keeps its name; callers name it "RawData". false when
    // node is null, data is null with size not 0, or memory runs out (node unchanged).
    bool AttachMemoryBlock(CConfigNode* node, const void* data, std::uint32_t size);

    // Number of raw data records this reader owns.
    std::uint32_t GetRecordCount() const { return m_recordCount; }

private:
    CRawDataRecord* NewRecord();
    bool Owns(const CRawDataRecord* record) const;
    // Reads and discards what is left of the open file block; false when the input ended
    // first. The block is closed either way.
    bool DiscardOpenBlock();

    OvStream* m_stream = nullptr;        // input of the current file (not owned)
    std::uint32_t m_remaining = 0;       // bytes left in the open block
    std::uint32_t m_total = 0;           // size of the open block
    CRawDataRecord* m_open = nullptr;    // record of the open block, null when none
    std::uint32_t m_blockCounter = 0;    // ordinal of the next file block in the stream
    std::uint32_t m_file = 0;            // number of the current file (ReadHeader calls)
    std::uint32_t m_depth = 0;           // nesting of the node being read
    CRawDataRecord* m_records = nullptr; // every record made, newest first
    std::uint32_t m_recordCount = 0;     // entries of m_records
};

namespace Vusk {

// Reads an AI world file from an open input stream into a new tree with the engine's reader
// (created on first use). The root is returned also when reading failed part way (it then
// holds what was read); null only when no root or reader could be allocated. The stream must
// stay open while raw blocks are read from the tree.
CConfigNode* LoadAisFile(OvStream* stream);
// The engine's world file reader, created on first use; null when it cannot be allocated.
CAisReader* GetAisReader();
// Deletes the engine's reader and its records; part of the engine's shut-down. Worlds keep the reader
// they were made with (CWorld::GetReader) and read their trees' raw blocks through it, and the trees'
// "RawData" nodes name its records: no world may be left, and the trees read through it have no raw
// data any more.
void ReleaseAisReader();

} // namespace Vusk
