// The level's furniture on a generated level: laser timing, teleporting and bumping stand-in
// characters, the switch's debounce and models, the lift's ride against a closed-form timetable
// (with and without its switch, with the physics body riding its anchor), the door's hinge,
// every attribute's message, and the collision planes and triangles as the line query sees them.

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "framework/camera_manager.h"
#include "framework/clump_object.h"
#include "framework/input_manager.h"
#include "framework/framework.h"
#include "framework/level_objects.h"
#include "framework/tests/level_fixture.h"
#include "framework/world_manager.h"
#include "graphics/core/frame.h"
#include "graphics/shared/skel/win/skeleton.h"
#include "graphics/world/clump.h"
#include "physics/core/context/joint.h"
#include "physics/core/context/manager.h"

namespace {

using LevelObjectsTest = LevelTest;

// An element's attributes as the parser gives them: name, value, ..., null.
struct Attrs {
    std::vector<std::string> texts;
    std::vector<const char*> pointers;
    Attrs(std::initializer_list<std::string> pairs) : texts(pairs) {}
    explicit Attrs(std::vector<std::string> pairs) : texts(std::move(pairs)) {}
    // Without attribute k (its name and value).
    Attrs Without(std::size_t k) const {
        std::vector<std::string> rest = texts;
        rest.erase(rest.begin() + static_cast<long>(2 * k), rest.begin() + static_cast<long>(2 * k + 2));
        return Attrs(rest);
    }
    Attrs& Add(std::initializer_list<std::string> more) {
        texts.insert(texts.end(), more);
        return *this;
    }
    const char** get() {
        pointers.clear();
        for (const std::string& t : texts) {
            pointers.push_back(t.c_str());
        }
        pointers.push_back(nullptr);
        return pointers.data();
    }
};

Attrs Points(const char* a, OvV3d p, const char* b, OvV3d q) {
    auto s = [](float v) { return std::to_string(v); };
    const std::string pa = a, pb = b;
    return Attrs{pa + "x", s(p.x), pa + "y", s(p.y), pa + "z", s(p.z),
                 pb + "x", s(q.x), pb + "y", s(q.y), pb + "z", s(q.z)};
}

// A switch facing +z at (x, y, 0).
Attrs SwitchAttrs(const char* name, const char* x = "0", const char* y = "0", const char* on = "on",
                  const char* off = "off") {
    return Attrs{"name", name, "px", x,    "py", y,          "pz", "0",         "nx",
                 "0",    "ny", "0",  "nz", "1",  "stringOn", on,   "stringOff", off};
}

Attrs LiftAttrs(OvV3d p1, OvV3d p2, const char* switchName) {
    Attrs a = Points("p1", p1, "p2", p2);
    a.Add({"pw1x", "0", "pw1y", "0", "pw1z", "0", "pw2x", "0", "pw2y", "0", "pw2z", "0", "switch", switchName});
    return a;
}

// Characters standing in for the game's: unit boxes; throws are recorded.
struct Crowd : CLevelCharacters {
    std::vector<CClumpObject*> members;
    std::vector<std::pair<int, OvV3d>> throws;
    CLevelCharacters* previous = g_levelCharacters;
    int Count() override { return static_cast<int>(members.size()); }
    CClumpObject* Get(int i) override { return members[static_cast<std::size_t>(i)]; }
    void Throw(int i, const OvV3d& v) override { throws.push_back({i, v}); }
    ~Crowd() override {
        for (CClumpObject* m : members) {
            delete m;
        }
        g_levelCharacters = previous;
    }
};

OvV3d PositionOf(const CClumpObject* o) { return OvFrameGetMatrix(o->GetFrame())->pos; }

class LevelFurniture : public LevelTest {
protected:
    void SetUp() override {
        LevelTest::SetUp();
        std::filesystem::create_directories(dir + "/models");
        WriteBytes("box.dff", mkasset::ClumpFile(BoxClumpAt(0, 0, 0)));
        for (const char* model : {"models/lift.dff", "models/BoutonVert.dff", "models/BoutonRouge.dff",
                                  "models/BoutonVertOn.dff", "models/BoutonRougeOn.dff"}) {
            WriteBytes(model, mkasset::ClumpFile(BoxClumpAt(0, 0, 0)));
        }
        wm = LoadOpenLevel(12, {}, 3);
        ASSERT_EQ(wm->WorldCount(), 1);
    }
    void TearDown() override {
        crowd.reset();
        LevelTest::TearDown();
    }
    CClumpObject* AddCharacter(OvV3d at) {
        if (!crowd) {
            crowd = std::make_unique<Crowd>();
            g_levelCharacters = crowd.get();
        }
        auto* c = new CClumpObject;
        EXPECT_TRUE(c->LoadClump("box.dff"));
        c->SetPosition(at);
        crowd->members.push_back(c);
        return c;
    }
    CWorldManager* wm = nullptr;
    std::unique_ptr<Crowd> crowd;
};

TEST(LevelObjectTiming, LaserBeamsAlternateFromTheirStartTime) {
    struct Case {
        float on, off, start;
        const char* expected; // state after each 0.1 s step: 1 on, 0 off
    };
    const Case cases[] = {
        {0.3f, 0.2f, 0.0f, "0011110001111000"}, // off 0.2 s (+ a step), on 0.3 s, ...
        {0.3f, 0.2f, 0.5f, "1111000111100011"}, // a start past timeOff turns on at the first update
        {0.0f, 0.0f, 0.0f, "1010101010101010"}, // no times: flips every step
    };
    for (const Case& c : cases) {
        CLaserBeam beam;
        Attrs a = Points("p1", {0, 1, 0}, "p2", {4, 1, 0});
        a.Add({"pw1x", "0", "pw1y", "0", "pw1z", "0", "pw2x", "0", "pw2y", "0", "pw2z", "0"});
        a.Add({"timeOn", std::to_string(c.on), "timeOff", std::to_string(c.off), "startTime", std::to_string(c.start)});
        ASSERT_TRUE(beam.StartElement("LaserBeam", a.get()));
        std::string seen;
        for (std::size_t i = 0; i < std::strlen(c.expected); ++i) {
            beam.Update(0.1f);
            seen += beam.IsOn() ? '1' : '0';
        }
        EXPECT_EQ(seen, c.expected) << c.on << " " << c.off << " " << c.start;
    }
}

TEST_F(LevelFurniture, TeleportersMoveAndBumpersThrowOnlyWithinReach) {
    CClumpObject* near = AddCharacter({0.99f, 0.0f, 0.0f});
    CClumpObject* edge = AddCharacter({0.0f, 0.0f, 1.0f}); // exactly 1.0 away: stays
    CClumpObject* far = AddCharacter({1.9f, 0.0f, 0.0f});
    CTeleporter teleporter;
    Attrs t = Points("p1", {0, 0, 0}, "p2", {5, 1, 5});
    ASSERT_TRUE(teleporter.StartElement("Teleporter", t.get()));
    teleporter.Update(0.02f);
    EXPECT_EQ(PositionOf(near).x, 5.0f);
    EXPECT_EQ(PositionOf(near).z, 5.0f);
    EXPECT_EQ(PositionOf(edge).z, 1.0f);
    EXPECT_EQ(PositionOf(far).x, 1.9f);
    EXPECT_EQ(teleporter.Particles(), nullptr); // no particle texture: no effect, teleporting still works

    CBumper bumper;
    Attrs b = Points("p1", {0, 0, 0}, "p2", {0, 0, 0});
    ASSERT_TRUE(bumper.StartElement("Bumper", b.get()));
    bumper.Update(0.02f); // near has gone; edge (1.0) and far (1.9) are within 2.0
    ASSERT_EQ(crowd->throws.size(), 2u);
    EXPECT_EQ(crowd->throws[0].first, 1);
    EXPECT_EQ(crowd->throws[1].first, 2);
    EXPECT_EQ(crowd->throws[0].second.x, -6.0f);
    EXPECT_EQ(crowd->throws[0].second.y, 12.0f);
    EXPECT_EQ(crowd->throws[0].second.z, 0.0f);
    far->SetPosition({2.0f, 0.0f, 0.0f});
    crowd->throws.clear();
    bumper.Update(0.02f);
    EXPECT_EQ(crowd->throws.size(), 1u);
}

TEST_F(LevelFurniture, SwitchesDebounceAndShowTheirState) {
    Attrs a = SwitchAttrs("Gate", "2", "1", "open the gate", "close the gate");
    ASSERT_TRUE(ConfigureLevelObject("Switch", a.get()));
    ASSERT_EQ(wm->SwitchCount(), 1);
    CSwitch* s = wm->GetSwitch(0);
    EXPECT_EQ(Messages(), "");
    auto shown = [&] {
        std::string v;
        for (int i = 0; i < CSwitch::kModels; ++i) {
            v += s->Model(i)->IsInWorld() ? '1' : '0';
        }
        return v;
    };
    EXPECT_TRUE(s->IsOn());
    EXPECT_EQ(shown(), "0110");
    EXPECT_FLOAT_EQ(PositionOf(s->Model(0)).y, 1.0f);
    EXPECT_FLOAT_EQ(PositionOf(s->Model(3)).y, 0.5f);
    EXPECT_STREQ(s->HintText(), "close the gate");
    EXPECT_EQ(wm->AimedSwitch({2.0f, 1.0f, 0.99f}), s);
    EXPECT_EQ(wm->AimedSwitch({2.0f, 1.0f, 1.0f}), nullptr);

    EXPECT_FALSE(s->Toggle()); // the timer has not passed 0.25 s
    wm->Update(0.2f);
    EXPECT_FALSE(s->Toggle());
    wm->Update(0.1f);
    EXPECT_TRUE(s->Toggle());
    EXPECT_FALSE(s->IsOn());
    EXPECT_EQ(shown(), "1001");
    EXPECT_STREQ(s->HintText(), "open the gate");
    EXPECT_FALSE(s->Toggle()); // used twice within 0.25 s: toggles once
    wm->Update(0.3f);
    EXPECT_TRUE(s->Toggle());
    EXPECT_EQ(shown(), "0110");
}

TEST_F(LevelFurniture, AClickTogglesTheSwitchesNearTheViewOncePerPress) {
    for (const char* x : {"0.5", "3"}) { // within reach of the view (at the origin) and out of it
        ASSERT_TRUE(ConfigureLevelObject("Switch", SwitchAttrs("s", x).get()));
    }
    CCameraManager cameras(1.0f); // without a camera its view stands at the origin
    g_cameraManager = &cameras;
    CInputManager* input = CInputManager::GetInstance();
    input->SetMouseMode(1); // the window's mouse
    SkelMouseRecord r = {320.0f, 240.0f, 0.0f, 0.0f, 0, 0};
    auto press = [&](bool down) {
        CInputManager::MouseHandler(down ? SKEL_EVENT_MOUSE_LEFT_DOWN : SKEL_EVENT_MOUSE_LEFT_UP, &r);
    };
    std::string states;
    auto frame = [&] {
        wm->Update(0.3f);
        states += wm->GetSwitch(0)->IsOn() ? '1' : '0';
        states += wm->GetSwitch(1)->IsOn() ? '1' : '0';
    };
    frame();
    press(true); // a press toggles once, however long it is held
    frame();
    frame();
    press(false);
    frame();
    press(true);
    frame();
    press(false);
    EXPECT_EQ(states, "1101010111");
    g_cameraManager = nullptr;
    CInputManager::Destroy();
}

// How far along its way from p1 a lift with no switch stands after t seconds: it starts moving to
// p2 at once at 2 units a second; each wait lasts until its timer passes 3 s, and the step that
// ends a wait does not move yet.
float LiftTimetable(float t, float length, float dt) {
    const float ride = length / 2.0f, wait = 3.0f + dt, lap = 2.0f * (ride + wait);
    t = std::fmod(t, lap);
    if (t <= ride) {
        return 2.0f * t;
    }
    if (t < ride + wait) {
        return length;
    }
    if (t < 2.0f * ride + wait) {
        return length - 2.0f * (t - ride - wait);
    }
    return 0.0f;
}

TEST_F(LevelFurniture, LiftsRideTheirTimetableAndCarryTheirBody) {
    Attrs a = LiftAttrs({-3, 1, 2}, {-3, 5, 2}, "nobody");
    testing::internal::CaptureStderr();
    ASSERT_TRUE(ConfigureLevelObject("Lift", a.get()));
    EXPECT_NE(testing::internal::GetCapturedStderr().find("a 'Lift' names the switch 'nobody', which no 'Switch'"),
              std::string::npos);
    ASSERT_EQ(wm->LiftCount(), 1);
    CLift* lift = wm->GetLift(0);
    EXPECT_EQ(lift->LinkedSwitch(), nullptr); // a name that matches no switch: always moves (said)
    ASSERT_NE(lift->Body(), nullptr);
    ASSERT_NE(lift->Joint(), nullptr);
    EXPECT_EQ(OvpJointGetDef(lift->Joint())->flags, kLiftJointFlags);
    EXPECT_TRUE(lift->Object()->IsPickable());
    EXPECT_EQ(wm->FindLift(lift->Object()), lift);
    const float dt = 1.0f / 32.0f; // exact in binary, as are the steps of 1/16 along the way
    for (int frame = 1; frame <= 32 * 11; ++frame) {
        wm->Update(dt);
        ASSERT_NEAR(lift->travelled, LiftTimetable(static_cast<float>(frame) * dt, 4.0f, dt), 1e-4f)
            << "frame " << frame;
        EXPECT_FLOAT_EQ(lift->position.y, 1.0f + lift->travelled);
        const OvpJointFrame* anchor = OvpJointDefGetFrame(OvpJointGetDef(lift->Joint()), 1);
        EXPECT_EQ(anchor->position.y, lift->position.y);
    }
    // On its second way up: the body rides with its anchor.
    EXPECT_EQ(lift->state, CLift::kMovingToP2);
    OvV3d carried = {};
    ASSERT_TRUE(wm->LiftVelocity(lift->Object(), &carried));
    EXPECT_EQ(carried.y, 2.0f);
    EXPECT_FALSE(wm->LiftVelocity(nullptr, &carried));
    EXPECT_NEAR(PositionOf(lift->Object()).y, lift->position.y, 0.15f);
    EXPECT_NEAR(PositionOf(lift->Object()).x, -3.0f, 0.05f);
}

TEST_F(LevelFurniture, LiftsWaitForTheirSwitch) {
    for (const char* name : {"lift", "other", "LIFT"}) {
        ASSERT_TRUE(ConfigureLevelObject("Switch", SwitchAttrs(name).get()));
    }
    Attrs a = LiftAttrs({0, 0, 4}, {4, 0, 4}, "Lift");
    ASSERT_TRUE(ConfigureLevelObject("Lift", a.get()));
    CLift* lift = wm->GetLift(0);
    ASSERT_EQ(lift->LinkedSwitch(), wm->GetSwitch(2)); // the last match, letter case ignored
    CSwitch* s = wm->GetSwitch(2);
    wm->Update(0.5f);
    EXPECT_FLOAT_EQ(lift->position.x, 1.0f);
    wm->Update(0.5f);
    ASSERT_TRUE(s->Toggle()); // off: the lift stays where it is, in whatever state it was
    const float stopped = lift->position.x;
    EXPECT_EQ(lift->Velocity().x, 0.0f);
    for (int i = 0; i < 10; ++i) {
        wm->Update(0.5f);
    }
    EXPECT_EQ(lift->position.x, stopped);
    EXPECT_EQ(lift->state, CLift::kMovingToP2);
    ASSERT_TRUE(s->Toggle());
    wm->Update(0.25f);
    EXPECT_FLOAT_EQ(lift->position.x, stopped + 0.5f);
    EXPECT_EQ(lift->Velocity().x, 2.0f);
}

TEST_F(LevelFurniture, DoorsHingeOnTheirEdge) {
    Attrs a{"px", "2",    "py", "1",    "pz", "3",    "width", "1.5",  "height", "2",    "depth", "0.2",  "axis",
            "1",  "pw1x", "0",  "pw1y", "0",  "pw1z", "0",     "pw2x", "0",      "pw2y", "0",     "pw2z", "0"};
    ASSERT_TRUE(ConfigureLevelObject("Door", a.get()));
    Attrs flat = a;
    flat.texts[7] = "0"; // no width: no body to hinge (said as it is read)
    testing::internal::CaptureStderr();
    ASSERT_TRUE(ConfigureLevelObject("Door", flat.get()));
    wm->Update(0.02f);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "Warning: configuration: a 'Door' whose width, height or depth is not above 0 spans nothing: it gets no "
              "body and does not swing\n");
    EXPECT_EQ(Messages(), "");
    ASSERT_EQ(wm->DoorCount(), 2);
    CDoor& door = *wm->GetDoor(0);
    EXPECT_EQ(wm->GetDoor(1)->Body(), nullptr);
    ASSERT_NE(door.Body(), nullptr);
    ASSERT_NE(door.Joint(), nullptr);
    OvpJointDef* def = OvpJointGetDef(door.Joint());
    EXPECT_EQ(def->flags, 62u);
    EXPECT_EQ(def->limit[0].enabled, 1u);
    EXPECT_FLOAT_EQ(def->limit[0].cosine[0], std::cos(kDoorOpenAngle / 2.0f));
    EXPECT_EQ(def->limit[1].enabled, 1u);
    EXPECT_FLOAT_EQ(def->limit[1].cosine[0], 1.0f);
    const OvpJointSpring* spring = OvpJointLimitGetSpring(&def->limit[1]);
    EXPECT_EQ(spring->stiffness, 200.0f);
    EXPECT_FLOAT_EQ(spring->damping, 0.1f);
    // Both frames turned a quarter about z (x onto the vertical), at the hinge.
    for (int f = 0; f < 2; ++f) {
        const OvQuat& q = def->frame[f].orientation;
        EXPECT_NEAR(q.z, std::sqrt(0.5f), 1e-5f);
        EXPECT_NEAR(q.w, std::sqrt(0.5f), 1e-5f);
        EXPECT_NEAR(q.x, 0.0f, 1e-6f);
    }
    EXPECT_FLOAT_EQ(def->frame[1].position.x, 1.25f);
    EXPECT_FLOAT_EQ(def->frame[0].position.x, -0.75f);
    EXPECT_EQ(door.HalfExtents().x, 0.75f);
    // Left alone, the spring holds it shut: it stays where it was hung.
    for (int i = 0; i < 60; ++i) {
        wm->Update(1.0f / 60.0f);
    }
    EXPECT_NEAR(door.Matrix().pos.x, 2.0f, 0.05f);
    EXPECT_NEAR(door.Matrix().pos.y, 1.0f, 0.05f);
}

