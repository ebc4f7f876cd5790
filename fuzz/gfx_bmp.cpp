// Windows bitmaps: the input as a file read by the BMP reader. A run-length bitmap that ends early
// may be of any size the machine holds: the harness stands for a 256 MB machine, and the
// allocation limit flags an image larger than that.

#include <cstdint>
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
        OvImageDestroy(image);
    }
    return 0;
}
