// 2D text: glyph quads built and handed to immediate mode per second (the memory-raster test
// driver draws nothing, so this measures the toolkit's own work), and outline glyphs stroked.

#include <benchmark/benchmark.h>

#include <cstring>
#include <string>

#include "graphics/core/frame.h"
#include "graphics/core/testkit/engine_fixture.h"
#include "graphics/core/testkit/memory_raster_driver.h"
#include "graphics/toolkits/toolkit2d.h"

namespace {

struct Scene {
    OvFrame* frame = nullptr;
    OvCamera* camera = nullptr;
    OvRaster* raster = nullptr;
    bool up = false;

    Scene() {
        if (!OvTestEngineUp(0, nullptr, OvTestMemoryRasterDriver())) {
            return;
        }
        frame = OvFrameCreate();
        camera = OvCameraCreate();
        raster = OvRasterCreate(640, 480, 0, ovRASTERTYPECAMERA);
        camera->frameBuffer = raster;
        OvCameraSetFrame(camera, frame);
        OvFrameSyncDirty();
        up = Ov2dOpen(camera) != FALSE;
    }
    ~Scene() {
        Ov2dClose();
        OvRasterDestroy(raster);
        OvCameraDestroy(camera);
        OvFrameDestroy(frame);
        OvTestEngineDown();
    }
};

// A bitmap font of the printable ASCII characters on one (absent) page, eight pixels a glyph.
Ov2dFont* MakeBitmapFont() {
    Ov2dFont* font = Ov2dFontCreate();
    font->type = ov2dFONTBITMAP;
    font->height = 14.0f;
    font->baseline = 3.0f / 14.0f;
    for (int code = 32; code < 127; ++code) {
        auto* g = static_cast<Ov2dGlyph*>(OvArrayAddEntry(font->glyphs, 0));
        *g = {};
        g->advance = 8.0f / 14.0f;
        g->u0 = static_cast<float>(code % 16) / 16.0f;
        g->u1 = g->u0 + 1.0f / 16.0f;
        g->v0 = static_cast<float>(code / 16) / 8.0f;
        g->v1 = g->v0 + 1.0f / 8.0f;
        font->map[code] = static_cast<OvInt16>(font->numGlyphs++);
    }
    return font;
}

void BM_BitmapText(benchmark::State& state) {
    Scene scene;
    if (!scene.up) {
        state.SkipWithError("engine did not start");
        return;
    }
    Ov2dFont* font = MakeBitmapFont();
    Ov2dBrush* brush = Ov2dBrushCreate();
    if (state.range(0) != 0) {
        const OvRGBA a = {255, 0, 0, 255}, b = {0, 255, 0, 255}, c = {0, 0, 255, 255}, d = {255, 255, 0, 255};
        Ov2dBrushSetColors(brush, &a, &b, &c, &d);
    }
    const std::string text = "Taking cover behind the crates, 3 bots left. RIGHT CTRL + Mouse to move object";
    const OvV2d anchor = {0.02f, 0.9f};
    for (auto _ : state) {
        Ov2dFontShow(font, text.c_str(), 0.04f, &anchor, brush);
    }
    state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(text.size()));
    Ov2dBrushDestroy(brush);
    Ov2dFontDestroy(font);
}
BENCHMARK(BM_BitmapText)->Arg(0)->Arg(1);

// One outline glyph of two curves and three lines, stroked (flattening included).
void BM_OutlineGlyph(benchmark::State& state) {
    Scene scene;
    if (!scene.up) {
        state.SkipWithError("engine did not start");
        return;
    }
    Ov2dPath* path = Ov2dPathCreate();
    Ov2dPathMoveto(path, 0.1f, 0.0f);
    Ov2dPathCurveto(path, 0.1f, 0.6f, 0.7f, 0.9f, 0.7f, 0.5f);
    Ov2dPathLineto(path, 0.5f, 0.2f);
    Ov2dPathCurveto(path, 0.4f, 0.1f, 0.2f, 0.1f, 0.15f, 0.3f);
    Ov2dPathLineto(path, 0.3f, 0.3f);
    Ov2dPathClosepath(path);
    Ov2dPathCompact(path);
    Ov2dBrush* brush = Ov2dBrushCreate();
    Ov2dBrushSetWidth(brush, 0.05f);
    Ov2dCTMScale(0.3f, 0.3f);
    for (auto _ : state) {
        Ov2dPathStroke(path, brush);
    }
    state.SetItemsProcessed(state.iterations());
    Ov2dBrushDestroy(brush);
    Ov2dPathDestroy(path);
}
BENCHMARK(BM_OutlineGlyph);

} // namespace
