#include "graphics/core/frame.h"

#include <algorithm>
#include <cmath>
#include <random>
#include <vector>

#include "graphics/core/tests/reference.h"
#include "graphics/core/tests/started_engine.h"

namespace {

using FrameTest = StartedEngine;

int DirtyListLength() {
    int n = 0;
    const OvLLLink* head = &OvEngineInstancePtr->dirtyFrameList;
    for (const OvLLLink* l = head->next; l != head; l = l->next) {
        ++n;
    }
    return n;
}

// World matrix by brute force: the modelling matrices up to the root, in double precision.
Ref BruteWorld(const OvFrame* f) {
    const OvFrame* parent = OvFrameGetParent(f);
    return parent == nullptr ? ToRef(f->modelling) : Mul(ToRef(f->modelling), BruteWorld(parent));
}

void ExpectWorldMatches(const OvFrame* f) { ExpectNear(f->ltm, BruteWorld(f), 1e-4, true); }

bool IsAncestorOrSelf(const OvFrame* a, const OvFrame* f) {
    for (; f != nullptr; f = OvFrameGetParent(f)) {
        if (f == a) {
            return true;
        }
    }
    return false;
}

const OvFrame* TopOf(const OvFrame* f) {
    while (OvFrameGetParent(f) != nullptr) {
        f = OvFrameGetParent(f);
    }
    return f;
}

// An object that counts its frame-sync calls and keeps the world matrix it last saw.
struct CountingObject {
    OvObjectHasFrame header;
    int syncs;
    OvMatrix seen;
};

OvObjectHasFrame* CountSync(OvObjectHasFrame* object) {
    auto* o = reinterpret_cast<CountingObject*>(object);
    o->syncs++;
    o->seen = OvObjectHasFrameGetFrame(object)->ltm;
    return object;
}

bool SameRows(const OvMatrix& a, const OvMatrix& b) {
    const OvV3d* ra[4] = {&a.right, &a.up, &a.at, &a.pos};
    const OvV3d* rb[4] = {&b.right, &b.up, &b.at, &b.pos};
    for (int r = 0; r < 4; ++r) {
        if (std::memcmp(ra[r], rb[r], sizeof(OvV3d)) != 0) {
            return false;
        }
    }
    return true;
}

void InitObject(CountingObject* o) {
    *o = {};
    OvLLLinkInitHead(&o->header.lFrame);
    o->header.sync = CountSync;
}

TEST_F(FrameTest, SynchronisationMatchesBruteForceAfterRandomEdits) {
    std::mt19937 rng(2024);
    std::uniform_real_distribution<float> d(-1.0f, 1.0f);
    std::vector<OvFrame*> frames;
    for (int i = 0; i < 60; ++i) {
        frames.push_back(OvFrameCreate());
        ASSERT_NE(frames.back(), nullptr);
    }
    std::vector<CountingObject> objects(frames.size());
    for (std::size_t i = 0; i < frames.size(); ++i) {
        InitObject(&objects[i]);
        OvObjectHasFrameSetFrame(&objects[i].header, frames[i]);
    }
    auto pick = [&] { return frames[std::uniform_int_distribution<std::size_t>(0, frames.size() - 1)(rng)]; };

    for (int step = 0; step < 3000; ++step) {
        OvFrame* f = pick();
        const int op = std::uniform_int_distribution<int>(0, 10)(rng);
        const OvV3d v = {d(rng), d(rng), d(rng)};
        const auto combine = static_cast<OvOpCombineType>(std::uniform_int_distribution<int>(0, 2)(rng));
        switch (op) {
        case 0:
        case 1:
            OvFrameTranslate(f, &v, combine);
            break;
        case 2:
        case 3:
            OvFrameRotate(f, &v, d(rng) * 90.0f, combine);
            break;
        case 4: {
            const OvV3d s = {1.0f + 0.2f * v.x, 1.0f + 0.2f * v.y, 1.0f + 0.2f * v.z};
            OvFrameScale(f, &s, combine);
            break;
        }
        case 5: {
            OvFrame* parent = pick();
            if (!IsAncestorOrSelf(f, parent)) {
                OvFrameAddChild(parent, f);
            }
            break;
        }
        case 6:
            OvFrameSetIdentity(f);
            break;
        case 10: {
            // A frame destroyed: its children become roots; a new frame takes its slot and object.
            const std::size_t i = static_cast<std::size_t>(std::find(frames.begin(), frames.end(), f) - frames.begin());
            OvFrameDestroy(f);
            EXPECT_EQ(OvObjectHasFrameGetFrame(&objects[i].header), nullptr);
            frames[i] = OvFrameCreate();
            ASSERT_NE(frames[i], nullptr);
            OvObjectHasFrameSetFrame(&objects[i].header, frames[i]);
            break;
        }
        case 7: {
            // Check one frame on the fly; the hierarchy's objects stay pending.
            int before = 0;
            for (const CountingObject& o : objects) {
                before += o.syncs;
            }
            OvFrameGetWorldMatrix(f);
            ExpectWorldMatches(f);
            int after = 0;
            for (const CountingObject& o : objects) {
                after += o.syncs;
            }
            EXPECT_EQ(after, before);
            break;
        }
        default: {
            for (CountingObject& o : objects) {
                o.syncs = 0;
            }
            std::vector<bool> touched(frames.size());
            for (std::size_t i = 0; i < frames.size(); ++i) {
                touched[i] = OvFrameIsDirty(frames[i]);
            }
            EXPECT_TRUE(OvFrameSyncDirty());
            EXPECT_EQ(DirtyListLength(), 0);
            for (std::size_t i = 0; i < frames.size(); ++i) {
                OvFrame* g = frames[i];
                ASSERT_EQ(g->object.privateFlags & 0x0F, 0) << i;
                ASSERT_EQ(g->root, TopOf(g));
                ExpectWorldMatches(g);
                // An object is synced at most once per pass, and never in a clean hierarchy;
                // after the pass every object has seen its frame's current world matrix.
                EXPECT_LE(objects[i].syncs, 1);
                if (!touched[i]) {
                    EXPECT_EQ(objects[i].syncs, 0);
                }
                EXPECT_TRUE(SameRows(objects[i].seen, g->ltm)) << i << " at step " << step;
            }
            break;
        }
        }
        // The dirty list holds roots only, each once.
        const OvLLLink* head = &OvEngineInstancePtr->dirtyFrameList;
        for (const OvLLLink* l = head->next; l != head; l = l->next) {
            const OvFrame* root =
                reinterpret_cast<const OvFrame*>(reinterpret_cast<const char*>(l) - offsetof(OvFrame, inDirtyListLink));
            ASSERT_EQ(OvFrameGetParent(root), nullptr);
        }
    }
    for (std::size_t i = 0; i < frames.size(); ++i) {
        OvObjectHasFrameDetach(&objects[i].header);
    }
    std::vector<OvFrame*> roots;
    for (OvFrame* f : frames) {
        if (OvFrameGetParent(f) == nullptr) {
            roots.push_back(f);
        }
    }
    for (OvFrame* f : roots) {
        OvFrameDestroyHierarchy(f);
    }
}

TEST_F(FrameTest, DirtyMarkingRootsAndDestroy) {
    OvFrame* root = OvFrameCreate();
    OvFrame* mid = OvFrameCreate();
    OvFrame* leaf = OvFrameCreate();
    OvFrame* other = OvFrameCreate();
    OvFrameAddChild(root, mid);
    OvFrameAddChild(mid, leaf);
    OvFrameSyncDirty();
    ASSERT_EQ(DirtyListLength(), 0);

    // A root goes on the list once, however many changes come before the sync.
    const OvV3d t = {1.0f, 2.0f, 3.0f};
    OvFrameTranslate(leaf, &t, ovCOMBINEPOSTCONCAT);
    OvFrameTranslate(mid, &t, ovCOMBINEPOSTCONCAT);
    EXPECT_EQ(DirtyListLength(), 1);
    EXPECT_TRUE(OvFrameIsDirty(leaf));
    EXPECT_FALSE(OvFrameIsDirty(other));

    // The world matrix on demand: up to date, no object callbacks, root stays listed.
    CountingObject o;
    InitObject(&o);
    OvObjectHasFrameSetFrame(&o.header, leaf);
    OvObjectHasFrameSetFrame(&o.header, leaf); // a second time: still listed once
    EXPECT_EQ(o.header.lFrame.next->next, &o.header.lFrame);
    EXPECT_EQ(OvFrameGetWorldMatrix(leaf)->pos.x, 2.0f);
    EXPECT_EQ(OvFrameGetWorldMatrix(leaf)->pos.z, 6.0f);
    EXPECT_EQ(o.syncs, 0);
    EXPECT_EQ(DirtyListLength(), 1);
    OvFrameSyncDirty();
    EXPECT_EQ(o.syncs, 1); // the object still learns its frame moved
    OvObjectHasFrameDetach(&o.header);
    OvObjectHasFrameDetach(&o.header); // twice is harmless
    EXPECT_TRUE(OvLLLinkIsEmpty(&leaf->objectList));

    // Moving a subtree to another parent updates every root pointer in it.
    OvFrameAddChild(other, mid);
    EXPECT_EQ(mid->root, other);
    EXPECT_EQ(leaf->root, other);
    EXPECT_EQ(root->child, nullptr);
    EXPECT_EQ(DirtyListLength(), 1); // the new root only: the old hierarchy did not move
    OvFrameSyncDirty();
    EXPECT_EQ(leaf->ltm.pos.x, 2.0f);

    // A former root added without update leaves the dirty list, its pending move going with it to
    // the new root; a frame with nothing pending marks nothing.
    OvFrameTranslate(root, &t, ovCOMBINEREPLACE);
    OvFrameAddChildNoUpdate(leaf, root);
    EXPECT_EQ(root->root, other);
    EXPECT_EQ(DirtyListLength(), 1);
    EXPECT_TRUE(OvFrameIsDirty(other));
    OvFrameSyncDirty();
    EXPECT_EQ(root->ltm.pos.x, 3.0f);
    OvFrame* clean = OvFrameCreate();
    OvFrameSyncDirty();
    OvFrameAddChildNoUpdate(root, clean);
    EXPECT_EQ(DirtyListLength(), 0);
    EXPECT_EQ(clean->root, other);

    // Destroying a middle frame leaves its children as hierarchies of their own, each marked
    // dirty: the sync takes the destroyed frame's transform out of their world matrices.
    OvFrameDestroy(mid);
    EXPECT_EQ(other->child, nullptr);
    EXPECT_EQ(OvFrameGetParent(leaf), nullptr);
    EXPECT_EQ(leaf->root, leaf);
    EXPECT_EQ(root->root, leaf);
    EXPECT_EQ(DirtyListLength(), 1);
    EXPECT_TRUE(OvFrameIsDirty(root));
    OvFrameSyncDirty();
    ExpectWorldMatches(leaf);
    ExpectWorldMatches(root);
    OvFrameDestroyHierarchy(leaf);
    OvFrameDestroyHierarchy(other);
    EXPECT_TRUE(OvFrameDestroyHierarchy(nullptr));

    // A bad combine changes nothing and marks nothing.
    OvFrame* f = OvFrameCreate();
    EXPECT_EQ(OvFrameTranslate(f, &t, static_cast<OvOpCombineType>(3)), nullptr);
    EXPECT_EQ(ClearError(), ovERRINVALIDVALUE);
    EXPECT_FALSE(OvFrameIsDirty(f));
    OvFrameDestroy(f);
}

// A frame-list chunk body: struct chunk with the records, then one empty extension per frame.
struct FrameRecord {
    float rows[12];
    std::int32_t parent;
};

ChunkBytes FrameList(const std::vector<FrameRecord>& records, std::int32_t count, std::uint32_t extra = 0) {
    ChunkBytes body;
    body.Header(1, 4 + 56 * static_cast<std::uint32_t>(records.size()) + extra).I32(count);
    for (const FrameRecord& r : records) {
        for (float v : r.rows) {
            body.F32(v);
        }
        body.I32(r.parent).U32(0xDEADBEEF);
    }
    for (std::uint32_t i = 0; i < extra; ++i) {
        body.bytes.push_back(0xEE);
    }
    for (std::size_t i = 0; i < records.size(); ++i) {
        body.EmptyExtension();
    }
    return body;
}

FrameRecord Rigid(float x, std::int32_t parent) { return {{1, 0, 0, 0, 1, 0, 0, 0, 1, x, 0, 0}, parent}; }

TEST_F(FrameTest, FrameListReadsRecordsFlagsAndParents) {
    // Near-orthonormal (errors within 0.01, determinant 0.995): keeps flags 3.
    FrameRecord nearRigid = {{0.998f, 0, 0, 0, 0.998f, 0, 0, 0, 0.999f, 0, 0, 5}, 0};
    // Mirrored: determinant -1, flags 0.
    FrameRecord mirrored = {{-1, 0, 0, 0, 1, 0, 0, 0, 1, 0, 0, 0}, 1};
    ChunkBytes data = FrameList({Rigid(1, -1), nearRigid, mirrored, Rigid(7, -1)}, 4, 8);
    data.Header(2, 4).U32(0x00636261); // sentinel: a string chunk "abc"

    OvStream* s = OpenRead(data.bytes, data.Size());
    OvFrameList list;
    ASSERT_EQ(OvFrameListStreamRead(s, &list), &list);
    ASSERT_EQ(list.numFrames, 4);
    OvFrame** f = list.frames;
    EXPECT_EQ(f[1]->modelling.flags, ovMATRIXTYPEORTHONORMAL);
    EXPECT_EQ(f[2]->modelling.flags, 0u);
    EXPECT_EQ(f[0]->modelling.flags, ovMATRIXTYPEORTHONORMAL);
    EXPECT_EQ(OvFrameGetParent(f[1]), f[0]);
    EXPECT_EQ(OvFrameGetParent(f[2]), f[1]);
    EXPECT_EQ(f[2]->root, f[0]);
    EXPECT_EQ(f[3]->root, f[3]);
    EXPECT_EQ(f[1]->modelling.pos.z, 5.0f);
    EXPECT_EQ(DirtyListLength(), 2);
    OvFrameSyncDirty();
    EXPECT_EQ(f[2]->ltm.pos.x, 1.0f);
    // The stream is left at the chunk after the frame list.
    OvUInt32 type = 0;
    EXPECT_TRUE(OvStreamReadChunkHeader(s, &type, nullptr, nullptr, nullptr));
    EXPECT_EQ(type, 2u);
    OvStreamClose(s, nullptr);
    OvFrameDestroyHierarchy(f[0]);
    OvFrameDestroyHierarchy(f[3]);
    OvFrameListDestroy(&list);
    EXPECT_EQ(list.numFrames, 0);
}

TEST_F(FrameTest, FrameListRefusesBadParentsCountsVersionsAndEveryTruncation) {
    struct Case {
        ChunkBytes bytes;
        const char* what;
    };
    std::vector<Case> bad;
    bad.push_back({FrameList({Rigid(0, -1), Rigid(0, 1)}, 2), "parent is itself"});
    bad.push_back({FrameList({Rigid(0, -1), Rigid(0, 5)}, 2), "parent after the frame"});
    bad.push_back({FrameList({Rigid(0, 2), Rigid(0, -1)}, 2), "parent not read yet"});
    bad.push_back({FrameList({Rigid(0, -1)}, 3), "count beyond the records"});
    bad.push_back({FrameList({Rigid(0, -1)}, -1), "negative count"});
    bad.push_back({FrameList({Rigid(0, -1)}, 0x7FFFFFFF), "huge count"});
    ChunkBytes oldVersion;
    oldVersion.Header(1, 4, 0x0310).I32(0);
    bad.push_back({oldVersion, "version 0x31000"});
    ChunkBytes badExtension = FrameList({Rigid(0, -1)}, 1);
    badExtension.bytes.resize(badExtension.bytes.size() - 12);
    badExtension.Header(3, 12).Header(0x99, 100); // sub-chunk longer than its extension chunk
    bad.push_back({badExtension, "extension sub-chunk overruns"});

    for (Case& c : bad) {
        OvStream* s = OpenRead(c.bytes.bytes, c.bytes.Size());
        OvFrameList list = {nullptr, 0};
        EXPECT_EQ(OvFrameListStreamRead(s, &list), nullptr) << c.what;
        EXPECT_NE(ClearError(), ovERRNOERROR) << c.what;
        EXPECT_EQ(DirtyListLength(), 0) << c.what;
        OvStreamClose(s, nullptr);
    }

    // Every prefix of a valid list fails cleanly (the leak checker watches the frames).
    ChunkBytes good = FrameList({Rigid(1, -1), Rigid(2, 0), Rigid(3, 1), Rigid(4, 0)}, 4);
    for (std::uint32_t n = 0; n < good.Size(); ++n) {
        OvStream* s = OpenRead(good.bytes, n);
        OvFrameList list = {nullptr, 0};
        ASSERT_EQ(OvFrameListStreamRead(s, &list), nullptr) << n;
        OvStreamClose(s, nullptr);
        ASSERT_EQ(DirtyListLength(), 0) << n;
    }
    ClearError();
}

} // namespace

