#pragma once
// Animation hierarchies (engine plugin 0x11E): a hierarchy of nodes bound to a tree of frames
// through a frame extension {node id, hierarchy}, driven by an interpolator, turning the
// interpolated keys into a matrix array and into the frames' matrices. The plugin's open
// registers the standard keyframe scheme with the animation plugin, which must be attached first.

#include "graphics/core/frame.h"
#include "graphics/core/matrix.h"
#include "graphics/plugins/anim.h"

inline constexpr OvUInt32 ovPLUGINIDANIMHIERARCHY = 0x11E;
inline constexpr OvUInt32 ovANIMHIERARCHYSTREAMVERSION = 0x100;
// Depth of the push/pop stack of the update; deeper pushes fail the update.
inline constexpr OvInt32 ovANIMHIERARCHYSTACKDEPTH = 32;

enum OvAnimHierarchyFlag : OvUInt32 {
    ovANIMHIERARCHYSUBHIERARCHY = 0x1, // arrays belong to the root hierarchy; never streamed
    ovANIMHIERARCHYNOMATRICES = 0x2,   // no matrix array: only the frames are updated
    ovANIMHIERARCHYUPDATEMODELLINGMATRICES = 0x1000,
    ovANIMHIERARCHYUPDATELTMS = 0x2000,
    ovANIMHIERARCHYLOCALSPACEMATRICES = 0x4000, // matrices relative to the hierarchy's parent frame
};

enum OvAnimHierarchyNodeFlag : OvUInt32 {
    ovANIMHIERARCHYPOPPARENTMATRIX = 0x1,
    ovANIMHIERARCHYPUSHPARENTMATRIX = 0x2,
};

struct OvAnimHierarchyNode {
    OvInt32 nodeID;    // id matched against the frames' node ids
    OvInt32 nodeIndex; // position in the hierarchy
    OvUInt32 flags;    // OvAnimHierarchyNodeFlag bits
    OvFrame* pFrame;   // frame bound by attach, or null
};

struct OvAnimHierarchy {
    OvUInt32 flags;                   // OvAnimHierarchyFlag bits
    OvInt32 numNodes;                 // node count
    OvMatrix* pMatrixArray;           // numNodes matrices, 16-byte aligned; null with flag 2
    void* pMatrixArrayUnaligned;      // the allocation holding the matrix array
    OvAnimHierarchyNode* pNodeInfo;   // numNodes nodes
    OvFrame* parentFrame;             // frame whose extension holds the hierarchy, or null
    OvAnimHierarchy* parentHierarchy; // root hierarchy (itself unless a sub-hierarchy)
    OvInt32 rootParentOffset;         // first node of a sub-hierarchy in its root, -1 = none
    OvAnimInterpolator* currentAnim;  // interpolator of numNodes nodes
    OvLLLink inPluginList;            // place in the plugin's list of live hierarchies
};

// Frame extension: the frame's node id (-1: none) and the hierarchy it holds (or null). A frame
// that a node took at attach is marked bound: when it is destroyed, every node of a live
// hierarchy that names it lets it go, so that no update writes into a frame that is gone.
struct OvAnimHierarchyFrameExtension {
    OvInt32 id;
    OvInt32 bound; // nonzero once a node took the frame
    OvAnimHierarchy* hierarchy;
};

OvBool OvAnimHierarchyPluginAttach();

OvAnimHierarchy* OvAnimHierarchyCreate(OvInt32 numNodes, const OvUInt32* nodeFlags, const OvInt32* nodeIDs,
                                       OvUInt32 flags, OvInt32 maxInterpKeyFrameSize);
OvAnimHierarchy* OvAnimHierarchyCreateFromHierarchy(const OvAnimHierarchy* hierarchy, OvUInt32 flags,
                                                    OvInt32 maxInterpKeyFrameSize);
// Take it off the skinned atomics it drives first (OvSkinAtomicSetHierarchy): they keep no back-link.
OvBool OvAnimHierarchyDestroy(OvAnimHierarchy* hierarchy);
OvAnimHierarchy* OvAnimHierarchyAttach(OvAnimHierarchy* hierarchy);
// 1, or 0 when the node flags push deeper than the stack or pop from an empty one before the
// last node.
OvBool OvAnimHierarchyUpdateMatrices(OvAnimHierarchy* hierarchy);
inline OvMatrix* OvAnimHierarchyGetMatrixArray(const OvAnimHierarchy* hierarchy) { return hierarchy->pMatrixArray; }
// Puts the hierarchy in the frame's extension and makes the frame its parent frame.
OvBool OvFrameSetAnimHierarchy(OvFrame* frame, OvAnimHierarchy* hierarchy);
OvAnimHierarchy* OvFrameGetAnimHierarchy(const OvFrame* frame);
OvBool OvFrameSetAnimHierarchyNodeID(OvFrame* frame, OvInt32 id);
OvInt32 OvFrameGetAnimHierarchyNodeID(const OvFrame* frame);
// Sets the current animation of the hierarchy's interpolator.
inline OvBool OvAnimHierarchySetCurrentAnim(OvAnimHierarchy* hierarchy, OvAnimation* animation) {
    return OvAnimInterpolatorSetCurrentAnim(hierarchy->currentAnim, animation);
}
