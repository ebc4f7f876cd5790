// The solve stage: each body's set-up for a batch (inverse roots, gyroscopic torque, free
// motion), row counting and thinning, the partitioning of islands over the budget, batching,
// the two passes over every batch, the results applied to the bodies and the contact cache
// stored. The kernels are in solver_kernels.cpp, the contact rows and cache in
// solver_contacts.cpp.

#include "physics/core/dynamics/solver.h"

#include <bit>
#include <cfloat>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <initializer_list>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "physics/core/context/context.h"
#include "physics/core/context/dynamics.h"
#include "physics/core/context/joint.h"
#include "physics/core/context/manager.h"
#include "physics/core/context/pipeline.h"
#include "physics/core/dynamics/integrate.h"
#include "physics/core/dynamics/jointrows.h"
#include "physics/core/utils/math.h"

// ---- bodies ---------------------------------------------------------------------------------

namespace {

// out = R^T S R v for the rotation rows R of the body matrix and the stored body-frame rows S.
OvV3d WorldApply(const OvMatrix& body, const OvpMatrix3& s, const OvV3d& v) {
    const OvV3d local = {OvpDot(body.right, v), OvpDot(body.up, v), OvpDot(body.at, v)};
    const OvV3d r = {(s.m[0][0] * local.x + s.m[0][1] * local.y) + s.m[0][2] * local.z,
                     (s.m[1][0] * local.x + s.m[1][1] * local.y) + s.m[1][2] * local.z,
                     (s.m[2][0] * local.x + s.m[2][1] * local.y) + s.m[2][2] * local.z};
    return OvpAdd(OvpAdd(OvpScale(body.right, r.x), OvpScale(body.up, r.y)), OvpScale(body.at, r.z));
}

OvV3d MulW(const float (*w)[4], const OvV3d& v) {
    return {(w[0][0] * v.x + w[0][1] * v.y) + w[0][2] * v.z, (w[1][0] * v.x + w[1][1] * v.y) + w[1][2] * v.z,
            (w[2][0] * v.x + w[2][1] * v.y) + w[2][2] * v.z};
}

OvV3d Lin(const float* v) { return {v[0], v[1], v[2]}; }
OvV3d Ang(const float* v) { return {v[4], v[5], v[6]}; }

// Gravity and damping into the body's accumulator.
void AddExternal(const OvpPipeline* p, const OvpDyn* dyn) {
    OvpBodyArrays* b = dyn->manager->bodies;
    const OvUInt32 i = dyn->body;
    float* acc = b->impulses[i];
    const float* v = b->velocities[i];
    const float m = b->mass[i].m[0][3];
    const bool full = (b->flags[i] & ovpBODY_FULLINERTIA) != 0;
    const OvV3d force = OvpSub(OvpScale(p->gravity, m), OvpScale(Lin(v), m * dyn->linearDamping));
    const OvV3d inertiaW = full ? WorldApply(b->matrices[i], b->mass[i], Ang(v)) : OvpScale(Ang(v), b->mass[i].m[2][3]);
    const OvV3d torque = OvpScale(inertiaW, -dyn->angularDamping);
    acc[0] += force.x, acc[1] += force.y, acc[2] += force.z;
    acc[4] += torque.x, acc[5] += torque.y, acc[6] += torque.z;
}

} // namespace

void OvpSolverSetUpBody(OvpSolverBody* out, OvpBodyArrays* b, OvUInt32 i, float dt) {
    const OvMatrix& body = b->matrices[i];
    const bool full = (b->flags[i] & ovpBODY_FULLINERTIA) != 0;
    float* acc = b->impulses[i];
    const float* v = b->velocities[i];
    std::memset(out, 0, sizeof(*out));
    out->index = i;
    if (full) {
        const OvV3d R[3] = {body.right, body.up, body.at};
        const OvpMatrix3& a = b->invRoot[i];
        // W = R^T A R over the rows R of the rotation: A R first, then each entry's sum.
        float t[3][3];
        for (int k = 0; k < 3; ++k) {
            for (int c = 0; c < 3; ++c) {
                t[k][c] = (a.m[k][0] * OvpComponent(R[0], c) + a.m[k][1] * OvpComponent(R[1], c)) +
                          a.m[k][2] * OvpComponent(R[2], c);
            }
        }
        for (int r = 0; r < 3; ++r) {
            for (int c = 0; c < 3; ++c) {
                float s = 0.0f;
                for (int k = 0; k < 3; ++k) {
                    s += OvpComponent(R[k], r) * t[k][c];
                }
                out->w[r][c] = s;
            }
        }
        // Gyroscopic torque, scaled so that it adds no rotational energy over the step.
        const OvV3d w = Ang(v);
        const OvV3d L = WorldApply(body, b->mass[i], w);
        OvV3d c = OvpCross(L, w);
        const float c2 = OvpDot(c, c);
        if (c2 > FLT_MIN) {
            const float e = std::sqrt(c2) * OvpDot(w, w) * dt * dt * 0.25f;
            const float energy = OvpDot(w, L) * 0.5f;
            if (e > FLT_MIN && energy > FLT_MIN) {
                const float s = std::sqrt((e + energy) / energy);
                c = OvpScale(OvpAdd(c, OvpScale(L, (1.0f - s) / dt)), 1.0f / s);
            }
            acc[4] += c.x, acc[5] += c.y, acc[6] += c.z;
        }
    } else {
        const float r = b->invRoot[i].m[2][3];
        out->w[0][0] = out->w[1][1] = out->w[2][2] = r;
    }
    const float rm = b->invRoot[i].m[0][3];
    out->w[0][3] = rm;
    const OvV3d lin = OvpAdd(OvpScale(Lin(v), 1.0f / dt), OvpScale(Lin(acc), rm * rm));
    const OvV3d ang = OvpAdd(OvpScale(Ang(v), 1.0f / dt), MulW(out->w, MulW(out->w, Ang(acc))));
    out->b[0] = lin.x, out->b[1] = lin.y, out->b[2] = lin.z;
    out->b[4] = ang.x, out->b[5] = ang.y, out->b[6] = ang.z;
}

