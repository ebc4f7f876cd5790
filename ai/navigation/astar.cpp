#include "ai/navigation/astar.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstring>
#include <limits>
#include <new>
#include <typeinfo>

#include "ai/navigation/constraint.h"
#include "ai/navigation/path_object.h"
#include "ai/navigation/spatial_graph.h"
#include "ai/runtime/engine.h"

namespace {

using VertexState = CAstarVertexState;
using HeapEntry = CAstarNodeList::Node;

constexpr int32_t kClosed = -1;

// The search buffers are engine memory; the engine's shut-down gives them back.
const bool kBuffersReleasedAtShutDown = Vusk::AddEngineReleaseHook(&Vusk::AstarFreeBuffers);

// Process-wide buffers: one search at a time. Closed membership is a per-vertex mark (heapPos -1 with the
// search's stamp): the closed list's order is never read.
struct AstarBuffers {
  int32_t size = 0;                // vertex indices 0..size-1 fit
  VertexState* states = nullptr;   // per vertex index
  CAstarNodeList open;             // the open list, its nodes placed so that every group of four siblings
                                   // fills one 64-byte cache line
  void* heapBlock = nullptr;       // allocation that holds the open list's nodes
  uint32_t stamp = 0;              // stamp of the search under way
  CSpatialGraph* graph = nullptr;  // graph of the search under way
};

// The time-sliced search that may be resumed.
struct SlicedSearch {
  CGraphVertex* underWay = nullptr;  // start vertex of the search under way, or null
  CGraphVertex* start = nullptr;     // recorded when the search last stopped on its budget
  CGraphVertex* goal = nullptr;
  CEntity* context = nullptr;
  CHeuristic* heuristic = nullptr;
  CConstraint* constraint = nullptr;
  CSpatialGraph* graph = nullptr;  // graph searched, and its edit count at the stop
  uint32_t editCount = 0;
  uint8_t restartFlag = 1;  // 1: the next sliced call starts afresh
};

AstarBuffers g_buffers;
SlicedSearch g_sliced;

// Maps a float onto an unsigned word whose integer order is the float order (-0 and +0 alike).
inline uint32_t OrderedBits(float f) {
  f += 0.0f;  // -0 + 0 is +0; every other value stays as it is
  uint32_t bits;
  std::memcpy(&bits, &f, sizeof bits);
  // Negative values: all bits flipped; others: the sign bit set.
  return bits ^ (static_cast<uint32_t>(static_cast<int32_t>(bits) >> 31) | 0x80000000u);
}

constexpr int32_t kArity = 4;
// Above this many vertices the search's records (128 bytes each) and their links (about as many bytes
// again) no longer stay in a core's own caches.
constexpr int32_t kLargeGraph = 4096;

}  // namespace

// --- Open list (4-ary heap, indexed through the vertex states' heapPos) ----------------------------------

void CAstarNodeList::SetStorage(Node* nodes, CAstarVertexState* states) {
  if (m_nodes != nullptr && m_count > 0) std::memcpy(nodes, m_nodes, static_cast<size_t>(m_count) * sizeof(Node));
  m_nodes = nodes;
  m_states = states;
  if (nodes == nullptr) {
    m_count = 0;
    return;
  }
  for (int32_t i = 0; i < kSpare; ++i) m_nodes[m_count + i].key = kNoKey;
}

void CAstarNodeList::Clear() {
  m_count = 0;
  m_sequence = 0;
  if (m_nodes == nullptr) return;
  for (int32_t i = 0; i < kSpare; ++i) m_nodes[i].key = kNoKey;
}

inline void CAstarNodeList::Place(int32_t pos, const Node& node) {
  m_nodes[pos] = node;
  m_states[node.vertex].heapPos = pos;
}

inline void CAstarNodeList::SiftUp(int32_t pos, Node node) {
  while (pos > 0) {
    const auto parent = static_cast<int32_t>(static_cast<uint32_t>(pos - 1) / kArity);  // pos > 0: no sign to mind
    if (m_nodes[parent].key <= node.key) break;
    Place(pos, m_nodes[parent]);
    pos = parent;
  }
  Place(pos, node);
}

// The child of `pos` with the least key, and that key in `*least`; -1 when `pos` has none. The missing
// children of the last parent are spare nodes of the greatest key, so the four are compared alike.
inline int32_t CAstarNodeList::LeastChild(int32_t pos, uint64_t* least) const {
  const auto first = static_cast<size_t>(pos) * kArity + 1;
  if (first >= static_cast<size_t>(m_count)) return -1;
  const Node* c = m_nodes + first;
  // Selects, not conditions: which child is least is a coin toss that a branch would often miss. Both
  // pairs are decided at once, then their winners; the key is chosen beside the position, so that the
  // caller compares it without loading the child again.
  const uint64_t k0 = c[0].key, k1 = c[1].key, k2 = c[2].key, k3 = c[3].key;
  const bool right01 = k1 < k0, right23 = k3 < k2;
  const uint64_t least01 = right01 ? k1 : k0;
  const uint64_t least23 = right23 ? k3 : k2;
  const bool second = least23 < least01;
  *least = second ? least23 : least01;
  const auto at01 = static_cast<int32_t>(first) + static_cast<int32_t>(right01);
  const auto at23 = static_cast<int32_t>(first) + 2 + static_cast<int32_t>(right23);
  return at01 ^ ((at01 ^ at23) & -static_cast<int32_t>(second));
}

