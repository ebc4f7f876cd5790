// The camera manager: the "Camera" section with each of its messages, switching (skipping fixed
// entries without viewpoints), look-at keeping its axes, the crosshair and overlay, the per-mode
// steps (including the modes that lack a spline, a viewpoint or a character) and world cameras.

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include <expat.h>

#include "framework/camera_manager.h"
#include "framework/input_manager.h"
#include "graphics/core/engine.h"
#include "graphics/core/frame.h"
#include "graphics/core/im3d.h"
#include "graphics/core/pipeline.h"
#include "graphics/core/matrix.h"
#include "graphics/core/raster.h"
#include "graphics/core/testkit/engine_fixture.h"
#include "graphics/core/testkit/memory_raster_driver.h"
#include "graphics/plugins/spline.h"
#include "test_app.h"
#include "tools/mkasset/chunk_writer.h"

namespace {

void XMLCALL Start(void* user, const XML_Char* name, const XML_Char** attributes) {
    SetConfigPlace(name, 0, attributes);
    static_cast<CCameraManager*>(user)->StartElement(name, attributes);
    SetConfigPlace(nullptr, 0);
}
void XMLCALL End(void* user, const XML_Char* name) { static_cast<CCameraManager*>(user)->EndElement(name); }

// Hands every element of the text to the manager, as the configuration reader does inside "Camera".
void Feed(CCameraManager* cameras, const std::string& xml) {
    XML_Parser parser = XML_ParserCreate(nullptr);
    XML_SetUserData(parser, cameras);
    XML_SetElementHandler(parser, Start, End);
    ASSERT_EQ(XML_Parse(parser, xml.data(), static_cast<int>(xml.size()), 1), XML_STATUS_OK) << xml;
    XML_ParserFree(parser);
}

std::vector<std::string> gPrinted;
void Print(const char* text, float x, float y, float size) {
    gPrinted.push_back(text);
    EXPECT_EQ(x, 0.025f);
    EXPECT_EQ(y, 0.82f);
    EXPECT_EQ(size, 0.04f);
}

class Subject final : public CCameraSubject {
public:
    Subject() : frame(OvFrameCreate()) {}
    ~Subject() override { OvFrameDestroy(frame); }
    OvFrame* SubjectFrame() override { return frame; }
    bool SubjectVisible() override { return visible; }
    void SetSubjectVisible(bool v) override { visible = v; }
    OvFrame* frame;
    bool visible = true;
};

struct CameraTest : FrameworkTest {
    CInputManager* input = nullptr;

