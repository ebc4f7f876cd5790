// Streams over memory, files and callbacks; chunk headers, stamps, values and strings.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <unistd.h>

#include "graphics/core/chunk.h"
#include "graphics/core/error.h"
#include "graphics/core/file_system.h"
#include "graphics/core/stream.h"
#include "graphics/core/testkit/engine_test.h"
#include "graphics/core/tests/started_engine.h"

namespace {

using Bytes = std::vector<OvUInt8>;

// Writes a small file of chunks: a string, a wide string, an extension chunk holding one
// sub-chunk, values.
void WriteSample(OvStream* s) {
    ASSERT_NE(OvStringStreamWrite("texture", s), nullptr);
    ASSERT_NE(OvStreamWriteChunkHeader(s, ovID_UNICODESTRING, 6, ovLIBRARYVERSION, ovLIBRARYBUILD), nullptr);
    const OvUInt8 wide[] = {'m', 0, 'k', 0, 0, 0};
    ASSERT_NE(OvStreamWrite(s, wide, sizeof(wide)), nullptr);
    ASSERT_NE(OvStreamWriteChunkHeader(s, ovID_EXTENSION, 12 + 8, ovLIBRARYVERSION, ovLIBRARYBUILD), nullptr);
    ASSERT_NE(OvStreamWriteChunkHeader(s, 0x120, 8, ovLIBRARYVERSION, ovLIBRARYBUILD), nullptr);
    const OvInt32 ints[] = {-1, 0x01020304};
    ASSERT_NE(OvStreamWriteInt32(s, ints, sizeof(ints)), nullptr);
    ASSERT_NE(OvStreamWriteChunkHeader(s, ovID_STRUCT, 12, ovLIBRARYVERSION, ovLIBRARYBUILD), nullptr);
    const float reals[] = {1.5f, -2.0f, 0.25f};
    ASSERT_NE(OvStreamWriteReals(s, reals, sizeof(reals)), nullptr);
}

// Parses the sample as a loader would; false on the first failure.
bool ParseSample(OvStream* s) {
    char* name = OvStringStreamRead(nullptr, s);
    if (name == nullptr) {
        return false;
    }
    const bool nameOk = std::strcmp(name, "texture") == 0;
    OvFree(name);
    char mask[4];
    if (!nameOk || OvStringStreamReadBounded(mask, sizeof(mask), s) == nullptr || std::strcmp(mask, "mk") != 0) {
        return false;
    }
    OvUInt32 length = 0;
    if (!OvStreamFindChunk(s, ovID_STRUCT, &length, nullptr) || length != 12) {
        return false;
    }
    float reals[3];
    return OvStreamReadValues(s, reals, sizeof(reals)) != nullptr && reals[2] == 0.25f;
}

using StreamTest = OvEngineTest;

TEST_F(StreamTest, MemoryStreamsGrowAndHandOverTheirBuffer) {
    OvStream* s = OvStreamOpen(ovSTREAMMEMORY, ovSTREAMWRITE, nullptr);
    ASSERT_NE(s, nullptr);
    Bytes input(603);
    for (std::size_t i = 0; i < input.size(); ++i) {
        input[i] = static_cast<OvUInt8>(i * 13);
    }
    ASSERT_EQ(OvStreamWrite(s, input.data(), 3), s);
    EXPECT_EQ(s->Type.memory.nSize, 512u);
    ASSERT_EQ(OvStreamWrite(s, input.data() + 3, 600), s);
    EXPECT_EQ(s->Type.memory.nSize, 1112u);
    EXPECT_EQ(CloseWritten(s), input);

    // Append: the next byte lands behind the given block.
    auto* block = static_cast<OvUInt8*>(OvMalloc(100, 0));
    std::memset(block, 7, 100);
    OvMemory memory = {block, 100};
    s = OvStreamOpen(ovSTREAMMEMORY, ovSTREAMAPPEND, &memory);
    const OvUInt8 one = 1;
    ASSERT_EQ(OvStreamWrite(s, &one, 1), s);
    EXPECT_EQ(s->Type.memory.nSize, 612u);
    Bytes appended = CloseWritten(s);
    ASSERT_EQ(appended.size(), 101u);
    EXPECT_EQ(appended[99], 7);
    EXPECT_EQ(appended[100], 1);

    // A written stream closed without a descriptor releases its buffer.
    s = OvStreamOpen(ovSTREAMMEMORY, ovSTREAMWRITE, nullptr);
    OvStreamWrite(s, input.data(), 10);
    EXPECT_TRUE(OvStreamClose(s, nullptr));
}

TEST_F(StreamTest, ReadsAreCutAtTheEndAndSkipsStopThere) {
    Bytes data = {1, 2, 3, 4, 5, 6};
    OvStream* s = OpenRead(data, data.size());
    OvUInt8 buffer[10];
    EXPECT_EQ(OvStreamRead(s, buffer, 2), 2u);
    EXPECT_EQ(ClearError(), ovERRNOERROR);
    EXPECT_EQ(OvStreamRead(s, buffer, 10), 4u);
    EXPECT_EQ(buffer[3], 6);
    EXPECT_EQ(ClearError(), ovERRENDOFSTREAM);
    EXPECT_EQ(OvStreamSkip(s, 0), s);
    EXPECT_EQ(OvStreamSkip(s, 1), nullptr);
    EXPECT_EQ(ClearError(), ovERRENDOFSTREAM);
    OvStreamClose(s, nullptr);

    // A read stream does not write into the caller's block.
    s = OpenRead(data, data.size());
    EXPECT_EQ(OvStreamWrite(s, buffer, 1), nullptr);
    EXPECT_EQ(ClearError(), ovERRBADACCESS);
    OvStreamClose(s, nullptr);
}

TEST_F(StreamTest, BadTypesAndAccessesAreRefused) {
    ClearError();
    EXPECT_EQ(OvStreamOpen(7, ovSTREAMREAD, nullptr), nullptr);
    EXPECT_EQ(ClearError(), ovERRBADSTREAMTYPE);
    EXPECT_EQ(OvStreamOpen(ovSTREAMFILENAME, 4, "x"), nullptr);
    EXPECT_EQ(ClearError(), ovERRBADACCESS); // kept over the file error that follows it
    EXPECT_EQ(OvStreamOpen(ovSTREAMMEMORY, 4, nullptr), nullptr);
    EXPECT_EQ(ClearError(), ovERRBADACCESS);
    EXPECT_EQ(OvStreamOpen(ovSTREAMFILENAME, ovSTREAMREAD, "/nonexistent/file"), nullptr);
    EXPECT_EQ(ClearError(), ovERRFILEOPEN);
    OvFile unset = {};
    unset.positionLow = 0xFFFFFFFFu;
    EXPECT_EQ(OvStreamOpen(ovSTREAMFILE, ovSTREAMREAD, &unset), nullptr);
}

struct CustomLog {
    std::vector<OvUInt32> writes;
    Bytes bytes;
    OvUInt32 skipped = 0;
    bool closed = false;
};

TEST_F(StreamTest, CustomStreamsAndStagedRealWrites) {
    CustomLog log;
    OvStreamCustom custom = {
        [](void* d) {
            static_cast<CustomLog*>(d)->closed = true;
            return TRUE;
        },
        [](void*, void*, OvUInt32) -> OvUInt32 { return 0; },
        [](void* d, const void* buffer, OvUInt32 length) {
            auto* l = static_cast<CustomLog*>(d);
            l->writes.push_back(length);
            const auto* b = static_cast<const OvUInt8*>(buffer);
            l->bytes.insert(l->bytes.end(), b, b + length);
            return TRUE;
        },
        [](void* d, OvUInt32 length) {
            static_cast<CustomLog*>(d)->skipped += length;
            return TRUE;
        },
        &log,
    };
    OvStream* s = OvStreamOpen(ovSTREAMCUSTOM, ovSTREAMWRITE, &custom);
    ASSERT_NE(s, nullptr);
    std::vector<float> reals(300);
    for (std::size_t i = 0; i < reals.size(); ++i) {
        reals[i] = static_cast<float>(i) * 0.5f - 3.0f;
    }
    ASSERT_EQ(OvStreamWriteReals(s, reals.data(), 1200), s);
    EXPECT_EQ(log.writes, (std::vector<OvUInt32>{256, 256, 256, 256, 176}));
    ASSERT_EQ(log.bytes.size(), 1200u);
    EXPECT_EQ(std::memcmp(log.bytes.data(), reals.data(), 1200), 0);
    EXPECT_EQ(OvStreamWriteReals(s, reals.data(), 0), s);
    EXPECT_EQ(OvStreamSkip(s, 0), s);
    EXPECT_EQ(OvStreamSkip(s, 9), s);
    EXPECT_EQ(log.skipped, 9u);
    OvUInt8 byte;
    EXPECT_EQ(OvStreamRead(s, &byte, 1), 0u);
    EXPECT_TRUE(OvStreamClose(s, nullptr));
    EXPECT_TRUE(log.closed);
}

TEST_F(StreamTest, FileAndMemoryStreamsWriteTheSameBytes) {
    const std::string path =
        (std::filesystem::temp_directory_path() / ("gfx_core_stream_" + std::to_string(::getpid()))).string();
    OvStream* file = OvStreamOpen(ovSTREAMFILENAME, ovSTREAMWRITE, path.c_str());
    ASSERT_NE(file, nullptr);
    WriteSample(file);
    EXPECT_TRUE(OvStreamClose(file, nullptr));
    OvStream* memory = OvStreamOpen(ovSTREAMMEMORY, ovSTREAMWRITE, nullptr);
    WriteSample(memory);
    Bytes expected = CloseWritten(memory);
    std::ifstream in(path, std::ios::binary);
    Bytes written((std::istreambuf_iterator<char>(in)), {});
    EXPECT_EQ(written, expected);

    // Read back through a file stream, by name and over an open file.
    OvStream* s = OvStreamOpen(ovSTREAMFILENAME, ovSTREAMREAD, path.c_str());
    ASSERT_NE(s, nullptr);
    EXPECT_TRUE(ParseSample(s));
    EXPECT_TRUE(OvStreamClose(s, nullptr));
    OvFile* open = OvFSManagerFopen(path.c_str(), "rb");
    s = OvStreamOpen(ovSTREAMFILE, ovSTREAMREAD, open);
    ASSERT_NE(s, nullptr);
    EXPECT_TRUE(ParseSample(s));
    EXPECT_TRUE(OvStreamClose(s, nullptr));
    OvFSManagerFclose(open);
    std::filesystem::remove(path);
}

TEST_F(StreamTest, StampsPackAndUnpack) {
    EXPECT_EQ(OvChunkStampPack(0x35000, 22), 0x14000016u);
    EXPECT_EQ(OvChunkStampPack(0x37002, 22), 0x1C020016u);
    OvUInt32 version = 0;
    OvUInt32 build = 0;
    OvChunkStampUnpack(0x0310, &version, &build);
    EXPECT_EQ(version, 0x31000u);
    EXPECT_EQ(build, 0u);
    // Worked by hand: (0x3FFFF >> 14) & 0x3FF00 = 0, so the version is 0x30000 + 3.
    OvChunkStampUnpack(0x3FFFF, &version, &build);
    EXPECT_EQ(version, 0x30003u);
    EXPECT_EQ(build, 0xFFFFu);
    EXPECT_FALSE(OvChunkVersionAccepted(version));
    OvChunkStampUnpack(0x14000016, &version, &build);
    EXPECT_EQ(version, 0x35000u);
    EXPECT_EQ(build, 22u);
    for (OvUInt32 v = 0x35000; v <= 0x37002; ++v) {
        if ((v & 0xFF) >= 64) {
            continue;
        }
        OvChunkStampUnpack(OvChunkStampPack(v, v & 0xFFFF), &version, &build);
        ASSERT_EQ(version, v);
        ASSERT_EQ(build, v & 0xFFFF);
        ASSERT_TRUE(OvChunkVersionAccepted(version));
    }
    EXPECT_FALSE(OvChunkVersionAccepted(0x37003));
    EXPECT_FALSE(OvChunkVersionAccepted(0x34FFF));
}

TEST_F(StreamTest, ChunkHeadersAndSearch) {
    OvStream* s = OvStreamOpen(ovSTREAMMEMORY, ovSTREAMWRITE, nullptr);
    OvStringStreamWrite("abc", s);
    OvStreamWriteChunkHeader(s, ovID_EXTENSION, 4, 0x37002, 22);
    const OvInt32 body = 99;
    OvStreamWriteInt32(s, &body, 4);
    OvStreamWriteChunkHeader(s, 0x55, 0, 0x31000, 0); // refused version
    Bytes bytes = CloseWritten(s);
    const Bytes header = {2, 0, 0, 0, 4, 0, 0, 0, 0x16, 0, 0x02, 0x1C, 'a', 'b', 'c', 0};
    EXPECT_EQ(Bytes(bytes.begin(), bytes.begin() + 16), header);

    s = OpenRead(bytes, bytes.size());
    OvChunkHeaderInfo info = {};
    EXPECT_EQ(OvStreamReadChunkHeaderInfo(s, &info), s);
    EXPECT_EQ(info.type, 2u);
    EXPECT_EQ(info.length, 4u);
    EXPECT_EQ(info.version, 0x37002u);
    EXPECT_EQ(info.buildNum, 22u);
    EXPECT_FALSE(info.isComplex);
    OvStreamClose(s, nullptr);

    s = OpenRead(bytes, bytes.size());
    OvUInt32 length = 0;
    OvUInt32 version = 0;
    ASSERT_TRUE(OvStreamFindChunk(s, ovID_EXTENSION, &length, &version));
    EXPECT_EQ(length, 4u);
    EXPECT_EQ(version, 0x37002u);
    OvInt32 value = 0;
    ASSERT_EQ(OvStreamReadValues(s, &value, 4), s); // at the body
    EXPECT_EQ(value, 99);
    ClearError();
    EXPECT_FALSE(OvStreamFindChunk(s, 0x55, nullptr, nullptr));
    EXPECT_EQ(ClearError(), ovERRBADVERSION);
    EXPECT_FALSE(OvStreamFindChunk(s, 0x55, nullptr, nullptr)); // nothing left
    EXPECT_EQ(ClearError(), ovERRENDOFSTREAM);
    OvStreamClose(s, nullptr);
}

TEST_F(StreamTest, StringChunksPadAndReadBack) {
    EXPECT_EQ(OvStringStreamGetSize(nullptr), 4u);
    EXPECT_EQ(OvStringStreamGetSize("abcd"), 8u);
    const std::string name31(31, 'n');
    EXPECT_EQ(OvStringStreamGetSize(name31.c_str()), 32u);

    OvStream* s = OvStreamOpen(ovSTREAMMEMORY, ovSTREAMWRITE, nullptr);
    EXPECT_STREQ(OvStringStreamWrite(nullptr, s), "");
    OvStringStreamWrite("abcd", s);
    OvStringStreamWrite(name31.c_str(), s);
    // A wide string chunk A, U+0100, B and a NUL: the character whose low byte alone is zero does
    // not end the string.
    OvStreamWriteChunkHeader(s, ovID_UNICODESTRING, 8, 0x37002, 22);
    const OvUInt8 wide[] = {'A', 0, 0, 1, 'B', 0, 0, 0};
    OvStreamWrite(s, wide, 8);
    Bytes bytes = CloseWritten(s);
    EXPECT_EQ(Bytes(bytes.begin(), bytes.begin() + 16),
              (Bytes{2, 0, 0, 0, 4, 0, 0, 0, 0x16, 0, 0x02, 0x1C, 0, 0, 0, 0}));
    EXPECT_EQ(Bytes(bytes.begin() + 16 + 12, bytes.begin() + 16 + 20), (Bytes{'a', 'b', 'c', 'd', 0, 0, 0, 0}));

    s = OpenRead(bytes, bytes.size());
    char* text = OvStringStreamRead(nullptr, s);
    EXPECT_STREQ(text, "");
    OvFree(text);
    char field[8];
    EXPECT_EQ(OvStringStreamReadBounded(field, sizeof(field), s), field);
    EXPECT_STREQ(field, "abcd");
    OvStreamClose(s, nullptr);
    // Into a buffer sized to the body: nothing is written behind it.
    s = OpenRead(bytes, bytes.size());
    OvStreamSkip(s, 16);
    char body[9];
    body[8] = '#';
    EXPECT_EQ(OvStringStreamRead(body, s), body);
    EXPECT_STREQ(body, "abcd");
    EXPECT_EQ(body[8], '#');
    char small[16];
    EXPECT_EQ(OvStringStreamReadBounded(small, sizeof(small), s), nullptr); // 32 bytes into 16
    EXPECT_EQ(ClearError(), ovERRREAD);
    OvStreamClose(s, nullptr);

    s = OpenRead(bytes, bytes.size());
    OvStreamSkip(s, 16 + 20 + 44);
    char wideText[8];
    std::memset(wideText, 'x', sizeof(wideText));
    EXPECT_EQ(OvStringStreamReadBounded(wideText, sizeof(wideText), s), wideText);
    EXPECT_EQ(std::string(wideText, 5), std::string("A?B\0\0", 5));
    OvStreamClose(s, nullptr);

    // A body without a terminator that fills the field exactly is refused.
    s = OvStreamOpen(ovSTREAMMEMORY, ovSTREAMWRITE, nullptr);
    OvStreamWriteChunkHeader(s, ovID_STRING, 4, 0x37002, 22);
    OvStreamWrite(s, "wxyz", 4);
    Bytes unterminated = CloseWritten(s);
    s = OpenRead(unterminated, unterminated.size());
    char four[5] = {0, 0, 0, 0, '#'};
    EXPECT_EQ(OvStringStreamReadBounded(four, 4, s), nullptr);
    OvStreamClose(s, nullptr);
    s = OpenRead(unterminated, unterminated.size());
    EXPECT_EQ(OvStringStreamRead(four, s), nullptr);
    EXPECT_EQ(ClearError(), ovERRREAD);
    EXPECT_EQ(four[4], '#');
    OvStreamClose(s, nullptr);
    s = OpenRead(unterminated, unterminated.size());
    text = OvStringStreamRead(nullptr, s); // allocated: terminated behind the body
    EXPECT_STREQ(text, "wxyz");
    OvFree(text);
    OvStreamClose(s, nullptr);
}

TEST_F(StreamTest, StringChunksWriteTheirPaddedBodyWithoutAnEmptyWrite) {
    // A write callback that answers the count it wrote: an empty write answers 0, a failure.
    CustomLog log;
    OvStreamCustom custom = {
        nullptr,
        [](void*, void*, OvUInt32) -> OvUInt32 { return 0; },
        [](void* d, const void* buffer, OvUInt32 length) -> OvBool {
            auto* l = static_cast<CustomLog*>(d);
            l->writes.push_back(length);
            const auto* b = static_cast<const OvUInt8*>(buffer);
            l->bytes.insert(l->bytes.end(), b, b + length);
            return static_cast<OvBool>(length);
        },
        nullptr,
        &log,
    };
    OvStream* s = OvStreamOpen(ovSTREAMCUSTOM, ovSTREAMWRITE, &custom);
    ASSERT_NE(s, nullptr);
    const std::string longName(300, 'n');
    for (const char* text : {static_cast<const char*>(nullptr), "", "abc", "abcd", "abcdefg", longName.c_str()}) {
        const std::string expected = text != nullptr ? text : "";
        SCOPED_TRACE(expected.size());
        log.writes.clear();
        log.bytes.clear();
        ASSERT_NE(OvStringStreamWrite(text, s), nullptr);
        const OvUInt32 length = OvStringStreamGetSize(text);
        EXPECT_EQ(std::count(log.writes.begin(), log.writes.end(), 0u), 0);
        if (length <= 256) {
            EXPECT_EQ(log.writes, (std::vector<OvUInt32>{12, length}));
        }
        ASSERT_EQ(log.bytes.size(), 12u + length);
        Bytes body(log.bytes.begin() + 12, log.bytes.end());
        Bytes padded(expected.begin(), expected.end());
        padded.resize(length, 0);
        EXPECT_EQ(body, padded);
    }
    OvStreamClose(s, nullptr);
}

TEST_F(StreamTest, TruncatedAndCorruptInputFailsCleanly) {
    OvStream* s = OvStreamOpen(ovSTREAMMEMORY, ovSTREAMWRITE, nullptr);
    WriteSample(s);
    Bytes bytes = CloseWritten(s);
    s = OpenRead(bytes, bytes.size());
    EXPECT_TRUE(ParseSample(s));
    OvStreamClose(s, nullptr);
    for (std::size_t n = 0; n < bytes.size(); ++n) {
        s = OpenRead(bytes, n);
        EXPECT_FALSE(ParseSample(s)) << "prefix " << n;
        OvStreamClose(s, nullptr);
    }
    // Corruption: every byte replaced by a few values; the parse may succeed or fail, but it must stay within the data and leak nothing.
    const OvUInt8 values[] = {0x00, 0x01, 0x7F, 0x80, 0xFF};
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        for (OvUInt8 v : values) {
            Bytes damaged = bytes;
            damaged[i] = v;
            s = OpenRead(damaged, damaged.size());
            ParseSample(s);
            OvStreamClose(s, nullptr);
        }
    }
    // A string chunk claiming 4 GB allocates only what arrives.
    Bytes huge = {2, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0xFF, 0x16, 0, 0x02, 0x1C, 'a', 'b'};
    s = OpenRead(huge, huge.size());
    EXPECT_EQ(OvStringStreamRead(nullptr, s), nullptr);
    OvStreamClose(s, nullptr);
    ClearError();
}

} // namespace
