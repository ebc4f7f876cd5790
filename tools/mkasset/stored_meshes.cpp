#include "tools/mkasset/stored_meshes.h"

#include <cstdint>
#include <fstream>
#include <iterator>

#include "graphics/core/chunk.h"
#include "graphics/core/error.h"
#include "graphics/core/image.h"
#include "graphics/core/stream.h"
#include "graphics/core/testkit/engine_fixture.h"
#include "graphics/core/testkit/memory_raster_driver.h"
#include "graphics/plugins/anim.h"
#include "graphics/plugins/anim_hierarchy.h"
#include "graphics/plugins/collision.h"
#include "graphics/plugins/material_effects.h"
#include "graphics/plugins/particles.h"
#include "graphics/plugins/skin.h"
#include "graphics/plugins/spline.h"
#include "graphics/toolkits/bmp_reader.h"
#include "graphics/toolkits/png_reader.h"
#include "graphics/world/clump.h"
#include "graphics/world/geometry.h"
#include "graphics/world/mesh.h"
#include "graphics/world/world.h"
#include "graphics/world/world_plugin.h"
#include "tools/mkasset/chunk_writer.h"

namespace mkasset {
namespace {

constexpr std::size_t kHeader = 12;            // chunk type, length, stamp
constexpr OvUInt32 kCaptureId = 0xFFF1;        // extension id of this pass (never in a file)

// Geometries in the order the engine made them while a clump was read (file order).
std::vector<OvGeometry*> gMade;

void* NoteGeometry(void* object, OvInt32, OvInt32) {
    gMade.push_back(static_cast<OvGeometry*>(object));
    return object;
}

// The plugins the game attaches before it loads models and levels: they decide the materials'
// pipelines and textures, and so the order of the meshes.
void Attach() {
    OvWorldPluginAttach();
    OvCollisionPluginAttach();
    OvParticleBatchPluginAttach();
    OvAnimPluginAttach();
    OvAnimHierarchyPluginAttach();
    OvSkinPluginAttach();
    OvSplinePluginAttach();
    OvMaterialEffectsPluginAttach();
    OvGeometryRegisterPlugin(0, kCaptureId, NoteGeometry, nullptr, nullptr);
}

std::uint32_t U32At(const Bytes& b, std::size_t at) {
    return static_cast<std::uint32_t>(b[at]) | static_cast<std::uint32_t>(b[at + 1]) << 8 |
           static_cast<std::uint32_t>(b[at + 2]) << 16 | static_cast<std::uint32_t>(b[at + 3]) << 24;
}

void PutU32(Bytes& b, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) {
        b.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
    }
}

// The mesh header as the binary-mesh extension's body; empty for an object without meshes.
Bytes MeshBody(const OvMeshHeader* header, OvBool native, const OvMaterialList* list) {
    if (header == nullptr || header->numMeshes == 0) {
        return {};
    }
    OvStream* out = OvStreamOpen(ovSTREAMMEMORY, ovSTREAMWRITE, nullptr);
    if (out == nullptr) {
        return {};
    }
    const bool written = OvMeshHeaderStreamWrite(header, native, out, list) != nullptr;
    OvMemory memory = {};
    OvStreamClose(out, &memory);
    Bytes body;
    if (written) {
        body.assign(memory.start, memory.start + memory.length);
    }
    OvFree(memory.start);
    return body;
}

// The meshes the engine has for each geometry (clump) or atomic sector (world) of one top-level
// chunk, in file order; false when the chunk does not load.
bool LoadedMeshes(const Bytes& chunk, OvUInt32 type, std::vector<Bytes>* bodies) {
    OvMemory memory = {const_cast<OvUInt8*>(chunk.data()), static_cast<OvUInt32>(chunk.size())};
    OvStream* stream = OvStreamOpen(ovSTREAMMEMORY, ovSTREAMREAD, &memory);
    if (stream == nullptr) {
        return false;
    }
    bodies->clear();
    gMade.clear();
    bool loaded = false;
    if (OvStreamFindChunk(stream, type, nullptr, nullptr)) {
        if (type == ovCHUNKIDCLUMP) {
            if (OvClump* clump = OvClumpStreamRead(stream)) {
                for (OvGeometry* g : gMade) {
                    bodies->push_back(MeshBody(g->mesh, (g->flags & ovGEOMETRYNATIVE) != 0 ? TRUE : FALSE, &g->matList));
                }
                OvClumpDestroy(clump);
                loaded = true;
            }
        } else if (OvWorld* world = OvWorldStreamRead(stream)) {
            struct Walk {
                OvWorld* world;
                std::vector<Bytes>* bodies;
            } walk{world, bodies};
            OvWorldForAllWorldSectors(
                world,
                [](OvWorldSector* sector, void* data) {
                    auto* w = static_cast<Walk*>(data);
                    w->bodies->push_back(MeshBody(sector->mesh, (w->world->flags & ovGEOMETRYNATIVE) != 0 ? TRUE : FALSE,
                                                  &w->world->matList));
                    return sector;
                },
                &walk);
            OvWorldDestroy(world);
            loaded = true;
        }
    }
    OvStreamClose(stream, nullptr);
    gMade.clear();
    return loaded;
}

// Copies the chunks of bytes [from, to) into out, descending into the chunks that hold only
// chunks; a geometry's or atomic sector's extension chunk gets the next body of `bodies` (by
// `next`) unless the body is empty or the extension already holds meshes. Lengths of every
// enclosing chunk are set from what was written. False when the chunks do not nest.
class Rewriter {
public:
    Rewriter(const Bytes& in, const std::vector<Bytes>& bodies, OvUInt32 objectType)
        : m_in(in), m_bodies(bodies), m_objectType(objectType) {}

