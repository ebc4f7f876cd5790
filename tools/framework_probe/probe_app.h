#pragma once
// The probe's application: a camera of the client size cleared to kProbeClearColour every frame,
// on top of the framework's application base.

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

private:
    OvCamera* camera_ = nullptr;
};