// ---- the solve stage --------------------------------------------------------------------------

void OvpSolverCarve(OvpSolverSpace* s, OvpCarver& c, OvUInt32 groups, OvUInt32 bodies, OvUInt32 islands,
                    OvUInt32 contacts, std::size_t* pieces) {
    std::size_t* const outer = c.tally;
    const auto piece = [&](int k) { c.tally = pieces != nullptr ? &pieces[k] : outer; };
    piece(ovpSOLVERPIECE_ROWS);
    s->groupCapacity = groups;
    s->groups = c.take<OvpRowGroup>(groups);
    piece(ovpSOLVERPIECE_BODIES);
    s->bodyCapacity = bodies;
    s->bodies = c.take<OvpSolverBody>(bodies);
    piece(ovpSOLVERPIECE_ROWS);
    s->lists = c.take<OvpBodyRow>(2 * static_cast<std::size_t>(groups));
    piece(ovpSOLVERPIECE_BODIES);
    s->bodyMapCount = bodies;
    s->bodyMap = c.take<OvInt32>(bodies);
    piece(ovpSOLVERPIECE_ROWS);
    s->blockCapacity = islands;
    s->blockStart = c.take<OvUInt32>(static_cast<std::size_t>(islands) + 1);
    s->constraintCapacity = groups;
    s->constraints = c.take<void*>(groups);
    s->constraintKind = c.take<OvUInt8>(groups);
    piece(ovpSOLVERPIECE_BODIES);
    s->groupCost = c.take<OvUInt32>(bodies);
    s->contactCost = c.take<OvUInt32>(bodies);
    piece(ovpSOLVERPIECE_CONTACTINDEX);
    s->contactFirstRow = c.take<OvUInt32>(contacts);
    s->contactNormals = c.take<float[4]>(contacts);
    piece(ovpSOLVERPIECE_BODIES);
    s->displacement = c.take<float[8]>(bodies);
    s->partGroupCapacity = bodies;
    s->partGroups = c.take<OvpPartGroup>(bodies);
    s->bodyGroup = c.take<OvInt32>(bodies);
    piece(ovpSOLVERPIECE_ROWS);
    const OvUInt32 nodes = OvpSelectTreeNodes(groups);
    s->tree.capacity = nodes != 0xFFFFFFFFu ? nodes : 0;
    s->tree.value = c.take<float>(s->tree.capacity);
    s->tree.row = c.take<OvInt32>(s->tree.capacity);
    s->tree.laneCapacity = groups;
    s->tree.violations = c.take<OvpViolations>(groups);
    s->tree.scanGroups = c.take<OvpScanGroup>(groups);
    s->tree.packedCapacity = groups < 0x80000000u ? 2 * groups : 0xFFFFFFFFu;
    s->tree.packed = c.take<OvpPackedRow>(2 * static_cast<std::size_t>(groups));
    piece(ovpSOLVERPIECE_BODIES);
    s->contactPush = c.take<float[4]>(bodies);
    piece(ovpSOLVERPIECE_CACHE);
    s->cache.bucketCount = OvpContactCacheBuckets(contacts);
    s->cache.buckets = c.take<OvpCacheEntry*>(s->cache.bucketCount);
    s->cache.entryCapacity = contacts;
    s->cache.entries = c.take<OvpCacheEntry>(contacts);
    s->cache.entryCount = 0;
    c.tally = outer;
    if (c.base != nullptr) {
        for (OvUInt32 i = 0; i < bodies; ++i) {
            s->bodyMap[i] = -1;
            s->bodyGroup[i] = -1;
        }
        OvpContactCacheClear(&s->cache);
    }
}