inline void CAstarNodeList::SiftDown(int32_t pos, Node node) {
  uint64_t least;
  for (int32_t best = LeastChild(pos, &least); best >= 0 && least < node.key; best = LeastChild(pos, &least)) {
    Place(pos, m_nodes[best]);
    pos = best;
  }
  Place(pos, node);
}

// Renumbers the insertion numbers in key order, 2, 4, 6, ... (keeps every relative order and leaves a free
// number before each node).
void CAstarNodeList::Renumber() {
  std::sort(m_nodes, m_nodes + m_count, [](const Node& a, const Node& b) { return a.key < b.key; });
  for (int32_t i = 0; i < m_count; ++i) {
    m_nodes[i].key = (m_nodes[i].key & 0xFFFFFFFF00000000ull) | (2u * static_cast<uint32_t>(i) + 2u);
    m_states[m_nodes[i].vertex].heapPos = i;
  }
  m_sequence = 2u * static_cast<uint32_t>(m_count) + 2u;
}

// The key of a node that goes behind every node of less or equal f. Running out of insertion numbers
// renumbers the list as it stands, which moves its nodes.
inline uint64_t CAstarNodeList::NextKey(float f) {
  if (m_sequence == std::numeric_limits<uint32_t>::max()) Renumber();
  return (static_cast<uint64_t>(OrderedBits(f)) << 32) | m_sequence++;
}

CAstarNodeIterator CAstarNodeList::InsertSorted(int32_t vertex, float f) {
  const uint64_t key = NextKey(f);
  m_nodes[m_count + kSpare].key = kNoKey;
  SiftUp(m_count++, Node{key, vertex, 0});
  return CAstarNodeIterator(vertex);
}

CAstarNodeIterator CAstarNodeList::InsertBefore(CAstarNodeIterator position, int32_t vertex, float f) {
  if (position.IsEnd() || (m_nodes[m_states[position.GetVertexIndex()].heapPos].key >> 32) != OrderedBits(f)) {
    // Before the tail's end, or before a node of greater f: behind every node of less or equal f.
    return InsertSorted(vertex, f);
  }
  // Among nodes of equal f: the number just below the position's, free once the list is renumbered.
  Renumber();
  const uint64_t key = m_nodes[m_states[position.GetVertexIndex()].heapPos].key - 1;
  m_nodes[m_count + kSpare].key = kNoKey;
  SiftUp(m_count++, Node{key, vertex, 0});
  return CAstarNodeIterator(vertex);
}

void CAstarNodeList::Unlink(CAstarNodeIterator node) {
  VertexState& state = m_states[node.GetVertexIndex()];
  const int32_t pos = state.heapPos;
  const Node last = m_nodes[--m_count];
  m_nodes[m_count].key = kNoKey;
  if (pos == 0 && m_count > 0) {
    // The front leaves (the usual case): the smaller child climbs into the hole down to the bottom, then
    // the last node settles from there. The last node seldom belongs high up, so this saves comparing
    // it at every level.
    int32_t hole = 0;
    uint64_t least;
    for (int32_t best = LeastChild(hole, &least); best >= 0; best = LeastChild(hole, &least)) {
      Place(hole, m_nodes[best]);
      hole = best;
    }
    SiftUp(hole, last);
  } else if (pos != m_count) {
    if (pos > 0 && last.key < m_nodes[(pos - 1) / kArity].key) {
      SiftUp(pos, last);
    } else {
      SiftDown(pos, last);
    }
  }
  state.heapPos = kClosed;
}

CAstarNodeIterator CAstarNodeList::ReplaceFront(int32_t vertex, float f) {
  const uint64_t key = NextKey(f);  // may renumber the list, which moves its nodes but not the front
  m_states[m_nodes[0].vertex].heapPos = kClosed;
  SiftDown(0, Node{key, vertex, 0});
  return CAstarNodeIterator(vertex);
}

CAstarNodeIterator CAstarNodeList::ReinsertSorted(CAstarNodeIterator node, float f) {
  const uint64_t key = NextKey(f);  // may renumber the list, which moves the node
  const int32_t vertex = node.GetVertexIndex();
  SiftUp(m_states[vertex].heapPos, Node{key, vertex, 0});
  return node;
}

CAstarNodeIterator CAstarNodeList::NextAfterFront() const {
  uint64_t least;
  const int32_t next = LeastChild(0, &least);
  return CAstarNodeIterator(next >= 0 ? m_nodes[next].vertex : -1);
}

