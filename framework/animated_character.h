#pragma once
// The base of every skinned, animated figure: a clump object whose animation hierarchy is bound
// to its atomics as their skin hierarchy, an animator that plays weighted animation commands into
// that hierarchy, and the motion body that carries it.
//
// Animation commands come from one process-wide pool shared by every animated character. Each
// record has four entries with a workspace per entry (a copy of the first character's skeleton),
// so every animated character must share the first one's skeleton layout. The pool lives from
// the first animator's construction until DestroyAnimationCommandPool, which the framework calls
// at shutdown once every character is released.

#include <cstdint>
#include <vector>

#include "framework/clump_object.h"
#include "framework/motion_body.h"
#include "graphics/core/matrix.h"
#include "graphics/core/types.h"

class CFont;
struct OvAnimation;
struct OvAnimHierarchy;
struct OvAtomic;
struct OvClump;

// Flags of a hierarchy found on a clump, and what binding adds: frames' modelling and world
// matrices are updated from the animation.
inline constexpr OvUInt32 kFoundHierarchyFlags = 0x1000;
inline constexpr OvUInt32 kBoundHierarchyFlags = 0x3000;

// An animation hierarchy of a character, or a copy of one used as a blending workspace.
class CSkeletonBinding {
public:
    CSkeletonBinding() = default;
    // A workspace copy of the source's hierarchy that shares its parent frame and root and whose
    // interpolator can be blended into before an animation is set on it.
    explicit CSkeletonBinding(const CSkeletonBinding& source);
    virtual ~CSkeletonBinding();
    CSkeletonBinding& operator=(const CSkeletonBinding&) = delete;

    // Finds the hierarchy below the clump's frame (the frame itself is not tested); the last one
    // found in child order wins. Its flags become 0x1000 (keeping only the bits that say it has no
    // matrix array or shares another's). False when there is none.
    bool FindHierarchy(OvClump* clump);
    // Makes the hierarchy every atomic's skin hierarchy, adds 0x3000 to its flags and attaches it
    // to the frames.
    bool Bind(OvClump* clump);
    // Destroys a hierarchy this binding created; forgets any other.
    bool Release();

    OvAnimHierarchy* Hierarchy() const { return hierarchy_; }
    bool Owned() const { return owned_; }

private:
    OvAnimHierarchy* hierarchy_ = nullptr;
    bool owned_ = false;
};

// Entries of one animation command.
inline constexpr int kCommandEntries = 4;
// Records in the process-wide command pool.
inline constexpr int kAnimationCommandPoolSize = 315;
// A character holds up to this many records at a time, so the pool serves this many characters.
inline constexpr int kAnimationCommandsPerCharacter = 3;
inline constexpr int kMaxAnimatedCharacters = kAnimationCommandPoolSize / kAnimationCommandsPerCharacter;

// A record of the command pool: up to four weighted animations played together, looping or not,
// at a speed.
class CAnimationCommand {
public:
    static constexpr std::int32_t kAnimationCommandType = 1;
    struct Entry {
        OvAnimation* animation = nullptr; // from the animation cache, not owned
        float weight = 0.0f;
        CSkeletonBinding* workspace = nullptr; // owned by the pool
    };

    virtual ~CAnimationCommand() = default;
    virtual std::int32_t Type() const { return kAnimationCommandType; }
    // No animations, weights 0, count 0, looping, speed 1.0; the workspaces stay.
    virtual void Reset();

    // Sets entry i (0..3) and makes the count at least i + 1.
    void SetEntry(int i, OvAnimation* animation, float weight);

    std::uint8_t free = 1;
    Entry entries[kCommandEntries];
    std::int32_t count = 0;
    std::uint8_t loop = 1;
    float speed = 1.0f;
};

// The process-wide pool of animation commands.
class CAnimationCommandPool {
public:
    // The pool, or null before the first animator.
    static CAnimationCommandPool* Instance();
    // The first free record, reset and marked used; null when all are taken.
    CAnimationCommand* Take();
    // Marks the record free. Null and records of another pool are ignored.
    void GiveBack(CAnimationCommand* command);
    int FreeCount() const;
    CAnimationCommand* Record(int i) { return &records_[i]; }
    bool HasWorkspaces() const { return workspacesMade_; }

private:
    friend class CCharacterAnimator;
    friend void DestroyAnimationCommandPool();
    CAnimationCommandPool() = default;
    ~CAnimationCommandPool();
    // Copies of the skeleton for every entry of every record, made once.
    void MakeWorkspaces(const CSkeletonBinding& skeleton);