namespace {

bool Skipped(const OvpIsland& island) { return (island.flags & (ovpISLAND_RESTING | ovpISLAND_SKIP)) != 0; }

constexpr OvUInt32 kUnsolvable = 0xFFFFFFFFu;

template <typename Fn> void ForEachBodyOf(const OvpObj* obj, Fn fn) {
    for (OvUInt16 k = 0; k < obj->partCount; ++k) {
        if (obj->parts[k].dyn != nullptr) {
            fn(obj->parts[k].dyn);
        }
    }
}

template <typename Fn> void ForEachBody(const OvpIsland& island, Fn fn) {
    for (OvUInt32 o = 0; o < island.objectCount; ++o) {
        const OvpObj* obj = island.objects[o];
        for (OvUInt16 k = 0; k < obj->partCount; ++k) {
            if (obj->parts[k].dyn != nullptr) {
                fn(obj->parts[k].dyn);
            }
        }
    }
}

// The island's joints, then the joints inside each of its objects.
template <typename Fn> void ForEachJoint(const OvpIsland& island, Fn fn) {
    for (OvUInt32 j = 0; j < island.jointCount; ++j) {
        fn(island.joints[j]);
    }
    for (OvUInt32 o = 0; o < island.objectCount; ++o) {
        const OvpObj* obj = island.objects[o];
        for (OvUInt16 j = 0; j < obj->jointCount; ++j) {
            if (obj->joints[j] != nullptr) {
                fn(obj->joints[j]);
            }
        }
    }
}

OvUInt32 ContactGroups(OvUInt32 points) { return ((points + 1u) * 3u) / 4u; }

// Costs of every body of the island from its joints and contact records.
void AddCosts(OvpSolverSpace& s, const OvpIsland& island) {
    ForEachBody(island, [&](const OvpDyn* d) { s.groupCost[d->body] = s.contactCost[d->body] = 0; });
    ForEachJoint(island, [&](const OvpJoint* j) {
        const OvUInt32 rows = OvpJointRowCount(j);
        const OvUInt32 g = ((rows != 0 ? rows : 1u) + 3u) / 4u; // the empty row fills a group too
        for (const OvpRef& r : j->ref) {
            if (const OvpDyn* d = OvpRefGetDyn(r)) {
                s.groupCost[d->body] += g;
            }
        }
    });
    for (const OvpContact* c = island.contacts; c != nullptr; c = c->next) {
        if (c->count == 0) {
            continue;
        }
        const OvUInt32 g = ContactGroups(c->count);
        for (const OvpRef& r : c->ref) {
            if (const OvpDyn* d = OvpRefGetDyn(r)) {
                s.groupCost[d->body] += g;
                s.contactCost[d->body] += g;
            }
        }
    }
}

// Keeps only the deepest point of the record.
void KeepDeepest(OvpContact* c) {
    OvUInt32 best = 0;
    for (OvUInt32 i = 1; i < c->count && i < ovpCONTACTPOINTS; ++i) {
        if (c->points[i].separation < c->points[best].separation) {
            best = i;
        }
    }
    c->points[0] = c->points[best];
    c->count = 1;
}

} // namespace

OvBool OvpSolverCountRows(OvpPipeline* p, OvUInt32 k) {
    OvpSolverSpace& s = p->solver;
    OvpIsland& island = p->islands.islands[k];
    AddCosts(s, island);
    bool thinned = false;
    ForEachBody(island, [&](const OvpDyn* d) {
        if (s.contactCost[d->body] <= p->bodyBudget) {
            return;
        }
        // Too many contacts on one body: the first budget's worth keep their deepest point.
        OvUInt32 seen = 0;
        for (OvpContact* c = island.contacts; c != nullptr; c = c->next) {
            if (c->count == 0 || (OvpRefGetDyn(c->ref[0]) != d && OvpRefGetDyn(c->ref[1]) != d)) {
                continue;
            }
            if (seen++ < p->bodyBudget) {
                KeepDeepest(c);
            } else {
                c->count = 0;
            }
        }
        thinned = true;
    });
    if (thinned) {
        AddCosts(s, island);
    }
    OvUInt32 total = 0;
    ForEachBody(island, [&](const OvpDyn* d) { total += s.groupCost[d->body]; });
    island.solverWords[0] = total;
    if (total > p->bodyBudget && !OvpSolverPartition(p, k)) {
        island.solverWords[0] = kUnsolvable;
        return 0;
    }
    return 1;
}

namespace {

struct Partitioner {
    OvpPipeline* p;
    OvpSolverSpace& s;
    OvpIsland& island;
    OvInt32 budget;
    OvUInt32 groupCount = 0;

