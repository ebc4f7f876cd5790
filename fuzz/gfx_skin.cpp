// Skin data: the first two bytes give the vertex count of the geometry (little-endian, at most
// 4096), the rest is the skin's stream form. A skin that reads is written back, and skins its
// vertices by a palette built from a hierarchy of as many nodes as it has bones.

#include <cstdint>
#include <vector>

#include "fuzz/fuzz_kit.h"
#include "graphics/core/stream.h"
#include "graphics/plugins/skin.h"
#include "graphics/world/world_plugin.h"

namespace {

void RegisterPlugins() {
    OvWorldPluginAttach();
    OvAnimPluginAttach();
    OvAnimHierarchyPluginAttach();
    OvSkinPluginAttach();
}

void Exercise(const OvSkin* skin) {
    OvStream* out = OvStreamOpen(ovSTREAMMEMORY, ovSTREAMWRITE, nullptr);
    if (out != nullptr) {
        OvSkinStreamWrite(skin, out);
        OvStreamClose(out, nullptr);
    }
    OvAnimHierarchy* h =
        OvAnimHierarchyCreate(static_cast<OvInt32>(skin->numBones) + 1, nullptr, nullptr, 0, sizeof(OvAnimInterpFrame));
    if (h == nullptr) {
        return;
    }
    OvAnimHierarchyUpdateMatrices(h);
    std::vector<OvMatrix> palette(ovSKINPALETTESIZE);
    const OvInt32 n = OvSkinBuildPalette(skin, h, nullptr, palette.data());
    std::vector<OvV3d> in(static_cast<std::size_t>(skin->numVertices) + 1, OvV3d{1, 2, 3});
    std::vector<OvV3d> pos(in.size()), nrm(in.size());
    OvSkinVertices(skin, palette.data(), n, in.data(), in.data(), pos.data(), nrm.data(), skin->numVertices);
    OvAnimHierarchyDestroy(h);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzzkit::GraphicsEngine engine(RegisterPlugins);
    if (!engine.Up() || size < 2) {
        return 0;
    }
    const int vertices = (data[0] | (data[1] << 8)) & 0xFFF;
    OvStream* stream = fuzzkit::OpenMemoryStream(data + 2, size - 2);
    if (stream != nullptr) {
        if (OvSkin* skin = OvSkinStreamRead(stream, static_cast<OvInt32>(size - 2), vertices)) {
            Exercise(skin);
            OvSkinDestroy(skin);
        }
        OvStreamClose(stream, nullptr);
    }
    return 0;
}
