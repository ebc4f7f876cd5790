#include "physics/qhull/convex_hull.h"

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <csetjmp>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <unordered_map>
#include <vector>

extern "C" {
#include <libqhull_r/qhull_ra.h>
}

#include "graphics/core/engine.h"
#include "graphics/core/stream.h"
#include "physics/core/utils/memory.h"

// --- print targets ---------------------------------------------------------------------

std::size_t OvpQHullWrite(void* target, const char* bytes, std::size_t count) {
    const auto t = reinterpret_cast<std::uintptr_t>(target);
    if (t == 0 || count == 0) {
        return 0;
    }
    if (t == 1 || t == 2) {
        return std::fwrite(bytes, 1, count, t == 1 ? stdout : stderr);
    }
    return OvStreamWrite(static_cast<OvStream*>(target), bytes, static_cast<OvUInt32>(count)) != nullptr ? count : 0;
}

OvInt32 OvpQHullVfprintf(void* target, const char* format, std::va_list args) {
    if (target == nullptr) {
        return 0;
    }
    char buffer[1000];
    const int length = std::vsnprintf(buffer, sizeof(buffer), format, args);
    if (length <= 0) {
        return 0;
    }
    const std::size_t kept = std::min<std::size_t>(static_cast<std::size_t>(length), sizeof(buffer) - 1);
    return static_cast<OvInt32>(OvpQHullWrite(target, buffer, kept));
}

OvInt32 OvpQHullFprintf(void* target, const char* format, ...) {
    std::va_list args;
    va_start(args, format);
    const OvInt32 n = OvpQHullVfprintf(target, format, args);
    va_end(args);
    return n;
}

OvInt32 OvpQHullFputs(const char* string, void* target) { return OvpQHullFprintf(target, "%s", string); }

namespace {

// qhull prints through FILE objects; this one forwards every write to a print target.
ssize_t CookieWrite(void* cookie, const char* bytes, size_t count) {
    OvpQHullWrite(cookie, bytes, count);
    return static_cast<ssize_t>(count); // a target that drops bytes still counts as written
}

FILE* OpenTargetFile(void* target) {
    cookie_io_functions_t functions = {};
    functions.write = CookieWrite;
    return fopencookie(target, "w", functions);
}

// --- block layout ----------------------------------------------------------------------

std::size_t AlignUp(std::size_t offset, std::size_t alignment) {
    return (offset + alignment - 1) / alignment * alignment;
}

struct Layout {
    std::size_t vertexFirst, normals, faceFirst, edges, adjacency, total;
};

Layout ComputeLayout(std::size_t v, std::size_t e, std::size_t f) {
    Layout l;
    const std::size_t vertices = sizeof(OvpConvexHull);
    l.vertexFirst = AlignUp(vertices + v * sizeof(OvV3d), 16);
    l.normals = AlignUp(l.vertexFirst + (v + 1) * sizeof(OvUInt16), 16);
    l.faceFirst = l.normals + f * sizeof(OvV3d);
    l.edges = AlignUp(l.faceFirst + (f + 1) * sizeof(OvUInt16), 4);
    l.adjacency = l.edges + e * sizeof(OvpHullEdge);
    l.total = l.adjacency + e * sizeof(OvUInt16);
    return l;
}

} // namespace

OvpConvexHull* OvpConvexHullCreate(OvInt32 vertexCount, OvInt32 edgeCount, OvInt32 faceCount) {
    if (vertexCount < 0 || edgeCount < 0 || faceCount < 0 || vertexCount > 0xFFFF || edgeCount > 0xFFFF ||
        faceCount > 0xFFFF) {
        return nullptr;
    }
    // Sizes in size_t: the limit is checked, never wrapped.
    const Layout l = ComputeLayout(vertexCount, edgeCount, faceCount);
    if (l.total > ovpHULLMAXBYTES) {
        return nullptr;
    }
    auto* block = static_cast<unsigned char*>(OvMalloc(l.total, ovpMEMHINT));
    if (block == nullptr) {
        return nullptr;
    }
    std::memset(block, 0, l.total);
    auto* hull = reinterpret_cast<OvpConvexHull*>(block);
    hull->size = static_cast<OvUInt32>(l.total);
    hull->vertices = reinterpret_cast<OvV3d*>(block + sizeof(OvpConvexHull));
    hull->vertexFirst = reinterpret_cast<OvUInt16*>(block + l.vertexFirst);
    hull->normals = reinterpret_cast<OvV3d*>(block + l.normals);
    hull->faceFirst = reinterpret_cast<OvUInt16*>(block + l.faceFirst);
    hull->edges = reinterpret_cast<OvpHullEdge*>(block + l.edges);
    hull->adjacency = reinterpret_cast<OvUInt16*>(block + l.adjacency);
    hull->vertexCount = static_cast<OvUInt16>(vertexCount);
    hull->faceCount = static_cast<OvUInt16>(faceCount);
    hull->edgeCount = static_cast<OvUInt16>(edgeCount);
    hull->inertia = {{1.0f, 1.0f, 1.0f}, {0.0f, 0.0f, 0.0f, 1.0f}};
    hull->refCount = 1;
    hull->flags = 0;
    return hull;
}

