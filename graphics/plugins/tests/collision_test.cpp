// Collision queries: the known triangle's table, boxes over a floor tile's shared edge and
// corners, tree walks equal to brute force on random soups, the data stream's byte-exact round
// trip and its refusal of bad references, read in place as through a stream; on worlds, the sector walk and each sector's tree report
// exactly what testing every triangle of a generated level reports, for random lines, eye-height
// rays, lines lying on the split planes, spheres, boxes and atomics; sectors without data are
// tested triangle by triangle; the box iterator and morphed atomics.

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <random>
#include <tuple>
#include <utility>
#include <vector>

#include "graphics/core/frame.h"
#include "graphics/core/memory.h"
#include "graphics/core/stream.h"
#include "graphics/plugins/collision.h"
#include "graphics/world/clump.h"
#include "graphics/world/geometry.h"
#include "graphics/world/tests/level_kit.h"
#include "graphics/world/tests/world_test_kit.h"
#include "tools/mkasset/collision_tree.h"
#include "tools/mkasset/level_builder.h"

namespace {

using worldtest::Bytes;

void AttachCollision() { OvCollisionPluginAttach(); }

class CollisionTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(worldtest::EngineUp(AttachCollision)); }
    void TearDown() override { EXPECT_TRUE(OvTestEngineDown()); }
};

struct Hit {
    OvInt32 index;
    float distance;
    bool operator<(const Hit& o) const { return index < o.index || (index == o.index && distance < o.distance); }
    bool operator==(const Hit& o) const { return index == o.index && distance == o.distance; }
};

OvCollisionTriangle* Collect(OvIntersection*, OvCollisionTriangle* tri, float distance, void* data) {
    static_cast<std::vector<Hit>*>(data)->push_back({tri->index, distance});
    return tri;
}
OvCollisionTriangle* StopAtOnce(OvIntersection*, OvCollisionTriangle*, float, void* data) {
    ++*static_cast<int*>(data);
    return nullptr;
}

OvCollisionData* ReadBody(const Bytes& body, OvInt32 objectTriangles, bool* streamOk = nullptr) {
    OvStream* stream = worldtest::OpenBytes(body);
    OvCollisionData* data = nullptr;
    const OvBool ok = OvCollisionDataRead(stream, static_cast<OvInt32>(body.size()), nullptr, objectTriangles, &data);
    OvStreamClose(stream, nullptr);
    if (streamOk != nullptr) {
        *streamOk = ok != 0;
    }
    return data;
}

Bytes WriteBody(const OvCollisionData* data) {
    OvStream* out = OvStreamOpen(ovSTREAMMEMORY, ovSTREAMWRITE, nullptr);
    EXPECT_NE(OvCollisionDataWrite(out, data), nullptr);
    OvMemory memory = {};
    OvStreamClose(out, &memory);
    Bytes bytes(memory.start, memory.start + memory.length);
    OvFree(memory.start);
    return bytes;
}

struct Soup {
    std::vector<float> positions;
    std::vector<std::array<std::uint16_t, 3>> triangles;
};

Soup RandomSoup(std::mt19937& rng, int count) {
    std::uniform_real_distribution<float> where(-10, 10);
    std::uniform_real_distribution<float> offset(-1.5f, 1.5f);
    Soup s;
    while (static_cast<int>(s.triangles.size()) < count) {
        const float c[3] = {where(rng), where(rng), where(rng)};
        float p[9];
        for (int k = 0; k < 9; ++k) {
            p[k] = c[k % 3] + offset(rng);
        }
        const float e1[3] = {p[3] - p[0], p[4] - p[1], p[5] - p[2]};
        const float e2[3] = {p[6] - p[0], p[7] - p[1], p[8] - p[2]};
        const float n[3] = {e1[1] * e2[2] - e1[2] * e2[1], e1[2] * e2[0] - e1[0] * e2[2],
                            e1[0] * e2[1] - e1[1] * e2[0]};
        if (n[0] * n[0] + n[1] * n[1] + n[2] * n[2] < 0.01f) {
            continue; // degenerate triangles are reported untested inside boxes but refused by the tests
        }
        const auto base = static_cast<std::uint16_t>(s.positions.size() / 3);
        s.positions.insert(s.positions.end(), p, p + 9);
        s.triangles.push_back({base, static_cast<std::uint16_t>(base + 1), static_cast<std::uint16_t>(base + 2)});
    }
    return s;
}

OvGeometry* MakeGeometry(const Soup& s) {
    OvGeometry* g =
        OvGeometryCreate(static_cast<OvInt32>(s.positions.size() / 3), static_cast<OvInt32>(s.triangles.size()), 0);
    for (std::size_t v = 0; v < s.positions.size() / 3; ++v) {
        g->morphTarget[0].verts[v] = {s.positions[3 * v], s.positions[3 * v + 1], s.positions[3 * v + 2]};
    }
    for (std::size_t t = 0; t < s.triangles.size(); ++t) {
        for (int k = 0; k < 3; ++k) {
            g->triangles[t].vertIndex[k] = s.triangles[t][k];
        }
        g->triangles[t].matIndex = 0;
    }
    return g;
}

