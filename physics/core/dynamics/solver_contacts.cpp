// Contact rows and the contact cache: the normal and two friction rows of every contact point
// (restitution, overlap, the approach a point still apart allows, friction bounds from last
// step's normal impulse), and the hash of last step's normal impulses by object pair.

#include "physics/core/dynamics/solver.h"

#include <cfloat>
#include <cmath>
#include <cstring>

#include "physics/core/context/dynamics.h"
#include "physics/core/context/manager.h"
#include "physics/core/context/pipeline.h"
#include "physics/core/utils/math.h"

const OvpDyn* OvpRefGetDyn(const OvpRef& r) {
    if (r.object == nullptr || r.part == ovpREFNONE) {
        return nullptr;
    }
    const OvpObj* o = r.object;
    if (o->manager == nullptr || o->slot == ovpSLOTNONE || !OvpBitTest(o->manager->active, o->slot)) {
        return nullptr;
    }
    const OvUInt16 part = r.part == ovpREFWHOLE ? 0 : r.part;
    return part < o->partCount ? o->parts[part].dyn : nullptr;
}

// ---- contact rows -----------------------------------------------------------------------------

namespace {

constexpr float kFrictionTurn = 0.70710677f;

OvV3d Lin(const float* v) { return {v[0], v[1], v[2]}; }
OvV3d Ang(const float* v) { return {v[4], v[5], v[6]}; }

struct PointState {
    OvV3d rA, rB;
    OvV3d relative; // relative velocity of the point, first end against second, surfaces included
};

// Written in place: a row returned by value was copied back through memory just written a
// float at a time.
OvpRow& ContactRow(OvpRow& r, const PointState& ps, const OvV3d& d, OvInt32 bodyA, OvInt32 bodyB) {
    static const OvpRow kTemplate = OvpRowTemplate();
    r = kTemplate;
    r.body[0] = bodyA;
    r.body[1] = bodyB;
    if (bodyA >= 0) {
        const OvV3d a = OvpCross(ps.rA, d);
        r.linA[0] = d.x, r.linA[1] = d.y, r.linA[2] = d.z;
        r.angA[0] = a.x, r.angA[1] = a.y, r.angA[2] = a.z;
    }
    if (bodyB >= 0) {
        const OvV3d a = OvpCross(ps.rB, d);
        r.linB[0] = -d.x, r.linB[1] = -d.y, r.linB[2] = -d.z;
        r.angB[0] = -a.x, r.angB[1] = -a.y, r.angB[2] = -a.z;
    }
    return r;
}

OvV3d PointVelocity(const OvpDyn* dyn, const OvV3d& arm) {
    const float* v = dyn->manager->bodies->velocities[dyn->body];
    return OvpAdd(Lin(v), OvpCross(Ang(v), arm));
}

} // namespace

