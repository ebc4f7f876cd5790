#pragma once
// The DirectInput 8 mouse: the system mouse as a device with buffered and immediate data,
// cooperative levels, acquisition and release. It is fed by the window layer's mouse input, so
// SDL and the environment's script drive it alike (platform/window.h).

#include "platform/win32.h"

inline constexpr DWORD DIRECTINPUT_VERSION = 0x0800;

extern const IID IID_IDirectInput8A;
extern const GUID GUID_SysMouse;

struct DIDATAFORMAT {
    DWORD dwSize;
    DWORD dwObjSize;
    DWORD dwFlags;
    DWORD dwDataSize; // bytes of the device state
    DWORD dwNumObjs;
    const void* rgodf;
};

// The eight-button mouse: relative x, y and wheel movement, then the button bytes.
extern const DIDATAFORMAT c_dfDIMouse2;

struct DIMOUSESTATE2 {
    LONG lX;
    LONG lY;
    LONG lZ;
    BYTE rgbButtons[8]; // 0x80 while down
};

struct DIDEVICEOBJECTDATA {
    DWORD dwOfs;       // DIMOFS_* of the axis or button
    DWORD dwData;      // axis movement, or 0x80 / 0 for a button
    DWORD dwTimeStamp; // timeGetTime of the event
    DWORD dwSequence;  // events that happened together share a number
    UINT_PTR uAppData;
};

struct DIPROPHEADER {
    DWORD dwSize;
    DWORD dwHeaderSize;
    DWORD dwObj;
    DWORD dwHow;
};

struct DIPROPDWORD {
    DIPROPHEADER diph;
    DWORD dwData;
};

// The buffer-size property (the platform's property number 1).
extern const GUID DIPROP_BUFFERSIZE;

inline constexpr DWORD DIPH_DEVICE = 0;
inline constexpr DWORD DIMOFS_X = 0;
inline constexpr DWORD DIMOFS_Y = 4;
inline constexpr DWORD DIMOFS_Z = 8;
inline constexpr DWORD DIMOFS_BUTTON0 = 12;
inline constexpr DWORD DIMOFS_BUTTON1 = 13;
inline constexpr DWORD DIMOFS_BUTTON2 = 14;
inline constexpr DWORD DISCL_EXCLUSIVE = 0x1;
inline constexpr DWORD DISCL_NONEXCLUSIVE = 0x2;
inline constexpr DWORD DISCL_FOREGROUND = 0x4;
inline constexpr DWORD DISCL_BACKGROUND = 0x8;
inline constexpr DWORD DIGDD_PEEK = 0x1;

inline constexpr HRESULT DI_OK = S_OK;
inline constexpr HRESULT DI_NOEFFECT = S_FALSE;
inline constexpr HRESULT DI_BUFFEROVERFLOW = S_FALSE;
inline constexpr HRESULT DIERR_INVALIDPARAM = E_INVALIDARG;
inline constexpr HRESULT DIERR_NOINTERFACE = E_NOINTERFACE;
inline constexpr HRESULT DIERR_UNSUPPORTED = E_NOTIMPL;
inline constexpr HRESULT DIERR_OTHERAPPHASPRIO = E_ACCESSDENIED;
inline constexpr HRESULT DIERR_NOTACQUIRED = static_cast<HRESULT>(0x8007000Cu);
inline constexpr HRESULT DIERR_INPUTLOST = static_cast<HRESULT>(0x8007001Eu);
inline constexpr HRESULT DIERR_ACQUIRED = static_cast<HRESULT>(0x800700AAu);
inline constexpr HRESULT DIERR_NOTBUFFERED = static_cast<HRESULT>(0x80040207u);
inline constexpr HRESULT DIERR_DEVICENOTREG = static_cast<HRESULT>(0x80040154u);
inline constexpr HRESULT DIERR_OLDDIRECTINPUTVERSION = static_cast<HRESULT>(0x8007047Eu);
inline constexpr HRESULT DIERR_BETADIRECTINPUTVERSION = static_cast<HRESULT>(0x80070481u);

class IDirectInputDevice8A {
public:
    virtual ULONG AddRef() = 0;
    virtual ULONG Release() = 0;
    virtual HRESULT SetDataFormat(const DIDATAFORMAT* format) = 0;
    virtual HRESULT SetCooperativeLevel(HWND window, DWORD flags) = 0;
    virtual HRESULT SetProperty(REFGUID property, const DIPROPHEADER* header) = 0;
    virtual HRESULT Acquire() = 0;
    virtual HRESULT Unacquire() = 0;
    // Movement since the last read and the buttons held; size is the format's state size.
    virtual HRESULT GetDeviceState(DWORD size, void* state) = 0;
    // Takes up to *count buffered records (null data: discards them); *count gets the number.
    virtual HRESULT GetDeviceData(DWORD recordSize, DIDEVICEOBJECTDATA* data, DWORD* count, DWORD flags) = 0;

protected:
    ~IDirectInputDevice8A() = default;
};

class IDirectInput8A {
public:
    virtual ULONG AddRef() = 0;
    virtual ULONG Release() = 0;
    virtual HRESULT CreateDevice(REFGUID device, IDirectInputDevice8A** out, LPUNKNOWN outer) = 0;

protected:
    ~IDirectInput8A() = default;
};

using LPDIRECTINPUT8 = IDirectInput8A*;
using LPDIRECTINPUTDEVICE8 = IDirectInputDevice8A*;

HRESULT DirectInput8Create(HINSTANCE instance, DWORD version, REFIID iid, void** out, LPUNKNOWN outer);
