#include "framework/camera_manager.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "framework/config_checks.h"
#include "framework/framework.h"
#include "framework/read_faults.h"
#include "framework/input_manager.h"
#include "framework/lights_font.h"
#include "framework/world_manager.h"
#include "graphics/core/d3d9/render_state.h"
#include "graphics/core/engine.h"
#include "graphics/core/frame.h"
#include "graphics/core/im3d.h"
#include "graphics/core/image.h"
#include "graphics/core/matrix.h"
#include "graphics/core/raster.h"
#include "graphics/core/texture.h"
#include "graphics/plugins/spline.h"
#include "graphics/shared/skel/win/skeleton.h"
#include "platform/crt.h"
#include "graphics/toolkits/pixel_ray.h"
#include "graphics/toolkits/toolkit2d.h"

CCameraManager* g_cameraManager = nullptr;

namespace {

CameraTextFunction gText = nullptr;

constexpr const char* kModeNames[] = {"Free", "Follow", "FPS", "Path", "Fixed"};
constexpr OvUInt16 kQuadIndices[6] = {2, 1, 0, 1, 3, 0};
constexpr OvV3d kYAxis = {0.0f, 1.0f, 0.0f};
constexpr OvV3d kXAxis = {1.0f, 0.0f, 0.0f};
constexpr float kEyeHeight = 1.6f;      // first-person eye above the character's origin, times scale
constexpr float kPathLookAhead = 0.02f; // the path camera looks at the curve this far ahead
constexpr float kFollowHeight = 0.5f;   // the follow camera aims this far above the character, times scale
constexpr float kAxisLength = 1.0f;     // the followed character's debug axes, times scale

void SetState(OvInt32 state, std::uintptr_t value) {
    OvEngineInstancePtr->dOpenDevice.setRenderState(state, reinterpret_cast<void*>(value));
}

float Clamp(float v, float lo, float hi) { return v < lo ? lo : (v > hi ? hi : v); }

// The pitch of a view, degrees: positive looking down, as the free camera's turns count it.
float PitchOf(const OvMatrix& m) { return -std::asin(Clamp(m.at.y, -1.0f, 1.0f)) * 180.0f / 3.14159265f; }

// Turns a matrix to look along `at` (not zero) with the world's y axis as up; the position stays.
void Orient(OvMatrix* m, const OvV3d& direction) {
    OvV3d at;
    OvV3dNormalize(&at, &direction);
    OvV3d right;
    OvV3dCrossProduct(&right, &kYAxis, &at);
    if (OvV3dLength(&right) == 0.0f) {
        // Looking straight up or down: any horizontal right axis will do.
        right = kXAxis;
    }
    OvV3dNormalize(&right, &right);
    OvV3d up;
    OvV3dCrossProduct(&up, &at, &right);
    OvV3dNormalize(&up, &up);
    m->right = right;
    m->up = up;
    m->at = at;
    OvMatrixUpdate(m);
}

bool ReadFloats(const char** attributes, const char* element, const char* const* names, int count, float* out) {
    for (int i = 0; i < count; ++i) {
        if (!ReadFloatAttribute(names[i], attributes, i, &out[i])) {
            ErrorBox(MissingAttributeMessage(names[i], element).c_str());
            return false;
        }
    }
    return true;
}

bool Is(const char* a, const char* b) { return _stricmp(a, b) == 0; }

// Frames and cameras come from the engine's free lists: nothing is made before it has started.
bool EngineStarted() { return OvEngineGetStatus() == ovENGINESTATUSSTARTED; }

} // namespace

const char* CameraModeName(std::int32_t mode) { return mode >= 1 && mode <= 5 ? kModeNames[mode - 1] : "?"; }

std::int32_t CameraModeFromName(const char* name) {
    for (std::int32_t i = 0; i < 5; ++i) {
        if (Is(name, kModeNames[i])) {
            return i + 1;
        }
    }
    return 0;
}

CCameraSubject::~CCameraSubject() {
    if (g_cameraManager != nullptr && g_cameraManager->Subject() == this) {
        g_cameraManager->Follow(nullptr);
    }
}

void CCameraManager::SetTextFunction(CameraTextFunction print) { gText = print; }

void CCameraManager::SetSpline(OvSpline* spline) {
    if (spline_ != nullptr && spline_ != spline) {
        OvSplineDestroy(spline_);
    }
    spline_ = spline;
}

CCameraManager::CCameraManager(float scale) : scale_(scale) {}

