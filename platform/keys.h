#pragma once
// The keyboard as the window layer reports it: one table of keys with their Windows virtual-key
// code, set-1 scan code and extended bit, and the USB usage that SDL reports as the scan code.
// The SDL back end and the environment's key script both go through it, so a key arrives in
// the same message layout whichever way it was pressed.

#include "platform/win32.h"

struct PlatformKey {
    const char* name; // virtual-key name without "VK_" ("F1", "ESCAPE", "A", "LSHIFT")
    BYTE vk;          // code reported in wParam (left and right shift, control and alt report the generic code)
    BYTE scan;        // set-1 scan code, lParam bits 16-23
    bool extended;    // lParam bit 24
    int usb;          // USB HID keyboard usage (SDL scan code); 0 when none
};

// Looks a key up by name (ASCII case ignored), by USB usage, or by scan code and extended bit;
// null when unknown.
const PlatformKey* PlatformKeyByName(const char* name);
const PlatformKey* PlatformKeyByUsb(int usage);
const PlatformKey* PlatformKeyByScan(BYTE scan, bool extended);

// lParam of WM_KEYDOWN/WM_KEYUP/WM_SYSKEYDOWN/WM_SYSKEYUP: repeat count 1, scan code, extended bit,
// bit 29 when alt is held, bit 30 when the key was down before, bit 31 for a release.
LPARAM PlatformKeyLParam(const PlatformKey& key, bool down, bool wasDown, bool altDown);
