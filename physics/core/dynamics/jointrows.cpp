#include "physics/core/dynamics/jointrows.h"

#include <cfloat>
#include <cmath>

#include "physics/core/context/dynamics.h"
#include "physics/core/context/joint.h"
#include "physics/core/context/manager.h"
#include "physics/core/utils/math.h"

namespace {

OvQuat Conj(const OvQuat& q) { return {-q.x, -q.y, -q.z, q.w}; }

OvV3d Axis(const OvMatrix& m, int k) { return k == 0 ? m.right : k == 1 ? m.up : m.at; }

OvV3d Comb(float a, const OvV3d& u, float b, const OvV3d& v) { return OvpAdd(OvpScale(u, a), OvpScale(v, b)); }

// Everything the rows of one joint share.
struct JointState {
    OvpJointWorldFrame a, b;
    OvV3d d;  // anchor A - anchor B
    OvV3d rA; // lever arms to anchor A
    OvV3d rB;
    OvQuat q; // conj(qA) qB
    float r00, r01, r02;
    OvV3d g[4]; // rows of q's derivative for frame B's angular velocity: x, y, z, w
    bool hasA, hasB;
};

void Prepare(JointState& s, const OvpJoint* joint) {
    OvpJointGetWorldFrame(joint, 0, &s.a);
    OvpJointGetWorldFrame(joint, 1, &s.b);
    s.hasA = s.a.dyn != nullptr;
    s.hasB = s.b.dyn != nullptr;
    s.d = OvpSub(s.a.matrix.pos, s.b.matrix.pos);
    s.rA = OvpSub(s.a.matrix.pos, s.a.bodyPosition);
    s.rB = OvpSub(s.a.matrix.pos, s.b.bodyPosition);
    const OvQuat ca = Conj(s.a.orientation);
    const OvQuat& q = s.q = OvpMathQuatMultiply(ca, s.b.orientation);
    s.r00 = 1.0f - 2.0f * (q.y * q.y + q.z * q.z);
    s.r01 = 2.0f * (q.x * q.y - q.w * q.z);
    s.r02 = 2.0f * (q.x * q.z + q.w * q.y);
    for (int k = 0; k < 3; ++k) {
        const OvQuat e = {k == 0 ? 0.5f : 0.0f, k == 1 ? 0.5f : 0.0f, k == 2 ? 0.5f : 0.0f, 0.0f};
        const OvQuat p = OvpMathQuatMultiply(OvpMathQuatMultiply(ca, e), s.b.orientation);
        OvpSetComponent(s.g[0], k, p.x);
        OvpSetComponent(s.g[1], k, p.y);
        OvpSetComponent(s.g[2], k, p.z);
        OvpSetComponent(s.g[3], k, p.w);
    }
}

void Set3(float* out, const OvV3d& v) {
    out[0] = v.x;
    out[1] = v.y;
    out[2] = v.z;
}

// A row along n: first body -n, -(rA x n); second body n, rB x n.
OvpRow LinearRow(const JointState& s, const OvV3d& n, OvInt32 bodyA, OvInt32 bodyB) {
    OvpRow r = OvpRowTemplate();
    r.body[0] = bodyA;
    r.body[1] = bodyB;
    if (s.hasA) {
        Set3(r.linA, OvpScale(n, -1.0f));
        Set3(r.angA, OvpScale(OvpCross(s.rA, n), -1.0f));
    }
    if (s.hasB) {
        Set3(r.linB, n);
        Set3(r.angB, OvpCross(s.rB, n));
    }
    return r;
}

// A rotation row: angular parts g and -g.
OvpRow RotationRow(const JointState& s, const OvV3d& g, OvInt32 bodyA, OvInt32 bodyB) {
    OvpRow r = OvpRowTemplate();
    r.body[0] = bodyA;
    r.body[1] = bodyB;
    if (s.hasA) {
        Set3(r.angA, g);
    }
    if (s.hasB) {
        Set3(r.angB, OvpScale(g, -1.0f));
    }
    return r;
}

// The soft-spring recipe; false when dt k + c is not above 0 (the row is not appended).
bool Soften(OvpRow& r, const OvpJointSpring& spring, float f, float dt) {
    const float dk = dt * spring.stiffness;
    const float x = dk + spring.damping;
    if (!(x > 0.0f)) {
        return false;
    }
    if (!std::isfinite(x)) {
        // An infinite spring: stiff when the stiffness is what overflowed, else fully damped.
        r.softness = std::fmax(0.0f, 0.1f * f) - f;
        r.factor = std::isfinite(dk) ? 0.0f : 1.0f;
        return true;
    }
    r.softness = std::fmax(1.0f / x, 0.1f * f) - f;
    r.factor = dk / x;
    return true;
}

bool SpringActive(const OvpJointSpring& s) { return s.stiffness + s.damping > 0.0f; }

float SpringBound(const OvpJointSpring& s, OvUInt32 enable, OvUInt32 bit) { return (enable & bit) ? s.bound : FLT_MAX; }

// The swing spring factors; false when 2 (1 + R00) is at most 0.01.
struct Swing {
    float alpha, gamma, beta, delta, t01, t02;
    OvV3d cw, e[3];
};

bool SwingFactors(const JointState& s, const OvQuat& t, const OvV3d& targetW, Swing& out) {
    const float p = 1.0f + s.r00;
    if (!(2.0f * p > 0.01f)) {
        return false;
    }
    const float sp = std::sqrt(2.0f * p);
    out.alpha = 1.0f / (sp + p);
    out.gamma = (sp + 1.0f) / ((4.0f * p + (s.r00 + 3.0f) * sp) * p);
    const float S = 4.0f * (t.x * t.x + t.w * t.w);
    if (!(S > FLT_MIN)) {
        return false;
    }
    const float ss = std::sqrt(S);
    out.beta = 1.0f / (ss + S / 2.0f);
    out.delta = (ss + 1.0f) / ((2.0f * S + (S / 2.0f + 2.0f) * ss) * S / 2.0f);
    const OvV3d tRow = {1.0f - 2.0f * (t.y * t.y + t.z * t.z), 2.0f * (t.x * t.y + t.w * t.z),
                        2.0f * (t.x * t.z - t.w * t.y)};
    out.t01 = tRow.y;
    out.t02 = tRow.z;
    out.cw = OvpCross(targetW, tRow);
    const OvV3d xa = s.a.matrix.right;
    for (int k = 0; k < 3; ++k) {
        out.e[k] = OvpCross(xa, Axis(s.b.matrix, k));
    }
    return true;
}

struct ConeFactors {
    float F, T, Ka, Kb, r, s;
};

ConeFactors Cone(const JointState& st, const OvpJointLimit& limit) {
    ConeFactors c;
    const float ca = std::fmin(limit.cosine[1], 0.999999f);
    const float cb = std::fmin(limit.cosine[2], 0.999999f);
    c.Ka = (1.0f + ca) / (1.0f - ca);
    c.Kb = (1.0f + cb) / (1.0f - cb);
    c.F = c.Ka * st.r01 * st.r01 + c.Kb * st.r02 * st.r02;
    const OvQuat& q = st.q;
    c.r = std::sqrt(q.w * q.w + q.x * q.x);
    c.s = std::sqrt(q.y * q.y + q.z * q.z);
    const float t = 2.0f * c.r * (c.r + 1.0f);
    c.T = t * t;
    return c;
}

float TwistMeasure(const OvQuat& q, float cl) { return q.x * q.x * cl * cl - (1.0f - cl * cl) * q.w * q.w; }

} // namespace

