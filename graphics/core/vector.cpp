#include "graphics/core/vector.h"

#include <bit>
#include <cmath>

#include "graphics/core/engine.h"
#include "graphics/core/error.h"
#include "graphics/core/matrix.h"

namespace {

OvInt32 gVectorModuleOffset = -1; // offset of OvVectorModule in the engine instance

constexpr OvUInt32 kTableHint = ovMEMHINTDUR_GLOBAL | ovPLUGINIDVECTOR;
constexpr std::size_t kTableBytes = ovSQRTTABLESIZE * sizeof(OvUInt32);

inline OvVectorModule* Module() {
    return reinterpret_cast<OvVectorModule*>(reinterpret_cast<char*>(OvEngineInstancePtr) + gVectorModuleOffset);
}

// Index of the table step nearest to x: one exponent bit and the top 11 mantissa bits.
inline OvUInt32 TableIndex(OvUInt32 bits) { return ((bits + 0x800u) >> 12) & 0xFFFu; }

inline float FloatBits(OvUInt32 bits) { return std::bit_cast<float>(bits); }

// Each table entry holds the root's bit pattern less the part that the exponent of the
// argument contributes; OvSqrt and OvInvSqrt add that part back. The roots are computed in
// extended precision and rounded once to single precision.
void BuildTables(OvUInt32* sqrtTable, OvUInt32* invTable) {
    for (OvInt32 i = 0; i < 2048; ++i) {
        // Odd biased exponent: x in [1, 2).
        const long double x1 = static_cast<long double>(FloatBits(0x3F800000u + static_cast<OvUInt32>(i) * 0x1000u));
        const long double r1 = sqrtl(x1);
        sqrtTable[2048 + i] = std::bit_cast<OvUInt32>(static_cast<float>(r1)) - 0x1FC00000u;
        invTable[2048 + i] = std::bit_cast<OvUInt32>(static_cast<float>(1.0L / r1)) - 0x20000000u;
        // Even biased exponent: x in [2, 4).
        const long double x2 = static_cast<long double>(FloatBits(0x40000000u + static_cast<OvUInt32>(i) * 0x1000u));
        const long double r2 = sqrtl(x2);
        sqrtTable[i] = std::bit_cast<OvUInt32>(static_cast<float>(r2)) - 0x20000000u;
        invTable[i] = std::bit_cast<OvUInt32>(static_cast<float>(1.0L / r2)) - 0x1FC00000u;
    }
}

} // namespace

void* OvVectorOpen(void* instance, OvInt32 offset, OvInt32 /*size*/) {
    gVectorModuleOffset = offset;
    OvVectorModule* module = reinterpret_cast<OvVectorModule*>(static_cast<char*>(instance) + offset);
    module->transformPoint = OvV3dTransformPointDefault;
    module->transformPoints = OvV3dTransformPointsDefault;
    module->transformVector = OvV3dTransformVectorDefault;
    module->transformVectors = OvV3dTransformVectorsDefault;
    module->sqrtTable = static_cast<OvUInt32*>(OvMalloc(kTableBytes, kTableHint));
    if (module->sqrtTable == nullptr) {
        OvErrorReport(ovPLUGINIDCORE, OvErrorCode(ovERRNOMEMORY, kTableBytes));
        return nullptr;
    }
    module->invSqrtTable = static_cast<OvUInt32*>(OvMalloc(kTableBytes, kTableHint));
    if (module->invSqrtTable == nullptr) {
        OvFree(module->sqrtTable);
        module->sqrtTable = nullptr;
        OvErrorReport(ovPLUGINIDCORE, OvErrorCode(ovERRNOMEMORY, kTableBytes));
        return nullptr;
    }
    BuildTables(module->sqrtTable, module->invSqrtTable);
    return instance;
}

void* OvVectorClose(void* instance, OvInt32 offset, OvInt32 /*size*/) {
    OvVectorModule* module = reinterpret_cast<OvVectorModule*>(static_cast<char*>(instance) + offset);
    OvFree(module->invSqrtTable);
    OvFree(module->sqrtTable);
    module->invSqrtTable = nullptr;
    module->sqrtTable = nullptr;
    return instance;
}

OvVectorModule* OvVectorGetModule() { return Module(); }

float OvSqrt(float x) {
    const OvUInt32 bits = std::bit_cast<OvUInt32>(x);
    if (bits == 0) {
        return 0.0f;
    }
    const OvUInt32 rounded = bits + 0x800u;
    return FloatBits(Module()->sqrtTable[TableIndex(bits)] + ((rounded >> 1) & 0x3FC00000u));
}

