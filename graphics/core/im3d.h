#pragma once
// Immediate-mode 3D (engine module 0x40A): caller-owned arrays of vertices drawn at once, without
// a scene object (debug lines, markers, font quads). A batch opens with OvIm3DTransform, is drawn
// any number of times with OvIm3DRenderPrimitive or OvIm3DRenderIndexedPrimitive and closes with
// OvIm3DEnd. The transform runs the transform pipeline (by default one "ImmInstance.qxl" node that
// hands the batch on); each render call runs the render pipeline of its primitive type (by default
// one node of the driver that submits the batch).

#include "graphics/core/matrix.h"
#include "graphics/core/types.h"
#include "graphics/core/vector.h"

struct OvPipeline;
struct OvNodeDefinition;

// The caller's vertex; arrays of them have a stride of 36 bytes.
struct OvIm3DVertex {
    OvV3d objVertex; // position
    OvV3d objNormal; // normal (not drawn by the driver)
    OvUInt32 color;  // A8R8G8B8
    float u;
    float v;
};
static_assert(sizeof(OvIm3DVertex) == 36);

enum OvPrimitiveType : OvInt32 {
    ovPRIMTYPENAPRIMTYPE = 0,
    ovPRIMTYPELINELIST = 1,
    ovPRIMTYPEPOLYLINE = 2,
    ovPRIMTYPETRILIST = 3,
    ovPRIMTYPETRISTRIP = 4,
    ovPRIMTYPETRIFAN = 5,
    ovPRIMTYPEPOINTLIST = 6, // a render pipeline can be set for it; the render calls refuse it
};

// Transform flags; OvIm3DTransform always adds 8 and 16.
enum OvIm3DTransformFlags : OvUInt32 {
    ovIM3D_VERTEXUV = 0x01,   // u and v are drawn
    ovIM3D_ALLOPAQUE = 0x02,  // vertex alpha off
    ovIM3D_NOCLIP = 0x04,     // device clipping off
    ovIM3D_VERTEXXYZ = 0x08,  // always set
    ovIM3D_VERTEXRGBA = 0x10, // always set
};

inline constexpr OvUInt32 ovIM3DMAXVERTICES = 65536;

// The open batch.
struct OvIm3DBatch {
    OvUInt32 numVertices;   // kept in 32 bits: a batch of 65,536 vertices is not empty
    OvIm3DVertex* vertices; // null: no batch open
    OvUInt32 stride;        // 36
    OvUInt32 flags;
    const OvMatrix* matrix; // null: identity
    OvPipeline* renderPipeline;
    OvInt32 primType;
    const OvUInt16* indices; // null: not indexed
    OvUInt32 numIndices;
};

// Render pipelines by slot: triangle list, fan, strip, line list, polyline, point list.
inline constexpr OvInt32 ovIM3DNUMPRIMTYPES = 6;

struct OvIm3DModule {
    OvPipeline* transformPipeline;
    OvPipeline* renderPipelines[ovIM3DNUMPRIMTYPES];
    OvPipeline* defaultTransformPipeline;
    OvPipeline* defaultRenderPipelines[ovIM3DNUMPRIMTYPES];
    OvIm3DBatch batch;
};

// Errors (plugin id 1).
inline constexpr OvInt32 ovERRIM3DNOBATCH = 35; // render call without an open batch
inline constexpr OvInt32 ovERRIM3DBADPRIM = 37; // primitive type out of range
inline constexpr OvInt32 ovERRIM3DTOOMANY = 50; // more than 65,536 vertices

void* OvIm3DOpen(void* instance, OvInt32 offset, OvInt32 size);
void* OvIm3DClose(void* instance, OvInt32 offset, OvInt32 size);

OvIm3DVertex* OvIm3DTransform(OvIm3DVertex* vertices, OvUInt32 numVertices, const OvMatrix* matrix, OvUInt32 flags);
OvBool OvIm3DRenderPrimitive(OvInt32 primType);
OvBool OvIm3DRenderIndexedPrimitive(OvInt32 primType, const OvUInt16* indices, OvInt32 numIndices);
OvBool OvIm3DEnd();

// Null restores the default; the result is the pipeline now in force.
OvPipeline* OvIm3DSetTransformPipeline(OvPipeline* pipeline);
OvPipeline* OvIm3DGetTransformPipeline();
OvPipeline* OvIm3DSetRenderPipeline(OvPipeline* pipeline, OvInt32 primType);
OvPipeline* OvIm3DGetRenderPipeline(OvInt32 primType);

// "ImmInstance.qxl": keeps the batch for the render node.
OvNodeDefinition* OvNodeImmInstanceGetDefinition();
// The batch the transform pipeline handed on (null before the first transform).
OvIm3DBatch* OvIm3DGetInstancedBatch();
