// The collision queries: lines, spheres, boxes and atomics against a geometry's, an atomic's or a
// world's triangles, walked through the world's sector tree and each owner's collision tree, and
// the exact line-, sphere- and box-triangle tests. Reads the collision data and the owners'
// triangles; reports hits to the caller's callback. The data's stream form is in collision_data.cpp.

#include "graphics/plugins/collision.h"

#include <cmath>
#include <cstdint>
#include <cstring>
#include <utility>

#include "graphics/core/chunk.h"
#include "graphics/core/engine.h"
#include "graphics/core/error.h"
#include "graphics/core/frame.h"
#include "graphics/core/matrix.h"
#include "graphics/core/memory.h"
#include "graphics/core/stream.h"
#include "graphics/core/vector.h"
#include "graphics/world/clump.h"
#include "graphics/world/geometry.h"
#include "graphics/world/world.h"
#include "graphics/world/world_plugin.h"
#include "graphics/plugins/collision_internal.h"

using namespace collision_detail;

namespace {

constexpr float kLineTolerance = 1e-6f;
// The line-triangle test takes hits up to 1e-5 of the line's length past its ends and up to 1e-5
// of the edges outside a triangle: the line walks cover a little more of the line than 0 to 1, and
// box clips a little more than a box.
constexpr float kLineFirst = -2e-5f;
constexpr float kLineLast = 1 + 2e-5f;
constexpr float kBoxSlack = 4e-5f;
constexpr float kInnerSphereScale = 0.57f;

// ---- small vector helpers ----

float Coord(const OvV3d& v, int axis) { return axis == 0 ? v.x : (axis == 1 ? v.y : v.z); }
OvV3d Sub(const OvV3d& a, const OvV3d& b) { return {a.x - b.x, a.y - b.y, a.z - b.z}; }
float Dot(const OvV3d& a, const OvV3d& b) { return a.x * b.x + a.y * b.y + a.z * b.z; }
OvV3d Cross(const OvV3d& a, const OvV3d& b) {
    return {a.y * b.z - a.z * b.y, a.z * b.x - a.x * b.z, a.x * b.y - a.y * b.x};
}
OvV3d Scale(const OvV3d& a, float s) { return {a.x * s, a.y * s, a.z * s}; }

// ---- line-triangle test ----

// The one-sided line-triangle test on the line's start and direction (end - start).
inline int LineHit(const OvV3d& start, const OvV3d& d, const OvV3d& a, const OvV3d& b, const OvV3d& c,
                   float* fraction) {
    const OvV3d e1 = Sub(b, a);
    const OvV3d e2 = Sub(c, a);
    const OvV3d p = Cross(d, e2);
    const float det = Dot(e1, p);
    if (!(det > 1e-8f)) {
        return 0;
    }
    const float eps = -1e-5f * det;
    const float top = det - eps;
    const OvV3d s = Sub(start, a);
    const float u = Dot(s, p);
    if (u < eps || u > top) {
        return 0;
    }
    const OvV3d q = Cross(s, e1);
    const float v = Dot(d, q);
    if (v < eps || u + v > top) {
        return 0;
    }
    const float t = Dot(e2, q);
    if (t < eps || t > top) {
        return 0;
    }
    *fraction = t / det;
    return 1;
}

// ---- triangle access ----

// Vertex pointers of a triangle; false when the triangle or one of its vertices lies outside the
// arrays (data of an object with fewer triangles than their map names).
bool Corners(const TriangleSource& src, OvInt32 index, OvV3d** v) {
    if (index >= src.numTriangles) {
        return false;
    }
    const OvTriangle& t = src.triangles[index];
    for (int k = 0; k < 3; ++k) {
        if (t.vertIndex[k] >= src.numVertices) {
            return false;
        }
        v[k] = src.verts + t.vertIndex[k];
    }
    return true;
}

void FillTriangle(OvCollisionTriangle* tri, OvV3d** v, OvInt32 index) {
    const OvV3d n = Cross(Sub(*v[1], *v[0]), Sub(*v[2], *v[0]));
    const float len2 = Dot(n, n);
    tri->normal = len2 > 0 ? Scale(n, OvInvSqrt(len2)) : OvV3d{0, 0, 0};
    tri->point = *v[0];
    tri->index = index;
    tri->vertices[0] = v[0];
    tri->vertices[1] = v[1];
    tri->vertices[2] = v[2];
}

// The query as the walks see it: primitive in the geometry's space, the caller's intersection
// for the callback; world queries name the sector being walked.
struct Query {
    OvIntersection* caller;
    OvCollisionTriangleCallback callBack;
    void* data;
    OvCollisionWorldCallback worldCallBack = nullptr;
    OvWorldSector* sector = nullptr;
    bool stopped = false;
};

bool Report(Query& q, OvCollisionTriangle* tri, float distance) {
    OvCollisionTriangle* more = q.worldCallBack != nullptr ? q.worldCallBack(q.caller, q.sector, tri, distance, q.data)
                                                           : q.callBack(q.caller, tri, distance, q.data);
    if (more == nullptr) {
        q.stopped = true;
    }
    return !q.stopped;
}

// Map position to triangle index.
OvInt32 TriangleAt(const OvCollisionData* data, OvInt32 pos) { return data->map != nullptr ? data->map[pos] : pos; }

// The contiguous run of map positions under a reference.
void SubtreeRun(const OvCollisionData* data, OvCollisionTreeRef ref, OvInt32* first, OvInt32* count) {
    OvCollisionTreeRef lo = ref;
    OvCollisionTreeRef hi = ref;
    for (int i = 0; lo.kind == ovCOLLISIONREFNODE && i <= ovCOLLISIONMAXDEPTH; ++i) {
        lo = data->nodes[lo.index].leftRef;
    }
    for (int i = 0; hi.kind == ovCOLLISIONREFNODE && i <= ovCOLLISIONMAXDEPTH; ++i) {
        hi = data->nodes[hi.index].rightRef;
    }
    *first = lo.index;
    *count = hi.index + hi.kind - lo.index;
    // Leaves out of order (a right subtree's triangles before its left's) would make the run
    // negative or carry it past the map: the run is kept inside the triangles.
    const OvInt32 total = data->numTriangles;
    if (*first < 0 || *first > total || *count < 0) {
        *first = 0;
        *count = 0;
    } else if (*count > total - *first) {
        *count = total - *first;
    }
}

// ---- line ----

struct LineWalk {
    OvLine line;
    OvV3d d;
    float inv[3];
    float tol[3];
};

void PrepareLine(LineWalk* w, const OvLine& line) {
    w->line = line;
    w->d = Sub(line.end, line.start);
    for (int a = 0; a < 3; ++a) {
        const float da = Coord(w->d, a);
        w->inv[a] = da != 0 ? 1.0f / da : 0.0f;
        const float s = std::fabs(Coord(line.start, a));
        const float e = std::fabs(Coord(line.end, a));
        w->tol[a] = kLineTolerance * (s > e ? s : e);
    }
}

bool LineTestOne(Query& q, const OvLine& line, OvV3d** v, OvInt32 index) {
    float t = 0;
    if (LineHit(line.start, Sub(line.end, line.start), *v[0], *v[1], *v[2], &t)) {
        OvCollisionTriangle tri;
        FillTriangle(&tri, v, index);
        return Report(q, &tri, t);
    }
    return true;
}

void LineRun(Query& q, const LineWalk& w, const TriangleSource& src, const OvCollisionData* data, OvInt32 first,
             OvInt32 count) {
    for (OvInt32 p = first; p < first + count && !q.stopped; ++p) {
        const OvInt32 index = data != nullptr ? TriangleAt(data, p) : p;
        OvV3d* v[3];
        float t = 0;
        if (Corners(src, index, v) && LineHit(w.line.start, w.d, *v[0], *v[1], *v[2], &t)) {
            OvCollisionTriangle tri;
            FillTriangle(&tri, v, index);
            Report(q, &tri, t);
        }
    }
}

// Clips [*t0, *t1] against the box widened by what the line-triangle test lets a hit stray: the
// coordinate tolerance and a little of the box's own extent (the test's slack across a triangle's
// edges; child boxes carry that slack already). False when nothing is left.
template <bool kWiden = true> bool ClipLine(const LineWalk& w, const OvBBox& box, float* t0, float* t1) {
    if (box.sup.x < box.inf.x) {
        return false; // no triangles
    }
    float lo = *t0;
    float hi = *t1;
    for (int a = 0; a < 3; ++a) {
        const float s = Coord(w.line.start, a);
        const float boxInf = Coord(box.inf, a);
        const float boxSup = Coord(box.sup, a);
        const float margin = kWiden ? w.tol[a] + kBoxSlack * (boxSup - boxInf) : w.tol[a];
        const float inf = boxInf - margin;
        const float sup = boxSup + margin;
        if (Coord(w.d, a) == 0) {
            if (s < inf || s > sup) {
                return false;
            }
            continue;
        }
        float ta = (inf - s) * w.inv[a];
        float tb = (sup - s) * w.inv[a];
        if (ta > tb) {
            std::swap(ta, tb);
        }
        lo = ta > lo ? ta : lo;
        hi = tb < hi ? tb : hi;
        if (lo > hi) {
            return false;
        }
    }
    *t0 = lo;
    *t1 = hi;
    return true;
}

// The tree walk over the part [t0, t1] of the line (the whole of it for a geometry, the part
// inside a world sector for a world).
// Where the part [t0, t1] of the line goes at a split along an axis whose left side reaches up to
// leftValue and whose right side reaches down to rightValue (both widened by the tolerance): one
// side alone, or both, the near one first with its part ending where the line leaves it and the
// far one's part starting where the line enters it.
struct LineSplit {
    enum Go { kLeft, kRight, kBoth };
    Go go;
    bool leftNear;
    float nearT1;
    float farT0;
};

LineSplit SplitLine(const LineWalk& w, int axis, float leftValue, float rightValue, float t0, float t1) {
    const float s = Coord(w.line.start, axis);
    const float d = Coord(w.d, axis);
    const float inv = w.inv[axis];
    const float left = leftValue + w.tol[axis];
    const float right = rightValue - w.tol[axis];
    const float enter = s + d * t0;
    const float leave = s + d * t1;
    LineSplit r{LineSplit::kBoth, d > 0, t1, t0};
    if (d > 0) {
        if (leave < right) {
            r.go = LineSplit::kLeft;
        } else if (enter > left) {
            r.go = LineSplit::kRight;
        } else {
            if (right > enter) {
                r.farT0 += (right - enter) * inv;
            }
            if (left < leave) {
                r.nearT1 += (left - leave) * inv;
            }
        }
    } else if (leave > left) {
        r.go = LineSplit::kRight;
    } else if (enter < right) {
        r.go = LineSplit::kLeft;
    } else {
        if (left < enter) {
            r.farT0 += (left - enter) * inv;
        }
        if (right > leave) {
            r.nearT1 += (right - leave) * inv;
        }
    }
    return r;
}

void LineTree(Query& q, const LineWalk& w, const TriangleSource& src, OvCollisionData* data, float t0, float t1) {
    if (!ClipLine(w, data->box, &t0, &t1)) {
        return;
    }
    if (data->numNodes == 0) {
        LineRun(q, w, src, data, 0, data->numTriangles);
        return;
    }
    MakeChildBoxes(data, src);
    struct Entry {
        OvCollisionTreeRef ref;
        float t0;
        float t1;
    };
    Entry stack[ovCOLLISIONSTACKSIZE];
    OvInt32 top = 0;
    stack[0] = {{0, ovCOLLISIONREFNODE, 0}, t0, t1};
    while (top >= 0 && !q.stopped) {
        Entry& e = stack[top];
        if (e.ref.kind != ovCOLLISIONREFNODE) {
            const Entry leaf = e;
            top--;
            LineRun(q, w, src, data, leaf.ref.index, leaf.ref.kind);
            continue;
        }
        const OvCollisionTreeNode& node = data->nodes[e.ref.index];
        const LineSplit split = SplitLine(w, NodeAxis(node), node.leftMax, node.rightMin, e.t0, e.t1);
        // The children the line goes on to, near first, each with its part of the line, clipped
        // against the child's box when the data have them.
        const bool both = split.go == LineSplit::kBoth;
        const bool nearLeft = split.go == LineSplit::kLeft || (both && split.leftNear);
        Entry near{nearLeft ? node.leftRef : node.rightRef, e.t0, both ? split.nearT1 : e.t1};
        Entry far{nearLeft ? node.rightRef : node.leftRef, split.farT0, e.t1};
        bool goNear = true;
        bool goFar = both;
        if (data->childBoxes != nullptr) {
            const OvBBox* boxes = data->childBoxes + 2 * e.ref.index;
            goNear = ClipLine<false>(w, boxes[nearLeft ? 0 : 1], &near.t0, &near.t1);
            goFar = goFar && ClipLine<false>(w, boxes[nearLeft ? 1 : 0], &far.t0, &far.t1);
        }
        if (goNear && goFar) {
            if (top + 1 < ovCOLLISIONSTACKSIZE) {
                e = far;
                stack[++top] = near;
            } else {
                // No room to split (deeper than validated data go): test the whole subtree.
                const Entry whole = e;
                top--;
                OvInt32 first = 0;
                OvInt32 count = 0;
                SubtreeRun(data, whole.ref, &first, &count);
                LineRun(q, w, src, data, first, count);
            }
        } else if (goNear) {
            e = near;
        } else if (goFar) {
            e = far;
        } else {
            top--;
        }
    }
}

// ---- child boxes ----

void Grow(OvBBox* box, const OvV3d& p) {
    box->inf = {p.x < box->inf.x ? p.x : box->inf.x, p.y < box->inf.y ? p.y : box->inf.y,
                p.z < box->inf.z ? p.z : box->inf.z};
    box->sup = {p.x > box->sup.x ? p.x : box->sup.x, p.y > box->sup.y ? p.y : box->sup.y,
                p.z > box->sup.z ? p.z : box->sup.z};
}

// The box of the triangles under the reference (sup below inf when there are none), filling the
// child boxes of the nodes below on the way; validated data are at most ovCOLLISIONMAXDEPTH deep.
OvBBox RefBox(OvCollisionData* data, const TriangleSource& src, OvCollisionTreeRef ref) {
    constexpr float kBig = 3.0e38f;
    OvBBox box{{-kBig, -kBig, -kBig}, {kBig, kBig, kBig}};
    if (ref.kind != ovCOLLISIONREFNODE) {
        for (OvInt32 p = ref.index; p < ref.index + ref.kind; ++p) {
            OvV3d* v[3];
            if (Corners(src, TriangleAt(data, p), v)) {
                Grow(&box, *v[0]);
                Grow(&box, *v[1]);
                Grow(&box, *v[2]);
            }
        }
        return box;
    }
    const OvCollisionTreeNode& node = data->nodes[ref.index];
    OvBBox* children = data->childBoxes + 2 * ref.index;
    children[0] = RefBox(data, src, node.leftRef);
    children[1] = RefBox(data, src, node.rightRef);
    for (const OvBBox& child : {children[0], children[1]}) {
        if (child.sup.x >= child.inf.x) {
            Grow(&box, child.inf);
            Grow(&box, child.sup);
        }
    }
    return box;
}

} // namespace

