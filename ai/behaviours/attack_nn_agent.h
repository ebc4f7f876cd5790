#pragma once
// CAttackNNAgent: attacks the nearest enemy. A small neural net of the world's CNeuralNetManager (the
// strategy) gets the situation as seven one-hot inputs, the distance class (0 far, 1 close, 2
// contact) and the class of the angle between the target's heading and the line from the entity
// to it (0 in front of the target, 1 at its right, 2 behind it, 3 at its left), and answers through
// seven outputs on which side of the target (outputs 0-3) and at which range (outputs 4-6: far,
// close, contact) to stand. The agent turns that into a goal point, reaches it (directly while the
// target is in sight, through the path finder when not) and fires at contact range.

#include <cstdint>

#include "ai/runtime/agent.h"
#include "ai/runtime/class_desc.h"
#include "ai/runtime/vector3.h"
#include "ai/runtime/world.h"

class CActionHeadRotate;
class CActionRotate;
class CActionShoot;
class CActionSpeed;
class CActionSteering;
class CEntity;
class CEntityManager;
class CEntityMaxSpeed;
class CEntityWidth;
class CNeuralNet;
class CNeuralNetManager;
class IPathFinder;

class CAttackNNAgent : public CAgent {
public:
    static CAgentDesc s_classDesc; // "CAttackNNAgent"
    static CAgent* Create(CBrain* owner);
    static constexpr int kInputCount = 7;
    static constexpr int kOutputCount = 7;

    explicit CAttackNNAgent(CBrain* owner);

    // Defaults, the services and the net manager, the parameters, the actions and attributes;
    // false for a null node or when any is missing or refused.
    bool Init(CConfigNode* definition) override;
    // "DistanceContact", "DistanceClose", "DistanceFar", "ImprecisionDist", "SlowDist" (metres),
    // "CanWalkBackwards" (true or false), "StrategyUsed" (a net name).
    bool ReadParam(CConfigNode* node) override;
    const CAgentDesc* GetClassDesc() const override;
    // Takes the nearest enemy as target when there is none; true with a target and a strategy.
    bool IsReady() override;
    bool Think() override;
    virtual bool CheckPathFinder();
    virtual bool CheckEntityManager();
    virtual bool CheckNetManager();
    // Shoot, speed, and rotate or steering.
    virtual bool CheckActions();
    // Max speed and width.
    virtual bool CheckAttributes();
    // The manager's net of that name; refused when absent, or when its input or output layer does
    // not have seven neurons.
    virtual bool SetStrategy(const char* name);

    CEntity* GetTarget() const { return m_target; }
    const CVector3& GetGoalPoint() const { return m_goalPoint; }
    int32_t GetSideChoice() const { return m_sideChoice; }
    int32_t GetRangeChoice() const { return m_rangeChoice; }
    int32_t GetDistanceClass() const { return m_distanceClass; }
    int32_t GetAngleClass() const { return m_angleClass; }
    bool IsAtContact() const { return m_atContact != 0; }
    bool IsArrived() const { return m_arrived != 0; }
    bool IsWalkingBackwards() const { return m_walkBackwards != 0; }
    const float* GetInputs() const { return m_inputs; }

    float m_distanceContact = 1.0f;
    float m_distanceClose = 5.0f;
    float m_distanceFar = 10.0f;
    float m_imprecisionDist = 0.5f;
    uint8_t m_canWalkBackwards = 1;
    float m_slowDist = 1.0f;

private:
    static void OnEntityRemoved(CEntity* entity, void* user);
    CEntity* GetOwner() const;
    void Classify();
    void ComputeGoalPoint();
    void ApproachDirectly();
    // Rotate action to yaw, or steering towards it.
    void TurnTo(float yaw);
    // Head towards the aim, at most 45 degrees from the body.
    void TurnHead();
    // Yaw that faces the target, in [-180, 180].
    float AimYaw() const;

    CEntity* m_target = nullptr;
    CNeuralNet* m_strategy = nullptr;
    float* m_inputs = nullptr; // the strategy's arrays
    float* m_outputs = nullptr;
    CVector3 m_goalPoint;
    int32_t m_sideChoice = -1;
    int32_t m_rangeChoice = -1;
    CEntityManager* m_entityManager = nullptr;
    IPathFinder* m_pathFinder = nullptr;
    CNeuralNetManager* m_netManager = nullptr;
    CActionShoot* m_shoot = nullptr;
    CActionHeadRotate* m_headRotate = nullptr;
    CActionRotate* m_rotate = nullptr;
    CActionSteering* m_steering = nullptr;
    CActionSpeed* m_speed = nullptr;
    const CEntityMaxSpeed* m_maxSpeed = nullptr;
    const CEntityWidth* m_width = nullptr;
    uint8_t m_atContact = 0;
    int32_t m_distanceClass = 0;
    int32_t m_angleClass = 0;
    uint8_t m_arrived = 0;
    CVector3 m_lastGoal{-10000.0f, -10000.0f, -10000.0f};
    uint8_t m_walkBackwards = 0;
    CVector3 m_aimAngles; // pitch, yaw, roll (degrees) of the line from the owner to the target
    CEntityRemovedHook m_removedHook{&CAttackNNAgent::OnEntityRemoved, this};
};