namespace {

// Opens a vertex that is in no open list, with its f and h; `replacingFront`: the front leaves the open
// list at the same time.
inline void OpenInsert(int32_t index, float f, float h, bool replacingFront = false) {
  VertexState& state = g_buffers.states[index];
  state.stamp = g_buffers.stamp;
  state.f = f;
  state.h = h;
  if (replacingFront) {
    g_buffers.open.ReplaceFront(index, f);
  } else {
    g_buffers.open.InsertSorted(index, f);
  }
}

// An open vertex whose f fell goes behind the nodes of equal f.
inline void OpenDecrease(int32_t index, float f, float h) {
  VertexState& state = g_buffers.states[index];
  state.f = f;
  state.h = h;
  g_buffers.open.ReinsertSorted(CAstarNodeIterator(index), f);
}

// --- Buffers ---------------------------------------------------------------------------------------------

void ReleaseBuffers() {
  Vusk::EngineFree(g_buffers.states);
  Vusk::EngineFree(g_buffers.heapBlock);
  g_buffers = AstarBuffers{};
}

// Drops the suspended search (its start marker too).
void AbandonSliced() {
  if (g_sliced.underWay != nullptr) g_sliced.underWay->m_data.m_startMarker = 0;
  g_sliced.underWay = nullptr;
}

// Makes room for vertex indices 0..needed-1, keeping the state of a search under way.
bool EnsureBuffers(int32_t needed) {
  if (needed <= g_buffers.size) return true;
  int64_t size = std::max<int64_t>(needed, static_cast<int64_t>(g_buffers.size) * 2);
  if (size > INT32_MAX) size = INT32_MAX;
  // "AstarMemory" from a damaged definition asks for no more than the machine has.
  if (!Vusk::FitsMachine(static_cast<uint64_t>(size), sizeof(VertexState) + sizeof(HeapEntry))) return false;
  auto* states = static_cast<VertexState*>(Vusk::EngineAllocate(static_cast<size_t>(size) * sizeof(VertexState)));
  void* heapBlock = Vusk::EngineAllocate(static_cast<size_t>(size) * sizeof(HeapEntry) + 128);
  if (states == nullptr || heapBlock == nullptr) {
    Vusk::EngineFree(states);
    Vusk::EngineFree(heapBlock);
    return false;
  }
  // Entry 1 on a cache-line boundary: the children 4p+1..4p+4 of any entry p then share one line. The 128
  // bytes added hold that shift and the list's spare nodes past the last.
  uintptr_t line = (reinterpret_cast<uintptr_t>(heapBlock) + sizeof(HeapEntry) + 63) & ~uintptr_t(63);
  auto* heap = reinterpret_cast<HeapEntry*>(line - sizeof(HeapEntry));
  std::memset(states, 0, static_cast<size_t>(size) * sizeof(VertexState));
  if (g_buffers.size > 0) {
    std::memcpy(states, g_buffers.states, static_cast<size_t>(g_buffers.size) * sizeof(VertexState));
  }
  g_buffers.open.SetStorage(heap, states);  // moves the open nodes of a search under way
  Vusk::EngineFree(g_buffers.states);
  Vusk::EngineFree(g_buffers.heapBlock);
  g_buffers.states = states;
  g_buffers.heapBlock = heapBlock;
  g_buffers.size = static_cast<int32_t>(size);
  return true;
}

// Empties both lists: a fresh stamp makes every vertex "in no list".
void ClearLists() {
  g_buffers.open.Clear();
  if (++g_buffers.stamp == 0) {
    std::memset(g_buffers.states, 0, static_cast<size_t>(g_buffers.size) * sizeof(VertexState));
    g_buffers.stamp = 1;
  }
}

inline bool IsNumber(float value) { return value == value; }

// The host clock (seconds); 0 when the host gave none.
double ClockSeconds() {
  const CEngineSettings& settings = Vusk::GetEngineSettings();
  return settings.clock != nullptr ? settings.clock(settings.clockUser) : 0.0;
}

// Steps 2-4 of a search start: empty lists, score the start, mark it and open it.
bool StartSearch(CSpatialGraph* graph, CGraphVertex* start, CGraphVertex* goal, CEntity* context) {
  if (!EnsureBuffers(graph->GetLastVertexIndex() + 1)) return false;
  // Emptying the lists ends a suspended search: nothing of it is left to resume, even when the start
  // estimate below fails.
  AbandonSliced();
  ClearLists();
  start->m_data.m_g = 0.0f;
  float h = 0.0f;
  if (!graph->GetHeuristic()->Estimate(context, start, goal, &h) || !IsNumber(h)) return false;
  start->m_data.m_h = h;
  start->m_data.m_f = start->m_data.m_g + h;
  start->m_data.m_startMarker = 1;
  g_buffers.graph = graph;
  OpenInsert(start->m_index, start->m_data.m_f, h);
  return true;
}

// The first four lines (eight links, as many as most vertices have) without a loop, whose end would often
// be mispredicted; a request past the array's end is harmless.
inline void PrefetchFirstLinkLines(const CGraphLink* links) {
  const auto* bytes = reinterpret_cast<const char*>(links);
  __builtin_prefetch(bytes);
  __builtin_prefetch(bytes + 64);
  __builtin_prefetch(bytes + 128);
  __builtin_prefetch(bytes + 192);
}

// Asks for the cache lines of `count` links: six without a loop (twelve links, more than most vertices of
// large graphs have), then the rest.
inline void PrefetchLinks(const CGraphLink* links, int32_t count) {
  const auto* bytes = reinterpret_cast<const char*>(links);
  PrefetchFirstLinkLines(links);
  __builtin_prefetch(bytes + 256);
  __builtin_prefetch(bytes + 320);
  for (size_t at = 384, end = static_cast<size_t>(count) * sizeof(CGraphLink); at < end; at += 64) {
    __builtin_prefetch(bytes + at);
  }
}

// The root's child with the least key comes to the front when the root leaves, unless it is the goal: on
// graphs whose records outgrow a core's caches, its links are worth asking for before that.
void PrefetchNextExpansion() {
  const CAstarNodeIterator next = g_buffers.open.NextAfterFront();
  if (next.IsEnd()) return;
  const CGraphVertex* child = g_buffers.graph->GetVertex(next.GetVertexIndex());
  PrefetchLinks(child->OutgoingLinks(), child->GetOutgoingCount());
}

// How a search prices edges and estimates vertices. The engine's own shortest-path constraint and
// straight-distance heuristic are pure functions of the graph, so for exactly those classes the search
// computes their answers in place (the same float operations, so the same values) instead of calling them,
// and takes a vertex's estimate again from its payload once this search has computed it.
enum class Pricing { kAny, kShortest };
enum class Estimating { kAny, kEuclid, kZero };
// Whether the graph has more than kLargeGraph vertices: known from the start, or asked at every expansion.
enum class GraphSize { kAny, kSmall, kLarge };

inline bool SameBits(float a, float b) {
  uint32_t x, y;
  std::memcpy(&x, &a, sizeof x);
  std::memcpy(&y, &b, sizeof y);
  return x == y;
}

inline float StraightDistance(const CVector3& a, const CVector3& b) {
  float dx = b.x - a.x, dy = b.y - a.y, dz = b.z - a.z;
  return std::sqrt(dx * dx + dy * dy + dz * dz);
}

// Neither closed nor priced by a path object: both flags read and tested as one word.
inline bool IsPlainEdge(const CGraphEdgeHot& hot) {
  static_assert(offsetof(CGraphEdgeHot, m_priced) == offsetof(CGraphEdgeHot, m_closed) + 1);
  uint16_t flags;
  std::memcpy(&flags, reinterpret_cast<const char*>(&hot) + offsetof(CGraphEdgeHot, m_closed), sizeof flags);
  return flags == 0;
}

// An edge's cost: false when the edge is closed or its pricing fails.
template <Pricing kPricing>
inline bool PriceEdge(const CGraphLink& link, CEntity* context, CConstraint* constraint, float* cost) {
  const CGraphEdgeHot& hot = link.m_hot;
  if (hot.m_closed == 1) return false;
  float asked = 0.0f;
  if (hot.m_priced != 0) {
    CGraphEdge* e = link.m_edge;
    if (!e->GetPathObject()->GetEdgeCost(context, e, constraint, &asked)) return false;
  } else if constexpr (kPricing == Pricing::kShortest) {
    asked = hot.m_length;
  } else {
    if (!constraint->GetEdgeCost(context, link.m_edge, &asked)) return false;
  }
  *cost = asked;
  return true;
}

// Relaxes every outgoing edge of `v`, then moves `v` from the open list to the closed list. In a sweep
// (kZero with `negative` set) there is no goal, the estimate is 0, and a negative cost is reported through
// `negative` (the sweep then no longer stands for the pair searches).
template <Pricing kPricing, Estimating kEstimating, GraphSize kSize = GraphSize::kAny>
void Expand(CGraphVertex* v, CGraphVertex* goal, CEntity* context, CConstraint* constraint, CHeuristic* heuristic,
            bool* negative) {
  VertexState* states = g_buffers.states;
  const uint32_t stamp = g_buffers.stamp;
  CGraphLink* const links = v->OutgoingLinks();
  const int32_t count = v->GetOutgoingCount();
  const float gv = v->m_data.m_g;
  bool left = false;  // v has left the open list
  // The graph's own size decides, not the buffers' (they may be sized for a larger graph): on a small
  // graph these requests cost more than they save.
  const bool large = kSize == GraphSize::kAny ? g_buffers.graph->GetLastVertexIndex() >= kLargeGraph
                                               : kSize == GraphSize::kLarge;
  // Ask for the vertex's links up front so that their cache misses overlap (on a small graph the first
  // four lines: the loop for more, whose end is often mispredicted, costs more than the lines left to the
  // hardware's own prefetching); and for the links of the vertices most likely to be expanded next (the
  // root's children), while this expansion runs.
  if (large) {
    PrefetchLinks(links, count);
  } else {
    PrefetchFirstLinkLines(links);
  }
  CGraphVertex* const* slots = g_buffers.graph->VertexSlots();  // the open list holds stored vertices only
  for (int32_t c = 0; c < g_buffers.open.GetSoonCount(); ++c) {
    __builtin_prefetch(slots[g_buffers.open.GetSoonVertex(c)]->OutgoingLinks());
  }
  if (large) {
    PrefetchNextExpansion();
    // Then for every destination's state and position: these loads only wait on the links, all asked
    // for at once, so their misses overlap instead of coming one edge after another below.
    for (int32_t i = 0; i < count; ++i) {
      const auto wi = static_cast<uint32_t>(links[i].m_hot.m_destinationIndex);
      if (wi < static_cast<uint32_t>(g_buffers.size)) __builtin_prefetch(&states[wi]);
      __builtin_prefetch(&links[i].m_destination->m_data.m_position);
    }
  }
  const auto size = static_cast<uint32_t>(g_buffers.size);
  for (int32_t i = 0; i < count; ++i) {
    CGraphLink& link = links[i];
    CGraphEdgeHot& hot = link.m_hot;
    float cost;
    // The usual edge of the engine's own pricing, open and without a path object, costs its length.
    if (kPricing == Pricing::kShortest && __builtin_expect(IsPlainEdge(hot), 1)) {
      cost = hot.m_length;
    } else if (!PriceEdge<kPricing>(link, context, constraint, &cost)) {
      continue;
    }
    if (!SameBits(hot.m_cost, cost)) hot.m_cost = cost;  // no store when the cache already holds it
    const int32_t wi = hot.m_destinationIndex;
    if (static_cast<uint32_t>(wi) >= size) continue;  // not a vertex of this graph
    VertexState& ws = states[wi];
    const bool met = ws.stamp == stamp;
    float h = 0.0f;
    if constexpr (kEstimating == Estimating::kZero) {
      if (negative != nullptr && cost < 0.0f) *negative = true;
    } else if constexpr (kEstimating == Estimating::kEuclid) {
      h = met ? ws.h : StraightDistance(link.m_destination->m_data.m_position, goal->m_data.m_position);
    } else {
      if (!heuristic->Estimate(context, link.m_destination, goal, &h)) continue;
    }
    const float g = gv + cost;
    const float f = g + h;
    // A cost or estimate that is not a number would leave the open order undefined; such an edge is
    // treated like one whose cost could not be had. A vertex met before keeps its f unless the new one
    // is lower, which a value that is not a number never is.
    if (met && !(f < ws.f)) continue;
    if (__builtin_expect(!IsNumber(f), 0)) continue;
    CGraphVertex* w = link.m_destination;
    // w enters the open list, often to be expanded next: its links will be wanted. On a large graph all
    // of them, whose lines would otherwise come from memory one after another when w is expanded.
    if (large) {
      PrefetchLinks(w->OutgoingLinks(), w->GetOutgoingCount());
    } else {
      __builtin_prefetch(w->OutgoingLinks());
    }
    CGraphVertexData& wd = w->m_data;
    wd.m_g = g;
    wd.m_h = h;
    wd.m_f = f;
    wd.m_predecessor = v;
    wd.m_predecessorEdge = link.m_edge;
    if (met && ws.heapPos != kClosed) {
      OpenDecrease(wi, f, h);
    } else if (!left && g_buffers.open.Front().GetVertexIndex() == v->m_index) {
      // v is still the front: the first vertex to come in takes its place, which usually leaves it near
      // the top (its f is close to v's), instead of climbing from the bottom while v later leaves from
      // the top. The open list ends the same, nodes and order.
      OpenInsert(wi, f, h, true);
      left = true;
    } else {
      OpenInsert(wi, f, h);
    }
  }
  // v leaves the open list, unless it left already (and did not come back through an edge to itself).
  if (!left || states[v->m_index].heapPos != kClosed) g_buffers.open.Unlink(CAstarNodeIterator(v->m_index));
}

enum class Outcome { kGoal, kEmpty, kBatchDone };

// Runs expansions until the goal is at the front, the open list is empty, or `batch` expansions were made
// (compared as floats, so a batch of +inf never ends and 9.999999 ends at 10).
template <Pricing kPricing, Estimating kEstimating, GraphSize kSize = GraphSize::kAny>
Outcome RunWith(CGraphVertex* goal, CEntity* context, CConstraint* constraint, CHeuristic* heuristic, float batch,
                uint32_t* iterations) {
  const int32_t goalIndex = goal->m_index;
  for (;;) {
    const CAstarNodeIterator front = g_buffers.open.Front();
    if (front.IsEnd()) return Outcome::kEmpty;
    if (front.GetVertexIndex() == goalIndex) return Outcome::kGoal;
    CGraphVertex* v = g_buffers.graph->VertexSlots()[front.GetVertexIndex()];
    Expand<kPricing, kEstimating, kSize>(v, goal, context, constraint, heuristic, nullptr);
    ++*iterations;
    if (static_cast<float>(*iterations) >= batch) return Outcome::kBatchDone;
  }
}

Outcome Run(CGraphVertex* goal, CEntity* context, CConstraint* constraint, CHeuristic* heuristic, float batch,
            uint32_t* iterations) {
  const bool shortest = typeid(*constraint) == typeid(CConstraintShortestPath);
  const bool euclid = typeid(*heuristic) == typeid(CHeuristicEuclidianDistance);
  if (shortest && euclid) {
    // The usual search has a loop of its own for each size of graph.
    if (g_buffers.graph->GetLastVertexIndex() >= kLargeGraph) {
      return RunWith<Pricing::kShortest, Estimating::kEuclid, GraphSize::kLarge>(goal, context, constraint, heuristic,
                                                                                  batch, iterations);
    }
    return RunWith<Pricing::kShortest, Estimating::kEuclid, GraphSize::kSmall>(goal, context, constraint, heuristic,
                                                                                batch, iterations);
  }
  if (shortest) {
    return RunWith<Pricing::kShortest, Estimating::kAny>(goal, context, constraint, heuristic, batch, iterations);
  }
  if (euclid) {
    return RunWith<Pricing::kAny, Estimating::kEuclid>(goal, context, constraint, heuristic, batch, iterations);
  }
  return RunWith<Pricing::kAny, Estimating::kAny>(goal, context, constraint, heuristic, batch, iterations);
}

// Builds the path; on failure the start marker found by the search is cleared too.
bool FinishPath(CSpatialGraph* graph, CPath* path, CGraphVertex* start, CGraphVertex* goal) {
  if (Vusk::AstarBuildPath(graph, path, goal)) return true;
  start->m_data.m_startMarker = 0;
  return false;
}

float BatchSize(const CAstarCpuStats* stats, float budget) {
  float divisor = stats->m_prudence * stats->m_deviation + stats->m_mean;
  return divisor == 0.0f ? 1.0f : budget / divisor;
}

void UpdateStats(CAstarCpuStats* stats, uint32_t iterations, float elapsed) {
  if (iterations == 0) return;  // nothing was measured: no division by a zero count
  float count = static_cast<float>(stats->m_count);
  float total = count + static_cast<float>(iterations);
  stats->m_mean = (count * stats->m_mean + elapsed) / total;
  stats->m_deviation =
      (count * stats->m_deviation + std::fabs(stats->m_mean * static_cast<float>(iterations) - elapsed)) / total;
  stats->m_count += iterations;
}

// Expands from `start` until the open list is empty, recording the vertices in the order they leave it.
// Answers the count recorded, or -1 when a negative cost was met.
int32_t Sweep(CSpatialGraph* graph, CGraphVertex* start, CGraphVertex** order) {
  CConstraint* constraint = graph->GetConstraint();
  if (!EnsureBuffers(graph->GetLastVertexIndex() + 1)) return -1;
  ClearLists();
  start->m_data.m_g = 0.0f;
  start->m_data.m_h = 0.0f;
  start->m_data.m_f = 0.0f;
  AbandonSliced();
  g_buffers.graph = graph;
  OpenInsert(start->m_index, 0.0f, 0.0f);
  bool negative = false;
  int32_t count = 0;
  while (g_buffers.open.GetCount() > 0) {
    CGraphVertex* v = graph->GetVertex(g_buffers.open.Front().GetVertexIndex());
    order[count++] = v;
    if (typeid(*constraint) == typeid(CConstraintShortestPath)) {
      Expand<Pricing::kShortest, Estimating::kZero>(v, nullptr, nullptr, constraint, nullptr, &negative);
    } else {
      Expand<Pricing::kAny, Estimating::kZero>(v, nullptr, nullptr, constraint, nullptr, &negative);
    }
    if (negative) return -1;
  }
  return count;
}

bool SearchArgumentsValid(CSpatialGraph* graph, CGraphVertex* start, CGraphVertex* goal) {
  return graph != nullptr && start != nullptr && goal != nullptr && graph->GetHeuristic() != nullptr &&
         graph->GetConstraint() != nullptr && graph->GetVertex(start->m_index) == start &&
         graph->GetVertex(goal->m_index) == goal;
}

}  // namespace

