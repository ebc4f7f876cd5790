#include "ai/runtime/agent.h"

#include "ai/runtime/brain.h"
#include "ai/runtime/service.h"

CAgent::CAgent(CBrain* owner) : m_brain(owner) {
    const CActionClass* brainActions = owner != nullptr ? owner->GetActionClass() : nullptr;
    const CActionClassDesc* desc = brainActions != nullptr ? brainActions->GetClassDesc() : nullptr;
    if (desc != nullptr && desc->GetCreateFunction() != nullptr)
        m_actionClass = desc->GetCreateFunction()();
}

CAgent::~CAgent() { delete m_actionClass; }

bool CAgent::Init(CConfigNode* definition) {
    return Vusk::PassParameters(definition, [this](CConfigNode* node) { return ReadParam(node); });
}

bool CAgent::ReadParam(CConfigNode*) { return false; }

void CAgent::Update() {}
