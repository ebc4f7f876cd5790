// Path objects: entities that take charge of some graph edges (a door, a lift, a generator seed). A path
// object links itself to edges so that the A* search asks it for their cost and the search radius ignores
// them, and it tells interested parties when its state changes the graphs (graph-change callbacks).
#pragma once

#include <cstdint>

#include "ai/runtime/class_desc.h"
#include "ai/runtime/entity.h"
#include "ai/runtime/vector3.h"

class CActionClass;
class CConstraint;
class CGlobalService;
class CGraphEdge;
class CSpatialGraph;
class CPathObject;

// One edge a path object is linked to.
class CLinkedEdge : public CEngineObject {
public:
  CSpatialGraph* m_graph = nullptr;   // graph holding the edge
  CGraphEdge* m_edge = nullptr;       // the edge
  CPathObject* m_previous = nullptr;  // path object linked to the edge before this one, or null
};

// Segment a path object hands to the graph generator.
class CPathSegment : public CEngineObject {
public:
  CVector3 m_a;  // first end point
  CVector3 m_b;  // second end point
};

class CPathObject : public CEntity {
public:
  static CEntityClassDesc s_classDesc;  // "CPathObject" (abstract)
  static constexpr uint32_t kDefaultLinkedEdgeMax = 25;

  CPathObject(const char* name, void* hostObject);
  // Leaves its world, or, when in none, runs the entity-removed callbacks all the same: the managers
  // and path finders holding it (given by hand, found through its edges) let it go. Then unlinks
  // every edge it still holds.
  ~CPathObject() override;

  // Reads "LinkedEdgeMax" (0 becomes 1; below 0 refused) and allocates the linked-edge records.
  bool Init(CConfigNode* definition) override;

  // Cost of an edge linked to this object: the constraint's cost by default. The object may end itself
  // here (or the host end it): the search goes on without it.
  virtual bool GetEdgeCost(CEntity* context, CGraphEdge* edge, CConstraint* constraint, float* cost);
  // The owner's path finder asks the next four during its step. In each the object may end itself, or
  // the host end it or another path object (delete it, or take it out of its world): the path finder
  // asks it nothing more and drops it from its path, which is computed anew; the answer given in that
  // call still counts. The owner and its brain must not be ended there: the path finder goes with them.
  // false keeps the path finder's present sub-goal.
  virtual bool AcceptSubgoal(CEntity* owner, const CVector3& ownerPosition, const CVector3& point);
  // Steers the owner towards `pathPoint`; sets `reached` when the squared distance is below OneMeter.
  virtual bool ComputeMove(CEntity* owner, const CVector3& pathPoint, CActionClass* actions, bool* reached,
                           CVector3* target);
  // false holds the path finder on its present path segment.
  virtual bool CanLeave(CEntity* owner);
  // true makes the path finder compute a new path.
  virtual bool NeedsRepath(CEntity* owner);
  // Tells the graph-change callbacks about a change of `graph` (null: every graph) when the object has
  // a path-object manager.
  virtual void NotifyGraphs(CSpatialGraph* graph);
  // The manager asks both while it gathers segments: an object that ends there (by itself or the host)
  // is left out; one that ends another there is gathered still.
  virtual uint32_t GetSegmentCount();
  virtual CPathSegment* GetSegments();
  // Links the object to the edges of the graph that it takes charge of (AddLinkedEdge). The manager
  // calls it while it walks its objects: it adds, removes or deletes no path object.
  virtual void LinkToGraph(CSpatialGraph* graph) = 0;
  // Links the object to the edge (the newest of the edge's chain of links); true when it already was.
  virtual bool AddLinkedEdge(CSpatialGraph* graph, CGraphEdge* edge);
  // Takes the object out of the edge's chain of links and drops its record of the edge.
  virtual bool RemoveLinkedEdge(CSpatialGraph* graph, CGraphEdge* edge);
  // Unlinks from every graph the graph manager holds; edges of other graphs stay linked until
  // RemoveLinkedEdge or the object's deletion.
  virtual void UnlinkFromGraphs();
  // Hooks of the unlinking (the object leaves its world or the manager, or is deleted): they must not
  // end the object.
  virtual void OnGraphsChanged(CSpatialGraph* graph);
  virtual void OnEdgeUnlinked(CSpatialGraph* graph, CGraphEdge* edge);

  uint32_t GetLinkedEdgeCount() const { return m_linkedEdgeCount; }
  uint32_t GetLinkedEdgeMax() const { return m_linkedEdgeMax; }
  const CLinkedEdge* GetLinkedEdge(uint32_t i) const { return i < m_linkedEdgeCount ? &m_linkedEdges[i] : nullptr; }
  void SetManager(CGlobalService* manager) { m_manager = manager; }
  // An edge record is about to be deleted: every path object drops its record of that edge, so that
  // none is left pointing at freed memory.
  static void ForgetEdge(CGraphEdge* edge);

protected:
  CLinkedEdge* FindRecord(CGraphEdge* edge) const;
  // Removes record i, keeping the order of the others.
  void DropRecord(uint32_t i);
  // Unlinks every edge the object holds a record of.
  void UnlinkAll();

  CLinkedEdge* m_linkedEdges;  // m_linkedEdgeMax records
  uint32_t m_linkedEdgeCount;  // records in use: one per edge whose chain of links holds the object
  CGlobalService* m_manager;   // path-object manager of the world, or null
  uint32_t m_linkedEdgeMax;    // records allocated (25 when constructed)

private:
  CPathObject* m_nextLive;      // next path object in existence (list of all of them)
  CPathObject* m_previousLive;  // previous one, or null for the first
};

namespace Vusk {

using GraphChangeCallback = void (*)(void* argument, void* context);

// Registers `function` (with its context) for changes of `key` (a graph, or any pointer notifications
// are matched against; null: every change). False when the table cannot take it.
bool AddGraphChangeCallback(GraphChangeCallback function, void* context, void* key);
// Removes the first entry equal in all three values.
void RemoveGraphChangeCallback(GraphChangeCallback function, void* context, void* key);
// Calls function(argument, context) for every entry whose key is `graph` or null, or every entry when
// `graph` is null; in registration-slot order. A callback may add and remove entries: one removed
// before its turn is not called, one added in a later slot may hear this change already.
void NotifyGraphChange(void* argument, void* graph);
// Frees the callback table.
void FreeGraphChangeCallbacks();

}  // namespace Vusk
