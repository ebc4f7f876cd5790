#include "ai/navigation/graph_generator.h"

#include <strings.h>

#include <cmath>
#include <cstdlib>
#include <cstring>

#include "ai/navigation/astar.h"
#include "ai/navigation/graph_data.h"
#include "ai/navigation/graph_gen_data.h"
#include "ai/navigation/path_object.h"
#include "ai/navigation/path_object_manager.h"
#include "ai/navigation/spatial_graph.h"
#include "ai/runtime/allocator.h"
#include "ai/runtime/config_node.h"
#include "ai/runtime/engine.h"
#include "ai/runtime/entity.h"
#include "ai/runtime/world.h"
#include "ai/runtime/world_api.h"

CAgentDesc CGraphGeneratorAgent::s_classDesc("CGraphGeneratorAgent", &CGraphGeneratorAgent::Create, nullptr, false,
                                             false);
CBrainDesc CGraphGeneratorBrain::s_classDesc("CGraphGeneratorBrain", &CGraphGeneratorBrain::Create, nullptr, false,
                                             false);

namespace {

constexpr uint32_t kQueryMode = 2;
constexpr uint32_t kTableSearchLimit = 500;
constexpr float kNoVertex = 1000000000.0f;
constexpr float kNoPosition = -10000.0f;
constexpr float kNoPositionNewVertex = -20000.0f;

// State shared by every generator agent.
struct GeneratorState {
  CSpatialGraph* graph = nullptr;
  CGraphGenData* data = nullptr;
  uint8_t phase = 0;
  uint8_t graphChanged = 1;
  char denseGraph[CGraphGeneratorAgent::kFileNameSize] = {};
  char denseGraphWithEdges[CGraphGeneratorAgent::kFileNameSize] = {};
  char finalGraph[CGraphGeneratorAgent::kFileNameSize] = {};
  // Per class of the graph-data registry: the requested object and its output file.
  CGraphData** objects = nullptr;
  char (*outputs)[CGraphGeneratorAgent::kFileNameSize] = nullptr;
  uint32_t classCount = 0;
  // Generator table: the entities whose brain has a generator agent, and a flag per slot.
  CEntity** table = nullptr;
  uint8_t* flags = nullptr;
  uint32_t tableSize = 0;
  uint32_t occupied = 0;
  uint32_t agents = 0;  // generator agents in existence
};

GeneratorState g_state;

// An array of `count` zeroed elements (at least one) from the engine's allocator; null when memory ran out.
template <class T> T* ZeroedArray(size_t count) {
  const size_t bytes = (count > 0 ? count : 1) * sizeof(T);
  void* block = Vusk::EngineAllocate(bytes);
  if (block != nullptr) std::memset(block, 0, bytes);
  return static_cast<T*>(block);
}

double Now() {
  const CEngineSettings& settings = Vusk::GetEngineSettings();
  return settings.clock != nullptr ? settings.clock(settings.clockUser) : 0.0;
}

float Distance(const CVector3& a, const CVector3& b) { return std::sqrt(CVector3::DistanceSquared(a, b)); }

bool IsZero(const CVector3& v) { return v.x == 0.0f && v.y == 0.0f && v.z == 0.0f; }

// Ray from `from` straight down over `depth`: the hit fraction (1 when nothing is hit) and the normal.
float RayDown(CGraphGeneratorAgent* agent, const CVector3& from, float depth, CVector3* normal = nullptr) {
  CRayHit hit;
  const CEngineSettings& settings = Vusk::GetEngineSettings();
  if (settings.ray != nullptr && depth > 0.0f) {
    settings.ray(from, CVector3(from.x, from.y - depth, from.z), agent->GetEntity(), &hit, kQueryMode);
  }
  if (normal != nullptr) normal->Set(hit.normal[0], hit.normal[1], hit.normal[2]);
  return hit.fraction;
}

float RayFraction(CGraphGeneratorAgent* agent, const CVector3& from, const CVector3& to) {
  CRayHit hit;
  const CEngineSettings& settings = Vusk::GetEngineSettings();
  if (settings.ray != nullptr) settings.ray(from, to, agent->GetEntity(), &hit, kQueryMode);
  return hit.fraction;
}

bool LineOfSight(CGraphGeneratorAgent* agent, const CVector3& a, const CVector3& b) {
  return Vusk::HasLineOfSight(a, b, agent->GetEntity(), kQueryMode);
}

void DrawLine(const CVector3& a, const CVector3& b, uint8_t r, uint8_t g, uint8_t bl) {
  const CHostServices* host = Vusk::GetHostServices();
  const CEngineSettings& settings = Vusk::GetEngineSettings();
  if (host != nullptr && host->drawLine != nullptr && settings.drawLine != nullptr) settings.drawLine(a, b, r, g, bl);
}

void DrawPoint(const CVector3& p, uint8_t r, uint8_t g, uint8_t b) {
  const CHostServices* host = Vusk::GetHostServices();
  const CEngineSettings& settings = Vusk::GetEngineSettings();
  if (host != nullptr && host->drawPoint != nullptr && settings.drawPoint != nullptr) settings.drawPoint(p, r, g, b);
}

bool Drawing() {
  const CHostServices* host = Vusk::GetHostServices();
  return host != nullptr && (host->drawLine != nullptr || host->drawPoint != nullptr);
}

CGenVertexRecord* VertexRecord(const CGraphVertex* v) { return g_state.data->GetVertexRecord(v->GetIndex()); }
CGenEdgeRecord* EdgeRecord(const CGraphEdge* e) { return g_state.data->GetEdgeRecord(e->GetIndex()); }

// Clamps the point into the bounding box (when it has a size); true when the point was inside.
bool ClampIntoBox(const CGraphGeneratorAgent* agent, CVector3* p) {
  const CVector3& lo = agent->m_boxMin;
  const CVector3& hi = agent->m_boxMax;
  if (lo.x == hi.x && lo.y == hi.y && lo.z == hi.z) return true;
  CVector3 clamped(std::fmin(std::fmax(p->x, lo.x), hi.x), std::fmin(std::fmax(p->y, lo.y), hi.y),
                   std::fmin(std::fmax(p->z, lo.z), hi.z));
  bool inside = clamped.x == p->x && clamped.y == p->y && clamped.z == p->z;
  *p = clamped;
  return inside;
}

void ClearActions(CGraphGeneratorAgent* agent) {
  if (agent->GetActionClass() != nullptr) agent->GetActionClass()->ClearActions();
}

void SetRotate(CGraphGeneratorAgent* agent, float heading) {
  if (agent->m_rotate == nullptr) return;
  agent->m_rotate->value = heading;
  agent->m_rotate->set = 1;
}

void SetSpeed(CGraphGeneratorAgent* agent, float speed) {
  if (agent->m_speed == nullptr) return;
  agent->m_speed->value = speed;
  agent->m_speed->set = 1;
}

void MoveEntity(CGraphGeneratorAgent* agent, const CVector3& position) {
  CEntity* entity = agent->GetEntity();
  entity->SetPosition(position);
  Vusk::NotifyGeneratedPosition(entity);
}

// Puts the entity at `position` facing `target`.
void PlaceEntity(CGraphGeneratorAgent* agent, const CVector3& position, const CVector3& target) {
  CEntity* entity = agent->GetEntity();
  MoveEntity(agent, position);
  CVector3 d = CVector3::Subtract(target, position);
  CVector3 direction = IsZero(d) ? CVector3::UnitX : CVector3::GetNormalized(d);
  CVector3 angles = Vusk::DirectionToAngle(direction);
  entity->SetDirection(direction);
  entity->SetAngles(angles);
  Vusk::NotifyGeneratedVectors(entity);
  SetRotate(agent, angles.y);
}

void Steer(CGraphGeneratorAgent* agent) {
  CVector3 d = CVector3::Subtract(agent->m_currentPoint, agent->GetEntity()->GetPosition());
  if (!IsZero(d)) SetRotate(agent, Vusk::DirectionToAngle(d).y);
  float length = d.Length();
  float factor = length > agent->m_fullSpeedDistance ? 1.0f : length > agent->m_halfSpeedDistance ? 0.5f : 0.2f;
  SetSpeed(agent, factor * agent->m_maxSpeed);
}

// True when the walk under way has lasted more than (distance to its target / maximum speed) x ratio
// seconds. A walker whose maximum speed is 0 is given all the time it takes: its walks never time out.
bool WalkTimedOut(const CGraphGeneratorAgent* agent, double now, float ratio) {
  if (agent->m_maxSpeed == 0.0f) return false;
  return now - agent->m_walkStart > (agent->m_targetDistance / agent->m_maxSpeed) * ratio;
}

bool ClearPassage(CGraphGeneratorAgent* agent, const CVector3& a, const CVector3& b) {
  const CVector3 knee(0.0f, agent->m_kneeHeight, 0.0f);
  return LineOfSight(agent, a, b) && LineOfSight(agent, a - knee, b - knee) &&
         Vusk::SweepTest(a, b, agent->GetEntity(), kQueryMode, agent->m_bodyWidth);
}

bool SweepMove(CGraphGeneratorAgent* agent, const CVector3& a, const CVector3& b) {
  float width = agent->m_widthAttribute != nullptr ? agent->m_widthAttribute->value : 0.0f;
  return Vusk::SweepTest(a, b, agent->GetEntity(), kQueryMode, width);
}

// Distance from p to the nearest vertex in sight with no hole between (visit stops at the first within a
// third of the average radius); kNoVertex when none.
float NearestVisibleDistance(CGraphGeneratorAgent* agent, const CVector3& p) {
  CSpatialGraph* graph = g_state.graph;
  float best = kNoVertex;
  const float nearEnough = agent->m_radiusAverage / 3.0f;
  for (int32_t i = 0; i <= graph->GetLastVertexIndex(); ++i) {
    CGraphVertex* v = graph->GetVertex(i);
    if (v == nullptr) continue;
    float d = Distance(v->GetPosition(), p);
    if (d >= best || !LineOfSight(agent, p, v->GetPosition()) || Vusk::GraphGenHasHole(agent, p, v->GetPosition())) {
      continue;
    }
    best = d;
    if (best <= nearEnough) break;
  }
  return best;
}

// Adds A -> B and B -> A where missing, each priced by its length and given the mark.
bool AddTwoWayEdge(CGraphVertex* a, CGraphVertex* b, uint8_t mark) {
  CGraphVertex* ends[2][2] = {{a, b}, {b, a}};
  for (auto& pair : ends) {
    if (g_state.graph->FindEdgeTo(pair[0], pair[1]) != nullptr) continue;
    CGraphEdgeData data;
    data.m_length = data.m_cost = Distance(pair[0]->GetPosition(), pair[1]->GetPosition());
    int32_t index = g_state.graph->AddEdge(data, pair[0], pair[1], -1);
    CGenEdgeRecord* record = index >= 0 ? g_state.data->GetEdgeRecord(index) : nullptr;
    if (record == nullptr) return false;
    *record = CGenEdgeRecord();
    record->m_secondMark = mark;
  }
  return true;
}

// Picks the open sector of the current vertex with the smallest score, closes it and makes its point the
// target; marks the vertex explored when none is open.
bool ChooseNextSector(CGraphGeneratorAgent* agent) {
  CGraphVertex* vertex = agent->m_currentVertex;
  if (vertex == nullptr) return false;
  CGenVertexRecord* record = VertexRecord(vertex);
  int chosen = -1;
  float best = 1000000.0f;
  for (int i = 0; i < agent->m_sectorCount; ++i) {
    if (record->m_open[i] != 0 && record->m_scores[i] < best) {
      best = record->m_scores[i];
      chosen = i;
    }
  }
  if (chosen < 0) {
    record->m_explored = 1;
    return false;
  }
  record->m_open[chosen] = 0;
  agent->m_currentPoint = record->GetSectorPoint(chosen);
  agent->m_targetDistance = Distance(vertex->GetPosition(), agent->m_currentPoint);
  return true;
}

// Claims the first unexplored, unclaimed vertex that has an open sector and starts walking from it.
bool ChooseNextVertex(CGraphGeneratorAgent* agent) {
  CSpatialGraph* graph = g_state.graph;
  for (int32_t i = 0; i <= graph->GetLastVertexIndex(); ++i) {
    CGraphVertex* v = graph->GetVertex(i);
    if (v == nullptr) continue;
    CGenVertexRecord* record = VertexRecord(v);
    if (record->m_explored != 0 || record->m_owner >= 0) continue;
    record->m_owner = agent->m_slot;
    record->m_radius = agent->m_radiusAverage;
    if (!Vusk::GraphGenComputeSectors(agent, v)) {
      record->m_explored = 1;
      continue;
    }
    agent->m_currentVertex = v;
    if (!ChooseNextSector(agent)) continue;
    PlaceEntity(agent, v->GetPosition(), agent->m_currentPoint);
    agent->m_walking = 1;
    return true;
  }
  agent->m_currentVertex = nullptr;
  agent->m_walking = 0;
  return false;
}

// Sets this agent's slot flag; true while another generator entity still has its flag clear.
bool OthersStillBusy(CGraphGeneratorAgent* agent) {
  if (agent->m_slot >= 0 && static_cast<uint32_t>(agent->m_slot) < g_state.tableSize) g_state.flags[agent->m_slot] = 1;
  for (uint32_t i = 0; i < g_state.tableSize; ++i) {
    if (g_state.table[i] != nullptr && g_state.table[i]->GetBrain() != nullptr && g_state.flags[i] == 0) return true;
  }
  return false;
}

// Removes every vertex without incoming or without outgoing edges, clearing the explored mark of the rest.
void RemoveDeadEnds() {
  CSpatialGraph* graph = g_state.graph;
  for (int32_t i = 0; i <= graph->GetLastVertexIndex(); ++i) {
    CGraphVertex* v = graph->GetVertex(i);
    if (v == nullptr) continue;
    VertexRecord(v)->m_explored = 0;
    if (v->GetIncomingCount() == 0 || v->GetOutgoingCount() == 0) graph->RemoveVertex(i);
  }
}

// Reads the generator graph from a file at the entry of a phase that a run starts with and marks the
// path objects on it; false, with nothing read or marked, for an empty name. A file that does not read
// to its end leaves the graph as far as it was read, and the phase goes on with that.
bool ReadGraphForPhase(CGraphGeneratorAgent* agent, const char* fileName) {
  if (fileName[0] == '\0') return false;
  g_state.graph->LoadFromFile(fileName);
  Vusk::GraphGenLinkPathObjects(agent);
  return true;
}

// Generator-data records follow the graph's compaction: records of the moved indices move with them.
void CompactGraph(CGraphGeneratorAgent* agent) {
  CSpatialGraph* graph = g_state.graph;
  if (graph->HasDenseVertices() && graph->GetLastEdgeIndex() == graph->GetEdgeCount() - 1) return;
  int32_t next = 0;
  for (int32_t i = 0; i <= graph->GetLastVertexIndex(); ++i) {
    if (graph->GetVertex(i) == nullptr) continue;
    if (next != i) *g_state.data->GetVertexRecord(next) = *g_state.data->GetVertexRecord(i);
    ++next;
  }
  next = 0;
  for (int32_t i = 0; i <= graph->GetLastEdgeIndex(); ++i) {
    if (graph->GetEdge(i) == nullptr) continue;
    if (next != i) *g_state.data->GetEdgeRecord(next) = *g_state.data->GetEdgeRecord(i);
    ++next;
  }
  graph->Compact();
  (void)agent;
}

void SaveIfNamed(const char* fileName) {
  if (fileName[0] != '\0') g_state.graph->Save(fileName);
}

// Copies text into a fixed field; false (field empty) when it does not fit.
bool CopyName(char* field, const char* text) {
  field[0] = '\0';
  if (text == nullptr || std::strlen(text) >= CGraphGeneratorAgent::kFileNameSize) return false;
  std::strcpy(field, text);
  return true;
}

bool ReadPoint(CConfigNode* node, CVector3* point) {
  const char* x = node->GetChildValue("x");
  const char* y = node->GetChildValue("y");
  const char* z = node->GetChildValue("z");
  if (x == nullptr || y == nullptr || z == nullptr) return false;
  point->Set(static_cast<float>(std::atof(x)), static_cast<float>(std::atof(y)), static_cast<float>(std::atof(z)));
  return true;
}

CGraphGeneratorAgent* AgentOf(CEntity* entity) {
  CBrain* brain = entity != nullptr ? entity->GetBrain() : nullptr;
  return brain != nullptr ? static_cast<CGraphGeneratorAgent*>(brain->GetAgent(&CGraphGeneratorAgent::s_classDesc))
                          : nullptr;
}

void OnEntityAdded(CEntity* entity, void*) {
  CGraphGeneratorAgent* agent = AgentOf(entity);
  if (agent == nullptr || g_state.table == nullptr) return;
  uint32_t limit = g_state.tableSize < kTableSearchLimit ? g_state.tableSize : kTableSearchLimit;
  for (uint32_t i = 0; i < limit; ++i) {
    if (g_state.table[i] != nullptr) continue;
    g_state.table[i] = entity;
    g_state.flags[i] = 0;
    ++g_state.occupied;
    agent->m_slot = static_cast<int32_t>(i);
    return;
  }
}

void OnEntityRemoved(CEntity* entity, void*) {
  for (uint32_t i = 0; i < g_state.tableSize; ++i) {
    if (g_state.table[i] != entity) continue;
    g_state.table[i] = nullptr;
    g_state.flags[i] = 0;
    --g_state.occupied;
  }
}

void DeleteGraphDataObjects() {
  for (uint32_t i = 0; i < g_state.classCount; ++i) {
    delete g_state.objects[i];
    g_state.objects[i] = nullptr;
  }
}

// A new empty generator graph, new generator data, and the requested graph-data objects for it.
bool RecreateGraph() {
  for (uint32_t i = 0; i < g_state.classCount; ++i) {
    delete g_state.objects[i];
    g_state.objects[i] = nullptr;
  }
  delete g_state.data;
  delete g_state.graph;
  g_state.data = nullptr;
  g_state.graph = new CSpatialGraph();
  if (g_state.graph == nullptr) return false;
  g_state.data = new CGraphGenData(g_state.graph);
  if (g_state.data == nullptr || !g_state.data->Load(nullptr)) return false;
  for (uint32_t i = 0; i < g_state.classCount; ++i) {
    if (g_state.outputs[i][0] == '\0') continue;
    const CGraphDataDesc* desc = static_cast<const CGraphDataDesc*>(CGraphDataDesc::GetRegistry().GetAt(i));
    if (desc != nullptr && desc->GetCreateFunction() != nullptr)
      g_state.objects[i] = desc->GetCreateFunction()(g_state.graph);
  }
  return true;
}

}  // namespace

