#pragma once
// The constraint solver: each step's contacts and joints become constraint rows, islands are
// solved in batches that fit a fixed workspace, and the result sets the bodies' velocities.
//
// Every batch is solved twice over the same rows: a position pass whose result moves the bodies
// out of their position errors at once, and a force pass whose result, with the external forces,
// gives the new velocities. Rows are kept four at a time (one group per constraint lane block),
// normalised so that every row's diagonal is 1, and solved by a greedy single-row kernel that
// always updates the most violated row. The kernels come in a scalar and an SSE coding that give
// bitwise-equal results.

#include <cstddef>

#include "graphics/core/types.h"
#include "graphics/core/vector.h"
#include "physics/core/utils/memory.h"

struct OvpBodyArrays;
struct OvpContact;
struct OvpIsland;
struct OvpJoint;
struct OvpMgr;
struct OvpObj;
struct OvpPipeline;
struct OvpRef;

// One constraint row as the builders write it. Signs: the row's value C (the error term) changes
// at the rate J v, v the two bodies' linear and angular velocities.
struct OvpRow {
    float linA[4]; // Jacobian of the first body: linear part, spare
    float angA[4]; // angular part, spare
    float linB[4]; // second body
    float angB[4];
    float error;    // C: a position error along the row
    float bias;     // the relative velocity the force pass aims at
    float softness; // added to the diagonal (divided by the time step)
    float factor;   // the force pass aims at bias - factor x error / dt
    float lo[2];    // bounds of the position pass [0] and the force pass [1]
    float hi[2];
    float erp; // error-reduction factor of the position pass
    OvInt32 body[2];
};

// A row with every field 0 except infinite bounds, erp 0.8, spare words and bodies -1.
OvpRow OvpRowTemplate();

// Bounds of the kind of row (inline: every contact point sets three rows' bounds).
inline void OvpRowSetBounds(OvpRow* row, float lo0, float hi0, float lo1, float hi1) {
    row->lo[0] = lo0;
    row->hi[0] = hi0;
    row->lo[1] = lo1;
    row->hi[1] = hi1;
}

// Four rows of one constraint, one lane each (structure of arrays).
struct alignas(16) OvpRowGroup {
    float j[2][6][4];  // normalised Jacobian: side (first, second body), lin xyz ang xyz, lane
    float wj[2][6][4]; // the same weighted by the side's body's inverse roots
    float error[4];
    float bias[4];
    float softness[4]; // before normalisation: softness + regularisation; after, its share of the diagonal
    float factor[4];
    float erp[4];
    float lo[2][4];
    float hi[2][4];
    float start[2][4]; // each pass's starting residual
    float value[4];    // the current pass's values
    float residual[4];
    OvUInt32 aboveLo[4]; // all ones while the value is above its lower bound
    OvUInt32 belowHi[4];
    float kept[4]; // the position pass's values
    OvInt32 body[2];
    OvUInt32 constraint;
    OvUInt32 spare;
};

// The body data of a batch, in batch order.
struct alignas(16) OvpSolverBody {
    float w[3][4];  // W: W W is the world-space inverse inertia; w[0][3] = 1/sqrt(mass)
    float b[8];     // free motion: v / dt + F / m, w / dt + W W T
    float y[8];     // the pass's weighted impulse sum M^-1/2 J^T lambda
    OvUInt32 index; // the body's index in the manager's body arrays
    OvUInt32 listStart;
    OvUInt32 listCount;
    OvUInt32 spare;
};

// An entry of a body's row list: a group touching the body and the side it touches it on.
struct OvpBodyRow {
    OvUInt32 group;
    OvUInt32 side;
};

// One group's four eligible violations, kept densely for the scan of a small block.
struct alignas(16) OvpViolations {
    float lane[4];
};

// A group's residuals and bound flags, kept densely while a block is scanned whole.
struct alignas(16) OvpScanGroup {
    float residual[4];
    OvUInt32 aboveLo[4];
    OvUInt32 belowHi[4];
};

// A body row list entry's weighted Jacobian (the group's wj of the entry's side), copied so that
// the rows of one body lie one after the other while a block is scanned whole.
struct alignas(16) OvpPackedRow {
    float wj[6][4];
};

// The row kernels' selection over a block's groups: the tree (OvpSelectTreeNodes entries each)
// and, for blocks scanned whole, the groups' eligible violations and dense state (laneCapacity
// groups) and the packed row lists (packedCapacity entries, indexed like the lists; null: the
// scan reads the groups themselves).
struct OvpSelectTree {
    float* value;
    OvInt32* row;
    OvUInt32 capacity;
    OvpViolations* violations;
    OvUInt32 laneCapacity;
    OvpScanGroup* scanGroups;
    OvpPackedRow* packed;
    OvUInt32 packedCapacity;
};
// Whether the SSE kernel moves the residuals of a packed block two groups at a time (the CPU has
// AVX; the same values either way). The override: -1 as the CPU allows, 0 never, 1 when it can.
bool OvpSolverWide();
void OvpSolverSetWideOverride(int wide);

