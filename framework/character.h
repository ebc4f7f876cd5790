#pragma once
// Characters: skinned, animated figures that walk, run, strafe, crouch, aim and shoot. A
// character's look and numbers come from a named profile (a "Character" section of the
// configuration); animations are loaded once and shared through the animation cache. Every
// character is in the process-wide character table in creation order (the camera follows the
// first one).

#include <cstdint>
#include <string>

#include "framework/animated_character.h"
#include "framework/camera_manager.h"
#include "framework/config_reader.h"
#include "framework/profile_animations.h"
#include "graphics/core/types.h"
#include "graphics/core/vector.h"

class CFont;
class CProjectileTable;
struct OvAnimation;

// Fixed table sizes.
inline constexpr int kMaxCharacters = 292;
inline constexpr int kMaxCharacterProfiles = 32;
inline constexpr int kMaxCachedAnimations = 128;

// Bones of the shared skeleton that the game reads.
inline constexpr int kHeadBone = 17;
inline constexpr int kHandBone = 35;

// The profile's animations, in the order names are matched.
enum CharacterAnimation : int {
    kAnimRun = 0,
    kAnimWalk,
    kAnimIdle,
    kAnimStrafeLeft,
    kAnimStrafeRight,
    kAnimBackward,
    kAnimBackwardLeft,
    kAnimBackwardRight,
    kAnimForwardLeft,
    kAnimForwardRight,
    kAnimAlertWalk, // the alert group: the walking group's nine in the same order, from here
    kAnimAlertIdle,
    kAnimAlertStrafeLeft,
    kAnimAlertStrafeRight,
    kAnimAlertBackward,
    kAnimAlertBackwardLeft,
    kAnimAlertBackwardRight,
    kAnimAlertForwardLeft,
    kAnimAlertForwardRight,
    kAnimCrouchAimUpLeft,                          // the crouched aiming group: up, middle, down by left, front, right
    kAnimIdleAimUpLeft = kAnimCrouchAimUpLeft + 9, // the standing aiming group, same order
    kAnimNone = -1,
};
// "Run", "Walk", ... by index.
const char* CharacterAnimationName(int index);
// The index of a name (ASCII case ignored), or kAnimNone.
int CharacterAnimationFromName(const char* name);

// Aim pose positions within an aiming group: row (0 up, 1 middle, 2 down) x 3 + column (0 left,
// 1 front, 2 right).
enum AimPose : int {
    kAimUpLeft = 0,
    kAimUpFront,
    kAimUpRight,
    kAimMiddleLeft,
    kAimMiddleFront,
    kAimMiddleRight,
    kAimDownLeft,
    kAimDownFront,
    kAimDownRight,
};

// Movement states of a character.
enum CharacterMovement : std::int32_t {
    kMoveWalk = 0,
    kMoveRun = 1,
    kMoveAlert = 2, // turning to aim: the alert walking group
    kMoveCrouchAim = 3,
    kMoveStandAim = 4,
};

// A shared animation: the file it was read from and how many holders it has.
struct CachedAnimation {
    std::string name; // whole, however long
    std::uint32_t references = 0;
    OvAnimation* animation = nullptr;
};

// Animations read once and shared by name (ASCII case ignored). At most 128 are ever made: slots
// emptied by a last release are not used again.
class CAnimationCache {
public:
    // The entry of the file, read on first use; null (with the error box when the cache is full)
    // when it cannot be had.
    static CachedAnimation* Get(const char* fileName);
    // One reference less; the last one destroys the animation and empties the slot.
    static void Release(CachedAnimation* entry);
    // Slots used so far (emptied ones included).
    static int Count();
    // Destroys every animation still held and empties the cache (for shutdown and tests); the
    // profiles and characters that held or played them let them go first.
    static void Clear();
};

// A named set of a character's model, animations, speeds and dynamics: one "Character" section.
class CCharacterProfile : public CConfigSectionHandler {
public:
    // Copies the name (127 characters at most), keeps the scale and the place of the configuration
    // being read ("config.xml line 120", empty outside a reading).
    CCharacterProfile(const char* name, float scale);
    // Leaves the profile table; its characters stop playing its animations and forget it; then
    // every animation it holds is released.
    ~CCharacterProfile() override;

