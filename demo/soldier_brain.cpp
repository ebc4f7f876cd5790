#include "demo/soldier_brain.h"

#include <cmath>

#include "ai/behaviours/entity_manager.h"
#include "ai/behaviours/follower_agents.h"
#include "ai/navigation/constraint.h"
#include "ai/navigation/path_finder.h"
#include "ai/navigation/path_strategies.h"
#include "ai/runtime/action.h"
#include "ai/runtime/entity.h"
#include "ai/runtime/world.h"
#include "demo/dunmarrow_agent.h"
#include "demo/game_order.h"
#include "demo/my_team.h"
#include "platform/crt.h"

CBrainDesc CSoldierBrain::s_desc("CSoldierBrain", &CSoldierBrain::Create, nullptr, false, false);

namespace {

float Heading(const CVector3& from, const CVector3& to) { return Vusk::DirectionToAngle(to - from).y; }

} // namespace

namespace Demo {
GameOrder& GetGameOrder() {
    static GameOrder order;
    return order;
}
} // namespace Demo

CBrain* CSoldierBrain::Create(CEntity* owner, const CActionClassDesc* actionClass) {
    return new CSoldierBrain(owner, actionClass);
}

float CSoldierBrain::DrawStopRadius2() {
    const float oneMeter = Vusk::GetCurrentOneMeter();
    return (static_cast<float>(crt_rand() % 101) + kNearestStopRadius2) * oneMeter * oneMeter;
}

CSoldierBrain::CSoldierBrain(CEntity* owner, const CActionClassDesc* actionClass) : CBrain(owner, actionClass) {
    const float oneMeter = Vusk::GetCurrentOneMeter();
    m_torsoRadius2 = 2.25f * oneMeter * oneMeter;
    m_stopRadius2 = DrawStopRadius2();
}

CSoldierBrain::~CSoldierBrain() {
    if (m_callbackRegistered)
        CWorld::RemoveEntityRemovedCallback(&CSoldierBrain::OnEntityRemoved, this);
}

const CBrainDesc* CSoldierBrain::GetClassDesc() const { return &s_desc; }

bool CSoldierBrain::ReadParam(CConfigNode*) { return false; }

void CSoldierBrain::OnEntityRemoved(CEntity* entity, void* user) {
    auto* self = static_cast<CSoldierBrain*>(user);
    if (self->m_player == entity)
        self->m_player = nullptr;
}

bool CSoldierBrain::Init(CConfigNode* definition) {
    if (!CBrain::Init(definition))
        return false;
    m_hider = static_cast<DunmarrowAgent*>(GetAgent(&DunmarrowAgent::s_classDesc));
    m_follower = static_cast<CFollowerAgent*>(GetAgent(&CFollowerAgent::s_classDesc));
    m_pathFinder = static_cast<CPathFinder*>(GetService(&CPathFinder::s_classDesc));
    m_entityManager = static_cast<CEntityManager*>(GetService(&CEntityManager::s_classDesc));
    CActionClass* actions = GetActionClass();
    m_speed = actions->FindAction<CActionSpeed>();
    m_rotate = actions->FindAction<CActionRotate>();
    m_torsoRotate = actions->FindAction<CActionTorsoRotate>();
    const float oneMeter = Vusk::GetCurrentOneMeter();
    m_torsoRadius2 = 2.25f * oneMeter * oneMeter;
    // Think relies on every one of them.
    if (m_hider == nullptr || m_follower == nullptr || m_pathFinder == nullptr || m_entityManager == nullptr ||
        m_speed == nullptr || m_rotate == nullptr || m_torsoRotate == nullptr)
        return false;
    m_pathFinder->SetHeuristic(&CPathCostHeuristic::s_classDesc);
    // The player is cached: it must not outlive its removal from the world.
    if (!m_callbackRegistered)
        m_callbackRegistered = CWorld::AddEntityRemovedCallback(&CSoldierBrain::OnEntityRemoved, this);
    return m_callbackRegistered;
}