    OvpPartGroup& G(OvInt32 g) { return s.partGroups[g]; }
    OvInt32 Find(OvInt32 g) {
        OvInt32 root = g;
        while (G(root).parent != root) {
            root = G(root).parent;
        }
        while (G(g).parent != root) {
            const OvInt32 next = G(g).parent;
            G(g).parent = root;
            g = next;
        }
        return root;
    }
    // The group of a record or joint end: -1 when the end is no body of this island.
    OvInt32 GroupOf(const OvpRef& r) {
        const OvpDyn* d = OvpRefGetDyn(r);
        if (d == nullptr || s.bodyGroup[d->body] < 0) {
            return -1;
        }
        return Find(s.bodyGroup[d->body]);
    }
    // The lower index absorbs the higher.
    OvInt32 Unite(OvInt32 a, OvInt32 b) {
        a = Find(a);
        b = Find(b);
        if (a == b) {
            return a;
        }
        const OvInt32 low = a < b ? a : b, high = a < b ? b : a;
        OvpPartGroup& L = G(low);
        const OvpPartGroup& H = G(high);
        L.jointGroups += H.jointGroups;
        L.contactGroups += H.contactGroups;
        L.contactEnds += H.contactEnds;
        L.used += H.used;
        L.rows += H.rows;
        L.remaining -= H.used;
        G(high).parent = low;
        return low;
    }
};

// A one-sided copy of a record whose two ends lie in different partitions: the record keeps its
// first end, the copy its second; each point's surface moves as the other end's body does, and
// each side takes half the separation. Null when no record is free (the record still keeps only
// its first end, with its separations whole).
OvpContact* SplitRecord(OvpPipeline* p, OvpContact* c) {
    const OvpDyn* da = OvpRefGetDyn(c->ref[0]);
    const OvpDyn* db = OvpRefGetDyn(c->ref[1]);
    OvpContact* copy = nullptr;
    if (p->contactCount < p->contactCapacity) {
        copy = &p->contacts[p->contactCount++];
        float* solved = copy->solved;
        *copy = *c;
        copy->solved = solved;
    }
    for (OvUInt32 i = 0; i < c->count && i < ovpCONTACTPOINTS; ++i) {
        OvpContactPoint& pt = c->points[i];
        OvV3d onB = {0.0f, 0.0f, 0.0f}, onA = {0.0f, 0.0f, 0.0f};
        if (db != nullptr) {
            OvpDynGetPointVelocity(db, &pt.position, &onB);
        }
        if (da != nullptr) {
            OvpDynGetPointVelocity(da, &pt.position, &onA);
        }
        pt.surfaceVelocity = onB;
        if (copy != nullptr) {
            pt.separation *= 0.5f;
            copy->points[i].separation = pt.separation;
            copy->points[i].surfaceVelocity = onA;
        }
    }
    if (copy != nullptr) {
        copy->ref[0] = {nullptr, ovpREFNONE, 0};
        // A touch entry of the second object that named the record now names the copy.
        const OvpObj* second = c->ref[1].part != ovpREFNONE ? c->ref[1].object : nullptr;
        for (OvpTouch* t = second != nullptr ? second->touchHead : nullptr; t != nullptr; t = t->next) {
            if (t->record == c) {
                t->record = copy;
            }
        }
    }
    c->ref[1] = {nullptr, ovpREFNONE, 0};
    return copy;
}

} // namespace