// ---- agent --------------------------------------------------------------------------------------------

CAgent* CGraphGeneratorAgent::Create(CBrain* owner) { return new CGraphGeneratorAgent(owner); }

CGraphGeneratorAgent::CGraphGeneratorAgent(CBrain* owner)
    : CAgent(owner),
      m_slot(-1),
      m_walking(1),
      m_firstStep(1),
      m_phaseFinished(0),
      m_radiusMax(0.0f),
      m_radiusAverage(0.0f),
      m_sectorCount(36),
      m_currentVertex(nullptr),
      m_currentEdge(nullptr),
      m_lastPosition(kNoPosition, kNoPosition, kNoPosition),
      m_lastTime(0.0),
      m_smoothedSpeed(0.0f),
      m_walkStart(0.0),
      m_targetDistance(0.0f),
      m_pathObjects(nullptr),
      m_exploration(1),
      m_validation(1),
      m_collapse(1),
      m_additionalData(1),
      m_paramRadiusAverage(0.0f),
      m_paramRadiusMax(0.0f),
      m_fullSpeedDistance(0.0f),
      m_halfSpeedDistance(0.0f),
      m_bodyWidth(0.0f),
      m_ratioBodyWidth(0.25f),
      m_kneeHeight(0.0f),
      m_ratioBodyToKnees(0.0f),
      m_destinationHeight(0.0f),
      m_ratioHeightDestination(0.75f),
      m_emptyDepth(0.0f),
      m_ratioDepthEmpty(1.5f),
      m_emptyOffset(0.0f),
      m_ratioOffsetEmpty(0.125f),
      m_holeDepth(0.0f),
      m_ratioDepthHole(1.0f),
      m_holeStep(0.0f),
      m_ratioStepHole(0.35f),
      m_maxValidEdge(0.0f),
      m_semiTransparentTest(1),
      m_raysPerCylinder(10),
      m_holeCheckpoints(10),
      m_distStop(0.0f),
      m_ratioTimerDenseGraph(3.0f),
      m_ratioTimerCreateArcs(3.0f),
      m_startingPointGiven(0),
      m_maxSpeedAttribute(nullptr),
      m_widthAttribute(nullptr),
      m_heightAttribute(nullptr),
      m_rotate(nullptr),
      m_speed(nullptr),
      m_maxSpeed(0.0f) {
  if (g_state.agents++ > 0) return;
  // Engine memory, zeroed: no object requested, no output name, every slot free. A table that cannot
  // be had is no table (no class entries, no slots).
  const CClassRegistry& registry = CGraphDataDesc::GetRegistry();
  g_state.classCount = registry.GetCount();
  g_state.objects = ZeroedArray<CGraphData*>(g_state.classCount);
  g_state.outputs = reinterpret_cast<char (*)[kFileNameSize]>(ZeroedArray<char>(g_state.classCount * kFileNameSize));
  if (g_state.objects == nullptr || g_state.outputs == nullptr) g_state.classCount = 0;
  CWorld* world = Vusk::GetCurrentWorld();
  g_state.tableSize = world != nullptr ? world->GetMaxEntity() : 0;
  g_state.table = ZeroedArray<CEntity*>(g_state.tableSize);
  g_state.flags = ZeroedArray<uint8_t>(g_state.tableSize);
  if (g_state.table == nullptr || g_state.flags == nullptr) g_state.tableSize = 0;
  g_state.occupied = 0;
  Vusk::AddEntityAddedCallback(world, &OnEntityAdded, nullptr);
  Vusk::AddEntityRemovedCallback(world, &OnEntityRemoved, nullptr);
}