TEST_F(LevelFurniture, EveryMissingAttributeGivesItsMessageAndTheObjectStays) {
    struct Element {
        const char* name;
        Attrs attrs;
    };
    std::vector<Element> elements = {
        {"Teleporter", Points("p1", {}, "p2", {})},
        {"Bumper", Points("p1", {}, "p2", {})},
        {"JumpHelper", Points("p1", {}, "p2", {})},
        {"Door", Attrs{"px",   "0", "py",   "0", "pz",   "0", "width", "1", "height", "2", "depth", "0.1", "axis", "0",
                       "pw1x", "0", "pw1y", "0", "pw1z", "0", "pw2x",  "0", "pw2y",   "0", "pw2z",  "0"}},
        {"Switch", SwitchAttrs("s")},
        {"Lift", LiftAttrs({}, {1, 0, 0}, "s")},
    };
    std::string expected;
    for (Element& e : elements) {
        const std::size_t count = e.attrs.texts.size() / 2;
        for (std::size_t k = 0; k < count; ++k) {
            Attrs missing = e.attrs.Without(k);
            ASSERT_TRUE(ConfigureLevelObject(e.name, missing.get()));
            expected += "'" + e.attrs.texts[2 * k] + "' attribute not found in '" + e.name +
                        "' section.\nPlease update your XML file\n";
        }
    }
    EXPECT_EQ(Messages(), expected);
    EXPECT_EQ(wm->SwitchCount(), 9);
    EXPECT_EQ(wm->LiftCount(), 13);
    EXPECT_FALSE(ConfigureLevelObject("Crate", Attrs{}.get()));
}

