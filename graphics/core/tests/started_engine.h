#pragma once
// Test support: an engine initialised, opened and started on the memory-raster test driver,
// the error taker, memory-stream helpers and a little-endian chunk builder for reader tests.

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <vector>

#include "graphics/core/chunk.h"
#include "graphics/core/engine.h"
#include "graphics/core/error.h"
#include "graphics/core/stream.h"
#include "graphics/core/testkit/memory_raster_driver.h"

// Takes the error held and gives its code.
inline OvInt32 ClearError() {
    OvError e;
    OvErrorGet(&e);
    return e.errorCode;
}

class StartedEngine : public ::testing::Test {
protected:
    // Arena size handed to OvEngineInit; tests of the arena change it before SetUp.
    OvUInt32 arenaSize = 0x10000;

    void SetUp() override {
        OvTestMemoryRasterDriverReset();
        ASSERT_TRUE(OvEngineSetDriver(OvTestMemoryRasterDriver()));
        ASSERT_TRUE(OvEngineInit(nullptr, 0, arenaSize));
        RegisterPlugins();
        static int window = 0;
        ASSERT_TRUE(OvEngineOpen(&window));
        ASSERT_TRUE(OvEngineStart());
        ClearError();
    }

    void TearDown() override {
        EXPECT_TRUE(OvEngineStop());
        EXPECT_TRUE(OvEngineClose());
        EXPECT_TRUE(OvEngineTerm());
        EXPECT_EQ(OvTestMemoryRasterDriverState()->liveRasters, 0);
    }

    // Extensions a test needs are registered here, between init and open.
    virtual void RegisterPlugins() {}
};

// Bytes of chunked input, written field by field, little-endian.
class ChunkBytes {
public:
    std::vector<std::uint8_t> bytes;

    ChunkBytes& U32(std::uint32_t v) {
        for (int i = 0; i < 4; ++i) {
            bytes.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
        }
        return *this;
    }
    ChunkBytes& I32(std::int32_t v) { return U32(static_cast<std::uint32_t>(v)); }
    ChunkBytes& F32(float v) {
        std::uint32_t bits;
        std::memcpy(&bits, &v, 4);
        return U32(bits);
    }
    // Header stamped with version 0x37002, build 22.
    ChunkBytes& Header(std::uint32_t type, std::uint32_t length, std::uint32_t stamp = 0x1C020016u) {
        return U32(type).U32(length).U32(stamp);
    }
    ChunkBytes& EmptyExtension() { return Header(3, 0); }
    ChunkBytes& Append(const ChunkBytes& other) {
        bytes.insert(bytes.end(), other.bytes.begin(), other.bytes.end());
        return *this;
    }
    std::uint32_t Size() const { return static_cast<std::uint32_t>(bytes.size()); }
};

// The bytes of a written memory stream, which it closes.
inline std::vector<std::uint8_t> CloseWritten(OvStream* stream) {
    OvMemory memory = {};
    EXPECT_TRUE(OvStreamClose(stream, &memory));
    std::vector<std::uint8_t> bytes(memory.start, memory.start + memory.length);
    OvFree(memory.start);
    return bytes;
}

// A read stream over the first length bytes of a buffer.
inline OvStream* OpenRead(std::vector<std::uint8_t>& bytes, std::uint32_t length) {
    OvMemory memory = {bytes.data(), length};
    return OvStreamOpen(ovSTREAMMEMORY, ovSTREAMREAD, &memory);
}
