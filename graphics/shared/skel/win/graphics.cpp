// The shell's graphics defaults: the open and close sequences of the graphics engine, the
// device-selection dialog, the image formats and the file systems.

#include <cstdio>
#include <cstring>

#include "graphics/core/d3d9/device.h"
#include "graphics/core/engine.h"
#include "graphics/core/file_system.h"
#include "graphics/core/image.h"
#include "graphics/core/texture.h"
#include "graphics/shared/skel/win/skeleton.h"
#include "graphics/shared/skel/win/skeleton_internal.h"
#include "graphics/toolkits/bmp_reader.h"
#include "graphics/toolkits/charset.h"
#include "graphics/toolkits/png_reader.h"

namespace {

constexpr OvUInt32 kInitialArena = 0x400000; // resource arena until the configuration sets its own
constexpr OvInt32 kOpenFiles = 20;           // open-file records of each file system

// Device-selection state, shared by the selection and its dialog procedure.
struct DeviceChoice {
    OvSubSystemInfo names[SKEL_MAX_SUBSYSTEMS]; // as the engine fills them
    OvInt32 count;                              // sub-systems offered
    OvInt32 subSystem;                          // chosen sub-system
    OvInt32 videoMode;                          // chosen video mode
};
DeviceChoice gChoice;

// The engine keeps this table for as long as it is initialised.
OvMemoryFunctions gMemory;

// Asks an event of the memory hook and the application only, not the shell's defaults.
std::int32_t Ask(std::int32_t event, void* parameter) {
    const std::int32_t hooked = SkelMemoryHook(event, parameter);
    return hooked != SKEL_EVENT_NOT_HANDLED ? hooked : AppEventHandler(event, parameter);
}

LRESULT Combo(HWND dialog, int id, UINT message, WPARAM wParam = 0, LPARAM lParam = 0) {
    return SendDlgItemMessageA(dialog, id, message, wParam, lParam);
}

// Fills the video-mode list with the modes of the current sub-system and selects the current
// mode, which becomes the chosen one.
void FillVideoModes(HWND dialog) {
    const OvInt32 modes = OvEngineGetNumVideoModes();
    for (OvInt32 i = 0; i < modes; ++i) {
        OvVideoMode info{};
        if (OvEngineGetVideoModeInfo(&info, i) == nullptr) {
            continue;
        }
        char text[96];
        std::snprintf(text, sizeof text, "%lu x %lu x %lu %s", static_cast<unsigned long>(info.width),
                      static_cast<unsigned long>(info.height), static_cast<unsigned long>(info.depth),
                      (info.flags & 1u) != 0 ? "(Fullscreen)" : "");
        const LRESULT item = Combo(dialog, SKEL_CONTROL_VIDEO_MODES, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(text));
        Combo(dialog, SKEL_CONTROL_VIDEO_MODES, CB_SETITEMDATA, static_cast<WPARAM>(item), i);
    }
    gChoice.videoMode = OvEngineGetCurrentVideoMode();
    Combo(dialog, SKEL_CONTROL_VIDEO_MODES, CB_SETCURSEL, static_cast<WPARAM>(gChoice.videoMode));
}

INT_PTR DeviceDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM /*lParam*/) {
    switch (message) {
    case WM_INITDIALOG:
        for (OvInt32 i = 0; i < gChoice.count; ++i) {
            const LRESULT item = Combo(dialog, SKEL_CONTROL_SUBSYSTEMS, CB_ADDSTRING, 0,
                                       reinterpret_cast<LPARAM>(gChoice.names[i].name));
            Combo(dialog, SKEL_CONTROL_SUBSYSTEMS, CB_SETITEMDATA, static_cast<WPARAM>(item), i);
        }
        Combo(dialog, SKEL_CONTROL_SUBSYSTEMS, CB_SETCURSEL, static_cast<WPARAM>(gChoice.subSystem));
        FillVideoModes(dialog);
        SetFocus(GetDlgItem(dialog, SKEL_CONTROL_SUBSYSTEMS));
        return FALSE;
    case WM_COMMAND: {
        const int id = LOWORD(wParam);
        const WORD notification = HIWORD(wParam);
        if (id == SKEL_CONTROL_SUBSYSTEMS) {
            const LRESULT item = Combo(dialog, SKEL_CONTROL_SUBSYSTEMS, CB_GETCURSEL);
            const auto chosen =
                static_cast<OvInt32>(Combo(dialog, SKEL_CONTROL_SUBSYSTEMS, CB_GETITEMDATA, static_cast<WPARAM>(item)));
            if (item != CB_ERR && chosen != gChoice.subSystem) {
                OvEngineSetSubSystem(chosen);
                gChoice.subSystem = chosen;
                Combo(dialog, SKEL_CONTROL_VIDEO_MODES, CB_RESETCONTENT);
                FillVideoModes(dialog);
            }
        } else if (id == SKEL_CONTROL_VIDEO_MODES && notification == CBN_SELCHANGE) {
            const LRESULT item = Combo(dialog, SKEL_CONTROL_VIDEO_MODES, CB_GETCURSEL);
            if (item != CB_ERR) {
                gChoice.videoMode = static_cast<OvInt32>(
                    Combo(dialog, SKEL_CONTROL_VIDEO_MODES, CB_GETITEMDATA, static_cast<WPARAM>(item)));
            }
        } else if (id == IDOK && notification == BN_CLICKED) {
            EndDialog(dialog, 1);
        } else if (id == SKEL_CONTROL_EXIT && notification == BN_CLICKED) {
            EndDialog(dialog, 0);
        }
        return TRUE;
    }
    default:
        return FALSE;
    }
}

