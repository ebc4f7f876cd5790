#include "graphics/core/d3d9/render_state.h"

#include <cstdint>
#include <cstring>
#include <map>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "graphics/core/d3d9/tests/d3d9_fixture.h"

namespace {

void* V(std::uintptr_t v) { return reinterpret_cast<void*>(v); }

DWORD DeviceState(D3DRENDERSTATETYPE state) {
    DWORD v = 0;
    OvD3D9GetDevice()->GetRenderState(state, &v);
    return v;
}

DWORD DeviceSampler(DWORD state) {
    DWORD v = 0;
    OvD3D9GetDevice()->GetSamplerState(0, state, &v);
    return v;
}

} // namespace

TEST_F(D3d9DriverTest, RenderStatesReachTheDeviceOnceAndRedundantSetsSendNothing) {
    ASSERT_TRUE(Up());
    D3d9LogEnable(true);
    OvD3D9SetRenderState(D3DRS_ALPHABLENDENABLE, 1);
    OvD3D9SetRenderState(D3DRS_ALPHABLENDENABLE, 0);
    OvD3D9SetTextureStageState(1, D3DTSS_COLOROP, D3DTOP_MODULATE);
    OvD3D9SetTextureStageState(1, D3DTSS_COLOROP, D3DTOP_DISABLE);
    OvD3D9RenderStateFlush();
    EXPECT_TRUE(D3d9Log().empty());

    OvD3D9SetRenderState(D3DRS_ALPHABLENDENABLE, 1);
    OvD3D9SetRenderState(D3DRS_CULLMODE, D3DCULL_CCW);
    OvD3D9SetRenderState(D3DRS_ALPHABLENDENABLE, 1);
    EXPECT_TRUE(D3d9Log().empty()); // queued until the flush
    OvD3D9RenderStateFlush();
    ASSERT_EQ(D3d9Log().size(), 2u);
    EXPECT_EQ(D3d9Log()[0], "SetRenderState(27, 1)");
    EXPECT_EQ(DeviceState(D3DRS_CULLMODE), D3DCULL_CCW);

    D3d9LogClear();
    OvD3D9SetSamplerState(0, D3DSAMP_ADDRESSU, D3DTADDRESS_CLAMP);
    OvD3D9SetSamplerState(0, D3DSAMP_ADDRESSU, D3DTADDRESS_CLAMP);
    EXPECT_EQ(D3d9LogCount("SetSamplerState"), 1);
    // Out-of-range numbers are dropped.
    OvD3D9SetRenderState(ovD3D9NUMRENDERSTATES, 1);
    OvD3D9SetTextureStageState(8, 1, 1);
    OvD3D9SetSamplerState(0, 14, 1);
    OvD3D9RenderStateFlush();
    EXPECT_EQ(D3d9Log().size(), 1u);
}

// Calls of one kind in the log as (first, second) -> value: (0, state) for render states,
// (stage, state) for stage and sampler states. A key logged twice is kept as ~0u.
std::map<std::pair<DWORD, DWORD>, DWORD> Logged(const char* method) {
    std::map<std::pair<DWORD, DWORD>, DWORD> out;
    const std::string head = std::string(method) + "(";
    for (const std::string& line : D3d9Log()) {
        if (line.rfind(head, 0) != 0) {
            continue;
        }
        std::vector<DWORD> args;
        std::istringstream in(line.substr(head.size()));
        for (unsigned long v = 0; in >> v;) {
            args.push_back(static_cast<DWORD>(v));
            in.ignore(2);
        }
        const auto key = args.size() == 2 ? std::make_pair(DWORD{0}, args[0]) : std::make_pair(args[0], args[1]);
        out[key] = out.count(key) != 0 ? ~0u : args.back();
    }
    return out;
}

