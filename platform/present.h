#pragma once
// The seam between a graphics device and the window layer: a finished frame is handed to the
// window it belongs to. The frame is W x H pixels of 32 bits, each a 0xAARRGGBB word in host
// order (the X8R8G8B8 and A8R8G8B8 layouts; alpha is ignored), rows `pitch` bytes apart. The
// window shows it stretched over its client area.
//
// A call is one presented frame: the layer counts it, moves the fixed-step clock on by one step,
// writes it to PLATFORM_CAPTURE when due (a capture that cannot be written ends the program with
// exit status 1 and one message), posts the scripted input of that frame and, after
// PLATFORM_FRAMES frames, posts WM_QUIT (see platform/controls.h).
//
// Returns FALSE (and sets the last error) for a window that is not one, null pixels, an empty
// size or a pitch below W * 4; the frame is then not counted.

#include "platform/win32.h"

BOOL PlatformPresent(HWND window, const void* pixels, UINT width, UINT height, UINT pitch);

// Frames presented since the window layer started.
long PlatformPresentedFrames();