// Makes and registers a Windows file system; false (nothing left behind) when either fails.
OvFileSystem* AddFileSystem(const char* deviceName, const char* name) {
    OvFileSystem* fs = OvWinFSCreate(kOpenFiles, deviceName, name);
    if (fs == nullptr) {
        return nullptr;
    }
    if (!OvFSManagerRegister(fs)) {
        SkelDiscardFileSystem(fs);
        return nullptr;
    }
    return fs;
}

OvTexDictionary* DestroyDictionary(OvTexDictionary* dict, void* /*data*/) {
    OvTexDictionaryDestroy(dict);
    return dict;
}

// Undoes an open that got as far as a started engine.
void StopEngine() {
    OvEngineStop();
    OvEngineClose();
    OvEngineTerm();
}

} // namespace

std::int32_t SkelGraphicsOpen(SkelPlatform* platform) {
    if (platform == nullptr) {
        return 0;
    }
    gMemory = {};
    if (Ask(SKEL_EVENT_MEMORY_FUNCTIONS, &gMemory) == SKEL_EVENT_FAILED) {
        return 0;
    }
    // The program runs on the Direct3D 9 driver unless another was installed before.
    if (OvEngineGetDriver() == nullptr) {
        OvEngineSetDriver(OvD3D9Driver());
    }
    if (!OvEngineInit(&gMemory, 0, kInitialArena)) {
        return 0;
    }
    Ask(SKEL_EVENT_ENGINE_INITIALISED, nullptr);
    // A failed attach leaves an initialised engine behind unless it is terminated here.
    if (Ask(SKEL_EVENT_PLUGIN_ATTACH, nullptr) == SKEL_EVENT_FAILED ||
        Ask(SKEL_EVENT_INPUT_DEVICE_ATTACH, nullptr) == SKEL_EVENT_FAILED) {
        OvEngineTerm();
        return 0;
    }
    // The open record is one word: the window the device draws into.
    HWND openRecord = platform->window;
    if (!OvEngineOpen(&openRecord)) {
        OvEngineTerm();
        return 0;
    }
    std::int32_t selected = Ask(SKEL_EVENT_SELECT_DEVICE, platform);
    if (selected == SKEL_EVENT_NOT_HANDLED) {
        selected = SkelSelectDevice(platform);
    }
    if (selected == SKEL_EVENT_FAILED || !OvEngineStart()) {
        OvEngineClose();
        OvEngineTerm();
        return 0;
    }
    if (Ask(SKEL_EVENT_REGISTER_IMAGE_FORMATS, nullptr) == SKEL_EVENT_NOT_HANDLED) {
        SkelRegisterImageFormats();
    }
    if (!OvCharsetOpen()) {
        StopEngine();
        return 0;
    }
    // A manager or file systems that fail leave the character set and the started engine behind
    // unless they are taken down here.
    if (!OvFSManagerOpen(-1)) {
        OvCharsetClose();
        StopEngine();
        return 0;
    }
    if (SkelFileSystemsSetUp() == 0) {
        OvFSManagerClose();
        OvCharsetClose();
        StopEngine();
        return 0;
    }
    return 1;
}

