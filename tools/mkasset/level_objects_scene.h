#pragma once
// The level-object part of mkasset scene (level_objects_scene.cpp).

#include <string>

namespace mkasset {

// Where the scene's lift rides, for the tools that watch it.
inline constexpr float kSceneLiftP1[3] = {3.0f, 0.1f, -2.0f};
inline constexpr float kSceneLiftP2[3] = {3.0f, 3.1f, -2.0f};

// config.xml's collision plane and triangle (inside "Worlds").
std::string LevelCollisionConfig();
// config.xml's level objects: a switch, the lift it drives, a laser beam, a teleporter, a bumper,
// a jump helper and a door.
std::string LevelObjectConfig();
// The lift's platform "models/lift.dff", the switch's four button models "models/Bouton*.dff"
// and their textures under out; false with a message naming what could not be written.
bool WriteLevelObjectAssets(const std::string& out, std::string* error);

} // namespace mkasset
