// The level runtime: loading worlds with their clumps and texture dictionary, the physics step
// that lets a box come to rest on the generated floor, the tables and their limits, clump
// objects' placement, the lights, and the worlds drawn through their world cameras.

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <utility>
#include <vector>

#include "framework/camera_manager.h"
#include "framework/clump_object.h"
#include "framework/framework.h"
#include "framework/input_manager.h"
#include "framework/lights_font.h"
#include "framework/physics_glue.h"
#include "framework/tests/level_fixture.h"
#include "framework/tests/test_app.h"
#include "framework/world_manager.h"
#include "graphics/core/engine.h"
#include "graphics/core/frame.h"
#include "graphics/core/image.h"
#include "graphics/core/memory.h"
#include "graphics/core/resources.h"
#include "graphics/core/stream.h"
#include "graphics/core/texture_stream.h"
#include "graphics/core/testkit/memory_raster_driver.h"
#include "graphics/world/clump.h"
#include "graphics/world/light.h"
#include "graphics/world/world.h"
#include "graphics/world/world_membership.h"
#include "physics/core/context/manager.h"
#include "physics/core/context/objtypes.h"
#include "graphics/toolkits/bmp_reader.h"
#include "graphics/toolkits/charset.h"
#include "physics/graphics/body_atomic.h"
#include "tools/mkasset/bmp_writer.h"