std::vector<Hit> Query(OvGeometry* g, OvIntersection q) {
    std::vector<Hit> hits;
    OvCollisionGeometryForAllIntersections(g, &q, Collect, &hits);
    std::sort(hits.begin(), hits.end());
    return hits;
}

const OvV3d kA{0, 0, 0};
const OvV3d kB{1, 0, 0};
const OvV3d kC{0, 1, 0};

bool LineHits(OvV3d s, OvV3d e, float* t) {
    OvLine line{s, e};
    return OvCollisionTestLineTriangle(&line, &kA, &kB, &kC, t) != 0;
}

TEST_F(CollisionTest, KnownTriangleLines) {
    float t = 0;
    ASSERT_TRUE(LineHits({.25f, .25f, 1}, {.25f, .25f, -1}, &t));
    EXPECT_NEAR(t, 0.5f, 1e-6f);
    EXPECT_FALSE(LineHits({.25f, .25f, -1}, {.25f, .25f, 1}, &t));    // from the back
    EXPECT_FALSE(LineHits({-1, .25f, 0}, {2, .25f, 0}, &t));          // in the plane
    EXPECT_FALSE(LineHits({.25f, .25f, 1}, {.25f, .25f, 1}, &t));     // start equals end
    EXPECT_FALSE(LineHits({.25f, .25f, 1}, {.25f, .25f, 0.5f}, &t));  // stops short
    ASSERT_TRUE(LineHits({.25f, .25f, 1}, {.25f, .25f, -1e-7f}, &t)); // just past the plane
    EXPECT_NEAR(t, 1.0f, 1e-5f);
    EXPECT_TRUE(LineHits({0, .5f, 1}, {0, .5f, -1}, &t)); // grazes the edge x = 0
    EXPECT_FALSE(LineHits({-1e-3f, .5f, 1}, {-1e-3f, .5f, -1}, &t));

    Soup s{{0, 0, 0, 1, 0, 0, 0, 1, 0}, {{0, 1, 2}}};
    OvGeometry* g = MakeGeometry(s);
    std::vector<Hit> hits;
    OvCollisionTriangle seen{};
    OvIntersection q{};
    q.type = ovINTERSECTLINE;
    q.t.line = {{.25f, .25f, 1}, {.25f, .25f, -1}};
    auto grab = [](OvIntersection*, OvCollisionTriangle* tri, float, void* data) -> OvCollisionTriangle* {
        *static_cast<OvCollisionTriangle*>(data) = *tri;
        return tri;
    };
    OvCollisionGeometryForAllIntersections(g, &q, grab, &seen);
    EXPECT_NEAR(seen.normal.z, 1.0f, 1e-3f);
    EXPECT_EQ(seen.index, 0);
    EXPECT_EQ(seen.point.x, 0.0f);
    q.type = ovINTERSECTPOINT; // points find nothing
    EXPECT_TRUE(Query(g, q).empty());
    OvGeometryDestroy(g);
}

// Spheres by their distance from the plane and the edges (the distance signed by the side of a
// hit); boxes just touching a corner or above the plane (boxes across it are the floor sweep's).
TEST_F(CollisionTest, KnownTriangleSphereAndBox) {
    struct Case {
        OvSphere s;
        int expect;
        float distance;
    };
    const Case cases[] = {{{{.25f, .25f, .5f}, .6f}, 1, .5f}, {{{.25f, .25f, -.5f}, .6f}, 1, -.5f},
                          {{{.25f, .25f, .5f}, .5f}, 0, 0},   {{{-.5f, -.5f, 0}, .6f}, 0, 0},
                          {{{-.5f, -.5f, 0}, .75f}, 1, 0},    {{{.6f, .6f, 0}, .1f}, 0, 0},
                          {{{.6f, .6f, 0}, .15f}, 1, 0}};
    for (const Case& c : cases) {
        OvV3d n;
        float d = 0;
        ASSERT_EQ(OvCollisionTestSphereTriangle(&c.s, &kA, &kB, &kC, &n, &d), c.expect)
            << c.s.center.x << " r " << c.s.radius;
        if (c.distance != 0) {
            EXPECT_NEAR(d, c.distance, 1e-3f);
        }
    }
    const OvBBox touching{{0, 0, 1}, {-1, -1, 0}}; // A lies on its sup corner
    EXPECT_EQ(OvCollisionTestBoxTriangle(&touching, &kA, &kB, &kC), 1);
    const OvBBox high{{2, 2, 2}, {-2, -2, .1f}};
    EXPECT_EQ(OvCollisionTestBoxTriangle(&high, &kA, &kB, &kC), 0);
}

