// A character's clump: the input as a model file loaded by an animated character, which finds
// and binds its animation hierarchy, sets its animator up (the shared command pool's workspaces
// copy that skeleton), plays a one- and a four-entry command into it with a cross-fade, skins its
// atomics by the pose, reads its bones, and is released.

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "framework/character.h"
#include "framework/framework.h"
#include "fuzz/fuzz_kit.h"
#include "graphics/plugins/anim.h"
#include "graphics/plugins/anim_hierarchy.h"
#include "graphics/plugins/collision.h"
#include "graphics/plugins/skin.h"
#include "graphics/shared/skel/win/skeleton.h"
#include "graphics/world/clump.h"
#include "graphics/world/geometry.h"
#include "graphics/world/world_plugin.h"
#include "physics/graphics/body_atomic.h"

namespace {

void RegisterPlugins() {
    OvWorldPluginAttach();
    OvCollisionPluginAttach();
    OvAnimPluginAttach();
    OvAnimHierarchyPluginAttach();
    OvSkinPluginAttach();
    OvpBodyPluginAttach();
}

// Two keys a node, each node turned about y by `angle`.
OvAnimation* Pose(int nodes, float angle) {
    OvAnimation* a = OvAnimationCreate(1, 2 * nodes, 0, 0.5f);
    if (a == nullptr) {
        return nullptr;
    }
    for (int k = 0; k < 2 * nodes; ++k) {
        auto* key = static_cast<OvAnimKeyFrame*>(OvAnimationGetKey(a, static_cast<OvUInt32>(k)));
        key->prevFrame = k < nodes ? 0u : static_cast<OvUInt32>(k - nodes);
        key->time = k < nodes ? 0.0f : 0.5f;
        key->q = {0.0f, std::sin(0.5f * angle), 0.0f, std::cos(0.5f * angle)};
        key->t = {0.0f, 1.0f, 0.0f};
    }
    return a;
}

// What the skinned-atomic pipeline does to each skinned atomic when it is drawn on the
// processor: the palette of the posed hierarchy, the bind pose skinned by it.
void SkinAtomics(CCharacter& character) {
    struct Skin {
        static OvAtomic* Visit(OvAtomic* atomic, void* data) {
            auto* h = static_cast<const OvAnimHierarchy*>(data);
            OvGeometry* g = atomic->geometry;
            const OvSkin* skin = g != nullptr ? OvSkinGeometryGetSkin(g) : nullptr;
            OvFrame* frame = OvAtomicGetFrame(atomic);
            if (skin == nullptr || frame == nullptr || g->numMorphTargets < 1 || g->morphTarget[0].verts == nullptr) {
                return atomic;
            }
            std::vector<OvMatrix> palette(ovSKINPALETTESIZE);
            const OvInt32 entries = OvSkinBuildPalette(skin, h, OvFrameGetWorldMatrix(frame), palette.data());
            std::vector<OvV3d> positions(static_cast<std::size_t>(g->numVertices));
            std::vector<OvV3d> normals(g->morphTarget[0].normals != nullptr ? positions.size() : 0);
            OvSkinVertices(skin, palette.data(), entries, g->morphTarget[0].verts, g->morphTarget[0].normals,
                           positions.data(), normals.empty() ? nullptr : normals.data(), g->numVertices);
            return atomic;
        }
    };
    if (character.GetClump() != nullptr && character.Hierarchy() != nullptr) {
        OvClumpForAllAtomics(character.GetClump(), Skin::Visit, character.Hierarchy());
    }
}

} // namespace

std::int32_t AppEventHandler(std::int32_t, void*) { return SKEL_EVENT_NOT_HANDLED; }

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzzkit::QuietErrorBoxes();
    fuzzkit::GraphicsEngine engine(RegisterPlugins);
    if (!engine.Up()) {
        return 0;
    }
    const std::string path = fuzzkit::WriteScratchFile(data, size);
    {
        CCharacter character;
        if (character.LoadClump(path.c_str()) && character.BoneCount() > 0 && character.BoneCount() <= 4096) {
            const int nodes = character.BoneCount();
            OvAnimation* poses[4] = {Pose(nodes, 0.1f), Pose(nodes, 0.4f), Pose(nodes, -0.3f), Pose(nodes, 0.8f)};
            CAnimationCommandPool* pool = CAnimationCommandPool::Instance();
            if (poses[0] != nullptr && poses[1] != nullptr && poses[2] != nullptr && poses[3] != nullptr) {
                CAnimationCommand* single = pool->Take();
                single->SetEntry(0, poses[0], 1.0f);
                character.Start(single);
                character.CCharacterAnimator::Update(0.1f);
                SkinAtomics(character);
                CAnimationCommand* four = pool->Take();
                const float weights[4] = {0.1f, 0.2f, 0.3f, 0.4f};
                for (int k = 0; k < 4; ++k) {
                    four->SetEntry(k, poses[k], weights[k]);
                }
                character.Start(four);
                for (int f = 0; f < 3; ++f) {
                    character.CCharacterAnimator::Update(0.1f);
                    SkinAtomics(character);
                }
                OvV3d p, r, u, a;
                character.GetMuzzle(&p, &r, &u, &a);
                character.GetBoneMatrix(kHeadBone);
            }
            character.Release();
            for (OvAnimation* pose : poses) {
                if (pose != nullptr) {
                    OvAnimationDestroy(pose);
                }
            }
        }
    }
    // Each input brings its own skeleton: the pool's workspaces go with it.
    DestroyAnimationCommandPool();
    g_stopOnError = false;
    return 0;
}