// What the driver sends when the device starts, against its table of engine defaults: every
// state sent is in the table with its value, each once; every state of the table holds its value
// on the device afterwards (states whose device default already matches need not be sent).
TEST_F(D3d9DriverTest, DeviceStartSendsEveryDefaultOfTheTableAndNothingElse) {
    for (bool rich : {false, true}) {
        SCOPED_TRACE(rich ? "table fog, dither, point filtering" : "vertex fog only");
        D3d9Adapter adapter = D3d9DefaultAdapter();
        adapter.caps.RasterCaps &= ~DWORD{D3DPRASTERCAPS_FOGTABLE | D3DPRASTERCAPS_WFOG};
        if (rich) {
            adapter.caps.RasterCaps |= D3DPRASTERCAPS_FOGTABLE | D3DPRASTERCAPS_WFOG | D3DPRASTERCAPS_DITHER;
            adapter.caps.TextureFilterCaps &= ~DWORD{D3DPTFILTERCAPS_MINFLINEAR};
        }
        D3d9SetAdapters({adapter});
        D3d9LogEnable(true);
        D3d9LogClear();
        ASSERT_TRUE(Up());
        D3d9LogEnable(false);
        const std::map<std::pair<DWORD, DWORD>, DWORD> renderStates = {
            {{0, D3DRS_FOGENABLE}, 0},
            {{0, D3DRS_FOGTABLEMODE}, rich ? 3u : 0u},
            {{0, D3DRS_FOGVERTEXMODE}, rich ? 0u : 3u},
            {{0, D3DRS_FOGCOLOR}, 0},
            {{0, D3DRS_SHADEMODE}, 2},
            {{0, D3DRS_ZFUNC}, 4},
            {{0, D3DRS_ZWRITEENABLE}, 1},
            {{0, D3DRS_ZENABLE}, 1},
            {{0, D3DRS_STENCILENABLE}, 0},
            {{0, D3DRS_STENCILFAIL}, 1},
            {{0, D3DRS_STENCILZFAIL}, 1},
            {{0, D3DRS_STENCILPASS}, 1},
            {{0, D3DRS_STENCILFUNC}, 8},
            {{0, D3DRS_STENCILREF}, 0},
            {{0, D3DRS_STENCILMASK}, 0xFFFFFFFFu},
            {{0, D3DRS_STENCILWRITEMASK}, 0xFFFFFFFFu},
            {{0, D3DRS_SRCBLEND}, 5},
            {{0, D3DRS_DESTBLEND}, 6},
            {{0, D3DRS_ALPHAFUNC}, 5},
            {{0, D3DRS_ALPHAREF}, 0},
            {{0, D3DRS_ALPHABLENDENABLE}, 0},
            {{0, D3DRS_ALPHATESTENABLE}, 0},
            {{0, D3DRS_LIGHTING}, 0},
            {{0, D3DRS_CULLMODE}, 2},
            {{0, D3DRS_DIFFUSEMATERIALSOURCE}, 0},
            {{0, D3DRS_SPECULARMATERIALSOURCE}, 0},
            {{0, D3DRS_AMBIENTMATERIALSOURCE}, 0},
            {{0, D3DRS_DITHERENABLE}, rich ? 1u : 0u},
            {{0, D3DRS_SPECULARENABLE}, 0},
            {{0, D3DRS_LOCALVIEWER}, 0},
            {{0, D3DRS_AMBIENT}, 0xFFFFFFFFu},
            {{0, D3DRS_NORMALIZENORMALS}, 0},
        };
        std::map<std::pair<DWORD, DWORD>, DWORD> stageStates = {
            {{0, D3DTSS_COLOROP}, D3DTOP_SELECTARG2},
            {{0, D3DTSS_ALPHAOP}, D3DTOP_SELECTARG2},
            {{0, D3DTSS_COLORARG2}, D3DTA_DIFFUSE},
            {{0, D3DTSS_ALPHAARG2}, D3DTA_DIFFUSE},
        };
        std::map<std::pair<DWORD, DWORD>, DWORD> samplerStates;
        for (DWORD stage = 0; stage < 8; ++stage) {
            if (stage > 0) {
                stageStates[{stage, D3DTSS_COLOROP}] = D3DTOP_DISABLE;
                stageStates[{stage, D3DTSS_ALPHAOP}] = D3DTOP_DISABLE;
            }
            const DWORD filter = rich ? D3DTEXF_POINT : D3DTEXF_LINEAR;
            samplerStates[{stage, D3DSAMP_MINFILTER}] = filter;
            samplerStates[{stage, D3DSAMP_MAGFILTER}] = filter;
            samplerStates[{stage, D3DSAMP_MIPFILTER}] = D3DTEXF_NONE;
            samplerStates[{stage, D3DSAMP_ADDRESSU}] = D3DTADDRESS_WRAP;
            samplerStates[{stage, D3DSAMP_ADDRESSV}] = D3DTADDRESS_WRAP;
            samplerStates[{stage, D3DSAMP_BORDERCOLOR}] = 0xFF000000u;
            samplerStates[{stage, D3DSAMP_MAXANISOTROPY}] = 1;
        }
        IDirect3DDevice9* device = OvD3D9GetDevice();
        const auto check = [&](const char* method, const std::map<std::pair<DWORD, DWORD>, DWORD>& table,
                               auto deviceValue) {
            for (const auto& [key, value] : Logged(method)) {
                const auto want = table.find(key);
                ASSERT_NE(want, table.end()) << method << " " << key.first << ", " << key.second << " not a default";
                EXPECT_EQ(value, want->second) << method << " " << key.first << ", " << key.second;
            }
            for (const auto& [key, value] : table) {
                EXPECT_EQ(deviceValue(key.first, key.second), value)
                    << method << " " << key.first << ", " << key.second;
            }
        };
        check("SetRenderState", renderStates, [&](DWORD, DWORD state) {
            DWORD v = 0;
            device->GetRenderState(state, &v);
            return v;
        });
        check("SetTextureStageState", stageStates, [&](DWORD stage, DWORD state) {
            DWORD v = 0;
            device->GetTextureStageState(stage, state, &v);
            return v;
        });
        check("SetSamplerState", samplerStates, [&](DWORD stage, DWORD state) {
            DWORD v = 0;
            device->GetSamplerState(stage, state, &v);
            return v;
        });
        // The engine side reads the same defaults back.
        OvUInt32 cull = 0;
        ASSERT_TRUE(OvD3D9RenderStateGet(ovRENDERSTATECULLMODE, &cull));
        EXPECT_EQ(cull, static_cast<OvUInt32>(D3DCULL_CW));
        ASSERT_TRUE(OvEngineStop());
        ASSERT_TRUE(OvEngineClose());
    }
}