namespace collision_detail {

// Takes the child boxes from the owner's triangles when they are still to be taken.
void MakeChildBoxes(OvCollisionData* data, const TriangleSource& src) {
    if (data == nullptr || !data->childBoxesPending) {
        return;
    }
    data->childBoxesPending = FALSE;
    RefBox(data, src, {0, ovCOLLISIONREFNODE, 0});
    // Widened once here by the line test's slack across edges, so that clips need not.
    for (OvInt32 i = 0; i < 2 * data->numNodes; ++i) {
        OvBBox& box = data->childBoxes[i];
        if (box.sup.x >= box.inf.x) {
            const OvV3d slack{kBoxSlack * (box.sup.x - box.inf.x), kBoxSlack * (box.sup.y - box.inf.y),
                              kBoxSlack * (box.sup.z - box.inf.z)};
            box.inf = Sub(box.inf, slack);
            box.sup = {box.sup.x + slack.x, box.sup.y + slack.y, box.sup.z + slack.z};
        }
    }
}

} // namespace collision_detail

namespace {

// ---- box and sphere ----

struct VolumeQuery {
    bool sphere;
    OvSphere s;   // sphere in the geometry's space
    OvBBox outer; // centre +- r, or the box
    OvBBox inner; // centre +- 0.57 r, or the box
};

bool VolumeTestOne(Query& q, const VolumeQuery& vq, OvV3d** v, OvInt32 index, bool untested) {
    OvCollisionTriangle tri;
    if (vq.sphere) {
        OvV3d n;
        float dist = 0;
        if (untested) {
            FillTriangle(&tri, v, index);
            return Report(q, &tri, Dot(tri.normal, Sub(vq.s.center, *v[0])) / vq.s.radius);
        }
        if (OvCollisionTestSphereTriangle(&vq.s, v[0], v[1], v[2], &n, &dist)) {
            FillTriangle(&tri, v, index);
            return Report(q, &tri, dist / vq.s.radius);
        }
        return true;
    }
    if (untested || OvCollisionTestBoxTriangle(&vq.outer, v[0], v[1], v[2])) {
        FillTriangle(&tri, v, index);
        return Report(q, &tri, 0.0f);
    }
    return true;
}

void VolumeRun(Query& q, const VolumeQuery& vq, const TriangleSource& src, const OvCollisionData* data, OvInt32 first,
               OvInt32 count, bool untested) {
    for (OvInt32 p = first; p < first + count && !q.stopped; ++p) {
        const OvInt32 index = data != nullptr ? TriangleAt(data, p) : p;
        OvV3d* v[3];
        if (Corners(src, index, v)) {
            VolumeTestOne(q, vq, v, index, untested);
        }
    }
}

bool BoxesOverlap(const OvBBox& a, const OvBBox& b) {
    return a.inf.x <= b.sup.x && b.inf.x <= a.sup.x && a.inf.y <= b.sup.y && b.inf.y <= a.sup.y && a.inf.z <= b.sup.z &&
           b.inf.z <= a.sup.z;
}

void VolumeTree(Query& q, const VolumeQuery& vq, const TriangleSource& src, const OvCollisionData* data) {
    if (vq.sphere) {
        float d2 = 0;
        for (int a = 0; a < 3; ++a) {
            const float c = Coord(vq.s.center, a);
            const float lo = Coord(data->box.inf, a);
            const float hi = Coord(data->box.sup, a);
            const float e = c < lo ? lo - c : (c > hi ? c - hi : 0.0f);
            d2 += e * e;
        }
        if (d2 > vq.s.radius * vq.s.radius) {
            return;
        }
    }
    OvCollisionBoxIterator it;
    OvCollisionBoxIteratorBegin(&it, data, &vq.outer, &vq.inner);
    OvUInt16 first = 0;
    OvUInt16 count = 0;
    OvUInt32 mask = 0;
    while (!q.stopped && OvCollisionBoxIteratorNext(&it, &first, &count, &mask)) {
        VolumeRun(q, vq, src, data, first, count, mask == 0);
    }
}

// ---- front ends ----

void GeometryLine(Query& q, const OvGeometry* geometry, const OvLine& line) {
    TriangleSource src;
    if (!SourceOf(geometry, &src)) {
        return;
    }
    LineWalk w;
    PrepareLine(&w, line);
    OvCollisionData* data = OvCollisionGeometryGetData(geometry);
    if (data != nullptr) {
        LineTree(q, w, src, data, kLineFirst, kLineLast);
        return;
    }
    LineRun(q, w, src, nullptr, 0, src.numTriangles);
}

VolumeQuery SphereQuery(const OvSphere& s) {
    VolumeQuery vq;
    vq.sphere = true;
    vq.s = s;
    const float r = s.radius;
    const float ri = r * kInnerSphereScale;
    const OvV3d& c = s.center;
    vq.outer = {{c.x + r, c.y + r, c.z + r}, {c.x - r, c.y - r, c.z - r}};
    vq.inner = {{c.x + ri, c.y + ri, c.z + ri}, {c.x - ri, c.y - ri, c.z - ri}};
    return vq;
}

VolumeQuery BoxQuery(const OvBBox& box) {
    VolumeQuery vq;
    vq.sphere = false;
    vq.s = {{0, 0, 0}, 0};
    vq.outer = box;
    vq.inner = box;
    return vq;
}

void GeometryVolume(Query& q, const OvGeometry* geometry, const VolumeQuery& vq) {
    TriangleSource src;
    if (!SourceOf(geometry, &src)) {
        return;
    }
    const OvCollisionData* data = OvCollisionGeometryGetData(geometry);
    if (data != nullptr) {
        VolumeTree(q, vq, src, data);
        return;
    }
    VolumeRun(q, vq, src, nullptr, 0, src.numTriangles, false);
}

// Morphed atomics: blended copies of each triangle's vertices, tested in index order.
void MorphQuery(Query& q, OvAtomic* atomic, const OvLine* line, const OvSphere* sphere) {
    const OvGeometry* geometry = atomic->geometry;
    const OvInterpolator& ip = atomic->interpolator;
    if (geometry->triangles == nullptr || ip.startMorphTarget < 0 || ip.endMorphTarget < 0 ||
        ip.startMorphTarget >= geometry->numMorphTargets || ip.endMorphTarget >= geometry->numMorphTargets) {
        return;
    }
    const OvV3d* from = geometry->morphTarget[ip.startMorphTarget].verts;
    const OvV3d* to = geometry->morphTarget[ip.endMorphTarget].verts;
    if (from == nullptr || to == nullptr) {
        return;
    }
    const float f = ip.position * ip.recipTime;
    const bool same = ip.startMorphTarget == ip.endMorphTarget;
    for (OvInt32 i = 0; i < geometry->numTriangles && !q.stopped; ++i) {
        OvV3d blended[3];
        OvV3d* v[3];
        bool ok = true;
        for (int k = 0; k < 3; ++k) {
            const OvUInt16 vi = geometry->triangles[i].vertIndex[k];
            if (vi >= geometry->numVertices) {
                ok = false;
                break;
            }
            blended[k] = same
                             ? from[vi]
                             : OvV3d{from[vi].x + (to[vi].x - from[vi].x) * f, from[vi].y + (to[vi].y - from[vi].y) * f,
                                     from[vi].z + (to[vi].z - from[vi].z) * f};
            v[k] = &blended[k];
        }
        if (!ok) {
            continue;
        }
        if (line != nullptr) {
            LineTestOne(q, *line, v, i);
        } else {
            VolumeTestOne(q, SphereQuery(*sphere), v, i, false);
        }
    }
}

// ---- worlds ----

void SectorLine(Query& q, const LineWalk& w, OvWorldSector* sector, float t0, float t1) {
    TriangleSource src;
    if (!SourceOf(sector, &src)) {
        return;
    }
    q.sector = sector;
    if (OvCollisionData* data = OvCollisionWorldSectorGetData(sector); data != nullptr) {
        LineTree(q, w, src, data, t0, t1);
    } else {
        LineRun(q, w, src, nullptr, 0, src.numTriangles);
    }
}

// The sector walk of a line: sectors roughly front to back, each with the part of the line that
// lies in it.
void WorldLine(Query& q, OvWorld* world, const OvLine& line) {
    if (world->rootSector == nullptr) {
        return;
    }
    LineWalk w;
    PrepareLine(&w, line);
    struct Entry {
        OvWorldSector* sector;
        float t0;
        float t1;
    };
    // A read world has at most ovWORLDMAXDEPTH plane sectors on a path, each leaving at most one
    // entry behind.
    Entry stack[ovWORLDMAXDEPTH + 1];
    OvInt32 top = 0;
    stack[0] = {world->rootSector, kLineFirst, kLineLast};
    while (top >= 0 && !q.stopped) {
        Entry& e = stack[top];
        if (OvWorldSectorIsAtomic(e.sector)) {
            const Entry leaf = e;
            top--;
            SectorLine(q, w, leaf.sector, leaf.t0, leaf.t1);
            continue;
        }
        const OvPlaneSector* plane = OvWorldSectorAsPlane(e.sector);
        const LineSplit split = SplitLine(w, plane->type / 4, plane->leftValue, plane->rightValue, e.t0, e.t1);
        if (split.go == LineSplit::kLeft) {
            e.sector = plane->leftSubTree;
        } else if (split.go == LineSplit::kRight) {
            e.sector = plane->rightSubTree;
        } else if (top + 1 <= ovWORLDMAXDEPTH) {
            const Entry nearE{split.leftNear ? plane->leftSubTree : plane->rightSubTree, e.t0, split.nearT1};
            e = {split.leftNear ? plane->rightSubTree : plane->leftSubTree, split.farT0, e.t1};
            stack[++top] = nearE;
        } else {
            return; // deeper than a read world can be
        }
    }
}

void SectorVolume(Query& q, const VolumeQuery& vq, OvWorldSector* sector) {
    TriangleSource src;
    if (!SourceOf(sector, &src)) {
        return;
    }
    q.sector = sector;
    if (const OvCollisionData* data = OvCollisionWorldSectorGetData(sector); data != nullptr) {
        VolumeTree(q, vq, src, data);
    } else {
        VolumeRun(q, vq, src, nullptr, 0, src.numTriangles, false);
    }
}

// The sector walk of a box or a sphere's box: the left side first where both are reached.
void WorldVolume(Query& q, OvWorld* world, const VolumeQuery& vq) {
    if (world->rootSector == nullptr) {
        return;
    }
    OvWorldSector* stack[ovWORLDMAXDEPTH + 1];
    OvInt32 top = 0;
    stack[0] = world->rootSector;
    while (top >= 0 && !q.stopped) {
        OvWorldSector*& sector = stack[top];
        if (OvWorldSectorIsAtomic(sector)) {
            OvWorldSector* atomicSector = sector;
            top--;
            SectorVolume(q, vq, atomicSector);
            continue;
        }
        const OvPlaneSector* plane = OvWorldSectorAsPlane(sector);
        const int axis = plane->type / 4;
        if (plane->rightValue <= Coord(vq.outer.sup, axis)) {
            sector = plane->rightSubTree;
            if (Coord(vq.outer.inf, axis) <= plane->leftValue) {
                if (top + 1 > ovWORLDMAXDEPTH) {
                    return; // deeper than a read world can be
                }
                stack[++top] = plane->leftSubTree;
            }
        } else {
            sector = plane->leftSubTree;
        }
    }
}

} // namespace

