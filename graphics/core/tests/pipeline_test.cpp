#include "graphics/core/pipeline.h"

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <functional>
#include <memory>
#include <vector>

#include "graphics/core/im3d.h"
#include "graphics/core/testkit/engine_fixture.h"
#include "graphics/core/tests/started_engine.h"

namespace {

// Calls of every callback, in order, by definition name.
std::vector<std::string> gCalls;
bool gFailNodeInit = false;
bool gPrivateZero = false; // the last body found its private data zero-filled

OvBool Body(OvPipelineNode* node, const OvPipelineExecuteParams* params) {
    gCalls.push_back(std::string("body ") + node->definition->name);
    // The private data is zero-filled when the node is compiled.
    const auto* data = static_cast<const OvUInt8*>(node->privateData);
    gPrivateZero = true;
    for (OvUInt32 i = 0; data != nullptr && i < ((node->definition->privateDataSize + 3) & ~3u); ++i) {
        gPrivateZero = gPrivateZero && data[i] == 0;
    }
    if (data != nullptr) {
        std::memset(node->privateData, 0xAB, node->definition->privateDataSize);
    }
    return params->data != nullptr ? TRUE : FALSE;
}
OvBool Init(OvNodeDefinition* d) {
    gCalls.push_back(std::string("init ") + d->name);
    return TRUE;
}
void Term(OvNodeDefinition* d) { gCalls.push_back(std::string("term ") + d->name); }
OvBool NodeInit(OvPipelineNode* n) {
    gCalls.push_back(std::string("nodeinit ") + n->definition->name);
    return gFailNodeInit && std::strcmp(n->definition->name, "first") == 0 ? FALSE : TRUE;
}
void NodeTerm(OvPipelineNode* n) { gCalls.push_back(std::string("nodeterm ") + n->definition->name); }

OvNodeDefinition Definition(const char* name, OvUInt32 outputs, OvUInt32 privateSize = 0) {
    OvNodeDefinition d{};
    d.name = name;
    d.body = Body;
    d.init = Init;
    d.term = Term;
    d.nodeInit = NodeInit;
    d.nodeTerm = NodeTerm;
    d.numOutputs = outputs;
    d.privateDataSize = privateSize;
    return d;
}

class PipelineTest : public StartedEngine {
protected:
    void SetUp() override {
        StartedEngine::SetUp();
        gCalls.clear();
        gFailNodeInit = false;
    }
};

TEST_F(PipelineTest, LifeCycleAndItsErrors) {
    OvNodeDefinition leaf = Definition("leaf", 0, 5);
    OvPipeline* p = OvPipelineCreate();
    ASSERT_NE(p, nullptr);
    // Nothing runs from a pipeline that is locked or has no node.
    EXPECT_EQ(OvPipelineExecute(p, p, TRUE), nullptr);
    EXPECT_EQ(ClearError(), ovERRPIPELINEENTRY);
    EXPECT_EQ(OvPipelineAddFragment(p, nullptr, &leaf, nullptr), nullptr);
    EXPECT_EQ(ClearError(), ovERRPIPELINENOTLOCKED);
    EXPECT_EQ(OvPipelineUnlock(p), nullptr);
    EXPECT_EQ(ClearError(), ovERRPIPELINENOTLOCKED);
    EXPECT_EQ(OvPipelineAddFragment(nullptr, nullptr, &leaf, nullptr), nullptr);
    EXPECT_EQ(ClearError(), ovERRNULLARGUMENT);

    ASSERT_EQ(OvPipelineLock(p), p);
    EXPECT_EQ(OvPipelineExecute(p, p, TRUE), nullptr);
    EXPECT_EQ(ClearError(), ovERRPIPELINENOTLOCKED);
    EXPECT_EQ(OvPipelineUnlock(p), p); // an empty pipeline compiles
    ASSERT_EQ(OvPipelineLock(p), p);
    OvUInt32 first = 99;
    ASSERT_EQ(OvPipelineAddFragment(p, &first, &leaf, nullptr), p);
    EXPECT_EQ(first, 0u);
    ASSERT_EQ(OvPipelineUnlock(p), p);
    EXPECT_EQ(leaf.useCount, 1u);
    int data = 0;
    ASSERT_EQ(OvPipelineExecute(p, &data, FALSE), p);
    EXPECT_TRUE(gPrivateZero);
    EXPECT_EQ(OvPipelineExecute(p, nullptr, FALSE), nullptr); // the body's failure
    EXPECT_FALSE(gPrivateZero);
    // Relocked twice: the second lock touches nothing; the next compile gives fresh private data.
    ASSERT_EQ(OvPipelineLock(p), p);
    ASSERT_EQ(OvPipelineLock(p), p);
    EXPECT_EQ(p->nodes[0].privateData, nullptr);
    ASSERT_EQ(OvPipelineUnlock(p), p);
    ASSERT_EQ(OvPipelineExecute(p, &data, FALSE), p);
    EXPECT_TRUE(gPrivateZero);
    OvPipelineDestroy(p);
    const std::vector<std::string> expected = {"init leaf",     "nodeinit leaf", "body leaf", "body leaf",
                                               "nodeterm leaf", "term leaf",     "init leaf", "nodeinit leaf",
                                               "body leaf",     "nodeterm leaf", "term leaf"};
    EXPECT_EQ(gCalls, expected);
    EXPECT_EQ(leaf.useCount, 0u);
}

TEST_F(PipelineTest, FragmentsThatCannotBeBuiltLeaveThePipelineAsItWas) {
    OvNodeDefinition leaf = Definition("leaf", 0);
    OvNodeDefinition link = Definition("link", 1);
    OvNodeDefinition wide = Definition("wide", 33);
    OvNodeDefinition crowded = Definition("crowded", 0);
    crowded.numClustersOfInterest = 33;
    OvPipeline* p = OvPipelineLock(OvPipelineCreate());
    ASSERT_EQ(OvPipelineAddFragment(p, nullptr, &link, nullptr), p);
    const struct {
        std::vector<OvNodeDefinition*> chain;
        OvInt32 error;
    } cases[] = {
        {{&leaf, &leaf}, 0}, // the first node has no output to chain through
        {{&link, &wide}, ovERRPIPELINEOUTPUTS},
        {{&crowded}, ovERRPIPELINECLUSTERS},
        {std::vector<OvNodeDefinition*>(64, &link), ovERRPIPELINENODES},
    };
    for (const auto& c : cases) {
        ClearError();
        OvPipeline* result = nullptr;
        switch (c.chain.size()) {
        case 1:
            result = OvPipelineAddFragment(p, nullptr, c.chain[0], nullptr);
            break;
        case 2:
            result = OvPipelineAddFragment(p, nullptr, c.chain[0], c.chain[1], nullptr);
            break;
        default: {
            std::vector<OvNodeDefinition*> v = c.chain;
            result = OvPipelineAddFragment(
                p, nullptr, v[0], v[1], v[2], v[3], v[4], v[5], v[6], v[7], v[8], v[9], v[10], v[11], v[12], v[13],
                v[14], v[15], v[16], v[17], v[18], v[19], v[20], v[21], v[22], v[23], v[24], v[25], v[26], v[27], v[28],
                v[29], v[30], v[31], v[32], v[33], v[34], v[35], v[36], v[37], v[38], v[39], v[40], v[41], v[42], v[43],
                v[44], v[45], v[46], v[47], v[48], v[49], v[50], v[51], v[52], v[53], v[54], v[55], v[56], v[57], v[58],
                v[59], v[60], v[61], v[62], v[63], nullptr);
        }
        }
        EXPECT_EQ(result, nullptr);
        if (c.error != 0) {
            EXPECT_EQ(ClearError(), c.error);
        }
        EXPECT_EQ(p->numNodes, 1u);
        EXPECT_EQ(p->nodes[0].outputs[0], ovPIPELINENOTCONNECTED);
    }
    // 63 more links fill the pipeline to its 64 nodes.
    for (int i = 0; i < 63; ++i) {
        ASSERT_EQ(OvPipelineAddFragment(p, nullptr, &link, nullptr), p) << i;
    }
    EXPECT_EQ(OvPipelineAddFragment(p, nullptr, &leaf, nullptr), nullptr);
    EXPECT_EQ(ClearError(), ovERRPIPELINENODES);
    OvPipelineDestroy(p);
}

TEST_F(PipelineTest, CompilationOrdersFromTheEntryAndRefusesBadGraphs) {
    OvNodeDefinition leaf = Definition("leaf", 0);
    OvNodeDefinition first = Definition("first", 1);
    // Built as [leaf, first] with first -> leaf and first as the entry: compiled as [first, leaf].
    OvPipeline* p = OvPipelineLock(OvPipelineCreate());
    ASSERT_NE(OvPipelineAddFragment(p, nullptr, &leaf, nullptr), nullptr);
    ASSERT_NE(OvPipelineAddFragment(p, nullptr, &first, nullptr), nullptr);
    EXPECT_EQ(OvPipelineUnlock(p), nullptr);
    EXPECT_EQ(ClearError(), ovERRPIPELINENOINPUT); // first's output is not connected yet
    p->nodes[1].outputs[0] = 0;
    p->entryNode = 1;
    ASSERT_EQ(OvPipelineUnlock(p), p);
    EXPECT_EQ(p->nodes[0].definition, &first);
    EXPECT_EQ(p->nodes[0].outputs[0], 1u);
    EXPECT_EQ(p->nodes[1].definition, &leaf);
    OvInt32 index = -5;
    EXPECT_EQ(OvPipelineFindNode(p, "leaf", nullptr, &index), &p->nodes[1]);
    EXPECT_EQ(index, 1);
    EXPECT_EQ(OvPipelineFindNode(p, "leaf", &p->nodes[1], &index), nullptr);
    EXPECT_EQ(index, -1);

    // An entry with an input, a node only reachable through a cycle.
    ASSERT_EQ(OvPipelineLock(p), p);
    OvNodeDefinition loop = Definition("loop", 1);
    OvPipeline* q = OvPipelineLock(OvPipelineCreate());
    ASSERT_NE(OvPipelineAddFragment(q, nullptr, &first, &loop, nullptr), nullptr);
    q->nodes[1].outputs[0] = 0;
    EXPECT_EQ(OvPipelineUnlock(q), nullptr);
    EXPECT_EQ(ClearError(), ovERRPIPELINEENTRY);
    q->nodes[1].outputs[0] = 1;
    EXPECT_EQ(OvPipelineUnlock(q), nullptr);
    EXPECT_EQ(ClearError(), ovERRPIPELINECYCLE);
    q->entryNode = 5;
    EXPECT_EQ(OvPipelineUnlock(q), nullptr);
    EXPECT_EQ(ClearError(), ovERRPIPELINEENTRY);
    EXPECT_EQ(q->state, ovPIPELINELOCKED);
    OvPipelineDestroy(q);
    OvPipelineDestroy(p);
    EXPECT_EQ(first.useCount + leaf.useCount + loop.useCount, 0u);
}

TEST_F(PipelineTest, SharedDefinitionsInitOnceAndAFailedInitUndoesTheCompilation) {
    OvNodeDefinition first = Definition("first", 1);
    OvNodeDefinition leaf = Definition("leaf", 0);
    OvPipeline* a = OvPipelineLock(OvPipelineCreate());
    OvPipeline* b = OvPipelineLock(OvPipelineCreate());
    ASSERT_NE(OvPipelineAddFragment(a, nullptr, &leaf, nullptr), nullptr);
    ASSERT_NE(OvPipelineAddFragment(b, nullptr, &leaf, nullptr), nullptr);
    ASSERT_EQ(OvPipelineUnlock(a), a);
    ASSERT_EQ(OvPipelineUnlock(b), b);
    EXPECT_EQ(leaf.useCount, 2u);
    OvPipelineDestroy(a);
    OvPipelineLock(b);
    EXPECT_EQ(gCalls, (std::vector<std::string>{"init leaf", "nodeinit leaf", "nodeinit leaf", "nodeterm leaf",
                                                "nodeterm leaf", "term leaf"}));
    OvPipelineDestroy(b);

    // Nodes are initialised last first; when the first node refuses, the later one is undone.
    gCalls.clear();
    gFailNodeInit = true;
    OvPipeline* c = OvPipelineLock(OvPipelineCreate());
    ASSERT_NE(OvPipelineAddFragment(c, nullptr, &first, &leaf, nullptr), nullptr);
    EXPECT_EQ(OvPipelineUnlock(c), nullptr);
    EXPECT_EQ(c->state, ovPIPELINELOCKED);
    EXPECT_EQ(gCalls, (std::vector<std::string>{"init leaf", "nodeinit leaf", "init first", "nodeinit first",
                                                "term first", "nodeterm leaf", "term leaf"}));
    EXPECT_EQ(first.useCount + leaf.useCount, 0u);
    OvPipelineDestroy(c);

    OvUInt32 settings[ovPIPELINENUMSETTINGS] = {};
    ASSERT_EQ(OvPipelineGetSettings(settings), settings);
    EXPECT_EQ(settings[0], 7u);
    EXPECT_EQ(settings[8], 0xFFFFFFFFu);
    EXPECT_EQ(OvPipelineGetSettings(nullptr), nullptr);
    EXPECT_EQ(ClearError(), ovERRNULLARGUMENT);
}

// Engine frees, noted while a test watches them.
std::vector<void*> gFreed;
void (*gEngineFree)(void*) = nullptr;
void NotingFree(void* block) {
    gFreed.push_back(block);
    gEngineFree(block);
}

TEST_F(PipelineTest, AnAllocatedDefinitionGoesWithTheLastNodeThatNamesIt) {
    gEngineFree = OvEngineInstancePtr->memoryFuncs.free;
    OvEngineInstancePtr->memoryFuncs.free = NotingFree;
    OvNodeDefinition link = Definition("link", 1);
    // Each case: the fragments of two pipelines (the second may be empty), which of them are
    // compiled, and the order they are destroyed in.
    const struct {
        const char* what;
        bool sameFragment; // p = {A, link, A}, no q
        bool compileP, compileQ, qFirst;
    } cases[] = {
        {"one locked fragment naming it twice", true, false, false, false},
        {"one compiled fragment naming it twice", true, true, false, false},
        {"two locked pipelines", false, false, false, false},
        {"compiled, then locked", false, true, false, false},
        {"locked, then compiled", false, false, true, false},
        {"both compiled, the second destroyed first", false, true, true, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        auto* a = static_cast<OvNodeDefinition*>(OvMalloc(sizeof(OvNodeDefinition), 0x30409));
        ASSERT_NE(a, nullptr);
        *a = Definition("allocated", 1);
        a->allocated = 1;
        OvPipeline* p = OvPipelineLock(OvPipelineCreate());
        OvPipeline* q = c.sameFragment ? nullptr : OvPipelineLock(OvPipelineCreate());
        if (c.sameFragment) {
            ASSERT_EQ(OvPipelineAddFragment(p, nullptr, a, &link, a, nullptr), p);
        } else {
            ASSERT_EQ(OvPipelineAddFragment(p, nullptr, a, nullptr), p);
            ASSERT_EQ(OvPipelineAddFragment(q, nullptr, a, nullptr), q);
        }
        if (c.compileP) {
            ASSERT_EQ(OvPipelineUnlock(p), p);
        }
        if (c.compileQ) {
            ASSERT_EQ(OvPipelineUnlock(q), q);
        }
        gFreed.clear();
        OvPipelineDestroy(c.qFirst ? q : p);
        if (q != nullptr) {
            EXPECT_EQ(std::count(gFreed.begin(), gFreed.end(), a), 0) << "freed while another node names it";
            OvPipelineDestroy(c.qFirst ? p : q);
        }
        EXPECT_EQ(std::count(gFreed.begin(), gFreed.end(), a), 1);
    }
    // A full pipeline of nodes naming one definition, one fragment each.
    auto* a = static_cast<OvNodeDefinition*>(OvMalloc(sizeof(OvNodeDefinition), 0x30409));
    ASSERT_NE(a, nullptr);
    *a = Definition("allocated", 1);
    a->allocated = 1;
    OvPipeline* full = OvPipelineLock(OvPipelineCreate());
    for (int i = 0; i < 64; ++i) {
        ASSERT_EQ(OvPipelineAddFragment(full, nullptr, a, nullptr), full);
    }
    EXPECT_EQ(OvPipelineAddFragment(full, nullptr, a, nullptr), nullptr); // no room: a stays
    gFreed.clear();
    OvPipelineDestroy(full);
    EXPECT_EQ(std::count(gFreed.begin(), gFreed.end(), a), 1);
    OvEngineInstancePtr->memoryFuncs.free = gEngineFree;
}

// Hints of the engine allocations made while a test watches them.
std::vector<OvUInt32> gHints;
OvMemoryFunctions gSavedFunctions;
void* HintedAlloc(std::size_t size, OvUInt32 hint) {
    gHints.push_back(hint);
    return gSavedFunctions.allocate(size, hint);
}
void* HintedRealloc(void* block, std::size_t size, OvUInt32 hint) {
    gHints.push_back(hint);
    return gSavedFunctions.reallocate(block, size, hint);
}

TEST_F(PipelineTest, BlocksAndTheClusterHeapCarryTheirMemoryHints) {
    gSavedFunctions = OvEngineInstancePtr->memoryFuncs;
    OvEngineInstancePtr->memoryFuncs.allocate = HintedAlloc;
    OvEngineInstancePtr->memoryFuncs.reallocate = HintedRealloc;
    OvNodeDefinition leaf = Definition("leaf", 0, 64);
    OvPipeline* p = OvPipelineCreate();
    const struct {
        const char* what;
        std::function<void()> run;
        std::vector<OvUInt32> hints;
    } steps[] = {
        {"the block at the first lock", [&] { OvPipelineLock(p); }, {0x1030409}},
        {"the block grown by compilation",
         [&] {
             OvPipelineAddFragment(p, nullptr, &leaf, nullptr);
             OvPipelineUnlock(p);
         },
         {0x1040409}},
        {"a heap's record and first block",
         [] { OvPipelineHeapDestroy(OvPipelineHeapCreate(100)); },
         {0x40409, 0x1040409}},
        {"a heap block for a large request", [] { OvPipelineHeapAlloc(OvPipelineGetHeap(), 64 * 1024); }, {0x1040409}},
    };
    for (const auto& step : steps) {
        SCOPED_TRACE(step.what);
        gHints.clear();
        step.run();
        gHints.erase(std::unique(gHints.begin(), gHints.end()), gHints.end()); // a block may grow twice
        EXPECT_EQ(gHints, step.hints);
    }
    OvEngineInstancePtr->memoryFuncs = gSavedFunctions;
    OvPipelineHeapReset(OvPipelineGetHeap());
    OvPipelineDestroy(p);
}

TEST_F(PipelineTest, PrivateDataAreasSuitWhatTheyHoldAndDoNotOverlap) {
    OvNodeDefinition sizes[] = {Definition("four", 1, 4), Definition("none", 1, 0), Definition("five", 1, 5),
                                Definition("pointers", 1, 16), Definition("last", 0, 8)};
    OvPipeline* p = OvPipelineLock(OvPipelineCreate());
    ASSERT_EQ(OvPipelineAddFragment(p, nullptr, &sizes[0], &sizes[1], &sizes[2], &sizes[3], &sizes[4], nullptr), p);
    ASSERT_EQ(OvPipelineUnlock(p), p);
    const char* end = nullptr;
    for (OvUInt32 i = 0; i < p->numNodes; ++i) {
        const OvPipelineNode& n = p->nodes[i];
        SCOPED_TRACE(n.definition->name);
        if (n.definition->privateDataSize == 0) {
            EXPECT_EQ(n.privateData, nullptr);
            continue;
        }
        const auto* data = static_cast<const char*>(n.privateData);
        EXPECT_EQ(reinterpret_cast<std::uintptr_t>(data) % alignof(std::max_align_t), 0u);
        EXPECT_TRUE(end == nullptr || data >= end);
        end = data + ((n.definition->privateDataSize + 3) & ~3u);
        EXPECT_LE(end, static_cast<const char*>(p->block) + p->blockSize);
    }
    OvPipelineDestroy(p);
}

// Immediate-mode 3D on a driver without a render node: the batch record a render pipeline sees.
OvIm3DBatch gSeen;
OvBool Record(OvPipelineNode*, const OvPipelineExecuteParams* params) {
    gSeen = *static_cast<OvIm3DBatch*>(params->data);
    return TRUE;
}

TEST_F(PipelineTest, Im3DBatchesRoundIndicesAndAnswerTheirErrors) {
    OvNodeDefinition record{};
    record.name = "record";
    record.body = Record;
    OvPipeline* p = OvTestOneNodePipeline(&record);
    ASSERT_NE(p, nullptr);
    for (OvInt32 type = ovPRIMTYPELINELIST; type <= ovPRIMTYPETRIFAN; ++type) {
        ASSERT_EQ(OvIm3DSetRenderPipeline(p, type), p);
    }
    EXPECT_EQ(OvIm3DSetRenderPipeline(nullptr, ovPRIMTYPEPOINTLIST), nullptr); // its default is none
    EXPECT_EQ(OvIm3DSetRenderPipeline(p, 7), nullptr);
    EXPECT_EQ(ClearError(), ovERRIM3DBADPRIM);

    std::vector<OvIm3DVertex> vertices(ovIM3DMAXVERTICES + 1);
    EXPECT_FALSE(OvIm3DRenderPrimitive(ovPRIMTYPELINELIST));
    EXPECT_EQ(ClearError(), ovERRIM3DNOBATCH);
    EXPECT_EQ(OvIm3DTransform(vertices.data(), ovIM3DMAXVERTICES + 1, nullptr, 0), nullptr);
    EXPECT_EQ(ClearError(), ovERRIM3DTOOMANY);
    EXPECT_FALSE(OvIm3DEnd());

    // The largest batch keeps its count.
    ASSERT_EQ(OvIm3DTransform(vertices.data(), ovIM3DMAXVERTICES, nullptr, ovIM3D_VERTEXUV), vertices.data());
    ASSERT_TRUE(OvIm3DRenderPrimitive(ovPRIMTYPETRILIST));
    EXPECT_EQ(gSeen.numVertices, ovIM3DMAXVERTICES);
    EXPECT_EQ(gSeen.numIndices, ovIM3DMAXVERTICES);
    EXPECT_EQ(gSeen.flags, ovIM3D_VERTEXUV | ovIM3D_VERTEXXYZ | ovIM3D_VERTEXRGBA);
    EXPECT_EQ(gSeen.indices, nullptr);
    const OvUInt16 indices[9] = {};
    const struct {
        OvInt32 type;
        OvInt32 given;
        OvUInt32 kept;
    } rounding[] = {{ovPRIMTYPELINELIST, 7, 6}, {ovPRIMTYPETRILIST, 8, 6}, {ovPRIMTYPETRILIST, 2, 0},
                    {ovPRIMTYPEPOLYLINE, 7, 7}, {ovPRIMTYPETRIFAN, 5, 5},  {ovPRIMTYPETRISTRIP, 9, 9}};
    for (const auto& r : rounding) {
        ASSERT_TRUE(OvIm3DRenderIndexedPrimitive(r.type, indices, r.given));
        EXPECT_EQ(gSeen.numIndices, r.kept) << r.type << " " << r.given;
        EXPECT_EQ(gSeen.primType, r.type);
        EXPECT_EQ(gSeen.indices, indices);
    }
    EXPECT_FALSE(OvIm3DRenderPrimitive(ovPRIMTYPEPOINTLIST));
    EXPECT_EQ(ClearError(), ovERRIM3DBADPRIM);
    EXPECT_TRUE(OvIm3DEnd());
    EXPECT_FALSE(OvIm3DEnd());
    for (OvInt32 type = ovPRIMTYPELINELIST; type <= ovPRIMTYPETRIFAN; ++type) {
        EXPECT_NE(OvIm3DSetRenderPipeline(nullptr, type), p);
    }
    OvPipelineDestroy(p);
}

} // namespace

namespace {

// Cluster type records: only their addresses matter here.
const int kTypes[64] = {};
const void* Type(int i) { return &kTypes[i]; }

// A definition working on clusters: types, their modes, and per output the pass modes of its
// clusters and of every other.
struct ClusterNode {
    std::vector<OvNodeClusterOfInterest> clusters;
    std::vector<OvUInt32> modes;
    std::vector<std::vector<OvUInt32>> passModes;
    std::vector<OvNodeOutput> outputs;
    OvNodeDefinition d{};