CCameraManager::CCameraManager(const CCameraManager& other)
    : CConfigSectionHandler(),
      scale_(other.scale_),
      minVAngle_(other.minVAngle_),
      maxVAngle_(other.maxVAngle_),
      minDistance_(other.minDistance_),
      maxDistance_(other.maxDistance_),
      nearClip_(other.nearClip_),
      farClip_(other.farClip_),
      fov_(other.fov_),
      mode_(other.mode_),
      previousMode_(other.previousMode_),
      pitch_(other.pitch_) {
    if (other.camera_ == nullptr) {
        return;
    }
    // The world camera draws into the main camera's rasters through a frame of its own.
    ownsRasters_ = false;
    camera_ = OvCameraClone(other.camera_);
    if (camera_ == nullptr) {
        return;
    }
    OvFrame* frame = OvFrameCreate();
    OvCameraSetFrame(camera_, frame);
    if (frame == nullptr) {
        DestroyCamera();
        return;
    }
    CopyCamera(other);
}

CCameraManager::~CCameraManager() {
    if (g_cameraManager == this) {
        g_cameraManager = nullptr;
    }
    // The world manager's world cameras were made from this one and are placed from it each frame.
    if (g_worldManager != nullptr && g_worldManager->AttachedCameras() == this) {
        g_worldManager->RemoveCameras(this);
    }
    DestroyCamera();
    for (int i = 0; i < fixedCount_; ++i) {
        OvFrameDestroy(fixed_[i].frame);
    }
}

OvFrame* CCameraManager::CameraFrame() const { return camera_ != nullptr ? OvCameraGetFrame(camera_) : nullptr; }

OvV3d CCameraManager::Position() const {
    OvFrame* frame = CameraFrame();
    return frame != nullptr ? OvFrameGetMatrix(frame)->pos : OvV3d{0.0f, 0.0f, 0.0f};
}

OvV3d CCameraManager::ViewDirection() const {
    OvFrame* frame = CameraFrame();
    return frame != nullptr ? OvFrameGetMatrix(frame)->at : OvV3d{0.0f, 0.0f, 0.0f};
}

bool CCameraManager::ReadPoint(const char** attributes, const char* element, OvV3d* out) {
    static constexpr const char* kNames[3] = {"x", "y", "z"};
    float v[3] = {out->x, out->y, out->z};
    if (!ReadFloats(attributes, element, kNames, 3, v)) {
        return false;
    }
    *out = {v[0], v[1], v[2]};
    return true;
}

