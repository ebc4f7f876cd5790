// Pair drivers end to end: the step's collision stages over a scene with bodies of every
// volume type against each other and against fixed volumes, checked against analytic records;
// the part-pair filter, sensors, and full queues and record arrays.

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <vector>

#include "physics/core/collision/drivers.h"
#include "physics/core/collision/triangle.h"
#include "physics/core/utils/memory.h"
#include "physics/core/volume/aggregate.h"
#include "physics/qhull/convex_hull.h"
#include "physics/tests/physics_test.h"
#include "testing/physics_placement.h"

namespace {

constexpr OvQuat kNone = {0, 0, 0, 1};

OvMatrix FloorMatrix() {
    OvMatrix m = Placement(kNone, {0, 0, 0});
    m.up = {0, 0, -1};
    m.at = {0, 1, 0};
    return m;
}

// A shelf of triangles at y = 3 over x in [38, 42], z in [-2, 2], cut into n x n squares.
struct Shelf {
    static int& Cells() {
        static int n = 2;
        return n;
    }
    static void Walk(const OvpVolume*, const OvMatrix*, const OvpBBox* box, void*, OvpTriangleBuffer* buffer) {
        buffer->count = 0;
        buffer->flags = 0;
        const int n = Cells();
        const float step = 4.0f / n;
        OvUInt32 index = 0;
        for (int i = 0; i < n; ++i) {
            for (int j = 0; j < n; ++j, index += 2) {
                const float x = 38.0f + i * step, z = -2.0f + j * step;
                if (x > box->sup.x || x + step < box->inf.x || z > box->sup.z || z + step < box->inf.z ||
                    box->inf.y > 3.0f || box->sup.y < 3.0f) {
                    continue;
                }
                const OvV3d p00 = {x, 3, z}, p10 = {x + step, 3, z}, p01 = {x, 3, z + step},
                            p11 = {x + step, 3, z + step};
                OvpTriangleBufferAppend(buffer, p00, p11, p10, nullptr, index, 0);
                OvpTriangleBufferAppend(buffer, p00, p01, p11, nullptr, index + 1, 0);
            }
        }
    }
};

// Two triangles covering x and z in [-50, 50] at y = 0.
void BigFloorWalk(const OvpVolume*, const OvMatrix*, const OvpBBox*, void*, OvpTriangleBuffer* buffer) {
    buffer->count = 0;
    buffer->flags = 0;
    const OvV3d a = {-50, 0, -50}, b = {50, 0, -50}, c = {50, 0, 50}, d = {-50, 0, 50};
    OvpTriangleBufferAppend(buffer, a, c, b, nullptr, 0, 0);
    OvpTriangleBufferAppend(buffer, a, d, c, nullptr, 1, 0);
}

// Runs the collision stages of one step (no solve) and returns the records.
std::vector<OvpContact> Collide(TestWorld& w) {
    w.RunCollisionStages();
    return {w.pipeline->contacts, w.pipeline->contacts + w.pipeline->contactCount};
}

// The records between a and b (either order), each with its normal turned to point from b to a.
std::vector<OvpContact> Between(const std::vector<OvpContact>& all, const void* a, const void* b) {
    std::vector<OvpContact> out;
    for (OvpContact c : all) {
        if (c.ref[0].object == a && c.ref[1].object == b) {
            out.push_back(c);
        } else if (c.ref[0].object == b && c.ref[1].object == a) {
            c.normal = OvpScale(c.normal, -1.0f);
            out.push_back(c);
        }
    }
    return out;
}

// A rotation about any (not yet unit) axis.
OvQuat Turn(OvV3d axis, float angle) {
    OvpMathVec3Normalize(&axis, &axis);
    return AxisAngle(axis, angle);
}

void ExpectNormal(const OvpContact& c, const OvV3d& n, const char* what) {
    EXPECT_NEAR(c.normal.x, n.x, 1e-4f) << what;
    EXPECT_NEAR(c.normal.y, n.y, 1e-4f) << what;
    EXPECT_NEAR(c.normal.z, n.z, 1e-4f) << what;
}

void ExpectSeparations(const OvpContact& c, float s, const char* what) {
    for (OvUInt32 i = 0; i < c.count; ++i) {
        EXPECT_NEAR(c.points[i].separation, s, 2e-4f) << what << " point " << i;
    }
}

} // namespace

