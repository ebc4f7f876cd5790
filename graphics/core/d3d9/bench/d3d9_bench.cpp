// Hot paths of the Direct3D 9 driver, on the stand-in device with its call log off.
//
//   render_state/redundant: a render-state set to the value already pending (a compare);
//   render_state/changed_flush: one state changed and flushed (one device call);
//   render_state/flush_16_dirty: sixteen changed states and a flush, per state;
//   transform_world/hit, /miss: the world matrix unchanged or changed;
//   light/hit, /miss: a spot light unchanged or moved;
//   streams/hit: two streams already bound;
//   dynamic_lock/append: 100 vertices of 28 bytes locked and unlocked, a new frame every 64
//     locks; items are locks;
//   raster/from_image/<format>, raster/to_image/<format>: a 256x256 32-bit image written into
//     a texture of that format (lock, convert, unlock) or read back from it; items are pixels;
//   native_read/texture: a 1024x1024 8888 texture with its 11 mip levels read from its native
//     chunk in memory (raster made, every level locked and filled); bytes are the chunk's;
//   native_read/plain: the same bytes read from a memory stream into one buffer.
//   im3d_submit/<n>: a batch of n vertices transformed, drawn as a line list and ended, inside a
//     scene; the lines lie behind the camera, so the device transforms and clips every vertex but
//     fills no pixel; items are vertices.

#include <benchmark/benchmark.h>

#include <cstdlib>
#include <vector>

#include "graphics/core/d3d9/device.h"
#include "graphics/core/d3d9/device_cache.h"
#include "graphics/core/d3d9/raster.h"
#include "graphics/core/chunk.h"
#include "graphics/core/stream.h"
#include "graphics/core/texture.h"
#include "graphics/core/texture_stream.h"
#include "graphics/core/image.h"
#include "graphics/core/im3d.h"
#include "graphics/core/d3d9/render_state.h"
#include "graphics/core/d3d9/vertex_buffer.h"
#include "platform/d3d9_control.h"
#include "platform/win32.h"
#include "platform/window.h"
#include "testing/headless_window.h"

