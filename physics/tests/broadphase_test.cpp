// The far field against a brute-force overlap oracle, and its tree bookkeeping.

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <memory>
#include <random>
#include <set>
#include <vector>

#include "physics/core/broadphase/farfield.h"
#include "platform/crt.h"

namespace {

struct Field {
    explicit Field(OvUInt32 pairs, OvUInt32 objects = ovpFARFIELDOBJECTS) {
        links.resize(OvpFarfieldGetSize(objects, pairs) + 16);
        unsigned char* cursor = reinterpret_cast<unsigned char*>((reinterpret_cast<std::uintptr_t>(links.data()) + 15) &
                                                                 ~std::uintptr_t(15));
        OvpBBox world = {};
        world.sup = {100.0f, 100.0f, 100.0f};
        world.inf = {-100.0f, -100.0f, -100.0f};
        ff = std::make_unique<OvpFarfield>();
        OvpFarfieldInit(ff.get(), OvpPairLinksInit(&cursor, objects, pairs), objects, &world, 0.01f);
    }
    std::set<OvUInt16> Partners(OvUInt32 id) const {
        std::vector<OvUInt16> out(ovpFARFIELDOBJECTS);
        const OvUInt32 n = OvpPairLinksGetPartners(ff->pairLinks, id, out.data(), nullptr, 0);
        return {out.begin(), out.begin() + n};
    }
    std::vector<unsigned char> links;
    std::unique_ptr<OvpFarfield> ff;
};

OvpBBox Box(float cx, float cy, float cz, float h) {
    OvpBBox b = {};
    b.sup = {cx + h, cy + h, cz + h};
    b.inf = {cx - h, cy - h, cz - h};
    return b;
}

bool Overlap(const OvpBBox& a, const OvpBBox& b) {
    return a.inf.x <= b.sup.x && b.inf.x <= a.sup.x && a.inf.y <= b.sup.y && b.inf.y <= a.sup.y && a.inf.z <= b.sup.z &&
           b.inf.z <= a.sup.z;
}

// Every list of the tree in use keeps exactly the box around its objects' stored boxes (a list
// left with stale, larger bounds would still be right, but queries would stop skipping it).
void ExpectTightListBounds(const OvpFarfield& ff) {
    std::vector<OvUInt16> nodes = {0};
    while (!nodes.empty()) {
        const OvUInt16 n = nodes.back();
        nodes.pop_back();
        for (OvUInt32 list = 0; list < 9; ++list) {
            OvUInt16 head = static_cast<OvUInt16>(ff.nodes[n].word & 0x3FF);
            if (list < 8) {
                const OvUInt16 slot = ff.nodes[n].slot[list];
                if (!(slot & 0x8000)) {
                    nodes.push_back(slot);
                    continue;
                }
                head = slot & 0x3FF;
            }
            OvpBBox u = {};
            u.sup = {-INFINITY, -INFINITY, -INFINITY};
            u.inf = {INFINITY, INFINITY, INFINITY};
            for (OvUInt16 l = head; l != ovpFARFIELDNONE; l = ff.links[l].next) {
                const OvpBBox& b = ff.boxes[ff.links[l].object & 0x3FF];
                u.sup = {std::max(u.sup.x, b.sup.x), std::max(u.sup.y, b.sup.y), std::max(u.sup.z, b.sup.z)};
                u.inf = {std::min(u.inf.x, b.inf.x), std::min(u.inf.y, b.inf.y), std::min(u.inf.z, b.inf.z)};
            }
            const OvpBBox& k = ff.listBounds[n][list];
            const float got[6] = {k.sup.x, k.sup.y, k.sup.z, k.inf.x, k.inf.y, k.inf.z};
            const float want[6] = {u.sup.x, u.sup.y, u.sup.z, u.inf.x, u.inf.y, u.inf.z};
            for (int i = 0; i < 6; ++i) {
                ASSERT_EQ(got[i], want[i]) << "node " << n << " list " << list;
            }
        }
    }
}

} // namespace

TEST(PhysicsFarfield, PartnerListsMatchBruteForceUnderRandomEdits) {
    crt_srand(7);
    Field f(20000);
    std::mt19937 rng(3);
    // Centres on a coarse lattice put many boxes right in the loose overlap bands; a few boxes
    // leave the world box and live in the root's own list.
    std::uniform_int_distribution<int> cell(-16, 16);
    std::uniform_real_distribution<float> size(0.05f, 6.0f);
    // Ids 0 to 398 and the last one, 1022.
    std::vector<bool> in(ovpFARFIELDOBJECTS, false);
    std::vector<OvpBBox> boxes(ovpFARFIELDOBJECTS);
    for (int op = 0; op < 6000; ++op) {
        OvUInt32 id = rng() % 400;
        id = id == 399 ? ovpFARFIELDOBJECTS - 1u : id;
        if (in[id]) {
            ASSERT_NE(OvpFarfieldRemove(f.ff.get(), id), nullptr);
            in[id] = false;
            if (rng() % 3 == 0) {
                continue;
            }
        }
        boxes[id] = Box(cell(rng) * 6.25f, cell(rng) * 6.25f, cell(rng) * 6.25f, size(rng));
        ASSERT_NE(OvpFarfieldInsert(f.ff.get(), id, &boxes[id]), nullptr);
        in[id] = true;
        if (op % 500 == 499) {
            ExpectTightListBounds(*f.ff);
            for (OvUInt32 a = 0; a < ovpFARFIELDOBJECTS; ++a) {
                if (!in[a]) {
                    continue;
                }
                std::set<OvUInt16> expected;
                OvpBBox sa, sb;
                OvpFarfieldGetBox(f.ff.get(), a, &sa);
                EXPECT_NEAR(sa.sup.x, boxes[a].sup.x, 1e-4f);
                for (OvUInt32 b = 0; b < ovpFARFIELDOBJECTS; ++b) {
                    if (b != a && in[b] && Overlap(f.ff->boxes[a], f.ff->boxes[b])) {
                        expected.insert(static_cast<OvUInt16>(b));
                    }
                }
                ASSERT_EQ(f.Partners(a), expected) << "object " << a << " after " << op << " edits";
                (void)sb;
            }
        }
    }
    // Everything out again: every node back on the free list, every link free.
    for (OvUInt32 id = 0; id < ovpFARFIELDOBJECTS; ++id) {
        if (in[id]) {
            OvpFarfieldRemove(f.ff.get(), id);
        }
    }
    int freeLinks = 0;
    for (OvUInt16 l = f.ff->freeLink; l != ovpFARFIELDNONE; l = f.ff->links[l].next) {
        ++freeLinks;
    }
    EXPECT_EQ(freeLinks, ovpFARFIELDOBJECTS);
}

