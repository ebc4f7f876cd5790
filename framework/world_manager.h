#pragma once
// The level at run time: the graphics worlds loaded from world files with their clumps, every
// drawable clump object, the level objects and the dynamic collision triangles, the lights, and
// the physics context whose fixed volumes are the level's triangles. Once a frame it updates the
// level objects and steps the physics; it answers the line, cylinder and sphere queries of the
// characters, the game and the AI engine's host services. The configuration's "Worlds" section
// makes the one world manager.

#include <cstdint>
#include <string>
#include <vector>

#include "framework/camera_manager.h"
#include "framework/config_reader.h"
#include "framework/level_objects.h"
#include "graphics/core/types.h"
#include "graphics/core/vector.h"
#include "physics/core/collision/trilist.h"
#include "physics/core/context/context.h"
#include "physics/core/context/manager.h"

class CClumpObject;
class CFont;
class CLight;
struct OvAtomic;
struct OvCamera;
struct OvLight;
struct OvTexDictionary;
struct OvTexture;
struct OvWorld;

// What the sphere query found: the nearest accepted triangle.
struct SphereQueryResult {
    float distance = 0.0f;   // from the centre to the nearest point of the triangle
    bool found = false;      // a triangle was accepted
    float bestFacing = 1.0f; // mode 3: the lowest direction . normal so far
    int contactCount = 0;    // mode 3: 1 once a wall was accepted
    OvV3d normal = {};       // the triangle's normal
    OvV3d point = {};        // the triangle's point nearest the centre
    OvV3d vertices[3] = {};  // the triangle
    OvV3d contact[3] = {};   // mode 3: the accepted wall's vertices
};

// Sphere query modes.
enum SphereQueryMode : int {
    kSphereAny = 0,   // every triangle
    kSphereFloor = 1, // normals with y above 0.01
    kSphereSteep = 2, // normals with y within (-0.9, 0.9)
    kSphereWall = 3,  // walls (y within (-0.8, 0.8)) facing against the query direction, the most facing kept
};

// Physics settings of the "PhysicsGlobalSettings" section.
struct PhysicsSettings {
    OvV3d gravity = {0.0f, -10.0f, 0.0f};
    OvV3d boxCorner1 = {1000.0f, 1000.0f, 1000.0f}; // maximum corner
    OvV3d boxCorner2 = {-1000.0f, -1000.0f, -1000.0f};
    float solidSlide = 10.0f;
    int maxRegistered = 200;
    int maxActive = 100;
    int maxJoints = 20;
    float stickInAir = 5.0f;
    float stickOnGround = 0.1f;
    float mobileSlide = 1.0f;
    float mobileBounce = 0.0f;
};

// Whether a physics object is a character's body (the pair filter drops pairs of two of them).
using CharacterBodyTest = bool (*)(const OvpObj* object);

// Fixed table sizes.
inline constexpr int kMaxWorlds = 16;
inline constexpr int kMaxLevelObjects = 16; // of each kind
inline constexpr int kMaxCollisionPlanes = 32;
inline constexpr int kMaxCollisionTriangles = 256;
inline constexpr int kClumpObjectGrowth = 64;
inline constexpr int kLightRecordGrowth = 64;
// Where the line query starts its nearest distance.
inline constexpr float kLineFar = 100000.0f;

// The pair filter: drops every pair whose two references both name an object (part index not
// the world's) that is a character body, keeping the order of the others. Returns the new count.
std::uint32_t FilterCharacterPairs(OvpRefPair* pairs, std::uint32_t count, CharacterBodyTest isCharacter);

class CWorldManager : public CConfigSectionHandler {
public:
    explicit CWorldManager(float scale = 1.0f);
    ~CWorldManager() override;

    // The "Worlds" section: physics settings, "World" files, collision planes and triangles.
    bool StartElement(const char* name, const char** attributes) override;
    bool EndElement(const char* name) override;

    // Loads a world file: its texture dictionary, its world, and the clumps that follow it as
    // pickable clump objects; the first world also makes the physics context. Each world's
    // triangles become a fixed volume of the context.
    void LoadWorld(const char* fileName, int flags);

    // 1 when the object was taken in, 0 when no world is loaded.
    int AddObject(CClumpObject* object);
    // 1, or 0 for null. The object is not deleted.
    int RemoveObject(CClumpObject* object);
    // Puts a visible object's clump into the first world, takes an invisible one's out. 0 when the
    // object is not held.
    int UpdateObjectInWorld(CClumpObject* object);

