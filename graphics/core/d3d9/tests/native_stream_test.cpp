// Textures through the driver's native stream: write then read gives the same header and the
// same bytes for every kind of raster the driver makes; damaged chunks fail with nothing left
// on the device.

#include <cstring>
#include <random>
#include <vector>

#include "graphics/core/chunk.h"
#include "graphics/core/d3d9/native_texture.h"
#include "graphics/core/d3d9/pixel_convert.h"
#include "graphics/core/d3d9/raster.h"
#include "graphics/core/d3d9/tests/d3d9_fixture.h"
#include "graphics/core/error.h"
#include "graphics/core/stream.h"
#include "graphics/core/texture.h"
#include "graphics/core/texture_stream.h"

namespace {

using Bytes = std::vector<OvUInt8>;

// The driver on an adapter that also takes palettes, alpha-only, DXT1 and DXT5 textures and
// cube textures.
class D3d9NativeStream : public D3d9DriverTest {
protected:
    bool Up() {
        D3d9Adapter adapter = D3d9DefaultAdapter();
        for (D3DFORMAT f : {D3DFMT_P8, D3DFMT_A8, D3DFMT_DXT1, D3DFMT_DXT5}) {
            adapter.textureFormats.push_back(f);
        }
        adapter.cubeFormats = {D3DFMT_R5G6B5, D3DFMT_A8R8G8B8};
        adapter.caps.TextureCaps |= D3DPTEXTURECAPS_ALPHAPALETTE;
        D3d9SetAdapters({adapter});
        return D3d9DriverTest::Up();
    }
};

// Every level of every face (and the palette) as the device holds it.
Bytes Contents(OvRaster* raster) {
    Bytes all;
    const OvInt32 faces = OvD3D9RasterIsCubeMap(raster) ? 6 : 1;
    const OvBool compressed = OvD3D9RasterIsCompressed(raster);
    for (OvInt32 face = 0; face < faces; ++face) {
        OvD3D9RasterSetCubeFace(raster, static_cast<OvUInt32>(face));
        for (OvInt32 level = 0; level < OvRasterGetNumLevels(raster); ++level) {
            const OvUInt8* p = OvRasterLock(raster, static_cast<OvUInt8>(level), ovRASTERLOCKREAD);
            EXPECT_NE(p, nullptr);
            if (p == nullptr) {
                return all;
            }
            const OvInt32 rows = compressed ? (raster->height + 3) / 4 : raster->height;
            all.insert(all.end(), p, p + static_cast<std::ptrdiff_t>(raster->stride) * rows);
            OvRasterUnlock(raster);
        }
    }
    if (OvD3D9Palette* held = OvD3D9RasterExtGet(raster)->palette) {
        OvUInt8* palette = held->entries;
        all.insert(all.end(), palette, palette + 1024);
    }
    return all;
}

// Fills every level of every face (and the palette) with seeded bytes.
void Fill(OvRaster* raster, std::mt19937* rng) {
    const OvInt32 faces = OvD3D9RasterIsCubeMap(raster) ? 6 : 1;
    const OvBool compressed = OvD3D9RasterIsCompressed(raster);
    for (OvInt32 face = 0; face < faces; ++face) {
        OvD3D9RasterSetCubeFace(raster, static_cast<OvUInt32>(face));
        for (OvInt32 level = 0; level < OvRasterGetNumLevels(raster); ++level) {
            OvUInt8* p = OvRasterLock(raster, static_cast<OvUInt8>(level), ovRASTERLOCKWRITE);
            ASSERT_NE(p, nullptr);
            const OvInt32 rows = compressed ? (raster->height + 3) / 4 : raster->height;
            for (OvInt32 i = 0; i < raster->stride * rows; ++i) {
                p[i] = static_cast<OvUInt8>((*rng)());
            }
            // Levels are written after level 0 regenerated them.
            OvRasterUnlock(raster);
        }
    }
    if (OvD3D9RasterExtGet(raster)->palette != nullptr) {
        OvUInt8* palette = OvRasterLockPalette(raster, ovRASTERLOCKWRITE);
        ASSERT_NE(palette, nullptr);
        for (int i = 0; i < 1024; ++i) {
            palette[i] = static_cast<OvUInt8>((*rng)());
        }
        OvRasterUnlockPalette(raster);
    }
}

Bytes WriteNative(const OvTexture* texture) {
    OvStream* out = OvStreamOpen(ovSTREAMMEMORY, ovSTREAMWRITE, nullptr);
    const bool ok = OvTextureStreamWriteNative(texture, out) != nullptr;
    OvMemory memory{};
    OvStreamClose(out, &memory);
    Bytes bytes(memory.start, memory.start + memory.length);
    OvFree(memory.start);
    return ok ? bytes : Bytes{};
}

// The texture read, or null; *error (when given) gets the error the read left, cleared.
OvTexture* ReadNative(Bytes bytes, OvInt32* error = nullptr) {
    OvMemory memory{bytes.data(), static_cast<OvUInt32>(bytes.size())};
    OvStream* in = OvStreamOpen(ovSTREAMMEMORY, ovSTREAMREAD, &memory);
    OvTexture* t = nullptr;
    if (OvStreamFindChunk(in, ovID_TEXTURENATIVE, nullptr, nullptr)) {
        t = OvTextureStreamReadNative(in);
    }
    OvStreamClose(in, nullptr);
    OvError e{};
    OvErrorGet(&e);
    if (error != nullptr) {
        *error = e.errorCode;
    }
    return t;
}

void PutU32(Bytes& b, size_t at, OvUInt32 v) {
    for (int i = 0; i < 4; ++i) {
        b[at + i] = static_cast<OvUInt8>(v >> (8 * i));
    }
}

// Offset of the driver chunk's body in a written texture chunk.
constexpr size_t kBody = 24;

} // namespace

