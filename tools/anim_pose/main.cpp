// anim_pose: the pose of a character's animation hierarchy at a time of an animation.
//   anim_pose FILE.dff FILE.anm --t SECONDS
// Prints one line a hierarchy node: "node I right=X,Y,Z up=X,Y,Z at=X,Y,Z pos=X,Y,Z", the node's
// matrix after the animation was advanced by SECONDS from its start (wrapping round).

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "graphics/core/chunk.h"
#include "graphics/core/error.h"
#include "graphics/core/stream.h"
#include "graphics/core/testkit/engine_fixture.h"
#include "graphics/plugins/anim_hierarchy.h"
#include "tools/engine_error/hierarchy_frame.h"
#include "graphics/world/clump.h"
#include "graphics/world/world_plugin.h"

namespace {

void Usage(std::FILE* out) {
    std::fprintf(out, "usage: anim_pose FILE.dff FILE.anm --t SECONDS\n"
                      "  Reads the clump FILE.dff and the animation FILE.anm, plays the animation on the\n"
                      "  clump's animation hierarchy from its start for SECONDS (0 or more; past the end it\n"
                      "  wraps round) and prints one line a node:\n"
                      "    node I right=X,Y,Z up=X,Y,Z at=X,Y,Z pos=X,Y,Z\n"
                      "  the node's matrix in the clump's space (under the frame holding the hierarchy).\n"
                      "  Exit status 0 on success, 1 when a file cannot be read or does not fit the other,\n"
                      "  2 on bad usage.\n");
}

void Register() {
    OvWorldPluginAttach();
    OvAnimPluginAttach();
    OvAnimHierarchyPluginAttach();
}

std::string HeldError() {
    OvError e;
    OvErrorGet(&e);
    if (e.errorCode == ovERRNOERROR) {
        return "no error code recorded";
    }
    char text[64];
    std::snprintf(text, sizeof(text), "error 0x%08X, plugin 0x%X", static_cast<unsigned>(e.errorCode),
                  static_cast<unsigned>(e.pluginID));
    return text;
}

int Pose(const char* dff, const char* anm, float seconds) {
    OvClump* clump = nullptr;
    if (OvStream* stream = OvStreamOpen(ovSTREAMFILENAME, ovSTREAMREAD, dff)) {
        if (OvStreamFindChunk(stream, ovCHUNKIDCLUMP, nullptr, nullptr)) {
            clump = OvClumpStreamRead(stream);
        }
        OvStreamClose(stream, nullptr);
    }
    if (clump == nullptr) {
        std::fprintf(stderr, "anim_pose: %s: cannot read a clump (%s)\n", dff, HeldError().c_str());
        return 1;
    }
    int status = 0;
    OvFrame* holder = FindHierarchyFrame(OvClumpGetFrame(clump));
    OvAnimation* animation = OvAnimationLoad(anm);
    if (holder == nullptr) {
        std::fprintf(stderr, "anim_pose: %s: no animation hierarchy in the clump\n", dff);
        status = 1;
    } else if (animation == nullptr) {
        std::fprintf(stderr, "anim_pose: %s: cannot read an animation (%s)\n", anm, HeldError().c_str());
        status = 1;
    } else {
        OvAnimHierarchy* h = OvFrameGetAnimHierarchy(holder);
        OvAnimHierarchyAttach(h);
        if (!OvAnimHierarchySetCurrentAnim(h, animation)) {
            std::fprintf(stderr, "anim_pose: %s: the animation does not fit the %d nodes of %s\n", anm, h->numNodes,
                         dff);
            status = 1;
        } else {
            OvAnimInterpolatorAddAnimTime(h->currentAnim, seconds);
            if (!OvAnimHierarchyUpdateMatrices(h)) {
                std::fprintf(stderr, "anim_pose: %s: the hierarchy's node flags do not nest\n", dff);
                status = 1;
            } else {
                OvFrameSyncDirty();
                for (OvInt32 i = 0; i < h->numNodes; ++i) {
                    const OvFrame* f = h->pNodeInfo[i].pFrame;
                    const OvMatrix* m = h->pMatrixArray != nullptr ? &h->pMatrixArray[i]
                                        : f != nullptr             ? &f->ltm
                                                                   : nullptr;
                    if (m == nullptr) {
                        std::printf("node %d unbound\n", static_cast<int>(i));
                        continue;
                    }
                    std::printf("node %d right=%.5f,%.5f,%.5f up=%.5f,%.5f,%.5f at=%.5f,%.5f,%.5f pos=%.5f,%.5f,%.5f\n",
                                static_cast<int>(i), m->right.x, m->right.y, m->right.z, m->up.x, m->up.y, m->up.z,
                                m->at.x, m->at.y, m->at.z, m->pos.x, m->pos.y, m->pos.z);
                }
            }
        }
    }
    if (animation != nullptr) {
        OvAnimationDestroy(animation);
    }
    OvClumpDestroy(clump);
    return status;
}

} // namespace

int main(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
            Usage(stdout);
            return 0;
        }
    }
    const char* files[2] = {nullptr, nullptr};
    int numFiles = 0;
    float seconds = -1.0f;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--t") == 0) {
            if (i + 1 >= argc) {
                std::fprintf(stderr, "anim_pose: missing value after --t\n");
                Usage(stderr);
                return 2;
            }
            char* end = nullptr;
            seconds = std::strtof(argv[++i], &end);
            if (*argv[i] == '\0' || *end != '\0' || !(seconds >= 0.0f) || !std::isfinite(seconds)) {
                std::fprintf(stderr, "anim_pose: bad --t '%s' (seconds, 0 or more)\n", argv[i]);
                return 2;
            }
        } else if (argv[i][0] == '-') {
            std::fprintf(stderr, "anim_pose: unknown option %s\n", argv[i]);
            Usage(stderr);
            return 2;
        } else if (numFiles < 2) {
            files[numFiles++] = argv[i];
        } else {
            std::fprintf(stderr, "anim_pose: unexpected argument %s\n", argv[i]);
            Usage(stderr);
            return 2;
        }
    }
    if (numFiles != 2 || seconds < 0.0f) {
        std::fprintf(stderr, "anim_pose: %s\n",
                     numFiles != 2 ? "FILE.dff and FILE.anm are required" : "--t is required");
        Usage(stderr);
        return 2;
    }
    if (!OvTestEngineUp(0, Register)) {
        std::fprintf(stderr, "anim_pose: the graphics engine did not start\n");
        return 1;
    }
    const int status = Pose(files[0], files[1], seconds);
    OvError ignored;
    OvErrorGet(&ignored);
    OvTestEngineDown();
    return status;
}
