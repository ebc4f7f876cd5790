#pragma once
// The 2D toolkit (module 0x190): text and shapes drawn in front of a camera through immediate-mode
// 3D. Fonts come from ".met" metrics files found along a font path (bitmap fonts drawn as
// textured quads, outline fonts drawn as stroked paths); paths are built of moveto, lineto,
// curveto and closepath; brushes give the colours and texture coordinates; a current
// transformation matrix (CTM) with a stack places everything; the device maps toolkit
// coordinates onto the camera's view window at a chosen depth.
//
// Toolkit coordinates: origin at the bottom left of the view, y up, one unit = the smaller side
// of the view (so the view spans 0..aspect x 0..1 or 0..1 x 0..aspect).
//
// One toolkit per process, opened on a camera with Ov2dOpen and closed with Ov2dClose (which
// gives the camera back its callback and releases everything the toolkit made). One thread.

#include "graphics/core/array.h"
#include "graphics/core/camera.h"
#include "graphics/core/im3d.h"
#include "graphics/core/matrix.h"
#include "graphics/core/texture.h"
#include "graphics/core/types.h"
#include "graphics/core/vector.h"

inline constexpr OvInt32 ovPLUGINID2D = 0x190;

inline constexpr OvInt32 ov2dCTMSTACKSIZE = 32;      // matrices of the CTM stack
inline constexpr OvInt32 ov2dFONTPAGES = 4;          // texture pages of a bitmap font
inline constexpr OvInt32 ov2dFONTMAPSIZE = 128;      // codes of the direct character map
inline constexpr OvInt32 ov2dMAXCODE = 0xFFFF;       // largest glyph code
inline constexpr OvInt32 ov2dMAXGLYPHS = 0x7FFF;     // glyph indices are 16-bit signed
inline constexpr OvInt32 ov2dMETRICSLINESIZE = 256;  // a metrics line holds at most 255 bytes
inline constexpr OvInt32 ov2dVERTEXBUFFERSIZE = 256; // vertices of one immediate-mode batch
inline constexpr OvInt32 ov2dSTRIPFLUSH = 254;       // a stroke batch is drawn at this many vertices
inline constexpr OvInt32 ov2dQUADINDEXFLUSH = 378;   // text is drawn when more indices are queued
inline constexpr OvInt32 ov2dFLATTENDEPTH = 7;       // deepest halving of a curve

// Font flags.
enum Ov2dFontFlag : OvUInt32 {
    ov2dFONTFLAG16BIT = 0x2, // strings are 16-bit little-endian characters (some code >= 128), ending
                             // at the zero character (two zero bytes)
};

// Font kinds.
enum Ov2dFontType : OvInt32 {
    ov2dFONTBITMAP = 0,  // glyphs are rectangles of texture pages
    ov2dFONTOUTLINE = 1, // glyphs are paths
};

// Segment kinds of a path.
enum Ov2dSegmentType : OvInt32 {
    ov2dMOVETO = 0, // starts the sub-path
    ov2dLINETO = 1, // a straight line from the previous point
    ov2dCURVE = 2,  // control point or end point of a cubic curve (three in a row)
};

// One point of a path (24 bytes).
struct Ov2dSegment {
    OvInt32 type; // Ov2dSegmentType
    float x;      // point
    float y;
    float nx; // unit normal to the right of the direction of travel (mitred at joints)
    float ny;
    float length; // length of the sub-path up to this point
};

// A sub-path; the first one is the path, its `next` chain holds the others.
struct Ov2dPath {
    OvArray* growable;     // segments while the path is built, or null once compacted
    Ov2dSegment* segments; // segments of a compacted path, or null
    OvInt32 numSegments;   // segments of a compacted path; -1 while growable
    OvBool closed;         // closepath was applied
    OvUInt32 flags;        // 1
    float strokeOffset;    // distance of the stroke's centre from the path (along the normal)
    Ov2dPath* next;        // next sub-path, or null
    Ov2dPath* current;     // last sub-path (kept on the first one)
};

// Brush flags.
enum Ov2dBrushFlag : OvUInt32 {
    ov2dBRUSHCOLOURSVARY = 0x1, // the four corner colours differ
    ov2dBRUSHUVSVARY = 0x2,     // the corner texture coordinates differ
};