    CAnimationCommand records_[kAnimationCommandPoolSize];
    bool workspacesMade_ = false;
};

// Releases every pool workspace and frees the pool; an animator still playing a command of it
// forgets the command (and plays nothing until it starts another). The next animator makes a new
// pool.
void DestroyAnimationCommandPool();

// Plays animation commands into a character's skeleton: the current command, cross-faded from the
// previous one while the blend weight rises to 1.0.
class CCharacterAnimator {
public:
    static constexpr float kDefaultBlendRate = 5.0f; // weight per second

    // Creates the command pool when there is none.
    CCharacterAnimator();
    virtual ~CCharacterAnimator();
    CCharacterAnimator(const CCharacterAnimator&) = delete;
    CCharacterAnimator& operator=(const CCharacterAnimator&) = delete;

    // Keeps the skeleton and makes each channel's result and two blend workspaces as copies of it;
    // the first call in the process also makes the pool's workspaces.
    void SetUp(CSkeletonBinding* skeleton);
    // Makes the command current (the previous channel's command goes back to the pool) and starts
    // its animations at time 0 with the blend weight at 0. False, nothing changed, when the
    // command is not an animation command or no entry has both an animation and a weight.
    bool Start(CAnimationCommand* command);
    // Advances both channels, poses each from its command, cross-fades into the skeleton and
    // updates the hierarchy's matrices. Nothing without workspaces.
    void Update(float dt);
    // Gives both commands back to the pool and destroys the six channel workspaces.
    bool Release();

    CAnimationCommand* CurrentCommand() const { return channels_[current_].command; }
    CAnimationCommand* PreviousCommand() const { return channels_[1 - current_].command; }
    float BlendWeight() const { return blendWeight_; }
    float BlendRate() const { return blendRate_; }
    void SetBlendRate(float rate) { blendRate_ = rate; }
    bool IsSetUp() const { return skeleton_ != nullptr && channels_[0].result != nullptr; }

    // The pose of one command, as the animator computes it for a channel: one entry is copied,
    // two are blended by the first weight, four by pairs. Exposed for tests and tools.
    static void PoseCommand(const CAnimationCommand* command, CSkeletonBinding* result, CSkeletonBinding* blend1,
                            CSkeletonBinding* blend2);

private:
    friend void DestroyAnimationCommandPool();
    struct Channel {
        CAnimationCommand* command = nullptr;
        CSkeletonBinding* result = nullptr;
        CSkeletonBinding* blend1 = nullptr;
        CSkeletonBinding* blend2 = nullptr;
    };
    void DropWorkspaces();

    Channel channels_[2];
    int current_ = 0;
    CSkeletonBinding* skeleton_ = nullptr;
    float blendWeight_ = 0.0f;
    float blendRate_ = kDefaultBlendRate;
};

class CAnimatedCharacter : public CClumpObject,
                           public CSkeletonBinding,
                           public CharacterMotionBody,
                           public CCharacterAnimator {
public:
    CAnimatedCharacter();
    ~CAnimatedCharacter() override;

    void SetPosition(const OvV3d& position) override;
    // Loads the clump, finds and binds its hierarchy and sets the animator up. False (no message)
    // when the clump has no hierarchy; the character is then not animated.
    bool LoadClump(const char* fileName) override;
    // Names the clump object ("Noname") and sets the motion body up at the position.
    virtual bool Setup(const OvV3d& position);
    // The motion body, then, when animate is on, the animator (the skinned-atomic pipeline skins
    // the atomics by the new pose when they are drawn).
    virtual void Update(float dt);
    virtual void RenderInfo(CFont* font);
    // Destroys the clump, releases the binding and the animator and destroys the attached clump
    // objects.
    virtual bool Release();

    // Bone i's matrix of the skin hierarchy, or null without a hierarchy or out of range.
    const OvMatrix* GetBoneMatrix(int i) const;
    int BoneCount() const;

    bool Animate() const { return animate_ != 0; }
    void SetAnimate(bool on) { animate_ = on ? 1 : 0; }
    // Two clump objects the character owns (for example something it carries), or null.
    CClumpObject* Attached(int i) const { return attached_[i]; }
    void SetAttached(int i, CClumpObject* object) { attached_[i] = object; }

protected:
    CClumpObject* attached_[2] = {nullptr, nullptr};
    std::uint8_t animate_ = 1;
};
