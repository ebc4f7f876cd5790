// Working data of the graph generator: "CGraphGenData" keeps a record per vertex and per edge of the
// generator graph (marks, exploration radius, per-sector candidate points), and "CSeedPathObject" hands
// the vertices and edges of an existing graph to the generator as path-object segments, so that a
// hand-made graph can seed the generated one.
#pragma once

#include <cstdint>

#include "ai/navigation/graph_data.h"
#include "ai/navigation/path_object.h"
#include "ai/runtime/vector3.h"

// Generator record of one vertex.
class CGenVertexRecord : public CEngineObject {
public:
  static constexpr int kMaxSectors = 36;

  CGenVertexRecord();
  virtual ~CGenVertexRecord();
  CGenVertexRecord(const CGenVertexRecord& other) = default;
  CGenVertexRecord& operator=(const CGenVertexRecord& other) = default;

  CVector3 GetSectorPoint(int i) const { return CVector3(m_points[i][0], m_points[i][1], m_points[i][2]); }
  void SetSectorPoint(int i, const CVector3& p) {
    m_points[i][0] = p.x;
    m_points[i][1] = p.y;
    m_points[i][2] = p.z;
  }

  uint8_t m_explored;              // 1 once every sector was tried or the vertex cannot be explored
  uint8_t m_secondMark;            // path-object mark (mark given when added)
  int32_t m_owner;                 // generator slot of the agent that claimed it; -1 = unclaimed
  float m_radius;                  // exploration radius (host units)
  uint32_t m_word;                 // spare word
  float m_points[kMaxSectors][3];  // per sector: aimed point
  float m_scores[kMaxSectors];     // per sector: openness score, smaller = more free space
  uint8_t m_open[kMaxSectors];     // per sector: 1 while not tried
};

// Generator record of one edge.
class CGenEdgeRecord : public CEngineObject {
public:
  CGenEdgeRecord() : m_firstMark(0), m_secondMark(0) {}
  virtual ~CGenEdgeRecord();
  CGenEdgeRecord(const CGenEdgeRecord& other) = default;
  CGenEdgeRecord& operator=(const CGenEdgeRecord& other) = default;

  uint8_t m_firstMark;   // tried (edge collapse) or tested (validation)
  uint8_t m_secondMark;  // path-object mark
};

class CGraphGenData : public CGraphData {
public:
  static CGraphDataDesc s_classDesc;  // "CGraphGenData"
  static constexpr uint32_t kMinCapacity = 10000;
  static CGraphData* Create(CSpatialGraph* owner);

  explicit CGraphGenData(CSpatialGraph* owner);
  ~CGraphGenData() override;

  // Allocates the records (the node is not read); false when memory runs out.
  bool Load(CConfigNode* node) override;
  const CGraphDataDesc* GetClassDesc() const override;
  bool Build() override { return true; }
  // Creates an empty file of that name; true when it could be opened.
  bool Save(const char* fileName) override;
  // There is nothing to read: opens and closes the source.
  bool LoadFromReader(Vusk::CDataReader* reader) override;

  // Record of that index; an index at or beyond the capacity grows the array to twice the index,
  // keeping the records. Null when the index is negative or memory runs out.
  CGenVertexRecord* GetVertexRecord(int32_t index);
  CGenEdgeRecord* GetEdgeRecord(int32_t index);
  uint32_t GetVertexCapacity() const { return m_vertexCapacity; }
  uint32_t GetEdgeCapacity() const { return m_edgeCapacity; }

private:
  CGenVertexRecord* m_vertices;  // m_vertexCapacity records
  uint32_t m_vertexCapacity;
  CGenEdgeRecord* m_edges;  // m_edgeCapacity records
  uint32_t m_edgeCapacity;
};

// Path object whose segments are the vertices (zero-length segments) and edges of a named graph of the
// world's graph manager. At most one exists at a time.
class CSeedPathObject : public CPathObject {
public:
  static CEntityClassDesc s_classDesc;  // "CSeedPathObject"
  static constexpr int kNameSize = 256;
  static CEntity* Create(const char* name, void* hostObject);
  // The seed path object in existence, or null.
  static CSeedPathObject* GetCurrent();

  CSeedPathObject(const char* name, void* hostObject);
  ~CSeedPathObject() override;

  // Reads "SEED_GRAPH" (required, at most 255 characters) and finds that graph; false without it.
  bool Init(CConfigNode* definition) override;
  const CEntityClassDesc* GetClassDesc() const override;
  void Update() override {}
  uint32_t GetSegmentCount() override;
  // One segment per vertex, then one per edge, made on the first call.
  CPathSegment* GetSegments() override;
  void LinkToGraph(CSpatialGraph*) override {}

  CSpatialGraph* GetSeedGraph() const { return m_seedGraph; }

private:
  char m_seedName[kNameSize];  // name of the seed graph
  CSpatialGraph* m_seedGraph;  // found at Init, not owned
  CPathSegment* m_segments;    // made on first request
  uint32_t m_segmentCount;
};
