#include "physics/core/utils/math.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstring>
#include <functional>
#include <random>
#include <vector>

#include "physics/tests/physics_test.h"

namespace {

TEST(PhysicsMath, PrincipalAxesReconstructRandomTensors) {
    // R diag R^T rebuilt from the moments and the quaternion gives back the tensor; the
    // eigenvectors of Jacobi rebuild it as well; a diagonal tensor stays as it is.
    std::mt19937 rng(11);
    std::uniform_real_distribution<float> u(-1.0f, 1.0f);
    for (int trial = 0; trial < 500; ++trial) {
        OvpMatrix3 a{};
        for (int i = 0; i < 3; ++i) {
            for (int j = i; j < 3; ++j) {
                a.m[i][j] = a.m[j][i] = u(rng) + (i == j ? 2.0f : 0.0f);
            }
        }
        OvpInertia principal;
        ASSERT_TRUE(OvpMathPrincipalAxes(&principal, &a));
        OvpMatrix3 back{};
        OvpMathInertiaFromDiagonal(&back, &principal);
        OvpMatrix3 d = a, v{};
        ASSERT_TRUE(OvpMathJacobiEigen(&d, &v, 25, 1e-6f));
        for (int i = 0; i < 3; ++i) {
            for (int j = 0; j < 3; ++j) {
                EXPECT_NEAR(back.m[i][j], a.m[i][j], 1e-5f);
                float viaVectors = 0.0f;
                for (int k = 0; k < 3; ++k) {
                    viaVectors += v.m[i][k] * d.m[k][k] * v.m[j][k];
                }
                EXPECT_NEAR(viaVectors, a.m[i][j], 1e-5f);
            }
        }
    }
    OvpMatrix3 diagonal{};
    diagonal.m[0][0] = 3.0f;
    diagonal.m[1][1] = 1.0f;
    diagonal.m[2][2] = 2.0f;
    diagonal.m[0][3] = 42.0f; // column 3 belongs to the caller
    OvpInertia principal;
    ASSERT_TRUE(OvpMathPrincipalAxes(&principal, &diagonal));
    EXPECT_EQ(principal.diagonal.x, 3.0f);
    EXPECT_EQ(principal.diagonal.y, 1.0f);
    EXPECT_EQ(principal.diagonal.z, 2.0f);
    EXPECT_EQ(principal.orientation.w, 1.0f);
    OvpMathInertiaFromDiagonal(&diagonal, &principal);
    EXPECT_EQ(diagonal.m[0][3], 42.0f);
}

TEST(PhysicsMath, PolynomialRootsOfKnownProducts) {
    std::mt19937 rng(5);
    std::uniform_real_distribution<float> u(0.0f, 1.0f);
    for (int trial = 0; trial < 2000; ++trial) {
        const int degree = 1 + trial % 4;
        std::vector<float> want(degree);
        for (float& r : want) {
            r = u(rng);
        }
        std::sort(want.begin(), want.end());
        // Close roots are only as well conditioned as float coefficients allow.
        bool spread = true;
        for (int i = 1; i < degree; ++i) {
            spread = spread && want[i] - want[i - 1] >= 0.05f;
        }
        if (!spread) {
            continue;
        }
        // Expand prod (t - r_i) with a scale and a leading zero that must be ignored.
        std::vector<double> c = {1.0};
        for (float r : want) {
            std::vector<double> next(c.size() + 1, 0.0);
            for (size_t i = 0; i < c.size(); ++i) {
                next[i + 1] += c[i];
                next[i] -= r * c[i];
            }
            c = next;
        }
        float cf[ovpMATHMAXPOLYDEGREE + 1] = {};
        for (size_t i = 0; i < c.size(); ++i) {
            cf[i] = static_cast<float>(-3.0 * c[i]);
        }
        float roots[ovpMATHMAXPOLYDEGREE];
        const OvInt32 n = OvpMathPolyRoots(roots, -0.5f, 1.5f, degree + 1, cf);
        ASSERT_EQ(n, degree) << trial;
        for (int i = 0; i < degree; ++i) {
            EXPECT_NEAR(roots[i], want[i], 5e-4f) << trial;
        }
    }
    const float quadratic[3] = {0.1875f, -1.0f, 1.0f}; // (t - 0.25)(t - 0.75)
    float roots[2];
    ASSERT_EQ(OvpMathPolyRoots(roots, 0.0f, 1.0f, 2, quadratic), 2);
    EXPECT_FLOAT_EQ(roots[0], 0.25f);
    EXPECT_FLOAT_EQ(roots[1], 0.75f);
    EXPECT_EQ(OvpMathPolyRoots(roots, 0.3f, 0.7f, 2, quadratic), 0);
    const float noRoots[3] = {1.0f, 0.0f, 1.0f};
    EXPECT_EQ(OvpMathPolyRoots(roots, -2.0f, 2.0f, 2, noRoots), 0);
}

// The first sample of the segment inside the shape, as a fraction, or -1 for none.
float FirstInside(const OvV3d& s, const OvV3d& d, const std::function<float(const OvV3d&)>& inside, int samples) {
    for (int k = 0; k <= samples; ++k) {
        const float t = static_cast<float>(k) / samples;
        if (inside(OvpAdd(s, OvpScale(d, t))) <= 0.0f) {
            return t;
        }
    }
    return -1.0f;
}

// Random segments against one segment test and its inside predicate (negative inside).
void SweepRayTest(const char* name, const std::function<OvInt32(float*, const OvV3d&, const OvV3d&)>& test,
                  const std::function<float(const OvV3d&)>& inside, float margin) {
    std::mt19937 rng(3);
    std::uniform_real_distribution<float> u(-3.0f, 3.0f);
    const int samples = 4000;
    int hits = 0, misses = 0;
    for (int trial = 0; trial < 1500; ++trial) {
        const OvV3d s = {u(rng), u(rng), u(rng)}, d = {u(rng), u(rng), u(rng)};
        float frac[2];
        const OvInt32 result = test(frac, s, d);
        const float sampled = FirstInside(s, d, inside, samples);
        if (result == 1) {
            ++hits;
            const float t = frac[0] / frac[1];
            ASSERT_GE(t, 0.0f) << name;
            ASSERT_LE(t, 1.0f) << name;
            // A start outside hits on the surface, and nothing before the hit is inside.
            if (inside(s) > 0.0f) {
                EXPECT_NEAR(inside(OvpAdd(s, OvpScale(d, t))), 0.0f, margin) << name << " trial " << trial;
            } else {
                EXPECT_EQ(t, 0.0f) << name;
            }
            if (sampled >= 0.0f) {
                EXPECT_LE(t, sampled + 1e-6f) << name << " trial " << trial;
            }
        } else {
            ++misses;
            // Only grazing segments may touch the shape between samples.
            if (sampled >= 0.0f) {
                EXPECT_GT(inside(OvpAdd(s, OvpScale(d, sampled))), -margin) << name << " trial " << trial;
            }
        }
        // The inside-only form agrees with the predicate at the start.
        EXPECT_EQ(test(nullptr, s, d), inside(s) <= 0.0f ? 1 : 0) << name;
    }
    EXPECT_GT(hits, 100) << name;
    EXPECT_GT(misses, 100) << name;
}

TEST(PhysicsMath, SegmentTestsAgreeWithDenseSampling) {
    const OvV3d centre = {0.3f, -0.2f, 0.1f};
    OvV3d axis;
    const OvV3d rawAxis = {1.0f, 2.0f, -0.5f};
    OvpMathVec3Normalize(&axis, &rawAxis);
    const OvV3d normal = axis;
    SweepRayTest(
        "plane", [&](float* f, const OvV3d& s, const OvV3d& d) { return OvpRayHitPlane(f, &s, &d, &normal, 0.4f); },
        [&](const OvV3d& p) { return OvpDot(normal, p) - 0.4f; }, 1e-4f);
    SweepRayTest(
        "plane axis",
        [&](float* f, const OvV3d& s, const OvV3d& d) { return OvpRayHitPlaneAxis(f, &s, &d, 1, -1.0f, 0.5f); },
        [&](const OvV3d& p) { return -p.y - 0.5f; }, 1e-4f);
    SweepRayTest(
        "sphere", [&](float* f, const OvV3d& s, const OvV3d& d) { return OvpRayHitSphere(f, &s, &d, &centre, 1.2f); },
        [&](const OvV3d& p) {
            const OvV3d o = OvpSub(p, centre);
            return std::sqrt(OvpDot(o, o)) - 1.2f;
        },
        1e-4f);
    auto radial = [&](const OvV3d& p) {
        const OvV3d o = OvpSub(p, centre);
        const OvV3d r = OvpSub(o, OvpScale(axis, OvpDot(o, axis)));
        return std::sqrt(OvpDot(r, r));
    };
    SweepRayTest(
        "cylinder",
        [&](float* f, const OvV3d& s, const OvV3d& d) { return OvpRayHitCylinder(f, &s, &d, &centre, &axis, 0.9f); },
        [&](const OvV3d& p) { return radial(p) - 0.9f; }, 1e-4f);
    SweepRayTest(
        "torus",
        [&](float* f, const OvV3d& s, const OvV3d& d) { return OvpRayHitTorus(f, &s, &d, &centre, &axis, 1.3f, 0.5f); },
        [&](const OvV3d& p) {
            const OvV3d o = OvpSub(p, centre);
            const float h = OvpDot(o, axis);
            const float ring = radial(p) - 1.3f;
            return std::sqrt(ring * ring + h * h) - 0.5f;
        },
        2e-3f);
}

TEST(PhysicsMath, VectorBoxAndSphereHelpers) {
    OvV3d out;
    const OvV3d zero = {0, 0, 0};
    EXPECT_EQ(OvpMathVec3Normalize(&out, &zero), 0.0f);
    EXPECT_EQ(out.z, 1.0f);
    // Fallbacks: scaled, or perpendicular when the scale is 0 or NaN.
    const OvV3d tiny = {1e-7f, 0, 0}, fallback = {0, 3, 0};
    EXPECT_EQ(OvpMathVec3NormalizeOr(&out, &tiny, &fallback, 2.0f), 0.0f);
    EXPECT_EQ(out.y, 2.0f);
    for (float scale : {0.0f, NAN}) {
        OvpMathVec3NormalizeOr(&out, &tiny, &fallback, scale);
        EXPECT_EQ(OvpDot(out, fallback), 0.0f);
        EXPECT_NEAR(OvpDot(out, out), 1.0f, 1e-6f);
    }
    std::mt19937 rng(9);
    std::normal_distribution<float> n;
    for (int i = 0; i < 200; ++i) {
        const OvV3d v = {n(rng), n(rng), n(rng)};
        OvpMathVec3Perpendicular(&out, &v);
        EXPECT_EQ(OvpDot(out, v), 0.0f);
        EXPECT_GT(OvpDot(out, out), 0.0f);
    }
    const OvV3d tie = {1, 2, 2};
    EXPECT_EQ(OvpMathLargestAxis(&tie), 2);
    // The inline larger and smaller are std::fmax and std::fmin (NaN on either side, infinities,
    // the smallest numbers), and of two zeros they keep the second one's sign.
    const float special[] = {0.0f, -0.0f, 1.0f, -1.0f, NAN, -NAN, INFINITY, -INFINITY, FLT_MIN, -FLT_MIN, 1e-45f, 3.5f};
    for (float a : special) {
        for (float b : special) {
            const bool zeros = a == 0.0f && b == 0.0f;
            const float pairs[2][2] = {{OvpMax(a, b), zeros ? b : std::fmax(a, b)},
                                       {OvpMin(a, b), zeros ? b : std::fmin(a, b)}};
            for (const auto& pair : pairs) {
                const bool bothNan = std::isnan(pair[0]) && std::isnan(pair[1]);
                EXPECT_TRUE(bothNan || std::memcmp(&pair[0], &pair[1], sizeof(float)) == 0)
                    << a << " " << b << ": " << pair[0] << " against " << pair[1];
            }
        }
    }

    OvSphere unit = {{0, 0, 0}, 1.0f}, grown;
    const OvV3d far = {3, 0, 0};
    OvpMathSphereAddPoint(&grown, &unit, &far);
    EXPECT_FLOAT_EQ(grown.center.x, 1.0f);
    EXPECT_FLOAT_EQ(grown.radius, 2.0f);

    // Both box transforms give the box of the eight transformed corners.
    for (int trial = 0; trial < 100; ++trial) {
        const OvMatrix m = RandomPlacement(rng);
        const OvV3d c = {n(rng), n(rng), n(rng)}, h = {std::fabs(n(rng)), std::fabs(n(rng)), std::fabs(n(rng))};
        const OvpBBox box = {OvpAdd(c, h), 0, OvpSub(c, h), 0};
        OvpBBox corners = {{-FLT_MAX, -FLT_MAX, -FLT_MAX}, 0, {FLT_MAX, FLT_MAX, FLT_MAX}, 0};
        for (int k = 0; k < 8; ++k) {
            const OvV3d p = {(k & 1) ? box.sup.x : box.inf.x, (k & 2) ? box.sup.y : box.inf.y,
                             (k & 4) ? box.sup.z : box.inf.z};
            const OvV3d q = OvpMathTransformPoint(p, &m);
            OvpMathBoxExtend(&corners, &q);
        }
        OvpBBox a, b;
        OvpMathBoxTransform(&a, &box, &m);
        OvpMathBoxTransformCentre(&b, &box, &m);
        for (const OvpBBox* t : {&a, &b}) {
            SCOPED_TRACE(t == &a ? "corners" : "centre");
            EXPECT_NEAR(t->sup.x, corners.sup.x, 1e-4f);
            EXPECT_NEAR(t->inf.y, corners.inf.y, 1e-4f);
            EXPECT_NEAR(t->sup.z, corners.sup.z, 1e-4f);
        }
    }
}

} // namespace
