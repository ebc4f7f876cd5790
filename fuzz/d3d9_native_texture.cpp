// Native texture chunks of the Direct3D 9 driver: the fixed part, the palette and every level
// of every face, each level read into a buffer the size a locked level of the announced size
// would have (with some pitch to spare), as the driver's reader fills its rasters.

#include <cstdint>
#include <vector>

#include "fuzz/fuzz_kit.h"
#include "graphics/core/d3d9/native_texture.h"
#include "graphics/core/stream.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzzkit::GraphicsEngine engine;
    if (!engine.Up()) {
        return 0;
    }
    OvStream* stream = fuzzkit::OpenMemoryStream(data, size);
    OvD3D9NativeTexture header{};
    OvUInt32 bodyLeft = 0;
    if (OvD3D9NativeHeaderRead(stream, &header, &bodyLeft) &&
        OvStreamSkip(stream, OvD3D9NativePaletteBytes(header.formatFlags)) != nullptr) {
        bool ok = true;
        for (OvUInt32 face = 0; ok && face < OvD3D9NativeFaces(header); ++face) {
            for (OvUInt32 level = 0; ok && level < OvD3D9NativeStoredLevels(header); ++level) {
                // A level larger than the input left cannot be filled: no buffer for it.
                const std::uint64_t capacity = std::uint64_t(OvD3D9NativeLevelMinBytes(header, level)) + 64;
                if (capacity > OvStreamGetBytesLeft(stream)) {
                    ok = false;
                    break;
                }
                std::vector<OvUInt8> bits(static_cast<std::size_t>(capacity));
                OvUInt32 count = 0;
                ok = OvD3D9NativeLevelRead(stream, bits.data(), static_cast<OvUInt32>(capacity), &count);
            }
        }
    }
    OvStreamClose(stream, nullptr);
    return 0;
}
