#include "platform/dinput8.h"

#include "platform/window.h"

#include <algorithm>
#include <deque>
#include <vector>

const IID IID_IDirectInput8A = {0xBF798030, 0x483A, 0x4DA2, {0xAA, 0x99, 0x5D, 0x64, 0xED, 0x36, 0x97, 0x00}};
const GUID GUID_SysMouse = {0x6F1D2B60, 0xD5A0, 0x11CF, {0xBF, 0xC7, 0x44, 0x45, 0x53, 0x54, 0x00, 0x00}};
const GUID DIPROP_BUFFERSIZE = {1, 0, 0, {0, 0, 0, 0, 0, 0, 0, 0}};
const DIDATAFORMAT c_dfDIMouse2 = {24, 24, 2 /* relative axes */, sizeof(DIMOUSESTATE2), 11, nullptr};

namespace {

class Mouse;
std::vector<Mouse*> g_mice;
DWORD g_sequence = 0;

class Mouse final : public IDirectInputDevice8A {
public:
    Mouse() { g_mice.push_back(this); }

    ULONG AddRef() override { return ++refs_; }

    ULONG Release() override {
        const ULONG left = --refs_;
        if (left == 0) {
            Unacquire();
            g_mice.erase(std::find(g_mice.begin(), g_mice.end(), this));
            delete this;
        }
        return left;
    }

    HRESULT SetDataFormat(const DIDATAFORMAT* format) override {
        if (format == nullptr)
            return DIERR_INVALIDPARAM;
        if (acquired_)
            return DIERR_ACQUIRED;
        if (format != &c_dfDIMouse2)
            return DIERR_UNSUPPORTED;
        formatSet_ = true;
        return DI_OK;
    }

    HRESULT SetCooperativeLevel(HWND window, DWORD flags) override {
        if (acquired_)
            return DIERR_ACQUIRED;
        const bool exclusive = (flags & DISCL_EXCLUSIVE) != 0;
        const bool foreground = (flags & DISCL_FOREGROUND) != 0;
        if (exclusive == ((flags & DISCL_NONEXCLUSIVE) != 0) || foreground == ((flags & DISCL_BACKGROUND) != 0))
            return DIERR_INVALIDPARAM;
        if (!IsWindow(window))
            return E_HANDLE;
        if (exclusive && !foreground)
            return DIERR_UNSUPPORTED;
        window_ = window;
        exclusive_ = exclusive;
        foreground_ = foreground;
        return DI_OK;
    }

    HRESULT SetProperty(REFGUID property, const DIPROPHEADER* header) override {
        if (header == nullptr || header->dwHeaderSize != sizeof(DIPROPHEADER))
            return DIERR_INVALIDPARAM;
        if (!IsEqualGUID(property, DIPROP_BUFFERSIZE))
            return DIERR_UNSUPPORTED;
        if (header->dwSize != sizeof(DIPROPDWORD) || header->dwHow != DIPH_DEVICE || header->dwObj != 0)
            return DIERR_INVALIDPARAM;
        if (acquired_)
            return DIERR_ACQUIRED;
        bufferSize_ = reinterpret_cast<const DIPROPDWORD*>(header)->dwData;
        return DI_OK;
    }

    HRESULT Acquire() override {
        if (!formatSet_)
            return DIERR_INVALIDPARAM;
        if (acquired_)
            return DI_NOEFFECT;
        if (foreground_ && (window_ == nullptr || PlatformActiveWindow() != window_))
            return DIERR_OTHERAPPHASPRIO;
        acquired_ = true;
        lost_ = false;
        dx_ = dy_ = dz_ = 0;
        records_.clear();
        overflow_ = false;
        if (exclusive_)
            PlatformSetRelativeMouse(window_, true);
        return DI_OK;
    }

    HRESULT Unacquire() override {
        if (!acquired_)
            return DI_NOEFFECT;
        acquired_ = false;
        if (exclusive_ && IsWindow(window_))
            PlatformSetRelativeMouse(window_, false);
        return DI_OK;
    }

    HRESULT GetDeviceState(DWORD size, void* state) override {
        if (state == nullptr || size != sizeof(DIMOUSESTATE2))
            return DIERR_INVALIDPARAM;
        if (!acquired_)
            return NotAcquired();
        auto* s = static_cast<DIMOUSESTATE2*>(state);
        s->lX = dx_;
        s->lY = dy_;
        s->lZ = dz_;
        for (int i = 0; i < 8; ++i)
            s->rgbButtons[i] = buttons_[i];
        dx_ = dy_ = dz_ = 0;
        return DI_OK;
    }

    HRESULT GetDeviceData(DWORD recordSize, DIDEVICEOBJECTDATA* data, DWORD* count, DWORD flags) override {
        if (count == nullptr || recordSize != sizeof(DIDEVICEOBJECTDATA) || (flags & ~DIGDD_PEEK) != 0)
            return DIERR_INVALIDPARAM;
        if (bufferSize_ == 0)
            return DIERR_NOTBUFFERED;
        if (!acquired_) {
            *count = 0;
            return NotAcquired();
        }
        const std::size_t n = std::min<std::size_t>(*count, records_.size());
        if (data != nullptr)
            std::copy(records_.begin(), records_.begin() + static_cast<std::ptrdiff_t>(n), data);
        const bool peek = (flags & DIGDD_PEEK) != 0;
        const HRESULT hr = overflow_ ? DI_BUFFEROVERFLOW : DI_OK;
        if (!peek) {
            records_.erase(records_.begin(), records_.begin() + static_cast<std::ptrdiff_t>(n));
            overflow_ = false;
        }
        *count = static_cast<DWORD>(n);
        return hr;
    }