    void SetUp() override {
        FrameworkTest::SetUp();
        ASSERT_TRUE(OvTestEngineUp(
            0, [] { OvSplinePluginAttach(); }, OvTestMemoryRasterDriver()));
        input = CInputManager::GetInstance();
        input->SetMouseMode(1); // the window's mouse, driven below
        CCameraManager::SetTextFunction(Print);
        gPrinted.clear();
    }
    void TearDown() override {
        CInputManager::Destroy();
        CCameraManager::SetTextFunction(nullptr);
        g_cameraManager = nullptr;
        EXPECT_TRUE(OvTestEngineDown());
        FrameworkTest::TearDown();
    }
    // A camera of the size; the missing crosshair texture's message is dropped.
    void Make(CCameraManager* cameras, int width = 640, int height = 480) {
        cameras->CreateCamera(width, height, true);
        ASSERT_NE(cameras->Camera(), nullptr);
        std::remove(logPath.c_str());
    }
    void Mouse(std::int32_t button, float dx, float dy) {
        // At the centre of the 640 x 480 raster plus the movement, for the first-person rule.
        SkelMouseRecord r = {320.0f + dx, 240.0f + dy, dx, dy, 0, 0};
        if (button != 0) {
            CInputManager::MouseHandler(button, &r);
        }
        CInputManager::MouseHandler(SKEL_EVENT_MOUSE_MOVE, &r);
    }
};

const OvMatrix& MatrixOf(const CCameraManager& c) { return *OvFrameGetMatrix(OvCameraGetFrame(c.Camera())); }

TEST_F(CameraTest, ConfigurationWithEachMessage) {
    const std::string update = " section.\nPlease update your XML file\n";
    struct Case {
        const char* xml;
        std::string messages;
    };
    const Case cases[] = {
        {"<Camera nearClip='0.5'/>", "'farClip' attribute not found in 'Camera'" + update},
        {"<Camera nearClip='0.5' farClip='9' fieldOfView='3'/>", "'fov' attribute not found in 'Camera'" + update},
        // Clip planes that would show nothing.
        {"<Camera nearClip='5' farClip='1' fov='40'/>",
         "'farClip' attribute not found in 'Camera'" + update.substr(0, update.size() - 1) +
             "\nThe clip planes must keep 0 < nearClip < farClip; they are 5 and 1.\n"},
        {"<Camera nearClip='0' farClip='1' fov='40'/>", "'nearClip' attribute not found in 'Camera'" +
                                                            update.substr(0, update.size() - 1) +
                                                            "\nIts value 0 is outside 0 (not included) to 1000000.\n"},
        {"<C><SwitchSequence></SwitchSequence></C>",
         "Empty camera switch sequence.\nPlease fix the 'SwitchSequence' section in your XML file\n"},
        {"<C><SwitchSequence><Mode value='Orbit'/></SwitchSequence></C>",
         "Unrecognized camera mode.\nPlease fix the 'SwitchSequence' section in your XML file\n"
         "Empty camera switch sequence.\nPlease fix the 'SwitchSequence' section in your XML file\n"},
        {"<C><SwitchSequence><Mode name='Free'/><Mode value='Path'/></SwitchSequence></C>", ""},
        {"<C><CameraMode mode='Walk'/><CameraMode value='Path'/></C>",
         "Unrecognized camera mode.\nPlease fix the 'CameraMode' section in your XML file\n"},
        {"<C><Follow minVAngle='1' maxVAngle='2' minDistance='3'/></C>",
         "'maxDistance' attribute not found in 'Follow'" + update},
        {"<C><Fixed><Position x='1' y='2'/><Target x='1' y='2' z='3'/></Fixed></C>",
         "'z' attribute not found in 'Position'" + update},
        {"<C><Fixed><Target x='1' z='3'/></Fixed></C>", "'y' attribute not found in 'Target'" + update},
        {"<C><Free><InitialPosition x='1' y='2'/><InitialTarget y='1'/></Free></C>",
         "'z' attribute not found in 'InitialPosition'" + update + "'x' attribute not found in 'InitialTarget'" +
             update},
        // Outside their sections these elements mean nothing.
        {"<C><Mode value='Orbit'/><InitialTarget/><Name/></C>", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.xml);
        std::remove(logPath.c_str());
        CCameraManager cameras(1.0f);
        Feed(&cameras, c.xml);
        EXPECT_EQ(Log(), c.messages);
    }

    // A full section, with scale 2.
    std::remove(logPath.c_str());
    CCameraManager cameras(2.0f);
    Make(&cameras);
    Feed(&cameras, "<CAMERA nearClip='0.5' farClip='500' fov='60'>"
                   "<SwitchSequence><Mode value='Free'/><mode value='Path'/><Mode value='Fixed'/></SwitchSequence>"
                   "<CameraMode mode='Follow'/>"
                   "<Follow minVAngle='60' maxVAngle='5' minDistance='10' maxDistance='2'/>" // swapped back
                   "<Free><InitialPosition x='1' y='2' z='3'/><InitialTarget x='1' y='2' z='3'/></Free>"
                   "<Fixed><Position x='0' y='5' z='0'/><Target x='0' y='5' z='10'/>"
                   "<Name value='Gate'/><Position x='1' y='1' z='1'/><Target x='2' y='1' z='1'/></Fixed>"
                   "<Fixed><Position x='4' y='4' z='4'/><Target x='4' y='4' z='4'/></Fixed></CAMERA>");
    EXPECT_EQ(Log(), "");
    EXPECT_EQ(cameras.Camera()->nearPlane, 0.5f);
    EXPECT_EQ(cameras.Camera()->farPlane, 500.0f);
    EXPECT_EQ(cameras.Fov(), 60.0f);
    ASSERT_EQ(cameras.SequenceCount(), 3);
    EXPECT_EQ(cameras.SequenceEntry(0), kCameraFree);
    EXPECT_EQ(cameras.SequenceEntry(1), kCameraPath);
    EXPECT_EQ(cameras.SequenceEntry(2), kCameraFixed);
    EXPECT_EQ(cameras.Mode(), kCameraFollow);
    EXPECT_EQ(cameras.MinVAngle(), 5.0f);
    EXPECT_EQ(cameras.MaxVAngle(), 60.0f);
    EXPECT_EQ(cameras.MinDistance(), 4.0f);
    EXPECT_EQ(cameras.MaxDistance(), 20.0f);
    // The initial target at the initial position is refused: the camera moved but kept its axes.
    const OvMatrix& m = MatrixOf(cameras);
    EXPECT_EQ(m.pos.x, 1.0f);
    EXPECT_EQ(m.pos.z, 3.0f);
    EXPECT_NEAR(m.at.z, -1.0f, 1e-6f); // still turned half round from the start
    // Viewpoints: named by their place unless named; the one aimed at itself keeps plain axes.
    ASSERT_EQ(cameras.FixedCount(), 3);
    EXPECT_STREQ(cameras.FixedName(0), "Camera 0");
    EXPECT_STREQ(cameras.FixedName(1), "Gate");
    EXPECT_STREQ(cameras.FixedName(2), "Camera 2");
    const OvMatrix* gate = OvFrameGetMatrix(cameras.FixedFrame(1));
    EXPECT_NEAR(gate->at.x, 1.0f, 1e-6f);
    EXPECT_EQ(gate->pos.y, 1.0f);
    const OvMatrix* self = OvFrameGetMatrix(cameras.FixedFrame(2));
    EXPECT_EQ(self->at.z, 1.0f);
    EXPECT_EQ(self->pos.x, 4.0f);
}

TEST_F(CameraTest, TablesRefuseWhatDoesNotFit) {
    CCameraManager cameras(1.0f);
    std::string xml = "<C><SwitchSequence>";
    for (int i = 0; i < 9; ++i) {
        xml += "<Mode value='FPS'/>";
    }
    xml += "</SwitchSequence><Fixed>";
    for (int i = 0; i < 17; ++i) {
        xml += "<Name value='" + std::string(100, 'a' + i) +
               "'/><Position x='0' y='0' z='0'/>"
               "<Target x='1' y='0' z='0'/>";
    }
    xml += "</Fixed></C>";
    Feed(&cameras, xml);
    EXPECT_EQ(cameras.SequenceCount(), CCameraManager::kMaxSequence);
    EXPECT_EQ(cameras.FixedCount(), CCameraManager::kMaxFixed);
    EXPECT_EQ(std::string(cameras.FixedName(15)), std::string(63, 'a' + 15)); // cut to the field
    EXPECT_EQ(Log(), "Too much camera modes in 'SwitchSequence'.\nPlease increase MAX_CAMERA_MODES value\n"
                     "Too much fixed cameras.\nPlease increase MAX_FIXED_CAMERAS value\n");
}

TEST_F(CameraTest, SwitchingSkipsFixedWithoutViewpoints) {
    CCameraManager cameras(1.0f);
    // The default sequence: Follow, FPS, Free, Fixed; no viewpoint, so Fixed is never reached.
    std::vector<std::int32_t> modes;
    for (int i = 0; i < 7; ++i) {
        cameras.NextCamera();
        modes.push_back(cameras.Mode());
    }
    EXPECT_EQ(modes, (std::vector<std::int32_t>{kCameraFps, kCameraFree, kCameraFollow, kCameraFps, kCameraFree,
                                                kCameraFollow, kCameraFps}));
    cameras.NextFixedCamera();
    EXPECT_EQ(cameras.Mode(), kCameraFps);
    EXPECT_EQ(cameras.FixedIndex(), 0);

    // Nothing but Fixed and no viewpoint: the mode stays.
    CCameraManager onlyFixed(1.0f);
    Feed(&onlyFixed, "<C><SwitchSequence><Mode value='Fixed'/><Mode value='Fixed'/></SwitchSequence></C>");
    onlyFixed.NextCamera();
    EXPECT_EQ(onlyFixed.Mode(), kCameraFree);

    // With viewpoints Fixed is an entry like the others, and the fixed switch wraps.
    Feed(&cameras, "<C><Fixed><Target x='1' y='0' z='0'/><Target x='2' y='0' z='0'/></Fixed></C>");
    modes.clear();
    for (int i = 0; i < 4; ++i) {
        cameras.NextCamera();
        modes.push_back(cameras.Mode());
    }
    EXPECT_EQ(modes, (std::vector<std::int32_t>{kCameraFree, kCameraFixed, kCameraFollow, kCameraFps}));
    cameras.NextFixedCamera();
    EXPECT_EQ(cameras.Mode(), kCameraFixed);
    EXPECT_EQ(cameras.FixedIndex(), 1);
    cameras.NextFixedCamera();
    EXPECT_EQ(cameras.FixedIndex(), 0);
}

TEST_F(CameraTest, LookAtKeepsOrthonormalAxes) {
    CCameraManager cameras(1.0f);
    Make(&cameras);
    std::mt19937 random(40);
    std::uniform_real_distribution<float> coordinate(-50.0f, 50.0f);
    for (int i = 0; i < 200; ++i) {
        const OvV3d position = {coordinate(random), coordinate(random), coordinate(random)};
        OvV3d target = {coordinate(random), coordinate(random), coordinate(random)};
        if (i % 50 == 0) {
            target = {position.x, position.y + 5.0f, position.z}; // straight up
        }
        cameras.LookAt(position, target);
        const OvMatrix& m = MatrixOf(cameras);
        OvV3d d;
        OvV3dSub(&d, &target, &position);
        OvV3dNormalize(&d, &d);
        EXPECT_NEAR(OvV3dDotProduct(&m.at, &d), 1.0f, 5e-4f) << i;
        EXPECT_NEAR(OvV3dLength(&m.right), 1.0f, 5e-4f);
        EXPECT_NEAR(OvV3dLength(&m.up), 1.0f, 5e-4f);
        EXPECT_NEAR(OvV3dDotProduct(&m.right, &m.up), 0.0f, 5e-4f);
        EXPECT_NEAR(OvV3dDotProduct(&m.right, &m.at), 0.0f, 5e-4f);
        EXPECT_NEAR(m.right.y, 0.0f, 5e-4f); // the world's y axis is up: right stays level
        EXPECT_GE(m.up.y, -1e-6f);           // the engine's normalise is accurate to a few parts in 10^4
        EXPECT_EQ(m.pos.x, position.x);
    }
    // A target at the position moves the camera and leaves its axes as they were.
    const OvMatrix before = MatrixOf(cameras);
    const OvV3d here = {3.0f, 4.0f, 5.0f};
    cameras.LookAt(here, here);
    const OvMatrix& after = MatrixOf(cameras);
    EXPECT_EQ(after.pos.y, 4.0f);
    EXPECT_EQ(after.at.x, before.at.x);
    EXPECT_EQ(after.up.y, before.up.y);
    EXPECT_EQ(after.right.z, before.right.z);
}

TEST_F(CameraTest, CrosshairAtTheCentreRebuiltOnResizeAndDrawnInFps) {
    CCameraManager cameras(1.0f);
    Make(&cameras);
    EXPECT_EQ(cameras.Position().x, 7.46f);
    EXPECT_NEAR(MatrixOf(cameras).at.z, -1.0f, 1e-6f);
    const float expected[4][4] = {{319, 239, 0, 0}, {321, 241, 1, 1}, {319, 241, 0, 1}, {321, 239, 1, 0}};
    for (int i = 0; i < 4; ++i) {
        const OvD3D9Im2DVertex& v = cameras.CrosshairVertices()[i];
        EXPECT_EQ(v.x, expected[i][0]);
        EXPECT_EQ(v.y, expected[i][1]);
        EXPECT_EQ(v.u, expected[i][2]);
        EXPECT_EQ(v.v, expected[i][3]);
        EXPECT_EQ(v.color, 0xFFFFFFFFu);
        EXPECT_GT(v.rhw, 0.0f);
    }
    EXPECT_EQ(cameras.CrosshairIndices()[0], 2);
    EXPECT_EQ(cameras.CrosshairIndices()[5], 0);
    cameras.Resize(801, 601);
    EXPECT_EQ(cameras.Camera()->frameBuffer->width, 801);
    EXPECT_EQ(cameras.Camera()->zBuffer->height, 601);
    EXPECT_EQ(cameras.Camera()->viewWindow.x, 1.0f);
    EXPECT_EQ(cameras.Camera()->viewWindow.y, 0.75f);
    EXPECT_EQ(cameras.CrosshairVertices()[0].x, 399.0f);
    EXPECT_EQ(cameras.CrosshairVertices()[1].y, 301.0f);
    EXPECT_EQ(OvTestMemoryRasterDriverState()->liveRasters, 2);

    // The overlay: the viewpoint's name in Fixed, nothing once the index ran past, the text line.
    Feed(&cameras, "<C><Fixed><Name value='North'/><Target x='0' y='0' z='9'/></Fixed></C>");
    cameras.NextFixedCamera();
    cameras.RenderOverlay();
    cameras.PrintInfo();
    EXPECT_EQ(gPrinted, (std::vector<std::string>{"North", "North"}));
    cameras.SetMode(kCameraFree);
    EXPECT_EQ(cameras.InfoText(), "Free camera at 7.46 8.72 -2.64");
    cameras.SetMode(kCameraPath);
    EXPECT_EQ(cameras.InfoText(), "Path camera at 7.46 8.72 -2.64");
    gPrinted.clear();
    g_paused = true;
    cameras.SetMode(kCameraFixed);
    cameras.RenderOverlay();
    g_paused = false;
    EXPECT_TRUE(gPrinted.empty());
    EXPECT_EQ(Log(), "");
}

// Above debug level 2 the camera text comes with the followed character's axes: one line list of
// three lines from its origin, a metre (times the scale) along each of its axes.
std::vector<OvIm3DVertex> gLines;
OvBool RecordLines(OvPipelineNode*, const OvPipelineExecuteParams* params) {
    const auto* batch = static_cast<OvIm3DBatch*>(params->data);
    gLines.assign(batch->vertices, batch->vertices + batch->numVertices);
    return TRUE;
}

TEST_F(CameraTest, DebugLevelAboveTwoDrawsTheFollowedAxes) {
    OvNodeDefinition record{};
    record.name = "record";
    record.body = RecordLines;
    OvPipeline* p = OvTestOneNodePipeline(&record);
    ASSERT_NE(p, nullptr);
    ASSERT_EQ(OvIm3DSetRenderPipeline(p, ovPRIMTYPELINELIST), p);
    CCameraManager cameras(2.0f);
    Make(&cameras);
    Subject subject;
    const OvV3d at = {3.0f, 0.0f, 4.0f};
    OvFrameTranslate(subject.frame, &at, ovCOMBINEREPLACE);
    cameras.Follow(&subject);
    cameras.SetMode(kCameraFollow);
    for (int level : {2, 3}) {
        gLines.clear();
        g_debugLevel = level;
        cameras.PrintInfo();
        EXPECT_EQ(gLines.size(), level > 2 ? 6u : 0u) << level;
    }
    g_debugLevel = 0;
    ASSERT_EQ(gLines.size(), 6u);
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(gLines[2 * i].objVertex.x, 3.0f);
        EXPECT_EQ(gLines[2 * i].objVertex.z, 4.0f);
    }
    EXPECT_EQ(gLines[1].objVertex.x, 5.0f); // right axis, 1 m x scale 2
    EXPECT_EQ(gLines[3].objVertex.y, 2.0f); // up
    EXPECT_EQ(gLines[5].objVertex.z, 6.0f); // at
    cameras.Follow(nullptr);
    OvIm3DSetRenderPipeline(nullptr, ovPRIMTYPELINELIST);
    OvPipelineDestroy(p);
}

