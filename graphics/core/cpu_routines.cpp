#include "graphics/core/cpu_routines.h"

#include "platform/cpu.h"

#if defined(__x86_64__) || defined(__i386__)
#include <xmmintrin.h>
#define OV_CPU_HAS_SSE_CODE 1
#else
#define OV_CPU_HAS_SSE_CODE 0
#endif

namespace {

// The two words of the control-word routines.
OvUInt32 gScratchControlWord = 0;
OvUInt32 gSavedControlWord = 0;
// Flush-to-zero was set at device start by this code (and so is cleared at stop).
bool gFlushToZeroSetAtStart = false;

OvUInt32 FeatureEdx(OvUInt32 leaf) {
    if (!PlatformCpuidAvailable()) {
        return 0;
    }
    PlatformCpuidRegs regs;
    PlatformCpuid(leaf, &regs);
    return regs.edx;
}

#if OV_CPU_HAS_SSE_CODE

// Loads a matrix row (three floats and the word behind them; the fourth lane is never stored).
inline __m128 Row(const OvV3d* row) { return _mm_loadu_ps(&row->x); }

inline void Store3(OvV3d* out, __m128 v) {
    alignas(16) float lanes[4];
    _mm_store_ps(lanes, v);
    out->x = lanes[0];
    out->y = lanes[1];
    out->z = lanes[2];
}

// p.x * right + p.y * up + p.z * at, lane by lane, in the order of the default routines.
inline __m128 Combine(const OvV3d* p, __m128 right, __m128 up, __m128 at) {
    __m128 sum = _mm_mul_ps(_mm_set1_ps(p->x), right);
    sum = _mm_add_ps(sum, _mm_mul_ps(_mm_set1_ps(p->y), up));
    return _mm_add_ps(sum, _mm_mul_ps(_mm_set1_ps(p->z), at));
}

OvV3d* SsePoint(OvV3d* out, const OvV3d* in, const OvMatrix* m) {
    Store3(out, _mm_add_ps(Combine(in, Row(&m->right), Row(&m->up), Row(&m->at)), Row(&m->pos)));
    return out;
}

OvV3d* SsePoints(OvV3d* out, const OvV3d* in, OvInt32 count, const OvMatrix* m) {
    const __m128 right = Row(&m->right), up = Row(&m->up), at = Row(&m->at), pos = Row(&m->pos);
    for (OvInt32 i = 0; i < count; ++i) {
        Store3(out + i, _mm_add_ps(Combine(in + i, right, up, at), pos));
    }
    return out;
}

OvV3d* SseVector(OvV3d* out, const OvV3d* in, const OvMatrix* m) {
    Store3(out, Combine(in, Row(&m->right), Row(&m->up), Row(&m->at)));
    return out;
}

OvV3d* SseVectors(OvV3d* out, const OvV3d* in, OvInt32 count, const OvMatrix* m) {
    const __m128 right = Row(&m->right), up = Row(&m->up), at = Row(&m->at);
    for (OvInt32 i = 0; i < count; ++i) {
        Store3(out + i, Combine(in + i, right, up, at));
    }
    return out;
}

const OvCpuTransformRoutines kSseRoutines = {SsePoint, SsePoints, SseVector, SseVectors};

#endif

const OvCpuTransformRoutines kX87Routines = {OvV3dTransformPointDefault, OvV3dTransformPointsDefault,
                                             OvV3dTransformVectorDefault, OvV3dTransformVectorsDefault};

} // namespace

OvBool OvD3D9CpuHasMMX() { return (FeatureEdx(1) & (1u << 23)) != 0; }
OvBool OvD3D9CpuHasSSE() { return (FeatureEdx(1) & ((1u << 25) | (1u << 26))) != 0; }
OvBool OvD3D9CpuHasSSE2() { return (FeatureEdx(1) & (1u << 26)) != 0; }
OvBool OvD3D9CpuHas3DNow() { return (FeatureEdx(0x80000001u) & (1u << 31)) != 0; }

OvCpuTransformSet OvCpuChooseTransformSet(OvBool hasSSE, OvBool hasSSE2, OvBool has3DNow) {
    if (hasSSE2 && !has3DNow) {
        return ovCPUTRANSFORMSETSSEB;
    }
    return hasSSE ? ovCPUTRANSFORMSETSSEA : ovCPUTRANSFORMSETX87;
}

const OvCpuTransformRoutines* OvCpuGetTransformRoutines(OvCpuTransformSet set) {
#if OV_CPU_HAS_SSE_CODE
    // Both SSE sets compute the same thing; one implementation serves both.
    if (set == ovCPUTRANSFORMSETSSEA || set == ovCPUTRANSFORMSETSSEB) {
        return &kSseRoutines;
    }
#else
    (void)set;
#endif
    return &kX87Routines;
}

void OvMatrixMultiplyX87(OvMatrix* out, const OvMatrix* a, const OvMatrix* b) {
    // The multiply has no processor-dependent result; the default routine computes it.
    OvMatrixMultiplyDefault(out, a, b);
}

void OvFpuControlWordSaveAndSet() {
    gSavedControlWord = PlatformX87GetControlWord();
    OvFpuControlWordSet();
}

void OvFpuControlWordSet() {
    gScratchControlWord = PlatformX87GetControlWord();
    gScratchControlWord =
        (gScratchControlWord & ~static_cast<OvUInt32>(PLATFORM_X87_PRECISION_MASK)) | PLATFORM_X87_EXCEPTION_MASKS;
    PlatformX87SetControlWord(static_cast<OvUInt16>(gScratchControlWord));
}

void OvFpuControlWordRestore() { PlatformX87SetControlWord(static_cast<OvUInt16>(gSavedControlWord)); }

OvUInt32 OvFpuGetSavedControlWord() { return gSavedControlWord; }
OvUInt32 OvFpuGetScratchControlWord() { return gScratchControlWord; }

void OvCpuFinalizeStart() {
    OvFpuControlWordSaveAndSet();
    const OvBool hasSSE = OvD3D9CpuHasSSE();
    gFlushToZeroSetAtStart = false;
    if (hasSSE && (PlatformSseGetControl() & PLATFORM_MXCSR_FLUSH_TO_ZERO) == 0) {
        PlatformSseSetControl(PlatformSseGetControl() | PLATFORM_MXCSR_FLUSH_TO_ZERO);
        gFlushToZeroSetAtStart = true;
    }
    OvMatrixSetMultiplyFunction(OvMatrixMultiplyX87);
    const OvCpuTransformRoutines* set =
        OvCpuGetTransformRoutines(OvCpuChooseTransformSet(hasSSE, OvD3D9CpuHasSSE2(), OvD3D9CpuHas3DNow()));
    OvVectorSetTransformFunctions(set->point, set->points, set->vector, set->vectors);
}

void OvCpuInitiateStop() {
    OvFpuControlWordRestore();
    // Only what start changed is undone: a host that runs with flush-to-zero keeps it.
    if (gFlushToZeroSetAtStart) {
        PlatformSseSetControl(PlatformSseGetControl() & ~PLATFORM_MXCSR_FLUSH_TO_ZERO);
        gFlushToZeroSetAtStart = false;
    }
}
