#include "ai/navigation/point_mapper.h"

#include <cfloat>
#include <cmath>
#include <cstring>

#include "ai/navigation/data_file.h"
#include "ai/navigation/graph_manager.h"
#include "ai/navigation/graph_wrapper.h"
#include "ai/navigation/path_finder.h"
#include "ai/navigation/spatial_graph.h"
#include "ai/runtime/allocator.h"
#include "ai/runtime/config_node.h"
#include "ai/runtime/engine.h"
#include "ai/runtime/world.h"
#include "platform/crt.h"

CGlobalServiceDesc CPointMapper::s_classDesc("CPointMapper", &CPointMapper::Create, nullptr, false, false);

namespace {

constexpr uint32_t kSightMode = 2;        // host line-of-sight mode of the mapping tests
constexpr size_t kOutputNameLength = 1024;  // bytes of the output file name that are kept

bool IsName(const CConfigNode* node, const char* name) {
  return node->GetName() != nullptr && _stricmp(node->GetName(), name) == 0;
}

char* CopyText(const char* text, size_t length) {
  auto* copy = static_cast<char*>(Vusk::EngineAllocate(length + 1));
  if (copy != nullptr) {
    std::memcpy(copy, text, length);
    copy[length] = '\0';
  }
  return copy;
}

}  // namespace

CGlobalService* CPointMapper::Create() { return new CPointMapper(); }

CPointMapper::CPointMapper()
    : m_maxDeltaUp(0.0f), m_graphCount(0), m_counts(nullptr), m_names(nullptr), m_tables(nullptr) {}

CPointMapper::~CPointMapper() { FreeTables(); }

const CGlobalServiceDesc* CPointMapper::GetClassDesc() const { return &s_classDesc; }

bool CPointMapper::ReadParam(CConfigNode*) { return false; }

void CPointMapper::FreeTables() {
  if (m_tables != nullptr) {
    for (uint32_t a = 0; a < m_graphCount; ++a) {
      if (m_tables[a] == nullptr) continue;
      for (uint32_t b = 0; b < m_graphCount; ++b) Vusk::EngineFree(m_tables[a][b]);
      Vusk::EngineFree(m_tables[a]);
    }
  }
  if (m_names != nullptr) {
    for (uint32_t i = 0; i < m_graphCount; ++i) Vusk::EngineFree(m_names[i]);
  }
  Vusk::EngineFree(m_tables);
  Vusk::EngineFree(m_names);
  Vusk::EngineFree(m_counts);
  m_tables = nullptr;
  m_names = nullptr;
  m_counts = nullptr;
  m_graphCount = 0;
}

bool CPointMapper::AllocateTables(uint16_t graphCount) {
  FreeTables();
  size_t g = graphCount;
  m_counts = static_cast<uint16_t*>(Vusk::EngineAllocate(g * sizeof(uint16_t)));
  m_names = static_cast<char**>(Vusk::EngineAllocate(g * sizeof(char*)));
  m_tables = static_cast<uint16_t***>(Vusk::EngineAllocate(g * sizeof(uint16_t**)));
  if (m_counts == nullptr || m_names == nullptr || m_tables == nullptr) {
    FreeTables();  // the graph count is still 0: only the three arrays go
    return false;
  }
  std::memset(m_counts, 0, g * sizeof(uint16_t));
  std::memset(m_names, 0, g * sizeof(char*));
  std::memset(m_tables, 0, g * sizeof(uint16_t**));
  m_graphCount = graphCount;
  return true;
}

bool CPointMapper::AllocateTable(uint16_t from, uint16_t to) {
  uint16_t**& row = m_tables[from];
  if (row == nullptr) {
    row = static_cast<uint16_t**>(Vusk::EngineAllocate(size_t(m_graphCount) * sizeof(uint16_t*)));
    if (row == nullptr) return false;
    std::memset(row, 0, size_t(m_graphCount) * sizeof(uint16_t*));
  }
  row[to] = static_cast<uint16_t*>(Vusk::EngineAllocate(size_t(m_counts[from]) * sizeof(uint16_t)));
  return row[to] != nullptr;
}

uint16_t CPointMapper::GetEntry(uint16_t from, uint16_t to, uint16_t vertex) const {
  if (from >= m_graphCount || to >= m_graphCount || from == to || vertex >= m_counts[from]) return kNone;
  const uint16_t* table = Table(from, to);
  return table != nullptr ? table[vertex] : kNone;
}

