#include "physics/core/collision/drivers.h"

#include <cstring>
#include <utility>

#include "physics/core/context/context.h"
#include "physics/core/context/dynamics.h"
#include "physics/core/context/manager.h"
#include "physics/core/context/pipeline.h"
#include "physics/core/utils/memory.h"

namespace {

bool IsFixed(const OvpRef& r) { return r.part == ovpREFNONE; }
const OvpVolume* FixedVolume(const OvpRef& r) { return reinterpret_cast<const OvpVolume*>(r.object); }
// The object of an end, null for a fixed volume.
OvpObj* ObjectOf(const OvpRef& r) { return IsFixed(r) ? nullptr : r.object; }

// A new matrix slot, or -1 (stop flag) when the array is full.
OvInt32 NewMatrix(OvpGatherState* g) {
    if (g->matrixCount >= g->matrixCapacity) {
        g->stop = 1;
        return -1;
    }
    return g->matrixCount++;
}

// Whether the end's one gathered entry will carry the end's own box: a single simple part whose
// box is the manager's bounds of the object (as OvpRefGetBox and OvpGatherParts take them).
bool EntryBoxIsEndBox(const OvpRef& end) {
    const OvpObj* o = end.object;
    if (o == nullptr || IsFixed(end) || o->partCount != 1 || o->manager == nullptr ||
        (end.part != ovpREFWHOLE && end.part != 0)) {
        return false;
    }
    const OvpVolume* v = o->parts[0].volume;
    OvpBBox box;
    return v != nullptr && (v->type->words[2] & ovpVOLUMETYPE_COMPOUND) == 0 &&
           OvpMgrGetObjectBounds(o->manager, o, &box) != nullptr;
}

void PushTouch(OvpCollisionDriver* d, OvpObj* object, const OvpRef& other, OvpContact* record) {
    if (d->touchCount == nullptr || *d->touchCount >= d->touchCapacity) {
        return;
    }
    OvpTouch* t = &d->touches[(*d->touchCount)++];
    t->object = object;
    t->other = other.object;
    t->otherPart = other.part;
    t->record = record;
    t->next = object->touchHead;
    object->touchHead = t;
}

bool SameEnds(const OvpContact& a, const OvpContact& b) {
    return a.ref[0].object == b.ref[0].object && a.ref[0].part == b.ref[0].part && a.ref[1].object == b.ref[1].object &&
           a.ref[1].part == b.ref[1].part;
}

// Writes the queued tasks, group by group; returns the records written.
OvUInt32 ProcessQueue(OvpCollisionDriver* d, OvpContact* out, OvUInt32 capacity) {
    OvUInt32 written = 0;
    OvInt32 start = 0;
    while (start < d->taskCount && written < capacity) {
        OvInt32 end = start + 1;
        while (end < d->taskCount && SameEnds(d->tasks[start], d->tasks[end])) {
            ++end;
        }
        written += OvpCollisionWriteRecords(d, d->tasks + start, static_cast<OvUInt32>(end - start), out + written,
                                            capacity - written);
        start = end;
    }
    d->taskCount = 0;
    d->pointCount = 0;
    return written;
}

} // namespace

OvpCollisionDriver* OvpCollisionDriverCarve(OvpCarver* c, const OvpContextParams* params) {
    const OvUInt32 gathered = params->word[ovpPARAM_GATHER];
    const OvUInt32 tasks = params->word[ovpPARAM_TASKS];
    const OvUInt32 triangles = params->word[ovpPARAM_TRIANGLES];
    OvpCollisionDriver* d = c->take<OvpCollisionDriver>(1);
    OvpGatheredPart* entries = c->take<OvpGatheredPart>(gathered);
    OvpBBox* boxes = c->take<OvpBBox>(gathered);
    OvMatrix* matrices = c->take<OvMatrix>(gathered);
    OvpPartPair* partPairs = c->take<OvpPartPair>(gathered);
    OvpContact* taskRecords = c->take<OvpContact>(tasks);
    OvUInt8* taskFlags = c->take<OvUInt8>(tasks);
    const OvUInt32 poolPoints = (tasks > 2u ? tasks : 2u) * ovpPOOLFEATURE;
    OvpFeatureVertex* points = c->take<OvpFeatureVertex>(poolPoints);
    OvpTriangleRecord* records = c->take<OvpTriangleRecord>(triangles);
    OvpVolume* temporaries = c->take<OvpVolume>(triangles);
    if (d == nullptr) {
        return nullptr;
    }
    std::memset(d, 0, sizeof(*d));
    OvpGatherState& g = d->gather;
    g.entries = entries;
    g.boxes = boxes;
    g.entryCapacity = static_cast<OvInt32>(gathered);
    g.matrices = matrices;
    g.matrixCapacity = static_cast<OvInt32>(gathered);
    g.triangles = {records, 0, static_cast<OvInt32>(triangles), 0, nullptr};
    g.temporaries = temporaries;
    g.temporaryCapacity = static_cast<OvInt32>(triangles);
    d->partPairs = partPairs;
    d->partPairCapacity = static_cast<OvInt32>(gathered);
    d->tasks = taskRecords;
    d->taskFlags = taskFlags;
    d->taskCapacity = static_cast<OvInt32>(tasks);
    d->points = points;
    d->pointCapacity = poolPoints;
    return d;
}

