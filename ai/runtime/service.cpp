#include "ai/runtime/service.h"

#include "ai/runtime/engine.h"
#include "ai/runtime/world.h"

bool CService::Init(CConfigNode* definition) {
    return Vusk::PassParameters(definition, [this](CConfigNode* node) { return ReadParam(node); });
}

bool CService::ReadParam(CConfigNode*) { return false; }

void CService::Update() {}

CGlobalService::~CGlobalService() {
    // The current world, or another of the engine's world table, may list it.
    const uint32_t slots = Vusk::GetWorldSlots() != nullptr ? Vusk::GetWorldSlotCount() : 0;
    for (uint32_t i = 0; i <= slots; ++i) {
        CWorld* world = i < slots ? Vusk::GetWorldSlots()[i] : Vusk::GetCurrentWorld();
        if (world != nullptr)
            world->ForgetGlobalService(this);
    }
}

bool CGlobalService::Init(CConfigNode* definition) {
    return Vusk::PassParameters(definition, [this](CConfigNode* node) { return ReadParam(node); });
}

bool CGlobalService::ReadParam(CConfigNode*) { return false; }

void CGlobalService::Reset() {}

void CGlobalService::Update() {}
