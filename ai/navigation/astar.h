// A* search over a spatial graph, with edge costs from the graph's current constraint and estimates from
// its current heuristic. The open list is a CAstarNodeList; closed membership is a per-vertex mark. Per-vertex
// state lives in process-wide buffers that a search stamps instead of clearing.
#pragma once

#include <cstdint>

#include "ai/runtime/engine_object.h"
#include "ai/runtime/vector3.h"

class CConstraint;
class CEntity;
class CGraphVertex;
class CHeuristic;
class CPathObject;
class CSpatialGraph;

// Per-expansion time statistics of the time-sliced search (one per constraint class).
struct CAstarCpuStats {
  uint32_t m_count = 0;      // expansions measured so far
  float m_mean = 0.0005f;    // mean time of one expansion (seconds)
  float m_deviation = 0.0f;  // mean absolute deviation of that time (seconds)
  float m_prudence = 0.2f;   // weight of the deviation when a batch is planned
};

// A route: the vertices from the start (point 0) towards the goal.
class CPath : public CEngineObject {
public:
  CPath();
  ~CPath() override;
  // The route owns its arrays: a copy would free them a second time.
  CPath(const CPath&) = delete;
  CPath& operator=(const CPath&) = delete;

  // Releases the arrays and makes new ones of `capacity` entries (none for 0); point count 0.
  bool Resize(uint32_t capacity);
  // Index of the point with the least dx² + 10·dy² + dz² to `point` (first on ties); -1 when empty.
  int32_t FindNearestPoint(const CVector3& point) const;
  // First point equal to `point` in all three coordinates; -1 when none.
  int32_t FindPoint(const CVector3& point) const;

  CSpatialGraph* m_graph;       // graph the route belongs to
  int32_t* m_vertexIndices;     // vertex index of each point
  int32_t* m_edgeIndices;       // index of the edge leaving each point; -1 for the goal
  CVector3* m_points;           // position of each point
  CPathObject** m_pathObjects;  // linked path object of the edge leaving each point, or null
  float m_remainingLength;      // cut short: summed lengths of the edges after the first left-out vertex
  uint32_t m_capacity;          // entries of each array
  int32_t m_pointCount;         // points in use
  uint8_t m_cutShort;           // 1 when the route had more points than the capacity
};

// Per-vertex state of a search, valid only while `stamp` equals the search's stamp (16 bytes). f and h
// repeat the vertex payload's values, so that a relaxation towards a vertex already met needs no look at it.
struct CAstarVertexState {
  uint32_t stamp;   // search that wrote this entry
  int32_t heapPos;  // >= 0: position of the vertex's node in the open list's heap; -1: in no open list
  float f;          // the vertex's f in this search
  float h;          // the vertex's estimate in this search
};

// A position in a node list: the vertex whose node it is; the end of the list when negative.
class CAstarNodeIterator {
public:
  CAstarNodeIterator() = default;
  explicit CAstarNodeIterator(int32_t vertex) : m_vertex(vertex) {}
  bool IsEnd() const { return m_vertex < 0; }
  int32_t GetVertexIndex() const { return m_vertex; }
  bool operator==(const CAstarNodeIterator&) const = default;

private:
  int32_t m_vertex = -1;
};

// The open list: nodes in ascending f, a node after every node of equal f, so that the front is the oldest
// of the least-f nodes. It behaves exactly as a sorted doubly linked list but is kept as an indexed 4-ary
// heap ordered by (f, insertion number), which gives the same front at logarithmic cost. Its storage is
// given to it: one node per vertex index, and the vertices' states, whose heapPos it keeps.
class CAstarNodeList {
public:
  // One node (16 bytes): key = ordered f bits in the high word, insertion number in the low word.
  struct Node {
    uint64_t key;
    int32_t vertex;
    int32_t unused;
  };

  // Nodes past the last that the list keeps at the greatest key (its storage holds them too).
  static constexpr int32_t kSpare = 3;
  static constexpr uint64_t kNoKey = ~uint64_t(0);

