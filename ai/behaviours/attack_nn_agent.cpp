#include "ai/behaviours/attack_nn_agent.h"

#include <cmath>

#include "ai/behaviours/entity_manager.h"
#include "ai/navigation/neural_net.h"
#include "ai/navigation/path_finder.h"
#include "ai/runtime/brain.h"
#include "ai/runtime/config_node.h"
#include "ai/runtime/engine.h"
#include "ai/runtime/entity.h"
#include "ai/runtime/entity_attribute.h"
#include "ai/runtime/world.h"
#include "platform/crt.h"

CAgentDesc CAttackNNAgent::s_classDesc("CAttackNNAgent", &CAttackNNAgent::Create, nullptr, false, false);

namespace {

constexpr float kRadToDeg = 57.29578f;
constexpr float kDeadBand = 3.0f;   // degrees
constexpr float kHeadLimit = 45.0f; // degrees between head and body

} // namespace

CAgent* CAttackNNAgent::Create(CBrain* owner) { return new CAttackNNAgent(owner); }

CAttackNNAgent::CAttackNNAgent(CBrain* owner) : CAgent(owner) {}

const CAgentDesc* CAttackNNAgent::GetClassDesc() const { return &s_classDesc; }

CEntity* CAttackNNAgent::GetOwner() const { return GetBrain()->GetOwner(); }

void CAttackNNAgent::OnEntityRemoved(CEntity* entity, void* user) {
    auto* self = static_cast<CAttackNNAgent*>(user);
    if (self->m_target == entity)
        self->m_target = nullptr;
}

bool CAttackNNAgent::CheckPathFinder() { return m_pathFinder != nullptr; }

bool CAttackNNAgent::CheckEntityManager() { return m_entityManager != nullptr; }

bool CAttackNNAgent::CheckNetManager() { return m_netManager != nullptr; }

bool CAttackNNAgent::CheckActions() {
    return m_shoot != nullptr && (m_rotate != nullptr || m_steering != nullptr) && m_speed != nullptr;
}

bool CAttackNNAgent::CheckAttributes() { return m_maxSpeed != nullptr && m_width != nullptr; }

bool CAttackNNAgent::SetStrategy(const char* name) {
    CNeuralNet* net = m_netManager != nullptr ? m_netManager->FindNet(name) : nullptr;
    // Think writes seven inputs and reads seven outputs.
    if (net == nullptr || net->GetLayerCount() < 1 ||
        net->GetLayer(0)->GetNeuronCount() != static_cast<uint32_t>(kInputCount) ||
        net->GetLayer(net->GetLayerCount() - 1)->GetNeuronCount() != static_cast<uint32_t>(kOutputCount))
        return false;
    m_strategy = net;
    m_inputs = m_outputs = nullptr;
    return true;
}

bool CAttackNNAgent::ReadParam(CConfigNode* node) {
    const char* name = node->GetName();
    const char* value = node->GetValue();
    if (name == nullptr || value == nullptr)
        return false;
    float* distances[] = {&m_distanceContact, &m_distanceClose, &m_distanceFar, &m_imprecisionDist, &m_slowDist};
    const char* const keys[] = {"DistanceContact", "DistanceClose", "DistanceFar", "ImprecisionDist", "SlowDist"};
    for (int i = 0; i < 5; ++i) {
        if (_stricmp(name, keys[i]) == 0) {
            *distances[i] = static_cast<float>(crt_atof(value)) * Vusk::GetCurrentOneMeter();
            return true;
        }
    }
    if (_stricmp(name, "CanWalkBackwards") == 0) {
        if (_stricmp(value, "true") == 0)
            m_canWalkBackwards = 1;
        else if (_stricmp(value, "false") == 0)
            m_canWalkBackwards = 0;
        else
            return false;
        return true;
    }
    if (_stricmp(name, "StrategyUsed") == 0)
        return SetStrategy(value);
    return false;
}

