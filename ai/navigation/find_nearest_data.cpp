#include "ai/navigation/find_nearest_data.h"

#include <algorithm>
#include <cmath>

#include "ai/navigation/data_file.h"
#include "ai/runtime/allocator.h"
#include "ai/navigation/spatial_graph.h"
#include "ai/runtime/engine.h"
#include "ai/runtime/entity.h"
#include "ai/runtime/entity_attribute.h"
#include "ai/runtime/world.h"

CGraphDataDesc CFindNearestData::s_classDesc("CFindNearestData", &CFindNearestData::Create);

namespace {

constexpr int kAxes = 3;
constexpr int32_t kMaxVisibleCandidates = 1000;  // candidates sorted by FindNearestVisibleVertex
constexpr uint32_t kSweepMode = 2;               // host sweep mode of the visibility tests

inline float Axis(const CVector3& v, int axis) { return axis == 0 ? v.x : (axis == 1 ? v.y : v.z); }

// Strict order on coordinates with a not-a-number value after every number.
inline bool CoordinateLess(float a, float b) { return a < b || (a == a && b != b); }

float EntityWidth(CEntity* entity) {
  if (entity == nullptr) return 0.0f;
  auto* width = static_cast<CEntityWidth*>(entity->GetAttribute(&CEntityWidth::s_desc));
  return width != nullptr ? width->value : 0.0f;
}

inline bool MeetsEdgeRequirements(const CGraphVertex* vertex, bool requireOutgoing, bool requireIncoming) {
  return !(requireOutgoing && vertex->GetOutgoingCount() == 0) && !(requireIncoming && vertex->GetIncomingCount() == 0);
}

}  // namespace

CGraphData* CFindNearestData::Create(CSpatialGraph* owner) { return new CFindNearestData(owner); }

CFindNearestData::CFindNearestData(CSpatialGraph* owner)
    : CGraphData(owner),
      m_vertexCount(owner != nullptr ? owner->GetVertexCount() : 0),
      m_sorted(nullptr),
      m_ranks(nullptr),
      m_keys(nullptr),
      m_candidates(nullptr) {}

CFindNearestData::~CFindNearestData() { FreeTables(); }

const CGraphDataDesc* CFindNearestData::GetClassDesc() const { return &s_classDesc; }

void CFindNearestData::FreeTables() {
  Vusk::EngineFree(m_sorted);
  Vusk::EngineFree(m_ranks);
  Vusk::EngineFree(m_keys);
  Vusk::EngineFree(m_candidates);
  m_sorted = m_ranks = m_candidates = nullptr;
  m_keys = nullptr;
}

bool CFindNearestData::AllocateTables() {
  FreeTables();
  if (m_vertexCount < 1) return false;
  size_t n = static_cast<size_t>(m_vertexCount);
  m_sorted = static_cast<int32_t*>(Vusk::EngineAllocate(kAxes * n * sizeof(int32_t)));
  m_ranks = static_cast<int32_t*>(Vusk::EngineAllocate(kAxes * n * sizeof(int32_t)));
  m_keys = static_cast<float*>(Vusk::EngineAllocate(kAxes * n * sizeof(float)));
  m_candidates = static_cast<int32_t*>(Vusk::EngineAllocate(n * sizeof(int32_t)));
  if (m_sorted == nullptr || m_ranks == nullptr || m_keys == nullptr || m_candidates == nullptr) {
    FreeTables();
    return false;
  }
  return true;
}

float CFindNearestData::Coordinate(int32_t vertex, int axis) const {
  return Axis(m_graph->GetVertex(vertex)->GetPosition(), axis);
}

void CFindNearestData::TakeKeys() {
  for (int axis = 0; axis < kAxes; ++axis) {
    const int32_t* list = m_sorted + axis * m_vertexCount;
    float* keys = m_keys + axis * m_vertexCount;
    for (int32_t i = 0; i < m_vertexCount; ++i) {
      const CGraphVertex* vertex = m_graph->GetVertex(list[i]);
      keys[i] = vertex != nullptr ? Axis(vertex->GetPosition(), axis) : std::nanf("");
    }
  }
}