OvBool OvpConvexHullRelease(OvpConvexHull* hull) {
    if (hull == nullptr) {
        return 0;
    }
    if (--hull->refCount <= 0) {
        OvFree(hull);
    }
    return 1;
}

// --- building from qhull ---------------------------------------------------------------

namespace {

// Makes the ridges of every facet under qhull's error exit; 0 when qhull gave up. Only plain
// data lives here, as qhull leaves by a long jump.
int MakeRidges(qhT* qh) {
    facetT* facet;
    const int code = setjmp(qh->errexit);
    if (code == 0) {
        qh->NOerrexit = False;
        FORALLfacets { qh_makeridges(qh, facet); }
    }
    qh->NOerrexit = True;
    return code == 0;
}

} // namespace

OvpConvexHull* OvpConvexHullFromQHull(OvpConvexHull* hull, qhT* qh) {
    if (hull == nullptr || hull->vertices == nullptr || hull->edges == nullptr || qh == nullptr) {
        return nullptr;
    }
    const int pointCount = qh->num_points;
    std::vector<int> pointToVertex(pointCount, -1);
    // Vertices in list order.
    vertexT* vertex;
    int v = 0;
    FORALLvertices {
        const int id = qh_pointid(qh, vertex->point);
        if (v >= hull->vertexCount || id < 0 || id >= pointCount) {
            return nullptr;
        }
        pointToVertex[id] = v;
        hull->vertices[v] = {static_cast<float>(vertex->point[0]), static_cast<float>(vertex->point[1]),
                             static_cast<float>(vertex->point[2])};
        ++v;
    }
    if (v != hull->vertexCount) {
        return nullptr;
    }
    std::vector<facetT*> facets;
    facetT* facet;
    FORALLfacets { facets.push_back(facet); }
    if (facets.size() != hull->faceCount) {
        return nullptr;
    }
    std::unordered_map<const facetT*, int> facetIndices;
    for (std::size_t f = 0; f < facets.size(); ++f) {
        facetIndices.emplace(facets[f], static_cast<int>(f));
    }
    auto faceIndex = [&](const facetT* f) -> int {
        const auto it = facetIndices.find(f);
        return it == facetIndices.end() ? -1 : it->second;
    };
    auto vertexIndex = [&](const vertexT* vx) { return pointToVertex[qh_pointid(qh, vx->point)]; };
    if (!MakeRidges(qh)) {
        return nullptr;
    }
    // Per facet, one half-edge per ridge with the facet on its left (counter-clockwise about the
    // outward normal, told by the side of the ridge the facet's centre lies on), chained into
    // order round the face.
    int e = 0;
    for (std::size_t f = 0; f < facets.size(); ++f) {
        facet = facets[f];
        hull->normals[f] = {static_cast<float>(facet->normal[0]), static_cast<float>(facet->normal[1]),
                            static_cast<float>(facet->normal[2])};
        OvV3d centre = {0.0f, 0.0f, 0.0f};
        int corners = 0;
        vertexT** vertexp;
        FOREACHvertex_(facet->vertices) {
            centre = OvpAdd(centre, hull->vertices[vertexIndex(vertex)]);
            ++corners;
        }
        centre = OvpScale(centre, 1.0f / static_cast<float>(std::max(corners, 1)));
        const int first = e;
        hull->faceFirst[f] = static_cast<OvUInt16>(first);
        ridgeT *ridge, **ridgep;
        FOREACHridge_(facet->ridges) {
            if (e >= hull->edgeCount || qh_setsize(qh, ridge->vertices) != 2) {
                return nullptr;
            }
            int a = vertexIndex(static_cast<vertexT*>(SETfirst_(ridge->vertices)));
            int b = vertexIndex(static_cast<vertexT*>(SETsecond_(ridge->vertices)));
            const facetT* other = ridge->top == facet ? ridge->bottom : ridge->top;
            const int right = faceIndex(other);
            if (a < 0 || b < 0 || right < 0) {
                return nullptr;
            }
            const OvV3d& n = hull->normals[f];
            const OvV3d along = OvpSub(hull->vertices[b], hull->vertices[a]);
            if (OvpDot(OvpCross(n, along), OvpSub(centre, hull->vertices[a])) < 0.0f) {
                std::swap(a, b);
            }
            hull->edges[e] = {0.0f, static_cast<OvUInt16>(a), static_cast<OvUInt16>(b), static_cast<OvUInt16>(f),
                              static_cast<OvUInt16>(right)};
            ++e;
        }
        for (int k = first + 1; k < e; ++k) {
            int next = k;
            while (next < e && hull->edges[next].start != hull->edges[k - 1].end) {
                ++next;
            }
            if (next == e) {
                return nullptr; // the ridges do not close into one loop
            }
            std::swap(hull->edges[k], hull->edges[next]);
        }
        if (e - first < 3 || hull->edges[e - 1].end != hull->edges[first].start) {
            return nullptr;
        }
    }
    if (e != hull->edgeCount) {
        return nullptr; // the ridges do not match the facets' vertex counts
    }
    hull->faceFirst[hull->faceCount] = static_cast<OvUInt16>(e);

    // Adjacency: round each vertex, from a half-edge leaving it to the twin of the half-edge
    // before it in its face.
    std::vector<std::uint32_t> keys(e);
    for (int k = 0; k < e; ++k) {
        keys[k] = (static_cast<std::uint32_t>(hull->edges[k].start) << 16 | hull->edges[k].end);
    }
    std::vector<int> order(e);
    for (int k = 0; k < e; ++k) {
        order[k] = k;
    }
    std::sort(order.begin(), order.end(), [&](int x, int y) { return keys[x] < keys[y]; });
    auto find = [&](OvUInt16 start, OvUInt16 end) -> int {
        const std::uint32_t key = static_cast<std::uint32_t>(start) << 16 | end;
        const auto it =
            std::lower_bound(order.begin(), order.end(), key, [&](int x, std::uint32_t k) { return keys[x] < k; });
        return it != order.end() && keys[*it] == key ? *it : -1;
    };
    auto previous = [&](int k) {
        const int f = hull->edges[k].left;
        return k == hull->faceFirst[f] ? hull->faceFirst[f + 1] - 1 : k - 1;
    };
    std::vector<int> leaving(hull->vertexCount, -1);
    for (int k = 0; k < e; ++k) {
        if (leaving[hull->edges[k].start] < 0) {
            leaving[hull->edges[k].start] = k;
        }
    }
    int written = 0;
    for (int vx = 0; vx < hull->vertexCount; ++vx) {
        hull->vertexFirst[vx] = static_cast<OvUInt16>(written);
        const int startEdge = leaving[vx];
        if (startEdge < 0) {
            return nullptr;
        }
        int k = startEdge;
        do {
            if (written >= e) {
                return nullptr;
            }
            hull->adjacency[written++] = static_cast<OvUInt16>(k);
            const OvpHullEdge& before = hull->edges[previous(k)];
            k = find(before.end, before.start);
        } while (k >= 0 && k != startEdge);
        if (k < 0) {
            return nullptr; // a half-edge without its twin
        }
    }
    if (written != e) {
        return nullptr;
    }
    hull->vertexFirst[hull->vertexCount] = static_cast<OvUInt16>(written);
    return OvpConvexHullComputeBounds(hull);
}

