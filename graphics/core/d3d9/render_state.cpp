#include "graphics/core/d3d9/render_state.h"

#include <cstdint>
#include <cstring>
#include <initializer_list>

#include "graphics/core/d3d9/device.h"

D3DCOLORVALUE OvD3D9AmbientColor = {0.0f, 0.0f, 0.0f, 1.0f};

namespace {

constexpr OvUInt32 kOpen = 0xFFFFFFFFu; // device value unknown: anything else is sent

struct StageShadow {
    OvRaster* raster;
    OvUInt32 addressU;
    OvUInt32 addressV;
    OvUInt32 filter;
    OvUInt32 border;
    OvUInt32 maxAnisotropy;
};

struct MaterialKey {
    float diffuse;
    float ambient;
    OvRGBA colour;
    OvUInt32 flags;
    float ambientColour[3];
};

struct Cache {
    OvUInt32 pending[ovD3D9NUMRENDERSTATES];
    OvUInt32 sent[ovD3D9NUMRENDERSTATES];
    bool dirty[ovD3D9NUMRENDERSTATES];
    OvUInt16 queue[ovD3D9NUMRENDERSTATES];
    OvInt32 queued;

    OvUInt32 stagePending[ovD3D9NUMSTAGES][ovD3D9NUMSTAGESTATES];
    OvUInt32 stageSent[ovD3D9NUMSTAGES][ovD3D9NUMSTAGESTATES];
    bool stageDirty[ovD3D9NUMSTAGES][ovD3D9NUMSTAGESTATES];
    OvUInt16 stageQueue[ovD3D9NUMSTAGES * ovD3D9NUMSTAGESTATES];
    OvInt32 stageQueued;

    OvUInt32 sampler[ovD3D9NUMSTAGES][ovD3D9NUMSAMPLERSTATES];

