// World collision queries: the sector walk and each sector's tree report exactly what testing
// every triangle of a generated level reports, for random lines, eye-height rays, lines lying on
// the split planes, spheres, boxes and atomics; sectors without data are tested triangle by
// triangle; the box iterator and morphed atomics.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <random>
#include <tuple>
#include <vector>

#include "graphics/core/frame.h"
#include "graphics/plugins/collision.h"
#include "graphics/world/clump.h"
#include "graphics/world/geometry.h"
#include "graphics/world/tests/level_kit.h"
#include "tools/mkasset/collision_tree.h"
#include "tools/mkasset/level_builder.h"

namespace {

void AttachCollision() { OvCollisionPluginAttach(); }

class CollisionWorldTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(worldtest::EngineUp(AttachCollision)); }
    void TearDown() override { EXPECT_TRUE(OvTestEngineDown()); }
};

struct Hit {
    const OvWorldSector* sector;
    OvInt32 index;
    float distance;
    auto Key() const { return std::tie(sector, index, distance); }
    bool operator<(const Hit& o) const { return Key() < o.Key(); }
};

OvCollisionTriangle* Collect(OvIntersection*, OvWorldSector* sector, OvCollisionTriangle* tri, float distance,
                             void* data) {
    static_cast<std::vector<Hit>*>(data)->push_back({sector, tri->index, distance});
    return tri;
}

std::vector<Hit> Walk(OvWorld* world, OvIntersection q) {
    std::vector<Hit> hits;
    EXPECT_EQ(OvCollisionWorldForAllIntersections(world, &q, Collect, &hits), world);
    std::sort(hits.begin(), hits.end());
    return hits;
}

// Every triangle of every sector through the plugin's own triangle tests.
std::vector<Hit> Brute(OvWorld* world, const OvIntersection& q) {
    std::vector<Hit> hits;
    for (OvWorldSector* s : worldtest::SectorsOf(world)) {
        for (OvInt32 i = 0; i < s->numTriangles; ++i) {
            const OvV3d* v[3];
            for (int k = 0; k < 3; ++k) {
                v[k] = &s->vertices[s->triangles[i].vertIndex[k]];
            }
            float d = 0;
            OvV3d n;
            switch (q.type) {
            case ovINTERSECTLINE:
                if (OvCollisionTestLineTriangle(&q.t.line, v[0], v[1], v[2], &d)) {
                    hits.push_back({s, i, d});
                }
                break;
            case ovINTERSECTSPHERE:
                if (OvCollisionTestSphereTriangle(&q.t.sphere, v[0], v[1], v[2], &n, &d)) {
                    hits.push_back({s, i, d / q.t.sphere.radius});
                }
                break;
            case ovINTERSECTBOX:
                if (OvCollisionTestBoxTriangle(&q.t.box, v[0], v[1], v[2])) {
                    hits.push_back({s, i, 0});
                }
                break;
            default:
                break;
            }
        }
    }
    std::sort(hits.begin(), hits.end());
    return hits;
}

// Same triangles; line fractions equal, sphere distances equal to the normals' precision.
void ExpectSame(const std::vector<Hit>& walked, const std::vector<Hit>& brute, const char* what, int i) {
    ASSERT_EQ(walked.size(), brute.size()) << what << " " << i;
    for (std::size_t k = 0; k < walked.size(); ++k) {
        ASSERT_EQ(walked[k].sector, brute[k].sector) << what << " " << i;
        ASSERT_EQ(walked[k].index, brute[k].index) << what << " " << i;
        EXPECT_NEAR(walked[k].distance, brute[k].distance, 2e-3f) << what << " " << i;
    }
}

OvWorld* LevelWith(const mkasset::LevelOptions& options, int leaf) {
    mkasset::WorldDesc desc = mkasset::LevelWorld(options);
    if (leaf > 0) {
        EXPECT_TRUE(mkasset::AddWorldCollision(desc, leaf));
    }
    return worldtest::ReadWorld(mkasset::WorldFile(desc));
}

OvIntersection Line(OvV3d a, OvV3d b) {
    OvIntersection q{};
    q.type = ovINTERSECTLINE;
    q.t.line = {a, b};
    return q;
}