OvpConvexHull* OvpConvexHullCreateFromPoints(OvInt32 count, const float* points, const char* command, void* target,
                                             OvpConvexHullFailure* failure) {
    OvpConvexHullFailure ignored;
    OvpConvexHullFailure& why = failure != nullptr ? *failure : ignored;
    why = {OvpConvexHullFailure::ovpHULL_NOPOINTS, 0, 0, 0, 0};
    if (points == nullptr || count < 1) {
        return nullptr;
    }
    // qhull works in double: one copy of the points, which it does not own. Non-finite
    // coordinates are refused here, before qhull sees them.
    std::vector<coordT> coordinates(static_cast<std::size_t>(count) * 3);
    double maxAbs = 0.0, maxSumAbs = 0.0;
    for (std::size_t i = 0; i < coordinates.size(); ++i) {
        if (!std::isfinite(points[i])) {
            return nullptr;
        }
        coordinates[i] = points[i];
        maxAbs = std::fmax(maxAbs, std::fabs(coordinates[i]));
    }
    for (OvInt32 i = 0; i < count; ++i) {
        maxSumAbs = std::fmax(maxSumAbs, std::fabs(coordinates[3 * i]) + std::fabs(coordinates[3 * i + 1]) +
                                             std::fabs(coordinates[3 * i + 2]));
    }
    // Without a command, qhull merges as it would for float input: its roundoff estimate with
    // float epsilon given explicitly.
    char buffer[256];
    if (command != nullptr) {
        std::snprintf(buffer, sizeof(buffer), "%s", command);
    } else {
        const double roundoff = FLT_EPSILON * (3.0 * 1.01 * std::fmin(std::sqrt(3.0) * maxAbs, maxSumAbs) + maxAbs);
        std::snprintf(buffer, sizeof(buffer), "qhull s Pp E%.3g", roundoff);
    }
    FILE* errFile = OpenTargetFile(target);
    if (errFile == nullptr) {
        return nullptr;
    }
    FILE* outFile = target != nullptr ? errFile : nullptr;

    static const bool checked = [] {
        QHULL_LIB_CHECK // the headers match the library (exits on a mismatch)
            return true;
    }();
    (void)checked;
    auto* qh = static_cast<qhT*>(OvMalloc(sizeof(qhT), ovpMEMHINT));
    if (qh == nullptr) {
        std::fclose(errFile);
        return nullptr;
    }
    qh_zero(qh, errFile);
    OvpConvexHull* hull = nullptr;
    why.cause = OvpConvexHullFailure::ovpHULL_NOHULL;
    const int code = qh_new_qhull(qh, 3, count, coordinates.data(), False, buffer, outFile, errFile);
    if (code == 0) {
        int edges = 0;
        facetT* facet;
        FORALLfacets { edges += qh_setsize(qh, facet->vertices); }
        why.vertices = qh->num_vertices;
        why.faces = qh->num_facets;
        why.edges = edges;
        why.bytes = ComputeLayout(static_cast<std::size_t>(why.vertices), static_cast<std::size_t>(edges),
                                  static_cast<std::size_t>(why.faces))
                        .total;
        hull = OvpConvexHullCreate(qh->num_vertices, edges, qh->num_facets);
        why.cause = hull != nullptr ? OvpConvexHullFailure::ovpHULL_MADE
                    : why.bytes > ovpHULLMAXBYTES || why.vertices > 0xFFFF || why.faces > 0xFFFF || edges > 0xFFFF
                        ? OvpConvexHullFailure::ovpHULL_TOOLARGE
                        : OvpConvexHullFailure::ovpHULL_NOMEMORY;
        if (hull != nullptr && OvpConvexHullFromQHull(hull, qh) == nullptr) {
            OvpConvexHullRelease(hull);
            hull = nullptr;
            why.cause = OvpConvexHullFailure::ovpHULL_NOHULL;
        }
    }
    qh_freeqhull(qh, !qh_ALL);
    int curLong = 0, totLong = 0;
    qh_memfreeshort(qh, &curLong, &totLong);
    OvFree(qh);
    std::fclose(errFile);
    return hull;
}

