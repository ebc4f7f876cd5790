// mkasset anim: a keyframe animation (".anm") for a character written by mkasset character.

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <string>
#include <vector>

#include "graphics/core/chunk.h"
#include "graphics/core/error.h"
#include "graphics/core/stream.h"
#include "graphics/core/testkit/engine_fixture.h"
#include "graphics/plugins/anim_hierarchy.h"
#include "tools/engine_error/hierarchy_frame.h"
#include "graphics/plugins/anim_tracks.h"
#include "graphics/world/clump.h"
#include "graphics/world/world_plugin.h"
#include "tools/mkasset/commands.h"
#include "tools/mkasset/skeleton.h"

namespace mkasset {

namespace {

constexpr const char* kName = "anim";
constexpr float kKeysPerSecond = 12.0f;
constexpr float kPi = 3.14159265f;

enum class Kind { Walk, Idle, Bend };

void Register() {
    OvWorldPluginAttach();
    OvAnimPluginAttach();
    OvAnimHierarchyPluginAttach();
}

// Rotation of a bone at phase p (radians over the cycle) as an axis and an angle.
struct Turn {
    float axis[3] = {1, 0, 0};
    float angle = 0;
};

Turn Motion(Kind kind, const std::string& bone, float p) {
    Turn t;
    const float s = std::sin(p);
    if (kind == Kind::Walk) {
        if (bone == "l_thigh" || bone == "r_thigh") {
            t.angle = (bone[0] == 'l' ? 0.5f : -0.5f) * s;
        } else if (bone == "l_calf" || bone == "r_calf") {
            t.angle = -0.45f * (1.0f - std::cos(p + (bone[0] == 'l' ? 0.0f : kPi))) * 0.5f;
        } else if (bone == "l_upperarm" || bone == "r_upperarm") {
            t.angle = (bone[0] == 'l' ? -0.4f : 0.4f) * s;
        } else if (bone == "spine") {
            t.axis[0] = 0;
            t.axis[1] = 1;
            t.angle = 0.12f * s;
        }
    } else if (kind == Kind::Idle) {
        if (bone == "chest") {
            t.angle = 0.03f * s;
        } else if (bone == "head") {
            t.axis[0] = 0;
            t.axis[1] = 1;
            t.angle = 0.1f * s;
        } else if (bone == "l_upperarm" || bone == "r_upperarm") {
            t.axis[0] = 0;
            t.axis[2] = 1;
            t.angle = (bone[0] == 'l' ? -1.0f : 1.0f) * (1.2f + 0.03f * s);
        }
    } else {
        const float bend = 0.5f * (1.0f - std::cos(p));
        if (bone == "spine" || bone == "chest") {
            t.angle = 0.6f * bend;
        } else if (bone == "neck") {
            t.angle = -0.3f * bend;
        }
    }
    return t;
}

} // namespace

void AnimUsage(std::FILE* out) {
    std::fprintf(out,
                 "usage: mkasset anim --for FILE.dff --kind walk|idle|bend --seconds T --out FILE.anm\n"
                 "  Writes a looping keyframe animation (standard keys: rotation and translation) for the\n"
                 "  animation hierarchy of the clump FILE.dff (written by mkasset character): one key\n"
                 "  track per node, %g keys a second for the bones the motion turns, two keys for the rest,\n"
                 "  the last key of every track at T and equal to the first. Bones are recognised by their\n"
                 "  node ids (mkasset character --help lists them); others keep their bind pose.\n"
                 "  --kind walk   legs and arms swing, the spine twists and the pelvis bobs, one stride\n"
                 "  --kind idle   breathing and a slow look round, arms down\n"
                 "  --kind bend   bending forward and back up\n"
                 "  --seconds T   length of one cycle, above 0 and at most 3600\n"
                 "  Exit status 0 on success, 1 when a file cannot be read or written (or the clump holds\n"
                 "  no hierarchy), 2 on bad usage.\n",
                 kKeysPerSecond);
}

int RunAnim(int argc, char** argv) {
    std::string in, out;
    Kind kind = Kind::Walk;
    bool haveKind = false;
    float seconds = 0;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (i + 1 >= argc) {
            return Fail(kName, kExitUsage, "missing value after " + arg);
        }
        const std::string value = argv[++i];
        if (arg == "--for") {
            in = value;
        } else if (arg == "--kind") {
            if (value == "walk") {
                kind = Kind::Walk;
            } else if (value == "idle") {
                kind = Kind::Idle;
            } else if (value == "bend") {
                kind = Kind::Bend;
            } else {
                return Fail(kName, kExitUsage, "bad --kind '" + value + "' (walk, idle or bend)");
            }
            haveKind = true;
        } else if (arg == "--seconds") {
            char* end = nullptr;
            seconds = std::strtof(value.c_str(), &end);
            if (value.empty() || *end != '\0' || !(seconds > 0.0f) || seconds > 3600.0f) {
                return Fail(kName, kExitUsage, "bad --seconds '" + value + "' (above 0, at most 3600)");
            }
        } else if (arg == "--out") {
            out = value;
        } else {
            return Fail(kName, kExitUsage, "unknown argument " + arg);
        }
    }
    if (in.empty() || out.empty() || !haveKind || seconds == 0) {
        return Fail(kName, kExitUsage,
                    in.empty()     ? "--for is required"
                    : !haveKind    ? "--kind is required"
                    : seconds == 0 ? "--seconds is required"
                                   : "--out is required");
    }
    if (!OvTestEngineUp(0, Register)) {
        return Fail(kName, kExitFailed, "the graphics engine did not start");
    }
    int status = kExitOk;
    OvClump* clump = nullptr;
    if (OvStream* stream = OvStreamOpen(ovSTREAMFILENAME, ovSTREAMREAD, in.c_str())) {
        if (OvStreamFindChunk(stream, ovCHUNKIDCLUMP, nullptr, nullptr)) {
            clump = OvClumpStreamRead(stream);
        }
        OvStreamClose(stream, nullptr);
    }
    OvFrame* holder = clump != nullptr ? FindHierarchyFrame(OvClumpGetFrame(clump)) : nullptr;
    if (clump == nullptr) {
        status = Fail(kName, kExitFailed, "cannot read a clump from " + in);
    } else if (holder == nullptr) {
        status = Fail(kName, kExitFailed, in + " holds no animation hierarchy");
    } else {
        OvAnimHierarchy* h = OvFrameGetAnimHierarchy(holder);
        OvAnimHierarchyAttach(h);
        const int n = h->numNodes;
        const int cycleKeys = std::max(2, static_cast<int>(std::ceil(seconds * kKeysPerSecond)) + 1);
        std::vector<std::vector<OvAnimTrackKey>> tracks(static_cast<std::size_t>(n));
        for (int i = 0; i < n; ++i) {
            const OvFrame* f = h->pNodeInfo[i].pFrame;
            const OvV3d bind = f != nullptr ? f->modelling.pos : OvV3d{0, 0, 0};
            const char* name = BoneName(h->pNodeInfo[i].nodeID);
            const std::string bone = name != nullptr ? name : "";
            bool moves = false;
            for (int k = 0; k < cycleKeys && !moves; ++k) {
                moves =
                    Motion(kind, bone, 2 * kPi * static_cast<float>(k) / static_cast<float>(cycleKeys - 1)).angle != 0;
            }
            moves = moves || (kind == Kind::Walk && bone == "pelvis");
            const int keys = moves ? cycleKeys : 2;
            for (int k = 0; k < keys; ++k) {
                const float u = static_cast<float>(k) / static_cast<float>(keys - 1);
                const float p = 2 * kPi * u;
                const Turn t = Motion(kind, bone, k == keys - 1 ? 0.0f : p);
                const float half = 0.5f * t.angle;
                OvAnimTrackKey key;
                key.time = k == keys - 1 ? seconds : seconds * u;
                key.q = {t.axis[0] * std::sin(half), t.axis[1] * std::sin(half), t.axis[2] * std::sin(half),
                         std::cos(half)};
                key.t = bind;
                if (kind == Kind::Walk && bone == "pelvis") {
                    key.t.y += 0.03f * (k == keys - 1 ? 1.0f : std::cos(2 * p));
                }
                tracks[static_cast<std::size_t>(i)].push_back(key);
            }
        }
        std::vector<const OvAnimTrackKey*> pointers;
        std::vector<OvInt32> counts;
        for (const auto& t : tracks) {
            pointers.push_back(t.data());
            counts.push_back(static_cast<OvInt32>(t.size()));
        }
        OvAnimation* animation = OvAnimationCreateFromTracks(n, pointers.data(), counts.data(), seconds);
        if (animation == nullptr) {
            status = Fail(kName, kExitFailed, "cannot build the animation");
        } else {
            if (OvAnimationSave(animation, out.c_str()) == nullptr) {
                status = Fail(kName, kExitFailed, "cannot write " + out);
            }
            OvAnimationDestroy(animation);
        }
    }
    if (clump != nullptr) {
        OvClumpDestroy(clump);
    }
    OvError ignored;
    OvErrorGet(&ignored);
    OvTestEngineDown();
    return status;
}

} // namespace mkasset
