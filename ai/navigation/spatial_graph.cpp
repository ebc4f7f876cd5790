#include "ai/navigation/spatial_graph.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <new>

#include "ai/navigation/astar.h"
#include "ai/navigation/data_file.h"
#include "ai/navigation/path_object.h"
#include "ai/runtime/allocator.h"

namespace {

constexpr int32_t kFirstSlotCapacity = 64;      // slot arrays on first use
constexpr int32_t kFirstEdgeArrayCapacity = 4;  // per-vertex edge arrays on first use
constexpr uint32_t kVertexBatch = 800;          // vertex records per read
constexpr uint32_t kEdgeBatch = 2048;           // edge pairs per read
constexpr uint32_t kVertexRecordBytes = 20;     // x, y, z, incoming count, outgoing count
constexpr uint32_t kEdgeRecordBytes = 8;        // source, destination
// When a source cannot tell its size, counts from the file are trusted only this far for presizing;
// the batched reads then fail on a short file.
constexpr uint64_t kUnknownSizeSlotBound = 65536;
constexpr uint64_t kUnknownSizeReserveBudget = 1u << 20;

template <typename T> T** AllocSlots(int64_t count) {
  return static_cast<T**>(Vusk::EngineAllocate(static_cast<size_t>(count) * sizeof(T*)));
}

// Makes a slot array of exactly `newCapacity` slots: slots 0..last are kept, the rest are free.
template <typename T> bool ResizeSlots(T**& slots, int32_t& capacity, int32_t last, int32_t newCapacity) {
  if (newCapacity <= last) return false;
  T** fresh = AllocSlots<T>(newCapacity);
  if (fresh == nullptr) return false;
  std::memset(fresh, 0, static_cast<size_t>(newCapacity) * sizeof(T*));
  if (last >= 0) std::memcpy(fresh, slots, static_cast<size_t>(last + 1) * sizeof(T*));
  Vusk::EngineFree(slots);
  slots = fresh;
  capacity = newCapacity;
  return true;
}

// Slot arrays grow to 64 and then double until `index` fits.
template <typename T> bool GrowSlots(T**& slots, int32_t& capacity, int32_t last, int64_t index) {
  if (index < capacity) return true;
  int64_t wanted = capacity == 0 ? kFirstSlotCapacity : capacity;
  while (wanted <= index) wanted *= 2;
  if (wanted > INT32_MAX) wanted = INT32_MAX;
  if (index >= wanted) return false;
  return ResizeSlots(slots, capacity, last, static_cast<int32_t>(wanted));
}

// Shifts the live records down over the free slots in index order; `moved` (record, old, new) is told of
// each move. Answers the new last index.
template <typename T, typename Moved> int32_t SqueezeSlots(T** slots, int32_t last, Moved moved) {
  int32_t write = 0;
  for (int32_t read = 0; read <= last; ++read) {
    T* record = slots[read];
    if (record == nullptr) continue;
    if (read != write) {
      slots[write] = record;
      slots[read] = nullptr;
      moved(record, read, write);
    }
    ++write;
  }
  return write - 1;
}

// Dense per-vertex edge arrays: the incoming side holds edge pointers, the outgoing side links, whose
// entries hold their edges' hot fields; every move of a link repoints its edge at the link's new place.
CGraphEdge* EdgeOf(CGraphEdge* entry) { return entry; }
CGraphEdge* EdgeOf(const CGraphLink& entry) { return entry.m_edge; }
void Repoint(CGraphEdge**, int32_t, int32_t) {}
void Repoint(CGraphLink* links, int32_t from, int32_t last) {
  for (int32_t i = from; i <= last; ++i) links[i].m_edge->m_hot = &links[i].m_hot;
}
void Fill(CGraphEdge*& entry, CGraphEdge* edge) { entry = edge; }
void Fill(CGraphLink& link, CGraphEdge* edge) {
  link.m_edge = edge;
  link.m_destination = edge->m_destination;
  link.m_hot = *edge->m_hot;
  edge->m_hot = &link.m_hot;
}
// The edge leaves: an outgoing edge takes its hot fields back into its own record.
void Release(CGraphEdge*) {}
void Release(const CGraphLink& link) {
  link.m_edge->m_own = link.m_hot;
  link.m_edge->m_hot = &link.m_edge->m_own;
}

// Grows a dense edge array to `capacity` entries, keeping entries 0..last.
template <typename T> bool ResizeEdgeArray(T*& array, int32_t& capacity, int32_t last, int32_t newCapacity) {
  auto* fresh = static_cast<T*>(Vusk::EngineAllocate(static_cast<size_t>(newCapacity) * sizeof(T)));
  if (fresh == nullptr) return false;
  if (last >= 0) std::memcpy(static_cast<void*>(fresh), array, static_cast<size_t>(last + 1) * sizeof(T));
  Vusk::EngineFree(array);
  array = fresh;
  capacity = newCapacity;
  Repoint(array, 0, last);
  return true;
}

template <typename T> bool AppendEdge(T*& array, int32_t& capacity, int32_t& last, int32_t& count, CGraphEdge* edge) {
  if (last + 1 >= capacity) {
    int64_t wanted = capacity == 0 ? kFirstEdgeArrayCapacity : static_cast<int64_t>(capacity) * 2;
    if (wanted > INT32_MAX) return false;
    if (!ResizeEdgeArray(array, capacity, last, static_cast<int32_t>(wanted))) return false;
  }
  Fill(array[++last], edge);
  ++count;
  return true;
}

template <typename T> bool RemoveFromEdgeArray(T* array, int32_t& last, int32_t& count, CGraphEdge* edge) {
  for (int32_t i = 0; i <= last; ++i) {
    if (EdgeOf(array[i]) != edge) continue;
    Release(array[i]);
    std::memmove(static_cast<void*>(array + i), array + i + 1, static_cast<size_t>(last - i) * sizeof(T));
    --last;
    --count;
    Repoint(array, i, last);
    return true;
  }
  return false;
}

template <typename T> bool ReserveEdgeArray(T*& array, int32_t& capacity, int32_t last, int32_t n) {
  if (n <= 0) return false;
  if (n <= capacity) return true;
  return ResizeEdgeArray(array, capacity, last, n);
}

// Edit stamps come from one counter for all graphs, so that a graph built where a deleted one lived never
// shows the stamp its predecessor had.
uint32_t NextEditStamp() {
  static uint32_t counter = 0;
  return ++counter;
}

float Distance(const CVector3& a, const CVector3& b) {
  float dx = b.x - a.x, dy = b.y - a.y, dz = b.z - a.z;
  return std::sqrt(dx * dx + dy * dy + dz * dz);
}

// Writes vertex and edge records of a graph; byte-order mode 1 reverses each word.
class CGraphWriterVisitor : public CGraphVisitor {
public:
  CGraphWriterVisitor(Vusk::CDataWriter* writer, int mode) : m_writer(writer), m_mode(mode) {}
  bool VisitVertex(CGraphVertex* vertex) override {
    const CVector3& p = vertex->GetPosition();
    return Word(Vusk::FloatBits(p.x)) && Word(Vusk::FloatBits(p.y)) && Word(Vusk::FloatBits(p.z)) &&
           Word(static_cast<uint32_t>(vertex->GetIncomingCount())) &&
           Word(static_cast<uint32_t>(vertex->GetOutgoingCount()));
  }
  bool VisitEdge(CGraphEdge* edge) override {
    return Word(static_cast<uint32_t>(edge->m_source->m_index)) &&
           Word(static_cast<uint32_t>(edge->m_destination->m_index));
  }

private:
  bool Word(uint32_t value) {
    if (m_mode == 1) value = __builtin_bswap32(value);
    return m_writer->WriteU32(value);
  }
  Vusk::CDataWriter* m_writer;  // open output file
  int m_mode;                   // 0 little-endian, 1 byte-swapped
};

}  // namespace