bool CCameraManager::StartElement(const char* name, const char** attributes) {
    if (Is(name, "Camera")) {
        static constexpr const char* kNames[3] = {"nearClip", "farClip", "fov"};
        float v[3] = {nearClip_, farClip_, fov_};
        for (int i = 0; i < 3; ++i) {
            if (!ReadFloatAttribute(kNames[i], attributes, i, &v[i])) {
                ErrorBox(MissingAttributeMessage(kNames[i], "Camera").c_str());
                return false;
            }
            if (LastNumberFate() == NumberFate::Refused) {
                return false;
            }
            if (i == 0) {
                nearClip_ = v[0];
                if (camera_ != nullptr) {
                    OvCameraSetNearClipPlane(camera_, nearClip_);
                }
            } else if (i == 1) {
                farClip_ = v[1];
                if (camera_ != nullptr) {
                    OvCameraSetFarClipPlane(camera_, farClip_);
                }
            } else {
                fov_ = v[2];
            }
        }
        // Clip planes the wrong way round show nothing at all (each is above 0, as its range has it).
        if (!(farClip_ > nearClip_)) {
            ErrorBox(AttributeFaultMessage("farClip", "Camera",
                                           "The clip planes must keep 0 < nearClip < farClip; they are " +
                                               std::string(attributes[1]) + " and " + attributes[3] + ".")
                         .c_str());
            return false;
        }
        return true;
    }
    if (Is(name, "SwitchSequence")) {
        inSwitchSequence_ = true;
        sequenceCount_ = 0;
        sequencePlace_ = ConfigPlace();
        return true;
    }
    if (inSwitchSequence_ && Is(name, "Mode")) {
        const char* value = ReadTextAttribute("value", attributes, 0);
        if (value == nullptr) {
            ConfigWarning("a 'Mode' of the 'SwitchSequence' without its 'value' is left out");
            return false;
        }
        const std::int32_t mode = CameraModeFromName(value);
        if (mode == 0) {
            ErrorBox("Unrecognized camera mode.\nPlease fix the 'SwitchSequence' section in your XML file");
            return false;
        }
        if (sequenceCount_ == kMaxSequence) {
            ErrorBox("Too much camera modes in 'SwitchSequence'.\nPlease increase MAX_CAMERA_MODES value");
            return false;
        }
        sequence_[sequenceCount_++] = mode;
        return true;
    }
    if (Is(name, "CameraMode")) {
        const char* value = ReadTextAttribute("mode", attributes, 0);
        if (value == nullptr) {
            ConfigWarning("a 'CameraMode' without its 'mode' is left out; the camera starts in its own mode");
            return false;
        }
        const std::int32_t mode = CameraModeFromName(value);
        if (mode == 0) {
            ErrorBox("Unrecognized camera mode.\nPlease fix the 'CameraMode' section in your XML file");
            return false;
        }
        mode_ = mode;
        return true;
    }
    if (Is(name, "Follow")) {
        static constexpr const char* kNames[4] = {"minVAngle", "maxVAngle", "minDistance", "maxDistance"};
        float v[4] = {minVAngle_, maxVAngle_, minDistance_ / scale_, maxDistance_ / scale_};
        if (!ReadFloats(attributes, "Follow", kNames, 4, v)) {
            return false;
        }
        // Limits the wrong way round would hold the view at one of them: they are swapped, said.
        for (int k = 0; k < 4; k += 2) {
            SwapIfReversed("Follow", kNames[k], &v[k], kNames[k + 1], &v[k + 1]);
        }
        minVAngle_ = v[0];
        maxVAngle_ = v[1];
        minDistance_ = v[2] * scale_;
        maxDistance_ = v[3] * scale_;
        return true;
    }
    if (Is(name, "Free")) {
        inFree_ = true;
        return true;
    }
    if (Is(name, "Fixed")) {
        inFixed_ = true;
        std::snprintf(pendingName_, sizeof pendingName_, "Camera %d", fixedCount_);
        return true;
    }
    if (inFixed_) {
        if (Is(name, "Name")) {
            const char* value = ReadTextAttribute("value", attributes, 0);
            if (value == nullptr) {
                ConfigWarning("a fixed viewpoint's 'Name' without its 'value' is left out; the viewpoint is named '" +
                              std::string(pendingName_) + "'");
                return false;
            }
            std::snprintf(pendingName_, sizeof pendingName_, "%s", value); // long names are cut to the field
            return true;
        }
        if (Is(name, "Position")) {
            return ReadPoint(attributes, "Position", &pendingPosition_);
        }
        if (Is(name, "Target")) {
            if (!ReadPoint(attributes, "Target", &pendingTarget_)) {
                return false;
            }
            if (fixedCount_ == kMaxFixed) {
                ErrorBox("Too much fixed cameras.\nPlease increase MAX_FIXED_CAMERAS value");
                return false;
            }
            OvFrame* frame = EngineStarted() ? OvFrameCreate() : nullptr;
            if (frame == nullptr) {
                return false;
            }
            OvMatrix* m = OvFrameGetMatrix(frame);
            OvV3d direction;
            OvV3dSub(&direction, &pendingTarget_, &pendingPosition_);
            if (OvV3dLength(&direction) > 0.0f) {
                Orient(m, direction);
            }
            m->pos = pendingPosition_;
            OvMatrixUpdate(m);
            OvFrameMarkDirty(frame);
            FixedView& view = fixed_[fixedCount_++];
            view.frame = frame;
            std::memcpy(view.name, pendingName_, sizeof view.name);
            // The next viewpoint of the section is named after its own place unless it has a name.
            std::snprintf(pendingName_, sizeof pendingName_, "Camera %d", fixedCount_);
            return true;
        }
    }
    if (inFree_) {
        if (Is(name, "InitialPosition")) {
            OvV3d position = Position();
            if (!ReadPoint(attributes, "InitialPosition", &position)) {
                return false;
            }
            if (OvFrame* frame = CameraFrame()) {
                OvFrameGetMatrix(frame)->pos = position;
                OvMatrixUpdate(OvFrameGetMatrix(frame));
                OvFrameMarkDirty(frame);
            }
            return true;
        }
        if (Is(name, "InitialTarget")) {
            OvV3d target = {0.0f, 0.0f, 0.0f};
            if (!ReadPoint(attributes, "InitialTarget", &target)) {
                return false;
            }
            const OvV3d position = Position();
            if (target.x == position.x && target.y == position.y && target.z == position.z) {
                return false; // no direction to look along
            }
            LookAt(position, target);
            return true;
        }
    }
    return true;
}

bool CCameraManager::EndElement(const char* name) {
    if (Is(name, "Free")) {
        inFree_ = false;
    } else if (Is(name, "Fixed")) {
        inFixed_ = false;
    } else if (Is(name, "SwitchSequence")) {
        inSwitchSequence_ = false;
        if (sequenceCount_ == 0) {
            // Said with the start of the sequence that names no mode, not its end.
            if (!sequencePlace_.empty()) {
                SetConfigPlace(nullptr, 0);
            }
            ErrorBox(
                ("Empty camera switch sequence.\nPlease fix the 'SwitchSequence' section in your XML file" +
                 (sequencePlace_.empty() ? "" : "\nIts 'SwitchSequence' (" + sequencePlace_ + ") names no 'Mode'."))
                    .c_str());
            return false;
        }
    }
    return true;
}

