// Collision data: a geometry chunk whose extension carries collision data (either layout), or a
// world whose atomic sectors carry it, read from a memory stream; then line, sphere and box
// queries over the data's (or the world's) box walk whatever was kept.

#include <cstdint>

#include "fuzz/fuzz_kit.h"
#include "graphics/core/chunk.h"
#include "graphics/core/stream.h"
#include "graphics/plugins/collision.h"
#include "graphics/world/geometry.h"
#include "graphics/world/world.h"
#include "graphics/world/world_plugin.h"

namespace {

void RegisterPlugins() {
    OvWorldPluginAttach();
    OvCollisionPluginAttach();
}

OvCollisionTriangle* Count(OvIntersection*, OvCollisionTriangle* triangle, float, void* data) {
    ++*static_cast<int*>(data);
    return triangle;
}

OvCollisionTriangle* CountInWorld(OvIntersection*, OvWorldSector*, OvCollisionTriangle* triangle, float, void* data) {
    ++*static_cast<int*>(data);
    return triangle;
}

void QueryWorld(OvWorld* world) {
    const OvBBox box = world->boundingBox;
    int found = 0;
    OvIntersection q{};
    q.type = ovINTERSECTLINE;
    q.t.line = {box.sup, box.inf};
    OvCollisionWorldForAllIntersections(world, &q, CountInWorld, &found);
    q.t.line = {box.inf, box.sup};
    OvCollisionWorldForAllIntersections(world, &q, CountInWorld, &found);
    q.type = ovINTERSECTBOX;
    q.t.box = box;
    OvCollisionWorldForAllIntersections(world, &q, CountInWorld, &found);
    q.type = ovINTERSECTSPHERE;
    q.t.sphere = {{(box.sup.x + box.inf.x) / 2, (box.sup.y + box.inf.y) / 2, (box.sup.z + box.inf.z) / 2},
                  (box.sup.x - box.inf.x) / 3};
    OvCollisionWorldForAllIntersections(world, &q, CountInWorld, &found);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzzkit::GraphicsEngine engine(RegisterPlugins);
    if (!engine.Up()) {
        return 0;
    }
    OvStream* stream = fuzzkit::OpenMemoryStream(data, size);
    if (size >= 4 && OvChunkGetUInt32(data) == ovCHUNKIDWORLD) {
        if (OvStreamFindChunk(stream, ovCHUNKIDWORLD, nullptr, nullptr)) {
            if (OvWorld* world = OvWorldStreamRead(stream)) {
                QueryWorld(world);
                OvWorldDestroy(world);
            }
        }
    } else if (OvStreamFindChunk(stream, ovCHUNKIDGEOMETRY, nullptr, nullptr)) {
        if (OvGeometry* geometry = OvGeometryStreamRead(stream)) {
            if (const OvCollisionData* collision = OvCollisionGeometryGetData(geometry)) {
                const OvBBox box = collision->box;
                int found = 0;
                OvIntersection q{};
                q.type = ovINTERSECTLINE;
                q.t.line = {box.sup, box.inf};
                OvCollisionGeometryForAllIntersections(geometry, &q, Count, &found);
                q.t.line = {box.inf, box.sup};
                OvCollisionGeometryForAllIntersections(geometry, &q, Count, &found);
                q.type = ovINTERSECTBOX;
                q.t.box = box;
                OvCollisionGeometryForAllIntersections(geometry, &q, Count, &found);
                q.type = ovINTERSECTSPHERE;
                q.t.sphere = {{(box.sup.x + box.inf.x) / 2, (box.sup.y + box.inf.y) / 2, (box.sup.z + box.inf.z) / 2},
                              (box.sup.x - box.inf.x) / 3};
                OvCollisionGeometryForAllIntersections(geometry, &q, Count, &found);
            }
            OvGeometryDestroy(geometry);
        }
    }
    OvStreamClose(stream, nullptr);
    return 0;
}