CGraphGeneratorAgent::~CGraphGeneratorAgent() {
  if (g_state.phase == 1 && m_currentVertex != nullptr && g_state.data != nullptr) {
    VertexRecord(m_currentVertex)->m_owner = -1;
  }
  if (g_state.phase == 3 && m_currentEdge != nullptr && g_state.data != nullptr) {
    EdgeRecord(m_currentEdge)->m_firstMark = 0;
  }
  OnEntityRemoved(GetEntity(), nullptr);
  if (--g_state.agents > 0) return;
  // The last generator agent takes the shared state with it (the callbacks first: the seed object
  // leaves the world here).
  Vusk::RemoveEntityAddedCallback(nullptr, &OnEntityAdded, nullptr);
  Vusk::RemoveEntityRemovedCallback(nullptr, &OnEntityRemoved, nullptr);
  Vusk::DestroyEntity(CSeedPathObject::GetCurrent());
  DeleteGraphDataObjects();
  delete g_state.data;
  delete g_state.graph;
  Vusk::EngineFree(g_state.objects);
  Vusk::EngineFree(g_state.outputs);
  Vusk::EngineFree(g_state.table);
  Vusk::EngineFree(g_state.flags);
  g_state = GeneratorState();
}

const CAgentDesc* CGraphGeneratorAgent::GetClassDesc() const { return &s_classDesc; }

CEntity* CGraphGeneratorAgent::GetEntity() const { return GetBrain() != nullptr ? GetBrain()->GetOwner() : nullptr; }

