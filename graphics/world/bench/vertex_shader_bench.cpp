// Vertices per second through the Direct3D 9 stand-in's vertex stage: generated shaders (unlit,
// one directional light, four bones with one light) run by its interpreter, beside the
// fixed-function path on the same vertices (unlit and one light; the fixed-function path has no
// bones). Every triangle lies behind the camera, so each draw is vertex processing and the
// frustum test, no pixels. Also the interpreter alone, one vertex a call.
//
//   build-bench/bin/gfx_world_vertex_shader_bench

#include "graphics/world/d3d9_vertex_shader.h"
#include "platform/d3d9.h"
#include "platform/d3d9_control.h"
#include "platform/d3d9_shader.h"
#include "platform/d3dx9.h"
#include "platform/win32.h"
#include "platform/window.h"

#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

namespace {

constexpr UINT kVertices = 30000;

struct Vertex {
    float x, y, z;
    float w[4];
    BYTE index[4];
    float nx, ny, nz;
    float u, v;
};

enum class Path { FixedUnlit, FixedLit, ShaderUnlit, ShaderLit, ShaderBones };

OvD3D9VertexShaderDesc DescOf(Path p) {
    OvD3D9VertexShaderDesc d{};
    d.spotsSets = 1 << 4; // one texture set
    if (p == Path::ShaderLit || p == Path::ShaderBones) {
        d.lights = 1;
        d.flags = ovVSNORMALS;
    }
    if (p == Path::ShaderBones)
        d.flags |= 4 << 1;
    return d;
}

LRESULT Proc(HWND w, UINT m, WPARAM wp, LPARAM lp) { return DefWindowProcA(w, m, wp, lp); }

class Bench {
public:
    Bench() {
        setenv("PLATFORM_HEADLESS", "1", 1);
        WNDCLASSA wc{};
        wc.lpfnWndProc = Proc;
        wc.lpszClassName = "vertex_shader_bench";
        RegisterClassA(&wc);
        window_ = CreateWindowExA(0, "vertex_shader_bench", "", WS_OVERLAPPEDWINDOW, 0, 0, 64, 64, nullptr, nullptr,
                                  nullptr, nullptr);
        d3d_ = Direct3DCreate9(D3D_SDK_VERSION);
        D3DPRESENT_PARAMETERS pp{};
        pp.BackBufferWidth = 64;
        pp.BackBufferHeight = 64;
        pp.BackBufferFormat = D3DFMT_X8R8G8B8;
        pp.SwapEffect = D3DSWAPEFFECT_COPY;
        pp.hDeviceWindow = window_;
        pp.Windowed = TRUE;
        if (d3d_ == nullptr || FAILED(d3d_->CreateDevice(0, D3DDEVTYPE_HAL, window_,
                                                         D3DCREATE_SOFTWARE_VERTEXPROCESSING, &pp, &device_))) {
            std::fprintf(stderr, "vertex_shader_bench: cannot create the stand-in's device\n");
            std::exit(1);
        }
        std::mt19937 random(1);
        std::uniform_real_distribution<float> u(-1, 1);
        std::vector<Vertex> vertices(kVertices);
        for (Vertex& v : vertices) {
            v = Vertex{u(random),    u(random), -2 + u(random), {0.4f, 0.3f, 0.2f, 0.1f},
                       {0, 3, 6, 9}, u(random), u(random),      1,
                       u(random),    u(random)};
        }
        if (FAILED(device_->CreateVertexBuffer(kVertices * sizeof(Vertex), D3DUSAGE_WRITEONLY, 0, D3DPOOL_MANAGED, &vb_,
                                               nullptr))) {
            std::fprintf(stderr, "vertex_shader_bench: no vertex buffer\n");
            std::exit(1);
        }
        void* p = nullptr;
        vb_->Lock(0, 0, &p, 0);
        std::memcpy(p, vertices.data(), kVertices * sizeof(Vertex));
        vb_->Unlock();
        const D3DVERTEXELEMENT9 elements[] = {{0, 0, D3DDECLTYPE_FLOAT3, 0, D3DDECLUSAGE_POSITION, 0},
                                              {0, 12, D3DDECLTYPE_FLOAT4, 0, D3DDECLUSAGE_BLENDWEIGHT, 0},
                                              {0, 28, D3DDECLTYPE_UBYTE4, 0, D3DDECLUSAGE_BLENDINDICES, 0},
                                              {0, 32, D3DDECLTYPE_FLOAT3, 0, D3DDECLUSAGE_NORMAL, 0},
                                              {0, 44, D3DDECLTYPE_FLOAT2, 0, D3DDECLUSAGE_TEXCOORD, 0},
                                              D3DDECL_END()};
        if (FAILED(device_->CreateVertexDeclaration(elements, &decl_))) {
            std::fprintf(stderr, "vertex_shader_bench: no declaration\n");
            std::exit(1);
        }
        D3DMATRIX m{};
        for (int i = 0; i < 4; ++i)
            m.m[i][i] = 1;
        device_->SetTransform(D3DTS_WORLD, &m);
        device_->SetTransform(D3DTS_VIEW, &m);
        m.m[2][3] = 1;
        m.m[3][2] = -0.1f;
        m.m[3][3] = 0;
        device_->SetTransform(D3DTS_PROJECTION, &m);
        D3DXMATRIX wvp;
        D3DXMatrixTranspose(&wvp, &m);
        device_->SetVertexShaderConstantF(0, &wvp.m[0][0], 4);
        const float light[3][4] = {{0.2f, 0.2f, 0.2f, 1}, {0.3f, -0.4f, 0.866f, 0}, {1, 1, 1, 0}};
        device_->SetVertexShaderConstantF(4, &light[0][0], 3);
        float bones[12][4] = {};
        for (int r = 0; r < 12; ++r)
            bones[r][r % 3] = 1;
        device_->SetVertexShaderConstantF(7, &bones[0][0], 12);
        D3DLIGHT9 l{};
        l.Type = D3DLIGHT_DIRECTIONAL;
        l.Diffuse = {1, 1, 1, 1};
        l.Direction = {0.3f, -0.4f, 0.866f};
        device_->SetLight(0, &l);
        device_->LightEnable(0, TRUE);
        D3DMATERIAL9 material{};
        material.Diffuse = {1, 1, 1, 1};
        device_->SetMaterial(&material);
        device_->SetRenderState(D3DRS_CULLMODE, D3DCULL_NONE);
        device_->SetVertexDeclaration(decl_);
        device_->SetStreamSource(0, vb_, 0, sizeof(Vertex));
        device_->BeginScene();
        OvD3D9VertexShaderSetProfile(ovVSPROFILE20, 256, FALSE);
        for (Path path : {Path::ShaderUnlit, Path::ShaderLit, Path::ShaderBones}) {
            const OvD3D9VertexShaderDesc d = DescOf(path);
            OvD3D9VertexShaderLayout layout;
            OvD3D9VertexShaderMakeLayout(&d, &layout);
            const char* text = OvD3D9VertexShaderWriteText(&d, &layout);
            ID3DXBuffer* tokens = nullptr;
            IDirect3DVertexShader9* shader = nullptr;
            if (text == nullptr ||
                FAILED(D3DXAssembleShader(text, static_cast<UINT>(std::strlen(text)), nullptr, nullptr, 4, &tokens,
                                          nullptr)) ||
                FAILED(device_->CreateVertexShader(static_cast<const DWORD*>(tokens->GetBufferPointer()), &shader))) {
                std::fprintf(stderr, "vertex_shader_bench: the generated shader does not assemble\n");
                std::exit(1);
            }
            d3d9::ShaderProgram program;
            std::string error;
            d3d9::ShaderAssemble(text, std::strlen(text), &program, &error);
            programs_[static_cast<int>(path)] = program;
            tokens->Release();
            shaders_[static_cast<int>(path)] = shader;
        }
    }