// ---------------------------------------------------------------------------------------------------------
// Payloads and records

CGraphVertexData::CGraphVertexData()
    : m_position(0.0f, 0.0f, 0.0f),
      m_f(-1.0f),
      m_g(-1.0f),
      m_h(-1.0f),
      m_startMarker(0),
      m_predecessor(nullptr),
      m_predecessorEdge(nullptr) {}

CGraphVertexData::CGraphVertexData(const CVector3& position) : CGraphVertexData() {
  m_position.x = position.x;
  m_position.y = position.y;
  m_position.z = position.z;
}

CGraphVertexData::CGraphVertexData(const CGraphVertexData& other) : m_position(other.m_position) { *this = other; }

CGraphVertexData& CGraphVertexData::operator=(const CGraphVertexData& other) {
  m_position.x = other.m_position.x;
  m_position.y = other.m_position.y;
  m_position.z = other.m_position.z;
  m_f = other.m_f;
  m_g = other.m_g;
  m_h = other.m_h;
  m_startMarker = other.m_startMarker;
  m_predecessor = other.m_predecessor;
  m_predecessorEdge = other.m_predecessorEdge;
  return *this;
}

CGraphVertexData::~CGraphVertexData() = default;

CGraphVertex::CGraphVertex(const CGraphVertexData& data)
    : m_index(-1),
      m_outgoingCount(0),
      m_outgoing(nullptr),
      m_data(data),
      m_incoming(nullptr),
      m_incomingCount(0),
      m_lastIncoming(-1),
      m_lastOutgoing(-1),
      m_incomingCapacity(0),
      m_outgoingCapacity(0),
      m_pooled(0) {}