// Callers outside the device record set the blend functions through the driver's own entries:
// the engine shadow answers the get, and the device gets the value once.
TEST_F(D3d9DriverTest, BlendFunctionsThroughTheDriverEntriesMatchTheEngineStates) {
    ASSERT_TRUE(Up());
    D3d9LogEnable(true);
    EXPECT_TRUE(OvD3D9RenderStateSrcBlend(D3DBLEND_ONE));
    EXPECT_TRUE(OvD3D9RenderStateDestBlend(D3DBLEND_ZERO));
    EXPECT_TRUE(OvD3D9RenderStateSrcBlend(D3DBLEND_ONE));
    OvD3D9RenderStateFlush();
    EXPECT_EQ(D3d9LogCount("SetRenderState"), 2);
    EXPECT_EQ(DeviceState(D3DRS_SRCBLEND), D3DBLEND_ONE);
    EXPECT_EQ(DeviceState(D3DRS_DESTBLEND), D3DBLEND_ZERO);
    OvUInt32 v = 0;
    ASSERT_TRUE(OvD3D9RenderStateGet(ovRENDERSTATESRCBLEND, &v));
    EXPECT_EQ(v, static_cast<OvUInt32>(D3DBLEND_ONE));
    ASSERT_TRUE(OvD3D9RenderStateGet(ovRENDERSTATEDESTBLEND, &v));
    EXPECT_EQ(v, static_cast<OvUInt32>(D3DBLEND_ZERO));
}

