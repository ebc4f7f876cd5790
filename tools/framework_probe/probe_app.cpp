#include "tools/framework_probe/probe_app.h"

#include "graphics/core/raster.h"
#include "graphics/shared/skel/win/skeleton.h"

bool ProbeApplication::Init() {
    SetWindowHandle(SkelGetWindowHandle());
    const SkelState* shell = SkelGetState();
    camera_ = SkelCameraCreate(shell->width, shell->height, true);
    return camera_ != nullptr;
}

void ProbeApplication::Update(float /*dt*/) {}

void ProbeApplication::RenderScene() {
    if (camera_ == nullptr) {
        return;
    }
    OvRGBA background = kProbeClearColour;
    OvCameraClear(camera_, &background, ovCAMERACLEARIMAGE | ovCAMERACLEARZ);
    if (OvCameraBeginUpdate(camera_) != nullptr) {
        OvCameraEndUpdate(camera_);
    }
    SkelCameraShowRaster(camera_);
}

void ProbeApplication::Terminate() {
    SkelCameraDestroy(camera_);
    camera_ = nullptr;
}

const char* ProbeApplication::GetTitle() { return "Framework Probe"; }

std::int32_t ProbeApplication::HandleEvent(std::int32_t event, void* parameter) {
    // The camera follows the client size.
    if (event == SKEL_EVENT_CAMERA_SIZE && camera_ != nullptr) {
        const auto* size = static_cast<const SkelSizeRect*>(parameter);
        if (size->width != camera_->frameBuffer->width || size->height != camera_->frameBuffer->height) {
            if (OvCamera* resized = SkelCameraCreate(size->width, size->height, true)) {
                SkelCameraDestroy(camera_);
                camera_ = resized;
            }
        }
    }
    return CStandardApplication::HandleEvent(event, parameter);
}