bool CAttackNNAgent::Init(CConfigNode* definition) {
    const float meter = Vusk::GetCurrentOneMeter();
    m_target = nullptr;
    m_distanceContact = 1.0f * meter;
    m_distanceClose = 5.0f * meter;
    m_distanceFar = 10.0f * meter;
    m_imprecisionDist = 0.5f * meter;
    m_canWalkBackwards = 1;
    m_slowDist = 1.0f * meter;
    m_strategy = nullptr;
    m_inputs = m_outputs = nullptr;
    m_sideChoice = m_rangeChoice = -1;
    m_pathFinder = static_cast<IPathFinder*>(GetBrain()->GetService(&IPathFinder::s_classDesc));
    m_entityManager = static_cast<CEntityManager*>(GetBrain()->GetService(&CEntityManager::s_classDesc));
    CWorld* world = Vusk::GetCurrentWorld();
    m_netManager = world != nullptr
                       ? static_cast<CNeuralNetManager*>(world->GetGlobalService(&CNeuralNetManager::s_classDesc))
                       : nullptr;
    if (definition == nullptr || !CAgent::Init(definition))
        return false;
    if (CActionClass* own = GetActionClass()) {
        m_shoot = own->FindAction<CActionShoot>();
        m_headRotate = own->FindAction<CActionHeadRotate>();
        m_rotate = own->FindAction<CActionRotate>();
        m_steering = own->FindAction<CActionSteering>();
        m_speed = own->FindAction<CActionSpeed>();
    }
    m_maxSpeed = GetOwner()->FindAttribute<CEntityMaxSpeed>();
    m_width = GetOwner()->FindAttribute<CEntityWidth>();
    if (!CheckPathFinder() || !CheckEntityManager() || !CheckNetManager() || !CheckActions() || !CheckAttributes())
        return false;
    // A target that leaves the world must not stay behind as a dangling pointer.
    return m_removedHook.Register();
}

bool CAttackNNAgent::IsReady() {
    if (m_target == nullptr)
        m_target = m_entityManager->GetNearestEnemy();
    if (m_target == nullptr || m_strategy == nullptr)
        return false;
    m_inputs = m_strategy->GetInputs();
    m_outputs = m_strategy->GetOutputs();
    return m_inputs != nullptr && m_outputs != nullptr;
}

void CAttackNNAgent::Classify() {
    CEntity* owner = GetOwner();
    const CVector3 toTarget = m_target->GetPosition() - owner->GetPosition();
    m_aimAngles = Vusk::DirectionToAngle(toTarget);
    const float a = CVector3::WrapAngleFully180(m_aimAngles.y - m_target->GetAngles().y);
    if (a >= -30.0f && a <= 30.0f)
        m_angleClass = 0;
    else if (a >= 60.0f && a <= 120.0f)
        m_angleClass = 1;
    else if (a >= 150.0f || a <= -150.0f)
        m_angleClass = 2;
    else if (a >= -120.0f && a <= -60.0f)
        m_angleClass = 3;
    m_inputs[3 + m_angleClass] = 1.0f;

    const float h = std::sqrt(toTarget.x * toTarget.x + toTarget.z * toTarget.z);
    const float c = m_distanceContact, k = m_distanceClose, f = m_distanceFar, i = m_imprecisionDist;
    if (h < c + i)
        m_distanceClass = 2;
    else if (h < k - i) {
    } else if (h < k + i)
        m_distanceClass = 1;
    else if (h < f - i) {
    } else
        m_distanceClass = 0;
    m_inputs[m_distanceClass] = 1.0f;

    m_atContact = 0;
    if (h < c + i) {
        m_atContact = 1;
        m_shoot->direction = owner->GetDirection();
        m_shoot->fire = 1;
        m_shoot->set = 1;
    }
}

void CAttackNNAgent::ComputeGoalPoint() {
    float r = m_rangeChoice == 0 ? m_distanceFar : (m_rangeChoice == 1 ? m_distanceClose : m_distanceContact);
    const CVector3 d = m_target->GetDirection();
    CVector3 s;
    switch (m_sideChoice) {
    case 1:
        s = CVector3(d.z, 0.0f, -d.x);
        break;
    case 2:
        s = CVector3(-d.x, 0.0f, -d.z);
        break;
    case 3:
        s = CVector3(-d.z, 0.0f, d.x);
        break;
    default:
        s = d;
        break;
    }
    const CVector3 from = m_target->GetPosition();
    CVector3 p = from + s * r;
    CRayHit hit;
    if (Vusk::RayAdapter ray = Vusk::GetEngineSettings().ray)
        ray(from, p, GetOwner(), &hit, 2);
    if (hit.fraction < 0.999f) {
        r = hit.fraction * r - m_width->value;
        p = from + s * r;
    }
    m_goalPoint = p;
}

void CAttackNNAgent::TurnTo(float yaw) {
    if (m_rotate != nullptr) {
        m_rotate->value = yaw;
        m_rotate->set = 1;
        return;
    }
    const float delta = CVector3::WrapAngleFully180(yaw - GetOwner()->GetAngles().y);
    m_steering->value = delta > kDeadBand ? 1.0f : (delta < -kDeadBand ? -1.0f : 0.0f);
    m_steering->set = 1;
}