TEST(PhysicsDrivers, StepMakesTheRecordsOfEveryPairType) {
    TestWorld w(16);
    OvpVolume floor;
    OvpVolumeInit(&floor, &ovpPlaneVolumeType);
    floor.matrix = FloorMatrix();
    floor.friction = 0.9f;
    OvpVolume* shelf = OvpTrilistCreate(nullptr, ovpTRILIST_USER);
    OvpVolumeSetTriangleCallback(shelf, reinterpret_cast<OvpVolumeCallback>(&Shelf::Walk));
    // A grid of three tiles (boxes of half extent 0.5) along x, their tops at y = 2.
    OvpGridBlock* tiles = OvpGridBlockCreate(3);
    for (int i = 0; i < 3; ++i) {
        const float tile[3] = {0.5f, 0.5f, 0.5f};
        OvpBoxInit(OvpAggChildrenGetChild(tiles->children, i), tile);
        OvpAggChildrenGetChild(tiles->children, i)->matrix = Placement(kNone, {i - 1.0f, -0.5f, 0});
    }
    ASSERT_TRUE(OvpAggChildrenComputeBounds(tiles->children));
    OvpVolume grid;
    OvpGridInit(&grid, tiles);
    OvpGridBlockRelease(tiles);
    grid.matrix = Placement(kNone, {90, 2, 0});
    ASSERT_TRUE(OvpContextAddFixedVolume(w.context, &floor, 0));
    ASSERT_TRUE(OvpContextAddFixedVolume(w.context, shelf, 0));
    ASSERT_TRUE(OvpContextAddFixedVolume(w.context, &grid, 0));

    const float half[3] = {0.5f, 0.5f, 0.5f};
    // A box 0.02 into the floor (its fat 0.001 on top of the half extent). (Spheres on spheres
    // and the floor, boxes on boxes and capsules are the narrow phase's tests.)
    OvpObj* box = w.Box(half, {10, 0.481f, 0});
    box->parts[0].volume->fat = 0.001f;
    box->parts[0].volume->restitution = 0.1f;
    OvpObjUpdateBounds(box);
    // A sphere 0.01 into the shelf.
    OvpObj* onShelf = w.Sphere({40.3f, 3.49f, 0.2f});
    // Two spheres of one body (an aggregate) on the floor, each 0.005 deep.
    OvpAggChildren* list = OvpAggChildrenCreate(2);
    OvpSphereInit(OvpAggChildrenGetChild(list, 0), 0.3f);
    OvpSphereInit(OvpAggChildrenGetChild(list, 1), 0.3f);
    for (int i = 0; i < 2; ++i) {
        OvpAggChildrenGetChild(list, i)->matrix = Placement(kNone, {i == 0 ? -0.5f : 0.5f, 0, 0});
    }
    ASSERT_TRUE(OvpAggChildrenComputeBounds(list));
    OvpBodyDef* def = OvpBodyDefCreate();
    OvpAggregateInit(def->volume, list);
    OvpAggChildrenRelease(list);
    OvpDynDefSetMassFromVolume(&def->dynDef, 1.0f, 1);
    OvpObj* pair = w.Add(def, {60, 0.295f, 0});
    // A sensor sphere inside a box: no record, a touch entry with no record.
    OvpObj* sensor = w.Sphere({70, 5, 0});
    sensor->flags |= ovpOBJ_NOCONTACTS | ovpOBJ_TOUCHES;
    OvpObj* sensed = w.Box(half, {70.2f, 5, 0});
    // A sphere on one tile; a box across the seam of two tiles, 0.01 deep.
    OvpObj* onTile = w.Sphere({88.8f, 2.49f, 0.1f});
    OvpObj* acrossTiles = w.Box(half, {90.5f, 2.49f, 0});
    // A reporting box on the floor: records as usual, each also on its touch chain.
    OvpObj* reporter = w.Box(half, {80, 0.49f, 0});
    reporter->flags |= ovpOBJ_TOUCHES;

    const std::vector<OvpContact> all = Collide(w);

    auto one = [&](const void* a, const void* b, const char* what) {
        const std::vector<OvpContact> r = Between(all, a, b);
        EXPECT_EQ(r.size(), 1u) << what;
        return r.empty() ? OvpContact{} : r[0];
    };
    OvpContact c = one(box, &floor, "box on floor");
    EXPECT_EQ(c.count, 4u);
    EXPECT_FLOAT_EQ(c.friction, 0.2f);
    ExpectNormal(c, {0, 1, 0}, "box on floor");
    ExpectSeparations(c, -0.02f, "box on floor");
    EXPECT_FLOAT_EQ(c.restitution, 0.1f);
    EXPECT_EQ(c.kind[0] + c.kind[1], 4) << "face on face";
    for (OvUInt32 i = 0; i < c.count; ++i) {
        EXPECT_NEAR(std::fabs(c.points[i].position.x - 10.0f), 0.5f, 1e-4f);
        EXPECT_NEAR(std::fabs(c.points[i].position.z), 0.5f, 1e-4f);
    }

    c = one(onShelf, shelf, "sphere on shelf");
    EXPECT_EQ(c.count, 1u);
    ExpectNormal(c, {0, 1, 0}, "sphere on shelf");
    ExpectSeparations(c, -0.01f, "sphere on shelf");
    EXPECT_TRUE(Between(all, onShelf, &floor).empty());

    // The two children touch the floor in one plane: one merged record of two points, each
    // point keeping the identity word of its child.
    c = one(pair, &floor, "aggregate on floor");
    EXPECT_EQ(c.count, 2u);
    ExpectNormal(c, {0, 1, 0}, "aggregate on floor");
    ExpectSeparations(c, -0.005f, "aggregate on floor");
    if (c.count == 2) {
        const int side = c.ref[0].object == pair ? 0 : 1;
        EXPECT_NE(c.points[0].identity[side], c.points[1].identity[side]);
        EXPECT_EQ(c.points[0].identity[side] + c.points[1].identity[side], 1u + 2u);
    }

    c = one(onTile, &grid, "sphere on tile");
    EXPECT_EQ(c.count, 1u);
    ExpectNormal(c, {0, 1, 0}, "sphere on tile");
    ExpectSeparations(c, -0.01f, "sphere on tile");
    EXPECT_EQ(c.points[0].identity[c.ref[0].object == onTile ? 1 : 0], 1u) << "the first tile";
    // The two tiles' contacts lie in one plane: merged into one record of four points.
    c = one(acrossTiles, &grid, "box across tiles");
    EXPECT_EQ(c.count, 4u);
    ExpectNormal(c, {0, 1, 0}, "box across tiles");
    ExpectSeparations(c, -0.01f, "box across tiles");

    EXPECT_TRUE(Between(all, sensor, sensed).empty()) << "a sensor makes no record";
    ASSERT_NE(sensor->touchHead, nullptr);
    EXPECT_EQ(sensor->touchHead->other, sensed);
    EXPECT_EQ(sensor->touchHead->record, nullptr);
    EXPECT_EQ(sensor->touchHead->next, nullptr);
    EXPECT_EQ(sensed->touchHead, nullptr);

    c = one(reporter, &floor, "reporter on floor");
    ASSERT_NE(reporter->touchHead, nullptr);
    EXPECT_EQ(reporter->touchHead->other, reinterpret_cast<OvpObj*>(&floor));
    EXPECT_EQ(reporter->touchHead->otherPart, ovpREFNONE);
    ASSERT_NE(reporter->touchHead->record, nullptr);
    EXPECT_EQ(reporter->touchHead->record->count, 4u);

    // Every record is sound: unit normal, at most four points within the threshold, its
    // solver block kept, and the ends of the expected pairs only.
    EXPECT_EQ(all.size(), 6u);
    for (const OvpContact& r : all) {
        EXPECT_NEAR(OvpDot(r.normal, r.normal), 1.0f, 1e-4f);
        EXPECT_GE(r.count, 1u);
        EXPECT_LE(r.count, 4u);
        EXPECT_NE(r.solved, nullptr);
        for (OvUInt32 i = 0; i < r.count; ++i) {
            EXPECT_LE(r.points[i].separation, 0.01f + 1e-6f);
        }
    }
    // The next step's collision stage empties the touch chains before refilling them.
    Collide(w);
    ASSERT_NE(sensor->touchHead, nullptr);
    EXPECT_EQ(sensor->touchHead->next, nullptr);
    OvpContextRemoveFixedVolume(w.context, shelf);
    OvpContextRemoveFixedVolume(w.context, &floor);
    OvpContextRemoveFixedVolume(w.context, &grid);
    OvpVolumeDestroy(shelf);
    OvpVolumeDeinit(&grid);
}

namespace {

// A collision workspace of the given queue and gathering sizes, outside any pipeline.
struct Driver {
    std::vector<unsigned char> block;
    OvpCollisionDriver* d = nullptr;
    Driver(OvUInt32 tasks, OvUInt32 gathered = 200, OvUInt32 triangles = 200) {
        OvpContextParams params;
        OvpContextParamsSetDefaults(&params);
        params.word[ovpPARAM_TASKS] = tasks;
        params.word[ovpPARAM_GATHER] = gathered;
        params.word[ovpPARAM_TRIANGLES] = triangles;
        OvpCarver size{nullptr};
        OvpCollisionDriverCarve(&size, &params);
        block.resize(size.used + 16);
        auto base = reinterpret_cast<std::uintptr_t>(block.data());
        OvpCarver real{reinterpret_cast<unsigned char*>((base + 15) & ~std::uintptr_t(15))};
        d = OvpCollisionDriverCarve(&real, &params);
        OvpCollisionDriverSetup(d, 1.0f, 0.01f, nullptr, nullptr, nullptr, 0);
    }
};

// An object outside any manager whose parts are the given volumes at the given placements.
struct LooseObject {
    OvpObj o;
    std::vector<OvMatrix> at;
    LooseObject(std::vector<OvpVolume*> volumes, std::vector<OvMatrix> placements) : at(std::move(placements)) {
        OvpObjInit(&o, static_cast<OvUInt16>(volumes.size()), 0);
        o.partCount = static_cast<OvUInt16>(volumes.size());
        for (std::size_t k = 0; k < volumes.size(); ++k) {
            o.parts[k].volume = volumes[k];
            o.parts[k].matrix = &at[k];
        }
    }
    ~LooseObject() { OvpObjDeinit(&o); }
};

std::vector<OvpContact> Records(OvUInt32 capacity) {
    std::vector<OvpContact> r(capacity);
    std::vector<float> blocks(16 * capacity);
    for (OvUInt32 i = 0; i < capacity; ++i) {
        r[i].solved = &blocks[16 * i]; // only compared, never read
    }
    return r;
}

} // namespace

