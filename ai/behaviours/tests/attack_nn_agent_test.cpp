// Attack agent with a single-layer seven-neuron net (outputs = inputs), so that its choices follow from
// its own classification: the hysteresis of the distance classes, the angle sectors, firing at contact,
// the goal point pulled in by a wall, the refusal of nets of another size, and a target that leaves.

#include <cmath>

#include <gtest/gtest.h>

#include "ai/behaviours/attack_nn_agent.h"
#include "ai/behaviours/tests/agent_world_test.h"
#include "ai/navigation/neural_net.h"
#include "ai/runtime/action.h"
#include "ai/runtime/world.h"
#include "ai/runtime/world_api.h"

namespace {

using scenario::Add;
using scenario::HostBody;

class AttackNNAgentTest : public AgentWorldTest {
protected:
    // Nets "Mirror" (seven neurons, one layer) and "Small" (five), an attacker at the origin facing
    // +z and a target of the other side 12 m ahead of it, facing it.
    void Build() {
        MakeFloor({}, 15.0f, 0.3f);
        std::vector<std::pair<std::string, AiRes::Bytes>> blocks;
        for (int size : {7, 5, 0}) {
            AiRes::NeuralNet net;
            net.layers = {size};
            net.weights = {0.0f};
            if (size == 0) {
                // "Hold": two layers whose outputs are their bias weights (linear): side 0 (in front of
                // the target), range 1 (close), whatever the situation.
                net.layers = {7, 7};
                net.linear = 1;
                net.weights.assign(7 * 8, 0.0f);
                net.weights[0 * 8] = 1.0f;
                net.weights[5 * 8] = 1.0f;
            }
            blocks.emplace_back(size == 7 ? "Mirror" : (size == 5 ? "Small" : "Hold"), AiRes::EncodeNeuralNet(net));
        }
        AddResources(static_cast<CNeuralNetManager*>(CNeuralNetManager::Create()), blocks);
        HostBody target;
        target.position = CVector3(0, 0, 12);
        target.heading = 180.0f;
        target.teamSide = 1;
        m_target = SpawnPlain(target, "target");
        ASSERT_NE(m_target, nullptr);
        m_attacker = SpawnAttacker("Mirror");
        m_agent = Agent<CAttackNNAgent>(m_attacker);
        ASSERT_NE(m_agent, nullptr);
        BodyOf(m_attacker).frozen = true;
    }

    CEntity* SpawnAttacker(const char* strategy, const char* canWalkBackwards = "FALSE") {
        HostBody body;
        body.teamSide = 0;
        return SpawnBot(body, "CAttackNNAgent", {{"StrategyUsed", strategy}, {"CanWalkBackwards", canWalkBackwards}});
    }

    // Puts the target at distance h along +z from the attacker, heading `yaw`, and runs one frame.
    void TargetAt(float h, float yaw = 180.0f) {
        HostBody& body = m_world->BodyOf(m_target);
        body.position = CVector3(0, 0, h);
        body.heading = yaw;
        ++m_frame;
        m_world->Frame(1.0 + m_frame, 0.1f);
    }