bool CGraphGeneratorAgent::ReadParameters(CConfigNode* definition) {
  const float s = Vusk::GetCurrentOneMeter();
  m_exploration = m_validation = m_collapse = m_additionalData = 1;
  m_sectorCount = 36;
  m_paramRadiusAverage = 5.0f * s;
  m_paramRadiusMax = 10.0f * s;
  m_maxValidEdge = 100.0f * s;
  m_fullSpeedDistance = 2.0f * s;
  m_halfSpeedDistance = s;
  m_bodyWidth = 0.25f * s;
  m_kneeHeight = 0.5f * s;
  m_destinationHeight = 1.5f * s;
  m_emptyDepth = 2.0f * s;
  m_emptyOffset = 0.25f * s;
  m_holeDepth = 1.75f * s;
  m_holeStep = 0.35f * s;
  m_distStop = 0.5f * s;
  m_startingPoint = CVector3::Zero;
  m_startingPointGiven = 0;
  m_boxMin = m_boxMax = CVector3::Zero;
  bool ok = true;
  bool haveDense = false, haveFinal = false;
  char dense[kFileNameSize] = {}, denseEdges[kFileNameSize] = {}, final[kFileNameSize] = {};
  // The keys are taken in this order wherever they stand, so that "RADIUS_MAX" and
  // "MAX_LENGTH_VALID_EDGE" override what "RADIUS_AVERAGE" derives.
  static const char* const kKeys[] = {"FIRST_STEP",
                                      "NB_SECTORS",
                                      "RADIUS_AVERAGE",
                                      "RADIUS_MAX",
                                      "FULL_SPEED_DIST",
                                      "HALF_SPEED_DIST",
                                      "RATIO_BODY_WIDTH",
                                      "RATIO_BODY_TO_KNEES",
                                      "RATIO_HEIGHT_DESTINATION",
                                      "RATIO_DEPTH_TEST_EMPTY",
                                      "RATIO_DECAL_HORI_TEST_EMPTY",
                                      "RATIO_DEPTH_TEST_HOLE",
                                      "RATIO_STEP_TEST_HOLE",
                                      "MAX_LENGTH_VALID_EDGE",
                                      "SEMI_TRANSPARENT_OBJECTS_TEST",
                                      "NB_RAYS_PER_CYLINDER",
                                      "HOLE_NB_CHECKPOINTS",
                                      "DistStop",
                                      "RATIO_TIMER_DENSE_GRAPH",
                                      "RATIO_TIMER_CREATE_ARCS",
                                      "STARTING_POINT",
                                      "BB_MIN",
                                      "BB_MAX",
                                      "DenseGraph",
                                      "DenseGraphWithEdges",
                                      "FinalGraph"};
  for (const char* key : kKeys) {
    for (uint32_t i = 0; i < definition->GetChildCount(); ++i) {
      CConfigNode* child = definition->GetChild(i);
      if (!child->HasName(key)) continue;
      const char* value = child->GetValue();
      const float number = value != nullptr ? static_cast<float>(std::atof(value)) : 0.0f;
      if (child->HasName("FIRST_STEP")) {
        bool dataOnly = value != nullptr && strcasecmp(value, "ADDITIONAL_DATA") == 0;
        bool fromEdges = value != nullptr && strcasecmp(value, "SIMPLIFY_EDGES") == 0;
        m_exploration = dataOnly || fromEdges ? 0 : 1;
        m_validation = m_collapse = m_additionalData = dataOnly ? 0 : 1;
      } else if (child->HasName("NB_SECTORS")) {
        int sectors = value != nullptr ? std::atoi(value) : 0;
        if (sectors >= 3 && sectors <= 35) m_sectorCount = sectors;
      } else if (child->HasName("RADIUS_AVERAGE")) {
        m_paramRadiusAverage = number * s;
        m_paramRadiusMax = 2.0f * m_paramRadiusAverage;
        m_maxValidEdge = 3.0f * m_paramRadiusAverage;
      } else if (child->HasName("RADIUS_MAX")) {
        m_paramRadiusMax = number * s;
      } else if (child->HasName("FULL_SPEED_DIST")) {
        m_fullSpeedDistance = number * s;
      } else if (child->HasName("HALF_SPEED_DIST")) {
        m_halfSpeedDistance = number * s;
      } else if (child->HasName("RATIO_BODY_WIDTH")) {
        m_ratioBodyWidth = number;
      } else if (child->HasName("RATIO_BODY_TO_KNEES")) {
        m_ratioBodyToKnees = number;
      } else if (child->HasName("RATIO_HEIGHT_DESTINATION")) {
        m_ratioHeightDestination = number;
      } else if (child->HasName("RATIO_DEPTH_TEST_EMPTY")) {
        m_ratioDepthEmpty = number;
      } else if (child->HasName("RATIO_DECAL_HORI_TEST_EMPTY")) {
        m_ratioOffsetEmpty = number;
      } else if (child->HasName("RATIO_DEPTH_TEST_HOLE")) {
        m_ratioDepthHole = number;
      } else if (child->HasName("RATIO_STEP_TEST_HOLE")) {
        m_ratioStepHole = number;
      } else if (child->HasName("MAX_LENGTH_VALID_EDGE")) {
        m_maxValidEdge = number * s;
      } else if (child->HasName("SEMI_TRANSPARENT_OBJECTS_TEST")) {
        m_semiTransparentTest = value != nullptr && strcasecmp(value, "NO") == 0 ? 0 : 1;
      } else if (child->HasName("NB_RAYS_PER_CYLINDER")) {
        m_raysPerCylinder = value != nullptr ? std::atoi(value) : 0;
      } else if (child->HasName("HOLE_NB_CHECKPOINTS")) {
        int checkpoints = value != nullptr ? std::atoi(value) : 0;
        m_holeCheckpoints = checkpoints > 0 ? checkpoints : 0;
      } else if (child->HasName("DistStop")) {
        m_distStop = number * s;
      } else if (child->HasName("RATIO_TIMER_DENSE_GRAPH")) {
        m_ratioTimerDenseGraph = number;
      } else if (child->HasName("RATIO_TIMER_CREATE_ARCS")) {
        m_ratioTimerCreateArcs = number;
      } else if (child->HasName("STARTING_POINT")) {
        ok = ok && ReadPoint(child, &m_startingPoint);
        m_startingPointGiven = 1;
      } else if (child->HasName("BB_MIN")) {
        ok = ok && ReadPoint(child, &m_boxMin);
      } else if (child->HasName("BB_MAX")) {
        ok = ok && ReadPoint(child, &m_boxMax);
      } else if (child->HasName("DenseGraph")) {
        haveDense = CopyName(dense, value);
      } else if (child->HasName("DenseGraphWithEdges")) {
        ok = ok && (value == nullptr || CopyName(denseEdges, value));
      } else if (child->HasName("FinalGraph")) {
        haveFinal = CopyName(final, value);
      }
    }
  }
  if (!ok || !haveDense || !haveFinal) return false;
  std::strcpy(g_state.denseGraph, dense);
  std::strcpy(g_state.denseGraphWithEdges, denseEdges);
  std::strcpy(g_state.finalGraph, final);
  if (g_state.graph == nullptr) {
    delete g_state.data;
    g_state.data = nullptr;
    g_state.graph = new CSpatialGraph();
    if (g_state.graph == nullptr) return false;
    g_state.data = new CGraphGenData(g_state.graph);
    if (g_state.data == nullptr || !g_state.data->Load(definition)) return false;
  }
  return true;
}

void CGraphGeneratorAgent::ResetWorkingFields() {
  m_radiusAverage = m_paramRadiusAverage;
  m_radiusMax = m_paramRadiusMax;
  m_walking = 1;
  m_firstStep = 1;
  m_phaseFinished = 0;
  m_currentVertex = nullptr;
  m_currentEdge = nullptr;
  m_lastPosition.Set(kNoPosition, kNoPosition, kNoPosition);
  m_currentPoint = m_startingPoint;
}

void CGraphGeneratorAgent::ChooseFirstPhase() {
  if (g_state.phase != 0) return;
  g_state.phase = m_exploration ? 1 : m_collapse ? 2 : m_validation ? 3 : m_additionalData ? 4 : 5;
  m_phaseFinished = 0;
}

