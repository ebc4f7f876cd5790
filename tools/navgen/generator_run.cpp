#include "tools/navgen/generator_run.h"

#include <chrono>
#include <cmath>
#include <cstdio>
#include <string>

#include "ai/navigation/graph_generator.h"
#include "ai/navigation/spatial_graph.h"
#include "ai/runtime/action.h"
#include "ai/runtime/brain.h"
#include "ai/runtime/engine.h"
#include "ai/runtime/entity.h"
#include "ai/runtime/entity_attribute.h"
#include "ai/runtime/world.h"
#include "ai/runtime/world_api.h"
#include "testing/config_tree.h"
#include "platform/crt.h"
#include "testing/fake_ai_host.h"

namespace navgen {

CEntityClassDesc NavGenEntity::s_desc("CNavGenEntity", &NavGenEntity::Create, nullptr);
CActionClassDesc NavGenActionClass::s_desc("CNavGenActionClass", &NavGenActionClass::Create);

bool NavGenEntity::Init(CConfigNode*) {
    const auto* walker = static_cast<const Walker*>(GetHostObject());
    auto* maxSpeed = static_cast<CEntityMaxSpeed*>(CreateAttribute(&CEntityMaxSpeed::s_desc));
    auto* width = static_cast<CEntityWidth*>(CreateAttribute(&CEntityWidth::s_desc));
    auto* height = static_cast<CEntityHeight*>(CreateAttribute(&CEntityHeight::s_desc));
    if (walker == nullptr || maxSpeed == nullptr || width == nullptr || height == nullptr)
        return false;
    maxSpeed->value = walker->maxSpeed;
    width->value = walker->width;
    height->value = walker->height;
    return true;
}

NavGenActionClass::NavGenActionClass() {
    CreateAction(&CActionRotate::s_desc);
    CreateAction(&CActionSpeed::s_desc);
}

void NavGenActionClass::Apply(CEntity* entity) {
    auto* walker = static_cast<Walker*>(entity->GetHostObject());
    if (const auto* rotate = FindAction<CActionRotate>(); rotate != nullptr && rotate->set) {
        walker->rotateSet = true;
        walker->heading = rotate->value;
    }
    if (const auto* speed = FindAction<CActionSpeed>(); speed != nullptr && speed->set) {
        walker->speedSet = true;
        walker->speed = speed->value;
    }
}

namespace {

using configtree::Add;

constexpr float kStepUp = 0.35f;  // highest step the walker climbs (m)
constexpr float kGravity = 9.81f; // m/s^2

// The engine's queries, answered against the level's boxes (through the fake host's geometry, without
// its recording) and counted.
long g_queries = 0;

float CountedRay(const float* from, const float* to, void*, std::uint32_t, float length, float* normal) {
    ++g_queries;
    float fraction = 1.0f;
    if (!FakeAiHost::Instance().Intersect(from, to, 0.0f, &fraction, normal)) {
        normal[0] = normal[1] = normal[2] = 0.0f;
        return length;
    }
    return fraction * length;
}
bool CountedLineOfSight(const float* from, const float* to, void*, std::uint32_t) {
    ++g_queries;
    float fraction, normal[3];
    return !FakeAiHost::Instance().Intersect(from, to, 0.0f, &fraction, normal);
}
// The sphere's rounded outline: an edge that passes a block's corner diagonally with room for the walker
// is not refused as it would be by the block grown into a larger box.
bool CountedSweep(const float* from, const float* to, float radius, void*, std::uint32_t) {
    ++g_queries;
    return !FakeAiHost::Instance().SphereSweepHits(from, to, radius);
}

// True when a sphere of radius r moving from -> to enters a box (a sphere that starts inside one may
// move, so that a walker placed against a wall can leave it).
bool Blocked(const CVector3& from, const CVector3& to, float r) {
    const float a[3] = {from.x, from.y, from.z};
    const float b[3] = {to.x, to.y, to.z};
    float fraction = 1.0f, normal[3] = {0.0f, 0.0f, 0.0f};
    if (!FakeAiHost::Instance().Intersect(a, b, r, &fraction, normal))
        return false;
    return normal[0] != 0.0f || normal[1] != 0.0f || normal[2] != 0.0f;
}

} // namespace

// Moves the generator entity one frame by its walker's actions.
void Integrate(CEntity* entity, Walker& walker, float dt) {
    CVector3 position = entity->GetPosition();
    if (position.x != walker.written.x || position.y != walker.written.y || position.z != walker.written.z)
        walker.fallSpeed = 0.0f; // placed by the generator
    const float half = 0.5f * walker.height;
    const float r = 0.5f * walker.width;
    float feet = position.y - half;
    const float speed = walker.speedSet ? walker.speed : 0.0f;
    const CVector3 direction = Vusk::AnglesToDirection(0.0f, walker.heading);
    const CVector3 start = position;
    // Walls stop the body between the highest step and the head; the move slides along them.
    const float low = feet + kStepUp + r, high = feet + walker.height - r;
    auto free = [&](float x, float z) {
        for (float y : {low, high}) {
            if (Blocked(CVector3(position.x, y, position.z), CVector3(x, y, z), r))
                return false;
        }
        return true;
    };
    const float dx = direction.x * speed * dt, dz = direction.z * speed * dt;
    if (free(position.x + dx, position.z + dz)) {
        position.x += dx;
        position.z += dz;
    } else if (free(position.x + dx, position.z)) {
        position.x += dx;
    } else if (free(position.x, position.z + dz)) {
        position.z += dz;
    }
    // The ground: climbed up to a step, followed down a little, else a fall.
    const float probe[3] = {position.x, feet + kStepUp, position.z};
    const float down[3] = {position.x, feet + kStepUp - 100.0f, position.z};
    float fraction = 1.0f, normal[3];
    const bool hit = FakeAiHost::Instance().Intersect(probe, down, 0.0f, &fraction, normal);
    const float ground = probe[1] - fraction * 100.0f;
    const float drop = walker.fallSpeed * dt + kGravity * dt * dt + 0.05f;
    if (hit && ground >= feet - drop) {
        feet = ground;
        walker.fallSpeed = 0.0f;
    } else {
        walker.fallSpeed += kGravity * dt;
        feet -= walker.fallSpeed * dt;
        if (hit && feet < ground) {
            feet = ground;
            walker.fallSpeed = 0.0f;
        }
    }
    position.y = feet + half;
    entity->SetPosition(position);
    entity->SetAngles(CVector3(0.0f, walker.heading, 0.0f));
    entity->SetDirection(direction);
    entity->SetSpeed(std::sqrt(CVector3::DistanceSquared(start, position)) / dt);
    walker.written = position;
    walker.rotateSet = walker.speedSet = false;
}

namespace {

std::string Number(float value) {
    char text[32];
    std::snprintf(text, sizeof text, "%.9g", double(value));
    return text;
}

void AddPoint(CConfigNode* parent, const char* name, const float* p) {
    CConfigNode* node = Add(parent, name);
    Add(node, "x", Number(p[0]).c_str());
    Add(node, "y", Number(p[1]).c_str());
    Add(node, "z", Number(p[2]).c_str());
}

} // namespace

CConfigNode* MakeGeneratorDefinition(const GenerationOptions& options) {
    auto* definition = new CConfigNode();
    definition->SetName("Entity");
    Add(definition, "Class", "CNavGenEntity");
    Add(definition, "ActionClass", "CNavGenActionClass");
    CConfigNode* brain = Add(definition, "Brain");
    Add(brain, "Class", "CGraphGeneratorBrain");
    CConfigNode* agent = Add(brain, "Agent");
    Add(agent, "Class", "CGraphGeneratorAgent");
    const std::string dir = options.outDir + "/";
    Add(agent, "DenseGraph", (dir + OutputFiles::kDense).c_str());
    Add(agent, "DenseGraphWithEdges", (dir + OutputFiles::kDenseWithEdges).c_str());
    Add(agent, "FinalGraph", (dir + OutputFiles::kFinal).c_str());
    if (!options.firstStep.empty())
        Add(agent, "FIRST_STEP", options.firstStep.c_str());
    Add(agent, "RADIUS_AVERAGE", Number(options.radiusAverage).c_str());
    Add(agent, "NB_SECTORS", std::to_string(options.sectors).c_str());
    // The edges that collapsing makes are checked with a sweep of this share of the walker's width. The
    // generator's own share (a quarter) lets an edge pass a wall's end closer than the walker can; the
    // walker then rounds that end in one direction only, and validation keeps a one-way edge, which in
    // a maze (a tree of corridors) cuts the graph in two. The whole width keeps every edge walkable.
    Add(agent, "RATIO_BODY_WIDTH", "1");
    // A shorter longest edge stops collapsing earlier: the graph keeps more vertices on open ground.
    if (options.maxValidEdge > 0.0f)
        Add(agent, "MAX_LENGTH_VALID_EDGE", Number(options.maxValidEdge).c_str());
    AddPoint(agent, "BB_MIN", options.level.boundsMin);
    AddPoint(agent, "BB_MAX", options.level.boundsMax);
    const char* data[4][2] = {{"CFindNearestData", OutputFiles::kFindNearest},
                              {"CAstarData", OutputFiles::kAstar},
                              {"CPathCostData", OutputFiles::kPathCost},
                              {"CAccessWaysData", OutputFiles::kAccessWays}};
    for (const auto& item : data) {
        CConfigNode* request = Add(agent, "AdditionalData");
        Add(request, "Class", item[0]);
        Add(request, "OutputFile", (dir + item[1]).c_str());
    }
    return definition;
}

namespace {

bool Fail(GenerationResult* result, const std::string& error) {
    result->error = error;
    return false;
}

// The saved graph a run that starts at a later step reads first; empty for a run from the start.
std::string RestartFile(const GenerationOptions& options) {
    const char* step = options.firstStep.c_str();
    const char* name = _stricmp(step, "SIMPLIFY_EDGES") == 0    ? OutputFiles::kDenseWithEdges
                       : _stricmp(step, "ADDITIONAL_DATA") == 0 ? OutputFiles::kFinal
                                                                : nullptr;
    return name != nullptr ? options.outDir + "/" + name : std::string();
}

bool RunWorld(const GenerationOptions& options, GenerationResult* result) {
    FakeAiHost& host = FakeAiHost::Instance();
    for (const LevelBox& box : options.level.boxes)
        host.AddBox(box.min[0], box.min[1], box.min[2], box.max[0], box.max[1], box.max[2]);
    CConfigNode* tree = new CConfigNode();
    tree->SetName("World");
    Add(tree, "MaxEntity", "4");
    Add(tree, "OneMeter", "1");
    Add(tree, "Tpf", "0");
    CWorld* world = Vusk::CreateWorld(tree, 0);
    if (world == nullptr) {
        Vusk::DeleteTree(tree);
        return Fail(result, "the AI world did not start");
    }
    Walker walker;
    walker.height = options.height;
    walker.width = options.width;
    walker.maxSpeed = options.maxSpeed;
    CConfigNode* definition = MakeGeneratorDefinition(options);
    CEntity* entity = Vusk::CreateEntity("Generator", definition, 0, &walker);
    bool ok = entity != nullptr && Vusk::AddEntity(world, entity);
    if (!ok) {
        result->error = "the generator entity was refused (see the generator's parameters)";
        if (entity != nullptr)
            Vusk::DestroyEntity(entity);
    } else {
        const CVector3 start(options.level.start[0], options.level.start[1] + 0.5f * walker.height,
                             options.level.start[2]);
        entity->SetPosition(start);
        walker.written = start;
        // The clock counts whole frames, so that runs are deterministic.
        long frame = 0;
        int phase = -1;
        auto wallStart = std::chrono::steady_clock::now();
        auto phaseWall = wallStart;
        long phaseFrame = 0, phaseQueries = 0;
        auto closePhase = [&]() {
            if (phase < 0)
                return;
            auto now = std::chrono::steady_clock::now();
            PhaseFigures figures;
            figures.phase = phase;
            figures.frames = frame - phaseFrame;
            figures.simulated = double(figures.frames) * double(options.frameTime);
            figures.wall = std::chrono::duration<double>(now - phaseWall).count();
            figures.queries = g_queries - phaseQueries;
            result->phases.push_back(figures);
            phaseWall = now;
            phaseFrame = frame;
            phaseQueries = g_queries;
        };
        const long frameLimit = long(options.simulatedLimit / double(options.frameTime));
        while (Vusk::GetGraphGeneratorPhase() != 6 && frame < frameLimit) {
            int now = Vusk::GetGraphGeneratorPhase();
            if (now != phase) {
                closePhase();
                phase = now;
            }
            host.SetTime(double(frame) * double(options.frameTime));
            Vusk::UpdateWorld(world);
            Integrate(entity, walker, options.frameTime);
            ++frame;
        }
        closePhase();
        result->done = Vusk::GetGraphGeneratorPhase() == 6;
        result->simulated = double(frame) * double(options.frameTime);
        result->wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - wallStart).count();
        result->queries = g_queries;
        if (!result->done)
            result->error = "the generator did not finish within " + std::to_string(long(options.simulatedLimit)) +
                            " simulated seconds";
        CSpatialGraph* graph = Vusk::GetGeneratorGraph();
        for (int32_t i = 0; graph != nullptr && i <= graph->GetLastVertexIndex(); ++i) {
            if (CGraphVertex* v = graph->GetVertex(i)) {
                result->vertices.insert(result->vertices.end(),
                                        {v->GetPosition().x, v->GetPosition().y, v->GetPosition().z});
            }
        }
        for (int32_t i = 0; graph != nullptr && i <= graph->GetLastEdgeIndex(); ++i) {
            if (CGraphEdge* e = graph->GetEdge(i))
                result->edges.insert(result->edges.end(),
                                     {e->GetSource()->GetIndex(), e->GetDestination()->GetIndex()});
        }
        ok = result->done;
        Vusk::RemoveEntity(world, entity);
        Vusk::DestroyEntity(entity);
    }
    Vusk::DeleteTree(definition);
    delete world;
    Vusk::DeleteTree(tree);
    host.ClearBoxes();
    return ok;
}

} // namespace