// --- bounds, mass properties, support --------------------------------------------------

OvpConvexHull* OvpConvexHullComputeBounds(OvpConvexHull* hull) {
    for (OvUInt16 k = 0; k < hull->edgeCount; ++k) {
        OvpHullEdge& edge = hull->edges[k];
        const OvV3d d = OvpSub(hull->vertices[edge.end], hull->vertices[edge.start]);
        const float length = OvpLength(d);
        edge.invLength = length == 0.0f || std::isnan(length) ? length : 1.0f / length;
    }
    OvpBBox box = {{-FLT_MAX, -FLT_MAX, -FLT_MAX}, 0, {FLT_MAX, FLT_MAX, FLT_MAX}, 0};
    for (OvUInt16 i = 0; i < hull->vertexCount; ++i) {
        OvpMathBoxExtend(&box, &hull->vertices[i]);
    }
    if (hull->vertexCount == 0) {
        box = {};
    }
    hull->box = box;
    const OvV3d size = OvpSub(box.sup, box.inf);
    OvSphere sphere = {OvpScale(OvpAdd(box.sup, box.inf), 0.5f), 0.5f * std::fmax(size.x, std::fmax(size.y, size.z))};
    for (OvUInt16 i = 0; i < hull->vertexCount; ++i) {
        OvpMathSphereAddPoint(&sphere, &sphere, &hull->vertices[i]);
    }
    hull->sphere = sphere;
    hull->flags |= ovpHULL_BOUNDS;
    return hull;
}

