#include "graphics/plugins/anim_hierarchy.h"

#include <cmath>
#include <random>
#include <vector>

#include "graphics/core/plugin.h"
#include "graphics/plugins/tests/plugin_test_kit.h"

namespace {

class AnimHierarchyTest : public StartedEngine {
protected:
    void RegisterPlugins() override {
        ASSERT_TRUE(OvAnimPluginAttach());
        ASSERT_TRUE(OvAnimHierarchyPluginAttach());
    }
};

// Affine matrix in double precision: rows 0-2 the axes, row 3 the position.
struct M4 {
    double m[4][3];
};

M4 FromOv(const OvMatrix& a) {
    return {{{a.right.x, a.right.y, a.right.z},
             {a.up.x, a.up.y, a.up.z},
             {a.at.x, a.at.y, a.at.z},
             {a.pos.x, a.pos.y, a.pos.z}}};
}

// a applied first, then b.
M4 Mul(const M4& a, const M4& b) {
    M4 r{};
    for (int i = 0; i < 4; ++i) {
        for (int j = 0; j < 3; ++j) {
            double s = i == 3 ? b.m[3][j] : 0.0;
            for (int k = 0; k < 3; ++k) {
                s += a.m[i][k] * b.m[k][j];
            }
            r.m[i][j] = s;
        }
    }
    return r;
}

double Diff(const M4& a, const OvMatrix& b) {
    const M4 c = FromOv(b);
    double e = 0;
    for (int i = 0; i < 4; ++i) {
        for (int j = 0; j < 3; ++j) {
            e = std::fmax(e, std::fabs(a.m[i][j] - c.m[i][j]));
        }
    }
    return e;
}

// Node flags of a random tree: pops only with something pushed, pushes within the stack, and
// node 0 the parent of all others (the frames bound are those under its frame).
std::vector<OvUInt32> RandomNodeFlags(std::mt19937& rng, int n) {
    std::vector<OvUInt32> f;
    int depth = 0;
    std::uniform_int_distribution<int> pick(0, 3);
    for (int i = 0; i < n; ++i) {
        OvUInt32 v;
        do {
            v = static_cast<OvUInt32>(pick(rng));
        } while ((v == 1 && depth == 0) || (v == 2 && depth == 8) || (i == 0 && v != 0));
        depth += v == 2 ? 1 : v == 1 ? -1 : 0;
        f.push_back(v);
    }
    return f;
}

// The reference: the node sequence read as nested lists. A node with flag 0 continues the list at
// its own matrix, flag 2 opens a list of its children and then carries on with its siblings,
// flag 3 is a leaf followed by a sibling, flag 1 ends the list.
struct Reference {
    const std::vector<OvUInt32>& flags;
    const std::vector<M4>& local;
    std::vector<M4> world;
    std::vector<int> parent;
    std::size_t next = 0;

