#include "graphics/plugins/material_effects.h"

#include <cstring>
#include <initializer_list>

#include "graphics/core/chunk.h"
#include "graphics/core/d3d9/raster.h"
#include "graphics/core/engine.h"
#include "graphics/core/error.h"
#include "graphics/core/memory.h"
#include "graphics/core/raster.h"
#include "graphics/core/stream.h"
#include "graphics/core/texture_stream.h"
#include "graphics/world/clump.h"
#include "graphics/world/material.h"
#include "graphics/world/world.h"
#include "graphics/world/world_plugin.h"
#include "graphics/plugins/material_effects_internal.h"

namespace {

constexpr OvUInt32 kHintRecord = ovMEMHINTDUR_OBJECT | ovPLUGINIDMATERIALEFFECTS;
constexpr OvUInt32 kMaxBumpName = 30;
constexpr OvUInt32 kTextureChunkHeader = 12;

struct PluginState {
    OvInt32 materialOffset = -1;
    OvInt32 atomicOffset = -1;
    OvInt32 sectorOffset = -1;
};
PluginState gFx;

OvMaterialEffects*& MaterialExt(const OvMaterial* m) {
    return *reinterpret_cast<OvMaterialEffects**>(reinterpret_cast<OvUInt8*>(const_cast<OvMaterial*>(m)) +
                                                  gFx.materialOffset);
}
OvUInt32& FlagAt(const void* object, OvInt32 offset) {
    return *reinterpret_cast<OvUInt32*>(static_cast<OvUInt8*>(const_cast<void*>(object)) + offset);
}

// Slot kinds of each type.
constexpr OvUInt32 kKinds[7][2] = {{0, 0}, {1, 0}, {2, 0}, {1, 2}, {4, 0}, {5, 0}, {5, 4}};

void Release(OvTexture*& t) {
    if (t != nullptr) {
        OvTextureDestroy(t);
        t = nullptr;
    }
}

void ClearSlot(OvMaterialEffectsSlot* s) {
    Release(s->texture);
    Release(s->source);
    *s = {};
}

void ClearRecord(OvMaterialEffects* fx) {
    for (OvMaterialEffectsSlot& s : fx->slots) {
        ClearSlot(&s);
    }
    fx->type = 0;
}

void* MaterialConstruct(void* object, OvInt32 offset, OvInt32) {
    *reinterpret_cast<OvMaterialEffects**>(static_cast<OvUInt8*>(object) + offset) = nullptr;
    return object;
}
void* MaterialDestruct(void* object, OvInt32 offset, OvInt32) {
    auto*& fx = *reinterpret_cast<OvMaterialEffects**>(static_cast<OvUInt8*>(object) + offset);
    if (fx != nullptr) {
        ClearRecord(fx);
        OvFree(fx);
        fx = nullptr;
    }
    return object;
}
void* MaterialCopy(void* dst, const void* src, OvInt32 offset, OvInt32) {
    const auto* from = *reinterpret_cast<OvMaterialEffects* const*>(static_cast<const OvUInt8*>(src) + offset);
    auto*& to = *reinterpret_cast<OvMaterialEffects**>(static_cast<OvUInt8*>(dst) + offset);
    if (from == nullptr) {
        return dst;
    }
    if (to == nullptr) {
        to = static_cast<OvMaterialEffects*>(OvMalloc(sizeof(OvMaterialEffects), kHintRecord));
        if (to == nullptr) {
            OvErrorReport(0, ovERRNOMEMORY);
            return nullptr;
        }
    } else {
        ClearRecord(to);
    }
    *to = *from;
    for (OvMaterialEffectsSlot& s : to->slots) {
        for (OvTexture* t : {s.texture, s.source}) {
            if (t != nullptr) {
                t->refCount++;
            }
        }
    }
    return dst;
}

void* FlagCopy(void* dst, const void* src, OvInt32 offset, OvInt32) {
    if (FlagAt(src, offset) != 0) {
        FlagAt(dst, offset) = 1;
    }
    return dst;
}
// A marked object read from a stream is drawn by the plugin's pipeline.
OvStream* FlagRead(OvStream* stream, OvInt32 length, void* object, OvInt32 offset, bool atomic) {
    OvUInt8 b[4];
    if (length < 4 || OvStreamReadStrict(stream, b, 4) == nullptr ||
        (length > 4 && OvStreamSkip(stream, static_cast<OvUInt32>(length - 4)) == nullptr)) {
        OvErrorReport(0, ovERRREAD);
        return nullptr;
    }
    if (OvChunkGetUInt32(b) != 0 && FlagAt(object, offset) == 0) {
        FlagAt(object, offset) = 1;
        if (atomic) {
            OvMaterialEffectsAtomicEnable(static_cast<OvAtomic*>(object));
        } else {
            OvMaterialEffectsWorldSectorEnable(static_cast<OvWorldSector*>(object));
        }
    }
    return stream;
}
OvStream* AtomicFlagRead(OvStream* stream, OvInt32 length, void* object, OvInt32 offset, OvInt32) {
    return FlagRead(stream, length, object, offset, true);
}
OvStream* SectorFlagRead(OvStream* stream, OvInt32 length, void* object, OvInt32 offset, OvInt32) {
    return FlagRead(stream, length, object, offset, false);
}
OvStream* FlagWrite(OvStream* stream, OvInt32, const void* object, OvInt32 offset, OvInt32) {
    if (FlagAt(object, offset) == 0) {
        return stream;
    }
    OvUInt8 b[4];
    OvChunkPutUInt32(b, 1);
    return OvStreamWrite(stream, b, 4);
}
OvInt32 FlagSize(const void* object, OvInt32 offset, OvInt32) { return FlagAt(object, offset) != 0 ? 4 : 0; }

OvStream* MaterialRead(OvStream* stream, OvInt32 length, void* object, OvInt32, OvInt32) {
    return OvMaterialEffectsStreamRead(stream, length, static_cast<OvMaterial*>(object));
}
OvStream* MaterialWrite(OvStream* stream, OvInt32, const void* object, OvInt32, OvInt32) {
    return OvMaterialEffectsStreamWrite(stream, static_cast<const OvMaterial*>(object));
}
OvInt32 MaterialSize(const void* object, OvInt32, OvInt32) {
    return OvMaterialEffectsStreamGetSize(static_cast<const OvMaterial*>(object));
}

// 1 / the width of a texture's raster; 0 without one.
float InvWidth(const OvTexture* t) {
    return t != nullptr && t->raster != nullptr && t->raster->width > 0 ? 1.0f / static_cast<float>(t->raster->width)
                                                                        : 0.0f;
}

bool Compressed(const OvTexture* t) { return t->raster != nullptr && OvD3D9RasterIsCompressed(t->raster); }

// The bump texture of a base (may be null) and a source: found in the current dictionary under
// the two names interleaved, or made from the base's colour and the source's brightest channel.
OvTexture* BumpTexture(OvTexture* base, OvTexture* source) {
    const char* a = base != nullptr ? base->name : source->name;
    const char* b = source->name;
    char name[ovTEXTURENAMESIZE] = {};
    OvUInt32 n = 0;
    for (OvUInt32 i = 0; n < kMaxBumpName && (a[i] != '\0' || b[i] != '\0') && i < ovTEXTURENAMESIZE; ++i) {
        if (a[i] != '\0') {
            name[n++] = a[i];
        }
        if (n < kMaxBumpName && b[i] != '\0') {
            name[n++] = b[i];
        }
    }
    OvTexDictionary* dict = OvTexDictionaryGetCurrent();
    if (dict != nullptr) {
        if (OvTexture* found = OvTexDictionaryFindNamedTexture(dict, name)) {
            found->refCount++;
            return found;
        }
    }
    if ((base != nullptr && Compressed(base)) || Compressed(source)) {
        return nullptr;
    }
    OvTexture* merged = OvTextureMergeAlpha(base, source);
    if (merged != nullptr) {
        std::memcpy(merged->name, name, sizeof name);
        if (dict != nullptr) {
            OvTexDictionaryAddTexture(dict, merged);
        }
    }
    return merged;
}

// ---- Stream reading ----------------------------------------------------------------------------

struct Reader {
    OvStream* stream;
    OvInt32 remaining;

