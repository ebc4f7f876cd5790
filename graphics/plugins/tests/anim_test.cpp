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
    s.schemeID = 17;
    EXPECT_FALSE(OvAnimRegisterScheme(&s));
    OvErrorGet(&e);
    EXPECT_EQ(e.errorCode, 1);
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

} // namespace
