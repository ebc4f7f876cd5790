#include "tools/ai_scenario/agent_scenarios.h"

#include <cmath>
#include <cstdio>
#include <map>
#include <set>

#include "ai/behaviours/entity_manager.h"
#include "ai/behaviours/follower_agents.h"
#include "ai/behaviours/hide_agent.h"
#include "ai/navigation/path_finder.h"
#include "ai/navigation/spatial_graph.h"
#include "ai/runtime/brain.h"
#include "ai/runtime/engine.h"
#include "platform/crt.h"
#include "tools/ai_scenario/hide_scenario.h"
#include "tools/ai_scenario/resource_scenarios.h"

namespace scenario {

namespace {

float Horizontal(const CVector3& a, const CVector3& b)
{
    return std::hypot(a.x - b.x, a.z - b.z);
}

std::string Ratio(const char* what, int k, std::size_t n)
{
    return std::string(what) + " " + std::to_string(k) + "/" + std::to_string(n);
}

std::string TitleOf(const char* name, const ScenarioOptions& options, const std::string& result)
{
    char text[128];
    std::snprintf(text, sizeof(text), "%s: %d BOTS, %g S - %s", name, options.bots, static_cast<double>(options.seconds),
                  result.c_str());
    return text;
}

template <class Agent>
Agent* AgentOf(const CEntity* bot)
{
    return bot->GetBrain() != nullptr ? static_cast<Agent*>(bot->GetBrain()->GetAgent(&Agent::s_classDesc)) : nullptr;
}

// --- hide: the hide scenario behind the common interface ---

class HideRun : public Scenario {
public:
    explicit HideRun(const ScenarioOptions& options) : m_options(options), m_scene(HideOptionsOf(options)) {}

    bool Build(std::size_t poolSize) override { return m_scene.Build(poolSize); }
    void Step() override { m_scene.Step(); }
    int GetFrameCount() const override { return m_scene.GetFrameCount(); }
    int GetTotalFrames() const override { return m_scene.GetTotalFrames(); }
    ScenarioWorld& GetWorld() override { return m_scene.GetWorld(); }
    std::vector<CEntity*> GetBots() const override { return m_scene.GetHiders(); }
    std::vector<CEntity*> GetOthers() const override { return {m_scene.GetThreat()}; }

    std::vector<std::string> Report() override
    {
        std::vector<std::string> lines;
        int hidden = 0;
        const std::vector<HiderResult> results = m_scene.Results();
        for (std::size_t i = 0; i < results.size(); ++i) {
            lines.push_back("hider " + std::to_string(i) + " vertex " + std::to_string(results[i].vertex) +
                            " visible " + (results[i].visible ? "1" : "0"));
            hidden += results[i].visible ? 0 : 1;
        }
        lines.push_back(m_last = Ratio("hidden", hidden, results.size()));
        return lines;
    }

    void Describe(PlotScene& scene) override
    {
        scene.title = TitleOf("HIDE", m_options, m_last);
        scene.boxes = HideScenario::Level();
        scene.graph = m_scene.GetGraph();
        scene.othersLabel = "THREAT";
        scene.goodLabel = "FINAL: HIDDEN";
        scene.badLabel = "FINAL: SEEN BY THE THREAT";
        for (const HiderResult& result : m_scene.Results())
            scene.finals.push_back({result.position, !result.visible});
    }

private:
    static HideOptions HideOptionsOf(const ScenarioOptions& options)
    {
        HideOptions hide;
        hide.bots = options.bots;
        hide.seconds = options.seconds;
        hide.step = options.step;
        return hide;
    }

    ScenarioOptions m_options;
    HideScenario m_scene;
    std::string m_last;
};

// --- goto: bots walk to places the host hands out at random times ---

class GotoScenario : public AgentScenario {
public:
    using AgentScenario::AgentScenario;

    bool Build(std::size_t poolSize) override
    {
        if (!BuildFloor(poolSize))
            return false;
        for (int i = 0; i < m_options.bots; ++i) {
            HostBody body;
            body.position = RandomVertexPosition();
            body.heading = std::uniform_real_distribution<float>(-180.0f, 180.0f)(m_random);
            CConfigNode* agent = nullptr;
            if (SpawnBot(body, BotDefinition("CGotoAgent", &agent), "walker" + std::to_string(i)) == nullptr)
                return false;
            // The first order comes within two seconds; the bot stands until then.
            m_orders.push_back({body.position, Now() + std::uniform_real_distribution<double>(0.0, 2.0)(m_random), 0});
            AgentOf<CGotoAgent>(m_bots.back())->m_destination = body.position;
        }
        return true;
    }

