#pragma once
// The Direct3D 9 driver's render-state cache.
//
// Direct3D layer: render states and texture-stage states are queued and sent by
// OvD3D9RenderStateFlush (call it right before every draw), each only when its value differs
// from what the device last received; sampler states go out at once, filtered the same way.
// Engine layer: the engine render states that the core reaches through the device record,
// translated into Direct3D states, with a shadow of the engine values that answers gets and
// rebuilds the device state after a reset.
//
// Between OvD3D9RenderStateOpen and device stop the cache is the only writer of these states.

#include "graphics/core/camera.h"
#include "graphics/core/raster.h"
#include "graphics/core/texture.h"
#include "graphics/core/types.h"
#include "platform/d3d9.h"

inline constexpr OvInt32 ovD3D9NUMRENDERSTATES = 210;
inline constexpr OvInt32 ovD3D9NUMSTAGES = 8;
inline constexpr OvInt32 ovD3D9NUMSTAGESTATES = 33;
inline constexpr OvInt32 ovD3D9NUMSAMPLERSTATES = 14;

// Engine render states. Set takes the value in the pointer's bits, except
// ovRENDERSTATETEXTURERASTER (an OvRaster*) and ovRENDERSTATEFOGDENSITY (a const float*). Get
// writes an OvRaster* for ovRENDERSTATETEXTURERASTER, else an OvUInt32 (the float's bits for
// the fog density).
enum OvRenderState : OvInt32 {
    ovRENDERSTATETEXTURERASTER = 1,
    ovRENDERSTATETEXTUREADDRESS = 2,
    ovRENDERSTATETEXTUREADDRESSU = 3,
    ovRENDERSTATETEXTUREADDRESSV = 4,
    ovRENDERSTATETEXTUREPERSPECTIVE = 5,
    ovRENDERSTATEZTESTENABLE = 6,
    ovRENDERSTATESHADEMODE = 7,
    ovRENDERSTATEZWRITEENABLE = 8,
    ovRENDERSTATETEXTUREFILTER = 9,
    ovRENDERSTATESRCBLEND = 10,
    ovRENDERSTATEDESTBLEND = 11,
    ovRENDERSTATEVERTEXALPHAENABLE = 12,
    ovRENDERSTATEBORDERCOLOR = 13,
    ovRENDERSTATEFOGENABLE = 14,
    ovRENDERSTATEFOGCOLOR = 15,
    ovRENDERSTATEFOGTYPE = 16,
    ovRENDERSTATEFOGDENSITY = 17,
    ovRENDERSTATECULLMODE = 20,
    ovRENDERSTATESTENCILENABLE = 21,
    ovRENDERSTATESTENCILFAIL = 22,
    ovRENDERSTATESTENCILZFAIL = 23,
    ovRENDERSTATESTENCILPASS = 24,
    ovRENDERSTATESTENCILFUNCTION = 25,
    ovRENDERSTATESTENCILFUNCTIONREF = 26,
    ovRENDERSTATESTENCILFUNCTIONMASK = 27,
    ovRENDERSTATESTENCILFUNCTIONWRITEMASK = 28,
    ovRENDERSTATEALPHATESTFUNCTION = 29,
    ovRENDERSTATEALPHATESTFUNCTIONREF = 30,
};

// Geometry flags read by OvD3D9SetSurfaceProperties.
inline constexpr OvUInt32 ovD3D9GEOMETRYPRELIT = 0x08;
inline constexpr OvUInt32 ovD3D9GEOMETRYMODULATEMATERIALCOLOR = 0x40;

// The ambient light colour reaching the object being drawn (r, g, b, a; initially 0, 0, 0, 1).
extern D3DCOLORVALUE OvD3D9AmbientColor;

// What the raster module knows of a raster's device texture.
struct OvD3D9RasterTexture {
    IDirect3DBaseTexture9* texture; // null: none
    OvBool hasAlpha;
    OvInt32 palette; // texture palette number, or -1
};
using OvD3D9RasterTextureFunction = OvBool (*)(const OvRaster* raster, OvD3D9RasterTexture* out);
// Installed by the raster module; without one a raster binds no texture and has no alpha.
void OvD3D9SetRasterTextureFunction(OvD3D9RasterTextureFunction function);

// Direct3D layer. Out-of-range states, stages and samplers are ignored.
void OvD3D9SetRenderState(OvUInt32 state, OvUInt32 value);
OvUInt32 OvD3D9GetRenderState(OvUInt32 state);
void OvD3D9SetTextureStageState(OvUInt32 stage, OvUInt32 state, OvUInt32 value);
void OvD3D9SetSamplerState(OvUInt32 sampler, OvUInt32 state, OvUInt32 value);
void OvD3D9RenderStateFlush();

// Engine layer (device-record entries).
OvBool OvD3D9RenderStateSet(OvInt32 state, void* value);
OvBool OvD3D9RenderStateGet(OvInt32 state, void* value);
void OvD3D9RenderStateVertexAlphaEnable(OvBool on);
// Engine states 10 and 11 for callers that blend without going through the device record
// (engine blend numbers are the device's).
OvBool OvD3D9RenderStateSrcBlend(OvUInt32 function);
OvBool OvD3D9RenderStateDestBlend(OvUInt32 function);
OvBool OvD3D9RenderStateIsVertexAlphaEnable();
OvBool OvD3D9SetTextureRaster(OvRaster* raster, OvUInt32 stage);
OvRaster* OvD3D9GetTextureRaster(OvUInt32 stage);
OvBool OvD3D9SetTexture(OvTexture* texture, OvUInt32 stage);
OvBool OvD3D9SetSurfaceProperties(const OvSurfaceProperties* properties, const OvRGBA* colour, OvUInt32 flags);

// Device start: every cached value open, then the driver's defaults sent.
void OvD3D9RenderStateOpen();
// After a device reset: the cache cleared again and the engine shadows sent again.
void OvD3D9RenderStateReset();
