#pragma once
// The probe's application on top of the framework's application base. With a "Camera" section the
// framework's camera manager draws the frames and the input manager moves and switches the
// cameras; without one the probe clears a camera of the client size to kProbeClearColour every
// frame. Optionally it logs the camera's mode and position every N frames.

#include <cstdio>

#include "framework/application.h"
#include "graphics/core/camera.h"

inline constexpr OvRGBA kProbeClearColour = {88, 88, 110, 255};

class ProbeApplication : public CStandardApplication {
public:
    ProbeApplication() : CStandardApplication("config.xml") {}

    bool Init() override;
    void Update(float dt) override;
    void RenderScene() override;
    void Terminate() override;
    const char* GetTitle() override;
    std::int32_t HandleEvent(std::int32_t event, void* parameter) override;

    OvCamera* Camera() const { return camera_; }
    // Every `frames` frames (0: never) one line "frame F: MODE camera at X Y Z looking DX DY DZ" goes to `out`.
    void SetCameraLog(long frames, std::FILE* out) {
        logEvery_ = frames;
        log_ = out;
    }

private:
    OvCamera* camera_ = nullptr; // the probe's own camera, when there is no camera manager
    long frames_ = 0;            // frames updated
    long logEvery_ = 0;
    std::FILE* log_ = nullptr;
};
