// Keyframe animation and animation hierarchies: the scheme table, staggered tracks against a
// double-precision reference, wrapping and callbacks, the short arc, blends and copies, the
// stream's round trip and refusals; hierarchy matrices for every update flag against a recursive
// reference, stack abuse, nodes letting go of destroyed frames, and the frame extension.

#include "graphics/plugins/anim.h"

#include <cmath>
#include <filesystem>
#include <random>
#include <vector>

#include "graphics/core/file_system.h"
#include "graphics/plugins/tests/plugin_test_kit.h"
#include "graphics/plugins/anim_hierarchy.h"
#include "graphics/plugins/anim_tracks.h"
#include "testing/scratch_dir.h"
#include "graphics/core/plugin.h"

namespace {

class AnimTest : public StartedEngine {
protected:
    void RegisterPlugins() override {
        ASSERT_TRUE(OvAnimPluginAttach());
        ASSERT_TRUE(OvAnimHierarchyPluginAttach());
    }
};

using Track = std::vector<OvAnimTrackKey>;

OvAnimation* FromTracks(const std::vector<Track>& tracks, float duration) {
    std::vector<const OvAnimTrackKey*> p;
    std::vector<OvInt32> c;
    for (const Track& t : tracks) {
        p.push_back(t.data());
        c.push_back(static_cast<OvInt32>(t.size()));
    }
    return OvAnimationCreateFromTracks(static_cast<OvInt32>(tracks.size()), p.data(), c.data(), duration);
}

// Rotation rows of a quaternion in double precision (the reference's own apply).
void Rows(const double q[4], double m[3][3]) {
    const double x = q[0], y = q[1], z = q[2], w = q[3];
    const double r[3][3] = {{1 - 2 * (y * y + z * z), 2 * (x * y + w * z), 2 * (x * z - w * y)},
                            {2 * (x * y - w * z), 1 - 2 * (x * x + z * z), 2 * (y * z + w * x)},
                            {2 * (x * z + w * y), 2 * (y * z - w * x), 1 - 2 * (x * x + y * y)}};
    for (int i = 0; i < 3; ++i) {
        for (int j = 0; j < 3; ++j) {
            m[i][j] = r[i][j];
        }
    }
}

// Reference pose of one node at time t: the bracketing pair of its own track (the last pair
// when t reaches the end), spherical interpolation along the short arc in double precision.
void ReferencePose(const Track& track, float t, double rot[3][3], double pos[3]) {
    std::size_t j = 0;
    while (j + 2 < track.size() && track[j + 1].time <= t) {
        ++j;
    }
    const OvAnimTrackKey& a = track[j];
    const OvAnimTrackKey& b = track[j + 1];
    const double u = (static_cast<double>(t) - a.time) / (static_cast<double>(b.time) - a.time);
    double q1[4] = {a.q.x, a.q.y, a.q.z, a.q.w};
    double q2[4] = {b.q.x, b.q.y, b.q.z, b.q.w};
    double c = q1[0] * q2[0] + q1[1] * q2[1] + q1[2] * q2[2] + q1[3] * q2[3];
    if (c < 0) {
        c = -c;
        for (double& v : q2) {
            v = -v;
        }
    }
    double w1 = 1 - u, w2 = u;
    if (c < 0.999) {
        const double th = std::acos(c);
        w1 = std::sin((1 - u) * th) / std::sin(th);
        w2 = std::sin(u * th) / std::sin(th);
    }
    double q[4];
    for (int i = 0; i < 4; ++i) {
        q[i] = w1 * q1[i] + w2 * q2[i];
    }
    Rows(q, rot);
    pos[0] = a.t.x + (b.t.x - a.t.x) * u;
    pos[1] = a.t.y + (b.t.y - a.t.y) * u;
    pos[2] = a.t.z + (b.t.z - a.t.z) * u;
}

double PoseError(const OvAnimInterpolator* interp, OvInt32 node, const Track& track, float t) {
    OvMatrix m;
    OvAnimStdKeyFrameApply(&m, OvAnimInterpolatorGetNodeKey(interp, node));
    double rot[3][3], pos[3];
    ReferencePose(track, t, rot, pos);
    const OvV3d* rows[3] = {&m.right, &m.up, &m.at};
    double e = 0;
    for (int i = 0; i < 3; ++i) {
        e = std::fmax(e, std::fabs(rows[i]->x - rot[i][0]));
        e = std::fmax(e, std::fabs(rows[i]->y - rot[i][1]));
        e = std::fmax(e, std::fabs(rows[i]->z - rot[i][2]));
    }
    e = std::fmax(e, std::fabs(m.pos.x - pos[0]));
    e = std::fmax(e, std::fabs(m.pos.y - pos[1]));
    return std::fmax(e, std::fabs(m.pos.z - pos[2]));
}

// Tracks of different lengths and staggered key times; neighbouring keys are often on opposite
// hemispheres so that the short-arc rule is exercised.
std::vector<Track> StaggeredTracks(std::mt19937& rng, int nodes, float duration) {
    std::uniform_int_distribution<int> count(2, 9);
    std::uniform_real_distribution<float> u(0.0f, 1.0f);
    std::vector<Track> tracks;
    for (int n = 0; n < nodes; ++n) {
        const int k = count(rng);
        std::vector<float> times = {0.0f, duration};
        for (int i = 2; i < k; ++i) {
            times.push_back(u(rng) * duration);
        }
        std::sort(times.begin(), times.end());
        Track t;
        for (float time : times) {
            OvQuat q = RandomUnitQuat(rng);
            if (!t.empty() && u(rng) < 0.3f) {
                // Close to the previous key: the linear branch of the interpolation.
                const OvQuat& p = t.back().q;
                q = {p.x + 0.001f, p.y, p.z, p.w};
            }
            t.push_back({time, q, {u(rng) * 10 - 5, u(rng) * 10 - 5, u(rng) * 10 - 5}});
        }
        tracks.push_back(t);
    }
    return tracks;
}

std::vector<std::uint8_t> Written(const OvAnimation* a) {
    OvStream* s = OvStreamOpen(ovSTREAMMEMORY, ovSTREAMWRITE, nullptr);
    EXPECT_NE(OvAnimationStreamWrite(a, s), nullptr);
    return CloseWritten(s);
}

OvAnimation* ReadBack(std::vector<std::uint8_t>& bytes, std::uint32_t length) {
    OvStream* s = OpenRead(bytes, length);
    OvUInt32 chunk = 0;
    OvAnimation* a = nullptr;
    if (OvStreamFindChunk(s, ovID_ANIMANIMATION, &chunk, nullptr)) {
        a = OvAnimationStreamRead(s, chunk);
    }
    OvStreamClose(s, nullptr);
    return a;
}

TEST_F(AnimTest, SchemeTableRefusesDuplicatesAndASeventeenth) {
    OvAnimScheme s = *OvAnimStdKeyFrameScheme();
    EXPECT_FALSE(OvAnimRegisterScheme(&s)); // type 1 came with the hierarchy plugin
    OvError e;
    OvErrorGet(&e);
    EXPECT_EQ(e.pluginID, 0x1B7);
    EXPECT_EQ(e.errorCode, 0);
    for (OvUInt32 id = 2; id <= 16; ++id) {
        s.schemeID = id;
        ASSERT_TRUE(OvAnimRegisterScheme(&s)) << id;
    }
    for (const OvUInt32 id : {17u, 5u}) { // a full table answers "full", even for an id it holds
        s.schemeID = id;
        EXPECT_FALSE(OvAnimRegisterScheme(&s)) << id;
        OvErrorGet(&e);
        EXPECT_EQ(e.errorCode, 1) << id;
    }
    EXPECT_EQ(OvAnimGetScheme(16)->schemeID, 16u);
}

// Staggered tracks of several nodes played over many wraps with steps of every size, against
// the per-node reference.
TEST_F(AnimTest, StaggeredKeysOverManyWrapsFollowTheReference) {
    std::mt19937 rng(36);
    for (int round = 0; round < 20; ++round) {
        const int nodes = 1 + round % 6;
        const float duration = 0.5f + static_cast<float>(round) * 0.25f;
        const std::vector<Track> tracks = StaggeredTracks(rng, nodes, duration);
        OvAnimation* anim = FromTracks(tracks, duration);
        ASSERT_NE(anim, nullptr);
        OvAnimInterpolator* in = OvAnimInterpolatorCreate(nodes, sizeof(OvAnimInterpFrame));
        ASSERT_TRUE(OvAnimInterpolatorSetCurrentAnim(in, anim));
        std::uniform_real_distribution<float> step(0.0f, 1.0f);
        float t = 0.0f;
        for (int i = 0; i < 300; ++i) {
            const float r = step(rng);
            const float dt = r < 0.1f ? duration * (1.0f + 3.0f * r * 10.0f) : r * duration * 0.3f;
            // The same reduction as the interpolator's, step by step.
            t += dt;
            while (t > duration) {
                t -= duration;
            }
            ASSERT_TRUE(OvAnimInterpolatorAddAnimTime(in, dt));
            ASSERT_FLOAT_EQ(in->currentTime, t);
            for (int n = 0; n < nodes; ++n) {
                ASSERT_LT(PoseError(in, n, tracks[static_cast<std::size_t>(n)], t), 2e-4)
                    << "round " << round << " step " << i << " node " << n << " t " << t;
            }
        }
        OvAnimInterpolatorDestroy(in);
        OvAnimationDestroy(anim);
    }
}

struct Calls {
    int timed = 0;
    int end = 0;
    bool keepTimed = true;
};

OvAnimInterpolator* OnTimed(OvAnimInterpolator* in, void* data) {
    auto* c = static_cast<Calls*>(data);
    ++c->timed;
    return c->keepTimed ? in : nullptr;
}

OvAnimInterpolator* OnEnd(OvAnimInterpolator* in, void* data) {
    ++static_cast<Calls*>(data)->end;
    return in;
}

TEST_F(AnimTest, AdvanceWrapsAndCallsBack) {
    const Track track = {{0.0f, {0, 0, 0, 1}, {0, 0, 0}}, {2.0f, {0, 0, 0, 1}, {4, 0, 0}}};
    OvAnimation* anim = FromTracks({track}, 2.0f);
    OvAnimInterpolator* in = OvAnimInterpolatorCreate(1, sizeof(OvAnimInterpFrame));
    ASSERT_TRUE(OvAnimInterpolatorSetCurrentAnim(in, anim));
    Calls calls;
    OvAnimInterpolatorSetAnimCallBack(in, OnTimed, 0.5f, &calls);
    OvAnimInterpolatorSetAnimLoopCallBack(in, OnEnd, &calls);
    // Nothing for a zero or negative step.
    EXPECT_TRUE(OvAnimInterpolatorAddAnimTime(in, 0.0f));
    EXPECT_TRUE(OvAnimInterpolatorAddAnimTime(in, -1.0f));
    EXPECT_EQ(in->currentTime, 0.0f);
    EXPECT_EQ(calls.timed + calls.end, 0);
    // The exact duration does not wrap; the callback time is passed on the way.
    OvAnimInterpolatorAddAnimTime(in, 2.0f);
    EXPECT_EQ(in->currentTime, 2.0f);
    EXPECT_EQ(calls.end, 0);
    EXPECT_EQ(calls.timed, 1);
    EXPECT_FLOAT_EQ(static_cast<OvAnimInterpFrame*>(OvAnimInterpolatorGetNodeKey(in, 0))->t.x, 4.0f);
    // Three and a half durations: one end call; a reduced time (3.5, 1.5) reaches 0.5 again.
    OvAnimInterpolatorAddAnimTime(in, 7.0f - 2.0f + 0.5f);
    EXPECT_FLOAT_EQ(in->currentTime, 1.5f);
    EXPECT_EQ(calls.end, 1);
    EXPECT_EQ(calls.timed, 2);
    EXPECT_FLOAT_EQ(static_cast<OvAnimInterpFrame*>(OvAnimInterpolatorGetNodeKey(in, 0))->t.x, 3.0f);
    // A timed callback that returns null is cleared.
    calls.keepTimed = false;
    OvAnimInterpolatorSetAnimCallBack(in, OnTimed, 1.75f, &calls);
    OvAnimInterpolatorAddAnimTime(in, 0.5f);
    EXPECT_EQ(calls.timed, 3);
    EXPECT_EQ(in->pAnimCallBack, nullptr);
    // A huge step ends in the same place as many small ones would (no endless loop).
    OvAnimInterpolatorAddAnimTime(in, 1.0e7f);
    EXPECT_GT(in->currentTime, 0.0f);
    EXPECT_LE(in->currentTime, 2.0f);
    OvAnimInterpolatorDestroy(in);
    OvAnimationDestroy(anim);
}

TEST_F(AnimTest, ShortArcNegatesTheStoredKeyAndNearKeysBlendLinearly) {
    const float h = std::sqrt(0.5f);
    // 90 degrees about z, then the same rotation written with the opposite sign, then 180 about z.
    const Track track = {{0.0f, {0, 0, h, h}, {0, 0, 0}}, {1.0f, {0, 0, -h, -h}, {0, 0, 0}}};
    OvAnimation* anim = FromTracks({track}, 1.0f);
    OvAnimInterpolator* in = OvAnimInterpolatorCreate(1, sizeof(OvAnimInterpFrame));
    ASSERT_TRUE(OvAnimInterpolatorSetCurrentAnim(in, anim));
    OvAnimInterpolatorAddAnimTime(in, 0.5f);
    const auto* k = static_cast<OvAnimInterpFrame*>(OvAnimInterpolatorGetNodeKey(in, 0));
    EXPECT_NEAR(k->q.z, h, 1e-6f); // no detour through the identity
    EXPECT_NEAR(k->q.w, h, 1e-6f);
    const auto* stored = static_cast<OvAnimKeyFrame*>(OvAnimationGetKey(anim, 1));
    EXPECT_GT(stored->q.w, 0.0f); // negated in place
    OvAnimInterpolatorDestroy(in);
    OvAnimationDestroy(anim);

    // Dot product at or above 0.999: weights 1 - t and t exactly.
    OvAnimKeyFrame a = {0, 0.0f, {0, 0, 0, 1}, {0, 0, 0}};
    OvAnimKeyFrame b = {0, 2.0f, {0.02f, 0, 0, 0.9998f}, {2, 0, 0}};
    OvAnimInterpFrame out;
    OvAnimStdKeyFrameInterpolate(&out, &a, &b, 0.5f, nullptr);
    EXPECT_FLOAT_EQ(out.q.x, 0.25f * 0.02f);
    EXPECT_FLOAT_EQ(out.q.w, 0.75f + 0.25f * 0.9998f);
    EXPECT_FLOAT_EQ(out.t.x, 0.5f);
    // Two keys at one time give the earlier key before it and the later key from it, never NaN.
    b.time = 0.0f;
    OvAnimStdKeyFrameInterpolate(&out, &a, &b, 0.0f, nullptr);
    EXPECT_EQ(out.t.x, 2.0f);
}

TEST_F(AnimTest, AddAndMultiplyByReciprocalUndoEachOther) {
    std::mt19937 rng(7);
    std::uniform_real_distribution<float> u(-3.0f, 3.0f);
    for (int i = 0; i < 200; ++i) {
        OvAnimInterpFrame r = {0, 0, RandomUnitQuat(rng), {u(rng), u(rng), u(rng)}};
        OvAnimInterpFrame k = {0, 0, RandomUnitQuat(rng), {u(rng), u(rng), u(rng)}};
        if (i % 2) {
            r.q = {r.q.x * 2, r.q.y * 2, r.q.z * 2, r.q.w * 2}; // not unit: the inverse divides by the norm
        }
        OvAnimInterpFrame d = k;
        OvAnimStdKeyFrameMulRecip(&d, &r);
        OvAnimInterpFrame back;
        OvAnimStdKeyFrameAdd(&back, &r, &d);
        EXPECT_NEAR(back.q.x, k.q.x, 1e-5f);
        EXPECT_NEAR(back.q.y, k.q.y, 1e-5f);
        EXPECT_NEAR(back.q.z, k.q.z, 1e-5f);
        EXPECT_NEAR(back.q.w, k.q.w, 1e-5f);
        EXPECT_NEAR(back.t.x, k.t.x, 1e-5f);
        EXPECT_NEAR(back.t.z, k.t.z, 1e-5f);
    }
    // A zero quaternion has no inverse: the rotation stays, the translation is still subtracted.
    OvAnimInterpFrame zero = {0, 0, {0, 0, 0, 0}, {1, 1, 1}};
    OvAnimInterpFrame k = {0, 0, {0, 0, 1, 0}, {3, 3, 3}};
    OvAnimStdKeyFrameMulRecip(&k, &zero);
    EXPECT_EQ(k.q.z, 1.0f);
    EXPECT_EQ(k.t.x, 2.0f);
}

TEST_F(AnimTest, BlendCopyAndWrongSkeletons) {
    const Track a = {{0.0f, {0, 0, 0, 1}, {0, 0, 0}}, {1.0f, {0, 0, 0, 1}, {2, 0, 0}}};
    const Track b = {{0.0f, {0, 0, 0, 1}, {0, 4, 0}}, {1.0f, {0, 0, 0, 1}, {0, 4, 0}}};
    OvAnimation* animA = FromTracks({a, a}, 1.0f);
    OvAnimation* animB = FromTracks({b, b}, 1.0f);
    OvAnimInterpolator* i1 = OvAnimInterpolatorCreate(2, sizeof(OvAnimInterpFrame));
    OvAnimInterpolator* i2 = OvAnimInterpolatorCreate(2, sizeof(OvAnimInterpFrame));
    OvAnimInterpolator* out = OvAnimInterpolatorCreate(2, sizeof(OvAnimInterpFrame));
    ASSERT_TRUE(OvAnimInterpolatorSetCurrentAnim(i1, animA));
    ASSERT_TRUE(OvAnimInterpolatorSetCurrentAnim(i2, animB));
    OvAnimInterpolatorAddAnimTime(i1, 0.5f);
    // An output that never played takes the inputs' scheme.
    ASSERT_TRUE(OvAnimInterpolatorBlend(out, i1, i2, 0.25f));
    const auto* k = static_cast<OvAnimInterpFrame*>(OvAnimInterpolatorGetNodeKey(out, 1));
    EXPECT_FLOAT_EQ(k->t.x, 0.75f);
    EXPECT_FLOAT_EQ(k->t.y, 1.0f);
    EXPECT_EQ(out->keyFrameApplyCB, &OvAnimStdKeyFrameApply);
    ASSERT_TRUE(OvAnimInterpolatorCopy(out, i2));
    EXPECT_FLOAT_EQ(k->t.y, 4.0f);
    // A skeleton of three nodes cannot play a two-node animation; nothing changes.
    OvAnimInterpolator* three = OvAnimInterpolatorCreate(3, sizeof(OvAnimInterpFrame));
    EXPECT_FALSE(OvAnimInterpolatorSetCurrentAnim(three, animA));
    EXPECT_EQ(three->pCurrentAnim, nullptr);
    EXPECT_TRUE(OvAnimInterpolatorAddAnimTime(three, 0.5f));
    // Slots too small for the scheme's keys are refused too.
    OvAnimInterpolator* small = OvAnimInterpolatorCreate(2, 16);
    EXPECT_FALSE(OvAnimInterpolatorSetCurrentAnim(small, animA));
    for (OvAnimInterpolator* p : {i1, i2, out, three, small}) {
        OvAnimInterpolatorDestroy(p);
    }
    OvAnimationDestroy(animA);
    OvAnimationDestroy(animB);
}

// Written and read back byte for byte, through a file too; every shorter prefix fails cleanly.
TEST_F(AnimTest, StreamRoundTripAndTruncation) {
    std::mt19937 rng(11);
    const std::vector<Track> tracks = StaggeredTracks(rng, 4, 1.5f);
    OvAnimation* anim = FromTracks(tracks, 1.5f);
    std::vector<std::uint8_t> bytes = Written(anim);
    ASSERT_EQ(bytes.size(), 12u + 20u + 36u * static_cast<std::size_t>(anim->numFrames));
    OvAnimation* back = ReadBack(bytes, static_cast<std::uint32_t>(bytes.size()));
    ASSERT_NE(back, nullptr);
    EXPECT_EQ(Written(back), bytes);
    for (std::uint32_t n = 0; n < bytes.size(); ++n) {
        EXPECT_EQ(ReadBack(bytes, n), nullptr) << n;
        ClearError();
    }
    const std::filesystem::path dir = MakeTestScratchDir("anim");
    ASSERT_TRUE(OvFSManagerOpen(0));
    OvFileSystem* fs = OvWinFSCreate(4, "", "unc");
    ASSERT_TRUE(OvFSManagerRegister(fs));
    OvFSManagerSetDefaultFileSystem(fs);
    const std::string file = (dir / "walk.anm").string();
    EXPECT_NE(OvAnimationSave(anim, file.c_str()), nullptr);
    OvAnimation* loaded = OvAnimationLoad(file.c_str());
    ASSERT_NE(loaded, nullptr);
    EXPECT_EQ(Written(loaded), bytes);
    EXPECT_EQ(OvAnimationLoad((dir / "missing.anm").string().c_str()), nullptr);
    ClearError();
    OvFSManagerClose();
    std::filesystem::remove_all(dir);
    OvAnimationDestroy(loaded);
    OvAnimationDestroy(back);
    OvAnimationDestroy(anim);
}

TEST_F(AnimTest, BadAnimationsAreRefused) {
    auto chunk = [](std::uint32_t version, std::uint32_t scheme, std::int32_t n, float duration, std::uint32_t offset) {
        ChunkBytes c;
        c.Header(27, 20 + 36 * static_cast<std::uint32_t>(n > 0 ? n : 0))
            .U32(version)
            .U32(scheme)
            .I32(n)
            .U32(0)
            .F32(duration);
        for (int i = 0; i < n; ++i) {
            c.F32(0).F32(0).F32(0).F32(0).F32(1).F32(0).F32(0).F32(0).U32(i >= 2 ? offset : 0);
        }
        return c.bytes;
    };
    struct Case {
        std::vector<std::uint8_t> bytes;
        OvInt32 plugin;
        OvInt32 code;
    };
    const Case cases[] = {
        {chunk(0x101, 1, 2, 1.0f, 0), 0, ovERRNOERROR},   // version word: silent
        {chunk(0x100, 9, 2, 1.0f, 0), 0x1B7, 2},          // unknown scheme
        {chunk(0x100, 1, 2, 0.0f, 0), 0x1B7, 3},          // no duration
        {chunk(0x100, 1, 2, -1.0f, 0), 0x1B7, 3},         // negative duration
        {chunk(0x100, 1, 2, std::nanf(""), 0), 0x1B7, 3}, // not a number
        {chunk(0x100, 1, 4, 1.0f, 36 * 4), 0x1B7, 3},     // previous key outside the keys
        {chunk(0x100, 1, -3, 1.0f, 0), 0x1B7, 3},         // negative count
        // A body that ends after the scheme: the scheme is looked up before the key count is read.
        {ChunkBytes().Header(27, 8).U32(0x100).U32(9).bytes, 0x1B7, 2},
    };
    for (const Case& c : cases) {
        std::vector<std::uint8_t> bytes = c.bytes;
        EXPECT_EQ(ReadBack(bytes, static_cast<std::uint32_t>(bytes.size())), nullptr);
        OvError e;
        OvErrorGet(&e);
        EXPECT_EQ(e.errorCode, c.code);
        if (c.code != ovERRNOERROR) {
            EXPECT_EQ(e.pluginID, c.plugin);
        }
    }
    // A count the chunk cannot hold is refused before anything is allocated for it.
    std::vector<std::uint8_t> huge = chunk(0x100, 1, 0, 1.0f, 0);
    huge[20] = 0xFF;
    huge[21] = 0xFF;
    huge[22] = 0xFF;
    huge[23] = 0x03;
    EXPECT_EQ(ReadBack(huge, static_cast<std::uint32_t>(huge.size())), nullptr);
}

using AnimHierarchyTest = AnimTest;

// Affine matrix in double precision: rows 0-2 the axes, row 3 the position.
struct M4 {
    double m[4][3];
};

M4 FromOv(const OvMatrix& a) {
    return {{{a.right.x, a.right.y, a.right.z},
             {a.up.x, a.up.y, a.up.z},
             {a.at.x, a.at.y, a.at.z},
             {a.pos.x, a.pos.y, a.pos.z}}};
}

// a applied first, then b.
M4 Mul(const M4& a, const M4& b) {
    M4 r{};
    for (int i = 0; i < 4; ++i) {
        for (int j = 0; j < 3; ++j) {
            double s = i == 3 ? b.m[3][j] : 0.0;
            for (int k = 0; k < 3; ++k) {
                s += a.m[i][k] * b.m[k][j];
            }
            r.m[i][j] = s;
        }
    }
    return r;
}

double Diff(const M4& a, const OvMatrix& b) {
    const M4 c = FromOv(b);
    double e = 0;
    for (int i = 0; i < 4; ++i) {
        for (int j = 0; j < 3; ++j) {
            e = std::fmax(e, std::fabs(a.m[i][j] - c.m[i][j]));
        }
    }
    return e;
}

// Node flags of a random tree: pops only with something pushed, pushes within the stack, and
// node 0 the parent of all others (the frames bound are those under its frame).
std::vector<OvUInt32> RandomNodeFlags(std::mt19937& rng, int n) {
    std::vector<OvUInt32> f;
    int depth = 0;
    std::uniform_int_distribution<int> pick(0, 3);
    for (int i = 0; i < n; ++i) {
        OvUInt32 v;
        do {
            v = static_cast<OvUInt32>(pick(rng));
        } while ((v == 1 && depth == 0) || (v == 2 && depth == 8) || (i == 0 && v != 0));
        depth += v == 2 ? 1 : v == 1 ? -1 : 0;
        f.push_back(v);
    }
    return f;
}

// The reference: the node sequence read as nested lists. A node with flag 0 continues the list at
// its own matrix, flag 2 opens a list of its children and then carries on with its siblings,
// flag 3 is a leaf followed by a sibling, flag 1 ends the list.
struct Reference {
    const std::vector<OvUInt32>& flags;
    const std::vector<M4>& local;
    std::vector<M4> world;
    std::vector<int> parent;
    std::size_t next = 0;

