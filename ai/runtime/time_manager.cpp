#include "ai/runtime/time_manager.h"

#include "ai/runtime/engine.h"
#include "ai/runtime/entity.h"
#include "ai/runtime/world.h"
#include "platform/crt.h"

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstring>

namespace {

CTimeManager* g_instance = nullptr;
uint32_t g_aperiodicCapacity = 30;
uint32_t g_periodicCapacity = 30;
float g_frameStart = 0.0f;
int g_firstEntity = -1;

// The host clock in seconds; 0 when the host gave none.
double ReadClock() {
    const CEngineSettings& settings = Vusk::GetEngineSettings();
    return settings.clock != nullptr ? settings.clock(settings.clockUser) : 0.0;
}

// Carves an array of count T from the block cursor (the block is laid out pointers first, so
// every array is suitably aligned).
template <class T> T* Carve(unsigned char*& cursor, size_t count) {
    T* result = reinterpret_cast<T*>(cursor);
    cursor += sizeof(T) * count;
    return result;
}

// Appends a copy of name to a task name table; its task id, or -1 for a null name, a full table
// or when memory runs out.
int AddName(char** names, uint32_t& count, uint32_t capacity, const char* name) {
    if (name == nullptr || count >= capacity)
        return -1;
    char* copy = Vusk::CopyText(name);
    if (copy == nullptr)
        return -1;
    names[count] = copy;
    return static_cast<int>(count++);
}

// The id of the first task of the table named name (ASCII case-insensitive); -1 when none.
int FindName(char* const* names, uint32_t count, const char* name) {
    if (name == nullptr)
        return -1;
    for (uint32_t t = 0; t < count; ++t)
        if (_stricmp(names[t], name) == 0)
            return static_cast<int>(t);
    return -1;
}

} // namespace

CTimeManager* CTimeManager::GetInstance() {
    if (g_instance != nullptr)
        return g_instance;
    // The records are sized by the current world; one made without a world would have none, and
    // every later world would reuse it and never get an entity scheduled.
    const CWorld* world = Vusk::GetCurrentWorld();
    if (world == nullptr)
        return nullptr;
    CTimeManager* manager =
        new CTimeManager(g_aperiodicCapacity, g_periodicCapacity, world->GetMaxEntity(), world->GetMaxTeam());
    if (manager == nullptr)
        return nullptr;
    if (!manager->Build()) {
        delete manager;
        return nullptr;
    }
    g_instance = manager;
    return g_instance;
}

void CTimeManager::Release() {
    CTimeManager* manager = g_instance;
    g_instance = nullptr;
    // An index chosen for the released manager's next frame means nothing to the next one.
    g_firstEntity = -1;
    delete manager;
}

void CTimeManager::SetTaskCapacities(uint32_t aperiodic, uint32_t periodic) {
    g_aperiodicCapacity = aperiodic;
    g_periodicCapacity = periodic;
}

float CTimeManager::GetFrameStartTime() { return g_frameStart; }

CTimeManager::CTimeManager(uint32_t aperiodic, uint32_t periodic, uint32_t entities, uint32_t teams)
    : m_periodicCapacity(periodic), m_aperiodicCapacity(aperiodic), m_entityCapacity(entities), m_teamCapacity(teams) {}

uint64_t CTimeManager::BlockBytes(uint64_t A, uint64_t P, uint64_t E, uint64_t T) {
    // Counts are at most 32 bits each, so the sum fits 128 bits; pointer-sized members first, then
    // 4-byte ones.
    using Wide = unsigned __int128;
    const Wide a = A, p = P, e = E, t = T;
    const Wide size = sizeof(char*) * (a + p) + sizeof(CEntityTimeRecord) * e + sizeof(CTeamTimeRecord) * t +
                      sizeof(float) * (a * 3 + p + e * (2 * a + p) + t * (a + p)) + sizeof(uint32_t) * (a * 2 + e * 2);
    return size > UINT64_MAX ? UINT64_MAX : static_cast<uint64_t>(size);
}

