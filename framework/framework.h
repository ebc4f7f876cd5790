#pragma once
// The framework's process-wide state, owned by the framework and read by every part of it.

#include <cstdint>
#include <string>

#include "platform/win32.h"

extern int g_debugLevel;         // configuration "Debug" "level": 1 frame rate, 2 also statistics
extern bool g_stopOnError;       // set by the error box; no frame runs once it is set
extern bool g_active;            // the main window is active
extern bool g_paused;            // the start screen is up: the game stands still
extern HWND g_mainWindow;        // the main window, for the input devices
extern HINSTANCE g_mainInstance; // its instance

// Sets the stop-on-error flag and shows the text in a message box titled "Orvanta AI Game Engine
// error handler". The window and its message loop stay; no further frame runs.
void ErrorBox(const char* text);
// The error box about the data file `path`: the text, then on a line of its own the line of
// config.xml that names the file ("config.xml line 45 names it ('value' of 'AiPathData')."), as
// WithFileOrigin gives it; never the line being read.
void FileErrorBox(const std::string& path, const std::string& text);

// Where the framework ends the process (a failed graphics open ends it with 0); tests replace it.
using FrameworkExitFunction = void (*)(int code);
extern FrameworkExitFunction g_frameworkExit;

// The millisecond clock that times frames (timeGetTime); tests replace it.
using FrameworkClockFunction = DWORD (*)();
extern FrameworkClockFunction g_frameworkClock;
