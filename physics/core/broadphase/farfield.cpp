#include "physics/core/broadphase/farfield.h"

#include <bit>
#include <cstring>
#include <limits>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "platform/crt.h"

namespace {

// The loose split constants, bit for bit: 0.39999998 (not the float nearest 0.4) and 0.6.
const float kLow = std::bit_cast<float>(0x3ECCCCCCu);
const float kHigh = std::bit_cast<float>(0x3F19999Au);

constexpr OvUInt16 kLeaf = 0x8000;
constexpr OvUInt16 kFits = 0x8000;
constexpr OvUInt16 kIdMask = 0x3FF;

// Boxes are handled as two corners of three axis lanes; the SSE coding keeps the spare word as a
// fourth lane at zero. Both codings compute each axis exactly as written in the scalar one, so
// their results are bit for bit the same.
#if defined(__SSE2__)

struct Lanes {
    __m128 sup, inf;
};
// Split points of every axis of a parent box: the lower child ends at high, the upper one starts
// at low.
struct Cuts {
    __m128 low, high;
};

inline Lanes Load(const OvpBBox& b) {
    const __m128 xyz = _mm_castsi128_ps(_mm_set_epi32(0, -1, -1, -1));
    return {_mm_and_ps(_mm_loadu_ps(&b.sup.x), xyz), _mm_and_ps(_mm_loadu_ps(&b.inf.x), xyz)};
}

// For Overlap alone, which never looks at the spare lane.
inline Lanes LoadForOverlap(const OvpBBox& b) { return {_mm_loadu_ps(&b.sup.x), _mm_loadu_ps(&b.inf.x)}; }

inline void Store(const Lanes& l, OvpBBox* out) {
    _mm_storeu_ps(&out->sup.x, l.sup);
    _mm_storeu_ps(&out->inf.x, l.inf);
}

inline Cuts CutsOf(const Lanes& parent) {
    const __m128 lo = _mm_set1_ps(kLow), hi = _mm_set1_ps(kHigh);
    return {_mm_add_ps(_mm_mul_ps(lo, parent.sup), _mm_mul_ps(hi, parent.inf)),
            _mm_add_ps(_mm_mul_ps(hi, parent.sup), _mm_mul_ps(lo, parent.inf))};
}

inline void StoreCuts(const Cuts& c, float (*out)[4]) {
    _mm_storeu_ps(out[0], c.low);
    _mm_storeu_ps(out[1], c.high);
}
inline Cuts LoadCuts(const float (*in)[4]) { return {_mm_loadu_ps(in[0]), _mm_loadu_ps(in[1])}; }

inline OvUInt32 Bits(__m128 mask) { return static_cast<OvUInt32>(_mm_movemask_ps(mask)) & 7u; }

// Axis bits where the box's minimum lies above a cut and where its maximum lies below one.
inline OvUInt32 InfAbove(const Lanes& box, __m128 cut) { return Bits(_mm_cmpgt_ps(box.inf, cut)); }
inline OvUInt32 SupBelow(const Lanes& box, __m128 cut) { return Bits(_mm_cmplt_ps(box.sup, cut)); }

// The box of child c: on the axes whose bit is set the upper part, on the others the lower.
inline Lanes ChildOf(const Lanes& parent, const Cuts& cuts, OvUInt32 c) {
    alignas(16) static constexpr OvUInt32 kUpper[8][4] = {{0, 0, 0, 0},     {~0u, 0, 0, 0},    {0, ~0u, 0, 0},
                                                          {~0u, ~0u, 0, 0}, {0, 0, ~0u, 0},    {~0u, 0, ~0u, 0},
                                                          {0, ~0u, ~0u, 0}, {~0u, ~0u, ~0u, 0}};
    const __m128 upper = _mm_load_ps(reinterpret_cast<const float*>(kUpper[c & 7u]));
    return {_mm_or_ps(_mm_and_ps(upper, parent.sup), _mm_andnot_ps(upper, cuts.high)),
            _mm_or_ps(_mm_and_ps(upper, cuts.low), _mm_andnot_ps(upper, parent.inf))};
}

// Boxes that only touch overlap.
inline bool Overlap(const Lanes& a, const Lanes& b) {
    return Bits(_mm_and_ps(_mm_cmple_ps(a.inf, b.sup), _mm_cmple_ps(b.inf, a.sup))) == 7u;
}

#else

struct Lanes {
    OvpBBox box;
};
struct Cuts {
    float low[3], high[3];
};

inline Lanes Load(const OvpBBox& b) { return {b}; }
inline Lanes LoadForOverlap(const OvpBBox& b) { return {b}; }
inline void Store(const Lanes& l, OvpBBox* out) { *out = l.box; }

inline Cuts CutsOf(const Lanes& parent) {
    Cuts out;
    for (int axis = 0; axis < 3; ++axis) {
        const float min = OvpComponent(parent.box.inf, axis), max = OvpComponent(parent.box.sup, axis);
        out.low[axis] = kLow * max + kHigh * min;
        out.high[axis] = kHigh * max + kLow * min;
    }
    return out;
}

inline void StoreCuts(const Cuts& c, float (*out)[4]) {
    for (int axis = 0; axis < 3; ++axis) {
        out[0][axis] = c.low[axis];
        out[1][axis] = c.high[axis];
    }
    out[0][3] = out[1][3] = 0.0f;
}
inline Cuts LoadCuts(const float (*in)[4]) {
    Cuts c;
    for (int axis = 0; axis < 3; ++axis) {
        c.low[axis] = in[0][axis];
        c.high[axis] = in[1][axis];
    }
    return c;
}

inline OvUInt32 InfAbove(const Lanes& box, const float* cut) {
    OvUInt32 bits = 0;
    for (int axis = 0; axis < 3; ++axis) {
        bits |= OvpComponent(box.box.inf, axis) > cut[axis] ? 1u << axis : 0u;
    }
    return bits;
}
inline OvUInt32 SupBelow(const Lanes& box, const float* cut) {
    OvUInt32 bits = 0;
    for (int axis = 0; axis < 3; ++axis) {
        bits |= OvpComponent(box.box.sup, axis) < cut[axis] ? 1u << axis : 0u;
    }
    return bits;
}

inline Lanes ChildOf(const Lanes& parent, const Cuts& cuts, OvUInt32 c) {
    Lanes out = parent;
    for (int axis = 0; axis < 3; ++axis) {
        if ((c >> axis) & 1u) {
            OvpSetComponent(out.box.inf, axis, cuts.low[axis]);
        } else {
            OvpSetComponent(out.box.sup, axis, cuts.high[axis]);
        }
    }
    return out;
}

inline bool Overlap(const Lanes& a, const Lanes& b) {
    const OvpBBox &x = a.box, &y = b.box;
    return x.inf.x <= y.sup.x && y.inf.x <= x.sup.x && x.inf.y <= y.sup.y && y.inf.y <= x.sup.y && x.inf.z <= y.sup.z &&
           y.inf.z <= x.sup.z;
}

#endif

bool Inside(const OvpBBox& outer, const OvpBBox& inner) {
    for (int axis = 0; axis < 3; ++axis) {
        if (OvpComponent(outer.inf, axis) > OvpComponent(inner.inf, axis) ||
            OvpComponent(outer.sup, axis) < OvpComponent(inner.sup, axis)) {
            return false;
        }
    }
    return true;
}

bool FitsInChild(const OvpBBox& parent, const OvpBBox& box) {
    const Lanes b = Load(box);
    const Cuts cuts = CutsOf(Load(parent));
    return (InfAbove(b, cuts.low) | SupBelow(b, cuts.high)) == 7u;
}

// The child of parent that takes box, or 0xFFFF; one random draw per call whatever the result.
// Per axis the box is above (its minimum past the upper child's start) and/or below (its
// maximum short of the lower child's end); in the overlap band a bit of the draw decides.
OvUInt32 ChooseChild(const OvpBBox& parent, const OvpBBox& box, OvpBBox* childBox) {
    const OvUInt32 random = static_cast<OvUInt32>(crt_rand());
    const Lanes p = Load(parent), b = Load(box);
    const Cuts cuts = CutsOf(p);
    const OvUInt32 above = InfAbove(b, cuts.low), below = SupBelow(b, cuts.high);
    if ((above | below) != 7u) {
        return 0xFFFF;
    }
    const OvUInt32 child = (above & below & random) | (above & ~below);
    Store(ChildOf(p, cuts, child), childBox);
    return child;
}

void AddOverlap(OvpPairLinks* pl, OvUInt32 a, OvUInt32 b) {
    OvpPairLinkEntry* e = pl->entries;
    const OvUInt16 first = pl->freeHead;
    if (first == ovpPAIRLINKNONE || e[first].next == ovpPAIRLINKNONE) {
        return; // no room for both entries: not recorded
    }
    const OvUInt16 second = e[first].next;
    pl->freeHead = e[second].next;
    auto link = [e](OvUInt16 entry, OvUInt32 head, OvUInt32 partner, OvUInt16 twin) {
        e[entry].partner = static_cast<OvUInt16>(partner);
        e[entry].twin = twin;
        e[entry].prev = static_cast<OvUInt16>(head);
        e[entry].next = e[head].next;
        e[e[head].next].prev = entry;
        e[head].next = entry;
    };
    link(first, a, b, second);
    link(second, b, a, first);
}

void Unlink(OvpPairLinks* pl, OvUInt16 entry) {
    OvpPairLinkEntry* e = pl->entries;
    e[e[entry].prev].next = e[entry].next;
    e[e[entry].next].prev = e[entry].prev;
    e[entry].next = pl->freeHead;
    pl->freeHead = entry;
}

bool GroupsExcluded(const OvpFarfield* ff, OvUInt32 inserted, OvUInt32 other) {
    if (ff->groupMatrix == nullptr) {
        return false;
    }
    const OvUInt32 width = ff->groupMatrix[1];
    const OvUInt32 bit = ff->groups[other] + ff->groups[inserted] * width;
    return (ff->groupMatrix[3 + bit / 32] >> (bit % 32)) & 1u;
}

// Index of a list's bounds within its node: the slots 0..7, the own list 8.
inline OvUInt32 BoundsIndex(OvUInt32 list) { return list == ovpFARFIELDOWNLIST ? 8u : list; }

void ClearBounds(OvpBBox* b) {
    const float big = std::numeric_limits<float>::infinity();
    *b = {{-big, -big, -big}, 0, {big, big, big}, 0};
}

// Grows the bounds by a box. A NaN corner of the box leaves that side as it was: such a box
// meets no query, and the bounds stay a number.
void Extend(OvpBBox* b, const OvpBBox& box) {
    b->sup.x = box.sup.x > b->sup.x ? box.sup.x : b->sup.x;
    b->sup.y = box.sup.y > b->sup.y ? box.sup.y : b->sup.y;
    b->sup.z = box.sup.z > b->sup.z ? box.sup.z : b->sup.z;
    b->inf.x = box.inf.x < b->inf.x ? box.inf.x : b->inf.x;
    b->inf.y = box.inf.y < b->inf.y ? box.inf.y : b->inf.y;
    b->inf.z = box.inf.z < b->inf.z ? box.inf.z : b->inf.z;
}

void TestLinks(OvpFarfield* ff, OvUInt32 id, const Lanes& q, OvUInt16 head) {
    for (OvUInt16 l = head; l != ovpFARFIELDNONE; l = ff->links[l].next) {
        const OvUInt32 other = ff->links[l].object & kIdMask;
        if (other != id && Overlap(LoadForOverlap(ff->boxes[other]), q) && !GroupsExcluded(ff, id, other)) {
            AddOverlap(ff->pairLinks, id, other);
        }
    }
}

// Most lists a query meets are empty leaves, and most others lie beside the query's box: those
// are passed over without a call.
inline void TestList(OvpFarfield* ff, OvUInt32 id, const Lanes& q, OvUInt16 head, const OvpBBox& bounds) {
    if (head != ovpFARFIELDNONE && Overlap(LoadForOverlap(bounds), q)) {
        TestLinks(ff, id, q, head);
    }
}

void Query(OvpFarfield* ff, OvUInt32 id) {
    // The children on the upper side of each axis set in the index, and on the lower side.
    static constexpr auto kSides = [] {
        struct {
            OvUInt8 upper[8], lower[8];
        } t{};
        const OvUInt32 upper[3] = {0xAA, 0xCC, 0xF0};
        for (OvUInt32 bits = 0; bits < 8; ++bits) {
            OvUInt32 u = 0xFF, l = 0xFF;
            for (int axis = 0; axis < 3; ++axis) {
                if ((bits >> axis) & 1u) {
                    u &= upper[axis];
                    l &= ~upper[axis] & 0xFF;
                }
            }
            t.upper[bits] = static_cast<OvUInt8>(u);
            t.lower[bits] = static_cast<OvUInt8>(l);
        }
        return t;
    }();
    OvUInt16 stack[ovpFARFIELDNODES];
    int top = 0;
    stack[top++] = 0;
    const Lanes q = Load(ff->boxes[id]);
    while (top > 0) {
        const OvUInt16 n = stack[--top];
        const OvpFarfieldNode& node = ff->nodes[n];
        const OvpBBox* bounds = ff->listBounds[n];
        TestList(ff, id, q, static_cast<OvUInt16>(node.word & kIdMask), bounds[8]);
        const Cuts cuts = LoadCuts(ff->cuts[n]);
        const OvUInt32 upper = InfAbove(q, cuts.high), lower = SupBelow(q, cuts.low);
        // The children the box reaches, in ascending order.
        for (OvUInt32 mask = kSides.upper[upper] & kSides.lower[lower]; mask != 0; mask &= mask - 1) {
            const OvUInt32 c = static_cast<OvUInt32>(std::countr_zero(mask));
            const OvUInt16 slot = node.slot[c];
            if (slot & kLeaf) {
                TestList(ff, id, q, slot & kIdMask, bounds[c]);
            } else {
                stack[top++] = slot;
            }
        }
    }
}

OvUInt16 PopLink(OvpFarfield* ff, OvUInt32 id) {
    const OvUInt16 l = ff->freeLink;
    ff->freeLink = ff->links[l].next;
    ff->links[l].object = static_cast<OvUInt16>(id);
    return l;
}

inline OvUInt16 SlotCount(OvUInt16 slot) { return (slot >> 10) & 31; }
inline OvUInt16 WithCount(OvUInt16 slot, OvUInt16 count) {
    return static_cast<OvUInt16>((slot & ~(31u << 10)) | (count << 10));
}
inline OvUInt16 WithHead(OvUInt16 slot, OvUInt16 head) { return static_cast<OvUInt16>((slot & ~kIdMask) | head); }

void PutOwn(OvpFarfield* ff, OvUInt16 node, OvUInt16 link) {
    OvUInt32& word = ff->nodes[node].word;
    ff->links[link].next = static_cast<OvUInt16>(word & kIdMask);
    word = (word & ~static_cast<OvUInt32>(kIdMask)) | link;
    const OvUInt32 id = ff->links[link].object & kIdMask;
    ff->location[id] = static_cast<OvUInt16>(node << 6 | ovpFARFIELDOWNLIST);
    Extend(&ff->listBounds[node][8], ff->boxes[id]);
}

void PutSlot(OvpFarfield* ff, OvUInt16 node, OvUInt32 child, OvUInt16 link) {
    OvUInt16& slot = ff->nodes[node].slot[child];
    ff->links[link].next = slot & kIdMask;
    slot = WithHead(slot, link);
    const OvUInt32 id = ff->links[link].object & kIdMask;
    ff->location[id] = static_cast<OvUInt16>(node << 6 | child);
    Extend(&ff->listBounds[node][child], ff->boxes[id]);
}

void Split(OvpFarfield* ff, OvUInt16 node, OvUInt32 child, const OvpBBox& slotBox) {
    const OvUInt16 fresh = ff->freeNode;
    ff->freeNode = static_cast<OvUInt16>(ff->nodes[fresh].word & kIdMask);
    OvUInt16 l = ff->nodes[node].slot[child] & kIdMask;
    ff->nodes[node].slot[child] = fresh;
    ClearBounds(&ff->listBounds[node][child]);
    OvpFarfieldNode& n = ff->nodes[fresh];
    n.word = ovpFARFIELDNONE | static_cast<OvUInt32>(node) << 10 | child << 20;
    StoreCuts(CutsOf(Load(slotBox)), ff->cuts[fresh]);
    for (OvUInt16& s : n.slot) {
        s = ovpFARFIELDEMPTYLEAF;
    }
    for (OvpBBox& b : ff->listBounds[fresh]) {
        ClearBounds(&b);
    }
    while (l != ovpFARFIELDNONE) {
        const OvUInt16 next = ff->links[l].next;
        const OvUInt32 id = ff->links[l].object & kIdMask;
        if (ff->links[l].object & kFits) {
            OvpBBox childBox;
            const OvUInt32 c = ChooseChild(slotBox, ff->boxes[id], &childBox);
            PutSlot(ff, fresh, c, l);
            if (FitsInChild(childBox, ff->boxes[id])) {
                OvUInt16& s = n.slot[c];
                if (SlotCount(s) < 31) {
                    s = WithCount(s, SlotCount(s) + 1);
                }
            } else {
                ff->links[l].object &= kIdMask;
            }
        } else {
            PutOwn(ff, fresh, l);
        }
        l = next;
    }
}

} // namespace

