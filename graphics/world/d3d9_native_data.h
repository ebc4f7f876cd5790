#pragma once
// Native data streams (extension sub-chunk 0x510 of geometries and atomic sectors): the instanced
// Direct3D 9 form of a native object, stored so that loading needs no instancing. Writers put
// nothing unless the object is native and instanced; readers make the object's instanced data
// (in plain memory, owned by the object) or fail with nothing left made.

#include "graphics/core/types.h"

struct OvGeometry;
struct OvMaterialList;
struct OvStream;
struct OvWorldSector;

// Bytes of the sub-chunk body; 0 when nothing is written.
OvInt32 OvGeometryNativeDataStreamGetSize(const OvGeometry* geometry);
// The stream, or null when a write fails (the geometry is left as it was).
OvStream* OvGeometryNativeDataStreamWrite(OvStream* stream, const OvGeometry* geometry);
// Reads a body of length bytes; the geometry, or null with the error set (0x80000004 for a bad
// chunk version; every size is checked against the chunk and against the stream records).
OvGeometry* OvGeometryNativeDataStreamRead(OvStream* stream, OvInt32 length, OvGeometry* geometry);

// The same for an atomic sector of a native world; the reader takes the world's material list.
OvInt32 OvWorldSectorNativeDataStreamGetSize(const OvWorldSector* sector);
OvStream* OvWorldSectorNativeDataStreamWrite(OvStream* stream, const OvWorldSector* sector);
OvWorldSector* OvWorldSectorNativeDataStreamRead(OvStream* stream, OvInt32 length, OvWorldSector* sector,
                                                 const OvMaterialList* list);
