#pragma once
// The window layer behind the Windows calls of platform/win32.h: the interface of its back ends,
// the entry points through which back ends and scripts deliver input, and the queries that
// tools and tests use. The rest of the system calls the Windows names only.
//
// The layer starts at its first use. It reads the environment controls (platform/controls.h;
// a malformed value ends the process with status 2 and a message naming the variable), then
// picks a back end: headless when PLATFORM_HEADLESS=1 or when there is no display, else SDL2.
// When SDL cannot start it says so in one line on stderr and runs headless. Headless, a wait for a
// message that nothing can send (no timer, no PLATFORM_FRAMES) would never end: the main window
// is closed instead (WM_CLOSE), as its user would close it.

#include "platform/keys.h"
#include "platform/win32.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

// A back end realises windows and turns its events into calls of the PlatformInput* functions.
class PlatformBackend {
public:
    virtual ~PlatformBackend() = default;
    virtual const char* Name() const = 0;
    // Realises a window with its client size; x and y may be CW_USEDEFAULT and are written back
    // with the screen position of the client area.
    virtual bool CreateWindow(HWND window, const char* title, int* x, int* y, int width, int height, DWORD style) = 0;
    virtual void DestroyWindow(HWND window) = 0;
    virtual void ShowWindow(HWND window, bool visible) = 0;
    virtual void PlaceWindow(HWND window, int x, int y, int width, int height) = 0;
    virtual void SetStyle(HWND window, DWORD style) = 0;
    // Turns every event waiting into input calls.
    virtual void Pump() = 0;
    // Waits for an event at most timeoutMs milliseconds (below 0: no limit).
    virtual void Wait(int timeoutMs) = 0;
    virtual bool Present(HWND window, const void* pixels, UINT width, UINT height, UINT pitch) = 0;
    virtual void WarpCursor(int screenX, int screenY) = 0;
    virtual void ShowCursor(bool visible) = 0;
    virtual void CaptureMouse(bool on) = 0;
    virtual void RelativeMouse(HWND window, bool on) = 0;
    virtual void MessageBox(const char* caption, const char* text) = 0;
    // The window's client pixels as last shown (0x00RRGGBB words), for tests; headless: the last
    // frame presented to it, at its own size.
    virtual bool ReadPixels(HWND window, std::vector<std::uint32_t>* pixels, int* width, int* height) = 0;
    // The back end's own window object (SDL_Window*), or null; for tests.
    virtual void* Native(HWND window) = 0;
};

// Starts the SDL back end; null with a reason when there is no display or video driver.
std::unique_ptr<PlatformBackend> PlatformSdlBackend(std::string* error);

// The back end's name ("headless" or "sdl"); starts the layer.
const char* PlatformWindowBackendName();

// Destroys every window, class, timer, queued message and dropped-file record and stops the
// back end; the next call starts the layer again from the environment. For tests.
void PlatformWindowReset();

// The first top-level window still alive, or null: the one scripted input goes to.
HWND PlatformMainWindow();

// The window that has the focus, or null.
HWND PlatformActiveWindow();

// Input from a back end or the script, turned into the Windows messages (posted in order).
// Mouse positions are client pixels; dx, dy the relative motion the mouse reports.
void PlatformInputKey(HWND window, const PlatformKey& key, bool down);
void PlatformInputMouseMove(HWND window, int x, int y, int dx, int dy);
void PlatformInputMouseButton(HWND window, int button, bool down); // 0 left, 1 right, 2 middle
void PlatformInputWheel(HWND window, int delta);                   // WHEEL_DELTA per notch, forward > 0
void PlatformInputFocus(HWND window, bool active);
void PlatformInputResize(HWND window, int width, int height, WPARAM sizeKind);
void PlatformInputMoved(HWND window, int x, int y);
void PlatformInputClose(HWND window);
void PlatformInputDrop(HWND window, const std::vector<std::string>& paths);

// The waits for a message so far (WaitMessage, MsgWaitForMultipleObjects), for tests.
long PlatformMessageWaits();

// Cursor state: the visibility counter of ShowCursor and whether the pointer is captured.
int PlatformCursorCounter();

// The controls of the last dialog box run: each named control with its list items.
struct PlatformDialogControl {
    int id = 0;
    std::vector<std::string> texts;
    std::vector<LPARAM> data;
    int selection = -1;
};
const std::vector<PlatformDialogControl>& PlatformLastDialog();

// A message box laid out for a screen: the text broken into the lines the box shows, and the box's
// rectangle in screen pixels. The text is wrapped at spaces (a word longer than a line is broken),
// each of its own lines on its own, so that the box keeps within 5/8 of the screen's width and 3/4
// of its height; what does not fit in that height is cut, its last line ending in "...". The box
// is centred across the screen and a third down it, and never starts off it. Characters (UTF-8)
// are counted as glyphs of one width, as in the fixed font a message box draws with. The font's
// defaults are those of SDL's box on an X server with its fixed 12-point font (7 x 13), measured.
struct PlatformBoxFont {
    int charWidth = 7;    // pixels per character
    int lineHeight = 15;  // pixels per line
    int margin = 15;      // left and right of the text
    int frameHeight = 82; // the box's height besides its lines (gaps, the button row)
};
struct PlatformBoxLayout {
    std::vector<std::string> lines;
    RECT box{};
};
PlatformBoxLayout PlatformLayOutMessageBox(const std::string& text, int screenWidth, int screenHeight,
                                           const PlatformBoxFont& font);

// The window's pixels as shown and the back end's window object (see PlatformBackend).
bool PlatformReadWindowPixels(HWND window, std::vector<std::uint32_t>* pixels, int* width, int* height);
void* PlatformNativeWindow(HWND window);

// The DirectInput mouse's feed (platform/dinput8.cpp).
void PlatformMouseFeedMotion(int dx, int dy, int dz);
void PlatformMouseFeedButton(int button, bool down);
void PlatformMouseFeedFocus(HWND window, bool active);
void PlatformMouseFeedReset();

// Relative mouse mode (hidden pointer held in the window), for an exclusive mouse device.
void PlatformSetRelativeMouse(HWND window, bool on);