// ---------------------------------------------------------------------------------------------------------
// CPath

CPath::CPath()
    : m_graph(nullptr),
      m_vertexIndices(nullptr),
      m_edgeIndices(nullptr),
      m_points(nullptr),
      m_pathObjects(nullptr),
      m_remainingLength(0.0f),
      m_capacity(0),
      m_pointCount(0),
      m_cutShort(0) {}

CPath::~CPath() { Resize(0); }

bool CPath::Resize(uint32_t capacity) {
  if (m_points != nullptr) {
    for (uint32_t i = 0; i < m_capacity; ++i) m_points[i].~CVector3();
  }
  Vusk::EngineFree(m_vertexIndices);
  Vusk::EngineFree(m_edgeIndices);
  Vusk::EngineFree(m_points);
  Vusk::EngineFree(m_pathObjects);
  m_vertexIndices = m_edgeIndices = nullptr;
  m_points = nullptr;
  m_pathObjects = nullptr;
  m_capacity = 0;
  m_pointCount = 0;
  if (capacity == 0) return true;
  // The four arrays together: a capacity from a damaged definition asks for no more than the machine has.
  if (!Vusk::FitsMachine(capacity, 2 * sizeof(int32_t) + sizeof(CVector3) + sizeof(CPathObject*))) return false;
  m_vertexIndices = static_cast<int32_t*>(Vusk::EngineAllocate(capacity * sizeof(int32_t)));
  m_edgeIndices = static_cast<int32_t*>(Vusk::EngineAllocate(capacity * sizeof(int32_t)));
  void* points = Vusk::EngineAllocate(capacity * sizeof(CVector3));
  m_pathObjects = static_cast<CPathObject**>(Vusk::EngineAllocate(capacity * sizeof(CPathObject*)));
  if (m_vertexIndices == nullptr || m_edgeIndices == nullptr || points == nullptr || m_pathObjects == nullptr) {
    Vusk::EngineFree(points);
    Resize(0);
    return false;
  }
  m_points = static_cast<CVector3*>(points);
  for (uint32_t i = 0; i < capacity; ++i) ::new (&m_points[i]) CVector3(0.0f, 0.0f, 0.0f);
  m_capacity = capacity;
  return true;
}

