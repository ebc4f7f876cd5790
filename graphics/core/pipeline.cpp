#include "graphics/core/pipeline.h"

#include <algorithm>
#include <cstdarg>
#include <cstdint>
#include <cstddef>
#include <cstring>
#include <unordered_map>
#include <utility>
#include <vector>

#include "graphics/core/engine.h"
#include "graphics/core/error.h"

namespace {

OvInt32 gModuleOffset = -1;
bool gModuleOpen = false;
OvPipelineHeap* gHeap = nullptr;
OvPipeline* gCurrent = nullptr;
OvPipelineExecuteParams gParams = {nullptr, nullptr};
// Nodes, in every pipeline, locked or not, that name each definition allocated from engine memory:
// such a definition goes with the last of them. Its use count cannot tell, as it counts compiled
// nodes only.
std::unordered_map<const OvNodeDefinition*, OvUInt32> gAllocatedNamed;

constexpr OvUInt32 kInitialHeapSize = 4096;
constexpr OvUInt32 kMinimumHeapSize = 1024;
constexpr OvUInt32 kMaxNodes = 64;
constexpr OvInt32 kPipelinesPerBlock = 64;
constexpr OvUInt32 kRecordHint = ovMEMHINTDUR_OBJECT | ovPLUGINIDPIPELINE;
// A pipeline's block is made for the pipeline's life and resized with the module's lifetime.
constexpr OvUInt32 kBlockHint = ovMEMHINTFLAG_RESIZABLE | ovMEMHINTDUR_OBJECT | ovPLUGINIDPIPELINE;
constexpr OvUInt32 kBlockResizeHint = ovMEMHINTFLAG_RESIZABLE | ovMEMHINTDUR_GLOBAL | ovPLUGINIDPIPELINE;
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
    void* block = p->block == nullptr ? OvMalloc(bytes, kBlockHint) : OvRealloc(p->block, bytes, kBlockResizeHint);
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

// A node's private data: the definition's size rounded up to 4 bytes, zero-filled. Each area
// starts on a boundary fit for anything a node keeps there (pointers, doubles), so the areas are
// laid out at steps of that alignment, with slack for aligning the first.
constexpr std::size_t kPrivateAlign = alignof(std::max_align_t);
OvUInt32 PrivateBytes(const OvNodeDefinition* d) { return (d->privateDataSize + 3u) & ~3u; }
std::size_t PrivateSpan(const OvNodeDefinition* d) {
    return (PrivateBytes(d) + kPrivateAlign - 1) & ~(kPrivateAlign - 1);
}

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
    p->numClusterSlots = 0;
    p->clusterInstances = nullptr;
    p->numEntryClusters = 0;
    p->entryClusters = nullptr;
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
        if (auto named = gAllocatedNamed.find(d); named != gAllocatedNamed.end() && --named->second == 0) {
            gAllocatedNamed.erase(named);
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

// The cluster heap ----------------------------------------------------------------------------------

// A chunk begins with this 32-byte header; its size counts the bytes behind it.
struct Chunk {
    Chunk* previous;
    Chunk* next;
    OvUInt32 size;
    OvUInt32 free;
    std::uint64_t reserved;
};
static_assert(sizeof(Chunk) == 32);

} // namespace

struct OvPipelineHeapBlock {
    void* allocation;
    OvPipelineHeapBlock* next;
    OvUInt32 size; // bytes of chunk space, headers included
    Chunk* first;
};

namespace {

constexpr OvUInt32 kHeapBlockHint = ovMEMHINTFLAG_RESIZABLE | ovMEMHINTDUR_GLOBAL | ovPLUGINIDPIPELINE;

void LayOutBlock(OvPipelineHeapBlock* b) {
    b->first->previous = nullptr;
    b->first->next = nullptr;
    b->first->size = b->size - static_cast<OvUInt32>(sizeof(Chunk));
    b->first->free = 1;
}

// A block of chunk space (rounded up to 32 bytes, at least 128), its chunks 128-byte aligned.
OvPipelineHeapBlock* NewBlock(OvUInt32 size) {
    size = std::max<OvUInt32>((size + 31u) & ~31u, 128);
    void* allocation = OvMalloc(sizeof(OvPipelineHeapBlock) + 127 + size, kHeapBlockHint);
    if (allocation == nullptr) {
        return nullptr;
    }
    auto* b = static_cast<OvPipelineHeapBlock*>(allocation);
    const auto chunks =
        (reinterpret_cast<std::uintptr_t>(allocation) + sizeof(OvPipelineHeapBlock) + 127) & ~std::uintptr_t{127};
    *b = {allocation, nullptr, size, reinterpret_cast<Chunk*>(chunks)};
    LayOutBlock(b);
    return b;
}

void* TakeChunk(OvPipelineHeap* heap, OvUInt32 need) {
    for (OvPipelineHeapBlock* b = heap->first; b != nullptr; b = b->next) {
        for (Chunk* c = b->first; c != nullptr; c = c->next) {
            if (!c->free || c->size < need) {
                continue;
            }
            if (c->size - need >= sizeof(Chunk) + 16) {
                auto* rest = reinterpret_cast<Chunk*>(reinterpret_cast<char*>(c + 1) + need);
                *rest = {c, c->next, c->size - need - static_cast<OvUInt32>(sizeof(Chunk)), 1, 0};
                if (c->next != nullptr) {
                    c->next->previous = rest;
                }
                c->next = rest;
                c->size = need;
            }
            c->free = 0;
            heap->dirty = TRUE;
            return c + 1;
        }
    }
    return nullptr;
}

// Cluster wiring ----------------------------------------------------------------------------------

// A cluster in a node's table while wiring.
struct Wire {
    const void* type;
    OvUInt32 mode;    // 1 created, 2 consumed, 0 only of interest here
    OvUInt32 refs;    // inputs of the node that may still bring it
    OvUInt32 mask;    // outputs it passes along
    OvUInt32 unionId; // its group (index into the union-find)
};

// A cluster that passes along an output: (node, type) feeds (target, type).
struct Link {
    OvUInt32 from;
    OvUInt32 to;
    const void* type;
};

struct Wiring {
    std::vector<std::vector<Wire>> tables;
    std::vector<Link> links;
    std::vector<OvUInt32> parent; // union-find over wires
};

OvInt32 InterestIndex(const OvNodeDefinition* d, const void* type) {
    for (OvUInt32 c = 0; c < d->numClustersOfInterest; ++c) {
        if (d->clusters[c].clusterType == type) {
            return static_cast<OvInt32>(c);
        }
    }
    return -1;
}

Wire* FindWire(std::vector<Wire>& table, const void* type) {
    for (Wire& w : table) {
        if (w.type == type) {
            return &w;
        }
    }
    return nullptr;
}

OvUInt32 NewUnion(Wiring& w) {
    w.parent.push_back(static_cast<OvUInt32>(w.parent.size()));
    return static_cast<OvUInt32>(w.parent.size() - 1);
}

OvUInt32 FindUnion(Wiring& w, OvUInt32 u) {
    while (w.parent[u] != u) {
        w.parent[u] = w.parent[w.parent[u]];
        u = w.parent[u];
    }
    return u;
}

// The pass mode of a cluster type on one of a node's outputs.
OvUInt32 PassMode(const OvNodeDefinition* d, OvUInt32 output, const void* type) {
    const OvNodeOutput& o = d->outputs[output];
    const OvInt32 c = InterestIndex(d, type);
    if (c >= 0) {
        return o.passModes != nullptr ? o.passModes[c] : 0;
    }
    return o.otherPassMode;
}

// No input of the node brings the cluster any more: it leaves the node and, in turn, the nodes
// it was passed on to.
void Withdraw(Wiring& w, OvUInt32 node, const void* type) {
    std::vector<Wire>& table = w.tables[node];
    table.erase(std::remove_if(table.begin(), table.end(), [&](const Wire& e) { return e.type == type; }), table.end());
    std::vector<OvUInt32> below;
    for (auto it = w.links.begin(); it != w.links.end();) {
        if (it->from == node && it->type == type) {
            below.push_back(it->to);
            it = w.links.erase(it);
        } else {
            ++it;
        }
    }
    for (OvUInt32 to : below) {
        if (Wire* e = FindWire(w.tables[to], type); e != nullptr && e->refs > 0 && --e->refs == 0) {
            Withdraw(w, to, type);
        }
    }
}

// The clusters of interest of every node: each names a type, and no node names one twice.
OvInt32 CheckClusters(OvPipeline* p, OvUInt32* distinct) {
    std::vector<const void*> types;
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
            if (std::find(types.begin(), types.end(), d->clusters[c].clusterType) == types.end()) {
                types.push_back(d->clusters[c].clusterType);
            }
        }
    }
    *distinct = static_cast<OvUInt32>(types.size());
    return 0;
}

