// Vertex shaders of the stand-in: each instruction's results against hand-computed values, the
// profile differences (expp, the address register), relative and summed constant indices, input
// defaults and saturated colours; the assembler's refusals with their lines; the token round trip
// and its truncations; the D3DX matrix routines; and lit, textured draws (a directional, a point
// and a spot light) through hand-written shaders that match the fixed-function path.

#include "platform/d3d9.h"
#include "platform/d3d9_control.h"
#include "platform/d3d9_shader.h"
#include "platform/d3dx9.h"
#include "platform/win32.h"
#include "platform/window.h"
#include "testing/headless_window.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <vector>

namespace {

using d3d9::ShaderMachine;
using d3d9::ShaderOutput;
using d3d9::ShaderProgram;
using Inputs = std::array<std::array<float, 4>, d3d9::kShaderInputs>;
using Constants = std::array<std::array<float, 4>, d3d9::kShaderConstants>;

ShaderProgram Assemble(const std::string& text) {
    ShaderProgram p;
    std::string error;
    EXPECT_TRUE(d3d9::ShaderAssemble(text.data(), text.size(), &p, &error)) << error << "\n" << text;
    return p;
}

std::string Refusal(const std::string& text) {
    ShaderProgram p;
    std::string error;
    EXPECT_FALSE(d3d9::ShaderAssemble(text.data(), text.size(), &p, &error)) << text;
    return error;
}

// Runs `body` after a header that declares v0-v2 and writes oPos, and returns what it wrote.
ShaderOutput RunBody(const std::string& profile, const std::string& body, const Inputs& in, const Constants& c) {
    const ShaderProgram p =
        Assemble(profile + "\ndcl_position0 v0\ndcl_normal0 v1\ndcl_texcoord0 v2\n" + "mov oPos, v0\n" + body);
    ShaderMachine m(p);
    m.SetConstants(c);
    ShaderOutput out;
    m.Run(in, &out);
    return out;
}

void ExpectVec(const std::array<float, 4>& got, std::array<float, 4> want, const std::string& what) {
    for (int k = 0; k < 4; ++k) {
        if (std::isinf(want[k]))
            EXPECT_EQ(got[k], want[k]) << what << " component " << k;
        else
            EXPECT_NEAR(got[k], want[k], 1e-5f * std::max(1.0f, std::fabs(want[k]))) << what << " component " << k;
    }
}

TEST(ShaderInterpreter, EachInstructionGivesItsResult) {
    Inputs in{};
    in[0] = {1, 2, 3, 4};
    in[1] = {-0.5f, 0.25f, 2, -3};
    in[2] = {0.3f, 2.6f, -1.4f, 7};
    Constants c{};
    c[0] = {2, -1, 0.5f, 3};
    c[1] = {1, 2, 3, 4};
    c[2] = {0, 1, 0, 0};
    c[3] = {0, 0, 1, 0};
    c[4] = {0, 0, 0, 1};
    c[6] = {10, 20, 30, 40};
    c[9] = {-4, 0, 0.25f, 16};
    const float inf = std::numeric_limits<float>::infinity();
    const struct {
        const char* profile;
        const char* body;
        std::array<float, 4> oT0;
    } cases[] = {
        {"vs_2_0", "mov oT0, -v1.wzyx", {3, -2, -0.25f, 0.5f}},
        {"vs_2_0", "mov oT0, v0.y", {2, 2, 2, 2}},                      // one letter replicates
        {"vs_2_0", "mov oT0, v0.xy", {1, 2, 2, 2}},                     // the last letter repeats
        {"vs_2_0", "mov oT0.yw, c[0]\nmov oT0.x, v1.z", {2, -1, 0, 3}}, // masks keep the rest
        {"vs_2_0", "add oT0, v0, -c[0]", {-1, 3, 2.5f, 1}},
        {"vs_2_0", "mul oT0, v0, c[0].x", {2, 4, 6, 8}},
        {"vs_2_0", "mad oT0, v0, c[0], v1", {1.5f, -1.75f, 3.5f, 9}},
        {"vs_2_0", "dp3 oT0, v0, c[0]", {1.5f, 1.5f, 1.5f, 1.5f}},
        {"vs_2_0", "dp4 oT0, v0, c[0]", {13.5f, 13.5f, 13.5f, 13.5f}},
        {"vs_2_0", "max oT0, v1, c[0].wzyx", {3, 0.5f, 2, 2}},
        {"vs_2_0", "slt oT0, v1, c[0]", {1, 0, 0, 1}},
        {"vs_2_0", "slt oT0.w, v2.w, v2.w", {0, 0, 0, 0}},
        {"vs_2_0", "rsq oT0, c[9].w", {0.25f, 0.25f, 0.25f, 0.25f}},
        {"vs_2_0", "rsq oT0, c[9].x", {0.5f, 0.5f, 0.5f, 0.5f}}, // of |x|
        {"vs_2_0", "rsq oT0, c[9].y", {inf, inf, inf, inf}},
        {"vs_2_0", "rcp oT0.xz, c[9].z", {4, 0, 4, 0}},
        {"vs_2_0", "rcp oT0, c[9].y", {inf, inf, inf, inf}},
        // expp by profile: vs_2 is 2^x everywhere; vs_1_1 gives (2^floor, fraction, 2^x, 1).
        {"vs_2_0", "expp oT0, c[0].z", {std::sqrt(2.0f), std::sqrt(2.0f), std::sqrt(2.0f), std::sqrt(2.0f)}},
        {"vs_1_1", "expp oT0, v2.z", {0.25f, 0.6f, std::exp2(-1.4f), 1}},
        {"vs_1_1", "expp oT0.w, c[0].x", {0, 0, 0, 1}},
        // Matrix macros: rows from constants, from consecutive temporaries, relative rows.
        {"vs_2_0", "m4x4 oT0, v0, c[1]", {30, 2, 3, 4}},
        {"vs_2_0", "m4x3 oT0.xyz, v0, c[1]", {30, 2, 3, 0}},
        {"vs_2_0", "m3x3 oT0.xyz, v0, c[1]", {14, 2, 3, 0}},
        {"vs_2_0", "mov r4, c[1]\nmov r5, c[2]\nmov r6, c[3]\nm4x3 oT0.xyz, v0, r4", {30, 2, 3, 0}},
        {"vs_2_0", "mova a0.x, v2.y\nm3x3 oT0.xyz, v0, c[a0.x + 4]", {0, 0, -3.25f, 0}},
        // Relative addressing: mova rounds to nearest; indices past the file read zero.
        {"vs_2_0", "mova a0.xy, v2\nmov oT0, c[a0.y + 3]", {10, 20, 30, 40}},
        {"vs_2_0", "mova a0.x, v2.x\nmov oT0, c[a0.x + 6]", {10, 20, 30, 40}},
        {"vs_2_0", "mova a0.x, v2.z\nmov oT0, c[a0.x + 0]", {0, 0, 0, 0}},
        {"vs_2_0", "mova a0.x, v2.w\nmov oT0, c[a0.x + 250]", {0, 0, 0, 0}},
        {"vs_1_1", "mov a0.x, v2.y\nmov oT0, c[a0.x + 3]", {10, 20, 30, 40}},
        // Constant indices written as sums.
        {"vs_2_0", "mov oT0, c[1 + 5]", {10, 20, 30, 40}},
        {"vs_1_1", "mov oT0, c[2 + 3 + 4]", {-4, 0, 0.25f, 16}},
    };
    for (const auto& k : cases) {
        const ShaderOutput out = RunBody(k.profile, k.body, in, c);
        ExpectVec(out.tex[0], k.oT0, std::string(k.profile) + ": " + k.body);
        ExpectVec(out.position, in[0], "oPos");
    }
    // Colours are saturated, fog is the x of what oFog gets, every other output reads zero.
    const ShaderOutput out =
        RunBody("vs_2_0", "mul oD0, v0, c[0]\nmov oD1, v1\nmad oFog, v1.z, c[0].z, c[9].z\nmov oT7.zw, v0", in, c);
    ExpectVec(out.color[0], {1, 0, 1, 1}, "oD0");
    ExpectVec(out.color[1], {0, 0.25f, 1, 0}, "oD1");
    EXPECT_FLOAT_EQ(out.fog, 1.25f);
    ExpectVec(out.tex[7], {0, 0, 3, 4}, "oT7");
    ExpectVec(out.tex[3], {0, 0, 0, 0}, "oT3");
}

TEST(ShaderInterpreter, TemporariesStartEachVertexAfresh) {
    // A program accumulating into a temporary gives the same answer for every vertex.
    const ShaderProgram p =
        Assemble("vs_2_0\ndcl_position0 v0\nmov r0, v0\nadd r0, r0, v0\nmov oPos, r0\nmov oT0, r0\n");
    ShaderMachine m(p);
    m.SetConstants(Constants{});
    Inputs in{};
    in[0] = {1, 2, 3, 4};
    for (int i = 0; i < 3; ++i) {
        ShaderOutput out;
        m.Run(in, &out);
        ExpectVec(out.tex[0], {2, 4, 6, 8}, "vertex " + std::to_string(i));
    }
}

TEST(ShaderAssembler, RefusesTextOutsideTheLanguageNamingItsLine) {
    const std::string head = "vs_2_0\ndcl_position0 v0\ndcl_normal0 v3\n";
    const std::string pos = "m4x4 oPos, v0, c[0]\n";
    const struct {
        std::string text;
        const char* error;
    } cases[] = {
        {"", "no version line"},
        {"vs_3_0\n", "line 1: expected a version line"},
        {"\n\nvs_2_0\ndcl_position0 v0\nfoo r0, v0\n", "line 5: unknown instruction 'foo'"},
        {head + pos + "mov r0, v1\n", "line 5: v1 is not declared"},
        {head + pos + "mov r12, v0\n", "line 5: bad destination 'r12'"},
        {head + pos + "mov oT0, r2\n", "line 5: r2.x read before written"},
        {head + pos + "mov r2.xyz, v0\nmov oT0, r2\n", "line 6: r2.w read before written"},
        {head + pos + "mov r2.xyz, v0\ndp3 oT0, r2, r2\nmov oT1.xy, r2.zyxw\n", ""}, // reads only what it wrote
        {head + pos + "mov oT0, c[256]\n", "line 5: constant index 256 past c255"},
        {head + pos + "mov oT0, c[200 + 56]\n", "past c255"},
        {head + pos + "mov oT0, c[a0.x + 2]\n", "line 5: a0.x read before written"},
        {head + pos + "mova a0.x, v0\nmov oT0, c[a0.y + 2]\n", "line 6: a0.y read before written"},
        {head + pos + "mov a0.x, v0.x\n", "line 5: a0 is loaded by mova alone"},
        {"vs_1_1\ndcl_position0 v0\nm4x4 oPos, v0, c[0]\nmova a0.x, v0\n", "line 4: mova needs vs_2_0"},
        {"vs_1_1\ndcl_position0 v0\nm4x4 oPos, v0, c[0]\nmov a0.xy, v0\n", "line 4: vs_1_1 has a0.x only"},
        {head + pos + "rsq r0, v0\n", "line 5: rsq needs one replicated component"},
        {head + pos + "m4x4 oT0.xyz, v0, c[4]\n", "line 5: m4x4 writes xyzw"},
        {head + pos + "mov r4, v0\nmov r5, v0\nmov r6, v0\nm4x3 r5.xyz, v0, r4\n", "line 8: a matrix macro"},
        {head + pos + "m4x3 r5.xyz, v0, c[0].x\n", "line 5: a matrix takes no swizzle"},
        {head + pos + "mov oT0.yx, v0\n", "line 5: write mask 'yx' out of order"},
        {head + pos + "mov oT0, v0.q\n", "line 5: bad swizzle 'q'"},
        {head + pos + "mov oT0, v0 extra\n", "line 5: unexpected text 'extra'"},
        {head + pos + "add oT0, v0\n", "line 5: add takes 2 sources"},
        {head + pos + "dcl_texcoord0 v5\n", "line 5: declaration after the first instruction"},
        {"vs_2_0\ndcl_position0 v0\ndcl_normal0 v0\n" + pos, "line 3: v0 declared twice"},
        {"vs_2_0\ndcl_bogus0 v1\n", "line 2: unknown declaration 'dcl_bogus0'"},
        {head + "mov oPos.xyz, v0\n", "line 4: oPos is not written whole"},
        {head + pos + "mov v0, c[1]\n", "line 5: bad destination 'v0'"},
    };
    for (const auto& k : cases) {
        ShaderProgram p;
        std::string error;
        const bool ok = d3d9::ShaderAssemble(k.text.data(), k.text.size(), &p, &error);
        if (k.error[0] == 0) {
            EXPECT_TRUE(ok) << k.text << error;
            continue;
        }
        EXPECT_FALSE(ok) << k.text;
        EXPECT_NE(error.find(k.error), std::string::npos) << "got '" << error << "' for\n" << k.text;
    }
}

TEST(ShaderAssembler, InstructionSlotsEndAtTheProfilesLimit) {
    // vs_1_1 holds 128 slots (a matrix macro takes one a row), vs_2 256.
    auto program = [](const char* profile, int movs) {
        std::string t = std::string(profile) + "\ndcl_position0 v0\nm4x4 oPos, v0, c[0]\n";
        for (int i = 0; i < movs; ++i)
            t += "mov oT0, v0\n";
        return t;
    };
    Assemble(program("vs_1_1", 124));
    EXPECT_NE(Refusal(program("vs_1_1", 125)).find("line 128: more than 128 instruction slots"), std::string::npos);
    Assemble(program("vs_2_0", 252));
    Assemble(program("vs_2_x", 252));
    EXPECT_NE(Refusal(program("vs_2_0", 253)).find("more than 256"), std::string::npos);
}

TEST(ShaderTokens, RoundTripAndEveryTruncationIsRefused) {
    const std::string text = "vs_2_x\ndcl_position0 v0\ndcl_blendweight0 v1\ndcl_blendindices0 v2\n"
                             "dcl_normal0 v3\ndcl_texcoord3 v8\n"
                             "mova a0.xy, v2\nmul r8, v1.x, c[a0.x + 7]\nmul r9, v1.x, c[a0.x + 8]\n"
                             "mul r10, v1.x, c[a0.x + 9]\nmad r8, v1.y, c[a0.y + 7], r8\n"
                             "mad r9, v1.y, c[a0.y + 8], r9\nmad r10, v1.y, c[a0.y + 9], r10\n"
                             "m4x3 r3.xyz, v0, r8\nm3x3 r5.xyz, v3, r8\nmov r3.w, v0.w\n"
                             "m4x4 oPos.xyzw, r3, c[0]\nexpp r0.w, -r3.zzzz\nmov oT3.xy, v8\n";
    const ShaderProgram p = Assemble(text);
    const std::vector<DWORD> tokens = d3d9::ShaderEncode(p);
    EXPECT_EQ(tokens.front(), D3DVS_VERSION(2, 1));
    EXPECT_EQ(tokens.back(), 0x0000FFFFu);
    for (std::size_t i = 1; i + 1 < tokens.size(); ++i) // nothing inside reads as an end or a comment
        EXPECT_EQ(tokens[i] & 0x8000u, 0u);
    ShaderProgram q;
    ASSERT_TRUE(d3d9::ShaderDecode(tokens.data(), tokens.size(), &q));
    EXPECT_EQ(d3d9::ShaderEncode(q), tokens);
    for (std::size_t n = 0; n < tokens.size(); ++n)
        EXPECT_FALSE(d3d9::ShaderDecode(tokens.data(), n, &q)) << n;
    // A flipped field bit is refused or decodes into a program that passes the checks.
    std::mt19937 random(35);
    for (int trial = 0; trial < 2000; ++trial) {
        std::vector<DWORD> bad = tokens;
        bad[1 + random() % (bad.size() - 2)] ^= 1u << (random() % 32);
        if (d3d9::ShaderDecode(bad.data(), bad.size(), &q)) {
            std::string error;
            EXPECT_TRUE(d3d9::ShaderValidate(q, &error)) << error;
        }
    }
}

TEST(D3dx, MatrixRoutinesMatchRowVectorProductsAndAllowAliasing) {
    std::mt19937 random(3);
    std::uniform_real_distribution<float> u(-2, 2);
    for (int trial = 0; trial < 50; ++trial) {
        D3DXMATRIX a, b;
        for (int i = 0; i < 4; ++i)
            for (int j = 0; j < 4; ++j) {
                a.m[i][j] = u(random);
                b.m[i][j] = u(random);
            }
        // (v a) b = v (a b) for a row vector.
        const float v[4] = {u(random), u(random), u(random), 1};
        auto times = [](const float* x, const D3DXMATRIX& m, float* out) {
            for (int j = 0; j < 4; ++j)
                out[j] = x[0] * m.m[0][j] + x[1] * m.m[1][j] + x[2] * m.m[2][j] + x[3] * m.m[3][j];
        };
        float va[4], vab[4], vp[4];
        times(v, a, va);
        times(va, b, vab);
        D3DXMATRIX ab, abT, t;
        D3DXMatrixMultiply(&ab, &a, &b);
        times(v, ab, vp);
        for (int j = 0; j < 4; ++j)
            EXPECT_NEAR(vp[j], vab[j], 1e-4f);
        D3DXMatrixMultiplyTranspose(&abT, &a, &b);
        D3DXMatrixTranspose(&t, &ab);
        EXPECT_EQ(std::memcmp(&t, &abT, sizeof t), 0);
        // Aliasing: the output may be an input.
        D3DXMATRIX alias = a;
        D3DXMatrixMultiplyTranspose(&alias, &alias, &b);
        EXPECT_EQ(std::memcmp(&alias, &abT, sizeof t), 0);
        alias = ab;
        D3DXMatrixTranspose(&alias, &alias);
        EXPECT_EQ(std::memcmp(&alias, &abT, sizeof t), 0);
        D3DXVECTOR3 p{v[0], v[1], v[2]}, n{v[0], v[1], v[2]};
        D3DXVec3TransformCoord(&p, &p, &a);
        D3DXVec3TransformNormal(&n, &n, &a);
        EXPECT_NEAR(p.x, va[0] / va[3], 1e-4f * std::max(1.0f, std::fabs(p.x)));
        EXPECT_NEAR(p.z, va[2] / va[3], 1e-4f * std::max(1.0f, std::fabs(p.z)));
        EXPECT_NEAR(n.x, va[0] - a.m[3][0], 1e-4f);
        EXPECT_NEAR(n.y, va[1] - a.m[3][1], 1e-4f);
    }
}

TEST(D3dx, AssembleShaderHandsBackTokensOrTheErrorLine) {
    ID3DXBuffer* tokens = nullptr;
    ID3DXBuffer* errors = nullptr;
    const char good[] = "vs_1_1\ndcl_position0 v0\nm4x4 oPos, v0, c[0]\n";
    ASSERT_EQ(
        D3DXAssembleShader(good, sizeof good - 1, nullptr, nullptr, D3DXSHADER_SKIPOPTIMIZATION, &tokens, &errors),
        D3D_OK);
    EXPECT_EQ(errors, nullptr);
    EXPECT_EQ(static_cast<const DWORD*>(tokens->GetBufferPointer())[0], D3DVS_VERSION(1, 1));
    EXPECT_EQ(tokens->GetBufferSize() % 4, 0u);
    EXPECT_EQ(tokens->Release(), 0u);
    const char bad[] = "vs_1_1\ndcl_position0 v0\nm4x4 oPos, v0, c[0]\nlrp r0, v0, v0, v0\n";
    EXPECT_EQ(D3DXAssembleShader(bad, sizeof bad - 1, nullptr, nullptr, 4, &tokens, &errors), D3DXERR_INVALIDDATA);
    EXPECT_EQ(tokens, nullptr);
    ASSERT_NE(errors, nullptr);
    EXPECT_STREQ(static_cast<const char*>(errors->GetBufferPointer()), "line 4: unknown instruction 'lrp'");
    errors->Release();
    // The length bounds the text: a program cut short of its oPos is refused.
    EXPECT_EQ(D3DXAssembleShader(good, 20, nullptr, nullptr, 4, &tokens, nullptr), D3DXERR_INVALIDDATA);
    const D3DXMACRO none[] = {{nullptr, nullptr}};
    EXPECT_EQ(D3DXAssembleShader(good, sizeof good - 1, none, nullptr, 4, &tokens, nullptr), D3DERR_INVALIDCALL);
}

// The draw path -------------------------------------------------------------------------------------------

LRESULT Proc(HWND w, UINT m, WPARAM wp, LPARAM lp) { return DefWindowProcA(w, m, wp, lp); }

struct Vertex {
    float x, y, z;
    float nx, ny, nz;
    DWORD color;
    float u, v;
};

// Directional, point and spot lights through the fixed-function path and through shaders that
// compute the same equations: the same pixels within rounding.
TEST(ShaderDraw, LitTexturedMeshMatchesTheFixedFunctionPath) {
    HWND window = OpenHeadlessWindow("d3d9_shader_test", Proc, 64, 64);
    IDirect3D9* d3d = Direct3DCreate9(D3D_SDK_VERSION);
    D3DPRESENT_PARAMETERS pp{};
    pp.BackBufferWidth = 48;
    pp.BackBufferHeight = 40;
    pp.BackBufferFormat = D3DFMT_A8R8G8B8;
    pp.SwapEffect = D3DSWAPEFFECT_COPY;
    pp.hDeviceWindow = window;
    pp.Windowed = TRUE;
    pp.EnableAutoDepthStencil = TRUE;
    pp.AutoDepthStencilFormat = D3DFMT_D24S8;
    IDirect3DDevice9* device = nullptr;
    ASSERT_EQ(d3d->CreateDevice(0, D3DDEVTYPE_HAL, window, D3DCREATE_SOFTWARE_VERTEXPROCESSING, &pp, &device), D3D_OK);

    // A bumpy grid of quads in front of the camera, normals tilted, colours varied.
    std::vector<Vertex> vertices;
    std::vector<WORD> indices;
    std::mt19937 random(11);
    std::uniform_real_distribution<float> u(-0.3f, 0.3f);
    constexpr int n = 6;
    for (int j = 0; j <= n; ++j)
        for (int i = 0; i <= n; ++i) {
            float nx = u(random), ny = u(random), nz = -1;
            const float len = std::sqrt(nx * nx + ny * ny + nz * nz);
            const DWORD color = 0xFF000000u | static_cast<DWORD>(40 * i) << 16 | static_cast<DWORD>(40 * j) << 8 | 0xC0;
            vertices.push_back({-3.0f + i, -2.5f + 5.0f * j / n, 5 + u(random), nx / len, ny / len, nz / len, color,
                                i * 0.5f, j * 0.5f});
        }
    for (int j = 0; j < n; ++j)
        for (int i = 0; i < n; ++i) {
            const WORD a = static_cast<WORD>(j * (n + 1) + i);
            const WORD q[6] = {a,
                               static_cast<WORD>(a + 1),
                               static_cast<WORD>(a + n + 1),
                               static_cast<WORD>(a + 1),
                               static_cast<WORD>(a + n + 2),
                               static_cast<WORD>(a + n + 1)};
            indices.insert(indices.end(), q, q + 6);
        }
    IDirect3DVertexBuffer9* vb = nullptr;
    IDirect3DIndexBuffer9* ib = nullptr;
    ASSERT_EQ(device->CreateVertexBuffer(static_cast<UINT>(vertices.size() * sizeof(Vertex)), 0, 0, D3DPOOL_MANAGED,
                                         &vb, nullptr),
              D3D_OK);
    ASSERT_EQ(device->CreateIndexBuffer(static_cast<UINT>(indices.size() * 2), 0, D3DFMT_INDEX16, D3DPOOL_MANAGED, &ib,
                                        nullptr),
              D3D_OK);
    void* p = nullptr;
    vb->Lock(0, 0, &p, 0);
    std::memcpy(p, vertices.data(), vertices.size() * sizeof(Vertex));
    vb->Unlock();
    ib->Lock(0, 0, &p, 0);
    std::memcpy(p, indices.data(), indices.size() * 2);
    ib->Unlock();
    const D3DVERTEXELEMENT9 elements[] = {{0, 0, D3DDECLTYPE_FLOAT3, 0, D3DDECLUSAGE_POSITION, 0},
                                          {0, 12, D3DDECLTYPE_FLOAT3, 0, D3DDECLUSAGE_NORMAL, 0},
                                          {0, 24, D3DDECLTYPE_D3DCOLOR, 0, D3DDECLUSAGE_COLOR, 0},
                                          {0, 28, D3DDECLTYPE_FLOAT2, 0, D3DDECLUSAGE_TEXCOORD, 0},
                                          D3DDECL_END()};
    IDirect3DVertexDeclaration9* decl = nullptr;
    ASSERT_EQ(device->CreateVertexDeclaration(elements, &decl), D3D_OK);
    IDirect3DTexture9* texture = nullptr;
    ASSERT_EQ(device->CreateTexture(4, 4, 1, 0, D3DFMT_A8R8G8B8, D3DPOOL_MANAGED, &texture, nullptr), D3D_OK);
    D3DLOCKED_RECT lr;
    texture->GetSurfaceLevel(0, reinterpret_cast<IDirect3DSurface9**>(&p));
    auto* surface = static_cast<IDirect3DSurface9*>(p);
    surface->LockRect(&lr, nullptr, 0);
    for (int y = 0; y < 4; ++y)
        for (int x = 0; x < 4; ++x) {
            const DWORD c = ((x + y) & 1) ? 0xFFFFFFFFu : 0xFF8040C0u;
            std::memcpy(static_cast<BYTE*>(lr.pBits) + y * lr.Pitch + 4 * x, &c, 4);
        }
    surface->UnlockRect();
    surface->Release();

    // Camera: identity world and view, a perspective projection.
    D3DMATRIX world{}, proj{};
    for (int i = 0; i < 4; ++i)
        world.m[i][i] = 1;
    proj.m[0][0] = 1.2f;
    proj.m[1][1] = 1.4f;
    proj.m[2][2] = 100 / 99.9f;
    proj.m[2][3] = 1;
    proj.m[3][2] = -0.1f * 100 / 99.9f;
    const float dir[3] = {0.3f, -0.4f, 0.866f};
    const float ambient = 0.2f;

    // The lights: directional, point and spot (falloff 1), each with D3D's attenuation
    // 1 / (a0 + a1 d + a2 d^2) and cone factor; the shaders below compute the same equations.
    const float lightAt[3] = {0.5f, 0.8f, 2.0f}, att[3] = {0.5f, 0.1f, 0.02f};
    float spotDir[3] = {-0.5f, -0.8f, 3.0f};
    const float spotLength = std::sqrt(spotDir[0] * spotDir[0] + spotDir[1] * spotDir[1] + spotDir[2] * spotDir[2]);
    for (float& c : spotDir)
        c /= spotLength;
    const float cosTheta = 0.9f, cosPhi = 0.7f;
    auto frame = [&](bool shader, D3DLIGHTTYPE type) {
        device->SetTransform(D3DTS_WORLD, &world);
        device->SetTransform(D3DTS_VIEW, &world);
        device->SetTransform(D3DTS_PROJECTION, &proj);
        device->SetRenderState(D3DRS_CULLMODE, D3DCULL_NONE);
        device->SetRenderState(D3DRS_LIGHTING, TRUE);
        device->SetRenderState(D3DRS_AMBIENT, 0xFF333333); // 0.2
        device->SetRenderState(D3DRS_DIFFUSEMATERIALSOURCE, D3DMCS_COLOR1);
        device->SetRenderState(D3DRS_AMBIENTMATERIALSOURCE, D3DMCS_COLOR1);
        D3DMATERIAL9 m{};
        device->SetMaterial(&m);
        D3DLIGHT9 l{};
        l.Type = type;
        l.Diffuse = {1, 1, 1, 1};
        l.Direction = {dir[0], dir[1], dir[2]};
        if (type != D3DLIGHT_DIRECTIONAL) {
            l.Position = {lightAt[0], lightAt[1], lightAt[2]};
            l.Range = 100;
            l.Attenuation0 = att[0];
            l.Attenuation1 = att[1];
            l.Attenuation2 = att[2];
        }
        if (type == D3DLIGHT_SPOT) {
            l.Direction = {spotDir[0], spotDir[1], spotDir[2]};
            l.Theta = 2 * std::acos(cosTheta);
            l.Phi = 2 * std::acos(cosPhi);
            l.Falloff = 1;
        }
        device->SetLight(0, &l);
        device->LightEnable(0, TRUE);
        device->SetTexture(0, texture);
        device->SetSamplerState(0, D3DSAMP_MINFILTER, D3DTEXF_POINT);
        device->SetSamplerState(0, D3DSAMP_MAGFILTER, D3DTEXF_POINT);
        device->SetTextureStageState(0, D3DTSS_COLOROP, D3DTOP_MODULATE);
        device->SetTextureStageState(0, D3DTSS_COLORARG1, D3DTA_TEXTURE);
        device->SetTextureStageState(0, D3DTSS_COLORARG2, D3DTA_DIFFUSE);
        device->SetVertexDeclaration(decl);
        device->SetStreamSource(0, vb, 0, sizeof(Vertex));
        device->SetIndices(ib);
        IDirect3DVertexShader9* vs = nullptr;
        if (shader) {
            // colour = vertex colour * (ambient + max(0, -N.D)), alpha the vertex's.
            const char text[] = "vs_2_0\n"
                                "dcl_position0 v0\n"
                                "dcl_normal0 v3\n"
                                "dcl_color0 v4\n"
                                "dcl_texcoord0 v5\n"
                                "m4x4 oPos.xyzw, v0, c[0]\n"
                                "dp3 r6.x, c[5], v3\n"
                                "max r6.x, c[5].w, -r6.x\n"
                                "add r6.x, r6.x, c[4].x\n"
                                "mul r11.xyz, v4.xyz, r6.x\n"
                                "mov r11.w, v4.w\n"
                                "mov oD0, r11\n"
                                "mov oT0.xy, v5\n";
            // colour = vertex colour * (ambient + max(0, N.L) att spot), L towards the light, the
            // spot factor min(1, max(0, (rho - cos phi) / (cos theta - cos phi))) (1 for a point).
            const char local[] = "vs_2_0\n"
                                 "dcl_position0 v0\n"
                                 "dcl_normal0 v3\n"
                                 "dcl_color0 v4\n"
                                 "dcl_texcoord0 v5\n"
                                 "m4x4 oPos.xyzw, v0, c[0]\n"
                                 "add r1.xyz, c[5].xyz, -v0.xyz\n"
                                 "dp3 r1.w, r1, r1\n"
                                 "rsq r2.x, r1.w\n"
                                 "mul r1.xyz, r1.xyz, r2.x\n"
                                 "rcp r2.y, r2.x\n"
                                 "mul r3.x, c[6].y, r2.y\n"
                                 "mad r3.x, c[6].z, r1.w, r3.x\n"
                                 "add r3.x, r3.x, c[6].x\n"
                                 "rcp r3.x, r3.x\n"
                                 "dp3 r4.x, -r1, c[7]\n"
                                 "mad r4.x, r4.x, c[8].x, c[8].y\n"
                                 "max r4.x, r4.x, c[8].z\n"
                                 "max r4.x, -r4.x, -c[8].w\n"
                                 "dp3 r5.x, v3, r1\n"
                                 "max r5.x, r5.x, c[8].z\n"
                                 "mul r6.x, r5.x, r3.x\n"
                                 "mul r6.x, r6.x, -r4.x\n"
                                 "add r6.x, r6.x, c[4].x\n"
                                 "mul r11.xyz, v4.xyz, r6.x\n"
                                 "mov r11.w, v4.w\n"
                                 "mov oD0, r11\n"
                                 "mov oT0.xy, v5\n";
            const bool directional = type == D3DLIGHT_DIRECTIONAL;
            ID3DXBuffer* tokens = nullptr;
            EXPECT_EQ(D3DXAssembleShader(directional ? text : local, directional ? sizeof text - 1 : sizeof local - 1,
                                         nullptr, nullptr, 4, &tokens, nullptr),
                      D3D_OK);
            EXPECT_EQ(device->CreateVertexShader(static_cast<const DWORD*>(tokens->GetBufferPointer()), &vs), D3D_OK);
            tokens->Release();
            D3DXMATRIX wvp;
            D3DXMatrixMultiplyTranspose(&wvp, &world, &proj);
            const float c4[2][4] = {{ambient, ambient, ambient, 1}, {dir[0], dir[1], dir[2], 0}};
            device->SetVertexShaderConstantF(0, &wvp.m[0][0], 4);
            device->SetVertexShaderConstantF(4, &c4[0][0], 2);
            if (!directional) {
                const float scale = 1 / (cosTheta - cosPhi);
                const float c5[4][4] = {{lightAt[0], lightAt[1], lightAt[2], 0},
                                        {att[0], att[1], att[2], 0},
                                        {spotDir[0], spotDir[1], spotDir[2], 0},
                                        {type == D3DLIGHT_SPOT ? scale : 0.0f,
                                         type == D3DLIGHT_SPOT ? -cosPhi * scale : 1.0f, 0, 1}};
                device->SetVertexShaderConstantF(5, &c5[0][0], 4);
            }
            device->SetVertexShader(vs);
        }
        device->Clear(0, nullptr, D3DCLEAR_TARGET | D3DCLEAR_ZBUFFER, 0xFF102030, 1.0f, 0);
        device->BeginScene();
        EXPECT_EQ(device->DrawIndexedPrimitive(D3DPT_TRIANGLELIST, 0, 0, static_cast<UINT>(vertices.size()), 0,
                                               static_cast<UINT>(indices.size() / 3)),
                  D3D_OK);
        device->EndScene();
        device->SetVertexShader(nullptr);
        if (vs != nullptr)
            vs->Release();
        IDirect3DSurface9* back = nullptr;
        device->GetBackBuffer(0, 0, D3DBACKBUFFER_TYPE_MONO, &back);
        IDirect3DSurface9* copy = nullptr;
        device->CreateOffscreenPlainSurface(48, 40, D3DFMT_A8R8G8B8, D3DPOOL_SYSTEMMEM, &copy, nullptr);
        EXPECT_EQ(device->GetRenderTargetData(back, copy), D3D_OK);
        EXPECT_EQ(copy->LockRect(&lr, nullptr, D3DLOCK_READONLY), D3D_OK);
        std::vector<DWORD> pixels(48 * 40);
        for (int y = 0; y < 40; ++y)
            std::memcpy(&pixels[y * 48], static_cast<BYTE*>(lr.pBits) + y * lr.Pitch, 48 * 4);
        copy->UnlockRect();
        copy->Release();
        back->Release();
        return pixels;
    };
    std::vector<DWORD> pointFrame;
    for (D3DLIGHTTYPE type : {D3DLIGHT_DIRECTIONAL, D3DLIGHT_POINT, D3DLIGHT_SPOT}) {
        SCOPED_TRACE(type);
        const std::vector<DWORD> fixed = frame(false, type);
        if (type == D3DLIGHT_POINT)
            pointFrame = fixed;
        if (type == D3DLIGHT_SPOT) { // the cone cuts the light off part of the mesh, not all of it
            int darker = 0, same = 0;
            for (std::size_t i = 0; i < fixed.size(); ++i) {
                darker += (fixed[i] & 0xFF) + 2 < (pointFrame[i] & 0xFF) ? 1 : 0;
                same += fixed[i] == pointFrame[i] && fixed[i] != 0xFF102030u ? 1 : 0;
            }
            EXPECT_GT(darker, 100);
            EXPECT_GT(same, 20);
        }
        const std::vector<DWORD> shaded = frame(true, type);
        int covered = 0, worst = 0;
        for (std::size_t i = 0; i < fixed.size(); ++i) {
            if (fixed[i] != 0xFF102030u)
                ++covered;
            for (int shift = 0; shift < 32; shift += 8)
                worst = std::max(worst, std::abs(static_cast<int>((fixed[i] >> shift) & 255) -
                                                 static_cast<int>((shaded[i] >> shift) & 255)));
        }
        EXPECT_GT(covered, 48 * 40 / 3);
        EXPECT_LE(worst, 2);
    }

    // Inputs the vertices lack read (0, 0, 0, 1): a quad of three-float positions drawn through a
    // shader that passes v0 through whole and adds a constant to a colour the vertices do not have.
    const float quad[4][3] = {{-1, -1, 0.5f}, {1, -1, 0.5f}, {-1, 1, 0.5f}, {1, 1, 0.5f}};
    const char passText[] = "vs_1_1\ndcl_position0 v0\ndcl_color0 v4\nmov oPos, v0\nadd oD0, v4, c[0]\n";
    ID3DXBuffer* passTokens = nullptr;
    ASSERT_EQ(D3DXAssembleShader(passText, sizeof passText - 1, nullptr, nullptr, 4, &passTokens, nullptr), D3D_OK);
    IDirect3DVertexShader9* pass = nullptr;
    ASSERT_EQ(device->CreateVertexShader(static_cast<const DWORD*>(passTokens->GetBufferPointer()), &pass), D3D_OK);
    passTokens->Release();
    const float add[4] = {0.5f, 0.25f, 0, 0};
    device->SetVertexShaderConstantF(0, add, 1);
    device->SetVertexShader(pass);
    device->SetFVF(D3DFVF_XYZ);
    device->SetTexture(0, nullptr);
    device->SetTextureStageState(0, D3DTSS_COLOROP, D3DTOP_SELECTARG2);
    device->SetTextureStageState(0, D3DTSS_ALPHAOP, D3DTOP_SELECTARG2);
    device->SetTextureStageState(0, D3DTSS_ALPHAARG2, D3DTA_DIFFUSE);
    device->SetRenderState(D3DRS_ZENABLE, FALSE);
    device->BeginScene();
    EXPECT_EQ(device->DrawPrimitiveUP(D3DPT_TRIANGLESTRIP, 2, quad, sizeof quad[0]), D3D_OK);
    device->EndScene();
    device->SetVertexShader(nullptr);
    pass->Release();
    IDirect3DSurface9* back = nullptr;
    IDirect3DSurface9* copy = nullptr;
    device->GetBackBuffer(0, 0, D3DBACKBUFFER_TYPE_MONO, &back);
    device->CreateOffscreenPlainSurface(48, 40, D3DFMT_A8R8G8B8, D3DPOOL_SYSTEMMEM, &copy, nullptr);
    device->GetRenderTargetData(back, copy);
    ASSERT_EQ(copy->LockRect(&lr, nullptr, D3DLOCK_READONLY), D3D_OK);
    for (int y = 0; y < 40; y += 13)
        for (int x = 0; x < 48; x += 11) {
            DWORD c;
            std::memcpy(&c, static_cast<BYTE*>(lr.pBits) + y * lr.Pitch + 4 * x, 4);
            EXPECT_EQ(c, 0xFF804000u) << x << "," << y;
        }
    copy->UnlockRect();
    copy->Release();
    back->Release();

    decl->Release();
    vb->Release();
    ib->Release();
    texture->Release();
    EXPECT_EQ(device->Release(), 0u);
    d3d->Release();
    PlatformWindowReset();
}

} // namespace
