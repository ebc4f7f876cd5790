#include "graphics/core/testkit/plain_read.h"

#include "graphics/core/chunk.h"

namespace {

// Deeper than any file the engine writes nests its chunks.
constexpr int kDeepestChunk = 64;

bool ReadChunks(OvStream* stream, OvUInt32 length, std::vector<std::uint8_t>& buffer, int depth) {
    if (depth > kDeepestChunk) {
        return false;
    }
    while (length >= ovCHUNKHEADERSIZE) {
        OvUInt32 type = 0, body = 0;
        if (!OvStreamReadChunkHeader(stream, &type, &body, nullptr, nullptr) ||
            body > length - ovCHUNKHEADERSIZE) {
            return false;
        }
        length -= ovCHUNKHEADERSIZE + body;
        if (type == ovID_STRUCT || type == ovID_STRING || body == 0 || type == ovID_EXTENSION) {
            if (buffer.size() < body) {
                buffer.resize(body); // grown only: the bytes a read overwrites are not cleared first
            }
            if (body > 0 && OvStreamReadStrict(stream, buffer.data(), body) == nullptr) {
                return false;
            }
        } else if (!ReadChunks(stream, body, buffer, depth + 1)) {
            return false;
        }
    }
    return true;
}

} // namespace

bool OvTestReadEveryChunk(OvStream* stream, OvUInt32 length, std::vector<std::uint8_t>& buffer) {
    return ReadChunks(stream, length, buffer, 0);
}
