// Navigation graph: directed graph of world points (vertices) and straight moves between them (edges).
//
// Vertices and edges live in two index-addressed slot arrays; a null slot is a free index. Every other
// navigation module (graph data, point queries, A*, path objects) reads graphs through the operations here.
#pragma once

#include <cstddef>
#include <cstdint>

#include "ai/runtime/engine_object.h"
#include "ai/runtime/vector3.h"

class CGraphEdge;
class CGraphVertex;
class CConfigNode;
class CPathObject;
class CSpatialGraph;

namespace Vusk {
class CDataReader;
}

// Per-vertex payload. The A* search keeps its per-vertex state here.
class CGraphVertexData {
public:
  CGraphVertexData();
  explicit CGraphVertexData(const CVector3& position);
  CGraphVertexData(const CGraphVertexData& other);
  CGraphVertexData& operator=(const CGraphVertexData& other);
  virtual ~CGraphVertexData();

  CVector3 m_position;            // world position (host units)
  float m_f;                      // A*: g + h; -1 when built
  float m_g;                      // A*: cost of the best route from the start; -1 when built
  float m_h;                      // A*: estimate to the goal; -1 when built
  uint8_t m_startMarker;          // A*: 1 on the start vertex of the search under way, else 0
  CGraphVertex* m_predecessor;    // A*: vertex the best route came from (not set when built)
  CGraphEdge* m_predecessorEdge;  // A*: edge taken from the predecessor (not set when built)
};

// What a search reads and writes of an edge (16 bytes). The edge's own copy while it has no source; the
// copy in its source's link while it has one (see CGraphLink).
struct CGraphEdgeHot {
  int32_t m_destinationIndex;  // the destination's index, kept by the graph; -1 until linked
  float m_length;              // straight distance between the end points (host units)
  float m_cost;                // cost of the last A* relaxation over this edge; 0 when built
  uint8_t m_closed;            // 1: the A* search never follows this edge
  uint8_t m_priced;            // 1: a path object is linked to the edge
  uint16_t m_unused;
};

// One outgoing edge of a vertex as a search walks it (32 bytes, two to a cache line): the edge, its
// destination and the edge's hot fields, packed one after another in the source vertex.
struct CGraphLink {
  CGraphEdge* m_edge;
  CGraphVertex* m_destination;
  CGraphEdgeHot m_hot;
};

// Vertex record: payload plus dense incoming/outgoing edge arrays.
class CGraphVertex : public CEngineObject {
public:
  explicit CGraphVertex(const CGraphVertexData& data);
  ~CGraphVertex() override;
  // The record owns its edge arrays: a copy would free them a second time.
  CGraphVertex(const CGraphVertex&) = delete;
  CGraphVertex& operator=(const CGraphVertex&) = delete;

  int32_t GetIndex() const { return m_index; }
  const CVector3& GetPosition() const { return m_data.m_position; }
  int32_t GetIncomingCount() const { return m_incomingCount; }
  int32_t GetOutgoingCount() const { return m_outgoingCount; }
  // i-th linked edge, null when i is out of range.
  CGraphEdge* GetIncomingEdge(int32_t i) const;
  CGraphEdge* GetOutgoingEdge(int32_t i) const;
  // Dense views for hot loops: entries 0..count-1.
  CGraphLink* OutgoingLinks() const { return m_outgoing; }
  CGraphEdge* const* IncomingEdges() const { return m_incoming; }

  bool AddIncomingEdge(CGraphEdge* edge);
  bool AddOutgoingEdge(CGraphEdge* edge);
  bool RemoveIncomingEdge(CGraphEdge* edge);
  bool RemoveOutgoingEdge(CGraphEdge* edge);
  // Sets the capacity to exactly n when n is above it; 0 fails.
  bool ReserveIncoming(int32_t n);
  bool ReserveOutgoing(int32_t n);

