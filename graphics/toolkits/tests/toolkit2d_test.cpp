#include "graphics/toolkits/toolkit2d.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "graphics/core/error.h"
#include "graphics/core/frame.h"
#include "graphics/core/image.h"
#include "graphics/core/pipeline.h"
#include "graphics/core/testkit/engine_fixture.h"
#include "graphics/core/testkit/memory_raster_driver.h"
#include "graphics/toolkits/bmp_reader.h"
#include "graphics/toolkits/tests/bmp_bytes.h"
#include "testing/scratch_dir.h"

namespace {

// What the immediate-mode renderer was asked to draw.
struct Draw {
    OvInt32 primType;
    std::vector<OvIm3DVertex> vertices;
    std::vector<OvUInt16> indices;
    OvMatrix matrix;
    OvUInt32 flags;
    void* texture; // texture raster state at the draw
};

std::vector<Draw> gDraws;
void* gTexture = nullptr;
int gAddressingSets = 0; // times the texture addressing state was set

OvBool RecordDraw(OvPipelineNode*, const OvPipelineExecuteParams* params) {
    const auto* b = static_cast<const OvIm3DBatch*>(params->data);
    Draw d;
    d.primType = b->primType;
    d.vertices.assign(b->vertices, b->vertices + b->numVertices);
    if (b->indices != nullptr) {
        d.indices.assign(b->indices, b->indices + b->numIndices);
    }
    d.matrix = b->matrix != nullptr ? *b->matrix : OvMatrix{};
    d.flags = b->flags;
    d.texture = gTexture;
    gDraws.push_back(std::move(d));
    return TRUE;
}

OvBool RecordState(OvInt32 state, void* value) {
    if (state == 1) {
        gTexture = value;
    }
    gAddressingSets += state == 2 ? 1 : 0;
    return TRUE;
}

OvNodeDefinition MakeRecorder() {
    OvNodeDefinition d = {};
    d.name = "Record.test";
    d.body = RecordDraw;
    return d;
}
OvNodeDefinition gRecorder = MakeRecorder();

class Toolkit2dTest : public ::testing::Test {
protected:
    std::filesystem::path dir;
    OvFrame* frame = nullptr;
    OvCamera* camera = nullptr;
    OvRaster* raster = nullptr;
    OvPipeline* recorder = nullptr;
    OvObjectHasFrameSyncFn cameraSync = nullptr; // the camera's own callback

    void SetUp() override {
        gDraws.clear();
        gTexture = nullptr;
        gAddressingSets = 0;
        ASSERT_TRUE(OvTestEngineUp(0, nullptr, OvTestMemoryRasterDriver()));
        OvImageRegisterFileFormat("bmp", OvBmpImageRead, nullptr);
        OvEngineInstancePtr->dOpenDevice.setRenderState = RecordState;
        dir = MakeTestScratchDir("dun_2d");
        // A 200 x 100 view, window (1, 0.5): toolkit units of 100 pixels, the view 2 x 1 units.
        frame = OvFrameCreate();
        camera = OvCameraCreate();
        raster = OvRasterCreate(200, 100, 0, ovRASTERTYPECAMERA);
        ASSERT_NE(raster, nullptr);
        camera->frameBuffer = raster;
        const OvV2d window = {1.0f, 0.5f};
        OvCameraSetViewWindow(camera, &window);
        OvCameraSetFrame(camera, frame);
        OvCameraSetNearClipPlane(camera, 0.1f);
        OvCameraSetFarClipPlane(camera, 100.0f);
        OvFrameSyncDirty();
        cameraSync = camera->object.sync;
        ASSERT_TRUE(Ov2dOpen(camera));
        EXPECT_NE(camera->object.sync, cameraSync);
        ASSERT_NE(Ov2dFontSetPath((dir.string() + "/").c_str()), nullptr);
        recorder = OvPipelineCreate();
        OvPipelineLock(recorder);
        OvPipelineAddFragment(recorder, nullptr, &gRecorder, nullptr);
        OvPipelineUnlock(recorder);
        OvIm3DSetRenderPipeline(recorder, ovPRIMTYPETRILIST);
        OvIm3DSetRenderPipeline(recorder, ovPRIMTYPETRISTRIP);
    }

    void TearDown() override {
        OvIm3DSetRenderPipeline(nullptr, ovPRIMTYPETRILIST);
        OvIm3DSetRenderPipeline(nullptr, ovPRIMTYPETRISTRIP);
        OvPipelineDestroy(recorder);
        EXPECT_TRUE(Ov2dClose());
        EXPECT_EQ(camera->object.sync, cameraSync); // closing gives the camera its callback back
        EXPECT_FALSE(Ov2dClose());
        OvRasterDestroy(raster);
        OvCameraDestroy(camera);
        OvFrameDestroy(frame);
        EXPECT_TRUE(OvTestEngineDown());
        std::filesystem::remove_all(dir);
    }

    void WriteFile(const std::string& name, const std::string& text) {
        std::ofstream(dir / name, std::ios::binary) << text;
    }
    void WriteBmp(const std::string& name, int width, int height, const std::vector<std::uint32_t>& rgb) {
        Bmp bmp;
        bmp.width = width;
        bmp.height = height;
        for (const std::uint32_t p : rgb) {
            bmp.colours.push_back({std::uint8_t(p >> 16), std::uint8_t(p >> 8), std::uint8_t(p)});
        }
        const std::vector<std::uint8_t> b = bmp.Bytes();
        std::ofstream(dir / name, std::ios::binary)
            .write(reinterpret_cast<const char*>(b.data()), static_cast<std::streamsize>(b.size()));
    }
    // A plain page of the size.
    void WritePage(const std::string& name, int width, int height) {
        WriteBmp(name, width, height, std::vector<std::uint32_t>(static_cast<std::size_t>(width * height), 0xFFFFFF));
    }