bool CGraphGeneratorAgent::Init(CConfigNode* definition) {
  if (definition == nullptr || !CAgent::Init(definition) || !ReadParameters(definition)) return false;
  for (uint32_t i = 0; i < definition->GetChildCount(); ++i) {
    CConfigNode* child = definition->GetChild(i);
    if (!child->HasName("AdditionalData")) continue;
    const char* output = child->GetChildValue("OutputFile");
    const char* className = child->GetChildValue("Class");
    if (output == nullptr || className == nullptr) continue;
    CGraphDataDesc* desc = CGraphDataDesc::Find(className);
    if (desc == nullptr || desc->GetIndex() < 0 || static_cast<uint32_t>(desc->GetIndex()) >= g_state.classCount ||
        desc->GetCreateFunction() == nullptr) {
      continue;
    }
    uint32_t slot = static_cast<uint32_t>(desc->GetIndex());
    if (g_state.objects[slot] != nullptr || !CopyName(g_state.outputs[slot], output)) continue;
    g_state.objects[slot] = desc->GetCreateFunction()(g_state.graph);
  }
  const char* seed = definition->GetChildValue("SEED_GRAPH");
  if (seed != nullptr && CSeedPathObject::GetCurrent() == nullptr) {
    CConfigNode* seedDefinition = new CConfigNode();
    bool made = seedDefinition != nullptr && seedDefinition->SetName("SeedPathObject");
    CConfigNode* classNode = made ? seedDefinition->AddChild() : nullptr;
    CConfigNode* graphNode = classNode != nullptr ? seedDefinition->AddChild() : nullptr;
    made = graphNode != nullptr && classNode->SetName("Class") && classNode->SetValue("CSeedPathObject") &&
           graphNode->SetName("SEED_GRAPH") && graphNode->SetValue(seed);
    CEntity* entity = made ? Vusk::CreateEntity("SeedGraph", seedDefinition, 0, nullptr) : nullptr;
    if (entity != nullptr && !Vusk::AddEntity(Vusk::GetCurrentWorld(), entity)) Vusk::DestroyEntity(entity);
    Vusk::DeleteTree(seedDefinition);
  }
  ResetWorkingFields();
  CEntity* entity = GetEntity();
  m_maxSpeedAttribute = entity != nullptr ? entity->FindAttribute<CEntityMaxSpeed>() : nullptr;
  m_widthAttribute = entity != nullptr ? entity->FindAttribute<CEntityWidth>() : nullptr;
  m_heightAttribute = entity != nullptr ? entity->FindAttribute<CEntityHeight>() : nullptr;
  m_rotate = GetActionClass() != nullptr ? GetActionClass()->FindAction<CActionRotate>() : nullptr;
  m_speed = GetActionClass() != nullptr ? GetActionClass()->FindAction<CActionSpeed>() : nullptr;
  if (m_maxSpeedAttribute == nullptr || m_widthAttribute == nullptr || m_heightAttribute == nullptr ||
      m_rotate == nullptr || m_speed == nullptr) {
    return false;
  }
  CWorld* world = Vusk::GetCurrentWorld();
  m_pathObjects = world != nullptr
                      ? static_cast<CPathObjectManager*>(world->GetGlobalService(&CPathObjectManager::s_classDesc))
                      : nullptr;
  ChooseFirstPhase();
  return true;
}

void CGraphGeneratorAgent::Update() {
  ResetWorkingFields();
  if (m_slot >= 0 && static_cast<uint32_t>(m_slot) < g_state.tableSize) g_state.flags[m_slot] = 0;
  ChooseFirstPhase();
  if (m_slot != 0) return;
  g_state.graphChanged = 1;
  RecreateGraph();
}

bool CGraphGeneratorAgent::IsReady() {
  m_maxSpeed = m_maxSpeedAttribute != nullptr ? m_maxSpeedAttribute->value : 0.0f;
  const float width = m_widthAttribute != nullptr ? m_widthAttribute->value : 0.0f;
  const float height = m_heightAttribute != nullptr ? m_heightAttribute->value : 0.0f;
  m_bodyWidth = width * m_ratioBodyWidth;
  m_kneeHeight = height * m_ratioBodyToKnees;
  m_destinationHeight = height * m_ratioHeightDestination;
  m_emptyDepth = height * m_ratioDepthEmpty;
  m_emptyOffset = width * m_ratioOffsetEmpty;
  m_holeDepth = height * m_ratioDepthHole;
  m_holeStep = height * m_ratioStepHole;
  return true;
}

bool CGraphGeneratorAgent::Step() {
  if (g_state.graph == nullptr || g_state.data == nullptr) return false;
  bool result = false;
  switch (g_state.phase) {
  case 1:
    if (!m_exploration) return false;
    result = Vusk::GraphGenExplore(this);
    if (m_phaseFinished) {
      CompactGraph(this);
      g_state.graph->SetSearchRadius(m_radiusAverage);
      SaveIfNamed(g_state.denseGraph);
      Vusk::GraphGenCreateEdges(this);
      SaveIfNamed(g_state.denseGraphWithEdges);
      g_state.phase = 2;
      m_phaseFinished = 0;
      g_state.graphChanged = 1;
    }
    return result;
  case 2:
    if (!m_collapse) return false;
    result = Vusk::GraphGenCollapseEdges(this);
    if (m_phaseFinished) {
      CompactGraph(this);
      g_state.phase = 3;
      m_phaseFinished = 0;
      g_state.graphChanged = 1;
    }
    return result;
  case 3:
    if (!m_validation) return false;
    result = Vusk::GraphGenValidateEdges(this);
    if (m_phaseFinished) {
      CompactGraph(this);
      g_state.graph->SetSearchRadius(m_maxValidEdge);
      // A graph that cannot be saved is kept for the next try; only a failed read-back of a saved
      // file leaves the graph unknown.
      if (!g_state.graph->Save(g_state.finalGraph)) return false;
      if (!g_state.graph->LoadFromFile(g_state.finalGraph)) {
        g_state.graph->Clear();
        return false;
      }
      g_state.phase = 5;
      m_phaseFinished = 0;
      g_state.graphChanged = 1;
    }
    return result;
  case 5:
    result = Vusk::GraphGenBuildData(this);
    if (m_phaseFinished) {
      g_state.phase = 6;
      return true;
    }
    return result;
  case 6:
    return true;
  default:
    return false;
  }
}

// ---- brain --------------------------------------------------------------------------------------------

CBrain* CGraphGeneratorBrain::Create(CEntity* owner, const CActionClassDesc* actionClass) {
  return new CGraphGeneratorBrain(owner, actionClass);
}

const CBrainDesc* CGraphGeneratorBrain::GetClassDesc() const { return &s_classDesc; }

bool CGraphGeneratorBrain::Init(CConfigNode* definition) {
  if (!CBrain::Init(definition)) return false;
  m_agent = static_cast<CGraphGeneratorAgent*>(GetAgent(&CGraphGeneratorAgent::s_classDesc));
  return m_agent != nullptr;
}

bool CGraphGeneratorBrain::Think() {
  if (m_agent == nullptr) return false;
  GetActionClass()->ClearActions();
  bool stepped = false;
  bool ready = m_agent->IsReady();
  if (ready) {
    stepped = m_agent->Step();
    if (m_agent->GetActionClass() != nullptr) GetActionClass()->CopyFrom(m_agent->GetActionClass());
  }
  // Only the brain of the first occupied generator slot draws.
  uint32_t first = 0;
  while (first < g_state.tableSize && g_state.table[first] == nullptr) ++first;
  if (Drawing() && first < g_state.tableSize && g_state.table[first] == GetOwner()) {
    const CVector3& lo = m_agent->m_boxMin;
    const CVector3& hi = m_agent->m_boxMax;
    Draw(ready && stepped && lo.x < hi.x && lo.y < hi.y && lo.z < hi.z);
  }
  return true;
}