bool CSoldierBrain::Think() {
    GetActionClass()->ClearActions();
    CWorld* world = GetOwner()->GetWorld();
    if (m_player == nullptr && world != nullptr)
        m_player = world->FindEntity("Player");
    if (m_player == nullptr)
        return false;
    const float oneMeter = Vusk::GetCurrentOneMeter();
    const float oneMeter2 = oneMeter * oneMeter;
    if (Demo::GetGameOrder().mode == Demo::kComeToMe)
        return ComeToPlayer(oneMeter2);
    return TakeCover(oneMeter2);
}

bool CSoldierBrain::ComeToPlayer(float oneMeter2) {
    m_pathFinder->m_simpleMove = Vusk::VisibleAvoidDynMove;
    if (m_follower->GetEntityToFollow() == nullptr) {
        m_follower->SetEntityToFollow(m_player);
        m_follower->SetDistance(0.0f);
        m_follower->SetAngle(0.0f);
    }
    const CEntity* self = GetOwner();
    const float d2 = CVector3::DistanceSquared(self->GetPosition(), m_player->GetPosition());
    if (d2 <= m_stopRadius2 && m_entityManager->GetEntityInfo(m_player)->blocked == 0) {
        // Standing by the player: it must now go beyond sqrt(150) units, or out of sight, to be
        // followed again.
        m_stopRadius2 = kStoppedRadius2 * oneMeter2;
        return true;
    }
    if (m_stopRadius2 == kStoppedRadius2 * oneMeter2)
        m_stopRadius2 = DrawStopRadius2();
    if (m_follower->IsReady() && m_follower->Think())
        GetActionClass()->CopyFrom(m_follower->GetActionClass());
    return true;
}

bool CSoldierBrain::TakeCover(float oneMeter2) {
    m_pathFinder->m_simpleMove = Vusk::VisibleMove;
    if (Demo::GetGameOrder().modeToggled)
        m_hider->RequestNewSearch();
    m_pathFinder->m_distGoal = DunmarrowAgent::kStandRadius * std::sqrt(oneMeter2);
    CEntity* self = GetOwner();
    if (m_hider->GetTeam() == nullptr) {
        // The first team of the entity shares its hiding places when it is a CMyTeam; without one
        // the bot does not hide.
        const CList<CTeam*>* teams = self->GetTeams();
        CTeam* first = teams != nullptr && teams->GetHead() != nullptr ? teams->GetHead()->GetValue() : nullptr;
        if (first == nullptr || first->GetClassDesc() != &CMyTeam::s_desc)
            return true;
        m_hider->SetTeam(static_cast<CMyTeam*>(first));
        m_hider->AddDangerousEntity(m_player);
        m_hider->SetResearchType(CHideAgent::kCloseToMe);
    }
    if (!m_hider->IsReady() || !m_hider->Think())
        return true;
    GetActionClass()->CopyFrom(m_hider->GetActionClass());
    const CVector3& position = self->GetPosition();
    if (!m_pathFinder->IsGoalReached()) {
        if (m_speed->set && m_speed->value > 0.0f) {
            const float d2 = CVector3::DistanceSquared(position, m_hider->GetDestination());
            if (d2 < oneMeter2)
                m_speed->value *= 0.2f;
            else if (d2 < 4.0f * oneMeter2)
                m_speed->value *= 0.6f;
        }
    } else {
        m_rotate->value = CVector3::WrapAngle180(Heading(position, m_player->GetPosition()));
        m_rotate->set = 1;
    }
    if (!m_pathFinder->IsGoalReached()) {
        // Hysteresis: the torso first turns within 1.5 units of the goal; once turning it keeps
        // on out to 3 units, and once it has stopped it starts again within 2.
        const float d2 = CVector3::DistanceSquared(position, m_pathFinder->m_goal);
        if (d2 < m_torsoRadius2) {
            m_torsoRadius2 = 9.0f * oneMeter2;
            m_torsoRotate->angle1 = CVector3::WrapAngle180(Heading(position, m_player->GetPosition()));
            m_torsoRotate->set = 1;
        } else {
            m_torsoRadius2 = 4.0f * oneMeter2;
        }
    }
    return true;
}
