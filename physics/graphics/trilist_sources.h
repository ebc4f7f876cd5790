#pragma once
// Triangle-list sources over graphics objects: a world (kind 0), one of its atomic sectors
// (kind 1), an atomic (kind 2) or a geometry (kind 3). Each kind's bounds and triangle walk are
// handed to the physics engine's triangle lists (OvpTrilistSetSource).

#include "physics/core/collision/trilist.h"

// Installs the handlers of the four graphics kinds (OvpBodyPluginAttach does this too).
void OvpTrilistInstallGraphicsSources();

// The triangles of a world sector whose boxes meet the box (maximum then minimum corner, world
// space), appended while the buffer has room; the space flag is set to world space.
void OvpTrilistSectorTriangles(const struct OvWorldSector* sector, const OvpBBox* box, OvpTriangleBuffer* buffer);
