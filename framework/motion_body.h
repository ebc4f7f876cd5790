#pragma once
// The physics body that carries a character: a hidden sphere whose velocity follows the
// character's forward, sideways and turning motion, held to the ground by the world manager's
// stick values, carried by lifts, and pushed up for a scripted jump. The character's clump
// follows the sphere each frame.

#include <cstdint>

#include "graphics/core/types.h"
#include "graphics/core/vector.h"

class CClumpObject;
struct OvFrame;
struct OvpObj;
struct OvpBodyDef;

// Model of the hidden sphere.
inline constexpr const char* kMotionSphereModel = "./Models/World.dff";

class CharacterMotionBody {
public:
    // Jump phases.
    enum JumpState : std::int32_t { kOnGround = 0, kTakingOff = 1, kInAir = 2 };
    static constexpr float kTakeOffSpeed = 6.0f; // upward speed while taking off
    static constexpr float kTakeOffTime = 0.1f;  // seconds of the push
    static constexpr float kLandingTime = 0.2f;  // seconds in the air before landing counts
    static constexpr float kTakeOffCarry = 1.5f; // factor on the horizontal motion at take-off

    CharacterMotionBody() = default;
    virtual ~CharacterMotionBody();
    CharacterMotionBody(const CharacterMotionBody&) = delete;
    CharacterMotionBody& operator=(const CharacterMotionBody&) = delete;

    // Makes the sphere (radius unit x 0.4, mass 1.0) and its hidden clump, adds both to the world
    // manager and the physics manager and places the body at the position. False (with the clump
    // object's message) when the sphere's model cannot be read or has no atomic, or without a
    // world manager with physics; the character then stands still.
    bool Setup(CClumpObject* owner, const OvV3d& position);
    // Places the body at the point (resynchronised and woken) when there is one.
    void SetPosition(const OvV3d& point);
    // The next take-off uses this velocity instead of one derived from the motion.
    void SetJumpVector(const OvV3d& vector);
    void RequestJump() { jumpRequest_ = 1; }
    // Gives the body the velocity and puts it in the air, where the motion leaves its velocity to
    // the physics until it lands (a bumper's throw).
    void Throw(const OvV3d& velocity);
    // One frame: velocity from the motion values, ground test, stick forces, lift carry, jump
    // phase, then the owner's clump follows the body.
    void Update(float dt);
    // Removes the body and the sphere's clump from the managers and destroys them.
    void ReleaseBody();

    void SetMotion(float forward, float sideways, float turn) {
        forwardMotion_ = forward;
        sidewaysMotion_ = sideways;
        turnMotion_ = turn;
    }
    // The profile's dynamics, kept with the body (its motion does not use them).
    struct Dynamics {
        float sphereRadius = 0.0f;
        float slideIntensity = 0.0f;
        float slideCreaseYComponent = 0.0f;
        std::int32_t accuracy = 0;
        float gravity = 0.0f;
    };
    void SetDynamics(const Dynamics& dynamics) { dynamics_ = dynamics; }
    const Dynamics& GetDynamics() const { return dynamics_; }
    std::int32_t JumpState() const { return jumpState_; }
    float JumpTimer() const { return jumpTimer_; }
    bool JumpPending() const { return jumpRequest_ != 0; }
    float Speed() const { return speed_; }
    float Unit() const { return unit_; }
    OvpObj* Body() const { return body_; }
    CClumpObject* Sphere() const { return sphere_; }
    // Whether the last update found ground under the sphere.
    bool OnGround() const { return onGround_; }

private:
    std::uint8_t jumpRequest_ = 0;
    std::int32_t jumpState_ = kOnGround;
    float jumpTimer_ = 0.0f;
    std::uint8_t jumpWithVector_ = 0;
    OvV3d jumpVector_ = {0.0f, 0.0f, 0.0f};
    float unit_ = 1.0f;
    float footOffset_ = 0.4f;
    float forwardMotion_ = 0.0f;
    float sidewaysMotion_ = 0.0f;
    float turnMotion_ = 0.0f;
    float speed_ = 0.0f;
    bool onGround_ = false;
    Dynamics dynamics_;
    CClumpObject* sphere_ = nullptr;
    OvFrame* bodyFrame_ = nullptr; // the sphere atomic's own frame, moved by the body
    OvpBodyDef* bodyDef_ = nullptr;
    OvpObj* body_ = nullptr;
    CClumpObject* owner_ = nullptr;
};
