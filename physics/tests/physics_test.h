#pragma once
// Shared helpers of the physics tests: random placements, a counting allocator and a world.

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <functional>
#include <random>
#include <vector>

#include "graphics/core/engine.h"
#include "physics/core/utils/math.h"
#include "physics/core/context/context.h"
#include "physics/core/context/manager.h"
#include "physics/core/context/objtypes.h"
#include "physics/core/context/pipeline.h"
#include "physics/core/volume/primitives.h"
#include "physics/core/volume/volume.h"

// A random rigid placement (rotation from a random unit quaternion, translation in +-2).
inline OvMatrix RandomPlacement(std::mt19937& rng) {
    std::normal_distribution<float> n;
    OvQuat q = {n(rng), n(rng), n(rng), n(rng)};
    const float l = std::sqrt(q.x * q.x + q.y * q.y + q.z * q.z + q.w * q.w);
    q = {q.x / l, q.y / l, q.z / l, q.w / l};
    OvMatrix m;
    OvpMathMatrixFromQuat(&m, q);
    std::uniform_real_distribution<float> u(-2.0f, 2.0f);
    m.pos = {u(rng), u(rng), u(rng)};
    m.flags = 0;
    return m;
}

// Swaps the engine's memory functions for counting ones while alive; failAfter >= 0 makes the
// allocation with that index (from 0) and every later one fail.
class CountingMemory {
public:
    explicit CountingMemory(int failAfter = -1) {
        saved_ = OvEngineInstancePtr->memoryFuncs;
        state() = {0, 0, failAfter};
        OvEngineInstancePtr->memoryFuncs.allocate = [](std::size_t size, OvUInt32) -> void* {
            State& s = state();
            if (s.failAfter >= 0 && s.allocations >= s.failAfter) {
                return nullptr;
            }
            ++s.allocations;
            ++s.live;
            return std::malloc(size);
        };
        OvEngineInstancePtr->memoryFuncs.callocate = [](std::size_t count, std::size_t size, OvUInt32) -> void* {
            State& s = state();
            if (s.failAfter >= 0 && s.allocations >= s.failAfter) {
                return nullptr;
            }
            ++s.allocations;
            ++s.live;
            return std::calloc(count, size);
        };
        OvEngineInstancePtr->memoryFuncs.free = [](void* block) {
            if (block != nullptr) {
                --state().live;
                std::free(block);
            }
        };
    }
    ~CountingMemory() { OvEngineInstancePtr->memoryFuncs = saved_; }
    int live() const { return state().live; }
    int allocations() const { return state().allocations; }

private:
    struct State {
        int allocations;
        int live;
        int failAfter;
    };
    static State& state() {
        static State s;
        return s;
    }
    OvMemoryFunctions saved_;
};

// Random segments against a volume's line slot and its inside predicate (distance - fat).
inline void SweepLineSlot(const char* name, const OvpVolume& volume,
                          const std::function<float(const OvV3d&)>& distance) {
    std::mt19937 rng(21);
    std::uniform_real_distribution<float> u(-2.5f, 2.5f);
    const int samples = 3000;
    int hits = 0;
    for (int trial = 0; trial < 1200; ++trial) {
        const OvV3d s = {u(rng), u(rng), u(rng)}, e = {u(rng), u(rng), u(rng)};
        const OvV3d d = OvpSub(e, s);
        float sampled = -1.0f;
        for (int k = 0; k <= samples && sampled < 0.0f; ++k) {
            const float t = static_cast<float>(k) / samples;
            if (distance(OvpAdd(s, OvpScale(d, t))) <= 0.0f) {
                sampled = t;
            }
        }
        OvpLineHit hit{};
        if (volume.type->lineIntersect(&volume, &s, &e, &hit)) {
            ++hits;
            EXPECT_EQ(hit.volume, &volume) << name;
            ASSERT_GE(sampled, 0.0f) << name << " trial " << trial << ": a hit where nothing is inside";
            EXPECT_LE(hit.fraction, sampled + 1e-6f) << name << " trial " << trial;
            EXPECT_GE(hit.fraction, sampled - 2.0f / samples) << name << " trial " << trial;
            EXPECT_NEAR(OvpDot(hit.normal, hit.normal), 1.0f, 1e-4f) << name;
            if (hit.fraction > 0.0f) {
                EXPECT_NEAR(distance(hit.point), 0.0f, 2e-3f) << name << " trial " << trial;
                EXPECT_GT(distance(OvpAdd(hit.point, OvpScale(hit.normal, 0.01f))), 0.0f) << name;
            }
        } else if (sampled >= 0.0f) {
            EXPECT_GT(distance(OvpAdd(s, OvpScale(d, sampled))), -2e-3f) << name << " trial " << trial;
        }
    }
    EXPECT_GT(hits, 100) << name;
}