TEST_F(CollisionWorldTest, WalkEqualsBruteForceOnALevel) {
    mkasset::LevelOptions options;
    options.seed = 3;
    options.size = 24;
    options.boxes = 30;
    options.maxTris = 120;
    for (int leaf : {1, 8, 254}) {
        OvWorld* world = LevelWith(options, leaf);
        ASSERT_NE(world, nullptr);
        const std::vector<OvWorldSector*> sectors = worldtest::SectorsOf(world);
        ASSERT_GT(sectors.size(), 8u);
        for (OvWorldSector* s : sectors) {
            ASSERT_NE(OvCollisionWorldSectorGetData(s), nullptr);
        }
        std::mt19937 rng(static_cast<unsigned>(leaf));
        std::uniform_real_distribution<float> across(-13, 13);
        std::uniform_real_distribution<float> up(-1, 5);
        std::uniform_real_distribution<float> size(0.05f, 3);
        int hits = 0;
        for (int i = 0; i < 600; ++i) {
            OvIntersection q{};
            switch (i % 4) {
            case 0:
                q = Line({across(rng), up(rng), across(rng)}, {across(rng), up(rng), across(rng)});
                break;
            case 1: // at eye height across the level
                q = Line({across(rng), 1.7f, across(rng)}, {across(rng), 1.7f, across(rng)});
                break;
            case 2:
                q.type = ovINTERSECTSPHERE;
                q.t.sphere = {{across(rng), up(rng), across(rng)}, size(rng)};
                break;
            default: {
                q.type = ovINTERSECTBOX;
                const OvV3d c{across(rng), up(rng), across(rng)};
                const float h = size(rng);
                q.t.box = {{c.x + h, c.y + 2 * h, c.z + h}, {c.x - h, c.y - h, c.z - 0.5f * h}};
            }
            }
            const std::vector<Hit> walked = Walk(world, q);
            ExpectSame(walked, Brute(world, q), "query", i);
            hits += static_cast<int>(walked.size());
        }
        EXPECT_GT(hits, 1000);

        // Sectors without data are tested triangle by triangle.
        for (std::size_t k = 0; k < sectors.size(); k += 2) {
            OvCollisionWorldSectorSetData(sectors[k], nullptr);
        }
        for (int i = 0; i < 100; ++i) {
            const OvIntersection q = Line({across(rng), up(rng), across(rng)}, {across(rng), up(rng), across(rng)});
            ExpectSame(Walk(world, q), Brute(world, q), "partly without data", i);
        }
        OvWorldDestroy(world);
    }
}

