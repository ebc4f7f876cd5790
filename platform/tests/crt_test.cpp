#include "platform/crt.h"

#include <gtest/gtest.h>

#include <clocale>
#include <string>

namespace {

TEST(CrtRand, FollowsTheFifteenBitGeneratorAndReseeds) {
    // The first values from the default seed, computed by hand from
    // state = state * 214013 + 2531011, result = (state >> 16) & 0x7FFF.
    crt_srand(1);
    EXPECT_EQ(crt_rand(), 41);
    EXPECT_EQ(crt_rand(), 18467);
    EXPECT_EQ(crt_rand(), 6334);
    EXPECT_EQ(crt_rand(), 26500);
    // The state is shared and a seed restarts it.
    crt_srand(1);
    EXPECT_EQ(crt_rand(), 41);
    crt_srand(0xDEADBEEF);
    for (int i = 0; i < 1000; ++i)
        ASSERT_LE(static_cast<unsigned>(crt_rand()), static_cast<unsigned>(CRT_RAND_MAX));
}

TEST(CrtStrings, CaseInsensitiveComparisonFoldsAsciiOnly) {
    EXPECT_EQ(_stricmp("MaxEntity", "maxentity"), 0);
    EXPECT_LT(_stricmp("abc", "ABD"), 0);
    EXPECT_GT(_stricmp("abcd", "ABC"), 0);
    // '_' (0x5F) lies between the upper and lower case letters: folding to lower case
    // puts it before the letters.
    EXPECT_LT(_stricmp("_", "a"), 0);
    EXPECT_LT(_stricmp("_", "A"), 0);
    // Bytes above 0x7F are compared unsigned and never folded.
    EXPECT_NE(_stricmp("\xC9", "\xE9"), 0);
    EXPECT_GT(_stricmp("\xE9", "z"), 0);

    EXPECT_EQ(_strnicmp("GraphName", "graphNAMEextra", 9), 0);
    EXPECT_NE(_strnicmp("GraphName", "graphNAMEextra", 10), 0);
    EXPECT_EQ(_strnicmp("abc", "xyz", 0), 0);
    EXPECT_EQ(_strnicmp("ab", "AB", 50), 0);
}

TEST(CrtNumbers, ParsesInTheCLocaleWhateverTheProcessLocale) {
    // A locale with a decimal comma, if the machine has one, must not change the result.
    const char* previous = std::setlocale(LC_NUMERIC, nullptr);
    std::string saved = previous ? previous : "C";
    std::setlocale(LC_NUMERIC, "de_DE.UTF-8");

    EXPECT_DOUBLE_EQ(crt_atof("1.5"), 1.5);
    EXPECT_DOUBLE_EQ(crt_atof("  -0.25xyz"), -0.25);
    EXPECT_DOUBLE_EQ(crt_atof("3e2"), 300.0);
    EXPECT_DOUBLE_EQ(crt_atof("abc"), 0.0);
    EXPECT_DOUBLE_EQ(crt_atof(""), 0.0);
    char* end = nullptr;
    const char* text = "2.75,1";
    EXPECT_DOUBLE_EQ(crt_strtod(text, &end), 2.75);
    EXPECT_EQ(end, text + 4);

    EXPECT_EQ(crt_atoi(" 42abc"), 42);
    EXPECT_EQ(crt_atoi("-17"), -17);
    EXPECT_EQ(crt_atoi("x"), 0);
    EXPECT_EQ(crt_atoi("99999999999"), 2147483647);
    EXPECT_EQ(crt_atoi("-99999999999"), -2147483647 - 1);

    std::setlocale(LC_NUMERIC, saved.c_str());
}

} // namespace
