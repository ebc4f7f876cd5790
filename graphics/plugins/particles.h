#pragma once
// Particle batches (plugin 0x12F): an atomic that draws up to a maximum number of camera-facing
// quads, or point sprites where the device has them. The application locks the per-particle
// streams (positions, colours, sizes, matrices, normals, angles, corner colours, texture
// rectangles or corners), writes them, unlocks, sets the active count and lets the atomic render;
// the render expands each particle into four vertices of a dynamic vertex buffer and draws them
// as indexed triangle lists of at most 65,532 vertices a call.

#include "graphics/core/matrix.h"
#include "graphics/core/types.h"
#include "graphics/core/vector.h"
#include "graphics/world/clump.h"

struct OvTexture;

inline constexpr OvUInt32 ovPLUGINIDPARTICLES = 0x12F;

// Per-particle streams (the element size in bytes follows each).
enum OvParticleFlag : OvUInt32 {
    ovPARTICLEPOSITION = 0x1,          // 12: x, y, z
    ovPARTICLECOLOR = 0x2,             // 4: bytes R, G, B, A, one colour for the four corners
    ovPARTICLESIZE = 0x4,              // 8: width, height
    ovPARTICLEMATRIX = 0x8,            // 64: OvMatrix; right and up span the quad, pos is the centre
    ovPARTICLENORMAL = 0x10,           // 12: copied to the four corners
    ovPARTICLEROTATION = 0x20,         // 4: angle in radians
    ovPARTICLECORNERCOLORS = 0x40,     // 16: four colours R, G, B, A
    ovPARTICLETEXRECT = 0x80,          // 16: u0, v0, u1, v1
    ovPARTICLETEXCORNERS = 0x100,      // 32: four u, v pairs
    ovPARTICLESTREAMFLAGS = 0x1FF,     // every per-particle stream
    ovPARTICLECONSTMATRIX = 0x8000,    // one matrix for the batch (its axes span every quad)
    ovPARTICLECONSTROTATION = 0x20000, // one angle for the batch
    ovPARTICLECONSTCORNERCOLORS = 0x40000,
    ovPARTICLECONSTTEXRECT = 0x80000,
    ovPARTICLECONSTTEXCORNERS = 0x100000,
    ovPARTICLEPIVOT = 0x1000000,        // quads centred on p + ox R + oy U; basic quads square
    ovPARTICLESEPARATE = 0x10000000,    // one array per stream (the default)
    ovPARTICLEINTERLEAVED = 0x20000000, // every stream in one block with a common stride
};
inline constexpr OvInt32 ovPARTICLENUMSTREAMS = 9;
// Mode word of OvParticleBatchCreate: point sprites wanted.
inline constexpr OvUInt32 ovPARTICLEMODEPOINTSPRITES = 0x2;
// Lock flag: the stream is marked changed (the mark reaches the update callback after unlock).
inline constexpr OvUInt32 ovPARTICLELOCKCHANGED = 0x40000000;
// Vertices of one quad draw call (16,383 quads) and points of one point draw call.
inline constexpr OvInt32 ovPARTICLEMAXQUADVERTICES = 65532;
inline constexpr OvInt32 ovPARTICLEMAXPOINTS = 65535;
// Largest batch: its stream block and its vertices stay far below 2 GB.
inline constexpr OvInt32 ovPARTICLEMAXPARTICLES = 0x40000;

struct OvParticleStream {
    void* data;      // particle 0's element, or null
    OvUInt32 stride; // bytes from one particle's element to the next
};

struct OvParticleBatch;
using OvParticleUpdateCallBack = void (*)(OvParticleBatch* batch, OvParticleStream* streams, OvInt32 numActive,
                                          OvUInt32 pendingFlags);
// FALSE: the batch is not drawn this time.
using OvParticleCustomCallBack = OvBool (*)(OvAtomic* atomic, OvParticleBatch* batch);

// The quad axes of a draw: R (the camera's right axis negated) and U (its up axis).
struct OvParticleAxes {
    OvV3d right;
    OvV3d up;
};
using OvParticleCornerWriter = void (*)(const OvParticleBatch* batch, const OvParticleAxes* axes, OvInt32 i,
                                        OvV3d corners[4]);
using OvParticleTexWriter = void (*)(const OvParticleBatch* batch, OvInt32 i, OvV2d uv[4]);
using OvParticleColorWriter = void (*)(const OvParticleBatch* batch, OvInt32 i, OvUInt32 argb[4]);

// Stream slots in this order: 1, 8, 16, 4, 2, 64, 32, 128, 0x100.
inline constexpr OvUInt32 ovPARTICLESLOTFLAGS[ovPARTICLENUMSTREAMS] = {0x1,  0x8,  0x10, 0x4,  0x2,
                                                                       0x40, 0x20, 0x80, 0x100};
inline constexpr OvUInt32 ovPARTICLESLOTSIZES[ovPARTICLENUMSTREAMS] = {12, 64, 12, 8, 4, 16, 4, 16, 32};