float CAttackNNAgent::AimYaw() const {
    // The aim angles are those of the direction from the owner to the target, in the same convention as
    // the heading (atan2(x, z)): facing the target is turning to the aim yaw itself.
    return CVector3::WrapAngleFully180(m_aimAngles.y);
}

void CAttackNNAgent::TurnHead() {
    const float yaw = GetOwner()->GetAngles().y;
    const float a = AimYaw();
    const float b = CVector3::WrapAngleFully180(m_aimAngles.x);
    const float offset = CVector3::WrapAngleFully180(a - yaw);
    m_headRotate->angle1 = b;
    m_headRotate->angle2 = std::fabs(offset) <= kHeadLimit
                               ? a
                               : CVector3::WrapAngleFully180(yaw + (offset > 0.0f ? kHeadLimit : -kHeadLimit));
    m_headRotate->set = 1;
}

void CAttackNNAgent::ApproachDirectly() {
    CEntity* owner = GetOwner();
    const CVector3 g = m_goalPoint - owner->GetPosition();
    const float d = std::sqrt(g.x * g.x + g.z * g.z);
    const float heading = std::atan2(g.x, g.z) * kRadToDeg;
    const float a = AimYaw();
    const float yaw = owner->GetAngles().y;
    const float m = m_maxSpeed->value;
    const bool far = d > m_slowDist && !(m_arrived && d <= 2.0f * m_slowDist);
    if (far) {
        m_arrived = 0;
        if (!m_canWalkBackwards) {
            m_walkBackwards = 0;
        } else if (CVector3::DistanceSquared(m_goalPoint, m_lastGoal) > 0.5f * Vusk::GetCurrentOneMeter()) {
            m_lastGoal = m_goalPoint;
            m_walkBackwards = std::fabs(CVector3::WrapAngleFully180(a - heading)) > 135.0f ? 1 : 0;
        }
        TurnTo(CVector3::WrapAngleFully180(heading + (m_walkBackwards ? 180.0f : 0.0f)));
        float e = CVector3::WrapAngleFully180(heading - yaw);
        if (m_walkBackwards) {
            e = std::fmod(heading - yaw, 360.0f);
            if (e < 0.0f)
                e += 360.0f;
            e -= 180.0f;
            m_speed->value = std::fabs(e) <= kHeadLimit ? -m : -m / 3.0f;
        } else {
            m_speed->value = std::fabs(e) <= kHeadLimit ? m : m / 3.0f;
        }
        m_speed->set = 1;
        if (m_shoot->set && m_shoot->fire && m_headRotate != nullptr)
            TurnHead();
        return;
    }
    if (m_headRotate != nullptr)
        TurnHead();
    if (d <= m_imprecisionDist) {
        m_arrived = 1;
        m_speed->value = 0.0f;
        m_speed->set = 1;
        TurnTo(a);
        return;
    }
    m_speed->value = (m_walkBackwards ? -0.25f : 0.25f) * d;
    m_speed->set = 1;
    TurnTo(CVector3::WrapAngleFully180(heading + (m_walkBackwards ? 180.0f : 0.0f)));
}

bool CAttackNNAgent::Think() {
    m_shoot->fire = 0;
    GetActionClass()->ClearActions();
    if (m_inputs == nullptr || m_outputs == nullptr)
        return false;
    for (int i = 0; i < kInputCount; ++i)
        m_inputs[i] = 0.0f;
    if (m_target == nullptr)
        return false;
    Classify();
    m_strategy->Evaluate();
    m_sideChoice = 0;
    for (int i = 1; i < 4; ++i)
        if (m_outputs[i] > m_outputs[m_sideChoice])
            m_sideChoice = i;
    m_rangeChoice = 0;
    for (int i = 1; i < 3; ++i)
        if (m_outputs[4 + i] > m_outputs[4 + m_rangeChoice])
            m_rangeChoice = i;
    ComputeGoalPoint();
    if (m_entityManager->GetEntityInfo(m_target)->blocked) {
        if (!m_pathFinder->FindNextMoveToPosition(m_goalPoint))
            return false;
        GetActionClass()->CopyFrom(m_pathFinder->GetActionClass());
        return true;
    }
    ApproachDirectly();
    if (m_shoot->set && m_shoot->fire) {
        if (m_headRotate != nullptr && m_headRotate->set) {
            m_shoot->direction = Vusk::AnglesToDirection(m_headRotate->angle1, m_headRotate->angle2);
        } else {
            const CVector3 line = m_target->GetPosition() - GetOwner()->GetPosition();
            m_shoot->direction =
                line.LengthSquared() > 0.0f ? CVector3::GetNormalized(line) : GetOwner()->GetDirection();
        }
        m_shoot->set = 1;
    }
    return true;
}
