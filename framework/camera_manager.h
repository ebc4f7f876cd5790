#pragma once
// The framework's camera manager: owns the main camera and moves it in one of five modes (free,
// following the first character, first-person, along the camera spline, from fixed viewpoints),
// switched through a configured sequence. Reads the "Camera" section of the configuration, draws
// the overlay after the scene (the fixed viewpoint's name, the first-person crosshair) and prints
// the one-line camera text.

#include <cstdint>
#include <string>

#include "framework/config_reader.h"
#include "graphics/core/camera.h"
#include "graphics/core/d3d9/im2d.h"
#include "graphics/core/types.h"
#include "graphics/core/vector.h"

struct OvFrame;
struct OvSpline;
struct OvTexture;

enum CameraMode : std::int32_t {
    kCameraFree = 1,
    kCameraFollow = 2,
    kCameraFps = 3,
    kCameraPath = 4,
    kCameraFixed = 5,
};

// The name of a mode ("Free", "Follow", "FPS", "Path", "Fixed"), or "?" for another value.
const char* CameraModeName(std::int32_t mode);
// The mode of a name (exact spelling), or 0.
std::int32_t CameraModeFromName(const char* name);

// What the Follow, Free and FPS modes show: the framework's first character, seen through the
// little the cameras need of it.
class CCameraSubject {
public:
    // The framework's camera manager stops following a subject that goes.
    virtual ~CCameraSubject();
    virtual OvFrame* SubjectFrame() = 0;
    virtual bool SubjectVisible() = 0;
    virtual void SetSubjectVisible(bool visible) = 0;
};

// What picking needs of the world: the nearest hit along a segment, as a world point.
class CCameraPickWorld {
public:
    virtual ~CCameraPickWorld() = default;
    virtual bool LineHit(const OvV3d& from, const OvV3d& to, OvV3d* point) = 0;
};

// Prints one line of text at a place and size in screen fractions (the framework's font).
using CameraTextFunction = void (*)(const char* text, float x, float y, float size);

class CCameraManager : public CConfigSectionHandler {
public:
    static constexpr int kMaxSequence = 8;   // modes in the switch sequence
    static constexpr int kMaxFixed = 16;     // fixed viewpoints
    static constexpr int kNameSize = 64;     // bytes of a viewpoint name, with its terminator
    static constexpr float kPathStep = 0.5f; // spline parameter per second along the path
    static constexpr float kPathEnd = 0.9f;  // where the path hands over to the first-person view

    explicit CCameraManager(float scale);
    // A world camera: its own camera made from the other's, with its mode, scale, clip values
    // and follow settings.
    explicit CCameraManager(const CCameraManager& other);
    CCameraManager& operator=(const CCameraManager&) = delete;
    ~CCameraManager() override;

    bool StartElement(const char* name, const char** attributes) override;
    bool EndElement(const char* name) override;

    bool CreateCamera(std::int32_t width, std::int32_t height, bool zBuffer);
    bool DestroyCamera();
    // Gives this camera the other's clip planes, projection, frame matrix, view window and offset.
    void CopyCamera(const CCameraManager& other);
    // Sizes the camera to the rectangle (view window tan 45 degrees, aspect 4:3) and rebuilds the
    // crosshair.
    void Resize(std::int32_t width, std::int32_t height);
    bool BuildCrosshair();

    void BeginUpdate();
    // The second render step: once the world cameras have drawn the worlds, the camera's update is
    // taken up again, without a clear, for the scene, the texts and the overlays.
    void ResumeUpdate();
    void EndUpdate();
    void ShowRaster();
    void RenderOverlay();
    // The one-line camera text: mode and position, or the fixed viewpoint's name.
    std::string InfoText() const;
    void PrintInfo();

    // Places the camera at position looking at target with the world's y axis up; a target at the
    // position moves it only.
    void LookAt(const OvV3d& position, const OvV3d& target);
    // Free-camera primitives.
    void Pan(float dx, float dy);
    void Move(float distance);
    void Turn(float pitch, float yaw);

    // The world point under the input manager's pointer; false with no world, camera or hit.
    bool PickPoint(OvV3d* point);

    void Follow(CCameraSubject* subject);
    CCameraSubject* Subject() const { return subject_; }
    bool SubjectWasHidden() const { return subjectWasHidden_; }
    void NextCamera();
    void NextFixedCamera();
    void Update(float dt);

    // The colour of the camera text and whether it is shown (the start screen shows it in white
    // while it is up and gives back what it found).
    const OvRGBA& TextColour() const { return textColour_; }
    void SetTextColour(const OvRGBA& colour) { textColour_ = colour; }
    bool TextShown() const { return textShown_; }
    void SetTextShown(bool shown) { textShown_ = shown; }

