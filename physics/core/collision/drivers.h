#pragma once
// Pair collision drivers: candidate pairs (object against object, or a moving object against a
// fixed volume of the context) become contact records. For each pair the parts of both ends
// near the other end are gathered (compound volumes walked down to simple ones), the part
// pairs are filtered (same part, part-exclusion and group matrices, boxes apart), each
// surviving part pair is collided as a task, and the tasks of one pair of parts are merged
// into records. Objects with flag 0x20 make no records; objects with flag 0x40 are told of
// every touch through their touch chains.
//
// Every array lives in the collision workspace carved once with the pipeline; a full array
// drops the surplus (the rest of the pair makes no contacts this step), never loops.

#include "physics/core/collision/narrow.h"
#include "physics/core/collision/trilist.h"

struct OvpContext;
struct OvpContextParams;
struct OvpCarver;

// Two gathered entries (indices into the gathering's arrays) to be collided.
struct OvpPartPair {
    OvInt32 a;
    OvInt32 b;
};

// Flags of a queued task.
enum OvpTaskFlag : OvUInt8 {
    ovpTASK_TRIANGLE = 0x1, // a triangle piece took part
    ovpTASK_POINTA = 0x2,   // the first end's piece has a point core (a sphere)
    ovpTASK_POINTB = 0x4    // the second end's piece has a point core
};

// The collision workspace and its settings.
struct OvpCollisionDriver {
    OvpGatherState gather;
    OvpPartPair* partPairs;
    OvInt32 partPairCount;
    OvInt32 partPairCapacity;
    OvpContact* tasks;      // one record per kept part pair, consecutive per pair of parts
    OvUInt8* taskFlags;     // per task: ovpTASK_* flags
    OvInt32 taskCount;
    OvInt32 taskCapacity;
    OvpFeatureVertex* points; // the shared point pool: vertices of features past their own storage
    OvUInt32 pointCount;      // points taken by the queued tasks
    OvUInt32 pointCapacity;
    float threshold;             // contacts are made up to this separation
    float lengthScale;           // the context's length unit
    const OvUInt32* groupMatrix; // the far field's group matrix, or null
    OvpTouch* touches;           // touch entries
    OvUInt32* touchCount;
    OvUInt32 touchCapacity;
    OvBool stop; // an array ran full
};

// Carves the workspace from the carver (sizing only when its base is null): gathered parts,
// matrices and part pairs (params word 12), tasks (word 13) with 16 pool points each, triangles
// and triangle volumes (word 14). Settings are left to OvpCollisionDriverSetup.
OvpCollisionDriver* OvpCollisionDriverCarve(OvpCarver* carver, const OvpContextParams* params);
// Margin and threshold 0.01 x scale; the far field's group matrix; the touch list.
void OvpCollisionDriverSetup(OvpCollisionDriver* driver, float scale, float margin, const OvUInt32* groupMatrix,
                             OvpTouch* touches, OvUInt32* touchCount, OvUInt32 touchCapacity);

// Whether bit (column + row x width) of a bit matrix (three header words, the second the row
// width in bits) is set; a null matrix has none.
OvBool OvpBitMatrixTest(const OvUInt32* matrix, OvUInt32 row, OvUInt32 column);

// The box of a pair end: a fixed volume's own box, else the object's far-field box (or, out of
// the far field, the box of its parts). Null when there is none.
OvpBBox* OvpRefGetBox(const OvpRef* end, OvpBBox* out);

// Appends the simple volumes of the end near the other end's box to the gathering (boxes:
// one per part, or null to compute them). Returns the entries added.
OvInt32 OvpGatherParts(OvpCollisionDriver* driver, const OvpRef* end, const OvpBBox* boxes, const OvpBBox* otherBox);
// Pairs every gathered entry of A (the first countA) with every one of B (the next countB)
// that passes the filter; returns the part pairs made.
OvInt32 OvpFilterPartPairs(OvpCollisionDriver* driver, OvInt32 countA, OvInt32 countB, const OvUInt32* partExclusion,
                           const OvUInt32* groupMatrix);

// One candidate pair's part pairs: the gathering and the queue are emptied, both ends'
// boxes taken, the parts of each end gathered against the other's box and filtered with the
// pair's part-exclusion matrix and the group matrix. Returns the part pairs made (0 when an
// end gathers nothing); they stay valid until the next call.
OvInt32 OvpGatherPairParts(OvpCollisionDriver* driver, const OvpRefPair* pair);

// Collides two gathered entries; when they touch within the threshold the task's record is
// kept (ends, smaller friction and restitution, identity words on every point) and the pool
// points its features took stay taken until the queue is written. 1 queued. Raises the stop
// flag when the queue is or becomes full, or the pool has no room for two pooled features.
OvBool OvpCollisionQueueTask(OvpCollisionDriver* driver, const OvpGatheredPart* a, const OvpGatheredPart* b);
// Writes the tasks of one pair of parts as records (merged) into out; pushes the touch
// entries of objects with flag 0x40. Returns the records written.
OvUInt32 OvpCollisionWriteRecords(OvpCollisionDriver* driver, OvpContact* tasks, OvUInt32 count, OvpContact* out,
                                  OvUInt32 capacity);

// Collides the candidate pairs in order into out while records remain; returns the records
// written.
OvUInt32 OvpCollidePairs(OvpCollisionDriver* driver, const OvpRefPair* pairs, OvUInt32 count, OvpContact* out,
                         OvUInt32 capacity);

// Appends to the pipeline's pair list a pair {fixed volume, 0xFFFF; object, 0x8000} for every
// fixed volume and listed object (in the far field, groups not excluded) whose boxes lie
// within the margin; stops when the list is full. Returns the pairs added.
OvUInt32 OvpFixedVolumePairs(OvpContext* context, OvpObj* const* objects, OvUInt32 count, const OvUInt32* groupMatrix);
// Collides the island's objects with the fixed volumes into the free records and puts each
// new record at the head of the island's contact chain. 1 when a record was made.
OvBool OvpCollideIslandFixedVolumes(OvpContext* context, OvUInt32 island);