int32_t CPath::FindNearestPoint(const CVector3& point) const {
  int32_t best = -1;
  float bestDistance = 0.0f;
  for (int32_t i = 0; i < m_pointCount; ++i) {
    float dx = m_points[i].x - point.x, dy = m_points[i].y - point.y, dz = m_points[i].z - point.z;
    float d = dx * dx + 10.0f * dy * dy + dz * dz;
    if (best < 0 || d < bestDistance) {
      best = i;
      bestDistance = d;
    }
  }
  return best;
}

int32_t CPath::FindPoint(const CVector3& point) const {
  for (int32_t i = 0; i < m_pointCount; ++i) {
    if (m_points[i].x == point.x && m_points[i].y == point.y && m_points[i].z == point.z) return i;
  }
  return -1;
}

// ---------------------------------------------------------------------------------------------------------
// Search

bool Vusk::AstarCreateBuffers(int32_t vertexCount) {
  AbandonSliced();
  g_sliced.restartFlag = 1;
  ReleaseBuffers();
  if (vertexCount <= 0) return true;
  return EnsureBuffers(vertexCount);
}

void Vusk::AstarForgetVertex(const CGraphVertex* vertex) {
  if (g_sliced.underWay == vertex) g_sliced.underWay = nullptr;
}

void Vusk::AstarFreeBuffers() {
  AbandonSliced();
  g_sliced.restartFlag = 1;
  ReleaseBuffers();
}