    bool StartElement(const char* name, const char** attributes) override;
    bool EndElement(const char* name) override;

    // The first profile of the table named so (ASCII case ignored), or null.
    static CCharacterProfile* Find(const char* name);
    // Adds the profile to the table: false (with the error box) when 32 are held; the caller keeps
    // the profile then.
    static bool Add(CCharacterProfile* profile);
    static int Count();
    static CCharacterProfile* Get(int i);
    // Deletes every profile of the table.
    static void DestroyAll();

    // The loaded animation, or null.
    OvAnimation* Animation(int index) const;
    const char* AnimationFile(int index) const { return animationFiles[index].c_str(); }
    // "The character profile 'Blue' has no 'Run' animation: its 'Animations' (config.xml line 52)
    // names none.", with the element that should name it: its "Animations", else its section.
    std::string NoAnimationText(int index) const;

    char name[128] = {};
    std::string place;           // where its "Character" section starts
    std::string actionsPlace;    // where its first "Actions" starts
    std::string animationsPlace; // where its "Animations" starts
    float scale = 1.0f;
    // The files config.xml names, whole however long.
    std::string clump;
    float height = 0.0f;
    float width = 0.0f;
    float transitionSpeed = 0.0f;
    std::string animationFiles[kProfileAnimationCount];
    CachedAnimation* animations[kProfileAnimationCount] = {};
    float forwardWalk = 0.0f;
    float forwardRun = 0.0f;
    float lateralWalk = 0.0f;
    float slideIntensity = 0.0f;
    float slideCreaseYComponent = 0.0f;
    std::int32_t accuracy = 0;
    float sphereRadius = 0.0f;
    std::string sphereModel;
    float gravity = 0.0f;
    std::uint8_t inActions = 0;
    std::uint8_t speedsRead = 0;     // its "Speeds" was met
    std::uint8_t animationsRead = 0; // its "Animations" ended (and was checked)
};

// The last shot of any character: set while a character fires, read by the game.
extern bool g_lastShotSet;
extern OvV3d g_lastShotPosition;

class CCharacter : public CAnimatedCharacter, public CCameraSubject {
public:
    static constexpr float kDefaultHealth = 100.0f;
    static constexpr float kSwitchDelay = 0.1f;  // seconds between animation switches
    static constexpr float kAimRechoose = 0.25f; // seconds between aim poses of other characters

    // Defaults, and appended to the character table (with the error box, and left out, when 292
    // are held).
    CCharacter();
    // Leaves the character table.
    ~CCharacter() override;

    void SetPosition(const OvV3d& point) override;
    void Update(float dt) override;
    void RenderInfo(CFont* font) override;
    // Detaches and deletes the projectile table, then releases the base.
    bool Release() override;
    // Binds the character to the named profile: clump, scale, motion body at the position, the
    // profile's dynamics, and its projectile table. False with the error box for an unknown name,
    // which names `usedBy` when given (what in the configuration plays the profile, and its place).
    virtual bool InitFromProfile(const char* name, const OvV3d& position, const std::string& usedBy = {});

    // What the cameras follow.
    OvFrame* SubjectFrame() override { return GetFrame(); }
    bool SubjectVisible() override { return IsVisible(); }
    void SetSubjectVisible(bool visible) override { SetVisible(visible); }

    // The character table.
    static int Count();
    static CCharacter* Get(int i);

    // The clump frame's position, or the origin without a clump.
    OvV3d GetPosition() const;
    // Takes a hit: 1.5 health for the input-controlled character, 5.0 for others, not below 0.
    void Hit();
    float GetHealth() const { return health_; }
    void SetHealth(float health) { health_ = health; }
    // Dying (health gone) or dead.
    bool IsDying() const { return dying_ != 0; }
    bool IsDead() const { return dead_; }

