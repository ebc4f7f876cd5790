// Pixel shaders: every instruction and modifier against worked values, the streams the reader
// refuses (and that it never reads past the tokens it is given), and shaders run by the device's
// draws: in place of the stages, before alpha test and blending, with texkill and the caps that hide
// them.

#include "platform/controls.h"
#include "platform/d3d9.h"
#include "platform/d3d9_control.h"
#include "platform/d3d9_pixel_shader.h"
#include "platform/window.h"
#include "testing/headless_window.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

using d3d9::PixelShaderDecode;
using d3d9::PixelShaderInputs;
using d3d9::PixelShaderMachine;
using d3d9::PixelShaderProgram;

// Token builders.
constexpr DWORD R = 0, V = 1, C = 2, T = 3;
constexpr DWORD kSat = 1;
constexpr DWORD kNeg = 1, kBias = 2, kBx2 = 4, kBx2Neg = 5, kInv = 6, kX2 = 7, kDz = 9, kDw = 10;
constexpr DWORD kXyzw = 0xE4, kA = 0xFF, kB = 0xAA;
DWORD Dst(DWORD type, DWORD i, DWORD mask = 0xF, DWORD mod = 0, int shift = 0) {
    return 0x80000000u | (type & 7) << 28 | (type & 0x18) << 8 | i | mask << 16 | mod << 20 |
           (static_cast<DWORD>(shift) & 0xF) << 24;
}
DWORD Src(DWORD type, DWORD i, DWORD swizzle = kXyzw, DWORD mod = 0) {
    return 0x80000000u | (type & 7) << 28 | (type & 0x18) << 8 | i | swizzle << 16 | mod << 24;
}
enum : DWORD {
    kNop = 0,
    kMov = 1,
    kAdd = 2,
    kSub = 3,
    kMad = 4,
    kMul = 5,
    kDp3 = 8,
    kDp4 = 9,
    kLrp = 18,
    kTexCoord = 64,
    kTexKill = 65,
    kTex = 66,
    kTexBem = 67,
    kTexBemL = 68,
    kTexReg2Ar = 69,
    kTexReg2Gb = 70,
    kTexM3x2Pad = 71,
    kTexM3x2Tex = 72,
    kCnd = 80,
    kDef = 81,
    kCmp = 88,
    kPhase = 0xFFFD,
    kEnd = 0xFFFF,
};
constexpr DWORD kCo = 0x40000000u;
DWORD Bits(float f) {
    DWORD d;
    std::memcpy(&d, &f, 4);
    return d;
}
std::vector<DWORD> Stream(int minor, std::vector<DWORD> body) {
    body.insert(body.begin(), D3DPS_VERSION(1, minor));
    body.push_back(kEnd);
    return body;
}

// Stage s at (u, v) reads (u, v, s / 10, 1/2).
struct Ramp final : d3d9::PixelShaderTextures {
    void Sample(int stage, float u, float v, int, float out[4]) const override {
        out[0] = u;
        out[1] = v;
        out[2] = static_cast<float>(stage) / 10;
        out[3] = 0.5f;
    }
};

struct Case {
    const char* what;
    int minor;
    std::vector<DWORD> body;
    float expected[4]; // r0 saturated; all -1: texkill drops the pixel
};

