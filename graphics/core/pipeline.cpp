#include "graphics/core/pipeline.h"

#include <algorithm>
#include <cstdarg>
#include <cstdint>
#include <cstring>
#include <utility>

#include "graphics/core/engine.h"
#include "graphics/core/error.h"

namespace {

OvInt32 gModuleOffset = -1;
bool gModuleOpen = false;
OvPipelineHeap* gHeap = nullptr;
OvPipeline* gCurrent = nullptr;
OvPipelineExecuteParams gParams = {nullptr, nullptr};

constexpr OvUInt32 kInitialHeapSize = 4096;
constexpr OvUInt32 kMinimumHeapSize = 1024;
constexpr OvUInt32 kMaxNodes = 64;
constexpr OvInt32 kPipelinesPerBlock = 64;
constexpr OvUInt32 kRecordHint = ovMEMHINTDUR_OBJECT | ovPLUGINIDPIPELINE;
constexpr OvUInt32 kBlockHint = ovMEMHINTFLAG_RESIZABLE | ovMEMHINTDUR_OBJECT | ovPLUGINIDPIPELINE;
constexpr OvUInt32 kGlobalHint = ovMEMHINTDUR_GLOBAL | ovPLUGINIDPIPELINE;
constexpr OvUInt32 kDefaultSettings[ovPIPELINENUMSETTINGS] = {7, 2, 5, 6, 0, 1, 1, 2, 0xFFFFFFFFu, 0, 0xFFFFFFFFu};

OvPipelineModule* Module() {
    return reinterpret_cast<OvPipelineModule*>(reinterpret_cast<char*>(OvEngineInstancePtr) + gModuleOffset);
}

OvUInt32 MaxNodes() { return gModuleOpen ? Module()->maxNodes : kMaxNodes; }

template <typename T> T* Fail(OvInt32 code) {
    OvErrorReport(ovPLUGINIDCORE, OvErrorCode(code));
    return nullptr;
}

// The editable layout: every node slot, then 32 output words per slot, then three input words
// per slot; the compiled layout appends the nodes' private data.
std::size_t NodesBytes() { return sizeof(OvPipelineNode) * MaxNodes(); }
std::size_t RowsBytes() { return sizeof(OvUInt32) * ovPIPELINEMAXOUTPUTS * MaxNodes(); }
std::size_t InputsBytes() { return sizeof(OvUInt32) * 3 * MaxNodes(); }
std::size_t LockedBytes() { return NodesBytes() + RowsBytes() + InputsBytes(); }

OvUInt32* Row(OvPipeline* p, OvUInt32 i) {
    return reinterpret_cast<OvUInt32*>(static_cast<char*>(p->block) + NodesBytes()) + i * ovPIPELINEMAXOUTPUTS;
}
OvUInt32* InputRecord(OvPipeline* p, OvUInt32 i) {
    return reinterpret_cast<OvUInt32*>(static_cast<char*>(p->block) + NodesBytes() + RowsBytes()) + i * 3;
}

// Points every node slot at its own output row and input record.
void Relay(OvPipeline* p) {
    p->nodes = static_cast<OvPipelineNode*>(p->block);
    for (OvUInt32 i = 0; i < MaxNodes(); ++i) {
        p->nodes[i].outputs = Row(p, i);
        p->nodes[i].inputs = InputRecord(p, i);
    }
}

bool EnsureBlock(OvPipeline* p, std::size_t bytes) {
    if (p->block != nullptr && p->blockSize >= bytes) {
        return true;
    }
    void* block = p->block == nullptr ? OvMalloc(bytes, kBlockHint) : OvRealloc(p->block, bytes, kBlockHint);
    if (block == nullptr) {
        OvErrorReport(ovPLUGINIDCORE, OvErrorCode(ovERRNOMEMORY, bytes));
        return false;
    }
    if (p->block == nullptr) {
        std::memset(block, 0, bytes);
    } else {
        std::memset(static_cast<char*>(block) + p->blockSize, 0, bytes - p->blockSize);
    }
    p->block = block;
    p->blockSize = static_cast<OvUInt32>(bytes);
    Relay(p);
    return true;
}

OvUInt32 PrivateBytes(const OvNodeDefinition* d) { return (d->privateDataSize + 3u) & ~3u; }

void DropUse(OvNodeDefinition* d) {
    if (d->useCount > 0 && --d->useCount == 0 && d->term != nullptr) {
        d->term(d);
    }
}

// Undoes a node's compilation: its term callback and its share of the use count.
void Uncompile(OvPipelineNode* node) {
    if (node->definition->nodeTerm != nullptr) {
        node->definition->nodeTerm(node);
    }
    DropUse(node->definition);
}

// The editable form of the node fields that compilation lays out.
void ClearCompiled(OvPipeline* p) {
    for (OvUInt32 i = 0; i < p->numNodes; ++i) {
        OvPipelineNode& n = p->nodes[i];
        n.slotTable = nullptr;
        n.outputMasks = nullptr;
        n.privateData = nullptr;
        n.clusterSlots = nullptr;
    }
}

void RemoveNode(OvPipeline* p, OvUInt32 index) {
    OvPipelineNode& node = p->nodes[index];
    OvNodeDefinition* d = node.definition;
    if (d != nullptr) {
        if (p->state == ovPIPELINEUNLOCKED) {
            Uncompile(&node);
        }
        if (d->allocated && d->useCount == 0) {
            OvFree(d);
        }
    }
    if (node.initData != nullptr) {
        OvFree(node.initData);
    }
    for (OvUInt32 i = index; i + 1 < p->numNodes; ++i) {
        OvPipelineNode& to = p->nodes[i];
        const OvPipelineNode& from = p->nodes[i + 1];
        to.definition = from.definition;
        to.numOutputs = from.numOutputs;
        to.slotTable = from.slotTable;
        to.outputMasks = from.outputMasks;
        to.privateData = from.privateData;
        to.clusterSlots = from.clusterSlots;
        to.initData = from.initData;
        to.initDataSize = from.initDataSize;
        std::memcpy(Row(p, i), Row(p, i + 1), sizeof(OvUInt32) * ovPIPELINEMAXOUTPUTS);
        std::memcpy(InputRecord(p, i), InputRecord(p, i + 1), sizeof(OvUInt32) * 3);
    }
    const OvUInt32 last = p->numNodes - 1;
    OvPipelineNode& vacated = p->nodes[last];
    vacated = {};
    vacated.outputs = Row(p, last);
    vacated.inputs = InputRecord(p, last);
    std::memset(vacated.outputs, 0xFF, sizeof(OvUInt32) * ovPIPELINEMAXOUTPUTS);
    std::memset(vacated.inputs, 0, sizeof(OvUInt32) * 3);
    p->numNodes = last;
    for (OvUInt32 i = 0; i < p->numNodes; ++i) {
        OvPipelineNode& n = p->nodes[i];
        for (OvUInt32 k = 0; k < n.numOutputs; ++k) {
            if (n.outputs[k] == index) {
                n.outputs[k] = ovPIPELINENOTCONNECTED;
            } else if (n.outputs[k] != ovPIPELINENOTCONNECTED && n.outputs[k] > index) {
                --n.outputs[k];
            }
        }
    }
}

// Exchanges two node places with their output rows and input records, and renames them in
// every output.
void SwapNodes(OvPipeline* p, OvUInt32 a, OvUInt32 b) {
    if (a == b) {
        return;
    }
    OvPipelineNode& x = p->nodes[a];
    OvPipelineNode& y = p->nodes[b];
    std::swap(x.definition, y.definition);
    std::swap(x.numOutputs, y.numOutputs);
    std::swap(x.initData, y.initData);
    std::swap(x.initDataSize, y.initDataSize);
    std::swap_ranges(Row(p, a), Row(p, a) + ovPIPELINEMAXOUTPUTS, Row(p, b));
    std::swap_ranges(InputRecord(p, a), InputRecord(p, a) + 3, InputRecord(p, b));
    for (OvUInt32 i = 0; i < p->numNodes; ++i) {
        OvPipelineNode& n = p->nodes[i];
        for (OvUInt32 k = 0; k < n.numOutputs; ++k) {
            if (n.outputs[k] == a) {
                n.outputs[k] = b;
            } else if (n.outputs[k] == b) {
                n.outputs[k] = a;
            }
        }
    }
}

// Depth-first placing: a node takes the next place once all its inputs are placed.
void Place(OvPipeline* p, OvUInt32 node, OvUInt32* next) {
    const OvUInt32 at = (*next)++;
    SwapNodes(p, node, at);
    OvPipelineNode& n = p->nodes[at];
    for (OvUInt32 k = 0; k < n.numOutputs; ++k) {
        const OvUInt32 target = n.outputs[k];
        if (target == ovPIPELINENOTCONNECTED) {
            continue;
        }
        OvUInt32* in = p->nodes[target].inputs;
        if (++in[1] == in[0]) {
            Place(p, target, next);
        }
    }
}

// Node ordering and its checks; the error code, or 0.
OvInt32 Order(OvPipeline* p) {
    for (OvUInt32 i = 0; i < p->numNodes; ++i) {
        p->nodes[i].inputs[0] = 0;
        p->nodes[i].inputs[1] = 0;
    }
    for (OvUInt32 i = 0; i < p->numNodes; ++i) {
        const OvPipelineNode& n = p->nodes[i];
        for (OvUInt32 k = 0; k < n.numOutputs; ++k) {
            if (n.outputs[k] != ovPIPELINENOTCONNECTED) {
                ++p->nodes[n.outputs[k]].inputs[0];
            }
        }
    }
    for (OvUInt32 i = 0; i < p->numNodes; ++i) {
        const OvUInt32 inputs = p->nodes[i].inputs[0];
        if (i == p->entryNode && inputs != 0) {
            return ovERRPIPELINEENTRY;
        }
        if (i != p->entryNode && inputs == 0) {
            return ovERRPIPELINENOINPUT;
        }
    }
    OvUInt32 next = 0;
    Place(p, p->entryNode, &next);
    p->entryNode = 0;
    for (OvUInt32 i = 0; i < p->numNodes; ++i) {
        if (p->nodes[i].inputs[1] != p->nodes[i].inputs[0]) {
            return ovERRPIPELINECYCLE;
        }
    }
    return 0;
}

// The clusters of interest of every node: each names a type, and no node names one twice.
// No node of this engine brings clusters through its outputs, so no slots are assigned.
OvInt32 CheckClusters(OvPipeline* p) {
    for (OvUInt32 i = 0; i < p->numNodes; ++i) {
        const OvNodeDefinition* d = p->nodes[i].definition;
        for (OvUInt32 c = 0; c < d->numClustersOfInterest; ++c) {
            if (d->clusters[c].clusterType == nullptr) {
                return ovERRPIPELINECLUSTERTYPE;
            }
            for (OvUInt32 e = 0; e < c; ++e) {
                if (d->clusters[e].clusterType == d->clusters[c].clusterType) {
                    return ovERRPIPELINECLUSTERTWICE;
                }
            }
        }
    }
    p->numClusterSlots = 0;
    return 0;
}

// Use counts, inits and configs, last node first; on failure everything done is undone and
// the result is false.
bool InitNodes(OvPipeline* p) {
    OvUInt32 initialised = p->numNodes; // nodes [initialised, numNodes) are initialised
    bool ok = true;
    while (ok && initialised > 0) {
        OvPipelineNode& n = p->nodes[initialised - 1];
        OvNodeDefinition* d = n.definition;
        if (++d->useCount == 1 && d->init != nullptr && !d->init(d)) {
            --d->useCount;
            ok = false;
            break;
        }
        if (d->nodeInit != nullptr && !d->nodeInit(&n)) {
            DropUse(d);
            ok = false;
            break;
        }
        --initialised;
    }
    for (OvUInt32 i = p->numNodes; ok && i > 0; --i) {
        OvPipelineNode& n = p->nodes[i - 1];
        if (n.definition->nodeConfig != nullptr && !n.definition->nodeConfig(&n, p)) {
            ok = false;
        }
    }
    if (!ok) {
        for (OvUInt32 i = initialised; i < p->numNodes; ++i) {
            Uncompile(&p->nodes[i]);
        }
    }
    return ok;
}

} // namespace

