// Rigid bodies: the sphere and box definitions against their solid-body mass properties, the
// "Physics" section with its silent refusals, instances placed and turned (degrees) and
// definitions that are not used once released, and the drag with its impulse cap.

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "framework/camera_manager.h"
#include "framework/clump_object.h"
#include "framework/fps_counter.h"
#include "framework/framework.h"
#include "framework/input_manager.h"
#include "framework/physics_glue.h"
#include "graphics/shared/skel/win/skeleton.h"
#include "framework/rigid_bodies.h"
#include "framework/tests/level_fixture.h"
#include "graphics/core/frame.h"
#include "graphics/core/matrix.h"
#include "graphics/core/testkit/memory_raster_driver.h"
#include "physics/core/context/manager.h"
#include "physics/core/context/objtypes.h"
#include "physics/core/volume/primitives.h"
#include "physics/graphics/body_atomic.h"

namespace {

struct RigidBodyTest : LevelTest {
    void TearDown() override {
        // The bodies go before the world manager takes the physics context down.
        CRigidBodyManager::Destroy();
        LevelTest::TearDown();
    }
    // A level with a floor and a unit-box model file "crate.dff".
    CWorldManager* Level() {
        WriteBytes("crate.dff", mkasset::ClumpFile(BoxClumpAt(0, 0, 0)));
        CWorldManager* wm = LoadOpenLevel(16);
        EXPECT_EQ(wm->WorldCount(), 1);
        return wm;
    }
    // One element given to the manager with its attributes as name, value pairs.
    static bool Start(const char* element, std::vector<const char*> pairs = {}) {
        pairs.push_back(nullptr);
        return CRigidBodyManager::GetInstance()->StartElement(element, pairs.data());
    }
    static void End(const char* element) { CRigidBodyManager::GetInstance()->EndElement(element); }
};

TEST_F(RigidBodyTest, ModelsHaveTheMassPropertiesOfSolidBodies) {
    OvpBodyDef* sphere = CRigidBodyManager::CreateSphereModel(0.5f, 30.0f, 1.0f, 0.5f);
    ASSERT_NE(sphere, nullptr);
    EXPECT_EQ(sphere->volume->type, &ovpSphereVolumeType);
    EXPECT_EQ(sphere->volume->fat, 0.5f);
    EXPECT_EQ(sphere->volume->friction, 1.0f);
    EXPECT_EQ(sphere->volume->restitution, 0.5f);
    EXPECT_EQ(sphere->dynDef.mass, 30.0f);
    EXPECT_TRUE(sphere->dynDef.flags & ovpDYNDEF_FULLINERTIA);
    // Solid sphere: 2/5 m r^2 about every axis.
    EXPECT_NEAR(sphere->dynDef.inertia.x, 0.4f * 30.0f * 0.25f, 1e-3f);
    EXPECT_NEAR(sphere->dynDef.inertia.z, 0.4f * 30.0f * 0.25f, 1e-3f);
    OvpBodyDefRelease(sphere);

    OvpBodyDef* box = CRigidBodyManager::CreateBoxModel(1.0f, 0.5f, 0.25f, 12.0f, 0.3f, 0.1f);
    ASSERT_NE(box, nullptr);
    EXPECT_EQ(box->volume->type, &ovpBoxVolumeType);
    EXPECT_EQ(box->volume->fat, CRigidBodyManager::kBoxFatness);
    EXPECT_EQ(box->volume->friction, 0.3f);
    EXPECT_EQ(box->volume->restitution, 0.1f);
    EXPECT_EQ(box->dynDef.mass, 12.0f);
    // Solid box of half extents a, b, c: m/3 (b^2 + c^2) and so on (the small fatness aside).
    const float principal[3] = {4.0f * (0.25f + 0.0625f), 4.0f * (1.0f + 0.0625f), 4.0f * (1.0f + 0.25f)};
    float got[3] = {box->dynDef.inertia.x, box->dynDef.inertia.y, box->dynDef.inertia.z};
    std::sort(got, got + 3);
    std::vector<float> want(principal, principal + 3);
    std::sort(want.begin(), want.end());
    for (int i = 0; i < 3; ++i) {
        EXPECT_NEAR(got[i], want[static_cast<std::size_t>(i)], 0.02f * want[static_cast<std::size_t>(i)]) << i;
    }
    OvpBodyDefRelease(box);
}

TEST_F(RigidBodyTest, PhysicsSectionRefusesSilentlyAndPlacesInstances) {
    CWorldManager* wm = Level();
    CRigidBodyManager* rb = CRigidBodyManager::GetInstance();
    Start("Physics");
    // Models are read only inside "Models".
    Start("Sphere", {"name", "early", "clumpFilename", "crate.dff"});
    EXPECT_EQ(rb->ModelCount(), 0);
    Start("Models");
    EXPECT_TRUE(Start("Sphere", {"name", "ball", "clumpFilename", "crate.dff"}));
    EXPECT_FALSE(Start("Sphere", {"name", "noFile"}));
    EXPECT_FALSE(Start("Sphere", {"clumpFilename", "crate.dff", "name", "swapped"}));
    const std::vector<const char*> box = {"name",   "Crate", "clumpFilename", "crate.dff", "dx", "0.5",   "dy",
                                          "0.5",    "dz",    "0.5",           "mass",      "10", "slide", "1",
                                          "bounce", "0.2"};
    EXPECT_TRUE(Start("box", box));
    // Each misnamed or missing attribute refuses the box.
    for (std::size_t i = 4; i < box.size(); i += 2) {
        std::vector<const char*> bad = box;
        bad[i] = "wrong";
        EXPECT_FALSE(Start("Box", bad)) << box[i];
        bad = box;
        bad.resize(i);
        EXPECT_FALSE(Start("Box", bad)) << box[i];
    }
    // A box of no size or no mass is refused, said; a mass below 0 is a density (mass per unit
    // of volume: 2 for this box of 1 by 1 by 1).
    testing::internal::CaptureStderr();
    for (const auto& [at, value] : {std::pair{5, "0"}, {7, "-1"}, {9, "-0.5"}, {11, "0"}}) {
        std::vector<const char*> bad = box;
        bad[static_cast<std::size_t>(at)] = value;
        EXPECT_FALSE(Start("Box", bad)) << box[static_cast<std::size_t>(at) - 1];
    }
    std::vector<const char*> dense = box;
    dense[1] = "Dense";
    dense[11] = "-2";
    EXPECT_TRUE(Start("Box", dense));
    const std::string said = testing::internal::GetCapturedStderr();
    for (const char* refusal : {"'dx' 0.000000, not above 0", "'dy' -1.000000, not above 0",
                                "'dz' -0.500000, not above 0", "'mass' 0.000000, no mass"}) {
        EXPECT_NE(said.find(refusal), std::string::npos) << refusal << "\n" << said;
    }
    End("Models");
    ASSERT_EQ(rb->ModelCount(), 3);
    EXPECT_NEAR(rb->GetModel(2).def->dynDef.mass, 2.0f, 0.02f);
    EXPECT_EQ(rb->GetModel(0).name, "ball");
    EXPECT_EQ(rb->GetModel(1).name, "Crate");
    EXPECT_EQ(rb->GetModel(1).def->dynDef.mass, 10.0f);
    EXPECT_EQ(rb->GetModel(0).def->dynDef.mass, CRigidBodyManager::kSphereMass);
    EXPECT_EQ(rb->GetModel(0).def->volume->fat, CRigidBodyManager::kSphereRadius);

    Start("Instances");
    std::vector<const char*> inst = {"model", "CRATE", "px", "2", "py", "3", "pz",    "-1",
                                     "ox",    "0",     "oy", "2", "oz", "0", "angle", "90"};
    EXPECT_TRUE(Start("Instance", inst));
    inst[1] = "barrel"; // unknown: skipped
    EXPECT_FALSE(Start("Instance", inst));
    inst[1] = "ball";
    inst[14] = "ANGLE"; // attribute names are compared without case
    inst[7] = "0";      // no turn without an axis
    inst[11] = "0";
    EXPECT_TRUE(Start("Instance", inst));
    inst.resize(14);
    EXPECT_FALSE(Start("Instance", inst));
    testing::internal::CaptureStderr();
    EXPECT_FALSE(Start("Instance", {"px", "2"}));
    EXPECT_NE(testing::internal::GetCapturedStderr().find("an 'Instance' without its 'model'"), std::string::npos);
    ASSERT_EQ(rb->InstanceCount(), 2);
    const OvpBodyDef* crateDef = rb->GetModel(1).def;
    End("Instances");
    End("Physics");
    EXPECT_TRUE(Messages().empty()) << Messages();

    // The models' definitions are released; the bodies hold their own.
    EXPECT_EQ(rb->GetModel(0).def, nullptr);
    EXPECT_EQ(rb->GetModel(1).def, nullptr);
    const CRigidBodyManager::Instance& crate = rb->GetInstanceRecord(0);
    EXPECT_EQ(crate.body->def, crateDef);
    EXPECT_EQ(static_cast<const OvpBodyDef*>(crate.body->def)->refCount, 1u);
    EXPECT_STREQ(crate.object->GetName(), "Crate");
    EXPECT_TRUE(crate.object->IsPickable());
    EXPECT_TRUE(crate.object->IsInWorld());
    EXPECT_EQ(OvpAtomicGetBodyObj(crate.object->GetFirstAtomic()), crate.body);
    EXPECT_EQ(crate.body->manager, OvpContextGetMgr(wm->GetPhysicsContext()));

    // 90 degrees (not radians) about y: the frame's x axis turns to -z; no scale is left.
    const OvMatrix& m = *OvFrameGetMatrix(crate.object->GetFrame());
    EXPECT_NEAR(m.right.x, 0.0f, 1e-5f);
    EXPECT_NEAR(m.right.z, -1.0f, 1e-5f);
    EXPECT_NEAR(m.up.y, 1.0f, 1e-5f);
    EXPECT_NEAR(m.pos.x, 2.0f, 1e-5f);
    EXPECT_NEAR(m.pos.y, 3.0f, 1e-5f);
    EXPECT_NEAR(m.pos.z, -1.0f, 1e-5f);
    const OvMatrix& b = *OvFrameGetMatrix(rb->GetInstanceRecord(1).object->GetFrame());
    EXPECT_NEAR(b.right.x, 1.0f, 1e-5f);
    EXPECT_NEAR(b.at.z, 1.0f, 1e-5f);

    // A later "Instances" finds the released models and makes nothing of them.
    Start("Physics");
    Start("Instances");
    inst = {"model", "crate", "px", "0", "py", "1", "pz", "0", "ox", "0", "oy", "1", "oz", "0", "angle", "0"};
    EXPECT_FALSE(Start("Instance", inst));
    End("Instances");
    EXPECT_EQ(rb->InstanceCount(), 2);
}

TEST_F(RigidBodyTest, ModelTableHoldsThirtyTwo) {
    Level();
    Start("Physics");
    Start("Models");
    for (int i = 0; i < CRigidBodyManager::kMaxModels; ++i) {
        const std::string name = "m" + std::to_string(i);
        EXPECT_TRUE(Start("Sphere", {"name", name.c_str(), "clumpFilename", "crate.dff"}));
    }
    EXPECT_FALSE(Start("Sphere", {"name", "one more", "clumpFilename", "crate.dff"}));
    EXPECT_EQ(CRigidBodyManager::GetInstance()->ModelCount(), CRigidBodyManager::kMaxModels);
    EXPECT_EQ(Messages(), "Too much rigid body models.\nPlease increase MAX_RIGID_BODY_MODELS value\n");
}

// A crate on the floor and a bodiless block beside it, seen by the camera manager's camera; the
// pointer is the input manager's, moved by hand.
struct DragTest : RigidBodyTest {
    const OvDriver* Driver() const override { return OvTestMemoryRasterDriver(); }
    void SetUp() override {
        RigidBodyTest::SetUp();
        WriteBytes("crate.dff", mkasset::ClumpFile(BoxClumpAt(0, 0, 0)));
        LoadOpenLevel(16, {BoxClumpAt(3.0f, 0.5f, 0.0f)});
        Start("Physics");
        Start("Models");
        Start("Box", {"name", "crate", "clumpFilename", "crate.dff", "dx", "0.5", "dy", "0.5", "dz", "0.5", "mass",
                      "10", "slide", "1", "bounce", "0"});
        Start("Instances");
        Start("Instance",
              {"model", "crate", "px", "0", "py", "0.5", "pz", "0", "ox", "0", "oy", "1", "oz", "0", "angle", "0"});
        End("Instances");
        ASSERT_EQ(CRigidBodyManager::GetInstance()->InstanceCount(), 1);
        input = CInputManager::GetInstance();
        input->SetMouseMode(1);
        g_cameraManager = new CCameraManager(1.0f);
        g_cameraManager->CreateCamera(640, 480, true); // without its crosshair image
        ASSERT_NE(g_cameraManager->Camera(), nullptr);
    }
    void TearDown() override {
        CRigidBodyManager::Destroy();
        delete g_cameraManager;
        CInputManager::Destroy();
        RigidBodyTest::TearDown();
    }
    // Frames of the world and the drag.
    void Run(int frames) {
        for (int i = 0; i < frames; ++i) {
            CRigidBodyManager::GetInstance()->Update(kStep);
            g_worldManager->Update(kStep);
        }
    }
    OvV3d CratePosition() const {
        return OvFrameGetMatrix(CRigidBodyManager::GetInstance()->GetInstanceRecord(0).object->GetFrame())->pos;
    }
    // The camera turned to the target; its frustum (which pixel rays read) follows at an update.
    void Look(const OvV3d& target) {
        g_cameraManager->LookAt(eye, target);
        g_cameraManager->BeginUpdate();
        g_cameraManager->EndUpdate();
    }
    static constexpr float kStep = 1.0f / 60.0f;
    const OvV3d eye = {0.0f, 4.0f, -6.0f};
    CInputManager* input = nullptr;
};

TEST_F(DragTest, RightControlDragsTheBodyUnderThePointerUntilReleased) {
    CRigidBodyManager* rb = CRigidBodyManager::GetInstance();
    Run(30); // settles on the floor
    const OvV3d rest = CratePosition();
    EXPECT_NEAR(rest.y, 0.5f, 0.05f);
    input->SetPointer(320.0f, 240.0f);

    // Nothing happens without RIGHT CTRL. On the crate the hint says how to drag it, but not while
    // the start screen holds the game, and not on the sky.
    Look({0.0f, 0.5f, 0.0f});
    Run(1);
    EXPECT_FALSE(rb->Dragging());
    EXPECT_TRUE(g_worldManager->DragHintShown());
    g_paused = true;
    EXPECT_FALSE(g_worldManager->DragHintShown());
    g_paused = false;
    // Its line stays above the camera's name and the frame rate, which stand 0.04 high at 0.82.
    EXPECT_GE(CRigidBodyManager::kDragHintY, CFpsCounter::kTextY + CFpsCounter::kTextSize);
    input->HandleKey(SKEL_EVENT_KEY_DOWN, 175);
    // Neither the sky nor a clump without a body starts a drag.
    Look({0.0f, 20.0f, 40.0f});
    Run(1);
    EXPECT_FALSE(rb->Dragging());
    EXPECT_FALSE(g_worldManager->DragHintShown());
    Look({3.0f, 0.5f, 0.0f});
    Run(1);
    EXPECT_FALSE(rb->Dragging());

    // The crate is grabbed on its near face and pulled up after the pointer.
    Look({0.0f, 0.5f, 0.0f});
    Run(1);
    ASSERT_TRUE(rb->Dragging());
    EXPECT_EQ(rb->DraggedBody(), rb->GetInstanceRecord(0).body);
    EXPECT_NEAR(rb->GrabPoint().x, 0.0f, 0.05f);
    EXPECT_LT(rb->GrabPoint().z, -0.3f);
    input->SetPointer(320.0f, 120.0f);
    Run(1);
    EXPECT_GT(rb->LastImpulse().y, 0.0f);
    float highest = 0.0f;
    for (int i = 0; i < 60; ++i) {
        Run(1);
        highest = std::max(highest, CratePosition().y);
        const OvV3d& p = rb->LastImpulse();
        EXPECT_LE(std::sqrt(p.x * p.x + p.y * p.y + p.z * p.z), 1000.0f + 1e-2f);
    }
    EXPECT_GT(highest, 1.0f);
    EXPECT_TRUE(rb->Dragging());

    // Letting go of RIGHT CTRL ends the drag at once; the crate falls back and comes to rest.
    input->HandleKey(SKEL_EVENT_KEY_UP, 175);
    Run(1);
    EXPECT_FALSE(rb->Dragging());
    EXPECT_EQ(rb->DraggedBody(), nullptr);
    Run(300);
    const OvV3d settled = CratePosition();
    EXPECT_NEAR(settled.y, 0.5f, 0.05f);
    Run(10);
    EXPECT_NEAR(CratePosition().y, settled.y, 1e-3f);
}

TEST_F(DragTest, ABodyWithoutDynamicsEndsTheDragWithItsMessage) {
    CRigidBodyManager* rb = CRigidBodyManager::GetInstance();
    input->SetPointer(320.0f, 240.0f);
    Look({0.0f, 0.5f, 0.0f});
    input->HandleKey(SKEL_EVENT_KEY_DOWN, 175);
    Run(1);
    ASSERT_TRUE(rb->Dragging());
    // Out of the physics manager the body can get no dynamic record.
    OvpObj* body = rb->DraggedBody();
    OvpMgrRemoveObject(body->manager, body);
    std::filesystem::remove(logPath);
    Run(1);
    EXPECT_FALSE(rb->Dragging());
    EXPECT_EQ(Messages(), "Dynamics not allocated\nThe physics has no room for another moving body: 'Bodies' makes "
                          "room for 100 ('maxRegistered' 200, 'maxActive' 100); raise 'maxRegistered' or "
                          "'maxActive' of 'Bodies' in config.xml.\n");
    EXPECT_TRUE(g_stopOnError);
}

// Any pickable object that carries a body can be dragged (a lift's platform is one); destroyed while
// it is, with its body, the drag ends with it and the next frames run.
TEST_F(DragTest, AnObjectDestroyedWhileDraggedIsLetGo) {
    CRigidBodyManager* rb = CRigidBodyManager::GetInstance();
    auto* platform = new CClumpObject;
    ASSERT_TRUE(platform->LoadClump("crate.dff"));
    platform->SetPickable(true);
    OvpBodyDef* def = CRigidBodyManager::CreateBoxModel(0.5f, 0.5f, 0.5f, 10.0f, 1.0f, 0.0f);
    OvpObj* body = OvpBodyObjCreate(def);
    OvpBodyDefRelease(def);
    ASSERT_NE(OvpAtomicSetBodyObj(platform->GetFirstAtomic(), body), nullptr);
    g_worldManager->AddObject(platform);
    ASSERT_NE(OvpMgrAddObject(OvpContextGetMgr(g_worldManager->GetPhysicsContext()), body, -1,
                              ovpADD_AWAKE | ovpADD_DYNAMIC | ovpADD_ACTIVATE),
              nullptr);
    PhysicsSetBodyPosition(body, -3.0f, 0.5f, 0.0f);
    input->SetPointer(320.0f, 240.0f);
    Look({-3.0f, 0.5f, 0.0f});
    input->HandleKey(SKEL_EVENT_KEY_DOWN, 175);
    Run(1);
    ASSERT_TRUE(rb->Dragging());
    ASSERT_EQ(rb->DraggedObject(), platform);
    OvpAtomicSetBodyObj(platform->GetFirstAtomic(), nullptr);
    OvpBodyObjDestroy(body);
    platform->Destroy();
    delete platform;
    EXPECT_FALSE(rb->Dragging());
    EXPECT_EQ(rb->DraggedBody(), nullptr);
    Run(2);
    rb->Render();
}

TEST(RigidBodyDrag, ImpulseIsTwoHundredTimesTheOffsetCutAtOneThousand) {
    std::mt19937 random(43);
    std::uniform_real_distribution<float> coordinate(-10.0f, 10.0f);
    for (int i = 0; i < 500; ++i) {
        const OvV3d grab = {coordinate(random), coordinate(random), coordinate(random)};
        const OvV3d target = {coordinate(random), coordinate(random), coordinate(random)};
        const OvV3d d = {target.x - grab.x, target.y - grab.y, target.z - grab.z};
        const float distance = std::sqrt(d.x * d.x + d.y * d.y + d.z * d.z);
        const OvV3d impulse = CRigidBodyManager::DragImpulse(grab, target);
        const float length = std::sqrt(impulse.x * impulse.x + impulse.y * impulse.y + impulse.z * impulse.z);
        EXPECT_NEAR(length, std::min(200.0f * distance, 1000.0f), 1e-2f);
        EXPECT_LE(length, 1000.0f + 1e-3f);
        // Along the offset.
        EXPECT_NEAR(impulse.x * d.x + impulse.y * d.y + impulse.z * d.z, length * distance, 1e-2f * distance * 1000);
    }
}

} // namespace
