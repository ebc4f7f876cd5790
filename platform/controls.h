#pragma once
// The window layer's controls from the environment, read once when the layer starts:
//   PLATFORM_HEADLESS=1           no display even when one is there
//   PLATFORM_FRAMES=N             quit (WM_QUIT, code 0) once N frames were presented, or once
//                                 PeekMessageA found the queue empty N times in a row with no
//                                 frame presented between (a program that stopped drawing)
//   PLATFORM_KEYS="10:F1,..."     input at given frames (grammar below)
//   PLATFORM_CAPTURE=f-%05d.png   write presented frames as PNG, the frame number in the name; a
//                                 frame that cannot be written ends the program (exit status 1)
//   PLATFORM_CAPTURE_EVERY=N      only every N-th frame (frames N, 2N, ...; default 1)
//   PLATFORM_FIXED_STEP=S         the clock moves by S seconds per presented frame, and only then
//   PLATFORM_DIALOG=ok|cancel|ID  the button a dialog box is answered with (default ok)
//   PLATFORM_VIDEO_MODE=WxHxD     before answering, select the list item "W x H x D..."
//   PLATFORM_MSGBOX_LOG=file      append every message box text to the file
//   PLATFORM_RASTER_THREADS=N     the Direct3D 9 stand-in rasterises on N threads, 1 to 64 (1: on
//                                 the drawing thread alone; default: the processors, at most 8)
//   PLATFORM_PIXEL_SHADERS=0|1    0: the Direct3D 9 stand-in's caps report no pixel shaders (the
//                                 callers take their paths without them); default 1: ps_1_4
//
// PLATFORM_KEYS is a comma-separated list of FRAME:ACTION items. Frame N is the moment the N-th
// frame has been presented (0: before the first frame). Actions:
//   KEY            press and release a key (names as in platform/keys.h: F1, ESCAPE, A, LSHIFT, ...)
//   down=KEY       press only (a second press sets the repeat bit); up=KEY releases
//   LBUTTON, RBUTTON, MBUTTON, also with down= and up=: mouse buttons
//   move=X/Y       move the pointer to client position X, Y
//   rel=DX/DY      move the pointer by DX, DY (what a relative mouse reports)
//   wheel=N        N wheel notches, forward when positive
//   drop=PATH      drop the file PATH on the window
//   close, activate, deactivate    the window is closed, gains or loses the focus

#include "platform/win32.h"

#include <string>
#include <vector>

struct PlatformScriptEvent {
    enum class Kind { Press, Down, Up, Move, Rel, Wheel, Drop, Close, Activate, Deactivate };
    long frame = 0;
    Kind kind = Kind::Press;
    std::string key; // key or button name (Press, Down, Up)
    int x = 0;       // Move/Rel: position or delta; Wheel: notches
    int y = 0;
    std::string path; // Drop
};

struct PlatformControls {
    bool headless = false;
    long frames = 0;                         // 0: no limit
    std::vector<PlatformScriptEvent> script; // sorted by frame, in written order within a frame
    std::string capture;
    long captureEvery = 1;
    double fixedStep = 0.0; // 0: the real clock
    int dialogAnswer = IDOK;
    std::string videoMode; // "W x H x D", empty when not set
    std::string messageBoxLog;
    int rasterThreads = 0; // 0: not set
    bool pixelShaders = true;
};

// Reads the controls; on a malformed value returns false with a message naming the variable.
bool PlatformControlsFromEnvironment(PlatformControls* controls, std::string* error);

// Reads PLATFORM_RASTER_THREADS alone (0 when not set); on a malformed value returns false with a
// message naming the variable.
bool PlatformRasterThreadsFromEnvironment(int* threads, std::string* error);

// Reads PLATFORM_PIXEL_SHADERS alone (true when not set); on a malformed value returns false with
// a message naming the variable.
bool PlatformPixelShadersFromEnvironment(bool* on, std::string* error);

// Parses a PLATFORM_KEYS text.
bool PlatformParseScript(const char* text, std::vector<PlatformScriptEvent>* events, std::string* error);

// The capture file name for a frame: the pattern with its one integer conversion applied.
std::string PlatformCaptureName(const std::string& pattern, long frame);

// Writes rows of 32-bit pixels (0xAARRGGBB words, as the display formats hold them) as an 8-bit
// RGB PNG file.
bool PlatformWritePng(const char* path, const void* pixels, UINT width, UINT height, UINT pitch, std::string* error);