    D3DMATERIAL9 material;
    MaterialKey key;
};

struct Shadow {
    StageShadow stage[ovD3D9NUMSTAGES];
    OvUInt32 zWrite, zTest;
    OvUInt32 stencil[8]; // enable, fail, z-fail, pass, function, reference, mask, write mask
    OvUInt32 vertexAlpha, textureAlpha, alphaFunction, alphaTestWanted;
    OvUInt32 srcBlend, destBlend, cullMode, shadeMode;
    OvUInt32 fogEnable, fogType, fogColour;
    float fogDensity;
};

Cache gCache;
Shadow gShadow;
OvD3D9RasterTextureFunction gRasterTexture = nullptr;

// Engine filter mode -> (min/mag filter, mip filter); modes above 12 (from files) read row 0.
constexpr OvUInt8 kFilterTable[13][2] = {{0, 0}, {1, 0}, {2, 0}, {1, 1}, {2, 1}, {1, 2}, {2, 2},
                                         {3, 0}, {3, 0}, {3, 1}, {3, 1}, {3, 2}, {3, 2}};
// Engine fog type -> D3DFOGMODE.
constexpr OvUInt32 kFogMode[4] = {0, 3, 1, 2};

IDirect3DDevice9* Device() { return OvD3D9GetDevice(); }
const D3DCAPS9& Caps() { return *OvD3D9GetCaps(); }

OvUInt32 Bits(float f) {
    OvUInt32 u;
    std::memcpy(&u, &f, sizeof u);
    return u;
}

void SendFilter(OvUInt32 sampler, OvUInt32 mode) {
    const OvUInt8* row = kFilterTable[mode <= 12 ? mode : 0];
    OvUInt32 minMag = row[0];
    OvUInt32 mag = minMag;
    if (minMag == 3 && (Caps().TextureFilterCaps & D3DPTFILTERCAPS_MAGFANISOTROPIC) == 0) {
        mag = 2;
    }
    OvD3D9SetSamplerState(sampler, D3DSAMP_MINFILTER, minMag);
    OvD3D9SetSamplerState(sampler, D3DSAMP_MAGFILTER, mag);
    OvD3D9SetSamplerState(sampler, D3DSAMP_MIPFILTER, row[1]);
}

// Addressing 0 (u and v differed when the texture was merged) and unknown modes keep the
// sampler's value; the stored word stays as it is.
void SendAddress(OvUInt32 sampler, OvUInt32 state, OvUInt32 mode) {
    if (mode >= 1 && mode <= 5) {
        OvD3D9SetSamplerState(sampler, state, mode);
    }
}

void SendAlpha() {
    const bool blend = gShadow.vertexAlpha != 0 || gShadow.textureAlpha != 0;
    OvD3D9SetRenderState(D3DRS_ALPHABLENDENABLE, blend ? 1 : 0);
    OvD3D9SetRenderState(D3DRS_ALPHATESTENABLE, blend ? gShadow.alphaTestWanted : 0);
}

void SendZ() {
    OvD3D9SetRenderState(D3DRS_ZWRITEENABLE, gShadow.zWrite);
    OvD3D9SetRenderState(D3DRS_ZFUNC, gShadow.zTest ? D3DCMP_LESSEQUAL : D3DCMP_ALWAYS);
    OvD3D9SetRenderState(D3DRS_ZENABLE, (gShadow.zTest || gShadow.zWrite) ? 1 : 0);
}

void SendFogType() {
    const OvUInt32 mode = kFogMode[gShadow.fogType & 3];
    const DWORD need = D3DPRASTERCAPS_FOGTABLE | D3DPRASTERCAPS_WFOG;
    const bool table = (Caps().RasterCaps & need) == need;
    OvD3D9SetRenderState(D3DRS_FOGTABLEMODE, table ? mode : 0);
    OvD3D9SetRenderState(D3DRS_FOGVERTEXMODE, table ? 0 : mode);
}

void SendStage(OvUInt32 s) {
    // A copy: read once before the sends, whose own stage checks the optimiser would otherwise thread
    // back into reads of a stage past the last.
    const StageShadow st = gShadow.stage[s];
    Device()->SetTexture(s, nullptr);
    SendFilter(s, st.filter);
    SendAddress(s, D3DSAMP_ADDRESSU, st.addressU);
    SendAddress(s, D3DSAMP_ADDRESSV, st.addressV);
    OvD3D9SetSamplerState(s, D3DSAMP_BORDERCOLOR, st.border);
    OvD3D9SetSamplerState(s, D3DSAMP_MAXANISOTROPY, st.maxAnisotropy);
    if (s > 0) {
        OvD3D9SetTextureStageState(s, D3DTSS_COLOROP, D3DTOP_DISABLE);
        OvD3D9SetTextureStageState(s, D3DTSS_ALPHAOP, D3DTOP_DISABLE);
    }
}

// Every value the device last received is open again, nothing queued.
void ClearCache() {
    for (OvUInt32& v : gCache.sent) {
        v = kOpen;
    }
    for (D3DRENDERSTATETYPE zero : {D3DRS_FOGCOLOR, D3DRS_AMBIENT, D3DRS_STENCILMASK, D3DRS_STENCILWRITEMASK}) {
        gCache.sent[zero] = 0;
    }
    std::memcpy(gCache.pending, gCache.sent, sizeof gCache.pending);
    std::memset(gCache.dirty, 0, sizeof gCache.dirty);
    gCache.queued = 0;
    std::memset(gCache.stagePending, 0xFF, sizeof gCache.stagePending);
    std::memset(gCache.stageSent, 0xFF, sizeof gCache.stageSent);
    std::memset(gCache.stageDirty, 0, sizeof gCache.stageDirty);
    gCache.stageQueued = 0;
    std::memset(gCache.sampler, 0xFF, sizeof gCache.sampler);
    gCache.material = {};
    gCache.key = {};
}

// Stage 0 passes the vertex colour through; materials take no vertex colours; the rest of the
// lighting states at the engine's values.
void SendFixedStates() {
    OvD3D9SetTextureStageState(0, D3DTSS_COLOROP, D3DTOP_SELECTARG2);
    OvD3D9SetTextureStageState(0, D3DTSS_ALPHAOP, D3DTOP_SELECTARG2);
    OvD3D9SetTextureStageState(0, D3DTSS_COLORARG2, D3DTA_DIFFUSE);
    OvD3D9SetTextureStageState(0, D3DTSS_ALPHAARG2, D3DTA_DIFFUSE);

    OvD3D9SetRenderState(D3DRS_DIFFUSEMATERIALSOURCE, 0);
    OvD3D9SetRenderState(D3DRS_SPECULARMATERIALSOURCE, 0);
    OvD3D9SetRenderState(D3DRS_AMBIENTMATERIALSOURCE, 0);
    OvD3D9SetRenderState(D3DRS_DITHERENABLE, (Caps().RasterCaps & D3DPRASTERCAPS_DITHER) ? 1 : 0);
    OvD3D9SetRenderState(D3DRS_SPECULARENABLE, 0);
    OvD3D9SetRenderState(D3DRS_LOCALVIEWER, 0);
    OvD3D9SetRenderState(D3DRS_AMBIENT, 0xFFFFFFFFu);
    OvD3D9SetRenderState(D3DRS_NORMALIZENORMALS, 0);
}

// Sends the engine shadows, then the driver's fixed states, and flushes.
void SendShadows() {
    OvD3D9SetRenderState(D3DRS_FOGDENSITY, Bits(gShadow.fogDensity));
    OvD3D9SetRenderState(D3DRS_FOGENABLE, gShadow.fogEnable);
    SendFogType();
    OvD3D9SetRenderState(D3DRS_FOGCOLOR, gShadow.fogColour);
    OvD3D9SetRenderState(D3DRS_SHADEMODE, gShadow.shadeMode);
    SendZ();
    for (OvUInt32 i = 0; i < 8; ++i) {
        OvD3D9SetRenderState(D3DRS_STENCILENABLE + i, gShadow.stencil[i]);
    }
    for (OvUInt32 s = 0; s < ovD3D9NUMSTAGES; ++s) {
        gShadow.stage[s].raster = nullptr;
        SendStage(s);
    }
    OvD3D9SetRenderState(D3DRS_SRCBLEND, gShadow.srcBlend);
    OvD3D9SetRenderState(D3DRS_DESTBLEND, gShadow.destBlend);
    OvD3D9SetRenderState(D3DRS_ALPHAFUNC, gShadow.alphaFunction);
    gShadow.textureAlpha = 0;
    SendAlpha();
    OvD3D9SetRenderState(D3DRS_LIGHTING, 0);
    OvD3D9SetRenderState(D3DRS_CULLMODE, gShadow.cullMode);

    SendFixedStates();
    OvD3D9RenderStateFlush();
}

OvUInt32 ValueOf(void* value) { return static_cast<OvUInt32>(reinterpret_cast<std::uintptr_t>(value)); }

// Keeps an engine state's value in its shadow and passes it on to the device state that carries it;
// a value the shadow already holds changes nothing.
OvBool StoreAndSend(OvUInt32* shadow, OvUInt32 deviceState, OvUInt32 v) {
    if (*shadow != v) {
        *shadow = v;
        OvD3D9SetRenderState(deviceState, v);
    }
    return TRUE;
}

} // namespace

