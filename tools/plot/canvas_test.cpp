// The plot font: every character the tools print has a glyph of its own.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tools/plot/canvas.h"

namespace {

// The 5 x 7 cells of one character as drawn, '#' for ink.
std::string Drawn(char c) {
    plot::Canvas canvas(6, 7);
    canvas.Text(0, 0, std::string(1, c), plot::kInk);
    std::string cells;
    for (int y = 0; y < 7; ++y)
        for (int x = 0; x < 5; ++x)
            cells += canvas.At(x, y).r == plot::kInk.r ? '#' : '.';
    return cells;
}

} // namespace

TEST(PlotFont, EveryCharacterOfTheSetHasAGlyphOfItsOwn) {
    // Unknown characters fall back to '?': a character drawn like another (or like '?') has no
    // glyph. Small letters print as capitals, so only capitals are in the set.
    const std::string set = "ABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789:;.,-+/()=%<>_'?!*|^";
    std::vector<std::string> glyphs;
    for (char c : set)
        glyphs.push_back(Drawn(c));
    for (std::size_t i = 0; i < set.size(); ++i) {
        EXPECT_NE(glyphs[i], std::string(35, '.')) << "'" << set[i] << "' draws nothing";
        for (std::size_t j = 0; j < i; ++j)
            EXPECT_NE(glyphs[i], glyphs[j]) << "'" << set[i] << "' draws like '" << set[j] << "'";
    }
    EXPECT_EQ(Drawn('a'), Drawn('A'));
    // The two dots of ':' stand in one column; ';' is ':' with a tail.
    const std::string colon = Drawn(':'), semicolon = Drawn(';');
    EXPECT_EQ(colon.substr(5, 5), colon.substr(20, 5));
    EXPECT_EQ(semicolon.substr(0, 30), colon.substr(0, 30));
}
