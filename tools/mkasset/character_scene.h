#pragma once
// The character part of mkasset scene (character_scene.cpp).

#include <string>

namespace mkasset {

inline constexpr const char* kBlueSoldierFile = "models/soldier_blue.dff";
inline constexpr const char* kRedSoldierFile = "models/soldier_red.dff";
inline constexpr const char* kAnimationFolder = "models/anims";

// The config.xml "Character" sections of the profiles "BlueSoldier" and "RedSoldier": the
// soldier clumps and every animation a profile lists.
std::string CharacterConfig();
// The soldiers, their animations, "models/fire.dff", "models/revolution/rock.dff",
// "models/world.dff" and "models/textures/particle.png" under out; false with a message naming
// what could not be written.
bool WriteCharacterAssets(const std::string& out, std::string* error);

} // namespace mkasset