// Lines lying exactly in the planes of the sector tree and of the collision trees (along and
// across them, and along the axes), and boxes whose faces lie in them, still find every triangle.
TEST_F(CollisionWorldTest, QueriesOnSplitPlanes) {
    mkasset::LevelOptions options;
    options.seed = 9;
    options.size = 16;
    options.boxes = 14;
    options.maxTris = 60;
    OvWorld* world = LevelWith(options, 4);
    ASSERT_NE(world, nullptr);
    struct Plane {
        int axis;
        float value;
    };
    std::vector<Plane> planes;
    std::vector<OvWorldSector*> pending{world->rootSector};
    while (!pending.empty()) {
        OvWorldSector* s = pending.back();
        pending.pop_back();
        if (OvWorldSectorIsAtomic(s)) {
            if (const OvCollisionData* data = OvCollisionWorldSectorGetData(s)) {
                for (OvInt32 n = 0; n < data->numNodes; ++n) {
                    const int axis = (data->nodes[n].leftRef.flags >> 2) & 3;
                    planes.push_back({axis, data->nodes[n].leftMax});
                    planes.push_back({axis, data->nodes[n].rightMin});
                }
            }
            continue;
        }
        const OvPlaneSector* p = OvWorldSectorAsPlane(s);
        planes.push_back({p->type / 4, p->leftValue});
        planes.push_back({p->type / 4, p->rightValue});
        planes.push_back({p->type / 4, p->value});
        pending.push_back(p->leftSubTree);
        pending.push_back(p->rightSubTree);
    }
    ASSERT_GT(planes.size(), 100u);
    std::mt19937 rng(17);
    std::uniform_real_distribution<float> across(-9, 9);
    std::uniform_real_distribution<float> up(-0.5f, 4.5f);
    int hits = 0;
    for (std::size_t i = 0; i < planes.size(); ++i) {
        const Plane& pl = planes[i];
        for (int shape = 0; shape < 3; ++shape) {
            OvV3d a{across(rng), up(rng), across(rng)};
            OvV3d b{across(rng), up(rng), across(rng)};
            if (shape == 1) { // parallel to another axis as well
                const int other = (pl.axis + 1) % 3;
                *(&b.x + other) = *(&a.x + other);
            } else if (shape == 2) { // crossing the plane, ending on it
                *(&a.x + pl.axis) = pl.value + 3.0f;
            }
            *(&b.x + pl.axis) = pl.value;
            if (shape != 2) {
                *(&a.x + pl.axis) = pl.value;
            }
            for (const OvIntersection& q : {Line(a, b), Line(b, a)}) {
                const std::vector<Hit> walked = Walk(world, q);
                ExpectSame(walked, Brute(world, q), "plane line", static_cast<int>(i));
                hits += static_cast<int>(walked.size());
            }
        }
        for (int face = 0; face < 2; ++face) { // a box ending on the plane, then one starting on it
            OvIntersection q{};
            q.type = ovINTERSECTBOX;
            const OvV3d c{across(rng), up(rng), across(rng)};
            q.t.box = {{c.x + 1, c.y + 1, c.z + 1}, {c.x - 1, c.y - 1, c.z - 1}};
            *(&(face == 0 ? q.t.box.sup : q.t.box.inf).x + pl.axis) = pl.value;
            *(&(face == 0 ? q.t.box.inf : q.t.box.sup).x + pl.axis) = pl.value + (face == 0 ? -1.0f : 1.0f);
            const std::vector<Hit> walked = Walk(world, q);
            ExpectSame(walked, Brute(world, q), "plane box", static_cast<int>(i));
            hits += static_cast<int>(walked.size());
        }
    }
    EXPECT_GT(hits, 100);
    OvWorldDestroy(world);
}

// The line test takes a hit a little past either end of the line and a little outside a
// triangle's edges; the walks' box clips must not lose those.
TEST_F(CollisionWorldTest, HitsJustPastTheEnds) {
    mkasset::LevelOptions options;
    options.boxes = 0;
    OvWorld* world = LevelWith(options, 8);
    ASSERT_NE(world, nullptr);
    std::mt19937 rng(3);
    std::uniform_real_distribution<float> across(-15, 15);
    int hits = 0;
    for (int i = 0; i < 200; ++i) {
        const float x = across(rng);
        const float z = across(rng);
        const float h = 1.0f + static_cast<float>(i % 7);
        // Ending 2e-6 of the line's length above the floor, and starting that far below a wall.
        const OvIntersection down = Line({x, h, z}, {x + 0.1f, h * 2e-6f, z});
        const OvIntersection out = Line({x, 1, z}, {-16 + 2e-6f * (x + 16), 1.5f, z});
        for (const OvIntersection& q : {down, out}) {
            const std::vector<Hit> walked = Walk(world, q);
            ExpectSame(walked, Brute(world, q), "just short", i);
            hits += static_cast<int>(walked.size());
        }
    }
    EXPECT_GE(hits, 400);
    OvWorldDestroy(world);
}