OvpConvexHull* OvpConvexHullComputeMassProperties(OvpConvexHull* hull) {
    // Signed tetrahedra from a reference point inside the box to each face's fan of triangles:
    // their sums are the divergence-theorem face integrals (volume, first and second moments).
    const OvV3d reference = OvpScale(OvpAdd(hull->box.sup, hull->box.inf), 0.5f);
    double volume = 0.0, first[3] = {0, 0, 0}, second[3][3] = {};
    for (OvUInt16 f = 0; f < hull->faceCount; ++f) {
        const int begin = hull->faceFirst[f], end = hull->faceFirst[f + 1];
        const OvV3d p0 = OvpSub(hull->vertices[hull->edges[begin].start], reference);
        for (int k = begin + 1; k + 1 < end; ++k) {
            const OvV3d p1 = OvpSub(hull->vertices[hull->edges[k].start], reference);
            const OvV3d p2 = OvpSub(hull->vertices[hull->edges[k].end], reference);
            const double a[3] = {p0.x, p0.y, p0.z}, b[3] = {p1.x, p1.y, p1.z}, c[3] = {p2.x, p2.y, p2.z};
            const double det = a[0] * (b[1] * c[2] - b[2] * c[1]) - a[1] * (b[0] * c[2] - b[2] * c[0]) +
                               a[2] * (b[0] * c[1] - b[1] * c[0]);
            const double v = det / 6.0;
            volume += v;
            for (int i = 0; i < 3; ++i) {
                first[i] += v * (a[i] + b[i] + c[i]) / 4.0;
                for (int j = 0; j < 3; ++j) {
                    // Tetrahedron (0, a, b, c): V/20 (sum p p^T + (sum p)(sum p)^T).
                    const double s = a[i] + b[i] + c[i], t = a[j] + b[j] + c[j];
                    second[i][j] += v / 20.0 * (a[i] * a[j] + b[i] * b[j] + c[i] * c[j] + s * t);
                }
            }
        }
    }
    if (!(volume >= FLT_MIN)) {
        hull->volume = 0.0f;
        hull->centre = reference;
        hull->inertia = {{1.0f, 1.0f, 1.0f}, {0.0f, 0.0f, 0.0f, 1.0f}};
        hull->thickness = 0.0f;
        hull->flags |= ovpHULL_MASS;
        return hull;
    }
    const double c[3] = {first[0] / volume, first[1] / volume, first[2] / volume};
    OvpMatrix3 tensor = {};
    for (int i = 0; i < 3; ++i) {
        for (int j = 0; j < 3; ++j) {
            // Second moments about the centre of mass, per unit volume.
            second[i][j] = second[i][j] / volume - c[i] * c[j];
        }
    }
    const double trace = second[0][0] + second[1][1] + second[2][2];
    for (int i = 0; i < 3; ++i) {
        for (int j = 0; j < 3; ++j) {
            tensor.m[i][j] = static_cast<float>((i == j ? trace : 0.0) - second[i][j]);
        }
    }
    OvpMathPrincipalAxes(&hull->inertia, &tensor);
    hull->volume = static_cast<float>(volume);
    hull->centre = OvpAdd(reference, {static_cast<float>(c[0]), static_cast<float>(c[1]), static_cast<float>(c[2])});
    // Width along the principal axis of largest moment (the first one on ties).
    OvMatrix axes;
    OvpMathMatrixFromQuat(&axes, hull->inertia.orientation);
    const OvV3d* rows[3] = {&axes.right, &axes.up, &axes.at};
    const OvV3d& d = hull->inertia.diagonal;
    int largest = 0;
    if (d.y > OvpComponent(d, largest)) {
        largest = 1;
    }
    if (d.z > OvpComponent(d, largest)) {
        largest = 2;
    }
    const OvV3d axis = *rows[largest], opposite = OvpScale(axis, -1.0f);
    OvInt32 vertex;
    hull->thickness = OvpConvexHullSupport(hull, &axis, 0, FLT_MAX, &vertex) +
                      OvpConvexHullSupport(hull, &opposite, 0, FLT_MAX, &vertex);
    hull->flags |= ovpHULL_MASS;
    return hull;
}

