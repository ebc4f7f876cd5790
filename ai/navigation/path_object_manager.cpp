#include "ai/navigation/path_object_manager.h"

#include "ai/navigation/graph_manager.h"
#include "ai/navigation/path_object.h"
#include "ai/runtime/allocator.h"
#include "ai/runtime/config_node.h"
#include "ai/runtime/engine.h"
#include "ai/runtime/entity.h"
#include "ai/runtime/world.h"
#include "platform/crt.h"

CGlobalServiceDesc CPathObjectManager::s_classDesc("CPathObjectManager", &CPathObjectManager::Create, nullptr, false,
                                                   false);

namespace {

bool IsPathObject(const CEntity* entity) {
  return entity != nullptr && Vusk::IsKindOf(entity->GetClassDesc(), &CPathObject::s_classDesc);
}

}  // namespace

CGlobalService* CPathObjectManager::Create() { return new CPathObjectManager(); }

CPathObjectManager::CPathObjectManager()
    : m_objects(nullptr),
      m_count(0),
      m_capacity(kDefaultCapacity),
      m_graphManager(nullptr),
      m_segments(nullptr),
      m_segmentCount(0),
      m_segmentsGathered(false) {
  CWorld::AddEntityAddedCallback(&CPathObjectManager::OnEntityAdded, this);
  CWorld::AddEntityRemovedCallback(&CPathObjectManager::OnEntityRemoved, this);
}

CPathObjectManager::~CPathObjectManager() {
  delete[] m_segments;
  Vusk::EngineFree(m_objects);
  Vusk::FreeGraphChangeCallbacks();
  CWorld::RemoveEntityAddedCallback(&CPathObjectManager::OnEntityAdded, this);
  CWorld::RemoveEntityRemovedCallback(&CPathObjectManager::OnEntityRemoved, this);
}

const CGlobalServiceDesc* CPathObjectManager::GetClassDesc() const { return &s_classDesc; }

bool CPathObjectManager::ReadParam(CConfigNode* node) {
  const char* name = node->GetName();
  const char* value = node->GetValue();
  if (name == nullptr || value == nullptr || _stricmp(name, "MaxNbPathObjects") != 0) return false;
  int capacity = crt_atoi(value);
  if (capacity < 1) return false;  // a capacity below one would hold nothing (or wrap round)
  // Nothing else bounds it: more entries than the machine can hold are refused.
  if (!Vusk::FitsMachine(static_cast<uint64_t>(capacity), sizeof(CPathObject*))) return false;
  m_capacity = static_cast<uint32_t>(capacity);
  return true;
}

bool CPathObjectManager::Init(CConfigNode* definition) {
  m_capacity = kDefaultCapacity;
  m_graphManager = Vusk::GetGraphManager();
  if (!CGlobalService::Init(definition)) return false;
  Vusk::EngineFree(m_objects);
  m_count = 0;
  m_objects = static_cast<CPathObject**>(Vusk::EngineAllocate(m_capacity * sizeof(CPathObject*)));
  if (m_objects == nullptr) return false;
  for (uint32_t i = 0; i < m_capacity; ++i) m_objects[i] = nullptr;
  return true;
}

void CPathObjectManager::OnEntityAdded(CEntity* entity, void* user) {
  if (IsPathObject(entity)) static_cast<CPathObjectManager*>(user)->AddPathObject(static_cast<CPathObject*>(entity));
}

void CPathObjectManager::OnEntityRemoved(CEntity* entity, void* user) {
  // Found by address: the entity may be in its destructor, its class no longer known.
  auto* self = static_cast<CPathObjectManager*>(user);
  self->RemoveAt(self->IndexOf(entity));
}

uint32_t CPathObjectManager::IndexOf(const CEntity* entity) const {
  uint32_t i = 0;
  while (i < m_count && static_cast<CEntity*>(m_objects[i]) != entity) ++i;
  return i;
}

void CPathObjectManager::LinkToGraphs(CPathObject* object) {
  for (uint32_t i = 0; i < m_graphManager->GetEntryCount(); ++i) {
    CGraphEntry* entry = m_graphManager->GetEntry(i);
    if (entry->m_updateWithPathObjects) object->LinkToGraph(entry->m_graph);
  }
}

bool CPathObjectManager::AddPathObject(CPathObject* object) {
  if (object == nullptr || m_objects == nullptr) return false;
  // Listed once, however it came (by hand and then through the world): one removal lets it go.
  if (IndexOf(object) < m_count) return true;
  if (m_count >= m_capacity) return false;
  m_objects[m_count++] = object;
  object->SetManager(this);
  if (m_graphManager != nullptr) {
    LinkToGraphs(object);
    return true;
  }
  m_graphManager = Vusk::GetGraphManager();
  if (m_graphManager == nullptr) return false;
  for (uint32_t i = 0; i < m_count; ++i) LinkToGraphs(m_objects[i]);
  return true;
}

bool CPathObjectManager::RemovePathObject(CPathObject* object) { return RemoveAt(IndexOf(object)); }

bool CPathObjectManager::RemoveAt(uint32_t i) {
  if (i >= m_count) return false;
  m_objects[i]->UnlinkFromGraphs();
  if (i < m_gatherNext) --m_gatherNext;
  for (; i + 1 < m_count; ++i) m_objects[i] = m_objects[i + 1];
  m_objects[--m_count] = nullptr;
  return true;
}

uint32_t CPathObjectManager::CollectSegments(CPathSegment** segments) {
  if (!m_segmentsGathered) {
    m_segmentsGathered = true;
    // Each pass asks the objects in order from a place that RemoveAt moves back, so that one ending
    // (itself, or by the host, or another object) while asked neither moves a later object past the
    // place nor an asked one ahead of it. An object no longer held after the call is left out: what it
    // answered is not used. The copy keeps within the count summed.
    const auto stillHeld = [this](const CPathObject* object) {
      return m_gatherNext > 0 && m_objects[m_gatherNext - 1] == object;
    };
    uint64_t total = 0;
    for (m_gatherNext = 0; m_gatherNext < m_count;) {
      CPathObject* const object = m_objects[m_gatherNext++];
      const uint32_t n = object->GetSegmentCount();
      if (stillHeld(object)) total += n;
    }
    if (total > 0 && total <= UINT32_MAX) {
      m_segments = new CPathSegment[static_cast<size_t>(total)];
      for (m_gatherNext = 0; m_gatherNext < m_count && m_segments != nullptr;) {
        CPathObject* const object = m_objects[m_gatherNext++];
        const uint32_t n = object->GetSegmentCount();
        const CPathSegment* const source = stillHeld(object) ? object->GetSegments() : nullptr;
        if (!stillHeld(object)) continue;
        for (uint32_t k = 0; k < n && source != nullptr && m_segmentCount < total; ++k) {
          m_segments[m_segmentCount].m_a = source[k].m_a;
          m_segments[m_segmentCount].m_b = source[k].m_b;
          ++m_segmentCount;
        }
      }
    }
    m_gatherNext = 0;
  }
  if (segments != nullptr) *segments = m_segments;
  return m_segmentCount;
}
