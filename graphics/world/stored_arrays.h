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

// The largest of 16-bit values (0 for none), one at a time.
inline OvUInt16 OvLargestUInt16InTurn(const OvUInt16* values, std::size_t count) {
    // Compared in 32 bits: the loop the compiler makes of this is shorter.
    OvInt32 largest = 0;
    for (const OvUInt16* v = values; v != values + count; ++v) {
        largest = *v > largest ? *v : largest;
    }
    return static_cast<OvUInt16>(largest);
}
// The same many at a time where the processor can.
OvUInt16 OvLargestUInt16Wide(const OvUInt16* values, std::size_t count);
// Short runs one at a time in place, longer ones wide.
inline OvUInt16 OvLargestUInt16(const OvUInt16* values, std::size_t count) {
    return count < 16 ? OvLargestUInt16InTurn(values, count) : OvLargestUInt16Wide(values, count);
}
// The largest of count (0 to 16) little-endian 16-bit values stored just before end, any alignment,
// where the 32 bytes before end may all be read: on AVX2 one masked step, without a loop on the
// count.
OvUInt16 OvLargestStoredUInt16Before(const OvUInt8* end, std::size_t count);
