#pragma once
// Processor detection and the processor-specific routines that the rendering driver installs
// when its device starts: the transform routine sets of the vector module, the matrix
// multiply, the x87 control-word routines and the SSE flush-to-zero switch.
//
// Every set computes p.x * right + p.y * up + p.z * at (+ pos) lane by lane in that order, so
// all sets give results equal to the defaults bit for bit; they differ only in speed.

#include "graphics/core/matrix.h"
#include "graphics/core/types.h"
#include "graphics/core/vector.h"

// CPUID feature probes; each is FALSE when the processor has no CPUID instruction.
OvBool OvD3D9CpuHasMMX();   // function 1, EDX bit 23
OvBool OvD3D9CpuHasSSE();   // function 1, EDX bit 25 or 26 (SSE or SSE2)
OvBool OvD3D9CpuHasSSE2();  // function 1, EDX bit 26
OvBool OvD3D9CpuHas3DNow(); // function 0x80000001, EDX bit 31

// Transform routine sets.
enum OvCpuTransformSet : OvInt32 {
    ovCPUTRANSFORMSETX87 = 0,  // processors without SSE
    ovCPUTRANSFORMSETSSEA = 1, // SSE (and SSE2 with 3DNow!)
    ovCPUTRANSFORMSETSSEB = 2, // SSE2 without 3DNow!: matrix rows kept in registers
};

struct OvCpuTransformRoutines {
    OvV3dTransformPointFn point;     // one point
    OvV3dTransformPointsFn points;   // count points (count at least 1)
    OvV3dTransformVectorFn vector;   // one direction vector
    OvV3dTransformVectorsFn vectors; // count direction vectors (count at least 1)
};

// The set the device installs for the given processor flags.
OvCpuTransformSet OvCpuChooseTransformSet(OvBool hasSSE, OvBool hasSSE2, OvBool has3DNow);
const OvCpuTransformRoutines* OvCpuGetTransformRoutines(OvCpuTransformSet set);

// The multiply installed on every processor at device start.
void OvMatrixMultiplyX87(OvMatrix* out, const OvMatrix* a, const OvMatrix* b);

// x87 control word: save the current word and load it with 24-bit precision and every
// exception masked; load that again without saving (each camera begin-update); load the saved
// word (device stop). On x86_64 loading is a no-op (see platform/cpu.h).
void OvFpuControlWordSaveAndSet();
void OvFpuControlWordSet();
void OvFpuControlWordRestore();
// The saved and the scratch control word (for inspection).
OvUInt32 OvFpuGetSavedControlWord();
OvUInt32 OvFpuGetScratchControlWord();

// Processor set-up after device start: saves and sets the x87 control word, sets flush-to-zero
// when the processor has SSE, installs OvMatrixMultiplyX87 and the transform set chosen for
// the processor. The engine must be started.
void OvCpuFinalizeStart();
// Undoes it before device stop: restores the x87 control word and clears flush-to-zero when
// start set it.
void OvCpuInitiateStop();
