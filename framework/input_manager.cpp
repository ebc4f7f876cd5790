#include "framework/input_manager.h"

#include <cstdint>
#include <cstring>
#include <string>

#include "framework/camera_manager.h"
#include "framework/framework.h"
#include "framework/read_faults.h"
#include "graphics/core/camera.h"
#include "graphics/core/d3d9/render_state.h"
#include "graphics/core/engine.h"
#include "graphics/core/im3d.h"
#include "graphics/core/image.h"
#include "graphics/core/raster.h"
#include "graphics/core/texture.h"
#include "graphics/shared/skel/win/skeleton.h"
#include "platform/crt.h"

namespace {

CInputManager* gInstance = nullptr;

// Key codes of the shell's key table that the game reads.
enum KeyCode : std::uint32_t {
    kKeySpace = 32,
    kKeyC = 99,
    kKeyX = 120,
    kKeyZ = 122,
    kKeyF1 = 129,
    kKeyF12 = 140,
    kKeyUp = 147,
    kKeyDown = 148,
    kKeyLeft = 149,
    kKeyRight = 150,
    kKeyPad0 = 151,
    kKeyPadEnter = 166,
    kKeyTab = 169,
    kKeyEnter = 171,
    kKeyLeftShift = 172,
    kKeyRightShift = 173,
    kKeyLeftControl = 174,
    kKeyRightControl = 175,
};

constexpr OvUInt16 kQuadIndices[6] = {2, 1, 0, 1, 3, 0};

void SetState(OvInt32 state, std::uintptr_t value) {
    OvEngineInstancePtr->dOpenDevice.setRenderState(state, reinterpret_cast<void*>(value));
}

} // namespace

OvTexture* ReadFrameworkTexture(const char* name) {
    if (char* path = SkelPathCreate("MODELS/TEXTURES/")) {
        OvImageSetPath(path);
        SkelPathDestroy(path);
    }
    TakeGraphicsReadCause(); // what an earlier read left
    OvTexture* texture = OvTextureRead(name, nullptr);
    if (texture == nullptr) {
        // A file that is there but does not read is said as such.
        const std::string image = std::string("MODELS/TEXTURES/") + name;
        FileErrorBox(image, std::string("Texture not found : '") + name + "'\n" + FileReadFault(image));
    }
    return texture;
}

CInputManager* CInputManager::GetInstance() {
    if (gInstance == nullptr) {
        gInstance = new CInputManager();
    }
    return gInstance;
}

void CInputManager::Destroy() {
    delete gInstance;
    gInstance = nullptr;
}

CInputManager::~CInputManager() {
    mouse_.reset();
    if (pointerTexture_ != nullptr) {
        OvTextureDestroy(pointerTexture_);
    }
}

bool CInputManager::RegisterHandlers() {
    SkelInputDeviceAttach(SKEL_DEVICE_MOUSE, MouseHandler);
    SkelInputDeviceAttach(SKEL_DEVICE_KEYBOARD, KeyboardHandler);
    SkelInputDeviceAttach(SKEL_DEVICE_PAD, PadHandler);
    return true;
}

std::int32_t CInputManager::KeyboardHandler(std::int32_t event, void* parameter) {
    if (parameter == nullptr) {
        return SKEL_EVENT_NOT_HANDLED;
    }
    return GetInstance()->HandleKey(event, static_cast<const SkelKeyRecord*>(parameter)->keyCode);
}

std::int32_t CInputManager::MouseHandler(std::int32_t event, void* parameter) {
    return GetInstance()->HandleMouse(event, parameter);
}

std::int32_t CInputManager::PadHandler(std::int32_t event, void* parameter) {
    return GetInstance()->HandlePad(event, static_cast<const PadRecord*>(parameter));
}

bool CInputManager::StartElement(const char* name, const char** attributes) {
    if (_stricmp(name, "MouseMode") == 0) {
        return ReadIntAttribute("Value", attributes, 0, &mouseMode_);
    }
    return true;
}

