// The skin plugin's vertex-shader path: capabilities, palette slots, descriptor reduction and the
// palette's upload.

#include "graphics/plugins/skin_shader.h"

#include <algorithm>

#include "graphics/core/d3d9/device.h"

namespace {

constexpr DWORD kHardwareTransform = 0x10000; // D3DDEVCAPS_HWTRANSFORMANDLIGHT
constexpr OvUInt8 kNoSlot = 0xFF;

OvUInt32 Nodes(OvInt32 numNodes) { return static_cast<OvUInt32>(std::clamp<OvInt32>(numNodes, 0, ovSKINPALETTESIZE)); }

// Appends entry -> slot, extending the last run when both follow on.
void Append(OvSkinPaletteRun* runs, OvUInt32* n, OvUInt32 entry, OvUInt32 slot) {
    if (*n > 0) {
        OvSkinPaletteRun& last = runs[*n - 1];
        if (last.firstEntry + last.count == entry && last.firstSlot + last.count == slot) {
            ++last.count;
            return;
        }
    }
    if (*n < static_cast<OvUInt32>(ovSKINPALETTESIZE))
        runs[(*n)++] = {entry, slot, 1};
}

bool HasSplit(const OvSkin* skin) { return skin->numMeshes > 0 && skin->splitData != nullptr; }

} // namespace

void OvSkinD3D9CapsFromDevice(const D3DCAPS9* caps, OvSkinD3D9Caps* out) {
    *out = {};
    if (caps == nullptr)
        return;
    out->hardwareVertexProcessing = (caps->DevCaps & kHardwareTransform) != 0 ? TRUE : FALSE;
    if (out->hardwareVertexProcessing && (caps->VertexShaderVersion & 0xFFFF) >= 0x101 &&
        (caps->PixelShaderVersion & 0xFFFF) >= 0x101 && caps->MaxVertexShaderConst >= 12) {
        out->vertexShaderSkinning = TRUE;
        out->maxConstants = std::min<OvUInt32>(caps->MaxVertexShaderConst, 256);
        out->maxPaletteBones = (out->maxConstants - 12) / 3;
    }
}

OvUInt32 OvSkinGetPaletteSize(const OvSkin* skin) {
    return HasSplit(skin) ? static_cast<OvUInt32>(std::max(skin->boneLimit, 0)) : skin->numBoneUsed;
}

OvBool OvSkinUseVertexShader(const OvSkin* skin, const OvAnimHierarchy* hierarchy, const OvSkinD3D9Caps* caps) {
    return skin != nullptr && hierarchy != nullptr && caps->vertexShaderSkinning &&
                   OvSkinGetPaletteSize(skin) <= caps->maxPaletteBones
               ? TRUE
               : FALSE;
}

OvInt32 OvSkinVertexShaderSlot(const OvSkin* skin, OvInt32 numNodes, OvUInt32 maxPaletteBones, OvUInt32 bone) {
    if (bone >= skin->numBones || bone >= Nodes(numNodes))
        return -1;
    if (HasSplit(skin)) {
        const OvUInt8 slot = skin->splitData[bone];
        return slot == kNoSlot || slot >= skin->boneLimit ? -1 : slot;
    }
    if (Nodes(numNodes) > maxPaletteBones) {
        const OvUInt8* begin = skin->boneUsedList;
        const OvUInt8* end = begin + skin->numBoneUsed;
        const OvUInt8* at = std::find(begin, end, static_cast<OvUInt8>(bone));
        return at == end ? -1 : static_cast<OvInt32>(at - begin);
    }
    return static_cast<OvInt32>(bone);
}

