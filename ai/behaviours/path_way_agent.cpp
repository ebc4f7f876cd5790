#include "ai/behaviours/path_way_agent.h"

#include <cmath>
#include <cstdio>
#include <cstring>

#include "ai/navigation/path_finder.h"
#include "ai/navigation/path_way.h"
#include "ai/runtime/brain.h"
#include "ai/runtime/config_node.h"
#include "ai/runtime/engine.h"
#include "ai/runtime/entity.h"
#include "ai/runtime/entity_attribute.h"
#include "ai/runtime/time_manager.h"
#include "ai/runtime/world.h"
#include "platform/crt.h"

CAgentDesc CPathWayAgent::s_classDesc("CPathWayAgent", &CPathWayAgent::Create, nullptr, false, false);

CAgent* CPathWayAgent::Create(CBrain* owner) { return new CPathWayAgent(owner); }

CPathWayAgent::CPathWayAgent(CBrain* owner) : CAgent(owner) {}

const CAgentDesc* CPathWayAgent::GetClassDesc() const { return &s_classDesc; }

CEntity* CPathWayAgent::GetOwner() const { return GetBrain()->GetOwner(); }

bool CPathWayAgent::CheckServices() { return m_pathFinder != nullptr; }

bool CPathWayAgent::CheckManager() { return m_manager != nullptr; }

bool CPathWayAgent::CheckActions() {
    return (m_speed != nullptr) != (m_acceleration != nullptr) && (m_rotate != nullptr) != (m_steering != nullptr);
}

bool CPathWayAgent::IsReady() { return m_pathWay != nullptr && m_pathWay->GetStepCount() > 0; }

bool CPathWayAgent::ReadParam(CConfigNode* node) {
    if (!node->HasName("PathWayName") || m_manager == nullptr)
        return false;
    CPathWay* pathWay = m_manager->FindPathWay(node->GetValue());
    if (pathWay == nullptr)
        return false;
    m_pathWay = pathWay;
    return true;
}

void CPathWayAgent::Reset() {
    const uint32_t count = m_pathWay != nullptr ? m_pathWay->GetStepCount() : 0;
    m_currentStep = m_reverse ? static_cast<int32_t>(count) - 1 : 0;
    m_atStep = 0;
    m_finished = 0;
    m_pausing = 0;
    m_rotating = 0;
    m_orienting = 0;
}

void CPathWayAgent::Update() { Reset(); }

bool CPathWayAgent::Init(CConfigNode* definition) {
    m_pausing = m_rotating = m_orienting = 0;
    m_reverse = 0;
    if (definition == nullptr)
        return false;
    m_pathFinder = static_cast<IPathFinder*>(GetBrain()->GetService(&IPathFinder::s_classDesc));
    CWorld* world = Vusk::GetCurrentWorld();
    m_manager = world != nullptr ? static_cast<CPathWayManager*>(world->GetGlobalService(&CPathWayManager::s_classDesc))
                                 : nullptr;
    if (!CheckServices() || !CheckManager() || !CAgent::Init(definition))
        return false;
    Reset();
    CActionClass* own = GetActionClass();
    if (own == nullptr)
        return false;
    m_speed = own->FindAction<CActionSpeed>();
    m_acceleration = own->FindAction<CActionAcceleration>();
    m_crouch = own->FindAction<CActionCrouch>();
    m_jump = own->FindAction<CActionJump>();
    m_rotate = own->FindAction<CActionRotate>();
    m_steering = own->FindAction<CActionSteering>();
    if (CActionClass* pathFinderActions = m_pathFinder->GetActionClass()) {
        m_pathFinderSpeed = pathFinderActions->FindAction<CActionSpeed>();
        m_pathFinderAcceleration = pathFinderActions->FindAction<CActionAcceleration>();
    }
    m_maxSpeed = GetOwner()->FindAttribute<CEntityMaxSpeed>();
    return CheckActions();
}

void CPathWayAgent::HoldStill() {
    if (m_speed != nullptr) {
        m_speed->value = 0.0f;
        m_speed->set = 1;
    }
    if (m_acceleration != nullptr) {
        const float speed = GetOwner()->GetSpeed();
        const float rest = 0.05f * Vusk::GetCurrentOneMeter();
        m_acceleration->value = speed > rest ? -1.0f : (speed == rest ? 0.0f : 1.0f);
        m_acceleration->set = 1;
    }
}

bool CPathWayAgent::TurnTowards(float target) {
    const float yaw = GetOwner()->GetAngles().y;
    if (std::fabs(CVector3::WrapAngleFully180(target - yaw)) <= kAngleTolerance)
        return true;
    HoldStill();
    if (m_rotate != nullptr) {
        m_rotate->value = target;
        m_rotate->set = 1;
    }
    if (m_steering != nullptr) {
        const float delta = target - yaw;
        m_steering->value = delta > kAngleTolerance ? 1.0f : (delta < -kAngleTolerance ? -1.0f : 0.0f);
        m_steering->set = 1;
    }
    return false;
}