    // Level objects by kind: 1, or 0 with the kind's "Too much ..." error box when 16 are held.
    int AddJumpHelper(CLevelObject* object);
    int AddDoor(CLevelObject* object);
    int AddBumper(CLevelObject* object);
    int AddLift(CLevelObject* object);
    int AddSwitch(CLevelObject* object);
    int AddLaserBeam(CLevelObject* object);
    int AddTeleporter(CLevelObject* object);
    // The velocity of the lift whose clump object is `standingOn`; false when none is.
    bool LiftVelocity(const CClumpObject* standingOn, OvV3d* velocity) const;
    // The triangle and its reversed copy (when there is room for both halves); 0 with the error
    // box when 256 are held. The manager owns what it took.
    int AddCollisionTriangle(CCollisionTriangle* triangle);
    // The plane, and for a two-sided one a copy facing the other way; 0 with the error box when 32
    // are held.
    int AddCollisionPlane(CCollisionPlane* plane);
    // The level objects of a kind held so far.
    int SwitchCount() const { return switches_.count; }
    CSwitch* GetSwitch(int i) const { return dynamic_cast<CSwitch*>(switches_.slots[i]); }
    int DoorCount() const { return doors_.count; }
    CDoor* GetDoor(int i) const { return dynamic_cast<CDoor*>(doors_.slots[i]); }
    int LiftCount() const { return lifts_.count; }
    CLift* GetLift(int i) const { return dynamic_cast<CLift*>(lifts_.slots[i]); }
    // The lift whose platform the object is, or null.
    CLift* FindLift(const CClumpObject* object) const;
    // The last switch of the name (ASCII case ignored), or null.
    CSwitch* FindSwitch(const char* name) const;
    // The switch the point aims at (the last one that does), or null.
    CSwitch* AimedSwitch(const OvV3d& point) const;

    // 1 when the light went into the worlds (the manager owns it then), 0 when no world is loaded.
    int AddLight(CLight* light);
    // Takes the light out of the worlds and gives it back to the caller.
    void RemoveLight(CLight* light);
    // Attaches the camera manager: each world gets a world camera made from it (a world loaded
    // later gets one too), through which Render draws that world. 0 when a camera manager is
    // already attached (or for null).
    int AddCameras(CCameraManager* cameras);
    // Takes the world cameras of the attached camera manager out of their worlds and destroys them.
    void RemoveCameras(CCameraManager* cameras);
    CCameraManager* AttachedCameras() const { return cameraManager_; }
    CCameraManager* GetWorldCamera(int i) const { return worldCameras_[i]; }
    int LightCount() const { return static_cast<int>(lights_.size()); }
    CLight* GetLight(int i) const { return lights_[static_cast<std::size_t>(i)].light; }

    // One frame: level objects, then the physics step (dt held to at least 0.01) and the bodies'
    // frames, then the thrown rocks' ground test.
    void Update(float dt);
    // Draws every world by its flags, each through its world camera kept in step with the attached
    // camera manager (without one, through the camera whose update the caller began); then, once,
    // the laser beams, teleporters and doors and the hints.
    void Render();
    // "%d worlds with %d clumps (%d active clumps, %d geometries)" at (0.025, 0.78), size 0.04.
    void PrintStatistics(CFont* font);
    std::string StatisticsText() const;

    // 1 when the segment from..to meets the level, a dynamic triangle or plane (unless
    // skipDynamic) or a pickable object. With distance, the nearest hit's fraction along the
    // segment (from 100000 when nothing is hit); with normal, its triangle's normal; with hit,
    // the pickable object hit nearest, or null.
    int LineIntersect(const OvV3d& from, const OvV3d& to, bool skipDynamic, float* distance = nullptr,
                      OvV3d* normal = nullptr, CClumpObject** hit = nullptr);
    // 1 when any line of the cylinder's rings and spokes round the axis from..to meets something.
    int CylinderIntersect(const OvV3d& from, const OvV3d& to, float radius, bool skipDynamic);
    // The nearest triangle within the sphere accepted by the query mode; 1 when one was found.
    int SphereQuery(float x, float y, float z, float radius, SphereQueryResult* result);
    void SetSphereQueryMode(int mode) { sphereMode_ = mode; }
    void SetQueryDirection(const OvV3d& direction) { queryDirection_ = direction; }

    // Destroys the level objects, takes the objects out of the world, destroys the physics
    // context (the bodies others still hold leave it first) and every world with its texture
    // dictionary (textures read into it by others leave it first).
    void Unload();