void OvD3D9SetRasterTextureFunction(OvD3D9RasterTextureFunction function) { gRasterTexture = function; }

void OvD3D9SetRenderState(OvUInt32 state, OvUInt32 value) {
    if (state >= ovD3D9NUMRENDERSTATES || gCache.pending[state] == value) {
        return;
    }
    gCache.pending[state] = value;
    if (!gCache.dirty[state]) {
        gCache.dirty[state] = true;
        gCache.queue[gCache.queued++] = static_cast<OvUInt16>(state);
    }
}

OvUInt32 OvD3D9GetRenderState(OvUInt32 state) { return state < ovD3D9NUMRENDERSTATES ? gCache.pending[state] : kOpen; }

void OvD3D9SetTextureStageState(OvUInt32 stage, OvUInt32 state, OvUInt32 value) {
    if (stage >= ovD3D9NUMSTAGES || state >= ovD3D9NUMSTAGESTATES || gCache.stagePending[stage][state] == value) {
        return;
    }
    gCache.stagePending[stage][state] = value;
    if (!gCache.stageDirty[stage][state]) {
        gCache.stageDirty[stage][state] = true;
        gCache.stageQueue[gCache.stageQueued++] = static_cast<OvUInt16>(stage * ovD3D9NUMSTAGESTATES + state);
    }
}

