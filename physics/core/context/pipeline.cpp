#include "physics/core/context/pipeline.h"

#include <cfloat>
#include <cmath>
#include <cstring>

#if defined(__x86_64__) || defined(__i386__)
#include <cpuid.h>
#endif

#include "graphics/core/engine.h"
#include "physics/core/collision/drivers.h"
#include "physics/core/context/context.h"
#include "physics/core/context/dynamics.h"
#include "physics/core/context/joint.h"
#include "physics/core/dynamics/integrate.h"
#include "physics/core/dynamics/sweep.h"
#include "physics/core/utils/memory.h"

namespace {

OvUInt32 gCpuModeOverride = 0;

// ---- islands --------------------------------------------------------------------------

struct IslandBuilder {
    OvpUnionSet* sets;
    OvUInt32 setCount = 0;
    OvpUnionNode* nodes;
    OvUInt32 nodeCount;

    OvpUnionNode* NodeOf(OvpObj* o) { return o != nullptr && o->slot < nodeCount ? &nodes[o->slot] : nullptr; }

    static OvpUnionNode* Root(OvpUnionNode* n) {
        OvpUnionNode* root = n;
        while (root->parent != root) {
            root = root->parent;
        }
        while (n->parent != root) {
            OvpUnionNode* next = n->parent;
            n->parent = root;
            n = next;
        }
        return root;
    }

    OvpUnionSet* NewSet(OvpUnionNode* first) {
        OvpUnionSet* s = &sets[setCount++];
        *s = {};
        s->rank = 1;
        first->parent = first;
        first->set = s;
        first->next = nullptr;
        s->first = s->last = first;
        s->objectCount = 1;
        return s;
    }

    static void AddObject(OvpUnionSet* s, OvpUnionNode* n) {
        n->parent = s->first;
        n->set = nullptr;
        n->next = nullptr;
        s->last->next = n;
        s->last = n;
        ++s->objectCount;
    }

    static void AddJoint(OvpUnionSet* s, OvpJoint* j) {
        j->islandNext = nullptr;
        if (s->lastJoint != nullptr) {
            s->lastJoint->islandNext = j;
        } else {
            s->firstJoint = j;
        }
        s->lastJoint = j;
        ++s->jointCount;
    }

    static void AddContact(OvpUnionSet* s, OvpContact* c) {
        c->next = nullptr;
        if (s->lastContact != nullptr) {
            s->lastContact->next = c;
        } else {
            s->firstContact = c;
        }
        s->lastContact = c;
        ++s->contactCount;
    }

    // Unites the sets of two roots; returns the surviving set.
    OvpUnionSet* Unite(OvpUnionNode* ra, OvpUnionNode* rb) {
        if (ra == rb) {
            return ra->set;
        }
        OvpUnionSet* a = ra->set;
        OvpUnionSet* b = rb->set;
        OvpUnionSet* keep = a->rank > b->rank ? a : b;
        OvpUnionSet* gone = keep == a ? b : a;
        if (a->rank == b->rank) {
            ++keep->rank;
        }
        OvpUnionNode* goneRoot = gone->first;
        goneRoot->parent = keep->first;
        goneRoot->set = nullptr;
        keep->last->next = gone->first;
        keep->last = gone->last;
        keep->objectCount += gone->objectCount;
        if (gone->firstJoint != nullptr) {
            if (keep->lastJoint != nullptr) {
                keep->lastJoint->islandNext = gone->firstJoint;
            } else {
                keep->firstJoint = gone->firstJoint;
            }
            keep->lastJoint = gone->lastJoint;
        }
        keep->jointCount += gone->jointCount;
        if (gone->firstContact != nullptr) {
            if (keep->lastContact != nullptr) {
                keep->lastContact->next = gone->firstContact;
            } else {
                keep->firstContact = gone->firstContact;
            }
            keep->lastContact = gone->lastContact;
        }
        keep->contactCount += gone->contactCount;
        // The last record fills the hole.
        OvpUnionSet* last = &sets[--setCount];
        if (gone != last) {
            *gone = *last;
            gone->first->set = gone;
            if (keep == last) {
                keep = gone;
            }
        }
        return keep;
    }

