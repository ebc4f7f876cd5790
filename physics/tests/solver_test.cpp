// The constraint solver and the joint rows: rows against finite differences of the constraint
// functions, the two kernel codings bit for bit, the contact cache, physical behaviours with
// hand-made plane contacts, and hostile input.

#include <gtest/gtest.h>

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstring>
#include <map>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "physics/core/context/dynamics.h"
#include "physics/core/context/joint.h"
#include "physics/core/dynamics/integrate.h"
#include "physics/core/dynamics/jointrows.h"
#include "physics/core/dynamics/solver.h"
#include "physics/tests/physics_test.h"
#include "platform/crt.h"

namespace {

OvQuat RandomQuat(std::mt19937& rng, float spread = 1.0f) {
    std::normal_distribution<float> n;
    OvQuat q = {n(rng) * spread, n(rng) * spread, n(rng) * spread, 1.0f};
    const float l = std::sqrt(q.x * q.x + q.y * q.y + q.z * q.z + q.w * q.w);
    return {q.x / l, q.y / l, q.z / l, q.w / l};
}

// Puts a body at a position and orientation (matrix rebuilt from the quaternion).
void Place(TestWorld& w, OvpObj* o, const OvV3d& at, const OvQuat& q) {
    OvpBodyArrays* b = w.manager->bodies;
    const OvUInt32 i = o->parts[0].dyn->body;
    b->orientations[i] = q;
    b->matrices[i].pos = at;
    float saved[8];
    std::memcpy(saved, b->velocities[i], sizeof(saved));
    std::memset(b->velocities[i], 0, sizeof(saved));
    OvpIntegrateBody(b, i, 0.0f);
    std::memcpy(b->velocities[i], saved, sizeof(saved));
}

// A world whose joints go before its bodies.
struct JointWorld : TestWorld {
    using TestWorld::TestWorld;
    ~JointWorld() {
        for (OvpJoint* j : joints) {
            OvpJointDestroy(j);
        }
    }
    std::vector<OvpJoint*> joints;
};

// A joint whose first end (frame 0) is `first`; null names the world.
OvpJoint* MakeJoint(JointWorld& w, OvpJointDef* def, OvpObj* first, OvpObj* second) {
    // The second reference given becomes the joint's first end.
    const OvpRef r1 = {second, static_cast<OvUInt16>(second != nullptr ? 0 : ovpREFNONE), 0};
    const OvpRef r2 = {first, static_cast<OvUInt16>(first != nullptr ? 0 : ovpREFNONE), 0};
    OvpJoint* j = OvpJointCreate(w.manager, def, &r1, &r2);
    OvpJointDefRelease(def);
    OvpMgrAddJoint(w.manager, j, -1);
    w.joints.push_back(j);
    return j;
}

float RowRate(const OvpRow& r, const float* va, const float* vb) {
    float s = 0.0f;
    for (int k = 0; k < 3; ++k) {
        s += r.linA[k] * va[k] + r.angA[k] * va[4 + k] + r.linB[k] * vb[k] + r.angB[k] * vb[4 + k];
    }
    return s;
}

// The joint's rows with both bodies moved along their velocities for time h.
std::vector<OvpRow> RowsAt(TestWorld& w, const OvpJoint* j, OvpObj* a, OvpObj* b, float h) {
    OvpBodyArrays* arr = w.manager->bodies;
    const OvUInt32 ia = a->parts[0].dyn->body, ib = b->parts[0].dyn->body;
    const OvMatrix ma = arr->matrices[ia], mb = arr->matrices[ib];
    const OvQuat qa = arr->orientations[ia], qb = arr->orientations[ib];
    OvpIntegrateBody(arr, ia, h);
    OvpIntegrateBody(arr, ib, h);
    OvpRow rows[ovpJOINTMAXROWS];
    const OvUInt32 n = OvpJointBuildRows(rows, j, 0, 1, 0.0f, 0.01f);
    arr->matrices[ia] = ma, arr->matrices[ib] = mb;
    arr->orientations[ia] = qa, arr->orientations[ib] = qb;
    return {rows, rows + n};
}

// Plane contacts made by hand: the box corners or sphere point of the body within 2 cm of the
// plane n . x = offset, at most four, deepest first.
void AddPlaneContacts(TestWorld& w, OvpObj* o, const OvV3d& n, float offset, float friction, float restitution,
                      const float* half, float radius) {
    OvpPipeline* p = w.pipeline;
    if (p->contactCount >= p->contactCapacity) {
        return;
    }
    const OvMatrix& m = w.M(o);
    OvpContact& c = p->contacts[p->contactCount];
    float* solved = c.solved;
    std::memset(&c, 0, sizeof(c));
    c.solved = solved;
    c.normal = n;
    c.ref[0] = {o, 0, 0};
    c.ref[1] = {nullptr, ovpREFNONE, 0};
    c.friction = friction;
    c.restitution = restitution;
    auto add = [&](const OvV3d& point, float sep) {
        if (sep > 0.02f || c.count >= ovpCONTACTPOINTS) {
            return;
        }
        c.points[c.count++] = {OvpSub(point, OvpScale(n, sep * 0.5f)), sep, nullptr, {0.0f, 0.0f, 0.0f}, {0, 0}};
    };
    if (half == nullptr) {
        const OvV3d point = OvpSub(m.pos, OvpScale(n, radius));
        add(point, OvpDot(point, n) - offset);
    } else {
        std::vector<std::pair<float, OvV3d>> corners;
        for (int k = 0; k < 8; ++k) {
            const OvV3d local = {(k & 1) ? half[0] : -half[0], (k & 2) ? half[1] : -half[1],
                                 (k & 4) ? half[2] : -half[2]};
            const OvV3d pt = OvpMathTransformPoint(local, &m);
            corners.push_back({OvpDot(pt, n) - offset - 0.001f, pt});
        }
        std::sort(corners.begin(), corners.end(), [](const auto& x, const auto& y) { return x.first < y.first; });
        for (const auto& [sep, pt] : corners) {
            add(pt, sep);
        }
    }
    if (c.count != 0) {
        ++p->contactCount;
    }
}

bool AllFinite(const TestWorld& w) {
    const OvpBodyArrays* b = w.manager->bodies;
    for (OvUInt32 i = 0; i < b->count; ++i) {
        for (int k = 0; k < 8; ++k) {
            if (!std::isfinite(b->velocities[i][k])) {
                return false;
            }
        }
        const OvMatrix& m = b->matrices[i];
        for (float x : {m.pos.x, m.pos.y, m.pos.z, m.right.x, m.up.y, m.at.z}) {
            if (!std::isfinite(x)) {
                return false;
            }
        }
    }
    return true;
}

// A pyramid of unit boxes with `base` boxes along x, built on the floor plane with small gaps;
// its boxes never sleep. A positive `fat` is given to every box.
std::vector<OvpObj*> Pyramid(TestWorld& w, int base, float fat = 0.0f) {
    const float half[3] = {0.5f, 0.5f, 0.5f};
    std::vector<OvpObj*> boxes;
    for (int level = 0; level < base; ++level) {
        for (int i = 0; i < base - level; ++i) {
            const float x = (static_cast<float>(i) - 0.5f * static_cast<float>(base - 1 - level)) * 1.01f;
            boxes.push_back(w.Box(half, {x, 0.501f + 1.002f * static_cast<float>(level), 0.0f}));
            if (fat > 0.0f) {
                OvpVolumeSetFatness(boxes.back()->parts[0].volume, fat);
            }
            boxes.back()->flags &= ~static_cast<OvUInt32>(ovpOBJ_MAYSLEEP);
        }
    }
    return boxes;
}

// The contact forces of the last solve, from every record's force-pass sums: the vertical force
// on each box (indexed as `boxes`) and the largest normal force of one record on one body.
struct Lift {
    std::vector<float> box;
    float largest = 0.0f;
};

Lift ContactLift(const TestWorld& w, const std::vector<OvpObj*>& boxes) {
    Lift out;
    out.box.assign(boxes.size(), 0.0f);
    const OvpPipeline* p = w.pipeline;
    for (OvUInt32 k = 0; k < p->islands.count; ++k) {
        for (const OvpContact* c = p->islands.islands[k].contacts; c != nullptr; c = c->next) {
            for (int side = 0; side < 2; ++side) {
                const OvpObj* o = c->ref[side].part != ovpREFNONE ? c->ref[side].object : nullptr;
                const auto at = std::find(boxes.begin(), boxes.end(), o);
                if (at == boxes.end()) {
                    continue;
                }
                const float* f = c->solved + 8 * side;
                const OvV3d force = {f[0], f[1], f[2]};
                out.box[static_cast<std::size_t>(at - boxes.begin())] += force.y;
                out.largest = std::fmax(out.largest, std::fabs(OvpDot(force, c->normal)));
            }
        }
    }
    return out;
}

} // namespace

