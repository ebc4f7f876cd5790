// CGraphWrapper: a small named object of its own class family that points at one graph of the world's
// graph manager by name (the point mapper makes one per "Container").
#pragma once

#include <cstdint>

#include "ai/runtime/class_desc.h"
#include "ai/runtime/engine_object.h"
#include "ai/runtime/vector3.h"

class CConfigNode;
class CSpatialGraph;

class CGraphWrapper : public CEngineObject {
public:
  static CGraphWrapperDesc s_classDesc;  // "CGraphWrapper"
  static CGraphWrapper* Create();

  CGraphWrapper() = default;
  ~CGraphWrapper() override;
  // Looks the node's label up as a graph name in the current world's graph manager; false for a null
  // node, a node without label, or a name no graph has.
  virtual bool Init(CConfigNode* node);
  // The wrapped graph's vertex count, as 16 bits.
  virtual uint16_t GetVertexCount();
  // Position of vertex `index`; null when there is no such vertex.
  virtual const CVector3* GetVertexPosition(uint16_t index);
  virtual const CGraphWrapperDesc* GetClassDesc() const;

  CSpatialGraph* GetGraph() const { return m_graph; }

protected:
  CSpatialGraph* m_graph = nullptr;  // the wrapped graph (not owned)
};
