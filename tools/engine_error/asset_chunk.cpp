#include "tools/engine_error/asset_chunk.h"

#include "graphics/core/chunk.h"
#include "graphics/core/error.h"
#include "graphics/world/world_plugin.h"

OvUInt32 FindClumpOrWorld(OvStream* stream) {
    for (;;) {
        OvUInt32 type = 0, length = 0, version = 0;
        if (!OvStreamReadChunkHeader(stream, &type, &length, &version, nullptr)) {
            return 0;
        }
        if (type == ovCHUNKIDCLUMP || type == ovCHUNKIDWORLD) {
            if (!OvChunkVersionAccepted(version)) {
                OvErrorReport(ovPLUGINIDCORE, OvErrorCode(ovERRBADVERSION));
                return 0;
            }
            return type;
        }
        if (OvStreamSkip(stream, length) == nullptr) {
            return 0;
        }
    }
}
