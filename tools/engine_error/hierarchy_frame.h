// The frame of a clump that holds its animation hierarchy, for the tools that pose characters.
#pragma once

#include "graphics/core/frame.h"
#include "graphics/plugins/anim_hierarchy.h"

// The first frame, depth first from `frame` and its siblings, that holds a hierarchy; null when none.
inline OvFrame* FindHierarchyFrame(OvFrame* frame) {
    for (OvFrame* f = frame; f != nullptr; f = f->next) {
        if (OvFrameGetAnimHierarchy(f) != nullptr) {
            return f;
        }
        if (OvFrame* below = FindHierarchyFrame(f->child)) {
            return below;
        }
    }
    return nullptr;
}
