#pragma once
// A headless host that runs the engine's graph generator on a procedural level: the fake AI host answers
// the queries against the level's boxes, one entity of class "CNavGenEntity" walks where the generator's
// rotate and speed actions send it (blocked by walls, following the ground, falling where there is none),
// and the world is stepped at a fixed frame time until the generator is done.

#include <cstdint>
#include <string>
#include <vector>

#include "ai/runtime/brain.h"
#include "ai/runtime/entity.h"
#include "ai/runtime/vector3.h"
#include "tools/navgen/levels.h"

class CConfigNode;

namespace navgen {

// The walker behind the generator entity: its measures, and the actions applied this frame.
struct Walker {
    float height = 1.8f;
    float width = 0.6f;
    float maxSpeed = 4.0f;
    bool rotateSet = false;
    float heading = 0.0f; // degrees, 0 along +z, 90 along +x
    bool speedSet = false;
    float speed = 0.0f;
    float fallSpeed = 0.0f; // downward speed (m/s)
    CVector3 written;       // entity position the walker wrote last
};

// Entity class "CNavGenEntity" of the generator entity; its host object is a Walker. Init gives it the
// walker's maximum speed, width and height. Its fields are the walker's state: Update copies nothing
// back, so that the generator's placements of the entity stand.
class NavGenEntity : public CEntity {
public:
    using CEntity::CEntity;
    static CEntityClassDesc s_desc;
    static CEntity* Create(const char* name, void* host) { return new NavGenEntity(name, host); }
    const CEntityClassDesc* GetClassDesc() const override { return &s_desc; }
    bool Init(CConfigNode* definition) override;
    void Update() override {}
};

// Action class "CNavGenActionClass": rotate and speed, handed to the entity's walker.
class NavGenActionClass : public CActionClass {
public:
    static CActionClassDesc s_desc;
    static CActionClass* Create() { return new NavGenActionClass(); }
    NavGenActionClass();
    const CActionClassDesc* GetClassDesc() const override { return &s_desc; }
    void Apply(CEntity* entity) override;
};

// Moves the entity one frame of dt seconds by its walker's actions: walls stop it between its highest
// step (0.35 m) and its head, it climbs steps and follows the ground, and falls where there is none.
// The entity's position is its middle (ground + half its height).
void Integrate(CEntity* entity, Walker& walker, float dt);

struct GenerationOptions {
    Level level;
    std::string outDir;              // graph and data files are written here
    std::string firstStep;           // "FIRST_STEP" value; empty: from the start
    float frameTime = 1.0f / 30.0f;  // simulated seconds per frame
    float radiusAverage = 2.5f;      // "RADIUS_AVERAGE" (m)
    int sectors = 36;                // "NB_SECTORS" (3..35; else 36)
    float maxValidEdge = 0.0f;       // "MAX_LENGTH_VALID_EDGE" (m); 0: the generator's own, 3 x radiusAverage
    float maxSpeed = 4.0f;           // walker speed (m/s)
    float height = 1.8f;             // walker height (m)
    float width = 0.6f;              // walker width (m)
    double simulatedLimit = 36000.0; // the run fails after this many simulated seconds
};

struct PhaseFigures {
    int phase = 0;
    double simulated = 0.0; // seconds
    double wall = 0.0;      // seconds
    long frames = 0;
    long queries = 0; // ray, line-of-sight and sweep queries of the engine
};

struct GenerationResult {
    bool done = false; // the generator reached its last phase
    std::string error;
    std::vector<PhaseFigures> phases; // in the order they ran
    double simulated = 0.0;
    double wall = 0.0;
    long queries = 0;
    // The final graph, as written.
    std::vector<float> vertices;     // x, y, z per vertex
    std::vector<std::int32_t> edges; // source, destination per edge
};

// The files a run writes into the output folder.
struct OutputFiles {
    static constexpr const char* kDense = "dense.graph";
    static constexpr const char* kDenseWithEdges = "dense_edges.graph";
    static constexpr const char* kFinal = "final.graph";
    static constexpr const char* kFindNearest = "final.fnd";
    static constexpr const char* kAstar = "final.astar";
    static constexpr const char* kPathCost = "final.pcost";
    static constexpr const char* kAccessWays = "final.aw";
    static constexpr const char* kLevel = "level.txt";
};

// Definition of the generator entity: the walker classes, the generator brain and agent with the
// output files in options.outDir, the radius, sectors, longest edge (when given), bounding box and first step of the options, and
// the four graph-data requests.
CConfigNode* MakeGeneratorDefinition(const GenerationOptions& options);

// Initialises the engine on the fake host, runs the generator and shuts the engine down again. The
// output folder must exist. False (with result->error) when the engine or the world refused to start,
// the saved graph a later first step reads is not a graph file, the generator did not finish within the
// simulated limit, or it finished with an empty graph.
bool RunGeneration(const GenerationOptions& options, GenerationResult* result);

} // namespace navgen
