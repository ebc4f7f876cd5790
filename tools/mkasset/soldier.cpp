#include "tools/mkasset/soldier.h"

#include <cctype>

namespace mkasset {

const std::vector<BoneDesc>& SoldierBones() {
    // Parents before children and every subtree contiguous, so the depth-first hierarchy order is
    // this order. The right arm is bent so that the forearm and hand point forward (+z) with the
    // rifle along the hand's at axis; the left arm reaches for the rifle's fore grip.
    static const std::vector<BoneDesc> bones = {
        {"pelvis", 1, -1, {0, 0.95f, 0}, 0.13f},
        {"l_thigh", 2, 0, {0.1f, -0.05f, 0}, 0.07f},
        {"l_calf", 3, 1, {0, -0.42f, 0}, 0.055f},
        {"l_foot", 4, 2, {0, -0.4f, 0}, 0.045f},
        {"l_toe", 5, 3, {0, -0.05f, 0.14f}, 0.04f},
        {"r_thigh", 6, 0, {-0.1f, -0.05f, 0}, 0.07f},
        {"r_calf", 7, 5, {0, -0.42f, 0}, 0.055f},
        {"r_foot", 8, 6, {0, -0.4f, 0}, 0.045f},
        {"r_toe", 9, 7, {0, -0.05f, 0.14f}, 0.04f},
        {"holster", 10, 0, {-0.17f, -0.02f, 0}, 0.04f},
        {"spine", 11, 0, {0, 0.12f, 0}, 0.13f},
        {"spine1", 12, 10, {0, 0.12f, 0}, 0.14f},
        {"chest", 13, 11, {0, 0.15f, 0}, 0.15f},
        {"backpack", 14, 12, {0, 0, -0.17f}, 0.09f},
        {"antenna", 15, 13, {0.08f, 0.25f, 0}, 0.01f},
        {"neck", 16, 12, {0, 0.16f, 0}, 0.05f},
        {"neck1", 17, 15, {0, 0.05f, 0}, 0.05f},
        {"head", 18, 16, {0, 0.07f, 0}, 0.1f},
        {"jaw", 19, 17, {0, -0.03f, 0.07f}, 0.04f},
        {"helmet", 20, 17, {0, 0.17f, 0}, 0.06f},
        {"l_clavicle", 21, 12, {0.05f, 0.12f, 0}, 0.05f},
        {"l_upperarm", 22, 20, {0.13f, 0, 0}, 0.05f},
        {"l_forearm", 23, 21, {0.05f, -0.2f, 0.16f}, 0.045f},
        {"l_hand", 24, 22, {-0.12f, 0.02f, 0.2f}, 0.035f},
        {"l_thumb", 25, 23, {-0.02f, 0.02f, 0.04f}, 0.012f},
        {"l_thumb2", 26, 24, {-0.01f, 0, 0.03f}, 0.01f},
        {"l_index", 27, 23, {0, 0, 0.08f}, 0.012f},
        {"l_index2", 28, 26, {0, 0, 0.03f}, 0.01f},
        {"l_middle", 29, 23, {0.02f, 0, 0.08f}, 0.012f},
        {"l_middle2", 30, 28, {0, 0, 0.03f}, 0.01f},
        {"l_pinky", 31, 23, {0.04f, 0, 0.07f}, 0.01f},
        {"l_pinky2", 32, 30, {0, 0, 0.025f}, 0.008f},
        {"r_clavicle", 33, 12, {-0.05f, 0.12f, 0}, 0.05f},
        {"r_upperarm", 34, 32, {-0.13f, 0, 0}, 0.05f},
        {"r_forearm", 35, 33, {-0.02f, -0.25f, 0.08f}, 0.045f},
        {"r_hand", 36, 34, {0.02f, 0.03f, 0.26f}, 0.035f},
        {"r_thumb", 37, 35, {0.02f, 0.02f, 0.04f}, 0.012f},
        {"r_index", 38, 35, {0, 0, 0.08f}, 0.012f},
        {"r_pinky", 39, 35, {-0.04f, 0, 0.07f}, 0.01f},
        {"rifle", 40, 35, {kSoldierMuzzle[0], kSoldierMuzzle[1], -0.2f}, 0.025f},
        {"muzzle", 41, 39, {0, 0, kSoldierMuzzle[2] + 0.2f}, 0.015f},
    };
    return bones;
}

int SoldierBoneCount() { return static_cast<int>(SoldierBones().size()); }

int SoldierNode(const std::string& name) {
    const std::vector<BoneDesc>& bones = SoldierBones();
    for (std::size_t i = 0; i < bones.size(); ++i) {
        if (name == bones[i].name) {
            return static_cast<int>(i);
        }
    }
    return -1;
}

const std::vector<BodyPart>& SoldierBody() {
    // Each limb runs from its joint to the next one and shares the joints' rings with its
    // neighbours; the trunk is one column from the hips to the shoulders, the head sits on the
    // neck under its helmet, and the holster, backpack and rifle are carried close to the body.
    // The fingers are covered by the hands.
    static const std::vector<BodyPart> parts = {
        {"pelvis", {0, -0.1f, 0}, {0, 0.12f, 0}, 0.16f, 0.7f, nullptr, "spine"},
        {"l_thigh", {0, 0, 0}, {0, -0.42f, 0}, 0.075f, 1, "pelvis", "l_calf"},
        {"l_calf", {0, 0, 0}, {0, -0.4f, 0}, 0.06f, 1, "l_thigh", "l_foot"},
        {"l_foot", {0, 0, -0.04f}, {0, -0.05f, 0.14f}, 0.045f, 1, "l_calf", "l_toe"},
        {"l_toe", {0, 0, 0}, {0, 0, 0.07f}, 0.04f},
        {"r_thigh", {0, 0, 0}, {0, -0.42f, 0}, 0.075f, 1, "pelvis", "r_calf"},
        {"r_calf", {0, 0, 0}, {0, -0.4f, 0}, 0.06f, 1, "r_thigh", "r_foot"},
        {"r_foot", {0, 0, -0.04f}, {0, -0.05f, 0.14f}, 0.045f, 1, "r_calf", "r_toe"},
        {"r_toe", {0, 0, 0}, {0, 0, 0.07f}, 0.04f},
        {"holster", {0.02f, 0.03f, 0}, {0.02f, -0.15f, 0}, 0.035f, 1.4f},
        {"spine", {0, 0, 0}, {0, 0.12f, 0}, 0.15f, 0.68f, "pelvis", "spine1"},
        {"spine1", {0, 0, 0}, {0, 0.15f, 0}, 0.16f, 0.66f, "spine", "chest"},
        {"chest", {0, 0, 0}, {0, 0.17f, 0}, 0.18f, 0.62f, "spine1"},
        {"backpack", {0, -0.05f, 0.05f}, {0, 0.16f, 0.05f}, 0.1f, 0.55f},
        {"antenna", {0, -0.12f, 0.02f}, {0, 0.25f, 0.02f}, 0.012f},
        {"neck", {0, -0.03f, 0}, {0, 0.05f, 0}, 0.055f, 1, "chest", "neck1"},
        {"neck1", {0, 0, 0}, {0, 0.07f, 0}, 0.055f, 1, "neck", "head"},
        {"head", {0, 0, 0.01f}, {0, 0.16f, 0.01f}, 0.09f, 1.1f, "neck1"},
        {"jaw", {0, 0.01f, -0.02f}, {0, -0.01f, 0.01f}, 0.045f},
        {"helmet", {0, -0.06f, 0.01f}, {0, 0.02f, 0.01f}, 0.115f, 1.05f},
        {"l_clavicle", {0, 0, 0}, {0.13f, 0, 0}, 0.06f, 1, "chest", "l_upperarm"},
        {"l_upperarm", {0, 0, 0}, {0.05f, -0.2f, 0.16f}, 0.05f, 1, "l_clavicle", "l_forearm"},
        {"l_forearm", {0, 0, 0}, {-0.12f, 0.02f, 0.2f}, 0.045f, 1, "l_upperarm", "l_hand"},
        {"l_hand", {0, 0, 0}, {0.01f, 0, 0.09f}, 0.038f, 0.7f, "l_forearm"},
        {"r_clavicle", {0, 0, 0}, {-0.13f, 0, 0}, 0.06f, 1, "chest", "r_upperarm"},
        {"r_upperarm", {0, 0, 0}, {-0.02f, -0.25f, 0.08f}, 0.05f, 1, "r_clavicle", "r_forearm"},
        {"r_forearm", {0, 0, 0}, {0.02f, 0.03f, 0.26f}, 0.045f, 1, "r_upperarm", "r_hand"},
        {"r_hand", {0, 0, 0}, {-0.01f, 0, 0.09f}, 0.038f, 0.7f, "r_forearm"},
        {"rifle", {0, 0, -0.12f}, {0, 0, kSoldierMuzzle[2] + 0.2f}, 0.032f, 0.6f},
        // The grip, from the right hand up to the barrel above it.
        {"rifle", {-kSoldierMuzzle[0], -kSoldierMuzzle[1], 0.2f}, {0, -0.01f, 0.21f}, 0.022f},
        {"muzzle", {0, 0, 0}, {0, 0, 0.06f}, 0.016f},
    };
    return parts;
}

ClumpDesc SoldierClump(const std::uint8_t colour[3]) {
    return CharacterClumpOf(SoldierBones(), SoldierBoneCount(), kSoldierUnit, colour, &SoldierBody());
}

std::string ProfileAnimationFile(const std::string& name) {
    std::string file;
    for (const char c : name) {
        file += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    return file + ".anm";
}

} // namespace mkasset
