#include "graphics/core/d3d9/native_texture.h"

#include <cstring>
#include <vector>

#include "graphics/core/chunk.h"
#include "graphics/core/error.h"
#include "graphics/core/memory.h"
#include "graphics/core/raster.h"
#include "graphics/core/testkit/engine_test.h"

namespace {

using Bytes = std::vector<OvUInt8>;

OvD3D9NativeTexture Mipmapped64() {
    OvD3D9NativeTexture h{};
    h.platform = ovD3D9NATIVEPLATFORM;
    h.sampling = 0x2106; // filter 6, address u 1, address v 2
    std::strcpy(h.name, "stone");
    std::strcpy(h.maskName, "stoneA");
    h.formatFlags = ovRASTERFORMAT888 | ovRASTERFORMATMIPMAP;
    h.format = D3DFMT_X8R8G8B8;
    h.width = 64;
    h.height = 64;
    h.depth = 32;
    h.numLevels = 7;
    h.type = ovRASTERTYPETEXTURE;
    return h;
}

// Writes a chunk whose levels hold pitch x rows bytes with a pitch 16 bytes wider than a row.
Bytes Write(const OvD3D9NativeTexture& h, bool hasRaster = true) {
    std::vector<Bytes> levels;
    std::vector<OvUInt32> counts;
    for (OvUInt32 i = 0; i < OvD3D9NativeStoredLevels(h); ++i) {
        const OvUInt32 rows = OvD3D9FormatIsCompressed(h.format) ? 1 : (h.height >> i ? h.height >> i : 1);
        Bytes level(OvD3D9NativeLevelMinBytes(h, i) + 16 * rows);
        for (size_t k = 0; k < level.size(); ++k) {
            level[k] = static_cast<OvUInt8>(k * 7 + i);
        }
        counts.push_back(static_cast<OvUInt32>(level.size()));
        levels.push_back(level);
    }
    const OvUInt32 size = OvD3D9NativeChunkSize(h, hasRaster, counts.data());
    OvStream* out = OvStreamOpen(ovSTREAMMEMORY, ovSTREAMWRITE, nullptr);
    EXPECT_NE(OvD3D9NativeHeaderWrite(out, h, hasRaster, size), nullptr);
    if (hasRaster) {
        Bytes palette(OvD3D9NativePaletteBytes(h.formatFlags), 0x5A);
        EXPECT_NE(OvStreamWrite(out, palette.data(), static_cast<OvUInt32>(palette.size())), nullptr);
        for (OvUInt32 f = 0; f < OvD3D9NativeFaces(h); ++f) {
            for (const Bytes& level : levels) {
                EXPECT_NE(OvD3D9NativeLevelWrite(out, level.data(), static_cast<OvUInt32>(level.size())), nullptr);
            }
        }
    }
    OvMemory memory{};
    EXPECT_TRUE(OvStreamClose(out, &memory));
    Bytes bytes(memory.start, memory.start + memory.length);
    OvFree(memory.start);
    EXPECT_EQ(bytes.size(), size);
    return bytes;
}

// Reads the header and every level back; FALSE at the first refusal.
bool ReadAll(Bytes bytes, OvD3D9NativeTexture* h, Bytes* lastLevel = nullptr) {
    OvMemory memory{bytes.data(), static_cast<OvUInt32>(bytes.size())};
    OvStream* in = OvStreamOpen(ovSTREAMMEMORY, ovSTREAMREAD, &memory);
    OvUInt32 left = 0;
    bool ok =
        OvD3D9NativeHeaderRead(in, h, &left) && OvStreamSkip(in, OvD3D9NativePaletteBytes(h->formatFlags)) != nullptr;
    for (OvUInt32 f = 0; ok && f < OvD3D9NativeFaces(*h); ++f) {
        for (OvUInt32 i = 0; ok && i < OvD3D9NativeStoredLevels(*h); ++i) {
            const OvUInt32 rows = OvD3D9FormatIsCompressed(h->format) ? 1 : (h->height >> i ? h->height >> i : 1);
            Bytes level(OvD3D9NativeLevelMinBytes(*h, i) + 16 * rows);
            OvUInt32 count = 0;
            ok = OvD3D9NativeLevelRead(in, level.data(), static_cast<OvUInt32>(level.size()), &count);
            if (lastLevel != nullptr) {
                *lastLevel = level;
            }
        }
    }
    OvStreamClose(in, nullptr);
    return ok;
}

void PutU32(Bytes& b, size_t at, OvUInt32 v) {
    for (int i = 0; i < 4; ++i) {
        b[at + i] = static_cast<OvUInt8>(v >> (8 * i));
    }
}

} // namespace

class D3d9NativeTexture : public OvEngineTest {};