    ClusterNode(const char* name, std::vector<std::pair<const void*, OvUInt32>> interest,
                std::vector<std::pair<std::vector<OvUInt32>, OvUInt32>> outs) {
        for (auto [type, mode] : interest) {
            clusters.push_back({type, 0, 0});
            modes.push_back(mode);
        }
        for (auto& [own, other] : outs) {
            passModes.push_back(own);
        }
        for (std::size_t k = 0; k < outs.size(); ++k) {
            outputs.push_back({0, passModes[k].empty() ? nullptr : passModes[k].data(), outs[k].second});
        }
        d = Definition(name, static_cast<OvUInt32>(outputs.size()));
        d.numClustersOfInterest = static_cast<OvUInt32>(clusters.size());
        d.clusters = clusters.data();
        d.clusterModes = modes.data();
        d.outputs = outputs.data();
    }
};

// A locked pipeline of the nodes (entry first) with the given edges {from, output, to}.
OvPipeline* Graph(std::vector<ClusterNode*> nodes, std::vector<std::array<OvUInt32, 3>> edges) {
    OvPipeline* p = OvPipelineLock(OvPipelineCreate());
    for (ClusterNode* n : nodes) {
        EXPECT_EQ(OvPipelineAddFragment(p, nullptr, &n->d, nullptr), p);
    }
    for (auto [from, output, to] : edges) {
        p->nodes[from].outputs[output] = to;
    }
    return p;
}

} // namespace

TEST_F(PipelineTest, ClusterWiringErrorsLeaveThePipelineLocked) {
    const auto refused = [](std::vector<ClusterNode*> nodes, std::vector<std::array<OvUInt32, 3>> edges) {
        OvPipeline* p = Graph(nodes, edges);
        const bool ok = OvPipelineUnlock(p) == nullptr && p->state == ovPIPELINELOCKED;
        const OvInt32 error = ClearError();
        OvPipelineDestroy(p);
        return ok ? error : -1;
    };
    ClusterNode untyped("untyped", {{nullptr, 1}}, {});
    ClusterNode twice("twice", {{Type(0), 0}, {Type(0), 2}}, {});
    EXPECT_EQ(refused({&untyped}, {}), ovERRPIPELINECLUSTERTYPE);
    EXPECT_EQ(refused({&twice}, {}), ovERRPIPELINECLUSTERTWICE);
    // A cluster made downstream cannot end on the way there; it may start there.
    ClusterNode maker("maker", {{Type(1), 1}}, {});
    ClusterNode ends("ends", {}, {{{}, 2}});
    ClusterNode starts("starts", {}, {{{}, 1}});
    EXPECT_EQ(refused({&ends, &maker}, {{0, 0, 1}}), ovERRPIPELINECLUSTERMODE);
    EXPECT_EQ(refused({&starts, &maker}, {{0, 0, 1}}), -1);

    // Cluster tables of every node for every distinct type: 45 x 45 fit the scratch area, 46 x 46
    // do not.
    for (OvUInt32 count : {45u, 46u}) {
        std::vector<std::unique_ptr<ClusterNode>> chain;
        std::vector<ClusterNode*> nodes;
        std::vector<std::array<OvUInt32, 3>> edges;
        for (OvUInt32 i = 0; i < count; ++i) {
            std::vector<std::pair<std::vector<OvUInt32>, OvUInt32>> outs;
            if (i + 1 < count) {
                outs.push_back({{0}, 0});
                edges.push_back({i, 0, i + 1});
            }
            chain.push_back(std::make_unique<ClusterNode>(
                "link", std::vector<std::pair<const void*, OvUInt32>>{{Type(static_cast<int>(i % 64)), 0}}, outs));
            nodes.push_back(chain.back().get());
        }
        EXPECT_EQ(refused(nodes, edges), count == 45 ? -1 : ovERRPIPELINESCRATCH) << count;
    }
}

TEST_F(PipelineTest, ClustersTravelAlongOutputsAndShareSlotsWhereTheyDoNotMeet) {
    // entry -> x -> z and entry -> y -> z. z consumes A; y ends every other cluster, so A reaches
    // z only through x. The entry makes B, which x consumes; y makes C, which starts on the
    // entry's way to y.
    const void* A = Type(0);
    const void* B = Type(1);
    const void* C = Type(2);
    ClusterNode entry("entry", {{B, 1}}, {{{0}, 0}, {{0}, 1}});
    ClusterNode x("x", {{B, 2}}, {{{2}, 0}});
    ClusterNode y("y", {{C, 1}}, {{{2}, 2}});
    ClusterNode z("z", {{A, 2}}, {});
    OvPipeline* p = Graph({&entry, &x, &y, &z}, {{0, 0, 1}, {0, 1, 2}, {1, 0, 3}, {2, 0, 3}});
    ASSERT_EQ(OvPipelineUnlock(p), p);
    ASSERT_EQ(p->numClusterSlots, 2u);
    const auto slots = [](const OvPipelineNode& n) {
        return std::vector<OvInt32>(n.clusterSlots, n.clusterSlots + n.definition->numClustersOfInterest);
    };
    EXPECT_EQ(slots(p->nodes[0]), std::vector<OvInt32>{1}); // B; A takes slot 0 through entry, x and z
    EXPECT_EQ(slots(p->nodes[1]), std::vector<OvInt32>{1});
    EXPECT_EQ(slots(p->nodes[2]), std::vector<OvInt32>{0}); // C meets neither
    EXPECT_EQ(slots(p->nodes[3]), std::vector<OvInt32>{0});
    const auto table = [&](int node) {
        return std::vector<OvUInt32>(p->nodes[node].slotTable, p->nodes[node].slotTable + 2);
    };
    EXPECT_EQ(table(0), (std::vector<OvUInt32>{1, 1}));
    EXPECT_EQ(table(1), (std::vector<OvUInt32>{1, 1}));
    EXPECT_EQ(table(2), (std::vector<OvUInt32>{1, 0}));
    // Masks: A and B leave the entry by output 0 only; x passes A on, B ends at x.
    EXPECT_EQ(p->nodes[0].outputMasks[0], 1u);
    EXPECT_EQ(p->nodes[0].outputMasks[1], 1u);
    EXPECT_EQ(p->nodes[0].outputMasks[2], 1u);
    EXPECT_EQ(p->nodes[1].outputMasks[1], 1u);
    EXPECT_EQ(p->nodes[1].outputMasks[2], 0u);
    // The clusters the entry brings: A consumed (the caller's), B made there; sorted by type.
    ASSERT_EQ(p->numEntryClusters, 2u);
    EXPECT_EQ(p->entryClusters[0].clusterType, A);
    EXPECT_EQ(p->entryClusters[0].mode, 2u);
    EXPECT_EQ(p->entryClusters[0].slot, 0u);
    EXPECT_EQ(p->entryClusters[1].clusterType, B);
    EXPECT_EQ(p->entryClusters[1].mode, 1u);
    ASSERT_NE(p->clusterInstances, nullptr);
    EXPECT_EQ(p->clusterInstances->numSlots, 2u);
    EXPECT_EQ(p->clusterInstances->pipeline, p);
    OvPipelineDestroy(p);

    // Ended on the only way in, a consumed cluster reaches nothing, however far down it is used.
    ClusterNode head("head", {}, {{{}, 2}});
    ClusterNode middle("middle", {}, {{{}, 0}});
    ClusterNode tail("tail", {{A, 2}}, {});
    p = Graph({&head, &middle, &tail}, {{0, 0, 1}, {1, 0, 2}});
    ASSERT_EQ(OvPipelineUnlock(p), p);
    EXPECT_EQ(p->numClusterSlots, 0u);
    EXPECT_EQ(p->numEntryClusters, 0u);
    EXPECT_EQ(p->nodes[2].clusterSlots, nullptr);
    OvPipelineDestroy(p);
}

OvBool ClusterBody(OvPipelineNode* node, const OvPipelineExecuteParams* params) {
    OvPipeline* p = OvPipelineGetCurrent();
    OvPipelineClusterInstance* inst = p->clusterInstances->instances;
    inst[0].data = OvPipelineHeapAlloc(params->heap, 100);
    inst[1].data = params->data; // the caller's
    inst[1].flags = ovPIPELINECLUSTERNOTHEAP;
    p->executionStage = *static_cast<OvUInt32*>(params->data);
    return node != nullptr;
}

TEST_F(PipelineTest, ExecutionReleasesClusterInstancesThroughTheHeap) {
    ClusterNode only("only", {{Type(0), 1}, {Type(1), 2}}, {});
    only.d.body = ClusterBody;
    OvPipeline* p = Graph({&only}, {});
    ASSERT_EQ(OvPipelineUnlock(p), p);
    OvPipelineHeap* heap = OvPipelineGetHeap();
    OvUInt32 bytes = 0;
    const OvUInt32 empty = (OvPipelineHeapFreeChunks(heap, &bytes), bytes);
    OvUInt32 stage = 1; // kept: the instances stay
    ASSERT_EQ(OvPipelineExecute(p, &stage, FALSE), p);
    EXPECT_NE(p->clusterInstances->instances[0].data, nullptr);
    EXPECT_TRUE(heap->dirty);
    // A run that resets the heap starts from an empty one: one allocation is held after it.
    ASSERT_EQ(OvPipelineExecute(p, &stage, TRUE), p);
    OvPipelineHeapFreeChunks(heap, &bytes);
    EXPECT_EQ(bytes, empty - 112 - 32);
    stage = 3; // released: heap data freed, the caller's left alone
    ASSERT_EQ(OvPipelineExecute(p, &stage, TRUE), p);
    EXPECT_EQ(p->executionStage, 2u);
    EXPECT_EQ(p->clusterInstances->instances[0].data, nullptr);
    EXPECT_EQ(p->clusterInstances->instances[1].data, nullptr);
    EXPECT_EQ(OvPipelineHeapFreeChunks(heap, &bytes), 1u);
    EXPECT_EQ(bytes, empty);
    OvPipelineDestroy(p);
}

// Like ClusterBody, but a kept instance goes on with the data it has.
OvBool KeepingBody(OvPipelineNode* node, const OvPipelineExecuteParams* params) {
    OvPipelineClusterInstance* inst = OvPipelineGetCurrent()->clusterInstances->instances;
    void* kept = inst[0].data;
    if (!ClusterBody(node, params)) {
        return FALSE;
    }
    if (kept != nullptr) {
        OvPipelineHeapFree(params->heap, inst[0].data);
        inst[0].data = kept;
    }
    return TRUE;
}

TEST_F(PipelineTest, InstancesKeptAcrossAnotherPipelinesHeapResetAreNotFreedAgain) {
    ClusterNode only("only", {{Type(0), 1}, {Type(1), 2}}, {});
    only.d.body = KeepingBody;
    OvPipeline* p = Graph({&only}, {});
    OvPipeline* q = Graph({&only}, {});
    ASSERT_EQ(OvPipelineUnlock(p), p);
    ASSERT_EQ(OvPipelineUnlock(q), q);
    OvPipelineHeap* heap = OvPipelineGetHeap();
    OvUInt32 stage = 1; // both keep their instances: q's chunk first, p's behind it
    ASSERT_EQ(OvPipelineExecute(q, &stage, FALSE), q);
    ASSERT_EQ(OvPipelineExecute(p, &stage, FALSE), p);
    // q's next run resets the heap, taking p's data with it; what is allocated next covers it.
    ASSERT_EQ(OvPipelineExecute(q, &stage, TRUE), q);
    ASSERT_NE(OvPipelineHeapAlloc(heap, 400), nullptr);
    OvUInt32 bytes = 0;
    const OvUInt32 chunks = OvPipelineHeapFreeChunks(heap, &bytes);
    stage = 3; // p releases its instances: the other allocation stays taken
    ASSERT_EQ(OvPipelineExecute(p, &stage, FALSE), p);
    EXPECT_EQ(p->clusterInstances->instances[0].data, nullptr);
    OvUInt32 after = 0;
    EXPECT_EQ(OvPipelineHeapFreeChunks(heap, &after), chunks);
    EXPECT_EQ(after, bytes);
    OvPipelineDestroy(p);
    OvPipelineDestroy(q);
}

TEST_F(PipelineTest, ClusterHeapChunksNeverOverlapAndMergeBackWhenFreed) {
    OvPipelineHeap* heap = OvPipelineHeapCreate(100); // at least 1,024
    ASSERT_NE(heap, nullptr);
    EXPECT_EQ(heap->blockSize, 1024u);
    OvUInt32 bytes = 0;
    ASSERT_EQ(OvPipelineHeapFreeChunks(heap, &bytes), 1u);
    const OvUInt32 oneBlock = bytes;
    std::uint32_t seed = 12345;
    const auto next = [&] { return seed = seed * 1664525u + 1013904223u, seed >> 8; };
    for (int round = 0; round < 20; ++round) {
        std::vector<std::pair<OvUInt8*, OvUInt32>> live;
        for (int i = 0; i < 40; ++i) {
            const OvUInt32 size = 1 + next() % (i % 10 == 9 ? 3000 : 200); // now and then beyond a block
            auto* data = static_cast<OvUInt8*>(OvPipelineHeapAlloc(heap, size));
            ASSERT_NE(data, nullptr);
            EXPECT_EQ(reinterpret_cast<std::uintptr_t>(data) % 16, 0u);
            std::memset(data, static_cast<int>(live.size()), size);
            live.push_back({data, size});
        }
        for (std::size_t i = 0; i < live.size(); ++i) { // nothing written over another chunk
            for (OvUInt32 b = 0; b < live[i].second; ++b) {
                ASSERT_EQ(live[i].first[b], static_cast<OvUInt8>(i));
            }
        }
        while (!live.empty()) { // freed in a scrambled order
            const std::size_t i = next() % live.size();
            OvPipelineHeapFree(heap, live[i].first);
            live.erase(live.begin() + static_cast<std::ptrdiff_t>(i));
        }
        // Every block is one free chunk again, as a reset would lay it out.
        OvUInt32 merged = 0, laidOut = 0;
        const OvUInt32 chunks = OvPipelineHeapFreeChunks(heap, &merged);
        OvPipelineHeapReset(heap);
        EXPECT_EQ(OvPipelineHeapFreeChunks(heap, &laidOut), chunks);
        EXPECT_EQ(merged, laidOut);
    }
    // A reset frees everything at once.
    ASSERT_NE(OvPipelineHeapAlloc(heap, 500), nullptr);
    OvPipelineHeapReset(heap);
    EXPECT_FALSE(heap->dirty);
    ASSERT_NE(OvPipelineHeapAlloc(heap, 16), nullptr);
    OvPipelineHeapReset(heap);
    EXPECT_GE(OvPipelineHeapFreeChunks(heap, &bytes), 1u);
    EXPECT_GE(bytes, oneBlock);
    OvPipelineHeapDestroy(heap);
}
