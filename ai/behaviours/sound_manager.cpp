#include "ai/behaviours/sound_manager.h"

#include "ai/runtime/allocator.h"
#include "ai/runtime/config_node.h"
#include "ai/runtime/entity.h"
#include "ai/runtime/entity_attribute.h"
#include "ai/runtime/time_manager.h"
#include "platform/crt.h"

CGlobalServiceDesc CSoundManager::s_classDesc("CSoundManager", &CSoundManager::Create, nullptr, true, false);

namespace {

CSoundManager* g_currentSoundManager = nullptr;

const char* const kReservationKeys[CSoundManager::kCategoryCount] = {
    "NbReservedSoundsCombat",  "NbReservedSoundsWorld", "NbReservedSoundsPlayer",  "NbReservedSoundsDanger",
    "NbReservedSoundsCarcass", "NbReservedSoundsMeat",  "NbReservedSoundsGarbage",
};

} // namespace

CGlobalService* CSoundManager::Create() { return new CSoundManager(); }

CSoundManager* CSoundManager::GetCurrent() { return g_currentSoundManager; }

CSoundManager::~CSoundManager() {
    delete[] m_sounds;
    if (g_currentSoundManager == this)
        g_currentSoundManager = nullptr;
}

const CGlobalServiceDesc* CSoundManager::GetClassDesc() const { return &s_classDesc; }

int CSoundManager::CounterOf(int32_t category) {
    switch (category) {
    case 1:
        return 0;
    case 2:
        return 1;
    case 4:
        return 2;
    case 32:
        return 3;
    case 8:
        return 4;
    case 16:
        return 5;
    case 64:
        return 6;
    default:
        return -1;
    }
}

bool CSoundManager::ReadParam(CConfigNode* node) {
    const char* name = node->GetName();
    const char* value = node->GetValue();
    if (name == nullptr || value == nullptr)
        return false;
    if (_stricmp(name, "MaxWorldSounds") == 0) {
        m_maxWorldSounds = crt_atoi(value);
        return true;
    }
    for (int i = 0; i < kCategoryCount; ++i) {
        if (_stricmp(name, kReservationKeys[i]) == 0) {
            m_reserved[i] = crt_atoi(value);
            return true;
        }
    }
    return false;
}

bool CSoundManager::CheckReservations() {
    if (m_maxWorldSounds < 1)
        return false;
    int64_t sum = 0;
    for (int i = 0; i < kCategoryCount; ++i)
        sum += m_reserved[i];
    return sum <= m_maxWorldSounds;
}

bool CSoundManager::Init(CConfigNode* definition) {
    m_maxWorldSounds = 64;
    for (int i = 0; i < kCategoryCount; ++i)
        m_reserved[i] = 1;
    m_lastUpdate = CTimeManager::GetFrameStartTime();
    // Nothing else bounds the pool: more records than the machine can hold are refused.
    if (definition == nullptr || !CGlobalService::Init(definition) || !CheckReservations() ||
        !Vusk::FitsMachine(static_cast<std::uint64_t>(m_maxWorldSounds), sizeof(CSoundRecord)))
        return false;
    delete[] m_sounds;
    m_soundCount = 0;
    m_sounds = new CSoundRecord[static_cast<std::size_t>(m_maxWorldSounds)];
    if (m_sounds == nullptr)
        return false;
    m_soundCount = m_maxWorldSounds;
    ResetLists();
    g_currentSoundManager = this;
    return m_removedHook.Register();
}

void CSoundManager::ResetLists() {
    m_freeHead = m_soundCount > 0 ? 0 : -1;
    m_activeHead = -1;
    for (int32_t i = 0; i < m_soundCount; ++i) {
        CSoundRecord& record = m_sounds[i];
        record.position.Set(0.0f, 0.0f, 0.0f);
        record.emitter = nullptr;
        record.category = 0;
        record.intensity = 0;
        record.expiry = 0.0f;
        record.next = i + 1 < m_soundCount ? i + 1 : -1;
    }
    for (int i = 0; i < kCategoryCount; ++i)
        m_active[i] = 0;
}

