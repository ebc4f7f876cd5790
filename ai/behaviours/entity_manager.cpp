#include "ai/behaviours/entity_manager.h"

#include <cfloat>
#include <cmath>

#include "ai/behaviours/sound_manager.h"
#include "ai/runtime/allocator.h"
#include "ai/runtime/brain.h"
#include "ai/runtime/config_node.h"
#include "ai/runtime/engine.h"
#include "ai/runtime/entity.h"
#include "ai/runtime/entity_attribute.h"
#include "ai/runtime/time_manager.h"
#include "ai/runtime/world.h"
#include "platform/crt.h"

CServiceDesc CEntityManager::s_classDesc("CEntityManager", &CEntityManager::Create, nullptr, true, true);

namespace {

// Distance and line-of-sight data per unordered pair of entity indices, shared by every entity
// manager. The pair (a, b), a > b, has the index a (a - 1) / 2 + b.
struct SharedPairs {
    uint32_t entityCount = 0;          // MaxEntity the tables were made for
    uint64_t pairCount = 0;            // entityCount (entityCount - 1) / 2
    uint8_t* blocked = nullptr;        // line of sight blocked (1 when made)
    float* nextDistanceTime = nullptr; // engine time after which the distance may be measured again (s)
    float* nextSightTime = nullptr;    // engine time after which the line of sight may be tested again (s)
    float* distance = nullptr;         // last measured distance (host units)
    uint32_t users = 0;                // entity managers using the tables
};

SharedPairs g_pairs;

void FreePairs() {
    Vusk::EngineFree(g_pairs.blocked);
    Vusk::EngineFree(g_pairs.nextDistanceTime);
    Vusk::EngineFree(g_pairs.nextSightTime);
    Vusk::EngineFree(g_pairs.distance);
    g_pairs = SharedPairs{};
}

bool MakePairs(uint32_t entityCount) {
    const uint64_t pairs = static_cast<uint64_t>(entityCount) * (entityCount - 1u) / 2u;
    if (entityCount < 2 || pairs > SIZE_MAX / sizeof(float))
        return false;
    g_pairs.entityCount = entityCount;
    g_pairs.pairCount = pairs;
    g_pairs.blocked = static_cast<uint8_t*>(Vusk::EngineAllocate(pairs));
    g_pairs.nextDistanceTime = static_cast<float*>(Vusk::EngineAllocate(pairs * sizeof(float)));
    g_pairs.nextSightTime = static_cast<float*>(Vusk::EngineAllocate(pairs * sizeof(float)));
    g_pairs.distance = static_cast<float*>(Vusk::EngineAllocate(pairs * sizeof(float)));
    if (g_pairs.blocked == nullptr || g_pairs.nextDistanceTime == nullptr || g_pairs.nextSightTime == nullptr ||
        g_pairs.distance == nullptr) {
        FreePairs();
        return false;
    }
    for (uint64_t i = 0; i < pairs; ++i) {
        g_pairs.blocked[i] = 1;
        g_pairs.nextDistanceTime[i] = 0.0f;
        g_pairs.nextSightTime[i] = 0.0f;
        g_pairs.distance[i] = 0.0f;
    }
    return true;
}

uint64_t PairIndex(int a, int b) {
    const uint64_t high = static_cast<uint64_t>(a > b ? a : b);
    const uint64_t low = static_cast<uint64_t>(a > b ? b : a);
    return high * (high - 1u) / 2u + low;
}

CEntityInfo g_outsideRecord; // answered for entities outside the world; cleared before each use

CVector3 EyePoint(const CEntity* entity) {
    const auto* eye = entity->FindAttribute<CEntityEyePosition>();
    return eye != nullptr ? eye->value : entity->GetPosition();
}

int32_t SideOf(const CEntity* entity) {
    const auto* side = entity->FindAttribute<CEntityTeamSide>();
    return side != nullptr ? side->value : -1;
}

} // namespace

