// The asset builder's characters read through the engine: the hierarchy nests, the bind pose
// played back puts every joint where the builder placed it, and skinning in the bind pose gives
// the geometry back.

#include <cmath>
#include <vector>

#include "graphics/core/tests/started_engine.h"
#include "graphics/plugins/anim_tracks.h"
#include "graphics/plugins/skin.h"
#include "graphics/plugins/skin_d3d9.h"
#include "graphics/world/clump.h"
#include "graphics/world/geometry.h"
#include "graphics/world/world_plugin.h"
#include "tools/mkasset/skeleton.h"

namespace {

class CharacterTest : public StartedEngine {
protected:
    void RegisterPlugins() override {
        ASSERT_TRUE(OvWorldPluginAttach());
        ASSERT_TRUE(OvAnimPluginAttach());
        ASSERT_TRUE(OvAnimHierarchyPluginAttach());
        ASSERT_TRUE(OvSkinPluginAttach());
    }
};

OvFrame* HierarchyFrame(OvFrame* frame) {
    for (OvFrame* f = frame; f != nullptr; f = f->next) {
        if (OvFrameGetAnimHierarchy(f) != nullptr) {
            return f;
        }
        if (OvFrame* below = HierarchyFrame(f->child)) {
            return below;
        }
    }
    return nullptr;
}

OvAtomic* FirstAtomic(OvAtomic* atomic, void* data) {
    *static_cast<OvAtomic**>(data) = atomic;
    return nullptr;
}

TEST_F(CharacterTest, BindPosePlaysBackAndSkinsToTheGeometry) {
    for (int bones = 1; bones <= mkasset::kMaxBones; ++bones) {
        mkasset::Bytes bytes = mkasset::ClumpFile(mkasset::CharacterClump(bones));
        OvStream* s = OpenRead(bytes, static_cast<std::uint32_t>(bytes.size()));
        ASSERT_TRUE(OvStreamFindChunk(s, ovCHUNKIDCLUMP, nullptr, nullptr));
        OvClump* clump = OvClumpStreamRead(s);
        OvStreamClose(s, nullptr);
        ASSERT_NE(clump, nullptr) << bones;
        OvFrame* holder = HierarchyFrame(OvClumpGetFrame(clump));
        ASSERT_NE(holder, nullptr);
        OvAnimHierarchy* h = OvFrameGetAnimHierarchy(holder);
        ASSERT_EQ(h->numNodes, bones);
        OvAnimHierarchyAttach(h);
        // The bind pose as an animation: identity turns, the frames' own translations.
        std::vector<std::vector<OvAnimTrackKey>> tracks(static_cast<std::size_t>(bones));
        std::vector<const OvAnimTrackKey*> p;
        std::vector<OvInt32> c;
        for (int i = 0; i < bones; ++i) {
            ASSERT_NE(h->pNodeInfo[i].pFrame, nullptr) << bones << " node " << i;
            const OvV3d t = h->pNodeInfo[i].pFrame->modelling.pos;
            tracks[static_cast<std::size_t>(i)] = {{0.0f, {0, 0, 0, 1}, t}, {1.0f, {0, 0, 0, 1}, t}};
            p.push_back(tracks[static_cast<std::size_t>(i)].data());
            c.push_back(2);
        }
        OvAnimation* bind = OvAnimationCreateFromTracks(bones, p.data(), c.data(), 1.0f);
        ASSERT_TRUE(OvAnimHierarchySetCurrentAnim(h, bind));
        OvAnimInterpolatorAddAnimTime(h->currentAnim, 0.5f);
        ASSERT_TRUE(OvAnimHierarchyUpdateMatrices(h)) << bones;
        const mkasset::Skeleton skeleton = mkasset::MakeSkeleton(bones);
        for (int i = 0; i < bones; ++i) {
            const OvV3d& pos = h->pMatrixArray[i].pos;
            EXPECT_NEAR(pos.x, skeleton.bindWorld[3 * static_cast<std::size_t>(i)], 1e-5) << bones << " " << i;
            EXPECT_NEAR(pos.y, skeleton.bindWorld[3 * static_cast<std::size_t>(i) + 1], 1e-5);
            EXPECT_NEAR(pos.z, skeleton.bindWorld[3 * static_cast<std::size_t>(i) + 2], 1e-5);
        }
        // Skinned in the bind pose, every vertex stays where it is.
        OvAtomic* atomic = nullptr;
        OvClumpForAllAtomics(clump, FirstAtomic, &atomic);
        ASSERT_NE(atomic, nullptr);
        OvGeometry* g = OvAtomicGetGeometry(atomic);
        OvSkin* skin = OvSkinGeometryGetSkin(g);
        ASSERT_NE(skin, nullptr);
        // Read skinned, the atomic is drawn by the skinned-atomic pipeline.
        ASSERT_NE(OvSkinGetAtomicPipeline(), nullptr);
        EXPECT_EQ(atomic->pipeline, OvSkinGetAtomicPipeline());
        EXPECT_LE(skin->maxNumWeightsPerVertex, 4u);
        EXPECT_EQ(skin->maxNumWeightsPerVertex, static_cast<OvUInt32>(bones >= 4 ? 4 : bones)) << bones;
        std::vector<OvMatrix> palette(ovSKINPALETTESIZE);
        const OvInt32 n = OvSkinBuildPalette(skin, h, OvFrameGetWorldMatrix(OvAtomicGetFrame(atomic)), palette.data());
        const OvMorphTarget* target = OvGeometryGetMorphTarget(g, 0);
        std::vector<OvV3d> out(static_cast<std::size_t>(g->numVertices));
        OvSkinVertices(skin, palette.data(), n, target->verts, nullptr, out.data(), nullptr, g->numVertices);
        for (int v = 0; v < g->numVertices; ++v) {
            ASSERT_NEAR(out[static_cast<std::size_t>(v)].x, target->verts[v].x, 1e-4) << bones << " " << v;
            ASSERT_NEAR(out[static_cast<std::size_t>(v)].y, target->verts[v].y, 1e-4);
            ASSERT_NEAR(out[static_cast<std::size_t>(v)].z, target->verts[v].z, 1e-4);
        }
        OvAnimationDestroy(bind);
        OvClumpDestroy(clump);
    }
}

} // namespace