bool CTimeManager::Build() {
    const size_t A = m_aperiodicCapacity;
    const size_t P = m_periodicCapacity;
    const size_t E = m_entityCapacity;
    const size_t T = m_teamCapacity;
    const uint64_t bytes = BlockBytes(A, P, E, T);
    if (bytes == 0)
        return true;
    // Capacities from a damaged definition ask for no more than the machine has.
    if (!Vusk::FitsMachine(bytes, 1) || bytes > SIZE_MAX)
        return false;
    const size_t size = static_cast<size_t>(bytes);
    m_block = Vusk::EngineAllocate(size);
    if (m_block == nullptr)
        return false;
    std::memset(m_block, 0, size);
    unsigned char* cursor = static_cast<unsigned char*>(m_block);
    m_aperiodicNames = Carve<char*>(cursor, A);
    m_periodicNames = Carve<char*>(cursor, P);
    m_entities = Carve<CEntityTimeRecord>(cursor, E);
    m_teams = Carve<CTeamTimeRecord>(cursor, T);
    m_taskTpf = Carve<float>(cursor, A);
    m_taskPriority = Carve<float>(cursor, A);
    m_timeUsed = Carve<float>(cursor, A);
    m_taskPeriod = Carve<float>(cursor, P);
    m_taskMaxCall = Carve<uint32_t>(cursor, A);
    m_callsGranted = Carve<uint32_t>(cursor, A);
    m_order = Carve<uint32_t>(cursor, E);
    m_rank = Carve<uint32_t>(cursor, E);

    for (size_t t = 0; t < A; ++t) {
        m_taskTpf[t] = 60.0f;
        m_taskMaxCall[t] = 10;
        m_taskPriority[t] = 0.0f;
    }
    for (size_t t = 0; t < P; ++t)
        m_taskPeriod[t] = 0.1f;
    for (size_t e = 0; e < E; ++e) {
        CEntityTimeRecord& record = m_entities[e];
        record.waiting = Carve<float>(cursor, A);
        record.beginTime = Carve<float>(cursor, A);
        record.lastRun = Carve<float>(cursor, P);
        ResetRecord(record);
        m_order[e] = static_cast<uint32_t>(e);
    }
    for (size_t i = 0; i < T; ++i) {
        m_teams[i].aperiodic = Carve<float>(cursor, A);
        m_teams[i].periodic = Carve<float>(cursor, P);
        for (size_t t = 0; t < P; ++t)
            m_teams[i].periodic[t] = -0.01f * static_cast<float>(t);
    }
    return true;
}

CTimeManager::~CTimeManager() {
    for (uint32_t t = 0; t < m_aperiodicCount; ++t)
        Vusk::EngineFree(m_aperiodicNames[t]);
    for (uint32_t t = 0; t < m_periodicCount; ++t)
        Vusk::EngineFree(m_periodicNames[t]);
    if (m_block != nullptr)
        Vusk::EngineFree(m_block);
}

int CTimeManager::RegisterAperiodicTask(const char* name) {
    return AddName(m_aperiodicNames, m_aperiodicCount, m_aperiodicCapacity, name);
}

int CTimeManager::RegisterPeriodicTask(const char* name) {
    return AddName(m_periodicNames, m_periodicCount, m_periodicCapacity, name);
}

int CTimeManager::FindTask(const char* name) const { return FindName(m_aperiodicNames, m_aperiodicCount, name); }

int CTimeManager::FindPeriodicTask(const char* name) const { return FindName(m_periodicNames, m_periodicCount, name); }

void CTimeManager::SetFrameBudget(float seconds) { m_frameBudget = seconds; }

void CTimeManager::SetTaskPriority(int task, float priority) {
    if (IsAperiodic(task))
        m_taskPriority[task] = priority;
}

void CTimeManager::SetTaskTpf(int task, float seconds) {
    if (IsAperiodic(task))
        m_taskTpf[task] = seconds;
}

void CTimeManager::SetTaskMaxCall(int task, uint32_t maxCall) {
    if (IsAperiodic(task))
        m_taskMaxCall[task] = maxCall;
}

