#pragma once
// The built-in character set (module 0x180): 91 fixed glyphs of 8 x 14 pixels, characters 32
// (space) to 122 ('z'), turned into a two-colour texture raster so that debug text can be drawn
// without any font file.
//
// Layout of the raster: cells of 9 x 15 pixels, 14 to a row, 7 rows, in a 128 x 128 raster;
// glyph g sits at column g % 14, row g / 14, its top-left pixel at (9 column, 15 row). The ninth
// column and fifteenth row of each cell and everything outside the cells are background.

#include "graphics/core/camera.h"
#include "graphics/core/raster.h"
#include "graphics/core/types.h"

inline constexpr OvInt32 ovPLUGINIDCHARSET = 0x180;
inline constexpr OvInt32 ovCHARSETFIRSTCODE = 32; // character of glyph 0

// The fixed metrics (7 words).
struct OvCharsetDesc {
    OvInt32 glyphWidth;  // glyph width in pixels (8)
    OvInt32 glyphHeight; // glyph height in pixels (14)
    OvInt32 cellWidth;   // cell width in pixels (9)
    OvInt32 cellHeight;  // cell height in pixels (15)
    OvInt32 count;       // glyphs (91)
    OvInt32 cellsPerRow; // cells in a row of the raster
    OvInt32 rows;        // rows of cells
};

// The glyph table: per glyph 15 bytes, one per pixel row from the top; bit 0 of a byte is the
// leftmost pixel.
inline constexpr OvInt32 ovCHARSETGLYPHBYTES = 15;

// Opens the module (two scratch blocks, state 0, 0, 1); TRUE, or FALSE when memory runs out.
OvBool OvCharsetOpen();
void OvCharsetClose();

// A texture raster of the character set in the two colours (glyph pixels foreground, the rest
// background); null with {0x180, 0x80000016} for a null colour, null when the raster or its
// image cannot be made (nothing left allocated).
OvRaster* OvCharsetCreate(const OvRGBA* foreground, const OvRGBA* background);
// TRUE; FALSE with {0x180, 0x80000016} for null.
// A texture made over the charset destroys it itself: destroy only one no texture holds.
OvBool OvCharsetDestroy(OvRaster* charset);
// Fills the metrics and the raster's side (either may be null); returns the glyph table.
const OvUInt8* OvCharsetGetMetrics(OvCharsetDesc* desc, OvInt32* size);