TEST(PixelShader, InstructionsAndModifiersGiveTheWorkedValues) {
    // v0 (.2 .4 .6 .8), v1 (.1 .3 .5 .7), c0 (.5 .25 -.5 1), c1 (.1 .2 .3 .4); set n at
    // (.25 + .1 n, .5, q 1) except set 2 at (.9, 1, q 2).
    const Case cases[] = {
        {"add clamps to 1 in 1.1", 1, {kAdd, Dst(R, 0), Src(V, 0), Src(V, 1)}, {.3f, .7f, 1, 1}},
        {"sub", 1, {kSub, Dst(R, 0), Src(V, 0), Src(V, 1)}, {.1f, .1f, .1f, .1f}},
        {"mul", 1, {kMul, Dst(R, 0), Src(V, 0), Src(C, 0)}, {.1f, .1f, 0, .8f}},
        {"mad", 1, {kMad, Dst(R, 0), Src(V, 0), Src(C, 0), Src(V, 1)}, {.2f, .4f, .2f, 1}},
        {"lrp", 1, {kLrp, Dst(R, 0), Src(C, 0), Src(V, 0), Src(V, 1)}, {.15f, .325f, .45f, .8f}},
        {"dp3", 1, {kDp3, Dst(R, 0), Src(V, 0), Src(V, 1)}, {.44f, .44f, .44f, .44f}},
        {"dp4", 2, {kDp4, Dst(R, 0), Src(V, 0), Src(V, 1)}, {1, 1, 1, 1}},
        {"cnd on r0.a",
         1,
         {kMov, Dst(R, 0), Src(C, 1), kCnd, Dst(R, 0), Src(R, 0, kA), Src(V, 0), Src(V, 1)},
         {.1f, .3f, .5f, .7f}},
        {"cnd per component in 1.4", 4, {kCnd, Dst(R, 0), Src(C, 0), Src(V, 0), Src(V, 1)}, {.1f, .3f, .5f, .8f}},
        {"cmp", 2, {kCmp, Dst(R, 0), Src(C, 0), Src(V, 0), Src(V, 1)}, {.2f, .4f, .5f, .8f}},
        {"negate", 1, {kAdd, Dst(R, 0), Src(V, 0), Src(V, 1, kXyzw, kNeg)}, {.1f, .1f, .1f, .1f}},
        {"bias", 1, {kMov, Dst(R, 0), Src(V, 0, kXyzw, kBias)}, {0, 0, .1f, .3f}},
        {"bx2", 1, {kMov, Dst(R, 0), Src(V, 0, kXyzw, kBx2)}, {0, 0, .2f, .6f}},
        {"negated bx2", 1, {kMov, Dst(R, 0), Src(V, 0, kXyzw, kBx2Neg)}, {.6f, .2f, 0, 0}},
        {"invert", 1, {kMov, Dst(R, 0), Src(V, 0, kXyzw, kInv)}, {.8f, .6f, .4f, .2f}},
        {"x2 source", 4, {kMov, Dst(R, 0), Src(V, 0, kXyzw, kX2)}, {.4f, .8f, 1, 1}},
        {"alpha replicate", 1, {kMov, Dst(R, 0), Src(V, 0, kA)}, {.8f, .8f, .8f, .8f}},
        {"_x2", 1, {kMul, Dst(R, 0, 0xF, 0, 1), Src(V, 0), Src(V, 1)}, {.04f, .24f, .6f, 1}},
        {"_x4", 1, {kMul, Dst(R, 0, 0xF, 0, 2), Src(V, 0), Src(V, 1)}, {.08f, .48f, 1, 1}},
        {"_d2", 1, {kAdd, Dst(R, 0, 0xF, 0, -1), Src(V, 0), Src(V, 1)}, {.15f, .35f, .55f, .75f}},
        {"1.1 keeps values within 1",
         1,
         {kAdd, Dst(R, 1), Src(V, 0), Src(V, 0), kSub, Dst(R, 0), Src(R, 1), Src(V, 1)},
         {.3f, .5f, .5f, .3f}},
        {"1.4 keeps them within 8",
         4,
         {kAdd, Dst(R, 1), Src(V, 0), Src(V, 0), kSub, Dst(R, 0), Src(R, 1), Src(V, 1)},
         {.3f, .5f, .7f, .9f}},
        {"_sat",
         4,
         {kAdd, Dst(R, 1, 0xF, kSat), Src(V, 0), Src(V, 0), kSub, Dst(R, 0), Src(R, 1), Src(V, 1)},
         {.3f, .5f, .5f, .3f}},
        {"co-issue", 1, {kMov, Dst(R, 0, 7), Src(V, 0), kMov | kCo, Dst(R, 0, 8), Src(V, 1)}, {.2f, .4f, .6f, .7f}},
        {"co-issue reads before it writes",
         1,
         {kMov, Dst(R, 0), Src(C, 1), kAdd, Dst(R, 0, 7), Src(R, 0), Src(V, 0), kMov | kCo, Dst(R, 0, 8),
          Src(R, 0, kB)},
         {.3f, .6f, .9f, .3f}},
        {"def over the set constants",
         1,
         {kDef, Dst(C, 0), Bits(.25f), Bits(.5f), Bits(.75f), Bits(1), kNop, kMov, Dst(R, 0), Src(C, 0)},
         {.25f, .5f, .75f, 1}},
        {"tex", 1, {kTex, Dst(T, 0), kTex, Dst(T, 1), kAdd, Dst(R, 0), Src(T, 0), Src(T, 1)}, {.6f, 1, .1f, 1}},
        {"texcoord saturates", 1, {kTexCoord, Dst(T, 2), kMov, Dst(R, 0), Src(T, 2)}, {.9f, 1, 1, 1}},
        {"texkill drops a negative set", 1, {kTexKill, Dst(T, 3), kMov, Dst(R, 0), Src(V, 0)}, {-1, -1, -1, -1}},
        {"texbem",
         1,
         {kTex, Dst(T, 0), kTexBem, Dst(T, 1), Src(T, 0), kMov, Dst(R, 0), Src(T, 1)},
         {.475f, .75f, .1f, .5f}},
        {"texbeml",
         1,
         {kTex, Dst(T, 0), kTexBemL, Dst(T, 1), Src(T, 0), kMov, Dst(R, 0), Src(T, 1)},
         {.2375f, .375f, .05f, .5f}},
        {"texreg2ar",
         1,
         {kTex, Dst(T, 0), kTexReg2Ar, Dst(T, 1), Src(T, 0), kMov, Dst(R, 0), Src(T, 1)},
         {.5f, .25f, .1f, .5f}},
        {"texreg2gb",
         1,
         {kTex, Dst(T, 0), kTexReg2Gb, Dst(T, 1), Src(T, 0), kMov, Dst(R, 0), Src(T, 1)},
         {.5f, 0, .1f, .5f}},
        {"texm3x2",
         1,
         {kTex, Dst(T, 0), kTexM3x2Pad, Dst(T, 1), Src(T, 0), kTexM3x2Tex, Dst(T, 2), Src(T, 0), kMov, Dst(R, 0),
          Src(T, 2)},
         {.3375f, .725f, .2f, .5f}},
        {"texld: a stage at another set, q divided",
         4,
         {kTex, Dst(R, 1), Src(T, 0), kTex, Dst(R, 0), Src(T, 2), kAdd, Dst(R, 0, 7), Src(R, 0), Src(R, 1)},
         {.7f, 1, .1f, .5f}},
        {"texcrd _dw",
         4,
         {kTexCoord, Dst(R, 0, 7), Src(T, 2, kXyzw, kDw), kMov, Dst(R, 0, 8), Src(C, 0)},
         {.45f, .5f, 1, 1}},
        {"dependent texld _dz in the second phase",
         4,
         {kTexCoord, Dst(R, 1, 7), Src(T, 2), kPhase, kTex, Dst(R, 2), Src(R, 1, kXyzw, kDz), kMov, Dst(R, 0),
          Src(R, 2)},
         {.45f, .5f, .2f, .5f}},
        {"sampled again in the second phase",
         4,
         {kTex, Dst(R, 1), Src(T, 0), kMov, Dst(R, 3), Src(R, 1), kPhase, kTex, Dst(R, 1), Src(T, 1), kAdd,
          Dst(R, 0, 7), Src(R, 3), Src(R, 1), kMov | kCo, Dst(R, 0, 8), Src(V, 0)},
         {.6f, 1, .2f, .8f}},
    };
    const float constants[8][4] = {{.5f, .25f, -.5f, 1}, {.1f, .2f, .3f, .4f}};
    PixelShaderInputs in;
    const float v0[4] = {.2f, .4f, .6f, .8f}, v1[4] = {.1f, .3f, .5f, .7f};
    std::memcpy(in.diffuse, v0, sizeof v0);
    std::memcpy(in.specular, v1, sizeof v1);
    for (int s = 0; s < 8; ++s) {
        in.coords[s][0] = .25f + .1f * static_cast<float>(s);
        in.coords[s][1] = .5f;
        in.coords[s][2] = 1;
    }
    in.coords[2][0] = .9f, in.coords[2][1] = 1, in.coords[2][2] = 2;
    in.coords[3][0] = -.1f;
    const float bump[4] = {.5f, 0, 0, .5f};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const std::vector<DWORD> tokens = Stream(c.minor, c.body);
        PixelShaderProgram program;
        std::string error;
        ASSERT_TRUE(PixelShaderDecode(tokens.data(), tokens.size(), &program, &error)) << error;
        PixelShaderMachine machine(program);
        machine.SetConstants(constants);
        machine.SetBumpEnvironment(1, bump, 1, .5f);
        float out[4] = {};
        const bool drawn = machine.Run(in, Ramp{}, out);
        if (c.expected[0] < 0) {
            EXPECT_FALSE(drawn);
            continue;
        }
        ASSERT_TRUE(drawn);
        for (int k = 0; k < 4; ++k)
            EXPECT_NEAR(out[k], c.expected[k], 1e-5f) << "component " << k;
    }
}