// Colours and texture coordinates of four corners, numbered counter-clockwise from the bottom
// left (1 bottom left, 2 bottom right, 3 top right, 4 top left), stored as an edge base and the
// difference along it: A runs along the top (4 to 3), B along the bottom (1 to 2). A stroke's
// left side (seen along its direction) takes A, its right side B, both by the fraction of the
// length travelled; text takes them by the fraction of the string's width.
struct Ov2dBrush {
    float colourA[4];      // corner 4, RGBA 0..255
    float colourADelta[4]; // corner 3 - corner 4
    float uvA[2];          // corner 4
    float uvADelta[2];     // corner 3 - corner 4
    float colourB[4];      // corner 1
    float colourBDelta[4]; // corner 2 - corner 1
    float uvB[2];          // corner 1
    float uvBDelta[2];     // corner 2 - corner 1
    OvUInt32 packed;       // corner 4 as 0xAARRGGBB
    OvUInt32 flags;        // Ov2dBrushFlag bits
    OvTexture* texture;    // texture of strokes (one reference held), or null
    float halfWidth;       // half the stroke width in path units (0.5 at creation)
    OvRefCount refCount;   // references; the brush goes at zero
};

// One glyph.
struct Ov2dGlyph {
    float advance;        // width in units of the font height
    OvTexture* texture;   // bitmap glyph's page, or null
    float u0, v0, u1, v1; // bitmap glyph's rectangle in the page (top left, bottom right)
    OvUInt8 page;         // bitmap glyph's page index
    Ov2dPath* path;       // outline glyph's path, or null
};

struct Ov2dFont;
// Draws a string (bitmap or outline renderer).
using Ov2dFontShowFn = Ov2dFont* (*)(Ov2dFont* font, const char* string, float height, const OvV2d* anchor,
                                     Ov2dBrush* brush);

struct Ov2dFont {
    OvInt32 type;                    // Ov2dFontType
    float height;                    // bitmap: glyph height in pixels; outline: 1
    float baseline;                  // bitmap: baseline above the glyph bottom, fraction of the height
    float extraAdvance;              // added to every advance (0 after reading)
    OvUInt32 flags;                  // Ov2dFontFlag bits
    OvTexture* pages[ov2dFONTPAGES]; // bitmap pages, one reference each
    OvInt16 map[ov2dFONTMAPSIZE];    // glyph index of codes 0..127, -1 none
    OvInt32 extFirst;                // first code of the extended map
    OvInt32 extCount;                // entries of the extended map
    OvInt16* extMap;                 // glyph index of codes extFirst.., -1 none; or null
    OvInt32 numGlyphs;               // glyphs
    OvArray* glyphs;                 // Ov2dGlyph entries
    Ov2dFontShowFn show;             // renderer of the font's kind
};

// Reads a font by name (Ov2dFontRead's hook).
using Ov2dFontReadFn = Ov2dFont* (*)(const char* name);

// Life cycle. Ov2dOpen: TRUE, FALSE when memory runs out or the camera cannot be the device
// (everything made is released). Ov2dClose: TRUE; FALSE when not open.
OvBool Ov2dOpen(OvCamera* camera);
// Ov2dClose: destroy your brushes, paths and fonts first; their records go with the toolkit's pools.
OvBool Ov2dClose();

// Device. SetCamera: TRUE; FALSE for a camera without a raster; null clears the device camera
// (and gives the previous camera its callback back).
OvBool Ov2dDeviceSetCamera(OvCamera* camera);
OvCamera* Ov2dDeviceGetCamera();
// Values must be > 0; FALSE otherwise.
OvBool Ov2dDeviceSetFlatness(float flatness);
OvBool Ov2dDeviceSetLayerDepth(float depth);
// The view's extent in toolkit units: (aspect, 1) or (1, aspect).
OvBool Ov2dDeviceGetAspect(OvV2d* extent);
// Toolkit to camera space (CTM, then the device mapping); valid until the CTM or device changes.
const OvMatrix* Ov2dDeviceGetMatrix();
// Squared length of a flatness step (pixel size x flatness) in the CTM's units.
float Ov2dDeviceGetPixelSizeSquared();

