// The world manager's hot paths: line queries on a generated level with 0, 16 and 64 pickable
// objects (and the same rays through the level's triangles alone), one frame's update with the
// physics step with 0 and 50 bodies, and the pair filter on 10,000 pairs against the repeated
// passes it replaces.

#include <benchmark/benchmark.h>

#include <unistd.h>

#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "framework/clump_object.h"
#include "framework/physics_glue.h"
#include "framework/world_manager.h"
#include "graphics/core/frame.h"
#include "graphics/core/testkit/engine_fixture.h"
#include "graphics/plugins/collision.h"
#include "graphics/shared/skel/win/skeleton.h"
#include "graphics/world/world.h"
#include "graphics/world/world_plugin.h"
#include "physics/core/context/manager.h"
#include "physics/core/context/objtypes.h"
#include "physics/graphics/body_atomic.h"
#include "tools/mkasset/collision_tree.h"
#include "tools/mkasset/level_builder.h"
#include "tools/mkasset/shapes.h"

namespace {

void AttachPlugins() {
    OvWorldPluginAttach();
    OvCollisionPluginAttach();
    OvpBodyPluginAttach();
}

void Write(const std::string& path, const mkasset::Bytes& bytes) {
    std::ofstream out(path, std::ios::binary);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

// The engine up, a 32-metre level of 12 blocks loaded into a world manager, and a unit box model;
// everything taken down at the end of the scope.
class Level {
public:
    Level() {
        dir_ = std::filesystem::temp_directory_path() / ("dun_world_bench_" + std::to_string(getpid()));
        std::filesystem::create_directories(dir_);
        previous_ = std::filesystem::current_path();
        std::filesystem::current_path(dir_);
        setenv("PLATFORM_HEADLESS", "1", 1);
        ok_ = OvTestEngineUp(0, AttachPlugins) != 0;
        mkasset::LevelOptions options;
        options.seed = 1;
        mkasset::WorldDesc world = mkasset::LevelWorld(options);
        mkasset::AddWorldCollision(world);
        Write("level.bsp", mkasset::WorldFile(world));
        mkasset::ShapeOptions box;
        box.kind = mkasset::ShapeKind::Box;
        Write("box.dff", mkasset::ClumpFile(mkasset::ModelClump(box)));
        manager_ = new CWorldManager(1.0f);
        g_worldManager = manager_;
        manager_->LoadWorld("level.bsp", 0);
        ok_ = ok_ && manager_->WorldCount() == 1;
    }
    ~Level() {
        for (OvpObj* body : bodies_) {
            OvpAtomicSetBodyObj(static_cast<OvAtomic*>(body->user), nullptr);
            OvpBodyObjDestroy(body);
        }
        if (def_ != nullptr) {
            OvpBodyDefRelease(def_);
        }
        for (CClumpObject* o : objects_) {
            delete o;
        }
        delete manager_;
        g_worldManager = nullptr;
        OvTestEngineDown();
        std::filesystem::current_path(previous_);
        std::filesystem::remove_all(dir_);
    }
    bool ok() const { return ok_; }
    CWorldManager* manager() const { return manager_; }

    // A pickable unit box standing at (x, 0.5, z).
    void AddPickable(float x, float z) {
        auto* o = new CClumpObject;
        objects_.push_back(o);
        if (o->LoadClump("box.dff")) {
            o->SetPosition({x, 0.5f, z});
            o->SetPickable(true);
            manager_->AddObject(o);
        }
    }
    // A physics box dropped from (x, y, z).
    void Drop(float x, float y, float z) {
        if (def_ == nullptr) {
            def_ = PhysicsCreateStaticBox(0.5f, 0.5f, 0.5f, 0.0f);
        }
        auto* o = new CClumpObject;
        objects_.push_back(o);
        if (!o->LoadClump("box.dff")) {
            return;
        }
        o->SetPosition({x, y, z});
        OvpObj* body = OvpBodyObjCreate(def_);
        bodies_.push_back(body);
        OvpAtomicSetBodyObj(o->GetFirstAtomic(), body);
        OvpMgrAddObject(OvpContextGetMgr(manager_->GetPhysicsContext()), body, -1,
                        ovpADD_AWAKE | ovpADD_DYNAMIC | ovpADD_ACTIVATE);
        manager_->AddObject(o);
    }

    // Puts the i-th dropped box back at the position, at rest and awake.
    void Restart(std::size_t i, const OvV3d& p) {
        OvpObj* body = bodies_[i];
        PhysicsSetBodyPosition(body, p.x, p.y, p.z);
        if (body->parts[0].dyn != nullptr) {
            float* v = body->manager->bodies->velocities[body->parts[0].dyn->body];
            for (int k = 0; k < 8; ++k) {
                v[k] = 0.0f;
            }
        }
    }

private:
    std::filesystem::path dir_, previous_;
    bool ok_ = false;
    CWorldManager* manager_ = nullptr;
    std::vector<CClumpObject*> objects_;
    std::vector<OvpObj*> bodies_;
    OvpBodyDef* def_ = nullptr;
};

struct Ray {
    OvV3d from, to;
};

// Rays from eye height over the level to points up to 20 metres away, some reaching the floor.
std::vector<Ray> Rays(int count) {
    std::mt19937 rng(77);
    std::uniform_real_distribution<float> across(-15.0f, 15.0f), height(-0.5f, 3.0f);
    std::vector<Ray> rays;
    for (int i = 0; i < count; ++i) {
        rays.push_back({{across(rng), 1.7f, across(rng)}, {across(rng), height(rng), across(rng)}});
    }
    return rays;
}

void BM_LineIntersect(benchmark::State& state) {
    Level level;
    if (!level.ok()) {
        state.SkipWithError("the level did not load");
        return;
    }
    std::mt19937 rng(5);
    std::uniform_real_distribution<float> across(-14.0f, 14.0f);
    for (int i = 0; i < state.range(0); ++i) {
        level.AddPickable(across(rng), across(rng));
    }
    const std::vector<Ray> rays = Rays(1024);
    std::size_t next = 0;
    int hits = 0;
    for (auto _ : state) {
        const Ray& r = rays[next++ & 1023];
        float distance = 0.0f;
        OvV3d normal;
        CClumpObject* hit = nullptr;
        hits += level.manager()->LineIntersect(r.from, r.to, false, &distance, &normal, &hit);
        benchmark::DoNotOptimize(distance);
    }
    state.SetItemsProcessed(state.iterations());
    state.counters["hit_share"] = static_cast<double>(hits) / static_cast<double>(state.iterations());
}
BENCHMARK(BM_LineIntersect)->Arg(0)->Arg(16)->Arg(64);

// The same rays through the collision plugin's world query alone (nearest fraction kept).
void BM_LineWorldQueryOnly(benchmark::State& state) {
    Level level;
    if (!level.ok()) {
        state.SkipWithError("the level did not load");
        return;
    }
    const std::vector<Ray> rays = Rays(1024);
    OvWorld* world = level.manager()->GetWorld(0);
    std::size_t next = 0;
    for (auto _ : state) {
        const Ray& r = rays[next++ & 1023];
        OvIntersection line = {};
        line.type = ovINTERSECTLINE;
        line.t.line = {r.from, r.to};
        float nearest = 2.0f;
        OvCollisionWorldForAllIntersections(
            world, &line,
            [](OvIntersection*, OvWorldSector*, OvCollisionTriangle* t, float f, void* data) {
                float& n = *static_cast<float*>(data);
                n = f < n ? f : n;
                return t;
            },
            &nearest);
        benchmark::DoNotOptimize(nearest);
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_LineWorldQueryOnly);

void BM_WorldManagerUpdate(benchmark::State& state) {
    Level level;
    if (!level.ok()) {
        state.SkipWithError("the level did not load");
        return;
    }
    const int bodies = static_cast<int>(state.range(0));
    std::vector<OvV3d> starts;
    for (int i = 0; i < bodies; ++i) {
        // Columns of boxes round the middle, the higher ones landing on the lower.
        const float angle = 0.7f * static_cast<float>(i % 10);
        starts.push_back({1.6f * std::cos(angle) * static_cast<float>(1 + i % 3),
                          1.0f + 1.3f * static_cast<float>(i / 10),
                          1.6f * std::sin(angle) * static_cast<float>(1 + i % 3)});
        level.Drop(starts.back().x, starts.back().y, starts.back().z);
    }
    // Every 120 frames (two seconds: falling, landing, settling) the boxes are put back up.
    int frame = 0;
    for (auto _ : state) {
        level.manager()->Update(1.0f / 60.0f);
        if (++frame == 120) {
            state.PauseTiming();
            frame = 0;
            for (std::size_t i = 0; i < starts.size(); ++i) {
                level.Restart(i, starts[i]);
            }
            state.ResumeTiming();
        }
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_WorldManagerUpdate)->Arg(0)->Arg(50);

// One frame's world update with the full tables of dynamic pieces: 32 planes (16 two-sided walls
// round the middle) and 256 triangles (128 held both ways, a fan of ramps). Argument 1 rebuilds every
// piece's query atomic each frame, as a rebuild on every update would; 0 rebuilds only what changed
// (here nothing after the first frame).
void BM_WorldManagerUpdateCollisionPieces(benchmark::State& state) {
    Level level;
    if (!level.ok()) {
        state.SkipWithError("the level did not load");
        return;
    }
    CWorldManager* wm = level.manager();
    for (int i = 0; i < kMaxCollisionPlanes / 2; ++i) {
        auto* plane = new CCollisionPlane;
        const float angle = 0.3926991f * static_cast<float>(i);
        plane->normal = {-std::cos(angle), 0.0f, -std::sin(angle)};
        plane->position = {9.0f * std::cos(angle), 1.0f, 9.0f * std::sin(angle)};
        plane->right = {-std::sin(angle), 0.0f, std::cos(angle)};
        plane->length = 3.0f;
        plane->width = 2.0f;
        wm->AddCollisionPlane(plane);
    }
    for (int i = 0; i < kMaxCollisionTriangles / 2; ++i) {
        auto* t = new CCollisionTriangle;
        const float angle = 0.049087385f * static_cast<float>(i);
        const float c = std::cos(angle), s = std::sin(angle);
        t->vertices[0] = {5.0f * c, 0.0f, 5.0f * s};
        t->vertices[1] = {5.5f * c, 0.0f, 5.5f * s};
        t->vertices[2] = {5.2f * c, 0.4f, 5.2f * s};
        wm->AddCollisionTriangle(t);
    }
    const bool rebuildAll = state.range(0) != 0;
    for (auto _ : state) {
        if (rebuildAll) {
            for (int i = 0; i < wm->CollisionPlaneCount(); ++i) {
                wm->GetCollisionPlane(i)->Invalidate();
            }
            for (int i = 0; i < wm->CollisionTriangleCount(); ++i) {
                wm->GetCollisionTriangle(i)->Invalidate();
            }
        }
        wm->Update(1.0f / 60.0f);
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_WorldManagerUpdateCollisionPieces)->Arg(1)->Arg(0);

OvpObj g_objects[64];
bool IsCharacter(const OvpObj* o) { return o >= g_objects && o < g_objects + 32; }

std::vector<OvpRefPair> Pairs(int count) {
    std::mt19937 rng(9);
    std::vector<OvpRefPair> pairs(static_cast<std::size_t>(count));
    for (OvpRefPair& p : pairs) {
        for (OvpRef& r : p.ref) {
            r.object = &g_objects[rng() % 64];
            r.part = rng() % 8 == 0 ? ovpREFNONE : ovpREFWHOLE;
        }
    }
    return pairs;
}

void BM_PairFilter(benchmark::State& state) {
    const std::vector<OvpRefPair> source = Pairs(10000);
    std::vector<OvpRefPair> pairs;
    for (auto _ : state) {
        pairs = source;
        benchmark::DoNotOptimize(
            FilterCharacterPairs(pairs.data(), static_cast<std::uint32_t>(pairs.size()), IsCharacter));
    }
    state.SetItemsProcessed(state.iterations() * 10000);
}
BENCHMARK(BM_PairFilter);

// The repeated passes that shift the rest of the list down after each drop.
void BM_PairFilterRepeatedPasses(benchmark::State& state) {
    const std::vector<OvpRefPair> source = Pairs(10000);
    std::vector<OvpRefPair> pairs;
    for (auto _ : state) {
        pairs = source;
        std::size_t count = pairs.size();
        for (bool dropped = true; dropped;) {
            dropped = false;
            for (std::size_t i = 0; i < count; ++i) {
                const OvpRef& a = pairs[i].ref[0];
                const OvpRef& b = pairs[i].ref[1];
                if (a.part != ovpREFNONE && b.part != ovpREFNONE && IsCharacter(a.object) && IsCharacter(b.object)) {
                    std::copy(pairs.begin() + static_cast<long>(i) + 1, pairs.begin() + static_cast<long>(count),
                              pairs.begin() + static_cast<long>(i));
                    --count;
                    dropped = true;
                }
            }
        }
        benchmark::DoNotOptimize(count);
    }
    state.SetItemsProcessed(state.iterations() * 10000);
}
BENCHMARK(BM_PairFilterRepeatedPasses);

} // namespace

// The shell's application hook: nothing here runs the shell.
std::int32_t AppEventHandler(std::int32_t, void*) { return SKEL_EVENT_NOT_HANDLED; }

BENCHMARK_MAIN();
