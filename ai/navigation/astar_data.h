// "CAstarData": every route of a graph precomputed as a next-edge table, so that a (start, goal) pair
// becomes a whole path by following the table instead of searching.
#pragma once

#include <cstdint>

#include "ai/navigation/graph_data.h"

class CPath;

class CAstarData : public CGraphData {
public:
  static CGraphDataDesc s_classDesc;  // "CAstarData"
  static constexpr const char* kFileMagic = "Quelmor Astar Data";
  static CGraphData* Create(CSpatialGraph* owner);

  explicit CAstarData(CSpatialGraph* owner);
  ~CAstarData() override;

  const CGraphDataDesc* GetClassDesc() const override;
  // One search per ordered pair (with a shortest-path constraint and a zero heuristic when the graph
  // has none). False when the graph's vertices are not dense or memory runs out.
  bool Build() override;
  bool Save(const char* fileName) override;
  // Refuses a table whose entries are not -1, the row's own index on the diagonal, or a live edge that
  // leaves the row's vertex.
  bool LoadFromReader(Vusk::CDataReader* reader) override;

  // Fills `path` with the route from vertex `start` to vertex `goal`; false when there is none, the table
  // does not hold the pair, or the table leads nowhere within N steps.
  bool Lookup(int32_t start, int32_t goal, CPath* path) const;

  int32_t GetVertexCount() const { return m_vertexCount; }
  // Entry [s][g]; false outside the table.
  bool GetEntry(int32_t start, int32_t goal, int32_t* entry) const;

private:
  void FreeTable();
  bool AllocateTable();

  int32_t m_vertexCount;  // N: the graph's vertex count when created or built
  int32_t* m_table;       // N x N entries, row-major (start, then goal); null when none
};