void OvD3D9SetSamplerState(OvUInt32 sampler, OvUInt32 state, OvUInt32 value) {
    if (sampler >= ovD3D9NUMSTAGES || state >= ovD3D9NUMSAMPLERSTATES || gCache.sampler[sampler][state] == value) {
        return;
    }
    gCache.sampler[sampler][state] = value;
    if (IDirect3DDevice9* d = Device()) {
        ++OvD3D9FrameCount.statesSent;
        d->SetSamplerState(sampler, state, value);
    }
}

void OvD3D9RenderStateFlush() {
    IDirect3DDevice9* d = Device();
    for (OvInt32 i = 0; i < gCache.queued; ++i) {
        const OvUInt16 s = gCache.queue[i];
        gCache.dirty[s] = false;
        if (gCache.pending[s] != gCache.sent[s]) {
            gCache.sent[s] = gCache.pending[s];
            if (d != nullptr) {
                ++OvD3D9FrameCount.statesSent;
                d->SetRenderState(s, gCache.pending[s]);
            }
        }
    }
    gCache.queued = 0;
    for (OvInt32 i = 0; i < gCache.stageQueued; ++i) {
        const OvUInt32 stage = gCache.stageQueue[i] / ovD3D9NUMSTAGESTATES;
        const OvUInt32 state = gCache.stageQueue[i] % ovD3D9NUMSTAGESTATES;
        gCache.stageDirty[stage][state] = false;
        if (gCache.stagePending[stage][state] != gCache.stageSent[stage][state]) {
            gCache.stageSent[stage][state] = gCache.stagePending[stage][state];
            if (d != nullptr) {
                ++OvD3D9FrameCount.statesSent;
                d->SetTextureStageState(stage, state, gCache.stagePending[stage][state]);
            }
        }
    }
    gCache.stageQueued = 0;
}

void OvD3D9RenderStateVertexAlphaEnable(OvBool on) {
    gShadow.vertexAlpha = on ? 1 : 0;
    SendAlpha();
}

OvBool OvD3D9RenderStateIsVertexAlphaEnable() { return gShadow.vertexAlpha ? TRUE : FALSE; }

OvBool OvD3D9SetTextureRaster(OvRaster* raster, OvUInt32 stage) {
    if (stage >= ovD3D9NUMSTAGES) {
        return FALSE;
    }
    OvD3D9RasterTexture info = {nullptr, FALSE, -1};
    if (raster != nullptr && gRasterTexture != nullptr) {
        gRasterTexture(raster, &info);
    }
    if (stage == 0) {
        gShadow.textureAlpha = info.hasAlpha ? 1 : 0;
        SendAlpha();
    }
    if (gShadow.stage[stage].raster != raster) {
        gShadow.stage[stage].raster = raster;
        if (IDirect3DDevice9* d = Device()) {
            d->SetTexture(stage, info.texture);
            if (info.texture != nullptr && info.palette >= 0) {
                d->SetCurrentTexturePalette(static_cast<UINT>(info.palette));
            }
        }
    }
    return TRUE;
}

OvRaster* OvD3D9GetTextureRaster(OvUInt32 stage) {
    return stage < ovD3D9NUMSTAGES ? gShadow.stage[stage].raster : nullptr;
}

