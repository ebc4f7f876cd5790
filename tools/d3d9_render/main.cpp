// d3d9_render: renders a scene of clears and pre-transformed triangles through the Direct3D 9
// stand-in on a headless window and writes the presented back buffer as an 8-bit RGB PNG (a
// presented frame is opaque).

#include "platform/controls.h"
#include "platform/d3d9.h"
#include "platform/d3d9_control.h"
#include "platform/win32.h"
#include "tools/d3d9_render/scene.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>

namespace {

const char kUsage[] = "usage: d3d9_render SCENE OUT.png\n"
                      "Renders SCENE through the Direct3D 9 stand-in on a headless window and writes the presented\n"
                      "back buffer as an 8-bit RGB PNG (a presented frame is opaque, whatever alpha was drawn).\n"
                      "SCENE holds one command per line; '#' starts a comment:\n"
                      "  size W H                        back buffer size in pixels (1..4096), once, before drawing\n"
                      "  clear AARRGGBB                  clears the whole target to the colour (hex)\n"
                      "  tri X0 Y0 X1 Y1 X2 Y2 AARRGGBB  a pre-transformed triangle in pixels (z 0.5, rhw 1) of one\n"
                      "                                  colour: no culling, depth test, lighting or blending\n";

// Reads the scene file; on an error prints "FILE:LINE: message" and returns false.
bool ReadScene(const char* path, Scene* scene) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        std::fprintf(stderr, "d3d9_render: cannot open scene %s: %s\n", path, std::strerror(errno));
        return false;
    }
    const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    SceneError error;
    if (ParseScene(text.data(), text.size(), scene, &error))
        return true;
    if (error.line > 0)
        std::fprintf(stderr, "d3d9_render: %s:%d: %s\n", path, error.line, error.message.c_str());
    else
        std::fprintf(stderr, "d3d9_render: %s: %s\n", path, error.message.c_str());
    return false;
}

// A presented frame is opaque whatever alpha the triangles left in the back buffer: it is written
// as the window layer writes every presented frame (its captures), as an RGB PNG.
bool WriteFramePng(const char* path, const BYTE* bits, UINT width, UINT height, INT pitch) {
    std::string error;
    if (!PlatformWritePng(path, bits, width, height, static_cast<UINT>(pitch), &error)) {
        std::fprintf(stderr, "d3d9_render: %s\n", error.c_str());
        return false;
    }
    return true;
}

struct Vertex {
    float x, y, z, rhw;
    D3DCOLOR color;
};

LRESULT WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    return DefWindowProcA(window, message, wParam, lParam);
}

// A device's result in words; the number only for one no table knows.
std::string ResultWords(HRESULT hr) {
    const struct {
        HRESULT hr;
        const char* words;
    } kWords[] = {
        {D3DERR_INVALIDCALL, "a call the device refuses (a bad argument or state)"},
        {D3DERR_NOTAVAILABLE, "the device offers no such format or mode"},
        {D3DERR_OUTOFVIDEOMEMORY, "out of video memory"},
        {D3DERR_WRONGTEXTUREFORMAT, "a texture format the device does not take"},
        {D3DERR_NOTFOUND, "not found"},
        {D3DERR_DEVICELOST, "the device is lost"},
        {D3DERR_DEVICENOTRESET, "the device is lost and must be reset"},
        {D3DERR_INVALIDDEVICE, "no such device"},
        {E_OUTOFMEMORY, "out of memory"},
    };
    for (const auto& w : kWords)
        if (w.hr == hr)
            return w.words;
    char text[48];
    std::snprintf(text, sizeof text, "result 0x%08X", static_cast<unsigned>(hr));
    return text;
}

int Fail(const char* call, HRESULT hr) {
    std::fprintf(stderr, "d3d9_render: %s failed: %s\n", call, ResultWords(hr).c_str());
    return 1;
}