OvUInt32 OvSkinVertexShaderPaletteRuns(const OvSkin* skin, OvInt32 numNodes, OvUInt32 maxPaletteBones, OvUInt32 mesh,
                                       OvSkinPaletteRun* runs) {
    const OvUInt32 nodes = Nodes(numNodes);
    OvUInt32 n = 0;
    if (HasSplit(skin)) {
        if (mesh >= static_cast<OvUInt32>(skin->numMeshes))
            return 0;
        const OvUInt32 first = skin->meshBoneRemapIndices[2 * mesh];
        const OvUInt32 count = skin->meshBoneRemapIndices[2 * mesh + 1];
        for (OvUInt32 r = first; r < first + count && r < static_cast<OvUInt32>(skin->numRLE); ++r) {
            const OvUInt32 bone = skin->meshBoneRLE[2 * r];
            for (OvUInt32 b = bone; b < bone + skin->meshBoneRLE[2 * r + 1]; ++b) {
                const OvInt32 slot = OvSkinVertexShaderSlot(skin, numNodes, maxPaletteBones, b);
                if (slot >= 0)
                    Append(runs, &n, b, static_cast<OvUInt32>(slot));
            }
        }
    } else if (nodes > maxPaletteBones) {
        for (OvUInt32 i = 0; i < skin->numBoneUsed; ++i)
            if (skin->boneUsedList[i] < nodes && skin->boneUsedList[i] < skin->numBones)
                Append(runs, &n, skin->boneUsedList[i], i);
    } else if (skin->numBoneUsed < nodes) {
        for (OvUInt32 i = 0; i < skin->numBoneUsed; ++i)
            if (skin->boneUsedList[i] < nodes && skin->boneUsedList[i] < skin->numBones)
                Append(runs, &n, skin->boneUsedList[i], skin->boneUsedList[i]);
    } else if (nodes > 0) {
        runs[n++] = {0, 0, nodes};
    }
    return n;
}

OvUInt32 OvSkinPaletteRunsSpan(const OvSkinPaletteRun* runs, OvUInt32 numRuns) {
    OvUInt32 span = 0;
    for (OvUInt32 i = 0; i < numRuns; ++i)
        span = std::max(span, runs[i].firstSlot + runs[i].count);
    return span;
}

OvBool OvSkinReduceVertexShaderDesc(OvD3D9VertexShaderDesc* desc, OvUInt32 slots, OvUInt32 maxConstants) {
    for (;;) {
        if (OvD3D9VertexShaderDescGetNumConstants(desc) + 3 * slots <= maxConstants)
            return TRUE;
        if ((desc->spotsSets & 0x0F) != 0)
            --desc->spotsSets;
        else if ((desc->lights & 0xF0) != 0)
            desc->lights = static_cast<OvUInt8>(desc->lights - 0x10);
        else if ((desc->lights & 0x0F) != 0)
            --desc->lights;
        else if ((desc->fogEffect & 3) != 0)
            desc->fogEffect &= static_cast<OvUInt8>(~3u);
        else
            return FALSE;
    }
}

void OvSkinPaletteEntryToConstants(const OvMatrix* m, float out[12]) {
    const OvV3d* axes[4] = {&m->right, &m->up, &m->at, &m->pos};
    for (int r = 0; r < 3; ++r)
        for (int c = 0; c < 4; ++c) {
            const OvV3d& a = *axes[c];
            out[4 * r + c] = r == 0 ? a.x : r == 1 ? a.y : a.z;
        }
}

void OvSkinPaletteRunsToConstants(const OvMatrix* palette, OvUInt32 numPalette, const OvSkinPaletteRun* runs,
                                  OvUInt32 numRuns, OvUInt32 base, float (*constants)[4], OvUInt32 numConstants) {
    for (OvUInt32 i = 0; i < numRuns; ++i)
        for (OvUInt32 k = 0; k < runs[i].count; ++k) {
            const OvUInt32 entry = runs[i].firstEntry + k;
            const OvUInt32 reg = base + 3 * (runs[i].firstSlot + k);
            if (entry >= numPalette || reg + 3 > numConstants)
                continue;
            OvSkinPaletteEntryToConstants(&palette[entry], &constants[reg][0]);
        }
}

void OvSkinVertexShaderUploadPalette(const OvMatrix* palette, OvUInt32 numPalette, const OvSkinPaletteRun* runs,
                                     OvUInt32 numRuns, OvUInt32 base) {
    IDirect3DDevice9* device = OvD3D9GetDevice();
    if (device == nullptr)
        return;
    alignas(16) static float rows[ovSKINPALETTESIZE * 12];
    for (OvUInt32 i = 0; i < numRuns; ++i) {
        const OvSkinPaletteRun& run = runs[i];
        if (run.firstEntry >= numPalette)
            continue;
        const OvUInt32 count = std::min(run.count, numPalette - run.firstEntry);
        for (OvUInt32 k = 0; k < count; ++k)
            OvSkinPaletteEntryToConstants(&palette[run.firstEntry + k], rows + 12 * k);
        device->SetVertexShaderConstantF(base + 3 * run.firstSlot, rows, 3 * count);
    }
}
