#include "framework/directinput_mouse.h"

#include "framework/framework.h"

DirectInputCreateFunction g_directInputCreate = DirectInput8Create;

bool CDirectInputMouse::Create(HINSTANCE instance, HWND window) {
    Release();
    ShowCursor(FALSE);
    cursorHidden_ = true;
    const char* failure = nullptr;
    void* made = nullptr;
    if (FAILED(g_directInputCreate(instance, DIRECTINPUT_VERSION, IID_IDirectInput8A, &made, nullptr)) ||
        made == nullptr) {
        failure = kDirectInputCreateMessage;
    } else {
        input_ = static_cast<LPDIRECTINPUT8>(made);
        if (FAILED(input_->CreateDevice(GUID_SysMouse, &device_, nullptr)) || device_ == nullptr) {
            device_ = nullptr;
            failure = kMouseDeviceMessage;
        } else if (FAILED(device_->SetDataFormat(&c_dfDIMouse2))) {
            failure = kMouseDataFormatMessage;
        } else if (FAILED(device_->SetCooperativeLevel(window, DISCL_EXCLUSIVE | DISCL_FOREGROUND))) {
            failure = kMouseCooperativeLevelMessage;
        } else if (buffered_) {
            DIPROPDWORD property{};
            property.diph.dwSize = sizeof(DIPROPDWORD);
            property.diph.dwHeaderSize = sizeof(DIPROPHEADER);
            property.diph.dwObj = 0;
            property.diph.dwHow = DIPH_DEVICE;
            property.dwData = kBufferRecords;
            if (FAILED(device_->SetProperty(DIPROP_BUFFERSIZE, &property.diph))) {
                failure = kMousePropertyMessage;
            }
        }
    }
    if (failure != nullptr) {
        ErrorBox(failure);
        Release(); // the cursor comes back with what was made
        return false;
    }
    // Not being the foreground window yet is no failure: a lost read acquires again.
    device_->Acquire();
    leftState_ = rightState_ = 0;
    leftChanged_ = rightChanged_ = false;
    dx_ = dy_ = 0.0f;
    return true;
}

void CDirectInputMouse::Release() {
    if (cursorHidden_) {
        ShowCursor(TRUE);
        cursorHidden_ = false;
    }
    if (device_ != nullptr) {
        device_->Unacquire();
        device_->Release();
        device_ = nullptr;
    }
    if (input_ != nullptr) {
        input_->Release();
        input_ = nullptr;
    }
}

void CDirectInputMouse::Reacquire() {
    // The device may answer "input lost" for as long as another window holds the mouse: a bounded
    // number of attempts keeps the frame from spinning; the next poll tries again.
    for (int i = 0; i < kAcquireAttempts; ++i) {
        if (device_->Acquire() != DIERR_INPUTLOST) {
            break;
        }
    }
}

void CDirectInputMouse::Poll() {
    if (!Exists()) {
        return;
    }
    if (buffered_) {
        PollBuffered();
    } else {
        PollImmediate();
    }
}

void CDirectInputMouse::PollBuffered() {
    dx_ = dy_ = 0.0f;
    leftChanged_ = rightChanged_ = false;
    const BYTE leftBefore = leftState_;
    const BYTE rightBefore = rightState_;
    DIDEVICEOBJECTDATA records[kBufferRecords];
    DWORD count = kBufferRecords;
    if (FAILED(device_->GetDeviceData(sizeof(DIDEVICEOBJECTDATA), records, &count, 0))) {
        Reacquire();
        return;
    }
    if (count > kBufferRecords) {
        count = kBufferRecords; // never trust a count beyond the array handed over
    }
    for (DWORD i = 0; i < count; ++i) {
        const DIDEVICEOBJECTDATA& r = records[i];
        switch (r.dwOfs) {
        case DIMOFS_X:
            dx_ += static_cast<float>(static_cast<LONG>(r.dwData));
            break;
        case DIMOFS_Y:
            dy_ += static_cast<float>(static_cast<LONG>(r.dwData));
            break;
        case DIMOFS_BUTTON0:
            leftState_ = static_cast<BYTE>((r.dwData & 0xFF) >> 7);
            break;
        case DIMOFS_BUTTON1:
            rightState_ = static_cast<BYTE>((r.dwData & 0xFF) >> 7);
            break;
        default:
            break; // the wheel and further buttons
        }
    }
    leftChanged_ = leftState_ != leftBefore;
    rightChanged_ = rightState_ != rightBefore;
}

void CDirectInputMouse::PollImmediate() {
    dx_ = dy_ = 0.0f;
    DIMOUSESTATE2 state{};
    if (FAILED(device_->GetDeviceState(sizeof(DIMOUSESTATE2), &state))) {
        Reacquire();
        return;
    }
    dx_ = static_cast<float>(state.lX);
    dy_ = static_cast<float>(state.lY);
}
