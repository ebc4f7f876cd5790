#include "tools/ai_scenario/resource_scenarios.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "ai/behaviours/attack_nn_agent.h"
#include "ai/behaviours/path_way_agent.h"
#include "ai/navigation/neural_net.h"
#include "ai/navigation/path_way.h"
#include "ai/runtime/ais_reader.h"
#include "ai/runtime/brain.h"
#include "ai/runtime/world.h"
#include "ai/runtime/world_api.h"
#include "testing/fake_ai_host.h"
#include "tools/aires/resource_text.h"

namespace scenario {

namespace {

// Loads each block into a new resource of the manager under its name and hands the manager to the
// world; false when anything is refused (the manager is then deleted).
bool AddResources(ScenarioWorld& world, CResourceManager* manager,
                  const std::vector<std::pair<std::string, AiRes::Bytes>>& blocks) {
    if (manager == nullptr)
        return false;
    bool ok = true;
    CConfigNode* holder = new CConfigNode();
    for (const auto& [name, bytes] : blocks) {
        CConfigNode* raw = holder != nullptr ? Add(holder, "RawData") : nullptr;
        ok = ok && raw != nullptr &&
             Vusk::GetAisReader()->AttachMemoryBlock(raw, bytes.data(), static_cast<uint32_t>(bytes.size())) &&
             manager->AddResource(name.c_str(), raw);
    }
    delete holder;
    ok = ok && world.GetWorld()->AddGlobalService(manager);
    if (!ok)
        delete manager;
    return ok;
}

// --- pathway: bots walk closed path ways round the middle of the floor ---

class PathWayScenario : public AgentScenario {
public:
    using AgentScenario::AgentScenario;

    // One round of eight steps, each way starting at another corner.
    static constexpr int kWays = 4;

    bool Build(std::size_t poolSize) override {
        if (!BuildFloor(poolSize))
            return false;
        const CVector3 corners[] = {CVector3(-4.5f, 0, -4.5f), CVector3(4.5f, 0, -4.5f), CVector3(4.5f, 0, 4.5f),
                                    CVector3(-4.5f, 0, 4.5f)};
        std::vector<std::pair<std::string, AiRes::Bytes>> blocks;
        for (int w = 0; w < kWays; ++w) {
            AiRes::PathWay way;
            way.name = "Round" + std::to_string(w);
            way.flag = 1;
            for (int k = 0; k < 4; ++k) {
                const CVector3 a = corners[(w + k) % 4];
                const CVector3 b = corners[(w + k + 1) % 4];
                const CVector3 middle = (a + b) * 0.5f;
                way.records.push_back(Position(k == 3 ? 1 : 2, a)); // the last leg is walked
                way.records.push_back(CornerCommand(k));
                way.records.push_back(Position(k == 2 ? 4 : 2, middle));
            }
            blocks.emplace_back(way.name, AiRes::EncodePathWay(way));
        }
        if (!AddResources(m_world, static_cast<CResourceManager*>(CPathWayManager::Create()), blocks))
            return false;
        for (int i = 0; i < m_options.bots; ++i) {
            const int w = i % kWays;
            CConfigNode* agent = nullptr;
            CConfigNode* finder = nullptr;
            CConfigNode* definition = BotDefinition("CPathWayAgent", &agent, &finder);
            Add(finder, "DistGoal", "0.2");
            Add(agent, "PathWayName", ("round" + std::to_string(w)).c_str());
            HostBody body;
            body.maxSpeed = 3.0f;
            // Near the way's first corner, on a small ring.
            const float angle =
                6.2831853f * static_cast<float>(i / kWays) / static_cast<float>(1 + m_options.bots / kWays);
            body.position = corners[w] + CVector3(1.5f * std::sin(angle), 0.0f, 1.5f * std::cos(angle));
            if (SpawnBot(body, definition, "walker" + std::to_string(i)) == nullptr ||
                AgentOf<CPathWayAgent>(m_bots.back()) == nullptr)
                return false;
        }
        m_reached.assign(m_bots.size(), std::vector<bool>(8, false));
        m_laps.assign(m_bots.size(), 0);
        m_lastStep.assign(m_bots.size(), 0);
        return true;
    }