bool CPointMapper::Init(CConfigNode* node) {
  if (node == nullptr) return false;
  m_maxDeltaUp = 1.5f * Vusk::GetCurrentOneMeter();
  if (const char* value = node->GetChildValue("MaxDeltaUp")) {
    float maxDeltaUp = static_cast<float>(crt_atof(value));
    if (maxDeltaUp >= 0.0f) m_maxDeltaUp = maxDeltaUp;
  }
  const char* force = node->GetChildValue("ForceRebuild");
  bool rebuild =
      force != nullptr && (_stricmp(force, "1") == 0 || _stricmp(force, "yes") == 0 || _stricmp(force, "true") == 0);
  if (!rebuild) {
    CConfigNode* rawData = node->FindChild("RawData");
    if (rawData != nullptr && Load(rawData)) return true;
  }
  if (!Build(node)) return false;
  if (const char* output = node->GetChildValue("OutputFile")) {
    // The name is handed on with '\' separators, as every name the engine gives the host; a longer name
    // keeps its first kOutputNameLength bytes.
    char fileName[kOutputNameLength + 1];
    size_t length = 0;
    for (; length < kOutputNameLength && output[length] != '\0'; ++length)
      fileName[length] = output[length] == '/' ? '\\' : output[length];
    fileName[length] = '\0';
    Save(fileName);
  }
  return true;
}

bool CPointMapper::Build(CConfigNode* node) {
  FreeTables();
  m_fit = Fit::kFits;  // made from the graphs themselves
  uint32_t containers = 0;
  for (uint32_t i = 0; i < node->GetChildCount(); ++i) containers += IsName(node->GetChild(i), "Container") ? 1 : 0;
  if (containers == 0) return true;
  if (containers >= kNone || !AllocateTables(static_cast<uint16_t>(containers))) return false;
  auto** wrappers = static_cast<CGraphWrapper**>(Vusk::EngineAllocate(containers * sizeof(CGraphWrapper*)));
  if (wrappers == nullptr) {
    FreeTables();
    return false;
  }
  std::memset(wrappers, 0, containers * sizeof(CGraphWrapper*));
  auto deleteWrappers = [&]() {
    for (uint32_t i = 0; i < containers; ++i) delete wrappers[i];
    Vusk::EngineFree(wrappers);
  };
  uint32_t g = 0;
  for (uint32_t i = 0; i < node->GetChildCount(); ++i) {
    CConfigNode* container = node->GetChild(i);
    if (!IsName(container, "Container")) continue;
    const CGraphWrapperDesc* desc = CGraphWrapperDesc::Find(container->GetChildValue("Class"));
    CGraphWrapper* wrapper =
        desc != nullptr && desc->GetCreateFunction() != nullptr ? desc->GetCreateFunction()() : nullptr;
    wrappers[g] = wrapper;
    const char* label = container->GetLabel();
    if (wrapper == nullptr || !wrapper->Init(container) || label == nullptr ||
        (m_names[g] = CopyText(label, std::strlen(label))) == nullptr) {
      deleteWrappers();
      FreeTables();
      return false;
    }
    ++g;
  }
  for (uint16_t a = 0; a < m_graphCount; ++a) m_counts[a] = wrappers[a]->GetVertexCount();
  for (uint16_t a = 0; a < m_graphCount; ++a) {
    for (uint16_t b = 0; b < m_graphCount; ++b) {
      if (a == b || m_counts[a] == 0) continue;
      if (!AllocateTable(a, b)) {
        deleteWrappers();
        FreeTables();
        return false;
      }
      uint16_t* table = Table(a, b);
      for (uint16_t i = 0; i < m_counts[a]; ++i) {
        const CVector3* position = wrappers[a]->GetVertexPosition(i);
        table[i] = position != nullptr ? FindVisibleVertex(nullptr, wrappers[b], *position) : kNone;
      }
    }
  }
  deleteWrappers();
  return true;
}

uint16_t CPointMapper::FindVisibleVertex(void*, CGraphWrapper* wrapper, const CVector3& point) const {
  uint16_t best = kNone;
  float bestDistance = FLT_MAX;
  const uint16_t count = wrapper->GetVertexCount();
  for (uint16_t i = 0; i < count; ++i) {
    const CVector3* position = wrapper->GetVertexPosition(i);
    if (position == nullptr || std::fabs(position->y - point.y) > m_maxDeltaUp) continue;
    float d2 = CVector3::DistanceSquared(*position, point);
    // The line of sight is asked last: only of a vertex that would otherwise win.
    if (!(d2 < bestDistance) || !Vusk::HasLineOfSight(point, *position, nullptr, kSightMode)) continue;
    best = i;
    bestDistance = d2;
  }
  return best;
}

