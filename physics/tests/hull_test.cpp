#include "physics/qhull/convex_hull.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <random>
#include <string>
#include <vector>

#include "graphics/core/stream.h"
#include "graphics/core/testkit/engine_test.h"
#include "physics/core/utils/memory.h"
#include "physics/tests/physics_test.h"

namespace {

std::vector<float> CubeCorners(float lo, float hi) {
    std::vector<float> p;
    for (int c = 0; c < 8; ++c) {
        p.insert(p.end(), {(c & 1) ? hi : lo, (c & 2) ? hi : lo, (c & 4) ? hi : lo});
    }
    return p;
}

OvpConvexHull* Hull(const std::vector<float>& p, const char* command = nullptr) {
    return OvpConvexHullCreateFromPoints(static_cast<OvInt32>(p.size() / 3), p.data(), command, nullptr);
}

// Every structural promise of a hull, checked against the points it was made from.
void CheckHull(const OvpConvexHull* hull, const std::vector<float>& points) {
    const int V = hull->vertexCount, F = hull->faceCount, E = hull->edgeCount;
    EXPECT_EQ(V - E / 2 + F, 2);
    EXPECT_EQ(hull->faceFirst[F], E);
    EXPECT_EQ(hull->vertexFirst[V], E);
    float scale = 0.0f;
    for (float c : points) {
        scale = std::fmax(scale, std::fabs(c));
    }
    for (int f = 0; f < F; ++f) {
        const OvV3d& n = hull->normals[f];
        EXPECT_NEAR(OvpDot(n, n), 1.0f, 1e-5f);
        const float offset = OvpDot(n, hull->vertices[hull->edges[hull->faceFirst[f]].start]);
        for (size_t i = 0; i < points.size(); i += 3) {
            const OvV3d p = {points[i], points[i + 1], points[i + 2]};
            EXPECT_LE(OvpDot(n, p) - offset, 1e-5f * (1.0f + scale)) << "face " << f;
        }
        for (int k = hull->faceFirst[f]; k < hull->faceFirst[f + 1]; ++k) {
            const OvpHullEdge& e = hull->edges[k];
            EXPECT_EQ(e.left, f);
            // Chained round the face, counter-clockwise about the normal, with a twin.
            const int next = k + 1 < hull->faceFirst[f + 1] ? k + 1 : hull->faceFirst[f];
            EXPECT_EQ(e.end, hull->edges[next].start);
            const OvV3d a = OvpSub(hull->vertices[e.end], hull->vertices[e.start]);
            const OvV3d b = OvpSub(hull->vertices[hull->edges[next].end], hull->vertices[e.end]);
            EXPECT_GE(OvpDot(OvpCross(a, b), n), -1e-6f * (1.0f + scale * scale));
            int twins = 0;
            for (int j = 0; j < E; ++j) {
                const OvpHullEdge& t = hull->edges[j];
                if (t.start == e.end && t.end == e.start) {
                    ++twins;
                    EXPECT_EQ(t.left, e.right);
                    EXPECT_EQ(t.right, e.left);
                }
            }
            EXPECT_EQ(twins, 1);
            EXPECT_NEAR(e.invLength * std::sqrt(OvpDot(a, a)), 1.0f, 1e-5f);
        }
    }
    // Each vertex lists exactly the half-edges leaving it.
    for (int v = 0; v < V; ++v) {
        int leaving = 0;
        for (int j = 0; j < E; ++j) {
            leaving += hull->edges[j].start == v;
        }
        EXPECT_EQ(hull->vertexFirst[v + 1] - hull->vertexFirst[v], leaving);
        for (int a = hull->vertexFirst[v]; a < hull->vertexFirst[v + 1]; ++a) {
            EXPECT_EQ(hull->edges[hull->adjacency[a]].start, v);
        }
    }
    // Hill climbing from every start vertex reaches the brute-force maximum.
    std::mt19937 rng(2);
    std::normal_distribution<float> n;
    for (int trial = 0; trial < 20; ++trial) {
        const OvV3d d = {n(rng), n(rng), n(rng)};
        float best = -FLT_MAX;
        for (int v = 0; v < V; ++v) {
            best = std::fmax(best, OvpDot(d, hull->vertices[v]));
        }
        for (int start = 0; start < V; ++start) {
            OvInt32 vertex;
            EXPECT_EQ(OvpConvexHullSupport(hull, &d, start, FLT_MAX, &vertex), best);
            EXPECT_EQ(OvpDot(d, hull->vertices[vertex]), best);
        }
    }
}

TEST(PhysicsHull, UnitCubeSupportFromAnyStart) {
    // (The cube's counts and mass properties are physics_hull's --cube, checked with the physics
    // label.) A start out of range climbs from vertex 0.
    OvpConvexHull* hull = Hull(CubeCorners(0.0f, 1.0f));
    ASSERT_NE(hull, nullptr);
    const OvV3d corner = {1, 1, 1};
    for (int start = -1; start <= 8; ++start) {
        OvInt32 vertex;
        EXPECT_EQ(OvpConvexHullSupport(hull, &corner, start, FLT_MAX, &vertex), 3.0f);
    }
    EXPECT_EQ(OvpConvexHullRelease(hull), 1);
    EXPECT_EQ(OvpConvexHullRelease(nullptr), 0);
}

TEST(PhysicsHull, RandomCloudsAndPlacedBoxes) {
    std::mt19937 rng(17);
    std::normal_distribution<float> n;
    for (int trial = 0; trial < 30; ++trial) {
        // Points in a ball, and points on a sphere (every one a vertex), 5 to 80 of them.
        std::vector<float> points;
        const int count = 5 + trial * 5 % 76;
        for (int i = 0; i < count; ++i) {
            OvV3d p = {n(rng), n(rng), n(rng)};
            if (trial % 2 == 1) {
                OvpMathVec3Normalize(&p, &p);
            }
            points.insert(points.end(), {p.x, p.y, p.z});
        }
        OvpConvexHull* hull = Hull(points);
        ASSERT_NE(hull, nullptr) << trial;
        CheckHull(hull, points);
        OvpConvexHullRelease(hull);
    }
    // A placed box: the hull's mass properties are the box's.
    for (int trial = 0; trial < 10; ++trial) {
        const OvMatrix m = RandomPlacement(rng);
        // Half extents at least 0.2 apart, so that the principal axes are well defined.
        float h[3];
        h[0] = 0.3f + std::fabs(n(rng));
        h[1] = h[0] + 0.2f + std::fabs(n(rng));
        h[2] = h[1] + 0.2f + std::fabs(n(rng));
        // The corners, and from the third box on a 5 x 5 grid on every face, rounded to floats
        // after placing: near-coplanar points merge into six faces as a float build would.
        std::vector<float> points;
        const int steps = trial < 2 ? 1 : 4;
        for (int axis = 0; axis < 3; ++axis) {
            for (float side : {-1.0f, 1.0f}) {
                for (int i = 0; i <= steps; ++i) {
                    for (int j = 0; j <= steps; ++j) {
                        float local[3];
                        local[axis] = side * h[axis];
                        local[(axis + 1) % 3] = h[(axis + 1) % 3] * (2.0f * i / steps - 1.0f);
                        local[(axis + 2) % 3] = h[(axis + 2) % 3] * (2.0f * j / steps - 1.0f);
                        const OvV3d p = OvpMathTransformPoint({local[0], local[1], local[2]}, &m);
                        points.insert(points.end(), {p.x, p.y, p.z});
                    }
                }
            }
        }
        OvpConvexHull* hull = Hull(points);
        ASSERT_NE(hull, nullptr);
        EXPECT_EQ(hull->vertexCount, 8);
        EXPECT_EQ(hull->faceCount, 6);
        CheckHull(hull, points);
        OvpConvexHullComputeMassProperties(hull);
        EXPECT_NEAR(hull->volume, 8.0f * h[0] * h[1] * h[2], 1e-4f * hull->volume);
        EXPECT_NEAR(hull->centre.x, m.pos.x, 1e-5f);
        std::vector<float> want = {(h[1] * h[1] + h[2] * h[2]) / 3.0f, (h[0] * h[0] + h[2] * h[2]) / 3.0f,
                                   (h[0] * h[0] + h[1] * h[1]) / 3.0f};
        std::vector<float> got = {hull->inertia.diagonal.x, hull->inertia.diagonal.y, hull->inertia.diagonal.z};
        std::sort(want.begin(), want.end());
        std::sort(got.begin(), got.end());
        for (int i = 0; i < 3; ++i) {
            EXPECT_NEAR(got[i], want[i], 1e-4f * want[2]);
        }
        EXPECT_NEAR(hull->thickness, 2.0f * std::fmin(h[0], std::fmin(h[1], h[2])), 1e-4f);
        // As a convex volume under a further local matrix L, the tensor in the parent frame is
        // (M L)^T diag (M L): principal axes and both rotations compose in the right order.
        OvpVolume volume;
        OvpConvexInit(&volume, hull);
        volume.matrix = RandomPlacement(rng);
        OvpInertia inertia;
        OvV3d centre;
        OvpVolumeGetMassProperties(&volume, &inertia, &centre);
        OvpMatrix3 tensor{};
        OvpMathInertiaFromDiagonal(&tensor, &inertia);
        OvMatrix both;
        OvpMathMatrixMultiply(&both, &m, &volume.matrix);
        const OvV3d* rows[3] = {&both.right, &both.up, &both.at};
        const float box[3] = {(h[1] * h[1] + h[2] * h[2]) / 3.0f, (h[0] * h[0] + h[2] * h[2]) / 3.0f,
                              (h[0] * h[0] + h[1] * h[1]) / 3.0f};
        for (int i = 0; i < 3; ++i) {
            for (int j = 0; j < 3; ++j) {
                float want = 0.0f;
                for (int k = 0; k < 3; ++k) {
                    want += OvpComponent(*rows[k], i) * box[k] * OvpComponent(*rows[k], j);
                }
                EXPECT_NEAR(tensor.m[i][j], want, 1e-4f * box[0] + 1e-4f * box[2]);
            }
        }
        const OvV3d placedCentre = OvpMathTransformPoint(m.pos, &volume.matrix);
        EXPECT_NEAR(centre.z, placedCentre.z, 1e-5f);
        OvpVolumeDeinit(&volume);
        OvpConvexHullRelease(hull);
    }
}

TEST(PhysicsHull, MassPropertiesScaleWithTheShape) {
    // The corner tetrahedron of side a has principal moments a^2/40 x (2.5, 4, 2.5) per unit mass
    // (the largest along (1, 1, 1)) and there a width of a / sqrt(3), at every size.
    for (float a : {2e-4f, 0.002f, 0.05f, 1.0f, 2.0f, 300.0f}) {
        const std::vector<float> p = {0, 0, 0, a, 0, 0, 0, a, 0, 0, 0, a};
        OvpConvexHull* hull = Hull(p);
        ASSERT_NE(hull, nullptr) << a;
        OvpConvexHullComputeMassProperties(hull);
        float d[3] = {hull->inertia.diagonal.x, hull->inertia.diagonal.y, hull->inertia.diagonal.z};
        std::sort(d, d + 3);
        const float unit = a * a / 40.0f;
        EXPECT_NEAR(d[0] / unit, 2.5f, 1e-4f) << a;
        EXPECT_NEAR(d[1] / unit, 2.5f, 1e-4f) << a;
        EXPECT_NEAR(d[2] / unit, 4.0f, 1e-4f) << a;
        EXPECT_NEAR(hull->thickness / a, 1.0f / std::sqrt(3.0f), 1e-5f) << a;
        OvpConvexHullRelease(hull);
    }
}

TEST(PhysicsHull, SupportFindsTheFurthestVertexOnNearDegenerateClouds) {
    // Clouds that qhull merges within its roundoff: points on a plane, a sphere cap or a box face
    // with noise near float precision. From every start vertex the support is the best vertex,
    // for directions along the flat parts and random ones. Last, a slab one unit thick drawn out
    // to a point 9110 units away: its top merged within the roundoff of that length leaves a top
    // corner whose neighbours are all lower while another top corner lies higher.
    const float thin[][3] = {
        {9110.24580339f, 2.81518522e-07f, 0.483573979f},
        {0.884900568f, 1.0000004f, 0.479797149f},
        {-0.941989543f, 4.22817914e-07f, -0.0687546912f},
        {5.297949106f, 0.999999631f, 0.801800984f},
        {-0.0618619044f, 4.17336075e-08f, -0.506854335f},
        {0.147882376f, 0.99999973f, -0.973771621f},
        {-0.441035268f, 2.53415538e-07f, 0.8326981798f},
        {-0.993233761f, -1.545936e-07f, 0.355868499f},
        {-0.380084137f, 0.999999982f, 0.637036149f},
        {-0.368413788f, 1.95187697e-07f, -0.0375632275f},
        {-0.88599806f, 0.994f, -0.606956659f},
    };
    std::mt19937 rng(11);
    std::normal_distribution<float> normal;
    std::uniform_real_distribution<float> unit(-1.0f, 1.0f);
    int hulls = 0;
    for (int trial = 0; trial <= 300; ++trial) {
        const float noise = std::ldexp(1.0f, -(18 + trial % 8));
        std::vector<float> p;
        std::vector<OvV3d> dirs = {{0, 1, 0}, {0, -1, 0}, {1, 0, 0}, {0, 0, 1}, {-1, 0, 0}, {1, 1, 0}, {0, 1, 1e-30f}};
        const int n = trial == 300 ? 0 : 8 + trial % 40;
        for (int i = 0; i < n; ++i) {
            const float u = unit(rng), v = unit(rng);
            switch (trial % 3) {
            case 0: // a flat slab: two near planes
                p.insert(p.end(), {u, (i % 2 ? 1.0f : 0.0f) + noise * unit(rng), v});
                break;
            case 1: { // a sphere cap flattened towards a plane
                const float y = 1.0f - 0.5f * (u * u + v * v) * noise * 64.0f;
                p.insert(p.end(), {u, i < 4 ? -1.0f : y, v});
                break;
            }
            default: // a box with points on its faces
                p.insert(p.end(), {(i % 6 == 0 ? 1.0f : u) + noise * unit(rng), i % 6 == 1 ? 1.0f : v,
                                   i % 6 == 2 ? -1.0f : unit(rng) * 0.5f});
                break;
            }
        }
        for (int k = 0; k < 6 && n != 0; ++k) {
            dirs.push_back({normal(rng) * noise, 1.0f, normal(rng) * noise});
            dirs.push_back({normal(rng), normal(rng), normal(rng)});
        }
        for (const auto& c : thin) {
            if (n == 0) {
                p.insert(p.end(), {c[0], c[1], c[2]});
                dirs.push_back({c[0], c[1], c[2]});
            }
        }
        OvpConvexHull* hull = Hull(p);
        ASSERT_TRUE(hull != nullptr || n != 0);
        if (hull == nullptr) {
            continue;
        }
        ++hulls;
        const int V = hull->vertexCount;
        for (const OvV3d& d : dirs) {
            float best = -FLT_MAX;
            for (int v = 0; v < V; ++v) {
                best = std::fmax(best, OvpDot(d, hull->vertices[v]));
            }
            for (int start = 0; start < V; ++start) {
                OvInt32 vertex;
                ASSERT_EQ(OvpConvexHullSupport(hull, &d, start, FLT_MAX, &vertex), best) << "trial " << trial;
                ASSERT_EQ(OvpDot(d, hull->vertices[vertex]), best);
            }
        }
        OvpConvexHullRelease(hull);
    }
    EXPECT_GT(hulls, 200);
}

TEST(PhysicsHull, DegenerateInputFailsCleanly) {
    CountingMemory memory;
    const float nan = std::nanf("");
    const std::vector<std::vector<float>> bad = {
        {0, 0, 0, 1, 0, 0, 0, 1, 0},                         // three points
        {0, 0, 0, 1, 0, 0, 0, 1, 0, 1, 1, 0, 0.5f, 0.2f, 0}, // coplanar
        {1, 2, 3, 1, 2, 3, 1, 2, 3, 1, 2, 3, 1, 2, 3},       // one point five times
        {0, 0, 0, 1, 0, 0, 0, 1, 0, 0, 0, nan},              // not a number
        {0, 0, 0, 1, 0, 0, 0, 1, 0, 0, 0, INFINITY},
    };
    for (const auto& points : bad) {
        EXPECT_EQ(Hull(points), nullptr);
    }
    EXPECT_EQ(OvpConvexHullCreateFromPoints(4, nullptr, nullptr, nullptr), nullptr);
    EXPECT_EQ(OvpConvexHullCreateFromPoints(0, bad[0].data(), nullptr, nullptr), nullptr);
    // A caller's command is used as given; a bad one fails.
    EXPECT_EQ(Hull(CubeCorners(0, 1), "qhull NoSuchOption"), nullptr);
    // At the edge: with 100 vertices and 588 half-edges, faces up to a block of 65,535 bytes.
    OvInt32 faces = 196;
    for (OvpConvexHull* more; (more = OvpConvexHullCreate(100, 588, faces + 1)) != nullptr; ++faces) {
        OvpConvexHullRelease(more);
    }
    OvpConvexHull* largest = OvpConvexHullCreate(100, 588, faces);
    ASSERT_NE(largest, nullptr);
    EXPECT_GT(largest->size, 65535u - 32u);
    OvpConvexHullRelease(largest);
    EXPECT_EQ(memory.live(), 0);
    // Failing allocations at every step leak nothing.
    for (int fail = 0; fail < 4; ++fail) {
        CountingMemory failing(fail);
        OvpConvexHull* hull = Hull(CubeCorners(0, 1));
        if (hull != nullptr) {
            OvpConvexHullRelease(hull);
        }
        EXPECT_EQ(failing.live(), 0);
    }
    // Counts whose block would pass 65,535 bytes are refused; sections lie inside the block.
    EXPECT_EQ(OvpConvexHullCreate(2000, 6000, 4000), nullptr);
    EXPECT_EQ(OvpConvexHullCreate(70000, 3, 3), nullptr);
    OvpConvexHull* hull = OvpConvexHullCreate(100, 588, 196);
    ASSERT_NE(hull, nullptr);
    const auto* base = reinterpret_cast<const unsigned char*>(hull);
    EXPECT_LE(reinterpret_cast<const unsigned char*>(hull->adjacency + 588), base + hull->size);
    EXPECT_EQ(reinterpret_cast<std::uintptr_t>(hull->normals) % 16, reinterpret_cast<std::uintptr_t>(base) % 16);
    OvpConvexHullRelease(hull);
    EXPECT_EQ(memory.live(), 0);
}

TEST(PhysicsHull, ConvexVolumeFeaturesAndLineTest) {
    OvpConvexHull* hull = Hull(CubeCorners(-0.5f, 0.5f));
    ASSERT_NE(hull, nullptr);
    OvpVolume volume;
    ASSERT_NE(OvpConvexInit(&volume, hull), nullptr);
    OvpConvexHullRelease(hull); // the volume holds its own reference
    EXPECT_EQ(OvpConvexInit(&volume, nullptr), nullptr);
    volume.fat = 0.2f;

    OvpSupportFeature f;
    OvpSupportFeatureInit(&f);
    // A face within 45 degrees, else an edge within 30 degrees of square to the direction.
    const float r = 1.0f / std::sqrt(2.09f), s = 1.0f / std::sqrt(3.0f);
    const OvV3d face = {0, 1, 0}, edge = {r, r, 0.3f * r}, vertex = {s, s, s};
    for (OvBool flag : {0, 1}) {
        ASSERT_EQ(volume.type->supportFeature(&volume, flag, &face, &f)->count, 4);
        EXPECT_EQ(f.normal.y, 1.0f);
        const OvV3d a = OvpSub(f.vertices[1].p, f.vertices[0].p), b = OvpSub(f.vertices[2].p, f.vertices[1].p);
        EXPECT_EQ(OvpDot(OvpCross(a, b), f.normal) > 0.0f, flag == 0);
    }
    ASSERT_EQ(volume.type->supportFeature(&volume, 0, &edge, &f)->count, 2);
    EXPECT_NEAR(f.normal.x, std::sqrt(0.5f), 1e-6f);
    EXPECT_EQ(f.vertices[0].p.z + f.vertices[1].p.z, 0.0f);
    ASSERT_EQ(volume.type->supportFeature(&volume, 0, &vertex, &f)->count, 1);

    OvpInertia inertia;
    OvV3d centre;
    EXPECT_NEAR(OvpVolumeGetMassProperties(&volume, &inertia, &centre), 1.0f, 1e-6f);
    EXPECT_NEAR(volume.type->thickness(&volume), 1.0f, 1e-6f);
    OvSphere sphere;
    ASSERT_NE(OvpVolumeGetBoundingSphere(&volume, nullptr, &sphere), nullptr);
    EXPECT_GE(sphere.radius, std::sqrt(0.75f) + 0.2f - 1e-6f);
    float lo, hi;
    ASSERT_TRUE(volume.type->interval(&volume, &vertex, &lo, &hi));
    EXPECT_NEAR(hi, 1.5f * s, 1e-6f);

    SweepLineSlot("rounded hull", volume, [&](const OvV3d& p) {
        const float dx = std::fmax(std::fabs(p.x) - 0.5f, 0.0f), dy = std::fmax(std::fabs(p.y) - 0.5f, 0.0f),
                    dz = std::fmax(std::fabs(p.z) - 0.5f, 0.0f);
        return std::sqrt(dx * dx + dy * dy + dz * dz) - 0.2f;
    });
    OvpVolumeDeinit(&volume);
}

using PhysicsHullOutput = OvEngineTest;

TEST_F(PhysicsHullOutput, QHullPrintsToTheTarget) {
    // qhull's summary goes to a stream target; messages are cut at 1000 bytes; target 0 is quiet.
    OvStream* stream = OvStreamOpen(ovSTREAMMEMORY, ovSTREAMWRITE, nullptr);
    ASSERT_NE(stream, nullptr);
    std::vector<float> cube = CubeCorners(0, 1);
    OvpConvexHull* hull = OvpConvexHullCreateFromPoints(8, cube.data(), nullptr, stream);
    ASSERT_NE(hull, nullptr);
    OvpConvexHullRelease(hull);
    const std::string longText(1500, 'x');
    EXPECT_EQ(OvpQHullFputs(longText.c_str(), stream), 999);
    EXPECT_EQ(OvpQHullFprintf(nullptr, "%s", "nothing"), 0);
    OvMemory written{};
    ASSERT_TRUE(OvStreamClose(stream, &written));
    const std::string text(reinterpret_cast<const char*>(written.start), written.length);
    OvFree(written.start);
    EXPECT_NE(text.find("Convex hull of 8 points"), std::string::npos) << text;
    EXPECT_EQ(text.size() - text.find_last_not_of('x') - 1, 999u);
}

} // namespace