TEST(PhysicsJointRows, RowsFollowFiniteDifferencesOfTheirConstraintFunctions) {
    std::mt19937 rng(7);
    std::uniform_real_distribution<float> u(-1.0f, 1.0f), cosine(0.3f, 1.0f);
    int checked = 0, twist = 0, cone = 0, distance = 0;
    for (int trial = 0; trial < 300; ++trial) {
        JointWorld w(2, 2);
        const float half[3] = {0.3f, 0.4f, 0.5f};
        OvpObj* a = w.Box(half, {0, 0, 0});
        OvpObj* b = w.Box(half, {0, 0, 0});
        OvpJointDef* def = OvpJointDefCreate();
        for (OvpJointFrame& f : def->frame) {
            f.orientation = RandomQuat(rng);
            f.position = {u(rng), u(rng), u(rng)};
        }
        // Half the trials check the rows of rotations, half those of translations (where the
        // second body does not turn, so that the lever arms to anchor A are exact).
        const bool rotations = trial % 2 == 0;
        const int kind = (trial / 2) % 5;
        OvpJointLimit& hard = def->limit[0];
        if (rotations) {
            def->flags = kind == 0 ? 1 : kind == 1 ? 2 : kind == 2 ? 4 : kind == 3 ? 6 : 0;
            if (kind == 4) {
                hard.enabled = 7;
                hard.cosine[0] = cosine(rng), hard.cosine[1] = cosine(rng), hard.cosine[2] = cosine(rng);
                def->springEnable = ovpJOINTSPRING_ORIENTATION | 7;
                def->springs1[2] = {50.0f, 1.0f, FLT_MAX};
            }
        } else {
            def->flags = kind < 3 ? (8u << kind) : kind == 3 ? 56u : 0u;
            if (kind == 4) {
                hard.enabled = 8;
                hard.value = 0.2f;
            }
        }
        OvpJoint* j = MakeJoint(w, def, a, b);
        ASSERT_EQ(j->ref[0].object, a);
        Place(w, a, {u(rng), u(rng), u(rng)}, RandomQuat(rng));
        Place(w, b, {u(rng), u(rng), u(rng)}, RandomQuat(rng));
        if (!rotations && kind < 4) {
            // Locks are checked where the anchors meet.
            OvpJointWorldFrame fa, fb;
            OvpJointGetWorldFrame(j, 0, &fa);
            OvpJointGetWorldFrame(j, 1, &fb);
            Place(w, b, OvpAdd(w.M(b).pos, OvpSub(fa.matrix.pos, fb.matrix.pos)), w.manager->bodies->orientations[1]);
        }
        float* va = w.V(a);
        float* vb = w.V(b);
        for (int k : {0, 1, 2, 4, 5, 6}) {
            va[k] = u(rng);
            vb[k] = (rotations || k < 3) ? u(rng) : 0.0f;
        }
        const float h = 2e-3f;
        const std::vector<OvpRow> mid = RowsAt(w, j, a, b, 0.0f);
        const std::vector<OvpRow> plus = RowsAt(w, j, a, b, h);
        const std::vector<OvpRow> minus = RowsAt(w, j, a, b, -h);
        if (mid.size() != plus.size() || mid.size() != minus.size()) {
            continue; // a limit switched on or off within the step
        }
        for (std::size_t r = 0; r < mid.size(); ++r) {
            const float fd = (plus[r].error - minus[r].error) / (2.0f * h);
            const float jv = RowRate(mid[r], va, vb);
            EXPECT_NEAR(fd, jv, 3e-3f + 2e-2f * std::fabs(jv))
                << "trial " << trial << " row " << r << " flags " << def->flags << " limits " << hard.enabled;
            ++checked;
            const bool linear = mid[r].linA[0] != 0.0f || mid[r].linA[1] != 0.0f || mid[r].linA[2] != 0.0f;
            twist += mid[r].hi[1] == 0.0f && mid[r].lo[1] == -FLT_MAX;
            cone += !linear && mid[r].lo[1] == 0.0f && mid[r].hi[1] == FLT_MAX;
            distance += linear && mid[r].lo[1] == 0.0f;
        }
    }
    EXPECT_GT(checked, 400);
    EXPECT_GT(twist, 10);
    EXPECT_GT(cone, 10);
    EXPECT_GT(distance, 10);
}

TEST(PhysicsJointRows, CountsBoundTheRowsAndEdgeCasesHold) {
    std::mt19937 rng(11);
    std::uniform_real_distribution<float> u(-1.0f, 1.0f), c(0.0f, 1.0f);
    for (int trial = 0; trial < 400; ++trial) {
        JointWorld w(2, 2);
        const float half[3] = {0.5f, 0.5f, 0.5f};
        OvpObj* a = w.Box(half, {0, 0, 0});
        OvpObj* b = w.Box(half, {0, 0, 0});
        OvpJointDef* def = OvpJointDefCreate();
        def->flags = rng() & 63u;
        for (OvpJointLimit& l : def->limit) {
            // The soft distance limit, whose row acts in the position pass, is checked below.
            l.enabled = rng() & (&l == &def->limit[1] ? 63u & ~0x38u : 63u);
            l.value = c(rng);
            l.cosine[0] = c(rng), l.cosine[1] = c(rng), l.cosine[2] = c(rng);
        }
        def->springEnable = rng() & 0x7070707u;
        for (int k = 0; k < 3; ++k) {
            def->springs0[k] = {(rng() & 1) ? 0.0f : 100.0f, 0.5f, 10.0f};
            def->springs1[k] = {(rng() & 1) ? 0.0f : 100.0f, (rng() & 1) ? 0.0f : 1.0f, 10.0f};
        }
        OvpJoint* j = MakeJoint(w, def, a, b);
        j->orientation = RandomQuat(rng);
        j->extra[2] = {u(rng), u(rng), u(rng)};
        Place(w, a, {u(rng), u(rng), u(rng)}, RandomQuat(rng));
        Place(w, b, {u(rng), u(rng), u(rng)}, RandomQuat(rng));
        OvpRow rows[ovpJOINTMAXROWS];
        const OvUInt32 n = OvpJointBuildRows(rows, j, 0, 1, 0.0f, 0.01f);
        const OvUInt32 counted = OvpJointRowCount(j);
        EXPECT_LE(n, counted == 0 ? 1u : counted) << "trial " << trial;
        for (OvUInt32 r = 0; r < n; ++r) {
            for (float x :
                 {rows[r].error, rows[r].bias, rows[r].softness, rows[r].factor, rows[r].angA[0], rows[r].linB[2]}) {
                EXPECT_TRUE(std::isfinite(x)) << "trial " << trial << " row " << r;
            }
            // Spring rows never act in the position pass; force bounds are respected.
            if (rows[r].softness > 0.0f) {
                EXPECT_EQ(rows[r].hi[0], 0.0f);
            }
        }
    }
    // Coinciding frames: lock errors 0, the twist lock's direction half of frame A's x axis.
    JointWorld w(2, 2);
    const float half[3] = {0.5f, 0.5f, 0.5f};
    OvpObj* a = w.Box(half, {0, 0, 0});
    OvpObj* b = w.Box(half, {0, 0, 0});
    OvpJointDef* def = OvpJointDefCreate();
    def->flags = 63;
    OvpJoint* j = MakeJoint(w, def, a, b);
    OvpRow rows[ovpJOINTMAXROWS];
    ASSERT_EQ(OvpJointBuildRows(rows, j, 0, 1, 0.0f, 0.01f), 6u);
    for (int r = 0; r < 6; ++r) {
        EXPECT_EQ(rows[r].error, 0.0f);
    }
    EXPECT_FLOAT_EQ(rows[3].angA[0], 0.5f);
    // No locks, nothing exceeded, no spring: one empty row with free force bounds.
    def->flags = 0;
    ASSERT_EQ(OvpJointBuildRows(rows, j, 0, 1, 0.0f, 0.01f), 1u);
    EXPECT_EQ(OvpJointRowCount(j), 0u);
    EXPECT_EQ(rows[0].hi[0], 0.0f);
    EXPECT_EQ(rows[0].lo[1], -FLT_MAX);
    // A distance limit makes no row while the anchors are within the bound.
    def->limit[0].enabled = 8;
    def->limit[0].value = 1.0f;
    EXPECT_EQ(OvpJointBuildRows(rows, j, 0, 1, 0.0f, 0.01f), 1u);
    EXPECT_EQ(OvpJointRowCount(j), 1u);
    Place(w, b, {0.0f, 1.5f, 0.0f}, {0, 0, 0, 1});
    ASSERT_EQ(OvpJointBuildRows(rows, j, 0, 1, 0.0f, 0.01f), 1u);
    EXPECT_NEAR(rows[0].error, -0.5f, 1e-6f);
    EXPECT_EQ(rows[0].lo[1], 0.0f);
    // Past the soft bound alone: a soft row, pushing back in both passes (bounds 0 and FLT_MAX).
    def->limit[0].value = 2.0f;
    def->limit[1].enabled = 8;
    def->limit[1].value = 1.25f;
    def->springs0[0] = {200.0f, 0.5f, FLT_MAX};
    ASSERT_EQ(OvpJointBuildRows(rows, j, 0, 1, 0.0f, 0.01f), 1u);
    EXPECT_NEAR(rows[0].error, -0.25f, 1e-6f);
    EXPECT_NEAR(rows[0].softness, 1.0f / 2.5f, 1e-6f);
    EXPECT_EQ(rows[0].lo[0], 0.0f);
    EXPECT_EQ(rows[0].hi[0], FLT_MAX);
    EXPECT_EQ(rows[0].lo[1], 0.0f);
    EXPECT_EQ(rows[0].hi[1], FLT_MAX);
    // The swing springs keep their rows up to where 2 (1 + R00) reaches 0.01 (174.3 degrees).
    def->limit[0].enabled = def->limit[1].enabled = 0;
    def->springEnable = 0x606;
    OvUInt32 made[2];
    for (int k = 0; k < 2; ++k) {
        Place(w, b, {0.0f, 0.0f, 0.0f},
              {0.0f, std::sin((174.0f + k) * 0.00872665f), 0.0f, std::cos((174.0f + k) * 0.00872665f)});
        made[k] = OvpJointBuildRows(rows, j, 0, 1, 0.0f, 0.01f);
    }
    EXPECT_GT(made[0], made[1]);
}