    bool Bytes(OvUInt8* out, OvInt32 n) {
        if (remaining < n || OvStreamReadStrict(stream, out, static_cast<OvUInt32>(n)) == nullptr) {
            return false;
        }
        remaining -= n;
        return true;
    }
    bool U32(OvUInt32* v) {
        OvUInt8 b[4];
        if (!Bytes(b, 4)) {
            return false;
        }
        *v = OvChunkGetUInt32(b);
        return true;
    }
    bool F32(float* f) {
        OvUInt32 v;
        if (!U32(&v)) {
            return false;
        }
        std::memcpy(f, &v, 4);
        return true;
    }
    // A has-texture flag and, when set, a texture chunk. A texture that cannot be found is left
    // out; any other failure fails the read.
    bool Texture(OvTexture** out) {
        OvUInt32 has = 0;
        if (!U32(&has)) {
            return false;
        }
        if (has == 0) {
            return true;
        }
        // The texture chunk comes next and lies wholly inside what is left of the extension.
        OvUInt32 type = 0;
        OvUInt32 length = 0;
        OvUInt32 version = 0;
        if (remaining < static_cast<OvInt32>(kTextureChunkHeader) ||
            !OvStreamReadChunkHeader(stream, &type, &length, &version, nullptr)) {
            return false;
        }
        remaining -= static_cast<OvInt32>(kTextureChunkHeader);
        if (type != ovID_TEXTURE || length > static_cast<OvUInt32>(remaining)) {
            OvErrorReport(ovPLUGINIDCORE, OvErrorCode(ovERRREAD));
            return false;
        }
        if (!OvChunkVersionAccepted(version)) {
            OvErrorReport(ovPLUGINIDCORE, OvErrorCode(ovERRBADVERSION));
            return false;
        }
        remaining -= static_cast<OvInt32>(length);
        OvError held{};
        OvErrorGet(&held); // a read's own report is told apart from what was held before
        OvTexture* t = nullptr;
        const OvBool bodyRead = OvTextureStreamReadBody(stream, length, &t);
        OvError e{};
        OvErrorGet(&e);
        if (held.errorCode != ovERRNOERROR) {
            OvErrorSet(&held);
        }
        if (!bodyRead) {
            if (e.errorCode != ovERRNOERROR) {
                OvErrorSet(&e);
            }
            return false;
        }
        if (t == nullptr) {
            if (e.errorCode == ovERRNOERROR || e.errorCode == ovERRTEXTUREREAD) {
                return true;
            }
            OvErrorSet(&e);
            return false;
        }
        Release(*out);
        *out = t;
        return true;
    }
};

bool ReadSlot(Reader& r, OvMaterialEffectsSlot* s) {
    OvUInt32 kind = 0;
    if (!r.U32(&kind)) {
        return false;
    }
    if (kind != s->kind) {
        return false; // the slot does not belong to the material's type
    }
    switch (kind) {
    case ovMATFXKINDBUMP: {
        float stored = 0.0f;
        if (!r.F32(&stored) || !r.Texture(&s->texture) || !r.Texture(&s->source)) {
            return false;
        }
        s->coefficient = -stored;
        return true;
    }
    case ovMATFXKINDENV:
        return r.F32(&s->coefficient) && r.U32(&s->frameBufferAlpha) && r.Texture(&s->texture);
    case ovMATFXKINDDUAL:
        return r.U32(&s->srcBlend) && r.U32(&s->destBlend) && r.Texture(&s->texture);
    default:
        return true;
    }
}

bool WriteU32(OvStream* stream, OvUInt32 v) {
    OvUInt8 b[4];
    OvChunkPutUInt32(b, v);
    return OvStreamWrite(stream, b, 4) != nullptr;
}
bool WriteF32(OvStream* stream, float f) {
    OvUInt32 v;
    std::memcpy(&v, &f, 4);
    return WriteU32(stream, v);
}
bool WriteTexture(OvStream* stream, const OvTexture* t) {
    return WriteU32(stream, t != nullptr ? 1 : 0) && (t == nullptr || OvTextureStreamWrite(t, stream) != nullptr);
}
OvInt32 TextureSize(const OvTexture* t) {
    return t != nullptr ? static_cast<OvInt32>(OvTextureStreamGetSize(t) + 16) : 4;
}

} // namespace

