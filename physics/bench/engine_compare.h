#pragma once
// One scene description run by this engine and by a comparison engine, with the time per step
// and the quality figures of each run.

#include <string>
#include <vector>

namespace physics_bench {

struct Scene {
    enum Kind { kColumn, kPyramid, kRain, kMesh } kind;
    int n; // boxes in the column or rain, the pyramid's base, spheres on the mesh
};

struct Options {
    float dt = 1.0f / 60.0f;
    int steps = 600;
    int warmup = 60;
    bool sleep = false;
    bool raisedBudgets = false; // this engine's batch and per-body budgets raised to 100,000
    int iterations = 0;         // this engine's force-pass iterations per batch (position pass a third); 0: 300
};

struct Row {
    double median = 0.0; // ms per step
    double p95 = 0.0;
    double stepsPerSecond = 0.0;
    double penetration = 0.0; // deepest overlap of any step's contacts (m)
    double topDrift = 0.0;    // sideways drift of the last body over the timed steps (m)
    int collapsed = 0;        // bodies more than 0.1 m from where they were built
    double sleepTime = -1.0;  // s until every body slept, -1 never
    double energyDrift = 0.0; // kinetic plus potential energy, end less start of the timed steps (J)
    bool solved = true;       // every step solved
    bool stack = false;       // drift and collapse mean something (column, pyramid)
};

// The scenes: columns of 5, 10, 20; pyramids of base 5, 10, 20; rains of 100, 500,
// 1,000 boxes; 100 spheres on a 10,000-triangle mesh.
std::vector<Scene> DefaultScenes();
std::string SceneName(const Scene& scene);
bool BulletAvailable();
// engine "ovp" or "bullet"; false when the engine is not built in or refused the scene.
bool Run(const Scene& scene, const std::string& engine, const Options& options, Row* out);

} // namespace physics_bench
