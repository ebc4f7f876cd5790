#pragma once
// Continuous collision during integration: fast bodies (swept movers) are collided over their
// whole motion of the step with the fixed volumes and the objects near them. For every part pair
// the earliest time at which the two parts come closer than their combined thickness is searched
// (a sphere approach, then up to five rounds of conservative advancement); an impact lowers the
// allowed time of the bodies involved, and integration moves such a body for that time only.

#include "graphics/core/types.h"
#include "physics/core/collision/drivers.h"

struct OvpDyn;
struct OvpPipeline;

struct OvpSweepSettings {
    float dt;
    float thicknessFactor; // of the thinner part's thickness (core extent + twice the fat radius)
    float thicknessLimit;  // the combined thickness never exceeds this (below the contact threshold)
    float minStepFactor;   // the smallest step of the search, as a fraction of dt
    float approach;        // speeds along the normal below -approach count as approaching
    float lengthScale;
};

// The settings the pipeline uses: factors 0.1 and 0.05, the limit a quarter of the contact
// threshold, approach 0.001 x scale.
OvpSweepSettings OvpSweepDefaults(float dt, float threshold, float scale);

// One end of a part pair: the gathered part, its body (null for none) and whether the part is
// placed by advancing the body (its start state is the body's current state) or stays where it
// was gathered, moving only through its velocity.
struct OvpSweepEnd {
    const OvpGatheredPart* part;
    const OvpDyn* dyn;
    bool advance;
    float* allowed; // the body's allowed time, or null
};

// Time of impact of one part pair; 1 when an impact was found (the given allowed times larger
// than its time are lowered to it), else 0.
OvBool OvpBatchCollide(const OvpSweepEnd ends[2], const OvpSweepSettings* settings);

// Collides the parts of one swept object (its parts' boxes over their paths given, one per part)
// with the fixed volumes of the context near its path; allowed holds one time per part. Returns
// the impacts found; stops when the driver's stop flag rises.
OvUInt32 OvpCollideFixedVolumesOfObjects(OvpPipeline* pipeline, OvpObj* object, const OvpBBox* sweptBoxes,
                                         float* allowed, const OvpSweepSettings* settings);
// The same, then with the objects whose far-field boxes meet its own;
// allowed holds one time per part. Returns the impacts found; stops when the driver's stop flag
// rises.
OvUInt32 OvpBatchCollideObjects(OvpPipeline* pipeline, OvpObj* object, const OvpBBox* sweptBoxes, float* allowed,
                                const OvpSweepSettings* settings);