bool CPointMapper::FitsGraphs() const {
  if (m_fit == Fit::kUnchecked) {
    // The tables hold vertex indices of the graphs the names give: a graph that is missing or has
    // another vertex count is not the graph they were made for. Names match as "Container" labels do.
    const CGraphManager* manager = Vusk::GetGraphManager();
    bool fits = m_graphCount == 0 || manager != nullptr;
    for (uint16_t g = 0; fits && g < m_graphCount; ++g) {
      const CSpatialGraph* graph = manager->FindGraph(m_names[g]);
      fits = graph != nullptr && graph->GetVertexCount() == m_counts[g];
    }
    m_fit = fits ? Fit::kFits : Fit::kRefused;
  }
  return m_fit == Fit::kFits;
}

bool CPointMapper::FindGraphIndex(const char* name, uint16_t* index) const {
  if (name == nullptr || !FitsGraphs()) return false;
  for (uint16_t g = 0; g < m_graphCount; ++g) {
    if (m_names[g] != nullptr && _stricmp(m_names[g], name) == 0) {
      *index = g;
      return true;
    }
  }
  return false;
}

bool CPointMapper::MapPoint(const CPathTarget* object, uint16_t target, uint16_t* vertex) const {
  uint16_t own = 0, graph = 0;
  if (object == nullptr || !FitsGraphs() || !object->GetVertex(&own, &graph)) return false;
  if (graph == target) {
    *vertex = own;
    return true;
  }
  // Only vertices and graphs the tables hold are looked up.
  *vertex = GetEntry(graph, target, own);
  return *vertex != kNone;
}

bool CPointMapper::Load(CConfigNode* rawData) {
  Vusk::CRawDataReader reader(rawData);
  return LoadFromReader(&reader);
}

bool CPointMapper::LoadFromReader(Vusk::CDataReader* reader) {
  FreeTables();
  m_fit = Fit::kUnchecked;
  if (reader == nullptr || !reader->Open()) return false;
  bool ok = [&]() {
    uint16_t graphCount = 0;
    if (!reader->ReadHeader(kFileMagic) || !reader->ReadU16(&graphCount)) return false;
    if (graphCount == 0) return true;
    // Each graph needs at least its count and a terminated name. What is allocated before the tables is
    // proportional to G, and every table is allocated only once the bytes before it were read.
    if (graphCount == kNone || graphCount > reader->BoundCount(3, kNone) || !AllocateTables(graphCount)) {
      return false;
    }
    uint64_t entries = 0;
    for (uint16_t g = 0; g < graphCount; ++g) {
      if (!reader->ReadU16(&m_counts[g])) return false;
      entries += m_counts[g];
    }
    // Every count(A) entries appear G - 1 times; the source must hold them all.
    if (entries * (graphCount - 1u) > reader->BoundCount(2, UINT64_MAX)) return false;
    for (uint16_t g = 0; g < graphCount; ++g) {
      char name[kMaxNameLength + 1];
      size_t length = 0;
      for (;;) {
        char c = 0;
        if (!reader->ReadBytes(&c, 1)) return false;
        if (c == '\0') break;
        if (length == kMaxNameLength) return false;  // longer than any name this reader takes
        name[length++] = c;
      }
      if ((m_names[g] = CopyText(name, length)) == nullptr) return false;
    }
    for (uint16_t a = 0; a < graphCount; ++a) {
      for (uint16_t b = 0; b < graphCount; ++b) {
        if (a == b || m_counts[a] == 0) continue;
        if (!AllocateTable(a, b)) return false;
        uint16_t* table = Table(a, b);
        for (uint16_t i = 0; i < m_counts[a]; ++i) {
          // An entry names a vertex of graph b, or none.
          if (!reader->ReadU16(&table[i]) || (table[i] != kNone && table[i] >= m_counts[b])) return false;
        }
      }
    }
    return true;
  }();
  reader->Close();
  if (!ok) FreeTables();
  return ok;
}

bool CPointMapper::Save(const char* fileName) const {
  Vusk::CDataWriter writer;
  if (!writer.Open(fileName)) return false;
  bool ok = writer.WriteHeader(kFileMagic) && writer.WriteU16(m_graphCount);
  for (uint16_t g = 0; ok && g < m_graphCount; ++g) ok = writer.WriteU16(m_counts[g]);
  for (uint16_t g = 0; ok && g < m_graphCount; ++g) ok = writer.Write(m_names[g], 1, std::strlen(m_names[g]) + 1);
  for (uint16_t a = 0; ok && a < m_graphCount; ++a) {
    for (uint16_t b = 0; ok && b < m_graphCount; ++b) {
      if (a == b) continue;
      for (uint16_t i = 0; ok && i < m_counts[a]; ++i) ok = writer.WriteU16(Table(a, b)[i]);
    }
  }
  writer.Close();
  return ok;
}

bool Vusk::CheckPointMapperClasses() {
  return CPointMapper::s_classDesc.GetIndex() != -1 && CGraphWrapper::s_classDesc.GetIndex() != -1;
}