TEST(PhysicsDrivers, FullQueuesAndRecordArraysEndTheWalkCleanly) {
    // A box sunk 0.005 into a shelf of 128 small triangles: dozens of part pairs against a
    // queue of 1 to 12 tasks and 1 to 6 records. Every run ends, fills at most its records,
    // and every record is a face contact under the box; with room enough the pieces merge
    // into one record of the four corners.
    Shelf::Cells() = 8;
    OvpVolume* shelf = OvpTrilistCreate(nullptr, ovpTRILIST_USER);
    OvpVolumeSetTriangleCallback(shelf, reinterpret_cast<OvpVolumeCallback>(&Shelf::Walk));
    const float half[3] = {0.5f, 0.5f, 0.5f};
    OvpVolume box;
    OvpBoxInit(&box, half);
    LooseObject body({&box}, {Placement(AxisAngle({0, 1, 0}, 0.3f), {40.1f, 3.495f, 0.2f})});
    const OvpRefPair pair = {{{reinterpret_cast<OvpObj*>(shelf), ovpREFNONE, 0}, {&body.o, 0, 0}}, nullptr};
    for (OvUInt32 tasks = 1; tasks <= 12; ++tasks) {
        for (OvUInt32 capacity = 1; capacity <= 6; ++capacity) {
            Driver drv(tasks);
            std::vector<OvpContact> out = Records(capacity);
            const OvUInt32 n = OvpCollidePairs(drv.d, &pair, 1, out.data(), capacity);
            ASSERT_GE(n, 1u) << tasks << " tasks, " << capacity << " records";
            ASSERT_LE(n, capacity);
            for (OvUInt32 i = 0; i < n; ++i) {
                EXPECT_EQ(out[i].ref[1].object, &body.o);
                EXPECT_NEAR(out[i].normal.y, -1.0f, 1e-5f) << "from the box down to the shelf";
                for (OvUInt32 k = 0; k < out[i].count; ++k) {
                    EXPECT_NEAR(out[i].points[k].separation, -0.005f, 1e-4f);
                    EXPECT_NEAR(out[i].points[k].position.y, 2.9975f, 1e-4f) << "midway into the overlap";
                }
            }
        }
    }
    Driver roomy(100);
    std::vector<OvpContact> out = Records(4);
    ASSERT_EQ(OvpCollidePairs(roomy.d, &pair, 1, out.data(), 4), 1u);
    EXPECT_EQ(out[0].count, 4u);
    // Too few gathering slots: the pair still ends, with what was gathered.
    Driver cramped(100, 200, 5);
    EXPECT_LE(OvpCollidePairs(cramped.d, &pair, 1, out.data(), 4), 4u);
    Shelf::Cells() = 2;
    OvpVolumeDestroy(shelf);
}

TEST(PhysicsDrivers, PartPairFilterHonoursSelfPairsExclusionAndGroups) {
    // Three overlapping spheres of one object against each other: every pair of different
    // parts once, minus the excluded ones; groups excluded by the group matrix make nothing.
    OvpVolume s[3];
    for (OvpVolume& v : s) {
        OvpSphereInit(&v, 0.5f);
    }
    LooseObject chain({&s[0], &s[1], &s[2]},
                      {Placement(kNone, {0, 0, 0}), Placement(kNone, {0.8f, 0, 0}), Placement(kNone, {0.4f, 0.5f, 0})});
    struct Case {
        OvUInt32 excluded; // bits (b + a x 4) of the part-exclusion matrix
        bool groups;       // put parts 1 and 2 in excluded groups
        int records;
    } cases[] = {{0, false, 3},
                 {1u << (2 + 0 * 4), false, 2},
                 {1u << (1 + 0 * 4) | 1u << (2 + 1 * 4), false, 1},
                 {0, true, 2},
                 {1u << (2 + 0 * 4), true, 1}};
    for (const Case& c : cases) {
        const OvUInt32 exclusion[4] = {0, 4, 0, c.excluded};
        const OvUInt32 groupMatrix[4] = {0, 4, 0, 1u << (2 + 1 * 4)};
        s[1].group = c.groups ? 1 : 0;
        s[2].group = c.groups ? 2 : 0;
        Driver drv(10);
        drv.d->groupMatrix = groupMatrix;
        const OvpRefPair self = {{{&chain.o, ovpREFWHOLE, 0}, {&chain.o, ovpREFWHOLE, 0}}, exclusion};
        std::vector<OvpContact> out = Records(8);
        const OvUInt32 n = OvpCollidePairs(drv.d, &self, 1, out.data(), 8);
        EXPECT_EQ(static_cast<int>(n), c.records) << "exclusion " << c.excluded << " groups " << c.groups;
        for (OvUInt32 i = 0; i < n; ++i) {
            EXPECT_LT(out[i].ref[0].part, out[i].ref[1].part);
            EXPECT_TRUE(out[i].ref[1].part != 2 || out[i].ref[0].part != 0 || (c.excluded & 4u) == 0);
            EXPECT_EQ(out[i].count, 1u);
        }
    }
}

TEST(PhysicsDrivers, GridBlockIsSharedAndCachesItsBounds) {
    CountingMemory memory;
    OvpGridBlock* block = OvpGridBlockCreate(2);
    ASSERT_NE(block, nullptr);
    const float h[3] = {1.0f, 0.25f, 1.0f};
    OvpBoxInit(OvpAggChildrenGetChild(block->children, 0), h);
    OvpSphereInit(OvpAggChildrenGetChild(block->children, 1), 0.5f);
    OvpAggChildrenGetChild(block->children, 1)->matrix = Placement(kNone, {3, 0, 0});
    ASSERT_TRUE(OvpAggChildrenComputeBounds(block->children));
    OvpVolume a, b;
    OvpGridInit(&a, block);
    OvpGridInit(&b, block);
    OvpGridBlockRelease(block);
    EXPECT_EQ(OvpGridGetNumVolumes(&a), 2);
    EXPECT_EQ(OvpGridGetVolume(&b, 1)->type, &ovpSphereVolumeType);
    EXPECT_EQ(OvpGridGetVolume(&b, 2), nullptr);
    OvpBBox box;
    ASSERT_NE(a.type->boundingBox(&a, nullptr, 0, &box), nullptr);
    EXPECT_FLOAT_EQ(box.sup.x, 3.5f);
    EXPECT_FLOAT_EQ(box.inf.y, -0.5f);
    EXPECT_FLOAT_EQ(a.type->thickness(&a), 0.5f) << "the box's thinnest extent";
    // Children near a box in the grid's frame.
    OvInt32 listed[4];
    const OvpBBox right = {{3.1f, 0.1f, 0.1f}, 0, {2.9f, -0.1f, -0.1f}, 0};
    ASSERT_EQ(OvpGridQueryChildren(&a, &right, listed, 4), 1);
    EXPECT_EQ(listed[0], 1);
    const int live = memory.live();
    OvpVolumeDeinit(&a);
    EXPECT_EQ(memory.live(), live) << "the second grid still holds the block";
    OvpVolumeDeinit(&b);
    EXPECT_EQ(memory.live(), 0);
    for (int fail = 0; fail < 3; ++fail) {
        CountingMemory failing(fail);
        EXPECT_EQ(OvpGridBlockCreate(2), nullptr) << "allocation " << fail << " failed";
        EXPECT_EQ(failing.live(), 0);
    }
}

