#pragma once
// The simulation pipeline: the step machine of one context. A step is a fixed sequence of
// public stages (broad phase, pair collision, islands, fixed volumes, solve and integrate) so
// that a caller can run them one by one and thin the candidate pairs between them. Every list
// lives in a workspace carved once from the creation parameters; full lists drop the surplus.
//
// The solve stage turns contacts and joints into constraint rows and solves them island by
// island (see the solver); integration then moves the bodies, colliding fast movers over their
// whole motion with the fixed volumes.

#include <cstddef>

#include "graphics/core/types.h"
#include "graphics/core/vector.h"
#include "physics/core/context/manager.h"
#include "physics/core/dynamics/solver.h"

struct OvpCollisionDriver;
struct OvpContext;
struct OvpContextParams;

// A contact point: position, signed separation of the fat surfaces, an optional material
// block, the extra velocity of the point's surface, and the identity words of the two pieces
// that touch there (0 for a simple part; see the collision walk).
struct OvpContactPoint {
    OvV3d position;
    float separation;
    void* material;
    OvV3d surfaceVelocity;
    OvUInt32 identity[2]; // side A, side B
};

inline constexpr OvUInt32 ovpCONTACTPOINTS = 4;

// A contact record of one colliding part pair (normal from the second end towards the first).
// Collision writes normal, points, count, ends, friction, restitution and kinds; the solver
// owns solved, lastImpulse, flags and next.
struct OvpContact {
    OvV3d normal;
    OvpContactPoint points[ovpCONTACTPOINTS];
    OvUInt32 count; // 0: unused
    float* solved;  // the record's block of 16 floats
    OvpRef ref[2];
    float friction;    // the smaller of the two volumes'
    float restitution; // the smaller of the two volumes'
    float lastImpulse; // normal impulse of the previous step
    OvUInt32 flags;    // bit 0 frictionless
    OvpContact* next;  // chains the records of one island
    OvUInt8 kind[2];   // feature kind of each side: 0 vertex, 1 edge, 2 face
    OvUInt16 word;     // 0
};

// Island flags.
enum OvpIslandFlag : OvUInt32 {
    ovpISLAND_RESTING = 0x1,
    ovpISLAND_SKIP = 0x2, // skipped like a resting island; set by nothing in the engine
};

struct OvpIsland {
    OvpObj** objects;     // first entry in the table's object array
    OvpContact* contacts; // first record of the island's chain
    OvpJoint** joints;    // first entry in the table's joint array
    OvUInt32 objectCount;
    OvUInt32 jointCount;
    OvUInt32 partTotal;
    OvUInt32 flags;          // OvpIslandFlag bits
    OvUInt32 solverWords[4]; // filled by the solver's row counting
};

// Island records with their shared object and joint arrays.
struct OvpIslandTable {
    OvpIsland* islands;
    OvUInt32 count;
    OvUInt32 capacity;
    OvpObj** objects;
    OvUInt32 objectCapacity;
    OvpJoint** joints;
    OvUInt32 jointCapacity;
};

struct OvpUnionSet;

// One per manager object slot, used while islands are built.
struct OvpUnionNode {
    OvpUnionNode* parent; // itself on a root; null while the object is in no set
    OvpUnionSet* set;     // valid on roots
    OvpUnionNode* next;   // next node of the same set
    OvpObj* object;
};

struct OvpUnionSet {
    OvUInt32 rank;
    OvUInt32 objectCount;
    OvpUnionNode* first; // the set's root
    OvpUnionNode* last;
    OvUInt32 jointCount;
    OvpJoint* firstJoint;
    OvpJoint* lastJoint;
    OvUInt32 contactCount;
    OvpContact* firstContact;
    OvpContact* lastContact;
};

// Groups objects tied by joints and contacts into islands (union-find with rank and full path
// compression; static and inactive objects never join two islands). Node i belongs to manager
// slot i. Listed active objects in no set become islands of their own.
OvpIslandTable* OvpPartitionBuildIslands(OvpIslandTable* table, OvpUnionSet* sets, OvpUnionNode* nodes,
                                         OvUInt32 nodeCount, OvpObj* const* listed, OvUInt32 listedCount,
                                         OvpJoint* const* joints, OvUInt32 jointCount, OvpContact* contacts,
                                         OvUInt32 contactCount);

// A part of a swept mover with its state at the start of the step.
struct OvpSweptPart {
    OvpObj* object;
    OvUInt16 part;
    OvV3d startPosition;
    OvQuat startOrientation;
};

