// The shell's state, the event dispatcher with its memory hook and defaults, the input-device
// slots, debugger messages, paths, the cursor and cameras.

#include "graphics/shared/skel/win/skeleton.h"

#include <cstdlib>
#include <cstring>
#include <string>

#include "graphics/core/camera.h"
#include "graphics/core/engine.h"
#include "graphics/core/frame.h"
#include "graphics/core/image.h"
#include "graphics/core/raster.h"
#include "graphics/shared/skel/win/exit_status.h"

namespace {

SkelState gState = {
    "Orvanta Application",
    0,
    0,
    false,
    false,
    true,
    false,
    1,
    {nullptr, nullptr, 0, 0.0f, 0.0f},
    {{SKEL_DEVICE_KEYBOARD, 0, nullptr}, {SKEL_DEVICE_MOUSE, 0, nullptr}, {SKEL_DEVICE_PAD, 0, nullptr}},
};

// The C runtime's allocation functions behind the memory hook; hints are advisory and dropped.
void* CrtAllocate(std::size_t size, OvUInt32) { return std::malloc(size); }
void CrtFree(void* block) { std::free(block); }
void* CrtReallocate(void* block, std::size_t size, OvUInt32) { return std::realloc(block, size); }
void* CrtCallocate(std::size_t count, std::size_t size, OvUInt32) { return std::calloc(count, size); }

const OvMemoryFunctions kCrtMemory = {CrtAllocate, CrtFree, CrtReallocate, CrtCallocate};

} // namespace

namespace {
int g_failureStatus = 0; // see exit_status.h
} // namespace

void SkelSetFailureStatus(int status) { g_failureStatus = status; }
int SkelGetFailureStatus() { return g_failureStatus; }

std::int32_t SkelStartUp() {
    gState.title = "Orvanta Application";
    gState.width = 0;
    gState.height = 0;
    gState.quit = false;
    g_failureStatus = 0;
    for (std::uint32_t id = 0; id < 3; ++id) {
        gState.devices[id] = {id, 0, nullptr};
    }
    gState.platform.fullScreen = 0;
    gState.platform.lastMouseX = 0.0f;
    gState.platform.lastMouseY = 0.0f;
    TIMECAPS caps{};
    if (timeGetDevCaps(&caps, sizeof caps) == TIMERR_NOERROR) {
        gState.timerPeriod = caps.wPeriodMin;
    }
    timeBeginPeriod(gState.timerPeriod);
    return SKEL_EVENT_HANDLED;
}

namespace {

std::int32_t Defaults(std::int32_t event, void* parameter) {
    switch (event) {
    case SKEL_EVENT_ARGUMENT:
        SkelEventDispatch(SKEL_EVENT_FILE_LOAD, parameter);
        return SKEL_EVENT_HANDLED;
    case SKEL_EVENT_ENGINE_INITIALISED:
        return SKEL_EVENT_HANDLED;
    case SKEL_EVENT_REGISTER_IMAGE_FORMATS:
        return SkelRegisterImageFormats();
    case SKEL_EVENT_GRAPHICS_OPEN:
        return SkelGraphicsOpen(static_cast<SkelPlatform*>(parameter));
    case SKEL_EVENT_GRAPHICS_CLOSE:
        SkelGraphicsClose();
        return SKEL_EVENT_HANDLED;
    case SKEL_EVENT_SELECT_DEVICE:
        return SkelSelectDevice(static_cast<SkelPlatform*>(parameter));
    case SKEL_EVENT_APP_START:
        return SkelStartUp();
    case SKEL_EVENT_APP_STOP:
        timeEndPeriod(gState.timerPeriod);
        return SKEL_EVENT_HANDLED;
    case SKEL_EVENT_PRE_OPEN_ARGUMENT:
        // The one option known before the window exists; it is accepted and changes nothing.
        return parameter != nullptr && std::strcmp(static_cast<const char*>(parameter), "-vms") == 0
                   ? SKEL_EVENT_HANDLED
                   : SKEL_EVENT_FAILED;
    default:
        return SKEL_EVENT_NOT_HANDLED;
    }
}

// Writes a debugger line and, with a keyboard handler installed, nudges it with the "no key"
// pair so that it drops any key it holds.
void Message(const char* kind, const char* text) {
    OutputDebugStringA(kind);
    OutputDebugStringA(text != nullptr ? text : "");
    OutputDebugStringA("\n");
    const SkelState::Device& keyboard = gState.devices[SKEL_DEVICE_KEYBOARD];
    if (keyboard.installed != 0 && keyboard.handler != nullptr) {
        SkelKeyRecord key = {SKEL_KEY_NONE, SKEL_KEY_NONE};
        keyboard.handler(SKEL_EVENT_KEY_UP, &key);
        keyboard.handler(SKEL_EVENT_KEY_DOWN, &key);
    }
}

} // namespace

