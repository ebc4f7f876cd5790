#include "tools/mkasset/chunk_writer.h"

#include <algorithm>
#include <cstring>
#include <stdexcept>

namespace mkasset {

std::uint32_t Stamp(std::uint32_t version, std::uint32_t build) {
    return (((version + 0x10000u) >> 8) << 22) | ((version & 63u) << 16) | (build & 0xFFFFu);
}

void ChunkWriter::Begin(std::uint32_t type, std::uint32_t stamp) {
    m_open.push_back(m_bytes.size());
    U32(type);
    U32(0);
    U32(stamp);
}

void ChunkWriter::End() {
    if (m_open.empty()) {
        throw std::logic_error("chunk writer: End without Begin");
    }
    const std::size_t header = m_open.back();
    m_open.pop_back();
    const auto length = static_cast<std::uint32_t>(m_bytes.size() - header - 12);
    for (int i = 0; i < 4; ++i) {
        m_bytes[header + 4 + i] = static_cast<std::uint8_t>(length >> (8 * i));
    }
}

void ChunkWriter::Chunk(std::uint32_t type, const Bytes& body, std::uint32_t stamp) {
    Begin(type, stamp);
    Raw(body);
    End();
}

void ChunkWriter::U16(std::uint16_t v) {
    m_bytes.push_back(static_cast<std::uint8_t>(v));
    m_bytes.push_back(static_cast<std::uint8_t>(v >> 8));
}

void ChunkWriter::U32(std::uint32_t v) {
    for (int i = 0; i < 4; ++i) {
        m_bytes.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
    }
}

void ChunkWriter::F32(float v) {
    std::uint32_t bits = 0;
    std::memcpy(&bits, &v, sizeof bits);
    U32(bits);
}

void ChunkWriter::String(const std::string& text) {
    Begin(kString);
    for (char c : text) {
        U8(static_cast<std::uint8_t>(c));
    }
    const std::size_t padded = (text.size() + 4) & ~static_cast<std::size_t>(3);
    for (std::size_t i = text.size(); i < padded; ++i) {
        U8(0);
    }
    End();
}

void WriteExtension(ChunkWriter& w, const std::vector<Extension>& extensions) {
    w.Begin(kExtension);
    for (const Extension& e : extensions) {
        w.Chunk(e.id, e.body);
    }
    w.End();
}

void WriteFrameList(ChunkWriter& w, const std::vector<FrameDesc>& frames) {
    w.Begin(kFrameList);
    w.Begin(kStruct);
    w.I32(static_cast<std::int32_t>(frames.size()));
    for (const FrameDesc& f : frames) {
        for (const float* row : {f.right, f.up, f.at, f.pos}) {
            w.F32(row[0]);
            w.F32(row[1]);
            w.F32(row[2]);
        }
        w.I32(f.parent);
        w.U32(0);
    }
    w.End();
    for (const FrameDesc& f : frames) {
        WriteExtension(w, f.extensions);
    }
    w.End();
}

void WriteTexture(ChunkWriter& w, const TextureDesc& texture) {
    w.Begin(kTexture);
    w.Begin(kStruct);
    w.U32(texture.filterAddressing);
    w.End();
    w.String(texture.name);
    w.String(texture.mask);
    WriteExtension(w, texture.extensions);
    w.End();
}

void WriteCamera(ChunkWriter& w, const CameraDesc& camera) {
    w.Begin(kCamera);
    w.Begin(kStruct);
    w.F32(camera.viewWindow[0]);
    w.F32(camera.viewWindow[1]);
    w.F32(camera.viewOffset[0]);
    w.F32(camera.viewOffset[1]);
    w.F32(camera.nearPlane);
    w.F32(camera.farPlane);
    w.F32(camera.fogPlane);
    w.U32(camera.projection);
    w.End();
    WriteExtension(w, camera.extensions);
    w.End();
}

void WriteMaterial(ChunkWriter& w, const MaterialDesc& material) {
    w.Begin(kMaterial);
    w.Begin(kStruct);
    w.U32(material.flags);
    for (std::uint8_t c : material.color) {
        w.U8(c);
    }
    w.U32(0);
    w.I32(material.textured ? 1 : 0);
    w.F32(material.ambient);
    w.F32(material.specular);
    w.F32(material.diffuse);
    w.End();
    if (material.textured) {
        WriteTexture(w, material.texture);
    }
    WriteExtension(w, material.extensions);
    w.End();
}

MaterialListDesc MaterialListOf(const std::vector<MaterialDesc>& materials) {
    MaterialListDesc list;
    list.entries.assign(materials.size(), -1);
    list.materials = materials;
    return list;
}

void WriteMaterialList(ChunkWriter& w, const MaterialListDesc& list) {
    w.Begin(kMaterialList);
    w.Begin(kStruct);
    w.I32(static_cast<std::int32_t>(list.entries.size()));
    for (std::int32_t e : list.entries) {
        w.I32(e);
    }
    w.End();
    for (const MaterialDesc& m : list.materials) {
        WriteMaterial(w, m);
    }
    w.End();
}

void WriteGeometry(ChunkWriter& w, const GeometryDesc& g) {
    const bool native = (g.flags & 0x01000000u) != 0;
    w.Begin(kGeometry);
    w.Begin(kStruct);
    w.U32(g.flags);
    w.I32(static_cast<std::int32_t>(g.triangles.size()));
    w.I32(g.numVertices);
    w.I32(static_cast<std::int32_t>(g.morphTargets.size()));
    if (!native && g.numVertices > 0) {
        if ((g.flags & 0x08u) != 0) {
            w.Raw(g.prelit);
        }
        for (const std::vector<float>& set : g.texCoordSets) {
            for (float f : set) {
                w.F32(f);
            }
        }
        for (const TriangleDesc& t : g.triangles) {
            // Stored as vertex 1, vertex 0, material, vertex 2.
            w.U16(t.v[1]);
            w.U16(t.v[0]);
            w.U16(t.material);
            w.U16(t.v[2]);
        }
    }
    for (const MorphTargetDesc& m : g.morphTargets) {
        for (float f : m.sphere) {
            w.F32(f);
        }
        w.U32(m.verts.empty() ? 0 : 1);
        w.U32(m.normals.empty() ? 0 : 1);
        for (float f : m.verts) {
            w.F32(f);
        }
        for (float f : m.normals) {
            w.F32(f);
        }
    }
    w.End();
    WriteMaterialList(w, g.materialList);
    WriteExtension(w, g.extensions);
    w.End();
}

Extension BinMeshExtension(std::uint32_t flags, const std::vector<MeshDesc>& meshes, bool native) {
    ChunkWriter w;
    std::uint32_t total = 0;
    for (const MeshDesc& m : meshes) {
        total += native ? m.count : static_cast<std::uint32_t>(m.indices.size());
    }
    w.U32(flags);
    w.U32(static_cast<std::uint32_t>(meshes.size()));
    w.U32(total);
    for (const MeshDesc& m : meshes) {
        w.U32(native ? m.count : static_cast<std::uint32_t>(m.indices.size()));
        w.U32(m.material);
        if (!native) {
            for (std::uint16_t i : m.indices) {
                w.U32(i);
            }
        }
    }
    return {kBinMeshId, w.Data()};
}

std::vector<MeshDesc> ListMeshes(const std::vector<TriangleDesc>& triangles, std::uint32_t materialBase) {
    std::vector<MeshDesc> meshes;
    for (const TriangleDesc& t : triangles) {
        const std::uint32_t material = materialBase + t.material;
        auto mesh = std::find_if(meshes.begin(), meshes.end(), [&](const MeshDesc& m) { return m.material == material; });
        if (mesh == meshes.end()) {
            meshes.push_back({material, {}, 0});
            mesh = meshes.end() - 1;
        }
        mesh->indices.insert(mesh->indices.end(), t.v, t.v + 3);
    }
    return meshes;
}

Extension PipelineOwnerExtension(std::uint32_t pluginId, std::uint32_t pluginData) {
    ChunkWriter w;
    w.U32(pluginId);
    w.U32(pluginData);
    return {kPipelineOwnerId, w.Data()};
}

void WriteLight(ChunkWriter& w, const LightDesc& light) {
    w.Begin(kLight);
    w.Begin(kStruct);
    w.F32(light.radius);
    w.F32(light.color[0]);
    w.F32(light.color[1]);
    w.F32(light.color[2]);
    w.F32(light.minusCosAngle);
    w.U16(light.flags);
    w.U16(light.type);
    w.End();
    WriteExtension(w, light.extensions);
    w.End();
}

void WriteAtomic(ChunkWriter& w, const AtomicDesc& atomic, bool ownGeometry) {
    w.Begin(kAtomic);
    w.Begin(kStruct);
    w.I32(atomic.frame);
    w.I32(atomic.geometry);
    w.U32(atomic.flags);
    w.U32(0);
    w.End();
    if (ownGeometry) {
        WriteGeometry(w, atomic.ownGeometry);
    }
    WriteExtension(w, atomic.extensions);
    w.End();
}

void WriteClump(ChunkWriter& w, const ClumpDesc& clump) {
    w.Begin(kClump);
    w.Begin(kStruct);
    w.I32(static_cast<std::int32_t>(clump.atomics.size()));
    w.I32(static_cast<std::int32_t>(clump.lights.size()));
    w.I32(static_cast<std::int32_t>(clump.cameras.size()));
    w.End();
    WriteFrameList(w, clump.frames);
    w.Begin(kGeometryList);
    w.Begin(kStruct);
    w.I32(static_cast<std::int32_t>(clump.geometries.size()));
    w.End();
    for (const GeometryDesc& g : clump.geometries) {
        WriteGeometry(w, g);
    }
    w.End();
    for (const AtomicDesc& a : clump.atomics) {
        WriteAtomic(w, a, clump.geometries.empty());
    }
    for (const auto& [frame, light] : clump.lights) {
        w.Begin(kStruct);
        w.I32(frame);
        w.End();
        WriteLight(w, light);
    }
    for (const auto& [frame, camera] : clump.cameras) {
        w.Begin(kStruct);
        w.I32(frame);
        w.End();
        WriteCamera(w, camera);
    }
    WriteExtension(w, clump.extensions);
    w.End();
}

Bytes ClumpFile(const ClumpDesc& clump) {
    ChunkWriter w;
    WriteClump(w, clump);
    return w.Data();
}

} // namespace mkasset
