#include "ai/navigation/graph_data.h"

#include "ai/navigation/data_file.h"
#include "ai/runtime/config_node.h"

CGraphData::~CGraphData() = default;

bool CGraphData::Load(CConfigNode* node) {
  CConfigNode* rawData = node != nullptr ? node->FindChild("RawData") : nullptr;
  if (rawData == nullptr) return false;
  Vusk::CRawDataReader reader(rawData);
  return LoadFromReader(&reader);
}

bool CGraphData::LoadFromFile(const char* fileName) {
  Vusk::CHostFileReader reader(fileName);
  return LoadFromReader(&reader);
}

CGraphData* Vusk::CreateGraphData(const char* className, CSpatialGraph* graph) {
  const CGraphDataDesc* desc = CGraphDataDesc::Find(className);
  if (desc == nullptr || desc->GetCreateFunction() == nullptr) return nullptr;
  return desc->GetCreateFunction()(graph);
}

bool Vusk::CheckNavigationClasses() {
  static const char* const kGraphData[] = {"CAstarData", "CAccessWaysData", "CFindNearestData", "CPathCostData"};
  static const char* const kHeuristics[] = {"CHeuristicEuclidianDistance", "CPathCostHeuristic", "CZeroHeuristic"};
  static const char* const kConstraints[] = {"CConstraint", "CConstraintConeVisionStealthPath",
                                             "CConstraintPointToFleePath", "CConstraintShortestPath",
                                             "CConstraintStealthPath"};
  static const char* const kGlobalServices[] = {"CPathObjectManager", "CGraphManager"};
  for (const char* name : kGraphData) {
    if (CGraphDataDesc::Find(name) == nullptr) return false;
  }
  for (const char* name : kHeuristics) {
    if (CHeuristicDesc::Find(name) == nullptr) return false;
  }
  for (const char* name : kConstraints) {
    if (CConstraintDesc::Find(name) == nullptr) return false;
  }
  for (const char* name : kGlobalServices) {
    if (CGlobalServiceDesc::Find(name) == nullptr) return false;
  }
  return CEntityClassDesc::Find("CPathObject") != nullptr && CGraphWrapperDesc::Find("CGraphWrapper") != nullptr;
}
