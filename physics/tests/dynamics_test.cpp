// Dynamic records from definitions and impulses, and the integrator's edge cases.

#include <gtest/gtest.h>

#include <cfloat>
#include <cmath>
#include <cstring>

#include "graphics/core/testkit/engine_fixture.h"
#include "physics/core/context/context.h"
#include "physics/core/context/dynamics.h"
#include "physics/core/context/manager.h"
#include "physics/core/context/objtypes.h"
#include "physics/core/context/pipeline.h"
#include "physics/core/dynamics/integrate.h"
#include "physics/core/volume/primitives.h"
#include "physics/tests/physics_test.h"

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
    // At the edges: the least mass above FLT_MIN is kept; a speed and a spin of 1000 go through
    // a step as they are, a little more is cut to them.
    OvpBodyDef* light = OvpBodyDefCreate();
    light->dynDef.mass = 2.0f * FLT_MIN;
    OvpObj* l = s.Add(light, {0.0f, 5.0f, 0.0f});
    EXPECT_EQ(s.manager->bodies->mass[l->parts[0].dyn->body].m[0][3], 2.0f * FLT_MIN);
    z->parts[0].dyn->linearDamping = z->parts[0].dyn->angularDamping = 0.0f;
    for (const float speed : {1000.0f, 1000.5f}) {
        s.V(z)[0] = s.V(z)[6] = speed;
        s.V(z)[1] = s.V(z)[2] = s.V(z)[4] = s.V(z)[5] = 0.0f;
        OvpPipelineStep(s.pipeline, 0.01f);
        EXPECT_EQ(s.V(z)[0], 1000.0f);
        EXPECT_EQ(s.V(z)[6], 1000.0f);
    }
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
