// The key table against the layout written out independently, index by index.

#include <gtest/gtest.h>

#include <map>

#include "graphics/shared/skel/win/skeleton.h"

namespace {

std::map<std::uint32_t, std::uint32_t> ExpectedKeys() {
    std::map<std::uint32_t, std::uint32_t> k;
    const char* rows[][2] = {
        {"\x02", "1234567890-="}, {"\x10", "qwertyuiop[]"}, {"\x1e", "asdfghjkl;'`"}, {"\x2c", "zxcvbnm,./"}};
    for (const auto& row : rows) {
        for (int i = 0; row[1][i] != '\0'; ++i) {
            k[static_cast<std::uint32_t>(row[0][0] + i)] = static_cast<unsigned char>(row[1][i]);
        }
    }
    k[43] = 35;
    k[57] = 32;
    k[86] = 92;
    k[1] = 128;
    const std::uint32_t named[][2] = {
        {59, 129},  {60, 130},  {61, 131},  {62, 132},  {63, 133},  {64, 134},  {65, 135},  {66, 136},  {67, 137},
        {68, 138},  {87, 139},  {88, 140},  {210, 141}, {211, 142}, {199, 143}, {71, 143},  {207, 144}, {201, 145},
        {209, 146}, {200, 147}, {208, 148}, {203, 149}, {205, 150}, {82, 151},  {83, 152},  {79, 154},  {73, 155},
        {81, 156},  {72, 157},  {80, 158},  {75, 159},  {77, 160},  {69, 161},  {197, 161}, {181, 162}, {55, 163},
        {74, 164},  {78, 165},  {156, 166}, {76, 167},  {14, 168},  {15, 169},  {58, 170},  {28, 171},  {42, 172},
        {54, 173},  {29, 174},  {157, 175}, {56, 176},  {184, 177}};
    for (const auto& n : named) {
        k[n[0]] = n[1];
    }
    return k;
}

TEST(SkelKeyTable, EveryIndexGivesItsCodeAndEverythingElseNoKey) {
    const auto expected = ExpectedKeys();
    for (std::uint32_t index = 0; index < 256; ++index) {
        const auto it = expected.find(index);
        const std::uint32_t want = it != expected.end() ? it->second : SKEL_KEY_NONE;
        EXPECT_EQ(SkelKeyCode(index), want) << "scan index " << index;
    }
    // No key gives 153; SCROLL LOCK and the unlisted low indices give no key.
    for (std::uint32_t index = 0; index < 256; ++index) {
        EXPECT_NE(SkelKeyCode(index), 153u);
    }
    for (std::uint32_t index : {0u, 70u, 84u, 85u, 255u}) {
        EXPECT_EQ(SkelKeyCode(index), SKEL_KEY_NONE);
    }
    // An extended key with a high scan code reaches indices the table does not have.
    for (std::uint32_t index = 256; index < 384; ++index) {
        EXPECT_EQ(SkelKeyCode(index), SKEL_KEY_NONE);
    }
    EXPECT_EQ(SkelKeyCode(0xFFFFFFFFu), SKEL_KEY_NONE);
}

} // namespace