    static bool Active(const OvpRef& r) {
        return r.object != nullptr && r.part != ovpREFNONE && r.object->manager != nullptr &&
               OvpBitTest(r.object->manager->active, r.object->slot);
    }

    // Places one constraint; returns the set it joins, or null when it joins none.
    OvpUnionSet* Place(const OvpRef& ra, const OvpRef& rb) {
        const bool aa = Active(ra), ab = Active(rb);
        if (aa != ab) {
            OvpUnionNode* n = NodeOf(aa ? ra.object : rb.object);
            if (n->parent == nullptr) {
                n->object = aa ? ra.object : rb.object;
                return NewSet(n);
            }
            return Root(n)->set;
        }
        OvpUnionNode* na = NodeOf(ra.object);
        OvpUnionNode* nb = NodeOf(rb.object);
        if (na == nullptr || nb == nullptr) {
            return nullptr; // an end without an object: nothing to tie
        }
        na->object = ra.object;
        nb->object = rb.object;
        const bool sa = na->parent != nullptr, sb = nb->parent != nullptr;
        if (!sa && !sb) {
            OvpUnionSet* s = NewSet(na);
            if (nb != na) {
                AddObject(s, nb);
            }
            return s;
        }
        if (sa != sb) {
            OvpUnionSet* s = Root(sa ? na : nb)->set;
            AddObject(s, sa ? nb : na);
            return s;
        }
        return Unite(Root(na), Root(nb));
    }
};

bool Awake(const OvpObj* o) { return o != nullptr && o->manager != nullptr && OvpBitTest(o->manager->awake, o->slot); }

bool RefAwake(const OvpRef& r) { return r.part != ovpREFNONE && Awake(r.object); }

bool Skipped(const OvpIsland& island) { return (island.flags & (ovpISLAND_RESTING | ovpISLAND_SKIP)) != 0; }

template <typename Fn> void ForEachMovingPart(OvpPipeline* p, Fn fn) {
    const OvpIslandTable& t = p->islands;
    for (OvUInt32 k = 0; k < t.count; ++k) {
        const OvpIsland& island = t.islands[k];
        if (Skipped(island)) {
            continue;
        }
        for (OvUInt32 o = 0; o < island.objectCount; ++o) {
            fn(island, island.objects[o]);
        }
    }
}

bool BelowRest(const OvpPipeline* p, const OvpDyn* dyn) {
    const OvpBodyArrays* b = dyn->manager->bodies;
    const float* v = b->velocities[dyn->body];
    const float* a = b->accelerations[dyn->body];
    auto sq = [](const float* x) { return (x[0] * x[0] + x[1] * x[1]) + x[2] * x[2]; };
    return sq(v) <= p->restLinear * p->restLinear && sq(v + 4) <= p->restAngular * p->restAngular &&
           sq(a) <= p->restLinear2 * p->restLinear2 && sq(a + 4) <= p->restAngular2 * p->restAngular2;
}

// Object flag 4, or flag 8 with a part whose motion over the step exceeds both half of
// (thickness + twice the fat radius) and the radius factor times its bounding radius.
bool IsSwept(const OvpPipeline* p, const OvpObj* o) {
    if (o->flags & ovpOBJ_SWEPT) {
        return true;
    }
    if (!(o->flags & ovpOBJ_SWEPTFAST)) {
        return false;
    }
    for (OvUInt16 k = 0; k < o->partCount; ++k) {
        const OvpObjPart& part = o->parts[k];
        if (part.dyn == nullptr || part.volume == nullptr) {
            continue;
        }
        const float* v = part.dyn->manager->bodies->velocities[part.dyn->body];
        OvSphere sphere = {{0.0f, 0.0f, 0.0f}, 0.0f};
        if (part.volume->type->boundingSphere != nullptr) {
            part.volume->type->boundingSphere(part.volume, &sphere);
        }
        const OvV3d offset = part.dyn->comOffset;
        const float lin = std::sqrt((v[0] * v[0] + v[1] * v[1]) + v[2] * v[2]);
        const float ang = std::sqrt((v[4] * v[4] + v[5] * v[5]) + v[6] * v[6]);
        const float motion = (ang * (OvpLength(offset) + sphere.radius) + lin) * p->dt;
        if (motion > 0.5f * OvpVolumeGetThickness(part.volume) && motion > p->sweptFactor * sphere.radius) {
            return true;
        }
    }
    return false;
}

// Collides the swept movers over their whole motion and moves each of their bodies only for the
// time it was allowed (from its start state).
void SweepMovers(OvpPipeline* p) {
    if (p->sweptCount == 0 || p->driver == nullptr) {
        return;
    }
    OvpBodyArrays* b = p->context->manager->bodies;
    const OvpSweepSettings settings = OvpSweepDefaults(p->dt, p->driver->threshold, p->scale);
    for (OvUInt32 first = 0; first < p->sweptCount;) {
        OvpObj* o = p->swept[first].object;
        OvUInt32 end = first;
        while (end < p->sweptCount && p->swept[end].object == o) {
            ++end;
        }
        // Each part's path box, then the bodies back at their start.
        for (OvUInt32 e = first; e < end; ++e) {
            const OvpSweptPart& sp = p->swept[e];
            const OvpObjPart& part = o->parts[sp.part];
            p->sweptAllowed[e] = p->dt;
            OvpBBox& box = p->sweptBoxes[e];
            if (part.dyn == nullptr || part.volume == nullptr) {
                OvpObjGetPartsBox(o, static_cast<OvUInt16>(sp.part + 1), 0, &box);
                continue;
            }
            OvSphere sphere{};
            OvpVolumeGetBoundingSphereInFrame(part.volume, nullptr, &sphere);
            const float radius = sphere.radius + std::sqrt(OvpDot(part.dyn->comOffset, part.dyn->comOffset));
            const OvV3d to = b->matrices[part.dyn->body].pos;
            OvpMathBoxFromSegment(&box, &sp.startPosition, &to, radius);
            b->matrices[part.dyn->body].pos = sp.startPosition;
            b->orientations[part.dyn->body] = sp.startOrientation;
            OvpIntegrateBody(b, part.dyn->body, 0.0f);
        }
        OvpBatchCollideObjects(p, o, p->sweptBoxes + first, p->sweptAllowed + first, &settings);
        for (OvUInt32 e = first; e < end; ++e) {
            const OvpDyn* dyn = o->parts[p->swept[e].part].dyn;
            if (dyn != nullptr) {
                OvpIntegrateBody(b, dyn->body, p->sweptAllowed[e]);
            }
        }
        first = end;
    }
}

} // namespace