OvpRow OvpRowTemplate() {
    OvpRow r{};
    r.linA[3] = r.angA[3] = r.linB[3] = r.angB[3] = -1.0f;
    OvpRowSetBounds(&r, -FLT_MAX, FLT_MAX, -FLT_MAX, FLT_MAX);
    r.erp = 0.8f;
    r.body[0] = r.body[1] = -1;
    return r;
}

void OvpJointGetWorldFrame(const OvpJoint* joint, OvInt32 end, OvpJointWorldFrame* out) {
    const OvpRef& ref = joint->ref[end != 0 ? 1 : 0];
    const OvpJointFrame& frame = joint->def->frame[end != 0 ? 1 : 0];
    out->dyn = nullptr;
    OvMatrix base;
    OvMatrixSetIdentity(&base);
    OvQuat baseQ = {0.0f, 0.0f, 0.0f, 1.0f};
    OvV3d offset = {0.0f, 0.0f, 0.0f};
    if (ref.object != nullptr && ref.part != ovpREFNONE) {
        const OvUInt16 part = ref.part == ovpREFWHOLE ? 0 : ref.part;
        if (part < ref.object->partCount) {
            const OvpObjPart& p = ref.object->parts[part];
            if (p.dyn != nullptr) {
                const OvpBodyArrays* b = p.dyn->manager->bodies;
                base = b->matrices[p.dyn->body];
                baseQ = b->orientations[p.dyn->body];
                offset = p.dyn->comOffset;
                out->dyn = p.dyn;
            } else if (p.matrix != nullptr) {
                base = *p.matrix;
                if (!OvQuatFromMatrix(&baseQ, &base)) {
                    baseQ = {0.0f, 0.0f, 0.0f, 1.0f};
                }
            }
        }
    }
    out->orientation = OvpMathQuatMultiply(baseQ, frame.orientation);
    const OvV3d arm = OvpSub(frame.position, offset);
    OvpMathMatrixFromQuat(&out->matrix, out->orientation);
    out->matrix.pos = OvpAdd(base.pos, OvpMathTransformVector(arm, &base));
    out->bodyPosition = base.pos;
}

