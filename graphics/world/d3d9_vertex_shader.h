#pragma once
// Generated vertex shaders of the Direct3D 9 pipelines: a 4-byte descriptor of what a vertex
// needs (lights by kind and count, texture sets, morphing, bones, vertex colour, normals, fog and
// effect kind) is turned into vs_1_1 / vs_2_0 / vs_2_x text, assembled and cached under the
// descriptor; the lights that reach an object are gathered into the constant registers the text
// reads, and the ambient, material-colour and fog constants go up beside them.

#include "graphics/core/matrix.h"
#include "graphics/core/types.h"
#include "graphics/core/vector.h"
#include "platform/d3d9.h"

// The key of a generated shader (compared as one little-endian 32-bit word).
struct OvD3D9VertexShaderDesc {
    OvUInt8 lights;    // directional lights (bits 0-3), point lights (bits 4-7)
    OvUInt8 spotsSets; // spot lights (bits 0-3), texture-coordinate sets (bits 4-7)
    OvUInt8 flags;     // OvD3D9VertexShaderFlag bits and the bones a vertex (bits 1-3)
    OvUInt8 fogEffect; // fog mode (bits 0-1: none, linear, exponential, exponential squared),
                       // effect kind 0-11 (bits 2-7)
};
static_assert(sizeof(OvD3D9VertexShaderDesc) == 4);

enum OvD3D9VertexShaderFlag : OvUInt8 {
    ovVSMORPH = 0x01,         // two positions (and normals) blended
    ovVSBONESMASK = 0x0E,     // bones a vertex << 1 (0: not skinned)
    ovVSVERTEXCOLOR = 0x10,   // prelit colour added to the ambient
    ovVSNORMALS = 0x20,       // the vertex has normals
    ovVSNORMALIZE = 0x40,     // renormalise transformed normals
    ovVSMATERIALCOLOR = 0x80, // multiply the lit colour by the material-colour constant
};

enum OvD3D9VertexShaderFog : OvUInt8 {
    ovVSFOGNONE = 0,
    ovVSFOGLINEAR = 1,
    ovVSFOGEXP = 2,
    ovVSFOGEXP2 = 3,
};

// Field access.
OvUInt32 OvD3D9VertexShaderDescKey(const OvD3D9VertexShaderDesc* desc);
OvD3D9VertexShaderDesc OvD3D9VertexShaderDescFromKey(OvUInt32 key);
inline OvUInt32 OvD3D9VertexShaderDescDirectional(const OvD3D9VertexShaderDesc* d) { return d->lights & 0xF; }
inline OvUInt32 OvD3D9VertexShaderDescPoint(const OvD3D9VertexShaderDesc* d) { return d->lights >> 4; }
inline OvUInt32 OvD3D9VertexShaderDescSpot(const OvD3D9VertexShaderDesc* d) { return d->spotsSets & 0xF; }
inline OvUInt32 OvD3D9VertexShaderDescTexSets(const OvD3D9VertexShaderDesc* d) { return d->spotsSets >> 4; }
inline OvUInt32 OvD3D9VertexShaderDescBones(const OvD3D9VertexShaderDesc* d) { return (d->flags & ovVSBONESMASK) >> 1; }
inline OvUInt32 OvD3D9VertexShaderDescFog(const OvD3D9VertexShaderDesc* d) { return d->fogEffect & 3; }
inline OvUInt32 OvD3D9VertexShaderDescEffect(const OvD3D9VertexShaderDesc* d) { return d->fogEffect >> 2; }

// Where the constants of a shader live (register numbers, 0xFF = none).
struct OvD3D9VertexShaderLayout {
    OvUInt8 materialColor;
    OvUInt8 fog;
    OvUInt8 effect; // first effect constant
    OvUInt8 morph;  // morph weights (x: first position, y: second)
    OvUInt8 bones;  // first bone: three rows a bone
    OvUInt8 spare[3];
};
static_assert(sizeof(OvD3D9VertexShaderLayout) == 8);

// Profiles (0: the device runs no vertex shaders).
enum OvD3D9VertexShaderProfile : OvInt32 {
    ovVSPROFILENONE = 0,
    ovVSPROFILE11 = 10,
    ovVSPROFILE20 = 20,
    ovVSPROFILE2X = 25,
};

