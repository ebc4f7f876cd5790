#include "platform/crt.h"

#include <gtest/gtest.h>

#include <clocale>
#include <cstdio>
#include <filesystem>
#include <string>
#include "testing/scratch_dir.h"

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

namespace {

TEST(CrtFiles, ReadsByDescriptorWithWindowsNames) {
    const std::filesystem::path dir = MakeTestScratchDir("crt_files") / "Sub";
    std::filesystem::create_directories(dir);
    const std::string bytes("<a>\r\n\0\xFF", 7);
    {
        std::FILE* f = std::fopen((dir / "Config.XML").c_str(), "wb");
        ASSERT_NE(f, nullptr);
        std::fwrite(bytes.data(), 1, bytes.size(), f);
        std::fclose(f);
    }
    // Backslashes and another case find the file; bytes come back untranslated.
    std::string name = (dir.parent_path() / "sub" / "config.xml").string();
    for (char& c : name)
        if (c == '/')
            c = '\\';
    const int fd = _open(name.c_str(), _O_RDONLY | _O_BINARY);
    ASSERT_GE(fd, 0);
    char buffer[16];
    EXPECT_EQ(_read(fd, buffer, 4), 4);
    EXPECT_EQ(_read(fd, buffer + 4, sizeof buffer), 3);
    EXPECT_EQ(std::string(buffer, 7), bytes);
    EXPECT_EQ(_read(fd, buffer, sizeof buffer), 0);
    EXPECT_EQ(_close(fd), 0);
    EXPECT_EQ(_read(fd, buffer, 1), -1);
    EXPECT_EQ(_open((dir / "missing.xml").c_str(), _O_RDONLY), -1);
    EXPECT_EQ(_open(nullptr, _O_RDONLY), -1);
    EXPECT_EQ(_open((dir / "Config.XML").c_str(), 0x0001), -1); // writing is not offered
}

} // namespace