namespace {

// Largest block asked of the engine's memory functions while a LargestAllocation lives.
std::size_t gLargest = 0;
OvMemoryFunctions gSaved;

class LargestAllocation {
public:
    LargestAllocation() {
        gLargest = 0;
        gSaved = OvEngineInstancePtr->memoryFuncs;
        OvEngineInstancePtr->memoryFuncs.allocate = [](std::size_t size, OvUInt32 hint) {
            gLargest = size > gLargest ? size : gLargest;
            return gSaved.allocate(size, hint);
        };
    }
    ~LargestAllocation() { OvEngineInstancePtr->memoryFuncs = gSaved; }
    std::size_t Get() const { return gLargest; }
};

TEST_F(FrameTest, FrameListTableGrowsWithTheRecordsTheStreamHolds) {
    // A struct chunk that claims fifty million records, in a stream that ends after the count.
    ChunkBytes claim;
    claim.Header(1, 4 + 56u * 50000000u).I32(50000000);
    // One that claims 1000 and holds 3.
    ChunkBytes shortList = FrameList({Rigid(0, -1), Rigid(1, 0), Rigid(2, 1)}, 3);
    shortList.bytes[4] = 0xC4; // length 4 + 56 * 1000 = 56004 = 0xDAC4
    shortList.bytes[5] = 0xDA;
    shortList.bytes[12] = 0xE8; // count 1000
    shortList.bytes[13] = 0x03;
    for (ChunkBytes* bad : {&claim, &shortList}) {
        LargestAllocation largest;
        OvStream* s = OpenRead(bad->bytes, bad->Size());
        OvFrameList list = {nullptr, 0};
        EXPECT_EQ(OvFrameListStreamRead(s, &list), nullptr);
        OvStreamClose(s, nullptr);
        EXPECT_LT(largest.Get(), 4096u) << "allocation for records the stream does not hold";
    }
    ClearError();

    // A list longer than the table's first size grows it and keeps every frame in order.
    std::vector<FrameRecord> chain;
    for (int i = 0; i < 70; ++i) {
        chain.push_back(Rigid(static_cast<float>(i), i - 1));
    }
    ChunkBytes data = FrameList(chain, 70);
    OvStream* s = OpenRead(data.bytes, data.Size());
    OvFrameList list = {nullptr, 0};
    ASSERT_EQ(OvFrameListStreamRead(s, &list), &list);
    OvStreamClose(s, nullptr);
    ASSERT_EQ(list.numFrames, 70);
    for (int i = 1; i < 70; ++i) {
        EXPECT_EQ(OvFrameGetParent(list.frames[i]), list.frames[i - 1]);
        EXPECT_EQ(list.frames[i]->modelling.pos.x, static_cast<float>(i));
    }
    OvFrameDestroyHierarchy(list.frames[0]);
    OvFrameListDestroy(&list);
}

} // namespace
