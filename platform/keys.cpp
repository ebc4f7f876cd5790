#include "platform/keys.h"

#include "platform/crt.h"

#include <cstddef>

namespace {

// name, virtual key, scan code, extended, USB usage
constexpr PlatformKey kKeys[] = {
    {"ESCAPE", 0x1B, 0x01, false, 41},
    {"1", '1', 0x02, false, 30},
    {"2", '2', 0x03, false, 31},
    {"3", '3', 0x04, false, 32},
    {"4", '4', 0x05, false, 33},
    {"5", '5', 0x06, false, 34},
    {"6", '6', 0x07, false, 35},
    {"7", '7', 0x08, false, 36},
    {"8", '8', 0x09, false, 37},
    {"9", '9', 0x0A, false, 38},
    {"0", '0', 0x0B, false, 39},
    {"OEM_MINUS", 0xBD, 0x0C, false, 45},
    {"OEM_PLUS", 0xBB, 0x0D, false, 46},
    {"BACK", 0x08, 0x0E, false, 42},
    {"TAB", 0x09, 0x0F, false, 43},
    {"Q", 'Q', 0x10, false, 20},
    {"W", 'W', 0x11, false, 26},
    {"E", 'E', 0x12, false, 8},
    {"R", 'R', 0x13, false, 21},
    {"T", 'T', 0x14, false, 23},
    {"Y", 'Y', 0x15, false, 28},
    {"U", 'U', 0x16, false, 24},
    {"I", 'I', 0x17, false, 12},
    {"O", 'O', 0x18, false, 18},
    {"P", 'P', 0x19, false, 19},
    {"OEM_4", 0xDB, 0x1A, false, 47},
    {"OEM_6", 0xDD, 0x1B, false, 48},
    {"RETURN", 0x0D, 0x1C, false, 40},
    {"LCONTROL", 0x11, 0x1D, false, 224},
    {"A", 'A', 0x1E, false, 4},
    {"S", 'S', 0x1F, false, 22},
    {"D", 'D', 0x20, false, 7},
    {"F", 'F', 0x21, false, 9},
    {"G", 'G', 0x22, false, 10},
    {"H", 'H', 0x23, false, 11},
    {"J", 'J', 0x24, false, 13},
    {"K", 'K', 0x25, false, 14},
    {"L", 'L', 0x26, false, 15},
    {"OEM_1", 0xBA, 0x27, false, 51},
    {"OEM_7", 0xDE, 0x28, false, 52},
    {"OEM_3", 0xC0, 0x29, false, 53},
    {"LSHIFT", 0x10, 0x2A, false, 225},
    {"OEM_5", 0xDC, 0x2B, false, 49},
    {"Z", 'Z', 0x2C, false, 29},
    {"X", 'X', 0x2D, false, 27},
    {"C", 'C', 0x2E, false, 6},
    {"V", 'V', 0x2F, false, 25},
    {"B", 'B', 0x30, false, 5},
    {"N", 'N', 0x31, false, 17},
    {"M", 'M', 0x32, false, 16},
    {"OEM_COMMA", 0xBC, 0x33, false, 54},
    {"OEM_PERIOD", 0xBE, 0x34, false, 55},
    {"OEM_2", 0xBF, 0x35, false, 56},
    {"RSHIFT", 0x10, 0x36, false, 229},
    {"MULTIPLY", 0x6A, 0x37, false, 85},
    {"LMENU", 0x12, 0x38, false, 226},
    {"SPACE", 0x20, 0x39, false, 44},
    {"CAPITAL", 0x14, 0x3A, false, 57},
    {"F1", 0x70, 0x3B, false, 58},
    {"F2", 0x71, 0x3C, false, 59},
    {"F3", 0x72, 0x3D, false, 60},
    {"F4", 0x73, 0x3E, false, 61},
    {"F5", 0x74, 0x3F, false, 62},
    {"F6", 0x75, 0x40, false, 63},
    {"F7", 0x76, 0x41, false, 64},
    {"F8", 0x77, 0x42, false, 65},
    {"F9", 0x78, 0x43, false, 66},
    {"F10", 0x79, 0x44, false, 67},
    {"NUMLOCK", 0x90, 0x45, true, 83},
    {"SCROLL", 0x91, 0x46, false, 71},
    {"NUMPAD7", 0x67, 0x47, false, 95},
    {"NUMPAD8", 0x68, 0x48, false, 96},
    {"NUMPAD9", 0x69, 0x49, false, 97},
    {"SUBTRACT", 0x6D, 0x4A, false, 86},
    {"NUMPAD4", 0x64, 0x4B, false, 92},
    {"NUMPAD5", 0x65, 0x4C, false, 93},
    {"NUMPAD6", 0x66, 0x4D, false, 94},
    {"ADD", 0x6B, 0x4E, false, 87},
    {"NUMPAD1", 0x61, 0x4F, false, 89},
    {"NUMPAD2", 0x62, 0x50, false, 90},
    {"NUMPAD3", 0x63, 0x51, false, 91},
    {"NUMPAD0", 0x60, 0x52, false, 98},
    {"DECIMAL", 0x6E, 0x53, false, 99},
    {"OEM_102", 0xE2, 0x56, false, 100},
    {"F11", 0x7A, 0x57, false, 68},
    {"F12", 0x7B, 0x58, false, 69},
    {"PAUSE", 0x13, 0x45, false, 72},
    // Extended keys.
    {"SEPARATOR", 0x0D, 0x1C, true, 88}, // keypad ENTER reports VK_RETURN
    {"RCONTROL", 0x11, 0x1D, true, 228},
    {"DIVIDE", 0x6F, 0x35, true, 84},
    {"SNAPSHOT", 0x2C, 0x37, true, 70},
    {"RMENU", 0x12, 0x38, true, 230},
    {"HOME", 0x24, 0x47, true, 74},
    {"UP", 0x26, 0x48, true, 82},
    {"PRIOR", 0x21, 0x49, true, 75},
    {"LEFT", 0x25, 0x4B, true, 80},
    {"RIGHT", 0x27, 0x4D, true, 79},
    {"END", 0x23, 0x4F, true, 77},
    {"DOWN", 0x28, 0x50, true, 81},
    {"NEXT", 0x22, 0x51, true, 78},
    {"INSERT", 0x2D, 0x52, true, 73},
    {"DELETE", 0x2E, 0x53, true, 76},
    {"LWIN", 0x5B, 0x5B, true, 227},
    {"RWIN", 0x5C, 0x5C, true, 231},
    {"APPS", 0x5D, 0x5D, true, 101},
};

} // namespace

const PlatformKey* PlatformKeyByName(const char* name) {
    if (name == nullptr)
        return nullptr;
    for (const PlatformKey& k : kKeys)
        if (_stricmp(k.name, name) == 0)
            return &k;
    return nullptr;
}

const PlatformKey* PlatformKeyByUsb(int usage) {
    if (usage <= 0)
        return nullptr;
    for (const PlatformKey& k : kKeys)
        if (k.usb == usage)
            return &k;
    return nullptr;
}

const PlatformKey* PlatformKeyByScan(BYTE scan, bool extended) {
    for (const PlatformKey& k : kKeys)
        if (k.scan == scan && k.extended == extended)
            return &k;
    return nullptr;
}

LPARAM PlatformKeyLParam(const PlatformKey& key, bool down, bool wasDown, bool altDown) {
    DWORD l = 1; // repeat count
    l |= static_cast<DWORD>(key.scan) << 16;
    if (key.extended)
        l |= 1u << 24;
    if (altDown)
        l |= 1u << 29;
    if (wasDown)
        l |= 1u << 30;
    if (!down)
        l |= 1u << 31;
    return static_cast<LPARAM>(l);
}