bool CFindNearestData::Build() {
  FreeTables();
  if (m_graph == nullptr) return false;
  m_vertexCount = m_graph->GetVertexCount();
  if (m_vertexCount < 1) return true;
  if (!m_graph->HasDenseVertices() || !AllocateTables()) return false;
  for (int axis = 0; axis < kAxes; ++axis) {
    int32_t* list = m_sorted + axis * m_vertexCount;
    for (int32_t i = 0; i < m_vertexCount; ++i) list[i] = i;
    // Equal coordinates (common on flat levels) keep index order, so a file is the same on every build.
    std::sort(list, list + m_vertexCount, [this, axis](int32_t a, int32_t b) {
      float ca = Coordinate(a, axis), cb = Coordinate(b, axis);
      if (CoordinateLess(ca, cb)) return true;
      if (CoordinateLess(cb, ca)) return false;
      return a < b;
    });
    int32_t* ranks = m_ranks + axis * m_vertexCount;
    for (int32_t i = 0; i < m_vertexCount; ++i) ranks[list[i]] = i;
  }
  TakeKeys();
  return true;
}

bool CFindNearestData::Save(const char* fileName) {
  if (m_sorted == nullptr || m_ranks == nullptr || m_vertexCount < 1) return false;
  Vusk::CDataWriter writer;
  if (!writer.Open(fileName)) return false;
  size_t words = kAxes * static_cast<size_t>(m_vertexCount);
  bool ok = writer.WriteHeader(kFileMagic) &&
            writer.WriteU32Array(reinterpret_cast<const uint32_t*>(m_sorted), words) &&
            writer.WriteU32Array(reinterpret_cast<const uint32_t*>(m_ranks), words);
  writer.Close();
  return ok;
}

bool CFindNearestData::LoadFromReader(Vusk::CDataReader* reader) {
  if (m_vertexCount < 1 || !AllocateTables()) return false;
  size_t words = kAxes * static_cast<size_t>(m_vertexCount);
  bool ok = reader != nullptr && reader->Open() && reader->ReadHeader(kFileMagic) &&
            reader->ReadU32Array(reinterpret_cast<uint32_t*>(m_sorted), words) &&
            reader->ReadU32Array(reinterpret_cast<uint32_t*>(m_ranks), words);
  if (reader != nullptr) reader->Close();
  // Queries index vertices and ranks by these entries: each list must be a permutation of 0..N-1 and
  // the ranks its inverse.
  for (int axis = 0; ok && axis < kAxes; ++axis) {
    const int32_t* list = m_sorted + axis * m_vertexCount;
    const int32_t* ranks = m_ranks + axis * m_vertexCount;
    for (int32_t i = 0; ok && i < m_vertexCount; ++i) {
      ok = list[i] >= 0 && list[i] < m_vertexCount && ranks[list[i]] == i;
    }
  }
  // Tables that failed are not kept: a query on them would follow their entries.
  if (!ok) {
    FreeTables();
  } else {
    TakeKeys();
  }
  return ok;
}

int32_t CFindNearestData::LowerBound(float value, int axis) const {
  const float* keys = m_keys + axis * m_vertexCount;
  const int32_t n = m_vertexCount;
  // First position whose coordinate is not below the value.
  int32_t p = static_cast<int32_t>(std::partition_point(keys, keys + n, [&](float c) { return c < value; }) - keys);
  if (p == n) return -1;  // every entry lies below
  int32_t chosen = p;
  if (p > 0 && keys[p] != value) {
    // Bracketed by p-1 and p: the nearer one, the upper one on a tie.
    float below = value - keys[p - 1];
    float above = keys[p] - value;
    if (below < above) chosen = p - 1;
  }
  float c = keys[chosen];
  while (chosen > 0 && keys[chosen - 1] == c) --chosen;
  return chosen;
}