TEST(PhysicsDrivers, RandomSpheresGetExactlyTheRecordsOfTheirOverlaps) {
    // Seeded heaps of spheres over the floor, some sharing a centre: the step makes one record
    // for every pair (and every sphere on the floor) closer than the threshold and no other,
    // each with the analytic normal, separation and mid-plane point.
    std::mt19937 rng(7);
    std::uniform_real_distribution<float> u(0.0f, 1.0f);
    for (int heap = 0; heap < 6; ++heap) {
        TestWorld w(30);
        OvpVolume floor;
        OvpVolumeInit(&floor, &ovpPlaneVolumeType);
        floor.matrix = FloorMatrix();
        ASSERT_TRUE(OvpContextAddFixedVolume(w.context, &floor, 0));
        std::vector<OvpObj*> balls;
        std::vector<OvV3d> at;
        std::vector<float> radius;
        for (int i = 0; i < 30; ++i) {
            OvV3d p = {4 * u(rng), 0.1f + 2 * u(rng), 4 * u(rng)};
            if (i % 10 == 9) {
                p = at[static_cast<std::size_t>(i) - 1]; // coincident centres
            }
            const float r = 0.2f + 0.3f * u(rng);
            OvpBodyDef* def = OvpBodyDefCreate();
            OvpSphereInit(def->volume, r);
            OvpDynDefSetMassFromVolume(&def->dynDef, 1.0f, 1);
            balls.push_back(w.Add(def, p));
            at.push_back(p);
            radius.push_back(r);
        }
        const std::vector<OvpContact> all = Collide(w);
        const float threshold = w.pipeline->driver->threshold;
        std::size_t expected = 0;
        for (std::size_t i = 0; i < balls.size(); ++i) {
            for (std::size_t j = i; j < balls.size(); ++j) {
                const bool onFloor = i == j;
                const OvV3d d = onFloor ? OvV3d{0, at[i].y, 0} : OvpSub(at[i], at[j]);
                const float dist = std::sqrt(OvpDot(d, d));
                const float sep = dist - radius[i] - (onFloor ? 0.0f : radius[j]);
                const std::vector<OvpContact> r =
                    Between(all, balls[i], onFloor ? static_cast<const void*>(&floor) : balls[j]);
                if (std::fabs(sep - threshold) < 1e-4f) {
                    continue; // too close to the threshold to call
                }
                if (sep >= threshold) {
                    EXPECT_TRUE(r.empty()) << heap << ": " << i << "-" << j << " apart by " << sep;
                    continue;
                }
                ++expected;
                ASSERT_EQ(r.size(), 1u) << heap << ": " << i << "-" << j << " separation " << sep;
                ASSERT_EQ(r[0].count, 1u);
                EXPECT_NEAR(r[0].points[0].separation, sep, 1e-4f);
                const OvV3d n = dist > 0.0f ? OvpScale(d, 1.0f / dist) : OvV3d{0, 0, 1};
                if (dist > 0.0f) {
                    ExpectNormal(r[0], n, "centre line");
                }
                // The point lies midway between the two surfaces along the normal.
                const float along = OvpDot(r[0].normal, OvpSub(r[0].points[0].position, at[i]));
                EXPECT_NEAR(along, -radius[i] + 0.5f * -sep, 1e-3f) << heap << ": " << i << "-" << j;
            }
        }
        EXPECT_GE(all.size(), expected);
        EXPECT_LE(all.size(), expected + 2) << "only borderline pairs may be added";
        EXPECT_GT(expected, 5u);
        OvpContextRemoveFixedVolume(w.context, &floor);
    }
}

TEST(PhysicsDrivers, DegenerateTrianglesAndFlatBoxesGiveSoundRecords) {
    // A list of triangles collapsed to segments and points between sound ones, under a box 0.005
    // deep, a box of no thickness 0.002 below and a sphere 0.01 deep: the collapsed ones are
    // passed over and every record is a face contact of the sound ones.
    struct Bad {
        static void Walk(const OvpVolume*, const OvMatrix*, const OvpBBox*, void*, OvpTriangleBuffer* buffer) {
            buffer->count = 0;
            buffer->flags = 0;
            const OvV3d a = {-2, 0, -2}, b = {2, 0, -2}, c = {2, 0, 2}, d = {-2, 0, 2}, o = {0, 0, 0};
            OvpTriangleBufferAppend(buffer, a, c, b, nullptr, 0, 0);
            OvpTriangleBufferAppend(buffer, a, o, c, nullptr, 1, 0); // a segment
            OvpTriangleBufferAppend(buffer, o, o, o, nullptr, 2, 0); // a point
            OvpTriangleBufferAppend(buffer, a, d, c, nullptr, 3, 0);
            OvpTriangleBufferAppend(buffer, d, d, a, nullptr, 4, ovpTRIANGLE_ALLEDGES);
        }
    };
    OvpVolume* list = OvpTrilistCreate(nullptr, ovpTRILIST_USER);
    OvpVolumeSetTriangleCallback(list, reinterpret_cast<OvpVolumeCallback>(&Bad::Walk));
    const float cube[3] = {0.5f, 0.5f, 0.5f}, sheet[3] = {0.5f, 0.0f, 0.5f};
    OvpVolume box, flat, ball;
    OvpBoxInit(&box, cube);
    OvpBoxInit(&flat, sheet);
    OvpSphereInit(&ball, 0.3f);
    for (int k = 0; k < 3; ++k) {
        const OvpVolume* v = k == 0 ? &box : k == 1 ? &flat : &ball;
        const float lift = k == 0 ? 0.495f : k == 1 ? -0.002f : 0.29f;
        const float expected = k == 0 ? -0.005f : k == 1 ? 0.002f : -0.01f;
        for (int turn = 0; turn < 8; ++turn) {
            LooseObject body({const_cast<OvpVolume*>(v)},
                             {Placement(AxisAngle({0, 1, 0}, 0.4f * turn), {-1.0f + 0.3f * turn, lift, 0.1f})});
            const OvpRefPair pair = {{{&body.o, 0, 0}, {reinterpret_cast<OvpObj*>(list), ovpREFNONE, 0}}, nullptr};
            Driver drv(20);
            std::vector<OvpContact> out = Records(6);
            const OvUInt32 n = OvpCollidePairs(drv.d, &pair, 1, out.data(), 6);
            EXPECT_GE(n, 1u) << k << " turn " << turn;
            for (OvUInt32 i = 0; i < n; ++i) {
                EXPECT_NEAR(std::fabs(out[i].normal.y), 1.0f, 1e-5f) << k << " turn " << turn;
                EXPECT_LE(out[i].count, 4u);
                for (OvUInt32 p = 0; p < out[i].count; ++p) {
                    EXPECT_NEAR(out[i].points[p].separation, expected, 1e-4f) << k << " turn " << turn;
                }
            }
        }
    }
    OvpVolumeDestroy(list);
}