namespace {

// How far apart two projections on d may be and still count as a tie: well above the float
// roundoff of the dot products and of qhull's merging. Both are relative to the hull's largest
// coordinate on any axis: a merged facet of a long hull may be off its plane, along d, by the
// roundoff of its length even where the hull is thin along d.
float TieTolerance(const OvpConvexHull* hull, const OvV3d& d, const OvV3d& at) {
    OvV3d m = {std::fabs(at.x), std::fabs(at.y), std::fabs(at.z)};
    if ((hull->flags & ovpHULL_BOUNDS) != 0) {
        const OvpBBox& b = hull->box;
        m = {std::fmax(std::fabs(b.sup.x), std::fabs(b.inf.x)), std::fmax(std::fabs(b.sup.y), std::fabs(b.inf.y)),
             std::fmax(std::fabs(b.sup.z), std::fabs(b.inf.z))};
    }
    const float largest = std::fmax(std::fmax(m.x, m.y), m.z);
    return 1e-4f * ((std::fabs(d.x) + std::fabs(d.y)) + std::fabs(d.z)) * largest;
}

// Whether an edge leaving v joins two faces that are flat within roundoff (less than 0.8 degrees
// apart): there qhull's merging may have left v inside a flat part, a corner that is not convex.
bool OnAFlatPart(const OvpConvexHull* hull, OvInt32 v) {
    for (int a = hull->vertexFirst[v]; a < hull->vertexFirst[v + 1]; ++a) {
        const OvpHullEdge& e = hull->edges[hull->adjacency[a]];
        if (OvpDot(hull->normals[e.left], hull->normals[e.right]) > 1.0f - 1e-4f) {
            return true;
        }
    }
    return false;
}

} // namespace

float OvpConvexHullSupport(const OvpConvexHull* hull, const OvV3d* direction, OvInt32 start, float limit,
                           OvInt32* vertex) {
    OvInt32 v = start >= 0 && start < hull->vertexCount ? start : 0;
    if (hull->vertexCount == 0) {
        *vertex = 0;
        return -FLT_MAX;
    }
    float best = OvpDot(*direction, hull->vertices[v]);
    float runnerUp = -FLT_MAX; // the best neighbour of the vertex where the climb stopped
    bool stalled = false;
    for (int round = 0; round < hull->vertexCount + 2 && best <= limit; ++round) {
        OvInt32 next = v;
        runnerUp = -FLT_MAX;
        for (int a = hull->vertexFirst[v]; a < hull->vertexFirst[v + 1]; ++a) {
            const OvUInt16 neighbour = hull->edges[hull->adjacency[a]].end;
            const float p = OvpDot(*direction, hull->vertices[neighbour]);
            runnerUp = std::fmax(runnerUp, p);
            if (p > best) {
                best = p;
                next = neighbour;
            }
        }
        if (next == v) {
            stalled = true;
            break;
        }
        v = next;
    }
    // Stopped beside a neighbour about as far out, or inside a part that is flat within roundoff
    // (where qhull's merging may leave corners that are not convex): the furthest vertex may lie
    // beyond, and every vertex is looked at instead.
    if (stalled && (runnerUp >= best - TieTolerance(hull, *direction, hull->vertices[v]) || OnAFlatPart(hull, v))) {
        for (OvInt32 i = 0; i < hull->vertexCount; ++i) {
            const float p = OvpDot(*direction, hull->vertices[i]);
            if (p > best) {
                best = p;
                v = i;
            }
        }
    }
    *vertex = v;
    return best;
}

