// Material effects: the slots each type lays out, the stream form byte for byte against a
// hand-built body (the bump coefficient stored negated) and round trips of every type, a
// truncation sweep and foreign slot kinds refused with nothing kept, and bump textures set from
// the slot's own source or from nothing.

#include "graphics/plugins/material_effects.h"

#include "graphics/core/d3d9/tests/d3d9_fixture.h"
#include "graphics/core/raster.h"
#include "graphics/core/stream.h"
#include "graphics/core/tests/started_engine.h"
#include "graphics/core/texture.h"
#include "graphics/core/texture_stream.h"
#include "graphics/world/material.h"
#include "graphics/world/world_plugin.h"

#include <cstring>
#include <vector>

namespace {

class MaterialEffectsTest : public D3d9DriverTest {
protected:
    void SetUp() override {
        D3d9DriverTest::SetUp();
        ASSERT_TRUE(OvWorldPluginAttach());
        ASSERT_TRUE(OvMaterialEffectsPluginAttach());
        ASSERT_TRUE(Up());
    }
};

std::vector<std::uint8_t> Body(const OvMaterial* m) {
    OvStream* s = OvStreamOpen(ovSTREAMMEMORY, ovSTREAMWRITE, nullptr);
    EXPECT_NE(OvMaterialEffectsStreamWrite(s, m), nullptr);
    return CloseWritten(s);
}

void PutU32(std::vector<std::uint8_t>* out, std::uint32_t v) {
    for (int k = 0; k < 4; ++k) {
        out->push_back(static_cast<std::uint8_t>(v >> (8 * k)));
    }
}
void PutF32(std::vector<std::uint8_t>* out, float f) {
    std::uint32_t v;
    std::memcpy(&v, &f, 4);
    PutU32(out, v);
}

// A material given the effects of a type with recognisable values.
OvMaterial* Sample(OvUInt32 type) {
    OvMaterial* m = OvMaterialCreate();
    OvMaterialEffectsSetType(m, type);
    if (OvMaterialEffectsSlot* s = OvMaterialEffectsFindSlot(m, ovMATFXKINDBUMP)) {
        s->coefficient = 0.5f;
    }
    if (OvMaterialEffectsSlot* s = OvMaterialEffectsFindSlot(m, ovMATFXKINDENV)) {
        s->coefficient = 0.25f;
        s->frameBufferAlpha = 1;
    }
    OvMaterialEffectsSetDualBlendModes(m, 9, 3);
    return m;
}

} // namespace

TEST_F(MaterialEffectsTest, TypesLayOutTheirSlots) {
    const OvUInt32 kinds[7][2] = {{0, 0}, {1, 0}, {2, 0}, {1, 2}, {4, 0}, {5, 0}, {5, 4}};
    OvMaterial* m = OvMaterialCreate();
    for (OvUInt32 type = 0; type < 8; ++type) {
        // Set twice, with other blend functions between: setting a type again lays it out afresh.
        ASSERT_EQ(OvMaterialEffectsSetType(m, type), m);
        OvMaterialEffectsSetDualBlendModes(m, 9, 3);
        ASSERT_EQ(OvMaterialEffectsSetType(m, type), m);
        const OvMaterialEffects* fx = OvMaterialEffectsGet(m);
        ASSERT_NE(fx, nullptr);
        EXPECT_EQ(fx->type, type);
        for (int k = 0; k < 2; ++k) {
            EXPECT_EQ(fx->slots[k].kind, type < 7 ? kinds[type][k] : 0u) << type;
        }
        // The first slot of a kind, an empty slot (kind 0) included.
        for (OvUInt32 kind : {0u, 1u, 2u, 4u, 5u}) {
            const int first = fx->slots[0].kind == kind ? 0 : fx->slots[1].kind == kind ? 1 : -1;
            EXPECT_EQ(OvMaterialEffectsFindSlot(m, kind), first < 0 ? nullptr : &fx->slots[first]) << type << kind;
        }
        if (OvMaterialEffectsSlot* dual = OvMaterialEffectsFindSlot(m, ovMATFXKINDDUAL)) {
            EXPECT_EQ(dual->srcBlend, 5u);
            EXPECT_EQ(dual->destBlend, 6u);
        }
    }
    OvMaterialEffectsSetType(m, ovMATFXBUMPENV);
    EXPECT_NE(OvMaterialEffectsFindSlot(m, ovMATFXKINDBUMP), nullptr);
    EXPECT_NE(OvMaterialEffectsFindSlot(m, ovMATFXKINDENV), nullptr);
    EXPECT_EQ(OvMaterialEffectsFindSlot(m, ovMATFXKINDDUAL), nullptr);
    OvMaterialEffectsSetType(m, ovMATFXNONE);
    EXPECT_EQ(OvMaterialEffectsFindSlot(m, ovMATFXKINDBUMP), nullptr);
    EXPECT_EQ(OvMaterialEffectsStreamGetSize(m), 0);
    EXPECT_TRUE(Body(m).empty());
    OvMaterialDestroy(m);
}

