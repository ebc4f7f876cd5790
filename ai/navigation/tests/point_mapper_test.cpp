#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>

#include "ai/navigation/graph_manager.h"
#include "ai/navigation/graph_wrapper.h"
#include "ai/navigation/path_finder.h"
#include "ai/navigation/point_mapper.h"
#include "ai/navigation/spatial_graph.h"
#include "ai/navigation/tests/nav_test_support.h"
#include "ai/runtime/ais_reader.h"
#include "ai/runtime/engine.h"
#include "ai/runtime/world.h"
#include "ai/runtime/world_api.h"

using navtest::Bytes;

namespace {

using navtest::Add;
using navtest::AddDefinition;

class PointMapperTest : public navtest::NavTest {
protected:
  static void AddContainer(CConfigNode* definition, const char* graph, const char* className = "CGraphWrapper") {
    CConfigNode* container = Add(definition, "Container", nullptr, graph);
    if (className != nullptr) Add(container, "Class", className);
  }
  // A world (OneMeter 1) whose graph manager holds "Walk" and "Crawl".
  void SetUp() override {
    navtest::NavTest::SetUp();
    m_tree = new CConfigNode();
    Add(m_tree, "MaxEntity", "10");
    Add(m_tree, "OneMeter", "1");
    Add(m_tree, "Tpf", "20");
    Add(Add(m_tree, "GlobalServices"), "Service", "Graphs");
    AddDefinition(Add(m_tree, "Services"), "Service", "Graphs", "CGraphManager");
    m_world = Vusk::CreateWorld(m_tree, 0);
    ASSERT_NE(m_world, nullptr);
    CGraphManager* manager = Vusk::GetGraphManager();
    ASSERT_NE(manager, nullptr);
    m_walk = new CSpatialGraph();
    const float walk[4][3] = {{0, 0, 0}, {5, 0, 0}, {10, 0, 0}, {0, 3, 0}};
    for (const auto& p : walk) m_walk->AddVertexAt(CVector3(p[0], p[1], p[2]));
    m_crawl = new CSpatialGraph();
    const float crawl[4][3] = {{1, 0, 0}, {6, 0, 0}, {20, 0, 0}, {4, 0.9f, 0}};
    for (const auto& p : crawl) m_crawl->AddVertexAt(CVector3(p[0], p[1], p[2]));
    ASSERT_NE(manager->AddGraph("Walk", m_walk, false), nullptr);
    ASSERT_NE(manager->AddGraph("Crawl", m_crawl, false), nullptr);
  }
  void TearDown() override {
    delete m_world;
    Vusk::DeleteTree(m_tree);
    Vusk::ReleaseAisReader();
    navtest::NavTest::TearDown();
  }

