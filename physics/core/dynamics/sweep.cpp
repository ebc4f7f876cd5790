#include "physics/core/dynamics/sweep.h"

#include <cfloat>
#include <cmath>

#include "physics/core/context/context.h"
#include "physics/core/context/dynamics.h"
#include "physics/core/context/manager.h"
#include "physics/core/context/pipeline.h"
#include "physics/core/dynamics/integrate.h"
#include "physics/core/utils/math.h"

namespace {

struct Motion {
    OvV3d v = {0.0f, 0.0f, 0.0f};
    OvV3d w = {0.0f, 0.0f, 0.0f};
    float extent = 0.0f; // how far the part reaches from the body's centre of mass
};

// The part's world matrix with its body advanced by t (the body's state is restored); the
// gathered matrix for an end that does not move. Null for a volume in world coordinates.
const OvMatrix* PlaceAt(const OvpSweepEnd& e, float t, OvMatrix* out, OvV3d* centre) {
    const OvpGatheredPart* g = e.part;
    if (e.dyn == nullptr || !e.advance) {
        *centre = e.dyn != nullptr ? e.dyn->manager->bodies->matrices[e.dyn->body].pos : OvV3d{0.0f, 0.0f, 0.0f};
        return g->matrix;
    }
    OvpBodyArrays* b = e.dyn->manager->bodies;
    const OvUInt32 i = e.dyn->body;
    const OvMatrix savedM = b->matrices[i];
    const OvQuat savedQ = b->orientations[i];
    OvpIntegrateBody(b, i, t);
    *centre = b->matrices[i].pos;
    OvMatrix model;
    OvpDynGetModelMatrix(e.dyn, &model);
    b->matrices[i] = savedM;
    b->orientations[i] = savedQ;
    const OvpVolume* v = g->volume;
    if ((v->type->words[2] & ovpVOLUMETYPE_WORLD) != 0) {
        return nullptr;
    }
    if (OvpMathIsIdentity(&v->matrix)) {
        *out = model;
    } else {
        OvpMathMatrixMultiply(out, &v->matrix, &model);
    }
    return out;
}

Motion MotionOf(const OvpSweepEnd& e) {
    Motion m;
    if (e.dyn == nullptr) {
        return m;
    }
    const float* v = e.dyn->manager->bodies->velocities[e.dyn->body];
    m.v = {v[0], v[1], v[2]};
    m.w = {v[4], v[5], v[6]};
    OvSphere s;
    if (OvpVolumeGetBoundingSphereInFrame(e.part->volume, nullptr, &s) != nullptr) {
        m.extent = s.radius + OvpLength(e.dyn->comOffset);
    }
    return m;
}

} // namespace

OvpSweepSettings OvpSweepDefaults(float dt, float threshold, float scale) {
    return {dt, 0.1f, 0.25f * threshold, 0.05f, 0.001f * scale, scale};
}

