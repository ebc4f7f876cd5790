// File streams opened by name read through a read-ahead block: every read (plain or strict),
// skip and count of bytes left must match a plain model of the file's bytes, across block
// boundaries and at the end of the file, and match a stream over the same file opened by the
// caller (no block). Small files are read whole into a block of their size; larger ones through
// a block of 4 KiB.

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include <unistd.h>

#include "graphics/core/error.h"
#include "graphics/core/file_system.h"
#include "graphics/core/stream.h"
#include "graphics/core/testkit/engine_test.h"
#include "graphics/core/tests/started_engine.h"

namespace {

using Bytes = std::vector<OvUInt8>;
using ReadAheadTest = OvEngineTest;

std::string TempPath(const char* tag) {
    return (std::filesystem::temp_directory_path() /
            ("gfx_core_read_ahead_" + std::string(tag) + "_" + std::to_string(::getpid())))
        .string();
}

void WriteFile(const std::string& path, const Bytes& bytes) {
    FILE* f = std::fopen(path.c_str(), "wb");
    ASSERT_NE(f, nullptr);
    if (!bytes.empty()) {
        ASSERT_EQ(std::fwrite(bytes.data(), 1, bytes.size(), f), bytes.size());
    }
    std::fclose(f);
}

Bytes RandomBytes(std::mt19937& random, std::size_t size) {
    Bytes bytes(size);
    for (OvUInt8& b : bytes) {
        b = static_cast<OvUInt8>(random());
    }
    return bytes;
}

// The file's bytes and a position: what a file stream must do.
struct Model {
    const Bytes& bytes;
    std::size_t position = 0;

