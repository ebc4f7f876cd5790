// PNG files: the input as a file read by the PNG reader (libpng over the engine's streams).

#include <cstdint>
#include <string>

#include "fuzz/fuzz_kit.h"
#include "graphics/toolkits/png_reader.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzzkit::GraphicsEngine engine;
    if (!engine.Up()) {
        return 0;
    }
    const std::string path = fuzzkit::WriteScratchFile(data, size);
    if (OvImage* image = OvPngImageRead(path.c_str())) {
        OvImageDestroy(image);
    }
    return 0;
}
