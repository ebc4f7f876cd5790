#include "ai/navigation/path_cost_data.h"

#include <cmath>

#include "ai/navigation/astar.h"
#include "ai/runtime/allocator.h"
#include "ai/navigation/data_file.h"
#include "ai/navigation/spatial_graph.h"

CGraphDataDesc CPathCostData::s_classDesc("CPathCostData", &CPathCostData::Create);

CGraphData* CPathCostData::Create(CSpatialGraph* owner) {
  CPathCostData* data = new CPathCostData(owner);
  if (data != nullptr && data->m_vertexCount > 0 && data->m_table == nullptr) {
    delete data;
    return nullptr;
  }
  return data;
}

CPathCostData::CPathCostData(CSpatialGraph* owner)
    : CGraphData(owner),
      m_table(nullptr),
      m_vertexCount(owner != nullptr ? owner->GetVertexCount() : 0),
      m_scale(0.0f) {
  if (m_vertexCount > 0) {
    size_t n = static_cast<size_t>(m_vertexCount);
    m_table = static_cast<uint8_t*>(Vusk::EngineAllocate(n * n));
  }
}

CPathCostData::~CPathCostData() { Vusk::EngineFree(m_table); }

const CGraphDataDesc* CPathCostData::GetClassDesc() const { return &s_classDesc; }

bool CPathCostData::GetEntry(int32_t a, int32_t b, uint8_t* entry) const {
  if (m_table == nullptr || a < 0 || b < 0 || a >= m_vertexCount || b >= m_vertexCount) return false;
  *entry = m_table[static_cast<size_t>(a) * static_cast<size_t>(m_vertexCount) + static_cast<size_t>(b)];
  return true;
}

bool CPathCostData::Build() {
  Vusk::EngineFree(m_table);
  m_table = nullptr;
  if (m_graph == nullptr) return false;
  m_vertexCount = m_graph->GetVertexCount();
  if (m_vertexCount < 1) return true;
  if (!m_graph->HasDenseVertices()) return false;
  Vusk::CAstarBuildScope scope(m_graph);
  const size_t n = static_cast<size_t>(m_vertexCount);
  m_table = static_cast<uint8_t*>(Vusk::EngineAllocate(n * n));
  auto* work = static_cast<float*>(Vusk::EngineAllocate(n * n * sizeof(float)));
  auto* firstEdges = static_cast<int32_t*>(Vusk::EngineAllocate(n * sizeof(int32_t)));
  bool ok = scope.IsReady() && m_table != nullptr && work != nullptr && firstEdges != nullptr;
  float largest = 0.0f;
  for (size_t s = 0; ok && s < n; ++s) {
    float* row = work + s * n;
    ok = Vusk::AstarRoutesFrom(m_graph, static_cast<int32_t>(s), firstEdges, row);
    for (size_t g = 0; ok && g < n; ++g) {
      if (row[g] > largest) largest = row[g];
    }
  }
  if (ok) {
    // Without any positive route cost the scale is 1: reachable pairs then read 0.
    m_scale = largest > 0.0f ? 254.0f / largest : 1.0f;
    for (size_t i = 0; i < n * n; ++i) {
      float product = work[i] * m_scale;
      m_table[i] = work[i] < 0.0f ? kUnreachable : static_cast<uint8_t>(product < 254.0f ? product : 254.0f);
    }
  } else {
    Vusk::EngineFree(m_table);
    m_table = nullptr;
  }
  Vusk::EngineFree(work);
  Vusk::EngineFree(firstEdges);
  return ok;
}

bool CPathCostData::Save(const char* fileName) {
  if (m_table == nullptr || m_vertexCount < 1) return false;
  Vusk::CDataWriter writer;
  if (!writer.Open(fileName)) return false;
  const size_t n = static_cast<size_t>(m_vertexCount);
  bool ok = writer.WriteHeader(kFileMagic) && writer.WriteF32(m_scale) && writer.Write(m_table, 1, n * n);
  writer.Close();
  return ok;
}

bool CPathCostData::LoadFromReader(Vusk::CDataReader* reader) {
  if (reader == nullptr || !reader->Open()) return false;
  const size_t n = static_cast<size_t>(m_vertexCount > 0 ? m_vertexCount : 0);
  float scale = 0.0f;
  bool ok = reader->ReadHeader(kFileMagic) && reader->ReadF32(&scale);
  // Estimates divide by the scale: it must be a positive finite number.
  ok = ok && scale > 0.0f && std::isfinite(scale);
  if (ok) m_scale = scale;
  ok = ok && (n == 0 || (m_table != nullptr && reader->ReadBytes(m_table, n * n)));
  reader->Close();
  return ok;
}