bool CCameraManager::CreateCamera(std::int32_t width, std::int32_t height, bool zBuffer) {
    DestroyCamera();
    if (!EngineStarted()) {
        return false;
    }
    camera_ = SkelCameraCreate(width, height, zBuffer);
    if (camera_ == nullptr) {
        return false;
    }
    OvCameraSetNearClipPlane(camera_, nearClip_);
    OvCameraSetFarClipPlane(camera_, farClip_);
    OvFrame* frame = CameraFrame();
    const OvV3d start = {7.46f, 8.72f, -2.64f};
    OvFrameRotate(frame, &kYAxis, 180.0f, ovCOMBINEREPLACE);
    OvFrameTranslate(frame, &start, ovCOMBINEPOSTCONCAT);
    pitch_ = 0.0f;
    crosshair_ = ReadFrameworkTexture(kCrosshairName);
    followYaw_ = 0.0f;
    followPitch_ = 0.5f * (minVAngle_ + maxVAngle_);
    followDistance_ = 0.5f * (minDistance_ + maxDistance_);
    BuildCrosshair();
    // A missing spline leaves the path camera without a path: its step hands over at once.
    if (char* path = SkelPathCreate(kSplineFile)) {
        TakeGraphicsReadCause(); // what an earlier read left
        spline_ = OvSplineLoad(path);
        SkelPathDestroy(path);
        // A path that is not there or damaged is said: the Path camera then has none.
        std::string fault;
        if (spline_ == nullptr) {
            const std::string cause = TakeGraphicsReadCause();
            fault = DataFolderAt(kSplineFile)    ? "it is a folder, not a file"
                    : DataFileExists(kSplineFile) ? cause
                                                  : "it is not there";
        } else if (!AllWithinReach(spline_->points, static_cast<std::size_t>(std::max(spline_->numPoints, 0)))) {
            // The file's points: the control points solved through them may lie further out.
            fault = "a point of it is not finite or beyond a million";
            OvSplineDestroy(spline_);
            spline_ = nullptr;
        }
        if (!fault.empty()) {
            std::string shown = kSplineFile;
            std::replace(shown.begin(), shown.end(), '\\', '/');
            // config.xml does not name the file: its path alone says which it is.
            DataFileWarning(shown, "the camera path '" + shown + "' does not read (" + fault +
                                       "); the Path camera has no path");
        }
    }
    // Without its texture the camera is complete all the same; the error box has stopped the frames.
    return crosshair_ != nullptr;
}

bool CCameraManager::DestroyCamera() {
    // Text drawn on this camera (the framework's font, through the 2D toolkit) stops with it.
    if (camera_ != nullptr && Ov2dDeviceGetCamera() == camera_) {
        if (g_font != nullptr) {
            g_font->Release();
        }
        if (Ov2dDeviceGetCamera() == camera_) {
            Ov2dDeviceSetCamera(nullptr);
        }
    }
    if (camera_ != nullptr) {
        if (ownsRasters_) {
            SkelCameraDestroy(camera_);
        } else {
            // A world camera shares the main camera's rasters.
            if (OvFrame* frame = OvCameraGetFrame(camera_)) {
                OvCameraSetFrame(camera_, nullptr);
                OvFrameDestroy(frame);
            }
            camera_->frameBuffer = nullptr;
            camera_->zBuffer = nullptr;
            OvCameraDestroy(camera_);
        }
        camera_ = nullptr;
    }
    if (crosshair_ != nullptr) {
        OvTextureDestroy(crosshair_);
        crosshair_ = nullptr;
    }
    if (spline_ != nullptr) {
        OvSplineDestroy(spline_);
        spline_ = nullptr;
    }
    return true;
}

void CCameraManager::CopyCamera(const CCameraManager& other) {
    if (camera_ != nullptr && other.camera_ == nullptr && !ownsRasters_) {
        // The main camera is gone, and the rasters this one drew into with it.
        camera_->frameBuffer = nullptr;
        camera_->zBuffer = nullptr;
    }
    if (camera_ == nullptr || other.camera_ == nullptr) {
        return;
    }
    OvCameraSetNearClipPlane(camera_, other.camera_->nearPlane);
    OvCameraSetFarClipPlane(camera_, other.camera_->farPlane);
    OvCameraSetProjection(camera_, other.camera_->projectionType);
    OvFrame* from = OvCameraGetFrame(other.camera_);
    OvFrame* to = OvCameraGetFrame(camera_);
    if (from != nullptr && to != nullptr && from != to) {
        *OvFrameGetMatrix(to) = *OvFrameGetMatrix(from);
        OvFrameMarkDirty(to);
    }
    OvCameraSetViewWindow(camera_, &other.camera_->viewWindow);
    OvCameraSetViewOffset(camera_, &other.camera_->viewOffset);
    // The rasters follow the main camera's (a resize replaces them).
    camera_->frameBuffer = other.camera_->frameBuffer;
    camera_->zBuffer = other.camera_->zBuffer;
}

