// Texture dictionaries stored as images: the body of a dictionary chunk (count, form, then per
// texture its image chunks and texture chunk, or the short record and images), read from a
// memory stream on the memory-raster driver, so rasters are made, filled and their levels remade.

#include <cstdint>

#include "fuzz/fuzz_kit.h"
#include "graphics/core/stream.h"
#include "graphics/core/testkit/memory_raster_driver.h"
#include "graphics/core/texture_stream.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzzkit::GraphicsEngine engine(nullptr, OvTestMemoryRasterDriver());
    if (!engine.Up()) {
        return 0;
    }
    OvStream* stream = fuzzkit::OpenMemoryStream(data, size);
    if (OvTexDictionary* dict = OvTexDictionaryStreamReadImages(stream)) {
        OvTexDictionaryDestroy(dict);
    }
    OvStreamClose(stream, nullptr);
    return 0;
}