void CEntityInfo::Clear() {
    nextSightTime = 0.0f;
    nextCommonTime = 0.0f;
    distance = 0.0f;
    seen = 0;
    blocked = 0;
    heard = 0;
    enemy = 0;
}

CService* CEntityManager::Create(CBrain* owner) { return new CEntityManager(owner); }

CEntityManager::CEntityManager(CBrain* owner) : CService(owner) {}

CEntityManager::~CEntityManager() {
    delete[] m_infos;
    if (m_sharedTaken && --g_pairs.users == 0)
        FreePairs();
}

const CServiceDesc* CEntityManager::GetClassDesc() const { return &s_classDesc; }

bool CEntityManager::ReadParam(CConfigNode* node) {
    const char* name = node->GetName();
    const char* value = node->GetValue();
    if (name == nullptr || value == nullptr)
        return false;
    if (_stricmp(name, "ComputeInfoDelay") == 0) {
        m_computeInfoDelay = static_cast<float>(crt_atof(value));
        return true;
    }
    if (_stricmp(name, "ComputeCommonInfoDelay") == 0) {
        m_computeCommonInfoDelay = static_cast<float>(crt_atof(value));
        return true;
    }
    return false;
}

bool CEntityManager::Init(CConfigNode* definition) {
    if (!CService::Init(definition))
        return false;
    CWorld* world = Vusk::GetCurrentWorld();
    if (world == nullptr || world->GetMaxEntity() < 2 || m_infos != nullptr)
        return false;
    const uint32_t entityCount = world->GetMaxEntity();
    m_infos = new CEntityInfo[entityCount];
    if (m_infos == nullptr)
        return false;
    m_infoCount = entityCount;
    // The shared tables serve one entity count; a world of another size may only rebuild them
    // once nobody uses them.
    if (g_pairs.users == 0 && g_pairs.entityCount != entityCount) {
        FreePairs();
        if (!MakePairs(entityCount))
            return false;
    } else if (g_pairs.entityCount != entityCount) {
        return false;
    }
    ++g_pairs.users;
    m_sharedTaken = true;

    m_soundManager = static_cast<CSoundManager*>(world->GetGlobalService(&CSoundManager::s_classDesc));
    CTimeManager* time = CTimeManager::GetInstance();
    m_task = time != nullptr ? time->FindTask(kTaskName) : -1;
    if (m_task == -1)
        return false;
    const CEntity* owner = GetBrain()->GetOwner();
    m_eye = owner->FindAttribute<CEntityEyePosition>();
    m_headDirection = owner->FindAttribute<CEntityHeadDirection>();
    m_teamSide = owner->FindAttribute<CEntityTeamSide>();
    m_acuteness = owner->FindAttribute<CEntityVisualAcuteness>();
    m_dirty[0] = m_dirty[1] = m_dirty[2] = 1;
    return m_removedHook.Register();
}

void CEntityManager::Update() {
    for (uint64_t i = 0; i < g_pairs.pairCount; ++i) {
        g_pairs.blocked[i] = 0;
        g_pairs.nextDistanceTime[i] = 0.0f;
        g_pairs.nextSightTime[i] = 0.0f;
        g_pairs.distance[i] = 0.0f;
    }
    for (uint32_t i = 0; i < m_infoCount; ++i)
        m_infos[i].Clear();
    m_dirty[0] = m_dirty[1] = m_dirty[2] = 1;
}