OvWorld* OvCollisionWorldForAllIntersections(OvWorld* world, OvIntersection* intersection,
                                             OvCollisionWorldCallback callBack, void* data) {
    Query q{intersection, nullptr, data, callBack};
    switch (intersection->type) {
    case ovINTERSECTLINE:
        WorldLine(q, world, intersection->t.line);
        break;
    case ovINTERSECTSPHERE:
        WorldVolume(q, world, SphereQuery(intersection->t.sphere));
        break;
    case ovINTERSECTBOX:
        WorldVolume(q, world, BoxQuery(intersection->t.box));
        break;
    case ovINTERSECTATOMIC:
        if (intersection->t.object != nullptr) {
            WorldVolume(q, world, SphereQuery(*OvAtomicGetWorldBoundingSphere(intersection->t.object)));
        }
        break;
    default:
        break;
    }
    return world;
}

void OvCollisionBoxIteratorBegin(OvCollisionBoxIterator* iterator, const OvCollisionData* data, const OvBBox* outer,
                                 const OvBBox* inner) {
    iterator->data = data;
    iterator->outer = *outer;
    iterator->inner = *inner;
    iterator->root = {0, static_cast<OvUInt8>(data->numNodes > 0 ? ovCOLLISIONREFNODE : 0), 0};
    iterator->depth = 0;
    if (!BoxesOverlap(data->box, *outer)) {
        return;
    }
    // A face of the inner box cuts the data's region when it lies strictly inside the data's box.
    OvUInt32 mask = 0;
    for (int a = 0; a < 3; ++a) {
        if (Coord(inner->inf, a) > Coord(data->box.inf, a)) {
            mask |= 1u << (2 * a);
        }
        if (Coord(inner->sup, a) < Coord(data->box.sup, a)) {
            mask |= 2u << (2 * a);
        }
    }
    iterator->stack[0] = {iterator->root, mask};
    iterator->depth = 1;
}

