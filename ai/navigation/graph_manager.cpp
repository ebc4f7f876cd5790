#include "ai/navigation/graph_manager.h"

#include <cstdio>
#include <cstring>

#include "ai/navigation/astar.h"
#include "ai/runtime/allocator.h"
#include "ai/navigation/data_file.h"
#include "ai/navigation/graph_data.h"
#include "ai/navigation/graph_load_fault.h"
#include "ai/navigation/spatial_graph.h"
#include "ai/runtime/config_node.h"
#include "ai/runtime/engine.h"
#include "ai/runtime/engine_arrays.h"
#include "ai/runtime/world.h"
#include "platform/crt.h"

CGlobalServiceDesc CGraphManager::s_classDesc("CGraphManager", &CGraphManager::Create, nullptr, false, false);

namespace {
constexpr uint32_t kFirstEntryCapacity = 8;

// The first load fault of the latest definition read; empty when none.
char g_loadFault[256] = "";

// Keeps the first load fault: "graph '<name>'" followed by what (and the data class, quoted).
void NoteLoadFault(const char* graph, const char* what, const char* className) {
  if (g_loadFault[0] != '\0') return;
  std::snprintf(g_loadFault, sizeof g_loadFault, "graph '%s' %s%s%s", graph != nullptr ? graph : "(no name)", what,
                className != nullptr ? className : "", className != nullptr ? "'" : "");
}
}  // namespace

const char* Vusk::GetGraphLoadFault() { return g_loadFault[0] != '\0' ? g_loadFault : nullptr; }

CGraphEntry::CGraphEntry(const char* name, CSpatialGraph* graph, bool updateWithPathObjects)
    : m_name{}, m_graph(graph), m_updateWithPathObjects(updateWithPathObjects ? 1 : 0), m_data{}, m_dataCount(0) {
  std::strncpy(m_name, name, kNameSize - 1);
  m_name[kNameSize - 1] = '\0';
}

CGraphEntry::~CGraphEntry() {
  for (uint32_t i = 0; i < m_dataCount; ++i) delete m_data[i];
  delete m_graph;
}

bool CGraphEntry::AddData(CGraphData* data) {
  if (m_dataCount >= kMaxDataObjects) return false;
  m_data[m_dataCount++] = data;
  return true;
}

CGlobalService* CGraphManager::Create() { return new CGraphManager(); }

CGraphManager::CGraphManager() : m_entries(nullptr), m_entryCount(0), m_entryCapacity(0), m_buffersSized(0) {}

CGraphManager::~CGraphManager() {
  for (uint32_t i = 0; i < m_entryCount; ++i) delete m_entries[i];
  Vusk::EngineFree(m_entries);
  Vusk::AstarFreeBuffers();
}

const CGlobalServiceDesc* CGraphManager::GetClassDesc() const { return &s_classDesc; }

bool CGraphManager::Init(CConfigNode* definition) {
  g_loadFault[0] = '\0';
  if (definition == nullptr) return false;
  m_buffersSized = 0;
  if (!CGlobalService::Init(definition)) return false;
  if (m_buffersSized) return true;
  // Buffers are indexed by vertex index, so they must cover the highest index, not the count.
  int32_t largest = 0;
  for (uint32_t i = 0; i < m_entryCount; ++i) {
    int32_t needed = m_entries[i]->m_graph->GetLastVertexIndex() + 1;
    if (needed > largest) largest = needed;
  }
  return largest <= 0 || Vusk::AstarCreateBuffers(largest);
}

bool CGraphManager::ReadParam(CConfigNode* node) {
  const char* name = node != nullptr ? node->GetName() : nullptr;
  if (name == nullptr) return false;
  if (_stricmp(name, "AstarMemory") == 0) {
    const char* value = node->GetValue();
    Vusk::AstarCreateBuffers(value != nullptr ? crt_atoi(value) : 0);
    m_buffersSized = 1;
    return true;
  }
  if (_stricmp(name, "Graph") == 0) return ReadGraph(node);
  return false;
}