  // The fields a search reads first (index, outgoing edges, position, f, g) share the record's first
  // cache line (records start on a line); h, the start marker, the predecessor fields, the incoming side
  // and the capacities follow in the second.
  int32_t m_index;             // own slot in the graph; -1 until stored
  int32_t m_outgoingCount;     // linked outgoing edges
  CGraphLink* m_outgoing;      // outgoing edges, entries 0..m_lastOutgoing
  CGraphVertexData m_data;     // payload
  CGraphEdge** m_incoming;     // incoming edges, entries 0..m_lastIncoming
  int32_t m_incomingCount;     // linked incoming edges
  int32_t m_lastIncoming;      // last used incoming entry; -1 when empty
  int32_t m_lastOutgoing;      // last used outgoing entry; -1 when empty
  int32_t m_incomingCapacity;  // entries allocated; 0 when built
  int32_t m_outgoingCapacity;  // entries allocated; 0 when built
  uint8_t m_pooled;            // 1: the record lives in its graph's record pool
};

// Per-edge payload: what an edge is made from, and what GetData answers.
class CGraphEdgeData {
public:
  CGraphEdgeData();
  CGraphEdgeData(const CGraphEdgeData& other) = default;
  CGraphEdgeData& operator=(const CGraphEdgeData& other) = default;
  virtual ~CGraphEdgeData();

  CPathObject* m_pathObject;  // linked path object that prices this edge, or null
  float m_length;             // straight distance between the end points (host units)
  float m_cost;               // cost of the last A* relaxation over this edge; 0 when built
  uint8_t m_closed;           // 1: the A* search never follows this edge
};

// Edge record. The payload's fields a search reads (length, cost cache, closed flag, whether a path object
// is linked) live in the source vertex's link while the edge has a source, so that a search walks a
// vertex's edges without touching their records; they are reached through the accessors here.
class CGraphEdge : public CEngineObject {
public:
  explicit CGraphEdge(const CGraphEdgeData& data);
  ~CGraphEdge() override;
  // The record's hot fields may live in its source's links: a copy would share them.
  CGraphEdge(const CGraphEdge&) = delete;
  CGraphEdge& operator=(const CGraphEdge&) = delete;

  int32_t GetIndex() const { return m_index; }
  CGraphVertex* GetSource() const { return m_source; }
  CGraphVertex* GetDestination() const { return m_destination; }
  int32_t GetDestinationIndex() const { return m_hot->m_destinationIndex; }

  float GetLength() const { return m_hot->m_length; }
  void SetLength(float length) { m_hot->m_length = length; }
  float GetCost() const { return m_hot->m_cost; }
  void SetCost(float cost) { m_hot->m_cost = cost; }
  uint8_t GetClosed() const { return m_hot->m_closed; }
  void SetClosed(uint8_t closed) { m_hot->m_closed = closed; }
  CPathObject* GetPathObject() const { return m_pathObject; }
  void SetPathObject(CPathObject* pathObject) {
    m_pathObject = pathObject;
    m_hot->m_priced = pathObject != nullptr ? 1 : 0;
  }
  // The payload as it stands.
  CGraphEdgeData GetData() const;

  CGraphEdgeHot* m_hot;         // the hot fields: m_own, or the source's link
  CGraphEdgeHot m_own;          // the hot fields while the edge has no source
  CPathObject* m_pathObject;    // linked path object that prices this edge, or null
  CGraphVertex* m_source;       // source vertex record
  CGraphVertex* m_destination;  // destination vertex record
  int32_t m_index;              // own slot in the graph; -1 until stored
  uint8_t m_pooled;             // 1: the record lives in its graph's record pool
};

// Visitor over a graph's live vertices or edges, in index order.
class CGraphVisitor {
public:
  virtual ~CGraphVisitor();
  virtual void BeginVertices(CSpatialGraph* graph);
  virtual void BeginEdges(CSpatialGraph* graph);
  virtual bool VisitVertex(CGraphVertex* vertex);
  virtual bool VisitEdge(CGraphEdge* edge);
};

class CConstraint;
class CHeuristic;

// Fixed-size record storage of one graph: blocks of records carved in order, freed records reused. Records
// made one after another (as a loader makes them) sit next to each other. The blocks go back when the graph
// is cleared.
class CGraphRecordPool {
public:
  // Records are rounded up to whole 64-byte cache lines, so that none straddles more lines than it needs.
  explicit CGraphRecordPool(size_t recordSize) : m_recordSize((recordSize + 63) & ~size_t(63)) {}
  ~CGraphRecordPool() { Release(); }
  CGraphRecordPool(const CGraphRecordPool&) = delete;
  CGraphRecordPool& operator=(const CGraphRecordPool&) = delete;
  // Storage for one record; null when memory runs out.
  void* Take();
  // Gives back the storage of a destroyed record.
  void Give(void* record);
  // Frees every block (every record must be destroyed already).
  void Release();

private:
  size_t m_recordSize;        // bytes per record, a multiple of 64
  void* m_blocks = nullptr;   // chain of blocks, newest first
  uint8_t* m_next = nullptr;  // next unused record of the newest block
  uint8_t* m_end = nullptr;   // end of the newest block
  void* m_free = nullptr;     // chain of given-back records
};