void CGraphGeneratorBrain::Draw(bool boxToo) {
  CSpatialGraph* graph = g_state.graph;
  if (graph != nullptr && g_state.data != nullptr) {
    const bool validation = g_state.phase == 3;
    for (int32_t i = 0; i <= graph->GetLastVertexIndex(); ++i) {
      CGraphVertex* v = graph->GetVertex(i);
      if (v == nullptr) continue;
      bool red = validation || VertexRecord(v)->m_explored != 0;
      DrawPoint(v->GetPosition(), red ? 255 : 0, 0, red ? 0 : 255);
      for (int32_t k = 0; k < v->GetOutgoingCount(); ++k) {
        CGraphEdge* e = v->GetOutgoingEdge(k);
        CGenEdgeRecord* record = EdgeRecord(e);
        uint8_t r = 0, g = 0, b = 255;
        if (record->m_secondMark != 0) {
          r = 255, b = 0;
        } else if (validation && record->m_firstMark != 0) {
          bool back = graph->FindEdgeTo(e->GetDestination(), e->GetSource()) != nullptr;
          r = 255, g = back ? 0 : 200, b = 0;
        }
        DrawLine(e->GetSource()->GetPosition(), e->GetDestination()->GetPosition(), r, g, b);
      }
    }
  }
  if (!boxToo) return;
  const CVector3& lo = m_agent->m_boxMin;
  const CVector3& hi = m_agent->m_boxMax;
  for (int i = 0; i < 8; ++i) {
    CVector3 corner(i & 1 ? hi.x : lo.x, i & 2 ? hi.y : lo.y, i & 4 ? hi.z : lo.z);
    for (int bit = 1; bit < 8; bit <<= 1) {
      if (i & bit) continue;
      int j = i | bit;
      DrawLine(corner, CVector3(j & 1 ? hi.x : lo.x, j & 2 ? hi.y : lo.y, j & 4 ? hi.z : lo.z), 255, 255, 255);
    }
  }
}

// ---- shared state -------------------------------------------------------------------------------------

bool Vusk::CheckGraphGeneratorClasses() {
  return CGraphGeneratorBrain::s_classDesc.GetIndex() >= 0 && CGraphGenData::s_classDesc.GetIndex() >= 0 &&
         CGraphGeneratorAgent::s_classDesc.GetIndex() >= 0;
}

uint8_t Vusk::GetGraphGeneratorPhase() { return g_state.phase; }
CSpatialGraph* Vusk::GetGeneratorGraph() { return g_state.graph; }
CGraphGenData* Vusk::GetGeneratorData() { return g_state.data; }

// ---- tests of the phases ------------------------------------------------------------------------------

bool Vusk::GraphGenIsEmpty(CGraphGeneratorAgent* agent, const CVector3& point) {
  const float o = agent->m_emptyOffset;
  const CVector3 offsets[5] = {CVector3::Zero, CVector3(0, 0, -o), CVector3(0, 0, o), CVector3(-o, 0, 0),
                               CVector3(o, 0, 0)};
  for (const CVector3& offset : offsets) {
    if (RayDown(agent, point + offset, agent->m_emptyDepth) * agent->m_emptyDepth >= agent->m_emptyDepth) return true;
  }
  return false;
}

bool Vusk::GraphGenHasHole(CGraphGeneratorAgent* agent, const CVector3& a, const CVector3& b) {
  const int n = agent->m_holeCheckpoints;
  if (n <= 0) return false;
  const CVector3 step = CVector3::Scale(1.0f / static_cast<float>(n), CVector3::Subtract(b, a));
  const float depth = agent->m_holeDepth;
  float previous = RayDown(agent, a, depth) * depth;
  for (int i = 1; i <= n - 2; ++i) {
    float fraction = RayDown(agent, a + step * static_cast<float>(i), depth);
    if (fraction >= 1.0f) return true;
    float height = fraction * depth;
    if (std::fabs(height - previous) > agent->m_holeStep) return true;
    previous = height;
  }
  return false;
}

bool Vusk::GraphGenComputeSectors(CGraphGeneratorAgent* agent, CGraphVertex* vertex) {
  CGenVertexRecord* record = VertexRecord(vertex);
  const CVector3 center = vertex->GetPosition();
  const float height = agent->m_heightAttribute != nullptr ? agent->m_heightAttribute->value : 0.0f;
  const float width = agent->m_widthAttribute != nullptr ? agent->m_widthAttribute->value : 0.0f;
  record->m_radius = agent->m_radiusAverage;
  CVector3 normal;
  RayDown(agent, center, 2.0f * height, &normal);
  if (!(normal.y >= 0.2f)) normal = CVector3::UnitY;
  const CVector3 a1 = CVector3::GetNormalized(CVector3::Cross(CVector3::UnitZ, normal));
  const CVector3 a2 = CVector3::Cross(normal, a1);
  const float range = agent->m_radiusMax;
  bool anyOpen = false;
  for (int i = 0; i < agent->m_sectorCount; ++i) {
    if (record->m_open[i] == 0) continue;
    const float angle = 2.0f * Vusk::kPi * static_cast<float>(i) / static_cast<float>(agent->m_sectorCount);
    CVector3 point = center + (a1 * std::cos(angle) + a2 * std::sin(angle)) * record->m_radius;
    ClampIntoBox(agent, &point);
    record->SetSectorPoint(i, point);
    if (!Vusk::AcceptGeneratedPoint(point)) {
      record->m_open[i] = 0;
      continue;
    }
    const CVector3 d = CVector3::GetNormalized(CVector3::Subtract(point, center));
    const CVector3 side = CVector3::Cross(d, CVector3::UnitY) * (0.5f * width);
    const CVector3 starts[3] = {point, point + side, point - side};
    const uint8_t colours[3][3] = {{255, 0, 0}, {0, 255, 0}, {0, 0, 255}};
    float score = 0.0f;
    for (int k = 0; k < 3; ++k) {
      const CVector3 end = starts[k] + d * range;
      score += 1.0f / (RayFraction(agent, starts[k], end) * range);
      DrawLine(starts[k], end, colours[k][0], colours[k][1], colours[k][2]);
    }
    record->m_scores[i] = score;
    anyOpen = true;
  }
  return anyOpen;
}

CGraphVertex* Vusk::GraphGenAddVertex(CGraphGeneratorAgent* agent, const CVector3& point, uint8_t mark) {
  CSpatialGraph* graph = g_state.graph;
  for (int32_t i = 0; i <= graph->GetLastVertexIndex(); ++i) {
    CGraphVertex* v = graph->GetVertex(i);
    if (v != nullptr && v->GetPosition().x == point.x && v->GetPosition().y == point.y &&
        v->GetPosition().z == point.z) {
      VertexRecord(v)->m_secondMark = mark;
      return v;
    }
  }
  CGraphVertex* v = graph->AddVertexAt(point);
  CGenVertexRecord* record = v != nullptr ? VertexRecord(v) : nullptr;
  if (record == nullptr) return nullptr;
  *record = CGenVertexRecord();
  record->m_radius = agent->m_radiusAverage;
  record->m_secondMark = mark;
  for (int i = 0; i < CGenVertexRecord::kMaxSectors; ++i) record->m_open[i] = 1;
  return v;
}

// ---- phase 1: exploration -----------------------------------------------------------------------------