// Constant registers of the lights, the ambient and the material colour, fog and morph
// registers and the effect constants; bone registers are not counted.
OvUInt32 OvD3D9VertexShaderDescGetNumConstants(const OvD3D9VertexShaderDesc* desc);
// Constants an effect kind reads (0 for kinds outside 1-11).
OvUInt32 OvD3D9VertexShaderEffectConstants(OvUInt32 kind);

// Empties the cache and chooses the profile from the device's caps; also keeps the declaration
// types the element writers may use (vs_1_1 devices lose the normalised byte and short types).
void OvD3D9VertexShaderCacheOpen();
// Destroys every cached shader and empties the cache.
void OvD3D9VertexShaderCacheRelease();
OvInt32 OvD3D9VertexShaderGetProfile();
OvUInt32 OvD3D9VertexShaderGetConstantLimit();
OvUInt32 OvD3D9VertexShaderGetDeclTypes();
// For tools and tests: profile and constant limit as if the caps said so (the W-fog cap too).
void OvD3D9VertexShaderSetProfile(OvInt32 profile, OvUInt32 constantLimit, OvBool wFog);

// The cached shader of a descriptor, generated on a miss; null when generation failed (also
// cached). *layout gets its layout.
IDirect3DVertexShader9* OvD3D9VertexShaderGet(const OvD3D9VertexShaderDesc* desc, OvD3D9VertexShaderLayout* layout);
IDirect3DVertexShader9* OvD3D9VertexShaderCacheLookup(const OvD3D9VertexShaderDesc* desc,
                                                      OvD3D9VertexShaderLayout* layout);
// Generates, assembles and creates a shader (null on any failure).
IDirect3DVertexShader9* OvD3D9VertexShaderGenerate(const OvD3D9VertexShaderDesc* desc,
                                                   OvD3D9VertexShaderLayout* layout);

// The layout of a descriptor under the current profile and constant limit.
void OvD3D9VertexShaderMakeLayout(const OvD3D9VertexShaderDesc* desc, OvD3D9VertexShaderLayout* layout);
// The text of a descriptor under the current profile (null for profile 0 or an impossible
// descriptor); the buffer is reused by the next call.
const char* OvD3D9VertexShaderWriteText(const OvD3D9VertexShaderDesc* desc, const OvD3D9VertexShaderLayout* layout);

// Entries of the cache (for tests): count, and the key, stamp and shader of entry i.
OvUInt32 OvD3D9VertexShaderCacheCount();
OvBool OvD3D9VertexShaderCacheEntry(OvUInt32 index, OvUInt32* key, OvUInt32* stamp, IDirect3DVertexShader9** shader);

// Transform helpers ------------------------------------------------------------------------------

// Keeps the object's world matrix (null: none) and forgets what was derived from it.
void OvD3D9WorldMatrixSet(const OvMatrix* ltm);
// transpose(world x view x projection), or of view x projection without a world matrix.
void OvD3D9GetWorldViewProjectionTransposed(D3DMATRIX* out);
// World to object space through the inverse world matrix (identity without one).
void OvD3D9WorldToObjectDirection(OvV3d* out, const OvV3d* direction);
void OvD3D9WorldToObjectPoint(OvV3d* out, const OvV3d* point);
float OvD3D9WorldToObjectRadius(float radius);

// Uploads ----------------------------------------------------------------------------------------

// One constant register.
struct OvD3D9ShaderConstant {
    float x, y, z, w;
};

// Ambient (register 4) and lights, from register 4: ambient's rgb times ambientScale, each
// light's colour rgb times diffuseScale, then SetVertexShaderConstantF.
void OvD3D9VertexShaderSetLightConstants(const OvD3D9ShaderConstant* block, const OvD3D9VertexShaderDesc* desc,
                                         float ambientScale, float diffuseScale);