TEST(PixelShader, ReaderRefusesStreamsOutsideTheirVersionAndNeverReadsPastTheTokens) {
    const std::vector<DWORD> good = Stream(
        4, {kTex, Dst(R, 1), Src(T, 0), kPhase, kTex, Dst(R, 2), Src(R, 1), kMul, Dst(R, 0), Src(R, 2), Src(V, 0)});
    PixelShaderProgram program;
    ASSERT_TRUE(PixelShaderDecode(good.data(), good.size(), &program));
    EXPECT_EQ(program.coordSets, 1);
    EXPECT_EQ(program.stages, 0x6);
    // Every prefix lacks its end: refused, and read within its own length (the copy is exact, so
    // the sanitizer sees a read past it).
    for (std::size_t n = 0; n < good.size(); ++n) {
        const std::vector<DWORD> prefix(good.begin(), good.begin() + static_cast<std::ptrdiff_t>(n));
        EXPECT_FALSE(PixelShaderDecode(prefix.data(), prefix.size(), &program)) << n;
    }
    const struct {
        const char* what;
        std::vector<DWORD> tokens;
    } bad[] = {
        {"a vertex shader version", {D3DVS_VERSION(1, 1), kMov, Dst(R, 0), Src(V, 0), kEnd}},
        {"version 1.5", {D3DPS_VERSION(1, 5), kMov, Dst(R, 0), Src(V, 0), kEnd}},
        {"a comment past the end", {D3DPS_VERSION(1, 1), 0x0010FFFEu, 0, kEnd}},
        {"parameters past the end", {D3DPS_VERSION(1, 1), kMad, Dst(R, 0), Src(V, 0)}},
        {"an unknown operation", Stream(1, {0x30, Dst(R, 0), Src(V, 0)})},
        {"a parameter for an instruction", Stream(1, {Src(V, 0)})},
        {"reserved instruction bits", Stream(1, {kMov | 0x00010000u, Dst(R, 0), Src(V, 0)})},
        {"relative addressing", Stream(1, {kMov, Dst(R, 0), Src(V, 0) | 0x2000u})},
        {"r1 read before written", Stream(1, {kMov, Dst(R, 0), Src(R, 1)})},
        {"t0 read before tex", Stream(1, {kMov, Dst(R, 0), Src(T, 0)})},
        {"c8", Stream(1, {kMov, Dst(R, 0), Src(C, 8)})},
        {"r0 never written", Stream(1, {kMov, Dst(R, 1), Src(V, 0)})},
        {"dp4 in 1.1", Stream(1, {kDp4, Dst(R, 0), Src(V, 0), Src(V, 1)})},
        {"cnd not on r0.a in 1.1", Stream(1, {kCnd, Dst(R, 0), Src(V, 0, kA), Src(V, 0), Src(V, 1)})},
        {"mask .rg in 1.1", Stream(1, {kMov, Dst(R, 0, 3), Src(V, 0)})},
        {"x2 source in 1.1", Stream(1, {kMov, Dst(R, 0), Src(V, 0, kXyzw, kX2)})},
        {"a swizzle that is no replicate", Stream(1, {kMov, Dst(R, 0), Src(V, 0, 0x1B)})},
        {"tex after arithmetic", Stream(1, {kMov, Dst(R, 0), Src(V, 0), kTex, Dst(T, 0)})},
        {"five texture instructions", Stream(1, {kTex, Dst(T, 0), kTex, Dst(T, 1), kTex, Dst(T, 2), kTex, Dst(T, 3),
                                                 kTexKill, Dst(T, 0), kMov, Dst(R, 0), Src(V, 0)})},
        {"nine arithmetic instructions",
         Stream(1, {kMov, Dst(R, 0), Src(V, 0), kMov, Dst(R, 0), Src(V, 0), kMov, Dst(R, 0), Src(V, 0),
                    kMov, Dst(R, 0), Src(V, 0), kMov, Dst(R, 0), Src(V, 0), kMov, Dst(R, 0), Src(V, 0),
                    kMov, Dst(R, 0), Src(V, 0), kMov, Dst(R, 0), Src(V, 0), kMov, Dst(R, 0), Src(V, 0)})},
        {"co-issue of two colour writes",
         Stream(1, {kMov, Dst(R, 0, 7), Src(V, 0), kMov | kCo, Dst(R, 0, 7), Src(V, 1)})},
        {"texbem reading a later register",
         Stream(1, {kTex, Dst(T, 1), kTexBem, Dst(T, 0), Src(T, 1), kMov, Dst(R, 0), Src(T, 0)})},
        {"texm3x2pad alone",
         Stream(1, {kTex, Dst(T, 0), kTexM3x2Pad, Dst(T, 1), Src(T, 0), kMov, Dst(R, 0), Src(V, 0)})},
        {"def of a value not finite", Stream(1, {kDef, Dst(C, 0), Bits(NAN), 0, 0, 0, kMov, Dst(R, 0), Src(C, 0)})},
        {"two phases", Stream(4, {kPhase, kPhase, kMov, Dst(R, 0), Src(V, 0)})},
        {"texbem in 1.4", Stream(4, {kTexBem, Dst(R, 1), Src(T, 0), kMov, Dst(R, 0), Src(V, 0)})},
        {"t read by arithmetic in 1.4", Stream(4, {kMov, Dst(R, 0), Src(T, 0)})},
        {"a dependent read in the first phase",
         Stream(4, {kTexCoord, Dst(R, 1, 7), Src(T, 0), kTex, Dst(R, 2), Src(R, 1), kMov, Dst(R, 0), Src(R, 2)})},
        {"a stage sampled twice in one phase", Stream(4, {kTex, Dst(R, 0), Src(T, 0), kTex, Dst(R, 0), Src(T, 1)})},
        {"v0 before the phase", Stream(4, {kMov, Dst(R, 0), Src(V, 0), kPhase, kMov, Dst(R, 0), Src(R, 0)})},
        {"texkill of r109", Stream(4, {kTexKill, Dst(R, 109), kMov, Dst(R, 0), Src(V, 0)})},
    };
    for (const auto& b : bad) {
        std::string error;
        EXPECT_FALSE(PixelShaderDecode(b.tokens.data(), b.tokens.size(), &program, &error)) << b.what;
        EXPECT_FALSE(error.empty()) << b.what;
    }
}

