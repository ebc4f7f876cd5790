#pragma once
// Actions: the values an agent decides for its entity in one think (turn, speed, shoot ...). A
// brain's action class holds one object per supported action kind (brain.h); the host's action
// class turns the set ones into effects on its character.
//
// Every action class is registered by name in the action registry at start-up and has a create
// function without arguments and a same-class copy.

#include "ai/runtime/class_desc.h"
#include "ai/runtime/engine_object.h"
#include "ai/runtime/vector3.h"

#include <cstdint>

class CAction : public CEngineObject {
public:
    // 1 when the value was written since the owning action class was last cleared, 0 at creation.
    uint8_t set = 0;

    // Copies the value of an action of the same class and marks this one set; does nothing when
    // the other object is null or of another class. Answers this object.
    virtual CAction* CopyFrom(const CAction* other) = 0;
    virtual const CActionDesc* GetClassDesc() const = 0;
};

// Shared implementation of the concrete actions: Self names the class, Values is a plain record of
// its value fields, copied as a whole.
template <class Self, class Values> class CActionOf : public CAction, public Values {
public:
    CAction* CopyFrom(const CAction* other) override {
        if (other != nullptr && other->GetClassDesc() == GetClassDesc()) {
            static_cast<Values&>(*this) = static_cast<const Values&>(*static_cast<const Self*>(other));
            set = 1;
        }
        return this;
    }
    const CActionDesc* GetClassDesc() const override { return &Self::s_desc; }
    // Create function of the registry; null when out of memory.
    static CAction* Create() { return new Self(); }
};

struct CTwoAnglesValues {
    float angle1 = 0.0f; // degrees; meaning decided by the host
    float angle2 = 0.0f; // degrees; meaning decided by the host
};
struct CFloatValue {
    float value = 0.0f;
};
struct CByteValue {
    uint8_t value = 0;
};
struct CShootValues {
    CVector3 direction{0.0f, 0.0f, 0.0f}; // aim direction
    uint8_t fire = 0;                     // 1: fire this frame
};

// Two angles of the torso (degrees).
class CActionTorsoRotate : public CActionOf<CActionTorsoRotate, CTwoAnglesValues> {
public:
    static CActionDesc s_desc;
};
// Two angles of the head (degrees).
class CActionHeadRotate : public CActionOf<CActionHeadRotate, CTwoAnglesValues> {
public:
    static CActionDesc s_desc;
};
// Absolute heading, yaw in degrees.
class CActionRotate : public CActionOf<CActionRotate, CFloatValue> {
public:
    static CActionDesc s_desc;
};
// Speed (host units per second).
class CActionSpeed : public CActionOf<CActionSpeed, CFloatValue> {
public:
    static CActionDesc s_desc;
};
// Acceleration (host units per second squared).
class CActionAcceleration : public CActionOf<CActionAcceleration, CFloatValue> {
public:
    static CActionDesc s_desc;
};
// Turn command: -1, 0 or +1.
class CActionSteering : public CActionOf<CActionSteering, CFloatValue> {
public:
    static CActionDesc s_desc;
};
// 1: crouch.
class CActionCrouch : public CActionOf<CActionCrouch, CByteValue> {
public:
    static CActionDesc s_desc;
};
// 1: jump.
class CActionJump : public CActionOf<CActionJump, CByteValue> {
public:
    static CActionDesc s_desc;
};
// 1: activate what is in front of the entity.
class CActionActivate : public CActionOf<CActionActivate, CByteValue> {
public:
    static CActionDesc s_desc;
};
// Aim direction and whether to fire.
class CActionShoot : public CActionOf<CActionShoot, CShootValues> {
public:
    static CActionDesc s_desc;
};
