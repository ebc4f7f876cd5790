#pragma once
// The framework's application base class: a game derives from it, names its configuration file,
// and supplies Init, Update, RenderScene, Terminate and GetTitle. HandleEvent is where the shell's
// events reach the framework: start-up, graphics open with the configuration, one frame per idle
// event, graphics close.

#include <cstdint>
#include <string>

#include "framework/config_reader.h"
#include "graphics/core/camera.h"
#include "graphics/core/types.h"

class CLight;
struct OvRaster;
#include "graphics/shared/skel/win/skeleton.h"

class CStandardApplication : public CConfigSectionHandler {
public:
    explicit CStandardApplication(const char* configFileName);
    ~CStandardApplication() override = default;

    // The "Application" section of the configuration (the base takes nothing).
    bool StartElement(const char* name, const char** attributes) override;
    bool EndElement(const char* name) override;

    // The game's part. Init returns false when the game cannot run: no frame runs then.
    virtual bool Init() = 0;
    virtual void Update(float dt) = 0;
    virtual void RenderScene() = 0;
    virtual void Terminate() = 0;
    virtual const char* GetTitle() = 0;

    // 0 failed, 1 handled, 2 not handled.
    virtual std::int32_t HandleEvent(std::int32_t event, void* parameter);

    // Stores the main window and its instance in the framework's state.
    static void SetWindowHandle(HWND window);
    // The framework's error box (framework/framework.h).
    static void ErrorBox(const char* text);

    bool AttachPlugins();
    bool AppStart();
    bool GraphicsOpen(SkelPlatform* platform);
    void Shutdown();
    void Frame();
    void Render();
    // The camera manager's one-line text while it is shown (not while paused), in its colour.
    void RenderCameraText();
    void ReadConfig();

    // The configuration's top-level dispatch (what the parser's element callbacks call).
    void DispatchStartElement(const char* name, const char** attributes);
    void DispatchEndElement(const char* name);

    // The time step of a frame from the previous and current millisecond clock (the clock wraps
    // at 2^32): the fixed step when one is set, else the elapsed time held to kMaxStep.
    static constexpr float kMaxStep = 0.0333f;
    static float TimeStep(DWORD elapsedMs, bool fixedStepSet, float fixedStep);

    // The stages of a frame, in the order Frame runs them; OnFrameStage is called as each ends.
    // The game's Update runs between Input and World (only when the game is not paused).
    enum class FrameStage {
        Input,     // the time step and the input manager
        World,     // the world manager's update: level objects and the physics step
        HudCamera, // the HUD's and the camera manager's updates
        Bodies,    // the rigid bodies
        Particles, // impact particles, rocks, the frame-rate sample
        WorldDraw, // the camera's update begun and the world drawn
        SceneDraw, // the game's scene, the pointer, overlay, HUD, drag and particles
        Present,   // the camera's update ended and its raster shown
    };

    // Read-only views for the game and for tests.
    OvUInt32 ResourceArenaSize() const { return resourceArenaSize_; }
    float Scale() const { return scale_; }
    const char* ConfigFileName() const { return configFileName_.c_str(); }
    DWORD LastFrameTime() const { return lastFrameTime_; }
    float LastStep() const { return lastStep_; }
    CConfigSectionHandler* CurrentHandler() const { return currentHandler_; }
    OvRaster* Charset() const { return charset_; }

protected:
    // Called as each stage of a frame ends, for a game or benchmark that times them; the base does
    // nothing.
    virtual void OnFrameStage(FrameStage /*stage*/) {}

    CConfigSectionHandler* currentHandler_ = nullptr; // section being read, or null
    bool fixedStepSet_ = false;                       // every frame uses fixedStep_
    float fixedStep_ = 0.0f;                          // seconds
    OvUInt32 resourceArenaSize_ = 0x800000;           // bytes, from "RessourceArena" "size"
    std::string configFileName_;                      // from the constructor
    float scale_ = 1.0f;                              // from "Scale" "value"
    OvRaster* charset_ = nullptr;                     // raster character set, made with "Worlds"
    OvRGBA charsetForeground_ = {200, 200, 200, 255}; // its colours
    OvRGBA charsetBackground_ = {64, 64, 64, 0};
    bool firstFrame_ = true;              // the next frame starts the clock
    DWORD lastFrameTime_ = 0;             // clock at the last frame, milliseconds
    bool insideGraphicsSettings_ = false; // inside "GraphicsGlobalSettings"
    bool renderWorld_ = true;             // the world is drawn
    float lastStep_ = 0.0f;               // dt of the last frame, seconds
    CLight* defaultAmbient_ = nullptr;    // made when the configuration defines no light
    CLight* defaultDirectional_ = nullptr;
    CLight* lightUnderConstruction_ = nullptr; // the "Light" section being read
    // Elements open at the dispatcher: the file's root is 0 deep, its sections 1. Only these two
    // levels name sections; deeper, a name is the current section's to read (or nobody's).
    int depth_ = 0;
};