OvUInt32 OvpJointRowCount(const OvpJoint* joint) {
    const OvpJointDef* def = joint->def;
    const OvUInt32 flags = def->flags;
    const OvUInt32 enable = def->springEnable;
    OvUInt32 n = 0;
    n += ((flags & 8) != 0) + ((flags & 16) != 0) + ((flags & 32) != 0);
    n += (flags & 1) != 0;
    const OvUInt32 swing = flags & 6;
    n += swing == 6 ? 2 : swing != 0 ? 1 : 0;
    const OvUInt32 limits = def->limit[0].enabled | def->limit[1].enabled;
    n += (limits & 0x38) != 0;
    n += (limits & 1) != 0;
    n += (limits & 6) != 0;
    for (int k = 0; k < 3; ++k) {
        const OvUInt32 b = 8u << k;
        if (!(flags & b) && (enable & (b | b << 8)) && SpringActive(def->springs1[0])) {
            ++n;
        }
    }
    if (enable & 0x707) {
        if ((flags & 7) == 0 && (enable & ovpJOINTSPRING_ORIENTATION)) {
            n += SpringActive(def->springs1[2]) ? 3 : 0;
        } else {
            if (!(flags & 1) && (enable & 0x101) && SpringActive(def->springs1[1])) {
                ++n;
            }
            if ((enable & 0x606) && SpringActive(def->springs1[2])) {
                JointState s;
                Prepare(s, joint);
                if (2.0f * (1.0f + s.r00) > 0.01f) {
                    n += (!(flags & 2) && (enable & 0x202)) + (!(flags & 4) && (enable & 0x404));
                }
            }
        }
    }
    return n;
}

