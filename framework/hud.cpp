#include "framework/hud.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>

#include "framework/camera_manager.h"
#include "framework/fps_counter.h"
#include "framework/framework.h"
#include "framework/input_manager.h"
#include "framework/read_faults.h"
#include "graphics/core/camera.h"
#include "graphics/core/d3d9/render_state.h"
#include "graphics/core/engine.h"
#include "graphics/core/im3d.h"
#include "graphics/core/image.h"
#include "graphics/core/raster.h"
#include "graphics/core/texture.h"
#include "graphics/shared/skel/win/skeleton.h"

CHud* g_hud = nullptr;

const char* const CHud::kImageFiles[CHud::kImageCount] = {
    "stQuelLogo.bmp", "stZunaLogo.bmp", "stTitle.bmp",      "stText.bmp",
    "stMessage.bmp",  "stScrollUp.bmp", "stScrollDown.bmp", "stScroll.bmp",
};

namespace {

constexpr OvUInt16 kQuadIndices[6] = {2, 1, 0, 1, 3, 0};
// Layout beyond the button hit areas: the logos and the title at the top, in the band above the
// line of the framework's own texts (the camera's name and the frame rate, kept in view), the text
// between the buttons' rows on the left of them, the message on the bottom row.
constexpr float kTextLeft = 276.0f; // from the centre
constexpr float kButtonSize = 32.0f;

void SetState(OvInt32 state, std::uintptr_t value) {
    OvEngineInstancePtr->dOpenDevice.setRenderState(state, reinterpret_cast<void*>(value));
}

float Width(const OvTexture* t) { return t != nullptr && t->raster != nullptr ? float(t->raster->width) : 0.0f; }
float Height(const OvTexture* t) { return t != nullptr && t->raster != nullptr ? float(t->raster->height) : 0.0f; }

bool Within(float v, float low, float high) { return v >= low && v <= high; }

// The height of what is written on a text image: down to its last row with ink (a pixel unlike the
// paper of its bottom left corner) and as much paper again as there is above its first. Images
// keep sides of powers of two, so the paper below the writing can be most of the image; the
// scroll ends where the writing does. The whole height for an image without ink or one that
// cannot be scanned.
float WrittenHeight(const OvTexture* t) {
    OvRaster* raster = t != nullptr ? t->raster : nullptr;
    if (raster == nullptr || raster->width <= 0 || raster->height <= 0) {
        return 0.0f;
    }
    const float whole = static_cast<float>(raster->height);
    OvImage* image = OvImageCreate(raster->width, raster->height, 32);
    if (image == nullptr || OvImageAllocatePixels(image) == nullptr || OvImageSetFromRaster(image, raster) == nullptr) {
        if (image != nullptr) {
            OvImageDestroy(image);
        }
        return whole;
    }
    auto pixel = [image](OvInt32 x, OvInt32 y) {
        OvUInt32 p;
        std::memcpy(&p, image->cpPixels + static_cast<std::ptrdiff_t>(y) * image->stride + 4 * x, 4);
        return p;
    };
    const OvUInt32 paper = pixel(0, image->height - 1);
    OvInt32 first = -1, last = -1;
    for (OvInt32 y = 0; y < image->height; ++y) {
        for (OvInt32 x = 0; x < image->width; ++x) {
            if (pixel(x, y) != paper) {
                first = first < 0 ? y : first;
                last = y;
                break;
            }
        }
    }
    OvImageDestroy(image);
    return last < 0 ? whole : std::min(whole, static_cast<float>(last + 1 + first));
}

} // namespace

CHud::~CHud() {
    if (g_hud == this) {
        g_hud = nullptr;
    }
    for (OvTexture*& texture : textures_) {
        if (texture != nullptr) {
            OvTextureDestroy(texture);
            texture = nullptr;
        }
    }
}