OvBool OvCollisionBoxIteratorNext(OvCollisionBoxIterator* iterator, OvUInt16* first, OvUInt16* count, OvUInt32* mask) {
    const OvCollisionData* data = iterator->data;
    while (iterator->depth > 0) {
        OvCollisionBoxIteratorEntry& e = iterator->stack[iterator->depth - 1];
        const bool full = iterator->depth >= ovCOLLISIONSTACKSIZE;
        if (e.mask == 0 || e.ref.kind != ovCOLLISIONREFNODE || full) {
            // A whole run: a leaf, a region inside the inner box, or (deeper than validated data
            // go) a subtree reported for testing.
            OvInt32 runFirst = 0;
            OvInt32 runCount = data->numTriangles;
            if (data->numNodes > 0) {
                SubtreeRun(data, e.ref, &runFirst, &runCount);
            }
            *first = static_cast<OvUInt16>(runFirst);
            *count = static_cast<OvUInt16>(runCount);
            *mask = e.mask;
            iterator->depth--;
            return TRUE;
        }
        const OvCollisionTreeNode& node = data->nodes[e.ref.index];
        const int a = NodeAxis(node);
        if (node.rightMin <= Coord(iterator->outer.sup, a)) {
            if (Coord(iterator->outer.inf, a) <= node.leftMax) {
                OvCollisionBoxIteratorEntry left{node.leftRef, e.mask};
                if (node.leftMax <= Coord(iterator->inner.sup, a)) {
                    left.mask &= ~(2u << (2 * a));
                }
                e.ref = node.rightRef;
                if (Coord(iterator->inner.inf, a) <= node.rightMin) {
                    e.mask &= ~(1u << (2 * a));
                }
                iterator->stack[iterator->depth++] = left;
            } else {
                e.ref = node.rightRef;
            }
        } else {
            e.ref = node.leftRef;
        }
    }
    return FALSE;
}

