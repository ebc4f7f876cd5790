#pragma once
// The probe's application on top of the framework's application base. With a "Camera" section the
// framework's camera manager draws the frames and the input manager moves and switches the
// cameras; without one the probe clears a camera of the client size to kProbeClearColour every
// frame, and with a loaded level that camera looks at it from above, the level is drawn with the
// framework's font and statistics, and dropped physics boxes fall onto it. Optionally it logs the
// camera's mode and position every N frames.

#include <cstdio>
#include <vector>

#include "framework/application.h"
#include "graphics/core/camera.h"

class CCharacter;
class CClumpObject;
struct OvpBodyDef;
struct OvpObj;

inline constexpr OvRGBA kProbeClearColour = {88, 88, 110, 255};
// Model of the dropped boxes (a unit cube), and the frames between two logs of their positions.
inline constexpr const char* kProbeBoxModel = "models/crate.dff";
inline constexpr int kProbeLogInterval = 30;
inline constexpr int kProbeMaxDrop = 64;
// Where the player stands at the start (the level's clear middle), and his default log interval.
inline constexpr OvV3d kProbePlayerStart = {0.0f, 0.45f, 0.0f};
inline constexpr long kProbePlayerLogInterval = 10;

class ProbeApplication : public CStandardApplication {
public:
    ProbeApplication() : CStandardApplication("config.xml") {}

    bool Init() override;
    void Update(float dt) override;
    void RenderScene() override;
    void Terminate() override;
    const char* GetTitle() override;
    std::int32_t HandleEvent(std::int32_t event, void* parameter) override;

    OvCamera* Camera() const { return camera_; }
    // Boxes to drop once the level is loaded.
    void SetDropCount(int count) { dropCount_ = count; }
    // Every `frames` frames (0: never) one line "frame F: MODE camera at X Y Z looking DX DY DZ" goes to `out`.
    void SetCameraLog(long frames, std::FILE* out) {
        logEvery_ = frames;
        log_ = out;
    }

    // Every `frames` frames (0: never) one line "frame F body I NAME: X Y Z" per rigid body of the
    // configuration's "Physics" section goes to `out`.
    void SetBodyLog(long frames, std::FILE* out) {
        bodyLogEvery_ = frames;
        bodyLog_ = out;
    }
    // Spawns one input-controlled character of the first profile; every `frames` frames one line
    // "frame F: player at X Y Z animation NAME" goes to `out`.
    void SetPlayer(long frames, std::FILE* out) {
        playerLogEvery_ = frames;
        playerLog_ = out;
        wantPlayer_ = true;
    }
    CCharacter* Player() const { return player_; }
    // Every `frames` frames one line per lift of the level, "frame F lift I: X Y Z anchor AX AY AZ"
    // (where its platform stands and where its joint holds it), goes to `out`.
    void SetLiftLog(long frames, std::FILE* out) {
        liftLogEvery_ = frames;
        liftLog_ = out;
    }

private:
    bool DropBoxes();
    bool SpawnPlayer();
    void LogBodies() const;
    void LogBoxes() const;

    OvCamera* camera_ = nullptr; // the probe's own camera, when there is no camera manager
    long frames_ = 0;            // frames updated
    long logEvery_ = 0;
    long liftLogEvery_ = 0;
    std::FILE* liftLog_ = nullptr;
    long bodyLogEvery_ = 0;
    std::FILE* bodyLog_ = nullptr;
    std::FILE* log_ = nullptr;
    int dropCount_ = 0;
    int frame_ = 0;
    bool boxesAsleep_ = false; // every dropped box was asleep at the last frame
    OvpBodyDef* boxDef_ = nullptr;
    std::vector<CClumpObject*> boxes_;
    std::vector<OvpObj*> bodies_;
    bool wantPlayer_ = false;
    long playerLogEvery_ = 0;
    std::FILE* playerLog_ = nullptr;
    CCharacter* player_ = nullptr;
    int shotsLogged_ = 0;
};
