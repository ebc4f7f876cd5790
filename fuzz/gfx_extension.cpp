// Extension chunks: an extension chunk (header and sub-chunks) read into an object of a
// registry with a streamed plugin, a plugin without a stream reader and a check run after
// every read; then skipped as a registry that knows none of them would.

#include <cstdint>
#include <cstring>

#include "fuzz/fuzz_kit.h"
#include "graphics/core/plugin.h"
#include "graphics/core/stream.h"

namespace {

constexpr OvInt32 kBaseSize = 16;
OvPluginRegistry gRegistry = OvPluginRegistryInitialValue(kBaseSize);

OvBool Check(void* object, OvInt32 offset, OvInt32) {
    // Refuses an object whose streamed extension begins with 0xFF.
    return static_cast<unsigned char*>(object)[offset] != 0xFF ? TRUE : FALSE;
}

void RegisterPlugins() {
    gRegistry = OvPluginRegistryInitialValue(kBaseSize);
    OvPluginRegistryAddPlugin(&gRegistry, 12, 0x7711, nullptr, nullptr, nullptr);
    OvPluginRegistryAddPluginStream(&gRegistry, 0x7711, fuzzkit::ReadExtensionBody, nullptr, nullptr);
    OvPluginRegistryAddPluginStreamAlwaysCallback(&gRegistry, 0x7711, Check);
    OvPluginRegistryAddPlugin(&gRegistry, 4, 0x7712, nullptr, nullptr, nullptr);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzzkit::GraphicsEngine engine(RegisterPlugins);
    if (!engine.Up()) {
        return 0;
    }
    // An object of exactly the registry's size, so that a write past it is seen.
    auto* object = new unsigned char[static_cast<std::size_t>(gRegistry.sizeOfStruct)];
    std::memset(object, 0, static_cast<std::size_t>(gRegistry.sizeOfStruct));
    OvStream* stream = fuzzkit::OpenMemoryStream(data, size);
    OvPluginRegistryReadDataChunks(&gRegistry, stream, object);
    OvStreamClose(stream, nullptr);
    delete[] object;

    stream = fuzzkit::OpenMemoryStream(data, size);
    OvPluginRegistry empty = OvPluginRegistryInitialValue(kBaseSize);
    OvPluginRegistrySkipDataChunks(&empty, stream);
    OvStreamClose(stream, nullptr);
    return 0;
}