void OvpCollisionDriverSetup(OvpCollisionDriver* d, float scale, float margin, const OvUInt32* groupMatrix,
                             OvpTouch* touches, OvUInt32* touchCount, OvUInt32 touchCapacity) {
    d->gather.margin = margin;
    d->threshold = 0.01f * scale;
    d->lengthScale = scale;
    d->groupMatrix = groupMatrix;
    d->touches = touches;
    d->touchCount = touchCount;
    d->touchCapacity = touchCapacity;
}

OvBool OvpBitMatrixTest(const OvUInt32* m, OvUInt32 row, OvUInt32 column) {
    if (m == nullptr) {
        return 0;
    }
    const OvUInt32 bit = column + row * m[1];
    return (m[3 + bit / 32] >> (bit % 32)) & 1u;
}

OvpBBox* OvpRefGetBox(const OvpRef* end, OvpBBox* out) {
    if (end->object == nullptr) {
        return nullptr;
    }
    if (IsFixed(*end)) {
        return OvpVolumeGetBoundingBox(FixedVolume(*end), nullptr, 0, out);
    }
    const OvpObj* o = end->object;
    if (o->manager != nullptr && OvpMgrGetObjectBounds(o->manager, o, out) != nullptr) {
        return out;
    }
    return OvpObjGetPartsBox(o, o->partCount, 0, out);
}

OvInt32 OvpGatherParts(OvpCollisionDriver* d, const OvpRef* end, const OvpBBox* boxes, const OvpBBox* otherBox) {
    OvpGatherState* g = &d->gather;
    if (end->object == nullptr) {
        return 0;
    }
    if (IsFixed(*end)) {
        const OvpVolume* v = FixedVolume(*end);
        const OvInt32 slot = NewMatrix(g);
        if (slot < 0) {
            return 0;
        }
        OvMatrix* m = &g->matrices[slot];
        if ((v->type->words[2] & ovpVOLUMETYPE_WORLD) != 0) {
            OvMatrixSetIdentity(m);
        } else {
            *m = v->matrix;
        }
        return OvpGatherCompound(g, end->object, ovpREFNONE, v, slot, 0, nullptr, otherBox, nullptr);
    }
    OvpObj* o = end->object;
    OvUInt16 first = 0, last = o->partCount;
    if (end->part != ovpREFWHOLE) {
        if (end->part >= o->partCount) {
            return 0;
        }
        first = end->part;
        last = static_cast<OvUInt16>(end->part + 1);
    }
    OvInt32 added = 0;
    for (OvUInt16 k = first; k < last && !g->stop; ++k) {
        const OvpObjPart& part = o->parts[k];
        if (part.volume == nullptr) {
            continue;
        }
        const OvpVolume* v = part.volume;
        const OvInt32 slot = NewMatrix(g);
        if (slot < 0) {
            break;
        }
        OvMatrix bound;
        if (part.dyn != nullptr) {
            OvpDynGetModelMatrix(part.dyn, &bound);
        } else if (part.matrix != nullptr) {
            bound = *part.matrix;
        } else {
            OvMatrixSetIdentity(&bound);
        }
        OvMatrix* m = &g->matrices[slot];
        if ((v->type->words[2] & ovpVOLUMETYPE_WORLD) != 0) {
            OvMatrixSetIdentity(m);
        } else if (OvpMathIsIdentity(&v->matrix)) {
            *m = bound;
        } else {
            OvpMathMatrixMultiply(m, &v->matrix, &bound);
        }
        OvpBBox box;
        bool haveBox = false;
        if (boxes != nullptr) {
            box = boxes[k];
            haveBox = true;
        } else if (o->partCount == 1 && o->manager != nullptr) {
            haveBox = OvpMgrGetObjectBounds(o->manager, o, &box) != nullptr;
        }
        if (!haveBox && OvpVolumeGetBoundingBoxInFrame(v, m, 0, &box) == nullptr) {
            --g->matrixCount;
            continue;
        }
        if (otherBox != nullptr && OvpBoxesApart(box, *otherBox, g->margin)) {
            --g->matrixCount;
            continue;
        }
        const bool simple = (v->type->words[2] & ovpVOLUMETYPE_COMPOUND) == 0;
        added += OvpGatherCompound(g, o, k, v, slot, 0, simple ? &box : nullptr, otherBox, nullptr);
    }
    return added;
}