// The row kernel written out plainly: every iteration scans the rows of groups [first, end) in
// order for the largest violation (the first on ties), then updates it and the residuals of the
// rows sharing its bodies. The pass starts afresh unless asked to go on.
OvUInt32 ReferenceRows(std::vector<OvpRowGroup>& g, std::vector<OvpSolverBody>& bodies,
                       const std::vector<OvpBodyRow>& lists, OvUInt32 pass, float tolerance, OvUInt32 iterations,
                       std::size_t first = 0, std::size_t end = ~std::size_t(0), bool goOn = false) {
    end = std::min(end, g.size());
    for (OvpRowGroup& G : g) {
        for (int l = 0; l < 4 && !goOn; ++l) {
            G.value[l] = 0.0f;
            G.residual[l] = G.start[pass][l];
            G.aboveLo[l] = G.lo[pass][l] < 0.0f ? ~0u : 0u;
            G.belowHi[l] = G.hi[pass][l] > 0.0f ? ~0u : 0u;
        }
    }
    OvUInt32 used = 0;
    for (; used < iterations; ++used) {
        float threshold = tolerance;
        int best = -1;
        for (std::size_t k = first; k < end; ++k) {
            for (int l = 0; l < 4; ++l) {
                const float r = g[k].residual[l];
                if ((r > threshold && g[k].aboveLo[l]) || (r < -threshold && g[k].belowHi[l])) {
                    best = static_cast<int>(k) * 4 + l;
                    threshold = std::fabs(r);
                }
            }
        }
        if (best < 0) {
            break;
        }
        OvpRowGroup& G = g[static_cast<std::size_t>(best / 4)];
        const int l = best % 4;
        const float old = G.value[l];
        const float v = std::min(std::max(old - G.residual[l], G.lo[pass][l]), G.hi[pass][l]);
        G.value[l] = v;
        G.aboveLo[l] = v > G.lo[pass][l] ? ~0u : 0u;
        G.belowHi[l] = v < G.hi[pass][l] ? ~0u : 0u;
        const float delta = v - old;
        G.residual[l] += G.softness[l] * delta;
        for (int side = 0; side < 2; ++side) {
            if (G.body[side] < 0) {
                continue;
            }
            float d[6];
            for (int k = 0; k < 6; ++k) {
                d[k] = G.wj[side][k][l] * delta;
            }
            OvpSolverBody& B = bodies[static_cast<std::size_t>(G.body[side])];
            B.y[0] += d[0], B.y[1] += d[1], B.y[2] += d[2], B.y[4] += d[3], B.y[5] += d[4], B.y[6] += d[5];
            for (OvUInt32 e = B.listStart; e < B.listStart + B.listCount; ++e) {
                OvpRowGroup& H = g[lists[e].group];
                const float(*w)[4] = H.wj[lists[e].side];
                for (int m = 0; m < 4; ++m) {
                    H.residual[m] +=
                        ((((w[0][m] * d[0] + w[1][m] * d[1]) + w[2][m] * d[2]) + w[3][m] * d[3]) + w[4][m] * d[4]) +
                        w[5][m] * d[5];
                }
            }
        }
    }
    return used;
}

// A random system: bodies with random inverse roots and free motion, and groups of one to four
// rows (random Jacobians, targets, softness and bounds) between the bodies pick(rng) names.
template <typename Pick>
void RandomSystem(std::mt19937& rng, std::vector<OvpSolverBody>& body, std::vector<OvpRowGroup>& g, Pick pick) {
    std::uniform_real_distribution<float> u(-1.0f, 1.0f), pos(0.0f, 2.0f);
    for (OvpSolverBody& B : body) {
        std::memset(&B, 0, sizeof(B));
        for (int r = 0; r < 3; ++r) {
            for (int k = 0; k < 3; ++k) {
                B.w[r][k] = (r == k ? 1.0f : 0.0f) + 0.2f * u(rng);
            }
        }
        B.w[0][3] = 0.5f + pos(rng);
        for (float& x : B.b) {
            x = u(rng) * 10.0f;
        }
    }
    for (std::size_t k = 0; k < g.size(); ++k) {
        OvpRow rows[4];
        const OvUInt32 n = 1 + rng() % 4;
        const auto [ba, bb] = pick(rng);
        for (OvUInt32 r = 0; r < n; ++r) {
            rows[r] = OvpRowTemplate();
            rows[r].body[0] = ba, rows[r].body[1] = bb;
            for (int c = 0; c < 3; ++c) {
                rows[r].linA[c] = u(rng), rows[r].angA[c] = u(rng), rows[r].linB[c] = u(rng), rows[r].angB[c] = u(rng);
            }
            rows[r].error = u(rng), rows[r].bias = u(rng);
            rows[r].softness = (rng() & 1) ? 0.01f * pos(rng) : 0.0f;
            rows[r].factor = 0.5f * pos(rng);
            const int kind = rng() % 3;
            if (kind == 0) {
                OvpRowSetBounds(&rows[r], 0.0f, FLT_MAX, 0.0f, FLT_MAX);
            } else if (kind == 1) {
                OvpRowSetBounds(&rows[r], 0.0f, 0.0f, -pos(rng), pos(rng));
            }
        }
        OvpSolverPackRows(&g[k], rows, n, static_cast<OvUInt32>(k));
    }
}