TEST_F(MaterialEffectsTest, StreamFormIsByteExactAndRoundTripsEveryType) {
    // Type 3: the bump slot (coefficient 0.5 stored as -0.5, no textures) and the environment slot.
    std::vector<std::uint8_t> expected;
    PutU32(&expected, 3);
    PutU32(&expected, 1);
    PutF32(&expected, -0.5f);
    PutU32(&expected, 0);
    PutU32(&expected, 0);
    PutU32(&expected, 2);
    PutF32(&expected, 0.25f);
    PutU32(&expected, 1);
    PutU32(&expected, 0);
    OvMaterial* m = Sample(3);
    EXPECT_EQ(Body(m), expected);
    EXPECT_EQ(OvMaterialEffectsStreamGetSize(m), static_cast<OvInt32>(expected.size()));
    OvMaterialDestroy(m);

    for (OvUInt32 type = 1; type <= 7; ++type) {
        OvMaterial* a = Sample(type);
        std::vector<std::uint8_t> bytes = Body(a);
        ASSERT_EQ(OvMaterialEffectsStreamGetSize(a), static_cast<OvInt32>(bytes.size())) << type;
        OvMaterial* b = OvMaterialCreate();
        OvStream* s = OpenRead(bytes, static_cast<std::uint32_t>(bytes.size()));
        ASSERT_EQ(OvMaterialEffectsStreamRead(s, static_cast<OvInt32>(bytes.size()), b), s) << type;
        OvStreamClose(s, nullptr);
        EXPECT_EQ(Body(b), bytes) << type;
        if (const OvMaterialEffectsSlot* bump = OvMaterialEffectsFindSlot(b, ovMATFXKINDBUMP)) {
            EXPECT_EQ(bump->coefficient, 0.5f);
        }
        if (const OvMaterialEffectsSlot* dual = OvMaterialEffectsFindSlot(b, ovMATFXKINDDUAL)) {
            EXPECT_EQ(dual->srcBlend, 9u);
            EXPECT_EQ(dual->destBlend, 3u);
        }
        OvMaterialDestroy(a);
        OvMaterialDestroy(b);
    }
}

TEST_F(MaterialEffectsTest, TruncatedBodiesAndForeignSlotKindsAreRefused) {
    for (OvUInt32 type : {1u, 3u, 4u, 6u}) {
        OvMaterial* a = Sample(type);
        std::vector<std::uint8_t> bytes = Body(a);
        OvMaterialDestroy(a);
        for (std::uint32_t n = 0; n < bytes.size(); ++n) {
            OvMaterial* b = OvMaterialCreate();
            OvStream* s = OpenRead(bytes, n);
            EXPECT_EQ(OvMaterialEffectsStreamRead(s, static_cast<OvInt32>(n), b), nullptr) << type << " " << n;
            OvStreamClose(s, nullptr);
            TakeError();
            EXPECT_EQ(OvMaterialEffectsFindSlot(b, ovMATFXKINDBUMP), nullptr);
            EXPECT_EQ(OvMaterialEffectsStreamGetSize(b), 0);
            OvMaterialDestroy(b);
        }
    }
    // A type-4 body whose slot claims to be an environment map.
    std::vector<std::uint8_t> bytes;
    PutU32(&bytes, 4);
    PutU32(&bytes, 2);
    PutF32(&bytes, 1.0f);
    PutU32(&bytes, 0);
    PutU32(&bytes, 0);
    PutU32(&bytes, 0);
    OvMaterial* b = OvMaterialCreate();
    OvStream* s = OpenRead(bytes, static_cast<std::uint32_t>(bytes.size()));
    EXPECT_EQ(OvMaterialEffectsStreamRead(s, static_cast<OvInt32>(bytes.size()), b), nullptr);
    OvStreamClose(s, nullptr);
    TakeError();
    OvMaterialDestroy(b);
}