OvBool OvpSolverPartition(OvpPipeline* p, OvUInt32 k) {
    OvpSolverSpace& s = p->solver;
    OvpIsland& island = p->islands.islands[k];
    Partitioner q{p, s, island, static_cast<OvInt32>(p->bodyBudget)};
    const OvUInt32 before = p->contactCount; // copies made by splitting go after this
    // a. Every object a group; bodies tied by a joint between two bodies in one group.
    for (OvUInt32 o = 0; o < island.objectCount && q.groupCount < s.partGroupCapacity; ++o) {
        const OvInt32 g = static_cast<OvInt32>(q.groupCount++);
        s.partGroups[g] = {};
        s.partGroups[g].parent = g;
        const OvpObj* obj = island.objects[o];
        for (OvUInt16 part = 0; part < obj->partCount; ++part) {
            if (const OvpDyn* d = obj->parts[part].dyn) {
                s.bodyGroup[d->body] = g;
                s.partGroups[g].jointGroups += s.groupCost[d->body] - s.contactCost[d->body];
                s.partGroups[g].contactGroups += s.contactCost[d->body];
            }
        }
    }
    ForEachJoint(island, [&](const OvpJoint* j) {
        const OvInt32 a = q.GroupOf(j->ref[0]), b = q.GroupOf(j->ref[1]);
        if (a >= 0 && b >= 0) {
            q.Unite(a, b);
        }
    });
    for (const OvpContact* c = island.contacts; c != nullptr; c = c->next) {
        for (const OvpRef& r : c->ref) {
            const OvInt32 g = c->count != 0 ? q.GroupOf(r) : -1;
            if (g >= 0) {
                ++s.partGroups[g].contactEnds;
            }
        }
    }
    // b, c. What the joints leave of the budget, and each group's share of points per record.
    bool ok = true;
    for (OvUInt32 g = 0; g < q.groupCount; ++g) {
        OvpPartGroup& G = s.partGroups[g];
        if (G.parent != static_cast<OvInt32>(g)) {
            continue;
        }
        G.remaining = q.budget - static_cast<OvInt32>(G.jointGroups);
        G.used = G.jointGroups;
        ok = ok && G.remaining >= 0;
        if (G.remaining <= static_cast<OvInt32>(G.contactGroups) && G.contactEnds != 0) {
            OvUInt32 share = static_cast<OvUInt32>(G.remaining) / G.contactEnds;
            share = share < 1 ? 1 : share >= 3 ? 4 : share;
            G.share = share;
        } else {
            G.share = 4;
        }
    }
    const OvUInt32 objectCount = island.objectCount;
    OvpObj** objects = island.objects;
    const auto done = [&](OvBool result) {
        for (OvUInt32 o = 0; o < objectCount; ++o) {
            ForEachBodyOf(objects[o], [&](const OvpDyn* d) { s.bodyGroup[d->body] = -1; });
        }
        return result;
    };
    if (!ok) {
        return done(0);
    }
    // d. Points each record keeps, and the row groups it takes from its ends' groups.
    for (OvpContact* c = island.contacts; c != nullptr; c = c->next) {
        if (c->count == 0) {
            continue;
        }
        const OvInt32 ga = q.GroupOf(c->ref[0]), gb = q.GroupOf(c->ref[1]);
        OvUInt32 keep = 4;
        for (OvInt32 g : {ga, gb}) {
            if (g >= 0 && s.partGroups[g].share < keep) {
                keep = s.partGroups[g].share;
            }
        }
        c->count = c->count < keep ? c->count : keep;
        const OvInt32 cost = static_cast<OvInt32>((c->count * 3u + 3u) / 4u);
        bool fits = true;
        for (OvInt32 g : {ga, gb}) {
            if (g >= 0) {
                fits = fits && s.partGroups[g].remaining >= cost * ((ga == gb) ? 2 : 1);
            }
        }
        if (!fits) {
            c->count = 0;
            continue;
        }
        for (OvInt32 g : {ga, gb}) {
            if (g >= 0) {
                s.partGroups[g].remaining -= cost;
                s.partGroups[g].used += static_cast<OvUInt32>(cost);
                s.partGroups[g].rows += c->count * 3u;
            }
        }
    }
    // e. Each record joins its ends' group; two groups merge when the higher one fits into the
    // lower's remaining budget, else the record is split into two one-sided records.
    for (OvpContact* c = island.contacts; c != nullptr; c = c->next) {
        if (c->count == 0) {
            continue;
        }
        const OvInt32 ga = q.GroupOf(c->ref[0]), gb = q.GroupOf(c->ref[1]);
        if (ga < 0 || gb < 0 || ga == gb) {
            continue;
        }
        const OvInt32 low = ga < gb ? ga : gb, high = ga < gb ? gb : ga;
        if (static_cast<OvInt32>(s.partGroups[high].used) <= s.partGroups[low].remaining) {
            q.Unite(low, high);
        } else if (SplitRecord(p, c) == nullptr) {
            // No free record: the second end's group gives back what the record took.
            OvpPartGroup& B = s.partGroups[gb];
            const OvUInt32 cost = (c->count * 3u + 3u) / 4u;
            B.remaining += static_cast<OvInt32>(cost);
            B.used -= cost;
            B.rows -= c->count * 3u;
        }
    }
    // f. Every group left is a partition: the first keeps the island's record. Objects and joints
    // are reordered within the island's slices so that each partition's are together.
    OvpIslandTable& t = p->islands;
    OvUInt32 partitions = 0;
    for (OvUInt32 g = 0; g < q.groupCount; ++g) {
        partitions += q.Find(static_cast<OvInt32>(g)) == static_cast<OvInt32>(g) ? 1u : 0u;
    }
    if (partitions > 1 && partitions - 1 > t.capacity - t.count) {
        // No room for the partitions: the island stays whole, with the copies split off so far.
        for (OvUInt32 i = before; i < p->contactCount; ++i) {
            p->contacts[i].next = island.contacts;
            island.contacts = &p->contacts[i];
        }
        return done(0);
    }
    OvpContact* chain = island.contacts;
    OvpJoint** joints = island.joints;
    const OvUInt32 jointCount = island.jointCount;
    const OvUInt32 flags = island.flags;
    OvUInt32 placedObjects = 0, placedJoints = 0;
    bool first = true;
    for (OvUInt32 g = 0; g < q.groupCount; ++g) {
        if (q.Find(static_cast<OvInt32>(g)) != static_cast<OvInt32>(g)) {
            continue;
        }
        OvpIsland* part = &island;
        if (!first) {
            if (t.count >= t.capacity) {
                return done(0);
            }
            part = &t.islands[t.count++];
        }
        first = false;
        *part = {};
        part->flags = flags;
        part->objects = objects + placedObjects;
        for (OvUInt32 o = placedObjects; o < objectCount; ++o) {
            OvpObj* obj = objects[o];
            const OvpDyn* d = nullptr;
            ForEachBodyOf(obj, [&](const OvpDyn* x) { d = d != nullptr ? d : x; });
            if (d != nullptr && q.Find(s.bodyGroup[d->body]) == static_cast<OvInt32>(g)) {
                objects[o] = objects[placedObjects];
                objects[placedObjects++] = obj;
                ++part->objectCount;
                part->partTotal += obj->partCount;
            }
        }
        part->joints = joints + placedJoints;
        for (OvUInt32 j = placedJoints; j < jointCount; ++j) {
            OvpJoint* jt = joints[j];
            OvInt32 jg = q.GroupOf(jt->ref[0]);
            jg = jg >= 0 ? jg : q.GroupOf(jt->ref[1]);
            if (jg == static_cast<OvInt32>(g)) {
                joints[j] = joints[placedJoints];
                joints[placedJoints++] = jt;
                ++part->jointCount;
            }
        }
        part->solverWords[0] = s.partGroups[g].used;
        part->solverWords[1] = g; // the group, to place the records below
    }
    // The records, each into its group's partition (ends that are no body of the island do not
    // count; a record with no point goes with its first end's group or the first partition).
    auto partitionOf = [&](OvInt32 g) -> OvpIsland* {
        if (g < 0 || island.solverWords[1] == static_cast<OvUInt32>(g)) {
            return &island;
        }
        for (OvUInt32 i = k + 1; i < t.count; ++i) {
            if (t.islands[i].solverWords[1] == static_cast<OvUInt32>(g)) {
                return &t.islands[i];
            }
        }
        return &island;
    };
    auto place = [&](OvpContact* c) {
        OvInt32 g = q.GroupOf(c->ref[0]);
        g = g >= 0 ? g : q.GroupOf(c->ref[1]);
        OvpIsland* part = partitionOf(g);
        c->next = part->contacts;
        part->contacts = c;
    };
    // Each partition keeps the island's order, the copies made by splitting at its head (the
    // last made first): the records are put at the heads from the island's last on.
    OvpContact* reversed = nullptr;
    for (OvpContact* c = chain; c != nullptr;) {
        OvpContact* next = c->next;
        c->next = reversed;
        reversed = c;
        c = next;
    }
    for (OvpContact* c = reversed; c != nullptr;) {
        OvpContact* next = c->next;
        place(c);
        c = next;
    }
    for (OvUInt32 i = before; i < p->contactCount; ++i) {
        place(&p->contacts[i]);
    }
    return done(1);
}

