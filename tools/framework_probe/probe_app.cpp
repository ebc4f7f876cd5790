#include "tools/framework_probe/probe_app.h"

#include "framework/camera_manager.h"
#include "graphics/core/raster.h"
#include "graphics/shared/skel/win/skeleton.h"

bool ProbeApplication::Init() {
    SetWindowHandle(SkelGetWindowHandle());
    if (g_cameraManager != nullptr) {
        return true;
    }
    const SkelState* shell = SkelGetState();
    camera_ = SkelCameraCreate(shell->width, shell->height, true);
    return camera_ != nullptr;
}

void ProbeApplication::Update(float /*dt*/) {
    ++frames_;
    if (logEvery_ > 0 && log_ != nullptr && frames_ % logEvery_ == 0) {
        if (g_cameraManager != nullptr) {
            const OvV3d p = g_cameraManager->Position();
            const OvV3d at = g_cameraManager->ViewDirection();
            std::fprintf(log_, "frame %ld: %s camera at %.2f %.2f %.2f looking %.2f %.2f %.2f\n", frames_,
                         CameraModeName(g_cameraManager->Mode()), static_cast<double>(p.x), static_cast<double>(p.y),
                         static_cast<double>(p.z), static_cast<double>(at.x), static_cast<double>(at.y),
                         static_cast<double>(at.z));
        } else {
            std::fprintf(log_, "frame %ld: no camera manager\n", frames_);
        }
        std::fflush(log_);
    }
}

void ProbeApplication::RenderScene() {
    if (camera_ == nullptr) {
        return; // the camera manager clears, shows and presents
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
    // The probe's own camera follows the client size.
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
