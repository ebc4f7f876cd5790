#include "graphics/core/d3d9/device_cache.h"

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "graphics/core/d3d9/im2d.h"
#include "graphics/core/d3d9/raster.h"
#include "graphics/core/d3d9/render_state.h"
#include "graphics/core/d3d9/tests/d3d9_fixture.h"
#include "graphics/core/d3d9/vertex_buffer.h"

namespace {

int Index(const std::vector<std::string>& log, const std::string& prefix) {
    for (std::size_t i = 0; i < log.size(); ++i) {
        if (log[i].rfind(prefix, 0) == 0) {
            return static_cast<int>(i);
        }
    }
    return -1;
}

D3DLIGHT9 Spot(float attenuation) {
    D3DLIGHT9 l{};
    l.Type = D3DLIGHT_SPOT;
    l.Diffuse = {1, 1, 1, 1};
    l.Position = {0, 10, 0};
    l.Direction = {0, -1, 0};
    l.Range = 100;
    l.Theta = 0.5f;
    l.Phi = 1.0f;
    l.Attenuation0 = attenuation;
    return l;
}

} // namespace

TEST_F(D3d9DriverTest, BindingsReachTheDeviceOnlyWhenTheyChange) {
    ASSERT_TRUE(Up());
    IDirect3DVertexBuffer9* vb = nullptr;
    OvUInt32 offset = 0;
    ASSERT_TRUE(OvD3D9CreateVertexBuffer(24, 240, &vb, &offset));
    D3d9LogEnable(true);

    OvD3D9SetStreamSource(0, vb, 0, 24);
    OvD3D9SetStreamSource(0, vb, 0, 24);
    const OvD3D9Stream streams[2] = {{vb, 48, 24}, {nullptr, 0, 0}};
    OvD3D9SetStreams(streams, FALSE); // stream 0 unchanged (offset ignored), stream 1 cleared once
    OvD3D9SetStreams(streams, FALSE);
    EXPECT_EQ(D3d9LogCount("SetStreamSource"), 2);

    const D3DMATRIX view = {{{1, 0, 0, 0}, {0, 1, 0, 0}, {0, 0, 1, 0}, {5, 6, 7, 1}}};
    EXPECT_TRUE(OvD3D9SetTransform(D3DTS_VIEW, &view));
    EXPECT_TRUE(OvD3D9SetTransform(D3DTS_VIEW, &view));
    EXPECT_FALSE(OvD3D9SetTransform(ovD3D9NUMTRANSFORMS, &view));
    D3DMATRIX got{};
    OvD3D9GetTransform(D3DTS_VIEW, &got);
    EXPECT_EQ(got.m[3][2], 7.0f);
    OvD3D9GetTransform(D3DTS_PROJECTION, &got);
    EXPECT_EQ(got.m[3][2], 0.0f);
    EXPECT_EQ(D3d9LogCount("SetTransform"), 1);

    OvMatrix identity{};
    identity.flags = ovMATRIXINTERNALIDENTITY | ovMATRIXTYPEORTHONORMAL;
    OvMatrix moved{};
    moved.right = {1, 0, 0};
    moved.up = {0, 1, 0};
    moved.at = {0, 0, 1};
    moved.pos = {1, 2, 3};
    D3d9LogClear();
    EXPECT_TRUE(OvD3D9SetTransformWorld(&identity));
    EXPECT_TRUE(OvD3D9SetTransformWorld(nullptr));
    EXPECT_TRUE(OvD3D9SetTransformWorld(&moved));
    EXPECT_TRUE(OvD3D9SetTransformWorld(&moved));
    EXPECT_TRUE(OvD3D9SetTransformWorld(&identity));
    EXPECT_EQ(D3d9LogCount("SetTransform"), 3);
    D3DMATRIX world{};
    OvD3D9GetDevice()->GetTransform(D3DTS_WORLD, &world);
    EXPECT_EQ(world.m[3][3], 1.0f);
    EXPECT_EQ(world.m[3][0], 0.0f);

    // Lights: fields that do not shape a spot light are not compared; unknown lights ignore enables.
    D3d9LogClear();
    const D3DLIGHT9 a = Spot(1.0f), b = Spot(0.5f);
    EXPECT_TRUE(OvD3D9SetLight(2, &a));
    EXPECT_TRUE(OvD3D9SetLight(2, &b));
    EXPECT_TRUE(OvD3D9EnableLight(7, TRUE));
    EXPECT_TRUE(OvD3D9EnableLight(2, TRUE));
    EXPECT_TRUE(OvD3D9EnableLight(2, TRUE));
    EXPECT_TRUE(OvD3D9EnableLight(1, TRUE)); // grown with the cache, disabled
    EXPECT_EQ(D3d9LogCount("SetLight"), 1);
    EXPECT_EQ(D3d9LogCount("LightEnable"), 2);
    // A world may number its lights past 65,535: any number is taken and compared like a low one,
    // without the cache growing to it.
    for (const OvUInt32 far : {0x10000u, 0xFFFFFFF0u}) {
        EXPECT_TRUE(OvD3D9SetLight(far, &a));
        EXPECT_TRUE(OvD3D9SetLight(far, &b));
        EXPECT_TRUE(OvD3D9EnableLight(far, TRUE));
    }
    EXPECT_EQ(D3d9LogCount("SetLight"), 3);
    EXPECT_EQ(D3d9LogCount("LightEnable"), 4);

    // An FVF and a declaration forget each other.
    D3d9LogClear();
    OvD3D9SetFVF(D3DFVF_XYZ);
    OvD3D9SetFVF(D3DFVF_XYZ);
    OvD3D9SetVertexDeclaration(nullptr);
    OvD3D9SetFVF(D3DFVF_XYZ);
    EXPECT_EQ(D3d9LogCount("SetFVF"), 2);
}