TEST(PhysicsSolver, PackedGroupsHoldTheirRowsLaneByLane) {
    // Rows packed four to a group: lane l of group g holds row 4g + l, lanes past the rows hold
    // the template row, and a constraint on one body twice holds the sum of its two Jacobians on
    // the first side.
    std::mt19937 rng(5);
    std::uniform_real_distribution<float> u(-1.0f, 1.0f);
    const OvpRow pad = OvpRowTemplate();
    for (int trial = 0; trial < 40; ++trial) {
        const OvUInt32 count = 1 + rng() % 9;
        const bool fold = trial % 4 == 3;
        std::vector<OvpRow> rows(count);
        for (OvpRow& r : rows) {
            r = OvpRowTemplate();
            r.body[0] = 2;
            r.body[1] = fold ? 2 : (trial % 2 ? -1 : 5);
            for (float* f : {r.linA, r.angA, r.linB, r.angB}) {
                for (int k = 0; k < 3; ++k) {
                    f[k] = u(rng);
                }
            }
            r.error = u(rng), r.bias = u(rng), r.softness = u(rng), r.factor = u(rng), r.erp = u(rng);
            OvpRowSetBounds(&r, -1.0f - u(rng), 1.0f + u(rng), -2.0f - u(rng), 2.0f + u(rng));
        }
        std::vector<OvpRowGroup> g(3);
        ASSERT_EQ(OvpSolverPackRows(g.data(), rows.data(), count, 7), (count + 3) / 4);
        for (OvUInt32 i = 0; i < (count + 3) / 4 * 4; ++i) {
            const OvpRowGroup& G = g[i / 4];
            const OvUInt32 l = i % 4;
            const OvpRow& r = i < count ? rows[i] : pad;
            ASSERT_EQ(G.constraint, 7u);
            ASSERT_EQ(G.body[0], 2);
            ASSERT_EQ(G.body[1], fold ? -1 : rows[0].body[1]);
            for (int k = 0; k < 3; ++k) {
                EXPECT_EQ(G.j[0][k][l], fold ? r.linA[k] + r.linB[k] : r.linA[k]) << trial << " row " << i;
                EXPECT_EQ(G.j[0][3 + k][l], fold ? r.angA[k] + r.angB[k] : r.angA[k]) << trial << " row " << i;
                EXPECT_EQ(G.j[1][k][l], fold ? 0.0f : r.linB[k]) << trial << " row " << i;
                EXPECT_EQ(G.j[1][3 + k][l], fold ? 0.0f : r.angB[k]) << trial << " row " << i;
            }
            const float got[] = {G.error[l], G.bias[l],  G.softness[l], G.factor[l], G.erp[l],
                                 G.lo[0][l], G.lo[1][l], G.hi[0][l],    G.hi[1][l]};
            const float want[] = {r.error, r.bias, r.softness, r.factor, r.erp, r.lo[0], r.lo[1], r.hi[0], r.hi[1]};
            for (std::size_t f = 0; f < std::size(want); ++f) {
                EXPECT_EQ(got[f], want[f]) << trial << " row " << i << " field " << f;
            }
        }
    }
}

// Each trial of a kernel sweep moves packed residuals four rows at a time or, where the CPU
// allows, eight; the override goes back to the CPU's choice at the end.
struct WideByTrial {
    explicit WideByTrial(int trial) { OvpSolverSetWideOverride(trial % 2); }
    ~WideByTrial() { OvpSolverSetWideOverride(-1); }
    WideByTrial(const WideByTrial&) = delete;
    WideByTrial& operator=(const WideByTrial&) = delete;
};

// The workspace the block solver works in, sized for `groups` row groups.
struct BlockWorkspace {
    explicit BlockWorkspace(OvUInt32 groups)
        : value(OvpSelectTreeNodes(groups)), row(value.size()), lanes(groups), scan(groups), packed(2 * groups) {}
    // A fresh tree over the workspace.
    OvpSelectTree Tree() {
        return {value.data(),
                row.data(),
                static_cast<OvUInt32>(value.size()),
                lanes.data(),
                static_cast<OvUInt32>(lanes.size()),
                scan.data(),
                packed.data(),
                static_cast<OvUInt32>(packed.size())};
    }
    std::vector<float> value;
    std::vector<OvInt32> row;
    std::vector<OvpViolations> lanes;
    std::vector<OvpScanGroup> scan;
    std::vector<OvpPackedRow> packed;
};

// The sharing of a batch's updates written out plainly: block after block, its floor of updates
// and its share of the pool by its groups among those left; what it leaves goes back. With more
// blocks than updates, the largest violations of the whole batch.
OvUInt32 ReferenceBlocks(std::vector<OvpRowGroup>& g, std::vector<OvpSolverBody>& bodies,
                         const std::vector<OvpBodyRow>& lists, const std::vector<OvUInt32>& start, OvUInt32 pass,
                         float tolerance, OvUInt32 iterations) {
    const OvUInt32 blocks = static_cast<OvUInt32>(start.size() - 1);
    const OvUInt32 floor = std::min(3u, iterations / blocks);
    if (floor == 0) {
        return ReferenceRows(g, bodies, lists, pass, tolerance, iterations);
    }
    double pool = iterations - floor * blocks, groupsLeft = static_cast<double>(g.size());
    ReferenceRows(g, bodies, lists, pass, tolerance, 0);
    OvUInt32 used = 0;
    for (OvUInt32 k = 0; k < blocks; ++k) {
        const double size = start[k + 1] - start[k];
        const OvUInt32 share = floor + static_cast<OvUInt32>(std::floor(pool * size / groupsLeft));
        const OvUInt32 n = ReferenceRows(g, bodies, lists, pass, tolerance, share, start[k], start[k + 1], true);
        pool += floor - static_cast<double>(n);
        groupsLeft -= size;
        used += n;
    }
    return used;
}

TEST(PhysicsSolver, IslandsShareTheUpdatesOfTheirBatch) {
    // Islands are solved one after the other, each with its floor and its share of the pool:
    // both codings build and solve every row as the plain loop does, bit for bit, and the values
    // stay within their bounds. Islands copied from the one before tie with it row for row, and
    // the first row must win; some batches share a body between islands or start with an impulse
    // sum; some are one island of up to 300 groups.
    std::mt19937 rng(11);
    for (int trial = 0; trial < 120; ++trial) {
        const WideByTrial wide(trial);
        std::vector<OvpSolverBody> body;
        std::vector<OvpRowGroup> g;
        std::vector<OvUInt32> start = {0};
        const bool whole = trial % 4 == 0;
        const OvUInt32 islands = whole ? 1 : 2 + rng() % 12;
        std::size_t lastBodies = 0, lastGroups = 0;
        for (OvUInt32 k = 0; k < islands; ++k) {
            const OvInt32 base = static_cast<OvInt32>(body.size());
            if (k > 0 && rng() % 3 == 0) {
                // A copy of the island before, on bodies of its own.
                const std::size_t b0 = body.size() - lastBodies, g0 = g.size() - lastGroups;
                for (std::size_t i = 0; i < lastBodies; ++i) {
                    body.push_back(body[b0 + i]);
                }
                for (std::size_t i = 0; i < lastGroups; ++i) {
                    OvpRowGroup G = g[g0 + i];
                    for (OvInt32& b : G.body) {
                        b = b >= 0 ? b + static_cast<OvInt32>(lastBodies) : b;
                    }
                    g.push_back(G);
                }
            } else {
                lastBodies = whole ? 2 + rng() % 6 : 1 + rng() % 3;
                lastGroups = whole ? 1 + rng() % 300 : 1 + rng() % 6;
                std::vector<OvpSolverBody> b(lastBodies);
                std::vector<OvpRowGroup> gk(lastGroups);
                const OvUInt32 nb = static_cast<OvUInt32>(lastBodies);
                RandomSystem(rng, b, gk, [&](std::mt19937& r) {
                    const OvInt32 ba = base + static_cast<OvInt32>(r() % nb);
                    const OvInt32 bb = (r() % 3 == 0) ? -1 : base + static_cast<OvInt32>(r() % nb);
                    return std::pair{ba, bb};
                });
                body.insert(body.end(), b.begin(), b.end());
                g.insert(g.end(), gk.begin(), gk.end());
            }
            start.push_back(static_cast<OvUInt32>(g.size()));
        }
        const bool shared = trial % 5 == 4, impulse = trial % 7 == 6;
        if (shared) {
            g.back().body[1] = 0; // a body of the first island
        }
        const OvUInt32 groups = static_cast<OvUInt32>(g.size()), bodies = static_cast<OvUInt32>(body.size());
        std::vector<OvpBodyRow> lists(2 * groups);
        std::vector<OvpRowGroup> g2 = g;
        OvpSolverBuildScalar(g.data(), groups, body.data(), 0.01f);
        OvpSolverBuildSse(g2.data(), groups, body.data(), 0.01f);
        ASSERT_EQ(std::memcmp(g.data(), g2.data(), sizeof(OvpRowGroup) * groups), 0) << "trial " << trial;
        OvpSolverBuildLists(g.data(), groups, body.data(), bodies, lists.data());
        std::vector<OvpRowGroup> g3 = g;
        std::vector<OvpSolverBody> body2 = body, body3 = body;
        BlockWorkspace work(groups);
        OvpSelectTree tree = work.Tree();
        const OvUInt32 pools[] = {2, 7, 30, 300, 5000};
        const OvUInt32 pool = pools[rng() % 5];
        for (int round = 0; round < 3; ++round) {
            for (OvUInt32 pass = 0; pass < 2; ++pass) {
                for (auto* v : {&body, &body2, &body3}) {
                    for (OvpSolverBody& B : *v) {
                        std::memset(B.y, 0, sizeof(B.y));
                    }
                    (*v)[0].y[1] = impulse ? 0.25f : 0.0f;
                }
                const std::string at = "trial " + std::to_string(trial) + " round " + std::to_string(round) + " pass " +
                                       std::to_string(pass);
                const OvUInt32 n1 = OvpSolverSolveBlocks(OvpSolverRowsScalar, g.data(), start.data(), islands,
                                                         body.data(), lists.data(), pass, 1e-5f, pool, &tree);
                const OvUInt32 n2 = OvpSolverSolveBlocks(OvpSolverRowsSse, g2.data(), start.data(), islands,
                                                         body2.data(), lists.data(), pass, 1e-5f, pool, &tree);
                const OvUInt32 n3 = ReferenceBlocks(g3, body3, lists, start, pass, 1e-5f, pool);
                ASSERT_EQ(n1, n3) << at;
                ASSERT_EQ(n2, n3) << at;
                ASSERT_EQ(std::memcmp(g.data(), g3.data(), sizeof(OvpRowGroup) * groups), 0) << at;
                ASSERT_EQ(std::memcmp(g2.data(), g3.data(), sizeof(OvpRowGroup) * groups), 0) << at;
                ASSERT_EQ(std::memcmp(body.data(), body3.data(), sizeof(OvpSolverBody) * bodies), 0) << at;
                ASSERT_EQ(std::memcmp(body2.data(), body3.data(), sizeof(OvpSolverBody) * bodies), 0) << at;
            }
        }
        for (const OvpRowGroup& G : g) {
            for (int l = 0; l < 4; ++l) {
                EXPECT_GE(G.value[l], G.lo[1][l]);
                EXPECT_LE(G.value[l], G.hi[1][l]);
            }
        }
    }
}