// Which clusters reach each node, along which outputs they pass, and the groups of table entries
// that are one cluster instance travelling through the pipeline. The nodes are ordered, so every
// output names a later node: wiring runs from the last node to the first.
OvInt32 WireClusters(OvPipeline* p, OvUInt32 distinct, Wiring& w) {
    w.tables.assign(p->numNodes, {});
    for (OvUInt32 i = p->numNodes; i-- > 0;) {
        // Every node's table holds up to one entry per distinct type, from the scratch area.
        if (static_cast<std::uint64_t>(p->numNodes - i) * distinct > ovPIPELINESCRATCHENTRIES) {
            return ovERRPIPELINESCRATCH;
        }
        const OvPipelineNode& n = p->nodes[i];
        const OvNodeDefinition* d = n.definition;
        std::vector<Wire>& table = w.tables[i];
        for (OvUInt32 k = 0; k < n.numOutputs; ++k) {
            const OvUInt32 t = n.outputs[k];
            if (t == ovPIPELINENOTCONNECTED) {
                continue;
            }
            for (std::size_t e = 0; e < w.tables[t].size();) {
                Wire target = w.tables[t][e];
                const OvUInt32 pass = PassMode(d, k, target.type);
                if (pass != 0 && target.mode == 1 && pass != 1) {
                    return ovERRPIPELINECLUSTERMODE;
                }
                if (pass == 0) {
                    Wire* mine = FindWire(table, target.type);
                    if (mine == nullptr) {
                        table.push_back({target.type, target.mode, n.inputs[0], 0, NewUnion(w)});
                        mine = &table.back();
                    }
                    mine->mask |= 1u << k;
                    w.parent[FindUnion(w, mine->unionId)] = FindUnion(w, target.unionId);
                    w.links.push_back({i, t, target.type});
                } else if (pass == 2 && target.mode != 1 && --w.tables[t][e].refs == 0) {
                    Withdraw(w, t, target.type);
                    continue; // the entry at e is gone
                }
                ++e;
            }
        }
        // The node's own clusters: those it brings in, then the rest of interest.
        for (int pass = 0; pass < 2; ++pass) {
            for (OvUInt32 c = 0; c < d->numClustersOfInterest; ++c) {
                const OvUInt32 mode = d->clusterModes != nullptr ? d->clusterModes[c] : 0;
                if ((pass == 0) != (mode != 0)) {
                    continue;
                }
                Wire* mine = FindWire(table, d->clusters[c].clusterType);
                if (mine == nullptr) {
                    table.push_back({d->clusters[c].clusterType, mode, n.inputs[0], 0, NewUnion(w)});
                } else if (mode != 0) {
                    mine->mode = mode;
                }
            }
        }
    }
    return 0;
}

