// The generator's agent and phase steps on the fake host's box scene.
#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <string>
#include <vector>

#include "ai/navigation/astar.h"
#include "ai/navigation/graph_data.h"
#include "ai/navigation/graph_manager.h"
#include "ai/navigation/graph_gen_data.h"
#include "ai/navigation/graph_generator.h"
#include "ai/navigation/spatial_graph.h"
#include "ai/runtime/world.h"
#include "ai/runtime/world_api.h"
#include "testing/config_tree.h"
#include "testing/fake_ai_host.h"
#include "tools/navgen/generator_run.h"

namespace {

using configtree::Add;

class GeneratorTest : public AiEngineTest {
protected:
    void SetUp() override {
        AiEngineTest::SetUp();
        m_tree = new CConfigNode();
        Add(m_tree, "MaxEntity", "4");
        Add(m_tree, "OneMeter", "1");
        Add(m_tree, "Tpf", "0");
        CConfigNode* used = Add(m_tree, "GlobalServices");
        CConfigNode* services = Add(m_tree, "Services");
        for (const char* name : {"CGraphManager", "CPathObjectManager"}) {
            Add(used, "Service", name);
            Add(Add(services, "Service", nullptr, name), "Class", name);
        }
        m_world = Vusk::CreateWorld(m_tree, 0);
        ASSERT_NE(m_world, nullptr);
        Host().AddBox(-20.0f, -1.0f, -20.0f, 20.0f, 0.0f, 20.0f); // the floor
        m_dir = ::testing::TempDir() + "gen_" + std::to_string(::getpid());
        m_options.outDir = m_dir;
        const float lo[3] = {-20.0f, -2.0f, -20.0f}, hi[3] = {20.0f, 4.0f, 20.0f};
        std::copy(lo, lo + 3, m_options.level.boundsMin);
        std::copy(hi, hi + 3, m_options.level.boundsMax);
    }
    void TearDown() override {
        Remove();
        delete m_world;
        Vusk::DeleteTree(m_tree);
        Vusk::AstarFreeBuffers();
        AiEngineTest::TearDown();
    }
    // Creates the generator entity with the options' definition plus `extra` parameters of the agent
    // (name, value pairs); its agent, or null when refused.
    CGraphGeneratorAgent* Spawn(const std::vector<std::pair<const char*, const char*>>& extra = {}) {
        Remove();
        m_definition = navgen::MakeGeneratorDefinition(m_options);
        CConfigNode* agent = m_definition->FindChild("Brain")->FindChild("Agent");
        for (const auto& [name, value] : extra)
            Add(agent, name, value);
        m_entity = Vusk::CreateEntity("Generator", m_definition, 0, &m_walker);
        if (m_entity == nullptr)
            return nullptr;
        EXPECT_TRUE(Vusk::AddEntity(m_world, m_entity));
        return static_cast<CGraphGeneratorAgent*>(m_entity->GetBrain()->GetAgent(&CGraphGeneratorAgent::s_classDesc));
    }
    void Remove() {
        if (m_entity != nullptr) {
            Vusk::RemoveEntity(m_world, m_entity);
            Vusk::DestroyEntity(m_entity);
            m_entity = nullptr;
        }
        Vusk::DeleteTree(m_definition);
        m_definition = nullptr;
    }
    static void Link(CSpatialGraph* graph, int a, int b) {
        CGraphEdgeData data;
        graph->AddEdge(data, graph->GetVertex(a), graph->GetVertex(b), -1);
    }