TEST(PhysicsSolver, SmallIslandsSolvedInStepEndWhereThePlainSharingEnds) {
    // Runs of islands of up to four groups, each on bodies of its own, are solved up to four at
    // a time in step (a larger island ends a run); every pool from one update to past the
    // batch's need still gives the rows of the plain sharing, bit for bit, whichever island of a
    // run is left more than it was sure of, in both the narrow and the wide coding.
    std::mt19937 rng(17);
    for (int trial = 0; trial < 16; ++trial) {
        const WideByTrial wide(trial);
        std::vector<OvpSolverBody> body;
        std::vector<OvpRowGroup> g;
        std::vector<OvUInt32> start = {0};
        const OvUInt32 islands = 2 + rng() % 9;
        for (OvUInt32 k = 0; k < islands; ++k) {
            const OvInt32 base = static_cast<OvInt32>(body.size());
            const OvUInt32 nb = 1 + rng() % 2;
            std::vector<OvpSolverBody> b(nb);
            std::vector<OvpRowGroup> gk(rng() % 7 == 0 ? 5 : 1 + rng() % 4);
            RandomSystem(rng, b, gk, [&](std::mt19937& r) {
                return std::pair{base + static_cast<OvInt32>(r() % nb),
                                 r() % 2 ? -1 : base + static_cast<OvInt32>(nb - 1)};
            });
            body.insert(body.end(), b.begin(), b.end());
            g.insert(g.end(), gk.begin(), gk.end());
            start.push_back(static_cast<OvUInt32>(g.size()));
        }
        const OvUInt32 groups = static_cast<OvUInt32>(g.size()), bodies = static_cast<OvUInt32>(body.size());
        std::vector<OvpBodyRow> lists(2 * groups);
        OvpSolverBuildSse(g.data(), groups, body.data(), 0.01f);
        OvpSolverBuildLists(g.data(), groups, body.data(), bodies, lists.data());
        BlockWorkspace work(groups);
        std::vector<OvpRowGroup> gn = g;
        std::vector<OvpSolverBody> bn = body;
        const OvUInt32 need = std::min(ReferenceBlocks(gn, bn, lists, start, 1, 1e-3f, 100000), 150u);
        for (OvUInt32 pool = 1; pool <= need + 1; ++pool) {
            OvpSelectTree tree = work.Tree();
            std::vector<OvpRowGroup> g2 = g, g3 = g;
            std::vector<OvpSolverBody> body2 = body, body3 = body;
            const std::string at = "trial " + std::to_string(trial) + " pool " + std::to_string(pool);
            const OvUInt32 n2 = OvpSolverSolveBlocks(OvpSolverRowsSse, g2.data(), start.data(), islands, body2.data(),
                                                     lists.data(), 1, 1e-3f, pool, &tree);
            ASSERT_EQ(n2, ReferenceBlocks(g3, body3, lists, start, 1, 1e-3f, pool)) << at;
            ASSERT_EQ(std::memcmp(g2.data(), g3.data(), sizeof(OvpRowGroup) * groups), 0) << at;
            ASSERT_EQ(std::memcmp(body2.data(), body3.data(), sizeof(OvpSolverBody) * bodies), 0) << at;
        }
    }
}

TEST(PhysicsSolver, ContactCacheTellsObjectPairsApart) {
    // One bucket (a capacity of 0 still gives one): every record lands in it.
    EXPECT_EQ(OvpContactCacheBuckets(0), 1u);
    EXPECT_EQ(OvpContactCacheBuckets(600), 512u);
    EXPECT_EQ(OvpContactCacheBuckets(512), 512u);
    OvpCacheEntry* buckets[1];
    OvpCacheEntry entries[4];
    OvpContactCache cache = {buckets, 1, entries, 0, 4};
    OvpContactCacheClear(&cache);
    OvpObj objects[4] = {};
    for (int i = 0; i < 4; ++i) {
        objects[i].slot = static_cast<OvUInt16>(i);
    }
    auto record = [&](int a, int b, OvV3d n) {
        OvpContact c{};
        c.ref[0] = {&objects[a], 0, 0};
        c.ref[1] = {&objects[b], 0, 0};
        c.normal = n;
        return c;
    };
    auto match = [&](int a, int b, OvV3d n) {
        const OvpContact c = record(a, b, n);
        return OvpContactCacheMatch(&cache, &c);
    };
    const OvpContact c01 = record(0, 1, {0, 1, 0}), c23 = record(2, 3, {0, 1, 0});
    ASSERT_TRUE(OvpContactCacheStore(&cache, &c01, 5.0f));
    ASSERT_TRUE(OvpContactCacheStore(&cache, &c23, 7.0f));
    EXPECT_EQ(OvpContactCacheMatch(&cache, &c01), 5.0f);
    EXPECT_EQ(OvpContactCacheMatch(&cache, &c23), 7.0f);
    EXPECT_EQ(match(1, 0, {0, 1, 0}), 5.0f); // either order
    EXPECT_EQ(match(0, 2, {0, 1, 0}), 0.0f);
    // Among matching entries the closest normal wins; negative impulses are stored as 0.
    const OvpContact side = record(0, 1, {1, 0, 0});
    ASSERT_TRUE(OvpContactCacheStore(&cache, &side, -3.0f));
    EXPECT_EQ(match(0, 1, {0.9f, 0.1f, 0}), 0.0f);
    EXPECT_EQ(match(0, 1, {0.1f, 0.9f, 0}), 5.0f);
    ASSERT_TRUE(OvpContactCacheStore(&cache, &c01, 1.0f));
    EXPECT_FALSE(OvpContactCacheStore(&cache, &c01, 1.0f)); // full
}

TEST(PhysicsSolver, DroppedBodiesComeToRestOnTheirSupportNotAboveIt) {
    // A box (fat 0.001) flat, a box turned about its up axis, a sphere and a box on a box,
    // dropped from 0 to 0.3 m above where they touch: each comes to rest touching its support
    // (within 2 mm; a contact found while still apart must not hold a body in the air).
    struct Shape {
        const char* name;
        bool sphere;
        bool onBox;
        float turn;
    };
    const float half[3] = {0.5f, 0.5f, 0.5f};
    for (const Shape& k : {Shape{"box", false, false, 0.0f}, Shape{"turned box", false, false, 0.6f},
                           Shape{"sphere", true, false, 0.0f}, Shape{"box on a box", false, true, 0.0f}}) {
        for (float drop : {0.0f, 0.004f, 0.02f, 0.05f, 0.3f}) {
            TestWorld w(3, 0, 0, {0.0f, -10.0f, 0.0f});
            const TestFloor floor(w);
            float rest = k.sphere ? 0.5f : 0.501f;
            if (k.onBox) {
                OvpObj* base = w.Box(half, {0.0f, 0.501f, 0.0f});
                OvpVolumeSetFatness(base->parts[0].volume, 0.001f);
                rest = 0.501f + 1.002f;
            }
            OvpObj* b = k.sphere ? w.Sphere({0.0f, rest + drop, 0.0f}) : w.Box(half, {0.0f, rest + drop, 0.0f});
            if (!k.sphere) {
                OvpVolumeSetFatness(b->parts[0].volume, 0.001f);
                const OvQuat q = {0.0f, std::sin(k.turn / 2.0f), 0.0f, std::cos(k.turn / 2.0f)};
                OvpMathMatrixFromQuat(&w.frames.back(), q);
                w.frames.back().pos = {0.0f, rest + drop, 0.0f};
                OvpDynSetFromMatrix(b->parts[0].dyn, &w.frames.back());
            }
            int asleepAt = -1;
            float y = 0.0f;
            for (int n = 1; n <= 300 && asleepAt < 0; ++n) {
                OvpPipelineStep(w.pipeline, 0.01f);
                y = w.M(b).pos.y;
                if (!w.Awake(b)) {
                    asleepAt = n;
                }
            }
            const std::string name = std::string(k.name) + " dropped " + std::to_string(drop);
            EXPECT_GT(asleepAt, 0) << name;
            EXPECT_NEAR(y, rest, 0.002f) << name;
        }
    }
}

