#pragma once
// Between the material-effects records and their drawing: the engine plugin's open and close of
// the drawing side (pipelines, device flags, pixel shaders).

#include "graphics/core/types.h"

// First open: the two pipelines, the device flags and (with pixel shaders) the six shaders.
// FALSE when a pipeline cannot be made (nothing is left then).
OvBool OvMaterialEffectsRenderOpen();
// Last close: everything the first open made.
void OvMaterialEffectsRenderClose();
