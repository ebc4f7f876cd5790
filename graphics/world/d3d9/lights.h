#pragma once
// Hardware lights of the fixed-function path: every light holds a device light index for as
// long as it lives; each object's lighting sends the records of its lights and then enables
// exactly those (up to the device's maximum), disabling the ones the previous object used
// and this one does not. Lights shared by consecutive objects stay on.

#include "graphics/core/types.h"
#include "platform/d3d9.h"

// The attenuation factors a light carries (divided by the range and the squared range when the
// light is set).
struct OvD3D9LightAttenuation {
    float constant;  // 1.0 at creation
    float linear;    // 0.0 at creation
    float quadratic; // 5.0 at creation
};

// Empties the lists and reads the device's maximum of active lights (no limit when it reports
// none). TRUE.
OvBool OvD3D9LightsOpen();
// Frees the lists.
void OvD3D9LightsClose();

// A free index: the most recently released one, else the next never used.
OvInt32 OvD3D9LightIndexAcquire();
// Gives an index back; when it was the last one in use the numbering starts again at 0.
void OvD3D9LightIndexRelease(OvInt32 index);

// Sends a light record for the index and adds the index to the lights of the current object.
OvBool OvD3D9LightSend(OvInt32 index, const D3DLIGHT9* light);

// A directional light's record: the colour and the direction it shines along.
void OvD3D9LightFillDirectional(D3DLIGHT9* out, const float rgb[3], const float direction[3]);
// A local light's record for the light type (0x80 point, 0x81 spot, 0x82 soft spot) with its
// colour, world position and direction, radius and cone angle (radians). FALSE, with nothing
// filled, for a zero radius or another type. A cone wider than the device takes (an outer cone
// beyond pi) is cut to pi.
OvBool OvD3D9LightFillLocal(D3DLIGHT9* out, OvUInt32 type, const float rgb[3], const float position[3],
                            const float direction[3], float radius, float coneAngle,
                            const OvD3D9LightAttenuation* attenuation);

// Ends one object's lighting: with enable FALSE only switches lighting off; otherwise keeps the
// first lights sent (up to the device maximum), disables the previously enabled ones not kept,
// enables the kept ones and switches lighting on.
void OvD3D9LightsEnable(OvBool enable, OvInt32 objectType);

// Introspection for tests and the renderer's counters.
OvInt32 OvD3D9LightsEnabledCount();
const OvInt32* OvD3D9LightsEnabled();