TEST_F(D3d9NativeTexture, ChunkLayoutAndReadBack) {
    const OvD3D9NativeTexture h = Mipmapped64();
    const Bytes bytes = Write(h);
    // 12 header + 88 fixed + 7 counts + the levels (pitch 256 + 16 at 64 wide).
    OvUInt32 levelBytes = 0;
    for (OvUInt32 i = 0; i < 7; ++i) {
        const OvUInt32 side = 64 >> i;
        levelBytes += (side * 4 + 16) * side;
    }
    EXPECT_EQ(bytes.size(), 100u + 7 * 4 + levelBytes);
    EXPECT_EQ(OvChunkGetUInt32(bytes.data()), ovID_STRUCT);
    EXPECT_EQ(OvChunkGetUInt32(bytes.data() + 4), bytes.size() - 12);
    EXPECT_EQ(OvChunkGetUInt32(bytes.data() + 8), OvChunkStampPack(0x37002, 22));
    const OvUInt8* body = bytes.data() + 12;
    EXPECT_EQ(OvChunkGetUInt32(body), 9u);
    EXPECT_EQ(OvChunkGetUInt32(body + 4), 0x2106u);
    EXPECT_STREQ(reinterpret_cast<const char*>(body + 8), "stone");
    EXPECT_STREQ(reinterpret_cast<const char*>(body + 40), "stoneA");
    EXPECT_EQ(OvChunkGetUInt32(body + 72), 0x8600u);
    EXPECT_EQ(OvChunkGetUInt32(body + 76), D3DFMT_X8R8G8B8);
    EXPECT_EQ(body[80] | body[81] << 8, 64);
    EXPECT_EQ(body[84], 32);
    EXPECT_EQ(body[85], 7);
    EXPECT_EQ(OvChunkGetUInt32(body + 88), (64u * 4 + 16) * 64);

    OvD3D9NativeTexture back{};
    Bytes last;
    ASSERT_TRUE(ReadAll(bytes, &back, &last));
    EXPECT_EQ(0, std::memcmp(&back, &h, sizeof h));
    EXPECT_EQ(last[3], static_cast<OvUInt8>(3 * 7 + 6));

    // Without a raster only the first 72 bytes are written.
    EXPECT_EQ(Write(h, false).size(), 84u);

    // A cube of DXT1 levels with automatic mip levels stores six faces of one level; a
    // compressed level of height 2 is one block row.
    OvD3D9NativeTexture cube = h;
    cube.format = D3DFMT_DXT1;
    cube.flags = ovD3D9NATIVECUBE | ovD3D9NATIVECOMPRESSED | ovD3D9NATIVEAUTOMIPMAP;
    cube.formatFlags = ovRASTERFORMAT565 | ovRASTERFORMATMIPMAP | ovRASTERFORMATAUTOMIPMAP;
    cube.depth = 16;
    EXPECT_EQ(Write(cube).size(), 100u + 6 * (4 + 16 * 16 * 8 + 16));
    ASSERT_TRUE(ReadAll(Write(cube), &back));
    OvD3D9NativeTexture flat = cube;
    flat.height = 2;
    flat.width = 8;
    flat.flags = ovD3D9NATIVECOMPRESSED;
    EXPECT_EQ(OvD3D9NativeLevelMinBytes(flat, 0), 16u);
    // An 8-bit palette texture carries 1,024 palette bytes, a 4-bit one 128.
    OvD3D9NativeTexture pal = h;
    pal.formatFlags = ovRASTERFORMATPAL8 | ovRASTERFORMAT8888;
    pal.format = D3DFMT_P8;
    pal.depth = 8;
    pal.numLevels = 1;
    EXPECT_EQ(Write(pal).size(), 100u + 1024 + 4 + (64 + 16) * 64);
    ASSERT_TRUE(ReadAll(Write(pal), &back));
}

TEST_F(D3d9NativeTexture, BadChunksAreRefused) {
    const Bytes good = Write(Mipmapped64());
    OvD3D9NativeTexture h{};
    struct Case {
        const char* what;
        size_t at; // body offset of a 32-bit field
        OvUInt32 value;
    };
    const Case cases[] = {
        {"platform 8", 0, 8},
        {"zero width", 80, 0x00400000},
        {"too many levels", 84, 0x00080820}, // depth 32, 8 levels at 64
        {"zero levels", 84, 0x00000020},
        {"unknown depth", 84, 0x00000712},
        {"palette depth", 72, ovRASTERFORMATPAL8 | ovRASTERFORMAT888},
        {"stray format bits", 72, 0x10008600},
        {"compressed flag on a plain format", 84, 0x08040720},
        {"cube not square", 80, 0x00200040},
        {"oversized level count", 88, 0x7FFFFFFF},
        {"level count past the end", 88, (64u * 4 + 16) * 64 + 1},
    };
    for (const Case& k : cases) {
        Bytes bytes = good;
        PutU32(bytes, 12 + k.at, k.value);
        if (std::strcmp(k.what, "cube not square") == 0) {
            bytes[12 + 87] = ovD3D9NATIVECUBE;
        }
        EXPECT_FALSE(ReadAll(bytes, &h)) << k.what;
        OvError e{};
        OvErrorGet(&e);
    }
    // A version out of range, a body shorter than its header says, and every truncation.
    Bytes old = good;
    PutU32(old, 8, OvChunkStampPack(0x34000, 1));
    EXPECT_FALSE(ReadAll(old, &h));
    Bytes shortBody = good;
    PutU32(shortBody, 4, 88 + 4 * 6);
    EXPECT_FALSE(ReadAll(shortBody, &h));
    for (size_t cut : {size_t(0), size_t(11), size_t(50), size_t(99), size_t(104), good.size() / 2, good.size() - 1}) {
        EXPECT_FALSE(ReadAll(Bytes(good.begin(), good.begin() + cut), &h)) << cut;
    }
    OvError e{};
    OvErrorGet(&e);
}