TEST(PhysicsHull, PrismsWithLargeCapsRestFlatOnTheirWholeCap) {
    // Prisms of 6 to 24 corners a cap (radius 0.5, height 0.5) dropped flat from 2 cm on the
    // floor plane: the cap is the contact face whatever its corner count (its vertices taken
    // from the shared point pool past the feature's own eight, the cap's extreme corners when
    // it has more than the pool's sixteen), so each rests level on four points and falls asleep
    // within 3 s. In the feature's own storage the cap is a face of at most eight corners.
    for (int corners : {6, 9, 12, 16, 24}) {
        std::vector<float> points;
        for (int k = 0; k < corners; ++k) {
            const float a = 6.2831853f * static_cast<float>(k) / static_cast<float>(corners);
            for (float y : {-0.25f, 0.25f}) {
                points.insert(points.end(), {0.5f * std::cos(a), y, 0.5f * std::sin(a)});
            }
        }
        OvpConvexHull* hull = Hull(points);
        ASSERT_NE(hull, nullptr) << corners;
        TestWorld w(1, 0, 0, {0.0f, -10.0f, 0.0f});
        const TestFloor floor(w);
        OvpBodyDef* def = OvpBodyDefCreate();
        ASSERT_NE(OvpConvexInit(def->volume, hull), nullptr);
        OvpConvexHullRelease(hull);
        OvpSupportFeature cap;
        OvpSupportFeatureInit(&cap);
        const OvV3d down = {0.0f, -1.0f, 0.0f};
        ASSERT_EQ(def->volume->type->supportFeature(def->volume, 0, &down, &cap)->count, std::min(corners, 8));
        EXPECT_NEAR(cap.normal.y, -1.0f, 1e-6f) << corners << " corners";
        OvpVolumeSetFatness(def->volume, 0.001f);
        OvpDynDefSetMassFromVolume(&def->dynDef, 1.0f, 1);
        OvpObj* prism = w.Add(def, {0.0f, 0.271f, 0.0f});
        int asleepAt = -1;
        float tilt = 0.0f;
        OvUInt32 floorPoints = 0;
        const CountingMemory memory; // a step allocates nothing: the pool is the workspace's
        for (int n = 1; n <= 300 && asleepAt < 0; ++n) {
            OvpPipelineStep(w.pipeline, 0.01f);
            const OvMatrix& m = w.M(prism);
            if (n > 50) {
                tilt = std::fmax(tilt, std::acos(std::fmin(m.up.y, 1.0f)) * 57.29578f);
            }
            for (OvUInt32 i = 0; i < w.pipeline->contactCount; ++i) {
                if (w.pipeline->contacts[i].count != 0) {
                    floorPoints = w.pipeline->contacts[i].count;
                }
            }
            if (!w.Awake(prism)) {
                asleepAt = n;
            }
        }
        EXPECT_EQ(memory.allocations(), 0) << corners << " corners";
        EXPECT_EQ(floorPoints, 4u) << corners << " corners";
        EXPECT_LT(tilt, 0.1f) << corners << " corners";
        EXPECT_GT(asleepAt, 0) << corners << " corners";
    }
}
