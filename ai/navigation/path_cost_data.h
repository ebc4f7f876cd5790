// "CPathCostData": the cost of the best route of every ordered pair of vertices, squeezed into one byte
// (entry / scale; 255 = unreachable). The path-cost heuristic reads it as an exact estimate.
#pragma once

#include <cstdint>

#include "ai/navigation/graph_data.h"

class CPathCostData : public CGraphData {
public:
  static CGraphDataDesc s_classDesc;  // "CPathCostData"
  static constexpr const char* kFileMagic = "Quelmor PathCost Data";
  static constexpr uint8_t kUnreachable = 255;
  static CGraphData* Create(CSpatialGraph* owner);

  explicit CPathCostData(CSpatialGraph* owner);
  ~CPathCostData() override;

  const CGraphDataDesc* GetClassDesc() const override;
  // One search per ordered pair; scale = 254 / the largest route cost (1 when no route costs anything).
  // False when the graph's vertices are not dense or memory runs out.
  bool Build() override;
  bool Save(const char* fileName) override;
  bool LoadFromReader(Vusk::CDataReader* reader) override;

  int32_t GetVertexCount() const { return m_vertexCount; }
  float GetScale() const { return m_scale; }
  // Entry [a][b]; false outside the table.
  bool GetEntry(int32_t a, int32_t b, uint8_t* entry) const;

private:
  uint8_t* m_table;       // N x N entries, row-major (start, then goal); null when none
  int32_t m_vertexCount;  // N: the graph's vertex count when created or built
  float m_scale;          // entry = route cost x scale; 0 when created
};