// Slots: each group takes the lowest slot that no node of the group uses yet.
OvUInt32 AssignSlots(Wiring& w, std::vector<std::vector<OvUInt32>>& slots) {
    std::vector<OvInt32> groupSlot(w.parent.size(), -1);
    std::vector<std::vector<OvUInt32>> groupNodes(w.parent.size());
    for (OvUInt32 i = 0; i < w.tables.size(); ++i) {
        for (const Wire& e : w.tables[i]) {
            groupNodes[FindUnion(w, e.unionId)].push_back(i);
        }
    }
    std::vector<std::uint64_t> used(w.tables.size(), 0); // slots below 64 in use per node
    std::vector<std::vector<OvUInt32>> usedHigh(w.tables.size());
    OvUInt32 count = 0;
    slots.assign(w.tables.size(), {});
    for (OvUInt32 i = 0; i < w.tables.size(); ++i) {
        for (const Wire& e : w.tables[i]) {
            const OvUInt32 g = FindUnion(w, e.unionId);
            if (groupSlot[g] < 0) {
                OvUInt32 slot = 0;
                const auto taken = [&](OvUInt32 s) {
                    return std::any_of(groupNodes[g].begin(), groupNodes[g].end(), [&](OvUInt32 node) {
                        return s < 64
                                   ? (used[node] >> s & 1u) != 0
                                   : std::find(usedHigh[node].begin(), usedHigh[node].end(), s) != usedHigh[node].end();
                    });
                };
                while (taken(slot)) {
                    ++slot;
                }
                for (OvUInt32 node : groupNodes[g]) {
                    if (slot < 64) {
                        used[node] |= std::uint64_t{1} << slot;
                    } else {
                        usedHigh[node].push_back(slot);
                    }
                }
                groupSlot[g] = static_cast<OvInt32>(slot);
                count = std::max(count, slot + 1);
            }
            slots[i].push_back(static_cast<OvUInt32>(groupSlot[g]));
        }
    }
    return count;
}