std::size_t OvpFarfieldGetSize(OvUInt32 objects, OvUInt32 pairs) {
    const std::size_t header = (sizeof(OvpPairLinks) + 15) & ~std::size_t(15);
    const std::size_t entries =
        (static_cast<std::size_t>(objects) + 2 * static_cast<std::size_t>(pairs)) * sizeof(OvpPairLinkEntry);
    return header + ((entries + 15) & ~std::size_t(15));
}

OvpPairLinks* OvpPairLinksInit(unsigned char** cursor, OvUInt32 objects, OvUInt32 pairs) {
    auto* pl = reinterpret_cast<OvpPairLinks*>(*cursor);
    const std::size_t header = (sizeof(OvpPairLinks) + 15) & ~std::size_t(15);
    pl->objects = objects;
    pl->pairs = pairs;
    pl->entries = reinterpret_cast<OvpPairLinkEntry*>(*cursor + header);
    const OvUInt32 total = objects + 2 * pairs;
    for (OvUInt32 i = 0; i < objects; ++i) {
        pl->entries[i] = {static_cast<OvUInt16>(i), static_cast<OvUInt16>(i), 0, 0};
    }
    for (OvUInt32 i = objects; i < total; ++i) {
        pl->entries[i] = {0, static_cast<OvUInt16>(i + 1 < total ? i + 1 : ovpPAIRLINKNONE), 0, 0};
    }
    pl->freeHead = static_cast<OvUInt16>(total > objects ? objects : ovpPAIRLINKNONE);
    *cursor += OvpFarfieldGetSize(objects, pairs);
    return pl;
}