    // Where the world is asked for picking and where text goes; either may be null.
    void SetPickWorld(CCameraPickWorld* world) { pickWorld_ = world; }
    static void SetTextFunction(CameraTextFunction print);
    // Replaces the camera spline (the manager destroys it).
    void SetSpline(OvSpline* spline);

    // Read-only views.
    std::int32_t Mode() const { return mode_; }
    void SetMode(std::int32_t mode) { mode_ = mode; }
    std::int32_t PreviousMode() const { return previousMode_; }
    OvCamera* Camera() const { return camera_; }
    float Scale() const { return scale_; }
    float Fov() const { return fov_; }
    float NearClip() const { return nearClip_; }
    float FarClip() const { return farClip_; }
    int SequenceCount() const { return sequenceCount_; }
    std::int32_t SequenceEntry(int i) const { return sequence_[i]; }
    int SequenceIndex() const { return sequenceIndex_; }
    int FixedCount() const { return fixedCount_; }
    int FixedIndex() const { return fixedIndex_; }
    const char* FixedName(int i) const { return fixed_[i].name; }
    OvFrame* FixedFrame(int i) const { return fixed_[i].frame; }
    float MinVAngle() const { return minVAngle_; }
    float MaxVAngle() const { return maxVAngle_; }
    float MinDistance() const { return minDistance_; }
    float MaxDistance() const { return maxDistance_; }
    float Pitch() const { return pitch_; }
    float PathParameter() const { return pathT_; }
    const OvSpline* Spline() const { return spline_; }
    const OvTexture* CrosshairTexture() const { return crosshair_; }
    const OvD3D9Im2DVertex* CrosshairVertices() const { return crosshairVertices_; }
    const OvUInt16* CrosshairIndices() const { return crosshairIndices_; }
    // The camera frame's position and view direction (zero without a camera).
    OvV3d Position() const;
    OvV3d ViewDirection() const;

    // The camera spline's file and the crosshair's texture.
    static constexpr const char* kSplineFile = "models\\revolution\\spline.ovs";
    static constexpr const char* kCrosshairName = "TARGET.BMP";

private:
    struct FixedView {
        OvFrame* frame = nullptr;
        char name[kNameSize] = {};
    };

    bool StepFree();
    bool StepFollow();
    bool StepFps();
    bool StepPath(float dt);
    bool StepFixed();
    // The input manager's delta, taken and cleared.
    bool TakeDelta(float* dx, float* dy);
    // Shows the followed character when it is hidden (every mode but the first-person view).
    void ShowSubject();
    // Above debug level 2: the followed character's axes, drawn with the camera text.
    void DrawSubjectAxes() const;
    OvFrame* CameraFrame() const;
    bool ReadPoint(const char** attributes, const char* element, OvV3d* out);

    float scale_ = 1.0f;
    float minVAngle_ = 0.0f;
    float maxVAngle_ = 0.0f;
    float minDistance_ = 0.0f;
    float maxDistance_ = 0.0f;
    float nearClip_ = 0.1f;
    float farClip_ = 3000.0f;
    float fov_ = 40.0f;
    std::int32_t sequence_[kMaxSequence] = {kCameraFollow, kCameraFps, kCameraFree, kCameraFixed};
    int sequenceCount_ = 4;
    int sequenceIndex_ = 0;
    OvCamera* camera_ = nullptr;
    std::int32_t mode_ = kCameraFree;
    std::int32_t previousMode_ = 0;
    FixedView fixed_[kMaxFixed];
    int fixedCount_ = 0;
    int fixedIndex_ = 0;
    char pendingName_[kNameSize] = {};
    OvV3d pendingPosition_ = {0.0f, 0.0f, 0.0f};
    OvV3d pendingTarget_ = {0.0f, 0.0f, 0.0f};
    bool inFree_ = false;
    bool inFixed_ = false;
    bool inSwitchSequence_ = false;
    std::string sequencePlace_; // where the "SwitchSequence" being read starts
    OvRGBA background_ = {88, 88, 110, 0};
    OvRGBA textColour_ = {255, 255, 255, 255};
    bool textShown_ = false;
    float pitch_ = 0.0f; // free and first-person pitch, degrees
    OvTexture* crosshair_ = nullptr;
    OvSpline* spline_ = nullptr;
    OvUInt16 crosshairIndices_[6] = {};
    OvD3D9Im2DVertex crosshairVertices_[4] = {};

    // Follow state.
    CCameraSubject* subject_ = nullptr;
    bool subjectWasHidden_ = false;
    float followYaw_ = 0.0f;   // degrees about the y axis
    float followPitch_ = 0.0f; // degrees about the x axis
    float followDistance_ = 0.0f;
    float pathT_ = 0.0f;
    CCameraPickWorld* pickWorld_ = nullptr;
    bool ownsRasters_ = true; // false for a world camera, which draws into the main camera's rasters
};

// The framework's camera manager (made by the "Camera" section), or null.
extern CCameraManager* g_cameraManager;