// A floor tile split along its diagonal, as the level builder writes it, under boxes straddling
// the floor: a box meets a closed triangle exactly when its ground rectangle does (separating
// axes in the plane). Boxes centred on the shared diagonal, on the tile's corners and on a fine
// grid round them, of several sizes, clear of grazing contacts the float test cannot tell.
TEST_F(CollisionTest, BoxesOverSharedEdgesAndCornersOfAFloor) {
    const OvV3d corner[4] = {{0, 0, 0}, {0, 0, 1}, {1, 0, 1}, {1, 0, 0}};
    const OvV3d* tris[2][3] = {{&corner[0], &corner[1], &corner[2]}, {&corner[0], &corner[2], &corner[3]}};
    // Signed gap between the rectangle and the triangle on the ground (x, z): negative when they
    // overlap, the largest separation over the axes otherwise.
    const auto gap = [](const OvV3d* const* t, double x0, double z0, double x1, double z1) {
        double worst = -1e30;
        const auto axis = [&](double ax, double az) {
            double tlo = 1e30, thi = -1e30;
            for (int k = 0; k < 3; ++k) {
                const double p = ax * t[k]->x + az * t[k]->z;
                tlo = std::min(tlo, p);
                thi = std::max(thi, p);
            }
            const double r[4] = {ax * x0 + az * z0, ax * x1 + az * z0, ax * x0 + az * z1, ax * x1 + az * z1};
            const double rlo = *std::min_element(r, r + 4), rhi = *std::max_element(r, r + 4);
            worst = std::max(worst, std::max(rlo - thi, tlo - rhi) / std::hypot(ax, az));
        };
        axis(1, 0);
        axis(0, 1);
        for (int k = 0; k < 3; ++k) {
            axis(-(t[(k + 1) % 3]->z - t[k]->z), t[(k + 1) % 3]->x - t[k]->x);
        }
        return worst;
    };
    std::vector<std::pair<float, float>> centres;
    for (int i = 0; i <= 16; ++i) {
        centres.emplace_back(i / 16.0f, i / 16.0f); // the shared diagonal, its ends the corners
    }
    for (int i = -4; i <= 20; ++i) {
        for (int j = -4; j <= 20; ++j) {
            centres.emplace_back(i / 16.0f + 0.003f, j / 16.0f - 0.002f);
        }
    }
    int found = 0, checked = 0;
    for (const float half : {0.05f, 0.41f, 0.8f}) {
        for (const auto& [x, z] : centres) {
            const OvBBox box{{x + half, 0.818343f, z + half}, {x - half, -0.00165747f, z - half}};
            for (const auto& t : tris) {
                const double g = gap(t, box.inf.x, box.inf.z, box.sup.x, box.sup.z);
                if (std::fabs(g) < 1e-4) {
                    continue; // grazing
                }
                ++checked;
                const int meets = OvCollisionTestBoxTriangle(&box, t[0], t[1], t[2]);
                EXPECT_EQ(meets, g < 0 ? 1 : 0) << "box " << half << " at " << x << ", " << z;
                found += meets;
            }
        }
    }
    EXPECT_GT(checked, 3000);
    EXPECT_GT(found, checked / 3);
}

// The tree walks report exactly the triangles and fractions testing every triangle reports.
TEST_F(CollisionTest, TreeEqualsBruteForce) {
    std::mt19937 rng(33);
    const Soup soup = RandomSoup(rng, 2000);
    std::uniform_real_distribution<float> where(-12, 12);
    std::uniform_real_distribution<float> size(0.1f, 4);
    for (int leaf : {1, 8, 254}) {
        OvGeometry* g = MakeGeometry(soup);
        const mkasset::CollisionTree tree = mkasset::BuildCollisionTree(soup.positions, soup.triangles, leaf);
        OvCollisionData* data = ReadBody(mkasset::CollisionBody(tree), g->numTriangles);
        ASSERT_NE(data, nullptr) << leaf;
        int hitsSeen = 0;
        for (int i = 0; i < 300; ++i) {
            OvIntersection q{};
            switch (i % 3) {
            case 0:
                q.type = ovINTERSECTLINE;
                q.t.line = {{where(rng), where(rng), where(rng)}, {where(rng), where(rng), where(rng)}};
                break;
            case 1:
                q.type = ovINTERSECTSPHERE;
                q.t.sphere = {{where(rng), where(rng), where(rng)}, size(rng)};
                break;
            default: {
                q.type = ovINTERSECTBOX;
                const OvV3d c{where(rng), where(rng), where(rng)};
                const float h = size(rng);
                q.t.box = {{c.x + h, c.y + h, c.z + h}, {c.x - h, c.y - 0.5f * h, c.z - 2 * h}};
            }
            }
            OvCollisionGeometrySetData(g, data);
            const std::vector<Hit> walked = Query(g, q);
            OvCollisionGeometrySetData(g, nullptr);
            data = ReadBody(mkasset::CollisionBody(tree), g->numTriangles);
            const std::vector<Hit> brute = Query(g, q);
            ASSERT_EQ(walked.size(), brute.size()) << "leaf " << leaf << " query " << i;
            for (std::size_t k = 0; k < walked.size(); ++k) {
                EXPECT_EQ(walked[k].index, brute[k].index);
                if (q.type != ovINTERSECTSPHERE) {
                    EXPECT_EQ(walked[k].distance, brute[k].distance);
                } else {
                    EXPECT_NEAR(walked[k].distance, brute[k].distance, 1e-3f);
                }
            }
            hitsSeen += static_cast<int>(walked.size());
        }
        EXPECT_GT(hitsSeen, 100);
        // A callback returning null stops the walk after exactly one call.
        OvCollisionGeometrySetData(g, data);
        OvIntersection all{};
        all.type = ovINTERSECTBOX;
        all.t.box = {{20, 20, 20}, {-20, -20, -20}};
        int calls = 0;
        OvCollisionGeometryForAllIntersections(g, &all, StopAtOnce, &calls);
        EXPECT_EQ(calls, 1);
        OvGeometryDestroy(g);
    }
}

