#pragma once
// Stored meshes: every geometry and world sector of a model or level file gets the binary-mesh
// extension holding exactly the meshes the engine builds when it loads the file without one, so
// that loads take them as they are instead of building them.

#include <string>
#include <vector>

namespace mkasset {

// Adds the meshes to the files' clumps and worlds (objects that already carry meshes, or have no
// triangles, are left as they are) and rewrites each. The meshes are built by loading the bytes
// through the engine with the plugins and textures the game loads them with (textures searched
// in FOLDER/STEM/ and FOLDER/textures/ beside the file); the rewritten file is loaded once more
// and must give the same meshes. False with a message when the file cannot be read, loaded or
// written, or the meshes do not come back the same.
bool StoreMeshesInFiles(const std::vector<std::string>& paths, std::string* error);

// Model and level files written by this run (WriteFile notes every .dff and .bsp), in order.
std::vector<std::string>& WrittenChunkFiles();

} // namespace mkasset