namespace {

OvInt32 BatchBody(const OvpSolverSpace& s, const OvpRef& r) {
    const OvpDyn* d = OvpRefGetDyn(r);
    return d != nullptr && d->body < s.bodyMapCount ? s.bodyMap[d->body] : -1;
}

enum : OvUInt8 { kJoint = 0, kContact = 1 };

// Bounds that keep a body finite whatever it is pushed with.
constexpr float kMaxSpeed = 1000.0f;     // m/s at scale 1
constexpr float kMaxSpin = 1000.0f;      // rad/s
constexpr float kMaxAcceleration = 1e7f; // m/s^2 (and rad/s^2) at scale 1

void ClampPart(float* x, float limit) {
    const float l2 = (x[0] * x[0] + x[1] * x[1]) + x[2] * x[2];
    if (!(l2 <= limit * limit)) {
        // Non-finite parts stop; others keep their direction at the limit.
        const float k = std::isfinite(l2) ? limit / std::sqrt(l2) : 0.0f;
        for (int i = 0; i < 3; ++i) {
            x[i] = std::isfinite(x[i]) ? x[i] * k : 0.0f;
        }
    }
}

void ClampSpeeds(float* v, float scale) {
    ClampPart(v, kMaxSpeed * scale);
    ClampPart(v + 4, kMaxSpin);
}

// Sums of one constraint's rows through its Jacobian: first end linear, angular; second end.
void ConstraintSums(const OvpRowGroup* groups, OvUInt32 first, OvUInt32 end, OvV3d out[4]) {
    for (int i = 0; i < 4; ++i) {
        out[i] = {0.0f, 0.0f, 0.0f};
    }
    for (OvUInt32 g = first; g < end; ++g) {
        const OvpRowGroup& G = groups[g];
        for (int l = 0; l < 4; ++l) {
            const float v = G.value[l];
            for (int s = 0; s < 2; ++s) {
                out[2 * s] = OvpAdd(out[2 * s], OvpScale({G.j[s][0][l], G.j[s][1][l], G.j[s][2][l]}, v));
                out[2 * s + 1] = OvpAdd(out[2 * s + 1], OvpScale({G.j[s][3][l], G.j[s][4][l], G.j[s][5][l]}, v));
            }
        }
    }
}

OvUInt32 SolveBatch(OvpPipeline* p, OvUInt32 firstIsland, OvUInt32 endIsland, OvUInt32 cursor) {
    OvpSolverSpace& s = p->solver;
    OvpMgr* m = p->context->manager;
    OvpBodyArrays* b = m->bodies;
    const float dt = p->dt;
    OvUInt32* list = b->indices + cursor;
    const OvUInt32 room = b->count - cursor;
    OvUInt32 nb = 0;
    // Bodies, with gravity and damping.
    for (OvUInt32 k = firstIsland; k < endIsland; ++k) {
        const OvpIsland& island = p->islands.islands[k];
        if (Skipped(island)) {
            continue;
        }
        ForEachBody(island, [&](const OvpDyn* d) {
            if (s.bodyMap[d->body] < 0 && nb < room && nb < s.bodyCapacity) {
                s.bodyMap[d->body] = static_cast<OvInt32>(nb);
                list[nb++] = d->body;
                ClampSpeeds(b->velocities[d->body], p->scale);
                AddExternal(p, d);
                // An impulse no body could answer within the step is cut to one it can.
                const float m = b->mass[d->body].m[0][3], inertia = b->mass[d->body].m[2][3];
                ClampPart(b->impulses[d->body], kMaxAcceleration * p->scale * m);
                ClampPart(b->impulses[d->body] + 4, kMaxAcceleration * inertia);
            }
        });
    }
    // Rows.
    s.contactRecords = 0;
    OvUInt32 groups = 0, blocks = 0, constraints = 0;
    OvpRow rows[ovpJOINTMAXROWS];
    auto append = [&](void* owner, OvUInt8 kind, OvUInt32 n) {
        const OvUInt32 need = (n + 3u) / 4u;
        if (n == 0 || groups + need > s.groupCapacity || constraints >= s.constraintCapacity) {
            return;
        }
        if (kind == kContact && s.contactRecords < s.cache.entryCapacity) {
            s.contactFirstRow[s.contactRecords++] = groups * 4u;
        }
        groups += OvpSolverPackRows(s.groups + groups, rows, n, constraints);
        s.constraints[constraints] = owner;
        s.constraintKind[constraints++] = kind;
    };
    // One block per island with rows (the last one takes the rest when the blocks run out).
    s.blockStart[0] = 0;
    for (OvUInt32 k = firstIsland; k < endIsland; ++k) {
        const OvpIsland& island = p->islands.islands[k];
        if (Skipped(island)) {
            continue;
        }
        ForEachJoint(island, [&](OvpJoint* j) {
            const OvUInt32 n = OvpJointBuildRows(rows, j, BatchBody(s, j->ref[0]), BatchBody(s, j->ref[1]), 0.0f, dt);
            append(j, kJoint, n);
        });
        for (OvpContact* c = island.contacts; c != nullptr; c = c->next) {
            if (c->count != 0) {
                const OvUInt32 n =
                    OvpContactBuildRows(rows, c, BatchBody(s, c->ref[0]), BatchBody(s, c->ref[1]), p->scale, dt);
                append(c, kContact, n);
            }
        }
        if (groups > s.blockStart[blocks] && blocks + 1 < s.blockCapacity) {
            s.blockStart[++blocks] = groups;
        }
    }
    if (groups > s.blockStart[blocks]) {
        s.blockStart[++blocks] = groups;
    }
    // Body set-up, system building, row lists.
    for (OvUInt32 i = 0; i < nb; ++i) {
        OvpSolverSetUpBody(&s.bodies[i], b, list[i], dt);
    }
    for (OvUInt32 g = 0; g < groups; ++g) {
        for (float& soft : s.groups[g].softness) {
            soft += p->regularisation;
        }
    }
    p->buildKernel(s.groups, groups, s.bodies, dt);
    OvpSolverBuildLists(s.groups, groups, s.bodies, nb, s.lists);
    // Position pass: its result is a displacement.
    for (OvUInt32 i = 0; i < nb; ++i) {
        std::memset(s.bodies[i].y, 0, sizeof(s.bodies[i].y));
    }
    s.lastIterations[0] = OvpSolverSolveBlocks(p->rowKernel, s.groups, s.blockStart, blocks, s.bodies, s.lists, 0,
                                               p->tolerance[0], p->iterations[0], &s.tree);
    for (OvUInt32 i = 0; i < nb; ++i) {
        OvpSolverBody& B = s.bodies[i];
        const OvV3d lin = OvpScale(Lin(B.y), B.w[0][3]);
        const OvV3d ang = MulW(B.w, Ang(B.y));
        float* x = s.displacement[i];
        x[0] = lin.x, x[1] = lin.y, x[2] = lin.z, x[3] = 0.0f;
        x[4] = ang.x, x[5] = ang.y, x[6] = ang.z, x[7] = 0.0f;
        std::memset(B.y, 0, sizeof(B.y));
    }
    for (OvUInt32 g = 0; g < groups; ++g) {
        std::memcpy(s.groups[g].kept, s.groups[g].value, sizeof(s.groups[g].kept));
    }
    // Each record's normal rows (its rows 0, 3, 6 and 9) after the position pass.
    for (OvUInt32 r = 0; r < s.contactRecords; ++r) {
        const OvUInt32 firstRow = s.contactFirstRow[r];
        const OvUInt32 constraint = s.groups[firstRow / 4].constraint;
        for (OvUInt32 i = 0; i < 4; ++i) {
            const OvUInt32 row = firstRow + 3 * i;
            const bool same = row / 4 < groups && s.groups[row / 4].constraint == constraint;
            s.contactNormals[r][i] = same ? s.groups[row / 4].kept[row % 4] : 0.0f;
        }
    }
    // The part of the displacement the contacts made (pushing bodies out of each other).
    for (OvUInt32 i = 0; i < nb; ++i) {
        s.contactPush[i][0] = s.contactPush[i][1] = s.contactPush[i][2] = s.contactPush[i][3] = 0.0f;
    }
    for (OvUInt32 g = 0; g < groups; ++g) {
        const OvpRowGroup& G = s.groups[g];
        if (s.constraintKind[G.constraint] != kContact) {
            continue;
        }
        for (int side = 0; side < 2; ++side) {
            if (G.body[side] < 0) {
                continue;
            }
            float* push = s.contactPush[G.body[side]];
            const float rm = s.bodies[G.body[side]].w[0][3];
            for (int k = 0; k < 3; ++k) {
                float sum = push[k];
                for (int l = 0; l < 4; ++l) {
                    sum += G.j[side][k][l] * G.kept[l] * rm * rm;
                }
                push[k] = sum;
            }
        }
    }
    // Force pass.
    s.lastIterations[1] = OvpSolverSolveBlocks(p->rowKernel, s.groups, s.blockStart, blocks, s.bodies, s.lists, 1,
                                               p->tolerance[1], p->iterations[1], &s.tree);
    // What each constraint did, for the callers and the contact cache.
    for (OvUInt32 g = 0; g < groups;) {
        OvUInt32 e = g + 1;
        while (e < groups && s.groups[e].constraint == s.groups[g].constraint) {
            ++e;
        }
        OvV3d sums[4];
        ConstraintSums(s.groups, g, e, sums);
        void* owner = s.constraints[s.groups[g].constraint];
        if (s.constraintKind[s.groups[g].constraint] == kJoint) {
            for (int i = 0; i < 4; ++i) {
                static_cast<OvpJoint*>(owner)->solver[i] = sums[i];
            }
        } else {
            float* out = static_cast<OvpContact*>(owner)->solved;
            for (int i = 0; i < 4; ++i) {
                out[4 * i] = sums[i].x, out[4 * i + 1] = sums[i].y, out[4 * i + 2] = sums[i].z, out[4 * i + 3] = 0.0f;
            }
        }
        g = e;
    }
    // Accelerations, the displacement, new velocities.
    for (OvUInt32 i = 0; i < nb; ++i) {
        const OvpSolverBody& B = s.bodies[i];
        const float* acc = b->impulses[list[i]];
        const float rm = B.w[0][3];
        const OvV3d lin = OvpAdd(OvpScale(Lin(acc), rm * rm), OvpScale(Lin(B.y), rm));
        const OvV3d ang = OvpAdd(MulW(B.w, MulW(B.w, Ang(acc))), MulW(B.w, Ang(B.y)));
        float* a = b->accelerations[list[i]];
        a[0] = lin.x, a[1] = lin.y, a[2] = lin.z, a[3] = 0.0f;
        a[4] = ang.x, a[5] = ang.y, a[6] = ang.z, a[7] = 0.0f;
    }
    const OvpIndexList indexList = {list, nb};
    OvpIntegrateBodiesWith(b->matrices, b->orientations, &indexList, b->flags, b->freeAxes, s.displacement, 1.0f);
    OvpAddScaledVelocities(b->velocities, b->accelerations, &indexList, dt);
    // Pushing bodies out of each other must not add energy against the external forces. Only
    // the contacts' share counts: a joint's correction of its drift is no such gain, and taking
    // speed along gravity for it would slow every pendulum (an undamped one of 1 m at 10 degrees,
    // dt 0.01, lost 7% of its energy a second so, against 0.1%).
    for (OvUInt32 i = 0; i < nb; ++i) {
        float* acc = b->impulses[list[i]];
        float* v = b->velocities[list[i]];
        const OvV3d F = Lin(acc);
        const float pw = OvpDot(F, Lin(s.contactPush[i]));
        if (pw < -FLT_MIN) {
            OvV3d n;
            OvpMathVec3Normalize(&n, &F);
            const float u = OvpDot(Lin(v), n);
            const float mass = b->mass[list[i]].m[0][3];
            const float sq = u * u + 2.0f * pw / mass;
            const float nu = sq > FLT_MIN ? std::copysign(std::sqrt(sq), u == 0.0f ? 1.0f : u) : 0.0f;
            v[0] += (nu - u) * n.x, v[1] += (nu - u) * n.y, v[2] += (nu - u) * n.z;
        }
        ClampSpeeds(v, p->scale);
        for (int c = 0; c < 8; ++c) {
            acc[c] = 0.0f;
        }
        s.bodyMap[list[i]] = -1;
    }
    return nb;
}

} // namespace