TEST_F(D3d9DriverTest, EngineStatesTranslateToTheDevice) {
    ASSERT_TRUE(Up());
    struct Case {
        OvInt32 state;
        std::uintptr_t value;
        D3DRENDERSTATETYPE d3d;
        DWORD expected;
    } cases[] = {
        {ovRENDERSTATESHADEMODE, D3DSHADE_FLAT, D3DRS_SHADEMODE, D3DSHADE_FLAT},
        {ovRENDERSTATESRCBLEND, D3DBLEND_ONE, D3DRS_SRCBLEND, D3DBLEND_ONE},
        {ovRENDERSTATEDESTBLEND, D3DBLEND_ZERO, D3DRS_DESTBLEND, D3DBLEND_ZERO},
        {ovRENDERSTATECULLMODE, D3DCULL_NONE, D3DRS_CULLMODE, D3DCULL_NONE},
        {ovRENDERSTATEFOGCOLOR, 0x123456, D3DRS_FOGCOLOR, 0x123456},
        {ovRENDERSTATESTENCILENABLE, 1, D3DRS_STENCILENABLE, 1},
        {ovRENDERSTATESTENCILFUNCTIONWRITEMASK, 0x0F, D3DRS_STENCILWRITEMASK, 0x0F},
        {ovRENDERSTATEALPHATESTFUNCTIONREF, 128, D3DRS_ALPHAREF, 128},
        {ovRENDERSTATEZWRITEENABLE, 0, D3DRS_ZWRITEENABLE, 0},
        {ovRENDERSTATEZTESTENABLE, 0, D3DRS_ZENABLE, 0}, // neither test nor write: z off
        {ovRENDERSTATEZWRITEENABLE, 1, D3DRS_ZENABLE, 1},
        {ovRENDERSTATEZTESTENABLE, 1, D3DRS_ZFUNC, D3DCMP_LESSEQUAL},
        {ovRENDERSTATEVERTEXALPHAENABLE, 1, D3DRS_ALPHABLENDENABLE, 1},
        {ovRENDERSTATEVERTEXALPHAENABLE, 1, D3DRS_ALPHATESTENABLE, 1},
        {ovRENDERSTATEALPHATESTFUNCTION, D3DCMP_ALWAYS, D3DRS_ALPHATESTENABLE, 0},
        {ovRENDERSTATEVERTEXALPHAENABLE, 0, D3DRS_ALPHABLENDENABLE, 0},
    };
    for (const Case& c : cases) {
        EXPECT_TRUE(OvD3D9RenderStateSet(c.state, V(c.value))) << c.state;
        OvD3D9RenderStateFlush();
        EXPECT_EQ(DeviceState(c.d3d), c.expected) << c.state;
        OvUInt32 got = 0;
        if (c.state != ovRENDERSTATEALPHATESTFUNCTIONREF) {
            EXPECT_TRUE(OvD3D9RenderStateGet(c.state, &got));
            EXPECT_EQ(got, c.value) << c.state;
        }
    }
    const float density = 0.25f;
    EXPECT_TRUE(OvD3D9RenderStateSet(ovRENDERSTATEFOGDENSITY, const_cast<float*>(&density)));
    OvD3D9RenderStateFlush();
    float sent = 0;
    DWORD bits = DeviceState(D3DRS_FOGDENSITY);
    std::memcpy(&sent, &bits, sizeof sent);
    EXPECT_EQ(sent, 0.25f);

    // Addressing: u and v apart make the joint state unanswerable.
    EXPECT_TRUE(OvD3D9RenderStateSet(ovRENDERSTATETEXTUREADDRESSU, V(1)));
    EXPECT_TRUE(OvD3D9RenderStateSet(ovRENDERSTATETEXTUREADDRESSV, V(3)));
    EXPECT_EQ(DeviceSampler(D3DSAMP_ADDRESSV), 3u);
    OvUInt32 address = 99;
    EXPECT_FALSE(OvD3D9RenderStateGet(ovRENDERSTATETEXTUREADDRESS, &address));
    EXPECT_EQ(address, 0u);
    // Filter 11 is anisotropic with linear mips; without anisotropic magnification the mag
    // filter falls back to linear.
    EXPECT_TRUE(OvD3D9RenderStateSet(ovRENDERSTATETEXTUREFILTER, V(11)));
    EXPECT_EQ(DeviceSampler(D3DSAMP_MINFILTER), 3u);
    EXPECT_EQ(DeviceSampler(D3DSAMP_MIPFILTER), 2u);

    // The last of each table is taken: filter 12 (anisotropic, linear mips), mirror-once
    // addressing (5), fog type 3.
    EXPECT_TRUE(OvD3D9RenderStateSet(ovRENDERSTATETEXTUREFILTER, V(12)));
    EXPECT_EQ(DeviceSampler(D3DSAMP_MIPFILTER), 2u);
    EXPECT_TRUE(OvD3D9RenderStateSet(ovRENDERSTATETEXTUREADDRESS, V(5)));
    EXPECT_EQ(DeviceSampler(D3DSAMP_ADDRESSU), 5u);
    EXPECT_TRUE(OvD3D9RenderStateSet(ovRENDERSTATEFOGTYPE, V(3)));
    EXPECT_FALSE(OvD3D9RenderStateSet(ovRENDERSTATEFOGTYPE, V(4)));

    OvUInt32 unused = 0;
    for (OvInt32 state : {0, 5, 18, 19, 31}) {
        EXPECT_FALSE(OvD3D9RenderStateGet(state, &unused)) << state;
    }
    EXPECT_FALSE(OvD3D9RenderStateSet(ovRENDERSTATETEXTUREPERSPECTIVE, V(0)));
}