int32_t Vusk::AstarGetBufferSize() { return g_buffers.size; }

bool Vusk::AstarBuildPath(CSpatialGraph* graph, CPath* path, CGraphVertex* goal) {
  path->m_graph = graph;
  path->m_remainingLength = 0.0f;
  // Hops back to the marked start, with a guard against a broken predecessor chain.
  int64_t hops = 0;
  const int64_t guard = graph->GetVertexCount();
  for (CGraphVertex* v = goal; v->m_data.m_startMarker != 1; v = v->m_data.m_predecessor) {
    if (v->m_data.m_predecessor == nullptr || ++hops >= guard) {
      path->m_pointCount = 0;
      return false;
    }
  }
  const int64_t points = hops + 1;
  const int64_t capacity = path->m_capacity;
  CGraphVertex* current = goal;
  int64_t fill;  // entries 0..fill-1 come from predecessors of `current`
  if (points > capacity) {
    path->m_cutShort = 1;
    path->m_pointCount = static_cast<int32_t>(capacity);
    // Walk back until the hops left equal the capacity, summing the lengths of the edges passed (a path
    // of no capacity keeps no point and the length of the whole route).
    for (int64_t left = hops; left > capacity; --left) {
      path->m_remainingLength += current->m_data.m_predecessorEdge->GetLength();
      current = current->m_data.m_predecessor;
    }
    fill = capacity;
  } else {
    path->m_cutShort = 0;
    path->m_pointCount = static_cast<int32_t>(points);
    int64_t last = points - 1;
    path->m_vertexIndices[last] = goal->m_index;
    path->m_edgeIndices[last] = -1;
    path->m_points[last] = goal->m_data.m_position;
    path->m_pathObjects[last] = nullptr;
    fill = last;
  }
  for (int64_t i = fill - 1; i >= 0; --i) {
    CGraphVertex* from = current->m_data.m_predecessor;
    CGraphEdge* edge = current->m_data.m_predecessorEdge;
    path->m_vertexIndices[i] = from->m_index;
    path->m_edgeIndices[i] = edge->m_index;
    path->m_points[i] = from->m_data.m_position;
    path->m_pathObjects[i] = edge->GetPathObject();
    current = from;
  }
  current->m_data.m_startMarker = 0;
  g_sliced.underWay = nullptr;
  return true;
}