OvGeometry* OvCollisionGeometryForAllIntersections(OvGeometry* geometry, OvIntersection* intersection,
                                                   OvCollisionTriangleCallback callBack, void* data) {
    Query q{intersection, callBack, data};
    switch (intersection->type) {
    case ovINTERSECTLINE:
        GeometryLine(q, geometry, intersection->t.line);
        break;
    case ovINTERSECTSPHERE:
        GeometryVolume(q, geometry, SphereQuery(intersection->t.sphere));
        break;
    case ovINTERSECTBOX:
        GeometryVolume(q, geometry, BoxQuery(intersection->t.box));
        break;
    case ovINTERSECTATOMIC:
        if (intersection->t.object != nullptr) {
            GeometryVolume(q, geometry, SphereQuery(*OvAtomicGetWorldBoundingSphere(intersection->t.object)));
        }
        break;
    default:
        break;
    }
    return geometry;
}

OvAtomic* OvCollisionAtomicForAllIntersections(OvAtomic* atomic, OvIntersection* intersection,
                                               OvCollisionTriangleCallback callBack, void* data) {
    OvGeometry* geometry = atomic->geometry;
    if (geometry == nullptr) {
        return atomic;
    }
    OvMatrix inverse;
    OvMatrixSetIdentity(&inverse);
    if (OvFrame* frame = OvAtomicGetFrame(atomic); frame != nullptr) {
        OvMatrixInvert(&inverse, OvFrameGetWorldMatrix(frame));
    }
    Query q{intersection, callBack, data};
    const bool morphed = geometry->numMorphTargets >= 2;
    OvSphere sphere;
    switch (intersection->type) {
    case ovINTERSECTLINE: {
        OvLine local;
        OvV3dTransformPoint(&local.start, &intersection->t.line.start, &inverse);
        OvV3dTransformPoint(&local.end, &intersection->t.line.end, &inverse);
        if (morphed) {
            MorphQuery(q, atomic, &local, nullptr);
        } else {
            GeometryLine(q, geometry, local);
        }
        return atomic;
    }
    case ovINTERSECTSPHERE:
        sphere = intersection->t.sphere;
        break;
    case ovINTERSECTATOMIC:
        if (intersection->t.object == nullptr) {
            return atomic;
        }
        sphere = *OvAtomicGetWorldBoundingSphere(intersection->t.object);
        break;
    default:
        return atomic; // points and boxes find nothing on an atomic
    }
    OvSphere local;
    OvV3dTransformPoint(&local.center, &sphere.center, &inverse);
    local.radius = sphere.radius * std::sqrt(Dot(inverse.at, inverse.at));
    if (morphed) {
        MorphQuery(q, atomic, nullptr, &local);
    } else {
        GeometryVolume(q, geometry, SphereQuery(local));
    }
    return atomic;
}