    CEntity* m_target = nullptr;
    CEntity* m_attacker = nullptr;
    CAttackNNAgent* m_agent = nullptr;
    int m_frame = 0;
};
AI_ENGINE_TEST_SUITE(AttackNNAgentTest);

TEST_P(AttackNNAgentTest, DistanceAndAngleClassesKeepTheirValueInsideTheBands) {
    Build();
    // Contact 1, close 5, far 10, imprecision 0.5.
    const struct {
        float h;
        int distanceClass;
    } distances[] = {{12, 0}, {6, 0},    {5.4f, 1}, {9.4f, 1}, {9.6f, 0}, {5.6f, 0},
                     {3, 0},  {1.4f, 2}, {2, 2},    {4.4f, 2}, {4.6f, 1}, {5.2f, 1}};
    for (const auto& step : distances) {
        TargetAt(step.h);
        EXPECT_EQ(m_agent->GetTarget(), m_target);
        EXPECT_EQ(m_agent->GetDistanceClass(), step.distanceClass) << "h " << step.h;
        EXPECT_EQ(m_agent->IsAtContact(), step.distanceClass == 2 && step.h < 1.5f) << "h " << step.h;
    }
    // The aim from the attacker is yaw 0; a = 0 - target yaw. 45 and 135 lie between sectors.
    const struct {
        float targetYaw;
        int angleClass;
    } angles[] = {{0, 0}, {-45, 0}, {-90, 1}, {-135, 1}, {180, 2}, {135, 2}, {90, 3}, {45, 3}, {10, 0}};
    for (const auto& step : angles) {
        TargetAt(12, step.targetYaw);
        EXPECT_EQ(m_agent->GetAngleClass(), step.angleClass) << "yaw " << step.targetYaw;
        // One-hot inputs; the mirror net hands them back, so the choices follow (ties to the lower index).
        const float* in = m_agent->GetInputs();
        EXPECT_EQ(in[0] + in[1] + in[2], 1.0f);
        EXPECT_EQ(in[3] + in[4] + in[5] + in[6], 1.0f);
        EXPECT_EQ(m_agent->GetSideChoice(), step.angleClass == 0 ? 0 : m_agent->GetDistanceClass());
        EXPECT_EQ(m_agent->GetRangeChoice(), step.angleClass == 0 ? 0 : step.angleClass - 1);
    }
}

TEST_P(AttackNNAgentTest, FiresAtContactAndPullsTheGoalInFromAWall) {
    Build();
    TargetAt(1.2f, 180.0f);
    const auto* shoot = m_agent->GetActionClass()->FindAction<CActionShoot>();
    ASSERT_TRUE(shoot->set);
    EXPECT_EQ(shoot->fire, 1);
    EXPECT_NEAR(shoot->direction.z, 1.0f, 1e-6f); // towards the target
    TargetAt(3.0f, 180.0f);
    EXPECT_EQ(m_agent->GetActionClass()->FindAction<CActionShoot>()->fire, 0);

    // Side 0 (in front of the target), range far: goal 10 m ahead of the target along its heading. A
    // wall 4 m ahead of it pulls the goal to 4 m less the attacker's width.
    TargetAt(12.0f, 0.0f);
    ASSERT_EQ(m_agent->GetSideChoice(), 0);
    ASSERT_EQ(m_agent->GetRangeChoice(), 0);
    EXPECT_NEAR(m_agent->GetGoalPoint().z, 22.0f, 1e-4f);
    Host().AddBox(-3, 0, 16, 3, 3, 17);
    TargetAt(12.0f, 0.0f);
    EXPECT_NEAR(m_agent->GetGoalPoint().z, 12.0f + 4.0f - m_world->BodyOf(m_attacker).width, 1e-4f);
}

// A walking attacker that holds 5 m in front of its target, on the line between them: it walks
// forwards to its place, faces the target once there, and backs away from a target that comes
// closer, still facing it. Its body never turns from the target.
TEST_P(AttackNNAgentTest, FacesItsTargetWhileItTakesAndKeepsItsPlace) {
    Build();
    Vusk::RemoveEntity(m_world->GetWorld(), m_attacker);
    CEntity* attacker = SpawnAttacker("Hold", "TRUE");
    ASSERT_NE(attacker, nullptr);
    HostBody& body = m_world->BodyOf(attacker);
    const HostBody& target = m_world->BodyOf(m_target);
    double time = 1.0;
    for (float targetZ : {12.0f, 9.0f}) {
        m_world->BodyOf(m_target).position = CVector3(0, 0, targetZ);
        bool forwards = false, backwards = false;
        for (int frame = 0; frame < 300; ++frame) {
            time += 0.1;
            m_world->RunAi(time);
            const CVector3 toTarget = target.position - body.position;
            const float aim = std::atan2(toTarget.x, toTarget.z) * 57.29578f;
            ASSERT_TRUE(body.rotateSet) << frame;
            EXPECT_NEAR(CVector3::WrapAngleFully180(body.rotate - aim), 0.0f, 1.0f) << "frame " << frame;
            forwards |= body.speedCommand > 0.0f;
            backwards |= body.speedCommand < 0.0f;
            m_world->MoveBodies(0.1f);
        }
        // Arrived within the imprecision distance of its place, standing, facing the target.
        EXPECT_NEAR(body.position.z, targetZ - 5.0f, 0.5f);
        EXPECT_EQ(body.speedCommand, 0.0f);
        EXPECT_NEAR(CVector3::WrapAngleFully180(body.heading), 0.0f, 1.0f);
        EXPECT_EQ(forwards, targetZ == 12.0f) << targetZ;
        EXPECT_EQ(backwards, targetZ == 9.0f) << targetZ;
    }
}

TEST_P(AttackNNAgentTest, RefusesNetsOfAnotherSizeAndForgetsATargetThatLeaves) {
    Build();
    // The brain leaves a refused agent out.
    for (const char* strategy : {"Small", "None"}) {
        CEntity* other = SpawnAttacker(strategy);
        ASSERT_NE(other, nullptr);
        EXPECT_EQ(other->GetBrain()->GetAgent(&CAttackNNAgent::s_classDesc), nullptr) << strategy;
    }
    CConfigNode bad;
    Add(&bad, "CanWalkBackwards", "maybe");
    EXPECT_FALSE(m_agent->Init(&bad));
    TargetAt(8.0f);
    ASSERT_EQ(m_agent->GetTarget(), m_target);
    Vusk::RemoveEntity(m_world->GetWorld(), m_target);
    EXPECT_EQ(m_agent->GetTarget(), nullptr);
    EXPECT_FALSE(m_agent->IsReady());
    ASSERT_TRUE(Vusk::AddEntity(m_world->GetWorld(), m_target));
}

} // namespace