    ~Bench() {
        device_->EndScene();
        for (IDirect3DVertexShader9* s : shaders_)
            if (s != nullptr)
                s->Release();
        decl_->Release();
        vb_->Release();
        device_->Release();
        d3d_->Release();
        DestroyWindow(window_);
    }

    void Draw(Path path) {
        device_->SetVertexShader(shaders_[static_cast<int>(path)]);
        device_->SetRenderState(D3DRS_LIGHTING, path == Path::FixedLit ? TRUE : FALSE);
        if (FAILED(device_->DrawPrimitive(D3DPT_TRIANGLELIST, 0, kVertices / 3))) {
            std::fprintf(stderr, "vertex_shader_bench: the draw failed\n");
            std::exit(1);
        }
    }

    const d3d9::ShaderProgram& Program(Path path) const { return programs_[static_cast<int>(path)]; }

private:
    HWND window_ = nullptr;
    IDirect3D9* d3d_ = nullptr;
    IDirect3DDevice9* device_ = nullptr;
    IDirect3DVertexBuffer9* vb_ = nullptr;
    IDirect3DVertexDeclaration9* decl_ = nullptr;
    IDirect3DVertexShader9* shaders_[5] = {};
    d3d9::ShaderProgram programs_[5];
};

Bench& TheBench() {
    static Bench b;
    return b;
}

void Draws(benchmark::State& state, Path path) {
    Bench& b = TheBench();
    for (auto _ : state)
        b.Draw(path);
    state.SetItemsProcessed(state.iterations() * kVertices);
}

void Interpreter(benchmark::State& state, Path path) {
    d3d9::ShaderMachine machine(TheBench().Program(path));
    std::array<std::array<float, 4>, d3d9::kShaderConstants> c{};
    for (int i = 0; i < 4; ++i)
        c[i][i] = 1;
    for (int r = 0; r < 12; ++r)
        c[7 + r][r % 3] = 1;
    machine.SetConstants(c);
    std::array<std::array<float, 4>, d3d9::kShaderInputs> in{};
    in[0] = {0.5f, 0.25f, 2, 1};
    in[1] = {0.4f, 0.3f, 0.2f, 0.1f};
    in[2] = {0, 3, 6, 9};
    in[3] = {0, 0, -1, 1};
    in[5] = {0.5f, 0.5f, 0, 1};
    d3d9::ShaderOutput out;
    for (auto _ : state) {
        machine.Run(in, &out);
        benchmark::DoNotOptimize(out);
    }
    state.SetItemsProcessed(state.iterations());
}

BENCHMARK_CAPTURE(Draws, FixedUnlit, Path::FixedUnlit)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(Draws, ShaderUnlit, Path::ShaderUnlit)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(Draws, FixedOneLight, Path::FixedLit)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(Draws, ShaderOneLight, Path::ShaderLit)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(Draws, ShaderFourBonesOneLight, Path::ShaderBones)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(Interpreter, Unlit, Path::ShaderUnlit);
BENCHMARK_CAPTURE(Interpreter, OneLight, Path::ShaderLit);
BENCHMARK_CAPTURE(Interpreter, FourBonesOneLight, Path::ShaderBones);

} // namespace

BENCHMARK_MAIN();
