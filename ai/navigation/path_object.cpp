#include "ai/navigation/path_object.h"

#include <cstring>

#include "ai/navigation/constraint.h"
#include "ai/runtime/allocator.h"
#include "ai/navigation/graph_manager.h"
#include "ai/navigation/spatial_graph.h"
#include "ai/runtime/config_node.h"
#include "ai/runtime/service.h"
#include "ai/runtime/engine.h"
#include "ai/runtime/world.h"

#include "platform/crt.h"

namespace {
// The graph-change callback table is engine memory; the engine's shut-down gives it back.
const bool kCallbacksReleasedAtShutDown = Vusk::AddEngineReleaseHook(&Vusk::FreeGraphChangeCallbacks);

// First of the path objects in existence, and how many there are.
CPathObject* g_firstLive = nullptr;
uint64_t g_liveCount = 0;
}  // namespace

CEntityClassDesc CPathObject::s_classDesc("CPathObject", nullptr, nullptr);

CPathObject::CPathObject(const char* name, void* hostObject)
    : CEntity(name, hostObject),
      m_linkedEdges(nullptr),
      m_linkedEdgeCount(0),
      m_manager(nullptr),
      m_linkedEdgeMax(kDefaultLinkedEdgeMax),
      m_nextLive(g_firstLive),
      m_previousLive(nullptr) {
  if (g_firstLive != nullptr) g_firstLive->m_previousLive = this;
  g_firstLive = this;
  ++g_liveCount;
}

CPathObject::~CPathObject() {
  // Out of the world while still a path object: the manager's callback unlinks it from its graphs. One
  // in no world may still be held (a manager given it by hand, the paths found through its edges):
  // the same callbacks tell them.
  if (GetWorld() == nullptr) CWorld::TellEntityRemoved(this);
  Vusk::TakeEntityOut(this);
  UnlinkAll();
  (m_previousLive != nullptr ? m_previousLive->m_nextLive : g_firstLive) = m_nextLive;
  if (m_nextLive != nullptr) m_nextLive->m_previousLive = m_previousLive;
  --g_liveCount;
  delete[] m_linkedEdges;
}

void CPathObject::ForgetEdge(CGraphEdge* edge) {
  // Every object in the edge's chain of links holds a record of it, so every path object is asked.
  for (CPathObject* object = g_firstLive; object != nullptr; object = object->m_nextLive) {
    for (uint32_t i = object->m_linkedEdgeCount; i-- > 0;) {
      if (object->m_linkedEdges[i].m_edge == edge) object->DropRecord(i);
    }
  }
  edge->SetPathObject(nullptr);
}

void CPathObject::UnlinkAll() {
  // Out of the chain of every edge still linked: no search may ask a freed object for a price. The
  // records only name live edges (a deleted edge takes its records with it).
  while (m_linkedEdgeCount > 0) {
    const uint32_t before = m_linkedEdgeCount;
    CPathObject::RemoveLinkedEdge(m_linkedEdges[before - 1].m_graph, m_linkedEdges[before - 1].m_edge);
    if (m_linkedEdgeCount == before) DropRecord(before - 1);
  }
}

void CPathObject::DropRecord(uint32_t i) {
  // Records keep their order: the rest move down one place.
  for (; i + 1 < m_linkedEdgeCount; ++i) {
    CLinkedEdge& to = m_linkedEdges[i];
    const CLinkedEdge& from = m_linkedEdges[i + 1];
    to.m_graph = from.m_graph;
    to.m_edge = from.m_edge;
    to.m_previous = from.m_previous;
  }
  CLinkedEdge& freed = m_linkedEdges[--m_linkedEdgeCount];
  freed.m_graph = nullptr;
  freed.m_edge = nullptr;
  freed.m_previous = nullptr;
}

bool CPathObject::Init(CConfigNode* definition) {
  if (!CEntity::Init(definition)) return false;
  if (const char* value = definition != nullptr ? definition->GetChildValue("LinkedEdgeMax") : nullptr) {
    int count = crt_atoi(value);
    if (count < 0) return false;  // a negative capacity is no capacity at all
    // Nothing else bounds it: more records than the machine can hold are refused.
    if (!Vusk::FitsMachine(static_cast<uint64_t>(count), sizeof(CLinkedEdge))) return false;
    m_linkedEdgeMax = count == 0 ? 1 : static_cast<uint32_t>(count);
  }
  UnlinkAll();  // the records go with the old array
  delete[] m_linkedEdges;
  m_linkedEdges = new CLinkedEdge[m_linkedEdgeMax];
  if (m_linkedEdges == nullptr) return false;
  CWorld* world = Vusk::GetCurrentWorld();
  const CGlobalServiceDesc* managerDesc = CGlobalServiceDesc::Find("CPathObjectManager");
  m_manager = world != nullptr && managerDesc != nullptr ? world->GetGlobalService(managerDesc) : nullptr;
  return true;
}