TEST_F(D3d9DriverTest, DeclarationsAreSharedByContentAndRecreatedInTheirEntry) {
    ASSERT_TRUE(Up());
    const D3DVERTEXELEMENT9 elements[] = {{0, 0, D3DDECLTYPE_FLOAT3, 0, D3DDECLUSAGE_POSITION, 0}, D3DDECL_END()};
    IDirect3DVertexDeclaration9* first = nullptr;
    IDirect3DVertexDeclaration9* second = nullptr;
    ASSERT_TRUE(OvD3D9CreateVertexDeclaration(elements, &first));
    ASSERT_TRUE(OvD3D9CreateVertexDeclaration(elements, &second));
    EXPECT_EQ(first, second);
    first->AddRef();
    EXPECT_EQ(first->Release(), 2u);
    D3d9LogEnable(true);
    OvD3D9DeleteVertexDeclaration(first);
    OvD3D9DeleteVertexDeclaration(first);
    ASSERT_TRUE(OvD3D9CreateVertexDeclaration(elements, &second));
    EXPECT_EQ(D3d9LogCount("CreateVertexDeclaration"), 1);

    // The most elements a declaration holds, then the end marker, are taken; no end marker
    // within 65 elements is refused, nothing read beyond.
    std::vector<D3DVERTEXELEMENT9> full;
    for (BYTE i = 0; i < ovD3D9MAXDECLARATIONELEMENTS; ++i) {
        full.push_back({0, static_cast<WORD>(4 * i), D3DDECLTYPE_FLOAT1, 0, D3DDECLUSAGE_TEXCOORD, i});
    }
    std::vector<D3DVERTEXELEMENT9> endless = full;
    full.push_back(D3DDECL_END());
    IDirect3DVertexDeclaration9* most = nullptr;
    EXPECT_TRUE(OvD3D9CreateVertexDeclaration(full.data(), &most));
    OvD3D9DeleteVertexDeclaration(most);
    endless.push_back(elements[0]);
    IDirect3DVertexDeclaration9* none = nullptr;
    EXPECT_FALSE(OvD3D9CreateVertexDeclaration(endless.data(), &none));
    EXPECT_EQ(none, nullptr);
    // The cache drops its declarations at stop; the teardown checks that nothing is left.
}