struct OvParticleBatch {
    OvInt32 maxParticles;
    OvInt32 numActive;
    void* streamBlock;                     // the allocation holding every stream
    OvAtomicCallBackRender previousRender; // the atomic's callback before the batch's
    OvParticleUpdateCallBack update;       // called before a draw with at least one particle
    OvParticleCustomCallBack custom;       // may veto the draw
    OvParticleCornerWriter cornerWriter;
    OvParticleTexWriter texWriter;     // null: no texture coordinates
    OvParticleColorWriter colorWriter; // null: no vertex colours
    OvBool copyNormals;
    OvUInt32 changedFlags; // set by locks with ovPARTICLELOCKCHANGED
    OvUInt32 pendingFlags; // moved here at unlock, handed to the next update
    OvUInt32 mode;
    OvBool pointSprites; // drawn as point sprites
    OvParticleStream streams[ovPARTICLENUMSTREAMS];
    OvUInt32 commonStride; // nonzero: every lock reports this stride
    OvInt32 numStreams;
    OvUInt32 interleavedStride;
    OvUInt32 flags;
    OvUInt32 srcBlend;
    OvUInt32 destBlend;
    OvBool vertexAlpha;
    float width; // constant size (1.0)
    float height;
    OvUInt32 color;           // constant colour, Direct3D ARGB (opaque black)
    OvUInt32 cornerColors[4]; // constant corner colours, ARGB
    OvMatrix matrix;          // constant matrix (identity)
    float rotation;           // constant angle
    float texRect[4];         // constant rectangle (0, 0, 1, 1)
    OvV2d texCorners[4];      // constant corners (those of the full rectangle)
    float pivot[2];           // ox, oy (0, 0)
};

OvBool OvParticleBatchPluginAttach();

// A batch atomic of at most maxParticles particles (1 to ovPARTICLEMAXPARTICLES); null (nothing
// left) on failure. Flags are normalised: the matrix drops position, size and rotation; without
// a matrix a position stream is added; separate arrays are the default layout; a per-particle
// stream drops its per-batch twin.
OvAtomic* OvParticleBatchCreate(OvInt32 maxParticles, OvUInt32 flags, OvUInt32 mode);
// Destroys the atomic with its geometry, streams and batch. TRUE.
// As OvAtomicDestroy: its clump and world let go themselves.
OvBool OvParticleBatchDestroy(OvAtomic* atomic);
OvParticleBatch* OvParticleBatchGet(const OvAtomic* atomic);

// Fills the stream of one data flag (1 on success); a flag the batch lacks gives a null pointer,
// stride 0 and 0.
OvInt32 OvParticleBatchLock(OvAtomic* atomic, OvParticleStream* stream, OvUInt32 flag, OvUInt32 lockFlags);
OvAtomic* OvParticleBatchUnlock(OvAtomic* atomic);

// Settings the application needs beside the streams. The active count is clamped to
// [0, maximum]. Colours are bytes R, G, B, A.
OvAtomic* OvParticleBatchSetNumActive(OvAtomic* atomic, OvInt32 count);
OvAtomic* OvParticleBatchSetSize(OvAtomic* atomic, float width, float height);
OvAtomic* OvParticleBatchSetColor(OvAtomic* atomic, const OvRGBA* color);
OvAtomic* OvParticleBatchSetCornerColors(OvAtomic* atomic, const OvRGBA colors[4]);
OvAtomic* OvParticleBatchSetMatrix(OvAtomic* atomic, const OvMatrix* matrix);
OvAtomic* OvParticleBatchSetRotation(OvAtomic* atomic, float angle);
OvAtomic* OvParticleBatchSetTexRect(OvAtomic* atomic, float u0, float v0, float u1, float v1);
OvAtomic* OvParticleBatchSetTexCorners(OvAtomic* atomic, const OvV2d corners[4]);
OvAtomic* OvParticleBatchSetPivot(OvAtomic* atomic, float ox, float oy);
OvAtomic* OvParticleBatchSetTexture(OvAtomic* atomic, OvTexture* texture);
// Blending used when vertexAlpha is on (engine blend numbers); the creation takes the current ones.
OvAtomic* OvParticleBatchSetBlend(OvAtomic* atomic, OvUInt32 srcBlend, OvUInt32 destBlend, OvBool vertexAlpha);
// Both run when the batch's atomic is rendered, the update first: it may not destroy the batch; the
// custom callback may, and then returns FALSE.
OvAtomic* OvParticleBatchSetUpdateCallBack(OvAtomic* atomic, OvParticleUpdateCallBack callback);
OvAtomic* OvParticleBatchSetCustomCallBack(OvAtomic* atomic, OvParticleCustomCallBack callback);

// The vertex the batch draws: its FVF and stride.
void OvParticleBatchGetVertexFormat(const OvAtomic* atomic, OvUInt32* fvf, OvUInt32* stride);
// Writes the vertices of particles [first, first + count) (four each, one each for point sprites)
// with the given quad axes into dest, one vertex every stride bytes. Returns the vertices written.
OvInt32 OvParticleBatchExpand(const OvAtomic* atomic, const OvParticleAxes* axes, OvInt32 first, OvInt32 count,
                              void* dest);
// The quad axes of the current camera (the x and y axes without one).
OvParticleAxes OvParticleCameraAxes();
// Whether the device lets a batch of these flags and mode be drawn as point sprites.
OvBool OvParticleBatchCanUsePointSprites(OvUInt32 flags, OvUInt32 mode);
// Quads of the shared index buffer (0 before the first batch).
OvInt32 OvParticleIndexBufferQuads();
