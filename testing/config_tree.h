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

// Appends to `section` (an "Entities", "Brains", "Agents", "Services", "Teams" ... node) the
// definition `kind` labelled `label` with its "Class"; returns the definition, null when it could
// not be allocated.
inline CConfigNode* AddDefinition(CConfigNode* section, const char* kind, const char* label, const char* className) {
    CConfigNode* definition = section != nullptr ? Add(section, kind, nullptr, label) : nullptr;
    if (definition != nullptr)
        Add(definition, "Class", className);
    return definition;
}

// Appends to an "Entities" section the entity definition labelled `label`: its "Class", its
// "ActionClass" and the label of its "Brain" definition; returns it, null when it could not be
// allocated.
inline CConfigNode* AddEntityDefinition(CConfigNode* section, const char* label, const char* className,
                                        const char* actionClass, const char* brain) {
    CConfigNode* definition = AddDefinition(section, "Entity", label, className);
    if (definition != nullptr) {
        Add(definition, "ActionClass", actionClass);
        Add(definition, "Brain", brain);
    }
    return definition;
}

} // namespace configtree
