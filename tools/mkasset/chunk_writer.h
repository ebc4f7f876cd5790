#pragma once
// Chunk writers for the asset builder and for tests that need files the engine reads: a byte
// buffer of nested chunks whose lengths are filled in when each chunk ends, and one writer per
// chunk kind, each laying out its chunk field by field (little-endian 32-bit values) exactly as
// the engine's reader takes it apart. Every chunk carries the writer's stamp (version 0x37002,
// build 22) unless a test asks for another.

#include <cstdint>
#include <string>
#include <vector>

namespace mkasset {

using Bytes = std::vector<std::uint8_t>;

inline constexpr std::uint32_t kVersion = 0x37002;
inline constexpr std::uint32_t kBuild = 22;
// The stamp word of version and build as the engine packs it.
std::uint32_t Stamp(std::uint32_t version = kVersion, std::uint32_t build = kBuild);

// Chunk types.
inline constexpr std::uint32_t kStruct = 1;
inline constexpr std::uint32_t kString = 2;
inline constexpr std::uint32_t kExtension = 3;
inline constexpr std::uint32_t kCamera = 5;
inline constexpr std::uint32_t kTexture = 6;
inline constexpr std::uint32_t kMaterial = 7;
inline constexpr std::uint32_t kMaterialList = 8;
inline constexpr std::uint32_t kFrameList = 14;
inline constexpr std::uint32_t kGeometry = 15;
inline constexpr std::uint32_t kClump = 16;
inline constexpr std::uint32_t kLight = 18;
inline constexpr std::uint32_t kAtomic = 20;
inline constexpr std::uint32_t kGeometryList = 26;
// Extension sub-chunk ids.
inline constexpr std::uint32_t kBinMeshId = 0x50E;
inline constexpr std::uint32_t kPipelineOwnerId = 0x1F;

class ChunkWriter {
public:
    // Opens a chunk: its header now, its length when it ends.
    void Begin(std::uint32_t type, std::uint32_t stamp = Stamp());
    void End();
    // A whole chunk of the given body.
    void Chunk(std::uint32_t type, const Bytes& body, std::uint32_t stamp = Stamp());

    void U8(std::uint8_t v) { m_bytes.push_back(v); }
    void U16(std::uint16_t v);
    void U32(std::uint32_t v);
    void I32(std::int32_t v) { U32(static_cast<std::uint32_t>(v)); }
    void F32(float v);
    void Raw(const Bytes& bytes) { m_bytes.insert(m_bytes.end(), bytes.begin(), bytes.end()); }
    // A string chunk: the characters, a NUL and NULs up to a multiple of 4.
    void String(const std::string& text);