TEST(PhysicsFarfield, SplitsCountsAndNodeFreeing) {
    // The loose split constants, bit for bit.
    EXPECT_EQ(std::bit_cast<OvUInt32>(0.39999998f), 0x3ECCCCCCu);
    crt_srand(1);
    Field f(100);
    OvpFarfield* ff = f.ff.get();
    // Four small boxes deep inside child 0 of the root: the fourth splits the slot into a node.
    for (OvUInt32 id = 0; id < 3; ++id) {
        const OvpBBox b = Box(-90.0f + id, -90.0f, -90.0f, 0.1f);
        OvpFarfieldInsert(ff, id, &b);
    }
    EXPECT_TRUE(ff->nodes[0].slot[0] & 0x8000);
    EXPECT_EQ((ff->nodes[0].slot[0] >> 10) & 31, 3);
    const OvpBBox fourth = Box(-87.0f, -90.0f, -90.0f, 0.1f);
    OvpFarfieldInsert(ff, 3, &fourth);
    const OvUInt16 child = ff->nodes[0].slot[0];
    ASSERT_FALSE(child & 0x8000);
    EXPECT_EQ(ff->location[3] >> 6, child);
    // Removing them all frees the node again; the root stays.
    for (OvUInt32 id = 0; id < 4; ++id) {
        OvpFarfieldRemove(ff, id);
    }
    EXPECT_EQ(ff->nodes[0].slot[0], ovpFARFIELDEMPTYLEAF);
    EXPECT_EQ(ff->freeNode, child);

    // Faces that only touch pair; a box poking out of the world box sits in the root's own list.
    const OvpBBox a = Box(0.0f, 0.0f, 0.0f, 1.0f), b = Box(2.02f, 0.0f, 0.0f, 1.0f);
    OvpFarfieldInsert(ff, 10, &a);
    OvpFarfieldInsert(ff, 11, &b);
    EXPECT_EQ(f.Partners(10), std::set<OvUInt16>{11});
    const OvpBBox edge = Box(99.5f, 0.0f, 0.0f, 1.0f);
    OvpFarfieldInsert(ff, 12, &edge);
    EXPECT_EQ(ff->location[12], ovpFARFIELDOWNLIST);
    // A box with a NaN corner on the same list meets nothing and leaves the list's bounds whole:
    // a box touching the first one still finds it.
    OvpBBox bad = Box(99.0f, 99.5f, 0.0f, 1.0f);
    bad.sup.x = NAN;
    OvpFarfieldInsert(ff, 13, &bad);
    ASSERT_EQ(ff->location[13], ovpFARFIELDOWNLIST);
    const OvpBBox near = Box(98.0f, 0.0f, 0.0f, 0.6f);
    OvpFarfieldInsert(ff, 14, &near);
    EXPECT_EQ(f.Partners(14), std::set<OvUInt16>{12});
}

TEST(PhysicsFarfield, SaturatedCountIsRecountedAndFullPairLinksRecordNothing) {
    crt_srand(5);
    Field f(40);
    OvpFarfield* ff = f.ff.get();
    // No free node: the slot's list grows and its count saturates at 31.
    ff->freeNode = ovpFARFIELDNONE;
    for (OvUInt32 id = 0; id < 40; ++id) {
        const OvpBBox b = Box(-90.0f + 0.5f * id, -90.0f, -90.0f, 0.1f);
        OvpFarfieldInsert(ff, id, &b);
    }
    EXPECT_EQ((ff->nodes[0].slot[0] >> 10) & 31, 31);
    for (OvUInt32 id = 0; id < 30; ++id) {
        OvpFarfieldRemove(ff, id * 7 % 40 == 0 ? 39 - id : id);
    }
    int flagged = 0;
    for (OvUInt16 l = ff->nodes[0].slot[0] & 0x3FF; l != ovpFARFIELDNONE; l = ff->links[l].next) {
        flagged += (ff->links[l].object & 0x8000) ? 1 : 0;
    }
    EXPECT_EQ((ff->nodes[0].slot[0] >> 10) & 31, flagged);

    // 40 pairs of capacity: a crowd of overlapping boxes stops recording quietly.
    Field g(40);
    int recorded = 0;
    for (OvUInt32 id = 0; id < 20; ++id) {
        const OvpBBox b = Box(0.0f, 0.0f, 0.0f, 1.0f);
        ASSERT_NE(OvpFarfieldInsert(g.ff.get(), id, &b), nullptr);
    }
    for (OvUInt32 id = 0; id < 20; ++id) {
        recorded += static_cast<int>(OvpPairLinksCount(g.ff->pairLinks, id));
    }
    EXPECT_EQ(recorded, 2 * 40);
}
