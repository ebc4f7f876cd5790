// Hierarchy frame extension: the input as a frame's extension chunk, read into a frame whose
// hierarchy is then attached, updated, copied and destroyed with the frame.

#include <cstdint>

#include "fuzz/fuzz_kit.h"
#include "graphics/core/frame.h"
#include "graphics/core/plugin.h"
#include "graphics/core/stream.h"
#include "graphics/plugins/anim_hierarchy.h"

namespace {

void RegisterPlugins() {
    OvAnimPluginAttach();
    OvAnimHierarchyPluginAttach();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzzkit::GraphicsEngine engine(RegisterPlugins);
    if (!engine.Up()) {
        return 0;
    }
    OvStream* stream = fuzzkit::OpenMemoryStream(data, size);
    OvFrame* frame = OvFrameCreate();
    OvFrame* child = OvFrameCreate();
    if (stream != nullptr && frame != nullptr && child != nullptr) {
        OvFrameAddChild(frame, child);
        if (OvPluginRegistryReadDataChunks(OvFrameGetRegistry(), stream, frame) != nullptr) {
            if (OvAnimHierarchy* h = OvFrameGetAnimHierarchy(frame)) {
                OvFrameSetAnimHierarchyNodeID(child, h->numNodes > 1 ? h->pNodeInfo[1].nodeID : 0);
                OvAnimHierarchyAttach(h);
                OvAnimHierarchyUpdateMatrices(h);
                OvFrameSyncDirty();
            }
            OvFrame* copy = OvFrameCreate();
            if (copy != nullptr) {
                OvPluginRegistryCopyObject(OvFrameGetRegistry(), copy, frame);
                OvFrameDestroy(copy);
            }
        }
    }
    if (frame != nullptr) {
        OvFrameDestroyHierarchy(frame);
    } else if (child != nullptr) {
        OvFrameDestroy(child);
    }
    if (stream != nullptr) {
        OvStreamClose(stream, nullptr);
    }
    return 0;
}
