#pragma once
// Pieces shared by the seed corpus generator's parts.

#include <cstdint>
#include <filesystem>
#include <initializer_list>
#include <string>
#include <vector>

#include "tools/ais_format/ais_format.h"

namespace seeds {

using Bytes = std::vector<std::uint8_t>;

// Chunked bytes, little-endian, headers stamped as the engine's writers stamp them.
struct Chunks {
    Bytes bytes;
    Chunks& U32(std::uint32_t value);
    Chunks& F32(float value);
    Chunks& Header(std::uint32_t type, std::uint32_t length);
    Chunks& Text(const char* text); // the characters, no terminator
    Chunks& Append(const Bytes& more);
};

// Writes seed files into <root>/<harness>/<name>; remembers any failure.
class Writer {
public:
    explicit Writer(std::filesystem::path root) : m_root(std::move(root)) {}
    bool Put(const std::string& harness, const std::string& name, const Bytes& bytes);
    bool Put(const std::string& harness, const std::string& name, const std::string& text);
    bool Failed() const { return m_failed; }
    void Fail() { m_failed = true; }

private:
    std::filesystem::path m_root;
    bool m_failed = false;
};

// Nodes of world file trees.
AisFormat::Node Leaf(const char* name, const char* value);
AisFormat::Node Branch(const char* label, const char* name, std::initializer_list<AisFormat::Node> children);
AisFormat::Node Raw(const char* file = ""); // a RawData node

// Seeds of the navigation data loaders and whole world files (seed_nav.cpp).
void NavigationSeeds(Writer& out);

// Seeds of the image readers and of the image and texture-dictionary chunks (image_seeds.cpp).
void ImageSeeds(Writer& out);
// Models and geometries of the world plugin, written by the asset builder's chunk writers.
void ModelSeeds(Writer& out);

} // namespace seeds