// An engine state set to the value the engine already holds changes nothing, even where a device
// state it carries was changed under it.
TEST_F(D3d9DriverTest, EngineStatesSetToTheValueHeldChangeNothing) {
    ASSERT_TRUE(Up());
    const struct {
        OvInt32 state;
        DWORD carried; // a render state, or the border colour sampler state
        DWORD other;
    } cases[] = {
        {ovRENDERSTATESHADEMODE, D3DRS_SHADEMODE, D3DSHADE_FLAT},
        {ovRENDERSTATEZTESTENABLE, D3DRS_ZFUNC, D3DCMP_ALWAYS},
        {ovRENDERSTATEZWRITEENABLE, D3DRS_ZENABLE, 0},
        {ovRENDERSTATESRCBLEND, D3DRS_SRCBLEND, D3DBLEND_ONE},
        {ovRENDERSTATEVERTEXALPHAENABLE, D3DRS_ALPHABLENDENABLE, 1},
        {ovRENDERSTATEFOGCOLOR, D3DRS_FOGCOLOR, 0x123456},
        {ovRENDERSTATEFOGTYPE, D3DRS_FOGVERTEXMODE, D3DFOG_EXP2},
        {ovRENDERSTATEFOGDENSITY, D3DRS_FOGDENSITY, 0x3E800000}, // 0.25
        {ovRENDERSTATECULLMODE, D3DRS_CULLMODE, D3DCULL_NONE},
        {ovRENDERSTATESTENCILFUNCTION, D3DRS_STENCILFUNC, D3DCMP_NEVER},
        {ovRENDERSTATEALPHATESTFUNCTION, D3DRS_ALPHATESTENABLE, 1},
        {ovRENDERSTATEBORDERCOLOR, D3DSAMP_BORDERCOLOR, 0x1234},
    };
    for (const auto& c : cases) {
        const bool sampler = c.state == ovRENDERSTATEBORDERCOLOR;
        if (sampler) {
            OvD3D9SetSamplerState(0, c.carried, c.other);
        } else {
            OvD3D9SetRenderState(c.carried, c.other);
        }
        OvD3D9RenderStateFlush();
        OvUInt32 held = 0;
        ASSERT_TRUE(OvD3D9RenderStateGet(c.state, &held)) << c.state;
        float density = 0.0f;
        std::memcpy(&density, &held, sizeof density);
        EXPECT_TRUE(OvD3D9RenderStateSet(c.state, c.state == ovRENDERSTATEFOGDENSITY ? &density : V(held)));
        OvD3D9RenderStateFlush();
        EXPECT_EQ(sampler ? DeviceSampler(c.carried) : DeviceState(static_cast<D3DRENDERSTATETYPE>(c.carried)), c.other)
            << c.state;
    }
}

