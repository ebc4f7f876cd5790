#pragma once
// CPathWayAgent: walks its entity along a named path way of the world's CPathWayManager. It goes to
// each step through the brain's path finder in the step's move mode ("walk" at a quarter of the
// maximum speed, "crouch" and "jump" with their actions), runs the step's command there ("pause s",
// "rotate d" relative to the heading at the start of the command, "orient d" to an absolute yaw)
// and goes on; after the last step it starts again when the path way's flag byte is set, else it
// finishes. Times are seconds of engine time (the time manager's frame start).

#include <cstdint>

#include "ai/runtime/agent.h"
#include "ai/runtime/class_desc.h"

class CActionAcceleration;
class CActionCrouch;
class CActionJump;
class CActionRotate;
class CActionSpeed;
class CActionSteering;
class CEntity;
class CEntityMaxSpeed;
class CPathWay;
class CPathWayManager;
class IPathFinder;

class CPathWayAgent : public CAgent {
public:
    static CAgentDesc s_classDesc; // "CPathWayAgent"
    static CAgent* Create(CBrain* owner);
    static constexpr float kAngleTolerance = 3.0f; // degrees

    explicit CPathWayAgent(CBrain* owner);

    // Clears the command state, finds the path finder and the path-way manager, reads the
    // parameters, resets, finds the actions; false when any of these is missing or refused.
    bool Init(CConfigNode* definition) override;
    // "PathWayName": the manager's path way of that name; refused when there is none.
    bool ReadParam(CConfigNode* node) override;
    // Reset: back to the first step (the last when walking in reverse).
    void Update() override;
    const CAgentDesc* GetClassDesc() const override;
    // A path way with steps is set.
    bool IsReady() override;
    // Walks to the current step, or runs its command and goes on; false when finished is not set
    // and no move could be made.
    bool Think() override;
    virtual bool CheckServices();
    virtual bool CheckManager();
    // Exactly one of speed and acceleration, and exactly one of rotate and steering.
    virtual bool CheckActions();
    // Runs the command of step index; true when it is done.
    virtual bool ExecuteCommand(int32_t index);

    void Reset();
    CPathWay* GetPathWay() const { return m_pathWay; }
    int32_t GetCurrentStep() const { return m_currentStep; }
    bool IsAtStep() const { return m_atStep != 0; }
    bool IsFinished() const { return m_finished != 0; }

    uint8_t m_reverse = 0; // walk the steps from last to first (the host sets it)

private:
    CEntity* GetOwner() const;
    // Speed 0 and an acceleration that brings the owner's speed to rest.
    void HoldStill();
    // Turning towards target (degrees) while it is more than the tolerance away; true when reached.
    bool TurnTowards(float target);

    IPathFinder* m_pathFinder = nullptr;
    CPathWayManager* m_manager = nullptr;
    const CEntityMaxSpeed* m_maxSpeed = nullptr;
    CActionSpeed* m_speed = nullptr;
    CActionAcceleration* m_acceleration = nullptr;
    CActionCrouch* m_crouch = nullptr;
    CActionJump* m_jump = nullptr;
    CActionRotate* m_rotate = nullptr;
    CActionSteering* m_steering = nullptr;
    CActionSpeed* m_pathFinderSpeed = nullptr;
    CActionAcceleration* m_pathFinderAcceleration = nullptr;
    CPathWay* m_pathWay = nullptr;
    int32_t m_currentStep = 0; // -1: none
    uint8_t m_atStep = 0;
    uint8_t m_finished = 0;
    uint8_t m_pausing = 0;
    float m_pauseEnd = 0.0f;
    uint8_t m_rotating = 0;
    float m_rotateTarget = 0.0f;
    uint8_t m_orienting = 0;
    float m_orientTarget = 0.0f;
};