TEST_F(D3d9NativeStream, EveryKindOfRasterComesBackAsItWasWritten) {
    ASSERT_TRUE(Up());
    IDirect3DDevice9* device = OvD3D9GetDevice();
    struct Kind {
        const char* what;
        OvInt32 width, height, flags;
        D3DFORMAT exact; // made with exactly this format, else by OvRasterCreate
        bool cube;
    };
    const OvInt32 tex = ovRASTERTYPETEXTURE;
    const Kind kinds[] = {
        {"8888 mip chain", 64, 64, tex | ovRASTERFORMAT8888 | ovRASTERFORMATMIPMAP, 0, false},
        {"888 one level", 32, 16, tex | ovRASTERFORMAT888, 0, false},
        {"565 levels", 16, 8, tex | ovRASTERFORMAT565 | ovRASTERFORMATMIPMAP, 0, false},
        {"1555", 8, 8, tex | ovRASTERFORMAT1555, 0, false},
        {"4444", 4, 8, tex | ovRASTERFORMAT4444, 0, false},
        {"555 normal type", 8, 2, ovRASTERFORMAT555, 0, false},
        {"luminance", 8, 4, tex | ovRASTERFORMATLUM8, 0, false},
        {"palette with alpha", 16, 16, tex | ovRASTERFORMATPAL8 | ovRASTERFORMAT8888, 0, false},
        {"levels made in software", 16, 16, tex | ovRASTERFORMAT888 | ovRASTERFORMATMIPMAP | ovRASTERFORMATAUTOMIPMAP,
         0, false},
        {"alpha only", 8, 8, tex, D3DFMT_A8, false},
        {"DXT1 two rows high", 8, 2, tex, D3DFMT_DXT1, false},
        {"DXT5 mip chain", 16, 16, tex | ovRASTERFORMATMIPMAP, D3DFMT_DXT5, false},
        {"cube with levels", 8, 8, tex | ovRASTERFORMAT565 | ovRASTERFORMATMIPMAP, 0, true},
        {"camera texture", 16, 8, ovRASTERTYPECAMERATEXTURE | ovRASTERFORMAT888, 0, false},
    };
    std::mt19937 rng(16);
    const int live = D3d9LiveObjects(device);
    for (const Kind& k : kinds) {
        SCOPED_TRACE(k.what);
        OvRaster* raster = nullptr;
        if (k.exact != 0) {
            raster = OvD3D9RasterCreateWithFormat(k.width, k.height, k.exact, k.flags);
        } else if (k.cube) {
            raster = OvRasterCreate(k.width, k.height, 16, k.flags | ovRASTERDONTALLOCATE);
            ASSERT_NE(raster, nullptr);
            ASSERT_TRUE(OvD3D9RasterMakeTexture(raster, D3DFMT_R5G6B5, 0, TRUE, FALSE));
        } else {
            raster = OvRasterCreate(k.width, k.height, 0, k.flags);
        }
        ASSERT_NE(raster, nullptr);
        Fill(raster, &rng);
        OvTexture* texture = OvTextureCreate(raster);
        OvTextureSetName(texture, "wall");
        OvTextureSetMaskName(texture, "wallA");
        texture->filterAddressing = 0x3204;
        const Bytes bytes = WriteNative(texture);
        ASSERT_FALSE(bytes.empty());
        // The texture chunk holds the driver chunk and the extension chunk.
        EXPECT_EQ(OvChunkGetUInt32(bytes.data()), ovID_TEXTURENATIVE);
        EXPECT_EQ(OvChunkGetUInt32(bytes.data() + 4), bytes.size() - 12);
        EXPECT_EQ(OvChunkGetUInt32(bytes.data() + 4), OvTextureStreamGetSizeNative(texture));
        // The driver chunk: a struct chunk of version 0x37002 build 22, then the fixed fields.
        EXPECT_EQ(OvChunkGetUInt32(bytes.data() + 12), ovID_STRUCT);
        EXPECT_EQ(OvChunkGetUInt32(bytes.data() + 20), OvChunkStampPack(0x37002, 22));
        const OvUInt8* body = bytes.data() + kBody;
        EXPECT_EQ(OvChunkGetUInt32(body), 9u);
        EXPECT_EQ(OvChunkGetUInt32(body + 4), 0x3204u);
        EXPECT_STREQ(reinterpret_cast<const char*>(body + 8), "wall");
        EXPECT_STREQ(reinterpret_cast<const char*>(body + 40), "wallA");
        EXPECT_EQ(OvChunkGetUInt32(body + 72), static_cast<OvUInt32>(OvRasterGetFormat(raster)));
        EXPECT_EQ(OvChunkGetUInt32(body + 76), OvD3D9RasterExtGet(raster)->format);
        EXPECT_EQ(body[80] | body[81] << 8, raster->width);
        EXPECT_EQ(body[82] | body[83] << 8, raster->height);
        EXPECT_EQ(body[84], raster->depth);
        EXPECT_EQ(body[85], OvRasterGetNumLevels(raster));
        EXPECT_EQ(body[86], raster->cType);

        OvTexture* back = ReadNative(bytes);
        ASSERT_NE(back, nullptr);
        // Written again it is the same chunk (so every field above came back), with the same
        // pixels on the device.
        EXPECT_TRUE(WriteNative(back) == bytes);
        EXPECT_TRUE(Contents(back->raster) == Contents(raster));
        OvTextureDestroy(back);
        OvTextureDestroy(texture);
    }
    EXPECT_EQ(D3d9LiveObjects(device), live);

    // A texture without a raster is its first 72 bytes and comes back without one.
    OvTexture* bare = OvTextureCreate(nullptr);
    OvTextureSetName(bare, "bare");
    const Bytes bytes = WriteNative(bare);
    EXPECT_EQ(bytes.size(), 12 + OvTextureStreamGetSizeNative(bare));
    EXPECT_EQ(OvChunkGetUInt32(bytes.data() + 16), 72u);
    OvTexture* back = ReadNative(bytes);
    ASSERT_NE(back, nullptr);
    EXPECT_EQ(back->raster, nullptr);
    EXPECT_STREQ(back->name, "bare");
    OvTextureDestroy(back);
    OvTextureDestroy(bare);
}

