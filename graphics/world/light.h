#pragma once
// Lights: frame-attached objects of five types. Global lights (directional, ambient) belong to a
// whole world; local lights (point, spot, soft spot) to the world sectors their range reaches.

#include "graphics/core/frame.h"
#include "graphics/core/types.h"

struct OvStream;

enum OvLightType : OvUInt8 {
    ovNALIGHTTYPE = 0,
    ovLIGHTDIRECTIONAL = 1,
    ovLIGHTAMBIENT = 2,
    ovLIGHTPOINT = 0x80,    // local lights from here on
    ovLIGHTSPOT = 0x81,     // hard-edged spot
    ovLIGHTSPOTSOFT = 0x82, // soft-edged spot
};
inline constexpr OvUInt8 ovLIGHTLOCALFIRST = 0x80;
inline constexpr OvUInt8 ovLIGHTOBJECTTYPE = 3;

// Public flags.
enum OvLightFlag : OvUInt8 {
    ovLIGHTLIGHTATOMICS = 0x01, // lights atomics
    ovLIGHTLIGHTWORLD = 0x02,   // lights world sectors
};
// Private flag: red, green and blue are equal.
inline constexpr OvUInt8 ovLIGHTPRIVATENOCHROMA = 0x01;

// Colour with float channels.
struct OvRGBAReal {
    float red;
    float green;
    float blue;
    float alpha;
};

// Light record; extension data follows (light registry).
struct OvLight {
    OvObjectHasFrame object; // header (type 3, sub-type = light type), frame link, sync callback
    float radius;            // range
    OvRGBAReal color;        // colour
    float minusCosAngle;     // minus the cosine of the cone's half-angle
    OvLLLink sectorTies;     // the light's sector ties (world membership)
    OvLLLink inWorld;        // link in its world's light list
    OvUInt16 lightFrame;     // engine light frame at which the light was last used
};

// Bytes of the struct chunk of a light chunk.
inline constexpr OvUInt32 ovLIGHTSTRUCTSIZE = 24;

// The light module's data in the engine instance.
struct OvLightModule {
    OvFreeList* freeList; // lights
};

void* OvLightOpen(void* instance, OvInt32 offset, OvInt32 size);
// Run by OvEngineStop: every light left is destroyed (it leaves its world and clump).
void* OvLightClose(void* instance, OvInt32 offset, OvInt32 size);

inline OvUInt8 OvLightGetType(const OvLight* light) { return light->object.object.subType; }
inline OvFrame* OvLightGetFrame(const OvLight* light) { return OvObjectHasFrameGetFrame(&light->object); }
inline OvLight* OvLightSetFrame(OvLight* light, OvFrame* frame) {
    OvObjectHasFrameSetFrame(&light->object, frame);
    return light;
}

// A new light of the type: flags 0x03, colour 1.0 each, radius and cone 0; null when the free
// list is exhausted or a constructor fails.
OvLight* OvLightCreate(OvInt32 type);
// Extension destructors, off its frame, back to the free list. TRUE.
// Its world (with the sector ties), its clump and its frame let go themselves.
OvBool OvLightDestroy(OvLight* light);
OvLight* OvLightSetColor(OvLight* light, const OvRGBAReal* color);
// Half-angle of the cone in radians.
float OvLightGetConeAngle(const OvLight* light);
// Reads a light chunk's body (the caller found chunk 18); the light or null.
OvLight* OvLightStreamRead(OvStream* stream);