class CSpatialGraph : public CEngineObject {
public:
  // Magic text of the graph file.
  static constexpr const char* kFileMagic = "Quelmor Spatial graph";

  CSpatialGraph();
  // Deletes every record (as Clear). Path finders, hiding, flee and wander agents, teams and
  // the graph entry hold the graph itself without asking whether it is still there: one the graph
  // manager holds ends with its entry, after the world's entities and teams, and no one else deletes
  // a graph while any of them may still use it.
  ~CSpatialGraph() override;

  // Index-move hooks (empty here; derived graphs keep side tables in step).
  virtual void OnVertexMoved(int32_t oldIndex, int32_t newIndex);
  virtual void OnVertexHook2(int32_t oldIndex, int32_t newIndex);
  virtual void OnEdgeMoved(int32_t oldIndex, int32_t newIndex);
  virtual void OnEdgeHook2(int32_t oldIndex, int32_t newIndex);

  // An index of -1 means the slot after the last index.
  virtual int32_t AddVertex(const CGraphVertexData& data, int32_t index);
  virtual bool SetVertex(CGraphVertex* vertex, int32_t index);
  virtual bool InsertVertex(CGraphVertex* vertex, int32_t index);
  // Removes the vertex with every edge linked to it; false for a free slot. The graph tells nobody: the
  // engine's own holders of its records or indices (hiding, flee and wander agents, path finders) find
  // out through RecordsWentSince and look again. A record added later may reuse the storage and the
  // index, so any other holder of the vertex, of its index or of its edges checks RecordsWentSince too or
  // lets go of them first. Graph data built on the graph (nearest-vertex, A*, path-cost, access-ways and
  // point-mapping tables) keep the indices they were built with: what they answer is checked against
  // the live records, but is no longer the best answer until the caller builds or loads them again.
  virtual bool RemoveVertex(int32_t index);
  virtual int32_t AddEdge(const CGraphEdgeData& data, CGraphVertex* from, CGraphVertex* to, int32_t index);
  virtual bool SetEdge(CGraphEdge* edge, CGraphVertex* from, CGraphVertex* to, int32_t index);
  virtual bool InsertEdge(CGraphEdge* edge, CGraphVertex* from, CGraphVertex* to, int32_t index);
  // Unlinks and removes the edge; false for a free slot or an edge its vertices did not list. Holders
  // as for RemoveVertex; path objects linked to the edge drop it themselves.
  virtual bool RemoveEdge(int32_t index);
  // Squeeze out the free vertex (edge) slots as Compact does: records keep their storage and order but
  // may change index, derived graphs hear of each move (OnVertexMoved, OnEdgeMoved). Holders as for
  // Compact. True.
  virtual bool RemoveFreeVertexSlots();
  virtual bool RemoveFreeEdgeSlots();
  virtual bool IsValid();
  // Delete the record in the slot and free the slot; a vertex's edges go with it, an edge leaves its
  // vertices' arrays. Nothing for a free slot. Holders as for RemoveVertex.
  virtual void DeleteVertexObject(int32_t index);
  virtual void DeleteEdgeObject(int32_t index);

  CGraphVertex* GetVertex(int32_t index) const {
    return (index >= 0 && index <= m_lastVertex) ? m_vertices[index] : nullptr;
  }
  // The vertex slots for hot loops that hold indices of stored vertices only: entries 0..GetLastVertexIndex().
  CGraphVertex* const* VertexSlots() const { return m_vertices; }
  CGraphEdge* GetEdge(int32_t index) const { return (index >= 0 && index <= m_lastEdge) ? m_edges[index] : nullptr; }
  CGraphEdge* FindEdgeTo(CGraphVertex* from, CGraphVertex* to) const;
  CGraphVertex* AddVertexAt(const CVector3& position);