bool CPathWayAgent::ExecuteCommand(int32_t index) {
    const CPathWayStep* step = m_pathWay != nullptr ? m_pathWay->GetStep(static_cast<uint32_t>(index)) : nullptr;
    if (step == nullptr)
        return true;
    // The command field may come from a block without a terminator: parse a bounded copy.
    char command[CPathWayStep::kCommandSize + 1];
    std::memcpy(command, step->m_command, CPathWayStep::kCommandSize);
    command[CPathWayStep::kCommandSize] = '\0';
    char word[CPathWayStep::kCommandSize];
    char argument[CPathWayStep::kCommandSize];
    if (std::sscanf(command, "%63s %63s", word, argument) < 2)
        return true;
    const float a = static_cast<float>(crt_atof(argument));
    const float now = CTimeManager::GetFrameStartTime();
    const float yaw = GetOwner()->GetAngles().y;
    if (std::strcmp(word, "pause") == 0) {
        if (!m_pausing) {
            m_pauseEnd = now + a;
            m_pausing = 1;
        }
        if (m_pauseEnd > now)
            HoldStill();
        else
            m_pausing = 0;
    } else if (std::strcmp(word, "rotate") == 0) {
        if (!m_rotating) {
            m_rotateTarget = CVector3::WrapAngleFully180(yaw + a);
            m_rotating = 1;
        }
        if (TurnTowards(m_rotateTarget))
            m_rotating = 0;
    } else if (std::strcmp(word, "orient") == 0) {
        if (!m_orienting) {
            m_orientTarget = CVector3::WrapAngleFully180(a);
            m_orienting = 1;
        }
        if (TurnTowards(m_orientTarget))
            m_orienting = 0;
    }
    return !m_pausing && !m_rotating && !m_orienting;
}

bool CPathWayAgent::Think() {
    GetActionClass()->ClearActions();
    if (m_finished)
        return true;
    if (m_currentStep == -1 || !IsReady())
        return false;
    const uint32_t count = m_pathWay->GetStepCount();
    if (m_currentStep < 0 || static_cast<uint32_t>(m_currentStep) >= count) {
        // The path way lost steps since the last reset.
        Reset();
        if (m_currentStep < 0)
            return false;
    }
    const CPathWayStep* step = m_pathWay->GetStep(static_cast<uint32_t>(m_currentStep));
    if (!m_atStep) {
        if (!m_pathFinder->FindNextMoveToPosition(step->m_position))
            return false;
        GetActionClass()->CopyFrom(m_pathFinder->GetActionClass());
        if (m_pathFinder->IsGoalReached()) {
            m_atStep = 1;
            return true;
        }
        float s = m_maxSpeed != nullptr ? m_maxSpeed->value : 6.0f * Vusk::GetCurrentOneMeter();
        if (std::strcmp(step->m_moveMode, "walk") == 0) {
            s *= 0.25f;
        } else if (std::strcmp(step->m_moveMode, "crouch") == 0) {
            if (m_crouch != nullptr) {
                m_crouch->value = 1;
                m_crouch->set = 1;
            }
        } else if (std::strcmp(step->m_moveMode, "jump") == 0) {
            if (m_jump != nullptr) {
                m_jump->value = 1;
                m_jump->set = 1;
            }
        }
        if (m_speed != nullptr) {
            const float wanted = m_pathFinderSpeed != nullptr ? m_pathFinderSpeed->value : s;
            m_speed->value = wanted < s ? wanted : s;
            m_speed->set = 1;
        }
        if (m_acceleration != nullptr) {
            const float c = GetOwner()->GetSpeed();
            if (c > 1.05f * s) {
                m_acceleration->value = -1.0f;
                m_acceleration->set = 1;
            } else if (c >= 0.95f * s) {
                m_acceleration->value = 0.0f;
                m_acceleration->set = 1;
            } else if (m_pathFinderAcceleration != nullptr) {
                const float wanted = m_pathFinderAcceleration->value;
                m_acceleration->value = wanted < 1.0f ? wanted : 1.0f;
                m_acceleration->set = 1;
            }
        }
        return true;
    }
    if (!ExecuteCommand(m_currentStep))
        return true;
    m_atStep = 0;
    const uint8_t loop = m_pathWay->GetFlag();
    if (!m_reverse) {
        if (++m_currentStep >= static_cast<int32_t>(count)) {
            if (loop)
                m_currentStep = 0;
            else
                m_finished = 1;
        }
    } else {
        const int32_t left = m_currentStep--;
        if (left == 0) {
            if (loop) {
                m_currentStep = static_cast<int32_t>(count) - 1;
            } else {
                m_finished = 1;
                m_currentStep = static_cast<int32_t>(count);
            }
        }
    }
    return true;
}
