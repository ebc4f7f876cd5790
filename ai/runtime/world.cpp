#include "ai/runtime/world.h"

#include <cstdio>
#include <initializer_list>

#include "ai/runtime/brain.h"
#include "ai/runtime/engine_arrays.h"
#include "ai/runtime/config_node.h"
#include "ai/runtime/engine.h"
#include "ai/runtime/entity.h"
#include "ai/runtime/service.h"
#include "ai/runtime/team.h"
#include "ai/runtime/time_manager.h"
#include "ai/runtime/world_limits.h"
#include "platform/crt.h"
#include "platform/process.h"

#include <cstring>

namespace {

// One engine-wide table of (function, user word) pairs, kept in registration order.
struct CallbackEntry {
    Vusk::EntityCallback function; // called with (entity, user); null for a pair removed during a walk
    void* user;                    // user word given at registration
};

struct CallbackTable;

// An event or frame step under way about one entity, on a chain of those under way (nested ones in
// front). The entity's leaving the world marks every one naming it ended. A callback walk keeps its
// place in the table here, so that a removal of the entity made by one of its own callbacks carries on
// the same walk instead of starting another.
struct EntityWatch {
    CEntity* entity;
    const CallbackTable* table = nullptr; // the table walked; null for a frame step
    uint32_t next = 0;                    // next pair to call
    uint32_t end = 0;                     // pairs registered when the event began
    bool ended = false;                   // the entity left the world meanwhile
    CWorld* in = nullptr;                 // the world it is in now, kept by an arrival: its answer
    EntityWatch* outer = nullptr;
};

EntityWatch* g_watches = nullptr;

// Frames begun by every world, the current one's number included: an entity's stamp of the frame it
// thought in names one frame of one world.
uint64_t g_frames = 0;

// Puts a watch on the chain for the scope's lifetime.
class WatchScope {
public:
    WatchScope(CEntity* entity, const CallbackTable* table, uint32_t end) : watch{entity, table, 0, end} {
        watch.outer = g_watches;
        g_watches = &watch;
    }
    WatchScope(const WatchScope&) = delete;
    WatchScope& operator=(const WatchScope&) = delete;
    ~WatchScope() { g_watches = watch.outer; }
    EntityWatch watch;
};

// The watches under way about the entity, innermost first, until `stop` answers true for one: that
// watch, or null.
template <typename Stop> EntityWatch* EachWatch(const CEntity* entity, Stop stop) {
    for (EntityWatch* watch = g_watches; watch != nullptr; watch = watch->outer)
        if (watch->entity == entity && stop(*watch))
            return watch;
    return nullptr;
}

// The walk of that table about the entity under way, or null.
EntityWatch* FindWatch(const CEntity* entity, const CallbackTable* table) {
    return EachWatch(entity, [table](const EntityWatch& watch) { return watch.table == table; });
}

void MarkEnded(const CEntity* entity) {
    EachWatch(entity, [](EntityWatch& watch) {
        watch.ended = true;
        watch.in = nullptr;
        return false;
    });
}

struct CallbackTable {
    CallbackEntry* entries = nullptr; // engine memory, null before first use
    uint32_t count = 0;               // pairs held (with the holes of removed ones during a walk)
    uint32_t capacity = 0;            // entries allocated
    uint32_t walks = 0;               // walks under way (nested events)
    bool holes = false;               // a pair was removed during a walk

    bool Add(Vusk::EntityCallback function, void* user) {
        if (function == nullptr || !Vusk::MakeRoom(entries, count, capacity, 16))
            return false;
        entries[count++] = CallbackEntry{function, user};
        return true;
    }

    // During a walk the pair only leaves a hole, so that no place of the walks moves.
    void Remove(Vusk::EntityCallback function, void* user) {
        for (uint32_t i = 0; i < count; ++i) {
            if (entries[i].function == function && entries[i].user == user) {
                if (walks > 0) {
                    entries[i].function = nullptr;
                    holes = true;
                } else {
                    std::memmove(&entries[i], &entries[i + 1], sizeof(CallbackEntry) * (count - i - 1));
                    --count;
                }
                return;
            }
        }
    }