int32_t CFindNearestData::UpperBound(float value, int axis) const {
  const float* keys = m_keys + axis * m_vertexCount;
  const int32_t n = m_vertexCount;
  // Last position whose coordinate is not above the value.
  int32_t q =
      static_cast<int32_t>(std::partition_point(keys, keys + n, [&](float c) { return !(value < c); }) - keys) - 1;
  if (q < 0) return -1;  // every entry lies above
  int32_t chosen = q;
  if (q < n - 1 && keys[q] != value) {
    float below = value - keys[q];
    float above = keys[q + 1] - value;
    if (above <= below) chosen = q + 1;
  }
  float c = keys[chosen];
  while (chosen < n - 1 && keys[chosen + 1] == c) ++chosen;
  return chosen;
}

int32_t CFindNearestData::FindAxisRange(const CVector3& point, float halfWidth, int axis, int32_t* first,
                                        int32_t* last) const {
  *first = *last = -1;
  if (m_sorted == nullptr || axis < 0 || axis >= kAxes) return 0;
  float coordinate = Axis(point, axis);
  *first = LowerBound(coordinate - halfWidth, axis);
  *last = UpperBound(coordinate + halfWidth, axis);
  if (*first < 0 || *last < 0 || *last < *first) return 0;
  return *last - *first + 1;
}

int32_t CFindNearestData::GatherCandidates(const CVector3& point, float heightRange, const int32_t** candidates) {
  *candidates = m_candidates;
  if (m_sorted == nullptr || m_graph == nullptr) return 0;
  const float radius = m_graph->GetSearchRadius();
  const float half[kAxes] = {radius, heightRange, radius};
  int32_t first[kAxes], last[kAxes], size[kAxes];
  int walk = 0;
  for (int axis = 0; axis < kAxes; ++axis) {
    size[axis] = FindAxisRange(point, half[axis], axis, &first[axis], &last[axis]);
    if (size[axis] == 0) return 0;
    if (size[axis] < size[walk]) walk = axis;
  }
  const int32_t* list = m_sorted + walk * m_vertexCount;
  int32_t count = 0;
  for (int32_t pos = first[walk]; pos <= last[walk]; ++pos) {
    int32_t v = list[pos];
    bool inside = m_graph->GetVertex(v) != nullptr;  // a vertex removed since the tables were made
    for (int axis = 0; axis < kAxes && inside; ++axis) {
      if (axis == walk) continue;
      int32_t rank = m_ranks[axis * m_vertexCount + v];
      inside = rank >= first[axis] && rank <= last[axis];
    }
    if (inside) m_candidates[count++] = v;
  }
  return count;
}

// ---------------------------------------------------------------------------------------------------------
// Point queries

CGraphVertex* Vusk::FindNearestVertex(CSpatialGraph* graph, const CVector3& point, bool requireOutgoing,
                                      bool requireIncoming) {
  if (graph == nullptr) return nullptr;
  class CNearestVisitor : public CGraphVisitor {
  public:
    CNearestVisitor(const CVector3& point, bool out, bool in) : m_point(point), m_out(out), m_in(in) {}
    bool VisitVertex(CGraphVertex* vertex) override {
      if (!MeetsEdgeRequirements(vertex, m_out, m_in)) return true;
      const CVector3& p = vertex->GetPosition();
      float d = std::fabs(p.x - m_point.x) + std::fabs(p.y - m_point.y) + std::fabs(p.z - m_point.z);
      if (m_best == nullptr || d < m_bestDistance) {
        m_best = vertex;
        m_bestDistance = d;
        if (d == 0.0f) return false;  // nothing can be nearer
      }
      return true;
    }
    const CVector3& m_point;         // query point
    bool m_out, m_in;                // edge requirements
    CGraphVertex* m_best = nullptr;  // nearest so far
    float m_bestDistance = 0.0f;     // its distance
  } visitor(point, requireOutgoing, requireIncoming);
  graph->VisitVertices(&visitor);
  return visitor.m_best;
}