TEST_F(CollisionTest, StreamRoundTripAndRefusals) {
    std::mt19937 rng(7);
    const Soup soup = RandomSoup(rng, 300);
    for (int leaf : {1, 8, 254, 400}) {
        const Bytes body = mkasset::CollisionBody(mkasset::BuildCollisionTree(soup.positions, soup.triangles, leaf));
        OvCollisionData* data = ReadBody(body, 300);
        ASSERT_NE(data, nullptr);
        EXPECT_EQ(WriteBody(data), body);
        EXPECT_EQ(OvCollisionDataGetStreamSize(data), static_cast<OvInt32>(body.size()));
        OvCollisionDataDestroy(data);
        // Every truncation fails cleanly.
        for (std::size_t n = 0; n < body.size(); n += 7) {
            bool ok = true;
            EXPECT_EQ(ReadBody(Bytes(body.begin(), body.begin() + static_cast<std::ptrdiff_t>(n)), 300, &ok), nullptr);
        }
    }
    mkasset::CollisionTree tree = mkasset::BuildCollisionTree(soup.positions, soup.triangles, 8);
    bool ok = false;
    EXPECT_EQ(ReadBody(mkasset::CollisionBody(tree), 299), nullptr); // map entries past the triangles
    mkasset::CollisionTree bad = tree;
    bad.nodes[3].right.index = static_cast<std::uint16_t>(tree.nodes.size()); // node past the array
    EXPECT_EQ(ReadBody(mkasset::CollisionBody(bad), 300, &ok), nullptr);
    EXPECT_TRUE(ok);
    bad = tree;
    bad.nodes[2].left = {0, mkasset::kCollisionNodeRef, 0}; // a cycle back to the root
    EXPECT_EQ(ReadBody(mkasset::CollisionBody(bad), 300), nullptr);
    bad = tree;
    std::size_t last = 0; // the rightmost leaf's run, one longer than the map
    while (bad.nodes[last].right.kind == mkasset::kCollisionNodeRef) {
        last = bad.nodes[last].right.index;
    }
    bad.nodes[last].right.kind++;
    EXPECT_EQ(ReadBody(mkasset::CollisionBody(bad), 300), nullptr);
    // A chain 40 nodes deep is deeper than the walk stacks.
    mkasset::CollisionTree deep;
    deep.numTriangles = 41;
    for (std::uint16_t i = 0; i < 41; ++i) {
        deep.map.push_back(i);
    }
    for (std::uint16_t i = 0; i < 40; ++i) {
        const mkasset::CollisionRef next =
            i + 1 < 40 ? mkasset::CollisionRef{0, mkasset::kCollisionNodeRef, static_cast<std::uint16_t>(i + 1)}
                       : mkasset::CollisionRef{0, 1, 40};
        deep.nodes.push_back({{0, 1, i}, 0, next, 0});
    }
    EXPECT_EQ(ReadBody(mkasset::CollisionBody(deep), 41), nullptr);
    deep.nodes.resize(20);
    deep.nodes.back().right = {0, 21, 19};
    OvCollisionData* shallow = ReadBody(mkasset::CollisionBody(deep), 41);
    EXPECT_NE(shallow, nullptr);
    OvCollisionDataDestroy(shallow);
}

// What one read of a body gives: its result, error, the bytes it took and the data as stored.
struct BodyRead {
    bool ok = false;
    OvInt32 error = 0;
    std::size_t taken = 0;
    Bytes stored; // written back, empty when refused
    std::vector<OvUInt16> map;
    bool operator==(const BodyRead&) const = default;
};