TEST(PhysicsDrivers, FixedVolumesInExcludedGroupsMakeNoPairs) {
    TestWorld w(2);
    OvpVolume floor;
    OvpVolumeInit(&floor, &ovpPlaneVolumeType);
    floor.matrix = FloorMatrix();
    floor.group = 1;
    ASSERT_TRUE(OvpContextAddFixedVolume(w.context, &floor, 0));
    OvpObj* ball = w.Sphere({0, 0.5f, 0});
    const OvUInt32 excluded[4] = {0, 2, 0, 1u << (1 + 0 * 2)}; // row: object group 0, column: volume group 1
    for (int k = 0; k < 3; ++k) {
        w.manager->farfield->groupMatrix = k == 1 ? excluded : nullptr;
        floor.group = k == 2 ? 0 : 1;
        w.pipeline->pairCount = 0;
        OvpObj* list[1] = {ball};
        EXPECT_EQ(OvpFixedVolumePairs(w.context, list, 1, w.manager->farfield->groupMatrix), k == 1 ? 0u : 1u) << k;
    }
    w.manager->farfield->groupMatrix = nullptr;
    OvpContextRemoveFixedVolume(w.context, &floor);
}

namespace {

// A graphics source as the graphics side would hand it over: a bounding box and sphere, and
// one big triangle at y = 0 in its own model space.
struct FakeSource {
    OvpBBox box = {{2, 1, 3}, 0, {-2, -1, -1}, 0};
    OvSphere sphere = {{1, 2, 3}, 4};
};
OvpBBox* SourceBox(const void* s, OvpBBox* out) { return &(*out = static_cast<const FakeSource*>(s)->box); }
OvSphere* SourceSphere(const void* s, OvSphere* out) { return &(*out = static_cast<const FakeSource*>(s)->sphere); }
void SourceWalk(const OvpVolume*, const OvMatrix*, const OvpBBox*, void*, OvpTriangleBuffer* buffer) {
    OvpTriangleBufferAppend(buffer, {-9, 0, -9}, {0, 0, 9}, {9, 0, -9}, nullptr, 0);
    buffer->flags = ovpTRIANGLES_MODELSPACE;
}

} // namespace

TEST(PhysicsDrivers, GraphicsSourceKindsAreBoundedAndWalkedThroughTheirHandlers) {
    FakeSource source;
    const OvpTrilistSource handlers = {SourceBox, SourceSphere, SourceWalk};
    OvpVolume world, atomic, geometry, bare;
    OvpTrilistInit(&world, &source, ovpTRILIST_WORLD);
    OvpTrilistInit(&atomic, &source, ovpTRILIST_ATOMIC);
    OvpTrilistInit(&geometry, &source, ovpTRILIST_GEOMETRY);
    OvpTrilistInit(&bare, &source, ovpTRILIST_SECTOR);
    for (OvpVolume* v : {&world, &atomic, &geometry, &bare}) {
        v->fat = 0.5f;
    }
    for (OvUInt32 kind : {ovpTRILIST_WORLD, ovpTRILIST_ATOMIC, ovpTRILIST_GEOMETRY}) {
        OvpTrilistSetSource(kind, &handlers);
    }
    const OvMatrix shift = Placement(kNone, {10, 0, 0});
    OvpBBox box;
    OvSphere sphere;
    world.type->boundingBox(&world, &shift, 0, &box);
    EXPECT_FLOAT_EQ(box.sup.x, 12.0f);
    EXPECT_FLOAT_EQ(box.inf.z, -1.0f);
    world.type->boundingSphere(&world, &sphere);
    EXPECT_FLOAT_EQ(sphere.radius, 3.0f + 0.5f) << "round the box, plus the fat";
    atomic.type->boundingBox(&atomic, &shift, 0, &box);
    EXPECT_FLOAT_EQ(box.sup.x, 1 + 10 + 4.5f);
    EXPECT_FLOAT_EQ(box.inf.y, 2 - 4.5f);
    EXPECT_FLOAT_EQ(atomic.type->thickness(&atomic), 2.0f) << "(radius with fat - fat) / 2";
    float lo, hi;
    const OvV3d up = {0, 1, 0};
    atomic.type->interval(&atomic, &up, &lo, &hi);
    EXPECT_FLOAT_EQ(lo, 2 - 4.5f);
    EXPECT_FLOAT_EQ(hi, 2 + 4.5f);
    bare.type->boundingSphere(&bare, &sphere);
    EXPECT_EQ(sphere.radius, FLT_MAX) << "a kind without handlers is unbounded";

    // The geometry's model-space triangle, placed 5 up by the volume's matrix, under a sphere
    // 0.01 deep; the walk ends with the sphere's record.
    geometry.fat = 0.0f;
    geometry.matrix = Placement(kNone, {0, 5, 0});
    OvpVolume ball;
    OvpSphereInit(&ball, 0.5f);
    LooseObject body({&ball}, {Placement(kNone, {0.5f, 5.49f, 0})});
    const OvpRefPair pair = {{{reinterpret_cast<OvpObj*>(&geometry), ovpREFNONE, 0}, {&body.o, 0, 0}}, nullptr};
    Driver drv(8);
    std::vector<OvpContact> out = Records(2);
    ASSERT_EQ(OvpCollidePairs(drv.d, &pair, 1, out.data(), 2), 1u);
    ExpectNormal(out[0], {0, -1, 0}, "from the ball to the placed triangle");
    ExpectSeparations(out[0], -0.01f, "ball on placed triangle");

    for (OvUInt32 kind : {ovpTRILIST_WORLD, ovpTRILIST_ATOMIC, ovpTRILIST_GEOMETRY}) {
        OvpTrilistSetSource(kind, nullptr);
    }
    OvpVolumeDeinit(&world);
    EXPECT_EQ(world.data.ref[0], nullptr);
    EXPECT_FLOAT_EQ(source.sphere.radius, 4.0f) << "the source stays the caller's";
}

