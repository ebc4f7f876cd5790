#pragma once
// The start screen: with a "Hud" section in the configuration the game starts paused behind an
// overlay of two logos, a title, a scrollable text with scroll buttons and a message. The player
// scrolls with the mouse button on the buttons and dismisses the screen with the input manager's
// continue request (ENTER), which lets the game run. It is never shown again.

#include "framework/config_reader.h"
#include "graphics/core/camera.h"
#include "graphics/core/d3d9/im2d.h"

struct OvTexture;

class CHud : public CConfigSectionHandler {
public:
    enum State : int { kNotShown = 0, kShown = 1, kDismissed = 2 };
    enum Image : int {
        kFirstLogo,
        kSecondLogo,
        kTitle,
        kText,
        kMessage,
        kScrollUp,
        kScrollDown,
        kScrollBar,
        kImageCount,
    };
    // The image files, in reading order, under "MODELS/TEXTURES/".
    static const char* const kImageFiles[kImageCount];
    // Pixels a second the text scrolls while a button is held.
    static constexpr float kScrollSpeed = 100.0f;
    // The button hit areas: x within [W / 2 + 284, W / 2 + 316] for both; y within [120, 152] for
    // the upward button and [H - 64, H - 32] for the downward one.
    static constexpr float kButtonLeft = 284.0f;
    static constexpr float kButtonRight = 316.0f;
    static constexpr float kUpTop = 120.0f;
    static constexpr float kUpBottom = 152.0f;
    static constexpr float kDownTop = 64.0f; // from the bottom edge
    static constexpr float kDownBottom = 32.0f;

    CHud() = default;
    ~CHud() override;

    // Reads the eight images; each missing one gives the error box "Texture 'NAME' not found".
    // False when any is missing.
    bool Init();
    // The first call pauses the game and shows the pointer; while shown, the held mouse button on
    // a scroll button scrolls the text, and the continue request dismisses the screen.
    void Update(float dt);
    // Draws the screen while it is shown.
    void Render();
    // The scroll goes back to the top. True.
    bool Reset();

    // Pixels from the top of a raster h high down to the top of the framework's text line (the
    // camera's name and the frame rate, 0.82 up the screen and 0.04 high): the band the logos and
    // the title are drawn in, so that they cover neither.
    static float TopBandHeight(float h);
    // The hit areas for a raster of width w and height h.
    static bool OnScrollUp(float x, float y, float w, float h);
    static bool OnScrollDown(float x, float y, float w, float h);

    int GetState() const { return state_; }
    float ScrollOffset() const { return scroll_; }
    float TextHeight() const { return textHeight_; }
    float RemainingBelow() const { return remaining_; }
    const OvTexture* Texture(int image) const { return textures_[image]; }

private:
    // One screen-space quad of the image (pixels), its texture's v range [v0, v1].
    void DrawImage(int image, float x, float y, float w, float h, float v0 = 0.0f, float v1 = 1.0f);
    // The camera raster's size.
    static void RasterSize(float* w, float* h);

    OvTexture* textures_[kImageCount] = {};
    OvRGBA savedTextColour_ = {255, 255, 255, 255}; // the camera manager's, while the screen is up
    bool savedTextShown_ = false;
    int state_ = kNotShown;
    float remaining_ = 0.0f;  // text below the view, kept by the render
    float textHeight_ = 0.0f; // pixels of the text image down to the end of its writing
    float scroll_ = 0.0f;     // pixels the text is scrolled up
};

// The start screen (made by the configuration's "Hud" section), or null.
extern CHud* g_hud;