float OvInvSqrt(float x) {
    const OvUInt32 bits = std::bit_cast<OvUInt32>(x);
    if (bits == 0) {
        return 0.0f;
    }
    const OvUInt32 rounded = bits + 0x800u;
    return FloatBits(Module()->invSqrtTable[TableIndex(bits)] + ((~rounded >> 1) & 0x3FC00000u));
}

float OvV3dLength(const OvV3d* v) { return OvSqrt(OvV3dDotProduct(v, v)); }

float OvV3dNormalize(OvV3d* out, const OvV3d* in) {
    const float lengthSquared = OvV3dDotProduct(in, in);
    if (lengthSquared == 0.0f) {
        *out = {0.0f, 0.0f, 0.0f};
        OvErrorReport(ovPLUGINIDCORE, OvErrorCode(ovERRZEROLENGTHVECTOR));
        return 0.0f;
    }
    OvV3dScale(out, in, OvInvSqrt(lengthSquared));
    return OvSqrt(lengthSquared);
}

float OvV3dNormalizeFast(OvV3d* out, const OvV3d* in) {
    const float inverseLength = OvInvSqrt(OvV3dDotProduct(in, in));
    OvV3dScale(out, in, inverseLength);
    return inverseLength;
}

// Default routines. The input is read completely before the output is written, so that
// out may equal in.

OvV3d* OvV3dTransformPointDefault(OvV3d* out, const OvV3d* in, const OvMatrix* m) {
    const OvV3d p = *in;
    out->x = p.x * m->right.x + p.y * m->up.x + p.z * m->at.x + m->pos.x;
    out->y = p.x * m->right.y + p.y * m->up.y + p.z * m->at.y + m->pos.y;
    out->z = p.x * m->right.z + p.y * m->up.z + p.z * m->at.z + m->pos.z;
    return out;
}

OvV3d* OvV3dTransformPointsDefault(OvV3d* out, const OvV3d* in, OvInt32 count, const OvMatrix* m) {
    for (OvInt32 i = 0; i < count; ++i) {
        OvV3dTransformPointDefault(out + i, in + i, m);
    }
    return out;
}

OvV3d* OvV3dTransformVectorDefault(OvV3d* out, const OvV3d* in, const OvMatrix* m) {
    const OvV3d v = *in;
    out->x = v.x * m->right.x + v.y * m->up.x + v.z * m->at.x;
    out->y = v.x * m->right.y + v.y * m->up.y + v.z * m->at.y;
    out->z = v.x * m->right.z + v.y * m->up.z + v.z * m->at.z;
    return out;
}

OvV3d* OvV3dTransformVectorsDefault(OvV3d* out, const OvV3d* in, OvInt32 count, const OvMatrix* m) {
    for (OvInt32 i = 0; i < count; ++i) {
        OvV3dTransformVectorDefault(out + i, in + i, m);
    }
    return out;
}

OvV3d* OvV3dTransformPoint(OvV3d* out, const OvV3d* in, const OvMatrix* matrix) {
    return Module()->transformPoint(out, in, matrix);
}

OvV3d* OvV3dTransformPoints(OvV3d* out, const OvV3d* in, OvInt32 count, const OvMatrix* matrix) {
    return Module()->transformPoints(out, in, count, matrix);
}

OvV3d* OvV3dTransformVector(OvV3d* out, const OvV3d* in, const OvMatrix* matrix) {
    return Module()->transformVector(out, in, matrix);
}

OvV3d* OvV3dTransformVectors(OvV3d* out, const OvV3d* in, OvInt32 count, const OvMatrix* matrix) {
    return Module()->transformVectors(out, in, count, matrix);
}

OvBool OvVectorSetTransformFunctions(OvV3dTransformPointFn point, OvV3dTransformPointsFn points,
                                     OvV3dTransformVectorFn vector, OvV3dTransformVectorsFn vectors) {
    OvVectorModule* module = Module();
    module->transformPoint = point != nullptr ? point : OvV3dTransformPointDefault;
    module->transformPoints = points != nullptr ? points : OvV3dTransformPointsDefault;
    module->transformVector = vector != nullptr ? vector : OvV3dTransformVectorDefault;
    module->transformVectors = vectors != nullptr ? vectors : OvV3dTransformVectorsDefault;
    return 1;
}