void OvD3D9VertexShaderSetMaterialColor(const OvUInt8 rgba[4], const OvD3D9VertexShaderLayout* layout);
// The descriptor's fog mode from the fog render states (none while fog is off).
OvUInt8 OvD3D9VertexShaderFogMode();
// Fog constants from the current camera's far and fog planes or the fog density.
void OvD3D9VertexShaderSetFogConstants(const OvD3D9VertexShaderDesc* desc, const OvD3D9VertexShaderLayout* layout);
// The light block as the gatherer writes it for these lights (object space), from register 4:
// the ambient, then the lights in register-map order. Returns the end of the block written.
// Directions are the light's travel direction; point and spot radii in object space.
struct OvD3D9ShaderLight {
    OvV3d position;  // point, spot
    OvV3d direction; // directional, spot
    float radius;    // point, spot
    float cosCone;   // spot: cosine of the cone's half-angle
    OvBool hardEdge; // spot: a cone without a soft edge (x = 999.99994)
    float color[3];
};
OvD3D9ShaderConstant* OvD3D9VertexShaderWriteLights(OvD3D9ShaderConstant* block, const float ambient[4],
                                                    const OvD3D9ShaderLight* directional, OvUInt32 numDirectional,
                                                    const OvD3D9ShaderLight* point, OvUInt32 numPoint,
                                                    const OvD3D9ShaderLight* spot, OvUInt32 numSpot);

// Light gathering --------------------------------------------------------------------------------

struct OvLight;

// What an object offers the gatherer: its kind (1 atomic, else a world sector), whether its
// geometry is lit, prelit and has normals, and for an atomic its world bounding sphere.
struct OvD3D9ShaderLitObject {
    OvInt32 type;
    OvBool lit;
    OvBool prelit;
    OvBool normals;
    OvSphere worldSphere;
};

// Gathers into `block` (from register 4) the lights that reach an object, from the global lights
// of its world and the local lights of the sectors it lies in (a light may be listed more than
// once; it is taken once a light frame): ambient lights add to the ambient, directional lights
// (an atomic takes them only with normals), point and spot lights (an atomic's only with normals
// and when its sphere is in reach), at most 15 of each kind, each light's flag (light-atomics for
// an atomic, light-world for a sector) required. Writes the three counts into *desc and returns
// the end of the block. The object's world matrix must be set (OvD3D9WorldMatrixSet).
OvD3D9ShaderConstant* OvD3D9VertexShaderGatherLightList(const OvD3D9ShaderLitObject* object, OvLight* const* globals,
                                                        OvUInt32 numGlobals, OvLight* const* locals, OvUInt32 numLocals,
                                                        OvD3D9ShaderConstant* block, OvD3D9VertexShaderDesc* desc);

// The lights that reach an object of the current world (type ovD3D9OBJECTATOMIC or a sector),
// from the world's global lights and the sectors' local lights, as above. Nothing but the
// ambient (alpha 0 with prelit colours, else 1) when the object is not lit or there is no
// current world.
OvD3D9ShaderConstant* OvD3D9VertexShaderGatherLights(void* object, OvUInt8 type, OvD3D9ShaderConstant* block,
                                                     OvD3D9VertexShaderDesc* desc);

// Drawing ----------------------------------------------------------------------------------------

struct OvD3D9InstancedData;
struct OvD3D9InstancedMesh;
struct OvResourceEntry;

// Draws one mesh with its vertex shader: no pixel shader, stage 0 modulating the material's
// texture by the shader's colour (or the colour alone), the shader set, the queued states sent.
void OvD3D9VertexShaderDrawMesh(const OvD3D9InstancedData* data, const OvD3D9InstancedMesh* mesh);
// The longest light block the gatherer writes (ambient and fifteen lights of each kind).
inline constexpr OvUInt32 ovD3D9VSLIGHTBLOCKMAX = 1 + 2 * 15 + (2 * 15 + 4) + (4 * 15 + 4);
// A render callback of the all-in-one nodes that draws every mesh through the generated shaders:
// the lights gathered for the object, one descriptor a mesh (texture sets, vertex colour,
// normals, renormalising under scale, material colour, fog), the constants uploaded by the layout.
void OvD3D9VertexShaderRenderCallback(OvResourceEntry* entry, void* object, OvUInt8 type, OvUInt32 flags);