namespace {

using WorldManagerTest = LevelTest;

mkasset::LevelOptions SmallLevel() {
    mkasset::LevelOptions options;
    options.seed = 7;
    options.size = 12;
    options.boxes = 3;
    return options;
}

// A dropped unit box bound to its clump; removed and destroyed with the test's clean-up.
struct DroppedBox {
    CClumpObject object;
    OvpBodyDef* def = nullptr;
    OvpObj* body = nullptr;
    ~DroppedBox() {
        if (body != nullptr) {
            OvpAtomicSetBodyObj(object.GetFirstAtomic(), nullptr);
            OvpBodyObjDestroy(body);
        }
        if (def != nullptr) {
            OvpBodyDefRelease(def);
        }
    }
};

TEST_F(WorldManagerTest, LoadsTheWorldAndTheClumpsAfterIt) {
    CWorldManager* wm = LoadLevel(SmallLevel(), {BoxClumpAt(3, 0.5f, 3), BoxClumpAt(-3, 0.5f, -3)});
    ASSERT_EQ(wm->WorldCount(), 1);
    EXPECT_EQ(wm->WorldFlags(0), 0);
    ASSERT_NE(wm->GetPhysicsContext(), nullptr);
    ASSERT_EQ(wm->ObjectCount(), 2);
    for (int i = 0; i < 2; ++i) {
        CClumpObject* o = wm->GetObject(i);
        EXPECT_TRUE(o->IsPickable());
        EXPECT_TRUE(o->IsInWorld());
        EXPECT_EQ(OvClumpGetWorld(o->GetClump()), wm->GetWorld(0));
    }
    EXPECT_EQ(Messages(), "");
    EXPECT_EQ(wm->StatisticsText(), "1 worlds with 0 clumps (0 active clumps, 0 geometries)");

    // A second world goes into the next slot; the physics context stays the first world's.
    OvpContext* context = wm->GetPhysicsContext();
    wm->LoadWorld("level.bsp", 1);
    EXPECT_EQ(wm->WorldCount(), 2);
    EXPECT_EQ(wm->GetPhysicsContext(), context);
    EXPECT_EQ(wm->ObjectCount(), 4);
}

TEST_F(WorldManagerTest, FilesWithoutAWorldOrBrokenOnes) {
    CWorldManager* wm = MakeManager();
    // A file of one clump and no world, or a world cut before its world chunk, is passed over
    // (said); a missing file and a world cut short give the message with its cause; none counts.
    WriteBytes("clump.dff", mkasset::ClumpFile(BoxClumpAt(0, 0, 0)));
    testing::internal::CaptureStderr();
    wm->LoadWorld("clump.dff", 2);
    wm->LoadWorld("missing.bsp", 2);
    const mkasset::Bytes whole = mkasset::WorldFile(mkasset::LevelWorld(SmallLevel()));
    int k = 0;
    for (std::size_t keep : {whole.size() / 2, std::size_t{40}, whole.size() - 1, std::size_t{11}}) {
        const std::string name = "cut" + std::to_string(k++) + ".bsp";
        WriteBytes(name, mkasset::Bytes(whole.begin(), whole.begin() + static_cast<long>(keep)));
        wm->LoadWorld(name.c_str(), 2);
    }
    // A file that failed is said once.
    wm->LoadWorld("cut0.bsp", 2);
    const std::string noWorld = "' holds no world (it is not a level, or it is cut short); it is left out\n";
    EXPECT_EQ(WarningsOf(testing::internal::GetCapturedStderr()),
              "Warning: the world file 'clump.dff" + noWorld + "Warning: the world file 'cut3.bsp" + noWorld);
    EXPECT_EQ(wm->WorldCount(), 0);
    EXPECT_EQ(wm->GetPhysicsContext(), nullptr);
    const std::string load = " please check your data\n";
    std::string cuts;
    for (const char* name : {"cut0.bsp", "cut1.bsp", "cut2.bsp"}) {
        cuts += std::string("Can not load world in file ") + name + "\n" + load +
                "Its world does not read: the file is damaged or cut short.\n";
    }
    EXPECT_EQ(Messages(),
              "Can not load world in file missing.bsp\n" + load + "The file 'missing.bsp' is not there.\n" + cuts);
    EXPECT_TRUE(g_stopOnError);

    // A clump after the world that does not read ends the clumps; the world stays.
    mkasset::Bytes level = whole;
    const mkasset::Bytes clump = mkasset::ClumpFile(BoxClumpAt(1, 1, 1));
    level.insert(level.end(), clump.begin(), clump.end());
    level.insert(level.end(), clump.begin(), clump.begin() + static_cast<long>(clump.size() / 2));
    WriteBytes("tail.bsp", level);
    wm->LoadWorld("tail.bsp", 2);
    EXPECT_EQ(wm->WorldCount(), 1);
    EXPECT_EQ(wm->ObjectCount(), 1);

    // A level's box may reach a million either way; beyond it the file is damaged.
    std::filesystem::remove(logPath);
    mkasset::WorldDesc wide = mkasset::LevelWorld(SmallLevel());
    for (int k = 0; k < 3; ++k) {
        wide.max[k] = 1.0e6f;
        wide.min[k] = -1.0e6f;
    }
    WriteBytes("wide.bsp", mkasset::WorldFile(wide));
    wm->LoadWorld("wide.bsp", 2);
    EXPECT_EQ(wm->WorldCount(), 2);
    EXPECT_EQ(Messages(), "");
    wide.min[1] = -1.0e6f - 1.0f;
    WriteBytes("wide.bsp", mkasset::WorldFile(wide));
    wm->LoadWorld("wide.bsp", 2);
    EXPECT_EQ(wm->WorldCount(), 2);
    EXPECT_EQ(Messages(), "Can not load world in file wide.bsp\n" + load +
                              "Its world's bounds are not finite or beyond a million: the file is damaged.\n");

    // Without a world nothing can be added.
    CWorldManager empty;
    CClumpObject object;
    EXPECT_EQ(empty.AddObject(&object), 0);
}

// Sizes made at once from config.xml, at their edges, and the physics box. The physics tables of the largest counts
// taken (4,096 bodies and joints: more than the broad phase's 1,023 objects, and every joint of
// the level is a lift's or a door's) make the context; a count beyond is refused with its cause.
// The largest resource arena taken is asked of the machine as the level is read: one it cannot
// give stops the game with its size.
TEST_F(WorldManagerTest, SizesFromTheConfigurationAtTheirEdges) {
    CWorldManager* wm = MakeManager();
    auto start = [&](const char* element, std::vector<const char*> pairs) {
        pairs.push_back(nullptr);
        return wm->StartElement(element, pairs.data());
    };
    EXPECT_TRUE(start("PhysicsGlobalSettings", {}));
    EXPECT_TRUE(start("Bodies", {"maxRegistered", "4096", "maxActive", "4096"}));
    EXPECT_TRUE(start("Joints", {"max", "4096"}));
    EXPECT_FALSE(start("Bodies", {"maxRegistered", "4097", "maxActive", "1"}));
    EXPECT_FALSE(start("Joints", {"max", "-1"}));
    // The box's first corner is its largest: an axis given the other way round is swapped.
    EXPECT_TRUE(start("BBox", {"x1", "-200", "y1", "100", "z1", "200", "x2", "200", "y2", "-50", "z2", "-200"}));
    wm->EndElement("PhysicsGlobalSettings");
    EXPECT_EQ(wm->Settings().boxCorner1.x, 200.0f);
    EXPECT_EQ(wm->Settings().boxCorner2.x, -200.0f);
    EXPECT_EQ(wm->Settings().boxCorner1.y, 100.0f);
    EXPECT_EQ(wm->Settings().maxRegistered, 4096);
    EXPECT_EQ(wm->Settings().maxActive, 4096);
    EXPECT_EQ(wm->Settings().maxJoints, 4096);
    WriteLevel("level.bsp", SmallLevel());
    wm->LoadWorld("level.bsp", 0);
    EXPECT_NE(wm->GetPhysicsContext(), nullptr);
    // The level's moving bodies are held to the room before they are made, the box says both.
    EXPECT_TRUE(wm->RoomForMovingBodies(4096) && !wm->RoomForMovingBodies(4097));
    const std::string update = " section.\nPlease update your XML file\n";
    EXPECT_EQ(Messages(), "'MaxRegistered' attribute not found in 'Bodies'" + update +
                              "Its value 4097 is outside 1 to 4096.\n'Max' attribute not found in 'Joints'" + update +
                              "Its value -1 is outside 0 to 4096.\nDynamics not allocated\nThe level asks for 4097 "
                              "moving bodies (0 of 'Physics', 0 'Lift', 0 'Door', 4097 characters) and 'Bodies' makes "
                              "room for 4096 ('maxRegistered' 4096, 'maxActive' 4096): raise them to 4097 at least.\n");
    std::filesystem::remove(logPath);
    delete wm; // the application makes its own

    TestApp app("config.xml");
    const char* none[] = {nullptr};
    const char* largest[] = {"size", "2147483647", nullptr};
    app.DispatchStartElement("GraphicsGlobalSettings", none);
    app.DispatchStartElement("RessourceArena", largest);
    app.DispatchEndElement("GraphicsGlobalSettings");
    EXPECT_EQ(app.ResourceArenaSize(), 2147483647u);
    EXPECT_EQ(Messages(), "");
    OvMemoryFunctions& memory = OvEngineInstancePtr->memoryFuncs;
    const OvMemoryFunctions kept = memory;
    memory.allocate = [](std::size_t size, OvUInt32 hint) {
        return size > (std::size_t{1} << 30) ? nullptr : OvMemoryDefaultAlloc(size, hint);
    };
    app.DispatchStartElement("Worlds", none);
    memory = kept;
    EXPECT_EQ(Messages(), "The resource arena of 2147483647 bytes ('size' of 'RessourceArena') cannot be made: the "
                          "machine has no room for it.\n");
    EXPECT_TRUE(g_stopOnError);
    app.DispatchEndElement("Worlds");
    OvCharsetDestroy(app.Charset());
    EXPECT_TRUE(OvResourcesSetArenaSize(0x800000));
}

TEST_F(WorldManagerTest, DynamicTrianglesHoldBoxesUnlessPassable) {
    WriteBytes("box.dff", mkasset::ClumpFile(BoxClumpAt(0, 0, 0)));
    // A pickable clump without atomics is passed over by the queries.
    mkasset::ClumpDesc bare = BoxClumpAt(0.5f, 0.5f, 0.5f);
    bare.atomics.clear();
    bare.geometries.clear();
    WriteBytes("bare.dff", mkasset::ClumpFile(bare));
    CWorldManager* wm = LoadLevel(SmallLevel());
    CClumpObject empty;
    ASSERT_TRUE(empty.LoadClump("bare.dff"));
    empty.SetPickable(true);
    ASSERT_EQ(wm->AddObject(&empty), 1);

    // A shelf of two triangles a metre up over x, z in [-1, 2], facing up (held with both windings);
    // a passable triangle further up over the same place.
    auto shelf = [](float y, OvV3d a, OvV3d b, OvV3d c) {
        auto* t = new CCollisionTriangle;
        t->vertices[0] = {a.x, y, a.z};
        t->vertices[1] = {b.x, y, b.z};
        t->vertices[2] = {c.x, y, c.z};
        return t;
    };
    ASSERT_EQ(wm->AddCollisionTriangle(shelf(1.0f, {-1, 0, -1}, {-1, 0, 2}, {2, 0, 2})), 1);
    ASSERT_EQ(wm->AddCollisionTriangle(shelf(1.0f, {-1, 0, -1}, {2, 0, 2}, {2, 0, -1})), 1);
    CCollisionTriangle* ghost = shelf(2.0f, {-1, 0, -1}, {-1, 0, 2}, {2, 0, 2});
    ghost->passable = true;
    ASSERT_EQ(wm->AddCollisionTriangle(ghost), 1);
    EXPECT_EQ(wm->CollisionTriangleCount(), 6);

    DroppedBox box;
    ASSERT_TRUE(box.object.LoadClump("box.dff"));
    box.object.SetPosition({0.5f, 3.5f, 0.2f});
    box.def = PhysicsCreateStaticBox(0.5f, 0.5f, 0.5f, 0.0f);
    box.body = OvpBodyObjCreate(box.def);
    OvpAtomicSetBodyObj(box.object.GetFirstAtomic(), box.body);
    ASSERT_NE(OvpMgrAddObject(OvpContextGetMgr(wm->GetPhysicsContext()), box.body, -1,
                              ovpADD_AWAKE | ovpADD_DYNAMIC | ovpADD_ACTIVATE),
              nullptr);
    const OvMatrix* m = OvFrameGetMatrix(box.object.GetFrame());
    float lowest = m->pos.y;
    for (int frame = 0; frame < 200; ++frame) {
        wm->Update(1.0f / 60.0f);
        lowest = std::min(lowest, m->pos.y);
    }
    // The physics wrote the frame: through the passable triangle, to rest on the shelf, not into it.
    EXPECT_NEAR(m->pos.y, 1.5f, 0.01f);
    EXPECT_GT(lowest, 1.43f);
    EXPECT_NEAR(m->pos.x, 0.5f, 0.01f);
    EXPECT_NEAR(m->pos.z, 0.2f, 0.01f);

    float distance = 0.0f;
    OvV3d normal;
    CClumpObject* hit = nullptr;
    EXPECT_EQ(wm->LineIntersect({0.5f, 0.9f, 0.5f}, {0.5f, -1.0f, 0.5f}, false, &distance, &normal, &hit), 1);
    EXPECT_EQ(hit, nullptr);
    SphereQueryResult result;
    EXPECT_EQ(wm->SphereQuery(0.5f, 0.3f, 0.5f, 0.5f, &result), 1);
    EXPECT_EQ(wm->ClumpsTested(), 1);
    EXPECT_EQ(wm->ClumpsInRange(), 0);
    // Moved by hand, the body leaves the shelf and falls again.
    EXPECT_TRUE(PhysicsSetBodyPosition(box.body, 0.0f, 4.0f, 0.0f));
    wm->Update(0.0f); // a step of at least 0.01 s
    EXPECT_LT(m->pos.y, 4.0f);
    EXPECT_GT(m->pos.y, 3.9f);
    EXPECT_FALSE(PhysicsSetBodyTransform(box.body, 0.0f, 0.0f, 0.0f, 1.0f)); // no axis: refused
    EXPECT_TRUE(PhysicsSetBodyVelocity(box.body, 0.0f, 5.0f, 0.0f));
    wm->Update(0.01f);
    EXPECT_GT(m->pos.y, 3.9f);
}

TEST_F(WorldManagerTest, ObjectSlotsAreReusedAndTheArrayGrowsBySixtyFour) {
    CWorldManager* wm = LoadLevel(SmallLevel());
    std::vector<CClumpObject> objects(kClumpObjectGrowth + 1);
    for (int i = 0; i < kClumpObjectGrowth; ++i) {
        ASSERT_EQ(wm->AddObject(&objects[static_cast<std::size_t>(i)]), 1);
    }
    EXPECT_EQ(wm->ObjectCapacity(), kClumpObjectGrowth);
    EXPECT_EQ(wm->AddObject(&objects.back()), 1);
    EXPECT_EQ(wm->ObjectCapacity(), 2 * kClumpObjectGrowth);
    EXPECT_EQ(wm->ObjectCount(), kClumpObjectGrowth + 1);
    EXPECT_EQ(wm->RemoveObject(&objects[5]), 1);
    EXPECT_EQ(wm->RemoveObject(nullptr), 0);
    CClumpObject late;
    EXPECT_EQ(wm->AddObject(&late), 1);
    EXPECT_EQ(wm->GetObject(5), &late);
    EXPECT_EQ(wm->ObjectCount(), kClumpObjectGrowth + 1);
    EXPECT_EQ(wm->UpdateObjectInWorld(&objects[5]), 0); // no longer held
}

TEST_F(WorldManagerTest, VisibilityMovesTheClumpInAndOutOfTheWorld) {
    WriteBytes("box.dff", mkasset::ClumpFile(BoxClumpAt(0, 0, 0)));
    CClumpObject loose;
    ASSERT_TRUE(loose.LoadClump("box.dff"));
    loose.SetVisible(false); // no world manager: only the flag
    EXPECT_FALSE(loose.IsVisible());
    CWorldManager* wm = LoadLevel(SmallLevel());
    ASSERT_EQ(wm->AddObject(&loose), 1);
    EXPECT_FALSE(loose.IsInWorld());
    EXPECT_EQ(OvClumpGetWorld(loose.GetClump()), nullptr);
    loose.SetVisible(true);
    EXPECT_TRUE(loose.IsInWorld());
    EXPECT_EQ(OvClumpGetWorld(loose.GetClump()), wm->GetWorld(0));
    loose.SetVisible(false);
    EXPECT_EQ(OvClumpGetWorld(loose.GetClump()), nullptr);

    CClumpObject none;
    EXPECT_FALSE(none.LoadClump("nothing.dff"));
    EXPECT_EQ(
        Messages(),
        "Can not load clump in file nothing.dff\n please check your data\nThe file 'nothing.dff' is not there.\n");
    EXPECT_EQ(none.GetFirstAtomic(), nullptr);
    EXPECT_EQ(none.GetBoundingSphere(), nullptr);
}

TEST_F(WorldManagerTest, FullTablesGiveTheirMessages) {
    struct Inert : CLevelObject {
        void Update(float) override {}
    };
    CWorldManager* wm = MakeManager();
    struct Kind {
        int (CWorldManager::*add)(CLevelObject*);
        const char* message;
    };
    const Kind kinds[] = {
        {&CWorldManager::AddJumpHelper, "Too much jump helpers.\nPlease increase MAX_JUMP_HELPERS value\n"},
        {&CWorldManager::AddDoor, "Too much doors.\nPlease increase MAX_DOORS value\n"},
        {&CWorldManager::AddBumper, "Too much bumpers.\nPlease increase MAX_BUMPERS value\n"},
        {&CWorldManager::AddLift, "Too much lifts.\nPlease increase MAX_LIFTS value\n"},
        {&CWorldManager::AddSwitch, "Too much switches.\nPlease increase MAX_SWITCHES value\n"},
        {&CWorldManager::AddLaserBeam, "Too much laser beams.\nPlease increase MAX_LASER_BEAMS value\n"},
        {&CWorldManager::AddTeleporter, "Too much teleporters.\nPlease increase MAX_TELEPORTERS value\n"},
    };
    std::string expected;
    for (const Kind& kind : kinds) {
        for (int i = 0; i < kMaxLevelObjects; ++i) {
            ASSERT_EQ((wm->*kind.add)(new Inert), 1);
        }
        Inert refused;
        EXPECT_EQ((wm->*kind.add)(&refused), 0);
        expected += kind.message;
    }
    EXPECT_EQ(Messages(), expected);

    // Triangles count twice (the reversed copy); 128 fill the table.
    for (int i = 0; i < kMaxCollisionTriangles / 2; ++i) {
        auto* t = new CCollisionTriangle;
        t->vertices[0] = {0, 0, 0};
        t->vertices[1] = {0, 0, 1};
        t->vertices[2] = {1, 0, 0};
        ASSERT_EQ(wm->AddCollisionTriangle(t), 1);
    }
    EXPECT_EQ(wm->CollisionTriangleCount(), kMaxCollisionTriangles);
    const CCollisionTriangle* first = wm->GetCollisionTriangle(0);
    const CCollisionTriangle* second = wm->GetCollisionTriangle(1);
    EXPECT_EQ(second->vertices[0].x, first->vertices[2].x);
    EXPECT_EQ(second->vertices[2].z, first->vertices[0].z);
    CCollisionTriangle extra;
    EXPECT_EQ(wm->AddCollisionTriangle(&extra), 0);
    expected += "Too much dynamic collision triangles.\nPlease increase MAX_COLLISION_TRIANGLES value\n";

    for (int i = 0; i < kMaxCollisionPlanes / 2; ++i) {
        auto* p = new CCollisionPlane;
        p->twoSided = true;
        ASSERT_EQ(wm->AddCollisionPlane(p), 1);
        EXPECT_EQ(p->normal.y, -1.0f); // the first of the pair faces the other way
    }
    EXPECT_EQ(wm->CollisionPlaneCount(), kMaxCollisionPlanes);
    CCollisionPlane plane;
    EXPECT_EQ(wm->AddCollisionPlane(&plane), 0);
    expected += "Too much dynamic collision planes.\nPlease increase MAX_COLLISION_PLANES value\n";
    EXPECT_EQ(Messages(), expected);
}

TEST_F(WorldManagerTest, ScaleCompoundsWhileTheYRotationRebuilds) {
    WriteBytes("box.dff", mkasset::ClumpFile(BoxClumpAt(1, 2, 3)));
    CClumpObject o;
    ASSERT_TRUE(o.LoadClump("box.dff"));
    const OvMatrix* m = OvFrameGetMatrix(o.GetFrame());
    o.SetScale(2.0f);
    o.SetScale(2.0f);
    EXPECT_FLOAT_EQ(m->right.x, 0.004f * 0.004f);
    EXPECT_FLOAT_EQ(m->up.y, 0.004f * 0.004f);
    EXPECT_FLOAT_EQ(m->at.z, 0.004f * 0.004f);
    EXPECT_FLOAT_EQ(m->pos.y, 2.0f); // the position stays
    o.SetYRotation(90.0f);
    EXPECT_NEAR(m->right.z, -0.004f, 1e-6f);
    EXPECT_NEAR(m->at.x, 0.004f, 1e-6f);
    EXPECT_NEAR(m->up.y, 0.004f, 1e-6f);
    EXPECT_FLOAT_EQ(m->pos.x, 1.0f);
    EXPECT_FLOAT_EQ(m->pos.z, 3.0f);
    o.SetPosition({5, 6, 7});
    EXPECT_FLOAT_EQ(m->pos.x, 5.0f);

    o.SetName(nullptr);
    EXPECT_STREQ(o.GetName(), "Noname");
    o.SetName("a name much longer than thirty-one characters in all");
    EXPECT_STREQ(o.GetName(), "a name much longer than thirty-");
}

TEST_F(WorldManagerTest, DefaultLightsAndConfiguredOnes) {
    CLight ambient(kDefaultAmbientLight);
    ASSERT_NE(ambient.GetLight(), nullptr);
    EXPECT_EQ(ambient.GetType(), 0);
    EXPECT_EQ(OvLightGetType(ambient.GetLight()), ovLIGHTAMBIENT);
    EXPECT_EQ(ambient.GetFrame(), nullptr);
    EXPECT_FLOAT_EQ(ambient.GetColor()[0], 0.45f);
    EXPECT_FLOAT_EQ(ambient.GetColor()[3], 0.0f);
    EXPECT_FLOAT_EQ(ambient.GetLight()->color.red, 0.45f);
    EXPECT_FLOAT_EQ(ambient.GetLight()->color.alpha, 1.0f);

    CLight sun(kDefaultDirectionalLight);
    ASSERT_NE(sun.GetFrame(), nullptr);
    EXPECT_EQ(OvLightGetType(sun.GetLight()), ovLIGHTDIRECTIONAL);
    EXPECT_FLOAT_EQ(sun.GetColor()[1], 0.5f);
    EXPECT_FLOAT_EQ(sun.GetLight()->color.alpha, 1.0f);
    const OvMatrix* m = OvFrameGetMatrix(sun.GetFrame());
    EXPECT_FLOAT_EQ(m->pos.x, -174.0173f);
    EXPECT_FLOAT_EQ(m->pos.z, 247.2818f);
    // The frame looks at the target.
    const OvV3d d = {66.6262f + 174.0173f, -11.3181f - 21.1665f, -8.2992f - 247.2818f};
    const float length = std::sqrt(d.x * d.x + d.y * d.y + d.z * d.z);
    EXPECT_NEAR(m->at.x, d.x / length, 1e-5f);
    EXPECT_NEAR(m->at.y, d.y / length, 1e-5f);
    EXPECT_NEAR(m->right.y, 0.0f, 1e-6f);

    // A "Light" section: an unknown type makes nothing (said) and later colours are ignored; an
    // ambient one ignores the position and a colour below 0; a directional one places its frame at
    // the target's end.
    const char* odd[] = {"type", "Spot", nullptr};
    const char* colour[] = {"r", "0.2", "g", "0.3", "b", "0.4", nullptr};
    const char* shortColour[] = {"r", "0.2", "g", "0.3", nullptr};
    const char* at[] = {"x", "1", "y", "2", "z", "3", nullptr};
    const char* to[] = {"x", "1", "y", "2", "z", "4", nullptr};
    const char* below[] = {"r", "0.2", "g", "-0.01", "b", "0.4", nullptr};
    CLight none;
    testing::internal::CaptureStderr();
    EXPECT_FALSE(none.StartElement("Light", odd));
    EXPECT_FALSE(g_stopOnError);
    EXPECT_TRUE(none.StartElement("Color", colour));
    EXPECT_EQ(none.GetLight(), nullptr);
    EXPECT_FLOAT_EQ(none.GetColor()[0], 0.0f);
    const char* noType[] = {"kind", "Ambient", nullptr};
    EXPECT_FALSE(CLight().StartElement("Light", noType));
    EXPECT_EQ(Messages(), "'type' attribute not found in 'Light' section.\nPlease update your XML file\n");
    g_stopOnError = false;

    const char* ambientType[] = {"type", "ambient", nullptr};
    CLight configured;
    EXPECT_TRUE(configured.StartElement("light", ambientType));
    EXPECT_FALSE(configured.StartElement("Color", shortColour));
    EXPECT_TRUE(configured.StartElement("COLOR", colour));
    SetConfigPlace("Color", 0, below);
    EXPECT_TRUE(configured.StartElement("Color", below));
    SetConfigPlace(nullptr, 0);
    EXPECT_EQ(WarningsOf(testing::internal::GetCapturedStderr()),
              "Warning: configuration: a 'Light' of type 'Spot', neither 'Ambient' nor 'Directional', makes no light; "
              "its section is left out\n"
              "Warning: configuration: a light's 'Color' without its r, g and b in that order is left out; the light "
              "keeps its own\n"
              "Warning: configuration: 'g' of 'Color' is '-0.01', outside 0 to 1; the game uses 0.3 instead\n");
    EXPECT_TRUE(configured.StartElement("Position", at));
    EXPECT_FLOAT_EQ(configured.GetPosition().x, 0.0f);
    EXPECT_FLOAT_EQ(configured.GetLight()->color.blue, 0.4f);
    EXPECT_FLOAT_EQ(configured.GetLight()->color.alpha, 1.0f);

    const char* directionalType[] = {"type", "Directional", nullptr};
    CLight lamp;
    EXPECT_TRUE(lamp.StartElement("Light", directionalType));
    EXPECT_TRUE(lamp.StartElement("Position", at));
    EXPECT_TRUE(lamp.StartElement("Target", to));
    EXPECT_NEAR(OvFrameGetMatrix(lamp.GetFrame())->at.z, 1.0f, 1e-6f);
    EXPECT_FLOAT_EQ(OvFrameGetMatrix(lamp.GetFrame())->pos.y, 2.0f);
    EXPECT_FALSE(lamp.StartElement("Target", shortColour));

    // Lights go into the worlds only once one is loaded; the manager then owns them.
    CWorldManager* wm = MakeManager();
    EXPECT_EQ(wm->AddLight(&lamp), 0);
    WriteLevel("level.bsp", SmallLevel());
    wm->LoadWorld("level.bsp", 0);
    auto* owned = new CLight(kDefaultDirectionalLight);
    EXPECT_EQ(wm->AddLight(owned), 1);
    EXPECT_EQ(OvLightGetWorld(owned->GetLight()), wm->GetWorld(0));
    EXPECT_EQ(wm->LightCount(), 1);
}

// What the worlds' sector walks met: each sector's own world and the world being drawn; and where
// the level objects were drawn.
std::vector<std::pair<OvWorld*, OvWorld*>> gSectorsDrawn;
OvWorldSector* RecordSector(OvWorldSector* sector) {
    gSectorsDrawn.emplace_back(OvWorldSectorGetWorld(sector), static_cast<OvWorld*>(OvEngineInstancePtr->curWorld));
    return sector;
}
std::vector<OvWorld*> gObjectsDrawn;
struct DrawnObject : CLevelObject {
    void Update(float) override {}
    void Render() override { gObjectsDrawn.push_back(static_cast<OvWorld*>(OvEngineInstancePtr->curWorld)); }
};

struct WorldCameraTest : LevelTest {
    const OvDriver* Driver() const override { return OvTestMemoryRasterDriver(); }
};

// Each world is drawn through a camera of its own in it, kept on the camera manager's view; the
// level objects go over the worlds once; a second manager is refused; taking the cameras out
// leaves the worlds without them.
TEST_F(WorldCameraTest, EachWorldIsDrawnThroughItsOwnCameraAndTheLevelObjectsOnce) {
    WriteLevel("a.bsp", SmallLevel());
    mkasset::LevelOptions small = SmallLevel();
    small.seed = 9;
    small.size = 6;
    WriteLevel("b.bsp", small);
    CWorldManager* wm = MakeManager();
    wm->LoadWorld("a.bsp", 0);
    wm->LoadWorld("b.bsp", 2);
    CCameraManager cameras(1.0f);
    cameras.CreateCamera(640, 480, true); // without its crosshair image
    cameras.LookAt({0.0f, 6.0f, -12.0f}, {0.0f, 0.0f, 0.0f});
    ASSERT_EQ(wm->AddCameras(&cameras), 1);
    CCameraManager second(1.0f);
    EXPECT_EQ(wm->AddCameras(&second), 0);
    wm->LoadWorld("a.bsp", 1); // a world loaded later gets its camera too
    ASSERT_EQ(wm->WorldCount(), 3);
    EXPECT_EQ(OvCameraGetWorld(cameras.Camera()), nullptr);
    for (int w = 0; w < 3; ++w) {
        ASSERT_NE(wm->GetWorldCamera(w), nullptr) << w;
        EXPECT_EQ(OvCameraGetWorld(wm->GetWorldCamera(w)->Camera()), wm->GetWorld(w)) << w;
        OvWorldSetSectorRenderCallback(wm->GetWorld(w), RecordSector);
    }
    ASSERT_EQ(wm->AddLaserBeam(new DrawnObject), 1);
    gSectorsDrawn.clear();
    gObjectsDrawn.clear();
    cameras.BeginUpdate();
    wm->Render();
    cameras.ResumeUpdate();
    cameras.EndUpdate();
    // Every world's sectors, each drawn while its own world was the one being drawn.
    int perWorld[3] = {};
    for (const auto& [own, drawing] : gSectorsDrawn) {
        EXPECT_EQ(own, drawing);
        for (int w = 0; w < 3; ++w) {
            perWorld[w] += own == wm->GetWorld(w) ? 1 : 0;
        }
    }
    for (int w = 0; w < 3; ++w) {
        EXPECT_GT(perWorld[w], 0) << w;
    }
    EXPECT_EQ(perWorld[0], perWorld[2]); // the same file seen alike
    EXPECT_EQ(perWorld[1] % 2, 0);       // flags 2: drawn, then again after its wire lines
    ASSERT_EQ(gObjectsDrawn.size(), 1u);
    EXPECT_EQ(gObjectsDrawn[0], wm->GetWorld(1)); // the last world drawn whole

    // The view follows the camera manager's.
    cameras.LookAt({3.0f, 4.0f, 5.0f}, {0.0f, 0.0f, 0.0f});
    wm->Render();
    EXPECT_EQ(wm->GetWorldCamera(2)->Position().x, 3.0f);

    wm->RemoveCameras(&second); // not the attached one: nothing happens
    EXPECT_EQ(wm->AttachedCameras(), &cameras);
    wm->RemoveCameras(&cameras);
    EXPECT_EQ(wm->AttachedCameras(), nullptr);
    for (int w = 0; w < 3; ++w) {
        EXPECT_EQ(wm->GetWorldCamera(w), nullptr);
    }
    // Attached again, the cameras go with the worlds when they are unloaded.
    EXPECT_EQ(wm->AddCameras(&cameras), 1);
    wm->Unload();
    EXPECT_EQ(wm->AttachedCameras(), nullptr);
}

// Two worlds of a level whose file carries its own texture dictionary, drawn through the camera
// manager's world cameras and lit by a light the manager holds (copied into the second world), the
// camera's crosshair read while the level's dictionary is the current one, and the font's toolkit
// open on the camera. Whatever goes, in every order, whoever still held it lets it go: a frame of
// what is left runs, and the rest is taken down.
TEST_F(WorldCameraTest, WhatGoesInAnyOrderIsLetGoByItsHolders) {
    OvImageRegisterFileFormat("bmp", OvBmpImageRead, nullptr);
    std::filesystem::create_directories("MODELS/TEXTURES");
    const std::vector<unsigned char> grey(4 * 4 * 3, 128);
    WriteBytes("MODELS/TEXTURES/WALL.BMP", mkasset::BmpFile(4, 4, grey));
    WriteBytes("MODELS/TEXTURES/" + std::string(CCameraManager::kCrosshairName), mkasset::BmpFile(4, 4, grey));
    {
        OvTexDictionary* own = OvTexDictionaryCreate();
        OvTexDictionarySetCurrent(own);
        ASSERT_NE(ReadFrameworkTexture("WALL.BMP"), nullptr);
        OvStream* out = OvStreamOpen(ovSTREAMFILENAME, ovSTREAMWRITE, "level.bsp");
        ASSERT_EQ(OvTexDictionaryStreamWriteImages(own, out), own);
        OvStreamClose(out, nullptr);
        OvTexDictionarySetCurrent(nullptr);
        OvTexDictionaryDestroy(own);
        std::ifstream in("level.bsp", std::ios::binary);
        mkasset::Bytes file((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        const mkasset::Bytes level = mkasset::WorldFile(mkasset::LevelWorld(SmallLevel()));
        file.insert(file.end(), level.begin(), level.end());
        WriteBytes("level.bsp", file);
    }
    enum Part { kWorlds, kCameras, kCamera, kLight, kFont, kParts };
    int order[kParts] = {kWorlds, kCameras, kCamera, kLight, kFont};
    do {
        CWorldManager* wm = MakeManager();
        wm->LoadWorld("level.bsp", 0);
        wm->LoadWorld("level.bsp", 0);
        ASSERT_EQ(wm->WorldCount(), 2);
        g_cameraManager = new CCameraManager(1.0f);
        ASSERT_TRUE(g_cameraManager->CreateCamera(640, 480, true));
        ASSERT_EQ(wm->AddCameras(g_cameraManager), 1);
        g_font = new CFont;
        g_font->Load(g_cameraManager->Camera()); // no font to read: the toolkit stays open on the camera
        auto* light = new CLight(kDefaultDirectionalLight);
        ASSERT_EQ(wm->AddLight(light), 1);
        for (int part : order) {
            switch (part) {
            case kWorlds:
                delete g_worldManager;
                light = nullptr; // it went with the worlds that held it
                break;
            case kCameras:
                delete g_cameraManager;
                break;
            case kCamera:
                if (g_cameraManager != nullptr) {
                    g_cameraManager->DestroyCamera();
                }
                break;
            case kLight:
                delete light;
                light = nullptr;
                break;
            default:
                delete g_font;
                EXPECT_EQ(g_font, nullptr);
                break;
            }
            if (g_worldManager != nullptr) {
                g_worldManager->Update(0.02f);
            }
            // The worlds are drawn also without a camera manager (through no camera then).
            if (g_cameraManager != nullptr) {
                g_cameraManager->BeginUpdate();
            }
            if (g_worldManager != nullptr) {
                g_worldManager->Render();
            }
            if (g_cameraManager != nullptr) {
                g_cameraManager->ResumeUpdate();
                if (g_font != nullptr) {
                    g_font->Print("text", {0.1f, 0.1f}, 0.04f);
                }
                g_cameraManager->EndUpdate();
            }
            // A world camera draws into the main camera's rasters, and into none once they are gone.
            const OvCamera* main = g_cameraManager != nullptr ? g_cameraManager->Camera() : nullptr;
            for (int w = 0; g_worldManager != nullptr && w < g_worldManager->WorldCount(); ++w) {
                if (const CCameraManager* world = g_worldManager->GetWorldCamera(w)) {
                    EXPECT_EQ(world->Camera()->frameBuffer, main != nullptr ? main->frameBuffer : nullptr);
                }
            }
        }
        EXPECT_EQ(g_worldManager, nullptr);
        EXPECT_EQ(g_cameraManager, nullptr);
    } while (std::next_permutation(order, order + kParts));
    CInputManager::Destroy();
}

TEST(PairFilter, DropsPairsOfTwoCharacterBodiesAsTheRepeatedPassDoes) {
    // The literal filter: passes that remove pairs by shifting the rest down, until a pass removes
    // nothing.
    auto literal = [](std::vector<OvpRefPair> pairs, CharacterBodyTest isCharacter) {
        for (bool dropped = true; dropped;) {
            dropped = false;
            for (std::size_t i = 0; i < pairs.size(); ++i) {
                const OvpRef& a = pairs[i].ref[0];
                const OvpRef& b = pairs[i].ref[1];
                if (a.part != ovpREFNONE && b.part != ovpREFNONE && isCharacter(a.object) && isCharacter(b.object)) {
                    pairs.erase(pairs.begin() + static_cast<long>(i));
                    dropped = true;
                }
            }
        }
        return pairs;
    };
    static OvpObj objects[8] = {};
    const CharacterBodyTest firstHalf = [](const OvpObj* o) { return o != nullptr && o < objects + 4; };
    std::uint32_t state = 12345;
    auto next = [&] { return (state = state * 1103515245u + 12345u) >> 16; };
    for (int round = 0; round < 300; ++round) {
        std::vector<OvpRefPair> pairs(next() % 40);
        for (OvpRefPair& p : pairs) {
            for (OvpRef& r : p.ref) {
                r.object = next() % 9 == 0 ? nullptr : &objects[next() % 8];
                const std::uint32_t kind = next() % 4;
                r.part = kind == 0 ? ovpREFNONE : kind == 1 ? ovpREFWHOLE : static_cast<OvUInt16>(kind);
                if (r.object == nullptr) {
                    r.part = ovpREFNONE;
                }
            }
        }
        const std::vector<OvpRefPair> expected = literal(pairs, firstHalf);
        std::vector<OvpRefPair> got = pairs;
        got.resize(FilterCharacterPairs(got.data(), static_cast<std::uint32_t>(got.size()), firstHalf));
        ASSERT_EQ(got.size(), expected.size()) << "round " << round;
        for (std::size_t i = 0; i < got.size(); ++i) {
            EXPECT_EQ(got[i].ref[0].object, expected[i].ref[0].object);
            EXPECT_EQ(got[i].ref[1].part, expected[i].ref[1].part);
        }
    }
    // Without a character test nothing is dropped.
    OvpRefPair pair = {};
    EXPECT_EQ(FilterCharacterPairs(&pair, 1, nullptr), 1u);
}

} // namespace
