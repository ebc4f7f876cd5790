#pragma once
// The first clump or world of a model or level file, for the tools that read either.

#include "graphics/core/stream.h"

// Reads chunk headers until a clump or a world, skipping other chunks; its type (the stream at
// its body), or 0 with the engine's error held when there is none or its version is not taken.
OvUInt32 FindClumpOrWorld(OvStream* stream);