// The device -----------------------------------------------------------------------------------------

LRESULT Proc(HWND w, UINT m, WPARAM wp, LPARAM lp) { return DefWindowProcA(w, m, wp, lp); }

struct Vertex { // pre-transformed, two coordinate sets
    float x, y, z, rhw;
    DWORD color;
    float u0, v0, u1, v1;
};
constexpr DWORD kFvf = D3DFVF_XYZRHW | D3DFVF_DIFFUSE | D3DFVF_TEX2;

struct Device {
    HWND window = nullptr;
    IDirect3D9* d3d = nullptr;
    IDirect3DDevice9* device = nullptr;

    Device() {
        window = OpenHeadlessWindow("d3d9_pixel_shader_test", Proc, 16, 16);
        d3d = Direct3DCreate9(D3D_SDK_VERSION);
        D3DPRESENT_PARAMETERS pp{};
        pp.BackBufferWidth = 8;
        pp.BackBufferHeight = 8;
        pp.BackBufferFormat = D3DFMT_A8R8G8B8;
        pp.SwapEffect = D3DSWAPEFFECT_COPY;
        pp.hDeviceWindow = window;
        pp.Windowed = TRUE;
        if (d3d->CreateDevice(0, D3DDEVTYPE_HAL, window, D3DCREATE_SOFTWARE_VERTEXPROCESSING, &pp, &device) != D3D_OK)
            device = nullptr;
    }
    ~Device() {
        if (device != nullptr) {
            EXPECT_EQ(device->Release(), 0u);
        }
        d3d->Release();
        PlatformWindowReset();
    }
    DWORD Pixel(UINT x, UINT y) {
        IDirect3DSurface9* back = nullptr;
        device->GetBackBuffer(0, 0, D3DBACKBUFFER_TYPE_MONO, &back);
        const std::vector<BYTE> bytes = D3d9SurfaceBytes(back);
        back->Release();
        DWORD p = 0;
        if (bytes.size() >= 4 * 64)
            std::memcpy(&p, bytes.data() + 4 * (8 * y + x), 4);
        return p;
    }
};

