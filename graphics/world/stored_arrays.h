#pragma once
// Decoding of the large stored arrays a load passes over once: geometry triangles and the 32-bit
// vertex indices of stored meshes (and the largest of 16-bit values). Each kernel decodes and bounds in one pass; on a processor with
// AVX2 (checked once at run time) a wider path gives the same results.

#include <cstddef>

#include "graphics/core/types.h"

struct OvTriangle;

struct OvStoredTriangleBounds {
    OvUInt16 largestVertex;
    OvUInt16 largestMaterial;
    OvUInt16 smallestMaterial;
};

// Stored triangles (vertex 1, vertex 0, material, vertex 2; stored may be out itself) turned into
// records, with their largest vertex and their material range.
OvStoredTriangleBounds OvDecodeStoredTriangles(const OvUInt8* stored, OvTriangle* out, std::size_t count);

// The same bounds of triangle records (in memory, or stored in the order of the records).
OvStoredTriangleBounds OvBoundTriangles(const OvUInt8* records, std::size_t count);

// Stored 32-bit indices narrowed to 16 bits; the largest stored value, or 0x10000 when one does not
// fit 16 bits. stored and out do not overlap.
OvUInt32 OvNarrowStoredIndices(const OvUInt8* stored, std::size_t count, OvUInt16* out);

// The largest of 16-bit values (0 for none).
OvUInt16 OvLargestUInt16(const OvUInt16* values, std::size_t count);