template <typename T> T* Carve(char** at, std::size_t count) {
    *at = reinterpret_cast<char*>((reinterpret_cast<std::uintptr_t>(*at) + 7) & ~std::uintptr_t{7});
    T* out = reinterpret_cast<T*>(*at);
    *at += sizeof(T) * count;
    return out;
}

// Bytes of the compiled cluster layout (with alignment slack).
std::size_t ClusterBytes(const OvPipeline* p, const Wiring& w, OvUInt32 numSlots) {
    std::size_t bytes = sizeof(OvPipelineClusterInstances) + sizeof(OvPipelineClusterInstance) * numSlots + 8;
    for (OvUInt32 i = 0; i < p->numNodes; ++i) {
        bytes += sizeof(OvUInt32) * (2 * numSlots + 1) +
                 sizeof(OvInt32) * p->nodes[i].definition->numClustersOfInterest + 24;
    }
    bytes += sizeof(OvPipelineEntryCluster) * (w.tables.empty() ? 0 : w.tables[0].size()) + 8;
    return bytes;
}

// Lays the wiring out in the block from `at`: the cluster instances, each node's slot table,
// output masks and cluster-of-interest slots, and the entry clusters.
void LayOutClusters(OvPipeline* p, const Wiring& w, const std::vector<std::vector<OvUInt32>>& slots, OvUInt32 numSlots,
                    char* at) {
    p->numClusterSlots = numSlots;
    p->clusterInstances = nullptr;
    p->entryClusters = nullptr;
    p->numEntryClusters = 0;
    if (numSlots == 0) {
        return;
    }
    p->clusterInstances = Carve<OvPipelineClusterInstances>(&at, 1);
    at += sizeof(OvPipelineClusterInstance) * (numSlots - 1);
    std::memset(p->clusterInstances, 0,
                sizeof(OvPipelineClusterInstances) + sizeof(OvPipelineClusterInstance) * (numSlots - 1));
    p->clusterInstances->count = static_cast<OvUInt16>(numSlots);
    p->clusterInstances->numSlots = static_cast<OvUInt16>(numSlots);
    p->clusterInstances->pipeline = p;
    for (OvUInt32 i = 0; i < p->numNodes; ++i) {
        OvPipelineNode& n = p->nodes[i];
        n.slotTable = Carve<OvUInt32>(&at, numSlots);
        n.outputMasks = Carve<OvUInt32>(&at, numSlots + 1);
        n.clusterSlots = Carve<OvInt32>(&at, n.definition->numClustersOfInterest);
        std::fill(n.slotTable, n.slotTable + numSlots, 0u);
        std::fill(n.outputMasks, n.outputMasks + numSlots + 1, 0u);
        std::fill(n.clusterSlots, n.clusterSlots + n.definition->numClustersOfInterest, -1);
        OvUInt32 all = ~0u;
        for (std::size_t e = 0; e < w.tables[i].size(); ++e) {
            const Wire& wire = w.tables[i][e];
            const OvUInt32 slot = slots[i][e];
            n.slotTable[slot] = 1;
            n.outputMasks[1 + slot] = wire.mask;
            all &= wire.mask;
            if (const OvInt32 c = InterestIndex(n.definition, wire.type); c >= 0) {
                n.clusterSlots[c] = static_cast<OvInt32>(slot);
            }
        }
        n.outputMasks[0] = w.tables[i].empty() ? 0 : all;
    }
    std::vector<OvPipelineEntryCluster> entry;
    for (std::size_t e = 0; e < w.tables[0].size(); ++e) {
        const Wire& wire = w.tables[0][e];
        if (wire.mode == 1 || wire.mode == 2) {
            entry.push_back({wire.type, wire.mode, slots[0][e]});
        }
    }
    std::sort(entry.begin(), entry.end(), [](const OvPipelineEntryCluster& a, const OvPipelineEntryCluster& b) {
        return std::less<const void*>()(a.clusterType, b.clusterType);
    });
    p->numEntryClusters = static_cast<OvUInt32>(entry.size());
    if (!entry.empty()) {
        p->entryClusters = Carve<OvPipelineEntryCluster>(&at, entry.size());
        std::copy(entry.begin(), entry.end(), p->entryClusters);
    }
}