std::int32_t CInputManager::HandleKey(std::int32_t event, std::uint32_t code) {
    if ((event != SKEL_EVENT_KEY_DOWN && event != SKEL_EVENT_KEY_UP) || code < 32 || code > 175) {
        return SKEL_EVENT_NOT_HANDLED;
    }
    const bool down = event == SKEL_EVENT_KEY_DOWN;
    // An axis key sets its value when pressed and clears the axis on release only while the axis
    // still holds that value, so that the other key of the pair wins when both were pressed.
    auto axis = [down](float* value, float key) {
        if (down) {
            *value = key;
        } else if (*value == key) {
            *value = 0.0f;
        }
    };
    auto held = [down](std::int32_t* flag) { *flag = down ? 1 : 0; };
    if (code >= kKeyF1 && code <= kKeyF12) {
        if (down) {
            functionKeys_[code - kKeyF1] = 1;
        }
        return SKEL_EVENT_HANDLED;
    }
    switch (code) {
    case kKeySpace:
        held(&fire_);
        break;
    case kKeyC:
        if (down) {
            nextCameraRequest_ = 1;
        }
        break;
    case kKeyX:
        axis(&turn_, -1.0f);
        break;
    case kKeyZ:
        axis(&turn_, 1.0f);
        break;
    case kKeyUp:
        axis(&forward_, 1.0f);
        break;
    case kKeyDown:
        axis(&forward_, -1.0f);
        break;
    case kKeyLeft:
        axis(&sideways_, 1.0f);
        break;
    case kKeyRight:
        axis(&sideways_, -1.0f);
        break;
    case kKeyPad0:
        if (down) {
            keypad0_ = 1;
        }
        break;
    case kKeyTab:
        // A request like "c": kept until the frame takes it, so that a press released before
        // the next frame still counts.
        if (down) {
            nextFixedCameraRequest_ = 1;
        }
        break;
    case kKeyEnter:
    case kKeyPadEnter:
        // The start screen's continue request.
        if (down) {
            continueRequest_ = 1;
        }
        break;
    case kKeyLeftShift:
        held(&aim_);
        break;
    case kKeyRightShift:
        held(&run_);
        break;
    case kKeyLeftControl:
        held(&leftControl_);
        break;
    case kKeyRightControl:
        held(&rightControl_);
        break;
    default:
        return SKEL_EVENT_NOT_HANDLED;
    }
    return SKEL_EVENT_HANDLED;
}

std::int32_t CInputManager::HandleMouse(std::int32_t event, const void* parameter) {
    if (mouseMode_ == 0 && directInputEnabled_ != 0) {
        return SKEL_EVENT_NOT_HANDLED;
    }
    const auto* mouse = static_cast<const SkelMouseRecord*>(parameter);
    switch (event) {
    case SKEL_EVENT_MOUSE_LEFT_DOWN:
        dx_ = dy_ = 0.0f;
        leftButton_ = 1;
        return SKEL_EVENT_HANDLED;
    case SKEL_EVENT_MOUSE_LEFT_UP:
        leftButton_ = 0;
        return SKEL_EVENT_HANDLED;
    case SKEL_EVENT_MOUSE_RIGHT_DOWN:
        dx_ = dy_ = 0.0f;
        rightButton_ = 1;
        return SKEL_EVENT_HANDLED;
    case SKEL_EVENT_MOUSE_RIGHT_UP:
        rightButton_ = 0;
        return SKEL_EVENT_HANDLED;
    case SKEL_EVENT_MOUSE_MOVE:
        if (mouse == nullptr) {
            return SKEL_EVENT_NOT_HANDLED;
        }
        // The moves add up until the frame takes them, as the DirectInput mouse's records do, so
        // that the view turns by all of a frame's moves; in the first-person view too, where a
        // move measured from the centre would count the cursor's whole way again with every move
        // (the camera brings the cursor back to the centre before it reaches the window's edge).
        dx_ += mouse->dx;
        dy_ += mouse->dy;
        pointerX_ = mouse->x;
        pointerY_ = mouse->y;
        return SKEL_EVENT_HANDLED;
    default:
        return SKEL_EVENT_NOT_HANDLED;
    }
}