OvpFarfield* OvpFarfieldInit(OvpFarfield* ff, OvpPairLinks* links, OvUInt32 objects, const OvpBBox* world,
                             float margin) {
    ff->world = *world;
    ff->capacity = objects;
    for (OvUInt16 i = 0; i < ovpFARFIELDOBJECTS; ++i) {
        ff->links[i] = {0, static_cast<OvUInt16>(i + 1 < ovpFARFIELDOBJECTS ? i + 1 : ovpFARFIELDNONE)};
        ff->location[i] = 0xFFFF;
    }
    ff->freeLink = 0;
    ff->nodes[0].word = ovpFARFIELDNONE;
    for (OvUInt16& s : ff->nodes[0].slot) {
        s = ovpFARFIELDEMPTYLEAF;
    }
    for (OvUInt16 i = 1; i < ovpFARFIELDNODES; ++i) {
        ff->nodes[i].word = i + 1 < ovpFARFIELDNODES ? i + 1u : ovpFARFIELDNONE;
        for (OvUInt16& s : ff->nodes[i].slot) {
            s = ovpFARFIELDEMPTYLEAF;
        }
    }
    ff->freeNode = 1;
    std::memset(ff->cuts, 0, sizeof(ff->cuts));
    StoreCuts(CutsOf(Load(ff->world)), ff->cuts[0]);
    for (auto& node : ff->listBounds) {
        for (OvpBBox& b : node) {
            ClearBounds(&b);
        }
    }
    for (OvUInt32 i = 0; i < objects && i < ovpFARFIELDOBJECTS; ++i) {
        ff->groups[i] = 0;
    }
    ff->pairLinks = links;
    ff->margin = margin;
    ff->groupMatrix = nullptr;
    return ff;
}

