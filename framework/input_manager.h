#pragma once
// The framework's input manager: turns the shell's keyboard, mouse and pad events and the
// DirectInput mouse into one record of game controls that the frame, the characters and the game
// poll once per frame (movement axes, run, aim, fire, one-shot requests and a mouse pointer), and
// draws the pointer.

#include <cstdint>
#include <memory>

#include "framework/config_reader.h"
#include "framework/directinput_mouse.h"
#include "graphics/core/d3d9/im2d.h"
#include "graphics/core/types.h"

struct OvTexture;

// The pad's button bits the input manager reads (device 2).
enum PadButton : std::uint32_t {
    kPadUp = 0x1,
    kPadDown = 0x2,
    kPadLeft = 0x4,
    kPadRight = 0x8,
    kPadZoomIn = 0x40,
    kPadZoomOut = 0x80,
    kPadNextCamera = 0x400,
    kPadAim = 0x800,
    kPadF1 = 0x1000,
    kPadFire = 0x2000,
};

// Parameter of the pad's button events (22 down, 23 up) and stick events (24, 26).
struct PadRecord {
    std::uint32_t buttons; // the bits that went down or up
    float x;               // stick, -1..1
    float y;
};

inline constexpr std::int32_t kPadButtonsDown = 22;
inline constexpr std::int32_t kPadButtonsUp = 23;
inline constexpr std::int32_t kPadLeftStick = 24;
inline constexpr std::int32_t kPadRightStick = 26;

// Reads a texture of the framework's folder "MODELS/TEXTURES/" (the image path is set to it); a
// missing one shows the error box "Texture not found : 'NAME'" and gives null.
OvTexture* ReadFrameworkTexture(const char* name);

class CInputManager : public CConfigSectionHandler {
public:
    static constexpr float kPadDeadZone = 0.6f;
    static constexpr int kPointerHalfSize = 8; // the pointer is a 16 x 16 pixel square
    static constexpr const char* kPointerName = "POINTER.BMP";

    static CInputManager* GetInstance();
    // Closes the mouse, frees the pointer texture and the manager.
    static void Destroy();

    // Installs the keyboard (device 0), mouse (1) and pad (2) handlers with the shell.
    static bool RegisterHandlers();
    static std::int32_t KeyboardHandler(std::int32_t event, void* parameter);
    static std::int32_t MouseHandler(std::int32_t event, void* parameter);
    static std::int32_t PadHandler(std::int32_t event, void* parameter);

    // "MouseMode" "Value" of the "Input" section.
    bool StartElement(const char* name, const char** attributes) override;

    // With mouse mode 0: the DirectInput mouse for the framework's window and the pointer texture.
    bool CreatePointer();
    void SetDirectInputEnabled(bool enabled);
    void Update(float dt);
    void DrawPointer();
    // Fills the pointer quad for the current pointer position.
    void BuildPointer(float screenZ, float recipZ);
    void CenterCursor();
    bool ReleaseMouse();

    // Pollers: each one-shot request reads and clears itself.
    bool TakeNextCameraRequest() { return Take(&nextCameraRequest_); }
    bool TakeNextFixedCameraRequest() { return Take(&nextFixedCameraRequest_); }
    bool TakeFunctionKeyRequest(int n) { return n >= 1 && n <= 12 && Take(&functionKeys_[n - 1]); }
    bool TakeKeypad0() { return Take(&keypad0_); }
    // ENTER (or keypad ENTER) pressed: the start screen's request to go on.
    bool TakeContinueRequest() { return Take(&continueRequest_); }
    bool ContinuePending() const { return continueRequest_ != 0; }
    // Pointer mode: the pointer is drawn even while the game is paused (the start screen uses the
    // mouse); look mode (the default) draws it only while the game runs.
    void SetPointerMode(bool on) { pointerMode_ = on; }
    bool PointerMode() const { return pointerMode_; }
    // The mouse delta, taken and cleared; false when it was zero.
    bool TakeDelta(float* dx, float* dy);
    void ClearDelta() { dx_ = dy_ = 0.0f; }

    float ForwardAxis() const { return forward_; }
    float SidewaysAxis() const { return sideways_; }
    float TurnAxis() const { return turn_; }
    bool Fire() const { return fire_ != 0; }
    bool LeftControl() const { return leftControl_ != 0; }
    bool RightControl() const { return rightControl_ != 0; }
    bool Run() const { return run_ != 0; }
    bool Aim() const { return aim_ != 0; }
    bool NextCameraPending() const { return nextCameraRequest_ != 0; }
    bool NextFixedCameraPending() const { return nextFixedCameraRequest_ != 0; }
    bool FunctionKeyPending(int n) const { return n >= 1 && n <= 12 && functionKeys_[n - 1] != 0; }
    bool DirectInputEnabled() const { return directInputEnabled_ != 0; }
    std::int32_t MouseMode() const { return mouseMode_; }
    void SetMouseMode(std::int32_t mode) { mouseMode_ = mode; }
    bool LeftButton() const { return leftButton_ != 0; }
    bool RightButton() const { return rightButton_ != 0; }
    float Dx() const { return dx_; }
    float Dy() const { return dy_; }
    float PointerX() const { return pointerX_; }
    float PointerY() const { return pointerY_; }
    void SetPointer(float x, float y) {
        pointerX_ = x;
        pointerY_ = y;
    }
    bool CursorCentred() const { return cursorCentred_ != 0; }
    const CDirectInputMouse* Mouse() const { return mouse_.get(); }
    const OvTexture* PointerTexture() const { return pointerTexture_; }
    const OvD3D9Im2DVertex* PointerVertices() const { return pointerVertices_; }
    const OvUInt16* PointerIndices() const { return pointerIndices_; }

    std::int32_t HandleKey(std::int32_t event, std::uint32_t keyCode);
    std::int32_t HandleMouse(std::int32_t event, const void* parameter);
    std::int32_t HandlePad(std::int32_t event, const PadRecord* pad);

private:
    CInputManager() = default;
    ~CInputManager() override;

    static bool Take(std::int32_t* flag) {
        const bool set = *flag != 0;
        *flag = 0;
        return set;
    }
    // The camera raster's size (the client size when there is no camera) and the camera mode.
    static void RasterSize(float* width, float* height);
    static std::int32_t CameraModeNow();

    float forward_ = 0.0f;  // +1 UP, -1 DOWN
    float sideways_ = 0.0f; // +1 LEFT, -1 RIGHT
    float turn_ = 0.0f;     // -1 "x", +1 "z"
    std::int32_t nextCameraRequest_ = 0;
    std::int32_t fire_ = 0;
    std::int32_t keypad0_ = 0;
    std::int32_t nextFixedCameraRequest_ = 0;
    std::int32_t leftControl_ = 0;
    std::int32_t rightControl_ = 0;
    std::int32_t run_ = 0; // right shift
    std::int32_t aim_ = 0; // left shift
    std::int32_t functionKeys_[12] = {};
    std::int32_t continueRequest_ = 0;
    bool pointerMode_ = false;
    std::int32_t directInputEnabled_ = 1;
    std::int32_t mouseMode_ = 0;
    std::unique_ptr<CDirectInputMouse> mouse_;
    OvTexture* pointerTexture_ = nullptr;
    OvUInt16 pointerIndices_[6] = {};
    OvD3D9Im2DVertex pointerVertices_[4] = {};
    std::int32_t leftButton_ = 0;
    std::int32_t rightButton_ = 0;
    float dx_ = 0.0f;
    float dy_ = 0.0f;
    float pointerX_ = 0.0f;
    float pointerY_ = 0.0f;
    std::int32_t cursorCentred_ = 0;
};
