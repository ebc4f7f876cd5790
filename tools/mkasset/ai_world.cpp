#include "tools/mkasset/ai_world.h"

#include <algorithm>
#include <filesystem>
#include <string>
#include <utility>

#include "tools/ais_format/ais_format.h"
#include "tools/navgen/generator_run.h"

namespace mkasset {

namespace {

using AisFormat::Kind;
using AisFormat::Node;

constexpr float kWallThickness = 0.5f;
constexpr float kFloorThickness = 1.0f;

Node Group(const char* name, const char* label = "") {
    Node n;
    n.kind = Kind::Node;
    n.name = name;
    n.label = label;
    return n;
}

Node Leaf(const char* name, const std::string& value) {
    Node n;
    n.kind = Kind::Leaf;
    n.name = name;
    n.value = value;
    return n;
}

Node& Child(Node& parent, Node child) {
    parent.children.push_back(std::move(child));
    return parent.children.back();
}

// A "RawData" reference; its block is appended to the document in the order the nodes are made,
// which is the depth-first order as long as each subtree is finished before the next one starts.
Node Raw() {
    Node n;
    n.kind = Kind::RawData;
    return n;
}

Node Aperiodic(const char* name, const char* priority, const char* tpfMs, const std::string& maxCall) {
    Node task = Group("Aperiodic", name);
    Child(task, Leaf("Priority", priority));
    Child(task, Leaf("Tpf", tpfMs));
    Child(task, Leaf("MaxCall", maxCall));
    return task;
}

Node Periodic(const char* name, const char* periodMs) {
    Node task = Group("Periodic", name);
    Child(task, Leaf("Period", periodMs));
    return task;
}

Node Service(const char* label, const char* className) {
    Node service = Group("Service", label);
    Child(service, Leaf("Class", className));
    return service;
}

} // namespace

navgen::Level AiLevelOf(const LevelOptions& options, const std::vector<Footprint>& obstacles) {
    navgen::Level level;
    level.name = "demo";
    const float half = static_cast<float>(options.size) / 2.0f;
    const float t = kWallThickness;
    const float h = kLevelWallHeight;
    auto add = [&](float x0, float y0, float z0, float x1, float y1, float z1) {
        level.boxes.push_back(navgen::LevelBox{{x0, y0, z0}, {x1, y1, z1}});
    };
    add(-half, -kFloorThickness, -half, half, 0.0f, half);
    add(-half - t, -kFloorThickness, -half - t, half + t, h, -half);
    add(-half - t, -kFloorThickness, half, half + t, h, half + t);
    add(-half - t, -kFloorThickness, -half, -half, h, half);
    add(half, -kFloorThickness, -half, half + t, h, half);
    for (const LevelBlock& block : LevelBlocks(options))
        add(block.min[0], block.min[1], block.min[2], block.max[0], block.max[1], block.max[2]);
    for (const Footprint& f : obstacles)
        add(f.min[0], 0.0f, f.min[1], f.max[0], h, f.max[1]);
    level.boundsMin[0] = -half;
    level.boundsMin[1] = -2.0f;
    level.boundsMin[2] = -half;
    level.boundsMax[0] = half;
    level.boundsMax[1] = h + 1.0f;
    level.boundsMax[2] = half;
    return level;
}

bool BuildDemoAiWorld(const LevelOptions& options, const std::string& workDir, std::vector<std::uint8_t>& out,
                      std::string& error, AiWorldFigures* figures, const AiWorldSettings& settings) {
    std::error_code code;
    std::filesystem::create_directories(workDir, code);
    if (code) {
        error = "cannot make the folder " + workDir + ": " + code.message();
        return false;
    }
    navgen::GenerationOptions generation;
    generation.level = AiLevelOf(options, settings.obstacles);
    generation.level.start[0] = settings.start[0];
    generation.level.start[2] = settings.start[1];
    generation.width = settings.walkerWidth;
    generation.radiusAverage = settings.radiusAverage;
    generation.maxValidEdge = settings.maxValidEdge;
    generation.outDir = workDir;
    navgen::GenerationResult result;
    if (!navgen::RunGeneration(generation, &result)) {
        error = "the graph generator failed: " + result.error;
        return false;
    }
    const int vertices = static_cast<int>(result.vertices.size() / 3);
    if (figures != nullptr) {
        figures->vertices = vertices;
        figures->edges = static_cast<int>(result.edges.size() / 2);
        figures->simulated = result.simulated;
        figures->queries = result.queries;
    }

    AisFormat::Document doc;
    auto block = [&](const char* file) {
        std::vector<std::uint8_t> bytes;
        const std::string path = (std::filesystem::path(workDir) / file).string();
        if (!AisFormat::ReadWholeFile(path, bytes, error))
            return false;
        doc.blocks.push_back(std::move(bytes));
        return true;
    };

    Node& world = doc.root;
    world = Group("World");
    // Room for the player and the soldiers; the engine lowers it to its entity pool.
    Child(world, Leaf("MaxEntity", std::to_string(settings.maxEntity)));
    Child(world, Leaf("MaxTeam", "2"));
    Child(world, Leaf("OneMeter", "1"));
    Child(world, Leaf("Tpf", "5"));

    // Every task the behaviours ask for: an unknown one fails an agent's set-up or never runs.
    Node& tasks = Child(world, Group("TimeMgt"));
    Child(tasks, Aperiodic("CHideAgent::ComputeDestination", "1", "2", "8"));
    // A hider's scan asks for one visibility check per vertex and pauses for a tenth of a second
    // when the frame's calls run out; the team searches in turn, so with a hundred bots a scan of
    // several frames keeps the last of them in the open for a minute. Calls for the whole graph
    // let a scan end in one frame; the task's time allowance still bounds it on the real clock.
    Child(tasks, Aperiodic("CHideAgent::CheckPositionVisible", "1", "3", std::to_string(std::max(64, vertices))));
    Child(tasks, Aperiodic("CFollowerAgent::ComputeRealDistance", "1", "1", "16"));
    Child(tasks, Aperiodic("Vusk::CEntityManager::ComputeCommonInfo", "1", "1", "64"));
    Child(tasks, Aperiodic("CPathFinder::FindNextMove::ASTAR", "2", "3", "8"));
    Child(tasks, Periodic("CPathFinder::FindNextMove::CheckAccident", "1000"));
    Child(tasks, Periodic("CPathFinder::FindNextMove::NewSubGoal", "200"));
    Child(tasks, Periodic("CPathFinder::FindNextMove::Goto", "100"));

    // The graph manager first: the point mapper looks its graphs up.
    Node& global = Child(world, Group("GlobalServices"));
    Child(global, Leaf("Service", "GraphMgr"));
    Child(global, Leaf("Service", "PointMapper"));

    Node& services = Child(world, Group("Services"));
    Node& graphs = Child(services, Service("GraphMgr", "CGraphManager"));
    Node& graph = Child(graphs, Group("Graph", "MoveGraph"));
    Child(graph, Raw());
    if (!block(navgen::OutputFiles::kFinal))
        return false;
    const std::pair<const char*, const char*> data[] = {
        {"CFindNearestData", navgen::OutputFiles::kFindNearest},
        {"CPathCostData", navgen::OutputFiles::kPathCost},
        {"CAstarData", navgen::OutputFiles::kAstar},
    };
    for (const auto& [className, file] : data) {
        Node& additional = Child(graph, Group("AdditionalData"));
        Child(additional, Leaf("Class", className));
        Child(additional, Raw());
        if (!block(file))
            return false;
    }
    Node& mapper = Child(services, Service("PointMapper", "CPointMapper"));
    Child(Child(mapper, Group("Container", "MoveGraph")), Leaf("Class", "CGraphWrapper"));
    Node& pathFinder = Child(services, Service("PathFinder", "CPathFinder"));
    Child(pathFinder, Leaf("Graph", "MoveGraph"));
    Child(services, Service("EntityMgr", "CEntityManager"));

    Node& agents = Child(world, Group("Agents"));
    Node& hide = Child(agents, Group("Agent", "Hide"));
    Child(hide, Leaf("Class", "DunmarrowAgent"));
    Child(hide, Leaf("Graph", "MoveGraph"));
    Child(hide, Leaf("ResearchType", "CLOSE_TO_ME"));
    Node& follow = Child(agents, Group("Agent", "Follow"));
    Child(follow, Leaf("Class", "CFollowerAgent"));

    // Services before agents: the agents find their services when they are set up.
    Node& brains = Child(world, Group("Brains"));
    Node& soldier = Child(brains, Group("Brain", "Soldier"));
    Child(soldier, Leaf("Class", "CSoldierBrain"));
    Child(soldier, Leaf("Service", "PathFinder"));
    Child(soldier, Leaf("Service", "EntityMgr"));
    Child(soldier, Leaf("Agent", "Hide"));
    Child(soldier, Leaf("Agent", "Follow"));

    Node& entities = Child(world, Group("Entities"));
    Node& player = Child(entities, Group("Entity", "Player"));
    Child(player, Leaf("Class", "CDefaultEntityClass"));
    Node& guard = Child(entities, Group("Entity", "Guard"));
    Child(guard, Leaf("Class", "CDefaultEntityClass"));
    Child(guard, Leaf("ActionClass", "CDefaultActionClass"));
    Child(guard, Leaf("Brain", "Soldier"));

    Node& teams = Child(world, Group("Teams"));
    Node& team = Child(teams, Group("Team", "Dunmarrow"));
    Child(team, Leaf("Class", "CMyTeam"));
    Child(team, Leaf("GraphName", "MoveGraph"));

    out.clear();
    return AisFormat::Encode(doc, out, error);
}

} // namespace mkasset
