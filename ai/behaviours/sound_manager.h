#pragma once
// CSoundManager: the world's pool of sounds. Each sound is made by an entity at a position with an
// intensity, a category and an end time; the manager answers whether one entity hears a sound
// made by another. The entity manager (entity_manager.h) uses it for the heard flag of its
// perception records. Times are seconds of engine time (the time manager's frame start).

#include <cstdint>

#include "ai/runtime/class_desc.h"
#include "ai/runtime/service.h"
#include "ai/runtime/vector3.h"
#include "ai/runtime/world.h"

class CEntity;

// One sound of the pool; records are chained into a free list and an active list by index.
class CSoundRecord : public CEngineObject {
public:
    CVector3 position;          // where the sound is (host units)
    CEntity* emitter = nullptr; // who made it
    int32_t category = 0;       // one of the category bits 1, 2, 4, 8, 16, 32, 64
    int32_t intensity = 0;      // loudness, a distance-like value
    float expiry = 0.0f;        // engine time at which the sound ends (s); -1: no end
    int32_t next = -1;          // next record of the free or the active list; -1: end
};

class CSoundManager : public CGlobalService {
public:
    static constexpr int kCategoryCount = 7;
    static CGlobalServiceDesc s_classDesc; // "CSoundManager", with a class bit kept out of the engine-wide mask
    static CGlobalService* Create();
    // The sound manager made current by the last successful Init; null when none.
    static CSoundManager* GetCurrent();

    CSoundManager() = default;
    ~CSoundManager() override;

    // Defaults, the parameters, the reservation check, the record pool; false for a null node.
    bool Init(CConfigNode* definition) override;
    // "MaxWorldSounds" and the seven "NbReservedSounds..." keys (decimal integers).
    bool ReadParam(CConfigNode* node) override;
    // Last update = now, then every record back to the free list.
    void Reset() override;
    // Expiry pass: sounds whose end time has come return to the free list (once per engine time).
    void Update() override;
    const CGlobalServiceDesc* GetClassDesc() const override;
    // At least one record, and the reservations fit into the pool.
    virtual bool CheckReservations();

    // Does the listener hear a live sound whose emitter is source?
    bool CanHear(const CEntity* listener, const CEntity* source);
    // Takes a free record for a sound of emitter at position; duration in seconds (negative: the
    // sound never ends). A category may always fill its own reservation; beyond it a sound takes
    // a record only when the records left still cover the other categories' unfilled
    // reservations. Answers the record index, -1 when refused (unknown category, pool full).
    int32_t AddSound(CEntity* emitter, const CVector3& position, int32_t category, int32_t intensity, float duration);

    int32_t GetMaxWorldSounds() const { return m_maxWorldSounds; }
    int32_t GetReserved(int counter) const {
        return counter >= 0 && counter < kCategoryCount ? m_reserved[counter] : 0;
    }
    int32_t GetActiveCount(int counter) const {
        return counter >= 0 && counter < kCategoryCount ? m_active[counter] : 0;
    }
    int32_t GetActiveHead() const { return m_activeHead; }
    int32_t GetFreeHead() const { return m_freeHead; }
    const CSoundRecord* GetRecord(int32_t i) const {
        return m_sounds != nullptr && i >= 0 && i < m_soundCount ? &m_sounds[i] : nullptr;
    }
    // Counter of a category bit (0-6), -1 for any other value.
    static int CounterOf(int32_t category);

private:
    static void OnEntityRemoved(CEntity* entity, void* user);
    // Returns to the free list every live sound of emitter, or (emitter null) every one ended by now.
    void FreeRecords(const CEntity* emitter, float now);
    void ResetLists();
    bool Hears(const CEntity* listener, const CSoundRecord& record, float now) const;

    CSoundRecord* m_sounds = nullptr;                           // pool of m_soundCount records
    int32_t m_soundCount = 0;                                   // records allocated
    int32_t m_maxWorldSounds = 64;                              // pool size asked for
    int32_t m_reserved[kCategoryCount] = {1, 1, 1, 1, 1, 1, 1}; // records reserved per counter
    int32_t m_active[kCategoryCount] = {};                      // live sounds per counter
    int32_t m_freeHead = 0;                                     // first free record, -1 none
    int32_t m_activeHead = -1;                                  // first live record, -1 none
    float m_lastUpdate = 0.0f;                                  // engine time of the last expiry pass (s)
    CEntityRemovedHook m_removedHook{&CSoundManager::OnEntityRemoved, this}; // drops a leaving emitter's sounds
};

namespace Vusk {
// True when "CSoundManager" got a registry slot.
bool CheckSoundManagerClasses();
} // namespace Vusk