// A compressed or cube texture takes its alpha flag from the stored texture, not from its
// format: a DXT1 texture stored with alpha comes back with alpha.
TEST_F(D3d9NativeStream, CompressedTexturesKeepTheStoredAlphaFlag) {
    ASSERT_TRUE(Up());
    OvRaster* raster = OvD3D9RasterCreateWithFormat(8, 8, D3DFMT_DXT1, ovRASTERTYPETEXTURE);
    ASSERT_NE(raster, nullptr);
    OvTexture* texture = OvTextureCreate(raster);
    Bytes bytes = WriteNative(texture);
    ASSERT_FALSE(bytes.empty());
    EXPECT_EQ(bytes[kBody + 87] & ovD3D9NATIVEHASALPHA, 0);
    for (const OvUInt8 alpha : {0, 1}) {
        bytes[kBody + 87] =
            static_cast<OvUInt8>((bytes[kBody + 87] & ~ovD3D9NATIVEHASALPHA) | (alpha ? ovD3D9NATIVEHASALPHA : 0));
        OvTexture* back = ReadNative(bytes);
        ASSERT_NE(back, nullptr);
        EXPECT_EQ(OvD3D9TextureHasAlpha(back), alpha ? TRUE : FALSE);
        EXPECT_TRUE(WriteNative(back) == bytes);
        OvTextureDestroy(back);
    }
    OvTextureDestroy(texture);
}