    // Calls the pairs of the watch's event from its place on, in order, until the event's end or the
    // entity's: a pair removed before its turn is passed over, one added meanwhile is not called.
    // True when the entity left the world meanwhile.
    bool Walk(EntityWatch& watch) {
        ++walks;
        while (!watch.ended && watch.next < watch.end && watch.next < count) {
            const CallbackEntry entry = entries[watch.next++];
            if (entry.function != nullptr)
                entry.function(watch.entity, entry.user);
        }
        if (--walks == 0 && holes) {
            uint32_t kept = 0;
            for (uint32_t i = 0; i < count; ++i)
                if (entries[i].function != nullptr)
                    entries[kept++] = entries[i];
            count = kept;
            holes = false;
        }
        return watch.ended;
    }

    // Walks the pairs registered now for an event about the entity; true when the entity left the
    // world meanwhile.
    bool Tell(CEntity* entity) {
        WatchScope scope(entity, this, count);
        return Walk(scope.watch);
    }

    void Release() {
        Vusk::EngineFree(entries);
        entries = nullptr;
        count = 0;
        capacity = 0;
        holes = false;
    }
};

CallbackTable g_entityAdded;
CallbackTable g_entityRemoved;

// Number of children of node with that name; 0 for a null node.
uint32_t CountChildren(const CConfigNode* node, const char* name) {
    uint32_t found = 0;
    const uint32_t count = node != nullptr ? node->GetChildCount() : 0;
    for (uint32_t i = 0; i < count; ++i)
        if (node->GetChild(i)->HasName(name))
            ++found;
    return found;
}

// An unsigned limit read from a definition: -1 and the other negative texts wrap to large
// values, as "no limit" (MaxEntity is lowered to the entity pool afterwards).
uint32_t ReadLimit(const char* text) { return static_cast<uint32_t>(crt_atoi(text)); }

// The size of a table to allocate; a negative text asks for no table rather than for one of
// four billion entries.
uint32_t ReadCount(const char* text) {
    const int value = crt_atoi(text);
    return value > 0 ? static_cast<uint32_t>(value) : 0u;
}

// Real value of the named child, or fallback when absent.
float ReadReal(const CConfigNode* node, const char* name, float fallback) {
    const char* text = node->GetChildValue(name);
    return text != nullptr ? static_cast<float>(crt_atof(text)) : fallback;
}

} // namespace

float Vusk::GetCurrentOneMeter() {
    const CWorld* world = Vusk::GetCurrentWorld();
    return world != nullptr ? world->GetOneMeter() : 0.0f;
}

CWorld::CWorld(CAisReader* reader) : m_reader(reader) {}

CWorld::~CWorld() {
    if (m_teams != nullptr) {
        while (m_teams->GetHead() != nullptr) {
            CTeam* team = m_teams->GetHead()->GetValue();
            m_teams->Remove(m_teams->GetHead());
            team->SetWorldNode(nullptr);
            delete team;
        }
        delete m_teams;
        m_teams = nullptr;
    }
    if (m_entities != nullptr) {
        // Destroying an entity unlinks it, so the head is taken again after each one.
        while (m_entities->GetHead() != nullptr)
            Vusk::DestroyEntity(m_entities->GetHead()->GetValue());
    }
    // Entities created but never added to a world go with it; those of another world stay.
    // An entity's end may end others (a host class's destructor): the walk starts again after each one.
    if (CList<CEntity*>* pool = Vusk::GetEngineEntityPool()) {
        for (CListNode<CEntity*>* node = pool->GetHead(); node != nullptr;) {
            if (node->GetValue()->GetWorld() == nullptr) {
                Vusk::DestroyEntity(node->GetValue());
                node = pool->GetHead();
            } else {
                node = node->GetNext();
            }
        }
    }
    // In array order, each out of the array before it goes.
    while (m_serviceCount > 0) {
        CGlobalService* service = m_services[0];
        ForgetGlobalService(service);
        delete service;
    }
    Vusk::EngineFree(m_services);
    m_services = nullptr;
    m_serviceCount = 0;
    delete m_entities;
    m_entities = nullptr;

    // Nothing may reach a deleted world through the engine's pointers.
    bool otherWorld = false;
    CWorld** slots = Vusk::GetWorldSlots();
    for (uint32_t i = 0; slots != nullptr && i < Vusk::GetWorldSlotCount(); ++i) {
        if (slots[i] == this)
            slots[i] = nullptr;
        else if (slots[i] != nullptr)
            otherWorld = true;
    }
    if (Vusk::GetCurrentWorld() == this)
        Vusk::SetCurrentWorld(nullptr);
    if (!otherWorld)
        Vusk::ReleaseWorldSharedState();
}