void CCameraManager::Resize(std::int32_t width, std::int32_t height) {
    if (camera_ == nullptr || width <= 0 || height <= 0) {
        return;
    }
    if (ownsRasters_ && camera_->frameBuffer != nullptr &&
        (camera_->frameBuffer->width != width || camera_->frameBuffer->height != height)) {
        OvRaster* frameBuffer = OvRasterCreate(width, height, 0, ovRASTERTYPECAMERA);
        OvRaster* zBuffer =
            camera_->zBuffer != nullptr ? OvRasterCreate(width, height, 0, ovRASTERTYPEZBUFFER) : nullptr;
        if (frameBuffer != nullptr && (camera_->zBuffer == nullptr || zBuffer != nullptr)) {
            OvRasterDestroy(camera_->frameBuffer);
            camera_->frameBuffer = frameBuffer;
            if (zBuffer != nullptr) {
                OvRasterDestroy(camera_->zBuffer);
                camera_->zBuffer = zBuffer;
            }
        } else {
            // Out of memory: the camera keeps its old size.
            if (frameBuffer != nullptr) {
                OvRasterDestroy(frameBuffer);
            }
            if (zBuffer != nullptr) {
                OvRasterDestroy(zBuffer);
            }
        }
    }
    const float window = std::tan(45.0f * 3.14159265f / 180.0f);
    const OvV2d viewWindow = {window, window / (4.0f / 3.0f)};
    OvCameraSetViewWindow(camera_, &viewWindow);
    BuildCrosshair();
}

bool CCameraManager::BuildCrosshair() {
    if (camera_ == nullptr || camera_->frameBuffer == nullptr) {
        return true;
    }
    const float cx =
        static_cast<float>(static_cast<std::int32_t>(static_cast<float>(camera_->frameBuffer->width) * 0.5f));
    const float cy =
        static_cast<float>(static_cast<std::int32_t>(static_cast<float>(camera_->frameBuffer->height) * 0.5f));
    const float screenZ = OvEngineInstancePtr != nullptr ? OvEngineInstancePtr->screenZ : 0.0f;
    // The reciprocal depth of the near plane, a little nearer, as the other overlays use.
    const float recipZ = 1.0f / camera_->nearPlane - 0.1f;
    const float corners[4][4] = {
        {cx - 1, cy - 1, 0, 0}, {cx + 1, cy + 1, 1, 1}, {cx - 1, cy + 1, 0, 1}, {cx + 1, cy - 1, 1, 0}};
    for (int i = 0; i < 4; ++i) {
        crosshairVertices_[i] = {corners[i][0], corners[i][1], screenZ,      recipZ,
                                 0xFFFFFFFFu,   corners[i][2], corners[i][3]};
    }
    std::memcpy(crosshairIndices_, kQuadIndices, sizeof kQuadIndices);
    return true;
}

void CCameraManager::BeginUpdate() {
    if (camera_ == nullptr) {
        return;
    }
    OvCameraClear(camera_, &background_, ovCAMERACLEARIMAGE | ovCAMERACLEARZ);
    OvCameraBeginUpdate(camera_);
}

void CCameraManager::ResumeUpdate() {
    if (camera_ != nullptr) {
        OvCameraBeginUpdate(camera_);
    }
}

void CCameraManager::EndUpdate() {
    if (camera_ != nullptr) {
        OvCameraEndUpdate(camera_);
    }
}

void CCameraManager::ShowRaster() {
    if (camera_ != nullptr) {
        SkelCameraShowRaster(camera_);
    }
}

void CCameraManager::RenderOverlay() {
    if (g_paused) {
        return;
    }
    if (mode_ == kCameraFixed && fixedIndex_ < fixedCount_) {
        if (gText != nullptr) {
            gText(fixed_[fixedIndex_].name, 0.025f, 0.82f, 0.04f);
        }
        return;
    }
    if (mode_ != kCameraFps || camera_ == nullptr || OvEngineInstancePtr == nullptr) {
        return;
    }
    SetState(ovRENDERSTATEZTESTENABLE, 0);
    SetState(ovRENDERSTATEZWRITEENABLE, 0);
    if (crosshair_ != nullptr) {
        SetState(ovRENDERSTATETEXTURERASTER, reinterpret_cast<std::uintptr_t>(crosshair_->raster));
    }
    OvEngineInstancePtr->dOpenDevice.im2DRenderIndexedPrimitive(ovPRIMTYPETRILIST, crosshairVertices_, 4,
                                                                crosshairIndices_, 6);
    SetState(ovRENDERSTATEZTESTENABLE, 1);
    SetState(ovRENDERSTATEZWRITEENABLE, 1);
}

