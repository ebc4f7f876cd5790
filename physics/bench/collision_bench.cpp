// Collision hot paths of a step: the pair drivers over spheres resting on a triangle mesh (the
// level's case: every sphere gathers the triangles under it) and over a heap of boxes touching
// each other and a floor plane. Only the collision stages run; the bodies do not move.

#include <benchmark/benchmark.h>

#include <algorithm>
#include <random>
#include <vector>

#include "physics/core/collision/drivers.h"
#include "physics/core/context/context.h"
#include "physics/core/context/objtypes.h"
#include "physics/core/volume/primitives.h"

namespace {

// A flat mesh of cells x cells squares of 1 m at y = 0 (two triangles each), walked by cell.
constexpr int kCells = 100;

void MeshWalk(const OvpVolume*, const OvMatrix*, const OvpBBox* box, void*, OvpTriangleBuffer* buffer) {
    buffer->count = 0;
    buffer->flags = 0;
    if (box->inf.y > 0.0f || box->sup.y < 0.0f) {
        return;
    }
    const int i0 = std::max(0, static_cast<int>(box->inf.x)), i1 = std::min(kCells - 1, static_cast<int>(box->sup.x));
    const int j0 = std::max(0, static_cast<int>(box->inf.z)), j1 = std::min(kCells - 1, static_cast<int>(box->sup.z));
    for (int i = i0; i <= i1; ++i) {
        for (int j = j0; j <= j1; ++j) {
            const float x = static_cast<float>(i), z = static_cast<float>(j);
            const OvUInt32 index = static_cast<OvUInt32>(2 * (i * kCells + j));
            OvpTriangleBufferAppend(buffer, {x, 0, z}, {x + 1, 0, z + 1}, {x + 1, 0, z}, nullptr, index, 0);
            OvpTriangleBufferAppend(buffer, {x, 0, z}, {x, 0, z + 1}, {x + 1, 0, z + 1}, nullptr, index + 1, 0);
        }
    }
}

struct Scene {
    OvpContext* context = nullptr;
    std::vector<OvpObj*> bodies;
    std::vector<OvMatrix> frames;
    OvpVolume* fixed = nullptr;
    OvpVolume plane;

    Scene(int count, bool boxes) {
        OvpObjTypesReset();
        OvpContextParams params;
        OvpContextParamsSetDefaults(&params);
        OvpBodyTypeReserve(&params, static_cast<OvUInt32>(count + 2), static_cast<OvUInt32>(count));
        OvpBBox world = {{200, 200, 200}, 0, {-200, -200, -200}, 0};
        context = OvpContextCreate(&params, 1.0f, &world);
        if (boxes) {
            OvpVolumeInit(&plane, &ovpPlaneVolumeType);
            plane.matrix.up = {0, 0, -1};
            plane.matrix.at = {0, 1, 0};
            plane.matrix.flags = 0;
            OvpContextAddFixedVolume(context, &plane, 0);
        } else {
            fixed = OvpTrilistCreate(nullptr, ovpTRILIST_USER);
            OvpVolumeSetTriangleCallback(fixed, reinterpret_cast<OvpVolumeCallback>(&MeshWalk));
            OvpContextAddFixedVolume(context, fixed, 0);
        }
        std::mt19937 rng(3);
        std::uniform_real_distribution<float> u(2.0f, kCells - 2.0f);
        frames.resize(static_cast<std::size_t>(count));
        const float half[3] = {0.5f, 0.5f, 0.5f};
        for (int k = 0; k < count; ++k) {
            OvpBodyDef* def = OvpBodyDefCreate();
            if (boxes) {
                OvpBoxInit(def->volume, half);
            } else {
                OvpSphereInit(def->volume, 0.5f);
            }
            OvpDynDefSetMassFromVolume(&def->dynDef, 1.0f, 1);
            OvpObj* b = OvpBodyObjCreate(def);
            OvpBodyDefRelease(def);
            OvMatrix& m = frames[static_cast<std::size_t>(k)];
            OvMatrixSetIdentity(&m);
            m.flags = 0;
            // Boxes in a column of stacks 0.995 apart (each touching the next); spheres scattered.
            m.pos = boxes ? OvV3d{2.0f * (k / 8), 0.495f + 0.995f * (k % 8), 0} : OvV3d{u(rng), 0.495f, u(rng)};
            b->parts[0].matrix = &m;
            OvpMgrAddObject(OvpContextGetMgr(context), b, -1, ovpADD_AWAKE | ovpADD_DYNAMIC | ovpADD_ACTIVATE);
            bodies.push_back(b);
        }
    }
    ~Scene() {
        for (OvpObj* b : bodies) {
            OvpBodyObjDestroy(b);
        }
        OvpContextDestroy(context);
        if (fixed != nullptr) {
            OvpVolumeDestroy(fixed);
        }
        OvpObjTypesReset();
    }
};

void CollisionStages(benchmark::State& state, bool boxes) {
    Scene scene(static_cast<int>(state.range(0)), boxes);
    OvpPipeline* p = OvpContextGetPipeline(scene.context);
    OvpPipelineSetTimeStep(p, 0.01f);
    for (auto _ : state) {
        OvpPipelineUpdateBroadPhase(p);
        OvpPipelineCollidePairs(p);
        OvpPipelineBuildIslands(p);
        OvpPipelineCollideFixedVolumes(p);
        benchmark::DoNotOptimize(p->contactCount);
    }
    state.counters["records"] = p->contactCount;
}

void BM_SpheresOnMesh(benchmark::State& state) { CollisionStages(state, false); }
BENCHMARK(BM_SpheresOnMesh)->Arg(20)->Arg(100);

void BM_BoxStacksOnPlane(benchmark::State& state) { CollisionStages(state, true); }
BENCHMARK(BM_BoxStacksOnPlane)->Arg(40)->Arg(160);

} // namespace