OvpFarfield* OvpFarfieldInsert(OvpFarfield* ff, OvUInt32 id, const OvpBBox* box) {
    if (id >= ovpFARFIELDOBJECTS || ff->location[id] != 0xFFFF) {
        return nullptr;
    }
    OvpBBox& stored = ff->boxes[id];
    const float m = ff->margin;
    stored.sup = {box->sup.x + m, box->sup.y + m, box->sup.z + m};
    stored.inf = {box->inf.x - m, box->inf.y - m, box->inf.z - m};
    stored.pad0 = stored.pad1 = 0;
    Query(ff, id);

    OvUInt16 node = 0;
    OvpBBox nodeBox = ff->world, childBox;
    OvUInt32 child = 0xFFFF;
    if (Inside(ff->world, stored)) {
        child = ChooseChild(nodeBox, stored, &childBox);
    }
    while (child != 0xFFFF && !(ff->nodes[node].slot[child] & kLeaf)) {
        node = ff->nodes[node].slot[child];
        nodeBox = childBox;
        child = ChooseChild(nodeBox, stored, &childBox);
    }
    const OvUInt16 link = PopLink(ff, id);
    if (child == 0xFFFF) {
        PutOwn(ff, node, link);
        return ff;
    }
    PutSlot(ff, node, child, link);
    if (FitsInChild(childBox, stored)) {
        ff->links[link].object |= kFits;
        OvUInt16& slot = ff->nodes[node].slot[child];
        OvUInt16 count = SlotCount(slot);
        if (count < 31) {
            slot = WithCount(slot, ++count);
        }
        if (count > 3 && ff->freeNode != ovpFARFIELDNONE) {
            Split(ff, node, child, childBox);
        }
    }
    return ff;
}