void* OvPipelineOpen(void* instance, OvInt32 offset, OvInt32 /*size*/) {
    if (gModuleOpen) {
        return nullptr;
    }
    gModuleOffset = offset;
    OvPipelineModule* module = reinterpret_cast<OvPipelineModule*>(static_cast<char*>(instance) + offset);
    gHeap = nullptr;
    module->maxNodes = kMaxNodes;
    OvPipelineGetSettings(module->settings);
    OvPipelineHeap* heap = static_cast<OvPipelineHeap*>(OvMalloc(sizeof(OvPipelineHeap), kGlobalHint));
    const OvUInt32 size = kInitialHeapSize < kMinimumHeapSize ? kMinimumHeapSize : kInitialHeapSize;
    void* allocation = heap != nullptr ? OvMalloc(size + 139, kBlockHint) : nullptr;
    if (allocation == nullptr) {
        if (heap != nullptr) {
            OvFree(heap);
        }
        return nullptr;
    }
    const auto address = (reinterpret_cast<std::uintptr_t>(allocation) + 127) & ~std::uintptr_t{127};
    *heap = {size, reinterpret_cast<void*>(address), allocation, FALSE};
    module->freeList = OvFreeListCreate(sizeof(OvPipeline), kPipelinesPerBlock, 4, kGlobalHint);
    if (module->freeList == nullptr) {
        OvFree(allocation);
        OvFree(heap);
        return nullptr;
    }
    gHeap = heap;
    gModuleOpen = true;
    return instance;
}