TEST(PhysicsDrivers, BodiesComeToRestOnEveryKindOfFloorThroughTheWholeStep) {
    // The drivers' records through the solver: a box dropped flat from 0.1 m and a sphere from
    // 0.5 m settle on a plane, on a two-triangle list and on a grid tile, and fall asleep.
    for (int kind = 0; kind < 3; ++kind) {
        TestWorld w(2, 0, 0, {0.0f, -10.0f, 0.0f});
        OvpVolume plane, grid;
        OvpVolume* list = nullptr;
        OvpVolume* floor = &plane;
        if (kind == 0) {
            OvpVolumeInit(&plane, &ovpPlaneVolumeType);
            plane.matrix = FloorMatrix();
        } else if (kind == 1) {
            list = OvpTrilistCreate(nullptr, ovpTRILIST_USER);
            OvpVolumeSetTriangleCallback(list, reinterpret_cast<OvpVolumeCallback>(&BigFloorWalk));
            floor = list;
        } else {
            OvpGridBlock* block = OvpGridBlockCreate(1);
            const float slab[3] = {50.0f, 0.5f, 50.0f};
            OvpBoxInit(OvpAggChildrenGetChild(block->children, 0), slab);
            OvpAggChildrenGetChild(block->children, 0)->matrix = Placement(kNone, {0, -0.5f, 0});
            OvpAggChildrenComputeBounds(block->children);
            OvpGridInit(&grid, block);
            OvpGridBlockRelease(block);
            floor = &grid;
        }
        ASSERT_TRUE(OvpContextAddFixedVolume(w.context, floor, 0));
        const float half[3] = {0.5f, 0.5f, 0.5f};
        OvpObj* box = w.Box(half, {0, 0.6f, 0});
        OvpObj* ball = w.Sphere({3, 1.0f, 0});
        float asleep = -1.0f;
        for (int n = 1; n <= 400 && asleep < 0.0f; ++n) {
            ASSERT_NE(OvpPipelineStep(w.pipeline, 0.01f), nullptr);
            for (OvpObj* b : {box, ball}) {
                if (b->parts[0].dyn != nullptr) {
                    b->type->updateFrames(b);
                }
            }
            if (!w.Awake(box) && !w.Awake(ball)) {
                asleep = n * 0.01f;
            }
        }
        // Asleep bodies may have handed their dynamics back: their frames hold the placement.
        const OvMatrix& boxAt = *box->parts[0].matrix;
        EXPECT_GT(asleep, 0.0f) << "floor " << kind;
        // A point still apart stops the approach without closing the gap: a falling body comes
        // to rest where its contact was first found, at most the contact threshold (0.01) above.
        for (float y : {boxAt.pos.y, ball->parts[0].matrix->pos.y}) {
            EXPECT_GT(y, 0.495f) << "floor " << kind;
            EXPECT_LT(y, 0.5f + 0.0101f) << "floor " << kind;
        }
        EXPECT_NEAR(boxAt.pos.x, 0.0f, 0.001f) << "floor " << kind;
        EXPECT_GT(boxAt.up.y, 0.9998f) << "floor " << kind;
        OvpContextRemoveFixedVolume(w.context, floor);
        if (list != nullptr) {
            OvpVolumeDestroy(list);
        }
        if (kind == 2) {
            OvpVolumeDeinit(&grid);
        }
    }
}

// Six triangles meeting at a vertex in the bottom of a shallow pit (3 degrees), with a
// 0.05 m wave along its rim when asked for, so that the faces are not all alike.
struct Pit {
    static bool& Uneven() {
        static bool uneven = false;
        return uneven;
    }
    static void Walk(const OvpVolume*, const OvMatrix*, const OvpBBox*, void*, OvpTriangleBuffer* buffer) {
        buffer->count = 0;
        buffer->flags = 0;
        auto rim = [](int k) {
            const float a = static_cast<float>(k % 6) * 3.14159265f / 3.0f;
            const float h = 0.08f + (Uneven() ? 0.05f * static_cast<float>(k % 2) : 0.0f);
            return OvV3d{1.5f * std::cos(a), h, 1.5f * std::sin(a)};
        };
        for (int k = 0; k < 6; ++k) {
            OvpTriangleBufferAppend(buffer, {0, 0, 0}, rim(k + 1), rim(k), nullptr, static_cast<OvUInt32>(k), 0);
        }
    }
};

TEST(PhysicsDrivers, ASphereOnAVertexOfSixTrianglesTouchesAtOnePoint) {
    // Every triangle's plane gives the sphere's lowest point along its own normal: six points a
    // few centimetres apart that are one point of the sphere. Merged into one record of four
    // points (or three records of alike normals) they made near copies of one row, which the
    // greedy solver went round and round (over 3,000 updates a step for this sphere at rest);
    // one point along the mean normal needs about ten.
    for (bool uneven : {false, true}) {
        Pit::Uneven() = uneven;
        TestWorld w(1, 0, 0, {0.0f, -10.0f, 0.0f});
        w.pipeline->iterations[1] = 20000;
        w.pipeline->iterations[0] = 20000 / 3;
        OvpVolume* pit = OvpTrilistCreate(nullptr, ovpTRILIST_USER);
        OvpVolumeSetTriangleCallback(pit, reinterpret_cast<OvpVolumeCallback>(&Pit::Walk));
        OvpVolumeSetFriction(pit, 0.5f);
        ASSERT_TRUE(OvpContextAddFixedVolume(w.context, pit, 0));
        OvpObj* ball = w.Sphere({0.0f, 0.51f, 0.0f});
        OvpVolumeSetFriction(ball->parts[0].volume, 0.5f);
        ball->flags &= ~static_cast<OvUInt32>(ovpOBJ_MAYSLEEP);
        OvUInt32 most = 0;
        for (int n = 1; n <= 200; ++n) {
            ASSERT_NE(OvpPipelineStep(w.pipeline, 0.01f), nullptr);
            if (n > 100) {
                most = std::max(most, w.pipeline->solver.lastIterations[1]);
            }
        }
        ball->type->updateFrames(ball);
        const std::vector<OvpContact> records = Collide(w); // the ball's and the pit's only
        ASSERT_EQ(records.size(), 1u) << "uneven " << uneven;
        EXPECT_EQ(records[0].count, 1u) << "uneven " << uneven;
        EXPECT_LT(most, 50u) << "uneven " << uneven;
        const OvV3d at = ball->parts[0].matrix->pos;
        if (!uneven) {
            // At rest in the bottom, held up along the mean normal.
            EXPECT_GT(std::fabs(records[0].normal.y), 0.9999f);
            EXPECT_LT(std::fabs(at.x) + std::fabs(at.z), 0.002f);
        }
        EXPECT_GT(at.y, 0.49f) << "uneven " << uneven;
        EXPECT_LT(at.y, 0.52f) << "uneven " << uneven;
        OvpContextRemoveFixedVolume(w.context, pit);
        OvpVolumeDestroy(pit);
    }
    Pit::Uneven() = false;
}

// A level's floor: 1 m squares each split along a diagonal, every edge a real one (class 15,
// as the graphics world's triangles come).
void TiledFloorWalk(const OvpVolume*, const OvMatrix*, const OvpBBox*, void*, OvpTriangleBuffer* buffer) {
    buffer->count = 0;
    buffer->flags = 0;
    for (int i = -3; i < 3; ++i) {
        for (int j = -3; j < 3; ++j) {
            const float x = static_cast<float>(i), z = static_cast<float>(j);
            const OvV3d a = {x, 0, z}, b = {x + 1, 0, z}, c = {x + 1, 0, z + 1}, d = {x, 0, z + 1};
            OvpTriangleBufferAppend(buffer, a, c, b, nullptr, 0);
            OvpTriangleBufferAppend(buffer, a, d, c, nullptr, 1);
        }
    }
}

