#include "graphics/core/im3d.h"

#include <initializer_list>

#include "graphics/core/engine.h"
#include "graphics/core/error.h"
#include "graphics/core/pipeline.h"

namespace {

OvInt32 gModuleOffset = -1;
OvIm3DBatch* gInstanced = nullptr; // kept by the transform node for the render node

constexpr OvUInt32 kAlwaysFlags = ovIM3D_VERTEXXYZ | ovIM3D_VERTEXRGBA;

OvIm3DModule* Module() {
    return reinterpret_cast<OvIm3DModule*>(reinterpret_cast<char*>(OvEngineInstancePtr) + gModuleOffset);
}

// Slot of a primitive type 1-6, or -1.
OvInt32 Slot(OvInt32 primType) {
    switch (primType) {
    case ovPRIMTYPETRILIST:
        return 0;
    case ovPRIMTYPETRIFAN:
        return 1;
    case ovPRIMTYPETRISTRIP:
        return 2;
    case ovPRIMTYPELINELIST:
        return 3;
    case ovPRIMTYPEPOLYLINE:
        return 4;
    case ovPRIMTYPEPOINTLIST:
        return 5;
    default:
        return -1;
    }
}

OvBool OvNodeImmInstanceBody(OvPipelineNode*, const OvPipelineExecuteParams* params) {
    gInstanced = static_cast<OvIm3DBatch*>(params->data);
    return TRUE;
}

// clang-format off
OvNodeDefinition gImmInstance = {"ImmInstance.qxl", OvNodeImmInstanceBody,
                                 nullptr, nullptr, nullptr, nullptr, nullptr, 0, 0, nullptr, nullptr, 0, nullptr, 0, 0, 0};
// clang-format on

// A one-node pipeline (no node: an empty one), owned by the core.
OvPipeline* MakePipeline(OvNodeDefinition* node) {
    OvPipeline* p = OvPipelineCreate();
    if (p == nullptr) {
        return nullptr;
    }
    p->ownerPluginId = ovPLUGINIDCORE;
    if (OvPipelineLock(p) == nullptr ||
        (node != nullptr && OvPipelineAddFragment(p, nullptr, node, nullptr) == nullptr) ||
        OvPipelineUnlock(p) == nullptr) {
        OvPipelineDestroy(p);
        return nullptr;
    }
    return p;
}

// Back to the defaults, then the shared default render pipeline and the default transform
// pipeline destroyed once each.
void DestroyPipelines(OvIm3DModule* m) {
    OvPipelineDestroy(m->defaultRenderPipelines[0]);
    OvPipelineDestroy(m->defaultTransformPipeline);
    for (OvInt32 i = 0; i < ovIM3DNUMPRIMTYPES; ++i) {
        m->renderPipelines[i] = nullptr;
        m->defaultRenderPipelines[i] = nullptr;
    }
    m->transformPipeline = nullptr;
    m->defaultTransformPipeline = nullptr;
}

} // namespace

void* OvIm3DOpen(void* instance, OvInt32 offset, OvInt32 /*size*/) {
    gModuleOffset = offset;
    gInstanced = nullptr;
    OvIm3DModule* m = reinterpret_cast<OvIm3DModule*>(static_cast<char*>(instance) + offset);
    *m = {};
    const OvDriver* driver = OvEngineGetDriver();
    m->defaultTransformPipeline = MakePipeline(&gImmInstance);
    if (m->defaultTransformPipeline == nullptr) {
        return nullptr;
    }
    m->transformPipeline = m->defaultTransformPipeline;
    OvNodeDefinition* renderNode =
        driver != nullptr && driver->im3DRenderNode != nullptr ? driver->im3DRenderNode() : nullptr;
    OvPipeline* render = MakePipeline(renderNode);
    if (render == nullptr) {
        DestroyPipelines(m);
        return nullptr;
    }
    for (OvInt32 primType :
         {ovPRIMTYPETRILIST, ovPRIMTYPETRIFAN, ovPRIMTYPETRISTRIP, ovPRIMTYPELINELIST, ovPRIMTYPEPOLYLINE}) {
        m->defaultRenderPipelines[Slot(primType)] = render;
        m->renderPipelines[Slot(primType)] = render;
    }
    if (driver != nullptr && driver->im3DCreateResources != nullptr && !driver->im3DCreateResources()) {
        DestroyPipelines(m);
        return nullptr;
    }
    return instance;
}