CGraphVertex* Vusk::FindLocallyVisibleVertex(CSpatialGraph* graph, const CVector3& point, CEntity* entity,
                                             float maxDeltaHeight, bool requireOutgoing, bool requireIncoming) {
  if (graph == nullptr) return nullptr;
  class CLocalVisitor : public CGraphVisitor {
  public:
    bool VisitVertex(CGraphVertex* vertex) override {
      const CVector3& p = vertex->GetPosition();
      float d2 = CVector3::DistanceSquared(p, *point);
      if (!(d2 < radius2) || !MeetsEdgeRequirements(vertex, requireOutgoing, requireIncoming)) return true;
      if (maxDeltaHeight != -1.0f &&
          (p.y < point->y - 2.0f * maxDeltaHeight || p.y > point->y + 1.5f * maxDeltaHeight)) {
        return true;
      }
      if (best != nullptr && !(d2 < bestDistance2)) return true;
      if (sweep && !Vusk::SweepTest(*point, p, entity, kSweepMode, width)) return true;
      best = vertex;
      bestDistance2 = d2;
      return !(d2 < closeEnough2);
    }
    const CVector3* point = nullptr;  // query point
    CEntity* entity = nullptr;        // mover, handed to the sweep
    float radius2 = 0.0f;             // squared search radius
    float maxDeltaHeight = -1.0f;     // height window, -1 for none
    float width = 0.0f;               // mover width
    float closeEnough2 = 0.0f;        // a vertex this near ends the visit
    bool requireOutgoing = false, requireIncoming = false, sweep = true;
    CGraphVertex* best = nullptr;  // best so far
    float bestDistance2 = 0.0f;    // its squared distance
  } visitor;
  float radius = graph->GetSearchRadius();
  float close = 0.1f * Vusk::GetCurrentOneMeter();
  visitor.point = &point;
  visitor.entity = entity;
  visitor.radius2 = radius * radius;
  visitor.maxDeltaHeight = maxDeltaHeight;
  visitor.width = EntityWidth(entity);
  visitor.closeEnough2 = close * close;
  visitor.requireOutgoing = requireOutgoing;
  visitor.requireIncoming = requireIncoming;
  graph->VisitVertices(&visitor);
  if (visitor.best == nullptr) {
    visitor.sweep = false;
    graph->VisitVertices(&visitor);
  }
  return visitor.best;
}

CGraphVertex* Vusk::FindNearestVisibleVertex(const CVector3& point, CEntity* entity, float heightRange,
                                             CFindNearestData* data, bool requireOutgoing, bool requireIncoming) {
  if (data == nullptr) return nullptr;
  CSpatialGraph* graph = data->GetGraph();
  const int32_t* gathered = nullptr;
  int32_t count = data->GatherCandidates(point, heightRange, &gathered);
  if (count > kMaxVisibleCandidates) count = kMaxVisibleCandidates;
  struct Candidate {
    float distance2;  // squared distance to the point
    int32_t vertex;   // vertex index
  };
  Candidate order[kMaxVisibleCandidates];
  for (int32_t i = 0; i < count; ++i) {
    order[i] = {CVector3::DistanceSquared(graph->GetVertex(gathered[i])->GetPosition(), point), gathered[i]};
  }
  std::sort(order, order + count, [](const Candidate& a, const Candidate& b) {
    if (CoordinateLess(a.distance2, b.distance2)) return true;
    if (CoordinateLess(b.distance2, a.distance2)) return false;
    return a.vertex < b.vertex;
  });
  const float width = EntityWidth(entity);
  CGraphVertex* found = nullptr;
  for (int pass = 0; pass < 2 && found == nullptr; ++pass) {
    for (int32_t i = 0; i < count; ++i) {
      CGraphVertex* vertex = graph->GetVertex(order[i].vertex);
      if (!MeetsEdgeRequirements(vertex, requireOutgoing, requireIncoming)) continue;
      if (pass == 0 && !Vusk::SweepTest(point, vertex->GetPosition(), entity, kSweepMode, width)) continue;
      found = vertex;
      break;
    }
  }
  return found;
}