    std::vector<std::string> Report() override
    {
        std::vector<std::string> lines;
        int arrived = 0;
        for (std::size_t i = 0; i < m_bots.size(); ++i) {
            const bool done = Arrived(i);
            arrived += done ? 1 : 0;
            lines.push_back("walker " + std::to_string(i) + " orders " + std::to_string(m_orders[i].count) +
                            " arrived " + (done ? "1" : "0"));
        }
        lines.push_back(m_last = Ratio("arrived", arrived, m_bots.size()));
        return lines;
    }

    void Describe(PlotScene& scene) override
    {
        DescribeFloor(scene);
        scene.title = TitleOf("GOTO", m_options, m_last);
        scene.goalsLabel = "LAST PLACE ORDERED";
        scene.goodLabel = "FINAL: ARRIVED";
        scene.badLabel = "FINAL: NOT ARRIVED";
        for (std::size_t i = 0; i < m_bots.size(); ++i) {
            scene.goals.push_back(m_orders[i].destination);
            scene.finals.push_back({BodyOf(m_bots[i]).position, Arrived(i)});
        }
    }

protected:
    void BeforeFrame(double time) override
    {
        const double end = 1.0 + m_options.seconds;
        for (std::size_t i = 0; i < m_bots.size(); ++i) {
            Order& order = m_orders[i];
            if (time < order.next)
                continue;
            // A new place, only when the bot can still walk there (1.5 times the straight way at its
            // speed, and 3 s to spare) before the end.
            const CVector3 destination = RandomVertexPosition();
            const HostBody& body = BodyOf(m_bots[i]);
            const double needed = 1.5 * Horizontal(body.position, destination) / body.maxSpeed + 3.0;
            order.next = time + std::uniform_real_distribution<double>(2.0, 10.0)(m_random);
            if (time + needed > end)
                continue;
            order.destination = destination;
            ++order.count;
            AgentOf<CGotoAgent>(m_bots[i])->m_destination = destination;
        }
    }

private:
    struct Order {
        CVector3 destination; // the last place handed out
        double next;          // engine time of the next order (s)
        int count;            // orders handed out
    };

    bool Arrived(std::size_t i)
    {
        const CGotoAgent* agent = AgentOf<CGotoAgent>(m_bots[i]);
        return agent->m_goalReached != 0 && Horizontal(BodyOf(m_bots[i]).position, m_orders[i].destination) < 0.75f;
    }

    std::vector<Order> m_orders;
    std::string m_last;
};

// --- wander: bots walk from random vertex to random vertex ---

class WanderScenario : public AgentScenario {
public:
    using AgentScenario::AgentScenario;

    bool Build(std::size_t poolSize) override
    {
        if (!BuildFloor(poolSize))
            return false;
        crt_srand(m_options.seed);
        for (int i = 0; i <= m_graph->GetLastVertexIndex(); ++i)
            if (m_graph->GetVertex(i) != nullptr)
                m_cells.emplace(Cell(m_graph->GetVertex(i)->GetPosition()), i);
        for (int i = 0; i < m_options.bots; ++i) {
            HostBody body;
            body.position = RandomVertexPosition();
            CConfigNode* agent = nullptr;
            CConfigNode* definition = BotDefinition("CWanderAgent", &agent);
            Add(agent, "Graph", "floor");
            if (SpawnBot(body, definition, "wanderer" + std::to_string(i)) == nullptr)
                return false;
        }
        m_reached.assign(m_bots.size(), 0);
        m_lastDestination.assign(m_bots.size(), -1);
        return true;
    }

    std::vector<std::string> Report() override
    {
        std::vector<std::string> lines;
        for (std::size_t i = 0; i < m_bots.size(); ++i)
            lines.push_back("wanderer " + std::to_string(i) + " destinations reached " + std::to_string(m_reached[i]));
        lines.push_back(m_last = Ratio("visited", static_cast<int>(m_visited.size()), m_cells.size()));
        return lines;
    }

