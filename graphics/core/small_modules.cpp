#include "graphics/core/small_modules.h"

#include "graphics/core/engine.h"

namespace {

OvInt32 gCounterInstances = 0; // times the counter module is open
OvInt32 gSpareInstances = 0;   // times the spare-entry module is open

constexpr OvInt32 kSpareEntriesPerBlock = 16;
constexpr OvUInt32 kSpareHint = ovMEMHINTDUR_GLOBAL | ovPLUGINIDSPARE;

OvSpareModuleData* SpareData(void* instance, OvInt32 offset) {
    return reinterpret_cast<OvSpareModuleData*>(static_cast<char*>(instance) + offset);
}

} // namespace

void* OvCounterOpen(void* instance, OvInt32, OvInt32) {
    gCounterInstances++;
    return instance;
}

void* OvCounterClose(void* instance, OvInt32, OvInt32) {
    gCounterInstances--;
    return instance;
}

OvInt32 OvCounterGetNumInstances() { return gCounterInstances; }

void* OvSpareOpen(void* instance, OvInt32 offset, OvInt32) {
    OvSpareModuleData* data = SpareData(instance, offset);
    data->list = OvFreeListCreateWithSpace(ovSPAREENTRYSIZE, kSpareEntriesPerBlock, 0, 1, &data->header, kSpareHint);
    if (data->list == nullptr) {
        return nullptr;
    }
    gSpareInstances++;
    return instance;
}

void* OvSpareClose(void* instance, OvInt32 offset, OvInt32) {
    OvSpareModuleData* data = SpareData(instance, offset);
    if (data->list != nullptr) {
        OvFreeListDestroy(data->list);
        data->list = nullptr;
    }
    gSpareInstances--;
    return instance;
}

OvInt32 OvSpareGetNumInstances() { return gSpareInstances; }
