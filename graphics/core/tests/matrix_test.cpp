#include "graphics/core/matrix.h"

#include <cmath>
#include <random>

#include "graphics/core/tests/reference.h"
#include "graphics/core/tests/started_engine.h"
#include "graphics/core/vector.h"

namespace {

using MatrixTest = StartedEngine;

OvMatrix RandomRigid(std::mt19937& rng) {
    std::uniform_real_distribution<float> d(-1.0f, 1.0f);
    OvMatrix m{};
    OvMatrixSetIdentity(&m);
    const OvV3d axis = {d(rng), d(rng), d(rng) + 1.5f};
    OvMatrixRotate(&m, &axis, d(rng) * 180.0f, ovCOMBINEREPLACE);
    const OvV3d t = {d(rng) * 5, d(rng) * 5, d(rng) * 5};
    OvMatrixTranslate(&m, &t, ovCOMBINEPOSTCONCAT);
    return m;
}

TEST_F(MatrixTest, MultiplyAgreesWithTheReferenceAndTakesIdentityShortcuts) {
    std::mt19937 rng(1);
    for (int i = 0; i < 300; ++i) {
        const OvMatrix a = RandomGeneral(rng), b = RandomGeneral(rng);
        OvMatrix out;
        OvMatrixMultiply(&out, &a, &b);
        ExpectNear(out, Mul(ToRef(a), ToRef(b)), 1e-4);
        EXPECT_EQ(out.flags, 0u);
    }
    // The identity flag makes a copy of the other operand, all 16 words.
    OvMatrix id, other = RandomGeneral(rng), out;
    OvMatrixSetIdentity(&id);
    other.flags = 0x40;
    other.pad3 = 77;
    OvMatrixMultiply(&out, &id, &other);
    EXPECT_EQ(std::memcmp(&out, &other, sizeof out), 0);
    OvMatrixMultiply(&out, &other, &id);
    EXPECT_EQ(std::memcmp(&out, &other, sizeof out), 0);
    // Flags of a product: a & b.
    OvMatrix r1 = RandomRigid(rng), r2 = RandomRigid(rng);
    r1.flags |= 0x100;
    OvMatrixMultiply(&out, &r1, &r2);
    EXPECT_EQ(out.flags, (r1.flags & r2.flags));
    EXPECT_EQ(out.flags & ovMATRIXTYPEORTHONORMAL, ovMATRIXTYPEORTHONORMAL);
}

TEST_F(MatrixTest, InverseGivesTheIdentityAndKeepsItsFlagsRight) {
    std::mt19937 rng(2);
    for (int i = 0; i < 300; ++i) {
        const bool rigid = (i & 1) != 0;
        OvMatrix m = rigid ? RandomRigid(rng) : RandomGeneral(rng);
        if (!rigid && std::fabs(OvMatrixDeterminant(&m)) < 0.2f) {
            continue; // too close to singular for a float tolerance
        }
        OvMatrix inv;
        OvMatrixInvert(&inv, &m);
        EXPECT_EQ(inv.flags, rigid ? ovMATRIXTYPEORTHONORMAL : 0u);
        const Ref product = Mul(ToRef(m), ToRef(inv));
        for (int r = 0; r < 4; ++r) {
            for (int c = 0; c < 3; ++c) {
                EXPECT_NEAR(product.m[r][c], r == c ? 1.0 : 0.0, 2e-3);
            }
        }
        // In place gives the same.
        OvMatrix same = m;
        OvMatrixInvert(&same, &same);
        EXPECT_EQ(std::memcmp(&same.right, &inv.right, 12), 0);
    }
    // A singular matrix divides by 1 instead of 0 and stays finite.
    OvMatrix singular{};
    singular.right = {1.0f, 2.0f, 3.0f};
    singular.up = {2.0f, 4.0f, 6.0f};
    singular.at = {0.0f, 0.0f, 1.0f};
    OvMatrix inv;
    OvMatrixInvert(&inv, &singular);
    EXPECT_TRUE(std::isfinite(inv.right.x) && std::isfinite(inv.pos.z));
}

TEST_F(MatrixTest, OrthoNormaliseRebuildsTheAxisThatIsZeroOrWorst) {
    std::mt19937 rng(3);
    std::uniform_real_distribution<float> noise(-0.05f, 0.05f);
    for (int i = 0; i < 200; ++i) {
        OvMatrix m = RandomRigid(rng);
        const OvMatrix original = m;
        for (OvV3d* row : {&m.right, &m.up, &m.at}) {
            *row = {row->x * 1.3f + noise(rng), row->y * 1.3f + noise(rng), row->z * 1.3f + noise(rng)};
        }
        m.flags = 0x20100;        // an identity bit left over is dropped, other bits kept
        const int zeroed = i % 4; // 3: no axis zeroed
        OvV3d* rows[3] = {&m.right, &m.up, &m.at};
        if (zeroed < 3) {
            *rows[zeroed] = {0.0f, 0.0f, 0.0f};
        }
        OvMatrix out;
        OvMatrixOrthoNormalize(&out, &m);
        EXPECT_EQ(out.flags, 0x100u | ovMATRIXTYPEORTHONORMAL);
        EXPECT_LT(OvMatrixNormalError(&out), 1e-5f);
        EXPECT_LT(OvMatrixOrthogonalError(&out), 1e-5f);
        EXPECT_GT(OvMatrixDeterminant(&out), 0.99f); // handedness kept
        EXPECT_EQ(std::memcmp(&out.pos, &m.pos, sizeof(OvV3d)), 0);
        // The result stays close to the rotation the matrix came from.
        const OvV3d* orig[3] = {&original.right, &original.up, &original.at};
        const OvV3d* got[3] = {&out.right, &out.up, &out.at};
        for (int r = 0; r < 3; ++r) {
            EXPECT_GT(OvV3dDotProduct(orig[r], got[r]), 0.95f) << "axis " << r << " zeroed " << zeroed;
        }
    }
}

TEST_F(MatrixTest, RotateScaleTranslateAndCombineModes) {
    OvMatrix m;
    OvMatrixSetIdentity(&m);
    const OvV3d z = {0.0f, 0.0f, 1.0f};
    ASSERT_EQ(OvMatrixRotate(&m, &z, 90.0f, ovCOMBINEREPLACE), &m);
    EXPECT_EQ(m.flags, ovMATRIXTYPEORTHONORMAL);
    const OvV3d x = {1.0f, 0.0f, 0.0f};
    OvV3d p;
    OvV3dTransformPoint(&p, &x, &m);
    EXPECT_NEAR(p.x, 0.0f, 1e-6f);
    EXPECT_NEAR(p.y, 1.0f, 1e-6f);

    // Pre-concatenated translation moves along the rotated axes; post along the world's.
    const OvV3d t = {1.0f, 0.0f, 0.0f};
    OvMatrix pre = m, post = m;
    OvMatrixTranslate(&pre, &t, ovCOMBINEPRECONCAT);
    EXPECT_NEAR(pre.pos.y, 1.0f, 1e-6f);
    EXPECT_NEAR(pre.pos.x, 0.0f, 1e-6f);
    OvMatrixTranslate(&post, &t, ovCOMBINEPOSTCONCAT);
    EXPECT_EQ(post.pos.x, 1.0f);
    EXPECT_EQ(pre.flags & ovMATRIXINTERNALIDENTITY, 0u);

    // Rotation combined with the reference product in both orders.
    std::mt19937 rng(4);
    for (int i = 0; i < 50; ++i) {
        const OvMatrix base = RandomGeneral(rng);
        const OvV3d axis = {0.3f, -0.4f, 0.866f};
        OvMatrix r;
        OvMatrixSetIdentity(&r);
        OvMatrixRotate(&r, &axis, 33.0f, ovCOMBINEREPLACE);
        OvMatrix a = base, b = base;
        OvMatrixRotate(&a, &axis, 33.0f, ovCOMBINEPRECONCAT);
        OvMatrixRotate(&b, &axis, 33.0f, ovCOMBINEPOSTCONCAT);
        ExpectNear(a, Mul(ToRef(r), ToRef(base)), 1e-4);
        ExpectNear(b, Mul(ToRef(base), ToRef(r)), 1e-4);
        EXPECT_EQ(a.flags, 0u);
        OvMatrix ta = base, tb = base;
        OvMatrixTransform(&ta, &r, ovCOMBINEPRECONCAT);
        OvMatrixTransform(&tb, &r, ovCOMBINEPOSTCONCAT);
        ExpectNear(ta, Mul(ToRef(r), ToRef(base)), 1e-4);
        ExpectNear(tb, Mul(ToRef(base), ToRef(r)), 1e-4);
        // Scale: pre scales the rows, post each column (position included).
        const OvV3d s = {2.0f, 3.0f, 0.5f};
        OvMatrix sp = base, sq = base;
        sp.flags = sq.flags = 0x20003 | 0x400;
        OvMatrixScale(&sp, &s, ovCOMBINEPRECONCAT);
        OvMatrixScale(&sq, &s, ovCOMBINEPOSTCONCAT);
        EXPECT_EQ(sp.up.x, base.up.x * 3.0f);
        EXPECT_EQ(sq.pos.z, base.pos.z * 0.5f);
        EXPECT_EQ(sp.flags, 0x400u);
        EXPECT_EQ(sq.flags, 0x400u);
    }

    // Translate replace: identity with the position, flags keep 3, lose the identity bit.
    OvMatrix tr = m;
    tr.flags = 0x20803;
    OvMatrixTranslate(&tr, &t, ovCOMBINEREPLACE);
    EXPECT_EQ(tr.flags, 0x803u);
    EXPECT_EQ(tr.right.x, 1.0f);
    EXPECT_EQ(tr.pos.x, 1.0f);

    // The vector may be a row of the matrix itself: reset to the identity keeping the
    // position, or scale by the lengths held in a row.
    OvMatrix own = RandomGeneral(rng);
    const OvV3d keptPos = own.pos;
    OvMatrixTranslate(&own, &own.pos, ovCOMBINEREPLACE);
    EXPECT_EQ(std::memcmp(&own.pos, &keptPos, sizeof keptPos), 0);
    EXPECT_EQ(own.right.x, 1.0f);
    own.up = {2.0f, 3.0f, 4.0f};
    OvMatrixScale(&own, &own.up, ovCOMBINEREPLACE);
    EXPECT_EQ(own.right.x, 2.0f);
    EXPECT_EQ(own.up.y, 3.0f);
    EXPECT_EQ(own.at.z, 4.0f);
    own.up = {2.0f, 3.0f, 4.0f};
    own.pos = {1.0f, 1.0f, 1.0f};
    OvMatrixScale(&own, &own.up, ovCOMBINEPOSTCONCAT);
    EXPECT_EQ(own.pos.x, 2.0f);
    EXPECT_EQ(own.pos.y, 3.0f);
    EXPECT_EQ(own.pos.z, 4.0f);

    // A bad combine leaves the matrix as it was and reports 0x80000003.
    const OvMatrix before = m;
    EXPECT_EQ(OvMatrixRotate(&m, &z, 10.0f, static_cast<OvOpCombineType>(3)), nullptr);
    EXPECT_EQ(ClearError(), ovERRINVALIDVALUE);
    EXPECT_EQ(OvMatrixScale(&m, &x, static_cast<OvOpCombineType>(3)), nullptr);
    EXPECT_EQ(OvMatrixTranslate(&m, &x, static_cast<OvOpCombineType>(-1)), nullptr);
    EXPECT_EQ(OvMatrixTransform(&m, &before, static_cast<OvOpCombineType>(3)), nullptr);
    EXPECT_EQ(OvMatrixRotateOneMinusCosineSine(&m, &z, 1.0f, 1.0f, static_cast<OvOpCombineType>(7)), nullptr);
    EXPECT_EQ(ClearError(), ovERRINVALIDVALUE);
    EXPECT_EQ(std::memcmp(&m, &before, sizeof m), 0);
}

TEST_F(MatrixTest, OptimiseMeasuresTheErrorsAgainstTheTolerances) {
    OvMatrix m;
    OvMatrixSetIdentity(&m);
    m.right.x = 1.05f; // normal error about 0.0105
    OvMatrixOptimize(&m, nullptr);
    EXPECT_EQ(m.flags & ovMATRIXTYPENORMAL, 0u);
    EXPECT_NE(m.flags & ovMATRIXTYPEORTHOGONAL, 0u);
    EXPECT_EQ(m.flags & ovMATRIXINTERNALIDENTITY, 0u);
    m.right.x = 1.04f;
    OvMatrixOptimize(&m, nullptr);
    EXPECT_EQ(m.flags & ovMATRIXTYPEORTHONORMAL, ovMATRIXTYPEORTHONORMAL);
    // The identity error (0.0016) is within 0.01 too.
    EXPECT_NE(m.flags & ovMATRIXINTERNALIDENTITY, 0u);
    EXPECT_NEAR(OvMatrixIdentityError(&m), 0.0016f, 1e-5f);
    // Tighter tolerances of the caller's.
    const OvMatrixTolerance tight = {0.001f, 0.001f, 0.001f};
    OvMatrixOptimize(&m, &tight);
    EXPECT_EQ(m.flags & (ovMATRIXTYPENORMAL | ovMATRIXINTERNALIDENTITY), 0u);
    // A position moves it away from the identity only.
    OvMatrixSetIdentity(&m);
    m.pos.x = 0.2f;
    OvMatrixOptimize(&m, nullptr);
    EXPECT_EQ(m.flags, ovMATRIXTYPEORTHONORMAL);
    // Update clears what direct edits may have broken.
    m.flags |= 0x20000 | 0x80;
    OvMatrixUpdate(&m);
    EXPECT_EQ(m.flags, 0x80u);
    // Matrices from the module's free list start as the identity.
    OvMatrix* created = OvMatrixCreate();
    ASSERT_NE(created, nullptr);
    EXPECT_EQ(created->flags, 0x20003u);
    EXPECT_EQ(created->at.z, 1.0f);
    EXPECT_TRUE(OvMatrixDestroy(created));
}

} // namespace