TEST_F(LevelFurniture, AFullTableTakesTheRefusedSwitchModelsBack) {
    Attrs a = SwitchAttrs("s");
    for (int i = 0; i < kMaxLevelObjects; ++i) {
        ASSERT_TRUE(ConfigureLevelObject("Switch", a.get()));
    }
    const int objects = wm->ObjectCount();
    ASSERT_TRUE(ConfigureLevelObject("Switch", a.get()));
    EXPECT_EQ(Messages(), "Too much switches.\nPlease increase MAX_SWITCHES value\n");
    EXPECT_EQ(wm->SwitchCount(), kMaxLevelObjects);
    int held = 0;
    for (int i = 0; i < wm->ObjectCapacity(); ++i) {
        held += wm->GetObject(i) != nullptr ? 1 : 0;
    }
    EXPECT_EQ(held, objects);
}

// Reads a piece of the "Worlds" section through the world manager.
void Feed(CWorldManager* wm, const char* section, std::vector<std::pair<const char*, Attrs>> elements) {
    Attrs none{};
    wm->StartElement(section, none.get());
    for (auto& [name, attrs] : elements) {
        wm->StartElement(name, attrs.get());
        wm->EndElement(name);
    }
    wm->EndElement(section);
}

TEST_F(LevelFurniture, PlanesAndTrianglesBlockLinesBothWaysAndRebuildOnlyOnChange) {
    // A wall plane across x = 2 (4 long along z, 2 wide along y) and a passable triangle at x = -2.
    Feed(wm, "CollisionPlane",
         {{"Position", Attrs{"x", "2", "y", "1", "z", "0"}},
          {"Normal", Attrs{"x", "-1", "y", "0", "z", "0"}},
          {"Right", Attrs{"x", "0", "y", "0", "z", "1"}},
          {"Length", Attrs{"value", "4"}},
          {"Width", Attrs{"value", "2"}}});
    Feed(wm, "CollisionTriangle",
         {{"flags", Attrs{"value", "1"}},
          {"v1", Attrs{"x", "-2", "y", "0", "z", "-1"}},
          {"v2", Attrs{"x", "-2", "y", "0", "z", "1"}},
          {"v3", Attrs{"x", "-2", "y", "2", "z", "0"}}});
    Feed(wm, "CollisionPlane", {{"Position", Attrs{"x", "0", "y", "1", "z", "-3"}}}); // no Right: spans nothing
    EXPECT_EQ(Messages(), "");
    ASSERT_EQ(wm->CollisionPlaneCount(), 4);
    ASSERT_EQ(wm->CollisionTriangleCount(), 2);
    EXPECT_TRUE(wm->GetCollisionTriangle(0)->passable);
    wm->Update(0.02f);
    auto hits = [&](OvV3d from, OvV3d to, float* fraction) {
        OvV3d normal;
        return wm->LineIntersect(from, to, false, fraction, &normal);
    };
    float d = 0.0f;
    // Both sides of the plane; the line query still sees the passable triangle.
    EXPECT_EQ(hits({0, 1, 0.5f}, {4, 1, 0.5f}, &d), 1);
    EXPECT_NEAR(d, 0.5f, 1e-4f);
    EXPECT_EQ(hits({4, 1, 0.5f}, {0, 1, 0.5f}, &d), 1);
    EXPECT_NEAR(d, 0.5f, 1e-4f);
    EXPECT_EQ(hits({0, 1.5f, 3}, {4, 1.5f, 3}, &d), 0); // past the plane's length
    EXPECT_EQ(hits({0, 0.5f, 0}, {-4, 0.5f, 0}, &d), 1);
    EXPECT_NEAR(d, 0.5f, 1e-4f);
    EXPECT_EQ(hits({-4, 0.5f, 0}, {0, 0.5f, 0}, &d), 1);

    // Nothing changed: nothing rebuilt. A moved vertex rebuilds that triangle, and the query
    // follows it.
    CCollisionTriangle* t = wm->GetCollisionTriangle(1);
    for (int i = 0; i < 5; ++i) {
        wm->Update(0.02f);
    }
    EXPECT_EQ(t->Builds(), 1);
    for (OvV3d& v : t->vertices) {
        v.x = -3.0f;
    }
    wm->Update(0.02f);
    EXPECT_EQ(t->Builds(), 2);
    // Each way sees one of the two windings: one at -2, the moved one at -3.
    float there = 0.0f, back = 0.0f;
    EXPECT_EQ(hits({0, 0.5f, 0}, {-4, 0.5f, 0}, &there), 1);
    EXPECT_EQ(hits({-4, 0.5f, 0}, {0, 0.5f, 0}, &back), 1);
    const bool firstSeenGoingOut = std::fabs(there - 0.5f) < 1e-4f && std::fabs(back - 0.25f) < 1e-4f;
    const bool firstSeenComingIn = std::fabs(there - 0.75f) < 1e-4f && std::fabs(back - 0.5f) < 1e-4f;
    EXPECT_TRUE(firstSeenGoingOut || firstSeenComingIn) << there << " " << back;
}

} // namespace
