// Behaviour scenes: whole steps of the pipeline (collision, solver, integration) on a floor
// plane, each measured against the quantity physics expects.

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

#include "physics/core/context/context.h"
#include "physics/core/context/dynamics.h"
#include "physics/core/context/joint.h"
#include "physics/core/context/manager.h"
#include "physics/core/context/objtypes.h"
#include "physics/core/context/pipeline.h"
#include "physics/core/dynamics/jointrows.h"
#include "physics/core/volume/primitives.h"
#include "tools/physics_sim/scenes.h"

namespace physics_sim {

namespace {

constexpr float kPi = 3.14159265f;
constexpr float kFat = 0.001f;

std::string Format(const char* format, double a, double b = 0, double c = 0, double d = 0) {
    char line[240];
    std::snprintf(line, sizeof line, format, a, b, c, d);
    return line;
}

// The larger and the smaller of two measurements. A NaN sticks: a state gone bad must not drop
// out of a running maximum or minimum.
double Larger(double a, double b) { return std::isnan(a) || std::isnan(b) ? std::nan("") : std::max(a, b); }
double Smaller(double a, double b) { return std::isnan(a) || std::isnan(b) ? std::nan("") : std::min(a, b); }

// The check line every scene ends with: measured against expected, ok or off (never ok for a
// measurement that is not a finite number).
void Check(Result& r, const char* what, double measured, double expected, const char* tolerance, bool within) {
    within = within && std::isfinite(measured);
    r.summary.push_back(std::string(what) + Format(": measured %.5g, expected %.5g ", measured, expected) + tolerance +
                        (within ? ": ok" : ": off"));
    r.ok = r.ok && within;
}

// A plane fixed volume through the origin whose normal is the world's y axis turned by `tilt`
// radians about z (its at axis is the normal).
struct Floor {
    explicit Floor(World& w, float tilt = 0.0f, float friction = 0.5f, float restitution = 0.0f) : world(w) {
        OvpVolumeInit(&volume, &ovpPlaneVolumeType);
        const float c = std::cos(tilt), s = std::sin(tilt);
        volume.matrix = {};
        volume.matrix.right = {c, s, 0.0f};
        volume.matrix.up = {0.0f, 0.0f, -1.0f};
        volume.matrix.at = {-s, c, 0.0f};
        OvpVolumeSetFriction(&volume, friction);
        OvpVolumeSetRestitution(&volume, restitution);
        added = w.ok() && OvpContextAddFixedVolume(w.context(), &volume, 0) != nullptr;
    }
    ~Floor() {
        if (added) {
            OvpContextRemoveFixedVolume(world.context(), &volume);
        }
    }
    Floor(const Floor&) = delete;
    Floor& operator=(const Floor&) = delete;
    World& world;
    OvpVolume volume;
    bool added = false;
};

OvpDyn* DynOf(OvpObj* o) { return o != nullptr ? o->parts[0].dyn : nullptr; }

// Sets a body's surface values and (when not negative; a sphere's fat is its radius) its fat,
// and renews its box.
void Surface(OvpObj* o, float friction, float restitution, float fat = -1.0f) {
    OvpVolume* v = o->parts[0].volume;
    OvpVolumeSetFriction(v, friction);
    OvpVolumeSetRestitution(v, restitution);
    if (fat >= 0.0f) {
        OvpVolumeSetFatness(v, fat);
    }
    OvpObjUpdateBounds(o);
}

void NoDamping(OvpObj* o) {
    if (OvpDyn* d = DynOf(o)) {
        d->linearDamping = d->angularDamping = 0.0f;
    }
}

void Place(World& w, OvpObj* o, const OvQuat& q) {
    OvpDyn* d = DynOf(o);
    OvMatrix m;
    OvpMathMatrixFromQuat(&m, q);
    m.pos = w.Position(o);
    OvpDynSetFromMatrix(d, &m);
    d->manager->bodies->orientations[d->body] = q;
    OvpObjUpdateBounds(o);
}

OvQuat AxisAngle(const OvV3d& a, float angle) {
    const float s = std::sin(angle / 2.0f);
    return {a.x * s, a.y * s, a.z * s, std::cos(angle / 2.0f)};
}

float UpTilt(const OvpObj* o) {
    const OvpDyn* d = o->parts[0].dyn;
    const OvV3d up = d != nullptr ? d->manager->bodies->matrices[d->body].up : o->parts[0].matrix->up;
    const float c = std::fabs(up.y);
    return std::acos(std::isnan(c) ? c : std::min(1.0f, c)) * 180.0f / kPi; // NaN for a broken matrix
}

// A joint whose first end (frame 0) is `first` (null: the world) and second end `second`.
OvpJoint* Joint(World& w, OvpJointDef* def, OvpObj* first, OvpObj* second) {
    OvpMgr* m = OvpContextGetMgr(w.context());
    const OvpRef r1 = {second, static_cast<OvUInt16>(second != nullptr ? 0 : ovpREFNONE), 0};
    const OvpRef r2 = {first, static_cast<OvUInt16>(first != nullptr ? 0 : ovpREFNONE), 0};
    OvpJoint* j = OvpJointCreate(m, def, &r1, &r2);
    OvpJointDefRelease(def);
    if (j != nullptr && OvpMgrAddJoint(m, j, -1) == nullptr) {
        OvpJointDestroy(j);
        return nullptr;
    }
    return j;
}

void Record(Result& r, Series& s, double t, double value) {
    if (&s == &r.columns[0]) {
        r.time.push_back(t);
    }
    s.values.push_back(value);
}

Result Failed(Result r, const char* why) {
    r.ok = false;
    r.summary.push_back(std::string("the scene could not be set up: ") + why + ": off");
    return r;
}

} // namespace

Result RestSphere(int steps, float dt) {
    Result r;
    r.title = "REST: SPHERE R 0.5 DROPPED FROM 1 M ONTO THE FLOOR, NO RESTITUTION";
    r.quantity = "HEIGHT (M)";
    World w(1, {0.0f, -10.0f, 0.0f});
    Floor floor(w);
    OvpObj* s = w.ok() ? w.AddSphere(0.5f, 1.0f, {0.0f, 1.0f, 0.0f}) : nullptr;
    if (s == nullptr || !floor.added) {
        return Failed(r, "sphere or floor");
    }
    Surface(s, 0.5f, 0.0f);
    r.columns = {{"centre y (m)", {}}};
    r.plotted = {0};
    double yAt1 = 0.0, asleepAt = -1.0;
    for (int n = 1; n <= steps; ++n) {
        w.Step(dt);
        const double t = n * dt;
        const double y = w.Position(s).y;
        Record(r, r.columns[0], t, y);
        if (t <= 1.0 + 1e-6) {
            yAt1 = y;
        }
        if (asleepAt < 0.0 && !w.Awake(s)) {
            asleepAt = t;
        }
    }
    Check(r, "centre height after 1 s (m)", yAt1, 0.5, "+-0.005", std::fabs(yAt1 - 0.5) <= 0.005);
    Check(r, "asleep after (s)", asleepAt, 2.0, "at most", asleepAt >= 0.0 && asleepAt <= 2.0);
    return r;
}

Result RestBox(int steps, float dt) {
    Result r;
    r.title = "REST: BOX HALF 0.5 FAT 0.001 DROPPED FLAT FROM 0.1 M, AND TURNED 30 DEG FROM 0.5 M";
    r.quantity = "HEIGHT (M)";
    r.columns = {{"flat drop, centre y (m)", {}}, {"turned drop, centre y (m)", {}}};
    r.plotted = {0, 1};
    const float half[3] = {0.5f, 0.5f, 0.5f};
    for (int run = 0; run < 2; ++run) {
        World w(1, {0.0f, -10.0f, 0.0f});
        Floor floor(w);
        const float drop = run == 0 ? 0.1f : 0.5f;
        OvpObj* b = w.ok() ? w.AddBox(half, {0.0f, 0.501f + drop + (run == 0 ? 0.0f : 0.3f), 0.0f}) : nullptr;
        if (b == nullptr || !floor.added) {
            return Failed(r, "box or floor");
        }
        Surface(b, 0.5f, 0.0f, kFat);
        if (run == 1) {
            Place(w, b, OvpMathQuatMultiply(AxisAngle({1, 0, 0}, kPi / 6.0f), AxisAngle({0, 0, 1}, kPi / 6.0f)));
        }
        const OvV3d start = w.Position(b);
        double asleepAt = -1.0;
        for (int n = 1; n <= steps; ++n) {
            w.Step(dt);
            Record(r, r.columns[run], n * dt, w.Position(b).y);
            if (asleepAt < 0.0 && !w.Awake(b)) {
                asleepAt = n * dt;
            }
        }
        const OvV3d end = w.Position(b);
        const char* name = run == 0 ? "flat drop" : "turned drop";
        // A contact found while still apart lets the box close the gap: it rests on the floor.
        Check(r, (std::string(name) + ": centre height (m)").c_str(), end.y, 0.501, "-0.005 +0.002",
              end.y >= 0.496 && end.y <= 0.503);
        Check(r, (std::string(name) + ": up axis from vertical (deg)").c_str(), UpTilt(b), 0.0, "below 1",
              UpTilt(b) < 1.0f);
        if (run == 0) {
            const double drift = std::hypot(end.x - start.x, end.z - start.z);
            Check(r, "flat drop: sideways drift (m)", drift, 0.0, "below 0.001", drift < 0.001);
        }
        Check(r, (std::string(name) + ": asleep after (s)").c_str(), asleepAt, 3.0, "at most",
              asleepAt >= 0.0 && asleepAt <= 3.0);
    }
    return r;
}

Result Bounce(int steps, float dt) {
    Result r;
    r.title = "BOUNCE: SPHERE FROM 2 M, RESTITUTION 0.2, 0.5, 0.8; APEX AGAINST E^2 H";
    r.quantity = "HEIGHT ABOVE REST (M)";
    const float es[3] = {0.2f, 0.5f, 0.8f};
    for (int k = 0; k < 3; ++k) {
        r.columns.push_back({Format("e = %.1f (m)", es[k]), {}});
        r.plotted.push_back(static_cast<std::size_t>(k));
    }
    double last = 0.0;
    bool rising = true;
    for (int k = 0; k < 3; ++k) {
        World w(1, {0.0f, -10.0f, 0.0f});
        Floor floor(w, 0.0f, 0.5f, es[k]);
        OvpObj* s = w.ok() ? w.AddSphere(0.5f, 1.0f, {0.0f, 2.5f, 0.0f}) : nullptr;
        if (s == nullptr || !floor.added) {
            return Failed(r, "sphere or floor");
        }
        Surface(s, 0.5f, es[k]);
        NoDamping(s);
        bool bounced = false, done = false;
        double apex = 0.0;
        for (int n = 1; n <= steps; ++n) {
            w.Step(dt);
            const double h = w.Position(s).y - 0.5;
            Record(r, r.columns[k], n * dt, h);
            if (done || DynOf(s) == nullptr) {
                continue;
            }
            const double vy = w.LinearVelocity(s).y;
            bounced = bounced || vy > 0.0;
            if (bounced) {
                apex = Larger(apex, h);
                done = vy < 0.0;
            }
        }
        const double expected = es[k] * es[k] * 2.0;
        Check(r, Format("e = %.1f: first rebound apex (m)", es[k]).c_str(), apex, expected, "+-15%",
              std::fabs(apex - expected) <= 0.15 * expected);
        rising = rising && apex > last && apex <= 2.0;
        last = apex;
    }
    Check(r, "apexes rise with e and stay below the drop (1 = yes)", rising ? 1 : 0, 1, "", rising);
    return r;
}

Result Incline(int steps, float dt) {
    Result r;
    r.title = "INCLINE: BOX ON 30 DEG, MU 0.2 AND 0; ON 20 DEG, MU 0.5 (STICKS)";
    r.quantity = "DISTANCE DOWN THE SLOPE (M)";
    struct Case {
        float degrees, mu;
    };
    const Case cases[3] = {{30.0f, 0.2f}, {30.0f, 0.0f}, {20.0f, 0.5f}};
    for (const Case& c : cases) {
        r.columns.push_back({Format("%.0f deg, mu %.1f (m)", c.degrees, c.mu), {}});
        r.plotted.push_back(r.columns.size() - 1);
    }
    const float half[3] = {0.5f, 0.5f, 0.5f};
    for (int k = 0; k < 3; ++k) {
        const Case& c = cases[k];
        const float a = c.degrees * kPi / 180.0f;
        World w(1, {0.0f, -10.0f, 0.0f});
        Floor floor(w, a, c.mu, 0.0f);
        const OvV3d n = {-std::sin(a), std::cos(a), 0.0f};
        const OvV3d down = {-std::cos(a), -std::sin(a), 0.0f};
        OvpObj* b = w.ok() ? w.AddBox(half, OvpScale(n, 0.501f)) : nullptr;
        if (b == nullptr || !floor.added) {
            return Failed(r, "box or floor");
        }
        Surface(b, c.mu, 0.0f, kFat);
        Place(w, b, AxisAngle({0, 0, 1}, a));
        NoDamping(b);
        const OvV3d start = w.Position(b);
        double v05 = 0.0, v15 = 0.0, along = 0.0, side = 0.0;
        for (int i = 1; i <= steps; ++i) {
            w.Step(dt);
            const OvV3d moved = OvpSub(w.Position(b), start);
            along = OvpDot(moved, down);
            side = std::fabs(moved.z);
            Record(r, r.columns[k], i * dt, along);
            const double v = OvpDot(w.LinearVelocity(b), down);
            v05 = std::fabs(i * dt - 0.5) < 0.5 * dt ? v : v05;
            v15 = std::fabs(i * dt - 1.5) < 0.5 * dt ? v : v15;
        }
        if (k < 2) {
            const double expected = 10.0 * (std::sin(a) - c.mu * std::cos(a));
            const double accel = v15 - v05;
            Check(r, Format("%.0f deg, mu %.1f: acceleration over 0.5-1.5 s (m/s^2)", c.degrees, c.mu).c_str(), accel,
                  expected, k == 0 ? "+-8%" : "+-2%", std::fabs(accel - expected) <= (k == 0 ? 0.08 : 0.02) * expected);
            Check(r, Format("%.0f deg, mu %.1f: sideways drift over distance", c.degrees, c.mu).c_str(),
                  side / std::max(along, 1e-9), 0.0, "below 0.01", side < 0.01 * along);
        } else {
            Check(r, "20 deg, mu 0.5: distance slid (m)", along, 0.0, "below 0.02", std::fabs(along) < 0.02);
        }
    }
    return r;
}

// Boxes in a column (base 1) or a pyramid (base > 1), 1 mm apart.
Result Stack(int steps, float dt, int base, int count, bool stacked) {
    Result r;
    const bool pyramid = base > 1;
    r.title = pyramid ? Format("PYRAMID: BASE %.0f (%.0f BOXES), 1 MM GAPS", base, base * (base + 1) / 2)
                      : Format("STACK: %.0f BOXES IN A COLUMN, 1 MM GAPS", count);
    if (stacked) {
        r.title += Format(", %.0f AND %.0f UPDATES", ovpSTACKUPDATES[0], ovpSTACKUPDATES[1]);
    }
    r.quantity = "HEIGHT (M)";
    const float half[3] = {0.5f, 0.5f, 0.5f};
    struct Box {
        OvpObj* body;
        OvV3d start;
        int level;
    };
    std::vector<Box> boxes;
    const int total = pyramid ? base * (base + 1) / 2 : count;
    World w(total, {0.0f, -10.0f, 0.0f});
    Floor floor(w);
    if (!w.ok() || !floor.added) {
        return Failed(r, "world or floor");
    }
    if (stacked) {
        OvpPipeline* pipeline = OvpContextGetPipeline(w.context());
        pipeline->iterations[0] = ovpSTACKUPDATES[0];
        pipeline->iterations[1] = ovpSTACKUPDATES[1];
    }
    const int levels = pyramid ? base : count;
    for (int level = 0; level < levels; ++level) {
        const int across = pyramid ? base - level : 1;
        for (int i = 0; i < across; ++i) {
            const float x = pyramid ? (static_cast<float>(i) - 0.5f * static_cast<float>(across - 1)) * 1.01f : 0.0f;
            const OvV3d at = {x, 0.501f + 1.003f * static_cast<float>(level), 0.0f};
            OvpObj* b = w.AddBox(half, at);
            if (b == nullptr) {
                return Failed(r, "a box");
            }
            Surface(b, 0.5f, 0.0f, kFat);
            boxes.push_back({b, at, level});
        }
    }
    r.columns = {{"top box centre y (m)", {}}, {"largest displacement (m)", {}}};
    r.plotted = {0};
    bool solved = true;
    int lastAwake = 0; // the last step after which a box was awake
    for (int n = 1; n <= steps; ++n) {
        solved = w.Step(dt) && solved;
        double worst = 0.0;
        for (const Box& b : boxes) {
            const OvV3d d = OvpSub(w.Position(b.body), b.start);
            worst = Larger(worst, OvpLength(d));
            lastAwake = w.Awake(b.body) ? n : lastAwake;
        }
        Record(r, r.columns[0], n * dt, w.Position(boxes.back().body).y);
        r.columns[1].values.push_back(worst);
    }
    int asleep = 0;
    double drift = 0.0, heightError = 0.0, tilt = 0.0;
    for (const Box& b : boxes) {
        const OvV3d p = w.Position(b.body);
        drift = Larger(drift, std::hypot(p.x - b.start.x, p.z - b.start.z));
        heightError = Larger(heightError, std::fabs(p.y - (1.002 * b.level + 0.501)));
        tilt = Larger(tilt, UpTilt(b.body));
        asleep += w.Awake(b.body) ? 0 : 1;
    }
    const double displaced = r.columns[1].values.empty() ? 0.0 : r.columns[1].values.back();
    if (stacked) {
        double moved = 0.0;
        for (double d : r.columns[1].values) {
            moved = Larger(moved, d);
        }
        const double asleepAt = lastAwake < steps ? lastAwake * dt : std::nan("");
        Check(r, "largest displacement over the run (m)", moved, 0.0, "below 0.1", moved < 0.1);
        Check(r, "time until every box is asleep (s)", asleepAt, 0.0, "at most 3", asleepAt <= 3.0);
        Check(r, "every step solved (1 = yes)", solved ? 1 : 0, 1, "", solved);
    } else if (pyramid) {
        Check(r, "largest displacement after the run (m)", displaced, 0.0, "below 0.05", displaced < 0.05);
        Check(r, "every step solved (1 = yes)", solved ? 1 : 0, 1, "", solved);
    } else {
        Check(r, "largest sideways drift (m)", drift, 0.0, "below 0.02", drift < 0.02);
        Check(r, "largest height error from k x 1.002 + 0.501 (m)", heightError, 0.0, "below 0.01", heightError < 0.01);
        Check(r, "largest tilt (deg)", tilt, 0.0, "below 1", tilt < 1.0);
        Check(r, "boxes asleep", asleep, count, "all", asleep == count);
    }
    return r;
}

Result Pendulum(int steps, float dt) {
    Result r;
    r.title = "PENDULUM: SPHERE R 0.1 HUNG 1 M BELOW A WORLD ANCHOR, 10 DEG";
    r.quantity = "SWING ANGLE (DEG)";
    World w(1, {0.0f, -10.0f, 0.0f}, 2);
    const float a = 10.0f * kPi / 180.0f;
    OvpObj* ball = w.ok() ? w.AddSphere(0.1f, 1.0f, {std::sin(a), 2.0f - std::cos(a), 0.0f}) : nullptr;
    OvpJointDef* def = OvpJointDefCreate();
    if (ball == nullptr || def == nullptr) {
        OvpJointDefRelease(def);
        return Failed(r, "ball or joint");
    }
    ball->flags &= ~static_cast<OvUInt32>(ovpOBJ_MAYSLEEP);
    NoDamping(ball);
    const OvQuat turn = AxisAngle({0, 0, 1}, a);
    Place(w, ball, turn);
    def->frame[0].position = {0.0f, 2.0f, 0.0f};
    def->frame[1].position = {0.0f, 1.0f, 0.0f};
    def->frame[1].orientation = turn;
    OvpJoint* j = Joint(w, def, nullptr, ball);
    if (j == nullptr) {
        return Failed(r, "joint");
    }
    r.columns = {{"angle (deg)", {}}, {"anchor separation (m)", {}}};
    r.plotted = {0};
    std::vector<double> crossings;
    double prev = w.Position(ball).x, worst = 0.0;
    for (int n = 1; n <= steps; ++n) {
        w.Step(dt);
        const OvV3d p = w.Position(ball);
        Record(r, r.columns[0], n * dt, std::atan2(p.x, 2.0 - p.y) * 180.0 / kPi);
        if (prev > 0.0 && p.x <= 0.0) {
            crossings.push_back(n * dt - dt * p.x / (p.x - prev));
        }
        prev = p.x;
        OvpJointWorldFrame fa, fb;
        OvpJointGetWorldFrame(j, 0, &fa);
        OvpJointGetWorldFrame(j, 1, &fb);
        const OvV3d d = OvpSub(fa.matrix.pos, fb.matrix.pos);
        worst = Larger(worst, OvpLength(d));
        r.columns[1].values.push_back(OvpLength(d));
    }
    OvpJointDestroy(j);
    const double expected = 2.0 * kPi * std::sqrt((1.0 + 0.4 * 0.01) / 10.0);
    const double period = crossings.size() >= 2
                              ? (crossings.back() - crossings.front()) / static_cast<double>(crossings.size() - 1)
                              : 0.0;
    Check(r, "period (s)", period, expected, "+-3%", std::fabs(period - expected) <= 0.03 * expected);
    Check(r, "largest anchor separation (m)", worst, 0.0, "below 0.005", worst < 0.005);
    return r;
}

Result Hinge(int steps, float dt) {
    Result r;
    r.title = "HINGE: DOOR ABOUT A VERTICAL AXIS, HARD LIMIT 90 DEG; SOFT LIMIT AT 0 (K 200, C 0.1)";
    r.quantity = "DOOR ANGLE (DEG)";
    r.columns = {{"hard limit at 90 deg (deg)", {}}, {"soft limit at 0 (deg)", {}}};
    r.plotted = {0, 1};
    const float half[3] = {0.5f, 1.0f, 0.05f};
    for (int run = 0; run < 2; ++run) {
        World w(1, {0.0f, -10.0f, 0.0f}, 2);
        OvpObj* door = w.ok() ? w.AddBox(half, {0.5f, 0.0f, 0.0f}) : nullptr;
        OvpJointDef* def = OvpJointDefCreate();
        if (door == nullptr || def == nullptr) {
            OvpJointDefRelease(def);
            return Failed(r, "door or joint");
        }
        door->flags &= ~static_cast<OvUInt32>(ovpOBJ_MAYSLEEP);
        OvpJointDefSetFlags(def, ovpJOINTHINGE);
        const OvQuat ontoY = AxisAngle({0, 0, 1}, kPi / 2.0f);
        def->frame[0].orientation = ontoY;
        def->frame[1].orientation = ontoY;
        def->frame[1].position = {-0.5f, 0.0f, 0.0f};
        if (run == 0) {
            OvpJointLimitSetEnabled(OvpJointDefGetFirstLimit(def), 1);
            OvpJointLimitSetAngle(OvpJointDefGetFirstLimit(def), kPi / 2.0f);
        } else {
            OvpJointLimit* soft = OvpJointDefGetSecondLimit(def);
            OvpJointLimitSetEnabled(soft, 1);
            OvpJointLimitSetAngle(soft, 0.0f);
            OvpJointSpringSetStiffness(OvpJointLimitGetSpring(soft), 200.0f);
            OvpJointSpringSetDamping(OvpJointLimitGetSpring(soft), 0.1f);
        }
        OvpJoint* j = Joint(w, def, nullptr, door);
        if (j == nullptr) {
            return Failed(r, "joint");
        }
        const OvV3d push = {0.0f, 0.0f, -40.0f}, at = {1.0f, 0.0f, 0.0f};
        OvpDynApplyImpulse(DynOf(door), &push, &at);
        double widest = 0.0, offAxis = 0.0, early = 0.0, late = 0.0, lateSum = 0.0;
        int lateCount = 0;
        for (int n = 1; n <= steps; ++n) {
            w.Step(dt);
            const OvpDyn* d = DynOf(door);
            const OvMatrix& m = d->manager->bodies->matrices[d->body];
            const double angle = std::atan2(-m.right.z, m.right.x) * 180.0 / kPi;
            Record(r, r.columns[run], n * dt, angle);
            widest = Larger(widest, angle);
            offAxis = Larger(offAxis, std::acos(Smaller(1.0, m.up.y)) * 180.0 / kPi);
            if (n * dt <= 1.5) {
                early = Larger(early, std::fabs(angle));
            } else if (n * dt >= steps * dt - 1.5) {
                late = Larger(late, std::fabs(angle));
                lateSum += angle;
                ++lateCount;
            }
        }
        OvpJointDestroy(j);
        if (run == 0) {
            Check(r, "hard limit: widest swing (deg)", widest, 90.0, "at most +3", widest <= 93.0 && widest > 60.0);
            Check(r, "hard limit: turn off the hinge axis (deg)", offAxis, 0.0, "below 1", offAxis < 1.0);
        } else {
            // The spring centres the door at 0; with damping 0.1 its swing must not grow.
            const double mean = lateCount != 0 ? lateSum / lateCount : 0.0;
            Check(r, "soft limit: mean angle over the last 1.5 s (deg)", mean, 0.0, "+-5", std::fabs(mean) < 5.0);
            Check(r, "soft limit: widest swing late against early (deg)", late, early, "at most", late <= early + 0.5);
        }
    }
    return r;
}

Result Lift(int steps, float dt) {
    Result r;
    r.title = "LIFT: PLATFORM LOCKED ON SIX AXES TO A FRAME RISING AT 1 M/S";
    r.quantity = "LAG BEHIND THE FRAME (M)";
    World w(1, {0.0f, -10.0f, 0.0f}, 2);
    const float half[3] = {1.0f, 0.1f, 1.0f};
    OvpObj* lift = w.ok() ? w.AddBox(half, {0.0f, 0.0f, 0.0f}) : nullptr;
    OvpJointDef* def = OvpJointDefCreate();
    if (lift == nullptr || def == nullptr) {
        OvpJointDefRelease(def);
        return Failed(r, "platform or joint");
    }
    lift->flags &= ~static_cast<OvUInt32>(ovpOBJ_MAYSLEEP);
    OvpJointDefSetFlags(def, 63);
    def->refCount++; // the scene moves the frame through the definition it keeps
    OvpJoint* j = Joint(w, def, nullptr, lift);
    if (j == nullptr) {
        OvpJointDefRelease(def);
        return Failed(r, "joint");
    }
    r.columns = {{"lag (m)", {}}};
    r.plotted = {0};
    double lag = 0.0, turn = 0.0;
    for (int n = 1; n <= steps; ++n) {
        const double target = std::min(n * static_cast<double>(dt), 1.0);
        def->frame[0].position.y = static_cast<float>(target);
        w.Step(dt);
        const double l = std::fabs(w.Position(lift).y - target);
        Record(r, r.columns[0], n * dt, l);
        lag = Larger(lag, l);
        turn = Larger(turn, UpTilt(lift));
    }
    OvpJointDestroy(j);
    OvpJointDefRelease(def);
    Check(r, "largest lag (m)", lag, 0.0, "below 0.05", lag < 0.05);
    Check(r, "largest turn (deg)", turn, 0.0, "below 1", turn < 1.0);
    return r;
}

Result Rock(int steps, float dt) {
    Result r;
    r.title = "ROCK: SPHERE R 0.05 AT 50 M/S DOWN ONTO THE FLOOR (SWEPT WHEN FAST)";
    r.quantity = "HEIGHT (M)";
    World w(1, {0.0f, -10.0f, 0.0f});
    Floor floor(w);
    OvpObj* rock = w.ok() ? w.AddSphere(0.05f, 1.0f, {0.0f, 2.0f, 0.0f}) : nullptr;
    if (rock == nullptr || !floor.added) {
        return Failed(r, "rock or floor");
    }
    Surface(rock, 0.5f, 0.0f);
    w.SetVelocity(rock, {0.0f, -50.0f, 0.0f}, {0.0f, 0.0f, 0.0f});
    r.columns = {{"centre y (m)", {}}};
    r.plotted = {0};
    double lowest = 1e9;
    for (int n = 1; n <= steps; ++n) {
        w.Step(dt);
        const double y = w.Position(rock).y;
        Record(r, r.columns[0], n * dt, y);
        lowest = Smaller(lowest, y);
    }
    Check(r, "lowest centre height (m)", lowest, -0.05, "at least", lowest >= -0.05);
    Check(r, "final centre height (m)", w.Position(rock).y, 0.05, "+-0.01",
          std::fabs(w.Position(rock).y - 0.05) <= 0.01);
    return r;
}

Result Collide(int steps, float dt) {
    Result r;
    r.title = "COLLIDE: TWO EQUAL SPHERES HEAD ON, RESTITUTION 1, NO GRAVITY";
    r.quantity = "VELOCITY (M/S)";
    World w(2, {0.0f, 0.0f, 0.0f});
    OvpObj* a = w.ok() ? w.AddSphere(0.5f, 1.0f, {-1.0f, 0.0f, 0.0f}) : nullptr;
    OvpObj* b = w.ok() ? w.AddSphere(0.5f, 1.0f, {1.0f, 0.0f, 0.0f}) : nullptr;
    if (a == nullptr || b == nullptr) {
        return Failed(r, "spheres");
    }
    for (OvpObj* o : {a, b}) {
        Surface(o, 0.0f, 1.0f);
        NoDamping(o);
        o->flags &= ~static_cast<OvUInt32>(ovpOBJ_MAYSLEEP);
    }
    w.SetVelocity(a, {3.0f, 0.0f, 0.0f}, {0.0f, 0.0f, 0.0f});
    w.SetVelocity(b, {-1.0f, 0.0f, 0.0f}, {0.0f, 0.0f, 0.0f});
    r.columns = {{"first sphere vx (m/s)", {}}, {"second sphere vx (m/s)", {}}, {"total momentum (kg m/s)", {}}};
    r.plotted = {0, 1, 2};
    double worst = 0.0;
    for (int n = 1; n <= steps; ++n) {
        w.Step(dt);
        const double va = w.LinearVelocity(a).x, vb = w.LinearVelocity(b).x;
        Record(r, r.columns[0], n * dt, va);
        r.columns[1].values.push_back(vb);
        r.columns[2].values.push_back(va + vb);
        worst = Larger(worst, std::fabs(va + vb - 2.0) / 2.0);
    }
    Check(r, "largest relative momentum change", worst, 0.0, "below 1e-4", worst < 1e-4);
    const double va = w.LinearVelocity(a).x, vb = w.LinearVelocity(b).x;
    Check(r, "first sphere's velocity after (m/s)", va, -1.0, "+-5% of the exchange",
          std::fabs(va + 1.0) <= 0.05 * 4.0);
    Check(r, "second sphere's velocity after (m/s)", vb, 3.0, "+-5% of the exchange",
          std::fabs(vb - 3.0) <= 0.05 * 4.0);
    return r;
}

} // namespace physics_sim