namespace {

// The capacities a world configured by tree gets, as CWorld::ReadConfig reads them.
struct WorldCapacities {
    uint32_t teams;
    uint32_t aperiodic;
    uint32_t periodic;
    uint32_t entities;
};

WorldCapacities ReadCapacities(const CConfigNode* tree) {
    WorldCapacities c{};
    const char* maxTeam = tree->GetChildValue("MaxTeam");
    c.teams = maxTeam != nullptr ? ReadCount(maxTeam) : 0;
    const CConfigNode* timeManagement = tree->FindChild("TimeMgt");
    const char* maxAperiodic = tree->GetChildValue("MaxAperiodicTask");
    const char* maxPeriodic = tree->GetChildValue("MaxPeriodicTask");
    c.aperiodic = maxAperiodic != nullptr ? ReadCount(maxAperiodic) : CountChildren(timeManagement, "Aperiodic");
    c.periodic = maxPeriodic != nullptr ? ReadCount(maxPeriodic) : CountChildren(timeManagement, "Periodic");
    const char* maxEntity = tree->GetChildValue("MaxEntity");
    c.entities = maxEntity != nullptr ? ReadLimit(maxEntity) : 0;
    const uint32_t poolSize = Vusk::GetEngineSettings().entityPoolSize;
    if (c.entities > poolSize)
        c.entities = poolSize;
    return c;
}

} // namespace

std::uint64_t Vusk::WorldTableBytes(const CConfigNode* tree) {
    if (tree == nullptr)
        return 0;
    const WorldCapacities c = ReadCapacities(tree);
    const std::uint64_t teamList = static_cast<std::uint64_t>(c.teams) * sizeof(CListNode<CTeam*>);
    const std::uint64_t block = CTimeManager::BlockBytes(c.aperiodic, c.periodic, c.entities, c.teams);
    return block > UINT64_MAX - teamList ? UINT64_MAX : block + teamList;
}

bool Vusk::CheckWorldConfig(const CConfigNode* tree, char* fault, std::size_t size) {
    char text[320] = "no configuration tree";
    bool ok = tree != nullptr;
    for (const char* key : {"MaxEntity", "OneMeter", "Tpf"}) {
        if (ok && tree->GetChildValue(key) == nullptr) {
            std::snprintf(text, sizeof text, "'%s' not found", key);
            ok = false;
        }
    }
    const std::uint64_t bytes = ok ? WorldTableBytes(tree) : 0;
    if (ok && !FitsMachine(bytes, 1)) {
        const WorldCapacities c = ReadCapacities(tree);
        // At most 154 characters, so that a host's message of 160 holds it whole.
        std::snprintf(text, sizeof text,
                      "'MaxTeam' %u, 'MaxAperiodicTask' %u, 'MaxPeriodicTask' %u: %llu bytes of tables, above the "
                      "machine's %llu",
                      static_cast<unsigned>(c.teams), static_cast<unsigned>(c.aperiodic),
                      static_cast<unsigned>(c.periodic), static_cast<unsigned long long>(bytes),
                      static_cast<unsigned long long>(PlatformPhysicalMemory()));
        ok = false;
    }
    if (!ok && fault != nullptr && size > 0)
        std::snprintf(fault, size, "%s", text);
    return ok;
}