void CTimeManager::SetTaskPeriod(int task, float seconds) {
    if (IsPeriodic(task))
        m_taskPeriod[task] = seconds;
}

float CTimeManager::GetTaskPriority(int task) const { return IsAperiodic(task) ? m_taskPriority[task] : 0.0f; }

float CTimeManager::GetTaskTpf(int task) const { return IsAperiodic(task) ? m_taskTpf[task] : 0.0f; }

uint32_t CTimeManager::GetTaskMaxCall(int task) const { return IsAperiodic(task) ? m_taskMaxCall[task] : 0; }

float CTimeManager::GetTaskPeriod(int task) const { return IsPeriodic(task) ? m_taskPeriod[task] : 0.0f; }

const char* CTimeManager::GetTaskName(int task) const { return IsAperiodic(task) ? m_aperiodicNames[task] : nullptr; }

const char* CTimeManager::GetPeriodicTaskName(int task) const {
    return IsPeriodic(task) ? m_periodicNames[task] : nullptr;
}

uint32_t CTimeManager::GetCallsGranted(int task) const { return IsAperiodic(task) ? m_callsGranted[task] : 0; }

float CTimeManager::GetTimeUsed(int task) const { return IsAperiodic(task) ? m_timeUsed[task] : 0.0f; }

const CEntityTimeRecord* CTimeManager::GetEntityRecord(int index) const {
    return static_cast<uint32_t>(index) < m_entityCapacity ? &m_entities[index] : nullptr;
}

const CTeamTimeRecord* CTimeManager::GetTeamRecord(int index) const {
    return static_cast<uint32_t>(index) < m_teamCapacity ? &m_teams[index] : nullptr;
}

void CTimeManager::ResetRecord(CEntityTimeRecord& record) const {
    for (uint32_t t = 0; t < m_aperiodicCapacity; ++t) {
        record.waiting[t] = 0.0f;
        record.beginTime[t] = 0.0f;
    }
    record.totalWaiting = 0.0f;
    record.weight = 1.0f;
    // Staggered so that periodic tasks of one entity do not all fall due together.
    for (uint32_t t = 0; t < m_periodicCapacity; ++t)
        record.lastRun[t] = -0.01f * static_cast<float>(t);
}

void CTimeManager::ForgetEntity(const CEntity* entity) {
    const int index = RecordIndex(entity);
    if (index < 0)
        return;
    ResetRecord(m_entities[index]);
    if (g_firstEntity == index)
        g_firstEntity = -1;
}

int CTimeManager::RecordIndex(const CEntity* entity) const {
    if (entity == nullptr)
        return -1;
    const int index = entity->GetIndex();
    return static_cast<uint32_t>(index) < m_entityCapacity ? index : -1;
}

void CTimeManager::BeginFrame() {
    g_frameStart = static_cast<float>(ReadClock());
    for (uint32_t t = 0; t < m_aperiodicCount; ++t) {
        m_timeUsed[t] = 0.0f;
        m_callsGranted[t] = 0;
    }
    for (uint32_t e = 0; e < m_entityCapacity; ++e) {
        CEntityTimeRecord& record = m_entities[e];
        float total = 0.0f;
        for (uint32_t t = 0; t < m_aperiodicCount; ++t)
            total += record.waiting[t];
        record.totalWaiting = total;
    }
    // Equal scores keep the order of the previous frame (their rank in it), which makes the
    // order a function of the scores and that order alone, so runs are reproducible; the sort
    // itself needs no memory beyond the manager's block. A NaN score (a "nan" priority read from
    // a definition) would break the strict ordering the sort needs; it counts as 0.
    for (uint32_t i = 0; i < m_entityCapacity; ++i)
        m_rank[m_order[i]] = i;
    const int first = g_firstEntity;
    const CEntityTimeRecord* records = m_entities;
    const uint32_t* rank = m_rank;
    auto score = [records](uint32_t index) {
        const float value = records[index].weight * records[index].totalWaiting;
        return std::isnan(value) ? 0.0f : value;
    };
    std::sort(m_order, m_order + m_entityCapacity, [first, rank, &score](uint32_t a, uint32_t b) {
        if (static_cast<int>(b) == first)
            return false;
        if (static_cast<int>(a) == first)
            return true;
        const float scoreA = score(a);
        const float scoreB = score(b);
        if (scoreA != scoreB)
            return scoreA > scoreB;
        return rank[a] < rank[b];
    });
    g_firstEntity = -1;
    m_cursor = 0;
    m_overBudget = 0;
}