// 0xFFFFFFFF past 2^30 groups: no tree is kept for such a block.
OvUInt32 OvpSelectTreeNodes(OvUInt32 groups);

// System building: weighted Jacobians, normalisation, starting residuals of both passes.
using OvpBuildKernel = void (*)(OvpRowGroup* groups, OvUInt32 count, const OvpSolverBody* bodies, float dt);
// The greedy row kernel over groups [first, first + count) for one pass; returns the iterations used.
using OvpRowKernel = OvUInt32 (*)(OvpRowGroup* groups, OvUInt32 first, OvUInt32 count, OvpSolverBody* bodies,
                                  const OvpBodyRow* lists, OvUInt32 pass, float tolerance, OvUInt32 iterations,
                                  OvpSelectTree* tree);

void OvpSolverBuildScalar(OvpRowGroup* groups, OvUInt32 count, const OvpSolverBody* bodies, float dt);
OvUInt32 OvpSolverRowsScalar(OvpRowGroup* groups, OvUInt32 first, OvUInt32 count, OvpSolverBody* bodies,
                             const OvpBodyRow* lists, OvUInt32 pass, float tolerance, OvUInt32 iterations,
                             OvpSelectTree* tree);
void OvpSolverBuildSse(OvpRowGroup* groups, OvUInt32 count, const OvpSolverBody* bodies, float dt);
OvUInt32 OvpSolverRowsSse(OvpRowGroup* groups, OvUInt32 first, OvUInt32 count, OvpSolverBody* bodies,
                          const OvpBodyRow* lists, OvUInt32 pass, float tolerance, OvUInt32 iterations,
                          OvpSelectTree* tree);

// The kernel pair of a CPU mode (2: SSE, else scalar).
void OvpSolverGetKernels(OvUInt32 mode, OvpBuildKernel* build, OvpRowKernel* rows);

// Packs rows of one constraint into groups from `group` on (padding the last group with template
// rows; a second body equal to the first is folded into it). Returns the groups used.
OvUInt32 OvpSolverPackRows(OvpRowGroup* groups, const OvpRow* rows, OvUInt32 count, OvUInt32 constraint);

// Body set-up: W from the body's rotation and stored inverse roots, the free-motion vector, and
// for a full-tensor body the gyroscopic torque added to its accumulator.
void OvpSolverSetUpBody(OvpSolverBody* out, OvpBodyArrays* bodies, OvUInt32 index, float dt);

// Iteration sharing over blocks [blockStart[k], blockStart[k + 1]) of groups (one per island),
// solved one after the other: each block gets min(3, iterations / blocks) updates and, of the
// pool of the rest, the share of its row groups among those of the blocks not yet solved; what a
// block does not use goes back to the pool. With more blocks than iterations the greedy loop runs
// over the whole batch instead. Returns the iterations used. Small blocks that share no body are
// solved in step, with the same result.
OvUInt32 OvpSolverSolveBlocks(OvpRowKernel kernel, OvpRowGroup* groups, const OvUInt32* blockStart, OvUInt32 blocks,
                              OvpSolverBody* bodies, const OvpBodyRow* lists, OvUInt32 pass, float tolerance,
                              OvUInt32 iterations, OvpSelectTree* tree);

// Builds every body's row list from the groups (counts, running offsets, fill).
void OvpSolverBuildLists(const OvpRowGroup* groups, OvUInt32 groupCount, OvpSolverBody* bodies, OvUInt32 bodyCount,
                         OvpBodyRow* lists);

// The optional contact-material block of a contact point.
enum OvpContactMaterialFlag : OvUInt8 {
    ovpMATERIAL_OWNDIRECTION = 0x1, // the block's direction is the first friction direction
    ovpMATERIAL_OWNFRICTION = 0x2,  // the block's bounds and biases for the two friction rows
    ovpMATERIAL_OWNNORMAL = 0x4,    // the block's biases, restitution and erp for the normal row
    ovpMATERIAL_IGNORE = 0x8,       // the point makes no rows
};

struct OvpContactMaterial {
    OvUInt8 flags;
    float normalBias[2]; // added to the normal row's velocity bias and error term
    float restitution;
    float erp;
    OvV3d direction;
    float frictionBound[2]; // each friction row's force bound (plus and minus)
    float frictionBias[2];
};

struct OvpDyn;

// The dynamics of a constraint end: the part's record when the end names a part (the whole
// object's first part for ovpREFWHOLE) of an object active in its manager, else null.
const OvpDyn* OvpRefGetDyn(const OvpRef& end);

// Appends the rows of one contact record (3 per point not ignored: normal, two friction rows) for
// the two ends' batch bodies; scale is the length scale of the restitution threshold, dt the
// step. The normal row aims at the restitution's rebound and carries the overlap of a point that
// overlaps; a point still apart lets the bodies close its gap within the step and no more.
// Friction rows aim at no sliding. Returns the count (at most 12).
OvUInt32 OvpContactBuildRows(OvpRow* rows, const OvpContact* contact, OvInt32 bodyA, OvInt32 bodyB, float scale,
                             float dt);

