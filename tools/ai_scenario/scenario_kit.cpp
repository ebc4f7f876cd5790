#include "tools/ai_scenario/scenario_kit.h"

#include <chrono>
#include <cmath>
#include <ctime>
#include <cstdio>

#include "ai/runtime/action.h"
#include "ai/runtime/agent.h"
#include "ai/runtime/entity_attribute.h"
#include "ai/runtime/world.h"
#include "ai/runtime/world_api.h"
#include "ai/navigation/graph_manager.h"
#include "ai/navigation/spatial_graph.h"
#include "testing/fake_ai_host.h"

namespace scenario {

namespace {

CEntity* CreateEntity(const char* name, void* host) { return new ScenarioEntity(name, host); }
CActionClass* CreateActionClass() { return new ScenarioActionClass(); }
CBrain* CreateBrain(CEntity* owner, const CActionClassDesc* actions) { return new ScenarioBrain(owner, actions); }

std::string Number(float value) {
    char text[32];
    std::snprintf(text, sizeof(text), "%g", static_cast<double>(value));
    return text;
}

} // namespace

CEntityClassDesc ScenarioEntity::s_desc("ScenarioEntity", &CreateEntity, nullptr);
CActionClassDesc ScenarioActionClass::s_desc("ScenarioActionClass", &CreateActionClass);
CBrainDesc ScenarioBrain::s_desc("ScenarioBrain", &CreateBrain, nullptr, false, false);

void Integrate(HostBody& body, float dt) {
    if (body.rotateSet)
        body.heading = CVector3::WrapAngle180(body.rotate);
    body.speed = body.speedSet && !body.frozen ? body.speedCommand : 0.0f;
    const CVector3 direction = Vusk::AnglesToDirection(0.0f, body.heading);
    body.position.x += direction.x * body.speed * dt;
    body.position.z += direction.z * body.speed * dt;
    body.rotateSet = false;
    body.speedSet = false;
    body.shootSet = false;
}

bool ScenarioEntity::Init(CConfigNode* definition) {
    // "VisualAcuteness" with the value "range angle" gives the entity a vision cone.
    if (const char* vision = definition != nullptr ? definition->GetChildValue("VisualAcuteness") : nullptr) {
        auto* acuteness = static_cast<CEntityVisualAcuteness*>(CreateAttribute(&CEntityVisualAcuteness::s_desc));
        float range = 0.0f, angle = 0.0f;
        if (acuteness == nullptr || std::sscanf(vision, "%f %f", &range, &angle) != 2)
            return false;
        acuteness->range = range;
        acuteness->SetAngle(angle);
    }
    return CreateAttribute(&CEntityEyePosition::s_desc) != nullptr &&
           CreateAttribute(&CEntityWidth::s_desc) != nullptr && CreateAttribute(&CEntityHeight::s_desc) != nullptr &&
           CreateAttribute(&CEntityMaxSpeed::s_desc) != nullptr &&
           CreateAttribute(&CEntityTeamSide::s_desc) != nullptr && (Update(), true);
}

const CEntityClassDesc* ScenarioEntity::GetClassDesc() const { return &s_desc; }

void ScenarioEntity::Update() {
    const auto* body = static_cast<const HostBody*>(GetHostObject());
    if (body == nullptr)
        return;
    SetPosition(body->position);
    SetAngles(CVector3(0.0f, body->heading, 0.0f));
    SetDirection(Vusk::AnglesToDirection(0.0f, body->heading));
    SetSpeed(body->speed);
    if (auto* eye = FindAttribute<CEntityEyePosition>())
        eye->value = CVector3(body->position.x, body->position.y + body->eyeHeight, body->position.z);
    if (auto* width = FindAttribute<CEntityWidth>())
        width->value = body->width;
    if (auto* maxSpeed = FindAttribute<CEntityMaxSpeed>())
        maxSpeed->value = body->maxSpeed;
    if (auto* side = FindAttribute<CEntityTeamSide>())
        side->value = body->teamSide;
}

ScenarioActionClass::ScenarioActionClass() {
    CreateAction(&CActionRotate::s_desc);
    CreateAction(&CActionSpeed::s_desc);
    CreateAction(&CActionShoot::s_desc);
}

const CActionClassDesc* ScenarioActionClass::GetClassDesc() const { return &s_desc; }

void ScenarioActionClass::Apply(CEntity* entity) {
    auto* body = static_cast<HostBody*>(entity->GetHostObject());
    if (body == nullptr)
        return;
    if (const auto* rotate = FindAction<CActionRotate>(); rotate != nullptr && rotate->set) {
        body->rotateSet = true;
        body->rotate = rotate->value;
    }
    if (const auto* speed = FindAction<CActionSpeed>(); speed != nullptr && speed->set) {
        body->speedSet = true;
        body->speedCommand = speed->value;
    }
    if (const auto* shoot = FindAction<CActionShoot>(); shoot != nullptr && shoot->set) {
        body->shootSet = true;
        body->fire = shoot->fire != 0;
        body->shootDirection = shoot->direction;
    }
}

const CBrainDesc* ScenarioBrain::GetClassDesc() const { return &s_desc; }

bool ScenarioBrain::Think() {
    CActionClass* actions = GetActionClass();
    actions->ClearActions();
    bool decided = false;
    for (uint32_t i = 0; i < GetAgentCount(); ++i) {
        CAgent* agent = GetAgentAt(i);
        if (agent->IsReady() && agent->Think()) {
            if (agent->GetActionClass() != nullptr)
                actions->CopyFrom(agent->GetActionClass());
            decided = true;
        }
    }
    return decided;
}

std::vector<TaskSetup> DefaultTasks() {
    std::vector<TaskSetup> tasks;
    for (const char* name :
         {"Vusk::CEntityManager::ComputeCommonInfo", "CPathFinder::FindNextMove::ASTAR",
          "CHideAgent::ComputeDestination", "CHideAgent::CheckPositionVisible", "CFollowerAgent::ComputeRealDistance",
          "CFleeAgent::ComputeDestination", "CShooterAgent::BotShootAtEnemy"}) {
        TaskSetup task;
        task.name = name;
        tasks.push_back(task);
    }
    for (const char* name : {"CPathFinder::FindNextMove::NewSubGoal", "CPathFinder::FindNextMove::Goto",
                             "CFleeAgent::CheckDangerVisible"}) {
        TaskSetup task;
        task.name = name;
        task.periodic = true;
        tasks.push_back(task);
    }
    TaskSetup accident;
    accident.name = "CPathFinder::FindNextMove::CheckAccident";
    accident.periodic = true;
    accident.periodMs = 1000.0f;
    tasks.push_back(accident);
    return tasks;
}

CConfigNode* MakeWorldTree(int maxEntity, float tpfMs, const std::vector<TaskSetup>& tasks,
                           const std::vector<std::string>& globalServices) {
    auto* tree = new CConfigNode();
    tree->SetName("World");
    Add(tree, "MaxEntity", std::to_string(maxEntity).c_str());
    Add(tree, "MaxTeam", "4");
    Add(tree, "OneMeter", "1");
    Add(tree, "Tpf", Number(tpfMs).c_str());
    CConfigNode* timeManagement = Add(tree, "TimeMgt");
    for (const TaskSetup& task : tasks) {
        CConfigNode* node = Add(timeManagement, task.periodic ? "Periodic" : "Aperiodic", nullptr, task.name.c_str());
        if (task.periodic) {
            Add(node, "Period", Number(task.periodMs).c_str());
        } else {
            Add(node, "MaxCall", std::to_string(task.maxCall).c_str());
            Add(node, "Tpf", Number(task.tpfMs).c_str());
        }
    }
    if (!globalServices.empty()) {
        CConfigNode* used = Add(tree, "GlobalServices");
        CConfigNode* definitions = Add(tree, "Services");
        for (const std::string& name : globalServices) {
            Add(used, "Service", name.c_str());
            CConfigNode* definition = Add(definitions, "Service", nullptr, name.c_str());
            Add(definition, "Class", name.c_str());
        }
    }
    return tree;
}

CConfigNode* MakeEntityDefinition(CConfigNode** brain) {
    auto* definition = new CConfigNode();
    definition->SetName("Entity");
    Add(definition, "Class", "ScenarioEntity");
    Add(definition, "ActionClass", "ScenarioActionClass");
    if (brain != nullptr) {
        *brain = Add(definition, "Brain");
        Add(*brain, "Class", "ScenarioBrain");
    }
    return definition;
}

CConfigNode* AddService(CConfigNode* brain, const char* className) {
    CConfigNode* node = Add(brain, "Service");
    Add(node, "Class", className);
    return node;
}

CConfigNode* AddAgent(CConfigNode* brain, const char* className) {
    CConfigNode* node = Add(brain, "Agent");
    Add(node, "Class", className);
    return node;
}

void AddBoxes(const std::vector<Box>& boxes) {
    for (const Box& box : boxes)
        FakeAiHost::Instance().AddBox(box.min[0], box.min[1], box.min[2], box.max[0], box.max[1], box.max[2]);
}

CSpatialGraph* BuildGridGraph(float minX, float minZ, float maxX, float maxZ, float step, float clearance) {
    auto* graph = new CSpatialGraph();
    if (graph == nullptr)
        return nullptr;
    const int columns = static_cast<int>((maxX - minX) / step + 0.5f) + 1;
    const int rows = static_cast<int>((maxZ - minZ) / step + 0.5f) + 1;
    std::vector<CGraphVertex*> cells(static_cast<std::size_t>(columns * rows), nullptr);
    const FakeAiHost& host = FakeAiHost::Instance();
    for (int r = 0; r < rows; ++r) {
        for (int c = 0; c < columns; ++c) {
            const float point[3] = {minX + c * step, 0.0f, minZ + r * step};
            // A point is covered when a tiny upward segment from it starts inside a grown box.
            const float up[3] = {point[0], 0.5f, point[2]};
            float fraction = 0.0f, normal[3];
            if (host.Intersect(point, up, clearance, &fraction, normal) && fraction == 0.0f)
                continue;
            cells[static_cast<std::size_t>(r * columns + c)] = graph->AddVertexAt(CVector3(point[0], 0.0f, point[2]));
        }
    }
    const int offsets[4][2] = {{1, 0}, {0, 1}, {1, 1}, {1, -1}};
    for (int r = 0; r < rows; ++r) {
        for (int c = 0; c < columns; ++c) {
            CGraphVertex* from = cells[static_cast<std::size_t>(r * columns + c)];
            if (from == nullptr)
                continue;
            for (const auto& offset : offsets) {
                const int c2 = c + offset[0], r2 = r + offset[1];
                if (c2 < 0 || c2 >= columns || r2 < 0 || r2 >= rows)
                    continue;
                CGraphVertex* to = cells[static_cast<std::size_t>(r2 * columns + c2)];
                if (to == nullptr)
                    continue;
                const CVector3& a = from->GetPosition();
                const CVector3& b = to->GetPosition();
                const float pa[3] = {a.x, 0.1f, a.z}, pb[3] = {b.x, 0.1f, b.z};
                float fraction = 0.0f, normal[3];
                if (host.Intersect(pa, pb, clearance, &fraction, normal))
                    continue;
                CGraphEdgeData data;
                data.m_length = std::sqrt(CVector3::DistanceSquared(a, b));
                graph->AddEdge(data, from, to, -1);
                graph->AddEdge(data, to, from, -1);
            }
        }
    }
    return graph;
}

ScenarioWorld::~ScenarioWorld() {
    delete m_world;
    for (CConfigNode* tree : m_trees)
        Vusk::DeleteTree(tree);
}

bool ScenarioWorld::Create(CConfigNode* tree, std::size_t poolSize) {
    m_trees.push_back(tree);
    m_world = Vusk::CreateWorld(tree, poolSize);
    return m_world != nullptr;
}

CEntity* ScenarioWorld::Spawn(const HostBody& body, CConfigNode* definition, uint32_t classBitMask, const char* name) {
    m_trees.push_back(definition);
    m_bodies.push_back(body);
    CEntity* entity = Vusk::CreateEntity(name, definition, classBitMask, &m_bodies.back());
    if (entity == nullptr)
        return nullptr;
    // One the world did not take is left to the engine, which destroys an entity in no world with the
    // next world that goes: an entity-added callback may have ended it already.
    if (!Vusk::AddEntity(m_world, entity))
        return nullptr;
    entity->Update();
    return entity;
}

bool ScenarioWorld::AddGraph(const char* name, CSpatialGraph* graph, bool updateWithPathObjects) {
    CGraphManager* manager = Vusk::GetGraphManager();
    if (manager == nullptr || manager->AddGraph(name, graph, updateWithPathObjects) == nullptr) {
        delete graph;
        return false;
    }
    return true;
}

void ScenarioWorld::Frame(double time, float dt) {
    RunAi(time);
    MoveBodies(dt);
}

void ScenarioWorld::RunAi(double time) {
    FakeAiHost::Instance().SetTime(time);
    timespec cpuStart{}, cpuEnd{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &cpuStart);
    const auto start = std::chrono::steady_clock::now();
    Vusk::UpdateWorld(m_world);
    m_lastAiSeconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &cpuEnd);
    m_lastAiCpuSeconds = static_cast<double>(cpuEnd.tv_sec - cpuStart.tv_sec) +
                         static_cast<double>(cpuEnd.tv_nsec - cpuStart.tv_nsec) * 1e-9;
}

void ScenarioWorld::MoveBodies(float dt) {
    for (HostBody& body : m_bodies)
        Integrate(body, dt);
}

} // namespace scenario