    CConfigNode* m_tree = nullptr;
    CWorld* m_world = nullptr;
    CConfigNode* m_definition = nullptr;
    CEntity* m_entity = nullptr;
    navgen::Walker m_walker;
    navgen::GenerationOptions m_options;
    std::string m_dir;
};
AI_ENGINE_TEST_SUITE(GeneratorTest);

TEST_P(GeneratorTest, ParametersAndTheirLimits) {
    EXPECT_TRUE(Vusk::CheckGraphGeneratorClasses());
    // The generator's shared tables are engine memory: the host's hook sees the per-class file names.
    Host().ClearHookCalls();
    ASSERT_NE(Spawn(), nullptr);
    const std::size_t names = CGraphDataDesc::GetRegistry().GetCount() * CGraphGeneratorAgent::kFileNameSize;
    const auto& calls = Host().AllocationHookCalls();
    EXPECT_TRUE(std::any_of(calls.begin(), calls.end(), [&](const FakeHookCall& c) { return c.size == names; }));
    Remove();
    struct Case {
        std::vector<std::pair<const char*, const char*>> extra;
        int sectors;
        int phase;
        float average, maximum, validEdge;
    };
    const Case cases[] = {
        {{{"NB_SECTORS", "2"}}, 36, 1, 2.5f, 5.0f, 7.5f},
        {{{"NB_SECTORS", "3"}}, 3, 1, 2.5f, 5.0f, 7.5f},
        {{{"NB_SECTORS", "35"}, {"FIRST_STEP", "bogus"}}, 35, 1, 2.5f, 5.0f, 7.5f},
        {{{"FIRST_STEP", "simplify_edges"}}, 36, 2, 2.5f, 5.0f, 7.5f},
        {{{"FIRST_STEP", "Additional_Data"}}, 36, 5, 2.5f, 5.0f, 7.5f},
        {{{"RADIUS_AVERAGE", "2"}}, 36, 1, 2.0f, 4.0f, 6.0f},
        {{{"RADIUS_MAX", "7"}, {"MAX_LENGTH_VALID_EDGE", "9"}, {"RADIUS_AVERAGE", "2"}}, 36, 1, 2.0f, 7.0f, 9.0f},
    };
    for (const Case& c : cases) {
        CGraphGeneratorAgent* agent = Spawn(c.extra);
        ASSERT_NE(agent, nullptr);
        EXPECT_EQ(agent->m_sectorCount, c.sectors);
        EXPECT_EQ(Vusk::GetGraphGeneratorPhase(), c.phase);
        EXPECT_EQ(agent->m_radiusAverage, c.average);
        EXPECT_EQ(agent->m_radiusMax, c.maximum);
        EXPECT_EQ(agent->m_maxValidEdge, c.validEdge);
        Remove();
        EXPECT_EQ(Vusk::GetGraphGeneratorPhase(), 0); // the last agent takes the shared state with it
        EXPECT_EQ(Vusk::GetGeneratorGraph(), nullptr);
    }
    EXPECT_EQ(Spawn({{"SEMI_TRANSPARENT_OBJECTS_TEST", "no"}})->m_semiTransparentTest, 0);
    EXPECT_EQ(Spawn({{"SEMI_TRANSPARENT_OBJECTS_TEST", "yes"}})->m_semiTransparentTest, 1);
    // Incomplete points and a missing output are refused.
    Remove();
    m_definition = navgen::MakeGeneratorDefinition(m_options);
    CConfigNode* point = m_definition->FindChild("Brain")->FindChild("Agent")->FindChild("BB_MIN");
    point->DeleteChildren();
    Add(point, "x", "1");
    EXPECT_EQ(Vusk::CreateEntity("Generator", m_definition, 0, &m_walker), nullptr);
    Remove();
    m_options.outDir = std::string(1100, 'd'); // file names that do not fit their fields
    EXPECT_EQ(Spawn(), nullptr);
}

TEST_P(GeneratorTest, SectorsVerticesHolesAndRecords) {
    CGraphGeneratorAgent* agent = Spawn({{"RADIUS_AVERAGE", "5"}});
    ASSERT_NE(agent, nullptr);
    ASSERT_TRUE(agent->IsReady());
    // On flat open ground: 36 points on a circle of radius 5 at the vertex's height, each scored
    // 3 / R (R = the maximum radius, 10), with three rays drawn per point.
    CGraphVertex* v = Vusk::GraphGenAddVertex(agent, CVector3(1.0f, 0.9f, 2.0f), 0);
    ASSERT_NE(v, nullptr);
    Host().ClearDrawing();
    ASSERT_TRUE(Vusk::GraphGenComputeSectors(agent, v));
    CGenVertexRecord* record = Vusk::GetGeneratorData()->GetVertexRecord(v->GetIndex());
    for (int i = 0; i < 36; ++i) {
        CVector3 p = record->GetSectorPoint(i);
        EXPECT_NEAR(std::hypot(p.x - 1.0f, p.z - 2.0f), 5.0f, 1e-4f);
        EXPECT_NEAR(p.y, 0.9f, 1e-5f);
        EXPECT_FLOAT_EQ(record->m_scores[i], 0.3f);
    }
    EXPECT_EQ(Host().Lines().size(), 108u);
    // A point that already holds a vertex only changes that vertex's mark.
    EXPECT_EQ(Vusk::GraphGenAddVertex(agent, CVector3(1.0f, 0.9f, 2.0f), 1), v);
    EXPECT_EQ(Vusk::GetGeneratorGraph()->GetVertexCount(), 1);
    EXPECT_EQ(record->m_secondMark, 1);
    // The hole test probes A and the points 1 to 8 tenths of the way; with no checkpoints it finds none.
    const CVector3 a(0.0f, 0.9f, 0.0f), b(10.0f, 0.9f, 0.0f);
    size_t before = Host().RayQueries().size();
    EXPECT_FALSE(Vusk::GraphGenHasHole(agent, a, b));
    ASSERT_EQ(Host().RayQueries().size() - before, 9u);
    for (int i = 0; i < 9; ++i)
        EXPECT_NEAR(Host().RayQueries()[before + size_t(i)].from[0], float(i), 1e-5f);
    Host().AddBox(4.5f, 0.0f, -1.0f, 5.5f, 0.7f, 1.0f); // a block higher than the hole step (0.63)
    EXPECT_TRUE(Vusk::GraphGenHasHole(agent, a, b));
    agent->m_holeCheckpoints = 0;
    before = Host().RayQueries().size();
    EXPECT_FALSE(Vusk::GraphGenHasHole(agent, a, b));
    EXPECT_EQ(Host().RayQueries().size(), before);
    // Records beyond the capacity: twice the index, the old ones kept.
    CGraphGenData* data = Vusk::GetGeneratorData();
    data->GetVertexRecord(5)->m_radius = 7.0f;
    ASSERT_NE(data->GetVertexRecord(15000), nullptr);
    EXPECT_EQ(data->GetVertexCapacity(), 30000u);
    EXPECT_EQ(data->GetVertexRecord(5)->m_radius, 7.0f);
}

TEST_P(GeneratorTest, CollapseMergesOnlyPlainTwoWayEdges) {
    CGraphGeneratorAgent* agent = Spawn({{"FIRST_STEP", "SIMPLIFY_EDGES"}, {"DenseGraphWithEdges", ""}});
    ASSERT_NE(agent, nullptr);
    ASSERT_EQ(agent->m_slot, 0);
    agent->IsReady();
    CSpatialGraph* graph = Vusk::GetGeneratorGraph();
    CGraphGenData* data = Vusk::GetGeneratorData();
    // Two squares of 1 m: A (0-3) with every edge one way round the ring, B (4-7) with every edge both
    // ways; and a pair 8 <-> 9 whose ends have one edge each way only.
    const float square[4][2] = {{0, 0}, {1, 0}, {1, 1}, {0, 1}};
    for (float offset : {0.0f, 5.0f})
        for (const auto& p : square)
            graph->AddVertexAt(CVector3(p[0] + offset, 0.9f, p[1]));
    graph->AddVertexAt(CVector3(0.0f, 0.9f, 5.0f));
    graph->AddVertexAt(CVector3(1.0f, 0.9f, 5.0f));
    for (int i = 0; i < 4; ++i) {
        Link(graph, i, (i + 1) % 4);
        Link(graph, 4 + i, 4 + (i + 1) % 4);
        Link(graph, 4 + (i + 1) % 4, 4 + i);
    }
    Link(graph, 8, 9);
    Link(graph, 9, 8);
    // With every edge of B marked as a path-object edge, nothing can be collapsed.
    for (int e = 0; e <= graph->GetLastEdgeIndex(); ++e)
        data->GetEdgeRecord(e)->m_secondMark =
            graph->GetEdge(e)->GetSource()->GetIndex() >= 4 && graph->GetEdge(e)->GetSource()->GetIndex() < 8;
    EXPECT_FALSE(agent->Step()); // the first step looks for the file, which has no name
    agent->Step();
    EXPECT_EQ(Vusk::GetGraphGeneratorPhase(), 3);
    EXPECT_EQ(graph->GetVertexCount(), 10);
    EXPECT_EQ(graph->GetEdgeCount(), 14);

    // Unmarked, the two-way square collapses; the one-way ring and the thin pair are left as they were.
    Remove();
    agent = Spawn({{"FIRST_STEP", "SIMPLIFY_EDGES"}, {"DenseGraphWithEdges", ""}});
    agent->IsReady();
    graph = Vusk::GetGeneratorGraph();
    for (float offset : {0.0f, 5.0f})
        for (const auto& p : square)
            graph->AddVertexAt(CVector3(p[0] + offset, 0.9f, p[1]));
    for (int i = 0; i < 4; ++i) {
        Link(graph, i, (i + 1) % 4);
        Link(graph, 4 + i, 4 + (i + 1) % 4);
        Link(graph, 4 + (i + 1) % 4, 4 + i);
    }
    agent->Step();
    for (int guard = 0; guard < 20 && Vusk::GetGraphGeneratorPhase() == 2; ++guard)
        agent->Step();
    EXPECT_EQ(Vusk::GetGraphGeneratorPhase(), 3);
    int ring = 0;
    for (int i = 0; i <= graph->GetLastVertexIndex(); ++i)
        ring += graph->GetVertex(i) != nullptr && graph->GetVertex(i)->GetPosition().x < 2.0f;
    EXPECT_EQ(ring, 4);
    EXPECT_LT(graph->GetVertexCount(), 8);

    // Each end is a neighbour of the other: in a square of 3 m, a post between the middle of the first
    // edge (0 -> 1) and its end keeps that edge; the next edge (1 -> 2) collapses instead.
    Remove();
    Host().AddBox(7.5f, 0.0f, -0.1f, 7.6f, 3.0f, 0.1f);
    agent = Spawn({{"FIRST_STEP", "SIMPLIFY_EDGES"}, {"DenseGraphWithEdges", ""}});
    agent->IsReady();
    graph = Vusk::GetGeneratorGraph();
    for (const auto& p : square)
        graph->AddVertexAt(CVector3(3.0f * p[0] + 5.0f, 0.9f, 3.0f * p[1]));
    for (int i = 0; i < 4; ++i) {
        Link(graph, i, (i + 1) % 4);
        Link(graph, (i + 1) % 4, i);
    }
    agent->Step(); // phase entry
    agent->Step(); // one collapse
    EXPECT_NE(graph->GetVertex(0), nullptr);
    EXPECT_EQ(graph->GetVertex(1), nullptr);
    EXPECT_EQ(graph->GetVertex(2), nullptr);
}

TEST_P(GeneratorTest, LastPhaseWritesTheDataAndGivesTheSearchBuffersBack) {
    // A final graph of a 3 x 3 grid, written by the engine.
    std::filesystem::create_directories(m_dir);
    CSpatialGraph grid;
    for (int i = 0; i < 9; ++i)
        grid.AddVertexAt(CVector3(float(i % 3), 0.9f, float(i / 3)));
    for (int i = 0; i < 9; ++i) {
        if (i % 3 < 2) {
            Link(&grid, i, i + 1);
            Link(&grid, i + 1, i);
        }
        if (i < 6) {
            Link(&grid, i, i + 3);
            Link(&grid, i + 3, i);
        }
    }
    ASSERT_TRUE(grid.Save((m_dir + "/final.graph").c_str()));
    for (const char* file : {"final.fnd", "final.astar", "final.pcost", "final.aw"})
        std::filesystem::remove(m_dir + "/" + file);
    ASSERT_TRUE(Vusk::AstarCreateBuffers(123)); // sized for the world's graphs
    CGraphGeneratorAgent* agent = Spawn({{"FIRST_STEP", "ADDITIONAL_DATA"}});
    ASSERT_NE(agent, nullptr);
    CBrain* brain = m_entity->GetBrain();
    for (int guard = 0; guard < 5 && Vusk::GetGraphGeneratorPhase() != 6; ++guard)
        brain->Think();
    EXPECT_EQ(Vusk::GetGraphGeneratorPhase(), 6);
    EXPECT_EQ(Vusk::GetGeneratorGraph()->GetVertexCount(), 9);
    EXPECT_EQ(Vusk::AstarGetBufferSize(), 123);
    for (const char* file : {"final.fnd", "final.astar", "final.pcost", "final.aw"})
        EXPECT_TRUE(std::filesystem::exists(m_dir + "/" + file)) << file;
    EXPECT_EQ(std::filesystem::file_size(m_dir + "/final.astar"), 22u + 4u * 81u);
}

TEST_P(GeneratorTest, SeedGraphSegmentsBecomeMarkedVerticesAndEdges) {
    // A seed graph of 3 vertices and 2 edges: 5 segments, the vertices' (zero length) first.
    auto* seed = new CSpatialGraph();
    const CVector3 points[3] = {{-3.0f, 0.9f, 0.0f}, {0.0f, 0.9f, 0.0f}, {40.0f, 0.9f, 0.0f}};
    for (const CVector3& p : points)
        seed->AddVertexAt(p);
    Link(seed, 0, 1);
    Link(seed, 1, 2);
    ASSERT_NE(Vusk::GetGraphManager()->AddGraph("Seed", seed, false), nullptr);
    CGraphGeneratorAgent* agent = Spawn({{"SEED_GRAPH", "seed"}});
    ASSERT_NE(agent, nullptr);
    CSeedPathObject* object = CSeedPathObject::GetCurrent();
    ASSERT_NE(object, nullptr);
    ASSERT_EQ(object->GetSegmentCount(), 5u);
    const CPathSegment* segments = object->GetSegments();
    EXPECT_EQ(segments[2].m_a.x, 40.0f);
    EXPECT_EQ(segments[2].m_b.x, 40.0f);
    EXPECT_EQ(segments[4].m_a.x, 0.0f);
    EXPECT_EQ(segments[4].m_b.x, 40.0f);
    // The first exploration step adds the ends inside the bounding box with the path-object mark, and
    // marked edges both ways between ends that are both inside (vertex 2 lies outside the box).
    agent->IsReady();
    agent->Step();
    CSpatialGraph* graph = Vusk::GetGeneratorGraph();
    CGraphGenData* data = Vusk::GetGeneratorData();
    ASSERT_GE(graph->GetVertexCount(), 2);
    EXPECT_EQ(graph->GetVertex(0)->GetPosition().x, -3.0f);
    EXPECT_EQ(graph->GetVertex(1)->GetPosition().x, 0.0f);
    EXPECT_EQ(data->GetVertexRecord(0)->m_secondMark, 1);
    EXPECT_EQ(data->GetVertexRecord(1)->m_secondMark, 1);
    CGraphEdge* forward = graph->FindEdgeTo(graph->GetVertex(0), graph->GetVertex(1));
    CGraphEdge* back = graph->FindEdgeTo(graph->GetVertex(1), graph->GetVertex(0));
    ASSERT_TRUE(forward != nullptr && back != nullptr);
    EXPECT_EQ(data->GetEdgeRecord(forward->GetIndex())->m_secondMark, 1);
    EXPECT_EQ(data->GetEdgeRecord(back->GetIndex())->m_secondMark, 1);
    // The seed's vertices, segments of no length, link their vertices to themselves.
    for (int v = 0; v < 2; ++v) {
        CGraphEdge* loop = graph->FindEdgeTo(graph->GetVertex(v), graph->GetVertex(v));
        ASSERT_NE(loop, nullptr) << v;
        EXPECT_EQ(data->GetEdgeRecord(loop->GetIndex())->m_secondMark, 1);
    }
    for (int i = 2; i <= graph->GetLastVertexIndex(); ++i)
        EXPECT_LT(graph->GetVertex(i)->GetPosition().x, 20.0f);
    // A run that starts from a dense graph file marks what it read of it, also of a file cut short
    // (here in its edges), and goes on with that.
    Remove();
    std::filesystem::create_directories(m_dir);
    const std::string dense = m_dir + "/cut.graph";
    CSpatialGraph written;
    for (float x : {-3.0f, 0.0f, 3.0f})
        written.AddVertexAt(CVector3(x, 0.9f, 0.0f));
    for (int i = 0; i < 2; ++i) {
        Link(&written, i, i + 1);
        Link(&written, i + 1, i);
    }
    ASSERT_TRUE(written.Save(dense.c_str()));
    std::filesystem::resize_file(dense, std::filesystem::file_size(dense) - 2); // into the last edge
    agent = Spawn({{"SEED_GRAPH", "seed"}, {"FIRST_STEP", "SIMPLIFY_EDGES"}, {"DenseGraphWithEdges", dense.c_str()}});
    ASSERT_NE(agent, nullptr);
    agent->IsReady();
    agent->Step(); // the edges did not read: the vertices, left without any, go and the phase ends
    data = Vusk::GetGeneratorData();
    EXPECT_EQ(data->GetVertexRecord(0)->m_secondMark, 1);
    EXPECT_EQ(data->GetVertexRecord(1)->m_secondMark, 1);
    EXPECT_EQ(data->GetVertexRecord(2)->m_secondMark, 0);
    EXPECT_EQ(Vusk::GetGraphGeneratorPhase(), 3);
    // The seed object goes with the last generator agent; a seed graph that does not exist, or whose
    // name does not fit, is refused.
    Remove();
    EXPECT_EQ(CSeedPathObject::GetCurrent(), nullptr);
    for (const std::string& name : {std::string("Missing"), std::string(300, 's')}) {
        CConfigNode definition;
        Add(&definition, "Class", "CSeedPathObject");
        Add(&definition, "SEED_GRAPH", name.c_str());
        EXPECT_EQ(Vusk::CreateEntity("SeedGraph", &definition, 0, nullptr), nullptr);
    }
}

} // namespace
