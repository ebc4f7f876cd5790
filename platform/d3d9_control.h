#pragma once
// Controls of the Direct3D 9 stand-in, for tests and tools: the adapters that Direct3DCreate9
// reports (modes, formats, caps presets), scripted failures, lost-device emulation, the call log
// and per-device counters. Nothing here is part of the platform's interface.

#include "platform/d3d9.h"

#include <string>
#include <vector>

enum class D3d9Preset {
    FixedFunction,      // no vertex shaders; pixel shaders 1.4 (none with PLATFORM_PIXEL_SHADERS=0)
    ShaderModel2Vertex, // vs_2_0, and pixel shaders as above
};

// One adapter as Direct3DCreate9 reports it.
struct D3d9Adapter {
    std::string description;
    DWORD vendorId = 0;
    DWORD deviceId = 0;
    D3DDISPLAYMODE desktop{};          // the current display mode
    std::vector<D3DDISPLAYMODE> modes; // full-screen modes, any formats mixed
    D3DCAPS9 caps{};
    bool capsFail = false;                      // GetDeviceCaps answers D3DERR_NOTAVAILABLE
    std::vector<D3DFORMAT> textureFormats;      // plain textures and surfaces
    std::vector<D3DFORMAT> renderTargetFormats; // render-target textures and back buffers
    std::vector<D3DFORMAT> depthFormats;        // depth-stencil surfaces
    std::vector<D3DFORMAT> depthTextureFormats; // depth-stencil textures (none by default)
    std::vector<D3DFORMAT> cubeFormats;         // cube textures (none by default)
    UINT textureMemory = 64u << 20;             // GetAvailableTextureMem, bytes
};

// The caps record of a preset.
D3DCAPS9 D3d9PresetCaps(D3d9Preset preset);

// The default adapter: a 32-bit 1024x768 desktop at 60 Hz, modes from 640x480 to 1600x1200 at
// 60 and 85 Hz in X8R8G8B8 and R5G6B5, the given caps preset.
D3d9Adapter D3d9DefaultAdapter(D3d9Preset preset = D3d9Preset::FixedFunction);

// The adapters of every Direct3DCreate9 from now on.
void D3d9SetAdapters(const std::vector<D3d9Adapter>& adapters);

// Back to one default adapter, no scripted failures or losses, the log off and empty.
void D3d9ResetStandIn();

// Scripted failures: after `skip` calls of `method` that run normally, the next `times` calls
// answer `result` without doing anything. Methods by their platform name: "Direct3DCreate9"
// (answers null), "CreateDevice", "GetDeviceCaps", "CheckDeviceFormat", "Reset",
// "TestCooperativeLevel", "Present", "LockRect", "Lock" (buffers), "CreateTexture",
// "CreateCubeTexture", "CreateVertexBuffer", "CreateIndexBuffer", "CreateDepthStencilSurface",
// "CreateOffscreenPlainSurface", "CreateAdditionalSwapChain", "CreateVertexDeclaration",
// "CreateVertexShader", "CreatePixelShader", "ValidateDevice". A scripted D3DERR_DEVICELOST from Present also
// loses the device.
void D3d9ScriptFailure(const char* method, HRESULT result, int times = 1, int skip = 0);

// Loses the device as a full-screen device whose window lost the focus: the next
// TestCooperativeLevel answers D3DERR_DEVICELOST, later ones D3DERR_DEVICENOTRESET until a
// successful Reset. (A full-screen device whose window is not the active one is lost anyway.)
void D3d9LoseDevice(IDirect3DDevice9* device);

// The call log: one line per device, resource or adapter call while enabled, the method's name
// and its arguments: "SetRenderState(7, 1)". Off by default.
void D3d9LogEnable(bool on);
void D3d9LogClear();
const std::vector<std::string>& D3d9Log();
// Lines of the log that are calls of `method`.
int D3d9LogCount(const char* method);

// What a device did since it was created.
struct D3d9Counters {
    long draws = 0;      // draw calls that reached the rasteriser
    long primitives = 0; // primitives of those draws
    long clears = 0;
    long presents = 0;          // frames handed to the window layer
    long resets = 0;            // successful Resets
    long sharedDraws = 0;       // draws whose pixels were shared out over several threads
    long sharedVertexDraws = 0; // draws whose vertices were
};
D3d9Counters D3d9DeviceCounters(IDirect3DDevice9* device);

// The rasteriser's threads from now on, the drawing thread counted: 0 for as many as
// PLATFORM_RASTER_THREADS says or else the processors (at most 8), 1 for the drawing thread alone.
// A draw shares out its pixels once the boxes of its primitives on screen add up to `splitArea`
// pixels (a negative area: the built-in one). Not while another thread draws.
void D3d9SetRasterThreads(int threads, long splitArea = -1);
// The threads the rasteriser draws on now (the environment read if no draw has read it yet).
int D3d9RasterThreadCount();

// The bytes of a surface as it holds them, row after row without padding, lockable or not (depth
// buffers included).
std::vector<BYTE> D3d9SurfaceBytes(IDirect3DSurface9* surface);

// Objects of a device still alive (textures, surfaces of their own, buffers, declarations,
// shaders, additional swap chains), for leak checks.
int D3d9LiveObjects(IDirect3DDevice9* device);

// The rasteriser's fast rows shade eight pixels a step where the processor has AVX2, else four;
// the same pixels either way. D3d9SetRasterWide(0) keeps them at four, -1 (or 1) as the processor
// allows; D3d9RasterWide tells which runs.
void D3d9SetRasterWide(int wide);
bool D3d9RasterWide();
// The fast rows of a triangle whose box is at most sixteen pixels wide find each row's pixels from
// its edge functions as lanes of integers; D3d9SetRasterMaskWalk(false) has every triangle take the
// row bounds of larger ones (the same pixels either way).
void D3d9SetRasterMaskWalk(bool on);
