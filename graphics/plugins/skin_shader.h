#pragma once
// The skin plugin's vertex-shader path on Direct3D 9: which skinned atomics the generated shaders
// can draw, the palette slots their blend indices address, the descriptor reduced until the
// palette fits the constant registers beside the lights, and the palette's upload as runs of
// three registers a bone (the transposed 3 x 4 matrix).

#include "graphics/plugins/skin.h"
#include "graphics/world/d3d9_vertex_shader.h"
#include "platform/d3d9.h"

// What the device offers the shader path (all zero without hardware vertex processing and
// version 1.1 vertex and pixel shaders).
struct OvSkinD3D9Caps {
    OvBool hardwareVertexProcessing;
    OvBool vertexShaderSkinning;
    OvUInt32 maxConstants;    // MaxVertexShaderConst
    OvUInt32 maxPaletteBones; // (MaxVertexShaderConst - 12) / 3
};
void OvSkinD3D9CapsFromDevice(const D3DCAPS9* caps, OvSkinD3D9Caps* out);

// Bones the renderer's palette holds: the used bones, or the split data's bone limit.
OvUInt32 OvSkinGetPaletteSize(const OvSkin* skin);
// Whether a skinned atomic goes through the shader path: it has a hierarchy and a skin, the
// device can skin in shaders and the palette fits the device's bones.
OvBool OvSkinUseVertexShader(const OvSkin* skin, const OvAnimHierarchy* hierarchy, const OvSkinD3D9Caps* caps);

// The palette slot of a bone (its blend index is 3 x the slot): its place in the used-bone list
// when the hierarchy has more nodes than the device's palette, the split data's remap, else the
// bone itself. -1 for a bone the palette does not hold.
OvInt32 OvSkinVertexShaderSlot(const OvSkin* skin, OvInt32 numNodes, OvUInt32 maxPaletteBones, OvUInt32 bone);

// Consecutive palette entries going to consecutive slots.
struct OvSkinPaletteRun {
    OvUInt32 firstEntry;
    OvUInt32 firstSlot;
    OvUInt32 count;
};
// The runs that load the palette for one mesh (the mesh matters only with split data): the whole
// palette, the used bones at their own slots, the used bones packed, or the mesh's split runs.
// Bones beyond the palette and remaps outside the bone limit are left out. Returns the number of
// runs written (at most ovSKINPALETTESIZE).
OvUInt32 OvSkinVertexShaderPaletteRuns(const OvSkin* skin, OvInt32 numNodes, OvUInt32 maxPaletteBones, OvUInt32 mesh,
                                       OvSkinPaletteRun* runs);
// Slots the runs reach (the highest slot + 1; 0 for none).
OvUInt32 OvSkinPaletteRunsSpan(const OvSkinPaletteRun* runs, OvUInt32 numRuns);

// Drops lights (spot, then point, then directional, one at a time), then fog, until the shader's
// constants and `slots` bones of three registers fit in maxConstants. FALSE when even the reduced
// descriptor does not fit.
OvBool OvSkinReduceVertexShaderDesc(OvD3D9VertexShaderDesc* desc, OvUInt32 slots, OvUInt32 maxConstants);

// A palette entry as the shader reads it: three registers, row r holding the r-th component's
// coefficients and translation.
void OvSkinPaletteEntryToConstants(const OvMatrix* entry, float out[12]);
// Writes the runs' entries into `constants` (registers of four floats) from register `base`.
void OvSkinPaletteRunsToConstants(const OvMatrix* palette, OvUInt32 numPalette, const OvSkinPaletteRun* runs,
                                  OvUInt32 numRuns, OvUInt32 base, float (*constants)[4], OvUInt32 numConstants);
// Uploads the runs' entries to the device from register `base`, one call a run.
void OvSkinVertexShaderUploadPalette(const OvMatrix* palette, OvUInt32 numPalette, const OvSkinPaletteRun* runs,
                                     OvUInt32 numRuns, OvUInt32 base);
