#pragma once
// The framework's lights and font. CLight wraps one graphics light, ambient or directional (a
// directional one on a frame of its own placed at a position and turned towards a target), made
// from a "Light" section of the configuration or from a built-in description. CFont is the one
// text font of the framework: the 2D toolkit opened on the main camera and the font "TSA16" read
// from the folder "FONTS".

#include "framework/config_reader.h"
#include "graphics/core/camera.h"
#include "graphics/core/types.h"
#include "graphics/core/vector.h"

struct Ov2dBrush;
struct Ov2dFont;
struct OvCamera;
struct OvFrame;
struct OvLight;

// A built-in light: type (1 directional, anything else ambient), colour, position and target.
struct LightDescription {
    int type;
    float r, g, b, a;
    float px, py, pz;
    float tx, ty, tz;
};

// The framework's two default lights, made when the configuration defines none.
inline constexpr LightDescription kDefaultAmbientLight = {0, 0.45f, 0.45f, 0.45f, 0.0f, 0, 0, 0, 0, 0, 0};
inline constexpr LightDescription kDefaultDirectionalLight = {
    1, 0.5f, 0.5f, 0.5f, 0.0f, -174.0173f, 21.1665f, 247.2818f, 66.6262f, -11.3181f, -8.2992f};

// Places the frame at the position looking along target - position (its "at" axis), upright
// (its "right" axis level). False, with the frame untouched, when the two points coincide.
bool FrameLookAt(OvFrame* frame, const OvV3d& position, const OvV3d& target);

class CLight : public CConfigSectionHandler {
public:
    // An empty light of no type, filled by a "Light" section.
    CLight();
    // A light made from a description.
    explicit CLight(const LightDescription& description);
    // Destroys the graphics light and its frame.
    ~CLight() override;

    // Type 0 ambient, 1 directional (placed at position, towards target). True when a graphics
    // light exists.
    bool Create(int type, const OvV3d* position = nullptr, const OvV3d* target = nullptr);
    // Keeps r, g, b and the fourth word and gives (r, g, b, 1.0) to the graphics light; the
    // fourth word of the caller's colour becomes 1.0. False without a graphics light.
    bool SetColor(float rgba[4]);
    // Takes the light out of the world manager's worlds, then destroys the graphics light and its
    // frame. True.
    bool Destroy();

    bool StartElement(const char* name, const char** attributes) override;

    int GetType() const { return type_; }
    const float* GetColor() const { return color_; }
    OvLight* GetLight() const { return light_; }
    OvFrame* GetFrame() const { return frame_; }
    const OvV3d& GetPosition() const { return position_; }
    const OvV3d& GetTarget() const { return target_; }

private:
    void CreateGraphicsLight(int type);
    void PlaceFrame();

    int type_ = -1; // 0 ambient, 1 directional
    float color_[4] = {0.0f, 0.0f, 0.0f, 0.0f};
    OvLight* light_ = nullptr;
    OvFrame* frame_ = nullptr;
    OvV3d position_ = {0.0f, 0.0f, 0.0f};
    OvV3d target_ = {0.0f, 0.0f, 0.0f};
    bool isAmbient_ = false;
    bool isDirectional_ = false;
};

// Name of the framework's font, and the message when it cannot be read.
inline constexpr const char* kFontName = "TSA16";
inline constexpr const char* kFontMissingMessage = "Unable to load font TSA16\nPlease update your assets";

class CFont {
public:
    CFont() = default;
    // Released; the framework's font pointer forgets it.
    ~CFont();
    CFont(const CFont&) = delete;
    CFont& operator=(const CFont&) = delete;

    // Opens the 2D toolkit on the camera and reads the font from "FONTS". False, with the error
    // box, when the font cannot be read.
    bool Load(OvCamera* camera);
    // Shows the text at (x, y) in screen fractions (0 to 1 across and up the view, whatever its
    // shape) with the height (a fraction of the view's smaller side); null without a font.
    Ov2dFont* Print(const char* text, const OvV2d& position, float size);
    // Destroys the font and the brush and closes the toolkit. True.
    bool Release();
    // The colour text is shown in (white until set); kept across a reload.
    const OvRGBA& Colour() const { return colour_; }
    void SetColour(const OvRGBA& colour);

    Ov2dFont* GetFont() const { return font_; }

private:
    Ov2dFont* font_ = nullptr;
    Ov2dBrush* brush_ = nullptr;
    bool toolkitOpen_ = false;
    OvRGBA colour_ = {255, 255, 255, 255};
};

// The framework's font, or null.
extern CFont* g_font;