bool CPathObject::GetEdgeCost(CEntity* context, CGraphEdge* edge, CConstraint* constraint, float* cost) {
  return constraint != nullptr && constraint->GetEdgeCost(context, edge, cost);
}

bool CPathObject::AcceptSubgoal(CEntity*, const CVector3&, const CVector3&) { return true; }

bool CPathObject::ComputeMove(CEntity* owner, const CVector3& pathPoint, CActionClass*, bool* reached,
                              CVector3* target) {
  *target = pathPoint;
  // The squared distance is compared with OneMeter itself.
  *reached =
      owner != nullptr && CVector3::DistanceSquared(owner->GetPosition(), pathPoint) < Vusk::GetCurrentOneMeter();
  return false;
}

bool CPathObject::CanLeave(CEntity*) { return true; }
bool CPathObject::NeedsRepath(CEntity*) { return false; }

void CPathObject::NotifyGraphs(CSpatialGraph* graph) {
  if (m_manager != nullptr) Vusk::NotifyGraphChange(this, graph);
}

uint32_t CPathObject::GetSegmentCount() { return 0; }
CPathSegment* CPathObject::GetSegments() { return nullptr; }

CLinkedEdge* CPathObject::FindRecord(CGraphEdge* edge) const {
  for (uint32_t i = 0; i < m_linkedEdgeCount; ++i) {
    if (m_linkedEdges[i].m_edge == edge) return &m_linkedEdges[i];
  }
  return nullptr;
}

bool CPathObject::AddLinkedEdge(CSpatialGraph* graph, CGraphEdge* edge) {
  if (graph == nullptr || edge == nullptr) return false;
  if (edge->GetPathObject() != nullptr && FindRecord(edge) != nullptr) return true;
  if (m_linkedEdges == nullptr || m_linkedEdgeCount >= m_linkedEdgeMax) return false;
  CLinkedEdge& record = m_linkedEdges[m_linkedEdgeCount++];
  record.m_graph = graph;
  record.m_edge = edge;
  record.m_previous = edge->GetPathObject();
  edge->SetPathObject(this);
  return true;
}

bool CPathObject::RemoveLinkedEdge(CSpatialGraph* graph, CGraphEdge* edge) {
  if (graph == nullptr || edge == nullptr) return false;
  CLinkedEdge* record = FindRecord(edge);
  if (record == nullptr) return false;
  OnEdgeUnlinked(graph, edge);
  // The hook may have changed the records: look again.
  record = FindRecord(edge);
  if (record == nullptr) return true;
  CPathObject* const previous = record->m_previous;
  // The record goes with the link: an object that holds a record of an edge is in its chain of links,
  // so a later AddLinkedEdge links it again and no chain can lead back to an object that left.
  DropRecord(static_cast<uint32_t>(record - m_linkedEdges));
  if (edge->GetPathObject() == this) {
    edge->SetPathObject(previous);
    return true;
  }
  // Unhook this object from the chain of links on the edge, newest first. A chain holds each live path
  // object at most once, so the walk is bounded by their number; a chain that loops is refused.
  CPathObject* object = edge->GetPathObject();
  for (uint64_t steps = 0; object != nullptr && steps < g_liveCount; ++steps) {
    CLinkedEdge* link = object->FindRecord(edge);
    if (link == nullptr) return false;
    if (link->m_previous == this) {
      link->m_previous = previous;
      return true;
    }
    object = link->m_previous;
  }
  return false;
}