// Frees the heap data of every cluster instance and clears the instances.
void ReleaseInstances(OvPipeline* p) {
    OvPipelineClusterInstances* ci = p->clusterInstances;
    if (ci == nullptr) {
        return;
    }
    // Data taken before a reset of the heap went with the reset: only what is still held is freed.
    const bool held = gHeap != nullptr && gHeap->resets == ci->heapResets;
    for (OvUInt32 s = 0; s < ci->numSlots; ++s) {
        OvPipelineClusterInstance& inst = ci->instances[s];
        if (inst.data != nullptr && (inst.flags & ovPIPELINECLUSTERNOTHEAP) == 0 && held) {
            OvPipelineHeapFree(gHeap, inst.data);
        }
        inst = {};
    }
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
    OvPipelineHeap* heap = OvPipelineHeapCreate(kInitialHeapSize);
    if (heap == nullptr) {
        return nullptr;
    }
    module->freeList = OvFreeListCreate(sizeof(OvPipeline), kPipelinesPerBlock, 4, kGlobalHint);
    if (module->freeList == nullptr) {
        OvPipelineHeapDestroy(heap);
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
    OvPipelineHeapDestroy(gHeap);
    gHeap = nullptr;
    gAllocatedNamed.clear();
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
        if (d->allocated) {
            ++gAllocatedNamed[d];
        }
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
    std::size_t bytes = LockedBytes() + kPrivateAlign - 1;
    for (OvUInt32 i = 0; i < pipeline->numNodes; ++i) {
        bytes += PrivateSpan(pipeline->nodes[i].definition);
    }
    if (!EnsureBlock(pipeline, bytes)) {
        return nullptr;
    }
    if (const OvInt32 error = Order(pipeline); error != 0) {
        return Fail<OvPipeline>(error);
    }
    OvUInt32 distinct = 0;
    Wiring wiring;
    std::vector<std::vector<OvUInt32>> slots;
    OvInt32 error = CheckClusters(pipeline, &distinct);
    if (error == 0) {
        error = WireClusters(pipeline, distinct, wiring);
    }
    if (error != 0) {
        return Fail<OvPipeline>(error);
    }
    const OvUInt32 numSlots = AssignSlots(wiring, slots);
    if (!EnsureBlock(pipeline, bytes + ClusterBytes(pipeline, wiring, numSlots))) {
        return nullptr;
    }
    const auto start = reinterpret_cast<std::uintptr_t>(pipeline->block) + LockedBytes();
    char* data = reinterpret_cast<char*>((start + kPrivateAlign - 1) & ~std::uintptr_t{kPrivateAlign - 1});
    for (OvUInt32 i = 0; i < pipeline->numNodes; ++i) {
        OvPipelineNode& n = pipeline->nodes[i];
        const std::size_t span = PrivateSpan(n.definition);
        std::memset(data, 0, span);
        n.privateData = span > 0 ? data : nullptr;
        data += span;
    }
    LayOutClusters(pipeline, wiring, slots, numSlots, data);
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
        OvPipelineHeapReset(gHeap);
    }
    // Whatever the instances kept from the heap is gone once the heap was reset, by this run or
    // by any other pipeline's.
    if (OvPipelineClusterInstances* ci = pipeline->clusterInstances; ci != nullptr && gHeap != nullptr) {
        if (ci->heapResets != gHeap->resets) {
            std::fill(ci->instances, ci->instances + ci->numSlots, OvPipelineClusterInstance{});
            ci->heapResets = gHeap->resets;
        }
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
        ReleaseInstances(pipeline);
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

OvPipelineHeap* OvPipelineHeapCreate(OvUInt32 size) {
    auto* heap = static_cast<OvPipelineHeap*>(OvMalloc(sizeof(OvPipelineHeap), kGlobalHint));
    if (heap == nullptr) {
        return nullptr;
    }
    heap->blockSize = std::max(size, kMinimumHeapSize);
    heap->dirty = FALSE;
    heap->resets = 0;
    heap->first = NewBlock(heap->blockSize);
    if (heap->first == nullptr) {
        OvFree(heap);
        return nullptr;
    }
    return heap;
}

void OvPipelineHeapDestroy(OvPipelineHeap* heap) {
    if (heap == nullptr) {
        return;
    }
    for (OvPipelineHeapBlock* b = heap->first; b != nullptr;) {
        OvPipelineHeapBlock* next = b->next;
        OvFree(b->allocation);
        b = next;
    }
    OvFree(heap);
}

void OvPipelineHeapReset(OvPipelineHeap* heap) {
    for (OvPipelineHeapBlock* b = heap->first; b != nullptr; b = b->next) {
        LayOutBlock(b);
    }
    heap->dirty = FALSE;
    ++heap->resets;
}

void* OvPipelineHeapAlloc(OvPipelineHeap* heap, OvUInt32 size) {
    if (heap == nullptr || size > 0x7FFFFFFFu - 1024) {
        return Fail<void>(ovERRNOMEMORY);
    }
    const OvUInt32 need = std::max<OvUInt32>((size + 15u) & ~15u, 16);
    if (void* data = TakeChunk(heap, need)) {
        return data;
    }
    // No free chunk takes it: a new block, at least the heap's block size.
    OvPipelineHeapBlock* b = NewBlock(std::max<OvUInt32>(heap->blockSize, need + static_cast<OvUInt32>(sizeof(Chunk))));
    if (b == nullptr) {
        return Fail<void>(ovERRNOMEMORY);
    }
    b->next = heap->first;
    heap->first = b;
    return TakeChunk(heap, need);
}

void OvPipelineHeapFree(OvPipelineHeap*, void* data) {
    if (data == nullptr) {
        return;
    }
    Chunk* c = static_cast<Chunk*>(data) - 1;
    if (c->free) {
        return; // freed before
    }
    c->free = 1;
    const auto merge = [](Chunk* left) {
        Chunk* right = left->next;
        left->size += static_cast<OvUInt32>(sizeof(Chunk)) + right->size;
        left->next = right->next;
        if (right->next != nullptr) {
            right->next->previous = left;
        }
    };
    if (c->next != nullptr && c->next->free) {
        merge(c);
    }
    if (c->previous != nullptr && c->previous->free) {
        merge(c->previous);
    }
}

OvUInt32 OvPipelineHeapFreeChunks(const OvPipelineHeap* heap, OvUInt32* freeBytes) {
    OvUInt32 chunks = 0, bytes = 0;
    for (const OvPipelineHeapBlock* b = heap->first; b != nullptr; b = b->next) {
        for (const Chunk* c = b->first; c != nullptr; c = c->next) {
            if (c->free) {
                ++chunks;
                bytes += c->size;
            }
        }
    }
    if (freeBytes != nullptr) {
        *freeBytes = bytes;
    }
    return chunks;
}

OvBool OvStubReturnTrue() { return TRUE; }