OvInt32 OvpFilterPartPairs(OvpCollisionDriver* d, OvInt32 countA, OvInt32 countB, const OvUInt32* partExclusion,
                           const OvUInt32* groupMatrix) {
    const OvpGatherState& g = d->gather;
    const float margin = g.margin;
    OvInt32 made = 0;
    for (OvInt32 i = 0; i < countA && !d->stop; ++i) {
        const OvpGatheredPart& a = g.entries[i];
        for (OvInt32 j = countA; j < countA + countB; ++j) {
            const OvpGatheredPart& b = g.entries[j];
            if (a.volume == nullptr || b.volume == nullptr) {
                continue;
            }
            if (a.object == b.object) {
                // One object against itself: each pair of different parts once.
                if (a.part >= b.part) {
                    continue;
                }
            }
            if (a.part == ovpREFNONE && b.part == ovpREFNONE) {
                continue;
            }
            if (partExclusion != nullptr && OvpBitMatrixTest(partExclusion, a.part, b.part)) {
                continue;
            }
            if (groupMatrix != nullptr && OvpBitMatrixTest(groupMatrix, a.volume->group, b.volume->group)) {
                continue;
            }
            if (OvpBoxesApart(g.boxes[i], g.boxes[j], margin)) {
                continue;
            }
            if (d->partPairCount >= d->partPairCapacity) {
                d->stop = 1;
                break;
            }
            d->partPairs[d->partPairCount++] = {i, j};
            ++made;
        }
    }
    return made;
}

OvBool OvpCollisionQueueTask(OvpCollisionDriver* d, const OvpGatheredPart* a, const OvpGatheredPart* b) {
    if (d->taskCount >= d->taskCapacity || d->pointCount + 2u * ovpPOOLFEATURE > d->pointCapacity) {
        d->stop = 1;
        return 0;
    }
    OvpContact* r = &d->tasks[d->taskCount];
    const OvpCollisionPair pair = {{a->volume, b->volume}, {a->matrix, b->matrix}};
    OvUInt32 pooled = 0;
    if (!OvpCollideVolumes(&pair, d->threshold, d->lengthScale, r, d->points + d->pointCount,
                           d->pointCapacity - d->pointCount, &pooled)) {
        return 0;
    }
    d->pointCount += pooled;
    r->solved = nullptr;
    r->ref[0] = {static_cast<OvpObj*>(const_cast<void*>(a->object)), a->part, 0};
    r->ref[1] = {static_cast<OvpObj*>(const_cast<void*>(b->object)), b->part, 0};
    r->friction = a->volume->friction < b->volume->friction ? a->volume->friction : b->volume->friction;
    r->restitution = a->volume->restitution < b->volume->restitution ? a->volume->restitution : b->volume->restitution;
    r->lastImpulse = 0.0f;
    r->flags = 0;
    r->next = nullptr;
    r->word = 0;
    for (OvUInt32 k = 0; k < r->count; ++k) {
        r->points[k].identity[0] = a->identity;
        r->points[k].identity[1] = b->identity;
    }
    const auto pointCore = [](const OvpVolume* v) { return v->type->id == ovpVOLUME_SPHERE; };
    d->taskFlags[d->taskCount] = static_cast<OvUInt8>(
        (((a->volume->type->words[2] | b->volume->type->words[2]) & ovpVOLUMETYPE_TRIANGLE) != 0 ? ovpTASK_TRIANGLE : 0) |
        (pointCore(a->volume) ? ovpTASK_POINTA : 0) | (pointCore(b->volume) ? ovpTASK_POINTB : 0));
    if (++d->taskCount >= d->taskCapacity) {
        d->stop = 1;
    }
    return 1;
}