    std::vector<std::string> Report() override {
        std::vector<std::string> lines;
        int steps = 8, laps = -1;
        for (std::size_t i = 0; i < m_bots.size(); ++i) {
            int reached = 0;
            for (bool r : m_reached[i])
                reached += r ? 1 : 0;
            steps = std::min(steps, reached);
            laps = laps < 0 ? m_laps[i] : std::min(laps, m_laps[i]);
            lines.push_back("walker " + std::to_string(i) + " way round" + std::to_string(i % kWays) + " steps " +
                            std::to_string(reached) + "/8 laps " + std::to_string(m_laps[i]));
        }
        // Every bot: the steps all of them reached, and the laps the slowest completed.
        lines.push_back(m_last = "steps " + std::to_string(steps) + "/8 laps " + std::to_string(laps));
        return lines;
    }

    PlotLabels Labels() const override {
        return {"PATHWAY", "FINAL: ONE LAP OR MORE", "FINAL: NO LAP", "", "PATH-WAY STEPS"};
    }
    bool Outcome(std::size_t i) override { return m_laps[i] > 0; }
    std::vector<CVector3> Goals() override {
        std::vector<CVector3> goals;
        auto* manager =
            static_cast<CPathWayManager*>(m_world.GetWorld()->GetGlobalService(&CPathWayManager::s_classDesc));
        const CPathWay* way = manager->FindPathWay("Round0");
        for (uint32_t k = 0; way != nullptr && k < way->GetStepCount(); ++k)
            goals.push_back(way->GetStep(k)->m_position);
        return goals;
    }

protected:
    void BeforeFrame(double) override {
        for (std::size_t i = 0; i < m_bots.size(); ++i) {
            const CPathWayAgent* agent = AgentOf<CPathWayAgent>(m_bots[i]);
            const int step = agent->GetCurrentStep();
            if (step != m_lastStep[i]) {
                // The step left was reached and its command done.
                m_reached[i][static_cast<std::size_t>(m_lastStep[i])] = true;
                if (step == 0)
                    ++m_laps[i];
                m_lastStep[i] = step;
            }
        }
    }

private:
    static AiRes::PathWayRecord Position(uint8_t type, const CVector3& p) {
        AiRes::PathWayRecord record;
        record.type = type;
        record.x = p.x, record.y = p.y, record.z = p.z;
        return record;
    }
    // Corner commands: pause 1 s, turn 90 degrees, face north, a free text (nothing to do).
    static AiRes::PathWayRecord CornerCommand(int k) {
        AiRes::PathWayRecord record;
        record.type = static_cast<uint8_t>(k < 3 ? 11 + k : 14);
        record.value = k == 0 ? 1.0f : (k == 1 ? 90.0f : 180.0f);
        record.text = "look around";
        return record;
    }

    std::vector<std::vector<bool>> m_reached;
    std::vector<int> m_laps;
    std::vector<int> m_lastStep;
};

// --- attack: two teams of attack agents; a bot hit often enough leaves the world ---

class AttackScenario : public AgentScenario {
public:
    using AgentScenario::AgentScenario;

    static constexpr int kHealth = 20;       // hits a bot takes before it leaves
    static constexpr float kGunRange = 2.0f; // a shot hits an enemy within this distance (m) ...
    static constexpr float kGunCone = 0.9f;  // ... and within this cosine of the shot's direction
    static constexpr float kStuckSeconds = 5.0f;

