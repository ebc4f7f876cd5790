#include "graphics/core/texture_stream.h"

#include <string>

#include "graphics/core/image_processing.h"
#include "graphics/core/tests/image_files.h"

namespace {

std::vector<Rgba> Pattern(int width, int height, int seed) {
    std::vector<Rgba> pixels;
    for (int i = 0; i < width * height; ++i) {
        pixels.push_back({static_cast<OvUInt8>(i * 29 + seed), static_cast<OvUInt8>(seed * 3 + i),
                          static_cast<OvUInt8>(i * i), static_cast<OvUInt8>(255 - (i % 3) * seed)});
    }
    return pixels;
}

class TextureStreamTest : public TestFormatsEngine {
protected:
    static std::vector<std::uint8_t> Written(const OvTexture* texture) {
        OvStream* out = OvStreamOpen(ovSTREAMMEMORY, ovSTREAMWRITE, nullptr);
        EXPECT_EQ(OvTextureStreamWrite(texture, out), texture);
        return CloseWritten(out);
    }
    // Reads a texture chunk from its bytes (header included).
    static OvTexture* ReadBack(std::vector<std::uint8_t>& bytes, std::uint32_t length) {
        OvStream* in = OpenRead(bytes, length);
        OvTexture* texture = OvStreamFindChunk(in, ovID_TEXTURE, nullptr, nullptr) ? OvTextureStreamRead(in) : nullptr;
        OvStreamClose(in, nullptr);
        return texture;
    }
};

TEST_F(TextureStreamTest, TextureChunksStoreTheNameAndReadByIt) {
    OvTexture* texture = OvTextureCreate(nullptr);
    OvTextureSetName(texture, "ab");
    texture->filterAddressing = 0x0302; // filter 2, u 3, v 0
    OvTexDictionaryAddTexture(OvTexDictionaryGetCurrent(), texture);
    std::vector<std::uint8_t> bytes = Written(texture);
    ChunkBytes want;
    want.Header(6, 60).Header(1, 4).U32(0x0302).Header(2, 4).U32(0x6261).Header(2, 4).U32(0).EmptyExtension();
    EXPECT_EQ(bytes, want.bytes);
    EXPECT_EQ(OvTextureStreamGetSize(texture) + 12, bytes.size());

    // The same chunk again finds the texture: one more reference, the stored word not taken.
    EXPECT_EQ(ReadBack(bytes, want.Size()), texture);
    EXPECT_EQ(texture->refCount, 2);
    EXPECT_EQ(texture->filterAddressing, 0x0302u);
    OvTextureDestroy(texture);
    OvTextureDestroy(texture);

    // A new texture takes the word, v from u.
    WriteTestImage("ab.tst", 2, 2, {1, 2, 3, 255});
    texture = ReadBack(bytes, want.Size());
    ASSERT_NE(texture, nullptr);
    EXPECT_EQ(texture->filterAddressing, 0x3302u);
    EXPECT_EQ(OvTextureGetMipmapping(), FALSE);
    OvTextureDestroy(texture);

    // Filter 4 without bit 16: read with mip levels the device makes; the module flags after the
    // read are those before it.
    ChunkBytes mip;
    mip.Header(6, 60).Header(1, 4).U32(0x1104).Header(2, 4).U32(0x6261).Header(2, 4).U32(0).EmptyExtension();
    texture = ReadBack(mip.bytes, mip.Size());
    ASSERT_NE(texture, nullptr);
    EXPECT_EQ(OvRasterGetFormat(texture->raster) & 0x9000, 0x9000);
    EXPECT_EQ(OvTextureGetMipmapping(), FALSE);
    EXPECT_EQ(OvTextureGetAutoMipmapping(), FALSE);
    // Written back, a raster whose levels are automatic leaves bit 16 clear.
    EXPECT_EQ(Written(texture), mip.bytes);
    OvTextureDestroy(texture);

    // Damage: every cut, an old version, a name that overruns the reader's buffer.
    for (std::uint32_t n = 12; n < mip.Size(); ++n) {
        ASSERT_EQ(ReadBack(mip.bytes, n), nullptr) << n;
    }
    ClearError();
    ChunkBytes old;
    old.Header(6, 60).Header(1, 4, 0x0310).U32(0x1104);
    EXPECT_EQ(ReadBack(old.bytes, old.Size()), nullptr);
    EXPECT_EQ(ClearError(), ovERRBADVERSION);
    ChunkBytes longName;
    longName.Header(6, 0).Header(1, 4).U32(0x0101).Header(2, 200);
    longName.bytes.resize(longName.bytes.size() + 200, 'z');
    longName.Header(2, 4).U32(0).EmptyExtension();
    EXPECT_EQ(ReadBack(longName.bytes, longName.Size()), nullptr);
    ClearError();
}

TEST_F(TextureStreamTest, DictionariesOfImagesReadBackWhatWasWritten) {
    WriteTestImage("plain.tst", 4, 2, Pattern(4, 2, 1));
    WriteTestImage("few.pal", 2, 2, Pattern(2, 2, 2));
    WriteTestImage("mipped.tst", 4, 4, Pattern(4, 4, 3));
    WriteTestImage("mippedm1.tst", 2, 2, Pattern(2, 2, 4));
    WriteTestImage("mippedm2.tst", 1, 1, Pattern(1, 1, 5));
    OvTexDictionary* dict = OvTexDictionaryCreate();
    OvTexDictionarySetCurrent(dict);
    ASSERT_NE(OvTextureRead("plain", nullptr), nullptr);
    ASSERT_NE(OvTextureRead("few", nullptr), nullptr);
    OvTextureSetMipmapping(TRUE);
    OvTexture* mipped = OvTextureRead("mipped", nullptr);
    ASSERT_NE(mipped, nullptr);
    mipped->filterAddressing = 0x2306;
    OvTextureSetMipmapping(FALSE);
    OvTexture* bare = OvTextureCreate(nullptr); // no raster: not written
    OvTexDictionaryAddTexture(dict, bare);

    OvStream* out = OvStreamOpen(ovSTREAMMEMORY, ovSTREAMWRITE, nullptr);
    ASSERT_EQ(OvTexDictionaryStreamWriteImages(dict, out), dict);
    std::vector<std::uint8_t> bytes = CloseWritten(out);
    OvTexDictionary* current = OvTexDictionaryGetCurrent();

    OvStream* in = OpenRead(bytes, static_cast<std::uint32_t>(bytes.size()));
    ASSERT_TRUE(OvStreamFindChunk(in, ovID_TEXDICTIONARYIMAGES, nullptr, nullptr));
    OvTexDictionary* back = OvTexDictionaryStreamReadImages(in);
    OvStreamClose(in, nullptr);
    ASSERT_NE(back, nullptr);
    EXPECT_EQ(OvTexDictionaryGetCurrent(), current);
    // Same textures in the same order, same words, same pixels at every level.
    OvLLLink* a = dict->texturesInDict.next->next; // past the texture without a raster
    OvLLLink* b = back->texturesInDict.next;
    int count = 0;
    for (; a != &dict->texturesInDict; a = a->next, b = b->next, ++count) {
        ASSERT_NE(b, &back->texturesInDict);
        auto* ta = reinterpret_cast<OvTexture*>(reinterpret_cast<char*>(a) - offsetof(OvTexture, lInDictionary));
        auto* tb = reinterpret_cast<OvTexture*>(reinterpret_cast<char*>(b) - offsetof(OvTexture, lInDictionary));
        EXPECT_STREQ(ta->name, tb->name);
        EXPECT_EQ(ta->filterAddressing, tb->filterAddressing);
        ASSERT_EQ(OvRasterGetNumLevels(ta->raster), OvRasterGetNumLevels(tb->raster)) << ta->name;
        for (int level = 0; level < OvRasterGetNumLevels(ta->raster); ++level) {
            OvImage* ia = LevelImage(ta->raster, level);
            OvImage* ib = LevelImage(tb->raster, level);
            EXPECT_TRUE(SamePixels(ia, ib)) << ta->name << " level " << level;
            OvImageDestroy(ia);
            OvImageDestroy(ib);
        }
    }
    EXPECT_EQ(count, 3);
    EXPECT_EQ(b, &back->texturesInDict);
    OvTexDictionaryDestroy(back);

    // Every cut of the body fails and leaves no texture, raster or dictionary behind.
    const int live = OvTestMemoryRasterDriverState()->liveRasters;
    for (std::uint32_t n = 12; n < bytes.size(); n += 5) {
        in = OpenRead(bytes, n);
        OvStreamFindChunk(in, ovID_TEXDICTIONARYIMAGES, nullptr, nullptr);
        ASSERT_EQ(OvTexDictionaryStreamReadImages(in), nullptr) << n;
        OvStreamClose(in, nullptr);
        ASSERT_EQ(OvTestMemoryRasterDriverState()->liveRasters, live);
        ASSERT_EQ(OvTexDictionaryGetCurrent(), current);
    }
    ClearError();
    OvTexDictionaryDestroy(dict);
}

TEST_F(TextureStreamTest, ShortFormAndBadCounts) {
    // One texture of one 2 x 2 image, filter 5, no addressing: automatic levels, addressing 1.
    ChunkBytes c;
    c.U32(0x00000001); // count 1, short form
    std::vector<std::uint8_t> record(72, 0);
    std::memset(record.data(), 'n', 32); // a name filling its field, no NUL
    record[64] = 1;
    record[68] = 5;
    c.bytes.insert(c.bytes.end(), record.begin(), record.end());
    c.Header(24, 12 + 16 + 16).Header(1, 16).I32(2).I32(2).I32(32).I32(8);
    for (std::uint32_t i = 0; i < 4; ++i) {
        c.U32(0xFF000000u | i * 0x10101u);
    }
    OvStream* in = OpenRead(c.bytes, c.Size());
    OvTexDictionary* dict = OvTexDictionaryStreamReadImages(in);
    OvStreamClose(in, nullptr);
    ASSERT_NE(dict, nullptr);
    auto* t = reinterpret_cast<OvTexture*>(reinterpret_cast<char*>(dict->texturesInDict.next) -
                                           offsetof(OvTexture, lInDictionary));
    EXPECT_EQ(std::string(t->name), std::string(31, 'n'));
    EXPECT_EQ(t->filterAddressing, 0x1105u);
    EXPECT_EQ(OvRasterGetFormat(t->raster) & 0x9000, 0x9000);
    EXPECT_EQ(OvRasterGetNumLevels(t->raster), 2);
    ClearError();
    OvTexDictionaryDestroy(dict);

    // No images, or more levels than any raster has.
    for (std::uint32_t n : {0u, 1000u}) {
        ChunkBytes bad;
        bad.U32(0x00010001).U32(n);
        in = OpenRead(bad.bytes, bad.Size());
        EXPECT_EQ(OvTexDictionaryStreamReadImages(in), nullptr);
        OvStreamClose(in, nullptr);
        EXPECT_EQ(ClearError(), ovERRBADFORMAT);
    }
}

} // namespace