bool CHud::Init() {
    // Without a started engine no image can be read: each is reported missing.
    const bool engine = OvEngineInstancePtr != nullptr && OvEngineInstancePtr->engineStatus == ovENGINESTATUSSTARTED;
    if (engine) {
        if (char* path = SkelPathCreate("MODELS/TEXTURES/")) {
            OvImageSetPath(path);
            SkelPathDestroy(path);
        }
    }
    bool all = true;
    for (int i = 0; i < kImageCount; ++i) {
        if (textures_[i] == nullptr && engine) {
            TakeGraphicsReadCause(); // what an earlier read left
            textures_[i] = OvTextureRead(kImageFiles[i], nullptr);
        }
        if (textures_[i] == nullptr) {
            std::string text = std::string("Texture '") + kImageFiles[i] + "' not found";
            const std::string image = std::string("MODELS/TEXTURES/") + kImageFiles[i];
            // A file that is there but does not read is said as such.
            if (engine) {
                text += "\n" + FileReadFault(image);
            }
            FileErrorBox(image, text);
            all = false;
        }
    }
    textHeight_ = WrittenHeight(textures_[kText]);
    return all;
}

bool CHud::OnScrollUp(float x, float y, float w, float /*h*/) {
    return Within(x, w / 2 + kButtonLeft, w / 2 + kButtonRight) && Within(y, kUpTop, kUpBottom);
}

bool CHud::OnScrollDown(float x, float y, float w, float h) {
    return Within(x, w / 2 + kButtonLeft, w / 2 + kButtonRight) && Within(y, h - kDownTop, h - kDownBottom);
}

void CHud::RasterSize(float* w, float* h) {
    const OvCamera* camera = g_cameraManager != nullptr ? g_cameraManager->Camera() : nullptr;
    const OvRaster* raster = camera != nullptr ? camera->frameBuffer : nullptr;
    *w = raster != nullptr ? static_cast<float>(raster->width) : 0.0f;
    *h = raster != nullptr ? static_cast<float>(raster->height) : 0.0f;
}

void CHud::Update(float dt) {
    CInputManager* input = CInputManager::GetInstance();
    if (state_ == kNotShown) {
        g_paused = true;
        // The camera text shows in white while the screen is up.
        if (g_cameraManager != nullptr) {
            savedTextColour_ = g_cameraManager->TextColour();
            savedTextShown_ = g_cameraManager->TextShown();
            g_cameraManager->SetTextShown(true);
            g_cameraManager->SetTextColour({255, 255, 255, 255});
        }
        input->SetPointerMode(true);
        // A request made before the screen was up does not dismiss it.
        input->TakeContinueRequest();
        state_ = kShown;
        return;
    }
    if (state_ != kShown) {
        return;
    }
    if (input->LeftButton()) {
        float w = 0.0f;
        float h = 0.0f;
        RasterSize(&w, &h);
        const float x = input->PointerX();
        const float y = input->PointerY();
        const float step = kScrollSpeed * dt;
        if (OnScrollDown(x, y, w, h) && remaining_ > 0.0f) {
            scroll_ += std::min(step, remaining_); // the writing's end stops at the view's bottom
        } else if (OnScrollUp(x, y, w, h)) {
            scroll_ = scroll_ > step ? scroll_ - step : 0.0f;
        }
    }
    if (input->TakeContinueRequest()) {
        state_ = kDismissed;
        g_paused = false;
        if (g_cameraManager != nullptr) {
            g_cameraManager->SetTextColour(savedTextColour_);
            g_cameraManager->SetTextShown(savedTextShown_);
        }
        input->SetPointerMode(false);
    }
}

bool CHud::Reset() {
    scroll_ = 0.0f;
    return true;
}