int CTimeManager::GetNextEntity() {
    const CWorld* world = Vusk::GetCurrentWorld();
    while (m_cursor < m_entityCapacity) {
        const uint32_t index = m_order[m_cursor++];
        if (world != nullptr && world->GetEntityAt(static_cast<int>(index)) != nullptr)
            return static_cast<int>(index);
    }
    return -1;
}

bool CTimeManager::BeginTask(int task, const CEntity* entity) {
    if (!(m_frameBudget > 0.0f))
        return true;
    const int index = RecordIndex(entity);
    if (!IsAperiodic(task) || index < 0)
        return false;
    CEntityTimeRecord& record = m_entities[index];
    if (m_overBudget != 0) {
        // Latched: refused without reading the clock again.
        record.waiting[task] += m_taskPriority[task];
        return false;
    }
    const double now = ReadClock();
    m_overBudget = (now - static_cast<double>(g_frameStart)) > static_cast<double>(m_frameBudget) ? 1 : 0;
    if (m_overBudget != 0 || m_callsGranted[task] >= m_taskMaxCall[task] || m_timeUsed[task] > m_taskTpf[task]) {
        record.waiting[task] += m_taskPriority[task];
        return false;
    }
    m_callsGranted[task] += 1;
    record.waiting[task] = 0.0f;
    record.beginTime[task] = static_cast<float>(now);
    return true;
}

void CTimeManager::EndTask(int task, const CEntity* entity) {
    if (!(m_frameBudget > 0.0f))
        return;
    const int index = RecordIndex(entity);
    if (!IsAperiodic(task) || index < 0)
        return;
    const double elapsed = ReadClock() - static_cast<double>(m_entities[index].beginTime[task]);
    m_timeUsed[task] = static_cast<float>(static_cast<double>(m_timeUsed[task]) + elapsed);
}

float CTimeManager::GetTaskTimeLeft(int task) const {
    if (!IsAperiodic(task))
        return 0.0f;
    if (!(m_frameBudget > 0.0f))
        return FLT_MAX;
    double frameLeft = static_cast<double>(m_frameBudget) - (ReadClock() - static_cast<double>(g_frameStart));
    if (frameLeft < 0.0)
        frameLeft = 0.0;
    double taskLeft = static_cast<double>(m_taskTpf[task]) - static_cast<double>(m_timeUsed[task]);
    if (taskLeft < 0.0)
        taskLeft = 0.0;
    return static_cast<float>(frameLeft < taskLeft ? frameLeft : taskLeft);
}

bool CTimeManager::IsPeriodicTaskDue(int task, const CEntity* entity) {
    const int index = RecordIndex(entity);
    if (!IsPeriodic(task) || index < 0)
        return false;
    float& lastRun = m_entities[index].lastRun[task];
    // Summed and compared in f32, as the fields are kept: a run spaced exactly one period after
    // the last (0.1 after 10.0 lands on 10.1f) is not due yet.
    const float nextRun = m_taskPeriod[task] + lastRun;
    if (nextRun >= g_frameStart)
        return false;
    lastRun = g_frameStart;
    return true;
}

void CTimeManager::MarkPeriodicTaskRun(int task, const CEntity* entity) {
    const int index = RecordIndex(entity);
    if (IsPeriodic(task) && index >= 0)
        m_entities[index].lastRun[task] = g_frameStart;
}

void CTimeManager::SetFirstEntity(const CEntity* entity) {
    const int index = RecordIndex(entity);
    if (index >= 0)
        g_firstEntity = index;
}