CGraphVertex::~CGraphVertex() {
  // Edges still linked keep their hot fields.
  for (int32_t i = 0; i <= m_lastOutgoing; ++i) Release(m_outgoing[i]);
  Vusk::EngineFree(m_outgoing);
  Vusk::EngineFree(m_incoming);
}

CGraphEdge* CGraphVertex::GetIncomingEdge(int32_t i) const {
  return (i >= 0 && i <= m_lastIncoming) ? m_incoming[i] : nullptr;
}

CGraphEdge* CGraphVertex::GetOutgoingEdge(int32_t i) const {
  return (i >= 0 && i <= m_lastOutgoing) ? m_outgoing[i].m_edge : nullptr;
}

bool CGraphVertex::AddIncomingEdge(CGraphEdge* edge) {
  return AppendEdge(m_incoming, m_incomingCapacity, m_lastIncoming, m_incomingCount, edge);
}

bool CGraphVertex::AddOutgoingEdge(CGraphEdge* edge) {
  return AppendEdge(m_outgoing, m_outgoingCapacity, m_lastOutgoing, m_outgoingCount, edge);
}

bool CGraphVertex::RemoveIncomingEdge(CGraphEdge* edge) {
  return RemoveFromEdgeArray(m_incoming, m_lastIncoming, m_incomingCount, edge);
}

bool CGraphVertex::RemoveOutgoingEdge(CGraphEdge* edge) {
  return RemoveFromEdgeArray(m_outgoing, m_lastOutgoing, m_outgoingCount, edge);
}

bool CGraphVertex::ReserveIncoming(int32_t n) {
  return ReserveEdgeArray(m_incoming, m_incomingCapacity, m_lastIncoming, n);
}

bool CGraphVertex::ReserveOutgoing(int32_t n) {
  return ReserveEdgeArray(m_outgoing, m_outgoingCapacity, m_lastOutgoing, n);
}

CGraphEdgeData::CGraphEdgeData() : m_pathObject(nullptr), m_length(0.0f), m_cost(0.0f), m_closed(0) {}
CGraphEdgeData::~CGraphEdgeData() = default;

CGraphEdge::CGraphEdge(const CGraphEdgeData& data)
    : m_hot(&m_own),
      m_own{-1, data.m_length, data.m_cost, data.m_closed, data.m_pathObject != nullptr ? uint8_t(1) : uint8_t(0), 0},
      m_pathObject(data.m_pathObject),
      m_source(nullptr),
      m_destination(nullptr),
      m_index(-1),
      m_pooled(0) {}

CGraphEdgeData CGraphEdge::GetData() const {
  CGraphEdgeData data;
  data.m_pathObject = m_pathObject;
  data.m_length = m_hot->m_length;
  data.m_cost = m_hot->m_cost;
  data.m_closed = m_hot->m_closed;
  return data;
}
// Path objects linked to the edge, or that were, drop their records of it.
CGraphEdge::~CGraphEdge() { CPathObject::ForgetEdge(this); }

CGraphVisitor::~CGraphVisitor() = default;
void CGraphVisitor::BeginVertices(CSpatialGraph*) {}
void CGraphVisitor::BeginEdges(CSpatialGraph*) {}
bool CGraphVisitor::VisitVertex(CGraphVertex*) { return true; }
bool CGraphVisitor::VisitEdge(CGraphEdge*) { return true; }

// ---------------------------------------------------------------------------------------------------------
// Graph