SkelState* SkelGetState() { return &gState; }

const OvMemoryFunctions* SkelMemoryFunctions() { return &kCrtMemory; }

std::int32_t SkelMemoryHook(std::int32_t event, void* parameter) {
    if (event == SKEL_EVENT_MEMORY_FUNCTIONS && parameter != nullptr) {
        *static_cast<OvMemoryFunctions*>(parameter) = kCrtMemory;
    }
    return SKEL_EVENT_NOT_HANDLED;
}

std::int32_t SkelEventDispatch(std::int32_t event, void* parameter) {
    const std::int32_t hooked = SkelMemoryHook(event, parameter);
    if (hooked != SKEL_EVENT_NOT_HANDLED) {
        return hooked;
    }
    const std::int32_t answer = AppEventHandler(event, parameter);
    if (event == SKEL_EVENT_QUIT) {
        gState.quit = true;
    }
    if (answer != SKEL_EVENT_NOT_HANDLED) {
        return answer;
    }
    return Defaults(event, parameter);
}

std::int32_t SkelInputDeviceAttach(std::uint32_t device, SkelEventHandler handler) {
    if (device > SKEL_DEVICE_PAD) {
        return 0;
    }
    gState.devices[device].handler = handler;
    gState.devices[device].installed = 1;
    return 1;
}

void SkelErrorMessage(const char* text) { Message("Error: ", text); }

void SkelWarningMessage(const char* text) { Message("Warning: ", text); }

HWND SkelGetWindowHandle() { return gState.platform.window; }

char* SkelPathCreate(const char* path) {
    if (path == nullptr) {
        return nullptr;
    }
    const OvStringFunctions& s = OvEngineInstancePtr->stringFuncs;
    const std::size_t length = s.vecStrlen(path);
    auto* copy = static_cast<char*>(OvMalloc(length + 1, ovMEMHINTDUR_FUNCTION));
    if (copy == nullptr) {
        return nullptr;
    }
    s.vecStrcpy(copy, path);
    for (char* c = copy; *c != '\0'; ++c) {
        if (*c == '/') {
            *c = '\\';
        }
    }
    return copy;
}

void SkelPathDestroy(char* path) {
    if (path != nullptr) {
        OvFree(path);
    }
}

char SkelPathSeparator() { return '\\'; }

void SkelSetTextureSearchPath(const char* filePath) {
    if (filePath == nullptr) {
        return;
    }
    const std::string file = filePath;
    const char sep = SkelPathSeparator();
    // A folder named like the file without its extension; a name without '.' is its own stem.
    const std::size_t dot = file.rfind('.');
    std::string path = file.substr(0, dot) + sep + ';';
    // The file's own folder, when the name has one.
    const std::size_t slash = file.rfind(sep);
    if (slash != std::string::npos && slash > 0) {
        path += file.substr(0, slash + 1);
    }
    path += "textures";
    path += sep;
    OvImageSetPath(path.c_str());
}

void SkelMousePointerSet(float x, float y) {
    if (!gState.windowActive) {
        return;
    }
    gState.mousePositionKnown = false;
    POINT point = {static_cast<LONG>(x), static_cast<LONG>(y)};
    ClientToScreen(gState.platform.window, &point);
    SetCursorPos(point.x, point.y);
}

OvCamera* SkelCameraCreate(std::int32_t width, std::int32_t height, bool zBuffer) {
    OvCamera* camera = OvCameraCreate();
    if (camera == nullptr) {
        return nullptr;
    }
    OvFrame* frame = OvFrameCreate();
    if (frame != nullptr) {
        OvCameraSetFrame(camera, frame);
        camera->frameBuffer = OvRasterCreate(width, height, 0, ovRASTERTYPECAMERA);
        if (zBuffer && camera->frameBuffer != nullptr) {
            camera->zBuffer = OvRasterCreate(width, height, 0, ovRASTERTYPEZBUFFER);
        }
    }
    if (frame == nullptr || camera->frameBuffer == nullptr || (zBuffer && camera->zBuffer == nullptr)) {
        SkelCameraDestroy(camera);
        return nullptr;
    }
    return camera;
}

void SkelCameraDestroy(OvCamera* camera) {
    if (camera == nullptr) {
        return;
    }
    if (OvFrame* frame = OvCameraGetFrame(camera)) {
        OvCameraSetFrame(camera, nullptr);
        OvFrameDestroy(frame);
    }
    if (camera->frameBuffer != nullptr) {
        OvRasterDestroy(camera->frameBuffer);
        camera->frameBuffer = nullptr;
    }
    if (camera->zBuffer != nullptr) {
        OvRasterDestroy(camera->zBuffer);
        camera->zBuffer = nullptr;
    }
    OvCameraDestroy(camera);
}

void SkelCameraShowRaster(OvCamera* camera) { OvCameraShowRaster(camera, gState.platform.window, 0); }