std::string CCameraManager::InfoText() const {
    if (mode_ == kCameraFixed) {
        return fixedIndex_ < fixedCount_ ? fixed_[fixedIndex_].name : "";
    }
    const OvV3d p = Position();
    char text[128];
    std::snprintf(text, sizeof text, "%s camera at %2.2f %2.2f %2.2f", CameraModeName(mode_), static_cast<double>(p.x),
                  static_cast<double>(p.y), static_cast<double>(p.z));
    return text;
}

void CCameraManager::PrintInfo() {
    const std::string text = InfoText();
    if (gText != nullptr && !text.empty()) {
        gText(text.c_str(), 0.025f, 0.82f, 0.04f);
    }
    if (g_debugLevel > 2) {
        DrawSubjectAxes();
    }
}

void CCameraManager::DrawSubjectAxes() const {
    OvFrame* target = subject_ != nullptr ? subject_->SubjectFrame() : nullptr;
    if (target == nullptr || OvEngineInstancePtr == nullptr) {
        return;
    }
    // The followed character's axes from its origin, a metre each: right red, up green, at blue.
    const OvMatrix* world = OvFrameGetWorldMatrix(target);
    const OvV3d* axes[3] = {&world->right, &world->up, &world->at};
    constexpr OvUInt32 kColours[3] = {0xFFFF0000u, 0xFF00FF00u, 0xFF0000FFu};
    OvIm3DVertex lines[6] = {};
    for (int i = 0; i < 3; ++i) {
        OvV3d axis;
        OvV3dNormalize(&axis, axes[i]);
        OvV3dScale(&axis, &axis, kAxisLength * scale_);
        lines[2 * i].objVertex = world->pos;
        OvV3dAdd(&lines[2 * i + 1].objVertex, &world->pos, &axis);
        lines[2 * i].color = lines[2 * i + 1].color = kColours[i];
    }
    if (OvIm3DTransform(lines, 6, nullptr, 0) != nullptr) {
        OvIm3DRenderPrimitive(ovPRIMTYPELINELIST);
        OvIm3DEnd();
    }
}

void CCameraManager::LookAt(const OvV3d& position, const OvV3d& target) {
    OvFrame* frame = CameraFrame();
    if (frame == nullptr) {
        return;
    }
    OvMatrix* m = OvFrameGetMatrix(frame);
    m->pos = position;
    OvV3d at;
    OvV3dSub(&at, &target, &position);
    if (OvV3dLength(&at) > 0.0f) {
        Orient(m, at);
        // The free camera's pitch limits count from the direction looked at.
        pitch_ = PitchOf(*m);
    }
    OvMatrixUpdate(m);
    OvFrameMarkDirty(frame);
}

void CCameraManager::Pan(float dx, float dy) {
    OvFrame* frame = CameraFrame();
    if (frame == nullptr) {
        return;
    }
    OvMatrix* m = OvFrameGetMatrix(frame);
    OvV3d offset = {m->right.x * dx + m->up.x * dy, m->right.y * dx + m->up.y * dy, m->right.z * dx + m->up.z * dy};
    OvFrameTranslate(frame, &offset, ovCOMBINEPOSTCONCAT);
}

void CCameraManager::Move(float distance) {
    OvFrame* frame = CameraFrame();
    if (frame == nullptr) {
        return;
    }
    OvMatrix* m = OvFrameGetMatrix(frame);
    OvV3d offset;
    OvV3dScale(&offset, &m->at, distance);
    OvFrameTranslate(frame, &offset, ovCOMBINEPOSTCONCAT);
}

void CCameraManager::Turn(float pitch, float yaw) {
    OvFrame* frame = CameraFrame();
    if (frame == nullptr) {
        return;
    }
    // The pitch stops short of straight up and down, where the yaw axis would turn the view over.
    const float newPitch = Clamp(pitch_ + pitch, -89.0f, 89.0f);
    pitch = newPitch - pitch_;
    pitch_ = newPitch;
    OvMatrix* m = OvFrameGetMatrix(frame);
    const OvV3d position = m->pos;
    const OvV3d right = m->right;
    m->pos = {0.0f, 0.0f, 0.0f};
    OvMatrixRotate(m, &right, pitch, ovCOMBINEPOSTCONCAT);
    OvMatrixRotate(m, &kYAxis, yaw, ovCOMBINEPOSTCONCAT);
    m->pos = position;
    OvMatrixUpdate(m);
    OvFrameMarkDirty(frame);
}

