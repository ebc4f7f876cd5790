#pragma once
// The level objects of the asset builder's folders (level_objects_scene.cpp): where each stands
// (a layout), the config.xml elements a layout gives, the ground each takes up, and the models
// and textures they load.

#include <string>
#include <vector>

namespace mkasset {

// Where the scene's lift rides, for the tools that watch it.
inline constexpr float kSceneLiftP1[3] = {3.0f, 0.1f, -2.0f};
inline constexpr float kSceneLiftP2[3] = {3.0f, 3.1f, -2.0f};

// One of each level object and a collision plane and triangle, in metres (y up). The sizes and
// timings the layouts share (the switch's texts, the laser's timing, the door's height and depth,
// the lift's 2 x 2 platform) are fixed; the bounds the elements carry are derived.
struct LevelObjectLayout {
    float switchAt[3];     // the switch "LiftSwitch"
    float switchNormal[3]; // the way its buttons face
    float liftP1[3];       // the lift's platform centre at its ends
    float liftP2[3];
    float laserP1[3]; // the beam's ends
    float laserP2[3];
    float teleporterEntry[3];
    float teleporterExit[3];
    float bumper[3];     // throws characters within 2 of it west, 14 metres at most
    float jumpHelper[3]; // the foot of its 2 metre post
    float door[3];       // centre of the 2 x 2 door
    int doorAxis;        // 1: across x, 0: across z
    float planeAt[3];    // centre of the collision plane
    float planeNormal[3];
    float planeRight[3];
    float planeLength; // along right
    float planeWidth;  // along normal x right
    float triangle[3][3];
};

// The scene's layout (mkasset scene, on its 24 x 24 level with the origin kept clear).
LevelObjectLayout SceneLevelObjects();

// Ground an object takes up or reaches (x and z ranges, metres), named for messages.
struct Footprint {
    const char* what;
    float min[2];
    float max[2];
};
// Each object's footprint: the switch and jump helper with half a metre round them, the lift's
// platform, the laser beam's line, the teleporter's entry reach and its exit with a soldier's
// room, the bumper's reach and the strip its throw flies over, the door's swing, the plane's and
// the triangle's ground with half a metre round them.
std::vector<Footprint> LevelObjectFootprints(const LevelObjectLayout& layout);

// config.xml's collision plane and triangle (inside "Worlds").
std::string LevelCollisionConfig(const LevelObjectLayout& layout);
// config.xml's level objects: a switch, the lift it drives, a laser beam, a teleporter, a bumper,
// a jump helper and a door.
std::string LevelObjectConfig(const LevelObjectLayout& layout);
// The lift's platform "models/lift.dff", the switch's four button models "models/Bouton*.dff"
// and their textures under out; false with a message naming what could not be written.
bool WriteLevelObjectAssets(const std::string& out, std::string* error);

} // namespace mkasset