    // State for the game, the tests and the tools.
    int WorldCount() const { return worldCount_; }
    // Where the first "Worlds" section starts ("config.xml line 6"), empty outside a reading.
    const std::string& SectionPlace() const { return sectionPlace_; }
    OvWorld* GetWorld(int i) const { return worlds_[i]; }
    int WorldFlags(int i) const { return worldFlags_[i]; }
    OvpContext* GetPhysicsContext() const { return context_; }
    // Whether the physics has room for the level's moving bodies: the rigid bodies its "Physics"
    // section asked for, its lifts and doors, and `characters` more. Without it the error box
    // "Dynamics not allocated" says how many the level asks for and the room "Bodies" makes, with
    // the line of "Bodies".
    bool RoomForMovingBodies(int characters);
    // "'Bodies' makes room for 13 ('maxRegistered' 13, 'maxActive' 300)": the fewer of the two.
    std::string BodiesRoomText() const;
    // "\nIn config.xml line 8." for the line "Bodies" was read at, empty without one.
    std::string BodiesPlaceText() const;
    const PhysicsSettings& Settings() const { return settings_; }
    PhysicsSettings& Settings() { return settings_; }
    float GetScale() const { return scale_; }
    int ObjectCount() const { return objectCount_; }
    int ObjectCapacity() const { return static_cast<int>(objects_.size()); }
    CClumpObject* GetObject(int i) const { return objects_[static_cast<std::size_t>(i)]; }
    int CollisionTriangleCount() const { return triangleCount_; }
    CCollisionTriangle* GetCollisionTriangle(int i) const { return triangles_[i]; }
    int CollisionPlaneCount() const { return planeCount_; }
    CCollisionPlane* GetCollisionPlane(int i) const { return planes_[i]; }
    // The staged step with the pair filter instead of the pipeline's whole step.
    void SetCustomStep(bool on) { customStep_ = on; }
    void SetCharacterBodyTest(CharacterBodyTest test) { isCharacter_ = test; }
    // The cylinder's spokes round the axis and rings out from it.
    void SetCylinderShape(float spokes, float rings) {
        cylinderSpokes_ = spokes;
        cylinderRings_ = rings;
    }
    // Query counters of the last sphere query's object pass.
    int AtomicsTested() const { return atomicsTested_; }
    int ClumpsTested() const { return clumpsTested_; }
    int ClumpsInRange() const { return clumpsInRange_; }
    // Lines cast by line queries since the start (each cylinder line counts).
    std::uint64_t LinesCast() const { return linesCast_; }
    // Whether "RIGHT CTRL + Mouse to move object" is shown this frame: the pointer on a body that
    // can be dragged (not a lift's), the button up, the game not held by its start screen.
    bool DragHintShown();

    // The dynamic-triangle walker of the physics engine's user triangle list.
    static void GatherDynamicTriangles(const OvpVolume* volume, const OvMatrix* placement, const OvpBBox* box,
                                       void* argument, OvpTriangleBuffer* buffer);

private:
    struct LightRecord {
        CLight* light = nullptr;
        OvLight* perWorld[kMaxWorlds] = {}; // the light as it stands in each world (the first is its own)
    };
    struct LevelTable {
        CLevelObject* slots[kMaxLevelObjects] = {};
        int count = 0;
    };

    int AddLevelObject(LevelTable& table, CLevelObject* object, const char* message);
    bool CreatePhysics();
    void StepPhysics(float dt);
    void UpdateBodyFrames();
    bool ReadSettingsElement(const char* name, const char** attributes);
    void CreateDynamicTriangleVolume();
    // A world camera for world w from the attached camera manager, put into that world.
    void MakeWorldCamera(int w);
    // The level objects drawn over the worlds, the switch hint and the drag hint.
    void RenderLevelObjects();
    // "Click here to ..." for the switch aimed at from the view, unless the button is held.
    void RenderSwitchHint();

    CLevelObject* subHandler_ = nullptr; // the collision plane or triangle being read
    bool useButton_ = false;             // the use button was held at the last update
    bool firstUpdate_ = true;
    float cylinderSpokes_ = 16.0f;
    float cylinderRings_ = 6.0f;
    OvpContext* context_ = nullptr;
    bool customStep_ = false;
    float scale_ = 1.0f;
    OvV3d queryDirection_ = {0.0f, 0.0f, 0.0f};
    int sphereMode_ = kSphereAny;
    CCollisionPlane* planes_[kMaxCollisionPlanes] = {};
    int planeCount_ = 0;
    CCollisionTriangle* triangles_[kMaxCollisionTriangles] = {};
    int triangleCount_ = 0;
    LevelTable jumpHelpers_, switches_, laserBeams_, teleporters_, lifts_, bumpers_, doors_;
    bool insidePhysicsSettings_ = false;
    PhysicsSettings settings_;
    std::string bodiesPlace_; // "config.xml line 8", where "Bodies" was read
    OvWorld* worlds_[kMaxWorlds] = {};
    int worldFlags_[kMaxWorlds] = {};
    int worldCount_ = 0;
    std::string sectionPlace_;
    CCameraManager* worldCameras_[kMaxWorlds] = {}; // one per world while a camera manager is attached
    CCameraManager* cameraManager_ = nullptr;       // the attached camera manager
    std::vector<OvTexDictionary*> dictionaries_;    // read with the worlds
    std::vector<OvTexture*> dictionaryTextures_;    // what those dictionaries read themselves
    std::vector<OvpVolume*> worldVolumes_;          // the worlds' triangle lists
    OvpVolume* dynamicVolume_ = nullptr;            // the dynamic triangles' list
    std::vector<LightRecord> lights_;
    std::vector<CClumpObject*> objects_; // null entries are free
    int objectCount_ = 0;
    std::vector<CClumpObject*> ownedObjects_; // the world files' clumps
    CharacterBodyTest isCharacter_ = nullptr;
    int atomicsTested_ = 0, clumpsTested_ = 0, clumpsInRange_ = 0;
    std::uint64_t linesCast_ = 0;
};

// The one world manager, or null.
extern CWorldManager* g_worldManager;

// Picking's view of the level: the nearest hit of a segment through g_worldManager's line query
// (dynamic triangles and pickable objects included), as a world point.
class CWorldPick : public CCameraPickWorld {
public:
    bool LineHit(const OvV3d& from, const OvV3d& to, OvV3d* point) override;
};
