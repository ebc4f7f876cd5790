#include "ai/runtime/ais_reader.h"

#include <algorithm>
#include <functional>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "ai/runtime/engine.h"
#include "graphics/core/error.h"
#include "graphics/core/stream.h"
#include "graphics/core/testkit/engine_fixture.h"
#include "testing/fake_ai_host.h"
#include "tools/ais_format/ais_format.h"
#include "tools/ais_format/tests/ais_test_kit.h"

namespace {

using namespace aistest;

// Every test runs with the AI engine on the fake host and the graphics engine on the null
// driver (the reader needs its streams).
class AisReaderTest : public AiEngineTest {
protected:
    void SetUp() override {
        AiEngineTest::SetUp();
        ASSERT_TRUE(OvTestEngineUp());
    }
    // The engine's shut-down (AiEngineTest) deletes the reader and its records.
    void TearDown() override {
        OvError ignored;
        OvErrorGet(&ignored);
        EXPECT_TRUE(OvTestEngineDown());
        AiEngineTest::TearDown();
    }
};
AI_ENGINE_TEST_SUITE(AisReaderTest);

// A read stream over a copy of the bytes, closed when it goes.
class MemoryStream {
public:
    explicit MemoryStream(Bytes bytes) : m_bytes(std::move(bytes)) {
        OvMemory memory{m_bytes.data(), static_cast<OvUInt32>(m_bytes.size())};
        m_stream = OvStreamOpen(ovSTREAMMEMORY, ovSTREAMREAD, &memory);
    }
    ~MemoryStream() { OvStreamClose(m_stream, nullptr); }
    MemoryStream(const MemoryStream&) = delete;
    MemoryStream& operator=(const MemoryStream&) = delete;
    OvStream* Get() const { return m_stream; }

private:
    Bytes m_bytes;
    OvStream* m_stream = nullptr;
};

struct TreeDeleter {
    void operator()(CConfigNode* node) const { Vusk::DeleteTree(node); }
};
using Tree = std::unique_ptr<CConfigNode, TreeDeleter>;

// The tree the engine read, in the model's terms (RawData nodes carry their ordinal).
AisFormat::Node ToModel(const CConfigNode* node) {
    AisFormat::Node out;
    auto text = [](const char* s) { return s != nullptr ? std::string(s) : std::string(); };
    if (node->GetRawData() != nullptr) {
        out.kind = Kind::RawData;
        out.block = node->GetRawData()->ordinal;
    } else if (node->GetValue() != nullptr) {
        out.kind = Kind::Leaf;
        out.name = text(node->GetName());
        out.value = text(node->GetValue());
    } else {
        out.label = text(node->GetLabel());
        out.name = text(node->GetName());
        for (std::uint32_t i = 0; i < node->GetChildCount(); ++i)
            out.children.push_back(ToModel(node->GetChild(i)));
    }
    return out;
}

void ZeroSizes(AisFormat::Node& node) {
    node.size = 0;
    for (auto& child : node.children)
        ZeroSizes(child);
}

std::string ModelText(AisFormat::Node node) {
    ZeroSizes(node);
    return AisFormat::FormatText(node);
}

// Opens and reads a block completely; the bytes, or nothing when the open failed.
bool ReadBlock(CAisReader* reader, CConfigNode* node, Bytes& out) {
    out.clear();
    if (!reader->OpenRawData(node))
        return false;
    std::uint8_t piece[777];
    while (std::uint32_t got = reader->ReadRawData(node, piece, sizeof(piece)))
        out.insert(out.end(), piece, piece + got);
    reader->CloseRawData(node);
    return true;
}

void CollectRaw(CConfigNode* node, std::vector<CConfigNode*>& out) {
    if (node->GetRawData() != nullptr)
        out.push_back(node);
    for (std::uint32_t i = 0; i < node->GetChildCount(); ++i)
        CollectRaw(node->GetChild(i), out);
}

// Loads a file and reads every raw block in order; returns the total bytes read. Used by the
// sweeps, whose only demand is that this ends and leaves nothing behind.
std::size_t LoadAndDrain(const Bytes& bytes) {
    MemoryStream stream(bytes);
    Tree root(Vusk::LoadAisFile(stream.Get()));
    EXPECT_NE(root.get(), nullptr);
    if (root == nullptr)
        return 0;
    std::vector<CConfigNode*> raws;
    CollectRaw(root.get(), raws);
    std::size_t total = 0;
    Bytes block;
    for (CConfigNode* raw : raws) {
        if (ReadBlock(Vusk::GetAisReader(), raw, block))
            total += block.size();
    }
    return total;
}

TEST_P(AisReaderTest, WrongMagicVersionOrLeafLengthFailTheRead) {
    AisFormat::Document doc;
    doc.root = Branch("L", "World", {Leaf("Tpf", "20")});
    const Bytes good = Encode(doc);
    CAisReader* reader = Vusk::GetAisReader();
    ASSERT_NE(reader, nullptr);

    // Any byte of the magic changed, or version 2: an empty tree.
    for (std::size_t i = 0; i <= 14; ++i) {
        Bytes bad = good;
        bad[i] = i < 14 ? bad[i] ^ 0x20 : 2;
        MemoryStream stream(bad);
        Tree root(Vusk::LoadAisFile(stream.Get()));
        ASSERT_NE(root.get(), nullptr);
        EXPECT_EQ(root->GetName(), nullptr) << i;
        EXPECT_EQ(root->GetChildCount(), 0u) << i;
    }

    // Leaf chunk length 255: the tree keeps the node read so far, the read fails.
    Bytes shortLeaf = good;
    const std::size_t leafLength = 18 + 12 + 12 + 260 + 4;
    ASSERT_EQ(shortLeaf[leafLength], 0x00);
    ASSERT_EQ(shortLeaf[leafLength + 1], 0x01);
    shortLeaf[leafLength] = 0xFF;
    shortLeaf[leafLength + 1] = 0x00;
    MemoryStream stream3(shortLeaf);
    Tree root3(new CConfigNode());
    EXPECT_FALSE(reader->ReadHeader(stream3.Get(), root3.get()));
    EXPECT_STREQ(root3->GetLabel(), "L");
    ASSERT_EQ(root3->GetChildCount(), 1u);
    EXPECT_EQ(root3->GetChild(0)->GetName(), nullptr);

    // No stream or no root.
    Tree empty(Vusk::LoadAisFile(nullptr));
    EXPECT_EQ(empty->GetChildCount(), 0u);
    EXPECT_FALSE(reader->ReadHeader(stream3.Get(), nullptr));
}

TEST_P(AisReaderTest, RawBlocksAreReachedForwardOnlyAndBackwardRequestsConsumeNothing) {
    AisFormat::Document doc = ThreeBlocks(100, 200, 300);
    doc.root.children.push_back(Raw());
    doc.blocks.push_back(Pattern(400, 4));
    MemoryStream stream(Encode(doc));
    Tree root(Vusk::LoadAisFile(stream.Get()));
    std::vector<CConfigNode*> raws;
    CollectRaw(root.get(), raws);
    ASSERT_EQ(raws.size(), 4u);
    CAisReader* reader = Vusk::GetAisReader();
    for (std::uint32_t i = 0; i < 4; ++i)
        EXPECT_EQ(raws[i]->GetRawData()->ordinal, i);

    // The third block first: the first two are passed over.
    ASSERT_TRUE(reader->OpenRawData(raws[2]));
    EXPECT_EQ(reader->GetRawDataSize(raws[2]), 300u);
    EXPECT_EQ(reader->GetRawDataSize(raws[0]), 0u);
    std::uint8_t head[10];
    ASSERT_EQ(reader->ReadRawData(raws[2], head, 10), 10u);
    EXPECT_TRUE(std::equal(head, head + 10, doc.blocks[2].begin()));
    // Reading through another node gives nothing.
    EXPECT_EQ(reader->ReadRawData(raws[1], head, 10), 0u);
    // The first and second lie behind: refused. The rest of the third, left open, is passed
    // over, and nothing of the fourth is consumed by the refusals.
    Bytes block;
    EXPECT_FALSE(reader->OpenRawData(raws[0]));
    EXPECT_FALSE(reader->OpenRawData(raws[1]));
    ASSERT_TRUE(ReadBlock(reader, raws[3], block));
    EXPECT_EQ(block, doc.blocks[3]);
    EXPECT_FALSE(reader->OpenRawData(raws[3])) << "each block once";
    EXPECT_FALSE(reader->OpenRawData(nullptr));
    EXPECT_FALSE(reader->OpenRawData(root.get())) << "a node without record";
}

TEST_P(AisReaderTest, BlockOf10000BytesComesIn4096BytePiecesFromFileAndMemory) {
    AisFormat::Document doc;
    doc.root = Branch("", "World", {Raw()});
    doc.blocks = {Pattern(10000, 9)};
    MemoryStream stream(Encode(doc));
    Tree root(Vusk::LoadAisFile(stream.Get()));
    CAisReader* reader = Vusk::GetAisReader();
    CConfigNode* raw = root->GetChild(0);

    CConfigNode* memory = root->AddChild();
    memory->SetName("RawData");
    ASSERT_TRUE(reader->AttachMemoryBlock(memory, doc.blocks[0].data(), 10000));

    for (CConfigNode* node : {raw, memory}) {
        ASSERT_TRUE(reader->OpenRawData(node));
        EXPECT_EQ(reader->GetRawDataSize(node), 10000u);
        Bytes got;
        std::vector<std::uint32_t> counts;
        std::vector<std::uint8_t> piece(4096);
        for (int i = 0; i < 4; ++i) {
            counts.push_back(reader->ReadRawData(node, piece.data(), 4096));
            got.insert(got.end(), piece.begin(), piece.begin() + counts.back());
        }
        EXPECT_EQ(counts, (std::vector<std::uint32_t>{4096, 4096, 1808, 0}));
        EXPECT_EQ(got, doc.blocks[0]);
        reader->CloseRawData(node);
        EXPECT_EQ(reader->GetRawDataSize(node), 0u);
    }
    // A memory block can be opened again; it is not part of the stream.
    Bytes block;
    ASSERT_TRUE(ReadBlock(reader, memory, block));
    EXPECT_EQ(block, doc.blocks[0]);

    // Copies of the node share the record; an empty block is allowed; bad arguments are not.
    CConfigNode* copy = root->AddChildCopy(memory);
    ASSERT_TRUE(ReadBlock(reader, copy, block));
    EXPECT_EQ(block.size(), 10000u);
    CConfigNode* empty = root->AddChild();
    ASSERT_TRUE(reader->AttachMemoryBlock(empty, nullptr, 0));
    ASSERT_TRUE(ReadBlock(reader, empty, block));
    EXPECT_TRUE(block.empty());
    EXPECT_FALSE(reader->AttachMemoryBlock(empty, nullptr, 4));
    EXPECT_FALSE(reader->AttachMemoryBlock(nullptr, "x", 1));
}

TEST_P(AisReaderTest, EachLoadNumbersItsBlocksFromZeroAndOlderFilesAreRefused) {
    AisFormat::Document first = ThreeBlocks(8, 16, 24);
    MemoryStream stream1(Encode(first));
    Tree tree1(Vusk::LoadAisFile(stream1.Get()));
    std::vector<CConfigNode*> raws1;
    CollectRaw(tree1.get(), raws1);
    CAisReader* reader = Vusk::GetAisReader();
    ASSERT_TRUE(reader->OpenRawData(raws1[1])); // moves the block counter on

    // A file that fails at the magic does not disturb the numbering either.
    Bytes bad = Encode(first);
    bad[0] = 'X';
    MemoryStream badStream(bad);
    Tree badTree(Vusk::LoadAisFile(badStream.Get()));

    AisFormat::Document second = ThreeBlocks(5, 6, 7);
    MemoryStream stream2(Encode(second));
    Tree tree2(Vusk::LoadAisFile(stream2.Get()));
    std::vector<CConfigNode*> raws2;
    CollectRaw(tree2.get(), raws2);
    ASSERT_EQ(raws2.size(), 3u);
    for (std::uint32_t i = 0; i < 3; ++i) {
        EXPECT_EQ(raws2[i]->GetRawData()->ordinal, i);
        Bytes block;
        ASSERT_TRUE(ReadBlock(reader, raws2[i], block)) << i;
        EXPECT_EQ(block, second.blocks[i]);
    }
    // The first file's nodes still point to live records, which are refused now.
    EXPECT_FALSE(reader->OpenRawData(raws1[2]));
    EXPECT_EQ(reader->GetRecordCount(), 6u);
}

TEST_P(AisReaderTest, MalformedFieldsAndChunksAreHandledSafely) {
    CAisReader* reader = Vusk::GetAisReader();
    // Text fields without a terminating NUL keep all 128 bytes and are terminated.
    Builder unterminated;
    unterminated.Magic().Node(std::string(127, 'L'), "World", 1, 540).Header(0x10002, 256);
    unterminated.bytes.insert(unterminated.bytes.end(), 256, 'B');
    unterminated.bytes[18 + 24 + 127] = 'L'; // the label's last byte, its NUL, too
    {
        MemoryStream stream(unterminated.bytes);
        Tree root(Vusk::LoadAisFile(stream.Get()));
        EXPECT_EQ(std::string(root->GetLabel()), std::string(128, 'L'));
        ASSERT_EQ(root->GetChildCount(), 1u);
        EXPECT_EQ(std::string(root->GetChild(0)->GetName()), std::string(128, 'B'));
        EXPECT_EQ(std::string(root->GetChild(0)->GetValue()), std::string(128, 'B'));
    }
    // A chunk of unknown type leaves its node empty and is read no further than its header: the
    // next child is read from its body.
    Builder unknown;
    unknown.Magic().Node("", "World", 2, 0).Header(0x12345, 268).Leaf("Tpf", "20");
    {
        MemoryStream stream(unknown.bytes);
        Tree root(new CConfigNode());
        EXPECT_TRUE(reader->ReadHeader(stream.Get(), root.get()));
        ASSERT_EQ(root->GetChildCount(), 2u);
        EXPECT_EQ(root->GetChild(0)->GetName(), nullptr);
        EXPECT_STREQ(root->GetChildValue("Tpf"), "20");
    }
    // Struct chunks other than type 1 of 260 bytes and references other than 4 bytes fail.
    for (auto [type, length] : {std::pair{1u, 261u}, std::pair{1u, 259u}, std::pair{2u, 260u}}) {
        Builder b;
        b.Magic().Header(0x10001, 0).Header(type, length).Field("").Field("World").U32(0);
        MemoryStream stream(b.bytes);
        Tree root(new CConfigNode());
        EXPECT_FALSE(reader->ReadHeader(stream.Get(), root.get())) << type << " " << length;
    }
    for (std::uint32_t length : {0u, 3u, 5u, 8u}) {
        Builder b;
        b.Magic().Node("", "World", 1, 0).Header(0x10003, length).U32(1).U32(2);
        MemoryStream stream(b.bytes);
        Tree root(new CConfigNode());
        EXPECT_FALSE(reader->ReadHeader(stream.Get(), root.get())) << length;
    }
    // A hostile child count ends at the first child that cannot be read.
    Builder many;
    many.Magic().Node("", "World", 0xFFFFFFFFu, 0).Leaf("a", "1").Leaf("b", "2");
    {
        MemoryStream stream(many.bytes);
        Tree root(new CConfigNode());
        EXPECT_FALSE(reader->ReadHeader(stream.Get(), root.get()));
        EXPECT_EQ(root->GetChildCount(), 3u);
    }
    // Nesting: 256 levels are read, 257 are refused without exhausting the stack.
    for (std::uint32_t levels : {256u, 257u, 5000u}) {
        Builder nested;
        nested.Magic();
        for (std::uint32_t i = 0; i < levels; ++i)
            nested.Node("", "N", i + 1 < levels ? 1 : 0, 0);
        MemoryStream stream(nested.bytes);
        Tree root(new CConfigNode());
        EXPECT_EQ(reader->ReadHeader(stream.Get(), root.get()), levels <= 256) << levels;
    }
}

// A file whose chunk type is damaged anywhere, in the tree or in front of a block, is not read as
// written: the tree does not read to its end or some block cannot be read back (which the host's
// loaders report), and the tools' decoder refuses it too.
TEST_P(AisReaderTest, ADamagedChunkTypeIsNeverReadAsWritten) {
    AisFormat::Document doc;
    doc.root = Branch(
        "", "World",
        {Leaf("MaxEntity", "8"), Leaf("Tpf", "20"),
         Branch("", "Services",
                {Branch("Graphs", "Service",
                        {Leaf("Class", "CGraphManager"),
                         Branch("MoveGraph", "Graph",
                                {Raw(), Branch("", "AdditionalData", {Leaf("Class", "CFindNearestData"), Raw()})})})}),
         Branch("", "Entities", {Branch("Bot", "Entity", {Leaf("Class", "CBot"), Leaf("Brain", "Soldier")})})});
    doc.blocks = {Pattern(85, 1), Pattern(300, 2)};
    const Bytes good = Encode(doc);
    // Offsets of every chunk header: the tree's (nodes, their struct chunks, leaves, references), then
    // the blocks'.
    std::vector<std::size_t> chunks;
    std::size_t at = 18;
    std::function<void()> walk = [&] {
        const std::uint32_t type = good[at] | good[at + 1] << 8 | good[at + 2] << 16 | good[at + 3] << 24;
        chunks.push_back(at);
        if (type == 0x10001) {
            chunks.push_back(at + 12);
            const std::size_t count = good[at + 24 + 256] | good[at + 24 + 257] << 8;
            at += 24 + 260;
            for (std::size_t i = 0; i < count; ++i)
                walk();
        } else {
            at += type == 0x10002 ? 12 + 256 : 12 + 4;
        }
    };
    walk();
    for (const Bytes& block : doc.blocks) {
        chunks.push_back(at);
        at += 12 + block.size();
    }
    ASSERT_EQ(at, good.size());
    for (std::size_t offset : chunks) {
        Bytes bad = good;
        bad[offset] ^= 0x40; // no type the reader knows
        MemoryStream stream(bad);
        Tree root(new CConfigNode());
        bool asWritten = Vusk::GetAisReader()->ReadHeader(stream.Get(), root.get());
        std::vector<CConfigNode*> raws;
        CollectRaw(root.get(), raws);
        asWritten = asWritten && raws.size() == doc.blocks.size();
        Bytes block;
        for (std::size_t i = 0; asWritten && i < raws.size(); ++i)
            asWritten = ReadBlock(Vusk::GetAisReader(), raws[i], block) && block == doc.blocks[i];
        EXPECT_FALSE(asWritten) << "type damaged at " << offset;
        AisFormat::Document decoded;
        std::string error;
        EXPECT_FALSE(AisFormat::Decode(bad.data(), bad.size(), decoded, error)) << offset;
    }
}

TEST_P(AisReaderTest, TruncatedBlocksEndTheSkipInsteadOfLooping) {
    AisFormat::Document doc = ThreeBlocks(10000, 20, 30);
    Bytes bytes = Encode(doc);
    const std::size_t firstBlockBody = bytes.size() - (10000 + 20 + 30 + 2 * 12);
    bytes.erase(bytes.begin() + static_cast<std::ptrdiff_t>(firstBlockBody + 5000), bytes.end());
    MemoryStream stream(bytes);
    Tree root(Vusk::LoadAisFile(stream.Get()));
    std::vector<CConfigNode*> raws;
    CollectRaw(root.get(), raws);
    CAisReader* reader = Vusk::GetAisReader();
    EXPECT_FALSE(reader->OpenRawData(raws[1])) << "block 0 ends early: block 1 cannot be reached";

    MemoryStream stream2(bytes);
    Tree root2(Vusk::LoadAisFile(stream2.Get()));
    raws.clear();
    CollectRaw(root2.get(), raws);
    Bytes block;
    ASSERT_TRUE(ReadBlock(reader, raws[0], block));
    EXPECT_EQ(block.size(), 5000u);
    EXPECT_FALSE(reader->OpenRawData(raws[2]));
}

// Every prefix of a valid file fails short of its blocks; every 32-bit slot after the magic (chunk
// types, lengths, stamps, child counts, references: the text fields and blocks are multiples of
// four bytes) overwritten with hostile values, and every byte flipped, never hangs or leaks.
TEST_P(AisReaderTest, TruncatedOverwrittenAndFlippedFilesFailCleanly) {
    AisFormat::Document doc = ThreeBlocks(40, 0, 52);
    doc.root.children.push_back(Branch("Deep", "Entity", {Leaf("Class", "CDefaultEntityClass"), Raw()}));
    doc.blocks.push_back(Pattern(16, 5));
    const Bytes good = Encode(doc);
    std::size_t blockBytes = 0;
    for (const auto& block : doc.blocks)
        blockBytes += block.size();
    ASSERT_EQ(LoadAndDrain(good), blockBytes);
    for (std::size_t n = 0; n < good.size(); ++n)
        EXPECT_LT(LoadAndDrain(Bytes(good.begin(), good.begin() + static_cast<std::ptrdiff_t>(n))), blockBytes) << n;
    const std::uint32_t values[] = {0, 1, 4, 255, 256, 260, 0x10001, 0x10002, 0x10003, 0x10004, 0x7FFFFFFF, 0xFFFFFFFF};
    for (std::size_t at = 14; at + 4 <= good.size(); at += 4) {
        for (std::uint32_t v : values) {
            Bytes bad = good;
            for (int i = 0; i < 4; ++i)
                bad[at + static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(v >> (8 * i));
            LoadAndDrain(bad);
        }
    }
    for (std::size_t at = 0; at < good.size(); ++at) {
        Bytes bad = good;
        bad[at] ^= 0xFF;
        LoadAndDrain(bad);
    }
}

// The model, the writer, the canonical decoder and the engine's reader agree on random trees.
TEST_P(AisReaderTest, RandomTreesSurviveWriterDecoderAndReader) {
    std::mt19937 random(77);
    auto below = [&](std::uint32_t n) { return static_cast<std::uint32_t>(random() % n); };
    auto text = [&]() {
        std::string s(below(4) == 0 ? 127 : below(12), 'x');
        for (char& c : s)
            c = static_cast<char>(1 + below(255));
        return s;
    };
    for (int round = 0; round < 40; ++round) {
        AisFormat::Document doc;
        std::function<void(AisFormat::Node&, int)> fill = [&](AisFormat::Node& node, int depth) {
            node.label = text();
            node.name = text();
            for (std::uint32_t i = depth < 3 ? below(5) : 0; i > 0; --i) {
                std::uint32_t kind = below(3);
                if (kind == 0) {
                    node.children.emplace_back();
                    fill(node.children.back(), depth + 1);
                } else if (kind == 1) {
                    node.children.push_back(Raw());
                    doc.blocks.push_back(Pattern(below(3000), below(1000)));
                } else {
                    node.children.push_back(Leaf(text(), text()));
                }
            }
        };
        fill(doc.root, 0);
        const Bytes bytes = Encode(doc);

        AisFormat::Document decoded;
        std::string error;
        ASSERT_TRUE(AisFormat::Decode(bytes.data(), bytes.size(), decoded, error)) << error;
        EXPECT_EQ(Encode(decoded), bytes);
        EXPECT_EQ(decoded.blocks, doc.blocks);

        MemoryStream stream(bytes);
        Tree root(Vusk::LoadAisFile(stream.Get()));
        AisFormat::Node expected = decoded.root;
        EXPECT_EQ(ModelText(ToModel(root.get())), ModelText(expected)) << round;
        std::vector<CConfigNode*> raws;
        CollectRaw(root.get(), raws);
        ASSERT_EQ(raws.size(), doc.blocks.size());
        for (std::size_t i = 0; i < raws.size(); ++i) {
            Bytes block;
            ASSERT_TRUE(ReadBlock(Vusk::GetAisReader(), raws[i], block));
            EXPECT_EQ(block, doc.blocks[i]);
        }
    }
}

} // namespace
