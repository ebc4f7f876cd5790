#include "graphics/world/light.h"

#include <cmath>

#include "graphics/core/chunk.h"
#include "graphics/core/engine.h"
#include "graphics/core/error.h"
#include "graphics/core/stream.h"
#include "graphics/world/world_plugin.h"

namespace {

OvInt32 gLightModuleOffset = -1;
OvInt32 gLightOpens = 0;
constexpr OvInt32 kLightsPerBlock = 32;

OvLightModule* Module() {
    return reinterpret_cast<OvLightModule*>(reinterpret_cast<char*>(OvEngineInstancePtr) + gLightModuleOffset);
}

OvObjectHasFrame* IdentitySync(OvObjectHasFrame* object) { return object; }

bool NoChroma(const OvRGBAReal& c) { return c.red == c.green && c.red == c.blue; }

} // namespace

void* OvLightOpen(void* instance, OvInt32 offset, OvInt32) {
    gLightModuleOffset = offset;
    auto* module = reinterpret_cast<OvLightModule*>(static_cast<char*>(instance) + offset);
    module->freeList = OvFreeListCreateWithSpace(OvLightGetRegistry()->sizeOfStruct, kLightsPerBlock, 0, 1, nullptr,
                                                 ovMEMHINTDUR_GLOBAL | ovPLUGINIDLIGHT);
    if (module->freeList == nullptr) {
        return nullptr;
    }
    gLightOpens++;
    return instance;
}

void* OvLightClose(void* instance, OvInt32 offset, OvInt32) {
    auto* module = reinterpret_cast<OvLightModule*>(static_cast<char*>(instance) + offset);
    if (module->freeList != nullptr) {
        OvFreeListForAllUsed(
            module->freeList, [](void* entry, void*) { OvLightDestroy(static_cast<OvLight*>(entry)); }, nullptr);
        OvFreeListDestroy(module->freeList);
        module->freeList = nullptr;
    }
    gLightOpens--;
    return instance;
}

OvLight* OvLightCreate(OvInt32 type) {
    auto* light = static_cast<OvLight*>(OvFreeListEntryAlloc(Module()->freeList, ovMEMHINTDUR_OBJECT | ovCHUNKIDLIGHT));
    if (light == nullptr) {
        OvErrorReport(ovPLUGINIDCORE, OvErrorCode(ovERRNOMEMORY, sizeof(OvLight)));
        return nullptr;
    }
    light->object.object = {ovLIGHTOBJECTTYPE, static_cast<OvUInt8>(type),
                            static_cast<OvUInt8>(ovLIGHTLIGHTATOMICS | ovLIGHTLIGHTWORLD), ovLIGHTPRIVATENOCHROMA,
                            nullptr};
    OvLLLinkInitHead(&light->object.lFrame);
    light->object.sync = IdentitySync;
    light->radius = 0.0f;
    light->color = {1.0f, 1.0f, 1.0f, 1.0f};
    light->minusCosAngle = 0.0f;
    OvLLLinkInitHead(&light->sectorTies);
    light->inWorld = {nullptr, nullptr};
    light->lightFrame = static_cast<OvUInt16>(OvEngineInstancePtr->lightFrame - 1);
    if (OvPluginRegistryInitObject(OvLightGetRegistry(), light) == nullptr) {
        OvFreeListEntryFree(Module()->freeList, light);
        return nullptr;
    }
    return light;
}

OvBool OvLightDestroy(OvLight* light) {
    OvPluginRegistryDeInitObject(OvLightGetRegistry(), light);
    OvObjectHasFrameDetach(&light->object);
    OvFreeListEntryFree(Module()->freeList, light);
    return TRUE;
}

OvLight* OvLightSetColor(OvLight* light, const OvRGBAReal* color) {
    light->color = *color;
    if (NoChroma(*color)) {
        light->object.object.privateFlags |= ovLIGHTPRIVATENOCHROMA;
    } else {
        light->object.object.privateFlags &= static_cast<OvUInt8>(~ovLIGHTPRIVATENOCHROMA);
    }
    return light;
}

float OvLightGetConeAngle(const OvLight* light) {
    const float c = -light->minusCosAngle;
    if (c <= -1.0f) {
        return static_cast<float>(M_PI);
    }
    if (c >= 1.0f) {
        return 0.0f;
    }
    return std::acos(c);
}

OvLight* OvLightStreamRead(OvStream* stream) {
    OvUInt32 length = 0;
    if (!OvStreamFindChunk(stream, ovID_STRUCT, &length, nullptr)) {
        return nullptr;
    }
    // A fixed record: a shorter struct leaves the rest zero, a longer one is refused.
    if (length > ovLIGHTSTRUCTSIZE) {
        OvErrorReport(ovPLUGINIDCORE, OvErrorCode(ovERRREAD));
        return nullptr;
    }
    OvUInt8 record[ovLIGHTSTRUCTSIZE] = {};
    if (OvStreamReadStrict(stream, record, length) == nullptr) {
        return nullptr;
    }
    const OvUInt32 flagsAndType = OvChunkGetUInt32(record + 20);
    OvLight* light = OvLightCreate(static_cast<OvUInt8>(flagsAndType >> 16));
    if (light == nullptr) {
        return nullptr;
    }
    light->radius = OvChunkGetReal(record);
    light->color.red = OvChunkGetReal(record + 4);
    light->color.green = OvChunkGetReal(record + 8);
    light->color.blue = OvChunkGetReal(record + 12);
    light->minusCosAngle = OvChunkGetReal(record + 16);
    OvUInt8& privateFlags = light->object.object.privateFlags;
    privateFlags = NoChroma(light->color) ? static_cast<OvUInt8>(privateFlags | ovLIGHTPRIVATENOCHROMA)
                                          : static_cast<OvUInt8>(privateFlags & ~ovLIGHTPRIVATENOCHROMA);
    light->object.object.flags = static_cast<OvUInt8>(flagsAndType & 0xFF);
    if (OvPluginRegistryReadDataChunks(OvLightGetRegistry(), stream, light) == nullptr) {
        OvLightDestroy(light);
        return nullptr;
    }
    return light;
}