// --- the convex volume -----------------------------------------------------------------

namespace {

OvpConvexHull* HullOf(const OvpVolume* volume) { return static_cast<OvpConvexHull*>(volume->data.ref[0]); }

OvpConvexHull* MassHull(const OvpVolume* volume) {
    OvpConvexHull* hull = HullOf(volume);
    if ((hull->flags & ovpHULL_MASS) == 0) {
        OvpConvexHullComputeMassProperties(hull);
    }
    return hull;
}

OvBool ConvexDestroy(OvpVolume* volume) {
    OvpConvexHullRelease(HullOf(volume));
    volume->data.ref[0] = nullptr;
    return 1;
}

OvSphere* ConvexSphere(const OvpVolume* volume, OvSphere* out) {
    *out = HullOf(volume)->sphere;
    out->radius += volume->fat;
    return out;
}

float ConvexMass(const OvpVolume* volume, OvpInertia* inertia, OvV3d* centre) {
    const OvpConvexHull* hull = MassHull(volume);
    *inertia = hull->inertia;
    *centre = hull->centre;
    return hull->volume;
}

OvpBBox* ConvexBox(const OvpVolume* volume, const OvMatrix* matrix, OvBool, OvpBBox* out) {
    const OvpConvexHull* hull = HullOf(volume);
    if (matrix == nullptr) {
        *out = hull->box;
    } else {
        OvpMathBoxTransform(out, &hull->box, matrix);
    }
    const OvV3d fat = {volume->fat, volume->fat, volume->fat};
    out->sup = OvpAdd(out->sup, fat);
    out->inf = OvpSub(out->inf, fat);
    return out;
}

OvV3d* ConvexSupport(const OvpVolume* volume, const OvV3d* d, OvV3d* out) {
    const OvpConvexHull* hull = HullOf(volume);
    if (hull->vertexCount == 0) {
        return nullptr;
    }
    OvInt32 vertex;
    OvpConvexHullSupport(hull, d, 0, FLT_MAX, &vertex);
    *out = hull->vertices[vertex];
    return out;
}

// The positions (from begin) of the vertices of a face of more vertices than `room` that reach
// farthest along `room` directions spread evenly round the face's plane, in the face's order and
// each once: the polygon they span lies in the face and keeps its extent, so that a face of many
// vertices still gives a face feature. Returns their count (at most room, at most 32).
int ExtremesOfFace(const OvpConvexHull* hull, int face, int room, int* kept) {
    const int begin = hull->faceFirst[face], end = hull->faceFirst[face + 1];
    const OvV3d& n = hull->normals[face];
    OvV3d u;
    const OvV3d first = OvpSub(hull->vertices[hull->edges[begin].end], hull->vertices[hull->edges[begin].start]);
    if (OvpMathVec3Normalize(&u, &first) <= FLT_MIN) {
        OvpMathVec3Perpendicular(&u, &n);
    }
    const OvV3d w = OvpCross(n, u);
    const int directions = room < 32 ? room : 32;
    int count = 0;
    for (int k = 0; k < directions; ++k) {
        const float angle = 6.2831855f * static_cast<float>(k) / static_cast<float>(directions);
        const OvV3d along = OvpAdd(OvpScale(u, std::cos(angle)), OvpScale(w, std::sin(angle)));
        int best = 0;
        float reach = OvpDot(along, hull->vertices[hull->edges[begin].start]);
        for (int e = begin + 1; e < end; ++e) {
            const float r = OvpDot(along, hull->vertices[hull->edges[e].start]);
            if (r > reach) {
                reach = r;
                best = e - begin;
            }
        }
        kept[count++] = best;
    }
    std::sort(kept, kept + count);
    return static_cast<int>(std::unique(kept, kept + count) - kept);
}

OvpSupportFeature* ConvexFeature(const OvpVolume* volume, OvBool flag, const OvV3d* d, OvpSupportFeature* out) {
    const OvpConvexHull* hull = HullOf(volume);
    if (hull->vertexCount == 0) {
        return nullptr;
    }
    OvInt32 v;
    OvpConvexHullSupport(hull, d, 0, FLT_MAX, &v);
    // The adjacent face most aligned with the direction.
    int bestFace = -1;
    float bestCosine = -FLT_MAX;
    int bestEdge = -1;
    float bestSlope = -FLT_MAX;
    for (int a = hull->vertexFirst[v]; a < hull->vertexFirst[v + 1]; ++a) {
        const OvpHullEdge& edge = hull->edges[hull->adjacency[a]];
        const float cosine = OvpDot(hull->normals[edge.left], *d);
        if (cosine > bestCosine) {
            bestCosine = cosine;
            bestFace = edge.left;
        }
        const float slope = OvpDot(OvpSub(hull->vertices[edge.end], hull->vertices[edge.start]), *d) * edge.invLength;
        if (slope > bestSlope) {
            bestSlope = slope;
            bestEdge = hull->adjacency[a];
        }
    }
    if (bestFace >= 0 && bestCosine >= 0.7071f && out->capacity >= 3) {
        const int begin = hull->faceFirst[bestFace], end = hull->faceFirst[bestFace + 1];
        int kept[32];
        const bool whole = end - begin <= out->capacity;
        const int count = whole ? end - begin : ExtremesOfFace(hull, bestFace, out->capacity, kept);
        out->count = static_cast<OvUInt16>(count);
        for (int k = 0; k < count; ++k) {
            const int slot = flag ? count - 1 - k : k;
            out->vertices[slot].p = hull->vertices[hull->edges[begin + (whole ? k : kept[k])].start];
            out->vertices[slot].spare = 0.0f;
        }
        out->normal = hull->normals[bestFace];
        out->offset = OvpDot(out->normal, out->vertices[0].p);
        return out;
    }
    if (bestEdge >= 0 && bestSlope >= -0.5f) {
        const OvpHullEdge& edge = hull->edges[bestEdge];
        out->count = 2;
        out->vertices[0] = {hull->vertices[edge.start], 0.0f};
        out->vertices[1] = {hull->vertices[edge.end], 0.0f};
        const OvV3d along = OvpScale(OvpSub(hull->vertices[edge.end], hull->vertices[edge.start]), edge.invLength);
        const OvV3d perpendicular = OvpSub(*d, OvpScale(along, OvpDot(*d, along)));
        OvpMathVec3Normalize(&out->normal, &perpendicular);
        out->offset = OvpDot(out->normal, out->vertices[0].p);
        return out;
    }
    out->count = 1;
    out->vertices[0] = {hull->vertices[v], 0.0f};
    out->normal = *d;
    out->offset = OvpDot(*d, hull->vertices[v]);
    return out;
}

OvBool ConvexAxes(const OvpVolume*, const OvMatrix*, OvpFaceAxis*, OvV3d*) { return 0; }

float ConvexThickness(const OvpVolume* volume) { return MassHull(volume)->thickness; }

OvBool ConvexLine(const OvpVolume* volume, const OvV3d* start, const OvV3d* end, OvpLineHit* hit) {
    const OvpConvexHull* hull = HullOf(volume);
    const OvpPolytope poly = {hull->vertices,    hull->normals,       hull->faceFirst,
                              hull->edges,       sizeof(OvpHullEdge), offsetof(OvpHullEdge, start),
                              hull->vertexCount, hull->faceCount};
    if (!OvpPolytopeIntersectLine(&poly, volume->fat, start, end, hit)) {
        return 0;
    }
    hit->volume = volume;
    return 1;
}

} // namespace

const OvpVolumeType ovpConvexVolumeType = {ovpVOLUME_CONVEX,
                                           ConvexDestroy,
                                           ConvexSphere,
                                           ConvexMass,
                                           ConvexBox,
                                           ConvexSupport,
                                           ConvexFeature,
                                           ConvexAxes,
                                           OvpVolumeGetIntervalFromSupport,
                                           ConvexThickness,
                                           ConvexLine,
                                           "OvpConvex",
                                           {0x630200, 0x630063, 0x10}};

OvpVolume* OvpConvexInit(OvpVolume* volume, OvpConvexHull* hull) {
    if (hull == nullptr) {
        return nullptr;
    }
    OvpVolumeInit(volume, &ovpConvexVolumeType);
    ++hull->refCount;
    volume->data.ref[0] = hull;
    return volume;
}