CSpatialGraph::CSpatialGraph()
    : m_constraint(nullptr),
      m_heuristic(nullptr),
      m_vertices(nullptr),
      m_edges(nullptr),
      m_vertexCount(0),
      m_edgeCount(0),
      m_lastVertex(-1),
      m_lastEdge(-1),
      m_vertexCapacity(0),
      m_edgeCapacity(0),
      m_searchRadius(0.0f),
      m_editCount(NextEditStamp()),
      m_removalStamp(NextEditStamp()),
      m_vertexPool(sizeof(CGraphVertex)),
      m_edgePool(sizeof(CGraphEdge)) {}

CSpatialGraph::~CSpatialGraph() { Clear(); }

void CSpatialGraph::OnVertexMoved(int32_t, int32_t) {}
void CSpatialGraph::OnVertexHook2(int32_t, int32_t) {}
void CSpatialGraph::OnEdgeMoved(int32_t, int32_t) {}
void CSpatialGraph::OnEdgeHook2(int32_t, int32_t) {}
bool CSpatialGraph::IsValid() { return true; }

void CSpatialGraph::Clear() {
  for (int32_t i = 0; i <= m_lastVertex; ++i) DeleteVertexObject(i);
  for (int32_t i = 0; i <= m_lastEdge; ++i) DeleteEdgeObject(i);
  Vusk::EngineFree(m_vertices);
  Vusk::EngineFree(m_edges);
  m_vertices = nullptr;
  m_edges = nullptr;
  m_vertexCount = m_edgeCount = 0;
  m_vertexCapacity = m_edgeCapacity = 0;
  m_lastVertex = m_lastEdge = -1;
  m_vertexPool.Release();
  m_edgePool.Release();
  MarkRecordsWent();
}

void CSpatialGraph::MarkEdited() { m_editCount = NextEditStamp(); }

void CSpatialGraph::MarkRecordsWent() {
  MarkEdited();
  m_removalStamp = m_editCount;
}

// --- Record storage ---------------------------------------------------------------------------------------

namespace {
constexpr size_t kRecordsPerBlock = 256;
constexpr size_t kBlockHeader = 128;  // chain link, padded so that records start on a 128-byte boundary
}  // namespace

void* CGraphRecordPool::Take() {
  if (m_free != nullptr) {
    void* record = m_free;
    m_free = *static_cast<void**>(record);
    return record;
  }
  if (m_next == nullptr || m_next + m_recordSize > m_end) {
    size_t bytes = kBlockHeader + 128 + kRecordsPerBlock * m_recordSize;
    auto* block = static_cast<uint8_t*>(Vusk::EngineAllocate(bytes));
    if (block == nullptr) return nullptr;
    *reinterpret_cast<void**>(block) = m_blocks;
    m_blocks = block;
    uintptr_t first = (reinterpret_cast<uintptr_t>(block) + kBlockHeader + 127) & ~uintptr_t(127);
    m_next = reinterpret_cast<uint8_t*>(first);
    m_end = m_next + kRecordsPerBlock * m_recordSize;
  }
  void* record = m_next;
  m_next += m_recordSize;
  return record;
}

void CGraphRecordPool::Give(void* record) {
  *static_cast<void**>(record) = m_free;
  m_free = record;
}

void CGraphRecordPool::Release() {
  while (m_blocks != nullptr) {
    void* next = *static_cast<void**>(m_blocks);
    Vusk::EngineFree(m_blocks);
    m_blocks = next;
  }
  m_next = m_end = nullptr;
  m_free = nullptr;
}

CGraphVertex* CSpatialGraph::NewVertex(const CGraphVertexData& data) {
  void* storage = m_vertexPool.Take();
  if (storage == nullptr) return nullptr;
  CGraphVertex* vertex = new (storage) CGraphVertex(data);
  vertex->m_pooled = 1;
  return vertex;
}

CGraphEdge* CSpatialGraph::NewEdge(const CGraphEdgeData& data) {
  void* storage = m_edgePool.Take();
  if (storage == nullptr) return nullptr;
  CGraphEdge* edge = new (storage) CGraphEdge(data);
  edge->m_pooled = 1;
  return edge;
}

namespace {
// Ends a record's life: one from the graph's pool goes back to it, one made by a caller is deleted.
template <typename T> void FreeRecord(CGraphRecordPool& pool, T* record) {
  if (record == nullptr) return;
  if (record->m_pooled) {
    record->~T();
    pool.Give(record);
  } else {
    delete record;
  }
}
}  // namespace