    // Bytes a read of length gives, and whether it falls short.
    Bytes Read(std::size_t length) {
        const std::size_t count = std::min(length, bytes.size() - position);
        Bytes out(bytes.begin() + static_cast<std::ptrdiff_t>(position),
                  bytes.begin() + static_cast<std::ptrdiff_t>(position + count));
        position += count;
        return out;
    }
    // A skip past the end fails and does not move.
    bool Skip(std::size_t length) {
        if (position + length > bytes.size()) {
            return false;
        }
        position += length;
        return true;
    }
};

// Lengths mostly of chunk headers and values, sometimes whole arrays around the block size.
std::size_t RandomLength(std::mt19937& random) {
    switch (random() % 6) {
    case 0:
        return random() % 5;
    case 1:
    case 2:
        return 4 * (1 + random() % 3);
    case 3:
        return random() % 300;
    case 4:
        return 4096 - 8 + random() % 16;
    default:
        return random() % 10000;
    }
}

// Runs the same seeded operations on the stream and on the model.
void Sweep(OvStream* s, const Bytes& bytes, std::uint32_t seed) {
    std::mt19937 random(seed);
    Model model{bytes};
    for (int op = 0; op < 400; ++op) {
        SCOPED_TRACE(testing::Message() << "seed " << seed << " op " << op);
        const std::size_t length = RandomLength(random);
        if (random() % 3 == 0) {
            const bool ok = model.Skip(length);
            EXPECT_EQ(OvStreamSkip(s, static_cast<OvUInt32>(length)) == s, ok);
            EXPECT_EQ(ClearError(), ok ? ovERRNOERROR : ovERRENDOFSTREAM);
        } else {
            const Bytes expected = model.Read(length);
            Bytes got(length + 1, 0xEE);
            // Reads that fit go through the loaders' strict read every other time.
            if (expected.size() == length && random() % 2 == 0) {
                EXPECT_EQ(OvStreamReadStrict(s, got.data(), static_cast<OvUInt32>(length)), s);
            } else {
                EXPECT_EQ(OvStreamRead(s, got.data(), static_cast<OvUInt32>(length)), expected.size());
            }
            EXPECT_EQ(ClearError(), expected.size() < length ? ovERRENDOFSTREAM : ovERRNOERROR);
            EXPECT_TRUE(std::equal(expected.begin(), expected.end(), got.begin()));
            EXPECT_EQ(got[length], 0xEE); // nothing written past the request
        }
        ASSERT_EQ(OvStreamGetBytesLeft(s), bytes.size() - model.position);
    }
}

TEST_F(ReadAheadTest, SeededSweepsMatchTheBytesOfTheFile) {
    const std::string path = TempPath("sweep");
    for (std::uint32_t seed = 1; seed <= 12; ++seed) {
        std::mt19937 random(seed * 7919u);
        // Empty, one small block, larger than a file read whole, and sizes read whole.
        const std::size_t size = seed == 1 ? 0 : seed == 2 ? 4096 : seed == 3 ? 300000 : 1 + random() % 40000;
        const Bytes bytes = RandomBytes(random, size);
        WriteFile(path, bytes);
        ClearError();

        OvStream* named = OvStreamOpen(ovSTREAMFILENAME, ovSTREAMREAD, path.c_str());
        ASSERT_NE(named, nullptr);
        EXPECT_NE(named->readAhead.block, nullptr);
        Sweep(named, bytes, seed);
        EXPECT_TRUE(OvStreamClose(named, nullptr));

        // A file the caller opened is read directly, with the same results.
        OvFile* file = OvFSManagerFopen(path.c_str(), "rb");
        ASSERT_NE(file, nullptr);
        OvStream* direct = OvStreamOpen(ovSTREAMFILE, ovSTREAMREAD, file);
        ASSERT_NE(direct, nullptr);
        EXPECT_EQ(direct->readAhead.block, nullptr);
        Sweep(direct, bytes, seed);
        EXPECT_TRUE(OvStreamClose(direct, nullptr));
        OvFSManagerFclose(file);
    }
    std::filesystem::remove(path);
}

TEST_F(ReadAheadTest, AFileWrittenThroughAStreamReadsBack) {
    std::mt19937 random(7);
    const Bytes bytes = RandomBytes(random, 23456);
    const std::string path = TempPath("written");
    OvStream* out = OvStreamOpen(ovSTREAMFILENAME, ovSTREAMWRITE, path.c_str());
    ASSERT_NE(out, nullptr);
    EXPECT_EQ(out->readAhead.block, nullptr);
    for (std::size_t at = 0; at < bytes.size();) {
        const std::size_t length = std::min(bytes.size() - at, RandomLength(random));
        ASSERT_EQ(OvStreamWrite(out, bytes.data() + at, static_cast<OvUInt32>(length)), out);
        at += length;
    }
    EXPECT_TRUE(OvStreamClose(out, nullptr));
    EXPECT_EQ(std::filesystem::file_size(path), bytes.size());

    OvStream* in = OvStreamOpen(ovSTREAMFILENAME, ovSTREAMREAD, path.c_str());
    ASSERT_NE(in, nullptr);
    Bytes got(bytes.size());
    for (std::size_t at = 0; at < bytes.size();) {
        const std::size_t length = std::min(bytes.size() - at, RandomLength(random));
        ASSERT_EQ(OvStreamRead(in, got.data() + at, static_cast<OvUInt32>(length)), length);
        at += length;
    }
    EXPECT_EQ(got, bytes);
    EXPECT_EQ(ClearError(), ovERRNOERROR);
    // Writing to a stream being read fails and leaves the reading where it was.
    EXPECT_EQ(OvStreamWrite(in, bytes.data(), 4), nullptr);
    EXPECT_TRUE(OvStreamClose(in, nullptr));

    // Appending through a stream, then reading all of it.
    OvStream* append = OvStreamOpen(ovSTREAMFILENAME, ovSTREAMAPPEND, path.c_str());
    ASSERT_NE(append, nullptr);
    ASSERT_EQ(OvStreamWrite(append, bytes.data(), 100), append);
    EXPECT_TRUE(OvStreamClose(append, nullptr));
    in = OvStreamOpen(ovSTREAMFILENAME, ovSTREAMREAD, path.c_str());
    got.assign(bytes.size() + 200, 0);
    EXPECT_EQ(OvStreamRead(in, got.data(), static_cast<OvUInt32>(got.size())), bytes.size() + 100);
    EXPECT_TRUE(std::equal(bytes.begin(), bytes.end(), got.begin()));
    EXPECT_TRUE(
        std::equal(bytes.begin(), bytes.begin() + 100, got.begin() + static_cast<std::ptrdiff_t>(bytes.size())));
    EXPECT_TRUE(OvStreamClose(in, nullptr));
    std::filesystem::remove(path);
}

// Opening by name with the case of the name changed finds the file, and a missing file is
// still refused.
TEST_F(ReadAheadTest, NamesInAnotherCaseStillOpen) {
    const std::filesystem::path dir =
        std::filesystem::temp_directory_path() / ("gfx_core_read_ahead_case_" + std::to_string(::getpid()));
    std::filesystem::create_directories(dir);
    WriteFile((dir / "Model.DFF").string(), Bytes{1, 2, 3});
    OvStream* s = OvStreamOpen(ovSTREAMFILENAME, ovSTREAMREAD, (dir / "model.dff").string().c_str());
    ASSERT_NE(s, nullptr);
    OvUInt8 got[4] = {};
    EXPECT_EQ(OvStreamRead(s, got, 4), 3u);
    EXPECT_EQ(got[2], 3);
    EXPECT_EQ(ClearError(), ovERRENDOFSTREAM);
    EXPECT_TRUE(OvStreamClose(s, nullptr));
    EXPECT_EQ(OvStreamOpen(ovSTREAMFILENAME, ovSTREAMREAD, (dir / "other.dff").string().c_str()), nullptr);
    ClearError();
    std::filesystem::remove_all(dir);
}

} // namespace
