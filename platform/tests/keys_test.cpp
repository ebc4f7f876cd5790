#include "platform/keys.h"

#include <gtest/gtest.h>
#include <string>

namespace {

// The key table against the keyboard's own numbering: set-1 scan codes by key row, USB usages
// by the HID usage table, and the extended keys the shell's key table names.
TEST(PlatformKeys, ScanCodesUsbUsagesAndVirtualKeysAgreeWithTheKeyboard) {
    auto check = [](const std::string& name, int vk, int scan, bool extended, int usb) {
        const PlatformKey* k = PlatformKeyByName(name.c_str());
        ASSERT_NE(k, nullptr) << name;
        EXPECT_EQ(k->vk, vk) << name;
        EXPECT_EQ(k->scan, scan) << name;
        EXPECT_EQ(k->extended, extended) << name;
        EXPECT_EQ(PlatformKeyByScan(static_cast<BYTE>(scan), extended), k) << name;
        if (usb != 0) {
            EXPECT_EQ(k->usb, usb) << name;
            EXPECT_EQ(PlatformKeyByUsb(usb), k) << name;
        }
    };
    const std::string rows[] = {"1234567890", "QWERTYUIOP", "ASDFGHJKL", "ZXCVBNM"};
    const int rowScan[] = {0x02, 0x10, 0x1E, 0x2C};
    for (int r = 0; r < 4; ++r) {
        for (std::size_t i = 0; i < rows[r].size(); ++i) {
            const char c = rows[r][i];
            const int usb = c >= 'A' ? 4 + (c - 'A') : c == '0' ? 39 : 30 + (c - '1');
            check(std::string(1, c), c, rowScan[r] + static_cast<int>(i), false, usb);
        }
    }
    for (int f = 1; f <= 12; ++f)
        check("F" + std::to_string(f), 0x6F + f, f <= 10 ? 0x3A + f : 0x56 + (f - 10), false, 57 + f);
    check("ESCAPE", 0x1B, 0x01, false, 41);
    check("SPACE", 0x20, 0x39, false, 44);
    check("LSHIFT", 0x10, 0x2A, false, 225);
    check("RSHIFT", 0x10, 0x36, false, 229);
    check("LCONTROL", 0x11, 0x1D, false, 224);
    check("RCONTROL", 0x11, 0x1D, true, 228);
    check("RMENU", 0x12, 0x38, true, 230);
    check("SEPARATOR", 0x0D, 0x1C, true, 88); // keypad ENTER
    check("DIVIDE", 0x6F, 0x35, true, 84);
    check("NUMPAD7", 0x67, 0x47, false, 95);
    const char* arrows[] = {"HOME", "UP", "PRIOR", "LEFT", "RIGHT", "END", "DOWN", "NEXT", "INSERT", "DELETE"};
    const int arrowScan[] = {0x47, 0x48, 0x49, 0x4B, 0x4D, 0x4F, 0x50, 0x51, 0x52, 0x53};
    const int arrowVk[] = {0x24, 0x26, 0x21, 0x25, 0x27, 0x23, 0x28, 0x22, 0x2D, 0x2E};
    for (int i = 0; i < 10; ++i)
        check(arrows[i], arrowVk[i], arrowScan[i], true, 0);
    EXPECT_EQ(PlatformKeyByName("f1"), PlatformKeyByName("F1"));
    EXPECT_EQ(PlatformKeyByName("F13"), nullptr);
    EXPECT_EQ(PlatformKeyByUsb(0), nullptr);
    EXPECT_EQ(PlatformKeyByScan(0x00, false), nullptr);
}

} // namespace