namespace {
void* Open(void* instance, OvInt32, OvInt32) { return OvMaterialEffectsRenderOpen() ? instance : nullptr; }
void* Close(void* instance, OvInt32, OvInt32) {
    OvMaterialEffectsRenderClose();
    return instance;
}
} // namespace

OvBool OvMaterialEffectsPluginAttach() {
    const OvInt32 engine = OvEngineRegisterPlugin(0, ovPLUGINIDMATERIALEFFECTS, Open, Close);
    gFx.materialOffset =
        OvMaterialRegisterPlugin(static_cast<OvInt32>(sizeof(OvMaterialEffects*)), ovPLUGINIDMATERIALEFFECTS,
                                 MaterialConstruct, MaterialDestruct, MaterialCopy);
    gFx.atomicOffset = OvAtomicRegisterPlugin(4, ovPLUGINIDMATERIALEFFECTS, OvPluginClearConstructor, nullptr, FlagCopy);
    gFx.sectorOffset = OvWorldSectorRegisterPlugin(4, ovPLUGINIDMATERIALEFFECTS, OvPluginClearConstructor, nullptr, FlagCopy);
    return engine >= 0 && gFx.materialOffset >= 0 && gFx.atomicOffset >= 0 && gFx.sectorOffset >= 0 &&
                   OvMaterialRegisterPluginStream(ovPLUGINIDMATERIALEFFECTS, MaterialRead, MaterialWrite,
                                                  MaterialSize) >= 0 &&
                   OvAtomicRegisterPluginStream(ovPLUGINIDMATERIALEFFECTS, AtomicFlagRead, FlagWrite, FlagSize) >= 0 &&
                   OvWorldSectorRegisterPluginStream(ovPLUGINIDMATERIALEFFECTS, SectorFlagRead, FlagWrite, FlagSize) >=
                       0
               ? TRUE
               : FALSE;
}

