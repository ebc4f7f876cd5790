#include "graphics/core/matrix.h"

#include <cmath>
#include <initializer_list>

#include "graphics/core/engine.h"
#include "graphics/core/error.h"
#include "graphics/core/vector.h"

namespace {

OvInt32 gMatrixModuleOffset = -1; // offset of OvMatrixModule in the engine instance

constexpr OvUInt32 kMatrixObjectId = 0x0D;
constexpr OvInt32 kMatricesPerBlock = 256;
constexpr float kDefaultTolerance = 0.01f;
constexpr float kDegreesToRadians = 0.017453292f;

inline OvMatrixModule* Module() {
    return reinterpret_cast<OvMatrixModule*>(reinterpret_cast<char*>(OvEngineInstancePtr) + gMatrixModuleOffset);
}

inline bool IsIdentity(const OvMatrix* m) { return (m->flags & Module()->identityMask) != 0; }

inline bool ValidCombine(OvOpCombineType combine) {
    if (combine == ovCOMBINEREPLACE || combine == ovCOMBINEPRECONCAT || combine == ovCOMBINEPOSTCONCAT) {
        return true;
    }
    OvErrorReport(ovPLUGINIDCORE, OvErrorCode(ovERRINVALIDVALUE, "Invalid combination type"));
    return false;
}

inline float Square(float v) { return v * v; }

inline void ScaleByInverseLength(OvV3d* axis, float* inverseLength) {
    *inverseLength = OvInvSqrt(OvV3dDotProduct(axis, axis));
    OvV3dScale(axis, axis, *inverseLength);
}

} // namespace

void* OvMatrixOpen(void* instance, OvInt32 offset, OvInt32 /*size*/) {
    gMatrixModuleOffset = offset;
    OvMatrixModule* module = reinterpret_cast<OvMatrixModule*>(static_cast<char*>(instance) + offset);
    module->freeList = OvFreeListCreateWithSpace(sizeof(OvMatrix), kMatricesPerBlock, 0, 1, &module->freeListHeader,
                                                 ovMEMHINTDUR_GLOBAL | kMatrixObjectId);
    if (module->freeList == nullptr) {
        return nullptr;
    }
    module->identityMask = ovMATRIXINTERNALIDENTITY;
    module->multiply = OvMatrixMultiplyDefault;
    module->tolerance = {kDefaultTolerance, kDefaultTolerance, kDefaultTolerance};
    return instance;
}

void* OvMatrixClose(void* instance, OvInt32 offset, OvInt32 /*size*/) {
    OvMatrixModule* module = reinterpret_cast<OvMatrixModule*>(static_cast<char*>(instance) + offset);
    if (module->freeList != nullptr) {
        OvFreeListDestroy(module->freeList);
        module->freeList = nullptr;
    }
    return instance;
}

OvMatrixModule* OvMatrixGetModule() { return Module(); }

void OvMatrixSetIdentity(OvMatrix* m) {
    *m = {};
    m->right.x = m->up.y = m->at.z = 1.0f;
    m->flags = ovMATRIXINTERNALIDENTITY | ovMATRIXTYPEORTHONORMAL;
}

OvMatrix* OvMatrixCreate() {
    OvMatrix* m =
        static_cast<OvMatrix*>(OvFreeListEntryAlloc(Module()->freeList, ovMEMHINTDUR_OBJECT | kMatrixObjectId));
    if (m != nullptr) {
        OvMatrixSetIdentity(m);
    }
    return m;
}

OvBool OvMatrixDestroy(OvMatrix* matrix) {
    OvFreeListEntryFree(Module()->freeList, matrix);
    return 1;
}

OvBool OvMatrixSetMultiplyFunction(OvMatrixMultiplyFn routine) {
    Module()->multiply = routine != nullptr ? routine : OvMatrixMultiplyDefault;
    return 1;
}

