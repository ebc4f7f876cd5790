#pragma once
// Builds a standard-scheme animation from one track of keys per node, in the key order the
// interpolator walks: the first key of every node, then the second key of every node, then every
// later key in ascending time of its previous key (ties in node order). Asset builders and tests
// use it; players only read animations.

#include "graphics/plugins/anim.h"

// One key of a node's track.
struct OvAnimTrackKey {
    float time; // seconds, ascending along a track
    OvQuat q;   // rotation
    OvV3d t;    // translation
};

// numNodes tracks; track i has counts[i] keys (at least two, times ascending, the first at 0 and
// the last at the duration). Null (error {0, invalid value}) for tracks that break these rules.
OvAnimation* OvAnimationCreateFromTracks(OvInt32 numNodes, const OvAnimTrackKey* const* tracks, const OvInt32* counts,
                                         float duration);