std::int32_t CInputManager::HandlePad(std::int32_t event, const PadRecord* pad) {
    if (pad == nullptr || CameraModeNow() == kCameraFps) {
        return SKEL_EVENT_NOT_HANDLED;
    }
    switch (event) {
    case kPadButtonsDown: {
        const std::uint32_t b = pad->buttons;
        const float step = CameraModeNow() == kCameraFree ? 8.0f : 2.0f;
        if ((b & (kPadUp | kPadDown | kPadLeft | kPadRight)) != 0) {
            dx_ += ((b & kPadRight) != 0 ? step : 0.0f) - ((b & kPadLeft) != 0 ? step : 0.0f);
            dy_ += ((b & kPadDown) != 0 ? step : 0.0f) - ((b & kPadUp) != 0 ? step : 0.0f);
            leftButton_ = 1;
        }
        if ((b & (kPadZoomIn | kPadZoomOut)) != 0) {
            dy_ += ((b & kPadZoomOut) != 0 ? 10.0f : 0.0f) - ((b & kPadZoomIn) != 0 ? 10.0f : 0.0f);
            rightButton_ = 1;
        }
        if ((b & kPadF1) != 0) {
            functionKeys_[0] = 1;
        }
        if ((b & kPadFire) != 0) {
            fire_ = 1;
            leftButton_ = 1;
        }
        if ((b & kPadAim) != 0) {
            aim_ = 1;
        }
        if ((b & kPadNextCamera) != 0) {
            nextCameraRequest_ = 1;
        }
        return SKEL_EVENT_HANDLED;
    }
    case kPadButtonsUp: {
        const std::uint32_t b = pad->buttons;
        if ((b & (kPadUp | kPadDown | kPadLeft | kPadRight | kPadFire)) != 0) {
            leftButton_ = 0;
        }
        if ((b & (kPadZoomIn | kPadZoomOut)) != 0) {
            rightButton_ = 0;
        }
        if ((b & kPadFire) != 0) {
            fire_ = 0;
        }
        if ((b & kPadAim) != 0) {
            aim_ = 0;
        }
        return SKEL_EVENT_HANDLED;
    }
    case kPadLeftStick:
    case kPadRightStick: {
        auto dead = [](float v) { return v > -kPadDeadZone && v < kPadDeadZone ? 0.0f : v; };
        const float x = dead(pad->x);
        const float y = dead(pad->y);
        if (event == kPadLeftStick) {
            // The left stick walks: forward when pushed up, sideways +1 to the left.
            forward_ = y < 0.0f ? 1.0f : (y > 0.0f ? -1.0f : 0.0f);
            sideways_ = x < 0.0f ? 1.0f : (x > 0.0f ? -1.0f : 0.0f);
        } else {
            dx_ += x;
            dy_ += y;
        }
        return SKEL_EVENT_HANDLED;
    }
    default:
        return SKEL_EVENT_NOT_HANDLED;
    }
}

bool CInputManager::CreatePointer() {
    if (mouseMode_ != 0) {
        return true;
    }
    if (mouse_ == nullptr) {
        mouse_ = std::make_unique<CDirectInputMouse>();
    }
    if (!mouse_->Create(g_mainInstance, g_mainWindow)) {
        mouse_.reset();
    }
    if (pointerTexture_ == nullptr) {
        pointerTexture_ = ReadFrameworkTexture(kPointerName);
    }
    if (pointerTexture_ == nullptr) {
        return false;
    }
    return mouse_ != nullptr;
}

void CInputManager::SetDirectInputEnabled(bool enabled) {
    if (mouseMode_ != 0) {
        return;
    }
    if (enabled && mouse_ == nullptr) {
        // Enabled again after a release: the device is opened anew.
        auto mouse = std::make_unique<CDirectInputMouse>();
        if (!mouse->Create(g_mainInstance, g_mainWindow)) {
            return;
        }
        mouse_ = std::move(mouse);
    }
    if (mouse_ == nullptr) {
        return;
    }
    directInputEnabled_ = enabled ? 1 : 0;
    if (enabled) {
        mouse_->Acquire();
    } else {
        mouse_.reset();
    }
}

void CInputManager::RasterSize(float* width, float* height) {
    const OvCamera* camera = g_cameraManager != nullptr ? g_cameraManager->Camera() : nullptr;
    if (camera != nullptr && camera->frameBuffer != nullptr) {
        *width = static_cast<float>(camera->frameBuffer->width);
        *height = static_cast<float>(camera->frameBuffer->height);
        return;
    }
    const SkelState* shell = SkelGetState();
    *width = static_cast<float>(shell->width);
    *height = static_cast<float>(shell->height);
}

std::int32_t CInputManager::CameraModeNow() { return g_cameraManager != nullptr ? g_cameraManager->Mode() : 0; }

