#pragma once
// A drawable object of the level: one graphics clump with its visibility, pickability, presence
// in the first graphics world, name and scale. The clumps of a world file, the parts of level
// objects, rigid bodies and characters are clump objects.

#include "graphics/core/types.h"
#include "graphics/core/vector.h"

struct OvAtomic;
struct OvClump;
struct OvFrame;
struct OvStream;

// Factor between a clump object's scale and the scale of its frame: models are authored at 500
// times the world's size.
inline constexpr float kClumpModelScale = 0.002f;

class CClumpObject {
public:
    CClumpObject();
    // Destroys the clump when the object still holds one.
    virtual ~CClumpObject();
    // Writes the position into the frame's modelling matrix and marks the frame changed.
    virtual void SetPosition(const OvV3d& position);
    // Loads the first clump of a file (the texture search path set from the file's path). False,
    // with the error box "Can not load clump in file ...", when there is none.
    virtual bool LoadClump(const char* fileName);
    // Debug drawing: rings round the position in the planes of the frame's axes and rings of the
    // bounding sphere.
    virtual void Render();

    OvClump* GetClump() const { return clump_; }
    // The clump's frame, or null without a clump.
    OvFrame* GetFrame() const;
    // The first atomic of the clump, or null.
    OvAtomic* GetFirstAtomic() const;
    // The first atomic's world bounding sphere, or null without an atomic.
    const OvSphere* GetBoundingSphere() const;

    bool IsVisible() const { return visible_; }
    // Stores the flag and lets the world manager put the clump into the world or take it out.
    void SetVisible(bool visible);
    bool IsPickable() const { return pickable_ != 0; }
    void SetPickable(bool pickable) { pickable_ = pickable ? 1u : 0u; }
    bool IsInWorld() const { return inWorld_; }
    void SetInWorld(bool inWorld) { inWorld_ = inWorld; }

    const char* GetName() const { return name_; }
    // Copies the text (31 characters at most), or "Noname" for null.
    void SetName(const char* name);

    // Reads a clump from an open stream positioned at a clump chunk's body.
    bool ReadClump(OvStream* stream);

    float GetScale() const { return scale_; }
    // Stores the scale and scales the frame by scale x 0.002 on top of what it holds (repeated
    // calls compound).
    void SetScale(float scale);
    // Rebuilds the frame as a turn about y by the angle (degrees) at one factor of scale x 0.002,
    // keeping the position.
    void SetYRotation(float degrees);

    // Takes the clump out of the world manager and destroys it.
    void Destroy();

    void* GetOwner() const { return owner_; }
    void SetOwner(void* owner) { owner_ = owner; }

protected:
    char name_[32];
    OvClump* clump_ = nullptr;
    float scale_ = 1.0f;
    OvUInt32 pickable_ = 0; // line and sphere queries test the object one by one
    bool visible_ = true;
    bool inWorld_ = false; // the clump is in the first graphics world
    void* owner_ = nullptr;
};