    bool Build(std::size_t poolSize) override {
        if (!BuildFloor(poolSize))
            return false;
        if (!AddResources(m_world, static_cast<CResourceManager*>(CNeuralNetManager::Create()),
                          {{"Flank", AiRes::EncodeNeuralNet(Strategy())}}))
            return false;
        for (int i = 0; i < m_options.bots; ++i) {
            const int team = i % 2;
            CConfigNode* agent = nullptr;
            CConfigNode* definition = BotDefinition("CAttackNNAgent", &agent);
            Add(agent, "StrategyUsed", "flank");
            HostBody body;
            std::vector<CVector3> taken;
            for (CEntity* bot : m_bots)
                taken.push_back(BodyOf(bot).position);
            // Each team starts on its own half.
            body.position =
                RandomVertexAwayFrom(taken, 1.5f, [team](const CVector3& p) { return (p.x < 0.0f) == (team == 0); });
            body.teamSide = team;
            body.heading = team == 0 ? -90.0f : 90.0f;
            if (SpawnBot(body, definition, std::string(team == 0 ? "west" : "east") + std::to_string(i / 2)) ==
                    nullptr ||
                AgentOf<CAttackNNAgent>(m_bots.back()) == nullptr)
                return false;
        }
        m_health.assign(m_bots.size(), kHealth);
        m_alive.assign(m_bots.size(), true);
        m_anchor.resize(m_bots.size());
        for (std::size_t i = 0; i < m_bots.size(); ++i)
            m_anchor[i] = {BodyOf(m_bots[i]).position, Now()};
        m_stuck.assign(m_bots.size(), false);
        return true;
    }

    std::vector<std::string> Report() override {
        std::vector<std::string> lines;
        int kills = 0, stuck = 0;
        for (std::size_t i = 0; i < m_bots.size(); ++i) {
            kills += m_alive[i] ? 0 : 1;
            stuck += m_stuck[i] ? 1 : 0;
            lines.push_back(std::string(m_bots[i]->GetName()) + " team " + std::to_string(i % 2) + " health " +
                            std::to_string(m_health[i]) + (m_alive[i] ? " alive" : " killed") +
                            (m_stuck[i] ? " stuck" : ""));
        }
        lines.push_back(m_last = "kills " + std::to_string(kills) + " stuck " + std::to_string(stuck));
        return lines;
    }

    PlotLabels Labels() const override {
        return {"ATTACK", "FINAL: ALIVE", "FINAL: KILLED", "", "GOAL POINT AT THE END"};
    }
    bool Outcome(std::size_t i) override { return m_alive[i]; }
    std::vector<CVector3> Goals() override {
        std::vector<CVector3> goals;
        for (std::size_t i = 0; i < m_bots.size(); ++i)
            if (m_alive[i])
                goals.push_back(AgentOf<CAttackNNAgent>(m_bots[i])->GetGoalPoint());
        return goals;
    }

protected:
    void BeforeFrame(double time) override {
        // The shots of the last frame: each hits the nearest enemy in front of the gun, in range and
        // in sight.
        for (std::size_t i = 0; i < m_bots.size(); ++i) {
            HostBody& body = BodyOf(m_bots[i]);
            if (!m_alive[i] || !body.fire)
                continue;
            body.fire = false;
            const int j = Victim(i);
            if (j >= 0 && --m_health[static_cast<std::size_t>(j)] <= 0)
                Kill(static_cast<std::size_t>(j));
        }
        // A live bot that stays within 0.5 m of one place for kStuckSeconds while its enemy is out of
        // gun range is stuck.
        for (std::size_t i = 0; i < m_bots.size(); ++i) {
            if (!m_alive[i])
                continue;
            const CVector3& p = BodyOf(m_bots[i]).position;
            if (Horizontal(p, m_anchor[i].first) > 0.5f || NearestEnemyDistance(i) < kGunRange + 0.5f) {
                m_anchor[i] = {p, time};
                m_stuck[i] = false;
            } else if (time - m_anchor[i].second > kStuckSeconds && AnyEnemyLeft(i)) {
                m_stuck[i] = true;
            }
        }
    }

private:
    // Seven inputs (distance class far, close, contact; the target's angle class) to seven linear
    // outputs (sides front, right, behind, left; ranges far, close, contact): stand behind the target
    // unless it already faces away from the bot, close in from far, contact range once close.
    static AiRes::NeuralNet Strategy() {
        AiRes::NeuralNet net;
        net.linear = true;
        net.layers = {7, 7};
        const float rows[7][8] = {
            // bias, far, close, contact, angle 0, angle 1, angle 2, angle 3
            {0.0f, 0, 0, 0, 1.0f, 0, 0, 0},    // side: in front
            {0.0f, 0, 0, 0, 0, 0.8f, 0, 0},    // side: right
            {0.5f, 0, 0, 0, 0, 0, 0, 0},       // side: behind
            {0.0f, 0, 0, 0, 0, 0, 0, 0.8f},    // side: left
            {0.0f, 0, 0, 0, 0, 0, 0, 0},       // range: far
            {0.0f, 1.0f, 0, 0, 0, 0, 0, 0},    // range: close
            {0.5f, 0, 0.8f, 1.0f, 0, 0, 0, 0}, // range: contact
        };
        for (const auto& row : rows)
            net.weights.insert(net.weights.end(), row, row + 8);
        return net;
    }