bool CCameraManager::PickPoint(OvV3d* point) {
    if (pickWorld_ == nullptr || camera_ == nullptr) {
        return false;
    }
    const CInputManager* input = CInputManager::GetInstance();
    const OvV2d pixel = {input->PointerX(), input->PointerY()};
    OvLine line;
    if (OvCameraCalcPixelRay(camera_, &line, &pixel) == nullptr) {
        return false;
    }
    return pickWorld_->LineHit(line.start, line.end, point);
}

void CCameraManager::Follow(CCameraSubject* subject) {
    subject_ = subject;
    subjectWasHidden_ = subject != nullptr && !subject->SubjectVisible();
}

void CCameraManager::NextCamera() {
    // Each entry is looked at once at most: a sequence of nothing but "Fixed" with no viewpoint
    // leaves the mode as it is.
    for (int tries = 0; tries < sequenceCount_; ++tries) {
        sequenceIndex_ = sequenceIndex_ + 1 < sequenceCount_ ? sequenceIndex_ + 1 : 0;
        if (sequence_[sequenceIndex_] != kCameraFixed || fixedCount_ > 0) {
            mode_ = sequence_[sequenceIndex_];
            return;
        }
    }
}

void CCameraManager::NextFixedCamera() {
    if (fixedCount_ == 0) {
        return;
    }
    fixedIndex_ = fixedIndex_ + 1 < fixedCount_ ? fixedIndex_ + 1 : 0;
    mode_ = kCameraFixed;
}

bool CCameraManager::TakeDelta(float* dx, float* dy) { return CInputManager::GetInstance()->TakeDelta(dx, dy); }

void CCameraManager::ShowSubject() {
    if (subject_ != nullptr && !subject_->SubjectVisible()) {
        subject_->SetSubjectVisible(true);
    }
}

void CCameraManager::Update(float dt) {
    bool ok = false;
    switch (mode_) {
    case kCameraFree:
        ok = StepFree();
        break;
    case kCameraFollow:
        ok = StepFollow();
        break;
    case kCameraFps:
        ok = StepFps();
        break;
    case kCameraPath:
        ok = StepPath(dt);
        break;
    case kCameraFixed:
        ok = StepFixed();
        break;
    default:
        break;
    }
    if (ok) {
        previousMode_ = mode_;
    }
}

bool CCameraManager::StepFree() {
    ShowSubject();
    // Chosen again, the free camera goes on from where the previous mode left it; its pitch limits
    // count from the direction it looks along there.
    if (previousMode_ != kCameraFree) {
        if (OvFrame* frame = CameraFrame()) {
            pitch_ = PitchOf(*OvFrameGetMatrix(frame));
        }
    }
    CInputManager* input = CInputManager::GetInstance();
    if (!input->LeftButton() && !input->RightButton()) {
        return true;
    }
    float dx = 0.0f;
    float dy = 0.0f;
    if (!TakeDelta(&dx, &dy)) {
        return true;
    }
    if (input->LeftButton()) {
        if (input->LeftControl()) {
            Pan(dx * scale_ * 0.1f, dy * scale_ * 0.1f);
        } else {
            Turn(dy * 0.2f, dx * 0.2f);
        }
    }
    if (input->RightButton()) {
        Move(dy * scale_ * -0.1f);
    }
    return true;
}

bool CCameraManager::StepFollow() {
    OvFrame* target = subject_ != nullptr ? subject_->SubjectFrame() : nullptr;
    OvFrame* frame = CameraFrame();
    if (target == nullptr || frame == nullptr) {
        return true; // nothing to follow: the camera stays where it is
    }
    ShowSubject();
    CInputManager* input = CInputManager::GetInstance();
    float dx = 0.0f;
    float dy = 0.0f;
    if (input->LeftButton() && TakeDelta(&dx, &dy)) {
        followYaw_ -= dx;
        followPitch_ = Clamp(followPitch_ + dy, minVAngle_, maxVAngle_);
    }
    if (input->RightButton() && TakeDelta(&dx, &dy)) {
        followDistance_ = Clamp(followDistance_ + dy * scale_ * 0.04f, minDistance_, maxDistance_);
    }
    followPitch_ = Clamp(followPitch_, minVAngle_, maxVAngle_);
    followDistance_ = Clamp(followDistance_, minDistance_, maxDistance_);
    // The character's frame with unit axes, turned by the yaw and pitch in its own space; the
    // camera then backs away along its view by the distance, aiming a little above the origin.
    OvMatrix m;
    OvMatrixOrthoNormalize(&m, OvFrameGetWorldMatrix(target));
    const OvV3d origin = m.pos;
    m.pos = {0.0f, 0.0f, 0.0f};
    // In the character's own space: the pitch about its x axis, then the yaw about its y axis.
    OvMatrixRotate(&m, &kYAxis, followYaw_, ovCOMBINEPRECONCAT);
    OvMatrixRotate(&m, &kXAxis, followPitch_, ovCOMBINEPRECONCAT);
    OvV3d eye;
    OvV3dScale(&eye, &m.at, -followDistance_);
    OvV3dAdd(&eye, &eye, &origin);
    eye.y += kFollowHeight * scale_;
    m.pos = eye;
    OvMatrixUpdate(&m);
    *OvFrameGetMatrix(frame) = m;
    OvFrameMarkDirty(frame);
    return true;
}

