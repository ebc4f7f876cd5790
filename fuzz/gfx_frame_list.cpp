// Frame lists: the body of a frame-list chunk (struct chunk with the count and the frame
// records, then one extension chunk per frame), read from a memory stream. Frames carry one
// streamed extension, so extension bodies reach a reader.

#include <cstdint>
#include <vector>

#include "fuzz/fuzz_kit.h"
#include "graphics/core/frame.h"
#include "graphics/core/stream.h"

namespace {

constexpr OvUInt32 kExtensionId = 0x7702;

void RegisterPlugins() {
    OvFrameRegisterPlugin(8, kExtensionId, nullptr, nullptr, nullptr);
    OvFrameRegisterPluginStream(kExtensionId, fuzzkit::ReadExtensionBody, nullptr, nullptr);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzzkit::GraphicsEngine engine(RegisterPlugins);
    if (!engine.Up()) {
        return 0;
    }
    OvStream* stream = fuzzkit::OpenMemoryStream(data, size);
    OvFrameList list = {nullptr, 0};
    if (OvFrameListStreamRead(stream, &list) != nullptr) {
        OvFrameSyncDirty();
        // The roots are found before any hierarchy goes (destroying one frees its descendants).
        std::vector<OvFrame*> roots;
        for (OvInt32 i = 0; i < list.numFrames; ++i) {
            if (OvFrameGetParent(list.frames[i]) == nullptr) {
                roots.push_back(list.frames[i]);
            }
        }
        for (OvFrame* root : roots) {
            OvFrameDestroyHierarchy(root);
        }
        OvFrameListDestroy(&list);
    }
    OvStreamClose(stream, nullptr);
    return 0;
}
