// The command-line splitter: quotes and blanks, the platform's own quoting round trip, and every
// byte value.

#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "graphics/shared/skel/win/skeleton.h"

namespace {

std::vector<std::string> Split(const std::string& line) {
    int count = -1;
    char** args = SkelSplitCommandLine(line.c_str(), &count);
    std::vector<std::string> out;
    EXPECT_NE(args, nullptr);
    if (args == nullptr) {
        return out;
    }
    // Every argument points into the block's copy of the line, after the pointers.
    const char* copy = reinterpret_cast<const char*>(args + count + 1);
    EXPECT_EQ(args[count], nullptr);
    for (int i = 0; i < count; ++i) {
        EXPECT_GE(args[i], copy);
        EXPECT_LE(args[i] + std::strlen(args[i]), copy + line.size());
        out.emplace_back(args[i]);
    }
    SkelFreeCommandLine(args);
    return out;
}

using Args = std::vector<std::string>;

TEST(SkelCommandLine, QuotesAndBlanks) {
    EXPECT_EQ(Split("game.exe \"a b\" c"), (Args{"game.exe", "a b", "c"}));
    EXPECT_EQ(Split(""), Args{});
    EXPECT_EQ(Split(" \t\r\n "), Args{});
    EXPECT_EQ(Split("  x\t\ty\x01z  "), (Args{"x", "y", "z"}));
    // Quotes inside a word stay in it, with the blank they hold.
    EXPECT_EQ(Split("p ab\"c d\"e f"), (Args{"p", "ab\"c d\"e", "f"}));
    // A closing quote right before the end is dropped, before a blank or the end of the line.
    EXPECT_EQ(Split("\"x\" \"y\""), (Args{"x", "y"}));
    // An unterminated quote runs to the end; an empty pair is no argument.
    EXPECT_EQ(Split("p \"a b"), (Args{"p", "a b"}));
    EXPECT_EQ(Split("p \"\" q"), (Args{"p", "q"}));
    EXPECT_EQ(Split("\""), Args{});
    // Three opening quotes leave the word quoted; its closing quote is dropped.
    EXPECT_EQ(Split("\"\"\"a b\""), (Args{"a b"}));
    // Bytes above 127 are not blanks.
    EXPECT_EQ(Split("\xE9t\xE9 \xFF"), (Args{"\xE9t\xE9", "\xFF"}));
    EXPECT_EQ(Split("-vms -VMS"), (Args{"-vms", "-VMS"}));
}

// The platform's command line quotes every argument that holds a blank; splitting gives the
// arguments back, whatever bytes they hold besides quotes.
TEST(SkelCommandLine, PlatformQuotingRoundTrips) {
    std::mt19937 rng(31);
    for (int round = 0; round < 2000; ++round) {
        Args args;
        std::string line;
        const int n = 1 + static_cast<int>(rng() % 6);
        for (int i = 0; i < n; ++i) {
            std::string arg;
            const int length = 1 + static_cast<int>(rng() % 8);
            while (static_cast<int>(arg.size()) < length) {
                const char c = static_cast<char>(1 + rng() % 255);
                if (c != '"') {
                    arg += c;
                }
            }
            bool blank = false;
            for (char c : arg) {
                blank |= static_cast<unsigned char>(c) < 33;
            }
            // An argument of blanks alone vanishes, as it would on the platform.
            bool onlyBlanks = true;
            for (char c : arg) {
                onlyBlanks &= static_cast<unsigned char>(c) < 33;
            }
            if (onlyBlanks) {
                continue;
            }
            line += (line.empty() ? "" : " ") + (blank ? "\"" + arg + "\"" : arg);
            args.push_back(arg);
        }
        ASSERT_EQ(Split(line), args) << line;
    }
}

// Every byte value alone and between words: no read or write outside the block (checked by the
// sanitizers), and the pointers stay inside the copy (checked in Split).
TEST(SkelCommandLine, TakesEveryByte) {
    for (int b = 1; b < 256; ++b) {
        const char c = static_cast<char>(b);
        Split(std::string(1, c));
        Split(std::string("a") + c + "b" + c);
        Split(std::string(3, c) + "\"" + c);
    }
    std::mt19937 rng(7);
    for (int round = 0; round < 3000; ++round) {
        std::string line;
        const int length = static_cast<int>(rng() % 24);
        for (int i = 0; i < length; ++i) {
            const char pick[] = {'"', ' ', '\t', 'a', static_cast<char>(1 + rng() % 255)};
            line += pick[rng() % 5];
        }
        Split(line);
    }
}

} // namespace