namespace {

struct Driver {
    Driver() {
        window = OpenHeadlessWindow("d3d9_bench", DefWindowProcA, 320, 240);
        OvEngineSetDriver(OvD3D9Driver());
        ok = OvEngineInit(nullptr, 0, 0x400000) && OvEngineOpen(&window) && OvEngineStart();
    }
    ~Driver() {
        OvEngineStop();
        OvEngineClose();
        OvEngineTerm();
        PlatformWindowReset();
    }
    HWND window = nullptr;
    bool ok = false;
};

Driver& TheDriver() {
    static Driver driver;
    return driver;
}

void RedundantRenderState(benchmark::State& state) {
    if (!TheDriver().ok) {
        state.SkipWithError("no device");
        return;
    }
    OvD3D9SetRenderState(D3DRS_CULLMODE, D3DCULL_CW);
    OvD3D9RenderStateFlush();
    for (auto _ : state) {
        OvD3D9SetRenderState(D3DRS_CULLMODE, D3DCULL_CW);
        benchmark::ClobberMemory();
    }
}
BENCHMARK(RedundantRenderState)->Name("render_state/redundant");

void ChangedRenderState(benchmark::State& state) {
    if (!TheDriver().ok) {
        state.SkipWithError("no device");
        return;
    }
    OvUInt32 v = 0;
    for (auto _ : state) {
        OvD3D9SetRenderState(D3DRS_ALPHAREF, v++ & 0xFF);
        OvD3D9RenderStateFlush();
    }
}
BENCHMARK(ChangedRenderState)->Name("render_state/changed_flush");

void FlushDirty(benchmark::State& state) {
    if (!TheDriver().ok) {
        state.SkipWithError("no device");
        return;
    }
    const D3DRENDERSTATETYPE states[16] = {
        D3DRS_ALPHAREF,      D3DRS_FOGCOLOR,     D3DRS_STENCILREF,   D3DRS_STENCILMASK,
        D3DRS_TEXTUREFACTOR, D3DRS_FOGSTART,     D3DRS_FOGEND,       D3DRS_FOGDENSITY,
        D3DRS_POINTSIZE,     D3DRS_AMBIENT,      D3DRS_BLENDFACTOR,  D3DRS_DEPTHBIAS,
        D3DRS_POINTSCALE_A,  D3DRS_POINTSCALE_B, D3DRS_POINTSCALE_C, D3DRS_TWEENFACTOR};
    OvUInt32 v = 0;
    for (auto _ : state) {
        ++v;
        for (D3DRENDERSTATETYPE s : states) {
            OvD3D9SetRenderState(s, v);
        }
        OvD3D9RenderStateFlush();
    }
    state.SetItemsProcessed(state.iterations() * 16);
}
BENCHMARK(FlushDirty)->Name("render_state/flush_16_dirty");

void TransformWorld(benchmark::State& state) {
    if (!TheDriver().ok) {
        state.SkipWithError("no device");
        return;
    }
    const bool miss = state.range(0) != 0;
    OvMatrix m{};
    m.right = {1, 0, 0};
    m.up = {0, 1, 0};
    m.at = {0, 0, 1};
    for (auto _ : state) {
        if (miss) {
            m.pos.x += 1.0f;
        }
        OvD3D9SetTransformWorld(&m);
    }
}
BENCHMARK(TransformWorld)->Name("transform_world/hit")->Arg(0);
BENCHMARK(TransformWorld)->Name("transform_world/miss")->Arg(1);

void Light(benchmark::State& state) {
    if (!TheDriver().ok) {
        state.SkipWithError("no device");
        return;
    }
    const bool miss = state.range(0) != 0;
    D3DLIGHT9 l{};
    l.Type = D3DLIGHT_SPOT;
    l.Diffuse = {1, 1, 1, 1};
    l.Direction = {0, -1, 0};
    l.Range = 100;
    for (auto _ : state) {
        if (miss) {
            l.Position.x += 1.0f;
        }
        OvD3D9SetLight(3, &l);
    }
}
BENCHMARK(Light)->Name("light/hit")->Arg(0);
BENCHMARK(Light)->Name("light/miss")->Arg(1);

void StreamsHit(benchmark::State& state) {
    if (!TheDriver().ok) {
        state.SkipWithError("no device");
        return;
    }
    IDirect3DVertexBuffer9* vb = nullptr;
    OvUInt32 offset = 0;
    OvD3D9CreateVertexBuffer(24, 2400, &vb, &offset);
    const OvD3D9Stream streams[2] = {{vb, 0, 24}, {vb, 0, 24}};
    for (auto _ : state) {
        OvD3D9SetStreams(streams, TRUE);
        benchmark::ClobberMemory();
    }
}
BENCHMARK(StreamsHit)->Name("streams/hit");

void DynamicLock(benchmark::State& state) {
    if (!TheDriver().ok) {
        state.SkipWithError("no device");
        return;
    }
    IDirect3DVertexBuffer9* vb = nullptr;
    void* data = nullptr;
    OvUInt32 base = 0;
    int n = 0;
    for (auto _ : state) {
        OvD3D9DynamicVertexBufferLock(28, 100, &vb, &data, &base);
        OvD3D9DynamicVertexBufferUnlock(vb);
        if (++n % 64 == 0) {
            OvD3D9DynamicVertexBufferNewFrame();
        }
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(DynamicLock)->Name("dynamic_lock/append");

void RasterImage(benchmark::State& state) {
    if (!TheDriver().ok) {
        state.SkipWithError("no device");
        return;
    }
    constexpr OvInt32 kSize = 256;
    const auto format = static_cast<OvInt32>(state.range(0));
    const bool toImage = state.range(1) != 0;
    OvImage* image = OvImageCreate(kSize, kSize, 32);
    OvImageAllocatePixels(image);
    for (OvInt32 i = 0; i < kSize * kSize * 4; ++i) {
        image->cpPixels[i] = static_cast<OvUInt8>(i * 7);
    }
    OvRaster* raster = OvRasterCreate(kSize, kSize, 32, ovRASTERTYPETEXTURE | format);
    if (raster == nullptr || OvRasterSetFromImage(raster, image) == nullptr) {
        state.SkipWithError("no raster");
        OvImageDestroy(image);
        return;
    }
    for (auto _ : state) {
        benchmark::DoNotOptimize(toImage ? static_cast<void*>(OvImageSetFromRaster(image, raster))
                                         : static_cast<void*>(OvRasterSetFromImage(raster, image)));
    }
    state.SetItemsProcessed(state.iterations() * kSize * kSize);
    OvRasterDestroy(raster);
    OvImageDestroy(image);
}
BENCHMARK(RasterImage)->Name("raster/from_image/8888")->Args({ovRASTERFORMAT8888, 0});
BENCHMARK(RasterImage)->Name("raster/from_image/888")->Args({ovRASTERFORMAT888, 0});
BENCHMARK(RasterImage)->Name("raster/from_image/565")->Args({ovRASTERFORMAT565, 0});
BENCHMARK(RasterImage)->Name("raster/to_image/8888")->Args({ovRASTERFORMAT8888, 1});
BENCHMARK(RasterImage)->Name("raster/to_image/888")->Args({ovRASTERFORMAT888, 1});
BENCHMARK(RasterImage)->Name("raster/to_image/565")->Args({ovRASTERFORMAT565, 1});

// The native chunk of a 1024x1024 8888 mip chain, written once.
const std::vector<OvUInt8>& NativeChunk() {
    static std::vector<OvUInt8> bytes;
    if (bytes.empty() && TheDriver().ok) {
        OvRaster* raster =
            OvRasterCreate(1024, 1024, 32, ovRASTERTYPETEXTURE | ovRASTERFORMAT8888 | ovRASTERFORMATMIPMAP);
        OvTexture* texture = raster != nullptr ? OvTextureCreate(raster) : nullptr;
        OvStream* out = OvStreamOpen(ovSTREAMMEMORY, ovSTREAMWRITE, nullptr);
        if (texture != nullptr && OvTextureStreamWriteNative(texture, out) != nullptr) {
            OvMemory memory{};
            OvStreamClose(out, &memory);
            bytes.assign(memory.start, memory.start + memory.length);
            OvFree(memory.start);
        } else {
            OvStreamClose(out, nullptr);
        }
        if (texture != nullptr) {
            OvTextureDestroy(texture);
        }
    }
    return bytes;
}

void NativeRead(benchmark::State& state) {
    std::vector<OvUInt8> bytes = NativeChunk();
    if (bytes.empty()) {
        state.SkipWithError("no native chunk");
        return;
    }
    const bool plain = state.range(0) != 0;
    std::vector<OvUInt8> into(bytes.size());
    for (auto _ : state) {
        OvMemory memory{bytes.data(), static_cast<OvUInt32>(bytes.size())};
        OvStream* in = OvStreamOpen(ovSTREAMMEMORY, ovSTREAMREAD, &memory);
        if (plain) {
            OvStreamRead(in, into.data(), static_cast<OvUInt32>(into.size()));
            benchmark::DoNotOptimize(into.data());
        } else {
            OvTexture* texture = nullptr;
            if (OvStreamFindChunk(in, ovID_TEXTURENATIVE, nullptr, nullptr)) {
                texture = OvTextureStreamReadNative(in);
            }
            if (texture == nullptr) {
                OvStreamClose(in, nullptr);
                state.SkipWithError("native read failed");
                return;
            }
            OvTextureDestroy(texture);
        }
        OvStreamClose(in, nullptr);
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * static_cast<std::int64_t>(bytes.size()));
}
BENCHMARK(NativeRead)->Name("native_read/texture")->Arg(0)->Unit(benchmark::kMillisecond);
BENCHMARK(NativeRead)->Name("native_read/plain")->Arg(1)->Unit(benchmark::kMillisecond);

void Im3DSubmit(benchmark::State& state) {
    if (!TheDriver().ok || !OvD3D9DeviceCheckLost()) {
        state.SkipWithError("no device");
        return;
    }
    const auto n = static_cast<OvUInt32>(state.range(0));
    std::vector<OvIm3DVertex> vertices(n);
    for (OvUInt32 i = 0; i < n; ++i) {
        vertices[i] = {{static_cast<float>(i % 97), static_cast<float>(i % 89), -5.0f}, {0, 0, 1}, 0xFF808080u, 0, 0};
    }
    for (auto _ : state) {
        OvIm3DTransform(vertices.data(), n, nullptr, ovIM3D_ALLOPAQUE);
        benchmark::DoNotOptimize(OvIm3DRenderPrimitive(ovPRIMTYPELINELIST));
        OvIm3DEnd();
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()) * n);
}
BENCHMARK(Im3DSubmit)->Name("im3d_submit")->Arg(2)->Arg(100)->Arg(65000);

} // namespace

BENCHMARK_MAIN();