TEST_F(D3d9NativeStream, SizeCountsPitchTimesRowsOfEveryLevel) {
    ASSERT_TRUE(Up());
    // 64 x 64 X8R8G8B8 with 7 levels: 100 + 7 x 4 + 4 x (64^2 + 32^2 + ... + 1).
    OvRaster* raster = OvRasterCreate(64, 64, 32, ovRASTERTYPETEXTURE | ovRASTERFORMAT888 | ovRASTERFORMATMIPMAP);
    ASSERT_NE(raster, nullptr);
    OvTexture* texture = OvTextureCreate(raster);
    OvUInt32 size = 0;
    ASSERT_TRUE(OvD3D9NativeTextureGetSize(&size, texture, 0));
    EXPECT_EQ(size, 100u + 28 + 4 * 5461);
    OvTexture* bare = OvTextureCreate(nullptr);
    ASSERT_TRUE(OvD3D9NativeTextureGetSize(&size, bare, 0));
    EXPECT_EQ(size, 84u);
    OvTextureDestroy(bare);
    OvTextureDestroy(texture);
}

TEST_F(D3d9NativeStream, DamagedChunksFailWithNothingLeftBehind) {
    ASSERT_TRUE(Up());
    IDirect3DDevice9* device = OvD3D9GetDevice();
    OvRaster* raster = OvRasterCreate(16, 8, 32, ovRASTERTYPETEXTURE | ovRASTERFORMAT888);
    ASSERT_NE(raster, nullptr);
    std::mt19937 rng(3);
    Fill(raster, &rng);
    OvTexture* texture = OvTextureCreate(raster);
    const Bytes good = WriteNative(texture);
    OvTextureDestroy(texture);
    ASSERT_FALSE(good.empty());
    const int live = D3d9LiveObjects(device);
    const size_t firstCount = kBody + 88;
    // The reader refuses with no error of its own; the stream and the raster module report theirs.
    struct Case {
        const char* what;
        size_t at;
        OvUInt32 value;
        OvInt32 error = ovERRNOERROR;
    };
    // Bytes 84-87: depth, levels, type, flags.
    const auto tail = [](OvUInt32 depth, OvUInt32 levels, OvUInt32 type, OvUInt32 flags) {
        return depth | levels << 8 | type << 16 | flags << 24;
    };
    const Case cases[] = {
        {"platform 8", kBody, 8},
        {"version out of range", 20, OvChunkStampPack(0x34000, 1), ovERRBADVERSION},
        {"body shorter than its header says", 16, 88 + 2},
        {"zero width", kBody + 80, 8u << 16},
        {"more levels than the size allows", kBody + 84, tail(32, 6, 4, 0)},
        {"zero levels", kBody + 84, tail(32, 0, 4, 0)},
        {"unknown depth", kBody + 84, tail(18, 1, 4, 0)},
        {"compressed flag on a plain format", kBody + 84, tail(32, 1, 4, ovD3D9NATIVECOMPRESSED)},
        {"cube that is not square", kBody + 84, tail(32, 1, 4, ovD3D9NATIVECUBE)},
        {"palette flag on a 32-bit raster", kBody + 72, ovRASTERFORMATPAL8 | ovRASTERFORMAT888},
        {"stray format bits", kBody + 72, 0x10000600},
        {"more levels stored than the raster has", kBody + 84, tail(32, 2, 4, 0)},
        {"camera raster type", kBody + 84, tail(32, 1, 2, 0)},
        {"size far beyond the stored pixels", kBody + 80, 2048u | 2048u << 16},
        {"level count above the level", firstCount, 16 * 4 * 8 + 1},
        {"level count past the chunk", firstCount, 0x7FFFFFFF},
        {"format the driver does not know", kBody + 72, 0, ovERRBADRASTERFORMAT},
        {"format the adapter lacks", kBody + 76, D3DFMT_DXT3},
        {"format that does not match the flags", kBody + 76, D3DFMT_A8R8G8B8},
    };
    for (const Case& k : cases) {
        Bytes bytes = good;
        PutU32(bytes, k.at, k.value);
        if (std::strcmp(k.what, "format the driver does not know") == 0) {
            PutU32(bytes, kBody + 76, 0x7777);
        }
        if (std::strcmp(k.what, "format the adapter lacks") == 0) {
            PutU32(bytes, kBody + 72, 0);
            bytes[kBody + 87] = ovD3D9NATIVECOMPRESSED;
        }
        OvInt32 error = 0;
        EXPECT_EQ(ReadNative(bytes, &error), nullptr) << k.what;
        EXPECT_EQ(error, k.error) << k.what;
        EXPECT_EQ(D3d9LiveObjects(device), live) << k.what;
    }
    for (size_t cut = 0; cut < good.size(); cut += 37) {
        EXPECT_EQ(ReadNative(Bytes(good.begin(), good.begin() + cut)), nullptr) << cut;
    }
    EXPECT_EQ(D3d9LiveObjects(device), live);
    // The good chunk still reads, also from a stream that ends where the chunk does.
    OvTexture* back = ReadNative(good);
    ASSERT_NE(back, nullptr);
    OvTextureDestroy(back);
    Bytes exact(good.begin() + 12, good.begin() + kBody + OvChunkGetUInt32(good.data() + 16));
    OvMemory memory{exact.data(), static_cast<OvUInt32>(exact.size())};
    OvStream* in = OvStreamOpen(ovSTREAMMEMORY, ovSTREAMREAD, &memory);
    back = nullptr;
    EXPECT_TRUE(OvD3D9NativeTextureRead(in, &back, 0));
    OvStreamClose(in, nullptr);
    ASSERT_NE(back, nullptr);
    OvTextureDestroy(back);
}

