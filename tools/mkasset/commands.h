#pragma once
// The asset builder's subcommands. Each lives in its own source file and is listed once in the
// table of commands.cpp; main dispatches on the first argument.

#include <cstdio>
#include <string>
#include <vector>

namespace mkasset {

struct Command {
    const char* name;                  // first argument that selects it
    const char* summary;               // one line for the overall usage
    int (*run)(int argc, char** argv); // argv[0] is the command's name; exit status
    void (*usage)(std::FILE* out);     // the command's own usage text
};

// The table, ended by an entry whose name is null.
extern const Command kCommands[];

// Exit statuses of every command.
inline constexpr int kExitOk = 0;
inline constexpr int kExitFailed = 1; // a file could not be read or written
inline constexpr int kExitUsage = 2;  // bad command line

// Prints "mkasset <command>: <message>" on standard error and returns the status.
int Fail(const char* command, int status, const std::string& message);
// Parses a whole decimal integer; false when the text is not one.
bool ParseInt(const char* text, int* value);
// The folder of a command line that takes only "--out DIR": kExitOk with *out set, or the usage
// status after a message.
int ParseOutOnly(const char* command, int argc, char** argv, std::string* out);
// A number as config.xml carries it (printf's %g).
std::string ConfigNumber(float value);
// Three attributes of config.xml: ` x="1" y="2" z="3"`, or with a prefix ` px="1" py="2" pz="3"`.
std::string Xyz(const float* v, const std::string& prefix = "");
// config.xml's "PhysicsGlobalSettings" element (inside "Worlds") with the body limits given.
std::string PhysicsSettingsConfig(int maxRegistered, int maxActive);
// Writes the bytes to the file; false (and a message naming it) when that fails.
bool WriteFile(const char* command, const std::string& path, const std::vector<unsigned char>& bytes);

// The commands.
int RunModel(int argc, char** argv);
void ModelUsage(std::FILE* out);
int RunLevel(int argc, char** argv);
void LevelUsage(std::FILE* out);
int RunFont(int argc, char** argv);
void FontUsage(std::FILE* out);
int RunSpline(int argc, char** argv);
void SplineUsage(std::FILE* out);
int RunCharacter(int argc, char** argv);
void CharacterUsage(std::FILE* out);
int RunAnim(int argc, char** argv);
void AnimUsage(std::FILE* out);
int RunMarkers(int argc, char** argv);
void MarkersUsage(std::FILE* out);

// The bytes of a spline file: one chunk (type 12) with the name (cut to 32 bytes), the point
// count, the type (1 open, 2 closed) and the points, three floats each.
std::vector<unsigned char> SplineFile(const std::string& name, const std::vector<float>& xyz, bool closed);

// The pointer and crosshair images and the camera spline under DIR/models (markers.cpp); false
// with a message naming the file that could not be written.
inline constexpr int kCameraSplineCount = 8;
extern const float kCameraSplinePoints[kCameraSplineCount][3];
bool WriteMarkers(const std::string& dir, std::string* error);
// The scene's "Physics" section (crates and a ball) and "Hud" section, and the start screen's
// images under DIR/models/textures (scene_bodies.cpp).
std::string ScenePhysicsSection();
// The ground each of the section's bodies stands on as placed (its turned box, or the ball's
// square), widened by margin on every side (Footprint: level_objects_scene.h).
struct Footprint;
std::vector<Footprint> ScenePhysicsFootprints(float margin);
std::string SceneHudSection();
bool WriteSceneHudImages(const std::string& dir, std::string* error);
// Everything of the scene folder but config.xml under DIR: the level of the options (with its
// collision trees and two barrels), the crate and barrel models, the textures, the font, the
// markers, the start screen's images and the characters; false with a message.
struct LevelOptions;
bool WriteSceneAssets(const char* command, const std::string& dir, const LevelOptions& level, std::string* error);
int RunScene(int argc, char** argv);
void SceneUsage(std::FILE* out);
int RunDemo(int argc, char** argv);
void DemoUsage(std::FILE* out);

} // namespace mkasset