bool CWorld::ReadConfig(CConfigNode* tree) {
    m_config = tree;
    // Nothing is made for a configuration that asks for more than a world is given.
    if (tree == nullptr || !Vusk::CheckWorldConfig(tree, nullptr, 0))
        return false;
    const char* maxEntity = tree->GetChildValue("MaxEntity");
    if (maxEntity == nullptr)
        return false;
    m_maxEntity = ReadLimit(maxEntity);

    m_maxTeam = 0;
    if (const char* maxTeam = tree->GetChildValue("MaxTeam")) {
        m_maxTeam = ReadCount(maxTeam);
        m_teams = new CList<CTeam*>(m_maxTeam);
        if (m_teams == nullptr || m_teams->GetCapacity() != m_maxTeam)
            return false;
    }

    const char* oneMeter = tree->GetChildValue("OneMeter");
    if (oneMeter == nullptr)
        return false;
    m_oneMeter = static_cast<float>(crt_atof(oneMeter));

    const uint32_t poolSize = Vusk::GetEngineSettings().entityPoolSize;
    if (m_maxEntity > poolSize)
        m_maxEntity = poolSize;
    m_entities = new CList<CEntity*>(m_maxEntity);
    if (m_entities == nullptr || m_entities->GetCapacity() != m_maxEntity)
        return false;

    CConfigNode* timeManagement = tree->FindChild("TimeMgt");
    const char* maxAperiodic = tree->GetChildValue("MaxAperiodicTask");
    const char* maxPeriodic = tree->GetChildValue("MaxPeriodicTask");
    CTimeManager::SetTaskCapacities(
        maxAperiodic != nullptr ? ReadCount(maxAperiodic) : CountChildren(timeManagement, "Aperiodic"),
        maxPeriodic != nullptr ? ReadCount(maxPeriodic) : CountChildren(timeManagement, "Periodic"));
    CTimeManager* timeManager = CTimeManager::GetInstance();
    if (timeManager == nullptr)
        return false;

    const char* tpf = tree->GetChildValue("Tpf");
    if (tpf == nullptr)
        return false;
    timeManager->SetFrameBudget(static_cast<float>(crt_atof(tpf) * 0.001));

    ReadTasks(timeManagement);
    ReadGlobalServices(tree);
    return true;
}

void CWorld::ReadTasks(CConfigNode* timeManagement) {
    CTimeManager* timeManager = CTimeManager::GetInstance();
    const uint32_t count = timeManagement != nullptr ? timeManagement->GetChildCount() : 0;
    for (uint32_t i = 0; i < count; ++i) {
        CConfigNode* task = timeManagement->GetChild(i);
        if (task->GetLabel() == nullptr)
            continue;
        if (task->HasName("Aperiodic")) {
            const int id = timeManager->RegisterAperiodicTask(task->GetLabel());
            if (id < 0)
                continue;
            timeManager->SetTaskPriority(id, ReadReal(task, "Priority", 0.0f));
            timeManager->SetTaskTpf(id, static_cast<float>(ReadReal(task, "Tpf", 0.0f) * 0.001));
            const char* maxCall = task->GetChildValue("MaxCall");
            timeManager->SetTaskMaxCall(id, maxCall != nullptr ? ReadLimit(maxCall) : 0u);
        } else if (task->HasName("Periodic")) {
            const int id = timeManager->RegisterPeriodicTask(task->GetLabel());
            if (id < 0)
                continue;
            const char* period = task->GetChildValue("Period");
            timeManager->SetTaskPeriod(id,
                                       period != nullptr ? static_cast<float>(crt_atof(period) * 0.001) : 1000000.0f);
        }
    }
}

void CWorld::ReadGlobalServices(CConfigNode* tree) {
    CConfigNode* wanted = tree->FindChild("GlobalServices");
    CConfigNode* definitions = tree->FindChild("Services");
    if (wanted == nullptr || definitions == nullptr)
        return;
    const uint32_t count = wanted->GetChildCount();
    for (uint32_t i = 0; i < count; ++i) {
        CConfigNode* entry = wanted->GetChild(i);
        if (!entry->HasName("Service") || entry->GetValue() == nullptr)
            continue;
        CConfigNode* definition = definitions->FindChildWithLabel("Service", entry->GetValue());
        if (definition == nullptr)
            continue;
        const CGlobalServiceDesc* desc = CGlobalServiceDesc::Find(definition->GetChildValue("Class"));
        if (desc == nullptr || desc->GetCreateFunction() == nullptr)
            continue;
        CGlobalService* service = desc->GetCreateFunction()();
        if (service == nullptr)
            continue;
        if (!service->Init(definition) || !AddGlobalService(service))
            delete service;
    }
}