// The reader takes a body where a memory stream holds it (in one look) and through a stream of
// callbacks (piece by piece) alike: the same data, refusals, errors and bytes taken, for whole
// bodies, bodies with a byte changed (every byte of the headers, some of the nodes and map), with
// a tail behind the data, and cut short.
TEST_F(CollisionTest, BodiesReadInPlaceAsThroughTheStream) {
    // In place the body also lies 1 and 2 bytes past an aligned start (its nodes and map then
    // not aligned as records).
    const auto readOnce = [](OvStream* stream, const Bytes& body, OvInt32 objectTriangles,
                             const worldtest::PieceSource* source, OvUInt32 shift = 0) {
        BodyRead r;
        OvCollisionData* data = nullptr;
        if (shift > 0) {
            OvStreamSkip(stream, shift);
        }
        r.ok = OvCollisionDataRead(stream, static_cast<OvInt32>(body.size()), nullptr, objectTriangles, &data) != 0;
        r.error = worldtest::TakeError();
        r.taken = source != nullptr ? source->at : stream->Type.memory.position - shift;
        if (data != nullptr) {
            r.stored = WriteBody(data);
            if (data->map != nullptr) {
                r.map.assign(data->map, data->map + data->numTriangles);
            }
            OvCollisionDataDestroy(data);
        }
        OvStreamClose(stream, nullptr);
        return r;
    };
    std::mt19937 rng(19);
    // A long map and short ones (up to sixteen entries are bounded in one step in place).
    std::vector<Bytes> cases;
    std::vector<OvInt32> triangles; // the soup of each case
    for (int size : {120, 16, 9, 5, 1}) {
        const Soup soup = RandomSoup(rng, size);
        for (int leaf : {1, 8, 254}) {
            const Bytes body =
                mkasset::CollisionBody(mkasset::BuildCollisionTree(soup.positions, soup.triangles, leaf));
            cases.push_back(body);
            for (std::size_t i = 0; i < body.size(); ++i) {
                if (i >= 64 && rng() % 16 != 0) {
                    continue;
                }
                for (OvUInt8 value : {OvUInt8{0}, OvUInt8{0xFF}, static_cast<OvUInt8>(body[i] ^ 1)}) {
                    Bytes changed = body;
                    changed[i] = value;
                    cases.push_back(changed);
                }
            }
            Bytes tail = body;
            tail.insert(tail.end(), {1, 2, 3, 4, 5});
            cases.push_back(tail);
            cases.push_back(Bytes(body.begin(), body.begin() + static_cast<std::ptrdiff_t>(body.size() / 2)));
            triangles.resize(cases.size(), size);
        }
    }
    int kept = 0;
    for (std::size_t c = 0; c < cases.size(); ++c) {
        // The soup's count, and one less: its map's largest entry is then one too many.
        for (OvInt32 objectTriangles : {triangles[c], triangles[c] - 1, 0}) {
            const BodyRead inPlace = readOnce(worldtest::OpenBytes(cases[c]), cases[c], objectTriangles, nullptr);
            worldtest::PieceSource source{&cases[c], 0};
            const BodyRead through = readOnce(worldtest::OpenPieceByPiece(&source), cases[c], objectTriangles, &source);
            ASSERT_EQ(inPlace, through) << "case " << c << ", " << objectTriangles << " triangles";
            for (OvUInt32 shift : {1u, 2u}) {
                Bytes shifted(shift, 0);
                shifted.insert(shifted.end(), cases[c].begin(), cases[c].end());
                ASSERT_EQ(readOnce(worldtest::OpenBytes(shifted), cases[c], objectTriangles, nullptr, shift), through)
                    << "case " << c << ", " << objectTriangles << " triangles, " << shift << " bytes past";
            }
            kept += inPlace.stored.empty() ? 0 : 1;
        }
    }
    EXPECT_GT(kept, 100);
}

// A dense cluster and triangles ever further apart and larger make the builder's surface-area
// splits uneven; the tree must still fit the walks' stacks and answer as testing every triangle
// does.
TEST_F(CollisionTest, LopsidedSoupsStayWithinTheStacks) {
    Soup s;
    std::vector<float> starts;
    for (int i = 0; i < 2000; ++i) {
        starts.push_back(0.001f * static_cast<float>(i));
    }
    for (float x = 2; x < 1e8f; x *= 1.3f) {
        starts.push_back(x);
    }
    const float x = starts.back();
    for (float at : starts) {
        const float w = std::max(0.5f, at * 0.01f);
        const auto base = static_cast<std::uint16_t>(s.positions.size() / 3);
        s.positions.insert(s.positions.end(), {at, 0, 0, at + w, 0, 1, at, 1, 0});
        s.triangles.push_back({base, static_cast<std::uint16_t>(base + 1), static_cast<std::uint16_t>(base + 2)});
    }
    const auto n = static_cast<OvInt32>(s.triangles.size());
    for (int leaf : {1, 8}) {
        const mkasset::CollisionTree tree = mkasset::BuildCollisionTree(s.positions, s.triangles, leaf);
        int deepest = 0;
        std::vector<std::pair<mkasset::CollisionRef, int>> pending{{{0, mkasset::kCollisionNodeRef, 0}, 1}};
        while (!pending.empty()) {
            const auto [ref, depth] = pending.back();
            pending.pop_back();
            if (ref.kind == mkasset::kCollisionNodeRef) {
                deepest = std::max(deepest, depth);
                pending.push_back({tree.nodes[ref.index].left, depth + 1});
                pending.push_back({tree.nodes[ref.index].right, depth + 1});
            }
        }
        EXPECT_LE(deepest, ovCOLLISIONMAXDEPTH);
        OvGeometry* bare = MakeGeometry(s);
        OvGeometry* g = MakeGeometry(s);
        OvCollisionData* data = ReadBody(mkasset::CollisionBody(tree), n);
        ASSERT_NE(data, nullptr) << leaf;
        OvCollisionGeometrySetData(g, data);
        std::mt19937 rng(static_cast<unsigned>(leaf));
        std::uniform_real_distribution<float> along(0, x);
        for (int i = 0; i < 200; ++i) {
            OvIntersection q{};
            q.type = ovINTERSECTLINE;
            q.t.line = {{along(rng), 0.3f, 2}, {along(rng), 0.2f, -2}};
            EXPECT_EQ(Query(g, q), Query(bare, q)) << i;
        }
        OvGeometryDestroy(g);
        OvGeometryDestroy(bare);
    }
}