// Single-row updates per batch (position pass, force pass) with which stacks of boxes stand and
// come to rest: a column of 20 and a pyramid of base 10 fall asleep within a fraction of a second
// at steps of 1/60 s and 0.01 s, where the pipeline's own 100 and 300 leave their rows far from
// solved (the values start at 0 every step). A pass stops early once no row is violated, so the
// cost is paid only while bodies move.
inline constexpr OvUInt32 ovpSTACKUPDATES[2] = {6667, 20000};

struct OvpPipeline {
    float dt;
    OvUInt32 iterations[2];   // position and force pass: 100, 300
    float restLinear;         // 0.1 x scale
    float restAngular;        // 0.6
    float restLinear2;        // 2 x scale (linear acceleration)
    float restAngular2;       // 10000 (angular acceleration)
    float sweptFactor;        // 0.05
    OvUInt32 batchArraySize;  // params word 15
    float solverConstants[2]; // 0.05, -0.16
    OvUInt32 bodyBudget;      // params word 11
    OvUInt32 batchBudget;     // params word 10
    OvV3d gravity;
    OvUInt32 cpuMode;     // 2 with SSE kernels, else 1
    float tolerance[2];   // 1e-5, 1e-5
    float regularisation; // 0
    OvUInt32 solverFlags; // 1
    OvUInt32 sharing;     // params word 0
    OvpContext* context;
    float scale;

    OvpObj** moved;
    OvUInt32 movedCount, movedCapacity;
    OvpRefPair* pairs;
    OvUInt32 pairCount, pairCapacity;
    OvpContact* contacts;
    OvUInt32 contactCount, contactCapacity;
    float (*contactBlocks)[16];
    OvpJoint** joints;
    OvUInt32 jointCount, jointCapacity;
    OvpTouch* touches; // touch entries (params word 8)
    OvUInt32 touchCount, touchCapacity;
    OvpCollisionDriver* driver; // the collision workspace (params words 12-14)
    OvpIslandTable islands;
    OvpUnionNode* unionNodes;
    OvUInt32 unionNodeCount;
    OvpUnionSet* unionSets;
    OvpSweptPart* swept; // the step's swept movers (params word 15 entries)
    float* sweptAllowed; // per entry: the time its part may move this step
    OvpBBox* sweptBoxes; // per entry: the box of its part's path
    OvUInt32 sweptCount;
    float sweptDt; // the time step they moved over

    OvpSolverSpace solver;
    OvpBuildKernel buildKernel; // the CPU mode's system-building kernel
    OvpRowKernel rowKernel;     // and its row kernel

    void* block; // the workspace
    std::size_t blockSize;
    OvUInt32 solveFailed; // the last solve stage stopped early
};

// CPUID vendor and SSE test: 2 when the SSE kernels may run, else 1. A nonzero override wins.
OvUInt32 OvpCpuGetMode();
void OvpCpuSetModeOverride(OvUInt32 mode);

// Lays the record out for the parameters: capacities, the workspace block (allocated here; null
// when that fails), the constants, the CPU mode's kernels. Writes the workspace size into params
// word 16.
OvpPipeline* OvpPipelineInit(OvpPipeline* pipeline, OvpContext* context, OvpContextParams* params, float scale);
// A record of its own set up by OvpPipelineInit; null when an allocation fails.
OvpPipeline* OvpPipelineCreate(OvpContext* context, OvpContextParams* params, float scale);
// Only as its context goes (OvpContextDestroy), outside a step; objects' touch chains into it let go here.
OvBool OvpPipelineDestroy(OvpPipeline* pipeline);
OvpPipeline* OvpPipelineSetTimeStep(OvpPipeline* pipeline, float dt);
OvpPipeline* OvpPipelineSetGravity(OvpPipeline* pipeline, const OvV3d* gravity);

OvpPipeline* OvpPipelineUpdateBroadPhase(OvpPipeline* pipeline);
OvpPipeline* OvpPipelineCollidePairs(OvpPipeline* pipeline);
OvpPipeline* OvpPipelineBuildIslands(OvpPipeline* pipeline);
OvpPipeline* OvpPipelineCollideFixedVolumes(OvpPipeline* pipeline);
// Null when the solve stopped early (the bodies are still integrated).
OvpPipeline* OvpPipelineSolveAndIntegrate(OvpPipeline* pipeline, float dt);
// Sorts the moving objects into ordinary and swept movers (object flag 4 always, flag 8 when a
// part moves further than half its thickness and a twentieth of its bounding radius), keeps the
// swept movers' start states, advances every body and renews the objects' far-field boxes.
OvpPipeline* OvpPipelineIntegrate(OvpPipeline* pipeline);
OvpPipeline* OvpPipelineUpdateRest(OvpPipeline* pipeline);
// Every stage in order; null when the solve stage reported failure.
OvpPipeline* OvpPipelineStep(OvpPipeline* pipeline, float dt);
