#pragma once
// Bitmap fonts for the 2D toolkit made from the built-in character set: a metrics file in the
// explicit-rectangle format ("METRICS1") and its glyph page, an RGBA PNG of white glyphs on a
// transparent ground.
//
// Files written into DIR for the font NAME:
//   NAME.met   METRICS1, the page name NAME, the baseline 0, then one line "code left top right
//              bottom" per glyph of characters 32 to 122 (8 x 14 pixel boxes in 9 x 15 cells)
//   NAME.png   the 128 x 128 page

#include <string>

// Writes the two files (DIR is created when missing); false with a message naming the file.
bool WriteCharsetFont(const std::string& dir, const std::string& name, std::string* error);