// Lines and spheres against a moved, turned and scaled atomic find what the same primitives taken
// into the geometry's space find on the bare geometry; points and boxes find nothing.
TEST_F(CollisionTest, AtomicUnderTransform) {
    std::mt19937 rng(5);
    const Soup soup = RandomSoup(rng, 400);
    OvGeometry* g = MakeGeometry(soup);
    OvCollisionGeometrySetData(
        g, ReadBody(mkasset::CollisionBody(mkasset::BuildCollisionTree(soup.positions, soup.triangles, 8)),
                    g->numTriangles));
    OvFrame* frame = OvFrameCreate();
    const OvV3d axis{0.6f, 0, 0.8f};
    const OvV3d scale{2, 2, 2};
    const OvV3d move{10, -3, 4};
    OvFrameRotate(frame, &axis, 37.0f, ovCOMBINEREPLACE);
    OvFrameScale(frame, &scale, ovCOMBINEPOSTCONCAT);
    OvFrameTranslate(frame, &move, ovCOMBINEPOSTCONCAT);
    OvAtomic* atomic = OvAtomicCreate();
    OvAtomicSetGeometry(atomic, g, 0);
    OvAtomicSetFrame(atomic, frame);
    const OvMatrix* world = OvFrameGetWorldMatrix(frame);
    std::uniform_real_distribution<float> where(-12, 12);
    int hits = 0;
    for (int i = 0; i < 200; ++i) {
        OvIntersection local{};
        OvIntersection moved{};
        if (i % 2 == 0) {
            local.type = ovINTERSECTLINE;
            local.t.line = {{where(rng), where(rng), where(rng)}, {where(rng), where(rng), where(rng)}};
            moved.type = ovINTERSECTLINE;
            OvV3dTransformPoint(&moved.t.line.start, &local.t.line.start, world);
            OvV3dTransformPoint(&moved.t.line.end, &local.t.line.end, world);
        } else {
            local.type = ovINTERSECTSPHERE;
            local.t.sphere = {{where(rng), where(rng), where(rng)}, 2};
            moved.type = ovINTERSECTSPHERE;
            OvV3dTransformPoint(&moved.t.sphere.center, &local.t.sphere.center, world);
            moved.t.sphere.radius = 4;
        }
        const std::vector<Hit> expect = Query(g, local);
        std::vector<Hit> got;
        OvCollisionAtomicForAllIntersections(atomic, &moved, Collect, &got);
        std::sort(got.begin(), got.end());
        ASSERT_EQ(got.size(), expect.size()) << i;
        for (std::size_t k = 0; k < got.size(); ++k) {
            EXPECT_EQ(got[k].index, expect[k].index);
            EXPECT_NEAR(got[k].distance, expect[k].distance, 2e-3f);
        }
        hits += static_cast<int>(got.size());
    }
    EXPECT_GT(hits, 20);
    OvIntersection box{};
    box.type = ovINTERSECTBOX;
    box.t.box = {{100, 100, 100}, {-100, -100, -100}};
    std::vector<Hit> none;
    OvCollisionAtomicForAllIntersections(atomic, &box, Collect, &none);
    box.type = ovINTERSECTPOINT;
    OvCollisionAtomicForAllIntersections(atomic, &box, Collect, &none);
    EXPECT_TRUE(none.empty());
    OvAtomicDestroy(atomic);
    OvFrameDestroy(frame);
    OvGeometryDestroy(g);
}

