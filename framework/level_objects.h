#pragma once
// The level's scripted furniture, held by the world manager (16 of each kind): laser beams that
// switch on and off, teleporters that move characters, bumpers that throw them, jump helpers,
// switches that the player uses, lifts that ride between two points (only while their switch is
// on, when they have one), doors that swing on a physics hinge, and the dynamic collision planes
// and triangles that block movement where the level geometry does not. Each reads its
// configuration element's attributes by position; a missing one shows the error box and ends
// the reading, and the object keeps what it had read.

#include <cstdint>

#include "framework/clump_object.h"
#include "framework/config_reader.h"
#include "graphics/core/camera.h"
#include "graphics/core/matrix.h"
#include "graphics/core/types.h"
#include "graphics/core/vector.h"

struct OvAtomic;
struct OvClump;
struct OvFrame;
struct OvTexture;
struct OvpBodyDef;
struct OvpJoint;
struct OvpJointDef;
struct OvpMgr;
struct OvpObj;

// A piece of the level's furniture: updated once a frame, drawn by the world manager's render,
// destroyed at unload.
class CLevelObject : public CConfigSectionHandler {
public:
    virtual void Update(float dt) = 0;
    virtual void Render() {}
    virtual void Destroy() {}
    // For an object that carries characters standing on it (a lift): its velocity when `standingOn`
    // is its clump object.
    virtual bool CarryVelocity(const CClumpObject* /*standingOn*/, OvV3d* /*velocity*/) const { return false; }
};

// How the furniture reaches the game's characters: their clump objects (the frame's position;
// SetPosition moves the character) and their motion (a velocity given to the motion part, which
// also makes the character airborne). By default g_levelCharacters is the framework's character
// table.
class CLevelCharacters {
public:
    virtual ~CLevelCharacters() = default;
    virtual int Count() = 0;
    virtual CClumpObject* Get(int i) = 0;
    virtual void Throw(int i, const OvV3d& velocity) = 0;
};
extern CLevelCharacters* g_levelCharacters;

// What collision triangles and planes share: the atomic the line and sphere queries test, a
// geometry in world coordinates rebuilt by Update whenever the piece's corners changed, and the
// outline drawn at debug levels above 2.
class CCollisionPiece : public CLevelObject {
public:
    ~CCollisionPiece() override;
    // Builds the atomic when the corners changed since it was built.
    void Update(float dt) override;
    // The outline, at debug levels above 2.
    void Render() override;
    void Destroy() override;
    // The next update rebuilds the atomic whatever changed.
    void Invalidate() { built_ = false; }
    // Atomics built so far.
    int Builds() const { return builds_; }

    OvAtomic* atomic = nullptr; // drawn and line-tested form, or null

protected:
    // The piece's corners (3 or 4, wound to face the way it blocks); 0 when it spans nothing.
    virtual int Shape(OvV3d corners[4]) const = 0;

private:
    bool built_ = false;
    OvV3d builtFrom_[4] = {};
    int builtCount_ = 0;
    int builds_ = 0;
};

// A triangle that blocks movement where the level geometry does not: the physics step and the
// sphere query see it unless it is passable; line queries see it through its atomic, a
// one-triangle geometry in world coordinates kept in step with the vertices by Update.
class CCollisionTriangle : public CCollisionPiece {
public:
    // "flags" (value) and "v1", "v2", "v3" (x, y, z) inside a "CollisionTriangle" section.
    bool StartElement(const char* name, const char** attributes) override;
    // The same triangle with the opposite winding.
    virtual CCollisionTriangle* CloneReversed() const;

    OvV3d vertices[3] = {};
    bool passable = false;

protected:
    int Shape(OvV3d corners[4]) const override;
};

// A quad of length (along right) by width (along normal x right), centred on its position and
// facing along its normal, that blocks movement. Planes are two-sided: the world manager holds
// each twice, facing both ways. Line and sphere queries see it through its atomic, kept in step
// with the fields by Update; a normal parallel to right spans nothing and builds no atomic.
class CCollisionPlane : public CCollisionPiece {
public:
    // "Position", "Normal", "Right" (x, y, z) and "Length", "Width" (value) inside a
    // "CollisionPlane" section.
    bool StartElement(const char* name, const char** attributes) override;
    virtual CCollisionPlane* Clone() const;
    // The quad's corners (facing along the normal as wound); false when it spans nothing.
    bool Corners(OvV3d corners[4]) const;