OvBool OvD3D9SetTexture(OvTexture* texture, OvUInt32 stage) {
    if (stage >= ovD3D9NUMSTAGES) {
        return FALSE;
    }
    StageShadow& st = gShadow.stage[stage];
    if (texture == nullptr) {
        if (stage == 0 && gShadow.textureAlpha) {
            gShadow.textureAlpha = 0;
            SendAlpha();
        }
        if (st.raster != nullptr) {
            st.raster = nullptr;
            if (IDirect3DDevice9* d = Device()) {
                d->SetTexture(stage, nullptr);
            }
        }
        return TRUE;
    }
    const OvUInt32 word = texture->filterAddressing;
    const OvUInt32 u = (word >> 8) & 0xF;
    const OvUInt32 v = (word >> 12) & 0xF;
    const OvUInt32 filter = word & 0xFF;
    if (u != st.addressU) {
        st.addressU = u;
        SendAddress(stage, D3DSAMP_ADDRESSU, u);
    }
    if (v != st.addressV) {
        st.addressV = v;
        SendAddress(stage, D3DSAMP_ADDRESSV, v);
    }
    if (filter != st.filter) {
        st.filter = filter;
        SendFilter(stage, filter);
    }
    return OvD3D9SetTextureRaster(texture->raster, stage);
}

OvBool OvD3D9RenderStateSrcBlend(OvUInt32 function) {
    return StoreAndSend(&gShadow.srcBlend, D3DRS_SRCBLEND, function);
}

OvBool OvD3D9RenderStateDestBlend(OvUInt32 function) {
    return StoreAndSend(&gShadow.destBlend, D3DRS_DESTBLEND, function);
}

OvBool OvD3D9RenderStateSet(OvInt32 state, void* value) {
    const OvUInt32 v = ValueOf(value);
    StageShadow& st0 = gShadow.stage[0];
    switch (state) {
    case ovRENDERSTATETEXTURERASTER:
        return OvD3D9SetTextureRaster(static_cast<OvRaster*>(value), 0);
    case ovRENDERSTATETEXTUREADDRESS:
    case ovRENDERSTATETEXTUREADDRESSU:
    case ovRENDERSTATETEXTUREADDRESSV:
        if (v < 1 || v > 5) {
            return FALSE;
        }
        if (state != ovRENDERSTATETEXTUREADDRESSV && st0.addressU != v) {
            st0.addressU = v;
            SendAddress(0, D3DSAMP_ADDRESSU, v);
        }
        if (state != ovRENDERSTATETEXTUREADDRESSU && st0.addressV != v) {
            st0.addressV = v;
            SendAddress(0, D3DSAMP_ADDRESSV, v);
        }
        return TRUE;
    case ovRENDERSTATETEXTUREPERSPECTIVE:
        return v != 0 ? TRUE : FALSE;
    case ovRENDERSTATEZTESTENABLE:
        if (gShadow.zTest != (v ? 1u : 0u)) {
            gShadow.zTest = v ? 1 : 0;
            SendZ();
        }
        return TRUE;
    case ovRENDERSTATEZWRITEENABLE:
        if (gShadow.zWrite != (v ? 1u : 0u)) {
            gShadow.zWrite = v ? 1 : 0;
            SendZ();
        }
        return TRUE;
    case ovRENDERSTATESHADEMODE:
        return StoreAndSend(&gShadow.shadeMode, D3DRS_SHADEMODE, v);
    case ovRENDERSTATETEXTUREFILTER:
        if (st0.maxAnisotropy > 1) {
            st0.maxAnisotropy = 1;
            OvD3D9SetSamplerState(0, D3DSAMP_MAXANISOTROPY, 1);
        }
        if (st0.filter != v) {
            st0.filter = v;
            SendFilter(0, v);
        }
        return TRUE;
    case ovRENDERSTATESRCBLEND:
        return OvD3D9RenderStateSrcBlend(v);
    case ovRENDERSTATEDESTBLEND:
        return OvD3D9RenderStateDestBlend(v);
    case ovRENDERSTATEVERTEXALPHAENABLE:
        if (gShadow.vertexAlpha != (v ? 1u : 0u)) {
            OvD3D9RenderStateVertexAlphaEnable(v ? TRUE : FALSE);
        }
        return TRUE;
    case ovRENDERSTATEBORDERCOLOR:
        if (st0.border != v) {
            st0.border = v;
            OvD3D9SetSamplerState(0, D3DSAMP_BORDERCOLOR, v);
        }
        return TRUE;
    case ovRENDERSTATEFOGENABLE: {
        const OvUInt32 on =
            (v != 0 && (Caps().RasterCaps & (D3DPRASTERCAPS_FOGVERTEX | D3DPRASTERCAPS_FOGTABLE))) ? 1 : 0;
        StoreAndSend(&gShadow.fogEnable, D3DRS_FOGENABLE, on);
        return TRUE;
    }
    case ovRENDERSTATEFOGCOLOR:
        return StoreAndSend(&gShadow.fogColour, D3DRS_FOGCOLOR, v);
    case ovRENDERSTATEFOGTYPE:
        if (v > 3) {
            return FALSE;
        }
        if (gShadow.fogType != v) {
            gShadow.fogType = v;
            SendFogType();
        }
        return TRUE;
    case ovRENDERSTATEFOGDENSITY:
        if (value == nullptr) {
            return FALSE;
        }
        if (Bits(gShadow.fogDensity) != Bits(*static_cast<const float*>(value))) {
            gShadow.fogDensity = *static_cast<const float*>(value);
            OvD3D9SetRenderState(D3DRS_FOGDENSITY, Bits(gShadow.fogDensity));
        }
        return TRUE;
    case ovRENDERSTATECULLMODE:
        return StoreAndSend(&gShadow.cullMode, D3DRS_CULLMODE, v);
    case ovRENDERSTATEALPHATESTFUNCTION:
        if (gShadow.alphaFunction != v) {
            gShadow.alphaFunction = v;
            gShadow.alphaTestWanted = v != D3DCMP_ALWAYS ? 1 : 0;
            OvD3D9SetRenderState(D3DRS_ALPHAFUNC, v);
            SendAlpha();
        }
        return TRUE;
    case ovRENDERSTATEALPHATESTFUNCTIONREF:
        OvD3D9SetRenderState(D3DRS_ALPHAREF, v);
        return TRUE;
    default:
        if (state >= ovRENDERSTATESTENCILENABLE && state <= ovRENDERSTATESTENCILFUNCTIONWRITEMASK) {
            const OvInt32 i = state - ovRENDERSTATESTENCILENABLE;
            return StoreAndSend(&gShadow.stencil[i], D3DRS_STENCILENABLE + static_cast<OvUInt32>(i), v);
        }
        return FALSE;
    }
}

