#pragma once
// The render-pipeline module (engine module 0x409): small graphs of processing nodes that the
// engine runs to draw one kind of object. A pipeline is edited while locked (fragments of node
// definitions chained first output to next node), compiled when unlocked (nodes ordered from
// the entry node, use counts and node callbacks run) and executed by calling its first node's
// body, which reaches any further node itself.

#include "graphics/core/memory.h"
#include "graphics/core/types.h"

struct OvPipeline;
struct OvPipelineNode;
struct OvNodeDefinition;
struct OvPipelineHeap;

// Valid during one execution; every body receives it.
struct OvPipelineExecuteParams {
    void* data;           // the caller's data
    OvPipelineHeap* heap; // the cluster heap
};

using OvNodeBodyCallBack = OvBool (*)(OvPipelineNode* node, const OvPipelineExecuteParams* params);
using OvNodeInitCallBack = OvBool (*)(OvNodeDefinition* definition);
using OvNodeTermCallBack = void (*)(OvNodeDefinition* definition);
using OvPipelineNodeInitCallBack = OvBool (*)(OvPipelineNode* node);
using OvPipelineNodeTermCallBack = void (*)(OvPipelineNode* node);
using OvPipelineNodeConfigCallBack = OvBool (*)(OvPipelineNode* node, OvPipeline* pipeline);

// A cluster a node works on: its type record (never null) and two further words.
struct OvNodeClusterOfInterest {
    const void* clusterType;
    OvUInt32 word1;
    OvUInt32 word2;
};

// One output of a definition: pass modes per cluster of interest and for every other cluster
// (0 passes along, 1 created here, 2 ends here).
struct OvNodeOutput {
    OvUInt32 word;
    const OvUInt32* passModes;
    OvUInt32 otherPassMode;
};

// Static record owned by the module that defines a node; every field may be zero and a null
// callback is skipped.
struct OvNodeDefinition {
    const char* name;
    OvNodeBodyCallBack body;
    OvNodeInitCallBack init;                 // when the use count goes from 0 to 1
    OvNodeTermCallBack term;                 // when the use count returns to 0
    OvPipelineNodeInitCallBack nodeInit;     // per node at compilation
    OvPipelineNodeTermCallBack nodeTerm;     // per node at lock, removal, undone compilation
    OvPipelineNodeConfigCallBack nodeConfig; // per node after every init succeeded
    OvUInt32 spare;                          // not read here
    OvUInt32 numClustersOfInterest;          // at most 32
    const OvNodeClusterOfInterest* clusters; // numClustersOfInterest entries
    const OvUInt32* clusterModes;            // per cluster: 0, 1 creates, 2 consumes
    OvUInt32 numOutputs;                     // at most 32 and below the maximum node count
    const OvNodeOutput* outputs;             // numOutputs entries
    OvUInt32 privateDataSize;                // bytes
    OvUInt32 allocated;                      // nonzero: engine memory, freed with its last node
    OvUInt32 useCount;                       // nodes compiled from this definition
};

inline constexpr OvUInt32 ovPIPELINENOTCONNECTED = 0xFFFFFFFFu;
inline constexpr OvUInt32 ovPIPELINEMAXOUTPUTS = 32;
inline constexpr OvUInt32 ovPIPELINEMAXCLUSTERS = 32;

struct OvPipelineNode {
    OvNodeDefinition* definition; // null: empty slot
    OvUInt32 numOutputs;
    OvUInt32* outputs;     // node indices, ovPIPELINENOTCONNECTED when open
    OvUInt32* slotTable;   // per cluster slot: 1 when that cluster is at this node, else 0; null while locked
    OvUInt32* outputMasks; // [0] the AND of the node's masks, then per slot the outputs it passes along
    void* privateData;     // zero-filled, definition's size rounded up to 4, aligned for any type; null while locked
    OvInt32* clusterSlots; // per cluster of interest: its slot, -1 when none; null while locked
    OvUInt32* inputs;      // {number of inputs, inputs placed, spare}
    void* initData;        // attached by the node's own callbacks; freed with the node
    OvUInt32 initDataSize;
};

enum OvPipelineState : OvUInt32 {
    ovPIPELINEUNLOCKED = 0, // compiled, executable
    ovPIPELINELOCKED = 1,   // editable
};

// One cluster instance travelling through a pipeline (one per cluster slot). Heap data that an
// execution does not release lives until the heap's next reset.
struct OvPipelineClusterInstance {
    OvUInt16 flags; // ovPIPELINECLUSTERNOTHEAP: data not owned by the cluster heap
    OvUInt16 spare;
    void* data; // from the cluster heap unless flagged
    OvUInt32 words[3];
};
inline constexpr OvUInt16 ovPIPELINECLUSTERNOTHEAP = 0x2;

// The cluster instances of a compiled pipeline.
struct OvPipelineClusterInstances {
    OvUInt16 count;
    OvUInt16 numSlots;
    OvPipeline* pipeline;
    OvUInt32 heapResets;                    // the heap's reset count when the instances last took data from it
    OvPipelineClusterInstance instances[1]; // numSlots records
};

// A cluster the first node creates (mode 1) or consumes (mode 2), with its slot.
struct OvPipelineEntryCluster {
    const void* clusterType;
    OvUInt32 mode;
    OvUInt32 slot;
};