// (Pendulum, hinge, lift, rest, bounce and inclines are scenes of physics_sim, checked with the
// physics label.)
TEST(PhysicsSolver, ADistanceLimitHoldsAFallingBall) {
    // A distance limit of 1 m to a world anchor holds a falling ball (once it has caught it).
    JointWorld w(1, 1, 0, {0.0f, -10.0f, 0.0f});
    OvpObj* ball = w.Sphere({0.3f, 0.0f, 0.0f});
    OvpJointDef* jd = OvpJointDefCreate();
    jd->flags = 0;
    OvpJointLimitSetEnabled(&jd->limit[0], 8);
    jd->limit[0].value = 1.0f;
    MakeJoint(w, jd, nullptr, ball);
    float farthest = 0.0f;
    for (int n = 1; n <= 200 && ball->parts[0].dyn != nullptr; ++n) {
        OvpPipelineStep(w.pipeline, 0.01f);
        if (ball->parts[0].dyn != nullptr && n > 60) {
            const OvV3d p = w.M(ball).pos;
            farthest = std::max(farthest, std::sqrt(OvpDot(p, p)));
        }
    }
    EXPECT_GT(farthest, 0.95f);
    EXPECT_LT(farthest, 1.01f);
}

TEST(PhysicsSolver, HostileInputStaysFiniteAndModesAgree) {
    auto run = [](OvUInt32 mode, OvUInt32 batchBudget) {
        OvpCpuSetModeOverride(mode);
        JointWorld w(6, 8, 0, {0.0f, -10.0f, 0.0f});
        OvpCpuSetModeOverride(0);
        w.pipeline->batchBudget = batchBudget;
        const float half[3] = {0.2f, 0.2f, 0.2f};
        std::vector<OvpObj*> links;
        for (int i = 0; i < 5; ++i) {
            links.push_back(w.Box(half, {0.4f * static_cast<float>(i), 2.0f, 0.0f}));
            links.back()->flags &= ~static_cast<OvUInt32>(ovpOBJ_MAYSLEEP);
        }
        for (int i = 0; i < 5; ++i) {
            OvpJointDef* jd = OvpJointDefCreate();
            jd->flags = i == 2 ? ovpJOINTHINGE : ovpJOINTBALL;
            jd->frame[0].position = {i == 0 ? -0.2f : 0.2f, i == 0 ? 2.0f : 0.0f, 0.0f};
            jd->frame[1].position = {-0.2f, 0.0f, 0.0f};
            jd->limit[0].enabled = 7;
            jd->limit[0].cosine[0] = jd->limit[0].cosine[1] = jd->limit[0].cosine[2] = 1.0f;
            jd->springEnable = 0x0707;
            MakeJoint(w, jd, i == 0 ? nullptr : links[i - 1], links[i]);
        }
        // A joint between one object and itself, and huge impulses.
        OvpJointDef* self = OvpJointDefCreate();
        self->flags = 63;
        self->frame[1].position = {0.3f, 0.0f, 0.0f};
        MakeJoint(w, self, links[4], links[4]);
        const OvV3d huge = {1e30f, -1e30f, 1e30f}, at = {0.1f, 2.0f, 0.0f};
        OvpDynApplyImpulse(links[3]->parts[0].dyn, &huge, &at);
        std::vector<float> trace;
        bool solved = true;
        for (int n = 0; n < 120; ++n) {
            solved = OvpPipelineStep(w.pipeline, 0.01f) != nullptr && solved;
            for (OvpObj* o : links) {
                const float* v = w.V(o);
                trace.insert(trace.end(), v, v + 8);
                const OvMatrix& m = w.M(o);
                trace.insert(trace.end(), {m.pos.x, m.pos.y, m.pos.z, m.right.x, m.right.y, m.up.z});
            }
        }
        const OvpBodyArrays* b = w.manager->bodies;
        const float* last = b->velocities[links[0]->parts[0].dyn->body];
        (void)last;
        EXPECT_EQ(solved, batchBudget >= 400u);
        EXPECT_TRUE(AllFinite(w) || batchBudget < 400u) << "mode " << mode;
        return trace;
    };
    const std::vector<float> scalar = run(1, 400), sse = run(2, 400);
    ASSERT_EQ(scalar.size(), sse.size());
    EXPECT_EQ(std::memcmp(scalar.data(), sse.data(), scalar.size() * sizeof(float)), 0);
    for (float x : scalar) {
        ASSERT_TRUE(std::isfinite(x));
    }
    // An exhausted batch budget stops the solve: the step reports it, nothing turns to NaN.
    const std::vector<float> starved = run(1, 1);
    for (float x : starved) {
        ASSERT_TRUE(std::isfinite(x));
    }
}

TEST(PhysicsSweep, FastSpheresStopAtTheFloorOnlyWhenSwept) {
    // A rock of radius 0.05 at 50 m/s onto the floor plane, steps of 1/30 s: 1.7 m a step.
    auto lowest = [](OvUInt32 flags) {
        TestWorld w(1, 0, 0, {0.0f, -10.0f, 0.0f});
        const TestFloor floor(w);
        OvpBodyDef* def = OvpBodyDefCreate();
        OvpSphereInit(def->volume, 0.05f);
        OvpDynDefSetMassFromVolume(&def->dynDef, 1.0f, 1);
        OvpObj* rock = w.Add(def, {0.3f, 2.0f, 0.0f});
        rock->flags = (rock->flags & ~static_cast<OvUInt32>(ovpOBJ_SWEPT | ovpOBJ_SWEPTFAST)) | flags;
        w.V(rock)[1] = -50.0f;
        float low = 1e9f;
        for (int n = 0; n < 30 && rock->parts[0].dyn != nullptr; ++n) {
            OvpPipelineStep(w.pipeline, 1.0f / 30.0f);
            if (rock->parts[0].dyn != nullptr) {
                low = std::min(low, w.M(rock).pos.y);
            }
        }
        return low;
    };
    EXPECT_GE(lowest(ovpOBJ_SWEPTFAST), -0.05f);
    EXPECT_GE(lowest(ovpOBJ_SWEPT), -0.05f);
    EXPECT_LT(lowest(0), -0.05f); // without sweeping it passes through
}

TEST(PhysicsSolver, RestingStacksCarryTheirWeightWhereTheyWereBuilt) {
    // Pyramids of base 5 and 10 and a column of 5 boxes, built touching on the floor plane (the
    // larger pyramid is partitioned at the default budgets, with one-sided records between its
    // partitions). No record pushes with more than the whole structure weighs, and with updates
    // enough for the rows to converge, the force-pass sums on every box balance its weight. At the
    // default updates, after 2 s, the smaller stacks are within 3 mm of where they were built; the
    // larger pyramid, whose rows the default updates leave far from converged, within 2 cm.
    struct Case {
        int base;
        bool column;
        OvUInt32 partitions; // at least this many islands
        float drift;         // at the default updates
    };
    for (const Case& k : {Case{5, false, 1, 0.003f}, Case{10, false, 2, 0.02f}, Case{5, true, 1, 0.003f}}) {
        for (bool converged : {true, false}) {
            TestWorld w(60, 0, 0, {0.0f, -10.0f, 0.0f});
            const TestFloor floor(w);
            std::vector<OvpObj*> boxes;
            if (k.column) {
                const float half[3] = {0.5f, 0.5f, 0.5f};
                for (int level = 0; level < k.base; ++level) {
                    boxes.push_back(w.Box(half, {0.0f, 0.501f + 1.002f * static_cast<float>(level), 0.0f}));
                    OvpVolumeSetFatness(boxes.back()->parts[0].volume, 0.001f);
                    boxes.back()->flags &= ~static_cast<OvUInt32>(ovpOBJ_MAYSLEEP);
                }
            } else {
                boxes = Pyramid(w, k.base, 0.001f);
            }
            if (converged) {
                w.pipeline->iterations[0] = 2000;
                w.pipeline->iterations[1] = 5000;
            }
            std::vector<OvV3d> built;
            for (OvpObj* b : boxes) {
                built.push_back(w.M(b).pos);
            }
            const float weight = 10.0f * static_cast<float>(boxes.size());
            const std::string name = (k.column ? "column " : "pyramid ") + std::to_string(k.base) +
                                     (converged ? ", converged" : ", default updates");
            const int steps = converged ? 100 : 200;
            for (int n = 0; n < steps; ++n) {
                w.RunCollisionStages();
                ASSERT_NE(OvpPipelineSolveAndIntegrate(w.pipeline, 0.01f), nullptr) << name << " step " << n;
                ASSERT_GE(w.pipeline->islands.count, k.partitions) << name;
                if (n >= steps / 2) {
                    const Lift lift = ContactLift(w, boxes);
                    for (std::size_t i = 0; i < boxes.size() && converged; ++i) {
                        ASSERT_NEAR(lift.box[i], 10.0f, 0.1f) << name << " box " << i << " step " << n;
                    }
                    ASSERT_LT(lift.largest, (converged ? 1.01f : 1.0f) * weight) << name << " step " << n;
                }
            }
            float drift = 0.0f;
            for (std::size_t i = 0; i < boxes.size(); ++i) {
                drift = std::fmax(drift, OvpLength(OvpSub(w.M(boxes[i]).pos, built[i])));
            }
            EXPECT_LT(drift, converged ? 0.001f : k.drift) << name;
        }
    }
}

