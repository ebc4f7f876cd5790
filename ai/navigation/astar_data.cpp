#include "ai/navigation/astar_data.h"

#include <cstring>

#include "ai/navigation/astar.h"
#include "ai/runtime/allocator.h"
#include "ai/navigation/data_file.h"
#include "ai/navigation/spatial_graph.h"

CGraphDataDesc CAstarData::s_classDesc("CAstarData", &CAstarData::Create);

CGraphData* CAstarData::Create(CSpatialGraph* owner) { return new CAstarData(owner); }

CAstarData::CAstarData(CSpatialGraph* owner)
    : CGraphData(owner), m_vertexCount(owner != nullptr ? owner->GetVertexCount() : 0), m_table(nullptr) {}

CAstarData::~CAstarData() { FreeTable(); }

const CGraphDataDesc* CAstarData::GetClassDesc() const { return &s_classDesc; }

void CAstarData::FreeTable() {
  Vusk::EngineFree(m_table);
  m_table = nullptr;
}

bool CAstarData::AllocateTable() {
  FreeTable();
  if (m_vertexCount < 1) return false;
  size_t n = static_cast<size_t>(m_vertexCount);
  m_table = static_cast<int32_t*>(Vusk::EngineAllocate(n * n * sizeof(int32_t)));
  return m_table != nullptr;
}

bool CAstarData::GetEntry(int32_t start, int32_t goal, int32_t* entry) const {
  if (m_table == nullptr || start < 0 || goal < 0 || start >= m_vertexCount || goal >= m_vertexCount) return false;
  *entry = m_table[static_cast<size_t>(start) * static_cast<size_t>(m_vertexCount) + static_cast<size_t>(goal)];
  return true;
}

bool CAstarData::Build() {
  FreeTable();
  if (m_graph == nullptr) return false;
  m_vertexCount = m_graph->GetVertexCount();
  if (m_vertexCount < 1) return true;
  // Rows are addressed by vertex index: the vertices must fill 0..N-1.
  if (!m_graph->HasDenseVertices() || !AllocateTable()) return false;
  Vusk::CAstarBuildScope scope(m_graph);
  auto* costs = static_cast<float*>(Vusk::EngineAllocate(static_cast<size_t>(m_vertexCount) * sizeof(float)));
  bool ok = scope.IsReady() && costs != nullptr;
  for (int32_t s = 0; ok && s < m_vertexCount; ++s) {
    ok =
        Vusk::AstarRoutesFrom(m_graph, s, m_table + static_cast<size_t>(s) * static_cast<size_t>(m_vertexCount), costs);
  }
  Vusk::EngineFree(costs);
  if (!ok) FreeTable();
  return ok;
}

bool CAstarData::Save(const char* fileName) {
  if (m_vertexCount < 1 || m_table == nullptr) return false;
  Vusk::CDataWriter writer;
  if (!writer.Open(fileName)) return false;
  bool ok = writer.WriteHeader(kFileMagic);
  const size_t n = static_cast<size_t>(m_vertexCount);
  for (size_t row = 0; ok && row < n; ++row) {
    ok = writer.WriteU32Array(reinterpret_cast<const uint32_t*>(m_table + row * n), n);
  }
  writer.Close();
  return ok;
}

bool CAstarData::LoadFromReader(Vusk::CDataReader* reader) {
  if (m_vertexCount < 1) {
    FreeTable();
    return false;
  }
  if (!AllocateTable() || reader == nullptr || !reader->Open()) return false;
  const size_t n = static_cast<size_t>(m_vertexCount);
  bool ok = reader->ReadHeader(kFileMagic);
  for (size_t row = 0; ok && row < n; ++row) {
    ok = reader->ReadU32Array(reinterpret_cast<uint32_t*>(m_table + row * n), n);
  }
  reader->Close();
  if (!ok) return false;
  // Every entry must be usable as it stands: -1, the diagonal's own index, or an edge leaving the row.
  for (size_t s = 0; s < n; ++s) {
    for (size_t g = 0; g < n; ++g) {
      int32_t e = m_table[s * n + g];
      if (s == g) {
        if (e != static_cast<int32_t>(s)) return false;
        continue;
      }
      if (e == -1) continue;
      CGraphEdge* edge = m_graph->GetEdge(e);
      if (edge == nullptr || edge->m_source->m_index != static_cast<int32_t>(s) ||
          edge->m_destination->m_index >= m_vertexCount) {
        return false;
      }
    }
  }
  return true;
}

bool CAstarData::Lookup(int32_t start, int32_t goal, CPath* path) const {
  int32_t entry = 0;
  if (path == nullptr || !GetEntry(start, goal, &entry)) return false;
  path->m_pointCount = 0;
  path->m_remainingLength = 0.0f;
  CGraphVertex* current = m_graph->GetVertex(start);
  if (current == nullptr) return false;
  path->m_graph = m_graph;
  path->m_cutShort = 0;
  auto append = [path](CGraphVertex* vertex) {
    int32_t i = path->m_pointCount++;
    path->m_points[i] = vertex->GetPosition();
    path->m_vertexIndices[i] = vertex->m_index;
    path->m_edgeIndices[i] = -1;
    path->m_pathObjects[i] = nullptr;
  };
  // A path of no capacity keeps no point: the route is cut short at its start, with its whole length left.
  if (path->m_capacity > 0)
    append(current);
  else
    path->m_cutShort = 1;
  if (start == goal) return true;
  // A route has at most N - 1 edges; a longer walk means the table no longer fits the graph.
  for (int32_t hops = 0; hops < m_vertexCount; ++hops) {
    int32_t e = -1;
    if (!GetEntry(current->m_index, goal, &e) || e < 0) return false;
    CGraphEdge* edge = m_graph->GetEdge(e);
    if (edge == nullptr || edge->m_source != current) return false;
    current = edge->m_destination;
    if (static_cast<uint32_t>(path->m_pointCount) < path->m_capacity) {
      int32_t previous = path->m_pointCount - 1;
      path->m_edgeIndices[previous] = e;
      path->m_pathObjects[previous] = edge->GetPathObject();
      append(current);
    } else {
      if (path->m_cutShort == 0) {
        int32_t last = path->m_pointCount - 1;
        path->m_edgeIndices[last] = e;
        path->m_pathObjects[last] = edge->GetPathObject();
      }
      path->m_cutShort = 1;
      path->m_remainingLength += edge->GetLength();
    }
    if (current->m_index == goal) return true;
  }
  return false;
}
