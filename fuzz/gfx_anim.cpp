// Animations: the input as a stream holding an animation chunk, read and then played on a
// hierarchy of as many nodes as the keys allow, with blending and the hierarchy update.

#include <cstdint>

#include "fuzz/fuzz_kit.h"
#include "graphics/core/chunk.h"
#include "graphics/core/stream.h"
#include "graphics/plugins/anim_hierarchy.h"

namespace {

void RegisterPlugins() {
    OvAnimPluginAttach();
    OvAnimHierarchyPluginAttach();
}

void Play(OvAnimation* animation) {
    OvInt32 nodes = animation->numFrames / 2;
    nodes = nodes > 64 ? 64 : nodes;
    OvAnimHierarchy* h = OvAnimHierarchyCreate(nodes, nullptr, nullptr, 0, sizeof(OvAnimInterpFrame));
    OvAnimInterpolator* other = OvAnimInterpolatorCreate(nodes, sizeof(OvAnimInterpFrame));
    if (h != nullptr && other != nullptr && OvAnimHierarchySetCurrentAnim(h, animation) &&
        OvAnimInterpolatorSetCurrentAnim(other, animation)) {
        for (float dt : {0.0f, 0.01f, 0.3f, 1.7f, 25.0f, 1.0e9f}) {
            OvAnimInterpolatorAddAnimTime(h->currentAnim, dt);
            OvAnimInterpolatorAddAnimTime(other, dt * 0.5f);
            OvAnimInterpolatorBlend(h->currentAnim, h->currentAnim, other, 0.25f);
            OvAnimHierarchyUpdateMatrices(h);
        }
    }
    if (other != nullptr) {
        OvAnimInterpolatorDestroy(other);
    }
    if (h != nullptr) {
        OvAnimHierarchyDestroy(h);
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzzkit::GraphicsEngine engine(RegisterPlugins);
    if (!engine.Up()) {
        return 0;
    }
    OvStream* stream = fuzzkit::OpenMemoryStream(data, size);
    OvUInt32 length = 0;
    if (stream != nullptr && OvStreamFindChunk(stream, ovID_ANIMANIMATION, &length, nullptr)) {
        if (OvAnimation* animation = OvAnimationStreamRead(stream, length)) {
            Play(animation);
            OvAnimationDestroy(animation);
        }
    }
    if (stream != nullptr) {
        OvStreamClose(stream, nullptr);
    }
    return 0;
}