void CSoundManager::Reset() {
    m_lastUpdate = CTimeManager::GetFrameStartTime();
    ResetLists();
}

void CSoundManager::Update() {
    const float now = CTimeManager::GetFrameStartTime();
    if (m_lastUpdate == now)
        return;
    FreeRecords(nullptr, now);
    m_lastUpdate = now;
}

void CSoundManager::OnEntityRemoved(CEntity* entity, void* user) {
    // A sound outlives no emitter: another entity made later in its place must not be heard through it.
    static_cast<CSoundManager*>(user)->FreeRecords(entity, 0.0f);
}

void CSoundManager::FreeRecords(const CEntity* emitter, float now) {
    int32_t* link = &m_activeHead;
    while (*link != -1) {
        const int32_t i = *link;
        CSoundRecord& record = m_sounds[i];
        const bool freed =
            emitter != nullptr ? record.emitter == emitter : record.expiry != -1.0f && record.expiry <= now;
        if (freed) {
            *link = record.next;
            record.next = m_freeHead;
            m_freeHead = i;
            const int counter = CounterOf(record.category);
            if (counter >= 0)
                --m_active[counter];
            record.emitter = nullptr;
        } else {
            link = &record.next;
        }
    }
}

int32_t CSoundManager::AddSound(CEntity* emitter, const CVector3& position, int32_t category, int32_t intensity,
                                float duration) {
    const int counter = CounterOf(category);
    // Before a successful Init there are no records, whatever the free head says.
    if (counter < 0 || m_sounds == nullptr || m_freeHead < 0 || m_freeHead >= m_soundCount)
        return -1;
    if (m_active[counter] >= m_reserved[counter]) {
        // Beyond its own reservation a category may only take records nobody has reserved.
        int64_t freeRecords = 0;
        for (int32_t i = m_freeHead; i != -1; i = m_sounds[i].next)
            ++freeRecords;
        int64_t owed = 0;
        for (int c = 0; c < kCategoryCount; ++c) {
            if (c != counter && m_active[c] < m_reserved[c])
                owed += m_reserved[c] - m_active[c];
        }
        if (freeRecords <= owed)
            return -1;
    }
    const int32_t i = m_freeHead;
    CSoundRecord& record = m_sounds[i];
    m_freeHead = record.next;
    record.position = position;
    record.emitter = emitter;
    record.category = category;
    record.intensity = intensity;
    record.expiry = duration < 0.0f ? -1.0f : CTimeManager::GetFrameStartTime() + duration;
    record.next = m_activeHead;
    m_activeHead = i;
    ++m_active[counter];
    return i;
}

bool CSoundManager::Hears(const CEntity* listener, const CSoundRecord& record, float now) const {
    if (record.expiry != -1.0f && record.expiry <= now)
        return false;
    const float q = CVector3::DistanceSquared(record.position, listener->GetPosition());
    if (q == 0.0f)
        return record.intensity > 0;
    // The square is taken in 64 bits: a loud sound must not overflow.
    const int64_t square = static_cast<int64_t>(record.intensity) * record.intensity;
    const float loudness = static_cast<float>(square) / q;
    if (!(loudness > 0.0f))
        return false;
    const auto* acuteness = listener->FindAttribute<CEntityHearingAcuteness>();
    if (acuteness == nullptr)
        return true;
    return 1.0f / loudness < acuteness->value * acuteness->value;
}

bool CSoundManager::CanHear(const CEntity* listener, const CEntity* source) {
    if (listener == nullptr)
        return false;
    Update();
    const float now = CTimeManager::GetFrameStartTime();
    for (int32_t i = m_activeHead; i != -1; i = m_sounds[i].next) {
        if (m_sounds[i].emitter == source && Hears(listener, m_sounds[i], now))
            return true;
    }
    return false;
}

bool Vusk::CheckSoundManagerClasses() { return CSoundManager::s_classDesc.GetIndex() != -1; }