void CWorld::Update() {
    CTimeManager* timeManager = CTimeManager::GetInstance();
    if (timeManager == nullptr || m_inFrame)
        return;
    m_inFrame = true;
    const uint64_t frame = ++g_frames;
    timeManager->BeginFrame();
    // The entities of the table at the frame's start, from a cursor that a removal moves on; an entity
    // added meanwhile comes after the last one.
    if (m_entities != nullptr) {
        m_updateNext = m_entities->GetHead();
        m_updateLast = m_entities->GetTail();
        while (m_updateNext != nullptr) {
            CListNode<CEntity*>* node = m_updateNext;
            m_updateNext = node != m_updateLast ? node->GetNext() : nullptr;
            node->GetValue()->Update();
        }
        m_updateLast = nullptr;
    }
    // Likewise the global services, by a place that ForgetGlobalService moves back.
    m_serviceNext = 0;
    m_serviceEnd = m_serviceCount;
    while (m_serviceNext < m_serviceEnd)
        m_services[m_serviceNext++]->Update();
    m_serviceEnd = 0;
    m_serviceNext = 0;
    for (int index = timeManager->GetNextEntity(); index != -1; index = timeManager->GetNextEntity()) {
        CEntity* entity = GetEntityAt(index);
        CBrain* brain = entity != nullptr ? entity->GetBrain() : nullptr;
        // An entity that thought already and was taken out and put back on a node still to come
        // does not think again.
        if (brain == nullptr || entity->GetThoughtFrame() == frame)
            continue;
        entity->SetThoughtFrame(frame);
        // Think may end the entity, or only its brain.
        WatchScope thinking(entity, nullptr, 0);
        if (!brain->Think() || thinking.watch.ended || entity->GetBrain() != brain)
            continue;
        if (CActionClass* actions = brain->GetActionClass())
            actions->Apply(entity);
    }
    m_inFrame = false;
}

bool CWorld::AddEntity(CEntity* entity) {
    if (entity == nullptr || entity->GetWorldNode() != nullptr || m_entities == nullptr)
        return false;
    CListPosition<CEntity*> position = m_entities->Insert(entity);
    if (position.IsNull())
        return false;
    entity->SetWorldNode(position.GetNode());
    entity->SetWorld(this);
    // An event under way about the entity (an arrival whose callback took it out and now puts it back)
    // learns where it is.
    EachWatch(entity, [this](EntityWatch& watch) {
        watch.in = this;
        return false;
    });
    // A callback may take the entity out again, or end it: the later ones are not told of this arrival.
    WatchScope arriving(entity, &g_entityAdded, g_entityAdded.count);
    arriving.watch.in = this;
    g_entityAdded.Walk(arriving.watch);
    return arriving.watch.in == this;
}

bool CWorld::RemoveEntity(CEntity* entity) {
    if (entity == nullptr || entity->GetWorldNode() == nullptr)
        return false;
    // An entity of another world's table stays where it is.
    CListNode<CEntity*>* node = entity->GetWorldNode();
    if (m_entities == nullptr || m_entities->IndexOf(node) == CList<CEntity*>::kNoIndex)
        return false;
    const auto finish = [this, entity, node] {
        MarkEnded(entity);
        entity->LeaveTeams();
        // The scheduler's record of the index is the current world's.
        CTimeManager* timeManager = CTimeManager::GetInstance();
        if (timeManager != nullptr && Vusk::GetCurrentWorld() == this)
            timeManager->ForgetEntity(entity);
        if (node == m_updateNext)
            m_updateNext = node != m_updateLast ? node->GetNext() : nullptr;
        else if (node == m_updateLast)
            m_updateLast = node->GetPrev();
        m_entities->Remove(node);
        entity->SetWorldNode(nullptr);
        entity->SetWorld(nullptr);
        return true;
    };
    // Removed again by one of the callbacks of its removal: this call carries on that walk and
    // finishes the removal, and the first call then only answers.
    if (EntityWatch* under = FindWatch(entity, &g_entityRemoved))
        return g_entityRemoved.Walk(*under) || finish();
    WatchScope removing(entity, &g_entityRemoved, g_entityRemoved.count);
    return g_entityRemoved.Walk(removing.watch) || finish();
}

bool CWorld::AddGlobalService(CGlobalService* service) {
    if (service == nullptr || !Vusk::MakeRoom(m_services, m_serviceCount, m_serviceCapacity, 8))
        return false;
    m_services[m_serviceCount++] = service;
    return true;
}

void CWorld::ForgetGlobalService(const CGlobalService* service) {
    for (uint32_t i = 0; i < m_serviceCount; ++i) {
        if (m_services[i] == service) {
            std::memmove(&m_services[i], &m_services[i + 1], sizeof(CGlobalService*) * (m_serviceCount - i - 1));
            --m_serviceCount;
            // The frame's service loop keeps its place.
            if (i < m_serviceEnd) {
                --m_serviceEnd;
                if (i < m_serviceNext)
                    --m_serviceNext;
            }
            return;
        }
    }
}