OvpIslandTable* OvpPartitionBuildIslands(OvpIslandTable* table, OvpUnionSet* sets, OvpUnionNode* nodes,
                                         OvUInt32 nodeCount, OvpObj* const* listed, OvUInt32 listedCount,
                                         OvpJoint* const* joints, OvUInt32 jointCount, OvpContact* contacts,
                                         OvUInt32 contactCount) {
    std::memset(nodes, 0, sizeof(OvpUnionNode) * nodeCount);
    IslandBuilder ib{sets, 0, nodes, nodeCount};
    for (OvUInt32 i = 0; i < jointCount; ++i) {
        if (OvpUnionSet* s = ib.Place(joints[i]->ref[0], joints[i]->ref[1])) {
            IslandBuilder::AddJoint(s, joints[i]);
        }
    }
    for (OvUInt32 i = 0; i < contactCount; ++i) {
        if (contacts[i].count == 0) {
            continue;
        }
        if (OvpUnionSet* s = ib.Place(contacts[i].ref[0], contacts[i].ref[1])) {
            IslandBuilder::AddContact(s, &contacts[i]);
        }
    }
    table->count = 0;
    OvUInt32 objectsUsed = 0, jointsUsed = 0;
    auto partsOf = [](const OvpObj* o) { return static_cast<OvUInt32>(o->partCount); };
    for (OvUInt32 k = 0; k < ib.setCount && table->count < table->capacity; ++k) {
        const OvpUnionSet& s = sets[k];
        OvpIsland& island = table->islands[table->count++];
        island = {};
        island.objects = table->objects + objectsUsed;
        island.joints = table->joints + jointsUsed;
        for (OvpUnionNode* n = s.first; n != nullptr && objectsUsed < table->objectCapacity; n = n->next) {
            table->objects[objectsUsed++] = n->object;
            ++island.objectCount;
            island.partTotal += partsOf(n->object);
        }
        for (OvpJoint* j = s.firstJoint; j != nullptr && jointsUsed < table->jointCapacity; j = j->islandNext) {
            table->joints[jointsUsed++] = j;
            ++island.jointCount;
        }
        island.contacts = s.firstContact;
    }
    for (OvUInt32 i = 0; i < listedCount && table->count < table->capacity; ++i) {
        OvpObj* o = listed[i];
        OvpUnionNode* n = ib.NodeOf(o);
        if (n == nullptr || n->parent != nullptr || !OvpBitTest(o->manager->active, o->slot) ||
            objectsUsed >= table->objectCapacity) {
            continue;
        }
        OvpIsland& island = table->islands[table->count++];
        island = {};
        island.objects = table->objects + objectsUsed;
        island.joints = table->joints + jointsUsed;
        table->objects[objectsUsed++] = o;
        island.objectCount = 1;
        island.partTotal = partsOf(o);
    }
    for (OvUInt32 i = 0; i < listedCount; ++i) {
        if (OvpUnionNode* n = ib.NodeOf(listed[i])) {
            *n = {};
        }
    }
    return table;
}

