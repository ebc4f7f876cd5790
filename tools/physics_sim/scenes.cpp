#include "tools/physics_sim/scenes.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "physics/core/context/context.h"
#include "physics/core/context/dynamics.h"
#include "physics/core/context/manager.h"
#include "physics/core/context/objtypes.h"
#include "physics/core/context/pipeline.h"
#include "physics/core/volume/primitives.h"

namespace physics_sim {

namespace {

constexpr int kMaxBodies = 64;

const OvpDyn* DynOf(const OvpObj* body) { return body != nullptr ? body->parts[0].dyn : nullptr; }

std::string Format(const char* format, double a, double b = 0.0) {
    char text[160];
    std::snprintf(text, sizeof(text), format, a, b);
    return text;
}

} // namespace

World::World(int bodies, const OvV3d& gravity, int joints) {
    OvpObjTypesReset();
    OvpContextParams params;
    OvpContextParamsSetDefaults(&params);
    OvpBodyTypeReserve(&params, static_cast<OvUInt32>(bodies + 2), static_cast<OvUInt32>(bodies));
    OvpContextParamsSetMaxJoints(&params, static_cast<OvUInt32>(joints));
    OvpBBox box = {};
    box.sup = {1000.0f, 1000.0f, 1000.0f};
    box.inf = {-1000.0f, -1000.0f, -1000.0f};
    context_ = OvpContextCreate(&params, 1.0f, &box);
    if (context_ != nullptr) {
        OvpPipelineSetGravity(OvpContextGetPipeline(context_), &gravity);
    }
    frames_.reserve(kMaxBodies);
}

World::~World() {
    for (OvpObj* body : bodies_) {
        OvpBodyObjDestroy(body);
    }
    if (context_ != nullptr) {
        OvpContextDestroy(context_);
    }
}

OvpObj* World::Add(OvpObj* body, const OvV3d& position) {
    if (body == nullptr || frames_.size() >= kMaxBodies) {
        if (body != nullptr) {
            OvpBodyObjDestroy(body);
        }
        return nullptr;
    }
    frames_.emplace_back();
    OvMatrix& frame = frames_.back();
    OvMatrixSetIdentity(&frame);
    frame.flags = 0;
    frame.pos = position;
    body->parts[0].matrix = &frame;
    bodies_.push_back(body);
    OvpMgr* manager = OvpContextGetMgr(context_);
    if (OvpMgrAddObject(manager, body, -1, ovpADD_AWAKE | ovpADD_DYNAMIC | ovpADD_ACTIVATE) == nullptr ||
        body->parts[0].dyn == nullptr) {
        return nullptr;
    }
    return body;
}

OvpObj* World::AddSphere(float radius, float mass, const OvV3d& position) {
    OvpBodyDef* def = OvpBodyDefCreate();
    if (def == nullptr) {
        return nullptr;
    }
    OvpSphereInit(def->volume, radius);
    OvpDynDefSetMassFromVolume(&def->dynDef, mass, 1);
    OvpObj* body = OvpBodyObjCreate(def);
    OvpBodyDefRelease(def);
    return Add(body, position);
}

OvpObj* World::AddBox(const float half[3], const OvV3d& position) {
    OvpBodyDef* def = OvpBodyDefCreate();
    if (def == nullptr) {
        return nullptr;
    }
    OvpBoxInit(def->volume, half);
    OvpDynDefSetMassFromVolume(&def->dynDef, 1.0f, 1);
    OvpObj* body = OvpBodyObjCreate(def);
    OvpBodyDefRelease(def);
    return Add(body, position);
}

void World::SetVelocity(OvpObj* body, const OvV3d& linear, const OvV3d& angular) {
    const OvpDyn* dyn = DynOf(body);
    float* v = dyn->manager->bodies->velocities[dyn->body];
    v[0] = linear.x, v[1] = linear.y, v[2] = linear.z;
    v[4] = angular.x, v[5] = angular.y, v[6] = angular.z;
}

OvV3d World::Position(const OvpObj* body) const {
    const OvpDyn* dyn = DynOf(body);
    return dyn != nullptr ? dyn->manager->bodies->matrices[dyn->body].pos : body->parts[0].matrix->pos;
}

OvV3d World::LinearVelocity(const OvpObj* body) const {
    const OvpDyn* dyn = DynOf(body);
    if (dyn == nullptr) {
        return {0.0f, 0.0f, 0.0f};
    }
    const float* v = dyn->manager->bodies->velocities[dyn->body];
    return {v[0], v[1], v[2]};
}

OvV3d World::AngularVelocity(const OvpObj* body) const {
    const OvpDyn* dyn = DynOf(body);
    if (dyn == nullptr) {
        return {0.0f, 0.0f, 0.0f};
    }
    const float* v = dyn->manager->bodies->velocities[dyn->body];
    return {v[4], v[5], v[6]};
}

double World::RotationalEnergy(const OvpObj* body) const {
    const OvpDyn* dyn = DynOf(body);
    if (dyn == nullptr) {
        return 0.0;
    }
    const OvpBodyArrays* b = dyn->manager->bodies;
    const OvMatrix& m = b->matrices[dyn->body];
    const OvV3d w = AngularVelocity(body);
    const double local[3] = {OvpDot(m.right, w), OvpDot(m.up, w), OvpDot(m.at, w)};
    const OvpMatrix3& inertia = b->mass[dyn->body];
    double e = 0.0;
    for (int r = 0; r < 3; ++r) {
        for (int c = 0; c < 3; ++c) {
            e += local[r] * inertia.m[r][c] * local[c];
        }
    }
    return 0.5 * e;
}

bool World::Awake(const OvpObj* body) const {
    return body->manager != nullptr && OvpBitTest(body->manager->awake, body->slot);
}

bool World::Step(float dt) {
    const bool solved = OvpPipelineStep(OvpContextGetPipeline(context_), dt) != nullptr;
    for (OvpObj* body : bodies_) {
        if (body->manager != nullptr) {
            body->type->updateFrames(body);
        }
    }
    return solved;
}

Result FreeFall(int steps, float dt) {
    Result r;
    r.title = "FREE FALL: SPHERE FROM REST AT Y = 0, G = -10, LINEAR DAMPING 0.01";
    r.quantity = "HEIGHT (M)";
    World world(1, {0.0f, -10.0f, 0.0f});
    const double y0 = 0.0, g = -10.0, c = 0.01;
    OvpObj* ball = world.ok() ? world.AddSphere(0.5f, 1.0f, {0.0f, static_cast<float>(y0), 0.0f}) : nullptr;
    if (ball == nullptr) {
        r.ok = false;
        r.summary.push_back("the engine refused the sphere");
        return r;
    }
    const OvpDyn* dyn = ball->parts[0].dyn;
    const OvQuat q0 = dyn->manager->bodies->orientations[dyn->body];
    Series y{"y (m)", {}}, v{"vy (m/s)", {}}, yc{"closed-form y (m)", {}}, vc{"closed-form vy (m/s)", {}};
    double closedY = y0, worst = 0.0;
    bool orientationKept = true, awake = true;
    for (int n = 1; n <= steps; ++n) {
        world.Step(dt);
        const double closedV = (g / c) * (1.0 - std::pow(1.0 - c * dt, n));
        closedY += dt * closedV;
        const OvV3d p = world.Position(ball);
        const OvV3d lv = world.LinearVelocity(ball);
        worst = std::max(worst, std::fabs(lv.y - closedV) / std::fabs(closedV));
        worst = std::max(worst, std::fabs((p.y - y0) - (closedY - y0)) / std::fabs(closedY - y0));
        const OvQuat q = dyn->manager->bodies->orientations[dyn->body];
        orientationKept = orientationKept && q.x == q0.x && q.y == q0.y && q.z == q0.z && q.w == q0.w;
        awake = awake && world.Awake(ball);
        r.time.push_back(n * static_cast<double>(dt));
        y.values.push_back(p.y);
        v.values.push_back(lv.y);
        yc.values.push_back(closedY);
        vc.values.push_back(closedV);
    }
    r.columns = {y, v, yc, vc};
    r.plotted = {0, 2};
    r.deviation = worst;
    r.summary.push_back(Format("largest relative deviation from the closed form: %.3g", worst));
    r.summary.push_back(std::string("orientation unchanged bit for bit: ") + (orientationKept ? "yes" : "no"));
    r.summary.push_back(std::string("awake throughout: ") + (awake ? "yes" : "no"));
    r.ok = orientationKept && awake;
    return r;
}

Result Spin(int steps, float dt) {
    Result r;
    r.title = "SPIN: BOX 1 X 2 X 3, ANGULAR DAMPING 0.01, NO GRAVITY";
    r.quantity = "ANGULAR SPEED (RAD/S)";
    const float half[3] = {0.5f, 1.0f, 1.5f};
    const double w0 = 5.0, c = 0.01;
    const char* names[4] = {"about x (largest moment)", "about y (intermediate)", "about z (smallest)",
                            "near y, disturbed"};
    const OvV3d spins[4] = {{5.0f, 0.0f, 0.0f}, {0.0f, 5.0f, 0.0f}, {0.0f, 0.0f, 5.0f}, {0.01f, 5.0f, 0.01f}};
    double worst = 0.0, rise = 0.0;
    for (int run = 0; run < 4; ++run) {
        World world(1, {0.0f, 0.0f, 0.0f});
        OvpObj* box = world.ok() ? world.AddBox(half, {0.0f, 0.0f, 0.0f}) : nullptr;
        if (box == nullptr) {
            r.ok = false;
            r.summary.push_back("the engine refused the box");
            return r;
        }
        world.SetVelocity(box, {0.0f, 0.0f, 0.0f}, spins[run]);
        Series speed{std::string("|w| ") + names[run] + " (rad/s)", {}};
        double lowest = world.RotationalEnergy(box), runWorst = 0.0;
        for (int n = 1; n <= steps; ++n) {
            world.Step(dt);
            const OvV3d w = world.AngularVelocity(box);
            speed.values.push_back(OvpLength(w));
            if (run == 0) {
                r.time.push_back(n * static_cast<double>(dt));
            }
            if (run < 3) {
                const double closed = w0 * std::pow(1.0 - c * dt, n);
                const double axis[3] = {run == 0 ? closed : 0.0, run == 1 ? closed : 0.0, run == 2 ? closed : 0.0};
                const double dx = w.x - axis[0], dy = w.y - axis[1], dz = w.z - axis[2];
                runWorst = std::max(runWorst, std::sqrt(dx * dx + dy * dy + dz * dz) / closed);
            } else {
                const double e = world.RotationalEnergy(box);
                rise = std::max(rise, e / lowest - 1.0);
                lowest = std::min(lowest, e);
            }
        }
        r.columns.push_back(speed);
        r.plotted.push_back(static_cast<std::size_t>(run));
        if (run < 3) {
            worst = std::max(worst, runWorst);
            r.summary.push_back(std::string("spin ") + names[run] +
                                Format(": largest relative deviation from w0 (1 - c dt)^n: %.3g", runWorst));
        }
    }
    r.deviation = worst;
    r.summary.push_back(
        Format("disturbed intermediate-axis spin: largest energy rise over an earlier low: %.3g%%", 100.0 * rise));
    r.summary.push_back(Format("largest relative deviation from the closed form: %.3g", worst));
    r.ok = rise <= 0.005;
    return r;
}

} // namespace physics_sim