OvBool OvD3D9RenderStateGet(OvInt32 state, void* value) {
    if (value == nullptr) {
        return FALSE;
    }
    if (state == ovRENDERSTATETEXTURERASTER) {
        *static_cast<OvRaster**>(value) = gShadow.stage[0].raster;
        return TRUE;
    }
    auto* out = static_cast<OvUInt32*>(value);
    const StageShadow& st0 = gShadow.stage[0];
    switch (state) {
    case ovRENDERSTATETEXTUREADDRESS:
        *out = st0.addressU == st0.addressV ? st0.addressU : 0;
        return st0.addressU == st0.addressV ? TRUE : FALSE;
    case ovRENDERSTATETEXTUREADDRESSU:
        *out = st0.addressU;
        return TRUE;
    case ovRENDERSTATETEXTUREADDRESSV:
        *out = st0.addressV;
        return TRUE;
    case ovRENDERSTATETEXTUREPERSPECTIVE:
        return FALSE;
    case ovRENDERSTATEZTESTENABLE:
        *out = gShadow.zTest;
        return TRUE;
    case ovRENDERSTATESHADEMODE:
        *out = gShadow.shadeMode;
        return TRUE;
    case ovRENDERSTATEZWRITEENABLE:
        *out = gShadow.zWrite;
        return TRUE;
    case ovRENDERSTATETEXTUREFILTER:
        *out = st0.filter;
        return TRUE;
    case ovRENDERSTATESRCBLEND:
        *out = gShadow.srcBlend;
        return TRUE;
    case ovRENDERSTATEDESTBLEND:
        *out = gShadow.destBlend;
        return TRUE;
    case ovRENDERSTATEVERTEXALPHAENABLE:
        *out = gShadow.vertexAlpha;
        return TRUE;
    case ovRENDERSTATEBORDERCOLOR:
        *out = st0.border;
        return TRUE;
    case ovRENDERSTATEFOGENABLE:
        *out = gShadow.fogEnable;
        return TRUE;
    case ovRENDERSTATEFOGCOLOR:
        *out = gShadow.fogColour;
        return TRUE;
    case ovRENDERSTATEFOGTYPE:
        *out = gShadow.fogType;
        return TRUE;
    case ovRENDERSTATEFOGDENSITY:
        *out = Bits(gShadow.fogDensity);
        return TRUE;
    case ovRENDERSTATECULLMODE:
        *out = gShadow.cullMode;
        return TRUE;
    case ovRENDERSTATEALPHATESTFUNCTION:
        *out = gShadow.alphaFunction;
        return TRUE;
    case ovRENDERSTATEALPHATESTFUNCTIONREF:
        *out = gCache.pending[D3DRS_ALPHAREF];
        return TRUE;
    default:
        if (state >= ovRENDERSTATESTENCILENABLE && state <= ovRENDERSTATESTENCILFUNCTIONWRITEMASK) {
            *out = gShadow.stencil[state - ovRENDERSTATESTENCILENABLE];
            return TRUE;
        }
        return FALSE;
    }
}