    // Window-layer feed.
    void Motion(int dx, int dy, int dz, DWORD sequence) {
        if (!acquired_)
            return;
        dx_ += dx;
        dy_ += dy;
        dz_ += dz;
        if (dx != 0)
            Record(DIMOFS_X, static_cast<DWORD>(dx), sequence);
        if (dy != 0)
            Record(DIMOFS_Y, static_cast<DWORD>(dy), sequence);
        if (dz != 0)
            Record(DIMOFS_Z, static_cast<DWORD>(dz), sequence);
    }

    void Button(int button, bool down, DWORD sequence) {
        if (!acquired_)
            return;
        buttons_[button] = down ? 0x80 : 0;
        Record(DIMOFS_BUTTON0 + static_cast<DWORD>(button), down ? 0x80 : 0, sequence);
    }

    void Focus(HWND window, bool active) {
        // A foreground device loses the mouse when its window loses the focus.
        if (!active && acquired_ && foreground_ && window == window_) {
            Unacquire();
            lost_ = true;
        }
    }

    void Reset() {
        acquired_ = false;
        lost_ = false;
        window_ = nullptr;
        records_.clear();
    }

private:
    ~Mouse() = default;

    // A read while not acquired: the first after losing the mouse says so, later ones that the
    // device is not acquired, so a loop that acquires again while the input is lost ends.
    HRESULT NotAcquired() {
        if (lost_) {
            lost_ = false;
            return DIERR_INPUTLOST;
        }
        return DIERR_NOTACQUIRED;
    }

    void Record(DWORD offset, DWORD value, DWORD sequence) {
        if (records_.size() >= bufferSize_) {
            overflow_ = bufferSize_ > 0 || overflow_;
            return; // the newest event is lost
        }
        records_.push_back(DIDEVICEOBJECTDATA{offset, value, timeGetTime(), sequence, 0});
    }

    ULONG refs_ = 1;
    bool formatSet_ = false;
    HWND window_ = nullptr;
    bool exclusive_ = false;
    bool foreground_ = false;
    DWORD bufferSize_ = 0;
    bool acquired_ = false;
    bool lost_ = false;
    LONG dx_ = 0;
    LONG dy_ = 0;
    LONG dz_ = 0;
    BYTE buttons_[8] = {};
    std::deque<DIDEVICEOBJECTDATA> records_;
    bool overflow_ = false;
};

class DirectInput final : public IDirectInput8A {
public:
    ULONG AddRef() override { return ++refs_; }

    ULONG Release() override {
        const ULONG left = --refs_;
        if (left == 0)
            delete this;
        return left;
    }

    HRESULT CreateDevice(REFGUID device, IDirectInputDevice8A** out, LPUNKNOWN outer) override {
        if (out == nullptr || outer != nullptr)
            return DIERR_INVALIDPARAM;
        *out = nullptr;
        if (!IsEqualGUID(device, GUID_SysMouse))
            return DIERR_DEVICENOTREG;
        *out = new Mouse;
        return DI_OK;
    }

private:
    ~DirectInput() = default;
    ULONG refs_ = 1;
};

} // namespace

HRESULT DirectInput8Create(HINSTANCE instance, DWORD version, REFIID iid, void** out, LPUNKNOWN outer) {
    if (out == nullptr)
        return DIERR_INVALIDPARAM;
    *out = nullptr;
    if (instance == nullptr || outer != nullptr)
        return DIERR_INVALIDPARAM;
    if (version < DIRECTINPUT_VERSION)
        return DIERR_OLDDIRECTINPUTVERSION;
    if (version > DIRECTINPUT_VERSION)
        return DIERR_BETADIRECTINPUTVERSION;
    if (!IsEqualGUID(iid, IID_IDirectInput8A))
        return DIERR_NOINTERFACE;
    *out = static_cast<IDirectInput8A*>(new DirectInput);
    return DI_OK;
}

void PlatformMouseFeedMotion(int dx, int dy, int dz) {
    if (dx == 0 && dy == 0 && dz == 0)
        return;
    const DWORD sequence = ++g_sequence;
    for (Mouse* m : g_mice)
        m->Motion(dx, dy, dz, sequence);
}

void PlatformMouseFeedButton(int button, bool down) {
    if (button < 0 || button > 7)
        return;
    const DWORD sequence = ++g_sequence;
    for (Mouse* m : g_mice)
        m->Button(button, down, sequence);
}

void PlatformMouseFeedFocus(HWND window, bool active) {
    for (Mouse* m : g_mice)
        m->Focus(window, active);
}

void PlatformMouseFeedReset() {
    for (Mouse* m : g_mice)
        m->Reset();
}