void* OvPipelineClose(void* instance, OvInt32 offset, OvInt32 /*size*/) {
    OvPipelineModule* module = reinterpret_cast<OvPipelineModule*>(static_cast<char*>(instance) + offset);
    if (module->freeList != nullptr) {
        OvFreeListDestroy(module->freeList);
        module->freeList = nullptr;
    }
    if (gHeap != nullptr) {
        OvFree(gHeap->allocation);
        OvFree(gHeap);
        gHeap = nullptr;
    }
    gModuleOpen = false;
    return instance;
}

OvPipeline* OvPipelineCreate() {
    auto* p = static_cast<OvPipeline*>(OvFreeListEntryAlloc(Module()->freeList, kRecordHint));
    if (p == nullptr) {
        return Fail<OvPipeline>(ovERRNOMEMORY);
    }
    *p = {};
    return p;
}

void OvPipelineDestroy(OvPipeline* pipeline) {
    if (pipeline == nullptr) {
        return;
    }
    while (pipeline->numNodes > 0) {
        RemoveNode(pipeline, pipeline->numNodes - 1);
    }
    if (pipeline->block != nullptr) {
        OvFree(pipeline->block);
    }
    OvFreeListEntryFree(Module()->freeList, pipeline);
}

OvPipeline* OvPipelineLock(OvPipeline* pipeline) {
    if (pipeline == nullptr) {
        return Fail<OvPipeline>(ovERRNULLARGUMENT);
    }
    if (pipeline->state == ovPIPELINELOCKED) {
        return pipeline;
    }
    if (!EnsureBlock(pipeline, LockedBytes())) {
        return nullptr;
    }
    pipeline->state = ovPIPELINELOCKED;
    for (OvUInt32 i = 0; i < pipeline->numNodes; ++i) {
        Uncompile(&pipeline->nodes[i]);
    }
    ClearCompiled(pipeline);
    return pipeline;
}

