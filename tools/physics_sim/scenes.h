#pragma once
// Headless physics scenes built through the engine's own set-up calls, with the closed forms
// they are checked against. Each scene records one row per step.

#include <string>
#include <vector>

#include "graphics/core/matrix.h"

struct OvpContext;
struct OvpObj;

namespace physics_sim {

// A world as the framework sets one up: defaults, room for the bodies, the context over a world
// box of +-1000, gravity. Bodies are spheres or full-tensor boxes bound to matrices the world
// owns (as atomics' frames would be).
class World {
public:
    // joints: the joint slots the context reserves.
    World(int bodies, const OvV3d& gravity, int joints = 0);
    ~World();
    World(const World&) = delete;
    World& operator=(const World&) = delete;
    bool ok() const { return context_ != nullptr; }
    // A sphere of the radius and mass at the position; null when the engine refused it.
    OvpObj* AddSphere(float radius, float mass, const OvV3d& position);
    // A box of the half extents with full inertia, mass 1, at the position.
    OvpObj* AddBox(const float half[3], const OvV3d& position);
    void SetVelocity(OvpObj* body, const OvV3d& linear, const OvV3d& angular);
    OvV3d Position(const OvpObj* body) const;
    OvV3d LinearVelocity(const OvpObj* body) const;
    OvV3d AngularVelocity(const OvpObj* body) const;
    // Kinetic energy of rotation, w . I w / 2 with the world-space tensor.
    double RotationalEnergy(const OvpObj* body) const;
    bool Awake(const OvpObj* body) const;
    // One pipeline step, then the bodies' bound matrices are synchronised.
    bool Step(float dt);
    OvpContext* context() const { return context_; }

private:
    OvpObj* Add(OvpObj* body, const OvV3d& position);
    OvpContext* context_ = nullptr;
    std::vector<OvpObj*> bodies_;
    std::vector<OvMatrix> frames_;
};

// One series of a scene: a name, its unit and a value per step.
struct Series {
    std::string name;
    std::vector<double> values;
};

struct Result {
    std::string title;                // plot title
    std::string quantity;             // the plotted quantity with its unit, e.g. "HEIGHT (M)"
    std::vector<double> time;         // seconds, one per row
    std::vector<Series> columns;      // every recorded column (CSV)
    std::vector<std::size_t> plotted; // indices of the columns drawn
    std::vector<std::string> summary; // lines printed after the trajectory
    double deviation = 0.0;           // largest relative deviation from the closed form
    bool ok = true;
};

// A sphere falling from rest at y = 0 under g = -10 with linear damping 0.01.
Result FreeFall(int steps, float dt);
// A full-tensor box without gravity spinning about each principal axis in turn, then about the
// intermediate axis with a small disturbance.
Result Spin(int steps, float dt);
// A box resting on the floor plane without gravity: per step its contact record (points,
// separations, normal); the last step's record in full.
Result BoxOnFloor(int steps, float dt);
// Every pair of volume types swept through each other: contact points per step and per pair.
Result Contacts(int steps);

// Whole steps of the pipeline on a floor plane, each measured against what physics expects.
Result RestSphere(int steps, float dt);
Result RestBox(int steps, float dt);
Result Bounce(int steps, float dt);
Result Incline(int steps, float dt);
// A column of `count` boxes (base 1) or a pyramid of the base.
// A pyramid of the base (base > 1) or a column of count boxes; stacked: at the updates with which
// stacks come to rest (ovpSTACKUPDATES), checked to stand and fall asleep within 3 s.
Result Stack(int steps, float dt, int base, int count, bool stacked = false);
Result Pendulum(int steps, float dt);
Result Hinge(int steps, float dt);
Result Lift(int steps, float dt);
Result Rock(int steps, float dt);
Result Collide(int steps, float dt);

} // namespace physics_sim
