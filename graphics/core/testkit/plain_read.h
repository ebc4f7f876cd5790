#pragma once
// The plain read that loads are timed against (the world benchmark and assetinfo --time): every
// chunk of a stream walked as a loader walks it, without building anything.

#include <cstdint>
#include <vector>

#include "graphics/core/stream.h"

// Reads length bytes of chunks: the bodies of structs, strings and extensions read whole into
// buffer (grown when too small, each body over the one before), other chunks walked into. FALSE when
// the stream ends early, a chunk overruns the one holding it or chunks nest over 64 deep.
bool OvTestReadEveryChunk(OvStream* stream, OvUInt32 length, std::vector<std::uint8_t>& buffer);
