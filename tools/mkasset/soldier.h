#pragma once
// The framework's soldier: the skeleton every character profile of the generated scene shares,
// its clump, and the names of the animations a profile lists. The soldier is modelled at 500
// model units a metre (the framework scales character clumps by 0.002), faces +z, and its
// hierarchy nodes are in a fixed order: node 17 is the head, node 35 the right hand holding the
// rifle, whose muzzle lies 0.05, 0.11 and 0.6 metres along the hand's right, up and at axes.

#include <cstdint>
#include <string>
#include <vector>

#include "tools/mkasset/skeleton.h"
#include "framework/profile_animations.h"

namespace mkasset {

inline constexpr float kSoldierUnit = 500.0f; // model units a metre
inline constexpr int kSoldierHeadNode = 17;
inline constexpr int kSoldierHandNode = 35;
inline constexpr float kSoldierMuzzle[3] = {0.05f, 0.11f, 0.6f}; // metres along the hand's axes

// The soldier's bones, already in hierarchy order (node i is entry i).
const std::vector<BoneDesc>& SoldierBones();
int SoldierBoneCount();
// Hierarchy node of the named bone, -1 when there is none.
int SoldierNode(const std::string& name);

// The parts of the soldier's body, each round one bone.
const std::vector<BodyPart>& SoldierBody();
// The soldier's clump (every bone; the body made of its parts, skinned with up to two weights a
// vertex) in a colour.
ClumpDesc SoldierClump(const std::uint8_t colour[3]);

// File name of a profile animation, e.g. "idleaimupleft.anm".
std::string ProfileAnimationFile(const std::string& name);

} // namespace mkasset
