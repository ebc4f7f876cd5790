#include "graphics/core/vector.h"

#include <bit>
#include <cmath>
#include <random>

#include "graphics/core/cpu_routines.h"
#include "graphics/core/matrix.h"
#include "graphics/core/tests/reference.h"
#include "graphics/core/tests/started_engine.h"
#include "platform/cpu.h"

namespace {

using VectorTest = StartedEngine;

TEST_F(VectorTest, SquareRootTablesAreExactAtPowersOfFourAndWithinOneStepElsewhere) {
    EXPECT_EQ(OvSqrt(4.0f), 2.0f);
    EXPECT_EQ(OvInvSqrt(4.0f), 0.5f);
    EXPECT_EQ(OvSqrt(1.0f), 1.0f);
    EXPECT_EQ(OvInvSqrt(1.0f), 1.0f);
    EXPECT_EQ(OvSqrt(0.25f), 0.5f);
    EXPECT_EQ(OvSqrt(16.0f), 4.0f);
    EXPECT_EQ(OvInvSqrt(16.0f), 0.25f);
    EXPECT_EQ(OvSqrt(0.0f), 0.0f);
    EXPECT_EQ(OvInvSqrt(0.0f), 0.0f);
    EXPECT_NEAR(OvSqrt(2.0f), std::sqrt(2.0f), std::sqrt(2.0f) / 4096.0f);

    // Every float of [1, 4) (both exponent parities) and a sweep over [2^-20, 2^20]: the table
    // step is 2^-11 of the argument, so the root is within 2^-12 relative.
    double worstSqrt = 0.0, worstInv = 0.0;
    for (std::uint32_t bits = 0x3F800000u; bits < 0x40800000u; bits += 7) {
        const float x = std::bit_cast<float>(bits);
        const double root = std::sqrt(static_cast<double>(x));
        worstSqrt = std::fmax(worstSqrt, std::fabs(OvSqrt(x) - root) / root);
        worstInv = std::fmax(worstInv, std::fabs(OvInvSqrt(x) * root - 1.0));
    }
    EXPECT_LT(worstSqrt, 1.0 / 4096.0);
    EXPECT_LT(worstInv, 1.0 / 4096.0);
    for (float x = std::ldexp(1.0f, -20); x < std::ldexp(1.0f, 20); x *= 1.37f) {
        const double root = std::sqrt(static_cast<double>(x));
        ASSERT_LT(std::fabs(OvSqrt(x) - root) / root, 1.0 / 4096.0) << x;
        ASSERT_LT(std::fabs(OvInvSqrt(x) * root - 1.0), 1.0 / 4096.0) << x;
    }
}

TEST_F(VectorTest, NormaliseAndLength) {
    OvV3d out;
    const OvV3d v = {3.0f, 0.0f, 4.0f};
    EXPECT_NEAR(OvV3dNormalize(&out, &v), 5.0f, 5.0f / 2048.0f);
    EXPECT_NEAR(out.x, 0.6f, 0.001f);
    EXPECT_EQ(out.y, 0.0f);
    EXPECT_NEAR(out.z, 0.8f, 0.001f);
    EXPECT_NEAR(OvV3dLength(&v), 5.0f, 5.0f / 2048.0f);
    EXPECT_EQ(ClearError(), ovERRNOERROR);

    const OvV3d zero = {0.0f, 0.0f, 0.0f};
    out = {9.0f, 9.0f, 9.0f};
    EXPECT_EQ(OvV3dNormalize(&out, &zero), 0.0f);
    EXPECT_EQ(out.x, 0.0f);
    EXPECT_EQ(out.y, 0.0f);
    EXPECT_EQ(out.z, 0.0f);
    OvError e;
    OvErrorGet(&e);
    EXPECT_EQ(e.errorCode, ovERRZEROLENGTHVECTOR);
    EXPECT_EQ(e.pluginID, ovPLUGINIDCORE);

    // The fast form reports nothing and returns the inverse length.
    EXPECT_EQ(OvV3dNormalizeFast(&out, &zero), 0.0f);
    EXPECT_NEAR(OvV3dNormalizeFast(&out, &v), 0.2f, 0.2f / 2048.0f);
    EXPECT_EQ(ClearError(), ovERRNOERROR);
}

TEST_F(VectorTest, TransformsMatchDoublePrecisionAndWorkInPlace) {
    std::mt19937 rng(7);
    std::uniform_real_distribution<float> d(-10.0f, 10.0f);
    for (int round = 0; round < 200; ++round) {
        const OvMatrix m = RandomGeneral(rng, 3.0f);
        OvV3d in[5], points[5], vectors[5];
        for (OvV3d& p : in) {
            p = {d(rng), d(rng), d(rng)};
        }
        OvV3dTransformPoints(points, in, 5, &m);
        OvV3dTransformVectors(vectors, in, 5, &m);
        for (int i = 0; i < 5; ++i) {
            const float got[2][3] = {{points[i].x, points[i].y, points[i].z},
                                     {vectors[i].x, vectors[i].y, vectors[i].z}};
            for (int c = 0; c < 3; ++c) {
                EXPECT_NEAR(got[0][c], RefTransform(in[i], m, true, c), 1e-4);
                EXPECT_NEAR(got[1][c], RefTransform(in[i], m, false, c), 1e-4);
            }
            OvV3d one;
            OvV3dTransformPoint(&one, &in[i], &m);
            EXPECT_EQ(std::bit_cast<std::uint32_t>(one.y), std::bit_cast<std::uint32_t>(points[i].y));
            OvV3dTransformVector(&one, &in[i], &m);
            EXPECT_EQ(std::bit_cast<std::uint32_t>(one.z), std::bit_cast<std::uint32_t>(vectors[i].z));
        }
        // In place: each output is written after its input was read.
        OvV3d inPlace[5];
        std::memcpy(inPlace, in, sizeof in);
        OvV3dTransformPoints(inPlace, inPlace, 5, &m);
        EXPECT_EQ(std::memcmp(inPlace, points, sizeof points), 0);
    }
    // Counts of 0 or less change nothing.
    OvV3d untouched = {1.0f, 2.0f, 3.0f};
    OvMatrix m{};
    OvMatrixSetIdentity(&m);
    OvV3dTransformPoints(&untouched, &untouched, -1, &m);
    EXPECT_EQ(untouched.z, 3.0f);
}

TEST_F(VectorTest, ProcessorRoutineSetsAgreeWithTheDefaultsBitForBit) {
    EXPECT_EQ(OvCpuChooseTransformSet(1, 1, 0), ovCPUTRANSFORMSETSSEB);
    EXPECT_EQ(OvCpuChooseTransformSet(1, 1, 1), ovCPUTRANSFORMSETSSEA);
    EXPECT_EQ(OvCpuChooseTransformSet(1, 0, 0), ovCPUTRANSFORMSETSSEA);
    EXPECT_EQ(OvCpuChooseTransformSet(0, 0, 1), ovCPUTRANSFORMSETX87);

    std::mt19937 rng(11);
    std::uniform_real_distribution<float> d(-100.0f, 100.0f);
    std::vector<OvV3d> in(257);
    for (OvV3d& p : in) {
        p = {d(rng), d(rng), d(rng)};
    }
    const OvMatrix m = RandomGeneral(rng, 3.0f);
    std::vector<OvV3d> expectPoints(in.size()), expectVectors(in.size());
    OvV3dTransformPointsDefault(expectPoints.data(), in.data(), static_cast<OvInt32>(in.size()), &m);
    OvV3dTransformVectorsDefault(expectVectors.data(), in.data(), static_cast<OvInt32>(in.size()), &m);
    for (OvCpuTransformSet set : {ovCPUTRANSFORMSETX87, ovCPUTRANSFORMSETSSEA, ovCPUTRANSFORMSETSSEB}) {
        const OvCpuTransformRoutines* r = OvCpuGetTransformRoutines(set);
        std::vector<OvV3d> out(in.size());
        r->points(out.data(), in.data(), static_cast<OvInt32>(in.size()), &m);
        EXPECT_EQ(std::memcmp(out.data(), expectPoints.data(), out.size() * sizeof(OvV3d)), 0) << set;
        r->vectors(out.data(), in.data(), static_cast<OvInt32>(in.size()), &m);
        EXPECT_EQ(std::memcmp(out.data(), expectVectors.data(), out.size() * sizeof(OvV3d)), 0) << set;
        OvV3d one = in[3];
        r->point(&one, &one, &m);
        EXPECT_EQ(std::memcmp(&one, &expectPoints[3], sizeof one), 0);
        one = in[4];
        r->vector(&one, &one, &m);
        EXPECT_EQ(std::memcmp(&one, &expectVectors[4], sizeof one), 0);
    }
}

TEST_F(VectorTest, DeviceStartSetUpInstallsRoutinesAndStopUndoesTheControlRegisters) {
    const std::uint32_t mxcsr = PlatformSseGetControl();
    PlatformSseSetControl(mxcsr & ~PLATFORM_MXCSR_FLUSH_TO_ZERO);
    OvCpuFinalizeStart();
    EXPECT_EQ(OvMatrixGetModule()->multiply, OvMatrixMultiplyX87);
    const OvCpuTransformRoutines* chosen =
        OvCpuGetTransformRoutines(OvCpuChooseTransformSet(OvD3D9CpuHasSSE(), OvD3D9CpuHasSSE2(), OvD3D9CpuHas3DNow()));
    EXPECT_EQ(OvVectorGetModule()->transformPoints, chosen->points);
    // The saved word is the one found; the scratch word has single precision, all masked.
    EXPECT_EQ(OvFpuGetSavedControlWord(), PlatformX87GetControlWord());
    EXPECT_EQ(OvFpuGetScratchControlWord() & PLATFORM_X87_PRECISION_MASK, 0u);
    EXPECT_EQ(OvFpuGetScratchControlWord() & PLATFORM_X87_EXCEPTION_MASKS, PLATFORM_X87_EXCEPTION_MASKS);
    if (OvD3D9CpuHasSSE()) {
        EXPECT_NE(PlatformSseGetControl() & PLATFORM_MXCSR_FLUSH_TO_ZERO, 0u);
    }
    OvCpuInitiateStop();
    EXPECT_EQ(PlatformSseGetControl() & PLATFORM_MXCSR_FLUSH_TO_ZERO, 0u);
    // Flush-to-zero that the host had set before start is still set after stop.
    if (OvD3D9CpuHasSSE()) {
        PlatformSseSetControl(mxcsr | PLATFORM_MXCSR_FLUSH_TO_ZERO);
        OvCpuFinalizeStart();
        OvCpuInitiateStop();
        EXPECT_NE(PlatformSseGetControl() & PLATFORM_MXCSR_FLUSH_TO_ZERO, 0u);
    }
    PlatformSseSetControl(mxcsr);

    // Null arguments put the defaults back.
    EXPECT_TRUE(OvVectorSetTransformFunctions(nullptr, nullptr, nullptr, nullptr));
    EXPECT_EQ(OvVectorGetModule()->transformPoint, OvV3dTransformPointDefault);
    EXPECT_EQ(OvVectorGetModule()->transformVectors, OvV3dTransformVectorsDefault);
    EXPECT_TRUE(OvMatrixSetMultiplyFunction(nullptr));
    EXPECT_EQ(OvMatrixGetModule()->multiply, OvMatrixMultiplyDefault);
}

} // namespace