bool Vusk::GraphGenExplore(CGraphGeneratorAgent* agent) {
  CEntity* entity = agent->GetEntity();
  const float height = agent->m_heightAttribute->value;
  if (g_state.graphChanged) {
    g_state.graphChanged = 0;
    CPathSegment* segments = nullptr;
    uint32_t count = agent->m_pathObjects != nullptr ? agent->m_pathObjects->CollectSegments(&segments) : 0;
    for (uint32_t i = 0; i < count && segments != nullptr; ++i) {
      CVector3 a = segments[i].m_a, b = segments[i].m_b;
      bool insideA = ClampIntoBox(agent, &a), insideB = ClampIntoBox(agent, &b);
      CGraphVertex* va = insideA ? GraphGenAddVertex(agent, a, 1) : nullptr;
      CGraphVertex* vb = insideB ? GraphGenAddVertex(agent, b, 1) : nullptr;
      // A segment of no length (a seed graph's vertex) links its vertex to itself.
      if (va != nullptr && vb != nullptr) AddTwoWayEdge(va, vb, 1);
    }
  }
  if (agent->m_phaseFinished) {
    ClearActions(agent);
    return false;
  }
  const double now = Now();
  if (agent->m_firstStep) {
    if (!agent->m_startingPointGiven) agent->m_currentPoint = entity->GetPosition();
    CVector3 point = agent->m_currentPoint;
    const float depth = 100.0f * height;
    point.y = point.y - RayDown(agent, point, depth) * depth + 0.5f * height;
    agent->m_currentPoint = point;
    MoveEntity(agent, point);
    if (NearestVisibleDistance(agent, point) > agent->m_radiusAverage / 3.0f) GraphGenAddVertex(agent, point, 0);
    ChooseNextVertex(agent);
    agent->m_walkStart = now;
    agent->m_lastTime = now;
    agent->m_smoothedSpeed = agent->m_maxSpeed;
    agent->m_firstStep = 0;
    ClearActions(agent);
    return true;
  }
  if (agent->m_walking && agent->m_currentVertex == nullptr) agent->m_walking = 0;
  if (agent->m_walking) {
    Steer(agent);
    if (WalkTimedOut(agent, now, agent->m_ratioTimerDenseGraph)) agent->m_walking = 0;
    const CVector3 position = entity->GetPosition();
    const CVector3 vertex = agent->m_currentVertex->GetPosition();
    const float radius = VertexRecord(agent->m_currentVertex)->m_radius;
    const bool reach = LineOfSight(agent, position, vertex);
    const CVector3 p = reach ? position : agent->m_lastPosition;
    const float d = Distance(p, vertex);
    const double elapsed = now - agent->m_lastTime;
    if (elapsed > 0.0) {
      float moved = Distance(position, agent->m_lastPosition);
      agent->m_smoothedSpeed = 0.2f * static_cast<float>(moved / elapsed) + 0.8f * agent->m_smoothedSpeed;
    }
    const bool stuck = agent->m_smoothedSpeed <= 0.3f * agent->m_maxSpeed;
    const bool nearVertex = d < 0.9f * radius && (reach || d <= 0.5f * radius) && !stuck;
    if (nearVertex || GraphGenIsEmpty(agent, p)) {
      if (!reach) agent->m_walking = 0;
    } else {
      agent->m_walking = 0;
      if (NearestVisibleDistance(agent, p) > 0.5f * radius) {
        const float depth = agent->m_destinationHeight;
        const float ground = RayDown(agent, p, depth) * depth;
        if (ground > agent->m_kneeHeight && ground < depth) {
          DrawPoint(p, 0, 0, 255);
          GraphGenAddVertex(agent, p, 0);
        }
      }
    }
    agent->m_lastPosition = position;
    agent->m_lastTime = now;
    return true;
  }
  bool walking = false;
  if (ChooseNextSector(agent)) {
    PlaceEntity(agent, agent->m_currentVertex->GetPosition(), agent->m_currentPoint);
    agent->m_walking = 1;
    agent->m_lastPosition.Set(kNoPosition, kNoPosition, kNoPosition);
    walking = true;
  } else {
    bool found = ChooseNextVertex(agent);
    agent->m_lastPosition.Set(kNoPositionNewVertex, kNoPositionNewVertex, kNoPositionNewVertex);
    walking = found;
    if (!found) {
      agent->m_smoothedSpeed = agent->m_maxSpeed;
      agent->m_lastTime = now;
      // No vertex left to explore.
      if (OthersStillBusy(agent)) return true;
      agent->m_phaseFinished = 1;
      agent->m_firstStep = 1;
      return true;
    }
  }
  agent->m_smoothedSpeed = agent->m_maxSpeed;
  agent->m_lastTime = now;
  ClearActions(agent);
  SetRotate(agent, entity->GetAngles().y);
  if (agent->m_slot >= 0 && static_cast<uint32_t>(agent->m_slot) < g_state.tableSize) g_state.flags[agent->m_slot] = 0;
  if (walking) agent->m_walkStart = now;
  return true;
}

bool Vusk::GraphGenCreateEdges(CGraphGeneratorAgent* agent) {
  CSpatialGraph* graph = g_state.graph;
  bool ok = true;
  for (int32_t i = 0; i <= graph->GetLastVertexIndex(); ++i) {
    CGraphVertex* a = graph->GetVertex(i);
    if (a == nullptr) continue;
    const float reach = 1.2f * VertexRecord(a)->m_radius;
    for (int32_t j = 0; j <= graph->GetLastVertexIndex(); ++j) {
      CGraphVertex* b = graph->GetVertex(j);
      if (b == nullptr || b == a || Distance(a->GetPosition(), b->GetPosition()) > reach) continue;
      if (!SweepMove(agent, a->GetPosition(), b->GetPosition()) ||
          GraphGenHasHole(agent, a->GetPosition(), b->GetPosition())) {
        continue;
      }
      ok = AddTwoWayEdge(a, b, 0) && ok;
    }
  }
  return ok;
}

// ---- phase 2: edge collapse ---------------------------------------------------------------------------

namespace {

// True when `m` reaches every neighbour of both ends directly (each end being a neighbour of the other).
bool ReachesNeighbours(CGraphGeneratorAgent* agent, const CVector3& m, CGraphVertex* a, CGraphVertex* b) {
  CGraphVertex* ends[2] = {a, b};
  for (CGraphVertex* end : ends) {
    for (int pass = 0; pass < 2; ++pass) {
      int32_t count = pass == 0 ? end->GetOutgoingCount() : end->GetIncomingCount();
      for (int32_t k = 0; k < count; ++k) {
        CGraphVertex* n = pass == 0 ? end->GetOutgoingEdge(k)->GetDestination() : end->GetIncomingEdge(k)->GetSource();
        // A source that is also a target was checked as a target.
        if (pass == 1 && g_state.graph->FindEdgeTo(end, n) != nullptr) continue;
        const CVector3& p = n->GetPosition();
        if (Distance(m, p) > agent->m_maxValidEdge || !ClearPassage(agent, m, p) ||
            Vusk::GraphGenHasHole(agent, m, p)) {
          return false;
        }
      }
    }
  }
  return true;
}

bool IsCandidate(CGraphGeneratorAgent* agent, CGraphEdge* edge, CVector3* middle) {
  CGraphVertex* a = edge->GetSource();
  CGraphVertex* b = edge->GetDestination();
  if (a == b || EdgeRecord(edge)->m_secondMark != 0 || VertexRecord(a)->m_secondMark != 0 ||
      VertexRecord(b)->m_secondMark != 0) {
    return false;
  }
  CGraphEdge* back = g_state.graph->FindEdgeTo(b, a);
  if (back == nullptr || EdgeRecord(back)->m_secondMark != 0) return false;
  if (a->GetOutgoingCount() < 2 || a->GetIncomingCount() < 2 || b->GetOutgoingCount() < 2 ||
      b->GetIncomingCount() < 2) {
    return false;
  }
  CVector3 m = (a->GetPosition() + b->GetPosition()) * 0.5f;
  if (Vusk::GraphGenIsEmpty(agent, m)) return false;
  const float height = agent->m_heightAttribute->value;
  const float depth = 2.0f * height;
  m.y = m.y - RayDown(agent, m, depth) * depth + 0.5f * height;
  if (!ReachesNeighbours(agent, m, a, b)) return false;
  *middle = m;
  return true;
}

}  // namespace