CGlobalService* CWorld::GetGlobalService(const CGlobalServiceDesc* descriptor) const {
    return Vusk::FirstOfKind(m_services, m_serviceCount, descriptor);
}

CEntity* CWorld::FindEntity(const char* name) const {
    if (name == nullptr || m_entities == nullptr)
        return nullptr;
    for (CEntity* entity : *m_entities)
        if (entity->GetName() != nullptr && _stricmp(entity->GetName(), name) == 0)
            return entity;
    return nullptr;
}

CEntity* CWorld::GetEntityAt(int index) const {
    if (m_entities == nullptr || index < 0)
        return nullptr;
    CListPosition<CEntity*> position = m_entities->GetAt(static_cast<uint32_t>(index));
    return !position.IsNull() && position.GetNode()->IsInUse() ? position.GetValue() : nullptr;
}

void CWorld::TellEntityRemoved(CEntity* entity) {
    if (entity == nullptr || entity->GetWorld() != nullptr || FindWatch(entity, &g_entityRemoved) != nullptr)
        return;
    g_entityRemoved.Tell(entity);
}

bool CWorld::AddEntityAddedCallback(Vusk::EntityCallback function, void* user) {
    return g_entityAdded.Add(function, user);
}

void CWorld::RemoveEntityAddedCallback(Vusk::EntityCallback function, void* user) {
    g_entityAdded.Remove(function, user);
}

bool CWorld::AddEntityRemovedCallback(Vusk::EntityCallback function, void* user) {
    return g_entityRemoved.Add(function, user);
}

void CWorld::RemoveEntityRemovedCallback(Vusk::EntityCallback function, void* user) {
    g_entityRemoved.Remove(function, user);
}

CEntityRemovedHook::~CEntityRemovedHook() {
    if (m_registered)
        CWorld::RemoveEntityRemovedCallback(m_function, m_user);
}

bool CEntityRemovedHook::Register() {
    if (!m_registered)
        m_registered = CWorld::AddEntityRemovedCallback(m_function, m_user);
    return m_registered;
}

void Vusk::ReleaseWorldSharedState() {
    CTimeManager::Release();
    g_entityAdded.Release();
    g_entityRemoved.Release();
}

void Vusk::TakeEntityOut(CEntity* entity) {
    if (entity == nullptr)
        return;
    if (entity->GetWorld() != nullptr)
        entity->GetWorld()->RemoveEntity(entity);
    if (entity->GetPoolNode() != nullptr) {
        if (CList<CEntity*>* pool = Vusk::GetEngineEntityPool())
            pool->Remove(entity->GetPoolNode());
        entity->SetPoolNode(nullptr);
    }
}

namespace {

// Every world of the engine's world table, then the current world (which may be one of them).
template <class Visit> void ForEachWorld(Visit visit) {
    CWorld** slots = Vusk::GetWorldSlots();
    const uint32_t count = slots != nullptr ? Vusk::GetWorldSlotCount() : 0;
    for (uint32_t i = 0; i < count; ++i)
        if (slots[i] != nullptr)
            visit(slots[i]);
    if (CWorld* current = Vusk::GetCurrentWorld())
        visit(current);
}

} // namespace

void Vusk::TakeTeamOut(CTeam* team) {
    // The node names the team in the list that holds it.
    CListNode<CTeam*>* node = team->GetWorldNode();
    ForEachWorld([&node, team](CWorld* world) {
        CList<CTeam*>* teams = world->GetTeamList();
        if (node != nullptr && teams != nullptr && teams->IndexOf(node) != CList<CTeam*>::kNoIndex &&
            node->GetValue() == team && teams->Remove(node))
            node = nullptr;
    });
    team->SetWorldNode(nullptr);
}

void Vusk::TakeGlobalServiceOut(const CGlobalService* service) {
    ForEachWorld([service](CWorld* world) { world->ForgetGlobalService(service); });
}

void Vusk::DestroyEntity(CEntity* entity) {
    // Out while the whole object is there (the callbacks see its class); the destructor then finds
    // nothing left to do.
    TakeEntityOut(entity);
    delete entity;
}
