#pragma once
// The AI scheduler: one instance per program that decides in which order entities think in a
// frame and rations named costly tasks.
//
// Aperiodic tasks get a per-frame call limit and time allowance and must ask (BeginTask) before
// each run; the whole frame also has a budget that, once found exceeded, refuses every further
// request of the frame. Periodic tasks run for each entity at most once per period. An entity
// whose request is refused adds the task's priority to its waiting score for that task, which
// moves it forward in the thinking order of the next frames.
//
// All times are seconds on the host clock (read through the engine settings). Entities are named
// by their index in the current world's entity table; an entity outside a world has index -1,
// which every operation treats as out of range.

#include "ai/runtime/engine_object.h"

#include <cstdint>

class CEntity;

// Scheduling state of one entity index. The arrays point into the time manager's one block.
struct CEntityTimeRecord {
    float* waiting;     // per aperiodic task: accumulated priority of refused requests
    float totalWaiting; // sum of the waiting scores, computed at frame start
    float weight;       // factor on the total waiting in the thinking order (always 1.0)
    float* beginTime;   // per aperiodic task: clock reading when the running task was granted (s)
    float* lastRun;     // per periodic task: frame start of the last run (s)
};

// Scheduling state of one team index; kept for every team slot of the world, read by nothing.
struct CTeamTimeRecord {
    float* aperiodic; // per aperiodic task, 0
    float* periodic;  // per periodic task, -0.01 x task number
};

class CTimeManager : public CEngineObject {
public:
    // The instance, created on first call with the task capacities set by SetTaskCapacities and
    // the current world's MaxEntity and MaxTeam; null when there is none yet and no current world
    // to size it by, or when it could not be built.
    static CTimeManager* GetInstance();
    // Deletes the instance (when there is one) and clears the pointer. All worlds share it: the last
    // world to go and the engine's shut-down release it. Released while a world lives, the world's
    // tasks and the entities' records go with it (an instance made again has no task: every request of
    // the world's agents is refused); during a world's frame, which holds it, the host must not.
    static void Release();
    // Aperiodic and periodic task capacities for the next instance (30 each by default).
    static void SetTaskCapacities(uint32_t aperiodic, uint32_t periodic);

    // Clock reading taken by the last BeginFrame: the current time of the AI frame (s).
    static float GetFrameStartTime();
    // Bytes of the one block an instance of these capacities takes (UINT64_MAX when beyond 64 bits).
    static uint64_t BlockBytes(uint64_t aperiodic, uint64_t periodic, uint64_t entities, uint64_t teams);

    CTimeManager(const CTimeManager&) = delete;
    CTimeManager& operator=(const CTimeManager&) = delete;
    ~CTimeManager() override;

    // Id of the new task (registration order from 0), -1 when the table is full.
    int RegisterAperiodicTask(const char* name);
    int RegisterPeriodicTask(const char* name);
    // Id of the task with that name (ASCII case-insensitive), -1 when absent.
    int FindTask(const char* name) const;
    int FindPeriodicTask(const char* name) const;

    // Setters; an id outside the registered range is ignored. Times in seconds.
    void SetFrameBudget(float seconds);
    void SetTaskPriority(int task, float priority);
    void SetTaskTpf(int task, float seconds);
    void SetTaskMaxCall(int task, uint32_t maxCall);
    void SetTaskPeriod(int task, float seconds);

    // Starts a frame: reads the clock, clears the per-frame task counters and sorts the thinking
    // order (the entity named by SetFirstEntity first, then by weight x total waiting, largest
    // first; a NaN score counts as 0; ties keep the previous frame's order).
    void BeginFrame();
    // Next entity index of the thinking order whose table slot is in use, -1 at the end. Each index
    // once a frame; the world keeps an entity put back on an index still to come from thinking twice.
    int GetNextEntity();

    // May the entity run the aperiodic task now? A grant must be followed by EndTask.
    bool BeginTask(int task, const CEntity* entity);
    // Charges the time since the grant to the task.
    void EndTask(int task, const CEntity* entity);
    // Seconds still available to the task in this frame.
    float GetTaskTimeLeft(int task) const;

