#pragma once
// Builds AI configuration trees in code, for tests and headless tools. Header only, so that
// programs built without the test kit can use it too.

#include "ai/runtime/config_node.h"

namespace configtree {

// Appends a child named `name` with, when given, a value and a label. Null when the child
// could not be allocated.
inline CConfigNode* Add(CConfigNode* parent, const char* name, const char* value = nullptr,
                        const char* label = nullptr) {
    CConfigNode* child = parent->AddChild();
    if (child == nullptr)
        return nullptr;
    child->SetName(name);
    if (value != nullptr)
        child->SetValue(value);
    if (label != nullptr)
        child->SetLabel(label);
    return child;
}

} // namespace configtree
