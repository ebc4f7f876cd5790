#pragma once
// The game's AI world file: read, built into a world and checked, with what is wrong said in
// words that name the file.

#include <cstddef>
#include <string>

class CConfigNode;
class CWorld;

namespace Demo {

struct AiWorldFile {
    CConfigNode* tree = nullptr; // what was read (the caller deletes it with Vusk::DeleteTree)
    CWorld* world = nullptr;     // the world built from it (the caller deletes it)
    bool whole = false;          // the tree was read to its end
};

// Opens `path` (a configuration path, through SkelPathCreate), reads its tree and builds the AI
// world with the engine's pool of `poolSize` bytes. False, with *fault naming the file and what
// is wrong, when the file does not open, no world can be built from it, or the world's graphs or
// their data do not load; whatever was made stays in *out for the caller to release.
bool LoadAiWorld(const char* path, std::size_t poolSize, AiWorldFile* out, std::string* fault);

// The message for an entity definition the file lacks (the tree cut short is said as the cause).
std::string MissingEntityMessage(const char* path, const char* entity, bool whole);

} // namespace Demo
