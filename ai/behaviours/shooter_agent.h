#pragma once
// CShooterAgent: fights one named target. Within gun range and with a clear line of sight it turns
// towards the target and fires, aiming with a random error and holding fire while a friend stands
// in the line of fire; otherwise it walks towards the target through the brain's path finder.

#include <cstdint>

#include "ai/runtime/agent.h"
#include "ai/runtime/class_desc.h"
#include "ai/runtime/vector3.h"
#include "ai/runtime/world.h"

class CActionRotate;
class CActionShoot;
class CActionSteering;
class CEntity;
class CEntityGunPosition;
class CEntityManager;
class CEntityTeamSide;
class IPathFinder;

class CShooterAgent : public CAgent {
public:
    static CAgentDesc s_classDesc; // "CShooterAgent"
    static CAgent* Create(CBrain* owner);
    static constexpr const char* kTask = "CShooterAgent::BotShootAtEnemy";
    // Yaw difference within which a steering shooter holds its course (degrees).
    static constexpr float kSteeringDeadBand = 3.0f;
    // Entities whose class-bit mask holds this bit (the first bit of the engine-wide mask, so every
    // entity created with that mask) are the ones the friendly-fire cone checks.
    static constexpr uint32_t kFriendMaskBit = 1;

    explicit CShooterAgent(CBrain* owner);

    // Defaults, the parameters, the services, actions, attributes and task; false when the
    // services, a turning or shoot action, or the task are missing.
    bool Init(CConfigNode* definition) override;
    // "TargetBot" (an entity of the world; refused when unknown), "GunRange" (m),
    // "DangerousConeAngle" (degrees; 0 or below: no friendly-fire check), "MaxInaccuracy" (degrees),
    // "AimAtTargetInterval" (s).
    bool ReadParam(CConfigNode* node) override;
    const CAgentDesc* GetClassDesc() const override;
    // A target at a distance above 0 (the entity manager's record) and a gun range above 0; refreshes
    // the gun position.
    bool IsReady() override;
    bool Think() override;
    virtual bool CheckServices();
    virtual bool CheckActions();
    virtual bool CheckTasks();
    // No friend of the owner (an entity the entity manager perceives whose record is not an enemy,
    // other than the owner and the target) inside the cone of DangerousConeAngle and GunRange from the
    // gun along direction.
    virtual bool IsLineOfFireClear(const CVector3& direction);

    // Aims at the target: the exact yaw, then yaw and pitch with an error of up to MaxInaccuracy
    // each (the engine's random generator), and whether the line of fire is clear.
    void Aim();

    // The host may set the target directly (an entity it names, or null).
    CEntity* m_target = nullptr;

    float GetGunRange() const { return m_gunRange; }
    float GetDangerousConeAngle() const { return m_dangerousConeAngle; }
    float GetMaxInaccuracy() const { return m_maxInaccuracy; }
    float GetAimInterval() const { return m_aimInterval; }
    float GetTargetDistance() const { return m_targetDistance; }
    const CVector3& GetAimDirection() const { return m_aimDirection; }
    const CVector3& GetGunPosition() const { return m_gunPosition; }
    float GetAimYaw() const { return m_aimYaw; }
    bool IsFiring() const { return m_fire != 0; }

private:
    static void OnEntityRemoved(CEntity* entity, void* user);

    float m_gunRange = 30.0f;
    float m_dangerousConeAngle = 0.0f; // half angle of the friendly-fire cone (degrees)
    float m_maxInaccuracy = 0.0f;      // largest aiming error per angle (degrees)
    float m_targetDistance = 0.0f;     // from the entity manager's record
    CVector3 m_gunPosition;            // the owner's gun position, else its position
    CVector3 m_aimDirection{0.0f, 0.0f, 1.0f};
    float m_aimYaw = 0.0f; // yaw towards the target without error, (-180, 180]
    uint8_t m_fire = 0;
    CVector3 m_moveTarget;
    CEntityManager* m_entityManager = nullptr;
    IPathFinder* m_pathFinder = nullptr;
    CActionRotate* m_rotate = nullptr; // own actions, null when the brain's class has none
    CActionSteering* m_steering = nullptr;
    CActionShoot* m_shoot = nullptr;
    const CEntityTeamSide* m_teamSide = nullptr;
    const CEntityGunPosition* m_gun = nullptr;
    int m_task = -1;            // "CShooterAgent::BotShootAtEnemy"
    float m_nextAimTime = 0.0f; // engine time of the next aim (s)
    float m_aimInterval = 0.5f; // seconds between aims
    CEntityRemovedHook m_removedHook{&CShooterAgent::OnEntityRemoved, this};
};
