// Windows bitmaps: the input as a file read by the BMP reader. An image read is in proportion to
// the file: at most 255 pixels for every two bytes (a run-length code's most).

#include <cstdint>
#include <cstdlib>
#include <string>

#include "fuzz/fuzz_kit.h"
#include "graphics/toolkits/bmp_reader.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzzkit::GraphicsEngine engine;
    if (!engine.Up()) {
        return 0;
    }
    const std::string path = fuzzkit::WriteScratchFile(data, size);
    if (OvImage* image = OvBmpImageRead(path.c_str())) {
        if (static_cast<std::uint64_t>(image->width) * static_cast<std::uint64_t>(image->height) > 128 * size) {
            std::abort(); // far more pixels than the file could code
        }
        OvImageDestroy(image);
    }
    return 0;
}