// An atomic primitive is its world bounding sphere; a null callback return stops at once; points
// find nothing.
TEST_F(CollisionWorldTest, AtomicsPointsAndStopping) {
    mkasset::LevelOptions options;
    options.boxes = 20;
    OvWorld* world = LevelWith(options, 8);
    ASSERT_NE(world, nullptr);
    OvClump* clump = worldtest::SphereClump(1.5f, 2, 0.5f, -3);
    OvIntersection q{};
    q.type = ovINTERSECTATOMIC;
    q.t.object = worldtest::FirstAtomic(clump);
    const std::vector<Hit> walked = Walk(world, q);
    OvIntersection sphere{};
    sphere.type = ovINTERSECTSPHERE;
    sphere.t.sphere = *OvAtomicGetWorldBoundingSphere(worldtest::FirstAtomic(clump));
    EXPECT_NEAR(sphere.t.sphere.center.x, 2.0f, 1e-6f);
    ExpectSame(walked, Brute(world, sphere), "atomic", 0);
    EXPECT_FALSE(walked.empty());
    OvClumpDestroy(clump);

    q.type = ovINTERSECTPOINT;
    q.t.point = {0, 0, 0};
    EXPECT_TRUE(Walk(world, q).empty());

    int calls = 0;
    auto stop = [](OvIntersection*, OvWorldSector*, OvCollisionTriangle*, float, void* data) -> OvCollisionTriangle* {
        ++*static_cast<int*>(data);
        return nullptr;
    };
    OvIntersection all{};
    all.type = ovINTERSECTBOX;
    all.t.box = {{100, 100, 100}, {-100, -100, -100}};
    EXPECT_EQ(OvCollisionWorldForAllIntersections(world, &all, stop, &calls), world);
    EXPECT_EQ(calls, 1);
    const OvIntersection down = Line({0.1f, 10, 0.1f}, {0.1f, -10, 0.1f});
    OvCollisionWorldForAllIntersections(world, const_cast<OvIntersection*>(&down), stop, &calls);
    EXPECT_EQ(calls, 2);
    OvWorldDestroy(world);
}

// The iterator's runs cover exactly the triangles a box touches (testing those with a mask), and
// a box holding the whole data is one untested run.
TEST_F(CollisionWorldTest, BoxIterator) {
    mkasset::LevelOptions options;
    options.seed = 5;
    options.maxTris = 2000;
    OvWorld* world = LevelWith(options, 6);
    ASSERT_NE(world, nullptr);
    OvWorldSector* sector = worldtest::SectorsOf(world).front();
    const OvCollisionData* data = OvCollisionWorldSectorGetData(sector);
    ASSERT_NE(data, nullptr);
    ASSERT_GT(data->numNodes, 10);
    OvCollisionBoxIterator it;
    const OvBBox everything{{100, 100, 100}, {-100, -100, -100}};
    OvCollisionBoxIteratorBegin(&it, data, &everything, &everything);
    OvUInt16 first = 1;
    OvUInt16 count = 0;
    OvUInt32 mask = 1;
    ASSERT_TRUE(OvCollisionBoxIteratorNext(&it, &first, &count, &mask));
    EXPECT_EQ(first, 0);
    EXPECT_EQ(count, data->numTriangles);
    EXPECT_EQ(mask, 0u);
    EXPECT_FALSE(OvCollisionBoxIteratorNext(&it, &first, &count, &mask));
    const OvBBox away{{300, 300, 300}, {200, 200, 200}};
    OvCollisionBoxIteratorBegin(&it, data, &away, &away);
    EXPECT_EQ(it.depth, 0);

    std::mt19937 rng(21);
    std::uniform_real_distribution<float> across(-17, 17);
    std::uniform_real_distribution<float> size(0.1f, 4);
    for (int i = 0; i < 200; ++i) {
        const OvV3d c{across(rng), across(rng) / 4 + 2, across(rng)};
        const float h = size(rng);
        OvIntersection q{};
        q.type = ovINTERSECTBOX;
        q.t.box = {{c.x + h, c.y + h, c.z + h}, {c.x - h, c.y - h, c.z - h}};
        std::vector<Hit> found;
        std::vector<int> seen(sector->numTriangles, 0);
        OvCollisionBoxIteratorBegin(&it, data, &q.t.box, &q.t.box);
        while (OvCollisionBoxIteratorNext(&it, &first, &count, &mask)) {
            for (int p = first; p < first + count; ++p) {
                const OvInt32 t = data->map[p];
                ++seen[t];
                const OvTriangle& tri = sector->triangles[t];
                if (mask == 0 || OvCollisionTestBoxTriangle(&q.t.box, &sector->vertices[tri.vertIndex[0]],
                                                            &sector->vertices[tri.vertIndex[1]],
                                                            &sector->vertices[tri.vertIndex[2]])) {
                    found.push_back({sector, t, 0});
                }
            }
        }
        EXPECT_LE(*std::max_element(seen.begin(), seen.end()), 1) << i;
        std::sort(found.begin(), found.end());
        std::vector<Hit> brute = Brute(world, q);
        std::erase_if(brute, [&](const Hit& h) { return h.sector != sector; });
        ExpectSame(found, brute, "iterator", i);
    }
    OvWorldDestroy(world);
}

