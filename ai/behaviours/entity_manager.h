#pragma once
// CEntityManager: a brain service that gives its owner a perception record about every other
// entity of the world: distance, whether the line of sight between the two is blocked, whether
// the owner sees it (vision cone) or hears it, and whether it is an enemy. Records are refreshed
// when asked for, at most once per ComputeInfoDelay; the costly pair data (distance, line of
// sight) is shared by every entity manager, so each pair of entities is measured at most once per
// ComputeCommonInfoDelay whichever of the two asks. Only entities whose class-bit mask holds this
// class's bit take part. Times are seconds of engine time (the time manager's frame start).

#include <cstdint>

#include "ai/runtime/class_desc.h"
#include "ai/runtime/service.h"
#include "ai/runtime/world.h"

class CEntity;
class CEntityEyePosition;
class CEntityHeadDirection;
class CEntityTeamSide;
class CEntityVisualAcuteness;
class CSoundManager;

// What the owner knows about one other entity. A fresh or reset record is all zero.
class CEntityInfo : public CEngineObject {
public:
    void Clear();

    float nextSightTime = 0.0f;  // engine time after which the sight data may be refreshed (s)
    float nextCommonTime = 0.0f; // engine time after which distance, enemy and hearing may be refreshed (s)
    float distance = 0.0f;       // distance between the two positions (host units)
    uint8_t seen = 0;            // the owner sees the entity
    uint8_t blocked = 0;         // the line of sight between the two eye points is blocked
    uint8_t heard = 0;           // the owner hears a sound the entity made
    uint8_t enemy = 0;           // both have a team side other than -1 and the sides differ
};

class CEntityManager : public CService {
public:
    static CServiceDesc s_classDesc; // "CEntityManager", with a class bit in the engine-wide mask
    static CService* Create(CBrain* owner);
    static constexpr const char* kTaskName = "Vusk::CEntityManager::ComputeCommonInfo";

    explicit CEntityManager(CBrain* owner);
    // Deletes the records, unregisters the removal callback, frees the shared pair tables when
    // it was the last manager.
    ~CEntityManager() override;

    // Parameters, the records (one per entity slot of the world), the shared pair tables, the
    // sound manager, the task and the owner's attributes. False when the task is unknown, the
    // world has fewer than two entity slots, or the shared tables were made for another
    // MaxEntity and are still in use.
    bool Init(CConfigNode* definition) override;
    // "ComputeInfoDelay" and "ComputeCommonInfoDelay" (decimal seconds).
    bool ReadParam(CConfigNode* node) override;
    // Clears the shared pair tables and every record; every nearest field must be recomputed.
    void Update() override;
    const CServiceDesc* GetClassDesc() const override;

    // The owner's record on entity, refreshed (sight data included) when due; for a null entity
    // the whole table (MaxEntity records) without any refresh. An entity outside the world gets
    // an all-zero record that is not part of the table.
    CEntityInfo* GetEntityInfo(const CEntity* entity);
    // Nearest enemy over every taking-part entity, by the distance data only.
    CEntity* GetNearestEnemy();

    CEntity* GetNearestSeen() const { return m_nearestSeen; }
    CEntity* GetNearestUnblocked() const { return m_nearestUnblocked; }
    CEntity* GetNearest() const { return m_nearest; }
    CEntity* GetNearestSeenEnemy() const { return m_nearestSeenEnemy; }
    CEntity* GetNearestUnblockedEnemy() const { return m_nearestUnblockedEnemy; }
    CEntity* GetNearestEnemyField() const { return m_nearestEnemy; }
    float GetComputeInfoDelay() const { return m_computeInfoDelay; }
    float GetComputeCommonInfoDelay() const { return m_computeCommonInfoDelay; }
    uint32_t GetRecordCount() const { return m_infoCount; }

private:
    static void OnEntityRemoved(CEntity* entity, void* user);
    // Refreshes the record of table index j; true when its common or sight data was refreshed.
    bool Refresh(int j);
    void MeasurePair(int a, int b, bool sightDue, float now);
    void RecomputeNearest();

    float m_computeInfoDelay = 0.1f;       // least time between two refreshes of one record (s)
    float m_computeCommonInfoDelay = 0.5f; // least time between two measurements of one pair (s)
    CEntity* m_nearestSeen = nullptr;
    CEntity* m_nearestUnblocked = nullptr;
    CEntity* m_nearest = nullptr;
    CEntity* m_nearestSeenEnemy = nullptr;
    CEntity* m_nearestUnblockedEnemy = nullptr;
    CEntity* m_nearestEnemy = nullptr;
    CEntityInfo* m_infos = nullptr;                        // one record per entity slot of the world
    uint32_t m_infoCount = 0;                              // records in m_infos
    CSoundManager* m_soundManager = nullptr;               // the world's sound manager, or null
    const CEntityEyePosition* m_eye = nullptr;             // owner's eye position, or null
    const CEntityHeadDirection* m_headDirection = nullptr; // owner's head direction, or null
    const CEntityTeamSide* m_teamSide = nullptr;           // owner's team side, or null
    const CEntityVisualAcuteness* m_acuteness = nullptr;   // owner's vision, or null
    uint8_t m_requestAll = 0;                              // refresh the sight data of every entity asked for
    uint8_t m_requestEnemies = 0;                          // refresh the sight data of enemies asked for
    int m_task = -1;                                       // the time manager's pair-measurement task
    uint8_t m_dirty[3] = {1, 1, 1};                        // nearest fields to recompute: any, all, enemies
    bool m_sharedTaken = false;                            // this manager counts among the shared tables' users
    CEntityRemovedHook m_removedHook{&CEntityManager::OnEntityRemoved, this};
};

namespace Vusk {
// True when CEntityManager and CSoundManager both got a registry slot.
bool CheckEntityManagerClasses();
} // namespace Vusk
