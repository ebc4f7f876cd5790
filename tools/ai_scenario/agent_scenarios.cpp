#include "tools/ai_scenario/agent_scenarios.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <limits>
#include <map>
#include <set>

#include "ai/behaviours/entity_manager.h"
#include "ai/behaviours/flee_agent.h"
#include "ai/behaviours/follower_agents.h"
#include "ai/behaviours/hide_agent.h"
#include "ai/behaviours/shooter_agent.h"
#include "ai/navigation/path_finder.h"
#include "ai/navigation/spatial_graph.h"
#include "ai/runtime/brain.h"
#include "ai/runtime/engine.h"
#include "platform/crt.h"
#include "testing/fake_ai_host.h"
#include "tools/ai_scenario/hide_scenario.h"
#include "tools/ai_scenario/resource_scenarios.h"

namespace scenario {

namespace {

std::string Ratio(const char* what, int k, std::size_t n) {
    return std::string(what) + " " + std::to_string(k) + "/" + std::to_string(n);
}

std::string TitleOf(const char* name, const ScenarioOptions& options, const std::string& result) {
    char text[128];
    std::snprintf(text, sizeof(text), "%s: %d BOTS, %g S - %s", name, options.bots,
                  static_cast<double>(options.seconds), result.c_str());
    return text;
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

    std::vector<std::string> Report() override {
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

    void Describe(PlotScene& scene) override {
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
    static HideOptions HideOptionsOf(const ScenarioOptions& options) {
        HideOptions hide;
        hide.bots = options.bots;
        hide.seconds = options.seconds;
        hide.step = options.step;
        // The time manager rations the search for cover as a game would: at most 2000 visibility
        // checks a frame over all hiders, so that a crowd starting together spreads its scans over
        // a few frames instead of doing them all in the first.
        hide.tpfMs = 1000.0f;
        hide.visibilityCalls = 2000;
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

    bool Build(std::size_t poolSize) override {
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

    std::vector<std::string> Report() override {
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

    PlotLabels Labels() const override {
        return {"GOTO", "FINAL: ARRIVED", "FINAL: NOT ARRIVED", "", "LAST PLACE ORDERED"};
    }
    bool Outcome(std::size_t i) override { return Arrived(i); }
    std::vector<CVector3> Goals() override {
        std::vector<CVector3> goals;
        for (const Order& order : m_orders)
            goals.push_back(order.destination);
        return goals;
    }

protected:
    void BeforeFrame(double time) override {
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

    bool Arrived(std::size_t i) {
        const CGotoAgent* agent = AgentOf<CGotoAgent>(m_bots[i]);
        return agent->m_goalReached != 0 && Horizontal(BodyOf(m_bots[i]).position, m_orders[i].destination) < 0.75f;
    }

    std::vector<Order> m_orders;
};

// --- wander: bots walk from random vertex to random vertex ---

class WanderScenario : public AgentScenario {
public:
    using AgentScenario::AgentScenario;

    bool Build(std::size_t poolSize) override {
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

    std::vector<std::string> Report() override {
        std::vector<std::string> lines;
        for (std::size_t i = 0; i < m_bots.size(); ++i)
            lines.push_back("wanderer " + std::to_string(i) + " destinations reached " + std::to_string(m_reached[i]));
        lines.push_back(m_last = Ratio("visited", static_cast<int>(m_visited.size()), m_cells.size()));
        return lines;
    }

    PlotLabels Labels() const override {
        return {"WANDER", "FINAL: REACHED ONE OR MORE", "FINAL: REACHED NONE", "", "DESTINATION AT THE END"};
    }
    bool Outcome(std::size_t i) override { return m_reached[i] > 0; }
    std::vector<CVector3> Goals() override {
        std::vector<CVector3> goals;
        for (CEntity* bot : m_bots)
            goals.push_back(AgentOf<CWanderAgent>(bot)->GetDestination());
        return goals;
    }

protected:
    void BeforeFrame(double) override {
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
    static std::pair<int, int> Cell(const CVector3& p) {
        return {static_cast<int>(std::lround(p.x)), static_cast<int>(std::lround(p.z))};
    }

    std::map<std::pair<int, int>, int> m_cells; // grid cell -> vertex index
    std::set<int> m_visited;
    std::vector<int> m_reached;
    std::vector<int> m_lastDestination;
};

// --- follow: a leader walks a closed route between the boxes; the bots keep their places ---

class FollowScenario : public AgentScenario {
public:
    using AgentScenario::AgentScenario;

    bool Build(std::size_t poolSize) override {
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
            const CVector3 place =
                leaderBody.position + Vusk::AnglesToDirection(0.0f, leaderBody.heading + angle) * distance;
            body.position = place + CVector3(std::uniform_real_distribution<float>(-1.0f, 1.0f)(m_random), 0.0f,
                                             std::uniform_real_distribution<float>(-1.0f, 1.0f)(m_random));
            body.heading = leaderBody.heading;
            if (SpawnBot(body, definition, "follower" + std::to_string(i)) == nullptr)
                return false;
            m_distances.push_back(distance);
        }
        return true;
    }

    std::vector<std::string> Report() override {
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

    PlotLabels Labels() const override {
        return {"FOLLOW", "FINAL: WITHIN 1.5 X DISTANCE", "FINAL: LEFT BEHIND", "LEADER (AT THE END)", ""};
    }
    bool Outcome(std::size_t i) override { return Following(i); }

protected:
    void BeforeFrame(double time) override { m_route.Place(BodyOf(m_others[0]), time - 1.0); }

private:
    bool Following(std::size_t i) {
        return Horizontal(BodyOf(m_bots[i]).position, BodyOf(m_others[0]).position) <= 1.5f * m_distances[i];
    }

    Route m_route;
    std::vector<float> m_distances;
};

// --- flee: threats walk through the bots' area; the bots keep away ---

class FleeScenario : public AgentScenario {
public:
    static constexpr float kFleeDistance = 5.0f; // farther than this from a threat is safe
    static constexpr float kContactRange = 1.0f; // nearer than this to a threat is caught

    using AgentScenario::AgentScenario;

    bool Build(std::size_t poolSize) override {
        if (!BuildFloor(poolSize))
            return false;
        // Two threats walk to and fro along the free lanes between the boxes, 1 m/s; the second
        // sets off after 5 s and only then becomes a threat to the bots.
        m_routes.resize(2);
        m_routes[0].corners = {CVector3(-13.0f, 0, 4.5f), CVector3(13.0f, 0, 4.5f)};
        m_routes[1].corners = {CVector3(-4.5f, 0, 13.0f), CVector3(-4.5f, 0, -13.0f)};
        m_starts = {0.0, 5.0};
        for (std::size_t t = 0; t < m_routes.size(); ++t) {
            HostBody body;
            m_routes[t].Place(body, 0.0);
            if (SpawnOther(body, "threat" + std::to_string(t)) == nullptr)
                return false;
        }
        std::vector<CVector3> away;
        for (CEntity* threat : m_others)
            away.push_back(BodyOf(threat).position);
        for (int i = 0; i < m_options.bots; ++i) {
            HostBody body;
            body.position = RandomVertexAwayFrom(away, 3.0f);
            CConfigNode* agent = nullptr;
            CConfigNode* definition = BotDefinition("CFleeAgent", &agent);
            Add(agent, "Graph", "floor");
            Add(agent, "MaxEntitiesToFlee", "4");
            Add(agent, "ComputeDestInterval", "0.5");
            if (SpawnBot(body, definition, "fleer" + std::to_string(i)) == nullptr)
                return false;
        }
        m_caught.assign(m_bots.size(), false);
        m_active.assign(m_others.size(), false);
        return true;
    }

    std::vector<std::string> Report() override {
        std::vector<std::string> lines;
        int safe = 0, caught = 0;
        for (std::size_t i = 0; i < m_bots.size(); ++i) {
            safe += Safe(i) ? 1 : 0;
            caught += m_caught[i] ? 1 : 0;
            char line[96];
            std::snprintf(line, sizeof(line), "fleer %zu nearest threat %.2f seen %d caught %d", i,
                          static_cast<double>(NearestThreat(i)), Seen(i) ? 1 : 0, m_caught[i] ? 1 : 0);
            lines.push_back(line);
        }
        lines.push_back(m_last = Ratio("safe", safe, m_bots.size()) + " caught " + std::to_string(caught));
        return lines;
    }

    PlotLabels Labels() const override {
        return {"FLEE", "FINAL: SAFE (FAR OR UNSEEN)", "FINAL: NOT SAFE", "THREAT (AT THE END)", ""};
    }
    bool Outcome(std::size_t i) override { return Safe(i); }

protected:
    void BeforeFrame(double time) override {
        for (std::size_t t = 0; t < m_others.size(); ++t) {
            const double walked = time - 1.0 - m_starts[t];
            if (walked < 0.0)
                continue;
            m_routes[t].Place(BodyOf(m_others[t]), walked);
            if (!m_active[t]) {
                m_active[t] = true;
                for (CEntity* bot : m_bots)
                    AgentOf<CFleeAgent>(bot)->AddThreatEntity(m_others[t]);
            }
        }
        for (std::size_t i = 0; i < m_bots.size(); ++i)
            m_caught[i] = m_caught[i] || NearestThreat(i) < kContactRange;
    }

private:
    float NearestThreat(std::size_t i) {
        float nearest = 1e30f;
        for (std::size_t t = 0; t < m_others.size(); ++t)
            if (m_active[t])
                nearest = std::min(nearest, Horizontal(BodyOf(m_bots[i]).position, BodyOf(m_others[t]).position));
        return nearest;
    }
    bool Seen(std::size_t i) {
        for (std::size_t t = 0; t < m_others.size(); ++t)
            if (m_active[t] && Sees(m_others[t], m_bots[i]))
                return true;
        return false;
    }
    bool Safe(std::size_t i) {
        for (std::size_t t = 0; t < m_others.size(); ++t)
            if (m_active[t] && Horizontal(BodyOf(m_bots[i]).position, BodyOf(m_others[t]).position) <= kFleeDistance &&
                Sees(m_others[t], m_bots[i]))
                return false;
        return true;
    }
    // Does the host see a clear line between the two entities' eyes?
    bool Sees(const CEntity* from, const CEntity* to) {
        const HostBody& a = BodyOf(from);
        const HostBody& b = BodyOf(to);
        const float p[3] = {a.position.x, a.position.y + a.eyeHeight, a.position.z};
        const float q[3] = {b.position.x, b.position.y + b.eyeHeight, b.position.z};
        float fraction = 0.0f, normal[3];
        return !FakeAiHost::Instance().Intersect(p, q, 0.0f, &fraction, normal);
    }

    std::vector<Route> m_routes;
    std::vector<double> m_starts; // seconds after which each threat sets off
    std::vector<bool> m_active;   // the threat has set off and the bots flee it
    std::vector<bool> m_caught;   // the bot was once within contact range of a threat
};

// --- shoot: two teams of shooters, each with a named target on the other side ---

class ShootScenario : public AgentScenario {
public:
    static constexpr float kGunRange = 25.0f;     // m
    static constexpr float kConeAngle = 10.0f;    // half angle of the friendly-fire cone (degrees)
    static constexpr float kInaccuracy = 2.0f;    // largest aiming error (degrees)
    static constexpr double kReloadSeconds = 0.5; // the host's gun fires at most this often

    using AgentScenario::AgentScenario;

    bool Build(std::size_t poolSize) override {
        if (!BuildFloor(poolSize))
            return false;
        crt_srand(m_options.seed);
        // Team 0 in a band in the west, team 1 in the east; each spawns with a target named on the
        // other side: team 1 first without one, team 0 naming team 1's bots, then the host hands team
        // 1 its targets.
        const int east = m_options.bots / 2, west = m_options.bots - east;
        for (int team : {1, 0}) {
            const int count = team == 0 ? west : east;
            for (int i = 0; i < count; ++i) {
                HostBody body;
                body.position = RandomVertexInBand(team == 0 ? -14.0f : 10.0f, team == 0 ? -10.0f : 14.0f);
                body.heading = team == 0 ? 90.0f : -90.0f;
                body.teamSide = team;
                CConfigNode* agent = nullptr;
                CConfigNode* definition = BotDefinition("CShooterAgent", &agent);
                Add(agent, "GunRange", std::to_string(kGunRange).c_str());
                Add(agent, "DangerousConeAngle", std::to_string(kConeAngle).c_str());
                Add(agent, "MaxInaccuracy", std::to_string(kInaccuracy).c_str());
                // Aim at every think, so that the fire flag the host reads is never older than a frame.
                Add(agent, "AimAtTargetInterval", "0");
                if (team == 0)
                    Add(agent, "TargetBot", ("east" + std::to_string((i + 1) % east)).c_str());
                if (SpawnBot(body, definition, (team == 0 ? "west" : "east") + std::to_string(i)) == nullptr)
                    return false;
            }
        }
        // Bots were spawned east first: put them in west, east order for the report.
        std::rotate(m_bots.begin(), m_bots.begin() + east, m_bots.end());
        for (int i = 0; i < east; ++i)
            AgentOf<CShooterAgent>(m_bots[west + i])->m_target = m_bots[(i + 1) % west];
        m_shots.assign(m_bots.size(), 0);
        m_hits.assign(m_bots.size(), 0);
        m_nextShot.assign(m_bots.size(), 0.0);
        return east > 0;
    }

    std::vector<std::string> Report() override {
        std::vector<std::string> lines;
        int shots = 0, hits = 0;
        for (std::size_t i = 0; i < m_bots.size(); ++i) {
            shots += m_shots[i];
            hits += m_hits[i];
            lines.push_back(std::string("shooter ") + m_bots[i]->GetName() + " target " +
                            AgentOf<CShooterAgent>(m_bots[i])->m_target->GetName() + " shots " +
                            std::to_string(m_shots[i]) + " hits " + std::to_string(m_hits[i]));
        }
        m_last = "shots " + std::to_string(shots) + " hits " + std::to_string(hits) + " friendly " +
                 std::to_string(m_friendly);
        lines.push_back(m_last);
        return lines;
    }

    PlotLabels Labels() const override { return {"SHOOT", "FINAL: HIT ITS TARGET", "FINAL: NO HIT", "", ""}; }
    bool Outcome(std::size_t i) override { return m_hits[i] > 0; }

protected:
    // The host's guns: a bot fires when its shoot action says so and its gun is loaded. Every shot is
    // checked against the bot's friends (inside the friendly-fire cone) and its target (hit when the
    // line passes within the target's half width before any box).
    void AfterAi(double time) override {
        for (std::size_t i = 0; i < m_bots.size(); ++i) {
            const HostBody& body = BodyOf(m_bots[i]);
            if (!body.shootSet || !body.fire || time < m_nextShot[i])
                continue;
            m_nextShot[i] = time + kReloadSeconds;
            ++m_shots[i];
            const CVector3 direction = body.shootDirection;
            for (CEntity* other : m_bots) {
                const HostBody& friendBody = BodyOf(other);
                if (other != m_bots[i] && friendBody.teamSide == body.teamSide &&
                    InCone(friendBody.position - body.position, direction)) {
                    ++m_friendly;
                    break;
                }
            }
            const CEntity* target = AgentOf<CShooterAgent>(m_bots[i])->m_target;
            if (target != nullptr && Hits(body, BodyOf(target), direction))
                ++m_hits[i];
        }
    }

private:
    static bool InCone(const CVector3& offset, const CVector3& direction) {
        const double length = std::sqrt(CVector3::Dot(offset, offset));
        if (length > kGunRange)
            return false;
        if (length == 0.0)
            return true;
        // A friend within a hundredth of a degree of the cone's edge is left to the agent's own
        // rounding.
        const double cosine = CVector3::Dot(offset, direction) / length;
        return std::acos(std::clamp(cosine, -1.0, 1.0)) < (kConeAngle - 0.01) * 3.14159265358979 / 180.0;
    }

    static bool Hits(const HostBody& shooter, const HostBody& target, const CVector3& direction) {
        const double dx = direction.x, dz = direction.z;
        const double flat = std::hypot(dx, dz);
        if (flat == 0.0)
            return false;
        const double tx = target.position.x - shooter.position.x, tz = target.position.z - shooter.position.z;
        const double along = (tx * dx + tz * dz) / flat;
        const double off = std::fabs(tx * dz - tz * dx) / flat;
        if (along < 0.0 || along > kGunRange || off > 0.5 * target.width)
            return false;
        const float from[3] = {shooter.position.x, 1.0f, shooter.position.z};
        const float to[3] = {target.position.x, 1.0f, target.position.z};
        float fraction = 0.0f, normal[3];
        return !FakeAiHost::Instance().Intersect(from, to, 0.0f, &fraction, normal);
    }

    // A random live vertex whose x lies in [minX, maxX].
    CVector3 RandomVertexInBand(float minX, float maxX) {
        CVector3 p;
        do
            p = RandomVertexPosition();
        while (p.x < minX || p.x > maxX);
        return p;
    }

    std::vector<int> m_shots;
    std::vector<int> m_hits;
    std::vector<double> m_nextShot;
    int m_friendly = 0;
};

} // namespace

// --- Shared part ---

float Horizontal(const CVector3& a, const CVector3& b) { return std::hypot(a.x - b.x, a.z - b.z); }

AgentScenario::AgentScenario(const ScenarioOptions& options) : m_options(options), m_random(options.seed) {}

void AgentScenario::Step() {
    const double time = Now() + m_options.step;
    ++m_frame;
    BeforeFrame(time);
    m_world.RunAi(time);
    AfterAi(time);
    m_world.MoveBodies(m_options.step);
}

bool AgentScenario::BuildFloor(std::size_t poolSize) {
    const int maxEntity = m_options.bots + 8;
    if (!m_world.Create(MakeWorldTree(maxEntity, 0.0f, DefaultTasks(), {"CGraphManager"}), poolSize))
        return false;
    AddBoxes(HideScenario::Level());
    m_graph = BuildGridGraph(-15.0f, -15.0f, 15.0f, 15.0f, 1.0f, 0.6f);
    return m_graph != nullptr && m_world.AddGraph("floor", m_graph);
}

CConfigNode* AgentScenario::BotDefinition(const char* agentClass, CConfigNode** agent, CConfigNode** finder) {
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

void AgentScenario::Describe(PlotScene& scene) {
    const PlotLabels labels = Labels();
    scene.boxes = HideScenario::Level();
    scene.graph = m_graph;
    scene.title = TitleOf(labels.title, m_options, m_last);
    scene.goodLabel = labels.good;
    scene.badLabel = labels.bad;
    scene.othersLabel = labels.others;
    scene.goalsLabel = labels.goals;
    scene.goals = Goals();
    for (std::size_t i = 0; i < m_bots.size(); ++i)
        scene.finals.push_back({BodyOf(m_bots[i]).position, Outcome(i)});
}

CEntity* AgentScenario::SpawnBot(const HostBody& body, CConfigNode* definition, const std::string& name) {
    const uint32_t bits = CEntityManager::s_classDesc.GetClassBit() | CPathFinder::s_classDesc.GetClassBit() |
                          CShooterAgent::kFriendMaskBit;
    CEntity* bot = m_world.Spawn(body, definition, bits, name.c_str());
    if (bot != nullptr)
        m_bots.push_back(bot);
    return bot;
}

CEntity* AgentScenario::SpawnOther(const HostBody& body, const std::string& name) {
    CEntity* other =
        m_world.Spawn(body, MakeEntityDefinition(nullptr),
                      CEntityManager::s_classDesc.GetClassBit() | CShooterAgent::kFriendMaskBit, name.c_str());
    if (other != nullptr)
        m_others.push_back(other);
    return other;
}

CVector3 AgentScenario::RandomVertexPosition() {
    std::uniform_int_distribution<int> pick(0, m_graph->GetLastVertexIndex());
    for (;;)
        if (const CGraphVertex* vertex = m_graph->GetVertex(pick(m_random)))
            return vertex->GetPosition();
}

CVector3 AgentScenario::RandomVertexAwayFrom(const std::vector<CVector3>& away, float distance,
                                             const std::function<bool(const CVector3&)>& accept) {
    auto nearest = [&away](const CVector3& p) {
        float least = std::numeric_limits<float>::max();
        for (const CVector3& a : away)
            least = std::min(least, Horizontal(p, a));
        return least;
    };
    for (int attempt = 0; attempt < 1000; ++attempt) {
        const CVector3 p = RandomVertexPosition();
        if ((accept == nullptr || accept(p)) && nearest(p) >= distance)
            return p;
    }
    // Crowded: the draws may never succeed, so the accepted vertices are searched in index order.
    CVector3 best = RandomVertexPosition();
    float bestDistance = -1.0f;
    for (int32_t i = 0; i <= m_graph->GetLastVertexIndex(); ++i) {
        const CGraphVertex* vertex = m_graph->GetVertex(i);
        if (vertex == nullptr || (accept != nullptr && !accept(vertex->GetPosition())))
            continue;
        const float d = nearest(vertex->GetPosition());
        if (d > bestDistance) {
            best = vertex->GetPosition();
            bestDistance = d;
        }
    }
    return best;
}

void Route::Place(HostBody& body, double t) const {
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

const std::vector<std::string>& ScenarioNames() {
    static const std::vector<std::string> names = {"hide", "follow", "wander",  "goto",
                                                   "flee", "shoot",  "pathway", "attack"};
    return names;
}

std::unique_ptr<Scenario> MakeScenario(const std::string& name, const ScenarioOptions& options) {
    if (name == "hide")
        return std::make_unique<HideRun>(options);
    if (name == "follow")
        return std::make_unique<FollowScenario>(options);
    if (name == "wander")
        return std::make_unique<WanderScenario>(options);
    if (name == "goto")
        return std::make_unique<GotoScenario>(options);
    if (name == "flee")
        return std::make_unique<FleeScenario>(options);
    if (name == "shoot")
        return std::make_unique<ShootScenario>(options);
    return MakeResourceScenario(name, options);
}

} // namespace scenario