void OvMatrixMultiplyDefault(OvMatrix* out, const OvMatrix* a, const OvMatrix* b) {
    // Each row of a is a vector transformed by b; a's position is a point.
    OvV3dTransformVectorDefault(&out->right, &a->right, b);
    OvV3dTransformVectorDefault(&out->up, &a->up, b);
    OvV3dTransformVectorDefault(&out->at, &a->at, b);
    OvV3dTransformPointDefault(&out->pos, &a->pos, b);
}

OvMatrix* OvMatrixMultiply(OvMatrix* out, const OvMatrix* a, const OvMatrix* b) {
    if (IsIdentity(a)) {
        *out = *b;
    } else if (IsIdentity(b)) {
        *out = *a;
    } else {
        Module()->multiply(out, a, b);
        out->flags = a->flags & b->flags;
    }
    return out;
}

OvMatrix* OvMatrixInvert(OvMatrix* out, const OvMatrix* in) {
    if (IsIdentity(in)) {
        *out = *in;
        return out;
    }
    OvMatrix r = {};
    const OvV3d& p = in->pos;
    if ((in->flags & ovMATRIXTYPEORTHONORMAL) != ovMATRIXTYPEORTHONORMAL) {
        // General inverse of the 3x3 part by cofactors; a singular matrix divides by 1.
        const float m00 = in->right.x, m01 = in->right.y, m02 = in->right.z;
        const float m10 = in->up.x, m11 = in->up.y, m12 = in->up.z;
        const float m20 = in->at.x, m21 = in->at.y, m22 = in->at.z;
        const float c00 = m11 * m22 - m12 * m21;
        const float c01 = m12 * m20 - m10 * m22;
        const float c02 = m10 * m21 - m11 * m20;
        float det = m00 * c00 + m01 * c01 + m02 * c02;
        if (det == 0.0f) {
            det = 1.0f;
        }
        const float inv = 1.0f / det;
        r.right = {c00 * inv, (m02 * m21 - m01 * m22) * inv, (m01 * m12 - m02 * m11) * inv};
        r.up = {c01 * inv, (m00 * m22 - m02 * m20) * inv, (m02 * m10 - m00 * m12) * inv};
        r.at = {c02 * inv, (m01 * m20 - m00 * m21) * inv, (m00 * m11 - m01 * m10) * inv};
        OvV3d t;
        OvV3dTransformVectorDefault(&t, &p, &r);
        r.pos = {-t.x, -t.y, -t.z};
        r.flags = 0;
    } else {
        // Rigid: the transpose, and the position brought back along the axes.
        r.right = {in->right.x, in->up.x, in->at.x};
        r.up = {in->right.y, in->up.y, in->at.y};
        r.at = {in->right.z, in->up.z, in->at.z};
        r.pos = {-OvV3dDotProduct(&p, &in->right), -OvV3dDotProduct(&p, &in->up), -OvV3dDotProduct(&p, &in->at)};
        r.flags = ovMATRIXTYPEORTHONORMAL;
    }
    *out = r;
    return out;
}

OvMatrix* OvMatrixOrthoNormalize(OvMatrix* out, const OvMatrix* in) {
    OvMatrix r = *in;
    float invRight, invUp, invAt;
    ScaleByInverseLength(&r.right, &invRight);
    ScaleByInverseLength(&r.up, &invUp);
    ScaleByInverseLength(&r.at, &invAt);

    // p is kept, q is made perpendicular to it, and the third axis is rebuilt from them.
    OvV3d* p;
    OvV3d* q;
    OvV3d* t;
    if (invRight == 0.0f) {
        p = &r.up, q = &r.at, t = &r.right;
    } else if (invUp == 0.0f) {
        p = &r.at, q = &r.right, t = &r.up;
    } else if (invAt == 0.0f) {
        p = &r.right, q = &r.up, t = &r.at;
    } else {
        const float dUpAt = std::fabs(OvV3dDotProduct(&r.up, &r.at));
        const float dRightAt = std::fabs(OvV3dDotProduct(&r.right, &r.at));
        const float dRightUp = std::fabs(OvV3dDotProduct(&r.right, &r.up));
        if (dUpAt < dRightAt && dUpAt < dRightUp) {
            p = &r.up, q = &r.at, t = &r.right;
        } else if (dRightAt <= dUpAt && dRightAt < dRightUp) {
            p = &r.at, q = &r.right, t = &r.up;
        } else {
            p = &r.right, q = &r.up, t = &r.at;
        }
    }
    float unused;
    OvV3dCrossProduct(t, p, q);
    ScaleByInverseLength(t, &unused);
    OvV3dCrossProduct(q, t, p);
    ScaleByInverseLength(q, &unused);

    r.flags = (in->flags & ~ovMATRIXINTERNALIDENTITY) | ovMATRIXTYPEORTHONORMAL;
    *out = r;
    return out;
}