bool Vusk::GraphGenCollapseEdges(CGraphGeneratorAgent* agent) {
  CSpatialGraph* graph = g_state.graph;
  if (g_state.graphChanged) {
    g_state.graphChanged = 0;
    if (!agent->m_exploration && !ReadGraphForPhase(agent, g_state.denseGraphWithEdges)) return false;
    for (int32_t i = 0; i <= graph->GetLastEdgeIndex(); ++i) {
      if (graph->GetEdge(i) != nullptr) g_state.data->GetEdgeRecord(i)->m_firstMark = 0;
    }
  }
  if (agent->m_slot != 0) return true;
  for (int32_t i = 0; i <= graph->GetLastVertexIndex(); ++i) {
    CGraphVertex* v = graph->GetVertex(i);
    if (v == nullptr) continue;
    VertexRecord(v)->m_explored = 0;
    if (v->GetIncomingCount() == 0 || v->GetOutgoingCount() == 0) graph->RemoveVertex(i);
  }
  CGraphEdge* chosen = nullptr;
  CVector3 middle;
  for (int32_t i = 0; i <= graph->GetLastEdgeIndex() && chosen == nullptr; ++i) {
    CGraphEdge* edge = graph->GetEdge(i);
    if (edge == nullptr) continue;
    CGenEdgeRecord* record = EdgeRecord(edge);
    if (record->m_firstMark != 0) continue;
    record->m_firstMark = 1;
    if (IsCandidate(agent, edge, &middle)) chosen = edge;
  }
  if (chosen == nullptr) {
    agent->m_phaseFinished = 1;
    return false;
  }
  CGraphVertex* a = chosen->GetSource();
  CGraphVertex* b = chosen->GetDestination();
  DrawLine(a->GetPosition(), b->GetPosition(), 0, 255, 0);
  CGraphVertex* m = graph->AddVertexAt(middle);
  CGenVertexRecord* mRecord = m != nullptr ? VertexRecord(m) : nullptr;
  if (mRecord == nullptr) {
    agent->m_phaseFinished = 1;
    return false;
  }
  *mRecord = CGenVertexRecord();
  mRecord->m_radius = agent->m_radiusAverage;
  CGraphVertex* ends[2] = {a, b};
  for (CGraphVertex* end : ends) {
    for (int pass = 0; pass < 2; ++pass) {
      const bool outgoing = pass == 0;
      const int32_t count = outgoing ? end->GetOutgoingCount() : end->GetIncomingCount();
      for (int32_t k = 0; k < count; ++k) {
        CGraphEdge* e = outgoing ? end->GetOutgoingEdge(k) : end->GetIncomingEdge(k);
        CGraphVertex* n = outgoing ? e->GetDestination() : e->GetSource();
        if (n == a || n == b) continue;
        CGraphEdgeData data;
        data.m_length = data.m_cost = Distance(middle, n->GetPosition());
        int32_t index = outgoing ? graph->AddEdge(data, m, n, -1) : graph->AddEdge(data, n, m, -1);
        CGenEdgeRecord* record = index >= 0 ? g_state.data->GetEdgeRecord(index) : nullptr;
        if (record == nullptr) {
          agent->m_phaseFinished = 1;
          return false;
        }
        graph->GetEdge(index)->SetCost(data.m_cost);
        record->m_firstMark = 0;
        for (int32_t q = 0; q < n->GetOutgoingCount(); ++q) EdgeRecord(n->GetOutgoingEdge(q))->m_firstMark = 0;
        for (int32_t q = 0; q < n->GetIncomingCount(); ++q) EdgeRecord(n->GetIncomingEdge(q))->m_firstMark = 0;
      }
    }
  }
  graph->RemoveVertex(a->GetIndex());
  graph->RemoveVertex(b->GetIndex());
  return true;
}

// ---- phase 3: validation ------------------------------------------------------------------------------

namespace {

bool ChooseNextEdge(CGraphGeneratorAgent* agent) {
  CSpatialGraph* graph = g_state.graph;
  for (int32_t i = 0; i <= graph->GetLastEdgeIndex(); ++i) {
    CGraphEdge* edge = graph->GetEdge(i);
    if (edge == nullptr || edge->GetSource() == edge->GetDestination()) continue;
    CGenEdgeRecord* record = EdgeRecord(edge);
    if (record->m_secondMark != 0 || record->m_firstMark != 0) continue;
    record->m_firstMark = 1;
    agent->m_currentEdge = edge;
    const CVector3 from = edge->GetSource()->GetPosition();
    const CVector3 to = edge->GetDestination()->GetPosition();
    const CVector3 start = from + (to - from) * 0.1f;
    agent->m_currentPoint = to;
    PlaceEntity(agent, start, to);
    agent->m_walking = 1;
    agent->m_targetDistance = Distance(to, start);
    return true;
  }
  agent->m_currentEdge = nullptr;
  agent->m_walking = 0;
  return false;
}

}  // namespace

bool Vusk::GraphGenValidateEdges(CGraphGeneratorAgent* agent) {
  CSpatialGraph* graph = g_state.graph;
  if (g_state.graphChanged) {
    g_state.graphChanged = 0;
    for (int32_t i = 0; i <= graph->GetLastEdgeIndex(); ++i) {
      if (graph->GetEdge(i) != nullptr) g_state.data->GetEdgeRecord(i)->m_firstMark = 0;
    }
    for (uint32_t i = 0; i < g_state.tableSize; ++i) g_state.flags[i] = 0;
  }
  const double now = Now();
  if (agent->m_firstStep) {
    agent->m_currentEdge = nullptr;
    agent->m_phaseFinished = ChooseNextEdge(agent) ? 0 : 1;
    agent->m_walkStart = now;
    agent->m_firstStep = 0;
    ClearActions(agent);
    return true;
  }
  if (agent->m_phaseFinished) {
    ClearActions(agent);
    return false;
  }
  if (!agent->m_walking) {
    if (ChooseNextEdge(agent)) {
      agent->m_walkStart = now;
      return true;
    }
    if (OthersStillBusy(agent)) return true;
    agent->m_phaseFinished = 1;
    RemoveDeadEnds();
    return true;
  }
  CGraphEdge* edge = agent->m_currentEdge;
  if (edge == nullptr) {
    agent->m_walking = 0;
    return true;
  }
  Steer(agent);
  if (WalkTimedOut(agent, now, agent->m_ratioTimerCreateArcs)) {
    agent->m_walking = 0;
    graph->RemoveEdge(edge->GetIndex());
    agent->m_currentEdge = nullptr;
    return true;
  }
  if (Distance(agent->GetEntity()->GetPosition(), edge->GetDestination()->GetPosition()) < agent->m_distStop) {
    agent->m_currentEdge = nullptr;
    agent->m_walking = 0;
  }
  return true;
}

// ---- last phase ---------------------------------------------------------------------------------------

bool Vusk::GraphGenBuildData(CGraphGeneratorAgent* agent) {
  if (g_state.graphChanged) {
    g_state.graphChanged = 0;
    if (!agent->m_additionalData && !ReadGraphForPhase(agent, g_state.finalGraph)) return false;
  }
  // The search buffers are process-wide and sized for the world's graphs: give back the size found.
  const int32_t previous = Vusk::AstarGetBufferSize();
  Vusk::AstarCreateBuffers(g_state.graph->GetLastVertexIndex() + 1);
  for (uint32_t i = 0; i < g_state.classCount; ++i) {
    CGraphData* object = g_state.objects[i];
    if (object != nullptr && object->Build()) object->Save(g_state.outputs[i]);
  }
  if (previous > 0) {
    Vusk::AstarCreateBuffers(previous);
  } else {
    Vusk::AstarFreeBuffers();
  }
  agent->m_phaseFinished = 1;
  return true;
}

void Vusk::GraphGenLinkPathObjects(CGraphGeneratorAgent* agent) {
  if (agent->m_pathObjects == nullptr) return;
  CSpatialGraph* graph = g_state.graph;
  CPathSegment* segments = nullptr;
  uint32_t count = agent->m_pathObjects->CollectSegments(&segments);
  const float within = 0.01f * Vusk::GetCurrentOneMeter();
  for (uint32_t i = 0; i < count && segments != nullptr; ++i) {
    CGraphVertex* found[2] = {nullptr, nullptr};
    CVector3 ends[2] = {segments[i].m_a, segments[i].m_b};
    for (int k = 0; k < 2; ++k) {
      if (!ClampIntoBox(agent, &ends[k])) continue;
      float best = within;
      for (int32_t v = 0; v <= graph->GetLastVertexIndex(); ++v) {
        CGraphVertex* vertex = graph->GetVertex(v);
        if (vertex == nullptr) continue;
        float d = Distance(vertex->GetPosition(), ends[k]);
        if (d < best) {
          best = d;
          found[k] = vertex;
        }
      }
      if (found[k] != nullptr) VertexRecord(found[k])->m_secondMark = 1;
    }
    if (found[0] == nullptr || found[1] == nullptr) continue;
    if (CGraphEdge* e = graph->FindEdgeTo(found[0], found[1])) EdgeRecord(e)->m_secondMark = 1;
    if (CGraphEdge* e = graph->FindEdgeTo(found[1], found[0])) EdgeRecord(e)->m_secondMark = 1;
  }
}
