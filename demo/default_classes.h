#pragma once
// The demo's entity and action classes: CDefaultEntityClass copies a game character's state into
// its AI entity each frame, and CDefaultActionClass turns the actions a brain decided into the
// character's movement commands. The character is the entity's host object (demo_character.h).

#include <cstdint>

#include "ai/runtime/brain.h"
#include "ai/runtime/entity.h"

class CActionCrouch;
class CActionRotate;
class CActionShoot;
class CActionSpeed;
class CActionTorsoRotate;
class IDemoCharacter;

class CDefaultEntityClass : public CEntity {
public:
    static CEntityClassDesc s_desc; // "CDefaultEntityClass"
    // hostObject is the IDemoCharacter of the entity, or null.
    static CEntity* Create(const char* name, void* hostObject);
    // The entity's body measures, vision and health come from the character: most speed is twice
    // its running speed (the character is left running), width and height its profile's, vision
    // 90 degrees over 60 metres, health its health.
    CDefaultEntityClass(const char* name, IDemoCharacter* character);

    bool Init(CConfigNode* definition) override;
    const CEntityClassDesc* GetClassDesc() const override;
    // UpdateFromCharacter.
    void Update() override;
    // Position (half the profile height above the feet), speed, direction and heading, muzzle,
    // health, eye position and head direction (up axis of bone 17) from the character.
    void UpdateFromCharacter();

    IDemoCharacter* GetCharacter() const { return m_character; }
    static constexpr int kHeadBone = 17;

private:
    IDemoCharacter* m_character; // not owned
};

class CDefaultActionClass : public CActionClass {
public:
    static CActionClassDesc s_desc; // "CDefaultActionClass"
    static CActionClass* Create();
    // Creates the rotate, speed, torso-rotate, shoot and crouch actions, all zero.
    CDefaultActionClass();

    const CActionClassDesc* GetClassDesc() const override;
    // Only for entities of CDefaultEntityClass with a character.
    void Apply(CEntity* entity) override;

    CActionSpeed* GetSpeedAction() const { return m_speed; }
    CActionRotate* GetRotateAction() const { return m_rotate; }
    CActionTorsoRotate* GetTorsoRotateAction() const { return m_torsoRotate; }
    CActionShoot* GetShootAction() const { return m_shoot; }
    CActionCrouch* GetCrouchAction() const { return m_crouch; }
    bool IsTurning() const { return m_turning != 0; }

private:
    CActionSpeed* m_speed;             // owned by the base's slots
    CActionRotate* m_rotate;           // owned by the base's slots
    CActionTorsoRotate* m_torsoRotate; // owned by the base's slots
    CActionShoot* m_shoot;             // owned by the base's slots
    CActionCrouch* m_crouch;           // owned by the base's slots
    std::uint8_t m_turning = 0;        // turning on the spot to face a shot
};