TEST(PixelShader, DeviceRunsTheShaderInPlaceOfTheStagesThenBlendsAndHidesItOnRequest) {
    D3d9ResetStandIn();
    Device d;
    ASSERT_NE(d.device, nullptr);
    D3DCAPS9 caps{};
    d.device->GetDeviceCaps(&caps);
    EXPECT_EQ(caps.PixelShaderVersion, D3DPS_VERSION(1, 4));
    // Stage 1's texture at set 1 times the diffuse colour, the pixels whose set 0 has u < 0 killed.
    const std::vector<DWORD> tokens =
        Stream(1, {kTex, Dst(T, 1), kTexKill, Dst(T, 0), kMul, Dst(R, 0), Src(T, 1), Src(V, 0)});
    IDirect3DPixelShader9* shader = nullptr;
    ASSERT_EQ(d.device->CreatePixelShader(tokens.data(), &shader), D3D_OK);
    const std::vector<DWORD> refused = Stream(1, {kMov, Dst(R, 0), Src(R, 1)});
    IDirect3DPixelShader9* none = nullptr;
    EXPECT_EQ(d.device->CreatePixelShader(refused.data(), &none), D3DERR_INVALIDCALL);
    EXPECT_EQ(none, nullptr);

    IDirect3DTexture9* texture = nullptr;
    ASSERT_EQ(d.device->CreateTexture(1, 1, 1, 0, D3DFMT_A8R8G8B8, D3DPOOL_MANAGED, &texture, nullptr), D3D_OK);
    IDirect3DSurface9* level = nullptr;
    texture->GetSurfaceLevel(0, &level);
    D3DLOCKED_RECT r{};
    level->LockRect(&r, nullptr, 0);
    const DWORD texel = 0xFF804020u;
    std::memcpy(r.pBits, &texel, 4);
    level->UnlockRect();
    level->Release();

    d.device->SetRenderState(D3DRS_LIGHTING, FALSE);
    d.device->SetRenderState(D3DRS_CULLMODE, D3DCULL_NONE);
    d.device->SetRenderState(D3DRS_ZENABLE, FALSE);
    d.device->SetTextureStageState(0, D3DTSS_COLOROP, D3DTOP_DISABLE); // the stages would give the diffuse
    d.device->SetTexture(1, texture);
    d.device->SetRenderState(D3DRS_ALPHABLENDENABLE, TRUE); // added over the cleared colour
    d.device->SetRenderState(D3DRS_SRCBLEND, D3DBLEND_ONE);
    d.device->SetRenderState(D3DRS_DESTBLEND, D3DBLEND_ONE);
    d.device->SetFVF(kFvf);
    d.device->Clear(0, nullptr, D3DCLEAR_TARGET, 0x00101010u, 1.0f, 0);
    d.device->SetPixelShader(shader);
    d.device->BeginScene();
    const DWORD diffuse = 0xFF808080u;
    const Vertex quad[4] = {{0, 0, 0.5f, 1, diffuse, -1, 0, 0.5f, 0.5f},
                            {8, 0, 0.5f, 1, diffuse, 1, 0, 0.5f, 0.5f},
                            {0, 8, 0.5f, 1, diffuse, -1, 0, 0.5f, 0.5f},
                            {8, 8, 0.5f, 1, diffuse, 1, 0, 0.5f, 0.5f}};
    ASSERT_EQ(d.device->DrawPrimitiveUP(D3DPT_TRIANGLESTRIP, 2, quad, sizeof(Vertex)), D3D_OK);
    d.device->EndScene();
    // Left half: killed, the clear colour. Right half: texel x diffuse (0x80 x 0x80 / 255 = 0x40,
    // 0x20, 0x10) plus the clear colour.
    EXPECT_EQ(d.Pixel(1, 4) & 0xFFFFFF, 0x101010u);
    EXPECT_EQ(d.Pixel(6, 4) & 0xFFFFFF, 0x503020u);
    d.device->SetPixelShader(nullptr);
    d.device->SetTexture(1, nullptr);
    texture->Release();
    shader->Release();

    // Hidden: the caps report none and the device makes none.
    setenv("PLATFORM_PIXEL_SHADERS", "0", 1);
    D3d9ResetStandIn();
    {
        Device hidden;
        ASSERT_NE(hidden.device, nullptr);
        hidden.device->GetDeviceCaps(&caps);
        EXPECT_EQ(caps.PixelShaderVersion, 0u);
        EXPECT_EQ(hidden.device->CreatePixelShader(tokens.data(), &none), D3DERR_INVALIDCALL);
    }
    setenv("PLATFORM_PIXEL_SHADERS", "yes", 1);
    bool on = false;
    std::string error;
    EXPECT_FALSE(PlatformPixelShadersFromEnvironment(&on, &error));
    EXPECT_EQ(error, "PLATFORM_PIXEL_SHADERS: expected 1 or 0, got 'yes'");
    unsetenv("PLATFORM_PIXEL_SHADERS");
    D3d9ResetStandIn();
}

} // namespace
