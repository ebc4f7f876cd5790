#pragma once
// The matrix module (engine module 0x402): the core's affine transform with flags that record
// what is known about it, so that multiplies by the identity become copies and inverses of
// rigid transforms become transposes.

#include "graphics/core/memory.h"
#include "graphics/core/types.h"

// Row-vector affine matrix (64 bytes): points transform as p' = p x M.
struct OvMatrix {
    OvV3d right;    // right axis (first row)
    OvUInt32 flags; // OvMatrixFlag bits; other bits are kept by partial updates
    OvV3d up;       // up axis (second row)
    OvUInt32 pad1;  // spare, no meaning
    OvV3d at;       // at axis (third row)
    OvUInt32 pad2;  // spare, no meaning
    OvV3d pos;      // position (fourth row)
    OvUInt32 pad3;  // spare, no meaning
};
static_assert(sizeof(OvMatrix) == 64, "OvMatrix is 16 words; other engines read its rows directly");

enum OvMatrixFlag : OvUInt32 {
    ovMATRIXTYPENORMAL = 0x1,           // the three axes have unit length
    ovMATRIXTYPEORTHOGONAL = 0x2,       // the three axes are mutually perpendicular
    ovMATRIXTYPEORTHONORMAL = 0x3,      // both of the above
    ovMATRIXINTERNALIDENTITY = 0x20000, // identity (only ever set together with 0x3)
};

// How a new transform combines with the matrix it is applied to.
enum OvOpCombineType : OvInt32 {
    ovCOMBINEREPLACE = 0,    // the new transform replaces the matrix
    ovCOMBINEPRECONCAT = 1,  // applied first, in the matrix's own frame
    ovCOMBINEPOSTCONCAT = 2, // applied after the matrix
};

// Tolerances of OvMatrixOptimize (each 0.01 at module open).
struct OvMatrixTolerance {
    float normal;     // largest normal error that still counts as unit axes
    float orthogonal; // largest orthogonal error that still counts as perpendicular axes
    float identity;   // largest identity error that still counts as the identity
};

// Multiply routine: out = a then b; must not touch out's flags; out is neither a nor b.
using OvMatrixMultiplyFn = void (*)(OvMatrix* out, const OvMatrix* a, const OvMatrix* b);

// The module's data in the engine instance.
struct OvMatrixModule {
    OvFreeList* freeList;        // matrices made by OvMatrixCreate
    OvFreeList freeListHeader;   // static header of that list
    OvUInt32 identityMask;       // ovMATRIXINTERNALIDENTITY while the identity shortcut is on
    OvMatrixMultiplyFn multiply; // installed multiply routine
    OvMatrixTolerance tolerance; // tolerances used when OvMatrixOptimize gets none
};

void* OvMatrixOpen(void* instance, OvInt32 offset, OvInt32 size);
// Run by OvEngineStop: matrices still allocated go with the pool.
void* OvMatrixClose(void* instance, OvInt32 offset, OvInt32 size);
OvMatrixModule* OvMatrixGetModule();

// Identity with flags 0x20003 (a new or reset matrix).
void OvMatrixSetIdentity(OvMatrix* matrix);

OvMatrix* OvMatrixCreate();
// Take it off the material effects that use it as a texture transform first: they keep no back-link.
OvBool OvMatrixDestroy(OvMatrix* matrix);

// Installs a multiply routine; null installs the default. Returns TRUE.
OvBool OvMatrixSetMultiplyFunction(OvMatrixMultiplyFn routine);
// The plain multiply installed by default.
void OvMatrixMultiplyDefault(OvMatrix* out, const OvMatrix* a, const OvMatrix* b);

// out = a then b (identity shortcuts; flags a & b). out must be neither a nor b.
OvMatrix* OvMatrixMultiply(OvMatrix* out, const OvMatrix* a, const OvMatrix* b);
OvMatrix* OvMatrixInvert(OvMatrix* out, const OvMatrix* in);
OvMatrix* OvMatrixOrthoNormalize(OvMatrix* out, const OvMatrix* in);
// The same function under the name other engines know it by.
inline OvMatrix* OvMatrixOrthoNormalizeBody(OvMatrix* out, const OvMatrix* in) {
    return OvMatrixOrthoNormalize(out, in);
}

// Rotation about an axis by an angle in degrees.
OvMatrix* OvMatrixRotate(OvMatrix* matrix, const OvV3d* axis, float angle, OvOpCombineType combine);
// Rotation about a unit axis given 1 - cos and sin; null for a bad combine.
OvMatrix* OvMatrixRotateOneMinusCosineSine(OvMatrix* matrix, const OvV3d* unitAxis, float oneMinusCosine, float sine,
                                           OvOpCombineType combine);
OvMatrix* OvMatrixScale(OvMatrix* matrix, const OvV3d* scale, OvOpCombineType combine);
OvMatrix* OvMatrixTranslate(OvMatrix* matrix, const OvV3d* translation, OvOpCombineType combine);
OvMatrix* OvMatrixTransform(OvMatrix* matrix, const OvMatrix* transform, OvOpCombineType combine);

// Sets or clears the flags from the measured errors (null tolerances: the module's).
OvMatrix* OvMatrixOptimize(OvMatrix* matrix, const OvMatrixTolerance* tolerance);
// Clears the flags 0x20003 after direct edits of the rows.
OvMatrix* OvMatrixUpdate(OvMatrix* matrix);

float OvMatrixDeterminant(const OvMatrix* matrix);
float OvMatrixOrthogonalError(const OvMatrix* matrix);
float OvMatrixNormalError(const OvMatrix* matrix);
float OvMatrixIdentityError(const OvMatrix* matrix);