TEST_F(CameraTest, StepsOfModesWithoutWhatTheyNeed) {
    CCameraManager cameras(1.0f);
    g_cameraManager = &cameras;
    Make(&cameras);
    const OvMatrix start = MatrixOf(cameras);
    // No spline: the path hands over to the free camera.
    cameras.SetMode(kCameraPath);
    cameras.Update(0.1f);
    EXPECT_EQ(cameras.Mode(), kCameraFree);
    EXPECT_EQ(cameras.PreviousMode(), kCameraPath);
    // No viewpoint: Fixed hands over to the free camera too.
    cameras.SetMode(kCameraFixed);
    cameras.Update(0.1f);
    EXPECT_EQ(cameras.Mode(), kCameraFree);
    EXPECT_EQ(cameras.PreviousMode(), kCameraFixed);
    // No character: Follow and FPS leave the camera where it is.
    Mouse(SKEL_EVENT_MOUSE_LEFT_DOWN, 5.0f, 5.0f);
    for (std::int32_t mode : {kCameraFollow, kCameraFps}) {
        cameras.SetMode(mode);
        cameras.Update(0.1f);
        cameras.Update(0.1f);
        EXPECT_EQ(cameras.Mode(), mode);
        EXPECT_EQ(MatrixOf(cameras).pos.x, start.pos.x);
        EXPECT_EQ(MatrixOf(cameras).at.z, start.at.z);
    }
    // Nothing to pick from without a world.
    OvV3d point;
    EXPECT_FALSE(cameras.PickPoint(&point));
}