    // True when the periodic task is due for the entity, and records the run.
    bool IsPeriodicTaskDue(int task, const CEntity* entity);
    // Records a run of the periodic task for the entity.
    void MarkPeriodicTaskRun(int task, const CEntity* entity);

    // The entity thinks first in the next frame.
    void SetFirstEntity(const CEntity* entity);
    // The entity leaves its world (CWorld::RemoveEntity runs it while the entity still has its
    // index): the record of its index starts afresh for the next entity there.
    void ForgetEntity(const CEntity* entity);

    // Read access for callers and tests.
    uint32_t GetAperiodicTaskCount() const { return m_aperiodicCount; }
    uint32_t GetPeriodicTaskCount() const { return m_periodicCount; }
    uint32_t GetAperiodicCapacity() const { return m_aperiodicCapacity; }
    uint32_t GetPeriodicCapacity() const { return m_periodicCapacity; }
    uint32_t GetEntityCapacity() const { return m_entityCapacity; }
    uint32_t GetTeamCapacity() const { return m_teamCapacity; }
    float GetFrameBudget() const { return m_frameBudget; }
    float GetTaskPriority(int task) const;
    float GetTaskTpf(int task) const;
    uint32_t GetTaskMaxCall(int task) const;
    float GetTaskPeriod(int task) const;
    const char* GetTaskName(int task) const;
    const char* GetPeriodicTaskName(int task) const;
    uint32_t GetCallsGranted(int task) const;
    float GetTimeUsed(int task) const;
    bool IsOverBudget() const { return m_overBudget != 0; }
    // The record of an entity index, null when out of range.
    const CEntityTimeRecord* GetEntityRecord(int index) const;
    const CTeamTimeRecord* GetTeamRecord(int index) const;
    // Position i of the thinking order.
    int GetOrderAt(uint32_t i) const { return i < m_entityCapacity ? static_cast<int>(m_order[i]) : -1; }

private:
    CTimeManager(uint32_t aperiodic, uint32_t periodic, uint32_t entities, uint32_t teams);
    bool Build();
    bool IsAperiodic(int task) const { return task >= 0 && static_cast<uint32_t>(task) < m_aperiodicCount; }
    bool IsPeriodic(int task) const { return task >= 0 && static_cast<uint32_t>(task) < m_periodicCount; }
    // Entity index when in range, else -1.
    int RecordIndex(const CEntity* entity) const;
    // Waiting, begin times and periodic runs as built.
    void ResetRecord(CEntityTimeRecord& record) const;

    uint32_t m_periodicCount = 0;            // registered periodic tasks
    uint32_t m_aperiodicCount = 0;           // registered aperiodic tasks
    uint32_t m_periodicCapacity;             // P
    uint32_t m_aperiodicCapacity;            // A
    uint32_t m_entityCapacity;               // E, the world's MaxEntity at creation
    uint32_t m_teamCapacity;                 // T, the world's MaxTeam at creation
    char** m_periodicNames = nullptr;        // P owned texts
    char** m_aperiodicNames = nullptr;       // A owned texts
    float m_frameBudget = 0.01f;             // seconds per frame; 0 or less disables all rationing
    float* m_taskTpf = nullptr;              // per aperiodic task: time allowance per frame (s), 60.0
    uint32_t* m_taskMaxCall = nullptr;       // per aperiodic task: grants per frame, 10
    float* m_taskPriority = nullptr;         // per aperiodic task: waiting added on refusal, 0
    float* m_taskPeriod = nullptr;           // per periodic task: seconds between runs, 0.1
    CEntityTimeRecord* m_entities = nullptr; // E records
    CTeamTimeRecord* m_teams = nullptr;      // T records
    float* m_timeUsed = nullptr;             // per aperiodic task, this frame (s)
    uint32_t* m_callsGranted = nullptr;      // per aperiodic task, this frame
    uint32_t* m_order = nullptr;             // thinking order: E entity indices
    uint32_t* m_rank = nullptr;              // per entity index: its place in the previous order
    uint32_t m_cursor = 0;                   // next position of the order to hand out
    uint8_t m_overBudget = 0;                // the frame budget was found exceeded this frame
    void* m_block = nullptr;                 // one allocation holding every array above
};