    std::size_t Size() const { return m_bytes.size(); }
    // The bytes written; every chunk must have ended.
    const Bytes& Data() const { return m_bytes; }

private:
    Bytes m_bytes;
    std::vector<std::size_t> m_open; // positions of the open chunks' headers
};

// One sub-chunk of an extension chunk.
struct Extension {
    std::uint32_t id = 0;
    Bytes body;
};
// An extension chunk holding the sub-chunks (none: a bare header).
void WriteExtension(ChunkWriter& w, const std::vector<Extension>& extensions);

// ---- Records of the core ----

struct FrameDesc {
    float right[3] = {1, 0, 0};
    float up[3] = {0, 1, 0};
    float at[3] = {0, 0, 1};
    float pos[3] = {0, 0, 0};
    std::int32_t parent = -1; // index of an earlier frame, -1 for none
    std::vector<Extension> extensions;
};
void WriteFrameList(ChunkWriter& w, const std::vector<FrameDesc>& frames);

struct TextureDesc {
    std::uint32_t filterAddressing = 0x1102; // linear filter, wrap in u and v
    std::string name;
    std::string mask;
    std::vector<Extension> extensions;
};
void WriteTexture(ChunkWriter& w, const TextureDesc& texture);

struct CameraDesc {
    float viewWindow[2] = {0.5f, 0.5f};
    float viewOffset[2] = {0, 0};
    float nearPlane = 0.05f;
    float farPlane = 10.0f;
    float fogPlane = 5.0f;
    std::uint32_t projection = 1;
    std::vector<Extension> extensions;
};
void WriteCamera(ChunkWriter& w, const CameraDesc& camera);

// ---- Records of the world plugin ----

struct MaterialDesc {
    std::uint32_t flags = 0;
    std::uint8_t color[4] = {255, 255, 255, 255};
    bool textured = false;
    TextureDesc texture;
    float ambient = 1.0f;
    float specular = 1.0f;
    float diffuse = 1.0f;
    std::vector<Extension> extensions;
};
void WriteMaterial(ChunkWriter& w, const MaterialDesc& material);

// Entries: -1 takes the next of the materials, n >= 0 repeats entry n.
struct MaterialListDesc {
    std::vector<std::int32_t> entries;
    std::vector<MaterialDesc> materials;
};
// A list of the materials, each once.
MaterialListDesc MaterialListOf(const std::vector<MaterialDesc>& materials);
void WriteMaterialList(ChunkWriter& w, const MaterialListDesc& list);

struct TriangleDesc {
    std::uint16_t v[3] = {0, 0, 0};
    std::uint16_t material = 0;
};

struct MorphTargetDesc {
    float sphere[4] = {0, 0, 0, 0}; // centre, radius
    std::vector<float> verts;       // 3 a vertex; empty: none stored
    std::vector<float> normals;     // 3 a vertex; empty: none stored
};

struct GeometryDesc {
    std::uint32_t flags = 0;
    std::int32_t numVertices = 0;
    std::vector<std::uint8_t> prelit;             // 4 a vertex, written when flags has 0x08
    std::vector<std::vector<float>> texCoordSets; // 2 a vertex each
    std::vector<TriangleDesc> triangles;
    std::vector<MorphTargetDesc> morphTargets;
    MaterialListDesc materialList;
    std::vector<Extension> extensions;
};
void WriteGeometry(ChunkWriter& w, const GeometryDesc& geometry);

// Binary-mesh sub-chunk body: flags (0 lists, 1 strips), per mesh its material's list index and
// its indices (written unless native; the count is written either way).
struct MeshDesc {
    std::uint32_t material = 0;
    std::vector<std::uint16_t> indices;
    std::uint32_t count = 0; // used when native (no indices stored)
};
Extension BinMeshExtension(std::uint32_t flags, const std::vector<MeshDesc>& meshes, bool native = false);
// List meshes of the triangles: one a material (list index materialBase + the triangle's), in the
// order materials first appear, each holding its triangles in file order.
std::vector<MeshDesc> ListMeshes(const std::vector<TriangleDesc>& triangles, std::uint32_t materialBase = 0);
Extension PipelineOwnerExtension(std::uint32_t pluginId, std::uint32_t pluginData);

struct LightDesc {
    float radius = 0;
    float color[3] = {1, 1, 1};
    float minusCosAngle = 0;
    std::uint16_t flags = 3;
    std::uint16_t type = 1;
    std::vector<Extension> extensions;
};
void WriteLight(ChunkWriter& w, const LightDesc& light);

struct AtomicDesc {
    std::int32_t frame = 0;
    std::int32_t geometry = 0;
    std::uint32_t flags = 0x05;
    GeometryDesc ownGeometry; // written when the clump's geometry list is empty
    std::vector<Extension> extensions;
};

struct ClumpDesc {
    std::vector<FrameDesc> frames;
    std::vector<GeometryDesc> geometries;
    std::vector<AtomicDesc> atomics;
    std::vector<std::pair<std::int32_t, LightDesc>> lights;   // frame index, light
    std::vector<std::pair<std::int32_t, CameraDesc>> cameras; // frame index, camera
    std::vector<Extension> extensions;
};
void WriteAtomic(ChunkWriter& w, const AtomicDesc& atomic, bool ownGeometry);
void WriteClump(ChunkWriter& w, const ClumpDesc& clump);
// A whole file holding one clump.
Bytes ClumpFile(const ClumpDesc& clump);

} // namespace mkasset
