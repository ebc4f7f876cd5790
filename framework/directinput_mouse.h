#pragma once
// The framework's DirectInput mouse: the system mouse opened exclusively in the foreground, read
// once per frame either from its record buffer (movement summed, button edges noted) or from its
// immediate state (movement only).

#include "platform/dinput8.h"
#include "platform/win32.h"

// What the mouse calls to make its DirectInput interface; tests put a fake here.
using DirectInputCreateFunction = HRESULT (*)(HINSTANCE instance, DWORD version, REFIID iid, void** out,
                                              LPUNKNOWN outer);
extern DirectInputCreateFunction g_directInputCreate;

// The error box texts of a failed creation, in the order of the steps.
inline constexpr const char* kDirectInputCreateMessage =
    "Failed to create DirectInput component\n(forgot to set HWND on CStandardApplication ?)";
inline constexpr const char* kMouseDeviceMessage = "Failed to create DirectInput mouse device";
inline constexpr const char* kMouseDataFormatMessage = "Failed to set data format on mouse";
inline constexpr const char* kMouseCooperativeLevelMessage = "Failed to set cooperative level on mouse";
inline constexpr const char* kMousePropertyMessage = "Failed to set property on mouse device";

class CDirectInputMouse {
public:
    static constexpr DWORD kBufferRecords = 64; // records asked for and read per poll
    static constexpr int kAcquireAttempts = 3;  // Acquire calls per failed read while the input is lost

    explicit CDirectInputMouse(bool buffered = true) : buffered_(buffered) {}
    ~CDirectInputMouse() { Release(); }
    CDirectInputMouse(const CDirectInputMouse&) = delete;
    CDirectInputMouse& operator=(const CDirectInputMouse&) = delete;

    // Hides the cursor, makes the interface and the mouse device for the window, sets the
    // eight-button format, the exclusive foreground level and (buffered) a 64-record buffer, and
    // acquires it. A failed step shows its error box, undoes what was made and gives false.
    bool Create(HINSTANCE instance, HWND window);
    // Shows the cursor again, unacquires and releases the device, then the interface.
    void Release();
    bool Exists() const { return input_ != nullptr && device_ != nullptr; }
    // Asks for the device again (enabling it); a failure waits for the next poll's retry.
    void Acquire() {
        if (device_ != nullptr) {
            device_->Acquire();
        }
    }

    // Reads what happened since the last poll. Nothing unless the interface and device exist.
    void Poll();

    float Dx() const { return dx_; }
    float Dy() const { return dy_; }
    bool LeftChanged() const { return leftChanged_; }
    bool RightChanged() const { return rightChanged_; }
    BYTE LeftState() const { return leftState_; }
    BYTE RightState() const { return rightState_; }
    bool Buffered() const { return buffered_; }

private:
    void PollBuffered();
    void PollImmediate();
    void Reacquire();

    LPDIRECTINPUT8 input_ = nullptr;
    LPDIRECTINPUTDEVICE8 device_ = nullptr;
    bool cursorHidden_ = false; // the ShowCursor(FALSE) of Create is still to be undone
    bool leftChanged_ = false;  // the last poll changed the left button
    bool rightChanged_ = false;
    BYTE leftState_ = 0; // 1 while down
    BYTE rightState_ = 0;
    float dx_ = 0.0f; // movement of the last poll
    float dy_ = 0.0f;
    bool buffered_ = true;
};
