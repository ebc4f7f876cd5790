// The key table: scan index (set-1 scan code, 128 added for an extended key) to the shell's key
// code. Printable keys give their lower-case character on a UK/US layout; ESC, the function,
// cursor, editing, keypad and modifier keys have codes from 128 up; anything else is 255.

#include <array>

#include "graphics/shared/skel/win/skeleton.h"

namespace {

using Table = std::array<std::uint8_t, 256>;

constexpr Table MakeTable() {
    Table t{};
    for (auto& code : t) {
        code = static_cast<std::uint8_t>(SKEL_KEY_NONE);
    }
    auto run = [&t](int first, const char* chars) {
        for (int i = 0; chars[i] != '\0'; ++i) {
            t[static_cast<std::size_t>(first + i)] = static_cast<std::uint8_t>(chars[i]);
        }
    };
    run(2, "1234567890-=");
    run(16, "qwertyuiop[]");
    run(30, "asdfghjkl;'`");
    t[43] = '#';
    run(44, "zxcvbnm,./");
    t[57] = ' ';
    t[86] = '\\';
    auto set = [&t](std::initializer_list<int> indices, int code) {
        for (int i : indices) {
            t[static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(code);
        }
    };
    set({1}, 128); // ESC
    for (int f = 0; f < 10; ++f) {
        set({59 + f}, 129 + f); // F1-F10
    }
    set({87}, 139);      // F11
    set({88}, 140);      // F12
    set({210}, 141);     // INSERT
    set({211}, 142);     // DELETE
    set({199, 71}, 143); // HOME, and keypad 7
    set({207}, 144);     // END
    set({201}, 145);     // PAGE UP
    set({209}, 146);     // PAGE DOWN
    set({200}, 147);     // UP
    set({208}, 148);     // DOWN
    set({203}, 149);     // LEFT
    set({205}, 150);     // RIGHT
    set({82}, 151);      // keypad 0
    set({83}, 152);      // keypad point
    set({79}, 154);      // keypad 1
    set({73}, 155);      // keypad 9
    set({81}, 156);      // keypad 3
    set({72}, 157);      // keypad 8
    set({80}, 158);      // keypad 2
    set({75}, 159);      // keypad 4
    set({77}, 160);      // keypad 6
    set({69, 197}, 161); // NUM LOCK
    set({181}, 162);     // keypad divide
    set({55}, 163);      // keypad times
    set({74}, 164);      // keypad minus
    set({78}, 165);      // keypad plus
    set({156}, 166);     // keypad ENTER
    set({76}, 167);      // keypad 5
    set({14}, 168);      // BACKSPACE
    set({15}, 169);      // TAB
    set({58}, 170);      // CAPS LOCK
    set({28}, 171);      // ENTER
    set({42}, 172);      // LEFT SHIFT
    set({54}, 173);      // RIGHT SHIFT
    set({29}, 174);      // LEFT CTRL
    set({157}, 175);     // RIGHT CTRL
    set({56}, 176);      // LEFT ALT
    set({184}, 177);     // RIGHT ALT
    return t;
}

constexpr Table kKeyTable = MakeTable();

} // namespace

std::uint32_t SkelKeyCode(std::uint32_t scanIndex) {
    // An extended key with a scan code above 127 would index past the table.
    return scanIndex < kKeyTable.size() ? kKeyTable[scanIndex] : SKEL_KEY_NONE;
}