OvUInt32 OvpCpuGetMode() {
    if (gCpuModeOverride != 0) {
        return gCpuModeOverride;
    }
#if defined(__x86_64__) || defined(__i386__)
    unsigned int eax, ebx, ecx, edx;
    if (!__get_cpuid(0, &eax, &ebx, &ecx, &edx)) {
        return 1;
    }
    char vendor[13];
    std::memcpy(vendor, &ebx, 4);
    std::memcpy(vendor + 4, &edx, 4);
    std::memcpy(vendor + 8, &ecx, 4);
    vendor[12] = '\0';
    if (std::strcmp(vendor, "GenuineIntel") != 0 && std::strcmp(vendor, "AuthenticAMD") != 0) {
        return 1;
    }
    if (!__get_cpuid(1, &eax, &ebx, &ecx, &edx) || !((edx >> 25) & 1u)) {
        return 1;
    }
    return 2;
#else
    return 1;
#endif
}

void OvpCpuSetModeOverride(OvUInt32 mode) { gCpuModeOverride = mode; }

OvpPipeline* OvpPipelineInit(OvpPipeline* p, OvpContext* context, OvpContextParams* params, float scale) {
    std::memset(p, 0, sizeof(*p));
    const OvUInt32* w = params->word;
    const OvUInt32 objects = OvpContextParamsGetObjectLimit(params);
    p->movedCapacity = w[ovpPARAM_ACTIVE];
    p->pairCapacity = w[ovpPARAM_PAIRS];
    p->contactCapacity = w[ovpPARAM_CONTACTS];
    p->jointCapacity = w[ovpPARAM_JOINTSLOTS];
    p->touchCapacity = w[ovpPARAM_CONTACTS];
    p->islands.capacity = w[ovpPARAM_ACTIVE] + 1;
    p->islands.objectCapacity = objects;
    p->islands.jointCapacity = w[ovpPARAM_JOINTSLOTS];
    p->unionNodeCount = objects;
    p->batchArraySize = w[ovpPARAM_SWEPT];
    p->bodyBudget = w[ovpPARAM_BODYBUDGET];
    // An island within the per-body budget must also fit one batch.
    p->batchBudget = w[ovpPARAM_BATCHBUDGET];
    if (p->bodyBudget > p->batchBudget) {
        p->bodyBudget = p->batchBudget;
    }
    // Each piece's bytes, tallied while the sizes are summed, for words 17-30 of the parameters.
    std::size_t pieces[ovpPARAM_SIZES_END - ovpPARAM_SIZES] = {};
    const auto piece = [&pieces](OvpCarver& c, int word) {
        c.tally = c.base == nullptr ? &pieces[word - ovpPARAM_SIZES] : nullptr;
    };
    auto carve = [&](OvpCarver& c) {
        piece(c, ovpPARAM_SIZE_MOVED);
        p->moved = c.take<OvpObj*>(p->movedCapacity);
        piece(c, ovpPARAM_SIZE_PAIRS);
        p->pairs = c.take<OvpRefPair>(p->pairCapacity);
        piece(c, ovpPARAM_SIZE_CONTACTS);
        p->contacts = c.take<OvpContact>(p->contactCapacity);
        piece(c, ovpPARAM_SIZE_CONTACTBLOCKS);
        p->contactBlocks = c.take<float[16]>(p->contactCapacity);
        piece(c, ovpPARAM_SIZE_JOINTS);
        p->joints = c.take<OvpJoint*>(p->jointCapacity);
        piece(c, ovpPARAM_SIZE_TOUCHES);
        p->touches = c.take<OvpTouch>(p->touchCapacity);
        piece(c, ovpPARAM_SIZE_ISLANDS);
        p->islands.islands = c.take<OvpIsland>(p->islands.capacity);
        p->islands.objects = c.take<OvpObj*>(p->islands.objectCapacity);
        p->islands.joints = c.take<OvpJoint*>(p->islands.jointCapacity);
        piece(c, ovpPARAM_SIZE_UNION);
        p->unionNodes = c.take<OvpUnionNode>(p->unionNodeCount);
        p->unionSets = c.take<OvpUnionSet>(objects);
        piece(c, ovpPARAM_SIZE_BATCH);
        p->swept = c.take<OvpSweptPart>(p->batchArraySize + 1);
        p->sweptAllowed = c.take<float>(p->batchArraySize + 1);
        p->sweptBoxes = c.take<OvpBBox>(p->batchArraySize + 1);
        // Room for any batch within the budget (a budget near the top of the range must not wrap
        // to a workspace of a few groups).
        const OvUInt32 groups = p->batchBudget < 0xFFFFFFFFu - 4u ? p->batchBudget + 4u : 0xFFFFFFFFu;
        std::size_t solverPieces[ovpSOLVERPIECES] = {};
        c.tally = nullptr;
        OvpSolverCarve(&p->solver, c, groups, w[ovpPARAM_BODIES], p->islands.capacity, p->contactCapacity,
                       c.base == nullptr ? solverPieces : nullptr);
        pieces[ovpPARAM_SIZE_SOLVERBODIES - ovpPARAM_SIZES] += solverPieces[ovpSOLVERPIECE_BODIES];
        pieces[ovpPARAM_SIZE_SOLVERROWS - ovpPARAM_SIZES] += solverPieces[ovpSOLVERPIECE_ROWS];
        pieces[ovpPARAM_SIZE_CONTACTINDEX - ovpPARAM_SIZES] += solverPieces[ovpSOLVERPIECE_CONTACTINDEX];
        pieces[ovpPARAM_SIZE_CACHE - ovpPARAM_SIZES] += solverPieces[ovpSOLVERPIECE_CACHE];
        piece(c, ovpPARAM_SIZE_COLLISION);
        p->driver = OvpCollisionDriverCarve(&c, params);
        c.tally = nullptr;
    };
    OvpCarver sizing{nullptr};
    carve(sizing);
    p->blockSize = sizing.used;
    p->block = OvpAlignedMalloc(sizing.used != 0 ? sizing.used : 16, 16, ovpMEMHINT);
    if (p->block == nullptr) {
        return nullptr;
    }
    std::memset(p->block, 0, sizing.used);
    OvpCarver real{static_cast<unsigned char*>(p->block)};
    carve(real);
    for (OvUInt32 i = 0; i < p->contactCapacity; ++i) {
        p->contacts[i].solved = p->contactBlocks[i];
    }
    // The sizes go back into the parameters (a piece past 32 bits, which no block can hold, as
    // the largest word).
    const auto word = [](std::size_t bytes) {
        return bytes < 0xFFFFFFFFu ? static_cast<OvUInt32>(bytes) : 0xFFFFFFFFu;
    };
    params->word[ovpPARAM_SIZE_TOTAL] = word(sizing.used);
    for (int k = ovpPARAM_SIZE_TOTAL + 1; k < ovpPARAM_SIZES_END; ++k) {
        params->word[k] = word(pieces[k - ovpPARAM_SIZES]);
    }
    const OvpFarfield* farfield = context->manager != nullptr ? context->manager->farfield : nullptr;
    OvpCollisionDriverSetup(p->driver, scale, farfield != nullptr ? farfield->margin : 0.01f * scale,
                            farfield != nullptr ? farfield->groupMatrix : nullptr, p->touches, &p->touchCount,
                            p->touchCapacity);
    p->iterations[0] = 100;
    p->iterations[1] = 300;
    p->restLinear = 0.1f * scale;
    p->restAngular = 0.6f;
    p->restLinear2 = 2.0f * scale;
    p->restAngular2 = 10000.0f;
    p->sweptFactor = 0.05f;
    p->solverConstants[0] = 0.05f;
    p->solverConstants[1] = -0.16f;
    p->cpuMode = OvpCpuGetMode();
    OvpSolverGetKernels(p->cpuMode, &p->buildKernel, &p->rowKernel);
    p->tolerance[0] = p->tolerance[1] = 1e-5f;
    p->solverFlags = 1;
    p->sharing = w[ovpPARAM_SHARING];
    p->context = context;
    p->scale = scale;
    return p;
}