// 133 bytes whose length words promise a 2048 x 2048 cube with all its levels (about 134 MB): the
// header is refused on the bytes the stream holds before the device is asked for anything.
TEST_F(D3d9NativeStream, LengthWordsBeyondTheStreamMakeNoRaster) {
    D3d9Adapter adapter = D3d9DefaultAdapter();
    adapter.cubeFormats = {D3DFMT_A8R8G8B8};
    adapter.caps.CubeTextureFilterCaps |= D3DPTFILTERCAPS_MIPFPOINT;
    D3d9SetAdapters({adapter});
    ASSERT_TRUE(D3d9DriverTest::Up());
    OvRaster* raster = OvRasterCreate(16, 8, 32, ovRASTERTYPETEXTURE | ovRASTERFORMAT888);
    ASSERT_NE(raster, nullptr);
    OvTexture* texture = OvTextureCreate(raster);
    Bytes bytes = WriteNative(texture);
    OvTextureDestroy(texture);
    ASSERT_GE(bytes.size(), 133u);
    OvUInt32 least = 88;
    for (OvUInt32 side = 2048; side >= 1; side /= 2) {
        least += 6 * (4 + side * side * 4);
    }
    PutU32(bytes, 4, least + 12);
    PutU32(bytes, 16, least);
    PutU32(bytes, kBody + 72, ovRASTERFORMATMIPMAP | ovRASTERFORMAT8888);
    PutU32(bytes, kBody + 76, D3DFMT_A8R8G8B8);
    PutU32(bytes, kBody + 80, 2048u | 2048u << 16);
    bytes[kBody + 84] = 32;
    bytes[kBody + 85] = 12;
    bytes[kBody + 87] = ovD3D9NATIVECUBE | ovD3D9NATIVEHASALPHA;
    bytes.resize(133);
    D3d9LogEnable(true);
    EXPECT_EQ(ReadNative(bytes), nullptr);
    EXPECT_EQ(D3d9LogCount("CreateCubeTexture"), 0);
    EXPECT_EQ(D3d9LogCount("CreateTexture"), 0);
}