// The camera path is read with the camera: its points may lie a million away either way; one
// beyond it is a damaged file, said, and the Path camera has no path.
TEST_F(CameraTest, PathPointsReachAMillion) {
    const std::filesystem::path before = std::filesystem::current_path();
    std::filesystem::current_path(dir);
    std::filesystem::create_directories("models/revolution");
    for (const float edge : {1.0e6f, 1.0e6f + 1.0f}) {
        SCOPED_TRACE(edge);
        mkasset::ChunkWriter w;
        w.Begin(12);
        for (int i = 0; i < 32; ++i) {
            w.U8(0);
        }
        const float points[4][3] = {{0, 0, 0}, {10, 0, 0}, {edge, 0, 10}, {30, -edge, 0}};
        w.I32(4);
        w.I32(1);
        for (const auto& p : points) {
            for (float v : p) {
                w.F32(v);
            }
        }
        w.End();
        std::ofstream("models/revolution/spline.ovs", std::ios::binary)
            .write(reinterpret_cast<const char*>(w.Data().data()), static_cast<std::streamsize>(w.Data().size()));
        testing::internal::CaptureStderr();
        CCameraManager cameras(1.0f);
        cameras.CreateCamera(640, 480, true);
        const std::string said = testing::internal::GetCapturedStderr();
        EXPECT_EQ(cameras.Spline() != nullptr, edge == 1.0e6f);
        EXPECT_EQ(said.find("a point of it is not finite or beyond a million") != std::string::npos, edge != 1.0e6f)
            << said;
    }
    std::filesystem::current_path(before);
}