void SkelGraphicsClose() {
    OvCharsetClose();
    OvTexDictionaryForAllTexDictionaries(DestroyDictionary, nullptr);
    OvFSManagerClose();
    StopEngine();
}

std::int32_t SkelSelectDevice(SkelPlatform* platform) {
    gChoice = {};
    gChoice.count = OvEngineGetNumSubSystems();
    if (gChoice.count <= 0) {
        return 0;
    }
    if (gChoice.count > SKEL_MAX_SUBSYSTEMS) {
        gChoice.count = SKEL_MAX_SUBSYSTEMS;
    }
    for (OvInt32 i = 0; i < gChoice.count; ++i) {
        if (OvEngineGetSubSystemInfo(&gChoice.names[i], i) == nullptr) {
            gChoice.names[i].name[0] = '\0';
        }
        gChoice.names[i].name[sizeof gChoice.names[i].name - 1] = '\0';
    }
    gChoice.subSystem = OvEngineGetCurrentSubSystem();
    // The platform answers -1 when the dialog could not run at all.
    if (DialogBoxParamA(platform->instance, MAKEINTRESOURCEA(SKEL_DIALOG_DEVICE), platform->window, DeviceDialogProc,
                        0) <= 0) {
        return 0;
    }
    if (!OvEngineSetSubSystem(gChoice.subSystem) || !OvEngineSetVideoMode(gChoice.videoMode)) {
        return 0;
    }
    OvVideoMode mode{};
    const bool known = OvEngineGetVideoModeInfo(&mode, OvEngineGetCurrentVideoMode()) != nullptr;
    SkelState* state = SkelGetState();
    if (known && (mode.flags & 1u) != 0) {
        state->width = mode.width;
        state->height = mode.height;
        platform->fullScreen = 1;
        SetWindowLongA(platform->window, GWL_STYLE, static_cast<LONG>(WS_POPUP));
        SetWindowPos(platform->window, nullptr, 0, 0, 0, 0, SWP_NOSIZE | SWP_NOMOVE | SWP_NOZORDER | SWP_FRAMECHANGED);
    } else {
        RECT client{};
        GetClientRect(platform->window, &client);
        state->width = client.right - client.left;
        state->height = client.bottom - client.top;
    }
    return 1;
}

std::int32_t SkelRegisterImageFormats() {
    if (!OvImageRegisterFileFormat("bmp", OvBmpImageRead, nullptr) ||
        !OvImageRegisterFileFormat("png", OvPngImageRead, nullptr)) {
        return 0;
    }
    return 1;
}

std::int32_t SkelFileSystemsSetUp() {
    char dir[MAX_PATH + 2];
    const DWORD length = GetCurrentDirectoryA(MAX_PATH, dir);
    if (length == 0 || length > MAX_PATH) {
        return 0;
    }
    dir[length] = SkelPathSeparator();
    dir[length + 1] = '\0';
    OvFileSystem* unc = AddFileSystem(dir, "unc");
    if (unc == nullptr) {
        return 0;
    }
    CharUpperA(dir);
    DWORD drives = GetLogicalDrives();
    for (char letter = 'B'; letter <= 'Z'; ++letter) {
        const DWORD bit = 1u << (letter - 'A');
        if (drives < 2) {
            break;
        }
        if ((drives & bit) == 0) {
            continue;
        }
        const char root[] = {letter, ':', '\\', '\0'};
        const UINT type = GetDriveTypeA(root);
        if (type == DRIVE_UNKNOWN || type == DRIVE_NO_ROOT_DIR) {
            continue;
        }
        const char device[] = {letter, ':', '\0'};
        const char name[] = {letter, '\0'};
        OvFileSystem* fs = AddFileSystem(device, name);
        if (fs == nullptr) {
            return 0;
        }
        if (dir[0] == letter && dir[1] == ':') {
            OvFSManagerSetDefaultFileSystem(fs);
        }
    }
    // A directory without a drive letter is reached through "unc". This holds whether or not
    // any drive was found: without drives no other default would exist at all.
    if (dir[1] != ':') {
        OvFSManagerSetDefaultFileSystem(unc);
    }
    return 1;
}

void SkelDiscardFileSystem(OvFileSystem* fs) {
    fs->fsClose(fs);
    OvFree(fs->deviceName);
    OvFree(fs);
}