void CEntityManager::OnEntityRemoved(CEntity* entity, void* user) {
    auto* self = static_cast<CEntityManager*>(user);
    CEntity** fields[] = {&self->m_nearestSeen,      &self->m_nearestUnblocked,      &self->m_nearest,
                          &self->m_nearestSeenEnemy, &self->m_nearestUnblockedEnemy, &self->m_nearestEnemy};
    for (CEntity** field : fields) {
        if (*field == entity)
            *field = nullptr;
    }
    self->m_dirty[0] = 1;
    // What was measured of the entity's slot goes with it: the next entity in that slot is measured
    // afresh, not seen through the one that left (its index is still its own during the callback).
    const int index = entity != nullptr ? entity->GetIndex() : -1;
    if (index < 0)
        return;
    if (static_cast<uint32_t>(index) < self->m_infoCount)
        self->m_infos[index].Clear();
    for (uint32_t other = 0; static_cast<uint32_t>(index) < g_pairs.entityCount && other < g_pairs.entityCount;
         ++other) {
        if (other == static_cast<uint32_t>(index))
            continue;
        const uint64_t pair = PairIndex(index, static_cast<int>(other));
        g_pairs.blocked[pair] = 1;
        g_pairs.nextDistanceTime[pair] = 0.0f;
        g_pairs.nextSightTime[pair] = 0.0f;
        g_pairs.distance[pair] = 0.0f;
    }
}

void CEntityManager::MeasurePair(int a, int b, bool sightDue, float now) {
    CWorld* world = Vusk::GetCurrentWorld();
    if (world == nullptr || a == b || a < 0 || b < 0 || static_cast<uint32_t>(a) >= g_pairs.entityCount ||
        static_cast<uint32_t>(b) >= g_pairs.entityCount)
        return;
    CEntity* first = world->GetEntityAt(a);
    CEntity* second = world->GetEntityAt(b);
    if (first == nullptr || second == nullptr)
        return;
    const uint64_t pair = PairIndex(a, b);
    if (g_pairs.nextDistanceTime[pair] < now) {
        g_pairs.distance[pair] = std::sqrt(CVector3::DistanceSquared(first->GetPosition(), second->GetPosition()));
        g_pairs.nextDistanceTime[pair] = now + m_computeCommonInfoDelay;
    }
    if (sightDue && g_pairs.nextSightTime[pair] < now) {
        const bool clear = Vusk::HasLineOfSight(EyePoint(first), EyePoint(second), first, 1);
        g_pairs.blocked[pair] = clear ? 0 : 1;
        g_pairs.nextSightTime[pair] = now + m_computeCommonInfoDelay;
    }
}

bool CEntityManager::Refresh(int j) {
    CWorld* world = Vusk::GetCurrentWorld();
    CEntity* owner = GetBrain()->GetOwner();
    CEntity* entity = world != nullptr ? world->GetEntityAt(j) : nullptr;
    const int ownerIndex = owner->GetIndex();
    if (entity == nullptr || entity == owner || (entity->GetClassBitMask() & s_classDesc.GetClassBit()) == 0 ||
        ownerIndex < 0 || static_cast<uint32_t>(j) >= m_infoCount)
        return false;
    CEntityInfo& info = m_infos[j];
    const float now = CTimeManager::GetFrameStartTime();
    const bool sightDue = (m_requestAll != 0 || (m_requestEnemies != 0 && info.enemy != 0)) && info.nextSightTime < now;
    const bool commonDue = info.nextCommonTime < now;

    CTimeManager* time = CTimeManager::GetInstance();
    if (time != nullptr && time->BeginTask(m_task, owner)) {
        MeasurePair(ownerIndex, j, sightDue, now);
        time->EndTask(m_task, owner);
    }
    const bool pairKnown = static_cast<uint32_t>(ownerIndex) < g_pairs.entityCount &&
                           static_cast<uint32_t>(j) < g_pairs.entityCount && ownerIndex != j;
    const uint64_t pair = pairKnown ? PairIndex(ownerIndex, j) : 0;
    if (commonDue) {
        const int32_t ownerSide = m_teamSide != nullptr ? m_teamSide->value : -1;
        const int32_t side = SideOf(entity);
        info.enemy = ownerSide != -1 && side != -1 && ownerSide != side ? 1 : 0;
        info.distance = pairKnown ? g_pairs.distance[pair] : 0.0f;
        info.heard = m_soundManager != nullptr && m_soundManager->CanHear(owner, entity) ? 1 : 0;
        info.nextCommonTime = now + m_computeInfoDelay;
    }
    if (sightDue) {
        info.blocked = pairKnown ? g_pairs.blocked[pair] : 1;
        if (m_acuteness != nullptr) {
            const CVector3 eye = m_eye != nullptr ? m_eye->value : owner->GetPosition();
            const CVector3 view = m_headDirection != nullptr ? m_headDirection->value : owner->GetDirection();
            info.seen = info.blocked == 0 && Vusk::IsInVisionCone(EyePoint(entity), eye, view, m_acuteness->angle,
                                                                  m_acuteness->range)
                            ? 1
                            : 0;
        } else {
            info.seen = info.blocked == 0 ? 1 : 0;
        }
        info.nextSightTime = now + m_computeInfoDelay;
    }
    return commonDue || sightDue;
}