TEST_F(D3d9DriverTest, FogNeedsTheCapsAndResetRestoresEngineStates) {
    D3d9Adapter a = D3d9DefaultAdapter();
    a.caps.RasterCaps &= ~(D3DPRASTERCAPS_FOGVERTEX | D3DPRASTERCAPS_FOGTABLE);
    D3d9SetAdapters({a});
    ASSERT_TRUE(Up());
    EXPECT_TRUE(OvD3D9RenderStateSet(ovRENDERSTATEFOGENABLE, V(1)));
    OvD3D9RenderStateSet(ovRENDERSTATECULLMODE, V(D3DCULL_CW));
    OvD3D9RenderStateSet(ovRENDERSTATEALPHATESTFUNCTIONREF, V(77));
    OvD3D9RenderStateFlush();
    EXPECT_EQ(DeviceState(D3DRS_FOGENABLE), 0u);

    D3d9LoseDevice(OvD3D9GetDevice());
    EXPECT_FALSE(OvD3D9DeviceCheckLost());
    EXPECT_TRUE(OvD3D9DeviceCheckLost());
    OvD3D9GetDevice()->EndScene();
    OvD3D9DeviceSetInScene(FALSE);
    EXPECT_EQ(DeviceState(D3DRS_CULLMODE), D3DCULL_CW);
    EXPECT_EQ(DeviceState(D3DRS_ALPHAREF), 77u);
    EXPECT_EQ(DeviceState(D3DRS_LIGHTING), 0u);
}

TEST_F(D3d9DriverTest, SurfacePropertiesSendTheMaterialOnceAndKeepTheAmbientState) {
    ASSERT_TRUE(Up());
    D3d9LogEnable(true);
    OvD3D9AmbientColor = {0.5f, 0.5f, 0.5f, 1.0f};
    const OvSurfaceProperties props = {1.0f, 0.0f, 255.0f};
    const OvRGBA red = {255, 0, 0, 255};
    const OvUInt32 flags = ovD3D9GEOMETRYPRELIT | ovD3D9GEOMETRYMODULATEMATERIALCOLOR;
    EXPECT_TRUE(OvD3D9SetSurfaceProperties(&props, &red, flags));
    EXPECT_TRUE(OvD3D9SetSurfaceProperties(&props, &red, flags | 0x1));
    EXPECT_EQ(D3d9LogCount("SetMaterial"), 1);
    D3DMATERIAL9 m{};
    OvD3D9GetDevice()->GetMaterial(&m);
    EXPECT_FLOAT_EQ(m.Diffuse.r, 255.0f);
    EXPECT_FLOAT_EQ(m.Emissive.r, 255.0f * 0.5f / 255.0f);
    EXPECT_EQ(m.Emissive.a, 1.0f);

    // Someone clears the ambient state between two objects with the same key.
    OvD3D9SetRenderState(D3DRS_AMBIENT, 0);
    OvD3D9RenderStateFlush();
    EXPECT_TRUE(OvD3D9SetSurfaceProperties(&props, &red, flags));
    OvD3D9RenderStateFlush();
    EXPECT_EQ(DeviceState(D3DRS_AMBIENT), 0xFFFF0000u);
    EXPECT_EQ(D3d9LogCount("SetMaterial"), 1);
    OvD3D9AmbientColor = {0.0f, 0.0f, 0.0f, 1.0f};
}

TEST_F(D3d9DriverTest, TextureWordsFromFilesNeverSendInvalidSamplerValues) {
    ASSERT_TRUE(Up());
    D3d9LogEnable(true);
    OvTexture texture{};
    texture.filterAddressing = 0x3204; // mip linear, u mirror, v clamp
    EXPECT_TRUE(OvD3D9SetTexture(&texture, 1));
    EXPECT_EQ(D3d9LogCount("SetSamplerState"), 3); // u, v and the mip filter; min and mag stay linear
    DWORD v = 0;
    OvD3D9GetDevice()->GetSamplerState(1, D3DSAMP_ADDRESSV, &v);
    EXPECT_EQ(v, D3DTADDRESS_CLAMP);

    // Filter 200 reads as "none"; addressing 0 (u and v merged apart) and 9 keep the sampler's.
    D3d9LogClear();
    texture.filterAddressing = 0x90C8;
    EXPECT_TRUE(OvD3D9SetTexture(&texture, 1));
    EXPECT_EQ(D3d9LogCount("SetSamplerState"), 3); // the three filters
    OvD3D9GetDevice()->GetSamplerState(1, D3DSAMP_ADDRESSU, &v);
    EXPECT_EQ(v, D3DTADDRESS_MIRROR);
    OvD3D9GetDevice()->GetSamplerState(1, D3DSAMP_MINFILTER, &v);
    EXPECT_EQ(v, 0u);
    EXPECT_FALSE(OvD3D9SetTexture(&texture, 8));
}