bool Vusk::AstarSearch(CSpatialGraph* graph, CPath* path, CGraphVertex* start, CGraphVertex* goal, CEntity* context) {
  if (!SearchArgumentsValid(graph, start, goal) || path == nullptr) return false;
  CConstraint* constraint = graph->GetConstraint();
  CHeuristic* heuristic = graph->GetHeuristic();
  if (!StartSearch(graph, start, goal, context)) return false;
  uint32_t iterations = 0;
  Outcome outcome = Run(goal, context, constraint, heuristic, std::numeric_limits<float>::infinity(), &iterations);
  if (outcome != Outcome::kGoal) {
    start->m_data.m_startMarker = 0;
    return false;
  }
  return FinishPath(graph, path, start, goal);
}

int Vusk::AstarSearchTimeSliced(CSpatialGraph* graph, CPath* path, CGraphVertex* start, CGraphVertex* goal,
                                CEntity* context, CAstarCpuStats* stats, float budget, bool restart) {
  if (!SearchArgumentsValid(graph, start, goal) || path == nullptr || stats == nullptr) return kAstarNoRoute;
  CConstraint* constraint = graph->GetConstraint();
  CHeuristic* heuristic = graph->GetHeuristic();
  double t0 = ClockSeconds();
  float batch = BatchSize(stats, budget);

  bool resume = !restart && g_sliced.restartFlag == 0 && g_sliced.underWay == start && g_sliced.start == start &&
                g_sliced.goal == goal && g_sliced.context == context && g_sliced.heuristic == heuristic &&
                g_sliced.constraint == constraint && g_sliced.graph == graph &&
                g_sliced.editCount == graph->GetEditCount() && graph->GetLastVertexIndex() < g_buffers.size;
  if (!resume) {
    if (!StartSearch(graph, start, goal, context)) {
      g_sliced.restartFlag = 1;
      return kAstarNoRoute;
    }
    g_sliced.underWay = start;
  }

  uint32_t iterations = 0;
  for (;;) {
    Outcome outcome = Run(goal, context, constraint, heuristic, batch, &iterations);
    if (outcome == Outcome::kEmpty) {
      g_sliced.restartFlag = 1;
      start->m_data.m_startMarker = 0;
      g_sliced.underWay = nullptr;
      return kAstarNoRoute;
    }
    if (outcome == Outcome::kGoal) break;
    double now = ClockSeconds();
    float elapsed = static_cast<float>(now - t0);
    UpdateStats(stats, iterations, elapsed);
    if (elapsed >= budget) {
      g_sliced.start = start;
      g_sliced.goal = goal;
      g_sliced.context = context;
      g_sliced.heuristic = heuristic;
      g_sliced.constraint = constraint;
      g_sliced.graph = graph;
      g_sliced.editCount = graph->GetEditCount();
      g_sliced.restartFlag = 0;
      return kAstarSuspended;
    }
    budget -= elapsed;
    t0 = now;
    batch = BatchSize(stats, budget);
    iterations = 0;
  }
  bool built = FinishPath(graph, path, start, goal);
  g_sliced.restartFlag = built ? 1 : 0;
  // A route that could not be written has lost its start mark: the next call starts afresh.
  g_sliced.underWay = nullptr;
  UpdateStats(stats, iterations, static_cast<float>(ClockSeconds() - t0));
  return built ? kAstarFound : kAstarNoRoute;
}