OvpFarfield* OvpFarfieldRemove(OvpFarfield* ff, OvUInt32 id) {
    if (id >= ovpFARFIELDOBJECTS || ff->location[id] == 0xFFFF) {
        return nullptr;
    }
    OvpPairLinks* pl = ff->pairLinks;
    while (pl->entries[id].next != id) {
        const OvUInt16 e = pl->entries[id].next;
        const OvUInt16 twin = pl->entries[e].twin;
        Unlink(pl, e);
        Unlink(pl, twin);
    }
    const OvUInt16 node = ff->location[id] >> 6;
    const OvUInt16 list = ff->location[id] & 63;
    ff->location[id] = 0xFFFF;
    OvpFarfieldNode& n = ff->nodes[node];
    OvUInt16 head = list == ovpFARFIELDOWNLIST ? static_cast<OvUInt16>(n.word & kIdMask) : n.slot[list] & kIdMask;
    OvUInt16 prev = ovpFARFIELDNONE, l = head;
    while (l != ovpFARFIELDNONE && (ff->links[l].object & kIdMask) != id) {
        prev = l;
        l = ff->links[l].next;
    }
    if (l == ovpFARFIELDNONE) {
        return nullptr; // not where its location says: nothing to unlink
    }
    if (prev == ovpFARFIELDNONE) {
        head = ff->links[l].next;
    } else {
        ff->links[prev].next = ff->links[l].next;
    }
    if (list == ovpFARFIELDOWNLIST) {
        n.word = (n.word & ~static_cast<OvUInt32>(kIdMask)) | head;
    } else {
        OvUInt16 slot = WithHead(n.slot[list], head);
        if (ff->links[l].object & kFits) {
            OvUInt16 count = SlotCount(slot);
            if (count == 31) {
                count = 0;
                for (OvUInt16 k = head; k != ovpFARFIELDNONE && count < 31; k = ff->links[k].next) {
                    count += (ff->links[k].object & kFits) ? 1 : 0;
                }
            } else {
                --count;
            }
            slot = WithCount(slot, count);
        }
        n.slot[list] = slot;
    }
    ff->links[l] = {0, ff->freeLink};
    ff->freeLink = l;
    OvpBBox& bounds = ff->listBounds[node][BoundsIndex(list)];
    ClearBounds(&bounds);
    for (OvUInt16 k = head; k != ovpFARFIELDNONE; k = ff->links[k].next) {
        Extend(&bounds, ff->boxes[ff->links[k].object & kIdMask]);
    }
    if (node != 0 && (n.word & kIdMask) == ovpFARFIELDNONE) {
        for (OvUInt16 s : n.slot) {
            if (s != ovpFARFIELDEMPTYLEAF) {
                return ff;
            }
        }
        ff->nodes[(n.word >> 10) & kIdMask].slot[(n.word >> 20) & 7] = ovpFARFIELDEMPTYLEAF;
        ClearBounds(&ff->listBounds[(n.word >> 10) & kIdMask][(n.word >> 20) & 7]);
        n.word = ff->freeNode;
        ff->freeNode = node;
    }
    return ff;
}