OvMaterialEffects* OvMaterialEffectsGet(const OvMaterial* material) {
    return material != nullptr && gFx.materialOffset >= 0 ? MaterialExt(material) : nullptr;
}

OvMaterial* OvMaterialEffectsSetType(OvMaterial* material, OvUInt32 type) {
    if (material == nullptr || gFx.materialOffset < 0) {
        return nullptr;
    }
    OvMaterialEffects*& fx = MaterialExt(material);
    if (fx == nullptr) {
        fx = static_cast<OvMaterialEffects*>(OvMalloc(sizeof(OvMaterialEffects), kHintRecord));
        if (fx == nullptr) {
            OvErrorReport(0, ovERRNOMEMORY);
            return nullptr;
        }
        std::memset(fx, 0, sizeof *fx);
    }
    if (type == 0 || (fx->type != 0 && fx->type != type)) {
        ClearRecord(fx);
    }
    fx->type = type;
    if (type <= 6) {
        for (int k = 0; k < 2; ++k) {
            fx->slots[k].kind = kKinds[type][k];
            if (kKinds[type][k] == ovMATFXKINDDUAL) {
                fx->slots[k].srcBlend = 5;
                fx->slots[k].destBlend = 6;
            }
        }
    }
    return material;
}

OvMaterialEffectsSlot* OvMaterialEffectsFindSlot(const OvMaterial* material, OvUInt32 kind) {
    OvMaterialEffects* fx = OvMaterialEffectsGet(material);
    if (fx == nullptr) {
        return nullptr;
    }
    for (OvMaterialEffectsSlot& s : fx->slots) {
        if (s.kind == kind) {
            return &s;
        }
    }
    return nullptr;
}

OvMaterial* OvMaterialEffectsSetDualBlendModes(OvMaterial* material, OvUInt32 srcBlend, OvUInt32 destBlend) {
    if (OvMaterialEffectsSlot* s = OvMaterialEffectsFindSlot(material, ovMATFXKINDDUAL)) {
        s->srcBlend = srcBlend;
        s->destBlend = destBlend;
    }
    return material;
}