TEST_F(CameraTest, FreeFollowFpsAndPathSteps) {
    CCameraManager cameras(2.0f);
    g_cameraManager = &cameras;
    Make(&cameras);
    Subject subject;
    subject.visible = false;
    cameras.Follow(&subject);
    EXPECT_TRUE(cameras.SubjectWasHidden());

    // Free: nothing moves without a button; the left button turns, with left control it pans,
    // the right button moves along the view. The subject is shown.
    const OvMatrix start = MatrixOf(cameras);
    Mouse(0, 10.0f, 0.0f);
    cameras.Update(0.1f);
    EXPECT_TRUE(subject.visible);
    EXPECT_EQ(MatrixOf(cameras).at.x, start.at.x);
    Mouse(SKEL_EVENT_MOUSE_LEFT_DOWN, 0.0f, 0.0f);
    Mouse(0, 450.0f, 0.0f); // yaw 90 degrees
    cameras.Update(0.1f);
    EXPECT_NEAR(std::fabs(MatrixOf(cameras).at.x), 1.0f, 1e-5f);
    EXPECT_EQ(input->Dx(), 0.0f); // taken
    Mouse(0, 0.0f, 1000.0f);      // pitch held at 89
    cameras.Update(0.1f);
    EXPECT_EQ(cameras.Pitch(), 89.0f);
    const OvV3d before = cameras.Position();
    input->HandleKey(SKEL_EVENT_KEY_DOWN, 174);
    Mouse(0, 10.0f, 0.0f);
    cameras.Update(0.1f);
    const OvMatrix& panned = MatrixOf(cameras);
    EXPECT_NEAR(cameras.Position().x - before.x, panned.right.x * 2.0f, 1e-4f);
    input->HandleKey(SKEL_EVENT_KEY_UP, 174);
    CInputManager::MouseHandler(SKEL_EVENT_MOUSE_LEFT_UP, nullptr);
    const OvV3d beforeMove = cameras.Position();
    Mouse(SKEL_EVENT_MOUSE_RIGHT_DOWN, 0.0f, 0.0f);
    Mouse(0, 0.0f, 5.0f);
    cameras.Update(0.1f);
    EXPECT_NEAR(cameras.Position().y - beforeMove.y, MatrixOf(cameras).at.y * -1.0f, 1e-4f);
    CInputManager::MouseHandler(SKEL_EVENT_MOUSE_RIGHT_UP, nullptr);

    // FPS: the subject is hidden; the first frame only centres, later ones turn the subject.
    const OvV3d place = {10.0f, 0.0f, 20.0f};
    OvFrameTranslate(subject.frame, &place, ovCOMBINEREPLACE);
    cameras.SetMode(kCameraFps);
    Mouse(0, 40.0f, 0.0f);
    cameras.Update(0.1f);
    EXPECT_FALSE(subject.visible);
    EXPECT_EQ(input->Dx(), 0.0f);
    EXPECT_EQ(OvFrameGetMatrix(subject.frame)->at.z, 1.0f);
    EXPECT_NEAR(cameras.Position().y, 1.6f * 2.0f, 1e-5f);
    EXPECT_EQ(cameras.Position().x, 10.0f);
    Mouse(0, 180.0f, 0.0f); // -90 degrees about y
    cameras.Update(0.1f);
    EXPECT_NEAR(std::fabs(OvFrameGetMatrix(subject.frame)->at.x), 1.0f, 1e-5f);
    // The view starts level (the free camera's pitch of 89 is not carried over); the pitch tilts
    // it about the subject's right axis.
    EXPECT_NEAR(MatrixOf(cameras).right.z, OvFrameGetMatrix(subject.frame)->right.z, 1e-5f);
    EXPECT_EQ(cameras.Pitch(), 0.0f);

    // Follow: behind the subject within the distance limits; the subject is shown again.
    Feed(&cameras, "<C><Follow minVAngle='10' maxVAngle='40' minDistance='2' maxDistance='5'/></C>");
    cameras.SetMode(kCameraFollow);
    cameras.Update(0.1f);
    EXPECT_TRUE(subject.visible);
    OvV3d offset;
    const OvV3d eye = cameras.Position();
    OvV3dSub(&offset, &eye, &place);
    EXPECT_GE(OvV3dLength(&offset), 4.0f - 1e-3f);
    EXPECT_LE(OvV3dLength(&offset), 10.0f + 2.0f);

    // Path: along the spline, looking ahead, handing over to FPS at 0.9.
    const OvV3d points[5] = {{0, 0, 0}, {10, 0, 0}, {20, 0, 10}, {30, 0, 10}, {40, 0, 0}};
    cameras.SetSpline(OvSplineCreate(5, ovSPLINEOPEN, points));
    ASSERT_NE(cameras.Spline(), nullptr);
    cameras.SetMode(kCameraPath);
    int steps = 0;
    while (cameras.Mode() == kCameraPath && steps < 100) {
        const float t = steps == 0 ? 0.0f : cameras.PathParameter();
        cameras.Update(0.1f);
        if (cameras.Mode() == kCameraPath) {
            OvV3d expected;
            OvSplineEvaluate(cameras.Spline(), ovSPLINEPATHLINEAR, t, &expected, nullptr);
            EXPECT_NEAR(cameras.Position().x, expected.x, 1e-4f);
            EXPECT_NEAR(cameras.Position().z, expected.z, 1e-4f);
            EXPECT_GT(MatrixOf(cameras).at.x, 0.0f);
        }
        ++steps;
    }
    EXPECT_EQ(steps, 18); // 0.05 per step, 0.9 reached on the 18th
    EXPECT_EQ(cameras.Mode(), kCameraFps);
    EXPECT_EQ(cameras.PreviousMode(), kCameraPath);
    cameras.Follow(nullptr);
}

