#include "graphics/core/pipeline.h"

#include <cstring>
#include <vector>

#include "graphics/core/im3d.h"
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
    OvPipeline* p = OvPipelineLock(OvPipelineCreate());
    ASSERT_NE(OvPipelineAddFragment(p, nullptr, &record, nullptr), nullptr);
    ASSERT_EQ(OvPipelineUnlock(p), p);
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