OvPipeline* OvPipelineAddFragment(OvPipeline* pipeline, OvUInt32* firstNode, ...) {
    if (pipeline == nullptr) {
        return Fail<OvPipeline>(ovERRNULLARGUMENT);
    }
    if (pipeline->state != ovPIPELINELOCKED) {
        return Fail<OvPipeline>(ovERRPIPELINENOTLOCKED);
    }
    OvNodeDefinition* definitions[kMaxNodes + 1];
    OvUInt32 count = 0;
    bool tooMany = false;
    va_list args;
    va_start(args, firstNode);
    while (OvNodeDefinition* d = va_arg(args, OvNodeDefinition*)) {
        if (count < kMaxNodes + 1) {
            definitions[count] = d;
        } else {
            tooMany = true;
        }
        ++count;
    }
    va_end(args);
    if (count == 0) {
        return nullptr;
    }
    if (tooMany || pipeline->numNodes + count > MaxNodes()) {
        return Fail<OvPipeline>(ovERRPIPELINENODES);
    }
    const OvUInt32 first = pipeline->numNodes;
    OvInt32 error = 0;
    for (OvUInt32 i = 0; i < count && error == 0; ++i) {
        OvNodeDefinition* d = definitions[i];
        if (d->numOutputs > ovPIPELINEMAXOUTPUTS) {
            error = ovERRPIPELINEOUTPUTS;
        } else if (d->numClustersOfInterest > ovPIPELINEMAXCLUSTERS) {
            error = ovERRPIPELINECLUSTERS;
        } else if (d->numOutputs >= MaxNodes()) {
            error = ovERRPIPELINENODES;
        }
        if (error != 0) {
            break;
        }
        const OvUInt32 index = pipeline->numNodes++;
        OvPipelineNode& n = pipeline->nodes[index];
        n = {};
        n.outputs = Row(pipeline, index);
        n.inputs = InputRecord(pipeline, index);
        std::memset(n.outputs, 0xFF, sizeof(OvUInt32) * ovPIPELINEMAXOUTPUTS);
        std::memset(n.inputs, 0, sizeof(OvUInt32) * 3);
        n.definition = d;
        n.numOutputs = d->numOutputs;
        if (index > first) {
            OvPipelineNode& previous = pipeline->nodes[index - 1];
            if (previous.numOutputs == 0 || previous.outputs[0] != ovPIPELINENOTCONNECTED) {
                error = ovERRPIPELINENODES;
                break;
            }
            previous.outputs[0] = index;
        }
    }
    if (error != 0) {
        while (pipeline->numNodes > first) {
            RemoveNode(pipeline, pipeline->numNodes - 1);
        }
        return Fail<OvPipeline>(error);
    }
    if (firstNode != nullptr) {
        *firstNode = first;
    }
    return pipeline;
}