OvUInt32 OvpCollisionWriteRecords(OvpCollisionDriver* d, OvpContact* tasks, OvUInt32 count, OvpContact* out,
                                  OvUInt32 capacity) {
    if (count == 0) {
        return 0;
    }
    const OvpRef ends[2] = {tasks[0].ref[0], tasks[0].ref[1]};
    OvpObj* objects[2] = {ObjectOf(ends[0]), ObjectOf(ends[1])};
    const auto flagged = [&](int side, OvUInt32 flag) {
        return objects[side] != nullptr && (objects[side]->flags & flag) != 0;
    };
    if (flagged(0, ovpOBJ_NOCONTACTS) || flagged(1, ovpOBJ_NOCONTACTS)) {
        for (int side = 0; side < 2; ++side) {
            if (flagged(side, ovpOBJ_TOUCHES)) {
                PushTouch(d, objects[side], ends[1 - side], nullptr);
            }
        }
        return 0;
    }
    const OvInt32 first = static_cast<OvInt32>(tasks - d->tasks);
    const auto flagsOf = [&](OvUInt32 i) -> OvUInt32 {
        const OvInt32 t = first + static_cast<OvInt32>(i);
        return t >= 0 && t < d->taskCapacity ? d->taskFlags[t] : 0u;
    };
    bool triangles = false;
    for (OvUInt32 i = 0; i < count; ++i) {
        triangles = triangles || (flagsOf(i) & ovpTASK_TRIANGLE) != 0;
    }
    // A piece whose core is one point touches a surface at one point. Its records against
    // several pieces of the other end (a sphere over a vertex or edge that triangles share) give
    // that point along slightly turned normals; as rows (and merged, as points of one record)
    // they are near copies of each other, which the solver cannot tell apart and updates in turn
    // without end. Records of one such piece whose normals agree with the first one's become
    // one: the deepest point (the first on a tie) along the sum of their normals, again until
    // no two agree. When the point lies over a face of one of them, that face's normal is the
    // surface's there: the sum is of the face records' normals alone, or the rims of the
    // neighbours round it would tilt a body standing still on a flat floor and it would creep.
    for (int side = 0; side < 2; ++side) {
        const OvUInt32 flag = side == 0 ? ovpTASK_POINTA : ovpTASK_POINTB;
        for (bool again = true; again;) {
            again = false;
            for (OvUInt32 i = 0; i < count; ++i) {
                const OvpContact& r = tasks[i];
                if (r.count == 0 || (flagsOf(i) & flag) == 0) {
                    continue;
                }
                const int surface = 1 - side;
                OvpContact* kept = &tasks[i];
                OvV3d sum = r.normal;
                bool overFace = r.kind[surface] == ovpFEATURE_FACE;
                OvV3d faces = overFace ? r.normal : OvV3d{0.0f, 0.0f, 0.0f};
                bool folded = false;
                for (OvUInt32 j = i + 1; j < count; ++j) {
                    OvpContact& o = tasks[j];
                    if (o.count == 0 || (flagsOf(j) & flag) == 0 ||
                        o.points[0].identity[side] != r.points[0].identity[side] ||
                        !OvpNormalsAgree(r.normal, o.normal)) {
                        continue;
                    }
                    sum = OvpAdd(sum, o.normal);
                    if (o.kind[surface] == ovpFEATURE_FACE) {
                        faces = OvpAdd(faces, o.normal);
                        overFace = true;
                    }
                    again = folded = true;
                    OvpContact* dropped = &o;
                    if (o.points[0].separation < kept->points[0].separation) {
                        std::swap(dropped, kept);
                    }
                    dropped->count = 0;
                }
                if (folded) {
                    OvpMathVec3Normalize(&kept->normal, overFace ? &faces : &sum);
                }
            }
        }
    }
    const OvUInt32 made = OvpGeneralPrimitiveMergeContacts(tasks, count, triangles, out, capacity, d->lengthScale);
    for (int side = 0; side < 2; ++side) {
        if (flagged(side, ovpOBJ_TOUCHES)) {
            for (OvUInt32 i = 0; i < made; ++i) {
                PushTouch(d, objects[side], ends[1 - side], &out[i]);
            }
        }
    }
    return made;
}

