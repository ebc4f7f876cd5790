#pragma once
// The application shell: the process entry, the one event dispatcher, the main window of class
// "OvAppClass" with its message loop, the input-device slots, and the defaults that start and
// stop the graphics engine. Everything above it (the framework, the game) is driven through the
// numbered events below; the application answers them in AppEventHandler.
//
// Results of every event handler: 0 failed, 1 handled, 2 not handled (pass on).

#include <cstdint>

#include "platform/win32.h"

struct OvCamera;
struct OvMemoryFunctions;

enum SkelEvent : std::int32_t {
    SKEL_EVENT_CAMERA_SIZE = 0,             // SkelSizeRect*
    SKEL_EVENT_ARGUMENT = 1,                // const char* argument after the program name
    SKEL_EVENT_FILE_LOAD = 2,               // const char* full path
    SKEL_EVENT_ENGINE_INITIALISED = 3,      // none
    SKEL_EVENT_INPUT_DEVICE_ATTACH = 4,     // none
    SKEL_EVENT_MOUSE_LEFT_DOWN = 5,         // SkelMouseRecord*
    SKEL_EVENT_MOUSE_LEFT_UP = 6,           // null
    SKEL_EVENT_MOUSE_MOVE = 7,              // SkelMouseRecord*
    SKEL_EVENT_MOUSE_WHEEL = 8,             // SkelWheelRecord*
    SKEL_EVENT_PLUGIN_ATTACH = 9,           // none
    SKEL_EVENT_REGISTER_IMAGE_FORMATS = 10, // none
    SKEL_EVENT_MOUSE_RIGHT_DOWN = 11,       // SkelMouseRecord*
    SKEL_EVENT_MOUSE_RIGHT_UP = 12,         // null
    SKEL_EVENT_GRAPHICS_OPEN = 13,          // SkelPlatform*
    SKEL_EVENT_GRAPHICS_CLOSE = 14,         // none
    SKEL_EVENT_SELECT_DEVICE = 15,          // SkelPlatform*
    SKEL_EVENT_APP_START = 16,              // none
    SKEL_EVENT_APP_STOP = 17,               // none
    SKEL_EVENT_IDLE = 18,                   // none
    SKEL_EVENT_KEY_DOWN = 19,               // SkelKeyRecord*
    SKEL_EVENT_KEY_UP = 20,                 // SkelKeyRecord*
    SKEL_EVENT_QUIT = 21,                   // none
    SKEL_EVENT_PRE_OPEN_ARGUMENT = 28,      // const char* argument, before the window exists
    SKEL_EVENT_ACTIVATE = 29,               // the value 1 (active) or 0 carried in the pointer itself
    SKEL_EVENT_MEMORY_FUNCTIONS = 30,       // OvMemoryFunctions*
};

enum SkelEventResult : std::int32_t {
    SKEL_EVENT_FAILED = 0,
    SKEL_EVENT_HANDLED = 1,
    SKEL_EVENT_NOT_HANDLED = 2,
};

// Input devices by id.
enum SkelDevice : std::uint32_t {
    SKEL_DEVICE_KEYBOARD = 0,
    SKEL_DEVICE_MOUSE = 1,
    SKEL_DEVICE_PAD = 2, // a third device that no window message feeds
};

// Key code of "no key" in the key table.
inline constexpr std::uint32_t SKEL_KEY_NONE = 255;
inline constexpr std::uint32_t SKEL_KEY_ESC = 128;

// The main window and how it was made.
struct SkelPlatform {
    HWND window;              // first word: the graphics engine's open record points at it
    HINSTANCE instance;       // the process instance
    std::uint32_t fullScreen; // 1 after a full-screen mode was chosen
    float lastMouseX;         // last mouse position, client pixels
    float lastMouseY;
};

// Parameter of SKEL_EVENT_CAMERA_SIZE; x = y = 0. The receiver may change width and height.
struct SkelSizeRect {
    std::int32_t x;
    std::int32_t y;
    std::int32_t width;
    std::int32_t height;
};

// Parameter of the key events.
struct SkelKeyRecord {
    std::uint32_t scanIndex; // scan code 0..255, 128 added for an extended key
    std::uint32_t keyCode;   // from the key table
};

// Parameter of the mouse button and move events.
struct SkelMouseRecord {
    float x; // client pixels
    float y;
    float dx; // movement since the previous move (moves only)
    float dy;
    std::uint32_t shift;   // 1 while shift is down
    std::uint32_t control; // 1 while control is down
};

// Parameter of SKEL_EVENT_MOUSE_WHEEL.
struct SkelWheelRecord {
    std::uint32_t forward; // 1 when the wheel delta is zero or positive
};

using SkelEventHandler = std::int32_t (*)(std::int32_t event, void* parameter);

// The application hook: every event the dispatcher does not keep for itself is offered here
// first. Supplied by the application (one definition per program).
std::int32_t AppEventHandler(std::int32_t event, void* parameter);