TEST(PhysicsSolver, EveryIslandOfABatchGetsItsShareOfUpdates) {
    // Two lone boxes resting on the floor in one batch with a pyramid whose rows could use every
    // update of a small budget: each island still gets its floor of updates, so the lone boxes
    // stay where they rest instead of falling through the floor.
    TestWorld w(30, 0, 0, {0.0f, -10.0f, 0.0f});
    const TestFloor floor(w);
    const float half[3] = {0.5f, 0.5f, 0.5f};
    std::vector<OvpObj*> lone = {w.Box(half, {-20.0f, 0.4995f, 0.0f})};
    Pyramid(w, 5, 0.001f);
    lone.push_back(w.Box(half, {20.0f, 0.4995f, 0.0f}));
    for (OvpObj* b : lone) {
        b->flags &= ~static_cast<OvUInt32>(ovpOBJ_MAYSLEEP);
    }
    w.pipeline->iterations[0] = 8;
    w.pipeline->iterations[1] = 12;
    for (int n = 0; n < 50; ++n) {
        w.RunCollisionStages();
        ASSERT_NE(OvpPipelineSolveAndIntegrate(w.pipeline, 0.01f), nullptr);
    }
    EXPECT_EQ(w.pipeline->islands.count, 3u);
    for (OvpObj* b : lone) {
        EXPECT_NEAR(w.M(b).pos.y, 0.5f, 0.005f);
        EXPECT_LT(std::fabs(w.V(b)[1]), 0.1f);
    }
}

TEST(PhysicsSolver, IslandsTooManyForAFloorEachShareTheUpdates) {
    // Thirty spheres resting on the floor, each an island of its own, with fewer updates than
    // islands: no island gets a floor, and the updates go wherever the violations are largest,
    // so no sphere is left to sink through the floor.
    TestWorld w(32, 0, 0, {0.0f, -10.0f, 0.0f});
    const TestFloor floor(w);
    std::vector<OvpObj*> balls;
    for (int i = 0; i < 30; ++i) {
        balls.push_back(w.Sphere({2.0f * static_cast<float>(i), 0.499f, 0.0f}));
        balls.back()->flags &= ~static_cast<OvUInt32>(ovpOBJ_MAYSLEEP);
    }
    w.pipeline->iterations[0] = 10;
    w.pipeline->iterations[1] = 20;
    for (int n = 0; n < 100; ++n) {
        w.RunCollisionStages();
        ASSERT_NE(OvpPipelineSolveAndIntegrate(w.pipeline, 0.01f), nullptr);
    }
    for (OvpObj* b : balls) {
        EXPECT_NEAR(w.M(b).pos.y, 0.5f, 0.01f);
    }
}

TEST(PhysicsSolver, IslandsOverTheBudgetArePartitionedAndSolved) {
    // A pyramid of base 10 (55 boxes) on the floor plane is one island of more row groups than
    // the default per-body budget of 400.
    TestWorld w(60, 0, 0, {0.0f, -10.0f, 0.0f});
    const TestFloor floor(w);
    Pyramid(w, 10, 0.001f);
    int partitioned = 0, copies = 0;
    for (int n = 0; n < 30; ++n) {
        OvpPipeline* p = w.pipeline;
        w.RunCollisionStages();
        const OvUInt32 islands = p->islands.count, records = p->contactCount;
        ASSERT_EQ(islands, 1u);
        std::map<const OvpContact*, int> order;
        for (const OvpContact* c = p->islands.islands[0].contacts; c != nullptr; c = c->next) {
            order.emplace(c, static_cast<int>(order.size()));
        }
        ASSERT_NE(OvpPipelineSolveAndIntegrate(p, 0.01f), nullptr) << "step " << n;
        partitioned += p->islands.count > islands ? 1 : 0;
        // Each partition holds its copies first, then its records in the island's order.
        for (OvUInt32 k = 0; k < p->islands.count; ++k) {
            int last = -1;
            for (const OvpContact* c = p->islands.islands[k].contacts; c != nullptr; c = c->next) {
                if (c >= p->contacts + records) {
                    EXPECT_LT(last, 0) << "step " << n;
                } else {
                    EXPECT_GT(order.at(c), last) << "step " << n;
                    last = order.at(c);
                }
            }
        }
        for (OvUInt32 c = records; c < p->contactCount; ++c) {
            // A one-sided copy keeps only its second end.
            EXPECT_EQ(p->contacts[c].ref[0].part, ovpREFNONE);
            EXPECT_NE(p->contacts[c].ref[1].part, ovpREFNONE);
            ++copies;
        }
        ASSERT_TRUE(AllFinite(w));
        // The last batch's records: normal rows push, never pull, in the position pass.
        const OvpSolverSpace& s = p->solver;
        ASSERT_GT(s.contactRecords, 0u);
        for (OvUInt32 r = 0; r < s.contactRecords; ++r) {
            for (float v : s.contactNormals[r]) {
                EXPECT_TRUE(v >= 0.0f && std::isfinite(v));
            }
        }
    }
    EXPECT_EQ(partitioned, 30);
    EXPECT_GT(copies, 0);
    // Every partition fits the budget (how well the pyramid holds is measured above).
    for (OvUInt32 k = 0; k < w.pipeline->islands.count; ++k) {
        EXPECT_LE(w.pipeline->islands.islands[k].solverWords[0], w.pipeline->bodyBudget);
    }
}

TEST(PhysicsSolver, ContactScenesRepeatBitForBitInBothKernelModes) {
    // A pyramid of base 5 dropped a little onto the floor plane, 150 steps from one seed of the
    // far field's tie-breaks: the states of the scalar and the SSE kernels, and of two runs of one
    // mode, are the same bits, the far field's layout too.
    auto run = [](OvUInt32 mode) {
        crt_srand(99);
        OvpCpuSetModeOverride(mode);
        TestWorld w(20, 0, 0, {0.0f, -10.0f, 0.0f});
        OvpCpuSetModeOverride(0);
        const TestFloor floor(w);
        const float half[3] = {0.5f, 0.5f, 0.5f};
        std::vector<OvpObj*> boxes;
        for (int level = 0; level < 5; ++level) {
            for (int i = 0; i < 5 - level; ++i) {
                const float x = (static_cast<float>(i) - 0.5f * static_cast<float>(4 - level)) * 1.01f + 0.01f * level;
                boxes.push_back(w.Box(half, {x, 0.55f + 1.05f * static_cast<float>(level), 0.02f * i}));
                boxes.back()->flags &= ~static_cast<OvUInt32>(ovpOBJ_MAYSLEEP);
            }
        }
        std::vector<float> state;
        for (int n = 0; n < 150; ++n) {
            OvpPipelineStep(w.pipeline, 0.01f);
        }
        for (OvpObj* b : boxes) {
            const float* v = w.V(b);
            const OvMatrix& m = w.M(b);
            state.insert(state.end(), v, v + 8);
            state.insert(state.end(), {m.pos.x, m.pos.y, m.pos.z, m.right.x, m.right.y, m.right.z, m.up.x, m.up.z});
        }
        const float* ff = reinterpret_cast<const float*>(w.manager->farfield);
        state.insert(state.end(), ff, ff + (sizeof(OvpFarfield) - sizeof(void*) * 2 - 8) / sizeof(float));
        return state;
    };
    const std::vector<float> scalar = run(1), sse = run(2), again = run(2);
    ASSERT_EQ(scalar.size(), sse.size());
    EXPECT_EQ(std::memcmp(scalar.data(), sse.data(), scalar.size() * sizeof(float)), 0);
    EXPECT_EQ(std::memcmp(sse.data(), again.data(), sse.size() * sizeof(float)), 0);
}

