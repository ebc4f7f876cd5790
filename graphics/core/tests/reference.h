#pragma once
// Double-precision references for the matrix, vector and frame tests: an affine row-vector
// matrix as a 4x4 of doubles, its product, and random matrices.

#include <gtest/gtest.h>

#include <random>

#include "graphics/core/matrix.h"

struct Ref {
    double m[4][4];
};

inline Ref ToRef(const OvMatrix& a) {
    const OvV3d* rows[4] = {&a.right, &a.up, &a.at, &a.pos};
    Ref r{};
    for (int i = 0; i < 4; ++i) {
        r.m[i][0] = rows[i]->x;
        r.m[i][1] = rows[i]->y;
        r.m[i][2] = rows[i]->z;
        r.m[i][3] = i == 3 ? 1.0 : 0.0;
    }
    return r;
}

inline Ref Mul(const Ref& a, const Ref& b) {
    Ref r{};
    for (int i = 0; i < 4; ++i) {
        for (int j = 0; j < 4; ++j) {
            for (int k = 0; k < 4; ++k) {
                r.m[i][j] += a.m[i][k] * b.m[k][j];
            }
        }
    }
    return r;
}

// p x M (w = 1 for a point, 0 for a vector), component c.
inline double RefTransform(const OvV3d& p, const OvMatrix& m, bool point, int c) {
    const Ref r = ToRef(m);
    return p.x * r.m[0][c] + p.y * r.m[1][c] + p.z * r.m[2][c] + (point ? r.m[3][c] : 0.0);
}

// Each of the 12 entries within tol, scaled by 1 + the row's magnitude when relative.
inline void ExpectNear(const OvMatrix& a, const Ref& r, double tol, bool relative = false) {
    const Ref b = ToRef(a);
    for (int i = 0; i < 4; ++i) {
        const double scale = relative ? 1.0 + std::fabs(r.m[i][0]) + std::fabs(r.m[i][1]) + std::fabs(r.m[i][2]) : 1.0;
        for (int j = 0; j < 3; ++j) {
            ASSERT_NEAR(b.m[i][j], r.m[i][j], tol * scale) << "row " << i << " col " << j;
        }
    }
}

// Twelve entries uniform in [-range, range], no flags.
inline OvMatrix RandomGeneral(std::mt19937& rng, float range = 2.0f) {
    std::uniform_real_distribution<float> d(-range, range);
    OvMatrix m{};
    m.right = {d(rng), d(rng), d(rng)};
    m.up = {d(rng), d(rng), d(rng)};
    m.at = {d(rng), d(rng), d(rng)};
    m.pos = {d(rng), d(rng), d(rng)};
    return m;
}