void CSpatialGraph::FreeVertex(CGraphVertex* vertex) {
  Vusk::AstarForgetVertex(vertex);
  FreeRecord(m_vertexPool, vertex);
}
void CSpatialGraph::FreeEdge(CGraphEdge* edge) { FreeRecord(m_edgePool, edge); }

// Slot arrays grow to 64 and then double until `index` fits; slots 0..last are kept, the rest zeroed.
bool CSpatialGraph::GrowVertexSlots(int64_t index) {
  return GrowSlots(m_vertices, m_vertexCapacity, m_lastVertex, index);
}
bool CSpatialGraph::SizeVertexSlots(int32_t capacity) {
  return ResizeSlots(m_vertices, m_vertexCapacity, m_lastVertex, capacity);
}
bool CSpatialGraph::GrowEdgeSlots(int64_t index) { return GrowSlots(m_edges, m_edgeCapacity, m_lastEdge, index); }
bool CSpatialGraph::SizeEdgeSlots(int32_t capacity) {
  return ResizeSlots(m_edges, m_edgeCapacity, m_lastEdge, capacity);
}

int32_t CSpatialGraph::AddVertex(const CGraphVertexData& data, int32_t index) {
  if (index == -1) {
    if (m_lastVertex == INT32_MAX) return -1;
    index = m_lastVertex + 1;
  }
  if (index < 0) return -1;
  CGraphVertex* vertex = NewVertex(data);
  if (vertex == nullptr) return -1;
  if (!SetVertex(vertex, index)) {
    FreeVertex(vertex);
    return -1;
  }
  return index;
}

bool CSpatialGraph::SetVertex(CGraphVertex* vertex, int32_t index) {
  if (vertex == nullptr) return false;
  if (index == -1) {
    if (m_lastVertex == INT32_MAX) return false;
    index = m_lastVertex + 1;
  }
  if (index < 0 || !GrowVertexSlots(index)) return false;
  // A record already in the slot goes out whole, its edges with it, so that no edge keeps a dangling
  // vertex and the count stays right.
  if (m_vertices[index] != nullptr) RemoveVertex(index);
  m_vertices[index] = vertex;
  SetVertexIndex(vertex, index);
  ++m_vertexCount;
  if (index > m_lastVertex) m_lastVertex = index;
  MarkEdited();
  return true;
}

bool CSpatialGraph::InsertVertex(CGraphVertex* vertex, int32_t index) {
  if (vertex == nullptr) return false;
  if (index >= 0 && index <= m_lastVertex + 1 && m_lastVertex >= 0) {
    if (m_lastVertex == INT32_MAX || !GrowVertexSlots(static_cast<int64_t>(m_lastVertex) + 1)) return false;
    for (int32_t i = m_lastVertex; i >= index; --i) {
      CGraphVertex* moved = m_vertices[i];
      m_vertices[i + 1] = moved;
      m_vertices[i] = nullptr;
      if (moved != nullptr) {
        SetVertexIndex(moved, i + 1);
        OnVertexMoved(i, i + 1);
        MarkRecordsWent();
      }
    }
    ++m_lastVertex;
  }
  return SetVertex(vertex, index);
}

bool CSpatialGraph::RemoveVertex(int32_t index) {
  CGraphVertex* vertex = GetVertex(index);
  if (vertex == nullptr) return false;
  RemoveEdgesOf(vertex);
  DeleteVertexObject(index);
  return true;
}

void CSpatialGraph::RemoveEdgesOf(CGraphVertex* vertex) {
  for (int32_t i = vertex->m_lastOutgoing; i >= 0; --i) {
    if (i <= vertex->m_lastOutgoing) RemoveEdge(vertex->m_outgoing[i].m_edge->m_index);
  }
  for (int32_t i = vertex->m_lastIncoming; i >= 0; --i) {
    if (i <= vertex->m_lastIncoming) RemoveEdge(vertex->m_incoming[i]->m_index);
  }
}

int32_t CSpatialGraph::AddEdge(const CGraphEdgeData& data, CGraphVertex* from, CGraphVertex* to, int32_t index) {
  if (from == nullptr || to == nullptr) return -1;
  if (CGraphEdge* existing = FindEdgeTo(from, to)) return existing->m_index;
  if (index == -1) {
    if (m_lastEdge == INT32_MAX) return -1;
    index = m_lastEdge + 1;
  }
  if (index < 0 || !GrowEdgeSlots(index)) return -1;
  CGraphEdge* edge = NewEdge(data);
  if (edge == nullptr) return -1;
  if (!SetEdge(edge, from, to, index)) return -1;  // SetEdge deletes the record when it refuses
  return index;
}

