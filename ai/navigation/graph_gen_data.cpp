#include "ai/navigation/graph_gen_data.h"

#include <cstring>

#include "ai/navigation/data_file.h"
#include "ai/navigation/graph_manager.h"
#include "ai/navigation/spatial_graph.h"
#include "ai/runtime/config_node.h"
#include "ai/runtime/engine.h"

CGraphDataDesc CGraphGenData::s_classDesc("CGraphGenData", &CGraphGenData::Create);
CEntityClassDesc CSeedPathObject::s_classDesc("CSeedPathObject", &CSeedPathObject::Create, &CPathObject::s_classDesc);

namespace {
CSeedPathObject* g_currentSeed = nullptr;
}

CGenVertexRecord::CGenVertexRecord() : m_explored(0), m_secondMark(0), m_owner(-1), m_radius(0.0f), m_word(0) {
  std::memset(m_points, 0, sizeof m_points);
  std::memset(m_scores, 0, sizeof m_scores);
  std::memset(m_open, 0, sizeof m_open);
}

CGenVertexRecord::~CGenVertexRecord() = default;
CGenEdgeRecord::~CGenEdgeRecord() = default;

CGraphData* CGraphGenData::Create(CSpatialGraph* owner) { return new CGraphGenData(owner); }

CGraphGenData::CGraphGenData(CSpatialGraph* owner)
    : CGraphData(owner), m_vertices(nullptr), m_vertexCapacity(0), m_edges(nullptr), m_edgeCapacity(0) {}

CGraphGenData::~CGraphGenData() {
  delete[] m_vertices;
  delete[] m_edges;
}

const CGraphDataDesc* CGraphGenData::GetClassDesc() const { return &s_classDesc; }

bool CGraphGenData::Load(CConfigNode*) {
  delete[] m_vertices;
  delete[] m_edges;
  uint32_t vertices = m_graph != nullptr ? static_cast<uint32_t>(m_graph->GetVertexCount()) : 0;
  uint32_t edges = m_graph != nullptr ? static_cast<uint32_t>(m_graph->GetEdgeCount()) : 0;
  m_vertexCapacity = vertices > kMinCapacity ? vertices : kMinCapacity;
  m_edgeCapacity = edges > kMinCapacity ? edges : kMinCapacity;
  m_vertices = new CGenVertexRecord[m_vertexCapacity];
  m_edges = new CGenEdgeRecord[m_edgeCapacity];
  if (m_vertices == nullptr) m_vertexCapacity = 0;
  if (m_edges == nullptr) m_edgeCapacity = 0;
  return m_vertices != nullptr && m_edges != nullptr;
}

bool CGraphGenData::Save(const char* fileName) {
  Vusk::CDataWriter writer;
  if (!writer.Open(fileName)) return false;
  writer.Close();
  return true;
}

bool CGraphGenData::LoadFromReader(Vusk::CDataReader* reader) {
  if (reader == nullptr || !reader->Open()) return false;
  reader->Close();
  return Load(nullptr);
}

namespace {

// Grows `records` so that `index` fits: twice the index, the old records copied first.
template <class Record> Record* GrowRecords(Record*& records, uint32_t& capacity, int32_t index) {
  if (index < 0) return nullptr;
  if (static_cast<uint32_t>(index) < capacity) return &records[index];
  uint64_t grown = 2 * static_cast<uint64_t>(index);
  if (grown < static_cast<uint64_t>(index) + 1) grown = static_cast<uint64_t>(index) + 1;
  if (grown > 0x7fffffffu) return nullptr;
  Record* larger = new Record[grown];
  if (larger == nullptr) return nullptr;
  for (uint32_t i = 0; i < capacity; ++i) larger[i] = records[i];
  delete[] records;
  records = larger;
  capacity = static_cast<uint32_t>(grown);
  return &records[index];
}

}  // namespace

CGenVertexRecord* CGraphGenData::GetVertexRecord(int32_t index) {
  return GrowRecords(m_vertices, m_vertexCapacity, index);
}

CGenEdgeRecord* CGraphGenData::GetEdgeRecord(int32_t index) { return GrowRecords(m_edges, m_edgeCapacity, index); }

CEntity* CSeedPathObject::Create(const char* name, void* hostObject) { return new CSeedPathObject(name, hostObject); }

CSeedPathObject* CSeedPathObject::GetCurrent() { return g_currentSeed; }

CSeedPathObject::CSeedPathObject(const char* name, void* hostObject)
    : CPathObject(name, hostObject), m_seedGraph(nullptr), m_segments(nullptr), m_segmentCount(0) {
  m_seedName[0] = '\0';
  g_currentSeed = this;
}

CSeedPathObject::~CSeedPathObject() {
  delete[] m_segments;
  if (g_currentSeed == this) g_currentSeed = nullptr;
}

const CEntityClassDesc* CSeedPathObject::GetClassDesc() const { return &s_classDesc; }

bool CSeedPathObject::Init(CConfigNode* definition) {
  if (!CPathObject::Init(definition)) return false;
  const char* name = definition != nullptr ? definition->GetChildValue("SEED_GRAPH") : nullptr;
  // A name that does not fit is refused rather than cut to another graph's name.
  if (name == nullptr || std::strlen(name) >= sizeof m_seedName) return false;
  std::strcpy(m_seedName, name);
  CGraphManager* manager = Vusk::GetGraphManager();
  m_seedGraph = manager != nullptr ? manager->FindGraph(m_seedName) : nullptr;
  return m_seedGraph != nullptr;
}

uint32_t CSeedPathObject::GetSegmentCount() {
  return m_seedGraph != nullptr
             ? static_cast<uint32_t>(m_seedGraph->GetVertexCount()) + static_cast<uint32_t>(m_seedGraph->GetEdgeCount())
             : 0;
}

CPathSegment* CSeedPathObject::GetSegments() {
  if (m_segments != nullptr || m_seedGraph == nullptr) return m_segments;
  uint32_t count = GetSegmentCount();
  if (count == 0) return nullptr;
  m_segments = new CPathSegment[count];
  if (m_segments == nullptr) return nullptr;
  uint32_t n = 0;
  for (int32_t i = 0; i <= m_seedGraph->GetLastVertexIndex(); ++i) {
    if (CGraphVertex* v = m_seedGraph->GetVertex(i)) {
      m_segments[n].m_a = v->GetPosition();
      m_segments[n++].m_b = v->GetPosition();
    }
  }
  for (int32_t j = 0; j <= m_seedGraph->GetLastEdgeIndex(); ++j) {
    if (CGraphEdge* e = m_seedGraph->GetEdge(j)) {
      m_segments[n].m_a = e->GetSource()->GetPosition();
      m_segments[n++].m_b = e->GetDestination()->GetPosition();
    }
  }
  m_segmentCount = n;
  return m_segments;
}