void CHud::DrawImage(int image, float x, float y, float w, float h, float v0, float v1) {
    const OvCamera* camera = g_cameraManager != nullptr ? g_cameraManager->Camera() : nullptr;
    if (camera == nullptr || OvEngineInstancePtr == nullptr || w <= 0.0f || h <= 0.0f) {
        return;
    }
    const float z = OvEngineInstancePtr->screenZ;
    const float rhw = camera->nearPlane;
    OvD3D9Im2DVertex quad[4] = {
        {x, y, z, rhw, 0xFFFFFFFFu, 0.0f, v0},
        {x + w, y + h, z, rhw, 0xFFFFFFFFu, 1.0f, v1},
        {x, y + h, z, rhw, 0xFFFFFFFFu, 0.0f, v1},
        {x + w, y, z, rhw, 0xFFFFFFFFu, 1.0f, v0},
    };
    if (textures_[image] != nullptr) {
        SetState(ovRENDERSTATETEXTURERASTER, reinterpret_cast<std::uintptr_t>(textures_[image]->raster));
    }
    OvUInt16 indices[6];
    std::copy(kQuadIndices, kQuadIndices + 6, indices);
    OvEngineInstancePtr->dOpenDevice.im2DRenderIndexedPrimitive(ovPRIMTYPETRILIST, quad, 4, indices, 6);
}

float CHud::TopBandHeight(float h) { return h * (1.0f - CFpsCounter::kTextY - CFpsCounter::kTextSize); }

void CHud::Render() {
    float w = 0.0f;
    float h = 0.0f;
    RasterSize(&w, &h);
    // The text's view runs from the upward button's row to the downward button's.
    const float viewTop = kUpTop;
    const float viewHeight = h - kDownBottom - kUpTop > 0.0f ? h - kDownBottom - kUpTop : 0.0f;
    const float below = textHeight_ - scroll_ - viewHeight;
    remaining_ = below > 0.0f ? below : 0.0f;
    if (state_ != kShown || OvEngineInstancePtr == nullptr ||
        OvEngineInstancePtr->dOpenDevice.setRenderState == nullptr ||
        OvEngineInstancePtr->dOpenDevice.im2DRenderIndexedPrimitive == nullptr) {
        return;
    }
    const float cx = w / 2;
    SetState(ovRENDERSTATEZTESTENABLE, 0);
    SetState(ovRENDERSTATEZWRITEENABLE, 0);
    SetState(ovRENDERSTATESRCBLEND, 5);
    SetState(ovRENDERSTATEDESTBLEND, 6);
    auto natural = [this](int image, float x, float y) {
        DrawImage(image, x, y, Width(textures_[image]), Height(textures_[image]));
    };
    // Each of the top images centred in the band (from the top edge when taller than the band).
    const float band = TopBandHeight(h);
    auto top = [this, band](int image) {
        const float y = (band - Height(textures_[image])) / 2;
        return y > 0.0f ? y : 0.0f;
    };
    natural(kFirstLogo, cx - kButtonRight, top(kFirstLogo));
    natural(kSecondLogo, cx + kButtonRight - Width(textures_[kSecondLogo]), top(kSecondLogo));
    natural(kTitle, cx - Width(textures_[kTitle]) / 2, top(kTitle));
    // The part of the text in view, shifted up by the scroll.
    if (textHeight_ > 0.0f) {
        float shown = textHeight_ - scroll_;
        shown = shown < viewHeight ? shown : viewHeight;
        if (shown > 0.0f) {
            const float textWidth = Width(textures_[kText]);
            const float maxWidth = kTextLeft + kButtonLeft - 8.0f;
            const float imageHeight = Height(textures_[kText]);
            DrawImage(kText, cx - kTextLeft, viewTop, textWidth < maxWidth ? textWidth : maxWidth, shown,
                      scroll_ / imageHeight, (scroll_ + shown) / imageHeight);
        }
    }
    DrawImage(kScrollUp, cx + kButtonLeft, kUpTop, kButtonSize, kButtonSize);
    DrawImage(kScrollBar, cx + kButtonLeft, kUpBottom, kButtonSize, h - kDownTop - kUpBottom);
    DrawImage(kScrollDown, cx + kButtonLeft, h - kDownTop, kButtonSize, kButtonSize);
    const float messageHeight = Height(textures_[kMessage]) < kDownBottom ? Height(textures_[kMessage]) : kDownBottom;
    DrawImage(kMessage, cx - Width(textures_[kMessage]) / 2, h - messageHeight, Width(textures_[kMessage]),
              messageHeight);
    SetState(ovRENDERSTATEZTESTENABLE, 1);
    SetState(ovRENDERSTATEZWRITEENABLE, 1);
}