bool RunGeneration(const GenerationOptions& options, GenerationResult* result) {
    *result = GenerationResult();
    FakeAiHost& host = FakeAiHost::Instance();
    host.Reset();
    CHostServices services = host.MakeServices();
    // Nothing is drawn, and the engine's queries are counted.
    services.drawLine = nullptr;
    services.drawPoint = nullptr;
    g_queries = 0;
    services.rayQuery = &CountedRay;
    services.lineOfSight = &CountedLineOfSight;
    services.sweep = &CountedSweep;
    if (!Vusk::Initialise(&services))
        return Fail(result, "the AI engine did not start");
    // A run that starts from a saved step reads that step's graph; the generator takes a file it cannot
    // read as an empty graph, so the file is checked here first.
    const std::string restart = RestartFile(options);
    bool ok = true;
    if (!restart.empty()) {
        CSpatialGraph saved;
        if (!saved.LoadFromFile(restart.c_str()))
            ok = Fail(result, restart + " is not a readable spatial graph file");
    }
    ok = ok && RunWorld(options, result);
    Vusk::ReleaseEngine();
    if (ok && result->vertices.empty()) {
        // A walk's time is (radius / speed) x 3 while its last metre is walked at a fifth of the speed:
        // below about 2 m no walk gets far enough from its vertex to drop a new one.
        return Fail(result, std::string("the generator built an empty graph") +
                                (options.radiusAverage < 2.5f ? " (no walk reached a new vertex in its time; a radius "
                                                                "below about 2 m leaves too little)"
                                                              : ""));
    }
    return ok;
}

} // namespace navgen
