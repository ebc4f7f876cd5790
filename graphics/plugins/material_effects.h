#pragma once
// Material effects (plugin 0x120): bump maps, environment maps, dual textures and
// texture-coordinate transforms held by a material in two effect slots, with their stream form
// (a material extension) and the effects flags of atomics and world sectors (their extensions).

#include "graphics/core/frame.h"
#include "graphics/core/matrix.h"
#include "graphics/core/texture.h"
#include "graphics/core/types.h"
#include "graphics/core/vector.h"

struct OvAtomic;
struct OvMaterial;
struct OvPipeline;
struct OvStream;
struct OvWorldSector;

inline constexpr OvUInt32 ovPLUGINIDMATERIALEFFECTS = 0x120;

// Effect type of a whole material; values above 6 are kept but lay out no slots.
enum OvMaterialEffectsType : OvUInt32 {
    ovMATFXNONE = 0,
    ovMATFXBUMP = 1,
    ovMATFXENV = 2,
    ovMATFXBUMPENV = 3,
    ovMATFXDUAL = 4,
    ovMATFXUVTRANSFORM = 5,
    ovMATFXDUALUVTRANSFORM = 6,
};
// Kind of one slot.
enum OvMaterialEffectsKind : OvUInt32 {
    ovMATFXKINDNONE = 0,
    ovMATFXKINDBUMP = 1,
    ovMATFXKINDENV = 2,
    ovMATFXKINDDUAL = 4,
    ovMATFXKINDUVTRANSFORM = 5,
};

// One effect slot; which fields mean something depends on the kind.
struct OvMaterialEffectsSlot {
    OvUInt32 kind;
    OvFrame* frame;             // bump: the light's frame; environment: its frame (not owned; null: the camera's)
    OvTexture* texture;         // bump: the bump texture; environment and dual: the texture (owned references)
    OvTexture* source;          // bump: the source texture (owned reference)
    float coefficient;          // bump: bumpiness; environment: reflection coefficient
    float invWidth;             // bump: 1 / width of the bump texture's raster (0: no bump draw)
    OvUInt32 frameBufferAlpha;  // environment
    OvUInt32 srcBlend;          // dual: engine blend numbers
    OvUInt32 destBlend;         // dual
    const OvMatrix* baseMatrix; // transform: texture set 0 (not owned; null: identity)
    const OvMatrix* dualMatrix; // transform: the dual texture's (not owned; null: identity)
};

struct OvMaterialEffects {
    OvMaterialEffectsSlot slots[2];
    OvUInt32 type;
};

OvBool OvMaterialEffectsPluginAttach();

// Installs the plugin's atomic (world-sector) pipeline on the object and returns it; the effects
// flag is left as it is. The pipelines exist while the engine is started.
OvAtomic* OvMaterialEffectsAtomicEnable(OvAtomic* atomic);
OvWorldSector* OvMaterialEffectsWorldSectorEnable(OvWorldSector* sector);
OvPipeline* OvMaterialEffectsGetAtomicPipeline();
OvPipeline* OvMaterialEffectsGetWorldSectorPipeline();

// What the device allows, read at engine start. With fewer than two blend stages every flag is
// off; without pixel shader 1.1 no shader is made.
struct OvMaterialEffectsDeviceFlags {
    OvUInt32 blendStages; // MaxTextureBlendStages
    OvBool twoTextures;   // two simultaneous textures
    OvBool modulate2x;    // the MODULATE2X stage operation
    OvBool multiplyAdd;   // the MULTIPLYADD stage operation
    OvBool pixelShaders;  // pixel shader 1.1
};
const OvMaterialEffectsDeviceFlags* OvMaterialEffectsGetDeviceFlags();

// The processor pass of bump mapping: one 44-byte vertex (position, normal, colour, two texture
// sets) per vertex. The light is a point or, with `direction`, a direction towards the light, in
// the vertices' space. The second set is the first moved by (T . L, B . L) x scale with L the unit
// vector towards the light, T the tangent and B = T x N; missing normals and tangents read as 0,
// missing colours as opaque white.
struct OvMaterialEffectsBumpVertex {
    OvV3d position;
    OvV3d normal;
    OvUInt32 color;
    float u0, v0, u1, v1;
};
struct OvMaterialEffectsBumpLight {
    OvV3d vector;
    OvBool direction;
};
void OvMaterialEffectsBumpVertices(OvMaterialEffectsBumpVertex* out, const OvV3d* positions, const OvV3d* normals,
                                   const OvUInt32* colors, const OvV2d* uvs, const OvV3d* tangents, OvInt32 count,
                                   const OvMaterialEffectsBumpLight* light, float scale);

// The material's effects, or null.
OvMaterialEffects* OvMaterialEffectsGet(const OvMaterial* material);
// Creates the record when missing; a change of type from a nonzero one (or type 0) clears the old
// effects first; lays out the slots of the type (dual slots get the blend pair 5, 6). Null when
// no record can be had.
OvMaterial* OvMaterialEffectsSetType(OvMaterial* material, OvUInt32 type);
// The bump slot's source texture (null: none); the bump texture is the material's texture with
// the source's brightest channel as alpha, found in the current dictionary under the two names
// interleaved or made and added there. Null when the material has no bump slot.
OvMaterial* OvMaterialEffectsSetBumpTexture(OvMaterial* material, OvTexture* texture);
// Writes the pair into the dual slot; nothing when there is none.
OvMaterial* OvMaterialEffectsSetDualBlendModes(OvMaterial* material, OvUInt32 srcBlend, OvUInt32 destBlend);
// The first slot of the kind (kind 0: the first empty slot), or null.
OvMaterialEffectsSlot* OvMaterialEffectsFindSlot(const OvMaterial* material, OvUInt32 kind);
// The effects flags of atomics and world sectors (set when a stream marks them).
OvBool OvMaterialEffectsAtomicGetFlag(const OvAtomic* atomic);
OvBool OvMaterialEffectsWorldSectorGetFlag(const OvWorldSector* sector);

// The material extension's body: read into the material (null, nothing kept, on failure),
// written (nothing for a material without effects), and its size.
OvStream* OvMaterialEffectsStreamRead(OvStream* stream, OvInt32 length, OvMaterial* material);
OvStream* OvMaterialEffectsStreamWrite(OvStream* stream, const OvMaterial* material);
OvInt32 OvMaterialEffectsStreamGetSize(const OvMaterial* material);