OvpBBox* OvpFarfieldGetBox(const OvpFarfield* ff, OvUInt32 id, OvpBBox* out) {
    const OvpBBox& b = ff->boxes[id];
    const float m = ff->margin;
    out->sup = {b.sup.x - m, b.sup.y - m, b.sup.z - m};
    out->inf = {b.inf.x + m, b.inf.y + m, b.inf.z + m};
    out->pad0 = out->pad1 = 0;
    return out;
}

OvUInt16 OvpFarfieldGetGroup(const OvpFarfield* ff, OvUInt32 id) { return ff->groups[id]; }

OvUInt32 OvpPairLinksGetPartners(const OvpPairLinks* pl, OvUInt32 id, OvUInt16* out, const OvUInt32* skip,
                                 OvBool sort) {
    OvUInt32 n = 0;
    for (OvUInt16 e = pl->entries[id].next; e != id; e = pl->entries[e].next) {
        const OvUInt16 p = pl->entries[e].partner;
        if (skip == nullptr || !((skip[p / 32] >> (p % 32)) & 1u)) {
            out[n++] = p;
        }
    }
    if (sort && n >= 2) {
        for (OvUInt32 i = 0; i + 1 < n; ++i) {
            for (OvUInt32 j = 0; j + 1 < n - i; ++j) {
                if (out[j] > out[j + 1]) {
                    const OvUInt16 t = out[j];
                    out[j] = out[j + 1];
                    out[j + 1] = t;
                }
            }
        }
    }
    return n;
}

OvUInt32 OvpPairLinksCount(const OvpPairLinks* pl, OvUInt32 id) {
    OvUInt32 n = 0;
    for (OvUInt16 e = pl->entries[id].next; e != id; e = pl->entries[e].next) {
        ++n;
    }
    return n;
}