void CSpatialGraph::SetVertexIndex(CGraphVertex* vertex, int32_t index) {
  vertex->m_index = index;
  for (int32_t i = 0; i <= vertex->m_lastIncoming; ++i) vertex->m_incoming[i]->m_hot->m_destinationIndex = index;
}

bool CSpatialGraph::UnlinkEdge(CGraphEdge* edge) {
  bool fromSource = edge->m_source != nullptr && edge->m_source->RemoveOutgoingEdge(edge);
  bool fromDestination = edge->m_destination != nullptr && edge->m_destination->RemoveIncomingEdge(edge);
  return fromSource && fromDestination;
}

bool CSpatialGraph::SetEdge(CGraphEdge* edge, CGraphVertex* from, CGraphVertex* to, int32_t index) {
  if (edge == nullptr) return false;
  if (from == nullptr || to == nullptr) {
    FreeEdge(edge);
    return false;
  }
  if (index == -1) {
    if (m_lastEdge == INT32_MAX) {
      FreeEdge(edge);
      return false;
    }
    index = m_lastEdge + 1;
  }
  if (index < 0 || !GrowEdgeSlots(index)) {
    FreeEdge(edge);
    return false;
  }
  // A record already in the slot is unlinked from its vertices before it goes.
  if (m_edges[index] != nullptr) RemoveEdge(index);
  m_edges[index] = edge;
  edge->m_index = index;
  ++m_edgeCount;
  if (index > m_lastEdge) m_lastEdge = index;
  edge->m_source = from;
  edge->m_destination = to;
  edge->m_hot->m_destinationIndex = to->m_index;
  MarkEdited();
  if (!from->AddOutgoingEdge(edge)) {
    m_edges[index] = nullptr;
    --m_edgeCount;
    FreeEdge(edge);
    return false;
  }
  if (!to->AddIncomingEdge(edge)) {
    from->RemoveOutgoingEdge(edge);
    m_edges[index] = nullptr;
    --m_edgeCount;
    FreeEdge(edge);
    return false;
  }
  return true;
}

bool CSpatialGraph::InsertEdge(CGraphEdge* edge, CGraphVertex* from, CGraphVertex* to, int32_t index) {
  if (edge == nullptr) return false;
  if (index >= 0 && index <= m_lastEdge + 1 && m_lastEdge >= 0) {
    if (m_lastEdge == INT32_MAX || !GrowEdgeSlots(static_cast<int64_t>(m_lastEdge) + 1)) {
      FreeEdge(edge);
      return false;
    }
    for (int32_t i = m_lastEdge; i >= index; --i) {
      CGraphEdge* moved = m_edges[i];
      m_edges[i + 1] = moved;
      m_edges[i] = nullptr;
      if (moved != nullptr) {
        moved->m_index = i + 1;
        OnEdgeMoved(i, i + 1);
        MarkRecordsWent();
      }
    }
    ++m_lastEdge;
  }
  return SetEdge(edge, from, to, index);
}

bool CSpatialGraph::RemoveEdge(int32_t index) {
  CGraphEdge* edge = GetEdge(index);
  if (edge == nullptr) return false;
  bool unlinked = UnlinkEdge(edge);
  DeleteEdgeObject(index);
  return unlinked;
}

bool CSpatialGraph::RemoveFreeVertexSlots() {
  int32_t last = SqueezeSlots(m_vertices, m_lastVertex, [this](CGraphVertex* vertex, int32_t from, int32_t to) {
    SetVertexIndex(vertex, to);
    OnVertexMoved(from, to);
  });
  if (last != m_lastVertex) MarkRecordsWent();
  m_lastVertex = last;
  return true;
}

bool CSpatialGraph::RemoveFreeEdgeSlots() {
  int32_t last = SqueezeSlots(m_edges, m_lastEdge, [this](CGraphEdge* edge, int32_t from, int32_t to) {
    edge->m_index = to;
    OnEdgeMoved(from, to);
  });
  if (last != m_lastEdge) MarkRecordsWent();
  m_lastEdge = last;
  return true;
}

