// Dynamic records, integration and the free-motion step against closed forms; determinism.

#include <gtest/gtest.h>

#include <cfloat>
#include <cmath>
#include <cstring>
#include <random>
#include <vector>

#include "graphics/core/testkit/engine_fixture.h"
#include "physics/core/context/context.h"
#include "physics/core/context/dynamics.h"
#include "physics/core/context/manager.h"
#include "physics/core/context/objtypes.h"
#include "physics/core/context/pipeline.h"
#include "physics/core/dynamics/integrate.h"
#include "physics/core/volume/primitives.h"
#include "physics/tests/physics_test.h"
#include "platform/crt.h"

namespace {

bool Finite(const float* x, int n) {
    for (int i = 0; i < n; ++i) {
        if (!std::isfinite(x[i]))
            return false;
    }
    return true;
}

} // namespace

TEST(PhysicsDynamics, RecordsFromDefinitionsAndImpulses) {
    TestWorld s(4);
    // A box whose centre of mass sits off the model origin: the body matrix moves to it and the
    // model matrix comes back unchanged.
    OvpBodyDef* def = OvpBodyDefCreate();
    const float half[3] = {0.5f, 1.0f, 1.5f};
    OvpBoxInit(def->volume, half);
    def->volume->matrix.pos = {1.0f, 2.0f, 3.0f};
    def->volume->matrix.flags = 0;
    OvpDynDefSetMassFromVolume(&def->dynDef, -2.0f, 1);
    OvpObj* b = s.Add(def, {5.0f, 0.0f, 0.0f});
    const OvpDyn* dyn = b->parts[0].dyn;
    EXPECT_FLOAT_EQ(s.M(b).pos.x, 6.0f);
    EXPECT_FLOAT_EQ(s.M(b).pos.z, 3.0f);
    OvMatrix model;
    OvpDynGetModelMatrix(dyn, &model);
    EXPECT_FLOAT_EQ(model.pos.x, 5.0f);
    EXPECT_FLOAT_EQ(s.manager->bodies->mass[dyn->body].m[0][3], 12.0f); // density 2 x volume 6
    EXPECT_NEAR(dyn->massTerm, 0.001f / 12.0f, 1e-9f);
    // Impulse through the centre changes only the linear accumulator; off-centre adds a torque.
    const float* acc = s.manager->bodies->impulses[dyn->body];
    const OvV3d j = {0.0f, 1.0f, 0.0f}, centre = s.M(b).pos;
    OvpDynApplyImpulse(b->parts[0].dyn, &j, &centre);
    EXPECT_EQ(acc[1], 1.0f);
    EXPECT_EQ(acc[4] == 0.0f && acc[5] == 0.0f && acc[6] == 0.0f, true);
    const OvV3d side = {centre.x + 1.0f, centre.y, centre.z};
    OvpDynApplyImpulse(b->parts[0].dyn, &j, &side);
    EXPECT_EQ(acc[6], 1.0f);
    s.V(b)[5] = 2.0f;
    OvV3d pv;
    OvpDynGetPointVelocity(dyn, &side, &pv);
    EXPECT_FLOAT_EQ(pv.z, -2.0f);

    // Zero mass and a full tensor with a zero moment: no infinity or NaN reaches any state.
    OvpBodyDef* bad = OvpBodyDefCreate();
    OvpDynDefSetMassFromVolume(&bad->dynDef, 0.0f, 0);
    bad->dynDef.flags |= ovpDYNDEF_FULLINERTIA;
    bad->dynDef.inertia = {0.0f, 1.0f, NAN};
    OvpObj* z = s.Add(bad, {-5.0f, 0.0f, 0.0f});
    s.V(z)[4] = 1.0f;
    s.V(z)[5] = 3.0f;
    const OvV3d kick = {1.0f, 0.0f, 0.0f}, at = {-5.0f, 1.0f, 0.0f};
    OvpDynApplyImpulse(z->parts[0].dyn, &kick, &at);
    for (int i = 0; i < 50; ++i) {
        OvpPipelineStep(s.pipeline, 0.01f);
    }
    const OvUInt32 zi = z->parts[0].dyn->body;
    EXPECT_TRUE(Finite(s.manager->bodies->velocities[zi], 8));
    EXPECT_TRUE(Finite(&s.manager->bodies->matrices[zi].right.x, 12));
    EXPECT_TRUE(Finite(&s.manager->bodies->mass[zi].m[0][0], 12));
}