TEST_F(D3d9DriverTest, LostDeviceReleasesBeforeResetAndRestoresAfterInOrder) {
    ASSERT_TRUE(Up());
    IDirect3DDevice9* device = OvD3D9GetDevice();
    device->AddRef();
    const D3DLIGHT9 light = Spot(1.0f);
    OvD3D9SetLight(0, &light);
    OvD3D9EnableLight(0, TRUE);
    OvD3D9RenderStateSet(ovRENDERSTATECULLMODE, reinterpret_cast<void*>(std::uintptr_t{D3DCULL_CW}));

    IDirect3DVertexBuffer9* owned = nullptr;
    ASSERT_TRUE(OvD3D9DynamicVertexBufferCreate(4096, &owned));
    // An owner whose storage is gone by the time of the reset (freed after Destroy).
    auto gone = std::make_unique<IDirect3DVertexBuffer9*>(nullptr);
    ASSERT_TRUE(OvD3D9DynamicVertexBufferCreate(1000, gone.get()));
    OvD3D9DynamicVertexBufferDestroy(*gone);
    gone.reset();

    D3d9LogEnable(true);
    D3d9LoseDevice(device);
    EXPECT_FALSE(OvD3D9DeviceCheckLost());
    EXPECT_TRUE(OvD3D9DeviceCheckLost());
    device->EndScene();
    OvD3D9DeviceSetInScene(FALSE);

    const std::vector<std::string>& log = D3d9Log();
    const int reset = Index(log, "Reset(");
    ASSERT_GE(reset, 0);
    EXPECT_LT(Index(log, "SetTexture("), reset);
    EXPECT_LT(Index(log, "SetStreamSource("), reset);
    EXPECT_GT(Index(log, "CreateVertexBuffer(4096"), reset);
    EXPECT_GT(Index(log, "SetRenderState("), Index(log, "CreateVertexBuffer(4096"));
    EXPECT_GT(Index(log, "SetLight(0"), reset);
    EXPECT_GT(Index(log, "LightEnable(0, 1)"), reset);
    EXPECT_NE(owned, nullptr);
    DWORD cull = 0;
    device->GetRenderState(D3DRS_CULLMODE, &cull);
    EXPECT_EQ(cull, D3DCULL_CW);
    // The back buffer and depth surface bound before went with the Reset, which bound the new
    // ones: the cache holds those, not the old ones whose memory a new surface may take.
    D3d9LogClear();
    EXPECT_TRUE(OvD3D9SetRenderTargetSurface(0, OvD3D9GetBackBuffer()));
    EXPECT_EQ(OvD3D9SetDepthSurface(OvD3D9GetDepthSurface()), D3D_OK);
    EXPECT_EQ(D3d9LogCount("SetRenderTarget") + D3d9LogCount("SetDepthStencilSurface"), 0);

    ASSERT_TRUE(OvEngineStop());
    EXPECT_EQ(D3d9LiveObjects(device), 0);
    EXPECT_EQ(device->Release(), 0u);
}

TEST_F(D3d9DriverTest, RenderTargetsOfRastersReachTheDeviceOnlyWhenTheyChange) {
    ASSERT_TRUE(Up());
    OvRaster* target = OvRasterCreate(64, 64, 0, ovRASTERTYPECAMERATEXTURE);
    ASSERT_NE(target, nullptr);
    D3d9LogEnable(true);
    EXPECT_TRUE(OvD3D9SetRenderTarget(0, target));
    EXPECT_TRUE(OvD3D9SetRenderTarget(0, target));
    EXPECT_EQ(D3d9LogCount("SetRenderTarget"), 1);
    IDirect3DSurface9* bound = nullptr;
    IDirect3DSurface9* level0 = nullptr;
    ASSERT_EQ(OvD3D9GetDevice()->GetRenderTarget(0, &bound), D3D_OK);
    ASSERT_EQ(OvD3D9RasterExtGet(target)->texture->GetSurfaceLevel(0, &level0), D3D_OK);
    EXPECT_EQ(bound, level0);
    bound->Release();
    level0->Release();
    EXPECT_TRUE(OvD3D9SetRenderTargetSurface(0, OvD3D9GetBackBuffer()));
    OvRasterDestroy(target);
}

// A raster that cannot be made again after a reset fails the restore, but the caller-owned
// dynamic buffers come back all the same, and the state caches follow the device the Reset put
// back to its defaults (drawing goes on with what came back).
TEST_F(D3d9DriverTest, BuffersAreRestoredWhenARasterIsNot) {
    ASSERT_TRUE(Up());
    OvRaster* target = OvRasterCreate(64, 64, 0, ovRASTERTYPECAMERATEXTURE);
    ASSERT_NE(target, nullptr);
    IDirect3DVertexBuffer9* owned = nullptr;
    ASSERT_TRUE(OvD3D9DynamicVertexBufferCreate(4096, &owned));
    const D3DLIGHT9 light = Spot(1.0f);
    ASSERT_TRUE(OvD3D9SetLight(0x10000, &light));
    OvD3D9EnableLight(0x10000, TRUE);
    D3d9ScriptFailure("CreateTexture", D3DERR_OUTOFVIDEOMEMORY);
    EXPECT_FALSE(OvD3D9DeviceReset());
    TakeError();
    EXPECT_EQ(OvD3D9RasterExtGet(target)->texture, nullptr);
    EXPECT_NE(owned, nullptr);
    IDirect3DDevice9* device = OvD3D9GetDevice();
    DWORD cull = 0;
    device->GetRenderState(D3DRS_CULLMODE, &cull);
    EXPECT_EQ(cull, D3DCULL_CW); // the engine's, not the device's default
    BOOL enabled = FALSE;
    EXPECT_EQ(device->GetLightEnable(0x10000, &enabled), D3D_OK);
    EXPECT_TRUE(enabled);
    OvD3D9Im2DVertex line[2] = {};
    ASSERT_TRUE(OvD3D9DeviceCheckLost());
    EXPECT_TRUE(OvD3D9Im2DRenderLine(line, 2, 0, 1));
    device->EndScene();
    OvD3D9DeviceSetInScene(FALSE);
    ASSERT_TRUE(OvD3D9DeviceReset());
    EXPECT_NE(OvD3D9RasterExtGet(target)->texture, nullptr);
    OvRasterDestroy(target);
}

