#include "ai/behaviours/shooter_agent.h"

#include "ai/behaviours/entity_manager.h"
#include "ai/behaviours/follower_agents.h"
#include "ai/navigation/path_finder.h"
#include "ai/runtime/action.h"
#include "ai/runtime/brain.h"
#include "ai/runtime/config_node.h"
#include "ai/runtime/engine.h"
#include "ai/runtime/entity.h"
#include "ai/runtime/entity_attribute.h"
#include "ai/runtime/time_manager.h"
#include "ai/runtime/world.h"
#include "platform/crt.h"

CAgentDesc CShooterAgent::s_classDesc("CShooterAgent", &CShooterAgent::Create, nullptr, false, false);

CAgent* CShooterAgent::Create(CBrain* owner) { return new CShooterAgent(owner); }

CShooterAgent::CShooterAgent(CBrain* owner) : CAgent(owner) {}

const CAgentDesc* CShooterAgent::GetClassDesc() const { return &s_classDesc; }

bool CShooterAgent::CheckServices() { return m_pathFinder != nullptr && m_entityManager != nullptr; }

bool CShooterAgent::CheckActions() { return (m_rotate != nullptr || m_steering != nullptr) && m_shoot != nullptr; }

bool CShooterAgent::CheckTasks() { return m_task != -1; }

bool CShooterAgent::ReadParam(CConfigNode* node) {
    const char* name = node->GetName();
    const char* value = node->GetValue();
    if (name == nullptr || value == nullptr)
        return false;
    if (_stricmp(name, "TargetBot") == 0) {
        CWorld* world = Vusk::GetCurrentWorld();
        m_target = world != nullptr ? world->FindEntity(value) : nullptr;
        return m_target != nullptr;
    }
    float* field = nullptr;
    float scale = 1.0f;
    if (_stricmp(name, "DangerousConeAngle") == 0)
        field = &m_dangerousConeAngle;
    else if (_stricmp(name, "GunRange") == 0)
        field = &m_gunRange, scale = Vusk::GetCurrentOneMeter();
    else if (_stricmp(name, "MaxInaccuracy") == 0)
        field = &m_maxInaccuracy;
    else if (_stricmp(name, "AimAtTargetInterval") == 0)
        field = &m_aimInterval;
    if (field == nullptr)
        return false;
    *field = static_cast<float>(crt_atof(value)) * scale;
    return true;
}

bool CShooterAgent::Init(CConfigNode* definition) {
    CBrain* brain = GetBrain();
    CEntity* owner = brain->GetOwner();
    m_pathFinder = static_cast<IPathFinder*>(brain->GetService(&IPathFinder::s_classDesc));
    m_entityManager = static_cast<CEntityManager*>(brain->GetService(&CEntityManager::s_classDesc));
    m_rotate = GetActionClass() != nullptr ? GetActionClass()->FindAction<CActionRotate>() : nullptr;
    m_steering = GetActionClass() != nullptr ? GetActionClass()->FindAction<CActionSteering>() : nullptr;
    m_shoot = GetActionClass() != nullptr ? GetActionClass()->FindAction<CActionShoot>() : nullptr;
    m_teamSide = owner->FindAttribute<CEntityTeamSide>();
    m_gun = owner->FindAttribute<CEntityGunPosition>();
    if (CTimeManager* time = CTimeManager::GetInstance())
        m_task = time->FindTask(kTask);
    m_nextAimTime = 0.0f;
    m_aimDirection = CVector3(0.0f, 0.0f, 1.0f);
    m_fire = 0;
    m_moveTarget = CVector3(0.0f, 0.0f, 0.0f);
    m_aimYaw = 0.0f;
    if (definition == nullptr)
        return false;
    m_target = nullptr;
    m_dangerousConeAngle = 0.0f;
    m_maxInaccuracy = 0.0f;
    m_aimInterval = 0.5f;
    m_gunRange = 30.0f * Vusk::GetCurrentOneMeter();
    if (!CAgent::Init(definition) || !CheckServices() || !CheckActions() || !CheckTasks())
        return false;
    // A target that leaves the world must not stay behind as a dangling pointer.
    return m_removedHook.Register();
}