  // Takes storage for `capacity` + kSpare nodes (kept: the nodes already in the list are moved there).
  void SetStorage(Node* nodes, CAstarVertexState* states);
  // Empties the list.
  void Clear();
  int32_t GetCount() const { return m_count; }
  // The first node; the end when the list is empty.
  CAstarNodeIterator Front() const { return CAstarNodeIterator(m_count > 0 ? m_nodes[0].vertex : -1); }
  // Inserts the vertex (in no list now) with its f behind every node of less or equal f.
  CAstarNodeIterator InsertSorted(int32_t vertex, float f);
  // Inserts the vertex (in no list now) directly before `position` (at the tail for the end). As in a
  // sorted list, f must lie between the f of the node before `position` and the f of `position`.
  CAstarNodeIterator InsertBefore(CAstarNodeIterator position, int32_t vertex, float f);
  // Takes a node out of the list.
  void Unlink(CAstarNodeIterator node);
  // The front leaves and the vertex (in no list now) comes in with its f: the list that InsertSorted and
  // then Unlink of the old front would leave, at the cost of one move down from the top. The list must
  // not be empty.
  CAstarNodeIterator ReplaceFront(int32_t vertex, float f);
  // A node of the list whose f fell: it leaves and comes back sorted, behind the nodes of equal f.
  CAstarNodeIterator ReinsertSorted(CAstarNodeIterator node, float f);
  // The node that comes to the front when the front leaves, ignoring the last node (it only moves
  // up when every other node is gone): the front's least child; the end when none.
  CAstarNodeIterator NextAfterFront() const;
  // The nodes at heap positions 1..4, which are soon at the front (for prefetching).
  int32_t GetSoonCount() const { return m_count - 1 < 4 ? (m_count > 0 ? m_count - 1 : 0) : 4; }
  int32_t GetSoonVertex(int32_t i) const { return m_nodes[1 + i].vertex; }

private:
  void Place(int32_t pos, const Node& node);
  void SiftUp(int32_t pos, Node node);
  void SiftDown(int32_t pos, Node node);
  int32_t LeastChild(int32_t pos, uint64_t* least) const;
  uint64_t NextKey(float f);
  void Renumber();

  Node* m_nodes = nullptr;
  CAstarVertexState* m_states = nullptr;
  int32_t m_count = 0;
  uint32_t m_sequence = 0;  // next insertion number
};

namespace Vusk {

// Results of the time-sliced search.
enum : int {
  kAstarNoRoute = 0,    // no route, or no constraint/heuristic on the graph
  kAstarFound = 1,      // route written into the path
  kAstarSuspended = 2,  // budget spent; call again with the same arguments to continue
};

// Sizes the process-wide buffers for vertex indices 0..vertexCount-1 (0 or less: no buffers). A search on a
// graph whose last vertex index does not fit enlarges them itself.
bool AstarCreateBuffers(int32_t vertexCount);
void AstarFreeBuffers();
int32_t AstarGetBufferSize();
// A vertex record is about to be deleted: a suspended search that started at it is dropped without
// touching the record.
void AstarForgetVertex(const CGraphVertex* vertex);

bool AstarSearch(CSpatialGraph* graph, CPath* path, CGraphVertex* start, CGraphVertex* goal, CEntity* context);
int AstarSearchTimeSliced(CSpatialGraph* graph, CPath* path, CGraphVertex* start, CGraphVertex* goal, CEntity* context,
                          CAstarCpuStats* stats, float budget, bool restart);
// Writes the route that ends at `goal` (predecessor chain back to the vertex marked as start).
bool AstarBuildPath(CSpatialGraph* graph, CPath* path, CGraphVertex* goal);

// The routes from vertex `start` to every vertex of a graph whose vertices are dense (0..count-1), exactly
// as the searches `AstarSearch` (start, g) with no context would find them: firstEdge[g] is the index of
// the route's first edge (-1 when g cannot be reached; `start` itself for g = start) and cost[g] the sum
// of the route's edge costs (-1 when unreachable; 0 for g = start). Both arrays hold count entries. With
// the zero heuristic and costs that are never negative, one uniform-cost sweep gives every route at once
// (each goal's route is fixed when it reaches the front, as in its own search); otherwise one search runs
// per goal. False when the graph has no constraint or heuristic, is not dense, or memory runs out.
bool AstarRoutesFrom(CSpatialGraph* graph, int32_t start, int32_t* firstEdge, float* cost);

// For the time of a table build: installs a shortest-path constraint and a zero heuristic on a graph that
// has none, and restores what was there afterwards.
class CAstarBuildScope {
public:
  explicit CAstarBuildScope(CSpatialGraph* graph);
  ~CAstarBuildScope();
  CAstarBuildScope(const CAstarBuildScope&) = delete;
  CAstarBuildScope& operator=(const CAstarBuildScope&) = delete;
  bool IsReady() const;

private:
  CSpatialGraph* m_graph;          // graph being built for
  CConstraint* m_localConstraint;  // installed here, or null
  CHeuristic* m_localHeuristic;    // installed here, or null
};

}  // namespace Vusk