// ---- the contact cache ------------------------------------------------------------------

struct OvpCacheEntry {
    const void* object[2];
    OvUInt16 part[2];
    OvV3d normal;
    float impulse;
    OvpCacheEntry* next;
};

struct OvpContactCache {
    OvpCacheEntry** buckets;
    OvUInt32 bucketCount; // a power of two, at least 1
    OvpCacheEntry* entries;
    OvUInt32 entryCount;
    OvUInt32 entryCapacity;
};

// Buckets for a record capacity: the largest power of two not above it, at least 1.
OvUInt32 OvpContactCacheBuckets(OvUInt32 capacity);
// The record's last-step normal impulse: among the entries of its bucket with the same two ends
// (objects and parts, in either order), the one whose normal is closest to the record's. 0 without.
float OvpContactCacheMatch(const OvpContactCache* cache, const OvpContact* contact);
// Empties every bucket.
void OvpContactCacheClear(OvpContactCache* cache);
// Stores the record's ends, normal and normal impulse (never negative); 0 when full.
OvBool OvpContactCacheStore(OvpContactCache* cache, const OvpContact* contact, float impulse);

// ---- the solve stage --------------------------------------------------------------------

// A group of bodies while an island is split into partitions.
struct OvpPartGroup {
    OvInt32 parent;         // union-find: the group that absorbed this one, itself on a root
    OvInt32 remaining;      // row groups left of the per-body budget
    OvUInt32 used;          // row groups taken (joints, then contact records)
    OvUInt32 jointGroups;   // row groups of its members' joints
    OvUInt32 contactGroups; // row groups of its members' contact ends (as counted)
    OvUInt32 contactEnds;   // contact record ends in it
    OvUInt32 share;         // points a record of it keeps
    OvUInt32 rows;
};

// The solver's workspace, carved from the pipeline's block.
struct OvpSolverSpace {
    OvpRowGroup* groups;
    OvUInt32 groupCapacity;
    OvpSolverBody* bodies;
    OvUInt32 bodyCapacity;
    OvpBodyRow* lists; // 2 per group
    OvInt32* bodyMap;  // manager body index -> batch body, -1 when not in the batch
    OvUInt32 bodyMapCount;
    OvUInt32* blockStart;   // group index of each block (island) of a batch, plus the end
    OvUInt32 blockCapacity; // islands a batch may hold
    void** constraints;     // per constraint of a batch: its joint or contact record
    OvUInt8* constraintKind;
    OvUInt32 constraintCapacity;
    OvUInt32* groupCost; // per manager body: row groups of its constraint ends
    OvUInt32* contactCost;
    OvpSelectTree tree;       // the row kernels' selection
    OvpPartGroup* partGroups; // per object of an island being partitioned
    OvUInt32 partGroupCapacity;
    OvInt32* bodyGroup;         // per manager body: its group while partitioning, else -1
    OvUInt32* contactFirstRow;  // per contact record of the last batch, in the order appended: its first row
    float (*contactNormals)[4]; // and the position-pass values of its normal rows (0 past its points)
    OvUInt32 contactRecords;    // records in the two arrays
    float (*displacement)[8];   // per batch body
    float (*contactPush)[4];    // per batch body: the contacts' share of the displacement
    OvpContactCache cache;
    OvUInt32 lastIterations[2]; // iterations the last batch used per pass
};

// The pieces of the solver's workspace whose bytes OvpSolverCarve tallies.
enum OvpSolverPiece : int {
    ovpSOLVERPIECE_BODIES,       // per body and object: batch bodies, maps, costs, partition groups, displacements
    ovpSOLVERPIECE_ROWS,         // the row groups, row lists, blocks, constraints and the selection's arrays
    ovpSOLVERPIECE_CONTACTINDEX, // the contact index arrays
    ovpSOLVERPIECE_CACHE,        // the contact cache
    ovpSOLVERPIECES
};

// The workspace's pieces for the pipeline's capacities (the carver sums sizes when its base is
// null); pieces, when given, receives each piece's bytes (ovpSOLVERPIECES entries, added to).
void OvpSolverCarve(OvpSolverSpace* space, OvpCarver& carver, OvUInt32 groups, OvUInt32 bodies, OvUInt32 islands,
                    OvUInt32 contacts, std::size_t* pieces = nullptr);

// Row count of the island's constraints (thinning contact records that overload a body, and
// splitting the island into partitions when it exceeds the per-body budget). 0 when the island
// cannot be brought within the budget.
OvBool OvpSolverCountRows(OvpPipeline* pipeline, OvUInt32 island);
// Splits an island over the per-body budget into partitions; 0 when it cannot.
OvBool OvpSolverPartition(OvpPipeline* pipeline, OvUInt32 island);
// The whole solve: row counting, cache match, batches, cache store. Null when a batch could not
// be formed (the islands not yet solved keep their velocities and get no external forces).
OvpPipeline* OvpPipelineSolveBatches(OvpPipeline* pipeline);
