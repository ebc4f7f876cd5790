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
    Vusk::EntityCallback function; // called with (entity, user)
    void* user;                    // user word given at registration
};

struct CallbackTable {
    CallbackEntry* entries = nullptr; // engine memory, null before first use
    uint32_t count = 0;               // pairs held
    uint32_t capacity = 0;            // entries allocated

    bool Add(Vusk::EntityCallback function, void* user) {
        if (!Vusk::MakeRoom(entries, count, capacity, 16))
            return false;
        entries[count++] = CallbackEntry{function, user};
        return true;
    }

    void Remove(Vusk::EntityCallback function, void* user) {
        for (uint32_t i = 0; i < count; ++i) {
            if (entries[i].function == function && entries[i].user == user) {
                std::memmove(&entries[i], &entries[i + 1], sizeof(CallbackEntry) * (count - i - 1));
                --count;
                return;
            }
        }
    }

    // Calls every pair in order. The index is re-checked each time, so a callback that removes
    // pairs cannot make the walk read past the table.
    void Call(CEntity* entity) const {
        for (uint32_t i = 0; i < count; ++i)
            entries[i].function(entity, entries[i].user);
    }

    void Release() {
        Vusk::EngineFree(entries);
        entries = nullptr;
        count = 0;
        capacity = 0;
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
    if (CList<CEntity*>* pool = Vusk::GetEngineEntityPool()) {
        for (CListNode<CEntity*>* node = pool->GetHead(); node != nullptr;) {
            CListNode<CEntity*>* next = node->GetNext();
            if (node->GetValue()->GetWorld() == nullptr)
                Vusk::DestroyEntity(node->GetValue());
            node = next;
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
    if (timeManager == nullptr)
        return;
    timeManager->BeginFrame();
    if (m_entities != nullptr) {
        for (CListNode<CEntity*>* node = m_entities->GetHead(); node != nullptr;) {
            // Taken first: an Update may remove its own entity from the table.
            CListNode<CEntity*>* next = node->GetNext();
            node->GetValue()->Update();
            node = next;
        }
    }
    for (uint32_t i = 0; i < m_serviceCount; ++i)
        m_services[i]->Update();
    for (int index = timeManager->GetNextEntity(); index != -1; index = timeManager->GetNextEntity()) {
        CEntity* entity = GetEntityAt(index);
        if (entity == nullptr)
            continue;
        CBrain* brain = entity->GetBrain();
        if (brain != nullptr && brain->Think() && brain->GetActionClass() != nullptr)
            brain->GetActionClass()->Apply(entity);
    }
}

bool CWorld::AddEntity(CEntity* entity) {
    if (entity == nullptr || m_entities == nullptr)
        return false;
    CListPosition<CEntity*> position = m_entities->Insert(entity);
    if (position.IsNull())
        return false;
    entity->SetWorldNode(position.GetNode());
    entity->SetWorld(this);
    g_entityAdded.Call(entity);
    return true;
}

bool CWorld::RemoveEntity(CEntity* entity) {
    if (entity == nullptr || entity->GetWorldNode() == nullptr)
        return false;
    // An entity of another world's table stays where it is.
    if (m_entities == nullptr || m_entities->IndexOf(entity->GetWorldNode()) == CList<CEntity*>::kNoIndex)
        return false;
    g_entityRemoved.Call(entity);
    entity->LeaveTeams();
    m_entities->Remove(entity->GetWorldNode());
    entity->SetWorldNode(nullptr);
    entity->SetWorld(nullptr);
    return true;
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