void CInputManager::Update(float /*dt*/) {
    if (mouseMode_ != 0 || mouse_ == nullptr) {
        return;
    }
    mouse_->Poll();
    dx_ = mouse_->Dx();
    dy_ = mouse_->Dy();
    if (mouse_->LeftChanged()) {
        leftButton_ = mouse_->LeftState();
        if (leftButton_ == 1) {
            dx_ = dy_ = 0.0f;
        }
    }
    if (mouse_->RightChanged()) {
        rightButton_ = mouse_->RightState();
        if (rightButton_ == 1) {
            dx_ = dy_ = 0.0f;
        }
    }
    float width = 0.0f;
    float height = 0.0f;
    RasterSize(&width, &height);
    if (CameraModeNow() != kCameraFps) {
        pointerX_ += dx_ * 2.0f;
        pointerY_ += dy_ * 2.0f;
        pointerX_ = pointerX_ < 0.0f ? 0.0f : (pointerX_ > width ? width : pointerX_);
        pointerY_ = pointerY_ < 0.0f ? 0.0f : (pointerY_ > height ? height : pointerY_);
    } else {
        pointerX_ = static_cast<float>(static_cast<std::int32_t>(width) / 2);
        pointerY_ = static_cast<float>(static_cast<std::int32_t>(height) / 2);
    }
}

void CInputManager::BuildPointer(float screenZ, float recipZ) {
    const float px = static_cast<float>(static_cast<std::int32_t>(pointerX_));
    const float py = static_cast<float>(static_cast<std::int32_t>(pointerY_));
    const float h = static_cast<float>(kPointerHalfSize);
    const float corners[4][4] = {{px - h, py - h, 0.0f, 0.0f},
                                 {px + h, py + h, 1.0f, 1.0f},
                                 {px - h, py + h, 0.0f, 1.0f},
                                 {px + h, py - h, 1.0f, 0.0f}};
    for (int i = 0; i < 4; ++i) {
        pointerVertices_[i] = {corners[i][0], corners[i][1], screenZ,      recipZ,
                               0xFFFFFFFFu,   corners[i][2], corners[i][3]};
    }
    std::memcpy(pointerIndices_, kQuadIndices, sizeof kQuadIndices);
}

void CInputManager::DrawPointer() {
    if (mouseMode_ != 0 || (g_paused && !pointerMode_)) {
        return;
    }
    const std::int32_t mode = CameraModeNow();
    if (mode == kCameraFps || mode == kCameraPath) {
        return;
    }
    const OvCamera* camera = g_cameraManager != nullptr ? g_cameraManager->Camera() : nullptr;
    if (camera == nullptr || OvEngineInstancePtr == nullptr) {
        return;
    }
    BuildPointer(OvEngineInstancePtr->screenZ, camera->nearPlane);
    SetState(ovRENDERSTATEZTESTENABLE, 0);
    SetState(ovRENDERSTATEZWRITEENABLE, 0);
    SetState(ovRENDERSTATESRCBLEND, 5);
    SetState(ovRENDERSTATEDESTBLEND, 6);
    if (pointerTexture_ != nullptr) {
        SetState(ovRENDERSTATETEXTURERASTER, reinterpret_cast<std::uintptr_t>(pointerTexture_->raster));
    }
    OvEngineInstancePtr->dOpenDevice.im2DRenderIndexedPrimitive(ovPRIMTYPETRILIST, pointerVertices_, 4, pointerIndices_,
                                                                6);
    SetState(ovRENDERSTATEZTESTENABLE, 1);
    SetState(ovRENDERSTATEZWRITEENABLE, 1);
}

void CInputManager::CenterCursor() {
    if ((mouseMode_ == 0 && directInputEnabled_ != 0) || !g_active) {
        return;
    }
    float width = 0.0f;
    float height = 0.0f;
    RasterSize(&width, &height);
    // The shell maps the client position to the screen before it moves the cursor.
    SkelMousePointerSet(width * 0.5f, height * 0.5f);
    pointerX_ = width * 0.5f;
    pointerY_ = height * 0.5f;
    cursorCentred_ = 1;
}

bool CInputManager::ReleaseMouse() {
    if (mouseMode_ == 0) {
        mouse_.reset();
    }
    return true;
}

bool CInputManager::TakeDelta(float* dx, float* dy) {
    *dx = dx_;
    *dy = dy_;
    dx_ = dy_ = 0.0f;
    return *dx != 0.0f || *dy != 0.0f;
}