TEST(PhysicsSolver, RecordsPastABodysBudgetMakeNoRows) {
    // Three box records on one body with a per-body budget of 4 row groups: the first four
    // records' worth keep their deepest point, the rest none.
    TestWorld w(1, 0, 0, {0.0f, -10.0f, 0.0f});
    const float half[3] = {0.5f, 0.5f, 0.5f};
    OvpObj* box = w.Box(half, {0.0f, 0.49f, 0.0f});
    w.pipeline->bodyBudget = 4;
    OvpPipelineSetTimeStep(w.pipeline, 0.01f);
    OvpPipelineUpdateBroadPhase(w.pipeline);
    OvpPipelineCollidePairs(w.pipeline);
    for (int k = 0; k < 6; ++k) {
        AddPlaneContacts(w, box, {0.0f, 1.0f, 0.0f}, 0.0f, 0.5f, 0.0f, half, 0.0f);
    }
    ASSERT_EQ(w.pipeline->contactCount, 6u);
    OvpPipelineBuildIslands(w.pipeline);
    ASSERT_NE(OvpPipelineSolveAndIntegrate(w.pipeline, 0.01f), nullptr);
    for (OvUInt32 c = 0; c < 6; ++c) {
        const OvpContact& r = w.pipeline->contacts[c];
        EXPECT_EQ(r.count, c < 4 ? 1u : 0u) << c;
        if (c < 4) {
            EXPECT_NEAR(r.points[0].separation, -0.011f, 1e-5f); // the deepest corner's
        }
    }
}

TEST(PhysicsSolver, ASettledStackWakesWholeAndSleepsAgain) {
    TestWorld w(4, 0, 0, {0.0f, -10.0f, 0.0f});
    const TestFloor floor(w);
    const float half[3] = {0.5f, 0.5f, 0.5f};
    std::vector<OvpObj*> stack;
    for (int k = 0; k < 3; ++k) {
        stack.push_back(w.Box(half, {0.0f, 0.501f + 1.003f * static_cast<float>(k), 0.0f}));
        OvpVolumeSetFatness(stack.back()->parts[0].volume, 0.001f);
    }
    const OvUInt32 freeDyn = OvpMgrGetFreeDynCount(w.manager);
    auto asleepWithin = [&](int steps) {
        for (int n = 1; n <= steps; ++n) {
            OvpPipelineStep(w.pipeline, 0.01f);
            bool all = true;
            for (OvpObj* b : stack) {
                all = all && !w.Awake(b);
            }
            if (all) {
                return n;
            }
        }
        return -1;
    };
    ASSERT_GT(asleepWithin(300), 0);
    // The next step's broad phase takes the sleepers' dynamics back.
    OvpPipelineStep(w.pipeline, 0.01f);
    EXPECT_EQ(OvpMgrGetFreeDynCount(w.manager), freeDyn + 3);
    // Woken, the bottom box brings the whole stack back; a push (with a wake-up, as a sleeping
    // body's accumulator is not read) sets it moving.
    OvpMgrSetObjectAwake(w.manager, stack[0], 1);
    OvpPipelineStep(w.pipeline, 0.01f);
    for (OvpObj* b : stack) {
        ASSERT_NE(b->parts[0].dyn, nullptr);
    }
    const OvV3d push = {300.0f, 0.0f, 0.0f}; // a force over one step: 3 N s
    OvpDynApplyImpulse(stack[0]->parts[0].dyn, &push, &w.M(stack[0]).pos);
    OvpMgrSetObjectAwake(w.manager, stack[0], 1);
    OvpPipelineStep(w.pipeline, 0.01f);
    // The rest test goes object by object: the pushed box is awake, the ones it carries keep
    // their dynamics while it touches them.
    EXPECT_TRUE(w.Awake(stack[0]));
    EXPECT_GT(w.V(stack[0])[0], 0.0f);
    OvpPipelineStep(w.pipeline, 0.01f);
    for (OvpObj* b : stack) {
        EXPECT_NE(b->parts[0].dyn, nullptr);
    }
    EXPECT_GT(asleepWithin(300), 0);
    OvpPipelineStep(w.pipeline, 0.01f);
    EXPECT_EQ(OvpMgrGetFreeDynCount(w.manager), freeDyn + 3);
}

TEST(PhysicsSolver, AnIslandWithoutRoomForItsPartitionsStaysWhole) {
    // The pyramid island of more row groups than the budget, with no free island record, after
    // the island of two stacked boxes: the solve fails before either island is solved, and the
    // pyramid's island still holds every object and every record.
    TestWorld w(62, 0, 0, {0.0f, -10.0f, 0.0f});
    const TestFloor floor(w);
    const float half[3] = {0.5f, 0.5f, 0.5f};
    const std::vector<OvpObj*> stack = {w.Box(half, {20.0f, 0.501f, 0.0f}), w.Box(half, {20.0f, 1.503f, 0.0f})};
    std::vector<OvpObj*> boxes = Pyramid(w, 10);
    boxes.insert(boxes.end(), stack.begin(), stack.end());
    OvpPipeline* p = w.pipeline;
    for (int n = 0; n < 3; ++n) {
        w.RunCollisionStages();
        ASSERT_EQ(p->islands.count, 2u);
        const OvUInt32 capacity = p->islands.capacity;
        p->islands.capacity = n == 1 ? 2u : capacity;
        OvpPipeline* solved = OvpPipelineSolveAndIntegrate(p, 0.01f);
        p->islands.capacity = capacity;
        ASSERT_EQ(solved == nullptr, n == 1) << "step " << n;
        const OvpContact* between = p->islands.islands[0].contacts; // a record of the stack
        while (between != nullptr && between->ref[0].object != stack[0] && between->ref[1].object != stack[0]) {
            between = between->next;
        }
        ASSERT_NE(between, nullptr);
        EXPECT_EQ(std::any_of(between->solved, between->solved + 16, [](float x) { return x != 0.0f; }), n != 1)
            << "step " << n;
        OvUInt32 objects = 0, records = 0;
        for (OvUInt32 k = 0; k < p->islands.count; ++k) {
            objects += p->islands.islands[k].objectCount;
            for (const OvpContact* c = p->islands.islands[k].contacts; c != nullptr; c = c->next) {
                ++records;
            }
        }
        EXPECT_EQ(objects, boxes.size()) << "step " << n;
        EXPECT_EQ(records, p->contactCount) << "step " << n;
        ASSERT_TRUE(AllFinite(w));
    }
}

TEST(PhysicsSolver, WorkspaceSizesHoldForEveryBatchBudget) {
    // The selection tree holds every block it is sized for; past what a node count can say it
    // is not kept (the kernels scan) rather than wrapping.
    EXPECT_EQ(OvpSelectTreeNodes(1u << 30), 1u << 31); // the largest block with a tree
    EXPECT_EQ(OvpSelectTreeNodes((1u << 30) + 1), 0xFFFFFFFFu);
    for (unsigned long long groups = 1; groups <= 0xFFFFFFFFull; groups = groups * 3 + 1) {
        const OvUInt32 nodes = OvpSelectTreeNodes(static_cast<OvUInt32>(groups));
        if (groups <= (1ull << 30)) {
            EXPECT_GE(nodes, 2 * groups) << groups;
            EXPECT_LT(nodes, 4 * groups + 2) << groups;
        } else {
            EXPECT_EQ(nodes, 0xFFFFFFFFu) << groups;
        }
    }
    // Summing the sizes of a huge workspace ends, and the sum covers every group's record.
    for (OvUInt32 groups : {400u, 0x40000001u, 0x7FFFFFFFu, 0x80000001u, 0xFFFFFFFFu}) {
        OvpSolverSpace space{};
        OvpCarver sizing{nullptr};
        OvpSolverCarve(&space, sizing, groups, 16, 0xFFFFFFFFu, 16);
        EXPECT_EQ(space.groupCapacity, groups);
        EXPECT_EQ(space.tree.packedCapacity, groups <= 0x7FFFFFFFu ? 2 * groups : 0xFFFFFFFFu);
        EXPECT_GE(sizing.used, static_cast<std::size_t>(groups) * (sizeof(OvpRowGroup) + 2 * sizeof(OvpBodyRow)));
        EXPECT_GE(sizing.used, 0x100000000ull * sizeof(OvUInt32)); // the block starts of 2^32 islands
    }
}