OvBool OvD3D9SetSurfaceProperties(const OvSurfaceProperties* properties, const OvRGBA* colour, OvUInt32 flags) {
    if (properties == nullptr || colour == nullptr) {
        return FALSE;
    }
    flags &= ovD3D9GEOMETRYPRELIT | ovD3D9GEOMETRYMODULATEMATERIALCOLOR;
    const bool prelit = (flags & ovD3D9GEOMETRYPRELIT) != 0;
    const bool white = colour->red == 255 && colour->green == 255 && colour->blue == 255 && colour->alpha == 255;
    const bool modulate = (flags & ovD3D9GEOMETRYMODULATEMATERIALCOLOR) != 0 && !white;
    const D3DCOLORVALUE& amb = OvD3D9AmbientColor;

    // The render states are queued every time (the queue drops what the device already has):
    // someone may have changed the ambient state since the last call with this key.
    if (modulate && prelit) {
        OvD3D9SetRenderState(D3DRS_AMBIENT, static_cast<OvUInt32>(colour->alpha) << 24 |
                                                static_cast<OvUInt32>(colour->red) << 16 |
                                                static_cast<OvUInt32>(colour->green) << 8 | colour->blue);
    } else {
        OvD3D9SetRenderState(D3DRS_AMBIENT, 0xFFFFFFFFu);
    }
    OvD3D9SetRenderState(D3DRS_COLORVERTEX, prelit ? 1 : 0);
    OvD3D9SetRenderState(D3DRS_AMBIENTMATERIALSOURCE, modulate && prelit ? 1 : 0);
    OvD3D9SetRenderState(D3DRS_EMISSIVEMATERIALSOURCE, !modulate && prelit ? 1 : 0);

    const MaterialKey key = {properties->diffuse, properties->ambient, *colour, flags, {amb.r, amb.g, amb.b}};
    if (std::memcmp(&key, &gCache.key, sizeof key) == 0) {
        return TRUE;
    }
    gCache.key = key;
    D3DMATERIAL9 m{};
    if (!modulate) {
        const float d = properties->diffuse;
        const float a = properties->ambient;
        m.Diffuse = {d, d, d, 1.0f};
        m.Ambient = {amb.r * a, amb.g * a, amb.b * a, 1.0f};
    } else {
        const float s = properties->diffuse / 255.0f;
        const float k = properties->ambient / 255.0f;
        const float r = colour->red, g = colour->green, b = colour->blue;
        m.Diffuse = {r * s, g * s, b * s, colour->alpha / 255.0f};
        const D3DCOLORVALUE lit = {r * amb.r * k, g * amb.g * k, b * amb.b * k, 1.0f};
        (prelit ? m.Emissive : m.Ambient) = lit;
    }
    m.Ambient.a = 1.0f;
    m.Specular = {0.0f, 0.0f, 0.0f, 1.0f};
    m.Emissive.a = 1.0f;
    m.Power = 0.0f;
    gCache.material = m;
    IDirect3DDevice9* d = Device();
    return d != nullptr && SUCCEEDED(d->SetMaterial(&m)) ? TRUE : FALSE;
}