// CTM stack: Push refuses (FALSE) at the top (31), Pop at the bottom (0).
OvBool Ov2dCTMPush();
OvBool Ov2dCTMPop();
OvBool Ov2dCTMSetIdentity();
OvBool Ov2dCTMTranslate(float x, float y);
OvBool Ov2dCTMScale(float x, float y);
const OvMatrix* Ov2dCTMGet();

// Brushes.
Ov2dBrush* Ov2dBrushCreate();
// Drops a reference: TRUE when the brush went, FALSE while references remain (or for null).
OvBool Ov2dBrushDestroy(Ov2dBrush* brush);
// Colours of corners 1 to 4 (bottom left, bottom right, top right, top left).
Ov2dBrush* Ov2dBrushSetColors(Ov2dBrush* brush, const OvRGBA* c1, const OvRGBA* c2, const OvRGBA* c3, const OvRGBA* c4);
Ov2dBrush* Ov2dBrushSetUVs(Ov2dBrush* brush, const OvV2d* uv1, const OvV2d* uv2, const OvV2d* uv3, const OvV2d* uv4);
// Takes a reference to the texture (null: none) and drops the one held before.
Ov2dBrush* Ov2dBrushSetTexture(Ov2dBrush* brush, OvTexture* texture);
Ov2dBrush* Ov2dBrushSetWidth(Ov2dBrush* brush, float width);

// Paths. A lineto or curveto on an empty sub-path starts it at its end point; a lineto to the
// point the path is at adds nothing.
Ov2dPath* Ov2dPathCreate();
// Destroy only paths you made, before Ov2dClose: a font's glyph paths go with the font.
OvBool Ov2dPathDestroy(Ov2dPath* path);
Ov2dPath* Ov2dPathMoveto(Ov2dPath* path, float x, float y);
Ov2dPath* Ov2dPathLineto(Ov2dPath* path, float x, float y);
Ov2dPath* Ov2dPathCurveto(Ov2dPath* path, float x1, float y1, float x2, float y2, float x3, float y3);
Ov2dPath* Ov2dPathClosepath(Ov2dPath* path);
// Turns every sub-path's storage into a plain block; no further edits.
Ov2dPath* Ov2dPathCompact(Ov2dPath* path);
// Segments of one sub-path (count out); null when empty.
const Ov2dSegment* Ov2dPathGetSegments(const Ov2dPath* path, OvInt32* count);
// The sub-path with its curves replaced by lines within the device's flatness, into out (emptied
// first). Returns out.
Ov2dPath* Ov2dPathFlatten(const Ov2dPath* path, Ov2dPath* out);
Ov2dPath* Ov2dPathStroke(Ov2dPath* path, Ov2dBrush* brush);

// Fonts.
const char* Ov2dFontSetPath(const char* path);
const char* Ov2dFontGetPath();
Ov2dFontReadFn Ov2dFontSetReadHook(Ov2dFontReadFn hook); // null restores the metrics reader
Ov2dFont* Ov2dFontRead(const char* name);
// Tries "<dir><name>.met" for each ';'-separated directory of the font path; null when none
// reads (the partly built font destroyed).
Ov2dFont* Ov2dFontReadMetrics(const char* name);
// Why the last Ov2dFontReadMetrics failed ("file:line: reason"), empty after a success.
const char* Ov2dFontGetReadError();
// The lines the last Ov2dFontReadMetrics left out of its font (a bitmap font's lines that are not
// glyphs, glyphs of no width, characters without a box, a code given again or one no text holds:
// 0, 0xFFFE, 0xFFFF), one a line: "file:line: cause"; the first five, then how many more. Empty
// when none.
const char* Ov2dFontGetSkippedLines();
Ov2dFont* Ov2dFontCreate();
// Before Ov2dClose: the font's record and glyph paths live in the toolkit's pools.
OvBool Ov2dFontDestroy(Ov2dFont* font);
// Draws the string with its baseline at the anchor; height in toolkit units.
Ov2dFont* Ov2dFontShow(Ov2dFont* font, const char* string, float height, const OvV2d* anchor, Ov2dBrush* brush);
// Sum of (advance + extra advance) x height over the characters that have glyphs.
float Ov2dFontGetStringWidth(Ov2dFont* font, const char* string, float height);
// Glyph of a code, or null.
const Ov2dGlyph* Ov2dFontGetGlyph(const Ov2dFont* font, OvInt32 code);
OvTexDictionary* Ov2dFontGetTexDictionary();