TEST(PhysicsDrivers, ASphereStandsStillBesideTheSeamsOfAFlatFloor) {
    // Over one triangle the neighbours' rims are within the contact threshold too, along
    // normals turned towards the sphere's centre; held up along their mean the sphere crept
    // sideways by a few millimetres a second.
    for (const OvV3d at :
         {OvV3d{0.03f, 0.5f, 0.4f}, OvV3d{0.52f, 0.5f, 0.5f}, OvV3d{0.01f, 0.5f, 0.02f}, OvV3d{-0.4f, 0.5f, -0.97f}}) {
        TestWorld w(1, 0, 0, {0.0f, -10.0f, 0.0f});
        OvpVolume* floor = OvpTrilistCreate(nullptr, ovpTRILIST_USER);
        OvpVolumeSetTriangleCallback(floor, reinterpret_cast<OvpVolumeCallback>(&TiledFloorWalk));
        OvpVolumeSetFriction(floor, 0.5f);
        ASSERT_TRUE(OvpContextAddFixedVolume(w.context, floor, 0));
        OvpObj* ball = w.Sphere(at);
        OvpVolumeSetFriction(ball->parts[0].volume, 0.5f);
        ball->flags &= ~static_cast<OvUInt32>(ovpOBJ_MAYSLEEP);
        for (int n = 1; n <= 300; ++n) {
            ASSERT_NE(OvpPipelineStep(w.pipeline, 0.01f), nullptr);
        }
        ball->type->updateFrames(ball);
        const OvV3d now = ball->parts[0].matrix->pos;
        EXPECT_LT(std::fabs(now.x - at.x) + std::fabs(now.z - at.z), 1e-6f) << at.x << " " << at.z;
        EXPECT_NEAR(now.y, 0.5f, 0.011f) << at.x << " " << at.z;
        OvpContextRemoveFixedVolume(w.context, floor);
        OvpVolumeDestroy(floor);
    }
}

// A floor and a short wall (x 1.5 to 5, z -12.5 to -12, 3 m high: its north side and its east
// end), every edge a real one.
void WallEndWalk(const OvpVolume*, const OvMatrix*, const OvpBBox*, void*, OvpTriangleBuffer* buffer) {
    buffer->count = 0;
    buffer->flags = 0;
    const auto quad = [&](const OvV3d& a, const OvV3d& b, const OvV3d& c, const OvV3d& d) {
        OvpTriangleBufferAppend(buffer, a, b, c, nullptr, buffer->count);
        OvpTriangleBufferAppend(buffer, a, c, d, nullptr, buffer->count);
    };
    quad({-50, 0, -50}, {-50, 0, 50}, {50, 0, 50}, {50, 0, -50});
    quad({1.5f, 0, -12}, {5, 0, -12}, {5, 3, -12}, {1.5f, 3, -12});
    quad({5, 0, -12}, {5, 0, -12.5f}, {5, 3, -12.5f}, {5, 3, -12});
}

TEST(PhysicsDrivers, ASphereDrivenPastAWallsEndGoesOnAlongIt) {
    // A walker's sphere beside the end of a wall, driven west and a little into the wall: the end
    // face lies in the plane the sphere touches but its corner is 0.2 m away. It pushed like an
    // endless plane and held the sphere where it stood.
    TestWorld w(1, 0, 0, {0.0f, -10.0f, 0.0f});
    OvpVolume* level = OvpTrilistCreate(nullptr, ovpTRILIST_USER);
    OvpVolumeSetTriangleCallback(level, reinterpret_cast<OvpVolumeCallback>(&WallEndWalk));
    ASSERT_TRUE(OvpContextAddFixedVolume(w.context, level, 0));
    OvpObj* walker = w.Sphere({5.5f, 0.5f, -11.49f});
    walker->flags &= ~static_cast<OvUInt32>(ovpOBJ_MAYSLEEP);
    for (int n = 1; n <= 60; ++n) {
        float* v = w.V(walker);
        v[0] = -3.0f;
        v[2] = -0.3f;
        ASSERT_NE(OvpPipelineStep(w.pipeline, 1.0f / 60.0f), nullptr);
    }
    walker->type->updateFrames(walker);
    const OvV3d at = walker->parts[0].matrix->pos;
    EXPECT_LT(at.x, 3.0f);                  // about 2.5 m along the wall
    EXPECT_GT(at.z, -12.0f + 0.5f - 0.02f); // beside it, not in it
    EXPECT_NEAR(at.y, 0.5f, 0.02f);
    OvpContextRemoveFixedVolume(w.context, level);
    OvpVolumeDestroy(level);
}

