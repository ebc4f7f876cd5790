#include "framework/fps_counter.h"

#include <cstdio>

#include "framework/framework.h"
#include "framework/lights_font.h"
#include "graphics/core/camera.h"
#include "graphics/core/d3d9/render_state.h"
#include "graphics/core/engine.h"
#include "graphics/core/im3d.h"
#include "graphics/core/raster.h"

namespace {

CFpsCounter* gInstance = nullptr;

constexpr OvUInt32 kWhite = 0xFFFFFFFFu;
constexpr OvUInt32 kGrey = 0xFF808080u;
constexpr float kMargin = 4.0f; // pixels from the raster's right and bottom edges
constexpr float kPixelsPerSecond = 2000.0f;

void SetState(OvInt32 state, std::uintptr_t value) {
    OvEngineInstancePtr->dOpenDevice.setRenderState(state, reinterpret_cast<void*>(value));
}

} // namespace

CFpsCounter* CFpsCounter::GetInstance() {
    if (gInstance == nullptr) {
        gInstance = new CFpsCounter();
    }
    return gInstance;
}

void CFpsCounter::Destroy() {
    delete gInstance;
    gInstance = nullptr;
}

void CFpsCounter::Sample(float seconds) {
    if (frames_ == kRateFrames) {
        // A clock that did not move gives no rate rather than an infinite one.
        if (seconds_ > 0.0f) {
            rate_ = static_cast<float>(kRateFrames) / seconds_;
            valid_ = true;
        }
        frames_ = 0;
        seconds_ = 0.0f;
    }
    seconds_ += seconds;
    ++frames_;
    history_[nextIndex_] = seconds;
    if (historyCount_ < kHistorySize) {
        ++historyCount_;
    }
    nextIndex_ = (nextIndex_ + 1) % kHistorySize;
}

std::string CFpsCounter::Text() const {
    if (!valid_) {
        return "FPS : [wait]";
    }
    char text[64];
    std::snprintf(text, sizeof text, "FPS : %2.2f", static_cast<double>(rate_));
    return text;
}

void CFpsCounter::BuildGraph(float width, float height, float screenZ, float recipZ,
                             std::vector<OvD3D9Im2DVertex>* vertices) const {
    vertices->clear();
    const int oldest = historyCount_ == kHistorySize ? nextIndex_ : 0;
    const float left = width - static_cast<float>(kHistorySize);
    const float bottom = height - kMargin;
    for (int i = 0; i < historyCount_; ++i) {
        const float seconds = history_[(oldest + i) % kHistorySize];
        const float x = left - kMargin + static_cast<float>(i);
        vertices->push_back({x, bottom, screenZ, recipZ, kWhite, 0.0f, 0.0f});
        vertices->push_back({x, bottom - seconds * kPixelsPerSecond, screenZ, recipZ, kWhite, 0.0f, 0.0f});
    }
    // The heights of 1/30 s and 1/15 s.
    for (float y : {height - 66.6f, height - 133.2f}) {
        vertices->push_back({left, y, screenZ, recipZ, kGrey, 0.0f, 0.0f});
        vertices->push_back({width, y, screenZ, recipZ, kGrey, 0.0f, 0.0f});
    }
}

void CFpsCounter::Render(CFont* font) const {
    if (font != nullptr) {
        font->Print(Text().c_str(), {kTextX, kTextY}, kTextSize);
    }
    auto* camera = static_cast<OvCamera*>(OvEngineInstancePtr->curCamera);
    if (g_debugLevel < 2 || historyCount_ == 0 || camera == nullptr || camera->frameBuffer == nullptr) {
        return;
    }
    std::vector<OvD3D9Im2DVertex> vertices;
    BuildGraph(static_cast<float>(camera->frameBuffer->width), static_cast<float>(camera->frameBuffer->height),
               OvEngineInstancePtr->screenZ, 1.0f / camera->nearPlane - 0.1f, &vertices);
    SetState(ovRENDERSTATESHADEMODE, 2);
    SetState(ovRENDERSTATEZTESTENABLE, 0);
    SetState(ovRENDERSTATEZWRITEENABLE, 0);
    SetState(ovRENDERSTATESRCBLEND, 5);
    SetState(ovRENDERSTATEDESTBLEND, 6);
    SetState(ovRENDERSTATETEXTUREFILTER, 2);
    SetState(ovRENDERSTATETEXTURERASTER, 0);
    OvEngineInstancePtr->dOpenDevice.im2DRenderPrimitive(ovPRIMTYPELINELIST, vertices.data(),
                                                         static_cast<OvInt32>(vertices.size()));
    SetState(ovRENDERSTATEZTESTENABLE, 1);
    SetState(ovRENDERSTATEZWRITEENABLE, 1);
}
