#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <utility>
#include <vector>

#include "ai/navigation/data_file.h"
#include "ai/navigation/spatial_graph.h"
#include "ai/navigation/tests/nav_test_support.h"
#include "ai/runtime/ais_reader.h"
#include "graphics/core/stream.h"
#include "graphics/core/testkit/engine_fixture.h"

using navtest::Bytes;

namespace {

class SpatialGraphTest : public navtest::NavTest {};
AI_ENGINE_TEST_SUITE(SpatialGraphTest);

// A graph that records the index moves it is told about.
class RecordingGraph : public CSpatialGraph {
public:
  void OnVertexMoved(int32_t from, int32_t to) override { vertexMoves.emplace_back(from, to); }
  void OnEdgeMoved(int32_t from, int32_t to) override { edgeMoves.emplace_back(from, to); }
  std::vector<std::pair<int32_t, int32_t>> vertexMoves, edgeMoves;
};

// Reference model: slots hold tags (-1 free); vertices keep their edge tags in link order.
struct ModelVertex {
  int tag = -1;
  std::vector<int> out, in;
};
struct ModelEdge {
  int tag = -1, from = -1, to = -1;  // vertex tags
};
struct Model {
  std::vector<ModelVertex> vertices;
  std::vector<ModelEdge> edges;

