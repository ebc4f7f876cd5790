#include "graphics/core/d3d9/vertex_buffer.h"

#include <algorithm>
#include <array>

#include "graphics/core/d3d9/tests/d3d9_fixture.h"

TEST_F(D3d9DriverTest, StaticRangesShareABufferAndMergeWhenReturnedInAnyOrder) {
    ASSERT_TRUE(Up());
    D3d9LogEnable(true);
    IDirect3DVertexBuffer9* buffers[3] = {};
    OvUInt32 offsets[3] = {};
    for (int i = 0; i < 3; ++i) {
        ASSERT_TRUE(OvD3D9CreateVertexBuffer(24, 1000, &buffers[i], &offsets[i]));
    }
    EXPECT_EQ(D3d9LogCount("CreateVertexBuffer"), 1);
    EXPECT_EQ(D3d9Log()[0], "CreateVertexBuffer(131088, 8, 0, 1)");
    EXPECT_EQ(buffers[0], buffers[2]);
    EXPECT_EQ(offsets[1], 1000u);

    for (int i : {2, 0, 1}) {
        OvD3D9DestroyVertexBuffer(24, 1000, buffers[i], offsets[i]);
    }
    std::array<int, 3> order = {0, 1, 2};
    do {
        for (int i = 0; i < 3; ++i) {
            ASSERT_TRUE(OvD3D9CreateVertexBuffer(24, 1000, &buffers[i], &offsets[i]));
        }
        for (int i : order) {
            OvD3D9DestroyVertexBuffer(24, 1000, buffers[i], offsets[i]);
        }
        OvUInt32 o[4], s[4];
        ASSERT_EQ(OvD3D9StaticFreeRanges(24, o, s, 4), 1) << order[0] << order[1] << order[2];
        EXPECT_EQ(o[0], 0u);
        EXPECT_EQ(s[0], 131088u);
    } while (std::next_permutation(order.begin(), order.end()));
    EXPECT_EQ(D3d9LogCount("CreateVertexBuffer"), 1);
    // A request larger than a buffer gets a buffer of its own size.
    IDirect3DVertexBuffer9* big = nullptr;
    OvUInt32 at = 0;
    ASSERT_TRUE(OvD3D9CreateVertexBuffer(24, 240000, &big, &at));
    EXPECT_NE(big, buffers[0]);
}

TEST_F(D3d9DriverTest, SharedDynamicLocksAppendDiscardAndGrow) {
    ASSERT_TRUE(Up());
    D3d9LogEnable(true);
    IDirect3DVertexBuffer9* vb = nullptr;
    void* data = nullptr;
    OvUInt32 base = 99;
    ASSERT_TRUE(OvD3D9DynamicVertexBufferLock(10, 100, &vb, &data, &base));
    OvD3D9DynamicVertexBufferUnlock(vb);
    EXPECT_EQ(base, 0u);
    ASSERT_TRUE(OvD3D9DynamicVertexBufferLock(28, 100, &vb, &data, &base));
    OvD3D9DynamicVertexBufferUnlock(vb);
    EXPECT_EQ(base, 36u); // 1,000 bytes rounded up to 1,008
    EXPECT_EQ(D3d9Log().back(), "Unlock()");
    EXPECT_EQ(D3d9LogCount("Lock"), 2);
    EXPECT_EQ(std::count(D3d9Log().begin(), D3d9Log().end(), "Lock(1008, 2800, 6144)"), 1);

    // Larger than a slot: the slot is re-created at the size and discarded.
    D3d9LogClear();
    ASSERT_TRUE(OvD3D9DynamicVertexBufferLock(1, 300000, &vb, &data, &base));
    static_cast<char*>(data)[299999] = 1;
    OvD3D9DynamicVertexBufferUnlock(vb);
    EXPECT_EQ(D3d9LogCount("CreateVertexBuffer"), 1);
    EXPECT_EQ(std::count(D3d9Log().begin(), D3d9Log().end(), "Lock(0, 300000, 10240)"), 1);

    // A failed re-creation leaves no slot with a size but no buffer behind.
    D3d9ScriptFailure("CreateVertexBuffer", D3DERR_OUTOFVIDEOMEMORY, 8);
    for (int i = 0; i < 4; ++i) {
        OvD3D9DynamicVertexBufferNewFrame();
        EXPECT_FALSE(OvD3D9DynamicVertexBufferLock(1, 400000, &vb, &data, &base));
    }
    D3d9ScriptFailure("CreateVertexBuffer", D3DERR_OUTOFVIDEOMEMORY, 0);
    for (int i = 0; i < 4; ++i) {
        OvD3D9DynamicVertexBufferNewFrame();
        ASSERT_TRUE(OvD3D9DynamicVertexBufferLock(28, 10, &vb, &data, &base));
        OvD3D9DynamicVertexBufferUnlock(vb);
    }
    EXPECT_FALSE(OvD3D9DynamicVertexBufferLock(0, 10, &vb, &data, &base));
    EXPECT_FALSE(OvD3D9DynamicVertexBufferLock(0x10000, 0x10000, &vb, &data, &base));
}

// The buffers' bookkeeping lives in the driver's free lists: the engine's memory sees their
// blocks under the driver's hint, a purge gives back the ones emptied, a refused block fails
// the call cleanly, and stop leaves nothing behind.
TEST_F(D3d9DriverMemoryTest, BufferRecordsComeFromTheDriversFreeLists) {
    ASSERT_TRUE(Up());
    // 150 separate free ranges need a second block of ranges; merged again, one block is enough.
    IDirect3DVertexBuffer9* vb[300] = {};
    OvUInt32 at[300] = {};
    for (int i = 0; i < 300; ++i) {
        ASSERT_TRUE(OvD3D9CreateVertexBuffer(24, 24, &vb[i], &at[i]));
    }
    for (int i = 0; i < 300; i += 2) {
        OvD3D9DestroyVertexBuffer(24, 24, vb[i], at[i]);
    }
    const int fragmented = gBlocks.inUse();
    for (int i = 1; i < 300; i += 2) {
        OvD3D9DestroyVertexBuffer(24, 24, vb[i], at[i]);
    }
    OvUInt32 o[2], s[2];
    ASSERT_EQ(OvD3D9StaticFreeRanges(24, o, s, 2), 1);
    EXPECT_EQ(s[0], 131088u);
    EXPECT_EQ(gBlocks.inUse(), fragmented - 1);

    // Sixteen strides fill the first block of stride records; the next one needs memory.
    D3d9LogEnable(true);
    gBlocks.refuse = true;
    IDirect3DVertexBuffer9* b = nullptr;
    OvUInt32 offset = 0;
    for (OvUInt32 stride = 8; stride < 8 + 15; ++stride) {
        ASSERT_TRUE(OvD3D9CreateVertexBuffer(stride, stride, &b, &offset)) << stride;
    }
    const int made = D3d9LogCount("CreateVertexBuffer");
    EXPECT_FALSE(OvD3D9CreateVertexBuffer(100, 100, &b, &offset));
    EXPECT_EQ(D3d9LogCount("CreateVertexBuffer"), made);
    gBlocks.refuse = false;
    EXPECT_TRUE(OvD3D9CreateVertexBuffer(100, 100, &b, &offset));

    ASSERT_TRUE(OvEngineStop());
    EXPECT_EQ(gBlocks.inUse(), 0);
}