// A texture chunk must be the next thing in the body and lie inside it: a body whose texture
// flag is followed by another chunk that reaches its end, with a texture chunk and a slot kind
// beyond, is refused without the reader going past the body.
TEST_F(MaterialEffectsTest, TextureChunksLieInsideTheBody) {
    OvTexture* named = OvTextureCreate(nullptr);
    OvTextureSetName(named, "beyond");
    OvStream* out = OvStreamOpen(ovSTREAMMEMORY, ovSTREAMWRITE, nullptr);
    ASSERT_NE(OvTextureStreamWrite(named, out), nullptr);
    std::vector<std::uint8_t> beyond = CloseWritten(out);
    OvTextureDestroy(named);
    beyond.insert(beyond.end(), 4, 0); // slot 1: kind 0
    std::vector<std::uint8_t> body;
    for (std::uint32_t word : {4u, 4u, 5u, 6u, 1u, 3u, static_cast<std::uint32_t>(beyond.size()), 0x1C020016u}) {
        PutU32(&body, word);
    }
    body.insert(body.end(), beyond.size(), 0); // the other chunk's body ends the extension
    std::vector<std::uint8_t> bytes = body;
    bytes.insert(bytes.end(), beyond.begin(), beyond.end());
    OvMaterial* m = OvMaterialCreate();
    OvStream* s = OpenRead(bytes, static_cast<std::uint32_t>(bytes.size()));
    EXPECT_EQ(OvMaterialEffectsStreamRead(s, static_cast<OvInt32>(body.size()), m), nullptr);
    EXPECT_GE(OvStreamGetBytesLeft(s), beyond.size());
    OvStreamClose(s, nullptr);
    TakeError();
    OvMaterialDestroy(m);
}

// Setting the slot's own source again keeps it alive (the new reference is taken before the old
// ones go); a material with neither a bump texture nor a texture of its own gets no bump width.
TEST_F(MaterialEffectsTest, BumpTexturesFromTheirOwnSourceOrFromNothing) {
    OvMaterial* m = OvMaterialCreate();
    OvMaterialEffectsSetType(m, ovMATFXBUMP);
    OvMaterialEffectsSlot* bump = OvMaterialEffectsFindSlot(m, ovMATFXKINDBUMP);
    ASSERT_NE(bump, nullptr);
    ASSERT_EQ(OvMaterialEffectsSetBumpTexture(m, nullptr), m);
    EXPECT_EQ(bump->invWidth, 0.0f);
    EXPECT_EQ(bump->texture, nullptr);

    OvRaster* raster = OvRasterCreate(8, 8, 32, ovRASTERTYPETEXTURE);
    ASSERT_NE(raster, nullptr);
    OvTexture* source = OvTextureCreate(raster);
    ASSERT_NE(source, nullptr);
    OvTextureSetName(source, "grain");
    ASSERT_EQ(OvMaterialEffectsSetBumpTexture(m, source), m);
    OvTextureDestroy(source); // the slot holds the only reference now
    ASSERT_EQ(bump->source, source);
    ASSERT_EQ(OvMaterialEffectsSetBumpTexture(m, bump->source), m);
    EXPECT_EQ(bump->source, source);
    EXPECT_EQ(source->refCount, 1);
    EXPECT_STREQ(source->name, "grain");
    if (bump->texture != nullptr) {
        EXPECT_STREQ(bump->texture->name, "ggrraaiinn");
        EXPECT_EQ(bump->invWidth, 1.0f / 8.0f);
    } else {
        EXPECT_EQ(bump->invWidth, 0.0f);
    }
    OvMaterialDestroy(m);
}

// Textures are stored by name: one that cannot be found is left out and the read goes on.
TEST_F(MaterialEffectsTest, TexturesThatCannotBeFoundAreLeftOut) {
    OvMaterial* a = Sample(ovMATFXBUMPENV);
    OvTexture* grain = OvTextureCreate(nullptr);
    OvTextureSetName(grain, "no_such_grain");
    OvMaterialEffectsFindSlot(a, ovMATFXKINDBUMP)->source = grain; // the slot's reference
    OvTexture* sky = OvTextureCreate(nullptr);
    OvTextureSetName(sky, "no_such_sky");
    OvMaterialEffectsFindSlot(a, ovMATFXKINDENV)->texture = sky;
    std::vector<std::uint8_t> bytes = Body(a);
    ASSERT_EQ(OvMaterialEffectsStreamGetSize(a), static_cast<OvInt32>(bytes.size()));
    OvMaterialDestroy(a);
    OvMaterial* b = OvMaterialCreate();
    OvStream* s = OpenRead(bytes, static_cast<std::uint32_t>(bytes.size()));
    ASSERT_EQ(OvMaterialEffectsStreamRead(s, static_cast<OvInt32>(bytes.size()), b), s);
    OvStreamClose(s, nullptr);
    const OvMaterialEffectsSlot* bump = OvMaterialEffectsFindSlot(b, ovMATFXKINDBUMP);
    const OvMaterialEffectsSlot* env = OvMaterialEffectsFindSlot(b, ovMATFXKINDENV);
    ASSERT_NE(bump, nullptr);
    ASSERT_NE(env, nullptr);
    EXPECT_EQ(bump->source, nullptr);
    EXPECT_EQ(env->texture, nullptr);
    EXPECT_EQ(bump->coefficient, 0.5f);
    EXPECT_EQ(env->frameBufferAlpha, 1u);
    OvMaterialDestroy(b);
}
