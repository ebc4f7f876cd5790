#include "physics/core/broadphase/farfield.h"

#include <bit>

#include "platform/crt.h"

namespace {

// The loose split constants, bit for bit: 0.39999998 (not the float nearest 0.4) and 0.6.
const float kLow = std::bit_cast<float>(0x3ECCCCCCu);
const float kHigh = std::bit_cast<float>(0x3F19999Au);

constexpr OvUInt16 kLeaf = 0x8000;
constexpr OvUInt16 kFits = 0x8000;
constexpr OvUInt16 kIdMask = 0x3FF;

// Split points of a parent interval: the lower child ends at high, the upper one starts at low.
inline void Splits(float min, float max, float* low, float* high) {
    *low = kLow * max + kHigh * min;
    *high = kHigh * max + kLow * min;
}

bool Overlap(const OvpBBox& a, const OvpBBox& b) {
    return a.inf.x <= b.sup.x && b.inf.x <= a.sup.x && a.inf.y <= b.sup.y && b.inf.y <= a.sup.y && a.inf.z <= b.sup.z &&
           b.inf.z <= a.sup.z;
}

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
    for (int axis = 0; axis < 3; ++axis) {
        float low, high;
        Splits(OvpComponent(parent.inf, axis), OvpComponent(parent.sup, axis), &low, &high);
        if (!(OvpComponent(box.sup, axis) < high || OvpComponent(box.inf, axis) > low)) {
            return false;
        }
    }
    return true;
}

OvpBBox ChildBox(const OvpBBox& parent, OvUInt32 child) {
    OvpBBox out = parent;
    for (int axis = 0; axis < 3; ++axis) {
        float low, high;
        Splits(OvpComponent(parent.inf, axis), OvpComponent(parent.sup, axis), &low, &high);
        if ((child >> axis) & 1u) {
            OvpSetComponent(out.inf, axis, low);
        } else {
            OvpSetComponent(out.sup, axis, high);
        }
    }
    return out;
}

// The child of parent that takes box, or 0xFFFF; one random draw per call whatever the result.
OvUInt32 ChooseChild(const OvpBBox& parent, const OvpBBox& box, OvpBBox* childBox) {
    const OvUInt32 random = static_cast<OvUInt32>(crt_rand());
    OvUInt32 child = 0;
    for (int axis = 0; axis < 3; ++axis) {
        float low, high;
        Splits(OvpComponent(parent.inf, axis), OvpComponent(parent.sup, axis), &low, &high);
        const bool above = OvpComponent(box.inf, axis) > low;
        const bool below = OvpComponent(box.sup, axis) < high;
        if (!above && !below) {
            return 0xFFFF;
        }
        const OvUInt32 bit = above && below ? (random >> axis) & 1u : above ? 1u : 0u;
        child |= bit << axis;
    }
    *childBox = ChildBox(parent, child);
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

void TestList(OvpFarfield* ff, OvUInt32 id, OvUInt16 head) {
    for (OvUInt16 l = head; l != ovpFARFIELDNONE; l = ff->links[l].next) {
        const OvUInt32 other = ff->links[l].object & kIdMask;
        if (other != id && Overlap(ff->boxes[other], ff->boxes[id]) && !GroupsExcluded(ff, id, other)) {
            AddOverlap(ff->pairLinks, id, other);
        }
    }
}

void Query(OvpFarfield* ff, OvUInt32 id) {
    struct Pending {
        OvUInt16 node;
        OvpBBox box;
    };
    Pending stack[ovpFARFIELDNODES];
    int top = 0;
    stack[top++] = {0, ff->world};
    const OvpBBox& q = ff->boxes[id];
    while (top > 0) {
        const Pending p = stack[--top];
        const OvpFarfieldNode& node = ff->nodes[p.node];
        TestList(ff, id, static_cast<OvUInt16>(node.word & kIdMask));
        OvUInt32 mask = 0xFF;
        static const OvUInt32 kUpper[3] = {0xAA, 0xCC, 0xF0};
        for (int axis = 0; axis < 3; ++axis) {
            float low, high;
            Splits(OvpComponent(p.box.inf, axis), OvpComponent(p.box.sup, axis), &low, &high);
            if (OvpComponent(q.inf, axis) > high) {
                mask &= kUpper[axis];
            }
            if (OvpComponent(q.sup, axis) < low) {
                mask &= ~kUpper[axis] & 0xFF;
            }
        }
        for (OvUInt32 c = 0; c < 8; ++c) {
            if (!((mask >> c) & 1u)) {
                continue;
            }
            const OvUInt16 slot = node.slot[c];
            if (slot & kLeaf) {
                TestList(ff, id, slot & kIdMask);
            } else {
                stack[top++] = {slot, ChildBox(p.box, c)};
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
    ff->location[ff->links[link].object & kIdMask] = static_cast<OvUInt16>(node << 6 | ovpFARFIELDOWNLIST);
}

void PutSlot(OvpFarfield* ff, OvUInt16 node, OvUInt32 child, OvUInt16 link) {
    OvUInt16& slot = ff->nodes[node].slot[child];
    ff->links[link].next = slot & kIdMask;
    slot = WithHead(slot, link);
    ff->location[ff->links[link].object & kIdMask] = static_cast<OvUInt16>(node << 6 | child);
}

void Split(OvpFarfield* ff, OvUInt16 node, OvUInt32 child, const OvpBBox& slotBox) {
    const OvUInt16 fresh = ff->freeNode;
    ff->freeNode = static_cast<OvUInt16>(ff->nodes[fresh].word & kIdMask);
    OvUInt16 l = ff->nodes[node].slot[child] & kIdMask;
    ff->nodes[node].slot[child] = fresh;
    OvpFarfieldNode& n = ff->nodes[fresh];
    n.word = ovpFARFIELDNONE | static_cast<OvUInt32>(node) << 10 | child << 20;
    for (OvUInt16& s : n.slot) {
        s = ovpFARFIELDEMPTYLEAF;
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
    if (node != 0 && (n.word & kIdMask) == ovpFARFIELDNONE) {
        for (OvUInt16 s : n.slot) {
            if (s != ovpFARFIELDEMPTYLEAF) {
                return ff;
            }
        }
        ff->nodes[(n.word >> 10) & kIdMask].slot[(n.word >> 20) & 7] = ovpFARFIELDEMPTYLEAF;
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
