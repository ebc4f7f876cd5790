// Geometry: a geometry chunk (struct with its arrays and morph targets, material list with
// materials and textures, extension chunk with binary meshes) read from a memory stream, then
// its meshes rebuilt as triangle lists and as strips when it has triangles of its own.

#include <cstdint>

#include "fuzz/fuzz_kit.h"
#include "graphics/core/chunk.h"
#include "graphics/core/stream.h"
#include "graphics/world/geometry.h"
#include "graphics/world/mesh.h"
#include "graphics/world/world_plugin.h"

namespace {

void RegisterPlugins() { OvWorldPluginAttach(); }

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzzkit::GraphicsEngine engine(RegisterPlugins);
    if (!engine.Up()) {
        return 0;
    }
    OvStream* stream = fuzzkit::OpenMemoryStream(data, size);
    if (OvStreamFindChunk(stream, ovCHUNKIDGEOMETRY, nullptr, nullptr)) {
        if (OvGeometry* geometry = OvGeometryStreamRead(stream)) {
            if (geometry->triangles != nullptr) {
                for (OvUInt32 strips : {0u, 1u}) {
                    geometry->flags = (geometry->flags & ~static_cast<OvUInt32>(ovGEOMETRYTRISTRIP)) | strips;
                    OvGeometryLock(geometry, ovGEOMETRYLOCKPOLYGONS);
                    OvGeometryUnlock(geometry);
                }
            }
            OvGeometryDestroy(geometry);
        }
    }
    OvStreamClose(stream, nullptr);
    return 0;
}
