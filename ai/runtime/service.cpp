#include "ai/runtime/service.h"

#include "ai/runtime/world.h"

bool CService::Init(CConfigNode* definition) {
    return Vusk::PassParameters(definition, [this](CConfigNode* node) { return ReadParam(node); });
}

bool CService::ReadParam(CConfigNode*) { return false; }

void CService::Update() {}

CGlobalService::~CGlobalService() { Vusk::TakeGlobalServiceOut(this); }

bool CGlobalService::Init(CConfigNode* definition) {
    return Vusk::PassParameters(definition, [this](CConfigNode* node) { return ReadParam(node); });
}

bool CGlobalService::ReadParam(CConfigNode*) { return false; }

void CGlobalService::Reset() {}

void CGlobalService::Update() {}