// Old-layout data read with a geometry answer as the same tree in the new layout does; a leaf
// over 239 triangles leaves the geometry without data and the extensions after it still read.
TEST_F(CollisionTest, OldLayout) {
    std::mt19937 rng(11);
    const Soup soup = RandomSoup(rng, 200);
    const mkasset::CollisionTree tree = mkasset::BuildCollisionTree(soup.positions, soup.triangles, 8);
    mkasset::ChunkWriter old;
    old.U32(static_cast<std::uint32_t>(tree.nodes.size() + 1));
    old.U32(tree.numTriangles);
    std::vector<mkasset::CollisionRef> leaves;
    auto kind = [](const mkasset::CollisionRef& r) { return r.kind == mkasset::kCollisionNodeRef ? 2u : 0u; };
    for (const mkasset::CollisionNode& n : tree.nodes) {
        old.U32(kind(n.right) | (kind(n.left) << 8) | (std::uint32_t{n.left.flags} << 16));
        old.U32((std::uint32_t{n.left.index} << 16) | n.right.index);
        old.F32(n.leftMax);
        old.F32(n.rightMin);
    }
    std::vector<mkasset::CollisionRef> stack{{0, mkasset::kCollisionNodeRef, 0}};
    while (!stack.empty()) {
        const mkasset::CollisionRef r = stack.back();
        stack.pop_back();
        if (r.kind == mkasset::kCollisionNodeRef) {
            stack.push_back(tree.nodes[r.index].right);
            stack.push_back(tree.nodes[r.index].left);
        } else {
            old.U32((std::uint32_t{r.kind} << 16) | r.index);
        }
    }
    for (std::uint16_t m : tree.map) {
        old.U32(m);
    }
    OvBBox box{{tree.sup[0], tree.sup[1], tree.sup[2]}, {tree.inf[0], tree.inf[1], tree.inf[2]}};
    OvStream* stream = worldtest::OpenBytes(old.Data());
    OvCollisionData* oldData = nullptr;
    ASSERT_TRUE(OvCollisionDataRead(stream, static_cast<OvInt32>(old.Size()), &box, 200, &oldData));
    OvStreamClose(stream, nullptr);
    ASSERT_NE(oldData, nullptr);
    OvGeometry* g = MakeGeometry(soup);
    OvGeometry* h = MakeGeometry(soup);
    OvCollisionGeometrySetData(g, oldData);
    OvCollisionGeometrySetData(h, ReadBody(mkasset::CollisionBody(tree), 200));
    std::uniform_real_distribution<float> where(-12, 12);
    for (int i = 0; i < 100; ++i) {
        OvIntersection q{};
        q.type = i % 2 == 0 ? ovINTERSECTLINE : ovINTERSECTSPHERE;
        if (i % 2 == 0) {
            q.t.line = {{where(rng), where(rng), where(rng)}, {where(rng), where(rng), where(rng)}};
        } else {
            q.t.sphere = {{where(rng), where(rng), where(rng)}, 3};
        }
        EXPECT_EQ(Query(g, q), Query(h, q)) << i;
    }
    OvGeometryDestroy(g);
    OvGeometryDestroy(h);

    // One node with a leaf of 240 on the left, then a word that must still be there to read.
    mkasset::ChunkWriter big;
    big.U32(2);
    big.U32(241);
    big.U32(0);
    big.U32(0);
    big.F32(1);
    big.F32(0);
    big.U32(240u << 16);
    big.U32((1u << 16) | 240);
    for (std::uint32_t i = 0; i < 241; ++i) {
        big.U32(i);
    }
    big.U32(0xC0FFEE);
    const std::size_t body = big.Size() - 4;
    stream = worldtest::OpenBytes(big.Data());
    OvCollisionData* refused = reinterpret_cast<OvCollisionData*>(&box);
    EXPECT_TRUE(OvCollisionDataRead(stream, static_cast<OvInt32>(body), nullptr, 241, &refused));
    EXPECT_EQ(refused, nullptr);
    EXPECT_EQ(worldtest::TakeError(), ovERRCOLLISIONLEAFTOOBIG);
    OvUInt8 next[4] = {};
    EXPECT_EQ(OvStreamRead(stream, next, 4), 4u);
    EXPECT_EQ(next[0] | (next[1] << 8) | (next[2] << 16), 0xC0FFEE);
    OvStreamClose(stream, nullptr);
}

struct SectorHit {
    const OvWorldSector* sector;
    OvInt32 index;
    float distance;
    auto Key() const { return std::tie(sector, index, distance); }
    bool operator<(const SectorHit& o) const { return Key() < o.Key(); }
};

OvCollisionTriangle* CollectInSector(OvIntersection*, OvWorldSector* sector, OvCollisionTriangle* tri, float distance,
                             void* data) {
    static_cast<std::vector<SectorHit>*>(data)->push_back({sector, tri->index, distance});
    return tri;
}

std::vector<SectorHit> Walk(OvWorld* world, OvIntersection q) {
    std::vector<SectorHit> hits;
    EXPECT_EQ(OvCollisionWorldForAllIntersections(world, &q, CollectInSector, &hits), world);
    std::sort(hits.begin(), hits.end());
    return hits;
}

