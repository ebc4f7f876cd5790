// The world manager's queries against independent answers: the line query against a brute-force
// ray-triangle search over the generated level's triangles and over pickable boxes turned and
// moved in the world; the cylinder's lines counted; the sphere query's four modes on floor, wall
// and ceiling triangles.

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>
#include <vector>

#include "framework/clump_object.h"
#include "framework/tests/level_fixture.h"
#include "framework/world_manager.h"
#include "graphics/world/world.h"

namespace {

using QueriesTest = LevelTest;

OvV3d Sub(const OvV3d& a, const OvV3d& b) { return {a.x - b.x, a.y - b.y, a.z - b.z}; }
OvV3d Cross(const OvV3d& a, const OvV3d& b) {
    return {a.y * b.z - a.z * b.y, a.z * b.x - a.x * b.z, a.x * b.y - a.y * b.x};
}
double Dot(const OvV3d& a, const OvV3d& b) {
    return static_cast<double>(a.x) * b.x + static_cast<double>(a.y) * b.y + static_cast<double>(a.z) * b.z;
}

// The oracle's answer for one segment: the nearest front-face crossing, and whether some
// triangle lies so near the edge of a decision (an edge or an end of the segment) that either
// answer is right.
struct Expected {
    bool hit = false;
    double t = 1e30;
    OvV3d normal = {};
    int owner = -1; // index of the pickable box, -1 for the level
    bool doubtful = false;
};

void Cast(const OvV3d& from, const OvV3d& to, const LevelTriangle& tri, int owner, Expected* e) {
    const OvV3d d = Sub(to, from);
    const OvV3d n = Cross(Sub(tri.b, tri.a), Sub(tri.c, tri.a));
    const double facing = Dot(d, n);
    const double area = std::sqrt(Dot(n, n));
    if (area == 0.0) {
        return;
    }
    // One-sided: the segment must run against the normal.
    if (facing >= -1e-9 * area * std::sqrt(Dot(d, d))) {
        return;
    }
    const double t = Dot(Sub(tri.a, from), n) / facing;
    const OvV3d p = {static_cast<float>(from.x + d.x * t), static_cast<float>(from.y + d.y * t),
                     static_cast<float>(from.z + d.z * t)};
    // Barycentric side tests, each as a distance to the edge's line.
    double worst = 1e30;
    const OvV3d corners[3] = {tri.a, tri.b, tri.c};
    for (int i = 0; i < 3; ++i) {
        const OvV3d& u = corners[i];
        const OvV3d& v = corners[(i + 1) % 3];
        const OvV3d edge = Sub(v, u);
        const double side = Dot(Cross(edge, Sub(p, u)), n) / (area * std::sqrt(Dot(edge, edge)));
        worst = std::min(worst, side);
    }
    const double margin = 1e-3;
    const bool inside = worst > margin && t > margin && t < 1.0 - margin;
    const bool near = worst > -margin && t > -margin && t < 1.0 + margin;
    if (near && !inside) {
        e->doubtful = e->doubtful || t < e->t + margin;
        return;
    }
    if (inside && t < e->t) {
        if (e->hit && std::abs(t - e->t) < margin && owner != e->owner) {
            e->doubtful = true;
        }
        e->hit = true;
        e->t = t;
        e->normal = {static_cast<float>(n.x / area), static_cast<float>(n.y / area), static_cast<float>(n.z / area)};
        e->owner = owner;
    }
}

// A unit box's triangles moved by a frame (right, up, at, position).
std::vector<LevelTriangle> BoxTriangles(const mkasset::ClumpDesc& clump) {
    const mkasset::FrameDesc& f = clump.frames[0];
    const mkasset::GeometryDesc& g = clump.geometries[0];
    const std::vector<float>& v = g.morphTargets[0].verts;
    auto at = [&](std::uint16_t i) {
        const float x = v[i * 3u], y = v[i * 3u + 1], z = v[i * 3u + 2];
        return OvV3d{f.right[0] * x + f.up[0] * y + f.at[0] * z + f.pos[0],
                     f.right[1] * x + f.up[1] * y + f.at[1] * z + f.pos[1],
                     f.right[2] * x + f.up[2] * y + f.at[2] * z + f.pos[2]};
    };
    std::vector<LevelTriangle> out;
    for (const mkasset::TriangleDesc& t : g.triangles) {
        out.push_back({at(t.v[0]), at(t.v[1]), at(t.v[2])});
    }
    return out;
}

// A box turned about a tilted axis by the angle and moved to the position.
mkasset::ClumpDesc TurnedBox(float angle, float x, float y, float z) {
    mkasset::ClumpDesc clump = BoxClumpAt(x, y, z);
    const float c = std::cos(angle), s = std::sin(angle);
    // A turn about y, then a tilt of 0.3 radians about x.
    const float tc = std::cos(0.3f), ts = std::sin(0.3f);
    const float right[3] = {c, 0, -s}, up[3] = {0, 1, 0}, at[3] = {s, 0, c};
    auto tilt = [&](const float in[3], float out[3]) {
        out[0] = in[0];
        out[1] = tc * in[1] - ts * in[2];
        out[2] = ts * in[1] + tc * in[2];
    };
    tilt(right, clump.frames[0].right);
    tilt(up, clump.frames[0].up);
    tilt(at, clump.frames[0].at);
    return clump;
}

class LineQueryTest : public LevelTest, public ::testing::WithParamInterface<bool> {};

// With and without the sectors' collision trees.
TEST_P(LineQueryTest, MatchesABruteForceSearch) {
    mkasset::LevelOptions options;
    options.seed = 3;
    options.size = 16;
    options.boxes = 6;
    options.maxTris = 40; // many sectors
    std::vector<mkasset::ClumpDesc> boxes;
    std::mt19937 rng(20240611);
    std::uniform_real_distribution<float> unit(0.0f, 1.0f);
    for (int i = 0; i < 6; ++i) {
        boxes.push_back(TurnedBox(unit(rng) * 6.28f, -6.0f + 2.4f * static_cast<float>(i), 1.0f + unit(rng) * 2.0f,
                                  -5.0f + 2.0f * unit(rng)));
    }
    const mkasset::WorldDesc world = WriteLevel("level.bsp", options, boxes, GetParam());
    CWorldManager* wm = MakeManager();
    wm->LoadWorld("level.bsp", 0);
    ASSERT_EQ(wm->WorldCount(), 1);
    ASSERT_EQ(wm->ObjectCount(), 6);
    const std::vector<LevelTriangle> level = TrianglesOf(world);
    std::vector<std::vector<LevelTriangle>> boxTriangles;
    for (const mkasset::ClumpDesc& box : boxes) {
        boxTriangles.push_back(BoxTriangles(box));
    }

    int hits = 0, boxHits = 0, checked = 0;
    std::uniform_real_distribution<float> across(-9.0f, 9.0f), high(-1.0f, 6.0f);
    for (int ray = 0; ray < 1000; ++ray) {
        const OvV3d from = {across(rng), high(rng), across(rng)};
        OvV3d to = {across(rng), high(rng), across(rng)};
        if (ray % 3 == 0) {
            // Aim at a box so that the objects are reached often.
            const mkasset::FrameDesc& f = boxes[static_cast<std::size_t>(ray / 3) % boxes.size()].frames[0];
            to = {from.x + 1.6f * (f.pos[0] - from.x), from.y + 1.6f * (f.pos[1] - from.y),
                  from.z + 1.6f * (f.pos[2] - from.z)};
        }
        Expected e;
        for (const LevelTriangle& t : level) {
            Cast(from, to, t, -1, &e);
        }
        for (std::size_t b = 0; b < boxTriangles.size(); ++b) {
            for (const LevelTriangle& t : boxTriangles[b]) {
                Cast(from, to, t, static_cast<int>(b), &e);
            }
        }
        float distance = -1.0f;
        OvV3d normal = {9, 9, 9};
        CClumpObject* object = nullptr;
        const int result = wm->LineIntersect(from, to, false, &distance, &normal, &object);
        EXPECT_EQ(wm->LineIntersect(from, to, false), result) << "ray " << ray; // no outputs: the same answer
        if (e.doubtful) {
            continue;
        }
        ++checked;
        ASSERT_EQ(result, e.hit ? 1 : 0) << "ray " << ray;
        if (!e.hit) {
            EXPECT_EQ(distance, kLineFar);
            EXPECT_EQ(object, nullptr);
            continue;
        }
        ++hits;
        EXPECT_NEAR(distance, e.t, 1e-4) << "ray " << ray;
        EXPECT_NEAR(normal.x, e.normal.x, 1e-4f) << "ray " << ray;
        EXPECT_NEAR(normal.y, e.normal.y, 1e-4f) << "ray " << ray;
        EXPECT_NEAR(normal.z, e.normal.z, 1e-4f) << "ray " << ray;
        if (e.owner >= 0) {
            ++boxHits;
            EXPECT_EQ(object, wm->GetObject(e.owner)) << "ray " << ray;
        }
    }
    EXPECT_GT(checked, 950);
    EXPECT_GT(hits, 300);
    EXPECT_GT(boxHits, 100);
}

INSTANTIATE_TEST_SUITE_P(Trees, LineQueryTest, ::testing::Bool());

TEST_F(QueriesTest, LineQueryEdgeCases) {
    CWorldManager* wm = LoadOpenLevel(8);
    // From equal to to: nothing, the outputs untouched.
    float distance = 7.0f;
    OvV3d normal = {1, 2, 3};
    EXPECT_EQ(wm->LineIntersect({1, 1, 1}, {1, 1, 1}, false, &distance, &normal), 0);
    EXPECT_EQ(distance, 7.0f);
    EXPECT_EQ(normal.z, 3.0f);
    // A distance without a normal still gets the nearest fraction (hits and misses with both are
    // the brute-force comparison's).
    distance = 0.0f;
    EXPECT_EQ(wm->LineIntersect({0.3f, 2, 0.2f}, {0.3f, -2, 0.2f}, false, &distance, nullptr), 1);
    EXPECT_NEAR(distance, 0.5f, 1e-5f);
    // Picking gives the hit as a world point through the current world manager.
    ASSERT_EQ(g_worldManager, wm);
    CWorldPick pick;
    OvV3d point = {9, 9, 9};
    EXPECT_TRUE(pick.LineHit({0.3f, 3, 0.2f}, {0.3f, -1, 0.2f}, &point));
    EXPECT_NEAR(point.x, 0.3f, 1e-5f);
    EXPECT_NEAR(point.y, 0.0f, 1e-4f);
    EXPECT_NEAR(point.z, 0.2f, 1e-5f);
    EXPECT_FALSE(pick.LineHit({0.3f, -1, 0.2f}, {0.3f, -3, 0.2f}, &point));
}

TEST_F(QueriesTest, CylinderCastsRingsTimesSpokesLines) {
    CWorldManager* wm = LoadOpenLevel(8);
    // In the open air no line hits: every ring and spoke is cast, the axis itself is not.
    std::uint64_t before = wm->LinesCast();
    EXPECT_EQ(wm->CylinderIntersect({0, 1, 0}, {2, 1, 0}, 0.4f, false), 0);
    EXPECT_EQ(wm->LinesCast() - before, 96u);
    wm->SetCylinderShape(16.0f, 1.0f);
    before = wm->LinesCast();
    EXPECT_EQ(wm->CylinderIntersect({0, 1, 0}, {0, 1, 2}, 0.4f, false), 0);
    EXPECT_EQ(wm->LinesCast() - before, 16u);
    // A vertical axis still has a ring round it.
    before = wm->LinesCast();
    EXPECT_EQ(wm->CylinderIntersect({0, 3, 0}, {0, 1, 0}, 0.4f, false), 0);
    EXPECT_EQ(wm->LinesCast() - before, 16u);
    EXPECT_EQ(wm->CylinderIntersect({0, 3, 0}, {0, -1, 0}, 0.4f, false), 1);
    // A cylinder sloping down to the floor whose outer ring only reaches below it: the first line
    // that does ends the query.
    wm->SetCylinderShape(16.0f, 6.0f);
    before = wm->LinesCast();
    EXPECT_EQ(wm->CylinderIntersect({0, 0.6f, 0}, {2, 0.45f, 0}, 0.5f, false), 1);
    EXPECT_GT(wm->LinesCast() - before, 64u);
    EXPECT_LT(wm->LinesCast() - before, 96u);
    EXPECT_EQ(wm->CylinderIntersect({0, 0.3f, 0}, {0, 0.3f, 0}, 0.5f, false), 0);
}

TEST_F(QueriesTest, SphereQueryModesOnFloorWallAndCeiling) {
    // A room of its own: the generated level's floor and walls, and a block whose top is a floor
    // and whose underside does not exist; a ceiling comes from a pickable box above.
    CWorldManager* wm = LoadOpenLevel(8, {BoxClumpAt(0.0f, 2.0f, 0.0f)});
    SphereQueryResult r;
    // Mode 0: near the floor only, the floor.
    wm->SetSphereQueryMode(kSphereAny);
    ASSERT_EQ(wm->SphereQuery(0.2f, 0.3f, 0.1f, 0.5f, &r), 1);
    EXPECT_NEAR(r.distance, 0.3f, 1e-5f);
    EXPECT_NEAR(r.normal.y, 1.0f, 1e-6f);
    EXPECT_NEAR(r.point.y, 0.0f, 1e-6f);
    EXPECT_NEAR(r.point.x, 0.2f, 1e-5f);
    // Near the floor and the wall at x = -4: the nearer one is kept.
    ASSERT_EQ(wm->SphereQuery(-3.8f, 0.35f, 0.0f, 0.5f, &r), 1);
    EXPECT_NEAR(r.distance, 0.2f, 1e-5f);
    EXPECT_NEAR(r.normal.x, 1.0f, 1e-6f);
    // Mode 1 takes floors only: the floor though the wall is nearer.
    wm->SetSphereQueryMode(kSphereFloor);
    ASSERT_EQ(wm->SphereQuery(-3.8f, 0.35f, 0.0f, 0.5f, &r), 1);
    EXPECT_NEAR(r.normal.y, 1.0f, 1e-6f);
    EXPECT_NEAR(r.distance, 0.35f, 1e-5f);
    // Mode 2 takes steep faces: the wall though the floor is nearer.
    wm->SetSphereQueryMode(kSphereSteep);
    ASSERT_EQ(wm->SphereQuery(-3.7f, 0.1f, 0.0f, 0.5f, &r), 1);
    EXPECT_NEAR(r.normal.x, 1.0f, 1e-6f);
    EXPECT_EQ(r.contactCount, 0);
    // Mode 3: walls facing against the direction; the most facing one is kept as the contact.
    wm->SetSphereQueryMode(kSphereWall);
    wm->SetQueryDirection({-0.6f, 0.0f, -0.8f});
    ASSERT_EQ(wm->SphereQuery(-3.7f, 1.0f, -3.8f, 0.5f, &r), 1);
    EXPECT_NEAR(r.normal.z, 1.0f, 1e-6f); // the wall at z = -4 faces the direction most
    EXPECT_NEAR(r.bestFacing, -0.8f, 1e-6f);
    EXPECT_EQ(r.contactCount, 1);
    EXPECT_NEAR(r.contact[0].z, -4.0f, 1e-6f);
    wm->SetQueryDirection({0.0f, 0.0f, 1.0f}); // walking away from both walls
    EXPECT_EQ(wm->SphereQuery(-3.7f, 1.0f, -3.8f, 0.5f, &r), 0);
    // The pickable box above: its underside is a ceiling (normal down), seen by mode 0 only.
    wm->SetSphereQueryMode(kSphereAny);
    ASSERT_EQ(wm->SphereQuery(0.1f, 1.2f, 0.0f, 0.5f, &r), 1);
    EXPECT_NEAR(r.normal.y, -1.0f, 1e-5f);
    EXPECT_NEAR(r.point.y, 1.5f, 1e-5f);
    EXPECT_EQ(wm->ClumpsTested(), 1);
    EXPECT_EQ(wm->ClumpsInRange(), 1);
    EXPECT_EQ(wm->AtomicsTested(), 1);
    wm->SetSphereQueryMode(kSphereFloor);
    EXPECT_EQ(wm->SphereQuery(0.1f, 1.2f, 0.0f, 0.5f, &r), 0);
    // Far from it, the box is not in range.
    wm->SetSphereQueryMode(kSphereAny);
    wm->SphereQuery(3.0f, 0.3f, 3.0f, 0.2f, &r);
    EXPECT_EQ(wm->ClumpsTested(), 1);
    EXPECT_EQ(wm->ClumpsInRange(), 0);
    EXPECT_EQ(wm->StatisticsText(), "1 worlds with 1 clumps (0 active clumps, 0 geometries)");
}

} // namespace