OvMatrix* OvMatrixRotateOneMinusCosineSine(OvMatrix* m, const OvV3d* a, float t, float s, OvOpCombineType combine) {
    if (!ValidCombine(combine)) {
        return nullptr;
    }
    const float c = 1.0f - t;
    OvMatrix r = {};
    r.right = {t * a->x * a->x + c, t * a->x * a->y + s * a->z, t * a->x * a->z - s * a->y};
    r.up = {t * a->x * a->y - s * a->z, t * a->y * a->y + c, t * a->y * a->z + s * a->x};
    r.at = {t * a->x * a->z + s * a->y, t * a->y * a->z - s * a->x, t * a->z * a->z + c};
    r.flags = ovMATRIXTYPEORTHONORMAL;

    if (combine == ovCOMBINEREPLACE || IsIdentity(m)) {
        *m = r;
        return m;
    }
    const OvUInt32 flags = m->flags & ovMATRIXTYPEORTHONORMAL;
    OvMatrix product;
    if (combine == ovCOMBINEPRECONCAT) {
        Module()->multiply(&product, &r, m);
    } else {
        Module()->multiply(&product, m, &r);
    }
    *m = product;
    m->flags = flags;
    return m;
}

OvMatrix* OvMatrixRotate(OvMatrix* m, const OvV3d* axis, float angle, OvOpCombineType combine) {
    if (!ValidCombine(combine)) {
        return nullptr;
    }
    OvV3d unit;
    OvV3dNormalizeFast(&unit, axis);
    const float radians = angle * kDegreesToRadians;
    return OvMatrixRotateOneMinusCosineSine(m, &unit, 1.0f - std::cos(radians), std::sin(radians), combine);
}

OvMatrix* OvMatrixScale(OvMatrix* m, const OvV3d* scale, OvOpCombineType combine) {
    if (!ValidCombine(combine)) {
        return nullptr;
    }
    const OvV3d copy = *scale; // the scale may be a row of m itself
    const OvV3d* s = &copy;
    switch (combine) {
    case ovCOMBINEREPLACE:
        m->right = {s->x, 0.0f, 0.0f};
        m->up = {0.0f, s->y, 0.0f};
        m->at = {0.0f, 0.0f, s->z};
        m->pos = {0.0f, 0.0f, 0.0f};
        break;
    case ovCOMBINEPRECONCAT:
        OvV3dScale(&m->right, &m->right, s->x);
        OvV3dScale(&m->up, &m->up, s->y);
        OvV3dScale(&m->at, &m->at, s->z);
        break;
    case ovCOMBINEPOSTCONCAT:
        for (OvV3d* row : {&m->right, &m->up, &m->at, &m->pos}) {
            *row = {row->x * s->x, row->y * s->y, row->z * s->z};
        }
        break;
    }
    m->flags &= ~(ovMATRIXINTERNALIDENTITY | ovMATRIXTYPEORTHONORMAL);
    return m;
}

