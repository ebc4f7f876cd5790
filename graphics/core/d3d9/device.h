#pragma once
// The Direct3D 9 driver's device system: the device record, the request dispatcher that the
// core reaches through OvDevice::system, the choice of adapter, the video-mode list, device
// start and stop, and the lost-device release, reset and restore.
//
// The core reaches the driver through OvD3D9Driver() (install it with OvEngineSetDriver). Open
// takes a pointer whose first word is the window (HWND).

#include "graphics/core/engine.h"
#include "platform/d3d9.h"

// The memory hint of the driver's own blocks and free lists: its id, module lifetime.
inline constexpr OvUInt32 ovD3D9DRIVERID = 0x40C;
inline constexpr OvUInt32 ovD3D9MEMHINT = ovMEMHINTDUR_GLOBAL | ovD3D9DRIVERID;

// One entry of the video-mode list; the first four fields in the order of D3DDISPLAYMODE.
struct OvD3D9VideoMode {
    OvUInt32 width;
    OvUInt32 height;
    OvUInt32 refRate; // hertz
    OvUInt32 format;  // D3DFORMAT
    OvUInt32 flags;   // bit 0: full screen
};

// Called after a reset that reached a successful Reset, whether or not the restore worked.
using OvD3D9RestoreCallback = void (*)();

// The driver as the core sees it: {OvD3D9DriverPluginAttach, OvD3D9DeviceGet}.
const OvDriver* OvD3D9Driver();

OvDevice* OvD3D9DeviceGet();
OvBool OvD3D9DriverPluginAttach();
OvBool OvD3D9DeviceSystem(OvInt32 request, void* out, void* inOut, OvInt32 number);

// The capabilities of the device (or of the adapter before start).
const D3DCAPS9* OvD3D9GetCaps();
// The Direct3D object and the adapter chosen at open (null and 0 before).
IDirect3D9* OvD3D9GetDirect3D();
UINT OvD3D9GetAdapter();
// The device while started, else null.
IDirect3DDevice9* OvD3D9GetDevice();
// The back buffer and depth surface of the device, held without a reference.
IDirect3DSurface9* OvD3D9GetBackBuffer();
IDirect3DSurface9* OvD3D9GetDepthSurface();
// The present parameters of the last start or reset; depth bits and stencil of its depth format.
const D3DPRESENT_PARAMETERS* OvD3D9GetPresentParameters();
// The present parameters the next Reset uses (back-buffer size, presentation interval).
D3DPRESENT_PARAMETERS* OvD3D9EditPresentParameters();
// The window the device was opened on.
HWND OvD3D9GetWindow();
OvInt32 OvD3D9GetZBufferDepth();
OvBool OvD3D9HasStencil();
// The current video mode (the selected entry, or the desktop mode).
const OvD3D9VideoMode* OvD3D9GetCurrentMode();
// A windowed device follows its window's client size.
void OvD3D9SetCurrentModeSize(OvUInt32 width, OvUInt32 height);
// True when the device has hardware transform and lighting.
OvBool OvD3D9HasHardwareTnL();

void OvD3D9DeviceSetRestoreCallback(OvD3D9RestoreCallback callback);
OvD3D9RestoreCallback OvD3D9DeviceGetRestoreCallback();

// Releases what a reset destroys, before Reset.
void OvD3D9DeviceLostRelease();
// Re-creates it after a successful Reset and brings the state caches in line with the device;
// FALSE when a resource could not be restored.
OvBool OvD3D9DeviceLostRestore();
// Release, Reset with the present parameters and, when Reset succeeds, the restore and the
// restore callback. The Direct3D result of Reset; *restored tells whether the restore worked.
HRESULT OvD3D9DeviceResetOnce(OvBool* restored);
// The restore steps and the restore callback (after a Reset made elsewhere).
OvBool OvD3D9DeviceRestoreWithCallback();
// Resets the device with the current present parameters (release, Reset, the windowed retry
// on INVALIDCALL, restore, callback); TRUE when Reset succeeded and the restore worked.
OvBool OvD3D9DeviceReset();
// Before drawing: handles a lost device and opens a scene when none is open. TRUE while a scene
// is open; FALSE while the device is lost or could not be reset.
OvBool OvD3D9DeviceCheckLost();
// The scene flag (set by the check, cleared by whoever ends the scene).
OvBool OvD3D9DeviceInScene();
void OvD3D9DeviceSetInScene(OvBool inScene);

// What the driver sent the device: draw calls and states (render, texture-stage and sampler
// states), and the vertices the drawing callers report, counted since the frame began; a show
// moves them to the last frame's figures.
struct OvD3D9FrameCounters {
    OvUInt32 drawCalls;
    OvUInt32 statesSent;
    OvUInt32 vertices;
};
extern OvD3D9FrameCounters OvD3D9FrameCount;
// The figures of the last frame shown.
OvD3D9FrameCounters OvD3D9GetLastFrameCounters();
// Ends the frame's counting (at every show).
void OvD3D9EndFrameCounters();