OvInt32 OvCollisionTestLineTriangle(const OvLine* line, const OvV3d* a, const OvV3d* b, const OvV3d* c,
                                    float* fraction) {
    return LineHit(line->start, Sub(line->end, line->start), *a, *b, *c, fraction);
}

OvInt32 OvCollisionTestSphereTriangle(const OvSphere* sphere, const OvV3d* a, const OvV3d* b, const OvV3d* c,
                                      OvV3d* normal, float* distance) {
    const float r = sphere->radius;
    const OvV3d A = Sub(*a, sphere->center);
    const OvV3d B = Sub(*b, sphere->center);
    const OvV3d C = Sub(*c, sphere->center);
    for (int k = 0; k < 3; ++k) {
        const float pa = Coord(A, k);
        const float pb = Coord(B, k);
        const float pc = Coord(C, k);
        if (pa >= 0 && pb >= 0 && pc >= 0 && pa - r >= 0 && pb - r >= 0 && pc - r >= 0) {
            return 0;
        }
        if (pa < 0 && pb < 0 && pc < 0 && pa + r < 0 && pb + r < 0 && pc + r < 0) {
            return 0;
        }
    }
    OvV3d n = Cross(Sub(B, A), Sub(C, A));
    const float n2 = Dot(n, n);
    if (n2 <= 0) {
        return 0;
    }
    n = Scale(n, OvInvSqrt(n2));
    const float d = Dot(n, A);
    if (d <= -r || d >= r) {
        return 0;
    }
    *distance = -d;
    *normal = n;
    const float r2 = r * r;
    const float la = Dot(A, A);
    const float lb = Dot(B, B);
    const float lc = Dot(C, C);
    if (la <= r2 || lb <= r2 || lc <= r2) {
        return 1;
    }
    const float ab = Dot(A, B);
    const float ac = Dot(A, C);
    const float bc = Dot(B, C);
    if (la < lb) {
        if (lc >= la && ab > la && ac > la) {
            return 0;
        }
    } else if (lc >= lb && ab > lb && bc > lb) {
        return 0;
    }
    if ((la < lb && lc < la) || (la >= lb && lc < lb)) {
        if (ac > lc && bc > lc) {
            return 0;
        }
    }
    const OvV3d* edges[3][3] = {{&A, &B, &C}, {&B, &C, &A}, {&C, &A, &B}};
    for (int k = 0; k < 3; ++k) {
        const OvV3d& P = *edges[k][0];
        const OvV3d e = Sub(*edges[k][1], P);
        const OvV3d Q = Sub(P, Scale(e, Dot(P, e) / Dot(e, e)));
        const float q2 = Dot(Q, Q);
        if (q2 > r2 && Dot(Q, *edges[k][2]) > q2) {
            return 0;
        }
        if (k == 2 && q2 <= r2) {
            return 1;
        }
    }
    return 1;
}