// Every triangle of every sector through the plugin's own triangle tests.
std::vector<SectorHit> Brute(OvWorld* world, const OvIntersection& q) {
    std::vector<SectorHit> hits;
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
void ExpectSame(const std::vector<SectorHit>& walked, const std::vector<SectorHit>& brute, const char* what, int i) {
    ASSERT_EQ(walked.size(), brute.size()) << what << " " << i;
    for (std::size_t k = 0; k < walked.size(); ++k) {
        ASSERT_EQ(walked[k].sector, brute[k].sector) << what << " " << i;
        ASSERT_EQ(walked[k].index, brute[k].index) << what << " " << i;
        EXPECT_NEAR(walked[k].distance, brute[k].distance, 2e-3f) << what << " " << i;
    }
}

// The level as the asset builder writes it: every sector's meshes stored, then its collision
// data (none when leaf is 0).
OvWorld* LevelWith(const mkasset::LevelOptions& options, int leaf) {
    mkasset::WorldDesc desc = mkasset::LevelWorld(options);
    for (mkasset::SectorNodeDesc& node : desc.nodes) {
        if (node.type < 0) {
            node.sector.extensions.push_back(mkasset::BinMeshExtension(
                0, mkasset::ListMeshes(node.sector.triangles, static_cast<std::uint32_t>(node.sector.materialBase))));
        }
    }
    if (leaf > 0) {
        EXPECT_TRUE(mkasset::AddWorldCollision(desc, leaf));
    }
    return worldtest::ReadWorld(mkasset::WorldFile(desc));
}

// Collision data over a sector's triangles in a heap block of their own.
OvCollisionData* SectorDataOfItsOwn(const OvWorldSector* sector, int leaf) {
    std::vector<float> positions;
    for (OvInt32 v = 0; v < sector->numVertices; ++v) {
        positions.insert(positions.end(), {sector->vertices[v].x, sector->vertices[v].y, sector->vertices[v].z});
    }
    std::vector<std::array<std::uint16_t, 3>> triangles;
    for (OvInt32 t = 0; t < sector->numTriangles; ++t) {
        const OvUInt16* v = sector->triangles[t].vertIndex;
        triangles.push_back({v[0], v[1], v[2]});
    }
    OvCollisionData* data =
        ReadBody(mkasset::CollisionBody(mkasset::BuildCollisionTree(positions, triangles, leaf)), sector->numTriangles);
    EXPECT_NE(data, nullptr);
    return data;
}

OvIntersection Line(OvV3d a, OvV3d b) {
    OvIntersection q{};
    q.type = ovINTERSECTLINE;
    q.t.line = {a, b};
    return q;
}

TEST_F(CollisionTest, WalkEqualsBruteForceOnALevel) {
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
            const std::vector<SectorHit> walked = Walk(world, q);
            ExpectSame(walked, Brute(world, q), "query", i);
            hits += static_cast<int>(walked.size());
        }
        EXPECT_GT(hits, 1000);

        // Sectors without data are tested triangle by triangle; data given to sectors after the
        // read (heap blocks, over other leaves) are walked, and freed with the world.
        for (std::size_t k = 0; k < sectors.size(); k += 2) {
            OvCollisionWorldSectorSetData(sectors[k], nullptr);
        }
        for (std::size_t k = 1; k < sectors.size(); k += 4) {
            OvCollisionWorldSectorSetData(sectors[k], SectorDataOfItsOwn(sectors[k], leaf == 8 ? 1 : 8));
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
TEST_F(CollisionTest, QueriesOnSplitPlanes) {
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
                const std::vector<SectorHit> walked = Walk(world, q);
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
            const std::vector<SectorHit> walked = Walk(world, q);
            ExpectSame(walked, Brute(world, q), "plane box", static_cast<int>(i));
            hits += static_cast<int>(walked.size());
        }
    }
    EXPECT_GT(hits, 100);
    OvWorldDestroy(world);
}

// The line test takes a hit a little past either end of the line and a little outside a
// triangle's edges; the walks' box clips must not lose those.
TEST_F(CollisionTest, HitsJustPastTheEnds) {
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
            const std::vector<SectorHit> walked = Walk(world, q);
            ExpectSame(walked, Brute(world, q), "just short", i);
            hits += static_cast<int>(walked.size());
        }
    }
    EXPECT_GE(hits, 400);
    OvWorldDestroy(world);
}

// An atomic primitive is its world bounding sphere; a null callback return stops at once; points
// find nothing.
TEST_F(CollisionTest, AtomicsPointsAndStopping) {
    mkasset::LevelOptions options;
    options.boxes = 20;
    OvWorld* world = LevelWith(options, 8);
    ASSERT_NE(world, nullptr);
    OvClump* clump = worldtest::SphereClump(1.5f, 2, 0.5f, -3);
    OvIntersection q{};
    q.type = ovINTERSECTATOMIC;
    q.t.object = worldtest::FirstAtomic(clump);
    const std::vector<SectorHit> walked = Walk(world, q);
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
TEST_F(CollisionTest, BoxIterator) {
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
        std::vector<SectorHit> found;
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
        std::vector<SectorHit> brute = Brute(world, q);
        std::erase_if(brute, [&](const SectorHit& h) { return h.sector != sector; });
        ExpectSame(found, brute, "iterator", i);
    }
    OvWorldDestroy(world);
}

// A morphed atomic answers as a geometry holding the blended vertices.
TEST_F(CollisionTest, MorphedAtomic) {
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
    int hits = 0;
    for (int i = 0; i < 200; ++i) {
        OvIntersection q{};
        if (i % 2 == 0) {
            q = Line({where(rng), where(rng), where(rng)}, {where(rng), where(rng), where(rng)});
        } else {
            q.type = ovINTERSECTSPHERE;
            q.t.sphere = {{where(rng), where(rng), where(rng)}, 1.5f};
        }
        std::vector<Hit> got;
        std::vector<Hit> want;
        OvCollisionAtomicForAllIntersections(atomic, &q, Collect, &got);
        OvCollisionGeometryForAllIntersections(blended, &q, Collect, &want);
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