  int32_t GetVertexCount() const { return m_vertexCount; }
  int32_t GetEdgeCount() const { return m_edgeCount; }
  int32_t GetLastVertexIndex() const { return m_lastVertex; }
  int32_t GetLastEdgeIndex() const { return m_lastEdge; }
  // True when the live vertices occupy exactly 0..count-1.
  bool HasDenseVertices() const { return m_lastVertex == m_vertexCount - 1; }

  bool VisitVertices(CGraphVisitor* visitor);
  bool VisitEdges(CGraphVisitor* visitor);

  void SetSearchRadius(float radius);
  float GetSearchRadius();

  // Squeezes out the free slots: records keep their storage but may change index (RecordsWentSince
  // tells holders as after a removal).
  void Compact();
  // Deletes every record (holders as for RemoveVertex); a load clears the graph first.
  void Clear();

  bool Save(const char* fileName);
  bool LoadFromFile(const char* fileName);
  // Reads the "RawData" block of the world definition (through the world's file reader).
  bool LoadFromStream(CConfigNode* rawData);
  // Reads from any byte source (opened and closed here).
  bool LoadFromReader(Vusk::CDataReader* reader);

  CConstraint* GetConstraint() const { return m_constraint; }
  CHeuristic* GetHeuristic() const { return m_heuristic; }
  void SetConstraint(CConstraint* constraint) { m_constraint = constraint; }
  void SetHeuristic(CHeuristic* heuristic) { m_heuristic = heuristic; }

  // Changes on every structural edit (and differs between graphs); a suspended search resumes only on an
  // unchanged graph.
  uint32_t GetEditCount() const { return m_editCount; }
  // For a holder of records or indices of this graph: true when, since *seen was taken, a record may
  // have left its slot (a removal, a deletion, Clear, a load) or an index moved to another record (an
  // insertion or a compaction); *seen is brought up to date. While it answers false every record taken
  // is still in the slot it was taken from; once true, a record found in that slot may be another one
  // in the same storage, and the holder looks again. One comparison: cheap enough for every frame.
  bool RecordsWentSince(uint32_t* seen) const {
    if (*seen == m_removalStamp) return false;
    *seen = m_removalStamp;
    return true;
  }

private:
  bool GrowVertexSlots(int64_t index);
  bool GrowEdgeSlots(int64_t index);
  bool SizeVertexSlots(int32_t capacity);
  bool SizeEdgeSlots(int32_t capacity);
  bool UnlinkEdge(CGraphEdge* edge);
  // Removes (RemoveEdge) every edge leaving and then every edge reaching the vertex, last first.
  void RemoveEdgesOf(CGraphVertex* vertex);
  void MarkEdited();
  // A record left its slot or an index moved: an edit that holders must see.
  void MarkRecordsWent();
  // Gives a vertex its slot number, and the edges that end at it their copy of the number.
  static void SetVertexIndex(CGraphVertex* vertex, int32_t index);
  CGraphVertex* NewVertex(const CGraphVertexData& data);
  CGraphEdge* NewEdge(const CGraphEdgeData& data);
  void FreeVertex(CGraphVertex* vertex);
  void FreeEdge(CGraphEdge* edge);

  CConstraint* m_constraint;      // current constraint for A* (not owned)
  CHeuristic* m_heuristic;        // current heuristic for A* (not owned)
  CGraphVertex** m_vertices;      // vertex slots; null = free
  CGraphEdge** m_edges;           // edge slots; null = free
  int32_t m_vertexCount;          // live vertices
  int32_t m_edgeCount;            // live edges
  int32_t m_lastVertex;           // highest stored vertex index; -1 when empty
  int32_t m_lastEdge;             // highest stored edge index; -1 when empty
  int32_t m_vertexCapacity;       // vertex slots allocated
  int32_t m_edgeCapacity;         // edge slots allocated
  float m_searchRadius;           // query radius (host units); 0 = not yet known
  uint32_t m_editCount;           // stamp of the last structural edit
  uint32_t m_removalStamp;        // stamp of the last edit that ended a record or moved an index
  CGraphRecordPool m_vertexPool;  // storage of the vertex records the graph makes
  CGraphRecordPool m_edgePool;    // storage of the edge records the graph makes
};
