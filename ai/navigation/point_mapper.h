// CPointMapper: for every ordered pair of graphs (A, B) of the world, the vertex of B that each vertex of
// A corresponds to, so that a position known as a vertex of one graph is placed on another without a
// search. Built from the graphs named by "Container" children, or loaded from raw data; saved as
// "Point mapping data".
#pragma once

#include <cstdint>

#include "ai/runtime/class_desc.h"
#include "ai/runtime/service.h"
#include "ai/runtime/vector3.h"

class CConfigNode;
class CGraphWrapper;
class CPathTarget;

namespace Vusk {
class CDataReader;
}

class CPointMapper : public CGlobalService {
public:
  static CGlobalServiceDesc s_classDesc;  // "CPointMapper"
  static constexpr const char* kFileMagic = "Quelmor Point mapping data";
  static constexpr uint16_t kNone = 65535;         // no vertex
  static constexpr uint32_t kMaxNameLength = 255;  // longest graph name a file may hold
  static CGlobalService* Create();

  CPointMapper();
  ~CPointMapper() override;

  // "MaxDeltaUp", then the tables from "RawData" (unless "ForceRebuild" says so) or built from the
  // "Container" children, then "OutputFile".
  bool Init(CConfigNode* node) override;
  // The point mapper takes no parameters.
  bool ReadParam(CConfigNode* node) override;
  const CGlobalServiceDesc* GetClassDesc() const override;

  // Index of the graph of that name (without regard to case); false when none, or when loaded tables do
  // not fit the world's graphs (below).
  virtual bool FindGraphIndex(const char* name, uint16_t* index) const;
  // The vertex of graph `target` that the object's current vertex corresponds to; false when the object
  // has no vertex, names no known graph or vertex, nothing corresponds, or loaded tables do not fit the
  // world's graphs.
  virtual bool MapPoint(const CPathTarget* object, uint16_t target, uint16_t* vertex) const;
  virtual bool Build(CConfigNode* node);
  // Nearest vertex of the wrapper's graph within MaxDeltaUp in height and in sight of the point.
  virtual uint16_t FindVisibleVertex(void* ignored, CGraphWrapper* wrapper, const CVector3& point) const;
  virtual bool Load(CConfigNode* rawData);
  virtual bool Save(const char* fileName) const;

  // Loading needs no graph: the names and vertex counts are checked against the graph manager's graphs
  // when the tables are first used (by then every global service of the world exists, in any order).
  bool LoadFromReader(Vusk::CDataReader* reader);
  // True when the tables may be used: built here, or loaded and every named graph of the current graph
  // manager has the stored vertex count. Loaded tables are checked once.
  bool FitsGraphs() const;
  float GetMaxDeltaUp() const { return m_maxDeltaUp; }
  uint16_t GetGraphCount() const { return m_graphCount; }
  uint16_t GetVertexCount(uint16_t graph) const { return graph < m_graphCount ? m_counts[graph] : 0; }
  const char* GetGraphName(uint16_t graph) const { return graph < m_graphCount ? m_names[graph] : nullptr; }
  // Entry of vertex `vertex` of graph `from` in graph `to`; kNone outside the tables.
  uint16_t GetEntry(uint16_t from, uint16_t to, uint16_t vertex) const;

private:
  void FreeTables();
  // Names, counts and the row array for `graphCount` graphs; the rows themselves come later.
  bool AllocateTables(uint16_t graphCount);
  // The table of graph `from` in graph `to`, allocated for the vertices of `from`; false when memory ran
  // out. A graph without vertices has no row and no tables.
  bool AllocateTable(uint16_t from, uint16_t to);
  uint16_t* Table(uint16_t from, uint16_t to) const { return m_tables[from] != nullptr ? m_tables[from][to] : nullptr; }

  float m_maxDeltaUp;     // largest height difference of a mapping (host units)
  uint16_t m_graphCount;  // G
  uint16_t* m_counts;     // vertex count of each graph
  char** m_names;         // name of each graph (owned copies)
  uint16_t*** m_tables;   // per graph `from`: null when it has no vertices, else its G tables
                          // (indexed by `to`; null on the diagonal)
  enum class Fit : uint8_t { kUnchecked, kFits, kRefused };
  mutable Fit m_fit = Fit::kFits;  // loaded tables against the world's graphs
};

namespace Vusk {
// True when "CPointMapper" and "CGraphWrapper" got a registry slot.
bool CheckPointMapperClasses();
}  // namespace Vusk