// Every mode but the first-person view shows the followed character, whichever mode came before,
// and the free camera, chosen again, goes on from where the previous mode left the camera, its
// pitch counted from the view it takes over.
TEST_F(CameraTest, WhoIsShownAndWhereTheFreeCameraGoesOn) {
    CCameraManager cameras(1.0f);
    g_cameraManager = &cameras;
    Make(&cameras);
    Feed(&cameras, "<C><Free><InitialPosition x='0' y='30' z='-24'/><InitialTarget x='0' y='0' z='-2'/></Free>"
                   "<Fixed><Position x='5' y='1' z='-6'/><Target x='0' y='1' z='0'/></Fixed></C>");
    const OvV3d points[4] = {{0, 5, 0}, {5, 5, 0}, {5, 5, 5}, {0, 5, 5}};
    cameras.SetSpline(OvSplineCreate(4, ovSPLINEOPEN, points));
    Subject subject;
    cameras.Follow(&subject);
    for (std::int32_t mode : {kCameraFixed, kCameraPath, kCameraFollow, kCameraFree}) {
        cameras.SetMode(kCameraFps);
        cameras.Update(0.1f);
        EXPECT_FALSE(subject.visible);
        cameras.SetMode(mode);
        cameras.Update(0.1f);
        EXPECT_TRUE(subject.visible) << CameraModeName(mode);
    }
    // From a fixed viewpoint to the free camera: the viewpoint's place and axes stay.
    cameras.NextFixedCamera();
    cameras.Update(0.1f);
    const OvMatrix fixed = MatrixOf(cameras);
    EXPECT_EQ(fixed.pos.x, 5.0f);
    EXPECT_NEAR(fixed.at.z, 6.0f / std::sqrt(61.0f), 1e-5f); // the viewpoint's axes too
    cameras.SetMode(kCameraFree);
    cameras.Update(0.1f);
    EXPECT_EQ(cameras.Position().x, 5.0f);
    EXPECT_EQ(cameras.Position().z, -6.0f);
    EXPECT_EQ(MatrixOf(cameras).at.z, fixed.at.z);
    EXPECT_NEAR(cameras.Pitch(), 0.0f, 1e-3f); // the viewpoint looks level
    // A turn downwards counts from there: 80 degrees more reach the limit of 89, not 80 past the
    // configured start's pitch.
    Mouse(SKEL_EVENT_MOUSE_LEFT_DOWN, 0.0f, 0.0f);
    Mouse(0, 0.0f, 450.0f);
    cameras.Update(0.1f);
    CInputManager::MouseHandler(SKEL_EVENT_MOUSE_LEFT_UP, nullptr);
    EXPECT_NEAR(cameras.Pitch(), 89.0f, 1e-3f);
    EXPECT_EQ(cameras.Position().x, 5.0f);
    // From the follow camera: where it put the camera.
    cameras.SetMode(kCameraFollow);
    cameras.Update(0.1f);
    const OvMatrix follow = MatrixOf(cameras);
    cameras.SetMode(kCameraFree);
    cameras.Update(0.1f);
    EXPECT_EQ(MatrixOf(cameras).pos.x, follow.pos.x);
    EXPECT_EQ(MatrixOf(cameras).pos.z, follow.pos.z);
    EXPECT_EQ(MatrixOf(cameras).at.x, follow.at.x);
    cameras.Follow(nullptr);
}

