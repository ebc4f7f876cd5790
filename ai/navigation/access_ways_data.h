// "CAccessWaysData": for every vertex V, its access ways, the edges along which something comes into view
// of V (from a vertex hidden from V to a vertex that V sees). Sight is tested along several offset lines,
// so that a low wall or a thin post does not hide a vertex. Built offline; nothing reads it at run time.
#pragma once

#include <cstdint>

#include "ai/navigation/graph_data.h"
#include "ai/navigation/spatial_graph.h"
#include "ai/runtime/vector3.h"

class CAccessWaysData : public CGraphData {
public:
  static CGraphDataDesc s_classDesc;  // "CAccessWaysData"
  static constexpr const char* kFileMagic = "Quelmor AccessWays Data";
  static CGraphData* Create(CSpatialGraph* owner);

  explicit CAccessWaysData(CSpatialGraph* owner);
  ~CAccessWaysData() override;

  const CGraphDataDesc* GetClassDesc() const override;
  // Probes every ordered pair of vertices with the host's line of sight. False when the graph has no vertex
  // or no edge, its vertices are not dense, it is too large for the file's 16-bit counts and indices, or
  // memory runs out.
  bool Build() override;
  // Writes N and the lists; data of no vertices (never built) is written as N = 0.
  bool Save(const char* fileName) override;
  // Refuses a stored vertex count other than the graph's, and negative counts.
  bool LoadFromReader(Vusk::CDataReader* reader) override;

  int32_t GetVertexCount() const { return m_vertexCount; }
  // Access ways of vertex v (edge indices in index order); 0 and null outside the table.
  int32_t GetAccessWays(int32_t v, const uint16_t** edges) const;

private:
  void FreeLists();
  bool AllocateLists(int32_t count);

  uint16_t** m_lists;     // per vertex: its access-way edge indices, null when it has none
  int16_t* m_counts;      // per vertex: its access-way count
  int32_t m_vertexCount;  // N: 0 when created, set by Build and Load
};

// Visitor of one build step: flags every vertex as seen or not from the probe position, then collects
// the edges from an unseen vertex to a seen one.
class CAccessWaysProbe : public CGraphVisitor {
public:
  explicit CAccessWaysProbe(const CVector3& position);
  ~CAccessWaysProbe() override;
  void BeginVertices(CSpatialGraph* graph) override;
  void BeginEdges(CSpatialGraph* graph) override;
  bool VisitVertex(CGraphVertex* vertex) override;
  bool VisitEdge(CGraphEdge* edge) override;

  bool IsReady() const { return m_flags != nullptr && m_edges != nullptr; }
  int32_t GetCount() const { return m_count; }
  const uint16_t* GetEdges() const { return m_edges; }

private:
  CVector3 m_position;  // where the vertex under study stands
  uint8_t* m_flags;     // per vertex: 1 when seen from the position
  int32_t m_flagCount;  // entries of m_flags
  uint16_t* m_edges;    // collected access ways
  int32_t m_count;      // entries of m_edges in use
};

namespace Vusk {
// True when `to` is seen from `from` along at least one of six lines: straight, raised by 0.7 m, and
// four offset 0.4 m sideways at several heights (m = `oneMeter`).
bool IsSeenForAccessWays(const CVector3& from, const CVector3& to, float oneMeter);
}  // namespace Vusk
