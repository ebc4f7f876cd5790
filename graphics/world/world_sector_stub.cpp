// Worlds and world sectors as far as this library needs them: their registries (extensions may
// be registered on them) and the binary-mesh stream callbacks of sectors, which pass a sector's
// mesh sub-chunk over and write none until sectors are read.

#include "graphics/core/stream.h"
#include "graphics/world/world_plugin.h"

namespace {

OvPluginRegistry gWorldRegistry = OvPluginRegistryInitialValue(0);
OvPluginRegistry gWorldSectorRegistry = OvPluginRegistryInitialValue(0);

} // namespace

OvPluginRegistry* OvWorldGetRegistry() { return &gWorldRegistry; }
OvPluginRegistry* OvWorldSectorGetRegistry() { return &gWorldSectorRegistry; }

OvStream* OvWorldSectorMeshHeaderStreamRead(OvStream* stream, OvInt32 length, void*, OvInt32, OvInt32) {
    return OvStreamSkip(stream, static_cast<OvUInt32>(length));
}
OvStream* OvWorldSectorMeshHeaderStreamWrite(OvStream* stream, OvInt32, const void*, OvInt32, OvInt32) {
    return stream;
}
OvInt32 OvWorldSectorMeshHeaderStreamGetSize(const void*, OvInt32, OvInt32) { return 0; }