    OvV3d position = {0.0f, 0.0f, 0.0f};
    OvV3d normal = {0.0f, 1.0f, 0.0f};
    OvV3d right = {0.0f, 1.0f, 0.0f};
    float length = 100.0f;
    float width = 100.0f;
    bool twoSided = true;

protected:
    int Shape(OvV3d corners[4]) const override;
};

// A beam between p1 and p2 that is on for timeOn seconds, then off for timeOff seconds; its timer
// starts at startTime, off.
class CLaserBeam : public CLevelObject {
public:
    bool StartElement(const char* name, const char** attributes) override;
    void Update(float dt) override;
    // While on: the beam as a thin red shape of radius 0.04.
    void Render() override;
    bool IsOn() const { return on_; }
    float Timer() const { return timer_; }

    OvV3d pw1 = {}, pw2 = {}, p1 = {}, p2 = {};
    float timeOn = 0.0f, timeOff = 0.0f;

private:
    float timer_ = 0.0f;
    bool on_ = false;
};

// Moves every character that comes within 1.0 of its entry p1 to its exit p2; 50 particles
// spiral up round the entry.
class CTeleporter : public CLevelObject {
public:
    static constexpr int kParticles = 50;
    ~CTeleporter() override;
    bool StartElement(const char* name, const char** attributes) override;
    void Update(float dt) override;
    void Render() override;
    void Destroy() override;
    // The particles' positions (kParticles of them), for tests; null without an effect.
    const OvV3d* Particles() const { return effect_ != nullptr ? positions_ : nullptr; }

    OvV3d p1 = {}, p2 = {};
    OvRGBA colour = {255, 255, 255, 255};

private:
    bool SetUpEffect();

    OvTexture* texture_ = nullptr;
    OvAtomic* effect_ = nullptr;
    OvFrame* frame_ = nullptr;
    bool firstFrame_ = true;
    bool triedEffect_ = false;
    float heights_[kParticles] = {}; // above p1
    OvV3d positions_[kParticles] = {};
};

// Throws every character within 2.0 of p1 with the velocity (-6, 12, 0).
class CBumper : public CLevelObject {
public:
    bool StartElement(const char* name, const char** attributes) override;
    void Update(float dt) override;

    OvV3d p1 = {}, p2 = {};
};

// A place where characters may jump; it does nothing by itself.
class CJumpHelper : public CLevelObject {
public:
    bool StartElement(const char* name, const char** attributes) override;
    void Update(float) override {}

    OvV3d p1 = {}, p2 = {};
};

// A button the player clicks from within 1.0 of it: four models (green and red buttons up, green
// and red buttons pressed) show its state; a second click within 0.25 s of the last is ignored.
class CSwitch : public CLevelObject {
public:
    static constexpr int kModels = 4;
    static constexpr float kDebounce = 0.25f;
    static constexpr float kReach = 1.0f;
    static const char* const kModelFiles[kModels];

    // Lifts that name it (CLift::Link) let go first or go with it, as at the world manager's Unload.
    ~CSwitch() override;
    // Reads the attributes, then loads the four models, places them and gives them to the world
    // manager.
    bool StartElement(const char* name, const char** attributes) override;
    void Update(float dt) override;
    void Destroy() override;
    // The point lies closer than 1.0 to the switch.
    bool IsAimedAt(const OvV3d& point) const;
    // Flips the state when the last toggle is more than 0.25 s ago; true when it flipped.
    bool Toggle();
    bool IsOn() const { return on_; }
    float Timer() const { return timer_; }
    // "Click here to ..." with the text of what a click does (off text while on).
    const char* HintText() const { return on_ ? stringOff : stringOn; }
    CClumpObject* Model(int i) { return &models_[i]; }

    char name[128] = "";
    OvV3d p = {}, n = {};
    char stringOn[256] = "";
    char stringOff[256] = "";

private:
    void ShowState();

    CClumpObject models_[kModels];
    bool on_ = true;
    float timer_ = 0.0f;
};