bool Vusk::AstarRoutesFrom(CSpatialGraph* graph, int32_t start, int32_t* firstEdge, float* cost) {
  if (graph == nullptr || graph->GetConstraint() == nullptr || graph->GetHeuristic() == nullptr ||
      !graph->HasDenseVertices()) {
    return false;
  }
  const int32_t n = graph->GetVertexCount();
  CGraphVertex* source = graph->GetVertex(start);
  if (source == nullptr) return false;
  for (int32_t g = 0; g < n; ++g) {
    firstEdge[g] = -1;
    cost[g] = -1.0f;
  }
  firstEdge[start] = start;
  cost[start] = 0.0f;
  if (n == 1) return true;
  // The searches below only fail for want of memory when they size the buffers: sized here, a search
  // that finds no route means the goal is out of reach, never that memory ran out.
  if (!EnsureBuffers(graph->GetLastVertexIndex() + 1)) return false;

  CHeuristic* heuristic = graph->GetHeuristic();
  if (typeid(*heuristic) == typeid(CZeroHeuristic)) {
    auto** order = static_cast<CGraphVertex**>(Vusk::EngineAllocate(static_cast<size_t>(n) * sizeof(CGraphVertex*)));
    if (order == nullptr) return false;
    int32_t count = Sweep(graph, source, order);
    if (count >= 0) {
      // Vertices leave the open list after their predecessors, so first edges propagate in that order.
      for (int32_t i = 1; i < count; ++i) {
        CGraphVertex* w = order[i];
        CGraphVertex* from = w->m_data.m_predecessor;
        firstEdge[w->m_index] = from == source ? w->m_data.m_predecessorEdge->m_index : firstEdge[from->m_index];
        cost[w->m_index] = w->m_data.m_g;
      }
      Vusk::EngineFree(order);
      return true;
    }
    Vusk::EngineFree(order);
  }

  // One search per goal. The path holds every vertex, so a route is never cut short.
  CPath path;
  if (!path.Resize(static_cast<uint32_t>(n))) return false;
  for (int32_t g = 0; g < n; ++g) {
    if (g == start) continue;
    if (!AstarSearch(graph, &path, source, graph->GetVertex(g), nullptr) || path.m_pointCount < 2) continue;
    firstEdge[g] = path.m_edgeIndices[0];
    float sum = 0.0f;
    for (int32_t i = 0; i + 1 < path.m_pointCount; ++i) sum += graph->GetEdge(path.m_edgeIndices[i])->GetCost();
    cost[g] = sum;
  }
  return true;
}

Vusk::CAstarBuildScope::CAstarBuildScope(CSpatialGraph* graph)
    : m_graph(graph), m_localConstraint(nullptr), m_localHeuristic(nullptr) {
  if (graph == nullptr) return;
  if (graph->GetConstraint() == nullptr) {
    m_localConstraint = CConstraintShortestPath::Create();
    graph->SetConstraint(m_localConstraint);
  }
  if (graph->GetHeuristic() == nullptr) {
    m_localHeuristic = CZeroHeuristic::Create();
    graph->SetHeuristic(m_localHeuristic);
  }
}

Vusk::CAstarBuildScope::~CAstarBuildScope() {
  if (m_localConstraint != nullptr) {
    m_graph->SetConstraint(nullptr);
    delete m_localConstraint;
  }
  if (m_localHeuristic != nullptr) {
    m_graph->SetHeuristic(nullptr);
    delete m_localHeuristic;
  }
}

bool Vusk::CAstarBuildScope::IsReady() const {
  return m_graph != nullptr && m_graph->GetConstraint() != nullptr && m_graph->GetHeuristic() != nullptr;
}