bool CGraphManager::ReadGraph(CConfigNode* node) {
  // A node with children carries its name as a label in world files; a value, when there is one, wins.
  const char* name = node->GetValue() != nullptr ? node->GetValue() : node->GetLabel();
  if (name == nullptr) return false;
  const char* update = node->GetChildValue("UpdateWithPathObjects");
  bool updateWithPathObjects = update != nullptr && crt_atoi(update) != 0;
  CConfigNode* rawData = node->FindChild("RawData");
  if (rawData == nullptr) {
    NoteLoadFault(name, "has no data", nullptr);
    return false;
  }
  CGraphEntry* entry = AddGraph(name, rawData, updateWithPathObjects);
  if (entry == nullptr) {
    NoteLoadFault(name, FindGraph(name) != nullptr ? "is named twice" : "does not load", nullptr);
    return false;
  }
  if (const char* coverage = node->GetChildValue("CoverageDistance")) {
    entry->m_graph->SetSearchRadius(static_cast<float>(crt_atof(coverage)) * Vusk::GetCurrentOneMeter());
  }
  for (uint32_t i = 0; i < node->GetChildCount(); ++i) {
    CConfigNode* child = node->GetChild(i);
    if (child->GetName() == nullptr || _stricmp(child->GetName(), "AdditionalData") != 0) continue;
    const char* className = child->GetChildValue("Class");
    CGraphData* data = Vusk::CreateGraphData(className, entry->m_graph);
    if (data == nullptr) {
      NoteLoadFault(name, "names an unknown data class '", className != nullptr ? className : "");
      continue;
    }
    // A failed load, or a data object beyond the entry's room, is skipped (and noted).
    if (!data->Load(child)) {
      NoteLoadFault(name, "has data that do not load: '", className);
      delete data;
    } else if (!entry->AddData(data)) {
      NoteLoadFault(name, "has more data than it holds: '", className);
      delete data;
    }
  }
  return true;
}

bool CGraphManager::AppendEntry(CGraphEntry* entry) {
  if (!Vusk::MakeRoom(m_entries, m_entryCount, m_entryCapacity, kFirstEntryCapacity)) return false;
  m_entries[m_entryCount++] = entry;
  return true;
}

CGraphEntry* CGraphManager::AddGraph(const char* name, CSpatialGraph* graph, bool updateWithPathObjects) {
  if (name == nullptr || graph == nullptr || FindGraph(name) != nullptr) return nullptr;
  CGraphEntry* entry = new CGraphEntry(name, graph, updateWithPathObjects);
  if (entry == nullptr) return nullptr;
  if (!AppendEntry(entry)) {
    entry->m_graph = nullptr;  // the caller keeps the graph
    delete entry;
    return nullptr;
  }
  return entry;
}

CGraphEntry* CGraphManager::AddGraph(const char* name, CConfigNode* rawData, bool updateWithPathObjects) {
  if (name == nullptr || FindGraph(name) != nullptr) return nullptr;
  CSpatialGraph* graph = new CSpatialGraph();
  if (graph == nullptr) return nullptr;
  CGraphEntry* entry = graph->LoadFromStream(rawData) ? AddGraph(name, graph, updateWithPathObjects) : nullptr;
  if (entry == nullptr) delete graph;
  return entry;
}

CSpatialGraph* CGraphManager::FindGraph(const char* name) const {
  const CGraphEntry* entry = Vusk::FindNamed(m_entries, m_entryCount, name);
  return entry != nullptr ? entry->m_graph : nullptr;
}

CGraphData* CGraphManager::FindGraphData(const CSpatialGraph* graph, const CGraphDataDesc* descriptor) const {
  for (uint32_t i = 0; i < m_entryCount; ++i) {
    const CGraphEntry* entry = m_entries[i];
    if (entry->m_graph != graph) continue;
    for (uint32_t d = 0; d < entry->m_dataCount; ++d) {
      if (entry->m_data[d]->GetClassDesc() == descriptor) return entry->m_data[d];
    }
  }
  return nullptr;
}

bool CGraphManager::HasGraph(const CSpatialGraph* graph) const {
  for (uint32_t i = 0; i < m_entryCount; ++i) {
    if (m_entries[i]->m_graph == graph) return true;
  }
  return false;
}

CGraphManager* Vusk::GetGraphManager() {
  CWorld* world = Vusk::GetCurrentWorld();
  if (world == nullptr) return nullptr;
  return static_cast<CGraphManager*>(world->GetGlobalService(&CGraphManager::s_classDesc));
}

CGraphData* Vusk::FindWorldGraphData(const CSpatialGraph* graph, const CGraphDataDesc* descriptor) {
  CGraphManager* manager = GetGraphManager();
  return manager != nullptr ? manager->FindGraphData(graph, descriptor) : nullptr;
}