OvPipeline* OvPipelineUnlock(OvPipeline* pipeline) {
    if (pipeline == nullptr) {
        return Fail<OvPipeline>(ovERRNULLARGUMENT);
    }
    if (pipeline->state != ovPIPELINELOCKED) {
        return Fail<OvPipeline>(ovERRPIPELINENOTLOCKED);
    }
    if (pipeline->numNodes == 0) {
        pipeline->state = ovPIPELINEUNLOCKED;
        return pipeline;
    }
    if (pipeline->entryNode >= pipeline->numNodes || pipeline->nodes[pipeline->entryNode].definition == nullptr) {
        return Fail<OvPipeline>(ovERRPIPELINEENTRY);
    }
    std::size_t bytes = LockedBytes();
    for (OvUInt32 i = 0; i < pipeline->numNodes; ++i) {
        bytes += PrivateBytes(pipeline->nodes[i].definition);
    }
    if (!EnsureBlock(pipeline, bytes)) {
        return nullptr;
    }
    if (const OvInt32 error = Order(pipeline); error != 0) {
        return Fail<OvPipeline>(error);
    }
    if (const OvInt32 error = CheckClusters(pipeline); error != 0) {
        return Fail<OvPipeline>(error);
    }
    char* data = static_cast<char*>(pipeline->block) + LockedBytes();
    for (OvUInt32 i = 0; i < pipeline->numNodes; ++i) {
        OvPipelineNode& n = pipeline->nodes[i];
        const OvUInt32 size = PrivateBytes(n.definition);
        std::memset(data, 0, size);
        n.privateData = size > 0 ? data : nullptr;
        data += size;
    }
    if (!InitNodes(pipeline)) {
        ClearCompiled(pipeline);
        return nullptr;
    }
    pipeline->state = ovPIPELINEUNLOCKED;
    return pipeline;
}