void OvD3D9RenderStateOpen() {
    ClearCache();
    const bool linear = (Caps().TextureFilterCaps & D3DPTFILTERCAPS_MINFLINEAR) != 0;
    gShadow = {};
    for (StageShadow& st : gShadow.stage) {
        st = {nullptr, D3DTADDRESS_WRAP, D3DTADDRESS_WRAP, linear ? 2u : 1u, 0xFF000000u, 1};
    }
    gShadow.zWrite = 1;
    gShadow.zTest = 1;
    const OvUInt32 stencil[8] = {0, D3DSTENCILOP_KEEP, D3DSTENCILOP_KEEP, D3DSTENCILOP_KEEP, D3DCMP_ALWAYS,
                                 0, 0xFFFFFFFFu,       0xFFFFFFFFu};
    std::memcpy(gShadow.stencil, stencil, sizeof stencil);
    gShadow.alphaFunction = D3DCMP_GREATER;
    gShadow.alphaTestWanted = 1;
    gShadow.srcBlend = D3DBLEND_SRCALPHA;
    gShadow.destBlend = D3DBLEND_INVSRCALPHA;
    // Front faces wind clockwise on screen: counter-clockwise triangles are culled.
    gShadow.cullMode = D3DCULL_CW;
    gShadow.shadeMode = D3DSHADE_GOURAUD;
    gShadow.fogType = 1;
    gShadow.fogDensity = 1.0f;

    // The device's defaults differ from the engine's: these go out at every start. Fog density
    // keeps the device's own default (1.0) until the engine sets it.
    OvD3D9SetRenderState(D3DRS_FOGENABLE, 0);
    SendFogType();
    OvD3D9SetRenderState(D3DRS_FOGCOLOR, 0);
    OvD3D9SetRenderState(D3DRS_SHADEMODE, gShadow.shadeMode);
    SendZ();
    for (OvUInt32 i = 0; i < 8; ++i) {
        OvD3D9SetRenderState(D3DRS_STENCILENABLE + i, gShadow.stencil[i]);
    }
    for (OvUInt32 s = 0; s < ovD3D9NUMSTAGES; ++s) {
        SendStage(s);
    }
    OvD3D9SetRenderState(D3DRS_SRCBLEND, gShadow.srcBlend);
    OvD3D9SetRenderState(D3DRS_DESTBLEND, gShadow.destBlend);
    OvD3D9SetRenderState(D3DRS_ALPHAFUNC, gShadow.alphaFunction);
    OvD3D9SetRenderState(D3DRS_ALPHAREF, 0);
    SendAlpha();
    OvD3D9SetRenderState(D3DRS_LIGHTING, 0);
    OvD3D9SetRenderState(D3DRS_CULLMODE, gShadow.cullMode);
    SendFixedStates();
    OvD3D9RenderStateFlush();
}

void OvD3D9RenderStateReset() {
    const OvUInt32 fogStart = gCache.pending[D3DRS_FOGSTART];
    const OvUInt32 fogEnd = gCache.pending[D3DRS_FOGEND];
    const OvUInt32 alphaRef = gCache.pending[D3DRS_ALPHAREF];
    ClearCache();
    OvD3D9SetRenderState(D3DRS_FOGSTART, fogStart);
    OvD3D9SetRenderState(D3DRS_FOGEND, fogEnd);
    OvD3D9SetRenderState(D3DRS_ALPHAREF, alphaRef);
    SendShadows();
}
