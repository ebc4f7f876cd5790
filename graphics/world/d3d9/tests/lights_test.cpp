#include "graphics/world/d3d9/lights.h"

#include <gtest/gtest.h>

#include <random>
#include <set>
#include <vector>

#include "graphics/core/d3d9/device.h"
#include "graphics/core/d3d9/render_state.h"
#include "graphics/core/d3d9/tests/d3d9_fixture.h"

namespace {

constexpr float kPi = 3.14159265358979f;

class D3d9Lights : public D3d9DriverTest {
protected:
    void SetUp() override {
        D3d9DriverTest::SetUp();
        ASSERT_TRUE(Up());
        ASSERT_TRUE(OvD3D9LightsOpen());
    }
    void TearDown() override {
        OvD3D9LightsClose();
        D3d9DriverTest::TearDown();
    }
    static std::set<OvInt32> DeviceEnabled() {
        std::set<OvInt32> on;
        for (OvInt32 i = 0; i < 16; ++i) {
            BOOL b = FALSE;
            if (OvD3D9GetDevice()->GetLightEnable(static_cast<DWORD>(i), &b) == D3D_OK && b)
                on.insert(i);
        }
        return on;
    }
    static void Send(OvInt32 index) {
        D3DLIGHT9 l;
        const float rgb[3] = {1, 1, 1}, dir[3] = {0, 0, 1};
        OvD3D9LightFillDirectional(&l, rgb, dir);
        ASSERT_TRUE(OvD3D9LightSend(index, &l));
    }
};

} // namespace

TEST_F(D3d9Lights, IndicesAreReusedAndRestartWhenTheLastIsReleased) {
    EXPECT_EQ(OvD3D9LightIndexAcquire(), 0);
    EXPECT_EQ(OvD3D9LightIndexAcquire(), 1);
    EXPECT_EQ(OvD3D9LightIndexAcquire(), 2);
    OvD3D9LightIndexRelease(1);
    OvD3D9LightIndexRelease(0);
    EXPECT_EQ(OvD3D9LightIndexAcquire(), 0); // most recently released first
    EXPECT_EQ(OvD3D9LightIndexAcquire(), 1);
    EXPECT_EQ(OvD3D9LightIndexAcquire(), 3);
    for (OvInt32 i : {3, 1, 2, 0})
        OvD3D9LightIndexRelease(i);
    EXPECT_EQ(OvD3D9LightIndexAcquire(), 0); // nothing in use: numbering starts again
    OvD3D9LightIndexRelease(0);
    EXPECT_EQ(OvD3D9LightIndexAcquire(), 0);
}

TEST_F(D3d9Lights, EnableKeepsTheFirstLightsUpToTheDeviceMaximum) {
    ASSERT_EQ(OvD3D9GetCaps()->MaxActiveLights, 8u);
    for (OvInt32 i = 0; i < 10; ++i)
        Send(i);
    OvD3D9LightsEnable(TRUE, 0);
    EXPECT_EQ(DeviceEnabled(), (std::set<OvInt32>{0, 1, 2, 3, 4, 5, 6, 7}));
    EXPECT_EQ(OvD3D9GetRenderState(D3DRS_LIGHTING), static_cast<OvUInt32>(TRUE));
    OvD3D9LightsEnable(FALSE, 0);
    EXPECT_EQ(OvD3D9GetRenderState(D3DRS_LIGHTING), static_cast<OvUInt32>(FALSE));
    EXPECT_EQ(DeviceEnabled().size(), 8u); // switching lighting off leaves the lights alone

    // Objects one after another with random lights: the device holds exactly the first lights
    // of each object, whatever the previous object had.
    std::mt19937 rng(5);
    for (int object = 0; object < 200; ++object) {
        std::vector<OvInt32> sent;
        const int n = static_cast<int>(rng() % 12);
        for (int k = 0; k < n; ++k) {
            OvInt32 index;
            do
                index = static_cast<OvInt32>(rng() % 14);
            while (std::find(sent.begin(), sent.end(), index) != sent.end());
            sent.push_back(index);
            Send(index);
        }
        OvD3D9LightsEnable(TRUE, 0);
        const std::set<OvInt32> want(sent.begin(), sent.begin() + std::min<std::size_t>(sent.size(), 8));
        ASSERT_EQ(DeviceEnabled(), want) << "object " << object;
        ASSERT_EQ(OvD3D9LightsEnabledCount(), static_cast<OvInt32>(want.size()));
    }
}

TEST(D3d9LightRecords, LocalLightsByTypeRangeAndCone) {
    const float rgb[3] = {0.5f, 0.25f, 1}, pos[3] = {1, 2, 3}, dir[3] = {0, -1, 0};
    const OvD3D9LightAttenuation att{1.0f, 0.0f, 5.0f};
    D3DLIGHT9 l;
    EXPECT_FALSE(OvD3D9LightFillLocal(&l, 0x80, rgb, pos, dir, 0.0f, 0, &att));
    EXPECT_FALSE(OvD3D9LightFillLocal(&l, 0x02, rgb, pos, dir, 4.0f, 0, &att));

    ASSERT_TRUE(OvD3D9LightFillLocal(&l, 0x80, rgb, pos, dir, 4.0f, 0, &att));
    EXPECT_EQ(l.Type, D3DLIGHT_POINT);
    EXPECT_EQ(l.Range, 4.0f);
    EXPECT_EQ(l.Attenuation0, 1.0f);
    EXPECT_EQ(l.Attenuation2, 5.0f / 16.0f);
    EXPECT_EQ(l.Diffuse.a, 1.0f);
    EXPECT_EQ(l.Position.z, 3.0f);
    EXPECT_EQ(l.Phi, 0.0f);

    ASSERT_TRUE(OvD3D9LightFillLocal(&l, 0x81, rgb, pos, dir, 4.0f, kPi / 8, &att));
    EXPECT_EQ(l.Type, D3DLIGHT_SPOT);
    EXPECT_FLOAT_EQ(l.Phi, kPi / 4);
    EXPECT_FLOAT_EQ(l.Theta, kPi / 4);
    EXPECT_EQ(l.Direction.y, -1.0f);
    ASSERT_TRUE(OvD3D9LightFillLocal(&l, 0x81, rgb, pos, dir, 4.0f, kPi / 2, &att));
    EXPECT_FLOAT_EQ(l.Phi, kPi);
    EXPECT_FLOAT_EQ(l.Theta, kPi - 0.001f);
    ASSERT_TRUE(OvD3D9LightFillLocal(&l, 0x81, rgb, pos, dir, 4.0f, kPi * 0.75f, &att)); // too wide: cut
    EXPECT_FLOAT_EQ(l.Phi, kPi);
    ASSERT_TRUE(OvD3D9LightFillLocal(&l, 0x82, rgb, pos, dir, 4.0f, kPi / 8, &att));
    EXPECT_EQ(l.Theta, 0.0f);
    EXPECT_FLOAT_EQ(l.Phi, kPi / 4);
}