    // Returns when the list ends (a pop, or no nodes left).
    void List(const M4& parentWorld, int parentIndex) {
        while (next < flags.size()) {
            const std::size_t i = next++;
            world[i] = Mul(local[i], parentWorld);
            parent[i] = parentIndex;
            switch (flags[i]) {
            case 0:
                List(world[i], static_cast<int>(i));
                return;
            case 2:
                List(world[i], static_cast<int>(i));
                break;
            case 1:
                return;
            default:
                break;
            }
        }
    }
};

// A frame tree that mirrors the hierarchy: a root above the parent frame, the parent frame as
// node 0's frame and one frame per further node under its parent node's frame.
struct Rig {
    OvFrame* root = nullptr;
    std::vector<OvFrame*> frames;
};

Rig BuildRig(OvAnimHierarchy* h, const std::vector<int>& parent) {
    Rig rig;
    rig.root = OvFrameCreate();
    OvV3d axis = {0.3f, 1.0f, 0.2f};
    OvFrameRotate(rig.root, &axis, 40.0f, ovCOMBINEREPLACE);
    OvV3d move = {1.0f, 2.0f, -3.0f};
    OvFrameTranslate(rig.root, &move, ovCOMBINEPOSTCONCAT);
    for (int i = 0; i < h->numNodes; ++i) {
        OvFrame* f = OvFrameCreate();
        const int nodeId = i == 0 ? 7 : 100 + 37 * i;
        h->pNodeInfo[i].nodeID = nodeId;
        OvFrameSetAnimHierarchyNodeID(f, nodeId);
        OvFrameAddChild(parent[static_cast<std::size_t>(i)] < 0
                            ? rig.root
                            : rig.frames[static_cast<std::size_t>(parent[static_cast<std::size_t>(i)])],
                        f);
        rig.frames.push_back(f);
    }
    OvFrameSetAnimHierarchy(rig.frames[0], h);
    return rig;
}

TEST_F(AnimHierarchyTest, MatricesForEveryUpdateFlagFollowTheRecursiveReference) {
    std::mt19937 rng(11);
    const OvUInt32 flagSets[] = {0,
                                 ovANIMHIERARCHYLOCALSPACEMATRICES,
                                 ovANIMHIERARCHYUPDATEMODELLINGMATRICES,
                                 ovANIMHIERARCHYUPDATELTMS,
                                 ovANIMHIERARCHYUPDATELTMS | ovANIMHIERARCHYLOCALSPACEMATRICES,
                                 ovANIMHIERARCHYNOMATRICES | ovANIMHIERARCHYUPDATEMODELLINGMATRICES,
                                 ovANIMHIERARCHYNOMATRICES | ovANIMHIERARCHYUPDATELTMS};
    for (int round = 0; round < 21; ++round) {
        const OvUInt32 hflags = flagSets[round % 7];
        const int n = 2 + round * 2;
        const std::vector<OvUInt32> nodeFlags = RandomNodeFlags(rng, n);
        OvAnimHierarchy* h = OvAnimHierarchyCreate(n, nodeFlags.data(), nullptr, hflags,
                                                   static_cast<OvInt32>(sizeof(OvAnimInterpFrame)));
        ASSERT_NE(h, nullptr);
        // Random interpolated keys straight into the slots.
        std::vector<M4> local(static_cast<std::size_t>(n));
        std::uniform_real_distribution<float> u(-2.0f, 2.0f);
        h->currentAnim->keyFrameApplyCB = OvAnimStdKeyFrameApply;
        h->currentAnim->currentInterpKeyFrameSize = sizeof(OvAnimInterpFrame);
        for (int i = 0; i < n; ++i) {
            auto* k = static_cast<OvAnimInterpFrame*>(OvAnimInterpolatorGetNodeKey(h->currentAnim, i));
            k->q = RandomUnitQuat(rng);
            k->t = {u(rng), u(rng), u(rng)};
            OvMatrix m;
            OvAnimStdKeyFrameApply(&m, k);
            local[static_cast<std::size_t>(i)] = FromOv(m);
        }
        Reference ref{nodeFlags, local, std::vector<M4>(static_cast<std::size_t>(n)),
                      std::vector<int>(static_cast<std::size_t>(n), -1)};
        Rig rig = BuildRig(h, [&] {
            M4 id = {{{1, 0, 0}, {0, 1, 0}, {0, 0, 1}, {0, 0, 0}}};
            ref.List(id, -1);
            return ref.parent;
        }());
        ASSERT_EQ(OvAnimHierarchyAttach(h), h);
        for (int i = 0; i < n; ++i) {
            ASSERT_EQ(h->pNodeInfo[i].pFrame, rig.frames[static_cast<std::size_t>(i)]);
        }
        OvFrameSyncDirty();
        const M4 base = FromOv(*OvFrameGetWorldMatrix(rig.root));
        ASSERT_TRUE(OvAnimHierarchyUpdateMatrices(h)) << round;
        const bool local0x4000 = (hflags & ovANIMHIERARCHYLOCALSPACEMATRICES) != 0;
        if (hflags & ovANIMHIERARCHYUPDATELTMS) {
            // The root is queued for its objects only; the world matrices are already there.
            EXPECT_EQ(rig.root->object.privateFlags & ovFRAMEPRIVATEHIERARCHYSYNC, ovFRAMEPRIVATEHIERARCHYSYNCOBJ);
            for (int i = 0; i < n; ++i) {
                const M4 want = Mul(ref.world[static_cast<std::size_t>(i)], base);
                EXPECT_LT(Diff(want, rig.frames[static_cast<std::size_t>(i)]->ltm), 1e-4) << round << " node " << i;
            }
        }
        if (hflags & ovANIMHIERARCHYUPDATEMODELLINGMATRICES) {
            OvFrameSyncDirty();
            for (int i = 0; i < n; ++i) {
                EXPECT_LT(Diff(local[static_cast<std::size_t>(i)], rig.frames[static_cast<std::size_t>(i)]->modelling),
                          1e-6);
                const M4 want = Mul(ref.world[static_cast<std::size_t>(i)], base);
                EXPECT_LT(Diff(want, *OvFrameGetWorldMatrix(rig.frames[static_cast<std::size_t>(i)])), 1e-4)
                    << round << " node " << i;
            }
        }
        if (!(hflags & ovANIMHIERARCHYNOMATRICES)) {
            ASSERT_NE(h->pMatrixArray, nullptr);
            EXPECT_EQ(reinterpret_cast<std::uintptr_t>(h->pMatrixArray) % 16, 0u);
            for (int i = 0; i < n; ++i) {
                const M4 want = local0x4000 ? ref.world[static_cast<std::size_t>(i)]
                                            : Mul(ref.world[static_cast<std::size_t>(i)], base);
                EXPECT_LT(Diff(want, h->pMatrixArray[i]), 1e-4) << round << " node " << i;
            }
        } else {
            EXPECT_EQ(h->pMatrixArray, nullptr);
        }
        OvFrameSyncDirty();
        OvFrameDestroyHierarchy(rig.root); // destroys the hierarchy with its parent frame
    }
}

TEST_F(AnimHierarchyTest, StackAbuseFailsTheUpdate) {
    std::vector<OvUInt32> pops = {1, 0};
    OvAnimHierarchy* h = OvAnimHierarchyCreate(2, pops.data(), nullptr, 0, sizeof(OvAnimInterpFrame));
    EXPECT_FALSE(OvAnimHierarchyUpdateMatrices(h));
    OvAnimHierarchyDestroy(h);
    // The last node of a tree conventionally pops with nothing pushed.
    pops = {0, 1};
    h = OvAnimHierarchyCreate(2, pops.data(), nullptr, 0, sizeof(OvAnimInterpFrame));
    EXPECT_TRUE(OvAnimHierarchyUpdateMatrices(h));
    OvAnimHierarchyDestroy(h);
    std::vector<OvUInt32> pushes(40, ovANIMHIERARCHYPUSHPARENTMATRIX);
    h = OvAnimHierarchyCreate(40, pushes.data(), nullptr, ovANIMHIERARCHYNOMATRICES, sizeof(OvAnimInterpFrame));
    EXPECT_FALSE(OvAnimHierarchyUpdateMatrices(h));
    OvAnimHierarchyDestroy(h);
    ClearError();
}

// A node's frame destroyed while its hierarchy lives: the node lets it go in every hierarchy
// bound to it, so that updates neither write into the freed frame nor into the frame that takes
// its place; the other nodes still move their frames.
TEST_F(AnimHierarchyTest, NodesLetGoOfDestroyedFrames) {
    const std::vector<OvUInt32> nodeFlags = {2, 3, 1};
    const std::vector<OvInt32> ids = {1, 2, 3};
    const OvUInt32 hflags = ovANIMHIERARCHYUPDATEMODELLINGMATRICES;
    OvAnimHierarchy* h = OvAnimHierarchyCreate(3, nodeFlags.data(), ids.data(), hflags, sizeof(OvAnimInterpFrame));
    OvAnimHierarchy* twin = OvAnimHierarchyCreateFromHierarchy(h, hflags, sizeof(OvAnimInterpFrame));
    ASSERT_NE(twin, nullptr);
    std::vector<OvFrame*> frames;
    for (OvInt32 id : ids) {
        frames.push_back(OvFrameCreate());
        OvFrameSetAnimHierarchyNodeID(frames.back(), id);
    }
    OvFrameAddChild(frames[0], frames[1]);
    OvFrameAddChild(frames[0], frames[2]);
    OvFrameSetAnimHierarchy(frames[0], h);
    twin->parentFrame = frames[0];
    for (OvAnimHierarchy* x : {h, twin}) {
        ASSERT_EQ(OvAnimHierarchyAttach(x), x);
        for (int i = 0; i < 3; ++i) {
            auto* k = static_cast<OvAnimInterpFrame*>(OvAnimInterpolatorGetNodeKey(x->currentAnim, i));
            k->q = {0, 0, 0, 1};
            k->t = {1.0f + static_cast<float>(i), 2.0f, 3.0f};
        }
    }
    OvFrameDestroy(frames[2]);
    EXPECT_EQ(h->pNodeInfo[2].pFrame, nullptr);
    EXPECT_EQ(twin->pNodeInfo[2].pFrame, nullptr);
    EXPECT_EQ(h->pNodeInfo[1].pFrame, frames[1]);
    // New frames take the freed record; updates leave them alone.
    std::vector<OvFrame*> others;
    for (int i = 0; i < 4; ++i) {
        others.push_back(OvFrameCreate());
    }
    ASSERT_TRUE(OvAnimHierarchyUpdateMatrices(h));
    ASSERT_TRUE(OvAnimHierarchyUpdateMatrices(twin));
    for (OvFrame* f : others) {
        EXPECT_EQ(f->modelling.pos.x, 0.0f);
        EXPECT_EQ(f->modelling.pos.y, 0.0f);
        OvFrameDestroy(f);
    }
    EXPECT_EQ(frames[1]->modelling.pos.x, 2.0f);
    // A destroyed hierarchy is no longer walked when its frames go.
    OvAnimHierarchyDestroy(twin);
    OvFrameDestroy(frames[1]);
    EXPECT_EQ(h->pNodeInfo[1].pFrame, nullptr);
    OvFrameDestroy(frames[0]); // destroys h with its parent frame
}

OvStream* WriteExtension(OvFrame* f) {
    OvStream* s = OvStreamOpen(ovSTREAMMEMORY, ovSTREAMWRITE, nullptr);
    EXPECT_NE(OvPluginRegistryWriteDataChunks(OvFrameGetRegistry(), s, f), nullptr);
    return s;
}

TEST_F(AnimHierarchyTest, FrameExtensionSizesRoundTripCopyAndDestroy) {
    const OvInt32 offset = OvPluginRegistryGetPluginOffset(OvFrameGetRegistry(), ovPLUGINIDANIMHIERARCHY);
    const OvPluginEntry* entry = OvFrameGetRegistry()->firstRegEntry;
    while (entry->pluginID != ovPLUGINIDANIMHIERARCHY) {
        entry = entry->nextRegEntry;
    }
    OvFrame* plain = OvFrameCreate();
    EXPECT_EQ(entry->getSizeCB(plain, offset, entry->size), 0);
    OvFrameSetAnimHierarchyNodeID(plain, 5);
    EXPECT_EQ(entry->getSizeCB(plain, offset, entry->size), 12);

    const std::vector<OvUInt32> flags = {2, 0, 1, 3, 0};
    const std::vector<OvInt32> ids = {5, 9, -4, 70000, 12};
    OvAnimHierarchy* h = OvAnimHierarchyCreate(5, flags.data(), ids.data(), 0x3000, 48);
    OvFrameSetAnimHierarchy(plain, h);
    EXPECT_EQ(entry->getSizeCB(plain, offset, entry->size), 20 + 12 * 5);
    std::vector<std::uint8_t> bytes = CloseWritten(WriteExtension(plain));

    // Read into a fresh frame, written again: the same bytes.
    OvFrame* back = OvFrameCreate();
    OvStream* in = OpenRead(bytes, static_cast<std::uint32_t>(bytes.size()));
    ASSERT_NE(OvPluginRegistryReadDataChunks(OvFrameGetRegistry(), in, back), nullptr);
    OvStreamClose(in, nullptr);
    const OvAnimHierarchy* r = OvFrameGetAnimHierarchy(back);
    ASSERT_NE(r, nullptr);
    EXPECT_EQ(r->parentFrame, back);
    EXPECT_EQ(r->flags, 0x3000u);
    EXPECT_EQ(r->currentAnim->maxInterpKeyFrameSize, 48);
    EXPECT_EQ(r->pNodeInfo[3].nodeID, 70000);
    EXPECT_EQ(r->pNodeInfo[2].flags, 1u);
    EXPECT_EQ(OvFrameGetAnimHierarchyNodeID(back), 5);
    EXPECT_EQ(CloseWritten(WriteExtension(back)), bytes);

    // Every prefix fails and leaves nothing behind.
    for (std::uint32_t n = 0; n < bytes.size(); ++n) {
        OvFrame* f = OvFrameCreate();
        OvStream* s = OpenRead(bytes, n);
        EXPECT_EQ(OvPluginRegistryReadDataChunks(OvFrameGetRegistry(), s, f), nullptr) << n;
        EXPECT_EQ(OvFrameGetAnimHierarchy(f), nullptr);
        OvStreamClose(s, nullptr);
        OvFrameDestroy(f);
        ClearError();
    }
    // A node count the chunk cannot hold, a wrong version word and a tiny key size are refused.
    for (int bad = 0; bad < 3; ++bad) {
        std::vector<std::uint8_t> b = bytes;
        const std::size_t body = 24; // extension header and sub-chunk header
        if (bad == 0) {
            b[body + 8] = 0xFF;
            b[body + 9] = 0xFF;
        } else if (bad == 1) {
            b[body + 0] = 0x01;
        } else {
            b[body + 16] = 8;
        }
        OvFrame* f = OvFrameCreate();
        OvStream* s = OpenRead(b, static_cast<std::uint32_t>(b.size()));
        EXPECT_EQ(OvPluginRegistryReadDataChunks(OvFrameGetRegistry(), s, f), nullptr) << bad;
        OvStreamClose(s, nullptr);
        OvFrameDestroy(f);
        ClearError();
    }

    // A copied frame gets a hierarchy of its own with the same nodes.
    OvFrame* copy = OvFrameCreate();
    ASSERT_NE(OvPluginRegistryCopyObject(OvFrameGetRegistry(), copy, plain), nullptr);
    OvAnimHierarchy* c = OvFrameGetAnimHierarchy(copy);
    ASSERT_NE(c, nullptr);
    EXPECT_NE(c, h);
    EXPECT_EQ(c->parentFrame, copy);
    EXPECT_EQ(c->pNodeInfo[4].nodeID, 12);
    EXPECT_EQ(CloseWritten(WriteExtension(copy)), bytes);

    // A hierarchy made from another and sharing its parent frame does not unbind the original
    // when destroyed.
    OvAnimHierarchy* work = OvAnimHierarchyCreateFromHierarchy(h, 0, sizeof(OvAnimInterpFrame));
    work->parentFrame = plain;
    OvAnimHierarchyDestroy(work);
    EXPECT_EQ(OvFrameGetAnimHierarchy(plain), h);

    // A sub-hierarchy is written as no hierarchy.
    h->flags |= ovANIMHIERARCHYSUBHIERARCHY;
    EXPECT_EQ(entry->getSizeCB(plain, offset, entry->size), 12);
    h->flags &= ~static_cast<OvUInt32>(ovANIMHIERARCHYSUBHIERARCHY);

    // Frames holding their hierarchies destroy them.
    OvFrameDestroy(plain);
    OvFrameDestroy(back);
    OvFrameDestroy(copy);
}

} // namespace