void* OvIm3DClose(void* instance, OvInt32 offset, OvInt32 /*size*/) {
    OvIm3DModule* m = reinterpret_cast<OvIm3DModule*>(static_cast<char*>(instance) + offset);
    const OvDriver* driver = OvEngineGetDriver();
    if (driver != nullptr && driver->im3DReleaseResources != nullptr) {
        driver->im3DReleaseResources();
    }
    DestroyPipelines(m);
    m->batch = {};
    gInstanced = nullptr;
    return instance;
}

OvIm3DVertex* OvIm3DTransform(OvIm3DVertex* vertices, OvUInt32 numVertices, const OvMatrix* matrix, OvUInt32 flags) {
    if (numVertices > ovIM3DMAXVERTICES) {
        OvErrorReport(ovPLUGINIDCORE, OvErrorCode(ovERRIM3DTOOMANY));
        return nullptr;
    }
    OvIm3DModule* m = Module();
    m->batch = {};
    m->batch.numVertices = numVertices;
    m->batch.vertices = vertices;
    m->batch.stride = sizeof(OvIm3DVertex);
    m->batch.flags = flags | kAlwaysFlags;
    m->batch.matrix = matrix;
    return OvPipelineExecute(m->transformPipeline, &m->batch, TRUE) != nullptr ? vertices : nullptr;
}

namespace {

OvBool Render(OvInt32 primType, const OvUInt16* indices, OvUInt32 numIndices) {
    OvIm3DModule* m = Module();
    if (m->batch.vertices == nullptr) {
        OvErrorReport(ovPLUGINIDCORE, OvErrorCode(ovERRIM3DNOBATCH));
        return FALSE;
    }
    if (primType < ovPRIMTYPELINELIST || primType > ovPRIMTYPETRIFAN) {
        OvErrorReport(ovPLUGINIDCORE, OvErrorCode(ovERRIM3DBADPRIM));
        return FALSE;
    }
    m->batch.renderPipeline = m->renderPipelines[Slot(primType)];
    m->batch.primType = primType;
    m->batch.indices = indices;
    m->batch.numIndices = numIndices;
    return OvPipelineExecute(m->batch.renderPipeline, &m->batch, FALSE) != nullptr ? TRUE : FALSE;
}

} // namespace

OvBool OvIm3DRenderPrimitive(OvInt32 primType) { return Render(primType, nullptr, Module()->batch.numVertices); }

OvBool OvIm3DRenderIndexedPrimitive(OvInt32 primType, const OvUInt16* indices, OvInt32 numIndices) {
    OvUInt32 count = numIndices > 0 ? static_cast<OvUInt32>(numIndices) : 0;
    // Only whole primitives are drawn.
    if (primType == ovPRIMTYPELINELIST) {
        count -= count % 2;
    } else if (primType == ovPRIMTYPETRILIST) {
        count -= count % 3;
    }
    return Render(primType, indices, count);
}

OvBool OvIm3DEnd() {
    OvIm3DModule* m = Module();
    if (m->batch.vertices == nullptr) {
        return FALSE;
    }
    m->batch = {};
    return TRUE;
}

OvPipeline* OvIm3DSetTransformPipeline(OvPipeline* pipeline) {
    OvIm3DModule* m = Module();
    m->transformPipeline = pipeline != nullptr ? pipeline : m->defaultTransformPipeline;
    return m->transformPipeline;
}

OvPipeline* OvIm3DGetTransformPipeline() { return Module()->transformPipeline; }

OvPipeline* OvIm3DSetRenderPipeline(OvPipeline* pipeline, OvInt32 primType) {
    const OvInt32 slot = Slot(primType);
    if (slot < 0) {
        OvErrorReport(ovPLUGINIDCORE, OvErrorCode(ovERRIM3DBADPRIM));
        return nullptr;
    }
    OvIm3DModule* m = Module();
    m->renderPipelines[slot] = pipeline != nullptr ? pipeline : m->defaultRenderPipelines[slot];
    return m->renderPipelines[slot];
}

OvPipeline* OvIm3DGetRenderPipeline(OvInt32 primType) {
    const OvInt32 slot = Slot(primType);
    return slot < 0 ? nullptr : Module()->renderPipelines[slot];
}

OvNodeDefinition* OvNodeImmInstanceGetDefinition() { return &gImmInstance; }
OvIm3DBatch* OvIm3DGetInstancedBatch() { return gInstanced; }
