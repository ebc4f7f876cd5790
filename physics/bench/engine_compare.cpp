// The engine measured as physicists and game developers measure engines: one scene description
// (a column of boxes, pyramids, a rain of boxes, spheres on a triangle mesh) run by this engine
// and, when the benchmark build found it, by a well-known open-source engine (Bullet), with the
// time per step and the quality of the result side by side.

#include "physics/bench/engine_compare.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "physics/core/collision/trilist.h"
#include "physics/core/context/context.h"
#include "physics/core/context/dynamics.h"
#include "physics/core/context/manager.h"
#include "physics/core/context/objtypes.h"
#include "physics/core/context/pipeline.h"
#include "physics/core/volume/primitives.h"

#if defined(DUN_HAVE_BULLET)
#include <btBulletDynamicsCommon.h>
#endif

namespace physics_bench {

namespace {

constexpr float kGravity = -10.0f;
constexpr float kHalf = 0.5f;
constexpr float kRadius = 0.5f;
constexpr float kFriction = 0.5f;

// ---- the scene description -------------------------------------------------------------------

struct Body {
    float x, y, z;
    bool sphere;
};

struct Mesh {
    int cells = 0; // cells per side; 2 triangles each
    float size = 0.0f;
    std::vector<float> heights; // (cells + 1)^2 vertex heights
    float At(int i, int j) const { return heights[static_cast<std::size_t>(j * (cells + 1) + i)]; }
    float X(int i) const { return -size / 2.0f + size * static_cast<float>(i) / static_cast<float>(cells); }
};

struct SceneSpec {
    std::string name;
    std::vector<Body> bodies;
    bool measuredStack = false; // column or pyramid: drift and collapse are measured
    std::shared_ptr<Mesh> mesh; // null: a floor plane at y = 0
};

SceneSpec Build(const Scene& s) {
    SceneSpec spec;
    char name[64];
    if (s.kind == Scene::kColumn) {
        std::snprintf(name, sizeof name, "column of %d", s.n);
        for (int k = 0; k < s.n; ++k) {
            spec.bodies.push_back({0.0f, 0.501f + 1.003f * static_cast<float>(k), 0.0f, false});
        }
        spec.measuredStack = true;
    } else if (s.kind == Scene::kPyramid) {
        std::snprintf(name, sizeof name, "pyramid base %d", s.n);
        for (int level = 0; level < s.n; ++level) {
            const int across = s.n - level;
            for (int i = 0; i < across; ++i) {
                spec.bodies.push_back({(static_cast<float>(i) - 0.5f * static_cast<float>(across - 1)) * 1.01f,
                                       0.501f + 1.003f * static_cast<float>(level), 0.0f, false});
            }
        }
        spec.measuredStack = true;
    } else if (s.kind == Scene::kRain) {
        std::snprintf(name, sizeof name, "rain of %d", s.n);
        const int side = static_cast<int>(std::ceil(std::sqrt(static_cast<double>(s.n))));
        for (int k = 0; k < s.n; ++k) {
            const int i = k % side, j = k / side;
            spec.bodies.push_back({(static_cast<float>(i) - 0.5f * static_cast<float>(side)) * 1.6f,
                                   1.0f + 0.7f * static_cast<float>((k * 7) % 5),
                                   (static_cast<float>(j) - 0.5f * static_cast<float>(side)) * 1.6f, false});
        }
    } else {
        std::snprintf(name, sizeof name, "%d spheres on mesh", s.n);
        auto mesh = std::make_shared<Mesh>();
        mesh->cells = 71; // 2 x 71 x 71 = 10,082 triangles
        mesh->size = 71.0f;
        for (int j = 0; j <= mesh->cells; ++j) {
            for (int i = 0; i <= mesh->cells; ++i) {
                mesh->heights.push_back(0.4f * std::sin(0.35f * static_cast<float>(i)) *
                                        std::cos(0.3f * static_cast<float>(j)));
            }
        }
        spec.mesh = mesh;
        const int side = static_cast<int>(std::ceil(std::sqrt(static_cast<double>(s.n))));
        for (int k = 0; k < s.n; ++k) {
            const int i = k % side, j = k / side;
            spec.bodies.push_back({(static_cast<float>(i) - 0.5f * static_cast<float>(side)) * 2.5f, 2.0f,
                                   (static_cast<float>(j) - 0.5f * static_cast<float>(side)) * 2.5f, true});
        }
    }
    spec.name = name;
    return spec;
}

// ---- engines ---------------------------------------------------------------------------------

class Engine {
public:
    virtual ~Engine() = default;
    virtual bool Ok() const = 0;
    // One step; false when the engine reported that it could not solve it.
    virtual bool Step() = 0;
    virtual void Position(std::size_t i, float out[3]) const = 0;
    virtual void Velocity(std::size_t i, float out[3]) const = 0;
    virtual bool Asleep(std::size_t i) const = 0;
    // The deepest overlap of the last step's contacts (positive), 0 without.
    virtual float Penetration() const = 0;
};

// ---- this engine -------------------------------------------------------------------------------

void MeshWalker(const OvpVolume* volume, const OvMatrix*, const OvpBBox* box, void*, OvpTriangleBuffer* buffer) {
    const auto* mesh = static_cast<const Mesh*>(volume->data.ref[0]);
    buffer->count = 0;
    buffer->flags = 0;
    const float cell = mesh->size / static_cast<float>(mesh->cells);
    auto index = [&](float x) {
        return std::clamp(static_cast<int>(std::floor((x + mesh->size / 2.0f) / cell)), 0, mesh->cells - 1);
    };
    const int i0 = index(box->inf.x), i1 = index(box->sup.x), j0 = index(box->inf.z), j1 = index(box->sup.z);
    for (int j = j0; j <= j1; ++j) {
        for (int i = i0; i <= i1; ++i) {
            const OvV3d a = {mesh->X(i), mesh->At(i, j), mesh->X(j)};
            const OvV3d b = {mesh->X(i + 1), mesh->At(i + 1, j), mesh->X(j)};
            const OvV3d c = {mesh->X(i), mesh->At(i, j + 1), mesh->X(j + 1)};
            const OvV3d d = {mesh->X(i + 1), mesh->At(i + 1, j + 1), mesh->X(j + 1)};
            const OvUInt32 k = static_cast<OvUInt32>(2 * (j * mesh->cells + i));
            OvpTriangleBufferAppend(buffer, a, c, b, mesh, k);
            OvpTriangleBufferAppend(buffer, b, c, d, mesh, k + 1);
        }
    }
}

class OvpEngine final : public Engine {
public:
    OvpEngine(const SceneSpec& spec, float dt, bool sleep, bool raised, int iterations) : dt_(dt) {
        OvpObjTypesReset();
        const OvUInt32 n = static_cast<OvUInt32>(spec.bodies.size());
        OvpContextParams params;
        OvpContextParamsSetDefaults(&params);
        OvpBodyTypeReserve(&params, n + 2, n);
        OvpContextParamsSetMaxJoints(&params, 0);
        if (raised) {
            params.word[ovpPARAM_BATCHBUDGET] = params.word[ovpPARAM_BODYBUDGET] = 100000;
        }
        if (spec.mesh != nullptr) {
            params.word[ovpPARAM_TRIANGLES] = 4000;
            params.word[ovpPARAM_GATHER] = 4000;
        }
        // The world box encloses the scene (the far field's fixed node count is spent on it).
        OvpBBox box = {};
        box.sup = {-1e9f, -1e9f, -1e9f};
        box.inf = {1e9f, 1e9f, 1e9f};
        for (const Body& b : spec.bodies) {
            const OvV3d p = {b.x, b.y, b.z};
            OvpMathBoxExtend(&box, &p);
        }
        const OvV3d ground = {0.0f, -1.0f, 0.0f};
        OvpMathBoxExtend(&box, &ground);
        const float pad = 4.0f;
        box.sup = OvpAdd(box.sup, {pad, pad, pad});
        box.inf = OvpSub(box.inf, {pad, pad, pad});
        context_ = OvpContextCreate(&params, 1.0f, &box);
        if (context_ == nullptr) {
            return;
        }
        const OvV3d g = {0.0f, kGravity, 0.0f};
        OvpPipeline* pipeline = OvpContextGetPipeline(context_);
        OvpPipelineSetGravity(pipeline, &g);
        if (iterations > 0) {
            pipeline->iterations[1] = static_cast<OvUInt32>(iterations);
            pipeline->iterations[0] = static_cast<OvUInt32>(iterations / 3 > 0 ? iterations / 3 : 1);
        }
        if (spec.mesh != nullptr) {
            OvpTrilistInit(&floor_, spec.mesh.get(), ovpTRILIST_USER);
            OvpVolumeSetTriangleCallback(&floor_, reinterpret_cast<OvpVolumeCallback>(&MeshWalker));
        } else {
            OvpVolumeInit(&floor_, &ovpPlaneVolumeType);
            floor_.matrix = {};
            floor_.matrix.right = {1, 0, 0};
            floor_.matrix.up = {0, 0, -1};
            floor_.matrix.at = {0, 1, 0};
        }
        OvpVolumeSetFriction(&floor_, kFriction);
        OvpVolumeSetRestitution(&floor_, 0.0f);
        OvpContextAddFixedVolume(context_, &floor_, 0);
        frames_.resize(spec.bodies.size());
        for (std::size_t i = 0; i < spec.bodies.size(); ++i) {
            const Body& b = spec.bodies[i];
            OvpBodyDef* def = OvpBodyDefCreate();
            if (def == nullptr) {
                return;
            }
            if (b.sphere) {
                OvpSphereInit(def->volume, kRadius);
            } else {
                const float half[3] = {kHalf, kHalf, kHalf};
                OvpBoxInit(def->volume, half);
                OvpVolumeSetFatness(def->volume, 0.001f);
            }
            OvpVolumeSetFriction(def->volume, kFriction);
            OvpVolumeSetRestitution(def->volume, 0.0f);
            OvpDynDefSetMassFromVolume(&def->dynDef, 1.0f, 1);
            OvpObj* o = OvpBodyObjCreate(def);
            OvpBodyDefRelease(def);
            if (o == nullptr) {
                return;
            }
            OvMatrixSetIdentity(&frames_[i]);
            frames_[i].flags = 0;
            frames_[i].pos = {b.x, b.y, b.z};
            o->parts[0].matrix = &frames_[i];
            bodies_.push_back(o);
            if (OvpMgrAddObject(OvpContextGetMgr(context_), o, -1, ovpADD_AWAKE | ovpADD_DYNAMIC | ovpADD_ACTIVATE) ==
                nullptr) {
                return;
            }
            // No swept movers (their extra collision would distort the timing); sleeping as asked.
            o->flags &= ~static_cast<OvUInt32>(ovpOBJ_SWEPTFAST);
            if (!sleep) {
                o->flags &= ~static_cast<OvUInt32>(ovpOBJ_MAYSLEEP);
            }
        }
        ok_ = true;
    }
    ~OvpEngine() override {
        for (OvpObj* o : bodies_) {
            OvpBodyObjDestroy(o);
        }
        if (context_ != nullptr) {
            OvpContextRemoveFixedVolume(context_, &floor_);
            OvpContextDestroy(context_);
        }
        OvpObjTypesReset();
    }
    bool Ok() const override { return ok_; }
    // A step and the bodies' bound matrices brought up to date (as a game's frame does; a body
    // that falls asleep keeps its place there).
    bool Step() override {
        const bool solved = OvpPipelineStep(OvpContextGetPipeline(context_), dt_) != nullptr;
        for (OvpObj* o : bodies_) {
            if (o->parts[0].dyn != nullptr) {
                o->type->updateFrames(o);
            }
        }
        return solved;
    }
    void Position(std::size_t i, float out[3]) const override {
        const OvpObj* o = bodies_[i];
        const OvpDyn* d = o->parts[0].dyn;
        const OvV3d p = d != nullptr ? d->manager->bodies->matrices[d->body].pos : o->parts[0].matrix->pos;
        out[0] = p.x, out[1] = p.y, out[2] = p.z;
    }
    void Velocity(std::size_t i, float out[3]) const override {
        const OvpDyn* d = bodies_[i]->parts[0].dyn;
        const float* v = d != nullptr ? d->manager->bodies->velocities[d->body] : nullptr;
        for (int k = 0; k < 3; ++k) {
            out[k] = v != nullptr ? v[k] : 0.0f;
        }
    }
    bool Asleep(std::size_t i) const override {
        const OvpObj* o = bodies_[i];
        return !OvpBitTest(o->manager->awake, o->slot);
    }
    float Penetration() const override {
        const OvpPipeline* p = OvpContextGetPipeline(context_);
        float deepest = 0.0f;
        for (OvUInt32 c = 0; c < p->contactCount; ++c) {
            for (OvUInt32 k = 0; k < p->contacts[c].count && k < ovpCONTACTPOINTS; ++k) {
                deepest = std::max(deepest, -p->contacts[c].points[k].separation);
            }
        }
        return deepest;
    }

private:
    float dt_;
    bool ok_ = false;
    OvpContext* context_ = nullptr;
    OvpVolume floor_{};
    std::vector<OvMatrix> frames_;
    std::vector<OvpObj*> bodies_;
};

// ---- the comparison engine ---------------------------------------------------------------------

#if defined(DUN_HAVE_BULLET)

class BulletEngine final : public Engine {
public:
    BulletEngine(const SceneSpec& spec, float dt, bool sleep) : dt_(dt) {
        config_ = std::make_unique<btDefaultCollisionConfiguration>();
        dispatcher_ = std::make_unique<btCollisionDispatcher>(config_.get());
        broadphase_ = std::make_unique<btDbvtBroadphase>();
        solver_ = std::make_unique<btSequentialImpulseConstraintSolver>();
        world_ = std::make_unique<btDiscreteDynamicsWorld>(dispatcher_.get(), broadphase_.get(), solver_.get(),
                                                           config_.get());
        world_->setGravity(btVector3(0, kGravity, 0));
        if (spec.mesh != nullptr) {
            const Mesh& m = *spec.mesh;
            for (int j = 0; j <= m.cells; ++j) {
                for (int i = 0; i <= m.cells; ++i) {
                    vertices_.insert(vertices_.end(), {m.X(i), m.At(i, j), m.X(j)});
                }
            }
            const int row = m.cells + 1;
            for (int j = 0; j < m.cells; ++j) {
                for (int i = 0; i < m.cells; ++i) {
                    const int a = j * row + i, b = a + 1, c = a + row, d = c + 1;
                    indices_.insert(indices_.end(), {a, c, b, b, c, d});
                }
            }
            btIndexedMesh part;
            part.m_numTriangles = static_cast<int>(indices_.size() / 3);
            part.m_triangleIndexBase = reinterpret_cast<const unsigned char*>(indices_.data());
            part.m_triangleIndexStride = 3 * sizeof(int);
            part.m_numVertices = static_cast<int>(vertices_.size() / 3);
            part.m_vertexBase = reinterpret_cast<const unsigned char*>(vertices_.data());
            part.m_vertexStride = 3 * sizeof(float);
            part.m_vertexType = PHY_FLOAT;
            meshData_ = std::make_unique<btTriangleIndexVertexArray>();
            meshData_->addIndexedMesh(part, PHY_INTEGER);
            floorShape_ = std::make_unique<btBvhTriangleMeshShape>(meshData_.get(), true);
        } else {
            floorShape_ = std::make_unique<btStaticPlaneShape>(btVector3(0, 1, 0), 0);
        }
        floorBody_ = std::make_unique<btRigidBody>(0.0f, nullptr, floorShape_.get());
        floorBody_->setFriction(kFriction);
        floorBody_->setRestitution(0.0f);
        world_->addRigidBody(floorBody_.get());
        boxShape_ = std::make_unique<btBoxShape>(btVector3(kHalf, kHalf, kHalf));
        sphereShape_ = std::make_unique<btSphereShape>(kRadius);
        for (const Body& b : spec.bodies) {
            btCollisionShape* shape = b.sphere ? static_cast<btCollisionShape*>(sphereShape_.get()) : boxShape_.get();
            btVector3 inertia(0, 0, 0);
            shape->calculateLocalInertia(1.0f, inertia);
            btTransform t;
            t.setIdentity();
            t.setOrigin(btVector3(b.x, b.y, b.z));
            states_.push_back(std::make_unique<btDefaultMotionState>(t));
            btRigidBody::btRigidBodyConstructionInfo info(1.0f, states_.back().get(), shape, inertia);
            info.m_friction = kFriction;
            info.m_restitution = 0.0f;
            bodies_.push_back(std::make_unique<btRigidBody>(info));
            if (!sleep) {
                bodies_.back()->setActivationState(DISABLE_DEACTIVATION);
            }
            world_->addRigidBody(bodies_.back().get());
        }
    }
    ~BulletEngine() override {
        for (auto& b : bodies_) {
            world_->removeRigidBody(b.get());
        }
        world_->removeRigidBody(floorBody_.get());
    }
    bool Ok() const override { return true; }
    bool Step() override {
        world_->stepSimulation(dt_, 1, dt_);
        return true;
    }
    void Position(std::size_t i, float out[3]) const override {
        const btVector3& p = bodies_[i]->getCenterOfMassPosition();
        out[0] = p.x(), out[1] = p.y(), out[2] = p.z();
    }
    void Velocity(std::size_t i, float out[3]) const override {
        const btVector3& v = bodies_[i]->getLinearVelocity();
        out[0] = v.x(), out[1] = v.y(), out[2] = v.z();
    }
    bool Asleep(std::size_t i) const override { return !bodies_[i]->isActive(); }
    float Penetration() const override {
        float deepest = 0.0f;
        const int manifolds = dispatcher_->getNumManifolds();
        for (int m = 0; m < manifolds; ++m) {
            const btPersistentManifold* pm = dispatcher_->getManifoldByIndexInternal(m);
            for (int k = 0; k < pm->getNumContacts(); ++k) {
                deepest = std::max(deepest, -static_cast<float>(pm->getContactPoint(k).getDistance()));
            }
        }
        return deepest;
    }

private:
    float dt_;
    std::unique_ptr<btDefaultCollisionConfiguration> config_;
    std::unique_ptr<btCollisionDispatcher> dispatcher_;
    std::unique_ptr<btDbvtBroadphase> broadphase_;
    std::unique_ptr<btSequentialImpulseConstraintSolver> solver_;
    std::unique_ptr<btDiscreteDynamicsWorld> world_;
    std::vector<float> vertices_;
    std::vector<int> indices_;
    std::unique_ptr<btTriangleIndexVertexArray> meshData_;
    std::unique_ptr<btCollisionShape> floorShape_;
    std::unique_ptr<btRigidBody> floorBody_;
    std::unique_ptr<btBoxShape> boxShape_;
    std::unique_ptr<btSphereShape> sphereShape_;
    std::vector<std::unique_ptr<btDefaultMotionState>> states_;
    std::vector<std::unique_ptr<btRigidBody>> bodies_;
};

#endif

// ---- measuring ----------------------------------------------------------------------------------

double Energy(const Engine& e, std::size_t n) {
    double total = 0.0;
    for (std::size_t i = 0; i < n; ++i) {
        float p[3], v[3];
        e.Position(i, p);
        e.Velocity(i, v);
        total += 0.5 * (v[0] * v[0] + v[1] * v[1] + v[2] * v[2]) - kGravity * p[1];
    }
    return total;
}

Row Measure(const SceneSpec& spec, Engine& e, const Options& o) {
    Row r;
    const std::size_t n = spec.bodies.size();
    for (int k = 0; k < o.warmup; ++k) {
        r.solved = e.Step() && r.solved;
    }
    std::vector<std::vector<float>> start(n, std::vector<float>(3));
    for (std::size_t i = 0; i < n; ++i) {
        e.Position(i, start[i].data());
    }
    const double e0 = Energy(e, n);
    std::vector<double> ms;
    ms.reserve(static_cast<std::size_t>(o.steps));
    for (int k = 0; k < o.steps; ++k) {
        const auto t0 = std::chrono::steady_clock::now();
        r.solved = e.Step() && r.solved;
        const auto t1 = std::chrono::steady_clock::now();
        ms.push_back(std::chrono::duration<double, std::milli>(t1 - t0).count());
        r.penetration = std::max(r.penetration, static_cast<double>(e.Penetration()));
        if (r.sleepTime < 0.0) {
            bool all = true;
            for (std::size_t i = 0; i < n && all; ++i) {
                all = e.Asleep(i);
            }
            if (all) {
                r.sleepTime = (o.warmup + k + 1) * static_cast<double>(o.dt);
            }
        }
    }
    std::sort(ms.begin(), ms.end());
    r.median = ms[ms.size() / 2];
    r.p95 = ms[std::min(ms.size() - 1, ms.size() * 95 / 100)];
    double mean = 0.0;
    for (double x : ms) {
        mean += x;
    }
    mean /= static_cast<double>(ms.size());
    r.stepsPerSecond = mean > 0.0 ? 1000.0 / mean : 0.0;
    r.energyDrift = Energy(e, n) - e0;
    // Drift of the top box and boxes moved off their places (column and pyramid; measured from
    // where the settling left them, and from where they were built).
    r.collapsed = 0;
    for (std::size_t i = 0; i < n; ++i) {
        float p[3];
        e.Position(i, p);
        const Body& b = spec.bodies[i];
        const double moved =
            std::sqrt((p[0] - b.x) * (p[0] - b.x) + (p[1] - b.y) * (p[1] - b.y) + (p[2] - b.z) * (p[2] - b.z));
        r.collapsed += moved > 0.1 ? 1 : 0;
        if (i + 1 == n) {
            r.topDrift = std::hypot(p[0] - start[i][0], p[2] - start[i][2]);
        }
    }
    r.stack = spec.measuredStack;
    return r;
}

} // namespace

std::vector<Scene> DefaultScenes() {
    return {{Scene::kColumn, 5},   {Scene::kColumn, 10},  {Scene::kColumn, 20}, {Scene::kPyramid, 5},
            {Scene::kPyramid, 10}, {Scene::kPyramid, 20}, {Scene::kRain, 100},  {Scene::kRain, 500},
            {Scene::kRain, 1000},  {Scene::kMesh, 100}};
}

bool BulletAvailable() {
#if defined(DUN_HAVE_BULLET)
    return true;
#else
    return false;
#endif
}

std::string SceneName(const Scene& s) { return Build(s).name; }

bool Run(const Scene& scene, const std::string& engine, const Options& o, Row* out) {
    const SceneSpec spec = Build(scene);
    std::unique_ptr<Engine> e;
    if (engine == "ovp") {
        e = std::make_unique<OvpEngine>(spec, o.dt, o.sleep, o.raisedBudgets, o.iterations);
    }
#if defined(DUN_HAVE_BULLET)
    else if (engine == "bullet") {
        e = std::make_unique<BulletEngine>(spec, o.dt, o.sleep);
    }
#endif
    if (e == nullptr || !e->Ok()) {
        return false;
    }
    *out = Measure(spec, *e, o);
    return true;
}

} // namespace physics_bench