TEST_F(D3d9NativeStream, DictionariesOfNativeTexturesKeepTheirOrder) {
    ASSERT_TRUE(Up());
    OvTexDictionary* dict = OvTexDictionaryCreate();
    const char* names[] = {"first", "second", "third"};
    for (int i = 0; i < 3; ++i) {
        OvRaster* raster = i == 1 ? nullptr : OvRasterCreate(8 << i, 8, 32, ovRASTERTYPETEXTURE | ovRASTERFORMAT8888);
        OvTexture* t = OvTextureCreate(raster);
        OvTextureSetName(t, names[i]);
        OvTexDictionaryAddTexture(dict, t);
    }
    OvStream* out = OvStreamOpen(ovSTREAMMEMORY, ovSTREAMWRITE, nullptr);
    ASSERT_NE(OvTexDictionaryStreamWriteNative(dict, out), nullptr);
    OvMemory memory{};
    OvStreamClose(out, &memory);
    EXPECT_EQ(OvChunkGetUInt32(memory.start), ovID_TEXDICTIONARY);
    EXPECT_EQ(OvChunkGetUInt32(memory.start + 4), memory.length - 12);
    EXPECT_EQ(memory.start[24], 3);
    OvStream* in = OvStreamOpen(ovSTREAMMEMORY, ovSTREAMREAD, &memory);
    ASSERT_TRUE(OvStreamFindChunk(in, ovID_TEXDICTIONARY, nullptr, nullptr));
    OvTexDictionary* back = OvTexDictionaryStreamReadNative(in);
    OvStreamClose(in, nullptr);
    ASSERT_NE(back, nullptr);
    const OvLLLink* a = dict->texturesInDict.next;
    const OvLLLink* b = back->texturesInDict.next;
    for (; a != &dict->texturesInDict && b != &back->texturesInDict; a = a->next, b = b->next) {
        const auto* ta =
            reinterpret_cast<const OvTexture*>(reinterpret_cast<const char*>(a) - offsetof(OvTexture, lInDictionary));
        const auto* tb =
            reinterpret_cast<const OvTexture*>(reinterpret_cast<const char*>(b) - offsetof(OvTexture, lInDictionary));
        EXPECT_STREQ(ta->name, tb->name);
        EXPECT_EQ(ta->raster == nullptr, tb->raster == nullptr);
    }
    EXPECT_EQ(a, &dict->texturesInDict);
    EXPECT_EQ(b, &back->texturesInDict);
    // A dictionary cut short is refused whole.
    memory.length -= 5;
    in = OvStreamOpen(ovSTREAMMEMORY, ovSTREAMREAD, &memory);
    ASSERT_TRUE(OvStreamFindChunk(in, ovID_TEXDICTIONARY, nullptr, nullptr));
    EXPECT_EQ(OvTexDictionaryStreamReadNative(in), nullptr);
    OvStreamClose(in, nullptr);
    OvFree(memory.start);
    OvTexDictionaryDestroy(back);
    OvTexDictionaryDestroy(dict);
}
