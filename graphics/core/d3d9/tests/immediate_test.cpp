#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "graphics/core/camera.h"
#include "graphics/core/d3d9/camera.h"
#include "graphics/core/d3d9/im2d.h"
#include "graphics/core/d3d9/im3d.h"
#include "graphics/core/d3d9/render_state.h"
#include "graphics/core/d3d9/tests/d3d9_fixture.h"
#include "graphics/core/im3d.h"

namespace {

// Log lines of a method, in order.
std::vector<std::string> Calls(const char* method) {
    std::vector<std::string> out;
    const std::string prefix = std::string(method) + "(";
    for (const std::string& line : D3d9Log()) {
        if (line.rfind(prefix, 0) == 0) {
            out.push_back(line);
        }
    }
    return out;
}

std::vector<OvD3D9Im2DVertex> Im2DVertices(int n, D3DCOLOR colour = 0xFFFF0000u) {
    std::vector<OvD3D9Im2DVertex> v(static_cast<std::size_t>(n));
    for (int i = 0; i < n; ++i) {
        v[static_cast<std::size_t>(i)] = {
            static_cast<float>(i % 7), static_cast<float>(i % 5), 0.5f, 1.0f, colour, 0, 0};
    }
    return v;
}

TEST_F(D3d9DriverTest, Im2DOwnBufferWrapsAndLargeDrawsUseTheSharedBuffers) {
    // Without hardware transform and lighting the module keeps a vertex buffer of its own.
    D3d9Adapter a = D3d9DefaultAdapter();
    a.caps.DevCaps &= ~D3DDEVCAPS_HWTRANSFORMANDLIGHT;
    D3d9SetAdapters({a});
    ASSERT_TRUE(Up());
    ASSERT_TRUE(OvD3D9Im2DUsesOwnBuffer());
    ASSERT_TRUE(OvD3D9DeviceCheckLost()); // draws need a scene
    D3d9LogEnable(true);
    std::vector<OvD3D9Im2DVertex> v = Im2DVertices(10000);
    ASSERT_TRUE(OvD3D9Im2DRenderPrimitive(ovPRIMTYPETRILIST, v.data(), 4000));
    ASSERT_TRUE(OvD3D9Im2DRenderPrimitive(ovPRIMTYPETRILIST, v.data(), 4000));
    EXPECT_EQ(OvD3D9Im2DOwnBufferCount(), 8000u);
    ASSERT_TRUE(OvD3D9Im2DRenderPrimitive(ovPRIMTYPETRILIST, v.data(), 1362)); // exactly full
    EXPECT_EQ(OvD3D9Im2DOwnBufferCount(), 9362u);
    ASSERT_TRUE(OvD3D9Im2DRenderPrimitive(ovPRIMTYPETRILIST, v.data(), 3)); // starts again at 0
    EXPECT_EQ(Calls("Lock"), (std::vector<std::string>{"Lock(0, 112000, 6144)", "Lock(112000, 112000, 6144)",
                                                       "Lock(224000, 38136, 6144)", "Lock(0, 84, 10240)"}));
    EXPECT_EQ(Calls("DrawPrimitive").back(), "DrawPrimitive(4, 0, 1)");
    // More than the own buffer holds goes through a shared buffer.
    D3d9LogClear();
    ASSERT_TRUE(OvD3D9Im2DRenderPrimitive(ovPRIMTYPETRILIST, v.data(), 9999));
    EXPECT_EQ(OvD3D9Im2DOwnBufferCount(), 3u);
    EXPECT_EQ(Calls("DrawPrimitive"), (std::vector<std::string>{"DrawPrimitive(4, 0, 3333)"}));
}

TEST_F(D3d9DriverTest, Im2DIndexedDrawsExpandOrIndexAndRefuseIndicesOutsideTheArray) {
    ASSERT_TRUE(Up());
    ASSERT_FALSE(OvD3D9Im2DUsesOwnBuffer());
    ASSERT_TRUE(OvD3D9DeviceCheckLost());
    D3d9LogEnable(true);
    std::vector<OvD3D9Im2DVertex> v = Im2DVertices(6);
    const OvUInt16 quad[6] = {2, 1, 0, 1, 3, 0};
    ASSERT_TRUE(OvD3D9Im2DRenderIndexedPrimitive(ovPRIMTYPETRILIST, v.data(), 4, const_cast<OvUInt16*>(quad), 6));
    EXPECT_EQ(Calls("DrawIndexedPrimitive").size(), 1u);
    EXPECT_EQ(Calls("DrawPrimitive").size(), 0u);
    ASSERT_TRUE(OvD3D9Im2DRenderIndexedPrimitive(ovPRIMTYPETRILIST, v.data(), 6, const_cast<OvUInt16*>(quad), 6));
    EXPECT_EQ(Calls("DrawIndexedPrimitive").size(), 1u);
    EXPECT_EQ(Calls("DrawPrimitive").size(), 1u);
    // Nothing is read past the caller's array; too few vertices for a primitive draw nothing.
    const OvUInt16 outside[3] = {0, 1, 6};
    EXPECT_FALSE(OvD3D9Im2DRenderIndexedPrimitive(ovPRIMTYPETRILIST, v.data(), 6, const_cast<OvUInt16*>(outside), 3));
    EXPECT_FALSE(OvD3D9Im2DRenderLine(v.data(), 6, 0, 6));
    EXPECT_FALSE(OvD3D9Im2DRenderTriangle(v.data(), 6, -1, 0, 1));
    for (OvInt32 type : {ovPRIMTYPEPOLYLINE, ovPRIMTYPETRISTRIP, ovPRIMTYPETRIFAN, ovPRIMTYPEPOINTLIST}) {
        EXPECT_TRUE(OvD3D9Im2DRenderPrimitive(type, v.data(), 1)) << type;
    }
    EXPECT_EQ(Calls("DrawPrimitive").size(), 1u);
    EXPECT_EQ(Calls("DrawIndexedPrimitive").size(), 1u);
    // Outside begin and end update the raster module's current raster places the vertices.
    EXPECT_TRUE(OvD3D9Im2DRenderLine(v.data(), 6, 0, 5));
    EXPECT_TRUE(OvD3D9Im2DRenderTriangle(v.data(), 6, 0, 5, 3));
    EXPECT_EQ(Calls("DrawPrimitive").size(), 3u);
}

TEST_F(D3d9DriverTest, Im2DVerticesFollowTheCameraRasterPlaceInItsParent) {
    ASSERT_TRUE(Up());
    OvCamera* camera = OvCameraCreate();
    OvRaster* parent = OvRasterCreate(320, 240, 0, ovRASTERTYPECAMERA);
    ASSERT_NE(parent, nullptr);
    // A sub-raster of 120 x 80 at (100, 50).
    OvRaster sub = *parent;
    sub.parent = parent;
    sub.width = 120;
    sub.height = 80;
    sub.nOffsetX = 100;
    sub.nOffsetY = 50;
    camera->frameBuffer = &sub;
    OvRGBA black = {0, 0, 0, 255};
    ASSERT_TRUE(OvD3D9CameraClear(camera, &black, ovCAMERACLEARIMAGE | ovCAMERACLEARZ));
    ASSERT_NE(OvCameraBeginUpdate(camera), nullptr);
    // Counter-clockwise on screen: front faces under the engine's default culling.
    OvD3D9Im2DVertex square[4] = {{0, 0, 0.5f, 1, 0xFF00FF00u, 0, 0},
                                  {0, 10, 0.5f, 1, 0xFF00FF00u, 0, 0},
                                  {10, 0, 0.5f, 1, 0xFF00FF00u, 0, 0},
                                  {10, 10, 0.5f, 1, 0xFF00FF00u, 0, 0}};
    ASSERT_TRUE(OvD3D9Im2DRenderPrimitive(ovPRIMTYPETRISTRIP, square, 4));
    OvCameraEndUpdate(camera);
    ASSERT_TRUE(OvD3D9RasterShowRaster(parent, nullptr, 0));
    const OvUInt8* pixels = OvRasterLock(parent, 0, ovRASTERLOCKREAD);
    ASSERT_NE(pixels, nullptr);
    int green = 0, wrongPlace = 0;
    for (int y = 0; y < 240; ++y) {
        for (int x = 0; x < 320; ++x) {
            OvUInt32 p;
            std::memcpy(&p, pixels + y * parent->stride + x * 4, 4);
            const bool inSquare = x >= 100 && x < 110 && y >= 50 && y < 60;
            green += (p & 0xFFFFFF) == 0x00FF00u;
            wrongPlace += ((p & 0xFFFFFF) == 0x00FF00u) != inSquare;
        }
    }
    EXPECT_EQ(green, 100);
    EXPECT_EQ(wrongPlace, 0);
    OvRasterUnlock(parent);
    OvRasterDestroy(parent);
    camera->frameBuffer = nullptr;
    OvCameraDestroy(camera);
}

std::vector<OvIm3DVertex> Im3DVertices(OvUInt32 n) {
    std::vector<OvIm3DVertex> v(n);
    for (OvUInt32 i = 0; i < n; ++i) {
        v[i] = {{static_cast<float>(i), 1.0f, 2.0f}, {0, 1, 0}, 0xFF102030u, 0.25f, 0.75f};
    }
    return v;
}

// Whether the lines appear in the log in this order (others between them).
bool LoggedInOrder(const std::vector<std::string>& lines) {
    auto at = D3d9Log().begin();
    for (const std::string& line : lines) {
        at = std::find(at, D3d9Log().end(), line);
        if (at == D3d9Log().end()) {
            return false;
        }
    }
    return true;
}

TEST_F(D3d9DriverTest, Im3DExpandsSmallIndexListsAndWrapsTheIndexBuffer) {
    ASSERT_TRUE(Up());
    ASSERT_TRUE(OvD3D9DeviceCheckLost());
    D3d9LogEnable(true);
    std::vector<OvIm3DVertex> v = Im3DVertices(100);
    std::vector<OvUInt16> indices(65000);
    for (std::size_t i = 0; i < indices.size(); ++i) {
        indices[i] = static_cast<OvUInt16>(i % 100);
    }
    ASSERT_NE(OvIm3DTransform(v.data(), 100, nullptr, 0), nullptr);
    // 7 line indices make 3 lines and 8 triangle indices 2 triangles, both expanded.
    ASSERT_TRUE(OvIm3DRenderIndexedPrimitive(ovPRIMTYPELINELIST, indices.data(), 7));
    ASSERT_TRUE(OvIm3DRenderIndexedPrimitive(ovPRIMTYPETRILIST, indices.data(), 8));
    ASSERT_TRUE(OvIm3DRenderIndexedPrimitive(ovPRIMTYPETRILIST, indices.data(), 3));
    const std::vector<std::string> draws = Calls("DrawPrimitive");
    ASSERT_EQ(draws.size(), 3u);
    EXPECT_EQ(draws[0].substr(0, 16), "DrawPrimitive(2,");
    EXPECT_EQ(draws[0].substr(draws[0].size() - 3), " 3)");
    EXPECT_EQ(draws[1].substr(draws[1].size() - 3), " 2)");
    EXPECT_TRUE(Calls("DrawIndexedPrimitive").empty());
    EXPECT_EQ(Calls("SetStreamSource").back().substr(Calls("SetStreamSource").back().size() - 4), " 16)");
    // Nine indices go through the index buffer, appended until the next batch would reach its end.
    ASSERT_TRUE(OvIm3DRenderIndexedPrimitive(ovPRIMTYPETRILIST, indices.data(), 9));
    EXPECT_EQ(OvD3D9Im3DIndexPosition(), 9u);
    ASSERT_TRUE(OvIm3DRenderIndexedPrimitive(ovPRIMTYPETRILIST, indices.data(), 65000 - 9 - 2));
    ASSERT_TRUE(OvIm3DRenderIndexedPrimitive(ovPRIMTYPETRILIST, indices.data(), 525)); // 9 + 64989 + 525 = 65523
    ASSERT_TRUE(OvIm3DRenderIndexedPrimitive(ovPRIMTYPETRILIST, indices.data(), 12));  // fills it to 65,535
    ASSERT_TRUE(OvIm3DRenderIndexedPrimitive(ovPRIMTYPETRILIST, indices.data(), 15));  // would pass it: wraps
    EXPECT_TRUE(LoggedInOrder({"Lock(0, 18, 6144)", "Lock(18, 129978, 6144)", "Lock(129996, 1050, 6144)",
                               "Lock(131046, 24, 6144)", "Lock(0, 30, 10240)"}));
    EXPECT_EQ(OvD3D9Im3DIndexPosition(), 15u);
    const std::vector<std::string> indexed = Calls("DrawIndexedPrimitive");
    ASSERT_EQ(indexed.size(), 5u);
    EXPECT_NE(indexed[3].find(", 0, 100, 65523, 4)"), std::string::npos) << indexed[3];
    EXPECT_NE(indexed[4].find(", 0, 100, 0, 5)"), std::string::npos) << indexed[4];
    EXPECT_TRUE(OvIm3DEnd());
}

TEST_F(D3d9DriverTest, Im3DDrawsTexturedFromBuffersAndFallsBackToCallerMemory) {
    ASSERT_TRUE(Up());
    ASSERT_TRUE(OvD3D9DeviceCheckLost());
    D3d9LogEnable(true);
    std::vector<OvIm3DVertex> v = Im3DVertices(6);
    ASSERT_NE(OvIm3DTransform(v.data(), 6, nullptr, ovIM3D_VERTEXUV | ovIM3D_NOCLIP), nullptr);
    ASSERT_TRUE(OvIm3DRenderPrimitive(ovPRIMTYPETRISTRIP));
    EXPECT_EQ(Calls("DrawPrimitive").back().substr(0, 16), "DrawPrimitive(5,");
    EXPECT_EQ(Calls("SetStreamSource").back().substr(Calls("SetStreamSource").back().size() - 4), " 24)");
    EXPECT_EQ(OvD3D9GetRenderState(D3DRS_CLIPPING), 0u);
    // A failing lock: the batch is drawn from the caller's array with the full declaration.
    D3d9ScriptFailure("Lock", D3DERR_INVALIDCALL, 4);
    ASSERT_TRUE(OvIm3DRenderPrimitive(ovPRIMTYPETRIFAN));
    const OvUInt16 indices[12] = {0, 1, 2, 3, 4, 5, 0, 1, 2, 3, 4, 5};
    ASSERT_TRUE(OvIm3DRenderIndexedPrimitive(ovPRIMTYPETRILIST, indices, 12));
    EXPECT_EQ(Calls("DrawPrimitiveUP"), (std::vector<std::string>{"DrawPrimitiveUP(6, 4, ptr, 36)"}));
    EXPECT_EQ(Calls("DrawIndexedPrimitiveUP"),
              (std::vector<std::string>{"DrawIndexedPrimitiveUP(4, 0, 6, 4, ptr, 101, ptr, 36)"}));
    // A strip of one vertex draws nothing; an index past the batch draws nothing.
    D3d9LogClear();
    const OvUInt16 outside[3] = {0, 1, 6};
    ASSERT_TRUE(OvIm3DRenderIndexedPrimitive(ovPRIMTYPETRILIST, outside, 3));
    ASSERT_NE(OvIm3DTransform(v.data(), 1, nullptr, 0), nullptr);
    ASSERT_TRUE(OvIm3DRenderPrimitive(ovPRIMTYPETRISTRIP));
    EXPECT_TRUE(Calls("DrawPrimitive").empty());
    EXPECT_TRUE(Calls("DrawIndexedPrimitive").empty());
    EXPECT_TRUE(OvIm3DEnd());
}

TEST_F(D3d9DriverTest, ImmediateModeSurvivesADeviceReset) {
    ASSERT_TRUE(Up());
    D3d9LoseDevice(OvD3D9GetDevice());
    OvD3D9DeviceCheckLost();
    ASSERT_TRUE(OvD3D9DeviceCheckLost());
    std::vector<OvIm3DVertex> v = Im3DVertices(20);
    std::vector<OvUInt16> indices(18);
    ASSERT_NE(OvIm3DTransform(v.data(), 20, nullptr, 0), nullptr);
    D3d9LogEnable(true);
    ASSERT_TRUE(OvIm3DRenderIndexedPrimitive(ovPRIMTYPETRILIST, indices.data(), 18));
    EXPECT_EQ(Calls("DrawIndexedPrimitive").size(), 1u);
    std::vector<OvD3D9Im2DVertex> quad = Im2DVertices(4);
    ASSERT_TRUE(OvD3D9Im2DRenderIndexedPrimitive(ovPRIMTYPETRILIST, quad.data(), 4, indices.data(), 6));
    EXPECT_EQ(Calls("DrawIndexedPrimitive").size(), 2u);
    OvIm3DEnd();
}

} // namespace