    // Asks for shots during the next update.
    void SetFiring() { firing_ = 1; }
    bool IsFiring() const { return firing_ != 0; }
    // Keeps the aim point and passes it to the projectile table.
    void SetAimPoint(const OvV3d& point);
    const OvV3d& GetAimPoint() const { return aimPoint_; }
    // The gun's muzzle from the hand bone: the bone's position moved along its unit axes by 0.05
    // (right), 0.11 (up) and 0.6 (at), and those unit axes; the shot direction is `at`. False,
    // outputs untouched, without a skeleton of enough bones.
    bool GetMuzzle(OvV3d* position, OvV3d* right, OvV3d* up, OvV3d* at) const;
    // Draws the projectile table's active projectiles.
    void RenderProjectiles();
    CProjectileTable* GetProjectileTable() const { return projectiles_; }

    // forwardWalk in state 0, forwardRun in state 1, else 0.
    float GetSpeed() const;
    CCharacterProfile* GetProfile() const { return profile_; }

    // Commands: written by input (input-controlled character) or by the game's AI.
    bool IsInputControlled() const { return inputControlled_ != 0; }
    void SetInputControlled(bool on) { inputControlled_ = on ? 1 : 0; }
    std::int32_t movementState = kMoveWalk;
    float forward = 0.0f;
    float sideways = 0.0f;
    float turnRate = 0.0f;
    std::uint8_t throwingMode = 0;
    std::uint8_t jumpRequest = 0;

    // The animation the last update chose (kAnimNone for an aim pose of four entries).
    int ChosenAnimation() const { return chosen_; }
    // The name of what the current command plays: its single animation's profile name, "AimPose"
    // for a four-entry command, or "" with none.
    const char* CurrentAnimationName() const;
    std::uint8_t ThrowRequest() const { return throwRequest_; }

    // Weights of the four-entry aim command for an aim direction given by Y (signed yaw, positive
    // to the left) and pitch (degrees, positive up): entries as aim pose positions.
    struct AimBlend {
        int poses[4];
        float weights[4];
    };
    static AimBlend AimBlendFor(float yawDegrees, float pitchDegrees);
    // The walk sector of a direction: the animation of the walking group (state 0) or the alert
    // group (state 2), and whether forward and sideways motion apply.
    struct WalkSector {
        int animation;
        bool useForward;
        bool useSideways;
        bool strafe; // speed from the sideways value
    };
    static WalkSector WalkSectorFor(float sideways, float forward, std::int32_t state);
    // The aim direction from the eye (the frame's position raised by eyeHeight) to the aim point
    // as yaw Y and pitch in degrees, each held to [-45, 45]; false when the point lies outside the
    // front cone (cosine to the frame's forward axis 0.72 or less).
    static bool AimAngles(const OvMatrix& frame, float eyeHeight, const OvV3d& aim, float* yaw, float* pitch);

protected:
    friend class CCharacterProfile; // a profile that goes makes its characters let go of it

    // Picks the aim pose in states 3 and 4; false when the single MiddleFront pose was chosen
    // (the switch step then applies it).
    bool ChooseAimPose(float dt, int* single, float* speed);
    void SwitchAnimation(int animation, float speed);
    bool StartAimCommand(const AimBlend& blend, int groupBase);

    CCharacterProfile* profile_ = nullptr;
    std::uint8_t inputControlled_ = 1;
    float health_ = kDefaultHealth;
    float aimRange_ = 1000.0f;
    float switchTimer_ = 1000.0f;
    std::uint8_t dying_ = 0;
    bool dead_ = false;
    float deathProgress_ = 0.0f;
    std::int32_t deathSteps_ = 0;
    std::uint8_t throwRequest_ = 0;
    float throwTimer_ = 0.0f;
    OvV3d aimPoint_ = {0.0f, 0.0f, 0.0f};
    std::uint8_t firing_ = 0;
    float aimPoseTimer_ = 0.0f;
    int chosen_ = kAnimNone;
    CProjectileTable* projectiles_ = nullptr;
};