void CShooterAgent::OnEntityRemoved(CEntity* entity, void* user) {
    auto* self = static_cast<CShooterAgent*>(user);
    if (self->m_target == entity) {
        self->m_target = nullptr;
        self->m_fire = 0;
    }
}

bool CShooterAgent::IsReady() {
    if (m_target == nullptr)
        return false;
    m_targetDistance = m_entityManager->GetEntityInfo(m_target)->distance;
    if (m_targetDistance == 0.0f || !(m_gunRange > 0.0f))
        return false;
    m_gunPosition = m_gun != nullptr ? m_gun->value : GetBrain()->GetOwner()->GetPosition();
    return true;
}

bool CShooterAgent::Think() {
    CEntity* owner = GetBrain()->GetOwner();
    GetActionClass()->ClearActions();
    if (m_target == nullptr)
        return false;
    const CEntityInfo* record = m_entityManager->GetEntityInfo(m_target);
    if (m_targetDistance < m_gunRange && record->blocked == 0) {
        const float now = CTimeManager::GetFrameStartTime();
        CTimeManager* time = CTimeManager::GetInstance();
        if (now > m_nextAimTime && time != nullptr && time->BeginTask(m_task, owner)) {
            Aim();
            time->EndTask(m_task, owner);
            m_nextAimTime = now + m_aimInterval;
        }
    } else {
        m_fire = 0;
    }
    if (m_rotate != nullptr) {
        m_rotate->value = m_aimYaw;
        m_rotate->set = 1;
    } else {
        // The difference is not wrapped: across +-180 the turn may go the long way round.
        const float d = m_aimYaw - owner->GetAngles().y;
        m_steering->value = d > kSteeringDeadBand ? 1.0f : d < -kSteeringDeadBand ? -1.0f : 0.0f;
        m_steering->set = 1;
    }
    m_shoot->direction = m_aimDirection;
    m_shoot->fire = m_fire;
    m_shoot->set = 1;
    m_moveTarget = owner->GetPosition();
    if (m_fire)
        return true;
    m_moveTarget = m_target->GetPosition();
    return Vusk::MoveThroughPathFinder(m_pathFinder, GetActionClass(), m_moveTarget);
}

void CShooterAgent::Aim() {
    const CVector3 angles = Vusk::DirectionToAngle(m_target->GetPosition() - m_gunPosition);
    float yaw = angles.y;
    if (yaw > 180.0f)
        yaw -= 360.0f;
    else if (yaw < -180.0f)
        yaw += 360.0f;
    m_aimYaw = yaw;
    const float yawError = 2.0f * static_cast<float>(crt_rand()) * m_maxInaccuracy / CRT_RAND_MAX - m_maxInaccuracy;
    const float pitchError = 2.0f * static_cast<float>(crt_rand()) * m_maxInaccuracy / CRT_RAND_MAX - m_maxInaccuracy;
    m_aimDirection = Vusk::AnglesToDirection(angles.x + pitchError, yaw + yawError);
    m_fire = IsLineOfFireClear(m_aimDirection) ? 1 : 0;
}

bool CShooterAgent::IsLineOfFireClear(const CVector3& direction) {
    CWorld* world = Vusk::GetCurrentWorld();
    if (m_dangerousConeAngle <= 0.0f || m_teamSide == nullptr || world == nullptr || world->GetEntityTable() == nullptr)
        return true;
    // Friends are the entities holding the friend bit whose entity manager record is not an enemy one.
    const CEntity* owner = GetBrain()->GetOwner();
    for (CEntity* entity : *world->GetEntityTable()) {
        if (entity == owner || entity == m_target || (entity->GetClassBitMask() & kFriendMaskBit) == 0)
            continue;
        if (m_entityManager->GetEntityInfo(entity)->enemy == 0 &&
            Vusk::IsInVisionCone(entity->GetPosition(), m_gunPosition, direction, m_dangerousConeAngle, m_gunRange))
            return false;
    }
    return true;
}
