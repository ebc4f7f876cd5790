// Contact scenes: the collision functions on fixed placements, without stepping.

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <string>

#include "physics/core/collision/drivers.h"
#include "physics/core/collision/narrow.h"
#include "physics/core/collision/triangle.h"
#include "physics/core/context/context.h"
#include "physics/core/context/manager.h"
#include "physics/core/volume/primitives.h"
#include "physics/qhull/convex_hull.h"
#include "testing/physics_placement.h"
#include "tools/physics_sim/scenes.h"

namespace physics_sim {

namespace {

std::string Format(const char* format, double a, double b = 0, double c = 0, double d = 0) {
    char line[200];
    std::snprintf(line, sizeof line, format, a, b, c, d);
    return line;
}

// The floor: the plane y <= 0 (its at axis up).
OvMatrix FloorMatrix() {
    OvMatrix m{};
    m.right = {1, 0, 0};
    m.up = {0, 0, -1};
    m.at = {0, 1, 0};
    return m;
}

// Nine squares of 1 m at y = 0 round the origin, two triangles each, edges between them shared.
void TileWalk(const OvpVolume*, const OvMatrix*, const OvpBBox*, void*, OvpTriangleBuffer* buffer) {
    buffer->count = 0;
    buffer->flags = 0;
    OvUInt32 index = 0;
    for (int i = 0; i < 3; ++i) {
        for (int j = 0; j < 3; ++j, index += 2) {
            const float x = i - 1.5f, z = j - 1.5f;
            OvpTriangleBufferAppend(buffer, {x, 0, z}, {x + 1, 0, z + 1}, {x + 1, 0, z}, nullptr, index, 0);
            OvpTriangleBufferAppend(buffer, {x, 0, z}, {x, 0, z + 1}, {x + 1, 0, z + 1}, nullptr, index + 1, 0);
        }
    }
}

} // namespace

Result BoxOnFloor(int steps, float dt) {
    Result r;
    r.title = "BOX RESTING ON THE FLOOR";
    r.quantity = "HEIGHT (M)";
    const float half[3] = {0.5f, 0.5f, 0.5f};
    const float fat = 0.001f;
    // No gravity: whole steps of the pipeline leave the box where it is, and the collision
    // stages of each step leave that step's records behind.
    World world(1, {0.0f, 0.0f, 0.0f});
    OvpVolume floor;
    OvpVolumeInit(&floor, &ovpPlaneVolumeType);
    floor.matrix = FloorMatrix();
    OvpObj* box = world.ok() ? world.AddBox(half, {0.25f, 0.5f + fat, -0.5f}) : nullptr;
    if (box == nullptr || OvpContextAddFixedVolume(world.context(), &floor, 0) == nullptr) {
        r.summary.push_back("checks: the scene could not be set up: FAIL");
        r.ok = false;
        return r;
    }
    box->parts[0].volume->fat = fat;
    OvpObjUpdateBounds(box);
    // One row per step: the records, the points of the record, the points' largest separation
    // from the fat distance, the box's height and whether it is awake. The first step's record is
    // printed in full and checked; later steps must leave the box where it rests (it may fall
    // asleep, and a sleeping pair leaves no record).
    Series records{"records", {}}, points{"points", {}}, sep{"separation (m)", {}}, height{"box y (m)", {}},
        awake{"awake", {}};
    const OvpPipeline* p = OvpContextGetPipeline(world.context());
    bool ok = true;
    double drift = 0.0;
    for (int step = 1; step <= steps; ++step) {
        world.Step(dt);
        const OvpContact* c = p->contactCount == 1 ? &p->contacts[0] : nullptr;
        const OvUInt32 count = c != nullptr ? c->count : 0;
        float worst = 0.0f;
        for (OvUInt32 i = 0; i < count; ++i) {
            worst = std::max(worst, std::fabs(c->points[i].separation));
        }
        drift = std::max(drift, std::fabs(world.Position(box).y - (0.5 + fat)));
        r.time.push_back(step * static_cast<double>(dt));
        records.values.push_back(p->contactCount);
        points.values.push_back(count);
        sep.values.push_back(count > 0 ? worst : NAN);
        height.values.push_back(world.Position(box).y);
        awake.values.push_back(world.Awake(box) ? 1.0 : 0.0);
        if (step > 1) {
            continue;
        }
        r.summary.push_back(Format("# box half extent 0.5, fat %.3f, centre at y = %.4f over the floor plane y = 0 (a "
                                   "fixed volume); %.0f steps without gravity; the first step's record:",
                                   fat, world.Position(box).y, steps));
        r.summary.push_back(Format("records: %.0f", p->contactCount));
        // The record's normal points from its second end to its first; printed towards the box.
        const bool boxFirst = c != nullptr && c->ref[0].object == box;
        const OvV3d n = c == nullptr ? OvV3d{0, 0, 0} : boxFirst ? c->normal : OvpScale(c->normal, -1.0f);
        r.summary.push_back(Format("record: %.0f points, normal (%g, %g, %g) towards the box", count, n.x + 0.0f,
                                   n.y + 0.0f, n.z + 0.0f));
        if (c != nullptr) {
            r.summary.push_back(std::string("ends: ") + (boxFirst ? "box, floor" : "floor, box") +
                                Format("; stored normal (%g, %g, %g), from the second end to the first",
                                       c->normal.x + 0.0f, c->normal.y + 0.0f, c->normal.z + 0.0f));
        }
        ok = count == 4 && std::fabs(n.y - 1.0f) < 1e-6f;
        for (OvUInt32 i = 0; i < count; ++i) {
            const OvV3d& q = c->points[i].position;
            r.summary.push_back(Format("point %.0f: (%.4f, %.4f, %.4f)", i + 1, q.x, q.y, q.z) +
                                Format(" separation %.6f", c->points[i].separation));
            ok = ok && std::fabs(c->points[i].separation) < 1e-5f && std::fabs(q.y) < 1e-5f;
        }
    }
    r.summary.push_back(Format("largest change of the box's height over the steps: %.3g m", drift));
    ok = ok && drift < 1e-5;
    r.columns = {records, points, sep, height, awake};
    r.plotted = {3};
    r.summary.push_back(
        ok ? "checks: one record of 4 points at the fat distance, normal (0, 1, 0); the box stays: hold"
           : "checks: one record of 4 points at the fat distance, normal (0, 1, 0); the box stays: FAIL");
    r.ok = ok;
    OvpContextRemoveFixedVolume(world.context(), &floor);
    return r;
}

Result Contacts(int steps) {
    Result r;
    r.title = "CONTACT POINTS OF EVERY VOLUME TYPE PAIR ALONG A SWEEP";
    r.quantity = "CONTACT POINTS";
    const float corners[] = {-0.4f, -0.3f, -0.5f, 0.4f, -0.3f, -0.5f, -0.4f, 0.3f, -0.5f, 0.4f, 0.3f, -0.5f,
                             -0.4f, -0.3f, 0.5f,  0.4f, -0.3f, 0.5f,  -0.4f, 0.3f, 0.5f,  0.4f, 0.3f, 0.5f};
    OvpConvexHull* hull = OvpConvexHullCreateFromPoints(8, corners, nullptr, nullptr);
    const char* names[7] = {"plane", "sphere", "capsule", "triangle", "box", "cylinder", "convex"};
    OvpVolume v[7];
    OvpVolumeInit(&v[0], &ovpPlaneVolumeType);
    OvpSphereInit(&v[1], 0.4f);
    OvpVolumeInit(&v[2], &ovpCapsuleVolumeType);
    v[2].data.param[0] = 0.5f;
    v[2].fat = 0.2f;
    OvpVolumeInit(&v[3], &ovpTriangleVolumeType);
    const OvV3d t0 = {-0.6f, 0, -0.4f}, t1 = {0, 0, 0.7f}, t2 = {0.6f, 0, -0.4f};
    OvpTriangleInit(&v[3], t0, t1, t2, 0);
    v[3].fat = 0.01f;
    const float half[3] = {0.4f, 0.3f, 0.5f};
    OvpBoxInit(&v[4], half);
    v[4].fat = 0.01f;
    OvpVolumeInit(&v[5], &ovpCylinderVolumeType);
    v[5].data.param[0] = 0.4f;
    v[5].data.param[1] = 0.3f;
    v[5].fat = 0.02f;
    const int typeCount = hull != nullptr ? 7 : 6;
    if (hull != nullptr) {
        OvpConvexInit(&v[6], hull);
        OvpConvexHullRelease(hull);
        v[6].fat = 0.01f;
    }
    Series total{"points", std::vector<double>(static_cast<std::size_t>(steps), 0.0)};
    const OvQuat tilt = AxisAngle({0.6f, 0.0f, 0.8f}, 0.5f);
    for (int ia = 1; ia < typeCount; ++ia) {
        for (int ib = 0; ib < typeCount; ++ib) {
            const OvMatrix mb = ib == 0 ? FloorMatrix() : Placement({0, 0, 0, 1}, {0, 0, 0});
            int touching = 0, most = 0, points = 0;
            for (int step = 0; step < steps; ++step) {
                const float t = 2.0f - 4.0f * step / static_cast<float>(steps > 1 ? steps - 1 : 1);
                const OvMatrix ma = Placement(tilt, {0.3f * t, t, -0.2f * t});
                OvpVolume moved = v[ia];
                if (ia == 3) {
                    OvpTriangleInit(&moved, OvpAdd(t0, ma.pos), OvpAdd(t1, ma.pos), OvpAdd(t2, ma.pos), 0);
                }
                const OvpCollisionPair pair = {{&moved, &v[ib]}, {ia == 3 ? nullptr : &ma, ib == 3 ? nullptr : &mb}};
                OvpContact set{};
                if (OvpCollideVolumes(&pair, 0.05f, 1.0f, &set)) {
                    ++touching;
                    points += static_cast<int>(set.count);
                    most = std::max(most, static_cast<int>(set.count));
                    total.values[static_cast<std::size_t>(step)] += set.count;
                }
            }
            r.summary.push_back(std::string(names[ia]) + " on " + names[ib] +
                                Format(": touching in %.0f of %.0f steps, %.0f points, at most %.0f a step", touching,
                                       steps, points, most));
            r.ok = r.ok && touching > 0 && most <= 4;
        }
    }
    // The compound types through the pair drivers of a real context: each moving volume as a
    // one-part object against a fixed aggregate, triangle list and grid.
    World world(1, {0.0f, 0.0f, 0.0f});
    OvpPipeline* p = world.ok() ? OvpContextGetPipeline(world.context()) : nullptr;
    OvpAggChildren* pairOfSpheres = OvpAggChildrenCreate(2);
    OvpGridBlock* tiles = OvpGridBlockCreate(3);
    OvpVolume compound[3];
    const char* compoundNames[3] = {"aggregate", "triangle list", "grid"};
    if (p != nullptr && pairOfSpheres != nullptr && tiles != nullptr) {
        for (int c = 0; c < 2; ++c) {
            OvpSphereInit(OvpAggChildrenGetChild(pairOfSpheres, c), 0.3f);
            OvpAggChildrenGetChild(pairOfSpheres, c)->matrix = Placement({0, 0, 0, 1}, {c == 0 ? -0.4f : 0.4f, 0, 0});
        }
        OvpAggChildrenComputeBounds(pairOfSpheres);
        OvpAggregateInit(&compound[0], pairOfSpheres);
        OvpTrilistInit(&compound[1], nullptr, ovpTRILIST_USER);
        OvpVolumeSetTriangleCallback(&compound[1], reinterpret_cast<OvpVolumeCallback>(&TileWalk));
        const float tile[3] = {0.5f, 0.25f, 0.5f};
        for (int c = 0; c < 3; ++c) {
            OvpBoxInit(OvpAggChildrenGetChild(tiles->children, c), tile);
            OvpAggChildrenGetChild(tiles->children, c)->matrix = Placement({0, 0, 0, 1}, {c - 1.0f, -0.25f, 0});
        }
        OvpAggChildrenComputeBounds(tiles->children);
        OvpGridInit(&compound[2], tiles);
        for (int ia = 1; ia < typeCount; ++ia) {
            for (int ib = 0; ib < 3; ++ib) {
                int touching = 0, most = 0, points = 0, records = 0;
                for (int step = 0; step < steps; ++step) {
                    const float t = 2.0f - 4.0f * step / static_cast<float>(steps > 1 ? steps - 1 : 1);
                    OvMatrix ma = Placement(tilt, {0.3f * t, t, -0.2f * t});
                    OvpVolume moved = v[ia];
                    if (ia == 3) {
                        OvpTriangleInit(&moved, OvpAdd(t0, ma.pos), OvpAdd(t1, ma.pos), OvpAdd(t2, ma.pos), 0);
                    }
                    OvpObj body;
                    if (OvpObjInit(&body, 1, 0) == nullptr) {
                        continue;
                    }
                    body.partCount = 1;
                    body.parts[0].volume = &moved;
                    body.parts[0].matrix = &ma;
                    const OvpRefPair pair = {{{reinterpret_cast<OvpObj*>(&compound[ib]), ovpREFNONE, 0}, {&body, 0, 0}},
                                             nullptr};
                    const OvUInt32 n = OvpCollidePairs(p->driver, &pair, 1, p->contacts, p->contactCapacity);
                    touching += n > 0;
                    records += static_cast<int>(n);
                    for (OvUInt32 k = 0; k < n; ++k) {
                        points += static_cast<int>(p->contacts[k].count);
                        most = std::max(most, static_cast<int>(p->contacts[k].count));
                        total.values[static_cast<std::size_t>(step)] += p->contacts[k].count;
                    }
                    OvpObjDeinit(&body);
                }
                r.summary.push_back(std::string(names[ia]) + " on " + compoundNames[ib] +
                                    Format(": touching in %.0f of %.0f steps, %.0f points in %.0f records", touching,
                                           steps, points, records) +
                                    Format(", at most %.0f in a record", most));
                r.ok = r.ok && touching > 0 && most <= 4;
            }
        }
        for (OvpVolume& c : compound) {
            OvpVolumeDeinit(&c);
        }
    } else {
        r.summary.push_back("compound types: the scene could not be set up");
        r.ok = false;
    }
    OvpAggChildrenRelease(pairOfSpheres);
    OvpGridBlockRelease(tiles);
    for (int step = 0; step < steps; ++step) {
        r.time.push_back(0.01 * step); // the sweep runs at 0.01 s a step
    }
    r.columns = {total};
    r.plotted = {0};
    if (typeCount == 7) {
        OvpVolumeDeinit(&v[6]);
    }
    return r;
}

} // namespace physics_sim
