// Plugin registries: offsets, callbacks and extension chunks.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "graphics/core/chunk.h"
#include "graphics/core/engine.h"
#include "graphics/core/error.h"
#include "graphics/core/plugin.h"
#include "graphics/core/stream.h"
#include "graphics/core/testkit/engine_fixture.h"
#include "graphics/core/tests/started_engine.h"

namespace {

constexpr OvInt32 kBaseSize = 16;
OvPluginRegistry gWriter = OvPluginRegistryInitialValue(kBaseSize); // three plugins
OvPluginRegistry gReader = OvPluginRegistryInitialValue(kBaseSize); // lacks plugin 0x202
std::vector<std::string> gCalls;
int gFailConstructor = 0; // plugin index (1-based) whose constructor fails

template <int N> void* Construct(void* object, OvInt32 offset, OvInt32) {
    gCalls.push_back("ctor " + std::to_string(N));
    if (N == gFailConstructor) {
        return nullptr;
    }
    static_cast<char*>(object)[offset] = static_cast<char>(N);
    return object;
}

template <int N> void* Destruct(void* object, OvInt32, OvInt32) {
    gCalls.push_back("dtor " + std::to_string(N));
    return object;
}

template <int N> void* Copy(void* dst, const void*, OvInt32, OvInt32) {
    gCalls.push_back("copy " + std::to_string(N));
    return dst;
}

// Plugin data streamed as "length bytes, each the plugin's byte + index".
template <int Length> OvInt32 StreamSize(const void*, OvInt32, OvInt32) { return Length; }

OvStream* StreamWrite(OvStream* stream, OvInt32 length, const void* object, OvInt32 offset, OvInt32) {
    std::vector<OvUInt8> bytes(static_cast<std::size_t>(length));
    for (OvInt32 i = 0; i < length; ++i) {
        bytes[static_cast<std::size_t>(i)] = static_cast<OvUInt8>(static_cast<const char*>(object)[offset] + i);
    }
    return OvStreamWrite(stream, bytes.data(), static_cast<OvUInt32>(length));
}

OvStream* StreamRead(OvStream* stream, OvInt32 length, void* object, OvInt32 offset, OvInt32) {
    std::vector<OvUInt8> bytes(static_cast<std::size_t>(length));
    if (OvStreamReadStrict(stream, bytes.data(), static_cast<OvUInt32>(length)) == nullptr) {
        return nullptr;
    }
    gCalls.push_back("read " + std::to_string(length));
    static_cast<char*>(object)[offset] = static_cast<char>(bytes[0]);
    return stream;
}

OvBool Always(void*, OvInt32 offset, OvInt32) {
    gCalls.push_back("always " + std::to_string(offset));
    return TRUE;
}

OvBool Rights(void*, OvInt32, OvInt32, OvUInt32 extra) { return extra == 7 ? TRUE : FALSE; }

OvInt32 gOffsets[3];
// Entries with and without constructors and destructors, interleaved.
OvPluginRegistry gMixed = OvPluginRegistryInitialValue(kBaseSize);

void RegisterPlugins() {
    gOffsets[0] = OvPluginRegistryAddPlugin(&gWriter, 5, 0x201, Construct<1>, Destruct<1>, Copy<1>);
    gOffsets[1] = OvPluginRegistryAddPlugin(&gWriter, 8, 0x202, Construct<2>, Destruct<2>, Copy<2>);
    gOffsets[2] = OvPluginRegistryAddPlugin(&gWriter, 3, 0x203, Construct<3>, Destruct<3>, nullptr);
    OvPluginRegistryAddPluginStream(&gWriter, 0x201, StreamRead, StreamWrite, StreamSize<6>);
    OvPluginRegistryAddPluginStream(&gWriter, 0x202, StreamRead, StreamWrite, StreamSize<9>);
    OvPluginRegistryAddPluginStream(&gWriter, 0x203, StreamRead, StreamWrite, StreamSize<0>);
    // The reader knows plugins 0x201 and 0x203 only.
    OvPluginRegistryAddPlugin(&gReader, 5, 0x201, nullptr, nullptr, nullptr);
    OvPluginRegistryAddPlugin(&gReader, 3, 0x203, nullptr, nullptr, nullptr);
    OvPluginRegistryAddPluginStream(&gReader, 0x201, StreamRead, StreamWrite, StreamSize<6>);
    OvPluginRegistryAddPluginStreamAlwaysCallback(&gReader, 0x201, Always);
    OvPluginRegistryAddPluginStreamAlwaysCallback(&gReader, 0x203, Always);
    OvPluginRegistryAddPluginStreamRightsCallback(&gReader, 0x203, Rights);
    OvPluginRegistryAddPlugin(&gMixed, 4, 0x301, Construct<1>, Destruct<1>, nullptr);
    OvPluginRegistryAddPlugin(&gMixed, 4, 0x302, OvPluginClearConstructor, nullptr, nullptr);
    OvPluginRegistryAddPlugin(&gMixed, 4, 0x303, nullptr, Destruct<3>, nullptr);
    OvPluginRegistryAddPlugin(&gMixed, 4, 0x304, Construct<4>, nullptr, nullptr);
    OvPluginRegistryAddPlugin(&gMixed, 4, 0x305, Construct<5>, Destruct<5>, nullptr);
    OvPluginRegistryAddPlugin(&gMixed, 4, 0x306, nullptr, nullptr, nullptr);
}

class PluginTest : public ::testing::Test {
protected:
    void SetUp() override {
        gCalls.clear();
        gFailConstructor = 0;
        ASSERT_TRUE(OvTestEngineUp(0, RegisterPlugins));
    }
    void TearDown() override { EXPECT_TRUE(OvTestEngineDown()); }
};

// Bytes of the writer's extension chunk for an object.
std::vector<OvUInt8> WriteChunk(const OvPluginRegistry* registry, const void* object) {
    OvStream* stream = OvStreamOpen(ovSTREAMMEMORY, ovSTREAMWRITE, nullptr);
    EXPECT_EQ(OvPluginRegistryWriteDataChunks(registry, stream, object), registry);
    return CloseWritten(stream);
}

TEST(PluginRegistry, OffsetsSizesAndRefusals) {
    OvPluginRegistry r = OvPluginRegistryInitialValue(kBaseSize);
    OvPluginRegistry limited = OvPluginRegistryInitialValue(kBaseSize, 24);
    EXPECT_EQ(OvPluginRegistryAddPlugin(&r, 5, 1, nullptr, nullptr, nullptr), -1); // registry layer closed
    struct Case {
        OvPluginRegistry* r;
        OvPluginRegistry* limited;
    };
    static Case c;
    c = {&r, &limited};
    ASSERT_TRUE(OvTestEngineUp(0, [] {
        OvError e;
        EXPECT_EQ(OvPluginRegistryAddPlugin(c.r, 5, 1, nullptr, nullptr, nullptr), kBaseSize);
        EXPECT_EQ(c.r->sizeOfStruct, kBaseSize + 8);
        EXPECT_EQ(c.r->firstRegEntry->size, 5);
        OvErrorGet(&e);
        EXPECT_EQ(OvPluginRegistryAddPlugin(c.r, 16, 1, nullptr, nullptr, nullptr), kBaseSize); // same id
        OvErrorGet(&e);
        EXPECT_EQ(e.errorCode, ovERRPLUGINREFUSED);
        EXPECT_EQ(c.r->sizeOfStruct, kBaseSize + 8);
        EXPECT_EQ(OvPluginRegistryAddPlugin(c.limited, 8, 2, nullptr, nullptr, nullptr), kBaseSize);
        EXPECT_EQ(OvPluginRegistryAddPlugin(c.limited, 1, 3, nullptr, nullptr, nullptr), -1); // passes 24
        OvErrorGet(&e);
        EXPECT_EQ(e.errorCode, ovERRNOERROR);
        EXPECT_EQ(OvPluginRegistryGetPluginOffset(c.r, 1), kBaseSize);
        EXPECT_EQ(OvPluginRegistryGetPluginOffset(c.r, 9), -1);
        EXPECT_EQ(OvPluginRegistryAddPluginStream(c.r, 9, nullptr, nullptr, nullptr), -1);
        // Sizes that would carry the object size past 32 bits are refused.
        EXPECT_EQ(OvPluginRegistryAddPlugin(c.r, INT32_MAX, 4, nullptr, nullptr, nullptr), -1);
        EXPECT_EQ(OvPluginRegistryAddPlugin(c.r, INT32_MAX - kBaseSize - 8, 5, nullptr, nullptr, nullptr), -1);
        EXPECT_EQ(c.r->sizeOfStruct, kBaseSize + 8);
        // An entry on every list of entries called when objects are made, destroyed and read.
        EXPECT_EQ(OvPluginRegistryAddPlugin(
                      c.r, 4, 6, [](void* o, OvInt32, OvInt32) { return o; },
                      [](void* o, OvInt32, OvInt32) { return o; }, nullptr),
                  kBaseSize + 8);
        EXPECT_EQ(OvPluginRegistryAddPluginStreamAlwaysCallback(c.r, 6,
                                                                [](void*, OvInt32, OvInt32) -> OvBool { return TRUE; }),
                  kBaseSize + 8);
    }));
    EXPECT_TRUE(OvTestEngineDown());
    // Term emptied both registries: no list still names an entry it freed.
    for (OvPluginEntry* left : {r.firstRegEntry, r.lastRegEntry, r.firstConstructed, r.firstConstructedBeyondClear,
                                r.lastDestructed, r.firstAlways}) {
        EXPECT_EQ(left, nullptr);
    }
    EXPECT_EQ(r.sizeOfStruct, kBaseSize);
    EXPECT_EQ(limited.sizeOfStruct, kBaseSize);
}

TEST_F(PluginTest, ConstructorsRunInOrderAndFailureUndoesTheEarlierOnes) {
    std::vector<char> object(static_cast<std::size_t>(gWriter.sizeOfStruct));
    EXPECT_EQ(gOffsets[0], kBaseSize);
    EXPECT_EQ(gOffsets[1], kBaseSize + 8);
    EXPECT_EQ(gOffsets[2], kBaseSize + 16);
    EXPECT_EQ(OvPluginRegistryInitObject(&gWriter, object.data()), &gWriter);
    EXPECT_EQ(object[static_cast<std::size_t>(gOffsets[2])], 3);
    std::vector<char> copy(object.size());
    OvPluginRegistryCopyObject(&gWriter, copy.data(), object.data());
    OvPluginRegistryDeInitObject(&gWriter, object.data());
    EXPECT_EQ(gCalls, (std::vector<std::string>{"ctor 1", "ctor 2", "ctor 3", "copy 1", "copy 2", "dtor 3", "dtor 2",
                                                "dtor 1"}));
    gCalls.clear();
    gFailConstructor = 3;
    EXPECT_EQ(OvPluginRegistryInitObject(&gWriter, object.data()), nullptr);
    EXPECT_EQ(gCalls, (std::vector<std::string>{"ctor 1", "ctor 2", "ctor 3", "dtor 2", "dtor 1"}));
    // Only the entries that have them are called, in order; a failure undoes the earlier ones. The
    // clearing constructor (0x302) clears its bytes, and is passed over for a record already clear.
    std::vector<char> mixed(static_cast<std::size_t>(gMixed.sizeOfStruct));
    const std::size_t cleared = static_cast<std::size_t>(OvPluginRegistryGetPluginOffset(&gMixed, 0x302));
    const std::vector<std::string> expected[] = {
        {"ctor 1", "ctor 4", "ctor 5", "dtor 5", "dtor 3", "dtor 1"},
        {"ctor 1"},
        {"ctor 1", "ctor 4", "dtor 3", "dtor 1"},
        {"ctor 1", "ctor 4", "ctor 5", "dtor 3", "dtor 1"},
    };
    for (bool alreadyClear : {false, true}) {
        for (int fail : {0, 1, 4, 5}) {
            gCalls.clear();
            gFailConstructor = fail;
            std::fill(mixed.begin(), mixed.end(), 'x');
            const bool made = (alreadyClear ? OvPluginRegistryInitClearedObject(&gMixed, mixed.data())
                                            : OvPluginRegistryInitObject(&gMixed, mixed.data())) != nullptr;
            EXPECT_EQ(made, fail == 0);
            if (made) {
                EXPECT_EQ(std::string(&mixed[cleared], 4), alreadyClear ? "xxxx" : std::string(4, '\0'));
                OvPluginRegistryDeInitObject(&gMixed, mixed.data());
            }
            EXPECT_EQ(gCalls, expected[fail == 0 ? 0 : fail == 1 ? 1 : fail == 4 ? 2 : 3]) << fail << alreadyClear;
        }
    }
    EXPECT_EQ(OvPluginRegistryInvokeRights(&gReader, 0x203, object.data(), 7), &gReader);
    EXPECT_EQ(OvPluginRegistryInvokeRights(&gReader, 0x203, object.data(), 6), nullptr);
    EXPECT_EQ(OvPluginRegistryInvokeRights(&gReader, 0x201, object.data(), 7), nullptr);
}

TEST_F(PluginTest, ExtensionChunkBytesAndRoundTrip) {
    std::vector<char> object(static_cast<std::size_t>(gWriter.sizeOfStruct));
    ASSERT_TRUE(OvPluginRegistryInitObject(&gWriter, object.data()));
    EXPECT_EQ(OvPluginRegistryGetSize(&gWriter, object.data()), (6 + 12) + (9 + 12));
    std::vector<OvUInt8> bytes = WriteChunk(&gWriter, object.data());
    const std::vector<OvUInt8> expected = {
        3,    0,    0, 0, 39, 0, 0, 0, 0x16, 0, 0x02, 0x1C,                             // extension chunk
        0x01, 0x02, 0, 0, 6,  0, 0, 0, 0x16, 0, 0x02, 0x1C, 1, 2, 3, 4, 5, 6,           // plugin 0x201
        0x02, 0x02, 0, 0, 9,  0, 0, 0, 0x16, 0, 0x02, 0x1C, 2, 3, 4, 5, 6, 7, 8, 9, 10, // plugin 0x202
    };
    EXPECT_EQ(bytes, expected);

    // An object without streamed data still gets the header.
    OvPluginRegistry empty = OvPluginRegistryInitialValue(4);
    EXPECT_EQ(WriteChunk(&empty, nullptr), (std::vector<OvUInt8>{3, 0, 0, 0, 0, 0, 0, 0, 0x16, 0, 0x02, 0x1C}));

    // The reader skips plugin 0x202, runs its always callbacks and stops at the next chunk.
    std::vector<OvUInt8> file = bytes;
    const OvUInt8 sentinel[] = {0x77, 0, 0, 0, 0, 0, 0, 0, 0x16, 0, 0x02, 0x1C};
    file.insert(file.end(), sentinel, sentinel + sizeof(sentinel));
    OvStream* stream = OpenRead(file, static_cast<OvUInt32>(file.size()));
    std::vector<char> target(static_cast<std::size_t>(gReader.sizeOfStruct));
    gCalls.clear();
    EXPECT_EQ(OvPluginRegistryReadDataChunks(&gReader, stream, target.data()), &gReader);
    EXPECT_EQ(target[static_cast<std::size_t>(kBaseSize)], 1);
    EXPECT_EQ(gCalls, (std::vector<std::string>{"read 6", "always 16", "always 24"}));
    OvUInt32 type = 0;
    EXPECT_TRUE(OvStreamReadChunkHeader(stream, &type, nullptr, nullptr, nullptr));
    EXPECT_EQ(type, 0x77u);
    OvStreamClose(stream, nullptr);

    // Skipping reads past all of it.
    stream = OpenRead(file, static_cast<OvUInt32>(file.size()));
    EXPECT_EQ(OvPluginRegistrySkipDataChunks(&gReader, stream), &gReader);
    EXPECT_TRUE(OvStreamReadChunkHeader(stream, &type, nullptr, nullptr, nullptr));
    EXPECT_EQ(type, 0x77u);
    OvStreamClose(stream, nullptr);
}

TEST_F(PluginTest, TruncatedOrCorruptExtensionChunksFail) {
    std::vector<char> object(static_cast<std::size_t>(gWriter.sizeOfStruct));
    ASSERT_TRUE(OvPluginRegistryInitObject(&gWriter, object.data()));
    const std::vector<OvUInt8> bytes = WriteChunk(&gWriter, object.data());
    std::vector<char> target(static_cast<std::size_t>(gReader.sizeOfStruct));
    // Every prefix fails, through the reading and the skipping path.
    for (std::size_t n = 0; n < bytes.size(); ++n) {
        std::vector<OvUInt8> prefix(bytes.begin(), bytes.begin() + static_cast<long>(n));
        for (int skip = 0; skip < 2; ++skip) {
            OvStream* stream = OpenRead(prefix, static_cast<OvUInt32>(n));
            const OvPluginRegistry* result = skip ? OvPluginRegistrySkipDataChunks(&gReader, stream)
                                                  : OvPluginRegistryReadDataChunks(&gReader, stream, target.data());
            EXPECT_EQ(result, nullptr) << "prefix " << n;
            OvStreamClose(stream, nullptr);
        }
    }
    // A sub-chunk longer than what remains of the extension chunk is refused, even when
    // the stream holds enough bytes.
    std::vector<OvUInt8> corrupt = bytes;
    corrupt[16] = 40; // plugin 0x201 claims 40 bytes
    corrupt.resize(corrupt.size() + 64, 0);
    OvStream* stream = OpenRead(corrupt, static_cast<OvUInt32>(corrupt.size()));
    EXPECT_EQ(OvPluginRegistryReadDataChunks(&gReader, stream, target.data()), nullptr);
    OvStreamClose(stream, nullptr);
    // A body length past what the read callbacks' signed length can hold never reaches them.
    std::vector<OvUInt8> huge = {3,    0,    0, 0, 0xF0, 0xFF, 0xFF, 0xFF, 0x16, 0x00, 0x02, 0x1C,
                                 0x01, 0x02, 0, 0, 0,    0,    0,    0x80, 0x16, 0x00, 0x02, 0x1C};
    huge.resize(huge.size() + 64, 0);
    gCalls.clear();
    stream = OpenRead(huge, static_cast<OvUInt32>(huge.size()));
    EXPECT_EQ(OvPluginRegistryReadDataChunks(&gReader, stream, target.data()), nullptr);
    EXPECT_TRUE(gCalls.empty());
    OvStreamClose(stream, nullptr);
    // An extension chunk of a version outside the accepted range.
    std::vector<OvUInt8> old = bytes;
    old[8] = 0x10;
    old[9] = 0x03;
    old[10] = 0;
    old[11] = 0; // stamp 0x0310: version 0x31000
    ClearError();
    stream = OpenRead(old, static_cast<OvUInt32>(old.size()));
    EXPECT_EQ(OvPluginRegistryReadDataChunks(&gReader, stream, target.data()), nullptr);
    EXPECT_EQ(ClearError(), ovERRBADVERSION);
    OvStreamClose(stream, nullptr);
}

TEST(BBox, SmallestBoxOfThePoints) {
    const OvV3d points[] = {{1, -2, 3}, {-4, 5, 0}, {2, 2, -6}};
    OvBBox box;
    OvBBoxCalculate(&box, points, 3);
    EXPECT_EQ(box.sup.x, 2);
    EXPECT_EQ(box.sup.y, 5);
    EXPECT_EQ(box.sup.z, 3);
    EXPECT_EQ(box.inf.x, -4);
    EXPECT_EQ(box.inf.y, -2);
    EXPECT_EQ(box.inf.z, -6);
    OvBBoxCalculate(&box, points, 1);
    EXPECT_EQ(box.sup.x, 1);
    EXPECT_EQ(box.inf.x, 1);
}

} // namespace