int Render(const Scene& scene, const char* out) {
    setenv("PLATFORM_HEADLESS", "1", 1);
    WNDCLASSA wc{};
    wc.lpfnWndProc = WindowProc;
    wc.hInstance = GetModuleHandleA(nullptr);
    wc.lpszClassName = "d3d9_render";
    RegisterClassA(&wc);
    HWND window =
        CreateWindowExA(0, "d3d9_render", "d3d9_render", WS_OVERLAPPEDWINDOW, 0, 0, static_cast<int>(scene.width),
                        static_cast<int>(scene.height), nullptr, nullptr, wc.hInstance, nullptr);
    if (window == nullptr) {
        std::fprintf(stderr, "d3d9_render: cannot create the window\n");
        return 1;
    }
    IDirect3D9* d3d = Direct3DCreate9(D3D_SDK_VERSION);
    if (d3d == nullptr)
        return Fail("Direct3DCreate9", D3DERR_NOTAVAILABLE);
    D3DPRESENT_PARAMETERS pp{};
    pp.BackBufferWidth = scene.width;
    pp.BackBufferHeight = scene.height;
    pp.BackBufferFormat = D3DFMT_A8R8G8B8;
    pp.BackBufferCount = 1;
    pp.SwapEffect = D3DSWAPEFFECT_COPY;
    pp.hDeviceWindow = window;
    pp.Windowed = TRUE;
    pp.PresentationInterval = D3DPRESENT_INTERVAL_IMMEDIATE;
    IDirect3DDevice9* device = nullptr;
    HRESULT hr = d3d->CreateDevice(D3DADAPTER_DEFAULT, D3DDEVTYPE_HAL, window, D3DCREATE_SOFTWARE_VERTEXPROCESSING, &pp,
                                   &device);
    if (FAILED(hr)) {
        d3d->Release();
        return Fail("CreateDevice", hr);
    }
    // Untextured, unlit, single-coloured triangles straight to the target.
    device->SetRenderState(D3DRS_CULLMODE, D3DCULL_NONE);
    device->SetRenderState(D3DRS_ZENABLE, D3DZB_FALSE);
    device->SetRenderState(D3DRS_LIGHTING, FALSE);
    device->SetRenderState(D3DRS_ALPHABLENDENABLE, FALSE);
    device->SetTextureStageState(0, D3DTSS_COLOROP, D3DTOP_SELECTARG1);
    device->SetTextureStageState(0, D3DTSS_COLORARG1, D3DTA_DIFFUSE);
    device->SetTextureStageState(0, D3DTSS_ALPHAOP, D3DTOP_SELECTARG1);
    device->SetTextureStageState(0, D3DTSS_ALPHAARG1, D3DTA_DIFFUSE);
    device->SetFVF(D3DFVF_XYZRHW | D3DFVF_DIFFUSE);
    device->BeginScene();
    for (const SceneCommand& c : scene.commands) {
        if (c.kind == SceneCommand::Kind::Clear) {
            hr = device->Clear(0, nullptr, D3DCLEAR_TARGET, c.color, 1.0f, 0);
        } else {
            const Vertex v[3] = {{c.xy[0], c.xy[1], 0.5f, 1.0f, c.color},
                                 {c.xy[2], c.xy[3], 0.5f, 1.0f, c.color},
                                 {c.xy[4], c.xy[5], 0.5f, 1.0f, c.color}};
            hr = device->DrawPrimitiveUP(D3DPT_TRIANGLELIST, 1, v, sizeof(Vertex));
        }
        if (FAILED(hr))
            break;
    }
    device->EndScene();
    if (SUCCEEDED(hr))
        hr = device->Present(nullptr, nullptr, nullptr, nullptr);
    // Read the presented back buffer back through system memory.
    IDirect3DSurface9* back = nullptr;
    IDirect3DSurface9* copy = nullptr;
    D3DLOCKED_RECT locked{};
    if (SUCCEEDED(hr))
        hr = device->GetBackBuffer(0, 0, D3DBACKBUFFER_TYPE_MONO, &back);
    if (SUCCEEDED(hr))
        hr = device->CreateOffscreenPlainSurface(scene.width, scene.height, D3DFMT_A8R8G8B8, D3DPOOL_SYSTEMMEM, &copy,
                                                 nullptr);
    if (SUCCEEDED(hr))
        hr = device->GetRenderTargetData(back, copy);
    if (SUCCEEDED(hr))
        hr = copy->LockRect(&locked, nullptr, D3DLOCK_READONLY);
    int status = 0;
    if (FAILED(hr))
        status = Fail("rendering", hr);
    else if (!WriteFramePng(out, static_cast<const BYTE*>(locked.pBits), scene.width, scene.height, locked.Pitch))
        status = 1;
    if (locked.pBits != nullptr)
        copy->UnlockRect();
    if (copy != nullptr)
        copy->Release();
    if (back != nullptr)
        back->Release();
    const D3d9Counters counters = D3d9DeviceCounters(device);
    device->Release();
    d3d->Release();
    DestroyWindow(window);
    if (status == 0)
        std::printf("%s: %ux%u, %ld clears, %ld triangles\n", out, scene.width, scene.height, counters.clears,
                    counters.primitives);
    return status;
}

} // namespace

int main(int argc, char** argv) {
    for (int i = 1; i < argc; ++i)
        if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
            std::fputs(kUsage, stdout);
            return 0;
        }
    if (argc != 3) {
        std::fprintf(stderr, "d3d9_render: expected SCENE OUT.png, got %d arguments\n%s", argc - 1, kUsage);
        return 2;
    }
    Scene scene;
    if (!ReadScene(argv[1], &scene))
        return 1;
    return Render(scene, argv[2]);
}