OvpPipeline* OvpPipelineCreate(OvpContext* context, OvpContextParams* params, float scale) {
    auto* p = static_cast<OvpPipeline*>(OvMalloc(sizeof(OvpPipeline), ovpMEMHINT));
    if (p != nullptr && OvpPipelineInit(p, context, params, scale) == nullptr) {
        OvFree(p);
        p = nullptr;
    }
    return p;
}

OvBool OvpPipelineDestroy(OvpPipeline* p) {
    if (p == nullptr) {
        return 0;
    }
    // No object keeps a chain of touch entries in the freed workspace.
    for (OvUInt32 i = 0; i < p->touchCount; ++i) {
        if (p->touches[i].object != nullptr) {
            p->touches[i].object->touchHead = nullptr;
        }
    }
    OvpAlignedFree(p->block);
    OvFree(p);
    return 1;
}

OvpPipeline* OvpPipelineSetTimeStep(OvpPipeline* p, float dt) {
    p->dt = dt;
    return p;
}

OvpPipeline* OvpPipelineSetGravity(OvpPipeline* p, const OvV3d* gravity) {
    p->gravity = *gravity;
    return p;
}

OvpPipeline* OvpPipelineUpdateBroadPhase(OvpPipeline* p) {
    OvpMgrUpdatePairs(p->context->manager, p->moved, p->movedCapacity, &p->movedCount, p->pairs, p->pairCapacity,
                      &p->pairCount, p->joints, p->jointCapacity, &p->jointCount);
    return p;
}

