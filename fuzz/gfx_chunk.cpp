// Chunk headers and string chunks, each pass over its own memory stream of the input:
// a walk over the chunk headers (bodies passed over), the search for a chunk of the type the
// first header names, the string reads that allocate, the bounded reads into a small field,
// reads into a caller's buffer as large as each string chunk's body and its terminator, and the
// plain read that loads are timed against (every chunk walked, bodies read into one buffer).

#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include "fuzz/fuzz_kit.h"
#include "graphics/core/chunk.h"
#include "graphics/core/engine.h"
#include "graphics/core/stream.h"
#include "graphics/core/testkit/plain_read.h"

namespace {

constexpr int kMaxChunks = 64; // chunks walked per pass

std::uint32_t U32At(const std::uint8_t* p) {
    return static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8 |
           static_cast<std::uint32_t>(p[2]) << 16 | static_cast<std::uint32_t>(p[3]) << 24;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzzkit::GraphicsEngine engine;
    if (!engine.Up()) {
        return 0;
    }
    OvStream* stream = fuzzkit::OpenMemoryStream(data, size);
    OvChunkHeaderInfo info;
    for (int i = 0; i < kMaxChunks && OvStreamReadChunkHeaderInfo(stream, &info) != nullptr; ++i) {
        if (!info.isComplex && OvStreamSkip(stream, info.length) == nullptr) {
            break;
        }
    }
    OvStreamClose(stream, nullptr);

    if (size >= ovCHUNKHEADERSIZE) {
        stream = fuzzkit::OpenMemoryStream(data, size);
        OvUInt32 length = 0;
        OvUInt32 version = 0;
        // The first header names the type looked for; the search starts after it.
        OvStreamSkip(stream, ovCHUNKHEADERSIZE);
        OvStreamFindChunk(stream, U32At(data), &length, &version);
        OvStreamClose(stream, nullptr);
    }

    stream = fuzzkit::OpenMemoryStream(data, size);
    for (int i = 0; i < kMaxChunks; ++i) {
        char* text = OvStringStreamRead(nullptr, stream);
        if (text == nullptr) {
            break;
        }
        OvFree(text);
    }
    OvStreamClose(stream, nullptr);

    stream = fuzzkit::OpenMemoryStream(data, size);
    auto field = std::make_unique<char[]>(16);
    for (int i = 0; i < kMaxChunks && OvStringStreamReadBounded(field.get(), 16, stream) != nullptr; ++i) {
    }
    OvStreamClose(stream, nullptr);

    // Each string chunk that lies whole in the input, read into a buffer of its body's size and
    // a terminator.
    std::size_t offset = 0;
    for (int i = 0; i < kMaxChunks && size - offset >= ovCHUNKHEADERSIZE; ++i) {
        const std::uint32_t type = U32At(data + offset);
        const std::uint32_t length = U32At(data + offset + 4);
        const std::size_t rest = size - offset - ovCHUNKHEADERSIZE;
        if (length > rest) {
            break;
        }
        if (type == ovID_STRING || type == ovID_UNICODESTRING) {
            stream = fuzzkit::OpenMemoryStream(data + offset, size - offset);
            auto buffer = std::make_unique<char[]>(length + 1);
            OvStringStreamRead(buffer.get(), stream);
            OvStreamClose(stream, nullptr);
        }
        offset += ovCHUNKHEADERSIZE + length;
    }

    stream = fuzzkit::OpenMemoryStream(data, size);
    std::vector<std::uint8_t> bodies;
    OvTestReadEveryChunk(stream, static_cast<OvUInt32>(size), bodies);
    OvStreamClose(stream, nullptr);
    return 0;
}
