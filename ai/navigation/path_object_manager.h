// CPathObjectManager: the world's global service that keeps the path objects of the world, links each
// one into the graphs that take path objects, unlinks it when it leaves the world, and gathers their
// segments for the graph generator.
#pragma once

#include <cstdint>

#include "ai/runtime/class_desc.h"
#include "ai/runtime/service.h"

class CEntity;
class CGraphManager;
class CPathObject;
class CPathSegment;

class CPathObjectManager : public CGlobalService {
public:
  static CGlobalServiceDesc s_classDesc;  // "CPathObjectManager"
  static CGlobalService* Create();
  static constexpr uint32_t kDefaultCapacity = 20;

  // Registers the entity-added and entity-removed callbacks of the world.
  CPathObjectManager();
  // Deletes the segment and path-object arrays, frees the graph-change callback table and
  // unregisters both world callbacks.
  ~CPathObjectManager() override;

  // Capacity 20, the graph manager, the parameters, then the (zeroed) path-object array.
  bool Init(CConfigNode* definition) override;
  // "MaxNbPathObjects" (decimal integer, at least 1).
  bool ReadParam(CConfigNode* node) override;
  const CGlobalServiceDesc* GetClassDesc() const override;

  // Appends the object and links it into every graph that takes path objects; false when the array
  // is full or no graph manager can be found. An object held already stays listed once (true). The
  // object is held until it leaves its world, RemovePathObject, or its deletion, which tells every
  // manager whether it was given by hand or through a world.
  bool AddPathObject(CPathObject* object);
  // Unlinks the object from the graphs and removes it, keeping the order of the others; false when
  // it was not held.
  bool RemovePathObject(CPathObject* object);
  // Every held object's segments, gathered once on the first call; answers the count.
  uint32_t CollectSegments(CPathSegment** segments);

  uint32_t GetCount() const { return m_count; }
  uint32_t GetCapacity() const { return m_capacity; }
  CPathObject* GetAt(uint32_t i) const { return i < m_count ? m_objects[i] : nullptr; }

private:
  static void OnEntityAdded(CEntity* entity, void* user);
  static void OnEntityRemoved(CEntity* entity, void* user);
  void LinkToGraphs(CPathObject* object);
  // The slot of the held object at that address; m_count when none.
  uint32_t IndexOf(const CEntity* entity) const;
  // Unlinks the object in the slot from the graphs and removes it, keeping the order of the others;
  // false for a slot past the held ones.
  bool RemoveAt(uint32_t i);

  CPathObject** m_objects;        // held path objects
  uint32_t m_count;               // objects held
  uint32_t m_capacity;            // entries of m_objects ("MaxNbPathObjects")
  CGraphManager* m_graphManager;  // the world's graph manager, found on first need
  CPathSegment* m_segments;       // gathered segments, null until first asked
  uint32_t m_segmentCount;        // entries of m_segments
  bool m_segmentsGathered;        // CollectSegments ran once
  uint32_t m_gatherNext = 0;      // while CollectSegments asks the objects: the slot asked next
};
