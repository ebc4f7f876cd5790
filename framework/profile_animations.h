#pragma once
// The animations a character profile names, indexed as the character's animation numbers are: the
// framework reads them from the profile's "Animations" element and the asset builder writes one file
// for each.

inline constexpr int kProfileAnimationCount = 37;

inline constexpr const char* kProfileAnimationNames[kProfileAnimationCount] = {
    "Run",
    "Walk",
    "Idle",
    "StrafeLeft",
    "StrafeRight",
    "Backward",
    "BackwardLeft",
    "BackwardRight",
    "ForwardLeft",
    "ForwardRight",
    "AlertWalk",
    "AlertIdle",
    "AlertStrafeLeft",
    "AlertStrafeRight",
    "AlertBackward",
    "AlertBackwardLeft",
    "AlertBackwardRight",
    "AlertForwardLeft",
    "AlertForwardRight",
    "CrouchAimUpLeft",
    "CrouchAimUpFront",
    "CrouchAimUpRight",
    "CrouchAimMiddleLeft",
    "CrouchAimMiddleFront",
    "CrouchAimMiddleRight",
    "CrouchAimDownLeft",
    "CrouchAimDownFront",
    "CrouchAimDownRight",
    "IdleAimUpLeft",
    "IdleAimUpFront",
    "IdleAimUpRight",
    "IdleAimMiddleLeft",
    "IdleAimMiddleFront",
    "IdleAimMiddleRight",
    "IdleAimDownLeft",
    "IdleAimDownFront",
    "IdleAimDownRight",
};
