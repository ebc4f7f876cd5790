// CGraphManager: the world's global service that owns the navigation graphs by name, with their graph
// data objects, and sizes the A* buffers for the largest of them.
#pragma once

#include <cstdint>

#include "ai/runtime/class_desc.h"
#include "ai/runtime/service.h"

class CConfigNode;
class CGraphData;
class CSpatialGraph;

// One graph with its name and data objects; owns both.
class CGraphEntry : public CEngineObject {
public:
  static constexpr uint32_t kNameSize = 128;  // name field, NUL included
  static constexpr uint32_t kMaxDataObjects = 32;

  CGraphEntry(const char* name, CSpatialGraph* graph, bool updateWithPathObjects);
  ~CGraphEntry() override;  // data objects first, then the graph

  // Appends a data object (owned from then on); false when the entry is full.
  bool AddData(CGraphData* data);

  char m_name[kNameSize];               // graph name, cut to 127 characters
  CSpatialGraph* m_graph;               // the graph
  uint8_t m_updateWithPathObjects;      // 1: path objects link themselves into this graph
  CGraphData* m_data[kMaxDataObjects];  // graph data objects in the order added
  uint32_t m_dataCount;                 // entries of m_data in use
};

class CGraphManager : public CGlobalService {
public:
  static CGlobalServiceDesc s_classDesc;  // "CGraphManager"
  static CGlobalService* Create();

  CGraphManager();
  ~CGraphManager() override;

  // Reads the parameters, then sizes the A* buffers for the largest graph unless "AstarMemory" did.
  bool Init(CConfigNode* definition) override;
  // "AstarMemory" and "Graph"; any other key is refused.
  bool ReadParam(CConfigNode* node) override;
  const CGlobalServiceDesc* GetClassDesc() const override;

  // Loads a graph from a "RawData" node; null when the name is null or taken, or the data do not load.
  CGraphEntry* AddGraph(const char* name, CConfigNode* rawData, bool updateWithPathObjects);
  // Adopts a graph built elsewhere; null (graph not adopted) when the name is null or taken. An
  // adopted graph ends with its entry (teams, agents and path finders name it).
  CGraphEntry* AddGraph(const char* name, CSpatialGraph* graph, bool updateWithPathObjects);
  // Name compared without regard to case.
  CSpatialGraph* FindGraph(const char* name) const;
  CGraphData* FindGraphData(const CSpatialGraph* graph, const CGraphDataDesc* descriptor) const;
  bool HasGraph(const CSpatialGraph* graph) const;

  uint32_t GetEntryCount() const { return m_entryCount; }
  CGraphEntry* GetEntry(uint32_t i) const { return i < m_entryCount ? m_entries[i] : nullptr; }

private:
  bool ReadGraph(CConfigNode* node);
  bool AppendEntry(CGraphEntry* entry);

  CGraphEntry** m_entries;   // owned entries
  uint32_t m_entryCount;     // entries in use
  uint32_t m_entryCapacity;  // entries allocated (8, doubling)
  uint8_t m_buffersSized;    // 1 when "AstarMemory" sized the A* buffers
};

namespace Vusk {
// The current world's graph manager; null without a world or manager.
CGraphManager* GetGraphManager();
// The current world's graph manager's FindGraphData; null without a manager.
CGraphData* FindWorldGraphData(const CSpatialGraph* graph, const CGraphDataDesc* descriptor);
}  // namespace Vusk
