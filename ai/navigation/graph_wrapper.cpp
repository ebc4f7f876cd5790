#include "ai/navigation/graph_wrapper.h"

#include "ai/navigation/graph_manager.h"
#include "ai/navigation/spatial_graph.h"
#include "ai/runtime/config_node.h"

CGraphWrapperDesc CGraphWrapper::s_classDesc("CGraphWrapper", &CGraphWrapper::Create, nullptr);

CGraphWrapper* CGraphWrapper::Create() { return new CGraphWrapper(); }

CGraphWrapper::~CGraphWrapper() = default;

bool CGraphWrapper::Init(CConfigNode* node) {
  if (node == nullptr || node->GetLabel() == nullptr) return false;
  CGraphManager* manager = Vusk::GetGraphManager();
  m_graph = manager != nullptr ? manager->FindGraph(node->GetLabel()) : nullptr;
  return m_graph != nullptr;
}

uint16_t CGraphWrapper::GetVertexCount() {
  return m_graph != nullptr ? static_cast<uint16_t>(m_graph->GetVertexCount()) : 0;
}

const CVector3* CGraphWrapper::GetVertexPosition(uint16_t index) {
  CGraphVertex* vertex = m_graph != nullptr ? m_graph->GetVertex(index) : nullptr;
  return vertex != nullptr ? &vertex->GetPosition() : nullptr;
}

const CGraphWrapperDesc* CGraphWrapper::GetClassDesc() const { return &s_classDesc; }