OvpPipeline* OvpPipelineCollidePairs(OvpPipeline* p) {
    for (OvUInt32 i = 0; i < p->movedCount && p->pairCount < p->pairCapacity; ++i) {
        OvpObj* o = p->moved[i];
        if (o->partCount > 1 && (o->flags & ovpOBJ_SELFCOLLIDE)) {
            p->pairs[p->pairCount++] = {{{o, ovpREFWHOLE, 0}, {o, ovpREFWHOLE, 0}}, o->partExclusion};
        }
    }
    for (OvUInt32 i = 0; i < p->touchCount; ++i) {
        if (p->touches[i].object != nullptr) {
            p->touches[i].object->touchHead = nullptr;
        }
    }
    p->touchCount = 0;
    p->driver->groupMatrix = p->context->manager->farfield->groupMatrix;
    p->contactCount = OvpCollidePairs(p->driver, p->pairs, p->pairCount, p->contacts, p->contactCapacity);
    return p;
}

OvpPipeline* OvpPipelineBuildIslands(OvpPipeline* p) {
    OvpPartitionBuildIslands(&p->islands, p->unionSets, p->unionNodes, p->unionNodeCount, p->moved, p->movedCount,
                             p->joints, p->jointCount, p->contacts, p->contactCount);
    for (OvUInt32 k = 0; k < p->islands.count; ++k) {
        OvpIsland& island = p->islands.islands[k];
        island.flags &= ~static_cast<OvUInt32>(ovpISLAND_RESTING);
        bool awake = false;
        for (OvUInt32 o = 0; o < island.objectCount && !awake; ++o) {
            awake = Awake(island.objects[o]);
        }
        for (const OvpContact* c = island.contacts; c != nullptr && !awake; c = c->next) {
            awake = RefAwake(c->ref[0]) || RefAwake(c->ref[1]);
        }
        for (OvUInt32 j = 0; j < island.jointCount && !awake; ++j) {
            awake = RefAwake(island.joints[j]->ref[0]) || RefAwake(island.joints[j]->ref[1]);
        }
        if (!awake) {
            island.flags |= ovpISLAND_RESTING;
        }
    }
    return p;
}

