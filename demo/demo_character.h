#pragma once
// What the demo's AI classes need of a game character: its movement commands, its frame, its
// profile measures, its weapon and its health. The game's character class answers through this
// interface, and the AI entity of a character keeps a pointer to it as its host object.

#include "ai/runtime/vector3.h"

// A character's frame: the axes of its model and its position (world coordinates).
struct DemoCharacterFrame {
    CVector3 right;    // x axis
    CVector3 up;       // y axis
    CVector3 at;       // z axis, the way the character faces
    CVector3 position; // feet
};

class IDemoCharacter {
public:
    // Movement states.
    static constexpr int kWalk = 0;
    static constexpr int kRun = 1;
    static constexpr int kTurnToAim = 2;
    static constexpr int kCrouchedAim = 3;
    static constexpr int kStandingAim = 4;

    virtual ~IDemoCharacter() = default;

    virtual int GetMovementState() const = 0;
    virtual void SetMovementState(int state) = 0;
    // The profile's walking speed in the walk state, its running speed in the run state, else 0
    // (host units per second).
    virtual float GetSpeed() const = 0;
    // Movement commands: forward and sideways components in [-1, 1], turn rate (degrees a frame).
    virtual float GetForward() const = 0;
    virtual float GetSideways() const = 0;
    virtual void SetForward(float value) = 0;
    virtual void SetSideways(float value) = 0;
    virtual void SetTurnRate(float value) = 0;
    // Aiming and shooting.
    virtual void SetAimPoint(const CVector3& point) = 0;
    virtual void SetFiring() = 0;
    virtual CVector3 GetMuzzle() const = 0;

    virtual DemoCharacterFrame GetFrame() const = 0;
    virtual float GetHealth() const = 0;
    virtual float GetProfileWidth() const = 0;
    virtual float GetProfileHeight() const = 0;
    // The up axis of a bone's matrix; false when the skeleton has no such bone.
    virtual bool GetBoneUp(int bone, CVector3* up) const = 0;
};