    // Where a toolkit point lands on the screen (0..1, y down), through the drawing matrix.
    OvV2d Screen(const OvMatrix& m, float x, float y, float z) const {
        const OvV3d p = {x, y, z};
        OvV3d world, s;
        OvV3dTransformPoint(&world, &p, &m);
        OvV3dTransformPoint(&s, &world, &camera->viewMatrix);
        return {s.x / s.z, s.y / s.z};
    }
};

OvInt32 TakeError() {
    OvError e;
    OvErrorGet(&e);
    return e.errorCode;
}

// The view's corners map to the screen's, at the layer depth, through CTM changes.
TEST_F(Toolkit2dTest, DeviceMapsTheViewWindowCorners) {
    OvV2d extent;
    ASSERT_TRUE(Ov2dDeviceGetAspect(&extent));
    EXPECT_EQ(extent.x, 2.0f);
    EXPECT_EQ(extent.y, 1.0f);
    for (float depth : {1.0f, 0.3f, 7.5f}) {
        ASSERT_TRUE(Ov2dDeviceSetLayerDepth(depth));
        const OvMatrix m = *Ov2dDeviceGetMatrix();
        const struct {
            float x, y, sx, sy;
        } cases[] = {{0, 0, 0, 1}, {2, 1, 1, 0}, {2, 0, 1, 1}, {0, 1, 0, 0}, {1, 0.5f, 0.5f, 0.5f}};
        for (const auto& c : cases) {
            const OvV2d s = Screen(m, c.x, c.y, depth);
            EXPECT_NEAR(s.x, c.sx, 1e-5f) << depth;
            EXPECT_NEAR(s.y, c.sy, 1e-5f) << depth;
            OvV3d camera3;
            const OvV3d p = {c.x, c.y, depth};
            OvV3dTransformPoint(&camera3, &p, &m);
            EXPECT_NEAR(camera3.z, depth, 1e-6f);
        }
    }
    // The CTM applies first: scaled by 2 and moved by (0.5, 0.25), (0, 0) lands at (0.25, 0.75).
    Ov2dCTMTranslate(0.5f, 0.25f);
    Ov2dCTMScale(2.0f, 2.0f);
    OvV2d s = Screen(*Ov2dDeviceGetMatrix(), 0.0f, 0.0f, 7.5f);
    EXPECT_NEAR(s.x, 0.25f, 1e-5f);
    EXPECT_NEAR(s.y, 0.75f, 1e-5f);
    s = Screen(*Ov2dDeviceGetMatrix(), 0.5f, 0.25f, 7.5f);
    EXPECT_NEAR(s.x, 0.75f, 1e-5f);
    EXPECT_NEAR(s.y, 0.25f, 1e-5f);
    Ov2dCTMSetIdentity();

    // A moved camera carries the drawing with it: the drawing matrix includes its frame.
    const OvV3d move = {4.0f, 1.0f, -3.0f};
    OvFrameTranslate(frame, &move, ovCOMBINEREPLACE);
    OvFrameSyncDirty();
    Ov2dBrush* brush = Ov2dBrushCreate();
    Ov2dPath* path = Ov2dPathCreate();
    Ov2dPathMoveto(path, 0.0f, 0.5f);
    Ov2dPathLineto(path, 2.0f, 0.5f);
    Ov2dPathStroke(path, brush);
    ASSERT_EQ(gDraws.size(), 1u);
    s = Screen(gDraws[0].matrix, 1.0f, 0.5f, 7.5f);
    EXPECT_NEAR(s.x, 0.5f, 1e-5f);
    EXPECT_NEAR(s.y, 0.5f, 1e-5f);

    // A parallel camera maps at depth 1 whatever the layer depth; the vertices keep their z.
    OvCameraSetProjection(camera, ovPARALLEL);
    const OvV3d origin = {0.0f, 0.0f, 7.5f};
    OvV3d c;
    Ov2dDeviceSetLayerDepth(2.0f);
    OvV3dTransformPoint(&c, &origin, Ov2dDeviceGetMatrix());
    EXPECT_NEAR(c.x, 1.0f, 1e-6f); // the view window's half width
    EXPECT_NEAR(c.y, -0.5f, 1e-6f);
    EXPECT_NEAR(c.z, 7.5f, 1e-6f);

    // Setters refuse values that are not positive.
    EXPECT_FALSE(Ov2dDeviceSetLayerDepth(0.0f));
    EXPECT_FALSE(Ov2dDeviceSetFlatness(-1.0f));
    EXPECT_FALSE(Ov2dDeviceSetFlatness(std::nanf("")));
    Ov2dPathDestroy(path);
    Ov2dBrushDestroy(brush);
}

TEST_F(Toolkit2dTest, CtmStackLimitsAndCameraHook) {
    for (int i = 0; i < ov2dCTMSTACKSIZE - 1; ++i) {
        ASSERT_TRUE(Ov2dCTMPush()) << i;
        Ov2dCTMTranslate(1.0f, 0.0f);
    }
    EXPECT_FALSE(Ov2dCTMPush());
    EXPECT_NEAR(Ov2dCTMGet()->pos.x, 31.0f, 1e-4f);
    for (int i = 0; i < ov2dCTMSTACKSIZE - 1; ++i) {
        ASSERT_TRUE(Ov2dCTMPop()) << i;
    }
    EXPECT_FALSE(Ov2dCTMPop());
    EXPECT_EQ(Ov2dCTMGet()->pos.x, 0.0f);

    // A resize reaches the device through the camera's frame sync; closing gives the camera back
    // its own callback.
    const OvV2d window = {0.5f, 1.0f};
    OvCameraSetViewWindow(camera, &window);
    const OvV3d still = {0.0f, 0.0f, 0.0f};
    OvFrameTranslate(frame, &still, ovCOMBINEPOSTCONCAT);
    OvFrameSyncDirty();
    OvV2d extent;
    Ov2dDeviceGetAspect(&extent);
    EXPECT_EQ(extent.x, 1.0f);
    EXPECT_EQ(extent.y, 2.0f);
    const OvObjectHasFrameSyncFn hook = camera->object.sync;
    EXPECT_FALSE(Ov2dDeviceSetCamera(nullptr));
    EXPECT_NE(camera->object.sync, hook);
    EXPECT_EQ(Ov2dDeviceGetCamera(), nullptr);
    ASSERT_TRUE(Ov2dDeviceSetCamera(camera));
    EXPECT_EQ(camera->object.sync, hook);
}

TEST_F(Toolkit2dTest, PathNormalsMitresAndClosing) {
    Ov2dPath* path = Ov2dPathCreate();
    Ov2dPathMoveto(path, 0.0f, 0.0f);
    Ov2dPathLineto(path, 1.0f, 0.0f);
    Ov2dPathLineto(path, 1.0f, 0.0f); // no length: nothing
    Ov2dPathLineto(path, 1.0f, 1.0f);
    OvInt32 n;
    const Ov2dSegment* s = Ov2dPathGetSegments(path, &n);
    ASSERT_EQ(n, 3);
    // Right-hand normals (dy, -dx) / length; the joint takes the mitre (1, -1), which keeps both
    // edges at unit distance.
    EXPECT_EQ(s[0].nx, 0.0f);
    EXPECT_EQ(s[0].ny, -1.0f);
    EXPECT_FLOAT_EQ(s[1].nx, 1.0f);
    EXPECT_FLOAT_EQ(s[1].ny, -1.0f);
    EXPECT_EQ(s[2].nx, 1.0f);
    EXPECT_EQ(s[2].length, 2.0f);

    // Closing adds the line back; an explicit line back makes closing add nothing.
    for (bool explicitBack : {false, true}) {
        Ov2dPath* square = Ov2dPathCreate();
        Ov2dPathMoveto(square, 0.0f, 0.0f);
        Ov2dPathLineto(square, 1.0f, 0.0f);
        Ov2dPathLineto(square, 1.0f, 1.0f);
        Ov2dPathLineto(square, 0.0f, 1.0f);
        if (explicitBack) {
            Ov2dPathLineto(square, 0.0f, 0.0f);
        }
        Ov2dPathClosepath(square);
        const Ov2dSegment* q = Ov2dPathGetSegments(square, &n);
        ASSERT_EQ(n, 5) << explicitBack;
        EXPECT_TRUE(square->closed);
        EXPECT_EQ(q[4].length, 4.0f);
        for (const Ov2dSegment* e : {&q[0], &q[4]}) {
            EXPECT_FLOAT_EQ(e->nx, -1.0f);
            EXPECT_FLOAT_EQ(e->ny, -1.0f);
        }
        Ov2dPathDestroy(square);
    }

    // A moveto after segments starts a new sub-path; a turn back on itself keeps a finite normal.
    Ov2dPathMoveto(path, 5.0f, 5.0f);
    Ov2dPathLineto(path, 6.0f, 5.0f);
    Ov2dPathLineto(path, 5.0f, 5.0f);
    ASSERT_NE(path->next, nullptr);
    EXPECT_EQ(path->current, path->next);
    s = Ov2dPathGetSegments(path->next, &n);
    ASSERT_EQ(n, 3);
    EXPECT_TRUE(std::isfinite(s[1].nx) && std::isfinite(s[1].ny));
    Ov2dPathDestroy(path);
}

// Distance from the point to the polyline.
float DistanceToPolyline(float px, float py, const Ov2dSegment* s, OvInt32 n) {
    float best = 1e30f;
    for (OvInt32 i = 0; i + 1 < n; ++i) {
        const float dx = s[i + 1].x - s[i].x, dy = s[i + 1].y - s[i].y;
        const float len2 = dx * dx + dy * dy;
        float t = len2 > 0.0f ? ((px - s[i].x) * dx + (py - s[i].y) * dy) / len2 : 0.0f;
        t = t < 0.0f ? 0.0f : t > 1.0f ? 1.0f : t;
        const float ex = s[i].x + dx * t - px, ey = s[i].y + dy * t - py;
        best = std::min(best, std::sqrt(ex * ex + ey * ey));
    }
    return best;
}

TEST_F(Toolkit2dTest, CurvesFlattenWithinTheFlatness) {
    const float c[8] = {0.1f, 0.1f, 0.4f, 0.95f, 1.3f, -0.6f, 1.9f, 0.8f};
    Ov2dPath* path = Ov2dPathCreate();
    Ov2dPathMoveto(path, c[0], c[1]);
    Ov2dPathCurveto(path, c[2], c[3], c[4], c[5], c[6], c[7]);
    Ov2dPath* flat = Ov2dPathCreate();
    OvInt32 previous = 0;
    for (float flatness : {0.1f, 0.5f, 2.0f, 8.0f}) {
        ASSERT_TRUE(Ov2dDeviceSetFlatness(flatness));
        // A flatness step is flatness pixels; a pixel is 1/100 of a unit here.
        const float step = std::sqrt(Ov2dDeviceGetPixelSizeSquared());
        EXPECT_NEAR(step, 0.01f * flatness, 1e-6f);
        Ov2dPathFlatten(path, flat);
        OvInt32 n;
        const Ov2dSegment* s = Ov2dPathGetSegments(flat, &n);
        ASSERT_GE(n, 2);
        EXPECT_LE(n, 1 + (1 << ov2dFLATTENDEPTH));
        EXPECT_EQ(s[0].x, c[0]);
        EXPECT_EQ(s[n - 1].x, c[6]);
        EXPECT_EQ(s[n - 1].y, c[7]);
        // Every point of the true curve lies within one flatness step of the lines.
        for (int i = 0; i <= 400; ++i) {
            const float t = static_cast<float>(i) / 400.0f, u = 1.0f - t;
            const float b0 = u * u * u, b1 = 3 * u * u * t, b2 = 3 * u * t * t, b3 = t * t * t;
            const float x = b0 * c[0] + b1 * c[2] + b2 * c[4] + b3 * c[6];
            const float y = b0 * c[1] + b1 * c[3] + b2 * c[5] + b3 * c[7];
            ASSERT_LE(DistanceToPolyline(x, y, s, n), step * 1.001f + 1e-6f) << flatness << " t " << t;
        }
        if (previous > 0) {
            EXPECT_LE(n, previous); // coarser flatness, no more lines
        }
        previous = n;
    }
    EXPECT_GT(previous, 2);
    Ov2dPathDestroy(flat);
    Ov2dPathDestroy(path);
}

TEST_F(Toolkit2dTest, StrokeBatchesAndBrushColours) {
    Ov2dBrush* brush = Ov2dBrushCreate();
    EXPECT_EQ(brush->packed, 0xFFFFFFFFu);
    EXPECT_EQ(brush->flags, static_cast<OvUInt32>(ov2dBRUSHUVSVARY)); // the texture's corners
    // Four equal colours draw with the packed colour.
    const OvRGBA grey = {10, 20, 30, 40};
    Ov2dBrushSetColors(brush, &grey, &grey, &grey, &grey);
    EXPECT_EQ(brush->flags & ov2dBRUSHCOLOURSVARY, 0u);
    EXPECT_EQ(brush->packed, 0x280A141Eu);
    Ov2dBrushSetWidth(brush, 0.2f);
    ASSERT_TRUE(Ov2dDeviceSetLayerDepth(2.0f));

    // 300 points: strips of 254 vertices, each after the first starting again at the last point
    // of the one before.
    Ov2dPath* path = Ov2dPathCreate();
    Ov2dPathMoveto(path, 0.0f, 0.0f);
    for (int i = 1; i < 300; ++i) {
        Ov2dPathLineto(path, 0.01f * static_cast<float>(i), (i & 1) ? 0.02f : 0.0f);
    }
    Ov2dPathStroke(path, brush);
    ASSERT_EQ(gDraws.size(), 3u);
    EXPECT_EQ(gDraws[0].vertices.size(), 254u);
    EXPECT_EQ(gDraws[1].vertices.size(), 254u);
    EXPECT_EQ(gDraws[2].vertices.size(), 2u * (300 - 127 - 126 + 1));
    for (std::size_t b = 0; b < 3; ++b) {
        EXPECT_EQ(gDraws[b].primType, ovPRIMTYPETRISTRIP);
        EXPECT_EQ(gDraws[b].indices.size(), gDraws[b].vertices.size());
        EXPECT_EQ(gDraws[b].indices.back(), gDraws[b].vertices.size() - 1);
        EXPECT_EQ(gDraws[b].texture, nullptr);
        for (const OvIm3DVertex& v : gDraws[b].vertices) {
            ASSERT_EQ(v.color, 0x280A141Eu);
            ASSERT_EQ(v.objVertex.z, 2.0f);
        }
    }
    for (int k = 0; k < 2; ++k) {
        EXPECT_EQ(std::memcmp(&gDraws[1].vertices[static_cast<std::size_t>(k)], &gDraws[0].vertices[252u + k],
                              sizeof(OvIm3DVertex)),
                  0);
    }
    // Either side lies half the width from the point along the normal.
    const OvIm3DVertex& a = gDraws[0].vertices[0];
    const OvIm3DVertex& b = gDraws[0].vertices[1];
    EXPECT_NEAR(std::hypot(a.objVertex.x - b.objVertex.x, a.objVertex.y - b.objVertex.y), 0.2f, 1e-6f);

    // Corner colours: the left side runs from corner 4 to 3, the right from 1 to 2, by length.
    gDraws.clear();
    const OvRGBA c1 = {0, 0, 0, 255}, c2 = {200, 0, 0, 255}, c3 = {0, 100, 0, 255}, c4 = {0, 0, 250, 255};
    Ov2dBrushSetColors(brush, &c1, &c2, &c3, &c4);
    EXPECT_NE(brush->flags & ov2dBRUSHCOLOURSVARY, 0u);
    Ov2dPath* line = Ov2dPathCreate();
    Ov2dPathMoveto(line, 0.0f, 0.5f);
    Ov2dPathLineto(line, 1.0f, 0.5f);
    Ov2dPathLineto(line, 2.0f, 0.5f);
    Ov2dPathStroke(line, brush);
    ASSERT_EQ(gDraws.size(), 1u);
    const std::vector<OvIm3DVertex>& v = gDraws[0].vertices;
    ASSERT_EQ(v.size(), 6u);
    EXPECT_GT(v[0].objVertex.y, 0.5f); // left of travel: above
    EXPECT_EQ(v[0].color, 0xFF0000FAu);
    EXPECT_EQ(v[1].color, 0xFF000000u);
    EXPECT_EQ(v[2].color, 0xFF00327Du); // half way: (0, 50, 125)
    EXPECT_EQ(v[3].color, 0xFF640000u);
    EXPECT_EQ(v[4].color, 0xFF006400u);
    EXPECT_EQ(v[5].color, 0xFFC80000u);
    Ov2dPathDestroy(line);
    Ov2dPathDestroy(path);
    EXPECT_TRUE(Ov2dBrushDestroy(brush));
}

// A bitmap font with explicit rectangles: the formulas, the mask beside the metrics file, the
// switch to 16-bit strings and the extended map.
TEST_F(Toolkit2dTest, ExplicitRectangleFont) {
    WritePage("page.bmp", 32, 16);
    WritePage("mpage.bmp", 32, 16);
    WriteFile("F1.met", "METRICS1\npage\n3\n65 0 0 10 14\n# a comment line\n66 10 0 18 14\n0x12C 18 0 26 14\n"
                        "200 26 1 31 15\n0x100 0 0 3 14\n\n67 1 2 3\n68 1x 2 3 4\n0 0 0 3 14\n0x12C 0 1 3 14\n");
    // The font's folder is the second of the path: the mask is looked for there.
    Ov2dFontSetPath(("nowhere/;" + dir.string() + "/").c_str());
    Ov2dFont* font = Ov2dFontRead("F1");
    ASSERT_NE(font, nullptr) << Ov2dFontGetReadError();
    EXPECT_EQ(font->type, ov2dFONTBITMAP);
    EXPECT_EQ(font->numGlyphs, 5);
    // The lines that are not glyphs (a blank one aside) and the glyphs left out, each with its line
    // and cause; the first glyph given for a code is kept.
    const auto said = [&](const char* line, const char* end = "; it is left out, its character not drawn") {
        return dir.string() + "/F1.met:" + line + end + "\n";
    };
    EXPECT_EQ(Ov2dFontGetSkippedLines(),
              said("5: not a glyph: its code '#' is not a number") +
                  said("11: not a glyph: the line ends before its bottom edge") +
                  said("12: not a glyph: its left edge '1x' is not a number") +
                  said("13: glyph code 0 ends every text, it is never drawn", "; the glyph is left out") +
                  said("14: glyph code 300 (U+012C) is given already at line 7", "; this glyph is left out"));
    EXPECT_EQ(font->height, 14.0f); // the last glyph kept
    EXPECT_FLOAT_EQ(font->baseline, 3.0f / 14.0f);
    EXPECT_EQ(font->flags, static_cast<OvUInt32>(ov2dFONTFLAG16BIT));
    ASSERT_NE(font->pages[0], nullptr);
    EXPECT_STREQ(font->pages[0]->name, "page");
    EXPECT_STREQ(font->pages[0]->mask, "mpage");
    const Ov2dGlyph* a = Ov2dFontGetGlyph(font, 'A');
    ASSERT_NE(a, nullptr);
    EXPECT_FLOAT_EQ(a->advance, 10.0f / 14.0f);
    EXPECT_FLOAT_EQ(a->u0, 0.5f / 32.0f);
    EXPECT_FLOAT_EQ(a->v0, 0.5f / 16.0f);
    EXPECT_FLOAT_EQ(a->u1, 10.5f / 32.0f);
    EXPECT_FLOAT_EQ(a->v1, 14.5f / 16.0f);
    EXPECT_EQ(a->texture, font->pages[0]);
    EXPECT_EQ(font->extFirst, 200);
    EXPECT_EQ(font->extCount, 0x12C - 200 + 1);
    ASSERT_NE(Ov2dFontGetGlyph(font, 0x12C), nullptr);
    EXPECT_FLOAT_EQ(Ov2dFontGetGlyph(font, 0x12C)->advance, 8.0f / 14.0f);
    EXPECT_EQ(Ov2dFontGetGlyph(font, 201), nullptr);
    EXPECT_EQ(Ov2dFontGetGlyph(font, 'C'), nullptr);

    // Widths count only the characters with glyphs (16-bit little-endian characters here, ending
    // at two zero bytes: U+0100, whose low byte is zero, is a character like the others).
    const char text[] = {'A', 0, '?', 0, 0, 1, 'B', 0, static_cast<char>(0xC8), 0, 0, 1, 0, 0};
    EXPECT_FLOAT_EQ(Ov2dFontGetStringWidth(font, text, 2.0f), 2.0f * (10.0f + 3.0f + 8.0f + 5.0f + 3.0f) / 14.0f);
    font->extraAdvance = 0.25f;
    EXPECT_FLOAT_EQ(Ov2dFontGetStringWidth(font, text, 1.0f), (10.0f + 3.0f + 8.0f + 5.0f + 3.0f) / 14.0f + 1.25f);
    EXPECT_TRUE(Ov2dFontDestroy(font));

    // Without the mask file and with codes below 128 only: 8-bit strings, no mask.
    std::filesystem::remove(dir / "mpage.bmp");
    WriteFile("F2.met", "METRICS1\r\npage\r\n2\r\n65 0 0 10 14\r\n66 10 0 18 12\r\n");
    font = Ov2dFontRead("F2");
    ASSERT_NE(font, nullptr) << Ov2dFontGetReadError();
    EXPECT_EQ(font->flags, 0u);
    EXPECT_STREQ(Ov2dFontGetSkippedLines(), "");
    EXPECT_STREQ(font->pages[0]->mask, "");
    EXPECT_EQ(font->height, 12.0f); // the last glyph's height
    EXPECT_FLOAT_EQ(font->baseline, 2.0f / 12.0f);
    EXPECT_FLOAT_EQ(Ov2dFontGetStringWidth(font, "AxB", 12.0f), 10.0f * 12.0f / 14.0f + 8.0f);
    Ov2dFontDestroy(font);
    // Of many lines that are not glyphs, five are said and the rest counted.
    WriteFile("F3.met", "METRICS1\npage\n3\n65 0 0 10 14\nx\nx\nx\nx\nx\nx\nx\n");
    Ov2dFontDestroy(Ov2dFontRead("F3"));
    const std::string many = Ov2dFontGetSkippedLines();
    EXPECT_EQ(std::count(many.begin(), many.end(), '\n'), 6) << many;
    EXPECT_NE(many.find("F3.met:9: not a glyph"), std::string::npos) << many;
    EXPECT_NE(many.find("F3.met: 2 more lines are left out of the font\n"), std::string::npos) << many;

    // The page and its mask are looked for along the whole font path, not only beside the
    // metrics file; the image path is given back afterwards.
    std::filesystem::create_directory(dir / "metrics");
    std::ofstream(dir / "metrics" / "F7.met", std::ios::binary) << "METRICS1\npage\n010\n65 0 0 10 14\n";
    WritePage("mpage.bmp", 32, 16);
    Ov2dFontSetPath((dir.string() + "/metrics/;" + dir.string() + "/").c_str());
    OvImageSetPath("elsewhere/");
    font = Ov2dFontRead("F7");
    ASSERT_NE(font, nullptr) << Ov2dFontGetReadError();
    EXPECT_STREQ(font->pages[0]->mask, "mpage");
    EXPECT_STREQ(OvImageGetPath(), "elsewhere/");
    EXPECT_FLOAT_EQ(font->baseline, 10.0f / 14.0f); // the baseline is decimal: 010 is ten
    Ov2dFontDestroy(font);
    OvImageSetPath("");
}

TEST_F(Toolkit2dTest, MalformedMetricsFail) {
    WritePage("page.bmp", 32, 16);
    const struct {
        const char* text;
        const char* why;
    } cases[] = {
        {"METRICS4\npage\n3\n65 0 0 10 14\n", "unknown format"},
        {"METRICS1", "unknown format"},
        {"", "unknown format"},
        {"METRICS1\n\n3\n65 0 0 10 14\n", "image line"},
        {"METRICS1\nabcdefghijklmnopqrstuvwxyz0123456789\n3\n65 0 0 10 14\n", "image line"},
        {"METRICS1\nmissing\n3\n65 0 0 10 14\n", "cannot read the texture"},
        {"METRICS1\npage\nthree\n65 0 0 10 14\n", "baseline"},
        {"METRICS1\npage\n", "bad.met:3: the file ends before the baseline"},
        {"METRICS1\npage\n2147483647\n65 0 0 10 14\n", "bad.met:3: baseline 2147483647 lies outside"},
        {"METRICS1\npage\n65 0 0 10 14\n66 10 0 18 14\n", "bad.met:3: no baseline line: this line holds the 5 numbers"},
        {"METRICS1\npage\n3 4\n65 0 0 10 14\n", "bad.met:3: baseline line holds 2 numbers"},
        {"METRICS1\npage\n3abc \r\n65 0 0 10 14\n", "bad.met:3: baseline line holds '3abc' where one number"},
        {"METRICS1\npage\n4294967296\n65 0 0 10 14\n", "bad.met:3: baseline 4294967296 does not fit in 32 bits"},
        {"METRICS1\npage\n3\n65 0 0 4294967295 14\n", "bad.met:4: glyph right edge 4294967295 does not fit in 32 bits"},
        {"METRICS1\npage\n3\n99999999999999999999 0 0 10 14\n", "bad.met:4: glyph code 99999999999999999999 does"},
        {"METRICS1\npage\n-17\n65 0 0 10 14\n", "outside the page's 16 pixel rows"},
        {"METRICS2\npage\n2147483647\nA\n", "bad.met:3: baseline 2147483647 lies outside"},
        {"METRICS1\npage\n3\n65536 0 0 10 14\n", "out of range"},
        {"METRICS1\npage\n3\n-1 0 0 10 14\n", "out of range"},
        {"METRICS1\npage\n3\n65 0 4 10 4\n", "no height"},
        {"METRICS1\npage\n3\n65 10 0 4 14\n", "negative width"},
        {"METRICS1\npage\n3\n65 0 0 10 14\n32 10 0 14 2147483647\n",
         "bad.met:5: glyph rectangle 10 0 14 2147483647 lies outside the page's 32 x 16"},
        {"METRICS1\npage\n3\n65 -1 0 10 14\n", "outside the page"},
        {"METRICS1\npage\n3\n65 30 2 33 16\n", "outside the page"},
        {"METRICS1\npage\n3\n", "no glyph"},
        {"METRICS2\npage\n3\nA\n", "too small"}, // all white: the second row is a separator
        {"METRICS3\nt\nc\xFF\nbegin\nend\n", "bad UTF-8"},
        {"METRICS3\nt\nc\xF0\x90\x80\x80\nbegin\nend\n", "beyond 0xFFFF"},
    };
    for (const auto& c : cases) {
        WriteFile("bad.met", c.text);
        Ov2dFont* font = Ov2dFontRead("bad");
        EXPECT_EQ(font, nullptr) << c.text;
        EXPECT_NE(std::strstr(Ov2dFontGetReadError(), c.why), nullptr) << c.text << " -> " << Ov2dFontGetReadError();
        TakeError();
    }
    // A baseline as far as the page's height either way reads.
    for (const char* baseline : {"16", "-16"}) {
        WriteFile("edge.met", std::string("METRICS1\npage\n") + baseline + "\n65 0 0 10 14\n");
        Ov2dFont* font = Ov2dFontRead("edge");
        ASSERT_NE(font, nullptr) << baseline << ": " << Ov2dFontGetReadError();
        EXPECT_FLOAT_EQ(font->baseline, std::stof(baseline) / 14.0f);
        Ov2dFontDestroy(font);
    }
    EXPECT_EQ(Ov2dFontRead("absent"), nullptr);
    EXPECT_NE(std::strstr(Ov2dFontGetReadError(), "not found"), nullptr);
    EXPECT_EQ(TakeError(), ovERRFILEOPEN);
}

// A page whose boxes are marked in the image: separator (red) at the top left of each band and at
// the box edges of its top row.
std::vector<std::uint32_t> MarkedPage(int width, int height, int band, const std::vector<std::vector<int>>& edges) {
    std::vector<std::uint32_t> p(static_cast<std::size_t>(width * height), 0xFFFFFF);
    for (std::size_t b = 0; b < edges.size(); ++b) {
        const int top = static_cast<int>(b) * band;
        p[static_cast<std::size_t>(top * width)] = 0xFF0000;
        for (int x : edges[b]) {
            p[static_cast<std::size_t>(top * width + x)] = 0xFF0000;
        }
    }
    return p;
}

TEST_F(Toolkit2dTest, MarkedPageFont) {
    // (Pages are powers of two: the test driver would resample others.)
    WriteBmp("p1.bmp", 32, 32, MarkedPage(32, 32, 16, {{1, 9, 20}, {14}}));
    WriteBmp("p2.bmp", 16, 16, MarkedPage(16, 16, 16, {{2, 12}}));
    WriteBmp("mp1.bmp", 32, 32, MarkedPage(32, 32, 16, {{1}}));
    WriteFile("F3.met", "METRICS2\np1\n2\nA\xC3\xA9\nCZ\np2 \n4\nxD\n");
    Ov2dFont* font = Ov2dFontRead("F3");
    ASSERT_NE(font, nullptr) << Ov2dFontGetReadError();
    // A character past the page's last box, and one whose box has no room for a glyph, are left out.
    const std::string at = dir.string() + "/F3.met:";
    EXPECT_EQ(Ov2dFontGetSkippedLines(),
              at + "5: the characters from 'Z' on have no box on the page; they are left out, not drawn\n" + at +
                  "8: the box of 'x' from column 0 to 2 leaves no pixel for its glyph; it is left out, its character "
                  "not drawn\n");
    // A marked page named alone has no mask, even with an "m" file beside it.
    EXPECT_STREQ(font->pages[0]->mask, "");
    EXPECT_EQ(font->type, ov2dFONTBITMAP);
    EXPECT_EQ(font->numGlyphs, 4);
    EXPECT_EQ(font->flags, static_cast<OvUInt32>(ov2dFONTFLAG16BIT)); // U+00E9
    // The last page sets the height (16 - 3) and baseline.
    EXPECT_EQ(font->height, 13.0f);
    EXPECT_FLOAT_EQ(font->baseline, 4.0f / 13.0f);
    const Ov2dGlyph* a = Ov2dFontGetGlyph(font, 'A');
    const Ov2dGlyph* e = Ov2dFontGetGlyph(font, 0xE9);
    const Ov2dGlyph* c = Ov2dFontGetGlyph(font, 'C');
    const Ov2dGlyph* d = Ov2dFontGetGlyph(font, 'D');
    ASSERT_TRUE(a && e && c && d);
    // x = 1 follows the separator at 0 and closes nothing; boxes (1, 9), (9, 20), (0, 14).
    EXPECT_FLOAT_EQ(a->u0, 3.5f / 32.0f);
    EXPECT_FLOAT_EQ(a->u1, 8.5f / 32.0f);
    EXPECT_FLOAT_EQ(a->v0, 2.5f / 32.0f);
    EXPECT_FLOAT_EQ(a->v1, 15.5f / 32.0f);
    EXPECT_FLOAT_EQ(a->advance, 5.0f / 13.0f);
    EXPECT_FLOAT_EQ(e->u0, 11.5f / 32.0f);
    EXPECT_FLOAT_EQ(e->advance, 8.0f / 13.0f);
    EXPECT_FLOAT_EQ(c->v0, 18.5f / 32.0f);
    EXPECT_FLOAT_EQ(c->v1, 31.5f / 32.0f);
    EXPECT_FLOAT_EQ(c->advance, 11.0f / 13.0f);
    EXPECT_EQ(d->page, 1);
    EXPECT_EQ(d->texture, font->pages[1]);
    EXPECT_FLOAT_EQ(d->advance, 7.0f / 13.0f);

    // Text across two pages: one draw per page run, textures set per draw.
    Ov2dBrush* brush = Ov2dBrushCreate();
    const char text[] = {'A', 0, 'C', 0, 'D', 0, 'A', 0, 0, 0};
    const OvV2d anchor = {0.5f, 0.25f};
    ASSERT_NE(Ov2dFontShow(font, text, 0.5f, &anchor, brush), nullptr);
    ASSERT_EQ(gDraws.size(), 3u);
    EXPECT_EQ(gDraws[0].vertices.size(), 8u);
    EXPECT_EQ(gDraws[0].texture, font->pages[0]->raster);
    EXPECT_EQ(gDraws[1].texture, font->pages[1]->raster);
    EXPECT_EQ(gDraws[2].texture, font->pages[0]->raster);
    Ov2dBrushDestroy(brush);
    Ov2dFontDestroy(font);

    // Bands of three rows leave no room for a glyph; bad UTF-8 in the text fails.
    WriteBmp("p3.bmp", 16, 16, MarkedPage(16, 16, 3, {{5}, {5}, {5}, {5}, {5}}));
    WriteFile("F4.met", "METRICS2\np3\n1\nAB\n");
    EXPECT_EQ(Ov2dFontRead("F4"), nullptr);
    EXPECT_NE(std::strstr(Ov2dFontGetReadError(), "too small"), nullptr) << Ov2dFontGetReadError();
    WriteFile("F5.met", "METRICS2\np1\n1\nA\xC3(\n");
    EXPECT_EQ(Ov2dFontRead("F5"), nullptr);
    EXPECT_NE(std::strstr(Ov2dFontGetReadError(), "UTF-8"), nullptr) << Ov2dFontGetReadError();
    TakeError();
}

TEST_F(Toolkit2dTest, BitmapTextQuadsAndBatches) {
    WritePage("page.bmp", 32, 16);
    WriteFile("F6.met", "METRICS1\npage\n7\n65 0 0 7 14\n66 7 0 21 14\n");
    Ov2dFont* font = Ov2dFontRead("F6");
    ASSERT_NE(font, nullptr) << Ov2dFontGetReadError();
    Ov2dBrush* brush = Ov2dBrushCreate();
    // 70 glyphs: a full batch of 64 quads (384 indices), then 6 more.
    std::string text(70, 'A');
    text[1] = 'B';
    text[2] = '~'; // no glyph: skipped
    const OvV2d anchor = {0.5f, 0.25f};
    ASSERT_NE(Ov2dFontShow(font, text.c_str(), 0.2f, &anchor, brush), nullptr);
    ASSERT_EQ(gDraws.size(), 2u);
    EXPECT_EQ(gDraws[0].primType, ovPRIMTYPETRILIST);
    EXPECT_EQ(gDraws[0].vertices.size(), 256u);
    EXPECT_EQ(gDraws[0].indices.size(), 384u);
    EXPECT_EQ(gDraws[1].vertices.size(), 4u * 5u);
    EXPECT_EQ(gDraws[0].flags & ovIM3D_VERTEXUV, static_cast<OvUInt32>(ovIM3D_VERTEXUV));
    EXPECT_EQ(gDraws[0].texture, font->pages[0]->raster);
    const std::vector<OvUInt16>& idx = gDraws[0].indices;
    const OvUInt16 first[12] = {0, 2, 3, 0, 3, 1, 4, 6, 7, 4, 7, 5};
    EXPECT_EQ(std::memcmp(idx.data(), first, sizeof first), 0);
    // Quad corners: pen to pen + advance, 0 to 1 high, with the glyph's rectangle.
    const std::vector<OvIm3DVertex>& v = gDraws[0].vertices;
    EXPECT_EQ(v[0].objVertex.x, 0.0f);
    EXPECT_EQ(v[0].objVertex.y, 1.0f);
    EXPECT_FLOAT_EQ(v[1].objVertex.x, 0.5f);
    EXPECT_EQ(v[3].objVertex.y, 0.0f);
    EXPECT_FLOAT_EQ(v[4].objVertex.x, 0.5f);
    EXPECT_FLOAT_EQ(v[5].objVertex.x, 1.5f);
    EXPECT_FLOAT_EQ(v[8].objVertex.x, 1.5f); // '~' took no room
    EXPECT_FLOAT_EQ(v[5].u, 21.5f / 32.0f);
    EXPECT_FLOAT_EQ(v[6].v, 14.5f / 16.0f);
    EXPECT_EQ(v[0].color, 0xFFFFFFFFu);
    // The baseline (half the height here) sits at the anchor: (0.5, 0.25) of a 2 x 1 view.
    const OvV2d s = Screen(gDraws[0].matrix, 0.0f, 0.5f, 1.0f);
    EXPECT_NEAR(s.x, 0.25f, 1e-5f);
    EXPECT_NEAR(s.y, 0.75f, 1e-5f);
    const OvV2d top = Screen(gDraws[0].matrix, 0.0f, 1.0f, 1.0f);
    EXPECT_NEAR(s.y - top.y, 0.1f, 1e-5f); // 0.1 of the view's height above: 0.2 units x 0.5
    // The CTM is back where it was.
    EXPECT_EQ(Ov2dCTMGet()->pos.x, 0.0f);
    // Text sets the page's raster and filter, never its addressing; a stroke with the page as its
    // brush texture sets the addressing too.
    EXPECT_EQ(gAddressingSets, 0);
    Ov2dBrushSetTexture(brush, font->pages[0]);
    Ov2dPath* path = Ov2dPathCreate();
    Ov2dPathMoveto(path, 0.0f, 0.0f);
    Ov2dPathLineto(path, 1.0f, 0.0f);
    ASSERT_NE(Ov2dPathStroke(path, brush), nullptr);
    EXPECT_EQ(gAddressingSets, 1);
    Ov2dPathDestroy(path);
    Ov2dBrushDestroy(brush);
    Ov2dFontDestroy(font);
}

TEST_F(Toolkit2dTest, OutlineFont) {
    WriteFile("F7.met", "METRICS3\nTest outlines\n"
                        "cA\nbegin\nmoveto 0 0\nlineto 0.5 1\nlineto 1 0\nmoveto 0.2 0.4\nmoveto 0.3 0.4\n"
                        "lineto 0.7 0.4\nclosepath\nwhatever 5\nend\n"
                        "c\xC3\xA9\nbegin\nmoveto 0 0\ncurveto 0.2 0.5 0.6 0.5 0.8 0\nend\n"
                        "cB\nbegin\nmoveto 0.1 0.1\nend\n"
                        "cC\ncD\nbegin\nend\nbegin\nbegin\nend\ncE\nbegin\n");
    Ov2dFont* font = Ov2dFontRead("F7");
    ASSERT_NE(font, nullptr) << Ov2dFontGetReadError();
    EXPECT_EQ(font->type, ov2dFONTOUTLINE);
    EXPECT_EQ(font->height, 1.0f);
    EXPECT_EQ(font->baseline, 0.0f);
    EXPECT_EQ(font->numGlyphs, 4);
    // Glyphs lost to a missing 'begin', 'end' or character line are said where they began.
    const std::string f7 = dir.string() + "/F7.met:";
    EXPECT_EQ(Ov2dFontGetSkippedLines(),
              f7 + "23: glyph code 67 ('C') has no 'end' before line 24 gives the next character; it is left out\n" +
                  f7 + "27: the glyph begun here has no 'end' before line 28's 'begin'; it is left out\n" + f7 +
                  "28: the glyph begun here has no character line before it; it is left out\n" + f7 +
                  "31: the file ends inside the glyph begun here, before its 'end'; it is left out\n");
    EXPECT_EQ(font->flags, static_cast<OvUInt32>(ov2dFONTFLAG16BIT));
    const Ov2dGlyph* a = Ov2dFontGetGlyph(font, 'A');
    ASSERT_NE(a, nullptr);
    // The advance is the first number of the last command that has one (closepath has none).
    EXPECT_EQ(a->advance, 0.7f);
    // The lone moveto's sub-path was dropped: two sub-paths remain, compacted.
    ASSERT_NE(a->path, nullptr);
    ASSERT_NE(a->path->next, nullptr);
    EXPECT_EQ(a->path->next->next, nullptr);
    EXPECT_EQ(a->path->numSegments, 3);
    EXPECT_EQ(a->path->next->numSegments, 3); // moveto, lineto, and the line back
    EXPECT_TRUE(a->path->next->closed);
    EXPECT_EQ(Ov2dFontGetGlyph(font, 0xE9)->advance, 0.2f);
    EXPECT_EQ(Ov2dFontGetGlyph(font, 'B')->path->numSegments, 0);

    // Showing strokes each glyph's sub-paths at its pen position.
    Ov2dBrush* brush = Ov2dBrushCreate();
    const char text[] = {'A', 0, static_cast<char>(0xE9), 0, 0, 0};
    const OvV2d anchor = {0.1f, 0.1f};
    ASSERT_NE(Ov2dFontShow(font, text, 0.5f, &anchor, brush), nullptr);
    ASSERT_EQ(gDraws.size(), 3u);
    EXPECT_EQ(gDraws[0].primType, ovPRIMTYPETRISTRIP);
    // The second glyph's matrix is moved on by the first's advance, times the height.
    const OvV2d s0 = Screen(gDraws[0].matrix, 0.0f, 0.0f, 1.0f);
    const OvV2d s2 = Screen(gDraws[2].matrix, 0.0f, 0.0f, 1.0f);
    EXPECT_NEAR(s2.x - s0.x, 0.7f * 0.5f / 2.0f, 1e-5f);
    EXPECT_EQ(Ov2dCTMGet()->pos.x, 0.0f);
    Ov2dBrushDestroy(brush);
    Ov2dFontDestroy(font);

    // A file of the format line alone is an empty font.
    WriteFile("F8.met", "METRICS3\n");
    font = Ov2dFontRead("F8");
    ASSERT_NE(font, nullptr);
    EXPECT_EQ(font->numGlyphs, 0);
    Ov2dFontDestroy(font);
}

} // namespace