// A context as the framework sets one up, with room for `bodies` bodies, `joints` joint slots
// and `extraDyn` further dynamic records. Bodies are bound to matrices the fixture owns, the
// way atomics' frames would be; the type records are reset before and after.
struct TestWorld {
    explicit TestWorld(OvUInt32 bodies, OvUInt32 joints = 0, OvUInt32 extraDyn = 0, OvV3d gravity = {0, 0, 0}) {
        OvpObjTypesReset();
        frames.reserve(128);
        OvpContextParamsSetDefaults(&params);
        OvpBodyTypeReserve(&params, bodies + 2, bodies);
        params.word[ovpPARAM_BODIES] += extraDyn;
        OvpContextParamsSetMaxJoints(&params, joints);
        OvpBBox box = {};
        box.sup = {100.0f, 100.0f, 100.0f};
        box.inf = {-100.0f, -100.0f, -100.0f};
        context = OvpContextCreate(&params, 1.0f, &box);
        manager = OvpContextGetMgr(context);
        pipeline = OvpContextGetPipeline(context);
        OvpPipelineSetGravity(pipeline, &gravity);
    }
    ~TestWorld() {
        for (OvpObj* b : bodies) {
            OvpBodyObjDestroy(b);
        }
        if (context != nullptr) {
            OvpContextDestroy(context);
        }
        OvpObjTypesReset();
    }
    TestWorld(const TestWorld&) = delete;
    TestWorld& operator=(const TestWorld&) = delete;

    // A body of the definition (whose reference passes to the body) at the position.
    OvpObj* Add(OvpBodyDef* def, const OvV3d& at, OvUInt32 add = ovpADD_AWAKE | ovpADD_DYNAMIC | ovpADD_ACTIVATE) {
        OvpObj* b = OvpBodyObjCreate(def);
        OvpBodyDefRelease(def);
        frames.emplace_back();
        OvMatrixSetIdentity(&frames.back());
        frames.back().flags = 0;
        frames.back().pos = at;
        b->parts[0].matrix = &frames.back();
        bodies.push_back(b);
        OvpMgrAddObject(manager, b, -1, add);
        return b;
    }
    OvpObj* Sphere(const OvV3d& at, float mass = 1.0f, OvUInt32 add = ovpADD_AWAKE | ovpADD_DYNAMIC | ovpADD_ACTIVATE) {
        OvpBodyDef* def = OvpBodyDefCreate();
        OvpSphereInit(def->volume, 0.5f);
        OvpDynDefSetMassFromVolume(&def->dynDef, mass, 1);
        return Add(def, at, add);
    }
    OvpObj* Box(const float half[3], const OvV3d& at, float mass = 1.0f) {
        OvpBodyDef* def = OvpBodyDefCreate();
        OvpBoxInit(def->volume, half);
        OvpDynDefSetMassFromVolume(&def->dynDef, mass, 1);
        return Add(def, at);
    }
    float* V(const OvpObj* b) { return manager->bodies->velocities[b->parts[0].dyn->body]; }
    const OvMatrix& M(const OvpObj* b) { return manager->bodies->matrices[b->parts[0].dyn->body]; }
    bool Awake(const OvpObj* b) { return OvpBitTest(manager->awake, b->slot); }
    // The collision stages of one step, without the solve: broad phase, pairs, islands and fixed
    // volumes; the records are left in the pipeline.
    void RunCollisionStages(float dt = 0.01f) {
        OvpPipelineSetTimeStep(pipeline, dt);
        OvpPipelineUpdateBroadPhase(pipeline);
        OvpPipelineCollidePairs(pipeline);
        OvpPipelineBuildIslands(pipeline);
        OvpPipelineCollideFixedVolumes(pipeline);
    }

    OvpContextParams params;
    OvpContext* context;
    OvpMgr* manager;
    OvpPipeline* pipeline;
    std::vector<OvpObj*> bodies;
    std::vector<OvMatrix> frames;
};

// The plane y = 0, its normal up, as a fixed volume of the world while the floor lives.
struct TestFloor {
    explicit TestFloor(TestWorld& w) : context(w.context) {
        OvpVolumeInit(&volume, &ovpPlaneVolumeType);
        volume.matrix = {};
        volume.matrix.right = {1, 0, 0};
        volume.matrix.up = {0, 0, -1};
        volume.matrix.at = {0, 1, 0};
        OvpContextAddFixedVolume(context, &volume, 0);
    }
    ~TestFloor() { OvpContextRemoveFixedVolume(context, &volume); }
    TestFloor(const TestFloor&) = delete;
    TestFloor& operator=(const TestFloor&) = delete;

    OvpContext* context;
    OvpVolume volume;
};