  ModelVertex* FindVertex(int tag) {
    for (auto& v : vertices)
      if (v.tag == tag) return &v;
    return nullptr;
  }
  void RemoveEdgeSlot(size_t slot) {
    ModelEdge& e = edges[slot];
    auto erase = [](std::vector<int>& list, int tag) { list.erase(std::find(list.begin(), list.end(), tag)); };
    erase(FindVertex(e.from)->out, e.tag);
    erase(FindVertex(e.to)->in, e.tag);
    e = ModelEdge{};
  }
  void RemoveVertexSlot(size_t slot) {
    int tag = vertices[slot].tag;
    for (size_t i = 0; i < edges.size(); ++i)
      if (edges[i].tag >= 0 && (edges[i].from == tag || edges[i].to == tag)) RemoveEdgeSlot(i);
    vertices[slot] = ModelVertex{};
  }
};

float Tag(const CGraphVertex* v) { return v->GetPosition().x; }
float Tag(const CGraphEdge* e) { return e->GetLength(); }

void ExpectMatches(const CSpatialGraph& graph, const Model& model) {
  ASSERT_EQ(graph.GetLastVertexIndex(), static_cast<int32_t>(model.vertices.size()) - 1);
  ASSERT_EQ(graph.GetLastEdgeIndex(), static_cast<int32_t>(model.edges.size()) - 1);
  int vertexCount = 0, edgeCount = 0;
  for (size_t i = 0; i < model.vertices.size(); ++i) {
    const CGraphVertex* v = graph.GetVertex(static_cast<int32_t>(i));
    const ModelVertex& m = model.vertices[i];
    ASSERT_EQ(v == nullptr, m.tag < 0) << "vertex slot " << i;
    if (v == nullptr) continue;
    ++vertexCount;
    ASSERT_EQ(v->GetIndex(), static_cast<int32_t>(i));
    ASSERT_EQ(Tag(v), float(m.tag));
    ASSERT_EQ(v->GetOutgoingCount(), static_cast<int32_t>(m.out.size()));
    ASSERT_EQ(v->GetIncomingCount(), static_cast<int32_t>(m.in.size()));
    for (size_t k = 0; k < m.out.size(); ++k) {
      ASSERT_EQ(Tag(v->GetOutgoingEdge(int32_t(k))), float(m.out[k]));
      ASSERT_EQ(v->GetOutgoingEdge(int32_t(k))->GetSource(), v);
    }
    for (size_t k = 0; k < m.in.size(); ++k) {
      ASSERT_EQ(Tag(v->GetIncomingEdge(int32_t(k))), float(m.in[k]));
      ASSERT_EQ(v->GetIncomingEdge(int32_t(k))->GetDestination(), v);
    }
    ASSERT_EQ(v->GetOutgoingEdge(int32_t(m.out.size())), nullptr);
  }
  for (size_t i = 0; i < model.edges.size(); ++i) {
    const CGraphEdge* e = graph.GetEdge(static_cast<int32_t>(i));
    const ModelEdge& m = model.edges[i];
    ASSERT_EQ(e == nullptr, m.tag < 0) << "edge slot " << i;
    if (e == nullptr) continue;
    ++edgeCount;
    ASSERT_EQ(e->GetIndex(), static_cast<int32_t>(i));
    ASSERT_EQ(Tag(e), float(m.tag));
    ASSERT_EQ(Tag(e->GetSource()), float(m.from));
    ASSERT_EQ(Tag(e->GetDestination()), float(m.to));
  }
  ASSERT_EQ(graph.GetVertexCount(), vertexCount);
  ASSERT_EQ(graph.GetEdgeCount(), edgeCount);
}

TEST_P(SpatialGraphTest, RandomEditsKeepEveryInvariantOfTheModel) {
  std::mt19937 rng(1234);
  for (int round = 0; round < 4; ++round) {
    RecordingGraph graph;
    Model model;
    int nextTag = 0;
    auto pick = [&](auto& slots) -> int {
      std::vector<int> live;
      for (size_t i = 0; i < slots.size(); ++i)
        if (slots[i].tag >= 0) live.push_back(int(i));
      if (live.empty()) return -1;
      return live[std::uniform_int_distribution<size_t>(0, live.size() - 1)(rng)];
    };
    for (int step = 0; step < 600; ++step) {
      int op = std::uniform_int_distribution<int>(0, 9)(rng);
      graph.vertexMoves.clear();
      graph.edgeMoves.clear();
      std::vector<std::pair<int32_t, int32_t>> expectedMoves;
      bool edgeMoves = false;
      if (op <= 1) {  // append a vertex
        int tag = nextTag++;
        ASSERT_EQ(graph.AddVertex(CGraphVertexData(CVector3(float(tag), 0, 0)), -1),
                  static_cast<int32_t>(model.vertices.size()));
        model.vertices.push_back(ModelVertex{tag, {}, {}});
      } else if (op == 2) {  // insert a vertex somewhere at or below last + 1
        int tag = nextTag++;
        int index = std::uniform_int_distribution<int>(0, int(model.vertices.size()))(rng);
        CGraphVertex* vertex = new CGraphVertex(CGraphVertexData(CVector3(float(tag), 0, 0)));
        ASSERT_TRUE(graph.InsertVertex(vertex, index));
        if (!model.vertices.empty()) {
          for (int i = int(model.vertices.size()) - 1; i >= index; --i)
            if (model.vertices[i].tag >= 0) expectedMoves.emplace_back(i, i + 1);
          model.vertices.insert(model.vertices.begin() + index, ModelVertex{});
        } else {
          model.vertices.resize(1);
        }
        model.vertices[index] = ModelVertex{tag, {}, {}};
      } else if (op == 3) {  // remove a vertex with its edges
        int slot = pick(model.vertices);
        if (slot < 0) continue;
        ASSERT_TRUE(graph.RemoveVertex(slot));
        model.RemoveVertexSlot(size_t(slot));
        ASSERT_FALSE(graph.RemoveVertex(slot));
      } else if (op <= 6) {  // add an edge (an existing pair answers its edge)
        int a = pick(model.vertices), b = pick(model.vertices);
        if (a < 0) continue;
        int tag = nextTag++;
        CGraphEdgeData data;
        data.m_length = float(tag);
        int existing = -1;
        for (size_t i = 0; i < model.edges.size(); ++i)
          if (model.edges[i].tag >= 0 && model.edges[i].from == model.vertices[a].tag &&
              model.edges[i].to == model.vertices[b].tag)
            existing = int(i);
        int32_t index = graph.AddEdge(data, graph.GetVertex(a), graph.GetVertex(b), -1);
        if (existing >= 0) {
          ASSERT_EQ(index, existing);
        } else {
          ASSERT_EQ(index, static_cast<int32_t>(model.edges.size()));
          model.edges.push_back(ModelEdge{tag, model.vertices[a].tag, model.vertices[b].tag});
          model.vertices[a].out.push_back(tag);
          model.vertices[b].in.push_back(tag);
        }
      } else if (op == 7) {  // remove an edge
        int slot = pick(model.edges);
        if (slot < 0) continue;
        ASSERT_TRUE(graph.RemoveEdge(slot));
        model.RemoveEdgeSlot(size_t(slot));
      } else if (op == 8) {  // squeeze out the free vertex slots
        ASSERT_TRUE(graph.RemoveFreeVertexSlots());
        std::vector<ModelVertex> kept;
        for (size_t i = 0; i < model.vertices.size(); ++i)
          if (model.vertices[i].tag >= 0) {
            if (i != kept.size()) expectedMoves.emplace_back(int(i), int(kept.size()));
            kept.push_back(model.vertices[i]);
          }
        model.vertices = kept;
      } else {  // squeeze out the free edge slots
        ASSERT_TRUE(graph.RemoveFreeEdgeSlots());
        edgeMoves = true;
        std::vector<ModelEdge> kept;
        for (size_t i = 0; i < model.edges.size(); ++i)
          if (model.edges[i].tag >= 0) {
            if (i != kept.size()) expectedMoves.emplace_back(int(i), int(kept.size()));
            kept.push_back(model.edges[i]);
          }
        model.edges = kept;
      }
      ASSERT_EQ(edgeMoves ? graph.edgeMoves : graph.vertexMoves, expectedMoves) << "step " << step;
      ASSERT_NO_FATAL_FAILURE(ExpectMatches(graph, model)) << "step " << step << " op " << op;
    }
  }
}

TEST_P(SpatialGraphTest, SlotEdgeCases) {
  RecordingGraph graph;
  CGraphVertex* a = graph.AddVertexAt(CVector3(0, 0, 0));
  CGraphVertex* b = graph.AddVertexAt(CVector3(1, 0, 0));
  CGraphVertex* c = graph.AddVertexAt(CVector3(2, 0, 0));
  CGraphEdgeData data;
  EXPECT_EQ(graph.AddEdge(data, a, b, -1), 0);
  EXPECT_EQ(graph.AddEdge(data, a, b, -1), 0);  // the same pair again
  EXPECT_EQ(graph.AddEdge(data, b, a, -1), 1);  // the other way is another edge
  EXPECT_EQ(graph.AddEdge(data, a, nullptr, -1), -1);
  EXPECT_EQ(graph.FindEdgeTo(a, b), graph.GetEdge(0));
  EXPECT_EQ(graph.FindEdgeTo(b, c), nullptr);
  // Negative indices other than -1 are out of range everywhere.
  EXPECT_EQ(graph.AddVertex(CGraphVertexData(), -2), -1);
  EXPECT_EQ(graph.GetVertex(-2), nullptr);
  EXPECT_FALSE(graph.RemoveEdge(-2));
  EXPECT_FALSE(graph.RemoveVertex(7));
  // [a, free, c] squeezed gives [a, c], last index 1 and one move 2 -> 1.
  ASSERT_TRUE(graph.RemoveVertex(1));
  EXPECT_EQ(graph.GetEdgeCount(), 0);
  EXPECT_EQ(graph.GetLastVertexIndex(), 2);
  graph.RemoveFreeVertexSlots();
  EXPECT_EQ(graph.GetLastVertexIndex(), 1);
  EXPECT_EQ(graph.GetVertex(1), c);
  EXPECT_EQ(c->GetIndex(), 1);
  EXPECT_EQ(graph.vertexMoves, (std::vector<std::pair<int32_t, int32_t>>{{2, 1}}));
  // Replacing an occupied slot takes the old vertex out whole, edges included, and keeps the count.
  graph.AddEdge(data, a, c, -1);
  ASSERT_TRUE(graph.SetVertex(new CGraphVertex(CGraphVertexData(CVector3(9, 0, 0))), 0));
  EXPECT_EQ(graph.GetVertexCount(), 2);
  EXPECT_EQ(graph.GetEdgeCount(), 0);
  EXPECT_EQ(graph.GetVertex(1)->GetIncomingCount(), 0);
  // Edge records made by the caller are the graph's from then on, and deleted as such when they go.
  ASSERT_TRUE(graph.SetEdge(new CGraphEdge(data), graph.GetVertex(0), graph.GetVertex(1), -1));
  ASSERT_TRUE(graph.InsertEdge(new CGraphEdge(data), graph.GetVertex(1), graph.GetVertex(0), 0));
  ASSERT_TRUE(graph.SetEdge(new CGraphEdge(data), graph.GetVertex(1), graph.GetVertex(1), 0));  // replaces
  EXPECT_EQ(graph.GetEdgeCount(), 2);
  EXPECT_EQ(graph.GetVertex(1)->GetOutgoingCount(), 1);
  EXPECT_TRUE(graph.RemoveEdge(graph.FindEdgeTo(graph.GetVertex(0), graph.GetVertex(1))->GetIndex()));
  // A vertex far beyond the last index grows the slot array; the gap is free.
  EXPECT_EQ(graph.AddVertex(CGraphVertexData(), 300), 300);
  EXPECT_EQ(graph.GetVertex(150), nullptr);
  EXPECT_EQ(graph.GetVertexCount(), 3);
  // Inserting at last + 1 of a full slot array must grow it first.
  CSpatialGraph full;
  for (int i = 0; i < 64; ++i) full.AddVertexAt(CVector3(float(i), 0, 0));
  ASSERT_TRUE(full.InsertVertex(new CGraphVertex(CGraphVertexData(CVector3(-1, 0, 0))), 0));
  EXPECT_EQ(full.GetLastVertexIndex(), 64);
  EXPECT_EQ(full.GetVertex(64)->GetPosition().x, 63.0f);
}

TEST_P(SpatialGraphTest, SearchRadiusIsComputedFromUnlinkedEdgesOnly) {
  CSpatialGraph graph;
  EXPECT_EQ(graph.GetSearchRadius(), 0.0f);
  CGraphVertex* a = graph.AddVertexAt(CVector3(0, 0, 0));
  CGraphVertex* b = graph.AddVertexAt(CVector3(3, 4, 0));
  CGraphVertex* c = graph.AddVertexAt(CVector3(0, 1, 0));
  graph.AddEdge(CGraphEdgeData(), a, b, -1);
  graph.GetEdge(0)->SetPathObject(reinterpret_cast<CPathObject*>(&graph));  // linked: ignored
  EXPECT_EQ(graph.GetSearchRadius(), 0.0f);
  graph.AddEdge(CGraphEdgeData(), a, c, -1);
  EXPECT_EQ(graph.GetSearchRadius(), 1.5f);  // recomputed on the next call
  graph.GetEdge(0)->SetPathObject(nullptr);
  EXPECT_EQ(graph.GetSearchRadius(), 1.5f);  // stored once known
  graph.SetSearchRadius(-2.0f);
  EXPECT_EQ(graph.GetSearchRadius(), 7.5f);  // -2 stored as 0: computed again
}

TEST_P(SpatialGraphTest, GoldenFileAndByteIdenticalRoundTrips) {
  // Vertices (0,0,0) and (3,4,0), one edge 0 -> 1: radius 1.5 x 5 = 7.5.
  auto hex = [](const char* text) {
    Bytes bytes;
    for (const char* p = text; *p != '\0'; p += 3)
      bytes.push_back(uint8_t(std::strtoul(std::string(p, 2).c_str(), nullptr, 16)));
    return bytes;
  };
  Bytes golden(navtest::Bytes{'Q', 'u', 'e', 'l', 'm', 'o', 'r', ' ', 'S', 'p', 'a',
                              't', 'i', 'a', 'l', ' ', 'g', 'r', 'a', 'p', 'h'});
  for (const char* part :
       {"01 00 00 00 00 00 f0 40 02 00 00 00 ", "00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 01 00 00 00 ",
        "00 00 40 40 00 00 80 40 00 00 00 00 01 00 00 00 00 00 00 00 ", "01 00 00 00 00 00 00 00 01 00 00 00 "}) {
    Bytes bytes = hex(part);
    golden.insert(golden.end(), bytes.begin(), bytes.end());
  }
  ASSERT_EQ(golden.size(), 85u);
  const std::string path = navtest::TempPath("golden.graph");
  {
    CSpatialGraph graph;
    CGraphVertex* a = graph.AddVertexAt(CVector3(0, 0, 0));
    CGraphVertex* b = graph.AddVertexAt(CVector3(3, 4, 0));
    graph.AddEdge(CGraphEdgeData(), a, b, -1);
    EXPECT_EQ(navtest::SaveBytes(&graph, path), golden);
  }
  std::mt19937 rng(77);
  for (int round = 0; round < 6; ++round) {
    RecordingGraph graph;
    navtest::BuildRandomGraph(&graph, rng, 60 + round * 20, 50.0f, 9.0f, true);
    // Free slots make Save compact first; the hooks see every move.
    for (int i = 0; i < 5; ++i) graph.RemoveVertex(3 + i * 7);
    for (int i = 0; i < 5; ++i) graph.RemoveEdge(2 + i * 11);
    const int vertices = graph.GetVertexCount(), edges = graph.GetEdgeCount();
    ASSERT_TRUE(graph.Save(path.c_str()));
    EXPECT_FALSE(graph.vertexMoves.empty());
    EXPECT_FALSE(graph.edgeMoves.empty());
    EXPECT_EQ(graph.GetLastVertexIndex(), vertices - 1);
    const Bytes first = navtest::ReadFileBytes(path);
    EXPECT_EQ(first.size(), 37u + 20u * vertices + 8u * edges);

    CSpatialGraph fromFile;
    ASSERT_TRUE(fromFile.LoadFromFile(path.c_str()));
    EXPECT_EQ(navtest::SaveBytes(&fromFile, path), first);
    for (int32_t i = 0; i <= fromFile.GetLastEdgeIndex(); ++i) {
      CGraphEdge* e = fromFile.GetEdge(i);
      EXPECT_EQ(e->GetCost(), e->GetLength());
      EXPECT_EQ(graph.GetEdge(i)->GetSource()->GetIndex(), e->GetSource()->GetIndex());
    }

    CSpatialGraph fromMemory;
    ASSERT_TRUE(navtest::LoadBytes(&fromMemory, first));
    EXPECT_EQ(navtest::SaveBytes(&fromMemory, path), first);
  }
  std::remove(path.c_str());
}

TEST_P(SpatialGraphTest, HostileFilesFailCleanly) {
  CSpatialGraph source;
  std::mt19937 rng(5);
  navtest::BuildRandomGraph(&source, rng, 12, 10.0f, 4.0f, false);
  const std::string path = navtest::TempPath("hostile.graph");
  const Bytes valid = navtest::SaveBytes(&source, path);
  // Every proper prefix fails, through memory and through the host's files.
  for (size_t n = 0; n < valid.size(); ++n) {
    Bytes prefix(valid.begin(), valid.begin() + long(n));
    CSpatialGraph graph;
    EXPECT_FALSE(navtest::LoadBytes(&graph, prefix)) << "prefix " << n;
    if (n % 7 == 0) {
      navtest::WriteFileBytes(path, prefix);
      EXPECT_FALSE(graph.LoadFromFile(path.c_str())) << "file prefix " << n;
    }
  }
  auto patched = [&](size_t offset, uint32_t value) {
    Bytes bytes = valid;
    Vusk::StoreU32(bytes.data() + offset, value);
    return bytes;
  };
  const size_t vertexCountAt = 29, edgeCountAt = 33 + 20 * 12;
  for (uint32_t huge : {0xFFFFFFFFu, 0x80000000u, 1000000u}) {
    for (size_t at : {vertexCountAt, edgeCountAt}) {
      Bytes bytes = patched(at, huge);
      CSpatialGraph graph;
      EXPECT_FALSE(navtest::LoadBytes(&graph, bytes)) << at << " " << huge;
      navtest::WriteFileBytes(path, bytes);
      EXPECT_FALSE(graph.LoadFromFile(path.c_str())) << at << " " << huge;
    }
  }
  // A count the file does not hold fails at the short batch; the whole batches read before it stay.
  {
    CSpatialGraph many;
    for (int i = 0; i < 801; ++i) many.AddVertexAt(CVector3(float(i), 0.0f, 0.0f));
    Bytes bytes = navtest::SaveBytes(&many, path);
    bytes.resize(33 + 20 * 801);
    Vusk::StoreU32(bytes.data() + vertexCountAt, 900);
    CSpatialGraph graph;
    EXPECT_FALSE(navtest::LoadBytes(&graph, bytes));
    ASSERT_EQ(graph.GetVertexCount(), 800);
    EXPECT_EQ(graph.GetVertex(799)->GetPosition().x, 799.0f);
  }
  // Edge-array counts are reservations only: absurd ones are ignored and the graph loads whole.
  Bytes counts = valid;
  for (int v = 0; v < 12; ++v) {
    Vusk::StoreU32(counts.data() + 33 + 20 * v + 12, 0xFFFFFFFFu);
    Vusk::StoreU32(counts.data() + 33 + 20 * v + 16, 0x7FFFFFFFu);
  }
  CSpatialGraph graph;
  ASSERT_TRUE(navtest::LoadBytes(&graph, counts));
  EXPECT_EQ(graph.GetEdgeCount(), source.GetEdgeCount());
  // Edges naming missing vertices and repeated pairs are skipped.
  Bytes edges = valid;
  Vusk::StoreU32(edges.data() + edgeCountAt + 4, 12);                                // source beyond the vertices
  std::memcpy(edges.data() + edgeCountAt + 12, edges.data() + edgeCountAt + 20, 8);  // edge 1 repeats edge 2
  ASSERT_TRUE(navtest::LoadBytes(&graph, edges));
  EXPECT_EQ(graph.GetEdgeCount(), source.GetEdgeCount() - 2);
  // A wrong magic or version fails; V = 0 with any edge count is an empty graph.
  Bytes magic = valid;
  magic[3] ^= 1;
  EXPECT_FALSE(navtest::LoadBytes(&graph, magic));
  EXPECT_FALSE(navtest::LoadBytes(&graph, patched(21, 2)));
  Bytes empty(valid.begin(), valid.begin() + 33);
  Vusk::StoreU32(empty.data() + 29, 0);
  EXPECT_TRUE(navtest::LoadBytes(&graph, empty));
  EXPECT_EQ(graph.GetVertexCount(), 0);
  EXPECT_FALSE(graph.LoadFromFile(navtest::TempPath("missing/none.graph").c_str()));
  std::remove(path.c_str());
}

// A world file, as the engine reads it, whose root holds one "RawData" node and whose block chunk says it
// is `claimed` bytes long.
Bytes WorldFileAround(const Bytes& block, uint32_t claimed) {
  Bytes file(CAisReader::kMagic, CAisReader::kMagic + CAisReader::kMagicSize);
  auto u32 = [&file](uint32_t v) {
    file.resize(file.size() + 4);
    Vusk::StoreU32(file.data() + file.size() - 4, v);
  };
  auto header = [&](uint32_t type, uint32_t length) {
    u32(type);
    u32(length);
    u32(0x1C020016);
  };
  u32(1);
  header(CAisReader::kChunkNode, 12 + 260 + 12 + 4);
  header(CAisReader::kChunkStruct, 260);
  file.resize(file.size() + 256, 0);
  u32(1);
  header(CAisReader::kChunkReference, 4);
  u32(claimed);
  header(CAisReader::kChunkRawBlock, claimed);
  file.insert(file.end(), block.begin(), block.end());
  return file;
}

TEST_P(SpatialGraphTest, WorldFileBlocksAreBoundByTheBytesTheFileHolds) {
  ASSERT_TRUE(OvTestEngineUp());
  CSpatialGraph source;
  std::mt19937 rng(8);
  navtest::BuildRandomGraph(&source, rng, 6, 10.0f, 6.0f, false);
  const std::string path = navtest::TempPath("in_world.graph");
  const Bytes valid = navtest::SaveBytes(&source, path);
  std::remove(path.c_str());
  Bytes claimsMore = valid;
  Vusk::StoreU32(claimsMore.data() + 29, 1000000);  // a million vertices
  // The block's own length is the file's word: only what follows in the stream can be read.
  for (uint32_t claimed : {uint32_t(valid.size()), 0x7FFFFFF0u}) {
    for (const Bytes* graphBytes : {&valid, static_cast<const Bytes*>(&claimsMore)}) {
      Bytes file = WorldFileAround(*graphBytes, claimed);
      OvMemory memory = {file.data(), static_cast<OvUInt32>(file.size())};
      OvStream* stream = OvStreamOpen(ovSTREAMMEMORY, ovSTREAMREAD, &memory);
      CConfigNode* root = Vusk::LoadAisFile(stream);
      ASSERT_EQ(root->GetChildCount(), 1u);
      CConfigNode* raw = root->GetChild(0);
      Vusk::CRawDataReader reader(raw);
      ASSERT_TRUE(reader.Open());
      uint64_t remaining = 0;
      ASSERT_TRUE(reader.GetRemaining(&remaining));
      EXPECT_EQ(remaining, graphBytes->size()) << claimed;
      // Loaded by the next pass over the same bytes.
      reader.Close();
      OvStreamClose(stream, nullptr);
      Vusk::DeleteTree(root);
      memory = {file.data(), static_cast<OvUInt32>(file.size())};
      stream = OvStreamOpen(ovSTREAMMEMORY, ovSTREAMREAD, &memory);
      root = Vusk::LoadAisFile(stream);
      Host().ClearHookCalls();
      CSpatialGraph graph;
      EXPECT_EQ(graph.LoadFromStream(root->GetChild(0)), graphBytes == &valid) << claimed;
      EXPECT_EQ(graph.GetVertexCount(), graphBytes == &valid ? 6 : 0);
      size_t largest = 0;
      for (const FakeHookCall& call : Host().AllocationHookCalls()) largest = std::max(largest, call.size);
      EXPECT_LT(largest, 65536u) << "allocation for bytes the file does not hold, block claims " << claimed;
      OvStreamClose(stream, nullptr);
      Vusk::DeleteTree(root);
    }
  }
  EXPECT_TRUE(OvTestEngineDown());
}

TEST_P(SpatialGraphTest, ShortWritesFailTheSave) {
  CSpatialGraph graph;
  std::mt19937 rng(9);
  navtest::BuildRandomGraph(&graph, rng, 8, 10.0f, 5.0f, false);
  const std::string path = navtest::TempPath("short.graph");
  // Magic, version, radius, V, 5 words per vertex, E, 2 words per edge.
  const long writes = 4 + 5 * graph.GetVertexCount() + 1 + 2 * graph.GetEdgeCount();
  for (long budget = 0; budget < writes; ++budget) {
    WriteBudget() = budget;
    EXPECT_FALSE(graph.Save(path.c_str())) << "budget " << budget;
    EXPECT_EQ(Host().OpenFiles(), 0);
  }
  WriteBudget() = writes;
  EXPECT_TRUE(graph.Save(path.c_str()));
  std::remove(path.c_str());
}

}  // namespace
