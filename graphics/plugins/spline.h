#pragma once
// The spline plugin (engine plugin 0x102): uniform cubic B-spline curves that pass through a list
// of points, open or closed, read from stream files (chunk 12) and evaluated at a parameter in
// [0, 1] for a position and a unit tangent. Cameras and objects move along them.
//
// The control points are solved once at creation so that the curve meets each given point at a
// segment joint: (C(i-1) + 4 C(i) + C(i+1)) / 6 = P(i). Evaluation reads the basis weights from
// 257-entry tables shared by every spline, interpolating linearly between entries.

#include "graphics/core/frame.h"
#include "graphics/core/types.h"

struct OvStream;

inline constexpr OvInt32 ovPLUGINIDSPLINE = 0x102;
inline constexpr OvUInt32 ovID_SPLINE = 12;           // chunk type of a spline
inline constexpr OvUInt8 ovSPLINEOBJECTTYPE = 12;     // object type byte of a spline
inline constexpr OvInt32 ovSPLINENAMESIZE = 32;       // bytes of the name field in a file
inline constexpr OvUInt32 ovSPLINEHEADERSIZE = 40;    // name, point count, type
inline constexpr OvInt32 ovSPLINEMAXPOINTS = 1 << 24; // more points than any file of ours holds

// Spline kinds.
enum OvSplineType : OvInt32 {
    ovSPLINEOPEN = 1,   // runs from the first point to the last; needs at least 4 points
    ovSPLINECLOSED = 2, // returns to the first point; needs at least 1 point
};

// Evaluation modes.
enum OvSplinePathMode : OvInt32 {
    ovSPLINEPATHLINEAR = 10, // t as given
    ovSPLINEPATHEASE = 11,   // t eased in and out: 2t^2 below 0.5, -2t^2 + 4t - 1 from there
};

// The plugin's own error code (plugin id 0x102): a bad spline type or evaluation mode.
inline constexpr OvInt32 ovERRSPLINEBADCODE = 1;

// One allocation: this header followed by the control points.
struct OvSpline {
    OvObject object;                 // type ovSPLINEOBJECTTYPE; parent unused (null)
    OvInt32 numCtrlPoints;           // m: n + 2 open, n + 3 closed
    OvInt32 splineType;              // OvSplineType
    OvInt32 numPoints;               // n, the given points
    OvV3d* points;                   // copy of the n given points (its own allocation)
    char name[ovSPLINENAMESIZE + 1]; // NUL-terminated; empty unless read from a file
    OvV3d* ctrlPoints;               // m control points, stored behind this header
};

// Registers the plugin (before the engine opens). TRUE on success.
OvBool OvSplinePluginAttach();

// A spline through the n points of the type; null with {0x102, 1} for a bad type,
// {0x102, 0x80000016} for too few points (4 open, 1 closed) or a null array, {0x102, 0x80000013}
// when memory runs out.
OvSpline* OvSplineCreate(OvInt32 numPoints, OvInt32 type, const OvV3d* points);
// Frees the spline and its copy of the points; TRUE, FALSE for null.
OvBool OvSplineDestroy(OvSpline* spline);

// Reads the first spline chunk of the file; null on any failure, nothing left allocated.
OvSpline* OvSplineLoad(const char* fileName);
// Reads a spline chunk's body of `length` bytes (the header has been read); null on failure.
// The points must fit in the length; bytes after them are skipped.
OvSpline* OvSplineStreamRead(OvStream* stream, OvUInt32 length);

// Position at t (and the unit tangent when tangent is not null). |t| is used; a closed spline
// wraps t above 1 to its fractional part, an open one clamps it to 1 (NaN counts as 0). Returns
// position, or null with {0x102, 1} for a mode other than 10 or 11.
OvV3d* OvSplineEvaluate(const OvSpline* spline, OvInt32 mode, float t, OvV3d* position, OvV3d* tangent);