namespace {

OvUInt32 Outcode(const OvV3d& p, const OvBBox& box) {
    OvUInt32 code = 0;
    code |= p.x > box.sup.x ? 1u : 0u;
    code |= p.x < box.inf.x ? 2u : 0u;
    code |= p.y > box.sup.y ? 4u : 0u;
    code |= p.y < box.inf.y ? 8u : 0u;
    code |= p.z > box.sup.z ? 16u : 0u;
    code |= p.z < box.inf.z ? 32u : 0u;
    return code;
}

// Whether edge p0 -> p1 crosses the given face's plane strictly inside the face rectangle.
bool EdgeCrossesFace(const OvV3d& p0, const OvV3d& p1, const OvBBox& box, OvUInt32 face) {
    int axis = 0;
    while ((face >> (2 * axis)) > 3) {
        axis++;
    }
    const bool sup = ((face >> (2 * axis)) & 1) != 0;
    const float plane = Coord(sup ? box.sup : box.inf, axis);
    const float D = Coord(p1, axis) - Coord(p0, axis);
    if (D == 0) {
        return false;
    }
    const float N = plane - Coord(p0, axis);
    const float sign = D > 0 ? 1.0f : -1.0f;
    for (int k = 1; k <= 2; ++k) {
        const int o = (axis + k) % 3;
        const float base = Coord(p0, o);
        const float delta = Coord(p1, o) - base;
        // point = base + delta * N / D, strictly between inf and sup, multiplied through by D
        if (((base - Coord(box.inf, o)) * D + N * delta) * sign <= 0) {
            return false;
        }
        if (((Coord(box.sup, o) - base) * D - N * delta) * sign <= 0) {
            return false;
        }
    }
    return true;
}

} // namespace

