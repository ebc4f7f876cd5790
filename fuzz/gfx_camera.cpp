// Cameras: the body of a camera chunk (struct chunk, then the extension chunk), read from a
// memory stream. Cameras carry one streamed extension, so extension bodies reach a reader.

#include <cstdint>

#include "fuzz/fuzz_kit.h"
#include "graphics/core/camera.h"
#include "graphics/core/plugin.h"
#include "graphics/core/stream.h"

namespace {

constexpr OvUInt32 kExtensionId = 0x7701;

void RegisterPlugins() {
    OvCameraRegisterPlugin(8, kExtensionId, nullptr, nullptr, nullptr);
    OvPluginRegistryAddPluginStream(OvCameraGetRegistry(), kExtensionId, fuzzkit::ReadExtensionBody, nullptr, nullptr);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzzkit::GraphicsEngine engine(RegisterPlugins);
    if (!engine.Up()) {
        return 0;
    }
    OvStream* stream = fuzzkit::OpenMemoryStream(data, size);
    if (OvCamera* camera = OvCameraStreamRead(stream)) {
        OvCameraDestroy(camera);
    }
    OvStreamClose(stream, nullptr);
    return 0;
}
