#pragma once
// Basic scalar and geometric types of the graphics core.

#include <cstddef>
#include <cstdint>

using OvInt8 = std::int8_t;
using OvUInt8 = std::uint8_t;
using OvInt16 = std::int16_t;
using OvUInt16 = std::uint16_t;
using OvInt32 = std::int32_t;
using OvUInt32 = std::uint32_t;
using OvBool = std::int32_t; // TRUE (1) or FALSE (0)
// The reference count of a shared object (geometry, material, texture, brush). Files do not
// store it, and every reference is held by something in memory, so 64 bits cannot wrap: a
// narrower count could be carried round to a small value by data read from a file (a geometry
// named by 32,768 atomics, a material repeated 65,536 times in one list) and free an object in use.
using OvRefCount = std::int64_t;

#ifndef TRUE
#define TRUE 1
#endif
#ifndef FALSE
#define FALSE 0
#endif

// 3D vector of floats (12 bytes).
struct OvV3d {
    float x; // x component
    float y; // y component
    float z; // z component
};

// Axis-aligned bounding box (24 bytes).
struct OvBBox {
    OvV3d sup; // maximum corner
    OvV3d inf; // minimum corner
};

// Lighting factors of a surface (a material's, and what the driver sets from them).
struct OvSurfaceProperties {
    float ambient;  // ambient reflection
    float specular; // specular reflection
    float diffuse;  // diffuse reflection
};

// Doubly linked list link; a list head is a link that points at itself when empty.
struct OvLLLink {
    OvLLLink* next; // next link (the head when last)
    OvLLLink* prev; // previous link (the head when first)
};

inline void OvLLLinkInitHead(OvLLLink* head) { head->next = head->prev = head; }
inline bool OvLLLinkIsEmpty(const OvLLLink* head) { return head->next == head; }
inline void OvLLLinkAddHead(OvLLLink* head, OvLLLink* link) {
    link->next = head->next;
    link->prev = head;
    head->next->prev = link;
    head->next = link;
}
inline void OvLLLinkRemove(OvLLLink* link) {
    link->prev->next = link->next;
    link->next->prev = link->prev;
}