OvInt32 OvpGatherPairParts(OvpCollisionDriver* d, const OvpRefPair* pair) {
    OvpGatherState* g = &d->gather;
    g->entryCount = g->matrixCount = g->temporaryCount = 0;
    g->stop = 0;
    d->stop = 0;
    d->partPairCount = 0;
    d->taskCount = 0;
    d->pointCount = 0;
    OvpBBox boxA, boxB;
    if (OvpRefGetBox(&pair->ref[0], &boxA) == nullptr || OvpRefGetBox(&pair->ref[1], &boxB) == nullptr) {
        return 0;
    }
    if (EntryBoxIsEndBox(pair->ref[1])) {
        g->flags |= ovpGATHER_OTHERBOXEXACT;
    }
    const OvInt32 countA = OvpGatherParts(d, &pair->ref[0], nullptr, &boxB);
    g->flags &= ~static_cast<OvUInt32>(ovpGATHER_OTHERBOXEXACT);
    if (countA == 0) {
        return 0;
    }
    const OvInt32 countB = OvpGatherParts(d, &pair->ref[1], nullptr, &boxA);
    if (countB == 0) {
        return 0;
    }
    return OvpFilterPartPairs(d, countA, countB, pair->pairWord, d->groupMatrix);
}

OvUInt32 OvpCollidePairs(OvpCollisionDriver* d, const OvpRefPair* pairs, OvUInt32 count, OvpContact* out,
                         OvUInt32 capacity) {
    OvUInt32 written = 0;
    OvpGatherState* g = &d->gather;
    for (OvUInt32 i = 0; i < count && written < capacity; ++i) {
        if (OvpGatherPairParts(d, &pairs[i]) == 0) {
            continue;
        }
        // A full queue is written out and the walk goes on with the next part pair, so a pair
        // with more part pairs than the queue holds still ends.
        for (OvInt32 k = 0; k < d->partPairCount && written < capacity; ++k) {
            const OvpPartPair& pp = d->partPairs[k];
            OvpCollisionQueueTask(d, &g->entries[pp.a], &g->entries[pp.b]);
            if (d->taskCount >= d->taskCapacity || d->pointCount + 2u * ovpPOOLFEATURE > d->pointCapacity) {
                written += ProcessQueue(d, out + written, capacity - written);
            }
        }
        if (written < capacity) {
            written += ProcessQueue(d, out + written, capacity - written);
        }
        d->taskCount = 0;
        d->pointCount = 0;
    }
    return written;
}

OvUInt32 OvpFixedVolumePairs(OvpContext* c, OvpObj* const* objects, OvUInt32 count, const OvUInt32* groupMatrix) {
    OvpPipeline* p = c->pipeline;
    OvpMgr* m = c->manager;
    const float margin = m->farfield->margin;
    OvUInt32 added = 0;
    for (OvUInt32 s = 0; s < c->usedCount; ++s) {
        OvpVolume* v = c->volumes[s];
        OvpBBox box;
        if (v == nullptr || OvpVolumeGetBoundingBox(v, nullptr, 0, &box) == nullptr) {
            continue;
        }
        for (OvUInt32 i = 0; i < count; ++i) {
            OvpObj* o = objects[i];
            if (o == nullptr || o->manager != m) {
                continue;
            }
            if (groupMatrix != nullptr &&
                OvpBitMatrixTest(groupMatrix, OvpFarfieldGetGroup(m->farfield, o->slot), v->group)) {
                continue;
            }
            OvpBBox ob;
            if (OvpMgrGetObjectBounds(m, o, &ob) == nullptr || OvpBoxesApart(box, ob, margin)) {
                continue;
            }
            if (p->pairCount >= p->pairCapacity) {
                return added;
            }
            p->pairs[p->pairCount++] = {{{reinterpret_cast<OvpObj*>(v), ovpREFNONE, 0}, {o, ovpREFWHOLE, 0}}, nullptr};
            ++added;
        }
    }
    return added;
}

OvBool OvpCollideIslandFixedVolumes(OvpContext* c, OvUInt32 index) {
    OvpPipeline* p = c->pipeline;
    if (index >= p->islands.count || p->driver == nullptr) {
        return 0;
    }
    OvpIsland& island = p->islands.islands[index];
    p->pairCount = 0;
    OvpFixedVolumePairs(c, island.objects, island.objectCount, c->manager->farfield->groupMatrix);
    const OvUInt32 room = p->contactCapacity - p->contactCount;
    OvpContact* fresh = p->contacts + p->contactCount;
    const OvUInt32 made = OvpCollidePairs(p->driver, p->pairs, p->pairCount, fresh, room);
    for (OvUInt32 i = 0; i < made; ++i) {
        fresh[i].next = island.contacts;
        island.contacts = &fresh[i];
    }
    p->contactCount += made;
    return made != 0;
}