    void Describe(PlotScene& scene) override
    {
        DescribeFloor(scene);
        scene.title = TitleOf("WANDER", m_options, m_last);
        scene.goalsLabel = "DESTINATION AT THE END";
        scene.goodLabel = "FINAL: REACHED ONE OR MORE";
        scene.badLabel = "FINAL: REACHED NONE";
        for (std::size_t i = 0; i < m_bots.size(); ++i) {
            scene.goals.push_back(AgentOf<CWanderAgent>(m_bots[i])->GetDestination());
            scene.finals.push_back({BodyOf(m_bots[i]).position, m_reached[i] > 0});
        }
    }

protected:
    void BeforeFrame(double) override
    {
        for (std::size_t i = 0; i < m_bots.size(); ++i) {
            // A vertex counts as visited when a bot's feet come within 0.35 m of it.
            const CVector3& p = BodyOf(m_bots[i]).position;
            const auto cell = m_cells.find(Cell(p));
            if (cell != m_cells.end() && Horizontal(p, m_graph->GetVertex(cell->second)->GetPosition()) < 0.35f)
                m_visited.insert(cell->second);
            // The agent picks its next destination the frame it reaches one.
            const CWanderAgent* agent = AgentOf<CWanderAgent>(m_bots[i]);
            const int destination = agent->GetDestinationVertexIndex();
            if (destination != m_lastDestination[i] && m_lastDestination[i] != -1 && agent->m_goalReached)
                ++m_reached[i];
            m_lastDestination[i] = destination;
        }
    }

private:
    // The grid cell of a point (the graph has a vertex every metre).
    static std::pair<int, int> Cell(const CVector3& p)
    {
        return {static_cast<int>(std::lround(p.x)), static_cast<int>(std::lround(p.z))};
    }

    std::map<std::pair<int, int>, int> m_cells; // grid cell -> vertex index
    std::set<int> m_visited;
    std::vector<int> m_reached;
    std::vector<int> m_lastDestination;
    std::string m_last;
};

// --- follow: a leader walks a closed route between the boxes; the bots keep their places ---

class FollowScenario : public AgentScenario {
public:
    using AgentScenario::AgentScenario;

    bool Build(std::size_t poolSize) override
    {
        if (!BuildFloor(poolSize))
            return false;
        m_route.corners = {CVector3(-4.5f, 0, -4.5f), CVector3(4.5f, 0, -4.5f), CVector3(4.5f, 0, 4.5f),
                           CVector3(-4.5f, 0, 4.5f)};
        m_route.speed = 1.0f;
        HostBody leaderBody;
        m_route.Place(leaderBody, 0.0);
        CEntity* leader = SpawnOther(leaderBody, "leader");
        if (leader == nullptr)
            return false;
        for (int i = 0; i < m_options.bots; ++i) {
            // Places on an arc behind the leader, 1.5 to 2.5 m away.
            const float distance = 1.5f + 0.5f * static_cast<float>(i % 3);
            const float angle = 180.0f + ((i % 2) != 0 ? 20.0f : -20.0f) * static_cast<float>((i + 1) / 2);
            CConfigNode* agent = nullptr;
            CConfigNode* finder = nullptr;
            CConfigNode* definition = BotDefinition("CFollowerAgent", &agent, &finder);
            // Stop close to the wanted place: it keeps moving away with the leader.
            Add(finder, "DistGoal", "0.3");
            Add(agent, "EntityToFollow", "leader");
            Add(agent, "DistFromEntity", std::to_string(distance).c_str());
            Add(agent, "AngleFromEntity", std::to_string(angle).c_str());
            HostBody body;
            const CVector3 place = leaderBody.position + Vusk::AnglesToDirection(0.0f, leaderBody.heading + angle) * distance;
            body.position = place + CVector3(std::uniform_real_distribution<float>(-1.0f, 1.0f)(m_random), 0.0f,
                                             std::uniform_real_distribution<float>(-1.0f, 1.0f)(m_random));
            body.heading = leaderBody.heading;
            if (SpawnBot(body, definition, "follower" + std::to_string(i)) == nullptr)
                return false;
            m_distances.push_back(distance);
        }
        return true;
    }

    std::vector<std::string> Report() override
    {
        std::vector<std::string> lines;
        int following = 0;
        for (std::size_t i = 0; i < m_bots.size(); ++i) {
            const float d = Horizontal(BodyOf(m_bots[i]).position, BodyOf(m_others[0]).position);
            following += Following(i) ? 1 : 0;
            char line[96];
            std::snprintf(line, sizeof(line), "follower %zu distance %.2f wanted %.2f", i, static_cast<double>(d),
                          static_cast<double>(m_distances[i]));
            lines.push_back(line);
        }
        lines.push_back(m_last = Ratio("following", following, m_bots.size()));
        return lines;
    }

    void Describe(PlotScene& scene) override
    {
        DescribeFloor(scene);
        scene.title = TitleOf("FOLLOW", m_options, m_last);
        scene.othersLabel = "LEADER (AT THE END)";
        scene.goodLabel = "FINAL: WITHIN 1.5 X DISTANCE";
        scene.badLabel = "FINAL: LEFT BEHIND";
        for (std::size_t i = 0; i < m_bots.size(); ++i)
            scene.finals.push_back({BodyOf(m_bots[i]).position, Following(i)});
    }

protected:
    void BeforeFrame(double time) override { m_route.Place(BodyOf(m_others[0]), time - 1.0); }

private:
    bool Following(std::size_t i)
    {
        return Horizontal(BodyOf(m_bots[i]).position, BodyOf(m_others[0]).position) <= 1.5f * m_distances[i];
    }