OvMaterial* OvMaterialEffectsSetBumpTexture(OvMaterial* material, OvTexture* texture) {
    OvMaterialEffectsSlot* s = OvMaterialEffectsFindSlot(material, ovMATFXKINDBUMP);
    if (s == nullptr) {
        return nullptr;
    }
    // The new reference first: the texture passed may be the one the slot holds.
    if (texture != nullptr) {
        texture->refCount++;
    }
    Release(s->texture);
    Release(s->source);
    s->invWidth = 0.0f;
    if (texture != nullptr) {
        s->source = texture;
        s->texture = BumpTexture(material->texture, texture);
        // Without a bump texture (a compressed raster, no memory) there is no bump draw.
        s->invWidth = InvWidth(s->texture);
    } else {
        s->invWidth = InvWidth(material->texture);
    }
    return material;
}

OvBool OvMaterialEffectsAtomicGetFlag(const OvAtomic* atomic) {
    return gFx.atomicOffset >= 0 && FlagAt(atomic, gFx.atomicOffset) != 0 ? TRUE : FALSE;
}
OvBool OvMaterialEffectsWorldSectorGetFlag(const OvWorldSector* sector) {
    return gFx.sectorOffset >= 0 && FlagAt(sector, gFx.sectorOffset) != 0 ? TRUE : FALSE;
}

OvStream* OvMaterialEffectsStreamRead(OvStream* stream, OvInt32 length, OvMaterial* material) {
    Reader r{stream, length};
    OvUInt32 type = 0;
    if (!r.U32(&type) || OvMaterialEffectsSetType(material, type) == nullptr) {
        OvErrorReport(0, ovERRREAD);
        return nullptr;
    }
    OvMaterialEffects* fx = MaterialExt(material);
    for (OvMaterialEffectsSlot& s : fx->slots) {
        if (!ReadSlot(r, &s)) {
            ClearRecord(fx); // the textures already read go back
            OvErrorReport(0, ovERRREAD);
            return nullptr;
        }
    }
    if (OvMaterialEffectsSlot* bump = OvMaterialEffectsFindSlot(material, ovMATFXKINDBUMP)) {
        if (bump->texture == nullptr && bump->source != nullptr) {
            OvTexture* source = bump->source;
            source->refCount++;
            OvMaterialEffectsSetBumpTexture(material, source);
            OvTextureDestroy(source);
        } else {
            bump->invWidth = InvWidth(bump->texture != nullptr ? bump->texture : material->texture);
        }
    }
    if (r.remaining > 0 && OvStreamSkip(stream, static_cast<OvUInt32>(r.remaining)) == nullptr) {
        ClearRecord(fx);
        OvErrorReport(0, ovERRREAD);
        return nullptr;
    }
    return stream;
}

OvStream* OvMaterialEffectsStreamWrite(OvStream* stream, const OvMaterial* material) {
    const OvMaterialEffects* fx = OvMaterialEffectsGet(material);
    if (fx == nullptr || fx->type == 0) {
        return stream;
    }
    bool ok = WriteU32(stream, fx->type);
    for (const OvMaterialEffectsSlot& s : fx->slots) {
        ok = ok && WriteU32(stream, s.kind);
        switch (s.kind) {
        case ovMATFXKINDBUMP:
            ok = ok && WriteF32(stream, -s.coefficient) && WriteTexture(stream, s.texture) &&
                 WriteTexture(stream, s.source);
            break;
        case ovMATFXKINDENV:
            ok = ok && WriteF32(stream, s.coefficient) && WriteU32(stream, s.frameBufferAlpha) &&
                 WriteTexture(stream, s.texture);
            break;
        case ovMATFXKINDDUAL:
            ok = ok && WriteU32(stream, s.srcBlend) && WriteU32(stream, s.destBlend) && WriteTexture(stream, s.texture);
            break;
        default:
            break;
        }
    }
    return ok ? stream : nullptr;
}

OvInt32 OvMaterialEffectsStreamGetSize(const OvMaterial* material) {
    const OvMaterialEffects* fx = OvMaterialEffectsGet(material);
    if (fx == nullptr || fx->type == 0) {
        return 0;
    }
    OvInt32 size = 4;
    for (const OvMaterialEffectsSlot& s : fx->slots) {
        size += 4;
        switch (s.kind) {
        case ovMATFXKINDBUMP:
            size += 4 + TextureSize(s.texture) + TextureSize(s.source);
            break;
        case ovMATFXKINDENV:
        case ovMATFXKINDDUAL:
            size += 8 + TextureSize(s.texture);
            break;
        default:
            break;
        }
    }
    return size;
}