OvpPipeline* OvpPipelineSolveBatches(OvpPipeline* p) {
    OvpSolverSpace& s = p->solver;
    OvpIslandTable& t = p->islands;
    for (OvUInt32 j = 0; j < p->jointCount; ++j) {
        for (OvV3d& v : p->joints[j]->solver) {
            v = {0.0f, 0.0f, 0.0f};
        }
    }
    // A record that makes no rows this step (thinned to no points) must not pass on the sums of
    // an earlier record in its slot, to its caller or to the contact cache.
    for (OvUInt32 c = 0; c < p->contactCount; ++c) {
        if (p->contacts[c].solved != nullptr) {
            std::memset(p->contacts[c].solved, 0, 16 * sizeof(float));
        }
    }
    // Row counting, then last step's normal impulses. An island that cannot be brought within
    // the budget stops the solve for this step: no island is solved.
    const OvUInt32 islandCount = t.count;
    for (OvUInt32 k = 0; k < islandCount; ++k) {
        if (!Skipped(t.islands[k]) && !OvpSolverCountRows(p, k)) {
            p->solveFailed = 1;
            return nullptr;
        }
    }
    for (OvUInt32 k = 0; k < t.count; ++k) {
        if (Skipped(t.islands[k])) {
            continue;
        }
        for (OvpContact* c = t.islands[k].contacts; c != nullptr; c = c->next) {
            c->lastImpulse = OvpContactCacheMatch(&s.cache, c);
        }
    }
    // Batches of whole islands within the batch budget.
    bool failed = false;
    OvUInt32 cursor = 0;
    for (OvUInt32 k = 0; k < t.count && !failed;) {
        OvUInt32 end = k, sum = 0;
        while (end < t.count) {
            const OvpIsland& island = t.islands[end];
            if (!Skipped(island)) {
                const OvUInt32 cost = island.solverWords[0];
                if (cost == kUnsolvable || sum + cost > p->batchBudget) {
                    break;
                }
                sum += cost;
            }
            ++end;
        }
        if (end == k) {
            failed = true;
            break;
        }
        cursor += SolveBatch(p, k, end, cursor);
        k = end;
    }
    // This step's normal impulses for the next.
    OvpContactCacheClear(&s.cache);
    for (OvUInt32 k = 0; k < t.count; ++k) {
        if (Skipped(t.islands[k])) {
            continue;
        }
        for (const OvpContact* c = t.islands[k].contacts; c != nullptr; c = c->next) {
            const float* solved = c->solved;
            const OvV3d lin0 = {solved[0], solved[1], solved[2]};
            const OvV3d lin1 = {solved[8], solved[9], solved[10]};
            const float impulse =
                OvpRefGetDyn(c->ref[0]) != nullptr ? OvpDot(c->normal, lin0) : -OvpDot(c->normal, lin1);
            OvpContactCacheStore(&s.cache, c, impulse);
        }
    }
    p->solveFailed = failed ? 1u : 0u;
    return failed ? nullptr : p;
}
