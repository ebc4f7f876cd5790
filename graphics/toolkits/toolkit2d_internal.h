#pragma once
// State of the 2D toolkit shared by its source files (toolkit2d.cpp: device, CTM, brushes,
// paths, strokes; font2d.cpp: fonts and text). Not part of the toolkit's interface.

#include "graphics/core/im3d.h"
#include "graphics/core/memory.h"
#include "graphics/toolkits/toolkit2d.h"

namespace toolkit2d {

inline constexpr OvUInt32 kHintModule = 0x40190;            // lives from open to close
inline constexpr OvUInt32 kHintFont = 0x30199;              // font records and their tables
inline constexpr OvUInt32 kHintPath = 0x301A1;              // path records and segments
inline constexpr OvUInt32 kHintBrush = 0x301A2;             // brush records
inline constexpr OvUInt32 kHintFontPath = 0x1040190;        // the growable font path
inline constexpr OvInt32 kQuads = ov2dVERTEXBUFFERSIZE / 4; // quads of one text batch

// Engine render states the toolkit sets.
inline constexpr OvInt32 kStateTextureRaster = 1;
inline constexpr OvInt32 kStateTextureAddress = 2;
inline constexpr OvInt32 kStateTextureFilter = 9;

// Entry sizes and alignments of the record lists.
inline constexpr OvInt32 kRecordListSizes[4] = {12, 256, 8, 20};
inline constexpr OvInt32 kRecordListAlignments[4] = {0, 16, 0, 0};

struct State {
    bool open = false;
    OvFreeList* pathList = nullptr;  // Ov2dPath records
    OvFreeList* brushList = nullptr; // Ov2dBrush records
    OvFreeList* fontList = nullptr;  // Ov2dFont records
    // Record lists the toolkit keeps ready from open to close: 12-byte, 256-byte (aligned 16),
    // 8-byte and 20-byte records.
    OvFreeList* recordLists[4] = {};
    Ov2dPath* temp = nullptr;                  // flattened sub-path of a stroke
    OvIm3DVertex* vertices = nullptr;          // ov2dVERTEXBUFFERSIZE vertices
    OvUInt16 strip[ov2dVERTEXBUFFERSIZE] = {}; // 0, 1, 2, ...
    OvUInt16 quads[kQuads * 6] = {};           // 0, 2, 3, 0, 3, 1 per quad of four vertices
    OvTexDictionary* texDict = nullptr;        // textures of font pages
    char* fontPath = nullptr;                  // ';'-separated directory prefixes
    Ov2dFontReadFn readHook = nullptr;

    OvMatrix* ctm[ov2dCTMSTACKSIZE] = {}; // made on first use
    OvInt32 ctmTop = 0;

    OvCamera* camera = nullptr;
    OvObjectHasFrameSyncFn replacedSync = nullptr; // the camera's callback before ours
    OvInt32 rasterWidth = 0;
    OvInt32 rasterHeight = 0;
    OvV2d view = {0.0f, 0.0f};   // the view window doubled
    OvV2d aspect = {1.0f, 1.0f}; // 1 for the smaller side, larger / smaller for the other
    float flatness = 0.5f;
    float layerDepth = 1.0f;
    OvInt32 flattenDepth = ov2dFLATTENDEPTH;
    OvMatrix base = {};    // identity
    OvMatrix device = {};  // CTM, then the mapping onto the camera's view
    OvMatrix inverse = {}; // its inverse
    bool deviceValid = false;
    float pixelSquared = 0.0f;
    bool pixelValid = false;
};

State& Get();

// Sets an engine render state when the driver takes render states.
void SetRenderState(OvInt32 state, void* value);
// Texture raster and filter of the texture, or none; with addressing (strokes), also its
// addressing when u and v agree. Text sets the raster and the filter only.
void SetTexture(const OvTexture* texture, bool addressing);
// The device matrix followed by the camera frame's world matrix.
void DrawMatrix(OvMatrix* out);
// A colour of four floats 0..255 as 0xAARRGGBB.
OvUInt32 Pack(const float* rgba);
// base + delta x t, packed.
OvUInt32 Blend(const float* base, const float* delta, float t);

} // namespace toolkit2d