TEST_F(CameraTest, WorldCamerasShareTheMainRasters) {
    CCameraManager cameras(3.0f);
    Make(&cameras);
    cameras.SetMode(kCameraFps);
    const OvV3d from = {1.0f, 2.0f, 3.0f};
    const OvV3d to = {1.0f, 2.0f, 10.0f};
    cameras.LookAt(from, to);
    {
        CCameraManager world(cameras);
        ASSERT_NE(world.Camera(), nullptr);
        EXPECT_NE(world.Camera(), cameras.Camera());
        EXPECT_NE(OvCameraGetFrame(world.Camera()), OvCameraGetFrame(cameras.Camera()));
        EXPECT_EQ(world.Camera()->frameBuffer, cameras.Camera()->frameBuffer);
        EXPECT_EQ(world.Mode(), kCameraFps);
        EXPECT_EQ(world.Scale(), 3.0f);
        EXPECT_EQ(world.Position().z, 3.0f);
        cameras.LookAt(to, from);
        world.CopyCamera(cameras);
        EXPECT_EQ(world.Position().z, 10.0f);
        EXPECT_NEAR(MatrixOf(world).at.z, -1.0f, 1e-6f);
    }
    // The world camera took none of the main camera's rasters with it.
    EXPECT_EQ(OvTestMemoryRasterDriverState()->liveRasters, 2);
    cameras.DestroyCamera();
    EXPECT_EQ(OvTestMemoryRasterDriverState()->liveRasters, 0);
}

} // namespace