OvUInt32 OvpJointBuildRows(OvpRow* rows, const OvpJoint* joint, OvInt32 bodyA, OvInt32 bodyB, float f, float dt) {
    const OvpJointDef* def = joint->def;
    const OvUInt32 flags = def->flags;
    const OvUInt32 enable = def->springEnable;
    JointState s;
    Prepare(s, joint);
    OvUInt32 n = 0;
    const OvQuat& q = s.q;
    // 1. Locks.
    for (int k = 0; k < 3; ++k) {
        if (flags & (8u << k)) {
            const OvV3d axis = Axis(s.b.matrix, k);
            OvpRow& r = rows[n++] = LinearRow(s, axis, bodyA, bodyB);
            r.error = -OvpDot(s.d, axis);
        }
    }
    if (flags & 1) {
        OvpRow& r = rows[n++] = RotationRow(s, s.g[0], bodyA, bodyB);
        r.error = -q.x;
    }
    const OvV3d xa = s.a.matrix.right;
    if ((flags & 6) == 2) {
        OvpRow& r = rows[n++] = RotationRow(s, OvpCross(xa, s.b.matrix.up), bodyA, bodyB);
        r.error = s.r01;
    } else if ((flags & 6) == 4) {
        OvpRow& r = rows[n++] = RotationRow(s, OvpCross(xa, s.b.matrix.at), bodyA, bodyB);
        r.error = s.r02;
    } else if ((flags & 6) == 6) {
        OvpRow& ry = rows[n++] = RotationRow(s, s.g[1], bodyA, bodyB);
        ry.error = -q.y;
        OvpRow& rz = rows[n++] = RotationRow(s, s.g[2], bodyA, bodyB);
        rz.error = -q.z;
    }
    const OvpJointLimit& hard = def->limit[0];
    const OvpJointLimit& soft = def->limit[1];
    // 2. Distance limit.
    if ((hard.enabled | soft.enabled) & 0x38) {
        OvV3d dir;
        const float length = OvpMathVec3Normalize(&dir, &s.d);
        const bool hardOn = (hard.enabled & 0x38) && length > hard.value;
        const bool softOn = (soft.enabled & 0x38) && length > soft.value;
        const OvpJointSpring& spring = def->springs0[0];
        if (hardOn) {
            OvpRow& r = rows[n] = LinearRow(s, dir, bodyA, bodyB);
            r.error = -(length - hard.value);
            OvpRowSetBounds(&r, 0.0f, FLT_MAX, 0.0f, FLT_MAX);
            if (softOn && spring.stiffness != FLT_MAX) {
                r.lo[1] = (hard.value - soft.value) * spring.stiffness;
            }
            ++n;
        } else if (softOn) {
            OvpRow& r = rows[n] = LinearRow(s, dir, bodyA, bodyB);
            r.error = -(length - soft.value);
            // Unlike the soft twist and cone rows, the soft distance row takes its overshoot back
            // in the position pass too, as the hard one does.
            OvpRowSetBounds(&r, 0.0f, FLT_MAX, 0.0f, FLT_MAX);
            n += Soften(r, spring, f, dt) ? 1 : 0;
        }
    }
    // 3. Translation springs.
    const OvV3d& targetPos = joint->extra[0];
    const OvV3d& targetVel = joint->extra[1];
    for (int k = 0; k < 3; ++k) {
        const OvUInt32 b = 8u << k;
        if ((flags & b) || !(enable & (b | b << 8))) {
            continue;
        }
        const OvV3d axis = Axis(s.b.matrix, k);
        OvpRow& r = rows[n] = LinearRow(s, axis, bodyA, bodyB);
        if (enable & b) {
            r.error = OvpComponent(targetPos, k) - OvpDot(s.d, axis);
        }
        if (enable & (b << 8)) {
            r.bias = -OvpComponent(targetVel, k);
        }
        const float bound = SpringBound(def->springs1[0], enable, b << 16);
        OvpRowSetBounds(&r, 0.0f, 0.0f, -bound, bound);
        n += Soften(r, def->springs1[0], f, dt) ? 1 : 0;
    }
    // 4. Rotation springs.
    if (enable & 0x707) {
        const OvQuat& t = joint->orientation;
        const OvV3d& tw = joint->extra[2];
        const OvQuat twq = {tw.x, tw.y, tw.z, 0.0f};
        OvQuat u = OvpMathQuatMultiply(twq, t);
        u = {0.5f * u.x, 0.5f * u.y, 0.5f * u.z, 0.5f * u.w};
        const OvV3d* g = s.g;
        if ((flags & 7) == 0 && (enable & ovpJOINTSPRING_ORIENTATION)) {
            const OvQuat p = OvpMathQuatMultiply(q, t);
            const OvQuat qu = OvpMathQuatMultiply(q, u);
            const OvV3d h[3] = {
                OvpSub(OvpAdd(OvpAdd(OvpScale(g[3], t.x), OvpScale(g[0], t.w)), OvpScale(g[1], t.z)),
                       OvpScale(g[2], t.y)),
                OvpSub(OvpAdd(OvpAdd(OvpScale(g[3], t.y), OvpScale(g[1], t.w)), OvpScale(g[2], t.x)),
                       OvpScale(g[0], t.z)),
                OvpSub(OvpAdd(OvpAdd(OvpScale(g[3], t.z), OvpScale(g[2], t.w)), OvpScale(g[0], t.y)),
                       OvpScale(g[1], t.x)),
            };
            const float err[3] = {-p.x, -p.y, -p.z};
            const float vel[3] = {qu.x, qu.y, qu.z};
            const OvpJointSpring& spring = def->springs1[2];
            const float bound = SpringBound(spring, enable, 0x70000);
            OvpRow trial = OvpRowTemplate();
            if (Soften(trial, spring, f, dt)) {
                for (int k = 0; k < 3; ++k) {
                    OvpRow& r = rows[n++] = RotationRow(s, h[k], bodyA, bodyB);
                    r.error = (enable & 7) ? err[k] : 0.0f;
                    r.bias = (enable & 0x700) ? vel[k] : 0.0f;
                    OvpRowSetBounds(&r, 0.0f, 0.0f, -bound, bound);
                    r.softness = trial.softness;
                    r.factor = trial.factor;
                }
            }
        } else {
            const float half = (1.0f + s.r00) / 2.0f;
            const float tt = t.x * t.x + t.w * t.w;
            // The twist spring has no finite factors at a half-turn swing or a target without x and w.
            if (!(flags & 1) && (enable & 0x101) && half > FLT_MIN && tt > FLT_MIN) {
                const float a = 1.0f / std::sqrt(half);
                const float b = 1.0f / std::sqrt(tt);
                const float h = (q.w * t.w - q.x * t.x) * a * b;
                OvpRow& r = rows[n] =
                    RotationRow(s, OvpScale(OvpSub(OvpScale(g[3], q.x), OvpScale(g[0], q.w)), h * a), bodyA, bodyB);
                if (enable & 1) {
                    r.error = (q.x * t.w + q.w * t.x) * a * b;
                }
                if (enable & 0x100) {
                    r.bias = -(u.x * t.w - u.w * t.x) * h * b;
                }
                const float bound = SpringBound(def->springs1[1], enable, 0x10000);
                OvpRowSetBounds(&r, 0.0f, 0.0f, -bound, bound);
                n += Soften(r, def->springs1[1], f, dt) ? 1 : 0;
            }
            Swing w;
            if ((enable & 0x606) && SwingFactors(s, t, tw, w)) {
                const OvpJointSpring& spring = def->springs1[2];
                if (!(flags & 2) && (enable & 0x202)) {
                    OvpRow& r = rows[n] = RotationRow(s, Comb(w.gamma * s.r01, w.e[0], w.alpha, w.e[1]), bodyA, bodyB);
                    if (enable & 2) {
                        r.error = w.alpha * s.r01 - w.beta * w.t01;
                    }
                    if (enable & 0x200) {
                        r.bias = w.beta * w.cw.y - w.delta * w.cw.x * w.t01;
                    }
                    const float bound = SpringBound(spring, enable, 0x20000);
                    OvpRowSetBounds(&r, 0.0f, 0.0f, -bound, bound);
                    n += Soften(r, spring, f, dt) ? 1 : 0;
                }
                if (!(flags & 4) && (enable & 0x404)) {
                    OvpRow& r = rows[n] = RotationRow(s, Comb(w.gamma * s.r02, w.e[0], w.alpha, w.e[2]), bodyA, bodyB);
                    if (enable & 4) {
                        r.error = w.alpha * s.r02 - w.beta * w.t02;
                    }
                    if (enable & 0x400) {
                        r.bias = w.beta * w.cw.z - w.delta * w.cw.x * w.t02;
                    }
                    const float bound = SpringBound(spring, enable, 0x40000);
                    OvpRowSetBounds(&r, 0.0f, 0.0f, -bound, bound);
                    n += Soften(r, spring, f, dt) ? 1 : 0;
                }
            }
        }
    }
    // 5. Twist limit.
    if ((hard.enabled | soft.enabled) & 1) {
        const OvpJointLimit* limit = nullptr;
        if ((hard.enabled & 1) && TwistMeasure(q, hard.cosine[0]) > 0.0f) {
            limit = &hard;
        } else if ((soft.enabled & 1) && TwistMeasure(q, soft.cosine[0]) > 0.0f) {
            limit = &soft;
        }
        if (limit != nullptr) {
            const float cl = limit->cosine[0];
            const float c2 = cl * cl;
            const OvV3d dir = Comb(-2.0f * c2 * q.x, s.g[0], 2.0f * (1.0f - c2) * q.w, s.g[3]);
            OvpRow& r = rows[n] = RotationRow(s, dir, bodyA, bodyB);
            r.error = TwistMeasure(q, cl);
            if (limit == &hard) {
                OvpRowSetBounds(&r, -FLT_MAX, 0.0f, -FLT_MAX, 0.0f);
                ++n;
            } else {
                OvpRowSetBounds(&r, 0.0f, 0.0f, -FLT_MAX, 0.0f);
                n += Soften(r, def->springs0[1], f, dt) ? 1 : 0;
            }
        }
    }
    // 6. Cone limit.
    if ((hard.enabled | soft.enabled) & 6) {
        const OvpJointLimit* limit = nullptr;
        ConeFactors c{};
        if (hard.enabled & 6) {
            c = Cone(s, hard);
            limit = c.F > c.T ? &hard : nullptr;
        }
        if (limit == nullptr && (soft.enabled & 6)) {
            c = Cone(s, soft);
            limit = c.F > c.T ? &soft : nullptr;
        }
        // No finite direction at a half-turn swing (r = 0) or without swing (s = 0).
        if (limit != nullptr && 2.0f * c.s * c.r > FLT_MIN) {
            const float kc = 1.0f / c.F;
            const float tc = std::sqrt(kc);
            const float pc = 2.0f * kc * tc * c.s * c.r;
            const float g0 = (tc * s.r00 - 0.5f / (c.r + 1.0f)) / (2.0f * c.s * c.r);
            const float g1 = pc * c.Ka * s.r01;
            const float g2 = pc * c.Kb * s.r02;
            const OvV3d v = OvpAdd(OvpAdd(OvpScale(s.b.matrix.right, g0), OvpScale(s.b.matrix.up, g1)),
                                   OvpScale(s.b.matrix.at, g2));
            OvpRow& r = rows[n] = RotationRow(s, OvpCross(v, xa), bodyA, bodyB);
            r.error = -(c.s / (c.r + 1.0f) - 2.0f * c.s * c.r * tc);
            if (limit == &hard) {
                OvpRowSetBounds(&r, 0.0f, FLT_MAX, 0.0f, FLT_MAX);
                ++n;
            } else {
                OvpRowSetBounds(&r, 0.0f, 0.0f, 0.0f, FLT_MAX);
                n += Soften(r, def->springs0[2], f, dt) ? 1 : 0;
            }
        }
    }
    // 7. Never nothing.
    if (n == 0) {
        OvpRow& r = rows[n++] = OvpRowTemplate();
        r.body[0] = bodyA;
        r.body[1] = bodyB;
        OvpRowSetBounds(&r, 0.0f, 0.0f, -FLT_MAX, FLT_MAX);
        r.erp = 0.0f;
    }
    return n;
}