TEST(PhysicsDynamics, IntegratorEdgeCases) {
    ASSERT_TRUE(OvTestEngineUp());
    OvMatrix m[2];
    OvQuat q[2] = {{0.0f, 0.0f, 0.0f, 1.0f}, {0.0f, 0.0f, 0.0f, 1.0f}};
    for (OvMatrix& x : m)
        OvMatrixSetIdentity(&x);
    float v[2][8] = {{1, 2, 3, 0, 0, 0, 0, 0}, {0, 0, 0, 0, 0, 0, 3, 0}};
    const OvUInt32 flags[2] = {0, ovpBODY_FREEAXIS};
    const float axes[2][4] = {{0, 0, 0, 0}, {0, 0, 1, 0}};
    const OvUInt32 idx[2] = {0, 1};
    const OvpIndexList list = {idx, 2};
    OvpIntegrateBodies(m, q, v, &list, flags, axes, 0.5f);
    // No spin: orientation exact, position moved by dt v.
    EXPECT_EQ(q[0].w, 1.0f);
    EXPECT_EQ(q[0].x, 0.0f);
    EXPECT_EQ(m[0].pos.y, 1.0f);
    EXPECT_EQ(m[0].flags, 0u);
    // Spin about the free axis only: exactly s dt about it.
    EXPECT_NEAR(2.0f * std::atan2(q[1].z, q[1].w), 1.5f, 1e-3f); // table square root: ~12 bits
    EXPECT_NEAR(m[1].right.y, std::sin(1.5f), 2e-3f);
    OvQuat r = {0.1f, 0.2f, 0.3f, 0.9f};
    const OvQuat before = r;
    const OvV3d tiny = {0.00005f, 0.0f, 0.0f};
    OvpIntegrateOrientation(&r, &tiny, 1.0f);
    EXPECT_EQ(std::memcmp(&r, &before, sizeof(r)), 0);
    ASSERT_TRUE(OvTestEngineDown());
}

// (Free fall and spin decay against their closed forms are physics_sim scenes, checked with the
// physics label.)

TEST(PhysicsDynamics, SameSeedGivesBitIdenticalStates) {
    auto run = [](unsigned seed) {
        crt_srand(seed);
        TestWorld s(60, 0, 0, {0.0f, -10.0f, 0.0f});
        std::mt19937 rng(seed);
        std::uniform_real_distribution<float> u(-30.0f, 30.0f), sp(-8.0f, 8.0f);
        const float half[3] = {0.5f, 0.7f, 0.9f};
        for (int i = 0; i < 60; ++i) {
            OvpObj* b = s.Box(half, {u(rng), u(rng), u(rng)});
            float* v = s.V(b);
            for (int k : {0, 1, 2, 4, 5, 6})
                v[k] = sp(rng);
        }
        for (int n = 0; n < 200; ++n) {
            OvpPipelineStep(s.pipeline, 0.01f);
        }
        const OvpBodyArrays* b = s.manager->bodies;
        std::vector<unsigned char> state(reinterpret_cast<const unsigned char*>(b->matrices),
                                         reinterpret_cast<const unsigned char*>(b->matrices + b->count));
        state.insert(state.end(), reinterpret_cast<const unsigned char*>(b->velocities),
                     reinterpret_cast<const unsigned char*>(b->velocities + b->count));
        // The far field's layout depends on the random tie-breaks as well.
        const unsigned char* ff = reinterpret_cast<const unsigned char*>(s.manager->farfield);
        state.insert(state.end(), ff, ff + sizeof(OvpFarfield) - sizeof(void*) * 2 - 8);
        return state;
    };
    EXPECT_EQ(run(99), run(99));
}