void CPathObject::UnlinkFromGraphs() {
  CGraphManager* manager = Vusk::GetGraphManager();
  if (manager == nullptr) return;
  for (uint32_t i = 0; i < manager->GetEntryCount(); ++i) {
    CGraphEntry* entry = manager->GetEntry(i);
    if (entry->m_updateWithPathObjects) OnGraphsChanged(entry->m_graph);
  }
  // Each unlink drops its record. Records of graphs the manager does not hold stay, still linked: the
  // object unlinks them itself when it goes.
  for (uint32_t i = 0; i < m_linkedEdgeCount;) {
    const uint32_t before = m_linkedEdgeCount;
    if (manager->HasGraph(m_linkedEdges[i].m_graph))
      RemoveLinkedEdge(m_linkedEdges[i].m_graph, m_linkedEdges[i].m_edge);
    if (m_linkedEdgeCount == before) ++i;
  }
}

void CPathObject::OnGraphsChanged(CSpatialGraph*) { NotifyGraphs(nullptr); }
void CPathObject::OnEdgeUnlinked(CSpatialGraph*, CGraphEdge*) {}

// ---------------------------------------------------------------------------------------------------------
// Graph-change callbacks

namespace {

struct GraphChangeTable {
  Vusk::GraphChangeCallback* functions = nullptr;  // null = free entry
  void** contexts = nullptr;                       // context value per entry
  void** keys = nullptr;                           // key per entry (null = every graph)
  uint32_t capacity = 0;                           // entries allocated
};

GraphChangeTable g_callbacks;

bool GrowCallbacks(uint32_t capacity) {
  auto* functions =
      static_cast<Vusk::GraphChangeCallback*>(Vusk::EngineAllocate(capacity * sizeof(Vusk::GraphChangeCallback)));
  auto** contexts = static_cast<void**>(Vusk::EngineAllocate(capacity * sizeof(void*)));
  auto** keys = static_cast<void**>(Vusk::EngineAllocate(capacity * sizeof(void*)));
  if (functions == nullptr || contexts == nullptr || keys == nullptr) {
    Vusk::EngineFree(functions);
    Vusk::EngineFree(contexts);
    Vusk::EngineFree(keys);
    return false;
  }
  for (uint32_t i = 0; i < capacity; ++i) {
    bool old = i < g_callbacks.capacity;
    functions[i] = old ? g_callbacks.functions[i] : nullptr;
    contexts[i] = old ? g_callbacks.contexts[i] : nullptr;
    keys[i] = old ? g_callbacks.keys[i] : nullptr;
  }
  Vusk::FreeGraphChangeCallbacks();
  g_callbacks = GraphChangeTable{functions, contexts, keys, capacity};
  return true;
}

}  // namespace

bool Vusk::AddGraphChangeCallback(GraphChangeCallback function, void* context, void* key) {
  if (function == nullptr) return false;
  if (g_callbacks.capacity == 0) {
    CWorld* world = Vusk::GetCurrentWorld();
    uint32_t capacity = world != nullptr ? world->GetMaxEntity() : 0;
    if (!GrowCallbacks(capacity > 0 ? capacity : 8)) return false;
  }
  uint32_t slot = 0;
  while (slot < g_callbacks.capacity && g_callbacks.functions[slot] != nullptr) ++slot;
  // A full table doubles, keeping its entries in their slots.
  if (slot == g_callbacks.capacity && !GrowCallbacks(g_callbacks.capacity * 2)) return false;
  g_callbacks.functions[slot] = function;
  g_callbacks.contexts[slot] = context;
  g_callbacks.keys[slot] = key;
  return true;
}

void Vusk::RemoveGraphChangeCallback(GraphChangeCallback function, void* context, void* key) {
  for (uint32_t i = 0; i < g_callbacks.capacity; ++i) {
    if (g_callbacks.functions[i] == function && g_callbacks.contexts[i] == context && g_callbacks.keys[i] == key) {
      g_callbacks.functions[i] = nullptr;
      return;
    }
  }
}

void Vusk::NotifyGraphChange(void* argument, void* graph) {
  for (uint32_t i = 0; i < g_callbacks.capacity; ++i) {
    GraphChangeCallback function = g_callbacks.functions[i];
    if (function == nullptr) continue;
    if (graph == nullptr || g_callbacks.keys[i] == nullptr || g_callbacks.keys[i] == graph) {
      function(argument, g_callbacks.contexts[i]);
    }
  }
}

void Vusk::FreeGraphChangeCallbacks() {
  Vusk::EngineFree(g_callbacks.functions);
  Vusk::EngineFree(g_callbacks.contexts);
  Vusk::EngineFree(g_callbacks.keys);
  g_callbacks = GraphChangeTable{};
}