    Route m_route;
    std::vector<float> m_distances;
    std::string m_last;
};

} // namespace

// --- Shared part ---

AgentScenario::AgentScenario(const ScenarioOptions& options) : m_options(options), m_random(options.seed) {}

void AgentScenario::Step()
{
    const double time = Now() + m_options.step;
    ++m_frame;
    BeforeFrame(time);
    m_world.Frame(time, m_options.step);
}

bool AgentScenario::BuildFloor(std::size_t poolSize)
{
    const int maxEntity = m_options.bots + 8;
    if (!m_world.Create(MakeWorldTree(maxEntity, 0.0f, DefaultTasks(), {"CGraphManager"}), poolSize))
        return false;
    AddBoxes(HideScenario::Level());
    m_graph = BuildGridGraph(-15.0f, -15.0f, 15.0f, 15.0f, 1.0f, 0.6f);
    return m_graph != nullptr && m_world.AddGraph("floor", m_graph);
}

CConfigNode* AgentScenario::BotDefinition(const char* agentClass, CConfigNode** agent, CConfigNode** finder)
{
    CConfigNode* brain = nullptr;
    CConfigNode* definition = MakeEntityDefinition(&brain);
    CConfigNode* pathFinder = AddService(brain, "CPathFinder");
    Add(pathFinder, "Graph", "floor");
    if (finder != nullptr)
        *finder = pathFinder;
    AddService(brain, "CEntityManager");
    *agent = AddAgent(brain, agentClass);
    return definition;
}

void AgentScenario::DescribeFloor(PlotScene& scene) const
{
    scene.boxes = HideScenario::Level();
    scene.graph = m_graph;
}

CEntity* AgentScenario::SpawnBot(const HostBody& body, CConfigNode* definition, const std::string& name)
{
    const uint32_t bits = CEntityManager::s_classDesc.GetClassBit() | CPathFinder::s_classDesc.GetClassBit();
    CEntity* bot = m_world.Spawn(body, definition, bits, name.c_str());
    if (bot != nullptr)
        m_bots.push_back(bot);
    return bot;
}

CEntity* AgentScenario::SpawnOther(const HostBody& body, const std::string& name)
{
    CEntity* other = m_world.Spawn(body, MakeEntityDefinition(nullptr), CEntityManager::s_classDesc.GetClassBit(),
                                   name.c_str());
    if (other != nullptr)
        m_others.push_back(other);
    return other;
}

CVector3 AgentScenario::RandomVertexPosition()
{
    std::uniform_int_distribution<int> pick(0, m_graph->GetLastVertexIndex());
    for (;;)
        if (const CGraphVertex* vertex = m_graph->GetVertex(pick(m_random)))
            return vertex->GetPosition();
}

CVector3 AgentScenario::RandomVertexAwayFrom(const std::vector<CVector3>& away, float distance)
{
    CVector3 p;
    for (int attempt = 0; attempt < 1000; ++attempt) {
        p = RandomVertexPosition();
        bool far = true;
        for (const CVector3& a : away)
            far = far && Horizontal(p, a) >= distance;
        if (far)
            break;
    }
    return p;
}

void Route::Place(HostBody& body, double t) const
{
    double length = 0.0;
    for (std::size_t i = 0; i < corners.size(); ++i)
        length += Horizontal(corners[i], corners[(i + 1) % corners.size()]);
    double s = std::fmod(offset + speed * t, length);
    for (std::size_t i = 0; i < corners.size(); ++i) {
        const CVector3& a = corners[i];
        const CVector3& b = corners[(i + 1) % corners.size()];
        const double leg = Horizontal(a, b);
        if (s <= leg || i + 1 == corners.size()) {
            const float f = leg > 0.0 ? static_cast<float>(s / leg) : 0.0f;
            body.position = a + (b - a) * f;
            body.heading = Vusk::DirectionToAngle(b - a).y;
            body.speed = speed;
            return;
        }
        s -= leg;
    }
}

const std::vector<std::string>& ScenarioNames()
{
    static const std::vector<std::string> names = {"hide", "follow", "wander", "goto", "pathway", "attack"};
    return names;
}

std::unique_ptr<Scenario> MakeScenario(const std::string& name, const ScenarioOptions& options)
{
    if (name == "hide")
        return std::make_unique<HideRun>(options);
    if (name == "follow")
        return std::make_unique<FollowScenario>(options);
    if (name == "wander")
        return std::make_unique<WanderScenario>(options);
    if (name == "goto")
        return std::make_unique<GotoScenario>(options);
    return MakeResourceScenario(name, options);
}

} // namespace scenario