// Nothing is left naming a deleted record: a vertex takes the edges still linked to it along, an edge
// leaves its vertices' arrays, and the slot is freed and counted out.
void CSpatialGraph::DeleteVertexObject(int32_t index) {
  CGraphVertex* vertex = index >= 0 && index < m_vertexCapacity ? m_vertices[index] : nullptr;
  if (vertex == nullptr) return;
  RemoveEdgesOf(vertex);
  m_vertices[index] = nullptr;
  --m_vertexCount;
  FreeVertex(vertex);
  MarkRecordsWent();
}

void CSpatialGraph::DeleteEdgeObject(int32_t index) {
  CGraphEdge* edge = index >= 0 && index < m_edgeCapacity ? m_edges[index] : nullptr;
  if (edge == nullptr) return;
  UnlinkEdge(edge);
  m_edges[index] = nullptr;
  --m_edgeCount;
  FreeEdge(edge);
  MarkRecordsWent();
}

CGraphEdge* CSpatialGraph::FindEdgeTo(CGraphVertex* from, CGraphVertex* to) const {
  if (from == nullptr || to == nullptr) return nullptr;
  for (int32_t i = 0; i <= from->m_lastOutgoing; ++i) {
    if (from->m_outgoing[i].m_destination == to) return from->m_outgoing[i].m_edge;
  }
  return nullptr;
}

CGraphVertex* CSpatialGraph::AddVertexAt(const CVector3& position) {
  return GetVertex(AddVertex(CGraphVertexData(position), -1));
}

bool CSpatialGraph::VisitVertices(CGraphVisitor* visitor) {
  visitor->BeginVertices(this);
  for (int32_t i = 0; i <= m_lastVertex; ++i) {
    if (m_vertices[i] != nullptr && !visitor->VisitVertex(m_vertices[i])) return false;
  }
  return true;
}

bool CSpatialGraph::VisitEdges(CGraphVisitor* visitor) {
  visitor->BeginEdges(this);
  for (int32_t i = 0; i <= m_lastEdge; ++i) {
    if (m_edges[i] != nullptr && !visitor->VisitEdge(m_edges[i])) return false;
  }
  return true;
}

void CSpatialGraph::SetSearchRadius(float radius) { m_searchRadius = radius < 0.0f ? 0.0f : radius; }

float CSpatialGraph::GetSearchRadius() {
  if (m_searchRadius > 0.0f) return m_searchRadius;
  float largest = 0.0f;
  bool any = false;
  for (int32_t i = 0; i <= m_lastEdge; ++i) {
    CGraphEdge* edge = m_edges[i];
    if (edge == nullptr || edge->m_pathObject != nullptr) continue;
    const CVector3& a = edge->m_source->GetPosition();
    const CVector3& b = edge->m_destination->GetPosition();
    float dx = b.x - a.x, dy = b.y - a.y, dz = b.z - a.z;
    float d2 = dx * dx + dy * dy + dz * dz;
    if (!any || d2 > largest) largest = d2;
    any = true;
  }
  if (!any) return 0.0f;
  m_searchRadius = std::sqrt(largest) * 1.5f;
  return m_searchRadius;
}

void CSpatialGraph::Compact() {
  RemoveFreeVertexSlots();
  RemoveFreeEdgeSlots();
}

// ---------------------------------------------------------------------------------------------------------
// "Spatial graph" file

bool CSpatialGraph::Save(const char* fileName) {
  Vusk::CDataWriter writer;
  if (!writer.Open(fileName)) return false;
  if (m_lastVertex != m_vertexCount - 1 || m_lastEdge != m_edgeCount - 1) Compact();
  bool ok = writer.WriteHeader(kFileMagic);
  CGraphWriterVisitor records(&writer, 0);
  ok = ok && writer.WriteF32(GetSearchRadius());
  ok = ok && writer.WriteU32(static_cast<uint32_t>(m_vertexCount));
  ok = ok && VisitVertices(&records);
  ok = ok && writer.WriteU32(static_cast<uint32_t>(m_edgeCount));
  ok = ok && VisitEdges(&records);
  writer.Close();
  return ok;
}

bool CSpatialGraph::LoadFromFile(const char* fileName) {
  Vusk::CHostFileReader reader(fileName);
  return LoadFromReader(&reader);
}

bool CSpatialGraph::LoadFromStream(CConfigNode* rawData) {
  Vusk::CRawDataReader reader(rawData);
  return LoadFromReader(&reader);
}