OvInt32 OvCollisionTestBoxTriangle(const OvBBox* box, const OvV3d* a, const OvV3d* b, const OvV3d* c) {
    const OvUInt32 ca = Outcode(*a, *box);
    const OvUInt32 cb = Outcode(*b, *box);
    const OvUInt32 cc = Outcode(*c, *box);
    if (ca == 0 || cb == 0 || cc == 0) {
        return 1;
    }
    if ((ca & cb & cc) != 0) {
        return 0;
    }
    const OvV3d* ends[3][2] = {{a, b}, {a, c}, {b, c}};
    const OvUInt32 codes[3][2] = {{ca, cb}, {ca, cc}, {cb, cc}};
    for (int k = 0; k < 3; ++k) {
        if ((codes[k][0] & codes[k][1]) != 0) {
            continue;
        }
        const OvUInt32 faces = codes[k][0] ^ codes[k][1];
        for (OvUInt32 bit = 1; bit <= 32; bit <<= 1) {
            if ((faces & bit) != 0 && EdgeCrossesFace(*ends[k][0], *ends[k][1], *box, bit)) {
                return 1;
            }
        }
    }
    const OvV3d e1 = Sub(*b, *a);
    const OvV3d e2 = Sub(*c, *a);
    const OvV3d n = Cross(e1, e2);
    OvV3d p{box->inf.x, box->inf.y, box->inf.z};
    OvV3d q{box->sup.x, box->sup.y, box->sup.z};
    if ((n.y < 0) != (n.x < 0)) {
        std::swap(p.y, q.y);
    }
    if ((n.z < 0) != (n.x < 0)) {
        std::swap(p.z, q.z);
    }
    const OvV3d dir = Sub(q, p);
    const OvV3d pv = Cross(dir, e2);
    const float det = Dot(e1, pv);
    if (det == 0) {
        return 0;
    }
    const float sgn = det > 0 ? 1.0f : -1.0f;
    const float adet = det * sgn;
    const OvV3d s = Sub(p, *a);
    const float u = Dot(s, pv) * sgn;
    const OvV3d qv = Cross(s, e1);
    const float v = Dot(dir, qv) * sgn;
    const float t = Dot(e2, qv) * sgn;
    // The triangle is closed: a diagonal that meets it on an edge or a corner meets it. A box
    // centred over the edge two triangles share has its diagonal right over that edge, and with
    // open bounds neither triangle would be found under the box.
    if (u >= 0 && v >= 0 && u + v <= adet && t >= 0 && t <= adet) {
        return 1;
    }
    return 0;
}
