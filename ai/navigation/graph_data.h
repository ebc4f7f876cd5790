// Graph data: precomputed data objects that speed up queries on one graph ("CFindNearestData",
// "CAstarData", "CPathCostData", ...). Each is created by class name for an owner graph, can build its
// data from the graph, save it to an AI data file and load it again from a "RawData" block.
#pragma once

#include "ai/runtime/class_desc.h"
#include "ai/runtime/engine_object.h"

class CConfigNode;
class CSpatialGraph;

namespace Vusk {
class CDataReader;
}

class CGraphData : public CEngineObject {
public:
  explicit CGraphData(CSpatialGraph* owner) : m_graph(owner) {}
  // Data handed to a graph entry end with it (the entry, path finders and agents name them).
  ~CGraphData() override;

  // Reads the data from the node's child "RawData"; false without one.
  virtual bool Load(CConfigNode* node);
  virtual const CGraphDataDesc* GetClassDesc() const = 0;
  // Computes the data from the owner graph.
  virtual bool Build() = 0;
  // Writes the data file through the host's file callbacks.
  virtual bool Save(const char* fileName) = 0;
  // Reads a whole data file (magic, version, body) from a reader that is not yet open; closes it.
  virtual bool LoadFromReader(Vusk::CDataReader* reader) = 0;

  // Reads a data file through the host's file callbacks.
  bool LoadFromFile(const char* fileName);
  CSpatialGraph* GetGraph() const { return m_graph; }

protected:
  CSpatialGraph* m_graph;  // owner graph (not owned)
};

namespace Vusk {

// Creates a graph-data object of the registered class `className` (exact match) for `graph`; null when the
// class is unknown, abstract or memory runs out.
CGraphData* CreateGraphData(const char* className, CSpatialGraph* graph);

// True when every navigation class the engine relies on is registered.
bool CheckNavigationClasses();

}  // namespace Vusk