bool CSpatialGraph::LoadFromReader(Vusk::CDataReader* reader) {
  Clear();
  if (reader == nullptr || !reader->Open()) return false;
  bool ok = [&]() {
    uint32_t vertexCount = 0;
    if (!reader->ReadHeader(kFileMagic) || !reader->ReadF32(&m_searchRadius) || !reader->ReadU32(&vertexCount)) {
      return false;
    }
    if (vertexCount == 0) return true;
    // The slots are sized once, for no more records than the rest of the source can hold: a count the
    // source does not hold allocates nothing for it and ends in a short read, the records read before it
    // staying in the graph.
    uint64_t remaining = 0;
    const bool sizeKnown = reader->GetRemaining(&remaining);
    uint64_t presize = std::min<uint64_t>(
        {vertexCount, reader->BoundCount(kVertexRecordBytes, kUnknownSizeSlotBound), static_cast<uint64_t>(INT32_MAX)});
    if (presize > 0 && !SizeVertexSlots(static_cast<int32_t>(presize))) return false;
    // Edge-array reservations are an optimisation: their total is kept within what the rest of the source
    // can hold, so a hostile count cannot make the loader allocate without bound.
    uint64_t reserveBudget = sizeKnown ? remaining / kEdgeRecordBytes : kUnknownSizeReserveBudget;
    uint64_t reservedIn = 0, reservedOut = 0;
    uint8_t batch[kVertexBatch * kVertexRecordBytes];
    for (uint32_t done = 0; done < vertexCount;) {
      uint32_t n = vertexCount - done < kVertexBatch ? vertexCount - done : kVertexBatch;
      if (!reader->ReadBytes(batch, static_cast<size_t>(n) * kVertexRecordBytes)) return false;
      for (uint32_t i = 0; i < n; ++i) {
        const uint8_t* record = batch + i * kVertexRecordBytes;
        CVector3 position(Vusk::BitsToFloat(Vusk::LoadU32(record)), Vusk::BitsToFloat(Vusk::LoadU32(record + 4)),
                          Vusk::BitsToFloat(Vusk::LoadU32(record + 8)));
        CGraphVertex* vertex = AddVertexAt(position);
        if (vertex == nullptr) return false;
        uint32_t incoming = Vusk::LoadU32(record + 12);
        uint32_t outgoing = Vusk::LoadU32(record + 16);
        if (incoming > 0 && reservedIn + incoming <= reserveBudget) {
          reservedIn += incoming;
          vertex->ReserveIncoming(static_cast<int32_t>(incoming));
        }
        if (outgoing > 0 && reservedOut + outgoing <= reserveBudget) {
          reservedOut += outgoing;
          vertex->ReserveOutgoing(static_cast<int32_t>(outgoing));
        }
      }
      done += n;
    }
    uint32_t edgeCount = 0;
    if (!reader->ReadU32(&edgeCount)) return false;
    if (edgeCount == 0) return true;
    presize = std::min<uint64_t>(
        {edgeCount, reader->BoundCount(kEdgeRecordBytes, kUnknownSizeSlotBound), static_cast<uint64_t>(INT32_MAX)});
    if (presize > 0 && !SizeEdgeSlots(static_cast<int32_t>(presize))) return false;
    uint8_t pairs[kEdgeBatch * kEdgeRecordBytes];
    for (uint32_t done = 0; done < edgeCount;) {
      uint32_t n = edgeCount - done < kEdgeBatch ? edgeCount - done : kEdgeBatch;
      if (!reader->ReadBytes(pairs, static_cast<size_t>(n) * kEdgeRecordBytes)) return false;
      for (uint32_t i = 0; i < n; ++i) {
        uint32_t from = Vusk::LoadU32(pairs + i * kEdgeRecordBytes);
        uint32_t to = Vusk::LoadU32(pairs + i * kEdgeRecordBytes + 4);
        if (from > INT32_MAX || to > INT32_MAX) continue;
        CGraphVertex* source = GetVertex(static_cast<int32_t>(from));
        CGraphVertex* destination = GetVertex(static_cast<int32_t>(to));
        if (source == nullptr || destination == nullptr) continue;
        CGraphEdgeData data;
        data.m_length = data.m_cost = Distance(source->GetPosition(), destination->GetPosition());
        if (AddEdge(data, source, destination, -1) < 0) return false;
      }
      done += n;
    }
    return true;
  }();
  reader->Close();
  return ok;
}
static_assert(sizeof(CGraphEdge) <= 64, "an edge record fills one cache line");
static_assert(sizeof(CGraphLink) == 32, "two links share a cache line");