    int Victim(std::size_t shooter) {
        const HostBody& body = BodyOf(m_bots[shooter]);
        const CVector3 from = body.position + CVector3(0.0f, body.eyeHeight, 0.0f);
        int best = -1;
        float bestDistance = kGunRange;
        for (std::size_t j = 0; j < m_bots.size(); ++j) {
            if (!m_alive[j] || j % 2 == shooter % 2)
                continue;
            const HostBody& other = BodyOf(m_bots[j]);
            const CVector3 to = other.position + CVector3(0.0f, other.eyeHeight, 0.0f);
            const float d = std::sqrt(CVector3::DistanceSquared(from, to));
            if (d >= bestDistance || d <= 0.0f ||
                CVector3::Dot(body.shootDirection, (to - from) * (1.0f / d)) < kGunCone)
                continue;
            const float a[3] = {from.x, from.y, from.z}, b[3] = {to.x, to.y, to.z};
            float fraction = 0.0f, normal[3];
            if (FakeAiHost::Instance().Intersect(a, b, 0.0f, &fraction, normal))
                continue;
            best = static_cast<int>(j);
            bestDistance = d;
        }
        return best;
    }

    void Kill(std::size_t j) {
        m_alive[j] = false;
        BodyOf(m_bots[j]).frozen = true;
        Vusk::RemoveEntity(m_world.GetWorld(), m_bots[j]);
    }

    float NearestEnemyDistance(std::size_t i) {
        float nearest = 1e30f;
        for (std::size_t j = 0; j < m_bots.size(); ++j)
            if (m_alive[j] && j % 2 != i % 2)
                nearest = std::min(nearest, Horizontal(BodyOf(m_bots[i]).position, BodyOf(m_bots[j]).position));
        return nearest;
    }

    bool AnyEnemyLeft(std::size_t i) {
        for (std::size_t j = 0; j < m_bots.size(); ++j)
            if (m_alive[j] && j % 2 != i % 2)
                return true;
        return false;
    }

    std::vector<int> m_health;
    std::vector<bool> m_alive;
    std::vector<std::pair<CVector3, double>> m_anchor; // place and time a bot was last seen moving
    std::vector<bool> m_stuck;
};

} // namespace

std::unique_ptr<Scenario> MakeResourceScenario(const std::string& name, const ScenarioOptions& options) {
    if (name == "pathway")
        return std::make_unique<PathWayScenario>(options);
    if (name == "attack")
        return std::make_unique<AttackScenario>(options);
    return nullptr;
}

} // namespace scenario