    // Returns when the list ends (a pop, or no nodes left).
    void List(const M4& parentWorld, int parentIndex) {
        while (next < flags.size()) {
            const std::size_t i = next++;
            world[i] = Mul(local[i], parentWorld);
            parent[i] = parentIndex;
            switch (flags[i]) {
            case 0:
                List(world[i], static_cast<int>(i));
                return;
            case 2:
                List(world[i], static_cast<int>(i));
                break;
            case 1:
                return;
            default:
                break;
            }
        }
    }
};

// A frame tree that mirrors the hierarchy: a root above the parent frame, the parent frame as
// node 0's frame and one frame per further node under its parent node's frame.
struct Rig {
    OvFrame* root = nullptr;
    std::vector<OvFrame*> frames;
};

Rig BuildRig(OvAnimHierarchy* h, const std::vector<int>& parent) {
    Rig rig;
    rig.root = OvFrameCreate();
    OvV3d axis = {0.3f, 1.0f, 0.2f};
    OvFrameRotate(rig.root, &axis, 40.0f, ovCOMBINEREPLACE);
    OvV3d move = {1.0f, 2.0f, -3.0f};
    OvFrameTranslate(rig.root, &move, ovCOMBINEPOSTCONCAT);
    for (int i = 0; i < h->numNodes; ++i) {
        OvFrame* f = OvFrameCreate();
        const int nodeId = i == 0 ? 7 : 100 + 37 * i;
        h->pNodeInfo[i].nodeID = nodeId;
        OvFrameSetAnimHierarchyNodeID(f, nodeId);
        OvFrameAddChild(parent[static_cast<std::size_t>(i)] < 0
                            ? rig.root
                            : rig.frames[static_cast<std::size_t>(parent[static_cast<std::size_t>(i)])],
                        f);
        rig.frames.push_back(f);
    }
    OvFrameSetAnimHierarchy(rig.frames[0], h);
    return rig;
}

TEST_F(AnimHierarchyTest, MatricesForEveryUpdateFlagFollowTheRecursiveReference) {
    std::mt19937 rng(11);
    const OvUInt32 flagSets[] = {0,
                                 ovANIMHIERARCHYLOCALSPACEMATRICES,
                                 ovANIMHIERARCHYUPDATEMODELLINGMATRICES,
                                 ovANIMHIERARCHYUPDATELTMS,
                                 ovANIMHIERARCHYUPDATELTMS | ovANIMHIERARCHYLOCALSPACEMATRICES,
                                 ovANIMHIERARCHYNOMATRICES | ovANIMHIERARCHYUPDATEMODELLINGMATRICES,
                                 ovANIMHIERARCHYNOMATRICES | ovANIMHIERARCHYUPDATELTMS};
    for (int round = 0; round < 21; ++round) {
        const OvUInt32 hflags = flagSets[round % 7];
        const int n = 2 + round * 2;
        const std::vector<OvUInt32> nodeFlags = RandomNodeFlags(rng, n);
        OvAnimHierarchy* h = OvAnimHierarchyCreate(n, nodeFlags.data(), nullptr, hflags,
                                                   static_cast<OvInt32>(sizeof(OvAnimInterpFrame)));
        ASSERT_NE(h, nullptr);
        // Random interpolated keys straight into the slots.
        std::vector<M4> local(static_cast<std::size_t>(n));
        std::uniform_real_distribution<float> u(-2.0f, 2.0f);
        h->currentAnim->keyFrameApplyCB = OvAnimStdKeyFrameApply;
        h->currentAnim->currentInterpKeyFrameSize = sizeof(OvAnimInterpFrame);
        for (int i = 0; i < n; ++i) {
            auto* k = static_cast<OvAnimInterpFrame*>(OvAnimInterpolatorGetNodeKey(h->currentAnim, i));
            k->q = RandomUnitQuat(rng);
            k->t = {u(rng), u(rng), u(rng)};
            OvMatrix m;
            OvAnimStdKeyFrameApply(&m, k);
            local[static_cast<std::size_t>(i)] = FromOv(m);
        }
        Reference ref{nodeFlags, local, std::vector<M4>(static_cast<std::size_t>(n)),
                      std::vector<int>(static_cast<std::size_t>(n), -1)};
        Rig rig = BuildRig(h, [&] {
            M4 id = {{{1, 0, 0}, {0, 1, 0}, {0, 0, 1}, {0, 0, 0}}};
            ref.List(id, -1);
            return ref.parent;
        }());
        ASSERT_EQ(OvAnimHierarchyAttach(h), h);
        for (int i = 0; i < n; ++i) {
            ASSERT_EQ(h->pNodeInfo[i].pFrame, rig.frames[static_cast<std::size_t>(i)]);
        }
        OvFrameSyncDirty();
        const M4 base = FromOv(*OvFrameGetWorldMatrix(rig.root));
        ASSERT_TRUE(OvAnimHierarchyUpdateMatrices(h)) << round;
        const bool local0x4000 = (hflags & ovANIMHIERARCHYLOCALSPACEMATRICES) != 0;
        if (hflags & ovANIMHIERARCHYUPDATELTMS) {
            // The root is queued for its objects only; the world matrices are already there.
            EXPECT_EQ(rig.root->object.privateFlags & ovFRAMEPRIVATEHIERARCHYSYNC, ovFRAMEPRIVATEHIERARCHYSYNCOBJ);
            for (int i = 0; i < n; ++i) {
                const M4 want = Mul(ref.world[static_cast<std::size_t>(i)], base);
                EXPECT_LT(Diff(want, rig.frames[static_cast<std::size_t>(i)]->ltm), 1e-4) << round << " node " << i;
            }
        }
        if (hflags & ovANIMHIERARCHYUPDATEMODELLINGMATRICES) {
            OvFrameSyncDirty();
            for (int i = 0; i < n; ++i) {
                EXPECT_LT(Diff(local[static_cast<std::size_t>(i)], rig.frames[static_cast<std::size_t>(i)]->modelling),
                          1e-6);
                const M4 want = Mul(ref.world[static_cast<std::size_t>(i)], base);
                EXPECT_LT(Diff(want, *OvFrameGetWorldMatrix(rig.frames[static_cast<std::size_t>(i)])), 1e-4)
                    << round << " node " << i;
            }
        }
        if (!(hflags & ovANIMHIERARCHYNOMATRICES)) {
            ASSERT_NE(h->pMatrixArray, nullptr);
            EXPECT_EQ(reinterpret_cast<std::uintptr_t>(h->pMatrixArray) % 16, 0u);
            for (int i = 0; i < n; ++i) {
                const M4 want = local0x4000 ? ref.world[static_cast<std::size_t>(i)]
                                            : Mul(ref.world[static_cast<std::size_t>(i)], base);
                EXPECT_LT(Diff(want, h->pMatrixArray[i]), 1e-4) << round << " node " << i;
            }
        } else {
            EXPECT_EQ(h->pMatrixArray, nullptr);
        }
        OvFrameSyncDirty();
        OvFrameDestroyHierarchy(rig.root); // destroys the hierarchy with its parent frame
    }
}

TEST_F(AnimHierarchyTest, StackAbuseFailsTheUpdate) {
    std::vector<OvUInt32> pops = {1, 0};
    OvAnimHierarchy* h = OvAnimHierarchyCreate(2, pops.data(), nullptr, 0, sizeof(OvAnimInterpFrame));
    EXPECT_FALSE(OvAnimHierarchyUpdateMatrices(h));
    OvAnimHierarchyDestroy(h);
    // The last node of a tree conventionally pops with nothing pushed.
    pops = {0, 1};
    h = OvAnimHierarchyCreate(2, pops.data(), nullptr, 0, sizeof(OvAnimInterpFrame));
    EXPECT_TRUE(OvAnimHierarchyUpdateMatrices(h));
    OvAnimHierarchyDestroy(h);
    std::vector<OvUInt32> pushes(40, ovANIMHIERARCHYPUSHPARENTMATRIX);
    h = OvAnimHierarchyCreate(40, pushes.data(), nullptr, ovANIMHIERARCHYNOMATRICES, sizeof(OvAnimInterpFrame));
    EXPECT_FALSE(OvAnimHierarchyUpdateMatrices(h));
    OvAnimHierarchyDestroy(h);
    ClearError();
}

// A node's frame destroyed while its hierarchy lives: the node lets it go in every hierarchy
// bound to it, so that updates neither write into the freed frame nor into the frame that takes
// its place; the other nodes still move their frames.
TEST_F(AnimHierarchyTest, NodesLetGoOfDestroyedFrames) {
    const std::vector<OvUInt32> nodeFlags = {2, 3, 1};
    const std::vector<OvInt32> ids = {1, 2, 3};
    const OvUInt32 hflags = ovANIMHIERARCHYUPDATEMODELLINGMATRICES;
    OvAnimHierarchy* h = OvAnimHierarchyCreate(3, nodeFlags.data(), ids.data(), hflags, sizeof(OvAnimInterpFrame));
    OvAnimHierarchy* twin = OvAnimHierarchyCreateFromHierarchy(h, hflags, sizeof(OvAnimInterpFrame));
    ASSERT_NE(twin, nullptr);
    std::vector<OvFrame*> frames;
    for (OvInt32 id : ids) {
        frames.push_back(OvFrameCreate());
        OvFrameSetAnimHierarchyNodeID(frames.back(), id);
    }
    OvFrameAddChild(frames[0], frames[1]);
    OvFrameAddChild(frames[0], frames[2]);
    OvFrameSetAnimHierarchy(frames[0], h);
    twin->parentFrame = frames[0];
    for (OvAnimHierarchy* x : {h, twin}) {
        ASSERT_EQ(OvAnimHierarchyAttach(x), x);
        for (int i = 0; i < 3; ++i) {
            auto* k = static_cast<OvAnimInterpFrame*>(OvAnimInterpolatorGetNodeKey(x->currentAnim, i));
            k->q = {0, 0, 0, 1};
            k->t = {1.0f + static_cast<float>(i), 2.0f, 3.0f};
        }
    }
    OvFrameDestroy(frames[2]);
    EXPECT_EQ(h->pNodeInfo[2].pFrame, nullptr);
    EXPECT_EQ(twin->pNodeInfo[2].pFrame, nullptr);
    EXPECT_EQ(h->pNodeInfo[1].pFrame, frames[1]);
    // New frames take the freed record; updates leave them alone.
    std::vector<OvFrame*> others;
    for (int i = 0; i < 4; ++i) {
        others.push_back(OvFrameCreate());
    }
    ASSERT_TRUE(OvAnimHierarchyUpdateMatrices(h));
    ASSERT_TRUE(OvAnimHierarchyUpdateMatrices(twin));
    for (OvFrame* f : others) {
        EXPECT_EQ(f->modelling.pos.x, 0.0f);
        EXPECT_EQ(f->modelling.pos.y, 0.0f);
        OvFrameDestroy(f);
    }
    EXPECT_EQ(frames[1]->modelling.pos.x, 2.0f);
    // A destroyed hierarchy is no longer walked when its frames go.
    OvAnimHierarchyDestroy(twin);
    OvFrameDestroy(frames[1]);
    EXPECT_EQ(h->pNodeInfo[1].pFrame, nullptr);
    OvFrameDestroy(frames[0]); // destroys h with its parent frame
}

OvStream* WriteExtension(OvFrame* f) {
    OvStream* s = OvStreamOpen(ovSTREAMMEMORY, ovSTREAMWRITE, nullptr);
    EXPECT_NE(OvPluginRegistryWriteDataChunks(OvFrameGetRegistry(), s, f), nullptr);
    return s;
}

TEST_F(AnimHierarchyTest, FrameExtensionSizesRoundTripCopyAndDestroy) {
    const OvInt32 offset = OvPluginRegistryGetPluginOffset(OvFrameGetRegistry(), ovPLUGINIDANIMHIERARCHY);
    const OvPluginEntry* entry = OvFrameGetRegistry()->firstRegEntry;
    while (entry->pluginID != ovPLUGINIDANIMHIERARCHY) {
        entry = entry->nextRegEntry;
    }
    OvFrame* plain = OvFrameCreate();
    EXPECT_EQ(entry->getSizeCB(plain, offset, entry->size), 0);
    OvFrameSetAnimHierarchyNodeID(plain, 5);
    EXPECT_EQ(entry->getSizeCB(plain, offset, entry->size), 12);

    const std::vector<OvUInt32> flags = {2, 0, 1, 3, 0};
    const std::vector<OvInt32> ids = {5, 9, -4, 70000, 12};
    OvAnimHierarchy* h = OvAnimHierarchyCreate(5, flags.data(), ids.data(), 0x3000, 48);
    OvFrameSetAnimHierarchy(plain, h);
    EXPECT_EQ(entry->getSizeCB(plain, offset, entry->size), 20 + 12 * 5);
    std::vector<std::uint8_t> bytes = CloseWritten(WriteExtension(plain));

    // Read into a fresh frame, written again: the same bytes.
    OvFrame* back = OvFrameCreate();
    OvStream* in = OpenRead(bytes, static_cast<std::uint32_t>(bytes.size()));
    ASSERT_NE(OvPluginRegistryReadDataChunks(OvFrameGetRegistry(), in, back), nullptr);
    OvStreamClose(in, nullptr);
    const OvAnimHierarchy* r = OvFrameGetAnimHierarchy(back);
    ASSERT_NE(r, nullptr);
    EXPECT_EQ(r->parentFrame, back);
    EXPECT_EQ(r->flags, 0x3000u);
    EXPECT_EQ(r->currentAnim->maxInterpKeyFrameSize, 48);
    EXPECT_EQ(r->pNodeInfo[3].nodeID, 70000);
    EXPECT_EQ(r->pNodeInfo[2].flags, 1u);
    EXPECT_EQ(OvFrameGetAnimHierarchyNodeID(back), 5);
    EXPECT_EQ(CloseWritten(WriteExtension(back)), bytes);

    // Every prefix fails and leaves nothing behind.
    for (std::uint32_t n = 0; n < bytes.size(); ++n) {
        OvFrame* f = OvFrameCreate();
        OvStream* s = OpenRead(bytes, n);
        EXPECT_EQ(OvPluginRegistryReadDataChunks(OvFrameGetRegistry(), s, f), nullptr) << n;
        EXPECT_EQ(OvFrameGetAnimHierarchy(f), nullptr);
        OvStreamClose(s, nullptr);
        OvFrameDestroy(f);
        ClearError();
    }
    // A node count the chunk cannot hold, a wrong version word and a tiny key size are refused.
    for (int bad = 0; bad < 3; ++bad) {
        std::vector<std::uint8_t> b = bytes;
        const std::size_t body = 24; // extension header and sub-chunk header
        if (bad == 0) {
            b[body + 8] = 0xFF;
            b[body + 9] = 0xFF;
        } else if (bad == 1) {
            b[body + 0] = 0x01;
        } else {
            b[body + 16] = 8;
        }
        OvFrame* f = OvFrameCreate();
        OvStream* s = OpenRead(b, static_cast<std::uint32_t>(b.size()));
        EXPECT_EQ(OvPluginRegistryReadDataChunks(OvFrameGetRegistry(), s, f), nullptr) << bad;
        OvStreamClose(s, nullptr);
        OvFrameDestroy(f);
        ClearError();
    }

    // A copied frame gets a hierarchy of its own with the same nodes.
    OvFrame* copy = OvFrameCreate();
    ASSERT_NE(OvPluginRegistryCopyObject(OvFrameGetRegistry(), copy, plain), nullptr);
    OvAnimHierarchy* c = OvFrameGetAnimHierarchy(copy);
    ASSERT_NE(c, nullptr);
    EXPECT_NE(c, h);
    EXPECT_EQ(c->parentFrame, copy);
    EXPECT_EQ(c->pNodeInfo[4].nodeID, 12);
    EXPECT_EQ(CloseWritten(WriteExtension(copy)), bytes);

    // A hierarchy made from another and sharing its parent frame does not unbind the original
    // when destroyed.
    OvAnimHierarchy* work = OvAnimHierarchyCreateFromHierarchy(h, 0, sizeof(OvAnimInterpFrame));
    work->parentFrame = plain;
    OvAnimHierarchyDestroy(work);
    EXPECT_EQ(OvFrameGetAnimHierarchy(plain), h);

    // A sub-hierarchy is written as no hierarchy.
    h->flags |= ovANIMHIERARCHYSUBHIERARCHY;
    EXPECT_EQ(entry->getSizeCB(plain, offset, entry->size), 12);
    h->flags &= ~static_cast<OvUInt32>(ovANIMHIERARCHYSUBHIERARCHY);

    // Frames holding their hierarchies destroy them.
    OvFrameDestroy(plain);
    OvFrameDestroy(back);
    OvFrameDestroy(copy);
}

} // namespace