// The process entry after the runtime's start-up; returns the exit code.
int SkelWinMain(HINSTANCE instance, HINSTANCE previousInstance, LPSTR commandLine, int showCommand);

// The dispatcher: memory hook, application hook, then the shell's defaults.
std::int32_t SkelEventDispatch(std::int32_t event, void* parameter);

// Stores a device handler; 1, or 0 for an id other than 0, 1, 2.
std::int32_t SkelInputDeviceAttach(std::uint32_t device, SkelEventHandler handler);

// "Error: " or "Warning: ", the text and a newline to the debugger output; then, with a keyboard
// handler installed, a key-up and a key-down of the key record (255, 255).
void SkelErrorMessage(const char* text);
void SkelWarningMessage(const char* text);

HWND SkelGetWindowHandle();

// A copy of the path, made with the engine's memory, in which every '/' became '\'; null when
// memory runs out. SkelPathDestroy frees it (null is ignored).
char* SkelPathCreate(const char* path);
void SkelPathDestroy(char* path);
char SkelPathSeparator();

// The image search path for the textures of one model or world file: "a\b.dff" searches
// "a\b\;a\textures\".
void SkelSetTextureSearchPath(const char* filePath);

// Moves the cursor to a client position, while the window is active; the next mouse move only
// records where the pointer is.
void SkelMousePointerSet(float x, float y);

// A camera with a frame, a frame-buffer raster of the size and, with the flag, a z raster; null
// (nothing left behind) when any of them cannot be made. Destroy takes all of it (null ignored).
OvCamera* SkelCameraCreate(std::int32_t width, std::int32_t height, bool zBuffer);
// Close the 2D toolkit on it first; no clone or other camera may still share its rasters.
void SkelCameraDestroy(OvCamera* camera);
// Shows the camera's frame-buffer raster in the main window.
void SkelCameraShowRaster(OvCamera* camera);

// The window procedure of "OvAppClass".
LRESULT SkelWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

// Key table: the key code of a scan index (255 for an index not listed or above 255).
std::uint32_t SkelKeyCode(std::uint32_t scanIndex);

// Splits a command line into arguments in one allocation: *count pointers followed by a copy of
// the line the pointers point into. Quotes toggle blanks into
// the argument; an opening quote and a closing quote just before the end are not part of it.
// Free the result with SkelFreeCommandLine.
char** SkelSplitCommandLine(const char* line, int* count);
void SkelFreeCommandLine(char** arguments);

// The shell's state, readable for the framework and tests.
struct SkelState {
    const char* title;       // window title
    std::int32_t width;      // client width
    std::int32_t height;     // client height
    bool quit;               // set when SKEL_EVENT_QUIT passes the dispatcher
    bool graphicsOpen;       // between a successful graphics open and the end of the loop
    bool windowActive;       // the main window is the active one
    bool mousePositionKnown; // a move has recorded the pointer since the last pointer set
    UINT timerPeriod;        // finest timer period, milliseconds
    SkelPlatform platform;   // the main window
    struct Device {
        std::uint32_t id;
        std::uint32_t installed;
        SkelEventHandler handler;
    } devices[3];
};
SkelState* SkelGetState();

// The memory functions that the memory hook hands the graphics engine, and the hook itself: it
// fills the table of SKEL_EVENT_MEMORY_FUNCTIONS and still answers "not handled", so that the
// application may change the table after it.
const OvMemoryFunctions* SkelMemoryFunctions();
std::int32_t SkelMemoryHook(std::int32_t event, void* parameter);

// The start-up defaults (the dispatcher's default of SKEL_EVENT_APP_START): title, size, quit
// flag, device slots and the timer period.
std::int32_t SkelStartUp();

// Graphics open and close sequences, device selection, image formats and file systems: the
// dispatcher's defaults for events 13, 14, 15 and 10, callable on their own for tests.
std::int32_t SkelGraphicsOpen(SkelPlatform* platform);
// Close the 2D toolkit and destroy what you hold first: every dictionary, the file systems and the engine go.
void SkelGraphicsClose();
std::int32_t SkelSelectDevice(SkelPlatform* platform);
std::int32_t SkelRegisterImageFormats();
std::int32_t SkelFileSystemsSetUp();

// Up to this many rendering sub-systems are offered in the device dialog.
inline constexpr int SKEL_MAX_SUBSYSTEMS = 16;
// Resource and control ids of the device-selection dialog.
inline constexpr int SKEL_DIALOG_DEVICE = 104;
inline constexpr int SKEL_CONTROL_SUBSYSTEMS = 1000;
inline constexpr int SKEL_CONTROL_VIDEO_MODES = 1001;
inline constexpr int SKEL_CONTROL_EXIT = 1002;
inline constexpr int SKEL_CONTROL_PROMPT = 1005;