OvPipelineNode* OvPipelineFindNode(OvPipeline* pipeline, const char* name, OvPipelineNode* startAfter, OvInt32* index) {
    if (index != nullptr) {
        *index = -1;
    }
    if (pipeline == nullptr || name == nullptr || pipeline->nodes == nullptr) {
        return nullptr;
    }
    OvUInt32 i = startAfter != nullptr ? static_cast<OvUInt32>(startAfter - pipeline->nodes) + 1 : 0;
    for (; i < pipeline->numNodes; ++i) {
        const OvNodeDefinition* d = pipeline->nodes[i].definition;
        if (d != nullptr && d->name != nullptr && OvEngineInstancePtr->stringFuncs.vecStrcmp(d->name, name) == 0) {
            if (index != nullptr) {
                *index = static_cast<OvInt32>(i);
            }
            return &pipeline->nodes[i];
        }
    }
    return nullptr;
}

OvPipeline* OvPipelineExecute(OvPipeline* pipeline, void* data, OvBool resetHeap) {
    // Only a compiled pipeline with a first node has a body to run: a locked one has no private
    // data laid out for its nodes.
    if (pipeline == nullptr) {
        return Fail<OvPipeline>(ovERRNULLARGUMENT);
    }
    if (pipeline->state != ovPIPELINEUNLOCKED) {
        return Fail<OvPipeline>(ovERRPIPELINENOTLOCKED);
    }
    if (pipeline->numNodes == 0 || pipeline->nodes[0].definition == nullptr) {
        return Fail<OvPipeline>(ovERRPIPELINEENTRY);
    }
    if (resetHeap && gHeap != nullptr && gHeap->dirty) {
        gHeap->dirty = FALSE;
    }
    OvPipeline* previous = gCurrent;
    const OvPipelineExecuteParams previousParams = gParams;
    gCurrent = pipeline;
    gParams = {data, gHeap};
    pipeline->executionStage = 0;
    OvPipelineNode* node = &pipeline->nodes[0];
    const bool ok = node->definition->body == nullptr || node->definition->body(node, &gParams);
    if (pipeline->executionStage > 1) {
        pipeline->executionStage = 2;
    }
    gCurrent = previous;
    gParams = previousParams;
    return ok ? pipeline : nullptr;
}

OvPipelineHeap* OvPipelineGetHeap() { return gHeap; }
OvPipeline* OvPipelineGetCurrent() { return gCurrent; }

OvUInt32* OvPipelineGetSettings(OvUInt32* settings) {
    if (settings == nullptr) {
        return Fail<OvUInt32>(ovERRNULLARGUMENT);
    }
    if (gModuleOffset >= 0 && OvEngineInstancePtr->engineStatus != ovENGINESTATUSIDLE &&
        settings == Module()->settings) {
        std::memcpy(settings, kDefaultSettings, sizeof kDefaultSettings);
        return settings;
    }
    if (!gModuleOpen || OvEngineInstancePtr->engineStatus != ovENGINESTATUSSTARTED) {
        return Fail<OvUInt32>(ovERRENGINENOTSTARTED);
    }
    std::memcpy(settings, Module()->settings, sizeof kDefaultSettings);
    return settings;
}

OvBool OvStubReturnTrue() { return TRUE; }
