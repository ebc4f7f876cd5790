// The start screen: its eight images and their messages, the states with the paused flag and the
// pointer mode, the scroll buttons' hit areas, a scroll that never goes above the text's top, the
// configuration's "Hud" section holding the game until ENTER, and the camera text's colour.

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "framework/camera_manager.h"
#include "framework/framework.h"
#include "framework/hud.h"
#include "framework/input_manager.h"
#include "framework/lights_font.h"
#include "framework/tests/level_fixture.h"
#include "framework/tests/test_app.h"
#include "graphics/core/engine.h"
#include "graphics/core/image.h"
#include "graphics/core/testkit/memory_raster_driver.h"
#include "graphics/shared/skel/win/skeleton.h"
#include "graphics/toolkits/bmp_reader.h"
#include "tools/mkasset/bmp_writer.h"

namespace {

constexpr int kTextHeight = 512;

// The quads drawn: the first vertex (the top left corner) of each, and the second (the bottom right).
std::vector<OvD3D9Im2DVertex> gQuads;
std::vector<OvD3D9Im2DVertex> gQuadEnds;
OvBool IgnoreState(OvInt32, void*) { return TRUE; }
OvBool RecordQuad(OvInt32, void* vertices, OvInt32, void*, OvInt32) {
    gQuads.push_back(static_cast<const OvD3D9Im2DVertex*>(vertices)[0]);
    gQuadEnds.push_back(static_cast<const OvD3D9Im2DVertex*>(vertices)[1]);
    return TRUE;
}

struct HudTest : LevelTest {
    const OvDriver* Driver() const override { return OvTestMemoryRasterDriver(); }
    void SetUp() override {
        LevelTest::SetUp();
        OvImageRegisterFileFormat("bmp", OvBmpImageRead, nullptr);
        std::filesystem::create_directories("models/textures");
        input = CInputManager::GetInstance();
        input->SetMouseMode(1);
        g_paused = false;
    }
    void TearDown() override {
        delete g_hud;
        g_hud = nullptr;
        delete g_cameraManager;
        CInputManager::Destroy();
        g_paused = false;
        LevelTest::TearDown();
    }
    // The images, all but those skipped; the text is kTextHeight pixels high.
    void WriteImages(const std::vector<int>& skip = {}) const {
        for (int i = 0; i < CHud::kImageCount; ++i) {
            if (std::find(skip.begin(), skip.end(), i) != skip.end()) {
                continue;
            }
            const int w = 16;
            const int h = i == CHud::kText ? kTextHeight : 8;
            const std::vector<unsigned char> rgb(static_cast<std::size_t>(w * h * 3), 200);
            WriteBytes(std::string("models/textures/") + CHud::kImageFiles[i], mkasset::BmpFile(w, h, rgb));
        }
    }
    void Camera() {
        g_cameraManager = new CCameraManager(1.0f);
        g_cameraManager->CreateCamera(640, 480, true); // without its crosshair image
        std::filesystem::remove(logPath);
    }
    void Button(bool down, float x, float y) {
        input->SetPointer(x, y);
        SkelMouseRecord r = {x, y, 0, 0, 0, 0};
        CInputManager::MouseHandler(down ? SKEL_EVENT_MOUSE_LEFT_DOWN : SKEL_EVENT_MOUSE_LEFT_UP, &r);
    }
    void Enter() {
        input->HandleKey(SKEL_EVENT_KEY_DOWN, 171);
        input->HandleKey(SKEL_EVENT_KEY_UP, 171);
    }
    CInputManager* input = nullptr;
};

TEST_F(HudTest, EachMissingImageIsNamed) {
    WriteImages({CHud::kTitle, CHud::kScrollBar});
    CHud hud;
    EXPECT_FALSE(hud.Init());
    EXPECT_EQ(Messages(), "Texture 'stTitle.bmp' not found\nThe file 'MODELS/TEXTURES/stTitle.bmp' is not there.\n"
                          "Texture 'stScroll.bmp' not found\nThe file 'MODELS/TEXTURES/stScroll.bmp' is not there.\n");
    EXPECT_EQ(hud.Texture(CHud::kTitle), nullptr);
    EXPECT_NE(hud.Texture(CHud::kScrollDown), nullptr);
    // One that is there but does not read is said as such.
    std::filesystem::remove(logPath);
    WriteBytes("models/textures/stTitle.bmp", mkasset::Bytes{'n', 'o', 't', ' ', 'a', ' ', 'B', 'M', 'P'});
    CHud damaged;
    EXPECT_FALSE(damaged.Init());
    EXPECT_EQ(Messages().rfind("Texture 'stTitle.bmp' not found\nThe file 'MODELS/TEXTURES/stTitle.bmp' is there but "
                               "could not be read: ",
                               0),
              0u)
        << Messages();
    // Once there, they are read.
    std::filesystem::remove(logPath);
    WriteImages();
    CHud all;
    EXPECT_TRUE(all.Init());
    EXPECT_EQ(all.TextHeight(), static_cast<float>(kTextHeight));
    EXPECT_TRUE(Messages().empty());
}

TEST_F(HudTest, ButtonHitAreas) {
    // x within [w/2 + 284, w/2 + 316]; y within [120, 152] up, [h - 64, h - 32] down; edges in.
    const float w = 800.0f, h = 600.0f;
    EXPECT_TRUE(CHud::OnScrollUp(684.0f, 120.0f, w, h));
    EXPECT_TRUE(CHud::OnScrollUp(716.0f, 152.0f, w, h));
    EXPECT_FALSE(CHud::OnScrollUp(683.9f, 130.0f, w, h));
    EXPECT_FALSE(CHud::OnScrollUp(700.0f, 152.1f, w, h));
    EXPECT_FALSE(CHud::OnScrollUp(700.0f, 550.0f, w, h));
    EXPECT_TRUE(CHud::OnScrollDown(684.0f, 536.0f, w, h));
    EXPECT_TRUE(CHud::OnScrollDown(716.0f, 568.0f, w, h));
    EXPECT_FALSE(CHud::OnScrollDown(716.1f, 550.0f, w, h));
    EXPECT_FALSE(CHud::OnScrollDown(700.0f, 535.9f, w, h));
    EXPECT_FALSE(CHud::OnScrollDown(700.0f, 130.0f, w, h));
}

TEST_F(HudTest, PausesScrollsWithinTheTextAndGoesOnAtEnter) {
    WriteImages();
    Camera();
    CHud hud;
    ASSERT_TRUE(hud.Init());
    // The camera text shows in white while the screen is up; what it had comes back after.
    const OvRGBA grey = {90, 80, 70, 60};
    g_cameraManager->SetTextColour(grey);
    // ENTER before the screen is up does not dismiss it.
    Enter();
    hud.Update(0.1f);
    EXPECT_EQ(hud.GetState(), CHud::kShown);
    EXPECT_TRUE(g_paused);
    EXPECT_TRUE(input->PointerMode());
    EXPECT_TRUE(g_cameraManager->TextShown());
    EXPECT_EQ(g_cameraManager->TextColour().green, 255);
    hud.Render(); // the view shows 480 - 32 - 120 = 328 of the 512 pixels
    EXPECT_EQ(hud.RemainingBelow(), 184.0f);

    // Up at the top stays at the top; down moves 100 pixels a second; not without the button.
    const float up[2] = {620.0f, 130.0f}, down[2] = {620.0f, 430.0f};
    Button(true, up[0], up[1]);
    hud.Update(0.5f);
    EXPECT_EQ(hud.ScrollOffset(), 0.0f);
    Button(true, down[0], down[1]);
    hud.Update(0.1f);
    EXPECT_FLOAT_EQ(hud.ScrollOffset(), 10.0f);
    Button(false, down[0], down[1]);
    hud.Update(0.1f);
    EXPECT_FLOAT_EQ(hud.ScrollOffset(), 10.0f);
    // Eight quads; the text's starts 10 pixels down its image.
    OvEngineInstancePtr->dOpenDevice.setRenderState = IgnoreState;
    OvEngineInstancePtr->dOpenDevice.im2DRenderIndexedPrimitive = RecordQuad;
    gQuads.clear();
    hud.Render();
    ASSERT_EQ(gQuads.size(), 8u);
    EXPECT_FLOAT_EQ(gQuads[3].v, 10.0f / kTextHeight);
    EXPECT_EQ(gQuads[3].y, CHud::kUpTop);
    // The logos and the title keep above the line of the camera's name and the frame rate (0.82 up
    // the screen, 0.04 high): 67.2 of the 480 pixels.
    EXPECT_NEAR(CHud::TopBandHeight(480.0f), 67.2f, 1e-3f);
    for (std::size_t i = 0; i < 3; ++i) {
        EXPECT_LE(gQuadEnds[i].y, CHud::TopBandHeight(480.0f)) << CHud::kImageFiles[i];
    }

    // A seeded run of presses: the offset never goes below 0 and stops growing once the text's end
    // is in view (at most one step past it).
    std::mt19937 random(107);
    std::uniform_real_distribution<float> dt(0.0f, 0.3f);
    int atEnd = 0;
    for (int i = 0; i < 400; ++i) {
        const bool goDown = random() % 3 != 0;
        Button(true, goDown ? down[0] : up[0], goDown ? down[1] : up[1]);
        const float before = hud.ScrollOffset();
        const bool end = hud.RemainingBelow() == 0.0f;
        atEnd += end ? 1 : 0;
        hud.Update(dt(random));
        hud.Render();
        EXPECT_GE(hud.ScrollOffset(), 0.0f);
        EXPECT_LE(hud.ScrollOffset(), 184.0f + 100.0f * 0.3f);
        if (goDown && end) {
            EXPECT_EQ(hud.ScrollOffset(), before);
        }
    }
    EXPECT_GT(atEnd, 10); // mostly down: the end was reached
    EXPECT_TRUE(hud.Reset());
    EXPECT_EQ(hud.ScrollOffset(), 0.0f);

    Enter();
    hud.Update(0.1f);
    EXPECT_EQ(hud.GetState(), CHud::kDismissed);
    EXPECT_FALSE(g_paused);
    EXPECT_FALSE(input->PointerMode());
    EXPECT_FALSE(g_cameraManager->TextShown());
    EXPECT_EQ(g_cameraManager->TextColour().red, 90);
    EXPECT_EQ(g_cameraManager->TextColour().alpha, 60);
    hud.Update(0.1f); // never shown again
    EXPECT_EQ(hud.GetState(), CHud::kDismissed);
    EXPECT_FALSE(g_paused);
    gQuads.clear();
    hud.Render();
    EXPECT_TRUE(gQuads.empty());
}

// A text image taller than its writing (8 rows of paper, 300 of ink, paper to its end) scrolls only
// to the writing's end with 8 rows of paper again: 316 rows, within the view's 328.
TEST_F(HudTest, TheScrollEndsWhereTheWritingDoes) {
    WriteImages({CHud::kText});
    std::vector<unsigned char> rgb(16 * kTextHeight * 3, 200);
    std::fill(rgb.begin() + 8 * 16 * 3, rgb.begin() + 308 * 16 * 3, 30);
    WriteBytes("models/textures/stText.bmp", mkasset::BmpFile(16, kTextHeight, rgb));
    Camera();
    CHud hud;
    ASSERT_TRUE(hud.Init());
    hud.Update(0.1f);
    hud.Render();
    EXPECT_EQ(hud.TextHeight(), 316.0f);
    EXPECT_EQ(hud.RemainingBelow(), 0.0f);
    Button(true, 620.0f, 430.0f);
    hud.Update(1.0f);
    EXPECT_EQ(hud.ScrollOffset(), 0.0f);
}

// The camera text goes out in the camera manager's colour; the font keeps its own for the rest.
OvRGBA gPrintedIn = {};
TEST_F(HudTest, CameraTextIsShownInItsColourAndTheFontKeepsItsOwn) {
    TestApp app("config.xml");
    Camera();
    CFont font;
    g_font = &font;
    CCameraManager::SetTextFunction([](const char*, float, float, float) { gPrintedIn = g_font->Colour(); });
    font.SetColour({10, 20, 30, 40});
    g_cameraManager->SetTextColour({200, 0, 0, 255});
    app.RenderCameraText(); // not shown: nothing printed
    EXPECT_EQ(gPrintedIn.red, 0);
    g_cameraManager->SetTextShown(true);
    app.RenderCameraText();
    EXPECT_EQ(gPrintedIn.red, 200);
    EXPECT_EQ(font.Colour().red, 10);
    EXPECT_EQ(font.Colour().alpha, 40);
    CCameraManager::SetTextFunction(nullptr);
    g_font = nullptr;
}

TEST_F(HudTest, HudSectionHoldsTheGameUntilEnter) {
    WriteImages();
    {
        // Without one the game runs from the first frame.
        TestApp app("config.xml");
        app.Frame();
        EXPECT_EQ(app.updates.size(), 1u);
        EXPECT_EQ(g_hud, nullptr);
    }
    TestApp app("config.xml");
    const char* none[] = {nullptr};
    app.DispatchStartElement("Config", none);
    app.DispatchStartElement("Hud", none);
    app.DispatchStartElement("Anything", none);
    app.DispatchEndElement("Anything");
    app.DispatchEndElement("Hud");
    ASSERT_NE(g_hud, nullptr);
    EXPECT_EQ(app.CurrentHandler(), nullptr);
    // The screen comes up after the game's turn in the first frame, and goes after it.
    app.Frame();
    app.Frame();
    EXPECT_TRUE(g_paused);
    EXPECT_EQ(app.updates.size(), 1u);
    Enter();
    app.Frame();
    EXPECT_FALSE(g_paused);
    EXPECT_EQ(app.updates.size(), 1u);
    app.Frame();
    EXPECT_EQ(app.updates.size(), 2u);
    EXPECT_TRUE(Messages().empty());
    // A game that deletes the screen leaves the framework no pointer to it.
    delete g_hud;
    app.Frame();
    EXPECT_EQ(app.updates.size(), 3u);
}

} // namespace
