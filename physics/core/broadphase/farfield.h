#pragma once
// The far field: a loose octree of object boxes with fixed capacity, and the incremental lists
// of overlapping partners that the manager turns into candidate pairs each step.
//
// Object ids are 10 bits (1023 means none), so at most 1023 objects take part. Tie-breaks in the
// overlap band between two children draw from the runtime's shared generator (crt_rand).

#include <cstddef>

#include "graphics/core/types.h"
#include "physics/core/utils/math.h"

inline constexpr OvUInt16 ovpFARFIELDOBJECTS = 1023; // object ids 0..1022
inline constexpr OvUInt16 ovpFARFIELDNONE = 1023;    // "none" in every 10-bit link field
inline constexpr OvUInt16 ovpFARFIELDNODES = 409;    // node 0 is the root
inline constexpr OvUInt16 ovpFARFIELDEMPTYLEAF = 0x83FF;
inline constexpr OvUInt16 ovpFARFIELDOWNLIST = 63; // location list value of a node's own list
inline constexpr OvUInt16 ovpPAIRLINKNONE = 65535;

// One partner-list entry: a circular doubly linked list per object (its head is entry `object`).
struct OvpPairLinkEntry {
    OvUInt16 prev;
    OvUInt16 next;
    OvUInt16 partner; // the other object of the overlap
    OvUInt16 twin;    // the entry naming this object in the partner's list
};

struct OvpPairLinks {
    OvUInt32 objects;          // heads 0 .. objects - 1
    OvUInt32 pairs;            // overlaps that can be recorded at once
    OvpPairLinkEntry* entries; // objects + 2 x pairs entries
    OvUInt16 freeHead;         // chained through next; ovpPAIRLINKNONE when empty
};

struct OvpFarfieldLink {
    OvUInt16 object; // bits 0-9 the object id, bit 15 the fits-inside-a-child flag
    OvUInt16 next;   // next link of the list, ovpFARFIELDNONE at the end
};

struct OvpFarfieldNode {
    OvUInt32 word;    // own-list head (0-9), parent (10-19), parent's slot (20-22); next free when free
    OvUInt16 slot[8]; // bit 15: leaf (list head 0-9, fitting count 10-14); else a child node index
};

struct OvpFarfield {
    OvpBBox boxes[ovpFARFIELDOBJECTS];     // stored (enlarged) boxes
    OvpBBox world;                         // box of the root node
    OvUInt32 capacity;                     // the manager's maximum objects
    OvUInt16 location[ovpFARFIELDOBJECTS]; // node << 6 | list (0..7 a slot, 63 the own list)
    OvpFarfieldLink links[ovpFARFIELDOBJECTS];
    OvUInt16 freeLink;
    OvpFarfieldNode nodes[ovpFARFIELDNODES];
    OvUInt16 groups[ovpFARFIELDOBJECTS];
    OvUInt16 freeNode;
    float cuts[ovpFARFIELDNODES][2][4]; // per node in use: where its children start and end, per axis
    // Per node in use and list (0..7 the slots' leaf lists, 8 the own list): the smallest box holding
    // every box on the list, empty (maximum below minimum) for an empty list. A query passes over a
    // list whose box it does not meet.
    OvpBBox listBounds[ovpFARFIELDNODES][9];
    OvpPairLinks* pairLinks;
    float margin;                // added to every side of a stored box
    const OvUInt32* groupMatrix; // bit matrix of groups never paired, or null
};

// Bytes of the pair links (header and entries) for the given objects and pairs.
std::size_t OvpFarfieldGetSize(OvUInt32 objects, OvUInt32 pairs);
// Carves the pair links from *cursor (advanced, 16-byte steps): every head empty, the other
// entries free in order.
OvpPairLinks* OvpPairLinksInit(unsigned char** cursor, OvUInt32 objects, OvUInt32 pairs);
// Initialises a far field in place (it is a fixed part of the manager block).
OvpFarfield* OvpFarfieldInit(OvpFarfield* farfield, OvpPairLinks* links, OvUInt32 objects, const OvpBBox* world,
                             float margin);
// Stores the enlarged box, records the overlaps with objects already in the tree and places
// the object. The id must not be in the tree.
OvpFarfield* OvpFarfieldInsert(OvpFarfield* farfield, OvUInt32 id, const OvpBBox* box);
// Drops the object's overlaps and takes it out of the tree.
OvpFarfield* OvpFarfieldRemove(OvpFarfield* farfield, OvUInt32 id);
// The stored box shrunk back by the margin.
OvpBBox* OvpFarfieldGetBox(const OvpFarfield* farfield, OvUInt32 id, OvpBBox* out);
OvUInt16 OvpFarfieldGetGroup(const OvpFarfield* farfield, OvUInt32 id);
// Writes the partners of id whose bit in skip (a bitmap over ids, may be null) is clear; with
// sort nonzero they come in ascending order. Returns their number.
OvUInt32 OvpPairLinksGetPartners(const OvpPairLinks* links, OvUInt32 id, OvUInt16* out, const OvUInt32* skip,
                                 OvBool sort);
// Number of overlaps in id's list.
OvUInt32 OvpPairLinksCount(const OvpPairLinks* links, OvUInt32 id);
