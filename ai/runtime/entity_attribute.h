#pragma once
// Entity attributes: typed values the host keeps on an entity for the engine to read (eye position,
// vision, team side ...). Each class is registered by name in the entity-attribute registry at
// start-up; an entity has one slot per registered class (entity.h).

#include "ai/runtime/class_desc.h"
#include "ai/runtime/engine_object.h"
#include "ai/runtime/vector3.h"

#include <cstdint>

class CEntity;

class CEntityAttribute : public CEngineObject {
public:
    // Copies the value of an attribute of the same class; nothing for a null or other-class
    // object. Answers this object.
    virtual CEntityAttribute* CopyFrom(const CEntityAttribute* other) = 0;
    virtual const CEntityAttributeDesc* GetClassDesc() const = 0;
};

// Shared implementation: Self names the class, Values is a plain record of its value fields.
// Classes with a special copy override Assign.
template <class Self, class Values, class Base = CEntityAttribute>
class CEntityAttributeOf : public Base, public Values {
public:
    CEntityAttribute* CopyFrom(const CEntityAttribute* other) override {
        if (other != nullptr && other->GetClassDesc() == GetClassDesc())
            static_cast<Self*>(this)->Assign(static_cast<const Self&>(*other));
        return this;
    }
    const CEntityAttributeDesc* GetClassDesc() const override { return &Self::s_desc; }
    // Create function of the registry; null when out of memory.
    static CEntityAttribute* Create() { return new Self(); }
    void Assign(const Self& other) { static_cast<Values&>(*this) = static_cast<const Values&>(other); }
};

struct CVectorValue {
    CVector3 value{0.0f, 0.0f, 0.0f};
};
struct CLengthValue {
    float value = 0.0f; // host units
};

// Base of the body measures and of the visual acuteness, whose defaults scale with OneMeter.
class CEntityMeasureAttribute : public CEntityAttribute {
public:
    CEntityAttribute* CopyFrom(const CEntityAttribute* other) override = 0;
    const CEntityAttributeDesc* GetClassDesc() const override = 0;
};

// Eye position (world coordinates).
class CEntityEyePosition : public CEntityAttributeOf<CEntityEyePosition, CVectorValue> {
public:
    static CEntityAttributeDesc s_desc;
};
// Muzzle position (world coordinates).
class CEntityGunPosition : public CEntityAttributeOf<CEntityGunPosition, CVectorValue> {
public:
    static CEntityAttributeDesc s_desc;
};
// Knee position (world coordinates).
class CEntityKneePosition : public CEntityAttributeOf<CEntityKneePosition, CVectorValue> {
public:
    static CEntityAttributeDesc s_desc;
};
// Direction the head looks at (unit length).
class CEntityHeadDirection : public CEntityAttributeOf<CEntityHeadDirection, CVectorValue> {
public:
    static CEntityAttributeDesc s_desc;
};
// Height, 1.8 m at creation.
class CEntityHeight : public CEntityAttributeOf<CEntityHeight, CLengthValue, CEntityMeasureAttribute> {
public:
    CEntityHeight();
    static CEntityAttributeDesc s_desc;
};
// Width, 0.7 m at creation.
class CEntityWidth : public CEntityAttributeOf<CEntityWidth, CLengthValue, CEntityMeasureAttribute> {
public:
    CEntityWidth();
    static CEntityAttributeDesc s_desc;
};
// Highest speed, 0.5 m per second at creation.
class CEntityMaxSpeed : public CEntityAttributeOf<CEntityMaxSpeed, CLengthValue, CEntityMeasureAttribute> {
public:
    CEntityMaxSpeed();
    static CEntityAttributeDesc s_desc;
};

struct CVisualAcuityValues {
    float range = 0.0f; // how far the entity sees (host units)
    float angle = 0.0f; // half angle of the vision cone (degrees, 0..360)
};
// Vision range and cone angle; 100 m and 60 degrees at creation.
class CEntityVisualAcuteness
    : public CEntityAttributeOf<CEntityVisualAcuteness, CVisualAcuityValues, CEntityMeasureAttribute> {
public:
    CEntityVisualAcuteness();
    // Stores the angle clamped to 0..360 degrees (NaN gives 360).
    void SetAngle(float degrees);
    // A negative (or NaN) range gives 0; the angle goes through SetAngle.
    void Assign(const CEntityVisualAcuteness& other);
    static CEntityAttributeDesc s_desc;
};
// Hearing sensitivity (factor on sound intensities).
class CEntityHearingAcuteness : public CEntityAttributeOf<CEntityHearingAcuteness, CLengthValue> {
public:
    // A negative (or NaN) value gives 0.
    void Assign(const CEntityHearingAcuteness& other);
    static CEntityAttributeDesc s_desc;
};

struct CSideValue {
    int32_t value = -1; // team side; -1: no side
};
// Side in fights: entities of two different sides (neither -1) are enemies.
class CEntityTeamSide : public CEntityAttributeOf<CEntityTeamSide, CSideValue> {
public:
    static CEntityAttributeDesc s_desc;
};

struct CHealthValues {
    int32_t health = 0;    // current health points
    int32_t maxHealth = 0; // full health points
};
class CEntityHealth : public CEntityAttributeOf<CEntityHealth, CHealthValues> {
public:
    static CEntityAttributeDesc s_desc;
};

namespace Vusk {

// True when the ten actions and the ten attributes the engine's behaviours use (all but
// CEntityHealth) got a registry slot.
bool CheckActionAndAttributeClasses();

// Is the point inside the entity's vision cone (no range limit)? The eye position and head
// direction attributes stand in for the entity's position and direction when present; the cone's
// half angle is the visual acuteness angle, 180 without it. False for a null entity.
bool IsPointInEntityView(const CVector3& point, const CEntity* entity);

} // namespace Vusk