struct OvPipeline {
    OvUInt32 state; // OvPipelineState
    OvUInt32 numNodes;
    OvPipelineNode* nodes;
    OvUInt32 numClusterSlots;
    OvUInt32 executionStage; // above 1 after the body: the cluster instances are released
    OvPipelineClusterInstances* clusterInstances;
    OvUInt32 numEntryClusters;
    OvPipelineEntryCluster* entryClusters; // sorted by cluster type
    void* block; // one allocation: nodes, output rows, input records, private data, cluster tables
    OvUInt32 blockSize;
    OvUInt32 entryNode;
    OvUInt32 ownerPluginId; // the creator's; not touched here
    OvUInt32 ownerData;     // the creator's; not touched here
};

struct OvPipelineHeapBlock;

// The cluster heap handed to every body: blocks of chunks, each chunk behind a 32-byte header;
// a request no free chunk can take gets a block of its own.
struct OvPipelineHeap {
    OvUInt32 blockSize;         // bytes of a block's chunk space (at least 1,024)
    OvPipelineHeapBlock* first; // the blocks, linked
    OvBool dirty;               // set by an allocation; a reset clears it
    OvUInt32 resets;            // resets so far: data taken before the last one is no longer held
};

inline constexpr OvInt32 ovPIPELINENUMSETTINGS = 11;

// The module's data in the engine instance.
struct OvPipelineModule {
    OvFreeList* freeList;
    OvUInt32 settings[ovPIPELINENUMSETTINGS];
    OvUInt32 maxNodes;
};

// Errors of the module (plugin id 1).
inline constexpr OvInt32 ovERRPIPELINECYCLE = 28;        // ordering could not place every node
inline constexpr OvInt32 ovERRPIPELINECLUSTERMODE = 29;  // cluster mode conflict
inline constexpr OvInt32 ovERRPIPELINECLUSTERTWICE = 30; // one node names a cluster type twice
inline constexpr OvInt32 ovERRPIPELINECLUSTERTYPE = 31;  // cluster of interest without a type
inline constexpr OvInt32 ovERRPIPELINESCRATCH = 32;      // compilation scratch area exhausted
// Cluster tables of one compilation: nodes times distinct cluster types at most this.
inline constexpr OvUInt32 ovPIPELINESCRATCHENTRIES = 2048;
inline constexpr OvInt32 ovERRPIPELINENOINPUT = 34;   // a node other than the entry has no inputs
inline constexpr OvInt32 ovERRPIPELINEENTRY = 36;     // bad entry node, or nothing to execute
inline constexpr OvInt32 ovERRPIPELINECLUSTERS = 40;  // a definition with too many clusters
inline constexpr OvInt32 ovERRPIPELINEOUTPUTS = 41;   // a definition with too many outputs
inline constexpr OvInt32 ovERRPIPELINENODES = 42;     // too many nodes
inline constexpr OvInt32 ovERRPIPELINENOTLOCKED = 52; // edit or compile of an unlocked pipeline
inline constexpr OvInt32 ovERRENGINENOTSTARTED = static_cast<OvInt32>(0x80000018u);

void* OvPipelineOpen(void* instance, OvInt32 offset, OvInt32 size);
// Run by OvEngineStop: pipelines still allocated go with the pool.
void* OvPipelineClose(void* instance, OvInt32 offset, OvInt32 size);

OvPipeline* OvPipelineCreate();
// Take it off the atomics, materials, sectors, worlds, Im3D and defaults that name it first: no back-link.
void OvPipelineDestroy(OvPipeline* pipeline);
OvPipeline* OvPipelineLock(OvPipeline* pipeline);
// Appends a chain of nodes, one per definition up to the terminating null; the first node's
// index goes to firstNode. On failure the pipeline is as it was.
OvPipeline* OvPipelineAddFragment(OvPipeline* pipeline, OvUInt32* firstNode, ...);
OvPipeline* OvPipelineUnlock(OvPipeline* pipeline);
// The first node after startAfter (from the first when null) whose definition has the name.
OvPipelineNode* OvPipelineFindNode(OvPipeline* pipeline, const char* name, OvPipelineNode* startAfter, OvInt32* index);
// Runs the first node's body; a locked or empty pipeline is not run (null).
OvPipeline* OvPipelineExecute(OvPipeline* pipeline, void* data, OvBool resetHeap);
OvPipelineHeap* OvPipelineGetHeap();

// The cluster heap: created with at least 1,024 bytes (null when out of memory); a reset makes
// every block one free chunk again. Allocations are 16-byte aligned; a freed chunk merges with
// free neighbours.
OvPipelineHeap* OvPipelineHeapCreate(OvUInt32 size);
void OvPipelineHeapDestroy(OvPipelineHeap* heap);
void OvPipelineHeapReset(OvPipelineHeap* heap);
void* OvPipelineHeapAlloc(OvPipelineHeap* heap, OvUInt32 size);
void OvPipelineHeapFree(OvPipelineHeap* heap, void* data);
// Free chunks and their bytes over all blocks, for checks.
OvUInt32 OvPipelineHeapFreeChunks(const OvPipelineHeap* heap, OvUInt32* freeBytes);
OvUInt32* OvPipelineGetSettings(OvUInt32* settings);
// The pipeline being executed, or null.
OvPipeline* OvPipelineGetCurrent();

// Shared body that does nothing and succeeds.
OvBool OvStubReturnTrue();