TEST(PhysicsDrivers, NestedCompoundsUnderRandomPlacementsAndSmallWorkspaces) {
    // Aggregates holding aggregates, a grid holding an aggregate, and a random triangle soup
    // against every simple type that moves, at random placements, with workspaces from tiny to roomy: every
    // run ends, and every record is sound and carries the identity words of nested pieces.
    std::mt19937 rng(5);
    std::uniform_real_distribution<float> u(-1.0f, 1.0f);
    OvpAggChildren* inner = OvpAggChildrenCreate(2);
    OvpSphereInit(OvpAggChildrenGetChild(inner, 0), 0.3f);
    const float small[3] = {0.2f, 0.3f, 0.1f};
    OvpBoxInit(OvpAggChildrenGetChild(inner, 1), small);
    OvpAggChildrenGetChild(inner, 1)->matrix = Placement(AxisAngle({0, 0, 1}, 0.5f), {0.4f, 0, 0});
    OvpAggChildrenComputeBounds(inner);
    OvpAggChildren* outer = OvpAggChildrenCreate(2);
    OvpAggregateInit(OvpAggChildrenGetChild(outer, 0), inner);
    OvpAggregateInit(OvpAggChildrenGetChild(outer, 1), inner);
    OvpAggChildrenGetChild(outer, 1)->matrix = Placement(kNone, {0, 0.8f, 0});
    OvpAggChildrenComputeBounds(outer);
    OvpGridBlock* block = OvpGridBlockCreate(2);
    OvpAggregateInit(OvpAggChildrenGetChild(block->children, 0), outer);
    OvpSphereInit(OvpAggChildrenGetChild(block->children, 1), 0.5f);
    OvpAggChildrenGetChild(block->children, 1)->matrix = Placement(kNone, {-0.8f, 0, 0});
    OvpAggChildrenComputeBounds(block->children);
    OvpVolume nested, grid, soup;
    OvpAggregateInit(&nested, outer);
    OvpGridInit(&grid, block);
    struct Soup {
        static void Walk(const OvpVolume*, const OvMatrix*, const OvpBBox*, void*, OvpTriangleBuffer* buffer) {
            std::mt19937 r(9);
            std::uniform_real_distribution<float> v(-1.0f, 1.0f);
            buffer->count = 0;
            buffer->flags = 0;
            for (OvUInt32 i = 0; i < 40; ++i) {
                OvpTriangleBufferAppend(buffer, {v(r), v(r), v(r)}, {v(r), v(r), v(r)}, {v(r), v(r), v(r)}, nullptr, i,
                                        i % 3 == 0 ? ovpTRIANGLE_ALLEDGES : i % 3);
            }
        }
    };
    OvpTrilistInit(&soup, nullptr, ovpTRILIST_USER);
    OvpVolumeSetTriangleCallback(&soup, reinterpret_cast<OvpVolumeCallback>(&Soup::Walk));
    OvpVolume box, ball, capsule, cylinder, convex;
    const float h[3] = {0.4f, 0.3f, 0.5f};
    OvpBoxInit(&box, h);
    box.fat = 0.01f;
    OvpSphereInit(&ball, 0.45f);
    OvpVolumeInit(&capsule, &ovpCapsuleVolumeType);
    capsule.data.param[0] = 0.4f;
    capsule.fat = 0.2f;
    OvpVolumeInit(&cylinder, &ovpCylinderVolumeType);
    cylinder.data.param[0] = 0.3f;
    cylinder.data.param[1] = 0.25f;
    const float corners[] = {-0.3f, -0.2f, -0.4f, 0.3f, -0.2f, -0.4f, -0.3f, 0.2f, -0.4f, 0.3f, 0.2f, -0.4f,
                             -0.3f, -0.2f, 0.4f,  0.3f, -0.2f, 0.4f,  -0.3f, 0.2f, 0.4f,  0.3f, 0.2f, 0.4f};
    OvpConvexHull* hull = OvpConvexHullCreateFromPoints(8, corners, nullptr, nullptr);
    ASSERT_NE(hull, nullptr);
    OvpConvexInit(&convex, hull);
    OvpConvexHullRelease(hull);
    OvpVolume* compounds[3] = {&nested, &grid, &soup};
    OvpVolume* simples[5] = {&box, &ball, &capsule, &cylinder, &convex};
    int records = 0;
    for (int trial = 0; trial < 450; ++trial) {
        OvpVolume* c = compounds[trial % 3];
        LooseObject a({c}, {Placement(Turn({u(rng), u(rng), 0.5f}, 3 * u(rng)), {0.2f * u(rng), 0, 0})});
        LooseObject b({simples[(trial / 3) % 5]},
                      {Placement(Turn({0.3f, u(rng), u(rng)}, 3 * u(rng)), {u(rng), u(rng), u(rng)})});
        const OvUInt32 size = 1 + static_cast<OvUInt32>(trial % 7) * 6;
        Driver drv(size, size, size);
        const OvpRefPair pair = {{{&a.o, ovpREFWHOLE, 0}, {&b.o, ovpREFWHOLE, 0}}, nullptr};
        std::vector<OvpContact> out = Records(4);
        const OvUInt32 n = OvpCollidePairs(drv.d, &pair, 1, out.data(), 4);
        ASSERT_LE(n, 4u);
        records += static_cast<int>(n);
        for (OvUInt32 i = 0; i < n; ++i) {
            ASSERT_NEAR(OvpDot(out[i].normal, out[i].normal), 1.0f, 1e-3f) << trial;
            ASSERT_GE(out[i].count, 1u);
            ASSERT_LE(out[i].count, 4u);
            for (OvUInt32 k = 0; k < out[i].count; ++k) {
                const OvpContactPoint& p = out[i].points[k];
                ASSERT_TRUE(std::isfinite(p.separation + p.position.x + p.position.y + p.position.z)) << trial;
                ASSERT_LE(p.separation, drv.d->threshold + 1e-5f);
                if (c != &soup) {
                    // Nested pieces: one 16-bit level per compound, each naming child 1 or 2.
                    for (OvUInt32 id = p.identity[0]; id != 0; id >>= 16) {
                        ASSERT_TRUE((id & 0xFFFF) == 1 || (id & 0xFFFF) == 2) << p.identity[0];
                    }
                }
            }
        }
    }
    EXPECT_GT(records, 150);
    for (OvpVolume* v : {&nested, &grid, &soup, &convex}) {
        OvpVolumeDeinit(v);
    }
    OvpGridBlockRelease(block);
    OvpAggChildrenRelease(outer);
    OvpAggChildrenRelease(inner);
}

TEST(PhysicsDrivers, MergeDropsEdgeContactsInAFacePlaneAndKeepsThePatchExtremes) {
    // One box (side A, piece 0) on two triangles (side B): a face contact with the first and an
    // edge contact with the second lying in the face's plane. Among triangle pieces the edge
    // contact goes; without the triangle flag both stay (their normals differ).
    auto record = [](const OvV3d& n, std::vector<OvV3d> at, float sep, OvUInt8 kindB, OvUInt32 pieceB) {
        OvpContact r{};
        r.normal = n;
        r.kind[1] = kindB;
        for (const OvV3d& p : at) {
            OvpCollisionAddRecordPoint(&r, &p, sep, -1.0f);
            r.points[r.count - 1].identity[1] = pieceB;
        }
        return r;
    };
    const OvV3d up = {0, 1, 0}, tilted = {0.6f, 0.8f, 0};
    for (int flag = 0; flag < 2; ++flag) {
        OvpContact in[2] = {record(up, {{0, 0, 0}, {1, 0, 0}, {1, 0, 1}}, -0.01f, ovpFEATURE_FACE, 4),
                            record(tilted, {{1.5f, 0.001f, 0.5f}}, -0.004f, ovpFEATURE_EDGE, 5)};
        std::vector<OvpContact> out = Records(4);
        const OvUInt32 n = OvpGeneralPrimitiveMergeContacts(in, 2, flag, out.data(), 4, 1.0f);
        EXPECT_EQ(n, flag ? 1u : 2u);
        EXPECT_EQ(out[0].count, 3u);
        EXPECT_NE(out[0].solved, nullptr) << "the output keeps its solver block";
    }
    // Six coplanar points of two pieces become one record of the extremes across and along the
    // direction from the deepest point to the mean: they span the whole patch.
    OvpContact in[2] = {record(up, {{0, 0, 0}, {1, 0, 0}, {0.5f, 0, 0.5f}}, -0.01f, ovpFEATURE_FACE, 1),
                        record(up, {{1, 0, 1}, {0, 0, 1}, {0.5f, 0, 0.6f}}, -0.002f, ovpFEATURE_FACE, 2)};
    in[0].points[2].separation = -0.03f;
    std::vector<OvpContact> out = Records(4);
    ASSERT_EQ(OvpGeneralPrimitiveMergeContacts(in, 2, 1, out.data(), 4, 1.0f), 1u);
    ASSERT_GE(out[0].count, 3u);
    OvV3d lo = {1, 1, 1}, hi = {0, 0, 0};
    for (OvUInt32 i = 0; i < out[0].count; ++i) {
        const OvV3d& p = out[0].points[i].position;
        lo = {std::fmin(lo.x, p.x), 0, std::fmin(lo.z, p.z)};
        hi = {std::fmax(hi.x, p.x), 0, std::fmax(hi.z, p.z)};
        EXPECT_TRUE((p.x == 0 || p.x == 1) && (p.z == 0 || p.z == 1)) << "a corner of the patch";
    }
    EXPECT_EQ(lo.x + lo.z, 0.0f);
    EXPECT_EQ(hi.x + hi.z, 2.0f);
}
