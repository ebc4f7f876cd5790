// Shared helpers of the navigation tests: graph builders, an in-memory raw-data provider, byte files and a
// host whose writes can be made to fall short.
#pragma once

#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "ai/navigation/astar.h"
#include "ai/navigation/data_file.h"
#include "ai/navigation/path_object.h"
#include "ai/navigation/spatial_graph.h"
#include "ai/runtime/config_node.h"
#include "testing/fake_ai_host.h"
#include "testing/config_tree.h"
#include "testing/grid_map.h"

namespace navtest {

using Bytes = std::vector<uint8_t>;

// Serves "RawData" nodes from byte blocks registered by the test.
class MemoryRawData : public Vusk::CRawDataProvider {
public:
  MemoryRawData() { Vusk::SetRawDataProvider(this); }
  ~MemoryRawData() override { Vusk::SetRawDataProvider(nullptr); }
  void Attach(CConfigNode* node, const Bytes& bytes) { m_blocks[node] = bytes; }
  bool OpenRawData(CConfigNode* node) override {
    auto it = m_blocks.find(node);
    if (it == m_blocks.end()) return false;
    m_open = &it->second;
    m_offset = 0;
    return true;
  }
  uint32_t ReadRawData(CConfigNode*, void* buffer, uint32_t size) override {
    size_t n = std::min<size_t>(size, m_open->size() - m_offset);
    if (n > 0) std::memcpy(buffer, m_open->data() + m_offset, n);
    m_offset += n;
    return static_cast<uint32_t>(n);
  }
  void CloseRawData(CConfigNode*) override { m_open = nullptr; }
  uint32_t GetRawDataSize(CConfigNode*) override { return m_open ? static_cast<uint32_t>(m_open->size()) : 0; }
  bool GetRawDataRemaining(CConfigNode*, uint64_t* remaining) override {
    if (m_open == nullptr) return false;
    *remaining = m_open->size() - m_offset;
    return true;
  }

private:
  std::map<CConfigNode*, Bytes> m_blocks;
  const Bytes* m_open = nullptr;
  size_t m_offset = 0;
};

// Fixture of the navigation tests: the fake host, with writes that can be made to fall short.
class NavTest : public AiEngineTest {
public:
  // Host writes allowed before every further write reports 0 items (-1: no limit).
  static long& WriteBudget() {
    static long budget = -1;
    return budget;
  }

protected:
  void ConfigureServices(CHostServices& services) override {
    RealWrite() = services.write;
    services.write = &LimitedWrite;
  }
  void TearDown() override {
    // Process-wide search buffers and callback tables live in engine memory: give them back first.
    Vusk::AstarFreeBuffers();
    Vusk::FreeGraphChangeCallbacks();
    WriteBudget() = -1;
    Vusk::SetRawDataProvider(nullptr);
    AiEngineTest::TearDown();
  }

private:
  static Vusk::HostFileWrite& RealWrite() {
    static Vusk::HostFileWrite write = nullptr;
    return write;
  }
  static std::size_t LimitedWrite(const void* buffer, std::size_t size, std::size_t count, void* file) {
    if (WriteBudget() == 0) return 0;
    if (WriteBudget() > 0) --WriteBudget();
    return RealWrite()(buffer, size, count, file);
  }
};

using configtree::Add;
using configtree::AddDefinition;

inline std::string TempPath(const std::string& name) {
  return ::testing::TempDir() + "nav_" + std::to_string(::getpid()) + "_" + name;
}

inline Bytes ReadFileBytes(const std::string& path) {
  Bytes bytes;
  if (FILE* f = std::fopen(path.c_str(), "rb")) {
    int c;
    while ((c = std::fgetc(f)) != EOF) bytes.push_back(static_cast<uint8_t>(c));
    std::fclose(f);
  }
  return bytes;
}

inline void WriteFileBytes(const std::string& path, const Bytes& bytes) {
  FILE* f = std::fopen(path.c_str(), "wb");
  if (!bytes.empty()) std::fwrite(bytes.data(), 1, bytes.size(), f);
  std::fclose(f);
}

// Loads `data` (a graph or a table) from the bytes through a memory reader.
template <class Data> bool LoadBytes(Data* data, const Bytes& bytes) {
  Vusk::CMemoryReader reader(bytes.data(), bytes.size());
  return data->LoadFromReader(&reader);
}

// Saves `data` to `path` (a failed save fails the test) and reads the file's bytes back.
template <class Data> Bytes SaveBytes(Data* data, const std::string& path) {
  EXPECT_TRUE(data->Save(path.c_str())) << path;
  return ReadFileBytes(path);
}

// Random geometric graph: `count` vertices in a square of `size`, each linked both ways to the vertices
// within `radius` (a few one-way and closed edges when `irregular`).
inline void BuildRandomGraph(CSpatialGraph* graph, std::mt19937& rng, int count, float size, float radius,
                             bool irregular) {
  std::uniform_real_distribution<float> coord(0.0f, size);
  std::uniform_real_distribution<float> height(0.0f, size * 0.05f);
  std::uniform_int_distribution<int> chance(0, 99);
  for (int i = 0; i < count; ++i) graph->AddVertexAt(CVector3(coord(rng), height(rng), coord(rng)));
  for (int i = 0; i < count; ++i) {
    for (int j = 0; j < count; ++j) {
      if (i == j) continue;
      CGraphVertex* a = graph->GetVertex(i);
      CGraphVertex* b = graph->GetVertex(j);
      if (CVector3::DistanceSquared(a->GetPosition(), b->GetPosition()) > radius * radius) continue;
      if (irregular && chance(rng) < 15) continue;  // some edges one way only
      CGraphEdgeData data;
      data.m_length = data.m_cost = std::sqrt(CVector3::DistanceSquared(a->GetPosition(), b->GetPosition()));
      int index = graph->AddEdge(data, a, b, -1);
      if (irregular && chance(rng) < 5) graph->GetEdge(index)->SetClosed(1);
    }
  }
}

// 8-connected grid graph over the passable cells of a text map ('.' passable; shorter rows are padded
// with blocked cells); diagonals only where both side cells are passable. Cell (x, y) sits at (x, 0, y).
inline bool BuildGridGraph(CSpatialGraph* graph, const std::vector<std::string>& rows) {
  GridMap map;
  map.height = static_cast<int>(rows.size());
  for (const std::string& row : rows) map.width = std::max(map.width, static_cast<int>(row.size()));
  for (const std::string& row : rows) map.rows.push_back(row + std::string(size_t(map.width) - row.size(), '@'));
  return ::BuildGridGraph(map, graph, false) && graph->GetVertexCount() > 0;
}

// The rows of a grid map file; empty when it cannot be read.
inline std::vector<std::string> ReadMapRows(const std::string& path) {
  GridMap map;
  std::string error;
  return ReadGridMap(path, &map, &error) == GridMapRead::Ok ? map.rows : std::vector<std::string>();
}

// A real level from the shared data beside the source tree.
inline std::string Den312dPath() { return std::string(DUN_SHARED_DIR) + "/data/maps/den312d.map"; }

}  // namespace navtest
