#include "ai/navigation/access_ways_data.h"

#include <cmath>

#include "ai/navigation/data_file.h"
#include "ai/runtime/allocator.h"
#include "ai/runtime/engine.h"
#include "ai/runtime/world.h"

CGraphDataDesc CAccessWaysData::s_classDesc("CAccessWaysData", &CAccessWaysData::Create);

namespace {

// The file keeps N and the counts as i16 and the edge indices as u16.
constexpr int32_t kMaxVertices = 32767;
constexpr int32_t kMaxEdgeIndex = 65535;

}  // namespace

bool Vusk::IsSeenForAccessWays(const CVector3& from, const CVector3& to, float oneMeter) {
  CVector3 d = CVector3::Subtract(to, from);
  float flat = std::sqrt(d.x * d.x + d.z * d.z);
  // Straight above or below (stacked floors, or the same point) there is no horizontal direction to
  // offset across: offset along x instead.
  CVector3 side = flat > 0.0f ? CVector3(d.z / flat, 0.0f, -d.x / flat) : CVector3::UnitX;
  side.ScaleInPlace(0.4f * oneMeter);
  const CVector3 up7(0.0f, 0.7f * oneMeter, 0.0f);
  const CVector3 up2(0.0f, 0.2f * oneMeter, 0.0f);
  const CVector3 offsets[6] = {CVector3::Zero,  up7, side + up2, side + up7 - up2, CVector3::Zero - side - up2,
                               up7 + up2 - side};
  for (const CVector3& offset : offsets) {
    if (Vusk::HasLineOfSight(from + offset, to + offset, nullptr, 1)) return true;
  }
  return false;
}

CAccessWaysProbe::CAccessWaysProbe(const CVector3& position)
    : m_position(position), m_flags(nullptr), m_flagCount(0), m_edges(nullptr), m_count(0) {}

CAccessWaysProbe::~CAccessWaysProbe() {
  Vusk::EngineFree(m_flags);
  Vusk::EngineFree(m_edges);
}

void CAccessWaysProbe::BeginVertices(CSpatialGraph* graph) {
  Vusk::EngineFree(m_flags);
  m_flagCount = graph->GetLastVertexIndex() + 1;
  m_flags = static_cast<uint8_t*>(Vusk::EngineAllocate(static_cast<size_t>(m_flagCount > 0 ? m_flagCount : 1)));
  if (m_flags == nullptr) m_flagCount = 0;
  for (int32_t i = 0; i < m_flagCount; ++i) m_flags[i] = 0;
}

void CAccessWaysProbe::BeginEdges(CSpatialGraph* graph) {
  Vusk::EngineFree(m_edges);
  int32_t room = graph->GetEdgeCount();
  m_edges = static_cast<uint16_t*>(Vusk::EngineAllocate(sizeof(uint16_t) * static_cast<size_t>(room > 0 ? room : 1)));
  m_count = 0;
}

bool CAccessWaysProbe::VisitVertex(CGraphVertex* vertex) {
  int32_t index = vertex->GetIndex();
  if (m_flags == nullptr || index < 0 || index >= m_flagCount) return false;
  m_flags[index] = Vusk::IsSeenForAccessWays(m_position, vertex->GetPosition(), Vusk::GetCurrentOneMeter()) ? 1 : 0;
  return true;
}

bool CAccessWaysProbe::VisitEdge(CGraphEdge* edge) {
  if (m_flags == nullptr || m_edges == nullptr) return false;
  int32_t from = edge->GetSource()->GetIndex();
  int32_t to = edge->GetDestination()->GetIndex();
  if (from < 0 || to < 0 || from >= m_flagCount || to >= m_flagCount) return false;
  if (m_flags[from] == 0 && m_flags[to] == 1) m_edges[m_count++] = static_cast<uint16_t>(edge->GetIndex());
  return true;
}

CGraphData* CAccessWaysData::Create(CSpatialGraph* owner) { return new CAccessWaysData(owner); }

CAccessWaysData::CAccessWaysData(CSpatialGraph* owner)
    : CGraphData(owner), m_lists(nullptr), m_counts(nullptr), m_vertexCount(0) {}

CAccessWaysData::~CAccessWaysData() { FreeLists(); }

const CGraphDataDesc* CAccessWaysData::GetClassDesc() const { return &s_classDesc; }

void CAccessWaysData::FreeLists() {
  if (m_lists != nullptr) {
    for (int32_t v = 0; v < m_vertexCount; ++v) Vusk::EngineFree(m_lists[v]);
  }
  Vusk::EngineFree(m_lists);
  Vusk::EngineFree(m_counts);
  m_lists = nullptr;
  m_counts = nullptr;
  m_vertexCount = 0;
}