// The physics of a lift's platform or a door's leaf: a body of its definition held to the world by
// a joint of its own definition.
struct JointedBody {
    OvpBodyDef* def = nullptr;
    OvpObj* body = nullptr;
    OvpJointDef* jointDef = nullptr;
    OvpJoint* joint = nullptr;
    // Joins the body to the world by the joint definition and adds the joint to the manager; no
    // joint when either refuses.
    void JoinToWorld(OvpMgr* manager);
    // Destroys the joint, its definition, the body (let go first by the atomic it is bound to,
    // when one is given) and its definition.
    void Release(OvAtomic* boundAtomic);
};

// A platform riding between p1 and p2 at 2.0 units a second, waiting 3.0 s at each end; held by
// a joint whose world anchor moves with it. With a linked switch it moves only while the switch
// is on.
class CLift : public CLevelObject {
public:
    enum State : int { kWaitingAtP1 = 0, kWaitingAtP2 = 1, kMovingToP1 = 2, kMovingToP2 = 3 };
    static constexpr float kSpeed = 2.0f;
    static constexpr const char* kModelFile = "models/lift.dff";

    ~CLift() override;
    // Reads the attributes, links the switch named (the last of that name wins), then builds the
    // platform: model, body and joint.
    bool StartElement(const char* name, const char** attributes) override;
    void Update(float dt) override;
    void Destroy() override;
    // Units a second, along the way it is moving; zero while it waits or its switch is off.
    OvV3d Velocity() const;
    bool CarryVelocity(const CClumpObject* standingOn, OvV3d* velocity) const override;
    CClumpObject* Object() { return &object_; }
    const CClumpObject* Object() const { return &object_; }
    OvpObj* Body() const { return physics_.body; }
    OvpJoint* Joint() const { return physics_.joint; }
    const CSwitch* LinkedSwitch() const { return linked_; }
    void Link(const CSwitch* s) { linked_ = s; }

    OvV3d p1 = {}, p2 = {}, pw1 = {}, pw2 = {};
    char switchName[128] = "";
    OvV3d position = {};
    OvV3d direction = {};
    float length = 0.0f;
    float travelled = 0.0f;
    float timer = 0.0f;
    float waitAtP1 = 3.0f;
    float waitAtP2 = 3.0f;
    int state = kMovingToP2;

private:
    bool Moves() const;
    void Build();
    void Follow();

    CClumpObject object_;
    JointedBody physics_;
    const CSwitch* linked_ = nullptr;
};

// A box door of width, height and depth (across x for axis 1, across z for axis 0) centred on its
// position, hinged to the world on its vertical edge at the low end of its width: it swings up to
// a quarter turn and a spring brings it back shut. The body and hinge are built at the first
// update.
class CDoor : public CLevelObject {
public:
    ~CDoor() override;
    bool StartElement(const char* name, const char** attributes) override;
    void Update(float dt) override;
    // The box's outline where the body holds it.
    void Render() override;
    void Destroy() override;
    // Half extents along the box's own axes.
    OvV3d HalfExtents() const;
    // Whether the box spans something (width, height and depth above 0): only then has it a body.
    bool SpansSomething() const { return width > 0.0f && height > 0.0f && depth > 0.0f; }
    // The hinge's point in the world and on the door (the box's own space).
    OvV3d HingePoint() const;
    OvV3d HingeOnDoor() const;
    OvpObj* Body() const { return physics_.body; }
    OvpJoint* Joint() const { return physics_.joint; }
    const OvMatrix& Matrix() const { return matrix_; }

    OvV3d position = {};
    float width = 0.0f, height = 0.0f, depth = 0.0f;
    int axis = 0;
    OvV3d pw1 = {}, pw2 = {};
    // The hinge's settings: its free angle, its spring's stiffness and damping.
    float hingeValues[3] = {1.0f, 2.0f, 0.1f};

private:
    void Build();

    bool buildPhysics_ = true;
    OvMatrix matrix_ = {};
    JointedBody physics_;
};

// A level object's configuration element ("JumpHelper", "Switch", "LaserBeam", "Teleporter",
// "Lift", "Bumper", "Door"): the object reads the element's attributes and goes to the world
// manager (refused on a full table with the table's message). Without a world manager nothing is
// made. False for any other name.
bool ConfigureLevelObject(const char* name, const char** attributes);

// Door hinge constants.
inline constexpr float kDoorOpenAngle = 1.5707964f;
inline constexpr float kDoorSpringStiffness = 200.0f;
inline constexpr float kDoorSpringDamping = 0.1f;
inline constexpr std::uint32_t kLiftJointFlags = 63;