  CConfigNode* m_tree = nullptr;
  CWorld* m_world = nullptr;
  CSpatialGraph* m_walk = nullptr;   // owned by the graph manager
  CSpatialGraph* m_crawl = nullptr;  // owned by the graph manager
};
AI_ENGINE_TEST_SUITE(PointMapperTest);

TEST_P(PointMapperTest, BuildsMapsSavesAndLoads) {
  const std::string path = navtest::TempPath("points.map");
  CConfigNode definition;
  AddContainer(&definition, "Walk");
  AddContainer(&definition, "crawl");
  Add(&definition, "MaxDeltaUp", "-3");  // negative: the default 1.5 x OneMeter stays
  Add(&definition, "OutputFile", path.c_str());
  CPointMapper mapper;
  ASSERT_TRUE(mapper.Init(&definition));
  EXPECT_EQ(mapper.GetMaxDeltaUp(), 1.5f);
  ASSERT_EQ(mapper.GetGraphCount(), 2);
  uint16_t walk = 9, crawl = 9;
  ASSERT_TRUE(mapper.FindGraphIndex("WALK", &walk));
  ASSERT_TRUE(mapper.FindGraphIndex("Crawl", &crawl));
  EXPECT_FALSE(mapper.FindGraphIndex("Swim", &walk));
  // Nearest within the height limit: (5,0,0) takes (6,0,0) over (4,0.9,0); (0,3,0) is too high for any.
  EXPECT_EQ(mapper.GetEntry(walk, crawl, 0), 0);
  EXPECT_EQ(mapper.GetEntry(walk, crawl, 1), 1);
  EXPECT_EQ(mapper.GetEntry(walk, crawl, 2), 1);
  EXPECT_EQ(mapper.GetEntry(walk, crawl, 3), CPointMapper::kNone);
  EXPECT_EQ(mapper.GetEntry(crawl, walk, 3), 1);
  CVertexTarget onWalk(m_walk->GetVertex(1), walk), high(m_walk->GetVertex(3), walk), none(nullptr, walk);
  uint16_t vertex = 0;
  EXPECT_TRUE(mapper.MapPoint(&onWalk, crawl, &vertex));
  EXPECT_EQ(vertex, 1);
  EXPECT_TRUE(mapper.MapPoint(&onWalk, walk, &vertex));  // its own graph: its own vertex
  EXPECT_EQ(vertex, 1);
  EXPECT_FALSE(mapper.MapPoint(&high, crawl, &vertex));
  EXPECT_FALSE(mapper.MapPoint(&none, crawl, &vertex));
  CVertexTarget stranger(m_walk->GetVertex(1), 7);  // a graph index the tables do not hold
  EXPECT_FALSE(mapper.MapPoint(&stranger, crawl, &vertex));

  // The output file holds what a fresh mapper loads back byte for byte.
  const Bytes saved = navtest::ReadFileBytes(path);
  ASSERT_FALSE(saved.empty());
  EXPECT_EQ(saved.size(), 32u + 2u * 2u + 5u + 6u + 2u * 8u);
  CPointMapper loaded;
  ASSERT_TRUE(navtest::LoadBytes(&loaded, saved));
  EXPECT_EQ(navtest::SaveBytes(&loaded, path), saved);
  EXPECT_STREQ(loaded.GetGraphName(1), "crawl");

  // A wall between (10,0,0) and (6,0,0): the sight test sends it to (20,0,0).
  Host().AddBox(7.0f, -1.0f, -1.0f, 8.0f, 1.0f, 1.0f);
  CConfigNode walled;
  AddContainer(&walled, "Walk");
  AddContainer(&walled, "Crawl");
  Add(&walled, "MaxDeltaUp", "0.5");  // (4,0.9,0) is now too high for (0,0,0)... and everything else
  CPointMapper behindWall;
  ASSERT_TRUE(behindWall.Init(&walled));
  EXPECT_EQ(behindWall.GetMaxDeltaUp(), 0.5f);
  EXPECT_EQ(behindWall.GetEntry(0, 1, 2), 2);
  EXPECT_EQ(behindWall.GetEntry(1, 0, 3), CPointMapper::kNone);
  Host().ClearBoxes();

  // "RawData" is loaded unless "ForceRebuild" says yes (in any case); the graphs have moved since.
  m_crawl->GetVertex(1)->m_data.m_position = CVector3(50, 0, 0);
  for (const char* force : {"no", "YES", "True", "1"}) {
    CConfigNode withData;
    AddContainer(&withData, "Walk");
    AddContainer(&withData, "Crawl");
    Add(&withData, "ForceRebuild", force);
    CConfigNode* raw = Add(&withData, "RawData");
    ASSERT_TRUE(Vusk::GetAisReader()->AttachMemoryBlock(raw, saved.data(), uint32_t(saved.size())));
    CPointMapper fromData;
    ASSERT_TRUE(fromData.Init(&withData)) << force;
    bool loadedFromData = std::string(force) == "no";
    EXPECT_EQ(fromData.GetEntry(0, 1, 1), loadedFromData ? 1 : 3) << force;
  }
  std::remove(path.c_str());
}

TEST_P(PointMapperTest, OneGraphBadContainersAndHostileFiles) {
  CConfigNode single;
  AddContainer(&single, "Walk");
  CPointMapper one;
  ASSERT_TRUE(one.Init(&single));
  EXPECT_EQ(one.GetGraphCount(), 1);
  CVertexTarget target(m_walk->GetVertex(2), 0);
  uint16_t vertex = 0;
  EXPECT_TRUE(one.MapPoint(&target, 0, &vertex));
  EXPECT_EQ(vertex, 2);
  // An output name longer than 1024 bytes is saved under its first 1024 (the host sees '/' again).
  const std::string outputName = "no_such_folder/" + std::string(1100, 'n');
  Add(&single, "OutputFile", outputName.c_str());
  CPointMapper cut;
  ASSERT_TRUE(cut.Init(&single));
  EXPECT_EQ(Host().LastOpenedPath(), outputName.substr(0, 1024));
  CConfigNode empty;
  CPointMapper nothing;
  EXPECT_TRUE(nothing.Init(&empty));
  EXPECT_EQ(nothing.GetGraphCount(), 0);
  EXPECT_FALSE(nothing.ReadParam(&empty));
  // An unknown wrapper class, a missing class or an unknown graph fails the build.
  for (int kind = 0; kind < 3; ++kind) {
    CConfigNode definition;
    AddContainer(&definition, "Walk");
    if (kind == 0) AddContainer(&definition, "Crawl", "CNoSuchWrapper");
    if (kind == 1) AddContainer(&definition, "Crawl", nullptr);
    if (kind == 2) AddContainer(&definition, "Swim");
    CPointMapper mapper;
    EXPECT_FALSE(mapper.Init(&definition)) << kind;
  }
  // Every prefix of a valid file fails; so do an entry beyond its graph, a name longer than 255
  // characters and a graph count the block cannot hold.
  CConfigNode both;
  AddContainer(&both, "Walk");
  AddContainer(&both, "Crawl");
  CPointMapper mapper;
  ASSERT_TRUE(mapper.Init(&both));
  const std::string path = navtest::TempPath("points_hostile.map");
  const Bytes valid = navtest::SaveBytes(&mapper, path);
  auto loads = [](const Bytes& bytes) {
    CPointMapper loaded;
    return navtest::LoadBytes(&loaded, bytes);
  };
  for (size_t n = 0; n < valid.size(); ++n) EXPECT_FALSE(loads(Bytes(valid.begin(), valid.begin() + long(n)))) << n;
  Bytes beyond = valid;
  beyond[beyond.size() - 2] = 4;  // last entry: vertex 4 of a 4-vertex graph
  beyond[beyond.size() - 1] = 0;
  EXPECT_FALSE(loads(beyond));
  Bytes count = valid;
  count[30] = 0xFE;
  count[31] = 0xFF;
  EXPECT_FALSE(loads(count));
  Bytes longName(valid.begin(), valid.begin() + 36);
  longName.insert(longName.end(), 300, 'x');
  longName.push_back(0);
  EXPECT_FALSE(loads(longName));
  // Short writes fail the save.
  for (long budget = 0; budget < 12; ++budget) {
    WriteBudget() = budget;
    EXPECT_FALSE(mapper.Save(path.c_str())) << budget;
  }
  WriteBudget() = -1;
  // Wrappers on their own.
  CGraphWrapper wrapper;
  CConfigNode labelled, unlabelled;
  labelled.SetLabel("CRAWL");
  EXPECT_FALSE(wrapper.Init(nullptr));
  EXPECT_FALSE(wrapper.Init(&unlabelled));
  ASSERT_TRUE(wrapper.Init(&labelled));
  EXPECT_EQ(wrapper.GetVertexCount(), 4);
  EXPECT_EQ(wrapper.GetVertexPosition(2)->x, 20.0f);
  EXPECT_EQ(wrapper.GetVertexPosition(9), nullptr);
  std::remove(path.c_str());
}

// What a load allocates stays in proportion to the bytes it has read, however many graphs the file
// claims; and the stored names and vertex counts must be those of the world's graphs.
TEST_P(PointMapperTest, LoadsAllocateByWhatTheyReadAndMatchTheWorldsGraphs) {
  ASSERT_NE(Vusk::GetGraphManager()->AddGraph("Empty", new CSpatialGraph(), false), nullptr);
  auto header = [](uint16_t graphCount) {
    Bytes bytes(CPointMapper::kFileMagic, CPointMapper::kFileMagic + std::strlen(CPointMapper::kFileMagic));
    bytes.insert(bytes.end(), {1, 0, 0, 0, uint8_t(graphCount & 0xFF), uint8_t(graphCount >> 8)});
    return bytes;
  };
  struct Allocated {
    size_t count = 0, total = 0, largest = 0;
  };
  auto allocated = [this]() {
    Allocated sum;
    for (const FakeHookCall& call : Host().AllocationHookCalls()) {
      ++sum.count;
      sum.total += call.size;
      sum.largest = std::max(sum.largest, call.size);
    }
    return sum;
  };
  // A thousand containers naming the graph without vertices: no tables at all, one name each.
  const uint16_t many = 1000;
  Bytes empties = header(many);
  empties.insert(empties.end(), 2u * many, 0);
  for (int g = 0; g < many; ++g) empties.insert(empties.end(), {'E', 'm', 'p', 't', 'y', 0});
  {
    CPointMapper mapper;
    Host().ClearHookCalls();
    ASSERT_TRUE(navtest::LoadBytes(&mapper, empties));
    const Allocated made = allocated();
    EXPECT_EQ(mapper.GetGraphCount(), many);
    EXPECT_LE(made.count, many + 3u);
    EXPECT_LE(made.total, 8 * empties.size());
    EXPECT_EQ(mapper.GetEntry(0, 1, 0), CPointMapper::kNone);
  }
  // 40000 graphs in 120 KB: one small block per name read, and tables that name no graph are not used.
  const uint16_t claimed = 40000;
  Bytes hostile = header(claimed);
  hostile.insert(hostile.end(), 3u * claimed, 0);
  {
    CPointMapper mapper;
    Host().ClearHookCalls();
    EXPECT_TRUE(navtest::LoadBytes(&mapper, hostile));
    const Allocated made = allocated();
    EXPECT_LE(made.count, claimed + 3u);
    EXPECT_LE(made.largest, sizeof(void*) * claimed);
    uint16_t index = 0;
    EXPECT_FALSE(mapper.FindGraphIndex("", &index));
    hostile.resize(hostile.size() - 1);
    EXPECT_FALSE(navtest::LoadBytes(&mapper, hostile));
    EXPECT_EQ(mapper.GetGraphCount(), 0);
  }
  Host().ClearHookCalls();

  // A file made for "Walk" and "Crawl" is used while they are as they were, names in any case; with a
  // name no graph has, a vertex count that is not the graph's, or a graph that changed since, it loads
  // but maps nothing.
  CConfigNode both;
  AddContainer(&both, "Walk");
  AddContainer(&both, "Crawl");
  CPointMapper built;
  ASSERT_TRUE(built.Init(&both));
  const std::string path = navtest::TempPath("points_live.map");
  const Bytes valid = navtest::SaveBytes(&built, path);
  std::remove(path.c_str());
  ASSERT_EQ(std::string(valid.begin() + 36, valid.begin() + 41), std::string("Walk", 5));
  CPointMapper mapper;
  CVertexTarget onWalk(m_walk->GetVertex(1), 0);
  uint16_t index = 0, vertex = 0;
  auto usable = [&](const Bytes& bytes) {
    return navtest::LoadBytes(&mapper, bytes) && mapper.FindGraphIndex("crawl", &index) &&
           mapper.MapPoint(&onWalk, 1, &vertex);
  };
  Bytes upper = valid;
  std::memcpy(upper.data() + 36, "WALK", 4);
  EXPECT_TRUE(usable(upper));
  Bytes stranger = valid;
  std::memcpy(stranger.data() + 36, "Swim", 4);
  EXPECT_FALSE(usable(stranger));
  EXPECT_EQ(mapper.GetGraphCount(), 2);
  Bytes fewer = valid;
  fewer[32] = 3;  // "Walk" has four vertices
  fewer.erase(fewer.begin() + 46, fewer.begin() + 48);
  EXPECT_FALSE(usable(fewer));
  // Memory running out at any allocation of the load fails it and keeps nothing.
  for (long k = 1;; ++k) {
    Host().FailAllocation(k);
    const bool loaded = navtest::LoadBytes(&mapper, valid);
    Host().FailAllocation(0);
    if (loaded) break;
    EXPECT_EQ(mapper.GetGraphCount(), 0) << k;
    ASSERT_LT(k, 100);
  }
  EXPECT_EQ(mapper.GetEntry(1, 0, 3), 1);
  EXPECT_TRUE(usable(valid));
  m_walk->AddVertexAt(CVector3(30, 0, 0));
  EXPECT_FALSE(usable(valid));
}

// A saved mapping is loaded whether the graph manager comes before or after the point mapper among the
// world's global services: the graphs are matched when the tables are first used.
TEST_P(PointMapperTest, SavedMappingLoadsWhateverTheOrderOfTheServices) {
  CConfigNode both;
  AddContainer(&both, "Walk");
  AddContainer(&both, "Crawl");
  CPointMapper built;
  ASSERT_TRUE(built.Init(&both));
  const std::string path = navtest::TempPath("points_order.bin");
  const Bytes mapping = navtest::SaveBytes(&built, path);
  const Bytes walk = navtest::SaveBytes(m_walk, path);
  const Bytes crawl = navtest::SaveBytes(m_crawl, path);
  std::remove(path.c_str());
  auto addRaw = [](CConfigNode* parent, const Bytes& bytes) {
    ASSERT_TRUE(Vusk::GetAisReader()->AttachMemoryBlock(Add(parent, "RawData"), bytes.data(), uint32_t(bytes.size())));
  };
  for (bool mapperFirst : {true, false}) {
    delete m_world;
    Vusk::DeleteTree(m_tree);
    m_tree = new CConfigNode();
    Add(m_tree, "MaxEntity", "10");
    Add(m_tree, "OneMeter", "1");
    Add(m_tree, "Tpf", "20");
    CConfigNode* order = Add(m_tree, "GlobalServices");
    Add(order, "Service", mapperFirst ? "Mapper" : "Graphs");
    Add(order, "Service", mapperFirst ? "Graphs" : "Mapper");
    CConfigNode* services = Add(m_tree, "Services");
    CConfigNode* graphs = AddDefinition(services, "Service", "Graphs", "CGraphManager");
    addRaw(Add(graphs, "Graph", nullptr, "Walk"), walk);
    addRaw(Add(graphs, "Graph", nullptr, "Crawl"), crawl);
    CConfigNode* mapperNode = AddDefinition(services, "Service", "Mapper", "CPointMapper");
    addRaw(mapperNode, mapping);
    m_world = Vusk::CreateWorld(m_tree, 0);
    ASSERT_NE(m_world, nullptr);
    auto* mapper = static_cast<CPointMapper*>(m_world->GetGlobalService(&CPointMapper::s_classDesc));
    ASSERT_NE(mapper, nullptr);
    ASSERT_EQ(mapper->GetGraphCount(), 2) << mapperFirst;
    uint16_t index = 0, vertex = 0;
    EXPECT_TRUE(mapper->FindGraphIndex("Crawl", &index));
    EXPECT_EQ(index, 1);
    CVertexTarget onWalk(Vusk::GetGraphManager()->FindGraph("Walk")->GetVertex(1), 0);
    EXPECT_TRUE(mapper->MapPoint(&onWalk, 1, &vertex));
    EXPECT_EQ(vertex, 1);
  }
}

}  // namespace
