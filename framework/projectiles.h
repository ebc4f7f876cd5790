#pragma once
// The characters' guns and what they leave behind. Every character owns a projectile table that,
// while the character fires, shoots every 0.15 s from the muzzle at its hand: the shot hits the
// nearest other character within 0.85 of the line of fire, else the level within 30 units; a
// tracer flies to the impact, the muzzle flashes, and an impact burst starts from one of two
// shared banks of particle emitters (red for a character, grey for the level). In first-person
// view the player can also throw rocks that make a noise where they land.

#include <cstdint>

#include "graphics/core/camera.h"
#include "graphics/core/types.h"
#include "graphics/core/vector.h"

class CCharacter;
class CClumpObject;
struct OvAtomic;
struct OvFrame;
struct OvTexture;
struct OvpObj;

// A burst of eight particles thrown from a point, falling and fading out over two seconds.
class CParticleEmitter {
public:
    static constexpr int kParticles = 8;
    static constexpr float kLifetime = 2.0f;       // seconds a burst is drawn and moved
    static constexpr float kEmissionRate = 960.0f; // particles a second until all eight are out
    static constexpr float kGravity = -294.0f;     // times the scale, units per second squared
    static constexpr float kParticleSize = 5.0f;   // times the scale, the particles' width and height

    // Reads the particle image (once for all emitters), creates the batch of eight and its frame.
    // False, with the error box "Texture file 'PARTICLE.PNG' not found...", when the image is
    // missing; false when the batch cannot be made.
    bool Init(float scale, std::uint8_t r, std::uint8_t g, std::uint8_t b);
    // Every particle at the point with a random velocity (three draws of rand() a particle, x, y,
    // z); none emitted yet; the burst's age starts at 0.001.
    void Start(const OvV3d& point);
    // While the burst lives: the emitted particles fall and move, go into the batch, and more are
    // emitted; the age grows.
    void Update(float dt);
    // While the burst lives: the batch, depth-tested without depth writes.
    void Render();
    // Frees the batch and its frame; the last emitter destroyed lets the image go.
    void Destroy();

    bool Alive() const { return age_ > 0.0f && age_ < kLifetime; }
    float Age() const { return age_; }
    int Emitted() const { return emitted_; }
    float Scale() const { return scale_; }
    const OvRGBA& Colour() const { return colour_; }
    const OvV3d& Position(int i) const { return position_[i]; }
    const OvV3d& Velocity(int i) const { return velocity_[i]; }
    OvAtomic* Batch() const { return batch_; }

private:
    OvRGBA colour_ = {0, 0, 0, 255};
    OvAtomic* batch_ = nullptr;
    OvFrame* frame_ = nullptr;
    bool holdsTexture_ = false;
    int emitted_ = 0;
    float progress_ = 0.0f;
    float age_ = 0.0f;
    float scale_ = 0.0f;
    OvV3d position_[kParticles] = {};
    OvV3d velocity_[kParticles] = {};
};

// One of the two shared banks of emitters and the one to start next.
struct ParticleBank {
    static constexpr int kEmitters = 8;
    CParticleEmitter* emitters[kEmitters] = {};
    int next = 0;
};

// What a shot hit.
enum ShotKind : int {
    kShotMiss = 0,      // nothing within range
    kShotCharacter = 1, // another character: a red burst
    kShotWorld = 2,     // the level or an object in it: a grey burst
};

class CProjectileTable {
public:
    static constexpr int kSlots = 32;
    static constexpr float kShotPeriod = 0.15f;  // seconds between shots while firing
    static constexpr float kRange = 30.0f;       // length of the line of fire
    static constexpr float kHitRadius = 0.85f;   // a character closer than this to the line is hit
    static constexpr float kTargetHeight = 1.0f; // the point of a character tested, above its position
    static constexpr float kEyeHeight = 1.4f;    // shots without the muzzle start this far above the owner
    static constexpr float kAimCone = 0.9f;      // the aim must be within this cosine of the muzzle's axis
    static constexpr float kSpeed = 40.0f;       // tracer speed, units a second
    static constexpr float kPush = 2.0f;         // speed given to a body that is hit
    static constexpr float kFlashRate = 10.0f;   // flash flickers a second
    static constexpr float kTracerLength = 0.8f;
    static constexpr float kTracerWidth = 0.01f;
    static constexpr std::uint32_t kTracerColour = 0xB0FFFFFF;
    static constexpr float kBurstScale = 0.01f;

    struct Projectile {
        OvV3d position = {};
        OvV3d right = {}; // the muzzle's axes when it was fired, for the tracer's width
        OvV3d up = {};
        OvV3d direction = {};
        OvV3d at = {};
        float range = 0.0f;
        float travelled = 0.0f;
        bool active = false;
    };

    // Every slot inactive, no owner; the table's number from a process-wide counter.
    CProjectileTable();
    ~CProjectileTable();