bool CCameraManager::StepFps() {
    OvFrame* target = subject_ != nullptr ? subject_->SubjectFrame() : nullptr;
    OvFrame* frame = CameraFrame();
    if (target == nullptr || frame == nullptr) {
        return true; // no character to look through: the camera stays where it is
    }
    if (subject_->SubjectVisible()) {
        subject_->SetSubjectVisible(false);
    }
    CInputManager* input = CInputManager::GetInstance();
    if (previousMode_ != kCameraFps) {
        input->CenterCursor();
        input->ClearDelta();
        pitch_ = 0.0f; // the view starts level, where the character looks
    } else {
        float dx = 0.0f;
        float dy = 0.0f;
        if (input->TakeDelta(&dx, &dy)) {
            OvFrameRotate(target, &kYAxis, dx * -0.5f, ovCOMBINEPRECONCAT);
            pitch_ = Clamp(pitch_ + dy, -89.0f, 89.0f);
        }
        // The window's cursor goes back to the middle once it has strayed a quarter of the view
        // from it, before it can stop at the window's edge.
        const OvRaster* raster = camera_ != nullptr ? camera_->frameBuffer : nullptr;
        if (raster != nullptr && (std::fabs(input->PointerX() - 0.5f * static_cast<float>(raster->width)) >
                                      0.25f * static_cast<float>(raster->width) ||
                                  std::fabs(input->PointerY() - 0.5f * static_cast<float>(raster->height)) >
                                      0.25f * static_cast<float>(raster->height))) {
            input->CenterCursor();
        }
    }
    OvMatrix m;
    OvMatrixOrthoNormalize(&m, OvFrameGetWorldMatrix(target));
    const OvV3d position = m.pos;
    m.pos = {0.0f, 0.0f, 0.0f};
    OvMatrixRotate(&m, &kXAxis, pitch_, ovCOMBINEPRECONCAT);
    OvV3d eye;
    const OvMatrix* world = OvFrameGetWorldMatrix(target);
    OvV3d up;
    OvV3dNormalize(&up, &world->up);
    OvV3dScale(&eye, &up, kEyeHeight * scale_);
    OvV3dAdd(&eye, &eye, &position);
    m.pos = eye;
    OvMatrixUpdate(&m);
    *OvFrameGetMatrix(frame) = m;
    OvFrameMarkDirty(frame);
    return true;
}

bool CCameraManager::StepPath(float dt) {
    ShowSubject();
    if (spline_ == nullptr) {
        // No path to run along: on as when the path has ended, to the free camera.
        previousMode_ = kCameraPath;
        mode_ = kCameraFree;
        return false;
    }
    if (previousMode_ != kCameraPath) {
        pathT_ = 0.0f;
    }
    OvV3d position;
    OvV3d ahead;
    OvSplineEvaluate(spline_, ovSPLINEPATHLINEAR, pathT_, &position, nullptr);
    OvSplineEvaluate(spline_, ovSPLINEPATHLINEAR, pathT_ + kPathLookAhead, &ahead, nullptr);
    LookAt(position, ahead);
    pathT_ += dt * 0.025f * 20.0f;
    if (pathT_ >= kPathEnd) {
        previousMode_ = kCameraPath;
        mode_ = kCameraFps;
        return false;
    }
    return true;
}

bool CCameraManager::StepFixed() {
    ShowSubject();
    OvFrame* frame = CameraFrame();
    if (fixedIndex_ >= fixedCount_ || frame == nullptr) {
        previousMode_ = kCameraFixed;
        mode_ = kCameraFree;
        return false;
    }
    OvMatrixOrthoNormalize(OvFrameGetMatrix(frame), OvFrameGetMatrix(fixed_[fixedIndex_].frame));
    OvFrameMarkDirty(frame);
    return true;
}
