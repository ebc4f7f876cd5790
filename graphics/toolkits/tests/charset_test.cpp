#include "graphics/toolkits/charset.h"

#include <gtest/gtest.h>

#include <cstring>

#include "graphics/core/error.h"
#include "graphics/core/frame.h"
#include "graphics/core/image.h"
#include "graphics/core/testkit/engine_fixture.h"
#include "graphics/core/testkit/memory_raster_driver.h"
#include "graphics/toolkits/pixel_ray.h"

namespace {

class RasterEngineTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(OvTestEngineUp(0, nullptr, OvTestMemoryRasterDriver())); }
    void TearDown() override { EXPECT_TRUE(OvTestEngineDown()); }
};

using CharsetTest = RasterEngineTest;
using PixelRayTest = RasterEngineTest;

OvInt32 TakeError() {
    OvError e;
    OvErrorGet(&e);
    return e.errorCode;
}

TEST_F(CharsetTest, RasterHoldsEveryGlyphInItsCell) {
    ASSERT_TRUE(OvCharsetOpen());
    ASSERT_TRUE(OvCharsetOpen()); // opened again: the first buffers are freed, not leaked
    OvCharsetDesc desc;
    OvInt32 side = 0;
    const OvUInt8* table = OvCharsetGetMetrics(&desc, &side);
    EXPECT_EQ(side, 128);
    EXPECT_EQ(desc.glyphWidth, 8);
    EXPECT_EQ(desc.glyphHeight, 14);
    EXPECT_EQ(desc.cellWidth, 9);
    EXPECT_EQ(desc.cellHeight, 15);
    EXPECT_EQ(desc.count, 91);
    EXPECT_EQ(desc.cellsPerRow, 14);
    EXPECT_EQ(desc.rows, 7);

    const OvRGBA fg = {250, 240, 10, 255}, bg = {0, 0, 40, 0};
    OvRaster* raster = OvCharsetCreate(&fg, &bg);
    ASSERT_NE(raster, nullptr);
    EXPECT_EQ(raster->width, 128);
    EXPECT_EQ(raster->height, 128);
    OvImage* image = OvImageCreate(128, 128, 32);
    ASSERT_NE(OvImageAllocatePixels(image), nullptr);
    ASSERT_NE(OvImageSetFromRaster(image, raster), nullptr);
    // Every pixel: the glyph table's bit inside a glyph's 8 x 14 box, background everywhere else
    // (the ninth column, the fifteenth row, below the last row, right of the last column).
    int ink = 0;
    for (int y = 0; y < 128; ++y) {
        for (int x = 0; x < 128; ++x) {
            const int column = x / 9, row = y / 15, g = row * 14 + column;
            bool on = false;
            if (column < 14 && g < 91 && x % 9 < 8 && y % 15 < 14) {
                on = (table[g * 15 + y % 15] >> (x % 9)) & 1;
            }
            const OvUInt8* p = image->cpPixels + y * image->stride + 4 * x;
            const OvRGBA& want = on ? fg : bg;
            ASSERT_EQ(p[0], want.red) << x << "," << y;
            ASSERT_EQ(p[1], want.green) << x << "," << y;
            ASSERT_EQ(p[2], want.blue) << x << "," << y;
            ASSERT_EQ(p[3], want.alpha) << x << "," << y;
            ink += on;
        }
    }
    EXPECT_GT(ink, 91 * 10);
    // Glyph 90 ('z') sits at column 6, row 6: its top-left pixel is (54, 90); its top bar is inked.
    EXPECT_EQ(table[90 * 15 + 15 - 1], 0);
    EXPECT_NE(table[90 * 15 + 4], 0);
    // Space is empty; the fifteenth byte of every glyph is empty.
    for (int r = 0; r < 15; ++r) {
        EXPECT_EQ(table[r], 0);
    }
    for (int g = 0; g < 91; ++g) {
        EXPECT_EQ(table[g * 15 + 14], 0) << g;
    }
    OvImageDestroy(image);
    EXPECT_TRUE(OvCharsetDestroy(raster));

    EXPECT_EQ(OvCharsetCreate(nullptr, &bg), nullptr);
    EXPECT_EQ(TakeError(), ovERRNULLARGUMENT);
    EXPECT_FALSE(OvCharsetDestroy(nullptr));
    EXPECT_EQ(TakeError(), ovERRNULLARGUMENT);
    OvCharsetClose();
}

// The camera of the worked example: identity frame, view window (1, 1), near 1, far 2; its near
// corners are (+-1, +-1, 1) and its far ones (+-2, +-2, 2).
TEST_F(PixelRayTest, CentreAndCornerOfAKnownCamera) {
    OvFrame* frame = OvFrameCreate();
    OvCamera* camera = OvCameraCreate();
    OvRaster* raster = OvRasterCreate(100, 80, 0, ovRASTERTYPECAMERA);
    ASSERT_NE(raster, nullptr);
    camera->frameBuffer = raster;
    OvCameraSetFrame(camera, frame);
    OvCameraSetNearClipPlane(camera, 1.0f);
    OvCameraSetFarClipPlane(camera, 2.0f);
    OvFrameSyncDirty();

    auto expect = [](const OvV3d& v, float x, float y, float z) {
        EXPECT_NEAR(v.x, x, 1e-5f);
        EXPECT_NEAR(v.y, y, 1e-5f);
        EXPECT_NEAR(v.z, z, 1e-5f);
    };
    OvLine line;
    const OvV2d corner = {0.0f, 0.0f}, centre = {50.0f, 40.0f}, far = {100.0f, 80.0f}, quarter = {25.0f, 60.0f};
    ASSERT_EQ(OvCameraCalcPixelRay(camera, &line, &corner), &line);
    expect(line.start, 1.0f, 1.0f, 1.0f);
    expect(line.end, 2.0f, 2.0f, 2.0f);
    OvCameraCalcPixelRay(camera, &line, &centre);
    expect(line.start, 0.0f, 0.0f, 1.0f);
    expect(line.end, 0.0f, 0.0f, 2.0f);
    OvCameraCalcPixelRay(camera, &line, &far);
    expect(line.start, -1.0f, -1.0f, 1.0f);
    expect(line.end, -2.0f, -2.0f, 2.0f);
    OvCameraCalcPixelRay(camera, &line, &quarter);
    expect(line.start, 0.5f, -0.5f, 1.0f);

    // The ray's points project back onto the pixel through the camera's view matrix.
    const OvV3d at = {0.0f, 1.0f, 0.0f};
    OvFrameRotate(frame, &at, 30.0f, ovCOMBINEREPLACE);
    const OvV3d move = {3.0f, -2.0f, 5.0f};
    OvFrameTranslate(frame, &move, ovCOMBINEPOSTCONCAT);
    OvFrameSyncDirty();
    OvCameraCalcPixelRay(camera, &line, &quarter);
    for (const OvV3d& p : {line.start, line.end}) {
        OvV3d s;
        OvV3dTransformPoint(&s, &p, &camera->viewMatrix);
        EXPECT_NEAR(s.x / s.z, 0.25f, 1e-4f);
        EXPECT_NEAR(s.y / s.z, 0.75f, 1e-4f);
    }

    EXPECT_EQ(OvCameraCalcPixelRay(camera, &line, nullptr), nullptr);
    camera->frameBuffer = nullptr;
    EXPECT_EQ(OvCameraCalcPixelRay(camera, &line, &centre), nullptr);
    OvRasterDestroy(raster);
    OvCameraDestroy(camera);
    OvFrameDestroy(frame);
}

} // namespace