// Cached transforms are entries of the driver's free list of matrices (15 a block): a block
// more when a slot needs one, a refused block fails the set before it reaches the device, and
// stop gives every block back.
TEST_F(D3d9DriverMemoryTest, TransformsComeFromTheDriversFreeListOfMatrices) {
    ASSERT_TRUE(Up());
    const int before = gBlocks.allocations;
    D3DMATRIX m = {{{1, 0, 0, 0}, {0, 1, 0, 0}, {0, 0, 1, 0}, {0, 0, 0, 1}}};
    for (OvUInt32 state = 0; state < 29; ++state) { // with the world slot, two blocks full
        m.m[3][0] = static_cast<float>(state);
        OvD3D9SetTransform(state, &m);
    }
    EXPECT_EQ(gBlocks.allocations - before, 1);
    D3DMATRIX got{};
    OvD3D9GetTransform(17, &got);
    EXPECT_EQ(got.m[3][0], 17.0f);

    D3d9LogEnable(true);
    gBlocks.refuse = true;
    EXPECT_FALSE(OvD3D9SetTransform(D3DTS_WORLD + 2, &m));
    EXPECT_TRUE(OvD3D9SetTransform(17, &m)); // a slot it has takes the new value without memory
    EXPECT_EQ(D3d9LogCount("SetTransform"), 1);
    gBlocks.refuse = false;
    EXPECT_TRUE(OvD3D9SetTransform(D3DTS_WORLD + 2, &m));

    ASSERT_TRUE(OvEngineStop());
    EXPECT_EQ(gBlocks.inUse(), 0);
}

// A start that fails half-way gives back what it made; the next start begins afresh.
TEST_F(D3d9DriverMemoryTest, AFailedStartLeavesNoDriverMemoryBehind) {
    ASSERT_TRUE(OvEngineOpen(&window));
    D3d9ScriptFailure("CreateIndexBuffer", D3DERR_OUTOFVIDEOMEMORY);
    EXPECT_FALSE(OvEngineStart());
    TakeError();
    EXPECT_EQ(gBlocks.inUse(), 0);
    ASSERT_TRUE(OvEngineStart());
    EXPECT_TRUE(OvD3D9SetTransform(D3DTS_VIEW, nullptr));
}

// With free lists switched off every record of the driver is a block of its own; stop gives
// back each one.
class D3d9DriverWithoutFreeListsTest : public D3d9DriverMemoryTest {
protected:
    D3d9DriverWithoutFreeListsTest() { initFlags = ovENGINEINITFLAG_NOFREELISTS; }
};

TEST_F(D3d9DriverWithoutFreeListsTest, StopGivesBackEveryRecordOfTheDriver) {
    ASSERT_TRUE(Up());
    EXPECT_TRUE(OvD3D9SetTransform(D3DTS_VIEW, nullptr));
    IDirect3DVertexBuffer9* vb = nullptr;
    OvUInt32 offset = 0;
    ASSERT_TRUE(OvD3D9CreateVertexBuffer(24, 240, &vb, &offset));
    IDirect3DVertexBuffer9* owned = nullptr;
    ASSERT_TRUE(OvD3D9DynamicVertexBufferCreate(4096, &owned));
    OvRaster* z = OvRasterCreate(16, 16, 0, ovRASTERTYPEZBUFFER);
    ASSERT_NE(z, nullptr);
    EXPECT_GT(gBlocks.count(), 5);
    OvRasterDestroy(z);
    ASSERT_TRUE(OvEngineStop());
    EXPECT_EQ(gBlocks.count(), 0);
}