bool CAccessWaysData::AllocateLists(int32_t count) {
  FreeLists();
  const size_t n = static_cast<size_t>(count);
  m_lists = static_cast<uint16_t**>(Vusk::EngineAllocate(n * sizeof(uint16_t*)));
  m_counts = static_cast<int16_t*>(Vusk::EngineAllocate(n * sizeof(int16_t)));
  if (m_lists == nullptr || m_counts == nullptr) {
    FreeLists();
    return false;
  }
  for (size_t v = 0; v < n; ++v) {
    m_lists[v] = nullptr;
    m_counts[v] = 0;
  }
  m_vertexCount = count;
  return true;
}

int32_t CAccessWaysData::GetAccessWays(int32_t v, const uint16_t** edges) const {
  bool inside = m_counts != nullptr && v >= 0 && v < m_vertexCount;
  if (edges != nullptr) *edges = inside ? m_lists[v] : nullptr;
  return inside ? m_counts[v] : 0;
}

bool CAccessWaysData::Build() {
  FreeLists();
  if (m_graph == nullptr) return false;
  const int32_t n = m_graph->GetVertexCount();
  // Flags and lists are addressed by vertex index, and the file holds 16-bit counts and edge indices.
  if (n < 1 || n > kMaxVertices || m_graph->GetEdgeCount() < 1 || !m_graph->HasDenseVertices() ||
      m_graph->GetLastEdgeIndex() > kMaxEdgeIndex || !AllocateLists(n)) {
    return false;
  }
  for (int32_t v = 0; v < n; ++v) {
    CAccessWaysProbe probe(m_graph->GetVertex(v)->GetPosition());
    m_graph->VisitVertices(&probe);
    m_graph->VisitEdges(&probe);
    bool ok = probe.IsReady() && probe.GetCount() <= kMaxVertices;
    if (ok && probe.GetCount() > 0) {
      const size_t count = static_cast<size_t>(probe.GetCount());
      m_lists[v] = static_cast<uint16_t*>(Vusk::EngineAllocate(count * sizeof(uint16_t)));
      ok = m_lists[v] != nullptr;
      for (size_t i = 0; ok && i < count; ++i) m_lists[v][i] = probe.GetEdges()[i];
    }
    if (!ok) {
      FreeLists();
      return false;
    }
    m_counts[v] = static_cast<int16_t>(probe.GetCount());
  }
  return true;
}

bool CAccessWaysData::Save(const char* fileName) {
  // Data of no vertices (never built, or loaded for a graph without any) is written as N = 0, the file
  // that Load takes for such a graph.
  Vusk::CDataWriter writer;
  if (!writer.Open(fileName)) return false;
  const size_t n = m_counts != nullptr && m_vertexCount > 0 ? static_cast<size_t>(m_vertexCount) : 0;
  bool ok = writer.WriteHeader(kFileMagic) && writer.WriteU16(static_cast<uint16_t>(n)) &&
            (n == 0 || writer.WriteU16Array(reinterpret_cast<const uint16_t*>(m_counts), n));
  for (size_t v = 0; ok && v < n; ++v) ok = writer.WriteU16Array(m_lists[v], static_cast<size_t>(m_counts[v]));
  writer.Close();
  return ok;
}

bool CAccessWaysData::LoadFromReader(Vusk::CDataReader* reader) {
  FreeLists();
  if (reader == nullptr || !reader->Open()) return false;
  // The stored N is compared with the graph's vertex count taken to 16 bits, both unsigned.
  const uint16_t expected = static_cast<uint16_t>(m_graph != nullptr ? m_graph->GetVertexCount() : 0);
  uint16_t stored = 0;
  bool ok = reader->ReadHeader(kFileMagic) && reader->ReadU16(&stored) && stored == expected;
  // A graph without vertices has nothing more to read; a count the file's 16 bits take as negative is refused.
  if (ok && stored == 0) {
    reader->Close();
    return true;
  }
  ok = ok && static_cast<int16_t>(stored) > 0 && AllocateLists(static_cast<int16_t>(stored));
  ok = ok && reader->ReadU16Array(reinterpret_cast<uint16_t*>(m_counts), static_cast<size_t>(m_vertexCount));
  for (int32_t v = 0; ok && v < m_vertexCount; ++v) {
    if (m_counts[v] < 0) {
      ok = false;
    } else if (m_counts[v] > 0) {
      // At most 64 KB per vertex, allocated only once the bytes before it were there.
      const size_t count = static_cast<size_t>(m_counts[v]);
      m_lists[v] = static_cast<uint16_t*>(Vusk::EngineAllocate(count * sizeof(uint16_t)));
      ok = m_lists[v] != nullptr && reader->ReadU16Array(m_lists[v], count);
    }
  }
  reader->Close();
  if (!ok) FreeLists();
  return ok;
}