OvUInt32 OvpContactBuildRows(OvpRow* rows, const OvpContact* c, OvInt32 bodyA, OvInt32 bodyB, float scale,
                             float dt) {
    const OvpDyn* da = bodyA >= 0 ? OvpRefGetDyn(c->ref[0]) : nullptr;
    const OvpDyn* db = bodyB >= 0 ? OvpRefGetDyn(c->ref[1]) : nullptr;
    if (da == nullptr) {
        bodyA = -1;
    }
    if (db == nullptr) {
        bodyB = -1;
    }
    if (bodyA < 0 && bodyB < 0) {
        return 0;
    }
    const OvV3d n = c->normal;
    const OvUInt32 count = c->count < ovpCONTACTPOINTS ? c->count : ovpCONTACTPOINTS;
    const float share = count != 0 ? c->lastImpulse / static_cast<float>(count) : 0.0f;
    const float bound = share * c->friction * kFrictionTurn;
    OvUInt32 written = 0;
    for (OvUInt32 i = 0; i < count; ++i) {
        const OvpContactPoint& pt = c->points[i];
        const auto* mat = static_cast<const OvpContactMaterial*>(pt.material);
        if (mat != nullptr && (mat->flags & ovpMATERIAL_IGNORE)) {
            continue;
        }
        PointState ps{};
        OvV3d vA = {0.0f, 0.0f, 0.0f}, vB = {0.0f, 0.0f, 0.0f};
        if (da != nullptr) {
            ps.rA = OvpSub(pt.position, da->manager->bodies->matrices[da->body].pos);
            vA = PointVelocity(da, ps.rA);
        } else {
            vA = pt.surfaceVelocity; // the missing end moves with the surface
        }
        if (db != nullptr) {
            ps.rB = OvpSub(pt.position, db->manager->bodies->matrices[db->body].pos);
            vB = PointVelocity(db, ps.rB);
        }
        if (da != nullptr) {
            vB = OvpAdd(vB, pt.surfaceVelocity);
        }
        ps.relative = OvpSub(vA, vB);
        // Normal row.
        OvpRow& normal = ContactRow(rows[written++], ps, n, bodyA, bodyB);
        OvpRowSetBounds(&normal, 0.0f, FLT_MAX, 0.0f, FLT_MAX);
        const bool own = mat != nullptr && (mat->flags & ovpMATERIAL_OWNNORMAL);
        const float restitution = own ? mat->restitution : c->restitution;
        const float un = OvpDot(ps.relative, n);
        // The normal row aims at the restitution's rebound and, in the position pass, at the
        // overlap of points that overlap. A point still apart lets the bodies approach by its gap
        // within the step: holding it at its distance would leave a body resting in the air, up
        // to the contact threshold above its support. Its rebound starts only once the approach
        // closes the gap within the step.
        const float rebound = un < -0.001f * scale ? -un * restitution : 0.0f;
        normal.bias = rebound;
        normal.error = pt.separation <= 0.0f ? pt.separation : 0.0f;
        if (pt.separation > 0.0f && dt > 0.0f) {
            const float closing = -pt.separation / dt;
            normal.bias = un < closing ? std::fmax(rebound, closing) : closing;
        }
        if (own) {
            normal.bias += mat->normalBias[0];
            normal.error += mat->normalBias[1];
            normal.erp = mat->erp;
        }
        if (c->flags & 1u) {
            continue;
        }
        // Two friction rows at 45 degrees to the sliding direction.
        OvV3d dirs[2];
        if (mat != nullptr && (mat->flags & ovpMATERIAL_OWNDIRECTION)) {
            OvpMathVec3Normalize(&dirs[0], &mat->direction);
            dirs[1] = OvpCross(n, dirs[0]);
        } else {
            OvV3d t1 = OvpCross(n, ps.relative);
            if (OvpDot(t1, t1) < 0.0001f) {
                const OvV3d axis = std::fabs(n.x) >= 0.99f ? OvV3d{0.0f, 1.0f, 0.0f} : OvV3d{1.0f, 0.0f, 0.0f};
                t1 = OvpCross(n, axis);
            }
            OvpMathVec3Normalize(&t1, &t1);
            const OvV3d t2 = OvpCross(n, t1);
            dirs[0] = OvpScale(OvpAdd(t1, t2), kFrictionTurn);
            dirs[1] = OvpScale(OvpSub(t1, t2), kFrictionTurn);
        }
        for (int k = 0; k < 2; ++k) {
            OvpRow& f = ContactRow(rows[written++], ps, dirs[k], bodyA, bodyB);
            const bool ownF = mat != nullptr && (mat->flags & ovpMATERIAL_OWNFRICTION);
            const float b = ownF ? mat->frictionBound[k] : bound;
            OvpRowSetBounds(&f, 0.0f, 0.0f, -b, b);
            if (ownF) {
                f.bias += mat->frictionBias[k];
            }
        }
    }
    return written;
}

// ---- the contact cache ----------------------------------------------------------------------

namespace {

OvUInt32 EndSlot(const OvpRef& r) { return r.part == ovpREFNONE || r.object == nullptr ? 65535u : r.object->slot; }

OvUInt32 CacheKey(const OvpContact* c, OvUInt32 buckets) {
    const OvUInt32 a = EndSlot(c->ref[0]), b = EndSlot(c->ref[1]);
    return ((a * 32u + c->ref[0].part) * 16381u + b * 32u + c->ref[1].part) & (buckets - 1u);
}

bool SameEnds(const OvpCacheEntry& e, const OvpContact* c) {
    const void* o0 = c->ref[0].object;
    const void* o1 = c->ref[1].object;
    const OvUInt16 p0 = c->ref[0].part, p1 = c->ref[1].part;
    return (e.object[0] == o0 && e.part[0] == p0 && e.object[1] == o1 && e.part[1] == p1) ||
           (e.object[0] == o1 && e.part[0] == p1 && e.object[1] == o0 && e.part[1] == p0);
}

} // namespace

OvUInt32 OvpContactCacheBuckets(OvUInt32 capacity) {
    OvUInt32 n = 1;
    while (n <= capacity / 2u) {
        n *= 2u;
    }
    return n;
}

float OvpContactCacheMatch(const OvpContactCache* cache, const OvpContact* c) {
    float impulse = 0.0f, best = -FLT_MAX;
    for (const OvpCacheEntry* e = cache->buckets[CacheKey(c, cache->bucketCount)]; e != nullptr; e = e->next) {
        if (!SameEnds(*e, c)) {
            continue;
        }
        const float d = OvpDot(e->normal, c->normal);
        if (d > best) {
            best = d;
            impulse = e->impulse;
        }
    }
    return impulse;
}

void OvpContactCacheClear(OvpContactCache* cache) {
    for (OvUInt32 i = 0; i < cache->bucketCount; ++i) {
        cache->buckets[i] = nullptr;
    }
    cache->entryCount = 0;
}

OvBool OvpContactCacheStore(OvpContactCache* cache, const OvpContact* c, float impulse) {
    if (cache->entryCount >= cache->entryCapacity) {
        return 0;
    }
    OvpCacheEntry& e = cache->entries[cache->entryCount++];
    e.object[0] = c->ref[0].object;
    e.object[1] = c->ref[1].object;
    e.part[0] = c->ref[0].part;
    e.part[1] = c->ref[1].part;
    e.normal = c->normal;
    e.impulse = impulse > 0.0f ? impulse : 0.0f;
    OvpCacheEntry*& head = cache->buckets[CacheKey(c, cache->bucketCount)];
    e.next = head;
    head = &e;
    return 1;
}