CEntityInfo* CEntityManager::GetEntityInfo(const CEntity* entity) {
    // A direct request refreshes the sight data too.
    m_requestAll = 1;
    m_requestEnemies = 1;
    if (entity == nullptr)
        return m_infos;
    const int index = entity->GetIndex();
    if (index < 0 || static_cast<uint32_t>(index) >= m_infoCount || entity->GetWorld() != Vusk::GetCurrentWorld()) {
        g_outsideRecord.Clear();
        return &g_outsideRecord;
    }
    Refresh(index);
    return &m_infos[index];
}

void CEntityManager::RecomputeNearest() {
    CWorld* world = Vusk::GetCurrentWorld();
    CEntity* owner = GetBrain()->GetOwner();
    if (world == nullptr || world->GetEntityTable() == nullptr)
        return;
    float best[6] = {FLT_MAX, FLT_MAX, FLT_MAX, FLT_MAX, FLT_MAX, FLT_MAX};
    CEntity** fields[6] = {&m_nearestSeen,      &m_nearestUnblocked,      &m_nearest,
                           &m_nearestSeenEnemy, &m_nearestUnblockedEnemy, &m_nearestEnemy};
    const bool anyDirty = m_dirty[0] != 0 || m_dirty[1] != 0 || m_dirty[2] != 0;
    for (CEntity* entity : *world->GetEntityTable()) {
        if (entity == owner || (entity->GetClassBitMask() & s_classDesc.GetClassBit()) == 0)
            continue;
        const int index = entity->GetIndex();
        if (index < 0 || static_cast<uint32_t>(index) >= m_infoCount)
            continue;
        if (!Refresh(index) && !anyDirty)
            continue;
        const CEntityInfo& info = m_infos[index];
        const float d = info.distance;
        auto consider = [&](int kind) {
            if (*fields[kind] == nullptr || d < best[kind]) {
                *fields[kind] = entity;
                best[kind] = d;
            }
        };
        if (info.seen != 0) {
            consider(0);
            if (info.enemy != 0)
                consider(3);
        }
        if (info.blocked == 0) {
            consider(1);
            if (info.enemy != 0)
                consider(4);
        }
        consider(2);
        if (info.enemy != 0)
            consider(5);
    }
    m_dirty[0] = 0;
    if (m_requestAll != 0)
        m_dirty[1] = 0;
    if (m_requestEnemies != 0)
        m_dirty[2] = 0;
}

CEntity* CEntityManager::GetNearestEnemy() {
    m_requestAll = 0;
    m_requestEnemies = 0;
    m_nearestEnemy = nullptr;
    m_dirty[0] = 1;
    RecomputeNearest();
    return m_nearestEnemy;
}

bool Vusk::CheckEntityManagerClasses() {
    return CEntityManager::s_classDesc.GetIndex() != -1 && CSoundManager::s_classDesc.GetIndex() != -1;
}
