// "CFindNearestData" (vertex indices sorted along each axis, with inverse ranks) and the point queries
// that turn a world position into a graph vertex.
#pragma once

#include <cstdint>

#include "ai/navigation/graph_data.h"
#include "ai/runtime/vector3.h"

class CEntity;
class CGraphVertex;

class CFindNearestData : public CGraphData {
public:
  static CGraphDataDesc s_classDesc;  // "CFindNearestData"
  static constexpr const char* kFileMagic = "Quelmor FindNearest Data";
  static CGraphData* Create(CSpatialGraph* owner);

  explicit CFindNearestData(CSpatialGraph* owner);
  ~CFindNearestData() override;

  const CGraphDataDesc* GetClassDesc() const override;
  // Sorts the vertex indices along x, y and z (equal coordinates by vertex index). False when the graph's
  // vertices are not dense or memory runs out.
  bool Build() override;
  bool Save(const char* fileName) override;
  // Refuses tables whose indices are not below N or whose ranks are not the inverse of the sorted lists.
  bool LoadFromReader(Vusk::CDataReader* reader) override;

  // Vertices inside the box point ± R (x, z; R = the graph's search radius) and point ± heightRange (y),
  // plus at most one entry beyond the box at either end of each axis. Answers the count; the indices are
  // in `candidates` (the object's own array, valid until the next call). The tables do not follow later
  // edits of the graph: they keep answering from the coordinates they were made with, and an entry
  // whose vertex has gone since is passed over.
  int32_t GatherCandidates(const CVector3& point, float heightRange, const int32_t** candidates);
  // Range of sorted positions on `axis` (0 x, 1 y, 2 z) for coordinate ± halfWidth; answers its size.
  int32_t FindAxisRange(const CVector3& point, float halfWidth, int axis, int32_t* first, int32_t* last) const;

  int32_t GetVertexCount() const { return m_vertexCount; }
  const int32_t* GetSorted(int axis) const { return m_sorted ? m_sorted + axis * m_vertexCount : nullptr; }
  const int32_t* GetRanks(int axis) const { return m_ranks ? m_ranks + axis * m_vertexCount : nullptr; }

private:
  void FreeTables();
  bool AllocateTables();
  float Coordinate(int32_t vertex, int axis) const;
  // Takes the coordinates of the sorted entries from the graph as it is now.
  void TakeKeys();
  int32_t LowerBound(float value, int axis) const;
  int32_t UpperBound(float value, int axis) const;

  int32_t m_vertexCount;  // N: the graph's vertex count when created or built
  int32_t* m_sorted;      // 3 x N vertex indices sorted by x, then y, then z
  int32_t* m_ranks;       // 3 x N positions of each vertex in the sorted lists
  float* m_keys;          // 3 x N coordinates of the sorted entries when built or loaded
  int32_t* m_candidates;  // N entries of scratch for GatherCandidates
};

namespace Vusk {

// Nearest live vertex by the sum of absolute coordinate differences (the lower index on ties); the
// edge requirements pass over vertices without outgoing / incoming edges.
CGraphVertex* FindNearestVertex(CSpatialGraph* graph, const CVector3& point, bool requireOutgoing,
                                bool requireIncoming);
// Nearest vertex within the graph's search radius (and the height window when maxDeltaHeight is not -1)
// that the entity can reach with a clear sweep; without any, the nearest such vertex regardless of sweep.
CGraphVertex* FindLocallyVisibleVertex(CSpatialGraph* graph, const CVector3& point, CEntity* entity,
                                       float maxDeltaHeight, bool requireOutgoing, bool requireIncoming);
// As above over the candidates of `data` (at most 1000, nearest first); null when data is null.
CGraphVertex* FindNearestVisibleVertex(const CVector3& point, CEntity* entity, float heightRange,
                                       CFindNearestData* data, bool requireOutgoing, bool requireIncoming);

}  // namespace Vusk