    bool Copy(std::size_t from, std::size_t to, OvUInt32 parent, Bytes& out) {
        std::size_t at = from;
        while (at < to) {
            if (to - at < kHeader) {
                return false;
            }
            const std::uint32_t type = U32At(m_in, at);
            const std::uint32_t length = U32At(m_in, at + 4);
            const std::uint32_t stamp = U32At(m_in, at + 8);
            const std::size_t body = at + kHeader;
            if (length > to - body) {
                return false;
            }
            const std::size_t end = body + length;
            const std::size_t start = out.size();
            PutU32(out, type);
            PutU32(out, 0);
            PutU32(out, stamp);
            if (IsContainer(type)) {
                if (!Copy(body, end, type, out)) {
                    return false;
                }
            } else {
                out.insert(out.end(), m_in.begin() + static_cast<std::ptrdiff_t>(body),
                           m_in.begin() + static_cast<std::ptrdiff_t>(end));
                if (type == kExtension && parent == m_objectType) {
                    if (m_next >= m_bodies.size()) {
                        return false;
                    }
                    const Bytes& meshes = m_bodies[m_next++];
                    if (!meshes.empty() && !HoldsMeshes(body, end)) {
                        PutU32(out, kBinMeshId);
                        PutU32(out, static_cast<std::uint32_t>(meshes.size()));
                        PutU32(out, stamp);
                        out.insert(out.end(), meshes.begin(), meshes.end());
                    }
                }
            }
            const auto written = static_cast<std::uint32_t>(out.size() - start - kHeader);
            for (int i = 0; i < 4; ++i) {
                out[start + 4 + static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(written >> (8 * i));
            }
            at = end;
        }
        return true;
    }

    // Every body was used: one extension per object.
    bool AllUsed() const { return m_next == m_bodies.size(); }

private:
    static bool IsContainer(std::uint32_t type) {
        return type == ovCHUNKIDCLUMP || type == ovCHUNKIDGEOMETRYLIST || type == ovCHUNKIDATOMIC ||
               type == ovCHUNKIDGEOMETRY || type == ovCHUNKIDWORLD || type == ovCHUNKIDPLANESECTOR ||
               type == ovCHUNKIDATOMICSECTOR;
    }

    bool HoldsMeshes(std::size_t from, std::size_t to) const {
        for (std::size_t at = from; to - at >= kHeader && at < to; at += kHeader + U32At(m_in, at + 4)) {
            if (U32At(m_in, at) == kBinMeshId) {
                return true;
            }
        }
        return false;
    }

    const Bytes& m_in;
    const std::vector<Bytes>& m_bodies;
    OvUInt32 m_objectType;
    std::size_t m_next = 0;
};

bool ReadAll(const std::string& path, Bytes* bytes) {
    std::ifstream file(path, std::ios::binary);
    if (!file) {
        return false;
    }
    bytes->assign(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
    return !file.bad();
}

// The texture search of the game for a file: FOLDER/STEM/ and FOLDER/textures/.
std::string TexturePath(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    const std::size_t dot = path.rfind('.');
    const std::string stem = dot != std::string::npos && (slash == std::string::npos || dot > slash)
                                 ? path.substr(0, dot)
                                 : path;
    const std::string folder = slash != std::string::npos ? path.substr(0, slash + 1) : "";
    return stem + "/;" + folder + "textures/";
}

bool StoreMeshesInBytes(const Bytes& in, Bytes* out, std::string* error) {
    out->clear();
    std::size_t at = 0;
    while (at < in.size()) {
        if (in.size() - at < kHeader || U32At(in, at + 4) > in.size() - at - kHeader) {
            *error = "chunks do not nest";
            return false;
        }
        const OvUInt32 type = U32At(in, at);
        const std::size_t end = at + kHeader + U32At(in, at + 4);
        if (type != ovCHUNKIDCLUMP && type != ovCHUNKIDWORLD) {
            out->insert(out->end(), in.begin() + static_cast<std::ptrdiff_t>(at),
                        in.begin() + static_cast<std::ptrdiff_t>(end));
            at = end;
            continue;
        }
        const Bytes chunk(in.begin() + static_cast<std::ptrdiff_t>(at), in.begin() + static_cast<std::ptrdiff_t>(end));
        std::vector<Bytes> bodies;
        if (!LoadedMeshes(chunk, type, &bodies)) {
            *error = "the engine does not load it";
            return false;
        }
        Rewriter rewriter(chunk, bodies, type == ovCHUNKIDCLUMP ? ovCHUNKIDGEOMETRY : ovCHUNKIDATOMICSECTOR);
        Bytes stored;
        if (!rewriter.Copy(0, chunk.size(), 0, stored) || !rewriter.AllUsed()) {
            *error = "its objects do not match the engine's";
            return false;
        }
        // Loaded with the meshes stored, the objects must have the meshes a build gives.
        std::vector<Bytes> again;
        if (!LoadedMeshes(stored, type, &again) || again != bodies) {
            *error = "the stored meshes do not load back the same";
            return false;
        }
        out->insert(out->end(), stored.begin(), stored.end());
        at = end;
    }
    return true;
}

} // namespace

std::vector<std::string>& WrittenChunkFiles() {
    static std::vector<std::string> files;
    return files;
}

bool StoreMeshesInFiles(const std::vector<std::string>& paths, std::string* error) {
    if (paths.empty()) {
        return true;
    }
    if (!OvTestEngineUp(0, Attach, OvTestMemoryRasterDriver())) {
        *error = "the engine did not start";
        return false;
    }
    OvImageRegisterFileFormat("png", OvPngImageRead, nullptr);
    OvImageRegisterFileFormat("bmp", OvBmpImageRead, nullptr);
    bool ok = true;
    for (const std::string& path : paths) {
        Bytes in, out;
        std::string why;
        OvImageSetPath(TexturePath(path).c_str());
        if (!ReadAll(path, &in)) {
            why = "cannot read it back";
        } else if (StoreMeshesInBytes(in, &out, &why) && out != in) {
            std::ofstream file(path, std::ios::binary | std::ios::trunc);
            file.write(reinterpret_cast<const char*>(out.data()), static_cast<std::streamsize>(out.size()));
            if (!file) {
                why = "cannot write";
            }
        }
        if (!why.empty()) {
            *error = "cannot store meshes in " + path + ": " + why;
            ok = false;
            break;
        }
    }
    OvTestEngineDown();
    return ok;
}

} // namespace mkasset