OvpPipeline* OvpPipelineCollideFixedVolumes(OvpPipeline* p) {
    for (OvUInt32 k = 0; k < p->islands.count; ++k) {
        if ((p->islands.islands[k].flags & ovpISLAND_RESTING) == 0) {
            OvpCollideIslandFixedVolumes(p->context, k);
        }
    }
    return p;
}

OvpPipeline* OvpPipelineSolveAndIntegrate(OvpPipeline* p, float dt) {
    p->dt = dt;
    for (OvUInt32 c = 0; c < p->contactCapacity; ++c) {
        std::memset(p->contactBlocks[c], 0, sizeof(p->contactBlocks[c]));
    }
    OvpPipeline* solved = OvpPipelineSolveBatches(p);
    OvpPipelineIntegrate(p);
    OvpPipelineUpdateRest(p);
    return solved;
}

OvpPipeline* OvpPipelineIntegrate(OvpPipeline* p) {
    OvpMgr* m = p->context->manager;
    OvpBodyArrays* b = m->bodies;
    p->sweptCount = 0;
    p->sweptDt = p->dt;
    ForEachMovingPart(p, [&](const OvpIsland&, OvpObj* o) {
        if (IsSwept(p, o) && p->sweptCount + o->partCount <= p->batchArraySize) {
            for (OvUInt16 k = 0; k < o->partCount; ++k) {
                const OvpDyn* dyn = o->parts[k].dyn;
                OvpSweptPart& s = p->swept[p->sweptCount++];
                s.object = o;
                s.part = k;
                s.startPosition = dyn != nullptr ? b->matrices[dyn->body].pos : OvV3d{0.0f, 0.0f, 0.0f};
                s.startOrientation = dyn != nullptr ? b->orientations[dyn->body] : OvQuat{0.0f, 0.0f, 0.0f, 1.0f};
            }
        }
    });
    OvUInt32 n = 0;
    ForEachMovingPart(p, [&](const OvpIsland&, OvpObj* o) {
        for (OvUInt16 k = 0; k < o->partCount && n < b->count; ++k) {
            if (o->parts[k].dyn != nullptr) {
                b->indices[n++] = o->parts[k].dyn->body;
            }
        }
    });
    const OvpIndexList list = {b->indices, n};
    OvpIntegrateBodies(b->matrices, b->orientations, b->velocities, &list, b->flags, b->freeAxes, p->dt);
    SweepMovers(p);
    ForEachMovingPart(p, [m](const OvpIsland&, OvpObj* o) {
        OvpBBox box;
        if (OvpObjGetDynamicBox(o, &box) != nullptr) {
            OvpMgrUpdateObjectBounds(m, o, &box);
        }
    });
    return p;
}

OvpPipeline* OvpPipelineUpdateRest(OvpPipeline* p) {
    ForEachMovingPart(p, [p](const OvpIsland&, OvpObj* o) {
        OvpMgr* m = o->manager;
        if (!(o->flags & ovpOBJ_MAYSLEEP)) {
            OvpMgrSetObjectAwake(m, o, 1);
            return;
        }
        bool rest = true;
        for (OvUInt16 k = 0; k < o->partCount && rest; ++k) {
            if (o->parts[k].dyn != nullptr) {
                rest = BelowRest(p, o->parts[k].dyn);
            }
        }
        OvpMgrSetObjectAwake(m, o, rest ? 0 : 1);
    });
    return p;
}

OvpPipeline* OvpPipelineStep(OvpPipeline* p, float dt) {
    p->dt = dt;
    OvpPipelineUpdateBroadPhase(p);
    OvpPipelineCollidePairs(p);
    OvpPipelineBuildIslands(p);
    if (p->context->usedCount != 0) {
        OvpPipelineCollideFixedVolumes(p);
    }
    return OvpPipelineSolveAndIntegrate(p, dt);
}