    // Keeps the owner, loads the muzzle flash ("MODELS/FIRE.DFF", parked out of sight) into the
    // world manager and makes the shared banks' missing emitters. The banks live while any table
    // is attached. False when the flash cannot be loaded (the table then fires nothing).
    bool Attach(CCharacter* owner);
    // Takes the flash out of the world and destroys it; the last table detached destroys the
    // banks' emitters.
    void Detach();

    // Aiming on or off; the point is kept when given.
    void SetAim(bool enabled, const OvV3d* point);
    void SetFiring(bool firing) { firing_ = firing; }
    // True: shots leave the muzzle and must lie in its cone; false: they start at the owner's
    // position raised by 1.4 and go wherever the aim point is.
    void SetUseMuzzle(bool use) { useMuzzle_ = use; }

    // Fires while firing, flickers the flash, moves the tracers.
    void Update(float dt);
    // Draws the active tracers.
    void Render();

    // Every emitter of both banks (the framework's frame).
    static void UpdateParticles(float dt);
    static void RenderParticles();
    // Bank 0 (red, character hits) or 1 (grey, level hits).
    static ParticleBank& Bank(int i);
    static int AttachedTables();

    CCharacter* Owner() const { return owner_; }
    int Number() const { return number_; }
    bool Firing() const { return firing_; }
    bool UseMuzzle() const { return useMuzzle_; }
    bool ShotAllowed() const { return shotAllowed_; }
    bool AimEnabled() const { return aimEnabled_; }
    const OvV3d& AimPoint() const { return aimPoint_; }
    float ShotTimer() const { return shotTimer_; }
    CClumpObject* Flash() const { return flash_; }
    const Projectile& Slot(int i) const { return slots_[i]; }
    int ActiveCount() const;
    // The last shot fired: what it hit, the character hit (or null) and the impact point.
    ShotKind LastShotKind() const { return lastKind_; }
    CCharacter* LastTarget() const { return lastTarget_; }
    // The character goes: the last shot no longer names it.
    void ForgetTarget(const CCharacter* character) {
        if (lastTarget_ == character) {
            lastTarget_ = nullptr;
        }
    }
    const OvV3d& LastImpact() const { return lastImpact_; }
    int ShotsFired() const { return shots_; }

    // The character nearest the start along the segment start..end whose point (position raised
    // by 1.0) lies within 0.85 of it, other than the owner and not dying; null when none. t is
    // its clamped projection on the segment (0 at start, 1 at end).
    static CCharacter* FindTarget(const OvV3d& start, const OvV3d& end, const CCharacter* owner, float* t);

private:
    void Fire();
    void UpdateFlash(float dt);

    CCharacter* owner_ = nullptr;
    bool useMuzzle_ = true;
    bool firing_ = false;
    float flashPhase_ = 0.0f;
    float shotTimer_ = 0.0f;
    CClumpObject* flash_ = nullptr;
    bool shotAllowed_ = true;
    Projectile slots_[kSlots];
    bool aimEnabled_ = false;
    OvV3d aimPoint_ = {};
    int number_ = 0;
    bool attached_ = false;
    ShotKind lastKind_ = kShotMiss;
    CCharacter* lastTarget_ = nullptr;
    OvV3d lastImpact_ = {};
    int shots_ = 0;
};

// Thrown rocks: at most 32 for the whole game.
struct ThrownRock {
    CClumpObject* object = nullptr;
    OvpObj* body = nullptr;
    OvFrame* frame = nullptr; // the atomic's own frame, which the body moves
    bool touching = false;    // on the ground at the last update
};
inline constexpr int kMaxRocks = 32;
inline constexpr float kRockRadius = 0.05f;
inline constexpr float kRockMass = 1.0f;
inline constexpr float kRockSlide = 0.5f;
inline constexpr float kRockBounce = 0.5f;
inline constexpr float kRockSpeed = 12.0f;
inline constexpr float kRockLift = 1.0f;      // rocks leave the thrower this far above its position
inline constexpr float kRockGroundRay = 0.1f; // the downward ray that finds the ground under a rock

// Throws a rock ("MODELS/REVOLUTION/ROCK.DFF" on a small physics sphere) from above the thrower
// along the direction. False when 32 rocks are out, there is no physics, or the rock cannot be
// made.
bool ThrowRock(const CClumpObject* thrower, const OvV3d& direction);
// The first frame a rock touches the ground makes its position the noise point and starts the
// noise timer; a started timer grows every update. The world manager's update runs it after its
// physics step.
void UpdateRocks(float dt);
// Takes every rock out of the world and the physics and destroys it (before the world manager
// unloads); the noise is forgotten.
void ReleaseRocks();
int RockCount();
const ThrownRock& GetRock(int i);

// Where the last rock landed and how long ago (0: no noise yet).
extern OvV3d g_noisePoint;
extern float g_noiseTimer;