OvBool OvpBatchCollide(const OvpSweepEnd ends[2], const OvpSweepSettings* s) {
    const OvpVolume* va = ends[0].part->volume;
    const OvpVolume* vb = ends[1].part->volume;
    // A plane's core has no finite thickness: the thinner part says how close is too close.
    const float T = std::fmin(s->thicknessFactor * std::fmin(OvpVolumeGetThickness(va), OvpVolumeGetThickness(vb)),
                              s->thicknessLimit);
    const float minStep = s->minStepFactor * s->dt;
    float R = FLT_MAX;
    for (int k = 0; k < 2; ++k) {
        if (ends[k].allowed != nullptr) {
            R = std::fmin(R, *ends[k].allowed);
        }
    }
    if (R == FLT_MAX) {
        return 0;
    }
    const Motion ma = MotionOf(ends[0]), mb = MotionOf(ends[1]);
    const OvV3d u = OvpSub(ma.v, mb.v);
    const float uu = OvpDot(u, u);
    // Sphere approach of the two parts' bounding spheres.
    OvSphere sa, sb;
    OvMatrix ka, kb;
    OvV3d ca, cb;
    if (OvpVolumeGetBoundingSphereInFrame(va, PlaceAt(ends[0], 0.0f, &ka, &ca), &sa) == nullptr ||
        OvpVolumeGetBoundingSphereInFrame(vb, PlaceAt(ends[1], 0.0f, &kb, &cb), &sb) == nullptr) {
        return 0;
    }
    const OvV3d c = OvpSub(sa.center, sb.center);
    const float d = OvpLength(c);
    const float reach = sa.radius + sb.radius + 2.0f * T;
    float t0 = 0.0f;
    if (d > reach) {
        const float k = OvpDot(c, u);
        if (k > -0.000001f) {
            return 0; // moving apart
        }
        const float q = (d + reach) * (d - reach) * uu;
        if (k * k < q) {
            return 0;
        }
        t0 = (-k - std::sqrt(k * k - q)) / uu;
    }
    float t = std::fmax(t0, minStep);
    const float spin = OvpLength(ma.w) + OvpLength(mb.w);
    const float cap = spin > FLT_MIN ? 0.7853982f / spin : FLT_MAX;
    if (!(R > t)) {
        return 0;
    }
    const float speedBound = OvpLength(ma.w) * ma.extent + OvpLength(mb.w) * mb.extent + std::sqrt(uu);
    for (int round = 0; round < 5; ++round) {
        OvpCollisionPair pair;
        pair.volume[0] = va;
        pair.volume[1] = vb;
        pair.matrix[0] = PlaceAt(ends[0], t, &ka, &ca);
        pair.matrix[1] = PlaceAt(ends[1], t, &kb, &cb);
        OvpContact set{};
        const float search = (R - t) * speedBound + 2.0f * T;
        if (!OvpCollideVolumes(&pair, search, s->lengthScale, &set) || set.count == 0) {
            return 0;
        }
        float step = FLT_MAX;
        bool hit = false;
        for (OvUInt32 i = 0; i < set.count && i < ovpCONTACTPOINTS && !hit; ++i) {
            const OvV3d& p = set.points[i].position;
            const OvV3d pa = OvpAdd(ma.v, OvpCross(ma.w, OvpSub(p, ca)));
            const OvV3d pb = OvpAdd(mb.v, OvpCross(mb.w, OvpSub(p, cb)));
            const float an = OvpDot(set.normal, OvpSub(pa, pb));
            if (!(an < -s->approach)) {
                continue;
            }
            const float gap = set.points[i].separation;
            if (gap <= T) {
                hit = true;
            } else {
                step = std::fmin(step, (gap - 2.0f * T) / -an);
            }
        }
        if (hit) {
            break;
        }
        step = std::fmin(step, cap);
        if (step <= 0.0f) {
            break;
        }
        t += step;
        if (t > R) {
            return 0;
        }
    }
    for (int k = 0; k < 2; ++k) {
        if (ends[k].allowed != nullptr && *ends[k].allowed > t) {
            *ends[k].allowed = t;
        }
    }
    return 1;
}