// A morphed atomic answers as a geometry holding the blended vertices.
TEST_F(CollisionWorldTest, MorphedAtomic) {
    std::mt19937 rng(13);
    std::uniform_real_distribution<float> where(-5, 5);
    constexpr int kTriangles = 300;
    OvGeometry* morphed = OvGeometryCreate(3 * kTriangles, kTriangles, 0);
    OvGeometry* blended = OvGeometryCreate(3 * kTriangles, kTriangles, 0);
    ASSERT_EQ(OvGeometryAddMorphTargets(morphed, 2), 1);
    const float f = 0.375f;
    for (int v = 0; v < 3 * kTriangles; ++v) {
        OvV3d* targets[3] = {&morphed->morphTarget[0].verts[v], &morphed->morphTarget[1].verts[v],
                             &morphed->morphTarget[2].verts[v]};
        for (OvV3d* t : targets) {
            *t = {where(rng), where(rng), where(rng)};
        }
        const OvV3d& a = *targets[1];
        const OvV3d& b = *targets[2];
        blended->morphTarget[0].verts[v] = {a.x + (b.x - a.x) * f, a.y + (b.y - a.y) * f, a.z + (b.z - a.z) * f};
    }
    for (int t = 0; t < kTriangles; ++t) {
        for (int k = 0; k < 3; ++k) {
            morphed->triangles[t].vertIndex[k] = blended->triangles[t].vertIndex[k] = static_cast<OvUInt16>(3 * t + k);
        }
    }
    OvAtomic* atomic = OvAtomicCreate();
    OvFrame* frame = OvFrameCreate();
    OvAtomicSetFrame(atomic, frame);
    OvAtomicSetGeometry(atomic, morphed, 0);
    atomic->interpolator.startMorphTarget = 1;
    atomic->interpolator.endMorphTarget = 2;
    atomic->interpolator.time = 2;
    atomic->interpolator.recipTime = 0.5f;
    atomic->interpolator.position = 0.75f;
    struct GHit {
        OvInt32 index;
        float distance;
        bool operator==(const GHit&) const = default;
    };
    auto collect = [](OvIntersection*, OvCollisionTriangle* tri, float d, void* data) -> OvCollisionTriangle* {
        static_cast<std::vector<GHit>*>(data)->push_back({tri->index, d});
        return tri;
    };
    int hits = 0;
    for (int i = 0; i < 200; ++i) {
        OvIntersection q{};
        if (i % 2 == 0) {
            q = Line({where(rng), where(rng), where(rng)}, {where(rng), where(rng), where(rng)});
        } else {
            q.type = ovINTERSECTSPHERE;
            q.t.sphere = {{where(rng), where(rng), where(rng)}, 1.5f};
        }
        std::vector<GHit> got;
        std::vector<GHit> want;
        OvCollisionAtomicForAllIntersections(atomic, &q, collect, &got);
        OvCollisionGeometryForAllIntersections(blended, &q, collect, &want);
        ASSERT_EQ(got.size(), want.size()) << i;
        for (std::size_t k = 0; k < got.size(); ++k) {
            EXPECT_EQ(got[k].index, want[k].index);
            EXPECT_NEAR(got[k].distance, want[k].distance, 1e-5f);
        }
        hits += static_cast<int>(got.size());
    }
    EXPECT_GT(hits, 50);
    OvAtomicDestroy(atomic);
    OvFrameDestroy(frame);
    OvGeometryDestroy(morphed);
    OvGeometryDestroy(blended);
}

} // namespace