OvMatrix* OvMatrixTranslate(OvMatrix* m, const OvV3d* translation, OvOpCombineType combine) {
    if (!ValidCombine(combine)) {
        return nullptr;
    }
    const OvV3d copy = *translation; // the translation may be a row of m itself
    const OvV3d* t = &copy;
    switch (combine) {
    case ovCOMBINEREPLACE: {
        const OvUInt32 flags = (m->flags | ovMATRIXTYPEORTHONORMAL) & ~ovMATRIXINTERNALIDENTITY;
        OvMatrixSetIdentity(m);
        m->pos = *t;
        m->flags = flags;
        break;
    }
    case ovCOMBINEPRECONCAT: {
        OvV3d moved;
        OvV3dTransformVectorDefault(&moved, t, m);
        OvV3dAdd(&m->pos, &m->pos, &moved);
        m->flags &= ~ovMATRIXINTERNALIDENTITY;
        break;
    }
    case ovCOMBINEPOSTCONCAT:
        OvV3dAdd(&m->pos, &m->pos, t);
        m->flags &= ~ovMATRIXINTERNALIDENTITY;
        break;
    }
    return m;
}

OvMatrix* OvMatrixTransform(OvMatrix* m, const OvMatrix* t, OvOpCombineType combine) {
    if (!ValidCombine(combine)) {
        return nullptr;
    }
    if (combine == ovCOMBINEREPLACE) {
        *m = *t;
        return m;
    }
    // OvMatrixMultiply takes the identity shortcuts and sets the product's flags.
    OvMatrix product;
    if (combine == ovCOMBINEPRECONCAT) {
        OvMatrixMultiply(&product, t, m);
    } else {
        OvMatrixMultiply(&product, m, t);
    }
    *m = product;
    return m;
}

float OvMatrixNormalError(const OvMatrix* m) {
    return Square(OvV3dDotProduct(&m->right, &m->right) - 1.0f) + Square(OvV3dDotProduct(&m->up, &m->up) - 1.0f) +
           Square(OvV3dDotProduct(&m->at, &m->at) - 1.0f);
}

float OvMatrixOrthogonalError(const OvMatrix* m) {
    return Square(OvV3dDotProduct(&m->right, &m->up)) + Square(OvV3dDotProduct(&m->right, &m->at)) +
           Square(OvV3dDotProduct(&m->up, &m->at));
}

float OvMatrixIdentityError(const OvMatrix* m) {
    return Square(m->right.x - 1.0f) + Square(m->right.y) + Square(m->right.z) + Square(m->up.x) +
           Square(m->up.y - 1.0f) + Square(m->up.z) + Square(m->at.x) + Square(m->at.y) + Square(m->at.z - 1.0f) +
           Square(m->pos.x) + Square(m->pos.y) + Square(m->pos.z);
}

float OvMatrixDeterminant(const OvMatrix* m) {
    OvV3d c;
    OvV3dCrossProduct(&c, &m->up, &m->at);
    return OvV3dDotProduct(&m->right, &c);
}

OvMatrix* OvMatrixOptimize(OvMatrix* m, const OvMatrixTolerance* tolerance) {
    const OvMatrixTolerance* tol = tolerance != nullptr ? tolerance : &Module()->tolerance;
    const bool normal = OvMatrixNormalError(m) <= tol->normal;
    const bool orthogonal = OvMatrixOrthogonalError(m) <= tol->orthogonal;
    m->flags = normal ? (m->flags | ovMATRIXTYPENORMAL) : (m->flags & ~ovMATRIXTYPENORMAL);
    m->flags = orthogonal ? (m->flags | ovMATRIXTYPEORTHOGONAL) : (m->flags & ~ovMATRIXTYPEORTHOGONAL);
    if (normal && orthogonal && OvMatrixIdentityError(m) <= tol->identity) {
        m->flags |= ovMATRIXINTERNALIDENTITY;
    } else {
        m->flags &= ~ovMATRIXINTERNALIDENTITY;
    }
    return m;
}

OvMatrix* OvMatrixUpdate(OvMatrix* m) {
    m->flags &= ~(ovMATRIXINTERNALIDENTITY | ovMATRIXTYPEORTHONORMAL);
    return m;
}