namespace {

// The swept object's box: the union of its parts' path boxes; false when it has no volume.
bool PathBox(const OvpObj* o, const OvpBBox* sweptBoxes, OvpBBox* out) {
    bool haveBox = false;
    for (OvUInt16 k = 0; k < o->partCount; ++k) {
        if (o->parts[k].volume != nullptr) {
            *out = haveBox ? *OvpMathBoxUnion(out, out, &sweptBoxes[k]) : sweptBoxes[k];
            haveBox = true;
        }
    }
    return haveBox;
}

// The swept object's part pairs with one other end (a fixed volume or an object), each searched
// for its time of impact. Returns the impacts found.
OvUInt32 CollideWith(OvpPipeline* p, OvpObj* o, const OvpBBox* sweptBoxes, const OvpBBox& objectBox, float* allowed,
                     const OvpSweepSettings* s, const OvpRef& other, const OvpBBox& otherBox) {
    OvpCollisionDriver* d = p->driver;
    OvpGatherState* g = &d->gather;
    const OvpRef self = {o, ovpREFWHOLE, 0};
    g->entryCount = g->matrixCount = g->temporaryCount = 0;
    g->stop = 0;
    d->stop = 0;
    d->partPairCount = 0;
    d->taskCount = 0;
    const OvInt32 countA = OvpGatherParts(d, &self, sweptBoxes, &otherBox);
    if (countA == 0) {
        return 0;
    }
    const OvInt32 countB = OvpGatherParts(d, &other, nullptr, &objectBox);
    if (countB == 0) {
        return 0;
    }
    OvUInt32 impacts = 0;
    const OvInt32 pairs = OvpFilterPartPairs(d, countA, countB, nullptr, d->groupMatrix);
    for (OvInt32 i = 0; i < pairs; ++i) {
        const OvpGatheredPart& a = g->entries[d->partPairs[i].a];
        const OvpGatheredPart& b = g->entries[d->partPairs[i].b];
        if (a.part >= o->partCount || o->parts[a.part].dyn == nullptr) {
            continue;
        }
        OvpSweepEnd ends[2] = {{&a, o->parts[a.part].dyn, true, &allowed[a.part]}, {&b, nullptr, false, nullptr}};
        if (b.part != ovpREFNONE) {
            const auto* otherObject = static_cast<const OvpObj*>(b.object);
            if (b.part < otherObject->partCount) {
                ends[1].dyn = otherObject->parts[b.part].dyn;
            }
        }
        impacts += OvpBatchCollide(ends, s);
    }
    return impacts;
}

} // namespace

OvUInt32 OvpCollideFixedVolumesOfObjects(OvpPipeline* p, OvpObj* o, const OvpBBox* sweptBoxes, float* allowed,
                                         const OvpSweepSettings* s) {
    OvpCollisionDriver* d = p->driver;
    OvpContext* ctx = p->context;
    OvpBBox objectBox{};
    if (!PathBox(o, sweptBoxes, &objectBox)) {
        return 0;
    }
    OvUInt32 impacts = 0;
    for (OvUInt32 slot = 0; slot < ctx->usedCount && !d->stop; ++slot) {
        OvpVolume* v = ctx->volumes[slot];
        OvpBBox box;
        if (v == nullptr || OvpVolumeGetBoundingBox(v, nullptr, 0, &box) == nullptr ||
            OvpBoxesApart(box, objectBox, d->gather.margin)) {
            continue;
        }
        if (d->groupMatrix != nullptr &&
            OvpBitMatrixTest(d->groupMatrix, OvpFarfieldGetGroup(ctx->manager->farfield, o->slot), v->group)) {
            continue;
        }
        impacts += CollideWith(p, o, sweptBoxes, objectBox, allowed, s, {reinterpret_cast<OvpObj*>(v), ovpREFNONE, 0},
                               box);
    }
    return impacts;
}

OvUInt32 OvpBatchCollideObjects(OvpPipeline* p, OvpObj* o, const OvpBBox* sweptBoxes, float* allowed,
                                const OvpSweepSettings* s) {
    OvpBBox objectBox{};
    if (!PathBox(o, sweptBoxes, &objectBox)) {
        return 0;
    }
    OvUInt32 impacts = OvpCollideFixedVolumesOfObjects(p, o, sweptBoxes, allowed, s);
    // The objects whose boxes meet its own.
    OvpMgr* m = p->context->manager;
    const OvUInt32 n = OvpMgrCollectPairs(m, &o, 1, p->pairs, p->pairCapacity,
                                          ovpCLASS_DYNAMICAWAKE | ovpCLASS_STATICAWAKE | ovpCLASS_DYNAMICASLEEP |
                                              ovpCLASS_STATICASLEEP);
    for (OvUInt32 i = 0; i < n && !p->driver->stop; ++i) {
        OvpBBox box;
        if (OvpRefGetBox(&p->pairs[i].ref[1], &box) != nullptr) {
            impacts += CollideWith(p, o, sweptBoxes, objectBox, allowed, s, p->pairs[i].ref[1], box);
        }
    }
    p->pairCount = 0;
    return impacts;
}
